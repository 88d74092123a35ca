#pragma once

// 3DS files built byte by byte, for tests of the reader.

#include "common/recording_reporter.h"
#include "formats/3ds/tds.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace morvex::tds::testing {

template <typename T>
void append(std::string& out, T value)
{
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

// A chunk with its header; the length counts header and content.
inline std::string chunk(std::uint16_t id, std::string_view content)
{
    std::string out;
    append(out, id);
    append(out, static_cast<std::uint32_t>(content.size() + 6));
    out += content;
    return out;
}

// A chunk whose header claims `length`, whatever follows.
inline std::string chunkClaiming(std::uint16_t id, std::uint32_t length, std::string_view content)
{
    std::string out;
    append(out, id);
    append(out, length);
    out += content;
    return out;
}

inline std::string text(std::string_view name)
{
    return std::string(name) + '\0';
}

inline std::string vertexList(const std::vector<Vector3>& vertices)
{
    std::string content;
    append(content, static_cast<std::uint16_t>(vertices.size()));
    for (const Vector3& v : vertices) {
        append(content, v.x);
        append(content, v.y);
        append(content, v.z);
    }
    return chunk(0x4110, content);
}

inline std::string mappingList(const std::vector<TexCoord>& coordinates)
{
    std::string content;
    append(content, static_cast<std::uint16_t>(coordinates.size()));
    for (const TexCoord& t : coordinates) {
        append(content, t.u);
        append(content, t.v);
    }
    return chunk(0x4140, content);
}

// Faces given as a, b, c; the groups follow as sub-chunks.
inline std::string faceList(const std::vector<std::uint16_t>& corners, std::string_view groups = {})
{
    std::string content;
    append(content, static_cast<std::uint16_t>(corners.size() / 3));
    for (std::size_t i = 0; i < corners.size(); i += 3) {
        for (std::size_t c = 0; c < 3; ++c)
            append(content, corners[i + c]);
        append(content, std::uint16_t{7});
    }
    return chunk(0x4120, content + std::string(groups));
}

inline std::string materialGroup(std::string_view material, const std::vector<std::uint16_t>& faces)
{
    std::string content = text(material);
    append(content, static_cast<std::uint16_t>(faces.size()));
    for (std::uint16_t face : faces)
        append(content, face);
    return chunk(0x4130, content);
}

inline std::string objectBlock(std::string_view name, std::string_view meshContent)
{
    return chunk(0x4000, text(name) + chunk(0x4100, meshContent));
}

inline std::string material(std::string_view name, const unsigned char (&rgb)[3], std::string_view map = {})
{
    std::string content = chunk(0xA000, text(name));
    content += chunk(0xA020, chunk(0x0011, std::string(reinterpret_cast<const char*>(rgb), 3)));
    if (!map.empty())
        content += chunk(0xA200, chunk(0xA300, text(map)));
    return chunk(0xAFFF, content);
}

// The local coordinate system: an identity matrix and the origin.
inline std::string localOrigin(const Vector3& origin)
{
    std::string content;
    for (float value : {1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, origin.x, origin.y, origin.z})
        append(content, value);
    return chunk(0x4160, content);
}

// An object node whose position track has one key; its parent node's
// number, or 0xFFFF at the top level.
inline std::string positionNode(std::string_view name, const Vector3& position, std::uint16_t parent = 0xFFFF)
{
    std::string track(10, '\0');
    append(track, std::uint32_t{1}); // key count
    append(track, std::uint32_t{0}); // frame
    append(track, std::uint16_t{0}); // flags
    append(track, position.x);
    append(track, position.y);
    append(track, position.z);
    std::string header = text(name) + std::string(4, '\0');
    append(header, parent);
    return chunk(0xB002, chunk(0xB010, header) + chunk(0xB020, track));
}

// The main chunk around an editor with the given content and whatever
// follows it (a keyframer).
inline std::string file(std::string_view editorContent, std::string_view after = {})
{
    return chunk(0x4D4D, chunk(0x3D3D, editorContent) + std::string(after));
}

inline OperationResult readBytes(std::string_view bytes, Model& model, Failure* failure = nullptr)
{
    morvex::RecordingReporter reporter;
    return read3ds(bytes, "test.3ds", model, reporter, failure);
}

inline OperationResult readPath(const std::filesystem::path& path, Model& model, Failure* failure = nullptr,
                                morvex::RecordingReporter* reporter = nullptr)
{
    morvex::RecordingReporter own;
    return read3ds(path, model, reporter != nullptr ? *reporter : own, failure);
}

} // namespace morvex::tds::testing
