#pragma once

// The chunk layout of 3DS files, shared by the reader and the writer. A chunk
// is a 16-bit id and a 32-bit length that counts the whole chunk (its 6-byte
// header, its data and its sub-chunks); numbers are little-endian.

#include "support/core/operation_result.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace morvex::tds {

inline constexpr std::uint32_t ChunkHeaderSize = 6;

enum ChunkId : std::uint16_t {
    MainChunk = 0x4D4D,
    VersionChunk = 0x0002,
    EditorChunk = 0x3D3D,
    MaterialBlock = 0xAFFF,
    MaterialName = 0xA000,
    DiffuseColour = 0xA020,
    FloatColour = 0x0010,
    ByteColour = 0x0011,
    TextureMapChunk = 0xA200,
    MapFileName = 0xA300,
    ObjectBlock = 0x4000,
    TriangleMesh = 0x4100,
    VertexList = 0x4110,
    FaceList = 0x4120,
    FaceMaterialGroup = 0x4130,
    MappingList = 0x4140,
    LocalCoordinates = 0x4160,
    KeyframerChunk = 0xB000,
    ObjectNode = 0xB002,
    NodeHeader = 0xB010,
    PositionTrack = 0xB020,
};

// Counts of the vertex, face and mapping lists are 16-bit.
inline constexpr std::uint32_t MaxListCount = 65535;

template <typename T>
T loadLittleEndian(const unsigned char* at)
{
    T value;
    std::memcpy(&value, at, sizeof value); // this platform is little-endian
    return value;
}

// One chunk found in the file; offsets are from the start of the file.
struct Chunk {
    std::uint16_t id = 0;
    std::uint64_t offset = 0; // of its header
    std::uint64_t data = 0;   // of its data, right after the header
    std::uint64_t end = 0;    // one past its last byte

    std::uint64_t dataSize() const { return end - data; }
};

// Walks the chunks that lie one after another in [begin, end) of the file:
// a chunk whose length is below its header or that runs past the end of its
// parent is malformed, and so are bytes left over that cannot hold a header.
class ChunkWalk {
public:
    ChunkWalk(std::string_view file, std::uint64_t begin, std::uint64_t end)
        : file_(reinterpret_cast<const unsigned char*>(file.data())), at_(begin), end_(end)
    {
    }
    ChunkWalk(std::string_view file, const Chunk& parent, std::uint64_t childrenStart)
        : ChunkWalk(file, childrenStart, parent.end)
    {
    }

    enum class Step { Found, Done, Malformed };

    // The next chunk; Malformed with the failure recorded at its offset.
    Step next(Chunk& chunk, Failure* failure)
    {
        if (at_ >= end_)
            return Step::Done;
        if (end_ - at_ < ChunkHeaderSize) {
            failAtByte(failure, FailureKind::Malformed, at_, "chunk header cut short");
            return Step::Malformed;
        }
        const std::uint32_t length = loadLittleEndian<std::uint32_t>(file_ + at_ + 2);
        if (length < ChunkHeaderSize || length > end_ - at_) {
            failAtByte(failure, FailureKind::Malformed, at_,
                       "chunk length " + std::to_string(length) +
                           (length < ChunkHeaderSize
                                ? " is shorter than its header"
                                : " runs past its parent (" + std::to_string(end_ - at_) + " bytes left)"));
            return Step::Malformed;
        }
        chunk.id = loadLittleEndian<std::uint16_t>(file_ + at_);
        chunk.offset = at_;
        chunk.data = at_ + ChunkHeaderSize;
        chunk.end = at_ + length;
        at_ = chunk.end;
        return Step::Found;
    }

    std::uint64_t position() const { return at_; }

private:
    const unsigned char* file_;
    std::uint64_t at_;
    std::uint64_t end_;
};

} // namespace morvex::tds
