// The library under faults injected from below: memory that runs out at each
// allocation in turn, a process out of file descriptors, a FIFO swapped in
// between the status query and the open, and an enumeration that fails.
#include "counting_heap.h"
#include "interpose.h"
#include "ktcache.hpp"
#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using kt::expected_report;

struct ScanOutcome {
    std::string report; // "<null>" for a null result
    std::string last_error;
    bool failure_hit;
    long blocks_left; // blocks still allocated after the report is released
};

// Scans with the `n`th allocation failing (0: none fails).
ScanOutcome scan_failing_allocation(const std::string &dir, bool purge, long n) {
    heap::reset_live_blocks();
    heap::fail_allocation(n);
    char *report = ktcache_scan_dir_json(dir.c_str(), purge ? 1 : 0);
    const bool hit = heap::allocation_failure_hit();
    heap::fail_allocation(0);
    // Counted before the outcome's own strings allocate anything.
    const long blocks_left = heap::live_blocks() - (report != nullptr ? 1 : 0);
    ScanOutcome out{report ? report : "<null>", ktcache_last_error(), hit, blocks_left};
    ktcache_free(report);
    return out;
}

// A cache with listed, rejected, hidden and subdirectory entries.
void lay_out_cache(const kt::TempDir &dir) {
    dir.track("a.m4a", KTCACHE_FORMAT_M4A, 1048576);
    dir.track("b.mp3", KTCACHE_FORMAT_MP3, 4096);
    dir.track(".part.m4a", KTCACHE_FORMAT_M4A, 4096);
    if (!dir.exists("covers")) dir.subdir("covers");
}
void lay_out_rejects(const kt::TempDir &dir) {
    dir.write("error-page.mp3", "<!DOCTYPE html>", 2048);
    dir.track("stub.ogg", KTCACHE_FORMAT_OGG, 100);
}

std::string full_report(const kt::TempDir &dir, uint64_t purged) {
    std::vector<kt::Listed> listed;
    for (const std::string &name : kt::enumeration_order(dir.path())) {
        if (name == "a.m4a") listed.push_back({name, 1048576, "m4a"});
        if (name == "b.mp3") listed.push_back({name, 4096, "mp3"});
    }
    return expected_report(listed, purged);
}

TEST(MemoryFailure, EachAllocationOfAReportScanFailsCleanly) {
    kt::TempDir dir;
    lay_out_cache(dir);
    lay_out_rejects(dir);
    const std::string complete = full_report(dir, 0);

    long n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 1000) << "the scan never completed";
        const ScanOutcome out = scan_failing_allocation(dir.path(), false, n);
        if (!out.failure_hit) {
            EXPECT_EQ(out.report, complete);
            EXPECT_EQ(out.blocks_left, 0);
            break;
        }
        SCOPED_TRACE("allocation " + std::to_string(n) + " failed");
        EXPECT_EQ(out.report, "<null>")
            << "a scan short of memory must not return a partial report";
        EXPECT_TRUE(out.last_error.empty() || out.last_error == "opendir failed") << out.last_error;
        EXPECT_EQ(out.blocks_left, 0) << "leaked blocks";
    }
    EXPECT_GE(n, 4) << "a scan allocates the directory stream, path, list and report";
}

TEST(MemoryFailure, EachAllocationOfAPurgingScanFailsCleanly) {
    kt::TempDir dir;
    lay_out_cache(dir);
    for (long n = 1;; ++n) {
        ASSERT_LT(n, 1000) << "the scan never completed";
        lay_out_rejects(dir);
        const ScanOutcome out = scan_failing_allocation(dir.path(), true, n);
        SCOPED_TRACE("allocation " + std::to_string(n));
        EXPECT_TRUE(dir.exists("a.m4a") && dir.exists("b.mp3") && dir.exists(".part.m4a"))
            << "a valid or hidden track was purged";
        EXPECT_EQ(out.blocks_left, 0) << "leaked blocks";
        if (!out.failure_hit) {
            EXPECT_EQ(out.report, full_report(dir, 2));
            break;
        }
        EXPECT_EQ(out.report, "<null>");
        if (out.last_error == "opendir failed") {
            EXPECT_TRUE(dir.exists("error-page.mp3") && dir.exists("stub.ogg"));
        } else {
            EXPECT_EQ(out.last_error, "");
        }
    }
}

