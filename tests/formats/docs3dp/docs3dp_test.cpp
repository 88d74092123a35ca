#include "common/cli_convert.h"
#include "common/recording_reporter.h"
#include "common/test_models.h"
#include "common/test_support.h"
#include "formats/docs3dp/chunk_reader.h"
#include "formats/docs3dp/docs3dp.h"
#include "formats/docs3dp/test_helpers.h"
#include "support/core/memory_guard.h"

#include <cstring>
#include <optional>
#include <vector>

using namespace morvex;
using namespace morvex::docs3dp;
using namespace morvex::testing;

namespace {

constexpr ArgbColor Red = 0xFFFF0000u, Green = 0xFF00FF00u, Blue = 0xFF0000FFu, Grey = 0x80808080u;

template <typename Array, typename T>
void fill(Array& array, const std::vector<T>& values)
{
    ASSERT_TRUE(array.allocate(static_cast<std::uint32_t>(values.size())));
    std::copy(values.begin(), values.end(), array.begin());
}

// A quad of two triangles with everything a document can hold, and some
// things it cannot (texture coordinates, material names, a second material).
ModelObject& addQuad(Model& model)
{
    ModelObject& quad = *model.addObject();
    fill(quad.vertices, std::vector<Vector3>{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}});
    fill(quad.indices, std::vector<std::uint32_t>{0, 1, 2, 0, 2, 3});
    fill(quad.normals,
         std::vector<Vector3>{
             {0.1f, 0.2f, 0.3f}, {0, 0, 1}, {-0.5f, 1e-30f, 7}, {0, 0, -1}, {1, 2, 3}, {0.25f, 0.5f, 0.75f}});
    fill(quad.colors, std::vector<ArgbColor>{Red, Green, Blue, Grey});
    fill(quad.texCoords, std::vector<TexCoord>{{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 1}});
    quad.position = {1, 2, 3};
    quad.rotation = {10, 20, 30};
    quad.scale = {2, 0.5f, 4};
    quad.properties.setIntProperty("ObjectDefaultColor", static_cast<std::int32_t>(DefaultVertexColor));
    quad.properties.setProperty("3DPObjectComment", "a comment");
    quad.properties.setProperty("Custom", "value");
    quad.properties.setProperty("Blank", "");

    Material& other = *model.addMaterial();
    other.properties.setProperty("Name", "Other");
    other.setColor(DiffuseSlot, Grey);
    Material& first = *model.addMaterial();
    first.properties.setProperty("Name", "Painted");
    first.setColor(AmbientSlot, Red);
    first.setColor(DiffuseSlot, Green);
    first.setColor(SpecularSlot, Blue);
    *quad.addMaterialRange() = {other.id, 3, 6};
    *quad.addMaterialRange() = {first.id, 0, 3}; // the first range of the list
    return quad;
}

OperationResult writeDocument(const std::filesystem::path& path, const Model& model)
{
    RecordingReporter reporter;
    Failure failure;
    const OperationResult result = docs3dp::write3dp(path, model, reporter, &failure);
    EXPECT_TRUE(result == OperationResult::Success || !failure.message.empty());
    return result;
}

OperationResult readDocument(const std::filesystem::path& path, Model& model,
                             std::vector<std::string>* messages = nullptr)
{
    RecordingReporter reporter;
    const OperationResult result = docs3dp::read3dp(path, model, reporter);
    if (messages != nullptr)
        *messages = reporter.messages;
    return result;
}

struct ChunkTree {
    std::uint16_t id;
    std::vector<ChunkTree> children;
    friend bool operator==(const ChunkTree&, const ChunkTree&) = default;
};

// The ids of a group's children, descending into the groups listed.
std::vector<ChunkTree> chunkTree(const ChunkReader& reader, const Chunk& group)
{
    std::vector<ChunkTree> tree;
    docs3dp::ChunkIterator children = reader.children(group);
    docs3dp::Chunk child;
    while (children.next(child)) {
        const bool isGroup = child.id == 0x1000 || child.id == 0x1100 || child.id == 0x1200;
        tree.push_back({child.id, isGroup ? chunkTree(reader, child) : std::vector<ChunkTree>{}});
    }
    return tree;
}

