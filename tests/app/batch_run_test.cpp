#include "app/naming.h"
#include "app/output_planning.h"
#include "app/scheduler.h"
#include "app_test_support.h"
#include "support/core/parallel_ranges.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace morvex;
using morvex::testing::fakeConvert;
using morvex::testing::readFile;
using morvex::testing::RecordingSink;
using morvex::testing::ScriptedQuestion;
using morvex::testing::TempDir;
using morvex::testing::writeFile;

namespace {

ConversionSettings stlSettings(const std::filesystem::path& outputFolder = {})
{
    ConversionSettings settings;
    settings.outputExtension = "stl";
    settings.outputKind = FormatKind::StlBinary;
    settings.outputFolder = outputFolder.string();
    return settings;
}

// Runs a whole conversion with a fixed policy and no answers to questions.
OperationResult convertAll(ConversionRun& run, RecordingSink& sink, OverwritePolicy policy,
                           ScriptedQuestion* question = nullptr, StoppableReporter* reporter = nullptr)
{
    FixedOverwritePolicy source(policy, nullptr);
    ScriptedQuestion noAnswers;
    StoppableReporter quiet;
    return runConversion(run, source, question != nullptr ? *question : noAnswers, sink,
                         reporter != nullptr ? *reporter : quiet);
}

// Every regular file below the folder, names relative to it.
std::set<std::string> filesIn(const std::filesystem::path& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (!entry.is_directory())
            names.insert(std::filesystem::relative(entry.path(), folder).string());
    return names;
}

} // namespace

TEST(BatchRun, SameNameInOneRunGetsNumberedNames)
{
    TempDir dir;
    writeFile(dir / "a.obj", "from obj");
    writeFile(dir / "a.ply", "from ply");
    writeFile(dir / "a.3ds", "from 3ds");
    ConversionRun run({dir / "a.3ds", dir / "a.obj", dir / "a.ply"}, stlSettings(), fakeConvert);
    RecordingSink sink;
    ASSERT_EQ(convertAll(run, sink, policyForChoice(OverwriteChoice::Prompt)), OperationResult::Success);

    // Scheduled from the last listed file to the first.
    EXPECT_EQ(readFile(dir / "a.stl"), "converted:from ply");
    EXPECT_EQ(readFile(dir / "a-1.stl"), "converted:from obj");
    EXPECT_EQ(readFile(dir / "a-1-1.stl"), "converted:from 3ds");
    ASSERT_EQ(sink.finals.size(), 3u);
    EXPECT_EQ(sink.finals[0].source, dir / "a.3ds") << "final statuses in list order";
    for (const RunEntry& entry : sink.finals)
        EXPECT_EQ(entry.status, ConversionStatus::Success) << entry.source;
    EXPECT_EQ(run.converted, 3u);
    EXPECT_EQ(filesIn(dir.path()).size(), 6u) << "no reservation or temporary file left";
}

TEST(BatchRun, RenamesNeverTakeANameTheRunGaveAnotherFileAndTheDryRunSaysSo)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "out");
    writeFile(dir / "out" / "a.stl", "old");
    writeFile(dir / "a.obj", "from obj");
    writeFile(dir / "a.ply", "from ply");
    ConversionRun run({dir / "a.obj", dir / "a.ply"}, stlSettings(dir / "out"), fakeConvert);
    FixedOverwritePolicy rename(policyForChoice(OverwriteChoice::Rename), nullptr);
    std::vector<PlannedOutput> plan;
    planOutputs(run, rename, plan);
    ASSERT_EQ(plan.size(), 2u);
    std::set<std::string> promised;
    std::map<std::string, std::filesystem::path> plannedOutputOf;
    for (const PlannedOutput& planned : plan) {
        const std::filesystem::path written = planned.exists ? planned.renamedTo.value() : planned.output;
        EXPECT_TRUE(promised.insert(written.filename().string()).second) << written;
        plannedOutputOf[planned.source.filename().string()] = written;
    }
    // One file takes a.stl's clash, the other a-1.stl: the rename must look past both.
    EXPECT_EQ(promised, (std::set<std::string>{"a-1.stl", "a-2.stl"}));

    // The real run, one file at a time, writes exactly what was planned.
    run.workerCount = 1;
    RecordingSink sink;
    ASSERT_EQ(convertAll(run, sink, policyForChoice(OverwriteChoice::Rename)), OperationResult::Success);
    EXPECT_EQ(filesIn(dir / "out"), (std::set<std::string>{"a.stl", "a-1.stl", "a-2.stl"}));
    EXPECT_EQ(readFile(plannedOutputOf["a.obj"]), "converted:from obj");
    EXPECT_EQ(readFile(plannedOutputOf["a.ply"]), "converted:from ply");
    EXPECT_EQ(readFile(dir / "out" / "a.stl"), "old");
}

