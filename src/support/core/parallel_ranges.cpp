#include "support/core/parallel_ranges.h"

#include <atomic>

namespace morvex {
namespace {

std::atomic<unsigned> fileThreads{1};
std::atomic<unsigned> refusedThreadStarts{0};

} // namespace

unsigned threadsPerFile()
{
    return fileThreads.load(std::memory_order_relaxed);
}

void setThreadsPerFile(unsigned threads)
{
    fileThreads.store(std::max(1u, threads), std::memory_order_relaxed);
}

unsigned threadsFor(std::uint64_t count, std::uint64_t minimumPerThread)
{
    const std::uint64_t worthIt = count / std::max<std::uint64_t>(minimumPerThread, 1);
    return static_cast<unsigned>(std::clamp<std::uint64_t>(worthIt, 1, threadsPerFile()));
}

void refuseThreadStartsForTesting(unsigned count)
{
    refusedThreadStarts.store(count, std::memory_order_relaxed);
}

bool threadStartRefusedForTesting()
{
    unsigned left = refusedThreadStarts.load(std::memory_order_relaxed);
    while (left > 0 && !refusedThreadStarts.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
    }
    return left > 0;
}

} // namespace morvex
