#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace morvex {

// Room for the outputs, checked before a run starts.

inline constexpr std::uint64_t MinimumRequiredSpace = 0x500000; // 5 MiB
inline constexpr std::string_view FreeSpaceErrorTitle = "Free Space Error";
inline constexpr std::string_view NotEnoughOnOutputDriveText =
    "There is not enough free space available on the output drive.";
inline constexpr std::string_view NotEnoughOnAnOutputDriveText =
    "There is not enough free space available on an output drive.";

// Number of files times the largest file, at least 5 MiB.
std::uint64_t requiredFreeSpace(std::uint64_t fileCount, std::uint64_t largestFileBytes);

// Bytes available to this user on the folder's file system; nothing when it
// cannot be asked (which counts as plenty).
using FreeSpaceFunction = std::function<std::optional<std::uint64_t>(const std::filesystem::path& folder)>;
std::optional<std::uint64_t> availableSpace(const std::filesystem::path& folder);

struct FreeSpaceCheck {
    bool enough = true;
    std::uint64_t required = 0;
    std::string_view message;     // empty when enough
    std::filesystem::path folder; // the folder that is short of space
};
// Same-folder mode (empty outputFolder): each source's folder in turn,
// the first short one fails; otherwise the output folder.
FreeSpaceCheck checkFreeSpace(const std::vector<std::filesystem::path>& sources, std::string_view outputFolder,
                              const FreeSpaceFunction& freeSpace = {});

} // namespace morvex
