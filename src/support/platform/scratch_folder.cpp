#include "support/platform/scratch_folder.h"

#include "support/platform/files.h"
#include "support/platform/stale_temporaries.h"

#include <cerrno>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace morvex {

namespace {

// Plenty for one thread; a temporary folder that full is a broken machine.
constexpr int MaxScratchNumber = 100000;

} // namespace

ScratchFolder::~ScratchFolder()
{
    remove();
}

void ScratchFolder::remove()
{
    if (path_.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    path_.clear();
}

OperationResult ScratchFolder::create(Failure* failure)
{
    remove();
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error)
        return failWith(failure, FailureKind::Unwritable, "no temporary folder: " + error.message());
    // Folders of programs that were killed before they could remove theirs
    // are removed once per process.
    static std::once_flag staleRemoved;
    std::call_once(staleRemoved, [&base] { removeStaleTemporaries(base); });
    const std::string prefix = "Morvex-" + std::to_string(static_cast<unsigned long>(gettid())) + "-";
    for (int number = 1; number <= MaxScratchNumber; ++number) {
        std::filesystem::path candidate = base / (prefix + std::to_string(number));
        // mkdir fails on any existing entry, so the folder is ours alone.
        if (::mkdir(candidate.c_str(), 0700) == 0) {
            path_ = std::move(candidate);
            return OperationResult::Success;
        }
        if (errno != EEXIST)
            return failWith(failure, FailureKind::Unwritable,
                            "cannot create a temporary folder: " + systemErrorText(errno));
    }
    return failWith(failure, FailureKind::Unwritable, "no free temporary folder name");
}

} // namespace morvex
