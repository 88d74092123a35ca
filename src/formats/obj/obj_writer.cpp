#include "formats/companion_copies.h"
#include "formats/obj/obj.h"

#include "support/platform/files.h"
#include "support/text/numbers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace morvex::obj {

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t ElementsPerCheck = 1000;
constexpr std::size_t LineRoom = 512;      // the longest "v", "vt", "vn" or "f" line
constexpr double ByteToUnit = 0.003921569; // 1 / 255
constexpr std::string_view LineEnd = "\r\n";

// ---------------------------------------------------------------------------
// Number output into the writer's buffer.

char* putText(char* out, std::string_view text)
{
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* putFloat(char* out, float value)
{
    return out + formatFloatShortest(out, value);
}

char* putUnsigned(char* out, std::uint64_t value)
{
    return std::to_chars(out, out + 24, value).ptr;
}

// "v 1 2 3", "vn 0 0 1": a keyword and three numbers, no line end.
char* putPoint(char* out, std::string_view keyword, const Vector3& p)
{
    out = putText(out, keyword);
    out = putFloat(out, p.x);
    *out++ = ' ';
    out = putFloat(out, p.y);
    *out++ = ' ';
    return putFloat(out, p.z);
}

char* putFixed3(char* out, double value)
{
    return out + formatFixed(out, value, 3);
}

// Colour bytes as fractions of 1 with no more digits than it takes for
// readers to get the same byte back, whether they round or truncate the
// fraction times 255, in double or in single precision: 0, 1, 0.2, 0.502.
class ColourFractions {
public:
    ColourFractions()
    {
        for (int byte = 0; byte < 256; ++byte)
            for (int digits = 0; digits <= 3 && texts_[byte].size == 0; ++digits) {
                const int scale = digits == 0 ? 1 : digits == 1 ? 10 : digits == 2 ? 100 : 1000;
                for (int n = byte * scale / 255; n <= scale && n <= byte * scale / 255 + 1; ++n) {
                    const double fraction = static_cast<double>(n) / scale;
                    if (readsBackAs(fraction, byte)) {
                        texts_[byte].size =
                            static_cast<std::uint8_t>(formatFixed(texts_[byte].chars, fraction, digits));
                        break;
                    }
                }
            }
    }
    char* put(char* out, std::uint32_t byte) const
    {
        const Text& text = texts_[byte & 0xFF];
        std::memcpy(out, text.chars, text.size);
        return out + text.size;
    }

private:
    static bool readsBackAs(double fraction, int byte)
    {
        const double wide = fraction * 255.0;
        const float narrow = static_cast<float>(fraction) * 255.0f;
        return std::floor(wide) == byte && std::lround(wide) == byte && std::floor(narrow) == byte &&
               std::lround(narrow) == byte;
    }
    struct Text {
        char chars[16] = {};
        std::uint8_t size = 0;
    };
    Text texts_[256];
};

// ---------------------------------------------------------------------------
// What is written: objects placed one after another in one vertex list, each
// with its normals and texture coordinates numbered on from the previous
// object's.

// Where the "vn" of an object's triangles come from.
enum class NormalSource {
    Own,  // its per-corner normals, one "vn" per corner of a whole triangle
    Face, // none of its own: one flat face normal per triangle
};

// Which "vt" an object has.
enum class TexCoordSource {
    None,
    PerCorner, // one per corner of a whole triangle
    PerVertex, // one per vertex, numbered as the vertices are
};

struct ObjectPlan {
    const ModelObject* object = nullptr;
    Matrix4 placement;
    bool identity = true;
    NormalSource normals = NormalSource::Face;
    TexCoordSource texCoords = TexCoordSource::None;
    std::uint32_t firstVertexNumber = 1; // one-based number of its vertex 0 in the file
    std::uint32_t firstNormalNumber = 1;
    std::uint32_t firstTexCoordNumber = 1;

    std::uint32_t wholeCorners() const { return 3 * object->triangleCount(); }
    std::uint32_t normalCount() const
    {
        return normals == NormalSource::Own ? wholeCorners() : object->triangleCount();
    }
    std::uint32_t texCoordCount() const
    {
        switch (texCoords) {
        case TexCoordSource::PerCorner: return wholeCorners();
        case TexCoordSource::PerVertex: return object->vertices.count();
        case TexCoordSource::None: break;
        }
        return 0;
    }
    // The one-based "vn" and "vt" numbers of a corner.
    std::uint32_t normalNumber(std::uint32_t corner) const
    {
        return firstNormalNumber + (normals == NormalSource::Own ? corner : corner / 3);
    }
    std::uint32_t texCoordNumber(std::uint32_t corner) const
    {
        return firstTexCoordNumber + (texCoords == TexCoordSource::PerVertex ? object->indices[corner] : corner);
    }
};

// The point as the object's placement puts it. Without a placement this is
// the point itself (a negative zero becomes zero, as the full product gives).
Vector3 placePoint(const ObjectPlan& plan, const Vector3& point)
{
    if (plan.identity && std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.z))
        return {point.x + 0.0f, point.y + 0.0f, point.z + 0.0f};
    return transformPoint(point, plan.placement);
}

