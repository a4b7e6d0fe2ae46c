#include "counting_heap.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace {

// Constant-initialised, so the allocator may use them before main; plain
// thread-locals need no constructor, so they are safe even while the C
// library is still starting up.
std::atomic<bool> g_armed{false};
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_peak{0};
__thread long t_fail_countdown;
__thread bool t_failure_hit;
__thread long t_live_blocks;

} // namespace

namespace heap {

bool available() { return KTCACHE_COUNTING_HEAP != 0; }

void arm() {
    g_live.store(0, std::memory_order_relaxed);
    g_peak.store(0, std::memory_order_relaxed);
    g_armed.store(true, std::memory_order_seq_cst);
}
void disarm() { g_armed.store(false, std::memory_order_seq_cst); }
int64_t peak() { return g_peak.load(std::memory_order_relaxed); }

void fail_allocation(long n) {
    t_fail_countdown = n;
    t_failure_hit = false;
}
bool allocation_failure_hit() { return t_failure_hit; }

void reset_live_blocks() { t_live_blocks = 0; }
long live_blocks() { return t_live_blocks; }

} // namespace heap

#if KTCACHE_COUNTING_HEAP

#include "libc_allocator.h"

#include <malloc.h>

namespace {

bool armed() { return g_armed.load(std::memory_order_relaxed); }

int64_t usable_size(void *block) {
    return block != nullptr ? static_cast<int64_t>(malloc_usable_size(block)) : 0;
}

void add_live(int64_t delta) {
    const int64_t live = g_live.fetch_add(delta, std::memory_order_relaxed) + delta;
    int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {}
}

bool allocation_must_fail() {
    if (t_fail_countdown <= 0 || --t_fail_countdown != 0) return false;
    t_failure_hit = true;
    errno = ENOMEM;
    return true;
}

void *counted_new_block(void *block) {
    if (block != nullptr) {
        ++t_live_blocks;
        if (armed()) add_live(usable_size(block));
    }
    return block;
}

} // namespace

extern "C" {

void *malloc(size_t size) noexcept {
    if (allocation_must_fail()) return nullptr;
    return counted_new_block(__libc_malloc(size));
}

void *calloc(size_t count, size_t size) noexcept {
    if (allocation_must_fail()) return nullptr;
    return counted_new_block(__libc_calloc(count, size));
}

void *realloc(void *block, size_t size) noexcept {
    if (block == nullptr) return malloc(size);
    const int64_t before = armed() ? usable_size(block) : 0;
    if (size == 0) { /* realloc(block, 0) releases the block */
        --t_live_blocks;
        if (armed()) add_live(-before);
        return __libc_realloc(block, size);
    }
    if (allocation_must_fail()) return nullptr;
    void *grown = __libc_realloc(block, size);
    if (grown != nullptr && armed()) add_live(usable_size(grown) - before);
    return grown;
}

void free(void *block) noexcept {
    if (block != nullptr) {
        --t_live_blocks;
        if (armed()) add_live(-usable_size(block));
    }
    __libc_free(block);
}

} // extern "C"

#endif
