#pragma once

#include "app/batch_run.h"
#include "app/overwrite.h"
#include "common/test_support.h"
#include "support/platform/files.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace morvex::testing {

// Answers the overwrite question from a script and records every question.
class ScriptedQuestion : public OverwriteQuestion {
public:
    OverwriteReply ask(const std::filesystem::path& candidate, bool overwriteOffered) override
    {
        asked.push_back({candidate, overwriteOffered});
        if (replies.empty())
            return {};
        const OverwriteReply reply = replies.front();
        replies.pop_front();
        return reply;
    }
    struct Asked {
        std::filesystem::path candidate;
        bool overwriteOffered;
    };
    std::deque<OverwriteReply> replies;
    std::vector<Asked> asked;
};

// Records what a run reports, from any thread.
class RecordingSink : public RunSink {
public:
    void jobStatusChanged(const std::filesystem::path& source, ConversionStatus status) override
    {
        std::lock_guard lock(mutex_);
        changes.push_back({source.filename().string(), status});
    }
    void jobFinished(const RunEntry& entry) override
    {
        std::lock_guard lock(mutex_);
        finals.push_back(entry);
    }
    void progressChanged(double overall) override
    {
        std::lock_guard lock(mutex_);
        progress.push_back(overall);
    }
    void statusTextChanged(std::string_view text, int line) override
    {
        std::lock_guard lock(mutex_);
        texts.push_back({std::string(text), line});
    }

    struct Change {
        std::string name;
        ConversionStatus status;
    };
    std::vector<Change> changes;
    std::vector<RunEntry> finals;
    std::vector<double> progress;
    std::vector<std::pair<std::string, int>> texts;

    ConversionStatus finalStatusOf(const std::string& name) const
    {
        for (const RunEntry& entry : finals)
            if (entry.source.filename() == name)
                return entry.status;
        return ConversionStatus::Ready;
    }

private:
    std::mutex mutex_;
};

// Stands in for the pipeline: the output is "converted:" and the source's
// bytes, written atomically. Sources starting with "bad" fail to read;
// sources starting with "pause" take 20 ms, long enough for other workers to
// run into the same names; sources starting with "slow" take about two
// seconds in small steps and stop when cancelled.
inline ConversionStatus fakeConvert(const std::filesystem::path& source, const std::filesystem::path& output,
                                    const ConversionSettings&, ProgressReporter& reporter, Failure* failure)
{
    if (reporter.isCancelled())
        return ConversionStatus::Cancelled;
    const std::string content = readFile(source);
    if (content.rfind("bad", 0) == 0) {
        recordFailure(failure, FailureKind::Malformed, "bad input");
        return ConversionStatus::ReadFailed;
    }
    AtomicFileWriter writer;
    if (writer.open(output, failure) != OperationResult::Success)
        return ConversionStatus::SaveFailed;
    writer.write("converted:");
    writer.write(content);
    if (content.rfind("slow", 0) == 0)
        for (int step = 0; step < 100; ++step) {
            reporter.setProgress(step / 100.0);
            if (reporter.waitForStop(20))
                return ConversionStatus::Cancelled; // the writer discards its temporary file
        }
    if (content.rfind("pause", 0) == 0 && reporter.waitForStop(20))
        return ConversionStatus::Cancelled;
    if (writer.commit(failure) != OperationResult::Success)
        return ConversionStatus::SaveFailed;
    return reporter.isCancelled() ? ConversionStatus::Cancelled : ConversionStatus::Success;
}

} // namespace morvex::testing
