/*
 * ktcache.cpp - the offline audio cache model, in one implementation unit.
 *
 * Sections:
 *   1. Messages
 *   2. Platform runtime (the one block that differs between platforms)
 *   3. Last-error text, version and release
 *   4. Audio header recognition
 *   5. File access on every runtime
 *   6. Cached file validation
 *   7. UTF-8 sequences
 *   8. Download naming
 *   9. Report text (JSON writing on the C heap)
 *  10. Cache directory scan and purge
 *  11. Presentation helpers
 *  12. Self-test
 *
 * Nothing in here throws across the C interface: the only exception that can
 * arise is std::bad_alloc from the report writer's allocator, and it is caught
 * inside the report section.
 */
#define KTCACHE_BUILDING_LIBRARY 1
#include "ktcache.h"
#include "ktcache_walk.h"

#include <errno.h>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define _CRT_RAND_S /* rand_s, from the C runtime's stdlib.h */
#include <windows.h>
#include <winternl.h> /* after windows.h */
/* ntdll's read (ZwReadFile in the driver kit), which winternl.h lacks. */
extern "C" NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                     void *apc_context, IO_STATUS_BLOCK *io, void *buffer,
                                     ULONG length, LARGE_INTEGER *offset, ULONG *key);
#else
#include <dirent.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include <rapidjson/writer.h>

/* =========================================================================
 * 1. Messages
 * ========================================================================= */

namespace {

/* A last-error message: one of the fixed texts below, none ever built from
 * caller input, each checked here to fit KTCACHE_LAST_ERROR_SIZE. */
struct Message {
    const char *text;
    size_t size; /* NUL included */
};
template <size_t N> constexpr Message message(const char (&text)[N]) {
    static_assert(N <= KTCACHE_LAST_ERROR_SIZE, "last-error message too long");
    return {text, N};
}

constexpr Message kNoError = message("");
constexpr Message kErrEmptyPath = message("empty path");
constexpr Message kErrStat = message("stat failed");
constexpr Message kErrNotRegular = message("not regular file");
constexpr Message kErrBelowMinimum = message("file below minimum size");
constexpr Message kErrOpen = message("fopen failed");
constexpr Message kErrUnrecognized = message("unrecognized audio header");
constexpr Message kErrEmptyDirPath = message("empty dir_path");
constexpr Message kErrOpendir = message("opendir failed");

} // namespace

/* =========================================================================
 * 2. Platform runtime
 *
 * The only code that differs between platforms. Each runtime block provides
 * the same names, and a third platform would fill in a block of its own:
 *
 *   NativeChar         the characters of the paths its file calls take
 *   PathRef            a path as those calls take it
 *   AtRef              a name relative to an open directory (Dir), as the
 *                      file calls take it, or a PathRef
 *   last_error_text()  the calling thread's last-error buffer
 *   CallerPath         a path from the caller, converted for the file calls
 *   OpenDirectory      a directory opened for a scan; next() gives its
 *                      entries one by one as ListedEntry records, and false
 *                      at the end, with `failed` set when it ended on an
 *                      error; descriptor() is its Dir
 *   ExaminedFile       one file as validation judges it: examine() its
 *                      status, open() and read_at() its first bytes, or
 *                      read_if_cached() them without waiting for the disk,
 *                      opened_is_examined(); take() another's file; for a
 *                      purge, pin() the file judged, tell whether it
 *                      is_unchanged() since, and delete_itself() through
 *                      the judging handle, where the runtime can
 *   query_identity, move_aside, move_back, delete_file, lacks_room
 *                      the calls of a purge that moves a file aside first
 *                      (section 10), where it cannot
 *   random_bits()      64 bits from the system's random source
 *   ReadRing           reads kept in flight by the kernel while the caller's
 *                      thread goes on, where the runtime has them: start()
 *                      on first need, queue() reads, enter() them (and wait
 *                      for one), next_done() one that finished
 *
 * Calls that fail return false or -1 with errno set. A scan reaches each
 * entry by an AtRef relative to the directory it opened (AtDirectory,
 * section 5).
 * ========================================================================= */

namespace {

using ktcache_core::FileIdentity;
using ktcache_core::same_identity;

/* What validation and the scan need from a status query: the kind of a
 * file, and its identity (its size among it), which tells whether the file
 * found at a name later is still the one judged. */
struct FileStatus {
    bool is_regular;
    FileIdentity identity;
};

/* A path in the characters of a runtime's file calls, relative to the
 * current directory unless it is absolute; null when it could not be
 * built. */
template <typename Char> struct BasicPathRef { const Char *path; };

/* A call interrupted by a signal is tried again, this many times in all. */
constexpr int kInterruptedCallAttempts = 8;

/* What became of deleting a file through the handle that judged it:
 * deleted; refused by the file system (errno says why); changed (the name no
 * longer holds the file judged); hidden (moved aside and not put back); or
 * unsupported, which leaves the purge to move the file aside by its name. */
enum class HandleDeletion { deleted, refused, changed, hidden, unsupported };

template <typename Char> struct BasicListedEntry {
    const char *name;          /* as the report writes it */
    const Char *native_name;   /* as the file calls take it */
    bool is_known_non_regular; /* a directory, device, pipe or socket */
};

#ifdef _WIN32
/* ---- Runtime: Windows ---------------------------------------------------
 *
 * Wide-character calls only, so that every name is reached, whatever its
 * script. Paths from the caller are bytes in the code page in which the
 * process's narrow file calls read theirs (the ANSI code page, or the OEM
 * one after SetFileApisToOEM), converted as those calls convert them and
 * made full once, as the call begins: from then on neither the current
 * directory nor the length of a path changes what it names. A scan holds
 * the directory it opened and reaches each entry by its listed name
 * relative to that handle (NtCreateFile with a root directory, as openat
 * does on POSIX systems), which also reaches names that no Windows path
 * does: trailing dots and spaces, device names such as "NUL.mp3". It opens
 * each file once and judges it from that handle. Names in the report are
 * UTF-8, converted from the UTF-16 names the listing gives.
 *
 * The ntdll calls come from its import library: ntdll is in every process
 * before any DLL, so importing from it loads nothing and runs no code. */

using NativeChar = wchar_t; /* UTF-16 */
/* Bytes of the longest name the listing gives, as UTF-8, NUL included. */
constexpr size_t kLongestListedName = 3 * MAX_PATH + 1;
using PathRef = BasicPathRef<NativeChar>;
using ListedEntry = BasicListedEntry<NativeChar>;

/* Every thread has its own last-error text, zero-filled (empty) until a
 * failure is reported on it, gone when the thread ends. clang emits native
 * TLS for thread_local on this target: the array lies in the DLL's TLS
 * template, which the loader copies for every thread, so nothing allocates
 * or can fail (gcc's mingw-w64 port would emulate it, taking each thread's
 * copy from the heap and aborting when that fails). A plain array needs no
 * constructor, so loading the library runs none of its code. */
thread_local char g_last_err[KTCACHE_LAST_ERROR_SIZE];

char *last_error_text() { return g_last_err; }

/* errno for a Win32 error. A file that another program holds open without
 * sharing it, or whose bytes it has locked, reads as EAGAIN: the file could
 * not be judged this time, as with a lease on Linux, and says nothing
 * against the file. */
int errno_from(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EAGAIN;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_DIRECTORY: return ENOTDIR;
    default: return EIO;
    }
}
bool fail_with_last_error() {
    errno = errno_from(GetLastError());
    return false;
}
/* The same for an ntdll call, whose Win32 error GetLastError() then gives,
 * as after the Win32 call that would have made it. */
bool fail_with_status(NTSTATUS status) {
    SetLastError(RtlNtStatusToDosError(status));
    return fail_with_last_error();
}

/* A read that starts at or past the end of a file. */
constexpr NTSTATUS kStatusEndOfFile = static_cast<NTSTATUS>(0xC0000011);

/* Win32 errors that say a file system does not do what was asked. */
bool is_unsupported(DWORD error) {
    return error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_PARAMETER ||
           error == ERROR_NOT_SUPPORTED;
}

/* UTF-16 text of any length in one buffer, reserved anew for each text:
 * texts of ordinary length need no heap block. */
class WideText {
  public:
    WideText() = default;
    WideText(const WideText &) = delete;
    WideText &operator=(const WideText &) = delete;
    ~WideText() { release(); }

    /* Room for `units` units, whatever it held before; null when memory
     * runs out. */
    wchar_t *reserve(size_t units) {
        release();
        data_ = units <= kLocalUnits ? local_
                                     : static_cast<wchar_t *>(std::malloc(units * sizeof(wchar_t)));
        return data_;
    }
    const wchar_t *data() const { return data_; }

  private:
    /* A path of MAX_PATH units and the longest prefix of its NT form. */
    static constexpr size_t kLocalUnits = MAX_PATH + 8;

    void release() {
        if (data_ != local_) std::free(data_);
        data_ = nullptr;
    }

    wchar_t local_[kLocalUnits];
    wchar_t *data_ = nullptr;
};

/* A path from the caller as ntdll opens it: converted to UTF-16 as the
 * narrow file calls convert it, made full once against the current
 * directory (GetFullPathNameW, which gives ".", "..", trailing dots and
 * spaces and device names the meaning every Windows path gives them), and
 * written in the NT form (\??\C:\..., \??\UNC\server\share\...), which no
 * later change of the current directory affects and no length limit cuts.
 * A path in the \\?\ or \??\ form is taken as it stands, as Windows takes
 * it: through such paths a host reaches every name that a scan lists. */
class CallerPath {
  public:
    explicit CallerPath(const char *path) {
        const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
        const int length = MultiByteToWideChar(code_page, 0, path, -1, nullptr, 0);
        wchar_t *given = length > 0 ? given_.reserve(static_cast<size_t>(length)) : nullptr;
        if (given == nullptr ||
            MultiByteToWideChar(code_page, 0, path, -1, given, length) != length) {
            error_ = length > 0 ? ENOMEM : EINVAL;
            return;
        }
        if (given[0] == L'\\' && (given[1] == L'\\' || given[1] == L'?') && given[2] == L'?' &&
            given[3] == L'\\') {
            given[1] = L'?';
            native_ = given;
            return;
        }
        native_ = full_path(given);
    }
    CallerPath(const CallerPath &) = delete;
    CallerPath &operator=(const CallerPath &) = delete;

    /* Null when the path could not be converted, with error() saying why. */
    const wchar_t *native() const { return native_; }
    int error() const { return error_; }

  private:
    /* Room for the longest prefix of the NT form, "\??\UNC", before the
     * full path. */
    static constexpr size_t kPrefixRoom = 7;

    const wchar_t *full_path(const wchar_t *given) {
        DWORD room = MAX_PATH;
        /* Another thread may lengthen the current directory in between. */
        for (int attempt = 0; attempt < 3; ++attempt) {
            wchar_t *buf = full_.reserve(kPrefixRoom + room);
            if (buf == nullptr) {
                error_ = ENOMEM;
                return nullptr;
            }
            const DWORD length = GetFullPathNameW(given, room, buf + kPrefixRoom, nullptr);
            if (length == 0) {
                fail_with_last_error();
                error_ = errno;
                return nullptr;
            }
            if (length < room) return nt_form(buf + kPrefixRoom);
            room = length;
        }
        error_ = ENAMETOOLONG;
        return nullptr;
    }

    /* The NT form of `full`, written in place, the prefix into the room
     * before it. */
    static wchar_t *nt_form(wchar_t *full) {
        if (full[0] == L'\\' && full[1] == L'\\') {
            if ((full[2] == L'?' || full[2] == L'.') && full[3] == L'\\') { /* \\?\ or \\.\ */
                full[1] = L'?';
                full[2] = L'?';
                return full;
            }
            std::memcpy(full - 6, L"\\??\\UNC", 7 * sizeof(wchar_t)); /* \\server\share */
            return full - 6;
        }
        std::memcpy(full - 4, L"\\??\\", 4 * sizeof(wchar_t)); /* C:\ */
        return full - 4;
    }

    WideText given_;
    WideText full_;
    const wchar_t *native_ = nullptr;
    int error_ = 0;
};

/* UTF-8 from the UTF-16 name `in`. A surrogate without its partner is
 * written as the three bytes its code unit would take (ED A0..BF ..), which
 * are not well-formed UTF-8: the report refuses such a name as it refuses
 * any other that is not UTF-8. `out` has room for three bytes a unit. */
