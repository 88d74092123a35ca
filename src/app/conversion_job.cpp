#include "app/conversion_job.h"

#include "app/naming.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

namespace morvex {
namespace {

constexpr std::uint32_t RemoveBudgetMilliseconds = 10000;
// Conversions of one job when another program keeps taking the numbered
// name just found.
constexpr int MaxNameAttempts = 100;

// Output names that jobs of this process are writing, guarded by the
// overwrite lock: a job never takes a name another job is still writing.
std::unordered_set<std::string>& claimedNames()
{
    static std::unordered_set<std::string> names;
    return names;
}

bool nameInUse(const std::filesystem::path& path)
{
    return claimedNames().count(path.native()) != 0 || outputNameTaken(path);
}

// Holds a job's output name in the claimed names until the job ends.
class NameClaim {
public:
    NameClaim() = default;
    NameClaim(const NameClaim&) = delete;
    NameClaim& operator=(const NameClaim&) = delete;
    ~NameClaim()
    {
        if (!held_)
            return;
        std::lock_guard lock(overwriteLock());
        claimedNames().erase(name_);
    }
    // Under the overwrite lock.
    void claim(const std::filesystem::path& path)
    {
        name_ = path.native();
        held_ = claimedNames().insert(name_).second;
    }
    // Under the overwrite lock.
    void release()
    {
        if (held_)
            claimedNames().erase(name_);
        held_ = false;
    }

private:
    std::string name_;
    bool held_ = false;
};

// Takes the next numbered name beside `base` that no file has, no job of
// this process writes and no job of the run was promised. Another program
// may still take it before the output moves there; the move finds that out
// and never replaces what it finds. False when no numbered name is free.
bool chooseNumberedName(const std::filesystem::path& base, const JobEnvironment& environment,
                        std::filesystem::path& chosen)
{
    const auto taken = [&environment](const std::filesystem::path& path) {
        return environment.scheduledOutputs.count(path.native()) != 0 || nameInUse(path);
    };
    const std::optional<std::filesystem::path> next = nextFreeName(base, environment.nameTemplate, taken);
    if (!next)
        return false;
    chosen = *next;
    return true;
}

bool wroteOutput(ConversionStatus status)
{
    return status == ConversionStatus::Success || status == ConversionStatus::Replaced ||
           status == ConversionStatus::ConvertedAndRenamed;
}

OperationResult cancelJob(ConversionJob& job)
{
    job.status = ConversionStatus::Cancelled;
    return OperationResult::Cancelled;
}

OperationResult jobCannotRun(ConversionJob& job, std::string_view message)
{
    job.status = ConversionStatus::SaveFailed;
    return failWith(&job.failure, FailureKind::Unwritable, message);
}

} // namespace

std::mutex& overwriteLock()
{
    static std::mutex lock;
    return lock;
}

bool removeWithRetries(const std::filesystem::path& path, const RemoveFileFunction& remove, const SleepFunction& sleep)
{
    const auto removeOnce = [&]() -> int {
        if (remove)
            return remove(path);
        return ::unlink(path.c_str()) == 0 ? 0 : errno;
    };
    std::uint32_t budget = RemoveBudgetMilliseconds;
    std::uint32_t pause = (RemoveBudgetMilliseconds + 127) / 128;
    for (;;) {
        const int error = removeOnce();
        if (error == 0 || error == ENOENT)
            return true;
        // Busy: still held by someone; anything else will not change.
        if ((error != EBUSY && error != ETXTBSY) || budget <= pause)
            return false;
        if (sleep)
            sleep(pause);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        budget -= pause;
        pause *= 2;
    }
}

namespace {

// The name the job writes, decided under the overwrite lock and claimed for
// the job's lifetime; Failure when no numbered name is free.
OperationResult decideOutputName(ConversionJob& job, const JobEnvironment& environment, NameClaim& claim)
{
    std::lock_guard lock(overwriteLock());
    switch (job.settings.overwriteDecision) {
    case OverwriteDecision::Stop: job.status = ConversionStatus::Cancelled; break;
    case OverwriteDecision::Skip: job.status = ConversionStatus::Skipped; break;
    case OverwriteDecision::Overwrite: job.status = ConversionStatus::Replaced; break;
    case OverwriteDecision::Rename:
        if (!chooseNumberedName(job.output, environment, job.output))
            return jobCannotRun(job, "no free numbered output name");
        job.status = ConversionStatus::ConvertedAndRenamed;
        break;
    case OverwriteDecision::None:
        if (nameInUse(job.output)) {
            // Taken since the run was scheduled: never written over.
            if (!chooseNumberedName(job.output, environment, job.output))
                return jobCannotRun(job, "no free numbered output name");
            job.status = ConversionStatus::ConvertedAndRenamed;
        }
        break;
    }
    claim.claim(job.output);
    return OperationResult::Success;
}

// The output name was free when the job chose it, but another program put
// a file there before the output could move in. That file stays; the job
// ends as its decision says for a taken name. True when it should convert
// again under a new numbered name.
bool handleNameTakenMeanwhile(ConversionJob& job, const JobEnvironment& environment, NameClaim& claim)
{
    switch (job.settings.overwriteDecision) {
    case OverwriteDecision::Skip: job.status = ConversionStatus::Skipped; return false;
    case OverwriteDecision::Stop: job.status = ConversionStatus::Cancelled; return false;
    case OverwriteDecision::Overwrite: // replacing moves never find a name taken
    case OverwriteDecision::Rename:
    case OverwriteDecision::None: break;
    }
    std::lock_guard lock(overwriteLock());
    std::filesystem::path next;
    if (!chooseNumberedName(job.output, environment, next)) {
        jobCannotRun(job, "no free numbered output name");
        return false;
    }
    claim.release();
    job.output = next;
    claim.claim(job.output);
    job.status = ConversionStatus::ConvertedAndRenamed;
    return true;
}

} // namespace

OperationResult runJob(ConversionJob& job, const JobEnvironment& environment, ProgressReporter& reporter)
{
    NameClaim claim; // released after the lock below, whatever way the job ends
    if (reporter.isCancelled())
        return cancelJob(job);

    job.status = ConversionStatus::Success;
    const std::filesystem::path folder(job.settings.outputFolder);
    std::error_code error;
    if (!folder.empty() && !std::filesystem::is_directory(folder, error))
        return jobCannotRun(job, "the output folder no longer exists");
    if (decideOutputName(job, environment, claim) != OperationResult::Success)
        return OperationResult::Failure;
    if (reporter.isCancelled())
        return cancelJob(job);

    bool convert = job.status != ConversionStatus::Skipped && job.status != ConversionStatus::Cancelled;
    for (int attempt = 0; convert; ++attempt) {
        if (attempt == MaxNameAttempts) {
            jobCannotRun(job, "no free numbered output name");
            break;
        }
        const ConversionStatus converted =
            environment.convert ? environment.convert(job.source, job.output, job.settings, reporter, &job.failure)
                                : ConversionStatus::SaveFailed;
        convert = false;
        if (converted == ConversionStatus::OutputNameTaken) {
            job.failure = Failure{}; // the taken name was no failure of the file
            convert = handleNameTakenMeanwhile(job, environment, claim) && !reporter.isCancelled();
        } else if (converted != ConversionStatus::Success) {
            job.status = converted;
        }
    }

    reporter.setProgress(1.0);
    // A file already in place is reported as written, even when Cancel came
    // a moment too late to stop it: calling it cancelled would hide that an
    // existing file was replaced.
    if (reporter.isCancelled() && !wroteOutput(job.status))
        return cancelJob(job);
    return OperationResult::Success;
}

} // namespace morvex
