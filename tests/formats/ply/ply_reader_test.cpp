#include "formats/ply/ply_test_support.h"

#include "support/core/memory_guard.h"

#include <chrono>
#include <cmath>
#include <random>

namespace morvex::testing {
namespace {

using Indices = std::vector<std::uint32_t>;
using Colors = std::vector<ArgbColor>;

std::string asciiPly(std::string_view headerLines, std::string_view body)
{
    return "ply\nformat ascii 1.0\n" + std::string(headerLines) + "end_header\n" + std::string(body);
}

constexpr std::string_view fourVertices = "element vertex 4\nproperty float x\nproperty float y\nproperty float z\n";
constexpr std::string_view fourPoints = "0 0 0\n1 0 0\n1 1 0\n0 1 0\n";

struct AsciiCase {
    const char* name;
    std::string text;
    Indices indices;
    Colors colors;
    std::uint32_t vertexCount = 4;
};

TEST(PlyReader, TriangulatesFacesAndColoursThem)
{
    const std::string faceList = "element face 1\nproperty list uchar int vertex_indices\n";
    const std::string fiveVertices = "element vertex 5\nproperty float x\nproperty float y\nproperty float z\n";
    const std::string fivePoints = "0 0 0\n1 0 0\n2 1 0\n1 2 0\n0 1 0\n";
    const AsciiCase cases[] = {
        {"quad",
         asciiPly(std::string(fourVertices) + faceList, std::string(fourPoints) + "4 0 1 2 3\n"),
         {0, 1, 2, 2, 3, 0},
         {}},
        {"pentagon",
         asciiPly(fiveVertices + faceList, fivePoints + "5 0 1 2 3 4\n"),
         {0, 1, 2, 2, 3, 0, 3, 4, 0},
         {},
         5},
        // The list is the face's corners whatever it is called.
        {"list named otherwise",
         asciiPly(std::string(fourVertices) + "element face 1\nproperty list uint8 int32 corners_here\n",
                  std::string(fourPoints) + "3 2 1 0\n"),
         {2, 1, 0},
         {}},
        // A second list (texture coordinates) is read past, not triangulated.
        {"second face list",
         asciiPly(std::string(fourVertices) +
                      "element face 1\nproperty list uchar int vertex_indices\nproperty list uchar float texcoord\n",
                  std::string(fourPoints) + "3 0 1 2 6 0.1 0.2 0.3 0.4 0.5 0.6\n"),
         {0, 1, 2},
         {}},
        // Colours on the faces win over colours on the vertices; a polygon
        // grows the colour array with its triangles.
        {"face colours grow with polygons",
         asciiPly("element vertex 4\nproperty float x\nproperty float y\nproperty float z\nproperty uchar red\n"
                  "element face 2\nproperty list uchar int vertex_indices\nproperty uchar red\n"
                  "property uchar green\nproperty uchar blue\nproperty uchar alpha\n",
                  "0 0 0 9\n1 0 0 9\n1 1 0 9\n0 1 0 9\n4 0 1 2 3 1 2 3 4\n3 0 2 3 255 0 0 128\n"),
         {0, 1, 2, 2, 3, 0, 0, 2, 3},
         {0x04010203, 0x04010203, 0x04010203, 0x04010203, 0x04010203, 0x04010203, 0x80FF0000, 0x80FF0000, 0x80FF0000}},
        // Vertex colours start opaque black; each property sets its byte
        // from the low 8 bits of its value.
        {"vertex colours",
         asciiPly("element vertex 4\nproperty float x\nproperty float y\nproperty float z\nproperty uchar green\n"
                  "property int red\nelement face 1\nproperty list uchar int vertex_indices\n",
                  "0 0 0 10 258\n1 0 0 0 -1\n1 1 0 255 0\n0 1 0 1.9 .5e1\n3 0 1 3\n"),
         {0, 1, 3},
         {0xFF020A00, 0xFFFF0000, 0xFF00FF00, 0xFF050100}},
        // Properties after a face element line of count 0 belong to that
        // element, not to the vertices before it.
        {"zero-count face element owns its properties",
         asciiPly(std::string(fourVertices) + "element face 0\nproperty uchar red\n", fourPoints),
         {},
         {}},
        // Skipped vertex properties; extra tokens on a line are ignored.
        {"skipped vertex properties",
         asciiPly("element vertex 4\nproperty float nx\nproperty float x\nproperty uchar s\nproperty float y\n"
                  "property float z\nelement face 1\nproperty list uchar int vertex_indices\n",
                  "9 0 9 0 0\n9 1 9 0 0\n9 1 9 1 0\n9 0 9 1 0 extra tokens\n3 3 2 1\n"),
         {3, 2, 1},
         {}},
        // Elements after the last one the model needs are not read.
        {"edge element line rule",
         asciiPly(std::string(fourVertices) + "element face 1\nproperty list uchar int vertex_indices\nelement edge 5\n"
                                              "property int vertex1\nproperty int vertex2\n",
                  std::string(fourPoints) + "3 0 1 2\n0 1\n"),
         {0, 1, 2},
         {}},
        // CR-only and CR LF line ends, blank runs and a body longer than the
        // elements (ignored).
        {"line ends and extra data",
         "ply\r\nformat ascii 1.0\r" + std::string(fourVertices) +
             "element face 1\r\n  property   list uchar int vertex_indices\rend_header\r\n"
             "0 0 0\r1 0 0\r\n1 1 0\n\t0  1 0 \r3 0 1 2\r\nleft over\n1 2 3\n",
         {0, 1, 2},
         {}},
    };
    for (const AsciiCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Model model;
        const PlyReadResult read = readPlyBytes(dir, c.text, model);
        ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
        ASSERT_EQ(model.objects.size(), 1u);
        const ModelObject& object = *model.objects[0];
        EXPECT_EQ(object.vertices.count(), c.vertexCount);
        EXPECT_EQ(toVector(object.indices), c.indices);
        EXPECT_EQ(toVector(object.colors), c.colors);
        EXPECT_EQ(model.profile.kind, FormatKind::Ply);
    }
}

TEST(PlyReader, ReadsVerticesExactlyAndPointClouds)
{
    TempDir dir;
    // A number longer than the 259-byte line limit is read in full, not cut.
    const std::string longNumber = "1." + std::string(300, '0') + "1";
    Model model;
    PlyReadResult read =
        readPlyBytes(dir,
                     asciiPly("element vertex 2\nproperty double x\nproperty double y\nproperty double z\n",
                              longNumber + " -2.5e3 nan\n0.125 inf 7\n"),
                     model);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    const ModelObject& cloud = *model.objects[0];
    ASSERT_EQ(cloud.vertices.count(), 2u);
    EXPECT_FLOAT_EQ(cloud.vertices[0].x, 1.0f);
    EXPECT_FLOAT_EQ(cloud.vertices[0].y, -2500.0f);
    EXPECT_TRUE(std::isnan(cloud.vertices[0].z));
    EXPECT_EQ(cloud.vertices[1], (Vector3{0.125f, INFINITY, 7.0f}));
    EXPECT_TRUE(cloud.indices.empty()) << "a point cloud has no triangles";
    EXPECT_TRUE(cloud.colors.empty());
}

TEST(PlyReader, StoresCommentsInOrderOfAppearance)
{
    TempDir dir;
    Model model;
    PlyReadResult read =
        readPlyBytes(dir,
                     asciiPly("comment   made by hand  \ncomment\n   comment second one\nobj_info ignored\n"
                              "comment caf\xc3\xa9\n" +
                                  std::string(fourVertices),
                              fourPoints),
                     model);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    EXPECT_EQ(model.properties.getProperty("Comment1"), "made by hand  ");
    EXPECT_EQ(model.properties.getProperty("Comment2"), "second one");
    EXPECT_EQ(model.properties.getProperty("Comment3"), "caf\xc3\xa9");
    EXPECT_EQ(model.properties.size(), 3u) << "an empty comment takes no number";

    // A comment line longer than the line limit keeps the first bytes only,
    // without splitting a character.
    std::string longComment = "comment ";
    for (int i = 0; i < 200; ++i)
        longComment += "\xc3\xa9";
    read = readPlyBytes(dir, asciiPly(longComment + "\n", ""), model);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    const std::string kept = model.properties.getProperty("Comment1");
    EXPECT_EQ(kept.size(), 250u);
    EXPECT_EQ(kept, longComment.substr(8, 250));
}

struct BadCase {
    const char* name;
    std::string bytes;
    const char* reason; // a part of the reason given
};

TEST(PlyReader, RefusesMalformedFilesWithAReason)
{
    const std::string faceList = "element face 1\nproperty list uchar int vertex_indices\n";
    const std::string threeVertices = "element vertex 3\nproperty float x\nproperty float y\nproperty float z\n";
    const std::array<float, 9> triangleCorners = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const BadCase cases[] = {
        {"not ply", "plx\nformat ascii 1.0\nend_header\n", "not a PLY"},
        {"empty file", "", "not a PLY"},
        {"unknown version", "ply\nformat ascii 2.0\nend_header\n", "format"},
        {"line between the first two", "ply\ncomment x\nformat ascii 1.0\nend_header\n", "format"},
        {"no end_header", "ply\nformat ascii 1.0\n" + threeVertices, "end_header"},
        {"element without a name", asciiPly("element\n", ""), "element line"},
        {"property without a type", asciiPly(threeVertices + "property\n", ""), "without a type"},
        {"negative count", asciiPly("element vertex -5\n", ""), "negative"},
        {"vertex declared twice", asciiPly(threeVertices + threeVertices, ""), "twice"},
        {"face list missing",
         asciiPly(threeVertices + "element face 1\nproperty uchar red\n", "0 0 0\n1 0 0\n0 1 0\n1\n"), "list"},
        {"list on a vertex", asciiPly("element vertex 1\nproperty list uchar float x\n", "1 0\n"), "vertex element"},
        {"list on an edge", asciiPly("element edge 1\nproperty list uchar int vertex1\n", "1 0\n"), "edge element"},
        {"too few vertex values", asciiPly(threeVertices, "0 0 0\n1 0\n0 1 0\n0 0 0\n"), "too few"},
        {"empty line among vertices", asciiPly(threeVertices, "0 0 0\n\n1 0 0\n0 1 0\n"), "too few"},
        {"vertex value not a number", asciiPly(threeVertices, "0 0 0\n1 zero 0\n0 1 0\n"), "not a number"},
        {"two corners", asciiPly(threeVertices + faceList, "0 0 0\n1 0 0\n0 1 0\n2 0 1\npadding\n"), "fewer than 3"},
        {"missing corner", asciiPly(threeVertices + faceList, "0 0 0\n1 0 0\n0 1 0\n4 0 1 2\n"), "missing corner"},
        {"corner beyond the vertices", asciiPly(threeVertices + faceList, "0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n"),
         "beyond the vertex count"},
        {"negative corner", asciiPly(threeVertices + faceList, "0 0 0\n1 0 0\n0 1 0\n3 0 -1 2\n"),
         "beyond the vertex count"},
        {"faces missing",
         asciiPly(threeVertices + "element face 2\nproperty list uchar int vertex_indices\n",
                  "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"),
         "truncated"},
        {"edges before the faces without their lines",
         asciiPly(threeVertices + "element edge 5\nproperty int vertex1\n" + faceList,
                  "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n"),
         "truncated"},
        {"huge vertex count in a short ASCII file", asciiPly("element vertex 2000000000\nproperty float x\n", "1\n2\n"),
         "truncated"},
        {"face count beyond 32-bit indices", asciiPly("element face 1500000000\n", ""), "too large"},
        {"count beyond 32 bits", asciiPly("element vertex 5000000000\n", ""), "too large"},
        {"count beyond 64 bits", asciiPly("element vertex 99999999999999999999999\n", ""), "too large"},
        {"binary unknown type",
         BinaryPlyBuilder(false).line("element vertex 1").line("property int64 x").put<std::int64_t>(1).bytes(),
         "unknown type"},
        {"binary unknown list item type",
         BinaryPlyBuilder(false).line("element face 1").line("property list uchar int64 vertex_indices").bytes(),
         "unknown type"},
        {"binary vertices cut short",
         BinaryPlyBuilder(false).line(threeVertices).put(0.0f).put(0.0f).put(0.0f).put(1.0f).bytes(), "truncated"},
        {"binary huge face count",
         BinaryPlyBuilder(false).line("element face 100000000").line("property list uchar int vertex_indices").bytes(),
         "truncated"},
        {"binary corner count 255 with few bytes left",
         BinaryPlyBuilder(true)
             .line(threeVertices + faceList)
             .put(triangleCorners)
             .put<std::uint8_t>(255)
             .put<std::int32_t>(0)
             .put<std::int32_t>(1)
             .put<std::int32_t>(2)
             .bytes(),
         "truncated"},
        {"binary corner count 0",
         BinaryPlyBuilder(false)
             .line(threeVertices + faceList)
             .put(triangleCorners)
             .put<std::uint8_t>(0)
             .put<std::int32_t>(0)
             .put<std::int32_t>(1)
             .put<std::int32_t>(2)
             .bytes(),
         "fewer than 3"},
        {"binary corner beyond the vertices",
         BinaryPlyBuilder(false)
             .line(threeVertices + faceList)
             .put(triangleCorners)
             .put<std::uint8_t>(3)
             .put<std::int32_t>(0)
             .put<std::int32_t>(1)
             .put<std::int32_t>(1000)
             .bytes(),
         "beyond the vertex count"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Model model;
        const auto started = std::chrono::steady_clock::now();
        const PlyReadResult read = readPlyBytes(dir, c.bytes, model);
        EXPECT_EQ(read.result, OperationResult::Failure);
        EXPECT_NE(read.failure.message.find(c.reason), std::string::npos) << describeFailure(read.failure);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    }
}

struct TypeCase {
    const char* word;
    void (*put)(BinaryPlyBuilder&);
    float asFloat;
    std::uint8_t colorByte;
};

// Every binary value type, as a coordinate and as a colour; the sized names
// read as the classic ones.
TEST(PlyReader, ConvertsEveryBinaryValueType)
{
    const TypeCase cases[] = {
        {"char", [](BinaryPlyBuilder& b) { b.put<std::int8_t>(-2); }, -2.0f, 0xFE},
        {"int8", [](BinaryPlyBuilder& b) { b.put<std::int8_t>(100); }, 100.0f, 100},
        {"uchar", [](BinaryPlyBuilder& b) { b.put<std::uint8_t>(200); }, 200.0f, 200},
        {"uint8", [](BinaryPlyBuilder& b) { b.put<std::uint8_t>(255); }, 255.0f, 255},
        {"short", [](BinaryPlyBuilder& b) { b.put<std::int16_t>(-300); }, -300.0f, 0xD4},
        {"int16", [](BinaryPlyBuilder& b) { b.put<std::int16_t>(513); }, 513.0f, 1},
        {"ushort", [](BinaryPlyBuilder& b) { b.put<std::uint16_t>(65535); }, 65535.0f, 0xFF},
        {"uint16", [](BinaryPlyBuilder& b) { b.put<std::uint16_t>(258); }, 258.0f, 2},
        {"int", [](BinaryPlyBuilder& b) { b.put<std::int32_t>(-70000); }, -70000.0f, 0x90},
        {"int32", [](BinaryPlyBuilder& b) { b.put<std::int32_t>(16777217); }, 16777216.0f, 1},
        {"uint", [](BinaryPlyBuilder& b) { b.put<std::uint32_t>(4000000000u); }, 4e9f, 0x00},
        {"uint32", [](BinaryPlyBuilder& b) { b.put<std::uint32_t>(511); }, 511.0f, 0xFF},
        // Float and double colours are fractions of full intensity,
        // rounded, and clamped to 0 to 1.
        {"float", [](BinaryPlyBuilder& b) { b.put(0.5f); }, 0.5f, 128},
        {"float", [](BinaryPlyBuilder& b) { b.put(2.75f); }, 2.75f, 255},
        {"float32", [](BinaryPlyBuilder& b) { b.put(-1.9f); }, -1.9f, 0},
        {"double", [](BinaryPlyBuilder& b) { b.put(0.25); }, 0.25f, 64},
        {"double", [](BinaryPlyBuilder& b) { b.put(300.7); }, 300.7f, 255},
        {"float64", [](BinaryPlyBuilder& b) { b.put(1e-50); }, 0.0f, 0},
        {"float", [](BinaryPlyBuilder& b) { b.put(std::nanf("")); }, NAN, 0},
        {"double", [](BinaryPlyBuilder& b) { b.put(1e300); }, INFINITY, 0xFF},
    };
    for (const bool bigEndian : {false, true}) {
        for (const TypeCase& c : cases) {
            SCOPED_TRACE(std::string(c.word) + (bigEndian ? " big-endian" : " little-endian"));
            BinaryPlyBuilder builder(bigEndian);
            builder.line("element vertex 1").line(std::string("property ") + c.word + " x");
            builder.line(std::string("property ") + c.word + " green");
            c.put(builder);
            c.put(builder);
            TempDir dir;
            Model model;
            const PlyReadResult read = readPlyBytes(dir, builder.bytes(), model);
            ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
            const ModelObject& object = *model.objects[0];
            ASSERT_EQ(object.vertices.count(), 1u);
            if (std::isnan(c.asFloat))
                EXPECT_TRUE(std::isnan(object.vertices[0].x));
            else
                EXPECT_EQ(object.vertices[0].x, c.asFloat);
            ASSERT_EQ(object.colors.count(), 1u);
            EXPECT_EQ(object.colors[0], 0xFF000000u | (std::uint32_t{c.colorByte} << 8));
        }
    }
}

// The same data in both byte orders, with every kind of property the reader
// handles, gives the same model.
TEST(PlyReader, BigAndLittleEndianTwinsAreIdentical)
{
    Model models[2];
    for (const bool bigEndian : {false, true}) {
        BinaryPlyBuilder b(bigEndian);
        b.line("comment twin").line("element vertex 5").line("property double x").line("property float y");
        b.line("property short z").line("property float nx").line("property uchar red").line("property ushort blue");
        b.line("element face 3").line("property uchar flags").line("property list ushort uint vertex_indices");
        b.line("property list uchar float texcoord").line("element edge 2").line("property int vertex1");
        for (int v = 0; v < 5; ++v)
            b.put(v * 1.5)
                .put(-v * 0.25f)
                .put<std::int16_t>(static_cast<std::int16_t>(v - 2))
                .put(9.0f)
                .put<std::uint8_t>(static_cast<std::uint8_t>(40 * v))
                .put<std::uint16_t>(static_cast<std::uint16_t>(300 + v));
        b.put<std::uint8_t>(1).put<std::uint16_t>(3).put<std::uint32_t>(0).put<std::uint32_t>(1).put<std::uint32_t>(2);
        b.put<std::uint8_t>(2).put(0.5f).put(0.5f);
        b.put<std::uint8_t>(1)
            .put<std::uint16_t>(5)
            .put<std::uint32_t>(0)
            .put<std::uint32_t>(1)
            .put<std::uint32_t>(2)
            .put<std::uint32_t>(3)
            .put<std::uint32_t>(4);
        b.put<std::uint8_t>(0);
        b.put<std::uint8_t>(1)
            .put<std::uint16_t>(4)
            .put<std::uint32_t>(4)
            .put<std::uint32_t>(3)
            .put<std::uint32_t>(2)
            .put<std::uint32_t>(1);
        b.put<std::uint8_t>(0);
        b.put<std::int32_t>(0).put<std::int32_t>(1); // edge records are not loaded
        TempDir dir;
        const PlyReadResult read = readPlyBytes(dir, b.bytes(), models[bigEndian]);
        ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    }
    const ModelObject& little = *models[0].objects[0];
    const ModelObject& big = *models[1].objects[0];
    EXPECT_EQ(toVector(little.vertices), toVector(big.vertices));
    EXPECT_EQ(toVector(little.indices), toVector(big.indices));
    EXPECT_EQ(toVector(little.colors), toVector(big.colors));
    EXPECT_EQ(models[0].properties, models[1].properties);
    EXPECT_EQ(toVector(little.indices), (Indices{0, 1, 2, 0, 1, 2, 2, 3, 0, 3, 4, 0, 4, 3, 2, 2, 1, 4}));
    EXPECT_EQ(little.vertices[3], (Vector3{4.5f, -0.75f, 1.0f}));
    EXPECT_EQ(little.colors[4], 0xFFA00030u) << "red 160, blue 304 keeps its low byte";
}

// Per-vertex colours of an object with as many vertices as corners would be
// read as per-corner colours; they are stored per corner instead.
TEST(PlyReader, KeepsVertexColoursWhenVertexAndCornerCountsMatch)
{
    TempDir dir;
    Model model;
    const PlyReadResult read = readPlyBytes(
        dir,
        asciiPly("element vertex 3\nproperty float x\nproperty float y\nproperty float z\nproperty uchar blue\n"
                 "element face 1\nproperty list uchar int vertex_indices\n",
                 "0 0 0 1\n1 0 0 2\n0 1 0 3\n3 2 0 1\n"),
        model);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    const ModelObject& object = *model.objects[0];
    for (std::uint32_t corner = 0; corner < 3; ++corner)
        EXPECT_EQ(object.cornerColor(corner), 0xFF000000u + object.indices[corner] + 1) << corner;
}

TEST(PlyReader, ReportsStatusLoadStateAndStopsWhereAsked)
{
    TempDir dir;
    const std::string text =
        asciiPly(std::string(fourVertices) + "element face 1\nproperty list uchar int vertex_indices\n",
                 std::string(fourPoints) + "3 0 1 2\n");
    // One check after the format line, one per further header line before
    // end_header (6), one per body line (5).
    constexpr std::uint64_t checks = 12;
    {
        RecordingReporter reporter;
        Model model;
        ASSERT_EQ(readPlyBytes(dir, text, model, &reporter).result, OperationResult::Success);
        EXPECT_EQ(reporter.cancelChecks(), checks);
        ASSERT_GE(reporter.statuses.size(), 2u);
        EXPECT_EQ(reporter.statuses[0].text, "Loading header...");
        EXPECT_EQ(reporter.statuses[0].line, 1);
        EXPECT_EQ(reporter.lastStatus(1), "Loading data...");
        EXPECT_EQ(reporter.indeterminateBegins, 1);
        EXPECT_EQ(reporter.indeterminateEnds, 1);
    }
    for (std::uint64_t stopAt = 1; stopAt <= checks; ++stopAt) {
        SCOPED_TRACE(stopAt);
        RecordingReporter reporter;
        reporter.cancelAfterChecks(stopAt);
        Model model;
        EXPECT_EQ(readPlyBytes(dir, text, model, &reporter).result, OperationResult::Cancelled);
        EXPECT_EQ(reporter.cancelChecks(), stopAt);
    }

    // Binary bodies ask once per record.
    BinaryPlyBuilder binary(false);
    binary.line("element vertex 3").line("property float x").line("element face 2");
    binary.line("property list uchar int vertex_indices");
    binary.put(1.0f).put(2.0f).put(3.0f);
    for (int f = 0; f < 2; ++f)
        binary.put<std::uint8_t>(3).put<std::int32_t>(0).put<std::int32_t>(1).put<std::int32_t>(2);
    RecordingReporter reporter;
    Model model;
    ASSERT_EQ(readPlyBytes(dir, binary.bytes(), model, &reporter).result, OperationResult::Success);
    EXPECT_EQ(reporter.cancelChecks(), 1u + 4u + 5u);

    // A failed read says where it stopped: the line of an ASCII file
    // (header lines included), the byte offset of a binary one.
    BinaryPlyBuilder shortFace(false);
    shortFace.line("element vertex 3").line("property float x").line("element face 1");
    shortFace.line("property list uchar int vertex_indices");
    // Four corners announced, three there: the list runs past the end.
    shortFace.put(1.0f).put(2.0f).put(3.0f).put<std::uint8_t>(4);
    shortFace.put<std::int32_t>(0).put<std::int32_t>(1).put<std::int32_t>(2);
    const std::string shortFaceBytes = shortFace.bytes();
    struct StateCase {
        std::string bytes;
        std::string described;
    };
    const StateCase states[] = {
        {"ply\nformat ascii 1.0\nelement vertex 1\n", "line 3: header has no end_header line"},
        {"ply\nformat ascii 1.0\nelement vertex -1\nend_header\n", "line 3: negative element count"},
        {asciiPly(fourVertices, "0.0 0.0 0.0\n1.0 0.0 0.0\n2.0 0.0 0.0\n"),
         "line 11: file is truncated: fewer records than declared"},
        {asciiPly(fourVertices, "0 0 0\r\n1 0 0\r\n1 y 0\n0 1 0\n"), "line 10: vertex coordinate is not a number"},
        {shortFaceBytes, "byte " + std::to_string(shortFaceBytes.size() - 12) + ": file is truncated"},
    };
    for (const StateCase& state : states) {
        Model failed;
        const PlyReadResult read = readPlyBytes(dir, state.bytes, failed);
        EXPECT_EQ(read.result, OperationResult::Failure);
        EXPECT_EQ(read.failure.kind, FailureKind::Malformed);
        EXPECT_EQ(describeFailure(read.failure), state.described);
    }
    RecordingReporter missingReporter;
    Failure failure;
    Model missing;
    EXPECT_EQ(ply::readPly(dir / "absent.ply", missing, missingReporter, &failure), OperationResult::Failure);
    EXPECT_EQ(failure.kind, FailureKind::Unreadable);
    EXPECT_FALSE(failure.message.empty());
    EXPECT_EQ(missingReporter.indeterminateBegins, missingReporter.indeterminateEnds);
}

TEST(PlyReader, RefusesArraysBeyondAvailableMemory)
{
    TempDir dir;
    // Enough bytes for the counts, but the memory guard refuses the arrays.
    BinaryPlyBuilder b(false);
    b.line("element vertex 200000").line("property float x").line("property float y").line("property float z");
    for (int v = 0; v < 200000 * 3; ++v)
        b.put(0.0f);
    setAvailableMemoryOverride(1'000'000);
    Model model;
    const PlyReadResult read = readPlyBytes(dir, b.bytes(), model);
    setAvailableMemoryOverride(0);
    EXPECT_EQ(read.result, OperationResult::Failure);
    EXPECT_EQ(read.failure.message, "out of memory");
    EXPECT_EQ(read.failure.kind, FailureKind::OutOfMemory);
}

// Whatever a damaged file gives, a model that reads successfully never lets a
// later step read outside its arrays.
void expectConsistent(const Model& model)
{
    ASSERT_EQ(model.objects.size(), 1u);
    const ModelObject& object = *model.objects[0];
    EXPECT_EQ(object.indices.count() % 3, 0u);
    for (const std::uint32_t index : object.indices)
        ASSERT_LT(index, object.vertices.count());
    if (!object.colors.empty()) {
        EXPECT_TRUE(object.colors.count() == object.vertices.count() ||
                    object.colors.count() == object.indices.count());
    }
}

TEST(PlyReader, SurvivesTruncatedAndDamagedFiles)
{
    BinaryPlyBuilder binary(false);
    binary.line("element vertex 4").line("property float x").line("property float y").line("property float z");
    binary.line("property uchar red").line("element face 2").line("property list uchar int vertex_indices");
    binary.line("property list uchar float texcoord").line("property uchar alpha");
    for (int v = 0; v < 4; ++v)
        binary.put(static_cast<float>(v & 1)).put(static_cast<float>(v >> 1)).put(0.0f).put<std::uint8_t>(50);
    binary.put<std::uint8_t>(4).put<std::int32_t>(0).put<std::int32_t>(1).put<std::int32_t>(3).put<std::int32_t>(2);
    binary.put<std::uint8_t>(2).put(0.5f).put(0.5f).put<std::uint8_t>(9);
    binary.put<std::uint8_t>(3).put<std::int32_t>(3).put<std::int32_t>(1).put<std::int32_t>(0);
    binary.put<std::uint8_t>(0).put<std::uint8_t>(7);
    const std::string ascii =
        asciiPly("comment sample\nelement vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
                 "property uchar red\nelement face 2\nproperty list uchar int vertex_indices\nproperty uchar alpha\n"
                 "element edge 1\nproperty int vertex1\n",
                 "0 0 0 50\n1 0 0 50\n0 1 0 50\n1 1 0 50\n4 0 1 3 2 9\n3 3 1 0 7\n0\n");

    TempDir dir;
    std::mt19937 random(7);
    for (const std::string& original : {binary.bytes(), ascii}) {
        Model whole;
        ASSERT_EQ(readPlyBytes(dir, original, whole).result, OperationResult::Success);
        for (std::size_t length = 0; length < original.size(); ++length) {
            Model model;
            const PlyReadResult read = readPlyBytes(dir, original.substr(0, length), model);
            ASSERT_NE(read.result, OperationResult::Cancelled);
            if (read.result == OperationResult::Success)
                expectConsistent(model);
        }
        for (int trial = 0; trial < 600; ++trial) {
            std::string damaged = original;
            for (int flips = 1 + trial % 3; flips > 0; --flips)
                damaged[random() % damaged.size()] = static_cast<char>(random() % 256);
            Model model;
            const PlyReadResult read = readPlyBytes(dir, damaged, model);
            ASSERT_NE(read.result, OperationResult::Cancelled);
            if (read.result == OperationResult::Success)
                expectConsistent(model);
        }
    }
}

} // namespace
} // namespace morvex::testing
