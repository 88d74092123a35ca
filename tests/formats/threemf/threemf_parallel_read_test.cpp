#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "common/zip_test_archive.h"
#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_model_part.h"
#include "formats/threemf/threemf_test_support.h"
#include "support/zip/zip_component.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace morvex;
using morvex::testing::buildZipArchive;
using morvex::testing::corpusDir;
using morvex::testing::readFile;
using morvex::testing::TempDir;
using morvex::testing::utf16Text;
using morvex::testing::writeFile;
using morvex::threemf_test::modelDataOffset;
using morvex::threemf_test::scratchFolders;

namespace {

// Parts from a few kilobytes up are inflated into memory, first or while
// they are parsed; the first splits read every part from its unpacked file.
// Each part is walked while it is parsed, or (the reference) after a parse
// into a whole tree.
const threemf::ThreeMfReadSplit WholeTreeFromFile{1, UINT64_MAX, false};
const threemf::ThreeMfReadSplit FromFile{1, UINT64_MAX};
const threemf::ThreeMfReadSplit OneThread{1, 1024};
const threemf::ThreeMfReadSplit TwoThreads{2, 1024};
const threemf::ThreeMfReadSplit WholeTreeOneThread{1, 1024, false};
const threemf::ThreeMfReadSplit WholeTreeTwoThreads{2, 1024, false};
// A window of 64 KiB that a part of megabytes goes round many times.
const threemf::ThreeMfReadSplit SmallWindowOneThread{1, 1024, true, 64 << 10};
const threemf::ThreeMfReadSplit SmallWindowTwoThreads{2, 1024, true, 64 << 10};

struct ReadOutcome {
    OperationResult result;
    Failure failure;
    Model model;
};

void readWith(const std::filesystem::path& package, const threemf::ThreeMfReadSplit& split, ReadOutcome& outcome)
{
    RecordingReporter reporter;
    outcome.result = threemf::read3mf(package, outcome.model, reporter, split, &outcome.failure);
}

std::string describeSplit(const threemf::ThreeMfReadSplit& split)
{
    return std::string(split.minimumBytes == UINT64_MAX ? ", from the file" : ", from memory") +
           (split.windowBytes < (1u << 20) ? " through a small window" : "") +
           (split.threads == 1 ? ", one thread" : ", two threads") + (split.streamed ? ", streamed" : ", whole tree");
}

// The reads from memory, on one thread and on two, and the reads that walk
// a part while parsing it give what the read of the unpacked file into a
// whole tree gives: the result, the failure with its position, and the
// meshes, colours and properties.
void expectReadsAgree(const std::filesystem::path& package, const std::string& where)
{
    ReadOutcome file;
    readWith(package, WholeTreeFromFile, file);
    for (const threemf::ThreeMfReadSplit& split : {FromFile, OneThread, TwoThreads, WholeTreeOneThread,
                                                   WholeTreeTwoThreads, SmallWindowOneThread, SmallWindowTwoThreads}) {
        const std::string label = where + describeSplit(split);
        ReadOutcome memory;
        readWith(package, split, memory);
        ASSERT_EQ(memory.result, file.result) << label << ": " << describeFailure(memory.failure);
        EXPECT_EQ(memory.failure.kind, file.failure.kind) << label;
        EXPECT_EQ(memory.failure.message, file.failure.message) << label;
        EXPECT_EQ(memory.failure.line, file.failure.line) << label;
        EXPECT_EQ(memory.failure.byteOffset, file.failure.byteOffset) << label;
        ASSERT_EQ(memory.model.objects.size(), file.model.objects.size()) << label;
        for (std::size_t i = 0; i < file.model.objects.size(); ++i) {
            const ModelObject& a = *file.model.objects[i];
            const ModelObject& b = *memory.model.objects[i];
            EXPECT_TRUE(std::equal(a.vertices.begin(), a.vertices.end(), b.vertices.begin(), b.vertices.end()))
                << label;
            EXPECT_TRUE(std::equal(a.indices.begin(), a.indices.end(), b.indices.begin(), b.indices.end())) << label;
            EXPECT_TRUE(std::equal(a.colors.begin(), a.colors.end(), b.colors.begin(), b.colors.end())) << label;
            EXPECT_TRUE(std::equal(a.normals.begin(), a.normals.end(), b.normals.begin(), b.normals.end())) << label;
            EXPECT_EQ(a.properties, b.properties) << label;
        }
        EXPECT_EQ(memory.model.materials.size(), file.model.materials.size()) << label;
        EXPECT_EQ(memory.model.properties, file.model.properties) << label;
    }
}

// A model part of a wavy grid, about 70 bytes per triangle; `metadata` goes
// into the model element before the resources.
std::string gridModelPart(std::uint32_t side, const std::string& metadata = "")
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<model unit=\"millimeter\" "
                       "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\">\n" +
                       metadata + "<resources><object id=\"1\" type=\"model\"><mesh><vertices>\n";
    for (std::uint32_t y = 0; y <= side; ++y)
        for (std::uint32_t x = 0; x <= side; ++x)
            text += "<vertex x=\"" + std::to_string(x) + ".5\" y=\"" + std::to_string(y) + "\" z=\"" +
                    std::to_string((x * y) % 7) + ".25\"/>\n";
    text += "</vertices><triangles>\n";
    for (std::uint32_t y = 0; y < side; ++y)
        for (std::uint32_t x = 0; x < side; ++x) {
            const std::uint32_t c = y * (side + 1) + x;
            text += "<triangle v1=\"" + std::to_string(c) + "\" v2=\"" + std::to_string(c + 1) + "\" v3=\"" +
                    std::to_string(c + side + 2) + "\"/>\n<triangle v1=\"" + std::to_string(c) + "\" v2=\"" +
                    std::to_string(c + side + 2) + "\" v3=\"" + std::to_string(c + side + 1) + "\"/>\n";
        }
    return text + "</triangles></mesh></object></resources><build><item objectid=\"1\"/></build></model>\n";
}

