#pragma once

#include "app/batch_run.h"
#include "app/output_folder_check.h"
#include "app/overwrite.h"
#include "terminal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace morvex::cli {

// The command line's sink of a run: keeps the counts and the latest status
// text, draws one progress line on a terminal (redrawn in place a few times
// a second by its own thread), and collects the final statuses for the
// lines printed after the run.
class ConsoleSink : public RunSink {
public:
    ConsoleSink(std::size_t totalFiles, bool showProgress);
    ~ConsoleSink() override;

    void jobStatusChanged(const std::filesystem::path& source, ConversionStatus status) override;
    void jobCompleted(const std::filesystem::path& source, ConversionStatus status) override;
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

    std::mutex mutex_;
    std::size_t total_;
    std::size_t done_ = 0;
    double overall_ = 0.0;
    std::string statusText_;
    std::vector<RunEntry> finals_;
    std::chrono::steady_clock::time_point started_;

    bool showProgress_;
    bool stopping_ = false;
    std::condition_variable wake_;
    std::thread ticker_;
};

// "1:02" or "1:02:03".
std::string formatDuration(double seconds);
// "[ 42%] 840/2000 files  <status>  0:12 elapsed, about 0:16 left", cut to
// the terminal's width.
std::string composeProgressLine(double overall, std::size_t done, std::size_t total, std::string_view status,
                                double elapsedSeconds, std::size_t width);

// One line per file: "a.obj: Success -> out/a.stl", "b.obj: Read failed: why".
std::string fileResultLine(const RunEntry& entry);
// {"source":..., "output":..., "status":3, "statusText":"Success", "seconds":0.01}
std::string fileResultJson(const RunEntry& entry);

// Asks the overwrite question on the terminal.
class TerminalOverwriteQuestion : public OverwriteQuestion {
public:
    explicit TerminalOverwriteQuestion(const InterruptWatcher& watcher) : watcher_(watcher) {}
    OverwriteReply ask(const std::filesystem::path& candidate, bool overwriteOffered) override;

private:
    const InterruptWatcher& watcher_;
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
    explicit TerminalFolderQuestion(const InterruptWatcher& watcher) : watcher_(watcher) {}
    CreateFolderReply ask(std::string_view folder) override;

private:
    const InterruptWatcher& watcher_;
};

} // namespace morvex::cli
