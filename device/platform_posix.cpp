// Memory services on POSIX systems.
#include <unistd.h>

#include "device/platform.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace dirov {

uint64_t physical_memory_bytes() {
    long pages = sysconf(_SC_PHYS_PAGES);
    long size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

// glibc keeps freed chunks below the top of its heaps resident; malloc_trim
// releases their whole pages. Other allocators return memory on their own.
void return_free_heap() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace dirov
