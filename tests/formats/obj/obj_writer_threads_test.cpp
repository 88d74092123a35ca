#include "formats/3ds/tds.h"
#include "formats/mqo/mqo.h"
#include "formats/obj/obj.h"
#include "formats/threemf/threemf.h"
#include "obj_test_model.h"

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "support/core/parallel_ranges.h"
#include "tools/cli_test_files.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace morvex;
using namespace morvex::objtest;
using morvex::testing::corpusDir;
using morvex::testing::readFile;
using morvex::testing::runCommand;
using morvex::testing::shellQuote;
using morvex::testing::TempDir;

namespace {

// Threads per file and lines per piece, restored when a test ends.
struct PiecesScope {
    PiecesScope(unsigned threads, std::uint32_t pieceLines)
    {
        setThreadsPerFile(threads);
        obj::setWriterPieceLines(pieceLines);
    }
    ~PiecesScope()
    {
        setThreadsPerFile(1);
        obj::setWriterPieceLines(0);
    }
};

struct Written {
    std::string obj;
    std::string mtl;
};

// Writes the model as name.obj in a folder of its own, with that many
// threads and lines per piece (0: the default).
Written writeWith(const Model& model, const std::filesystem::path& folder, unsigned threads, std::uint32_t pieceLines)
{
    const PiecesScope scope(threads, pieceLines);
    std::filesystem::create_directories(folder);
    RecordingReporter reporter;
    Failure failure;
    EXPECT_EQ(obj::writeObj(folder / "name.obj", model, reporter, &failure), OperationResult::Success)
        << describeFailure(failure);
    Written written{readFile(folder / "name.obj"), {}};
    if (std::filesystem::exists(folder / "name.mtl"))
        written.mtl = readFile(folder / "name.mtl");
    return written;
}

// The model written in pieces of a few lines on 1, 2, 3 and 5 threads
// gives the bytes of one piece per section on one thread.
void expectSameBytesOnAnyThreadCount(const Model& model, const std::filesystem::path& folder)
{
    const Written whole = writeWith(model, folder / "whole", 1, 0);
    ASSERT_GT(whole.obj.size(), 200u);
    for (const unsigned threads : {1u, 2u, 3u, 5u}) {
        SCOPED_TRACE(threads);
        const Written pieces = writeWith(model, folder / std::to_string(threads), threads, 7);
        EXPECT_TRUE(pieces.obj == whole.obj); // not EXPECT_EQ: a diff of whole files says nothing
        EXPECT_EQ(pieces.mtl, whole.mtl);
    }
}

// A grid of `size` x `size` quads as triangles over shared vertices.
ModelObject& addGrid(Model& model, std::uint32_t size, float z)
{
    ModelObject& object = *model.addObject();
    const std::uint32_t row = size + 1;
    EXPECT_TRUE(object.vertices.allocate(row * row) && object.indices.allocate(6 * size * size));
    for (std::uint32_t y = 0; y < row; ++y)
        for (std::uint32_t x = 0; x < row; ++x)
            object.vertices[y * row + x] = {0.1f * static_cast<float>(x), 0.3f * static_cast<float>(y) / 7.0f, z};
    std::uint32_t at = 0;
    for (std::uint32_t y = 0; y < size; ++y)
        for (std::uint32_t x = 0; x < size; ++x)
            for (const std::uint32_t corner : {0u, 1u, row + 1, 0u, row + 1, row})
                object.indices[at++] = y * row + x + corner;
    return object;
}

} // namespace

// Corpus models with materials, textures, vertex colours, placements and
// many objects: every thread count writes the same OBJ and MTL bytes.
TEST(ObjWriterThreads, CorpusModelsGiveTheSameBytesOnAnyThreadCount)
{
    MORVEX_REQUIRE_CORPUS();
    using Read = std::function<OperationResult(const std::filesystem::path&, Model&, ProgressReporter&)>;
    const auto obj = [](const std::filesystem::path& p, Model& m, ProgressReporter& r) {
        return obj::readObj(p, m, r);
    };
    const auto tds = [](const std::filesystem::path& p, Model& m, ProgressReporter& r) {
        return tds::read3ds(p, m, r);
    };
    const auto mqo = [](const std::filesystem::path& p, Model& m, ProgressReporter& r) {
        return mqo::readMqo(p, m, r);
    };
    const auto tmf = [](const std::filesystem::path& p, Model& m, ProgressReporter& r) {
        return threemf::read3mf(p, m, r);
    };
    const std::vector<std::pair<const char*, Read>> files = {
        {"obj/assimp__spider/spider.obj", obj},                // materials, textures, 19 groups
        {"obj/trimesh__capsule/capsule.obj", obj},             // texture coordinates, normals
        {"obj/assimp__cube_with_vertexcolors.obj", obj},       // vertex colours
        {"3ds/assimp__jeep1/jeep1.3ds", tds},                  // placed objects, a texture
        {"3ds/assimp__test1/test1.3ds", tds},                  // several textured materials
        {"mqo/mqoparser__miku01.mqo", mqo},                    // many objects and materials
        {"3mf/3mf-samples__dodeca_chain_loop_color.3mf", tmf}, // colours, components
    };
    TempDir dir;
    for (const auto& [file, read] : files) {
        SCOPED_TRACE(file);
        Model model;
        RecordingReporter reporter;
        ASSERT_EQ(read(corpusDir() / file, model, reporter), OperationResult::Success);
        ASSERT_GT(model.objects.size(), 0u);
        expectSameBytesOnAnyThreadCount(model, dir / std::filesystem::path(file).stem().string());
    }
}

