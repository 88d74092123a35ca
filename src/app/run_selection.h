#pragma once

#include "app/conversion_status.h"

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace morvex {

// The rows of the list that take part in a convert command.

inline constexpr std::string_view ConversionFailedTitle = "Conversion Failed";
inline constexpr std::string_view NoneConvertibleText = "None of the selected files could be converted using Morvex";

// The part of a list row that the convert command looks at.
struct ListRow {
    std::filesystem::path path;
    std::uint32_t flags = 0; // status in bits 0-3, format flags above
    bool selected = false;
};
ConversionStatus rowStatus(const ListRow& row);

// Resets every row to Ready except those marked not convertible, selects
// every row when none is selected, and returns the selected rows of a
// supported format in list order.
std::vector<std::filesystem::path> prepareRunSelection(std::vector<ListRow>& rows);

} // namespace morvex