TEST(BatchRun, NumberingTemplateAndFreeNamesAfterAClash)
{
    TempDir dir;
    const SettingsStore store(dir / "Morvex.ini");
    ASSERT_TRUE(store.writeText("Overwrite", "EnumerateTEXT", "%number%_%filename%"));
    std::filesystem::create_directory(dir / "out");
    writeFile(dir / "out" / "model.stl", "old");
    writeFile(dir / "model.obj", "m");
    writeFile(dir / "other.obj", "o");

    for (int pass = 1; pass <= 2; ++pass) {
        ConversionRun run({dir / "other.obj", dir / "model.obj"}, stlSettings(dir / "out"), fakeConvert);
        run.environment.nameTemplate = storedNameTemplate(store);
        RecordingSink sink;
        ASSERT_EQ(convertAll(run, sink, policyForChoice(OverwriteChoice::Rename)), OperationResult::Success);
        EXPECT_EQ(sink.finalStatusOf("model.obj"), ConversionStatus::ConvertedAndRenamed);
        EXPECT_EQ(sink.finalStatusOf("other.obj"),
                  pass == 1 ? ConversionStatus::Success : ConversionStatus::ConvertedAndRenamed);
    }
    EXPECT_EQ(filesIn(dir / "out"),
              (std::set<std::string>{"model.stl", "1_model.stl", "2_model.stl", "other.stl", "1_other.stl"}));
    EXPECT_EQ(readFile(dir / "out" / "model.stl"), "old");
    EXPECT_EQ(readFile(dir / "out" / "2_model.stl"), "converted:m");
}

TEST(BatchRun, ExistingOutputsBesideTheirSourceAreNeverReplacedWithoutAsking)
{
    struct Case {
        const char* label;
        OverwritePolicy policy;
        bool sameFolder;
        ConversionStatus expected;
        const char* written; // where the new output went
    };
    OverwritePolicy overwriteThenSkip = policyForChoice(OverwriteChoice::Overwrite);
    overwriteThenSkip.neverOverwrite = true;
    OverwritePolicy overwriteThenStop = policyForChoice(OverwriteChoice::Overwrite);
    overwriteThenStop.stopConverting = true;
    const Case cases[] = {
        {"overwrite, same folder: numbered", policyForChoice(OverwriteChoice::Overwrite), true,
         ConversionStatus::ConvertedAndRenamed, "a-1.stl"},
        {"overwrite then skip, same folder", overwriteThenSkip, true, ConversionStatus::Skipped, nullptr},
        {"overwrite then stop, same folder", overwriteThenStop, true, ConversionStatus::Cancelled, nullptr},
        {"overwrite, output folder named", policyForChoice(OverwriteChoice::Overwrite), false,
         ConversionStatus::Replaced, "a.stl"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        writeFile(dir / "a.obj", "new");
        writeFile(dir / "a.stl", "old");
        ConversionRun run({dir / "a.obj"}, stlSettings(c.sameFolder ? std::filesystem::path() : dir.path()),
                          fakeConvert);
        RecordingSink sink;
        convertAll(run, sink, c.policy);
        EXPECT_EQ(sink.finalStatusOf("a.obj"), c.expected) << c.label;
        if (c.written != nullptr) {
            EXPECT_EQ(readFile(dir / c.written), "converted:new") << c.label;
        }
        if (c.expected != ConversionStatus::Replaced) {
            EXPECT_EQ(readFile(dir / "a.stl"), "old") << c.label;
        }
    }

    // The output would be the source file itself: never overwritten.
    TempDir dir;
    writeFile(dir / "part.stl", "source");
    ConversionRun run({dir / "part.stl"}, stlSettings(dir.path()), fakeConvert);
    RecordingSink sink;
    convertAll(run, sink, policyForChoice(OverwriteChoice::Overwrite));
    EXPECT_EQ(readFile(dir / "part.stl"), "source");
    EXPECT_EQ(readFile(dir / "part-1.stl"), "converted:source");
}

TEST(BatchRun, FailedConversionsLeaveNothingAndOverwriteKeepsTheOldFile)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "out");
    writeFile(dir / "out" / "broken.stl", "old output");
    writeFile(dir / "out" / "renamed.stl", "taken");
    writeFile(dir / "broken.obj", "bad bytes");
    writeFile(dir / "renamed.obj", "bad too");
    writeFile(dir / "fresh.obj", "bad again");
    writeFile(dir / "good.obj", "fine");

    ScriptedQuestion question;
    question.replies = {{OverwriteAnswer::Rename, false}, {OverwriteAnswer::Overwrite, false}};
    ConversionRun run({dir / "broken.obj", dir / "renamed.obj", dir / "fresh.obj", dir / "good.obj"},
                      stlSettings(dir / "out"), fakeConvert);
    RecordingSink sink;
    ASSERT_EQ(convertAll(run, sink, policyForChoice(OverwriteChoice::Prompt), &question), OperationResult::Success);
    ASSERT_EQ(question.asked.size(), 2u);
    EXPECT_EQ(question.asked[0].candidate, dir / "out" / "renamed.stl");

    EXPECT_EQ(sink.finalStatusOf("broken.obj"), ConversionStatus::ReadFailed);
    EXPECT_EQ(sink.finalStatusOf("renamed.obj"), ConversionStatus::ReadFailed);
    EXPECT_EQ(sink.finalStatusOf("fresh.obj"), ConversionStatus::ReadFailed);
    EXPECT_EQ(sink.finalStatusOf("good.obj"), ConversionStatus::Success);
    EXPECT_EQ(sink.finals[0].failure.message, "bad input");
    EXPECT_EQ(run.failed, 3u);
    EXPECT_EQ(run.converted, 1u);
    EXPECT_EQ(readFile(dir / "out" / "broken.stl"), "old output") << "a failed overwrite keeps the old file";
    EXPECT_EQ(filesIn(dir / "out"), (std::set<std::string>{"broken.stl", "renamed.stl", "good.stl"}))
        << "no reserved numbered name and no partial output left";
}

