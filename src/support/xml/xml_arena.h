#pragma once

// The byte layout of an XML tree's arena, shared by the reader that fills it
// and the node views that read it. Every text is stored as a LEB128 length
// followed by its bytes; an attribute list as a LEB128 count followed by
// name and value texts in turn. Offset 0 holds a single zero byte, which
// reads both as the empty text and as the empty attribute list.

#include "support/xml/xml_reader.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace morvex::xml_arena {

inline constexpr std::uint8_t ElementFlag = 1;
inline constexpr std::uint8_t TextFlag = 2;
inline constexpr std::uint8_t HasChildrenFlag = 4;
inline constexpr std::uint8_t PreserveSpaceFlag = 8;

// Largest arena the 32-bit offsets can address.
inline constexpr std::uint64_t MaxArenaBytes = UINT32_MAX - 16;

inline std::uint32_t readLength(const char*& at)
{
    std::uint32_t value = 0;
    int shift = 0;
    for (;;) {
        const auto byte = static_cast<unsigned char>(*at++);
        value |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0 || shift >= 28)
            return value;
        shift += 7;
    }
}

inline std::string_view readText(const char*& at)
{
    const std::uint32_t length = readLength(at);
    const std::string_view text(at, length);
    at += length;
    return text;
}

inline std::size_t encodeLength(char* out, std::uint32_t value)
{
    std::size_t used = 0;
    do {
        auto byte = static_cast<unsigned char>(value & 0x7F);
        value >>= 7;
        if (value != 0)
            byte |= 0x80;
        out[used++] = static_cast<char>(byte);
    } while (value != 0);
    return used;
}

// Makes the tree a lone root: one node record and the shared empty text,
// whatever it held before. False when memory ran out (the tree is then
// without storage).
inline bool resetToEmptyTree(XmlTree& tree)
{
    tree.nodes.release();
    tree.arena.release();
    if (!tree.nodes.allocate(1) || !tree.arena.allocate(1))
        return false;
    tree.nodes[0] = XmlNodeRecord{NoXmlNode, 0, 0, 0};
    tree.arena[0] = 0;
    return true;
}

// Room for `bytes` more at the end of the arena; nullptr when memory ran out
// or the arena would outgrow its offsets. `offset` receives where it starts.
inline char* extendArena(XmlTree& tree, std::uint64_t bytes, std::uint32_t& offset)
{
    const std::uint64_t used = tree.arena.count();
    if (used + bytes > MaxArenaBytes)
        return nullptr;
    if (!tree.arena.resize(static_cast<std::uint32_t>(used + bytes)))
        return nullptr;
    offset = static_cast<std::uint32_t>(used);
    return tree.arena.data() + used;
}

// Appends a text; false when memory ran out. The empty text is offset 0.
inline bool appendText(XmlTree& tree, std::string_view text, std::uint32_t& offset)
{
    if (text.empty()) {
        offset = 0;
        return true;
    }
    char prefix[8];
    const std::size_t prefixLength = encodeLength(prefix, static_cast<std::uint32_t>(text.size()));
    if (text.size() > MaxArenaBytes)
        return false;
    char* at = extendArena(tree, prefixLength + text.size(), offset);
    if (at == nullptr)
        return false;
    std::memcpy(at, prefix, prefixLength);
    std::memcpy(at + prefixLength, text.data(), text.size());
    return true;
}

// Bytes taken by the attribute list at `at`.
inline std::size_t attributeListLength(const char* at)
{
    const char* start = at;
    std::uint32_t count = readLength(at);
    while (count-- != 0) {
        readText(at);
        readText(at);
    }
    return static_cast<std::size_t>(at - start);
}

} // namespace morvex::xml_arena
