// Safe file names: every URL gives a name that is non-empty, holds no unsafe
// byte, does not end in a space or a dot, is never "." or "..", is at most
// 255 bytes, is well-formed UTF-8, does not begin with a dot, has no Windows
// device name for its stem, is at most one byte longer than the last path
// segment unless it is the fallback, and equals what the documented steps
// give. Decoding happens once: a name sent back fully percent-encoded comes
// back unchanged.
#include "ktcache.h"
#include "oracles.h"

#include <memory>
#include <set>

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

// Each byte that begins no well-formed UTF-8 character becomes "_"; a
// character is the shortest run of bytes that is well-formed on its own.
std::string utf8_only(const std::string &name) {
    std::string out;
    for (size_t i = 0; i < name.size();) {
        size_t length = 1;
        while (length <= 4 && !oracle::is_utf8(name.substr(i, length))) ++length;
        if (length > 4) {
            out += '_';
            length = 1;
        } else {
            out += name.substr(i, length);
        }
        i += length;
    }
    return out;
}

// The stem: the name up to its first ".", without trailing spaces.
std::string stem_of(const std::string &name) {
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    return stem;
}

// Windows opens these as devices, in any ASCII case and whatever follows the
// stem: CON, PRN, AUX, NUL, CONIN$, CONOUT$, and COM or LPT with a digit or
// a superscript 1, 2 or 3.
bool is_device_name(std::string stem) {
    static const std::set<std::string> devices = [] {
        std::set<std::string> names = {"con", "prn", "aux", "nul", "conin$", "conout$"};
        for (const char *port : {"com", "lpt"}) {
            for (char digit = '0'; digit <= '9'; ++digit)
                names.insert(port + std::string(1, digit));
            for (const char *superscript : {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"})
                names.insert(port + std::string(superscript));
        }
        return names;
    }();
    for (char &c : stem)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    return devices.count(stem) != 0;
}

// A name of more than 255 bytes keeps its extension (the last "." and at most
// 16 bytes after it, unless that dot begins the name), loses what does not
// fit of the rest without splitting a UTF-8 character, and gets "~" and the
// 32-bit FNV-1a of the whole name in 8 lower-case hex digits before the
// extension.
std::string shortened(const std::string &name) {
    if (name.size() <= 255) return name;
    const size_t dot = name.rfind('.');
    const std::string extension =
        dot != std::string::npos && dot > 0 && name.size() - dot - 1 <= 16 ? name.substr(dot) : "";
    uint32_t hash = 0x811C9DC5u;
    for (unsigned char b : name) hash = (hash ^ b) * 0x01000193u;
    char digest[10];
    std::snprintf(digest, sizeof digest, "~%08x", static_cast<unsigned>(hash));
    size_t cut = 255 - 9 - extension.size();
    // Step back over a well-formed character that the cut would split.
    for (size_t start = cut; start > 0 && start + 3 >= cut;) {
        --start;
        const std::string from = name.substr(start);
        const auto lead = static_cast<unsigned char>(from[0]);
        if ((lead & 0xC0) == 0x80) continue;
        const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (start + length > cut && length <= from.size() &&
            oracle::is_utf8(from.substr(0, length)))
            cut = start;
        break;
    }
    return name.substr(0, cut) + digest + extension;
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
    if (name.empty()) return kFallback;
    name = utf8_only(name);
    if (name[0] == '.') {
        name = "_" + name;
    } else if (is_device_name(stem_of(name))) {
        name.insert(stem_of(name).size(), "_");
    }
    return shortened(name);
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
    FUZZ_CHECK(name.size() <= 255, "%zu bytes, more than file systems store", name.size());
    FUZZ_CHECK(oracle::is_utf8(name), "not well-formed UTF-8");
    FUZZ_CHECK(name[0] != '.', "a hidden name");
    FUZZ_CHECK(!is_device_name(stem_of(name)), "a device name: \"%s\"", name.c_str());
    FUZZ_CHECK(name == kFallback || name.size() <= last_segment(url).size() + 1,
               "more than one byte longer than its segment");
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
