#include "formats/ply/ply.h"
#include "formats/ply/ply_header.h"

#include "support/platform/files.h"
#include "support/text/block_line_reader.h"
#include "support/text/line_scanner.h"
#include "support/text/numbers.h"
#include "support/text/text_encoding.h"
#include "support/text/text_pieces.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>

namespace morvex::ply {
namespace {

using namespace ply;

// The integer view of a value: truncated toward zero, saturated at the
// 64-bit range, 0 for NaN.
std::int64_t truncateToInteger(double value)
{
    if (value != value)
        return 0;
    if (value >= 9.2e18)
        return INT64_MAX;
    if (value <= -9.2e18)
        return INT64_MIN;
    return static_cast<std::int64_t>(value);
}

// Each colour property replaces its own byte of 0xAARRGGBB with the low
// 8 bits of its value.
ArgbColor replaceColorByte(ArgbColor color, PlyRole role, std::int64_t value)
{
    int shift = 0;
    switch (role) {
    case PlyRole::Alpha: shift = 24; break;
    case PlyRole::Red: shift = 16; break;
    case PlyRole::Green: shift = 8; break;
    case PlyRole::Blue: shift = 0; break;
    default: return color;
    }
    const std::uint32_t byte = static_cast<std::uint32_t>(static_cast<std::uint64_t>(value) & 0xFFu);
    return (color & ~(0xFFu << shift)) | (byte << shift);
}

std::uint16_t byteSwap(std::uint16_t value)
{
    return __builtin_bswap16(value);
}
std::uint32_t byteSwap(std::uint32_t value)
{
    return __builtin_bswap32(value);
}
std::uint64_t byteSwap(std::uint64_t value)
{
    return __builtin_bswap64(value);
}

template <typename T, bool BigEndian>
T load(const unsigned char* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    if constexpr (BigEndian)
        value = byteSwap(value);
    return value;
}

// One binary value of a known-size type. Every value a PLY file can hold is
// exact in a double, except a double itself.
template <bool BigEndian>
double readValue(const unsigned char* at, PlyValueType type)
{
    switch (type) {
    case PlyValueType::Char: return static_cast<std::int8_t>(at[0]);
    case PlyValueType::Uchar: return at[0];
    case PlyValueType::Short: return static_cast<std::int16_t>(load<std::uint16_t, BigEndian>(at));
    case PlyValueType::Ushort: return load<std::uint16_t, BigEndian>(at);
    case PlyValueType::Int: return static_cast<std::int32_t>(load<std::uint32_t, BigEndian>(at));
    case PlyValueType::Uint: return load<std::uint32_t, BigEndian>(at);
    case PlyValueType::Float: return std::bit_cast<float>(load<std::uint32_t, BigEndian>(at));
    case PlyValueType::Double: return std::bit_cast<double>(load<std::uint64_t, BigEndian>(at));
    case PlyValueType::List:
    case PlyValueType::Unknown: return 0;
    }
    return 0;
}

// The integer at the start of a token ("12", "1.0" gives 1); a token that
// starts with no digits but is a real number (".5", "nan") is truncated.
bool parseAsciiInteger(std::string_view token, std::int64_t& value)
{
    const char* start = token.data();
    const char* stop = start + token.size();
    if (parseInt64(start, stop, value))
        return true;
    double real = 0;
    if (!parseDouble(start, stop, real))
        return false;
    value = truncateToInteger(real);
    return true;
}

// A coordinate token: a whole number takes the shared fast path; a token
// that only starts with a number ("1.5e") keeps that number, as before.
bool parseAsciiCoordinate(std::string_view token, float& value)
{
    const char* start = token.data();
    const char* stop = start + token.size();
    return parseFloatToken(start, stop, value) || parseFloat(start, stop, value);
}

// A value as its declared type reads it: float types as real numbers,
// integer types as the integer at the start of the token.
bool parseAsciiValue(PlyValueType type, std::string_view token, double& value)
{
    if (type == PlyValueType::Float || type == PlyValueType::Double) {
        const char* start = token.data();
        return parseDouble(start, start + token.size(), value);
    }
    std::int64_t integer = 0;
    if (!parseAsciiInteger(token, integer))
        return false;
    value = static_cast<double>(integer);
    return true;
}

// A colour value as its byte: integer types keep their low 8 bits, float
// and double ones are fractions of full intensity (1.0 is 255).
std::int64_t colorByteValue(PlyValueType type, double value)
{
    if (type != PlyValueType::Float && type != PlyValueType::Double)
        return truncateToInteger(value);
    if (!(value > 0)) // NaN too
        return 0;
    return value >= 1 ? 255 : static_cast<std::int64_t>(value * 255.0 + 0.5);
}

class BodyReader {
public:
    BodyReader(const PlyHeader& header, std::string_view body, ModelObject& object, ProgressReporter& reporter,
               Failure* failure)
        : header_(header), body_(body), object_(object), reporter_(reporter), failure_(failure)
    {
    }

