#include "support/text/numbers.h"

#include <cmath>
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

} // namespace morvex
