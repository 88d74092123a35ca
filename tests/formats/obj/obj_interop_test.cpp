#include "formats/obj/obj.h"
#include "obj_test_model.h"

#include "common/recording_reporter.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace morvex;
using namespace morvex::objtest;
using morvex::testing::corpusDir;
using morvex::testing::runCommand;
using morvex::testing::shellQuote;
using morvex::testing::TempDir;

namespace {

bool assimpInstalled()
{
    return runCommand("command -v assimp >/dev/null 2>&1") == 0;
}

// What "assimp info --raw" (no post-processing) reports for a file.
struct AssimpInfo {
    long faces = -1;
    std::string output;
};

AssimpInfo assimpInfo(const std::filesystem::path& file)
{
    AssimpInfo info;
    runCommand("assimp info " + shellQuote(file.string()) + " --raw 2>&1", &info.output);
    const std::size_t at = info.output.find("\nFaces:");
    if (at != std::string::npos)
        info.faces = std::stol(info.output.substr(at + 7));
    return info;
}

OperationResult read(const std::filesystem::path& path, Model& model)
{
    RecordingReporter reporter;
    return obj::readObj(path, model, reporter);
}

OperationResult write(const std::filesystem::path& path, const Model& model)
{
    RecordingReporter reporter;
    return obj::writeObj(path, model, reporter);
}

// Writes the model, reads it back with our reader and with Assimp: the same
// triangles come back, and Assimp counts as many.
void expectRoundTrip(const Model& model, const std::filesystem::path& path, bool textured)
{
    ASSERT_EQ(write(path, model), OperationResult::Success);
    Model back;
    ASSERT_EQ(read(path, back), OperationResult::Success);
    EXPECT_EQ(trianglesOf(back), trianglesOf(model));
    if (!assimpInstalled())
        return; // reported once by the test
    const AssimpInfo info = assimpInfo(path);
    EXPECT_EQ(info.faces, static_cast<long>(triangleTotal(model))) << info.output;
    // Assimp finds the material library and the copied textures.
    if (textured) {
        EXPECT_NE(info.output.find("'Textures/"), std::string::npos) << info.output;
    }
}

} // namespace

TEST(ObjInterop, WrittenModelsReadBackHereAndInAssimp)
{
    if (!assimpInstalled())
        std::fprintf(stderr, "assimp is not installed (Debian assimp-utils): checking our own reader only\n");
    TempDir dir;

    Model plain;
    addMesh(plain, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0.25f}}, {0, 1, 2, 2, 1, 3});
    addMesh(plain, {{0, 0, 1e-4f}, {2e-4f, 0, 1e-4f}, {0, 3e-4f, 1e-4f}}, {0, 1, 2});
    expectRoundTrip(plain, dir / "plain.obj", false);

    Model coloured;
    ModelObject& object = addMesh(coloured, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2});
    ASSERT_TRUE(object.colors.allocate(3));
    object.colors[1] = 0xFF102030u;
    expectRoundTrip(coloured, dir / "coloured.obj", false);

    Model materials;
    Material& red = addNamedMaterial(materials, "Red", 0xFFFF0000u);
    Material& green = addNamedMaterial(materials, "Green", 0xFF00FF00u);
    ModelObject& two = addMesh(materials, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {0, 1, 2, 2, 1, 3});
    addRange(two, green.id, 3, 6);
    addRange(two, red.id, 0, 3);
    expectRoundTrip(materials, dir / "materials.obj", false);
    EXPECT_TRUE(std::filesystem::exists(dir / "materials.mtl"));

    std::filesystem::create_directories(dir / "source");
    morvex::testing::writeFile(dir / "source" / "checker.png", "not really a picture");
    Model textured;
    Material& checker = addNamedMaterial(textured, "Checker", 0xFFFFFFFFu);
    ASSERT_TRUE(checker.addTextureMap(TextureKind::Diffuse, (dir / "source" / "checker.png").string()));
    ModelObject& quad = addMesh(textured, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}}, {0, 1, 2, 2, 1, 3});
    ASSERT_TRUE(quad.texCoords.allocate(6));
    for (std::uint32_t i = 0; i < 6; ++i)
        quad.texCoords[i] = {quad.vertices[quad.indices[i]].x, quad.vertices[quad.indices[i]].y};
    addRange(quad, checker.id, 0, 6);
    std::filesystem::create_directories(dir / "out");
    expectRoundTrip(textured, dir / "out" / "textured.obj", true);
    EXPECT_TRUE(std::filesystem::exists(dir / "out" / "Textures" / "checker.png"));
}

// Every corpus OBJ, read and written again, reads back with the same
// triangles, here and in Assimp.
TEST(ObjInterop, CorpusFilesSurviveARoundTrip)
{
    MORVEX_REQUIRE_CORPUS();
    if (!assimpInstalled())
        std::fprintf(stderr, "assimp is not installed (Debian assimp-utils): checking our own reader only\n");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(corpusDir() / "obj")) {
        if (entry.path().extension() != ".obj")
            continue;
        SCOPED_TRACE(entry.path().string());
        Model model;
        ASSERT_EQ(read(entry.path(), model), OperationResult::Success);
        bool textured = false;
        for (const auto& material : model.materials)
            for (const TextureMap& texture : material->textures)
                textured = textured || texture.kind == TextureKind::Diffuse;
        TempDir dir;
        expectRoundTrip(model, dir.path() / entry.path().filename(), textured);
    }
}
