#include "formats/format_table.h"
#include "formats/mqo/mqo.h"

#include "support/platform/files.h"
#include "support/text/numbers.h"
#include "support/text/text.h"
#include "support/text/text_encoding.h"

#include "support/text/text_pieces.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

namespace morvex::mqo {
namespace {

constexpr std::uint64_t LinesPerCheck = 1024;
constexpr std::string_view ObjectNameKey = "ObjectName";

// Splits 8-bit text into whole lines. A line ends at CR or LF; CR LF and LF
// CR pairs are one ending, two equal characters two; the end of the text
// ends the last line.
class Lines {
public:
    explicit Lines(std::string_view text) : text_(text) {}

    bool next(std::string_view& line)
    {
        if (at_ >= text_.size())
            return false;
        const std::size_t end = std::min(text_.find_first_of("\r\n", at_), text_.size());
        line = text_.substr(at_, end - at_);
        at_ = end;
        if (at_ < text_.size()) {
            const char ending = text_[at_++];
            if (at_ < text_.size() && (text_[at_] == '\r' || text_[at_] == '\n') && text_[at_] != ending)
                ++at_;
        }
        ++number_;
        return true;
    }

    std::uint64_t number() const { return number_; }
    std::uint64_t bytesLeft() const { return text_.size() - at_; }
    std::string_view text() const { return text_; }
    std::size_t offset() const { return at_; }
    // Moves to `offset`, the start of a line, past `lines` lines read elsewhere.
    void skipTo(std::size_t offset, std::uint64_t lines)
    {
        at_ = offset;
        number_ += lines;
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
    std::uint64_t number_ = 0;
};

bool isSeparator(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

// The next run of characters above the space, taken off the front of `rest`.
std::string_view takeToken(std::string_view& rest)
{
    std::size_t start = 0;
    while (start < rest.size() && isSeparator(rest[start]))
        ++start;
    std::size_t end = start;
    while (end < rest.size() && !isSeparator(rest[end]))
        ++end;
    const std::string_view token = rest.substr(start, end - start);
    rest.remove_prefix(end);
    return token;
}

std::string_view withoutLeadingTabs(std::string_view line)
{
    while (!line.empty() && (line.front() == '\t' || line.front() == ' '))
        line.remove_prefix(1);
    return line;
}

// Numbers stop at the first character that cannot continue them; a token
// that does not start with one reads as 0.
float floatOf(std::string_view token)
{
    float value = 0.0f;
    const char* at = token.data();
    return parseFloat(at, token.data() + token.size(), value) ? value : 0.0f;
}

// Counts and indices; too large for 64 bits reads as the largest value,
// which no check lets through.
std::int64_t integerOf(std::string_view token)
{
    std::int64_t value = 0;
    const char* begin = token.data();
    if (!token.empty() && token.front() == '+')
        ++begin;
    const auto [next, error] = std::from_chars(begin, token.data() + token.size(), value);
    if (error == std::errc::result_out_of_range)
        return begin < next && *begin == '-' ? INT64_MIN : INT64_MAX;
    return error == std::errc() ? value : 0;
}

bool isClosingLine(std::string_view line)
{
    return line == "}";
}

bool opensChunk(std::string_view line)
{
    while (!line.empty() && isSeparator(line.back()))
        line.remove_suffix(1);
    return !line.empty() && line.back() == '{';
}

bool isLineEndByte(char c)
{
    return c == '\r' || c == '\n';
}

// The body of the chunk whose lines start at `from`: up to the start of its
// closing line, when the first "}" after `from` is on a closing line. Entry
// lines hold no "}", so that line is the one a line by line reading stops
// at; anything else (a stray "}", trailing blanks) returns false and the
// chunk is read line by line.
bool findChunkBody(std::string_view text, std::size_t from, std::size_t& bodyEnd)
{
    const std::size_t brace = text.find('}', from);
    if (brace == std::string_view::npos || (brace + 1 < text.size() && !isLineEndByte(text[brace + 1])))
        return false;
    std::size_t lineStart = brace;
    while (lineStart > from && (text[lineStart - 1] == '\t' || text[lineStart - 1] == ' '))
        --lineStart;
    if (lineStart > from && !isLineEndByte(text[lineStart - 1]))
        return false;
    bodyEnd = lineStart;
    return true;
}

// The offset just after the line ending that ends the line at or after
// `at`, within [from, end). Pairs of CR and LF are taken from the start of
// each run of line-end bytes, as Lines takes them, so that a cut never
// splits an ending or joins two.
std::size_t afterLineEnding(std::string_view text, std::size_t from, std::size_t end, std::size_t at)
{
    std::size_t run = at;
    while (run < end && !isLineEndByte(text[run]))
        ++run;
    if (run >= end)
        return end;
    while (run > from && isLineEndByte(text[run - 1]))
        --run;
    std::size_t cut = run + 1;
    if (cut < end && isLineEndByte(text[cut]) && text[cut] != text[run])
        ++cut;
    return cut;
}

// What one piece of a chunk's body gave: its entries and its line count.
template <typename Entry>
struct ChunkPiece {
    std::vector<Entry> entries;
    std::uint64_t lines = 0;
};

// Reads the lines of text[from, end) into pieces on the threads a file
// may use: `readLine(line, entries)` adds what one line gives. Pieces stop
// early when `stop` is raised.
template <typename Entry, typename ReadLine>
std::vector<ChunkPiece<Entry>> readChunkPieces(std::string_view text, std::size_t from, std::size_t end,
                                               unsigned pieces, ProgressReporter& reporter, std::atomic<bool>& stop,
                                               ReadLine readLine)
{
    std::vector<std::size_t> cuts(pieces + 1, end);
    cuts[0] = from;
    for (unsigned piece = 1; piece < pieces; ++piece)
        cuts[piece] = std::max(cuts[piece - 1], afterLineEnding(text, from, end, from + (end - from) * piece / pieces));
    std::vector<ChunkPiece<Entry>> results(pieces);
    readPieces(pieces, reporter, stop, [&](unsigned piece) {
        ChunkPiece<Entry>& result = results[piece];
        const std::string_view part = text.substr(cuts[piece], cuts[piece + 1] - cuts[piece]);
        // Vertex lines take about 30 bytes and give one entry, face lines
        // about 20 and give three.
        result.entries.reserve(part.size() / 10);
        Lines lines(part);
        std::string_view line;
        while (lines.next(line)) {
            if (lines.number() % LinesPerCheck == 0 && stop.load(std::memory_order_relaxed))
                return;
            readLine(withoutLeadingTabs(line), result.entries);
        }
        result.lines = lines.number();
    });
    return results;
}

class Reader {
public:
    // `utf8Names`: the text is known to be UTF-8 whatever its CodePage line
    // says (it was decoded from UTF-16).
    Reader(std::string_view text, bool utf8Names, Model& model, ProgressReporter& reporter, Failure* failure)
        : lines_(text), model_(model), reporter_(reporter), failure_(failure), utf8Text_(utf8Names),
          utf8Names_(utf8Names)
    {
    }

    OperationResult read()
    {
        std::string_view line;
        if (!lines_.next(line) || !line.starts_with("Metasequoia"))
            return failAtLine(failure_, FailureKind::Malformed, 1, "not an MQO file (no \"Metasequoia\" first line)");
        while (lines_.next(line)) {
            if (const OperationResult result = readTopLevelLine(line); result != OperationResult::Success)
                return result;
        }
        return OperationResult::Success;
    }

private:
    bool nextLine(std::string_view& line)
    {
        if (!lines_.next(line))
            return false;
        if (lines_.number() % LinesPerCheck == 0)
            stopped_ = stopped_ || reporter_.isCancelled();
        return !stopped_;
    }

    // The end of the text (or a stop) inside a chunk.
    OperationResult endedInChunk(const char* chunk)
    {
        if (stopped_)
            return OperationResult::Cancelled;
        return failAtLine(failure_, FailureKind::Malformed, lines_.number(),
                          std::string(chunk) + " chunk not closed before the end of the file");
    }

    OperationResult malformed(std::string message)
    {
        return failAtLine(failure_, FailureKind::Malformed, lines_.number(), message);
    }

    OperationResult readTopLevelLine(std::string_view line)
    {
        if (reporter_.isCancelled())
            return OperationResult::Cancelled;
        std::string_view rest = line;
        const std::string_view keyword = takeToken(rest);
        if (keyword == "Thumbnail" || keyword == "Scene" || keyword == "Material")
            return skipChunk(keyword == "Thumbnail" ? "Thumbnail" : keyword == "Scene" ? "Scene" : "Material");
        if (keyword == "Object")
            return readObject(rest);
        if (keyword == "CodePage")
            utf8Names_ = utf8Text_ || equalsIgnoreCase(takeToken(rest), "utf8");
        return OperationResult::Success; // "Format", "Eof", closing lines and others
    }

    // Lines through the next line that is exactly "}": nested chunks close
    // with indented lines, so they are skipped with it.
    OperationResult skipChunk(const char* chunk)
    {
        std::string_view line;
        while (nextLine(line))
            if (isClosingLine(line))
                return OperationResult::Success;
        return endedInChunk(chunk);
    }

    // A nested chunk of an object that is not read, through its closing line.
    OperationResult skipNested()
    {
        std::string_view line;
        for (int depth = 1; nextLine(line);) {
            line = withoutLeadingTabs(line);
            if (isClosingLine(line) && --depth == 0)
                return OperationResult::Success;
            if (opensChunk(line))
                ++depth;
        }
        return endedInChunk("Object");
    }

    std::string objectName(std::string_view rest) const
    {
        const std::size_t open = rest.find('"');
        if (open == std::string_view::npos)
            return {};
        const std::size_t close = rest.find('"', open + 1);
        const std::string_view name =
            rest.substr(open + 1, close == std::string_view::npos ? std::string_view::npos : close - open - 1);
        return modelText(utf8Names_ ? std::string(name) : shiftJisToUtf8(name));
    }

    OperationResult readObject(std::string_view rest)
    {
        ModelObject* object = model_.addObject();
        if (object == nullptr)
            return failOutOfMemory(failure_);
        object->properties.setProperty(ObjectNameKey, objectName(rest));
        std::string_view line;
        while (nextLine(line)) {
            line = withoutLeadingTabs(line);
            if (isClosingLine(line))
                return OperationResult::Success;
            std::string_view tokens = line;
            const std::string_view keyword = takeToken(tokens);
            OperationResult result = OperationResult::Success;
            // Faces name the vertices read before them: vertices that come
            // after would take away the ones the faces name.
            if (keyword == "vertex" && !object->indices.empty())
                return malformed("a vertex chunk after the object's faces");
            if (keyword == "vertex")
                result = readVertices(*object, integerOf(takeToken(tokens)));
            else if (keyword == "face")
                result = readFaces(*object, integerOf(takeToken(tokens)));
            else if (keyword == "Eof")
                return OperationResult::Success;
            else if (opensChunk(line))
                result = skipNested();
            if (result != OperationResult::Success)
                return result;
        }
        return endedInChunk("Object");
    }

    // Every entry needs a line of its own, so a count beyond the bytes left
    // is damage, refused before anything is allocated.
    bool countFits(std::int64_t count, const char* what)
    {
        if (count >= 0 && count <= UINT32_MAX && static_cast<std::uint64_t>(count) <= lines_.bytesLeft())
            return true;
        malformed(std::string(what) + " count " + std::to_string(count) + " is larger than the rest of the file");
        return false;
    }

    // Vertices without a line of their own stay at (0, 0, 0).
    OperationResult readVertices(ModelObject& object, std::int64_t declared)
    {
        if (!countFits(declared, "vertex"))
            return OperationResult::Failure;
        const auto count = static_cast<std::uint32_t>(declared);
        object.vertices.clear();
        if (count > 0 && !object.vertices.allocate(count))
            return failOutOfMemory(failure_);
        if (const auto pieced = readVerticesInPieces(object, count))
            return *pieced;
        std::uint32_t read = 0;
        std::string_view line;
        while (nextLine(line)) {
            line = withoutLeadingTabs(line);
            if (isClosingLine(line))
                return OperationResult::Success;
            if (read == count)
                continue;
            Vector3& vertex = object.vertices[read++];
            vertex.x = floatOf(takeToken(line));
            vertex.y = floatOf(takeToken(line));
            vertex.z = floatOf(takeToken(line));
        }
        return endedInChunk("vertex");
    }

    OperationResult readFaces(ModelObject& object, std::int64_t declared)
    {
        if (!countFits(declared, "face"))
            return OperationResult::Failure;
        if (declared > 0 && object.vertices.empty())
            return malformed("faces before the vertices of their object");
        // Room for two triangles per face, but never more than the lines
        // left could hold ("3 V(0 1 2)" and its ending take eight bytes at
        // least); more faces than that still fit as the array grows.
        const std::uint32_t existing = object.indices.count();
        const std::uint64_t room =
            6 * std::min<std::uint64_t>(static_cast<std::uint64_t>(declared), lines_.bytesLeft() / 8);
        if (room > 0 &&
            !object.indices.resize(static_cast<std::uint32_t>(std::min<std::uint64_t>(existing + room, UINT32_MAX))))
            return failOutOfMemory(failure_);
        if (const auto pieced = readFacesInPieces(object, existing))
            return *pieced;
        std::uint32_t written = existing;
        std::string_view line;
        while (nextLine(line)) {
            line = withoutLeadingTabs(line);
            if (isClosingLine(line)) {
                // Shrinking keeps the storage and cannot fail.
                return written == object.indices.count() || object.indices.resize(written) ? OperationResult::Success
                                                                                           : failOutOfMemory(failure_);
            }
            std::uint32_t corners[4];
            const int k = faceCorners(line, object.vertices.count(), corners);
            if (k == 0)
                continue;
            const std::uint32_t needed = k == 3 ? 3 : 6;
            if (object.indices.count() - written < needed && !grow(object.indices, written + needed))
                return failOutOfMemory(failure_);
            std::uint32_t* at = object.indices.data() + written;
            at[0] = corners[0], at[1] = corners[1], at[2] = corners[2];
            if (k == 4)
                at[3] = corners[2], at[4] = corners[3], at[5] = corners[0];
            written += needed;
        }
        return endedInChunk("face");
    }

    // The body of the chunk at the current line, when it is large enough to
    // be read on several threads; the pieces to cut it into.
    unsigned chunkPieces(std::size_t& bodyEnd) const
    {
        const std::size_t from = lines_.offset();
        const unsigned pieces = textPiecesFor(lines_.bytesLeft());
        if (pieces < 2 || !findChunkBody(lines_.text(), from, bodyEnd))
            return 1;
        return textPiecesFor(bodyEnd - from);
    }

    // Reads the chunk at the current line in pieces when it is worth it:
    // `readLine(line, entries)` adds what one line gives, `join(pieces)`
    // takes the pieces' entries in order (false when memory ran out). Then
    // the lines the pieces read are passed, and the closing line is read as
    // the line by line reading reads it. No value when the chunk is read
    // line by line instead.
    template <typename Entry, typename ReadLine, typename Join>
    std::optional<OperationResult> readChunkInPieces(ReadLine readLine, Join join)
    {
        std::size_t bodyEnd = 0;
        const unsigned pieces = chunkPieces(bodyEnd);
        if (pieces < 2)
            return std::nullopt;
        try {
            std::atomic<bool> stop{false};
            const std::vector<ChunkPiece<Entry>> results =
                readChunkPieces<Entry>(lines_.text(), lines_.offset(), bodyEnd, pieces, reporter_, stop, readLine);
            if (stop.load(std::memory_order_relaxed)) {
                stopped_ = true;
                return OperationResult::Cancelled;
            }
            if (!join(results))
                return failOutOfMemory(failure_);
            std::uint64_t lines = 0;
            for (const ChunkPiece<Entry>& piece : results)
                lines += piece.lines;
            lines_.skipTo(bodyEnd, lines);
        } catch (const std::bad_alloc&) {
            return failOutOfMemory(failure_);
        }
        std::string_view closing;
        if (!nextLine(closing))
            return OperationResult::Cancelled;
        countTextReadInPieces();
        return OperationResult::Success;
    }

    std::optional<OperationResult> readVerticesInPieces(ModelObject& object, std::uint32_t count)
    {
        const auto readLine = [](std::string_view line, std::vector<Vector3>& entries) {
            Vector3& vertex = entries.emplace_back();
            vertex.x = floatOf(takeToken(line));
            vertex.y = floatOf(takeToken(line));
            vertex.z = floatOf(takeToken(line));
        };
        // Lines beyond the declared count are passed over.
        const auto join = [&](const std::vector<ChunkPiece<Vector3>>& pieces) {
            std::uint32_t read = 0;
            for (const ChunkPiece<Vector3>& piece : pieces) {
                const std::size_t taken = std::min<std::size_t>(piece.entries.size(), count - read);
                std::copy_n(piece.entries.data(), taken, object.vertices.data() + read);
                read += static_cast<std::uint32_t>(taken);
            }
            return true;
        };
        return readChunkInPieces<Vector3>(readLine, join);
    }

    std::optional<OperationResult> readFacesInPieces(ModelObject& object, std::uint32_t existing)
    {
        const std::uint32_t vertexCount = object.vertices.count();
        const auto readLine = [vertexCount](std::string_view line, std::vector<std::uint32_t>& entries) {
            std::uint32_t corners[4];
            const int k = faceCorners(line, vertexCount, corners);
            if (k == 3)
                entries.insert(entries.end(), {corners[0], corners[1], corners[2]});
            else if (k == 4)
                entries.insert(entries.end(), {corners[0], corners[1], corners[2], corners[2], corners[3], corners[0]});
        };
        const auto join = [&](const std::vector<ChunkPiece<std::uint32_t>>& pieces) {
            std::uint64_t total = existing;
            for (const ChunkPiece<std::uint32_t>& piece : pieces)
                total += piece.entries.size();
            if (total > UINT32_MAX || !object.indices.resize(static_cast<std::uint32_t>(total)))
                return false;
            std::uint32_t* at = object.indices.data() + existing;
            for (const ChunkPiece<std::uint32_t>& piece : pieces)
                at = std::copy(piece.entries.begin(), piece.entries.end(), at);
            return true;
        };
        return readChunkInPieces<std::uint32_t>(readLine, join);
    }

    // Doubling, so that faces beyond the declared count cost no more than
    // the others.
    static bool grow(IndexArray& indices, std::uint64_t needed)
    {
        const std::uint64_t wanted = std::max<std::uint64_t>(needed, 2 * std::uint64_t{indices.count()});
        return needed <= UINT32_MAX &&
               indices.resize(static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, UINT32_MAX)));
    }

