#include "formats/threemf/threemf.h"
#include "formats/threemf/threemf_model_part.h"

#include "support/platform/files.h"
#include "support/platform/reference_policy.h"
#include "support/platform/scratch_folder.h"
#include "support/text/numbers.h"
#include "support/text/text.h"
#include "support/zip/zip_component.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <new>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace morvex::threemf {
namespace {

constexpr std::string_view ContentTypesHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">\r\n"
    "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>\r\n"
    "<Default Extension=\"model\" ContentType=\"application/vnd.ms-package.3dmanufacturing-3dmodel+xml\"/>\r\n";
constexpr std::string_view ContentTypesTail = "</Types>\r\n";

constexpr std::string_view RelationshipsPart =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">\r\n"
    "<Relationship Target=\"/3D/3dmodel.model\" Id=\"rel10\" "
    "Type=\"http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel\"/>\r\n"
    "</Relationships>\r\n";

constexpr std::string_view TextureRelationship = "http://schemas.microsoft.com/3dmanufacturing/2013/01/3dtexture";

// Document properties under other names than the core metadata names are
// written in this namespace of ours (readers that know only the core names
// refuse others), and read back without it.
constexpr std::string_view MetadataPrefix = "morvex:";

// Units the 3MF core names; anything else is written as
// millimetres, which is also what the coordinates of most sources are.
bool isCoreUnit(std::string_view unit)
{
    for (const std::string_view known : {"micron", "millimeter", "centimeter", "inch", "foot", "meter"})
        if (unit == known)
            return true;
    return false;
}

// Writing the model part fills the first half of the progress bar, archiving
// it the second: deflate takes about as long as formatting the numbers.
constexpr double ModelPartShare = 0.5;
// Of one object's share, the vertices take a third and the triangles (twice
// as many lines) the rest.
constexpr double VertexShare = 1.0 / 3.0;
// Vertices or triangles between two stop questions and progress reports.
constexpr std::uint32_t CheckInterval = 100;
// Readers of the format refuse coordinates of larger magnitude.
constexpr float MaxCoordinate = 1e9f;
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
// tabs and line breaks in attribute values become spaces. Invalid UTF-8 is taken as
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
        // Strict readers take no character references in attribute values,
        // where parsers turn these characters into spaces anyway.
        case '\t': replacement = attribute ? " " : "\t"; break;
        case '\n': replacement = attribute ? " " : "\n"; break;
        case '\r': replacement = attribute ? " " : "&#13;"; break;
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

// A triangle is written when its corners name three distinct vertices the
// object has: readers of the format refuse the others.
bool isWritableTriangle(const ModelObject& object, std::uint32_t triangle)
{
    const std::uint32_t vertexCount = object.vertices.count();
    const std::uint32_t* corner = &object.indices[3 * triangle];
    return corner[0] < vertexCount && corner[1] < vertexCount && corner[2] < vertexCount && corner[0] != corner[1] &&
           corner[1] != corner[2] && corner[0] != corner[2];
}

const TextureMap* diffuseTexture(const Material* material)
{
    if (material == nullptr)
        return nullptr;
    for (const TextureMap& texture : material->textures)
        if (texture.kind == TextureKind::Diffuse)
            return &texture;
    return nullptr;
}

// The content type the package gives an image, by its extension; empty for
// kinds the format cannot hold (it holds PNG and JPEG only).
std::string_view imageContentType(std::string_view extension)
{
    if (equalsIgnoreCase(extension, ".png"))
        return "image/png";
    if (equalsIgnoreCase(extension, ".jpg") || equalsIgnoreCase(extension, ".jpeg"))
        return "image/jpeg";
    return {};
}

// Images stored in the package and the texture coordinate groups of the
// written objects. Resource ids: objects 1..n, the colour group n + 1, then
// the images, then the groups.
class TexturePlan {
public:
    struct Image {
        std::string source;
        std::string partName; // "/3D/Textures/wood.png"
        std::string_view contentType;
        std::uint32_t resourceId = 0;
    };
    struct Group {
        std::uint32_t image = 0;
        std::uint32_t resourceId = 0;
        std::vector<TexCoord> coordinates; // three per textured triangle
    };
    struct ObjectTextures {
        std::vector<Group> groups;
        // Per triangle: its group's place + 1 (0: untextured) and its first
        // coordinate there.
        std::vector<std::uint32_t> triangleGroup;
        std::vector<std::uint32_t> firstCoordinate;
    };

