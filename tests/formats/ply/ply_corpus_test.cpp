#include "formats/ply/ply_test_support.h"

#include <cmath>
#include <map>

namespace morvex::testing {
namespace {

enum class Coloring { None, PerVertex, PerCorner };

struct CorpusExpectation {
    std::uint32_t vertices;
    std::uint32_t triangles;
    Vector3 min; // over the vertices that triangles use (all of them for a point cloud)
    Vector3 max;
    Coloring coloring;
};

Bounds boundsOf(const ModelObject& object)
{
    Bounds bounds;
    if (object.indices.empty()) {
        for (const Vector3& p : object.vertices)
            bounds.add(p);
    } else {
        for (const std::uint32_t v : object.indices)
            bounds.add(object.vertices[v]);
    }
    return bounds;
}

Coloring coloringOf(const ModelObject& object)
{
    if (object.colorsPerCorner())
        return Coloring::PerCorner;
    return object.colorsPerVertex() ? Coloring::PerVertex : Coloring::None;
}

void expectNear(const Vector3& actual, const Vector3& expected)
{
    // The expectations are printed with six decimals.
    const float tolerance =
        1e-6f + 1e-6f * std::max({std::fabs(expected.x), std::fabs(expected.y), std::fabs(expected.z)});
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

// Every PLY file of the corpus, with what it must give. Triangle counts and
// bounds agree with `assimp info` (which reports the used vertices only and
// refuses the point cloud).
TEST(PlyCorpus, ReadsEveryFileAsExpected)
{
    MORVEX_REQUIRE_CORPUS();
    const std::map<std::string, CorpusExpectation> expectations = {
        {"assimp__cube.ply", {8, 12, {0, 0, 0}, {1, 1, 1}, Coloring::None}},
        {"assimp__cube_binary.ply", {8, 12, {0, 0, 0}, {1, 1, 1}, Coloring::None}},
        // As many vertices as corners: the vertex colours are stored per
        // corner.
        {"assimp__float-color.ply", {3, 1, {0, 0, 0}, {200, 200, 0}, Coloring::PerCorner}},
        {"assimp__pond.0.ply",
         {70051, 0, {-1.50206f, 0.571367f, -2.63168f}, {1.97647f, 1.09156f, 0.509945f}, Coloring::None}},
        {"happly__platonic_shelf_big_endian.ply",
         {50, 80, {-6.524307f, -1.158087f, -1.158087f}, {6.963232f, 1.158087f, 1.158086f}, Coloring::None}},
        {"tinyply__bunny.ply",
         {35947, 69451, {-0.094690f, 0.032987f, -0.061874f}, {0.061009f, 0.187321f, 0.058800f}, Coloring::None}},
        {"tinyply__sofa.ply",
         {12103, 24104, {-1038, -0.0002f, -491.106995f}, {1038, 877.893005f, 491.106903f}, Coloring::PerCorner}},
        {"trimesh__cycloidal.ply",
         {21384, 43368, {0.239546f, -0.338630f, 0.810647f}, {2.114547f, 1.535957f, 1.917561f}, Coloring::PerCorner}},
        {"trimesh__fixed_top.ply",
         {2374, 4772, {-60.001301f, 0, -60.001301f}, {60.001301f, 10, 60.001301f}, Coloring::PerCorner}},
        {"trimesh__metadata.ply", {4, 2, {-4, -4, 0}, {4, 4, 0}, Coloring::None}},
    };

    std::size_t seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpusDir() / "ply")) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        const auto expected = expectations.find(name);
        ASSERT_NE(expected, expectations.end()) << "no expectation for this corpus file";
        ++seen;
        RecordingReporter reporter;
        Model model;
        Failure failure;
        ASSERT_EQ(ply::readPly(entry.path(), model, reporter, &failure), OperationResult::Success)
            << describeFailure(failure);
        ASSERT_EQ(model.objects.size(), 1u);
        const ModelObject& object = *model.objects[0];
        const CorpusExpectation& want = expected->second;
        EXPECT_EQ(object.vertices.count(), want.vertices);
        EXPECT_EQ(object.triangleCount(), want.triangles);
        EXPECT_EQ(object.indices.count() % 3, 0u);
        const Bounds bounds = boundsOf(object);
        expectNear(bounds.min, want.min);
        expectNear(bounds.max, want.max);
        EXPECT_EQ(coloringOf(object), want.coloring);

        // Written by us and read again, nothing changes.
        TempDir dir;
        ASSERT_EQ(ply::writePly(dir / "copy.ply", model, reporter, &failure), OperationResult::Success)
            << describeFailure(failure);
        Model copy;
        ASSERT_EQ(ply::readPly(dir / "copy.ply", copy, reporter, &failure), OperationResult::Success)
            << describeFailure(failure);
        const ModelObject& again = *copy.objects[0];
        EXPECT_EQ(toVector(again.vertices), toVector(object.vertices));
        EXPECT_EQ(toVector(again.indices), toVector(object.indices));
        EXPECT_EQ(toVector(again.colors), toVector(object.colors));
        EXPECT_EQ(copy.properties, model.properties);
    }
    EXPECT_EQ(seen, expectations.size());
}

} // namespace
} // namespace morvex::testing
