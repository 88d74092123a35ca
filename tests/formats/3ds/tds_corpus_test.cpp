#include "formats/3ds/tds_test_support.h"

#include "common/test_models.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <set>

namespace morvex::tds {
namespace {

using namespace morvex::tds::testing;
using morvex::testing::Bounds;
namespace fs = std::filesystem;

// What each real file must read as. Objects, triangles and materials agree
// with `assimp info --raw` (which adds a default material where a file has
// none); the boxes are those of the files' vertex lists, the coordinates
// the objects were modelled at, which the keyframers of these files leave in
// place (test1's keys lie up to 0.002 from its local origins).
struct Expectation {
    const char* file;
    std::uint32_t objects;
    std::uint32_t triangles;
    std::uint32_t materials;
    std::uint32_t textures; // found on disk
    std::array<float, 6> box;
};

// clang-format off
const Expectation expectations[] = {
    {"assimp__RotatingCube.3DS", 1, 12, 0, 0, {-46.0925f, -40.8152f, -35.5429f, 8.7611f, 25.8876f, 39.0875f}},
    {"assimp__cart_wheel.3DS", 13, 1400, 2, 0, {-16.1f, 11.065f, 0.9f, 16.1f, 14.065f, 33.1f}},
    {"assimp__fels.3ds", 1, 768, 1, 0, {-2.2219f, -3.0843f, -2.5647f, 1.2829f, 0.1213f, 2.1169f}},
    {"assimp__pyramob.3DS", 1, 31460, 1, 0, {-71.0305f, 1.82f, -50.3485f, 32.0527f, 81.5975f, 59.0684f}},
    {"assimp__jeep1/jeep1.3ds", 7, 2032, 1, 1, {-5.5292f, -4.3479f, -0.026f, 5.5292f, 12.298f, 7.6135f}},
    {"assimp__test1/test1.3ds", 9, 108, 3, 3, {-10.3432f, -0.1942f, -10.1551f, 9.8509f, 10.2303f, 10.2476f}},
    {"assimp__cube_with_diffuse_texture/cube_with_diffuse_texture.3DS", 1, 12, 1, 1,
     {-50.0f, 32.6177f, -30.5402f, 0.0f, 82.6177f, 19.4598f}},
};
// clang-format on

TEST(TdsCorpus, EveryRealFileReadsAsExpected)
{
    MORVEX_REQUIRE_CORPUS();
    const fs::path folder = morvex::testing::corpusDir() / "3ds";
    std::set<std::string> listed;
    for (const Expectation& e : expectations) {
        listed.insert(fs::path(e.file).begin()->string());
        SCOPED_TRACE(e.file);
        Model model;
        Failure failure;
        ASSERT_EQ(readPath(folder / e.file, model, &failure), OperationResult::Success) << describeFailure(failure);
        EXPECT_EQ(model.profile.kind, FormatKind::ThreeDs);
        EXPECT_EQ(model.objects.size(), e.objects);
        EXPECT_EQ(model.materials.size(), e.materials);
        std::uint32_t textures = 0;
        for (const auto& material : model.materials)
            for (const TextureMap& texture : material->textures)
                textures += fs::is_regular_file(texture.path) ? 1 : 0;
        EXPECT_EQ(textures, e.textures) << "textures named in another letter case are found";
        std::uint32_t triangles = 0;
        Bounds bounds;
        for (const auto& object : model.objects) {
            triangles += object->triangleCount();
            const Matrix4 placement = placementMatrix(*object);
            for (std::uint32_t index : object->indices) {
                ASSERT_LT(index, object->vertices.count());
                bounds.add(transformPoint(object->vertices[index], placement));
            }
            for (const MaterialRange& range : object->materialRanges)
                EXPECT_LE(range.endIndex, object->indices.count());
        }
        EXPECT_EQ(triangles, e.triangles);
        const float box[6] = {bounds.min.x, bounds.min.y, bounds.min.z, bounds.max.x, bounds.max.y, bounds.max.z};
        for (std::size_t i = 0; i < 6; ++i)
            EXPECT_NEAR(box[i], e.box[i], 0.003f) << "box coordinate " << i;
    }
    for (const auto& entry : fs::directory_iterator(folder))
        EXPECT_TRUE(listed.count(entry.path().filename().string()))
            << entry.path().filename() << " has no expectation: add one";
}

std::vector<Vector3> cornersOf(const Model& model)
{
    std::vector<Vector3> corners;
    for (const auto& object : model.objects)
        for (std::uint32_t index : object->indices)
            corners.push_back(object->vertices[index]);
    return corners;
}

// The real files through our writer and back: every triangle of every
// object comes back at the same place.
TEST(TdsCorpus, RealFilesSurviveOurWriter)
{
    MORVEX_REQUIRE_CORPUS();
    morvex::testing::TempDir dir;
    for (const char* name : {"assimp__cart_wheel.3DS", "assimp__pyramob.3DS", "assimp__test1/test1.3ds"}) {
        SCOPED_TRACE(name);
        Model model;
        Failure failure;
        ASSERT_EQ(readPath(morvex::testing::corpusDir() / "3ds" / name, model, &failure), OperationResult::Success);
        RecordingReporter reporter;
        const fs::path written = dir / (fs::path(name).stem().string() + ".3ds");
        ASSERT_EQ(write3ds(written, model, reporter, &failure), OperationResult::Success) << describeFailure(failure);
        Model back;
        ASSERT_EQ(readPath(written, back, &failure), OperationResult::Success) << describeFailure(failure);
        EXPECT_EQ(back.materials.size(), model.materials.size());
        // Large objects come back in pieces: the corners in order are the same.
        const std::vector<Vector3> before = cornersOf(model);
        const std::vector<Vector3> after = cornersOf(back);
        ASSERT_EQ(after.size(), before.size());
        for (std::size_t k = 0; k < before.size(); ++k)
            ASSERT_EQ(after[k], before[k]) << "corner " << k;
    }
}

} // namespace
} // namespace morvex::tds
