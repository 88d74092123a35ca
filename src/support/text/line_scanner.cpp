#include "support/text/line_scanner.h"

#include "support/text/numbers.h"

namespace morvex {
namespace {

// A number is a whole token: "1a" or "1,5" is not one.
bool endsToken(const char* at, const char* end)
{
    return at >= end || !LineScanner::isTokenByte(*at);
}

} // namespace

std::uint64_t countLineEnds(std::string_view text)
{
    std::uint64_t ends = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\n' || (text[at] == '\r' && (at + 1 == text.size() || text[at + 1] != '\n')))
            ++ends;
    }
    return ends;
}

bool LineScanner::readFloat(float& value)
{
    skipBlanks();
    return parseFloatToken(at_, end_, value);
}

bool LineScanner::readDouble(double& value, bool* fractional)
{
    skipBlanks();
    // Most OBJ positions carry no colour: their lines end here, and the
    // general conversion would be asked only to say so.
    if (atLineEnd())
        return false;
    const char* start = at_;
    const char* at = at_;
    double parsed = 0.0;
    if (!parseDouble(at, end_, parsed) || !endsToken(at, end_))
        return false;
    if (fractional != nullptr) {
        *fractional = false;
        for (const char* c = start; c < at; ++c)
            if (!(*c >= '0' && *c <= '9') && *c != '+' && *c != '-')
                *fractional = true;
    }
    value = parsed;
    at_ = at;
    return true;
}

} // namespace morvex
