#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_model_part.h"

#include "support/platform/files.h"
#include "support/platform/scratch_folder.h"
#include "support/text/numbers.h"
#include "support/text/text.h"
#include "support/zip/zip_component.h"

#include <cmath>
#include <cstring>
#include <new>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace morvex::threemf {
namespace {

constexpr std::string_view ContentTypesPart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">\r\n"
    "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>\r\n"
    "<Default Extension=\"model\" ContentType=\"application/vnd.ms-package.3dmanufacturing-3dmodel+xml\"/>\r\n"
    "</Types>\r\n";

constexpr std::string_view RelationshipsPart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">\r\n"
    "<Relationship Target=\"/3D/3dmodel.model\" Id=\"rel10\" "
    "Type=\"http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel\"/>\r\n"
    "</Relationships>\r\n";

// Writing the model part fills the first half of the progress bar, archiving
// it the second: deflate takes about as long as formatting the numbers.
constexpr double ModelPartShare = 0.5;
// Of one object's share, the vertices take a third and the triangles (twice
// as many lines) the rest.
constexpr double VertexShare = 1.0 / 3.0;
// Vertices or triangles between two stop questions and progress reports.
constexpr std::uint32_t CheckInterval = 100;
// Room for the longest vertex or triangle line.
constexpr std::size_t MaxLineBytes = 4 * MaxNumberChars + 128;

// Document properties that are package bookkeeping, not metadata.
bool isMetadataKey(std::string_view key)
{
    return !key.starts_with("Model:") && !key.starts_with("BuildItem:") && !key.starts_with("Component:") &&
           key != "3DPszFilePath" && key != "3DPiFileType" && key != "3DPbHaveChanges";
}

// Objects without vertices are left out of the package.
bool isWritten(const ModelObject& object)
{
    return !object.vertices.empty();
}

char* appendLiteral(char* at, std::string_view text)
{
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
}

char* appendUnsigned(char* at, std::uint32_t value)
{
    return std::to_chars(at, at + MaxNumberChars, value).ptr;
}

// The three numbered attributes of a triangle, `v1="a" v2="b" v3="c" ` for
// the letter 'v', each followed by a space.
char* appendCornerAttributes(char* at, char letter, std::uint32_t first, std::uint32_t second, std::uint32_t third)
{
    const std::uint32_t values[3] = {first, second, third};
    for (int k = 0; k < 3; ++k) {
        *at++ = letter;
        *at++ = static_cast<char>('1' + k);
        at = appendLiteral(at, "=\"");
        at = appendUnsigned(at, values[k]);
        at = appendLiteral(at, "\" ");
    }
    return at;
}

// printf "%f" of a float. The float times 10^6 is exact in a double (24
// mantissa bits times 15625 fit in 53), so rounding that product to an
// integer the way printf rounds (to nearest, ties to even) gives the same
// digits at a fraction of the cost.
char* appendSixDecimals(char* at, float value)
{
    const double scaled = static_cast<double>(value) * 1e6;
    if (!(std::fabs(scaled) < 9.0e18)) // huge, infinite or not a number
        return at + formatFixed(at, value, 6);
    if (std::signbit(value))
        *at++ = '-';
    const auto units = static_cast<std::uint64_t>(std::nearbyint(std::fabs(scaled)));
    at = std::to_chars(at, at + MaxNumberChars, units / 1000000).ptr;
    *at++ = '.';
    std::uint64_t fraction = units % 1000000;
    for (int digit = 5; digit >= 0; --digit) {
        at[digit] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    return at + 6;
}

// Text written into an attribute value or between tags stays well-formed
// XML: the five markup characters become entity references, characters XML
// cannot hold at all (control characters, U+FFFE, U+FFFF) are dropped, and
// tabs and line breaks in attribute values become character references so
// that parsers do not fold them into spaces. Invalid UTF-8 is taken as
// Windows-1252, as everywhere else in the program.
enum class XmlContext { Attribute, Text };

void writeEscaped(AtomicFileWriter& out, std::string_view raw, XmlContext context)
{
    std::string repaired;
    if (!isValidUtf8(raw)) {
        repaired = sanitizeUtf8(raw);
        raw = repaired;
    }
    const bool attribute = context == XmlContext::Attribute;
    std::size_t plainStart = 0;
    const auto flushPlain = [&](std::size_t end) { out.write(raw.substr(plainStart, end - plainStart)); };
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const auto byte = static_cast<unsigned char>(raw[i]);
        std::string_view replacement;
        std::size_t length = 1;
        switch (byte) {
        case '&': replacement = "&amp;"; break;
        case '<': replacement = "&lt;"; break;
        case '>': replacement = "&gt;"; break;
        case '"': replacement = "&quot;"; break;
        case '\'': replacement = "&apos;"; break;
        case '\t': replacement = attribute ? "&#9;" : "\t"; break;
        case '\n': replacement = attribute ? "&#10;" : "\n"; break;
        case '\r': replacement = "&#13;"; break;
        case 0xEF:
            // U+FFFE and U+FFFF are not XML characters.
            if (i + 2 < raw.size() && static_cast<unsigned char>(raw[i + 1]) == 0xBF &&
                (static_cast<unsigned char>(raw[i + 2]) & 0xFE) == 0xBE)
                length = 3;
            else
                continue;
            break;
        default:
            if (byte >= 0x20)
                continue;
            break; // other control characters: dropped
        }
        flushPlain(i);
        out.write(replacement);
        i += length - 1;
        plainStart = i + 1;
    }
    flushPlain(raw.size());
}

// Every distinct colour of the written objects, in order of first
// appearance; palette numbers are positions in that list.
class Palette {
public:
    void collect(const ColorArray& colors)
    {
        for (const ArgbColor color : colors) {
            if (hasLast_ && color == last_)
                continue;
            if (numbers_.try_emplace(color, static_cast<std::uint32_t>(colors_.size())).second)
                colors_.push_back(color);
            last_ = color;
            hasLast_ = true;
        }
    }

