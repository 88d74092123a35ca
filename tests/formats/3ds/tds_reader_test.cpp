#include "formats/3ds/tds_test_support.h"

#include "common/test_models.h"
#include "common/test_support.h"
#include "support/platform/reference_policy.h"

#include <gtest/gtest.h>

namespace morvex::tds {
namespace {

using namespace morvex::tds::testing;
using morvex::testing::readFile;
using morvex::testing::TempDir;
using morvex::testing::toVector;
using morvex::testing::writeFile;
namespace fs = std::filesystem;

// `levels` chunks of one id, each the only content of the one around it.
std::string nestedChunks(std::uint16_t id, std::uint32_t levels, std::string_view inner)
{
    std::string out;
    out.reserve(6 * std::size_t{levels} + inner.size());
    for (std::uint32_t level = 0; level < levels; ++level) {
        append(out, id);
        append(out, static_cast<std::uint32_t>(6 * (levels - level) + inner.size()));
    }
    return out + std::string(inner);
}

const std::vector<Vector3> Square = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
const std::vector<std::uint16_t> SquareFaces = {0, 1, 2, 0, 2, 3, 2, 1, 0, 3, 2, 0};
constexpr unsigned char Red[3] = {255, 0, 0};
constexpr unsigned char Green[3] = {0, 128, 0};

TEST(TdsReader, PlainObjectKeepsItsSharedVerticesTexturesAndName)
{
    const std::string bytes = file(objectBlock(
        "Plate", vertexList(Square) + mappingList({{0, 0}, {1, 0}, {1, 1}, {0, 1}}) + faceList({0, 1, 2, 0, 2, 3})));
    Model model;
    Failure failure;
    ASSERT_EQ(readBytes(bytes, model, &failure), OperationResult::Success) << describeFailure(failure);
    EXPECT_EQ(model.profile.kind, FormatKind::ThreeDs);
    ASSERT_EQ(model.objects.size(), 1u);
    const ModelObject& object = *model.objects[0];
    EXPECT_EQ(object.properties.getProperty("ObjectName"), "Plate");
    EXPECT_EQ(toVector(object.vertices), Square);
    EXPECT_EQ(toVector(object.indices), (std::vector<std::uint32_t>{0, 1, 2, 0, 2, 3}));
    EXPECT_TRUE(object.texCoordsPerVertex());
    EXPECT_EQ(object.texCoords[2], (TexCoord{1, 1}));
    EXPECT_TRUE(object.colors.empty());
    EXPECT_TRUE(object.materialRanges.empty());
}

TEST(TdsReader, MaterialGroupsGiveEveryCornerAVertexAndTheDiffuseColour)
{
    // One group over all faces: 3 x faces vertices, one range, the colour
    // of the material in every corner.
    {
        const std::string bytes =
            file(material("Paint", Red) +
                 objectBlock("Box", vertexList(Square) + faceList(SquareFaces, materialGroup("Paint", {0, 1, 2, 3}))));
        Model model;
        Failure failure;
        ASSERT_EQ(readBytes(bytes, model, &failure), OperationResult::Success) << describeFailure(failure);
        ASSERT_EQ(model.materials.size(), 1u);
        EXPECT_EQ(model.materials[0]->properties.getProperty("Name"), "Paint");
        EXPECT_EQ(model.materials[0]->colors[DiffuseSlot], 0xFFFF0000u);
        const ModelObject& object = *model.objects[0];
        ASSERT_EQ(object.vertices.count(), 12u);
        for (std::uint32_t k = 0; k < 12; ++k) {
            EXPECT_EQ(object.indices[k], k);
            EXPECT_EQ(object.vertices[k], Square[SquareFaces[k]]) << k;
            EXPECT_EQ(object.colors[k], 0xFFFF0000u);
        }
        ASSERT_EQ(object.materialRanges.size(), 1u);
        EXPECT_EQ(object.materialRanges[0].materialId, model.materials[0]->id);
        EXPECT_EQ(object.materialRanges[0].firstIndex, 0u);
        EXPECT_EQ(object.materialRanges[0].endIndex, 12u);
    }
    // Two groups of half the faces each: the second range starts where the
    // first ends; faces in no group and groups naming no material are left
    // out; the face numbers decide the order of the corners.
    {
        const std::string groups =
            materialGroup("Paint", {3, 0}) + materialGroup("Missing", {1}) + materialGroup("Leaf", {2});
        const std::string bytes =
            file(material("Paint", Red) + material("Leaf", Green) +
                 objectBlock("Box", vertexList(Square) + mappingList({{0, 0}, {1, 0}, {1, 1}, {0, 1}}) +
                                        faceList(SquareFaces, groups)));
        Model model;
        Failure failure;
        ASSERT_EQ(readBytes(bytes, model, &failure), OperationResult::Success) << describeFailure(failure);
        const ModelObject& object = *model.objects[0];
        ASSERT_EQ(object.indices.count(), 9u);
        ASSERT_EQ(object.materialRanges.size(), 2u);
        const MaterialRange& leaf = object.materialRanges[0]; // newest first
        const MaterialRange& paint = object.materialRanges[1];
        EXPECT_EQ(paint.firstIndex, 0u);
        EXPECT_EQ(paint.endIndex, 6u);
        EXPECT_EQ(leaf.firstIndex, 6u);
        EXPECT_EQ(leaf.endIndex, 9u);
        EXPECT_EQ(model.findMaterial(leaf.materialId)->properties.getProperty("Name"), "Leaf");
        EXPECT_EQ(object.vertices[0], Square[3]); // face 3 is 3 2 0
        EXPECT_EQ(object.vertices[6], Square[2]); // face 2 is 2 1 0
        EXPECT_EQ(object.colors[8], 0xFF008000u);
        EXPECT_EQ(object.texCoords.count(), 9u);
        EXPECT_EQ(object.texCoords[0], (TexCoord{0, 1}));
    }
    // Two materials of one name: the group takes the newest.
    {
        const std::string bytes =
            file(material("Paint", Red) + material("Paint", Green) +
                 objectBlock("Box", vertexList(Square) + faceList({0, 1, 2}, materialGroup("Paint", {0}))));
        Model model;
        ASSERT_EQ(readBytes(bytes, model), OperationResult::Success);
        EXPECT_EQ(model.objects[0]->colors[0], 0xFF008000u);
        EXPECT_EQ(model.objects[0]->materialRanges[0].materialId, model.materials[0]->id);
    }
}

TEST(TdsReader, KeyframerMovesObjectsFromWhereTheyWereModelled)
{
    // Vertices are where the object stood when modelled (its local origin);
    // a first position key elsewhere moves it by the difference, and a key
    // at the origin leaves it. Nodes inside a hierarchy hold keys relative
    // to their parents and move nothing.
    const std::string bytes =
        file(objectBlock("Moved", vertexList(Square) + faceList({0, 1, 2}) + localOrigin({1, 2, 3})) +
                 objectBlock("Still", vertexList(Square) + faceList({0, 1, 2}) + localOrigin({4, 5, 6})) +
                 objectBlock("Bare", vertexList(Square) + faceList({0, 1, 2})) +
                 objectBlock("Child", vertexList(Square) + faceList({0, 1, 2})) +
                 objectBlock("Unkeyed", vertexList(Square) + faceList({0, 1, 2}) + localOrigin({4, 5, 6})) +
                 // A camera has no mesh: it is no object of the model.
                 chunk(0x4000, text("Camera01") + chunk(0x4700, std::string(32, '\0'))),
             chunk(0xB000, positionNode("Moved", {10, 20, 30}) + positionNode("Still", {4, 5, 6}) +
                               positionNode("Bare", {-1, 0, 2}) + positionNode("Child", {3, 3, 3}, 0) +
                               positionNode("Nobody", {7, 7, 7})));
    Model model;
    Failure failure;
    ASSERT_EQ(readBytes(bytes, model, &failure), OperationResult::Success) << describeFailure(failure);
    ASSERT_EQ(model.objects.size(), 5u);
    EXPECT_EQ(model.objects[0]->position, (Vector3{9, 18, 27}));
    EXPECT_EQ(model.objects[1]->position, (Vector3{0, 0, 0}));
    EXPECT_EQ(model.objects[2]->position, (Vector3{-1, 0, 2}));
    EXPECT_EQ(model.objects[3]->position, (Vector3{0, 0, 0}));
    EXPECT_EQ(model.objects[4]->position, (Vector3{0, 0, 0}));
    EXPECT_EQ(toVector(model.objects[0]->vertices), Square) << "vertices as stored";
}

TEST(TdsReader, BadInputFailsWithAReasonAndAPosition)
{
    const std::string mesh = vertexList(Square) + faceList({0, 1, 2});
    std::string vertexCountBeyond;
    append(vertexCountBeyond, std::uint16_t{500});
    vertexCountBeyond += std::string(24, '\0');
    const std::string nested = nestedChunks(0x4100, 100, mesh);
    struct Case {
        const char* name;
        std::string bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"length 0", file(chunkClaiming(0x4000, 0, "x")), "shorter than its header"},
        {"length 5", file(chunkClaiming(0x1234, 5, "x")), "shorter than its header"},
        {"length 2^32-1", file(chunkClaiming(0x4000, 0xFFFFFFFFu, "x")), "runs past its parent"},
        {"past its parent", file(objectBlock("A", chunkClaiming(0x4110, 400, mesh))), "runs past its parent"},
        {"header cut short", file(objectBlock("A", mesh) + "abc"), "header cut short"},
        {"vertex count beyond the chunk", file(objectBlock("A", chunk(0x4110, vertexCountBeyond))), "500 entries"},
        {"face index beyond the vertices", file(objectBlock("A", vertexList(Square) + faceList({0, 1, 9}))),
         "uses vertex 9 of 4"},
        {"grouped face index beyond the vertices",
         file(material("M", Red) + objectBlock("A", vertexList(Square) + faceList({0, 1, 9}, materialGroup("M", {0})))),
         "uses vertex 9 of 4"},
        {"group face number beyond the faces",
         file(material("M", Red) + objectBlock("A", vertexList(Square) + faceList({0, 1, 2}, materialGroup("M", {1})))),
         "names face 1 of 1"},
        {"colour before a material name", file(chunk(0xAFFF, chunk(0xA020, chunk(0x0011, "abc")))),
         "before a material name"},
        {"meshes nested 100 levels", file(chunk(0x4000, text("N") + nested)), "nested too deeply"},
        {"main length not the file size", file(objectBlock("A", mesh)) + "tail", "is not the file size"},
        {"five bytes", std::string("MM\x05\0\0", 5), "too short"},
    };
    for (const Case& c : cases) {
        Model model;
        Failure failure;
        EXPECT_EQ(readBytes(c.bytes, model, &failure), OperationResult::Failure) << c.name;
        EXPECT_NE(failure.message.find(c.reason), std::string::npos) << c.name << ": " << describeFailure(failure);
        EXPECT_TRUE(failure.hasPosition() || std::string(c.name) == "five bytes") << c.name;
        EXPECT_TRUE(model.objects.empty()) << c.name;
    }
    // Material ids are 16-bit: once they are used up, the next material is
    // refused (the model's id counter starts near its end here).
    Model many;
    many.nextMaterialId = INT16_MAX - 1;
    Failure tooMany;
    EXPECT_EQ(readBytes(file(material("M", Red) + material("N", Red)), many, &tooMany), OperationResult::Failure);
    EXPECT_NE(tooMany.message.find("more than 32767 materials"), std::string::npos) << describeFailure(tooMany);