TEST(BatchRun, StopPolicyAndDismissedQuestionsStopTheRun)
{
    TempDir dir;
    writeFile(dir / "a.obj", "a");
    writeFile(dir / "b.obj", "b");
    writeFile(dir / "c.obj", "c");
    writeFile(dir / "b.stl", "old");
    {
        ConversionRun run({dir / "a.obj", dir / "b.obj", dir / "c.obj"}, stlSettings(), fakeConvert);
        run.workerCount = 1;
        RecordingSink sink;
        EXPECT_EQ(convertAll(run, sink, policyForChoice(OverwriteChoice::Stop)), OperationResult::Failure);
        EXPECT_EQ(sink.finalStatusOf("c.obj"), ConversionStatus::Success) << "converted before the clash";
        EXPECT_EQ(sink.finalStatusOf("b.obj"), ConversionStatus::Cancelled);
        EXPECT_EQ(sink.finalStatusOf("a.obj"), ConversionStatus::Cancelled) << "queued: reported Cancelled";
        EXPECT_FALSE(std::filesystem::exists(dir / "a.stl"));
        std::filesystem::remove(dir / "c.stl");
    }
    {
        ConversionRun run({dir / "a.obj", dir / "b.obj", dir / "c.obj"}, stlSettings(), fakeConvert);
        RecordingSink sink;
        EXPECT_EQ(convertAll(run, sink, policyForChoice(OverwriteChoice::Prompt)), OperationResult::Cancelled);
        for (const RunEntry& entry : sink.finals)
            EXPECT_EQ(entry.status, ConversionStatus::Cancelled) << entry.source;
        EXPECT_EQ(filesIn(dir.path()).size(), 4u) << "nothing converted when the question is dismissed";
    }
    {
        ConversionRun run({dir / "a.obj"}, stlSettings(dir / "missing"), fakeConvert);
        RecordingSink sink;
        Failure failure;
        FixedOverwritePolicy policy(policyForChoice(OverwriteChoice::Rename), nullptr);
        ScriptedQuestion question;
        StoppableReporter reporter;
        EXPECT_EQ(runConversion(run, policy, question, sink, reporter, &failure), OperationResult::Failure);
        EXPECT_NE(failure.message.find("does not exist"), std::string::npos);
        EXPECT_EQ(sink.finalStatusOf("a.obj"), ConversionStatus::Cancelled);
    }
}

