#include "external/components/component_setup.h"

#include "external/components/component_registry.h"
#include "support/settings/settings_store.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace morvex {
namespace {

constexpr std::string_view DownloadsSection = "Downloads";
constexpr std::string_view FallbackStart = "An install-on-demand component could not be installed automatically.";
constexpr std::string_view FallbackRunIt = " Please run it from the URL below then try again.";

std::filesystem::path absoluteVariable(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? std::filesystem::path(value) : std::filesystem::path();
}

// A host as written, without the slashes at its end, so that the fixed
// paths can follow it.
std::string hostOf(const IniDocument& document, std::string_view name)
{
    std::string host = document.find(DownloadsSection, name).value_or("");
    while (!host.empty() && (host.back() == '/' || host.back() == ' '))
        host.pop_back();
    return host;
}

std::vector<ComponentPublicKey> keysOf(std::string_view list)
{
    std::vector<ComponentPublicKey> keys;
    std::size_t start = 0;
    while (start < list.size()) {
        const std::size_t end = list.find_first_of(" ,\t", start);
        const std::string_view word = list.substr(start, end == std::string_view::npos ? end : end - start);
        if (const std::optional<ComponentPublicKey> key = parseComponentPublicKey(word))
            keys.push_back(*key);
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return keys;
}

} // namespace

ComponentDownloads readComponentDownloads(const std::filesystem::path& machineFile)
{
    const IniDocument document = SettingsStore(machineFile).snapshot();
    ComponentDownloads downloads;
    downloads.configurationFile = machineFile;
    downloads.versionHost = hostOf(document, "VersionHost");
    for (const char* name : {"DownloadHost1", "DownloadHost2"})
        if (std::string host = hostOf(document, name); !host.empty())
            downloads.downloadHosts.push_back(std::move(host));
    downloads.webHost = hostOf(document, "WebHost");
    downloads.trustedKeys = keysOf(document.find(DownloadsSection, "TrustedKeys").value_or(""));
    return downloads;
}

std::filesystem::path defaultComponentInstallRoot()
{
    std::filesystem::path base = absoluteVariable("XDG_DATA_HOME");
    if (base.empty()) {
        const std::filesystem::path home = absoluteVariable("HOME");
        base = (home.empty() ? std::filesystem::temp_directory_path() : home) / ".local" / "share";
    }
    return base / "Quellor Software" / "Morvex" / "Components";
}

std::filesystem::path defaultComponentLockFolder()
{
    std::error_code error;
    const std::filesystem::path runtime = absoluteVariable("XDG_RUNTIME_DIR");
    if (!runtime.empty() && std::filesystem::is_directory(runtime, error))
        return runtime;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error)
        base = "/tmp";
    return base / ("morvex-" + std::to_string(::getuid()));
}

ComponentSetup defaultComponentSetup()
{
    ComponentSetup setup;
    setup.registryFiles = componentRegistryFiles();
    setup.userRegistry = setup.registryFiles.front();
    // The user's own file never names download hosts or keys: what is
    // trusted is the administrator's decision.
    if (setup.registryFiles.size() > 1)
        setup.downloads = readComponentDownloads(setup.registryFiles.back());
    setup.installRoot = defaultComponentInstallRoot();
    setup.lockFolder = defaultComponentLockFolder();
    return setup;
}

std::span<const KnownComponent> knownComponents()
{
    static constexpr KnownComponent Components[] = {
        {"assimpext2", "external mesh converter", false},
        {"ifcconvert", "IFC converter", false},
        {"infozip3", "zip library", true},
    };
    return Components;
}

const KnownComponent* knownComponent(std::string_view id)
{
    for (const KnownComponent& component : knownComponents())
        if (component.id == id)
            return &component;
    return nullptr;
}

bool isValidComponentId(std::string_view id)
{
    if (id.empty() || id.size() > 64)
        return false;
    for (const char c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    return true;
}

std::string componentFallbackUrl(const ComponentDownloads& downloads, std::string_view id)
{
    const std::string& host = !downloads.webHost.empty()         ? downloads.webHost
                              : !downloads.downloadHosts.empty() ? downloads.downloadHosts.front()
                                                                 : downloads.webHost;
    if (host.empty())
        return {};
    return host + "/components/" + std::string(id) + ".zip";
}

namespace {

std::string fallbackText(const ComponentDownloads& downloads, std::string_view id, std::string_view beforeUrl)
{
    const std::string url = componentFallbackUrl(downloads, id);
    if (url.empty() && downloads.configurationFile.empty())
        return std::string(FallbackStart) + " No download location is configured.";
    if (url.empty())
        return std::string(FallbackStart) + " No download location is configured (section [Downloads] of " +
               downloads.configurationFile.string() + ").";
    return std::string(FallbackStart) + std::string(FallbackRunIt) + std::string(beforeUrl) + "   " + url;
}

} // namespace

std::string componentFallbackMessage(const ComponentDownloads& downloads, std::string_view id)
{
    return fallbackText(downloads, id, "\n");
}

std::string componentWindowFallbackMessage(const ComponentDownloads& downloads, std::string_view id)
{
    return fallbackText(downloads, id, "\n\n");
}

std::string componentFallbackPrompt(std::string_view id)
{
    return "An install-on-demand component could not be installed automatically and has been downloaded using your "
           "web browser.\n\nPlease locate the download folder and open the following file: " +
           std::string(id) + ".zip";
}

} // namespace morvex
