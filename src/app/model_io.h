#pragma once

#include "app/conversion_settings.h"
#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex {

// Reads a source file with the reader for its extension (".stl", any case).
// On failure `failure` says why, for the log and the command line.
OperationResult readModel(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                          std::string_view extension, Failure* failure = nullptr);

// Writes the model with the writer of settings.outputKind (not chosen by the
// output path). Every writer writes atomically: nothing appears at the output
// name unless the whole file was written.
OperationResult writeModel(ProgressReporter& reporter, const std::filesystem::path& output, const Model& model,
                           const ConversionSettings& settings, Failure* failure = nullptr);

} // namespace morvex
