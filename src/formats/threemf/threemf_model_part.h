#pragma once

// The half of the 3MF reader that works on an extracted model part, apart
// from the package so that it can be driven from a plain file.

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace morvex::threemf {

// Namespaces of the core model and of its material elements, read and
// written as the defaults of the model's "xmlns" and "xmlns:m" attributes.
inline constexpr std::string_view ThreeMfCoreNamespace = "http://schemas.microsoft.com/3dmanufacturing/core/2015/02";
inline constexpr std::string_view ThreeMfMaterialNamespace =
    "http://schemas.microsoft.com/3dmanufacturing/material/2015/02";

// Relationship type of a package's 3D model part.
inline constexpr std::string_view ThreeMfModelRelationship =
    "http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel";

// A model part is refused at this size or when twenty times its size is not
// below the available memory.
inline constexpr std::uint64_t MaxModelPartBytes = 214'748'365;
bool modelPartFitsMemory(std::uint64_t bytes);
// The largest size modelPartFitsMemory accepts now (0 when none).
std::uint64_t modelPartByteLimit();

// Why a model part is refused before it is read.
inline constexpr std::string_view TooLargeForMemory = "the model part is too large for the available memory";

// Loads the model part (the XML of "3D/3dmodel.model") and fills the model:
// the tree walk, then the build-item transforms and normals. A failure after
// a syntax error lies at the error's line.
OperationResult read3mfModelPart(const std::filesystem::path& modelPart, Model& model, ProgressReporter& reporter,
                                 Failure* failure = nullptr);

// The model relationship's target in a relationship part ("3D/3dmodel.model",
// a leading "/" removed); empty when the part has no "Relationships" element
// or no model relationship. `hasRelationships` tells the two apart.
OperationResult findModelPartTarget(const std::filesystem::path& relationshipPart, std::string& target,
                                    bool& hasRelationships, ProgressReporter& reporter);

// Colour text "#RRGGBB" or "#RRGGBBAA" (the "#" optional): opaque black with
// each pair present setting red, green, blue and alpha in turn.
ArgbColor parseThreeMfColor(std::string_view text);

} // namespace morvex::threemf