// The texts of the root's children with the given id, in file order.
std::vector<std::string> rootTexts(const std::string& bytes, std::uint16_t id)
{
    docs3dp::ChunkReader reader(bytesOf(bytes));
    EXPECT_TRUE(reader.readHeader());
    std::vector<std::string> texts;
    docs3dp::ChunkIterator children = reader.children(reader.root());
    docs3dp::Chunk child;
    std::string_view text;
    while (children.next(child))
        if (child.id == id && reader.readText(child, text))
            texts.emplace_back(text);
    return texts;
}

// Every object has vertices (a point set has no corners), every index
// points at a vertex, normals run parallel to the indices, the colours are
// per vertex, and every material range names a material.
void expectSafeModel(const Model& model)
{
    for (const auto& object : model.objects) {
        EXPECT_GT(object->vertices.count(), 0u);
        for (std::uint32_t index : object->indices)
            ASSERT_LT(index, object->vertices.count());
        EXPECT_EQ(object->normals.count(), object->indices.count());
        EXPECT_TRUE(object->colors.empty() || object->colors.count() == object->vertices.count());
        for (const MaterialRange& range : object->materialRanges) {
            EXPECT_NE(model.findMaterial(range.materialId), nullptr);
            EXPECT_LE(range.endIndex, object->indices.count());
        }
    }
}

std::string vertexBytes(const std::vector<Vector3>& vertices)
{
    std::string bytes(vertices.size() * 12, '\0');
    std::memcpy(bytes.data(), vertices.data(), bytes.size());
    return bytes;
}

std::string cornerBytes(const std::vector<std::int32_t>& indices, ArgbColor color = Red)
{
    std::string bytes;
    for (std::int32_t index : indices)
        bytes += littleEndian(index) + littleEndian(Vector3{0, 0, 1}) + littleEndian(color);
    return bytes;
}

const std::string TriangleVertices = vertexBytes({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});

std::string documentWithMesh(const std::string& meshContent)
{
    return chunkedFile(chunk(0x1000, ChunkType::Group, chunk(0x1200, ChunkType::Group, meshContent)));
}

} // namespace

TEST(Document3dp, BeginsAndEndsWithTheFixedBytes)
{
    TempDir dir;
    Model model;
    addQuad(model);
    ASSERT_EQ(writeDocument(dir / "quad.3dp", model), OperationResult::Success);
    const std::string bytes = readFile(dir / "quad.3dp");
    const std::string expectedStart = std::string("lsdf\x01\x00\x20\x00\x00\x00\x01\x00", 12) +
                                      std::string("\x00\x00\x00\x00", 4) +
                                      littleEndian<std::uint64_t>(bytes.size() - 12 - 12 - 4);
    EXPECT_EQ(bytes.substr(0, expectedStart.size()), expectedStart);
    EXPECT_EQ(bytes.substr(bytes.size() - 4), "lsdf");
}

TEST(Document3dp, DocumentPropertiesTheirChunksAndOrder)
{
    TempDir dir;
    Model model;
    model.properties.setProperty("ModelName", "Teapot");
    model.properties.setIntProperty("3DPiFileType", 5);
    model.properties.setProperty("Empty", "");
    model.properties.setProperty("3DPszFilePath", "/models/teapot.3dp");
    model.properties.setBoolProperty("3DPbUntitled", true);
    model.properties.setBoolProperty("3DPbHaveChanges", false);
    model.properties.setProperty("Long", std::string(300, 'x'));
    ASSERT_EQ(writeDocument(dir / "props.3dp", model), OperationResult::Success);

    const std::string bytes = readFile(dir / "props.3dp");
    docs3dp::ChunkReader reader(bytesOf(bytes));
    ASSERT_TRUE(reader.readHeader());
    const std::vector<ChunkTree> expectedOrder = {{0x2001, {}}, {0x2002, {}}, {0x2003, {}}, {0x2004, {}},
                                                  {0x2000, {}}, {0x2000, {}}, {0x2000, {}}};
    EXPECT_EQ(chunkTree(reader, reader.root()), expectedOrder);
    // Ascending key order; key=value is cut to 259 characters in all.
    EXPECT_EQ(rootTexts(bytes, 0x2000),
              (std::vector<std::string>{"Empty=", "Long=" + std::string(254, 'x'), "ModelName=Teapot"}));
    EXPECT_EQ(rootTexts(bytes, 0x2001), (std::vector<std::string>{"/models/teapot.3dp"}));

    Model read;
    ASSERT_EQ(readDocument(dir / "props.3dp", read), OperationResult::Success);
    EXPECT_EQ(read.properties.getProperty("ModelName"), "Teapot");
    EXPECT_EQ(read.properties.getIntProperty("3DPiFileType"), 5);
    EXPECT_EQ(read.properties.getProperty("3DPszFilePath"), "/models/teapot.3dp");
    EXPECT_EQ(read.properties.getProperty("3DPbUntitled"), "1");
    EXPECT_EQ(read.properties.getProperty("3DPbHaveChanges"), "0");
    EXPECT_EQ(read.properties.getProperty("Long"), std::string(254, 'x'));
    EXPECT_FALSE(read.properties.hasProperty("Empty"));
    EXPECT_EQ(read.profile.kind, FormatKind::Document3dp);
}

