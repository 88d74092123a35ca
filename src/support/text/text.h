#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvex {

// Texts inside the model and inside files are limited to this many UTF-16
// code units (paths are never cut).
inline constexpr std::size_t MaxTextUnits = 259;

// Cuts UTF-8 text so that it holds at most maxUnits UTF-16 code units,
// never splitting a character. Invalid bytes count as one unit each.
std::string limitUtf16Units(std::string_view text, std::size_t maxUnits = MaxTextUnits);

// Cuts UTF-8 text to at most maxBytes bytes without splitting a character.
std::string limitUtf8Bytes(std::string_view text, std::size_t maxBytes);

// Compares two UTF-8 texts by their UTF-16 code units (unsigned), as the
// property bags order their keys.
int compareUtf16(std::string_view a, std::string_view b);

// Well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

// Decodes UTF-8, replacing each invalid byte with its Windows-1252 character,
// so that names from older files still read as text.
std::string sanitizeUtf8(std::string_view text);
// A file name or other text as one printable line that names exactly those
// bytes: line breaks and tabs as \n and \t, other control characters and
// bytes that are not UTF-8 as \xHH.
std::string escapeForDisplay(std::string_view text);

// Text from a file as the model keeps it: sanitized UTF-8 of at most
// MaxTextUnits UTF-16 units.
std::string modelText(std::string_view text);

// Appends one code point as UTF-8; surrogates and values beyond U+10FFFF,
// which have no UTF-8 form, become U+FFFD.
void appendUtf8(std::string& out, char32_t codePoint);

// 0-15 for a hexadecimal digit of either case, else -1.
int hexDigitValue(char c);

std::string_view trimSpaces(std::string_view text);

// The text with leading space characters (only those) removed.
inline std::string_view trimLeadingSpaces(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && text[at] == ' ')
        ++at;
    return text.substr(at);
}

// ASCII-only lower case, for extensions and keywords.
std::string asciiLower(std::string_view text);
bool equalsIgnoreCase(std::string_view a, std::string_view b);

// The extension of a path's file name with its dot (".stl"), or empty.
std::string extensionOf(std::string_view path);
// An extension as given with or without its dot, without it ("stl").
std::string_view withoutLeadingDot(std::string_view extension);

} // namespace morvex
