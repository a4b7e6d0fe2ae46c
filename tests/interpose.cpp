#include "interpose.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

namespace {

// Plain thread-locals: they need no constructor.
__thread fault::OpenHook t_open_hook;
__thread long t_readdir_countdown = -1;
__thread int t_readdir_error;

} // namespace

namespace fault {

void set_open_hook(OpenHook hook) { t_open_hook = hook; }
void fail_readdir_after(long entries, int error) {
    t_readdir_countdown = entries;
    t_readdir_error = error;
}

} // namespace fault

extern "C" {

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