void utf8_from_utf16(const wchar_t *in, char *out) {
    auto *o = reinterpret_cast<unsigned char *>(out);
    for (; *in != L'\0'; ++in) {
        uint32_t c = static_cast<uint16_t>(*in);
        const auto next = static_cast<uint16_t>(in[1]);
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++in;
        }
        if (c < 0x80) {
            *o++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *o++ = static_cast<unsigned char>(0xC0 | c >> 6);
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *o++ = static_cast<unsigned char>(0xE0 | c >> 12);
            *o++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *o++ = static_cast<unsigned char>(0xF0 | c >> 18);
            *o++ = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    *o = '\0';
}

/* A name relative to an open directory, or a path in the NT form relative
 * to nothing. */
struct AtRef {
    using Dir = HANDLE;
    AtRef(HANDLE dir_handle, const wchar_t *entry_name) : dir(dir_handle), name(entry_name) {}
    AtRef(PathRef file) : dir(nullptr), name(file.path) {}
    HANDLE dir;
    const wchar_t *name;
};

/* Opens that allow other programs to read, write, rename and delete the
 * file meanwhile; and those that rename or delete it, which allow no other
 * delete access meanwhile, so that of two purges acting on one file only
 * one does. */
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kShareAllButDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;

/* Opens `file` as CreateFileW would (names compared without regard to
 * case, synchronous reads, a directory opened like a file), following a
 * link unless `options` holds FILE_OPEN_REPARSE_POINT. INVALID_HANDLE_VALUE
 * with errno set when that fails. */
HANDLE open_at(AtRef file, ACCESS_MASK access, ULONG share, ULONG options) {
    /* The most bytes a counted string holds. */
    constexpr size_t kLongestNtName = 0xFFFE;
    const size_t bytes = std::wcslen(file.name) * sizeof(wchar_t);
    if (bytes > kLongestNtName) {
        errno = ENAMETOOLONG;
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING name = {static_cast<USHORT>(bytes), static_cast<USHORT>(bytes),
                           const_cast<wchar_t *>(file.name)};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, file.dir, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE handle;
    const NTSTATUS status = NtCreateFile(
        &handle, access | SYNCHRONIZE, &attributes, &io, nullptr, 0, share, FILE_OPEN,
        options | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (NT_SUCCESS(status)) return handle;
    fail_with_status(status);
    return INVALID_HANDLE_VALUE;
}

/* A handle closed when it goes out of scope. */
class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;
    ~ScopedHandle() {
        if (is_open()) CloseHandle(handle_);
    }

    bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

/* The directory is opened once and held without delete sharing for as long
 * as the scan lasts: nobody can rename, delete or replace it meanwhile, and
 * every entry is reached relative to it. Its entries are listed through
 * that handle, many to a query. */
class OpenDirectory {
  public:
    explicit OpenDirectory(const char *path) : path_(path) {
        if (path_.native() == nullptr) {
            error_ = path_.error();
            return;
        }
        held_ = open_at(PathRef{path_.native()}, FILE_LIST_DIRECTORY,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_DIRECTORY_FILE);
        if (held_ == INVALID_HANDLE_VALUE) error_ = errno;
    }
    OpenDirectory(const OpenDirectory &) = delete;
    OpenDirectory &operator=(const OpenDirectory &) = delete;
    ~OpenDirectory() {
        std::free(records_);
        if (held_ != INVALID_HANDLE_VALUE) CloseHandle(held_);
    }

    bool is_open() const { return held_ != INVALID_HANDLE_VALUE; }
    /* Why it could not be opened. */
    int error() const { return error_; }
    const wchar_t *native_path() const { return path_.native(); }
    /* The handle, for the calls relative to the directory. */
    HANDLE descriptor() const { return held_; }

    bool next(ListedEntry *entry, bool *failed) {
        if (next_ == nullptr && !fetch(failed)) return false;
        const auto *record = static_cast<const FILE_ID_BOTH_DIR_INFO *>(next_);
        next_ = record->NextEntryOffset != 0
                    ? static_cast<const char *>(next_) + record->NextEntryOffset
                    : nullptr;
        /* Names in the records are not NUL-terminated. */
        const size_t units = record->FileNameLength / sizeof(wchar_t);
        if (units >= kNameUnits) {
            *failed = true;
            return false;
        }
        std::memcpy(native_name_, record->FileName, units * sizeof(wchar_t));
        native_name_[units] = L'\0';
        utf8_from_utf16(native_name_, name_);
        *entry = {name_, native_name_, (record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
        return true;
    }

  private:
    /* A query fills this much with as many records as fit. */
    static constexpr DWORD kRecordsSize = 64 * 1024;
    /* A listed name has fewer than MAX_PATH UTF-16 units. */
    static constexpr size_t kNameUnits = MAX_PATH;

    bool fetch(bool *failed) {
        if (records_ == nullptr && (records_ = std::malloc(kRecordsSize)) == nullptr) {
            *failed = true;
            return false;
        }
        if (!GetFileInformationByHandleEx(held_, FileIdBothDirectoryInfo, records_, kRecordsSize)) {
            *failed = GetLastError() != ERROR_NO_MORE_FILES;
            return false;
        }
        next_ = records_;
        return true;
    }

    CallerPath path_;
    HANDLE held_ = INVALID_HANDLE_VALUE;
    int error_ = 0;
    void *records_ = nullptr;
    const void *next_ = nullptr;
    wchar_t native_name_[kNameUnits];
    char name_[3 * kNameUnits + 1];
};

/* The 2 GiB rule: the status record of the Microsoft C runtime that this
 * library has always answered with (_stat64i32) holds 32-bit sizes, and a
 * track of 3 GiB once read as -1 GiB and was purged as too short. A size
 * that does not fit 32 bits fails the query with EOVERFLOW, as a POSIX stat
 * does: validation cannot check such a file, and a scan neither lists nor
 * deletes it. */
constexpr int64_t kLargestStatusSize = INT32_MAX;

/* The identity of the file open as `handle`: its volume, file index, size
 * and last write time (100 ns units since 1601, kept in nanoseconds); and,
 * where asked, its attributes. */
bool identity_from_handle(HANDLE handle, FileIdentity *identity, DWORD *attributes = nullptr) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return fail_with_last_error();
    const uint64_t written =
        uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32 | info.ftLastWriteTime.dwLowDateTime;
    *identity = {info.dwVolumeSerialNumber,
                 uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow,
                 static_cast<int64_t>(uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow),
                 static_cast<int64_t>(written * 100)};
    if (attributes != nullptr) *attributes = info.dwFileAttributes;
    return true;
}

/* The identity of the file at a name, following links, opened for its
 * attributes only, which no other program's sharing mode refuses. */
bool query_identity(AtRef file, FileIdentity *identity) {
    const ScopedHandle handle(open_at(file, FILE_READ_ATTRIBUTES, kShareAll, 0));
    return handle.is_open() && identity_from_handle(handle.get(), identity);
}

/* The final path of an open file or directory in `path`, its volume named
 * as `volume` says (VOLUME_NAME_DOS, VOLUME_NAME_NT); false with errno set. */
bool final_path(HANDLE handle, DWORD volume, WideText &path) {
    DWORD room = MAX_PATH;
    for (int attempt = 0; attempt < 3; ++attempt) {
        wchar_t *buf = path.reserve(room);
        if (buf == nullptr) {
            errno = ENOMEM;
            return false;
        }
        const DWORD length =
            GetFinalPathNameByHandleW(handle, buf, room, FILE_NAME_NORMALIZED | volume);
        if (length == 0) return fail_with_last_error();
        if (length < room) return true;
        room = length + 1;
    }
    errno = ENAMETOOLONG;
    return false;
}

/* Whether the file open as `file` lies in the directory open as `dir`, by
 * their final paths, which tell where a file really is: under Wine a Linux
 * symbolic link looks like the file it leads to, even to an open that asks
 * for the link itself. False with EXDEV when it lies elsewhere. The paths
 * are compared in the first form that both have: a volume without a drive
 * letter has no DOS form, and under Wine a file with a device name (such as
 * "com2.mp3") has no NT form. */
bool lies_in(HANDLE file, HANDLE dir) {
    for (const DWORD volume : {VOLUME_NAME_DOS, VOLUME_NAME_NT}) {
        WideText file_path, dir_path;
        if (!final_path(file, volume, file_path) || !final_path(dir, volume, dir_path)) continue;
        const wchar_t *in = dir_path.data();
        size_t length = std::wcslen(in);
        if (length > 0 && in[length - 1] == L'\\') --length; /* a volume's root */
        const wchar_t *name = std::wcsrchr(file_path.data(), L'\\');
        if (name != nullptr && static_cast<size_t>(name - file_path.data()) == length &&
            std::wcsncmp(file_path.data(), in, length) == 0)
            return true;
        errno = EXDEV;
        return false;
    }
    return false;
}

/* Opens the entry `file` itself, a link rather than the file it leads to,
 * to rename or delete it; refuses (EXDEV) what does not lie in the
 * directory. */
HANDLE open_entry_itself(AtRef file) {
    const HANDLE handle =
        open_at(file, DELETE | FILE_READ_ATTRIBUTES, kShareAllButDelete, FILE_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE || file.dir == nullptr || lies_in(handle, file.dir))
        return handle;
    const int error = errno;
    CloseHandle(handle);
    errno = error;
    return INVALID_HANDLE_VALUE;
}

/* Renames the entry open as `entry` to `to`, never replacing a file that
 * has that name (EEXIST). */
bool rename_entry(HANDLE entry, AtRef to) {
    /* Room for any name a directory lists. */
    constexpr size_t kNameBytes = MAX_PATH * sizeof(wchar_t);
    constexpr size_t kHeaderBytes = offsetof(FILE_RENAME_INFORMATION, FileName);
    const size_t bytes = std::wcslen(to.name) * sizeof(wchar_t);
    if (bytes > kNameBytes) {
        errno = ENAMETOOLONG;
        return false;
    }
    alignas(FILE_RENAME_INFORMATION) unsigned char buf[kHeaderBytes + kNameBytes];
    auto *rename = reinterpret_cast<FILE_RENAME_INFORMATION *>(buf);
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = to.dir;
    rename->FileNameLength = static_cast<ULONG>(bytes);
    std::memcpy(rename->FileName, to.name, bytes);
    IO_STATUS_BLOCK io;
    const NTSTATUS status = NtSetInformationFile(
        entry, &io, rename, static_cast<ULONG>(kHeaderBytes + bytes), FileRenameInformation);
    return NT_SUCCESS(status) || fail_with_status(status);
}

/* Marks the file open as `entry` for deletion. With POSIX semantics
 * (Windows 10 1709 and later, on NTFS) its name goes at once, even while
 * other programs hold the file, and the storage when the last of them
 * closes; where the file system has no such semantics (FAT, exFAT, Wine),
 * the name goes when the last handle closes. A read-only file is refused. */
bool mark_for_deletion(HANDLE entry) {
    /* FileDispositionInformationEx and its flags, which the user-mode
     * headers of mingw-w64 lack. */
    constexpr auto kDispositionEx = static_cast<FILE_INFORMATION_CLASS>(64);
    constexpr ULONG kDelete = 0x1, kPosixSemantics = 0x2;
    IO_STATUS_BLOCK io;
    ULONG flags = kDelete | kPosixSemantics;
    NTSTATUS status = NtSetInformationFile(entry, &io, &flags, sizeof flags, kDispositionEx);
    if (NT_SUCCESS(status)) return true;
    if (!is_unsupported(RtlNtStatusToDosError(status))) return fail_with_status(status);
    FILE_DISPOSITION_INFORMATION disposition = {TRUE};
    status = NtSetInformationFile(entry, &io, &disposition, sizeof disposition,
                                  FileDispositionInformation);
    return NT_SUCCESS(status) || fail_with_status(status);
}

/* Used where a purge moves a file aside by its name (a link: the link is
 * moved and deleted, never the file it leads to). A read-only file, or one
 * that another program holds without delete sharing, cannot be deleted: the
 * purge leaves it. */
bool delete_file(AtRef file) {
    const ScopedHandle entry(open_entry_itself(file));
    return entry.is_open() && mark_for_deletion(entry.get());
}

/* A rename that never replaces an existing file, so moving an entry aside
 * and back are the same call. */
bool move_aside(AtRef from, AtRef to) {
    const ScopedHandle entry(open_entry_itself(from));
    return entry.is_open() && rename_entry(entry.get(), to);
}
bool move_back(AtRef from, AtRef to) { return move_aside(from, to); }

/* Errors that say there is no room for one more name in the directory. */
bool lacks_room(int error) { return error == ENOSPC; }

/* A file opened once to be judged: its status and first bytes come from the
 * one handle, which reads without DELETE access, so a valid track is never
 * held in a way that makes another program's open or rename fail. */
class ExaminedFile {
  public:
    ExaminedFile() = default;
    ExaminedFile(const ExaminedFile &) = delete;
    ExaminedFile &operator=(const ExaminedFile &) = delete;
    ~ExaminedFile() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }

    /* The kind and size of `file`; false with errno set. A file the caller
     * may not read is opened for its attributes, so that its kind and size
     * still judge it; reading it then fails with EACCES. */
    bool examine(AtRef file, FileStatus *status) {
        handle_ = open_at(file, GENERIC_READ, kShareAll, 0);
        if (handle_ == INVALID_HANDLE_VALUE) {
            if (GetLastError() != ERROR_ACCESS_DENIED) return false;
            readable_ = false;
            handle_ = open_at(file, FILE_READ_ATTRIBUTES, kShareAll, 0);
            if (handle_ == INVALID_HANDLE_VALUE) return false;
        }
        FILE_STANDARD_INFO info;
        if (!GetFileInformationByHandleEx(handle_, FileStandardInfo, &info, sizeof info))
            return fail_with_last_error();
        if (info.EndOfFile.QuadPart > kLargestStatusSize) {
            errno = EOVERFLOW;
            return false;
        }
        /* A device reads as an empty file: only then is the type asked. */
        const bool is_regular = !info.Directory && (info.EndOfFile.QuadPart > 0 ||
                                                    GetFileType(handle_) == FILE_TYPE_DISK);
        *status = {is_regular, {0, 0, info.EndOfFile.QuadPart, 0}};
        return true;
    }

    /* The handle that examined the file reads it too; false with EACCES
     * when the caller may not read the file. */
    bool open() {
        if (!readable_) errno = EACCES;
        return readable_;
    }
    /* A read at an offset that asks for no completion record: a read
     * through an OVERLAPPED structure (ReadFile's way) posts one, which under
     * Wine is one more request to its server for every file. */
    long read_at(unsigned char *buf, size_t count, size_t offset) {
        IO_STATUS_BLOCK io;
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        const NTSTATUS status = NtReadFile(handle_, nullptr, nullptr, nullptr, &io, buf,
                                           static_cast<ULONG>(count), &at, nullptr);
        if (NT_SUCCESS(status)) return static_cast<long>(io.Information);
        if (status == kStatusEndOfFile) return 0;
        fail_with_status(status);
        return -1;
    }
    /* Reads wait for the disk here. */
    long read_if_cached(unsigned char *buf, size_t count) { return read_at(buf, count, 0); }

    void take(ExaminedFile &other) {
        std::swap(handle_, other.handle_);
        readable_ = other.readable_;
    }
    void close() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
    /* The status came from the handle that was read. */
    bool opened_is_examined() const { return true; }

    /* The handle that judged the file holds it already. */
    static bool pin() { return true; }
    static bool is_unchanged() { return true; }
    bool judged_identity(FileIdentity *identity) const {
        return identity_from_handle(handle_, identity);
    }

    /* Deletes the file judged, known in the directory as `file`. The entry
     * itself is opened with delete access (never the file a link leads to)
     * and, being the file this handle judged, renamed to the hidden name
     * that `make_aside` gives, never replacing anything, and then marked
     * for deletion there: its own name is free at once for a new download,
     * even while other programs still hold the old file, and a file renamed
     * over that name meanwhile is never touched. A crash in between leaves
     * a hidden leftover, which the next purge deletes or puts back. An entry
     * that is a link is left to the purge's move aside by name
     * (unsupported), which moves and deletes the link itself. */
    template <typename MakeAside> HandleDeletion delete_itself(AtRef file, MakeAside make_aside) {
        FileIdentity judged, found;
        DWORD attributes = 0;
        if (!judged_identity(&judged)) return HandleDeletion::refused;
        const ScopedHandle entry(open_entry_itself(file));
        if (!entry.is_open())
            return errno == ENOENT ? HandleDeletion::changed : HandleDeletion::refused;
        if (!identity_from_handle(entry.get(), &found, &attributes)) return HandleDeletion::refused;
        if (!same_identity(found, judged))
            return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? HandleDeletion::unsupported
                                                                    : HandleDeletion::changed;
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            errno = EACCES;
            return HandleDeletion::refused;
        }
        const AtRef aside = make_aside();
        if (!rename_entry(entry.get(), aside)) {
            /* No room for the hidden name, or no renaming through a handle
             * (as some network file systems): the held file is marked for
             * deletion under its own name. */
            if (!lacks_room(errno) && !is_unsupported(GetLastError()))
                return HandleDeletion::refused;
            return mark_for_deletion(entry.get()) ? HandleDeletion::deleted
                                                  : HandleDeletion::refused;
        }
        /* Wine renames by the path a handle was opened under, which a
         * native program may have given to another file since: that file
         * goes back. */
        if (!query_identity(aside, &found) || !same_identity(found, judged))
            return put_back(entry.get(), file, HandleDeletion::changed);
        if (mark_for_deletion(entry.get())) return HandleDeletion::deleted;
        return put_back(entry.get(), file, HandleDeletion::refused);
    }

  private:
    /* Renames the entry open as `entry` back to `file`, keeping errno, and
     * gives `outcome`; or hidden when the name has been taken meanwhile. */
    static HandleDeletion put_back(HANDLE entry, AtRef file, HandleDeletion outcome) {
        const int error = errno;
        if (!rename_entry(entry, file) && errno != ENOENT) return HandleDeletion::hidden;
        errno = error;
        return outcome;
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool readable_ = true;
};

/* rand_s draws from the system's random source (RtlGenRandom). */
uint64_t random_bits() {
    unsigned int high = 0, low = 0;
    rand_s(&high);
    rand_s(&low);
    return uint64_t{high} << 32 | low;
}

/* Windows reads each file's first bytes in turn, on the caller's thread. */
class ReadRing {
  public:
    static bool start(unsigned) { return false; }
    static bool started() { return false; }
    static void queue(const ExaminedFile &, unsigned char *, size_t, uint64_t) {}
    static bool enter(unsigned, bool, unsigned *) { return false; }
    static bool next_done(uint64_t *, long *) { return false; }
};

#else
/* ---- Runtime: POSIX ------------------------------------------------------
 *
 * Every call is made once, relative to a directory descriptor: a path is a
 * name relative to the current directory, so the same calls serve a PathRef
 * and the entries of an open directory (AtRef). */

using NativeChar = char;
/* Bytes of the longest name the listing gives, NUL included. */
constexpr size_t kLongestListedName = sizeof(dirent::d_name);
using PathRef = BasicPathRef<NativeChar>;
using ListedEntry = BasicListedEntry<NativeChar>;

/* Every thread has its own last-error text, zero-filled (empty) until a
 * failure is reported on it, gone when the thread ends. A plain array needs
 * no constructor or destructor, so loading the library runs none of its
 * code. */
thread_local char g_last_err[KTCACHE_LAST_ERROR_SIZE];

char *last_error_text() { return g_last_err; }

/* Opening never blocks (a FIFO or device swapped in after the status query
 * would otherwise hang the caller) and never leaks into a child process. */
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

/* Paths from the caller go to the file calls as the bytes they are. */
class CallerPath {
  public:
    explicit CallerPath(const char *path) : path_(path) {}
    const char *native() const { return path_; }

  private:
    const char *path_;
};

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

class OpenDirectory {
  public:
    explicit OpenDirectory(const char *path)
        : path_(path), dir_(opendir(path)), error_(dir_ == nullptr ? errno : 0) {}
    OpenDirectory(const OpenDirectory &) = delete;
    OpenDirectory &operator=(const OpenDirectory &) = delete;
    ~OpenDirectory() {
        if (dir_ != nullptr) closedir(dir_);
    }

    bool is_open() const { return dir_ != nullptr; }
    /* Why it could not be opened. */
    int error() const { return error_; }
    const char *native_path() const { return path_; }
    /* The stream's descriptor, for the calls relative to the directory. */
    int descriptor() const { return dirfd(dir_); }

    bool next(ListedEntry *entry, bool *failed) {
        errno = 0;
        const struct dirent *found = readdir(dir_);
        if (found == nullptr) {
            *failed = errno != 0;
            return false;
        }
        *entry = {found->d_name, found->d_name, is_known_non_regular(found)};
        return true;
    }

  private:
    const char *path_;
    DIR *dir_;
    int error_;
};

/* A name relative to an open directory, or a path relative to the current
 * directory. */
struct AtRef {
    using Dir = int;
    AtRef(int dir_fd, const char *entry_name) : dir(dir_fd), name(entry_name) {}
    AtRef(PathRef file) : dir(AT_FDCWD), name(file.path) {}
    int dir;
    const char *name;
};

FileStatus status_from(const struct stat &st) {
    constexpr int64_t kNanosecondsPerSecond = 1000000000;
    return {S_ISREG(st.st_mode),
            {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
             static_cast<int64_t>(st.st_size),
             static_cast<int64_t>(st.st_mtim.tv_sec) * kNanosecondsPerSecond + st.st_mtim.tv_nsec}};
}

/* Follows symbolic links. */
bool query_status(AtRef file, FileStatus *status) {
    struct stat st;
    if (fstatat(file.dir, file.name, &st, 0) != 0) return false;
    *status = status_from(st);
    return true;
}
bool query_identity(AtRef file, FileIdentity *identity) {
    FileStatus status;
    if (!query_status(file, &status)) return false;
    *identity = status.identity;
    return true;
}

/* The identity of the file open as `fd`. */
bool descriptor_identity(int fd, FileIdentity *identity) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    *identity = status_from(st).identity;
    return true;
}

/* A file as validation examines it: its status first, then, when that does
 * not condemn it already, its first bytes through a descriptor. */
class ExaminedFile {
  public:
    ExaminedFile() = default;
    ExaminedFile(const ExaminedFile &) = delete;
    ExaminedFile &operator=(const ExaminedFile &) = delete;
    ~ExaminedFile() { close(); }

    /* The status of `file`; false with errno set. */
    bool examine(AtRef file, FileStatus *status) {
        dir_ = file.dir;
        name_ = file.name;
        if (!query_status(file, &status_)) return false;
        *status = status_;
        return true;
    }

    /* Opens the file examined for reading; false with errno set. */
    bool open() {
        for (int attempt = 0; attempt < kInterruptedCallAttempts; ++attempt) {
            fd_ = openat(dir_, name_, kOpenFlags);
            if (fd_ >= 0 || errno != EINTR) break;
        }
        return fd_ >= 0;
    }
    long read_at(unsigned char *buf, size_t count, size_t offset) {
        return pread(fd_, buf, count, static_cast<off_t>(offset));
    }
    /* -1 with EAGAIN when the first bytes are not in memory: the read would
     * wait for the disk. Other failures, RWF_NOWAIT refused by the file
     * system among them, read as they are. */
    long read_if_cached(unsigned char *buf, size_t count) {
        struct iovec piece = {buf, count};
        return preadv2(fd_, &piece, 1, 0, RWF_NOWAIT);
    }
    int descriptor() const { return fd_; }

    /* The file `other` examined and opened, which it no longer holds. */
    void take(ExaminedFile &other) {
        std::swap(fd_, other.fd_);
        dir_ = other.dir_;
        name_ = other.name_;
        status_ = other.status_;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    /* Whether the file opened is the one whose status was examined. */
    bool opened_is_examined() const { return is_unchanged(); }

    /* Holds the file judged from now until the purge has decided, so that
     * its inode cannot pass to another file meanwhile: the descriptor that
     * read it, or, for a file judged by its status alone, one that only
     * refers to it (O_PATH, which needs no read permission). False, with
     * errno set, when it cannot be held. Whether the file held is the one
     * judged, is_unchanged() tells before anything is done to it. */
    bool pin() {
        if (fd_ < 0) fd_ = openat(dir_, name_, O_PATH | O_CLOEXEC);
        return fd_ >= 0;
    }
    /* Whether the file held is still as it was judged: the same file, of
     * the same size, modified at the same moment. */
    bool is_unchanged() const {
        FileIdentity now;
        return descriptor_identity(fd_, &now) && same_identity(now, status_.identity);
    }
    bool judged_identity(FileIdentity *identity) const {
        *identity = status_.identity;
        return true;
    }

    /* A descriptor cannot delete its file: the purge moves it aside. */
    template <typename Ref, typename MakeAside>
    static HandleDeletion delete_itself(Ref, MakeAside) {
        return HandleDeletion::unsupported;
    }

  private:
    int dir_ = AT_FDCWD;
    const char *name_ = nullptr;
    int fd_ = -1;
    FileStatus status_{};
};

/* unlink, unlike remove, can never take away a directory that has replaced
 * the file since it was examined. */
bool delete_file(AtRef file) { return unlinkat(file.dir, file.name, 0) == 0; }

/* Renames an entry to a name that must not exist, refusing to replace one
 * that does. `cannot_refuse` is set when the file system cannot refuse
 * (RENAME_NOREPLACE is not supported there). */
bool rename_without_replacing(AtRef from, AtRef to, bool *cannot_refuse) {
    *cannot_refuse = false;
#ifdef RENAME_NOREPLACE
    if (renameat2(from.dir, from.name, to.dir, to.name, RENAME_NOREPLACE) == 0) return true;
    *cannot_refuse = errno == EINVAL || errno == ENOSYS;
#else
    *cannot_refuse = true;
#endif
    return false;
}

/* Moves an entry aside to a fresh name of the purge's own; where the file
 * system cannot refuse to replace, a plain rename does, since nothing else
 * takes such a name. */
bool move_aside(AtRef from, AtRef to) {
    bool cannot_refuse;
    if (rename_without_replacing(from, to, &cannot_refuse)) return true;
    return cannot_refuse && renameat(from.dir, from.name, to.dir, to.name) == 0;
}

/* Whether nothing at all, not even a dangling link, has the name `file`. */
bool is_name_free(AtRef file) {
    struct stat st;
    return fstatat(file.dir, file.name, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

/* Puts an entry back under its old name, never replacing a file that has
 * taken that name meanwhile; where the file system cannot refuse, a new link
 * (which never replaces) and the removal of the aside name do the same.
 * Where it can do neither (exFAT and FAT through FUSE), a plain rename puts
 * the entry back once the old name is found free: only a file that takes the
 * name in the moment between that check and the rename is replaced. False
 * leaves the entry where it is. */
bool move_back(AtRef from, AtRef to) {
    bool cannot_refuse;
    if (rename_without_replacing(from, to, &cannot_refuse)) return true;
    if (!cannot_refuse) return false;
    if (linkat(from.dir, from.name, to.dir, to.name, 0) == 0) {
        unlinkat(from.dir, from.name, 0);
        return true;
    }
    const bool cannot_link = errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS;
    if (!cannot_link) return false;
    if (!is_name_free(to)) {
        errno = EEXIST;
        return false;
    }
    return renameat(from.dir, from.name, to.dir, to.name) == 0;
}

/* Errors that say there is no room for one more name in the directory. */
bool lacks_room(int error) { return error == ENOSPC || error == EDQUOT; }

/* getrandom never blocks once the system has booted; should it fail, the
 * clock and the address of this thread's text stand in, which still differ
 * between purgers in all but contrived cases. */
uint64_t random_bits() {
    uint64_t bits;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits))
        return bits;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15u ^
           static_cast<uint64_t>(now.tv_sec) ^ reinterpret_cast<uintptr_t>(&g_last_err);
}

/* Reads kept in flight by the kernel (io_uring), so that a cache whose files
 * are not in memory keeps the disk busy while the caller's thread goes on.
 * Made on first need and torn down with its walk. The kernel reads a file
 * itself where the file system can read without blocking, and otherwise in
 * worker threads of its own (io-wq); the library starts no thread. start()
 * fails where io_uring is unavailable: disabled, refused by a seccomp
 * filter, or short of descriptors or locked memory. */
class ReadRing {
  public:
    ReadRing() = default;
    ReadRing(const ReadRing &) = delete;
    ReadRing &operator=(const ReadRing &) = delete;
    ~ReadRing() { stop(); }

    bool start(unsigned entries) {
        io_uring_params params{};
        const long fd = syscall(SYS_io_uring_setup, entries, &params);
        if (fd < 0) return false;
        fd_ = static_cast<int>(fd);
        submission_size_ = params.sq_off.array + params.sq_entries * sizeof(unsigned);
        completion_size_ = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
        sqes_size_ = params.sq_entries * sizeof(io_uring_sqe);
        submission_ = map(submission_size_, IORING_OFF_SQ_RING);
        completion_ = map(completion_size_, IORING_OFF_CQ_RING);
        sqes_ = static_cast<io_uring_sqe *>(map(sqes_size_, IORING_OFF_SQES));
        if (submission_ == nullptr || completion_ == nullptr || sqes_ == nullptr) {
            stop();
            return false;
        }
        char *sq = static_cast<char *>(submission_);
        char *cq = static_cast<char *>(completion_);
        sq_tail_ = reinterpret_cast<unsigned *>(sq + params.sq_off.tail);
        sq_mask_ = *reinterpret_cast<unsigned *>(sq + params.sq_off.ring_mask);
        sq_array_ = reinterpret_cast<unsigned *>(sq + params.sq_off.array);
        cq_head_ = reinterpret_cast<unsigned *>(cq + params.cq_off.head);
        cq_tail_ = reinterpret_cast<unsigned *>(cq + params.cq_off.tail);
        cq_mask_ = *reinterpret_cast<unsigned *>(cq + params.cq_off.ring_mask);
        cqes_ = reinterpret_cast<io_uring_cqe *>(cq + params.cq_off.cqes);
        return true;
    }
    bool started() const { return fd_ >= 0; }

    /* Queues a read of the first `count` bytes of `file` into `buf`; `tag`
     * comes back with its result. The ring holds as many as it was started
     * with. */
    void queue(const ExaminedFile &file, unsigned char *buf, size_t count, uint64_t tag) {
        const unsigned tail = *sq_tail_;
        const unsigned slot = tail & sq_mask_;
        io_uring_sqe &read = sqes_[slot];
        std::memset(&read, 0, sizeof read);
        read.opcode = IORING_OP_READ;
        read.fd = file.descriptor();
        read.addr = reinterpret_cast<uintptr_t>(buf);
        read.len = static_cast<uint32_t>(count);
        read.user_data = tag;
        sq_array_[slot] = slot;
        __atomic_store_n(sq_tail_, tail + 1, __ATOMIC_RELEASE);
    }

    /* Hands the `queued` reads to the kernel and, with `wait`, waits until
     * one has finished. Reads the kernel refused are taken back out of the
     * queue: `taken_back` counts them, the last ones queued. False when
     * entering failed. */
    bool enter(unsigned queued, bool wait, unsigned *taken_back) {
        *taken_back = 0;
        for (int attempt = 0; attempt < kInterruptedCallAttempts; ++attempt) {
            const long taken = syscall(SYS_io_uring_enter, fd_, queued, wait ? 1 : 0,
                                       wait ? IORING_ENTER_GETEVENTS : 0, nullptr, 0);
            if (taken >= 0) {
                queued -= static_cast<unsigned>(taken);
                if (queued == 0) return true;
                if (taken == 0) break;
                wait = false;
                continue;
            }
            if (errno != EINTR) break;
        }
        /* Without SQPOLL only io_uring_enter consumes the queue, so the
         * reads left in it can be withdrawn. */
        *taken_back = queued;
        __atomic_store_n(sq_tail_, *sq_tail_ - queued, __ATOMIC_RELEASE);
        return false;
    }

    /* The tag and result (bytes read, or -errno) of a read that finished;
     * false when none has. */
    bool next_done(uint64_t *tag, long *result) {
        if (fd_ < 0) return false;
        const unsigned head = *cq_head_;
        if (head == __atomic_load_n(cq_tail_, __ATOMIC_ACQUIRE)) return false;
        const io_uring_cqe &done = cqes_[head & cq_mask_];
        *tag = done.user_data;
        *result = done.res;
        __atomic_store_n(cq_head_, head + 1, __ATOMIC_RELEASE);
        return true;
    }

  private:
    void *map(size_t size, off_t offset) {
        void *at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, offset);
        return at != MAP_FAILED ? at : nullptr;
    }
    void stop() {
        if (sqes_ != nullptr) munmap(sqes_, sqes_size_);
        if (completion_ != nullptr) munmap(completion_, completion_size_);
        if (submission_ != nullptr) munmap(submission_, submission_size_);
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        sqes_ = nullptr;
        completion_ = submission_ = nullptr;
    }

    int fd_ = -1;
    void *submission_ = nullptr;
    void *completion_ = nullptr;
    io_uring_sqe *sqes_ = nullptr;
    size_t submission_size_ = 0, completion_size_ = 0, sqes_size_ = 0;
    unsigned *sq_tail_ = nullptr, *sq_array_ = nullptr;
    unsigned *cq_head_ = nullptr, *cq_tail_ = nullptr;
    unsigned sq_mask_ = 0, cq_mask_ = 0;
    io_uring_cqe *cqes_ = nullptr;
};

#endif /* runtime */

} // namespace

/* =========================================================================
 * 3. Last-error text, version and release
 * ========================================================================= */

namespace {

void set_last_error(Message message) { std::memcpy(last_error_text(), message.text, message.size); }

constexpr char kVersionText[] = KTCACHE_VERSION_STRING;

} // namespace

const char *ktcache_version(void) { return kVersionText; }

int32_t ktcache_abi_version(void) { return KTCACHE_ABI_VERSION; }

const char *ktcache_last_error(void) { return last_error_text(); }

void ktcache_free(void *block) { std::free(block); }

/* =========================================================================
 * 4. Audio header recognition
 * ========================================================================= */

namespace {

/* Header recognition looks at no more than the first 8 bytes, but refuses
 * anything shorter than 12. */
constexpr size_t kMagicMinLength = 12;

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
 * 5. File access on every runtime
 *
 * Reading a file's first bytes, and how a scan names the entries of its
 * directory: AtDirectory, relative to the open directory, so that no call
 * walks the directory's path again and a directory renamed during the scan
 * is still the one scanned; or JoinedPath, "dir_path/name", the file access
 * of platforms that cannot work relative to a directory. `EntryNaming` is
 * the one this build uses; KTCACHE_PORTABLE_FILE_ACCESS selects JoinedPath
 * on POSIX systems, so that both are tested there. Validation and the scan
 * are written once for either.
 * ========================================================================= */

namespace {

/* The first bytes of an open file. `complete` tells whether the read reached
 * `capacity` bytes or the end of the file; a read error leaves it false.
 * Reading goes on from `got` bytes read already. */
struct Prefix {
    size_t length;
    bool complete;
};

Prefix read_prefix(ExaminedFile &file, unsigned char *buf, size_t capacity, size_t got = 0) {
    int interruptions = 0;
    while (got < capacity) {
        long n = file.read_at(buf + got, capacity - got, got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR || ++interruptions == kInterruptedCallAttempts) {
            return {got, false};
        }
    }
    return {got, true};
}

/* "dir_path/name" in one buffer that serves a whole walk: the directory
 * prefix and "/" are written once, each name is copied in behind them. The
 * buffer is allocated on first use and again after a failure, so that
 * running short of memory once costs one entry, not the rest of the walk. */
class PathBuffer {
  public:
    explicit PathBuffer(const NativeChar *dir_path)
        : dir_path_(dir_path), prefix_length_(Traits::length(dir_path) + 1) {}
    PathBuffer(const PathBuffer &) = delete;
    PathBuffer &operator=(const PathBuffer &) = delete;
    ~PathBuffer() { std::free(buf_); }

    /* "dir_path/name", or a null path when memory runs out. */
    PathRef join(const NativeChar *name) {
        const size_t name_size = Traits::length(name) + 1;
        if (buf_ == nullptr) {
            if (!reserve(prefix_length_ + (name_size > kNameRoom ? name_size : kNameRoom)))
                return {nullptr};
            Traits::copy(buf_, dir_path_, prefix_length_ - 1);
            buf_[prefix_length_ - 1] = '/';
        } else if (!reserve(prefix_length_ + name_size)) {
            return {nullptr};
        }
        Traits::copy(buf_ + prefix_length_, name, name_size);
        return {buf_};
    }

  private:
    using Traits = std::char_traits<NativeChar>;
    /* Enough for any name a common file system allows (NAME_MAX + NUL). */
    static constexpr size_t kNameRoom = 256;

    bool reserve(size_t capacity) {
        if (capacity <= capacity_) return true;
        void *grown = std::realloc(buf_, capacity * sizeof(NativeChar));
        if (grown == nullptr) return false;
        buf_ = static_cast<NativeChar *>(grown);
        capacity_ = capacity;
        return true;
    }

    const NativeChar *dir_path_;
    size_t prefix_length_;
    NativeChar *buf_ = nullptr;
    size_t capacity_ = 0;
};

/* Naming: each entry is reached by its bare name relative to the directory
 * the scan opened, whatever happens to the directory's path meanwhile, and
 * even where the joined path would be too long. */
class AtDirectory {
  public:
    using Ref = AtRef;

    explicit AtDirectory(const OpenDirectory &dir) : dir_(dir.descriptor()) {}

    AtRef entry(const NativeChar *name) const { return {dir_, name}; }
    AtRef aside(const NativeChar *name) const { return {dir_, name}; }
    static bool is_reachable(AtRef) { return true; }

  private:
    AtRef::Dir dir_;
};

/* Naming: each entry is reached as "dir_path/name". An entry and the name a
 * purge moves it aside to are joined in buffers of their own, so that both
 * paths stay valid together. */
class JoinedPath {
  public:
    using Ref = PathRef;

    explicit JoinedPath(const OpenDirectory &dir)
        : entry_(dir.native_path()), aside_(dir.native_path()) {}

    PathRef entry(const NativeChar *name) { return entry_.join(name); }
    PathRef aside(const NativeChar *name) { return aside_.join(name); }
    /* False when the path could not be built for lack of memory. */
    static bool is_reachable(PathRef file) { return file.path != nullptr; }

  private:
    PathBuffer entry_;
    PathBuffer aside_;
};

#ifdef KTCACHE_PORTABLE_FILE_ACCESS
using EntryNaming = JoinedPath;
#else
using EntryNaming = AtDirectory;
#endif

} // namespace

/* =========================================================================
 * 6. Cached file validation
 * ========================================================================= */

namespace {

/* Validation results besides the format codes. */
constexpr int32_t kValidationError = -1;
constexpr int32_t kValidationRejected = 0;

/* Validation reads up to this many bytes of a file's start. */
constexpr size_t kHeaderReadSize = 64;

/* What a scan may do with a file besides its validation result. Only a
 * verdict the scan reached itself condemns a file: a file that was not there
 * for a moment, or that could not be opened or read for a reason of its own
 * (a lease, an I/O error), is neither listed nor purged; when the process or
 * the system runs out of descriptors or memory, every later file would fail
 * alike, and no report is better than one that shows the cache as empty. */
enum class Verdict {
    valid,     /* listed */
    broken,    /* too small, unreadable, or no audio header: purged on request */
    gone,      /* no longer there */
    unknown,   /* could not be judged this time */
    exhausted, /* could not be judged for lack of descriptors or memory */
};

struct Judgement {
    int32_t code; /* the validation result: -1, 0 or a format code */
    Verdict verdict;
    Message message; /* what ktcache_validate_file() reports */
    int error;       /* the errno behind a result of -1 */
};

/* What a failure to query or open a file says about it. */
Verdict verdict_of_error(int error) {
    switch (error) {
    case EACCES:
    case EPERM: return Verdict::broken;
    case ENOENT: return Verdict::gone;
    case EMFILE:
    case ENFILE:
    case ENOMEM: return Verdict::exhausted;
    default: return Verdict::unknown;
    }
}

/* What a file's status alone says: false when its first bytes must decide. */
bool judge_by_status(const FileStatus &status, int64_t min_size, Judgement *judged) {
    if (!status.is_regular) {
        *judged = {kValidationRejected, Verdict::broken, kErrNotRegular, 0};
    } else if (status.identity.size < min_size) {
        *judged = {kValidationRejected, Verdict::broken, kErrBelowMinimum, 0};
    } else {
        return false;
    }
    return true;
}

Judgement judge_open_failure(int error) {
    return {kValidationError, verdict_of_error(error), kErrOpen, error};
}

/* Judges the first bytes read, `read_error` being the errno of a read that
 * did not complete. With `confirm_identity`, a header that condemns the file
 * counts only when the file read is the one whose status was examined. */
Judgement judge_header(ExaminedFile &file, const unsigned char *header, Prefix prefix,
                       int read_error, bool confirm_identity) {
    const ktcache_format format = detect_format(header, prefix.length);
    if (format != KTCACHE_FORMAT_INVALID) return {format, Verdict::valid, kNoError, 0};
    Verdict verdict = prefix.complete ? Verdict::broken : Verdict::unknown;
    if (verdict == Verdict::broken && confirm_identity && !file.opened_is_examined())
        verdict = Verdict::unknown;
    return {kValidationRejected, verdict, kErrUnrecognized, prefix.complete ? 0 : read_error};
}

/* Judges a file already examined, whose status is `status`. */
Judgement check_file(ExaminedFile &file, const FileStatus &status, int64_t min_size) {
    Judgement judged;
    if (judge_by_status(status, min_size, &judged)) return judged;
    if (!file.open()) return judge_open_failure(errno);
    unsigned char header[kHeaderReadSize];
    const Prefix prefix = read_prefix(file, header, sizeof header);
    return judge_header(file, header, prefix, errno, false);
}

/* The message of a file that could not be examined: one that another
 * program holds (EAGAIN) was found but could not be opened. */
Message examine_failure_message(int error) { return error == EAGAIN ? kErrOpen : kErrStat; }

int64_t effective_min_size(int64_t min_size) {
    return min_size > 0 ? min_size : KTCACHE_DEFAULT_MIN_SIZE;
}

} // namespace

int32_t ktcache_core::validate_file(const char *path, int64_t min_size, int *error) {
    *error = 0;
    if (path == nullptr || path[0] == '\0') {
        set_last_error(kErrEmptyPath);
        return kValidationError;
    }
    const CallerPath native(path);
    const PathRef file = {native.native()};
    ExaminedFile examined;
    FileStatus status;
    if (file.path == nullptr) {
        *error = ENOMEM;
        set_last_error(kErrStat);
        return kValidationError;
    }
    if (!examined.examine(file, &status)) {
        *error = errno;
        set_last_error(examine_failure_message(*error));
        return kValidationError;
    }
    const Judgement judged = check_file(examined, status, effective_min_size(min_size));
    *error = judged.error;
    set_last_error(judged.message);
    return judged.code;
}

int32_t ktcache_validate_file(const char *path, int64_t min_size) {
    int error;
    return ktcache_core::validate_file(path, min_size, &error);
}

/* =========================================================================
 * 7. UTF-8 sequences
 * ========================================================================= */

namespace {

/* What may follow each lead byte in well-formed UTF-8: the sequence's length
 * and the range of its second byte, which rules out overlong forms,
 * surrogates and code points beyond U+10FFFF. Later bytes are 80..BF. A
 * length of 0 marks a byte that cannot begin a sequence. */
struct LeadByte {
    unsigned char length, second_min, second_max;
};
constexpr std::array<LeadByte, 256> make_lead_byte_table() {
    std::array<LeadByte, 256> table{};
    for (int b = 0x00; b <= 0x7F; ++b) table[b] = {1, 0, 0};
    for (int b = 0xC2; b <= 0xDF; ++b) table[b] = {2, 0x80, 0xBF};
    for (int b = 0xE0; b <= 0xEF; ++b) table[b] = {3, 0x80, 0xBF};
    table[0xE0] = {3, 0xA0, 0xBF};
    table[0xED] = {3, 0x80, 0x9F};
    for (int b = 0xF0; b <= 0xF4; ++b) table[b] = {4, 0x80, 0xBF};
    table[0xF0] = {4, 0x90, 0xBF};
    table[0xF4] = {4, 0x80, 0x8F};
    return table;
}
constexpr std::array<LeadByte, 256> kLeadByte = make_lead_byte_table();

/* The length of the well-formed sequence that starts at `s`, or 0 when none
 * does. Reads nothing at or beyond `end`. */
size_t utf8_sequence_length(const unsigned char *s, const unsigned char *end) {
    const LeadByte lead = kLeadByte[s[0]];
    if (lead.length <= 1) return lead.length;
    if (static_cast<size_t>(end - s) < lead.length) return 0;
    if (s[1] < lead.second_min || s[1] > lead.second_max) return 0;
    for (size_t i = 2; i < lead.length; ++i)
        if ((s[i] & 0xC0) != 0x80) return 0;
    return lead.length;
}

/* Walks the `length` bytes at `text` and hands the offset of each byte that
 * belongs to no well-formed sequence to `stray`, which may overwrite that
 * byte and returns whether to go on. Returns whether the walk reached the
 * end. Never reads beyond the bytes, whatever follows. */
template <typename Stray> bool walk_utf8(const char *text, size_t length, Stray stray) {
    const auto *begin = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *s = begin, *end = begin + length;
    /* Names are mostly ASCII: eight bytes at a time while they are. */
    constexpr uint64_t kHighBits = 0x8080808080808080u;
    for (;;) {
        for (uint64_t word; end - s >= 8; s += 8) {
            std::memcpy(&word, s, sizeof word);
            if ((word & kHighBits) != 0) break;
        }
        while (s < end && *s < 0x80) ++s;
        if (s == end) return true;
        const size_t n = utf8_sequence_length(s, end);
        if (n == 0 && !stray(static_cast<size_t>(s - begin))) return false;
        s += n == 0 ? 1 : n;
    }
}

/* Whether `length` bytes at `text` are well-formed UTF-8. */
bool is_well_formed_utf8(const char *text, size_t length) {
    return walk_utf8(text, length, [](size_t) { return false; });
}

/* The largest cut at or before `cut` that splits no well-formed sequence of
 * the `length` bytes at `text`. */
size_t character_boundary(const char *text, size_t length, size_t cut) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    for (size_t back = 1; back <= 3 && back <= cut; ++back) {
        if ((s[cut - back] & 0xC0) == 0x80) continue;
        return utf8_sequence_length(s + cut - back, s + length) > back ? cut - back : cut;
    }
    return cut;
}

} // namespace

size_t ktcache_core::utf8_decode(const char *text, size_t length, char32_t *code_point) {
    if (length == 0) return 0;
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    const size_t n = utf8_sequence_length(s, s + length);
    if (n == 0) return 0;
    /* The lead byte keeps 7, 5, 4 or 3 bits; each later byte adds 6. */
    char32_t c = n == 1 ? s[0] : s[0] & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) c = c << 6 | (s[i] & 0x3F);
    *code_point = c;
    return n;
}