void buildPackage(const std::filesystem::path& path, const std::string& modelPart)
{
    buildZipArchive(path, {{"_rels/.rels", "<Relationships><Relationship Target=\"/3D/3dmodel.model\" Id=\"rel0\" "
                                           "Type=\"http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel\"/>"
                                           "</Relationships>"},
                           {"3D/3dmodel.model", modelPart}});
}

} // namespace

TEST(ThreeMfParallelRead, CorpusPackagesReadAlikeFromMemoryAndFromTheirFile)
{
    MORVEX_REQUIRE_CORPUS();
    int read = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpusDir() / "3mf")) {
        expectReadsAgree(entry.path(), entry.path().filename().string());
        EXPECT_TRUE(scratchFolders().empty()) << "the read's scratch folders go with its models";
        ++read;
    }
    EXPECT_GE(read, 10);
}

// Large parts whose text the parse from memory cannot finish on its own (a
// tag longer than it looks ahead, other encodings) or that end in a syntax
// error read exactly as from their file.
TEST(ThreeMfParallelRead, LargePartsReadAlikeWhateverTheirText)
{
    TempDir temp;
    const std::string grid = gridModelPart(120); // about 2 MB
    std::string lateError = grid;
    lateError.insert(lateError.rfind("</triangles>"), "<triangle v1=\"1\" v2=\"2\" v3=\"3\"></vertex>\n");
    const std::string longTag =
        gridModelPart(60, "<metadata name=\"Description\" note=\"" + std::string(1536 * 1024, 'd') + "\"/>\n");
    const std::string longComment = gridModelPart(60, "<!-- " + std::string(1536 * 1024, '-') + " -->\n");
    const std::string windows1252 = gridModelPart(100, "<metadata name=\"Title\">caf\xe9</metadata>\n");
    // A vertex that is no number fails the walk; a syntax error after it
    // still wins, and so does a part that turns out to hold no model.
    std::string badVertex = grid;
    badVertex.replace(badVertex.find("<vertex x=\"5.5\""), 16, "<vertex x=\"five\"");
    std::string badVertexThenError = badVertex;
    badVertexThenError.insert(badVertexThenError.rfind("</triangles>"), "<triangle v1=\"1\"></vertex>\n");
    std::string badVertexNoModel = badVertex;
    badVertexNoModel.replace(badVertexNoModel.find("<model "), 7, "<other ");
    badVertexNoModel.replace(badVertexNoModel.rfind("</model>"), 8, "</other>");
    const struct {
        const char* label;
        std::string part;
    } cases[] = {
        {"grid", grid},
        {"syntax error near the end", lateError},
        {"a tag of 1.5 MiB", longTag},
        {"a comment of 1.5 MiB", longComment},
        {"Windows-1252", windows1252},
        {"a vertex that is no number", badVertex},
        {"a vertex that is no number, then a syntax error", badVertexThenError},
        {"a vertex that is no number in no model", badVertexNoModel},
        {"UTF-8 mark", "\xEF\xBB\xBF" + grid},
        {"UTF-16", utf16Text(gridModelPart(40), false)},
        {"cut short", grid.substr(0, grid.size() * 2 / 3)},
        {"no model", "<?xml version=\"1.0\"?>\n<other>" + std::string(900000, ' ') + "</other>"},
    };
    for (const auto& c : cases) {
        const std::filesystem::path package = temp / "case.3mf";
        buildPackage(package, c.part);
        expectReadsAgree(package, c.label);
        EXPECT_TRUE(scratchFolders().empty()) << c.label;
    }
    buildPackage(temp / "late.3mf", lateError);
    ReadOutcome late;
    readWith(temp / "late.3mf", TwoThreads, late);
    EXPECT_EQ(late.result, OperationResult::Failure);
    EXPECT_TRUE(late.failure.line.has_value() && *late.failure.line > 40000) << describeFailure(late.failure);
    const struct {
        const std::string& part;
        const char* message;
    } failures[] = {{badVertex, "a vertex coordinate is not a number"},
                    {badVertexThenError, "should be terminated"},
                    {badVertexNoModel, "holds no 3MF model"}};
    for (const auto& f : failures) {
        buildPackage(temp / "failing.3mf", f.part);
        ReadOutcome failing;
        readWith(temp / "failing.3mf", TwoThreads, failing);
        EXPECT_EQ(failing.result, OperationResult::Failure);
        EXPECT_NE(failing.failure.message.find(f.message), std::string::npos) << describeFailure(failing.failure);
    }
    buildPackage(temp / "grid.3mf", grid);
    ReadOutcome whole;
    readWith(temp / "grid.3mf", TwoThreads, whole);
    ASSERT_EQ(whole.result, OperationResult::Success) << describeFailure(whole.failure);
    ASSERT_EQ(whole.model.objects.size(), 1u);
    EXPECT_EQ(whole.model.objects[0]->indices.count(), 6u * 120 * 120);
}

