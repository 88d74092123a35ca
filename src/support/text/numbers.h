#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// The decimal digits of a 32-bit count or index, at most ten, the same text
// as std::to_chars gives. Index columns of text formats hold millions of
// them: this works in 32 bits, two digits a step, with no range check.
inline char* appendDecimal(char* out, std::uint32_t value)
{
    static constexpr char Pairs[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                                    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                                    "8081828384858687888990919293949596979899";
    const unsigned length = value < 10           ? 1
                            : value < 100        ? 2
                            : value < 1000       ? 3
                            : value < 10000      ? 4
                            : value < 100000     ? 5
                            : value < 1000000    ? 6
                            : value < 10000000   ? 7
                            : value < 100000000  ? 8
                            : value < 1000000000 ? 9
                                                 : 10;
    char* const end = out + length;
    char* at = end;
    while (value >= 100) {
        const std::uint32_t pair = value % 100;
        value /= 100;
        at -= 2;
        std::memcpy(at, Pairs + 2 * pair, 2);
    }
    if (value >= 10)
        std::memcpy(at - 2, Pairs + 2 * value, 2);
    else
        at[-1] = static_cast<char>('0' + value);
    return end;
}

// Parses a decimal floating-point number at the cursor (an optional '+' or
// '-' sign, digits, point, exponent, "inf"/"nan"), advancing the cursor past
// it. False, with the cursor unchanged, when no number starts there.
bool parseFloat(const char*& cursor, const char* end, float& value);
bool parseDouble(const char*& cursor, const char* end, double& value);

// Bytes up to and including the space (line ends too) separate tokens.
inline bool isSeparatorByte(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

// A decimal number that is a whole token at the cursor: it must end at a
// separator byte or at `end`. The value and the tokens refused are exactly
// those of parseFloat followed by that check; the common short forms take a
// fast path. False, with the cursor unchanged, when the token is no number.
bool parseFloatToken(const char*& cursor, const char* end, float& value);

// Skips separators, then reads the next token with parseFloatToken, for
// lines already split from their text.
bool readNumberToken(const char*& cursor, const char* end, float& value);

// Skips separators and the token readNumberToken would read there, without
// converting it, for numbers that are only checked: true for exactly the
// tokens readNumberToken accepts, with the cursor left where it leaves it.
bool skipNumberToken(const char*& cursor, const char* end);

// Skips separators and a number token of the plain decimal form: an optional
// sign, 1 to 19 digits with or without a point, an optional exponent of 1 to
// 4 digits, then a separator byte or `end`. readNumberToken accepts every
// such token, and what the cursor passed over is separators, signs, digits,
// points and 'e' or 'E' only. False, with the cursor unchanged, for any
// other token, number or not.
bool skipPlainNumberToken(const char*& cursor, const char* end);

// Parses an optionally signed decimal integer at the cursor.
bool parseInt64(const char*& cursor, const char* end, std::int64_t& value);

} // namespace morvex
