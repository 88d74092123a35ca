#pragma once

#include <string>
#include <vector>

namespace morvex::cli {

// morvex-cli components [--json]: each component with its version and
// path, or "not installed"; components install|update ID: installs a
// missing component, or a newer published version, with a progress line.
int runComponents(const std::vector<std::string>& args);

} // namespace morvex::cli
