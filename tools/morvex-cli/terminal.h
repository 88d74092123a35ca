#pragma once

#include "support/progress/progress_reporter.h"

#include <atomic>
#include <csignal>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace morvex::cli {

// Ctrl-C and SIGTERM become a stop request on the reporter, made by a
// thread that waits for the signals (so nothing runs inside a signal
// handler), and wake any prompt that is waiting for an answer.
class InterruptWatcher {
public:
    explicit InterruptWatcher(StoppableReporter& reporter);
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    bool interrupted() const { return interrupted_.load(); }
    // Readable once interrupted; prompts poll it beside standard input.
    int wakeDescriptor() const { return wakePipe_[0]; }

private:
    StoppableReporter& reporter_;
    sigset_t signals_{};
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> interrupted_{false};
};

bool standardInputIsTerminal();
bool standardErrorIsTerminal();

// Reads one line typed on standard input, waking early when the watcher
// sees Ctrl-C. Nothing at the end of input or after an interrupt.
std::optional<std::string> readAnswerLine(const InterruptWatcher* watcher);

// A path as shown on a terminal or in a log line: line breaks, control
// characters and bytes that are not UTF-8 are written as escapes, so one
// file is always one line.
std::string displayPath(std::string_view path);

// Everything written to standard error goes through here, so the progress
// line, questions and messages never interleave.
class ErrorOutput {
public:
    static ErrorOutput& instance();
    std::mutex& mutex() { return mutex_; }
    // Under the mutex: writes the text, first clearing a progress line.
    void writeLocked(std::string_view text);
    void write(std::string_view text);
    // Replaces the progress line in place (terminal only; without escape
    // sequences on a terminal that has none).
    void showProgressLocked(std::string_view line);
    void clearProgressLocked();

private:
    ErrorOutput();
    // "\r" and spaces over the old line, where escape sequences would show
    // as text (TERM=dumb or no TERM at all).
    void eraseProgressLocked();

    std::mutex mutex_;
    bool progressShown_ = false;
    bool escapes_ = false;
    std::size_t progressWidth_ = 0; // characters of the line shown
};

} // namespace morvex::cli
