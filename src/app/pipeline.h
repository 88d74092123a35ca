#pragma once

#include "app/conversion_settings.h"
#include "app/conversion_status.h"
#include "formats/format_table.h"
#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>

namespace morvex {

// Converts one file: reads the source with the reader for its extension,
// runs the steps of applyConversionSteps, and writes the output with the
// writer of settings.outputKind. Returns Success, Cancelled, ReadFailed (the
// read or a mesh step failed, or the file holds no object at all),
// SaveFailed, or OutputNameTaken; for the
// failures `failure` says why. The output is written aside and moved to the
// output name only when the whole conversion succeeded and was not
// cancelled, so on any other outcome the output name is untouched. An
// existing file at the name is replaced only when the settings' overwrite
// decision is Overwrite; otherwise a name found taken at the moment of the
// move gives OutputNameTaken and leaves that file alone.
ConversionStatus convertFile(const std::filesystem::path& source, const std::filesystem::path& output,
                             const ConversionSettings& settings, ProgressReporter& reporter,
                             Failure* failure = nullptr);

// Everything between reading and writing, on a model read from a file of the
// `source` format and to be written in the `target` format:
// duplicate removal (when on), index generation, the source and target
// profiles, the up-axis, handedness and winding steps, baking placement for
// formats that keep none, the custom transform and normal recalculation
// (when on and the target carries normals).
OperationResult applyConversionSteps(Model& model, const FileFormat& source, const FileFormat& target,
                                     const ConversionSettings& settings, ProgressReporter& reporter,
                                     Failure* failure = nullptr);

} // namespace morvex
