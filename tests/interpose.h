// Fault injection from below the library. The test program defines open,
// openat, readdir, read, renameat2 and linkat itself (and links the counting allocator of
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
// Called on this thread after every open() and openat(), with the same
// arguments; the open's result is kept.
void set_after_open_hook(OpenHook hook);

// Every open for reading on this thread of a path that ends in `suffix`
// fails with `error`, without touching the file; a null suffix disarms.
void fail_opens_of(const char *suffix, int error);

// While set, on this thread renameat2 refuses RENAME_NOREPLACE with EINVAL
// and linkat fails with EPERM, as on exFAT and FAT through FUSE.
void refuse_no_replace_and_links(bool on);

// Every read() on this thread fails with `error`; 0 disarms.
void fail_reads(int error);

// After `entries` more entries on this thread, readdir fails with `error`;
// a negative count disarms.
void fail_readdir_after(long entries, int error);

// While set, readdir on this thread hands out a copy of each entry placed so
// that the NUL ending its name is the last readable byte before a page that
// may not be read: any read past a name faults.
void place_entries_before_guard_page(bool on);

} // namespace fault
