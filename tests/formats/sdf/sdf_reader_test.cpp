#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "formats/sdf/sdf.h"
#include "support/platform/reference_policy.h"

#include <gtest/gtest.h>

#include <mutex>

namespace morvex {
namespace {

using testing::TempDir;
using testing::writeFile;

// Stands in for the external converter: records the paths it is asked for
// and gives each mesh one object whose vertex count is its call number; a
// path whose name holds "broken" fails.
struct MeshCalls {
    std::vector<std::filesystem::path> paths;
};
MeshCalls* currentCalls = nullptr;

OperationResult recordingMeshReader(ProgressReporter&, Model& model, const std::filesystem::path& mesh,
                                    Failure* failure)
{
    currentCalls->paths.push_back(mesh);
    if (mesh.filename().string().find("broken") != std::string::npos)
        return failWith(failure, FailureKind::Malformed, "the converter said no");
    ModelObject* object = model.addObject();
    EXPECT_TRUE(object->vertices.resize(static_cast<std::uint32_t>(currentCalls->paths.size())));
    return OperationResult::Success;
}

std::vector<std::string> urisOf(std::string_view xml)
{
    XmlDocument document;
    std::string error;
    EXPECT_EQ(parseXmlText(xml, document, error), OperationResult::Success);
    StoppableReporter reporter;
    std::vector<std::string> uris;
    EXPECT_EQ(sdf::collectMeshUris(document, reporter, uris), OperationResult::Success);
    return uris;
}

TEST(SdfReader, CollectsTheUrisOfModelElementsOnlyInDocumentOrder)
{
    const std::string xml = R"(<?xml version="1.0"?>
<sdf version="1.6">
  <world name="w"><model><link><visual><geometry><mesh><uri>model://w/in-world.dae</uri></mesh></geometry></visual></link></model></world>
  <model name="robot">
    <static>true</static>
    <include><uri>model://other</uri></include>
    <link name="body">
      <inertial><mass>1</mass><uri>model://robot/inertial.dae</uri></inertial>
      <collision name="c"><geometry><mesh><uri>model://robot/meshes/body.stl</uri><scale>1 1 1</scale></mesh></geometry></collision>
      <visual name="v">
        <geometry><mesh><uri>model://robot/meshes/body.stl</uri></mesh></geometry>
        <material><script><uri>file://media/materials/scripts/gazebo.material</uri></script></material>
      </visual>
      <visual name="empty"><geometry><mesh><uri></uri></mesh></geometry></visual>
      <visual name="w"><geometry><mesh><uri>model://robot/meshes/wheel.dae</uri></mesh></geometry></visual>
    </link>
  </model>
</sdf>)";
    EXPECT_EQ(urisOf(xml), (std::vector<std::string>{"model://robot/meshes/body.stl", "model://robot/meshes/body.stl",
                                                     "model://robot/meshes/wheel.dae"}));
    EXPECT_TRUE(urisOf("<sdf><model><include><uri>model://a/b.dae</uri></include></model></sdf>").empty());
}

TEST(SdfReader, MeshPathsAreTheModelTreesParentJoinedWithTheReference)
{
    EXPECT_EQ(sdf::meshPathForUri("/models/robot/model.sdf", "model://robot/meshes/body.dae"),
              std::filesystem::path("/models/robot/meshes/body.dae"));
    // The prefix is not compared, and the rest never makes the path absolute.
    EXPECT_EQ(sdf::meshPathForUri("/models/robot/model.sdf", "package://robot/x.dae"),
              std::filesystem::path("/models/robot/x.dae"));
    EXPECT_EQ(sdf::meshPathForUri("/models/robot/model.sdf", "model:///etc/passwd"),
              std::filesystem::path("/models/etc/passwd"));
    EXPECT_TRUE(sdf::meshPathForUri("/models/robot/model.sdf", "model://").empty());
    EXPECT_TRUE(sdf::meshPathForUri("/models/robot/model.sdf", "model:///").empty());
}

struct SdfTree {
    TempDir root;
    std::filesystem::path sdf;
    explicit SdfTree(const std::string& links)
    {
        std::filesystem::create_directories(root / "models" / "robot" / "meshes");
        sdf = root / "models" / "robot" / "model.sdf";
        writeFile(sdf, "<sdf><model name=\"robot\"><link>" + links + "</link></model></sdf>");
        for (const char* mesh : {"a.dae", "b.stl", "broken.dae"})
            writeFile(root / "models" / "robot" / "meshes" / mesh, "mesh");
        writeFile(root / "secret.dae", "not for the model");
    }
};

std::string visual(const std::string& uri)
{
    return "<visual><geometry><mesh><uri>" + uri + "</uri></mesh></geometry></visual>";
}

TEST(SdfReader, MeshesAreReadInReferenceOrderAndAppended)
{
    const SdfTree tree(visual("model://robot/meshes/a.dae") + visual("model://robot/meshes/b.stl") +
                       visual("model://robot/meshes/a.dae"));
    MeshCalls calls;
    currentCalls = &calls;
    RecordingReporter reporter;
    Model model;
    Failure failure;
    ASSERT_EQ(sdf::readSdf(tree.sdf, model, reporter, recordingMeshReader, &failure), OperationResult::Success)
        << failure.message;
    const std::filesystem::path meshes = tree.root / "models" / "robot" / "meshes";
    EXPECT_EQ(calls.paths, (std::vector<std::filesystem::path>{meshes / "a.dae", meshes / "b.stl", meshes / "a.dae"}));
    ASSERT_EQ(model.objects.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(model.objects[i]->vertices.count(), i + 1);
    EXPECT_EQ(reporter.indeterminateBegins, reporter.indeterminateEnds);
}

// A failing mesh ends the read with its reason; the meshes before it stay.
// References that leave the model tree's parent are refused unread.
TEST(SdfReader, AFailingOrEscapingMeshEndsTheReadKeepingWhatCameBefore)
{
    struct Case {
        const char* uri;
        const char* reason;
    };
    const Case cases[] = {
        {"model://robot/meshes/broken.dae", "mesh 2 (\"model://robot/meshes/broken.dae\") could not be read: the "
                                            "converter said no"},
        {"model://../secret.dae", "mesh 2 (\"model://../secret.dae\")"},
        {"model://robot/../../secret.dae", "mesh 2"},
        {"model:/", "mesh 2 (\"model:/\") is no model:// reference"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uri);
        const SdfTree tree(visual("model://robot/meshes/a.dae") + visual(c.uri) + visual("model://robot/meshes/b.stl"));
        MeshCalls calls;
        currentCalls = &calls;
        StoppableReporter reporter;
        Model model;
        Failure failure;
        EXPECT_EQ(sdf::readSdf(tree.sdf, model, reporter, recordingMeshReader, &failure), OperationResult::Failure);
        EXPECT_NE(failure.message.find(c.reason), std::string::npos) << failure.message;
        EXPECT_EQ(model.objects.size(), 1u);
        for (const std::filesystem::path& path : calls.paths)
            EXPECT_EQ(path.filename().string().find("secret"), std::string::npos) << path;
    }
}

TEST(SdfReader, UnreadableFilesAndStopsEndTheRead)
{
    MeshCalls calls;
    currentCalls = &calls;
    TempDir dir;
    Model model;
    Failure failure;
    StoppableReporter reporter;
    EXPECT_EQ(sdf::readSdf(dir / "absent.sdf", model, reporter, recordingMeshReader, &failure),
              OperationResult::Failure);
    EXPECT_NE(failure.message.find("absent.sdf"), std::string::npos) << failure.message;

    const SdfTree tree(visual("model://robot/meshes/a.dae"));
    StoppableReporter stopped;
    stopped.requestStop();
    EXPECT_EQ(sdf::readSdf(tree.sdf, model, stopped, recordingMeshReader), OperationResult::Cancelled);
    EXPECT_TRUE(calls.paths.empty());
}

} // namespace
} // namespace morvex
