// Benchmarks of the library's hot paths. Compare ratios within one run only:
// these machines are noisy.
//
//   make bench            (or: build/bench/ktcache_bench)
#include "ktcache.h"

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A cache directory of `count` valid tracks and a few rejects, made once.
class BenchCache {
  public:
    explicit BenchCache(int count) {
        char pattern[] = "/tmp/ktcache-bench-XXXXXX";
        path_ = mkdtemp(pattern);
        const std::string header("OggS\0\x02\0\0\0\0\0\0", 12);
        std::string content = header + std::string(4096 - header.size(), '\0');
        for (int i = 0; i < count; ++i) {
            const std::string name = "track-" + std::to_string(i) + ".ogg";
            write(name, i % 50 == 0 ? std::string("<!DOCTYPE html>") + content : content);
            files_.push_back(path_ + "/" + name);
        }
    }
    ~BenchCache() {
        const std::string cmd = "rm -rf '" + path_ + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "cannot remove %s\n", path_.c_str());
    }
    const std::string &path() const { return path_; }
    const std::vector<std::string> &files() const { return files_; }

  private:
    void write(const std::string &name, const std::string &content) {
        FILE *f = std::fopen((path_ + "/" + name).c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    std::string path_;
    std::vector<std::string> files_;
};

const BenchCache &cache_of(int count) {
    static BenchCache small(100), large(2000);
    return count <= 100 ? small : large;
}

// One report-only scan of the whole directory.
void BM_ScanDirectory(benchmark::State &state) {
    const BenchCache &cache = cache_of(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        char *report = ktcache_scan_dir_json(cache.path().c_str(), 0);
        benchmark::DoNotOptimize(report);
        ktcache_free(report);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ScanDirectory)->Arg(100)->Arg(2000);

// The validations a scan delegates, called one by one on the same files: the
// difference to the scan is the enumeration and the report.
void BM_ValidateEachFile(benchmark::State &state) {
    const BenchCache &cache = cache_of(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (const std::string &file : cache.files())
            benchmark::DoNotOptimize(ktcache_validate_file(file.c_str(), 0));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ValidateEachFile)->Arg(100)->Arg(2000);

// A straightforward stdio validation (status query, fopen, fread, fclose)
// as a baseline for the library's single stat + open/read/close.
void BM_StdioValidationBaseline(benchmark::State &state) {
    const BenchCache &cache = cache_of(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (const std::string &file : cache.files()) {
            struct stat st;
            if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 1024) continue;
            FILE *f = std::fopen(file.c_str(), "rb");
            if (f == nullptr) continue;
            unsigned char header[64];
            size_t got = std::fread(header, 1, sizeof header, f);
            std::fclose(f);
            benchmark::DoNotOptimize(ktcache_has_valid_audio_magic(header, got));
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StdioValidationBaseline)->Arg(100)->Arg(2000);

void BM_SafeFilename(benchmark::State &state) {
    const char *url =
        "https://cdn.kelvanetunes.example/music/u/184467/"
        "Aurora%20Lane%20-%20Nightfall%20%28Live%29.m4a?token=eyJhbGciOi&exp=1765300000";
    for (auto _ : state) {
        char *name = ktcache_safe_filename(url);
        benchmark::DoNotOptimize(name);
        ktcache_free(name);
    }
}
BENCHMARK(BM_SafeFilename);

void BM_HeaderRecognition(benchmark::State &state) {
    const unsigned char riff[12] = {'R', 'I', 'F', 'F', 0x24, 0x08, 0, 0, 'W', 'A', 'V', 'E'};
    for (auto _ : state) benchmark::DoNotOptimize(ktcache_has_valid_audio_magic(riff, sizeof riff));
}
BENCHMARK(BM_HeaderRecognition);

void BM_FormatBytes(benchmark::State &state) {
    char text[KTCACHE_BYTES_TEXT_SIZE];
    int64_t count = 15369751;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ktcache_format_bytes(count, text, sizeof text));
        count += 4099;
    }
}
BENCHMARK(BM_FormatBytes);

} // namespace

BENCHMARK_MAIN();
