// A purge acts only on the file it judged. The interposers of interpose.h
// stage, at the worst moment, what file systems and crashes do to it: a new
// file with the judged inode number, a download renamed over the name, a
// purge killed with a track under its hidden name, a put-back that fails, a
// full directory, and two purgers that share a pid and a thread address.
#include "interpose.h"
#include "ktcache.hpp"
#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using kt::expected_report;

constexpr char kHiddenPrefix[] = ".ktcache-purge-";

bool ends_with(const char *text, const char *suffix) {
    const size_t length = std::strlen(text), suffix_length = std::strlen(suffix);
    return length >= suffix_length && std::strcmp(text + length - suffix_length, suffix) == 0;
}
// A hidden name of a purge's own, bare or at the end of a joined path.
bool is_hidden_name(const char *name) {
    const char *slash = std::strrchr(name, '/');
    const char *base = slash != nullptr ? slash + 1 : name;
    return std::strncmp(base, kHiddenPrefix, sizeof kHiddenPrefix - 1) == 0;
}

std::vector<std::string> hidden_entries(const kt::TempDir &dir) {
    std::vector<std::string> hidden;
    for (const std::string &name : kt::enumeration_order(dir.path()))
        if (is_hidden_name(name.c_str())) hidden.push_back(name);
    return hidden;
}

// A rename below the interposers, for hooks that stand for another program.
void rename_as_another_program(const std::string &from, const std::string &to) {
    syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0);
}

unsigned long inode_of(const std::string &path) {
    struct stat st;
    return syscall(SYS_newfstatat, AT_FDCWD, path.c_str(), &st, 0) == 0 ? st.st_ino : 0;
}

// ---------------------------------------------------------------------------
// Identity: more than an inode number
// ---------------------------------------------------------------------------

// Right after the purge has judged a stub by its size alone, another program
// puts a valid download at its name: a new file that ext4 gives the freed
// inode number, or a download renamed over a case alias on a FUSE file
// system that numbers inodes by path. Either reports the judged inode number.
const kt::TempDir *g_cache;
bool g_by_rename;
unsigned long g_judged_inode;
void replace_after_judgement(int, const char *path) {
    if (!ends_with(path, "song.m4a")) return;
    fault::set_stat_hook(nullptr);
    const std::string name = *g_cache / "song.m4a";
    if (g_by_rename) {
        rename_as_another_program(*g_cache / ".song.m4a.part", name);
    } else {
        unlink(name.c_str());
        g_cache->track("song.m4a", KTCACHE_FORMAT_M4A);
    }
    fault::disguise_inode(inode_of(name), g_judged_inode);
}

TEST(PurgeIdentity, FileWithTheJudgedInodeNumberIsNeverDeleted) {
    for (const bool by_rename : {false, true}) {
        SCOPED_TRACE(by_rename ? "renamed over a case alias" : "downloaded again");
        kt::TempDir dir;
        dir.track("song.m4a", KTCACHE_FORMAT_M4A, 100);
        const std::string download =
            by_rename ? kt::contents_of(dir.track(".song.m4a.part", KTCACHE_FORMAT_M4A))
                      : kt::contents_of(dir.track("other.m4a", KTCACHE_FORMAT_M4A));
        g_cache = &dir;
        g_by_rename = by_rename;
        g_judged_inode = inode_of(dir / "song.m4a");
        fault::set_stat_hook(replace_after_judgement);
        kt::scan(dir.path(), true);
        fault::set_stat_hook(nullptr);
        fault::disguise_inode(0, 0);

        EXPECT_EQ(kt::contents_of(dir / "song.m4a"), download) << "the download was deleted";
        EXPECT_TRUE(hidden_entries(dir).empty());
    }
}

// ---------------------------------------------------------------------------
// Putting back what a purge moved aside
// ---------------------------------------------------------------------------

// A download is renamed over a broken file just as the purge moves the name
// aside, so the purge holds the download under its hidden name and must put
// it back. Then the purge is killed, or the put-back fails: the next purge
// gives the track its name back.
enum class PutBack { proceeds, killed, fails };
PutBack g_put_back;
std::string g_swap_dir;
int swap_then_stop_the_put_back(int, const char *from, int, const char *to) {
    if (is_hidden_name(to) && !g_swap_dir.empty()) {
        rename_as_another_program(g_swap_dir + "/.song.m4a.part", g_swap_dir + "/song.m4a");
        g_swap_dir.clear();
        return 0;
    }
    if (!is_hidden_name(from)) return 0;
    if (g_put_back == PutBack::killed) raise(SIGKILL);
    return g_put_back == PutBack::fails ? EIO : 0;
}

