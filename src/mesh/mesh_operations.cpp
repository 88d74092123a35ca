#include "mesh/mesh_operations.h"

#include "support/core/memory_guard.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace morvex {
namespace {

constexpr std::uint32_t DroppedCorner = 0xFFFFFFFFu;
constexpr std::uint32_t NoVertex = 0xFFFFFFFFu;

// Reporting cadence: the reporter is asked whether to stop this often.
constexpr std::uint32_t VertexCheckSteps = 20000;
constexpr std::uint32_t IndexCheckPositions = 50000;
constexpr std::uint32_t TriangleCheckSteps = 25000;

// How far ahead the passes start loading hash-table slots: table lookups are
// random memory accesses, and overlapping them is most of the speed.
constexpr std::uint32_t PrefetchDistance = 16;

using IndexBuffer = GrowableArray<std::uint32_t, ArrayFill::None>;

// Cancellation checks and status line 1 for one object. The overall
// percentage runs over the vertex pass and then the index positions, so that
// it never goes backwards within an object.
class ObjectProgress {
public:
    ObjectProgress(ProgressReporter& reporter, double done, double weight, std::uint32_t vertexCount,
                   std::uint32_t indexCount)
        : reporter_(reporter), done_(done), weight_(weight), vertexCount_(vertexCount), indexCount_(indexCount)
    {
    }

    bool stopAtVertex(std::uint32_t vertex)
    {
        if (reporter_.isCancelled())
            return true;
        show("Vertices", vertex, vertex, vertexCount_);
        return false;
    }

    bool stopAtIndex() { return reporter_.isCancelled(); }

    bool stopAtPosition(std::uint32_t position)
    {
        if (reporter_.isCancelled())
            return true;
        show("Indices", std::uint64_t(vertexCount_) + position, position, indexCount_);
        return false;
    }

private:
    void show(const char* what, std::uint64_t overallPosition, std::uint32_t at, std::uint32_t of)
    {
        const double span = std::max(1.0, double(vertexCount_) + double(indexCount_));
        const int total = static_cast<int>((done_ + double(overallPosition) * weight_ / span) * 100.0);
        const int part = of == 0 ? 0 : static_cast<int>(std::uint64_t(at) * 100 / of);
        char text[128];
        std::snprintf(text, sizeof text, "Total: %i%% - %s: %i%% [%u / %u]", total, what, part, at, of);
        reporter_.setStatusText(text, 1);
    }

