// The closing table of a benchmark run: the scan against the naive floor, the
// loop of its own four calls and libmagic on the same directories, the peak heap of a scan and the
// throughput of safe file names, each with its target. All figures come from
// the runs of this process.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace bench {

// Benchmark names the table reads; each directory benchmark takes the
// number of files as its argument ("scan/10000").
constexpr const char kScanName[] = "scan";
constexpr const char kFloorName[] = "floor";
constexpr const char kFourCallsName[] = "four_calls";
constexpr const char kMagicName[] = "libmagic";
constexpr const char kPairsName[] = "scan_floor_pairs";
constexpr const char kFourCallsPairsName[] = "scan_four_calls_pairs";
constexpr const char kEscapedSegmentName[] = "safe_filename/escaped_segment_1MiB";
constexpr const char kTypicalUrlName[] = "safe_filename/typical_url";

// Counters of the scan benchmarks, measured on one scan outside the timing.
constexpr const char kPeakHeapCounter[] = "peak_heap";
constexpr const char kPeakPerFileCounter[] = "heap_per_file";
constexpr const char kPeakPerReportByteCounter[] = "heap_per_report_byte";
constexpr const char kReportBytesCounter[] = "report_bytes";
// Counters of the alternating passes: median per-pair ratio scan / floor,
// and scan / four calls.
constexpr const char kPairedWallCounter[] = "scan_to_floor";
constexpr const char kPairedCpuCounter[] = "scan_to_floor_cpu";
constexpr const char kFourCallsWallCounter[] = "scan_to_four_calls";
constexpr const char kFourCallsCpuCounter[] = "scan_to_four_calls_cpu";

// Targets.
constexpr double kScanToFloorTarget = 0.75;       // at most
constexpr double kScanToFourCallsTarget = 1.05;   // at most
constexpr double kMagicToScanTarget = 30.0;       // at least
constexpr double kEscapedSegmentGBpsTarget = 1.0; // at least, 10^9 bytes/s
constexpr double kPeakHeapToReportTarget = 3.0;   // at most

// Hands every run on to the display reporter chosen by --benchmark_format and
// keeps what the table needs; prints the table after the last run (to the
// console output, or to stderr when the output is JSON or CSV).
class RatioReporter : public benchmark::BenchmarkReporter {
  public:
    RatioReporter(benchmark::BenchmarkReporter *display, std::vector<size_t> directory_sizes);

    bool ReportContext(const Context &context) override;
    void ReportRuns(const std::vector<Run> &runs) override;
    void Finalize() override;

  private:
    struct Figure {
        double real_sum = 0; // seconds per iteration, summed over repetitions
        double cpu_sum = 0;
        int runs = 0;
        bool median = false; // a median aggregate replaced the sums
        std::map<std::string, double> counters;

        double real() const { return real_sum / runs; }
        double cpu() const { return cpu_sum / runs; }
    };
    const Figure *find(const std::string &name, size_t files = 0) const;
    void print_table(std::ostream &out) const;

    benchmark::BenchmarkReporter *display_;
    std::vector<size_t> sizes_;
    std::map<std::string, Figure> figures_;
};

} // namespace bench
