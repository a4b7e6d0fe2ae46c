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

#include <errno.h>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
 *   last_error_text()  the calling thread's last-error buffer
 *   CallerPath         a path from the caller, converted for the file calls
 *   OpenDirectory      a directory opened for a scan; next() gives its
 *                      entries one by one as ListedEntry records, and false
 *                      at the end, with `failed` set when it ended on an
 *                      error
 *   ExaminedFile       one file as validation judges it: examine() its
 *                      status, open() and read_some() its first bytes,
 *                      opened_is_examined(); for a purge, its identity() and
 *                      delete_itself() through the judging handle, where the
 *                      runtime can
 *   query_identity, move_aside, move_back, delete_file, process_id
 *                      the calls of a purge that moves a file aside first
 *                      (section 10), where it cannot
 *
 * Calls that fail return false or -1 with errno set. The POSIX block also
 * provides AtDirectory, the naming by which a scan reaches each entry
 * relative to the open directory (section 5).
 * ========================================================================= */

namespace {

/* What validation and the scan need from a status query: the kind and size
 * of a file, and its identity, which tells whether the file found at a name
 * later is still the one judged. */
struct FileStatus {
    bool is_regular;
    int64_t size;
    uint64_t device;
    uint64_t inode;
};

bool is_same_file(const FileStatus &a, const FileStatus &b) {
    return a.device == b.device && a.inode == b.inode;
}

/* A path in the characters of a runtime's file calls, relative to the
 * current directory unless it is absolute; null when it could not be
 * built. */
template <typename Char> struct BasicPathRef { const Char *path; };

/* A call interrupted by a signal is tried again, this many times in all. */
constexpr int kInterruptedCallAttempts = 8;

/* What became of deleting a file through the handle that judged it. */
enum class HandleDeletion { deleted, refused, unsupported };

template <typename Char> struct BasicListedEntry {
    const char *name;          /* as the report writes it */
    const Char *native_name;   /* as the file calls take it */
    bool is_known_non_regular; /* a directory, device, pipe or socket */
    bool is_known_too_short;   /* a file the listing shows below the minimum */
};

#ifdef _WIN32
/* ---- Runtime: Windows ---------------------------------------------------
 *
 * Win32 calls only, each a wide-character one, so that every name is
 * reached, whatever its script. Paths from the caller are bytes in the code
 * page in which the process's narrow file calls read theirs (the ANSI code
 * page, or the OEM one after SetFileApisToOEM) and are converted as those
 * calls convert them; names in the report are UTF-8, converted from the
 * UTF-16 names the listing gives. A scan lists the directory through the
 * handle it holds, opens each file once, judges it from that handle and
 * deletes a broken one through it. */

using NativeChar = wchar_t; /* UTF-16 */
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
    default: return EIO;
    }
}
bool fail_with_last_error() {
    errno = errno_from(GetLastError());
    return false;
}

/* A path from the caller in UTF-16, converted as the narrow file calls
 * convert it. Paths of ordinary length need no heap block. */
class CallerPath {
  public:
    explicit CallerPath(const char *path) {
        const UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
        const int length = MultiByteToWideChar(code_page, 0, path, -1, nullptr, 0);
        if (length <= 0) return;
        wchar_t *wide = static_cast<size_t>(length) <= kShortPath
                            ? short_
                            : static_cast<wchar_t *>(std::malloc(sizeof(wchar_t) * length));
        if (wide != nullptr && MultiByteToWideChar(code_page, 0, path, -1, wide, length) == length)
            wide_ = wide;
        else if (wide != short_)
            std::free(wide);
    }
    CallerPath(const CallerPath &) = delete;
    CallerPath &operator=(const CallerPath &) = delete;
    ~CallerPath() {
        if (wide_ != short_) std::free(wide_);
    }

    /* Null when the path could not be converted (memory ran out). */
    const wchar_t *native() const { return wide_; }