    ProgressReporter& reporter_;
    double done_;
    double weight_;
    std::uint32_t vertexCount_;
    std::uint32_t indexCount_;
};

// ---- Vertex grid ----------------------------------------------------------

struct Cell {
    std::int64_t x, y, z;
    friend bool operator==(const Cell&, const Cell&) = default;
};

// Cells are 2^-18 wide (32 tolerances), so a coordinate's tolerance interval
// crosses a cell border rarely, and are offset by 7/16 of a cell so that
// round coordinates such as 0 and 1 lie inside a cell, not on its border.
constexpr double CellScale = 262144.0;
constexpr double CellOffset = 0.4375;
// A little more than the tolerance: vectorsEqual subtracts in double, and
// for coordinates of very different magnitude the rounded difference can
// reach the tolerance while the exact one lies a hair beyond it.
constexpr double SearchMargin = double(VertexTolerance) * (1.0 + 1.0 / 1048576.0);
constexpr double HugeCell = 4503599627370496.0; // 2^52
// Below 2^40 the scaled coordinate and its fraction are exact.
constexpr double ExactCells = 1099511627776.0; // 2^40
// Within this fraction of a cell from its border a coordinate's tolerance
// interval may reach into the next cell (the interval is 1/32 of a cell).
constexpr double BorderZone = SearchMargin * CellScale * 1.25;

// floor() for |value| < 2^52, without a library call.
std::int64_t floorToInt(double value)
{
    const auto truncated = static_cast<std::int64_t>(value);
    return truncated - (double(truncated) > value ? 1 : 0);
}

// Cell number of one coordinate. Non-decreasing in the value, which is all
// the search needs to be exact. Beyond 2^34 floats are so far apart that
// only identical values are equal; those get their own numbers, past any
// ordinary cell, from the float's bits.
std::int64_t cellOf(float value)
{
    const double scaled = double(value) * CellScale + CellOffset;
    if (std::fabs(scaled) < HugeCell)
        return floorToInt(scaled);
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const std::int64_t key = (std::int64_t(1) << 53) + (bits & 0x7FFFFFFFu);
    return value < 0 ? -key : key;
}

Cell cellOf(const Vector3& p)
{
    return {cellOf(p.x), cellOf(p.y), cellOf(p.z)};
}

float floatAtOrAbove(double value)
{
    float f = static_cast<float>(value);
    if (double(f) < value)
        f = std::nextafter(f, HUGE_VALF);
    return f;
}

float floatAtOrBelow(double value)
{
    float f = static_cast<float>(value);
    if (double(f) > value)
        f = std::nextafter(f, -HUGE_VALF);
    return f;
}

struct AxisRange {
    std::int64_t low, high;
};

// Cells holding every float that can equal the coordinate: its own cell
// unless it lies near a border. Near one, searching from the nearest floats
// rather than from value +- tolerance keeps the range at one cell wherever
// floats are coarser than the tolerance (beyond 2).
AxisRange searchRange(float value)
{
    const double scaled = double(value) * CellScale + CellOffset;
    if (std::fabs(scaled) < ExactCells) {
        const std::int64_t cell = floorToInt(scaled);
        const double fraction = scaled - double(cell);
        if (fraction > BorderZone && fraction < 1.0 - BorderZone)
            return {cell, cell};
    }
    return {cellOf(floatAtOrAbove(double(value) - SearchMargin)), cellOf(floatAtOrBelow(double(value) + SearchMargin))};
}

std::uint32_t hashCell(const Cell& cell)
{
    std::uint64_t h = std::uint64_t(cell.x) * 0x9E3779B97F4A7C15ull;
    h ^= std::uint64_t(cell.y) * 0xC2B2AE3D27D4EB4Full;
    h = std::rotl(h, 31);
    h ^= std::uint64_t(cell.z) * 0x165667B19E3779F9ull;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return static_cast<std::uint32_t>(h);
}

// Where a vertex is filed: its own cell and that cell's hash.
struct Place {
    Cell cell;
    std::uint32_t hash;
};

Place placeOf(const Vector3& p)
{
    const Cell cell = cellOf(p);
    return {cell, hashCell(cell)};
}

// The surviving vertices, filed by cell: an open-addressing table from cell
// to the newest survivor in it, and a link from each survivor to the one
// filed before it in the same cell.
class SurvivorGrid {
public:
    explicit SurvivorGrid(const Vector3* vertices) : vertices_(vertices) {}

    bool reserve(std::uint32_t vertexCount)
    {
        if (!previous_.allocate(vertexCount))
            return false;
        const std::uint32_t initial = std::bit_ceil(std::max<std::uint32_t>(1024, vertexCount / 4));
        return rebuild(initial);
    }

    // The earliest survivor that vertex v (filed at `own`) equals, or
    // NoVertex. Vertices with a NaN or infinite coordinate equal nothing,
    // not even themselves.
    std::uint32_t findEqual(std::uint32_t v, const Place& own) const
    {
        const Vector3& p = vertices_[v];
        if (!isFinite(p))
            return NoVertex;
        const AxisRange rx = searchRange(p.x), ry = searchRange(p.y), rz = searchRange(p.z);
        std::uint32_t earliest = NoVertex;
        const auto searchCell = [&](const Cell& cell, std::uint32_t hash) {
            for (std::uint32_t u = newestIn(cell, hash); u != NoVertex; u = previous_[u])
                if (u < earliest && vectorsEqual(vertices_[u], p))
                    earliest = u;
        };
        if (rx.low == rx.high && ry.low == ry.high && rz.low == rz.high) {
            searchCell(own.cell, own.hash); // the usual case: nowhere near a border
            return earliest;
        }
        for (std::int64_t cx = rx.low; cx <= rx.high; ++cx)
            for (std::int64_t cy = ry.low; cy <= ry.high; ++cy)
                for (std::int64_t cz = rz.low; cz <= rz.high; ++cz) {
                    const Cell cell{cx, cy, cz};
                    searchCell(cell, hashCell(cell));
                }
        return earliest;
    }

