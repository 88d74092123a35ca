#include "formats/stl/stl_internal.h"

#include "support/core/memory_guard.h"
#include "support/core/parallel_ranges.h"
#include "support/platform/files.h"
#include "support/text/text.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace morvex::stl {
namespace {

constexpr std::uint32_t LoadReportEvery = 100;
// Facets of about 16 MiB, checked before their pages are given back.
constexpr std::uint32_t ReleaseFacets = (16u << 20) / FacetRecordBytes;
// Files of fewer facets are looked over on one thread.
constexpr std::uint32_t ParallelScanFacets = 1u << 18;

// The file's bytes as the record arithmetic wants them.
struct ByteView {
    explicit ByteView(std::string_view text) : text_(text) {}
    std::uint64_t size() const { return text_.size(); }
    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(text_.data()); }

private:
    std::string_view text_;
};
constexpr std::string_view ColorMarker = "COLOR=";
constexpr std::string_view MaterialMarker = "MATERIAL=";

std::uint32_t readLittleEndian32(const unsigned char* at)
{
    return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24;
}

bool markerAt(const unsigned char* header, std::size_t at, std::string_view marker)
{
    return at + marker.size() <= HeaderBytes && std::memcmp(header + at, marker.data(), marker.size()) == 0;
}

// The object colour after "COLOR=", and the material colours after a
// "MATERIAL=" right behind it. Returns the length of the name before the
// colour block (the whole header when there is none).
OperationResult readHeaderColors(const unsigned char* header, Model& model, ModelObject& object,
                                 std::size_t& nameLength, Failure* failure)
{
    nameLength = HeaderBytes;
    for (std::size_t at = 0; at + ColorMarker.size() + 4 <= HeaderBytes; ++at) {
        if (!markerAt(header, at, ColorMarker))
            continue;
        nameLength = at;
        const std::size_t colorAt = at + ColorMarker.size();
        object.properties.setIntProperty(ObjectColorKey,
                                         static_cast<std::int32_t>(readLittleEndian32(header + colorAt)));
        const std::size_t materialAt = colorAt + 4;
        if (markerAt(header, materialAt, MaterialMarker) && materialAt + MaterialMarker.size() + 12 <= HeaderBytes) {
            Material* material = model.addMaterial();
            if (material == nullptr)
                return failOutOfMemory(failure);
            const unsigned char* colors = header + materialAt + MaterialMarker.size();
            material->setColor(DiffuseSlot, readLittleEndian32(colors));
            material->setColor(SpecularSlot, readLittleEndian32(colors + 4));
            material->setColor(AmbientSlot, readLittleEndian32(colors + 8));
        }
        break;
    }
    return OperationResult::Success;
}

std::string headerName(const unsigned char* header, std::size_t length)
{
    const char* text = reinterpret_cast<const char*>(header);
    const void* zero = std::memchr(text, 0, length);
    if (zero != nullptr)
        length = static_cast<std::size_t>(static_cast<const char*>(zero) - text);
    return std::string(trimSpaces(modelText(std::string_view(text, length))));
}

void reportLoading(ProgressReporter& phase, std::uint32_t done, std::uint32_t total)
{
    char text[64];
    std::snprintf(text, sizeof text, "Loading as Binary: %u facets", done);
    phase.setStatusText(text, 0);
    phase.setProgress(static_cast<double>(done) / total);
}

bool facetIsFinite(const unsigned char* record)
{
    std::uint32_t bits[9];
    std::memcpy(bits, record + 12, sizeof bits);
    bool nonFinite = false;
    for (std::uint32_t word : bits)
        nonFinite |= nonFiniteBits(word);
    return !nonFinite;
}

// Byte offset of the first facet with a coordinate that is not finite.
std::uint64_t firstNonFiniteFacetOffset(const FacetSpan& facets)
{
    std::uint32_t facet = 0;
    while (facet < facets.count && facetIsFinite(facets.data + std::uint64_t{facet} * FacetRecordBytes))
        ++facet;
    return BinaryPrefixBytes + std::uint64_t{facet} * FacetRecordBytes;
}

// What one look over a range of facets found.
struct FacetScan {
    std::uint32_t attributes = 0; // every attribute word or-ed together
    bool nonFinite = false;
};

// Looks at the facets [begin, end) once, giving their pages back behind
// it; `report(facet)` is called every 100 facets.
template <typename Report>
FacetScan scanFacets(const FacetSpan& facets, std::uint32_t begin, std::uint32_t end, Report&& report)
{
    FacetScan scan;
    std::uint32_t released = begin;
    for (std::uint32_t facet = begin; facet < end; ++facet) {
        if (facet % LoadReportEvery == 0) {
            if (scan.nonFinite)
                break;
            report(facet);
            // The file is not held whole beside the merge that follows.
            if (facet - released >= ReleaseFacets) {
                facets.releaseRange(released, facet);
                released = facet;
            }
        }
        scan.nonFinite |= !facetIsFinite(facets.data + std::uint64_t{facet} * FacetRecordBytes);
        scan.attributes |= facets.attribute(facet);
    }
    return scan;
}

