#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace morvex {

// The target of a Windows shortcut (".lnk") that names a local path this
// system can reach: a POSIX path as it is, or one on drive Z:, which the
// Windows compatibility layer maps to the root folder. Nothing for a
// shortcut without a local target, to another drive, or that is damaged.
std::optional<std::filesystem::path> shortcutTarget(std::string_view bytes);
std::optional<std::filesystem::path> resolveShortcutFile(const std::filesystem::path& file);

} // namespace morvex