TEST(BatchRun, OutputFolderVanishingDuringTheRun)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "out");
    for (const char* name : {"a.obj", "b.obj", "c.obj"})
        writeFile(dir / name, name);
    const auto convertThenLoseFolder = [&](const std::filesystem::path& source, const std::filesystem::path& output,
                                           const ConversionSettings& settings, ProgressReporter& reporter,
                                           Failure* failure) {
        const ConversionStatus status = fakeConvert(source, output, settings, reporter, failure);
        std::filesystem::rename(dir / "out", dir / "moved");
        return status;
    };
    ConversionRun run({dir / "a.obj", dir / "b.obj", dir / "c.obj"}, stlSettings(dir / "out"), convertThenLoseFolder);
    run.workerCount = 1;
    RecordingSink sink;
    EXPECT_EQ(convertAll(run, sink, policyForChoice(OverwriteChoice::Prompt)), OperationResult::Failure);
    EXPECT_EQ(sink.finalStatusOf("c.obj"), ConversionStatus::Success);
    EXPECT_EQ(sink.finalStatusOf("b.obj"), ConversionStatus::Cancelled) << "could not run: stops the run";
    EXPECT_EQ(sink.finals[1].failure.message, "the output folder no longer exists");
    EXPECT_EQ(sink.finalStatusOf("a.obj"), ConversionStatus::Cancelled);
    EXPECT_EQ(readFile(dir / "moved" / "c.stl"), "converted:c.obj");
}

TEST(BatchRun, CancelLeavesNoPartialOutput)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "out");
    std::vector<std::filesystem::path> inputs;
    for (int i = 0; i < 12; ++i) {
        inputs.push_back(dir / ("slow" + std::to_string(i) + ".obj"));
        writeFile(inputs.back(), "slow");
    }
    writeFile(dir / "out" / "slow3.stl", "existing");
    ConversionRun run(inputs, stlSettings(dir / "out"), fakeConvert);
    run.workerCount = 3;
    RecordingSink sink;
    StoppableReporter reporter;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        reporter.requestStop();
    });
    const OperationResult result = convertAll(run, sink, policyForChoice(OverwriteChoice::Rename), nullptr, &reporter);
    canceller.join();
    EXPECT_EQ(result, OperationResult::Cancelled);
    ASSERT_EQ(sink.finals.size(), inputs.size());
    for (const RunEntry& entry : sink.finals)
        EXPECT_EQ(entry.status, ConversionStatus::Cancelled) << entry.source;
    EXPECT_EQ(filesIn(dir / "out"), std::set<std::string>{"slow3.stl"})
        << "no partial file, temporary file or reserved name is left";
    int converting = 0;
    for (const auto& change : sink.changes)
        converting += change.status == ConversionStatus::Converting;
    EXPECT_EQ(converting, 3) << "one job per worker had started";
}

TEST(BatchRun, CancelAfterTheOutputIsInPlaceReportsItWritten)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "out");
    writeFile(dir / "a.obj", "new");
    writeFile(dir / "out" / "a.stl", "old");
    // The run's reporter, stopped by the job's own conversion.
    StoppableReporter runReporter;
    const auto convertThenCancel =
        [&runReporter](const std::filesystem::path& source, const std::filesystem::path& output,
                       const ConversionSettings& settings, ProgressReporter& reporter, Failure* failure) {
            const ConversionStatus status = fakeConvert(source, output, settings, reporter, failure);
            runReporter.requestStop();
            return status;
        };
    ConversionRun run({dir / "a.obj"}, stlSettings(dir / "out"), convertThenCancel);
    run.workerCount = 1;
    RecordingSink sink;
    EXPECT_EQ(convertAll(run, sink, policyForChoice(OverwriteChoice::Overwrite), nullptr, &runReporter),
              OperationResult::Cancelled);
    EXPECT_EQ(sink.finalStatusOf("a.obj"), ConversionStatus::Replaced) << "the old file is gone: say so";
    EXPECT_EQ(readFile(dir / "out" / "a.stl"), "converted:new");
}

