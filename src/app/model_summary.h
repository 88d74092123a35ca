#pragma once

#include "mesh/model.h"

#include <array>
#include <string>
#include <string_view>

namespace morvex {

// Axis-aligned bounds over every placed vertex of the model: each object's
// position, rotation and scale applied. Vertices that are not finite are left
// out. `valid` is false when no vertex counted.
struct BoundingBox {
    std::array<double, 3> min{0, 0, 0};
    std::array<double, 3> max{0, 0, 0};
    bool valid = false;
};

BoundingBox boundingBoxOf(const Model& model);

// One line of JSON describing a read: path, result, profile kind, objects with
// their counts and properties, materials, bbox, document properties.
// "binary STL", "3DP document", ...: the kind of format in words.
std::string_view formatKindName(FormatKind kind);

std::string modelSummaryJson(std::string_view path, OperationResult result, const Model& model,
                             std::string_view reason);

// The same as readable text for a terminal.
std::string modelSummaryText(std::string_view path, OperationResult result, const Model& model,
                             std::string_view reason);

} // namespace morvex
