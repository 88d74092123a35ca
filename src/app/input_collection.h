#pragma once

#include "app/input_formats.h"
#include "app/media_kinds.h"
#include "support/progress/progress_reporter.h"

#include <filesystem>
#include <string>
#include <vector>

namespace morvex {

// Something about a path that was not added, for the user.
struct InputNotice {
    enum class Kind {
        Media,       // a file of another media kind: title and text name it
        Unsupported, // a file whose format may not be supported
        Missing,     // nothing of that name
        Unreadable,  // a folder or link that cannot be read, a special file
    };
    Kind kind = Kind::Missing;
    std::filesystem::path path;
    std::string title; // "Audio File Selected", ... for media
    std::string text;
    std::size_t origin = 0; // the index of the path it was found under
};

// Files to convert, in the order found, and what was left out.
struct InputCollection {
    std::vector<std::filesystem::path> files;
    std::vector<std::size_t> origins; // for each file, the index of the path it was found under
    std::vector<InputNotice> notices;
    bool cancelled = false;
};

// Adds files and folders as a list does: a folder is walked recursively,
// passing over entries whose names begin with "." and anything that is not
// a regular file or a folder; links are followed, but each folder is
// walked once, so a link back up the tree ends there. The same file named
// twice (after making the path absolute) is added once. Media files and
// unsupported formats are left out with a notice. Cancellation is checked
// every 100 entries.
InputCollection collectInputs(const std::vector<std::filesystem::path>& paths, ProgressReporter& reporter);

} // namespace morvex