/* =========================================================================
 * 8. Download naming
 * ========================================================================= */

namespace {

/* The name of a download whose URL yields nothing usable. */
constexpr char kFallbackName[] = "track.m4a";
/* What stands in for a byte that is unsafe in a file name. */
constexpr char kReplacementByte = '_';

/* Steps after decoding add at most this many bytes to a name: "_" before a
 * leading dot or after a device name, never both (a name that begins with
 * "_" is no device name). */
constexpr size_t kMaxInsertedBytes = 1;

/* No common file system stores a longer name. */
constexpr size_t kMaxNameLength = 255;
/* A long name keeps its extension when this is at most so many bytes. */
constexpr size_t kMaxKeptExtension = 16;

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

/* Writes the replacement byte over every byte that belongs to no well-formed
 * UTF-8 sequence: such a name has no form on file systems that store
 * Unicode names, and the scan's report cannot hold it. */
void replace_stray_bytes(char *name, size_t length) {
    walk_utf8(name, length, [name](size_t i) {
        name[i] = kReplacementByte;
        return true;
    });
}

/* Inserts the replacement byte at offset `at` of the name; the block has
 * room for it. Returns the new length. */
size_t insert_replacement_byte(char *name, size_t length, size_t at) {
    std::memmove(name + at + 1, name + at, length - at);
    name[at] = kReplacementByte;
    return length + 1;
}

/* A name that begins with "." is hidden, and the scan passes over hidden
 * files: "_" goes in front of it. Returns the new length. */
size_t unhide_name(char *name, size_t length) {
    return length > 0 && name[0] == '.' ? insert_replacement_byte(name, length, 0) : length;
}

/* Stems that Windows opens as a device, not a file, whatever follows the
 * first "."; matched without regard to ASCII case. COM and LPT take a digit
 * or a superscript one, two or three (in UTF-8). */
constexpr const char *kDeviceStems[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
constexpr const char *kNumberedDevices[] = {"com", "lpt"};
// clang-format off
constexpr const char *kDeviceNumbers[] = {
    "0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
    "\xC2\xB9", "\xC2\xB2", "\xC2\xB3", /* superscript one, two, three */
};
// clang-format on
constexpr size_t kLongestDeviceStem = sizeof "conout$" - 1;
/* Every device name begins with three letters. */
constexpr size_t kDevicePrefixLength = 3;

constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/* The first three bytes of `text`, lower-cased, as one number. */
constexpr uint32_t device_prefix_key(const char *text) {
    uint32_t key = 0;
    for (size_t i = 0; i < kDevicePrefixLength; ++i)
        key = key << 8 | static_cast<unsigned char>(ascii_lower(text[i]));
    return key;
}

/* The keys of the three letters that begin each device name. */
constexpr size_t kDeviceFamilies = std::size(kDeviceStems) + std::size(kNumberedDevices);
constexpr std::array<uint32_t, kDeviceFamilies> make_device_prefix_table() {
    std::array<uint32_t, kDeviceFamilies> table{};
    size_t n = 0;
    for (const char *device : kDeviceStems) table[n++] = device_prefix_key(device);
    for (const char *device : kNumberedDevices) table[n++] = device_prefix_key(device);
    return table;
}
constexpr std::array<uint32_t, kDeviceFamilies> kDevicePrefixKeys = make_device_prefix_table();

/* Whether the `length` bytes at `name` begin as some device name does;
 * nearly every name fails here, before its stem is sought. */
bool may_be_device_name(const char *name, size_t length) {
    if (length < kDevicePrefixLength) return false;
    const uint32_t key = device_prefix_key(name);
    for (uint32_t device : kDevicePrefixKeys)
        if (key == device) return true;
    return false;
}

bool is_device_stem(const char *stem, size_t length) {
    if (length > kLongestDeviceStem) return false;
    char lower[kLongestDeviceStem + 1] = {};
    for (size_t i = 0; i < length; ++i) lower[i] = ascii_lower(stem[i]);
    for (const char *device : kDeviceStems)
        if (std::strcmp(lower, device) == 0) return true;
    for (const char *device : kNumberedDevices) {
        if (std::strncmp(lower, device, kDevicePrefixLength) != 0) continue;
        for (const char *number : kDeviceNumbers)
            if (std::strcmp(lower + kDevicePrefixLength, number) == 0) return true;
    }
    return false;
}

/* A name whose stem (up to its first ".", trailing spaces aside) is a device
 * name gets "_" right after the stem, on every platform: a cache moves
 * between systems. Returns the new length. */
size_t defuse_device_name(char *name, size_t length) {
    if (!may_be_device_name(name, length)) return length;
    size_t stem = 0;
    for (size_t i = 0; i < length && name[i] != '.'; ++i) {
        if (name[i] == ' ') continue;
        stem = i + 1;
        if (stem > kLongestDeviceStem) return length;
    }
    return is_device_stem(name, stem) ? insert_replacement_byte(name, length, stem) : length;
}

/* FNV-1a, 32 bits: a digest that is the same on every platform. */
uint32_t fnv1a_32(const char *text, size_t length) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(text[i]);
        hash *= 16777619u;
    }
    return hash;
}

