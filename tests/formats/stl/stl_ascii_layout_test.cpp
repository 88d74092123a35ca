#include "formats/stl/stl.h"
#include "formats/stl/stl_test_files.h"

#include "common/test_support.h"
#include "support/core/parallel_ranges.h"
#include "support/text/numbers.h"
#include "support/text/text.h"
#include "support/text/text_pieces.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace morvex::stl {
namespace {

using namespace morvex::stl::testing;
constexpr std::size_t None = std::string_view::npos;

// The facet rules of the ASCII reader written the plain way: every keyword
// is searched anywhere in its line, and a line that starts a facet or breaks
// one closes the solid when "endsolid" is anywhere in it.
struct ExpectedReading {
    std::vector<TestFacet> facets;
    bool nonFinite = false; // an accepted facet has a coordinate that is no finite number
};

bool has(std::string_view line, std::string_view word)
{
    return line.find(word) != None;
}

bool numbersAt(std::string_view line, std::size_t at, float out[3])
{
    if (at == None)
        return false;
    const char* cursor = line.data() + at;
    const char* end = line.data() + line.size();
    return readNumberToken(cursor, end, out[0]) && readNumberToken(cursor, end, out[1]) &&
           readNumberToken(cursor, end, out[2]);
}

// `lines` follow the "solid" line; the last one closes the solid.
ExpectedReading expectedReading(const std::vector<std::string>& lines)
{
    ExpectedReading expected;
    std::size_t next = 0;
    std::string_view line;
    const auto take = [&] {
        line = trimLeadingSpaces(lines.at(next++));
        return true;
    };
    while (next < lines.size() && take()) {
        if (has(line, "endsolid"))
            break;
        const std::size_t facet = line.find("facet");
        const std::size_t normal = facet == None ? None : line.find("normal", facet + 5);
        float normalValues[3];
        if (normal == None || !numbersAt(line, normal + 6, normalValues))
            continue;
        float corners[9];
        bool whole = take() && has(line, "outer loop");
        for (int corner = 0; whole && corner < 3; ++corner) {
            take();
            const std::size_t vertex = line.find("vertex");
            whole = numbersAt(line, vertex == None ? None : vertex + 6, corners + 3 * corner);
        }
        whole = whole && take() && has(line, "endloop");
        whole = whole && take() && has(line, "endfacet");
        if (!whole) {
            if (has(line, "endsolid"))
                break;
            continue;
        }
        TestFacet kept;
        std::memcpy(kept.corners, corners, sizeof corners);
        expected.facets.push_back(kept);
        for (const float value : corners)
            expected.nonFinite = expected.nonFinite || !std::isfinite(value);
        if (expected.nonFinite)
            break;
    }
    return expected;
}

// Each line of a facet in the usual layout (first) and in ways the searches
// allow or refuse: keywords glued to numbers, elsewhere or twice in the
// line, misspelt, "endsolid" after good or bad numbers, numbers the fast
// number path hands on. '#' stands for three numbers.
// clang-format off
const std::vector<std::vector<std::string_view>> LineVariants = {
    {"facet normal #", "facet normal # endsolid", "facet normal # x endsolid", "facet normal #endsolid",
     "facet normal #\tendsolid", "facet normal endsolid #", "facet  normal #", "facetnormal #", "facet normal#",
     "xx facet yy normal #", "normal facet #", "facet normal 0 0", "facet normal nan 0 1", "facet normal inf -inf 1",
     "facet normal 1e 0 0", "facet normal nan(endsolid) 0 1", "facet normal 0 0 1e99999", "facet normal # facet",
     "facet normal 12345678901234567890 0 1", "facet normal 16777217 0 1 endsolid", "facet normal +.5 -0 1.e5",
     "endsolid", "", "facet normal"},
    {"outer loop", "outer  loop", "outerloop", "the outer loop", "outer loop endsolid", "outer loo", "endsolid"},
    {"vertex #", "vertex#", "vertex vertex #", "A vertex # trailing", "vertex # endsolid", "vertex 1 2",
     "vertex 1 2 endsolid", "vertexendsolid #", "vertex inf 0 0", "xvertex #", "vertex nan 0 0",
     "vertex 16777217 1.6777217e7 -16777219e0"},
    {"endloop", "end loop", "endloop endsolid", "xendloop", "endsolid", "endloo"},
    {"endfacet", "endfacet endsolid", "end facet", "endsolid", "xendfacet", "endfacet x"},
};
// clang-format on

// The seven lines of a facet, indented with spaces or tabs; one line in 30
// is a variant, so that most facets around it are read whole.
std::vector<std::string> facetLines(std::mt19937& random, bool usual)
{
    std::vector<std::string> lines;
    for (const std::size_t kind : {0, 1, 2, 2, 2, 3, 4}) {
        const auto& variants = LineVariants[kind];
        const std::string_view variant =
            usual || random() % 30 != 0 ? variants[0] : variants[random() % variants.size()];
        const char* indents[] = {"", "  ", "    ", "\t", " \t "};
        std::string line = indents[random() % 5];
        for (const char c : variant) {
            if (c != '#') {
                line += c;
                continue;
            }
            for (int i = 0; i < 3; ++i) {
                const float value = std::ldexp(static_cast<float>(random() % 20001) / 1e4f - 1.0f,
                                               static_cast<int>(random() % 30) - 10);
                char text[MaxNumberChars];
                const bool exponent = random() % 2 == 0;
                const int length = exponent ? static_cast<int>(formatExponent3(text, value))
                                            : std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
                line += (i > 0 ? " " : "") + std::string(text, static_cast<std::size_t>(length));
            }
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

struct Reading {
    OperationResult result = OperationResult::Failure;
    std::string failure;
    Model model;
};

void readText(const std::string& text, unsigned threads, Reading& reading)
{
    setThreadsPerFile(threads);
    setMinimumTextPieceBytes(threads > 1 ? 512 : 0);
    StoppableReporter reporter;
    Failure failure;
    reading.result = readStl(text, "layout.stl", reading.model, reporter, &failure);
    if (reading.result != OperationResult::Success)
        reading.failure = describeFailure(failure);
    setThreadsPerFile(1);
    setMinimumTextPieceBytes(0);
}

void expectSameModel(const Model& model, const Model& expected, const std::string& where)
{
    ASSERT_EQ(model.objects.size(), 1u) << where;
    const ModelObject& object = *model.objects.front();
    const ModelObject& reference = *expected.objects.front();
    ASSERT_EQ(object.triangleCount(), reference.triangleCount()) << where;
    ASSERT_EQ(object.vertices.count(), reference.vertices.count()) << where;
    ASSERT_EQ(object.indices.count(), reference.indices.count()) << where;
    EXPECT_EQ(std::memcmp(object.vertices.data(), reference.vertices.data(), object.vertices.count() * 12), 0) << where;
    EXPECT_EQ(std::memcmp(object.indices.data(), reference.indices.data(), object.indices.count() * 4), 0) << where;
}

// Files of facets, most in the usual layout and some broken in one line, are
// read on one thread and in pieces on three, and give what the plain
// searches give: the same facets kept, the solid closed at the same line, a
// coordinate that is no number refused the same way.
TEST(StlAsciiLayout, EveryLineReadsAsThePlainSearchesReadIt)
{
    const std::uint64_t piecesBefore = textsReadInPieces();
    int closedEarly = 0, refused = 0, brokenFacets = 0;
    for (unsigned seed = 1; seed <= 60; ++seed) {
        std::mt19937 random(seed);
        std::vector<std::string> lines;
        // The first facet is whole, so that the text check before it passes.
        for (int facet = 0; facet < 60; ++facet)
            for (std::string& line : facetLines(random, facet == 0))
                lines.push_back(std::move(line));
        lines.push_back("endsolid layout");
        const ExpectedReading expected = expectedReading(lines);
        std::string text = "solid layout\n";
        for (std::size_t i = 0; i < lines.size(); ++i)
            text += lines[i] + (i % 5 == 0 ? "\r\n" : "\n");

        const std::string where = "seed " + std::to_string(seed);
        Reading clean;
        readText(asciiStl("layout", expected.facets), 1, clean);
        ASSERT_EQ(clean.result == OperationResult::Success, !expected.nonFinite) << where;
        for (const unsigned threads : {1u, 3u}) {
            Reading reading;
            readText(text, threads, reading);
            const std::string at = where + " on " + std::to_string(threads) + " threads";
            if (expected.nonFinite) {
                EXPECT_EQ(reading.result, OperationResult::Failure) << at;
                EXPECT_NE(reading.failure.find("not a finite number"), std::string::npos) << at << reading.failure;
                continue;
            }
            ASSERT_EQ(reading.result, OperationResult::Success) << at << ": " << reading.failure;
            expectSameModel(reading.model, clean.model, at);
        }
        closedEarly += expected.facets.size() < 55 && !expected.nonFinite;
        refused += expected.nonFinite;
        brokenFacets += 60 - static_cast<int>(expected.facets.size());
    }
    // The files met each outcome, and some were read in pieces.
    EXPECT_GT(closedEarly, 3);
    EXPECT_GT(refused, 3);
    EXPECT_GT(brokenFacets, 100);
    EXPECT_GT(textsReadInPieces(), piecesBefore);
}

} // namespace
} // namespace morvex::stl
