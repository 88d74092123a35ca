#include "app/convert_checks.h"

#include "app/input_formats.h"
#include "support/text/text.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

namespace morvex {
namespace {

constexpr std::uint32_t StatusBits = 0x0F;
constexpr const char* OptionsSection = "Options";

bool isFolder(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

std::uint64_t fileSize(const std::filesystem::path& path)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

} // namespace

ConversionStatus rowStatus(const ListRow& row)
{
    return static_cast<ConversionStatus>(row.flags & StatusBits);
}

std::vector<std::filesystem::path> prepareRunSelection(std::vector<ListRow>& rows)
{
    for (ListRow& row : rows)
        if (rowStatus(row) != ConversionStatus::CannotBeConverted)
            row.flags &= ~StatusBits;
    if (std::none_of(rows.begin(), rows.end(), [](const ListRow& row) { return row.selected; }))
        for (ListRow& row : rows)
            row.selected = true;
    std::vector<std::filesystem::path> paths;
    for (const ListRow& row : rows)
        if (row.selected && (row.flags & SupportedFormatFlag) != 0)
            paths.push_back(row.path);
    return paths;
}

void rememberOutputFolder(const SettingsStore& store, std::string_view folderBoxText)
{
    if (folderBoxText.empty() || folderBoxText == SameFolderText || !isFolder(std::filesystem::path(folderBoxText)))
        return;
    addRecentOutputFolder(store, folderBoxText);
}

std::string createFolderQuestionText(std::string_view folder)
{
    return "Folder is invalid or no longer available:\n" + std::string(folder) + "\nWould you like to create it?";
}

OutputFolderCheck checkOutputFolder(std::string_view folderBoxText, const SettingsStore& store,
                                    CreateFolderQuestion* question)
{
    OutputFolderCheck check;
    if (folderBoxText == SameFolderText)
        return check;
    if (folderBoxText.empty()) {
        check.outcome = OutputFolderOutcome::ResetToSameFolder;
        return check;
    }
    const std::filesystem::path folder(folderBoxText);
    check.outputFolder = folderBoxText;
    if (isFolder(folder)) {
        check.outcome = OutputFolderOutcome::Existing;
        return check;
    }

    bool create = store.readBool(OptionsSection, "CreateFolderDecision", true);
    if (question != nullptr && !store.readBool(OptionsSection, "CreateFolderDontShowMsg", false)) {
        const CreateFolderReply reply = question->ask(folderBoxText);
        create = reply.create;
        const SettingValue answers[] = {
            {OptionsSection, "CreateFolderDecision", create ? "1" : "0"},
            {OptionsSection, "CreateFolderDontShowMsg", reply.dontShowAgain ? "1" : "0"},
        };
        store.writeValues(answers);
    }
    if (!create) {
        check.outcome = OutputFolderOutcome::Declined;
        return check;
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    check.outcome = isFolder(folder) ? OutputFolderOutcome::Created : OutputFolderOutcome::CreationFailed;
    return check;
}

std::uint64_t requiredFreeSpace(std::uint64_t fileCount, std::uint64_t largestFileBytes)
{
    std::uint64_t required = 0;
    if (largestFileBytes != 0 && fileCount > std::numeric_limits<std::uint64_t>::max() / largestFileBytes)
        required = std::numeric_limits<std::uint64_t>::max();
    else
        required = fileCount * largestFileBytes;
    return std::max(required, MinimumRequiredSpace);
}

std::optional<std::uint64_t> availableSpace(const std::filesystem::path& folder)
{
    std::error_code error;
    const std::filesystem::space_info info = std::filesystem::space(folder, error);
    if (error || info.available == static_cast<std::uintmax_t>(-1))
        return std::nullopt;
    return static_cast<std::uint64_t>(info.available);
}

FreeSpaceCheck checkFreeSpace(const std::vector<std::filesystem::path>& sources, std::string_view outputFolder,
                              const FreeSpaceFunction& freeSpace)
{
    std::uint64_t largest = 0;
    for (const std::filesystem::path& source : sources)
        largest = std::max(largest, fileSize(source));

    FreeSpaceCheck check;
    check.required = requiredFreeSpace(sources.size(), largest);
    const auto spaceOf = [&](const std::filesystem::path& folder) {
        const std::optional<std::uint64_t> available = freeSpace ? freeSpace(folder) : availableSpace(folder);
        return available.value_or(0x7FFFFFFFFFFFFFFFull);
    };
    if (outputFolder.empty()) {
        // Most sources share their folder with others: each folder is asked once.
        std::unordered_set<std::string> checked;
        for (const std::filesystem::path& source : sources) {
            const std::filesystem::path folder = source.parent_path();
            if (!checked.insert(folder.native()).second)
                continue;
            if (spaceOf(folder) < check.required) {
                check.enough = false;
                check.message = NotEnoughOnAnOutputDriveText;
                check.folder = folder;
                return check;
            }
        }
        return check;
    }
    if (spaceOf(outputFolder) < check.required) {
        check.enough = false;
        check.message = NotEnoughOnOutputDriveText;
        check.folder = outputFolder;
    }
    return check;
}

std::vector<ComponentStep> componentSteps(std::string_view outputExtension)
{
    std::vector<ComponentStep> steps;
    if (equalsIgnoreCase(withoutLeadingDot(outputExtension), "3mf"))
        steps.push_back({"infozip3", false});
    steps.push_back({"assimpext2", true});
    steps.push_back({"ifcconvert", true});
    return steps;
}

void makeComponentsAvailable(std::string_view outputExtension, ComponentProvider& provider)
{
    for (const ComponentStep& step : componentSteps(outputExtension)) {
        const bool available = (step.findFirst && provider.find(step.id)) || provider.ensure(step.id);
        if (!available)
            return;
    }
}

CompletionSummary completionSummary(unsigned converted, unsigned selected)
{
    CompletionSummary summary;
    if (converted == 0)
        return summary; // nothing converted: no bar
    summary.shown = true;
    summary.text = converted == selected ? ConversionCompleteText : SomeNotConvertedText;
    summary.offerOpenFile = converted == 1;
    summary.offerOpenFolder = true;
    return summary;
}

} // namespace morvex
