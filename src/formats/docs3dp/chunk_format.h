#pragma once

#include <cstdint>

namespace morvex::docs3dp {

// Layout shared by ChunkWriter and ChunkReader. A chunked file is a 12-byte
// header, one root group (id 0) and the 4-byte trailer; every chunk is a
// 12-byte header (id, type, 64-bit content size) followed by its content.
// All numbers are little-endian.
namespace chunkfile {

inline constexpr char Magic[4] = {'l', 's', 'd', 'f'};
inline constexpr std::uint16_t HeaderWord = 1;
inline constexpr std::uint32_t HeaderLong = 32;
inline constexpr std::uint64_t FileHeaderSize = 12;
inline constexpr std::uint64_t ChunkHeaderSize = 12;
inline constexpr std::uint64_t TrailerSize = 4;
inline constexpr std::uint16_t RootId = 0;

} // namespace chunkfile

// What a chunk's content is. Written for every chunk; readers go by the id.
enum class ChunkType : std::uint16_t {
    Group = 0,   // child chunks
    Boolean = 1, // one byte, 0 or 1
    Integer = 2, // 32-bit signed
    Float = 4,   // 32-bit IEEE
    Text = 6,    // UTF-8 bytes and one zero byte
    Block = 7,   // raw bytes
};

} // namespace morvex::docs3dp
