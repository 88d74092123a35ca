#include "app/instance_handover.h"

#include "support/text/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace morvex {
namespace {

// A byte that is no UTF-8 (always 0x80 or above) travels as U+DC00 + byte.
constexpr char16_t EscapedByteBase = 0xDC00;

// Length of the UTF-8 sequence at text[i] and its code point; 0 when the
// bytes there are no valid sequence.
std::size_t decodeUtf8At(std::string_view text, std::size_t i, char32_t& codePoint)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        codePoint = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        codePoint = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        codePoint = lead & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

std::u16string toHandoverUnits(std::string_view text)
{
    std::u16string units;
    units.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t codePoint = 0;
        const std::size_t length = decodeUtf8At(text, i, codePoint);
        if (length == 0) {
            units.push_back(static_cast<char16_t>(EscapedByteBase + static_cast<unsigned char>(text[i])));
            ++i;
            continue;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(codePoint));
        }
        i += length;
    }
    return units;
}

std::string fromHandoverUnits(const char16_t* units, std::size_t count)
{
    std::string text;
    text.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const char16_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            appendUtf8(text, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= EscapedByteBase + 0x80 && unit <= EscapedByteBase + 0xFF) {
            text.push_back(static_cast<char>(unit - EscapedByteBase));
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            appendUtf8(text, 0xFFFD);
        } else {
            appendUtf8(text, unit);
        }
    }
    return text;
}

} // namespace

std::string encodeHandoverBlock(const std::vector<std::string>& arguments)
{
    std::string block(HandoverBlockSize, '\0');
    const auto count = static_cast<std::uint32_t>(std::min(arguments.size(), HandoverSlotCount));
    std::memcpy(block.data(), &count, sizeof count);
    for (std::uint32_t slot = 0; slot < count; ++slot) {
        const std::u16string units = toHandoverUnits(arguments[slot]);
        if (units.size() >= HandoverSlotUnits)
            continue; // left empty: a cut path names another file
        std::memcpy(block.data() + 4 + slot * HandoverSlotUnits * 2, units.data(), units.size() * 2);
    }
    return block;
}

std::optional<std::vector<std::string>> decodeHandoverBlock(std::string_view block)
{
    if (block.size() != HandoverBlockSize)
        return std::nullopt;
    std::uint32_t count = 0;
    std::memcpy(&count, block.data(), sizeof count);
    count = std::min<std::uint32_t>(count, HandoverSlotCount);
    std::vector<std::string> arguments;
    arguments.reserve(count);
    char16_t slotUnits[HandoverSlotUnits];
    for (std::uint32_t slot = 0; slot < count; ++slot) {
        std::memcpy(slotUnits, block.data() + 4 + slot * HandoverSlotUnits * 2, sizeof slotUnits);
        std::size_t length = 0;
        while (length < HandoverSlotUnits - 1 && slotUnits[length] != 0)
            ++length;
        arguments.push_back(fromHandoverUnits(slotUnits, length));
    }
    return arguments;
}

} // namespace morvex
