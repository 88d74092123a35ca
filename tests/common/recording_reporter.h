#pragma once

#include "support/progress/progress_reporter.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace morvex {

// Records every call, for tests. It can also be told to report a stop after
// a given number of cancellation checks, to test where work polls.
class RecordingReporter : public StoppableReporter {
public:
    struct StatusCall {
        std::string text;
        int line;
    };

    // After this many isCancelled calls (counting from 1) the stop is
    // requested; 0 disables it.
    void cancelAfterChecks(std::uint64_t checks) { cancelAfter_ = checks; }

    bool isCancelled() override
    {
        const std::uint64_t n = ++cancelChecks_;
        if (cancelAfter_ != 0 && n >= cancelAfter_)
            requestStop();
        return StoppableReporter::isCancelled();
    }
    void postTextMessage(std::string_view text) override
    {
        std::lock_guard lock(mutex_);
        messages.emplace_back(text);
    }
    void setStatusText(std::string_view text, int line) override
    {
        std::lock_guard lock(mutex_);
        statuses.push_back({std::string(text), line});
    }
    void setProgress(double fraction) override
    {
        std::lock_guard lock(mutex_);
        progress.push_back(fraction);
    }
    void beginIndeterminate() override { ++indeterminateBegins; }
    void endIndeterminate() override { ++indeterminateEnds; }

    std::uint64_t cancelChecks() const { return cancelChecks_; }

    // Last status text sent for a line, or empty.
    std::string lastStatus(int line) const
    {
        std::lock_guard lock(mutex_);
        for (auto it = statuses.rbegin(); it != statuses.rend(); ++it)
            if (it->line == line)
                return it->text;
        return {};
    }

    std::vector<StatusCall> statuses;
    std::vector<double> progress;
    std::vector<std::string> messages;
    std::atomic<int> indeterminateBegins{0};
    std::atomic<int> indeterminateEnds{0};

private:
    mutable std::mutex mutex_;
    std::atomic<std::uint64_t> cancelChecks_{0};
    std::uint64_t cancelAfter_ = 0;
};

} // namespace morvex
