#include "formats/companion_copies.h"
#include "formats/obj/obj.h"

#include "support/platform/files.h"
#include "support/text/numbers.h"

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

// ---------------------------------------------------------------------------
// What is written: objects placed one after another in one vertex list.

struct ObjectPlan {
    const ModelObject* object = nullptr;
    Matrix4 placement;
    bool identity = true;
    std::uint32_t firstVertexNumber = 1; // one-based number of its vertex 0 in the file
};

// The point as the object's placement puts it. Without a placement this is
// the point itself (a negative zero becomes zero, as the full product gives).
Vector3 placePoint(const ObjectPlan& plan, const Vector3& point)
{
    if (plan.identity && std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.z))
        return {point.x + 0.0f, point.y + 0.0f, point.z + 0.0f};
    return transformPoint(point, plan.placement);
}

// One triangle of the file: its first corner in its object and its
// material. A record without an object is a zero record: it still takes a
// normal number and texture-coordinate numbers, but has no face.
struct TriangleRecord {
    const ObjectPlan* plan = nullptr;
    std::uint32_t corner = 0;
    std::int16_t materialId = 0;
};

bool triangleIsValid(const ModelObject& object, std::uint32_t corner)
{
    const std::uint32_t vertexCount = object.vertices.count();
    return object.indices[corner] < vertexCount && object.indices[corner + 1] < vertexCount &&
           object.indices[corner + 2] < vertexCount;
}

struct WritePlan {
    std::vector<ObjectPlan> objects;
    std::uint32_t vertexCount = 0;
    std::uint32_t triangleCount = 0; // one record each
    bool colourOutput = false;
    bool coloursPerCorner = false;
    ColorArray cornerColours; // the combined colour of every vertex, with per-corner colours
};

OperationResult planObjects(const Model& model, WritePlan& plan, Failure* failure)
{
    std::uint64_t vertices = 0, indices = 0, triangles = 0, colours = 0;
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
        objectPlan.firstVertexNumber = static_cast<std::uint32_t>(vertices + 1);
        plan.objects.push_back(objectPlan);
        vertices += object->vertices.count();
        indices += object->indices.count();
        triangles += object->triangleCount();
        colours += object->colors.count();
        if (vertices >= UINT32_MAX || 3 * triangles >= UINT32_MAX)
            return failWith(failure, FailureKind::Unsupported, "model too large for an OBJ file");
    }
    plan.vertexCount = static_cast<std::uint32_t>(vertices);
    plan.triangleCount = static_cast<std::uint32_t>(triangles);
    plan.colourOutput = colours != 0 && colours >= vertices;
    plan.coloursPerCorner = plan.colourOutput && colours == indices && indices != vertices;
    if (!plan.coloursPerCorner)
        return OperationResult::Success;

    // Per-corner colours go to the corner's vertex; a later corner wins.
    if (!plan.cornerColours.allocate(plan.vertexCount))
        return failOutOfMemory(failure);
    for (const ObjectPlan& objectPlan : plan.objects) {
        const ModelObject& object = *objectPlan.object;
        for (std::uint32_t corner = 0; corner < object.indices.count(); ++corner) {
            const std::uint32_t index = object.indices[corner];
            if (index < object.vertices.count())
                plan.cornerColours[objectPlan.firstVertexNumber - 1 + index] =
                    corner < object.colors.count() ? object.colors[corner] : OpaqueBlack;
        }
    }
    return OperationResult::Success;
}

