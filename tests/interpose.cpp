#include "interpose.h"
#include "libc_allocator.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <malloc.h>

#include <cerrno>
#include <cstdarg>

namespace {

// Plain thread-locals: they need no constructor, so malloc may use them at
// any time, even while the C library is still starting up.
__thread long t_fail_countdown;
__thread bool t_failure_hit;
__thread long t_live_blocks;
__thread long t_live_bytes;
__thread long t_peak_bytes;
__thread fault::OpenHook t_open_hook;
__thread long t_readdir_countdown = -1;
__thread int t_readdir_error;

bool allocation_must_fail() {
    if (t_fail_countdown <= 0 || --t_fail_countdown != 0) return false;
    t_failure_hit = true;
    errno = ENOMEM;
    return true;
}

void count_allocated(void *block) {
    t_live_bytes += static_cast<long>(malloc_usable_size(block));
    if (t_live_bytes > t_peak_bytes) t_peak_bytes = t_live_bytes;
}
void count_freed(void *block) { t_live_bytes -= static_cast<long>(malloc_usable_size(block)); }

} // namespace

namespace fault {

void fail_allocation(long n) {
    t_fail_countdown = n;
    t_failure_hit = false;
}
bool allocation_failure_hit() { return t_failure_hit; }
void reset_live_blocks() { t_live_blocks = 0; }
long live_blocks() { return t_live_blocks; }
void reset_peak_bytes() { t_live_bytes = t_peak_bytes = 0; }
size_t peak_bytes() { return static_cast<size_t>(t_peak_bytes); }
void set_open_hook(OpenHook hook) { t_open_hook = hook; }
void fail_readdir_after(long entries, int error) {
    t_readdir_countdown = entries;
    t_readdir_error = error;
}

} // namespace fault

extern "C" {

void *malloc(size_t size) {
    if (allocation_must_fail()) return nullptr;
    void *block = __libc_malloc(size);
    if (block != nullptr) {
        ++t_live_blocks;
        count_allocated(block);
    }
    return block;
}

void *calloc(size_t count, size_t size) {
    if (allocation_must_fail()) return nullptr;
    void *block = __libc_calloc(count, size);
    if (block != nullptr) {
        ++t_live_blocks;
        count_allocated(block);
    }
    return block;
}

void *realloc(void *block, size_t size) {
    if (block != nullptr && size == 0) {
        --t_live_blocks;
        count_freed(block);
        return __libc_realloc(block, size);
    }
    if (allocation_must_fail()) return nullptr;
    const long old_bytes = block != nullptr ? static_cast<long>(malloc_usable_size(block)) : 0;
    void *grown = __libc_realloc(block, size);
    if (grown != nullptr) {
        if (block == nullptr) ++t_live_blocks;
        t_live_bytes -= old_bytes;
        count_allocated(grown);
    }
    return grown;
}

void free(void *block) {
    if (block != nullptr) {
        --t_live_blocks;
        count_freed(block);
    }
    __libc_free(block);
}

namespace {
int hooked_openat(int dir_fd, const char *path, int flags, va_list args) {
    const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    if (t_open_hook != nullptr) t_open_hook(dir_fd, path, flags);
    return static_cast<int>(syscall(SYS_openat, dir_fd, path, flags, mode));
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
    return real(dir);
}

} // extern "C"