// A made-up model with every order-dependent part of the face section:
// material switches at the first drawn triangle of a range (after broken
// and degenerate ones), a range of degenerate triangles that switches
// nothing, a range starting inside a triangle, an object without ranges
// that takes material 0, own normals under a placement, texture
// coordinates per vertex and per corner, vertex colours and a point set.
TEST(ObjWriterThreads, GeneratedModelGivesTheSameBytesOnAnyThreadCount)
{
    TempDir dir;
    Model model;
    const Material& red = addNamedMaterial(model, "Red", 0xFFFF0000u);
    const Material& blue = addNamedMaterial(model, "Blue", 0xFF0000FFu);
    const Material& green = addNamedMaterial(model, "Green", 0xFF00FF00u);

    ModelObject& ranged = addGrid(model, 20, 0); // 800 triangles
    ASSERT_TRUE(ranged.colors.allocate(ranged.vertices.count()));
    for (std::uint32_t v = 0; v < ranged.colors.count(); ++v)
        ranged.colors[v] = 0xFF000000u | (v * 2654435761u >> 8);
    for (std::uint32_t corner = 750; corner < 960; corner += 3)
        if (corner < 783 || corner >= 903)
            ranged.indices[corner + 1] = ranged.indices[corner]; // degenerate
    ranged.indices[1200] = 1u << 30;                             // beyond the vertices
    addRange(ranged, red.id, 0, 300);
    addRange(ranged, blue.id, 301, 750);
    addRange(ranged, red.id, 750, 903);
    addRange(ranged, green.id, 903, 960);
    addRange(ranged, blue.id, 960, ranged.indices.count());

    ModelObject& smooth = addGrid(model, 15, 1); // no ranges: material 0
    ASSERT_TRUE(smooth.normals.allocate(smooth.indices.count()) && smooth.texCoords.allocate(smooth.vertices.count()));
    for (std::uint32_t corner = 0; corner < smooth.normals.count(); ++corner)
        smooth.normals[corner] = {0.6f, static_cast<float>(corner % 5) * 0.1f, 0.8f};
    for (std::uint32_t v = 0; v < smooth.texCoords.count(); ++v)
        smooth.texCoords[v] = {static_cast<float>(v) / 256.0f, 1.0f / static_cast<float>(v + 3)};
    smooth.rotation = {10, 20, 30};
    smooth.position = {1, 2, 3};

    ModelObject& textured = addGrid(model, 10, 2);
    ASSERT_TRUE(textured.texCoords.allocate(textured.indices.count()));
    for (std::uint32_t corner = 0; corner < textured.texCoords.count(); ++corner)
        textured.texCoords[corner] = {static_cast<float>(corner % 7) / 7.0f, 0.5f};
    addRange(textured, blue.id, 0, textured.indices.count());

    addMesh(model, {{5, 5, 5}, {6, 5, 5}, {7, 5, 5}}, {}); // a point set

    const Written whole = writeWith(model, dir / "reference", 1, 0);
    // Red, Blue, Red before the first triangle after the degenerate ones,
    // nothing for green, Blue again, then Red (material 0) for the object
    // without ranges and Blue.
    ASSERT_EQ(red.id, 0);
    EXPECT_EQ(morvex::testing::countOf(whole.obj, "usemtl "), 6u);
    const std::string firstAfterDegenerate =
        "usemtl Red\r\nf " + std::to_string(ranged.indices[783] + 1) + "//" + std::to_string(783 / 3 + 1) + " ";
    EXPECT_NE(whole.obj.find(firstAfterDegenerate), std::string::npos) << firstAfterDegenerate;
    expectSameBytesOnAnyThreadCount(model, dir.path());
}

// A stop requested while pieces are formatted on several threads ends the
// write: Cancelled, and nothing at the output name.
TEST(ObjWriterThreads, CancelledWhileThreadsFormatLeavesNothing)
{
    TempDir dir;
    Model model;
    addGrid(model, 40, 0); // 3200 triangles: hundreds of pieces of 7 lines
    const PiecesScope scope(3, 7);
    EXPECT_GT(expectEveryStopLeavesNothing(model, dir.path()), 100u);
}

// Through the command line: a binary STL large enough for several pieces
// per section gives the same OBJ with --threads 1 and --threads 2.
TEST(ObjWriterThreads, CommandLineThreadsGiveTheSameFile)
{
    TempDir dir;
    morvex::testing::writeBinaryStl(dir / "fan.stl", 70000); // 70,000 faces, 140,001 vertices
    std::string outputs[2];
    for (const unsigned threads : {1u, 2u}) {
        const std::filesystem::path folder = dir / ("threads" + std::to_string(threads));
        std::filesystem::create_directories(folder);
        std::string output;
        ASSERT_EQ(runCommand(shellQuote(morvex::testing::cliPath().string()) + " convert --threads " +
                                 std::to_string(threads) + " " + shellQuote((dir / "fan.stl").string()) +
                                 " --to obj --output " + shellQuote(folder.string()) + " 2>&1",
                             &output),
                  0)
            << output;
        outputs[threads - 1] = readFile(folder / "fan.obj");
    }
    EXPECT_EQ(morvex::testing::countOf(outputs[0], "\nf "), 70000u);
    EXPECT_TRUE(outputs[0] == outputs[1]);
}
