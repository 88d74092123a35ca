#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The byte layout of what the external mesh converter sends us over its
// socket, shared by both sides. Everything is little-endian without padding:
//
//   HelloMessage   8 bytes: u16 ignored, u16 type 1, u32 value (unused)
//   MeshMessage   20 bytes: u16 ignored, u16 type 2, u32 total length
//                 (these 20 bytes included), 12 bytes unused;
//                 then ObjectBlocks back to back up to the total length
//   ObjectBlock   u32 counts V, T, N, C, U, then V vertices (3 floats),
//                 T triangles (3 u32 vertex indices), N normals (3 floats),
//                 C colours (r, g, b, a floats 0..1), U texture coordinates
//                 (3 floats, the third unused)
//
// Normals, colours and texture coordinates belong to the vertices when their
// count is V, to the corners when it is 3T. This header is plain C++ with no
// dependency, so the converter program includes it without our libraries.

namespace morvex::wire {

inline constexpr std::uint16_t HelloType = 1;
inline constexpr std::uint16_t MeshType = 2;
inline constexpr std::size_t HelloBytes = 8;
inline constexpr std::size_t MeshHeaderBytes = 20;
inline constexpr std::size_t BlockCountsBytes = 20;

// Bytes per element of the five arrays of a block, in their order.
inline constexpr std::size_t VertexBytes = 12;
inline constexpr std::size_t TriangleBytes = 12;
inline constexpr std::size_t NormalBytes = 12;
inline constexpr std::size_t ColourBytes = 16;
inline constexpr std::size_t TexCoordBytes = 12;

struct BlockCounts {
    std::uint32_t vertices = 0;
    std::uint32_t triangles = 0;
    std::uint32_t normals = 0;
    std::uint32_t colours = 0;
    std::uint32_t texCoords = 0;

    // Bytes of the block, counts included; 64 bits so that no count wraps.
    std::uint64_t totalBytes() const
    {
        return BlockCountsBytes + std::uint64_t(vertices) * VertexBytes + std::uint64_t(triangles) * TriangleBytes +
               std::uint64_t(normals) * NormalBytes + std::uint64_t(colours) * ColourBytes +
               std::uint64_t(texCoords) * TexCoordBytes;
    }
};

inline void putU16(unsigned char* at, std::uint16_t value)
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

inline void putU32(unsigned char* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline void putFloat(unsigned char* at, float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    putU32(at, bits);
}

inline std::uint16_t getU16(const unsigned char* at)
{
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

inline std::uint32_t getU32(const unsigned char* at)
{
    return std::uint32_t(at[0]) | (std::uint32_t(at[1]) << 8) | (std::uint32_t(at[2]) << 16) |
           (std::uint32_t(at[3]) << 24);
}

inline float getFloat(const unsigned char* at)
{
    const std::uint32_t bits = getU32(at);
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

inline void encodeHello(unsigned char (&out)[HelloBytes], std::uint32_t value = 0)
{
    putU16(out, 0);
    putU16(out + 2, HelloType);
    putU32(out + 4, value);
}

// `totalBytes` counts the header itself; it must fit 32 bits.
inline void encodeMeshHeader(unsigned char (&out)[MeshHeaderBytes], std::uint32_t totalBytes)
{
    std::memset(out, 0, MeshHeaderBytes);
    putU16(out + 2, MeshType);
    putU32(out + 4, totalBytes);
}

inline void encodeBlockCounts(unsigned char (&out)[BlockCountsBytes], const BlockCounts& counts)
{
    putU32(out, counts.vertices);
    putU32(out + 4, counts.triangles);
    putU32(out + 8, counts.normals);
    putU32(out + 12, counts.colours);
    putU32(out + 16, counts.texCoords);
}

inline BlockCounts decodeBlockCounts(const unsigned char* at)
{
    return BlockCounts{getU32(at), getU32(at + 4), getU32(at + 8), getU32(at + 12), getU32(at + 16)};
}

} // namespace morvex::wire
