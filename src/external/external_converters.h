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

// Converts an IFC file with the IFC tool; `output` is the path without an
// extension (ifcOutputPath), and the tool writes ifcObjPath next to it.
OperationResult runIfcConverter(ProgressReporter& reporter, const std::filesystem::path& input,
                                const std::filesystem::path& output, Failure* failure = nullptr);

// Where the IFC tool's result goes: the temporary folder joined with the
// source's file name without its extension. The same source always gives the
// same path.
std::filesystem::path ifcOutputPath(const std::filesystem::path& source);

// The OBJ file read after the IFC tool ran: ifcOutputPath with ".obj" as its
// extension.
std::filesystem::path ifcObjPath(const std::filesystem::path& source);

} // namespace morvex
