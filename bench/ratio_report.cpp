#include "ratio_report.h"

#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <utility>

namespace bench {
namespace {

std::string key_of(const std::string &name, size_t files) {
    return files == 0 ? name : name + "/" + std::to_string(files);
}

std::string with_thousands(size_t n) {
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(i, ",");
    return digits;
}

std::string format(const char *pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

const char *verdict(bool pass) { return pass ? "PASS" : "MISS"; }

} // namespace

RatioReporter::RatioReporter(benchmark::BenchmarkReporter *display,
                             std::vector<size_t> directory_sizes)
    : display_(display), sizes_(std::move(directory_sizes)) {}

bool RatioReporter::ReportContext(const Context &context) {
    return display_->ReportContext(context);
}

void RatioReporter::ReportRuns(const std::vector<Run> &runs) {
    for (const Run &run : runs) {
        if (run.error_occurred) continue;
        std::string key = run.run_name.function_name;
        if (!run.run_name.args.empty()) key += "/" + run.run_name.args;
        Figure &figure = figures_[key];
        const double to_seconds = 1.0 / benchmark::GetTimeUnitMultiplier(run.time_unit);
        if (run.run_type == Run::RT_Aggregate) {
            if (run.aggregate_name != "median") continue;
            figure = Figure{};
            figure.median = true;
        } else if (figure.median) {
            continue;
        }
        figure.real_sum += run.GetAdjustedRealTime() * to_seconds;
        figure.cpu_sum += run.GetAdjustedCPUTime() * to_seconds;
        ++figure.runs;
        for (const auto &counter : run.counters) figure.counters[counter.first] = counter.second;
    }
    display_->ReportRuns(runs);
}

void RatioReporter::Finalize() {
    display_->Finalize();
    bool console = dynamic_cast<benchmark::ConsoleReporter *>(display_) != nullptr;
    print_table(console ? display_->GetOutputStream() : std::cerr);
}

const RatioReporter::Figure *RatioReporter::find(const std::string &name, size_t files) const {
    auto it = figures_.find(key_of(name, files));
    return it == figures_.end() || it->second.runs == 0 ? nullptr : &it->second;
}

void RatioReporter::print_table(std::ostream &out) const {
    constexpr int kLabelWidth = 38;
    constexpr int kCellWidth = 22;
    auto line = [&](const std::string &label, const std::vector<std::string> &cells,
                    const std::string &target) {
        char text[64];
        std::snprintf(text, sizeof text, "%-*s", kLabelWidth, label.c_str());
        out << text;
        for (const std::string &cell : cells) {
            std::snprintf(text, sizeof text, "%-*s", kCellWidth, cell.c_str());
            out << text;
        }
        out << target << "\n";
    };
    // One cell per directory size; "-" where a benchmark did not run.
    using Cell = std::function<std::optional<std::string>(size_t files)>;
    auto row = [&](const std::string &label, const Cell &cell, const std::string &target) {
        std::vector<std::string> cells;
        for (size_t files : sizes_) cells.push_back(cell(files).value_or("-"));
        line(label, cells, target);
    };
    auto counter = [&](size_t files, const char *name) -> std::optional<double> {
        const Figure *scan = find(kScanName, files);
        if (scan == nullptr) return std::nullopt;
        auto it = scan->counters.find(name);
        if (it == scan->counters.end()) return std::nullopt;
        return it->second;
    };
    auto per_file = [&](const char *name) {
        return [this, name](size_t files) -> std::optional<std::string> {
            const Figure *figure = find(name, files);
            if (figure == nullptr) return std::nullopt;
            return format("%.3f", figure->real() / static_cast<double>(files) * 1e6) +
                   format(" (%.3f)", figure->cpu() / static_cast<double>(files) * 1e6);
        };
    };

    out << "\nFigures and ratios of this run: wall-clock time, CPU time in brackets; a ratio\n"
           "passes when both meet the target\n";
    std::vector<std::string> headings;
    for (size_t files : sizes_) headings.push_back(with_thousands(files) + " files");
    line("", headings, "target");

    // The scan against a loop of system calls, at most `target`: the ratio of
    // the two benchmarks, and the median ratio of the alternating passes.
    auto scan_ratio = [this](const char *reference, double target) {
        return [this, reference, target](size_t files) -> std::optional<std::string> {
            const Figure *scan = find(kScanName, files);
            const Figure *loop = find(reference, files);
            if (scan == nullptr || loop == nullptr) return std::nullopt;
            const double wall = scan->real() / loop->real(), cpu = scan->cpu() / loop->cpu();
            return format("%.2f", wall) + format(" (%.2f) ", cpu) +
                   verdict(wall <= target && cpu <= target);
        };
    };
    auto paired_ratio = [this](const char *pairs_name, const char *wall_counter,
                               const char *cpu_counter, double target) {
        return [=](size_t files) -> std::optional<std::string> {
            const Figure *pairs = find(pairs_name, files);
            if (pairs == nullptr) return std::nullopt;
            auto wall = pairs->counters.find(wall_counter);
            auto cpu = pairs->counters.find(cpu_counter);
            if (wall == pairs->counters.end() || cpu == pairs->counters.end()) return std::nullopt;
            return format("%.2f", wall->second) + format(" (%.2f) ", cpu->second) +
                   verdict(wall->second <= target && cpu->second <= target);
        };
    };

    row("scan, us per file", per_file(kScanName), "");
    row("naive floor, us per entry", per_file(kFloorName), "");
    row("four calls, us per entry", per_file(kFourCallsName), "");
    row("libmagic, us per file", per_file(kMagicName), "");
    row("scan / naive floor", scan_ratio(kFloorName, kScanToFloorTarget),
        format("<= %.2f", kScanToFloorTarget));
    row("  the same, alternating passes",
        paired_ratio(kPairsName, kPairedWallCounter, kPairedCpuCounter, kScanToFloorTarget),
        format("<= %.2f", kScanToFloorTarget));
    row("scan / four calls", scan_ratio(kFourCallsName, kScanToFourCallsTarget),
        format("<= %.2f", kScanToFourCallsTarget));
    row("  the same, alternating passes",
        paired_ratio(kFourCallsPairsName, kFourCallsWallCounter, kFourCallsCpuCounter,
                     kScanToFourCallsTarget),
        format("<= %.2f", kScanToFourCallsTarget));
    row(
        "libmagic / scan",
        [&](size_t files) -> std::optional<std::string> {
            const Figure *scan = find(kScanName, files);
            const Figure *magic = find(kMagicName, files);
            if (scan == nullptr || magic == nullptr) return std::nullopt;
            const double wall = magic->real() / scan->real(), cpu = magic->cpu() / scan->cpu();
            return format("%.1f", wall) + format(" (%.1f) ", cpu) +
                   verdict(wall >= kMagicToScanTarget && cpu >= kMagicToScanTarget);
        },
        format(">= %.0f", kMagicToScanTarget));
    // A counter of the scan benchmarks, printed as it is.
    auto counter_row = [&](const std::string &label, const char *name, const char *printf_format) {
        row(
            label,
            [&](size_t files) -> std::optional<std::string> {
                auto value = counter(files, name);
                return value ? std::optional<std::string>(format(printf_format, *value))
                             : std::nullopt;
            },
            "");
    };
    counter_row("report length, bytes", kReportBytesCounter, "%.0f");
    counter_row("peak heap of one scan, bytes", kPeakHeapCounter, "%.0f");
    counter_row("peak heap per listed file, bytes", kPeakPerFileCounter, "%.1f");
    row(
        "peak heap / report length",
        [&](size_t files) -> std::optional<std::string> {
            auto value = counter(files, kPeakPerReportByteCounter);
            if (!value) return std::nullopt;
            return format("%.2f ", *value) + verdict(*value <= kPeakHeapToReportTarget);
        },
        format("<= %.0f", kPeakHeapToReportTarget));

    out << "\n";
    if (const Figure *segment = find(kEscapedSegmentName)) {
        auto it = segment->counters.find("bytes_per_second");
        if (it != segment->counters.end()) {
            const double gbps = it->second / 1e9;
            line("safe file name, 1 MiB escaped segment",
                 {format("%.2f GB/s ", gbps) + verdict(gbps >= kEscapedSegmentGBpsTarget)},
                 format(">= %.0f GB/s (10^9 bytes/s)", kEscapedSegmentGBpsTarget));
        }
    }
    if (const Figure *typical = find(kTypicalUrlName)) {
        line("safe file name, typical URL", {format("%.0f ns per call", typical->real() * 1e9)},
             "");
    }
    out << std::flush;
}

} // namespace bench
