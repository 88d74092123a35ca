#pragma once

#include "support/core/operation_result.h"
#include "support/progress/progress_reporter.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace morvex {

struct ProcessOutcome {
    WaitResult wait = WaitResult::TimedOut; // Signalled: the process ended by itself
    int exitCode = -1;                      // when it exited; -1 when killed by a signal
};

// Runs a helper program with its arguments, in a process group of its own,
// with no descriptor of ours and standard streams on /dev/null, and waits for
// it: Signalled with its exit code when it ended, Stopped on the reporter's
// stop request, TimedOut after `milliseconds`. A program still running after
// a stop or the time limit is killed with everything it started. A program
// that cannot start gives TimedOut with the reason in `failure`.
ProcessOutcome runProcessAndWait(ProgressReporter& reporter, const std::filesystem::path& program,
                                 std::span<const std::string> arguments, std::uint32_t milliseconds,
                                 Failure* failure = nullptr);

// Makes the folder if needed (mode 0700) and checks that it is a real folder
// (no link) of this user that nobody else may enter.
OperationResult ensurePrivateFolder(const std::filesystem::path& folder, Failure* failure = nullptr);

} // namespace morvex
