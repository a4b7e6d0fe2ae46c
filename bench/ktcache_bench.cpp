// Benchmarks of the library's hot paths, with the references the scan is
// measured against: a naive loop of system calls, a loop of only the scan's
// own four calls per file, and libmagic, on the same generated directories in
// the same run. A table of ratios closes the run.
// Compare figures within one run only: these machines are noisy.
//
//   make bench                                   (everything, a few minutes)
//   make bench BENCH_ARGS=--benchmark_filter=/10000/
//   build-bench/bench/ktcache_bench --help
//
// Two modes serve the system-call count of docs/performance.md
// (bench/count-syscalls.sh):
//   ktcache_bench --make-cache N DIR      fill the new directory DIR with the mix
//   ktcache_bench --probe scan|floor|four-calls|libmagic DIR   one pass over DIR
#include "ktcache.h"

#include "cache_dir.h"
#include "counting_heap.h"
#include "ratio_report.h"
#include "reference_loops.h"
#include "sample_headers.h"

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// Results reach benchmark::DoNotOptimize only as temporaries, which take its
// input-only overload: Google Benchmark 1.7's overload for lvalues ("+m,r")
// is miscompiled by GCC in some builds (it corrupted pointers under
// AddressSanitizer here). Results released with ktcache_free need no such
// guard: the release is an opaque call into the shared library.

// Directory sizes of the scan benchmarks, and how long each is measured.
// The scan and the loops of system calls are repeated and the table takes
// the median, which a burst of load on the machine moves less than the mean;
// the largest directory costs more than a second per pass and runs once.
// libmagic costs some 20 times the scan, so it gets a fixed, small number of
// passes.
struct DirectorySize {
    size_t files;
    double min_time;       // seconds per repetition, for the scan and the loops
    int repetitions;       // of the scan and the loops
    double pairs_min_time; // seconds of alternating passes, per reference loop
    int magic_passes;      // fixed iteration count for libmagic
};
constexpr DirectorySize kDirectorySizes[] = {
    {1000, 0.2, 5, 1.0, 5},
    {10000, 0.5, 5, 3.0, 2},
    {100000, 2.0, 1, 5.0, 1},
};

// ---------------------------------------------------------------------------
// Header recognition
// ---------------------------------------------------------------------------

void header_recognition(benchmark::State &state, const samples::SampleHeader &header) {
    for (auto _ : state)
        benchmark::DoNotOptimize(ktcache_has_valid_audio_magic(header.bytes, sizeof header.bytes));
}

// ---------------------------------------------------------------------------
// Safe file names
// ---------------------------------------------------------------------------

constexpr char kTypicalUrl[] =
    "https://cdn.kelvanetunes.example/music/u/184467/"
    "Aurora%20Lane%20-%20Nightfall%20%28Live%29.m4a?token=eyJhbGciOi&exp=1765300000";

constexpr size_t kEscapedSegmentSize = size_t{1} << 20;

// A download URL whose last path segment is 1 MiB, nearly all of it percent
// escapes (a decoded letter, an escaped slash and space, and a plain byte).
const std::string &escaped_segment_url() {
    static const std::string url = [] {
        std::string segment;
        segment.reserve(kEscapedSegmentSize);
        while (segment.size() + 10 <= kEscapedSegmentSize - 6) segment += "%41%2F%20a";
        segment += "x.flac";
        segment.append(kEscapedSegmentSize - segment.size(), 'a');
        return "https://cdn.kelvanetunes.example/music/u/184467/" + segment + "?v=1";
    }();
    return url;
}

void safe_filename_typical(benchmark::State &state) {
    for (auto _ : state) {
        ktcache_free(ktcache_safe_filename(kTypicalUrl));
    }
    state.SetItemsProcessed(state.iterations());
}

void safe_filename_escaped_segment(benchmark::State &state) {
    const std::string &url = escaped_segment_url();
    for (auto _ : state) {
        ktcache_free(ktcache_safe_filename(url.c_str()));
    }
    // Throughput over the segment, the part that is decoded and written.
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kEscapedSegmentSize));
}