// Looks at every facet once, the parts of a large file on several threads:
// coordinates must be finite numbers, and an attribute word that is not
// zero means the object gets colours.
OperationResult loadFacets(FacetSpan& facets, ProgressReporter& phase, Failure* failure)
{
    const unsigned parts = threadsFor(facets.count, ParallelScanFacets);
    std::vector<FacetScan> scans(parts);
    forEachRange(facets.count, parts, [&](unsigned part, std::uint64_t begin, std::uint64_t end) {
        const auto report = [&](std::uint32_t facet) {
            // The parts go at about one pace: the first one speaks for all.
            if (part == 0)
                reportLoading(
                    phase,
                    static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{facet} * parts, facets.count)),
                    facets.count);
        };
        scans[part] = scanFacets(facets, static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end), report);
    });
    std::uint32_t attributes = 0;
    for (const FacetScan& scan : scans) {
        if (scan.nonFinite)
            return failAtByte(failure, FailureKind::Malformed, firstNonFiniteFacetOffset(facets),
                              "a vertex coordinate is not a finite number");
        attributes |= scan.attributes;
    }
    reportLoading(phase, facets.count, facets.count);
    facets.anyAttributeSet = attributes != 0;
    return OperationResult::Success;
}

} // namespace

OperationResult readStlBinary(std::string_view bytes, Model& model, ProgressReporter& reporter, Failure* failure,
                              MappedFile* mapping)
{
    const ByteView file(bytes);
    if (file.size() == 0)
        return failWith(failure, FailureKind::Malformed, "file is empty");
    if (file.size() < HeaderBytes)
        return failAtByte(failure, FailureKind::Malformed, file.size(), "file is too short for an STL header");
    ModelObject* object = model.addObject();
    if (object == nullptr)
        return failOutOfMemory(failure);

    const unsigned char* header = file.bytes();
    std::size_t nameLength = 0;
    if (readHeaderColors(header, model, *object, nameLength, failure) != OperationResult::Success)
        return OperationResult::Failure;

    if (file.size() < BinaryPrefixBytes)
        return failAtByte(failure, FailureKind::Malformed, file.size(), "file is truncated (no facet count)");
    const std::uint32_t count = readLittleEndian32(header + HeaderBytes);
    const std::uint64_t expected = BinaryPrefixBytes + std::uint64_t{count} * FacetRecordBytes;
    if (file.size() < expected)
        return failAtByte(failure, FailureKind::Malformed, file.size(),
                          "file is truncated: " + std::to_string(count) + " facets need " + std::to_string(expected) +
                              " bytes, the file has " + std::to_string(file.size()));
    if (file.size() > expected)
        return failAtByte(failure, FailureKind::Malformed, expected,
                          "file is longer than its " + std::to_string(count) + " facets (" +
                              std::to_string(file.size()) + " bytes instead of " + std::to_string(expected) + ")");

    const std::string name = headerName(header, nameLength);
    if (!name.empty())
        model.properties.setProperty(ModelNameKey, name);
    if (count == 0) {
        return OperationResult::Success;
    }

    // Refuse what cannot be built before reading gigabytes of facets.
    const std::uint64_t corners = std::uint64_t{count} * 3;
    if (corners > UINT32_MAX)
        return failWith(failure, FailureKind::Unsupported, "too many facets for one object");
    if (!allocationAllowed(corners * sizeof(std::uint32_t), sizeof(std::uint32_t)) ||
        !allocationAllowed(corners * sizeof(Vector3), sizeof(Vector3)))
        return failOutOfMemory(failure);

    FacetSpan facets;
    facets.data = file.bytes() + BinaryPrefixBytes;
    facets.count = count;
    facets.stride = FacetRecordBytes;
    facets.vertexOffset = 12;
    facets.hasAttributes = true;
    facets.attributeOffset = 48;
    if (mapping != nullptr && mapping->data() == bytes.data()) {
        facets.mapping = mapping;
        facets.mappingOffset = BinaryPrefixBytes;
    }
    ProgressRange loading(reporter, 0.0, 0.5);
    if (loadFacets(facets, loading, failure) != OperationResult::Success)
        return OperationResult::Failure;
    ProgressRange building(reporter, 0.5, 0.5);
    return buildStlObject(facets, model, *object, building, failure);
}

} // namespace morvex::stl
