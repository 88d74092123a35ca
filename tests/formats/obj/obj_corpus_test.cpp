#include "formats/obj/obj.h"
#include "obj_test_model.h"

#include "common/recording_reporter.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using namespace morvex;
using namespace morvex::objtest;
using morvex::testing::corpusDir;

namespace {

using morvex::testing::Bounds;

// The box around every vertex that a triangle uses.
Bounds boundsOf(const Model& model)
{
    Bounds box;
    for (const Vector3& p : trianglesOf(model))
        box.add(p);
    return box;
}

struct Expectation {
    const char* file;
    std::size_t objects;
    std::size_t triangles;
    std::size_t materials;
    std::size_t texturesFound; // texture maps whose file was found
    Vector3 min;
    Vector3 max;
    const char* note;
};

void expectNear(const Vector3& actual, const Vector3& expected)
{
    EXPECT_NEAR(actual.x, expected.x, 1e-5);
    EXPECT_NEAR(actual.y, expected.y, 1e-5);
    EXPECT_NEAR(actual.z, expected.z, 1e-5);
}

} // namespace

// Every OBJ file of the corpus, with what it must give. Triangle counts and
// boxes agree with what Assimp reads ("assimp info", which fans polygons),
// except where noted.
TEST(ObjCorpus, EveryFileReadsAsExpected)
{
    MORVEX_REQUIRE_CORPUS();
    const Vector3 half{0.5f, 0.5f, 0.5f}, minusHalf{-0.5f, -0.5f, -0.5f};
    const std::vector<Expectation> expectations = {
        {"assimp__box.obj", 1, 12, 1, 0, minusHalf, half, "six quads, usemtl without a library"},
        {"assimp__box_longline.obj", 1, 944, 1, 0, minusHalf, half,
         "a 1874-byte face of 468 corners gives 466 triangles, plus five quads, as Assimp reads it"},
        {"assimp__box_without_lineending.obj", 1, 12, 1, 0, minusHalf, half, "last face without a line end"},
        {"assimp__cube_with_vertexcolors.obj", 1, 12, 0, 0, {0, 0, 0}, {1, 1, 1}, "fractional vertex colours"},
        {"assimp__testmixed.obj", 1, 12, 1, 0, minusHalf, half,
         "lines and points are not faces (Assimp counts them as faces too: 54)"},
        {"assimp__mtl_different_folder/mtl_different_folder.obj", 1, 12, 1, 0, minusHalf, half,
         "library in a sub-folder"},
        {"assimp__spider/spider.obj",
         6,
         1368,
         5,
         5,
         {-92.655235f, -42.233826f, -106.6912f},
         {57.936218f, 37.503952f, 86.6912f},
         "19 usemtl lines make 6 runs; Windows texture paths (Assimp drops 28 degenerate triangles "
         "unless told --raw)"},
        {"trimesh__fuze/fuze.obj",
         1,
         1000,
         1,
         1,
         {-0.036391f, -0.036711f, 0.004016f},
         {0.036221f, 0.036803f, 0.219144f},
         "tab-separated material name, texture name with a space"},
        {"trimesh__negative_indices.obj", 1, 12, 0, 0, {-1, -1, -1}, {1, 1, 1}, "relative indices"},
        {"trimesh__capsule/capsule.obj", 1, 10200, 1, 1, {-1, -1, -1.5f}, {1, 1, 1.5f}, "textured, 0.9 MB"},
    };
    std::vector<std::string> listed;
    for (const Expectation& expected : expectations) {
        SCOPED_TRACE(std::string(expected.file) + ": " + expected.note);
        listed.push_back(expected.file);
        Model model;
        RecordingReporter reporter;
        Failure failure;
        ASSERT_EQ(obj::readObj(corpusDir() / "obj" / expected.file, model, reporter, &failure),
                  OperationResult::Success)
            << describeFailure(failure);
        EXPECT_EQ(model.objects.size(), expected.objects);
        EXPECT_EQ(triangleTotal(model), expected.triangles);
        EXPECT_EQ(model.materials.size(), expected.materials);
        std::size_t found = 0;
        for (const auto& material : model.materials)
            for (const TextureMap& texture : material->textures)
                found += std::filesystem::is_regular_file(texture.path) ? 1 : 0;
        EXPECT_EQ(found, expected.texturesFound);
        const Bounds box = boundsOf(model);
        expectNear(box.min, expected.min);
        expectNear(box.max, expected.max);
    }

    // Colours written as fractions of 1 are scaled to bytes: vertex 1 is
    // 0.48627 0.43137 0.47059.
    Model coloured;
    RecordingReporter reporter;
    ASSERT_EQ(obj::readObj(corpusDir() / "obj" / "assimp__cube_with_vertexcolors.obj", coloured, reporter),
              OperationResult::Success);
    ASSERT_EQ(coloured.objects[0]->colors.count(), 36u);
    EXPECT_EQ(coloured.objects[0]->colors[0], 0xFF7C6E78u);

    // Every OBJ file of the corpus has an expectation.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(corpusDir() / "obj")) {
        if (entry.path().extension() != ".obj")
            continue;
        const std::string relative = std::filesystem::relative(entry.path(), corpusDir() / "obj").string();
        EXPECT_NE(std::find(listed.begin(), listed.end(), relative), listed.end()) << relative << " has no expectation";
    }
}
