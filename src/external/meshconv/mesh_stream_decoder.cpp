#include "external/meshconv/mesh_stream_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace morvex {
namespace {

static_assert(sizeof(Vector3) == wire::VertexBytes, "vertices are copied as they arrive");
static_assert(sizeof(std::uint32_t) * 3 == wire::TriangleBytes);

constexpr std::size_t IndexBytes = 4;

std::uint32_t channelByte(float value)
{
    if (!(value > 0.0f)) // NaN and negatives
        return 0;
    if (value >= 1.0f)
        return 255;
    return static_cast<std::uint32_t>(value * 255.0f);
}

// Elements whose wire layout is their memory layout (this platform is
// little-endian), copied as they are.
template <typename Array>
bool appendCopies(Array& values, std::uint32_t first, const unsigned char* bytes, std::uint32_t count)
{
    if (!values.resize(first + count))
        return false;
    std::memcpy(values.data() + first, bytes, std::size_t(count) * sizeof(values[0]));
    return true;
}

bool indicesAreIdentity(const IndexArray& indices)
{
    for (std::uint32_t i = 0; i < indices.count(); ++i)
        if (indices[i] != i)
            return false;
    return true;
}

// Replaces per-vertex values by one value per corner; false when memory ran
// out (the array is then empty).
template <typename Array>
bool expandToCorners(Array& values, const IndexArray& indices)
{
    Array corners;
    if (!corners.allocate(indices.count())) {
        values.release();
        return false;
    }
    for (std::uint32_t i = 0; i < indices.count(); ++i)
        corners[i] = values[indices[i]];
    values.swap(corners);
    return true;
}

// Per-vertex values that the model would take for per-corner ones (the
// vertex count equals the corner count) are spread over the corners; counts
// that fit neither are dropped. `alwaysPerCorner` is for normals, which the
// model keeps per corner only.
template <typename Array>
bool settleAttribute(Array& values, const ModelObject& object, bool identity, bool alwaysPerCorner)
{
    const std::uint32_t vertices = object.vertices.count();
    const std::uint32_t corners = object.indices.count();
    if (values.empty())
        return true;
    if (values.count() == vertices) {
        const bool ambiguous = alwaysPerCorner || vertices == corners;
        if (ambiguous && !(vertices == corners && identity))
            return expandToCorners(values, object.indices);
        return true;
    }
    if (values.count() != corners)
        values.release();
    return true;
}

} // namespace

ArgbColor colourFromChannels(float red, float green, float blue, float alpha)
{
    return (channelByte(alpha) << 24) | (channelByte(red) << 16) | (channelByte(green) << 8) | channelByte(blue);
}

bool MeshStreamDecoder::feed(const unsigned char* bytes, std::size_t size)
{
    std::size_t used = 0;
    while (used < size) {
        std::size_t taken = 0;
        switch (phase_) {
        case Phase::Hello: taken = takeHeader(bytes + used, size - used, wire::HelloBytes); break;
        case Phase::MeshHeader: taken = takeHeader(bytes + used, size - used, wire::MeshHeaderBytes); break;
        case Phase::BlockCounts: taken = takeHeader(bytes + used, size - used, wire::BlockCountsBytes); break;
        case Phase::Arrays: taken = takeArrayBytes(bytes + used, size - used); break;
        case Phase::Done:
        case Phase::Failed: bytesIgnored_ += size - used; return !failed();
        }
        used += taken;
        offset_ += taken;
    }
    return !failed();
}

bool MeshStreamDecoder::finish()
{
    if (phase_ == Phase::Done)
        return true;
    if (phase_ == Phase::Failed)
        return false;
    if (phase_ == Phase::Arrays)
        dropCurrentObject();
    fail(phase_ == Phase::Hello ? "the stream ended before the hello message"
                                : "the stream ended before the mesh message was complete");
    return false;
}