TEST(MemoryFailure, SafeFilenameGivesNullAndLeavesTheLastErrorText) {
    ASSERT_EQ(ktcache_validate_file("", 0), -1);
    for (const char *url : {static_cast<const char *>(nullptr), "", "/", "https://h/a%20b.mp3"}) {
        heap::fail_allocation(1);
        char *name = ktcache_safe_filename(url);
        const bool hit = heap::allocation_failure_hit();
        heap::fail_allocation(0);
        EXPECT_TRUE(hit);
        EXPECT_EQ(name, nullptr) << (url ? url : "(null)");
        ktcache_free(name);
    }
    EXPECT_STREQ(ktcache_last_error(), "empty path");
}

TEST(MemoryFailure, CppHeaderGivesAnEmptyOptionalForANameThatCannotBeMade) {
    const std::string url = "https://h/a/some-long-track-name.m4a";
    heap::fail_allocation(1);
    const std::optional<std::string> name = ktcache::safe_filename(url);
    heap::fail_allocation(0);
    EXPECT_FALSE(name.has_value());
    EXPECT_EQ(ktcache::safe_filename(url), "some-long-track-name.m4a");
}

TEST(MemoryFailure, SelfTestReportsTheNameCheckWhenNoNameCanBeMade) {
    heap::fail_allocation(1);
    const int32_t result = ktcache_selftest();
    heap::fail_allocation(0);
    EXPECT_EQ(result, KTCACHE_SELFTEST_FILENAME_FAILED);
    EXPECT_EQ(ktcache_selftest(), KTCACHE_SELFTEST_OK);
}

TEST(MemoryFailure, ValidationAllocatesNothing) {
    kt::TempDir dir;
    const std::string track = dir.track("t.ogg", KTCACHE_FORMAT_OGG);
    heap::fail_allocation(1);
    EXPECT_EQ(ktcache_validate_file(track.c_str(), 0), KTCACHE_FORMAT_OGG);
    EXPECT_FALSE(heap::allocation_failure_hit());
    heap::fail_allocation(0);
}

// Opens /dev/null until the descriptor table is full, then frees exactly one
// slot: the scan's directory stream takes it and every later open fails.
bool exhaust_descriptors_but_one() {
    int count = 0;
    if (DIR *self = opendir("/proc/self/fd")) {
        while (readdir(self) != nullptr) ++count;
        closedir(self);
    }
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    limit.rlim_cur = static_cast<rlim_t>(count + 8);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    int last = -1;
    for (;;) {
        int fd = open("/dev/null", O_RDONLY);
        if (fd < 0) break;
        last = fd;
    }
    if (errno != EMFILE || last < 0) return false;
    close(last);
    return true;
}

TEST(DescriptorShortage, PurgingScanKeepsTracksAndGivesNoReport) {
    kt::TempDir dir;
    for (int i = 0; i < 5; ++i)
        dir.track("track" + std::to_string(i) + ".flac", KTCACHE_FORMAT_FLAC);
    dir.write("error-page.mp3", "<!DOCTYPE html>", 2048);
    dir.track("stub.ogg", KTCACHE_FORMAT_OGG, 100);

    const int status = kt::run_in_child([&] {
        if (!exhaust_descriptors_but_one()) return 10;
        char *report = ktcache_scan_dir_json(dir.path().c_str(), 1);
        // Nothing could be opened: a report would present the cache as empty,
        // so there is none. Nor can the purge hold the stub, which its size
        // alone condemns, so it stays too.
        const bool ok = report == nullptr && ktcache_last_error()[0] == '\0';
        ktcache_free(report);
        return ok ? 0 : 11;
    });
    EXPECT_EQ(status, 0) << "11: a report came back, or a last-error text";
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(dir.exists("track" + std::to_string(i) + ".flac"));
    EXPECT_TRUE(dir.exists("error-page.mp3")) << "could not be judged, so it must stay";
    EXPECT_TRUE(dir.exists("stub.ogg")) << "could not be held, so it must stay";

    // With descriptors to spare the same scan lists the tracks and purges both.
    const std::string report = kt::scan(dir.path(), true);
    EXPECT_NE(report.find("\"validCount\":5,\"purgedCount\":2,"), std::string::npos) << report;
}