    // Starts loading the table slot of a cell, so that the miss overlaps
    // the work on earlier vertices.
    void prefetch(const Place& place) const { __builtin_prefetch(&slots_[place.hash & (slots_.count() - 1)]); }

    // Files vertex v as a survivor at `own`; false when memory ran out.
    bool add(std::uint32_t v, const Place& own)
    {
        if (!isFinite(vertices_[v])) {
            previous_[v] = NoVertex;
            return true;
        }
        Slot* slot = probe(own.cell, own.hash);
        if (slot->newest != NoVertex) {
            previous_[v] = slot->newest;
            slot->newest = v;
            return true;
        }
        previous_[v] = NoVertex;
        *slot = {own.hash, v};
        ++cells_;
        if (std::uint64_t(cells_) * 2 > slots_.count())
            return rebuild(slots_.count() * 2);
        return true;
    }

private:
    struct Slot {
        std::uint32_t hash;
        std::uint32_t newest; // NoVertex: empty slot
    };

    std::uint32_t newestIn(const Cell& cell, std::uint32_t hash) const
    {
        const std::uint32_t mask = slots_.count() - 1;
        for (std::uint32_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.newest == NoVertex)
                return NoVertex;
            if (slot.hash == hash && cellOf(vertices_[slot.newest]) == cell)
                return slot.newest;
        }
    }

    // The slot of the cell, or the empty slot where it belongs.
    Slot* probe(const Cell& cell, std::uint32_t hash)
    {
        const std::uint32_t mask = slots_.count() - 1;
        for (std::uint32_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.newest == NoVertex || (slot.hash == hash && cellOf(vertices_[slot.newest]) == cell))
                return &slot;
        }
    }

    bool rebuild(std::uint32_t slotCount)
    {
        if (slotCount == 0) // the table cannot grow past 2^31 slots
            return false;
        GrowableArray<Slot, ArrayFill::None> old;
        old.swap(slots_);
        if (!slots_.allocate(slotCount))
            return false;
        adviseHugePages(slots_.data(), std::uint64_t(slotCount) * sizeof(Slot));
        std::fill(slots_.begin(), slots_.end(), Slot{0, NoVertex});
        const std::uint32_t mask = slotCount - 1;
        for (const Slot& slot : old) {
            if (slot.newest == NoVertex)
                continue;
            std::uint32_t i = slot.hash & mask;
            while (slots_[i].newest != NoVertex)
                i = (i + 1) & mask;
            slots_[i] = slot;
        }
        return true;
    }

    const Vector3* vertices_;
    IndexBuffer previous_;
    GrowableArray<Slot, ArrayFill::None> slots_;
    std::uint32_t cells_ = 0;
};

// ---- Triangle set ---------------------------------------------------------

// One ordering of a triangle's corners, mixed.
std::uint64_t mixOrdered(std::uint64_t a, std::uint64_t b, std::uint64_t c)
{
    std::uint64_t h = (a * 0x9E3779B97F4A7C15ull + b) * 0xC2B2AE3D27D4EB4Full + c;
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 29);
}

// The same hash for every rotation of the corner order, so that (1, 2, 3),
// (2, 3, 1) and (3, 1, 2) meet, while (1, 3, 2) almost surely does not.
std::uint32_t hashTriangle(const std::uint32_t* t)
{
    const std::uint64_t h = mixOrdered(t[0], t[1], t[2]) + mixOrdered(t[1], t[2], t[0]) + mixOrdered(t[2], t[0], t[1]);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
}

bool sameRotation(const std::uint32_t* x, const std::uint32_t* y)
{
    return (x[0] == y[0] && x[1] == y[1] && x[2] == y[2]) || (x[0] == y[1] && x[1] == y[2] && x[2] == y[0]) ||
           (x[0] == y[2] && x[1] == y[0] && x[2] == y[1]);
}