    // Palette number of a colour; 0 for a colour not in the palette.
    std::uint32_t numberOf(ArgbColor color)
    {
        if (!hasLookup_ || color != lookupColor_) {
            const auto found = numbers_.find(color);
            lookupColor_ = color;
            lookupNumber_ = found == numbers_.end() ? 0 : found->second;
            hasLookup_ = true;
        }
        return lookupNumber_;
    }

    bool empty() const { return colors_.empty(); }
    const std::vector<ArgbColor>& colors() const { return colors_; }

private:
    std::vector<ArgbColor> colors_;
    std::unordered_map<ArgbColor, std::uint32_t> numbers_;
    ArgbColor last_ = 0;
    bool hasLast_ = false;
    ArgbColor lookupColor_ = 0;
    std::uint32_t lookupNumber_ = 0;
    bool hasLookup_ = false;
};

// "#RRGGBBAA", upper-case.
std::string colorText(ArgbColor color)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    const unsigned bytes[4] = {(color >> 16) & 0xFF, (color >> 8) & 0xFF, color & 0xFF, color >> 24};
    std::string text = "#";
    for (const unsigned byte : bytes) {
        text += hex[byte >> 4];
        text += hex[byte & 0xF];
    }
    return text;
}

class ModelPartWriter {
public:
    ModelPartWriter(const Model& model, ProgressReporter& reporter, AtomicFileWriter& out)
        : model_(model), reporter_(reporter), out_(out)
    {
        for (const auto& object : model_.objects)
            if (isWritten(*object))
                ++writtenCount_;
        // Resource ids are shared by objects and property groups, so the
        // colour group takes the first number after the objects.
        groupId_ = std::to_string(writtenCount_ + 1);
    }

    OperationResult write()
    {
        writeHeader();
        writeMetadata();
        OperationResult result = writeResources();
        if (result != OperationResult::Success)
            return result;
        return writeBuild();
    }

private:
    void literal(std::string_view text) { out_.write(text); }

    // name="value" followed by a space.
    void attribute(std::string_view name, std::string_view value)
    {
        out_.write(name);
        out_.write("=\"");
        writeEscaped(out_, value, XmlContext::Attribute);
        out_.write("\" ");
    }

    void writeHeader()
    {
        const PropertyBag& properties = model_.properties;
        literal("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<model ");
        attribute("unit", limitUtf16Units(properties.getProperty("Model:unit", "millimeter")));
        attribute("xml:lang", limitUtf16Units(properties.getProperty("Model:xml:lang", "en-US")));
        attribute("xmlns:m", limitUtf16Units(properties.getProperty("Model:xmlns:m", ThreeMfMaterialNamespace)));
        attribute("xmlns", limitUtf16Units(properties.getProperty("Model:xmlns", ThreeMfCoreNamespace)));
        literal(">");
    }

    void metadataLine(std::string_view name, std::string_view value)
    {
        literal("<metadata name=\"");
        writeEscaped(out_, name, XmlContext::Attribute);
        literal("\">");
        writeEscaped(out_, value, XmlContext::Text);
        literal("</metadata>\n");
    }

    void writeMetadata()
    {
        bool titleWritten = false;
        for (const auto& [key, value] : model_.properties) {
            if (!isMetadataKey(key))
                continue;
            metadataLine(key, value);
            titleWritten = titleWritten || key == "Title";
        }
        const std::string modelName = model_.properties.getProperty("ModelName");
        if (!titleWritten && !modelName.empty())
            metadataLine("Title", modelName);
    }

