#include "external/components/component_package.h"

#include "external/components/component_registry.h"
#include "support/platform/files.h"
#include "support/settings/settings_store.h"
#include "support/zip/zip_component.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace morvex {
namespace {

constexpr std::size_t MaxVersionChars = 32;

// A folder removed with its contents when the object goes, unless kept.
class FolderGuard {
public:
    explicit FolderGuard(std::filesystem::path folder) : folder_(std::move(folder)) {}
    ~FolderGuard()
    {
        if (!folder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
    }
    FolderGuard(const FolderGuard&) = delete;
    FolderGuard& operator=(const FolderGuard&) = delete;
    void keep() { folder_.clear(); }

private:
    std::filesystem::path folder_;
};

// A new, empty folder in `parent` named "<prefix>XXXXXX"; empty on failure.
std::filesystem::path makeUniqueFolder(const std::filesystem::path& parent, std::string_view prefix)
{
    std::string pattern = (parent / (std::string(prefix) + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return {};
    return pattern;
}

bool isVersionText(std::string_view version)
{
    if (version.empty() || version.size() > MaxVersionChars || version.front() < '0' || version.front() > '9')
        return false;
    for (const char c : version)
        if (!((c >= '0' && c <= '9') || c == '.'))
            return false;
    return version.back() != '.';
}

OperationResult checkEntries(const std::vector<ZipEntryInfo>& entries, const ComponentSetup& setup, Failure* failure)
{
    if (entries.size() > setup.maxPackageEntries)
        return failWith(failure, FailureKind::Malformed,
                        "the package holds more than " + std::to_string(setup.maxPackageEntries) + " entries");
    std::uint64_t declared = 0;
    bool hasManifest = false;
    for (const ZipEntryInfo& entry : entries) {
        if (!isSafePackageName(entry.name))
            return failWith(failure, FailureKind::Malformed,
                            "the package names a file outside its folder: \"" + entry.name + "\"");
        if (entry.encrypted)
            return failWith(failure, FailureKind::Malformed, "the package holds an encrypted entry: " + entry.name);
        if (entry.size > setup.maxUnpackedBytes - declared)
            return failWith(failure, FailureKind::Malformed,
                            "the package unpacks to more than " + std::to_string(setup.maxUnpackedBytes) + " bytes");
        declared += entry.size;
        hasManifest |= entry.name == ComponentManifestName;
    }
    if (!hasManifest)
        return failWith(failure, FailureKind::Malformed,
                        "the package has no " + std::string(ComponentManifestName) + " at its top");
    return OperationResult::Success;
}

OperationResult unpackEntries(const ZipSource& source, const std::vector<ZipEntryInfo>& entries,
                              const std::filesystem::path& folder, const ComponentSetup& setup,
                              ProgressReporter& reporter, Failure* failure)
{
    std::uint64_t unpacked = 0;
    std::lock_guard lock(zipLock());
    for (const ZipEntryInfo& entry : entries) {
        if (entry.name.back() == '/')
            continue; // folders come with their files
        const OperationResult result =
            extractZipEntry(source, entry.name, folder, reporter, setup.maxUnpackedBytes - unpacked, failure);
        if (result != OperationResult::Success)
            return result;
        std::error_code error;
        unpacked += std::filesystem::file_size(folder / entry.name, error);
    }
    return OperationResult::Success;
}

OperationResult readManifest(const std::filesystem::path& folder, std::string_view id, ComponentManifest& manifest,
                             Failure* failure)
{
    const IniDocument document = SettingsStore(folder / ComponentManifestName).snapshot();
    manifest.id = document.find("Component", "Id").value_or("");
    manifest.version = document.find("Component", "Version").value_or("");
    manifest.path = document.find("Component", "Path").value_or("");
    if (manifest.id != id)
        return failWith(failure, FailureKind::Malformed,
                        "the package is of component \"" + manifest.id + "\", not \"" + std::string(id) + "\"");
    if (!isVersionText(manifest.version))
        return failWith(failure, FailureKind::Malformed,
                        "the package's version \"" + manifest.version + "\" is not a version number");
    if (manifest.path.empty())
        return OperationResult::Success;
    if (!isSafePackageName(manifest.path) || manifest.path.back() == '/')
        return failWith(failure, FailureKind::Malformed,
                        "the package registers a path outside its folder: \"" + manifest.path + "\"");
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::symlink_status(folder / manifest.path, error);
    if (std::filesystem::is_regular_file(status)) {
        if (::chmod((folder / manifest.path).c_str(), 0755) != 0)
            return failWith(failure, FailureKind::Unwritable, "cannot make the component executable");
        return OperationResult::Success;
    }
    if (std::filesystem::is_directory(status))
        return OperationResult::Success;
    return failWith(failure, FailureKind::Malformed,
                    "the package registers \"" + manifest.path + "\", which it does not hold");
}

// Renames the unpacked folder onto the version's folder, moving an earlier
// unpacking of that version aside first and removing it afterwards.
OperationResult moveIntoPlace(const std::filesystem::path& staging, const std::filesystem::path& target,
                              Failure* failure)
{
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(target, error))) {
        const std::filesystem::path aside = makeUniqueFolder(target.parent_path(), ".old-");
        if (aside.empty() || ::rename(target.c_str(), aside.c_str()) != 0)
            return failWith(failure, FailureKind::Unwritable,
                            "cannot replace " + target.string() + ": " + systemErrorText(errno));
        FolderGuard removeAside(aside);
    }
    if (::rename(staging.c_str(), target.c_str()) != 0)
        return failWith(failure, FailureKind::Unwritable,
                        "cannot create " + target.string() + ": " + systemErrorText(errno));
    return OperationResult::Success;
}

void removeOtherVersions(const std::filesystem::path& componentFolder, const std::filesystem::path& kept)
{
    std::error_code error;
    std::vector<std::filesystem::path> others;
    for (std::filesystem::directory_iterator walk(componentFolder, error), end; !error && walk != end;
         walk.increment(error))
        if (walk->path().filename() != kept.filename() && !walk->path().filename().string().starts_with(".unpack-"))
            others.push_back(walk->path());
    for (const std::filesystem::path& other : others)
        std::filesystem::remove_all(other, error);
}

} // namespace

bool isSafePackageName(std::string_view name)
{
    if (name.empty() || name.front() == '/' || name.find('\\') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos)
        return false;
    if (name.back() == '/')
        name.remove_suffix(1);
    std::size_t start = 0;
    while (true) {
        const std::size_t end = name.find('/', start);
        const std::string_view part = name.substr(start, end == std::string_view::npos ? end : end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

OperationResult installComponentPackage(const ComponentSetup& setup, std::string_view id, std::string_view package,
                                        ProgressReporter& reporter, InstalledPackage& installed, Failure* failure)
{
    const ZipSource source = ZipSource::inMemory(package);
    std::vector<ZipEntryInfo> entries;
    if (OperationResult listed = listZipEntries(source, entries, reporter, failure); listed != OperationResult::Success)
        return listed;
    if (checkEntries(entries, setup, failure) != OperationResult::Success)
        return OperationResult::Failure;

    const std::filesystem::path componentFolder = setup.installRoot / std::string(id);
    std::error_code error;
    std::filesystem::create_directories(componentFolder, error);
    const std::filesystem::path staging = makeUniqueFolder(componentFolder, ".unpack-");
    if (staging.empty())
        return failWith(failure, FailureKind::Unwritable,
                        "cannot create a folder in " + componentFolder.string() + ": " + systemErrorText(errno));
    FolderGuard removeStaging(staging);
    if (OperationResult unpacked = unpackEntries(source, entries, staging, setup, reporter, failure);
        unpacked != OperationResult::Success)
        return unpacked;
    if (readManifest(staging, id, installed.manifest, failure) != OperationResult::Success)
        return OperationResult::Failure;

    installed.folder = componentFolder / installed.manifest.version;
    if (moveIntoPlace(staging, installed.folder, failure) != OperationResult::Success)
        return OperationResult::Failure;
    removeStaging.keep();
    if (!installed.manifest.path.empty()) {
        const std::string section = componentSection(id);
        const SettingValue values[] = {{section, "Path", (installed.folder / installed.manifest.path).string()},
                                       {section, "Version", installed.manifest.version}};
        if (!SettingsStore(setup.userRegistry).writeValues(values)) {
            std::filesystem::remove_all(installed.folder, error);
            return failWith(failure, FailureKind::Unwritable, "cannot write " + setup.userRegistry.string());
        }
        removeOtherVersions(componentFolder, installed.folder);
    }
    return OperationResult::Success;
}

} // namespace morvex
