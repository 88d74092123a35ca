#include "support/platform/reference_policy.h"

#include <mutex>
#include <sys/stat.h>

namespace morvex {
namespace {

namespace fs = std::filesystem;

std::mutex& policyLock()
{
    static std::mutex lock;
    return lock;
}

ReferencePolicy& currentPolicy()
{
    static ReferencePolicy policy;
    return policy;
}

// The path with every link resolved; empty when it cannot be resolved.
fs::path resolved(const fs::path& path)
{
    std::error_code error;
    fs::path real = fs::weakly_canonical(fs::absolute(path, error), error);
    return error ? fs::path() : real;
}

bool isInside(const fs::path& path, const fs::path& folder)
{
    if (folder.empty())
        return false;
    auto inner = path.begin();
    for (auto outer = folder.begin(); outer != folder.end(); ++outer, ++inner) {
        if (outer->empty() && std::next(outer) == folder.end())
            break; // a trailing separator
        if (inner == path.end() || *inner != *outer)
            return false;
    }
    return true;
}

} // namespace

void setReferencePolicy(ReferencePolicy policy)
{
    std::lock_guard lock(policyLock());
    currentPolicy() = std::move(policy);
}

ReferencePolicy referencePolicy()
{
    std::lock_guard lock(policyLock());
    return currentPolicy();
}

bool referenceAllowed(const fs::path& modelFolder, const fs::path& referenced, std::string* why)
{
    const fs::path target = resolved(referenced);
    if (!target.empty()) {
        if (isInside(target, resolved(modelFolder.empty() ? fs::path(".") : modelFolder)))
            return true;
        for (const fs::path& allowed : referencePolicy().allowedFolders)
            if (isInside(target, resolved(allowed)))
                return true;
    }
    if (why != nullptr)
        *why = referenced.string() + " lies outside the model's folder and was not read (allow its folder with "
                                     "--allow-references)";
    return false;
}

bool copyableReference(const fs::path& file, std::string* why)
{
    struct stat info {};
    const auto refuse = [&](const char* what) {
        if (why != nullptr)
            *why = file.string() + " " + what + "; not copied";
        return false;
    };
    if (::stat(file.c_str(), &info) != 0)
        return refuse("cannot be read");
    if (!S_ISREG(info.st_mode))
        return refuse("is not a regular file");
    if (static_cast<std::uint64_t>(info.st_size) > referencePolicy().maxCopyBytes)
        return refuse("is larger than the largest texture copied");
    return true;
}

} // namespace morvex
