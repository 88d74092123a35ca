#include "external/external_converters.h"

#include <algorithm>
#include <system_error>

namespace morvex {

std::filesystem::path ifcOutputPath(const std::filesystem::path& source)
{
    std::string name = source.string();
    // Drop the root: a drive such as "C:\" or a leading slash.
    const auto driveEnd = std::find_if_not(name.begin(), name.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
    if (driveEnd != name.begin() && name.compare(driveEnd - name.begin(), 2, ":\\") == 0)
        name.erase(0, driveEnd - name.begin() + 2);
    else if (!name.empty() && name.front() == '/')
        name.erase(0, 1);
    std::replace(name.begin(), name.end(), '\\', '_');
    if (const std::size_t slash = name.rfind('/'); slash != std::string::npos)
        name.erase(0, slash + 1);
    if (const std::size_t dot = name.rfind('.'); dot != std::string::npos)
        name.erase(dot);
    if (name.find_first_not_of('.') == std::string::npos) // empty, "." or ".."
        name = "ifc";
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error)
        folder = "/tmp";
    return folder / name;
}

std::filesystem::path ifcObjPath(const std::filesystem::path& source)
{
    return ifcOutputPath(source).replace_extension(".obj");
}

} // namespace morvex
