#include "formats/3ds/tds_textures.h"

#include "support/text/text.h"

#include <algorithm>
#include <system_error>

namespace morvex::tds {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t MaxStemChars = 8;
constexpr std::size_t MaxExtensionChars = 3;

bool pathExists(const fs::path& path)
{
    std::error_code error;
    return fs::exists(path, error);
}

bool isShortNameChar(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7F && std::string_view("\"*/:<>?\\|.").find(c) == std::string_view::npos;
}

// The characters of `text` that may stand in a short name, at most `limit`.
std::string shortPart(std::string_view text, std::size_t limit)
{
    std::string part;
    for (char c : text) {
        if (part.size() == limit)
            break;
        part += isShortNameChar(c) ? c : '_';
    }
    return part;
}

// Four-letter image extensions have well-known three-letter forms.
std::string shortExtension(std::string_view extension)
{
    if (equalsIgnoreCase(extension, "jpeg"))
        return extension.front() == 'J' ? "JPG" : "jpg";
    if (equalsIgnoreCase(extension, "tiff"))
        return extension.front() == 'T' ? "TIF" : "tif";
    return shortPart(extension, MaxExtensionChars);
}

} // namespace

const std::vector<std::string>& TextureFinder::listing(const fs::path& folder)
{
    auto [entry, added] = listings_.try_emplace(folder.string());
    if (added) {
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
            entry->second.push_back(it->path().filename().string());
    }
    return entry->second;
}

fs::path TextureFinder::find(std::string_view written)
{
    std::string relative(written);
    std::replace(relative.begin(), relative.end(), '\\', '/');
    const fs::path exact = folder_ / relative;
    if (pathExists(exact))
        return exact;
    fs::path found = folder_;
    for (const fs::path& part : fs::path(relative).relative_path()) {
        if (part.empty() || part == "." || part == ".." || pathExists(found / part)) {
            found /= part;
            continue;
        }
        const std::vector<std::string>& names = listing(found);
        const auto match = std::find_if(names.begin(), names.end(),
                                        [&](const std::string& name) { return equalsIgnoreCase(name, part.string()); });
        if (match == names.end())
            return exact;
        found /= *match;
    }
    return found;
}

bool isShortFileName(std::string_view name)
{
    const std::size_t dot = name.find('.');
    const std::string_view stem = name.substr(0, dot);
    const std::string_view extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    const auto allShort = [](std::string_view part) { return std::all_of(part.begin(), part.end(), isShortNameChar); };
    return !stem.empty() && stem.size() <= MaxStemChars && allShort(stem) &&
           (dot == std::string_view::npos ||
            (!extension.empty() && extension.size() <= MaxExtensionChars && allShort(extension)));
}

bool ShortTextureNames::taken(std::string_view name) const
{
    return std::any_of(copies_.begin(), copies_.end(),
                       [&](const Copy& copy) { return equalsIgnoreCase(copy.name, name); });
}

std::string ShortTextureNames::nameFor(const std::string& source)
{
    for (const Copy& copy : copies_)
        if (copy.source == source)
            return copy.name;
    const std::string fileName = fs::path(source).filename().string();
    std::string name;
    if (isShortFileName(fileName)) {
        name = fileName;
    } else {
        const std::size_t dot = fileName.find_last_of('.');
        const std::string_view whole(fileName);
        std::string stem = shortPart(whole.substr(0, dot), MaxStemChars);
        if (stem.empty())
            stem = "texture";
        const std::string extension = dot == std::string::npos ? std::string() : shortExtension(whole.substr(dot + 1));
        name = extension.empty() ? stem : stem + "." + extension;
    }
    // Names are compared without case: the readers of the format match
    // them so, and so do the file systems of the format's home.
    const std::size_t dot = name.find('.');
    const std::string stem = name.substr(0, dot);
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    for (unsigned n = 2; taken(name); ++n) {
        const std::string suffix = "~" + std::to_string(n);
        name = stem.substr(0, MaxStemChars - std::min(suffix.size(), MaxStemChars)) + suffix + extension;
    }
    copies_.push_back({source, name});
    return name;
}

} // namespace morvex::tds