TEST(Document3dp, ObjectsKeepGeometryPlacementColoursAndProperties)
{
    TempDir dir;
    Model model;
    const ModelObject& quad = addQuad(model);
    ASSERT_EQ(writeDocument(dir / "quad.3dp", model), OperationResult::Success);

    const std::string bytes = readFile(dir / "quad.3dp");
    docs3dp::ChunkReader reader(bytesOf(bytes));
    ASSERT_TRUE(reader.readHeader());
    const std::vector<ChunkTree> mesh = {{0x1201, {}}, {0x1202, {}}, {0x1221, {}}, {0x1231, {}},
                                         {0x1224, {}}, {0x1222, {}}, {0x1223, {}}};
    std::vector<ChunkTree> placement;
    for (std::uint16_t id : {0x1101, 0x1102, 0x1103, 0x1111, 0x1112, 0x1113, 0x1121, 0x1122, 0x1123})
        placement.push_back({id, {}});
    const std::vector<ChunkTree> object = {{0x1200, mesh}, {0x1100, placement}, {0x1300, {}},
                                           {0x1300, {}},   {0x1300, {}},        {0x1300, {}}};
    EXPECT_EQ(chunkTree(reader, reader.root()), (std::vector<ChunkTree>{{0x1000, object}}));

    Model read;
    ASSERT_EQ(readDocument(dir / "quad.3dp", read), OperationResult::Success);
    ASSERT_EQ(read.objects.size(), 1u);
    const ModelObject& back = *read.objects[0];
    EXPECT_EQ(toVector(back.vertices), toVector(quad.vertices));
    EXPECT_EQ(toVector(back.indices), toVector(quad.indices));
    EXPECT_EQ(toVector(back.normals), toVector(quad.normals)); // bit for bit
    EXPECT_EQ(toVector(back.colors), toVector(quad.colors));
    EXPECT_TRUE(back.texCoords.empty());
    EXPECT_EQ(back.position, quad.position);
    EXPECT_EQ(back.rotation, quad.rotation);
    EXPECT_EQ(back.scale, quad.scale);
    EXPECT_EQ(back.properties.getIntProperty("ObjectDefaultColor"), static_cast<std::int32_t>(DefaultVertexColor));
    EXPECT_EQ(back.properties.getProperty("3DPObjectComment"), "a comment");
    EXPECT_EQ(back.properties.getProperty("Custom"), "value");
    EXPECT_FALSE(back.properties.hasProperty("Blank"));

    // Only the colours of the first range's material come back, as an
    // unnamed material of the object's own covering all its corners.
    ASSERT_EQ(read.materials.size(), 1u);
    const Material& material = *read.materials[0];
    EXPECT_FALSE(material.properties.hasProperty("Name"));
    EXPECT_EQ(material.colors[AmbientSlot], Red);
    EXPECT_EQ(material.colors[DiffuseSlot], Green);
    EXPECT_EQ(material.colors[SpecularSlot], Blue);
    EXPECT_TRUE(material.colorSet[AmbientSlot] && material.colorSet[DiffuseSlot] && material.colorSet[SpecularSlot]);
    ASSERT_EQ(back.materialRanges.size(), 1u);
    EXPECT_EQ(back.materialRanges[0].materialId, material.id);
    EXPECT_EQ(back.materialRanges[0].firstIndex, 0u);
    EXPECT_EQ(back.materialRanges[0].endIndex, 6u);
}

