#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvex {

// What the desktop program's file list shows in a row, and how it compares
// rows, kept apart from the widgets so that every text can be checked alone.

inline constexpr std::string_view RecentlyAddedText = "Recently added.";
inline constexpr std::string_view NoFilesInListText = "No files in list.";
inline constexpr std::string_view NoFilesSelectedText = "No files selected.";

// The "Format" column: the extension without its dot, upper case for the
// formats read natively (3dp, 3ds, 3mf, obj, ply, stl), lower case otherwise.
std::string formatColumnText(std::string_view extension);

// The "Size (MB)" column: whole KiB as a fraction of a MiB with two
// decimals, "-" for an empty file and "0.01" for anything smaller.
std::string sizeColumnText(std::uint64_t bytes);

// The "Status" column from a row's flags (status in bits 0-3): the status
// text, or "Format may not be supported" for a row of an unknown format.
std::string_view statusColumnText(std::uint32_t flags);

// The state icon: 0 waiting, 1 converting, 2 converted, 3 anything else.
int stateIconIndex(std::uint32_t flags);

// The status bar's selection text.
std::string selectionStatusText(std::size_t selectedRows, std::size_t rowCount);

// Orders texts as a file manager does: letter case ignored, runs of digits
// by their value ("file9" before "file10"). Negative, zero or positive.
int compareLogically(std::string_view a, std::string_view b);

} // namespace morvex
