// The Windows scan under Wine, against the least loop of Windows file calls
// that a scan of the same directory can make, on a cache of the Windows mix
// (bench/cache_mix.h). bench/windows-bench.sh runs the three modes in turn
// (make bench-windows) and counts the ntdll file calls between the markers
// that --count prints (docs/performance.md).
//
//   ktcache_bench_windows --make-cache N DIR   create DIR and fill it with N files
//   ktcache_bench_windows --time N DIR [S]     alternating passes for S seconds
//   ktcache_bench_windows --count N DIR        one pass of each between markers
//
// N is the count the directory was made with: the program checks that the
// scan lists exactly the valid files of that mix before it measures.
#include "ktcache.h"

#include "cache_mix.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "ktcache_bench_windows: %s\n", what.c_str());
    std::exit(2);
}

// What failed, and the error code of the Windows call that failed.
[[noreturn]] void fail_call(const std::string &what) {
    fail(what + " (error " + std::to_string(GetLastError()) + ")");
}

std::wstring widen(const std::string &text, UINT code_page) {
    const int length = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0 && !text.empty()) fail_call("cannot convert " + text);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), length);
    return wide;
}

// Writes the entries of a generated cache with the wide file calls, so that
// every name is the one the mix gives, whatever the ANSI code page. Windows
// allows no quotation mark in a name: the mix's band "The \"Live\" Band" is
// "The 'Live' Band" here.
class WideDirectoryWriter final : public bench::CacheWriter {
  public:
    explicit WideDirectoryWriter(std::wstring dir) : dir_(std::move(dir)) {}

    void file(const std::string &name, const std::string &content) override {
        const std::wstring path = path_of(name);
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) fail_call("cannot create " + name);
        DWORD written = 0;
        const BOOL ok =
            WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        if (!CloseHandle(file) || !ok || written != content.size())
            fail_call("cannot write " + name);
    }

    void folder(const std::string &name) override {
        if (!CreateDirectoryW(path_of(name).c_str(), nullptr)) fail_call("cannot create " + name);
    }

  private:
    std::wstring path_of(std::string name) const {
        std::replace(name.begin(), name.end(), '"', '\'');
        return dir_ + L"\\" + widen(name, CP_UTF8);
    }

    std::wstring dir_;
};

// ---------------------------------------------------------------------------
// The least loop
// ---------------------------------------------------------------------------

// Directory records are read into a buffer of this size: one query then
// returns about 370 entries of this mix.
constexpr DWORD kListingBufferSize = 64 * 1024;
// The bytes read from each file, as much as the scan needs to judge it.
constexpr DWORD kHeaderBytes = 64;

