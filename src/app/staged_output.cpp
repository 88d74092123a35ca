#include "app/staged_output.h"

#include "support/platform/files.h"
#include "support/platform/stale_temporaries.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace morvex {
namespace {

namespace fs = std::filesystem;

// The folder an output file goes into ("." for a bare file name).
fs::path folderOf(const fs::path& output)
{
    return output.parent_path().empty() ? fs::path(".") : output.parent_path();
}

OperationResult moveFailure(Failure* failure, const fs::path& name, const std::error_code& error)
{
    return failWith(failure, FailureKind::Unwritable,
                    "cannot move " + name.filename().string() + " into the output folder: " + error.message());
}

// Moves a file or folder to `to`. A file replaces a file of the same name; a
// folder is merged into an existing folder of the same name entry by entry,
// so that files already there (an earlier OBJ's textures) stay.
OperationResult moveInto(const fs::path& from, const fs::path& to, Failure* failure)
{
    std::error_code error;
    const fs::file_status fromStatus = fs::symlink_status(from, error);
    if (fs::is_directory(fromStatus) && fs::is_directory(fs::symlink_status(to, error))) {
        std::vector<fs::path> entries;
        for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error))
            entries.push_back(it->path());
        if (error)
            return moveFailure(failure, from, error);
        for (const fs::path& entry : entries)
            if (OperationResult result = moveInto(entry, to / entry.filename(), failure);
                result != OperationResult::Success)
                return result;
        return OperationResult::Success;
    }
    fs::rename(from, to, error);
    if (error)
        return moveFailure(failure, to, error);
    return OperationResult::Success;
}

// Moves the finished output file to its name, without replacing unless
// asked to.
OperationResult moveOutput(const fs::path& from, const fs::path& to, bool mayReplace, bool& nameTaken, Failure* failure)
{
    if (mayReplace)
        return moveInto(from, to, failure);
    const int error = moveWithoutReplacing(from, to);
    if (error == 0)
        return OperationResult::Success;
    nameTaken = error == EEXIST;
    return moveFailure(failure, to, std::error_code(error, std::generic_category()));
}

// ".morvex-<pid>-" and six letters and digits that count up in this process.
std::string stagingFileName()
{
    static std::atomic<std::uint64_t> counter{0};
    constexpr std::string_view digits = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::uint64_t number = counter++;
    std::string name = stagingFolderPrefix() + "000000";
    for (std::size_t at = name.size(); at-- > name.size() - 6 && number > 0; number /= digits.size())
        name[at] = digits[number % digits.size()];
    return name;
}

} // namespace

OperationResult StagedOutput::open(const fs::path& output, Kind kind, Failure* failure)
{
    discard();
    output_ = output;
    std::string pattern = (folderOf(output) / (stagingFolderPrefix() + "XXXXXX")).string();
    if (kind == Kind::OneFile) {
        // Unique by the process id and a counter of the process; the writer
        // creates the file itself, so the folder need only take it.
        if (::access(folderOf(output).c_str(), W_OK | X_OK) != 0)
            return failWith(failure, FailureKind::Unwritable,
                            "cannot write into the output folder: " + systemErrorText(errno));
        staging_ = folderOf(output) / stagingFileName();
        writePath_ = staging_;
        return OperationResult::Success;
    }
    if (::mkdtemp(pattern.data()) == nullptr)
        return failWith(failure, FailureKind::Unwritable,
                        "cannot write into the output folder: " + systemErrorText(errno));
    staging_ = pattern;
    writePath_ = staging_ / output.filename();
    return OperationResult::Success;
}

OperationResult StagedOutput::commit(bool mayReplace, Failure* failure)
{
    nameTaken_ = false;
    if (staging_.empty())
        return failWith(failure, FailureKind::Unwritable, "nothing to save");
    std::error_code error;
    if (!fs::is_regular_file(writePath_, error))
        return failWith(failure, FailureKind::Unwritable, "the writer produced no file");
    if (writePath_ == staging_) {
        if (OperationResult result = moveOutput(writePath_, output_, mayReplace, nameTaken_, failure);
            result != OperationResult::Success)
            return result;
        staging_.clear();
        writePath_.clear();
        return OperationResult::Success;
    }
    std::vector<fs::path> companions;
    for (fs::directory_iterator it(staging_, error), end; !error && it != end; it.increment(error))
        if (it->path().filename() != writePath_.filename())
            companions.push_back(it->path());
    if (error)
        return moveFailure(failure, staging_, error);
    if (OperationResult result = moveOutput(writePath_, output_, mayReplace, nameTaken_, failure);
        result != OperationResult::Success)
        return result;
    const fs::path target = folderOf(output_);
    for (const fs::path& companion : companions)
        if (OperationResult result = moveInto(companion, target / companion.filename(), failure);
            result != OperationResult::Success)
            return result;
    discard();
    return OperationResult::Success;
}

void StagedOutput::discard()
{
    if (staging_.empty())
        return;
    std::error_code error;
    fs::remove_all(staging_, error);
    staging_.clear();
    writePath_.clear();
}

} // namespace morvex
