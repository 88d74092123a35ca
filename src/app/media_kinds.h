#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace morvex {

// Files of other media, recognised by extension so that they are not added
// as models. Extensions are taken with or without their dot, in any case.
enum class MediaKind { None, Audio, Video, Image, Compressed, Document };

// The lists are tested in the order audio, video, image, compressed,
// document, and the first that holds the extension decides (".ac3" is
// audio, ".raw" an image although a model reader would take it).
MediaKind mediaKindOf(std::string_view extension);

// "Audio File Selected", ...; empty for MediaKind::None.
std::string_view mediaNoticeTitle(MediaKind kind);
// The notice that names a file of another kind which is not added.
std::string mediaNoticeText(MediaKind kind, const std::filesystem::path& file);

} // namespace morvex
