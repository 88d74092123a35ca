#pragma once

#include <string>
#include <string_view>

namespace morvex {

// Appends text as a JSON string literal, quotes included. Bytes that are not
// valid UTF-8 are read as Windows-1252 so the output is always valid JSON.
void appendJsonString(std::string& out, std::string_view text);

// Appends a file name as a JSON string literal that gives back its very
// bytes: valid UTF-8 stays as it is, and each byte that is not UTF-8 becomes
// the lone surrogate \udcXX, as Python's "surrogateescape" reads and writes
// names (os.fsencode turns the decoded text back into the bytes).
void appendJsonPath(std::string& out, std::string_view path);

// Appends a number; NaN and infinities, which JSON cannot hold, become null.
void appendJsonNumber(std::string& out, double value);

} // namespace morvex
