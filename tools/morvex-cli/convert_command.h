#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace morvex::cli {

// morvex-cli convert [options] PATH...: the batch front end.
int runConvert(const std::vector<std::string>& args);

extern const std::string_view ConvertUsageText;

} // namespace morvex::cli
