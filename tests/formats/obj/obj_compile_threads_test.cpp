#include "formats/obj/obj.h"

#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "support/core/parallel_ranges.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace morvex;
using morvex::testing::corpusDir;
using morvex::testing::readFile;

namespace {

// Threads per file and faces per compiling thread, restored when a test ends.
struct ChunksScope {
    ChunksScope(unsigned threads, std::uint32_t facesPerThread)
    {
        setThreadsPerFile(threads);
        obj::setCompileFacesPerThread(facesPerThread);
    }
    ~ChunksScope()
    {
        setThreadsPerFile(1);
        obj::setCompileFacesPerThread(0);
    }
};

struct ReadOutcome {
    OperationResult result = OperationResult::Failure;
    Model model;
    std::vector<std::string> messages;
    std::string failure;
};

void readWith(const std::string& text, unsigned threads, std::uint32_t facesPerThread, ReadOutcome& outcome)
{
    const ChunksScope scope(threads, facesPerThread);
    RecordingReporter reporter;
    Failure failure;
    outcome.result = obj::readObj(text, "model.obj", outcome.model, reporter, &failure);
    outcome.messages = reporter.messages;
    if (outcome.result == OperationResult::Failure)
        outcome.failure = describeFailure(failure);
}

// Byte for byte: a sign of zero or a NaN's bits count too.
template <typename Array>
bool sameElements(const Array& a, const Array& b)
{
    return a.count() == b.count() && (a.empty() || std::memcmp(a.data(), b.data(), sizeof(*a.data()) * a.count()) == 0);
}

// Objects, every per-corner array, indices, material ranges and materials.
void expectSameModel(const Model& got, const Model& expected)
{
    ASSERT_EQ(got.objects.size(), expected.objects.size());
    for (std::size_t i = 0; i < got.objects.size(); ++i) {
        SCOPED_TRACE(i);
        const ModelObject& a = *got.objects[i];
        const ModelObject& b = *expected.objects[i];
        EXPECT_TRUE(sameElements(a.vertices, b.vertices));
        EXPECT_TRUE(sameElements(a.normals, b.normals));
        EXPECT_TRUE(sameElements(a.texCoords, b.texCoords));
        EXPECT_TRUE(sameElements(a.colors, b.colors));
        EXPECT_TRUE(sameElements(a.indices, b.indices));
        ASSERT_EQ(a.materialRanges.size(), b.materialRanges.size());
        for (std::size_t r = 0; r < a.materialRanges.size(); ++r) {
            EXPECT_EQ(a.materialRanges[r].materialId, b.materialRanges[r].materialId);
            EXPECT_EQ(a.materialRanges[r].firstIndex, b.materialRanges[r].firstIndex);
            EXPECT_EQ(a.materialRanges[r].endIndex, b.materialRanges[r].endIndex);
        }
    }
    ASSERT_EQ(got.materials.size(), expected.materials.size());
    for (std::size_t m = 0; m < got.materials.size(); ++m)
        EXPECT_EQ(got.materials[m]->properties.getProperty("Name"),
                  expected.materials[m]->properties.getProperty("Name"));
}

// The text read on one thread, then in chunks of a few faces on 2, 3 and 5
// threads: the same outcome, model and messages every time.
void expectSameOnAnyThreadCount(const std::string& text)
{
    ReadOutcome whole;
    readWith(text, 1, 0, whole);
    for (const unsigned threads : {2u, 3u, 5u}) {
        SCOPED_TRACE(threads);
        ReadOutcome chunks;
        readWith(text, threads, 5, chunks);
        EXPECT_EQ(chunks.result, whole.result);
        EXPECT_EQ(chunks.failure, whole.failure);
        EXPECT_EQ(chunks.messages, whole.messages);
        expectSameModel(chunks.model, whole.model);
    }
}

// Small deterministic numbers for the generated files.
struct Sequence {
    std::uint32_t state;
    std::uint32_t next(std::uint32_t below)
    {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % below;
    }
};

struct Generated {
    bool texCoords = false;
    bool normals = false;
    bool colours = false;
    bool materials = false;
};

// Faces of 3 to 9 corners, convex (regular polygons) and concave (stars),
// each over vertices of its own written just before it and named from the
// end of the list; a few faces of 300 corners; faces that name a vertex
// the file does not have, spread over the file; corners with and without
// texture coordinates and normals; material runs when asked.
std::string generatedObj(std::uint32_t seed, const Generated& what)
{
    Sequence random{seed};
    std::string text = "# generated\n";
    for (int face = 0; face < 400; ++face) {
        if (what.materials && random.next(25) == 0)
            text += "usemtl m" + std::to_string(random.next(3)) + "\n";
        const std::uint32_t corners = random.next(40) == 0 ? 300 : 3 + random.next(7);
        const bool star = corners >= 6 && random.next(2) == 0;
        const double centreX = random.next(100), centreY = random.next(100);
        for (std::uint32_t k = 0; k < corners; ++k) {
            const double angle = 6.283185307179586 * k / corners;
            const double radius = star && k % 2 == 1 ? 0.4 : 1.0;
            text += "v " + std::to_string(centreX + radius * std::cos(angle)) + " " +
                    std::to_string(centreY + radius * std::sin(angle)) + " " + std::to_string(random.next(5));
            if (what.colours && random.next(4) != 0)
                text += " 0." + std::to_string(random.next(10)) + " 0.5 1";
            text += "\n";
        }
        if (what.texCoords)
            text += "vt 0." + std::to_string(random.next(100)) + " 0." + std::to_string(random.next(100)) + "\n";
        if (what.normals)
            text += "vn 0 0 1\n";
        const bool missing = random.next(9) == 0;
        text += "f";
        for (std::uint32_t k = 0; k < corners; ++k) {
            const std::int64_t position = std::int64_t{k} - corners; // from the end
            text += " ";
            text += missing && k == corners / 2 ? std::string("1000000") : std::to_string(position);
            const bool texCoord = what.texCoords && random.next(5) != 0;
            const bool normal = what.normals && random.next(5) != 0;
            if (texCoord || normal)
                text += "/" + (texCoord ? std::string("-1") : std::string());
            if (normal)
                text += "/-1";
        }
        text += "\n";
    }
    return text;
}

} // namespace