    // Visits the written objects with their new numbers 1, 2, ..., asking
    // the stop question before each.
    template <typename Visit>
    OperationResult forEachWrittenObject(Visit&& visit)
    {
        std::uint32_t number = 0;
        for (const auto& object : model_.objects) {
            if (reporter_.isCancelled())
                return OperationResult::Cancelled;
            if (!isWritten(*object))
                continue;
            const OperationResult result = visit(*object, ++number);
            if (result != OperationResult::Success)
                return result;
        }
        return OperationResult::Success;
    }

    OperationResult writeResources()
    {
        literal("<resources>");
        OperationResult result = forEachWrittenObject([&](const ModelObject& object, std::uint32_t) {
            palette_.collect(object.colors);
            return OperationResult::Success;
        });
        if (result != OperationResult::Success)
            return result;
        if (!palette_.empty()) {
            literal("<m:colorgroup id=\"" + groupId_ + "\" >");
            for (const ArgbColor color : palette_.colors())
                literal("<m:color color=\"" + colorText(color) + "\" />\n");
            literal("</m:colorgroup>");
        }
        result = forEachWrittenObject(
            [&](const ModelObject& object, std::uint32_t number) { return writeObject(object, number); });
        if (result != OperationResult::Success)
            return result;
        literal("</resources>\n");
        return OperationResult::Success;
    }

    OperationResult writeObject(const ModelObject& object, std::uint32_t number)
    {
        const PropertyBag& properties = object.properties;
        literal("<object ");
        attribute("id", std::to_string(number));
        attribute("type", properties.getProperty("type", "model"));
        // Only coloured objects refer to the colour group: an object without
        // colours must not take on the first colour of another one.
        if (!object.colors.empty()) {
            attribute("pid", groupId_);
            attribute("pindex", "0");
        }
        for (const char* name : {"thumbnail", "partnumber", "name"}) {
            const std::string value = properties.getProperty(name);
            if (!value.empty())
                attribute(name, value);
        }
        literal(">");
        objectStart_ = ModelPartShare * (number - 1) / std::max<std::uint32_t>(writtenCount_, 1);
        objectScale_ = ModelPartShare / std::max<std::uint32_t>(writtenCount_, 1);
        literal("<mesh><vertices>");
        OperationResult result = writeVertices(object);
        if (result != OperationResult::Success)
            return result;
        literal("</vertices>\n");
        reporter_.setStatusText("Writing triangles...", 0);
        literal("<triangles>");
        result = writeTriangles(object);
        if (result != OperationResult::Success)
            return result;
        literal("</triangles>\n</mesh>\n</object>\n");
        return OperationResult::Success;
    }

    void reportObjectProgress(double fraction) { reporter_.setProgress(objectStart_ + objectScale_ * fraction); }

    OperationResult writeVertices(const ModelObject& object)
    {
        reporter_.setStatusText("Writing vertices...", 0);
        const bool placed = object.hasPlacement();
        const Matrix4 placement = placementMatrix(object);
        const std::uint32_t count = object.vertices.count();
        for (std::uint32_t i = 0; i < count; ++i) {
            if (i % CheckInterval == 0) {
                if (reporter_.isCancelled())
                    return OperationResult::Cancelled;
                reportObjectProgress(VertexShare * i / count);
            }
            const Vector3 point = placed ? transformPoint(object.vertices[i], placement) : object.vertices[i];
            char* const start = out_.reserve(MaxLineBytes);
            char* at = appendLiteral(start, "<vertex x=\"");
            at = appendSixDecimals(at, point.x);
            at = appendLiteral(at, "\" y=\"");
            at = appendSixDecimals(at, point.y);
            at = appendLiteral(at, "\" z=\"");
            at = appendSixDecimals(at, point.z);
            at = appendLiteral(at, "\" />\n");
            out_.advance(static_cast<std::size_t>(at - start));
        }
        return OperationResult::Success;
    }

    // Palette number of a corner's colour: the entry at the corner's position
    // for per-corner colours, else at its vertex; 0 when it has none.
    std::uint32_t cornerNumber(const ModelObject& object, std::uint32_t corner, bool perCorner)
    {
        const std::uint32_t entry = perCorner ? corner : object.indices[corner];
        if (entry >= object.colors.count())
            return 0;
        return palette_.numberOf(object.colors[entry]);
    }

