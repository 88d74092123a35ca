#include "formats/stl/stl_internal.h"
#include "formats/stl/stl_test_files.h"

#include "common/cli_convert.h"
#include "common/recording_reporter.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <random>

namespace morvex::stl {
namespace {

using namespace morvex::stl::testing;

// The facets of a binary STL file's bytes, as the binary reader hands them on.
FacetSpan binaryFacets(const std::string& bytes)
{
    FacetSpan facets;
    facets.data = reinterpret_cast<const unsigned char*>(bytes.data()) + BinaryPrefixBytes;
    facets.count = static_cast<std::uint32_t>((bytes.size() - BinaryPrefixBytes) / FacetRecordBytes);
    facets.stride = FacetRecordBytes;
    facets.vertexOffset = 12;
    facets.hasAttributes = true;
    facets.attributeOffset = 48;
    for (std::uint32_t facet = 0; facet < facets.count; ++facet)
        facets.anyAttributeSet |= facets.attribute(facet) != 0;
    return facets;
}

void expectSameObjects(const ModelObject& expected, const ModelObject& got)
{
    ASSERT_EQ(got.indices.count(), expected.indices.count());
    for (std::uint32_t i = 0; i < expected.indices.count(); ++i)
        ASSERT_EQ(got.indices[i], expected.indices[i]) << "corner " << i;
    ASSERT_EQ(got.vertices.count(), expected.vertices.count());
    for (std::uint32_t i = 0; i < expected.vertices.count(); ++i)
        ASSERT_EQ(std::memcmp(&got.vertices[i], &expected.vertices[i], sizeof(Vector3)), 0) << "vertex " << i;
    ASSERT_EQ(got.colors.count(), expected.colors.count());
    for (std::uint32_t i = 0; i < expected.colors.count(); ++i)
        ASSERT_EQ(got.colors[i], expected.colors[i]) << "colour of vertex " << i;
}

// Merges the facets on one thread and in 2, 3 and 5 parts, which must give
// the same object; returns how many parts of the 5 kept their guesses.
unsigned expectSameInParts(const std::string& bytes, const std::string& what)
{
    SCOPED_TRACE(what);
    const FacetSpan facets = binaryFacets(bytes);
    StoppableReporter reporter;
    Model model;
    ModelObject whole;
    EXPECT_EQ(buildStlObject(facets, model, whole, reporter, nullptr, 1), OperationResult::Success);
    unsigned converged = 0;
    for (unsigned parts : {2u, 3u, 5u}) {
        SCOPED_TRACE(std::to_string(parts) + " parts");
        ModelObject inParts;
        EXPECT_EQ(buildStlObject(facets, model, inParts, reporter, nullptr, parts, &converged),
                  OperationResult::Success);
        expectSameObjects(whole, inParts);
    }
    return converged;
}

// Rows of quads, row after row, so that each row reuses the vertices of the
// one before; colours change along the rows.
std::vector<TestFacet> gridFacets(int columns, int rows, float step)
{
    std::vector<TestFacet> facets;
    facets.reserve(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows) * 2);
    const auto point = [&](int i, int j) {
        return Vector3{static_cast<float>(i) * step, static_cast<float>(j) * step,
                       std::sin(0.01f * static_cast<float>(i + j))};
    };
    for (int j = 0; j < rows; ++j)
        for (int i = 0; i < columns; ++i) {
            const auto colour = static_cast<std::uint16_t>(((i / 16) * 0x421u) & 0x7FFFu);
            facets.push_back({{point(i, j), point(i + 1, j), point(i + 1, j + 1)}, colour});
            facets.push_back({{point(i, j), point(i + 1, j + 1), point(i, j + 1)}, colour});
        }
    return facets;
}

// Facets made to trip the reconciling: near-equal corners (within 2^-23 but
// not bit-equal), coordinates around +-4, NaN and infinite corners, long runs
// of one repeated facet, stretches of more than 10000 new vertices between
// repeats, and fans around one centre that keep the two runs from agreeing.
std::vector<TestFacet> nastyFacets(std::size_t count, unsigned seed, bool nonFinite = true)
{
    std::mt19937 random(seed);
    const auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(random() % n); };
    const auto nudge = [&](float value) {
        for (std::uint32_t step = pick(3); step > 0; --step)
            value = std::nextafter(value, pick(2) ? INFINITY : -INFINITY);
        return value;
    };
    const auto jitter = [&](Vector3 v) { return pick(3) == 0 ? Vector3{nudge(v.x), nudge(v.y), nudge(v.z)} : v; };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<TestFacet> facets;
    const auto add = [&](Vector3 a, Vector3 b, Vector3 c) {
        facets.push_back({{a, b, c}, static_cast<std::uint16_t>(pick(4) == 0 ? pick(0x10000) : 0)});
    };
    float unique = 0.0f;
    while (facets.size() < count) {
        switch (pick(5)) {
        case 0: { // a strip of quads across +-4 and through the cell borders below it
            const float x0 = pick(2) ? 3.9990f : -4.0005f;
            const float y0 = static_cast<float>(pick(64)) / 16384.0f;
            const int columns = 50 + static_cast<int>(pick(400));
            const int rows = 2 + static_cast<int>(pick(30));
            const auto point = [&](int i, int j) {
                return Vector3{x0 + static_cast<float>(i) * 3e-6f, y0 + static_cast<float>(j) * 6.1035156e-05f, 0.5f};
            };
            for (int j = 0; j < rows; ++j)
                for (int i = 0; i < columns; ++i) {
                    add(jitter(point(i, j)), jitter(point(i + 1, j)), jitter(point(i + 1, j + 1)));
                    add(jitter(point(i, j)), jitter(point(i + 1, j + 1)), jitter(point(i, j + 1)));
                }
            break;
        }
        case 1: { // one facet many times over
            const Vector3 a{1.25f, -2.5f, 3.75f}, b{nudge(1.25f), 2.5f, -3.75f}, c{7.0f, 8.0f, 9.0f};
            for (std::uint32_t n = 100 + pick(5000); n > 0; --n)
                add(jitter(a), b, c);
            break;
        }
        case 2: // NaN and infinite corners, repeated
            for (std::uint32_t n = 1 + pick(50); n > 0 && nonFinite; --n)
                add({nan, 0, 0}, {pick(2) ? inf : -inf, 1, 1}, {1.0f, 1.0f, nudge(1.0f)});
            break;
        case 3: { // more than 10000 new vertices, then facets from before them again
            const std::size_t before = facets.size();
            for (int n = 0; n < 3500 + static_cast<int>(pick(1500)); ++n, unique += 1.0f)
                add({unique, 100.0f, 0}, {unique, 200.0f, 0}, {unique, 300.0f, 0});
            for (std::uint32_t n = pick(3000); n > 0 && before > 0; --n)
                facets.push_back(facets[pick(static_cast<std::uint32_t>(before))]);
            break;
        }
        default: { // a fan: every facet uses the centre
            const Vector3 centre{0.25f, 0.25f, -0.25f};
            const int spokes = 3000 + static_cast<int>(pick(15000));
            for (int n = 0; n < spokes; ++n, unique += 1.0f)
                add(jitter(centre), {unique, 1.0f, 2.0f}, {unique + 1.0f, 1.0f, 2.0f});
            break;
        }
        }
    }
    facets.resize(count);
    return facets;
}

