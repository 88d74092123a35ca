#pragma once

#include <string_view>

namespace morvex {

// What the end of a convert command tells the user.

inline constexpr std::string_view ConversionCompleteText = "Conversion complete.";
inline constexpr std::string_view SomeNotConvertedText = "Conversion complete. Some file(s) were not converted.";

struct CompletionSummary {
    bool shown = false;
    std::string_view text;
    bool offerOpenFile = false;
    bool offerOpenFolder = false;
};
// `converted`: files that ended Success, Replaced or Converted and renamed;
// `selected`: the rows selected for the command.
CompletionSummary completionSummary(unsigned converted, unsigned selected);

} // namespace morvex
