#include "formats/ply/ply_test_support.h"

#include "app/model_io.h"
#include "common/cli_convert.h"
#include "common/test_models.h"

#include <cmath>

namespace morvex::testing {
namespace {

OperationResult writeAndRead(const TempDir& dir, const Model& model, std::string& bytes, Failure* failure = nullptr)
{
    RecordingReporter reporter;
    const auto path = dir / "out.ply";
    const OperationResult result = ply::writePly(path, model, reporter, failure);
    bytes = readFile(path);
    return result;
}

// The body after "end_header\n".
std::string bodyOf(const std::string& bytes)
{
    const std::size_t end = bytes.find("end_header\n");
    return end == std::string::npos ? std::string() : bytes.substr(end + 11);
}

template <typename T>
T at(const std::string& body, std::size_t offset)
{
    T value;
    std::memcpy(&value, body.data() + offset, sizeof value);
    return value;
}

TEST(PlyWriter, WritesHeaderCommentsAndTriangles)
{
    Model model;
    model.properties.setProperty("ModelName", "Bracket");
    model.properties.setProperty("3DPszFilePath", "/tmp/a.3dp");
    model.properties.setProperty("Model:unit", "mm");
    model.properties.setProperty("3DPbHaveChanges", "1");
    model.properties.setProperty("Comment1", "two\r\nlines");
    // A trailing index belongs to no triangle; a triangle naming a vertex
    // the object does not have is left out.
    addMesh(model, {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 2, 3, 0, 0, 1, 9, 1});
    addMesh(model, {{5, 5, 5}, {6, 5, 5}, {6, 6, 5}}, {0, 1, 2, 2, 1, 3});

    TempDir dir;
    std::string bytes;
    Failure failure;
    ASSERT_EQ(writeAndRead(dir, model, bytes, &failure), OperationResult::Success) << describeFailure(failure);
    const std::string header = "ply\nformat binary_little_endian 1.0\ncomment two  lines\ncomment Bracket\n"
                               "element vertex 7\nproperty float x\nproperty float y\nproperty float z\n"
                               "element face 3\nproperty list uchar int vertex_indices\nend_header\n";
    ASSERT_EQ(bytes.substr(0, header.size()), header);
    const std::string body = bodyOf(bytes);
    ASSERT_EQ(body.size(), 7u * 12 + 3u * 13);
    EXPECT_EQ(at<float>(body, 4 * 12 + 0), 5.0f);
    const std::size_t faces = 7 * 12;
    const std::int32_t expected[3][3] = {{0, 1, 2}, {2, 3, 0}, {4, 5, 6}};
    for (int t = 0; t < 3; ++t) {
        EXPECT_EQ(body[faces + 13 * t], 3);
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(at<std::int32_t>(body, faces + 13 * t + 1 + 4 * k), expected[t][k]) << t << " " << k;
    }
}

struct VertexRecord {
    Vector3 point;
    std::uint8_t rgba[4];
};

std::vector<VertexRecord> coloredVertices(const std::string& body, std::size_t count)
{
    std::vector<VertexRecord> records(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(&records[i].point, body.data() + 16 * i, 12);
        std::memcpy(records[i].rgba, body.data() + 16 * i + 12, 4);
    }
    return records;
}

TEST(PlyWriter, ColoursVerticesOfColourlessObjectsWithTheDefault)
{
    Model model;
    // No colours; its fourth vertex is used by no triangle.
    addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {9, 9, 9}}, {0, 1, 2});
    // Colours per vertex; the last vertex is unused but keeps its colour.
    addMesh(model, {{0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {8, 8, 8}}, {2, 1, 0},
            {0xFF102030, 0x80405060, 0xFF708090, 0xFFA0B0C0});

    TempDir dir;
    std::string bytes;
    ASSERT_EQ(writeAndRead(dir, model, bytes), OperationResult::Success);
    EXPECT_NE(bytes.find("property uchar red\nproperty uchar green\nproperty uchar blue\nproperty uchar alpha\n"
                         "element face 2\n"),
              std::string::npos);
    const std::vector<VertexRecord> records = coloredVertices(bodyOf(bytes), 8);
    const std::uint8_t expected[8][4] = {
        {200, 200, 200, 255},     {200, 200, 200, 255},     {200, 200, 200, 255},     {0, 0, 0, 255},
        {0x10, 0x20, 0x30, 0xFF}, {0x40, 0x50, 0x60, 0x80}, {0x70, 0x80, 0x90, 0xFF}, {0xA0, 0xB0, 0xC0, 0xFF},
    };
    for (int v = 0; v < 8; ++v)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(records[v].rgba[c], expected[v][c]) << "vertex " << v << " channel " << c;
    const std::string body = bodyOf(bytes);
    EXPECT_EQ(at<std::int32_t>(body, 8 * 16 + 13 + 1), 6) << "second object's corners follow the first's vertices";
}

TEST(PlyWriter, ColoursFacesByTheirFirstCorner)
{
    Model model;
    addMesh(model, {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {0, 1, 2, 2, 3, 0},
            {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0x7F123456, 0xFF000000, 0xFF000000});
    TempDir dir;
    std::string bytes;
    ASSERT_EQ(writeAndRead(dir, model, bytes), OperationResult::Success);
    EXPECT_NE(bytes.find("element vertex 4\nproperty float x\nproperty float y\nproperty float z\nelement face 2\n"
                         "property list uchar int vertex_indices\nproperty uchar red\n"),
              std::string::npos);
    const std::string body = bodyOf(bytes);
    ASSERT_EQ(body.size(), 4u * 12 + 2u * 17);
    EXPECT_EQ(body.substr(48 + 13, 4), std::string("\x00\x00\xff\xff", 4));
    EXPECT_EQ(body.substr(48 + 17 + 13, 4), std::string("\x12\x34\x56\x7f", 4));

    // Read back, the colours are per corner again, one per triangle.
    Model back;
    const PlyReadResult read = readPlyBytes(dir, bytes, back);
    ASSERT_EQ(read.result, OperationResult::Success) << describeFailure(read.failure);
    EXPECT_EQ(toVector(back.objects[0]->colors),
              (std::vector<ArgbColor>{0xFF0000FF, 0xFF0000FF, 0xFF0000FF, 0x7F123456, 0x7F123456, 0x7F123456}));
}

TEST(PlyWriter, AppliesPlacementToVertices)
{
    Model model;
    ModelObject& object = addMesh(model, {{1, 0, 0}, {0, 0, 0}, {0, 1, 0}}, {0, 1, 2});
    object.scale = {2, 1, 1};
    object.rotation = {0, 0, 90};
    object.position = {0, 0, 5};
    TempDir dir;
    std::string bytes;
    ASSERT_EQ(writeAndRead(dir, model, bytes), OperationResult::Success);
    Model back;
    ASSERT_EQ(readPlyBytes(dir, bytes, back).result, OperationResult::Success);
    const Vector3 moved = back.objects[0]->vertices[0];
    EXPECT_NEAR(moved.x, 0.0f, 1e-6);
    EXPECT_NEAR(moved.y, 2.0f, 1e-6);
    EXPECT_NEAR(moved.z, 5.0f, 1e-6);
    EXPECT_EQ(back.objects[0]->vertices[1], (Vector3{0, 0, 5}));
}

// Comments come back in the order of their keys: Comment10 to Comment12 sort
// right after Comment1.
TEST(PlyWriter, RoundTripKeepsGeometryAndOrdersCommentsByKey)
{
    std::string text = "ply\nformat ascii 1.0\n";
    for (int i = 1; i <= 12; ++i)
        text += "comment note " + std::to_string(i) + "\n";
    text += "element vertex 5\nproperty float x\nproperty float y\nproperty float z\nproperty uchar red\n"
            "element face 2\nproperty list uchar int vertex_indices\nend_header\n"
            "0 0 0 1\n1 0 0 2\n1 1 0 3\n0 1 0 4\n0.5 2 -1.25 5\n5 0 1 2 3 4\n3 4 3 2\n";
    TempDir dir;
    Model first;
    ASSERT_EQ(readPlyBytes(dir, text, first).result, OperationResult::Success);
    std::string bytes;
    ASSERT_EQ(writeAndRead(dir, first, bytes), OperationResult::Success);
    Model second;
    ASSERT_EQ(readPlyBytes(dir, bytes, second).result, OperationResult::Success);

    const int order[12] = {1, 10, 11, 12, 2, 3, 4, 5, 6, 7, 8, 9};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(second.properties.getProperty("Comment" + std::to_string(i + 1)), "note " + std::to_string(order[i]));
    const ModelObject& a = *first.objects[0];
    const ModelObject& b = *second.objects[0];
    EXPECT_EQ(toVector(a.vertices), toVector(b.vertices));
    EXPECT_EQ(toVector(a.indices), toVector(b.indices));
    EXPECT_EQ(toVector(a.colors), toVector(b.colors));
    EXPECT_EQ(b.colors.count(), 5u);
}

TEST(PlyWriter, ReportsProgressAndLeavesNothingWhenStoppedOrFailing)
{
    Model model;
    std::vector<Vector3> vertices;
    std::vector<std::uint32_t> indices;
    for (std::uint32_t i = 0; i < 1000; ++i) {
        vertices.push_back({static_cast<float>(i), 0, 0});
        indices.insert(indices.end(), {i, (i + 1) % 1000, (i + 2) % 1000});
    }
    addMesh(model, vertices, indices);
    TempDir dir;
    const auto path = dir / "out.ply";
    {
        RecordingReporter reporter;
        ASSERT_EQ(ply::writePly(path, model, reporter), OperationResult::Success);
        std::vector<std::string> texts;
        for (const auto& status : reporter.statuses) {
            EXPECT_EQ(status.line, 0);
            texts.push_back(status.text);
        }
        EXPECT_EQ(texts,
                  (std::vector<std::string>{"Writing file header...", "Writing properties...", "Arranging data...",
                                            "Writing vertices...", "Writing triangles..."}));
        ASSERT_FALSE(reporter.progress.empty());
        EXPECT_EQ(reporter.progress.back(), 1.0);
        EXPECT_TRUE(std::is_sorted(reporter.progress.begin() + 10, reporter.progress.end()));
        // Counting the triangles, then the vertices and the triangles, each
        // asked every 100.
        EXPECT_EQ(reporter.cancelChecks(), 30u);
    }
    std::filesystem::remove(path);
    for (const std::uint64_t stopAt : {1u, 12u, 25u}) {
        RecordingReporter reporter;
        reporter.cancelAfterChecks(stopAt);
        EXPECT_EQ(ply::writePly(path, model, reporter), OperationResult::Cancelled);
        EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "stopped at check " << stopAt;
    }
    RecordingReporter reporter;
    Failure failure;
    EXPECT_EQ(ply::writePly(dir / "missing-folder" / "out.ply", model, reporter, &failure), OperationResult::Failure);
    EXPECT_FALSE(failure.message.empty());
}

// The format table sends ".ply" and the "ply" output here.
TEST(PlyWriter, IsReachedThroughTheModelTables)
{
    Model model;
    addMesh(model, {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2});
    TempDir dir;
    RecordingReporter reporter;
    ASSERT_EQ(writeModel(reporter, dir / "a.PLY", model, *outputFormatNamed("ply")), OperationResult::Success);
    Model back;
    Failure failure;
    ASSERT_EQ(readModel(reporter, back, dir / "a.PLY", &failure), OperationResult::Success) << describeFailure(failure);
    EXPECT_EQ(back.objects[0]->triangleCount(), 1u);
}

// The command line converts PLY to PLY; a file it cannot read leaves nothing.
TEST(PlyWriter, CommandLineConvertsPly)
{
    TempDir dir;
    writeFile(dir / "quad.ply", "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
                                "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
                                "end_header\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n4 0 1 2 3\n");
    writeFile(dir / "bad.ply", "ply\nformat ascii 1.0\nelement vertex 4000000000\nproperty float x\nend_header\n");
    std::string output;
    EXPECT_EQ(convertWithCli(dir / "quad.ply", "ply", dir / "out", &output), 0) << output;
    Model back;
    RecordingReporter reporter;
    ASSERT_EQ(ply::readPly(dir / "out" / "quad.ply", back, reporter), OperationResult::Success);
    EXPECT_EQ(toVector(back.objects[0]->indices), (std::vector<std::uint32_t>{0, 1, 2, 2, 3, 0}));

    output.clear();
    EXPECT_EQ(convertWithCli(dir / "bad.ply", "ply", dir / "out", &output), 1);
    EXPECT_NE(output.find("Read failed: line 6: file is truncated"), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(dir / "out" / "bad.ply"));
}

// The number after "Label:" in the output of `assimp info`, or -1.
int assimpCount(const std::string& info, const std::string& label)
{
    const std::size_t at = info.find("\n" + label + ":");
    if (at == std::string::npos)
        return -1;
    return std::atoi(info.c_str() + at + label.size() + 2);
}

// What we write, another PLY reader reads with the same counts.
TEST(PlyWriter, AssimpReadsWhatWeWrite)
{
    if (runCommand("command -v assimp >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "assimp is not installed";
    for (const bool colored : {false, true}) {
        SCOPED_TRACE(colored ? "vertex colours" : "no colours");
        Model model;
        constexpr std::uint32_t side = 21;
        std::vector<Vector3> vertices;
        std::vector<std::uint32_t> indices;
        std::vector<ArgbColor> colors;
        for (std::uint32_t y = 0; y < side; ++y)
            for (std::uint32_t x = 0; x < side; ++x) {
                vertices.push_back({static_cast<float>(x), static_cast<float>(y), static_cast<float>((x * y) % 7)});
                colors.push_back(0xFF000000u | (x * 12) << 16 | (y * 12));
            }
        for (std::uint32_t y = 0; y + 1 < side; ++y)
            for (std::uint32_t x = 0; x + 1 < side; ++x) {
                const std::uint32_t v = y * side + x;
                indices.insert(indices.end(), {v, v + 1, v + side + 1, v, v + side + 1, v + side});
            }
        addMesh(model, vertices, indices, colored ? colors : std::vector<ArgbColor>{});
        TempDir dir;
        RecordingReporter reporter;
        ASSERT_EQ(ply::writePly(dir / "grid.ply", model, reporter), OperationResult::Success);
        std::string info;
        ASSERT_EQ(runCommand("assimp info " + shellQuote((dir / "grid.ply").string()) + " 2>&1", &info), 0) << info;
        EXPECT_EQ(assimpCount(info, "Vertices"), static_cast<int>(side * side)) << info;
        EXPECT_EQ(assimpCount(info, "Faces"), static_cast<int>(indices.size() / 3)) << info;
    }
}

} // namespace
} // namespace morvex::testing
