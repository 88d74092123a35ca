#include "app/model_io.h"
#include "app/pipeline.h"
#include "app/staged_output.h"
#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "external/external_converters.h"
#include "formats/format_table.h"
#include "support/platform/stale_temporaries.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <vector>

using namespace morvex;
using namespace morvex::testing;
namespace fs = std::filesystem;

namespace {

ModelObject& addTriangle(Model& model)
{
    ModelObject& object = *model.addObject();
    EXPECT_TRUE(object.vertices.allocate(3) && object.indices.allocate(3));
    object.vertices[0] = {1, 2, 3};
    object.vertices[1] = {4, 5, 6};
    object.vertices[2] = {7, 8, 10};
    for (std::uint32_t k = 0; k < 3; ++k)
        object.indices[k] = k;
    return object;
}

ConversionSettings settingsFor(const char* extension)
{
    ConversionSettings settings;
    settings.outputExtension = extension;
    settings.outputKind = profileForExtension(extension).kind;
    return settings;
}

// The steps between a source and an output named by their paths, with the
// formats of their extensions.
OperationResult applySteps(Model& model, const fs::path& source, const fs::path& output,
                           const ConversionSettings& settings, ProgressReporter& reporter)
{
    return applyConversionSteps(model, *formatForPath(source), *formatForPath(output), settings, reporter);
}

void expectNear(const Vector3& actual, const Vector3& expected, const std::string& label)
{
    EXPECT_NEAR(actual.x, expected.x, 1e-5f) << label;
    EXPECT_NEAR(actual.y, expected.y, 1e-5f) << label;
    EXPECT_NEAR(actual.z, expected.z, 1e-5f) << label;
}

std::vector<fs::path> folderEntries(const fs::path& folder)
{
    std::vector<fs::path> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        entries.push_back(fs::relative(entry.path(), folder));
    std::sort(entries.begin(), entries.end());
    return entries;
}

} // namespace

TEST(ConversionStatus, FixedTexts)
{
    EXPECT_STREQ(conversionStatusText(ConversionStatus::Ready), "");
    EXPECT_STREQ(conversionStatusText(ConversionStatus::Success), "Success");
    EXPECT_STREQ(conversionStatusText(ConversionStatus::Cancelled), "Cancelled");
    EXPECT_STREQ(conversionStatusText(ConversionStatus::ConvertedAndRenamed), "Converted and renamed");
    EXPECT_STREQ(conversionStatusText(ConversionStatus::ReadFailed), "Read failed");
    EXPECT_STREQ(conversionStatusText(ConversionStatus::SaveFailed), "Save failed");
    EXPECT_STREQ(conversionStatusText(ConversionStatus::CannotBeConverted),
                 "File cannot be converted, may not be supported or may be corrupted.");
    EXPECT_STREQ(conversionStatusText(static_cast<ConversionStatus>(12)), "");
    EXPECT_STREQ(conversionStatusText(static_cast<ConversionStatus>(15)), "");
}

TEST(ConversionSteps, StlToDocumentChain)
{
    // Z up, right-handed, counter-clockwise into Y up, left-handed,
    // counter-clockwise: turn 270 degrees about X, mirror x, turn every
    // triangle back over, and bake (STL keeps no placement).
    Model model;
    ModelObject& object = addTriangle(model);
    ConversionSettings settings = settingsFor("3dp");
    RecordingReporter reporter;
    ASSERT_EQ(applySteps(model, "in.stl", "out.3dp", settings, reporter), OperationResult::Success);
    EXPECT_EQ(model.profile.kind, FormatKind::StlBinary);
    EXPECT_EQ(model.profile.upAxis, UpAxis::Y);
    EXPECT_EQ(model.profile.handedness, Handedness::Left);
    EXPECT_EQ(model.profile.winding, Winding::CounterClockwise);
    EXPECT_EQ(object.rotation, (Vector3{0, 0, 0}));
    // (x, y, z) -> (-x, z, -y)
    expectNear(object.vertices[0], {-1, 3, -2}, "vertex 0");
    expectNear(object.vertices[1], {-4, 6, -5}, "vertex 1");
    EXPECT_EQ(std::vector<std::uint32_t>(object.indices.begin(), object.indices.end()),
              (std::vector<std::uint32_t>{0, 2, 1}));
    // The face still points the same way relative to the geometry: its
    // normal is the mirrored, turned normal of the original.
    const Vector3 before = faceNormal({1, 2, 3}, {4, 5, 6}, {7, 8, 10});
    const Vector3 after = faceNormal(object.vertices[0], object.vertices[2], object.vertices[1]);
    expectNear(after, {-before.x, before.z, -before.y}, "face normal");
}

