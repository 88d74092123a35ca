#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::threemf {

// Reads a 3MF package: the model part named by the package's relationships
// is unpacked into a private scratch folder (always removed afterwards) and
// walked by element name. Each object with a mesh becomes one object with
// per-corner colours and normals, placed by its build item's transform;
// colour groups, base materials and colour elements become materials; model
// attributes, metadata, build items and component transforms become document
// properties. Units are recorded in "Model:unit", never converted.
OperationResult read3mf(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);
// The same from the package's bytes in memory; `name` is the file name
// messages use. Only the parts read are unpacked into the scratch folder.
OperationResult read3mf(std::string_view bytes, std::string_view name, Model& model, ProgressReporter& reporter,
                        Failure* failure = nullptr);

// Writes the model as a 3MF package: every object with vertices becomes a
// mesh object (placement applied, numbered 1, 2, ... in model order) with one
// build item, all colours become one colour group, document properties
// become metadata, and the "Model:" and "BuildItem:partnumber_" properties
// kept by the reader are written back. The package is staged in a private
// scratch folder and zipped under the program-wide zip lock; the output file
// is replaced only when the whole package was written.
OperationResult write3mf(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure = nullptr);

} // namespace morvex::threemf
