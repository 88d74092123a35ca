#pragma once

#include <cstdint>
#include <cstdlib>
#include <sys/resource.h>

// The resource limits of a helper process travel in its environment, and the
// helper applies them to itself first thing in main(), before it reads any
// input: a limit set from outside after the start could come too late for a
// helper that starts quickly. The starting side sets them from outside as
// well, for helpers that do not apply them. Header only: helper programs do
// not link our libraries.

namespace morvex {

inline constexpr const char* HelperMemoryVariable = "MORVEX_HELPER_MEMORY_BYTES";
inline constexpr const char* HelperCpuVariable = "MORVEX_HELPER_CPU_SECONDS";
inline constexpr const char* HelperFileVariable = "MORVEX_HELPER_FILE_BYTES";

// Soft limit `value`, hard limit `value + extraHard`; nothing for 0 or no
// variable.
inline void applyHelperLimit(const char* variable, int resource, std::uint64_t extraHard)
{
    const char* text = std::getenv(variable);
    if (text == nullptr)
        return;
    const std::uint64_t value = std::strtoull(text, nullptr, 10);
    if (value == 0)
        return;
    const struct rlimit limit {
        static_cast<rlim_t>(value), static_cast<rlim_t>(value + extraHard)
    };
    ::setrlimit(static_cast<__rlimit_resource>(resource), &limit);
}

inline void applyHelperLimitsFromEnvironment()
{
    applyHelperLimit(HelperMemoryVariable, RLIMIT_AS, 0);
    applyHelperLimit(HelperCpuVariable, RLIMIT_CPU, 5);
    applyHelperLimit(HelperFileVariable, RLIMIT_FSIZE, 0);
}

} // namespace morvex
