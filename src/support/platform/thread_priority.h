#pragma once

// Scheduling priority of the calling thread (its nice value on Linux,
// which threads and processes it starts inherit).

namespace morvex {

// Raises the calling thread's nice value by `increment` (at most to 19), so
// that other threads of the process win the processor when they need it.
// Nothing for an increment of 0 or less: a thread is never made more
// important than it was. False when the system refused.
bool lowerCurrentThreadPriority(int increment);

} // namespace morvex
