#include "app/scheduler.h"

#include "app/naming.h"
#include "support/text/text.h"

#include <algorithm>

namespace morvex {
namespace {

std::string missingFolderText(const std::filesystem::path& folder)
{
    return "the output folder \"" + sanitizeUtf8(folder.string()) + "\" does not exist";
}

bool outputFolderMissing(const ConversionSettings& settings)
{
    std::error_code error;
    return !settings.outputFolder.empty() && !std::filesystem::is_directory(settings.outputFolder, error);
}

bool stillOpen(ConversionStatus status)
{
    return status == ConversionStatus::Ready || status == ConversionStatus::Scheduled ||
           status == ConversionStatus::Converting;
}

} // namespace

OutputNamer::OutputNamer(const ConversionSettings& settings, std::string nameTemplate)
    : outputFolder_(settings.outputFolder), extension_(withoutLeadingDot(settings.outputExtension)),
      nameTemplate_(std::move(nameTemplate))
{
}

std::filesystem::path OutputNamer::targetFolder(const std::filesystem::path& source) const
{
    return sameFolderMode() ? source.parent_path() : outputFolder_;
}

std::optional<std::filesystem::path> OutputNamer::candidateFor(const std::filesystem::path& source)
{
    std::filesystem::path candidate = targetFolder(source) / (source.stem().string() + "." + extension_);
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
        planned.protectedOutput = protectsExistingOutput(namer.sameFolderMode(), planned.source, planned.output);
        planned.decision = decisionWithoutAsking(current, planned.protectedOutput);
        planned.renamedTo = nextFreeName(planned.output, run.environment.nameTemplate, taken);
        if (planned.renamedTo && planned.decision == OverwriteDecision::Rename)
            promised.insert(planned.renamedTo->native());
    }
    std::reverse(plan.begin(), plan.end());
}

OperationResult scheduleJobs(ConversionRun& run, OverwritePolicySource& policy, OverwriteQuestion& question,
                             RunSink& sink, ProgressReporter& dialog, Failure* failure)
{
    sink.statusTextChanged("Converting Model", 0);
    sink.progressChanged(0.0);
    if (dialog.isCancelled())
        return OperationResult::Cancelled;

    run.jobs.clear();
    run.environment.scheduledOutputs.clear();
    OutputNamer namer(run.settings, run.environment.nameTemplate);
    for (RunEntry& entry : run.results) {
        if (dialog.isCancelled())
            return OperationResult::Cancelled;
        if (outputFolderMissing(run.settings))
            return failWith(failure, FailureKind::Unwritable, missingFolderText(run.settings.outputFolder));

        const std::optional<std::filesystem::path> candidate = namer.candidateFor(entry.source);
        if (!candidate) {
            entry.status = ConversionStatus::SaveFailed;
            recordFailure(&entry.failure, FailureKind::Unwritable, "no free numbered output name");
            continue;
        }
        OverwriteDecision decision = OverwriteDecision::None;
        if (outputNameTaken(*candidate)) {
            const bool protectedOutput = protectsExistingOutput(namer.sameFolderMode(), entry.source, *candidate);
            const std::optional<OverwriteDecision> decided =
                decideForExistingOutput(*candidate, protectedOutput, policy, question);
            if (!decided)
                return OperationResult::Cancelled;
            decision = *decided;
        }

        ConversionJob job;
        job.source = entry.source;
        job.settings = run.settings;
        job.settings.overwriteDecision = static_cast<std::int32_t>(decision);
        job.status = ConversionStatus::Scheduled;
        job.output = *candidate;
        run.environment.scheduledOutputs.insert(job.output.native());
        entry.output = job.output;
        entry.status = ConversionStatus::Scheduled;
        run.jobs.push_back(std::move(job));
        sink.jobStatusChanged(entry.source, ConversionStatus::Scheduled);
    }
    return OperationResult::Success;
}

OperationResult runConversion(ConversionRun& run, OverwritePolicySource& policy, OverwriteQuestion& question,
                              RunSink& sink, ProgressReporter& dialog, Failure* failure)
{
    OperationResult result = scheduleJobs(run, policy, question, sink, dialog, failure);
    if (result == OperationResult::Success)
        result = runJobs(run, dialog, sink);
    run.jobs.clear();
    for (auto entry = run.results.rbegin(); entry != run.results.rend(); ++entry) {
        if (stillOpen(entry->status))
            entry->status = ConversionStatus::Cancelled;
        sink.jobFinished(*entry);
    }
    return result;
}

} // namespace morvex