// Headers of every kind are gathered in pending_ until whole.
std::size_t MeshStreamDecoder::takeHeader(const unsigned char* bytes, std::size_t size, std::size_t wanted)
{
    const std::size_t taken = std::min(size, wanted - pendingUsed_);
    std::copy_n(bytes, taken, pending_ + pendingUsed_);
    pendingUsed_ += taken;
    if (pendingUsed_ == wanted) {
        pendingUsed_ = 0;
        headerComplete();
    }
    return taken;
}

void MeshStreamDecoder::headerComplete()
{
    switch (phase_) {
    case Phase::Hello:
        if (wire::getU16(pending_ + 2) != wire::HelloType)
            return fail("the first message is not a hello message");
        phase_ = Phase::MeshHeader;
        return;
    case Phase::MeshHeader: {
        if (wire::getU16(pending_ + 2) != wire::MeshType)
            return fail("the second message is not a mesh message");
        const std::uint32_t total = wire::getU32(pending_ + 4);
        if (total < wire::MeshHeaderBytes)
            return fail("the mesh message is shorter than its own header");
        messageRemaining_ = total - wire::MeshHeaderBytes;
        phase_ = messageRemaining_ == 0 ? Phase::Done : Phase::BlockCounts;
        return;
    }
    case Phase::BlockCounts: startBlock(); return;
    default: return;
    }
}

void MeshStreamDecoder::startBlock()
{
    counts_ = wire::decodeBlockCounts(pending_);
    if (counts_.totalBytes() > messageRemaining_)
        return fail("an object block needs " + std::to_string(counts_.totalBytes()) + " bytes, but its message has " +
                    std::to_string(messageRemaining_) + " left");
    if (counts_.triangles > std::numeric_limits<std::uint32_t>::max() / 3)
        return fail("an object block has more triangles than an object can hold");
    messageRemaining_ -= counts_.totalBytes();
    object_ = model_.addObject();
    if (object_ == nullptr)
        return fail("out of memory");
    ++objectsAdded_;
    phase_ = Phase::Arrays;
    array_ = -1;
    nextArray();
}

void MeshStreamDecoder::nextArray()
{
    for (++array_; array_ < ArrayCount; ++array_) {
        switch (array_) {
        case VertexArray: arrayCount_ = counts_.vertices; break;
        case IndexList: arrayCount_ = counts_.triangles * 3; break;
        case NormalArray: arrayCount_ = counts_.normals; break;
        case ColourArray: arrayCount_ = counts_.colours; break;
        case TexCoordArray: arrayCount_ = counts_.texCoords; break;
        }
        arrayReceived_ = 0;
        if (arrayCount_ != 0)
            return;
    }
    finishBlock();
}

// Takes one step of the current array: the rest of an element begun in an
// earlier piece, a run of whole elements, or the start of an element. The
// caller comes back for the rest, since a step may end the array.
std::size_t MeshStreamDecoder::takeArrayBytes(const unsigned char* bytes, std::size_t size)
{
    static constexpr std::size_t ElementBytes[ArrayCount] = {wire::VertexBytes, IndexBytes, wire::NormalBytes,
                                                             wire::ColourBytes, wire::TexCoordBytes};
    const std::size_t elementBytes = ElementBytes[array_];
    if (pendingUsed_ != 0) {
        const std::size_t taken = std::min(size, elementBytes - pendingUsed_);
        std::copy_n(bytes, taken, pending_ + pendingUsed_);
        pendingUsed_ += taken;
        if (pendingUsed_ == elementBytes) {
            pendingUsed_ = 0;
            storeElements(pending_, 1);
        }
        return taken;
    }
    const std::uint64_t whole = std::min<std::uint64_t>(size / elementBytes, arrayCount_ - arrayReceived_);
    if (whole != 0) {
        storeElements(bytes, static_cast<std::uint32_t>(whole));
        return static_cast<std::size_t>(whole) * elementBytes;
    }
    std::copy_n(bytes, size, pending_); // less than one element
    pendingUsed_ = size;
    return size;
}

