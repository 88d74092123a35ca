#pragma once

#include "support/core/operation_result.h"

#include <filesystem>
#include <string>

namespace morvex {

// A private folder beside an output file in which a writer writes the file
// and its companions (an OBJ's material file and Textures folder). commit()
// moves everything into the output folder, the output file itself last;
// without a commit the folder and all in it are removed. So a failed or
// cancelled conversion never leaves anything at the output name, and an
// existing file there is replaced only by a complete new one.
class StagedOutput {
public:
    StagedOutput() = default;
    ~StagedOutput() { discard(); }
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;

    // Creates the private folder in the output's folder.
    OperationResult open(const std::filesystem::path& output, Failure* failure = nullptr);

    // Where the writer writes: the output's file name inside the folder.
    const std::filesystem::path& writePath() const { return writePath_; }

    OperationResult commit(Failure* failure = nullptr);

    // Removes the folder and everything in it.
    void discard();

private:
    std::filesystem::path output_;
    std::filesystem::path folder_;
    std::filesystem::path writePath_;
};

} // namespace morvex
