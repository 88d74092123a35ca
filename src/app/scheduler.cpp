#include "app/scheduler.h"

#include "app/naming.h"
#include "app/output_planning.h"
#include "support/platform/stale_temporaries.h"
#include "support/text/text.h"

#include <unordered_set>

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

OperationResult scheduleJobs(ConversionRun& run, OverwritePolicySource& policy, OverwriteQuestion& question,
                             RunSink& sink, ProgressReporter& reporter, Failure* failure)
{
    sink.statusTextChanged("Converting Model", 0);
    sink.progressChanged(0.0);
    if (reporter.isCancelled())
        return OperationResult::Cancelled;

    run.jobs.clear();
    run.environment.scheduledOutputs.clear();
    OutputNamer namer(run.settings, run.environment.nameTemplate);
    for (RunEntry& entry : run.results) {
        if (reporter.isCancelled())
            return OperationResult::Cancelled;
        if (outputFolderMissing(run.settings))
            return failWith(failure, FailureKind::Unwritable, missingFolderText(run.settings.outputFolder));

        const std::optional<std::filesystem::path> candidate = namer.candidateFor(entry.source);
        if (!candidate) {
            entry.status = ConversionStatus::SaveFailed;
            recordFailure(&entry.failure, FailureKind::Unwritable, "no free numbered output name");
            continue;
        }
        if (run.skipComplete && outputComplete(entry.source, *candidate)) {
            entry.status = ConversionStatus::Skipped;
            entry.output = *candidate;
            continue;
        }
        OverwriteDecision decision = OverwriteDecision::None;
        if (outputNameTaken(*candidate)) {
            const bool protectedOutput = protectsExistingOutput(
                namer.sameFolderMode() && !policy.replacesBesideSources(), entry.source, *candidate);
            const std::optional<OverwriteDecision> decided =
                decideForExistingOutput(*candidate, protectedOutput, policy, question);
            if (!decided)
                return OperationResult::Cancelled;
            decision = *decided;
        }

        ConversionJob job;
        job.source = entry.source;
        job.settings = run.settings;
        job.settings.overwriteDecision = decision;
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

namespace {

// A run that was killed leaves its private files and folders beside its
// outputs; the next run into the same folders removes them first.
void removeWhatKilledRunsLeft(const ConversionRun& run)
{
    std::unordered_set<std::string> folders;
    for (const ConversionJob& job : run.jobs) {
        const std::filesystem::path folder =
            job.output.parent_path().empty() ? std::filesystem::path(".") : job.output.parent_path();
        if (folders.insert(folder.native()).second)
            removeStaleTemporaries(folder);
    }
}

} // namespace

OperationResult runConversion(ConversionRun& run, OverwritePolicySource& policy, OverwriteQuestion& question,
                              RunSink& sink, ProgressReporter& reporter, Failure* failure)
{
    OperationResult result = scheduleJobs(run, policy, question, sink, reporter, failure);
    if (result == OperationResult::Success) {
        removeWhatKilledRunsLeft(run);
        result = runJobs(run, reporter, sink);
    }
    run.jobs.clear();
    for (auto entry = run.results.rbegin(); entry != run.results.rend(); ++entry) {
        if (stillOpen(entry->status))
            entry->status = ConversionStatus::Cancelled;
        sink.jobFinished(*entry);
    }
    return result;
}

} // namespace morvex