// The triangles kept so far, by their rotation-blind hash; entries name kept
// triangles in the output index list.
class TriangleSet {
public:
    explicit TriangleSet(const std::uint32_t* output) : output_(output) {}

    bool reserve(std::uint32_t triangleCount)
    {
        const std::uint64_t wanted = std::max<std::uint64_t>(16, std::uint64_t(triangleCount) * 3 / 2);
        if (wanted > (std::uint64_t(1) << 31))
            return false;
        if (!slots_.allocate(std::bit_ceil(static_cast<std::uint32_t>(wanted))))
            return false;
        adviseHugePages(slots_.data(), std::uint64_t(slots_.count()) * sizeof(Slot));
        std::fill(slots_.begin(), slots_.end(), Slot{0, NoTriangle});
        return true;
    }

    // Starts loading the slot for a hash ahead of use.
    void prefetch(std::uint32_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.count() - 1)]); }

    // Files output triangle w, whose hash is given, unless an equal one is
    // filed; false when it is a duplicate.
    bool insertIfNew(std::uint32_t w, std::uint32_t hash)
    {
        const std::uint32_t* triangle = triangleAt(w);
        const std::uint32_t mask = slots_.count() - 1;
        for (std::uint32_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.triangle == NoTriangle) {
                slot = {hash, w};
                return true;
            }
            if (slot.hash == hash && sameRotation(triangleAt(slot.triangle), triangle))
                return false;
        }
    }

private:
    static constexpr std::uint32_t NoTriangle = 0xFFFFFFFFu;
    struct Slot {
        std::uint32_t hash;
        std::uint32_t triangle;
    };

    const std::uint32_t* triangleAt(std::uint32_t w) const { return output_ + std::uint64_t(w) * 3; }

    const std::uint32_t* output_;
    GrowableArray<Slot, ArrayFill::None> slots_;
};

// ---- Attribute arrays -----------------------------------------------------

// Moves the corners of kept triangles to their new places, in place. Corners
// at or past the array's count are not there to move, so the result is as
// long as the part of the array that was in step with the index list.
template <typename Array>
void followKeptTriangles(Array& array, const IndexBuffer& keptSource, std::uint32_t keptCount)
{
    const std::uint64_t count = array.count();
    if (count == 0)
        return;
    std::uint32_t written = 0;
    for (std::uint32_t w = 0; w < keptCount; ++w) {
        const std::uint64_t first = std::uint64_t(keptSource[w]) * 3;
        for (std::uint64_t corner = first; corner < first + 3; ++corner) {
            if (corner >= count) {
                (void)array.resize(written); // shrinking keeps the storage
                return;
            }
            array[written++] = array[corner];
        }
    }
    (void)array.resize(written);
}

// A per-vertex array taken over to the merged vertices: a survivor keeps its
// own entry. Entries exist only for the survivors whose old number was below
// the array's count, which are the first ones, so nothing is invented.
template <typename Array>
bool collectSurvivors(const Array& array, const IndexBuffer& vertexMap, Array& result)
{
    const std::uint32_t count = std::min(array.count(), vertexMap.count());
    std::uint32_t survivors = 0;
    for (std::uint32_t v = 0; v < count; ++v)
        if (vertexMap[v] == survivors)
            ++survivors;
    if (!result.allocate(survivors))
        return false;
    std::uint32_t next = 0;
    for (std::uint32_t v = 0; v < count && next < survivors; ++v)
        if (vertexMap[v] == next)
            result[next++] = array[v];
    return true;
}

// When a per-vertex array ends up exactly as long as the new index list,
// readers would take it per corner; spelling it out per corner keeps every
// corner's value. Corners whose vertex has no entry get `missing`.
template <typename Array, typename Value>
bool spellOutPerCorner(Array& perVertex, const IndexBuffer& indices, std::uint32_t indexCount, Value missing)
{
    if (perVertex.count() == 0 || perVertex.count() != indexCount)
        return true;
    Array perCorner;
    if (!perCorner.allocate(indexCount))
        return false;
    for (std::uint32_t j = 0; j < indexCount; ++j)
        perCorner[j] = indices[j] < perVertex.count() ? perVertex[indices[j]] : missing;
    perVertex.swap(perCorner);
    return true;
}