    void build(const Model& model, const std::vector<const ModelObject*>& written)
    {
        objects_.resize(written.size());
        for (std::size_t k = 0; k < written.size(); ++k)
            planObject(model, *written[k], objects_[k]);
        std::uint32_t next = static_cast<std::uint32_t>(written.size()) + 2;
        for (Image& image : images_)
            image.resourceId = next++;
        for (ObjectTextures& object : objects_)
            for (Group& group : object.groups)
                group.resourceId = next++;
    }

    const std::vector<Image>& images() const { return images_; }
    // The textures of the written object numbered `number`.
    const ObjectTextures& object(std::uint32_t number) const { return objects_[number - 1]; }
    const std::vector<ObjectTextures>& objects() const { return objects_; }

private:
    // The image of a texture file, added at its first use; none when the
    // file cannot be copied or is of a kind the format does not hold.
    const Image* imageFor(const std::string& source, std::uint32_t& index)
    {
        for (std::size_t i = 0; i < images_.size(); ++i)
            if (images_[i].source == source) {
                index = static_cast<std::uint32_t>(i);
                return &images_[i];
            }
        for (const std::string& refused : refused_)
            if (refused == source)
                return nullptr;
        const std::filesystem::path path(source);
        const std::string extension = path.extension().string();
        const std::string_view contentType = imageContentType(extension);
        if (contentType.empty() || !copyableReference(path)) {
            refused_.push_back(source);
            return nullptr;
        }
        // Part names keep to plain characters and are unique in any case.
        std::string stem = path.stem().string();
        for (char& c : stem)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
                c = '_';
        if (stem.empty())
            stem = "texture";
        std::string lowerExtension = extension;
        for (char& c : lowerExtension)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string name = "/3D/Textures/" + stem + lowerExtension;
        for (int n = 2; std::any_of(images_.begin(), images_.end(),
                                    [&](const Image& i) { return equalsIgnoreCase(i.partName, name); });
             ++n)
            name = "/3D/Textures/" + stem + "-" + std::to_string(n) + lowerExtension;
        index = static_cast<std::uint32_t>(images_.size());
        images_.push_back(Image{source, name, contentType, 0});
        return &images_.back();
    }

    void planObject(const Model& model, const ModelObject& object, ObjectTextures& plan)
    {
        if (object.texCoords.empty() || object.materialRanges.empty())
            return;
        const bool perVertex = object.texCoordsPerVertex();
        const std::uint32_t triangleCount = object.triangleCount();
        for (const MaterialRange& range : object.materialRanges) {
            const TextureMap* texture = diffuseTexture(model.findMaterial(range.materialId));
            std::uint32_t image = 0;
            if (texture == nullptr || imageFor(texture->path, image) == nullptr)
                continue;
            if (plan.triangleGroup.empty()) {
                plan.triangleGroup.assign(triangleCount, 0);
                plan.firstCoordinate.assign(triangleCount, 0);
            }
            std::size_t group = 0;
            while (group < plan.groups.size() && plan.groups[group].image != image)
                ++group;
            if (group == plan.groups.size())
                plan.groups.push_back(Group{image, 0, {}});
            std::vector<TexCoord>& coordinates = plan.groups[group].coordinates;
            const std::uint32_t end = std::min(range.endIndex / 3, triangleCount);
            for (std::uint32_t t = range.firstIndex / 3; t < end; ++t) {
                if (plan.triangleGroup[t] != 0 || !isWritableTriangle(object, t))
                    continue;
                plan.triangleGroup[t] = static_cast<std::uint32_t>(group + 1);
                plan.firstCoordinate[t] = static_cast<std::uint32_t>(coordinates.size());
                for (std::uint32_t k = 0; k < 3; ++k) {
                    const std::uint32_t corner = 3 * t + k;
                    const std::uint32_t entry = perVertex ? object.indices[corner] : corner;
                    coordinates.push_back(entry < object.texCoords.count() ? object.texCoords[entry] : TexCoord{0, 0});
                }
            }
        }
    }

