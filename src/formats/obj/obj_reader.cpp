#include "formats/obj/obj.h"
#include "formats/obj/obj_internal.h"

#include "mesh/polygon_triangulation.h"
#include "support/core/parallel_ranges.h"
#include "support/platform/files.h"
#include "support/text/text_encoding.h"

#include "support/text/text_pieces.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <optional>

namespace morvex::obj {

namespace {

constexpr std::uint32_t FacesPerCompileStep = 1u << 16;
// Fewer faces than this per thread are not worth one when the model is built.
constexpr std::uint32_t DefaultCompileFacesPerThread = 1u << 15;

// Face corners keep the zero-based index plus one, so that an entry of a
// zero-filled array means "none".
using CornerIndices = GrowableArray<std::uint32_t, ArrayFill::Zero>;

// The corner count of every face, a byte each: faces of 255 corners or more
// are rare and keep their counts in a list of their own, in face order, so
// that a file of triangles spends one byte a face. Read in face order.
class FaceSizes {
public:
    // False when memory ran out.
    bool append(std::uint32_t corners)
    {
        if (corners < Large)
            return small_.append(static_cast<std::uint8_t>(corners));
        return large_.append(corners) && small_.append(Large);
    }
    std::uint32_t count() const { return small_.count(); }
    // Appends the sizes of `other`, which is left empty; false when memory
    // ran out.
    bool appendAll(FaceSizes& other)
    {
        return appendReleasing(small_, other.small_) && appendReleasing(large_, other.large_);
    }
    std::uint32_t largeCount() const { return large_.count(); }
    bool empty() const { return small_.empty(); }
    // Of the faces [begin, end): the corners of those that are not large,
    // and how many are.
    void countSmall(std::uint32_t begin, std::uint32_t end, std::uint64_t& smallCorners,
                    std::uint32_t& largeFaces) const
    {
        std::uint64_t corners = 0;
        std::uint32_t large = 0;
        for (std::uint32_t face = begin; face < end; ++face) {
            const std::uint8_t size = small_[face];
            corners += size != Large ? size : 0;
            large += size == Large ? 1 : 0;
        }
        smallCorners = corners;
        largeFaces = large;
    }
    // The corners of `count` large faces from the `first`-th on.
    std::uint64_t sumLarge(std::uint32_t first, std::uint32_t count) const
    {
        std::uint64_t corners = 0;
        for (std::uint32_t k = first; k < first + count; ++k)
            corners += large_[k];
        return corners;
    }
    // The corner count of `face`, where `large` counts the large faces
    // before it; steps `large` past a large face.
    std::uint32_t next(std::uint32_t face, std::uint32_t& large) const
    {
        const std::uint8_t size = small_[face];
        return size != Large ? size : large_[large++];
    }

private:
    static constexpr std::uint8_t Large = 255;
    GrowableArray<std::uint8_t> small_;
    GrowableArray<std::uint32_t> large_;
};

struct FaceRun {
    std::uint32_t firstFace;
    std::uint32_t largeFacesBefore; // where the run starts in the list of large faces
    std::int32_t materialId;        // in a piece: its "usemtl" line, counted in the piece
};

// The material of the faces before a piece's first "usemtl": that of the
// piece before.
constexpr std::int32_t InheritedMaterial = -2;

// The corners of one piece whose index counts back from the end of a list
// (negative indices): the piece knows only its own part of the list, so
// their values are completed when the pieces are joined. A mark per corner;
// a marked value v > 0 means entry v of the piece's part, and the few that
// reach back before the piece keep their count in `beforePiece`.
struct RelativeCorners {
    GrowableArray<std::uint64_t> marked;
    std::vector<std::pair<std::uint32_t, std::int64_t>> beforePiece; // corner, entry from the piece's first (< 0)
    bool outOfMemory = false;

