#pragma once

#include "app/conversion_settings.h"
#include "app/conversion_status.h"
#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>

namespace morvex {

// Converts one file: reads the source with the reader for its extension,
// runs the steps of applyConversionSteps, and writes the output with the
// writer of settings.outputKind. Returns Success, Cancelled, ReadFailed (the
// read or a mesh step failed) or SaveFailed; for the last two `failure` says
// why. The output is written aside and moved to the output name only when
// the whole conversion succeeded and was not cancelled, so on any other
// outcome the output name is untouched.
ConversionStatus convertFile(const std::filesystem::path& source, const std::filesystem::path& output,
                             const ConversionSettings& settings, ProgressReporter& reporter,
                             Failure* failure = nullptr);

// Everything between reading and writing, on a model read from `source`:
// duplicate removal (when on), index generation, the source and target
// profiles, the up-axis, handedness and winding steps, baking placement for
// formats that keep none, the custom transform and normal recalculation
// (when on and the target carries normals).
OperationResult applyConversionSteps(Model& model, const std::filesystem::path& source,
                                     const std::filesystem::path& output, const ConversionSettings& settings,
                                     ProgressReporter& reporter, Failure* failure = nullptr);

} // namespace morvex