/* Shortens a name longer than kMaxNameLength in place: the extension (the
 * last "." and at most kMaxKeptExtension bytes after it, unless it is the
 * whole name) stays, the rest is cut at a character boundary, and "~" with
 * the digest of the whole long name goes in between, so that long names
 * that share their beginning stay apart. Returns the new length. */
size_t shorten_long_name(char *name, size_t length) {
    if (length <= kMaxNameLength) return length;
    size_t extension = 0;
    for (size_t i = length; i-- > 1 && length - i - 1 <= kMaxKeptExtension;) {
        if (name[i] == '.') {
            extension = length - i;
            break;
        }
    }
    char digest[sizeof "~12345678"];
    std::snprintf(digest, sizeof digest, "~%08lx",
                  static_cast<unsigned long>(fnv1a_32(name, length)));
    const size_t digest_length = sizeof digest - 1;
    const size_t stem =
        character_boundary(name, length, kMaxNameLength - digest_length - extension);
    std::memmove(name + stem + digest_length, name + length - extension, extension);
    std::memcpy(name + stem, digest, digest_length);
    return stem + digest_length + extension;
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

    /* Decoding never lengthens the segment, and the steps after it add at
     * most kMaxInsertedBytes; the block also has room for the fallback name
     * so that a name trimmed to nothing needs no second block. */
    const size_t capacity = std::max(segment_length + kMaxInsertedBytes, sizeof kFallbackName - 1);
    auto *name = static_cast<char *>(std::malloc(capacity + 1));
    if (name == nullptr) return nullptr;

    size_t length = decode_segment(url + start, segment_length, name);
    while (length > 0 && (name[length - 1] == ' ' || name[length - 1] == '.')) --length;
    replace_stray_bytes(name, length);
    length = unhide_name(name, length);
    length = defuse_device_name(name, length);
    length = shorten_long_name(name, length);
    if (length == 0) {
        std::memcpy(name, kFallbackName, sizeof kFallbackName);
    } else {
        name[length] = '\0';
    }
    return name;
}