bool triangleIsValid(const ModelObject& object, std::uint32_t corner)
{
    const std::uint32_t vertexCount = object.vertices.count();
    return object.indices[corner] < vertexCount && object.indices[corner + 1] < vertexCount &&
           object.indices[corner + 2] < vertexCount;
}

NormalSource normalSourceOf(const ModelObject& object)
{
    const bool own = !object.normals.empty() && object.normals.count() >= 3 * object.triangleCount();
    return own ? NormalSource::Own : NormalSource::Face;
}

TexCoordSource texCoordSourceOf(const ModelObject& object)
{
    if (object.texCoords.empty())
        return TexCoordSource::None;
    if (object.texCoordsPerVertex())
        return TexCoordSource::PerVertex;
    if (object.texCoords.count() >= 3 * object.triangleCount() && object.triangleCount() > 0)
        return TexCoordSource::PerCorner;
    return TexCoordSource::None;
}

struct WritePlan {
    std::vector<ObjectPlan> objects;
    std::uint32_t vertexCount = 0;
    std::uint32_t normalCount = 0;
    std::uint32_t texCoordCount = 0;
    std::uint32_t triangleCount = 0;
    std::uint32_t pointCount = 0; // vertices of point sets, written as "p"
    bool colourOutput = false;
    ColorArray vertexColours; // the colour of every vertex in file order, with colour output
};

// Every vertex gets a colour once any object has colours, since a reader
// lines colours up with the "v" lines: per-vertex colours as they are,
// per-corner colours on the corner's vertex (a later corner wins), and the
// default colour for vertices of objects without colours.
OperationResult arrangeVertexColours(WritePlan& plan, Failure* failure)
{
    if (!plan.vertexColours.allocate(plan.vertexCount))
        return failOutOfMemory(failure);
    for (const ObjectPlan& objectPlan : plan.objects) {
        const ModelObject& object = *objectPlan.object;
        ArgbColor* colours = plan.vertexColours.data() + (objectPlan.firstVertexNumber - 1);
        const std::uint32_t vertexCount = object.vertices.count();
        std::fill(colours, colours + vertexCount, object.colors.empty() ? DefaultVertexColor : OpaqueBlack);
        if (object.colorsPerCorner()) {
            for (std::uint32_t corner = 0; corner < object.indices.count(); ++corner)
                if (object.indices[corner] < vertexCount)
                    colours[object.indices[corner]] = object.colors[corner];
        } else if (!object.colors.empty()) {
            std::memcpy(colours, object.colors.data(),
                        sizeof(ArgbColor) * std::min(vertexCount, object.colors.count()));
        }
    }
    return OperationResult::Success;
}

