#include "interpose.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstring>

namespace {

// Plain thread-locals: they need no constructor.
__thread fault::OpenHook t_open_hook;
__thread fault::OpenHook t_after_open_hook;
__thread const char *t_failing_open_suffix;
__thread int t_open_error;
__thread int t_read_error;
__thread bool t_refuse_no_replace_and_links;
__thread bool t_guard_entries;
__thread long t_readdir_countdown = -1;
__thread int t_readdir_error;
__thread fault::StatHook t_stat_hook;
__thread unsigned long t_real_inode;
__thread unsigned long t_shown_inode;
__thread fault::RenameHook t_rename_hook;
__thread int t_fixed_pid;
__thread bool t_reads_wait;

} // namespace

namespace fault {

void set_open_hook(OpenHook hook) { t_open_hook = hook; }
void set_after_open_hook(OpenHook hook) { t_after_open_hook = hook; }
void fail_opens_of(const char *suffix, int error) {
    t_failing_open_suffix = suffix;
    t_open_error = error;
}
void fail_reads(int error) { t_read_error = error; }
void refuse_no_replace_and_links(bool on) { t_refuse_no_replace_and_links = on; }
void place_entries_before_guard_page(bool on) { t_guard_entries = on; }
void set_stat_hook(StatHook hook) { t_stat_hook = hook; }
void disguise_inode(unsigned long real, unsigned long shown) {
    t_real_inode = real;
    t_shown_inode = shown;
}
void set_rename_hook(RenameHook hook) { t_rename_hook = hook; }
void fix_pid(int pid) { t_fixed_pid = pid; }
void make_reads_wait(bool on) { t_reads_wait = on; }
void fail_readdir_after(long entries, int error) {
    t_readdir_countdown = entries;
    t_readdir_error = error;
}

} // namespace fault

extern "C" {

namespace {
bool ends_with(const char *text, const char *suffix) {
    const size_t length = std::strlen(text), suffix_length = std::strlen(suffix);
    return length >= suffix_length && std::strcmp(text + length - suffix_length, suffix) == 0;
}

int hooked_openat(int dir_fd, const char *path, int flags, va_list args) {
    const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    // A refusal to read says nothing of an open that only refers to the file.
    if (t_failing_open_suffix != nullptr && (flags & O_PATH) == 0 &&
        ends_with(path, t_failing_open_suffix)) {
        errno = t_open_error;
        return -1;
    }
    if (t_open_hook != nullptr) t_open_hook(dir_fd, path, flags);
    const int saved_errno = errno;
    const int fd = static_cast<int>(syscall(SYS_openat, dir_fd, path, flags, mode));
    if (t_after_open_hook != nullptr) {
        const int open_errno = errno;
        t_after_open_hook(dir_fd, path, flags);
        errno = fd < 0 ? open_errno : saved_errno;
    }
    return fd;
}

// Two pages per thread, the second unreadable: each entry is copied so that
// its name's NUL is the last byte of the first page.
struct dirent *copy_before_guard_page(const struct dirent *entry) {
    static __thread char *pages;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (pages == nullptr) {
        void *map =
            mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) return nullptr;
        pages = static_cast<char *>(map);
        mprotect(pages + page, page, PROT_NONE);
    }
    const size_t size = offsetof(struct dirent, d_name) + std::strlen(entry->d_name) + 1;
    char *copy = pages + page - size;
    std::memcpy(copy, entry, size);
    return reinterpret_cast<struct dirent *>(copy);
}
} // namespace

int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = hooked_openat(AT_FDCWD, path, flags, args);
    va_end(args);
    return fd;
}

int openat(int dir_fd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = hooked_openat(dir_fd, path, flags, args);
    va_end(args);
    return fd;
}

struct dirent *readdir(DIR *dir) {
    using ReaddirFn = struct dirent *(*)(DIR *);
    static ReaddirFn real = reinterpret_cast<ReaddirFn>(dlsym(RTLD_NEXT, "readdir"));
    if (t_readdir_countdown == 0) {
        errno = t_readdir_error;
        return nullptr;
    }
    if (t_readdir_countdown > 0) --t_readdir_countdown;
    struct dirent *entry = real(dir);
    return entry != nullptr && t_guard_entries ? copy_before_guard_page(entry) : entry;
}

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned int flags) {
    if (t_rename_hook != nullptr) {
        if (const int error = t_rename_hook(from_dir, from, to_dir, to)) {
            errno = error;
            return -1;
        }
    }
    if (t_refuse_no_replace_and_links && (flags & RENAME_NOREPLACE) != 0) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, flags));
}

int renameat(int from_dir, const char *from, int to_dir, const char *to) {
    return renameat2(from_dir, from, to_dir, to, 0);
}

int fstatat(int dir_fd, const char *path, struct stat *st, int flags) {
    const int result = static_cast<int>(syscall(SYS_newfstatat, dir_fd, path, st, flags));
    const int saved_errno = errno;
    if (result == 0 && t_real_inode != 0 && st->st_ino == t_real_inode) st->st_ino = t_shown_inode;
    if (t_stat_hook != nullptr && path[0] != '\0') t_stat_hook(dir_fd, path);
    errno = saved_errno;
    return result;
}

int fstat(int fd, struct stat *st) { return fstatat(fd, "", st, AT_EMPTY_PATH); }

pid_t getpid() { return t_fixed_pid != 0 ? t_fixed_pid : static_cast<pid_t>(syscall(SYS_getpid)); }

int linkat(int from_dir, const char *from, int to_dir, const char *to, int flags) {
    if (t_refuse_no_replace_and_links) {
        errno = EPERM;
        return -1;
    }
    return static_cast<int>(syscall(SYS_linkat, from_dir, from, to_dir, to, flags));
}

ssize_t pread(int fd, void *buf, size_t count, off_t offset) {
    if (t_read_error != 0) {
        errno = t_read_error;
        return -1;
    }
    return syscall(SYS_pread64, fd, buf, count, offset);
}

ssize_t preadv2(int fd, const struct iovec *pieces, int count, off_t offset, int flags) {
    if (t_read_error != 0) {
        errno = t_read_error;
        return -1;
    }
    if (t_reads_wait && (flags & RWF_NOWAIT) != 0) {
        errno = EAGAIN;
        return -1;
    }
    return syscall(SYS_preadv2, fd, pieces, count, offset, 0, flags);
}

ssize_t read(int fd, void *buf, size_t count) {
    if (t_read_error != 0) {
        errno = t_read_error;
        return -1;
    }
    return syscall(SYS_read, fd, buf, count);
}

} // extern "C"
