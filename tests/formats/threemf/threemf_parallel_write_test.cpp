#include "common/recording_reporter.h"
#include "common/test_models.h"
#include "common/test_support.h"
#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_test_support.h"
#include "support/zip/zip_component.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using namespace morvex;
using morvex::testing::addMesh;
using morvex::testing::corpusDir;
using morvex::testing::readFile;
using morvex::testing::runCommand;
using morvex::testing::shellQuote;
using morvex::testing::TempDir;
using morvex::testing::toVector;
using morvex::testing::writeFile;
using morvex::threemf_test::modelDataOffset;
using morvex::threemf_test::scratchFolders;

namespace {

constexpr std::string_view ModelPart = "3D/3dmodel.model";

// Pieces small enough that a small package's model part takes several.
DeflateSplit pieces(unsigned threads)
{
    DeflateSplit split;
    split.threads = threads;
    split.minimumFileBytes = 1024;
    split.pieceBytes = 40 * 1024;
    return split;
}

// A wavy grid of quads as one object: 2 * side * side triangles.
void addWavyGrid(Model& model, std::uint32_t side)
{
    std::vector<Vector3> vertices;
    vertices.reserve((side + 1) * (side + 1));
    for (std::uint32_t y = 0; y <= side; ++y)
        for (std::uint32_t x = 0; x <= side; ++x)
            vertices.push_back({x * 0.5f, y * 0.25f, std::sin(x * 0.3f) * std::cos(y * 0.2f)});
    std::vector<std::uint32_t> indices;
    indices.reserve(6 * side * side);
    for (std::uint32_t y = 0; y < side; ++y)
        for (std::uint32_t x = 0; x < side; ++x) {
            const std::uint32_t corner = y * (side + 1) + x;
            indices.insert(indices.end(),
                           {corner, corner + 1, corner + side + 2, corner, corner + side + 2, corner + side + 1});
        }
    addMesh(model, vertices, indices);
}

std::string modelPartOf(const std::filesystem::path& package, const std::filesystem::path& folder)
{
    RecordingReporter reporter;
    Failure failure;
    EXPECT_EQ(extractZipEntry(package, ModelPart, folder, reporter, 1u << 30, &failure), OperationResult::Success)
        << package << ": " << describeFailure(failure);
    return readFile(folder / ModelPart);
}

void expectSameMeshes(const Model& actual, const Model& expected, const std::string& where)
{
    ASSERT_EQ(actual.objects.size(), expected.objects.size()) << where;
    for (std::size_t i = 0; i < actual.objects.size(); ++i) {
        EXPECT_TRUE(toVector(actual.objects[i]->vertices) == toVector(expected.objects[i]->vertices)) << where;
        EXPECT_TRUE(toVector(actual.objects[i]->indices) == toVector(expected.objects[i]->indices)) << where;
        EXPECT_TRUE(toVector(actual.objects[i]->colors) == toVector(expected.objects[i]->colors)) << where;
    }
    EXPECT_EQ(actual.materials.size(), expected.materials.size()) << where;
}

// Writes the model with one thread and with two, checks that the packages
// hold the same model part (two threads in pieces, still one entry that
// unzip takes), and reads both back.
void expectThreadsAgree(const Model& model, const std::filesystem::path& folder, const std::string& where)
{
    std::filesystem::create_directories(folder);
    std::string parts[2];
    Model readBack[2];
    for (const unsigned threads : {1u, 2u}) {
        const std::filesystem::path package = folder / ("threads" + std::to_string(threads) + ".3mf");
        RecordingReporter reporter;
        Failure failure;
        ASSERT_EQ(threemf::write3mf(package, model, reporter, pieces(threads), &failure), OperationResult::Success)
            << where << ": " << describeFailure(failure);
        parts[threads - 1] = modelPartOf(package, folder / ("part" + std::to_string(threads)));
        std::string output;
        EXPECT_EQ(runCommand("unzip -tq " + shellQuote(package.string()) + " 2>&1", &output), 0) << where << output;
        ASSERT_EQ(threemf::read3mf(package, readBack[threads - 1], reporter, &failure), OperationResult::Success)
            << where << ": " << describeFailure(failure);
    }
    ASSERT_FALSE(parts[0].empty()) << where;
    EXPECT_TRUE(parts[0] == parts[1]) << where << ": the model parts differ";
    expectSameMeshes(readBack[1], readBack[0], where);
}

// The model's triangles as a binary STL file.
void writeBinaryStl(const Model& model, const std::filesystem::path& path)
{
    const ModelObject& object = *model.objects.front();
    const std::uint32_t triangles = object.indices.count() / 3;
    std::string bytes(84 + 50 * std::size_t{triangles}, '\0');
    std::memcpy(&bytes[80], &triangles, 4);
    for (std::uint32_t t = 0; t < triangles; ++t)
        for (std::uint32_t corner = 0; corner < 3; ++corner)
            std::memcpy(&bytes[84 + 50 * std::size_t{t} + 12 + 12 * corner],
                        &object.vertices[object.indices[3 * t + corner]], 12);
    writeFile(path, bytes);
}

} // namespace