// ---------------------------------------------------------------------------
// Byte texts
// ---------------------------------------------------------------------------

void format_bytes(benchmark::State &state) {
    // One count of each band, as a track list shows them.
    constexpr int64_t kCounts[] = {512, 1536, 15369751, 1476395008, -1, 1048575};
    constexpr size_t kCountCount = sizeof kCounts / sizeof *kCounts;
    char text[KTCACHE_BYTES_TEXT_SIZE];
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ktcache_format_bytes(kCounts[i], text, sizeof text));
        benchmark::ClobberMemory();
        if (++i == kCountCount) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// ---------------------------------------------------------------------------
// The scan and its references
// ---------------------------------------------------------------------------

// Reads an unsigned member such as "validCount" from a report.
uint64_t report_member(const char *report, const char *key) {
    const std::string quoted = std::string("\"") + key + "\":";
    const char *at = std::strstr(report, quoted.c_str());
    return at != nullptr ? std::strtoull(at + quoted.size(), nullptr, 10) : 0;
}

// A generated directory after one pass of the floor loop, which touches every
// entry's inode and first page as the scan does: what each benchmark below
// measures is the warm cache.
const bench::BenchCache &warm_cache(size_t files) {
    static std::map<size_t, bool> warmed;
    const bench::BenchCache &cache = bench::bench_cache(files);
    if (!warmed[files]) {
        bench::naive_floor_pass(cache.path.c_str());
        warmed[files] = true;
    }
    return cache;
}

// One scan outside the timing, with the heap probe armed. It checks that the
// report lists exactly the valid files.
struct ScanProbe {
    bool ok = false;
    std::string error;
    double report_bytes = 0;
    double listed = 0;
    double peak_heap = 0;
};

const ScanProbe &probe_scan(const bench::BenchCache &cache) {
    static std::map<std::string, ScanProbe> probes;
    auto found = probes.find(cache.path);
    if (found != probes.end()) return found->second;

    ScanProbe &probe = probes[cache.path];
    heap::arm();
    char *report = ktcache_scan_dir_json(cache.path.c_str(), 0);
    heap::disarm();
    if (report == nullptr) {
        probe.error = std::string("the scan gave no report: ") + ktcache_last_error();
        return probe;
    }
    probe.report_bytes = static_cast<double>(std::strlen(report));
    probe.listed = static_cast<double>(report_member(report, "validCount"));
    probe.peak_heap = static_cast<double>(heap::peak());
    const uint64_t total = report_member(report, "totalBytes");
    ktcache_free(report);
    if (probe.listed != static_cast<double>(cache.contents.valid) ||
        total != static_cast<uint64_t>(cache.contents.valid_bytes)) {
        probe.error = "the report does not list the generated valid files";
        return probe;
    }
    probe.ok = true;
    return probe;
}

void scan(benchmark::State &state, size_t files) {
    const bench::BenchCache &cache = warm_cache(files);
    const ScanProbe &probe = probe_scan(cache);
    if (!probe.ok) {
        state.SkipWithError(probe.error.c_str());
        return;
    }
    for (auto _ : state) {
        ktcache_free(ktcache_scan_dir_json(cache.path.c_str(), 0));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(files));
    state.counters["listed"] = probe.listed;
    state.counters[bench::kReportBytesCounter] = probe.report_bytes;
    if (heap::available()) {
        state.counters[bench::kPeakHeapCounter] = probe.peak_heap;
        state.counters[bench::kPeakPerFileCounter] = probe.peak_heap / probe.listed;
        state.counters[bench::kPeakPerReportByteCounter] = probe.peak_heap / probe.report_bytes;
    }
}

// A loop of system calls the scan is compared with (bench/reference_loops.h).
using ReferencePass = size_t (*)(const char *dir_path);

