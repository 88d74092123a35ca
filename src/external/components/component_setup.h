#pragma once

#include "external/components/component_signature.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Where component installs come from and go to. The download locations and
// the trusted keys are read only from the machine-wide Components.ini (the
// administrator's, beside the programs), section [Downloads]:
//
//   [Downloads]
//   VersionHost=http://updates.example.org
//   DownloadHost1=http://dl1.example.org
//   DownloadHost2=http://dl2.example.org
//   WebHost=http://www.example.org
//   TrustedKeys=<64 hex digits> <64 hex digits> ...
//
// A host is a base URL ("http://host[:port][/prefix]"); the paths below it
// are fixed: /versions/components/<id>.txt on the version host,
// /components/<id>.zip and /components/<id>.zip.sig on the download hosts
// and /components/<id>.zip on the web host. Without a version host, a
// download host or a trusted key the program is offline for components.

namespace morvex {

struct ComponentDownloads {
    std::string versionHost;
    std::vector<std::string> downloadHosts; // tried in order
    std::string webHost;
    std::vector<ComponentPublicKey> trustedKeys;
    std::filesystem::path configurationFile; // where these came from

    bool configured() const { return !versionHost.empty() && !downloadHosts.empty() && !trustedKeys.empty(); }
};

// The [Downloads] section of that file; empty fields for what it does not
// name. Keys that are not 64 hexadecimal digits are left out.
ComponentDownloads readComponentDownloads(const std::filesystem::path& machineFile);

struct ComponentSetup {
    // The registry files in the order they are read, the user's first.
    std::vector<std::filesystem::path> registryFiles;
    // The user's Components.ini, where installs register.
    std::filesystem::path userRegistry;
    // The user's data folder for unpacked components: <root>/<id>/<version>.
    std::filesystem::path installRoot;
    // A private folder for the per-component lock files.
    std::filesystem::path lockFolder;
    ComponentDownloads downloads;

    // How long an install may take to become findable.
    std::uint32_t registrationPollMilliseconds = 10000;
    std::uint64_t maxPackageBytes = 256ull << 20;
    std::uint64_t maxUnpackedBytes = 1ull << 30;
    std::uint32_t maxPackageEntries = 10000;
    // The online test's wait for a connection to the version host.
    std::uint32_t onlineTestMilliseconds = 5000;

    // The window's part of the fallback: open the URL in the browser, and
    // ask whether to look again ("Continue") or give up. Without them the
    // fallback only posts its message.
    std::function<void(const std::string& url)> openUrl;
    std::function<bool(const std::string& text)> askToContinue;
};

// $XDG_DATA_HOME (else ~/.local/share)/Quellor Software/Morvex/Components.
std::filesystem::path defaultComponentInstallRoot();
// $XDG_RUNTIME_DIR when it is a folder, else a 0700 folder
// "morvex-<uid>" in the temporary folder.
std::filesystem::path defaultComponentLockFolder();

// The setup of this user and this program: componentRegistryFiles(), the
// downloads of the machine-wide file among them, the folders above.
ComponentSetup defaultComponentSetup();

// The components this program uses, in the order they are listed.
struct KnownComponent {
    std::string_view id;
    std::string_view name;
    bool builtIn; // linked into the program: nothing to install
};
std::span<const KnownComponent> knownComponents();
const KnownComponent* knownComponent(std::string_view id);

// Identifiers name files and sections: 1 to 64 of a-z, 0-9, '-' and '_'.
bool isValidComponentId(std::string_view id);

// "<host>/components/<id>.zip" of the web host (else the first download
// host); empty when neither is configured.
std::string componentFallbackUrl(const ComponentDownloads& downloads, std::string_view id);

// The texts the user sees when an install fails.
std::string componentFallbackMessage(const ComponentDownloads& downloads, std::string_view id);
std::string componentFallbackPrompt(std::string_view id);
std::string componentWindowFallbackMessage(const ComponentDownloads& downloads, std::string_view id);
inline constexpr std::string_view ComponentInstallTitle = "Install-on-Demand";
inline constexpr std::string_view ComponentFallbackPromptTitle = "Install-on-demand component could not be installed";
inline constexpr std::string_view ComponentSignatureMessage =
    "Cannot verify the install-on-demand component signature. Please contact Quellor support.";

} // namespace morvex
