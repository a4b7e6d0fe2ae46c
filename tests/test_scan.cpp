// Scanning real cache directories into the JSON report, and purging them.
#include "support.h"

#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <cstring>
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "json_document.h"

namespace {

using kt::expected_report;
using kt::Listed;
using kt::scan;

constexpr char kEmptyReport[] = R"({"validCount":0,"purgedCount":0,"totalBytes":0,"files":[]})";

// The valid files among `names`, listed in the directory's own order.
std::vector<Listed> in_enumeration_order(const std::string &dir,
                                         const std::map<std::string, Listed> &valid) {
    std::vector<Listed> listed;
    for (const std::string &name : kt::enumeration_order(dir)) {
        auto it = valid.find(name);
        if (it != valid.end()) listed.push_back(it->second);
    }
    return listed;
}

TEST(ScanArguments, NullEmptyAndUnopenablePathsGiveNull) {
    EXPECT_EQ(scan("", false), "<null>");
    EXPECT_STREQ(ktcache_last_error(), "empty dir_path");
    EXPECT_EQ(ktcache_scan_dir_json(nullptr, 1), nullptr);
    EXPECT_STREQ(ktcache_last_error(), "empty dir_path");
    EXPECT_EQ(scan("/nonexistent/ktcache", true), "<null>");
    EXPECT_STREQ(ktcache_last_error(), "opendir failed");

    kt::TempDir dir;
    const std::string file = dir.track("a.mp3", KTCACHE_FORMAT_MP3, 100);
    EXPECT_EQ(scan(file, true), "<null>");
    EXPECT_STREQ(ktcache_last_error(), "opendir failed");
    EXPECT_TRUE(dir.exists("a.mp3")) << "nothing may be deleted before the directory opens";
}

TEST(ScanReport, EmptyOrHiddenOnlyDirectoryGivesTheEmptyReport) {
    kt::TempDir dir;
    EXPECT_EQ(scan(dir.path(), false), kEmptyReport);
    dir.track(".part.m4a", KTCACHE_FORMAT_M4A);
    dir.write(".junk", "<html>", 10);
    dir.subdir(".cache");
    ASSERT_EQ(ktcache_validate_file(nullptr, 0), -1);
    EXPECT_EQ(scan(dir.path(), true), kEmptyReport);
    EXPECT_STREQ(ktcache_last_error(), "");
    EXPECT_TRUE(dir.exists(".part.m4a"));
    EXPECT_TRUE(dir.exists(".junk")) << "hidden files are never purged";
}

TEST(ScanReport, WorkedExampleWithPurge) {
    kt::TempDir dir;
    dir.track("a.m4a", KTCACHE_FORMAT_M4A, 1048576);
    dir.track(".part.m4a", KTCACHE_FORMAT_M4A, 4096);
    dir.subdir("covers");
    dir.track("stub.mp3", KTCACHE_FORMAT_MP3, 300);
    dir.track("b.mp3", KTCACHE_FORMAT_MP3, 2097152);
    const auto expected = in_enumeration_order(
        dir.path(), {{"a.m4a", {"a.m4a", 1048576, "m4a"}}, {"b.mp3", {"b.mp3", 2097152, "mp3"}}});

    EXPECT_EQ(scan(dir.path(), true), expected_report(expected, 1));
    EXPECT_STREQ(ktcache_last_error(), "");
    EXPECT_FALSE(dir.exists("stub.mp3"));
    EXPECT_TRUE(dir.exists("covers"));
    EXPECT_TRUE(dir.exists(".part.m4a"));
}

TEST(ScanReport, ReportOnlyScanDeletesNothing) {
    kt::TempDir dir;
    dir.track("short.flac", KTCACHE_FORMAT_FLAC, 1023);
    dir.write("page.mp3", "<!DOCTYPE html>", 5000);
    dir.track("ok.flac", KTCACHE_FORMAT_FLAC, 1024);
    EXPECT_EQ(scan(dir.path(), false), expected_report({{"ok.flac", 1024, "flac"}}, 0));
    EXPECT_TRUE(dir.exists("short.flac"));
    EXPECT_TRUE(dir.exists("page.mp3"));
}

TEST(ScanReport, MinimumSizeBoundaryAndPurgeOfRejects) {
    kt::TempDir dir;
    dir.track("short.ogg", KTCACHE_FORMAT_OGG, 1023);
    dir.write("page.m4a", "<!DOCTYPE html>", 5000);
    dir.write("empty.wav", "", 0);
    dir.track("ok.ogg", KTCACHE_FORMAT_OGG, 1024);
    EXPECT_EQ(scan(dir.path(), true), expected_report({{"ok.ogg", 1024, "ogg"}}, 3));
    EXPECT_EQ(kt::enumeration_order(dir.path()), std::vector<std::string>{"ok.ogg"});
}

TEST(ScanReport, EveryContainerIsNamedInTheReport) {
    kt::TempDir dir;
    std::map<std::string, Listed> valid;
    for (ktcache_format f = KTCACHE_FORMAT_M4A; f <= KTCACHE_FORMAT_WAV; ++f) {
        const std::string name = std::string("track.") + ktcache_format_name(f);
        dir.track(name, f, 1500 + static_cast<size_t>(f));
        valid[name] = {name, 1500 + f, ktcache_format_name(f)};
    }
    EXPECT_EQ(scan(dir.path(), false), expected_report(in_enumeration_order(dir.path(), valid), 0));
}

// A purge killed between moving a file aside and deleting it leaves the
// file under its hidden name. A later purge removes such a leftover when it
// is broken, and keeps one that is a valid track (a download swapped in at
// that moment); other hidden entries stay untouched, and a plain scan
// touches none.
TEST(ScanReport, PurgeFinishesWhatACrashedPurgeLeftBehind) {
    kt::TempDir dir;
    dir.write(".ktcache-purge-1f-7ffe12-2a", "<!DOCTYPE html>", 2048);
    dir.track(".ktcache-purge-20-7ffe12-2b", KTCACHE_FORMAT_OGG);
    dir.write(".song.m4a.part", "<!DOCTYPE html>", 2048);
    dir.track("kept.flac", KTCACHE_FORMAT_FLAC);
    const std::string listed = expected_report({{"kept.flac", 2048, "flac"}}, 0);
    EXPECT_EQ(kt::scan(dir.path(), false), listed);
    EXPECT_TRUE(dir.exists(".ktcache-purge-1f-7ffe12-2a"));
    EXPECT_EQ(kt::scan(dir.path(), true), expected_report({{"kept.flac", 2048, "flac"}}, 1));
    EXPECT_FALSE(dir.exists(".ktcache-purge-1f-7ffe12-2a"));
    EXPECT_TRUE(dir.exists(".ktcache-purge-20-7ffe12-2b"));
    EXPECT_TRUE(dir.exists(".song.m4a.part"));
}

TEST(ScanReport, SubdirectoriesAreNeitherListedEnteredNorDeleted) {
    kt::TempDir dir;
    dir.subdir("album.mp3");
    dir.track("album.mp3/inner.mp3", KTCACHE_FORMAT_MP3);
    dir.write("album.mp3/junk.mp3", "<html>", 4000);
    EXPECT_EQ(scan(dir.path(), true), kEmptyReport);
    EXPECT_TRUE(dir.exists("album.mp3/junk.mp3"));
}

#ifndef _WIN32
// Symbolic links and FIFOs are POSIX features.

TEST(ScanReport, SymbolicLinksAreFollowedButPurgeRemovesOnlyTheLink) {
    kt::TempDir outside;
    const std::string good = outside.track("good.flac", KTCACHE_FORMAT_FLAC, 3000);
    const std::string bad = outside.write("bad.flac", "<html>", 3000);
    kt::TempDir dir;
    ASSERT_EQ(symlink(good.c_str(), (dir / "good-link.flac").c_str()), 0);
    ASSERT_EQ(symlink(bad.c_str(), (dir / "bad-link.flac").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/ktcache", (dir / "dangling.flac").c_str()), 0);
    ASSERT_EQ(symlink(outside.path().c_str(), (dir / "dir-link").c_str()), 0);

    EXPECT_EQ(scan(dir.path(), true), expected_report({{"good-link.flac", 3000, "flac"}}, 1));
    EXPECT_FALSE(dir.exists("bad-link.flac"));
    EXPECT_TRUE(outside.exists("bad.flac")) << "purge must never reach outside the directory";
    EXPECT_TRUE(dir.exists("dangling.flac")) << "an entry whose status fails is skipped";
    EXPECT_TRUE(dir.exists("dir-link"));
}

TEST(ScanReport, FifoAndSocketLikeEntriesAreSkippedWithoutBlocking) {
    kt::TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe.mp3").c_str(), 0644), 0);
    dir.track("song.aac", KTCACHE_FORMAT_AAC);
    int status = kt::run_in_child(
        [&] {
            return scan(dir.path(), true) == expected_report({{"song.aac", 2048, "aac"}}, 0) ? 0
                                                                                             : 1;
        },
        10);
    EXPECT_EQ(status, 0) << "a status of 142 means the scan blocked on the FIFO";
    EXPECT_TRUE(dir.exists("pipe.mp3"));
}

#endif // !_WIN32

TEST(ScanReport, TrailingSlashGivesBareNames) {
    kt::TempDir dir;
    dir.track("x.wav", KTCACHE_FORMAT_WAV, 1234);
    dir.write("y.wav", "RIFX", 1234);
    const std::string expected = expected_report({{"x.wav", 1234, "wav"}}, 1);
    EXPECT_EQ(scan(dir.path() + "//", true), expected);
    EXPECT_FALSE(dir.exists("y.wav"));
}

TEST(ScanReport, FilesFollowEnumerationOrderNotAlphabeticalOrder) {
    kt::TempDir dir;
    std::map<std::string, Listed> valid;
    for (int i = 0; i < 64; ++i) {
        const std::string name = "t" + std::to_string(i * 7919 % 1000) + ".ogg";
        dir.track(name, KTCACHE_FORMAT_OGG, 1024 + static_cast<size_t>(i));
        valid[name] = {name, 1024 + i, "ogg"};
    }
    const auto order = in_enumeration_order(dir.path(), valid);
    EXPECT_EQ(scan(dir.path(), false), expected_report(order, 0));
}

// ---------------------------------------------------------------------------
// Names in the report text
// ---------------------------------------------------------------------------

struct EscapeCase {
    std::string name;
    std::string json;
};

// Printed by value, not from the object's raw bytes (see test_audio.cpp).
void PrintTo(const EscapeCase &c, std::ostream *out) { *out << ::testing::PrintToString(c.name); }

const EscapeCase kEscapeCases[] = {
#ifndef _WIN32
    // Windows refuses control characters, '"', '\\', '<' and '>' in file
    // names, so a directory there can never hold these.
    {"say \"hi\".mp3", R"(say \"hi\".mp3)"},
    {"back\\slash.mp3", R"(back\\slash.mp3)"},
    {"c\b\t\n\f\r.mp3", R"(c\b\t\n\f\r.mp3)"},
    {"ctl\x01\x1f.mp3", R"(ctl\u0001\u001F.mp3)"},
    {"ctl\x0b\x1b.mp3", R"(ctl\u000B\u001B.mp3)"},
    {"<tag> & 'quote'.mp3", "<tag> & 'quote'.mp3"},
#endif
    {"del\x7f.mp3", "del\x7f.mp3"},
    {"caf\xc3\xa9 \xe2\x99\xab \xf0\x9f\x8e\xb5.mp3",
     "caf\xc3\xa9 \xe2\x99\xab \xf0\x9f\x8e\xb5.mp3"},
    {"it's & [live] {2} #3 %4 ~5 +6 =7 ;8 ,9.mp3", "it's & [live] {2} #3 %4 ~5 +6 =7 ;8 ,9.mp3"},
};

class ScanEscaping : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(ScanEscaping, NamesAreWrittenAsJsonStrings) {
    kt::TempDir dir;
    dir.track(GetParam().name, KTCACHE_FORMAT_MP3, 1024);
    EXPECT_EQ(scan(dir.path(), false), expected_report({{GetParam().json, 1024, "mp3"}}, 0));
}

INSTANTIATE_TEST_SUITE_P(Names, ScanEscaping, ::testing::ValuesIn(kEscapeCases));

#ifndef _WIN32
// Windows names are UTF-16, so every one converts to UTF-8 except one with a
// surrogate that lacks its partner, and no file of such a name can be made
// under Wine: these byte sequences exist as names on POSIX systems only.
class ScanInvalidUtf8 : public ::testing::TestWithParam<std::string> {};

TEST_P(ScanInvalidUtf8, ValidFileWithSuchANameGivesNoReportButPurgeStands) {
    kt::TempDir dir;
    dir.track("song" + GetParam() + ".mp3", KTCACHE_FORMAT_MP3);
    dir.write("junk.mp3", "<html>", 2000);
    ASSERT_EQ(ktcache_validate_file(nullptr, 0), -1);
    EXPECT_EQ(scan(dir.path(), true), "<null>");
    EXPECT_STREQ(ktcache_last_error(), "");
    EXPECT_FALSE(dir.exists("junk.mp3"));
    EXPECT_TRUE(dir.exists("song" + GetParam() + ".mp3"));
}

TEST_P(ScanInvalidUtf8, RejectedFileWithSuchANameDoesNotSpoilTheReport) {
    kt::TempDir dir;
    dir.write("page" + GetParam() + ".mp3", "<html>", 2000);
    EXPECT_EQ(scan(dir.path(), false), kEmptyReport);
}

INSTANTIATE_TEST_SUITE_P(Sequences, ScanInvalidUtf8,
                         ::testing::Values("\xff", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                                           "\xed\xbf\xbf", "\xf4\x90\x80\x80",
                                           "\xf8\x88\x80\x80\x80", "\xe2\x82", "\x80", "\xc3"));
#endif

// ---------------------------------------------------------------------------
// Files of 2 GiB and more
// ---------------------------------------------------------------------------

// Sparse tracks whose sizes need 31, 32 and 33 bits. Where the status query
// reports 64-bit sizes they are valid and listed with their true sizes. On
// Windows its record holds 32 bits: a file whose size does not fit cannot be
// checked, and a scan neither lists nor deletes it. (A truncated size would
// make a 3 GiB track look too short and have it purged.)
TEST(ScanLargeFiles, SizesBeyond32BitsAreTrueOrTheFileIsLeftAlone) {
    struct Case {
        const char *name;
        int64_t size;
        bool fits_32_bits;
    };
    const Case cases[] = {
        {"largest-32-bit.ogg", INT32_MAX, true},
        {"three-gib.ogg", INT64_C(3) << 30, false},
        {"wraps-to-2-kib.ogg", (INT64_C(4) << 30) + 2048, false},
    };
    kt::TempDir dir;
    std::map<std::string, Listed> valid;
    for (const Case &c : cases) {
        const std::string path = dir.sparse(c.name, kt::audio_header(KTCACHE_FORMAT_OGG), c.size);
#ifdef _WIN32
        const bool checkable = c.fits_32_bits;
#else
        const bool checkable = true;
#endif
        const int32_t result = ktcache_validate_file(path.c_str(), 0);
        if (checkable) {
            EXPECT_EQ(result, KTCACHE_FORMAT_OGG) << c.name;
            EXPECT_STREQ(ktcache_last_error(), "") << c.name;
            valid[c.name] = {c.name, c.size, "ogg"};
        } else {
            EXPECT_EQ(result, -1) << c.name;
            EXPECT_STREQ(ktcache_last_error(), "stat failed") << c.name;
        }
    }
    EXPECT_EQ(scan(dir.path(), true), expected_report(in_enumeration_order(dir.path(), valid), 0));
    for (const Case &c : cases) EXPECT_TRUE(dir.exists(c.name)) << c.name;
}

#ifdef _WIN32
// ---------------------------------------------------------------------------
// Windows file systems
// ---------------------------------------------------------------------------

// Windows refuses to delete a read-only file: the purge leaves it, does not
// count it, and the report is still returned.
TEST(ScanWindows, ReadOnlyRejectIsLeftAndNotCounted) {
    kt::TempDir dir;
    const std::string page = dir.write("page.mp3", "<html>", 2000);
    dir.track("ok.mp3", KTCACHE_FORMAT_MP3, 1100);
    ASSERT_EQ(_chmod(page.c_str(), _S_IREAD), 0);
    EXPECT_EQ(scan(dir.path(), true), expected_report({{"ok.mp3", 1100, "mp3"}}, 0));
    EXPECT_STREQ(ktcache_last_error(), "");
    EXPECT_TRUE(dir.exists("page.mp3"));
}

// A Unicode host names its tracks in every script. The scan reaches each by
// its real name, lists it in UTF-8, and purges a broken one, in the ANSI
// code page of a Western system and in the UTF-8 one alike (this program is
// built both ways).
TEST(ScanWindows, NamesInEveryScriptAreListedAndPurgedByTheirRealNames) {
    kt::TempDir dir;
    const char *valid[] = {"Caf\xC3\xA9 del Mar.m4a",
                           ("\xE6\x97\xA5\xE6\x9C\xAC\xE3\x81\xAE"
                            "\xE6\x9B\xB2.flac"),
                           "\xF0\x9F\x8E\xB5 beat.ogg"};
    for (const char *name : valid) dir.track(name, KTCACHE_FORMAT_FLAC, 2048);
    dir.write("\xE5\xA3\x8A\xE3\x82\x8C\xE3\x81\x9F.mp3", "<!DOCTYPE html>", 2048);
    dir.write("Cr\xC3\xA8me \xF0\x9F\x8E\xB5.aac", "<html>", 2048);
    std::vector<Listed> listed;
    for (const std::string &name : kt::enumeration_order(dir.path()))
        for (const char *v : valid)
            if (name == v) listed.push_back({name, 2048, "flac"});
    ASSERT_EQ(listed.size(), 3u);

    EXPECT_EQ(scan(dir.path(), true), expected_report(listed, 2));
    for (const char *name : valid) EXPECT_TRUE(dir.exists(name)) << name;
    EXPECT_EQ(kt::enumeration_order(dir.path()).size(), 3u) << "the broken files stay";
}

// Paths from the caller are bytes in the process's ANSI code page, as every
// narrow Windows call reads them: code page bytes in a Western code page,
// UTF-8 in a process that declares the UTF-8 code page, which then reaches
// a file or a cache directory of any name.
TEST(ScanWindows, CallerPathsAreInTheAnsiCodePage) {
    kt::TempDir dir;
    const std::string cache = dir.subdir("\xE9\x9F\xB3\xE6\xA5\xBD \xC3\xA9t\xC3\xA9");
    dir.track("\xE9\x9F\xB3\xE6\xA5\xBD \xC3\xA9t\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC.flac",
              KTCACHE_FORMAT_FLAC, 2048);
    dir.track("Caf\xC3\xA9.m4a", KTCACHE_FORMAT_M4A, 2048);
    if (GetACP() == CP_UTF8) {
        EXPECT_EQ(ktcache_validate_file((cache + "/\xE6\x97\xA5\xE6\x9C\xAC.flac").c_str(), 0),
                  KTCACHE_FORMAT_FLAC);
        EXPECT_EQ(scan(cache, false),
                  expected_report({{"\xE6\x97\xA5\xE6\x9C\xAC.flac", 2048, "flac"}}, 0));
        EXPECT_EQ(ktcache_validate_file((dir / "Caf\xC3\xA9.m4a").c_str(), 0), KTCACHE_FORMAT_M4A);
    } else {
        ASSERT_EQ(GetACP(), 1252u);
        EXPECT_EQ(ktcache_validate_file((dir / "Caf\xE9.m4a").c_str(), 0), KTCACHE_FORMAT_M4A);
        EXPECT_EQ(ktcache_validate_file((dir / "Caf\xC3\xA9.m4a").c_str(), 0), -1)
            << "UTF-8 bytes are other characters in code page 1252";
    }
}

// Another program holds a valid track open in each of five sharing modes.
// Where it shares reading, the scan reads and lists the track; where it does
// not, the track could not be judged this time. Either way the purge never
// deletes it, and it deletes the broken files beside it.
TEST(ScanWindows, TrackHeldByAnotherProgramSurvivesAPurge) {
    struct Holder {
        DWORD access, share;
    };
    const Holder holders[] = {
        {GENERIC_READ, FILE_SHARE_READ},    {GENERIC_READ, FILE_SHARE_DELETE},
        {GENERIC_WRITE, FILE_SHARE_DELETE}, {GENERIC_WRITE, FILE_SHARE_WRITE | FILE_SHARE_DELETE},
        {GENERIC_READ | GENERIC_WRITE, 0},
    };
    for (const Holder &h : holders) {
        kt::TempDir dir;
        dir.track("held.m4a", KTCACHE_FORMAT_M4A, 2048);
        dir.write("page.mp3", "<!DOCTYPE html>", 2048);
        dir.track("stub.ogg", KTCACHE_FORMAT_OGG, 100);
        HANDLE held = CreateFileW(kt::utf16(dir / "held.m4a").c_str(), h.access, h.share, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        const std::string report = scan(dir.path(), true);
        CloseHandle(held);
        const bool readable = (h.share & FILE_SHARE_READ) != 0;
        EXPECT_EQ(report, readable ? expected_report({{"held.m4a", 2048, "m4a"}}, 2)
                                   : expected_report({}, 2))
            << "access " << h.access << ", share " << h.share;
        EXPECT_EQ(kt::enumeration_order(dir.path()), std::vector<std::string>{"held.m4a"})
            << "access " << h.access << ", share " << h.share;
    }
}

// A downloader finishes a track by renaming its visible ".part" file to the
// track's name (here back and forth, again and again) while scans run one
// after another: the scan reads every file with full sharing, so no rename
// ever meets a sharing violation.
TEST(ScanWindows, DownloaderRenamesNeverMeetASharingViolation) {
    kt::TempDir dir;
    dir.track("song.m4a.part", KTCACHE_FORMAT_M4A, 2048);
    std::atomic<bool> done{false};
    std::thread scanner([&] {
        while (!done.load()) ktcache_free(ktcache_scan_dir_json(dir.path().c_str(), 0));
    });
    const std::wstring names[] = {kt::utf16(dir / "song.m4a.part"), kt::utf16(dir / "song.m4a")};
    int violations = 0;
    for (int i = 0; i < 2000; ++i) {
        if (!MoveFileExW(names[i % 2].c_str(), names[(i + 1) % 2].c_str(), 0)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
            ++violations;
            --i;
        }
    }
    done = true;
    scanner.join();
    EXPECT_EQ(violations, 0);
}

// While a scan runs, another program tries to rename the cache directory
// (the first half of swapping another directory in): the scan holds the
// directory, so the rename fails and the scan sees every file to the end.
TEST(ScanWindows, DirectoryCannotBeRenamedWhileItIsScanned) {
    kt::TempDir parent;
    const std::string cache = parent.subdir("cache");
    std::map<std::string, Listed> valid;
    for (int i = 0; i < 400; ++i) {
        const std::string name = "t" + std::to_string(i) + ".ogg";
        parent.track("cache/" + name, KTCACHE_FORMAT_OGG, 1100);
        valid[name] = {name, 1100, "ogg"};
    }
    const std::string complete = expected_report(in_enumeration_order(cache, valid), 0);
    const std::wstring from = kt::utf16(cache), to = kt::utf16(cache + "-moved");
    for (int trial = 0; trial < 5; ++trial) {
        std::atomic<bool> done{false}, moved{false};
        std::thread mover([&] {
            while (!done.load() && !moved.load()) moved = MoveFileW(from.c_str(), to.c_str()) != 0;
        });
        const std::string report = scan(cache, false);
        done = true;
        mover.join();
        if (moved) {
            ASSERT_TRUE(MoveFileW(to.c_str(), from.c_str()));
        }
        if (report == "<null>") continue; // moved before the scan opened it
        EXPECT_EQ(report, complete) << "the directory was renamed during the scan";
        return;
    }
    FAIL() << "no scan ever opened the directory";
}

// The \\?\ form of a test path, which Windows takes verbatim: backslashes
// only, no "." or "..".
std::string verbatim(const std::string &path) {
    std::string windows = path;
    for (char &c : windows)
        if (c == '/') c = '\\';
    return "\\\\?\\" + windows;
}

// A host passes its cache directory in the \\?\ form, as long paths need:
// the scan lists and purges it as it does the plain form, and validation
// reaches a file by such a path.
TEST(ScanWindows, VerbatimPathsAreScannedLikeAnyOther) {
    kt::TempDir dir;
    dir.track("a.m4a", KTCACHE_FORMAT_M4A, 2048);
    dir.track("b.ogg", KTCACHE_FORMAT_OGG, 1100);
    dir.write("page.mp3", "<html>", 2000);
    const std::string cache = verbatim(dir.path());
    EXPECT_EQ(ktcache_validate_file((cache + "\\b.ogg").c_str(), 0), KTCACHE_FORMAT_OGG);
    const std::map<std::string, Listed> valid = {{"a.m4a", {"a.m4a", 2048, "m4a"}},
                                                 {"b.ogg", {"b.ogg", 1100, "ogg"}}};
    EXPECT_EQ(scan(cache, true), expected_report(in_enumeration_order(dir.path(), valid), 1));
    EXPECT_STREQ(ktcache_last_error(), "");
    EXPECT_FALSE(dir.exists("page.mp3"));
}

// NTFS holds names that no plain Windows path reaches: a trailing dot or
// space, device names with or without an extension (a cache copied from
// another system, or written by a native program). Made here on the Linux
// side, each valid one is listed and each broken one purged, under its own
// name; validation reaches them by \\?\ paths.
TEST(ScanWindows, NamesThatWindowsPathsAlterAreListedAndPurged) {
    if (!kt::is_wine()) GTEST_SKIP() << "the Linux side of Wine makes these names";
    struct Entry {
        const char *name;
        bool valid;
    };
    const Entry entries[] = {
        {"dot.m4a.", true}, {"space.m4a ", true}, {"NUL.m4a", true},      {"COM1.m4a", true},
        {"CON", true},      {"lpt9.m4a", true},   {"broken.mp3.", false}, {"aux.mp3", false},
        {"PRN ", false},    {"com2.mp3", false},
    };
    kt::TempDir dir;
    std::string renames;
    std::map<std::string, Listed> valid;
    for (size_t i = 0; i < std::size(entries); ++i) {
        const Entry &e = entries[i];
        const std::string made = "made-" + std::to_string(i);
        if (e.valid) {
            dir.track(made, KTCACHE_FORMAT_M4A, 2048);
            valid[e.name] = {e.name, 2048, "m4a"};
        } else {
            dir.write(made, "<!DOCTYPE html>", 2048);
        }
        renames +=
            "mv " + kt::unix_path(dir / made) + " " + kt::unix_path(dir.path(), e.name) + "\n";
    }
    ASSERT_EQ(kt::run_unix_shell(renames), 0);
    ASSERT_EQ(kt::enumeration_order(dir.path()).size(), std::size(entries));

    for (const char *name : {"dot.m4a.", "NUL.m4a"})
        EXPECT_EQ(ktcache_validate_file((verbatim(dir.path()) + "\\" + name).c_str(), 0),
                  KTCACHE_FORMAT_M4A)
            << name;
    const std::vector<Listed> listed = in_enumeration_order(dir.path(), valid);
    EXPECT_EQ(scan(dir.path(), false), expected_report(listed, 0));
    EXPECT_EQ(scan(dir.path(), true), expected_report(listed, 4));
    EXPECT_EQ(kt::enumeration_order(dir.path()).size(), valid.size()) << "the broken ones are gone";
}

// A host passes a relative path while another of its threads changes the
// current directory back and forth between two folders that each hold a
// cache of that name: each report is one of the two caches, complete, or
// none at all (under Wine the current directory reads for a moment as
// neither folder, where there is no cache); never part of one.
TEST(ScanWindows, RelativePathIsResolvedOnceWhileTheCurrentDirectoryChanges) {
    kt::TempDir first, second;
    std::string complete[2];
    for (int side = 0; side < 2; ++side) {
        const kt::TempDir &parent = side == 0 ? first : second;
        parent.subdir("cache");
        std::map<std::string, Listed> valid;
        for (int i = 0; i < 30; ++i) {
            const std::string name = (side == 0 ? "t" : "u") + std::to_string(i) + ".ogg";
            parent.track("cache/" + name, KTCACHE_FORMAT_OGG, 1100);
            valid[name] = {name, 1100, "ogg"};
        }
        complete[side] = expected_report(in_enumeration_order(parent / "cache", valid), 0);
    }
    wchar_t saved[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
    const std::wstring folders[2] = {kt::utf16(first.path()), kt::utf16(second.path())};
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (unsigned i = 0; !done.load(); ++i) SetCurrentDirectoryW(folders[i % 2].c_str());
    });
    int partial = 0;
    std::string example;
    for (int trial = 0; trial < 300; ++trial) {
        const std::string report = scan("cache", false);
        if (report == complete[0] || report == complete[1] || report == "<null>") continue;
        ++partial;
        example = report;
    }
    done = true;
    changer.join();
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(partial, 0) << "reports that missed tracks, of 300, such as " << example;
}

// A symbolic link in the cache leads to a broken file outside it (made on
// the Linux side, where Wine shows a link as the file it leads to): a purge
// never deletes the file outside. A link to a valid track is listed, as on
// POSIX systems.
TEST(ScanWindows, PurgeNeverDeletesAFileOutsideTheDirectoryThroughALink) {
    if (!kt::is_wine()) GTEST_SKIP() << "the Linux side of Wine makes the links";
    kt::TempDir cache, outside;
    outside.write("page.mp3", "<!DOCTYPE html>", 2000);
    outside.track("song.m4a", KTCACHE_FORMAT_M4A, 2048);
    cache.write("stub.mp3", "<html>", 2000);
    const std::string links =
        kt::unix_path(cache / "page.mp3") + " " + kt::unix_path(cache / "song.m4a");
    ASSERT_EQ(kt::run_unix_shell("ln -s " + kt::unix_path(outside / "page.mp3") + " " +
                                 kt::unix_path(cache / "page.mp3") + " && ln -s " +
                                 kt::unix_path(outside / "song.m4a") + " " +
                                 kt::unix_path(cache / "song.m4a")),
              0);
    const std::string report = scan(cache.path(), true);
    EXPECT_TRUE(outside.exists("page.mp3")) << "the purge deleted the file the link leads to";
    EXPECT_TRUE(outside.exists("song.m4a"));
    // Wine cannot tell the link from its target, so the link stays too.
    EXPECT_EQ(report, expected_report({{"song.m4a", 2048, "m4a"}}, 1));
    EXPECT_FALSE(cache.exists("stub.mp3"));
    EXPECT_EQ(kt::run_unix_shell("rm -f " + links), 0);
}

// A player holds a broken track open (for its attributes only, or reading
// and sharing deletion) while a purge deletes it, and the host downloads the
// track again at once under the same name: the purge freed the name when it
// counted the file, and the new download stays when the player closes.
TEST(ScanWindows, DownloadAtAPurgedNameSurvivesTheOldFilesLastHolder) {
    struct Holder {
        DWORD access, share;
    };
    const Holder holders[] = {
        {FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE},
    };
    for (const Holder &h : holders) {
        kt::TempDir dir;
        dir.write("song.m4a", "<!DOCTYPE html>", 2048);
        HANDLE held = CreateFileW(kt::utf16(dir / "song.m4a").c_str(), h.access, h.share, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(scan(dir.path(), true), expected_report({}, 1)) << "access " << h.access;
        EXPECT_FALSE(dir.exists("song.m4a")) << "the name is still taken; access " << h.access;
        dir.track("song.m4a", KTCACHE_FORMAT_M4A, 2048);
        CloseHandle(held);
        EXPECT_EQ(ktcache_validate_file((dir / "song.m4a").c_str(), 0), KTCACHE_FORMAT_M4A)
            << "the download vanished with the old file; access " << h.access;
    }
}

// A native Linux program finishes downloads by renaming each over a broken
// file of the same name, at random moments, while purging scans run one
// after another: no finished download is ever deleted.
TEST(ScanWindows, DownloadsRenamedOverBrokenFilesByANativeProgramSurvivePurges) {
    if (!kt::is_wine()) GTEST_SKIP() << "needs the Linux side of Wine";
    constexpr int kTrials = 500;
    kt::TempDir cache, finished, templates;
    templates.track("track", KTCACHE_FORMAT_M4A, 2048);
    templates.write("page", "<!DOCTYPE html>", 2048);
    // Each trial: a broken file appears under its name, and after up to
    // 1.5 ms a download is renamed over it; a few trials later the track
    // moves out of the cache, so that the cache stays small.
    static const char kDownloader[] = R"perl(
        my ($cache, $finished, $templates, $trials) = @ARGV;
        sub slurp { local $/; open(my $f, "<", $_[0]) or die; binmode $f; return <$f>; }
        sub put { open(my $f, ">", $_[0]) or die; binmode $f; print $f $_[1]; close $f or die; }
        my ($track, $page) = (slurp("$templates/track"), slurp("$templates/page"));
        for my $t (1 .. $trials) {
            put("$cache/.page-$t", $page);
            rename("$cache/.page-$t", "$cache/song-$t.m4a") or die;
            select(undef, undef, undef, rand(0.0015));
            put("$cache/.part-$t", $track);
            rename("$cache/.part-$t", "$cache/song-$t.m4a") or die;
            next if $t <= 4;
            my $old = $t - 4;
            for (1 .. 100) {
                last if rename("$cache/song-$old.m4a", "$finished/song-$old.m4a");
                select(undef, undef, undef, 0.001);
            }
        })perl";
    const std::string racer = "perl -e '" + std::string(kDownloader) + "' " +
                              kt::unix_path(cache.path()) + " " + kt::unix_path(finished.path()) +
                              " " + kt::unix_path(templates.path()) + " " + std::to_string(kTrials);
    kt::UnixShell downloads(racer);
    int purges = 0;
    for (const ULONGLONG end = GetTickCount64() + 120000;
         !downloads.finished() && GetTickCount64() < end;) {
        ktcache_free(ktcache_scan_dir_json(cache.path().c_str(), 1));
        ++purges;
    }
    ASSERT_EQ(downloads.wait(), 0);
    int lost = 0;
    for (int t = 1; t <= kTrials; ++t) {
        const std::string name = "song-" + std::to_string(t) + ".m4a";
        if (ktcache_validate_file((finished / name).c_str(), 0) != KTCACHE_FORMAT_M4A &&
            ktcache_validate_file((cache / name).c_str(), 0) != KTCACHE_FORMAT_M4A)
            ++lost;
    }
    EXPECT_EQ(lost, 0) << "downloads lost in " << kTrials << " trials, " << purges << " purges";
}
#endif

// ---------------------------------------------------------------------------
// Larger directories and permissions
// ---------------------------------------------------------------------------

TEST(ScanScale, ThousandsOfFilesAreCountedListedAndPurgedConsistently) {
    kt::TempDir dir;
    std::map<std::string, int64_t> valid;
    size_t rejects = 0;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "track-" + std::to_string(i) + (i % 3 ? ".m4a" : ".part");
        if (i % 5 == 0) {
            dir.write(name, "<html>", 1500);
            ++rejects;
        } else {
            const size_t size = 1024 + static_cast<size_t>(i);
            dir.track(name, KTCACHE_FORMAT_M4A, size);
            valid[name] = static_cast<int64_t>(size);
        }
    }
    const std::string text = scan(dir.path(), true);
    rapidjson::Document doc;
    ASSERT_FALSE(doc.Parse(text.c_str()).HasParseError()) << text.substr(0, 200);
    const auto &files = doc["files"].GetArray();
    EXPECT_EQ(doc["validCount"].GetUint64(), valid.size());
    EXPECT_EQ(files.Size(), valid.size());
    EXPECT_EQ(doc["purgedCount"].GetUint64(), rejects);
    int64_t sum = 0, expected_sum = 0;
    std::map<std::string, int64_t> listed;
    for (const auto &f : files) {
        listed[f["name"].GetString()] = f["bytes"].GetInt64();
        sum += f["bytes"].GetInt64();
        EXPECT_STREQ(f["format"].GetString(), "m4a");
    }
    for (const auto &v : valid) expected_sum += v.second;
    EXPECT_EQ(listed, valid);
    EXPECT_EQ(doc["totalBytes"].GetInt64(), sum);
    EXPECT_EQ(sum, expected_sum);
    EXPECT_EQ(kt::enumeration_order(dir.path()).size(), valid.size());
}

#ifndef _WIN32
// Permission bits and a second, unprivileged user are POSIX features.

TEST(ScanPermissions, UnreadableFileIsPurgedLikeAnyReject) {
    kt::TempDir dir;
    const std::string locked = dir.track("locked.mp3", KTCACHE_FORMAT_MP3);
    dir.track("open.mp3", KTCACHE_FORMAT_MP3);
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    int status = kt::run_as_nobody([&] {
        const std::string expected = expected_report({{"open.mp3", 2048, "mp3"}}, 1);
        return scan(dir.path(), true) == expected && ktcache_last_error()[0] == '\0' ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(dir.exists("locked.mp3"));
    EXPECT_TRUE(dir.exists("open.mp3"));
}

TEST(ScanPermissions, FailedDeletionLeavesTheFileUncountedAndTheReportIntact) {
    kt::TempDir dir;
    dir.write("page.mp3", "<html>", 2000);
    dir.track("ok.mp3", KTCACHE_FORMAT_MP3, 1100);
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    int status = kt::run_as_nobody([&] {
        const std::string expected = expected_report({{"ok.mp3", 1100, "mp3"}}, 0);
        return scan(dir.path(), true) == expected ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(dir.exists("page.mp3"));
}

TEST(ScanPermissions, UnlistableDirectoryIsAnOpendirFailure) {
    kt::TempDir dir;
    dir.track("ok.mp3", KTCACHE_FORMAT_MP3);
    ASSERT_EQ(chmod(dir.path().c_str(), 0311), 0);
    int status = kt::run_as_nobody([&] {
        return ktcache_scan_dir_json(dir.path().c_str(), 1) == nullptr &&
                       std::strcmp(ktcache_last_error(), "opendir failed") == 0
                   ? 0
                   : 1;
    });
    EXPECT_EQ(status, 0);
}

#endif // !_WIN32

} // namespace
