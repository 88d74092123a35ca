#pragma once

// Small models for the OBJ tests.

#include "common/recording_reporter.h"
#include "common/test_models.h"
#include "formats/obj/obj.h"
#include "mesh/model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace morvex::objtest {

using ::morvex::testing::addMesh;

inline Material& addNamedMaterial(Model& model, const std::string& name, ArgbColor diffuse)
{
    Material& material = *model.addMaterial();
    material.properties.setProperty("Name", name);
    material.setColor(DiffuseSlot, diffuse);
    return material;
}

inline void addRange(ModelObject& object, std::int16_t materialId, std::uint32_t first, std::uint32_t end)
{
    MaterialRange& range = *object.addMaterialRange();
    range.materialId = materialId;
    range.firstIndex = first;
    range.endIndex = end;
}

// Every triangle of a model as its three corner positions, in object order.
inline std::vector<Vector3> trianglesOf(const Model& model)
{
    std::vector<Vector3> corners;
    for (const auto& object : model.objects)
        for (std::uint32_t corner = 0; corner < object->triangleCount() * 3; ++corner)
            corners.push_back(object->vertices[object->indices[corner]]);
    return corners;
}

inline std::size_t triangleTotal(const Model& model)
{
    std::size_t total = 0;
    for (const auto& object : model.objects)
        total += object->triangleCount();
    return total;
}

// The names of the files in a folder, sorted.
inline std::vector<std::string> filesIn(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Writes the model into `folder` once to count the writer's stop checks,
// then stops it at the first, one in the middle and the last: each write
// is Cancelled and leaves nothing in the folder. Returns the checks counted.
inline std::uint64_t expectEveryStopLeavesNothing(const Model& model, const std::filesystem::path& folder)
{
    RecordingReporter counting;
    std::filesystem::create_directories(folder / "full");
    EXPECT_EQ(obj::writeObj(folder / "full" / "model.obj", model, counting), OperationResult::Success);
    const std::uint64_t checks = counting.cancelChecks();
    for (const std::uint64_t stopAt : {std::uint64_t{1}, checks / 2, checks}) {
        SCOPED_TRACE(stopAt);
        std::filesystem::create_directories(folder / "stopped");
        RecordingReporter stopping;
        stopping.cancelAfterChecks(stopAt);
        EXPECT_EQ(obj::writeObj(folder / "stopped" / "model.obj", model, stopping), OperationResult::Cancelled);
        EXPECT_TRUE(filesIn(folder / "stopped").empty());
    }
    return checks;
}

} // namespace morvex::objtest
