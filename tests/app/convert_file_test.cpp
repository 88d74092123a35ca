#include "app/model_io.h"
#include "app/pipeline.h"
#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "formats/format_table.h"
#include "support/text/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <vector>

using namespace morvex;
using namespace morvex::testing;
namespace fs = std::filesystem;

namespace {

// A unit cube as ASCII STL, its first facet stored twice (the second time
// with its corners rotated).
std::string cubeWithRepeatedFacet()
{
    const float corners[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                                 {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
    const int faces[13][3] = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4}, {1, 2, 6},
                              {1, 6, 5}, {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}, {2, 1, 0}};
    std::string text = "solid cube\n";
    for (const auto& face : faces) {
        text += " facet normal 0 0 0\n  outer loop\n";
        for (int corner : face)
            text += "   vertex " + std::to_string(corners[corner][0]) + " " + std::to_string(corners[corner][1]) + " " +
                    std::to_string(corners[corner][2]) + "\n";
        text += "  endloop\n endfacet\n";
    }
    return text + "endsolid cube\n";
}

ConversionSettings settingsFor(FormatKind kind, const char* extension)
{
    ConversionSettings settings;
    settings.outputExtension = extension;
    settings.outputKind = kind;
    return settings;
}

struct Counts {
    std::uint32_t objects = 0, vertices = 0, triangles = 0;
};

Counts readBack(const fs::path& path)
{
    Model model;
    RecordingReporter reporter;
    Failure failure;
    EXPECT_EQ(readModel(reporter, model, path, &failure), OperationResult::Success)
        << path << ": " << describeFailure(failure);
    Counts counts;
    for (const auto& object : model.objects) {
        ++counts.objects;
        counts.vertices += object->vertices.count();
        counts.triangles += object->triangleCount();
    }
    return counts;
}

std::vector<fs::path> entries(const fs::path& folder)
{
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(ConvertFile, StlRoundTripsWithEffects)
{
    TempDir dir;
    writeFile(dir / "cube.stl", cubeWithRepeatedFacet());
    struct Case {
        const char* name;
        FormatKind kind;
        bool removeDuplicates;
        std::uint32_t triangles;
    };
    const Case cases[] = {
        {"binary, as read", FormatKind::StlBinary, false, 13},
        {"binary, duplicates removed", FormatKind::StlBinary, true, 12},
        {"ASCII, duplicates removed", FormatKind::StlAscii, true, 12},
    };
    for (const Case& c : cases) {
        ConversionSettings settings = settingsFor(c.kind, "stl");
        settings.overwriteDecision = OverwriteDecision::Overwrite; // each case writes the same output
        settings.removeDuplicatesOn = c.removeDuplicates;
        settings.customTransformOn = true;
        settings.customMatrix = composeTransform({0, 0, 0}, {2, 2, 2}, Matrix4::identity(), {10, 0, 0});
        const fs::path output = dir / "out" / "cube.stl";
        fs::create_directories(output.parent_path());
        RecordingReporter reporter;
        Failure failure;
        ASSERT_EQ(convertFile(dir / "cube.stl", output, settings, reporter, &failure), ConversionStatus::Success)
            << c.name << ": " << describeFailure(failure);
        EXPECT_DOUBLE_EQ(reporter.progress.back(), 1.0) << c.name;
        const Counts counts = readBack(output);
        EXPECT_EQ(counts.triangles, c.triangles) << c.name;
        EXPECT_EQ(counts.vertices, 8u) << c.name;
        Model model;
        ASSERT_EQ(readModel(reporter, model, output), OperationResult::Success);
        for (const Vector3& v : model.objects.front()->vertices) {
            EXPECT_TRUE(v.x == 10 || v.x == 12) << c.name; // scaled by 2, moved by 10
            EXPECT_TRUE(v.z == 0 || v.z == 2) << c.name;
        }
        EXPECT_EQ(entries(output.parent_path()), (std::vector<fs::path>{"cube.stl"})) << c.name;
    }
}

// A source that reads as no object at all is nothing to convert: "Read
// failed" and no output. An object without triangles (a solid without
// facets) is still a model, written as a valid empty file.
TEST(ConvertFile, NothingToConvertFailsButEmptyObjectsGiveValidEmptyFiles)
{
    TempDir dir;
    writeFile(dir / "nothing.obj", "# no faces at all\n"); // reads as a model without objects
    writeFile(dir / "void.obj", "");
    writeFile(dir / "empty.stl", std::string(84, '\0')); // binary STL with no facets: one empty object
    struct Case {
        FormatKind kind;
        const char* extension;
        bool readableHere; // our ASCII STL reader wants at least one facet
    };
    const Case cases[] = {
        {FormatKind::StlBinary, "stl", true}, {FormatKind::StlAscii, "stl", false},
        {FormatKind::Obj, "obj", true},       {FormatKind::Ply, "ply", true},
        {FormatKind::ThreeMf, "3mf", true},   {FormatKind::Document3dp, "3dp", true},
    };
    for (const Case& c : cases) {
        const fs::path output = dir / "out" / (std::string("result.") + c.extension);
        fs::create_directories(output.parent_path());
        for (const char* source : {"nothing.obj", "void.obj"}) {
            RecordingReporter reporter;
            Failure failure;
            EXPECT_EQ(convertFile(dir / source, output, settingsFor(c.kind, c.extension), reporter, &failure),
                      ConversionStatus::ReadFailed)
                << source << " to " << int(c.kind);
            EXPECT_EQ(failure.message, "the file holds no model");
            EXPECT_TRUE(entries(output.parent_path()).empty()) << source << " to " << int(c.kind);
        }

        RecordingReporter reporter;
        Failure failure;
        ASSERT_EQ(convertFile(dir / "empty.stl", output, settingsFor(c.kind, c.extension), reporter, &failure),
                  ConversionStatus::Success)
            << int(c.kind) << ": " << describeFailure(failure);
        if (c.kind == FormatKind::ThreeMf || c.kind == FormatKind::Document3dp) {
            EXPECT_TRUE(fs::is_regular_file(output));
        } else if (c.readableHere) {
            EXPECT_EQ(readBack(output).triangles, 0u) << int(c.kind);
        } else {
            const std::string text = readFile(output);
            EXPECT_EQ(text.rfind("solid", 0), 0u) << text;
            EXPECT_NE(text.find("endsolid"), std::string::npos) << text;
        }
        fs::remove_all(output.parent_path());
    }
}

// Vertices without faces are points: formats that hold points keep them,
// formats that hold only triangles refuse the file instead of inventing
// triangles or writing an empty one.
TEST(ConvertFile, PointCloudsStayPoints)
{
    TempDir dir;
    std::string cloud = "ply\nformat ascii 1.0\nelement vertex 7\nproperty float x\nproperty float y\n"
                        "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
                        "end_header\n";
    for (int i = 0; i < 7; ++i)
        cloud += std::to_string(i) + " " + std::to_string(i * i) + " -1 " + std::to_string(30 * i) + " 0 255\n";
    writeFile(dir / "cloud.ply", cloud);
    struct Case {
        FormatKind kind;
        const char* extension;
        bool keepsPoints;
    };
    const Case cases[] = {
        {FormatKind::Ply, "ply", true},         {FormatKind::Obj, "obj", true},
        {FormatKind::Document3dp, "3dp", true}, {FormatKind::StlBinary, "stl", false},
        {FormatKind::StlAscii, "stl", false},   {FormatKind::ThreeMf, "3mf", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extension);
        const fs::path output = dir / "out" / (std::string("cloud.") + c.extension);
        fs::create_directories(output.parent_path());
        RecordingReporter reporter;
        Failure failure;
        const ConversionStatus status =
            convertFile(dir / "cloud.ply", output, settingsFor(c.kind, c.extension), reporter, &failure);
        if (!c.keepsPoints) {
            EXPECT_EQ(status, ConversionStatus::SaveFailed);
            EXPECT_EQ(failure.message, "the model has no faces");
            EXPECT_TRUE(entries(output.parent_path()).empty());
            continue;
        }
        ASSERT_EQ(status, ConversionStatus::Success) << describeFailure(failure);
        if (c.kind == FormatKind::Obj) {
            const std::string text = readFile(output);
            EXPECT_NE(text.find("p 1\r\np 2\r\np 3\r\np 4\r\np 5\r\np 6\r\np 7\r\n"), std::string::npos) << text;
            EXPECT_EQ(text.find("f "), std::string::npos) << text;
            EXPECT_NE(text.find("v 6 -1 -36 0.706 0 1\r\n"), std::string::npos) << text; // Z up turned to Y up
        } else {
            Model back;
            ASSERT_EQ(readModel(reporter, back, output, &failure), OperationResult::Success)
                << describeFailure(failure);
            ASSERT_EQ(back.objects.size(), 1u);
            const ModelObject& points = *back.objects[0];
            EXPECT_EQ(points.vertices.count(), 7u);
            EXPECT_EQ(points.triangleCount(), 0u);
            if (c.kind == FormatKind::Ply) {
                ASSERT_EQ(points.colors.count(), 7u);
                EXPECT_EQ(points.colors[6], 0xFFB400FFu);
                EXPECT_EQ(points.vertices[6], (Vector3{6, 36, -1}));
            }
        }
        fs::remove_all(output.parent_path());
    }
}

TEST(ConvertFile, CancellationAtAnyPointLeavesTheOutputNameAlone)
{
    // STL is written straight through a temporary file, OBJ through a staging folder.
    for (const auto& [kind, extension] : {std::pair{FormatKind::StlBinary, "stl"}, std::pair{FormatKind::Obj, "obj"}}) {
        TempDir dir;
        writeFile(dir / "cube.stl", cubeWithRepeatedFacet());
        const fs::path output = dir / (std::string("out.") + extension);
        writeFile(output, "previous output");
        ConversionSettings settings = settingsFor(kind, extension);
        settings.removeDuplicatesOn = true;
        settings.recalculateNormalsOn = true;
        settings.customTransformOn = true;
        RecordingReporter counting;
        const fs::path other = dir / "other" / output.filename();
        fs::create_directories(other.parent_path());
        ASSERT_EQ(convertFile(dir / "cube.stl", other, settings, counting), ConversionStatus::Success);
        const std::uint64_t checks = counting.cancelChecks();
        ASSERT_GT(checks, 5u);
        const std::vector<fs::path> before = entries(dir.path());
        for (std::uint64_t stopAt = 1; stopAt <= checks; ++stopAt) {
            RecordingReporter reporter;
            reporter.cancelAfterChecks(stopAt);
            EXPECT_EQ(convertFile(dir / "cube.stl", output, settings, reporter), ConversionStatus::Cancelled)
                << extension << " " << stopAt;
            EXPECT_EQ(readFile(output), "previous output") << extension << " " << stopAt;
            EXPECT_EQ(entries(dir.path()), before) << extension << " " << stopAt;
        }
    }
}

TEST(ConvertFile, SaveFailuresLeaveNothingBehind)
{
    TempDir dir;
    writeFile(dir / "cube.stl", cubeWithRepeatedFacet());
    writeFile(dir / "out.xyz", "previous output");
    struct Case {
        const char* name;
        fs::path output;
        FormatKind kind;
        OverwriteDecision decision;
        ConversionStatus status;
        const char* reasonPart;
    };
    constexpr auto Free = OverwriteDecision::None;
    constexpr auto Overwrite = OverwriteDecision::Overwrite;
    constexpr auto Failed = ConversionStatus::SaveFailed;
    const Case cases[] = {
        {"no writer for the kind", dir / "out.xyz", FormatKind::Unknown, Free, Failed, "no writer"},
        {"folder missing", dir / "missing" / "out.stl", FormatKind::StlBinary, Free, Failed,
         "cannot write into the output folder"},
        {"OBJ folder missing", dir / "missing" / "out.obj", FormatKind::Obj, Free, Failed,
         "cannot write into the output folder"},
        // A name taken by a folder is left alone; even replacing cannot
        // put a file where a folder is.
        {"name taken by a folder", dir / "taken.stl", FormatKind::StlBinary, Free, ConversionStatus::OutputNameTaken,
         "File exists"},
        {"OBJ name taken by a folder", dir / "taken.obj", FormatKind::Obj, Free, ConversionStatus::OutputNameTaken,
         "File exists"},
        {"replacing a folder", dir / "taken.stl", FormatKind::StlBinary, Overwrite, Failed, "cannot move taken.stl"},
        {"replacing a folder with an OBJ", dir / "taken.obj", FormatKind::Obj, Overwrite, Failed,
         "cannot move taken.obj"},
    };
    fs::create_directories(dir / "taken.stl");
    fs::create_directories(dir / "taken.obj");
    for (const Case& c : cases) {
        RecordingReporter reporter;
        Failure failure;
        ConversionSettings settings = settingsFor(c.kind, "stl");
        settings.overwriteDecision = c.decision;
        EXPECT_EQ(convertFile(dir / "cube.stl", c.output, settings, reporter, &failure), c.status) << c.name;
        EXPECT_NE(failure.message.find(c.reasonPart), std::string::npos) << c.name << ": " << describeFailure(failure);
    }
    EXPECT_EQ(readFile(dir / "out.xyz"), "previous output");
    EXPECT_EQ(entries(dir.path()), (std::vector<fs::path>{"cube.stl", "out.xyz", "taken.obj", "taken.stl"}));
    EXPECT_TRUE(fs::is_empty(dir / "taken.stl"));
    EXPECT_TRUE(fs::is_empty(dir / "taken.obj"));
}

TEST(ConvertFile, CorpusStlWithDuplicatesRemovedReadsInAPeer)
{
    MORVEX_REQUIRE_CORPUS();
    TempDir dir;
    int converted = 0;
    for (const auto& entry : fs::directory_iterator(corpusDir() / "stl")) {
        const fs::path source = entry.path();
        const fs::path output = dir / (source.stem().string() + ".stl");
        ConversionSettings settings = settingsFor(FormatKind::StlBinary, "stl");
        settings.removeDuplicatesOn = true;
        RecordingReporter reporter;
        Failure failure;
        const ConversionStatus status = convertFile(source, output, settings, reporter, &failure);
        if (source.filename() == "openscad__empty.stl") {
            EXPECT_EQ(status, ConversionStatus::ReadFailed);
            EXPECT_FALSE(fs::exists(output));
            continue;
        }
        ASSERT_EQ(status, ConversionStatus::Success) << source << ": " << describeFailure(failure);
        const Counts before = readBack(source);
        const Counts after = readBack(output);
        EXPECT_LE(after.vertices, before.vertices) << source;
        EXPECT_LE(after.triangles, before.triangles) << source;
        std::string info; // the peer refuses files without facets
        if (after.triangles > 0) {
            EXPECT_EQ(runCommand("assimp info " + shellQuote(output.string()) + " 2>&1", &info), 0) << source << info;
        }
        ++converted;
    }
    EXPECT_GE(converted, 10);
}

TEST(ConvertFile, ObjAttributesAndCompanionFilesSurviveDuplicateRemoval)
{
    TempDir dir;
    fs::create_directories(dir / "in");
    // The first triangle twice, then the other half of the quad; each
    // texture coordinate equals its corner's x and y.
    writeFile(dir / "in" / "model.obj", "mtllib model.mtl\n"
                                        "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
                                        "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
                                        "usemtl wood\n"
                                        "f 1/1 2/2 3/3\nf 2/2 3/3 1/1\nf 3/3 4/4 1/1\n");
    writeFile(dir / "in" / "model.mtl", "newmtl wood\nKd 0.8 0.4 0.2\nmap_Kd wood.png\n");
    writeFile(dir / "in" / "wood.png", "not really a picture");
    fs::create_directories(dir / "out");

    ConversionSettings settings = settingsFor(FormatKind::Obj, "obj");
    settings.removeDuplicatesOn = true;
    RecordingReporter reporter;
    Failure failure;
    ASSERT_EQ(convertFile(dir / "in" / "model.obj", dir / "out" / "model.obj", settings, reporter, &failure),
              ConversionStatus::Success)
        << describeFailure(failure);
    EXPECT_EQ(entries(dir / "out"), (std::vector<fs::path>{"Textures", "model.mtl", "model.obj"}));
    EXPECT_EQ(readFile(dir / "out" / "Textures" / "wood.png"), "not really a picture");

    Model model;
    ASSERT_EQ(readModel(reporter, model, dir / "out" / "model.obj"), OperationResult::Success);
    std::uint32_t triangles = 0;
    for (const auto& object : model.objects) {
        triangles += object->triangleCount();
        ASSERT_EQ(object->texCoords.count(), object->indices.count());
        for (std::uint32_t k = 0; k < object->indices.count(); ++k) {
            const Vector3& p = object->vertices[object->indices[k]];
            EXPECT_EQ(object->texCoords[k], (TexCoord{p.x, p.y})) << "corner " << k;
        }
    }
    EXPECT_EQ(triangles, 2u);
}

// An effect that overflows a coordinate gives no file that no reader takes
// back: the conversion fails with the reason, and the output name stays free.
TEST(ConvertFile, CoordinatesThatAreNoNumbersAreNotWritten)
{
    TempDir dir;
    writeFile(dir / "cube.stl", cubeWithRepeatedFacet());
    // (3DP keeps the placement apart from the vertices, each a finite number.)
    for (const char* format : {"stl", "obj", "ply", "3mf"}) {
        ConversionSettings settings = settingsFor(outputFormatNamed(format)->profile.kind, format);
        settings.customTransformOn = true;
        settings.customMatrix = composeTransform({0, 0, 0}, {1e38f, 1e38f, 1e38f}, Matrix4::identity(), {3e38f, 0, 0});
        RecordingReporter reporter;
        Failure failure;
        const fs::path output = dir / (std::string("out.") + format);
        EXPECT_EQ(convertFile(dir / "cube.stl", output, settings, reporter, &failure), ConversionStatus::SaveFailed)
            << format;
        EXPECT_NE(failure.message.find("not finite"), std::string::npos) << format << ": " << failure.message;
        EXPECT_FALSE(fs::exists(output)) << format;
    }
}