TEST(Document3dp, ObjectsWithoutNormalsGetFlatFaceNormals)
{
    TempDir dir;
    Model model;
    ModelObject& object = *model.addObject();
    fill(object.vertices, std::vector<Vector3>{{0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {0, 0, 2}});
    // A triangle with an index beyond the vertices, and one spare corner.
    fill(object.indices, std::vector<std::uint32_t>{0, 1, 2, 0, 3, 1, 0, 1, 9, 2});
    fill(object.colors, std::vector<ArgbColor>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}); // one per corner
    ASSERT_EQ(writeDocument(dir / "flat.3dp", model), OperationResult::Success);

    // The corner records as written.
    const std::string bytes = readFile(dir / "flat.3dp");
    const std::size_t corners = bytes.find(std::string("\x02\x12\x07\x00", 4));
    ASSERT_NE(corners, std::string::npos);
    struct Record {
        std::int32_t index;
        Vector3 normal;
        ArgbColor color;
    };
    std::vector<Record> records(10);
    for (std::size_t k = 0; k < records.size(); ++k)
        std::memcpy(&records[k], bytes.data() + corners + 12 + 20 * k, 20);
    const Vector3 up = faceNormal({0, 0, 0}, {2, 0, 0}, {0, 2, 0});
    const Vector3 side = faceNormal({0, 0, 0}, {0, 0, 2}, {2, 0, 0});
    const Vector3 none{0, 0, 0};
    const Vector3 expected[] = {up, up, up, side, side, side, none, none, none, none};
    for (std::size_t k = 0; k < records.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(records[k].index, static_cast<std::int32_t>(object.indices[k]));
        EXPECT_EQ(records[k].normal, expected[k]);
        EXPECT_EQ(records[k].color, object.colors[k]);
    }

    // Reading keeps the face normals; the triangle with the bad index goes,
    // the spare corner stays.
    Model read;
    ASSERT_EQ(readDocument(dir / "flat.3dp", read), OperationResult::Success);
    ASSERT_EQ(read.objects.size(), 1u);
    EXPECT_EQ(toVector(read.objects[0]->indices), (std::vector<std::uint32_t>{0, 1, 2, 0, 3, 1, 2}));
    EXPECT_EQ(toVector(read.objects[0]->normals), (std::vector<Vector3>{up, up, up, side, side, side, none}));
    expectSafeModel(read);
}

