#include "support/text/text.h"

#include <cstdint>

namespace morvex {
namespace {

struct DecodedChar {
    char32_t codePoint;
    std::size_t length; // bytes consumed
    bool valid;
};

DecodedChar decodeUtf8(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return {lead, 1, true};
    std::size_t length = 0;
    char32_t codePoint = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return {lead, 1, false};
    }
    if (at + length > text.size())
        return {lead, 1, false};
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(at + i);
        if ((next & 0xC0) != 0x80)
            return {lead, 1, false};
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return {lead, 1, false};
    return {codePoint, length, true};
}

// Windows-1252 bytes 0x80-0x9F; the rest of the upper half is Latin-1.
constexpr char16_t windows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

} // namespace

void appendUtf8(std::string& out, char32_t codePoint)
{
    if ((codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF)
        codePoint = 0xFFFD;
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

namespace {

// The UTF-16 code unit that decides the order of a code point: characters
// above U+FFFF sort by their high surrogate.
std::uint32_t firstUtf16Unit(char32_t codePoint)
{
    if (codePoint < 0x10000)
        return codePoint;
    return 0xD800 + ((codePoint - 0x10000) >> 10);
}

std::uint32_t secondUtf16Unit(char32_t codePoint)
{
    return 0xDC00 + ((codePoint - 0x10000) & 0x3FF);
}

} // namespace

std::string limitUtf16Units(std::string_view text, std::size_t maxUnits)
{
    std::size_t units = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const DecodedChar c = decodeUtf8(text, at);
        const std::size_t need = (c.valid && c.codePoint >= 0x10000) ? 2 : 1;
        if (units + need > maxUnits)
            break;
        units += need;
        at += c.length;
    }
    return std::string(text.substr(0, at));
}

std::string limitUtf8Bytes(std::string_view text, std::size_t maxBytes)
{
    std::size_t at = 0;
    while (at < text.size()) {
        const DecodedChar c = decodeUtf8(text, at);
        if (at + c.length > maxBytes)
            break;
        at += c.length;
    }
    return std::string(text.substr(0, at));
}

int compareUtf16(std::string_view a, std::string_view b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const unsigned char ca = static_cast<unsigned char>(a[i]);
        const unsigned char cb = static_cast<unsigned char>(b[j]);
        if (ca < 0x80 && cb < 0x80) { // fast path: ASCII orders the same way
            if (ca != cb)
                return ca < cb ? -1 : 1;
            ++i, ++j;
            continue;
        }
        const DecodedChar da = decodeUtf8(a, i);
        const DecodedChar db = decodeUtf8(b, j);
        const std::uint32_t ua = firstUtf16Unit(da.codePoint);
        const std::uint32_t ub = firstUtf16Unit(db.codePoint);
        if (ua != ub)
            return ua < ub ? -1 : 1;
        if (da.codePoint != db.codePoint) {
            // Same high surrogate: the low surrogate decides.
            const std::uint32_t la = secondUtf16Unit(da.codePoint);
            const std::uint32_t lb = secondUtf16Unit(db.codePoint);
            if (la != lb)
                return la < lb ? -1 : 1;
        }
        i += da.length;
        j += db.length;
    }
    if (i < a.size())
        return 1;
    if (j < b.size())
        return -1;
    return 0;
}

bool isValidUtf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        const DecodedChar c = decodeUtf8(text, at);
        if (!c.valid)
            return false;
        at += c.length;
    }
    return true;
}

std::string sanitizeUtf8(std::string_view text)
{
    if (isValidUtf8(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (std::size_t at = 0; at < text.size();) {
        const DecodedChar c = decodeUtf8(text, at);
        if (c.valid) {
            out.append(text.substr(at, c.length));
        } else {
            const unsigned char byte = static_cast<unsigned char>(text[at]);
            appendUtf8(out, byte >= 0x80 && byte < 0xA0 ? windows1252High[byte - 0x80] : byte);
        }
        at += c.length;
    }
    return out;
}

std::string modelText(std::string_view text)
{
    return limitUtf16Units(sanitizeUtf8(text));
}

std::string_view trimSpaces(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

std::string asciiLower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string extensionOf(std::string_view path)
{
    const std::size_t slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string_view::npos)
        return {};
    return std::string(name.substr(dot));
}

std::string_view withoutLeadingDot(std::string_view extension)
{
    if (!extension.empty() && extension.front() == '.')
        extension.remove_prefix(1);
    return extension;
}

std::string escapeForDisplay(std::string_view path)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(path.size());
    const auto escapeByte = [&](unsigned char byte) {
        out += "\\x";
        out += digits[byte >> 4];
        out += digits[byte & 0x0F];
    };
    for (std::size_t i = 0; i < path.size();) {
        const unsigned char byte = static_cast<unsigned char>(path[i]);
        if (byte == '\n') {
            out += "\\n";
            ++i;
        } else if (byte == '\t') {
            out += "\\t";
            ++i;
        } else if (byte < 0x20 || byte == 0x7F) {
            escapeByte(byte);
            ++i;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++i;
        } else {
            const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            const std::string_view sequence = path.substr(i, length);
            if (sequence.size() == length && isValidUtf8(sequence)) {
                out += sequence;
                i += length;
            } else {
                escapeByte(byte);
                ++i;
            }
        }
    }
    return out;
}

} // namespace morvex
