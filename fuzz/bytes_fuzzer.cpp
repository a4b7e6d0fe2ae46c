// Byte-count texts: for every count and capacity the result is the length or
// -1, the NUL is always written when there is room for one, nothing is
// written at capacity 0, and the number is the exact quotient of the band,
// correctly rounded (halves to even), recomputed here in integers.
#include "ktcache.h"
#include "oracles.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>

namespace {

constexpr int64_t kKiB = INT64_C(1) << 10;
constexpr int64_t kMiB = INT64_C(1) << 20;
constexpr int64_t kGiB = INT64_C(1) << 30;

// The text of the documented bands. The count is first rounded to a double,
// as the library must do; every double from 2^10 to 2^63 is an integer.
std::string expected_text(int64_t count) {
    if (count < kKiB) return std::to_string(count < 0 ? 0 : count) + " B";
    int shift = 10, decimals = 1;
    const char *unit = "KB";
    if (count >= kGiB) {
        shift = 30, decimals = 2, unit = "GB";
    } else if (count >= kMiB) {
        shift = 20, unit = "MB";
    }
    const auto value = static_cast<uint64_t>(static_cast<double>(count));
    const uint64_t scale = decimals == 1 ? 10 : 100;
    const uint64_t mask = (UINT64_C(1) << shift) - 1;
    const uint64_t low = (value & mask) * scale; // below 2^37: no overflow
    uint64_t scaled = (value >> shift) * scale + (low >> shift);
    const uint64_t rest = low & mask, half = UINT64_C(1) << (shift - 1);
    if (rest > half || (rest == half && scaled % 2 == 1)) ++scaled;

    char text[64];
    std::snprintf(text, sizeof text, "%llu.%0*llu %s",
                  static_cast<unsigned long long>(scaled / scale), decimals,
                  static_cast<unsigned long long>(scaled % scale), unit);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    const auto count = input.ConsumeIntegral<int64_t>();
    const auto capacity = input.ConsumeIntegralInRange<size_t>(0, 40);

    const std::string expected = expected_text(count);
    FUZZ_CHECK(expected.size() < KTCACHE_BYTES_TEXT_SIZE, "oracle text too long");

    // A buffer of exactly `capacity` bytes (one guard byte when it is 0).
    const size_t room = capacity != 0 ? capacity : 1;
    std::unique_ptr<char[]> buf(new char[room]);
    std::memset(buf.get(), 0x5A, room);
    const int32_t result = ktcache_format_bytes(count, buf.get(), capacity);

    if (capacity == 0) {
        FUZZ_CHECK(result == -1, "capacity 0 gave %d", result);
        FUZZ_CHECK(buf[0] == 0x5A, "written at capacity 0");
    } else if (expected.size() < capacity) {
        FUZZ_CHECK(result == static_cast<int32_t>(expected.size()), "count %lld gave %d",
                   static_cast<long long>(count), result);
        FUZZ_CHECK(expected == buf.get(), "count %lld: \"%s\", expected \"%s\"",
                   static_cast<long long>(count), buf.get(), expected.c_str());
    } else {
        FUZZ_CHECK(result == -1, "a cut text gave %d", result);
        FUZZ_CHECK(std::memcmp(buf.get(), expected.data(), capacity - 1) == 0 &&
                       buf[capacity - 1] == '\0',
                   "cut text \"%.*s\" is not the start of \"%s\"", static_cast<int>(capacity),
                   buf.get(), expected.c_str());
    }
    FUZZ_CHECK(ktcache_format_bytes(count, nullptr, capacity) == -1, "null buffer");
    return 0;
}
