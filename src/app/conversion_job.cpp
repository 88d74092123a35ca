#include "app/conversion_job.h"

#include "app/naming.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unordered_set>
#include <unistd.h>

namespace morvex {
namespace {

constexpr std::uint32_t RemoveBudgetMilliseconds = 10000;
// Attempts at a numbered name when another program keeps taking the one
// just found.
constexpr int MaxReservationAttempts = 100;

// An empty file created by this job to hold its output name.
struct Reservation {
    bool made = false;
    dev_t device = 0;
    ino_t inode = 0;
};

// Creates the name exclusively; 0 or the errno value.
int reserveName(const std::filesystem::path& path, Reservation& reservation)
{
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0)
        return errno;
    struct stat info {};
    if (::fstat(descriptor, &info) == 0) {
        reservation.made = true;
        reservation.device = info.st_dev;
        reservation.inode = info.st_ino;
    }
    ::close(descriptor);
    return 0;
}

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

private:
    std::string name_;
    bool held_ = false;
};

// Takes the next free numbered name beside `base` and reserves it with an
// empty file, which also keeps other programs off it. False when no
// numbered name is free.
bool reserveNumberedName(const std::filesystem::path base, const JobEnvironment& environment,
                         std::filesystem::path& chosen, Reservation& reservation)
{
    const auto taken = [&environment](const std::filesystem::path& path) {
        return environment.scheduledOutputs.count(path.native()) != 0 || nameInUse(path);
    };
    for (int attempt = 0; attempt < MaxReservationAttempts; ++attempt) {
        const std::optional<std::filesystem::path> next = nextFreeName(base, environment.nameTemplate, taken);
        if (!next)
            return false;
        const int error = reserveName(*next, reservation);
        if (error == EEXIST)
            continue; // taken between the look-up and the creation
        chosen = *next;
        return true; // reserved, or not reservable here: the writer reports that
    }
    return false;
}

// Removes the reservation when it is still the empty file this job made,
// so that nothing the writer completed (or anyone else wrote) is touched.
void releaseReservation(const std::filesystem::path& path, const Reservation& reservation)
{
    if (!reservation.made)
        return;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return;
    if (info.st_dev == reservation.device && info.st_ino == reservation.inode && info.st_size == 0)
        removeWithRetries(path);
}

bool isFailure(ConversionStatus status)
{
    return status < ConversionStatus::Success || status > ConversionStatus::ConvertedAndRenamed;
}

bool wroteOutput(ConversionStatus status)
{
    return status == ConversionStatus::Success || status == ConversionStatus::Replaced ||
           status == ConversionStatus::ConvertedAndRenamed;
}

OperationResult cancelJob(ConversionJob& job, const Reservation& reservation)
{
    releaseReservation(job.output, reservation);
    job.status = ConversionStatus::Cancelled;
    return OperationResult::Cancelled;
}

OperationResult jobCannotRun(ConversionJob& job, std::string_view message)
{
    job.status = ConversionStatus::SaveFailed;
    return failWith(&job.failure, FailureKind::Unwritable, message);
}

} // namespace

OverwriteDecision decisionOf(const ConversionSettings& settings)
{
    switch (settings.overwriteDecision) {
    case 0: return OverwriteDecision::Stop;
    case 1: return OverwriteDecision::Skip;
    case 2: return OverwriteDecision::Overwrite;
    case 3: return OverwriteDecision::Rename;
    default: return OverwriteDecision::None;
    }
}

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

OperationResult runJob(ConversionJob& job, const JobEnvironment& environment, ProgressReporter& reporter)
{
    NameClaim claim; // released after the lock below, whatever way the job ends
    Reservation reservation;
    if (reporter.isCancelled())
        return cancelJob(job, reservation);

    job.status = ConversionStatus::Success;
    const std::filesystem::path folder(job.settings.outputFolder);
    std::error_code error;
    if (!folder.empty() && !std::filesystem::is_directory(folder, error))
        return jobCannotRun(job, "the output folder no longer exists");

    {
        std::lock_guard lock(overwriteLock());
        switch (decisionOf(job.settings)) {
        case OverwriteDecision::Stop: job.status = ConversionStatus::Cancelled; break;
        case OverwriteDecision::Skip: job.status = ConversionStatus::Skipped; break;
        case OverwriteDecision::Overwrite: job.status = ConversionStatus::Replaced; break;
        case OverwriteDecision::Rename:
            if (!reserveNumberedName(job.output, environment, job.output, reservation))
                return jobCannotRun(job, "no free numbered output name");
            job.status = ConversionStatus::ConvertedAndRenamed;
            break;
        case OverwriteDecision::None:
            if (nameInUse(job.output)) {
                // Taken since the run was scheduled: never written over.
                if (!reserveNumberedName(job.output, environment, job.output, reservation))
                    return jobCannotRun(job, "no free numbered output name");
                job.status = ConversionStatus::ConvertedAndRenamed;
            }
            break;
        }
        claim.claim(job.output);
    }
    if (reporter.isCancelled())
        return cancelJob(job, reservation);

    if (job.status != ConversionStatus::Skipped && job.status != ConversionStatus::Cancelled) {
        const ConversionStatus converted =
            environment.convert ? environment.convert(job.source, job.output, job.settings, reporter, &job.failure)
                                : ConversionStatus::SaveFailed;
        if (converted != ConversionStatus::Success)
            job.status = converted;
    }
    if (isFailure(job.status) || job.status == ConversionStatus::Cancelled)
        releaseReservation(job.output, reservation);

    reporter.setProgress(1.0);
    // A file already in place is reported as written, even when Cancel came
    // a moment too late to stop it: calling it cancelled would hide that an
    // existing file was replaced.
    if (reporter.isCancelled() && !wroteOutput(job.status))
        return cancelJob(job, reservation);
    return OperationResult::Success;
}

} // namespace morvex
