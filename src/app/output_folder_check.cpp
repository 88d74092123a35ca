#include "app/output_folder_check.h"

#include <filesystem>

namespace morvex {
namespace {

constexpr const char* OptionsSection = "Options";

bool isFolder(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

} // namespace

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

void rememberOutputFolder(const SettingsStore& store, std::string_view folderBoxText)
{
    if (folderBoxText.empty() || folderBoxText == SameFolderText || !isFolder(std::filesystem::path(folderBoxText)))
        return;
    addRecentOutputFolder(store, folderBoxText);
}

} // namespace morvex
