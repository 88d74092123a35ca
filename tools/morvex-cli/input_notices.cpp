#include "input_notices.h"

#include "app/media_kinds.h"
#include "support/text/json.h"
#include "support/text/text.h"
#include "terminal.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <span>
#include <unordered_set>

namespace morvex::cli {
namespace {

// An OBJ names its material libraries near the top; a huge OBJ is not read
// through to find them.
constexpr std::size_t ObjHeadBytes = 1 << 16;

std::string normalKey(const std::filesystem::path& path)
{
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return (error ? path : absolute).lexically_normal().native();
}

// The last word of "keyword ... value" lines whose keyword starts with one
// of `keywords`, resolved against `folder`.
void collectReferences(const std::filesystem::path& file, std::size_t limit, std::span<const std::string_view> keywords,
                       std::vector<std::filesystem::path>& found)
{
    std::ifstream in(file, std::ios::binary);
    std::string line;
    std::size_t read = 0;
    while (read < limit && std::getline(in, line)) {
        read += line.size() + 1;
        const std::string_view text = trimSpaces(line);
        const bool wanted = std::any_of(keywords.begin(), keywords.end(),
                                        [&](std::string_view keyword) { return text.starts_with(keyword); });
        const std::size_t space = text.find_last_of(" \t");
        if (wanted && space != std::string_view::npos) {
            std::string_view name = trimSpaces(text.substr(space + 1));
            while (!name.empty() && name.back() == '\r')
                name.remove_suffix(1);
            found.push_back(file.parent_path() / std::string(name));
        }
    }
}

// The material libraries and textures the OBJ files of the walk refer to.
std::unordered_set<std::string> objCompanions(const InputCollection& inputs)
{
    static constexpr std::array<std::string_view, 1> MaterialLibrary = {"mtllib"};
    static constexpr std::array<std::string_view, 5> TextureMaps = {"map_", "bump", "disp", "decal", "norm"};
    std::unordered_set<std::string> companions;
    std::vector<std::filesystem::path> libraries, textures;
    for (const std::filesystem::path& file : inputs.files) {
        if (!equalsIgnoreCase(extensionOf(file.string()), ".obj"))
            continue;
        libraries.clear();
        collectReferences(file, ObjHeadBytes, MaterialLibrary, libraries);
        for (const std::filesystem::path& library : libraries) {
            companions.insert(normalKey(library));
            textures.clear();
            collectReferences(library, SIZE_MAX, TextureMaps, textures);
            for (const std::filesystem::path& texture : textures)
                companions.insert(normalKey(texture));
        }
    }
    return companions;
}

// What a left-out file is, as counted: "image", "archive", ...
std::string_view kindWord(const InputNotice& notice)
{
    if (notice.kind == InputNotice::Kind::Unsupported)
        return "unsupported";
    switch (mediaKindOf(extensionOf(notice.path.filename().string()))) {
    case MediaKind::Audio: return "audio";
    case MediaKind::Video: return "video";
    case MediaKind::Image: return "image";
    case MediaKind::Compressed: return "archive";
    case MediaKind::Document: return "text";
    case MediaKind::None: break;
    }
    return "other";
}

// "9 images", "1 text", "2 audio files".
std::string counted(std::size_t count, std::string_view kind)
{
    const bool noPlural = kind == "audio" || kind == "video";
    return std::to_string(count) + " " + std::string(kind) +
           (noPlural ? (count == 1 ? " file" : " files") : (count == 1 ? "" : "s"));
}

std::string noticeJson(const InputNotice& notice, std::string_view kind)
{
    std::string out = "{\"skipped\":";
    appendJsonPath(out, notice.path.string());
    out += ",\"kind\":";
    appendJsonString(out, kind);
    out += ",\"reason\":";
    appendJsonString(out, notice.kind == InputNotice::Kind::Media ? notice.title : notice.text);
    appendJsonHost(out);
    return out + "}\n";
}

} // namespace

void reportInputNotices(const InputCollection& inputs, ResultStyle style)
{
    static constexpr std::array<std::string_view, 6> OtherMedia = {"image", "archive", "text",
                                                                   "audio", "video",   "other"};
    std::array<std::size_t, OtherMedia.size()> mediaCounts{};
    std::size_t unsupported = 0;
    std::vector<std::string> unsupportedExtensions;
    std::string json;
    const std::unordered_set<std::string> companions = objCompanions(inputs);
    ErrorOutput& output = ErrorOutput::instance();
    for (const InputNotice& notice : inputs.notices) {
        if (notice.kind == InputNotice::Kind::Missing || notice.kind == InputNotice::Kind::Unreadable) {
            output.write("morvex-cli: cannot use '" + displayPath(notice.path.string()) + "': " + notice.text + "\n");
            continue;
        }
        if (companions.count(normalKey(notice.path)) != 0)
            continue;
        const std::string_view kind = kindWord(notice);
        if (style.json)
            json += noticeJson(notice, kind);
        if (style.verbose && !style.quiet)
            output.write("skipped (" + std::string(kind) + "): " + displayPath(notice.path.string()) + "\n");
        if (notice.kind == InputNotice::Kind::Unsupported) {
            ++unsupported;
            const std::string extension = extensionOf(notice.path.filename().string());
            if (std::find(unsupportedExtensions.begin(), unsupportedExtensions.end(), extension) ==
                unsupportedExtensions.end())
                unsupportedExtensions.push_back(extension);
            continue;
        }
        for (std::size_t i = 0; i < OtherMedia.size(); ++i)
            mediaCounts[i] += OtherMedia[i] == kind;
    }
    if (!json.empty()) {
        std::fwrite(json.data(), 1, json.size(), stdout);
        std::fflush(stdout);
    }
    if (style.quiet)
        return;
    std::size_t media = 0;
    std::string parts;
    for (std::size_t i = 0; i < OtherMedia.size(); ++i) {
        if (mediaCounts[i] == 0)
            continue;
        media += mediaCounts[i];
        parts += (parts.empty() ? "" : ", ") + counted(mediaCounts[i], OtherMedia[i]);
    }
    if (media != 0)
        output.write("skipped " + std::to_string(media) +
                     (media == 1 ? " file that is not a model: " : " files that are not models: ") + parts + "\n");
    if (unsupported != 0) {
        std::string extensions;
        for (const std::string& extension : unsupportedExtensions)
            extensions += (extensions.empty() ? "" : ", ") + displayPath(extension);
        output.write("skipped " + std::to_string(unsupported) + (unsupported == 1 ? " file" : " files") +
                     " of formats that may not be supported (" + extensions + "; see 'morvex-cli formats')\n");
    }
}

bool everyPathUsed(const InputCollection& inputs)
{
    return std::none_of(inputs.notices.begin(), inputs.notices.end(), [](const InputNotice& notice) {
        return notice.kind == InputNotice::Kind::Missing || notice.kind == InputNotice::Kind::Unreadable;
    });
}

} // namespace morvex::cli
