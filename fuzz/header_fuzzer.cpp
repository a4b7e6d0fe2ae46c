// Header recognition: the code is 0 to 6, agrees with the signature table,
// depends on the first 8 bytes only, and no read goes past the count (every
// call gets an exactly sized heap copy, so AddressSanitizer sees any overrun).
#include "ktcache.h"
#include "oracles.h"

#include <vector>

namespace {

int classify_exact_copy(const uint8_t *data, size_t n) {
    std::vector<uint8_t> copy(data, data + n);
    return ktcache_has_valid_audio_magic(n != 0 ? copy.data() : data, n);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int code = ktcache_has_valid_audio_magic(data, size);
    FUZZ_CHECK(code >= 0 && code <= 6, "code %d", code);
    FUZZ_CHECK(code == oracle::audio_format(data, size), "library %d, table %d", code,
               oracle::audio_format(data, size));
    FUZZ_CHECK(std::strcmp(ktcache_format_name(code), oracle::format_name(code)) == 0, "name of %d",
               code);
    FUZZ_CHECK(ktcache_has_valid_audio_magic(nullptr, size) == 0, "null pointer");

    // Shorter counts over the same bytes, each in a buffer of exactly that size.
    for (size_t n : {size_t{0}, size_t{8}, size_t{11}, size_t{12}, size / 2}) {
        if (n > size) continue;
        const int shorter = classify_exact_copy(data, n);
        FUZZ_CHECK(shorter == oracle::audio_format(data, n), "count %zu gave %d", n, shorter);
    }

    // Only the first 8 bytes decide: changing every later byte changes nothing.
    if (size > 8) {
        std::vector<uint8_t> changed(data, data + size);
        for (size_t i = 8; i < size; ++i) changed[i] = static_cast<uint8_t>(~changed[i]);
        FUZZ_CHECK(ktcache_has_valid_audio_magic(changed.data(), size) == code,
                   "bytes past the eighth changed the result");
    }

    // Any 32-bit code has a name; only 1 to 6 have their own.
    if (size >= 4) {
        int32_t any;
        std::memcpy(&any, data, sizeof any);
        FUZZ_CHECK(std::strcmp(ktcache_format_name(any), oracle::format_name(any)) == 0,
                   "name of code %d", any);
    }
    return 0;
}
