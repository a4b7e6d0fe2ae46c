// glibc's own allocator entry points. A program that defines malloc, calloc,
// realloc and free itself (to count or fail allocations) forwards to these.
#pragma once

#include <cstddef>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void __libc_free(void *block);
}
