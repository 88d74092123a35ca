#include "formats/ply/ply_test_support.h"

namespace morvex::testing {
namespace {

using namespace std::string_literals;

using Indices = std::vector<std::uint32_t>;

std::string asciiPly(std::string_view headerLines, std::string_view body)
{
    return "ply\nformat ascii 1.0\n" + std::string(headerLines) + "end_header\n" + std::string(body);
}

constexpr std::string_view eightVertices = "element vertex 8\nproperty float x\nproperty float y\nproperty float z\n";
constexpr std::string_view eightPoints = "0 0 0\n1 0 0\n0 1 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n";
constexpr std::string_view stripList = "element tristrips 1\nproperty list int int vertex_indices\n";
// Two strips: 0 1 2 3 and, after the restart, 4 5 5 6 7 whose repeated
// vertex makes two degenerate triangles.
constexpr std::string_view stripLine = "10 0 1 2 3 -1 4 5 5 6 7\n";
// (0 1 2), then the second triangle turned over (2 1 3); of the second strip
// only its third triangle (5 6 7) has three distinct vertices.
const Indices stripTriangles = {0, 1, 2, 2, 1, 3, 5, 6, 7};

struct OrderCase {
    const char* name;
    std::string bytes;
    Indices indices;
};

void appendStripRecord(BinaryPlyBuilder& builder)
{
    const std::int32_t strip[] = {0, 1, 2, 3, -1, 4, 5, 5, 6, 7};
    builder.put<std::int32_t>(10);
    for (std::int32_t index : strip)
        builder.put(index);
}

void appendPoints(BinaryPlyBuilder& builder)
{
    for (int v = 0; v < 8; ++v)
        builder.put(static_cast<float>(v & 1)).put(static_cast<float>((v >> 1) & 1)).put(static_cast<float>(v >> 2));
}

// Faces, strips and other elements before the vertices, in both text and
// binary bodies: the records are read in the order the header declares.
TEST(PlyElementOrder, ReadsElementsInDeclaredOrderAndStripsAsTriangles)
{
    const std::string quadFace = "element face 1\nproperty list uchar int vertex_indices\n";
    std::vector<OrderCase> cases = {
        {"faces before vertices",
         asciiPly(quadFace + std::string(eightVertices), "4 4 5 7 6\n" + std::string(eightPoints)),
         {4, 5, 7, 7, 6, 4}},
        {"unknown element first",
         asciiPly("element material 2\nproperty float shine\nproperty list uchar float rgb\n" +
                      std::string(eightVertices) + quadFace,
                  "0.5 3 1 1 1\n0.25 0\n" + std::string(eightPoints) + "3 0 1 2\n"),
         {0, 1, 2}},
        {"strips",
         asciiPly(std::string(eightVertices) + std::string(stripList),
                  std::string(eightPoints) + std::string(stripLine)),
         stripTriangles},
        {"strips before vertices, then faces",
         asciiPly(std::string(stripList) + std::string(eightVertices) + quadFace,
                  std::string(stripLine) + std::string(eightPoints) + "3 7 6 5\n"),
         {0, 1, 2, 2, 1, 3, 5, 6, 7, 7, 6, 5}},
        {"empty strip and a strip of two",
         asciiPly(std::string(eightVertices) + "element tristrips 2\nproperty list int int vertex_indices\n",
                  std::string(eightPoints) + "0\n2 0 1\n"),
         {}},
    };
    for (const bool bigEndian : {false, true}) {
        BinaryPlyBuilder strips(bigEndian);
        strips.line("element tristrips 1").line("property list uchar int vertex_indices");
        strips.line("element edge 1").line("property int vertex1").line("property int vertex2");
        strips.line(eightVertices);
        strips.put<std::uint8_t>(10);
        for (std::int32_t index : {0, 1, 2, 3, -1, 4, 5, 5, 6, 7})
            strips.put(index);
        strips.put<std::int32_t>(0).put<std::int32_t>(1);
        appendPoints(strips);
        cases.push_back(
            {bigEndian ? "binary big-endian strips first" : "binary strips first", strips.bytes(), stripTriangles});

        BinaryPlyBuilder faces(bigEndian);
        faces.line("element face 2").line("property list uchar int vertex_indices").line("property float quality");
        faces.line(eightVertices).line(stripList);
        faces.put<std::uint8_t>(3).put<std::int32_t>(0).put<std::int32_t>(1).put<std::int32_t>(2).put(0.5f);
        faces.put<std::uint8_t>(3).put<std::int32_t>(7).put<std::int32_t>(6).put<std::int32_t>(5).put(0.5f);
        appendPoints(faces);
        appendStripRecord(faces);
        cases.push_back({bigEndian ? "binary big-endian faces, vertices, strips" : "binary faces, vertices, strips",
                         faces.bytes(),
                         {0, 1, 2, 7, 6, 5, 0, 1, 2, 2, 1, 3, 5, 6, 7}});
    }
    for (const OrderCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Model model;
        const PlyReadResult read = readPlyBytes(dir, c.bytes, model);
        ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
        ASSERT_EQ(model.objects.size(), 1u);
        const ModelObject& object = *model.objects[0];
        ASSERT_EQ(object.vertices.count(), 8u);
        EXPECT_EQ(toVector(object.indices), c.indices);
        // The vertices land where they belong whatever came first.
        EXPECT_EQ(object.vertices[6], (Vector3{0, 1, 1}));
        EXPECT_EQ(object.vertices[7], (Vector3{1, 1, 1}));
    }
}

// Faces and strips that cannot be read fail the file with the reason;
// none of them reads as a success without its triangles.
TEST(PlyElementOrder, RefusesUnreadableFacesAndStrips)
{
    const struct {
        const char* name;
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"strips without a list",
         asciiPly(std::string(eightVertices) + "element tristrips 1\nproperty int count\n",
                  std::string(eightPoints) + "1\n"),
         "tristrips"},
        {"strip index beyond the vertices",
         asciiPly(std::string(eightVertices) + std::string(stripList), std::string(eightPoints) + "3 0 1 8\n"),
         "beyond the vertex count"},
        {"strip index -2",
         asciiPly(std::string(eightVertices) + std::string(stripList), std::string(eightPoints) + "4 0 1 2 -2\n"),
         "beyond the vertex count"},
        {"strip missing an index",
         asciiPly(std::string(eightVertices) + std::string(stripList), std::string(eightPoints) + "5 0 1 2\n"),
         "missing corner"},
        {"strip of negative length",
         asciiPly(std::string(eightVertices) + std::string(stripList), std::string(eightPoints) + "-3 0 1 2\n"),
         "negative"},
        {"faces before vertices, vertices missing",
         asciiPly("element face 1\nproperty list uchar int vertex_indices\n" + std::string(eightVertices),
                  "3 0 1 2\n0 0 0\n"),
         "truncated"},
        {"binary strip cut short",
         BinaryPlyBuilder(false)
             .line(eightVertices)
             .line(stripList)
             .put(std::array<float, 24>{})
             .put<std::int32_t>(4)
             .put<std::int32_t>(0)
             .bytes(),
         "truncated"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Model model;
        const PlyReadResult read = readPlyBytes(dir, c.bytes, model);
        EXPECT_EQ(read.result, OperationResult::Failure);
        EXPECT_NE(read.failure.message.find(c.reason), std::string::npos) << describeFailure(read.failure);
    }
}

// Float colours in a text body are fractions as in a binary one: the
// corpus file's "0 0 1 1" is opaque blue.
TEST(PlyElementOrder, ReadsFloatColoursAsFractions)
{
    MORVEX_REQUIRE_CORPUS();
    RecordingReporter reporter;
    Model model;
    Failure failure;
    ASSERT_EQ(ply::readPly(corpusDir() / "ply" / "assimp__float-color.ply", model, reporter, &failure),
              OperationResult::Success)
        << describeFailure(failure);
    EXPECT_EQ(toVector(model.objects[0]->colors), (std::vector<ArgbColor>{0xFF0000FF, 0xFF0000FF, 0xFF0000FF}));

    TempDir dir;
    Model fractions;
    const PlyReadResult read =
        readPlyBytes(dir,
                     asciiPly("element vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
                              "property double red\nproperty float green\nproperty float blue\nproperty uchar alpha\n",
                              "0 0 0 0.5 1.5 -0.25 7\n"),
                     fractions);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    EXPECT_EQ(toVector(fractions.objects[0]->colors), (std::vector<ArgbColor>{0x0780FF00}));
}

// Text PLY in UTF-16 with its mark reads as the same file in ASCII; text
// in an encoding we cannot read is refused with the reason.
TEST(PlyElementOrder, ReadsUtf16TextAndRefusesOtherEncodings)
{
    const std::string ascii = asciiPly("comment made by caf\xC3\xA9 \xF0\x9F\x98\x80\n" + std::string(eightVertices) +
                                           "element face 1\nproperty list uchar int vertex_indices\n",
                                       std::string(eightPoints) + "4 0 1 3 2\n");
    TempDir dir;
    Model plain;
    ASSERT_EQ(readPlyBytes(dir, ascii, plain).result, OperationResult::Success);
    for (const std::string& variant : {utf16Text(ascii, false), utf16Text(ascii, true), "\xEF\xBB\xBF" + ascii}) {
        Model model;
        const PlyReadResult read = readPlyBytes(dir, variant, model);
        ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
        EXPECT_EQ(toVector(model.objects[0]->vertices), toVector(plain.objects[0]->vertices));
        EXPECT_EQ(toVector(model.objects[0]->indices), toVector(plain.objects[0]->indices));
        EXPECT_EQ(model.properties.getProperty("Comment1"), "made by caf\xC3\xA9 \xF0\x9F\x98\x80");
    }

    BinaryPlyBuilder binary(false);
    binary.line(eightVertices);
    appendPoints(binary);
    const std::string binaryBytes = binary.bytes();
    const std::size_t bodyAt = binaryBytes.find("end_header\n") + 11;
    const std::string binaryHeader = binaryBytes.substr(0, bodyAt);
    const std::string binaryBody = binaryBytes.substr(bodyAt);
    const struct {
        const char* name;
        std::string bytes;
        const char* reason;
    } refused[] = {
        {"UTF-16 without a mark", utf16Text(ascii, false, false), "UTF-16 without a byte-order mark"},
        {"binary body behind a UTF-16 header", utf16Text(binaryHeader, false) + binaryBody, "NUL"},
        {"NUL in the header", asciiPly("comment a\0b\n"s + std::string(eightVertices), eightPoints), "NUL"},
        {"NUL in a text body", asciiPly(eightVertices, "0 0 0\n1 0 0\n0 1\0 0\n1 1 0\n0 0 1\n1 0 1\n0 1 1\n1 1 1\n"s),
         "NUL"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        Model model;
        const PlyReadResult read = readPlyBytes(dir, c.bytes, model);
        EXPECT_EQ(read.result, OperationResult::Failure);
        EXPECT_NE(read.failure.message.find(c.reason), std::string::npos) << describeFailure(read.failure);
    }
}

} // namespace
} // namespace morvex::testing
