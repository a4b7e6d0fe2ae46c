// The scan of a cache that is not in memory, as a player's scan at start-up
// meets it, against the loop of its four calls, which reads one file at a
// time (make bench-cold). Caches of 2,000, 10,000 and 50,000 files of the
// benchmarks' mix are laid out once; before each cold pass the pages of
// every file are evicted (fdatasync, then POSIX_FADV_DONTNEED), or with
// --drop-caches everything the kernel caches (as root). The loop and the
// scan alternate, pair by pair, and the table gives the medians and the
// ratios of each pair, cold and warm. A third row, a loop that hints a
// window of files ahead (posix_fadvise WILLNEED) after a read that would
// wait, is the design the scan did not take, measured beside it.
//
//   ktcache_bench_cold [--pairs N] [--drop-caches] [FILES...]
#include "ktcache.h"

#include "cache_dir.h"
#include "reference_loops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "ktcache_bench_cold: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

// Evicts the pages of every file of `dir`, or, with `everything`, the whole
// page, dentry and inode cache.
void make_cold(const std::string &dir, bool everything) {
    if (everything) {
        sync();
        FILE *drop = std::fopen("/proc/sys/vm/drop_caches", "w");
        if (drop == nullptr || std::fputs("3\n", drop) < 0 || std::fclose(drop) != 0)
            fail("cannot drop the caches (root only)");
        return;
    }
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) fail("cannot open " + dir);
    while (const struct dirent *entry = readdir(d)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = openat(dirfd(d), entry->d_name, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
    closedir(d);
}

// The four calls, with a read that does not wait first; a file whose read
// would wait is hinted (WILLNEED) and kept open in a window of 64, and read
// once it leaves the window, in listing order.
size_t hint_window_pass(const char *dir_path) {
    constexpr size_t kWindow = 64;
    DIR *dir = opendir(dir_path);
    if (dir == nullptr) return 0;
    const int dir_fd = dirfd(dir);
    size_t bytes_read = 0;
    std::deque<int> waiting;
    const auto read_header = [&](int fd) {
        unsigned char header[64];
        const ssize_t got = pread(fd, header, sizeof header, 0);
        if (got > 0) bytes_read += static_cast<size_t>(got);
        close(fd);
    };
    while (const struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        struct stat st;
        if (fstatat(dir_fd, entry->d_name, &st, 0) != 0) continue;
        if (!S_ISREG(st.st_mode) || st.st_size < KTCACHE_DEFAULT_MIN_SIZE) continue;
        const int fd = openat(dir_fd, entry->d_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) continue;
        unsigned char header[64];
        struct iovec piece = {header, sizeof header};
        const ssize_t got = preadv2(fd, &piece, 1, 0, RWF_NOWAIT);
        if (got >= 0 && waiting.empty()) {
            bytes_read += static_cast<size_t>(got);
            close(fd);
            continue;
        }
        if (got < 0) posix_fadvise(fd, 0, sizeof header, POSIX_FADV_WILLNEED);
        waiting.push_back(fd);
        if (waiting.size() == kWindow) {
            read_header(waiting.front());
            waiting.pop_front();
        }
    }
    for (const int fd : waiting) read_header(fd);
    closedir(dir);
    return bytes_read;
}

size_t scan_pass(const char *dir_path) {
    char *report = ktcache_scan_dir_json(dir_path, 0);
    const size_t length = report != nullptr ? std::strlen(report) : 0;
    ktcache_free(report);
    return length;
}

double seconds_of(const std::function<size_t()> &pass) {
    const auto start = std::chrono::steady_clock::now();
    if (pass() == 0) fail("a pass read nothing");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct Row {
    const char *name;
    std::function<size_t(const char *)> pass;
};

} // namespace

int main(int argc, char **argv) {
    int pairs = 5;
    bool drop_caches = false;
    std::vector<size_t> sizes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc) {
            pairs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--drop-caches") == 0) {
            drop_caches = true;
        } else {
            sizes.push_back(static_cast<size_t>(std::strtoul(argv[i], nullptr, 10)));
        }
    }
    if (sizes.empty()) sizes = {2000, 10000, 50000};
    if (pairs < 1) pairs = 1;

    const Row loop = {"four calls", bench::four_calls_pass};
    const Row others[] = {{"scan", scan_pass}, {"hint window", hint_window_pass}};
    std::printf("%s; %d pairs, medians\n\n",
                drop_caches ? "everything cold (drop_caches)" : "data cold (POSIX_FADV_DONTNEED)",
                pairs);
    std::printf("%8s  %-12s %10s %10s %12s %10s %10s %12s\n", "files", "pass", "cold ms", "loop ms",
                "loop/pass", "warm ms", "loop ms", "pass/loop");
    for (const size_t files : sizes) {
        const std::string dir = bench::bench_cache(files).path;
        const char *path = dir.c_str();
        for (const Row &row : others) {
            std::vector<double> cold, cold_loop, cold_ratio, warm, warm_loop, warm_ratio;
            for (int pair = 0; pair < pairs; ++pair) {
                // Alternate which goes first, so that neither always follows
                // the other's leftovers.
                double mine = 0, theirs = 0;
                for (int turn = 0; turn < 2; ++turn) {
                    make_cold(dir, drop_caches);
                    if ((turn == 0) == (pair % 2 == 0)) {
                        mine = seconds_of([&] { return row.pass(path); });
                    } else {
                        theirs = seconds_of([&] { return loop.pass(path); });
                    }
                }
                cold.push_back(mine);
                cold_loop.push_back(theirs);
                cold_ratio.push_back(theirs / mine);
                seconds_of([&] { return row.pass(path); }); // warm both up
                const double warm_mine = seconds_of([&] { return row.pass(path); });
                const double warm_theirs = seconds_of([&] { return loop.pass(path); });
                warm.push_back(warm_mine);
                warm_loop.push_back(warm_theirs);
                warm_ratio.push_back(warm_mine / warm_theirs);
            }
            std::printf("%8zu  %-12s %10.1f %10.1f %11.2fx %10.1f %10.1f %12.3f\n", files, row.name,
                        1000 * median(cold), 1000 * median(cold_loop), median(cold_ratio),
                        1000 * median(warm), 1000 * median(warm_loop), median(warm_ratio));
            std::fflush(stdout);
        }
    }
    std::printf("\nloop/pass cold: how many times faster than one read at a time (target: "
                "at least 3x at 10,000 and 50,000); pass/loop warm: the cost of a warm pass\n");
    return 0;
}
