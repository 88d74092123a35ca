#include "support/text/text_encoding.h"

#include "common/test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace morvex {
namespace {

using namespace std::string_literals;
using testing::utf16Text;

// Every accepted encoding gives the same UTF-8 text; the view points into
// the file itself unless the text had to be decoded.
TEST(TextEncoding, DecodesMarkedTextAndRefusesTheRestWithAReason)
{
    // ASCII, two-byte, three-byte and four-byte (surrogate pair) characters.
    const std::string utf8 = "v 1 2 3 # caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\r\n";
    const struct {
        const char* name;
        std::string bytes;
        TextEncoding encoding;
        bool copied;
    } accepted[] = {
        {"UTF-8", utf8, TextEncoding::Utf8, false},
        {"UTF-8 with a mark", "\xEF\xBB\xBF" + utf8, TextEncoding::Utf8WithMark, false},
        {"UTF-16 little-endian", utf16Text(utf8, false), TextEncoding::Utf16LittleEndian, true},
        {"UTF-16 big-endian", utf16Text(utf8, true), TextEncoding::Utf16BigEndian, true},
        {"empty", "", TextEncoding::Utf8, false},
    };
    for (const auto& c : accepted) {
        SCOPED_TRACE(c.name);
        const TextCheck check = checkTextEncoding(c.bytes);
        EXPECT_TRUE(check.readable());
        EXPECT_EQ(check.encoding, c.encoding);
        std::string decoded;
        std::string_view text;
        ASSERT_EQ(textAsUtf8(c.bytes, decoded, text), OperationResult::Success);
        EXPECT_EQ(text, c.bytes.empty() ? "" : utf8);
        EXPECT_EQ(text.data() == decoded.data(), c.copied);
    }

    const struct {
        const char* name;
        std::string bytes;
        TextEncoding encoding;
        const char* reason;
    } refused[] = {
        {"UTF-16 little-endian without a mark", utf16Text(utf8, false, false), TextEncoding::Utf16WithoutMark,
         "UTF-16 without a byte-order mark"},
        {"UTF-16 big-endian without a mark", utf16Text(utf8, true, false), TextEncoding::Utf16WithoutMark,
         "UTF-16 without a byte-order mark"},
        {"UTF-32", "\xFF\xFE\0\0v\0\0\0"s, TextEncoding::Utf32, "UTF-32"},
        {"binary", "solid\0\x01\x02\x03\x04\x05\x06\x07"s, TextEncoding::Binary, "NUL bytes"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        const TextCheck check = checkTextEncoding(c.bytes);
        EXPECT_FALSE(check.readable());
        EXPECT_EQ(check.encoding, c.encoding);
        std::string decoded;
        std::string_view text;
        Failure failure;
        ASSERT_EQ(textAsUtf8(c.bytes, decoded, text, &failure), OperationResult::Failure);
        EXPECT_NE(failure.message.find(c.reason), std::string::npos) << failure.message;
    }

    // Damage inside marked text: NUL characters, an odd byte count.
    for (const std::string& bytes :
         {"\xEF\xBB\xBFv 1\0 2"s, utf16Text("v 1\0 2"s, false), utf16Text(utf8, true) + "x"}) {
        std::string decoded;
        std::string_view text;
        Failure failure;
        EXPECT_EQ(textAsUtf8(bytes, decoded, text, &failure), OperationResult::Failure);
        EXPECT_FALSE(failure.message.empty());
    }
}

// A lone surrogate cannot be UTF-8: it becomes U+FFFD, and decoding goes on.
TEST(TextEncoding, LoneSurrogatesBecomeReplacementCharacters)
{
    const std::string units = "\x3D\xD8"s + "a\0"s + "\x00\xDC"s + "b\0"s; // high, 'a', low, 'b'
    std::string out;
    ASSERT_EQ(decodeUtf16(units, false, out, nullptr), OperationResult::Success);
    EXPECT_EQ(out, "\xEF\xBF\xBD"
                   "a"
                   "\xEF\xBF\xBD"
                   "b");
    EXPECT_EQ(byteOrderMark("\xFE\xFF"), TextEncoding::Utf16BigEndian);
    EXPECT_EQ(byteOrderMarkSize(TextEncoding::Utf8WithMark), 3u);
    EXPECT_EQ(byteOrderMarkSize(TextEncoding::Utf16LittleEndian), 2u);
    EXPECT_EQ(byteOrderMarkSize(TextEncoding::Utf8), 0u);
}

} // namespace
} // namespace morvex