OperationResult planObjects(const Model& model, WritePlan& plan, Failure* failure)
{
    std::uint64_t vertices = 0, normals = 0, texCoords = 0, triangles = 0, points = 0;
    try {
        plan.objects.reserve(model.objects.size());
    } catch (const std::bad_alloc&) {
        return failOutOfMemory(failure);
    }
    for (const auto& object : model.objects) {
        ObjectPlan objectPlan;
        objectPlan.object = object.get();
        objectPlan.placement = placementMatrix(*object);
        objectPlan.identity = objectPlan.placement == Matrix4::identity();
        objectPlan.normals = normalSourceOf(*object);
        objectPlan.texCoords = texCoordSourceOf(*object);
        objectPlan.firstVertexNumber = static_cast<std::uint32_t>(vertices + 1);
        objectPlan.firstNormalNumber = static_cast<std::uint32_t>(normals + 1);
        objectPlan.firstTexCoordNumber = static_cast<std::uint32_t>(texCoords + 1);
        plan.objects.push_back(objectPlan);
        vertices += object->vertices.count();
        normals += objectPlan.normalCount();
        texCoords += objectPlan.texCoordCount();
        triangles += object->triangleCount();
        points += object->isPointSet() ? object->vertices.count() : 0;
        plan.colourOutput |= !object->colors.empty();
        if (vertices >= UINT32_MAX || normals >= UINT32_MAX || texCoords >= UINT32_MAX || 3 * triangles >= UINT32_MAX)
            return failWith(failure, FailureKind::Unsupported, "model too large for an OBJ file");
    }
    plan.vertexCount = static_cast<std::uint32_t>(vertices);
    plan.normalCount = static_cast<std::uint32_t>(normals);
    plan.texCoordCount = static_cast<std::uint32_t>(texCoords);
    plan.triangleCount = static_cast<std::uint32_t>(triangles);
    plan.pointCount = static_cast<std::uint32_t>(points);
    return plan.colourOutput ? arrangeVertexColours(plan, failure) : OperationResult::Success;
}

// An object's material ranges in the order of their first corners. The
// model lists the newest range first, which for a reader that adds ranges
// as it goes is the reverse of the file; writing in corner order keeps the
// triangles in the order the model holds them.
std::vector<const MaterialRange*> rangesInCornerOrder(const ModelObject& object)
{
    std::vector<const MaterialRange*> ranges;
    ranges.reserve(object.materialRanges.size());
    for (const MaterialRange& range : object.materialRanges)
        ranges.push_back(&range);
    std::stable_sort(ranges.begin(), ranges.end(),
                     [](const MaterialRange* a, const MaterialRange* b) { return a->firstIndex < b->firstIndex; });
    return ranges;
}

