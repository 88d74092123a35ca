#include "app/input_collection.h"

#include "support/platform/files.h"
#include "support/text/text.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <unordered_set>
#include <utility>

namespace morvex {
namespace {

constexpr unsigned CancelCheckEntries = 100;

class Collector {
public:
    Collector(InputCollection& out, ProgressReporter& reporter) : out_(out), reporter_(reporter) {}

    void addPath(const std::filesystem::path& path, std::size_t origin)
    {
        origin_ = origin;
        if (path.empty())
            return;
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            const int error = errno;
            // A dangling link is there, only unusable.
            if (error == ENOENT && !isLink(path))
                notice(InputNotice::Kind::Missing, path, "No such file or directory");
            else
                notice(InputNotice::Kind::Unreadable, path, systemErrorText(error));
            return;
        }
        if (S_ISDIR(info.st_mode))
            walk(path);
        else
            addFile(path, info);
    }

private:
    static bool isLink(const std::filesystem::path& path)
    {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
    }

    void notice(InputNotice::Kind kind, const std::filesystem::path& path, std::string text, std::string title = {})
    {
        out_.notices.push_back({kind, path, std::move(title), std::move(text), origin_});
    }

    void addFile(const std::filesystem::path& path, const struct stat& info)
    {
        if (!S_ISREG(info.st_mode)) {
            notice(InputNotice::Kind::Unreadable, path, "not a regular file");
            return;
        }
        std::error_code error;
        const std::filesystem::path key = std::filesystem::absolute(path, error).lexically_normal();
        if (!seenFiles_.insert(error ? path.native() : key.native()).second)
            return;
        const std::string extension = extensionOf(path.filename().string());
        if (const MediaKind media = mediaKindOf(extension); media != MediaKind::None) {
            notice(InputNotice::Kind::Media, path, mediaNoticeText(media, path), std::string(mediaNoticeTitle(media)));
            return;
        }
        if (!isSupportedInput(extension)) {
            notice(InputNotice::Kind::Unsupported, path, std::string(UnsupportedFormatText));
            return;
        }
        out_.files.push_back(path);
        out_.origins.push_back(origin_);
    }

    // A stack of folders, each listed once; files of a folder come before
    // those of its subfolders, names in byte order.
    void walk(const std::filesystem::path& root)
    {
        std::vector<std::filesystem::path> stack{root};
        while (!stack.empty() && !out_.cancelled) {
            const std::filesystem::path folder = std::move(stack.back());
            stack.pop_back();
            struct stat info {};
            if (::stat(folder.c_str(), &info) != 0 || !seenFolders_.insert({info.st_dev, info.st_ino}).second)
                continue; // gone meanwhile, or walked already (a link back up the tree)
            std::vector<std::string> names;
            if (!listFolder(folder, names))
                continue;
            std::vector<std::filesystem::path> subfolders;
            for (const std::string& name : names) {
                if (++entries_ % CancelCheckEntries == 0 && reporter_.isCancelled()) {
                    out_.cancelled = true;
                    return;
                }
                const std::filesystem::path entry = folder / name;
                struct stat entryInfo {};
                if (::stat(entry.c_str(), &entryInfo) != 0) {
                    notice(InputNotice::Kind::Unreadable, entry, systemErrorText(errno));
                    continue;
                }
                if (S_ISDIR(entryInfo.st_mode))
                    subfolders.push_back(entry);
                else if (S_ISREG(entryInfo.st_mode))
                    addFile(entry, entryInfo);
            }
            for (auto it = subfolders.rbegin(); it != subfolders.rend(); ++it)
                stack.push_back(std::move(*it));
        }
    }

    bool listFolder(const std::filesystem::path& folder, std::vector<std::string>& names)
    {
        DIR* directory = ::opendir(folder.c_str());
        if (directory == nullptr) {
            notice(InputNotice::Kind::Unreadable, folder, "cannot read folder: " + systemErrorText(errno));
            return false;
        }
        while (const dirent* entry = ::readdir(directory)) {
            if (entry->d_name[0] != '.') // hidden entries, "." and ".." included
                names.emplace_back(entry->d_name);
        }
        ::closedir(directory);
        std::sort(names.begin(), names.end());
        return true;
    }

    InputCollection& out_;
    ProgressReporter& reporter_;
    std::unordered_set<std::string> seenFiles_;
    std::set<std::pair<dev_t, ino_t>> seenFolders_;
    unsigned entries_ = 0;
    std::size_t origin_ = 0;
};

} // namespace

InputCollection collectInputs(const std::vector<std::filesystem::path>& paths, ProgressReporter& reporter)
{
    InputCollection out;
    Collector collector(out, reporter);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (reporter.isCancelled())
            out.cancelled = true;
        if (out.cancelled)
            break;
        collector.addPath(paths[i], i);
    }
    if (out.cancelled) { // a cancelled walk adds nothing
        out.files.clear();
        out.origins.clear();
    }
    return out;
}

} // namespace morvex
