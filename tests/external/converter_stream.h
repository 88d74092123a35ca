#pragma once

// Streams of the external converter built in memory, as the converter
// sends them, for the decoder's and the converter run's tests.

#include "external/meshconv/converter_wire.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morvex::testing {

struct StreamBlock {
    std::vector<float> vertices; // x, y, z per vertex
    std::vector<std::uint32_t> indices;
    std::vector<float> normals;   // x, y, z each
    std::vector<float> colours;   // r, g, b, a each
    std::vector<float> texCoords; // u, v, unused each
    // Counts sent instead of the real ones, to make lying blocks.
    std::optional<wire::BlockCounts> claimed;
};

inline void appendU32(std::string& out, std::uint32_t value)
{
    unsigned char bytes[4];
    wire::putU32(bytes, value);
    out.append(reinterpret_cast<const char*>(bytes), 4);
}

inline void appendFloats(std::string& out, const std::vector<float>& values)
{
    for (float value : values) {
        unsigned char bytes[4];
        wire::putFloat(bytes, value);
        out.append(reinterpret_cast<const char*>(bytes), 4);
    }
}

inline std::string blockBytes(const StreamBlock& block)
{
    const auto count = [](const std::vector<float>& values, std::size_t per) {
        return static_cast<std::uint32_t>(values.size() / per);
    };
    const wire::BlockCounts counts = block.claimed.value_or(
        wire::BlockCounts{count(block.vertices, 3), static_cast<std::uint32_t>(block.indices.size() / 3),
                          count(block.normals, 3), count(block.colours, 4), count(block.texCoords, 3)});
    std::string out;
    unsigned char header[wire::BlockCountsBytes];
    wire::encodeBlockCounts(header, counts);
    out.append(reinterpret_cast<const char*>(header), sizeof header);
    appendFloats(out, block.vertices);
    for (std::uint32_t index : block.indices)
        appendU32(out, index);
    appendFloats(out, block.normals);
    appendFloats(out, block.colours);
    appendFloats(out, block.texCoords);
    return out;
}

// Hello, then one mesh message of the blocks; `helloType` and `meshType`
// make wrong messages.
inline std::string converterStream(const std::vector<StreamBlock>& blocks, std::uint16_t helloType = wire::HelloType,
                                   std::uint16_t meshType = wire::MeshType)
{
    std::string payload;
    for (const StreamBlock& block : blocks)
        payload += blockBytes(block);
    unsigned char hello[wire::HelloBytes];
    unsigned char mesh[wire::MeshHeaderBytes];
    wire::encodeHello(hello);
    wire::putU16(hello + 2, helloType);
    wire::encodeMeshHeader(mesh, static_cast<std::uint32_t>(wire::MeshHeaderBytes + payload.size()));
    wire::putU16(mesh + 2, meshType);
    return std::string(reinterpret_cast<const char*>(hello), sizeof hello) +
           std::string(reinterpret_cast<const char*>(mesh), sizeof mesh) + payload;
}

} // namespace morvex::testing
