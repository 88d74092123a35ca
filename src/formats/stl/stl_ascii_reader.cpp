#include "formats/stl/stl_internal.h"

#include "support/core/growable_array.h"
#include "support/text/block_line_reader.h"
#include "support/text/numbers.h"
#include "support/text/text.h"

#include <array>
#include <cstdio>

namespace morvex::stl {
namespace {

constexpr std::uint64_t LinesPerCheck = 100;
constexpr std::uint32_t CompileReportEvery = 1000;

struct StagedFacet {
    float corners[9];
};
using FacetStage = GrowableArray<StagedFacet, ArrayFill::None>;

// Bytes allowed in the lines before the first facet: what separates a text
// file from binary data behind a header that happens to begin with "solid".
constexpr std::array<bool, 256> textBytes = [] {
    std::array<bool, 256> table{};
    for (int c = '0'; c <= '9'; ++c)
        table[c] = true;
    for (int c = 'a'; c <= 'z'; ++c)
        table[c] = table[c - 'a' + 'A'] = true;
    for (char c : {'\t', ' ', '+', '-', '.'})
        table[static_cast<unsigned char>(c)] = true;
    return table;
}();

bool isTextLine(std::string_view line)
{
    for (char c : line)
        if (!textBytes[static_cast<unsigned char>(c)])
            return false;
    return true;
}

bool contains(std::string_view line, std::string_view word)
{
    return line.find(word) != std::string_view::npos;
}

// "solid" followed by a space, a tab or nothing; `name` gets the rest after
// the blanks that follow the word.
bool opensSolid(std::string_view line, std::string_view& name)
{
    constexpr std::string_view word = "solid";
    if (line.substr(0, word.size()) != word)
        return false;
    if (line.size() > word.size() && line[word.size()] != ' ' && line[word.size()] != '\t')
        return false;
    std::size_t at = word.size();
    while (at < line.size() && isSeparatorByte(line[at]))
        ++at;
    name = line.substr(at);
    return true;
}

bool readThreeNumbers(std::string_view text, float out[3])
{
    const char* cursor = text.data();
    const char* end = text.data() + text.size();
    return readNumberToken(cursor, end, out[0]) && readNumberToken(cursor, end, out[1]) &&
           readNumberToken(cursor, end, out[2]);
}

// Three numbers after `keyword`, searched anywhere in the line.
bool readKeywordNumbers(std::string_view line, std::string_view keyword, float out[3])
{
    const std::size_t at = line.find(keyword);
    return at != std::string_view::npos && readThreeNumbers(line.substr(at + keyword.size()), out);
}

enum class FacetOutcome { Accepted, Skipped, EndOfSolid, EndOfFile };

class FacetParser {
public:
    explicit FacetParser(BlockLineReader& lines) : lines_(lines) {}

    // A facet starting at `first`. The lines it reads are consumed whether
    // the facet is accepted or not.
    FacetOutcome parse(std::string_view first, float corners[9])
    {
        const std::size_t facet = first.find("facet");
        if (facet == std::string_view::npos)
            return FacetOutcome::Skipped;
        const std::size_t normal = first.find("normal", facet + 5);
        float normalValues[3];
        if (normal == std::string_view::npos || !readThreeNumbers(first.substr(normal + 6), normalValues))
            return FacetOutcome::Skipped;

        std::string_view line;
        if (!nextLine(line))
            return FacetOutcome::EndOfFile;
        if (!contains(line, "outer loop"))
            return rejected(line);
        for (int corner = 0; corner < 3; ++corner) {
            if (!nextLine(line))
                return FacetOutcome::EndOfFile;
            if (!readKeywordNumbers(line, "vertex", corners + corner * 3))
                return rejected(line);
        }
        for (std::string_view closing : {std::string_view("endloop"), std::string_view("endfacet")}) {
            if (!nextLine(line))
                return FacetOutcome::EndOfFile;
            if (!contains(line, closing))
                return rejected(line);
        }
        return FacetOutcome::Accepted;
    }

private:
    bool nextLine(std::string_view& line)
    {
        if (!lines_.next(line))
            return false;
        line = trimLeadingSpaces(line);
        return true;
    }

    // A broken facet is dropped; when the line that broke it closes the
    // solid, the solid ends there rather than the whole file failing.
    static FacetOutcome rejected(std::string_view line)
    {
        return contains(line, "endsolid") ? FacetOutcome::EndOfSolid : FacetOutcome::Skipped;
    }

