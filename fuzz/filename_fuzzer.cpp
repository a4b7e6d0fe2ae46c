// Safe file names: every URL gives a name that is non-empty, holds no unsafe
// byte, does not end in a space or a dot, is never "." or "..", is no longer
// than the last path segment unless it is the fallback, and equals what the
// documented steps give. Decoding happens once: a name sent back fully
// percent-encoded comes back unchanged.
#include "ktcache.h"
#include "oracles.h"

#include <memory>

namespace {

constexpr char kFallback[] = "track.m4a";

bool is_unsafe(unsigned char b) {
    return b < 0x20 || b == 0x7F || (b != 0 && std::strchr("\"*/:<>?\\|", b) != nullptr);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The last "/"-separated segment before any "?" or "#", trailing "/" dropped.
std::string last_segment(const std::string &url) {
    std::string text = url.substr(0, url.find_first_of("?#"));
    while (!text.empty() && text.back() == '/') text.pop_back();
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

std::string expected_name(const std::string &url) {
    const std::string segment = last_segment(url);
    std::string name;
    for (size_t i = 0; i < segment.size();) {
        auto byte = static_cast<unsigned char>(segment[i]);
        if (byte == '%' && i + 2 < segment.size() && hex_value(segment[i + 1]) >= 0 &&
            hex_value(segment[i + 2]) >= 0) {
            byte = static_cast<unsigned char>(hex_value(segment[i + 1]) * 16 +
                                              hex_value(segment[i + 2]));
            i += 3;
        } else {
            i += 1;
        }
        name += is_unsafe(byte) ? '_' : static_cast<char>(byte);
    }
    while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();
    return name.empty() ? kFallback : name;
}

std::string safe_filename(const std::string &url) {
    std::unique_ptr<char, void (*)(void *)> name(ktcache_safe_filename(url.c_str()), ktcache_free);
    FUZZ_CHECK(name != nullptr, "no name without a memory shortage");
    return name.get();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The URL ends at the first NUL, as a C caller's would; the library gets
    // a copy of exactly that size.
    const std::string url(reinterpret_cast<const char *>(data),
                          strnlen(reinterpret_cast<const char *>(data), size));
    const std::string name = safe_filename(url);

    FUZZ_CHECK(!name.empty(), "empty name");
    for (unsigned char b : name) FUZZ_CHECK(!is_unsafe(b), "unsafe byte 0x%02X", b);
    FUZZ_CHECK(name.back() != ' ' && name.back() != '.', "ends in a space or a dot");
    FUZZ_CHECK(name != "." && name != "..", "a directory name");
    FUZZ_CHECK(name == kFallback || name.size() <= last_segment(url).size(),
               "longer than its segment");
    FUZZ_CHECK(name == expected_name(url), "got \"%s\", expected \"%s\"", name.c_str(),
               expected_name(url).c_str());

    std::string encoded = "https://h/dir/";
    for (unsigned char b : name) {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", b);
        encoded += escape;
    }
    FUZZ_CHECK(safe_filename(encoded) == name, "decoded more than once: \"%s\"",
               safe_filename(encoded).c_str());
    return 0;
}