/* =========================================================================
 * 9. Report text (JSON writing on the C heap)
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

    /* Room for `count` more bytes, so that as many put_reserved() calls
     * need no check of their own. */
    void reserve_more(size_t count) {
        if (capacity_ - size_ < count) grow(size_ + count);
    }
    void put_reserved(char c) { data_[size_++] = c; }
    void put_reserved(const char *bytes, size_t count) {
        std::memcpy(data_ + size_, bytes, count);
        size_ += count;
    }

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

/* The writer announces how much room each string or number may take
 * (PutReserve) and then puts its bytes unchecked (PutUnsafe); by default a
 * stream ignores the first and checks every byte of the second. These
 * overloads, found by argument-dependent lookup, let the report check its
 * room once per value instead of once per byte. */
inline void PutReserve(HeapText &text, size_t count) { text.reserve_more(count); }
inline void PutUnsafe(HeapText &text, char c) { text.put_reserved(c); }

/* Compact output. Names reach the writer only once they are known to be
 * well-formed UTF-8 (is_well_formed_utf8); the writer's own check is not
 * used, since it reads on past the end of a name that ends inside a
 * multibyte sequence. */
template <typename Stream>
using JsonWriter = rapidjson::Writer<Stream, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                     ThrowingHeapAllocator, rapidjson::kWriteNoFlags>;