    // "3 V(a b c) ..." or "4 V(a b c d) ...": the corner count, with every
    // corner below the vertex count; 0 for other faces, which add nothing.
    static int faceCorners(std::string_view line, std::uint32_t vertexCount, std::uint32_t (&corners)[4])
    {
        const std::int64_t k = integerOf(takeToken(line));
        if (k != 3 && k != 4)
            return 0;
        const std::size_t open = line.find('(');
        if (open == std::string_view::npos || trimSpaces(line.substr(0, open)) != "V")
            return 0;
        std::string_view numbers = line.substr(open + 1);
        numbers = numbers.substr(0, numbers.find(')'));
        for (int c = 0; c < k; ++c) {
            const std::int64_t index = integerOf(takeToken(numbers));
            if (index < 0 || index >= vertexCount)
                return 0;
            corners[c] = static_cast<std::uint32_t>(index);
        }
        return static_cast<int>(k);
    }

    Lines lines_;
    Model& model_;
    ProgressReporter& reporter_;
    Failure* failure_;
    bool stopped_ = false;
    bool utf8Text_ = false;
    bool utf8Names_ = false;
};

} // namespace

OperationResult readMqo(const std::filesystem::path& path, Model& model, ProgressReporter& reporter, Failure* failure)
{
    MappedFile file;
    if (file.open(path, failure) != OperationResult::Success)
        return OperationResult::Failure;
    return readMqo(file.view(), path.string(), model, reporter, failure);
}

OperationResult readMqo(std::string_view bytes, std::string_view, Model& model, ProgressReporter& reporter,
                        Failure* failure)
{
    IndeterminateScope indeterminate(reporter);
    reporter.setStatusText("Opening file...", 1);
    if (bytes.empty())
        return failWith(failure, FailureKind::Malformed, "empty file");
    // Names are Shift-JIS as a rule, which has no NUL bytes; a file saved as
    // UTF-16 with a mark is read as the UTF-8 it decodes to.
    std::string decoded;
    std::string_view text;
    if (textAsUtf8(bytes, decoded, text, failure) != OperationResult::Success)
        return OperationResult::Failure;
    Reader reader(text, !decoded.empty(), model, reporter, failure);
    const OperationResult result = reader.read();
    reporter.setStatusText("", 1);
    if (result != OperationResult::Success) {
        model.reset(); // no half-read object is left behind
        return result;
    }
    // Objects without triangles have no mesh to offer.
    model.removeEmptyObjects();
    model.profile = profileForExtension(".mqo");
    return OperationResult::Success;
}

} // namespace morvex::mqo
