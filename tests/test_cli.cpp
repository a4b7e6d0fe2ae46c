// The ktcache command and the run-time loading example, run as real processes.
#include "support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using kt::ProcessResult;

ProcessResult ktcache(std::vector<std::string> args, bool terminal = false) {
    args.insert(args.begin(), KTCACHE_TOOL_FILE);
    return kt::run_program(args, terminal);
}

// The tool sorts names as the locale collates them; the C locale makes that
// the names' byte order wherever the tests run.
const bool kByteOrderLocale = setenv("LC_ALL", "C", 1) == 0;

// gtest's assertions do not reach the parent from a child that changed
// user: the child prints what differs and exits with 1.
bool same(const char *what, const std::string &actual, const std::string &expected) {
    if (actual == expected) return true;
    std::fprintf(stderr, "%s differs:\n--- actual\n%s\n--- expected\n%s\n", what, actual.c_str(),
                 expected.c_str());
    return false;
}

// True when `text` holds no control byte but newlines and no byte that is
// not UTF-8 (the only one used here is 0xFF).
bool safe_for_terminal(const std::string &text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        const unsigned char b = static_cast<unsigned char>(c);
        return (b < 0x20 && b != '\n') || b == 0x7F || b == 0xFF;
    });
}

// ---------------------------------------------------------------------------
// Usage
// ---------------------------------------------------------------------------

struct UsageError {
    std::vector<std::string> args;
    std::string message; // the one line on stderr
};

// gtest would otherwise print the struct from its raw bytes.
void PrintTo(const UsageError &e, std::ostream *os) {
    *os << "ktcache";
    for (const std::string &a : e.args) *os << " '" << a << "'";
}

const UsageError kUsageErrors[] = {
    {{"frobnicate"}, "ktcache: unknown command 'frobnicate' (see 'ktcache --help')"},
    {{"help", "frobnicate"}, "ktcache: unknown command 'frobnicate' (see 'ktcache --help')"},
    {{"scan"}, "ktcache scan: expected exactly one DIR (see 'ktcache scan --help')"},
    {{"scan", "a", "b"}, "ktcache scan: expected exactly one DIR (see 'ktcache scan --help')"},
    {{"scan", "--bogus", "d"},
     "ktcache scan: unknown option '--bogus' (see 'ktcache scan --help')"},
    {{"scan", "--purge=yes", "d"},
     "ktcache scan: option '--purge' takes no value (see 'ktcache scan --help')"},
    {{"scan", "-p", "d"}, "ktcache scan: unknown option '-p' (see 'ktcache scan --help')"},
    {{"scan", ""}, "ktcache scan: empty directory name (see 'ktcache scan --help')"},
    {{"scan", "--purge", "--json", ""},
     "ktcache scan: empty directory name (see 'ktcache scan --help')"},
    {{"check"}, "ktcache check: expected at least one FILE (see 'ktcache check --help')"},
    {{"check", ""}, "ktcache check: empty file name (see 'ktcache check --help')"},
    {{"check", "f", "--min-size"},
     "ktcache check: option '--min-size' needs a value (see 'ktcache check --help')"},
    {{"check", "--min-size", "1k", "f"},
     "ktcache check: --min-size: not a number: '1k' (see 'ktcache check --help')"},
    {{"check", "--min-size= 5", "f"},
     "ktcache check: --min-size: not a number: ' 5' (see 'ktcache check --help')"},
    {{"name"}, "ktcache name: expected at least one URL (see 'ktcache name --help')"},
    {{"size", "12x"}, "ktcache size: not a number: '12x' (see 'ktcache size --help')"},
    {{"size", ""}, "ktcache size: not a number: '' (see 'ktcache size --help')"},
    {{"size", "99999999999999999999"},
     "ktcache size: not a number: '99999999999999999999' (see 'ktcache size --help')"},
    {{"size", "1", "0x10"}, "ktcache size: not a number: '0x10' (see 'ktcache size --help')"},
    {{"status", "2147483648"},
     "ktcache status: not a number: '2147483648' (see 'ktcache status --help')"},
    {{"status", "ok"}, "ktcache status: not a number: 'ok' (see 'ktcache status --help')"},
    {{"selftest", "now"}, "ktcache selftest: takes no arguments (see 'ktcache selftest --help')"},
    {{"version", "--short"},
     "ktcache version: unknown option '--short' (see 'ktcache version --help')"},
};

