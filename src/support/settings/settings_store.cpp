#include "support/settings/settings_store.h"

#include "support/platform/files.h"
#include "support/text/numbers.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <unistd.h>

namespace morvex {
namespace {

constexpr const char* CompanyFolder = "Quellor Software";
constexpr const char* LegacyCompanyFolder = "Quellor Legacy";
// Anything larger is not a settings file of ours; it is left alone.
constexpr std::uint64_t MaxSettingsFileBytes = 8u << 20;

enum class LoadOutcome { Loaded, Missing, Unreadable };

LoadOutcome loadDocument(const std::filesystem::path& file, IniDocument& document)
{
    MappedFile mapped;
    if (mapped.open(file) != OperationResult::Success) {
        // Asked only after a failed open, so a normal read looks at the file once.
        std::error_code error;
        return std::filesystem::exists(file, error) || error ? LoadOutcome::Unreadable : LoadOutcome::Missing;
    }
    if (mapped.size() > MaxSettingsFileBytes)
        return LoadOutcome::Unreadable;
    document = IniDocument::parse(mapped.view());
    return LoadOutcome::Loaded;
}

std::filesystem::path absoluteEnvironmentPath(const char* variable)
{
    const char* value = std::getenv(variable);
    if (value == nullptr || value[0] != '/')
        return {};
    return value;
}

// Holds an exclusive flock on the lock file for the lifetime of the object.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& lockFile)
    {
        descriptor_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (descriptor_ < 0)
            return;
        while (::flock(descriptor_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(descriptor_);
                descriptor_ = -1;
                return;
            }
        }
    }
    ~FileLock()
    {
        if (descriptor_ >= 0)
            ::close(descriptor_); // releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool held() const { return descriptor_ >= 0; }

private:
    int descriptor_ = -1;
};

// Where writes go: a settings file that is a symbolic link (a managed
// dotfile) is updated at its target rather than replaced by a plain file.
std::filesystem::path writeTarget(const std::filesystem::path& file)
{
    std::error_code error;
    if (std::filesystem::is_symlink(file, error)) {
        const std::filesystem::path target = std::filesystem::weakly_canonical(file, error);
        if (!error)
            return target;
    }
    return file;
}

// Leading spaces and tabs are skipped before a number, as the C library's
// conversions do; a missing value gives an empty text.
std::string_view textAfterBlanks(const std::optional<std::string>& text)
{
    if (!text)
        return {};
    std::string_view view = *text;
    while (!view.empty() && (view.front() == ' ' || view.front() == '\t'))
        view.remove_prefix(1);
    return view;
}

std::string itemName(std::size_t number)
{
    return "Item " + std::to_string(number);
}

std::vector<std::string> recentFoldersOf(const IniDocument& document)
{
    const std::int32_t count = settingToInt(document.find("Output folder", "Count"), 0);
    const std::size_t limit =
        count < 1 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(count), MaxRecentOutputFolders);
    std::vector<std::string> folders;
    for (std::size_t i = 1; i <= limit; ++i) {
        std::optional<std::string> item = document.find("Output folder", itemName(i));
        if (!item || item->empty())
            break;
        folders.push_back(std::move(*item));
    }
    return folders;
}

bool storeRecentFolders(IniDocument& document, const std::vector<std::string>& folders)
{
    std::size_t written = 0;
    for (const std::string& folder : folders) {
        if (written == MaxRecentOutputFolders)
            break;
        if (!document.set("Output folder", itemName(written + 1), folder))
            return false;
        ++written;
    }
    return document.set("Output folder", "Count", std::to_string(written));
}

} // namespace

bool settingToBool(const std::optional<std::string>& text, bool fallback)
{
    if (!text || text->empty())
        return fallback;
    return text->front() != '0';
}