// Corners of an object without colours are written grey, and such corners
// read back as no colours; an object whose own colours are all that grey
// (a material's default diffuse colour) keeps them, alone or beside one
// without colours.
TEST(Document3dp, ColoursThatAreAllTheDefaultGreyAreKept)
{
    TempDir dir;
    Model model;
    ModelObject& grey = *model.addObject();
    fill(grey.vertices, std::vector<Vector3>{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
    fill(grey.indices, std::vector<std::uint32_t>{0, 1, 2});
    fill(grey.colors, std::vector<ArgbColor>{DefaultVertexColor, DefaultVertexColor, DefaultVertexColor});
    ModelObject& plain = *model.addObject();
    fill(plain.vertices, std::vector<Vector3>{{0, 0, 1}, {1, 0, 1}, {0, 1, 1}});
    fill(plain.indices, std::vector<std::uint32_t>{0, 1, 2});
    ASSERT_EQ(writeDocument(dir / "grey.3dp", model), OperationResult::Success);

    Model read;
    ASSERT_EQ(readDocument(dir / "grey.3dp", read), OperationResult::Success);
    ASSERT_EQ(read.objects.size(), 2u);
    EXPECT_EQ(toVector(read.objects[0]->colors), toVector(grey.colors));
    EXPECT_TRUE(read.objects[1]->colors.empty());
    expectSafeModel(read);
}

TEST(Document3dp, ObjectsWithTwoIndicesAreWrittenWithoutMeshAndDropped)
{
    TempDir dir;
    Model model;
    ModelObject& line = *model.addObject();
    fill(line.vertices, std::vector<Vector3>{{0, 0, 0}, {1, 0, 0}});
    fill(line.indices, std::vector<std::uint32_t>{0, 1});
    line.position = {5, 5, 5};
    line.properties.setProperty("Name", "line");
    model.addObject(); // no vertices: not written at all
    addQuad(model);
    ASSERT_EQ(writeDocument(dir / "line.3dp", model), OperationResult::Success);

    const std::string bytes = readFile(dir / "line.3dp");
    docs3dp::ChunkReader reader(bytesOf(bytes));
    ASSERT_TRUE(reader.readHeader());
    const std::vector<ChunkTree> tree = chunkTree(reader, reader.root());
    ASSERT_EQ(tree.size(), 2u);
    ASSERT_EQ(tree[0].children.size(), 2u);
    EXPECT_EQ(tree[0].children[0].id, 0x1100);
    EXPECT_EQ(tree[0].children[1].id, 0x1300);

    Model read;
    ASSERT_EQ(readDocument(dir / "line.3dp", read), OperationResult::Success);
    ASSERT_EQ(read.objects.size(), 1u);
    EXPECT_EQ(read.objects[0]->indices.count(), 6u);
}

// Each object without a mesh is dropped as it ends; dropping used to walk
// every object kept so far, and a file of 60,000 objects took 17 seconds.
TEST(Document3dp, ObjectsWithoutMeshBetweenMeshesAreDroppedInOrder)
{
    TempDir dir;
    Model model;
    constexpr int Meshes = 20'000;
    for (int i = 0; i < Meshes; ++i) {
        ModelObject& triangle = *model.addObject();
        fill(triangle.vertices, std::vector<Vector3>{{0, 0, 0}, {1, 0, 0}, {0, static_cast<float>(i), 1}});
        fill(triangle.indices, std::vector<std::uint32_t>{0, 1, 2});
        ModelObject& line = *model.addObject();
        fill(line.vertices, std::vector<Vector3>{{0, 0, 0}, {1, 0, 0}});
        fill(line.indices, std::vector<std::uint32_t>{0, 1});
    }
    ASSERT_EQ(writeDocument(dir / "lines.3dp", model), OperationResult::Success);

    Model read;
    ASSERT_EQ(readDocument(dir / "lines.3dp", read), OperationResult::Success);
    ASSERT_EQ(read.objects.size(), static_cast<std::size_t>(Meshes));
    for (int i = 0; i < Meshes; i += 997)
        EXPECT_EQ(read.objects[i]->vertices[2].y, static_cast<float>(i));
}

TEST(Document3dp, UnreadableFilesAreRefusedWithTheirMessages)
{
    TempDir dir;
    const std::string valid = documentWithMesh(chunk(0x1201, ChunkType::Block, TriangleVertices) +
                                               chunk(0x1202, ChunkType::Block, cornerBytes({0, 1, 2})));
    struct Case {
        const char* name;
        std::optional<std::string> bytes; // none: the file does not exist
        OperationResult result;
        const char* message; // with the path after "File "
        std::size_t objects;
    };
    const Case cases[] = {
        {"missing file", std::nullopt, OperationResult::Failure, " can not be opened.", 0},
        {"not a document", std::string("solid cube\nendsolid\n"), OperationResult::Failure, " was not readable.", 0},
        {"empty file", std::string(), OperationResult::Failure, " was not readable.", 0},
        {"version 2", fileHeader(2) + valid.substr(12), OperationResult::Failure, nullptr, 0},
        {"version 0", fileHeader(0) + valid.substr(12), OperationResult::Success, nullptr, 1},
        {"no trailer", valid.substr(0, valid.size() - 4), OperationResult::Success, nullptr, 1},
        {"something else after the root", valid.substr(0, valid.size() - 4) + "junk!", OperationResult::Success,
         nullptr, 1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const std::filesystem::path path = dir / (std::string(test.name) + ".3dp");
        if (test.bytes)
            writeFile(path, *test.bytes);
        Model model;
        std::vector<std::string> messages;
        EXPECT_EQ(readDocument(path, model, &messages), test.result);
        if (test.message != nullptr)
            EXPECT_EQ(messages, (std::vector<std::string>{"File " + path.string() + test.message}));
        else
            EXPECT_TRUE(messages.empty());
        EXPECT_EQ(model.objects.size(), test.objects);
    }
}

TEST(Document3dp, DamagedDocumentsReadCleanly)
{
    const std::string vertices = chunk(0x1201, ChunkType::Block, TriangleVertices);
    const std::string triangle = chunk(0x1202, ChunkType::Block, cornerBytes({0, 1, 2}));
    std::string deepObject = chunk(0x1200, ChunkType::Group, vertices + triangle);
    for (int level = 0; level < 3000; ++level)
        deepObject = chunk(0x1000, ChunkType::Group, deepObject);

    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::uint32_t> indices; // of the one object expected
        // The vertices left as a point set when every corner is lost; with
        // no indices either, no object is expected.
        std::uint32_t points = 0;
    };
    const Case cases[] = {
        {"vertex block not a multiple of 12",
         documentWithMesh(chunk(0x1201, ChunkType::Block, TriangleVertices + "12345") + triangle),
         {0, 1, 2}},
        {"corner block not a multiple of 20",
         documentWithMesh(vertices + chunk(0x1202, ChunkType::Block, cornerBytes({0, 1, 2}) + "1234567")),
         {0, 1, 2}},
        {"index beyond the vertices drops its triangle",
         documentWithMesh(vertices + chunk(0x1202, ChunkType::Block, cornerBytes({0, 1, 3, 2, 1, 0}))),
         {2, 1, 0}},
        {"negative index drops its triangle",
         documentWithMesh(vertices + chunk(0x1202, ChunkType::Block, cornerBytes({0, -1, 2, 2, 1, 0, 1, 2}))),
         {2, 1, 0, 1, 2}},
        {"every triangle bad",
         documentWithMesh(vertices + chunk(0x1202, ChunkType::Block, cornerBytes({7, 8, 9}))),
         {},
         3},
        {"corners before the vertices", documentWithMesh(triangle + vertices), {}, 3},
        {"vertices only", documentWithMesh(vertices), {}, 3},
        {"fewer vertices after the corners",
         documentWithMesh(chunk(0x1201, ChunkType::Block, TriangleVertices + vertexBytes({{1, 1, 1}})) +
                          chunk(0x1202, ChunkType::Block, cornerBytes({3, 2, 1})) + vertices),
         {},
         3},
        {"second mesh with fewer vertices",
         chunkedFile(chunk(0x1000, ChunkType::Group,
                           chunk(0x1200, ChunkType::Group,
                                 chunk(0x1201, ChunkType::Block, TriangleVertices + vertexBytes({{1, 1, 1}})) +
                                     chunk(0x1202, ChunkType::Block, cornerBytes({3, 2, 1}))) +
                               chunk(0x1200, ChunkType::Group, vertices + triangle))),
         {0, 1, 2}},
        {"corner block runs past its mesh",
         chunkedFile(chunk(0x1000, ChunkType::Group,
                           chunkHeader(0x1200, ChunkType::Group, vertices.size() + 20) + vertices + triangle)),
         {},
         3},
        {"size of 2^64 - 1",
         documentWithMesh(vertices + triangle + chunkHeader(0x1202, ChunkType::Block, UINT64_MAX) + "x"),
         {0, 1, 2}},
        {"objects nested in themselves", chunkedFile(deepObject), {}},
    };
    TempDir dir;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const std::filesystem::path path = dir / "damaged.3dp";
        writeFile(path, test.bytes);
        Model model;
        EXPECT_EQ(readDocument(path, model), OperationResult::Success);
        expectSafeModel(model);
        if (test.indices.empty() && test.points == 0) {
            EXPECT_TRUE(model.objects.empty());
            continue;
        }
        ASSERT_EQ(model.objects.size(), 1u);
        EXPECT_EQ(toVector(model.objects[0]->indices), test.indices);
        if (test.points > 0) {
            EXPECT_EQ(model.objects[0]->vertices.count(), test.points);
        }
    }
}

TEST(Document3dp, DroppedCornersLeaveNoColourAndTextsNeedNoZeroByte)
{
    const std::string mesh =
        chunk(0x1201, ChunkType::Block, vertexBytes({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}})) +
        chunk(0x1202, ChunkType::Block, cornerBytes({0, 1, 2}, Red) + cornerBytes({3, 2, 5}, Blue));
    const std::string object = chunk(0x1200, ChunkType::Group, mesh) + chunk(0x1300, ChunkType::Text, "Key=Value") +
                               chunk(0x1300, ChunkType::Text, "NoEquals") + chunk(0x1300, ChunkType::Text, "=x");
    const std::string longPath(2000, 'p');
    const std::string bytes =
        chunkedFile(chunk(0x2001, ChunkType::Text, longPath) + chunk(0x2000, ChunkType::Text, "Name=Doc") +
                    chunk(0x2002, ChunkType::Integer, "\x01") + chunk(0x1000, ChunkType::Group, object));
    TempDir dir;
    writeFile(dir / "texts.3dp", bytes);
    Model model;
    ASSERT_EQ(readDocument(dir / "texts.3dp", model), OperationResult::Success);
    EXPECT_EQ(model.properties.getProperty("Name"), "Doc");
    EXPECT_EQ(model.properties.getProperty("3DPszFilePath"), std::string(259, 'p'));
    EXPECT_FALSE(model.properties.hasProperty("3DPiFileType")); // too short to hold an integer
    ASSERT_EQ(model.objects.size(), 1u);
    const ModelObject& object3 = *model.objects[0];
    EXPECT_EQ(object3.properties.size(), 1u);
    EXPECT_EQ(object3.properties.getProperty("Key"), "Value");
    EXPECT_EQ(toVector(object3.colors), (std::vector<ArgbColor>{Red, Red, Red, OpaqueBlack}));
}