TEST(BatchRun, WorkersRacingForNumberedNamesNeverShareOne)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "out");
    writeFile(dir / "out" / "a.stl", "old");
    // Forty jobs told to number "a.stl" and forty that believe "b.stl" is
    // free: each must end with a file of its own.
    ConversionRun run({}, stlSettings(dir / "out"), fakeConvert);
    run.workerCount = 8;
    for (int i = 0; i < 80; ++i) {
        const bool renamed = i % 2 == 0;
        ConversionJob job;
        job.source = dir / ("src" + std::to_string(i) + ".obj");
        writeFile(job.source, "pause " + std::to_string(i));
        job.settings = run.settings;
        job.settings.overwriteDecision = renamed ? OverwriteDecision::Rename : OverwriteDecision::None;
        job.output = dir / "out" / (renamed ? "a.stl" : "b.stl");
        run.jobs.push_back(job);
        RunEntry entry;
        entry.source = job.source;
        run.results.push_back(entry);
    }
    RecordingSink sink;
    StoppableReporter reporter;
    ASSERT_EQ(runJobs(run, reporter, sink), OperationResult::Success);

    std::set<std::string> contents;
    for (const RunEntry& entry : run.results) {
        ASSERT_TRUE(entry.status == ConversionStatus::Success || entry.status == ConversionStatus::ConvertedAndRenamed)
            << entry.source;
        contents.insert(readFile(entry.output));
        EXPECT_EQ(readFile(entry.output), "converted:" + readFile(entry.source)) << entry.output;
    }
    EXPECT_EQ(contents.size(), 80u) << "eighty different outputs";
    EXPECT_EQ(filesIn(dir / "out").size(), 81u);
    EXPECT_EQ(readFile(dir / "out" / "a.stl"), "old");
    EXPECT_EQ(run.converted, 80u);
}

TEST(BatchRun, ProgressFormulaThrottleAndReports)
{
    EXPECT_DOUBLE_EQ(overallProgress(2, 0.5, 4), 0.625);
    EXPECT_DOUBLE_EQ(overallProgress(0, 0.0, 0), 1.0);
    EXPECT_EQ(estimatedTimeRemainingLine(0.42, 600.0), std::nullopt) << "ten minutes or less: hidden";
    EXPECT_EQ(estimatedTimeRemainingLine(0.42, 3723.9), "42% Complete, Estimated Time Remaining: 01:02:03");
    EXPECT_EQ(estimatedTimeRemainingLine(0.01, 172799.0), "1% Complete, Estimated Time Remaining: 47:59:59");
    EXPECT_EQ(estimatedTimeRemainingLine(0.01, 172800.0), std::nullopt);

    ProgressThrottle throttle;
    struct Step {
        double overall;
        bool posted;
    };
    const Step steps[] = {{0.005, false}, {0.01, true}, {0.015, false}, {0.0199, false}, {0.02, true},
                          {0.019, true},  {0.5, true},  {0.505, false}, {1.0, true}};
    for (const Step& step : steps)
        EXPECT_EQ(throttle.shouldPost(step.overall), step.posted) << step.overall;

    // Three jobs, eight workers: five find the list empty; every file is
    // scheduled, taken and finished once.
    TempDir dir;
    std::vector<std::filesystem::path> inputs;
    for (const char* name : {"x.obj", "y.obj", "slow.obj"}) {
        inputs.push_back(dir / name);
        writeFile(inputs.back(), name);
    }
    ConversionRun run(inputs, stlSettings(), fakeConvert);
    run.workerCount = 8;
    RecordingSink sink;
    ASSERT_EQ(convertAll(run, sink, policyForChoice(OverwriteChoice::Prompt)), OperationResult::Success);
    int scheduled = 0, converting = 0;
    for (const auto& change : sink.changes) {
        scheduled += change.status == ConversionStatus::Scheduled;
        converting += change.status == ConversionStatus::Converting;
    }
    EXPECT_EQ(scheduled, 3);
    EXPECT_EQ(converting, 3);
    ASSERT_FALSE(sink.progress.empty());
    EXPECT_DOUBLE_EQ(sink.progress.back(), 1.0);
    EXPECT_LT(sink.progress.size(), 110u) << "a hundred steps of one job are throttled";
    EXPECT_EQ(sink.texts.front().first, "Converting Model");
}

