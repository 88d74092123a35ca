#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Where the helper programs and libraries (components) live. A component's
// section [Components\<id>] names its "Path" and "Version"; the user's
// Components.ini in the settings folder is read first, then the machine-wide
// one in <prefix>/share/morvex/ beside the programs (the build writes one
// for its own helpers, so a build tree finds them without installing).

namespace morvex {

// The registry files in the order they are read.
std::vector<std::filesystem::path> componentRegistryFiles();

// The machine-wide file for programs in `programFolder`: the "share/morvex"
// folder beside it.
std::filesystem::path machineComponentsFile(const std::filesystem::path& programFolder);

// The "Path" of the first registry file that names the component and whose
// file or folder exists (a relative path counts from that registry file's
// folder); a registered path that is gone counts as not installed and the
// next file is read.
bool findComponent(std::string_view id, std::filesystem::path& path);
bool findComponent(std::string_view id, std::filesystem::path& path,
                   std::span<const std::filesystem::path> registryFiles);

// The registration that findComponent accepts, with the "Version" of the
// same file (empty when that file names none), so that a version is never
// paired with another file's path.
struct ComponentRegistration {
    std::filesystem::path path;
    std::string version;
    std::filesystem::path registryFile;
};
std::optional<ComponentRegistration> findComponentRegistration(std::string_view id,
                                                               std::span<const std::filesystem::path> registryFiles);

// The section that registers a component: "Components\<id>".
std::string componentSection(std::string_view id);

} // namespace morvex
