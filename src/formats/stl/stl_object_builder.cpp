#include "formats/stl/stl_internal.h"
#include "formats/stl/stl_vertex_merge.h"

#include "support/core/growable_array.h"
#include "support/core/parallel_ranges.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace morvex::stl {
namespace {

constexpr std::uint32_t BuildReportEvery = 1000;
// A part merged on a thread of its own is this large at least: the start of
// every part but the first is merged twice (see SegmentedMerge).
constexpr std::uint32_t MinimumSegmentFacets = 256u << 10;
// The mapped pages behind a merge go back in steps of about this size: each
// thread that merges a part holds up to this much of the file it has passed.
constexpr std::size_t ReleaseBytes = 4u << 20;
// How long the calling thread sleeps between looks at the other parts while
// it waits for them, so that a stop request is still seen at once.
constexpr std::uint32_t WaitMilliseconds = 2;

void reportBuilding(ProgressReporter& phase, std::uint32_t done, std::uint32_t total)
{
    char text[96];
    const unsigned percent = static_cast<unsigned>(std::uint64_t{done} * 100 / total);
    std::snprintf(text, sizeof text, "Processing Colors and Normals: [%u%%: %u / %u]", percent, done, total);
    phase.setStatusText(text, 0);
    phase.setProgress(static_cast<double>(done) / total);
}

struct FacetRange {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

enum class RangeEnd { Done, Converged, OutOfMemory, Stopped };

// Merges the corners of the facets in `range` with `merger`, in order, and
// writes each corner's index plus `offset` into `indices` (three per facet,
// counted from the first facet of the span) and, when `attributes` is given,
// each facet's attribute word into it. `checkpoint(facet)` is asked every
// 1000 facets whether to go on. `observe(corner, index, countBefore)` sees
// each merge before its index is written and ends the range early
// (Converged, with `stoppedAt` the next corner) by returning true.
template <typename Checkpoint, typename Observer>
RangeEnd mergeRange(const FacetSpan& facets, FacetRange range, VertexMerger& merger, std::uint32_t offset,
                    std::uint32_t* indices, std::uint16_t* attributes, Checkpoint&& checkpoint, Observer&& observe,
                    std::uint64_t* stoppedAt = nullptr)
{
    // Peak memory is the file and the merge together: the facets behind are
    // not read again (and if they are, the file gives them again).
    const std::uint32_t releaseFacets =
        static_cast<std::uint32_t>(std::max<std::size_t>(ReleaseBytes / facets.stride, 1));
    std::uint32_t released = range.begin;
    for (std::uint32_t facet = range.begin; facet < range.end; ++facet) {
        if (facet % BuildReportEvery == 0) {
            if (!checkpoint(facet))
                return RangeEnd::Stopped;
            if (facet - released >= releaseFacets) {
                facets.releaseRange(released, facet);
                released = facet;
            }
        }
        float corners[9];
        facets.corners(facet, corners);
        if (attributes != nullptr)
            attributes[facet] = facets.attribute(facet);
        for (int corner = 0; corner < 3; ++corner) {
            const std::uint64_t at = std::uint64_t{facet} * 3 + static_cast<std::uint64_t>(corner);
            const Vector3 point{corners[corner * 3], corners[corner * 3 + 1], corners[corner * 3 + 2]};
            const std::uint32_t countBefore = merger.count();
            std::uint32_t index = 0;
            if (!merger.merge(point, index))
                return RangeEnd::OutOfMemory;
            const bool converged = observe(at, index, countBefore);
            indices[at] = index + offset;
            if (converged) {
                *stoppedAt = at + 1;
                return RangeEnd::Converged;
            }
        }
    }
    return RangeEnd::Done;
}

// What a range that did not end Done means for the read.
OperationResult resultOf(RangeEnd end, Failure* failure)
{
    if (end == RangeEnd::OutOfMemory)
        return failOutOfMemory(failure);
    return end == RangeEnd::Stopped ? OperationResult::Cancelled : OperationResult::Success;
}

constexpr auto observeNothing = [](std::uint64_t, std::uint32_t, std::uint32_t) { return false; };

ArgbColor objectColorOf(const ModelObject& object)
{
    return object.properties.hasProperty(ObjectColorKey)
               ? static_cast<ArgbColor>(object.properties.getIntProperty(ObjectColorKey))
               : OpaqueBlack;
}

// The whole merge on the calling thread, colouring each vertex as its facets
// come.
OperationResult buildOnOneThread(const FacetSpan& facets, ModelObject& object, ProgressReporter& phase,
                                 Failure* failure)
{
    const std::uint32_t facetCount = facets.count;
    const std::uint32_t cornerCount = object.indices.count();
    VertexMerger merger;
    if (!merger.reserve(cornerCount))
        return failOutOfMemory(failure);
    // Colour of each unique vertex: the colour of the last facet using it.
    GrowableArray<ArgbColor, ArrayFill::None> vertexColors;
    if (facets.anyAttributeSet && !vertexColors.allocate(cornerCount))
        return failOutOfMemory(failure);
    const ArgbColor objectColor = objectColorOf(object);

    const auto checkpoint = [&](std::uint32_t facet) {
        if (phase.isCancelled())
            return false;
        reportBuilding(phase, facet, facetCount);
        return true;
    };
    const auto colour = [&](std::uint64_t corner, std::uint32_t index, std::uint32_t) {
        if (vertexColors.hasStorage())
            vertexColors[index] = attributeColor(facets.attribute(static_cast<std::uint32_t>(corner / 3)), objectColor);
        return false;
    };
    if (const RangeEnd end =
            mergeRange(facets, {0, facetCount}, merger, 0, object.indices.data(), nullptr, checkpoint, colour);
        end != RangeEnd::Done)
        return resultOf(end, failure);

    const std::uint32_t vertexCount = merger.count();
    merger.releaseSearch();
    if (!object.vertices.allocate(vertexCount))
        return failOutOfMemory(failure);
    std::memcpy(object.vertices.data(), merger.vertices(), std::size_t{vertexCount} * sizeof(Vector3));
    if (vertexColors.hasStorage()) {
        if (!object.colors.allocate(vertexCount))
            return failOutOfMemory(failure);
        std::memcpy(object.colors.data(), vertexColors.data(), std::size_t{vertexCount} * sizeof(ArgbColor));
    }
    return OperationResult::Success;
}

// ---------------------------------------------------------------------------
// The merge in parts, "speculate and reconcile".
//
// The facets are cut into contiguous parts. The first is merged by the real
// merger on the calling thread; at the same time every other part is merged
// on a thread of its own by a fresh merger, as if the file began there (its
// indices are its own). Then, part after part, the real merger goes on into
// the next part and compares each of its decisions with the guess at the
// same corner, counting the vertices both runs created at the same corners
// in a row (a vertex created by one run only starts the count again, and so,
// as a precaution, do reused indices at different distances from the newest
// vertex).
//
// Why the guesses are then exact: a merge decision depends only on the
// corner and on the last 10000 unique vertices (the window), as values in
// order; the hash, its cells (one per bit pattern beyond +-4, 2^-14 wide
// below), its chains and the table of recent exact lookups only find that
// answer faster, and each merger gives it for the corners it was fed. A
// created vertex is the corner's value, bit for bit. Once the count reaches
// 10000, both runs created those 10000 vertices from the same corners and
// nothing else since the first of them, so both windows hold the same values
// in the same order, both full. From there on both runs decide alike on the
// same corners, reuse the same window position or both create, and their
// windows stay equal: the real index is the guessed index plus a constant.
// The guessing run's vertices from before its window are never reached
// again, so its merger may go on as the real one.
// NaN and infinite corners change nothing: they never equal anything, so
// both runs always create them (which counts like any creation) and they
// only take their place in the window.
//
// So the rest of the part keeps its guessed indices (moved by the constant),
// the guessing run's vertices from there on follow the real ones, and the
// guessing merger, whose state is now the scan's, becomes the real merger
// for the next part. A part whose guesses never converge is merged wholly
// by the real merger, with the scan's result, only later.
// ---------------------------------------------------------------------------

// One part of the facets and the merger that went through it first.
struct Segment {
    FacetRange facets;
    std::unique_ptr<VertexMerger> merger;
    std::atomic<std::uint32_t> done{0}; // facets merged so far, for progress
    std::atomic<bool> finished{false};
    // Ran out of memory or got no thread: the real merger does the part.
    bool failed = false;
};

// The real merger at a point of the reconciling, and the vertices it added
// to the object's: local index `first` and later are object index
// `first + offset` and later (offsets wrap around as unsigned numbers do).
struct RealMerger {
    VertexMerger* merger = nullptr;
    std::uint32_t offset = 0;
    std::uint32_t first = 0;
};

struct VertexPiece {
    const VertexMerger* merger;
    std::uint32_t first;
    std::uint32_t count;
};

// Compares the real merge of a part with the guessed one, corner by corner,
// and says when the two have converged.
class Reconciler {
public:
    explicit Reconciler(const std::uint32_t* guesses) : guesses_(guesses) {}

