#include "formats/ply/ply_header.h"

#include "support/text/line_scanner.h"
#include "support/text/numbers.h"
#include "support/text/text.h"

#include <cstring>

namespace morvex::ply {
namespace {

// Header lines longer than this keep only their first bytes.
constexpr std::size_t MaxLineBytes = 259;

// Header lines hold no line ends, so every byte up to the space is a blank.
std::string_view skipBlanks(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && LineScanner::isBlank(text[at]))
        ++at;
    return text.substr(at);
}

PlyRole colorRole(std::string_view name)
{
    if (name == "red")
        return PlyRole::Red;
    if (name == "green")
        return PlyRole::Green;
    if (name == "blue")
        return PlyRole::Blue;
    if (name == "alpha")
        return PlyRole::Alpha;
    return PlyRole::Ignored;
}

bool isColorRole(PlyRole role)
{
    return role == PlyRole::Red || role == PlyRole::Green || role == PlyRole::Blue || role == PlyRole::Alpha;
}

class HeaderParser {
public:
    HeaderParser(PlyHeader& header, Failure* failure) : header_(header), failure_(failure) {}

    OperationResult element(LineScanner tokens);
    OperationResult property(LineScanner tokens);
    OperationResult finish();

private:
    OperationResult fail(std::string_view text) { return failWith(failure_, FailureKind::Malformed, text); }
    OperationResult readCount(std::string_view word, std::uint32_t& count);
    OperationResult checkWalkable(const PlyElement& element);