// Packages of other programs, read and written again with one thread and
// with two: the same model part, read back to the same meshes.
TEST(ThreeMfParallelWrite, CorpusPackagesWriteTheSameModelPartOnTwoThreads)
{
    MORVEX_REQUIRE_CORPUS();
    TempDir temp;
    int written = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpusDir() / "3mf")) {
        const std::string name = entry.path().filename().string();
        Model model;
        RecordingReporter reporter;
        if (name.find("MUSTFAIL") != std::string::npos ||
            threemf::read3mf(entry.path(), model, reporter) != OperationResult::Success)
            continue;
        expectThreadsAgree(model, temp / name, name);
        ++written;
    }
    EXPECT_GE(written, 8);
}

// A generated mesh whose model part takes dozens of pieces; a damaged
// stretch of its compressed bytes fails the read the same way whether the
// package was compressed whole or in pieces.
TEST(ThreeMfParallelWrite, LargeMeshRoundTripsAndDamageFailsAlike)
{
    TempDir temp;
    Model model;
    addWavyGrid(model, 120); // 28,800 triangles, a model part of about 2 MB
    expectThreadsAgree(model, temp / "grid", "grid");

    Failure failures[2];
    for (const unsigned threads : {1u, 2u}) {
        const std::filesystem::path package = temp / "grid" / ("threads" + std::to_string(threads) + ".3mf");
        std::string bytes = readFile(package);
        const std::size_t data = modelDataOffset(bytes);
        ASSERT_NE(data, std::string::npos);
        std::memset(&bytes[data + 5000], 0xFF, 200);
        writeFile(package, bytes);
        Model damaged;
        RecordingReporter reporter;
        EXPECT_EQ(threemf::read3mf(package, damaged, reporter, &failures[threads - 1]), OperationResult::Failure);
        EXPECT_TRUE(scratchFolders().empty());
    }
    EXPECT_EQ(failures[1].kind, failures[0].kind);
    EXPECT_TRUE(failures[0].message.starts_with("cannot extract the model part: the entry is damaged"))
        << failures[0].message;
    EXPECT_TRUE(failures[1].message.starts_with("cannot extract the model part: the entry is damaged"))
        << failures[1].message;
}

// A stop at any point of a write on two threads (model part, pieces,
// archive) cancels it: the earlier file stays and no scratch folder is left.
TEST(ThreeMfParallelWrite, StopAnywhereLeavesTheEarlierFile)
{
    TempDir temp;
    Model model;
    addWavyGrid(model, 80);
    const std::filesystem::path package = temp / "grid.3mf";
    RecordingReporter counting;
    ASSERT_EQ(threemf::write3mf(package, model, counting, pieces(2)), OperationResult::Success);
    const std::uint64_t checks = counting.cancelChecks();
    ASSERT_GT(checks, 8u);
    writeFile(package, "earlier");
    for (std::uint64_t stopAt = 1; stopAt < checks; stopAt += std::max<std::uint64_t>(1, checks / 12)) {
        RecordingReporter stopping;
        stopping.cancelAfterChecks(stopAt);
        Failure failure;
        EXPECT_EQ(threemf::write3mf(package, model, stopping, pieces(2), &failure), OperationResult::Cancelled)
            << "stop at check " << stopAt << " of " << checks << ": " << describeFailure(failure);
        EXPECT_EQ(readFile(package), "earlier") << "stop at check " << stopAt;
        EXPECT_TRUE(scratchFolders().empty()) << "stop at check " << stopAt;
    }
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(temp.path()))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"grid.3mf"});
}

// A model part above the default size is deflated in pieces, on as many
// threads as the command line allows, to the same bytes whatever their number.
TEST(ThreeMfParallelWrite, CommandLineThreadsDeflateALargeModelPartToTheSameBytes)
{
    TempDir temp;
    Model model;
    addWavyGrid(model, 180); // 64,800 triangles, a model part above 4 MiB
    writeBinaryStl(model, temp / "grid.stl");
    std::string stored[2]; // the model part as stored
    std::string parts[2];
    for (const unsigned threads : {1u, 2u}) {
        const std::filesystem::path folder = temp / ("threads" + std::to_string(threads));
        std::filesystem::create_directories(folder);
        std::string output;
        ASSERT_EQ(runCommand(shellQuote(morvex::testing::cliPath().string()) + " convert --threads " +
                                 std::to_string(threads) + " " + shellQuote((temp / "grid.stl").string()) +
                                 " --to 3mf --output " + shellQuote(folder.string()) + " 2>&1",
                             &output),
                  0)
            << output;
        // The model part's compressed bytes, as stored.
        std::vector<ZipEntryInfo> entries;
        RecordingReporter reporter;
        ASSERT_EQ(listZipEntries(folder / "grid.3mf", entries, reporter), OperationResult::Success);
        ASSERT_EQ(entries[0].name, ModelPart);
        const std::string package = readFile(folder / "grid.3mf");
        stored[threads - 1] = package.substr(modelDataOffset(package), entries[0].compressedSize);
        parts[threads - 1] = modelPartOf(folder / "grid.3mf", folder / "part");
        EXPECT_EQ(runCommand("unzip -tq " + shellQuote((folder / "grid.3mf").string()) + " 2>&1", &output), 0)
            << output;
    }
    ASSERT_GT(parts[0].size(), DeflateSplit{}.minimumFileBytes);
    EXPECT_TRUE(parts[0] == parts[1]) << "the model parts differ";
    EXPECT_TRUE(stored[0] == stored[1]) << "the stored bytes differ";
    EXPECT_LT(stored[0].size(), parts[0].size() / 4);
}
