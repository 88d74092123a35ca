#include "formats/stl/stl_internal.h"

#include "support/core/growable_array.h"
#include "support/text/block_line_reader.h"
#include "support/text/numbers.h"
#include "support/text/text.h"
#include "support/text/text_pieces.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace morvex::stl {
namespace {

constexpr std::uint64_t LinesPerCheck = 100;
constexpr std::uint32_t CompileReportEvery = 1000;
constexpr std::string_view Utf8Mark = "\xEF\xBB\xBF";

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

// Three numbers after `keyword`, searched anywhere in the line. A line that
// starts with it has its first occurrence there. Inlined, so that the
// comparison with the keyword, whose length is then known, needs no call.
[[gnu::always_inline]] inline bool readKeywordNumbers(std::string_view line, std::string_view keyword, float out[3])
{
    const std::size_t at = line.starts_with(keyword) ? 0 : line.find(keyword);
    return at != std::string_view::npos && readThreeNumbers(line.substr(at + keyword.size()), out);
}

[[gnu::always_inline]] inline bool startsWithOrContains(std::string_view line, std::string_view word)
{
    return line.starts_with(word) || contains(line, word);
}

// The normal's numbers are checked, never used.
bool skipThreeNumbers(const char*& cursor, const char* end)
{
    return skipNumberToken(cursor, end) && skipNumberToken(cursor, end) && skipNumberToken(cursor, end);
}

// What the line where a facet may start says, as the searches for
// "endsolid", then "facet", then "normal" and its three numbers decide it.
enum class FirstLine { ClosesSolid, OpensFacet, Other };

FirstLine classifyFirstLine(std::string_view line)
{
    const char* end = line.data() + line.size();
    // The usual layout. Up to the third number the line holds only the
    // letters of "facet normal", signs, digits, points, 'e', 'E' and
    // separators: no "endsolid" starts before that number's end, so a
    // search of the rest answers for the whole line.
    constexpr std::string_view opening = "facet normal";
    if (line.starts_with(opening)) {
        const char* cursor = line.data() + opening.size();
        if (skipPlainNumberToken(cursor, end) && skipPlainNumberToken(cursor, end) && skipPlainNumberToken(cursor, end))
            return contains(std::string_view(cursor, static_cast<std::size_t>(end - cursor)), "endsolid")
                       ? FirstLine::ClosesSolid
                       : FirstLine::OpensFacet;
    }
    if (contains(line, "endsolid"))
        return FirstLine::ClosesSolid;
    const std::size_t facet = line.find("facet");
    if (facet == std::string_view::npos)
        return FirstLine::Other;
    const std::size_t normal = line.find("normal", facet + 5);
    if (normal == std::string_view::npos)
        return FirstLine::Other;
    const char* cursor = line.data() + normal + 6;
    return skipThreeNumbers(cursor, end) ? FirstLine::OpensFacet : FirstLine::Other;
}

enum class FacetOutcome { Accepted, Skipped, EndOfSolid, EndOfFile };

// Reads facets from `Lines`: the block reader of a streamed file, or the
// line reader of one piece of a text held whole. Keywords are searched
// anywhere in their lines; a line that starts with its keyword (the usual
// layout) answers the search at once.
template <typename Lines>
class FacetParser {
public:
    explicit FacetParser(Lines& lines) : lines_(lines) {}

