#include "app/shortcut.h"

#include "support/platform/files.h"

#include <cstdint>
#include <string>
#include <unistd.h>

namespace morvex {
namespace {

constexpr std::uint32_t HeaderSize = 0x4C;
constexpr std::uint32_t HasLinkTargetIdList = 0x1;
constexpr std::uint32_t HasLinkInfo = 0x2;
constexpr std::uint32_t VolumeIdAndLocalBasePath = 0x1;
constexpr std::size_t MaxShortcutBytes = 1 << 20;

std::optional<std::uint32_t> readU32(std::string_view bytes, std::size_t at)
{
    if (at + 4 > bytes.size())
        return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

std::optional<std::uint16_t> readU16(std::string_view bytes, std::size_t at)
{
    if (at + 2 > bytes.size())
        return std::nullopt;
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

// A NUL-terminated string inside [start, end).
std::optional<std::string> readCString(std::string_view bytes, std::size_t start, std::size_t end)
{
    if (start >= end || end > bytes.size())
        return std::nullopt;
    const std::size_t terminator = bytes.find('\0', start);
    if (terminator == std::string_view::npos || terminator >= end)
        return std::nullopt;
    return std::string(bytes.substr(start, terminator - start));
}

std::optional<std::filesystem::path> localPath(std::string text)
{
    if (!text.empty() && text.front() == '/')
        return std::filesystem::path(text);
    if (text.size() >= 3 && (text[0] == 'Z' || text[0] == 'z') && text[1] == ':' && text[2] == '\\') {
        for (char& c : text)
            if (c == '\\')
                c = '/';
        return std::filesystem::path(text.substr(2));
    }
    return std::nullopt;
}

} // namespace

std::optional<std::filesystem::path> shortcutTarget(std::string_view bytes)
{
    if (readU32(bytes, 0) != HeaderSize)
        return std::nullopt;
    const std::optional<std::uint32_t> flags = readU32(bytes, 0x14);
    if (!flags || (*flags & HasLinkInfo) == 0)
        return std::nullopt;
    std::size_t at = HeaderSize;
    if ((*flags & HasLinkTargetIdList) != 0) {
        const std::optional<std::uint16_t> idListSize = readU16(bytes, at);
        if (!idListSize)
            return std::nullopt;
        at += 2 + *idListSize;
    }
    const std::optional<std::uint32_t> infoSize = readU32(bytes, at);
    const std::optional<std::uint32_t> infoFlags = readU32(bytes, at + 8);
    const std::optional<std::uint32_t> baseOffset = readU32(bytes, at + 16);
    const std::optional<std::uint32_t> suffixOffset = readU32(bytes, at + 24);
    if (!infoSize || !infoFlags || !baseOffset || !suffixOffset || (*infoFlags & VolumeIdAndLocalBasePath) == 0 ||
        *infoSize > bytes.size() - at)
        return std::nullopt;
    const std::size_t infoEnd = at + *infoSize;
    std::optional<std::string> base = readCString(bytes, at + *baseOffset, infoEnd);
    if (!base)
        return std::nullopt;
    if (const std::optional<std::string> suffix = readCString(bytes, at + *suffixOffset, infoEnd); suffix)
        *base += *suffix;
    return localPath(std::move(*base));
}

std::optional<std::filesystem::path> resolveShortcutFile(const std::filesystem::path& file)
{
    const int descriptor = openRegularFile(file, nullptr);
    if (descriptor < 0)
        return std::nullopt;
    std::string bytes(MaxShortcutBytes, '\0');
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const std::ptrdiff_t got = readRetrying(descriptor, bytes.data() + filled, bytes.size() - filled);
        if (got <= 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    ::close(descriptor);
    bytes.resize(filled);
    return shortcutTarget(bytes);
}

} // namespace morvex