// A damaged stretch of the deflate stream, in the middle or at the end,
// fails the read with the same failure from memory and from the file.
TEST(ThreeMfParallelRead, DamagedStreamsFailAlike)
{
    TempDir temp;
    buildPackage(temp / "grid.3mf", gridModelPart(120));
    const std::string intact = readFile(temp / "grid.3mf");
    const std::size_t data = modelDataOffset(intact);
    ASSERT_NE(data, std::string::npos);
    for (const std::size_t at : {data + 20000, data + 150000}) {
        std::string damaged = intact;
        std::memset(&damaged[at], 0xA5, 300);
        writeFile(temp / "damaged.3mf", damaged);
        expectReadsAgree(temp / "damaged.3mf", "damaged at " + std::to_string(at - data));
        ReadOutcome outcome;
        readWith(temp / "damaged.3mf", TwoThreads, outcome);
        EXPECT_EQ(outcome.result, OperationResult::Failure);
        EXPECT_TRUE(outcome.failure.message.starts_with("cannot extract the model part")) << outcome.failure.message;
    }
}

// A package that declares its model part smaller or larger than it is
// reads alike from memory and from its file (the buffer sized by the
// declaration runs over, or is not filled).
TEST(ThreeMfParallelRead, DeclaredSizesThatLieReadAlike)
{
    TempDir temp;
    const std::string part = gridModelPart(100);
    buildPackage(temp / "grid.3mf", part);
    const std::string honest = readFile(temp / "grid.3mf");
    for (const std::uint32_t declared :
         {static_cast<std::uint32_t>(part.size() / 2), static_cast<std::uint32_t>(part.size() + 4096)}) {
        std::string forged = honest;
        const std::size_t data = modelDataOffset(forged);
        ASSERT_NE(data, std::string::npos);
        const std::size_t local = forged.rfind(std::string("PK\x03\x04", 4), data);
        std::memcpy(&forged[local + 22], &declared, 4);
        const std::size_t central = forged.find(std::string("PK\x01\x02", 4));
        for (std::size_t at = central; at != std::string::npos; at = forged.find(std::string("PK\x01\x02", 4), at + 1))
            if (forged.compare(at + 46, 16, "3D/3dmodel.model") == 0)
                std::memcpy(&forged[at + 24], &declared, 4);
        writeFile(temp / "forged.3mf", forged);
        expectReadsAgree(temp / "forged.3mf", "declared " + std::to_string(declared));
    }
}

