#pragma once

#include "support/core/parallel_ranges.h"
#include "support/progress/progress_reporter.h"

#include <atomic>
#include <cstdint>

namespace morvex {

// Fewer elements than this per thread are not worth one.
inline constexpr std::uint64_t ElementsPerThread = 16384;

// Calls step(i) for every i below `count`, split over the threads the file
// may use. Only the calling thread asks the reporter, every `checkEvery`
// steps counted from `counted` (the steps of the same kind before these),
// and the others stop at its answer. False when cancelled.
template <typename Step>
bool forEachIndex(std::uint64_t count, std::uint64_t checkEvery, ProgressReporter& reporter, Step step,
                  std::uint64_t counted = 0)
{
    std::atomic<bool> cancelled{false};
    forEachRange(count, threadsFor(count, ElementsPerThread),
                 [&](unsigned part, std::uint64_t begin, std::uint64_t end) {
                     for (std::uint64_t i = begin; i < end; ++i) {
                         if ((counted + i) % checkEvery == 0) {
                             if (part == 0 && reporter.isCancelled())
                                 cancelled = true;
                             if (cancelled.load(std::memory_order_relaxed))
                                 return;
                         }
                         step(static_cast<std::uint32_t>(i));
                     }
                 });
    return !cancelled;
}

} // namespace morvex
