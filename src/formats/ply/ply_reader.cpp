#include "formats/ply/ply.h"
#include "formats/ply/ply_header.h"

#include "support/platform/files.h"
#include "support/text/line_scanner.h"
#include "support/text/numbers.h"

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

class BodyReader {
public:
    BodyReader(const PlyHeader& header, std::string_view body, Model& model, ModelObject& object,
               ProgressReporter& reporter, Failure* failure)
        : header_(header), body_(body), model_(model), object_(object), reporter_(reporter), failure_(failure)
    {
    }

    OperationResult prepare();
    OperationResult readAscii();
    template <bool BigEndian>
    OperationResult readBinary();
    OperationResult finish();

private:
    struct Fan {
        std::uint32_t first = 0;
        std::uint32_t previous = 0;
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
    OperationResult addCorner(std::int64_t corner, std::uint32_t k, Fan& fan);
    OperationResult growForExtraTriangle();
    void colorFace(std::uint32_t firstIndex, ArgbColor color);

    OperationResult readAsciiVertex(LineScanner& line);
    OperationResult readAsciiFace(LineScanner& line);
    template <bool BigEndian>
    OperationResult readBinaryFace(const unsigned char*& at, const unsigned char* end);

    const PlyHeader& header_;
    std::string_view body_;
    Model& model_;
    ModelObject& object_;
    ProgressReporter& reporter_;
    Failure* failure_;
    std::uint32_t verticesRead_ = 0;
    std::uint32_t facesRead_ = 0;
    std::uint32_t edgesRead_ = 0;
    std::uint32_t nextIndex_ = 0;
    std::uint32_t indexCapacity_ = 0;
};

// The fewest bytes the declared vertex and face records can take, so that a
// count far beyond the file fails before anything of its size is allocated.
std::uint64_t BodyReader::minimumBodyBytes() const
{
    std::uint64_t vertexRecord = 0;
    std::uint64_t faceRecord = 0;
    if (header_.format == PlyFormat::Ascii) {
        // Each value is a token of at least one byte followed by a blank or
        // the line end.
        vertexRecord = 2 * header_.vertexProperties.size();
        for (const PlyProperty& property : header_.faceProperties)
            faceRecord += property.role == PlyRole::Indices ? 8 : 2;
    } else {
        for (const PlyProperty& property : header_.vertexProperties)
            vertexRecord += valueSize(property.type);
        for (const PlyProperty& property : header_.faceProperties) {
            faceRecord += valueSize(property.type);
            if (property.role == PlyRole::Indices)
                faceRecord += 3ull * valueSize(property.itemType);
        }
    }
    std::uint64_t total = std::uint64_t{header_.vertexCount} * std::max<std::uint64_t>(vertexRecord, 1) +
                          std::uint64_t{header_.faceCount} * std::max<std::uint64_t>(faceRecord, 1);
    // The last ASCII line needs no line end.
    if (header_.format == PlyFormat::Ascii && total > 0)
        --total;
    return total;
}

OperationResult BodyReader::prepare()
{
    if (minimumBodyBytes() > body_.size())
        return failAtBodyEnd("file is truncated: too short for its vertex and face counts");
    indexCapacity_ = 3 * header_.faceCount; // the header keeps faceCount below 2^32 / 3
    if (header_.vertexCount > 0 && !object_.vertices.allocate(header_.vertexCount))
        return outOfMemory();
    if (indexCapacity_ > 0 && !object_.indices.allocate(indexCapacity_))
        return outOfMemory();
    std::uint32_t colorCount = 0;
    if (header_.colorMode == PlyColorMode::PerVertex)
        colorCount = header_.vertexCount;
    else if (header_.colorMode == PlyColorMode::PerFace)
        colorCount = indexCapacity_;
    if (colorCount > 0 && !object_.colors.allocate(colorCount))
        return outOfMemory();
    return OperationResult::Success;
}

OperationResult BodyReader::growForExtraTriangle()
{
    if (indexCapacity_ > UINT32_MAX - 3)
        return fail("too many triangles");
    indexCapacity_ += 3;
    if (!object_.indices.resize(indexCapacity_))
        return outOfMemory();
    if (header_.colorMode == PlyColorMode::PerFace && !object_.colors.resize(indexCapacity_))
        return outOfMemory();
    return OperationResult::Success;
}

// Corner k of a polygon: the first three make a triangle, and every further
// corner adds (previous corner, this corner, first corner), a fan around the
// first corner.
OperationResult BodyReader::addCorner(std::int64_t corner, std::uint32_t k, Fan& fan)
{
    // A corner outside the vertex array would let every later step read
    // beyond it: the file is refused instead.
    if (corner < 0 || corner >= header_.vertexCount)
        return fail("corner index beyond the vertex count");
    const std::uint32_t index = static_cast<std::uint32_t>(corner);
    if (k < 2) {
        (k == 0 ? fan.first : fan.previous) = index;
        return OperationResult::Success;
    }
    if (k > 2) {
        if (OperationResult result = growForExtraTriangle(); result != OperationResult::Success)
            return result;
    }
    std::uint32_t* out = object_.indices.data() + nextIndex_;
    if (k == 2) {
        out[0] = fan.first;
        out[1] = fan.previous;
        out[2] = index;
    } else {
        out[0] = fan.previous;
        out[1] = index;
        out[2] = fan.first;
    }
    nextIndex_ += 3;
    fan.previous = index;
    return OperationResult::Success;
}

void BodyReader::colorFace(std::uint32_t firstIndex, ArgbColor color)
{
    if (header_.colorMode != PlyColorMode::PerFace)
        return;
    for (std::uint32_t p = firstIndex; p < nextIndex_; ++p)
        object_.colors[p] = color;
}

OperationResult BodyReader::readAsciiVertex(LineScanner& line)
{
    Vector3 position;
    ArgbColor color = OpaqueBlack;
    for (const PlyProperty& property : header_.vertexProperties) {
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
            std::int64_t value = 0;
            if (!parseAsciiInteger(token, value))
                return fail("vertex colour is not a number");
            color = replaceColorByte(color, property.role, value);
            break;
        }
        default: break;
        }
    }
    object_.vertices[verticesRead_] = position;
    if (header_.colorMode == PlyColorMode::PerVertex)
        object_.colors[verticesRead_] = color;
    ++verticesRead_;
    return OperationResult::Success;
}

