#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::docs3dp {

// The program's own chunked document (".3dp"): document properties, and per
// object its placement, vertices, corners with normal and colour, the colours
// of its first material and its properties.
OperationResult read3dp(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);
// The same from bytes in memory; `name` is the file name messages use.
OperationResult read3dp(std::string_view bytes, std::string_view name, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);
OperationResult write3dp(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure = nullptr);

} // namespace morvex::docs3dp
