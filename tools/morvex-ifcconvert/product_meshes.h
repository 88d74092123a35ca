#pragma once

#include <cstdint>
#include <string>
#include <vector>

class GeometryConverter;

namespace morvex::ifctool {

struct Colour {
    float red = 0.75f, green = 0.75f, blue = 0.75f, alpha = 1.0f;
};

// One product's triangles in world coordinates (metres, Y up), with the
// name its "o" line and its material take.
struct ProductMesh {
    std::string name;     // "IfcWall 'Wall-01' #142": type, name when there is one, STEP id
    std::string material; // "IfcWall_142": one per product, or per colour in files of very many products
    bool coloured = false;
    Colour colour;
    std::vector<double> positions;      // x, y, z per vertex
    std::vector<std::uint32_t> corners; // three per triangle, into positions
};

// The products that have surface geometry, in the order of their STEP ids:
// the "Body" representations where a product has one (all representations
// otherwise), its placement applied, every face cut into triangles. Spaces
// are left out: they are volumes of air that would hide the building; so
// are annotations, drawings on top of the model; openings are already cut
// from their walls. A file of more products than
// a reader may keep materials gives each colour one material instead of
// each product.
std::vector<ProductMesh> collectProducts(GeometryConverter& geometry);

// IFC++ keeps names as wide strings of code points.
std::string utf8(const std::wstring& text);

} // namespace morvex::ifctool
