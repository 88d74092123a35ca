#pragma once

// Model files and checks shared by the command line's tests.

#include "common/test_support.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

namespace morvex::testing {

// A small valid binary STL: `triangles` facets fanned around the origin,
// shifted by `offset` so that different files differ.
inline void writeBinaryStl(const std::filesystem::path& path, std::uint32_t triangles, float offset = 0.0f)
{
    std::string bytes(80, ' ');
    bytes.replace(0, 12, "test model  ");
    bytes.append(reinterpret_cast<const char*>(&triangles), 4);
    for (std::uint32_t i = 0; i < triangles; ++i) {
        const float angle = static_cast<float>(i) * 0.01f;
        const float facet[12] = {0, 0, 1, offset, 0, 0, offset + 1, angle, 0, offset, 1, angle};
        bytes.append(reinterpret_cast<const char*>(facet), sizeof facet);
        bytes.append(2, '\0');
    }
    writeFile(path, bytes);
}

inline bool isCompleteBinaryStl(const std::filesystem::path& path)
{
    const std::string bytes = readFile(path);
    if (bytes.size() < 84)
        return false;
    std::uint32_t count = 0;
    std::memcpy(&count, bytes.data() + 80, 4);
    return bytes.size() == 84 + 50ull * count && count > 0;
}

inline std::set<std::string> namesIn(const std::filesystem::path& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        names.insert(std::filesystem::relative(entry.path(), folder).string());
    return names;
}

inline bool contains(const std::string& text, std::string_view part)
{
    return text.find(part) != std::string::npos;
}

// How often `part` occurs in `text`.
inline std::size_t countOf(const std::string& text, std::string_view part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

} // namespace morvex::testing