// Damage that takes the mesh with it fails the read with where it lies,
// rather than giving an empty model as if the file held nothing.
TEST(Document3dp, DamageThatLosesTheMeshFailsWithItsPosition)
{
    TempDir dir;
    const std::string header = fileHeader();
    const std::string cutDocument =
        header + chunkHeader(0, ChunkType::Group, 1ull << 40) + chunkHeader(0x1000, ChunkType::Group, 1ull << 40) +
        chunkHeader(0x1200, ChunkType::Group, 1ull << 40) + chunk(0x1201, ChunkType::Block, TriangleVertices);
    const std::string cutVertices =
        header + chunk(0, ChunkType::Group,
                       chunk(0x1000, ChunkType::Group,
                             chunk(0x1200, ChunkType::Group,
                                   chunkHeader(0x1201, ChunkType::Block, UINT64_MAX) + TriangleVertices)));
    const std::string emptyRoot = header + chunkHeader(0, ChunkType::Group, 0) +
                                  chunkHeader(0x1000, ChunkType::Group, 0) + TriangleVertices + "\0\0\0\0";
    for (const auto& [name, bytes, what] : {std::tuple{"vertex block of 2^64 - 1 bytes", cutVertices, "vertex block"},
                                            std::tuple{"root of size 0", emptyRoot, "root group"},
                                            std::tuple{"root past the end of the file", cutDocument, "truncated"}}) {
        SCOPED_TRACE(name);
        writeFile(dir / "damaged.3dp", bytes);
        Model model;
        RecordingReporter reporter;
        Failure failure;
        EXPECT_EQ(docs3dp::read3dp(dir / "damaged.3dp", model, reporter, &failure), OperationResult::Failure);
        EXPECT_EQ(failure.kind, FailureKind::Malformed);
        EXPECT_NE(failure.message.find(what), std::string::npos) << failure.message;
        EXPECT_TRUE(failure.byteOffset.has_value());
        EXPECT_TRUE(model.objects.empty());
    }
}

