#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>

// The two routes that read files through helper programs: the external mesh
// converter for the formats without a reader of our own, and the IFC tool
// that turns an IFC file into a Wavefront OBJ file.

namespace morvex {

// Whether the external mesh converter can run in this build.
bool externalConverterInstalled();

// Reads the source through the external mesh converter into the model.
OperationResult runExternalConverter(ProgressReporter& reporter, Model& model, const std::filesystem::path& source,
                                     Failure* failure = nullptr);

// Converts an IFC file with the IFC tool (component "ifcconvert"): any
// earlier result at `output` is removed, the tool runs with the input and
// output paths in a process group of its own, without our descriptors,
// under the external converter's limits of memory, processor and wall-clock
// time. Success when it exits with 0; Cancelled on a stop request (the tool
// is killed at once); Failure when the tool is not registered, cannot start,
// runs out of its limits or exits otherwise, and then nothing it wrote is
// left. `output` is ifcOutputPath, whose folder (ifcWorkFolder) must be
// private to the user or the run fails.
OperationResult runIfcConverter(ProgressReporter& reporter, const std::filesystem::path& input,
                                const std::filesystem::path& output, Failure* failure = nullptr);

// The user's private folder for the IFC tool's output: "Morvex-ifc-<uid>"
// in $XDG_RUNTIME_DIR, else in the temporary folder.
std::filesystem::path ifcWorkFolder();

// Where the IFC tool's result goes: ifcWorkFolder joined with the source's
// whole path, its root dropped, its separators made "_" and its extension
// dropped. The same source always gives the same path.
std::filesystem::path ifcOutputPath(const std::filesystem::path& source);

// The OBJ file read after the IFC tool ran: ifcOutputPath with ".obj"
// appended (the name may hold dots of the source's folders), and the
// material library the tool writes beside it.
std::filesystem::path ifcObjPath(const std::filesystem::path& source);
std::filesystem::path ifcMtlPath(const std::filesystem::path& source);

} // namespace morvex