/* The writer of the report. */
using ReportWriter = JsonWriter<HeapText>;

/* Bytes a JSON string must escape: the quotation mark, the backslash and the
 * control bytes. Every other byte, DEL and non-ASCII included, is written as
 * it is. */
constexpr std::array<bool, 256> make_escaped_byte_table() {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = true;
    table['"'] = table['\\'] = true;
    return table;
}
constexpr std::array<bool, 256> kEscapedByte = make_escaped_byte_table();

} // namespace

/* RapidJSON writes a string byte by byte, asking this member before each
 * byte whether the string goes on; a byte that needs an escape is then
 * escaped by RapidJSON itself. Specialised for the report's writer (as
 * RapidJSON specialises it for its own string buffer), it first copies the
 * run of bytes that need no escape at once, into the room that the writer
 * reserved for the whole string. */
template <>
inline bool ReportWriter::ScanWriteUnescapedString(rapidjson::StringStream &is, size_t length) {
    const char *run = is.src_;
    const char *end = is.head_ + length;
    const char *p = run;
    while (p < end && !kEscapedByte[static_cast<unsigned char>(*p)]) ++p;
    os_->put_reserved(run, static_cast<size_t>(p - run));
    is.src_ = p;
    return p < end;
}

namespace {

/* The report nests three levels deep at most. */
constexpr size_t kWriterDepth = 4;

/* Room for the report's opening, written last in front of the list: the
 * braces and keys (about 50 bytes) and three numbers of at most 20 digits. */
constexpr size_t kReportOpeningSize = 128;

template <size_t N> bool write_key(ReportWriter &writer, const char (&key)[N]) {
    return writer.Key(key, static_cast<rapidjson::SizeType>(N - 1));
}

using ktcache_core::Shortfall;

/* The report under construction: the counts, and the list written so far.
 * Once any part cannot be written the report is marked incomplete and stays
 * so: a report is either complete or not produced at all. */
class Report {
  public:
    Report() : writer_(text_, &allocator_, kWriterDepth) {}

    /* Counts a valid file and lists it. False when its name is not
     * well-formed UTF-8, which no report can hold. */
    bool add_valid(const char *name, int64_t bytes, const char *format) noexcept {
        ++valid_count_;
        /* Saturate rather than overflow: sparse files can claim any size. */
        if (bytes > 0 && total_bytes_ > INT64_MAX - bytes) {
            total_bytes_ = INT64_MAX;
        } else {
            total_bytes_ += bytes;
        }
        const size_t name_length = std::strlen(name);
        if (!is_well_formed_utf8(name, name_length)) {
            mark_incomplete(Shortfall::name_not_utf8);
            return false;
        }
        if (shortfall_ != Shortfall::none) return true;
        try {
            open_list();
            bool ok = writer_.StartObject() && write_key(writer_, "name") &&
                      writer_.String(name, static_cast<rapidjson::SizeType>(name_length)) &&
                      write_key(writer_, "bytes") && writer_.Int64(bytes) &&
                      write_key(writer_, "format") && writer_.String(format) && writer_.EndObject();
            if (!ok) mark_incomplete(Shortfall::out_of_resources);
        } catch (...) {
            mark_incomplete(Shortfall::out_of_resources);
        }
        return true;
    }

    void count_purged() { ++purged_count_; }

    /* No report is produced; the first reason is kept. */
    void mark_incomplete(Shortfall why) {
        if (shortfall_ == Shortfall::none) shortfall_ = why;
    }

    Shortfall shortfall() const { return shortfall_; }
    uint64_t valid_count() const { return valid_count_; }
    uint64_t purged_count() const { return purged_count_; }
    int64_t total_bytes() const { return total_bytes_; }

    /* The finished report for the caller, or null when it is incomplete or
     * memory ran out. The opening holds only fixed keys and integers, which
     * need neither escaping nor a UTF-8 check, so it is formatted directly
     * into the room left for it, and the list is moved up against it. */
    char *finish() noexcept {
        if (shortfall_ != Shortfall::none) return nullptr;
        char *text = write_opening();
        if (text == nullptr) mark_incomplete(Shortfall::out_of_resources);
        return text;
    }

  private:
    char *write_opening() noexcept {
        try {
            open_list();
            if (!writer_.EndArray()) return nullptr;
            char opening[kReportOpeningSize];
            const int length = std::snprintf(
                opening, sizeof opening,
                "{\"validCount\":%llu,\"purgedCount\":%llu,\"totalBytes\":%lld,\"files\":",
                static_cast<unsigned long long>(valid_count_),
                static_cast<unsigned long long>(purged_count_),
                static_cast<long long>(total_bytes_));
            if (length < 0 || static_cast<size_t>(length) >= sizeof opening) return nullptr;
            text_.splice(0, kReportOpeningSize, opening, static_cast<size_t>(length));
            text_.Put('}');
            return text_.release();
        } catch (...) {
            return nullptr;
        }
    }

    void open_list() {
        if (!opened_) {
            opened_ = true;
            text_.append_room(kReportOpeningSize);
            writer_.StartArray();
        }
    }

    uint64_t valid_count_ = 0;
    uint64_t purged_count_ = 0;
    int64_t total_bytes_ = 0;
    ThrowingHeapAllocator allocator_;
    HeapText text_;
    ReportWriter writer_;
    bool opened_ = false;
    Shortfall shortfall_ = Shortfall::none;
};

} // namespace

/* =========================================================================
 * 10. Cache directory walk, scan and purge
 *
 * One walk serves every view of the cache: the report of
 * ktcache_scan_dir_json(), and the ktcache command, which watches the same
 * walk entry by entry (ktcache_walk.h). The walk judges each entry once and,
 * in a purge, acts on exactly the file it judged.
 * ========================================================================= */

