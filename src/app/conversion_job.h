#pragma once

#include "app/conversion_settings.h"
#include "app/conversion_status.h"
#include "app/overwrite.h"
#include "support/progress/progress_reporter.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>

namespace morvex {

// Converts one file; the pipeline's convertFile in the program, something
// simpler in tests. Returns Success, Cancelled, ReadFailed, SaveFailed or
// OutputNameTaken, and may say why in `failure`.
using ConvertFileFunction =
    std::function<ConversionStatus(const std::filesystem::path& source, const std::filesystem::path& output,
                                   const ConversionSettings& settings, ProgressReporter& reporter, Failure* failure)>;

// One scheduled file.
struct ConversionJob {
    std::filesystem::path source;
    ConversionSettings settings; // carries the file's overwrite decision
    ConversionStatus status = ConversionStatus::Scheduled;
    std::filesystem::path output; // replaced when the file is renamed
    Failure failure;              // why the file failed, when known
};

// What every job of a run shares.
struct JobEnvironment {
    ConvertFileFunction convert;
    std::string nameTemplate; // a usable numbered-name template
    // Every output name the run's scheduler gave out: a job that has to
    // number its name never takes one that another job of the run will write.
    std::unordered_set<std::string> scheduledOutputs;
};

// The one process-wide lock under which output names are decided and
// claimed, so that two workers never pick the same name.
std::mutex& overwriteLock();

// Runs one job: applies its decision under the overwrite lock, converts,
// and reports. Success: the job ran, whatever its status. Cancelled:
// stopped. Failure: the job could not run (its output folder is gone, no
// numbered name is free); its status is then SaveFailed.
//
// Every output name is claimed for the job's lifetime under the lock, so two
// jobs of this process never write one name. A name that was free when the
// run was scheduled but has been taken since is never written over: the job
// takes the next numbered name and ends "Converted and renamed". Another
// program may take a name between the choice and the final move; the move
// never replaces (but for "Overwrite"), and the job then converts again
// under the next numbered name, or skips or stops as its decision says.
// "Overwrite" keeps the old file until the new one is complete, so a failed
// conversion leaves the old file as it was.
OperationResult runJob(ConversionJob& job, const JobEnvironment& environment, ProgressReporter& reporter);

// Deletes a file, retrying while the system says it is busy: pauses of 79
// ms, doubling, within a budget of 10 seconds. Any other error ends the
// attempts. True when the file is gone.
using RemoveFileFunction = std::function<int(const std::filesystem::path&)>; // 0 or an errno value
using SleepFunction = std::function<void(std::uint32_t milliseconds)>;
bool removeWithRetries(const std::filesystem::path& path, const RemoveFileFunction& remove = {},
                       const SleepFunction& sleep = {});

} // namespace morvex