// New facets, except that after each cut into `parts` a facet H from just
// before the cut comes again, which the whole run finds and the part's own
// run creates anew. Near: H right at the cut, then m new facets and the
// facet F before the cut backwards, with F's last vertex just inside or
// beyond the window of the whole run. Far: H after 2000 new facets, and
// again after 2000 more, when the whole run has lost its H and the part's
// run still holds its own. Only a full window of creations made by both
// runs, with none by one run alone in between, may end the reconciling.
std::vector<TestFacet> echoAcrossCuts(unsigned parts, bool far)
{
    constexpr std::uint32_t PartFacets = 12000;
    const std::uint32_t count = PartFacets * parts;
    const std::uint32_t nearFacets[] = {3300, 3333, 3331, 3332};
    std::vector<TestFacet> facets;
    float unique = 0.0f;
    while (facets.size() < count) {
        unique += 1.0f;
        facets.push_back({{{unique, 7.0f, 0}, {unique, 8.0f, 0}, {unique, 9.0f, 0}}});
    }
    for (unsigned part = 1; part < parts; ++part) {
        const std::size_t cut = std::size_t{count} * part / parts;
        const TestFacet h = facets[cut - 2], f = facets[cut - 1];
        if (far) {
            facets[cut + 2000] = h;
            facets[cut + 4001] = h;
        } else {
            facets[cut] = h;
            facets[cut + 1 + nearFacets[part % std::size(nearFacets)]] = {{f.corners[2], f.corners[1], f.corners[0]}};
        }
    }
    return facets;
}

