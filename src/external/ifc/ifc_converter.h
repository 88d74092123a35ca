#pragma once

#include "external/meshconv/converter_run.h"
#include "support/core/operation_result.h"
#include "support/platform/child_process.h"
#include "support/progress/progress_reporter.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace morvex {

struct ProcessOutcome {
    bool started = false;
    WaitResult wait = WaitResult::TimedOut; // Signalled: the process ended by itself
    ChildExit exit;                         // how it ended, when it did
};

// Runs a helper program with its arguments, in a process group of its own,
// with no descriptor of ours, standard input and output on /dev/null and
// standard error into `errorOutput` (none when empty), under `limits`, and
// waits for it: Signalled with its exit when it ended, Stopped on the
// reporter's stop request, TimedOut after `milliseconds`. A program still
// running after a stop or the time limit is killed with everything it
// started. A program that cannot start is not `started`, with the reason in
// `failure`.
ProcessOutcome runProcessAndWait(ProgressReporter& reporter, const std::filesystem::path& program,
                                 std::span<const std::string> arguments, std::uint32_t milliseconds,
                                 const ChildLimits& limits = {}, const std::filesystem::path& errorOutput = {},
                                 Failure* failure = nullptr);

// Runs the IFC tool `tool` on `input` with `output` (see runIfcConverter)
// under the limits the external converter gets: its processor time, its
// address space, its wall-clock time. Failure messages carry the start of
// what the tool wrote to its error output.
OperationResult runIfcTool(ProgressReporter& reporter, const std::filesystem::path& tool,
                           const std::filesystem::path& input, const std::filesystem::path& output,
                           const ConverterLimits& limits, Failure* failure = nullptr);

// Makes the folder if needed (mode 0700) and checks that it is a real folder
// (no link) of this user that nobody else may enter.
OperationResult ensurePrivateFolder(const std::filesystem::path& folder, Failure* failure = nullptr);

} // namespace morvex