    PlyHeader& header_;
    Failure* failure_;
    bool declared_[4] = {}; // vertex, face, strips, edge
};

OperationResult HeaderParser::readCount(std::string_view word, std::uint32_t& count)
{
    // A count that is not a number counts as 0; digits beyond the 64-bit
    // range are a count too large, not 0.
    std::int64_t value = 0;
    const char* cursor = word.data();
    if (!parseInt64(cursor, word.data() + word.size(), value)) {
        const std::string_view digits = word.substr(word.starts_with('-') || word.starts_with('+') ? 1 : 0);
        if (!digits.empty() && digits.front() >= '0' && digits.front() <= '9')
            return fail(word.starts_with('-') ? "negative element count" : "element count too large");
        value = 0;
    }
    if (value < 0)
        return fail("negative element count");
    if (value > UINT32_MAX)
        return fail("element count too large");
    count = static_cast<std::uint32_t>(value);
    return OperationResult::Success;
}

PlyElementKind elementKind(std::string_view name)
{
    if (name == "vertex")
        return PlyElementKind::Vertex;
    if (name == "face")
        return PlyElementKind::Face;
    if (name == "tristrips")
        return PlyElementKind::Strips;
    if (name == "edge")
        return PlyElementKind::Edge;
    return PlyElementKind::Other;
}

OperationResult HeaderParser::element(LineScanner tokens)
{
    const std::string_view name = tokens.nextToken();
    if (name.empty())
        return fail("element line without a name");
    std::uint32_t count = 0;
    if (OperationResult result = readCount(tokens.nextToken(), count); result != OperationResult::Success)
        return result;

    const PlyElementKind kind = elementKind(name);
    if (kind != PlyElementKind::Other) {
        bool& seen = declared_[static_cast<int>(kind)];
        if (seen)
            return fail("element declared twice");
        seen = true;
    }
    if (kind == PlyElementKind::Vertex)
        header_.vertexCount = count;
    if (kind == PlyElementKind::Face) {
        if (count > UINT32_MAX / 3)
            return fail("element count too large");
        header_.faceCount = count;
    }
    header_.elements.push_back(PlyElement{kind, count, {}});
    return OperationResult::Success;
}

// The list of corners of a face or strip is its first list whatever its
// name; later ones (texture coordinates, ...) are read past.
PlyRole listRole(const PlyElement& element)
{
    if (element.kind != PlyElementKind::Face && element.kind != PlyElementKind::Strips)
        return PlyRole::Ignored;
    for (const PlyProperty& property : element.properties)
        if (property.role == PlyRole::Indices)
            return PlyRole::Ignored;
    return PlyRole::Indices;
}

OperationResult HeaderParser::property(LineScanner tokens)
{
    const std::string_view typeWord = tokens.nextToken();
    if (typeWord.empty())
        return fail("property line without a type");
    if (header_.elements.empty())
        return OperationResult::Success; // belongs to no element: ignored
    PlyElement& element = header_.elements.back();
    PlyProperty property;
    property.type = valueTypeFromWord(typeWord);
    if (property.type == PlyValueType::List) {
        if (element.kind == PlyElementKind::Vertex || element.kind == PlyElementKind::Edge)
            return fail(element.kind == PlyElementKind::Vertex ? "list property on a vertex element"
                                                               : "list property on an edge element");
        property.type = valueTypeFromWord(tokens.nextToken());
        property.itemType = valueTypeFromWord(tokens.nextToken());
        property.list = true;
        property.role = listRole(element);
        element.properties.push_back(property);
        return OperationResult::Success;
    }
    const std::string_view name = tokens.nextToken();
    switch (element.kind) {
    case PlyElementKind::Vertex:
        if (name == "x")
            property.role = PlyRole::X;
        else if (name == "y")
            property.role = PlyRole::Y;
        else if (name == "z")
            property.role = PlyRole::Z;
        else
            property.role = colorRole(name);
        if (isColorRole(property.role) && header_.colorMode == PlyColorMode::None)
            header_.colorMode = PlyColorMode::PerVertex;
        break;
    case PlyElementKind::Face:
        property.role = colorRole(name);
        if (isColorRole(property.role))
            header_.colorMode = PlyColorMode::PerFace;
        break;
    case PlyElementKind::Edge:
        if (name == "vertex1")
            property.role = PlyRole::Vertex1;
        else if (name == "vertex2")
            property.role = PlyRole::Vertex2;
        break; // edges are not loaded: their colours change nothing
    case PlyElementKind::Strips:
    case PlyElementKind::Other: break;
    }
    element.properties.push_back(property);
    return OperationResult::Success;
}

// Binary records can only be walked when every value has a known size.
OperationResult HeaderParser::checkWalkable(const PlyElement& element)
{
    if (header_.format == PlyFormat::Ascii)
        return OperationResult::Success;
    for (const PlyProperty& property : element.properties)
        if (valueSize(property.type) == 0 || (property.list && valueSize(property.itemType) == 0))
            return fail("property of unknown type in a binary file");
    return OperationResult::Success;
}

OperationResult HeaderParser::finish()
{
    header_.elementsToRead = 0;
    for (std::size_t i = 0; i < header_.elements.size(); ++i) {
        const PlyElement& element = header_.elements[i];
        const bool hasCorners = element.kind == PlyElementKind::Face || element.kind == PlyElementKind::Strips;
        if (hasCorners && element.count > 0 && listRole(element) == PlyRole::Indices)
            return fail(element.kind == PlyElementKind::Face ? "face element without a list of corners"
                                                             : "tristrips element without a list of vertex indices");
        if ((hasCorners || element.kind == PlyElementKind::Vertex) && element.count > 0)
            header_.elementsToRead = i + 1;
    }
    for (std::size_t i = 0; i < header_.elementsToRead; ++i)
        if (checkWalkable(header_.elements[i]) != OperationResult::Success)
            return OperationResult::Failure;
    return OperationResult::Success;
}

bool readFormatLine(std::string_view line, PlyFormat& format)
{
    if (line.starts_with("format ascii 1.0"))
        format = PlyFormat::Ascii;
    else if (line.starts_with("format binary_little_endian 1.0"))
        format = PlyFormat::BinaryLittleEndian;
    else if (line.starts_with("format binary_big_endian 1.0"))
        format = PlyFormat::BinaryBigEndian;
    else
        return false;
    return true;
}

} // namespace