void reference_loop(benchmark::State &state, size_t files, ReferencePass pass) {
    const bench::BenchCache &cache = warm_cache(files);
    for (auto _ : state) benchmark::DoNotOptimize(pass(cache.path.c_str()));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(files));
}

// The scan and a reference loop in alternating passes, each pass timed on its
// own. Load on the machine that comes and goes then touches both sides of a
// pair alike, so the median of the per-pair ratios is steadier than the ratio
// of two benchmarks run one after the other.
double seconds_of(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The counters one pairing reports: the median per-pair ratios scan / loop.
struct PairCounters {
    const char *wall;
    const char *cpu;
};

void scan_pairs(benchmark::State &state, size_t files, ReferencePass reference,
                PairCounters counters) {
    const bench::BenchCache &cache = warm_cache(files);
    const char *dir = cache.path.c_str();
    std::vector<double> wall_ratios, cpu_ratios;
    for (auto _ : state) {
        const double wall0 = seconds_of(CLOCK_MONOTONIC),
                     cpu0 = seconds_of(CLOCK_PROCESS_CPUTIME_ID);
        ktcache_free(ktcache_scan_dir_json(dir, 0));
        const double wall1 = seconds_of(CLOCK_MONOTONIC),
                     cpu1 = seconds_of(CLOCK_PROCESS_CPUTIME_ID);
        benchmark::DoNotOptimize(reference(dir));
        const double wall2 = seconds_of(CLOCK_MONOTONIC),
                     cpu2 = seconds_of(CLOCK_PROCESS_CPUTIME_ID);
        wall_ratios.push_back((wall1 - wall0) / (wall2 - wall1));
        cpu_ratios.push_back((cpu1 - cpu0) / (cpu2 - cpu1));
    }
    state.counters[counters.wall] = median(wall_ratios);
    state.counters[counters.cpu] = median(cpu_ratios);
}

#if KTCACHE_BENCH_LIBMAGIC
bench::MagicReference &magic_reference() {
    static bench::MagicReference reference;
    return reference;
}

void libmagic(benchmark::State &state, size_t files) {
    const bench::BenchCache &cache = warm_cache(files);
    bench::MagicReference &magic = magic_reference();
    if (!magic.ok()) {
        state.SkipWithError(magic.error().c_str());
        return;
    }
    bench::MagicReference::Pass pass;
    for (auto _ : state) pass = magic.classify_directory(cache.path.c_str());
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(files));
    state.counters["classified"] = static_cast<double>(pass.files);
    state.counters["audio"] = static_cast<double>(pass.audio);
}
#endif

