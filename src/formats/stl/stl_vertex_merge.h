#pragma once

#include "mesh/geometry.h"
#include "support/core/growable_array.h"

#include <cstddef>
#include <cstdint>

namespace morvex::stl {

// Merges the corners of STL facets into unique vertices.
//
// The result is defined by a plain scan: a corner reuses the newest of the
// last 10000 unique vertices that equals it within 2^-23 in every coordinate
// (vectorsEqual), else it becomes a new unique vertex. This gives exactly the
// same indices in linear time with a hash over a grid of cells:
// - beyond +-4 two different floats are always more than 2^-23 apart, so a
//   coordinate there is its own cell (its bit pattern);
// - below, cells are 2^-14 wide, and a corner looks in the one or two cells
//   per axis that its tolerance interval touches (widened by 2^-63 so that
//   the rounding of the difference cannot hide a match);
// - each cell keeps a chain of its vertices, newest first, and the search in
//   a chain stops at the first match, at the window's start, or at an index
//   below the best match of another cell.
// NaN and infinite coordinates never compare equal, so such a vertex is
// always new and is never entered into the hash.
// Facets that follow each other share corners, so a small direct-mapped
// table of recent bit-exact lookups answers most corners beyond +-4 without
// searching the hash: within the window a bit pattern occurs at most
// once, so a remembered index inside the window is the answer.
// Only vertices inside the window can match, so the hash holds no more than
// the window and the vertices appended since it was last refilled: a table
// that stays in the processor's cache however large the mesh is. It is
// refilled from the window in order, which rebuilds the chains the search
// reads.
class VertexMerger {
public:
    static constexpr std::uint32_t Window = 10000;

    VertexMerger() = default;
    VertexMerger(const VertexMerger&) = delete;
    VertexMerger& operator=(const VertexMerger&) = delete;

    // Room for up to maxVertices unique vertices (the corner count); the
    // storage is taken from the system only as it is used. False when
    // memory ran out.
    [[nodiscard]] bool reserve(std::uint32_t maxVertices);

    // Gives back the hash of a merger that will merge no more corners; its
    // vertices stay.
    void releaseSearch();

    // The index of the corner's vertex; false when the reserved room is
    // used up.
    [[nodiscard]] bool merge(const Vector3& corner, std::uint32_t& index);

    std::uint32_t count() const { return count_; }
    const Vector3* vertices() const { return vertices_.data(); }

private:
    struct Slot {
        std::uint32_t key[3];
        std::uint32_t headPlusOne; // 0: empty slot
    };

    struct Recent {
        std::uint32_t key[3];
        std::uint32_t index; // NoVertex: empty
    };
    static constexpr std::size_t RecentCount = 8192;
    // The hash is refilled once it holds this many vertices beyond the
    // window; with at most 26,384 cells in 65,536 slots (1 MiB), probes stay
    // short. A small mesh gets a table of at least twice its corners.
    static constexpr std::uint32_t RefillEvery = 16384;
    static constexpr std::uint64_t MostSlots = 65536;

    Slot* findSlot(const std::uint32_t key[3], std::uint64_t hash);
    bool mergeExact(const Vector3& corner, std::uint32_t windowStart, std::uint32_t& index);
    bool append(const Vector3& corner, std::uint32_t& index);
    void enterIntoHash(std::uint32_t index);
    void refillHash();
    std::uint32_t newestMatchIn(const std::uint32_t key[3], const Vector3& corner, std::uint32_t windowStart,
                                std::uint32_t best);

    // Room for every corner; the first count_ are the unique vertices.
    GrowableArray<Vector3, ArrayFill::None> vertices_;
    GrowableArray<std::uint32_t, ArrayFill::None> chain_; // older vertex of the same cell, or NoVertex
    std::uint32_t count_ = 0;
    GrowableArray<Slot, ArrayFill::Zero> slots_; // a power of two of them
    std::uint32_t hashStart_ = 0;                // the oldest vertex the hash holds
    GrowableArray<Recent, ArrayFill::None> recent_;
};

} // namespace morvex::stl
