// Fault injection from below the library. The test program defines open,
// openat, readdir, read, pread, preadv2, fstatat, fstat, renameat, renameat2, linkat and
// getpid itself (and links the counting allocator of
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

// Called on this thread after every fstatat() of a path, with the
// directory and the path; the status the caller gets is the one read
// before the hook ran.
using StatHook = void (*)(int dir_fd, const char *path);
void set_stat_hook(StatHook hook);

// Every status read on this thread (fstatat, fstat) of the file whose inode
// number is `real` reports `shown` instead, as when ext4 hands a freed
// number to a new file or FUSE numbers inodes by path; 0 disarms.
void disguise_inode(unsigned long real, unsigned long shown);

// Called on this thread before every renameat() and renameat2(), with its
// names; a nonzero result fails the rename with that errno, untried.
using RenameHook = int (*)(int from_dir, const char *from, int to_dir, const char *to);
void set_rename_hook(RenameHook hook);

// getpid() on this thread returns `pid`; 0 disarms.
void fix_pid(int pid);

// While set, every read on this thread that must not wait for the disk
// (RWF_NOWAIT) fails with EAGAIN, as when no file is in memory.
void make_reads_wait(bool on);

// Every read (read, pread, preadv2) on this thread fails with `error`; 0
// disarms.
void fail_reads(int error);

// After `entries` more entries on this thread, readdir fails with `error`;
// a negative count disarms.
void fail_readdir_after(long entries, int error);

// While set, readdir on this thread hands out a copy of each entry placed so
// that the NUL ending its name is the last readable byte before a page that
// may not be read: any read past a name faults.
void place_entries_before_guard_page(bool on);

} // namespace fault
