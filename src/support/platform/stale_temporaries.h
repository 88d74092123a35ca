#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>

// Temporary files and folders carry the id of the process (or thread) that
// made them, so that a later run can tell the ones whose owner was killed
// before it could clean up, and remove them.

namespace morvex {

// ".<name>.<pid>-<n>-<hex>.part": a file being written beside its output.
std::string partFileName(std::string_view outputName, unsigned counter, unsigned random);
// ".morvex-<pid>-": the start of a staging folder's name (mkdtemp adds six
// characters).
std::string stagingFolderPrefix();

// The process or thread id a temporary's name carries, or 0 when the name is
// not one of ours.
pid_t ownerOfTemporary(std::string_view name);

// Whether no process or thread of this id runs now.
bool ownerIsGone(pid_t owner);

// Removes the temporaries in `folder` (not below it) whose owner is gone.
// Returns how many were removed; anything that cannot be removed is left.
std::size_t removeStaleTemporaries(const std::filesystem::path& folder);

} // namespace morvex
