#pragma once

#include "app/batch_run.h"
#include "app/output_folder_check.h"
#include "app/overwrite.h"
#include "terminal.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace morvex::cli {

// How each file's result is shown.
struct ResultStyle {
    bool json = false;    // one JSON object per file on standard output
    bool quiet = false;   // text lines for files that did not end well only
    bool verbose = false; // also a line for every file that never started
};

// Prints each file's result the moment the file ends, flushed, so that a
// piped or logged run can be followed; the JSON object carries the file's
// position in the input as "index". Safe to call from every worker.
class LiveResults {
public:
    LiveResults(const std::vector<std::filesystem::path>& inputs, ResultStyle style);

    // Shows paths by other names (standard input and output as "-").
    void showNamesBy(std::function<std::string(const std::filesystem::path&)> shownName)
    {
        shownName_ = std::move(shownName);
    }

    void fileEnded(const RunEntry& entry);
    // After the run, the files no worker reported: those that could not be
    // scheduled are printed; those never started (after Ctrl-C or a stop)
    // only in JSON and with --verbose, the summary counts them otherwise.
    void reportTheRest(const std::vector<RunEntry>& finals);
    // The first file a worker reported "Cancelled".
    std::optional<RunEntry> firstCancelledOnAWorker();

private:
    void print(const RunEntry& entry, std::size_t index);

    ResultStyle style_;
    std::function<std::string(const std::filesystem::path&)> shownName_;
    std::unordered_map<std::string, std::size_t> indexBySource_;
    std::mutex mutex_;
    std::vector<bool> printed_;
    std::optional<RunEntry> firstCancelled_;
};

// The counts of a run's endings, from every file's final status.
struct RunCounts {
    std::size_t files = 0;
    std::size_t converted = 0; // Success, Replaced, Converted and renamed
    std::size_t skipped = 0;
    std::size_t failed = 0;
    std::size_t cancelled = 0;
};
RunCounts countEndings(const std::vector<RunEntry>& finals);
bool endedWell(ConversionStatus status);

// "340 files: 201 converted, 1 skipped, 0 failed, 139 cancelled
// (interrupted) in 0:19"; `why` (in brackets) says why files were
// cancelled, when they were.
std::string summaryLine(const RunCounts& counts, std::string_view why, double seconds);

// The end of a run: the summary line on standard error (unless quiet) and,
// with --json, the summary object on standard output. Returns the exit
// status: 130 when interrupted, 0 when every file ended well and every path
// named something usable, else 1.
int reportRunSummary(const RunCounts& counts, std::string_view cancelledWhy, double seconds, bool interrupted,
                     bool everyPathUsed, ResultStyle style);

// The command line's sink of a run: keeps the counts and the latest status
// text, draws one progress line on a terminal (redrawn in place a few times
// a second by its own thread), passes each file's end on as it happens, and
// collects the final statuses of the run.
class ConsoleSink : public RunSink {
public:
    // `sources`: the files of the run, whose sizes the estimate of the time
    // left goes by. `verbose`: every step of every file is printed with the
    // time since the file started.
    ConsoleSink(const std::vector<std::filesystem::path>& sources, bool showProgress, bool verbose, LiveResults& live);
    ~ConsoleSink() override;

    void jobStatusChanged(const std::filesystem::path& source, ConversionStatus status) override;
    void jobCompleted(const RunEntry& entry) override;
    void jobFinished(const RunEntry& entry) override;
    void progressChanged(double overall) override;
    void statusTextChanged(std::string_view text, int line) override;
    void messagePosted(std::string_view text) override;

    // Stops the progress line and removes it.
    void stopProgress();
    const std::vector<RunEntry>& finals() const { return finals_; }

private:
    std::string progressLine();
    void tick();

    // The file a worker thread converts, for the steps it reports.
    struct Running {
        std::string name; // file name, escaped for display
        std::chrono::steady_clock::time_point started;
        std::string lastStep;
    };

    LiveResults& live_;
    std::mutex mutex_;
    std::size_t total_;
    std::size_t done_ = 0;
    double overall_ = 0.0;
    std::string statusText_; // "a.stl: Loading header..."
    std::unordered_map<std::string, std::uintmax_t> sizes_;
    std::uintmax_t totalBytes_ = 0;
    std::uintmax_t doneBytes_ = 0;
    std::unordered_map<std::thread::id, Running> running_;
    bool verbose_;
    std::vector<RunEntry> finals_;
    std::chrono::steady_clock::time_point started_;

    bool showProgress_;
    bool stopping_ = false;
    std::condition_variable wake_;
    std::thread ticker_;
};

// "1:02" or "1:02:03".
std::string formatDuration(double seconds);
// "[ 42%] 840/2000 files  a.stl: Loading header...  0:12 elapsed, about
// 0:16 left", cut to the terminal's width. The time left goes by
// `bytesDone` (the share of the input's bytes in finished files) once any
// file has finished, else by the overall fraction.
std::string composeProgressLine(double overall, double bytesDone, std::size_t done, std::size_t total,
                                std::string_view status, double elapsedSeconds, std::size_t width);

// The name of this machine (gethostname), so that the JSON lines of many
// machines can simply be put together.
const std::string& hostName();
// ,"host":"NAME" for a JSON object being written.
void appendJsonHost(std::string& out);

// One line per file: "a.obj: Success -> out/a.stl", "b.obj: Read failed: why".
std::string fileResultLine(const RunEntry& entry);
// {"index":0, "source":..., "output":..., "status":3, "statusText":"Success",
// "seconds":0.01, "host":"render-07"}; "output" is null when nothing was
// written.
std::string fileResultJson(const RunEntry& entry, std::size_t index);

// Asks the overwrite question on the terminal. An answer in capitals ("R")
// is the answer to every later clash of the run, without asking again; one
// with "!" is stored, and the user is told where.
class TerminalOverwriteQuestion : public OverwriteQuestion {
public:
    TerminalOverwriteQuestion(const InterruptWatcher& watcher, const SettingsStore& store)
        : watcher_(watcher), store_(store)
    {
    }
    OverwriteReply ask(const std::filesystem::path& candidate, bool overwriteOffered) override;

private:
    static std::string answerWord(OverwriteAnswer answer);

    const InterruptWatcher& watcher_;
    const SettingsStore& store_;
    std::optional<OverwriteReply> forThisRun_;
};

// Nobody to ask: every question stops the run, and the first is kept for
// the message that tells the user to choose with --on-exists.
class UnanswerableQuestion : public OverwriteQuestion {
public:
    OverwriteReply ask(const std::filesystem::path& candidate, bool) override
    {
        if (first.empty())
            first = candidate;
        return {};
    }
    std::filesystem::path first;
};

class TerminalFolderQuestion : public CreateFolderQuestion {
public:
    TerminalFolderQuestion(const InterruptWatcher& watcher, const SettingsStore& store)
        : watcher_(watcher), store_(store)
    {
    }
    CreateFolderReply ask(std::string_view folder) override;

private:
    const InterruptWatcher& watcher_;
    const SettingsStore& store_;
};

} // namespace morvex::cli
