#include "support/text/numbers.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace morvex {

std::size_t formatExponent3(char* out, double value)
{
    char* end = std::to_chars(out, out + MaxNumberChars, value, std::chars_format::scientific, 6).ptr;
    if (!std::isfinite(value))
        return static_cast<std::size_t>(end - out);
    // to_chars writes at least two exponent digits; widen to three.
    char* exponent = static_cast<char*>(std::memchr(out, 'e', static_cast<std::size_t>(end - out)));
    if (exponent == nullptr)
        return static_cast<std::size_t>(end - out);
    char* digits = exponent + 2;
    const std::size_t count = static_cast<std::size_t>(end - digits);
    if (count < 3) {
        std::memmove(digits + (3 - count), digits, count);
        std::memset(digits, '0', 3 - count);
        end += 3 - count;
    }
    return static_cast<std::size_t>(end - out);
}

namespace {

template <typename T>
bool parseReal(const char*& cursor, const char* end, T& value)
{
    const char* at = cursor;
    bool negative = false;
    if (at < end && (*at == '+' || *at == '-')) {
        negative = *at == '-';
        ++at;
    }
    // from_chars takes no sign of its own here: a second sign is not a number.
    if (at < end && (*at == '+' || *at == '-'))
        return false;
    T parsed{};
    auto [next, error] = std::from_chars(at, end, parsed, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        // Keep what a C library would give: infinity or zero of the right sign.
        const char* probe = at;
        while (probe < end && ((*probe >= '0' && *probe <= '9') || *probe == '.'))
            ++probe;
        bool hugeExponent = true;
        if (probe < end && (*probe == 'e' || *probe == 'E'))
            hugeExponent = !(probe + 1 < end && probe[1] == '-');
        parsed = hugeExponent ? INFINITY : T(0);
    } else if (error != std::errc()) {
        return false;
    }
    value = negative ? -parsed : parsed;
    cursor = next;
    return true;
}

} // namespace

bool parseFloat(const char*& cursor, const char* end, float& value)
{
    return parseReal(cursor, end, value);
}

bool parseDouble(const char*& cursor, const char* end, double& value)
{
    return parseReal(cursor, end, value);
}

bool parseInt64(const char*& cursor, const char* end, std::int64_t& value)
{
    const char* at = cursor;
    if (at < end && *at == '+')
        ++at;
    if (at < end && *at == '+')
        return false;
    auto [next, error] = std::from_chars(at, end, value);
    if (error != std::errc())
        return false;
    cursor = next;
    return true;
}

