#include "formats/3ds/tds_test_support.h"

#include "common/cli_convert.h"
#include "common/test_models.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>

namespace morvex::tds {
namespace {

using namespace morvex::tds::testing;
using morvex::testing::addMesh;
using morvex::testing::readFile;
using morvex::testing::TempDir;
using morvex::testing::toVector;
using morvex::testing::writeFile;
namespace fs = std::filesystem;

struct Found {
    std::uint16_t id;
    std::uint32_t length;
    std::size_t offset;
    int depth;
};

// Every chunk of a written file, walking into the chunks that hold others.
void listChunks(const std::string& bytes, std::size_t begin, std::size_t end, int depth, std::vector<Found>& found)
{
    while (begin + 6 <= end) {
        std::uint16_t id;
        std::uint32_t length;
        std::memcpy(&id, bytes.data() + begin, 2);
        std::memcpy(&length, bytes.data() + begin + 2, 4);
        ASSERT_GE(length, 6u);
        ASSERT_LE(begin + length, end) << "chunk " << std::hex << id << " runs past its parent";
        found.push_back({id, length, begin, depth});
        std::size_t children = begin + 6;
        if (id == 0x4000)
            children = bytes.find('\0', children) + 1;
        if (id == 0x4D4D || id == 0x3D3D || id == 0x4000 || id == 0x4100 || id == 0xAFFF || id == 0xA020 ||
            id == 0xA200)
            listChunks(bytes, children, begin + length, depth + 1, found);
        begin += length;
    }
    EXPECT_EQ(begin, end);
}

std::vector<std::string> objectNames(const std::string& bytes, const std::vector<Found>& chunks)
{
    std::vector<std::string> names;
    for (const Found& chunk : chunks)
        if (chunk.id == 0x4000)
            names.emplace_back(bytes.c_str() + chunk.offset + 6);
    return names;
}

OperationResult write(const fs::path& path, const Model& model, RecordingReporter* reporter = nullptr)
{
    RecordingReporter own;
    Failure failure;
    const OperationResult result = write3ds(path, model, reporter != nullptr ? *reporter : own, &failure);
    EXPECT_NE(result, OperationResult::Failure) << describeFailure(failure);
    return result;
}

// A strip of `triangles` triangles over shared vertices.
ModelObject& addStrip(Model& model, std::uint32_t triangles)
{
    std::vector<Vector3> vertices;
    std::vector<std::uint32_t> indices;
    for (std::uint32_t v = 0; v < triangles + 2; ++v)
        vertices.push_back({static_cast<float>(v / 2), static_cast<float>(v % 2), static_cast<float>(v % 7)});
    for (std::uint32_t t = 0; t < triangles; ++t)
        indices.insert(indices.end(), {t, t + 1, t + 2});
    return addMesh(model, vertices, indices);
}

TEST(TdsWriter, SmallObjectsKeepTheirVerticesInOneBlockEach)
{
    TempDir dir;
    Model model;
    addMesh(model, {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 0, 2, 3});
    addMesh(model, {{5, 5, 5}, {6, 5, 5}, {6, 6, 5}}, {0, 1, 2, 2, 1, 7}); // the second triangle names no vertex
    ASSERT_EQ(write(dir / "two.3ds", model), OperationResult::Success);

    const std::string bytes = readFile(dir / "two.3ds");
    std::vector<Found> chunks;
    listChunks(bytes, 0, bytes.size(), 0, chunks);
    ASSERT_GE(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].id, 0x4D4D);
    EXPECT_EQ(chunks[0].length, bytes.size()) << "the main chunk's length is the file size";
    EXPECT_EQ(chunks[1].id, 0x0002);
    EXPECT_EQ(chunks[1].length, 8u);
    EXPECT_EQ(bytes[chunks[1].offset + 6], 3);
    EXPECT_EQ(objectNames(bytes, chunks), (std::vector<std::string>{"Object 0", "Object 1"}));

