#include "formats/companion_copies.h"
#include "formats/obj/obj.h"

#include "support/core/parallel_ranges.h"
#include "support/platform/files.h"
#include "support/text/numbers.h"
#include "support/text/ordered_text_pieces.h"

#include <algorithm>
#include <atomic>
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
// Lines of one piece of a long section: a few MiB of text, enough to make
// handing a piece to a thread cheap, few enough that the pieces in flight
// stay small beside the model.
constexpr std::uint32_t DefaultPieceLines = 32768;
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
    return plan.identity && isFinite(point) ? transformPointByIdentity(point) : transformPoint(point, plan.placement);
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

// The name each material is used under: materials that repeat an earlier
// one's diffuse colour and diffuse texture take its name.
using MaterialNames = std::unordered_map<std::int16_t, std::string>;

// A run of triangles written with one material: an object's material range,
// or the whole object when it has none. Triangle slots are numbered on from
// the runs before, valid triangles or not, so that the face section can be
// cut into pieces anywhere.
struct FaceRun {
    const ObjectPlan* object = nullptr;
    std::uint32_t firstCorner = 0;
    std::uint32_t triangles = 0; // slots: triangles that start before the range's end
    std::uint64_t firstSlot = 0;
    // The "usemtl" line, if any, that goes before the triangle at
    // switchCorner: the first of the run that is written.
    const std::string* material = nullptr;
    std::uint32_t switchCorner = 0;
};

// A triangle with all corners in its object and no two of them equal: the
// ones that get an "f" line.
bool triangleIsDrawn(const ModelObject& object, std::uint32_t corner)
{
    if (!triangleIsValid(object, corner))
        return false;
    const std::uint32_t* index = object.indices.data() + corner;
    return index[0] != index[1] && index[1] != index[2] && index[0] != index[2];
}

// Where the material switches: the file runs through the triangles in order
// and writes "usemtl" at a drawn triangle whose material id differs from
// the previous drawn triangle's, when its name differs from the last one
// written. Only the first drawn triangle of a run can switch, so one cheap
// pass over the runs finds every switch, and pieces of the face section
// need no state from the pieces before them.
void placeMaterialSwitches(std::vector<FaceRun>& runs, const std::vector<std::int16_t>& materialIds,
                           const MaterialNames& names)
{
    const std::string* lastName = nullptr;
    std::optional<std::int16_t> lastMaterialId;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        FaceRun& run = runs[i];
        if (lastMaterialId == materialIds[i])
            continue;
        const ModelObject& object = *run.object->object;
        std::uint32_t corner = run.firstCorner;
        const std::uint32_t end = run.firstCorner + 3 * run.triangles;
        while (corner < end && !triangleIsDrawn(object, corner))
            corner += 3;
        if (corner == end)
            continue;
        lastMaterialId = materialIds[i];
        const auto found = names.find(materialIds[i]);
        if (found != names.end() && (lastName == nullptr || *lastName != found->second)) {
            lastName = &found->second;
            run.material = lastName;
            run.switchCorner = corner;
        }
    }
}

// The face section's runs in file order: per object, the triangles of each
// material range in corner order (all of its triangles with material 0 when
// it has none). A range that starts inside a triangle begins with the next
// one; a triangle that starts before a range's end belongs to it. Throws
// std::bad_alloc when memory runs out.
std::vector<FaceRun> planFaceRuns(const WritePlan& plan, const MaterialNames* names)
{
    std::vector<FaceRun> runs;
    std::vector<std::int16_t> materialIds;
    std::uint64_t slots = 0;
    const auto addRun = [&](const ObjectPlan& objectPlan, std::uint64_t first, std::uint64_t end,
                            std::int16_t materialId) {
        const std::uint64_t whole = objectPlan.wholeCorners();
        first += (3 - first % 3) % 3;
        const std::uint64_t limit = std::min(end, whole >= 3 ? whole - 2 : 0); // corners that start a triangle
        if (first >= limit)
            return;
        FaceRun run;
        run.object = &objectPlan;
        run.firstCorner = static_cast<std::uint32_t>(first);
        run.triangles = static_cast<std::uint32_t>((limit - first + 2) / 3);
        run.firstSlot = slots;
        slots += run.triangles;
        runs.push_back(run);
        materialIds.push_back(materialId);
    };
    for (const ObjectPlan& objectPlan : plan.objects) {
        const ModelObject& object = *objectPlan.object;
        if (object.materialRanges.empty()) {
            addRun(objectPlan, 0, object.indices.count(), 0);
            continue;
        }
        for (const MaterialRange* range : rangesInCornerOrder(object))
            addRun(objectPlan, range->firstIndex, range->endIndex, range->materialId);
    }
    if (names != nullptr)
        placeMaterialSwitches(runs, materialIds, *names);
    return runs;
}