    // 100,000 levels of chunks that are not read are skipped by their
    // lengths; 100,000 levels of meshes are refused early.
    Model model;
    Failure failure;
    EXPECT_EQ(readBytes(file(nestedChunks(0x3D3D, 100000, mesh)), model, &failure), OperationResult::Success)
        << describeFailure(failure);
    EXPECT_TRUE(model.objects.empty());
    EXPECT_EQ(readBytes(file(chunk(0x4000, text("N") + nestedChunks(0x4100, 100000, mesh))), model, &failure),
              OperationResult::Failure);
    EXPECT_NE(failure.message.find("nested too deeply"), std::string::npos) << describeFailure(failure);
}

TEST(TdsReader, FilesOnDiskTheirSizeChecksAndTextures)
{
    TempDir dir;
    fs::create_directories(dir / "model");
    writeFile(dir / "model" / "wood.jpg", "jpeg bytes");
    writeFile(dir / "secret.jpg", "not for models");
    const std::string bytes =
        file(material("Wood", Red, "WOOD.JPG") + material("Stolen", Green, "..\\secret.jpg") +
             material("Gone", Green, "gone.png") + objectBlock("A", vertexList(Square) + faceList({0, 1, 2})));
    writeFile(dir / "model" / "a.3ds", bytes);

    Model model;
    Failure failure;
    RecordingReporter reporter;
    ASSERT_EQ(readPath(dir / "model" / "a.3ds", model, &failure, &reporter), OperationResult::Success)
        << describeFailure(failure);
    ASSERT_EQ(model.materials.size(), 3u);
    const Material& gone = *model.materials[0];
    const Material& stolen = *model.materials[1];
    const Material& wood = *model.materials[2];
    ASSERT_EQ(wood.textures.size(), 1u);
    EXPECT_EQ(readFile(wood.textures[0].path), "jpeg bytes") << "found in another letter case";
    EXPECT_TRUE(stolen.textures.empty()) << "outside the model's folder";
    ASSERT_EQ(reporter.messages.size(), 1u);
    EXPECT_NE(reporter.messages[0].find("secret.jpg"), std::string::npos);
    ASSERT_EQ(gone.textures.size(), 1u) << "a missing texture keeps its name";
    EXPECT_EQ(fs::path(gone.textures[0].path), dir / "model" / "gone.png");

    // Sizes: a file cut short, a folder, five bytes; a large file read in
    // slices, with a stop question before each.
    writeFile(dir / "cut.3ds", bytes.substr(0, bytes.size() - 10));
    writeFile(dir / "tiny.3ds", "MM\x05\0\0");
    const std::pair<fs::path, const char*> refused[] = {{dir / "cut.3ds", "is not the file size"},
                                                        {dir / "model", "directory"},
                                                        {dir / "tiny.3ds", "too short"},
                                                        {dir / "none.3ds", "cannot open"}};
    for (const auto& [path, reason] : refused) {
        Model none;
        Failure why;
        EXPECT_EQ(readPath(path, none, &why), OperationResult::Failure) << path;
        EXPECT_NE(why.message.find(reason), std::string::npos) << path << ": " << describeFailure(why);
    }
    std::vector<Vector3> many(25000, Vector3{1, 2, 3});
    writeFile(dir / "large.3ds", file(objectBlock("L", vertexList(many) + faceList({0, 1, 2}))));
    RecordingReporter slices;
    ASSERT_EQ(readPath(dir / "large.3ds", model, &failure, &slices), OperationResult::Success);
    EXPECT_GE(slices.cancelChecks(), 10u);
    EXPECT_EQ(slices.lastStatus(0), "Reading 3DS Data. Complete!");
    RecordingReporter stopping;
    stopping.cancelAfterChecks(3);
    Model stopped;
    EXPECT_EQ(readPath(dir / "large.3ds", stopped, &failure, &stopping), OperationResult::Cancelled);
}

} // namespace
} // namespace morvex::tds
