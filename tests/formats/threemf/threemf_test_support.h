#pragma once

// Shared setup of the 3MF tests: a tetrahedron and its colours, and the
// scratch folders a read or write may leave behind.

#include "mesh/model.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

namespace morvex::threemf_test {

inline constexpr ArgbColor Red = 0xFFFF0000, Green = 0x8000FF00, Blue = 0xFF0000FF, Yellow = 0xFFFFFF00;

inline const Vector3 TetrahedronCorners[] = {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}};
inline constexpr std::uint32_t TetrahedronTriangles[] = {0, 2, 1, 0, 1, 3, 0, 3, 2, 1, 2, 3};

// A tetrahedron; four triangles over four vertices.
inline ModelObject& addTetrahedron(Model& model)
{
    ModelObject& object = *model.addObject();
    EXPECT_TRUE(object.vertices.allocate(4));
    for (std::uint32_t i = 0; i < 4; ++i)
        object.vertices[i] = TetrahedronCorners[i];
    EXPECT_TRUE(object.indices.allocate(12));
    for (std::uint32_t i = 0; i < 12; ++i)
        object.indices[i] = TetrahedronTriangles[i];
    return object;
}

// Gives the object these colours, one per vertex or one per corner.
inline void setColors(ModelObject& object, std::initializer_list<ArgbColor> colors)
{
    ASSERT_TRUE(object.colors.allocate(static_cast<std::uint32_t>(colors.size())));
    std::uint32_t i = 0;
    for (ArgbColor color : colors)
        object.colors[i++] = color;
}

// Names of the scratch folders of this thread that exist now.
inline std::vector<std::string> scratchFolders()
{
    const std::string prefix = "Morvex-" + std::to_string(static_cast<unsigned long>(gettid())) + "-";
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::temp_directory_path()))
        if (entry.path().filename().string().starts_with(prefix))
            names.push_back(entry.path().filename().string());
    return names;
}

// Offset of the model part's compressed bytes in a package's bytes (from
// its local header), or npos.
inline std::size_t modelDataOffset(const std::string& package)
{
    const std::string header("PK\x03\x04", 4);
    for (std::size_t at = package.find(header); at != std::string::npos; at = package.find(header, at + 1)) {
        std::uint16_t nameLength = 0, extraLength = 0;
        std::memcpy(&nameLength, &package[at + 26], 2);
        std::memcpy(&extraLength, &package[at + 28], 2);
        if (package.compare(at + 30, nameLength, "3D/3dmodel.model") == 0)
            return at + 30 + nameLength + extraLength;
    }
    return std::string::npos;
}

} // namespace morvex::threemf_test
