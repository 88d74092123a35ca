#include "support/platform/memory_reuse.h"

#include <malloc.h>
#include <mutex>

namespace morvex {

void keepFreedMemoryForReuse()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // 32 MiB is the largest block glibc serves from a worker's own heap.
        mallopt(M_MMAP_THRESHOLD, 32 << 20);
        mallopt(M_TRIM_THRESHOLD, 128 << 20);
        mallopt(M_TOP_PAD, 16 << 20);
    });
}

} // namespace morvex
