#include "formats/stl/stl_internal.h"
#include "formats/stl/stl_vertex_merge.h"

#include "support/core/growable_array.h"

#include <cstdio>

namespace morvex::stl {
namespace {

constexpr std::uint32_t BuildReportEvery = 1000;
// Facets ahead whose hash slots are fetched while the current one merges.
constexpr std::uint32_t PrefetchAhead = 16;

void reportBuilding(ProgressReporter& phase, std::uint32_t done, std::uint32_t total)
{
    char text[96];
    const unsigned percent = static_cast<unsigned>(std::uint64_t{done} * 100 / total);
    std::snprintf(text, sizeof text, "Processing Colors and Normals: [%u%%: %u / %u]", percent, done, total);
    phase.setStatusText(text, 0);
    phase.setProgress(static_cast<double>(done) / total);
}

} // namespace

// Facet normals are not kept: every STL read ends with the object's normals
// emptied, so they are never stored here.
OperationResult buildStlObject(const FacetSpan& facets, Model& model, ModelObject& object, ProgressReporter& phase,
                               Failure* failure)
{
    const std::uint32_t facetCount = facets.count;
    if (facetCount == 0)
        return OperationResult::Success;
    const std::uint64_t cornerCount = std::uint64_t{facetCount} * 3;
    if (cornerCount > UINT32_MAX)
        return failWith(failure, FailureKind::Unsupported, "too many facets for one object");

    const ArgbColor objectColor = object.properties.hasProperty(ObjectColorKey)
                                      ? static_cast<ArgbColor>(object.properties.getIntProperty(ObjectColorKey))
                                      : OpaqueBlack;
    if (!object.indices.allocate(static_cast<std::uint32_t>(cornerCount)))
        return failOutOfMemory(failure);
    VertexMerger merger;
    if (!merger.reserve(static_cast<std::uint32_t>(cornerCount)))
        return failOutOfMemory(failure);
    // Colour of each unique vertex: the colour of the last facet using it.
    GrowableArray<ArgbColor, ArrayFill::None> vertexColors;
    if (facets.anyAttributeSet && !vertexColors.allocate(static_cast<std::uint32_t>(cornerCount)))
        return failOutOfMemory(failure);

    std::uint32_t* indices = object.indices.data();
    for (std::uint32_t facet = 0; facet < facetCount; ++facet) {
        if (facet % BuildReportEvery == 0) {
            if (phase.isCancelled())
                return OperationResult::Cancelled;
            reportBuilding(phase, facet, facetCount);
            // Peak memory is the file and the merge together: the facets
            // behind are not read again.
            facets.releaseBefore(facet);
        }
        if (facet + PrefetchAhead < facetCount) {
            float ahead[9];
            facets.corners(facet + PrefetchAhead, ahead);
            for (int corner = 0; corner < 3; ++corner)
                merger.prefetch({ahead[corner * 3], ahead[corner * 3 + 1], ahead[corner * 3 + 2]});
        }
        float corners[9];
        facets.corners(facet, corners);
        std::uint32_t* facetIndices = indices + std::uint64_t{facet} * 3;
        for (int corner = 0; corner < 3; ++corner) {
            const Vector3 point{corners[corner * 3], corners[corner * 3 + 1], corners[corner * 3 + 2]};
            if (!merger.merge(point, facetIndices[corner]))
                return failOutOfMemory(failure);
        }
        if (vertexColors.hasStorage()) {
            const ArgbColor color = attributeColor(facets.attribute(facet), objectColor);
            for (int corner = 0; corner < 3; ++corner)
                vertexColors[facetIndices[corner]] = color;
        }
    }
    reportBuilding(phase, facetCount, facetCount);

    const std::uint32_t vertexCount = merger.count();
    if (!object.vertices.allocate(vertexCount))
        return failOutOfMemory(failure);
    std::memcpy(object.vertices.data(), merger.vertices(), std::size_t{vertexCount} * sizeof(Vector3));
    if (vertexColors.hasStorage()) {
        if (!object.colors.allocate(vertexCount))
            return failOutOfMemory(failure);
        std::memcpy(object.colors.data(), vertexColors.data(), std::size_t{vertexCount} * sizeof(ArgbColor));
    }
    if (!model.materials.empty()) {
        MaterialRange* range = object.addMaterialRange();
        if (range == nullptr)
            return failOutOfMemory(failure);
        range->materialId = model.materials.front()->id;
        range->firstIndex = 0;
        range->endIndex = object.indices.count();
    }
    return OperationResult::Success;
}

} // namespace morvex::stl
