// Peak heap of one call, measured from below: the benchmark program defines
// malloc, calloc, realloc and free itself and forwards them to the C
// library, so the shared library's allocations pass through it as well.
#pragma once

#include <cstdint>

namespace bench::heap {

// False in builds that leave the interposed allocator out (sanitizer
// builds bring their own malloc).
bool available();

// Starts counting from zero. While armed, every allocation adds the block's
// usable size to the live count and every release subtracts it, on any
// thread; disarmed, each call costs one relaxed atomic load.
void arm();
void disarm();

// The highest live count reached while armed: the peak net growth of the
// heap, in bytes, counted with malloc_usable_size.
int64_t peak();

} // namespace bench::heap
