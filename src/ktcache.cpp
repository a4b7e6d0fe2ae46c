/*
 * ktcache.cpp - the offline audio cache model, in one implementation unit.
 *
 * Sections:
 *   1. Constants and messages
 *   2. Per-thread last-error text
 *   3. Library interface
 *   4. Audio header recognition
 *   5. Platform file access
 *   6. Cached file validation
 *   7. Download naming
 *   8. Report text (JSON writing on the C heap)
 *   9. Cache directory scan and purge
 *  10. Presentation helpers
 *  11. Self-test
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
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

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

/* Every thread has its own `g_last_err`, zero-filled (empty) until a failure
 * is reported on it, gone when the thread ends. A plain array needs no
 * constructor or destructor, so loading the library runs none of its code. */
#ifdef _WIN32
/* gcc spells thread_local for Windows as emulated TLS: a thread's copy is
 * taken from the heap at the thread's first use, and the process is aborted
 * when that fails. So here `g_last_err` is a piece of the DLL's own TLS
 * template, never written itself: the Windows loader copies the template for
 * every thread as the thread starts (or as the DLL is loaded into a running
 * process) and frees the copy as the thread ends, the storage MSVC gives
 * thread_local. Nothing here allocates or can fail. mingw-w64's start-up code
 * supplies the template's first byte, _tls_start, and the slot the loader
 * assigned to the DLL, _tls_index; the thread's copies are listed in an array
 * whose address the x64 thread environment block holds at gs:[0x58]. The
 * section name sorts between _tls_start and the template's end, .tls$ZZZ. */
extern "C" char _tls_start;
extern "C" unsigned long _tls_index;
__attribute__((section(".tls$KTCACHE"))) char g_last_err[KTCACHE_LAST_ERROR_SIZE];

char *last_error_text() {
    char **blocks;
    __asm__("movq %%gs:0x58, %0" : "=r"(blocks));
    return blocks[_tls_index] + (g_last_err - &_tls_start);
}
#else
thread_local char g_last_err[KTCACHE_LAST_ERROR_SIZE];

char *last_error_text() { return g_last_err; }
#endif

template <size_t N> void set_last_error(const char (&message)[N]) {
    static_assert(N <= KTCACHE_LAST_ERROR_SIZE, "last-error message too long");
    std::memcpy(last_error_text(), message, N);
}

void clear_last_error() { last_error_text()[0] = '\0'; }

} // namespace

/* =========================================================================
 * 3. Library interface
 * ========================================================================= */

const char *ktcache_version(void) { return kVersionText; }

int32_t ktcache_abi_version(void) { return KTCACHE_ABI_VERSION; }

const char *ktcache_last_error(void) { return last_error_text(); }

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
 * 5. Platform file access
 *
 * Every call whose spelling differs between platforms is made here and
 * nowhere else. A file is named by a FileRef: a directory handle and a name
 * relative to it. Where the C library can work relative to an open directory
 * (fstatat, openat, unlinkat), a scan names each entry by its bare name, so
 * that no call walks the directory's own path again. Elsewhere the scan
 * joins the directory path and the entry name, and every FileRef is relative
 * to the current directory.
 *
 * On Windows the calls are those of the Microsoft C runtime (msvcrt.dll):
 * its POSIX-style file calls and the status query _stat64i32, with the
 * directory stream of mingw-w64's runtime. Names and paths go to them as
 * the bytes they are; the runtime reads them in the ANSI code page.
 * ========================================================================= */

#if !defined(KTCACHE_PORTABLE_FILE_ACCESS) && defined(AT_FDCWD) && !defined(_WIN32)
#define KTCACHE_RELATIVE_TO_DIRECTORY 1
#else
#define KTCACHE_RELATIVE_TO_DIRECTORY 0
#endif

