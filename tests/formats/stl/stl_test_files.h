#pragma once

// Builders of small STL files for the tests of this folder.

#include "formats/stl/stl.h"
#include "mesh/model.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvex::stl::testing {

struct TestFacet {
    Vector3 corners[3];
    std::uint16_t attribute = 0;
    Vector3 normal{0, 0, 1};
};

inline void appendBytes(std::string& out, const void* bytes, std::size_t length)
{
    out.append(static_cast<const char*>(bytes), length);
}

// An 80-byte header (the text padded with zero bytes), the facet count (or
// `claimedCount`) and the facets.
inline std::string binaryStl(std::string_view header, const std::vector<TestFacet>& facets,
                             std::optional<std::uint32_t> claimedCount = std::nullopt)
{
    std::string out(header.substr(0, 80));
    out.resize(80, '\0');
    const std::uint32_t count = claimedCount.value_or(static_cast<std::uint32_t>(facets.size()));
    appendBytes(out, &count, 4);
    for (const TestFacet& facet : facets) {
        appendBytes(out, &facet.normal, 12);
        appendBytes(out, facet.corners, 36);
        appendBytes(out, &facet.attribute, 2);
    }
    return out;
}

inline std::string asciiFacet(const TestFacet& facet, std::string_view eol = "\n")
{
    const auto vector = [](const Vector3& v) {
        char text[128];
        std::snprintf(text, sizeof text, " %.9g %.9g %.9g", static_cast<double>(v.x), static_cast<double>(v.y),
                      static_cast<double>(v.z));
        return std::string(text);
    };
    std::string out = "  facet normal" + vector(facet.normal) + std::string(eol) + "    outer loop" + std::string(eol);
    for (const Vector3& corner : facet.corners)
        out += "      vertex" + vector(corner) + std::string(eol);
    out += "    endloop" + std::string(eol) + "  endfacet" + std::string(eol);
    return out;
}

inline std::string asciiStl(std::string_view name, const std::vector<TestFacet>& facets, std::string_view eol = "\n")
{
    std::string out = "solid " + std::string(name) + std::string(eol);
    for (const TestFacet& facet : facets)
        out += asciiFacet(facet, eol);
    return out + "endsolid " + std::string(name) + std::string(eol);
}

// The twelve facets of a unit cube.
inline std::vector<TestFacet> cubeFacets()
{
    const Vector3 p[8] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
    const int faces[12][3] = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                              {1, 2, 6}, {1, 6, 5}, {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}};
    std::vector<TestFacet> facets;
    for (const auto& face : faces)
        facets.push_back({{p[face[0]], p[face[1]], p[face[2]]}});
    return facets;
}

// `count` triangles along the x axis, each sharing an edge with the next.
inline std::vector<TestFacet> stripFacets(int count)
{
    std::vector<TestFacet> facets;
    for (int i = 0; i < count; ++i) {
        const float x = static_cast<float>(i);
        facets.push_back({{{x, 0, 0}, {x, 1, 0}, {x + 1, 1, 0}}});
    }
    return facets;
}

inline OperationResult readStlFile(const std::filesystem::path& path, Model& model, Failure* failure = nullptr)
{
    StoppableReporter reporter;
    return readStl(path, model, reporter, failure);
}

} // namespace morvex::stl::testing
