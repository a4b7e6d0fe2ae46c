#include "heap_probe.h"

#if KTCACHE_BENCH_INTERPOSE_MALLOC

#include "libc_allocator.h"

#include <malloc.h>

#include <atomic>
#include <cstddef>

namespace {

// Constant-initialised, so the allocator may use them before main.
std::atomic<bool> g_armed{false};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};

bool armed() { return g_armed.load(std::memory_order_relaxed); }

int64_t usable_size(void *block) {
    return block != nullptr ? static_cast<int64_t>(malloc_usable_size(block)) : 0;
}

void add_live(int64_t delta) {
    const int64_t live = g_live.fetch_add(delta, std::memory_order_relaxed) + delta;
    int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {}
}

} // namespace

namespace bench::heap {

bool available() { return true; }

void arm() {
    g_live.store(0, std::memory_order_relaxed);
    g_peak.store(0, std::memory_order_relaxed);
    g_armed.store(true, std::memory_order_seq_cst);
}

void disarm() { g_armed.store(false, std::memory_order_seq_cst); }

int64_t peak() { return g_peak.load(std::memory_order_relaxed); }

} // namespace bench::heap

extern "C" {

void *malloc(size_t size) noexcept {
    void *block = __libc_malloc(size);
    if (armed() && block != nullptr) add_live(usable_size(block));
    return block;
}

void *calloc(size_t count, size_t size) noexcept {
    void *block = __libc_calloc(count, size);
    if (armed() && block != nullptr) add_live(usable_size(block));
    return block;
}

void *realloc(void *block, size_t size) noexcept {
    if (!armed()) return __libc_realloc(block, size);
    const int64_t before = usable_size(block);
    void *grown = __libc_realloc(block, size);
    if (grown != nullptr) {
        add_live(usable_size(grown) - before);
    } else if (block != nullptr && size == 0) {
        add_live(-before); /* realloc(block, 0) releases the block */
    }
    return grown;
}

void free(void *block) noexcept {
    if (armed() && block != nullptr) add_live(-usable_size(block));
    __libc_free(block);
}

} // extern "C"

#else

namespace bench::heap {

bool available() { return false; }
void arm() {}
void disarm() {}
int64_t peak() { return 0; }

} // namespace bench::heap

#endif