    // The rest of a facet whose first line opened it. The lines it reads
    // are consumed whether the facet is accepted or not.
    FacetOutcome parse(float corners[9])
    {
        std::string_view line;
        if (!nextLine(line))
            return FacetOutcome::EndOfFile;
        if (!startsWithOrContains(line, "outer loop"))
            return rejected(line);
        for (int corner = 0; corner < 3; ++corner) {
            if (!nextLine(line))
                return FacetOutcome::EndOfFile;
            if (!readKeywordNumbers(line, "vertex", corners + corner * 3))
                return rejected(line);
        }
        if (!nextLine(line))
            return FacetOutcome::EndOfFile;
        if (!startsWithOrContains(line, "endloop"))
            return rejected(line);
        if (!nextLine(line))
            return FacetOutcome::EndOfFile;
        if (!startsWithOrContains(line, "endfacet"))
            return rejected(line);
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

    Lines& lines_;
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
        const FirstLine first = classifyFirstLine(line);
        if (first == FirstLine::ClosesSolid)
            return OperationResult::Success;
        if (facets.empty() && !isTextLine(line)) {
            *verdict = AsciiVerdict::NotAscii;
            return failWith(failure, FailureKind::Malformed, "not ASCII STL");
        }
        StagedFacet facet;
        switch (first == FirstLine::OpensFacet ? parser.parse(facet.corners) : FacetOutcome::Skipped) {
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
    if (total > 0)
        reportCompiling(phase, total, total);
    return OperationResult::Success;
}

// One "solid ... endsolid" block: its name and where its facets start in
// the facets of the whole file.
struct Solid {
    std::string name;
    std::uint32_t firstFacet = 0;
};

// After an "endsolid": the next solid, if the file goes on with one. Blank
// lines are passed over; anything else ends the reading, as the end of the
// file does. `trailingText` tells whether what ended it was text.
template <typename Lines>
bool nextSolid(Lines& lines, std::string_view& name, bool& trailingText)
{
    std::string_view line;
    while (lines.next(line)) {
        line = trimSpaces(line);
        if (line.empty())
            continue;
        trailingText = isTextLine(line);
        return opensSolid(line, name);
    }
    return false;
}

OperationResult readSolids(BlockLineReader& lines, std::string_view firstName, FacetStage& facets,
                           std::vector<Solid>& solids, ProgressReporter& phase, Failure* failure, AsciiVerdict* verdict)
{
    std::string_view name = firstName;
    bool trailingText = true;
    do {
        solids.push_back(Solid{std::string(trimSpaces(modelText(name))), facets.count()});
        const OperationResult result = readFacets(lines, facets, phase, failure, verdict);
        if (result == OperationResult::Failure)
            placeAtLine(failure, lines.lineCount());
        if (result != OperationResult::Success)
            return result;
    } while (nextSolid(lines, name, trailingText));
    if (lines.failed())
        return failWith(failure, FailureKind::Unreadable, "cannot read file");
    // A header that happens to read "solid ... endsolid" before binary data
    // is no empty ASCII solid: the binary reader gets the file.
    if (facets.empty() && !trailingText) {
        *verdict = AsciiVerdict::NotAscii;
        return failWith(failure, FailureKind::Malformed, "not ASCII STL");
    }
    return OperationResult::Success;
}

OperationResult buildSolids(const FacetStage& facets, const std::vector<Solid>& solids, Model& model,
                            ProgressReporter& reporter, Failure* failure)
{
    const double total = std::max<double>(facets.count(), 1);
    for (std::size_t i = 0; i < solids.size(); ++i) {
        const std::uint32_t first = solids[i].firstFacet;
        const std::uint32_t end = i + 1 < solids.size() ? solids[i + 1].firstFacet : facets.count();
        ModelObject* object = model.addObject();
        if (object == nullptr)
            return failOutOfMemory(failure);
        object->properties.setProperty(ObjectNameKey, solids[i].name);
        FacetSpan span;
        span.data = reinterpret_cast<const unsigned char*>(facets.data() + first);
        span.count = end - first;
        span.stride = sizeof(StagedFacet);
        ProgressRange building(reporter, 0.5 + 0.5 * first / total, 0.5 * span.count / total);
        if (const OperationResult result = buildStlObject(span, model, *object, building, failure);
            result != OperationResult::Success)
            return result;
    }
    return OperationResult::Success;
}

// ---------------------------------------------------------------------------
// A large text held whole is read by several threads, one piece each. Every
// piece but the first starts at a line that opens a facet; the reading of a
// piece goes on past its end to the first line it meets at the top level
// (outside a facet) at or beyond where the next piece started. Where that is
// exactly the next piece's start, the next piece read what one reading
// would have read; anywhere else, and wherever the one reading would fail or
// decide something on what came before (the first facet of the file), the
// file is read again the ordinary way, which gives that reading's answer.

struct SolidPiece {
    FacetStage facets;
    std::vector<Solid> solids; // solids opened in the piece, facets counted in it
    std::size_t handedOverAt = std::string_view::npos;
    bool endsReading = false;             // the last solid closed here
    bool trailingText = true;             // what ended the reading was text (unused: a file with facets)
    bool nonTextBeforeFirstFacet = false; // matters when no piece before has a facet
    bool unusual = false;                 // the ordinary reading decides
};

// The first line at or after `from` that opens a facet, or the text's end.
std::size_t firstFacetLine(std::string_view text, std::size_t from)
{
    TextLineReader lines(text, from, MaxLineBytes);
    std::size_t start = from;
    std::string_view line;
    while (lines.next(line)) {
        if (trimLeadingSpaces(line).starts_with("facet"))
            return start;
        start = lines.position();
    }
    return text.size();
}

// The flags the pieces share: a stop asked for, and the pieces given up
// because the one reading is sure to decide (binary data behind a "solid"
// header, say), so that no piece reads on for nothing.
struct PieceSignals {
    std::atomic<bool> stop{false};
    std::atomic<bool> givenUp{false};
};

class PieceReader {
public:
    PieceReader(WholeText whole, SolidPiece& piece, PieceSignals& signals, ProgressReporter* phase)
        : whole_(whole), piece_(piece), signals_(signals), phase_(phase)
    {
    }

    void read(std::size_t from, std::size_t nextPieceStart)
    {
        TextLineReader lines(whole_.text, from, MaxLineBytes);
        PassedPages pages(whole_.mapping, whole_.text.data() + from);
        FacetParser parser(lines);
        std::uint64_t nextCheck = LinesPerCheck;
        std::string_view line;
        for (;;) {
            if (lines.position() >= nextPieceStart) {
                piece_.handedOverAt = lines.position();
                return;
            }
            if (!lines.next(line))
                return giveUp(); // the solid is never closed
            line = trimLeadingSpaces(line);
            StagedFacet facet;
            const FirstLine first = classifyFirstLine(line);
            const FacetOutcome outcome =
                first == FirstLine::ClosesSolid ? FacetOutcome::EndOfSolid : startFacet(parser, line, first, facet);
            if (outcome == FacetOutcome::Accepted && !keep(facet))
                return;
            if (outcome == FacetOutcome::EndOfFile || piece_.unusual)
                return giveUp();
            if (outcome == FacetOutcome::EndOfSolid && !openNextSolid(lines))
                return;
            if (lines.lineCount() >= nextCheck) {
                nextCheck += LinesPerCheck;
                if (stopped())
                    return;
                pages.passed(whole_.text.data() + lines.position());
            }
        }
    }

private:
    FacetOutcome startFacet(FacetParser<TextLineReader>& parser, std::string_view line, FirstLine first,
                            StagedFacet& facet)
    {
        if (piece_.facets.empty() && !isTextLine(line)) {
            piece_.nonTextBeforeFirstFacet = true;
            // In the first piece this is no text file: the one reading says so.
            piece_.unusual = piece_.unusual || phase_ != nullptr;
        }
        return first == FirstLine::OpensFacet ? parser.parse(facet.corners) : FacetOutcome::Skipped;
    }

    void giveUp()
    {
        piece_.unusual = true;
        signals_.givenUp.store(true, std::memory_order_relaxed);
    }

    bool keep(const StagedFacet& facet)
    {
        if (!allFinite(facet) || piece_.facets.count() == UINT32_MAX || !piece_.facets.append(facet)) {
            giveUp();
            return false;
        }
        return true;
    }

    // After "endsolid": false when the reading ends here.
    bool openNextSolid(TextLineReader& lines)
    {
        std::string_view name;
        if (nextSolid(lines, name, piece_.trailingText)) {
            piece_.solids.push_back(Solid{std::string(trimSpaces(modelText(name))), piece_.facets.count()});
            return true;
        }
        piece_.endsReading = true;
        return false;
    }

    // A stop asked for, or the pieces given up (then this one is unusual too).
    bool stopped()
    {
        if (phase_ != nullptr) {
            if (phase_->isCancelled())
                signals_.stop.store(true, std::memory_order_relaxed);
            else
                reportLoading(*phase_, piece_.facets.count());
        }
        if (signals_.givenUp.load(std::memory_order_relaxed))
            piece_.unusual = true;
        return piece_.unusual || signals_.stop.load(std::memory_order_relaxed);
    }

    WholeText whole_;
    SolidPiece& piece_;
    PieceSignals& signals_;
    ProgressReporter* phase_;
};

// Appends the pieces that the one reading would have read, in order, to
// `facets` and `solids` (which hold the first solid). False when the
// ordinary reading has to decide, also for a file without facets (binary
// data behind a header may read as an empty solid).
bool joinPieces(std::vector<SolidPiece>& pieces, const std::vector<std::size_t>& starts, FacetStage& facets,
                std::vector<Solid>& solids)
{
    std::uint64_t total = 0;
    std::size_t used = 0;
    for (; used < pieces.size(); ++used) {
        const SolidPiece& piece = pieces[used];
        if (piece.unusual || (piece.nonTextBeforeFirstFacet && total == 0))
            return false;
        total += piece.facets.count();
        if (piece.endsReading)
            break;
        if (used + 1 == pieces.size() || piece.handedOverAt != starts[used + 1])
            return false;
    }
    if (used == pieces.size() || total == 0 || total >= UINT32_MAX)
        return false;
    for (std::size_t i = 0; i <= used; ++i) {
        SolidPiece& piece = pieces[i];
        for (Solid& solid : piece.solids)
            solids.push_back(Solid{std::move(solid.name), solid.firstFacet + facets.count()});
        if (!appendReleasing(facets, piece.facets))
            return false;
    }
    return true;
}

enum class PiecesOutcome { Read, Cancelled, ReadAsOne };

// Reads the solids of `text` in pieces on several threads, when it is large
// enough and the file is of the ordinary kind.
PiecesOutcome readSolidsInPieces(WholeText whole, FacetStage& facets, std::vector<Solid>& solids,
                                 ProgressReporter& phase)
{
    const std::string_view text = whole.text;
    const unsigned count = textPiecesFor(text.size());
    if (count < 2)
        return PiecesOutcome::ReadAsOne;
    TextLineReader first(text, 0, MaxLineBytes);
    std::string_view line, nameText;
    if (!first.next(line))
        return PiecesOutcome::ReadAsOne;
    if (line.starts_with(Utf8Mark))
        line.remove_prefix(Utf8Mark.size());
    if (!opensSolid(trimLeadingSpaces(line), nameText))
        return PiecesOutcome::ReadAsOne;

    std::vector<std::size_t> starts = lineCuts(text, count);
    starts[0] = first.position();
    for (unsigned i = 1; i < count; ++i)
        starts[i] = std::max(starts[i - 1], firstFacetLine(text, std::max(starts[i], starts[0])));
    starts[count] = std::string_view::npos;

    std::vector<SolidPiece> pieces(count);
    PieceSignals signals;
    readPieces(count, phase, signals.stop, [&](unsigned i) {
        PieceReader(whole, pieces[i], signals, i == 0 ? &phase : nullptr).read(starts[i], starts[i + 1]);
    });
    if (signals.stop.load())
        return PiecesOutcome::Cancelled;
    solids.push_back(Solid{std::string(trimSpaces(modelText(nameText))), 0});
    if (!joinPieces(pieces, starts, facets, solids)) {
        facets.release();
        solids.clear();
        return PiecesOutcome::ReadAsOne;
    }
    countTextReadInPieces();
    return PiecesOutcome::Read;
}

// The solids of a streamed file, line by line.
OperationResult readSolidsStreaming(BlockSource& source, std::size_t blockBytes, FacetStage& facets,
                                    std::vector<Solid>& solids, ProgressReporter& phase, Failure* failure,
                                    AsciiVerdict* verdict)
{
    BlockLineReader lines(source, blockBytes, MaxLineBytes);
    if (!lines.valid())
        return failOutOfMemory(failure);

    std::string_view line;
    if (!lines.next(line))
        return lines.failed() ? failWith(failure, FailureKind::Unreadable, "cannot read file")
                              : failWith(failure, FailureKind::Malformed, "file is empty");
    std::string_view nameText;
    if (line.starts_with(Utf8Mark))
        line.remove_prefix(Utf8Mark.size());
    if (!opensSolid(trimLeadingSpaces(line), nameText))
        return failWith(failure, FailureKind::Malformed, "not ASCII STL");
    *verdict = AsciiVerdict::BadAscii;
    return readSolids(lines, nameText, facets, solids, phase, failure, verdict);
}

} // namespace

// Every "solid ... endsolid" block becomes an object named by its solid
// line; a block without facets an object without triangles (as the writers
// write an empty model).
OperationResult readStlAscii(BlockSource& source, Model& model, ProgressReporter& reporter, Failure* failure,
                             AsciiVerdict* verdict, WholeText wholeText, std::size_t blockBytes)
{
    *verdict = AsciiVerdict::NotAscii;
    ProgressRange phase(reporter, 0.0, 0.5);
    IndeterminateScope indeterminate(reporter); // until the last "endsolid"
    FacetStage facets;
    std::vector<Solid> solids;
    OperationResult result = OperationResult::Success;
    switch (readSolidsInPieces(wholeText, facets, solids, phase)) {
    case PiecesOutcome::Read: *verdict = AsciiVerdict::BadAscii; break;
    case PiecesOutcome::Cancelled: return OperationResult::Cancelled;
    case PiecesOutcome::ReadAsOne:
        result = readSolidsStreaming(source, blockBytes, facets, solids, phase, failure, verdict);
        break;
    }
    if (result != OperationResult::Success)
        return result;
    indeterminate.end();
    phase.setProgress(0.5);
    result = compileFacets(facets, phase);
    if (result != OperationResult::Success)
        return result;

    // Only now does the model change, so that a failed ASCII attempt leaves
    // it as the binary attempt expects it.
    const std::size_t objectsBefore = model.objects.size();
    const bool hadName = model.properties.hasProperty(ModelNameKey);
    const std::string oldName = model.properties.getProperty(ModelNameKey);
    model.properties.setProperty(ModelNameKey, solids.front().name);
    result = buildSolids(facets, solids, model, reporter, failure);
    if (result == OperationResult::Failure) {
        model.objects.resize(objectsBefore);
        if (hadName)
            model.properties.setProperty(ModelNameKey, oldName);
        else
            model.properties.removeProperty(ModelNameKey);
    }
    return result;
}

} // namespace morvex::stl