namespace {

/* What validation and the scan need from a status query. */
struct FileStatus {
    bool is_regular;
    int64_t size;
};

/* A directory descriptor; without directory-relative calls only the
 * current directory is ever named. */
using DirHandle = int;
#if KTCACHE_RELATIVE_TO_DIRECTORY
constexpr DirHandle kCurrentDirectory = AT_FDCWD;
#else
constexpr DirHandle kCurrentDirectory = 0;
#endif

struct FileRef {
    DirHandle dir;
    const char *name; /* relative to `dir`, or any path when `dir` is the current directory */
};

#ifdef _WIN32
/* ---- Windows: the Microsoft C runtime ---------------------------------- */

/* Binary, and never inherited by a child process. A Windows directory holds
 * no FIFOs or devices, and a device is no regular file, so no open here can
 * block. */
constexpr int kOpenFlags = _O_RDONLY | _O_BINARY | _O_NOINHERIT;

/* The size field of the _stat64i32 record is 32 bits wide. mingw-w64's
 * _stat64i32 for msvcrt.dll keeps only the low 32 bits of a larger size: a
 * 3 GiB track would read as -1 GiB and be purged as too short, one of
 * 4 GiB + 2 KiB would be listed as 2 KiB. So the record is filled here from
 * _stat64, and a size that does not fit it fails the query with EOVERFLOW,
 * as a POSIX stat does: validation cannot check such a file, and a scan
 * skips it, neither listing nor deleting it. */
using StatusRecordSize = decltype(std::declval<struct _stat64i32>().st_size);

bool query_status(FileRef file, FileStatus *status) {
    struct _stat64 st;
    if (_stat64(file.name, &st) != 0) return false;
    if (st.st_size > std::numeric_limits<StatusRecordSize>::max()) {
        errno = EOVERFLOW;
        return false;
    }
    status->is_regular = (st.st_mode & _S_IFMT) == _S_IFREG;
    status->size = static_cast<StatusRecordSize>(st.st_size);
    return true;
}

int open_for_reading(FileRef file) { return _open(file.name, kOpenFlags); }

long read_some(int fd, unsigned char *buf, size_t count) {
    return _read(fd, buf, static_cast<unsigned>(count));
}

void close_file(int fd) { _close(fd); }

/* A read-only file, or one that another process holds open without sharing
 * deletion, cannot be deleted on Windows: the purge leaves it. */
bool delete_file(FileRef file) { return _unlink(file.name) == 0; }

#else
/* ---- POSIX ------------------------------------------------------------- */

/* Opening never blocks (a FIFO or device swapped in after the status query
 * would otherwise hang the caller) and never leaks into a child process. */
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

/* The status of a file, following symbolic links; false when it cannot be
 * queried. */
bool query_status(FileRef file, FileStatus *status) {
    struct stat st;
#if KTCACHE_RELATIVE_TO_DIRECTORY
    if (fstatat(file.dir, file.name, &st, 0) != 0) return false;
#else
    if (stat(file.name, &st) != 0) return false;
#endif
    status->is_regular = S_ISREG(st.st_mode);
    status->size = static_cast<int64_t>(st.st_size);
    return true;
}

/* A descriptor open for reading, or -1 with errno set. */
int open_for_reading(FileRef file) {
#if KTCACHE_RELATIVE_TO_DIRECTORY
    return openat(file.dir, file.name, kOpenFlags);
#else
    return open(file.name, kOpenFlags);
#endif
}

long read_some(int fd, unsigned char *buf, size_t count) { return read(fd, buf, count); }

void close_file(int fd) { close(fd); }

/* unlink, unlike remove, can never take away a directory that has replaced
 * the file since it was examined. */
bool delete_file(FileRef file) {
#if KTCACHE_RELATIVE_TO_DIRECTORY
    return unlinkat(file.dir, file.name, 0) == 0;
#else
    return unlink(file.name) == 0;
#endif
}

#endif /* _WIN32 */
/* ---- Both ---------------------------------------------------------------- */

/* Reads up to `capacity` bytes from the start of an open file; a read error
 * or an early end simply gives a shorter count. */
size_t read_prefix(int fd, unsigned char *buf, size_t capacity) {
    size_t got = 0;
    while (got < capacity) {
        long n = read_some(fd, buf + got, capacity - got);
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

/* When the enumeration already knows an entry is a directory, device, pipe or
 * socket, the status query can be spared. Links and unknown types are
 * resolved by the status query. */
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

#if !KTCACHE_RELATIVE_TO_DIRECTORY
/* One path buffer for a whole walk: the directory prefix and "/" are written
 * once, each entry's name is copied in behind them. The buffer is allocated
 * on first use and again after a failure, so that running short of memory
 * once costs one entry, not the rest of the walk. */
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
#endif

/* An open directory: its entries one by one, and a FileRef for each. */
class DirectoryStream {
  public:
    explicit DirectoryStream(const char *path)
        : dir_(opendir(path))
#if KTCACHE_RELATIVE_TO_DIRECTORY
          ,
          fd_(dir_ != nullptr ? dirfd(dir_) : -1)
#else
          ,
          path_(path)
#endif
    {
    }
    DirectoryStream(const DirectoryStream &) = delete;
    DirectoryStream &operator=(const DirectoryStream &) = delete;
    ~DirectoryStream() {
        if (dir_ != nullptr) closedir(dir_);
    }

    bool is_open() const { return dir_ != nullptr; }

    /* The next entry, or null at the end of the enumeration; `failed` tells
     * an enumeration that stopped on an error from one that ran out. */
    const struct dirent *next(bool *failed) {
        errno = 0;
        const struct dirent *entry = readdir(dir_);
        *failed = entry == nullptr && errno != 0;
        return entry;
    }

    /* How to reach the entry `name`; a null name when memory ran out. */
    FileRef entry(const char *name) {
#if KTCACHE_RELATIVE_TO_DIRECTORY
        return {fd_, name};
#else
        return {kCurrentDirectory, path_.join(name)};
#endif
    }

  private:
    DIR *dir_;
#if KTCACHE_RELATIVE_TO_DIRECTORY
    int fd_;
#else
    EntryPath path_;
#endif
};

} // namespace

/* =========================================================================
 * 6. Cached file validation
 * ========================================================================= */

namespace {

/* Judges a file whose status the caller has already queried. `open_errno`
 * receives errno when the file cannot be opened, so that a purging scan can
 * tell a broken file from a process that has run out of descriptors. */
int32_t check_file(FileRef file, const FileStatus &status, int64_t min_size, int *open_errno) {
    if (!status.is_regular) {
        set_last_error(kErrNotRegular);
        return kValidationRejected;
    }
    if (status.size < min_size) {
        set_last_error(kErrBelowMinimum);
        return kValidationRejected;
    }
    int fd = open_for_reading(file);
    if (fd < 0) {
        if (open_errno != nullptr) *open_errno = errno;
        set_last_error(kErrOpen);
        return kValidationError;
    }
    unsigned char header[kHeaderReadSize];
    size_t got = read_prefix(fd, header, sizeof header);
    close_file(fd);

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
    const FileRef file = {kCurrentDirectory, path};
    FileStatus status;
    if (!query_status(file, &status)) {
        set_last_error(kErrStat);
        return kValidationError;
    }
    return check_file(file, status, effective_min_size(min_size), nullptr);
}

/* =========================================================================
 * 7. Download naming
 * ========================================================================= */

namespace {

/* Each byte as it may appear in a name: itself, or the replacement for the
 * bytes that common file systems refuse or treat specially. */
constexpr std::array<char, 256> make_name_byte_table() {
    std::array<char, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = static_cast<char>(c);
    for (int c = 0; c < 0x20; ++c) table[c] = kReplacementByte;
    for (unsigned char c : {'"', '*', '/', ':', '<', '>', '?', '\\', '|'})
        table[c] = kReplacementByte;
    table[0x7F] = kReplacementByte;
    return table;
}
constexpr std::array<char, 256> kNameByte = make_name_byte_table();

/* The value of each hexadecimal digit; every other byte has a bit of
 * kNotHexDigit set, so one test of two digits together tells an escape. */
constexpr unsigned char kNotHexDigit = 0xF0;
constexpr std::array<unsigned char, 256> make_hex_value_table() {
    std::array<unsigned char, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = kNotHexDigit;
    for (int d = 0; d < 10; ++d) table['0' + d] = static_cast<unsigned char>(d);
    for (int d = 0; d < 6; ++d) {
        table['a' + d] = static_cast<unsigned char>(10 + d);
        table['A' + d] = static_cast<unsigned char>(10 + d);
    }
    return table;
}
constexpr std::array<unsigned char, 256> kHexValue = make_hex_value_table();

/* Percent-decodes `segment` once and replaces unsafe bytes, writing into
 * `out` (room for `length` bytes) in one pass. Returns the number of bytes
 * written. An escape needs two more bytes, so the last two are copied
 * outside the main loop, which then never tests the bounds of a lookahead;
 * the choice between an escape and a plain byte is a select, not a branch,
 * because escapes and plain bytes alternate unpredictably in real names. */
size_t decode_segment(const char *segment, size_t length, char *out) {
    const auto *in = reinterpret_cast<const unsigned char *>(segment);
    const size_t escape_end = length > 2 ? length - 2 : 0;
    size_t i = 0, written = 0;
    while (i < escape_end) {
        const unsigned hi = kHexValue[in[i + 1]];
        const unsigned lo = kHexValue[in[i + 2]];
        const bool escape = in[i] == '%' && ((hi | lo) & kNotHexDigit) == 0;
        const unsigned byte = escape ? (hi << 4 | lo) : in[i];
        out[written++] = kNameByte[byte];
        i += escape ? 3 : 1;
    }
    for (; i < length; ++i) out[written++] = kNameByte[in[i]];
    return written;
}

/* The offset just past the last '/' in url[0, end), or 0 when there is none;
 * memchr outruns a byte-by-byte search back from the end on long names. */
size_t segment_start(const char *url, size_t end) {
    size_t start = 0;
    for (const void *slash; (slash = std::memchr(url + start, '/', end - start)) != nullptr;)
        start = static_cast<size_t>(static_cast<const char *>(slash) - url) + 1;
    return start;
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

    const size_t start = segment_start(url, end);
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
 * 8. Report text (JSON writing on the C heap)
 *
 * The report is written in one pass into the block that the caller receives.
 * Its counts come first but are known only at the end, so the block starts
 * with room for them; each file object is streamed in behind that room as
 * the walk finds it, and at the end the counts are written and the list is
 * moved up against them. A scan therefore never holds more than this one
 * growing block, whatever the size of the directory.
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

    void Put(char c) {
        if (size_ == capacity_) grow(size_ + 1);
        data_[size_++] = c;
    }
    void Flush() {}

    /* Appends `count` bytes whose content is filled in later. */
    void append_room(size_t count) {
        if (capacity_ - size_ < count) grow(size_ + count);
        size_ += count;
    }
    /* Replaces bytes [from, to) by `length` bytes of `text`; never grows. */
    void splice(size_t from, size_t to, const char *text, size_t length) {
        std::memmove(data_ + from + length, data_ + to, size_ - to);
        std::memcpy(data_ + from, text, length);
        size_ = size_ - (to - from) + length;
    }

    size_t size() const { return size_; }

    char *release() {
        Put('\0');
        char *text = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return text;
    }

  private:
    static constexpr size_t kMinCapacity = 512;

    /* Grows by half again, which bounds the unused tail to a third of the
     * block; large blocks are grown by the allocator in place or by
     * remapping, not by copying. */
    void grow(size_t needed) {
        size_t capacity = capacity_ < kMinCapacity ? kMinCapacity : capacity_ + capacity_ / 2;
        if (capacity < needed) capacity = needed;
        void *grown = std::realloc(data_, capacity);
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<char *>(grown);
        capacity_ = capacity;
    }

    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

/* A small text of fixed capacity, usable as a RapidJSON output stream. */
template <size_t N> class FixedText {
  public:
    typedef char Ch;

    void Put(char c) {
        if (size_ < N) {
            data_[size_++] = c;
        } else {
            overflowed_ = true;
        }
    }
    void Flush() {}

    const char *data() const { return data_; }
    size_t size() const { return size_; }
    bool overflowed() const { return overflowed_; }

  private:
    char data_[N];
    size_t size_ = 0;
    bool overflowed_ = false;
};

/* Compact output; with encoding validation the writer refuses any string that
 * is not well-formed UTF-8 (overlong forms, surrogates, beyond U+10FFFF). */
template <typename Stream>
using JsonWriter = rapidjson::Writer<Stream, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                     ThrowingHeapAllocator, rapidjson::kWriteValidateEncodingFlag>;

/* The report nests three levels deep at most. */
constexpr size_t kWriterDepth = 4;

/* Room for the report without its list: braces, four keys, three numbers of
 * at most 20 digits, and punctuation. */
constexpr size_t kReportOpeningSize = 128;

template <typename Stream, size_t N>
bool write_key(JsonWriter<Stream> &writer, const char (&key)[N]) {
    return writer.Key(key, static_cast<rapidjson::SizeType>(N - 1));
}

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

/* The report under construction. Once any part cannot be written the report
 * is marked failed and stays so: a report is either complete or not
 * produced at all. */
class Report {
  public:
    Report() : writer_(text_, &allocator_, kWriterDepth) {}

    void add_file(const char *name, int64_t bytes, const char *format) noexcept {
        if (failed_) return;
        try {
            open_list();
            const size_t name_length = std::strlen(name);
            bool ok = writer_.StartObject() && write_key(writer_, "name") &&
                      writer_.String(name, static_cast<rapidjson::SizeType>(name_length)) &&
                      write_key(writer_, "bytes") && writer_.Int64(bytes) &&
                      write_key(writer_, "format") && writer_.String(format) && writer_.EndObject();
            if (!ok) failed_ = true;
        } catch (...) {
            failed_ = true;
        }
    }

    void mark_incomplete() { failed_ = true; }

    /* The finished report for the caller, or null when it is incomplete or
     * memory ran out. */
    char *finish(const ScanTotals &totals) noexcept {
        if (failed_) return nullptr;
        try {
            open_list();
            if (!writer_.EndArray()) return nullptr;

            ThrowingHeapAllocator allocator;
            FixedText<kReportOpeningSize> opening;
            JsonWriter<FixedText<kReportOpeningSize>> writer(opening, &allocator, kWriterDepth);
            /* The whole object, with an empty stand-in for the list: the
             * list already written goes in before the closing brace. */
            bool ok = writer.StartObject() && write_key(writer, "validCount") &&
                      writer.Uint64(totals.valid_count) && write_key(writer, "purgedCount") &&
                      writer.Uint64(totals.purged_count) && write_key(writer, "totalBytes") &&
                      writer.Int64(totals.total_bytes) && write_key(writer, "files") &&
                      writer.RawValue("", 0, rapidjson::kArrayType) && writer.EndObject();
            if (!ok || opening.overflowed()) return nullptr;
            const size_t closing_brace = opening.size() - 1;
            text_.splice(0, kReportOpeningSize, opening.data(), closing_brace);
            text_.Put(opening.data()[closing_brace]);
            return text_.release();
        } catch (...) {
            return nullptr;
        }
    }

  private:
    void open_list() {
        if (!opened_) {
            opened_ = true;
            text_.append_room(kReportOpeningSize);
            writer_.StartArray();
        }
    }

    ThrowingHeapAllocator allocator_;
    HeapText text_;
    JsonWriter<HeapText> writer_;
    bool opened_ = false;
    bool failed_ = false;
};

/* =========================================================================
 * 9. Cache directory scan and purge
 * ========================================================================= */

/* Entries the scan never looks at: hidden names, "." and ".." among them, so
 * that partial downloads (".part.m4a") stay out of the report and the purge. */
bool is_hidden_name(const char *name) { return name[0] == '.'; }

/* A file that failed to open only because the process or the system ran out
 * of descriptors or memory may be perfectly good: never purge it for that. */
bool is_resource_shortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

/* Walks the open directory once, validating, listing and purging. Returns
 * false when the enumeration stopped on an error (the listing is then
 * incomplete). */
bool walk_directory(DirectoryStream &dir, bool purge, ScanTotals &totals, Report &report) {
    for (;;) {
        bool failed = false;
        const struct dirent *entry = dir.next(&failed);
        if (entry == nullptr) return !failed;

        const char *name = entry->d_name;
        if (is_hidden_name(name) || is_known_non_regular(entry)) continue;

        const FileRef file = dir.entry(name);
        if (file.name == nullptr) {
            report.mark_incomplete();
            continue;
        }
        FileStatus status;
        if (!query_status(file, &status) || !status.is_regular) continue;

        int open_errno = 0;
        int32_t code = check_file(file, status, KTCACHE_DEFAULT_MIN_SIZE, &open_errno);
        if (code > 0) {
            totals.add_valid(status.size);
            report.add_file(name, status.size, format_name(code));
        } else if (purge && !is_resource_shortage(open_errno)) {
            if (delete_file(file)) ++totals.purged_count;
        }
    }
}

} // namespace

char *ktcache_scan_dir_json(const char *dir_path, int32_t purge) {
    if (dir_path == nullptr || dir_path[0] == '\0') {
        set_last_error(kErrEmptyDirPath);
        return nullptr;
    }
    char *text = nullptr;
    {
        DirectoryStream dir(dir_path);
        if (!dir.is_open()) {
            set_last_error(kErrOpendir);
            return nullptr;
        }
        ScanTotals totals;
        Report report;
        if (!walk_directory(dir, purge != 0, totals, report)) report.mark_incomplete();
        text = report.finish(totals);
    }
    /* Messages left by the per-file validations are not the scan's outcome. */
    clear_last_error();
    return text;
}

/* =========================================================================
 * 10. Presentation helpers
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
 * 11. Self-test
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