// ---------------------------------------------------------------------------
// Progress of one phase: a stop check after each piece written, and the
// count in whole thousands on status line 1 and as a share of the fraction
// (the phase's end is the next phase's start, which the next one shows).

class PhaseProgress {
public:
    // Shows the phase's status text and the fraction it starts at.
    PhaseProgress(ProgressReporter& reporter, const char* status, const char* label, std::uint64_t total, double start,
                  double share)
        : reporter_(reporter), label_(label), total_(total), start_(start), share_(share)
    {
        reporter_.setProgress(start);
        reporter_.setStatusText(status, 0);
    }

    // False when the user asked to stop.
    bool written(std::uint64_t done)
    {
        if (reporter_.isCancelled())
            return false;
        const std::uint64_t shown = done - done % ElementsPerCheck;
        if (shown == 0)
            return true;
        char text[96];
        std::snprintf(text, sizeof text, "%s: %llu / %llu.", label_, static_cast<unsigned long long>(shown),
                      static_cast<unsigned long long>(total_));
        reporter_.setStatusText(text, 1);
        reporter_.setProgress(start_ + share_ * static_cast<double>(shown) / static_cast<double>(total_));
        return true;
    }

private:
    ProgressReporter& reporter_;
    const char* label_;
    std::uint64_t total_;
    double start_;
    double share_;
};

// ---------------------------------------------------------------------------
// The long sections of the OBJ file, each formatted in pieces of lines on
// the threads the file may use and written in order.

std::atomic<std::uint32_t> pieceLines{DefaultPieceLines};

struct SectionOutput {
    AtomicFileWriter& file;
    const WritePlan& plan;
    Failure* failure;
    OrderedTextWriter pieces;

    OperationResult write(PhaseProgress& progress, std::uint64_t lines, const OrderedTextWriter::FormatPiece& format)
    {
        const std::uint32_t perPiece = pieceLines.load(std::memory_order_relaxed);
        return pieces.write(
            file, lines, perPiece, threadsFor(lines, perPiece), format,
            [&](std::uint64_t done) { return progress.written(done); }, failure);
    }
};

// Calls visit(objectPlan, from, to) for the part [from, to) of each object's
// own elements that the section's elements [begin, end) cover; an object's
// elements are numbered in the section from sectionStart(objectPlan) on,
// elementCount(objectPlan) of them.
template <typename SectionStart, typename ElementCount, typename Visit>
void forObjectParts(const WritePlan& plan, std::uint64_t begin, std::uint64_t end, SectionStart sectionStart,
                    ElementCount elementCount, Visit&& visit)
{
    const auto& objects = plan.objects;
    auto at = std::upper_bound(objects.begin(), objects.end(), begin,
                               [&](std::uint64_t element, const ObjectPlan& o) { return element < sectionStart(o); });
    for (at = at == objects.begin() ? at : at - 1; at != objects.end() && sectionStart(*at) < end; ++at) {
        const std::uint64_t first = sectionStart(*at);
        const std::uint64_t from = std::max(begin, first), to = std::min(end, first + elementCount(*at));
        if (from < to)
            visit(*at, static_cast<std::uint32_t>(from - first), static_cast<std::uint32_t>(to - first));
    }
}

// A section whose lines run object by object: heading, lines, empty line.
// `sectionStart(objectPlan)` is the section's number of an object's first
// element and `elementCount(objectPlan)` how many it has;
// formatPart(objectPlan, from, to, text) formats its elements [from, to).
template <typename SectionStart, typename ElementCount, typename FormatPart>
OperationResult writeByObject(SectionOutput& out, PhaseProgress& progress, std::string_view heading,
                              std::uint64_t lines, SectionStart sectionStart, ElementCount elementCount,
                              FormatPart formatPart)
{
    out.file.write(heading);
    const OperationResult result =
        out.write(progress, lines, [&](std::uint64_t begin, std::uint64_t end, TextPiece& text) {
            forObjectParts(out.plan, begin, end, sectionStart, elementCount,
                           [&](const ObjectPlan& objectPlan, std::uint32_t from, std::uint32_t to) {
                               formatPart(objectPlan, from, to, text);
                           });
        });
    out.file.write(LineEnd);
    return result;
}