TEST(PurgePutBack, TrackHeldAsideGetsItsNameBackFromTheNextPurge) {
    for (const PutBack put_back : {PutBack::killed, PutBack::fails}) {
        SCOPED_TRACE(put_back == PutBack::killed ? "killed before the put-back"
                                                 : "the put-back fails");
        kt::TempDir dir;
        dir.write("song.m4a", "<!DOCTYPE html>", 2048);
        const std::string download =
            kt::contents_of(dir.track(".song.m4a.part", KTCACHE_FORMAT_M4A));
        const int status = kt::run_in_child([&] {
            g_swap_dir = dir.path();
            g_put_back = put_back;
            fault::set_rename_hook(swap_then_stop_the_put_back);
            const std::string report = kt::scan(dir.path(), true);
            // A track left under a hidden name gives no report.
            return report == "<null>" && ktcache_last_error()[0] == '\0' ? 0 : 11;
        });
        EXPECT_EQ(status, put_back == PutBack::killed ? 128 + SIGKILL : 0);
        ASSERT_EQ(hidden_entries(dir).size(), 1u) << "the download is not held aside";
        EXPECT_FALSE(dir.exists("song.m4a"));

        EXPECT_EQ(kt::scan(dir.path(), true), expected_report({}, 0));
        EXPECT_EQ(kt::contents_of(dir / "song.m4a"), download);
        EXPECT_TRUE(hidden_entries(dir).empty());
        EXPECT_EQ(kt::scan(dir.path(), false), expected_report({{"song.m4a", 2048, "m4a"}}, 0));
    }
}

// Where the file system can neither refuse to replace nor link (exFAT and FAT
// through FUSE), a put-back renames only once the name is free: a file that
// took the name meanwhile is never replaced, by the purge that moved the
// download aside nor by the next one.
std::string g_taker_dir;
int swap_then_take_the_name(int, const char *from, int, const char *to) {
    if (g_taker_dir.empty()) return 0;
    if (is_hidden_name(to)) {
        rename_as_another_program(g_taker_dir + "/.song.m4a.part", g_taker_dir + "/song.m4a");
    } else if (is_hidden_name(from)) {
        rename_as_another_program(g_taker_dir + "/.newer.part", g_taker_dir + "/song.m4a");
        g_taker_dir.clear();
    }
    return 0;
}

TEST(PurgePutBack, NeverReplacesAFileThatTookTheName) {
    kt::TempDir dir;
    dir.write("song.m4a", "<!DOCTYPE html>", 2048);
    const std::string download = kt::contents_of(dir.track(".song.m4a.part", KTCACHE_FORMAT_M4A));
    const std::string newer = kt::contents_of(dir.track(".newer.part", KTCACHE_FORMAT_FLAC, 4096));
    g_taker_dir = dir.path();
    fault::refuse_no_replace_and_links(true);
    fault::set_rename_hook(swap_then_take_the_name);
    const std::string first = kt::scan(dir.path(), true);
    const std::string second = kt::scan(dir.path(), true);
    fault::set_rename_hook(nullptr);
    fault::refuse_no_replace_and_links(false);

    EXPECT_EQ(first, "<null>") << "a download was left under a hidden name";
    EXPECT_EQ(second, expected_report({{"song.m4a", 4096, "flac"}}, 0));
    EXPECT_EQ(kt::contents_of(dir / "song.m4a"), newer);
    const std::vector<std::string> hidden = hidden_entries(dir);
    ASSERT_EQ(hidden.size(), 1u);
    EXPECT_EQ(kt::contents_of(dir / hidden[0]), download) << "the older download is kept, hidden";
}

// ---------------------------------------------------------------------------
// A full directory, and purgers that look alike
// ---------------------------------------------------------------------------

// With no room for a hidden name the purge compares what it holds with the
// entry and deletes the entry where it is.
int g_aside_error;
int refuse_hidden_names(int, const char *, int, const char *to) {
    return is_hidden_name(to) ? g_aside_error : 0;
}

TEST(PurgeFullDirectory, StillDeletesWhatItJudged) {
    for (const int error : {ENOSPC, EDQUOT}) {
        SCOPED_TRACE(std::strerror(error));
        kt::TempDir dir;
        dir.track("a.ogg", KTCACHE_FORMAT_OGG);
        dir.write("page.mp3", "<!DOCTYPE html>", 2048);
        dir.track("stub.flac", KTCACHE_FORMAT_FLAC, 100);
        g_aside_error = error;
        fault::set_rename_hook(refuse_hidden_names);
        const std::string report = kt::scan(dir.path(), true);
        fault::set_rename_hook(nullptr);
        EXPECT_EQ(report, expected_report({{"a.ogg", 2048, "ogg"}}, 2));
        EXPECT_FALSE(dir.exists("page.mp3"));
        EXPECT_FALSE(dir.exists("stub.flac"));
    }
}

// Workers forked from one parent into new PID namespaces have the same pid
// and the same thread addresses; their hidden names must still differ.
std::string g_names_file;
int record_hidden_name(int, const char *, int, const char *to) {
    if (!is_hidden_name(to)) return 0;
    if (FILE *f = std::fopen(g_names_file.c_str(), "a")) {
        std::fprintf(f, "%s\n", to);
        std::fclose(f);
    }
    return EIO;
}

TEST(PurgeHiddenNames, DifferBetweenPurgersWithTheSamePidAndThread) {
    kt::TempDir dir;
    dir.write("page.mp3", "<!DOCTYPE html>", 2048);
    g_names_file = dir / ".names";
    for (int purger = 0; purger < 2; ++purger) {
        EXPECT_EQ(kt::run_in_child([&] {
                      fault::fix_pid(1);
                      fault::set_rename_hook(record_hidden_name);
                      kt::scan(dir.path(), true);
                      return 0;
                  }),
                  0);
    }
    const std::string names = kt::contents_of(g_names_file);
    const size_t split = names.find('\n');
    ASSERT_NE(split, std::string::npos) << "no hidden name was made";
    EXPECT_NE(names.substr(0, split), names.substr(split + 1, names.size() - split - 2)) << names;
}

} // namespace
