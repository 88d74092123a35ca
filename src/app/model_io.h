#pragma once

#include "app/conversion_settings.h"
#include "formats/format_table.h"
#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>

namespace morvex {

// Reads a source file by its format's route: our own reader, the IFC tool or
// the external converter. On failure `failure` says why, for the log and the
// command line.
OperationResult readModel(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                          const FileFormat& format, Failure* failure = nullptr);
// The same with the format found from the source's extension; a file of an
// extension no row knows goes to the external converter.
OperationResult readModel(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                          Failure* failure = nullptr);

// Writes the model with the writer of `format`. Every writer writes
// atomically: nothing appears at the output name unless the whole file was
// written. A model of points without a single triangle is refused ("the
// model has no faces") by formats that hold only triangles.
OperationResult writeModel(ProgressReporter& reporter, const std::filesystem::path& output, const Model& model,
                           const FileFormat& format, Failure* failure = nullptr);

} // namespace morvex
