#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace morvex::cli {

// morvex-cli convert [options] PATH...: the batch front end.
int runConvert(const std::vector<std::string>& args);

// The help text of `convert`, listing the output formats of this build.
std::string convertUsageText();

} // namespace morvex::cli