void register_benchmarks() {
    for (const samples::SampleHeader &header : samples::kSampleHeaders) {
        const std::string name = std::string("header/") + header.label;
        benchmark::RegisterBenchmark(name.c_str(), header_recognition, header)->MinTime(0.2);
    }
    benchmark::RegisterBenchmark(bench::kTypicalUrlName, safe_filename_typical)->MinTime(0.3);
    benchmark::RegisterBenchmark(bench::kEscapedSegmentName, safe_filename_escaped_segment)
        ->MinTime(0.5)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("format_bytes", format_bytes)->MinTime(0.3);

    // Per size: the scan, the floor, the four calls, the scan alternating
    // with each loop, then libmagic, so that they run close together in time
    // and see much the same load on the machine.
    for (const DirectorySize &size : kDirectorySizes) {
        const auto files = static_cast<int64_t>(size.files);
        const ReferencePass floor = bench::naive_floor_pass, four_calls = bench::four_calls_pass;
        for (auto *timed :
             {benchmark::RegisterBenchmark(bench::kScanName, scan, size.files),
              benchmark::RegisterBenchmark(bench::kFloorName, reference_loop, size.files, floor),
              benchmark::RegisterBenchmark(bench::kFourCallsName, reference_loop, size.files,
                                           four_calls)}) {
            timed->Arg(files)->MinTime(size.min_time)->UseRealTime()->Unit(benchmark::kMillisecond);
            if (size.repetitions > 1)
                timed->Repetitions(size.repetitions)->ReportAggregatesOnly(true);
        }
        for (auto *pairs :
             {benchmark::RegisterBenchmark(
                  bench::kPairsName, scan_pairs, size.files, floor,
                  PairCounters{bench::kPairedWallCounter, bench::kPairedCpuCounter}),
              benchmark::RegisterBenchmark(
                  bench::kFourCallsPairsName, scan_pairs, size.files, four_calls,
                  PairCounters{bench::kFourCallsWallCounter, bench::kFourCallsCpuCounter})}) {
            pairs->Arg(files)
                ->MinTime(size.pairs_min_time)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
#if KTCACHE_BENCH_LIBMAGIC
        benchmark::RegisterBenchmark(bench::kMagicName, libmagic, size.files)
            ->Arg(files)
            ->Iterations(size.magic_passes)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
#endif
    }
}

// ---------------------------------------------------------------------------
// Modes for counting system calls
// ---------------------------------------------------------------------------

int usage() {
    std::fprintf(stderr, "usage: ktcache_bench [benchmark options]\n"
                         "       ktcache_bench --make-cache N DIR\n"
                         "       ktcache_bench --probe scan|floor|four-calls|libmagic DIR\n");
    return 2;
}

int make_cache(const char *count, const char *dir) {
    char *end = nullptr;
    const unsigned long long files = std::strtoull(count, &end, 10);
    if (end == count || *end != '\0') return usage();
    if (mkdir(dir, 0755) != 0) {
        std::perror(dir);
        return 1;
    }
    const bench::CacheContents c = bench::fill_cache(dir, files);
    std::printf("%zu files: %zu valid (%" PRId64 " bytes), %zu html, %zu json, %zu truncated, "
                "%zu hidden; %zu subdirectories\n",
                c.files, c.valid, c.valid_bytes, c.html, c.json, c.truncated, c.hidden,
                c.subdirectories);
    return 0;
}

int probe(const char *what, const char *dir) {
    if (std::strcmp(what, "scan") == 0) {
        heap::arm();
        char *report = ktcache_scan_dir_json(dir, 0);
        heap::disarm();
        if (report == nullptr) {
            std::fprintf(stderr, "no report: %s\n", ktcache_last_error());
            return 1;
        }
        const size_t length = std::strlen(report);
        std::printf("validCount %" PRIu64 ", report %zu bytes", report_member(report, "validCount"),
                    length);
        if (heap::available()) {
            std::printf(", peak heap %" PRId64 " bytes (%.2f times the report)", heap::peak(),
                        static_cast<double>(heap::peak()) / static_cast<double>(length));
        }
        std::printf("\n");
        ktcache_free(report);
        return 0;
    }
    if (std::strcmp(what, "floor") == 0) {
        std::printf("%zu header bytes read\n", bench::naive_floor_pass(dir));
        return 0;
    }
    if (std::strcmp(what, "four-calls") == 0) {
        std::printf("%zu header bytes read\n", bench::four_calls_pass(dir));
        return 0;
    }
#if KTCACHE_BENCH_LIBMAGIC
    if (std::strcmp(what, "libmagic") == 0) {
        bench::MagicReference magic;
        if (!magic.ok()) {
            std::fprintf(stderr, "%s\n", magic.error().c_str());
            return 1;
        }
        bench::MagicReference::Pass pass = magic.classify_directory(dir);
        std::printf("%zu files classified, %zu audio\n", pass.files, pass.audio);
        return 0;
    }
#endif
    return usage();
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--make-cache") == 0)
        return argc == 4 ? make_cache(argv[2], argv[3]) : usage();
    if (argc >= 2 && std::strcmp(argv[1], "--probe") == 0)
        return argc == 4 ? probe(argv[2], argv[3]) : usage();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    register_benchmarks();

    std::vector<size_t> sizes;
    for (const DirectorySize &size : kDirectorySizes) sizes.push_back(size.files);
    bench::RatioReporter reporter(benchmark::CreateDefaultDisplayReporter(), sizes);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