TEST(Document3dp, EveryCutAndEveryDamagedByteReadsSafely)
{
    TempDir dir;
    Model model;
    addQuad(model);
    addQuad(model).normals.release();
    model.properties.setProperty("ModelName", "Two quads");
    ASSERT_EQ(writeDocument(dir / "full.3dp", model), OperationResult::Success);
    const std::string bytes = readFile(dir / "full.3dp");
    const std::filesystem::path path = dir / "damaged.3dp";

    for (std::size_t length = 0; length < bytes.size(); ++length) {
        SCOPED_TRACE("cut at " + std::to_string(length));
        writeFile(path, bytes.substr(0, length));
        Model read;
        const OperationResult result = readDocument(path, read);
        EXPECT_NE(result, OperationResult::Cancelled);
        expectSafeModel(read);
        if (length >= bytes.size() - 4) {
            EXPECT_EQ(read.objects.size(), 2u); // only the trailer is missing
        }
    }
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        SCOPED_TRACE("damaged byte " + std::to_string(at));
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ 0xA5);
        writeFile(path, damaged);
        Model read;
        EXPECT_NE(readDocument(path, read), OperationResult::Cancelled);
        expectSafeModel(read);
    }
}

TEST(Document3dp, OutOfMemoryFailsTheRead)
{
    TempDir dir;
    Model model;
    ModelObject& big = *model.addObject();
    ASSERT_TRUE(big.vertices.allocate(100'000));
    ASSERT_TRUE(big.indices.allocate(3));
    std::fill(big.indices.begin(), big.indices.end(), 0u);
    ASSERT_EQ(writeDocument(dir / "big.3dp", model), OperationResult::Success);

    setAvailableMemoryOverride(1000);
    Model read;
    RecordingReporter reporter;
    Failure failure;
    const OperationResult result = docs3dp::read3dp(dir / "big.3dp", read, reporter, &failure);
    setAvailableMemoryOverride(0);
    EXPECT_EQ(result, OperationResult::Failure);
    EXPECT_EQ(failure.message, "out of memory");
    EXPECT_EQ(failure.kind, FailureKind::OutOfMemory);
}

TEST(Document3dp, CancelledOrFailedWritesLeaveNothing)
{
    TempDir dir;
    Model model;
    ModelObject& big = *model.addObject();
    ASSERT_TRUE(big.vertices.allocate(100'000));
    ASSERT_TRUE(big.indices.allocate(300'000));
    std::fill(big.indices.begin(), big.indices.end(), 0u);

    RecordingReporter cancelling;
    cancelling.cancelAfterChecks(2);
    EXPECT_EQ(docs3dp::write3dp(dir / "cancelled.3dp", model, cancelling), OperationResult::Cancelled);
    {
        FileSizeLimit limit(64 << 10);
        ASSERT_TRUE(limit.active());
        RecordingReporter reporter;
        Failure failure;
        EXPECT_EQ(docs3dp::write3dp(dir / "full.3dp", model, reporter, &failure), OperationResult::Failure);
        EXPECT_NE(failure.message.find("write failed"), std::string::npos) << describeFailure(failure);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    ASSERT_EQ(writeDocument(dir / "whole.3dp", model), OperationResult::Success);
    RecordingReporter stopReading;
    stopReading.cancelAfterChecks(1);
    Model read;
    EXPECT_EQ(docs3dp::read3dp(dir / "whole.3dp", read, stopReading), OperationResult::Cancelled);
}

TEST(Document3dp, CommandLineConvertsDocuments)
{
    TempDir dir;
    Model model;
    addQuad(model);
    ASSERT_EQ(writeDocument(dir / "quad.3dp", model), OperationResult::Success);
    const std::string cli = shellQuote(cliPath().string());
    std::string output;
    ASSERT_EQ(convertWithCli(dir / "quad.3dp", "3dp", dir / "out", &output), 0) << output;
    ASSERT_EQ(runCommand(cli + " info --json " + shellQuote((dir / "out" / "quad.3dp").string()), &output), 0)
        << output;
    EXPECT_NE(output.find("\"result\":\"ok\""), std::string::npos) << output;
    EXPECT_NE(output.find("\"profileKind\":0"), std::string::npos) << output;
    EXPECT_NE(output.find("\"placement\":[1,2,3,10,20,30,2,0.5,4]"), std::string::npos) << output;

    // STL to a document and back gives what STL to STL gives.
    const std::string stl = shellQuote((sourceDir() / "examples" / "bracket.stl").string());
    const std::string doc = shellQuote((dir / "doc" / "bracket.3dp").string());
    ASSERT_EQ(runCommand(cli + " convert " + stl + " --to 3dp --output " + shellQuote((dir / "doc").string()) + " && " +
                             cli + " convert " + doc + " --to stl --output " + shellQuote((dir / "back").string()) +
                             " && " + cli + " convert " + stl + " --to stl --output " +
                             shellQuote((dir / "direct").string()) + " 2>&1",
                         &output),
              0)
        << output;
    const auto summary = [&](const std::filesystem::path& file) {
        std::string json;
        EXPECT_EQ(runCommand(cli + " info --json " + shellQuote(file.string()), &json), 0) << json;
        const std::size_t objects = json.find("\"objects\"");
        return objects == std::string::npos ? json : json.substr(objects);
    };
    const std::string direct = summary(dir / "direct" / "bracket.stl");
    EXPECT_NE(direct.find("\"triangles\":20"), std::string::npos) << direct;
    EXPECT_EQ(summary(dir / "back" / "bracket.stl"), direct);
    EXPECT_EQ(readFile(dir / "back" / "bracket.stl"), readFile(dir / "direct" / "bracket.stl"));
}
