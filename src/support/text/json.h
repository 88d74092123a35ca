#pragma once

#include <string>
#include <string_view>

namespace morvex {

// Appends text as a JSON string literal, quotes included. Bytes that are not
// valid UTF-8 are read as Windows-1252 so the output is always valid JSON.
void appendJsonString(std::string& out, std::string_view text);

// Appends a number; NaN and infinities, which JSON cannot hold, become null.
void appendJsonNumber(std::string& out, double value);

} // namespace morvex
