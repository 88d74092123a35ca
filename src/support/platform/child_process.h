#pragma once

#include "support/core/operation_result.h"
#include "support/progress/progress_reporter.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <sys/types.h>
#include <thread>

namespace morvex {

// What a helper process may use; 0 leaves a resource unlimited.
struct ChildLimits {
    std::uint64_t memoryBytes = 0; // address space
    std::uint32_t cpuSeconds = 0;
    std::uint64_t fileBytes = 0; // largest file it may write (its error output included)
};

// How a child process ended.
struct ChildExit {
    bool exited = false; // by exit(): `code` holds its exit code
    int code = 0;
    int signal = 0; // the signal that ended it, when it did not exit
    std::string describe() const;
};

// A helper program run in a process group of its own, with no descriptor of
// ours but standard input and output on /dev/null and standard error into a
// file, under resource limits. A thread watches for its end without reaping
// it, so that the group can still be killed safely (its number cannot be
// reused before the reaping). Whatever is left running when the object goes
// is killed.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `arguments` (argv[1] onwards). The limits go to
    // the child in its environment, for it to apply before it reads anything
    // (helper_limits.h), and are set on it from here right after the start.
    OperationResult start(const std::filesystem::path& program, std::span<const std::string> arguments,
                          const ChildLimits& limits, const std::filesystem::path& errorOutput,
                          Failure* failure = nullptr);

    pid_t pid() const { return pid_; }
    // Set once the process has ended (it is reaped by finish()).
    const WaitableEvent& ended() const { return ended_; }

    // Kills every process of the group at once; the child may still be
    // reaped with finish().
    void killGroup();
    // Kills what is left of the group, waits for the child and reaps it.
    ChildExit finish();

private:
    pid_t pid_ = -1;
    WaitableEvent ended_;
    std::thread watcher_;
    bool reaped_ = true;
    ChildExit exit_;
};

// The start of what a helper wrote to its error output, on one line (at most
// 400 bytes, line ends made blanks): the reason its failure message gives.
std::string errorOutputSummary(const std::filesystem::path& errorOutput);

} // namespace morvex
