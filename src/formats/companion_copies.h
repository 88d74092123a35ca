#pragma once

#include "support/core/operation_result.h"

#include <filesystem>
#include <string>
#include <vector>

namespace morvex {

// Files a writer copies beside its output (an OBJ's textures, a 3DS file's
// texture maps). Each is copied to a private name in the target folder
// first and renamed onto its own name only when everything else is written;
// whatever is not placed is removed again, and so is a folder that stage()
// created and that stayed empty.
class CompanionCopies {
public:
    CompanionCopies() = default;
    ~CompanionCopies();
    CompanionCopies(const CompanionCopies&) = delete;
    CompanionCopies& operator=(const CompanionCopies&) = delete;

    void add(std::string source, std::string name);
    bool empty() const { return copies_.empty(); }

    // Copies every source to a private name in `folder`, creating the
    // folder when it does not exist. A source that is missing, or is not a
    // regular file of sensible size, is left out: its name stays in the
    // output as a reference.
    OperationResult stage(const std::filesystem::path& folder, Failure* failure);
    // Renames the staged copies onto their names (an older file is replaced).
    OperationResult place(Failure* failure);

private:
    struct Copy {
        std::string source;
        std::string name;
        std::filesystem::path staged;
    };

    std::vector<Copy> copies_;
    std::filesystem::path folder_;
    std::filesystem::path createdFolder_;
};

} // namespace morvex