// New position of a corner boundary of a material range: three times the
// number of kept triangles that started before it.
std::uint32_t keptCornersBefore(std::uint32_t position, const IndexBuffer& keptSource, std::uint32_t keptCount)
{
    const std::uint64_t firstTriangleAtOrAfter = (std::uint64_t(position) + 2) / 3;
    const std::uint32_t* begin = keptSource.data();
    const std::uint32_t* end = begin + keptCount;
    const auto before = std::lower_bound(begin, end, firstTriangleAtOrAfter,
                                         [](std::uint32_t t, std::uint64_t bound) { return t < bound; }) -
                        begin;
    return static_cast<std::uint32_t>(before * 3);
}

// ---- One object -----------------------------------------------------------

OperationResult removeObjectDuplicates(ModelObject& object, ObjectProgress& progress)
{
    const std::uint32_t n = object.vertices.count();
    const std::uint32_t m = object.indices.count();

    // Vertex pass: each vertex's new number.
    IndexBuffer vertexMap;
    if (!vertexMap.allocate(n))
        return OperationResult::Failure;
    std::uint32_t survivors = 0;
    {
        SurvivorGrid grid(object.vertices.data());
        if (!grid.reserve(n))
            return OperationResult::Failure;
        // The places of the next vertices, computed ahead with their slots.
        Place ahead[PrefetchDistance];
        for (std::uint32_t v = 0; v < std::min(n, PrefetchDistance); ++v)
            ahead[v] = placeOf(object.vertices[v]);
        for (std::uint32_t v = 0; v < n; ++v) {
            if (v % VertexCheckSteps == 0 && progress.stopAtVertex(v))
                return OperationResult::Cancelled;
            Place& slot = ahead[v % PrefetchDistance];
            const Place own = slot;
            if (n - v > PrefetchDistance) {
                slot = placeOf(object.vertices[v + PrefetchDistance]);
                grid.prefetch(slot);
            }
            const std::uint32_t equal = grid.findEqual(v, own);
            if (equal != NoVertex) {
                vertexMap[v] = vertexMap[equal];
                continue;
            }
            vertexMap[v] = survivors++;
            if (!grid.add(v, own))
                return OperationResult::Failure;
        }
    }

    // Index pass: indices beyond the vertex count keep their value.
    IndexBuffer output;
    if (!output.allocate(m))
        return OperationResult::Failure;
    for (std::uint32_t g = 0; g < m; ++g) {
        if (g % IndexCheckPositions == 0 && progress.stopAtIndex())
            return OperationResult::Cancelled;
        const std::uint32_t index = object.indices[g];
        output[g] = index < n ? vertexMap[index] : index;
    }

    // Triangle pass, compacting the output list in place.
    const std::uint32_t triangleCount = m / 3;
    IndexBuffer keptSource;
    TriangleSet kept(output.data());
    if (!keptSource.allocate(triangleCount) || !kept.reserve(triangleCount))
        return OperationResult::Failure;
    std::uint32_t keptCount = 0;
    std::uint32_t hashesAhead[PrefetchDistance];
    for (std::uint32_t t = 0; t < std::min(triangleCount, PrefetchDistance); ++t)
        hashesAhead[t] = hashTriangle(output.data() + std::uint64_t(t) * 3);
    for (std::uint32_t t = 0; t < triangleCount; ++t) {
        if (t % TriangleCheckSteps == 0 && progress.stopAtPosition(3 * t))
            return OperationResult::Cancelled;
        std::uint32_t& ahead = hashesAhead[t % PrefetchDistance];
        const std::uint32_t hash = ahead;
        if (triangleCount - t > PrefetchDistance) {
            ahead = hashTriangle(output.data() + std::uint64_t(t + PrefetchDistance) * 3);
            kept.prefetch(ahead);
        }
        const std::uint32_t a = output[3 * t], b = output[3 * t + 1], c = output[3 * t + 2];
        if (a == DroppedCorner || b == DroppedCorner || c == DroppedCorner)
            continue;
        std::uint32_t* to = output.data() + std::uint64_t(keptCount) * 3;
        to[0] = a;
        to[1] = b;
        to[2] = c;
        if (!kept.insertIfNew(keptCount, hash))
            continue;
        keptSource[keptCount++] = t;
    }
    const std::uint32_t newIndexCount = keptCount * 3;
    (void)output.resize(newIndexCount);

    // Everything that can fail is allocated before the object changes.
    Vector3Array unique;
    if (!unique.allocate(survivors))
        return OperationResult::Failure;
    for (std::uint32_t v = 0, next = 0; v < n; ++v)
        if (vertexMap[v] == next)
            unique[next++] = object.vertices[v];

    const bool colorsPerCorner = object.colors.count() == m;
    const bool texCoordsPerVertex = object.texCoordsPerVertex();
    ColorArray vertexColors;
    TexCoordArray vertexTexCoords;
    if (!object.colors.empty() && !colorsPerCorner) {
        if (!collectSurvivors(object.colors, vertexMap, vertexColors) ||
            !spellOutPerCorner(vertexColors, output, newIndexCount, DefaultVertexColor))
            return OperationResult::Failure;
    }
    if (texCoordsPerVertex) {
        if (!collectSurvivors(object.texCoords, vertexMap, vertexTexCoords) ||
            !spellOutPerCorner(vertexTexCoords, output, newIndexCount, TexCoord{}))
            return OperationResult::Failure;
    }

    // Commit.
    followKeptTriangles(object.normals, keptSource, keptCount);
    if (colorsPerCorner)
        followKeptTriangles(object.colors, keptSource, keptCount);
    else if (!object.colors.empty())
        object.colors.swap(vertexColors);
    if (texCoordsPerVertex)
        object.texCoords.swap(vertexTexCoords);
    else
        followKeptTriangles(object.texCoords, keptSource, keptCount);
    for (MaterialRange& range : object.materialRanges) {
        range.firstIndex = keptCornersBefore(range.firstIndex, keptSource, keptCount);
        range.endIndex = keptCornersBefore(range.endIndex, keptSource, keptCount);
    }
    object.vertices.swap(unique);
    object.indices.swap(output);
    return OperationResult::Success;
}

