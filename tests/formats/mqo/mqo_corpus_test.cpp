#include "formats/mqo/mqo.h"

#include "common/recording_reporter.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <set>

namespace morvex::mqo {
namespace {

// What each real file must read as. Assimp does not read MQO: the counts
// were taken from the files themselves (objects with faces, "3 V(" faces
// plus twice the "4 V(" faces, the declared vertex counts of those objects)
// and the names converted from Shift-JIS with iconv.
struct Expectation {
    const char* file;
    std::uint32_t objects;
    std::uint32_t triangles;
    std::uint32_t vertices;
    std::vector<std::string> names; // of the first objects
};

const Expectation expectations[] = {
    {"LSBattle__marisa.mqo", 1, 219, 140, {"obj1"}},
    {"LSBattle__miku.mqo", 17, 22961, 12810, {"miku1", "miku2", "miku3"}},
    {"mqoparser__includexml.mqo", 1, 12, 8, {"obj1"}},
    {"mqoparser__miku01.mqo", 3, 2371, 1364, {"miku", "negi", "R_arm"}},
    {"mqoparser__trialnoise.mqo", 1, 12, 8, {"obj1"}},
    {"vbinterface-simple-3d-metasequoia-model-viewer__1-73159__hqsphere.mqo", 1, 1740, 872, {"obj1"}},
    {"webgl-metasequoia__dice.mqo", 1, 12, 8, {"obj1"}},
    {"webgl-metasequoia__isu.mqo", 3, 236, 174, {"イス", "接続", "クッション"}},
};

TEST(MqoCorpus, EveryRealFileReadsAsExpected)
{
    MORVEX_REQUIRE_CORPUS();
    const std::filesystem::path folder = morvex::testing::corpusDir() / "mqo";
    std::set<std::string> listed;
    for (const Expectation& e : expectations) {
        listed.insert(e.file);
        SCOPED_TRACE(e.file);
        Model model;
        Failure failure;
        morvex::RecordingReporter reporter;
        ASSERT_EQ(readMqo(folder / e.file, model, reporter, &failure), OperationResult::Success)
            << describeFailure(failure);
        EXPECT_EQ(model.profile.kind, FormatKind::Mqo);
        ASSERT_EQ(model.objects.size(), e.objects);
        std::uint32_t triangles = 0;
        std::uint32_t vertices = 0;
        for (const auto& object : model.objects) {
            triangles += object->triangleCount();
            vertices += object->vertices.count();
            for (std::uint32_t index : object->indices)
                ASSERT_LT(index, object->vertices.count());
        }
        EXPECT_EQ(triangles, e.triangles);
        EXPECT_EQ(vertices, e.vertices);
        for (std::size_t n = 0; n < e.names.size(); ++n)
            EXPECT_EQ(model.objects[n]->properties.getProperty("ObjectName"), e.names[n]) << n;
    }
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        EXPECT_TRUE(listed.count(entry.path().filename().string()))
            << entry.path().filename() << " has no expectation: add one";
}

} // namespace
} // namespace morvex::mqo