TEST(StlParallelMerge, PartsGiveTheSameObjectAsOneThread)
{
    // A mesh like most: every part but the first keeps its guesses.
    EXPECT_EQ(expectSameInParts(binaryStl("grid", gridFacets(300, 400, 0.37f)), "grid"), 4u);
    // Hard cases, one long and one whose parts are shorter than the window.
    expectSameInParts(binaryStl("nasty", nastyFacets(200000, 7)), "nasty");
    expectSameInParts(binaryStl("short", nastyFacets(6000, 11)), "short nasty");
    for (unsigned parts : {2u, 3u, 5u}) {
        for (bool far : {false, true})
            expectSameInParts(binaryStl("echo", echoAcrossCuts(parts, far)),
                              std::string(far ? "far" : "near") + " echo across " + std::to_string(parts) + " parts");
    }

    MORVEX_REQUIRE_CORPUS();
    for (const auto& entry : std::filesystem::directory_iterator(morvex::testing::corpusDir() / "stl")) {
        Model model;
        if (readStlFile(entry.path(), model) != OperationResult::Success)
            continue;
        std::string bytes = morvex::testing::readFile(entry.path());
        if (model.profile.kind == FormatKind::StlAscii) {
            // The read's merged vertices, facet by facet.
            std::vector<TestFacet> facets;
            for (const auto& object : model.objects)
                for (std::uint32_t corner = 0; corner + 2 < object->indices.count(); corner += 3)
                    facets.push_back(
                        {{object->vertices[object->indices[corner]], object->vertices[object->indices[corner + 1]],
                          object->vertices[object->indices[corner + 2]]}});
            bytes = binaryStl("", facets);
        }
        if (bytes.size() > BinaryPrefixBytes)
            expectSameInParts(bytes, entry.path().filename().string());
    }
}

// A stop request is seen while the first part merges and while the others
// are reconciled; progress only grows, and ends as on one thread.
TEST(StlParallelMerge, PartsStopWhenCancelledAndReportProgress)
{
    const std::string bytes = binaryStl("grid", gridFacets(300, 400, 0.37f));
    const FacetSpan facets = binaryFacets(bytes);
    Model model;
    for (std::uint64_t after : {1, 60, 81, 83}) {
        RecordingReporter reporter;
        reporter.cancelAfterChecks(after);
        ModelObject object;
        EXPECT_EQ(buildStlObject(facets, model, object, reporter, nullptr, 3), OperationResult::Cancelled) << after;
        EXPECT_EQ(reporter.cancelChecks(), after);
    }
    RecordingReporter reporter;
    ModelObject object;
    ASSERT_EQ(buildStlObject(facets, model, object, reporter, nullptr, 3), OperationResult::Success);
    EXPECT_EQ(reporter.lastStatus(0), "Processing Colors and Normals: [100%: 240000 / 240000]");
    ASSERT_GT(reporter.progress.size(), 10u);
    for (std::size_t i = 1; i < reporter.progress.size(); ++i)
        EXPECT_GE(reporter.progress[i], reporter.progress[i - 1]);
}

// A file large enough for two parts, converted on one thread and on two.
TEST(StlParallelMerge, CommandLineThreadsWriteTheSameFile)
{
    morvex::testing::TempDir temp;
    {
        std::vector<TestFacet> facets = gridFacets(520, 512, 0.25f);
        const std::vector<TestFacet> nasty = nastyFacets(20000, 3, false);
        facets.insert(facets.begin() + 300000, nasty.begin(), nasty.end());
        std::ofstream(temp / "big.stl", std::ios::binary) << binaryStl("big", facets);
    }
    std::string written[2];
    for (const unsigned threads : {1u, 2u}) {
        const std::filesystem::path folder = temp / ("threads" + std::to_string(threads));
        std::filesystem::create_directories(folder);
        std::string output;
        ASSERT_EQ(morvex::testing::runCommand(
                      morvex::testing::shellQuote(morvex::testing::cliPath().string()) + " convert --threads " +
                          std::to_string(threads) + " " + morvex::testing::shellQuote((temp / "big.stl").string()) +
                          " --to stl --output " + morvex::testing::shellQuote(folder.string()) + " 2>&1",
                      &output),
                  0)
            << output;
        written[threads - 1] = morvex::testing::readFile(folder / "big.stl");
    }
    EXPECT_GT(written[0].size(), (520u * 512u * 2u) * FacetRecordBytes);
    EXPECT_TRUE(written[0] == written[1]) << "the files written differ";
}

} // namespace
} // namespace morvex::stl
