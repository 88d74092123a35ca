#pragma once

#include "support/settings/settings_store.h"

#include <cstdint>

// The count of program starts ("Runs" of "Settings") and the first-run tip
// that the first starts show.

namespace morvex {

// The tip is shown while the count, this start included, is at most this.
inline constexpr std::int32_t FirstRunTipStarts = 3;

// Counts this start in one locked read-modify-write, so that two programs
// starting at once both count; returns the count with this start. A count
// that is missing, unreadable or negative starts again from 0; one at the
// top of the range stays there.
std::int32_t recordProgramStart(const SettingsStore& store);

// Whether a start that made the count `runs` shows the first-run tip.
bool firstRunTipDue(std::int32_t runs);

} // namespace morvex