    bool operator()(std::uint64_t corner, std::uint32_t index, std::uint32_t countBefore)
    {
        const std::uint32_t guess = guesses_[corner];
        const bool guessCreated = guess == guessCount_;
        if (guessCreated)
            ++guessCount_;
        const bool created = index == countBefore;
        if (created != guessCreated)
            agreed_ = 0;
        else if (created)
            ++agreed_;
        else if (countBefore - index != guessCount_ - guess)
            agreed_ = 0;
        return agreed_ == VertexMerger::Window;
    }

    // The guessing run's vertex count at the corner last compared.
    std::uint32_t guessCount() const { return guessCount_; }

private:
    const std::uint32_t* guesses_;
    std::uint32_t guessCount_ = 0;
    std::uint32_t agreed_ = 0;
};

class SegmentedMerge {
public:
    SegmentedMerge(const FacetSpan& facets, unsigned parts, std::uint32_t* indices, std::uint16_t* attributes,
                   ProgressReporter& phase)
        : facets_(facets), parts_(parts), indices_(indices), attributes_(attributes), phase_(phase),
          segments_(std::make_unique<Segment[]>(parts))
    {
    }
    ~SegmentedMerge() { stopAndJoin(); }
    SegmentedMerge(const SegmentedMerge&) = delete;
    SegmentedMerge& operator=(const SegmentedMerge&) = delete;

