#include "app/shortcut.h"
#include "common/test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace morvex {
namespace {

void putU32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A shortcut as Windows lays it out: the 0x4C-byte header, an item list
// of `idListBytes`, then the LinkInfo with a local base path and a suffix.
std::string shortcutBytes(const std::string& base, const std::string& suffix, std::uint16_t idListBytes = 20)
{
    std::string bytes(0x4C, '\0');
    putU32(bytes, 0, 0x4C);
    putU32(bytes, 0x14, 0x1 | 0x2);
    bytes += static_cast<char>(idListBytes & 0xFF);
    bytes += static_cast<char>(idListBytes >> 8);
    bytes += std::string(idListBytes, '\x7F');
    std::string info(28, '\0');
    const std::uint32_t baseOffset = 28;
    const std::uint32_t suffixOffset = baseOffset + static_cast<std::uint32_t>(base.size()) + 1;
    info += base + '\0' + suffix + '\0';
    putU32(info, 0, static_cast<std::uint32_t>(info.size()));
    putU32(info, 4, 28);
    putU32(info, 8, 0x1);
    putU32(info, 16, baseOffset);
    putU32(info, 24, suffixOffset);
    return bytes + info + std::string(16, '\0');
}

TEST(Shortcut, LocalTargetsAndDamagedFiles)
{
    EXPECT_EQ(shortcutTarget(shortcutBytes("/home/user/models/", "part.stl")), "/home/user/models/part.stl");
    EXPECT_EQ(shortcutTarget(shortcutBytes("Z:\\home\\user\\", "gear.obj", 0)), "/home/user/gear.obj");
    EXPECT_FALSE(shortcutTarget(shortcutBytes("C:\\Users\\me\\", "part.stl"))); // no such drive here

    // Cut anywhere, the shortcut resolves to nothing rather than reading
    // beyond its bytes.
    const std::string whole = shortcutBytes("/data/", "a.stl");
    for (std::size_t size = 0; size < whole.size() - 16; ++size)
        EXPECT_FALSE(shortcutTarget(whole.substr(0, size))) << size;
    std::string badOffset = whole;
    putU32(badOffset, 0x4C + 2 + 20 + 16, 0xFFFFFFF0);
    EXPECT_FALSE(shortcutTarget(badOffset));

    testing::TempDir temp;
    testing::writeFile(temp / "link.lnk", shortcutBytes((temp.path() / "").string(), "target.stl"));
    EXPECT_EQ(resolveShortcutFile(temp / "link.lnk"), temp / "target.stl");
    EXPECT_FALSE(resolveShortcutFile(temp / "missing.lnk"));
}

} // namespace
} // namespace morvex