// A stop at any point of a read from memory cancels it (on two threads,
// the thread that inflates stops too) and leaves no scratch folder.
TEST(ThreeMfParallelRead, StopAnywhereCancelsBothThreads)
{
    TempDir temp;
    buildPackage(temp / "grid.3mf", gridModelPart(120));
    for (const threemf::ThreeMfReadSplit& split :
         {OneThread, TwoThreads, SmallWindowOneThread, SmallWindowTwoThreads}) {
        RecordingReporter counting;
        Model model;
        ASSERT_EQ(threemf::read3mf(temp / "grid.3mf", model, counting, split), OperationResult::Success);
        const std::uint64_t checks = counting.cancelChecks();
        ASSERT_GT(checks, 100u);
        for (std::uint64_t stopAt = 1; stopAt < checks; stopAt += checks / 10) {
            RecordingReporter stopping;
            stopping.cancelAfterChecks(stopAt);
            Model partial;
            Failure failure;
            EXPECT_EQ(threemf::read3mf(temp / "grid.3mf", partial, stopping, split, &failure),
                      OperationResult::Cancelled)
                << split.threads << " thread(s), stop at check " << stopAt << " of " << checks << ": "
                << describeFailure(failure);
            EXPECT_TRUE(scratchFolders().empty());
        }
    }
}

namespace {

// The parts of a package as the package reader gives them, counting how
// often a model part had to be unpacked into a file after all.
class CountingPartSource : public threemf::PartSource {
public:
    CountingPartSource(std::filesystem::path package, std::filesystem::path folder, bool alongside)
        : package_(std::move(package)), folder_(std::move(folder)), alongside_(alongside)
    {
    }

    std::uint64_t inflatableSize(std::string_view) override { return 64u << 20; }
    bool inflatesAlongside() const override { return alongside_; }
    std::size_t feedWindow() const override { return 64u << 10; }
    std::unique_ptr<ZipEntryFeeder> modelPartFeeder(std::string_view name) override
    {
        auto feeder = std::make_unique<ZipEntryFeeder>();
        if (feeder->open(package_, name, UINT64_MAX) != OperationResult::Success)
            return nullptr;
        return feeder;
    }
    OperationResult modelPart(std::string_view name, std::filesystem::path& file, Failure* failure) override
    {
        ++unpacked;
        RecordingReporter reporter;
        file = folder_ / name;
        return extractZipEntry(package_, name, folder_, reporter, UINT64_MAX, failure);
    }
    OperationResult imagePart(std::string_view, Model&, std::string& file, Failure*) override
    {
        file.clear();
        return OperationResult::Success;
    }

    int unpacked = 0;

private:
    std::filesystem::path package_;
    std::filesystem::path folder_;
    bool alongside_;
};

} // namespace

// A large part goes through the window of text and is walked as it comes,
// on one thread or two; only a text that needs a whole parse (another
// encoding, a tag longer than the window) is unpacked into a file
// and read from there, into a fresh model: the same model either way.
TEST(ThreeMfParallelRead, OnlyTextsThatNeedAWholeParseAreReadFromAFile)
{
    TempDir temp;
    const std::string grid = gridModelPart(60);
    const struct {
        std::string part;
        bool fromFile;
    } cases[] = {
        {grid, false},
        {"\xEF\xBB\xBF" + grid, false},
        {gridModelPart(60, "<metadata name=\"Title\">caf\xe9</metadata>\n"), true},
        {gridModelPart(60, "<metadata name=\"Description\" note=\"" + std::string(200000, 'd') + "\"/>\n"), true},
    };
    for (const auto& c : cases) {
        buildPackage(temp / "case.3mf", c.part);
        ReadOutcome reference;
        readWith(temp / "case.3mf", WholeTreeFromFile, reference);
        ASSERT_EQ(reference.result, OperationResult::Success) << describeFailure(reference.failure);
        for (const bool alongside : {false, true}) {
            CountingPartSource parts(temp / "case.3mf", temp / "unpacked", alongside);
            RecordingReporter reporter;
            Model model;
            Failure failure;
            ASSERT_EQ(threemf::readModelParts("3D/3dmodel.model", parts, model, reporter, &failure),
                      OperationResult::Success)
                << describeFailure(failure);
            EXPECT_EQ(parts.unpacked, c.fromFile ? 1 : 0) << c.part.substr(0, 200);
            ASSERT_EQ(model.objects.size(), reference.model.objects.size());
            const ModelObject& a = *model.objects[0];
            const ModelObject& b = *reference.model.objects[0];
            EXPECT_TRUE(std::equal(a.vertices.begin(), a.vertices.end(), b.vertices.begin(), b.vertices.end()));
            EXPECT_TRUE(std::equal(a.indices.begin(), a.indices.end(), b.indices.begin(), b.indices.end()));
            EXPECT_EQ(model.properties, reference.model.properties);
        }
    }
}