std::int32_t settingToInt(const std::optional<std::string>& text, std::int32_t fallback)
{
    const std::string_view digits = textAfterBlanks(text);
    const char* cursor = digits.data();
    const char* end = cursor + digits.size();
    // A plain decimal conversion: digits after an optional sign ('+' too,
    // as the C library's conversion takes it), the rest ignored.
    std::int64_t value = 0;
    if (!parseInt64(cursor, end, value))
        return fallback;
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

double settingToNumber(const std::optional<std::string>& text, double fallback)
{
    const std::string_view digits = textAfterBlanks(text);
    const char* cursor = digits.data();
    const char* end = cursor + digits.size();
    double value = 0.0;
    if (!parseDouble(cursor, end, value) || !std::isfinite(value))
        return fallback;
    return value;
}

std::string numberToSetting(double value)
{
    char text[MaxNumberChars];
    return std::string(text, formatFixed(text, value, 8));
}

SettingsStore::SettingsStore(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path SettingsStore::userFolder()
{
    std::filesystem::path base = absoluteEnvironmentPath("XDG_CONFIG_HOME");
    if (base.empty()) {
        const std::filesystem::path home = absoluteEnvironmentPath("HOME");
        base = (home.empty() ? std::filesystem::temp_directory_path() : home) / ".config";
    }
    return base / CompanyFolder;
}

SettingsStore SettingsStore::forUser()
{
    return SettingsStore(userFolder() / "Morvex.ini");
}

IniDocument SettingsStore::snapshot() const
{
    IniDocument document;
    loadDocument(file_, document);
    return document;
}

std::string SettingsStore::readText(std::string_view section, std::string_view name, std::string_view fallback) const
{
    std::optional<std::string> text = snapshot().find(section, name);
    return text ? std::move(*text) : std::string(fallback);
}

bool SettingsStore::readBool(std::string_view section, std::string_view name, bool fallback) const
{
    return settingToBool(snapshot().find(section, name), fallback);
}

std::int32_t SettingsStore::readInt(std::string_view section, std::string_view name, std::int32_t fallback) const
{
    return settingToInt(snapshot().find(section, name), fallback);
}

double SettingsStore::readNumber(std::string_view section, std::string_view name, double fallback) const
{
    return settingToNumber(snapshot().find(section, name), fallback);
}

bool SettingsStore::valueExists(std::string_view section, std::string_view name) const
{
    return snapshot().find(section, name).has_value();
}

bool SettingsStore::update(const std::function<bool(IniDocument&)>& change) const
{
    const std::filesystem::path target = writeTarget(file_);
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);
    if (error)
        return false;
    FileLock lock(target.string() + ".lock");
    if (!lock.held())
        return false;

    IniDocument document;
    // A file that exists but cannot be read is never replaced: the values
    // in it would be lost.
    if (loadDocument(target, document) == LoadOutcome::Unreadable)
        return false;
    if (!change(document))
        return false;

    AtomicFileWriter writer;
    if (writer.open(target) != OperationResult::Success)
        return false;
    writer.write(document.serialize());
    return writer.commit() == OperationResult::Success;
}

bool SettingsStore::writeValues(std::span<const SettingValue> values) const
{
    return update([&](IniDocument& document) {
        for (const SettingValue& value : values)
            if (!document.set(value.section, value.name, value.text))
                return false;
        return true;
    });
}

bool SettingsStore::writeText(std::string_view section, std::string_view name, std::string_view text) const
{
    const SettingValue value{std::string(section), std::string(name), std::string(text)};
    return writeValues(std::span<const SettingValue>(&value, 1));
}

bool SettingsStore::writeBool(std::string_view section, std::string_view name, bool value) const
{
    return writeText(section, name, value ? "1" : "0");
}

bool SettingsStore::writeInt(std::string_view section, std::string_view name, std::int32_t value) const
{
    return writeText(section, name, std::to_string(value));
}

bool SettingsStore::writeNumber(std::string_view section, std::string_view name, double value) const
{
    if (!std::isfinite(value))
        return false;
    return writeText(section, name, numberToSetting(value));
}

bool SettingsStore::deleteSection(std::string_view section) const
{
    return update([&](IniDocument& document) {
        document.removeSection(section);
        return true;
    });
}

bool SettingsStore::deleteValues(std::span<const SettingValue> values) const
{
    return update([&](IniDocument& document) {
        for (const SettingValue& value : values)
            document.remove(value.section, value.name);
        return true;
    });
}

std::vector<std::string> loadRecentOutputFolders(const SettingsStore& store)
{
    return recentFoldersOf(store.snapshot());
}

bool saveRecentOutputFolders(const SettingsStore& store, const std::vector<std::string>& folders)
{
    return store.update([&](IniDocument& document) { return storeRecentFolders(document, folders); });
}

bool addRecentOutputFolder(const SettingsStore& store, std::string_view folder)
{
    if (folder.empty())
        return false;
    bool listed = false;
    const bool written = store.update([&](IniDocument& document) {
        std::vector<std::string> folders = recentFoldersOf(document);
        for (const std::string& known : folders)
            if (known == folder)
                listed = true;
        if (listed)
            return false; // nothing to write
        folders.insert(folders.begin(), std::string(folder));
        if (folders.size() > MaxRecentOutputFolders)
            folders.resize(MaxRecentOutputFolders);
        return storeRecentFolders(document, folders);
    });
    return written || listed;
}

SharedSettingRoots defaultSharedSettingRoots()
{
    SharedSettingRoots roots;
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    std::string_view list = dirs != nullptr && dirs[0] != '\0' ? dirs : "/etc/xdg";
    while (!list.empty()) {
        const std::size_t colon = list.find(':');
        const std::string_view entry = list.substr(0, colon);
        if (!entry.empty() && entry.front() == '/')
            roots.machineRoots.emplace_back(entry);
        if (colon == std::string_view::npos)
            break;
        list.remove_prefix(colon + 1);
    }
    roots.userRoot = SettingsStore::userFolder().parent_path();
    return roots;
}

SharedSetting readSharedSetting(std::string_view product, std::string_view name, std::string_view fallbackText,
                                bool tryLegacy, const SharedSettingRoots& roots)
{
    SharedSetting result;
    result.text = fallbackText;
    // The product names a file; it must not lead anywhere else.
    if (product.empty() || product.find('/') != std::string_view::npos || product == "." || product == "..")
        return result;

    std::vector<std::filesystem::path> ordered = roots.machineRoots;
    if (!roots.userRoot.empty())
        ordered.push_back(roots.userRoot);
    const std::string fileName = std::string(product) + ".ini";
    const auto lookIn = [&](const char* company) {
        for (const std::filesystem::path& root : ordered) {
            std::optional<std::string> text =
                SettingsStore(root / company / fileName).snapshot().find("Settings", name);
            if (text) {
                result.found = true;
                result.text = std::move(*text);
                return true;
            }
        }
        return false;
    };
    if (!lookIn(CompanyFolder) && tryLegacy)
        lookIn(LegacyCompanyFolder);
    return result;
}

} // namespace morvex