OperationResult BodyReader::readAsciiFace(LineScanner& line)
{
    const std::uint32_t firstIndex = nextIndex_;
    ArgbColor color = OpaqueBlack;
    for (const PlyProperty& property : header_.faceProperties) {
        const std::string_view token = line.nextToken();
        if (token.empty())
            return fail("face line with too few values");
        std::int64_t value = 0;
        if (property.list || property.role != PlyRole::Ignored) {
            if (!parseAsciiInteger(token, value))
                return fail("face value is not a number");
        }
        if (property.role == PlyRole::Indices) {
            if (value < 3)
                return fail("face with fewer than 3 corners");
            Fan fan;
            for (std::int64_t k = 0; k < value; ++k) {
                std::int64_t corner = 0;
                const std::string_view cornerToken = line.nextToken();
                if (cornerToken.empty())
                    return fail("face line with a missing corner index");
                if (!parseAsciiInteger(cornerToken, corner))
                    return fail("corner index is not a number");
                if (OperationResult result =
                        addCorner(corner, static_cast<std::uint32_t>(std::min<std::int64_t>(k, 3)), fan);
                    result != OperationResult::Success)
                    return result;
            }
        } else if (property.list) {
            if (value < 0)
                return fail("negative list length");
            for (std::int64_t k = 0; k < value; ++k)
                if (line.nextToken().empty())
                    return fail("face line with too few values");
        } else {
            color = replaceColorByte(color, property.role, value);
        }
    }
    colorFace(firstIndex, color);
    ++facesRead_;
    return OperationResult::Success;
}

OperationResult BodyReader::readAscii()
{
    LineScanner line(body_);
    while (verticesRead_ < header_.vertexCount || facesRead_ < header_.faceCount || edgesRead_ < header_.edgeCount) {
        if (reporter_.isCancelled())
            return OperationResult::Cancelled;
        if (line.atEnd())
            break;
        OperationResult result = OperationResult::Success;
        if (verticesRead_ < header_.vertexCount)
            result = readAsciiVertex(line);
        else if (facesRead_ < header_.faceCount)
            result = readAsciiFace(line);
        else
            edgesRead_ = header_.edgeCount; // one line stands for the whole edge element
        if (result != OperationResult::Success) {
            placeAtLine(failure_, header_.bodyFirstLine + countLineEnds(body_.substr(0, line.cursor() - body_.data())));
            return result;
        }
        line.nextLine();
    }
    if (verticesRead_ != header_.vertexCount || facesRead_ != header_.faceCount || edgesRead_ != header_.edgeCount)
        return failAtBodyEnd("file is truncated: fewer records than declared");
    return OperationResult::Success;
}

