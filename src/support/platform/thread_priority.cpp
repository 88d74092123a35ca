#include "support/platform/thread_priority.h"

#include <algorithm>
#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

namespace morvex {

bool lowerCurrentThreadPriority(int increment)
{
    if (increment <= 0)
        return true;
    // On Linux PRIO_PROCESS with a thread id names that thread alone.
    const auto thread = static_cast<id_t>(::gettid());
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, thread);
    if (current == -1 && errno != 0)
        return false;
    constexpr int LowestPriority = 19;
    return ::setpriority(PRIO_PROCESS, thread, std::min(current + increment, LowestPriority)) == 0;
}

} // namespace morvex