double objectWeight(const Model& model)
{
    return model.objects.empty() ? 1.0 : 1.0 / double(model.objects.size());
}

} // namespace

OperationResult removeDuplicates(Model& model, ProgressReporter& reporter, Failure* failure)
{
    if (model.objects.empty())
        return OperationResult::Success;
    reporter.setStatusText("Removing Duplicates. This may be a very long process.", 0);
    IndeterminateScope indeterminate(reporter);
    const double weight = objectWeight(model);
    double done = 0.0;
    for (auto& object : model.objects) {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        // Without indices the vertices are an implicit triangle list, which
        // merging would break.
        if (!object->indices.empty()) {
            ObjectProgress progress(reporter, done, weight, object->vertices.count(), object->indices.count());
            const OperationResult result = removeObjectDuplicates(*object, progress);
            if (result == OperationResult::Failure)
                failOutOfMemory(failure);
            if (result != OperationResult::Success)
                return result;
        }
        done += weight;
        reporter.setProgress(done);
    }
    reporter.setStatusText("", 1);
    return OperationResult::Success;
}

OperationResult generateIndices(Model& model, ProgressReporter& reporter, Failure* failure)
{
    if (model.objects.empty())
        return OperationResult::Success;
    reporter.setStatusText("Generating Object Indices", 0);
    const double weight = objectWeight(model);
    double done = 0.0;
    for (auto& object : model.objects) {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        const std::uint32_t n = object->vertices.count();
        if (object->verticesFormTriangles && object->indices.empty() && n > 2) {
            const std::uint32_t count = n - n % 3;
            if (!object->indices.allocate(count))
                return failOutOfMemory(failure);
            for (std::uint32_t i = 0; i < count; ++i)
                object->indices[i] = i;
        }
        done += weight;
        reporter.setProgress(done);
    }
    reporter.setStatusText("", 1);
    return OperationResult::Success;
}

} // namespace morvex
