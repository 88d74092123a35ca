#include "support/core/memory_guard.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <sys/resource.h>

namespace morvex {
namespace {

std::atomic<std::uint64_t> memoryOverride{0};

// The small-request thresholds keep ordinary allocations away from the
// system query; they differ slightly by element size.
std::uint64_t smallRequestLimit(std::size_t elementSize)
{
    if (elementSize == 4 || elementSize == 12)
        return 1'000'003;
    if (elementSize == 8)
        return 1'000'007;
    return 1'000'001;
}

std::uint64_t readMeminfoKiB(const char* text, const char* key)
{
    const char* at = std::strstr(text, key);
    if (at == nullptr)
        return 0;
    at += std::strlen(key);
    while (*at == ' ' || *at == ':' || *at == '\t')
        ++at;
    std::uint64_t value = 0;
    std::from_chars(at, at + std::strlen(at), value);
    return value;
}

} // namespace

std::uint64_t availableMemoryBytes()
{
    if (std::uint64_t pinned = memoryOverride.load(); pinned != 0)
        return pinned;

    std::uint64_t available = UINT64_MAX;
    if (std::FILE* file = std::fopen("/proc/meminfo", "r")) {
        char text[8192];
        std::size_t length = std::fread(text, 1, sizeof text - 1, file);
        std::fclose(file);
        text[length] = '\0';
        std::uint64_t kib = readMeminfoKiB(text, "MemAvailable") + readMeminfoKiB(text, "SwapFree");
        if (kib != 0)
            available = kib * 1024;
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        available = std::min<std::uint64_t>(available, limit.rlim_cur);
    return available;
}

void setAvailableMemoryOverride(std::uint64_t bytes)
{
    memoryOverride.store(bytes);
}

bool allocationAllowed(std::uint64_t bytes, std::size_t elementSize)
{
    if (bytes < smallRequestLimit(elementSize))
        return true;
    return bytes <= availableMemoryBytes() / 2;
}

void* guardedAllocate(std::uint64_t bytes, std::size_t elementSize)
{
    if (!allocationAllowed(bytes, elementSize) || bytes > SIZE_MAX)
        return nullptr;
    return std::malloc(bytes == 0 ? 1 : static_cast<std::size_t>(bytes));
}

void* guardedReallocate(void* old, std::uint64_t bytes, std::size_t elementSize)
{
    if (!allocationAllowed(bytes, elementSize) || bytes > SIZE_MAX)
        return nullptr;
    return std::realloc(old, bytes == 0 ? 1 : static_cast<std::size_t>(bytes));
}

void guardedFree(void* block)
{
    std::free(block);
}

void adviseHugePages(void* storage, std::uint64_t bytes)
{
    constexpr std::uintptr_t HugePage = std::uintptr_t(2) << 20;
    const auto begin = (reinterpret_cast<std::uintptr_t>(storage) + HugePage - 1) & ~(HugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(storage) + bytes) & ~(HugePage - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

} // namespace morvex