TEST(ConversionSteps, RoundTripsBetweenConventionsAreExact)
{
    // Quarter turns, mirrors and corner swaps lose nothing, so going to a
    // format with other conventions and back gives the very same numbers.
    struct Case {
        const char* there;
        const char* back;
    };
    const Case cases[] = {{"a.3dp", "b.stl"}, {"a.obj", "b.stl"}, {"a.3ds", "b.stl"}, {"a.mqo", "b.ply"}};
    for (const Case& c : cases) {
        Model model;
        ModelObject& object = addTriangle(model);
        object.vertices[1] = {0.1f, -3.25f, 1e-3f};
        const std::vector<Vector3> before(object.vertices.begin(), object.vertices.end());
        const std::string source = std::string("in") + fs::path(c.back).extension().string();
        RecordingReporter reporter;
        ASSERT_EQ(applySteps(model, source, c.there, settingsFor(fs::path(c.there).extension().string().c_str()),
                             reporter),
                  OperationResult::Success);
        ASSERT_EQ(applySteps(model, c.there, c.back, settingsFor(fs::path(c.back).extension().string().c_str()),
                             reporter),
                  OperationResult::Success);
        EXPECT_EQ(std::vector<Vector3>(object.vertices.begin(), object.vertices.end()), before) << c.there;
        EXPECT_EQ(std::vector<std::uint32_t>(object.indices.begin(), object.indices.end()),
                  (std::vector<std::uint32_t>{0, 1, 2}))
            << c.there;
    }
}

TEST(ConversionSteps, PlacementNormalsAndEffects)
{
    struct Case {
        const char* name;
        const char* source;
        const char* output;
        bool recalculate;
        bool baked;
        bool normalsTurned;
        bool normalsRecalculated;
    };
    const Case cases[] = {
        // OBJ to OBJ, recalculation off: placement baked, normals follow.
        {"obj to obj", "a.obj", "b.obj", false, true, true, false},
        // Formats that keep placement on both sides keep it.
        {"3dp to 3mf", "a.3dp", "b.3mf", false, false, false, false},
        {"mqo to 3dp", "a.mqo", "b.3dp", false, false, false, false},
        {"3mf to 3dp", "a.3mf", "b.3dp", false, false, false, false},
        // A placement-less source or target bakes.
        {"stl to 3mf", "a.stl", "b.3mf", false, true, false, false},
        {"3dp to ply", "a.3dp", "b.ply", false, true, false, false},
        {"sdf to 3dp", "a.sdf", "b.3dp", false, true, true, false},
        // Recalculation only where the target carries normals.
        {"obj to obj, recalculated", "a.obj", "b.obj", true, true, false, true},
        {"obj to stl, recalculate asked", "a.obj", "b.stl", true, true, false, false},
    };
    for (const Case& c : cases) {
        Model model;
        ModelObject& object = addTriangle(model);
        ASSERT_TRUE(object.normals.allocate(3));
        for (Vector3& n : object.normals)
            n = {1, 0, 0};
        object.rotation = {0, 0, 90};
        ConversionSettings settings = settingsFor(fs::path(c.output).extension().string().c_str());
        settings.recalculateNormalsOn = c.recalculate;
        RecordingReporter reporter;
        ASSERT_EQ(applySteps(model, c.source, c.output, settings, reporter), OperationResult::Success) << c.name;
        EXPECT_EQ(object.rotation == (Vector3{0, 0, 0}), c.baked) << c.name;
        if (c.normalsRecalculated) {
            const Vector3 face = faceNormal(object.vertices[0], object.vertices[1], object.vertices[2]);
            EXPECT_EQ(object.normals[0], face) << c.name;
        } else if (c.normalsTurned) {
            EXPECT_NEAR(std::fabs(object.normals[0].y), 1.0f, 1e-6f) << c.name;
        } else { // left alone, or only mirrored in x
            EXPECT_EQ(std::fabs(object.normals[0].x), 1.0f) << c.name;
        }
    }

    // The custom transform acts in object space after baking; duplicates go
    // first and plain vertex lists get indices.
    Model model;
    ModelObject& soup = *model.addObject();
    soup.verticesFormTriangles = true;
    ASSERT_TRUE(soup.vertices.allocate(6));
    for (std::uint32_t v = 0; v < 6; ++v)
        soup.vertices[v] = {float(v % 3), 0, 0};
    ConversionSettings settings = settingsFor("stl");
    settings.removeDuplicatesOn = true;
    settings.customTransformOn = true;
    settings.customMatrix = composeTransform({0, 0, 0}, {2, 2, 2}, Matrix4::identity(), {1, 0, 0});
    RecordingReporter reporter;
    ASSERT_EQ(applySteps(model, "a.stl", "b.stl", settings, reporter), OperationResult::Success);
    EXPECT_EQ(soup.vertices.count(), 6u); // no indices: left for generateIndices
    EXPECT_EQ(soup.indices.count(), 6u);
    EXPECT_EQ(soup.vertices[2], (Vector3{5, 0, 0}));
}

