#pragma once

#include "app/conversion_status.h"
#include "support/settings/settings_store.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// The checks a convert command makes before it starts a run, as functions
// that each front end calls and answers in its own way.

inline constexpr std::string_view SameFolderText = "[Same folder as the original file]";

// --- The rows taking part ----------------------------------------------------

inline constexpr std::string_view ConversionFailedTitle = "Conversion Failed";
inline constexpr std::string_view NoneConvertibleText = "None of the selected files could be converted using Morvex";

// The part of a list row that the convert command looks at.
struct ListRow {
    std::filesystem::path path;
    std::uint32_t flags = 0; // status in bits 0-3, format flags above
    bool selected = false;
};
ConversionStatus rowStatus(const ListRow& row);

// Resets every row to Ready except those marked not convertible, selects
// every row when none is selected, and returns the selected rows of a
// supported format in list order.
std::vector<std::filesystem::path> prepareRunSelection(std::vector<ListRow>& rows);

// A real folder that exists goes to the front of the recent output folders.
void rememberOutputFolder(const SettingsStore& store, std::string_view folderBoxText);

// --- Output folder -----------------------------------------------------------

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

// --- Free space --------------------------------------------------------------

inline constexpr std::uint64_t MinimumRequiredSpace = 0x500000; // 5 MiB
inline constexpr std::string_view FreeSpaceErrorTitle = "Free Space Error";
inline constexpr std::string_view NotEnoughOnOutputDriveText =
    "There is not enough free space available on the output drive.";
inline constexpr std::string_view NotEnoughOnAnOutputDriveText =
    "There is not enough free space available on an output drive.";

// Number of files times the largest file, at least 5 MiB.
std::uint64_t requiredFreeSpace(std::uint64_t fileCount, std::uint64_t largestFileBytes);

// Bytes available to this user on the folder's file system; nothing when it
// cannot be asked (which counts as plenty).
using FreeSpaceFunction = std::function<std::optional<std::uint64_t>(const std::filesystem::path& folder)>;
std::optional<std::uint64_t> availableSpace(const std::filesystem::path& folder);

struct FreeSpaceCheck {
    bool enough = true;
    std::uint64_t required = 0;
    std::string_view message; // empty when enough
    std::filesystem::path folder; // the folder that is short of space
};
// Same-folder mode (empty outputFolder): each source's folder in turn,
// the first short one fails; otherwise the output folder.
FreeSpaceCheck checkFreeSpace(const std::vector<std::filesystem::path>& sources, std::string_view outputFolder,
                              const FreeSpaceFunction& freeSpace = {});

// --- Components --------------------------------------------------------------

// Made available in this order, each only after the previous succeeded:
// the zip component for 3MF output, then the external converter and the
// IFC converter (each looked for first, installed when missing).
struct ComponentStep {
    std::string id;
    bool findFirst = false;
};
std::vector<ComponentStep> componentSteps(std::string_view outputExtension);

class ComponentProvider {
public:
    virtual ~ComponentProvider() = default;
    virtual bool find(std::string_view id) = 0;
    virtual bool ensure(std::string_view id) = 0;
};
// The outcome never stops the command: a missing component makes the
// files that need it fail in their own readers and writers.
void makeComponentsAvailable(std::string_view outputExtension, ComponentProvider& provider);

// --- Completion --------------------------------------------------------------

inline constexpr std::string_view ConversionCompleteText = "Conversion complete.";
inline constexpr std::string_view SomeNotConvertedText = "Conversion complete. Some file(s) were not converted.";

struct CompletionSummary {
    bool shown = false;
    std::string_view text;
    bool offerOpenFile = false;
    bool offerOpenFolder = false;
};
// `converted`: files that ended Success, Replaced or Converted and renamed;
// `selected`: the rows selected for the command.
CompletionSummary completionSummary(unsigned converted, unsigned selected);

} // namespace morvex