// Generated files of every mix of optional lists, with polygons, dropped
// faces and material runs, give the same model on any number of threads.
TEST(ObjCompileThreads, GeneratedFilesGiveTheSameModel)
{
    std::uint32_t seed = 1;
    for (const bool texCoords : {false, true})
        for (const bool normals : {false, true})
            for (const bool colours : {false, true})
                for (const bool materials : {false, true}) {
                    const std::string text = generatedObj(seed++, {texCoords, normals, colours, materials});
                    SCOPED_TRACE(::testing::Message() << "seed " << seed - 1);
                    ReadOutcome whole;
                    readWith(text, 1, 0, whole);
                    ASSERT_EQ(whole.result, OperationResult::Success) << whole.failure;
                    // The file must really drop faces and (when asked) have several runs.
                    ASSERT_EQ(whole.messages.size(), 1u);
                    EXPECT_NE(whole.messages[0].find("face(s) dropped"), std::string::npos);
                    EXPECT_EQ(whole.model.objects.size() > 1, materials);
                    expectSameOnAnyThreadCount(text);
                }
}

// Runs where every face is dropped, faces naming vertices only the file's
// end defines, and failures: the same outcome on any number of threads.
TEST(ObjCompileThreads, DroppedRunsAndFailuresAreTheSame)
{
    std::string allDropped = "v 0 0 0\nv 1 0 0\nv 1 1 0\n";
    for (int i = 0; i < 40; ++i)
        allDropped += i < 20 ? "usemtl a\nf 1 2 9\n" : "usemtl b\nf 1 2 3\nf 3 2 1\nf 4 5 6\n";
    ReadOutcome dropped;
    readWith(allDropped, 1, 0, dropped);
    ASSERT_EQ(dropped.messages.size(), 1u);
    EXPECT_EQ(dropped.messages[0], "40 face(s) dropped: a corner names a vertex the file does not have");
    expectSameOnAnyThreadCount(allDropped);

    std::string ahead = "f 1 2 3\nf 2 3 4\n";
    for (int i = 0; i < 30; ++i)
        ahead += "v " + std::to_string(i) + " " + std::to_string(i * i) + " 1\nf -1 1 2\n";
    ahead += "f 1 2 3 4 5\n";
    expectSameOnAnyThreadCount(ahead);

    expectSameOnAnyThreadCount("v 0 0 0\nv 1 0 0\nv 1 1 0\nf 1 2 3\nf 1 2\n");
    expectSameOnAnyThreadCount(std::string(100, '\n') + "v 0 0 0\nf 1 1 1\nf 1\n");
}

