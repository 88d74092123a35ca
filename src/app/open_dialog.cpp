#include "app/open_dialog.h"

#include "formats/format_table.h"

#include <cstdlib>

namespace morvex {
namespace {

// "*.3ds;*.3mf;" for the formats a filter takes.
template <typename Take>
std::string patternsOf(Take take)
{
    std::string patterns;
    for (const FileFormat& format : fileFormats()) {
        if (!format.inOpenDialog || !take(format))
            continue;
        patterns += "*.";
        patterns += format.extension;
        patterns += ';';
    }
    return patterns;
}

} // namespace

std::filesystem::path inputDialogFolder(const SettingsStore& store)
{
    const std::string stored = store.readText("Options", "Input folder");
    if (!stored.empty())
        return stored;
    const char* home = std::getenv("HOME");
    const std::filesystem::path homeFolder = home != nullptr && home[0] == '/' ? home : "/";
    const char* pictures = std::getenv("XDG_PICTURES_DIR");
    std::error_code error;
    for (const std::filesystem::path& candidate :
         {pictures != nullptr && pictures[0] == '/' ? std::filesystem::path(pictures) : homeFolder / "Pictures",
          homeFolder / "Documents"})
        if (std::filesystem::is_directory(candidate, error))
            return candidate;
    return homeFolder;
}

bool rememberInputFolder(const SettingsStore& store, const std::filesystem::path& firstChosenFile)
{
    const std::filesystem::path folder = firstChosenFile.parent_path();
    return !folder.empty() && store.writeText("Options", "Input folder", folder.string());
}

std::vector<FileDialogFilter> modelFileDialogFilters()
{
    std::vector<FileDialogFilter> filters;
    filters.push_back({"All Files", "*.*"});
    filters.push_back({"Model Formats", patternsOf([](const FileFormat&) { return true; })});
    filters.push_back({"Popular Formats", patternsOf([](const FileFormat& format) { return format.popular; })});
    for (const FileFormat& format : fileFormats()) {
        if (!format.inOpenDialog)
            continue;
        const std::string pattern = "*." + std::string(format.extension);
        std::string upper(format.extension);
        for (char& c : upper)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        filters.push_back({upper + " File Format (" + pattern + ")", pattern});
    }
    return filters;
}

} // namespace morvex