// A file the scan could not open or read is kept: only a verdict the scan
// reached itself condemns a file. Running out of descriptors or memory gives
// no report at all, since every later file would fail the same way; a failure
// of one file leaves only that file out of the report.
// Arms a read failure for the file about to be opened when it is the victim,
// and disarms it for every other file.
int g_read_error_of_victim;
void fail_reads_of_victim(int, const char *path, int) {
    const size_t n = std::strlen(path);
    fault::fail_reads(
        n >= 11 && std::strcmp(path + n - 11, "victim.flac") == 0 ? g_read_error_of_victim : 0);
}

TEST(UnjudgedFiles, AreNeverPurgedAndNeverMissingFromAReport) {
    enum Outcome { purged, left_out, no_report };
    struct Case {
        bool on_read;
        int error;
        Outcome outcome;
    };
    const Case cases[] = {
        {false, EACCES, purged},    {false, EPERM, purged},     {false, ENOENT, left_out},
        {false, EAGAIN, left_out},  {false, EIO, left_out},     {false, ESTALE, left_out},
        {false, EINTR, left_out},   {false, EMFILE, no_report}, {false, ENFILE, no_report},
        {false, ENOMEM, no_report}, {true, EIO, left_out},      {true, EINTR, left_out},
    };
    kt::TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.on_read ? "read: " : "open: ") + std::strerror(c.error));
        dir.track("kept.ogg", KTCACHE_FORMAT_OGG);
        dir.track("victim.flac", KTCACHE_FORMAT_FLAC);
        dir.track("stub.mp3", KTCACHE_FORMAT_MP3, 100);
        if (c.on_read) {
            g_read_error_of_victim = c.error;
            fault::set_open_hook(fail_reads_of_victim);
        } else {
            fault::fail_opens_of("victim.flac", c.error);
        }
        const std::string report = kt::scan(dir.path(), true);
        fault::fail_reads(0);
        fault::set_open_hook(nullptr);
        fault::fail_opens_of(nullptr, 0);

        EXPECT_FALSE(dir.exists("stub.mp3")) << "its size condemns it whatever else happens";
        EXPECT_EQ(dir.exists("victim.flac"), c.outcome != purged);
        if (c.outcome == no_report) {
            EXPECT_EQ(report, "<null>");
            EXPECT_STREQ(ktcache_last_error(), "");
        } else {
            EXPECT_EQ(report,
                      expected_report({{"kept.ogg", 2048, "ogg"}}, c.outcome == purged ? 2 : 1));
        }
    }
}

// A tagger rewrites a track by renaming it away and back: the scan's open
// falls between the two and finds nothing there for a moment.
std::string g_vanish_dir;
void rename_track_away(int, const char *path, int) {
    if (std::strstr(path, "vanishing.m4a") != nullptr)
        rename((g_vanish_dir + "/vanishing.m4a").c_str(), (g_vanish_dir + "/.tagging").c_str());
}
void rename_track_back(int, const char *path, int) {
    if (std::strstr(path, "vanishing.m4a") != nullptr)
        rename((g_vanish_dir + "/.tagging").c_str(), (g_vanish_dir + "/vanishing.m4a").c_str());
}

TEST(VanishingTrack, IsNeitherListedNorPurged) {
    kt::TempDir dir;
    dir.track("vanishing.m4a", KTCACHE_FORMAT_M4A);
    dir.track("steady.ogg", KTCACHE_FORMAT_OGG);
    g_vanish_dir = dir.path();
    fault::set_open_hook(rename_track_away);
    fault::set_after_open_hook(rename_track_back);
    const std::string report = kt::scan(dir.path(), true);
    fault::set_open_hook(nullptr);
    fault::set_after_open_hook(nullptr);
    EXPECT_TRUE(dir.exists("vanishing.m4a")) << "a track that was away for a moment was purged";
    EXPECT_EQ(report, expected_report({{"steady.ogg", 2048, "ogg"}}, 0));
}

