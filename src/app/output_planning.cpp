#include "app/output_planning.h"

#include "app/naming.h"
#include "support/text/text.h"

#include <algorithm>

namespace morvex {

OutputNamer::OutputNamer(const ConversionSettings& settings, std::string nameTemplate)
    : outputFolder_(settings.outputFolder), outputFileName_(settings.outputFileName),
      extension_(withoutLeadingDot(settings.outputExtension)), nameTemplate_(std::move(nameTemplate))
{
}

std::filesystem::path OutputNamer::targetFolder(const std::filesystem::path& source) const
{
    return sameFolderMode() ? source.parent_path() : outputFolder_;
}

std::optional<std::filesystem::path> OutputNamer::candidateFor(const std::filesystem::path& source)
{
    std::filesystem::path candidate =
        targetFolder(source) / (outputFileName_.empty() ? source.stem().string() + "." + extension_ : outputFileName_);
    while (chosen_.count(candidate.native()) != 0) {
        std::optional<std::filesystem::path> next = nextFreeName(candidate, nameTemplate_);
        if (!next)
            return std::nullopt;
        candidate = std::move(*next);
    }
    chosen_.insert(candidate.native());
    return candidate;
}

bool protectsExistingOutput(bool sameFolderMode, const std::filesystem::path& source,
                            const std::filesystem::path& candidate)
{
    std::error_code error;
    return sameFolderMode || std::filesystem::equivalent(source, candidate, error);
}

void planOutputs(const ConversionRun& run, OverwritePolicySource& policy, std::vector<PlannedOutput>& plan)
{
    plan.clear();
    plan.reserve(run.results.size());
    // Names the run will write: every planned output and every numbered name
    // an earlier rename takes, so that no two files are promised one name.
    std::unordered_set<std::string> promised;
    OutputNamer namer(run.settings, run.environment.nameTemplate);
    for (const RunEntry& entry : run.results) {
        PlannedOutput& planned = plan.emplace_back();
        planned.source = entry.source;
        if (std::optional<std::filesystem::path> candidate = namer.candidateFor(entry.source)) {
            planned.output = std::move(*candidate);
            promised.insert(planned.output.native());
        }
    }
    const OverwritePolicy current = policy.current();
    const auto taken = [&promised](const std::filesystem::path& path) {
        return promised.count(path.native()) != 0 || outputNameTaken(path);
    };
    for (PlannedOutput& planned : plan) {
        planned.exists = !planned.output.empty() && outputNameTaken(planned.output);
        if (!planned.exists)
            continue;
        if (run.skipComplete && outputComplete(planned.source, planned.output)) {
            planned.decision = OverwriteDecision::Skip;
            continue;
        }
        planned.protectedOutput = protectsExistingOutput(namer.sameFolderMode() && !policy.replacesBesideSources(),
                                                         planned.source, planned.output);
        planned.decision = decisionWithoutAsking(current, planned.protectedOutput);
        planned.renamedTo = nextFreeName(planned.output, run.environment.nameTemplate, taken);
        if (planned.renamedTo && planned.decision == OverwriteDecision::Rename)
            promised.insert(planned.renamedTo->native());
    }
    std::reverse(plan.begin(), plan.end());
}

} // namespace morvex
