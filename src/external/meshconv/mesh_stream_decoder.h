#pragma once

#include "external/meshconv/converter_wire.h"
#include "mesh/model.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvex {

// Turns the byte stream of the external mesh converter (converter_wire.h)
// into objects of a model, as the bytes arrive and in any pieces: a hello
// message, then one mesh message whose object blocks become objects appended
// in their order.
//
// Nothing is allocated ahead of the bytes that fill it: an array grows as
// its elements arrive, so a count that the stream never backs costs nothing,
// and a block whose counts need more bytes than its message declares is
// refused before any of it is kept. At the end of a block every triangle
// index is checked against the block's vertex count; normals, colours and
// texture coordinates with the vertex count become per-corner values where
// the model would otherwise take them for corners (and normals always, since
// the model keeps those per corner); other counts are dropped.
//
// The first fault (a wrong message type, counts beyond the message, an index
// out of range, memory running out) stops the decoding: the object being
// filled is removed, the objects completed before it stay, and later bytes
// are ignored. Bytes after the mesh message are ignored too.
class MeshStreamDecoder {
public:
    explicit MeshStreamDecoder(Model& model) : model_(model) {}
    MeshStreamDecoder(const MeshStreamDecoder&) = delete;
    MeshStreamDecoder& operator=(const MeshStreamDecoder&) = delete;

    // Takes the next bytes of the stream; false once the stream has failed.
    bool feed(const unsigned char* bytes, std::size_t size);
    // The stream has ended: an object cut short is removed. False when the
    // stream failed or ended before its mesh message was complete.
    bool finish();

    bool helloReceived() const { return phase_ > Phase::Hello; }
    bool complete() const { return phase_ == Phase::Done; }
    bool failed() const { return phase_ == Phase::Failed; }
    // Why decoding stopped, with the stream offset of the fault.
    const std::string& problem() const { return problem_; }
    std::uint32_t objectsAdded() const { return objectsAdded_; }
    std::uint64_t bytesIgnored() const { return bytesIgnored_; }

private:
    enum class Phase { Hello, MeshHeader, BlockCounts, Arrays, Done, Failed };
    enum ArrayIndex { VertexArray, IndexList, NormalArray, ColourArray, TexCoordArray, ArrayCount };

    std::size_t takeHeader(const unsigned char* bytes, std::size_t size, std::size_t wanted);
    void headerComplete();
    void startBlock();
    std::size_t takeArrayBytes(const unsigned char* bytes, std::size_t size);
    bool storeElements(const unsigned char* bytes, std::uint32_t count);
    void nextArray();
    void finishBlock();
    void fail(std::string_view why);
    void dropCurrentObject();

    Model& model_;
    Phase phase_ = Phase::Hello;
    std::string problem_;
    std::uint64_t offset_ = 0;           // stream bytes consumed
    std::uint64_t messageRemaining_ = 0; // bytes of the mesh message still to come
    unsigned char pending_[wire::MeshHeaderBytes] = {};
    std::size_t pendingUsed_ = 0;
    wire::BlockCounts counts_;
    ModelObject* object_ = nullptr;
    int array_ = VertexArray;
    std::uint32_t arrayCount_ = 0;    // elements of the current array
    std::uint32_t arrayReceived_ = 0; // of them arrived
    std::uint32_t objectsAdded_ = 0;
    std::uint64_t bytesIgnored_ = 0;
};

// The colour of a channel quadruple in 0..1: each channel times 255,
// truncated toward zero (values outside 0..1 are clamped, NaN is 0).
ArgbColor colourFromChannels(float red, float green, float blue, float alpha);

struct DecodedStream {
    bool complete = false; // hello and the whole mesh message arrived intact
    std::string problem;   // empty when nothing was wrong
    std::uint32_t objectsAdded = 0;
};

// The whole stream from memory, fed in pieces of `pieceBytes` (0: at once),
// so that tests and the fuzz target cross every element boundary.
DecodedStream decodeConverterStream(std::string_view bytes, Model& model, std::size_t pieceBytes = 0);

} // namespace morvex
