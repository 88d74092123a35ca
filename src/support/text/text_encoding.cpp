#include "support/text/text_encoding.h"

#include "support/text/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>

namespace morvex {
namespace {

constexpr std::string_view NulBytesReason = "NUL bytes in the text: binary data or an unknown encoding";

bool startsWith(std::string_view bytes, std::initializer_list<unsigned char> mark)
{
    if (bytes.size() < mark.size())
        return false;
    std::size_t at = 0;
    for (unsigned char byte : mark)
        if (static_cast<unsigned char>(bytes[at++]) != byte)
            return false;
    return true;
}

// ASCII written as UTF-16 without a mark puts a NUL beside every character
// (other characters seldom have one): worth naming, as that is what such a
// file most likely is. Mostly-ASCII text has NULs on one side of most pairs
// and hardly any on the other.
bool looksLikeUnmarkedUtf16(std::string_view bytes)
{
    const std::size_t pairs = std::min<std::size_t>(bytes.size(), 64) / 2;
    if (pairs == 0)
        return false;
    std::size_t evenNuls = 0;
    std::size_t oddNuls = 0;
    for (std::size_t i = 0; i < pairs; ++i) {
        evenNuls += bytes[2 * i] == '\0';
        oddNuls += bytes[2 * i + 1] == '\0';
    }
    const auto mostly = [pairs](std::size_t many, std::size_t few) { return 2 * many >= pairs && 8 * few < pairs; };
    return mostly(evenNuls, oddNuls) || mostly(oddNuls, evenNuls);
}

std::uint16_t unitAt(const unsigned char* at, bool bigEndian)
{
    return bigEndian ? static_cast<std::uint16_t>(at[0] << 8 | at[1]) : static_cast<std::uint16_t>(at[1] << 8 | at[0]);
}

} // namespace

TextEncoding byteOrderMark(std::string_view bytes)
{
    if (startsWith(bytes, {0xEF, 0xBB, 0xBF}))
        return TextEncoding::Utf8WithMark;
    // FF FE 00 00 is the mark of UTF-32, which no model file uses.
    if (startsWith(bytes, {0xFF, 0xFE, 0x00, 0x00}))
        return TextEncoding::Utf32;
    if (startsWith(bytes, {0xFF, 0xFE}))
        return TextEncoding::Utf16LittleEndian;
    if (startsWith(bytes, {0xFE, 0xFF}))
        return TextEncoding::Utf16BigEndian;
    return TextEncoding::Utf8;
}

TextCheck checkTextEncoding(std::string_view bytes)
{
    const TextEncoding mark = byteOrderMark(bytes);
    if (mark == TextEncoding::Utf32)
        return {mark, "text in UTF-32 is not supported"};
    if (mark != TextEncoding::Utf8)
        return {mark, {}};
    if (std::memchr(bytes.data(), 0, bytes.size()) == nullptr)
        return {TextEncoding::Utf8, {}};
    if (looksLikeUnmarkedUtf16(bytes))
        return {TextEncoding::Utf16WithoutMark, "text in UTF-16 without a byte-order mark is not supported"};
    return {TextEncoding::Binary, NulBytesReason};
}

std::size_t byteOrderMarkSize(TextEncoding encoding)
{
    switch (encoding) {
    case TextEncoding::Utf8WithMark: return 3;
    case TextEncoding::Utf16LittleEndian:
    case TextEncoding::Utf16BigEndian: return 2;
    default: return 0;
    }
    return 0;
}

OperationResult decodeUtf16(std::string_view units, bool bigEndian, std::string& out, Failure* failure)
{
    if (units.size() % 2 != 0)
        return failWith(failure, FailureKind::Malformed, "UTF-16 text with an odd number of bytes");
    const auto* at = reinterpret_cast<const unsigned char*>(units.data());
    const auto* end = at + units.size();
    try {
        out.clear();
        // ASCII, the usual content, takes one byte per unit.
        out.reserve(units.size() / 2);
        while (at < end) {
            char32_t codePoint = unitAt(at, bigEndian);
            at += 2;
            if (codePoint >= 0xD800 && codePoint < 0xDC00 && at < end) {
                const std::uint16_t low = unitAt(at, bigEndian);
                if (low >= 0xDC00 && low < 0xE000) {
                    codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
                    at += 2;
                }
            }
            appendUtf8(out, codePoint); // a lone surrogate becomes U+FFFD
        }
    } catch (const std::bad_alloc&) {
        return failOutOfMemory(failure);
    }
    return OperationResult::Success;
}

OperationResult textAsUtf8(std::string_view bytes, std::string& decoded, std::string_view& text, Failure* failure)
{
    const TextCheck check = checkTextEncoding(bytes);
    const std::string_view afterMark = bytes.substr(byteOrderMarkSize(check.encoding));
    if (!check.readable())
        return failWith(failure, FailureKind::Unsupported, check.reason);
    if (check.encoding == TextEncoding::Utf8) {
        text = bytes;
        return OperationResult::Success;
    }
    if (check.encoding == TextEncoding::Utf8WithMark) {
        if (std::memchr(afterMark.data(), 0, afterMark.size()) != nullptr)
            return failWith(failure, FailureKind::Unsupported, NulBytesReason);
        text = afterMark;
        return OperationResult::Success;
    }
    if (decodeUtf16(afterMark, check.encoding == TextEncoding::Utf16BigEndian, decoded, failure) !=
        OperationResult::Success)
        return OperationResult::Failure;
    if (std::memchr(decoded.data(), 0, decoded.size()) != nullptr)
        return failWith(failure, FailureKind::Unsupported, "NUL characters in the text");
    text = decoded;
    return OperationResult::Success;
}

} // namespace morvex