    // Checks that the body can hold the declared records, so that nothing of
    // a size the file cannot back is allocated.
    OperationResult checkBodySize();
    // Room for `vertices` vertex records and `faces` face records.
    OperationResult allocate(std::uint32_t vertices, std::uint32_t faces);
    OperationResult readAscii();
    // One piece of an ASCII body read on a thread of its own: the records
    // [firstRecord, endRecord) of the elements read, the body being the
    // piece's lines. Vertices and faces go to the object of the piece.
    OperationResult readAsciiPiece(std::uint64_t firstRecord, std::uint64_t endRecord, std::atomic<bool>& stop,
                                   bool checksReporter);
    template <bool BigEndian>
    OperationResult readBinary();
    OperationResult finish();

private:
    // The corners of the face being read: the first, and the one before.
    struct Fan {
        std::uint32_t first = 0;
        std::uint32_t previous = 0;
    };
    // The last two vertices of the strip being read and how many it has.
    struct Strip {
        std::uint32_t older = 0;
        std::uint32_t newer = 0;
        std::uint64_t length = 0;
    };

    OperationResult fail(std::string_view text) { return failWith(failure_, FailureKind::Malformed, text); }
    OperationResult outOfMemory() { return failOutOfMemory(failure_); }
    // A body that ends too soon: at its last line, or its last byte.
    OperationResult failAtBodyEnd(std::string_view text)
    {
        if (header_.format == PlyFormat::Ascii)
            return failAtLine(failure_, FailureKind::Malformed, header_.bodyFirstLine + countLineEnds(body_), text);
        return failAtByte(failure_, FailureKind::Malformed, header_.bodyOffset + body_.size(), text);
    }
    std::uint64_t minimumBodyBytes() const;
    OperationResult checkCorner(std::int64_t corner);
    OperationResult appendTriangle(std::uint32_t a, std::uint32_t b, std::uint32_t c);
    OperationResult addCorner(std::int64_t corner, std::int64_t k, Fan& fan);
    OperationResult addStripIndex(std::int64_t index, Strip& strip);
    OperationResult addListItem(PlyElementKind kind, std::int64_t value, std::int64_t k, Fan& fan, Strip& strip);
    OperationResult startList(const PlyElement& element, const PlyProperty& property, double value,
                              std::int64_t& length);
    void colorFace(std::uint32_t firstIndex, ArgbColor color);
    void storeVertex(const Vector3& position, ArgbColor color);

    OperationResult readAsciiRecord(const PlyElement& element, LineScanner& line);
    OperationResult readAsciiVertex(const PlyElement& element, LineScanner& line);
    template <bool BigEndian>
    OperationResult readBinaryRecord(const PlyElement& element, const unsigned char*& at, const unsigned char* end);
    template <bool BigEndian>
    OperationResult readBinaryVertices(const PlyElement& element, const unsigned char*& at, const unsigned char* end);

