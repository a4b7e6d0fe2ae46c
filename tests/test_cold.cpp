// A scan of a cache that is not in memory keeps many reads in flight, and
// still lists, counts and purges exactly what a scan of a warm cache does:
// with the kernel's asynchronous reads, without them (refused by a seccomp
// filter), and with reads that finish out of order.
#include "interpose.h"
#include "ktcache.hpp"
#include "support.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace {

using kt::expected_report;

// Tracks, error pages and stubs, in a shuffled listing order, with the
// report a warm scan gives for them (purged counts the broken files).
struct ColdCache {
    std::vector<kt::Listed> listed;
    uint64_t broken = 0;
};

ColdCache lay_out(const kt::TempDir &dir) {
    ColdCache cache;
    std::map<std::string, kt::Listed> valid;
    for (int i = 0; i < 300; ++i) {
        const std::string name = "t" + std::to_string(i);
        if (i % 7 == 0) {
            dir.write(name + ".mp3", "<!DOCTYPE html>", 2048);
            ++cache.broken;
        } else if (i % 11 == 0) {
            dir.track(name + ".ogg", KTCACHE_FORMAT_OGG, 100);
            ++cache.broken;
        } else {
            dir.track(name + ".flac", KTCACHE_FORMAT_FLAC, 1024 + static_cast<size_t>(i));
            valid[name + ".flac"] = {name + ".flac", 1024 + i, "flac"};
        }
    }
    dir.track(".part.m4a", KTCACHE_FORMAT_M4A);
    dir.subdir("covers");
    for (const std::string &name : kt::enumeration_order(dir.path()))
        if (valid.count(name) != 0) cache.listed.push_back(valid[name]);
    return cache;
}

// Drops the pages of every `nth` file from memory, so that reading its
// first bytes waits for the disk.
void evict(const kt::TempDir &dir, int nth) {
    int i = 0;
    for (const std::string &name : kt::enumeration_order(dir.path())) {
        if (i++ % nth != 0) continue;
        const int fd = open((dir / name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
}

// Makes io_uring_setup fail with ENOSYS, as a container's seccomp profile
// does, for this process and its children.
bool refuse_io_uring() {
    struct sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_io_uring_setup, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog filter = {sizeof program / sizeof *program, program};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0 &&
           syscall(SYS_io_uring_setup, 1, nullptr) < 0 && errno == ENOSYS;
}

enum class Reads { in_flight, refused, out_of_order };

TEST(ColdCache, ListsAndPurgesAsAWarmScanDoes) {
    for (const Reads reads : {Reads::in_flight, Reads::refused, Reads::out_of_order}) {
        for (const bool purge : {false, true}) {
            SCOPED_TRACE(std::string(reads == Reads::in_flight ? "reads in flight"
                                     : reads == Reads::refused ? "io_uring refused"
                                                               : "reads out of order") +
                         (purge ? ", purging" : ""));
            kt::TempDir dir;
            const ColdCache cache = lay_out(dir);
            const std::string expected = expected_report(cache.listed, purge ? cache.broken : 0);
            if (reads == Reads::out_of_order) evict(dir, 2);
            const int status = kt::run_in_child([&] {
                if (reads == Reads::refused && !refuse_io_uring()) return 10;
                // Out of order: only the evicted files wait for the disk,
                // and the kernel finishes their reads as the disk serves them.
                fault::make_reads_wait(reads != Reads::out_of_order);
                return kt::scan(dir.path(), purge) == expected ? 0 : 11;
            });
            EXPECT_EQ(status, 0) << "10: io_uring was not refused; 11: another report";
            EXPECT_EQ(kt::scan(dir.path(), false), expected_report(cache.listed, 0));
            EXPECT_EQ(kt::enumeration_order(dir.path()).size(),
                      cache.listed.size() + 2 + (purge ? 0 : cache.broken));
        }
    }
}

} // namespace
