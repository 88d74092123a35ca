#pragma once

#include "support/settings/ini_document.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// One value to write, for writes of several values at once.
struct SettingValue {
    std::string section;
    std::string name;
    std::string text;
};

// Per-user settings: one INI-style file, one [section] per settings group,
// every value text. Nothing is cached: every read goes to the file, so a
// value written by another thread or another process is seen at once.
// Writes read the file, change it and rename a complete new file into place
// while holding an advisory lock on a lock file beside it, so two processes
// writing at once never lose each other's values and a reader never sees a
// half-written file. A missing, unreadable, empty or damaged file gives the
// defaults; a write that cannot be made returns false and changes nothing.
class SettingsStore {
public:
    explicit SettingsStore(std::filesystem::path file);

    // $XDG_CONFIG_HOME/Quellor Software (~/.config when the variable is
    // unset or not absolute).
    static std::filesystem::path userFolder();
    // The program's own file, Morvex.ini in userFolder().
    static SettingsStore forUser();

    const std::filesystem::path& filePath() const { return file_; }

    std::string readText(std::string_view section, std::string_view name, std::string_view fallback = {}) const;
    bool writeText(std::string_view section, std::string_view name, std::string_view text) const;

    // "1"/"0"; any text whose first character is not '0' reads true.
    bool readBool(std::string_view section, std::string_view name, bool fallback) const;
    bool writeBool(std::string_view section, std::string_view name, bool value) const;

    // Signed decimal. Text that does not start with a number gives the
    // default; digits followed by other text give the digits' value.
    std::int32_t readInt(std::string_view section, std::string_view name, std::int32_t fallback) const;
    bool writeInt(std::string_view section, std::string_view name, std::int32_t value) const;

    // Written with eight decimals; read as a plain decimal number. Text that
    // is no finite number gives the default.
    double readNumber(std::string_view section, std::string_view name, double fallback) const;
    bool writeNumber(std::string_view section, std::string_view name, double value) const;

    bool valueExists(std::string_view section, std::string_view name) const;
    bool deleteSection(std::string_view section) const;
    // Removes the values (section and name of each; the texts are not
    // looked at) in one atomic update, so that their defaults apply again.
    bool deleteValues(std::span<const SettingValue> values) const;

    // Several values in one atomic update.
    bool writeValues(std::span<const SettingValue> values) const;

    // Reads the file once, for callers that need several values that belong
    // together. The copy is the caller's; it is never reused by the store.
    IniDocument snapshot() const;

    // Read-modify-write under the lock: `change` edits the current content
    // and returns false to abandon the update.
    bool update(const std::function<bool(IniDocument&)>& change) const;

private:
    std::filesystem::path file_;
};

// Typed decoding shared by the store and by callers holding a snapshot.
bool settingToBool(const std::optional<std::string>& text, bool fallback);
std::int32_t settingToInt(const std::optional<std::string>& text, std::int32_t fallback);
double settingToNumber(const std::optional<std::string>& text, double fallback);
std::string numberToSetting(double value); // "%.8f"

// Settings of the maker's other components, read from
// <root>/Quellor Software/<product>.ini, section [Settings]: the
// machine-wide roots first ($XDG_CONFIG_DIRS, default /etc/xdg), then the
// user's ($XDG_CONFIG_HOME); with `fallback`, the same under
// "Quellor Legacy" when neither holds the value.
struct SharedSettingRoots {
    std::vector<std::filesystem::path> machineRoots;
    std::filesystem::path userRoot;
};
SharedSettingRoots defaultSharedSettingRoots();

struct SharedSetting {
    bool found = false;
    std::string text; // the default when not found
};
SharedSetting readSharedSetting(std::string_view product, std::string_view name, std::string_view fallbackText,
                                bool tryLegacy, const SharedSettingRoots& roots = defaultSharedSettingRoots());

// The recent output folders, most recent first, at most ten.
inline constexpr std::size_t MaxRecentOutputFolders = 10;
std::vector<std::string> loadRecentOutputFolders(const SettingsStore& store);
bool saveRecentOutputFolders(const SettingsStore& store, const std::vector<std::string>& folders);
// Puts a folder at the front unless it is listed already (compared exactly);
// the oldest entry falls off. Done as one locked update.
bool addRecentOutputFolder(const SettingsStore& store, std::string_view folder);

} // namespace morvex