    const PlyHeader& header_;
    std::string_view body_;
    ModelObject& object_;
    ProgressReporter& reporter_;
    Failure* failure_;
    std::uint32_t verticesRead_ = 0;
    std::uint32_t nextIndex_ = 0;
};

// The fewest bytes the declared records can take, so that a count far
// beyond the file fails before anything of its size is allocated.
std::uint64_t BodyReader::minimumBodyBytes() const
{
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < header_.elementsToRead; ++i) {
        const PlyElement& element = header_.elements[i];
        std::uint64_t record = 0;
        for (const PlyProperty& property : element.properties) {
            // An ASCII value is a token of at least one byte followed by a
            // blank or the line end; a face has three corners or more.
            const std::uint64_t items =
                property.role == PlyRole::Indices && element.kind == PlyElementKind::Face ? 3 : 0;
            if (header_.format == PlyFormat::Ascii)
                record += 2 * (1 + items);
            else
                record += valueSize(property.type) + items * valueSize(property.itemType);
        }
        total += std::uint64_t{element.count} * std::max<std::uint64_t>(record, 1);
    }
    // The last ASCII line needs no line end.
    if (header_.format == PlyFormat::Ascii && total > 0)
        --total;
    return total;
}

OperationResult BodyReader::checkBodySize()
{
    if (minimumBodyBytes() > body_.size())
        return failAtBodyEnd("file is truncated: too short for its element counts");
    return OperationResult::Success;
}

OperationResult BodyReader::allocate(std::uint32_t vertices, std::uint32_t faces)
{
    // Faces of three corners fill this; polygons and strips grow it.
    const std::uint32_t indexCapacity = 3 * faces; // the header keeps faceCount below 2^32 / 3
    if (vertices > 0 && !object_.vertices.allocate(vertices))
        return outOfMemory();
    if (indexCapacity > 0 && !object_.indices.allocate(indexCapacity))
        return outOfMemory();
    std::uint32_t colorCount = 0;
    if (header_.colorMode == PlyColorMode::PerVertex)
        colorCount = vertices;
    else if (header_.colorMode == PlyColorMode::PerFace)
        colorCount = indexCapacity;
    if (colorCount > 0 && !object_.colors.allocate(colorCount))
        return outOfMemory();
    object_.indices.clear();
    if (header_.colorMode == PlyColorMode::PerFace)
        object_.colors.clear();
    return OperationResult::Success;
}

// A corner outside the vertex array would let every later step read beyond
// it: the file is refused instead. Vertices may come after the faces, so the
// declared count is what counts.
OperationResult BodyReader::checkCorner(std::int64_t corner)
{
    if (corner < 0 || corner >= header_.vertexCount)
        return fail("corner index beyond the vertex count");
    return OperationResult::Success;
}

OperationResult BodyReader::appendTriangle(std::uint32_t a, std::uint32_t b, std::uint32_t c)
{
    if (nextIndex_ > UINT32_MAX - 3)
        return fail("too many triangles");
    if (!object_.indices.resize(nextIndex_ + 3))
        return outOfMemory();
    if (header_.colorMode == PlyColorMode::PerFace && !object_.colors.resize(nextIndex_ + 3))
        return outOfMemory();
    std::uint32_t* out = object_.indices.data() + nextIndex_;
    out[0] = a;
    out[1] = b;
    out[2] = c;
    nextIndex_ += 3;
    return OperationResult::Success;
}

// Corner k of a polygon: the first three make a triangle, and every further
// corner adds (previous corner, this corner, first corner), a fan around the
// first corner.
OperationResult BodyReader::addCorner(std::int64_t corner, std::int64_t k, Fan& fan)
{
    if (OperationResult result = checkCorner(corner); result != OperationResult::Success)
        return result;
    const std::uint32_t index = static_cast<std::uint32_t>(corner);
    OperationResult result = OperationResult::Success;
    if (k == 0)
        fan.first = index;
    else if (k == 2)
        result = appendTriangle(fan.first, fan.previous, index);
    else if (k > 2)
        result = appendTriangle(fan.previous, index, fan.first);
    fan.previous = index;
    return result;
}

// Vertex n of a strip (n from 2) makes a triangle with the two before it,
// every second one turned over so that all face the same way; -1 starts a
// new strip. Triangles with a repeated vertex (strips use them to turn) are
// dropped.
OperationResult BodyReader::addStripIndex(std::int64_t index, Strip& strip)
{
    if (index == -1) {
        strip.length = 0;
        return OperationResult::Success;
    }
    if (OperationResult result = checkCorner(index); result != OperationResult::Success)
        return result;
    const std::uint32_t vertex = static_cast<std::uint32_t>(index);
    OperationResult result = OperationResult::Success;
    if (strip.length >= 2 && vertex != strip.older && vertex != strip.newer && strip.older != strip.newer) {
        if (strip.length % 2 == 0)
            result = appendTriangle(strip.older, strip.newer, vertex);
        else
            result = appendTriangle(strip.newer, strip.older, vertex);
    }
    strip.older = strip.newer;
    strip.newer = vertex;
    ++strip.length;
    return result;
}

// The length of a list: a face has three corners or more.
OperationResult BodyReader::startList(const PlyElement& element, const PlyProperty& property, double value,
                                      std::int64_t& length)
{
    length = truncateToInteger(value);
    if (element.kind == PlyElementKind::Face && property.role == PlyRole::Indices && length < 3)
        return fail("face with fewer than 3 corners");
    if (length < 0)
        return fail("negative list length");
    return OperationResult::Success;
}

OperationResult BodyReader::addListItem(PlyElementKind kind, std::int64_t value, std::int64_t k, Fan& fan, Strip& strip)
{
    return kind == PlyElementKind::Face ? addCorner(value, k, fan) : addStripIndex(value, strip);
}

void BodyReader::colorFace(std::uint32_t firstIndex, ArgbColor color)
{
    if (header_.colorMode != PlyColorMode::PerFace)
        return;
    for (std::uint32_t p = firstIndex; p < nextIndex_; ++p)
        object_.colors[p] = color;
}

void BodyReader::storeVertex(const Vector3& position, ArgbColor color)
{
    object_.vertices[verticesRead_] = position;
    if (header_.colorMode == PlyColorMode::PerVertex)
        object_.colors[verticesRead_] = color;
    ++verticesRead_;
}

OperationResult BodyReader::readAsciiVertex(const PlyElement& element, LineScanner& line)
{
    Vector3 position;
    ArgbColor color = OpaqueBlack;
    for (const PlyProperty& property : element.properties) {
        const std::string_view token = line.nextToken();
        if (token.empty())
            return fail("vertex line with too few values");
        switch (property.role) {
        case PlyRole::X:
        case PlyRole::Y:
        case PlyRole::Z: {
            float value = 0;
            if (!parseAsciiCoordinate(token, value))
                return fail("vertex coordinate is not a number");
            (property.role == PlyRole::X ? position.x : property.role == PlyRole::Y ? position.y : position.z) = value;
            break;
        }
        case PlyRole::Red:
        case PlyRole::Green:
        case PlyRole::Blue:
        case PlyRole::Alpha: {
            double value = 0;
            if (!parseAsciiValue(property.type, token, value))
                return fail("vertex colour is not a number");
            color = replaceColorByte(color, property.role, colorByteValue(property.type, value));
            break;
        }
        default: break;
        }
    }
    storeVertex(position, color);
    return OperationResult::Success;
}

// One line: a vertex, a face, a strip, or a record of an element that is
// not loaded (only its values are counted).
OperationResult BodyReader::readAsciiRecord(const PlyElement& element, LineScanner& line)
{
    if (element.kind == PlyElementKind::Vertex)
        return readAsciiVertex(element, line);
    const std::uint32_t firstIndex = nextIndex_;
    ArgbColor color = OpaqueBlack;
    Fan fan;
    Strip strip;
    for (const PlyProperty& property : element.properties) {
        const std::string_view token = line.nextToken();
        if (token.empty())
            return fail("line with too few values");
        double value = 0;
        if ((property.list || property.role != PlyRole::Ignored) && !parseAsciiValue(property.type, token, value))
            return fail("value is not a number");
        if (!property.list) {
            color = replaceColorByte(color, property.role, colorByteValue(property.type, value));
            continue;
        }
        const bool indices = property.role == PlyRole::Indices;
        std::int64_t length = 0;
        if (OperationResult result = startList(element, property, value, length); result != OperationResult::Success)
            return result;
        for (std::int64_t k = 0; k < length; ++k) {
            const std::string_view item = line.nextToken();
            if (item.empty())
                return fail(indices ? "line with a missing corner index" : "line with too few values");
            if (!indices)
                continue;
            std::int64_t index = 0;
            if (!parseAsciiInteger(item, index))
                return fail("corner index is not a number");
            if (OperationResult result = addListItem(element.kind, index, k, fan, strip);
                result != OperationResult::Success)
                return result;
        }
    }
    if (element.kind == PlyElementKind::Face)
        colorFace(firstIndex, color);
    return OperationResult::Success;
}

OperationResult BodyReader::readAscii()
{
    LineScanner line(body_);
    for (std::size_t e = 0; e < header_.elementsToRead; ++e) {
        const PlyElement& element = header_.elements[e];
        for (std::uint32_t record = 0; record < element.count; ++record) {
            if (reporter_.isCancelled())
                return OperationResult::Cancelled;
            if (line.atEnd())
                return failAtBodyEnd("file is truncated: fewer records than declared");
            if (OperationResult result = readAsciiRecord(element, line); result != OperationResult::Success) {
                placeAtLine(failure_,
                            header_.bodyFirstLine + countLineEnds(body_.substr(0, line.cursor() - body_.data())));
                return result;
            }
            line.nextLine();
        }
    }
    return OperationResult::Success;
}

OperationResult BodyReader::readAsciiPiece(std::uint64_t firstRecord, std::uint64_t endRecord, std::atomic<bool>& stop,
                                           bool checksReporter)
{
    constexpr std::uint64_t RecordsPerCheck = 1024;
    LineScanner line(body_);
    std::size_t e = 0;
    std::uint64_t elementStart = 0;
    for (std::uint64_t record = firstRecord; record < endRecord; ++record) {
        while (record >= elementStart + header_.elements[e].count)
            elementStart += header_.elements[e++].count;
        if ((record - firstRecord) % RecordsPerCheck == 0) {
            if (checksReporter && reporter_.isCancelled())
                stop.store(true, std::memory_order_relaxed);
            if (stop.load(std::memory_order_relaxed))
                return OperationResult::Cancelled;
        }
        if (line.atEnd())
            return fail("file is truncated");
        if (OperationResult result = readAsciiRecord(header_.elements[e], line); result != OperationResult::Success)
            return result;
        line.nextLine();
    }
    return OperationResult::Success;
}

template <bool BigEndian>
OperationResult BodyReader::readBinaryVertices(const PlyElement& element, const unsigned char*& at,
                                               const unsigned char* end)
{
    std::uint64_t recordSize = 0;
    for (const PlyProperty& property : element.properties)
        recordSize += valueSize(property.type);
    if (recordSize * element.count > static_cast<std::uint64_t>(end - at))
        return fail("file is truncated");
    for (std::uint32_t record = 0; record < element.count; ++record) {
        if (reporter_.isCancelled())
            return OperationResult::Cancelled;
        float coordinates[3] = {0, 0, 0};
        ArgbColor color = OpaqueBlack;
        for (const PlyProperty& property : element.properties) {
            const double value = readValue<BigEndian>(at, property.type);
            at += valueSize(property.type);
            if (property.role <= PlyRole::Z)
                coordinates[static_cast<int>(property.role)] = static_cast<float>(value);
            else
                color = replaceColorByte(color, property.role, colorByteValue(property.type, value));
        }
        storeVertex(Vector3{coordinates[0], coordinates[1], coordinates[2]}, color);
    }
    return OperationResult::Success;
}

// A face, a strip, or a record of an element that is not loaded.
template <bool BigEndian>
OperationResult BodyReader::readBinaryRecord(const PlyElement& element, const unsigned char*& at,
                                             const unsigned char* end)
{
    const std::uint32_t firstIndex = nextIndex_;
    ArgbColor color = OpaqueBlack;
    Fan fan;
    Strip strip;
    for (const PlyProperty& property : element.properties) {
        const std::uint32_t size = valueSize(property.type);
        if (static_cast<std::size_t>(end - at) < size)
            return fail("file is truncated");
        const double value = readValue<BigEndian>(at, property.type);
        at += size;
        if (!property.list) {
            color = replaceColorByte(color, property.role, colorByteValue(property.type, value));
            continue;
        }
        const bool indices = property.role == PlyRole::Indices;
        std::int64_t length = 0;
        if (OperationResult result = startList(element, property, value, length); result != OperationResult::Success)
            return result;
        const std::uint32_t itemSize = valueSize(property.itemType);
        if (static_cast<std::uint64_t>(length) > static_cast<std::uint64_t>(end - at) / itemSize)
            return fail("file is truncated");
        if (!indices) {
            at += static_cast<std::size_t>(length) * itemSize;
            continue;
        }
        for (std::int64_t k = 0; k < length; ++k) {
            const std::int64_t index = truncateToInteger(readValue<BigEndian>(at, property.itemType));
            at += itemSize;
            if (OperationResult result = addListItem(element.kind, index, k, fan, strip);
                result != OperationResult::Success)
                return result;
        }
    }
    if (element.kind == PlyElementKind::Face)
        colorFace(firstIndex, color);
    return OperationResult::Success;
}

template <bool BigEndian>
OperationResult BodyReader::readBinary()
{
    const unsigned char* begin = reinterpret_cast<const unsigned char*>(body_.data());
    const unsigned char* at = begin;
    const unsigned char* end = at + body_.size();
    for (std::size_t e = 0; e < header_.elementsToRead; ++e) {
        const PlyElement& element = header_.elements[e];
        OperationResult result = OperationResult::Success;
        if (element.kind == PlyElementKind::Vertex) {
            result = readBinaryVertices<BigEndian>(element, at, end);
        } else {
            for (std::uint32_t record = 0; record < element.count && result == OperationResult::Success; ++record) {
                if (reporter_.isCancelled())
                    return OperationResult::Cancelled;
                result = readBinaryRecord<BigEndian>(element, at, end);
            }
        }
        if (result == OperationResult::Failure)
            placeAtByte(failure_, header_.bodyOffset + static_cast<std::uint64_t>(at - begin));
        if (result != OperationResult::Success)
            return result;
    }
    // What follows the last element the model needs is left unread.
    return OperationResult::Success;
}

// Per-vertex colours in an object whose vertex count equals its index count
// would be taken for per-corner colours; store them per corner instead.
OperationResult BodyReader::finish()
{
    if (header_.colorMode != PlyColorMode::PerVertex || object_.indices.empty() ||
        object_.colors.count() != object_.indices.count())
        return OperationResult::Success;
    ColorArray perCorner;
    if (!perCorner.allocate(object_.indices.count()))
        return outOfMemory();
    for (std::uint32_t p = 0; p < object_.indices.count(); ++p)
        perCorner[p] = object_.colors[object_.indices[p]];
    object_.colors.swap(perCorner);
    return OperationResult::Success;
}

// ---------------------------------------------------------------------------
// A large ASCII body on several threads. Every record is one line, so the
// lines of each piece, counted first, say which records it holds; each piece
// reads its records into an object of its own, and the objects are joined in
// record order: vertices, colours and corners come out as one reading gives
// them. Anything that one reading would fail on has the body read again as
// one, which gives its failure and line.

enum class PiecesOutcome { Read, Cancelled, ReadAsOne };

// Lines in one piece of text that starts at a line and ends after a line
// ending or at the text's end: the records the line scanner finds there.
std::uint64_t linesIn(std::string_view piece)
{
    TextLineReader lines(piece, 0, 1);
    std::string_view line;
    while (lines.next(line)) {
    }
    return lines.lineCount();
}

struct BodyPiece {
    std::string_view text;
    std::uint64_t firstRecord = 0;
    std::uint64_t endRecord = 0;
    ModelObject object;
    OperationResult result = OperationResult::Success;
};

// How many records of each kind the records [first, end) hold.
void countRecordKinds(const PlyHeader& header, std::uint64_t first, std::uint64_t end, std::uint32_t& vertices,
                      std::uint32_t& faces)
{
    vertices = faces = 0;
    std::uint64_t elementStart = 0;
    for (std::size_t e = 0; e < header.elementsToRead; ++e) {
        const PlyElement& element = header.elements[e];
        const std::uint64_t from = std::max(first, elementStart);
        const std::uint64_t to = std::min(end, elementStart + element.count);
        elementStart += element.count;
        if (from >= to)
            continue;
        if (element.kind == PlyElementKind::Vertex)
            vertices += static_cast<std::uint32_t>(to - from);
        else if (element.kind == PlyElementKind::Face)
            faces += static_cast<std::uint32_t>(to - from);
    }
}

void readBodyPiece(const PlyHeader& header, BodyPiece& piece, std::atomic<bool>& stop, ProgressReporter& reporter,
                   bool checksReporter)
{
    std::uint32_t vertices = 0, faces = 0;
    countRecordKinds(header, piece.firstRecord, piece.endRecord, vertices, faces);
    Failure ignored;
    BodyReader reader(header, piece.text, piece.object, reporter, &ignored);
    piece.result = reader.allocate(vertices, faces);
    if (piece.result == OperationResult::Success)
        piece.result = reader.readAsciiPiece(piece.firstRecord, piece.endRecord, stop, checksReporter);
}

PiecesOutcome readAsciiInPieces(const PlyHeader& header, std::string_view body, ModelObject& object,
                                ProgressReporter& reporter)
{
    const unsigned count = textPiecesFor(body.size());
    if (count < 2)
        return PiecesOutcome::ReadAsOne;
    std::uint64_t records = 0;
    for (std::size_t e = 0; e < header.elementsToRead; ++e)
        records += header.elements[e].count;

    const std::vector<std::size_t> cuts = lineCuts(body, count);
    std::vector<BodyPiece> pieces(count);
    std::atomic<bool> stop{false};
    readPieces(count, reporter, stop, [&](unsigned i) {
        pieces[i].text = body.substr(cuts[i], cuts[i + 1] - cuts[i]);
        pieces[i].endRecord = linesIn(pieces[i].text);
    });
    std::uint64_t line = 0;
    for (BodyPiece& piece : pieces) {
        const std::uint64_t lines = piece.endRecord;
        piece.firstRecord = std::min(line, records);
        piece.endRecord = std::min(line + lines, records);
        line += lines;
    }
    if (line < records)
        return PiecesOutcome::ReadAsOne; // too few lines: one reading says where
    readPieces(count, reporter, stop, [&](unsigned i) { readBodyPiece(header, pieces[i], stop, reporter, i == 0); });
    if (stop.load())
        return PiecesOutcome::Cancelled;
    for (BodyPiece& piece : pieces)
        if (piece.result != OperationResult::Success)
            return PiecesOutcome::ReadAsOne;
    for (BodyPiece& piece : pieces)
        if (!appendReleasing(object.vertices, piece.object.vertices) ||
            !appendReleasing(object.indices, piece.object.indices) ||
            !appendReleasing(object.colors, piece.object.colors))
            return PiecesOutcome::ReadAsOne;
    countTextReadInPieces();
    return PiecesOutcome::Read;
}

OperationResult readBody(const PlyHeader& header, std::string_view body, ModelObject& object,
                         ProgressReporter& reporter, Failure* failure)
{
    BodyReader reader(header, body, object, reporter, failure);
    reporter.setStatusText("Loading data...", 1);
    OperationResult result = reader.checkBodySize();
    if (result != OperationResult::Success)
        return result;
    PiecesOutcome pieces = PiecesOutcome::ReadAsOne;
    if (header.format == PlyFormat::Ascii)
        pieces = readAsciiInPieces(header, body, object, reporter);
    if (pieces == PiecesOutcome::Cancelled)
        return OperationResult::Cancelled;
    if (pieces == PiecesOutcome::ReadAsOne)
        result = reader.allocate(header.vertexCount, header.faceCount);
    if (result != OperationResult::Success)
        return result;
    switch (header.format) {
    case PlyFormat::Ascii:
        if (pieces == PiecesOutcome::ReadAsOne)
            result = reader.readAscii();
        break;
    case PlyFormat::BinaryLittleEndian: result = reader.readBinary<false>(); break;
    case PlyFormat::BinaryBigEndian: result = reader.readBinary<true>(); break;
    case PlyFormat::Unknown: result = failWith(failure, FailureKind::Malformed, "unknown PLY format"); break;
    }
    if (result == OperationResult::Success)
        result = reader.finish();
    return result;
}

// The text of a PLY file is ASCII (or UTF-8 in comments). A UTF-16 file
// with its mark is read from its UTF-8 form, which only an ASCII body
// survives; NUL bytes in the header, or in an ASCII body, are no PLY text.
OperationResult checkHeaderText(std::string_view file, Failure* failure)
{
    const std::size_t headerEnd = file.find("end_header");
    const TextCheck check = checkTextEncoding(file.substr(0, headerEnd));
    if (!check.readable())
        return failWith(failure, FailureKind::Unsupported, check.reason);
    return OperationResult::Success;
}

OperationResult checkBodyText(const PlyHeader& header, std::string_view body, bool decoded, Failure* failure)
{
    if (header.format != PlyFormat::Ascii)
        return decoded ? failWith(failure, FailureKind::Malformed, "binary PLY data in a UTF-16 text file")
                       : OperationResult::Success;
    if (std::memchr(body.data(), 0, body.size()) != nullptr)
        return failWith(failure, FailureKind::Unsupported, "NUL bytes in the body of an ASCII PLY file");
    return OperationResult::Success;
}

OperationResult readOpenedFile(std::string_view file, Model& model, ModelObject& object, ProgressReporter& reporter,
                               Failure* failure)
{
    std::string decoded; // the file's text when it is UTF-16
    const TextEncoding mark = byteOrderMark(file);
    if (mark != TextEncoding::Utf8 && textAsUtf8(file, decoded, file, failure) != OperationResult::Success)
        return OperationResult::Failure;
    if (checkHeaderText(file, failure) != OperationResult::Success)
        return OperationResult::Failure;

    reporter.setStatusText("Loading header...", 1);
    PlyHeader header;
    OperationResult result = parsePlyHeader(file, header, reporter, failure);
    if (result != OperationResult::Success)
        return result;
    for (std::size_t i = 0; i < header.comments.size(); ++i)
        model.properties.setProperty("Comment" + std::to_string(i + 1), header.comments[i]);

    const std::string_view body = file.substr(static_cast<std::size_t>(header.bodyOffset));
    if (checkBodyText(header, body, !decoded.empty(), failure) != OperationResult::Success)
        return OperationResult::Failure;
    return readBody(header, body, object, reporter, failure);
}

OperationResult readIntoModel(std::string_view file, Model& model, ProgressReporter& reporter, Failure* failure)
{
    ModelObject* object = model.addObject();
    model.profile.kind = FormatKind::Ply;
    if (object == nullptr)
        return failOutOfMemory(failure);
    return readOpenedFile(file, model, *object, reporter, failure);
}

} // namespace

OperationResult readPly(const std::filesystem::path& path, Model& model, ProgressReporter& reporter, Failure* failure)
{
    IndeterminateScope indeterminate(reporter);
    resetModel(model);
    MappedFile file;
    if (const OperationResult opened = file.open(path, failure); opened != OperationResult::Success)
        return opened;
    return readIntoModel(file.view(), model, reporter, failure);
}

OperationResult readPly(std::string_view bytes, std::string_view, Model& model, ProgressReporter& reporter,
                        Failure* failure)
{
    IndeterminateScope indeterminate(reporter);
    resetModel(model);
    return readIntoModel(bytes, model, reporter, failure);
}

} // namespace morvex::ply
