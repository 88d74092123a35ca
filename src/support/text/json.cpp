#include "support/text/json.h"

#include "support/text/numbers.h"
#include "support/text/text.h"

#include <cmath>

namespace morvex {

namespace {

constexpr char HexDigits[] = "0123456789abcdef";

// Appends valid UTF-8 text, escaping what JSON requires, without quotes.
void appendEscaped(std::string& out, std::string_view text)
{
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += "\\u00";
                out.push_back(HexDigits[(c >> 4) & 0xF]);
                out.push_back(HexDigits[c & 0xF]);
            } else {
                out.push_back(c);
            }
        }
    }
}

// Length of the UTF-8 sequence that a lead byte starts.
std::size_t sequenceLength(unsigned char lead)
{
    return lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
}

} // namespace

void appendJsonString(std::string& out, std::string_view text)
{
    out.push_back('"');
    appendEscaped(out, sanitizeUtf8(text));
    out.push_back('"');
}

void appendJsonPath(std::string& out, std::string_view path)
{
    out.push_back('"');
    for (std::size_t i = 0; i < path.size();) {
        const unsigned char lead = static_cast<unsigned char>(path[i]);
        const std::string_view sequence = path.substr(i, sequenceLength(lead));
        if (lead < 0x80 || (sequence.size() == sequenceLength(lead) && isValidUtf8(sequence))) {
            appendEscaped(out, sequence);
            i += sequence.size();
            continue;
        }
        out += "\\udc";
        out.push_back(HexDigits[lead >> 4]);
        out.push_back(HexDigits[lead & 0xF]);
        ++i;
    }
    out.push_back('"');
}

void appendJsonNumber(std::string& out, double value)
{
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char text[MaxNumberChars];
    out.append(text, static_cast<std::size_t>(std::to_chars(text, text + sizeof text, value).ptr - text));
}

} // namespace morvex
