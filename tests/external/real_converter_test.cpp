#include "app/model_io.h"
#include "common/cli_convert.h"
#include "common/test_support.h"
#include "external/components/component_registry.h"
#include "external/external_converters.h"
#include "external/meshconv/converter_run.h"
#include "formats/format_table.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace morvex {
namespace {

using testing::corpusDir;
using testing::TempDir;
using testing::writeFile;

const std::filesystem::path MeshConverter = MORVEX_MESHCONV_PATH;

// What the helper reads from each corpus file: objects, vertices and
// triangles as `assimp info FILE -ptv -tri` counts meshes, vertices and
// faces (node transforms baked, polygons triangulated).
struct Expectation {
    const char* file;
    std::size_t objects;
    std::uint64_t vertices;
    std::uint64_t triangles;
    bool normals;
};

const Expectation Expectations[] = {
    {"fbx/assimp__box.fbx", 1, 36, 12, true},
    {"dae/assimp__duck/duck.dae", 1, 8500, 4212, true},
    {"gltf/assimp__BoxTextured/BoxTextured.gltf", 1, 24, 12, true},
    {"glb/assimp__2CylinderEngine.glb", 34, 84657, 121496, true},
    {"3d/assimp__box3d/box_d.3d", 1, 36, 12, false},
    {"ac/assimp__SphereWithLight.ac", 1, 35328, 17664, false},
    {"ase/assimp__ThreeCubesGreen.ASE", 3, 108, 36, true},
    {"b3d/assimp__WusonBlitz.b3d", 1, 11196, 3732, false},
    {"blend/assimp__BlenderDefault_276.blend", 1, 24, 12, true},
    {"cob/assimp__molecule.cob", 4, 1920, 896, false},
    {"dxf/assimp__PinkEggFromLW.dxf", 1, 1152, 576, false},
    {"lwo/assimp__hierarchy.lwo", 3, 1176, 564, true},
    {"md2/assimp__faerie.md2", 1, 1962, 654, true},
    {"md3/assimp__watercan.md3", 1, 234, 78, true},
    {"md5/assimp__SimpleCube.md5mesh", 1, 36, 12, false},
    {"ms3d/assimp__twospheres_withmats.ms3d", 2, 720, 240, true},
    {"off/assimp__Cube.off", 1, 8, 12, false},
    {"x/assimp__test_cube_text.x", 1, 36, 12, true},
    {"smd/assimp__triangle.smd", 1, 3, 1, true},
    {"ifc/XbimEssentials__SmallModelIfc2x3.ifc", 3, 126, 62, false},
};

// Every object is safe for the later steps: indices name vertices, normals
// are per corner, colours and texture coordinates per vertex or corner.
void expectSoundObjects(const Model& model)
{
    for (const auto& object : model.objects) {
        for (std::uint32_t index : object->indices)
            ASSERT_LT(index, object->vertices.count());
        EXPECT_TRUE(object->normals.empty() || object->normals.count() == object->indices.count());
        EXPECT_TRUE(object->colors.empty() || object->colorsPerCorner() || object->colorsPerVertex());
        EXPECT_TRUE(object->texCoords.empty() || object->texCoords.count() == object->indices.count() ||
                    object->texCoordsPerVertex());
    }
}

TEST(RealConverter, ReadsEveryHelperFormatOfTheCorpus)
{
    MORVEX_REQUIRE_CORPUS();
    for (const Expectation& expected : Expectations) {
        SCOPED_TRACE(expected.file);
        StoppableReporter reporter;
        Model model;
        Failure failure;
        ASSERT_EQ(runConverterProgram(reporter, model, MeshConverter, corpusDir() / expected.file, ConverterLimits{},
                                      &failure),
                  OperationResult::Success)
            << failure.message;
        std::uint64_t vertices = 0;
        std::uint64_t triangles = 0;
        bool normals = false;
        for (const auto& object : model.objects) {
            vertices += object->vertices.count();
            triangles += object->triangleCount();
            normals = normals || !object->normals.empty();
        }
        EXPECT_EQ(model.objects.size(), expected.objects);
        EXPECT_EQ(vertices, expected.vertices);
        EXPECT_EQ(triangles, expected.triangles);
        EXPECT_EQ(normals, expected.normals);
        expectSoundObjects(model);
    }
}

TEST(RealConverter, FilesItCannotReadFailWithItsReason)
{
    MORVEX_REQUIRE_CORPUS();
    TempDir folder;
    // A 114-byte PLY header claiming 200,000,000 vertices.
    writeFile(folder / "huge.ply", "ply\nformat binary_little_endian 1.0\nelement vertex 200000000\n"
                                   "property float x\nproperty float y\nproperty float z\nend_header\n");
    writeFile(folder / "empty.fbx", "");
    const std::filesystem::path files[] = {corpusDir() / "mdl/assimp__man.mdl", folder / "empty.fbx",
                                           folder / "missing.dae", folder / "huge.ply"};
    for (const std::filesystem::path& file : files) {
        SCOPED_TRACE(file.string());
        StoppableReporter reporter;
        Model model;
        Failure failure;
        ConverterLimits limits;
        limits.memoryBytes = std::uint64_t(1) << 30;
        limits.wallSeconds = 30;
        EXPECT_EQ(runConverterProgram(reporter, model, MeshConverter, file, limits, &failure),
                  OperationResult::Failure);
        EXPECT_NE(failure.message.find("the external converter could not read the file (exit code 3)"),
                  std::string::npos)
            << failure.message;
        EXPECT_TRUE(model.objects.empty());
    }
}

// The build registers its converter in the machine-wide file beside the
// programs; a user's entry comes first, and a registered path that is gone
// counts as not registered.
TEST(ComponentRegistry, UserEntriesComeFirstAndMissingPathsFallThrough)
{
    TempDir folder;
    const std::filesystem::path user = folder / "user.ini";
    const std::filesystem::path machine = folder / "share" / "morvex" / "Components.ini";
    std::filesystem::create_directories(machine.parent_path());
    writeFile(folder / "tool", "#!/bin/sh\n");
    writeFile(user, "[Components\\assimpext2]\nPath=" + (folder / "gone").string() + "\n");
    writeFile(machine, "[components\\ASSIMPEXT2]\nPath=../../tool\nVersion=1.0\n[Components\\other]\nPath=/\n");
    const std::filesystem::path files[] = {user, machine};
    std::filesystem::path found;
    ASSERT_TRUE(findComponent("assimpext2", found, files));
    EXPECT_EQ(found, (folder / "tool").lexically_normal());
    EXPECT_FALSE(findComponent("ifcconvert", found, files));

    writeFile(user, "[Components\\assimpext2]\nPath=" + (folder / "share").string() + "\n");
    ASSERT_TRUE(findComponent("assimpext2", found, files));
    EXPECT_EQ(found, folder / "share");
    EXPECT_EQ(machineComponentsFile("/opt/morvex/bin"), "/opt/morvex/share/morvex/Components.ini");
}

TEST(ComponentRegistry, TheBuildTreeFindsItsOwnConverter)
{
    std::filesystem::path found;
    ASSERT_TRUE(
        findComponent("assimpext2", found, std::vector{machineComponentsFile(testing::cliPath().parent_path())}));
    EXPECT_TRUE(std::filesystem::equivalent(found, MeshConverter));
}

// One file of each helper format through the command line, as a user runs
// it: the STL written holds the triangles the helper read.
TEST(RealConverter, TheCommandLineConvertsEachHelperFormat)
{
    MORVEX_REQUIRE_CORPUS();
    std::string formats;
    ASSERT_EQ(testing::runCommand(testing::shellQuote(testing::cliPath().string()) + " formats 2>&1", &formats), 0);
    EXPECT_NE(formats.find("through the helper"), std::string::npos) << formats;
    EXPECT_EQ(formats.find("not installed"), std::string::npos) << formats;

    for (const Expectation& expected : Expectations) {
        SCOPED_TRACE(expected.file);
        TempDir output;
        std::string log;
        const int status = testing::convertWithCli(corpusDir() / expected.file, "stl", output.path(), &log);
        ASSERT_EQ(status, 0) << log;
        std::filesystem::path written;
        for (const auto& entry : std::filesystem::directory_iterator(output.path()))
            if (entry.path().extension() == ".stl")
                written = entry.path();
        ASSERT_FALSE(written.empty()) << log;
        // Binary STL: an 80-byte header, the facet count, 50 bytes a facet.
        EXPECT_EQ(std::filesystem::file_size(written), 84 + 50 * expected.triangles);
    }
}

// SDF models of the corpus: each mesh reference read through the helper, in
// reference order; include elements and primitive shapes give nothing.
TEST(RealConverter, ReadsTheMeshesOfSdfModels)
{
    MORVEX_REQUIRE_CORPUS();
    struct SdfExpectation {
        const char* file;
        std::vector<std::uint32_t> triangles; // per object
    };
    const SdfExpectation expectations[] = {
        {"sdf/gazebo_models__cordless_drill/cordless_drill/model.sdf", {1126, 1126}},
        {"sdf/gazebo_models__cube_20k/cube_20k/model.sdf", {13664, 13664}},
        {"sdf/gazebo_models__hokuyo/hokuyo/model.sdf", {1048, 202}},                  // the DAE holds two meshes
        {"sdf/gazebo_models__stop_light_post/stop_light_post/model.sdf", {100, 100}}, // collision and visual
        {"sdf/gazebo_models__walkway_metal_45/walkway_metal_45/model.sdf", {20}},
        {"sdf/gazebo_models__drc_practice_angled_barrier_45/drc_practice_angled_barrier_45/model.sdf", {}},
        {"sdf/gazebo_models__bookshelf/bookshelf/model.sdf", {}},
    };
    for (const SdfExpectation& expected : expectations) {
        SCOPED_TRACE(expected.file);
        StoppableReporter reporter;
        Model model;
        Failure failure;
        ASSERT_EQ(readModel(reporter, model, corpusDir() / expected.file, &failure), OperationResult::Success)
            << failure.message;
        std::vector<std::uint32_t> triangles;
        for (const auto& object : model.objects)
            triangles.push_back(object->triangleCount());
        EXPECT_EQ(triangles, expected.triangles);
        expectSoundObjects(model);
    }
}

} // namespace
} // namespace morvex
