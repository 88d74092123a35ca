#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>

namespace morvex {

// Reads a 3MF package: the model part named by the package's relationships
// is unpacked into a private scratch folder (always removed afterwards) and
// walked by element name. Each object with a mesh becomes one object with
// per-corner colours and normals, placed by its build item's transform;
// colour groups, base materials and colour elements become materials; model
// attributes, metadata, build items and component transforms become document
// properties. Units are recorded in "Model:unit", never converted.
OperationResult read3mf(const std::filesystem::path& path, Model& model, ProgressReporter& reporter,
                        std::string* reason = nullptr);

} // namespace morvex