    OperationResult writeTriangles(const ModelObject& object)
    {
        const std::uint32_t vertexCount = object.vertices.count();
        const std::uint32_t triangleCount = object.triangleCount();
        const bool coloured = !object.colors.empty();
        const bool perCorner = object.colorsPerCorner();
        const std::string pidPiece = "pid=\"" + groupId_ + "\" ";
        const std::uint32_t* indices = object.indices.data();
        for (std::uint32_t t = 0; t < triangleCount; ++t) {
            if (t % CheckInterval == 0) {
                if (reporter_.isCancelled())
                    return OperationResult::Cancelled;
                reportObjectProgress(VertexShare + (1.0 - VertexShare) * t / triangleCount);
            }
            const std::uint32_t first = 3 * t;
            const std::uint32_t a = indices[first];
            const std::uint32_t b = indices[first + 1];
            const std::uint32_t c = indices[first + 2];
            if (a >= vertexCount || b >= vertexCount || c >= vertexCount)
                continue;
            char* const start = out_.reserve(MaxLineBytes + pidPiece.size());
            char* at = appendLiteral(start, "<triangle ");
            at = appendCornerAttributes(at, 'v', a, b, c);
            if (coloured) {
                const std::uint32_t p1 = cornerNumber(object, first, perCorner);
                const std::uint32_t p2 = cornerNumber(object, first + 1, perCorner);
                const std::uint32_t p3 = cornerNumber(object, first + 2, perCorner);
                // A missing p2 or p3 means "as p1" to every reader, so once
                // any corner leaves palette entry 0 all three are written;
                // all three at entry 0 take the object's pindex 0.
                if ((p1 | p2 | p3) != 0)
                    at = appendCornerAttributes(at, 'p', p1, p2, p3);
                at = appendLiteral(at, pidPiece);
            }
            at = appendLiteral(at, "/>\n");
            out_.advance(static_cast<std::size_t>(at - start));
        }
        return OperationResult::Success;
    }

    OperationResult writeBuild()
    {
        literal("<build>");
        const OperationResult result = forEachWrittenObject([&](const ModelObject& object, std::uint32_t number) {
            literal("<item ");
            attribute("objectid", std::to_string(number));
            // The reader kept part numbers under the object's id in its
            // source file; they stay with the object whatever its new number.
            const std::string originalId = object.properties.getProperty("id");
            const std::string partNumber = model_.properties.getProperty("BuildItem:partnumber_" + originalId);
            if (!originalId.empty() && !partNumber.empty())
                attribute("partnumber", partNumber);
            literal("/>\n");
            return OperationResult::Success;
        });
        if (result != OperationResult::Success)
            return result;
        literal("</build>\n</model>\n");
        return OperationResult::Success;
    }

    const Model& model_;
    ProgressReporter& reporter_;
    AtomicFileWriter& out_;
    Palette palette_;
    std::uint32_t writtenCount_ = 0;
    std::string groupId_;
    double objectStart_ = 0.0;
    double objectScale_ = 0.0;
};

// Creates a package part (and its folder) and fills it; the part exists
// only when the whole content was written.
template <typename Fill>
OperationResult writePart(const std::filesystem::path& path, Failure* failure, Fill&& fill)
{
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error)
        return failWith(failure, FailureKind::Unwritable, "cannot create a package folder: " + error.message());
    AtomicFileWriter out;
    if (out.open(path, failure) != OperationResult::Success)
        return OperationResult::Failure;
    const OperationResult result = fill(out);
    if (result != OperationResult::Success)
        return result;
    return out.commit(failure);
}

OperationResult writeTextPart(const std::filesystem::path& path, std::string_view text, Failure* failure)
{
    return writePart(path, failure, [&](AtomicFileWriter& out) {
        out.write(text);
        return OperationResult::Success;
    });
}

OperationResult writePackage(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                             Failure* failure)
{
    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    ScratchFolder staging; // removed with everything in it on every way out
    if (staging.create(failure) != OperationResult::Success)
        return OperationResult::Failure;
    const std::filesystem::path& root = staging.path();
    if (writeTextPart(root / "[Content_Types].xml", ContentTypesPart, failure) != OperationResult::Success ||
        writeTextPart(root / "_rels" / ".rels", RelationshipsPart, failure) != OperationResult::Success)
        return OperationResult::Failure;
    OperationResult result = writePart(root / "3D" / "3dmodel.model", failure, [&](AtomicFileWriter& out) {
        return ModelPartWriter(model, reporter, out).write();
    });
    if (result != OperationResult::Success)
        return result;

    reporter.setStatusText("Finalizing 3MF file...", 0);
    ProgressRange archiveProgress(reporter, ModelPartShare, 1.0 - ModelPartShare);
    {
        std::lock_guard lock(zipLock());
        result = zipFolder(path, root, archiveProgress, failure);
    }
    if (result == OperationResult::Failure && reporter.isCancelled())
        result = OperationResult::Cancelled;
    return result;
}

} // namespace

OperationResult write3mf(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure)
{
    OperationResult result = OperationResult::Failure;
    try {
        result = writePackage(path, model, reporter, failure);
    } catch (const std::bad_alloc&) {
        result = failOutOfMemory(failure);
    }
    reporter.setProgress(1.0);
    return result;
}

} // namespace morvex::threemf
