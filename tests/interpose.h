// Fault injection from below the library. The test program defines open,
// openat and readdir itself (and links the counting allocator of
// common/counting_heap.h for malloc and friends); the shared library's calls
// resolve to these definitions, which forward to the C library unless the
// calling thread has armed a fault.
#pragma once

#include <cstddef>

namespace fault {

// Called on this thread before every open() and openat(), with the directory
// the path is relative to (AT_FDCWD for open), the path and the flags.
using OpenHook = void (*)(int dir_fd, const char *path, int flags);
void set_open_hook(OpenHook hook);

// After `entries` more entries on this thread, readdir fails with `error`;
// a negative count disarms.
void fail_readdir_after(long entries, int error);

} // namespace fault