class ToolUsageError : public ::testing::TestWithParam<UsageError> {};

TEST_P(ToolUsageError, PrintsOneLineAndExitsWithTwo) {
    const ProcessResult r = ktcache(GetParam().args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "") << "nothing on stdout when the arguments are wrong";
    EXPECT_EQ(r.err, GetParam().message + "\n");
}

INSTANTIATE_TEST_SUITE_P(Arguments, ToolUsageError, ::testing::ValuesIn(kUsageErrors));

TEST(ToolHelp, EveryCommandHasHelp) {
    for (const char *command : {"scan", "check", "name", "size", "status", "selftest", "version"}) {
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{command, "--help"}, {command, "-h"}, {"help", command}}) {
            const ProcessResult r = ktcache(args);
            EXPECT_EQ(r.status, 0) << command;
            EXPECT_EQ(r.out.rfind(std::string("usage: ktcache ") + command, 0), 0u) << r.out;
            EXPECT_EQ(r.err, "");
        }
    }
    const ProcessResult r = ktcache({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("ktcache scan DIR [--purge [--yes]] [--json]"), std::string::npos);
    const ProcessResult bare = ktcache({});
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.out, "");
    EXPECT_NE(bare.err.find("usage: ktcache COMMAND"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Small commands
// ---------------------------------------------------------------------------

TEST(ToolCommands, VersionAndSelftest) {
    EXPECT_EQ(ktcache({"version"}).out, "ktcache 1.0.0 (interface 1)\n");
    const ProcessResult r = ktcache({"selftest"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "selftest: ok\n");
}

TEST(ToolCommands, NameSizeAndStatusPrintOneLineEach) {
    ProcessResult r = ktcache({"name", "https://h/a/Song%20%232.m4a?v=1", "/", "--", "--x%2Fy"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Song #2.m4a\ntrack.m4a\n--x_y\n");

    r = ktcache({"size", "1536", "-5", "15369751", "9223372036854775807"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1.5 KB\n0 B\n14.7 MB\n8589934592.00 GB\n");

    r = ktcache({"status", "200", "204"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "200\tsuccess\n204\tsuccess\n");
    r = ktcache({"status", "200", "304", "-2147483648"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "200\tsuccess\n304\tnot success\n-2147483648\tnot success\n");
}

TEST(ToolCommands, CheckReportsFormatOrReasonAndFailsOnAnyInvalidFile) {
    kt::TempDir dir;
    const std::string ok = dir.track("ok.flac", KTCACHE_FORMAT_FLAC, 1024);
    const std::string tiny = dir.track("tiny.flac", KTCACHE_FORMAT_FLAC, 20);
    const std::string missing = dir / "missing.flac";

    ProcessResult r = ktcache({"check", ok});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ok + "\tflac\n");

    r = ktcache({"check", ok, tiny, missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, ok + "\tflac\n" + tiny + "\tinvalid\tfile below minimum size\n" + missing +
                         "\terror\tstat failed: No such file or directory\n");

    r = ktcache({"check", "--min-size=12", tiny});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, tiny + "\tflac\n");
    r = ktcache({"check", tiny, "--min-size", "21"});
    EXPECT_EQ(r.out, tiny + "\tinvalid\tfile below minimum size\n");
}

// ---------------------------------------------------------------------------
// scan
// ---------------------------------------------------------------------------

void lay_out_small_cache(const kt::TempDir &dir) {
    dir.track("a.m4a", KTCACHE_FORMAT_M4A, 2048);
    dir.write("page.mp3", "<!DOCTYPE html>", 2000);
    dir.track(".partial.m4a", KTCACHE_FORMAT_M4A, 2048);
    dir.subdir("covers");
}

const std::string kSmallCacheTotal = "total: 1 valid file, 2.0 KB (2048 bytes)\n";

TEST(ToolScan, JsonIsTheLibraryReportByteForByte) {
    kt::TempDir dir;
    lay_out_small_cache(dir);
    for (int i = 0; i < 40; ++i)
        dir.track("t" + std::to_string(i) + "\"\t.ogg", KTCACHE_FORMAT_OGG);
    const std::string library_report = kt::scan(dir.path(), false);
    const ProcessResult r = ktcache({"scan", "--json", dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, library_report + "\n");
    EXPECT_TRUE(dir.exists("page.mp3"));
}

// Into a pipe standard output holds records only, the name last, so that
// `cut -f3` gives names; the summary lines go to standard error.
TEST(ToolScan, PipeGetsRecordsAndStandardErrorTheSummary) {
    kt::TempDir dir;
    lay_out_small_cache(dir);
    ProcessResult r = ktcache({"scan", dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "2.0 KB\tm4a\ta.m4a\n"
                     "unrecognized audio header\twould be purged\tpage.mp3\n");
    EXPECT_EQ(r.err, kSmallCacheTotal);
    EXPECT_TRUE(dir.exists("page.mp3")) << "nothing is deleted without --purge";

    r = ktcache({"scan", "--purge", "--yes", dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "2.0 KB\tm4a\ta.m4a\n"
                     "unrecognized audio header\tpurged\tpage.mp3\n");
    EXPECT_EQ(r.err, kSmallCacheTotal + "purged: 1 file\n");
    EXPECT_FALSE(dir.exists("page.mp3"));
    EXPECT_TRUE(dir.exists(".partial.m4a"));

    const kt::TempDir empty;
    r = ktcache({"scan", "--yes", empty.path()});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ktcache scan: --yes has no effect without --purge\n"
                     "total: 0 valid files, 0 B (0 bytes)\n");
}

// A read-only cache, purged by an ordinary user: the table and --json alike
// name the file that remains, with the reason, and exit with 1; --json keeps
// the library's report on stdout.
TEST(ToolScan, FileThatCouldNotBeDeletedIsMarkedKept) {
    kt::TempDir dir;
    lay_out_small_cache(dir);
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    const std::string report = kt::expected_report({{"a.m4a", 2048, "m4a"}}, 0);
    const int status = kt::run_as_nobody([&] {
        const ProcessResult table = ktcache({"scan", "--purge", "--yes", dir.path()});
        const ProcessResult json = ktcache({"scan", "--purge", "-y", "--json", dir.path()});
        const bool ok =
            same("table", table.out,
                 "2.0 KB\tm4a\ta.m4a\n"
                 "unrecognized audio header\tkept (could not delete: Permission "
                 "denied)\tpage.mp3\n") &
            same("table stderr", table.err, kSmallCacheTotal + "purged: 0 files\n") &
            same("json stdout", json.out, report + "\n") &
            same("json stderr", json.err,
                 "ktcache scan: could not delete 'page.mp3' (unrecognized audio header): "
                 "Permission denied\n");
        return ok && table.status == 1 && json.status == 1 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(dir.exists("page.mp3"));
}

// The scan passes over entries it cannot judge. A dangling link, and a link
// whose target the purge takes away first, are left alone and say why; they
// are no failure of the purge.
TEST(ToolScan, DanglingLinkIsLeftAlone) {
    kt::TempDir dir;
    dir.track("a.m4a", KTCACHE_FORMAT_M4A);
    dir.write("page.mp3", "<!DOCTYPE html>", 2000);
    ASSERT_EQ(symlink("missing.mp3", (dir / "dangling.mp3").c_str()), 0);
    ASSERT_EQ(symlink("page.mp3", (dir / "Link to page.mp3").c_str()), 0);
    const std::string dangling = "stat failed: No such file or directory\tleft alone\t";

    ProcessResult r = ktcache({"scan", dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "2.0 KB\tm4a\ta.m4a\n"
                     "unrecognized audio header\twould be purged\tLink to page.mp3\n" +
                         dangling + "dangling.mp3\n" +
                         "unrecognized audio header\twould be purged\tpage.mp3\n");
    EXPECT_EQ(r.err, "total: 1 valid file, 2.0 KB (2048 bytes)\ncould not be checked: 1 entry\n");

    // The library meets the link before its target (and purges it) or after
    // (when it dangles): directory order decides.
    const std::vector<std::string> order = kt::enumeration_order(dir.path());
    const bool link_first = std::find(order.begin(), order.end(), "Link to page.mp3") <
                            std::find(order.begin(), order.end(), "page.mp3");
    r = ktcache({"scan", "--purge", "--yes", dir.path()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "2.0 KB\tm4a\ta.m4a\n" +
                         (link_first ? "unrecognized audio header\tpurged\t" : dangling) +
                         "Link to page.mp3\n" + dangling + "dangling.mp3\n" +
                         "unrecognized audio header\tpurged\tpage.mp3\n");
    EXPECT_EQ(r.err, "total: 1 valid file, 2.0 KB (2048 bytes)\n" +
                         std::string(link_first ? "purged: 2 files\n"
                                                  "could not be checked: 1 entry\n"
                                                : "purged: 1 file\n"
                                                  "could not be checked: 2 entries\n"));
    EXPECT_TRUE(dir.exists("dangling.mp3"));
}

// A directory that may be listed but not searched (mode 0644), whoever runs
// the test (as root, an unprivileged user): its files are there, cannot be
// checked, and are left alone.
TEST(ToolScan, UnreachableDirectoryIsLeftAlone) {
    kt::TempDir dir;
    const std::string cache = dir.subdir("cache");
    dir.track("cache/a.ogg", KTCACHE_FORMAT_OGG);
    ASSERT_EQ(chmod(cache.c_str(), 0644), 0);
    const std::string row = "stat failed: Permission denied\tleft alone\ta.ogg\n";
    const std::string total = "total: 0 valid files, 0 B (0 bytes)\n";
    const std::string unchecked = "could not be checked: 1 entry\n";
    const int status = kt::run_as_nobody([&] {
        const ProcessResult scan = ktcache({"scan", cache});
        const ProcessResult purge = ktcache({"scan", "--purge", "--yes", cache});
        const bool ok = same("scan", scan.out, row) & same("purge", purge.out, row) &
                        same("scan stderr", scan.err, total + unchecked) &
                        same("purge stderr", purge.err, total + "purged: 0 files\n" + unchecked);
        return ok && scan.status == 0 && purge.status == 0 ? 0 : 1;
    });
    chmod(cache.c_str(), 0755);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(dir.exists("cache/a.ogg"));
}

TEST(ToolScan, LibraryFailuresGoToStderrWithExitOne) {
    kt::TempDir dir;
    dir.track("bad\xff.mp3", KTCACHE_FORMAT_MP3);
    const ProcessResult r = ktcache({"scan", "--json", dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ktcache scan: " + dir.path() +
                         ": no report could be produced: the name of valid file 'bad\\xFF.mp3' "
                         "is not UTF-8\n");
}

TEST(ToolScan, PurgeWithoutReportStillShowsWhatTheWalkSaw) {
    kt::TempDir dir;
    lay_out_small_cache(dir);
    dir.track("bad\xff.mp3", KTCACHE_FORMAT_MP3);
    const std::string valid = "2.0 KB\tm4a\ta.m4a\n"
                              "2.0 KB\tmp3\tbad\\xFF.mp3\n";
    const std::string stderr_lines = "ktcache scan: " + dir.path() +
                                     ": no report could be produced: the name of valid file "
                                     "'bad\\xFF.mp3' is not UTF-8\n"
                                     "total: 2 valid files, 4.0 KB (4096 bytes)\n";

    ProcessResult r = ktcache({"scan", dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, stderr_lines);
    EXPECT_EQ(r.out, valid + "unrecognized audio header\twould be purged\tpage.mp3\n");

    r = ktcache({"scan", "--purge", "--yes", dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, stderr_lines + "purged: 1 file\n");
    EXPECT_EQ(r.out, valid + "unrecognized audio header\tpurged\tpage.mp3\n");
    EXPECT_FALSE(dir.exists("page.mp3"));
    EXPECT_TRUE(dir.exists("bad\xff.mp3"));
}

TEST(ToolScan, TerminalOutputIsAlignedAndJsonEndsTheLine) {
    kt::TempDir dir;
    lay_out_small_cache(dir);
    ProcessResult r = ktcache({"scan", dir.path()}, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find('\t'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("size    format  name\n2.0 KB  m4a     a.m4a\n"), std::string::npos)
        << r.out;

    r = ktcache({"scan", "--json", dir.path()}, true);
    EXPECT_EQ(r.out, kt::scan(dir.path(), false) + "\n");
}

// On an 80-column terminal one long name wraps only its own row: the name
// comes last, as in ls -l.
TEST(ToolScan, LongNameWrapsOnlyItsOwnRow) {
    kt::TempDir dir;
    lay_out_small_cache(dir);
    const std::string long_name = std::string(116, 'x') + ".mp3";
    dir.track(long_name, KTCACHE_FORMAT_MP3);
    const ProcessResult r = kt::run_on_terminal({KTCACHE_TOOL_FILE, "scan", dir.path()}, "", 80);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "size    format  name\n"
                     "2.0 KB  m4a     a.m4a\n"
                     "2.0 KB  mp3     " +
                         long_name +
                         "\n"
                         "total: 2 valid files, 4.0 KB (4096 bytes)\n"
                         "\n"
                         "reason     action           name\n"
                         "not audio  would be purged  page.mp3\n");
}

// Whatever the reasons, the name column starts early enough on an 80-column
// terminal that a name of 30 characters never wraps: a dangling link, a loop
// of links, a file the purge cannot delete.
TEST(ToolScan, ReasonsLeaveRoomForNamesOnAnEightyColumnTerminal) {
    kt::TempDir dir;
    const std::string name = "Nightfall over Aurora Lane.mp3";
    ASSERT_EQ(name.size(), 30u);
    dir.write(name, "<!DOCTYPE html>", 2000);
    ASSERT_EQ(symlink("missing.mp3", (dir / ("Gone " + name)).c_str()), 0);
    ASSERT_EQ(symlink("loop-b", (dir / "loop-a").c_str()), 0);
    ASSERT_EQ(symlink("loop-a", (dir / "loop-b").c_str()), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    const int status = kt::run_as_nobody([&] {
        bool ok = true;
        for (const std::vector<std::string> &args : {std::vector<std::string>{"scan", dir.path()},
                                                     {"scan", "--purge", "-y", dir.path()}}) {
            std::vector<std::string> argv = args;
            argv.insert(argv.begin(), KTCACHE_TOOL_FILE);
            const std::string out = kt::run_on_terminal(argv, "", 80).out;
            size_t start = 0;
            for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
                const std::string line = out.substr(start, end - start);
                if (line.size() > 80 && line.find("Gone") == std::string::npos) {
                    std::fprintf(stderr, "wraps: %s\n", line.c_str());
                    ok = false;
                }
                if (line.find(name) != std::string::npos && line.find(name) > 80 - name.size()) {
                    std::fprintf(stderr, "wraps its name: %s\n", line.c_str());
                    ok = false;
                }
            }
        }
        return ok ? 0 : 1;
    });
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(status, 0);
}

TEST(ToolScan, TableIsSortedByNameAndVersionIsAnOption) {
    kt::TempDir dir;
    for (const char *name :
         {"m.ogg", "b.ogg", "x.ogg", "a.ogg", "k.ogg", "c.ogg", "z.ogg", "d.ogg"})
        dir.track(name, KTCACHE_FORMAT_OGG);
    for (const char *name : {"q.mp3", "e.mp3", "w.mp3"}) dir.write(name, "<html>", 2000);
    std::vector<std::string> order = kt::enumeration_order(dir.path());
    ASSERT_FALSE(std::is_sorted(order.begin(), order.end())) << "the directory order is sorted";

    const ProcessResult r = ktcache({"scan", dir.path()});
    EXPECT_EQ(r.status, 0);
    std::string expected;
    for (const char *name : {"a", "b", "c", "d", "k", "m", "x", "z"})
        expected += std::string("2.0 KB\togg\t") + name + ".ogg\n";
    for (const char *name : {"e", "q", "w"})
        expected += std::string("unrecognized audio header\twould be purged\t") + name + ".mp3\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "total: 8 valid files, 16.0 KB (16384 bytes)\n");

    const ProcessResult version = ktcache({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, ktcache({"version"}).out);
    EXPECT_EQ(version.err, "");
}

// ---------------------------------------------------------------------------
// Purges delete exactly what was shown
// ---------------------------------------------------------------------------

// On a terminal a purge first shows what it would delete and asks; the
// default answer keeps everything. --yes (-y) skips the question.
TEST(ToolPurge, AsksFirstOnATerminal) {
    const std::string dry_run = "size    format  name\n"
                                "2.0 KB  m4a     a.m4a\n"
                                "total: 1 valid file, 2.0 KB (2048 bytes)\n"
                                "\n"
                                "reason     action           name\n"
                                "not audio  would be purged  page.mp3\n"
                                "Delete 1 file? [y/N] ";
    const std::string record = "purged: 1 file\n"
                               "\n"
                               "reason     action  name\n"
                               "not audio  purged  page.mp3\n";
    for (const char *answer : {"n\n", "\n", "y\n"}) {
        kt::TempDir dir;
        lay_out_small_cache(dir);
        const ProcessResult r =
            kt::run_on_terminal({KTCACHE_TOOL_FILE, "scan", "--purge", dir.path()}, answer);
        const bool yes = answer[0] == 'y';
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, dry_run + (yes ? record : "nothing deleted\n")) << answer;
        EXPECT_EQ(dir.exists("page.mp3"), !yes) << answer;
    }
    for (const char *option : {"--yes", "-y"}) {
        kt::TempDir dir;
        lay_out_small_cache(dir);
        const ProcessResult r =
            kt::run_on_terminal({KTCACHE_TOOL_FILE, "scan", "--purge", option, dir.path()}, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "size    format  name\n"
                         "2.0 KB  m4a     a.m4a\n"
                         "total: 1 valid file, 2.0 KB (2048 bytes)\n" +
                             record)
            << option;
        EXPECT_FALSE(dir.exists("page.mp3")) << option;
    }
}

// Files that appear or change while the question is open were never shown:
// the purge leaves them, and names each of them.
TEST(ToolPurge, DeletesOnlyWhatTheQuestionShowed) {
    kt::TempDir dir;
    lay_out_small_cache(dir);
    dir.write("stub.ogg", "OggS", 100);
    const kt::TerminalAnswer answer = {"[y/N] ",
                                       [&] {
                                           dir.write("note.txt", "remember the milk", 17);
                                           dir.write("downloading.m4a", "", 0);
                                           dir.write("stub.ogg", "OggS", 200);
                                       },
                                       "y\n"};
    const ProcessResult r =
        kt::run_on_terminal({KTCACHE_TOOL_FILE, "scan", "--purge", dir.path()}, answer);
    EXPECT_EQ(r.status, 0);
    const std::string after = r.out.substr(r.out.find("[y/N] ") + 6);
    EXPECT_EQ(after, "purged: 1 file\n"
                     "\n"
                     "reason     action               name\n"
                     "too short  left alone: new      downloading.m4a\n"
                     "too short  left alone: new      note.txt\n"
                     "not audio  purged               page.mp3\n"
                     "too short  left alone: changed  stub.ogg\n");
    for (const char *name : {"note.txt", "downloading.m4a", "stub.ogg", "a.m4a"})
        EXPECT_TRUE(dir.exists(name)) << name;
    EXPECT_FALSE(dir.exists("page.mp3"));
}

// A purge that cannot ask deletes nothing unless told --yes; output that is
// redirected still sees the question's dry run, on standard error.
TEST(ToolPurge, RefusesWithoutATerminalUnlessToldYes) {
    kt::TempDir dir;
    lay_out_small_cache(dir);
    for (const bool json : {false, true}) {
        std::vector<std::string> args = {"scan", "--purge", dir.path()};
        if (json) args.insert(args.begin() + 1, "--json");
        const ProcessResult r = ktcache(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "ktcache scan: refusing to purge without --yes: standard input is not a "
                         "terminal (see 'ktcache scan --help')\n");
        EXPECT_TRUE(dir.exists("page.mp3"));
    }
    const ProcessResult r = ktcache({"scan", "--purge", "--yes", dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(dir.exists("page.mp3"));
}

// What a purge removes of a crashed purge's leftovers counts as the library
// counts it, on one summary line.
TEST(ToolPurge, CountsLeftoversAsTheLibraryDoes) {
    kt::TempDir dir;
    lay_out_small_cache(dir);
    dir.write(".ktcache-purge-1f-7ffe12-2a", "<!DOCTYPE html>", 2048);
    ProcessResult r = ktcache({"scan", "--purge", "--yes", dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              kSmallCacheTotal + "purged: 2 files (1 left behind by an interrupted purge)\n");
    EXPECT_FALSE(dir.exists(".ktcache-purge-1f-7ffe12-2a"));

    dir.write(".ktcache-purge-20-7ffe12-2b", "<!DOCTYPE html>", 2048);
    r = ktcache({"scan", "--purge", "--yes", "--json", dir.path()});
    EXPECT_EQ(r.out, kt::expected_report({{"a.m4a", 2048, "m4a"}}, 1) + "\n");
}

// ---------------------------------------------------------------------------
// Names that cannot lie
// ---------------------------------------------------------------------------

// Valid tracks and broken downloads whose names try to forge rows and totals
// or to drive the terminal, with how each is written into a pipe and onto a
// terminal.
struct HostileName {
    std::string name;
    bool valid;
    std::string piped;
    std::string on_terminal;
};

const HostileName kHostileNames[] = {
    {"x\nevil.mp3\t2.0 KB\tmp3", true, "x\\nevil.mp3\\t2.0 KB\\tmp3",
     "$'x\\nevil.mp3\\t2.0 KB\\tmp3'"},
    {"\x1b]0;pwned\x07title.mp3", true, "\\x1B]0;pwned\\x07title.mp3",
     "$'\\033]0;pwned\\atitle.mp3'"},
    {"\x1b[2Jclear.mp3", true, "\\x1B[2Jclear.mp3", "$'\\033[2Jclear.mp3'"},
    {"it's \"live\".mp3", true, "it's \"live\".mp3", "'it'\\''s \"live\".mp3'"},
    {"Rock'n'Roll.mp3", true, "Rock'n'Roll.mp3", "\"Rock'n'Roll.mp3\""},
    {"a b.mp3", true, "a b.mp3", "'a b.mp3'"},
    {"back\\slash.mp3", true, "back\\\\slash.mp3", "'back\\slash.mp3'"},
    {"Café – Ü.mp3", true, "Café – Ü.mp3", "'Café – Ü.mp3'"},
    {"夜想曲.mp3", true, "夜想曲.mp3", "夜想曲.mp3"},
    {"y\ntotal: 99 valid files, 1.0 GB (1073741824 bytes)", false,
     "y\\ntotal: 99 valid files, 1.0 GB (1073741824 bytes)",
     "$'y\\ntotal: 99 valid files, 1.0 GB (1073741824 bytes)'"},
    {"\xff.mp3", false, "\\xFF.mp3", "$'\\377.mp3'"},
};

TEST(ToolNames, HostileNamesAreEscapedInPipesAndQuotedOnTerminals) {
    kt::TempDir dir;
    for (const HostileName &h : kHostileNames) {
        if (h.valid) {
            dir.track(h.name, KTCACHE_FORMAT_MP3);
        } else {
            dir.write(h.name, "<html>", 2000);
        }
    }

    // One record per line, sorted by the names' bytes.
    ProcessResult r = ktcache({"scan", dir.path()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "2.0 KB\tmp3\t\\x1B[2Jclear.mp3\n"
                     "2.0 KB\tmp3\t\\x1B]0;pwned\\x07title.mp3\n"
                     "2.0 KB\tmp3\tCafé – Ü.mp3\n"
                     "2.0 KB\tmp3\tRock'n'Roll.mp3\n"
                     "2.0 KB\tmp3\ta b.mp3\n"
                     "2.0 KB\tmp3\tback\\\\slash.mp3\n"
                     "2.0 KB\tmp3\tit's \"live\".mp3\n"
                     "2.0 KB\tmp3\tx\\nevil.mp3\\t2.0 KB\\tmp3\n"
                     "2.0 KB\tmp3\t夜想曲.mp3\n"
                     "unrecognized audio header\twould be purged\t"
                     "y\\ntotal: 99 valid files, 1.0 GB (1073741824 bytes)\n"
                     "unrecognized audio header\twould be purged\t\\xFF.mp3\n");

    // Quoted as ls quotes, aligned by the columns a terminal shows.
    r = ktcache({"scan", dir.path()}, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "size    format  name\n"
                     "2.0 KB  mp3     $'\\033[2Jclear.mp3'\n"
                     "2.0 KB  mp3     $'\\033]0;pwned\\atitle.mp3'\n"
                     "2.0 KB  mp3     'Café – Ü.mp3'\n"
                     "2.0 KB  mp3     \"Rock'n'Roll.mp3\"\n"
                     "2.0 KB  mp3     'a b.mp3'\n"
                     "2.0 KB  mp3     'back\\slash.mp3'\n"
                     "2.0 KB  mp3     'it'\\''s \"live\".mp3'\n"
                     "2.0 KB  mp3     $'x\\nevil.mp3\\t2.0 KB\\tmp3'\n"
                     "2.0 KB  mp3     夜想曲.mp3\n"
                     "total: 9 valid files, 18.0 KB (18432 bytes)\n"
                     "\n"
                     "reason     action           name\n"
                     "not audio  would be purged  "
                     "$'y\\ntotal: 99 valid files, 1.0 GB (1073741824 bytes)'\n"
                     "not audio  would be purged  $'\\377.mp3'\n");

    // check writes paths the same way; --json stays the library's text.
    for (const HostileName &h : kHostileNames) {
        const std::string expected =
            dir.path() + "/" + h.piped +
            (h.valid ? "\tmp3\n" : "\tinvalid\tunrecognized audio header\n");
        EXPECT_EQ(ktcache({"check", dir / h.name}).out, expected);
        EXPECT_TRUE(safe_for_terminal(ktcache({"check", dir / h.name}, true).out)) << h.piped;
    }
    EXPECT_EQ(ktcache({"scan", "--json", dir.path()}).out, kt::scan(dir.path(), false) + "\n");
}

// ---------------------------------------------------------------------------
// Output errors and causes
// ---------------------------------------------------------------------------

TEST(ToolOutput, EveryCommandFailsWhenItsOutputCannotBeWritten) {
    kt::TempDir dir;
    lay_out_small_cache(dir);
    const std::string ok = dir / "a.m4a";
    const std::vector<std::vector<std::string>> commands = {
        {"--help"},
        {"--version"},
        {"version"},
        {"selftest"},
        {"scan", "--help"},
        {"name", "https://h/a.m4a"},
        {"size", "1536"},
        {"status", "200"},
        {"check", ok},
        {"scan", dir.path()},
        {"scan", "--json", dir.path()},
        {"scan", "--purge", "--yes", dir.path()},
    };
    for (const std::vector<std::string> &args : commands) {
        std::vector<std::string> argv = args;
        argv.insert(argv.begin(), KTCACHE_TOOL_FILE);
        const ProcessResult r = kt::run_program_into(argv, "/dev/full");
        EXPECT_EQ(r.status, 1) << args[0] << " " << args.back();
        // The last line; a scan's summary lines go to standard error before it.
        const std::string who = args[0][0] == '-' ? "ktcache" : "ktcache " + args[0];
        const std::string error = who + ": write error: No space left on device\n";
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), error.size())), error)
            << r.err;
    }
    EXPECT_FALSE(dir.exists("page.mp3")) << "the purge itself went ahead";
}

TEST(ToolErrors, FailuresGiveTheSystemsReason) {
    kt::TempDir dir;
    const std::string file = dir.track("a.m4a", KTCACHE_FORMAT_M4A);
    ProcessResult r = ktcache({"scan", "/nonexistent/ktcache"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "ktcache scan: cannot scan '/nonexistent/ktcache': No such file or directory\n");

    r = ktcache({"scan", "--json", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ktcache scan: cannot scan '" + file + "': Not a directory\n");

    r = ktcache({"check", dir / "missing.mp3", file + "/x.mp3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, dir / "missing.mp3" + "\terror\tstat failed: No such file or directory\n" +
                         file + "/x.mp3\terror\tstat failed: Not a directory\n");
}

TEST(ToolErrors, PermissionCausesAsAnotherUser) {
    kt::TempDir dir;
    const std::string locked = dir.subdir("locked");
    const std::string file = dir.track("secret.m4a", KTCACHE_FORMAT_M4A);
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    const int status = kt::run_as_nobody([&] {
        const ProcessResult scan = ktcache({"scan", locked});
        const ProcessResult check = ktcache({"check", file});
        return scan.status == 1 &&
                       scan.err ==
                           "ktcache scan: cannot scan '" + locked + "': Permission denied\n" &&
                       check.status == 1 &&
                       check.out == file + "\terror\tfopen failed: Permission denied\n"
                   ? 0
                   : 1;
    });
    EXPECT_EQ(status, 0);
}

// ---------------------------------------------------------------------------
// Loading the library at run time
// ---------------------------------------------------------------------------

TEST(RuntimeHost, LoadsByFileNameResolvesEveryFunctionAndScans) {
    kt::TempDir dir;
    dir.track("song.ogg", KTCACHE_FORMAT_OGG, 4096);
    const ProcessResult r = kt::run_program({KTCACHE_HOST_FILE, KTCACHE_LIBRARY_FILE, dir.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "loaded ktcache 1.0.0 (interface 1)\n" +
                         kt::expected_report({{"song.ogg", 4096, "ogg"}}, 0) + "\n");

    const ProcessResult missing =
        kt::run_program({KTCACHE_HOST_FILE, "/nonexistent/libktcache.so", dir.path()});
    EXPECT_EQ(missing.status, 1);
}

} // namespace
