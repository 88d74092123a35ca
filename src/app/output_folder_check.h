#pragma once

#include "support/settings/settings_store.h"

#include <string>
#include <string_view>

namespace morvex {

// The output folder a convert command checks before it starts a run, as
// functions that each front end calls and answers in its own way.

inline constexpr std::string_view SameFolderText = "[Same folder as the original file]";

inline constexpr std::string_view InvalidOutputFolderTitle = "Invalid Output Folder";
inline constexpr std::string_view CreateFolderButton = "Create Folder";
inline constexpr std::string_view DoNotShowAgainText = "Do not show me this message again";
inline constexpr std::string_view FolderCreationFailedTitle = "Create Folder";
inline constexpr std::string_view FolderCreationFailedText = "Folder creation failed.";
inline constexpr std::string_view OutputFolderResetText = "Invalid output folder was reset to default";
std::string createFolderQuestionText(std::string_view folder);

struct CreateFolderReply {
    bool create = false;
    bool dontShowAgain = false;
};
class CreateFolderQuestion {
public:
    virtual ~CreateFolderQuestion() = default;
    virtual CreateFolderReply ask(std::string_view folder) = 0;
};

enum class OutputFolderOutcome {
    SameFolder,        // outputs beside their sources
    ResetToSameFolder, // the box was empty: same folder, with a hint
    Existing,
    Created,
    Declined,       // the command ends
    CreationFailed, // the command ends with FolderCreationFailedText
};
struct OutputFolderCheck {
    OutputFolderOutcome outcome = OutputFolderOutcome::SameFolder;
    std::string outputFolder; // empty in same-folder mode
    bool proceed() const
    {
        return outcome != OutputFolderOutcome::Declined && outcome != OutputFolderOutcome::CreationFailed;
    }
};
// A missing folder: the stored "CreateFolderDecision" (default true), or
// the question unless "CreateFolderDontShowMsg" is set; the answer and the
// check box are stored. Without a question (nobody to ask) the stored
// decision applies and nothing is stored. The folder is created with its
// missing parents.
OutputFolderCheck checkOutputFolder(std::string_view folderBoxText, const SettingsStore& store,
                                    CreateFolderQuestion* question);

// A real folder that exists goes to the front of the recent output folders.
void rememberOutputFolder(const SettingsStore& store, std::string_view folderBoxText);

} // namespace morvex
