#include "formats/stl/stl.h"
#include "formats/stl/stl_internal.h"

#include "support/core/parallel_ranges.h"
#include "support/platform/files.h"
#include "support/text/numbers.h"
#include "support/text/ordered_text_pieces.h"
#include "support/text/text.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

namespace morvex::stl {
namespace {

constexpr std::uint32_t WriteReportEvery = 100;
// Facets formatted on several threads while the pieces before them are
// written: a binary piece is large enough to go to the file without a copy
// through the writer's buffer, an ASCII piece is a few megabytes of text.
constexpr std::uint32_t BinaryPieceFacets = 32768;
constexpr std::uint32_t AsciiPieceFacets = 8192;
constexpr std::uint32_t FacetsPerThread = 4096;
constexpr std::size_t MaxNameBytes = 259;

// An object whose triangles go into the file, with its placement resolved.
struct PreparedObject {
    const ModelObject* object = nullptr;
    Matrix4 placement;
    std::uint32_t triangles = 0;
    // Placements are mostly baked into the vertices before writing.
    bool identity = false;
};

struct Facet {
    Vector3 normal;
    Vector3 corners[3];
    std::uint16_t attribute = 0;
};

// How facet colours become attribute words. The header's object colour
// ("COLOR=") is the first object's "ObjectDefaultColor"; a facet of exactly
// that colour takes it through bit 15, so it comes back unchanged.
struct ColourPlan {
    std::optional<ArgbColor> objectColour; // written after "COLOR="
    // Every coloured facet would get the word 0, which reads back as no
    // colour at all: black facets then take a black object colour instead.
    bool blackTakesObjectColour = false;
};

struct PreparedFacets {
    std::vector<PreparedObject> objects;
    std::vector<std::uint64_t> firstFacets; // of each object, in file order
    std::uint32_t count = 0;
    ColourPlan colours;
};

constexpr std::uint16_t TakesObjectColour = 0x8000;

bool allIndicesValid(const ModelObject& object, std::uint32_t triangles)
{
    const std::uint32_t vertexCount = object.vertices.count();
    const std::uint32_t* indices = object.indices.data();
    const std::uint64_t corners = std::uint64_t{triangles} * 3;
    std::uint32_t highest = 0;
    for (std::uint64_t i = 0; i < corners; ++i)
        highest = std::max(highest, indices[i]);
    return highest < vertexCount;
}

// The colour of a triangle is the colour of its first corner; none when its
// object has no colour for it.
std::optional<ArgbColor> triangleColor(const ModelObject& object, std::uint32_t firstCorner)
{
    if (object.colors.empty())
        return std::nullopt;
    if (object.colors.count() == object.indices.count())
        return object.colors[firstCorner];
    const std::uint32_t vertex = object.indices[firstCorner];
    if (vertex < object.colors.count())
        return object.colors[vertex];
    return std::nullopt;
}

// The attribute word of a facet: 0 without a colour (the word readers take
// for "no colour"), bit 15 for the header's object colour, else its own
// colour in five bits a channel.
std::uint16_t facetAttribute(const ColourPlan& plan, std::optional<ArgbColor> colour)
{
    if (!colour)
        return 0;
    if (plan.objectColour && *colour == *plan.objectColour)
        return TakesObjectColour;
    const std::uint16_t own = stl::colorAttribute(*colour);
    return own == 0 && plan.blackTakesObjectColour ? TakesObjectColour : own;
}

Facet makeFacet(const PreparedObject& prepared, const ColourPlan& colours, std::uint32_t triangle)
{
    const ModelObject& object = *prepared.object;
    const std::uint32_t first = triangle * 3;
    Facet facet;
    for (int corner = 0; corner < 3; ++corner) {
        const Vector3& vertex = object.vertices[object.indices[first + corner]];
        facet.corners[corner] =
            prepared.identity ? transformPointByIdentity(vertex) : transformPoint(vertex, prepared.placement);
    }
    facet.normal = faceNormal(facet.corners[0], facet.corners[1], facet.corners[2]);
    facet.attribute = facetAttribute(colours, triangleColor(object, first));
    return facet;
}

std::optional<ArgbColor> objectColourOf(const Model& model)
{
    if (model.objects.empty() || !model.objects.front()->properties.hasProperty(stl::ObjectColorKey))
        return std::nullopt;
    return static_cast<ArgbColor>(model.objects.front()->properties.getIntProperty(stl::ObjectColorKey));
}

// Readers give an object colours only when some facet's word is not 0, so
// a model whose coloured facets are all black (or near it, which five bits
// a channel make black) would lose them. Such facets then take the object
// colour: black, or the model's own when that is black too. An object colour
// that is not black leaves no way to say black, and the facets stay 0.
ColourPlan planColours(const std::vector<PreparedObject>& objects, std::optional<ArgbColor> objectColour)
{
    ColourPlan plan{objectColour, false};
    bool coloured = false;
    for (const PreparedObject& prepared : objects) {
        if (prepared.object->colors.empty())
            continue;
        for (std::uint32_t triangle = 0; triangle < prepared.triangles; ++triangle) {
            const std::optional<ArgbColor> colour = triangleColor(*prepared.object, triangle * 3);
            if (!colour)
                continue;
            if (facetAttribute(plan, colour) != 0)
                return plan;
            coloured = true;
        }
    }
    if (!coloured)
        return plan;
    if (!plan.objectColour)
        plan.objectColour = OpaqueBlack;
    plan.blackTakesObjectColour = stl::colorAttribute(*plan.objectColour) == 0;
    return plan;
}

// Every triangle of every object with at least three indices, in list order.
// Triangles must index existing vertices: the file would otherwise hold
// facets that are not in the model.
OperationResult prepareFacets(const Model& model, ProgressReporter& phase, PreparedFacets& prepared, Failure* failure)
{
    phase.setStatusText("Preparing data", 0);
    std::uint64_t total = 0;
    for (const auto& object : model.objects)
        if (object->indices.count() >= 3)
            total += object->triangleCount();
    if (total > UINT32_MAX)
        return failWith(failure, FailureKind::Unsupported, "too many triangles for one STL file");
    try {
        prepared.objects.reserve(model.objects.size());
        prepared.firstFacets.reserve(model.objects.size());
    } catch (const std::bad_alloc&) {
        return failOutOfMemory(failure);
    }
    for (const auto& object : model.objects) {
        if (phase.isCancelled())
            return OperationResult::Cancelled;
        if (object->indices.count() < 3)
            continue;
        if (!object->vertices.hasStorage())
            return failWith(failure, FailureKind::Malformed, "an object has triangles but no vertices");
        if (!allIndicesValid(*object, object->triangleCount()))
            return failWith(failure, FailureKind::Malformed, "an object has triangles with indices past its vertices");
        prepared.firstFacets.push_back(
            prepared.objects.empty() ? 0 : prepared.firstFacets.back() + prepared.objects.back().triangles);
        const Matrix4 placement = placementMatrix(*object);
        prepared.objects.push_back({object.get(), placement, object->triangleCount(), isExactIdentity(placement)});
    }
    prepared.count = static_cast<std::uint32_t>(total);
    prepared.colours = planColours(prepared.objects, objectColourOf(model));
    return OperationResult::Success;
}

// Checks for cancellation and shows how far the writing is.
bool reportWriting(ProgressReporter& phase, const char* statusPrefix, std::uint32_t done, std::uint32_t total)
{
    if (phase.isCancelled())
        return false;
    char text[64];
    std::snprintf(text, sizeof text, "%s : %u facets", statusPrefix, done);
    phase.setStatusText(text, 0);
    phase.setProgress(static_cast<double>(done) / total);
    return true;
}

// Calls write(facet) for every prepared facet, with a cancellation check,
// the status and the fraction every 100 facets.
template <typename Write>
OperationResult writeFacets(const PreparedFacets& prepared, ProgressReporter& phase, const char* statusPrefix,
                            Write write)
{
    std::uint32_t done = 0;
    for (const PreparedObject& object : prepared.objects)
        for (std::uint32_t triangle = 0; triangle < object.triangles; ++triangle, ++done) {
            if (done % WriteReportEvery == 0 && !reportWriting(phase, statusPrefix, done, prepared.count))
                return OperationResult::Cancelled;
            write(makeFacet(object, prepared.colours, triangle));
        }
    phase.setProgress(1.0);
    return OperationResult::Success;
}

// Calls make(facet, index) for the facets numbered [begin, end) of the file.
// The object holding `begin` is found by bisection, so that files of very
// many small objects cost no pass over all objects per block.
template <typename Make>
void forFacetsInRange(const PreparedFacets& prepared, std::uint64_t begin, std::uint64_t end, Make make)
{
    const auto& starts = prepared.firstFacets;
    std::size_t at = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), begin) - starts.begin());
    for (at = at == 0 ? 0 : at - 1; at < prepared.objects.size() && starts[at] < end; ++at) {
        const PreparedObject& object = prepared.objects[at];
        const std::uint64_t objectStart = starts[at], objectEnd = objectStart + object.triangles;
        for (std::uint64_t index = std::max(begin, objectStart); index < std::min(end, objectEnd); ++index)
            make(makeFacet(object, prepared.colours, static_cast<std::uint32_t>(index - objectStart)), index);
    }
}

