#pragma once

#include "app/batch_run.h"
#include "app/overwrite.h"

#include <string>

namespace morvex {

// Schedules every file of the run (from the last listed to the first):
// its output path, and for a path that exists the policy's decision,
// asking through `question` where the policy says so. Creates the jobs and
// reports each file "Scheduled". Cancelled when the reporter is cancelled or
// a question is dismissed; Failure when the output folder is missing.
OperationResult scheduleJobs(ConversionRun& run, OverwritePolicySource& policy, OverwriteQuestion& question,
                             RunSink& sink, ProgressReporter& reporter, Failure* failure = nullptr);

// The whole task of a convert command after its checks: schedules, runs the
// jobs, and reports every file's final status in list order. Files that
// never ran are reported "Cancelled".
OperationResult runConversion(ConversionRun& run, OverwritePolicySource& policy, OverwriteQuestion& question,
                              RunSink& sink, ProgressReporter& reporter, Failure* failure = nullptr);

} // namespace morvex
