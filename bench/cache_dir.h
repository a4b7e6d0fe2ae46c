// Generated cache directories for the scan benchmarks: a realistic mix of
// downloads under a deep application-data path, made on first use and
// removed when the program ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

// What a generated directory holds. "files" counts every regular file,
// hidden ones included; the subdirectories come on top.
struct CacheContents {
    size_t files = 0;
    size_t valid = 0;     // listed by a scan
    size_t html = 0;      // error pages saved as tracks
    size_t json = 0;      // JSON error bodies saved as tracks
    size_t truncated = 0; // valid header, below 1024 bytes
    size_t hidden = 0;    // ".name.part", never examined
    size_t subdirectories = 0;
    int64_t valid_bytes = 0;
};

// Fills the existing, empty directory `dir` with `files` files in the mix
// described in docs/performance.md. The same count always gives the same
// names, sizes and contents. Exits the program on any file-system error.
CacheContents fill_cache(const std::string &dir, size_t files);

struct BenchCache {
    std::string path; // the cache directory itself
    CacheContents contents;
};

// The cache directory of `files` files, twelve directories below a fresh
// temporary root. Made the first time it is asked for; the whole root goes
// away at exit, and also on SIGINT, SIGTERM or SIGHUP.
const BenchCache &bench_cache(size_t files);

// The twelve directories between the temporary root and the caches.
const char *deep_path_components();

} // namespace bench