// The facets in pieces of `pieceFacets`, each formatted by format(facet,
// piece) on one of several threads while the pieces before it are written,
// in file order: the file is byte for byte the one the single loop writes.
template <typename Format>
OperationResult writeFacetPieces(const PreparedFacets& prepared, ProgressReporter& phase, const char* statusPrefix,
                                 AtomicFileWriter& out, std::uint32_t pieceFacets, Failure* failure, Format format)
{
    if (!reportWriting(phase, statusPrefix, 0, prepared.count))
        return OperationResult::Cancelled;
    OrderedTextWriter pieces;
    const OperationResult result = pieces.write(
        out, prepared.count, pieceFacets, threadsFor(prepared.count, FacetsPerThread),
        [&](std::uint64_t begin, std::uint64_t end, TextPiece& piece) {
            forFacetsInRange(prepared, begin, end, [&](const Facet& facet, std::uint64_t) { format(facet, piece); });
        },
        [&](std::uint64_t done) {
            return reportWriting(phase, statusPrefix, static_cast<std::uint32_t>(done), prepared.count);
        },
        failure);
    if (result == OperationResult::Success)
        phase.setProgress(1.0);
    return result;
}

void replaceLineBreaks(std::string& text, char with)
{
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = with;
}

std::string asciiSolidName(const Model& model)
{
    std::string name = model.properties.getProperty(stl::ModelNameKey);
    // A line break would end the solid line early and corrupt the file.
    replaceLineBreaks(name, ' ');
    return std::string(trimSpaces(limitUtf8Bytes(name, MaxNameBytes)));
}