    OperationResult run(Vector3Array& vertices, Failure* failure);
    unsigned convergedParts() const { return converged_; }

private:
    bool startGuesses();
    void guess(Segment& segment);
    std::uint32_t facetsDone() const;
    OperationResult mergeFirst(Failure* failure);
    bool waitForGuesses();
    OperationResult reconcile(Segment& segment, Failure* failure);
    OperationResult collect(Vector3Array& vertices, Failure* failure);
    void stopAndJoin();

    const FacetSpan& facets_;
    const unsigned parts_;
    std::uint32_t* const indices_;
    std::uint16_t* const attributes_;
    ProgressReporter& phase_;
    std::unique_ptr<Segment[]> segments_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    RealMerger real_;
    std::vector<VertexPiece> pieces_;
    unsigned converged_ = 0;
};

bool SegmentedMerge::startGuesses()
{
    const std::uint64_t count = facets_.count;
    for (unsigned part = 0; part < parts_; ++part) {
        Segment& segment = segments_[part];
        segment.facets = {static_cast<std::uint32_t>(count * part / parts_),
                          static_cast<std::uint32_t>(count * (part + 1) / parts_)};
        // A merger may go on to the file's end: room for all corners from its
        // part on, a hash for its part.
        const std::uint32_t corners = static_cast<std::uint32_t>((count - segment.facets.begin) * 3);
        segment.merger = std::make_unique<VertexMerger>();
        if (!segment.merger->reserve(corners)) {
            if (part == 0)
                return false;
            segment.failed = true;
            segment.merger.reset();
        }
    }
    threads_.reserve(parts_ - 1);
    for (unsigned part = 1; part < parts_; ++part) {
        Segment& segment = segments_[part];
        if (segment.failed) {
            segment.finished.store(true, std::memory_order_release);
            continue;
        }
        if (!startThread(threads_, [this, &segment] { guess(segment); })) {
            segment.failed = true;
            segment.finished.store(true, std::memory_order_release);
        }
    }
    return true;
}

void SegmentedMerge::guess(Segment& segment)
{
    const auto checkpoint = [&](std::uint32_t facet) {
        segment.done.store(facet - segment.facets.begin, std::memory_order_relaxed);
        return !stop_.load(std::memory_order_relaxed);
    };
    // The part's indices are local to its merger until reconciled.
    if (mergeRange(facets_, segment.facets, *segment.merger, 0, indices_, attributes_, checkpoint, observeNothing) !=
        RangeEnd::Done)
        segment.failed = true;
    segment.done.store(segment.facets.end - segment.facets.begin, std::memory_order_relaxed);
    segment.finished.store(true, std::memory_order_release);
}

std::uint32_t SegmentedMerge::facetsDone() const
{
    std::uint32_t done = 0;
    for (unsigned part = 0; part < parts_; ++part)
        done += segments_[part].done.load(std::memory_order_relaxed);
    return done;
}

OperationResult SegmentedMerge::mergeFirst(Failure* failure)
{
    Segment& first = segments_[0];
    const auto checkpoint = [&](std::uint32_t facet) {
        first.done.store(facet, std::memory_order_relaxed);
        if (phase_.isCancelled())
            return false;
        reportBuilding(phase_, facetsDone(), facets_.count);
        return true;
    };
    if (const RangeEnd end =
            mergeRange(facets_, first.facets, *first.merger, 0, indices_, attributes_, checkpoint, observeNothing);
        end != RangeEnd::Done)
        return resultOf(end, failure);
    first.done.store(first.facets.end, std::memory_order_relaxed);
    real_ = {first.merger.get(), 0, 0};
    return OperationResult::Success;
}

// False when the wait was cancelled.
bool SegmentedMerge::waitForGuesses()
{
    for (unsigned part = 1; part < parts_; ++part)
        while (!segments_[part].finished.load(std::memory_order_acquire)) {
            if (phase_.waitForStop(WaitMilliseconds))
                return false;
            reportBuilding(phase_, facetsDone(), facets_.count);
        }
    stopAndJoin();
    return true;
}

OperationResult SegmentedMerge::reconcile(Segment& segment, Failure* failure)
{
    const auto checkpoint = [&](std::uint32_t) { return !phase_.isCancelled(); };
    VertexMerger& real = *real_.merger;
    std::uint64_t convergedAt = 0;
    RangeEnd end = RangeEnd::Done;
    if (segment.failed) {
        end =
            mergeRange(facets_, segment.facets, real, real_.offset, indices_, attributes_, checkpoint, observeNothing);
    } else {
        Reconciler reconciler(indices_);
        end = mergeRange(facets_, segment.facets, real, real_.offset, indices_, nullptr, checkpoint, reconciler,
                         &convergedAt);
        if (end == RangeEnd::Converged) {
            // Guessed index + offset is the object's index from here on.
            const std::uint32_t offset = real.count() + real_.offset - reconciler.guessCount();
            const std::uint64_t cornerEnd = std::uint64_t{segment.facets.end} * 3;
            for (std::uint64_t corner = convergedAt; corner < cornerEnd; ++corner)
                indices_[corner] += offset;
            pieces_.push_back({&real, real_.first, real.count() - real_.first});
            real.releaseSearch();
            real_ = {segment.merger.get(), offset, reconciler.guessCount()};
            ++converged_;
            return OperationResult::Success;
        }
    }
    if (end != RangeEnd::Done)
        return resultOf(end, failure);
    // Never converged: the guesses are all replaced, and their vertices unused.
    segment.merger.reset();
    return OperationResult::Success;
}

OperationResult SegmentedMerge::collect(Vector3Array& vertices, Failure* failure)
{
    real_.merger->releaseSearch();
    pieces_.push_back({real_.merger, real_.first, real_.merger->count() - real_.first});
    std::uint64_t total = 0;
    for (const VertexPiece& piece : pieces_)
        total += piece.count;
    if (!vertices.allocate(static_cast<std::uint32_t>(total)))
        return failOutOfMemory(failure);
    Vector3* out = vertices.data();
    for (const VertexPiece& piece : pieces_) {
        std::memcpy(out, piece.merger->vertices() + piece.first, std::size_t{piece.count} * sizeof(Vector3));
        out += piece.count;
    }
    return OperationResult::Success;
}

void SegmentedMerge::stopAndJoin()
{
    stop_.store(true, std::memory_order_relaxed);
    for (std::thread& thread : threads_)
        thread.join();
    threads_.clear();
}

OperationResult SegmentedMerge::run(Vector3Array& vertices, Failure* failure)
{
    if (!startGuesses())
        return failOutOfMemory(failure);
    if (const OperationResult result = mergeFirst(failure); result != OperationResult::Success)
        return result;
    if (!waitForGuesses())
        return OperationResult::Cancelled;
    for (unsigned part = 1; part < parts_; ++part)
        if (const OperationResult result = reconcile(segments_[part], failure); result != OperationResult::Success)
            return result;
    return collect(vertices, failure);
}

// The merge in `parts` parts at once; the colours follow from the final
// indices, in facet order, so that the last facet using a vertex gives it.
OperationResult buildInSegments(const FacetSpan& facets, unsigned parts, ModelObject& object, ProgressReporter& phase,
                                Failure* failure, unsigned* convergedParts)
{
    GrowableArray<std::uint16_t, ArrayFill::None> attributes;
    if (facets.anyAttributeSet && !attributes.allocate(facets.count))
        return failOutOfMemory(failure);
    {
        SegmentedMerge merge(facets, parts, object.indices.data(), attributes.data(), phase);
        if (const OperationResult result = merge.run(object.vertices, failure); result != OperationResult::Success)
            return result;
        if (convergedParts != nullptr)
            *convergedParts = merge.convergedParts();
    }
    if (!attributes.hasStorage())
        return OperationResult::Success;
    if (!object.colors.allocate(object.vertices.count()))
        return failOutOfMemory(failure);
    const ArgbColor objectColor = objectColorOf(object);
    const std::uint32_t* indices = object.indices.data();
    for (std::uint32_t facet = 0; facet < facets.count; ++facet) {
        const ArgbColor color = attributeColor(attributes[facet], objectColor);
        for (int corner = 0; corner < 3; ++corner)
            object.colors[indices[std::uint64_t{facet} * 3 + static_cast<std::uint64_t>(corner)]] = color;
    }
    return OperationResult::Success;
}

} // namespace

// Facet normals are not kept: every STL read ends with the object's normals
// emptied, so they are never stored here.
OperationResult buildStlObject(const FacetSpan& facets, Model& model, ModelObject& object, ProgressReporter& phase,
                               Failure* failure, unsigned parts, unsigned* convergedParts)
{
    const std::uint32_t facetCount = facets.count;
    if (facetCount == 0)
        return OperationResult::Success;
    const std::uint64_t cornerCount = std::uint64_t{facetCount} * 3;
    if (cornerCount > UINT32_MAX)
        return failWith(failure, FailureKind::Unsupported, "too many facets for one object");
    if (!object.indices.allocate(static_cast<std::uint32_t>(cornerCount)))
        return failOutOfMemory(failure);

    if (parts == 0)
        parts = threadsFor(facetCount, MinimumSegmentFacets);
    parts = std::min(parts, facetCount);
    if (convergedParts != nullptr)
        *convergedParts = 0;
    const OperationResult result = parts > 1 ? buildInSegments(facets, parts, object, phase, failure, convergedParts)
                                             : buildOnOneThread(facets, object, phase, failure);
    if (result != OperationResult::Success)
        return result;
    reportBuilding(phase, facetCount, facetCount);

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
