#include "app/free_space_check.h"

#include <algorithm>
#include <limits>
#include <string>
#include <unordered_set>

namespace morvex {
namespace {

std::uint64_t fileSize(const std::filesystem::path& path)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

} // namespace

std::uint64_t requiredFreeSpace(std::uint64_t fileCount, std::uint64_t largestFileBytes)
{
    std::uint64_t required = 0;
    if (largestFileBytes != 0 && fileCount > std::numeric_limits<std::uint64_t>::max() / largestFileBytes)
        required = std::numeric_limits<std::uint64_t>::max();
    else
        required = fileCount * largestFileBytes;
    return std::max(required, MinimumRequiredSpace);
}

std::optional<std::uint64_t> availableSpace(const std::filesystem::path& folder)
{
    std::error_code error;
    const std::filesystem::space_info info = std::filesystem::space(folder, error);
    if (error || info.available == static_cast<std::uintmax_t>(-1))
        return std::nullopt;
    return static_cast<std::uint64_t>(info.available);
}

FreeSpaceCheck checkFreeSpace(const std::vector<std::filesystem::path>& sources, std::string_view outputFolder,
                              const FreeSpaceFunction& freeSpace)
{
    std::uint64_t largest = 0;
    for (const std::filesystem::path& source : sources)
        largest = std::max(largest, fileSize(source));

    FreeSpaceCheck check;
    check.required = requiredFreeSpace(sources.size(), largest);
    const auto spaceOf = [&](const std::filesystem::path& folder) {
        const std::optional<std::uint64_t> available = freeSpace ? freeSpace(folder) : availableSpace(folder);
        return available.value_or(0x7FFFFFFFFFFFFFFFull);
    };
    if (outputFolder.empty()) {
        // Most sources share their folder with others: each folder is asked once.
        std::unordered_set<std::string> checked;
        for (const std::filesystem::path& source : sources) {
            const std::filesystem::path folder = source.parent_path();
            if (!checked.insert(folder.native()).second)
                continue;
            if (spaceOf(folder) < check.required) {
                check.enough = false;
                check.message = NotEnoughOnAnOutputDriveText;
                check.folder = folder;
                return check;
            }
        }
        return check;
    }
    if (spaceOf(outputFolder) < check.required) {
        check.enough = false;
        check.message = NotEnoughOnOutputDriveText;
        check.folder = outputFolder;
    }
    return check;
}

} // namespace morvex
