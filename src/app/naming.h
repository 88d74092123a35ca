#pragma once

#include "support/settings/settings_store.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace morvex {

// Numbered output names: a template in which "%filename%" stands for the
// source name without its extension and "%number%" for 1, 2, 3, ...
inline constexpr std::string_view FileNameMarker = "%filename%";
inline constexpr std::string_view NumberMarker = "%number%";
inline constexpr std::string_view DefaultNameTemplate = "%filename%-%number%";
inline constexpr std::uint32_t MaxNameNumber = 65534;

inline constexpr std::string_view InvalidFormatTitle = "Invalid Format";
inline constexpr std::string_view MissingMarkersText = "Format must contain both %filename% and %number%.";
inline constexpr std::string_view InvalidFormatText =
    "Your file number append format is incorrect, please check the syntax.";

// The template with both markers replaced in one pass, so that marker text
// inside the file name itself is never replaced again.
std::string applyNameTemplate(std::string_view nameTemplate, std::string_view stem, std::uint32_t number);

// The first of  " * / : < > ? \ |  in the template, or 0.
char firstInvalidNameCharacter(std::string_view nameTemplate);

enum class NameTemplateProblem { None, MissingMarker, InvalidCharacter };
// Both markers (with case) first, then the characters.
NameTemplateProblem checkNameTemplate(std::string_view nameTemplate);

// The options page's example: "X is an invalid character", or the template
// applied to "model" with 1, 2 and 3, each + ".3dp" on its own line, then
// "etc.".
std::string nameTemplateExample(std::string_view nameTemplate);

// The template a run uses: the stored one when it is valid, otherwise the
// default, so that a hand-edited template can neither lead outside the
// output folder nor name the same file 65534 times.
std::string usableNameTemplate(std::string_view nameTemplate);
std::string storedNameTemplate(const SettingsStore& store);

// True when a file, folder or link (dangling or not) of that name exists,
// or when the name cannot be looked at.
bool outputNameTaken(const std::filesystem::path& path);

// True when `output` is a regular file modified later than `source`. Outputs
// are moved into place only once complete, so one that exists is whole; one
// older than its source was made from an earlier version of it.
bool outputComplete(const std::filesystem::path& source, const std::filesystem::path& output);

// The first numbered name beside `path` (same folder and extension) that
// does not exist as a file, folder or link; nothing when all are taken.
std::optional<std::filesystem::path> nextFreeName(const std::filesystem::path& path, std::string_view nameTemplate);
// The same with the caller's test of a taken name.
std::optional<std::filesystem::path> nextFreeName(const std::filesystem::path& path, std::string_view nameTemplate,
                                                  const std::function<bool(const std::filesystem::path&)>& taken);

} // namespace morvex
