#include "common/Memory.h"

#include <cstdlib> // defines __GLIBC__ on glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quorvel {

void configureAllocator() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 128 * 1024); // the default, but fixed
    mallopt(M_ARENA_MAX, 2);
#endif
}

void returnFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace quorvel
