#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace morvex::cli {

// morvex-cli convert [options] PATH...: the batch front end.
int runConvert(const std::vector<std::string>& args);

// A model may name textures and material libraries in its own folder tree,
// in a folder given as an input (an asset pack's "../textures/"), and in
// the folders of --allow-references; nothing else is read.
void allowReferences(const std::vector<std::string>& paths, const std::vector<std::string>& allowedFolders);

// The help text of `convert`, listing the output formats of this build.
std::string convertUsageText();

} // namespace morvex::cli