// A stop asked while the model is built in chunks ends the read as Cancelled.
TEST(ObjCompileThreads, AStopEndsTheBuildInChunks)
{
    std::string text = "v 0 0 0\nv 1 0 0\nv 1 1 0\n";
    for (int i = 0; i < 3000; ++i)
        text += "f 1 2 3\n";
    const ChunksScope scope(3, 5);
    RecordingReporter counting;
    Model model;
    ASSERT_EQ(obj::readObj(text, "model.obj", model, counting), OperationResult::Success);
    ASSERT_EQ(model.objects.size(), 1u);
    EXPECT_EQ(model.objects[0]->triangleCount(), 3000u);

    // The build asks last: a stop at that check ends it.
    RecordingReporter stopping;
    stopping.cancelAfterChecks(counting.cancelChecks());
    Model cancelled;
    EXPECT_EQ(obj::readObj(text, "model.obj", cancelled, stopping), OperationResult::Cancelled);
}

// Every OBJ file of the corpus gives the same model on any number of threads.
TEST(ObjCompileThreads, CorpusFilesGiveTheSameModel)
{
    MORVEX_REQUIRE_CORPUS();
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(corpusDir() / "obj")) {
        if (!entry.is_regular_file() || entry.path().extension() != ".obj")
            continue;
        SCOPED_TRACE(entry.path().string());
        expectSameOnAnyThreadCount(readFile(entry.path()));
        ++files;
    }
    EXPECT_GT(files, 5);
}

// Corners that name no texture coordinate or normal, or one beyond the
// list, get zeros; a face whose first three corners do not all name one
// gets zeros in all of its corners. Each face is a chunk of its own here.
TEST(ObjCompileThreads, CornersNamingNothingGetZeros)
{
    const std::string text = "v 0 0 0\nv 1 0 0\nv 1 1 0\nvt 0.5 0.25\nvn 0 0 1\n"
                             "f 1/1/1 2/1/1 3/1/1\nf 1 2/1 3//1\nf 1/1/1 2/9/9 3/1/1\n";
    ReadOutcome outcome;
    readWith(text, 3, 1, outcome);
    ASSERT_EQ(outcome.result, OperationResult::Success);
    ASSERT_EQ(outcome.model.objects.size(), 1u);
    const ModelObject& object = *outcome.model.objects[0];
    const TexCoord t{0.5f, 0.25f}, none{};
    EXPECT_EQ(std::vector<TexCoord>(object.texCoords.begin(), object.texCoords.end()),
              (std::vector<TexCoord>{t, t, t, none, none, none, t, none, t}));
    const Vector3 n{0, 0, 1}, zero{};
    EXPECT_EQ(std::vector<Vector3>(object.normals.begin(), object.normals.end()),
              (std::vector<Vector3>{n, n, n, zero, zero, zero, n, zero, n}));
}
