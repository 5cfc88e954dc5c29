#include "platform/core/MemoryRelease.h"

#include <cstdlib> // defines __GLIBC__ with the C library

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

void releaseFreeMemory() {
#if defined(__GLIBC__)
    ::malloc_trim(0); // every arena, not only the calling thread's
#endif
}

} // namespace platform