namespace {

namespace core = ktcache_core;

/* A purge moves each file it deletes to a hidden name of its own first (see
 * delete_judged). The name tells what it holds and is unique:
 *
 *   .ktcache-purge-<16 hex digits>=<the entry's own name>
 *   .ktcache-purge-<16 hex digits>~<8 hex digits>   where the first form
 *                                     would be longer than a name may be
 *
 * The 16 digits are random bits read once per scan, counted up for every
 * name the scan makes, so that no two purgers choose the same name, not
 * even processes with the same pid and thread addresses (forked into new
 * PID namespaces). The 8 digits are a digest of the own name. A purge that
 * finds a valid track held under the first form (its purge was killed)
 * gives it its own name back. Names of an older form, with no own name in
 * them, are judged and deleted when broken all the same. */
constexpr char kAsidePrefix[] = ".ktcache-purge-";
constexpr size_t kAsidePrefixLength = sizeof kAsidePrefix - 1;
constexpr size_t kAsideBitsDigits = 16;
constexpr NativeChar kOwnNameMark = '=';
constexpr NativeChar kDigestMark = '~';
/* The longest name, in the runtime's characters, that file systems store. */
constexpr size_t kLongestName = 255;

using NativeTraits = std::char_traits<NativeChar>;

bool is_hex_digit(NativeChar c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

bool has_aside_prefix(const NativeChar *name) {
    for (size_t i = 0; i < kAsidePrefixLength; ++i)
        if (name[i] != static_cast<NativeChar>(kAsidePrefix[i])) return false;
    return true;
}

/* The own name held in an aside name of the first form, or null. */
const NativeChar *own_name_in(const NativeChar *aside) {
    if (!has_aside_prefix(aside)) return nullptr;
    const NativeChar *bits = aside + kAsidePrefixLength;
    for (size_t i = 0; i < kAsideBitsDigits; ++i)
        if (!is_hex_digit(bits[i])) return nullptr;
    const NativeChar *own = bits + kAsideBitsDigits;
    return own[0] == kOwnNameMark && own[1] != '\0' ? own + 1 : nullptr;
}

/* The hidden names of one scan's purge. */
class AsideNames {
  public:
    /* The aside name for the entry `name`, valid until the next call. A
     * leftover moved aside again keeps the own name it holds. */
    const NativeChar *make(const NativeChar *name) {
        if (!seeded_) {
            next_bits_ = random_bits();
            seeded_ = true;
        }
        const NativeChar *held = own_name_in(name);
        const NativeChar *own = held != nullptr ? held : name;
        const size_t own_length = NativeTraits::length(own);

        size_t n = put_ascii(kAsidePrefix, 0);
        n = put_hex(next_bits_++, kAsideBitsDigits, n);
        if (n + 1 + own_length <= kLongestName) {
            name_[n++] = kOwnNameMark;
            NativeTraits::copy(name_ + n, own, own_length);
            n += own_length;
        } else {
            name_[n++] = kDigestMark;
            n = put_hex(fnv1a_32(reinterpret_cast<const char *>(own), own_length * sizeof *own), 8,
                        n);
        }
        name_[n] = '\0';
        return name_;
    }

  private:
    size_t put_ascii(const char *text, size_t n) {
        for (; *text != '\0'; ++text) name_[n++] = static_cast<NativeChar>(*text);
        return n;
    }
    size_t put_hex(uint64_t value, size_t digits, size_t n) {
        for (size_t i = digits; i-- > 0;) name_[n++] = "0123456789abcdef"[value >> (4 * i) & 0xF];
        return n;
    }

    bool seeded_ = false;
    uint64_t next_bits_ = 0;
    NativeChar name_[kLongestName + 1];
};

/* Whether the file at `file` now is the file judged. */
bool is_at(EntryNaming::Ref file, const FileIdentity &judged) {
    FileIdentity found;
    return query_identity(file, &found) && same_identity(found, judged);
}

/* What became of a file a purge meant to delete. */
enum class Deletion {
    deleted,
    kept,      /* the file system refused */
    changed,   /* the name no longer holds the file judged, as judged */
    exhausted, /* memory ran out */
    hidden,    /* a file moved aside could not be put back */
};
struct DeletionResult {
    Deletion outcome;
    int error;
};

/* No room for a hidden name (a full disk, a quota): the file held is
 * compared with the entry immediately before it is deleted by its name. */
DeletionResult delete_in_place(EntryNaming::Ref file, ExaminedFile &examined,
                               const FileIdentity &judged) {
    if (!examined.is_unchanged() || !is_at(file, judged)) return {Deletion::changed, 0};
    if (delete_file(file)) return {Deletion::deleted, 0};
    return {Deletion::kept, errno};
}

/* Deletes the file `examined` judged broken and holds, known in the
 * directory as `file` (`name`), and nothing else. Where the runtime can, it
 * moves the file judged aside and deletes it through a handle (Windows:
 * ExaminedFile::delete_itself). Otherwise the file held must still be as
 * judged and still at its name, or it is not moved at all (a download that
 * took the name stays where it is); it is then moved to a hidden name of the
 * purge's own, where nobody else renames anything, compared there again and
 * deleted, or put back when another file was moved in its place. */
DeletionResult delete_judged(EntryNaming &naming, EntryNaming::Ref file, const NativeChar *name,
                             ExaminedFile &examined, AsideNames &asides) {
    switch (examined.delete_itself(file, [&] { return naming.aside(asides.make(name)); })) {
    case HandleDeletion::deleted: return {Deletion::deleted, 0};
    case HandleDeletion::refused: return {Deletion::kept, errno};
    case HandleDeletion::changed: return {Deletion::changed, 0};
    case HandleDeletion::hidden: return {Deletion::hidden, errno};
    case HandleDeletion::unsupported: break;
    }
    FileIdentity judged;
    if (!examined.judged_identity(&judged)) return {Deletion::kept, errno};
    if (!examined.is_unchanged() || !is_at(file, judged)) return {Deletion::changed, 0};

    const EntryNaming::Ref aside = naming.aside(asides.make(name));
    if (!EntryNaming::is_reachable(aside)) return {Deletion::exhausted, ENOMEM};
    if (!move_aside(file, aside)) {
        const int error = errno;
        if (lacks_room(error)) return delete_in_place(file, examined, judged);
        return {Deletion::kept, error};
    }
    const bool is_judged = is_at(aside, judged);
    if (is_judged && delete_file(aside)) return {Deletion::deleted, 0};
    const int error = errno;
    /* Another purge may have met the hidden name meanwhile and taken it as
     * a leftover: it deletes a broken file and puts a valid one back. */
    if (!move_back(aside, file))
        return errno == ENOENT ? DeletionResult{Deletion::changed, 0}
                               : DeletionResult{Deletion::hidden, errno};
    return is_judged ? DeletionResult{Deletion::kept, error} : DeletionResult{Deletion::changed, 0};
}

/* What a scan does with an entry, by its name. Hidden names, "." and ".."
 * among them, are never looked at, so that partial downloads (".part.m4a")
 * stay out of the report and the purge; except that a purge, and its dry
 * run, judge what a killed purge left under an aside name. */
enum class Role { skipped, listed, leftover };

Role role_of(const NativeChar *name, bool judges_leftovers) {
    if (name[0] != '.') return Role::listed;
    return judges_leftovers && has_aside_prefix(name) ? Role::leftover : Role::skipped;
}

/* One entry on its way through the walk: listed and examined, its first
 * bytes read (or being read), then judged, acted on, counted and shown,
 * always in listing order. The names are the listing's, or the copies of a
 * window slot. */
struct Visit {
    enum class Stage {
        skipped,  /* no regular file: not looked at */
        unjudged, /* could not be examined */
        judged,   /* its status, or a refused open, judged it */
        read,     /* its first bytes are in `header` */
        waiting,  /* its first bytes are not in memory yet */
        reading,  /* ... and the kernel is reading them */
    };

    Visit(const NativeChar *listed_native_name, const char *listed_name, Role listed_role)
        : native_name(listed_native_name), name(listed_name), role(listed_role) {}

    const NativeChar *native_name;
    const char *name;
    Role role;
    Stage stage = Stage::skipped;
    ExaminedFile examined;
    FileStatus status{};
    Judgement judged{};
    int error = 0;
    Prefix prefix{0, false};
    int read_error = 0;
    unsigned char header[kHeaderReadSize] = {};
};

bool is_out_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

constexpr unsigned kColdReadsBetweenTries = 15;

/* Reads a visit's first bytes, waiting for the disk. */
void read_now(Visit &visit) {
    visit.prefix = read_prefix(visit.examined, visit.header, sizeof visit.header);
    visit.read_error = errno;
    visit.stage = Visit::Stage::read;
}

/* Reads in flight for the files whose first bytes are not in memory, so
 * that a cold cache keeps the disk busy: up to kWindow visits wait here, in
 * listing order, while the kernel reads for them, and leave in that order.
 * The slots and the ring are made on first need, so that a warm scan makes
 * no call it did not make before. */
class Window {
  public:
    Window() = default;
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;
    ~Window() {
        /* The kernel may still write into a slot until its read is done. */
        submit(false);
        uint64_t tag;
        long result;
        unsigned taken_back;
        while (in_flight_ > 0 && ring_.enter(0, true, &taken_back))
            while (ring_.next_done(&tag, &result)) --in_flight_;
        delete[] slots_;
    }

    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == kWindow; }

    /* Takes `visit` in behind the others (copying its names), and has the
     * kernel read for it if it waits. False when no slot could be made: the
     * caller goes on with the visit itself. */
    bool take(Visit &visit) {
        if (slots_ == nullptr && (slots_ = new (std::nothrow) Slot[kWindow]) == nullptr)
            return false;
        const size_t index = (head_ + count_) % kWindow;
        Slot &slot = slots_[index];
        Visit &kept = slot.visit;
        NativeTraits::copy(slot.native_name, visit.native_name,
                           NativeTraits::length(visit.native_name) + 1);
        kept.native_name = slot.native_name;
        if (static_cast<const void *>(visit.name) == static_cast<const void *>(visit.native_name)) {
            kept.name = reinterpret_cast<const char *>(slot.native_name);
        } else {
            std::memcpy(slot.name, visit.name, std::strlen(visit.name) + 1);
            kept.name = slot.name;
        }
        kept.role = visit.role;
        kept.stage = visit.stage;
        kept.examined.take(visit.examined);
        kept.status = visit.status;
        kept.judged = visit.judged;
        kept.error = visit.error;
        kept.prefix = visit.prefix;
        kept.read_error = visit.read_error;
        std::memcpy(kept.header, visit.header, sizeof kept.header);
        ++count_;
        if (kept.stage != Visit::Stage::waiting) return true;
        if (!has_ring()) {
            read_now(kept);
            return true;
        }
        ring_.queue(kept.examined, kept.header, sizeof kept.header, index);
        kept.stage = Visit::Stage::reading;
        ++in_flight_;
        queued_[queued_count_++] = index;
        if (queued_count_ == kSubmitBatch) submit(false);
        return true;
    }

    /* The oldest visit, once its first bytes are read; with `wait`, waits
     * for them. Null when there is none, or it is still being read. */
    Visit *ready_head(bool wait) {
        if (count_ == 0) return nullptr;
        collect(false);
        Visit &head = slots_[head_].visit;
        while (wait && head.stage == Visit::Stage::reading) collect(true);
        return head.stage == Visit::Stage::reading ? nullptr : &head;
    }

    /* Lets the oldest visit go, closing its file. */
    void pop() {
        slots_[head_].visit.examined.close();
        head_ = (head_ + 1) % kWindow;
        --count_;
    }

  private:
    /* At most so many visits wait at once, each with a file open. */
    static constexpr size_t kWindow = 64;
    /* Reads are handed to the kernel so many at a time, or when the walk
     * must wait for one: one system call a read costs about as much as the
     * read itself. */
    static constexpr unsigned kSubmitBatch = 16;

    struct Slot {
        Visit visit{nullptr, nullptr, Role::listed};
        NativeChar native_name[kLongestName + 1];
        char name[kLongestListedName];
    };

    /* Where there is no ring, the window still keeps the listing's order,
     * and each file is read in turn, as the loop without a window reads. */
    bool has_ring() {
        if (!ring_.started() && !ring_refused_) ring_refused_ = !ring_.start(kWindow);
        return ring_.started();
    }

    /* Hands the queued reads to the kernel and, with `wait`, waits for one
     * to finish. A read the kernel does not take is read directly. */
    void submit(bool wait) {
        if (queued_count_ == 0 && !(wait && in_flight_ > 0)) return;
        unsigned taken_back = 0;
        if (!ring_.enter(queued_count_, wait, &taken_back) && wait && taken_back == 0)
            read_now(slots_[head_].visit); /* no completion can be had */
        for (unsigned i = queued_count_ - taken_back; i < queued_count_; ++i) {
            read_now(slots_[queued_[i]].visit);
            --in_flight_;
        }
        queued_count_ = 0;
    }

    /* Gathers the reads that have finished; with `wait`, waits for one. */
    void collect(bool wait) {
        if (wait) submit(true);
        uint64_t tag;
        long result;
        while (ring_.next_done(&tag, &result)) {
            --in_flight_;
            Visit &visit = slots_[tag].visit;
            if (visit.stage != Visit::Stage::reading) continue; /* read directly meanwhile */
            visit.stage = Visit::Stage::read;
            visit.prefix = {result > 0 ? static_cast<size_t>(result) : 0, result >= 0};
            /* Whatever the ring could not read whole, the file's own reads
             * finish or explain. */
            if (result < 0 || (result > 0 && static_cast<size_t>(result) < kHeaderReadSize)) {
                visit.prefix =
                    read_prefix(visit.examined, visit.header, kHeaderReadSize, visit.prefix.length);
                visit.read_error = errno;
            }
        }
    }

    Slot *slots_ = nullptr;
    bool ring_refused_ = false;
    size_t head_ = 0;
    size_t count_ = 0;
    size_t in_flight_ = 0; /* queued or handed to the kernel */
    unsigned queued_[kSubmitBatch];
    unsigned queued_count_ = 0;
    ReadRing ring_;
};

/* One walk of an open directory: what it was asked to do, and what it
 * keeps from one entry to the next. */
struct Walk {
    Walk(OpenDirectory &dir, core::WalkMode walk_mode, const core::PurgeApproval *purge_approval,
         core::WalkObserver *walk_observer, Report &walk_report)
        : mode(walk_mode), approval(purge_approval), observer(walk_observer), report(walk_report),
          naming(dir) {}

