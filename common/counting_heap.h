// The program's own malloc, calloc, realloc and free, for the fault tests
// and the benchmarks. They forward to glibc's allocator; a program that
// links common/counting_heap.cpp built with KTCACHE_COUNTING_HEAP=1 gets them
// for every allocation, the shared library's included. They count the peak
// heap of a stretch of code and can fail an allocation on purpose. Without
// KTCACHE_COUNTING_HEAP (sanitizer builds, whose runtime brings its own
// allocator) the functions below exist but count nothing.
#pragma once

#include <cstdint>

namespace heap {

// Whether the program's allocator is the counting one.
bool available();

// Peak heap. arm() starts counting from zero: while armed, every allocation
// on any thread adds the block's usable size to the live count and every
// release subtracts it; disarmed, each call costs one relaxed atomic load.
// peak() is the highest live count reached while armed, in bytes.
void arm();
void disarm();
int64_t peak();

// The `n`th allocation (malloc, calloc, realloc) from now on the calling
// thread fails with ENOMEM; 0 disarms. Returns whether the armed failure was
// hit.
void fail_allocation(long n);
bool allocation_failure_hit();

// Blocks allocated minus blocks freed on the calling thread since the last
// reset.
void reset_live_blocks();
long live_blocks();

} // namespace heap