    BlockLineReader& lines_;
};

void reportLoading(ProgressReporter& phase, std::uint32_t facets)
{
    char text[64];
    std::snprintf(text, sizeof text, "Loading as ASCII: %u facets", facets);
    phase.setStatusText(text, 0);
}

void reportCompiling(ProgressReporter& phase, std::uint32_t done, std::uint32_t total)
{
    char text[96];
    const unsigned percent = static_cast<unsigned>(std::uint64_t{done} * 100 / total);
    std::snprintf(text, sizeof text, "Loading as ASCII: Compiling facets [%u%%: %u / %u]", percent, done, total);
    phase.setStatusText(text, 0);
    phase.setProgress(0.5 + 0.5 * done / total);
}

bool allFinite(const StagedFacet& facet)
{
    for (float value : facet.corners) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        if (nonFiniteBits(bits))
            return false;
    }
    return true;
}

// Reads lines up to "endsolid" into `facets`.
OperationResult readFacets(BlockLineReader& lines, FacetStage& facets, ProgressReporter& phase, Failure* failure,
                           AsciiVerdict* verdict)
{
    FacetParser parser(lines);
    std::uint64_t nextCheck = LinesPerCheck;
    std::string_view line;
    for (;;) {
        if (!lines.next(line))
            return lines.failed()
                       ? failWith(failure, FailureKind::Unreadable, "cannot read file")
                       : failWith(failure, FailureKind::Malformed, "the solid is never closed (no endsolid)");
        line = trimLeadingSpaces(line);
        if (contains(line, "endsolid"))
            return OperationResult::Success;
        if (facets.empty() && !isTextLine(line)) {
            *verdict = AsciiVerdict::NotAscii;
            return failWith(failure, FailureKind::Malformed, "not ASCII STL");
        }
        StagedFacet facet;
        switch (parser.parse(line, facet.corners)) {
        case FacetOutcome::Accepted:
            // Coordinates that are not finite numbers no later step could
            // place or write sensibly.
            if (!allFinite(facet))
                return failWith(failure, FailureKind::Malformed, "a vertex coordinate is not a finite number");
            if (facets.count() == UINT32_MAX || !facets.append(facet))
                return failOutOfMemory(failure);
            break;
        case FacetOutcome::Skipped: break;
        case FacetOutcome::EndOfSolid: return OperationResult::Success;
        case FacetOutcome::EndOfFile:
            return lines.failed() ? failWith(failure, FailureKind::Unreadable, "cannot read file")
                                  : failWith(failure, FailureKind::Malformed, "the file ends inside a facet");
        }
        if (lines.lineCount() >= nextCheck) {
            nextCheck = (lines.lineCount() / LinesPerCheck + 1) * LinesPerCheck;
            if (phase.isCancelled())
                return OperationResult::Cancelled;
            reportLoading(phase, facets.count());
        }
    }
}

// Passes over the facets in file order, reporting progress.
OperationResult compileFacets(const FacetStage& facets, ProgressReporter& phase)
{
    const std::uint32_t total = facets.count();
    for (std::uint32_t done = 0; done < total; ++done) {
        if (done % CompileReportEvery == 0) {
            if (phase.isCancelled())
                return OperationResult::Cancelled;
            reportCompiling(phase, done, total);
        }
    }
    reportCompiling(phase, total, total);
    return OperationResult::Success;
}

} // namespace

OperationResult readStlAscii(BlockSource& source, Model& model, ProgressReporter& reporter, Failure* failure,
                             AsciiVerdict* verdict, std::size_t blockBytes)
{
    *verdict = AsciiVerdict::NotAscii;
    ProgressRange phase(reporter, 0.0, 0.5);
    IndeterminateScope indeterminate(reporter); // until "endsolid"
    BlockLineReader lines(source, blockBytes, MaxLineBytes);
    if (!lines.valid())
        return failOutOfMemory(failure);

    std::string_view line;
    if (!lines.next(line))
        return lines.failed() ? failWith(failure, FailureKind::Unreadable, "cannot read file")
                              : failWith(failure, FailureKind::Malformed, "file is empty");
    std::string_view nameText;
    if (!opensSolid(trimLeadingSpaces(line), nameText))
        return failWith(failure, FailureKind::Malformed, "not ASCII STL");
    const std::string name(trimSpaces(modelText(nameText)));
    *verdict = AsciiVerdict::BadAscii;

    FacetStage facets;
    OperationResult result = readFacets(lines, facets, phase, failure, verdict);
    if (result == OperationResult::Failure)
        placeAtLine(failure, lines.lineCount());
    if (result != OperationResult::Success)
        return result;
    indeterminate.end();
    phase.setProgress(0.5);
    if (facets.empty())
        return failWith(failure, FailureKind::Malformed, "no facets in the solid");
    result = compileFacets(facets, phase);
    if (result != OperationResult::Success)
        return result;

    // Only now does the model change, so that a failed ASCII attempt leaves
    // it as the binary attempt expects it.
    const bool hadName = model.properties.hasProperty(ModelNameKey);
    const std::string oldName = model.properties.getProperty(ModelNameKey);
    model.properties.setProperty(ModelNameKey, name);
    ModelObject* object = model.addObject();
    if (object == nullptr)
        result = failOutOfMemory(failure);
    if (object != nullptr) {
        FacetSpan span;
        span.data = reinterpret_cast<const unsigned char*>(facets.data());
        span.count = facets.count();
        span.stride = sizeof(StagedFacet);
        ProgressRange building(reporter, 0.5, 0.5);
        result = buildStlObject(span, model, *object, building, failure);
        if (result == OperationResult::Failure)
            model.objects.pop_back();
    }
    if (result == OperationResult::Failure) {
        if (hadName)
            model.properties.setProperty(ModelNameKey, oldName);
        else
            model.properties.removeProperty(ModelNameKey);
    }
    return result;
}

} // namespace morvex::stl
