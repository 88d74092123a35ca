#pragma once

#include <string>
#include <vector>

namespace morvex::cli {

// morvex-cli render --png DIR [options] PATH...: each model drawn as the
// preview shows it, one PNG per file, the files read several at once and
// drawn one after another on the one thread that holds the OpenGL context.
int runRender(const std::vector<std::string>& args);

} // namespace morvex::cli
