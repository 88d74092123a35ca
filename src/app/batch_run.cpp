#include "app/batch_run.h"

#include "app/naming.h"
#include "support/core/parallel_ranges.h"
#include "support/platform/memory_reuse.h"
#include "support/platform/thread_priority.h"
#include "support/text/text.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace morvex {
namespace {

// What the workers of one run share.
struct RunState {
    RunState(ConversionRun& r, ProgressReporter& p, RunSink& s) : run(r), reporter(p), sink(s) {}

    ConversionRun& run;
    ProgressReporter& reporter;
    RunSink& sink;

    std::mutex jobsLock;     // the job list, the result list and the counts
    unsigned converting = 0; // files being converted now
    unsigned threadCap = 1;  // threads the run's files may use together

    // The processors are shared among the files still to convert: each of
    // many files gets one thread, and the last file of a batch (or a lone
    // one) gets the threads of the workers that found nothing left to do.
    // Called with jobsLock held.
    void shareThreads()
    {
        const std::size_t files = std::min<std::size_t>(run.jobs.size() + converting, workerCount);
        setThreadsPerFile(threadCap / static_cast<unsigned>(std::max<std::size_t>(files, 1)));
    }
    WaitableEvent changed;
    std::atomic<bool> stop{false};
    std::unordered_map<std::string, std::vector<std::size_t>> entriesBySource;

    // Progress is read without a lock (workers report often); only a value
    // that the throttle may pass takes the lock, to post in order.
    std::uint64_t jobsAtStart = 0;
    std::atomic<std::uint64_t> finished{0};
    std::unique_ptr<std::atomic<double>[]> fractions; // one per worker
    std::size_t workerCount = 0;
    std::atomic<double> lastPosted{0.0};
    std::mutex progressLock;
    ProgressThrottle throttle;
};

bool stopsTheRun(ConversionStatus shown)
{
    return shown == ConversionStatus::Cancelled || shown == ConversionStatus::InsufficientDiskSpace ||
           shown < ConversionStatus::Scheduled || shown > ConversionStatus::CannotBeConverted;
}

// One worker thread: takes jobs from the front of the list until it is
// empty, the run is stopped or the worker is told to stop; and is the
// reporter of the jobs it runs, turning their progress into the run's.
class ConversionWorker final : public StoppableReporter {
public:
    ConversionWorker(RunState& state, std::size_t index) : state_(state), index_(index) {}

    ~ConversionWorker() override { join(); }

    bool start()
    {
        try {
            thread_ = std::thread([this] { body(); });
            return true;
        } catch (const std::system_error&) {
            done_.store(true); // never ran: nothing to wait for
            return false;
        }
    }
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    bool done() const { return done_.load(); }

    // Inline, on the calling thread, when no thread could be started.
    void runHere()
    {
        inline_ = true;
        body();
    }

    // The run sets every worker's own stop signal as soon as the reporter is
    // cancelled, so the workers never share a lock to ask; only a worker
    // running on the caller's thread asks the reporter itself.
    bool isCancelled() override
    {
        return StoppableReporter::isCancelled() || (inline_ && state_.reporter.isCancelled());
    }
    void postTextMessage(std::string_view text) override { state_.sink.messagePosted(text); }
    void setStatusText(std::string_view text, int line) override
    {
        if (line != 0 && line != 1)
            return;
        // A text of at most 259 bytes holds at most 259 UTF-16 units.
        if (text.size() <= MaxTextUnits)
            state_.sink.statusTextChanged(text, line);
        else
            state_.sink.statusTextChanged(limitUtf16Units(text), line);
    }
    void setProgress(double fraction) override
    {
        state_.fractions[index_].store(std::clamp(fraction, 0.0, 1.0));
        const double overall = currentOverall();
        const double last = state_.lastPosted.load();
        if (overall >= last && overall < last + 0.01 && overall < 1.0)
            return; // the throttle would not pass it
        std::lock_guard lock(state_.progressLock);
        if (state_.throttle.shouldPost(overall)) {
            state_.lastPosted.store(overall);
            state_.sink.progressChanged(overall);
        }
    }

private:
    double currentOverall() const
    {
        double sum = 0.0;
        for (std::size_t i = 0; i < state_.workerCount; ++i)
            sum += state_.fractions[i].load();
        return overallProgress(state_.finished.load(), sum, state_.jobsAtStart);
    }

    std::optional<ConversionJob> takeJob()
    {
        std::lock_guard lock(state_.jobsLock);
        if (state_.run.jobs.empty())
            return std::nullopt;
        ConversionJob job = std::move(state_.run.jobs.front());
        state_.run.jobs.pop_front();
        ++state_.converting;
        state_.shareThreads();
        return job;
    }

    // Records the outcome in every entry of the source and tells the sink;
    // true when the run must stop.
    bool reportFinished(const ConversionJob& job, OperationResult result, double seconds)
    {
        const ConversionStatus shown = result == OperationResult::Success ? job.status : ConversionStatus::Cancelled;
        const RunEntry ended{job.source, shown, job.output, job.failure, seconds};
        {
            std::lock_guard lock(state_.jobsLock);
            --state_.converting;
            state_.shareThreads();
            const auto found = state_.entriesBySource.find(job.source.native());
            if (found != state_.entriesBySource.end())
                for (std::size_t index : found->second)
                    state_.run.results[index] = ended;
            state_.run.lastOutput = job.output;
            if (result == OperationResult::Success) {
                if (shown == ConversionStatus::Success || shown == ConversionStatus::Replaced ||
                    shown == ConversionStatus::ConvertedAndRenamed)
                    ++state_.run.converted;
                else if (shown == ConversionStatus::ReadFailed || shown == ConversionStatus::SaveFailed)
                    ++state_.run.failed;
            }
        }
        // Outside the lock: the sink may write to a pipe that is slow to drain.
        state_.sink.jobCompleted(ended);
        return stopsTheRun(shown);
    }