OperationResult writeVertices(SectionOutput& out, ProgressReporter& reporter)
{
    static const ColourFractions fractions;
    const WritePlan& plan = out.plan;
    PhaseProgress progress(reporter, "Writing vertices...", "Vertices written", plan.vertexCount, 0.31, 0.29);
    const auto start = [](const ObjectPlan& o) { return o.firstVertexNumber - 1; };
    const auto count = [](const ObjectPlan& o) { return o.object->vertices.count(); };
    return writeByObject(out, progress, "# Vertex Array \r\n", plan.vertexCount, start, count,
                         [&](const ObjectPlan& objectPlan, std::uint32_t from, std::uint32_t to, TextPiece& text) {
                             const ModelObject& object = *objectPlan.object;
                             const ArgbColor* colours =
                                 plan.colourOutput ? plan.vertexColours.data() + start(objectPlan) : nullptr;
                             for (std::uint32_t i = from; i < to; ++i) {
                                 const Vector3 point = placePoint(objectPlan, object.vertices[i]);
                                 char* at = putPoint(text.room(LineRoom), "v ", point);
                                 if (colours != nullptr)
                                     for (int shift = 16; shift >= 0; shift -= 8) {
                                         *at++ = ' ';
                                         at = fractions.put(at, colours[i] >> shift);
                                     }
                                 text.advanceTo(putText(at, LineEnd));
                             }
                         });
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

void putNormalLine(TextPiece& text, const Vector3& normal)
{
    text.advanceTo(putText(putPoint(text.room(LineRoom), "vn ", normal), LineEnd));
}

// An object's own normals as they are (turned with its placement), else one
// face normal per triangle.
OperationResult writeNormals(SectionOutput& out, ProgressReporter& reporter)
{
    PhaseProgress progress(reporter, "Writing normals...", "Normals written", out.plan.normalCount, 0.6, 0.2);
    const auto start = [](const ObjectPlan& o) { return o.firstNormalNumber - 1; };
    const auto count = [](const ObjectPlan& o) { return o.normalCount(); };
    return writeByObject(out, progress, "# Normal Array\r\n", out.plan.normalCount, start, count,
                         [](const ObjectPlan& objectPlan, std::uint32_t from, std::uint32_t to, TextPiece& text) {
                             const ModelObject& object = *objectPlan.object;
                             if (objectPlan.normals == NormalSource::Face) {
                                 for (std::uint32_t triangle = from; triangle < to; ++triangle)
                                     putNormalLine(text, placedFaceNormal(objectPlan, 3 * triangle));
                             } else if (objectPlan.identity) {
                                 for (std::uint32_t corner = from; corner < to; ++corner)
                                     putNormalLine(text, object.normals[corner]);
                             } else {
                                 const NormalTransform turn(objectPlan.placement);
                                 for (std::uint32_t corner = from; corner < to; ++corner)
                                     putNormalLine(text, turn.apply(object.normals[corner]));
                             }
                         });
}

OperationResult writeTexCoords(SectionOutput& out, ProgressReporter& reporter)
{
    PhaseProgress progress(reporter, "Writing texture coordinate array...", "Texture Coordinates",
                           out.plan.texCoordCount, 0.8, 0.05);
    const auto start = [](const ObjectPlan& o) { return o.firstTexCoordNumber - 1; };
    const auto count = [](const ObjectPlan& o) { return o.texCoordCount(); };
    return writeByObject(out, progress, "# Texture Coordinate Array \r\n", out.plan.texCoordCount, start, count,
                         [](const ObjectPlan& objectPlan, std::uint32_t from, std::uint32_t to, TextPiece& text) {
                             const TexCoordArray& texCoords = objectPlan.object->texCoords;
                             for (std::uint32_t i = from; i < to; ++i) {
                                 char* at = putText(text.room(LineRoom), "vt ");
                                 at = putFloat(at, texCoords[i].u);
                                 *at++ = ' ';
                                 at = putFloat(at, texCoords[i].v);
                                 text.advanceTo(putText(at, LineEnd));
                             }
                         });
}

// "f v/vt/vn ..." with texture coordinates, "f v//vn ..." without. With
// face normals the three corners share one "vn" number, formatted once.
char* putFace(char* at, const ObjectPlan& objectPlan, std::uint32_t corner)
{
    const ModelObject& object = *objectPlan.object;
    const bool textured = objectPlan.texCoords != TexCoordSource::None;
    char shared[16] = {};
    const std::size_t sharedLength =
        objectPlan.normals == NormalSource::Face
            ? static_cast<std::size_t>(appendDecimal(shared, objectPlan.normalNumber(corner)) - shared)
            : 0;
    at = putText(at, "f");
    for (std::uint32_t i = 0; i < 3; ++i) {
        *at++ = ' ';
        at = appendDecimal(at, objectPlan.firstVertexNumber + object.indices[corner + i]);
        *at++ = '/';
        if (textured)
            at = appendDecimal(at, objectPlan.texCoordNumber(corner + i));
        *at++ = '/';
        if (sharedLength != 0) {
            std::memcpy(at, shared, sizeof shared); // a whole-array copy: one move, the length fixes the end
            at += sharedLength;
        } else {
            at = appendDecimal(at, objectPlan.normalNumber(corner + i));
        }
    }
    return putText(at, LineEnd);
}

// A triangle with two equal corners, or a corner beyond its object's
// vertices, is left out.
OperationResult writeFaces(SectionOutput& out, const MaterialNames* names, ProgressReporter& reporter)
{
    std::vector<FaceRun> runs;
    try {
        runs = planFaceRuns(out.plan, names);
    } catch (const std::bad_alloc&) {
        return failOutOfMemory(out.failure);
    }
    const std::uint64_t slots = runs.empty() ? 0 : runs.back().firstSlot + runs.back().triangles;
    PhaseProgress progress(reporter, "Writing triangles...", "Facets written", slots, 0.85, 0.15);
    return out.write(progress, slots, [&](std::uint64_t begin, std::uint64_t end, TextPiece& text) {
        auto run = std::upper_bound(runs.begin(), runs.end(), begin,
                                    [](std::uint64_t slot, const FaceRun& r) { return slot < r.firstSlot; });
        for (--run; run != runs.end() && run->firstSlot < end; ++run) {
            const ModelObject& object = *run->object->object;
            const std::uint64_t from = std::max(begin, run->firstSlot) - run->firstSlot;
            const std::uint64_t to = std::min(end, run->firstSlot + run->triangles) - run->firstSlot;
            for (std::uint32_t corner = run->firstCorner + 3 * static_cast<std::uint32_t>(from),
                               last = run->firstCorner + 3 * static_cast<std::uint32_t>(to);
                 corner < last; corner += 3) {
                if (!triangleIsDrawn(object, corner))
                    continue;
                if (run->material != nullptr && corner == run->switchCorner) {
                    text.append("usemtl ");
                    text.append(*run->material);
                    text.append(LineEnd);
                }
                text.advanceTo(putFace(text.room(LineRoom), *run->object, corner));
            }
        }
    });
}

// The vertices of point sets as "p" elements, so that readers see points
// rather than unused vertices.
OperationResult writePoints(AtomicFileWriter& out, const WritePlan& plan, ProgressReporter& reporter)
{
    if (plan.pointCount == 0)
        return OperationResult::Success;
    out.write("# Points\r\n");
    std::uint32_t written = 0;
    for (const ObjectPlan& objectPlan : plan.objects) {
        if (!objectPlan.object->isPointSet())
            continue;
        const std::uint32_t count = objectPlan.object->vertices.count();
        for (std::uint32_t i = 0; i < count; ++i, ++written) {
            if (written % ElementsPerCheck == 0 && reporter.isCancelled())
                return OperationResult::Cancelled;
            char* start = out.reserve(LineRoom);
            char* at = appendDecimal(putText(start, "p "), objectPlan.firstVertexNumber + i);
            at = putText(at, LineEnd);
            out.advance(static_cast<std::size_t>(at - start));
        }
    }
    out.write(LineEnd);
    return OperationResult::Success;
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

void setWriterPieceLines(std::uint32_t lines)
{
    pieceLines.store(lines == 0 ? DefaultPieceLines : lines, std::memory_order_relaxed);
}

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
    SectionOutput sections{obj, plan, failure, {}};
    OperationResult result = writeVertices(sections, reporter);
    if (result == OperationResult::Success && plan.normalCount > 0)
        result = writeNormals(sections, reporter);
    if (result == OperationResult::Success && plan.texCoordCount > 0)
        result = writeTexCoords(sections, reporter);
    if (result != OperationResult::Success)
        return result;

    obj.write("# Facets\r\n");
    MaterialNames names;
    TextureCopies textures;
    if (withMaterials)
        writeMaterialLibrary(library, model, names, textures);
    result = writeFaces(sections, withMaterials ? &names : nullptr, reporter);
    if (result == OperationResult::Success)
        result = writePoints(obj, plan, reporter);
    if (result != OperationResult::Success)
        return result;
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
