#pragma once

// Small models built in memory, for tests of the writers and mesh steps.

#include "mesh/model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace morvex::testing {

// A new object of the model holding these vertices and corner indices, and
// per-vertex or per-corner colours when any are given. An empty index list
// is left without storage, as a reader leaves an object without faces.
inline ModelObject& addMesh(Model& model, const std::vector<Vector3>& vertices,
                            const std::vector<std::uint32_t>& indices, const std::vector<ArgbColor>& colors = {})
{
    ModelObject& object = *model.addObject();
    EXPECT_TRUE(object.vertices.allocate(static_cast<std::uint32_t>(vertices.size())));
    std::copy(vertices.begin(), vertices.end(), object.vertices.begin());
    if (!indices.empty()) {
        EXPECT_TRUE(object.indices.allocate(static_cast<std::uint32_t>(indices.size())));
        std::copy(indices.begin(), indices.end(), object.indices.begin());
    }
    if (!colors.empty()) {
        EXPECT_TRUE(object.colors.allocate(static_cast<std::uint32_t>(colors.size())));
        std::copy(colors.begin(), colors.end(), object.colors.begin());
    }
    return object;
}

// The box around the points added to it.
struct Bounds {
    Vector3 min{INFINITY, INFINITY, INFINITY};
    Vector3 max{-INFINITY, -INFINITY, -INFINITY};
    void add(const Vector3& p)
    {
        min = {std::min(min.x, p.x), std::min(min.y, p.y), std::min(min.z, p.z)};
        max = {std::max(max.x, p.x), std::max(max.y, p.y), std::max(max.z, p.z)};
    }
};

// The elements of a model array, for comparing with a list.
template <typename Array>
auto toVector(const Array& array)
{
    return std::vector<std::remove_cvref_t<decltype(array[0])>>(array.begin(), array.end());
}

} // namespace morvex::testing