    void reportNotRun()
    {
        std::lock_guard lock(state_.jobsLock);
        while (!state_.run.jobs.empty()) {
            const ConversionJob& job = state_.run.jobs.front();
            const auto found = state_.entriesBySource.find(job.source.native());
            if (found != state_.entriesBySource.end())
                for (std::size_t index : found->second) {
                    state_.run.results[index].status = ConversionStatus::Cancelled;
                    state_.run.results[index].output = job.output;
                }
            state_.run.jobs.pop_front();
        }
    }

    void body()
    {
        lowerCurrentThreadPriority(state_.run.workerNiceness);
        while (!state_.stop.load() && !isCancelled()) {
            std::optional<ConversionJob> job = takeJob();
            if (!job)
                break;
            state_.sink.jobStatusChanged(job->source, ConversionStatus::Converting);
            const auto started = std::chrono::steady_clock::now();
            const OperationResult result = runJob(*job, state_.run.environment, *this);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            const bool stop = reportFinished(*job, result, seconds);
            // The fraction first: a worker reading in between sees a little
            // less progress, never more than was made.
            state_.fractions[index_].store(0.0);
            state_.finished.fetch_add(1);
            if (stop)
                state_.stop.store(true);
        }
        reportNotRun();
        done_.store(true);
        state_.changed.set();
    }

    RunState& state_;
    std::size_t index_;
    std::thread thread_;
    std::atomic<bool> done_{false};
    bool inline_ = false;
};

} // namespace

ConversionRun::ConversionRun(const std::vector<std::filesystem::path>& inputs, ConversionSettings runSettings,
                             ConvertFileFunction convertFile)
    : settings(std::move(runSettings))
{
    environment.convert = std::move(convertFile);
    environment.nameTemplate = DefaultNameTemplate;
    results.reserve(inputs.size());
    for (auto it = inputs.rbegin(); it != inputs.rend(); ++it) {
        RunEntry entry;
        entry.source = *it;
        results.push_back(std::move(entry));
    }
}

unsigned processorCount()
{
    return std::max(1u, std::thread::hardware_concurrency());
}

double overallProgress(std::uint64_t finishedJobs, double currentFractions, std::uint64_t jobsAtStart)
{
    if (jobsAtStart == 0)
        return 1.0;
    return (static_cast<double>(finishedJobs) + currentFractions) / static_cast<double>(jobsAtStart);
}

bool ProgressThrottle::shouldPost(double overall)
{
    if (overall < last_ || overall >= last_ + 0.01 || overall >= 1.0) {
        last_ = overall;
        return true;
    }
    return false;
}

std::optional<std::string> estimatedTimeRemainingLine(double overall, double secondsLeft)
{
    if (!(secondsLeft > 600.0) || secondsLeft > 172799.0)
        return std::nullopt;
    const long seconds = static_cast<long>(secondsLeft);
    char line[96];
    std::snprintf(line, sizeof line, "%d%% Complete, Estimated Time Remaining: %.2ld:%.2ld:%.2ld",
                  static_cast<int>(std::clamp(overall, 0.0, 1.0) * 100.0), seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return std::string(line);
}

OperationResult runJobs(ConversionRun& run, ProgressReporter& reporter, RunSink& sink)
{
    keepFreedMemoryForReuse();
    RunState state(run, reporter, sink);
    state.jobsAtStart = run.jobs.size();
    for (std::size_t i = 0; i < run.results.size(); ++i)
        state.entriesBySource[run.results[i].source.native()].push_back(i);

    const unsigned count = run.workerCount != 0 ? run.workerCount : processorCount();
    state.workerCount = count;
    state.threadCap = run.threadCap != 0 ? run.threadCap : processorCount();
    {
        std::lock_guard lock(state.jobsLock);
        state.shareThreads();
    }
    state.fractions = std::make_unique<std::atomic<double>[]>(count);
    for (unsigned i = 0; i < count; ++i)
        state.fractions[i].store(0.0);
    std::vector<std::unique_ptr<ConversionWorker>> workers;
    workers.reserve(count);
    std::size_t started = 0;
    for (unsigned i = 0; i < count; ++i) {
        workers.push_back(std::make_unique<ConversionWorker>(state, i));
        started += workers.back()->start();
    }
    if (started == 0)
        workers.front()->runHere();

    OperationResult result = OperationResult::Success;
    for (;;) {
        if (reporter.isCancelled()) {
            result = OperationResult::Cancelled;
            break;
        }
        state.changed.reset();
        const bool allDone =
            std::all_of(workers.begin(), workers.end(), [](const auto& worker) { return worker->done(); });
        if (allDone)
            break;
        if (reporter.waitForHandle(state.changed, WaitForever) == WaitResult::Stopped) {
            result = OperationResult::Cancelled;
            break;
        }
    }
    for (const auto& worker : workers)
        worker->requestStop();
    for (const auto& worker : workers)
        worker->join();
    setThreadsPerFile(1); // outside a run, work stays on its caller's thread

    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    if (state.stop.load())
        return OperationResult::Failure;
    return result;
}

} // namespace morvex