TEST(BatchRun, RemovalRetriesWhileBusy)
{
    std::vector<std::uint32_t> pauses;
    const auto sleep = [&](std::uint32_t ms) { pauses.push_back(ms); };
    int calls = 0;
    EXPECT_FALSE(removeWithRetries(
        "x", [&](const std::filesystem::path&) { return ++calls, EBUSY; }, sleep));
    EXPECT_EQ(pauses, (std::vector<std::uint32_t>{79, 158, 316, 632, 1264, 2528}));
    EXPECT_EQ(calls, 7);

    pauses.clear();
    calls = 0;
    EXPECT_TRUE(removeWithRetries(
        "x", [&](const std::filesystem::path&) { return ++calls < 3 ? EBUSY : 0; }, sleep));
    EXPECT_EQ(pauses.size(), 2u);
    pauses.clear();
    EXPECT_FALSE(removeWithRetries(
        "x", [&](const std::filesystem::path&) { return EACCES; }, sleep));
    EXPECT_TRUE(pauses.empty()) << "other errors end the attempts";
}

// Many files get one thread each; the last file, once the other worker finds
// nothing left to do, gets both, and one worker alone uses both from the start.
TEST(BatchRun, ThreadsAreSharedAmongTheFilesStillToConvert)
{
    TempDir dir;
    std::vector<std::filesystem::path> inputs;
    for (const char* name : {"a.obj", "b.obj", "c.obj", "d.obj"}) {
        writeFile(dir / name, name);
        inputs.push_back(dir / name);
    }
    std::mutex lock;
    std::map<std::string, unsigned> seen;
    const auto recordThreads = [&](const std::filesystem::path& source, const std::filesystem::path& output,
                                   const ConversionSettings& settings, ProgressReporter& reporter, Failure* failure) {
        unsigned threads = threadsPerFile();
        if (source.filename() == "a.obj") // converted last: wait for the other worker to go idle
            for (int wait = 0; wait < 500 && (threads = threadsPerFile()) < 2; ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        {
            std::lock_guard guard(lock);
            seen[source.filename().string()] = threads;
        }
        return fakeConvert(source, output, settings, reporter, failure);
    };
    for (const unsigned workers : {1u, 2u}) {
        ConversionRun run(inputs, stlSettings(dir / ("out" + std::to_string(workers))), recordThreads);
        std::filesystem::create_directory(dir / ("out" + std::to_string(workers)));
        run.workerCount = workers;
        run.threadCap = 2;
        RecordingSink sink;
        seen.clear();
        ASSERT_EQ(convertAll(run, sink, policyForChoice(OverwriteChoice::Overwrite)), OperationResult::Success);
        EXPECT_EQ(seen["d.obj"], workers == 1 ? 2u : 1u) << workers << " workers: the first file";
        EXPECT_EQ(seen["a.obj"], 2u) << workers << " workers: the last file";
    }
    setThreadsPerFile(1);
}

TEST(BatchRun, WorkersStepBackByTheirNicenessAndTheCallerKeepsItsPriority)
{
    TempDir dir;
    std::vector<std::filesystem::path> inputs;
    for (int i = 0; i < 4; ++i) {
        inputs.push_back(dir / ("n" + std::to_string(i) + ".obj"));
        writeFile(inputs.back(), "v 0 0 0\n");
    }
    const int callerBefore = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    std::mutex lock;
    std::set<int> seen;
    for (const int niceness : {0, 3, 100}) {
        SCOPED_TRACE(niceness);
        seen.clear();
        ConversionRun run(inputs, stlSettings(dir / "out" / std::to_string(niceness)),
                          [&](const std::filesystem::path& source, const std::filesystem::path& output,
                              const ConversionSettings& settings, ProgressReporter& reporter, Failure* failure) {
                              // A helper program started from a worker inherits its priority.
                              std::string childNice;
                              morvex::testing::runCommand("nice", &childNice);
                              const std::lock_guard guard(lock);
                              seen.insert(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())));
                              seen.insert(std::stoi(childNice));
                              return fakeConvert(source, output, settings, reporter, failure);
                          });
        std::filesystem::create_directories(dir / "out" / std::to_string(niceness));
        run.workerCount = 2;
        run.workerNiceness = niceness;
        RecordingSink sink;
        EXPECT_EQ(convertAll(run, sink, policyForChoice(OverwriteChoice::Rename)), OperationResult::Success);
        EXPECT_EQ(seen, std::set<int>{std::min(callerBefore + niceness, 19)});
        EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), callerBefore);
    }
}
