#pragma once

#include "product_meshes.h"

#include <filesystem>
#include <vector>

namespace morvex::ifctool {

// Writes the products as one OBJ file with a material library beside it:
// per product an "o" line, a "usemtl" of its own material, its vertices and
// its triangles. When any product has a colour every vertex carries one
// ("v x y z r g b"; products without a style keep the default grey), and
// each material's "Kd" and "d" hold it; a material that products share is
// written once. Each file is written under a
// temporary name and renamed into place once complete; false when either
// could not be written, and then neither is left behind.
bool writeObjAndMaterials(const std::vector<ProductMesh>& products, const std::filesystem::path& objPath,
                          const std::filesystem::path& mtlPath);

} // namespace morvex::ifctool
