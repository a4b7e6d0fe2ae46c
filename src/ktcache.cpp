/*
 * ktcache.cpp - the offline audio cache model, in one implementation unit.
 *
 * Sections:
 *   1. Constants and messages
 *   2. Per-thread last-error text
 *   3. Library interface
 *   4. Audio header recognition
 *   5. Cached file validation
 *   6. Download naming
 *   7. Report text (JSON writing on the C heap)
 *   8. Cache directory scan and purge
 *   9. Presentation helpers
 *  10. Self-test
 *
 * Nothing in here throws across the C interface: the only exception that can
 * arise is std::bad_alloc from the report writer's allocator, and it is caught
 * inside the report section.
 */
#define KTCACHE_BUILDING_LIBRARY 1
#include "ktcache.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <rapidjson/writer.h>

namespace {

/* =========================================================================
 * 1. Constants and messages
 * ========================================================================= */

constexpr char kVersionText[] = KTCACHE_VERSION_STRING;

/* Every last-error message is one of these fixed texts; none is ever built
 * from caller input, so none can come near KTCACHE_LAST_ERROR_SIZE. */
constexpr char kErrEmptyPath[] = "empty path";
constexpr char kErrStat[] = "stat failed";
constexpr char kErrNotRegular[] = "not regular file";
constexpr char kErrBelowMinimum[] = "file below minimum size";
constexpr char kErrOpen[] = "fopen failed";
constexpr char kErrUnrecognized[] = "unrecognized audio header";
constexpr char kErrEmptyDirPath[] = "empty dir_path";
constexpr char kErrOpendir[] = "opendir failed";

/* Header recognition looks at no more than the first 8 bytes, but refuses
 * anything shorter than 12; validation reads up to 64. */
constexpr size_t kMagicMinLength = 12;
constexpr size_t kHeaderReadSize = 64;

constexpr int32_t kValidationError = -1;
constexpr int32_t kValidationRejected = 0;

constexpr char kFallbackName[] = "track.m4a";
constexpr char kReplacementByte = '_';

/* =========================================================================
 * 2. Per-thread last-error text
 * ========================================================================= */

/* A plain array needs no constructor or destructor, so loading the library
 * runs none of its code; each thread's copy starts zero-filled (empty). */
thread_local char g_last_err[KTCACHE_LAST_ERROR_SIZE];

template <size_t N> void set_last_error(const char (&message)[N]) {
    static_assert(N <= KTCACHE_LAST_ERROR_SIZE, "last-error message too long");
    std::memcpy(g_last_err, message, N);
}

void clear_last_error() { g_last_err[0] = '\0'; }

} // namespace

/* =========================================================================
 * 3. Library interface
 * ========================================================================= */

const char *ktcache_version(void) { return kVersionText; }

int32_t ktcache_abi_version(void) { return KTCACHE_ABI_VERSION; }

const char *ktcache_last_error(void) { return g_last_err; }

void ktcache_free(void *block) { std::free(block); }

/* =========================================================================
 * 4. Audio header recognition
 * ========================================================================= */