TEST(ConversionSteps, IfcProfileComesFromTheRouteThatRead)
{
    const fs::path source = "/some/folder/Building.Model.ifc";
    const fs::path obj = ifcObjPath(source);
    EXPECT_EQ(obj.parent_path(), ifcWorkFolder());
    // ".obj" is appended, so names that differ after a dot stay apart.
    EXPECT_EQ(obj.filename(), "some_folder_Building.Model.obj");
    EXPECT_NE(obj, ifcObjPath("/some/folder/Building.Other.ifc"));
    EXPECT_EQ(ifcOutputPath(source), ifcOutputPath(source));
    EXPECT_EQ(ifcOutputPath("/Work/Site A/house.ifc").filename(), "Work_Site A_house");
    EXPECT_EQ(ifcOutputPath("C:\\Work\\Site A\\house.ifc").filename(), "Work_Site A_house");
    EXPECT_NE(ifcOutputPath("/a/house.ifc"), ifcOutputPath("/b/house.ifc"));

    // An IFC file keeps the profile its route set: the external converter's,
    // or OBJ's when the IFC tool's OBJ was read. Any other source takes the
    // profile of its format, whatever its reader set.
    RecordingReporter reporter;
    for (const char* readAs : {".dae", ".obj"}) {
        Model model;
        model.profile = profileForExtension(readAs);
        addTriangle(model);
        ASSERT_EQ(applySteps(model, source, "out.3dp", settingsFor("3dp"), reporter), OperationResult::Success);
        EXPECT_EQ(model.profile.kind, profileForExtension(readAs).kind) << readAs;
    }
    Model stl;
    stl.profile.kind = FormatKind::StlAscii;
    addTriangle(stl);
    ASSERT_EQ(applySteps(stl, "a.stl", "out.3dp", settingsFor("3dp"), reporter), OperationResult::Success);
    EXPECT_EQ(stl.profile.kind, FormatKind::StlBinary);
}

TEST(StagedOutput, MovesEverythingInPlaceOnlyOnCommit)
{
    TempDir dir;
    const fs::path output = dir / "model.obj";
    writeFile(dir / "model.obj", "old");
    fs::create_directories(dir / "Textures");
    writeFile(dir / "Textures" / "kept.png", "kept");
    writeFile(dir / "Textures" / "wood.png", "old wood");
    {
        StagedOutput staged;
        ASSERT_EQ(staged.open(output, StagedOutput::Kind::WithCompanions), OperationResult::Success);
        EXPECT_EQ(staged.writePath().filename(), "model.obj");
        EXPECT_NE(staged.writePath().parent_path(), dir.path());
        writeFile(staged.writePath(), "new");
        // Abandoned: nothing changes and the private folder goes.
    }
    EXPECT_EQ(readFile(output), "old");
    EXPECT_EQ(folderEntries(dir.path()),
              (std::vector<fs::path>{"Textures", "Textures/kept.png", "Textures/wood.png", "model.obj"}));

    StagedOutput staged;
    ASSERT_EQ(staged.open(output, StagedOutput::Kind::WithCompanions), OperationResult::Success);
    const fs::path folder = staged.writePath().parent_path();
    writeFile(staged.writePath(), "new");
    writeFile(folder / "model.mtl", "materials");
    fs::create_directories(folder / "Textures");
    writeFile(folder / "Textures" / "wood.png", "new wood");
    // Without leave to replace, the existing output stays and so does
    // everything that would have come with the new one.
    ASSERT_EQ(staged.commit(false), OperationResult::Failure);
    EXPECT_TRUE(staged.nameWasTaken());
    EXPECT_EQ(readFile(output), "old");
    EXPECT_EQ(readFile(dir / "Textures" / "wood.png"), "old wood");
    EXPECT_FALSE(fs::exists(dir / "model.mtl"));
    ASSERT_EQ(staged.commit(true), OperationResult::Success);
    EXPECT_EQ(readFile(output), "new");
    EXPECT_EQ(readFile(dir / "model.mtl"), "materials");
    EXPECT_EQ(readFile(dir / "Textures" / "wood.png"), "new wood");
    EXPECT_EQ(readFile(dir / "Textures" / "kept.png"), "kept");
    EXPECT_FALSE(fs::exists(folder));

    // Failures: a writer that wrote nothing, an output name taken by a
    // folder, a folder that does not exist.
    StagedOutput empty;
    ASSERT_EQ(empty.open(dir / "nothing.stl", StagedOutput::Kind::OneFile), OperationResult::Success);
    Failure failure;
    EXPECT_EQ(empty.commit(false, &failure), OperationResult::Failure);
    EXPECT_EQ(failure.message, "the writer produced no file");
    fs::create_directories(dir / "taken.stl");
    StagedOutput blocked;
    ASSERT_EQ(blocked.open(dir / "taken.stl", StagedOutput::Kind::OneFile), OperationResult::Success);
    writeFile(blocked.writePath(), "data");
    failure = {};
    EXPECT_EQ(blocked.commit(true, &failure), OperationResult::Failure);
    EXPECT_NE(failure.message.find("cannot move taken.stl"), std::string::npos) << describeFailure(failure);
    EXPECT_FALSE(blocked.nameWasTaken());
    StagedOutput nowhere;
    failure = {};
    EXPECT_EQ(nowhere.open(dir / "missing" / "x.stl", StagedOutput::Kind::OneFile, &failure), OperationResult::Failure);
    EXPECT_NE(failure.message.find("cannot write into the output folder"), std::string::npos)
        << describeFailure(failure);
}