    bool purges() const { return mode == core::WalkMode::purge; }

    core::WalkMode mode;
    const core::PurgeApproval *approval;
    core::WalkObserver *observer;
    Report &report;
    EntryNaming naming;
    AsideNames asides;
    Window window;
    /* Cleared once the file system refuses reads that do not wait. */
    bool reads_without_waiting = true;
    /* Files whose first bytes go to the window without a try: a read that
     * does not wait costs, on a file that is not in memory, as much as the
     * read the kernel makes for it, so after one such try the walk tries
     * again only every kColdReadsBetweenTries + 1 files. A warm cache never
     * comes here and makes the calls it always made. */
    unsigned cold_reads_to_skip = 0;
};

/* A valid track that a killed purge held aside gets its own name back, where
 * that name is free: putting it back never replaces anything. It is listed
 * by the next scan, under that name. */
core::Action restore_leftover(Walk &walk, EntryNaming::Ref leftover, const NativeChar *name) {
    const NativeChar *own = own_name_in(name);
    if (own == nullptr || own[0] == '.') return core::Action::hidden;
    const EntryNaming::Ref target = walk.naming.aside(own);
    if (!EntryNaming::is_reachable(target)) {
        walk.report.mark_incomplete(Shortfall::out_of_resources);
        return core::Action::hidden;
    }
    if (move_back(leftover, target)) return core::Action::restored;
    /* Another purge may have put it back first. */
    return errno == ENOENT ? core::Action::none : core::Action::hidden;
}

/* Deletes a broken entry that the purge may delete, and says what became of
 * it in `entry`. */
void purge_entry(Walk &walk, EntryNaming::Ref file, const NativeChar *name, ExaminedFile &examined,
                 core::WalkEntry &entry) {
    if (walk.approval != nullptr) {
        entry.approval = walk.approval->approve(entry.name, entry.identity);
        if (entry.approval != core::Approval::approved) {
            entry.action = core::Action::not_approved;
            return;
        }
    }
    const DeletionResult result = delete_judged(walk.naming, file, name, examined, walk.asides);
    entry.action_error = result.error;
    switch (result.outcome) {
    case Deletion::deleted:
        walk.report.count_purged();
        entry.action = core::Action::deleted;
        break;
    case Deletion::exhausted:
        walk.report.mark_incomplete(Shortfall::out_of_resources);
        entry.action = core::Action::kept;
        break;
    case Deletion::kept: entry.action = core::Action::kept; break;
    case Deletion::hidden:
        walk.report.mark_incomplete(Shortfall::put_back_failed);
        entry.action = core::Action::changed;
        break;
    case Deletion::changed: entry.action = core::Action::changed; break;
    }
}

core::Verdict walk_verdict(Verdict verdict) {
    switch (verdict) {
    case Verdict::valid: return core::Verdict::valid;
    case Verdict::broken: return core::Verdict::broken;
    default: return core::Verdict::unjudged;
    }
}

/* Opens what `open` opens, making room in the window first when the
 * process is out of descriptors and the window holds some. */
template <typename Open> bool open_with_room(Walk &walk, Open open);

/* Lists, examines and, where the status does not judge the file already,
 * opens it and reads its first bytes if they are in memory. A purge holds
 * what the status or a refused open condemns from this moment on. */
void begin_visit(Walk &walk, Visit &visit) {
    const EntryNaming::Ref file = walk.naming.entry(visit.native_name);
    if (!EntryNaming::is_reachable(file)) {
        visit.stage = Visit::Stage::unjudged;
        visit.error = ENOMEM;
        return;
    }
    if (!visit.examined.examine(file, &visit.status)) {
        visit.stage = Visit::Stage::unjudged;
        visit.error = errno;
        return;
    }
    if (!visit.status.is_regular) return;
    visit.stage = Visit::Stage::judged;
    if (!judge_by_status(visit.status, KTCACHE_DEFAULT_MIN_SIZE, &visit.judged)) {
        if (!open_with_room(walk, [&] { return visit.examined.open(); })) {
            visit.judged = judge_open_failure(errno);
        } else if (walk.cold_reads_to_skip > 0) {
            --walk.cold_reads_to_skip;
            visit.stage = Visit::Stage::waiting;
            return;
        } else if (walk.reads_without_waiting) {
            const long got = visit.examined.read_if_cached(visit.header, sizeof visit.header);
            if (got < 0 && errno == EAGAIN) {
                visit.stage = Visit::Stage::waiting;
                walk.cold_reads_to_skip = kColdReadsBetweenTries;
                return;
            }
            if (got < 0 && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS))
                walk.reads_without_waiting = false;
            visit.stage = Visit::Stage::read;
            visit.prefix = read_prefix(visit.examined, visit.header, sizeof visit.header,
                                       got > 0 ? static_cast<size_t>(got) : 0);
            visit.read_error = errno;
            return;
        } else {
            read_now(visit);
            return;
        }
    }
    if (visit.judged.verdict == Verdict::broken && walk.purges() &&
        !open_with_room(walk, [&] { return visit.examined.pin(); })) {
        visit.judged.verdict = verdict_of_error(errno);
        if (visit.judged.verdict == Verdict::broken) visit.judged.verdict = Verdict::unknown;
        visit.judged.error = errno;
    }
}

/* Judges a visit whose first bytes are read, acts on it in a purge, counts
 * or lists it, and shows it to the observer. Only a verdict the walk reached
 * itself condemns a file: one that could not be examined or read is left
 * alone; once descriptors or memory run out, every later file would fail
 * alike, and no report is better than one that shows the cache as missing
 * its tracks. */
void finish_visit(Walk &walk, Visit &visit) {
    if (visit.stage == Visit::Stage::skipped) return;
    core::WalkEntry entry{};
    entry.name = visit.name;
    entry.is_leftover = visit.role == Role::leftover;
    entry.verdict = core::Verdict::unjudged;
    entry.code = kValidationError;
    entry.reason = kNoError.text;
    entry.name_is_reportable = true;
    if (visit.stage == Visit::Stage::unjudged) {
        entry.error = visit.error;
        if (visit.error != ENOMEM) entry.reason = examine_failure_message(visit.error).text;
    } else {
        entry.size = visit.status.identity.size;
        entry.identity = visit.status.identity;
        Judgement judged = visit.judged;
        if (visit.stage == Visit::Stage::read) {
            /* A dry run makes sure that what it shows is the file it read; a
             * purge holds what it condemns, and compares it, until it has
             * decided. */
            judged = judge_header(visit.examined, visit.header, visit.prefix, visit.read_error,
                                  walk.mode == core::WalkMode::dry_run);
            if (judged.verdict == Verdict::broken && walk.purges() && !visit.examined.pin()) {
                judged.verdict = Verdict::unknown;
                judged.error = errno;
            }
        }
        entry.verdict = walk_verdict(judged.verdict);
        entry.code = judged.code;
        entry.reason = judged.message.text;
        entry.error = judged.error;
        const EntryNaming::Ref file = walk.naming.entry(visit.native_name);
        if (judged.verdict == Verdict::valid && visit.role == Role::listed) {
            entry.name_is_reportable =
                walk.report.add_valid(entry.name, entry.size, format_name(judged.code));
        } else if (!EntryNaming::is_reachable(file)) {
            if (walk.purges()) walk.report.mark_incomplete(Shortfall::out_of_resources);
        } else if (judged.verdict == Verdict::valid && walk.purges()) {
            entry.action = restore_leftover(walk, file, visit.native_name);
            if (entry.action == core::Action::restored)
                entry.restored_as =
                    entry.name + (own_name_in(visit.native_name) - visit.native_name);
        } else if (judged.verdict == Verdict::broken && walk.purges()) {
            purge_entry(walk, file, visit.native_name, visit.examined, entry);
        }
    }
    if (entry.verdict == core::Verdict::unjudged &&
        verdict_of_error(entry.error) == Verdict::exhausted)
        walk.report.mark_incomplete(Shortfall::out_of_resources);
    if (walk.observer != nullptr) walk.observer->on_entry(entry);
}

/* Finishes the visits at the window's head that are ready; with `drain`,
 * all of them, waiting for their reads. */
void finish_ready(Walk &walk, bool drain) {
    while (Visit *head = walk.window.ready_head(drain)) {
        finish_visit(walk, *head);
        walk.window.pop();
    }
}

/* Waits for the oldest visit of the window and finishes it. */
void finish_oldest(Walk &walk) {
    if (Visit *head = walk.window.ready_head(true)) {
        finish_visit(walk, *head);
        walk.window.pop();
    }
}

template <typename Open> bool open_with_room(Walk &walk, Open open) {
    if (open()) return true;
    if (!is_out_of_descriptors(errno) || walk.window.empty()) return false;
    finish_ready(walk, true);
    return open();
}

/* Walks the open directory once. An enumeration that stops on an error
 * leaves the report incomplete. */
void walk_directory(Walk &walk, OpenDirectory &dir) {
    ListedEntry listed;
    bool failed = false;
    while (dir.next(&listed, &failed)) {
        const Role role = role_of(listed.native_name, walk.mode != core::WalkMode::report);
        if (role == Role::skipped || listed.is_known_non_regular) continue;
        Visit visit{listed.native_name, listed.name, role};
        begin_visit(walk, visit);
        const bool waits = visit.stage == Visit::Stage::waiting;
        if ((!waits && walk.window.empty()) || !walk.window.take(visit)) {
            if (waits) read_now(visit);
            finish_visit(walk, visit);
            continue;
        }
        if (walk.window.full()) finish_oldest(walk);
        finish_ready(walk, false);
    }
    finish_ready(walk, true);
    if (failed) walk.report.mark_incomplete(Shortfall::listing_failed);
}

} // namespace

bool ktcache_core::same_identity(const FileIdentity &a, const FileIdentity &b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.mtime_ns == b.mtime_ns;
}

ktcache_core::WalkOutcome ktcache_core::walk_cache(const char *dir_path, WalkMode mode,
                                                   const PurgeApproval *approval,
                                                   WalkObserver *observer) {
    WalkOutcome outcome{};
    if (dir_path == nullptr || dir_path[0] == '\0') {
        outcome.open_error = ENOENT;
        return outcome;
    }
    Report report;
    {
        /* The directory is closed before the report is written. */
        OpenDirectory dir(dir_path);
        if (!dir.is_open()) {
            outcome.open_error = dir.error();
            return outcome;
        }
        outcome.opened = true;
        Walk walk(dir, mode, approval, observer, report);
        walk_directory(walk, dir);
    }
    outcome.report = report.finish();
    outcome.shortfall = report.shortfall();
    outcome.valid_count = report.valid_count();
    outcome.purged_count = report.purged_count();
    outcome.total_bytes = report.total_bytes();
    return outcome;
}

char *ktcache_scan_dir_json(const char *dir_path, int32_t purge) {
    if (dir_path == nullptr || dir_path[0] == '\0') {
        set_last_error(kErrEmptyDirPath);
        return nullptr;
    }
    const ktcache_core::WalkOutcome outcome = ktcache_core::walk_cache(
        dir_path, purge != 0 ? ktcache_core::WalkMode::purge : ktcache_core::WalkMode::report,
        nullptr, nullptr);
    set_last_error(outcome.opened ? kNoError : kErrOpendir);
    return outcome.report;
}

/* =========================================================================
 * 11. Presentation helpers
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

/* No text is longer than 16 bytes while the decimal mark is one byte, nor
 * than 31 with the longest multibyte mark a locale can have (MB_LEN_MAX,
 * 16 bytes); capping the capacity at a bound above both keeps huge buf_size
 * values away from the formatter's int arithmetic without changing any
 * result. */
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
 * 12. Self-test
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
