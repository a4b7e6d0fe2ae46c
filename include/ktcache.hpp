/*
 * ktcache.hpp - C++17 convenience layer over ktcache.h
 *
 * Header-only and inline: it adds nothing to the library's exports and talks
 * to the library only through the C interface. What it adds:
 *
 *   - returned texts become std::string (the library's block is released with
 *     ktcache_free at once), or stay in a unique_text when the caller wants
 *     the block itself;
 *   - std::optional where the C call can give null;
 *   - an enum class for format codes;
 *   - the last-error text attached to the results that can fail.
 *
 * Thread safety and file-system behaviour are those of the C functions.
 * Functions that build std::string objects may throw std::bad_alloc; nothing
 * else throws.
 */
#ifndef KTCACHE_HPP
#define KTCACHE_HPP

#include "ktcache.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ktcache {

/** Audio container recognised from the first bytes of a file. */
enum class Format : int32_t {
    invalid = KTCACHE_FORMAT_INVALID,
    m4a = KTCACHE_FORMAT_M4A,
    mp3 = KTCACHE_FORMAT_MP3,
    aac = KTCACHE_FORMAT_AAC,
    flac = KTCACHE_FORMAT_FLAC,
    ogg = KTCACHE_FORMAT_OGG,
    wav = KTCACHE_FORMAT_WAV,
};

/** Releases a library block; the deleter of unique_text. */
struct text_deleter {
    void operator()(char *block) const noexcept { ktcache_free(block); }
};

/** A text allocated by the library, released with ktcache_free. */
using unique_text = std::unique_ptr<char, text_deleter>;

/* -------------------------------------------------------------------------
 * Library
 * ----------------------------------------------------------------------- */

inline std::string_view version() noexcept { return ktcache_version(); }
inline int32_t abi_version() noexcept { return ktcache_abi_version(); }

/** The calling thread's last-error text, as the library holds it now. */
inline std::string_view last_error() noexcept { return ktcache_last_error(); }

/* -------------------------------------------------------------------------
 * Audio headers and cached files
 * ----------------------------------------------------------------------- */

inline Format detect_format(const void *header, size_t length) noexcept {
    return static_cast<Format>(ktcache_has_valid_audio_magic(header, length));
}

inline Format detect_format(std::string_view header) noexcept {
    return detect_format(header.data(), header.size());
}

/** "m4a", "mp3", "aac", "flac", "ogg", "wav" or "invalid". */
inline std::string_view name(Format format) noexcept {
    return ktcache_format_name(static_cast<ktcache_format>(format));
}

/** Outcome of validating one cached file. */
struct Validation {
    int32_t code = -1;  /* -1 could not check, 0 rejected, 1..6 the format  */
    std::string reason; /* the last-error text; empty when the file is valid */

    bool valid() const noexcept { return code > 0; }
    /** False when the check could not be carried out (missing, unreadable). */
    bool checked() const noexcept { return code >= 0; }
    Format format() const noexcept { return valid() ? static_cast<Format>(code) : Format::invalid; }
    explicit operator bool() const noexcept { return valid(); }
};

/** Validates `path`; `min_size` <= 0 selects the default of 1024 bytes. */
inline Validation validate_file(const std::string &path, int64_t min_size = 0) {
    const int32_t code = ktcache_validate_file(path.c_str(), min_size);
    return Validation{code, ktcache_last_error()};
}

/* -------------------------------------------------------------------------
 * Download naming
 * ----------------------------------------------------------------------- */

/** The library's block itself; null only when memory ran out. */
inline unique_text safe_filename_text(const char *url) noexcept {
    return unique_text(ktcache_safe_filename(url));
}

/** The safe cache file name for `url`; empty optional when memory ran out. */
inline std::optional<std::string> safe_filename(const std::string &url) {
    unique_text name = safe_filename_text(url.c_str());
    if (!name) return std::nullopt;
    return std::string(name.get());
}

/* -------------------------------------------------------------------------
 * Cache inventory
 * ----------------------------------------------------------------------- */

/** A scan report, or the reason there is none. */
struct ScanResult {
    std::optional<std::string> report; /* the JSON text, exactly as returned */
    std::string error;                 /* "empty dir_path", "opendir failed", or empty when the
                                          directory was walked but no report could be made */

    bool ok() const noexcept { return report.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
};

/** Scans `dir`, deleting files that fail validation when `purge` is set. */
inline ScanResult scan_dir_json(const std::string &dir, bool purge = false) {
    unique_text report(ktcache_scan_dir_json(dir.c_str(), purge ? 1 : 0));
    ScanResult result;
    if (report) {
        result.report.emplace(report.get());
    } else {
        result.error = ktcache_last_error();
    }
    return result;
}

/* -------------------------------------------------------------------------
 * Presentation helpers and self-test
 * ----------------------------------------------------------------------- */

inline bool is_http_success(int32_t status) noexcept {
    return ktcache_validate_http_status(status) == 0;
}

/** "14.7 MB" and the like. The buffer holds the text under any locale: 16
 *  bytes with a one-byte decimal mark, and up to 15 more for a multibyte one
 *  (see KTCACHE_BYTES_TEXT_SIZE). */
inline std::string format_bytes(int64_t byte_count) {
    char text[KTCACHE_BYTES_TEXT_SIZE + 15] = {0};
    const int32_t length = ktcache_format_bytes(byte_count, text, sizeof text);
    return length < 0 ? std::string(text) : std::string(text, static_cast<size_t>(length));
}

/** Result of the library's self-test. */
enum class SelftestResult : int32_t {
    ok = KTCACHE_SELFTEST_OK,
    header_failed = KTCACHE_SELFTEST_HEADER_FAILED,
    filename_failed = KTCACHE_SELFTEST_FILENAME_FAILED,
    size_text_failed = KTCACHE_SELFTEST_SIZE_TEXT_FAILED,
};

inline SelftestResult selftest() noexcept {
    return static_cast<SelftestResult>(ktcache_selftest());
}

} // namespace ktcache

#endif /* KTCACHE_HPP */
