#pragma once

#include <string>
#include <vector>

namespace morvex::cli {

// morvex-cli formats [--json]: every format with its extension, whether it
// is read (by our own reader or through the helper) and what writes it.
int runFormats(const std::vector<std::string>& args);

} // namespace morvex::cli