namespace {

/* A signature is a 32-bit word at byte 0 or byte 4 of the header, compared
 * under a mask. The first row that matches decides, so the MP4 box types come
 * first and win over everything else. Words are assembled byte by byte, so
 * the table reads the same on any byte order. */
struct Signature {
    size_t offset;
    uint32_t value;
    uint32_t mask;
    ktcache_format format;
};

constexpr uint32_t word_of(unsigned char b0, unsigned char b1, unsigned char b2, unsigned char b3) {
    return uint32_t{b0} | uint32_t{b1} << 8 | uint32_t{b2} << 16 | uint32_t{b3} << 24;
}
/* The first four bytes of a short text; the NUL of a three-letter text is
 * masked off by its row. */
template <size_t N> constexpr uint32_t word_of(const char (&text)[N]) {
    static_assert(N == 4 || N == 5, "signatures are three or four bytes");
    return word_of(static_cast<unsigned char>(text[0]), static_cast<unsigned char>(text[1]),
                   static_cast<unsigned char>(text[2]), static_cast<unsigned char>(text[3]));
}

constexpr uint32_t kWholeWord = 0xFFFFFFFFu;
constexpr uint32_t kFirstThreeBytes = word_of(0xFF, 0xFF, 0xFF, 0x00);
constexpr uint32_t kFrameSyncMask = word_of(0xFF, 0xE0, 0x00, 0x00); /* FF, then 3 high bits */

constexpr Signature kSignatures[] = {
    {4, word_of("ftyp"), kWholeWord, KTCACHE_FORMAT_M4A},
    {4, word_of("moov"), kWholeWord, KTCACHE_FORMAT_M4A},
    {4, word_of("mdat"), kWholeWord, KTCACHE_FORMAT_M4A},
    {4, word_of("free"), kWholeWord, KTCACHE_FORMAT_M4A},
    {4, word_of("wide"), kWholeWord, KTCACHE_FORMAT_M4A},
    {0, word_of("ID3"), kFirstThreeBytes, KTCACHE_FORMAT_MP3},
    {0, kFrameSyncMask, kFrameSyncMask, KTCACHE_FORMAT_AAC},
    {0, word_of("fLaC"), kWholeWord, KTCACHE_FORMAT_FLAC},
    {0, word_of("OggS"), kWholeWord, KTCACHE_FORMAT_OGG},
    {0, word_of("FORM"), kWholeWord, KTCACHE_FORMAT_WAV},
    {0, word_of("RIFF"), kWholeWord, KTCACHE_FORMAT_WAV},
};

constexpr const char *kFormatNames[] = {"invalid", "m4a", "mp3", "aac", "flac", "ogg", "wav"};
constexpr int32_t kFormatCount = static_cast<int32_t>(sizeof kFormatNames / sizeof *kFormatNames);

uint32_t header_word(const unsigned char *header, size_t offset) {
    return word_of(header[offset], header[offset + 1], header[offset + 2], header[offset + 3]);
}

ktcache_format detect_format(const void *data, size_t length) {
    if (data == nullptr || length < kMagicMinLength) return KTCACHE_FORMAT_INVALID;
    const auto *header = static_cast<const unsigned char *>(data);
    const uint32_t words[2] = {header_word(header, 0), header_word(header, 4)};
    for (const Signature &sig : kSignatures) {
        if ((words[sig.offset / 4] & sig.mask) == sig.value) return sig.format;
    }
    return KTCACHE_FORMAT_INVALID;
}

const char *format_name(ktcache_format format) {
    return kFormatNames[format > 0 && format < kFormatCount ? format : 0];
}

} // namespace

ktcache_format ktcache_has_valid_audio_magic(const void *header, size_t length) {
    return detect_format(header, length);
}

const char *ktcache_format_name(ktcache_format format) { return format_name(format); }

/* =========================================================================
 * 5. Cached file validation
 * ========================================================================= */

