#include "common/recording_reporter.h"
#include "common/test_support.h"
#include "external/meshconv/converter_run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace morvex {
namespace {

using testing::TempDir;
using testing::writeFile;
using Clock = std::chrono::steady_clock;

const std::filesystem::path FakeConverter = MORVEX_FAKE_CONVERTER_PATH;

struct RunOutcome {
    OperationResult result;
    std::size_t objects;
    std::string reason;
    double seconds;
};

// Runs the fake converter on an input file that names its behaviour.
RunOutcome runFake(const std::string& mode, const ConverterLimits& limits = {}, StoppableReporter* reporter = nullptr)
{
    TempDir folder;
    const std::filesystem::path input = folder / "input.fake";
    writeFile(input, mode + "\n");
    StoppableReporter ownReporter;
    Model model;
    Failure failure;
    const auto start = Clock::now();
    const OperationResult result = runConverterProgram(reporter != nullptr ? *reporter : ownReporter, model,
                                                       FakeConverter, input, limits, &failure);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return {result, model.objects.size(), failure.message, seconds};
}

ConverterLimits quickLimits()
{
    ConverterLimits limits;
    limits.wallSeconds = 20;
    limits.cpuSeconds = 10;
    limits.memoryBytes = std::uint64_t(512) << 20;
    limits.firstMessageMilliseconds = 300;
    return limits;
}

// Every way a converter can misbehave ends in a clean result within a few
// seconds; the result follows its exit code, and damaged data fails too.
TEST(ConverterRun, EveryMisbehaviourEndsCleanlyInBoundedTime)
{
    struct Case {
        const char* mode;
        OperationResult result;
        std::size_t objects;
        const char* reason;
    };
    const Case cases[] = {
        {"valid", OperationResult::Success, 2, ""},
        {"nothing", OperationResult::Success, 0, ""},
        {"too-many", OperationResult::Success, 2, ""},
        {"garbage", OperationResult::Failure, 0, "data is damaged: byte 0 of the converter's stream: the first"},
        {"counts-beyond", OperationResult::Failure, 0, "an object block needs"},
        {"bad-index", OperationResult::Failure, 0, "names vertex 3 of 3"},
        {"crash", OperationResult::Failure, 0, "killed by signal 11 (SIGSEGV)"},
        {"fail", OperationResult::Failure, 0, "(exit code 3): the fake cannot read this"},
        {"valid-then-fail", OperationResult::Failure, 2, "exit code 4"},
        {"silent", OperationResult::Failure, 0, "sent nothing within 300 ms of connecting"},
        {"intruder", OperationResult::Success, 0, ""},
        {"straggler", OperationResult::Success, 2, ""},
        {"descriptors", OperationResult::Success, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        const RunOutcome outcome = runFake(c.mode, quickLimits());
        EXPECT_EQ(outcome.result, c.result) << outcome.reason;
        EXPECT_EQ(outcome.objects, c.objects);
        EXPECT_NE(outcome.reason.find(c.reason), std::string::npos) << outcome.reason;
        EXPECT_LT(outcome.seconds, 8.0);
    }
}

TEST(ConverterRun, LimitsEndAConverterThatHangsSpinsOrHoardsMemory)
{
    ConverterLimits limits = quickLimits();
    limits.wallSeconds = 1;
    RunOutcome outcome = runFake("hang", limits);
    EXPECT_EQ(outcome.result, OperationResult::Failure);
    EXPECT_EQ(outcome.reason, "the external converter did not finish within 1 s and was stopped");
    EXPECT_LT(outcome.seconds, 3.0);

    limits = quickLimits();
    limits.cpuSeconds = 1;
    outcome = runFake("spin", limits);
    EXPECT_EQ(outcome.result, OperationResult::Failure);
    // The processor limit ended it, not the wall-clock limit (20 s): on a
    // busy machine one processor second may take several seconds.
    EXPECT_NE(outcome.reason.find("more than 1 s of processor time"), std::string::npos) << outcome.reason;

    limits = quickLimits();
    limits.memoryBytes = std::uint64_t(256) << 20;
    outcome = runFake("hog", limits);
    EXPECT_EQ(outcome.result, OperationResult::Failure);
    EXPECT_NE(outcome.reason.find("no memory for the hog"), std::string::npos) << outcome.reason;
}

TEST(ConverterRun, CancelKillsTheConverterAtOnce)
{
    StoppableReporter reporter;
    std::thread canceller([&reporter] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        reporter.requestStop();
    });
    const RunOutcome outcome = runFake("hang-after-hello", quickLimits(), &reporter);
    canceller.join();
    EXPECT_EQ(outcome.result, OperationResult::Cancelled);
    EXPECT_LT(outcome.seconds, 2.0);

    // A run asked to stop before it starts starts nothing.
    const RunOutcome again = runFake("valid", quickLimits(), &reporter);
    EXPECT_EQ(again.result, OperationResult::Cancelled);
    EXPECT_EQ(again.objects, 0u);
}

// Descriptors of ours that were opened without close-on-exec (by a library,
// or by another thread at the wrong moment) never reach the converter.
TEST(ConverterRun, TheConverterInheritsNoDescriptorOfOurs)
{
    const int leaked = ::open("/dev/null", O_RDONLY); // no O_CLOEXEC on purpose
    ASSERT_GE(leaked, 0);
    const RunOutcome outcome = runFake("descriptors", quickLimits());
    ::close(leaked);
    EXPECT_EQ(outcome.result, OperationResult::Success) << outcome.reason;
}

TEST(ConverterRun, AMissingProgramFailsWithItsName)
{
    TempDir folder;
    writeFile(folder / "a.fbx", "x");
    StoppableReporter reporter;
    Model model;
    Failure failure;
    EXPECT_EQ(runConverterProgram(reporter, model, folder / "no-such-converter", folder / "a.fbx", quickLimits(),
                                  &failure),
              OperationResult::Failure);
    EXPECT_NE(failure.message.find("no-such-converter"), std::string::npos) << failure.message;
}

} // namespace
} // namespace morvex
