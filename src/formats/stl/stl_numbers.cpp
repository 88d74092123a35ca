#include "formats/stl/stl_numbers.h"

#include "support/text/numbers.h"

#include <cstdint>
#include <cstring>

namespace morvex::stl {
namespace {

constexpr double exactPowersOfTen[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The general conversion, for every token the fast path leaves alone.
bool readSlowly(const char*& cursor, const char* start, const char* end, float& value)
{
    const char* at = start;
    float parsed = 0.0f;
    if (!parseFloat(at, end, parsed) || (at < end && !isBlank(*at)))
        return false;
    value = parsed;
    cursor = at;
    return true;
}

} // namespace

// Fast path: up to 19 digits and a decimal exponent within +-22. The digits
// and the power of ten are exact doubles, so one multiplication or division
// rounds correctly; rounding that double to float is then correct too unless
// it lies exactly halfway between two floats (double rounding), which goes
// to the general conversion like everything else unusual.
bool readNumberToken(const char*& cursor, const char* end, float& value)
{
    const char* at = cursor;
    while (at < end && isBlank(*at))
        ++at;
    if (at == end)
        return false;
    const char* start = at;

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
        return readSlowly(cursor, start, end, value);
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
            return readSlowly(cursor, start, end, value);
        exponent += negativeExponent ? -written : written;
    }
    if (at < end && !isBlank(*at))
        return readSlowly(cursor, start, end, value);
    if (mantissa == 0) {
        value = negative ? -0.0f : 0.0f;
        cursor = at;
        return true;
    }
    if (mantissa > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22)
        return readSlowly(cursor, start, end, value);

    double exact = static_cast<double>(mantissa);
    exact = exponent >= 0 ? exact * exactPowersOfTen[exponent] : exact / exactPowersOfTen[-exponent];
    if (exact >= 0x1p127 || exact < 0x1p-126)
        return readSlowly(cursor, start, end, value);
    std::uint64_t bits;
    std::memcpy(&bits, &exact, sizeof bits);
    // The 29 bits a float drops: exactly 1000...0 is a tie between two floats.
    if ((bits & ((std::uint64_t{1} << 29) - 1)) == (std::uint64_t{1} << 28))
        return readSlowly(cursor, start, end, value);
    const float rounded = static_cast<float>(exact);
    value = negative ? -rounded : rounded;
    cursor = at;
    return true;
}

} // namespace morvex::stl
