// What the fuzz targets check the library against: simple, independent
// restatements of the documented rules, written without looking at how the
// library does it, and a check that ends the run with a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// A failed property ends the fuzzer; libFuzzer then saves the input.
#define FUZZ_CHECK(condition, ...)                                                                 \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property failed: %s\n  ", #condition);                           \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fprintf(stderr, "\n");                                                            \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace oracle {

// The format code of the first bytes of a file, from the signature table:
// a box type in bytes 4-7 first, then ID3, a frame sync, fLaC, OggS, and
// RIFF or FORM; nothing below 12 bytes.
inline int audio_format(const uint8_t *p, size_t n) {
    if (p == nullptr || n < 12) return 0;
    auto at = [p](size_t offset, const char *text) {
        return std::memcmp(p + offset, text, std::strlen(text)) == 0;
    };
    if (at(4, "ftyp") || at(4, "moov") || at(4, "mdat") || at(4, "free") || at(4, "wide")) return 1;
    if (at(0, "ID3")) return 2;
    if (p[0] == 0xFF && p[1] >= 0xE0) return 3;
    if (at(0, "fLaC")) return 4;
    if (at(0, "OggS")) return 5;
    if (at(0, "RIFF") || at(0, "FORM")) return 6;
    return 0;
}

inline const char *format_name(int64_t code) {
    static const char *const names[] = {"invalid", "m4a", "mp3", "aac", "flac", "ogg", "wav"};
    return code >= 1 && code <= 6 ? names[code] : names[0];
}

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF.
inline bool is_utf8(const std::string &s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        size_t extra;
        uint32_t cp, min;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            extra = 1, cp = b & 0x1Fu, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2, cp = b & 0x0Fu, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3, cp = b & 0x07u, min = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

} // namespace oracle
