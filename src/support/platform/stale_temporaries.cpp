#include "support/platform/stale_temporaries.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace morvex {
namespace {

constexpr std::string_view PartSuffix = ".part";
constexpr std::string_view StagingStart = ".morvex-";
constexpr std::string_view ScratchStart = "Morvex-";

bool allOf(std::string_view text, bool (*accept)(char))
{
    for (char c : text)
        if (!accept(c))
            return false;
    return true;
}
bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool isHexDigit(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f');
}
bool isNameCharacter(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "<id>-<rest>" where the rest passes `restIsValid`: the id, else 0.
pid_t idBeforeRest(std::string_view text, bool (*restIsValid)(std::string_view))
{
    pid_t id = 0;
    const auto [after, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    const std::string_view rest(after, static_cast<std::size_t>(text.data() + text.size() - after));
    if (error != std::errc() || after == text.data() || id <= 0 || !rest.starts_with('-') ||
        !restIsValid(rest.substr(1)))
        return 0;
    return id;
}

// "<n>-<8 hex digits>" after the id of a part file.
bool isPartRest(std::string_view rest)
{
    const std::size_t dash = rest.find('-');
    return dash != 0 && dash != std::string_view::npos && allOf(rest.substr(0, dash), isDigit) &&
           rest.size() - dash - 1 == 8 && allOf(rest.substr(dash + 1), isHexDigit);
}
// The six characters mkdtemp puts after a staging folder's prefix.
bool isStagingRest(std::string_view rest)
{
    return rest.size() == 6 && allOf(rest, isNameCharacter);
}
// The number of a scratch folder.
bool isScratchRest(std::string_view rest)
{
    return !rest.empty() && allOf(rest, isDigit);
}

// ".<name>.<pid>-<n>-<hex>.part": the id follows the last dot before the
// suffix.
pid_t ownerOfPartFile(std::string_view name)
{
    if (name.size() <= PartSuffix.size() + 1 || name[0] != '.' || !name.ends_with(PartSuffix))
        return 0;
    const std::string_view stem = name.substr(0, name.size() - PartSuffix.size());
    const std::size_t dot = stem.rfind('.');
    if (dot == 0 || dot == std::string_view::npos)
        return 0;
    return idBeforeRest(stem.substr(dot + 1), isPartRest);
}

} // namespace

std::string partFileName(std::string_view outputName, unsigned counter, unsigned random)
{
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%d-%u-%08x.part", static_cast<int>(getpid()), counter, random);
    return "." + std::string(outputName) + suffix;
}

std::string stagingFolderPrefix()
{
    return std::string(StagingStart) + std::to_string(static_cast<long>(getpid())) + "-";
}

pid_t ownerOfTemporary(std::string_view name)
{
    if (name.starts_with(StagingStart))
        return idBeforeRest(name.substr(StagingStart.size()), isStagingRest);
    if (name.starts_with(ScratchStart))
        return idBeforeRest(name.substr(ScratchStart.size()), isScratchRest);
    return ownerOfPartFile(name);
}

bool ownerIsGone(pid_t owner)
{
    return owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH;
}

std::size_t removeStaleTemporaries(const std::filesystem::path& folder)
{
    std::size_t removed = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        const pid_t owner = ownerOfTemporary(name);
        if (owner == 0 || owner == getpid() || !ownerIsGone(owner))
            continue;
        std::error_code ignored;
        if (std::filesystem::remove_all(it->path(), ignored) > 0)
            ++removed;
    }
    return removed;
}

} // namespace morvex
