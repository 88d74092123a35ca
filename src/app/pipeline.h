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

// What a read means for a file of a run: Cancelled, ReadFailed (also for a
// file that holds no object at all, with the reason), or Success.
ConversionStatus statusOfRead(OperationResult read, const Model& model, Failure* failure);

// The profile the model's geometry is in after reading: the source format's,
// but for an IFC file, whose route (the IFC tool's OBJ or the external
// converter) set the profile of what it read.
void setSourceProfile(Model& model, const FileFormat& source);

// The up-axis, handedness and winding steps, each only where the model's
// profile and the target's differ.
OperationResult reconcileConventions(Model& model, const FormatProfile& target, ProgressReporter& reporter);

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