    Model back;
    Failure failure;
    ASSERT_EQ(readPath(dir / "two.3ds", back, &failure), OperationResult::Success) << describeFailure(failure);
    ASSERT_EQ(back.objects.size(), 2u);
    for (std::size_t n = 0; n < 2; ++n)
        EXPECT_EQ(toVector(back.objects[n]->vertices), toVector(model.objects[n]->vertices)) << n;
    EXPECT_EQ(toVector(back.objects[0]->indices), toVector(model.objects[0]->indices));
    EXPECT_EQ(toVector(back.objects[1]->indices), (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(back.objects[1]->properties.getProperty("ObjectName"), "Object 1");
}

TEST(TdsWriter, LargeObjectsAreSplitIntoPiecesOfUnsharedVertices)
{
    TempDir dir;
    Model model;
    ModelObject& large = addStrip(model, 100000);
    ASSERT_TRUE(large.texCoords.allocate(large.vertices.count())); // one per vertex
    for (std::uint32_t v = 0; v < large.vertices.count(); ++v)
        large.texCoords[v] = {static_cast<float>(v) / 1024.0f, 0.5f};
    // Few triangles over more vertices than a piece may hold.
    ModelObject& wide = addStrip(model, 3);
    ASSERT_TRUE(wide.vertices.resize(70000));
    ASSERT_EQ(write(dir / "large.3ds", model), OperationResult::Success);

    const std::string bytes = readFile(dir / "large.3ds");
    std::vector<Found> chunks;
    listChunks(bytes, 0, bytes.size(), 0, chunks);
    EXPECT_EQ(objectNames(bytes, chunks),
              (std::vector<std::string>{"Object 0", "Object 1", "Object 2", "Object 3", "Object 4", "Object 5"}));

    Model back;
    Failure failure;
    ASSERT_EQ(readPath(dir / "large.3ds", back, &failure), OperationResult::Success) << describeFailure(failure);
    ASSERT_EQ(back.objects.size(), 6u);
    std::uint32_t t = 0;
    for (std::size_t n = 0; n < 5; ++n) {
        const ModelObject& piece = *back.objects[n];
        EXPECT_EQ(piece.triangleCount(), n < 4 ? 21845u : 100000u - 4 * 21845u) << n;
        EXPECT_EQ(piece.vertices.count(), 3 * piece.triangleCount()) << "unshared vertices in piece " << n;
        ASSERT_EQ(piece.texCoords.count(), piece.vertices.count()) << n;
        for (std::uint32_t k = 0; k < piece.indices.count(); ++k, ++t) {
            ASSERT_EQ(piece.vertices[piece.indices[k]], large.vertices[large.indices[t]]) << "corner " << t;
            ASSERT_EQ(piece.texCoords[piece.indices[k]], large.texCoords[large.indices[t]]) << "corner " << t;
        }
    }
    EXPECT_EQ(back.objects[5]->triangleCount(), 3u);
    EXPECT_EQ(back.objects[5]->vertices.count(), 9u);
    EXPECT_TRUE(back.objects[5]->texCoords.empty());
}

TEST(TdsWriter, MaterialsTexturesAndGroupsReadBack)
{
    TempDir dir;
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "out");
    writeFile(dir / "in" / "brick_wall_diffuse.jpeg", "brick pixels");
    writeFile(dir / "in" / "brick_wall_normal.jpeg", "other pixels");
    writeFile(dir / "in" / "moss.png", "moss pixels");

    Model model;
    ModelObject& object = addMesh(model, {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 0, 2, 3, 2, 1, 0});
    ASSERT_TRUE(object.texCoords.allocate(9));
    for (std::uint32_t k = 0; k < 9; ++k)
        object.texCoords[k] = {0.125f * static_cast<float>(k), 0.5f};
    const char* textures[] = {"brick_wall_diffuse.jpeg", "brick_wall_normal.jpeg", "moss.png"};
    for (int m = 0; m < 3; ++m) {
        Material* material = model.addMaterial();
        material->properties.setProperty("Name", m == 2 ? "Moss" : "Brick");
        material->setColor(DiffuseSlot, 0xFF102030u + static_cast<ArgbColor>(m));
        ASSERT_TRUE(material->addTextureMap(TextureKind::Diffuse, (dir / "in" / textures[m]).string()));
    }
    // Corners 0-2 brick, 3-5 moss; the last triangle in no range.
    MaterialRange* moss = object.addMaterialRange();
    *moss = {model.materials[0]->id, 3, 6};
    MaterialRange* brick = object.addMaterialRange();
    *brick = {model.materials[2]->id, 0, 3};
    ASSERT_EQ(write(dir / "out" / "walls.3ds", model), OperationResult::Success);

    EXPECT_EQ(readFile(dir / "out" / "brick_wa.jpg"), "brick pixels");
    EXPECT_EQ(readFile(dir / "out" / "brick_~2.jpg"), "other pixels");
    EXPECT_EQ(readFile(dir / "out" / "moss.png"), "moss pixels");

    Model back;
    Failure failure;
    ASSERT_EQ(readPath(dir / "out" / "walls.3ds", back, &failure), OperationResult::Success)
        << describeFailure(failure);
    std::map<std::string, const Material*> byName;
    for (const auto& material : back.materials)
        byName[material->properties.getProperty("Name")] = material.get();
    ASSERT_EQ(byName.size(), 4u) << "two materials named Brick, and one for the faces in no range";
    ASSERT_TRUE(byName.count("Brick 2") && byName.count("Moss"));
    EXPECT_EQ(byName["Moss"]->colors[DiffuseSlot], 0xFF102032u);
    ASSERT_EQ(byName["Moss"]->textures.size(), 1u);
    EXPECT_EQ(fs::path(byName["Moss"]->textures[0].path), dir / "out" / "moss.png");
    EXPECT_EQ(fs::path(byName["Brick"]->textures[0].path), dir / "out" / "brick_wa.jpg");

    ASSERT_EQ(back.objects.size(), 1u);
    const ModelObject& read = *back.objects[0];
    ASSERT_EQ(read.indices.count(), 9u) << "every face kept, the last in a group of its own";
    ASSERT_EQ(read.texCoords.count(), 9u);
    for (std::uint32_t k = 0; k < 9; ++k) {
        EXPECT_EQ(read.vertices[read.indices[k]], object.vertices[object.indices[k]]) << k;
        EXPECT_EQ(read.texCoords[k], object.texCoords[k]) << k;
    }
    ASSERT_EQ(read.materialRanges.size(), 3u);
    for (const MaterialRange& range : read.materialRanges) {
        const std::string name = back.findMaterial(range.materialId)->properties.getProperty("Name");
        EXPECT_EQ(range.endIndex - range.firstIndex, 3u) << name;
        const std::uint32_t expectedFirst = name == "Brick" ? 0u : name == "Moss" ? 3u : 6u;
        EXPECT_EQ(range.firstIndex, expectedFirst) << name;
    }
}

// Readers list a piece's faces group by group: the groups follow the faces,
// the material of the first face first, so the triangles come back in their
// order whatever the order of the materials.
TEST(TdsWriter, GroupsFollowTheFacesSoTrianglesKeepTheirOrder)
{
    TempDir dir;
    Model model;
    ModelObject& object = addMesh(model, {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 0, 2, 3, 3, 2, 1});
    Material* older = model.addMaterial();
    older->properties.setProperty("Name", "Older");
    Material* newer = model.addMaterial();
    newer->properties.setProperty("Name", "Newer");
    *object.addMaterialRange() = {newer->id, 0, 3};
    *object.addMaterialRange() = {older->id, 3, 9};
    ASSERT_EQ(write(dir / "order.3ds", model), OperationResult::Success);

    Model back;
    Failure failure;
    ASSERT_EQ(readPath(dir / "order.3ds", back, &failure), OperationResult::Success) << describeFailure(failure);
    ASSERT_EQ(back.objects.size(), 1u);
    const ModelObject& read = *back.objects[0];
    ASSERT_EQ(read.indices.count(), 9u);
    for (std::uint32_t k = 0; k < 9; ++k)
        EXPECT_EQ(read.vertices[read.indices[k]], object.vertices[object.indices[k]]) << k;
    for (const MaterialRange& range : read.materialRanges) {
        const std::string name = back.findMaterial(range.materialId)->properties.getProperty("Name");
        EXPECT_EQ(range.firstIndex, name == "Newer" ? 0u : 3u) << name;
    }
}

TEST(TdsWriter, CancelledWritesLeaveNothing)
{
    TempDir dir;
    Model model;
    addStrip(model, 100000);
    for (std::uint64_t after : {1u, 2u, 5u}) {
        RecordingReporter reporter;
        reporter.cancelAfterChecks(after);
        EXPECT_EQ(write(dir / "stopped.3ds", model, &reporter), OperationResult::Cancelled) << after;
        EXPECT_TRUE(fs::is_empty(dir.path())) << after;
    }
}

// The per-mesh face counts `assimp info` prints: "    0 (0): [24 / 0 / 12 | triangle]".
std::multiset<std::uint32_t> assimpFaceCounts(const std::string& output)
{
    std::multiset<std::uint32_t> faces;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t open = line.find("): [");
        unsigned vertices = 0, bones = 0, count = 0;
        if (open != std::string::npos &&
            std::sscanf(line.c_str() + open + 4, "%u / %u / %u |", &vertices, &bones, &count) == 3)
            faces.insert(count);
    }
    return faces;
}

TEST(TdsWriter, AssimpReadsEveryPieceWithItsTriangles)
{
    if (morvex::testing::runCommand("command -v assimp >/dev/null") != 0)
        GTEST_SKIP() << "assimp is not installed";
    TempDir dir;
    Model model;
    addStrip(model, 100000);
    addStrip(model, 12);
    ASSERT_EQ(write(dir / "pieces.3ds", model), OperationResult::Success);
    std::string output;
    ASSERT_EQ(morvex::testing::runCommand(
                  "assimp info " + morvex::testing::shellQuote((dir / "pieces.3ds").string()) + " -raw 2>&1", &output),
              0)
        << output;
    EXPECT_EQ(assimpFaceCounts(output), (std::multiset<std::uint32_t>{21845, 21845, 21845, 21845, 12620, 12}))
        << output;
}

TEST(TdsWriter, TexturedObjToTdsToObjKeepsItsTexture)
{
    TempDir dir;
    fs::create_directories(dir / "in");
    writeFile(dir / "in" / "painted_surface.png", "png pixels");
    writeFile(dir / "in" / "quad.mtl", "newmtl paint\r\nKd 1 0 0\r\nmap_Kd painted_surface.png\r\n");
    writeFile(dir / "in" / "quad.obj", "mtllib quad.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
                                       "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nusemtl paint\nf 1/1 2/2 3/3 4/4\n");
    std::string output;
    ASSERT_EQ(morvex::testing::convertWithCli(dir / "in" / "quad.obj", "3ds", dir / "mid", &output), 0) << output;
    EXPECT_EQ(readFile(dir / "mid" / "painted_.png"), "png pixels");
    ASSERT_EQ(morvex::testing::convertWithCli(dir / "mid" / "quad.3ds", "obj", dir / "out", &output), 0) << output;
    EXPECT_EQ(readFile(dir / "out" / "Textures" / "painted_.png"), "png pixels");
    const std::string library = readFile(dir / "out" / "quad.mtl");
    EXPECT_NE(library.find("map_Kd Textures/painted_.png"), std::string::npos) << library;
    const std::string obj = readFile(dir / "out" / "quad.obj");
    std::size_t coordinates = 0;
    for (std::size_t at = obj.find("\nvt "); at != std::string::npos; at = obj.find("\nvt ", at + 1))
        ++coordinates;
    EXPECT_EQ(coordinates, 6u) << "a texture coordinate per corner of the two triangles\n" << obj;
}

} // namespace
} // namespace morvex::tds
