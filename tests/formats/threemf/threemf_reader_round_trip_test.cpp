// Packages written by our writer, read back by our reader.

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "formats/threemf/lib3mf_check.h"
#include "formats/threemf/threemf.h"

#include <gtest/gtest.h>

using namespace morvex;
using morvex::testing::TempDir;

namespace {

ModelObject& addSquare(Model& model, const std::string& id)
{
    ModelObject& object = *model.addObject();
    object.properties.setProperty("id", id);
    const Vector3 corners[] = {{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}};
    const std::uint32_t triangles[] = {0, 1, 2, 0, 2, 3};
    EXPECT_TRUE(object.vertices.allocate(4));
    std::copy(std::begin(corners), std::end(corners), object.vertices.begin());
    EXPECT_TRUE(object.indices.allocate(6));
    std::copy(std::begin(triangles), std::end(triangles), object.indices.begin());
    return object;
}

} // namespace

TEST(ThreeMfRoundTrip, ObjectsColoursMetadataAndModelProperties)
{
    constexpr ArgbColor red = 0xFFFF0000, green = 0xFF00FF00, blue = 0x800000FF;
    Model model;
    model.properties.setProperty("Title", "Round trip");
    model.properties.setProperty("Designer", "Morvex");
    model.properties.setProperty("Model:unit", "inch");
    model.properties.setProperty("BuildItem:partnumber_7", "PN-7");

    ModelObject& corners = addSquare(model, "7");
    corners.position = {10, 20, 30};
    const ArgbColor cornerColours[] = {red, green, blue, blue, red, green};
    ASSERT_TRUE(corners.colors.allocate(6));
    std::copy(std::begin(cornerColours), std::end(cornerColours), corners.colors.begin());
    corners.properties.setProperty("name", "corners");

    ModelObject& plain = addSquare(model, "9");
    plain.properties.setProperty("name", "plain");

    TempDir dir;
    const auto path = dir / "round.3mf";
    RecordingReporter reporter;
    Failure failure;
    ASSERT_EQ(threemf::write3mf(path, model, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    threemf_test::expectStrictlyReadable(path);

    Model read;
    ASSERT_EQ(threemf::read3mf(path, read, reporter, &failure), OperationResult::Success) << describeFailure(failure);
    EXPECT_EQ(read.properties.getProperty("Title"), "Round trip");
    EXPECT_EQ(read.properties.getProperty("ModelName"), "Round trip");
    EXPECT_EQ(read.properties.getProperty("Designer"), "Morvex");
    EXPECT_EQ(read.properties.getProperty("Model:unit"), "inch");
    EXPECT_EQ(read.properties.getProperty("BuildItem:partnumber_1"), "PN-7") << "part number follows its object";

    ASSERT_EQ(read.objects.size(), 2u);
    const ModelObject& first = *read.objects[0];
    const ModelObject& second = *read.objects[1];
    EXPECT_EQ(first.properties.getProperty("name"), "corners");
    EXPECT_EQ(second.properties.getProperty("name"), "plain");
    ASSERT_EQ(first.vertices.count(), 4u);
    for (std::uint32_t v = 0; v < 4; ++v) {
        const Vector3 placed = transformPoint(model.objects[0]->vertices[v], placementMatrix(*model.objects[0]));
        EXPECT_EQ(first.vertices[v], placed) << "placement applied by the writer, kept by the reader";
        EXPECT_EQ(second.vertices[v], model.objects[1]->vertices[v]);
    }
    EXPECT_EQ(std::vector<std::uint32_t>(first.indices.begin(), first.indices.end()),
              std::vector<std::uint32_t>(corners.indices.begin(), corners.indices.end()));
    EXPECT_EQ(std::vector<ArgbColor>(first.colors.begin(), first.colors.end()),
              std::vector<ArgbColor>(std::begin(cornerColours), std::end(cornerColours)));
    EXPECT_EQ(first.normals.count(), 6u);
    EXPECT_EQ(read.materials.size(), 3u) << "one colour group entry per palette colour";
}

// Arrays grow ahead of what is read and are fitted when the object ends: a
// small package of many small objects must not take memory out of proportion
// to its size (each object used to keep room for 10,000 vertices and 30,000
// indices, and a 56 KB file ran out of memory).
TEST(ThreeMfRoundTrip, ManySmallObjectsHoldOnlyWhatTheyUse)
{
    Model model;
    constexpr int Objects = 2'000;
    for (int i = 0; i < Objects; ++i) {
        ModelObject& square = addSquare(model, std::to_string(i + 1));
        ASSERT_TRUE(square.colors.allocate(6));
        std::fill(square.colors.begin(), square.colors.end(), i % 2 == 0 ? 0xFFFF0000u : 0xFF00FF00u);
    }
    TempDir dir;
    RecordingReporter reporter;
    Failure failure;
    ASSERT_EQ(threemf::write3mf(dir / "many.3mf", model, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);

    Model read;
    ASSERT_EQ(threemf::read3mf(dir / "many.3mf", read, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    ASSERT_EQ(read.objects.size(), static_cast<std::size_t>(Objects));
    std::uint64_t held = 0;
    for (const auto& object : read.objects) {
        EXPECT_EQ(object->vertices.count(), 4u);
        EXPECT_EQ(object->indices.count(), 6u);
        held += object->vertices.capacity() * sizeof(Vector3) + object->indices.capacity() * sizeof(std::uint32_t) +
                object->colors.capacity() * sizeof(ArgbColor);
    }
    EXPECT_LE(held, std::uint64_t(Objects) * (4 * sizeof(Vector3) + 6 * 4 + 6 * 4)) << "bytes held by the arrays";
}
