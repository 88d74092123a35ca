#include "app/naming.h"

#include <cerrno>
#include <sys/stat.h>

namespace morvex {
namespace {

constexpr std::string_view InvalidNameCharacters = "\"*/:<>?\\|";

} // namespace

bool outputNameTaken(const std::filesystem::path& path)
{
    struct stat info {};
    // A dangling link counts as taken: writing there would replace it.
    return ::lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

bool outputComplete(const std::filesystem::path& source, const std::filesystem::path& output)
{
    struct stat sourceInfo {};
    struct stat outputInfo {};
    if (::stat(source.c_str(), &sourceInfo) != 0 || ::stat(output.c_str(), &outputInfo) != 0 ||
        !S_ISREG(outputInfo.st_mode))
        return false;
    const timespec& made = outputInfo.st_mtim;
    const timespec& changed = sourceInfo.st_mtim;
    return made.tv_sec > changed.tv_sec || (made.tv_sec == changed.tv_sec && made.tv_nsec > changed.tv_nsec);
}

std::string applyNameTemplate(std::string_view nameTemplate, std::string_view stem, std::uint32_t number)
{
    const std::string digits = std::to_string(number);
    std::string name;
    name.reserve(nameTemplate.size() + stem.size() + digits.size());
    std::size_t at = 0;
    while (at < nameTemplate.size()) {
        if (nameTemplate.compare(at, FileNameMarker.size(), FileNameMarker) == 0) {
            name += stem;
            at += FileNameMarker.size();
        } else if (nameTemplate.compare(at, NumberMarker.size(), NumberMarker) == 0) {
            name += digits;
            at += NumberMarker.size();
        } else {
            name += nameTemplate[at++];
        }
    }
    return name;
}

char firstInvalidNameCharacter(std::string_view nameTemplate)
{
    const std::size_t at = nameTemplate.find_first_of(InvalidNameCharacters);
    return at == std::string_view::npos ? '\0' : nameTemplate[at];
}

NameTemplateProblem checkNameTemplate(std::string_view nameTemplate)
{
    if (nameTemplate.find(FileNameMarker) == std::string_view::npos ||
        nameTemplate.find(NumberMarker) == std::string_view::npos)
        return NameTemplateProblem::MissingMarker;
    if (firstInvalidNameCharacter(nameTemplate) != '\0')
        return NameTemplateProblem::InvalidCharacter;
    return NameTemplateProblem::None;
}

std::string nameTemplateExample(std::string_view nameTemplate)
{
    if (const char invalid = firstInvalidNameCharacter(nameTemplate); invalid != '\0')
        return std::string(1, invalid) + " is an invalid character";
    std::string example;
    for (std::uint32_t number = 1; number <= 3; ++number)
        example += applyNameTemplate(nameTemplate, "model", number) + ".3dp\n";
    return example + "etc.";
}

std::string usableNameTemplate(std::string_view nameTemplate)
{
    return std::string(checkNameTemplate(nameTemplate) == NameTemplateProblem::None ? nameTemplate
                                                                                    : DefaultNameTemplate);
}

std::string storedNameTemplate(const SettingsStore& store)
{
    return usableNameTemplate(store.readText("Overwrite", "EnumerateTEXT", DefaultNameTemplate));
}

std::optional<std::filesystem::path> nextFreeName(const std::filesystem::path& path, std::string_view nameTemplate)
{
    return nextFreeName(path, nameTemplate, outputNameTaken);
}

std::optional<std::filesystem::path> nextFreeName(const std::filesystem::path& path, std::string_view nameTemplate,
                                                  const std::function<bool(const std::filesystem::path&)>& taken)
{
    const std::string stem = path.stem().string();
    const std::string extension = path.extension().string();
    const std::filesystem::path folder = path.parent_path();
    for (std::uint32_t number = 1; number <= MaxNameNumber; ++number) {
        std::filesystem::path candidate = folder / (applyNameTemplate(nameTemplate, stem, number) + extension);
        if (!taken(candidate))
            return candidate;
    }
    return std::nullopt;
}

} // namespace morvex