// Visits the triangles with valid corners in file order: per object, the
// triangles of each material range in corner order (all of its triangles
// with material 0 when it has none). Stops, returning false, when `visit`
// does; `visit` also gets the number of triangles visited before.
template <typename Visit>
bool forEachTriangle(const WritePlan& plan, Visit&& visit)
{
    std::uint32_t k = 0;
    const auto visitRange = [&](const ObjectPlan& objectPlan, std::uint64_t first, std::uint64_t end,
                                std::int16_t materialId) {
        const std::uint64_t whole = objectPlan.wholeCorners();
        // A range that starts inside a triangle begins with the next one.
        for (std::uint64_t corner = first + (3 - first % 3) % 3; corner < end && corner + 3 <= whole; corner += 3) {
            const std::uint32_t at = static_cast<std::uint32_t>(corner);
            if (triangleIsValid(*objectPlan.object, at) && !visit(k++, objectPlan, at, materialId))
                return false;
        }
        return true;
    };
    for (const ObjectPlan& objectPlan : plan.objects) {
        const ModelObject& object = *objectPlan.object;
        if (object.materialRanges.empty()) {
            if (!visitRange(objectPlan, 0, object.indices.count(), 0))
                return false;
            continue;
        }
        for (const MaterialRange* range : rangesInCornerOrder(object))
            if (!visitRange(objectPlan, range->firstIndex, range->endIndex, range->materialId))
                return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Progress of one phase: a stop check, a count on status line 1 and a share
// of the fraction every thousand elements.

class PhaseProgress {
public:
    // Shows the phase's status text and the fraction it starts at.
    PhaseProgress(ProgressReporter& reporter, const char* status, const char* label, std::uint32_t total, double start,
                  double share)
        : reporter_(reporter), label_(label), total_(total), start_(start), share_(share)
    {
        reporter_.setProgress(start);
        reporter_.setStatusText(status, 0);
    }

    // False when the user asked to stop.
    bool step(std::uint32_t done)
    {
        if (done % ElementsPerCheck != 0 || done == 0)
            return true;
        if (reporter_.isCancelled())
            return false;
        char text[96];
        std::snprintf(text, sizeof text, "%s: %u / %u.", label_, done, total_);
        reporter_.setStatusText(text, 1);
        reporter_.setProgress(start_ + share_ * done / total_);
        return true;
    }

private:
    ProgressReporter& reporter_;
    const char* label_;
    std::uint32_t total_;
    double start_;
    double share_;
};

// ---------------------------------------------------------------------------
// The parts of the OBJ file.

bool writeVertices(AtomicFileWriter& out, const WritePlan& plan, ProgressReporter& reporter)
{
    static const ColourFractions fractions;
    PhaseProgress progress(reporter, "Writing vertices...", "Vertices written", plan.vertexCount, 0.31, 0.29);
    out.write("# Vertex Array \r\n");
    std::uint32_t written = 0;
    for (const ObjectPlan& objectPlan : plan.objects) {
        const ModelObject& object = *objectPlan.object;
        for (std::uint32_t i = 0; i < object.vertices.count(); ++i, ++written) {
            if (!progress.step(written))
                return false;
            char* start = out.reserve(LineRoom);
            char* at = putPoint(start, "v ", placePoint(objectPlan, object.vertices[i]));
            if (plan.colourOutput) {
                const ArgbColor colour = plan.vertexColours[written];
                for (int shift = 16; shift >= 0; shift -= 8) {
                    *at++ = ' ';
                    at = fractions.put(at, colour >> shift);
                }
            }
            at = putText(at, LineEnd);
            out.advance(static_cast<std::size_t>(at - start));
        }
    }
    out.write(LineEnd);
    return true;
}

Vector3 placedFaceNormal(const ObjectPlan& plan, std::uint32_t corner)
{
    const ModelObject& object = *plan.object;
    if (!triangleIsValid(object, corner))
        return {};
    const Vector3 a = placePoint(plan, object.vertices[object.indices[corner]]);
    const Vector3 b = placePoint(plan, object.vertices[object.indices[corner + 1]]);
    const Vector3 c = placePoint(plan, object.vertices[object.indices[corner + 2]]);
    return faceNormal(a, b, c);
}

// An object's own normals as they are (turned with its placement), else one
// face normal per triangle.
bool writeNormals(AtomicFileWriter& out, const WritePlan& plan, ProgressReporter& reporter)
{
    PhaseProgress progress(reporter, "Writing normals...", "Normals written", plan.normalCount, 0.6, 0.2);
    out.write("# Normal Array\r\n");
    std::uint32_t written = 0;
    const auto put = [&](const Vector3& normal) {
        if (!progress.step(written++))
            return false;
        char* start = out.reserve(LineRoom);
        char* at = putText(putPoint(start, "vn ", normal), LineEnd);
        out.advance(static_cast<std::size_t>(at - start));
        return true;
    };
    for (const ObjectPlan& objectPlan : plan.objects) {
        const ModelObject& object = *objectPlan.object;
        const std::uint32_t corners = objectPlan.wholeCorners();
        if (objectPlan.normals == NormalSource::Own) {
            const NormalTransform turn(objectPlan.placement);
            for (std::uint32_t corner = 0; corner < corners; ++corner)
                if (!put(objectPlan.identity ? object.normals[corner] : turn.apply(object.normals[corner])))
                    return false;
        } else {
            for (std::uint32_t corner = 0; corner < corners; corner += 3)
                if (!put(placedFaceNormal(objectPlan, corner)))
                    return false;
        }
    }
    out.write(LineEnd);
    return true;
}

bool writeTexCoords(AtomicFileWriter& out, const WritePlan& plan, ProgressReporter& reporter)
{
    PhaseProgress progress(reporter, "Writing texture coordinate array...", "Texture Coordinates", plan.texCoordCount,
                           0.8, 0.05);
    out.write("# Texture Coordinate Array \r\n");
    std::uint32_t written = 0;
    for (const ObjectPlan& objectPlan : plan.objects) {
        const TexCoordArray& texCoords = objectPlan.object->texCoords;
        const std::uint32_t count = objectPlan.texCoordCount();
        for (std::uint32_t i = 0; i < count; ++i) {
            if (!progress.step(written++))
                return false;
            char* start = out.reserve(LineRoom);
            char* at = putText(start, "vt ");
            at = putFloat(at, texCoords[i].u);
            *at++ = ' ';
            at = putFloat(at, texCoords[i].v);
            at = putText(at, LineEnd);
            out.advance(static_cast<std::size_t>(at - start));
        }
    }
    out.write(LineEnd);
    return true;
}

// The name each material is used under: materials that repeat an earlier
// one's diffuse colour and diffuse texture take its name.
using MaterialNames = std::unordered_map<std::int16_t, std::string>;

// "f v/vt/vn ..." with texture coordinates, "f v//vn ..." without. A
// triangle with two equal corners is left out.
bool writeFaces(AtomicFileWriter& out, const WritePlan& plan, const MaterialNames* names, ProgressReporter& reporter)
{
    PhaseProgress progress(reporter, "Writing triangles...", "Facets written", plan.triangleCount, 0.85, 0.15);
    std::optional<std::string> lastName;
    std::optional<std::int16_t> lastMaterialId; // triangles of one range share it: one lookup per run
    return forEachTriangle(plan, [&](std::uint32_t k, const ObjectPlan& objectPlan, std::uint32_t corner,
                                     std::int16_t materialId) {
        if (!progress.step(k))
            return false;
        const ModelObject& object = *objectPlan.object;
        const std::uint32_t base = objectPlan.firstVertexNumber;
        const std::uint32_t vertex[3] = {base + object.indices[corner], base + object.indices[corner + 1],
                                         base + object.indices[corner + 2]};
        if (vertex[0] == vertex[1] || vertex[1] == vertex[2] || vertex[0] == vertex[2])
            return true;
        if (names != nullptr && lastMaterialId != materialId) {
            lastMaterialId = materialId;
            const auto found = names->find(materialId);
            if (found != names->end() && (!lastName || *lastName != found->second)) {
                lastName = found->second;
                out.write("usemtl ");
                out.write(found->second);
                out.write(LineEnd);
            }
        }
        const bool textured = objectPlan.texCoords != TexCoordSource::None;
        char* start = out.reserve(LineRoom);
        char* at = putText(start, "f");
        for (std::uint32_t i = 0; i < 3; ++i) {
            *at++ = ' ';
            at = putUnsigned(at, vertex[i]);
            *at++ = '/';
            if (textured)
                at = putUnsigned(at, objectPlan.texCoordNumber(corner + i));
            *at++ = '/';
            at = putUnsigned(at, objectPlan.normalNumber(corner + i));
        }
        at = putText(at, LineEnd);
        out.advance(static_cast<std::size_t>(at - start));
        return true;
    });
}

// The vertices of point sets as "p" elements, so that readers see points
// rather than unused vertices.
bool writePoints(AtomicFileWriter& out, const WritePlan& plan, ProgressReporter& reporter)
{
    if (plan.pointCount == 0)
        return true;
    out.write("# Points\r\n");
    std::uint32_t written = 0;
    for (const ObjectPlan& objectPlan : plan.objects) {
        if (!objectPlan.object->isPointSet())
            continue;
        const std::uint32_t count = objectPlan.object->vertices.count();
        for (std::uint32_t i = 0; i < count; ++i, ++written) {
            if (written % ElementsPerCheck == 0 && reporter.isCancelled())
                return false;
            char* start = out.reserve(LineRoom);
            char* at = putUnsigned(putText(start, "p "), std::uint64_t{objectPlan.firstVertexNumber} + i);
            at = putText(at, LineEnd);
            out.advance(static_cast<std::size_t>(at - start));
        }
    }
    out.write(LineEnd);
    return true;
}

// ---------------------------------------------------------------------------
// The material library and the texture copies.

// Names go into lines of their own: a line end or other control character
// in one would break the file apart.
std::string lineSafe(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '_';
    return out;
}

std::string_view fileNamePart(std::string_view path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

const TextureMap* diffuseTexture(const Material& material)
{
    for (const TextureMap& texture : material.textures)
        if (texture.kind == TextureKind::Diffuse)
            return &texture;
    return nullptr;
}

// Texture files to copy into the "Textures" folder. Two different files of
// the same name get distinct copies ("wood.jpg", "wood-2.jpg").
class TextureCopies {
public:
    // The name of the copy of a source file.
    std::string nameFor(const std::string& source)
    {
        for (const Named& copy : named_)
            if (copy.source == source)
                return copy.name;
        std::string name = lineSafe(fileNamePart(source));
        if (name.empty())
            name = "texture";
        const std::string wanted = name;
        for (int n = 2; taken(name); ++n) {
            const std::size_t dot = wanted.find_last_of('.');
            name = dot == std::string::npos || dot == 0
                       ? wanted + "-" + std::to_string(n)
                       : wanted.substr(0, dot) + "-" + std::to_string(n) + wanted.substr(dot);
        }
        named_.push_back({source, name});
        copies_.add(source, name);
        return name;
    }

    bool empty() const { return copies_.empty(); }
    CompanionCopies& copies() { return copies_; }

private:
    struct Named {
        std::string source;
        std::string name;
    };
    bool taken(const std::string& name) const
    {
        for (const Named& copy : named_)
            if (copy.name == name)
                return true;
        return false;
    }

    std::vector<Named> named_;
    CompanionCopies copies_;
};

void writeColourLine(AtomicFileWriter& out, std::string_view keyword, ArgbColor colour)
{
    char* start = out.reserve(LineRoom);
    char* at = putText(start, keyword);
    for (int shift = 16; shift >= 0; shift -= 8) {
        *at++ = ' ';
        at = putFixed3(at, ((colour >> shift) & 0xFF) * ByteToUnit);
    }
    at = putText(at, LineEnd);
    out.advance(static_cast<std::size_t>(at - start));
}

// Writes each distinct material once and records the name every material
// is used under.
void writeMaterialLibrary(AtomicFileWriter& out, const Model& model, MaterialNames& names, TextureCopies& textures)
{
    struct Written {
        ArgbColor diffuse;
        std::string texture;
        std::string name;
    };
    std::vector<Written> written;
    for (const auto& material : model.materials) {
        const TextureMap* texture = diffuseTexture(*material);
        const std::string texturePath = texture != nullptr ? texture->path : std::string();
        const ArgbColor diffuse = material->colors[DiffuseSlot];
        bool repeated = false;
        for (const Written& earlier : written)
            if (earlier.diffuse == diffuse && earlier.texture == texturePath) {
                names[material->id] = earlier.name;
                repeated = true;
                break;
            }
        if (repeated)
            continue;
        const std::string name = lineSafe(material->properties.getProperty("Name", "None"));
        names[material->id] = name;
        written.push_back({diffuse, texturePath, name});

        out.write("newmtl ");
        out.write(name);
        out.write(LineEnd);
        char* start = out.reserve(LineRoom);
        char* at = putText(start, "Ns ");
        at = putFixed3(at, material->shininess);
        at = putText(at, LineEnd);
        out.advance(static_cast<std::size_t>(at - start));
        writeColourLine(out, "Ka", material->colors[AmbientSlot]);
        writeColourLine(out, "Kd", material->colors[DiffuseSlot]);
        writeColourLine(out, "Ks", material->colors[SpecularSlot]);
        if (texture != nullptr) {
            out.write("map_Kd Textures/");
            out.write(textures.nameFor(texture->path));
            out.write(LineEnd);
        }
        out.write(LineEnd);
    }
}

constexpr std::string_view Header = "# Created using Morvex\r\n\r\n";
constexpr std::string_view Footer = "# Thank you for using Morvex\r\n\r\n";

} // namespace

std::filesystem::path materialLibraryPathFor(const std::filesystem::path& objPath)
{
    std::string name = objPath.filename().string();
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return objPath.parent_path() / (name + ".mtl");
}

OperationResult writeObj(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                         Failure* failure)
{
    reporter.setStatusText("Arranging data...", 0);
    reporter.setStatusText("", 1);
    reporter.setProgress(0.0);

    const bool withMaterials = !model.materials.empty();
    const fs::path libraryPath = materialLibraryPathFor(path);
    if (withMaterials && libraryPath == path)
        return failWith(failure, FailureKind::Unwritable, "the material library would replace the OBJ file");

    WritePlan plan;
    if (planObjects(model, plan, failure) != OperationResult::Success)
        return OperationResult::Failure;

    AtomicFileWriter obj;
    AtomicFileWriter library;
    if (obj.open(path, failure) != OperationResult::Success)
        return OperationResult::Failure;
    if (withMaterials && library.open(libraryPath, failure) != OperationResult::Success)
        return OperationResult::Failure;

    obj.write(Header);
    if (withMaterials) {
        library.write(Header);
        // The full file name: other programs do not add ".mtl" themselves.
        obj.write("mtllib ");
        obj.write(libraryPath.filename().string());
        obj.write("\r\n\r\n");
    }
    if (!writeVertices(obj, plan, reporter) || (plan.normalCount > 0 && !writeNormals(obj, plan, reporter)))
        return OperationResult::Cancelled;
    if (plan.texCoordCount > 0 && !writeTexCoords(obj, plan, reporter))
        return OperationResult::Cancelled;

    obj.write("# Facets\r\n");
    MaterialNames names;
    TextureCopies textures;
    if (withMaterials)
        writeMaterialLibrary(library, model, names, textures);
    if (!writeFaces(obj, plan, withMaterials ? &names : nullptr, reporter) || !writePoints(obj, plan, reporter))
        return OperationResult::Cancelled;
    reporter.setStatusText("", 1);
    obj.write(LineEnd);
    obj.write(Footer);

    if (withMaterials) {
        library.write(Footer);
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        const fs::path folder = path.parent_path() / "Textures";
        if (!textures.empty() && (textures.copies().stage(folder, failure) != OperationResult::Success ||
                                  textures.copies().place(failure) != OperationResult::Success))
            return OperationResult::Failure;
        if (library.commit(failure) != OperationResult::Success)
            return OperationResult::Failure;
    }
    if (obj.commit(failure) != OperationResult::Success) {
        if (withMaterials) {
            std::error_code error;
            fs::remove(libraryPath, error); // never one file without the other
        }
        return OperationResult::Failure;
    }
    reporter.setProgress(1.0);
    return OperationResult::Success;
}

} // namespace morvex::obj