  private:
    static constexpr size_t kShortPath = MAX_PATH;
    wchar_t short_[kShortPath];
    wchar_t *wide_ = nullptr;
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

/* The directory is opened once and held without delete sharing for as long
 * as the scan lasts: nobody can rename, delete or replace it meanwhile, so
 * every path joined to it stays inside it. Its entries are listed through
 * that handle, many to a query. */
class OpenDirectory {
  public:
    explicit OpenDirectory(const char *path) : path_(path) {
        if (path_.native() == nullptr) return;
        held_ = CreateFileW(path_.native(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        /* That opens a file as well: such a path is no directory to scan. */
        FILE_STANDARD_INFO info;
        if (held_ != INVALID_HANDLE_VALUE &&
            !(GetFileInformationByHandleEx(held_, FileStandardInfo, &info, sizeof info) &&
              info.Directory)) {
            CloseHandle(held_);
            held_ = INVALID_HANDLE_VALUE;
        }
    }
    OpenDirectory(const OpenDirectory &) = delete;
    OpenDirectory &operator=(const OpenDirectory &) = delete;
    ~OpenDirectory() {
        std::free(records_);
        if (held_ != INVALID_HANDLE_VALUE) CloseHandle(held_);
    }

    bool is_open() const { return held_ != INVALID_HANDLE_VALUE; }
    const wchar_t *native_path() const { return path_.native(); }

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
        /* A link's own size says nothing of the file it leads to. */
        const bool is_link = (record->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        *entry = {name_, native_name_, (record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                  !is_link && record->EndOfFile.QuadPart < KTCACHE_DEFAULT_MIN_SIZE};
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

/* The identity of the file open as `handle`, its volume and file index,
 * in a status whose kind and size are left empty. */
bool identity_from_handle(HANDLE handle, FileStatus *identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return fail_with_last_error();
    *identity = {false, 0, info.dwVolumeSerialNumber,
                 uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
    return true;
}

/* Follows links; every open here allows other programs to read, write,
 * rename and delete the file meanwhile. */
HANDLE open_shared(const wchar_t *path, DWORD access) {
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

/* A file opened once to be judged: its status and first bytes come from the
 * one handle, which reads without DELETE access, so a valid track is never
 * held in a way that makes another program's open or rename fail. Only a
 * file judged broken is opened again, from that handle, for deletion: the
 * file deleted is then exactly the file judged. */
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
    bool examine(PathRef file, FileStatus *status) {
        handle_ = open_shared(file.path, GENERIC_READ);
        if (handle_ == INVALID_HANDLE_VALUE) {
            if (GetLastError() != ERROR_ACCESS_DENIED) return fail_with_last_error();
            readable_ = false;
            handle_ = open_shared(file.path, FILE_READ_ATTRIBUTES);
            if (handle_ == INVALID_HANDLE_VALUE) return fail_with_last_error();
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
        *status = {is_regular, info.EndOfFile.QuadPart, 0, 0};
        return true;
    }

    /* The handle that examined the file reads it too; false with EACCES
     * when the caller may not read the file. */
    bool open() {
        if (!readable_) errno = EACCES;
        return readable_;
    }
    long read_some(unsigned char *buf, size_t count) {
        DWORD got;
        if (ReadFile(handle_, buf, static_cast<DWORD>(count), &got, nullptr))
            return static_cast<long>(got);
        errno = errno_from(GetLastError());
        return -1;
    }
    /* The status came from the handle that was read. */
    bool opened_is_examined() const { return true; }

    bool identity(FileStatus *identity) const { return identity_from_handle(handle_, identity); }

    /* Another program holding the file without delete sharing refuses it.
     * A file system that cannot delete through a handle leaves the purge to
     * move the file aside instead. */
    HandleDeletion delete_itself() {
        HANDLE deleting =
            ReOpenFile(handle_, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        FILE_DISPOSITION_INFO disposition = {TRUE};
        const bool deleted = deleting != INVALID_HANDLE_VALUE &&
                             SetFileInformationByHandle(deleting, FileDispositionInfo, &disposition,
                                                        sizeof disposition);
        const DWORD error = GetLastError();
        if (deleting != INVALID_HANDLE_VALUE) CloseHandle(deleting);
        if (deleted) return HandleDeletion::deleted;
        const bool unsupported = error == ERROR_INVALID_FUNCTION ||
                                 error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED;
        return unsupported ? HandleDeletion::unsupported : HandleDeletion::refused;
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool readable_ = true;
};

/* The identity of the file at a name, opened for its attributes only, which
 * no other program's sharing mode refuses. */
bool query_identity(PathRef file, FileStatus *identity) {
    HANDLE handle = open_shared(file.path, FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE) return fail_with_last_error();
    const bool ok = identity_from_handle(handle, identity);
    CloseHandle(handle);
    return ok;
}

/* Used only where a file system cannot delete through a handle. A read-only
 * file, or one that another program holds without delete sharing, cannot be
 * deleted: the purge leaves it. */
bool delete_file(PathRef file) { return DeleteFileW(file.path) != 0; }

/* A rename without MOVEFILE_REPLACE_EXISTING never replaces an existing
 * file, so moving an entry aside and back are the same call. */
bool move_aside(PathRef from, PathRef to) { return MoveFileExW(from.path, to.path, 0) != 0; }
bool move_back(PathRef from, PathRef to) { return move_aside(from, to); }

unsigned long process_id() { return GetCurrentProcessId(); }

#else
/* ---- Runtime: POSIX ------------------------------------------------------
 *
 * Every call is made once, relative to a directory descriptor: a path is a
 * name relative to the current directory, so the same calls serve a PathRef
 * and the entries of an open directory (AtRef). */

using NativeChar = char;
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
    explicit OpenDirectory(const char *path) : path_(path), dir_(opendir(path)) {}
    OpenDirectory(const OpenDirectory &) = delete;
    OpenDirectory &operator=(const OpenDirectory &) = delete;
    ~OpenDirectory() {
        if (dir_ != nullptr) closedir(dir_);
    }

    bool is_open() const { return dir_ != nullptr; }
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
        *entry = {found->d_name, found->d_name, is_known_non_regular(found), false};
        return true;
    }

  private:
    const char *path_;
    DIR *dir_;
};

/* A name relative to an open directory. */
struct AtRef {
    AtRef(int dir_fd, const char *entry_name) : dir(dir_fd), name(entry_name) {}
    AtRef(PathRef file) : dir(AT_FDCWD), name(file.path) {}
    int dir;
    const char *name;
};

FileStatus status_from(const struct stat &st) {
    return {S_ISREG(st.st_mode), static_cast<int64_t>(st.st_size), static_cast<uint64_t>(st.st_dev),
            static_cast<uint64_t>(st.st_ino)};
}

/* Follows symbolic links. */
bool query_status(AtRef file, FileStatus *status) {
    struct stat st;
    if (fstatat(file.dir, file.name, &st, 0) != 0) return false;
    *status = status_from(st);
    return true;
}
bool query_identity(AtRef file, FileStatus *identity) { return query_status(file, identity); }

/* A file as validation examines it: its status first, then, when that does
 * not condemn it already, its first bytes through a descriptor. */
class ExaminedFile {
  public:
    ExaminedFile() = default;
    ExaminedFile(const ExaminedFile &) = delete;
    ExaminedFile &operator=(const ExaminedFile &) = delete;
    ~ExaminedFile() {
        if (fd_ >= 0) close(fd_);
    }

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
    long read_some(unsigned char *buf, size_t count) { return read(fd_, buf, count); }
    /* Whether the file opened is the one whose status was examined. */
    bool opened_is_examined() const {
        struct stat st;
        return fstat(fd_, &st) == 0 && is_same_file(status_from(st), status_);
    }

    bool identity(FileStatus *identity) const {
        *identity = status_;
        return true;
    }

    /* A descriptor cannot delete its file: the purge moves it aside. */
    static HandleDeletion delete_itself() { return HandleDeletion::unsupported; }

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
    return cannot_link && is_name_free(to) && renameat(from.dir, from.name, to.dir, to.name) == 0;
}

unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

/* Naming: each entry is reached by its bare name relative to the directory
 * the scan opened, whatever happens to the directory's path meanwhile, and
 * even where the joined path would be too long. */
class AtDirectory {
  public:
    using Ref = AtRef;

    explicit AtDirectory(const OpenDirectory &dir) : fd_(dir.descriptor()) {}

    AtRef entry(const char *name) const { return {fd_, name}; }
    AtRef aside(const char *name) const { return {fd_, name}; }
    static bool is_reachable(AtRef) { return true; }

  private:
    int fd_;
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
 * directory: AtDirectory (POSIX), relative to the open directory, so that
 * no call walks the directory's path again and a directory renamed during
 * the scan is still the one scanned; or JoinedPath, "dir_path/name", on
 * every runtime. `EntryNaming` is the one this build uses;
 * KTCACHE_PORTABLE_FILE_ACCESS selects JoinedPath on POSIX too, so that
 * both are tested there. Validation and the scan are written once for
 * either.
 * ========================================================================= */

namespace {

/* The first bytes of an open file. `complete` tells whether the read reached
 * `capacity` bytes or the end of the file; a read error leaves it false. */
struct Prefix {
    size_t length;
    bool complete;
};

Prefix read_prefix(ExaminedFile &file, unsigned char *buf, size_t capacity) {
    size_t got = 0;
    int interruptions = 0;
    while (got < capacity) {
        long n = file.read_some(buf + got, capacity - got);
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

#if defined(_WIN32) || defined(KTCACHE_PORTABLE_FILE_ACCESS)
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

/* Judges a file already examined, whose status is `status`. With
 * `confirm_identity`, a header that condemns the file counts only when the
 * file read is the one whose status was examined. */
Judgement check_file(ExaminedFile &file, const FileStatus &status, int64_t min_size,
                     bool confirm_identity) {
    if (!status.is_regular) return {kValidationRejected, Verdict::broken, kErrNotRegular};
    if (status.size < min_size) return {kValidationRejected, Verdict::broken, kErrBelowMinimum};
    if (!file.open()) return {kValidationError, verdict_of_error(errno), kErrOpen};

    unsigned char header[kHeaderReadSize];
    const Prefix prefix = read_prefix(file, header, sizeof header);
    const ktcache_format format = detect_format(header, prefix.length);
    if (format != KTCACHE_FORMAT_INVALID) return {format, Verdict::valid, kNoError};

    Verdict verdict = prefix.complete ? Verdict::broken : Verdict::unknown;
    if (verdict == Verdict::broken && confirm_identity && !file.opened_is_examined())
        verdict = Verdict::unknown;
    return {kValidationRejected, verdict, kErrUnrecognized};
}

/* The message of a file that could not be examined: one that another
 * program holds (EAGAIN) was found but could not be opened. */
Message examine_failure_message(int error) { return error == EAGAIN ? kErrOpen : kErrStat; }

int64_t effective_min_size(int64_t min_size) {
    return min_size > 0 ? min_size : KTCACHE_DEFAULT_MIN_SIZE;
}

} // namespace

int32_t ktcache_validate_file(const char *path, int64_t min_size) {
    if (path == nullptr || path[0] == '\0') {
        set_last_error(kErrEmptyPath);
        return kValidationError;
    }
    const CallerPath native(path);
    const PathRef file = {native.native()};
    ExaminedFile examined;
    FileStatus status;
    if (file.path == nullptr) {
        set_last_error(kErrStat);
        return kValidationError;
    }
    if (!examined.examine(file, &status)) {
        set_last_error(examine_failure_message(errno));
        return kValidationError;
    }
    const Judgement judged = check_file(examined, status, effective_min_size(min_size), false);
    set_last_error(judged.message);
    return judged.code;
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

/* Whether `length` bytes at `text` are well-formed UTF-8; never reads beyond
 * them, whatever follows. */
bool is_well_formed_utf8(const char *text, size_t length) {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *end = s + length;
    /* Names are mostly ASCII: eight bytes at a time while they are. */
    constexpr uint64_t kHighBits = 0x8080808080808080u;
    for (uint64_t word; end - s >= 8; s += 8) {
        std::memcpy(&word, s, sizeof word);
        if ((word & kHighBits) != 0) break;
    }
    while (s < end) {
        if (*s < 0x80) {
            ++s;
            continue;
        }
        const size_t n = utf8_sequence_length(s, end);
        if (n == 0) return false;
        s += n;
    }
    return true;
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

/* =========================================================================
 * 8. Download naming
 * ========================================================================= */

namespace {

/* The name of a download whose URL yields nothing usable. */
constexpr char kFallbackName[] = "track.m4a";
/* What stands in for a byte that is unsafe in a file name. */
constexpr char kReplacementByte = '_';

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

    /* Decoding never lengthens the segment; the block also has room for the
     * fallback name so that a name trimmed to nothing needs no second block. */
    size_t capacity =
        segment_length > sizeof kFallbackName - 1 ? segment_length : sizeof kFallbackName - 1;
    auto *name = static_cast<char *>(std::malloc(capacity + 1));
    if (name == nullptr) return nullptr;

    size_t length = decode_segment(url + start, segment_length, name);
    while (length > 0 && (name[length - 1] == ' ' || name[length - 1] == '.')) --length;
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

/* The report under construction: the counts, and the list written so far.
 * Once any part cannot be written the report is marked failed and stays so:
 * a report is either complete or not produced at all. */
class Report {
  public:
    Report() : writer_(text_, &allocator_, kWriterDepth) {}

    /* Counts a valid file and lists it. */
    void add_valid(const char *name, int64_t bytes, const char *format) noexcept {
        ++valid_count_;
        /* Saturate rather than overflow: sparse files can claim any size. */
        if (bytes > 0 && total_bytes_ > INT64_MAX - bytes) {
            total_bytes_ = INT64_MAX;
        } else {
            total_bytes_ += bytes;
        }
        if (failed_) return;
        const size_t name_length = std::strlen(name);
        if (!is_well_formed_utf8(name, name_length)) {
            failed_ = true;
            return;
        }
        try {
            open_list();
            bool ok = writer_.StartObject() && write_key(writer_, "name") &&
                      writer_.String(name, static_cast<rapidjson::SizeType>(name_length)) &&
                      write_key(writer_, "bytes") && writer_.Int64(bytes) &&
                      write_key(writer_, "format") && writer_.String(format) && writer_.EndObject();
            if (!ok) failed_ = true;
        } catch (...) {
            failed_ = true;
        }
    }

    void count_purged() { ++purged_count_; }

    /* A file could not be judged or listed for lack of memory or
     * descriptors, or the listing failed: no report is produced. */
    void mark_incomplete() { failed_ = true; }

    /* The finished report for the caller, or null when it is incomplete or
     * memory ran out. The opening holds only fixed keys and integers, which
     * need neither escaping nor a UTF-8 check, so it is formatted directly
     * into the room left for it, and the list is moved up against it. */
    char *finish() noexcept {
        if (failed_) return nullptr;
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

  private:
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
    bool failed_ = false;
};

} // namespace

/* =========================================================================
 * 10. Cache directory scan and purge
 * ========================================================================= */

namespace {

/* The hidden name under which a purge holds a file between judging it and
 * deleting it begins with this. The process, the thread (the address of its
 * last-error buffer) and the file's identity follow, which makes it unique
 * among all scans running at once. The name is ASCII, which every runtime's
 * characters write alike. */
constexpr char kAsidePrefix[] = ".ktcache-purge-";
constexpr size_t kAsideNameSize = 80;
void format_aside_name(NativeChar (&buf)[kAsideNameSize], const FileStatus &judged) {
    char ascii[kAsideNameSize];
    std::snprintf(ascii, sizeof ascii, "%s%lx-%llx-%llx", kAsidePrefix, process_id(),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(last_error_text())),
                  static_cast<unsigned long long>(judged.inode));
    for (size_t i = 0; i < kAsideNameSize; ++i) buf[i] = static_cast<unsigned char>(ascii[i]);
}

/* What became of a file a purge meant to delete. */
enum class Deletion { deleted, kept, out_of_memory };

/* Deletes the file `examined` judged broken, known in the directory as
 * `file`, and nothing else. Where the runtime can, the handle that judged it
 * deletes it. Otherwise comparing first and deleting by name after would
 * leave a moment in which another file renamed over the entry (a download
 * finishing) is deleted in its place, so the entry is first moved to a
 * hidden name of the purge's own, where nobody else renames anything,
 * compared there and deleted, or put back when it is another file. */
Deletion delete_judged(EntryNaming &naming, EntryNaming::Ref file, ExaminedFile &examined) {
    switch (examined.delete_itself()) {
    case HandleDeletion::deleted: return Deletion::deleted;
    case HandleDeletion::refused: return Deletion::kept;
    case HandleDeletion::unsupported: break;
    }
    FileStatus judged;
    if (!examined.identity(&judged)) return Deletion::kept;
    NativeChar aside_name[kAsideNameSize];
    format_aside_name(aside_name, judged);
    const EntryNaming::Ref aside = naming.aside(aside_name);
    if (!EntryNaming::is_reachable(aside)) return Deletion::out_of_memory;
    if (!move_aside(file, aside)) return Deletion::kept;
    FileStatus found;
    if (query_identity(aside, &found) && is_same_file(found, judged) && delete_file(aside))
        return Deletion::deleted;
    move_back(aside, file);
    return Deletion::kept;
}

/* What a scan does with an entry, by its name. Hidden names, "." and ".."
 * among them, are never looked at, so that partial downloads (".part.m4a")
 * stay out of the report and the purge; except that a purge judges what a
 * purge killed midway left under its aside name: a broken leftover is
 * deleted, a valid one (a download that took the name at that moment) is
 * left where it is, unlisted, since its own name is unknown. */
enum class Role { skipped, listed, leftover };

Role role_of(const char *name, bool purge) {
    if (name[0] != '.') return Role::listed;
    const bool is_leftover = std::strncmp(name, kAsidePrefix, sizeof kAsidePrefix - 1) == 0;
    return purge && is_leftover ? Role::leftover : Role::skipped;
}

/* Walks the open directory once, validating, listing and purging. A file
 * that cannot be judged, or an enumeration that stops on an error, leaves
 * the report incomplete. */
void walk_directory(OpenDirectory &dir, bool purge, Report &report) {
    EntryNaming naming(dir);
    ListedEntry entry;
    bool failed = false;
    while (dir.next(&entry, &failed)) {
        const Role role = role_of(entry.name, purge);
        if (role == Role::skipped || entry.is_known_non_regular) continue;
        /* A file the listing shows below the minimum could only be judged
         * too short, so a plain scan does not open it. A purge does, to
         * judge it by its own size (a listing's lags while another program
         * writes the file) and delete it through the handle that judged it. */
        if (entry.is_known_too_short && !purge) continue;

        const EntryNaming::Ref file = naming.entry(entry.native_name);
        if (!EntryNaming::is_reachable(file)) {
            report.mark_incomplete();
            continue;
        }
        ExaminedFile examined;
        FileStatus status;
        if (!examined.examine(file, &status)) {
            if (verdict_of_error(errno) == Verdict::exhausted) report.mark_incomplete();
            continue;
        }
        if (!status.is_regular) continue;

        const Judgement judged = check_file(examined, status, KTCACHE_DEFAULT_MIN_SIZE, purge);
        switch (judged.verdict) {
        case Verdict::valid:
            if (role == Role::listed)
                report.add_valid(entry.name, status.size, format_name(judged.code));
            break;
        case Verdict::broken:
            if (!purge) break;
            switch (delete_judged(naming, file, examined)) {
            case Deletion::deleted: report.count_purged(); break;
            case Deletion::out_of_memory: report.mark_incomplete(); break;
            case Deletion::kept: break;
            }
            break;
        case Verdict::exhausted: report.mark_incomplete(); break;
        case Verdict::gone:
        case Verdict::unknown: break;
        }
    }
    if (failed) report.mark_incomplete();
}

/* Scans the directory into `report`, closing it before returning; false
 * when the directory cannot be opened. */
bool scan_directory(const char *dir_path, bool purge, Report &report) {
    OpenDirectory dir(dir_path);
    if (!dir.is_open()) return false;
    walk_directory(dir, purge, report);
    return true;
}

} // namespace

char *ktcache_scan_dir_json(const char *dir_path, int32_t purge) {
    if (dir_path == nullptr || dir_path[0] == '\0') {
        set_last_error(kErrEmptyDirPath);
        return nullptr;
    }
    Report report;
    if (!scan_directory(dir_path, purge != 0, report)) {
        set_last_error(kErrOpendir);
        return nullptr;
    }
    char *text = report.finish();
    set_last_error(kNoError);
    return text;
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