// A file server holds a write lease on a track while the player scans: the
// open cannot go ahead at once, which says nothing against the track.
TEST(WriteLease, TrackUnderALeaseIsNeverPurged) {
    kt::TempDir dir;
    const std::string track = dir.track("leased.flac", KTCACHE_FORMAT_FLAC);
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        signal(SIGIO, SIG_IGN);
        const int fd = open(track.c_str(), O_RDWR);
        const char ok = fd >= 0 && fcntl(fd, F_SETLEASE, F_WRLCK) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        char c;
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    char leased = 'n';
    ASSERT_EQ(read(ready[0], &leased, 1), 1);
    const std::string report = leased == 'y' ? kt::scan(dir.path(), true) : "";
    const bool kept = dir.exists("leased.flac");
    (void)!write(done[1], "x", 1);
    waitpid(holder, nullptr, 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
    ASSERT_EQ(leased, 'y') << "could not take a write lease here";
    EXPECT_TRUE(kept) << "a track under a lease was purged";
    EXPECT_EQ(report, expected_report({}, 0));
}

// A valid file whose name ends in a lead byte of a multibyte sequence: the
// name is not UTF-8, and nothing may be read past its end to find that out.
TEST(NameAtThePageEnd, IsCheckedWithoutReadingPastIt) {
    kt::TempDir dir;
    for (const char *name : {"a\xE0", "b\xEF", "c\xF0", "d\xF4", "e\xC3"}) {
        SCOPED_TRACE(name);
        dir.track(name, KTCACHE_FORMAT_OGG);
        const int status = kt::run_in_child([&] {
            fault::place_entries_before_guard_page(true);
            char *report = ktcache_scan_dir_json(dir.path().c_str(), 0);
            const bool ok = report == nullptr && ktcache_last_error()[0] == '\0';
            ktcache_free(report);
            return ok ? 0 : 11;
        });
        EXPECT_EQ(status, 0) << "139: read past the name; 11: a report or a last-error text";
        unlink((dir / name).c_str());
    }
}

// Replaces the file about to be opened by a FIFO with no writer: an open that
// may block would then wait for ever.
int g_swapped_open_flags;
void swap_in_fifo(int dir_fd, const char *path, int flags) {
    const size_t len = std::strlen(path);
    if (len < 8 || std::strcmp(path + len - 8, "swap.mp3") != 0) return;
    g_swapped_open_flags = flags;
    unlinkat(dir_fd, path, 0);
    mkfifoat(dir_fd, path, 0644);
}

TEST(FileSwap, FifoSwappedInBeforeTheOpenNeverBlocks) {
    kt::TempDir dir;
    const int status = kt::run_in_child(
        [&] {
            fault::set_open_hook(swap_in_fifo);
            const std::string path = dir.track("swap.mp3", KTCACHE_FORMAT_MP3);
            const int32_t single = ktcache_validate_file(path.c_str(), 0);
            if (single != 0 || std::strcmp(ktcache_last_error(), "unrecognized audio header") != 0)
                return 11;
            if ((g_swapped_open_flags & O_CLOEXEC) == 0) return 12;

            unlink(path.c_str());
            dir.track("swap.mp3", KTCACHE_FORMAT_MP3);
            return kt::scan(dir.path(), false) == expected_report({}, 0) ? 0 : 13;
        },
        10);
    EXPECT_EQ(status, 0) << "142: blocked on the FIFO; 12: not opened close-on-exec";
}

// Replaces a rejected file by an empty directory just before it is opened:
// the purge that follows must not take the directory away.
void swap_in_directory(int dir_fd, const char *path, int) {
    const size_t len = std::strlen(path);
    if (len < 9 || std::strcmp(path + len - 9, "page.html") != 0) return;
    unlinkat(dir_fd, path, 0);
    mkdirat(dir_fd, path, 0755);
}

TEST(FileSwap, DirectorySwappedInIsNeverPurged) {
    kt::TempDir dir;
    dir.write("page.html", "<html>", 4096);
    fault::set_open_hook(swap_in_directory);
    const std::string report = kt::scan(dir.path(), true);
    fault::set_open_hook(nullptr);
    EXPECT_EQ(report, expected_report({}, 0));
    struct stat st;
    ASSERT_EQ(stat((dir / "page.html").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// exFAT and FAT through FUSE can neither refuse to replace on rename nor
// link. A download that finishes over a broken file between its judgement
// and the purge's move aside is moved aside in its place, and must come back
// under its own name, byte for byte, leaving no hidden entry behind.
std::string g_download_dir;
void finish_download(int, const char *path, int) {
    const size_t len = std::strlen(path);
    if (g_download_dir.empty() || len < 8 || std::strcmp(path + len - 8, "song.m4a") != 0) return;
    rename((g_download_dir + "/.song.m4a.part").c_str(), (g_download_dir + "/song.m4a").c_str());
    g_download_dir.clear();
}

TEST(FileSwap, DownloadFinishedDuringAPurgeWithoutLinksKeepsItsName) {
    kt::TempDir dir;
    dir.write("song.m4a", "<!DOCTYPE html>", 2048);
    const std::string download = kt::contents_of(dir.track(".song.m4a.part", KTCACHE_FORMAT_M4A));
    g_download_dir = dir.path();
    fault::refuse_no_replace_and_links(true);
    fault::set_after_open_hook(finish_download);
    const std::string report = kt::scan(dir.path(), true);
    fault::set_after_open_hook(nullptr);
    fault::refuse_no_replace_and_links(false);
    EXPECT_TRUE(g_download_dir.empty()) << "the download was never swapped in";
    EXPECT_EQ(report, expected_report({}, 0));
    EXPECT_EQ(kt::enumeration_order(dir.path()), std::vector<std::string>{"song.m4a"});
    EXPECT_EQ(kt::contents_of(dir / "song.m4a"), download);
}

// Renames the scanned directory at the first open of one of its files.
std::string g_rename_from, g_rename_to;
void rename_directory_once(int, const char *, int) {
    if (g_rename_from.empty()) return;
    rename(g_rename_from.c_str(), g_rename_to.c_str());
    g_rename_from.clear();
}

// Where the library works relative to the open directory, a scan keeps to
// the directory it opened even when its path changes midway.
TEST(DirectoryRenamed, ScanKeepsToTheDirectoryItOpened) {
    const char *preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "portable-file-access") != nullptr)
        GTEST_SKIP() << "the path-joining variant follows the path by design";
    kt::TempDir dir;
    for (int i = 0; i < 5; ++i) dir.track("t" + std::to_string(i) + ".flac", KTCACHE_FORMAT_FLAC);
    dir.write("page.flac", "<!DOCTYPE html>", 2048);
    std::vector<kt::Listed> listed;
    for (const std::string &name : kt::enumeration_order(dir.path()))
        if (name != "page.flac") listed.push_back({name, 2048, "flac"});

    const std::string moved = dir.path() + "-moved";
    g_rename_from = dir.path();
    g_rename_to = moved;
    fault::set_open_hook(rename_directory_once);
    const std::string report = kt::scan(dir.path(), true);
    fault::set_open_hook(nullptr);
    ASSERT_EQ(rename(moved.c_str(), dir.path().c_str()), 0) << "the directory was never renamed";

    EXPECT_EQ(report, expected_report(listed, 1));
    EXPECT_FALSE(dir.exists("page.flac"));
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(dir.exists("t" + std::to_string(i) + ".flac"));
}

// The report is streamed into the block the caller receives: a scan never
// holds a second copy of the list, nor a document of every entry.
TEST(MemoryUse, ScanPeakStaysWithinThreeTimesTheReport) {
    kt::TempDir dir;
    for (int i = 0; i < 3000; ++i) {
        const std::string stem =
            "Artist " + std::to_string(i % 37) + " - Track " + std::to_string(i);
        dir.track(stem + ".m4a", KTCACHE_FORMAT_M4A, 1024);
        if (i % 10 == 0) dir.write(stem + ".html", "<!DOCTYPE html>", 2048);
    }
    heap::arm();
    char *report = ktcache_scan_dir_json(dir.path().c_str(), 0);
    heap::disarm();
    const auto peak = static_cast<size_t>(heap::peak());
    ASSERT_NE(report, nullptr);
    const size_t length = std::strlen(report);
    ktcache_free(report);
    EXPECT_GT(length, 3000u * 60);
    EXPECT_LE(peak, 3 * length) << "report " << length << " bytes, peak " << peak;
}

TEST(EnumerationError, ReaddirFailureGivesNoReportButKeepsItsDeletions) {
    kt::TempDir dir;
    for (int i = 0; i < 6; ++i) dir.track("t" + std::to_string(i) + ".ogg", KTCACHE_FORMAT_OGG);
    dir.write("junk.ogg", "<html>", 2000);
    fault::fail_readdir_after(4, EIO);
    char *report = ktcache_scan_dir_json(dir.path().c_str(), 1);
    fault::fail_readdir_after(-1, 0);
    EXPECT_EQ(report, nullptr) << "an enumeration cut short must not pass for a complete report";
    EXPECT_STREQ(ktcache_last_error(), "");
    ktcache_free(report);
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(dir.exists("t" + std::to_string(i) + ".ogg"));
}

} // namespace