    std::vector<Image> images_;
    std::vector<std::string> refused_;
    std::vector<ObjectTextures> objects_;
};

class ModelPartWriter {
public:
    ModelPartWriter(const Model& model, const TexturePlan& textures, ProgressReporter& reporter, AtomicFileWriter& out,
                    Failure* failure)
        : model_(model), textures_(textures), reporter_(reporter), out_(out), failure_(failure)
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
        const std::string unit = properties.getProperty("Model:unit", "millimeter");
        attribute("unit", isCoreUnit(unit) ? unit : "millimeter");
        attribute("xml:lang", limitUtf16Units(properties.getProperty("Model:xml:lang", "en-US")));
        // Always the 2015/02 namespaces of the format, whatever the
        // source declared: what is written is that form of the format.
        attribute("xmlns:m", ThreeMfMaterialNamespace);
        attribute("xmlns", ThreeMfCoreNamespace);
        attribute("xmlns:" + std::string(MetadataPrefix.substr(0, MetadataPrefix.size() - 1)), MorvexMetadataNamespace);
        literal(">");
    }

    void metadataLine(std::string_view name, std::string_view value)
    {
        literal("<metadata name=\"");
        if (!isCoreMetadataName(name))
            literal(MetadataPrefix);
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
        writeTextures();
        result = forEachWrittenObject(
            [&](const ModelObject& object, std::uint32_t number) { return writeObject(object, number); });
        if (result != OperationResult::Success)
            return result;
        literal("</resources>\n");
        return OperationResult::Success;
    }

    void writeTextures()
    {
        for (const TexturePlan::Image& image : textures_.images()) {
            literal("<m:texture2d ");
            attribute("id", std::to_string(image.resourceId));
            attribute("path", image.partName);
            attribute("contenttype", image.contentType);
            literal("/>\n");
        }
        for (const TexturePlan::ObjectTextures& object : textures_.objects())
            for (const TexturePlan::Group& group : object.groups) {
                literal("<m:texture2dgroup ");
                attribute("id", std::to_string(group.resourceId));
                attribute("texid", std::to_string(textures_.images()[group.image].resourceId));
                literal(">\n");
                for (const TexCoord& coordinate : group.coordinates) {
                    char* const start = out_.reserve(MaxLineBytes);
                    char* at = appendLiteral(start, "<m:tex2coord u=\"");
                    at += formatFloatShortest(at, coordinate.u);
                    at = appendLiteral(at, "\" v=\"");
                    at += formatFloatShortest(at, coordinate.v);
                    at = appendLiteral(at, "\" />\n");
                    out_.advance(static_cast<std::size_t>(at - start));
                }
                literal("</m:texture2dgroup>\n");
            }
    }