// A one-file output moves to its name only when the name is free, unless
// replacing was asked for; its private name says which process wrote it.
TEST(StagedOutput, OneFileNeverReplacesWithoutLeave)
{
    TempDir dir;
    const fs::path output = dir / "part.stl";
    StagedOutput staged;
    ASSERT_EQ(staged.open(output, StagedOutput::Kind::OneFile), OperationResult::Success);
    EXPECT_EQ(staged.writePath().parent_path(), dir.path());
    EXPECT_EQ(ownerOfTemporary(staged.writePath().filename().string()), ::getpid());
    writeFile(staged.writePath(), "mine");
    writeFile(output, "someone else's");
    ASSERT_EQ(staged.commit(false), OperationResult::Failure);
    EXPECT_TRUE(staged.nameWasTaken());
    EXPECT_EQ(readFile(output), "someone else's");
    ASSERT_EQ(staged.commit(true), OperationResult::Success);
    EXPECT_EQ(readFile(output), "mine");
    EXPECT_EQ(folderEntries(dir.path()), (std::vector<fs::path>{"part.stl"}));
}

TEST(ConvertFile, FailuresMapToTheirStatuses)
{
    TempDir dir;
    writeFile(dir / "scene.dae", "<COLLADA/>");
    writeFile(dir / "plan.ifc", "ISO-10303-21;\n");
    struct Case {
        const char* name;
        fs::path source;
        const char* reasonPart;
    };
    const Case cases[] = {
        {"missing file", dir / "absent.stl", ""},
        {"external format", dir / "scene.dae", "the external converter could not read the file"},
        {"ifc that neither the IFC tool nor the helper reads", dir / "plan.ifc",
         "the external converter could not read the file"},
    };
    for (const Case& c : cases) {
        RecordingReporter reporter;
        Failure failure;
        EXPECT_EQ(convertFile(c.source, dir / "out.stl", settingsFor("stl"), reporter, &failure),
                  ConversionStatus::ReadFailed)
            << c.name;
        EXPECT_NE(failure.message.find(c.reasonPart), std::string::npos) << c.name << ": " << describeFailure(failure);
        EXPECT_FALSE(failure.message.empty()) << c.name;
        EXPECT_FALSE(fs::exists(dir / "out.stl")) << c.name;
    }

    RecordingReporter stopped;
    stopped.requestStop();
    EXPECT_EQ(convertFile(dir / "scene.dae", dir / "out.stl", settingsFor("stl"), stopped),
              ConversionStatus::Cancelled);

    // Nothing is left behind in the output folder by any of these.
    EXPECT_EQ(folderEntries(dir.path()), (std::vector<fs::path>{"plan.ifc", "scene.dae"}));
}
