#pragma once

#include "support/core/operation_result.h"

#include <filesystem>
#include <string>

namespace morvex {

// Where a writer writes an output before it is moved to its name, beside
// the output so that the move is one rename. A format written as one file
// gets a private file name; one with companions (an OBJ's material file and
// Textures folder) a private folder, in which the output keeps its own name.
// commit() moves the result to the output name; without a commit
// everything is removed. So a failed or cancelled conversion never leaves
// anything at the output name, and an existing file there is replaced only
// by a complete new one, and only when replacing was asked for.
//
// The private names carry this process's id, so that a later run can remove
// what a killed one left.
class StagedOutput {
public:
    enum class Kind { OneFile, WithCompanions };

    StagedOutput() = default;
    ~StagedOutput() { discard(); }
    StagedOutput(const StagedOutput&) = delete;
    StagedOutput& operator=(const StagedOutput&) = delete;

    OperationResult open(const std::filesystem::path& output, Kind kind, Failure* failure = nullptr);

    // Where the writer writes.
    const std::filesystem::path& writePath() const { return writePath_; }

    // Moves the output to its name. Unless `mayReplace`, a name taken by
    // the time of the move is left to whoever took it: Failure, with
    // nameWasTaken() set and nothing moved. Companions follow the output
    // file, merged into what is there: they belong to the name just taken.
    OperationResult commit(bool mayReplace, Failure* failure = nullptr);
    bool nameWasTaken() const { return nameTaken_; }

    // Removes the private file or folder and everything in it.
    void discard();

private:
    std::filesystem::path output_;
    std::filesystem::path staging_; // the private file or folder
    std::filesystem::path writePath_;
    bool nameTaken_ = false;
};

} // namespace morvex