char* appendVectorLine(char* at, std::string_view prefix, const Vector3& v)
{
    std::memcpy(at, prefix.data(), prefix.size());
    at += prefix.size();
    for (float value : {v.x, v.y, v.z}) {
        *at++ = ' ';
        at += formatExponent3(at, value);
    }
    *at++ = '\r';
    *at++ = '\n';
    return at;
}

char* appendText(char* at, std::string_view text)
{
    std::memcpy(at, text.data(), text.size());
    return at + text.size();
}

constexpr std::size_t AsciiFacetRoom = 4 * (16 + 3 * (MaxNumberChars + 1)) + 64;

char* formatAsciiFacet(char* at, const Facet& facet)
{
    at = appendVectorLine(at, "  facet normal", facet.normal);
    at = appendText(at, "    outer loop\r\n");
    for (const Vector3& corner : facet.corners)
        at = appendVectorLine(at, "      vertex", corner);
    return appendText(at, "    endloop\r\n  endfacet\r\n");
}

void writeAsciiFacet(AtomicFileWriter& out, const Facet& facet)
{
    char* start = out.reserve(AsciiFacetRoom);
    out.advance(static_cast<std::size_t>(formatAsciiFacet(start, facet) - start));
}

OperationResult writeAsciiFacetsInParallel(const PreparedFacets& prepared, ProgressReporter& phase,
                                           const char* statusPrefix, AtomicFileWriter& out, Failure* failure)
{
    return writeFacetPieces(prepared, phase, statusPrefix, out, AsciiPieceFacets, failure,
                            [](const Facet& facet, TextPiece& piece) {
                                piece.advanceTo(formatAsciiFacet(piece.room(AsciiFacetRoom), facet));
                            });
}

// The name at the start of a binary header: never beginning with "solid ",
// which would make readers take the file for ASCII STL, and never holding
// the colour marker, which readers would take for the colour block.
std::string binaryHeaderName(const Model& model)
{
    if (!model.properties.hasProperty(stl::ModelNameKey))
        return "Morvex";
    std::string text = model.properties.getProperty(stl::ModelNameKey);
    std::string name;
    name.reserve(text.size() + 5);
    for (char c : text) {
        if (c == '\r' || c == '\n' || (c == ' ' && !name.empty() && name.back() == ' '))
            continue;
        name.push_back(c);
    }
    for (std::size_t at = name.find("COLOR="); at != std::string::npos; at = name.find("COLOR=", at))
        name[at + 5] = '-';
    const auto opensSolid = [](std::string_view s) { return s == "solid" || s.starts_with("solid "); };
    if (!name.starts_with("solid "))
        name = std::string(trimSpaces(name));
    if (opensSolid(name))
        name.insert(0, "     ");
    return limitUtf8Bytes(name, MaxNameBytes);
}

