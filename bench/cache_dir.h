// Generated cache directories for the scan benchmarks: a realistic mix of
// downloads under a deep application-data path, made on first use and
// removed when the program ends.
#pragma once

#include "cache_mix.h"

#include <cstddef>
#include <string>

namespace bench {

// Fills the existing, empty directory `dir` with `files` files of the
// benchmarks' mix (kBenchMix, described in docs/performance.md). The same
// count always gives the same names, sizes and contents. Exits the program on
// any file-system error.
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
