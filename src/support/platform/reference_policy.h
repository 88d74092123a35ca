#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Files a model refers to (material libraries, textures, parts) are read
// only from where the user expects them: the referring model's own folder
// tree, the folders the user named as the input of the run, and folders the
// user allows. A model from a download cannot make the converter read or
// copy ~/.ssh/id_rsa or "../../secret" into its output.

namespace morvex {

struct ReferencePolicy {
    // Besides the referring model's own folder and everything below it.
    std::vector<std::filesystem::path> allowedFolders;
    // The largest file copied beside an output (a texture).
    std::uint64_t maxCopyBytes = std::uint64_t(64) << 20;
};

// Set by a front end before a run; read by the readers and writers of the
// run. The default allows the model's own folder tree only.
void setReferencePolicy(ReferencePolicy policy);
ReferencePolicy referencePolicy();

// Whether `referenced` may be read for a model in `modelFolder`: after its
// links are resolved it must lie inside that folder or an allowed one. When
// not, `why` names the file and how to allow it.
bool referenceAllowed(const std::filesystem::path& modelFolder, const std::filesystem::path& referenced,
                      std::string* why = nullptr);

// Whether `file` may be copied beside an output: a regular file (a link to
// one is followed; never a device, a pipe or a folder) of at most the
// policy's size.
bool copyableReference(const std::filesystem::path& file, std::string* why = nullptr);

} // namespace morvex
