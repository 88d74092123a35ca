#pragma once

namespace morvex::stl {

// Characters up to and including space separate tokens.
inline bool isBlank(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

// Reads the next whitespace-separated token of a line as a decimal
// floating-point number, advancing past it. False when there is no token or
// the whole token is not a number. Values are the nearest float, exactly as
// parseFloat gives them; the common short forms take a fast path.
bool readNumberToken(const char*& cursor, const char* end, float& value);

} // namespace morvex::stl