std::uint32_t valueSize(PlyValueType type)
{
    switch (type) {
    case PlyValueType::Char:
    case PlyValueType::Uchar: return 1;
    case PlyValueType::Short:
    case PlyValueType::Ushort: return 2;
    case PlyValueType::Int:
    case PlyValueType::Uint:
    case PlyValueType::Float: return 4;
    case PlyValueType::Double: return 8;
    case PlyValueType::List:
    case PlyValueType::Unknown: return 0;
    }
    return 0;
}

PlyValueType valueTypeFromWord(std::string_view word)
{
    struct Name {
        const char* word;
        PlyValueType type;
    };
    static constexpr Name names[] = {
        {"char", PlyValueType::Char},   {"uchar", PlyValueType::Uchar},    {"int", PlyValueType::Int},
        {"uint", PlyValueType::Uint},   {"short", PlyValueType::Short},    {"ushort", PlyValueType::Ushort},
        {"float", PlyValueType::Float}, {"float32", PlyValueType::Float},  {"double", PlyValueType::Double},
        {"list", PlyValueType::List},   {"int8", PlyValueType::Char},      {"uint8", PlyValueType::Uchar},
        {"int16", PlyValueType::Short}, {"uint16", PlyValueType::Ushort},  {"int32", PlyValueType::Int},
        {"uint32", PlyValueType::Uint}, {"float64", PlyValueType::Double},
    };
    for (const Name& name : names)
        if (word == name.word)
            return name.type;
    return PlyValueType::Unknown;
}

OperationResult parsePlyHeader(std::string_view file, PlyHeader& header, ProgressReporter& reporter, Failure* failure)
{
    header = PlyHeader{};
    LineScanner lines(file);
    std::string_view raw;
    if (!lines.takeLine(raw) || !skipBlanks(raw.substr(0, MaxLineBytes)).starts_with("ply"))
        return failAtLine(failure, FailureKind::Malformed, 1, "not a PLY file");
    if (!lines.takeLine(raw) || !readFormatLine(skipBlanks(raw.substr(0, MaxLineBytes)), header.format))
        return failAtLine(failure, FailureKind::Malformed, 2, "unknown PLY format line");
    if (reporter.isCancelled())
        return OperationResult::Cancelled;

    HeaderParser parser(header, failure);
    std::uint64_t lineNumber = 2;
    while (lines.takeLine(raw)) {
        ++lineNumber;
        const std::string_view line = skipBlanks(raw.substr(0, MaxLineBytes));
        OperationResult result = OperationResult::Success;
        if (line.starts_with("end_header")) {
            header.bodyOffset = static_cast<std::uint64_t>(lines.cursor() - file.data());
            header.bodyFirstLine = lineNumber + 1;
            const OperationResult finished = parser.finish();
            if (finished == OperationResult::Failure)
                placeAtLine(failure, lineNumber);
            return finished;
        }
        if (line.starts_with("comment")) {
            // The text may run to the end of the kept bytes, never splitting
            // a character.
            const std::size_t skipped = static_cast<std::size_t>(line.data() - raw.data());
            std::string_view text = skipBlanks(raw.substr(skipped + 7));
            const std::size_t offset = static_cast<std::size_t>(text.data() - raw.data());
            std::string kept = offset < MaxLineBytes ? limitUtf8Bytes(text, MaxLineBytes - offset) : std::string();
            if (!kept.empty())
                header.comments.push_back(sanitizeUtf8(kept));
        } else if (line.starts_with("element")) {
            result = parser.element(LineScanner(line.substr(7)));
        } else if (line.starts_with("property")) {
            result = parser.property(LineScanner(line.substr(8)));
        }
        if (result != OperationResult::Success) {
            placeAtLine(failure, lineNumber);
            return result;
        }
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
    }
    return failAtLine(failure, FailureKind::Malformed, lineNumber, "header has no end_header line");
}

} // namespace morvex::ply
