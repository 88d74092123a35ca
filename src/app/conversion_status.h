#pragma once

#include <cstdint>

namespace morvex {

// The state of one file in a conversion run. The numbers are stored in the
// file list's row flags (4 bits) and shown as the texts below.
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
    CannotBeConverted = 11,
    // Never shown: a conversion found its output name taken when it came to
    // move its file there, and the job decides what happens instead.
    OutputNameTaken = 12,
};

// The fixed text of a status; empty for Ready and for 12 to 15.
inline const char* conversionStatusText(ConversionStatus status)
{
    static constexpr const char* texts[] = {
        "",
        "Scheduled",
        "Converting",
        "Success",
        "Cancelled",
        "Skipped",
        "Replaced",
        "Converted and renamed",
        "Insufficient disk space",
        "Read failed",
        "Save failed",
        "File cannot be converted, may not be supported or may be corrupted.",
    };
    const auto value = static_cast<std::int32_t>(status);
    return value >= 0 && value < static_cast<std::int32_t>(sizeof texts / sizeof texts[0]) ? texts[value] : "";
}

} // namespace morvex
