#pragma once

// Small models built in memory for tests.

#include "mesh/model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace morvex::testing {

// A new object of the model holding these vertices and indices. An empty
// index list is left without storage, as a reader leaves an object without
// faces.
inline ModelObject& addMesh(Model& model, const std::vector<Vector3>& vertices,
                            const std::vector<std::uint32_t>& indices)
{
    ModelObject& object = *model.addObject();
    EXPECT_TRUE(object.vertices.allocate(static_cast<std::uint32_t>(vertices.size())));
    std::copy(vertices.begin(), vertices.end(), object.vertices.begin());
    if (!indices.empty()) {
        EXPECT_TRUE(object.indices.allocate(static_cast<std::uint32_t>(indices.size())));
        std::copy(indices.begin(), indices.end(), object.indices.begin());
    }
    return object;
}

} // namespace morvex::testing
