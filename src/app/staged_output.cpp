#include "app/staged_output.h"

#include "support/platform/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
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

} // namespace

OperationResult StagedOutput::open(const fs::path& output, Failure* failure)
{
    discard();
    output_ = output;
    std::string pattern = (folderOf(output) / ".morvex-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return failWith(failure, FailureKind::Unwritable,
                        "cannot write into the output folder: " + systemErrorText(errno));
    folder_ = pattern;
    writePath_ = folder_ / output.filename();
    return OperationResult::Success;
}

OperationResult StagedOutput::commit(Failure* failure)
{
    if (folder_.empty())
        return failWith(failure, FailureKind::Unwritable, "nothing to save");
    std::error_code error;
    if (!fs::is_regular_file(writePath_, error))
        return failWith(failure, FailureKind::Unwritable, "the writer produced no file");
    std::vector<fs::path> companions;
    for (fs::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error))
        if (it->path().filename() != writePath_.filename())
            companions.push_back(it->path());
    if (error)
        return moveFailure(failure, folder_, error);
    const fs::path target = folderOf(output_);
    for (const fs::path& companion : companions)
        if (OperationResult result = moveInto(companion, target / companion.filename(), failure);
            result != OperationResult::Success)
            return result;
    if (OperationResult result = moveInto(writePath_, output_, failure); result != OperationResult::Success)
        return result;
    discard();
    return OperationResult::Success;
}

void StagedOutput::discard()
{
    if (folder_.empty())
        return;
    std::error_code error;
    fs::remove_all(folder_, error);
    folder_.clear();
    writePath_.clear();
}

} // namespace morvex