    OperationResult writeObject(const ModelObject& object, std::uint32_t number)
    {
        const PropertyBag& properties = object.properties;
        literal("<object ");
        attribute("id", std::to_string(number));
        attribute("type", properties.getProperty("type", "model"));
        // Only coloured objects refer to the colour group: an object without
        // colours must not take on the first colour of another one.
        const TexturePlan::ObjectTextures& textures = textures_.object(number);
        if (!object.colors.empty()) {
            attribute("pid", groupId_);
            attribute("pindex", "0");
        } else if (!textures.groups.empty()) {
            // Triangles with properties need an object that has some.
            attribute("pid", std::to_string(textures.groups.front().resourceId));
            attribute("pindex", "0");
        }
        // No thumbnail: its part is not written.
        for (const char* name : {"partnumber", "name"}) {
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
        result = writeTriangles(object, textures);
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
            if (!(std::fabs(point.x) <= MaxCoordinate && std::fabs(point.y) <= MaxCoordinate &&
                  std::fabs(point.z) <= MaxCoordinate))
                return failWith(failure_, FailureKind::Unsupported,
                                "the model has coordinates beyond 1000000000, which 3MF readers refuse");
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

    OperationResult writeTriangles(const ModelObject& object, const TexturePlan::ObjectTextures& textures)
    {
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
            if (!isWritableTriangle(object, t))
                continue;
            char* const start = out_.reserve(MaxLineBytes + pidPiece.size());
            char* at = appendLiteral(start, "<triangle ");
            at = appendCornerAttributes(at, 'v', a, b, c);
            const std::uint32_t group = textures.triangleGroup.empty() ? 0 : textures.triangleGroup[t];
            if (group != 0) {
                const std::uint32_t coordinate = textures.firstCoordinate[t];
                at = appendCornerAttributes(at, 'p', coordinate, coordinate + 1, coordinate + 2);
                at = appendLiteral(at, "pid=\"");
                at = appendUnsigned(at, textures.groups[group - 1].resourceId);
                at = appendLiteral(at, "\" ");
            } else if (coloured) {
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
    const TexturePlan& textures_;
    ProgressReporter& reporter_;
    AtomicFileWriter& out_;
    Failure* failure_;
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

std::string contentTypesPart(const TexturePlan& textures)
{
    std::string text(ContentTypesHead);
    for (const std::string_view extension : {".png", ".jpg", ".jpeg"}) {
        const bool used =
            std::any_of(textures.images().begin(), textures.images().end(),
                        [&](const TexturePlan::Image& image) { return image.partName.ends_with(extension); });
        if (used)
            text += "<Default Extension=\"" + std::string(extension.substr(1)) + "\" ContentType=\"" +
                    std::string(imageContentType(extension)) + "\"/>\r\n";
    }
    return text + std::string(ContentTypesTail);
}

// The model part's relationships: one per image, so that readers find them.
std::string modelRelationshipsPart(const TexturePlan& textures)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                       "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">\r\n";
    std::uint32_t number = 1;
    for (const TexturePlan::Image& image : textures.images())
        text += "<Relationship Target=\"" + image.partName + "\" Id=\"rel" + std::to_string(number++) + "\" Type=\"" +
                std::string(TextureRelationship) + "\"/>\r\n";
    return text + "</Relationships>\r\n";
}

OperationResult copyImages(const std::filesystem::path& root, const TexturePlan& textures, Failure* failure)
{
    for (const TexturePlan::Image& image : textures.images()) {
        const std::filesystem::path target = root / std::filesystem::path(image.partName).relative_path();
        std::error_code error;
        std::filesystem::create_directories(target.parent_path(), error);
        if (!error)
            std::filesystem::copy_file(image.source, target, std::filesystem::copy_options::overwrite_existing, error);
        if (error)
            return failWith(failure, FailureKind::Unwritable,
                            "cannot store texture " + image.source + " in the package: " + error.message());
    }
    return OperationResult::Success;
}

OperationResult writePackage(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                             const DeflateSplit& split, Failure* failure)
{
    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    std::vector<const ModelObject*> written;
    for (const auto& object : model.objects)
        if (isWritten(*object))
            written.push_back(object.get());
    TexturePlan textures;
    textures.build(model, written);

    ScratchFolder staging; // removed with everything in it on every way out
    if (staging.create(failure) != OperationResult::Success)
        return OperationResult::Failure;
    const std::filesystem::path& root = staging.path();
    if (writeTextPart(root / "[Content_Types].xml", contentTypesPart(textures), failure) != OperationResult::Success ||
        writeTextPart(root / "_rels" / ".rels", RelationshipsPart, failure) != OperationResult::Success)
        return OperationResult::Failure;
    if (!textures.images().empty() &&
        (writeTextPart(root / "3D" / "_rels" / "3dmodel.model.rels", modelRelationshipsPart(textures), failure) !=
             OperationResult::Success ||
         copyImages(root, textures, failure) != OperationResult::Success))
        return OperationResult::Failure;
    OperationResult result = writePart(root / "3D" / "3dmodel.model", failure, [&](AtomicFileWriter& out) {
        return ModelPartWriter(model, textures, reporter, out, failure).write();
    });
    if (result != OperationResult::Success)
        return result;

    reporter.setStatusText("Finalizing 3MF file...", 0);
    ProgressRange archiveProgress(reporter, ModelPartShare, 1.0 - ModelPartShare);
    {
        std::lock_guard lock(zipLock());
        result = zipFolder(path, root, archiveProgress, failure, split);
    }
    if (result == OperationResult::Failure && reporter.isCancelled())
        result = OperationResult::Cancelled;
    return result;
}

} // namespace

OperationResult write3mf(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure)
{
    return write3mf(path, model, reporter, deflateSplitForThisFile(), failure);
}

OperationResult write3mf(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         const DeflateSplit& split, Failure* failure)
{
    OperationResult result = OperationResult::Failure;
    try {
        result = writePackage(path, model, reporter, split, failure);
    } catch (const std::bad_alloc&) {
        result = failOutOfMemory(failure);
    }
    reporter.setProgress(1.0);
    return result;
}

} // namespace morvex::threemf