// One pass of the least a scan must do: list the directory through one held
// handle, 64 KiB of records at a time; skip what the listing shows as a
// directory and the names that begin with a dot (as the scan does); open
// every other entry, read its first 64 bytes, close it. No report, no
// judgement. Returns the bytes read.
size_t least_loop_pass(const std::wstring &dir) {
    HANDLE listing = CreateFileW(dir.c_str(), FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (listing == INVALID_HANDLE_VALUE) fail_call("cannot open the directory");
    // LONGLONG elements: the records' 8-byte fields need that alignment.
    static LONGLONG buffer[kListingBufferSize / sizeof(LONGLONG)];
    size_t bytes_read = 0;
    std::wstring path = dir + L"\\";
    const size_t dir_length = path.size();
    while (GetFileInformationByHandleEx(listing, FileIdBothDirectoryInfo, buffer,
                                        kListingBufferSize)) {
        const auto *record = reinterpret_cast<const unsigned char *>(buffer);
        for (;;) {
            const auto *entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(record);
            const size_t name_length = entry->FileNameLength / sizeof(WCHAR);
            if (!(entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name_length > 0 &&
                entry->FileName[0] != L'.') {
                path.replace(dir_length, std::wstring::npos, entry->FileName, name_length);
                HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (file != INVALID_HANDLE_VALUE) {
                    unsigned char header[kHeaderBytes];
                    DWORD got = 0;
                    if (ReadFile(file, header, sizeof header, &got, nullptr)) bytes_read += got;
                    CloseHandle(file);
                }
            }
            if (entry->NextEntryOffset == 0) break;
            record += entry->NextEntryOffset;
        }
    }
    const DWORD error = GetLastError();
    CloseHandle(listing);
    if (error != ERROR_NO_MORE_FILES)
        fail("cannot list the directory (error " + std::to_string(error) + ")");
    return bytes_read;
}

// ---------------------------------------------------------------------------
// The modes
// ---------------------------------------------------------------------------

std::string with_thousands(size_t n) {
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(i, ",");
    return digits;
}

// A report-only scan of `dir`, checked against the files the mix made: it
// must list every valid file and nothing else. Exits the program otherwise.
void check_scan(const char *dir, const bench::CacheContents &expected) {
    char *report = ktcache_scan_dir_json(dir, 0);
    if (report == nullptr) fail(std::string("the scan gave no report: ") + ktcache_last_error());
    const std::string opening =
        "{\"validCount\":" + std::to_string(expected.valid) +
        ",\"purgedCount\":0,\"totalBytes\":" + std::to_string(expected.valid_bytes) + ",";
    const bool listed_all = std::strncmp(report, opening.c_str(), opening.size()) == 0;
    ktcache_free(report);
    if (!listed_all) fail("the report does not list the generated valid files: " + opening);
}

double seconds_now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The scan's time against the least loop's, at most this ratio (under Wine).
constexpr double kScanToLeastLoopTarget = 1.2;
// Pairs of passes: at least this many, then more until the time is spent.
constexpr size_t kMinPairs = 7;
constexpr size_t kMaxPairs = 1000;

int time_passes(const char *dir, size_t files, double seconds) {
    const bench::CacheContents expected = bench::generate_cache(bench::kWindowsMix, files, nullptr);
    const std::wstring wide_dir = widen(dir, CP_ACP);
    check_scan(dir, expected);
    least_loop_pass(wide_dir); // both have now seen every entry once

    // One scan, then one pass of the loop, each timed on its own: load on the
    // machine that comes and goes touches both sides of a pair alike.
    std::vector<double> scan_times, loop_times, ratios;
    const double start = seconds_now();
    while (ratios.size() < kMinPairs ||
           (seconds_now() - start < seconds && ratios.size() < kMaxPairs)) {
        const double t0 = seconds_now();
        ktcache_free(ktcache_scan_dir_json(dir, 0));
        const double t1 = seconds_now();
        least_loop_pass(wide_dir);
        const double t2 = seconds_now();
        scan_times.push_back(t1 - t0);
        loop_times.push_back(t2 - t1);
        ratios.push_back((t1 - t0) / (t2 - t1));
    }
    const double ratio = median(ratios);
    const double per_entry = 1e6 / static_cast<double>(expected.files);
    std::printf("Wall-clock time of a pass, %s entries (%s valid), median of %zu alternating "
                "pairs:\n",
                with_thousands(expected.files).c_str(), with_thousands(expected.valid).c_str(),
                ratios.size());
    std::printf("  %-42s %9.1f ms  (%6.2f us per entry)\n",
                "scan (ktcache_scan_dir_json, no purge)", median(scan_times) * 1e3,
                median(scan_times) * per_entry);
    std::printf("  %-42s %9.1f ms  (%6.2f us per entry)\n", "least loop", median(loop_times) * 1e3,
                median(loop_times) * per_entry);
    std::printf("  %-42s %9.2f     target <= %.1f: %s\n", "scan / least loop, median of the pairs",
                ratio, kScanToLeastLoopTarget, ratio <= kScanToLeastLoopTarget ? "met" : "NOT MET");
    std::printf("  (per-pair ratios from %.2f to %.2f)\n",
                *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()));
    return 0;
}

// One pass of each between markers, which Wine's debugstr channel writes into
// the same log as the relayed calls, each line led by the thread's id.
int count_calls(const char *dir, size_t files) {
    const bench::CacheContents expected = bench::generate_cache(bench::kWindowsMix, files, nullptr);
    const std::wstring wide_dir = widen(dir, CP_ACP);
    check_scan(dir, expected); // also loads whatever the first scan loads
    least_loop_pass(wide_dir);

    OutputDebugStringA("ktcache-bench: scan begins");
    ktcache_free(ktcache_scan_dir_json(dir, 0));
    OutputDebugStringA("ktcache-bench: scan ends");
    OutputDebugStringA("ktcache-bench: least loop begins");
    least_loop_pass(wide_dir);
    OutputDebugStringA("ktcache-bench: least loop ends");
    std::printf("entries %zu valid %zu\n", expected.files, expected.valid);
    return 0;
}

int make_cache(const char *dir, size_t files) {
    const std::wstring wide_dir = widen(dir, CP_ACP);
    if (!CreateDirectoryW(wide_dir.c_str(), nullptr))
        fail_call(std::string("cannot create ") + dir);
    WideDirectoryWriter writer(wide_dir);
    const bench::CacheContents c = bench::generate_cache(bench::kWindowsMix, files, &writer);
    std::printf("%s: %zu files, %zu valid (%lld bytes), %zu under 1024 bytes, %zu without an audio "
                "header\n",
                dir, c.files, c.valid, static_cast<long long>(c.valid_bytes), c.truncated, c.html);
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: ktcache_bench_windows --make-cache N DIR\n"
                         "       ktcache_bench_windows --time N DIR [SECONDS]\n"
                         "       ktcache_bench_windows --count N DIR\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) return usage();
    char *end = nullptr;
    const unsigned long long files = std::strtoull(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || files == 0) return usage();
    const std::string mode = argv[1];
    const char *dir = argv[3];
    if (mode == "--make-cache" && argc == 4) return make_cache(dir, files);
    if (mode == "--count" && argc == 4) return count_calls(dir, files);
    if (mode == "--time" && argc <= 5) {
        const double seconds = argc == 5 ? std::strtod(argv[4], nullptr) : 30.0;
        return time_passes(dir, files, seconds);
    }
    return usage();
}