template <bool BigEndian>
OperationResult BodyReader::readBinaryFace(const unsigned char*& at, const unsigned char* end)
{
    const std::uint32_t firstIndex = nextIndex_;
    ArgbColor color = OpaqueBlack;
    for (const PlyProperty& property : header_.faceProperties) {
        const std::uint32_t size = valueSize(property.type);
        if (static_cast<std::size_t>(end - at) < size)
            return fail("file is truncated");
        const std::int64_t value = truncateToInteger(readValue<BigEndian>(at, property.type));
        at += size;
        if (!property.list) {
            color = replaceColorByte(color, property.role, value);
            continue;
        }
        const std::uint32_t itemSize = valueSize(property.itemType);
        if (property.role == PlyRole::Indices ? value < 3 : value < 0)
            return fail(property.role == PlyRole::Indices ? "face with fewer than 3 corners" : "negative list length");
        if (static_cast<std::uint64_t>(value) > static_cast<std::uint64_t>(end - at) / itemSize)
            return fail("file is truncated");
        if (property.role != PlyRole::Indices) {
            at += static_cast<std::size_t>(value) * itemSize;
            continue;
        }
        Fan fan;
        for (std::int64_t k = 0; k < value; ++k) {
            const std::int64_t corner = truncateToInteger(readValue<BigEndian>(at, property.itemType));
            at += itemSize;
            if (OperationResult result =
                    addCorner(corner, static_cast<std::uint32_t>(std::min<std::int64_t>(k, 3)), fan);
                result != OperationResult::Success)
                return result;
        }
    }
    colorFace(firstIndex, color);
    ++facesRead_;
    return OperationResult::Success;
}

template <bool BigEndian>
OperationResult BodyReader::readBinary()
{
    const unsigned char* begin = reinterpret_cast<const unsigned char*>(body_.data());
    const unsigned char* at = begin;
    const unsigned char* end = at + body_.size();

    std::uint64_t recordSize = 0;
    for (const PlyProperty& property : header_.vertexProperties)
        recordSize += valueSize(property.type);
    if (recordSize * header_.vertexCount > body_.size())
        return failAtBodyEnd("file is truncated");
    const bool perVertexColor = header_.colorMode == PlyColorMode::PerVertex;
    for (; verticesRead_ < header_.vertexCount; ++verticesRead_) {
        if (reporter_.isCancelled())
            return OperationResult::Cancelled;
        float coordinates[3] = {0, 0, 0};
        ArgbColor color = OpaqueBlack;
        for (const PlyProperty& property : header_.vertexProperties) {
            const double value = readValue<BigEndian>(at, property.type);
            at += valueSize(property.type);
            if (property.role <= PlyRole::Z)
                coordinates[static_cast<int>(property.role)] = static_cast<float>(value);
            else
                color = replaceColorByte(color, property.role, truncateToInteger(value));
        }
        object_.vertices[verticesRead_] = Vector3{coordinates[0], coordinates[1], coordinates[2]};
        if (perVertexColor)
            object_.colors[verticesRead_] = color;
    }

    while (facesRead_ < header_.faceCount) {
        if (reporter_.isCancelled())
            return OperationResult::Cancelled;
        if (OperationResult result = readBinaryFace<BigEndian>(at, end); result != OperationResult::Success) {
            placeAtByte(failure_, header_.bodyOffset + static_cast<std::uint64_t>(at - begin));
            return result;
        }
    }
    // Edge records are not loaded; what follows the faces is left unread.
    edgesRead_ = header_.edgeCount;
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

OperationResult readBody(const PlyHeader& header, std::string_view body, Model& model, ModelObject& object,
                         ProgressReporter& reporter, Failure* failure)
{
    BodyReader reader(header, body, model, object, reporter, failure);
    reporter.setStatusText("Loading data...", 1);
    OperationResult result = reader.prepare();
    if (result != OperationResult::Success)
        return result;
    switch (header.format) {
    case PlyFormat::Ascii: result = reader.readAscii(); break;
    case PlyFormat::BinaryLittleEndian: result = reader.readBinary<false>(); break;
    case PlyFormat::BinaryBigEndian: result = reader.readBinary<true>(); break;
    case PlyFormat::Unknown: result = failWith(failure, FailureKind::Malformed, "unknown PLY format"); break;
    }
    if (result == OperationResult::Success)
        result = reader.finish();
    return result;
}

OperationResult readOpenedFile(std::string_view file, Model& model, ModelObject& object, ProgressReporter& reporter,
                               Failure* failure)
{
    reporter.setStatusText("Loading header...", 1);
    PlyHeader header;
    OperationResult result = parsePlyHeader(file, header, reporter, failure);
    if (result != OperationResult::Success)
        return result;
    for (std::size_t i = 0; i < header.comments.size(); ++i)
        model.properties.setProperty("Comment" + std::to_string(i + 1), header.comments[i]);

    result =
        readBody(header, file.substr(static_cast<std::size_t>(header.bodyOffset)), model, object, reporter, failure);
    return result;
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
