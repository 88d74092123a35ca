#include "formats/companion_copies.h"

#include "support/platform/reference_policy.h"

#include <atomic>
#include <system_error>
#include <unistd.h>

namespace morvex {

namespace fs = std::filesystem;

void CompanionCopies::add(std::string source, std::string name)
{
    copies_.push_back({std::move(source), std::move(name), {}});
}

OperationResult CompanionCopies::stage(const fs::path& folder, Failure* failure)
{
    folder_ = folder;
    std::error_code error;
    const bool existed = fs::is_directory(folder, error);
    if (!existed && !fs::create_directories(folder, error))
        return failWith(failure, FailureKind::Unwritable,
                        "cannot create the folder " + folder.filename().string() + ": " + error.message());
    createdFolder_ = existed ? fs::path{} : folder;
    static std::atomic<unsigned> counter{0};
    for (Copy& copy : copies_) {
        // Only a regular file of sensible size is copied: never a device or
        // a pipe (or a link to one), which would hang or fill the disk.
        if (!copyableReference(copy.source))
            continue;
        copy.staged =
            folder / ("." + copy.name + "." + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".part");
        if (!fs::copy_file(copy.source, copy.staged, fs::copy_options::overwrite_existing, error)) {
            const std::string text = "cannot copy texture " + copy.source + ": " + error.message();
            fs::remove(copy.staged, error);
            copy.staged.clear();
            return failWith(failure, FailureKind::Unwritable, text);
        }
    }
    return OperationResult::Success;
}

OperationResult CompanionCopies::place(Failure* failure)
{
    for (Copy& copy : copies_) {
        if (copy.staged.empty())
            continue;
        std::error_code error;
        fs::rename(copy.staged, folder_ / copy.name, error);
        if (error)
            return failWith(failure, FailureKind::Unwritable,
                            "cannot place texture " + copy.name + ": " + error.message());
        copy.staged.clear();
    }
    createdFolder_.clear(); // it holds what was placed
    return OperationResult::Success;
}

CompanionCopies::~CompanionCopies()
{
    std::error_code error;
    for (const Copy& copy : copies_)
        if (!copy.staged.empty())
            fs::remove(copy.staged, error);
    if (!createdFolder_.empty())
        fs::remove(createdFolder_, error); // only when still empty
}

} // namespace morvex
