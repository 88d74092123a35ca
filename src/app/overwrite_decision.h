#pragma once

#include <cstdint>

namespace morvex {

// What a job does when its output name is taken; carried in the job's copy
// of the run settings (ConversionSettings::overwriteDecision). The numbers
// are those the desktop program stores and hands between its parts.
enum class OverwriteDecision : std::int32_t {
    None = -1,     // the output name was free
    Stop = 0,      // the job ends "Cancelled" and stops the run
    Skip = 1,      // "Skipped"
    Overwrite = 2, // "Replaced" once the new file is complete
    Rename = 3,    // the next free numbered name, "Converted and renamed"
};

} // namespace morvex