    void mark(std::uint32_t corner)
    {
        const std::uint32_t word = corner / 64;
        if (word >= marked.count() && !marked.resize(word + 1))
            outOfMemory = true;
        else
            marked[word] |= std::uint64_t{1} << (corner % 64);
    }
};

// A "mtllib" or "usemtl" line of a piece, taken up in file order when the
// pieces are joined (materials are numbered in the order they appear).
struct MaterialLine {
    bool library;
    std::string text;
};

// What a piece of a file read by several threads keeps beside its lists.
struct PieceState {
    bool countsFromPiece = false; // false for the first piece, whose lists start at the file's start
    RelativeCorners positions, texCoords, normals;
    std::vector<MaterialLine> materialLines;
    std::int32_t uses = 0; // "usemtl" lines so far
};

// What the first pass collects from the file.
struct RawObj {
    Vector3Array positions;
    ColorArray positionColours; // started by the first "v" line with a colour
    Vector3Array normals;
    TexCoordArray texCoords;
    CornerIndices cornerPositions;
    CornerIndices cornerTexCoords; // started by the first corner that names one
    CornerIndices cornerNormals;   // likewise
    FaceSizes faceSizes;
    GrowableArray<FaceRun> runs; // consecutive faces with the same material
    MaterialCollection materials;
    std::int32_t currentMaterial = -1;
    PieceState* piece = nullptr; // set while one piece of a file is read
    // The corners of the face being read; kept from face to face so that
    // their storage is allocated once.
    CornerIndices facePositions;
    CornerIndices faceTexCoords;
    CornerIndices faceNormals;
};

// ---------------------------------------------------------------------------
// First pass: the lists of the file.

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The value of the first `count` (1 to 8) digits of `digits`, which holds
// eight bytes of text with '0' taken away (a digit is then 0 to 9), the
// first in the lowest byte: the bytes after them are shifted out, and the
// eight that remain are combined in pairs, fours and eights.
std::int64_t leadingDigitsValue(std::uint64_t digits, int count)
{
    static_assert(std::endian::native == std::endian::little, "the first byte of a word is its lowest");
    digits <<= 64 - 8 * count;
    digits = digits * 10 + (digits >> 8);
    digits = ((digits & 0x000000FF000000FF) * 0x000F424000000064 +
              ((digits >> 16) & 0x000000FF000000FF) * 0x0000271000000001) >>
             32;
    return static_cast<std::int64_t>(digits);
}

// An index of one to seven digits followed by anything, read as one
// eight-byte word: no branch per digit, which face lines of indices of
// every length would mispredict. False, with nothing read, when fewer than
// eight bytes are left or all eight are digits.
bool readShortIndex(const char*& at, const char* end, std::int64_t& number)
{
    if (end - at < 8)
        return false;
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    // Bytes '0' to '9', and only they, become 0 to 9; any other gets its top
    // bit set. A carry out of a byte only reaches the bytes after it.
    const std::uint64_t digits = word ^ 0x3030303030303030;
    const std::uint64_t nonDigits = ((digits + 0x7676767676767676) | digits) & 0x8080808080808080;
    if (nonDigits == 0)
        return false;
    const int count = std::countr_zero(nonDigits) / 8;
    number = leadingDigitsValue(digits, count);
    at += count;
    return true;
}

// An index as written, with its sign. Saturates far beyond any list.
bool readIndexNumber(const char*& cursor, const char* end, std::int64_t& value)
{
    const char* at = cursor;
    bool negative = false;
    if (at < end && (*at == '-' || *at == '+')) {
        negative = *at == '-';
        ++at;
    }
    if (at >= end || !isDigit(*at))
        return false;
    std::int64_t number = 0;
    if (!readShortIndex(at, end, number))
        for (; at < end && isDigit(*at); ++at)
            if (number < (std::int64_t{1} << 40))
                number = number * 10 + (*at - '0');
    value = negative ? -number : number;
    cursor = at;
    return true;
}

// A written index as stored: k > 0 is the k-th entry, -k the k-th from the
// end of what was read so far, 0 none. One before the first entry is stored
// as UINT32_MAX, which names nothing.
std::uint32_t storedIndex(std::int64_t written, std::uint32_t listCount)
{
    if (written > 0)
        return static_cast<std::uint32_t>(std::min<std::int64_t>(written, UINT32_MAX));
    if (written == 0)
        return 0;
    const std::int64_t fromStart = std::int64_t{listCount} + written;
    return fromStart < 0 ? UINT32_MAX : static_cast<std::uint32_t>(fromStart + 1);
}

// A negative index in a piece that does not start the file: marked, to be
// completed at the join. Kept out of line, as most files have none.
[[gnu::noinline]] std::uint32_t markedCornerIndex(RawObj& raw, std::int64_t written, std::uint32_t listCount,
                                                  RelativeCorners PieceState::*kind)
{
    RelativeCorners& corners = raw.piece->*kind;
    const std::uint32_t corner = raw.cornerPositions.count() + raw.facePositions.count();
    corners.mark(corner);
    const std::int64_t fromPieceStart = std::int64_t{listCount} + written;
    if (fromPieceStart >= 0)
        return static_cast<std::uint32_t>(fromPieceStart + 1);
    corners.beforePiece.emplace_back(corner, fromPieceStart);
    return UINT32_MAX; // names something: the join puts in what
}

// A corner's index as stored, for the list of `kind`.
[[gnu::always_inline]] inline std::uint32_t cornerIndex(RawObj& raw, std::int64_t written, std::uint32_t listCount,
                                                        RelativeCorners PieceState::*kind)
{
    if (written >= 0 || raw.piece == nullptr || !raw.piece->countsFromPiece)
        return storedIndex(written, listCount);
    return markedCornerIndex(raw, written, listCount, kind);
}

struct FaceUse {
    bool anyTexCoord = false;
    bool anyNormal = false;
};

// Skips what follows a number inside a corner ("12abc/3" reads as "12/3").
void skipCornerJunk(const char*& at, const char* end)
{
    while (at < end && LineScanner::isTokenByte(*at) && *at != '/')
        ++at;
}

// Moves past a slash that continues the corner, blanks around it allowed.
bool takeSlash(const char*& at, const char* end)
{
    const char* look = at;
    while (look < end && LineScanner::isBlank(*look))
        ++look;
    if (look >= end || *look != '/')
        return false;
    ++look;
    while (look < end && LineScanner::isBlank(*look))
        ++look;
    at = look;
    return true;
}

// Corners "p", "p/t", "p//n" and "p/t/n", as many as the line holds, into
// the face arrays of `raw`. A token holding no index at all is no corner.
// False when memory ran out.
bool readFaceCorners(LineScanner& line, RawObj& raw, FaceUse& use)
{
    const char*& at = line.cursor();
    const char* end = line.end();
    raw.facePositions.clear();
    raw.faceTexCoords.clear();
    raw.faceNormals.clear();
    for (;;) {
        line.skipBlanks();
        if (line.atLineEnd())
            return true;
        std::int64_t written = 0;
        bool any = false;
        std::uint32_t position = 0, texCoord = 0, normal = 0;
        if (readIndexNumber(at, end, written)) {
            position = cornerIndex(raw, written, raw.positions.count(), &PieceState::positions);
            any = true;
        }
        skipCornerJunk(at, end);
        if (takeSlash(at, end)) {
            if (readIndexNumber(at, end, written)) {
                texCoord = cornerIndex(raw, written, raw.texCoords.count(), &PieceState::texCoords);
                any = true;
            }
            skipCornerJunk(at, end);
            if (takeSlash(at, end)) {
                if (readIndexNumber(at, end, written)) {
                    normal = cornerIndex(raw, written, raw.normals.count(), &PieceState::normals);
                    any = true;
                }
                skipCornerJunk(at, end);
            }
        }
        if (!any)
            continue;
        if (raw.facePositions.count() == UINT32_MAX || !raw.facePositions.append(position) ||
            !raw.faceTexCoords.append(texCoord) || !raw.faceNormals.append(normal))
            return false;
        use.anyTexCoord = use.anyTexCoord || texCoord != 0;
        use.anyNormal = use.anyNormal || normal != 0;
    }
}

// Appends the face's indices to a corner list; an optional list starts
// (filled with "none" for the corners before) when a face first uses it.
bool appendCornerIndices(CornerIndices& list, std::uint32_t cornersBefore, const std::uint32_t* values,
                         std::uint32_t count, bool faceUsesList)
{
    if (list.empty() && !faceUsesList)
        return true;
    if (list.count() != cornersBefore && !list.resize(cornersBefore))
        return false;
    return list.append(values, count);
}

OperationResult addFace(LineScanner& line, RawObj& raw, Failure* failure)
{
    FaceUse use;
    if (!readFaceCorners(line, raw, use))
        return failOutOfMemory(failure);
    const std::uint32_t corners = raw.facePositions.count();
    if (corners < 3)
        return failWith(failure, FailureKind::Malformed, "face with fewer than three corners");
    const std::uint32_t before = raw.cornerPositions.count();
    if (before > UINT32_MAX - corners || raw.faceSizes.count() == UINT32_MAX)
        return failWith(failure, FailureKind::Unsupported, "too many faces");
    if (!appendCornerIndices(raw.cornerPositions, before, raw.facePositions.data(), corners, true) ||
        !appendCornerIndices(raw.cornerTexCoords, before, raw.faceTexCoords.data(), corners, use.anyTexCoord) ||
        !appendCornerIndices(raw.cornerNormals, before, raw.faceNormals.data(), corners, use.anyNormal))
        return failOutOfMemory(failure);
    if (raw.runs.empty() || raw.runs[raw.runs.count() - 1].materialId != raw.currentMaterial)
        if (!raw.runs.append(FaceRun{raw.faceSizes.count(), raw.faceSizes.largeCount(), raw.currentMaterial}))
            return failOutOfMemory(failure);
    if (!raw.faceSizes.append(corners))
        return failOutOfMemory(failure);
    return OperationResult::Success;
}

// Vertex colour numbers are fractions of 1 ("0.5", and "1 0 0" for red),
// scaled to bytes; older files of ours hold bytes (0 to 255), told apart by
// a number above 1.
bool readVertexColour(LineScanner& line, ArgbColor& colour)
{
    double rgb[3];
    bool fractional[3];
    for (int i = 0; i < 3; ++i)
        if (!line.readDouble(rgb[i], &fractional[i]))
            return false;
    const bool fractions = fractional[0] || fractional[1] || fractional[2] || std::max({rgb[0], rgb[1], rgb[2]}) <= 1;
    colour = OpaqueBlack;
    for (int i = 0; i < 3; ++i) {
        double value = fractions ? std::round(rgb[i] * 255.0) : rgb[i];
        if (std::isnan(value))
            value = 0;
        colour |= static_cast<std::uint32_t>(std::clamp(value, 0.0, 255.0)) << (16 - 8 * i);
    }
    return true;
}

OperationResult addPosition(LineScanner& line, RawObj& raw, Failure* failure)
{
    Vector3 position;
    if (!line.readFloat(position.x) || !line.readFloat(position.y) || !line.readFloat(position.z))
        return OperationResult::Success; // fewer than three numbers: not a position
    if (raw.positions.count() == UINT32_MAX)
        return failWith(failure, FailureKind::Unsupported, "too many vertices");
    ArgbColor colour = OpaqueBlack;
    const bool coloured = readVertexColour(line, colour);
    if (coloured && raw.positionColours.empty() && !raw.positionColours.resize(raw.positions.count()))
        return failOutOfMemory(failure);
    if (!raw.positions.append(position))
        return failOutOfMemory(failure);
    if ((coloured || !raw.positionColours.empty()) && !raw.positionColours.append(colour))
        return failOutOfMemory(failure);
    return OperationResult::Success;
}

template <typename Array, typename Value>
OperationResult appendValue(Array& list, const Value& value, Failure* failure)
{
    if (list.count() == UINT32_MAX)
        return failWith(failure, FailureKind::Unsupported, "too many entries");
    if (!list.append(value))
        return failOutOfMemory(failure);
    return OperationResult::Success;
}

OperationResult addNormal(LineScanner& line, RawObj& raw, Failure* failure)
{
    Vector3 normal; // missing numbers stay 0
    if (line.readFloat(normal.x) && line.readFloat(normal.y))
        line.readFloat(normal.z);
    return appendValue(raw.normals, normal, failure);
}

OperationResult addTexCoord(LineScanner& line, RawObj& raw, Failure* failure)
{
    TexCoord texCoord; // a missing v stays 0
    if (line.readFloat(texCoord.u))
        line.readFloat(texCoord.v);
    return appendValue(raw.texCoords, texCoord, failure);
}

OperationResult useMaterial(LineScanner& line, RawObj& raw, Failure* failure)
{
    if (raw.piece != nullptr) {
        raw.piece->materialLines.push_back(MaterialLine{false, modelText(line.argument())});
        raw.currentMaterial = raw.piece->uses++;
        return OperationResult::Success;
    }
    const Material* material = raw.materials.findOrAdd(modelText(line.argument()), failure);
    if (material == nullptr)
        return OperationResult::Failure;
    raw.currentMaterial = material->id;
    return OperationResult::Success;
}

void reportLine(ProgressReporter& reporter, std::uint64_t lineNumber)
{
    char text[64];
    std::snprintf(text, sizeof text, "Reading raw OBJ... Line #%llu", static_cast<unsigned long long>(lineNumber));
    reporter.setStatusText(text, 0);
}

// One line, the scanner at its start.
OperationResult readLine(LineScanner& line, ObjCompanions* companions, RawObj& raw, ProgressReporter& reporter,
                         Failure* failure)
{
    line.skipBlanks();
    if (line.atLineEnd() || *line.cursor() == '#')
        return OperationResult::Success;
    const std::string_view keyword = line.token();
    if (keywordIs(keyword, "v", 5))
        return addPosition(line, raw, failure);
    if (keywordIs(keyword, "vn", 5))
        return addNormal(line, raw, failure);
    if (keywordIs(keyword, "vt", 5))
        return addTexCoord(line, raw, failure);
    if (keywordIs(keyword, "f", 5))
        return addFace(line, raw, failure);
    if (keywordIs(keyword, "mtllib", 5) && companions != nullptr) {
        if (raw.piece == nullptr)
            return readMaterialLibrary(*companions, line.argument(), raw.materials, reporter, failure);
        raw.piece->materialLines.push_back(MaterialLine{true, std::string(line.argument())});
        return OperationResult::Success;
    }
    if (keywordIs(keyword, "usemtl", 5))
        return useMaterial(line, raw, failure);
    // Groups, smoothing groups, object names, lines, points and free-form
    // geometry change nothing.
    return OperationResult::Success;
}

// `mapping`, when given, is the mapped file that holds `text`: its pages are
// given back as the lines pass.
OperationResult readLines(std::string_view text, MappedFile* mapping, ObjCompanions* companions, RawObj& raw,
                          ProgressReporter& reporter, Failure* failure)
{
    IndeterminateScope indeterminate(reporter); // ended on every way out
    reporter.setStatusText("Reading raw OBJ", 0);

    LineScanner line(text);
    std::uint64_t lineNumber = 0;
    std::uint64_t untilCheck = LinesPerCheck;
    for (; !line.atEnd(); line.nextLine()) {
        ++lineNumber;
        if (--untilCheck == 0) {
            untilCheck = LinesPerCheck;
            reportLine(reporter, lineNumber);
            if (reporter.isCancelled())
                return OperationResult::Cancelled;
            if (mapping != nullptr)
                mapping->releaseBefore(static_cast<std::uint64_t>(line.cursor() - mapping->data()));
        }
        const OperationResult result = readLine(line, companions, raw, reporter, failure);
        if (result != OperationResult::Success) {
            placeAtLine(failure, lineNumber);
            return result;
        }
    }
    reporter.setStatusText("Reading raw OBJ... Complete!", 0);
    reporter.setProgress(0.9);
    indeterminate.end();
    return OperationResult::Success;
}

// ---------------------------------------------------------------------------
// A large file on several threads: each piece of lines is read into lists of
// its own, with its negative indices and its materials left open; the join
// appends the lists in file order, completes the indices and takes up the
// material lines in order, so that the result is that of one reading. A
// piece that meets a line the one reading would fail on (or runs out of
// memory) has the whole file read again as one, which gives that reading's
// failure and line number.

struct ObjPiece {
    RawObj raw;
    PieceState state;
    bool failed = false;
};

enum class PiecesOutcome { Read, Cancelled, ReadAsOne };

void readPiece(std::string_view text, const MappedFile* mapping, ObjCompanions* companions, ObjPiece& piece,
               std::atomic<bool>& stop, ProgressReporter& reporter, bool reports)
{
    PassedPages pages(mapping, text.data());
    piece.raw.piece = &piece.state;
    piece.raw.currentMaterial = InheritedMaterial;
    LineScanner line(text);
    std::uint64_t lineNumber = 0;
    std::uint64_t untilCheck = LinesPerCheck;
    Failure ignored; // the reading as one says what failed
    for (; !line.atEnd(); line.nextLine()) {
        ++lineNumber;
        if (--untilCheck == 0) {
            untilCheck = LinesPerCheck;
            if (reports) {
                reportLine(reporter, lineNumber);
                if (reporter.isCancelled())
                    stop.store(true, std::memory_order_relaxed);
            }
            if (stop.load(std::memory_order_relaxed))
                return;
            pages.passed(line.cursor());
        }
        if (readLine(line, companions, piece.raw, reporter, &ignored) != OperationResult::Success) {
            piece.failed = true;
            return;
        }
    }
    const PieceState& state = piece.state;
    piece.failed = state.positions.outOfMemory || state.texCoords.outOfMemory || state.normals.outOfMemory;
}

// Puts the file's numbering into the marked corners of one piece, whose
// list starts after `entriesBefore` entries of the file.
void completeRelativeCorners(CornerIndices& corners, const RelativeCorners& relative, std::uint32_t entriesBefore)
{
    std::size_t before = 0;
    for (std::uint32_t word = 0; word < relative.marked.count(); ++word)
        for (std::uint64_t bits = relative.marked[word]; bits != 0; bits &= bits - 1) {
            const std::uint32_t corner = word * 64 + static_cast<std::uint32_t>(std::countr_zero(bits));
            std::uint32_t& value = corners[corner];
            std::int64_t fromStart = std::int64_t{entriesBefore} + value - 1;
            if (before < relative.beforePiece.size() && relative.beforePiece[before].first == corner)
                fromStart = std::int64_t{entriesBefore} + relative.beforePiece[before++].second;
            value = fromStart < 0 ? UINT32_MAX : static_cast<std::uint32_t>(fromStart + 1);
        }
}

struct PieceTotals {
    std::uint64_t positions = 0, texCoords = 0, normals = 0, corners = 0, faces = 0;
    bool colours = false, cornerTexCoords = false, cornerNormals = false;
};

PieceTotals totalsOf(const std::vector<ObjPiece>& pieces)
{
    PieceTotals totals;
    for (const ObjPiece& piece : pieces) {
        totals.positions += piece.raw.positions.count();
        totals.texCoords += piece.raw.texCoords.count();
        totals.normals += piece.raw.normals.count();
        totals.corners += piece.raw.cornerPositions.count();
        totals.faces += piece.raw.faceSizes.count();
        totals.colours = totals.colours || !piece.raw.positionColours.empty();
        totals.cornerTexCoords = totals.cornerTexCoords || !piece.raw.cornerTexCoords.empty();
        totals.cornerNormals = totals.cornerNormals || !piece.raw.cornerNormals.empty();
    }
    return totals;
}

// Takes up the material lines of a piece in order and gives its runs the
// material ids, joining a run to the one before when the material is the
// same; `raw` holds the pieces before. `current` is the material in use
// before the piece, then after it.
OperationResult joinMaterials(ObjPiece& piece, ObjCompanions* companions, RawObj& raw, std::int32_t& current,
                              ProgressReporter& reporter, Failure* failure)
{
    std::vector<std::int32_t> ids;
    ids.reserve(static_cast<std::size_t>(piece.state.uses));
    for (const MaterialLine& materialLine : piece.state.materialLines) {
        if (materialLine.library) {
            if (const OperationResult result =
                    readMaterialLibrary(*companions, materialLine.text, raw.materials, reporter, failure);
                result != OperationResult::Success)
                return result;
            continue;
        }
        const Material* material = raw.materials.findOrAdd(materialLine.text, failure);
        if (material == nullptr)
            return OperationResult::Failure;
        ids.push_back(material->id);
    }
    for (const FaceRun& run : piece.raw.runs) {
        const std::int32_t id = run.materialId == InheritedMaterial ? current : ids[run.materialId];
        if (!raw.runs.empty() && raw.runs[raw.runs.count() - 1].materialId == id)
            continue;
        if (!raw.runs.append(
                FaceRun{raw.faceSizes.count() + run.firstFace, raw.faceSizes.largeCount() + run.largeFacesBefore, id}))
            return failOutOfMemory(failure);
    }
    if (!ids.empty())
        current = ids.back();
    return OperationResult::Success;
}

// Pads a list that some other piece started (colours, corners' texture
// coordinates or normals) to the piece's count, with what the one reading
// fills it with.
template <typename Array>
bool padStartedList(Array& list, bool started, std::uint32_t count)
{
    return !started || list.count() == count || list.resize(count);
}

// Appends one piece's lists to those of `raw`.
bool appendPiece(ObjPiece& piece, const PieceTotals& totals, RawObj& raw)
{
    RawObj& own = piece.raw;
    if (piece.state.countsFromPiece) {
        completeRelativeCorners(own.cornerPositions, piece.state.positions, raw.positions.count());
        completeRelativeCorners(own.cornerTexCoords, piece.state.texCoords, raw.texCoords.count());
        completeRelativeCorners(own.cornerNormals, piece.state.normals, raw.normals.count());
    }
    const std::uint32_t corners = own.cornerPositions.count();
    return padStartedList(own.positionColours, totals.colours, own.positions.count()) &&
           padStartedList(own.cornerTexCoords, totals.cornerTexCoords, corners) &&
           padStartedList(own.cornerNormals, totals.cornerNormals, corners) &&
           appendReleasing(raw.positions, own.positions) && appendReleasing(raw.positionColours, own.positionColours) &&
           appendReleasing(raw.normals, own.normals) && appendReleasing(raw.texCoords, own.texCoords) &&
           appendReleasing(raw.cornerPositions, own.cornerPositions) &&
           appendReleasing(raw.cornerTexCoords, own.cornerTexCoords) &&
           appendReleasing(raw.cornerNormals, own.cornerNormals) && raw.faceSizes.appendAll(own.faceSizes);
}

PiecesOutcome joinPieces(std::vector<ObjPiece>& pieces, ObjCompanions* companions, RawObj& raw,
                         ProgressReporter& reporter)
{
    const PieceTotals totals = totalsOf(pieces);
    constexpr std::uint64_t limit = UINT32_MAX - 1;
    if (totals.positions > limit || totals.texCoords > limit || totals.normals > limit || totals.corners > limit ||
        totals.faces > limit)
        return PiecesOutcome::ReadAsOne;
    for (const ObjPiece& piece : pieces)
        if (piece.failed)
            return PiecesOutcome::ReadAsOne;
    std::int32_t current = -1;
    Failure ignored;
    for (ObjPiece& piece : pieces) {
        const OperationResult result = joinMaterials(piece, companions, raw, current, reporter, &ignored);
        if (result == OperationResult::Cancelled)
            return PiecesOutcome::Cancelled;
        if (result != OperationResult::Success || !appendPiece(piece, totals, raw))
            return PiecesOutcome::ReadAsOne;
    }
    return PiecesOutcome::Read;
}

PiecesOutcome readLinesInPieces(std::string_view text, const MappedFile* mapping, ObjCompanions* companions,
                                RawObj& raw, ProgressReporter& reporter)
{
    const unsigned count = textPiecesFor(text.size());
    if (count < 2)
        return PiecesOutcome::ReadAsOne;
    IndeterminateScope indeterminate(reporter);
    reporter.setStatusText("Reading raw OBJ", 0);
    const std::vector<std::size_t> cuts = lineCuts(text, count);
    std::vector<ObjPiece> pieces(count);
    std::atomic<bool> stop{false};
    readPieces(count, reporter, stop, [&](unsigned i) {
        pieces[i].state.countsFromPiece = i > 0;
        readPiece(text.substr(cuts[i], cuts[i + 1] - cuts[i]), mapping, companions, pieces[i], stop, reporter, i == 0);
    });
    if (stop.load())
        return PiecesOutcome::Cancelled;
    const PiecesOutcome outcome = joinPieces(pieces, companions, raw, reporter);
    if (outcome == PiecesOutcome::Read) {
        countTextReadInPieces();
        reporter.setStatusText("Reading raw OBJ... Complete!", 0);
        reporter.setProgress(0.9);
    }
    return outcome;
}

// ---------------------------------------------------------------------------
// Second pass: one object per run of faces with the same material.

// The triangles of the face being compiled, as corner numbers of the face.
// Triangles need no work; larger faces are fanned when convex and cut into
// ears when not (see PolygonTriangulator).
class FaceTriangles {
public:
    // False when memory ran out.
    bool split(const RawObj& raw, std::uint32_t firstCorner, std::uint32_t corners)
    {
        count_ = 3 * (corners - 2);
        if (corners == 3) {
            order_ = triangleOrder;
            return true;
        }
        if (!points_.allocate(corners) || !orderStorage_.allocate(count_))
            return false;
        const std::uint32_t* positions = raw.cornerPositions.data() + firstCorner;
        for (std::uint32_t k = 0; k < corners; ++k)
            points_[k] = raw.positions[positions[k] - 1]; // every corner names a vertex (checked)
        order_ = orderStorage_.data();
        return triangulator_.triangulate(points_.data(), corners, orderStorage_.data());
    }
    const std::uint32_t* order() const { return order_; }
    std::uint32_t count() const { return count_; }

private:
    static constexpr std::uint32_t triangleOrder[3] = {0, 1, 2};
    PolygonTriangulator triangulator_;
    Vector3Array points_;
    GrowableArray<std::uint32_t, ArrayFill::None> orderStorage_;
    const std::uint32_t* order_ = triangleOrder;
    std::uint32_t count_ = 3;
};

// Copies the values a face's corners refer to into the face's share of an
// object array. A face whose first three corners do not all name one gets
// `fill` in its whole share; so does a corner naming none or one beyond the
// list.
template <typename Value, typename Source>
void copyFaceValues(const CornerIndices& cornerIndices, std::uint32_t firstCorner, const FaceTriangles& triangles,
                    const Source& source, Value fill, Value* out)
{
    const std::uint32_t* indices = cornerIndices.empty() ? nullptr : cornerIndices.data() + firstCorner;
    if (indices == nullptr || indices[0] == 0 || indices[1] == 0 || indices[2] == 0) {
        std::fill_n(out, triangles.count(), fill);
        return;
    }
    const std::uint32_t* order = triangles.order();
    const std::uint32_t available = source.count();
    for (std::uint32_t j = 0; j < triangles.count(); ++j) {
        const std::uint32_t stored = indices[order[j]];
        out[j] = stored != 0 && stored <= available ? source[stored - 1] : fill;
    }
}

// Whether every corner of the face names a vertex of the file. A face that
// names one the file does not have is dropped, never made of other vertices.
bool faceNamesItsVertices(const RawObj& raw, std::uint32_t firstCorner, std::uint32_t corners)
{
    const std::uint32_t* positions = raw.cornerPositions.data() + firstCorner;
    for (std::uint32_t k = 0; k < corners; ++k)
        if (positions[k] == 0 || positions[k] > raw.positions.count())
            return false;
    return true;
}

// A run of faces is compiled on the threads the file may use, each taking a
// chunk of consecutive faces. Three passes: the corners of each chunk (so
// that every chunk knows where its faces start), the triangle corners each
// chunk keeps (so that every chunk knows where its share of the object
// starts), then each chunk fills its share. The object is the same for any
// number of chunks.
struct CompileChunk {
    std::uint32_t faceBegin = 0;
    std::uint32_t faceEnd = 0;
    std::uint32_t firstCorner = 0;  // in the file's corner lists
    std::uint32_t largeBefore = 0;  // large faces of the file before the chunk
    std::uint32_t largeFaces = 0;   // of the chunk
    std::uint64_t smallCorners = 0; // of the chunk's faces that are not large
    std::uint64_t corners = 0;      // of all its faces
    std::uint64_t kept = 0;         // triangle corners of the faces that name their vertices
    std::uint64_t dropped = 0;      // faces that do not
    std::uint64_t firstOut = 0;     // where the chunk's share of the object starts
};

std::atomic<std::uint32_t> compileFacesPerThread{DefaultCompileFacesPerThread};

// Chunks of the run's faces, with where each starts in the corner lists;
// `firstCorner` and `largeBefore` are those of the run's first face.
std::vector<CompileChunk> chunksOf(const RawObj& raw, std::uint32_t faceBegin, std::uint32_t faceEnd,
                                   std::uint32_t firstCorner, std::uint32_t largeBefore)
{
    const std::uint32_t faces = faceEnd - faceBegin;
    const unsigned parts = threadsFor(faces, compileFacesPerThread.load(std::memory_order_relaxed));
    std::vector<CompileChunk> chunks(parts);
    for (unsigned i = 0; i < parts; ++i) {
        chunks[i].faceBegin = faceBegin + static_cast<std::uint32_t>(std::uint64_t{faces} * i / parts);
        chunks[i].faceEnd = faceBegin + static_cast<std::uint32_t>(std::uint64_t{faces} * (i + 1) / parts);
    }
    forEachRange(parts, parts, [&](unsigned, std::uint64_t begin, std::uint64_t end) {
        for (auto i = static_cast<std::uint32_t>(begin); i < end; ++i)
            raw.faceSizes.countSmall(chunks[i].faceBegin, chunks[i].faceEnd, chunks[i].smallCorners,
                                     chunks[i].largeFaces);
    });
    std::uint64_t corner = firstCorner;
    std::uint32_t large = largeBefore;
    for (CompileChunk& chunk : chunks) {
        chunk.firstCorner = static_cast<std::uint32_t>(corner); // the corner lists hold 32-bit counts
        chunk.largeBefore = large;
        chunk.corners = chunk.smallCorners + raw.faceSizes.sumLarge(large, chunk.largeFaces);
        corner += chunk.corners;
        large += chunk.largeFaces;
    }
    return chunks;
}

// The triangle corners a chunk keeps and the faces it drops.
void measureChunk(const RawObj& raw, CompileChunk& chunk)
{
    std::uint32_t corner = chunk.firstCorner;
    std::uint32_t large = chunk.largeBefore;
    for (std::uint32_t f = chunk.faceBegin; f < chunk.faceEnd; ++f) {
        const std::uint32_t corners = raw.faceSizes.next(f, large);
        if (faceNamesItsVertices(raw, corner, corners))
            chunk.kept += 3ull * (corners - 2); // every face has three corners or more
        else
            ++chunk.dropped;
        corner += corners;
    }
}

bool allocateObject(const RawObj& raw, ModelObject& object, std::uint32_t corners)
{
    if (!object.vertices.allocateUnfilled(corners) || !object.indices.allocateUnfilled(corners))
        return false;
    if (!raw.normals.empty() && !object.normals.allocateUnfilled(corners))
        return false;
    if (!raw.texCoords.empty() && !object.texCoords.allocateUnfilled(corners))
        return false;
    if (!raw.positionColours.empty() && !object.colors.allocateUnfilled(corners))
        return false;
    return true;
}

// Who may stop the filling: the calling thread asks the reporter and
// reports progress, the others look at its answer.
struct CompileProgress {
    ProgressReporter& reporter;
    double faceCount;
    unsigned parts;
    std::atomic<bool> cancelled{false};
};

// Fills one chunk's share of the object. False when memory ran out or the
// work was cancelled (`progress` says which).
bool fillChunk(const RawObj& raw, const CompileChunk& chunk, unsigned part, ModelObject& object,
               CompileProgress& progress)
{
    FaceTriangles triangles;
    std::uint32_t corner = chunk.firstCorner;
    std::uint32_t large = chunk.largeBefore;
    auto out = static_cast<std::uint32_t>(chunk.firstOut);
    for (std::uint32_t f = chunk.faceBegin; f < chunk.faceEnd; ++f) {
        if (f % FacesPerCompileStep == 0) {
            if (part == 0) {
                // The other chunks go at about the pace of this one.
                const double done = chunk.faceBegin + double(f - chunk.faceBegin) * progress.parts;
                progress.reporter.setProgress(std::min(done, progress.faceCount) / progress.faceCount);
                if (progress.reporter.isCancelled())
                    progress.cancelled = true;
            }
            if (progress.cancelled.load(std::memory_order_relaxed))
                return false;
        }
        const std::uint32_t corners = raw.faceSizes.next(f, large);
        if (!faceNamesItsVertices(raw, corner, corners)) {
            corner += corners;
            continue;
        }
        if (!triangles.split(raw, corner, corners))
            return false;
        copyFaceValues(raw.cornerPositions, corner, triangles, raw.positions, Vector3{}, object.vertices.data() + out);
        if (!object.normals.empty())
            copyFaceValues(raw.cornerNormals, corner, triangles, raw.normals, Vector3{}, object.normals.data() + out);
        if (!object.texCoords.empty())
            copyFaceValues(raw.cornerTexCoords, corner, triangles, raw.texCoords, TexCoord{},
                           object.texCoords.data() + out);
        if (!object.colors.empty())
            copyFaceValues(raw.cornerPositions, corner, triangles, raw.positionColours, OpaqueBlack,
                           object.colors.data() + out);
        for (std::uint32_t j = 0; j < triangles.count(); ++j)
            object.indices[out + j] = out + j;
        corner += corners;
        out += triangles.count();
    }
    return true;
}

// Fills the object from the run's chunks, each on a thread of its own.
OperationResult fillObject(const RawObj& raw, const std::vector<CompileChunk>& chunks, ModelObject& object,
                           ProgressReporter& reporter, Failure* failure)
{
    const auto parts = static_cast<unsigned>(chunks.size());
    CompileProgress progress{reporter, double(raw.faceSizes.count()), parts};
    std::vector<char> filled(parts, 0);
    forEachRange(parts, parts, [&](unsigned part, std::uint64_t begin, std::uint64_t) {
        filled[part] = fillChunk(raw, chunks[begin], part, object, progress) ? 1 : 0;
    });
    if (progress.cancelled.load())
        return OperationResult::Cancelled;
    if (std::find(filled.begin(), filled.end(), 0) != filled.end())
        return failOutOfMemory(failure);
    return OperationResult::Success;
}

OperationResult compileRun(const RawObj& raw, std::uint32_t run, std::uint32_t& firstCorner, Model& model,
                           std::uint64_t& droppedFaces, ProgressReporter& reporter, Failure* failure)
{
    const std::uint32_t faceBegin = raw.runs[run].firstFace;
    const std::uint32_t faceEnd = run + 1 < raw.runs.count() ? raw.runs[run + 1].firstFace : raw.faceSizes.count();
    std::vector<CompileChunk> chunks = chunksOf(raw, faceBegin, faceEnd, firstCorner, raw.runs[run].largeFacesBefore);
    forEachRange(chunks.size(), static_cast<unsigned>(chunks.size()),
                 [&](unsigned part, std::uint64_t, std::uint64_t) { measureChunk(raw, chunks[part]); });
    std::uint64_t total = 0;
    std::uint64_t dropped = 0;
    for (CompileChunk& chunk : chunks) {
        chunk.firstOut = total;
        total += chunk.kept;
        dropped += chunk.dropped;
    }
    if (total > UINT32_MAX)
        return failWith(failure, FailureKind::Unsupported, "too many triangles in one object");
    firstCorner = static_cast<std::uint32_t>(chunks.back().firstCorner + chunks.back().corners);
    droppedFaces += dropped;
    if (total == 0) // every face of the run names a missing vertex
        return OperationResult::Success;

    const auto cornerTotal = static_cast<std::uint32_t>(total);
    ModelObject* object = model.addObject();
    if (object == nullptr || !allocateObject(raw, *object, cornerTotal))
        return failOutOfMemory(failure);
    if (const OperationResult filled = fillObject(raw, chunks, *object, reporter, failure);
        filled != OperationResult::Success)
        return filled;

    if (!object->texCoords.empty()) {
        MaterialRange* range = object->addMaterialRange();
        if (range == nullptr)
            return failOutOfMemory(failure);
        const std::int32_t id = raw.runs[run].materialId;
        range->materialId =
            id >= 0 && id < raw.materials.holder.nextMaterialId ? static_cast<std::int16_t>(id) : std::int16_t{0};
        range->firstIndex = 0;
        range->endIndex = cornerTotal;
    }
    return OperationResult::Success;
}

// A file of vertices and no face (a scanner's point cloud, points written as
// "p" elements, a set of lines) is a point set: its vertices are kept as they
// are, never made into triangles.
OperationResult compilePointSet(const RawObj& raw, Model& model, Failure* failure)
{
    if (raw.positions.empty())
        return OperationResult::Success; // nothing to build: the model stays empty
    ModelObject* object = model.addObject();
    const std::uint32_t colours = std::min(raw.positionColours.count(), raw.positions.count());
    if (object == nullptr || !object->vertices.allocate(raw.positions.count()) ||
        (colours > 0 && !object->colors.allocate(colours)))
        return failOutOfMemory(failure);
    std::copy_n(raw.positions.data(), raw.positions.count(), object->vertices.data());
    std::copy_n(raw.positionColours.data(), colours, object->colors.data());
    return OperationResult::Success;
}

OperationResult compile(RawObj& raw, Model& model, ProgressReporter& reporter, Failure* failure)
{
    if (raw.faceSizes.empty())
        return compilePointSet(raw, model, failure);
    reporter.setStatusText("Compiling 3D Model", 0);
    model.materials = std::move(raw.materials.holder.materials);
    model.nextMaterialId = std::max(model.nextMaterialId, raw.materials.holder.nextMaterialId);

    std::uint32_t firstCorner = 0;
    std::uint64_t droppedFaces = 0;
    for (std::uint32_t run = 0; run < raw.runs.count(); ++run) {
        const OperationResult result = compileRun(raw, run, firstCorner, model, droppedFaces, reporter, failure);
        if (result != OperationResult::Success)
            return result;
    }
    if (droppedFaces > 0)
        reporter.postTextMessage(std::to_string(droppedFaces) +
                                 " face(s) dropped: a corner names a vertex the file does not have");
    reporter.setProgress(1.0);
    reporter.setStatusText("Compiling 3D Model... Complete!", 0);
    return OperationResult::Success;
}

// The lines first, then the model; `linesRead` is called between the two,
// when the bytes are no longer needed. `mapping`, when given, is the mapped
// file that holds `bytes`.
template <typename AfterLines>
OperationResult readLinesThenCompile(std::string_view bytes, MappedFile* mapping, Model& model,
                                     ProgressReporter& reporter, Failure* failure, ObjCompanions* companions,
                                     AfterLines linesRead)
{
    std::string decoded; // the text when the file is UTF-16
    std::string_view text;
    if (textAsUtf8(bytes, decoded, text, failure) != OperationResult::Success)
        return OperationResult::Failure;
    if (!decoded.empty())
        mapping = nullptr; // the lines are not the file's bytes
    std::optional<RawObj> raw(std::in_place);
    OperationResult result = OperationResult::Success;
    {
        ProgressRange range(reporter, 0.0, 0.5);
        switch (readLinesInPieces(text, mapping, companions, *raw, range)) {
        case PiecesOutcome::Read: break;
        case PiecesOutcome::Cancelled: result = OperationResult::Cancelled; break;
        case PiecesOutcome::ReadAsOne:
            raw.emplace();
            result = readLines(text, mapping, companions, *raw, range, failure);
            break;
        }
    }
    std::string().swap(decoded);
    linesRead();
    if (result == OperationResult::Success) {
        ProgressRange range(reporter, 0.5, 0.5);
        result = compile(*raw, model, range, failure);
    }
    if (result != OperationResult::Success)
        return result;
    model.profile.kind = FormatKind::Obj;
    return OperationResult::Success;
}

} // namespace

OperationResult readObj(const std::filesystem::path& path, Model& model, ProgressReporter& reporter, Failure* failure)
{
    std::optional<MappedFile> file(std::in_place);
    if (file->open(path, failure) != OperationResult::Success)
        return OperationResult::Failure;
    ObjFolderCompanions companions(path.parent_path());
    // The mapping goes as soon as the lines are read: a large file's pages
    // would otherwise stay beside the model while it is built.
    const OperationResult result =
        readLinesThenCompile(file->view(), &*file, model, reporter, failure, &companions, [&file] { file.reset(); });
    for (const std::string& refused : companions.refusedReferences())
        reporter.postTextMessage(refused);
    return result;
}

void setCompileFacesPerThread(std::uint32_t faces)
{
    compileFacesPerThread.store(faces == 0 ? DefaultCompileFacesPerThread : faces, std::memory_order_relaxed);
}

OperationResult readObj(std::string_view bytes, std::string_view, Model& model, ProgressReporter& reporter,
                        Failure* failure, ObjCompanions* companions)
{
    return readLinesThenCompile(bytes, nullptr, model, reporter, failure, companions, [] {});
}

} // namespace morvex::obj
