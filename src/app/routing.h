#pragma once

#include "support/core/operation_result.h"
#include "support/settings/settings_store.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// Every input file is judged by its extension alone: the text from the last
// dot of the file name, compared without regard to case. The functions
// below take it with or without its dot.

// Files of other media, recognised so that they are not added as models.
enum class MediaKind { None, Audio, Video, Image, Compressed, Document };

// The lists are tested in the order audio, video, image, compressed,
// document, and the first that holds the extension decides (".ac3" is
// audio, ".raw" an image although a model reader would take it).
MediaKind mediaKindOf(std::string_view extension);

// "Audio File Selected", ...; empty for MediaKind::None.
std::string_view mediaNoticeTitle(MediaKind kind);
// The notice that names a file of another kind which is not added.
std::string mediaNoticeText(MediaKind kind, const std::filesystem::path& file);

// A model format that a conversion can read (".3dp" and the routed list).
bool isSupportedInput(std::string_view extension);
// Read by the program's own readers: 3dp, 3ds, 3mf, obj, ply, stl.
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

// The filter list of the "Locate model files" dialog, in order.
struct FileDialogFilter {
    std::string name;
    std::string patterns;
};
std::vector<FileDialogFilter> modelFileDialogFilters();

// Where the "Locate model files" dialog starts: the stored "Input folder",
// else the user's pictures folder, else the documents folder, else home.
std::filesystem::path inputDialogFolder(const SettingsStore& store);
// The folder of the first chosen file becomes the new start folder.
bool rememberInputFolder(const SettingsStore& store, const std::filesystem::path& firstChosenFile);

} // namespace morvex