namespace {

/* Opening never blocks (a FIFO or device swapped in after the status query
 * would otherwise hang the caller) and never leaks into a child process. */
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

/* Reads up to `capacity` bytes from the start of an open file; a read error
 * or an early end simply gives a shorter count. */
size_t read_prefix(int fd, unsigned char *buf, size_t capacity) {
    size_t got = 0;
    while (got < capacity) {
        ssize_t n = read(fd, buf + got, capacity - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return got;
}

/* Judges a path whose status the caller has already queried. `open_errno`
 * receives errno when the file cannot be opened, so that a purging scan can
 * tell a broken file from a process that has run out of descriptors. */
int32_t check_file(const char *path, const struct stat &st, int64_t min_size, int *open_errno) {
    if (!S_ISREG(st.st_mode)) {
        set_last_error(kErrNotRegular);
        return kValidationRejected;
    }
    if (static_cast<int64_t>(st.st_size) < min_size) {
        set_last_error(kErrBelowMinimum);
        return kValidationRejected;
    }
    int fd = open(path, kOpenFlags);
    if (fd < 0) {
        if (open_errno != nullptr) *open_errno = errno;
        set_last_error(kErrOpen);
        return kValidationError;
    }
    unsigned char header[kHeaderReadSize];
    size_t got = read_prefix(fd, header, sizeof header);
    close(fd);

    ktcache_format format = detect_format(header, got);
    if (format == KTCACHE_FORMAT_INVALID) {
        set_last_error(kErrUnrecognized);
        return kValidationRejected;
    }
    clear_last_error();
    return format;
}

int64_t effective_min_size(int64_t min_size) {
    return min_size > 0 ? min_size : KTCACHE_DEFAULT_MIN_SIZE;
}

} // namespace

int32_t ktcache_validate_file(const char *path, int64_t min_size) {
    if (path == nullptr || path[0] == '\0') {
        set_last_error(kErrEmptyPath);
        return kValidationError;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        set_last_error(kErrStat);
        return kValidationError;
    }
    return check_file(path, st, effective_min_size(min_size), nullptr);
}

/* =========================================================================
 * 6. Download naming
 * ========================================================================= */

namespace {

/* Bytes that common file systems refuse or treat specially in a name. */
constexpr std::array<bool, 256> make_unsafe_byte_table() {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = true;
    for (unsigned char c : {'"', '*', '/', ':', '<', '>', '?', '\\', '|'}) table[c] = true;
    table[0x7F] = true;
    return table;
}
constexpr std::array<bool, 256> kUnsafeNameByte = make_unsafe_byte_table();

int hex_digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Percent-decodes `segment` once and replaces unsafe bytes, writing into
 * `out` (room for `length` bytes). Returns the number of bytes written. */
size_t decode_segment(const char *segment, size_t length, char *out) {
    size_t written = 0;
    for (size_t i = 0; i < length;) {
        auto byte = static_cast<unsigned char>(segment[i]);
        int hi = -1, lo = -1;
        if (byte == '%' && i + 2 < length) {
            hi = hex_digit_value(static_cast<unsigned char>(segment[i + 1]));
            lo = hex_digit_value(static_cast<unsigned char>(segment[i + 2]));
        }
        if (hi >= 0 && lo >= 0) {
            byte = static_cast<unsigned char>(hi * 16 + lo);
            i += 3;
        } else {
            i += 1;
        }
        out[written++] = kUnsafeNameByte[byte] ? kReplacementByte : static_cast<char>(byte);
    }
    return written;
}

char *new_fallback_name() {
    auto *name = static_cast<char *>(std::malloc(sizeof kFallbackName));
    if (name != nullptr) std::memcpy(name, kFallbackName, sizeof kFallbackName);
    return name;
}

} // namespace

char *ktcache_safe_filename(const char *url) {
    if (url == nullptr || url[0] == '\0') return new_fallback_name();

    /* The query and the fragment never name the file, nor do trailing "/". */
    size_t end = std::strcspn(url, "?#");
    while (end > 0 && url[end - 1] == '/') --end;
    if (end == 0) return new_fallback_name();

    size_t start = end;
    while (start > 0 && url[start - 1] != '/') --start;
    const size_t segment_length = end - start;

    /* Decoding never lengthens the segment; the block also has room for the
     * fallback name so that a name trimmed to nothing needs no second block. */
    size_t capacity =
        segment_length > sizeof kFallbackName - 1 ? segment_length : sizeof kFallbackName - 1;
    auto *name = static_cast<char *>(std::malloc(capacity + 1));
    if (name == nullptr) return nullptr;

    size_t length = decode_segment(url + start, segment_length, name);
    while (length > 0 && (name[length - 1] == ' ' || name[length - 1] == '.')) --length;
    if (length == 0) {
        std::memcpy(name, kFallbackName, sizeof kFallbackName);
    } else {
        name[length] = '\0';
    }
    return name;
}

/* =========================================================================
 * 7. Report text (JSON writing on the C heap)
 * ========================================================================= */

namespace {

/* RapidJSON's own allocators hand back null on failure and then write through
 * it; this one turns the failure into std::bad_alloc, which the report code
 * catches before it can reach the C interface. */
struct ThrowingHeapAllocator {
    /* Part of RapidJSON's allocator concept; the writer itself never asks. */
    [[maybe_unused]] static const bool kNeedFree = true;
    void *Malloc(size_t size) { return size != 0 ? checked(std::malloc(size)) : nullptr; }
    void *Realloc(void *block, size_t, size_t size) {
        if (size == 0) {
            std::free(block);
            return nullptr;
        }
        return checked(std::realloc(block, size));
    }
    static void Free(void *block) { std::free(block); }

  private:
    static void *checked(void *block) {
        if (block == nullptr) throw std::bad_alloc();
        return block;
    }
};

/* A growable text in one malloc block, usable as a RapidJSON output stream.
 * release() hands the block over NUL-terminated, ready for ktcache_free. */
class HeapText {
  public:
    typedef char Ch;

    HeapText() = default;
    HeapText(const HeapText &) = delete;
    HeapText &operator=(const HeapText &) = delete;
    ~HeapText() { std::free(data_); }

    void reserve(size_t capacity) {
        if (capacity > capacity_) resize(capacity);
    }
    void Put(char c) {
        if (size_ == capacity_) resize(capacity_ < kMinCapacity ? kMinCapacity : capacity_ * 2);
        data_[size_++] = c;
    }
    void Flush() {}

    const char *data() const { return data_; }
    size_t size() const { return size_; }

    char *release() {
        Put('\0');
        char *text = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return text;
    }

  private:
    static constexpr size_t kMinCapacity = 256;

    void resize(size_t capacity) {
        void *grown = std::realloc(data_, capacity);
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<char *>(grown);
        capacity_ = capacity;
    }

    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

/* Compact output; with encoding validation the writer refuses any string that
 * is not well-formed UTF-8 (overlong forms, surrogates, beyond U+10FFFF). */
using JsonWriter = rapidjson::Writer<HeapText, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                     ThrowingHeapAllocator, rapidjson::kWriteValidateEncodingFlag>;

/* The report nests three levels deep at most. */
constexpr size_t kWriterDepth = 4;

/* Room for the root object around the file list: four keys, three numbers of
 * at most 20 digits, and punctuation. */
constexpr size_t kReportFrameSize = 128;

template <size_t N> bool write_key(JsonWriter &writer, const char (&key)[N]) {
    return writer.Key(key, static_cast<rapidjson::SizeType>(N - 1));
}

/* The "files" array, written entry by entry during the directory walk (the
 * counts that precede it in the report are known only at the end). Once any
 * entry cannot be written the list is marked failed and stays so: a report
 * is either complete or not produced at all. */
class FileList {
  public:
    FileList() : writer_(text_, &allocator_, kWriterDepth) {}

    void add(const char *name, int64_t bytes, const char *format) noexcept {
        if (failed_) return;
        try {
            open_array();
            size_t name_length = std::strlen(name);
            bool ok = writer_.StartObject() && write_key(writer_, "name") &&
                      writer_.String(name, static_cast<rapidjson::SizeType>(name_length)) &&
                      write_key(writer_, "bytes") && writer_.Int64(bytes) &&
                      write_key(writer_, "format") && writer_.String(format) && writer_.EndObject();
            if (!ok) failed_ = true;
        } catch (...) {
            failed_ = true;
        }
    }

    /* Closes the array; false when the list is incomplete. */
    bool finish() noexcept {
        if (failed_) return false;
        try {
            open_array();
            failed_ = !writer_.EndArray();
        } catch (...) {
            failed_ = true;
        }
        return !failed_;
    }

    void mark_incomplete() { failed_ = true; }
    const char *json() const { return text_.data(); }
    size_t json_size() const { return text_.size(); }

  private:
    void open_array() {
        if (!opened_) {
            opened_ = true;
            writer_.StartArray();
        }
    }

    ThrowingHeapAllocator allocator_;
    HeapText text_;
    JsonWriter writer_;
    bool opened_ = false;
    bool failed_ = false;
};

struct ScanTotals {
    uint64_t valid_count = 0;
    uint64_t purged_count = 0;
    int64_t total_bytes = 0;

    void add_valid(int64_t bytes) {
        ++valid_count;
        /* Saturate rather than overflow: sparse files can claim any size. */
        if (bytes > 0 && total_bytes > INT64_MAX - bytes) {
            total_bytes = INT64_MAX;
        } else {
            total_bytes += bytes;
        }
    }
};

/* Composes the finished report into a block for the caller, or null when the
 * list is incomplete or memory runs out. */
char *compose_report(const ScanTotals &totals, FileList &files) noexcept {
    if (!files.finish()) return nullptr;
    try {
        ThrowingHeapAllocator allocator;
        HeapText text;
        text.reserve(files.json_size() + kReportFrameSize);
        JsonWriter writer(text, &allocator, kWriterDepth);
        bool ok = writer.StartObject() && write_key(writer, "validCount") &&
                  writer.Uint64(totals.valid_count) && write_key(writer, "purgedCount") &&
                  writer.Uint64(totals.purged_count) && write_key(writer, "totalBytes") &&
                  writer.Int64(totals.total_bytes) && write_key(writer, "files") &&
                  writer.RawValue(files.json(), files.json_size(), rapidjson::kArrayType) &&
                  writer.EndObject();
        return ok ? text.release() : nullptr;
    } catch (...) {
        return nullptr;
    }
}

/* =========================================================================
 * 8. Cache directory scan and purge
 * ========================================================================= */

/* One path buffer for the whole walk: the directory prefix and "/" are
 * written once, each entry's name is copied in behind them. The buffer is
 * allocated on first use and again after a failure, so that running short of
 * memory once costs one entry, not the rest of the walk. */
class EntryPath {
  public:
    explicit EntryPath(const char *dir_path)
        : dir_path_(dir_path), prefix_length_(std::strlen(dir_path) + 1) {}
    EntryPath(const EntryPath &) = delete;
    EntryPath &operator=(const EntryPath &) = delete;
    ~EntryPath() { std::free(buf_); }

    /* Returns "dir_path/name", or null when memory runs out. */
    const char *join(const char *name) {
        const size_t name_size = std::strlen(name) + 1;
        if (buf_ == nullptr) {
            if (!reserve(prefix_length_ + (name_size > kNameRoom ? name_size : kNameRoom)))
                return nullptr;
            std::memcpy(buf_, dir_path_, prefix_length_ - 1);
            buf_[prefix_length_ - 1] = '/';
        } else if (!reserve(prefix_length_ + name_size)) {
            return nullptr;
        }
        std::memcpy(buf_ + prefix_length_, name, name_size);
        return buf_;
    }

  private:
    /* Enough for any name a common file system allows (NAME_MAX + NUL). */
    static constexpr size_t kNameRoom = 256;

    bool reserve(size_t capacity) {
        if (capacity <= capacity_) return true;
        void *grown = std::realloc(buf_, capacity);
        if (grown == nullptr) return false;
        buf_ = static_cast<char *>(grown);
        capacity_ = capacity;
        return true;
    }

    const char *dir_path_;
    size_t prefix_length_;
    char *buf_ = nullptr;
    size_t capacity_ = 0;
};

/* Entries the scan never looks at: hidden names, "." and ".." among them, so
 * that partial downloads (".part.m4a") stay out of the report and the purge. */
bool is_hidden_name(const char *name) { return name[0] == '.'; }

/* When the enumeration already knows an entry is a directory, device, pipe or
 * socket, the status query can be spared. Links and unknown types are
 * resolved by stat(). */
bool is_known_non_regular(const struct dirent *entry) {
#ifdef _DIRENT_HAVE_D_TYPE
    switch (entry->d_type) {
    case DT_DIR:
    case DT_FIFO:
    case DT_CHR:
    case DT_BLK:
    case DT_SOCK: return true;
    default: return false;
    }
#else
    (void)entry;
    return false;
#endif
}

/* A file that failed to open only because the process or the system ran out
 * of descriptors or memory may be perfectly good: never purge it for that. */
bool is_resource_shortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

/* Walks the open directory once, validating, listing and purging. Returns
 * false when the enumeration stopped on an error (the listing is then
 * incomplete). */
bool walk_directory(DIR *dir, const char *dir_path, bool purge, ScanTotals &totals,
                    FileList &files) {
    EntryPath path(dir_path);
    for (;;) {
        errno = 0;
        const struct dirent *entry = readdir(dir);
        if (entry == nullptr) return errno == 0;

        const char *name = entry->d_name;
        if (is_hidden_name(name) || is_known_non_regular(entry)) continue;

        const char *file_path = path.join(name);
        if (file_path == nullptr) {
            files.mark_incomplete();
            continue;
        }
        struct stat st;
        if (stat(file_path, &st) != 0 || !S_ISREG(st.st_mode)) continue;

        int open_errno = 0;
        int32_t code = check_file(file_path, st, KTCACHE_DEFAULT_MIN_SIZE, &open_errno);
        if (code > 0) {
            const auto bytes = static_cast<int64_t>(st.st_size);
            totals.add_valid(bytes);
            files.add(name, bytes, format_name(code));
        } else if (purge && !is_resource_shortage(open_errno)) {
            /* unlink, unlike remove, can never take away a directory that
             * has replaced the file since it was examined. */
            if (unlink(file_path) == 0) ++totals.purged_count;
        }
    }
}

} // namespace

char *ktcache_scan_dir_json(const char *dir_path, int32_t purge) {
    if (dir_path == nullptr || dir_path[0] == '\0') {
        set_last_error(kErrEmptyDirPath);
        return nullptr;
    }
    DIR *dir = opendir(dir_path);
    if (dir == nullptr) {
        set_last_error(kErrOpendir);
        return nullptr;
    }

    ScanTotals totals;
    char *report = nullptr;
    {
        FileList files;
        bool walked = walk_directory(dir, dir_path, purge != 0, totals, files);
        closedir(dir);
        if (!walked) files.mark_incomplete();
        report = compose_report(totals, files);
    }
    /* Messages left by the per-file validations are not the scan's outcome. */
    clear_last_error();
    return report;
}

/* =========================================================================
 * 9. Presentation helpers
 * ========================================================================= */

namespace {

constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusFailure = -1;

/* Bands above plain bytes; units are powers of two, chosen on the raw count
 * before any rounding (so 1048575 bytes read "1024.0 KB"). */
struct ByteBand {
    int64_t last_count;
    double unit_reciprocal; /* an exact power of two */
    const char *format;
};

constexpr int64_t kLastPlainByteCount = 1023;
constexpr ByteBand kByteBands[] = {
    {(INT64_C(1) << 20) - 1, 1.0 / (1 << 10), "%.1f KB"},
    {(INT64_C(1) << 30) - 1, 1.0 / (1 << 20), "%.1f MB"},
    {INT64_MAX, 1.0 / (1 << 30), "%.2f GB"},
};

/* No text is longer than 16 bytes in the C locale; capping the capacity at a
 * generous bound keeps huge buf_size values away from the formatter's int
 * arithmetic without changing any result. */
constexpr size_t kFormatterCapacityCap = 64;

} // namespace

int32_t ktcache_validate_http_status(int32_t status) {
    return status >= 200 && status <= 299 ? kStatusSuccess : kStatusFailure;
}

int32_t ktcache_format_bytes(int64_t byte_count, char *buf, size_t buf_size) {
    if (buf == nullptr || buf_size == 0) return -1;
    const size_t capacity = buf_size < kFormatterCapacityCap ? buf_size : kFormatterCapacityCap;

    int length;
    if (byte_count <= kLastPlainByteCount) {
        long long shown = byte_count < 0 ? 0 : static_cast<long long>(byte_count);
        length = std::snprintf(buf, capacity, "%lld B", shown);
    } else {
        const ByteBand *band = kByteBands;
        while (byte_count > band->last_count) ++band;
        double value = static_cast<double>(byte_count) * band->unit_reciprocal;
        length = std::snprintf(buf, capacity, band->format, value);
    }
    if (length < 0 || static_cast<size_t>(length) >= buf_size) return -1;
    return length;
}

/* =========================================================================
 * 10. Self-test
 * ========================================================================= */

namespace {

constexpr char kSelftestHtmlStart[] = "<!DOCTYPE ht";
constexpr char kSelftestUrl[] =
    "https://media.kelvanetunes.example/music/u/all/Song%20%232.m4a?v=1";
constexpr char kSelftestExpectedName[] = "Song #2.m4a";
constexpr int64_t kSelftestByteCount = 15369751;
constexpr char kSelftestExpectedSize[] = "14.7 MB";

} // namespace

int32_t ktcache_selftest(void) {
    if (detect_format(kSelftestHtmlStart, sizeof kSelftestHtmlStart - 1) != KTCACHE_FORMAT_INVALID)
        return KTCACHE_SELFTEST_HEADER_FAILED;

    char *name = ktcache_safe_filename(kSelftestUrl);
    if (name == nullptr) return KTCACHE_SELFTEST_FILENAME_FAILED;
    bool name_ok = std::strcmp(name, kSelftestExpectedName) == 0;
    std::free(name);
    if (!name_ok) return KTCACHE_SELFTEST_FILENAME_FAILED;

    char text[32] = {0};
    ktcache_format_bytes(kSelftestByteCount, text, sizeof text);
    if (std::strcmp(text, kSelftestExpectedSize) != 0) return KTCACHE_SELFTEST_SIZE_TEXT_FAILED;

    return KTCACHE_SELFTEST_OK;
}
