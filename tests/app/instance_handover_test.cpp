#include "app/instance_handover.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace morvex {
namespace {

std::uint32_t countOf(const std::string& block)
{
    std::uint32_t count = 0;
    std::memcpy(&count, block.data(), sizeof count);
    return count;
}

TEST(InstanceHandover, BlockLayoutAndRoundTrip)
{
    static_assert(HandoverBlockSize == 66564);
    const std::vector<std::string> arguments{"/usr/bin/morvex", "/home/a/b c.stl", "/tmp/Ünïcode ✓.obj",
                                             "/tmp/\xF0\x9F\x99\x82.ply", ""};
    const std::string block = encodeHandoverBlock(arguments);
    ASSERT_EQ(block.size(), HandoverBlockSize);
    EXPECT_EQ(countOf(block), 5u);
    // Slot 1 starts after the count and one slot of 520 bytes, in UTF-16.
    const char* slot1 = block.data() + 4 + 520;
    EXPECT_EQ(slot1[0], '/');
    EXPECT_EQ(slot1[1], '\0');
    EXPECT_EQ(slot1[2], 'h');

    const auto decoded = decodeHandoverBlock(block);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, arguments);
}

TEST(InstanceHandover, BytesThatAreNotUtf8SurviveTheTrip)
{
    const std::vector<std::string> arguments{"morvex", "/tmp/caf\xE9.stl", "/tmp/\xC0\xAF.obj", "/tmp/\xED\xA0\x80"};
    const auto decoded = decodeHandoverBlock(encodeHandoverBlock(arguments));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, arguments);
}

TEST(InstanceHandover, LimitsAndBadBlocks)
{
    // 200 arguments: only the first 128 travel.
    std::vector<std::string> many;
    for (int i = 0; i < 200; ++i)
        many.push_back("/f" + std::to_string(i));
    const auto first128 = decodeHandoverBlock(encodeHandoverBlock(many));
    ASSERT_TRUE(first128);
    ASSERT_EQ(first128->size(), 128u);
    EXPECT_EQ(first128->back(), "/f127");

    // A path of 259 units fits; one of 260 would be cut and name another
    // file, so its slot stays empty.
    const std::string fits = "/" + std::string(258, 'a');
    const std::string tooLong = "/" + std::string(259, 'a');
    const auto limited = decodeHandoverBlock(encodeHandoverBlock({"p", fits, tooLong, "/next"}));
    ASSERT_TRUE(limited);
    EXPECT_EQ((*limited)[1], fits);
    EXPECT_EQ((*limited)[2], "");
    EXPECT_EQ((*limited)[3], "/next");

    // Only a block of exactly the right size is taken.
    const std::string block = encodeHandoverBlock({"p", "/a.stl"});
    EXPECT_FALSE(decodeHandoverBlock(block.substr(0, block.size() - 1)));
    EXPECT_FALSE(decodeHandoverBlock(block + '\0'));
    EXPECT_FALSE(decodeHandoverBlock(""));

    // A count beyond the slots and slots without a terminator stay inside
    // the block.
    std::string hostile(HandoverBlockSize, '\x41');
    const std::uint32_t huge = 0xFFFFFFFF;
    std::memcpy(hostile.data(), &huge, sizeof huge);
    const auto clamped = decodeHandoverBlock(hostile);
    ASSERT_TRUE(clamped);
    ASSERT_EQ(clamped->size(), 128u);
    EXPECT_EQ((*clamped)[0].size(), 259u * 3); // U+4141 is three bytes of UTF-8
}

} // namespace
} // namespace morvex