// Appends elements as they arrived; the array grows by doubling, so a long
// array arriving in small pieces is not copied over and over.
bool MeshStreamDecoder::storeElements(const unsigned char* bytes, std::uint32_t count)
{
    const std::uint32_t first = arrayReceived_;
    const std::uint32_t end = first + count;
    bool grown = false;
    switch (array_) {
    case VertexArray: grown = appendCopies(object_->vertices, first, bytes, count); break;
    case IndexList: grown = appendCopies(object_->indices, first, bytes, count); break;
    case NormalArray: grown = appendCopies(object_->normals, first, bytes, count); break;
    case ColourArray:
        grown = object_->colors.resize(end);
        for (std::uint32_t i = 0; grown && i < count; ++i) {
            const unsigned char* at = bytes + std::size_t(i) * wire::ColourBytes;
            object_->colors[first + i] = colourFromChannels(wire::getFloat(at), wire::getFloat(at + 4),
                                                            wire::getFloat(at + 8), wire::getFloat(at + 12));
        }
        break;
    case TexCoordArray:
        grown = object_->texCoords.resize(end);
        for (std::uint32_t i = 0; grown && i < count; ++i) {
            const unsigned char* at = bytes + std::size_t(i) * wire::TexCoordBytes;
            object_->texCoords[first + i] = TexCoord{wire::getFloat(at), wire::getFloat(at + 4)};
        }
        break;
    }
    if (!grown) {
        dropCurrentObject();
        fail("out of memory");
        return false;
    }
    arrayReceived_ = end;
    if (arrayReceived_ == arrayCount_)
        nextArray();
    return true;
}

void MeshStreamDecoder::finishBlock()
{
    ModelObject& object = *object_;
    const std::uint32_t vertices = object.vertices.count();
    for (std::uint32_t i = 0; i < object.indices.count(); ++i) {
        if (object.indices[i] >= vertices) {
            const std::string where = "triangle " + std::to_string(i / 3) + " of object " +
                                      std::to_string(objectsAdded_) + " names vertex " +
                                      std::to_string(object.indices[i]) + " of " + std::to_string(vertices);
            dropCurrentObject();
            return fail(where);
        }
    }
    const bool identity = indicesAreIdentity(object.indices);
    const bool settled = settleAttribute(object.normals, object, identity, true) &&
                         settleAttribute(object.colors, object, identity, false) &&
                         settleAttribute(object.texCoords, object, identity, false);
    if (!settled) {
        dropCurrentObject();
        return fail("out of memory");
    }
    object.vertices.shrinkToFit();
    object.indices.shrinkToFit();
    object.normals.shrinkToFit();
    object.colors.shrinkToFit();
    object.texCoords.shrinkToFit();
    object_ = nullptr;
    phase_ = messageRemaining_ == 0 ? Phase::Done : Phase::BlockCounts;
}

void MeshStreamDecoder::dropCurrentObject()
{
    if (object_ == nullptr)
        return;
    if (!model_.objects.empty() && model_.objects.back().get() == object_) {
        model_.objects.pop_back();
        --objectsAdded_;
    }
    object_ = nullptr;
}

void MeshStreamDecoder::fail(std::string_view why)
{
    if (phase_ == Phase::Failed)
        return;
    problem_ = "byte " + std::to_string(offset_) + " of the converter's stream: " + std::string(why);
    phase_ = Phase::Failed;
}

DecodedStream decodeConverterStream(std::string_view bytes, Model& model, std::size_t pieceBytes)
{
    MeshStreamDecoder decoder(model);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (pieceBytes == 0)
        pieceBytes = std::max<std::size_t>(bytes.size(), 1);
    for (std::size_t at = 0; at < bytes.size(); at += pieceBytes)
        decoder.feed(data + at, std::min(pieceBytes, bytes.size() - at));
    DecodedStream outcome;
    outcome.complete = decoder.finish();
    outcome.problem = decoder.problem();
    outcome.objectsAdded = decoder.objectsAdded();
    return outcome;
}

} // namespace morvex
