#include "external/components/component_registry.h"

#include "support/settings/settings_store.h"

#include <string>
#include <system_error>

namespace morvex {

std::filesystem::path machineComponentsFile(const std::filesystem::path& programFolder)
{
    return programFolder.parent_path() / "share" / "morvex" / "Components.ini";
}

std::vector<std::filesystem::path> componentRegistryFiles()
{
    std::vector<std::filesystem::path> files{SettingsStore::userFolder() / "Components.ini"};
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
        files.push_back(machineComponentsFile(program.parent_path()));
    return files;
}

std::string componentSection(std::string_view id)
{
    return "Components\\" + std::string(id);
}

std::optional<ComponentRegistration> findComponentRegistration(std::string_view id,
                                                               std::span<const std::filesystem::path> registryFiles)
{
    const std::string section = componentSection(id);
    for (const std::filesystem::path& file : registryFiles) {
        const IniDocument registry = SettingsStore(file).snapshot();
        const std::optional<std::string> registered = registry.find(section, "Path");
        if (!registered || registered->empty())
            continue;
        std::filesystem::path candidate(*registered);
        if (candidate.is_relative())
            candidate = file.parent_path() / candidate;
        std::error_code error;
        if (std::filesystem::exists(candidate, error))
            return ComponentRegistration{candidate.lexically_normal(), registry.find(section, "Version").value_or(""),
                                         file};
    }
    return std::nullopt;
}

bool findComponent(std::string_view id, std::filesystem::path& path,
                   std::span<const std::filesystem::path> registryFiles)
{
    std::optional<ComponentRegistration> registration = findComponentRegistration(id, registryFiles);
    if (!registration)
        return false;
    path = std::move(registration->path);
    return true;
}

bool findComponent(std::string_view id, std::filesystem::path& path)
{
    const std::vector<std::filesystem::path> files = componentRegistryFiles();
    return findComponent(id, path, files);
}

} // namespace morvex
