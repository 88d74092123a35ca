#include "formats/stl/stl_vertex_merge.h"

#include <cmath>
#include <cstring>

namespace morvex::stl {
namespace {

constexpr std::uint32_t NoVertex = UINT32_MAX;

// Cells below +-4 are 2^-14 wide.
constexpr double CellsPerUnit = 16384.0;
constexpr float ExactBeyond = 4.0f;
// The tolerance plus a margin: a difference that rounds to at most 2^-23 is
// exactly at most this, so every match lies within it.
constexpr double SearchRadius = 0x1p-23 + 0x1p-63;
// Grid keys sit far below the bit patterns of floats of magnitude 4 or more
// (0x40800000 and up), so the two kinds of key never meet.
constexpr std::int64_t GridKeyOffset = std::int64_t{1} << 20;

std::uint32_t floatBits(float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

bool isExactCoordinate(float value)
{
    return std::fabs(value) >= ExactBeyond;
}

std::uint32_t gridKey(double scaled)
{
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(std::floor(scaled)) + GridKeyOffset);
}

std::uint32_t cellKey(float value)
{
    return isExactCoordinate(value) ? floatBits(value) : gridKey(static_cast<double>(value) * CellsPerUnit);
}

// Keys of the cells that may hold a coordinate within tolerance of `value`:
// one, or two when the interval crosses a cell border.
int candidateKeys(float value, std::uint32_t keys[2])
{
    if (isExactCoordinate(value)) {
        keys[0] = floatBits(value);
        return 1;
    }
    keys[0] = gridKey((static_cast<double>(value) - SearchRadius) * CellsPerUnit);
    keys[1] = gridKey((static_cast<double>(value) + SearchRadius) * CellsPerUnit);
    return keys[1] == keys[0] ? 1 : 2;
}

std::uint64_t hashKey(const std::uint32_t key[3])
{
    std::uint64_t h = key[0] * 0x9E3779B97F4A7C15ull + key[1] * 0xC2B2AE3D27D4EB4Full + key[2] * 0x165667B19E3779F9ull;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

bool sameKey(const std::uint32_t a[3], const std::uint32_t b[3])
{
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

} // namespace

bool VertexMerger::reserve(std::uint32_t maxVertices)
{
    std::uint64_t slotCount = 1024;
    while (slotCount < MostSlots && slotCount < 2 * std::uint64_t{maxVertices})
        slotCount *= 2;
    const bool arrays = vertices_.allocate(maxVertices) && recent_.allocate(RecentCount) &&
                        chain_.allocate(maxVertices) && slots_.allocate(static_cast<std::uint32_t>(slotCount));
    if (recent_.hasStorage())
        for (Recent& recent : recent_)
            recent.index = NoVertex;
    count_ = 0;
    hashStart_ = 0;
    return arrays;
}

void VertexMerger::releaseSearch()
{
    slots_.release();
    chain_.release();
    recent_.release();
}

VertexMerger::Slot* VertexMerger::findSlot(const std::uint32_t key[3], std::uint64_t hash)
{
    const std::uint64_t mask = slots_.count() - 1;
    for (std::uint64_t at = hash & mask;; at = (at + 1) & mask) {
        Slot& slot = slots_[at];
        if (slot.headPlusOne == 0 || sameKey(slot.key, key))
            return &slot;
    }
}

void VertexMerger::enterIntoHash(std::uint32_t index)
{
    const Vector3& v = vertices_[index];
    const std::uint32_t key[3] = {cellKey(v.x), cellKey(v.y), cellKey(v.z)};
    Slot* slot = findSlot(key, hashKey(key));
    if (slot->headPlusOne != 0) {
        chain_[index] = slot->headPlusOne - 1;
    } else {
        chain_[index] = NoVertex;
        std::memcpy(slot->key, key, sizeof slot->key);
    }
    slot->headPlusOne = index + 1;
}

// Empties the hash and enters the vertices the next merges may still match,
// the window's, oldest first. A chain then ends where the window does,
// which the search stops at anyway.
void VertexMerger::refillHash()
{
    std::memset(slots_.data(), 0, slots_.count() * sizeof(Slot));
    hashStart_ = count_ - Window;
    for (std::uint32_t index = hashStart_; index < count_ - 1; ++index)
        if (isFinite(vertices_[index]))
            enterIntoHash(index);
}

bool VertexMerger::append(const Vector3& corner, std::uint32_t& index)
{
    if (count_ == vertices_.count())
        return false;
    index = count_++;
    vertices_[index] = corner;
    if (!isFinite(corner)) {
        chain_[index] = NoVertex;
        return true;
    }
    if (count_ - hashStart_ > Window + RefillEvery)
        refillHash();
    enterIntoHash(index);
    return true;
}

// The newest vertex of one cell that matches, if it is newer than `best`
// and inside the window; else `best`.
std::uint32_t VertexMerger::newestMatchIn(const std::uint32_t key[3], const Vector3& corner, std::uint32_t windowStart,
                                          std::uint32_t best)
{
    const Slot* slot = findSlot(key, hashKey(key));
    if (slot->headPlusOne == 0)
        return best;
    for (std::uint32_t j = slot->headPlusOne - 1; j != NoVertex && j >= windowStart; j = chain_[j]) {
        if (best != NoVertex && j <= best)
            break;
        if (vectorsEqual(vertices_[j], corner))
            return j;
    }
    return best;
}

// All three coordinates beyond +-4: the cell holds only bit-identical
// vertices, and its newest one is the match when it lies in the window.
bool VertexMerger::mergeExact(const Vector3& corner, std::uint32_t windowStart, std::uint32_t& index)
{
    const std::uint32_t key[3] = {floatBits(corner.x), floatBits(corner.y), floatBits(corner.z)};
    const std::uint64_t hash = hashKey(key);
    Recent& recent = recent_[(hash >> 40) & (RecentCount - 1)];
    if (recent.index != NoVertex && recent.index >= windowStart && sameKey(recent.key, key)) {
        index = recent.index;
        return true;
    }
    const Slot* slot = findSlot(key, hash);
    if (slot->headPlusOne != 0 && slot->headPlusOne - 1 >= windowStart)
        index = slot->headPlusOne - 1;
    else if (!append(corner, index))
        return false;
    std::memcpy(recent.key, key, sizeof key);
    recent.index = index;
    return true;
}

bool VertexMerger::merge(const Vector3& corner, std::uint32_t& index)
{
    if (!isFinite(corner))
        return append(corner, index);
    const std::uint32_t windowStart = count_ > Window ? count_ - Window : 0;

    if (isExactCoordinate(corner.x) && isExactCoordinate(corner.y) && isExactCoordinate(corner.z))
        return mergeExact(corner, windowStart, index);

    std::uint32_t xs[2], ys[2], zs[2];
    const int nx = candidateKeys(corner.x, xs);
    const int ny = candidateKeys(corner.y, ys);
    const int nz = candidateKeys(corner.z, zs);
    std::uint32_t best = NoVertex;
    for (int i = 0; i < nx; ++i)
        for (int j = 0; j < ny; ++j)
            for (int k = 0; k < nz; ++k) {
                const std::uint32_t key[3] = {xs[i], ys[j], zs[k]};
                best = newestMatchIn(key, corner, windowStart, best);
            }
    if (best != NoVertex) {
        index = best;
        return true;
    }
    return append(corner, index);
}

} // namespace morvex::stl