namespace {

constexpr double exactPowersOfTen[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};
// The nearest doubles to 10^-k: a multiplication instead of a division,
// whose latency every number would otherwise wait for.
constexpr double nearestInversePowersOfTen[] = {
    1e-0,  1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,  1e-8,  1e-9,  1e-10, 1e-11,
    1e-12, 1e-13, 1e-14, 1e-15, 1e-16, 1e-17, 1e-18, 1e-19, 1e-20, 1e-21, 1e-22,
};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Whether a double lies within a few units of its last place of a value
// halfway between two floats, where rounding it to float could go the other
// way than rounding the exact decimal: the 29 bits a float drops are then
// about 1000...0. Products with an inexact 10^-k are off by at most two
// units; the margin is twice that.
[[gnu::always_inline]] inline bool nearFloatTie(std::uint64_t bits)
{
    constexpr std::uint64_t Dropped = (std::uint64_t{1} << 29) - 1, Half = std::uint64_t{1} << 28, Margin = 4;
    return (bits & Dropped) - (Half - Margin) <= 2 * Margin;
}

// The general conversion, for every token the fast path leaves alone.
bool readSlowly(const char*& cursor, const char* end, float& value)
{
    const char* at = cursor;
    float parsed = 0.0f;
    if (!parseFloat(at, end, parsed) || (at < end && !isSeparatorByte(*at)))
        return false;
    value = parsed;
    cursor = at;
    return true;
}

// Fast path: up to 19 digits and a decimal exponent within +-22. The digits
// and 10^k are exact doubles and 10^-k the nearest one, so one
// multiplication lands within two units of the last place of the exact
// value; rounding that double to float is then correct unless it lies near
// halfway between two floats, which goes to the general conversion like
// everything else unusual. Inlined into both entry points: a call more per
// number is a measurable share of reading.
[[gnu::always_inline]] inline bool readFloatToken(const char*& cursor, const char* end, float& value)
{
    const char* at = cursor;
    if (at == end)
        return false;

    bool negative = false;
    if (*at == '+' || *at == '-') {
        negative = *at == '-';
        ++at;
    }
    std::uint64_t mantissa = 0;
    int digits = 0;
    int exponent = 0;
    for (; at < end && isDigit(*at); ++at, ++digits)
        mantissa = mantissa * 10 + static_cast<std::uint64_t>(*at - '0');
    if (at < end && *at == '.') {
        for (++at; at < end && isDigit(*at); ++at, ++digits, --exponent)
            mantissa = mantissa * 10 + static_cast<std::uint64_t>(*at - '0');
    }
    if (digits == 0 || digits > 19)
        return readSlowly(cursor, end, value);
    if (at < end && (*at == 'e' || *at == 'E')) {
        ++at;
        bool negativeExponent = false;
        if (at < end && (*at == '+' || *at == '-')) {
            negativeExponent = *at == '-';
            ++at;
        }
        int written = 0;
        int exponentDigits = 0;
        for (; at < end && isDigit(*at) && exponentDigits < 5; ++at, ++exponentDigits)
            written = written * 10 + (*at - '0');
        if (exponentDigits == 0 || exponentDigits == 5)
            return readSlowly(cursor, end, value);
        exponent += negativeExponent ? -written : written;
    }
    if (at < end && !isSeparatorByte(*at))
        return readSlowly(cursor, end, value);
    if (mantissa == 0) {
        value = negative ? -0.0f : 0.0f;
        cursor = at;
        return true;
    }
    if (mantissa > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22)
        return readSlowly(cursor, end, value);

    double exact = static_cast<double>(mantissa);
    exact *= exponent >= 0 ? exactPowersOfTen[exponent] : nearestInversePowersOfTen[-exponent];
    if (exact >= 0x1p127 || exact < 0x1p-126)
        return readSlowly(cursor, end, value);
    std::uint64_t bits;
    std::memcpy(&bits, &exact, sizeof bits);
    if (nearFloatTie(bits))
        return readSlowly(cursor, end, value);
    const float rounded = static_cast<float>(exact);
    value = negative ? -rounded : rounded;
    cursor = at;
    return true;
}

// The syntax the fast path checks, in its order, without the value: a
// token that passes is one it reads itself or hands to the general
// conversion only for its value (a wide mantissa or exponent, a product near
// a float tie), and the general conversion reads such a plain decimal token
// whole, as the fast path would have.
[[gnu::always_inline]] inline bool skipPlainToken(const char*& cursor, const char* end)
{
    const char* at = cursor;
    if (at < end && (*at == '+' || *at == '-'))
        ++at;
    const char* firstDigit = at;
    while (at < end && isDigit(*at))
        ++at;
    std::ptrdiff_t digits = at - firstDigit;
    if (at < end && *at == '.') {
        const char* firstFraction = ++at;
        while (at < end && isDigit(*at))
            ++at;
        digits += at - firstFraction;
    }
    if (digits == 0 || digits > 19)
        return false;
    if (at < end && (*at == 'e' || *at == 'E')) {
        ++at;
        if (at < end && (*at == '+' || *at == '-'))
            ++at;
        const char* firstExponentDigit = at;
        while (at < end && isDigit(*at) && at - firstExponentDigit < 5)
            ++at;
        if (at == firstExponentDigit || at - firstExponentDigit == 5)
            return false;
    }
    if (at < end && !isSeparatorByte(*at))
        return false;
    cursor = at;
    return true;
}

const char* afterSeparators(const char* at, const char* end)
{
    while (at < end && isSeparatorByte(*at))
        ++at;
    return at;
}

} // namespace

bool skipNumberToken(const char*& cursor, const char* end)
{
    const char* at = afterSeparators(cursor, end);
    float unused;
    if (!skipPlainToken(at, end) && !readSlowly(at, end, unused))
        return false;
    cursor = at;
    return true;
}

bool skipPlainNumberToken(const char*& cursor, const char* end)
{
    const char* at = afterSeparators(cursor, end);
    if (!skipPlainToken(at, end))
        return false;
    cursor = at;
    return true;
}

bool parseFloatToken(const char*& cursor, const char* end, float& value)
{
    return readFloatToken(cursor, end, value);
}

bool readNumberToken(const char*& cursor, const char* end, float& value)
{
    const char* at = cursor;
    while (at < end && isSeparatorByte(*at))
        ++at;
    if (!readFloatToken(at, end, value))
        return false;
    cursor = at;
    return true;
}

} // namespace morvex
