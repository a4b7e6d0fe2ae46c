// Fault injection from below the library. The test program defines malloc,
// calloc, realloc, free, open, openat and readdir itself; the shared library's calls
// resolve to these definitions, which forward to the C library unless the
// calling thread has armed a fault.
#pragma once

#include <cstddef>

namespace fault {

// The `n`th allocation (malloc, calloc, realloc) from now on this thread
// fails with ENOMEM; 0 disarms. Returns whether the armed failure was hit.
void fail_allocation(long n);
bool allocation_failure_hit();

// Blocks allocated minus blocks freed on this thread since the last reset.
void reset_live_blocks();
long live_blocks();

// The most bytes (as the allocator counts them) this thread had allocated at
// once since the last reset, counting from zero at the reset.
void reset_peak_bytes();
size_t peak_bytes();

// Called on this thread before every open() and openat(), with the directory
// the path is relative to (AT_FDCWD for open), the path and the flags.
using OpenHook = void (*)(int dir_fd, const char *path, int flags);
void set_open_hook(OpenHook hook);

// After `entries` more entries on this thread, readdir fails with `error`;
// a negative count disarms.
void fail_readdir_after(long entries, int error);

} // namespace fault
