#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// The block a second start of the desktop program sends to the running one:
// a 32-bit argument count (at most 128), then 128 slots of 260 UTF-16 code
// units, slot i holding argument i (the program path in slot 0), each
// terminated. Native byte order: both ends are the same program on the same
// machine.
inline constexpr std::size_t HandoverSlotCount = 128;
inline constexpr std::size_t HandoverSlotUnits = 260;
inline constexpr std::size_t HandoverBlockSize = 4 + HandoverSlotCount * HandoverSlotUnits * 2; // 66,564

// The arguments are UTF-8 paths as the command line gave them. Bytes that are
// not UTF-8 travel as lone low surrogates (U+DC00 + byte,
// U+DC80 to U+DCFF) and come back as
// the same bytes. Only the first 128 arguments are sent. An argument longer
// than 259 units is sent as an empty slot: cut short it would name another
// file.
std::string encodeHandoverBlock(const std::vector<std::string>& arguments);

// Nothing for a block of any other size; otherwise the arguments (empty
// slots included, so that positions hold).
std::optional<std::vector<std::string>> decodeHandoverBlock(std::string_view block);

} // namespace morvex
