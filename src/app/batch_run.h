#pragma once

#include "app/conversion_job.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// One file of a run and how it ended.
struct RunEntry {
    std::filesystem::path source;
    ConversionStatus status = ConversionStatus::Ready;
    std::filesystem::path output; // where it went (or would have gone)
    Failure failure;              // why it failed, when known
    double seconds = 0.0;         // time its worker spent on it
};

// Where a run reports, in place of posting messages to a window: the
// command line prints, the desktop program queues the calls onto its window
// thread. Every call may come from any worker thread, at any time during
// the run, and must return quickly.
class RunSink {
public:
    virtual ~RunSink() = default;
    // "Scheduled" as each file is scheduled, "Converting" when a worker
    // takes it.
    virtual void jobStatusChanged(const std::filesystem::path& source, ConversionStatus status) = 0;
    // A worker is done with a file: its entry as it ended, the moment it
    // ends (for counts and live logs; the list shows the final statuses only
    // after the run).
    virtual void jobCompleted(const RunEntry&) {}
    // Every file's final outcome, in list order, once the run has ended and
    // its workers have stopped.
    virtual void jobFinished(const RunEntry& entry) = 0;
    // Overall progress of the run, 0 to 1, throttled to steps of 0.01.
    virtual void progressChanged(double overall) = 0;
    // Status line 0 or 1 of the work in progress.
    virtual void statusTextChanged(std::string_view text, int line) = 0;
    // A message for the user from the work in progress.
    virtual void messagePosted(std::string_view) {}
};

// The batch of one convert command.
struct ConversionRun {
    // `inputs` in list order; the result list runs from the last to the
    // first, which is the order files are scheduled and converted in.
    ConversionRun(const std::vector<std::filesystem::path>& inputs, ConversionSettings runSettings,
                  ConvertFileFunction convertFile);

    ConversionSettings settings;
    JobEnvironment environment;
    unsigned workerCount = 0; // 0: one per processor
    unsigned threadCap = 0;   // threads all files together may use; 0: one per processor
    // A file whose output exists and is newer than it ends "Skipped" without
    // being converted: a rerun after a failure redoes only what is missing or
    // stale.
    bool skipComplete = false;
    // Added to the nice value of each worker (and of the threads and helper
    // programs it starts): a window keeps the processor it needs while the
    // workers use the rest.
    int workerNiceness = 0;
    std::vector<RunEntry> results;
    std::deque<ConversionJob> jobs;

    // Filled by the run.
    unsigned converted = 0; // ended Success, Replaced or Converted and renamed
    unsigned failed = 0;    // ended Read failed or Save failed
    std::filesystem::path lastOutput;
};

unsigned processorCount();

// Overall progress: finished jobs plus the current fractions of all workers,
// over the number of jobs at the start.
double overallProgress(std::uint64_t finishedJobs, double currentFractions, std::uint64_t jobsAtStart);

// Decides which overall values reach the sink: a value below the last one
// posted (a new job starting), one at least 0.01 above it, or the end.
class ProgressThrottle {
public:
    bool shouldPost(double overall);
    double lastPosted() const { return last_; }

private:
    double last_ = 0.0;
};

// The progress dialog's line "42% Complete, Estimated Time Remaining:
// 00:12:34", shown only while the estimate lies between ten minutes and two
// days; nothing otherwise.
std::optional<std::string> estimatedTimeRemainingLine(double overall, double secondsLeft);

// Runs the jobs of `run` on its workers and waits for them; cancellation
// and the wait go through `reporter`. Cancelled when the reporter was
// cancelled, Failure when a job stopped the run, else Success. Jobs never
// started are reported "Cancelled" in the results.
OperationResult runJobs(ConversionRun& run, ProgressReporter& reporter, RunSink& sink);

} // namespace morvex
