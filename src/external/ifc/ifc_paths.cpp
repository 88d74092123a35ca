#include "external/external_converters.h"
#include "external/ifc/ifc_obj_name.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <system_error>
#include <unistd.h>

namespace morvex {

std::filesystem::path ifcWorkFolder()
{
    std::error_code error;
    std::filesystem::path base;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && runtime[0] == '/')
        base = runtime;
    if (base.empty() || !std::filesystem::is_directory(base, error))
        base = std::filesystem::temp_directory_path(error);
    if (error)
        base = "/tmp";
    return base / ("Morvex-ifc-" + std::to_string(::getuid()));
}

// The whole path makes the name, so that two house.ifc files of different
// folders never share one temporary file: /Work/Site A/house.ifc gives
// "Work_Site A_house".
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
    // The extension is what follows the last dot of the file name itself.
    const std::size_t lastSeparator = name.find_last_of("/\\");
    if (const std::size_t dot = name.rfind('.');
        dot != std::string::npos && (lastSeparator == std::string::npos || dot > lastSeparator))
        name.erase(dot);
    std::replace(name.begin(), name.end(), '\\', '_');
    std::replace(name.begin(), name.end(), '/', '_');
    if (name.find_first_not_of('.') == std::string::npos) // empty, "." or ".."
        name = "ifc";
    return ifcWorkFolder() / name;
}

std::filesystem::path ifcObjPath(const std::filesystem::path& source)
{
    return ifcToolObjPath(ifcOutputPath(source));
}

std::filesystem::path ifcMtlPath(const std::filesystem::path& source)
{
    return ifcToolMtlPath(ifcOutputPath(source));
}

} // namespace morvex
