#pragma once

#include "app/batch_run.h"
#include "app/overwrite.h"

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace morvex {

// Decides output paths for the files of one run, in scheduling order: the
// target folder, the source name with the output extension (or the exact
// output name of a single-file conversion), and a
// numbered name when a file scheduled earlier in the same run already took
// that path (a.obj and a.ply to STL: a.stl, then a-1.stl; a third: a-1-1).
class OutputNamer {
public:
    OutputNamer(const ConversionSettings& settings, std::string nameTemplate);

    // Empty output folder: every output goes beside its source.
    bool sameFolderMode() const { return outputFolder_.empty(); }
    std::filesystem::path targetFolder(const std::filesystem::path& source) const;
    // Nothing when every numbered name is taken.
    std::optional<std::filesystem::path> candidateFor(const std::filesystem::path& source);

private:
    std::filesystem::path outputFolder_;
    std::string outputFileName_;
    std::string extension_;
    std::string nameTemplate_;
    std::unordered_set<std::string> chosen_;
};

// A clash is decided as in same-folder mode (never overwritten without
// asking) when the output is beside its source, and always when the
// output would be the source file itself.
bool protectsExistingOutput(bool sameFolderMode, const std::filesystem::path& source,
                            const std::filesystem::path& candidate);

// What a run would do, without asking, deleting or writing anything.
struct PlannedOutput {
    std::filesystem::path source;
    std::filesystem::path output;              // empty when no numbered name is free
    bool exists = false;                       // a file of that name exists
    bool protectedOutput = false;              // the clash cannot be decided by overwriting
    std::optional<OverwriteDecision> decision; // for a clash; nothing when the policy asks
    // The numbered name a rename would take: free now and promised to no other file of the run.
    std::optional<std::filesystem::path> renamedTo;
};
// In list order. A missing output folder simply has no clashes.
void planOutputs(const ConversionRun& run, OverwritePolicySource& policy, std::vector<PlannedOutput>& plan);

} // namespace morvex
