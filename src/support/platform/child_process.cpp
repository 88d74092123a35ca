#include "support/platform/child_process.h"

#include "support/platform/files.h"
#include "support/platform/helper_limits.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <utility>
#include <vector>

extern char** environ;

namespace morvex {
namespace {

void limitResource(pid_t pid, __rlimit_resource resource, std::uint64_t soft, std::uint64_t hard)
{
    if (soft == 0)
        return;
    const struct rlimit limit {
        static_cast<rlim_t>(soft), static_cast<rlim_t>(hard)
    };
    ::prlimit(pid, resource, &limit, nullptr);
}

// Standard input and output on /dev/null, standard error into the file, and
// every other descriptor closed: the child sees no socket, file or pipe of
// ours, whatever other threads have open.
bool describeDescriptors(posix_spawn_file_actions_t& actions, const std::filesystem::path& errorOutput)
{
    return posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
           posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
           posix_spawn_file_actions_addopen(&actions, 2, errorOutput.empty() ? "/dev/null" : errorOutput.c_str(),
                                            O_WRONLY | O_CREAT | O_TRUNC, 0600) == 0 &&
           posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
}

// Its own process group (so that a kill reaches whatever it starts), no
// blocked signals and every signal at its default action.
bool describeAttributes(posix_spawnattr_t& attributes)
{
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    return posix_spawnattr_setflags(&attributes,
                                    POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
           posix_spawnattr_setpgroup(&attributes, 0) == 0 && posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
           posix_spawnattr_setsigdefault(&attributes, &all) == 0;
}

// Our environment without helper limits of an outer run, then the limits of
// this one (see helper_limits.h).
std::vector<std::string> helperEnvironment(const ChildLimits& limits)
{
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::string_view(*entry).rfind("MORVEX_HELPER_", 0) != 0)
            entries.emplace_back(*entry);
    const std::pair<const char*, std::uint64_t> own[] = {{HelperMemoryVariable, limits.memoryBytes},
                                                         {HelperCpuVariable, limits.cpuSeconds},
                                                         {HelperFileVariable, limits.fileBytes}};
    for (const auto& [name, value] : own)
        if (value != 0)
            entries.push_back(std::string(name) + "=" + std::to_string(value));
    return entries;
}

} // namespace

std::string ChildExit::describe() const
{
    if (exited)
        return "exit code " + std::to_string(code);
    const char* name = sigabbrev_np(signal);
    return "killed by signal " + std::to_string(signal) + (name != nullptr ? std::string(" (SIG") + name + ")" : "");
}

std::string errorOutputSummary(const std::filesystem::path& errorOutput)
{
    MappedFile errors;
    if (errors.open(errorOutput) != OperationResult::Success)
        return {};
    std::string text(errors.view().substr(0, 400));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

ChildProcess::~ChildProcess()
{
    finish();
}

OperationResult ChildProcess::start(const std::filesystem::path& program, std::span<const std::string> arguments,
                                    const ChildLimits& limits, const std::filesystem::path& errorOutput,
                                    Failure* failure)
{
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    std::string programText = program.string();
    argv.push_back(programText.data());
    std::vector<std::string> copies(arguments.begin(), arguments.end());
    for (std::string& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<std::string> environment = helperEnvironment(limits);
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    int error = EINVAL;
    if (describeDescriptors(actions, errorOutput) && describeAttributes(attributes))
        error = posix_spawn(&pid_, programText.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        pid_ = -1;
        return failWith(failure, FailureKind::Unreadable,
                        "cannot start " + program.string() + ": " + systemErrorText(error));
    }
    reaped_ = false;
    // For helpers that do not apply their limits themselves; the child is
    // at most loading its libraries yet.
    limitResource(pid_, RLIMIT_AS, limits.memoryBytes, limits.memoryBytes);
    limitResource(pid_, RLIMIT_CPU, limits.cpuSeconds, limits.cpuSeconds + 5);
    limitResource(pid_, RLIMIT_FSIZE, limits.fileBytes, limits.fileBytes);
    watcher_ = std::thread([this] {
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
        }
        ended_.set();
    });
    return OperationResult::Success;
}

void ChildProcess::killGroup()
{
    if (!reaped_)
        ::kill(-pid_, SIGKILL);
}

ChildExit ChildProcess::finish()
{
    if (reaped_)
        return exit_;
    killGroup(); // helpers the child started, or the child itself
    if (watcher_.joinable())
        watcher_.join();
    int status = 0;
    pid_t waited = -1;
    while ((waited = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    if (waited != pid_) {
        // Reaped elsewhere (children ignored): the outcome is unknown, so it
        // counts as a failure, never as an exit with 0.
        exit_ = ChildExit{false, 0, SIGKILL};
        return exit_;
    }
    exit_.exited = WIFEXITED(status);
    exit_.code = exit_.exited ? WEXITSTATUS(status) : 0;
    exit_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return exit_;
}

} // namespace morvex
