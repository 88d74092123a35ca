#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace morvex {

// Room every formatter below needs at the output pointer.
inline constexpr std::size_t MaxNumberChars = 64;

// Shortest text that reads back as the same float ("0.1", "1e+20").
inline std::size_t formatFloatShortest(char* out, float value)
{
    return static_cast<std::size_t>(std::to_chars(out, out + MaxNumberChars, value).ptr - out);
}

// printf "%.Nf".
inline std::size_t formatFixed(char* out, double value, int precision)
{
    return static_cast<std::size_t>(
        std::to_chars(out, out + MaxNumberChars, value, std::chars_format::fixed, precision).ptr - out);
}

// printf "%e" with at least three exponent digits: 1.000000e+000.
std::size_t formatExponent3(char* out, double value);

inline std::size_t formatInteger(char* out, std::int64_t value)
{
    return static_cast<std::size_t>(std::to_chars(out, out + MaxNumberChars, value).ptr - out);
}

// Parses a decimal floating-point number at the cursor (an optional '+' or
// '-' sign, digits, point, exponent, "inf"/"nan"), advancing the cursor past
// it. False, with the cursor unchanged, when no number starts there.
bool parseFloat(const char*& cursor, const char* end, float& value);
bool parseDouble(const char*& cursor, const char* end, double& value);

// Parses an optionally signed decimal integer at the cursor.
bool parseInt64(const char*& cursor, const char* end, std::int64_t& value);

} // namespace morvex