// Visits the records in file order: per object, the triangles of each
// material range in list order (all of its triangles with material 0 when it
// has none); zero records fill up to one record per triangle of the model.
// Stops, returning false, when `visit` does.
template <typename Visit>
bool forEachRecord(const WritePlan& plan, Visit&& visit)
{
    std::uint32_t k = 0;
    const auto visitRange = [&](const ObjectPlan& objectPlan, std::uint64_t first, std::uint64_t end,
                                std::int16_t materialId) {
        const std::uint64_t whole = 3ull * objectPlan.object->triangleCount();
        for (std::uint64_t corner = first; corner < end && corner + 3 <= whole && k < plan.triangleCount; corner += 3) {
            TriangleRecord record;
            if (triangleIsValid(*objectPlan.object, static_cast<std::uint32_t>(corner))) {
                record.plan = &objectPlan;
                record.corner = static_cast<std::uint32_t>(corner);
                record.materialId = materialId;
            }
            if (!visit(k++, record))
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
        for (const MaterialRange& range : object.materialRanges)
            if (!visitRange(objectPlan, range.firstIndex, range.endIndex, range.materialId))
                return false;
    }
    while (k < plan.triangleCount)
        if (!visit(k++, TriangleRecord{}))
            return false;
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
    PhaseProgress progress(reporter, "Writing vertices...", "Vertices written", plan.vertexCount, 0.31, 0.29);
    out.write("# Vertex Array \r\n");
    std::uint32_t written = 0;
    for (const ObjectPlan& objectPlan : plan.objects) {
        const ModelObject& object = *objectPlan.object;
        for (std::uint32_t i = 0; i < object.vertices.count(); ++i) {
            if (!progress.step(written))
                return false;
            char* start = out.reserve(LineRoom);
            char* at = putPoint(start, "v ", placePoint(objectPlan, object.vertices[i]));
            if (plan.colourOutput) {
                ArgbColor colour = OpaqueBlack;
                if (plan.coloursPerCorner)
                    colour = plan.cornerColours[written];
                else if (i < object.colors.count())
                    colour = object.colors[i];
                for (int shift = 16; shift >= 0; shift -= 8) {
                    *at++ = ' ';
                    at = putUnsigned(at, (colour >> shift) & 0xFF);
                }
            }
            at = putText(at, LineEnd);
            out.advance(static_cast<std::size_t>(at - start));
            ++written;
        }
    }
    out.write(LineEnd);
    return true;
}

Vector3 recordNormal(const TriangleRecord& record)
{
    if (record.plan == nullptr)
        return {};
    const ModelObject& object = *record.plan->object;
    const Vector3 a = placePoint(*record.plan, object.vertices[object.indices[record.corner]]);
    const Vector3 b = placePoint(*record.plan, object.vertices[object.indices[record.corner + 1]]);
    const Vector3 c = placePoint(*record.plan, object.vertices[object.indices[record.corner + 2]]);
    return faceNormal(a, b, c);
}

bool writeNormals(AtomicFileWriter& out, const WritePlan& plan, ProgressReporter& reporter)
{
    PhaseProgress progress(reporter, "Writing normals...", "Normals written", plan.triangleCount, 0.6, 0.2);
    out.write("# Normal Array\r\n");
    const bool finished = forEachRecord(plan, [&](std::uint32_t k, const TriangleRecord& record) {
        if (!progress.step(k))
            return false;
        char* start = out.reserve(LineRoom);
        char* at = putText(putPoint(start, "vn ", recordNormal(record)), LineEnd);
        out.advance(static_cast<std::size_t>(at - start));
        return true;
    });
    out.write(LineEnd);
    return finished;
}

bool writeTexCoords(AtomicFileWriter& out, const WritePlan& plan, ProgressReporter& reporter)
{
    PhaseProgress progress(reporter, "Writing texture coordinate array...", "Texture Coordinates", plan.triangleCount,
                           0.8, 0.05);
    out.write("# Texture Coordinate Array \r\n");
    const bool finished = forEachRecord(plan, [&](std::uint32_t k, const TriangleRecord& record) {
        if (!progress.step(k))
            return false;
        TexCoord corners[3] = {};
        if (record.plan != nullptr) {
            const TexCoordArray& texCoords = record.plan->object->texCoords;
            if (record.corner + 2 < texCoords.count())
                for (int i = 0; i < 3; ++i)
                    corners[i] = texCoords[record.corner + i];
        }
        char* start = out.reserve(LineRoom);
        char* at = start;
        for (const TexCoord& t : corners) {
            at = putText(at, "vt ");
            at = putFloat(at, t.u);
            *at++ = ' ';
            at = putFloat(at, t.v);
            at = putText(at, LineEnd);
        }
        out.advance(static_cast<std::size_t>(at - start));
        return true;
    });
    out.write(LineEnd);
    return finished;
}

// The name each material is used under: materials that repeat an earlier
// one's diffuse colour and diffuse texture take its name.
using MaterialNames = std::unordered_map<std::int16_t, std::string>;

bool writeFaces(AtomicFileWriter& out, const WritePlan& plan, const MaterialNames* names, ProgressReporter& reporter)
{
    PhaseProgress progress(reporter, "Writing triangles...", "Facets written", plan.triangleCount, 0.85, 0.15);
    std::optional<std::string> lastName;
    std::optional<std::int16_t> lastMaterialId; // triangles of one range share it: one lookup per run
    return forEachRecord(plan, [&](std::uint32_t k, const TriangleRecord& record) {
        if (!progress.step(k))
            return false;
        if (record.plan == nullptr)
            return true;
        const ModelObject& object = *record.plan->object;
        const std::uint32_t base = record.plan->firstVertexNumber;
        const std::uint32_t vertex[3] = {base + object.indices[record.corner], base + object.indices[record.corner + 1],
                                         base + object.indices[record.corner + 2]};
        if (vertex[0] == vertex[1] || vertex[1] == vertex[2] || vertex[0] == vertex[2])
            return true;
        const std::uint64_t number = std::uint64_t{k} + 1;
        if (names != nullptr && lastMaterialId != record.materialId) {
            lastMaterialId = record.materialId;
            const auto found = names->find(record.materialId);
            if (found != names->end() && (!lastName || *lastName != found->second)) {
                lastName = found->second;
                out.write("usemtl ");
                out.write(found->second);
                out.write(LineEnd);
            }
        }
        char* start = out.reserve(LineRoom);
        char* at = putText(start, "f");
        for (int i = 0; i < 3; ++i) {
            *at++ = ' ';
            at = putUnsigned(at, vertex[i]);
            *at++ = '/';
            if (names != nullptr)
                at = putUnsigned(at, 3 * number - 2 + i);
            *at++ = '/';
            at = putUnsigned(at, number);
        }
        at = putText(at, LineEnd);
        out.advance(static_cast<std::size_t>(at - start));
        return true;
    });
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
    if (!writeVertices(obj, plan, reporter) || !writeNormals(obj, plan, reporter))
        return OperationResult::Cancelled;
    if (withMaterials && !writeTexCoords(obj, plan, reporter))
        return OperationResult::Cancelled;

    obj.write("# Facets\r\n");
    MaterialNames names;
    TextureCopies textures;
    if (withMaterials)
        writeMaterialLibrary(library, model, names, textures);
    if (!writeFaces(obj, plan, withMaterials ? &names : nullptr, reporter))
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
