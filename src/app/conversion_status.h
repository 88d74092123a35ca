#pragma once

#include <cstdint>
#include <string_view>

namespace morvex {

// The state of one file of the list and of a conversion run. The numbers
// are stable: the list keeps them in its row flags and the command line
// prints them.
enum class ConversionStatus : std::int32_t {
    Ready = 0,
    Scheduled = 1,
    Converting = 2,
    Success = 3,
    Cancelled = 4,
    Skipped = 5,
    Replaced = 6,
    ConvertedAndRenamed = 7,
    InsufficientDiskSpace = 8,
    ReadFailed = 9,
    SaveFailed = 10,
    NotConvertible = 11,
};

// "Scheduled", "Success", ...; empty for Ready and for values without text.
std::string_view conversionStatusText(ConversionStatus status);

} // namespace morvex