void appendLittleEndian32(std::string& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// "COLOR=" and the object colour, then "MATERIAL=" and the diffuse,
// specular and ambient colours of the first object's material, where readers
// look for them. A colour the material does not set is written as opaque
// black.
std::string colorBlock(const Model& model, std::optional<ArgbColor> objectColour)
{
    std::string block;
    if (!objectColour)
        return block;
    block = "COLOR=";
    appendLittleEndian32(block, *objectColour);
    const ModelObject& object = *model.objects.front();
    if (object.materialRanges.empty() || model.materials.empty())
        return block;
    const Material* material = model.findMaterial(object.materialRanges.front().materialId);
    const MaterialSlot slots[] = {DiffuseSlot, SpecularSlot, AmbientSlot};
    if (material == nullptr ||
        !(material->colorSet[DiffuseSlot] || material->colorSet[SpecularSlot] || material->colorSet[AmbientSlot]))
        return block;
    block += "MATERIAL=";
    for (MaterialSlot slot : slots)
        appendLittleEndian32(block, material->colorSet[slot] ? material->colors[slot] : OpaqueBlack);
    return block;
}

// Name, one space, the colour block, spaces: exactly 80 bytes, the name
// shortened when it would not fit.
std::string binaryHeader(const Model& model, const ColourPlan& plan)
{
    const std::string colors = colorBlock(model, plan.objectColour);
    std::string header = limitUtf8Bytes(binaryHeaderName(model), stl::HeaderBytes - 1 - colors.size());
    header += ' ';
    header += colors;
    header.resize(stl::HeaderBytes, ' ');
    return header;
}

// Preparation, then the file: `head` writes what precedes the facets,
// `facet` writes one facet (or `inParallel` all of them, when the file may
// use several threads), `tail` follows them. Written to a temporary file
// that replaces the target only when complete.
template <typename Head, typename WriteFacet, typename WriteInParallel>
OperationResult writeStlFile(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                             Failure* failure, const char* status, Head head, WriteFacet facet,
                             WriteInParallel inParallel, std::string_view tail)
{
    ProgressRange phase(reporter, 0.0, 1.0);
    PreparedFacets prepared;
    if (OperationResult result = prepareFacets(model, phase, prepared, failure); result != OperationResult::Success)
        return result;
    phase.setStatusText(status, 0);
    AtomicFileWriter out;
    if (out.open(path, failure) != OperationResult::Success)
        return OperationResult::Failure;
    head(out, prepared);
    const OperationResult result =
        threadsFor(prepared.count, FacetsPerThread) > 1
            ? inParallel(prepared, phase, status, out, failure)
            : writeFacets(prepared, phase, status, [&](const Facet& written) { facet(out, written); });
    if (result != OperationResult::Success)
        return result;
    out.write(tail);
    return out.commit(failure);
}

void formatBinaryFacet(char* at, const Facet& facet)
{
    std::memcpy(at, &facet.normal, 12);
    std::memcpy(at + 12, facet.corners, 36);
    std::memcpy(at + 48, &facet.attribute, 2);
}

void writeBinaryFacet(AtomicFileWriter& out, const Facet& facet)
{
    formatBinaryFacet(out.reserve(stl::FacetRecordBytes), facet);
    out.advance(stl::FacetRecordBytes);
}

OperationResult writeBinaryFacetsInParallel(const PreparedFacets& prepared, ProgressReporter& phase,
                                            const char* statusPrefix, AtomicFileWriter& out, Failure* failure)
{
    return writeFacetPieces(prepared, phase, statusPrefix, out, BinaryPieceFacets, failure,
                            [](const Facet& facet, TextPiece& piece) {
                                char* at = piece.room(stl::FacetRecordBytes);
                                formatBinaryFacet(at, facet);
                                piece.advanceTo(at + stl::FacetRecordBytes);
                            });
}

} // namespace

OperationResult writeStlAscii(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                              Failure* failure)
{
    const auto head = [&](AtomicFileWriter& out, const PreparedFacets&) {
        out.write("solid " + asciiSolidName(model) + "\r\n");
    };
    return writeStlFile(path, model, reporter, failure, "Write ASCII file", head, writeAsciiFacet,
                        writeAsciiFacetsInParallel, "endsolid\r\n");
}

OperationResult writeStlBinary(const std::filesystem::path& path, const Model& model, ProgressReporter& reporter,
                               Failure* failure)
{
    const auto head = [&](AtomicFileWriter& out, const PreparedFacets& prepared) {
        out.write(binaryHeader(model, prepared.colours));
        out.writeLittleEndian<std::uint32_t>(prepared.count);
    };
    return writeStlFile(path, model, reporter, failure, "Write Binary file", head, writeBinaryFacet,
                        writeBinaryFacetsInParallel, {});
}

} // namespace morvex::stl
