#pragma once

#include "support/core/operation_result.h"
#include "support/settings/settings_store.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// Which input files are models the converter takes, from the format table,
// and what is said of a file that could not be read. Extensions are taken
// with or without their dot, in any case.

namespace morvex {

// A model format that a conversion can read: a row of the format table.
bool isSupportedInput(std::string_view extension);
// Read by the program's own readers.
bool isNativeInput(std::string_view extension);

// The list row flags beside the status bits.
inline constexpr std::uint32_t SupportedFormatFlag = 0x10;
inline constexpr std::uint32_t NativeFormatFlag = 0x20;
std::uint32_t formatFlagsFor(std::string_view extension);

inline constexpr std::string_view UnsupportedFormatText = "Format may not be supported";
inline constexpr std::string_view NotConvertibleText =
    "File cannot be converted, may not be supported or may be corrupted.";
inline constexpr std::string_view UnsupportedMdlText =
    "Unsupported format. MDL formats IDPO, MDL2, MDL3, MDL4, MDL5 and MDL7 are supported.";

// Why a file that failed to read cannot be converted: the general text, or
// for an ".mdl" file starting with "IDST" or "TSDI" the MDL text.
std::string_view notConvertibleReason(const std::filesystem::path& file);

// After the preview has read a file: the "Preview" section is emptied, and
// a failed read stores its reason as "Status". The reason, or empty.
std::string recordPreviewOutcome(const SettingsStore& store, const std::filesystem::path& file,
                                 OperationResult readResult);
std::string storedPreviewReason(const SettingsStore& store);

} // namespace morvex
