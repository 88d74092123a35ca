#include "external/ifc/ifc_converter.h"

#include "external/components/component_registry.h"
#include "external/external_converters.h"
#include "support/platform/child_process.h"
#include "support/platform/files.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace morvex {
namespace {

constexpr std::string_view IfcToolComponent = "ifcconvert";
constexpr std::uint32_t IfcToolMilliseconds = 2 * 60 * 60 * 1000;

} // namespace

ProcessOutcome runProcessAndWait(ProgressReporter& reporter, const std::filesystem::path& program,
                                 std::span<const std::string> arguments, std::uint32_t milliseconds, Failure* failure)
{
    ChildProcess process;
    if (process.start(program, arguments, ChildLimits{}, {}, failure) != OperationResult::Success)
        return {};
    const WaitableEvent* ended[] = {&process.ended()};
    ProcessOutcome outcome;
    outcome.wait = reporter.waitForAnyHandle(ended, milliseconds);
    if (outcome.wait != WaitResult::Signalled)
        process.killGroup();
    const ChildExit exit = process.finish();
    outcome.exitCode = exit.exited ? exit.code : -1;
    return outcome;
}

OperationResult ensurePrivateFolder(const std::filesystem::path& folder, Failure* failure)
{
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return failWith(failure, FailureKind::Unwritable,
                        "cannot create " + folder.string() + ": " + systemErrorText(errno));
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 077) != 0)
        return failWith(failure, FailureKind::Unwritable,
                        folder.string() + " is not a private folder of this user (mode 0700); it is not used");
    return OperationResult::Success;
}

OperationResult runIfcConverter(ProgressReporter& reporter, const std::filesystem::path& input,
                                const std::filesystem::path& output, Failure* failure)
{
    std::filesystem::path tool;
    if (!findComponent(IfcToolComponent, tool))
        return reporter.isCancelled() ? OperationResult::Cancelled
                                      : failWith(failure, FailureKind::Unsupported,
                                                 "the IFC tool is not installed: component \"ifcconvert\" "
                                                 "('morvex-cli components install ifcconvert' installs it)");
    if (ensurePrivateFolder(output.parent_path(), failure) != OperationResult::Success)
        return OperationResult::Failure;
    std::error_code ignored;
    std::filesystem::remove(output, ignored);
    std::filesystem::remove(std::filesystem::path(output).replace_extension(".obj"), ignored);
    const std::string arguments[] = {input.string(), output.string()};
    const ProcessOutcome outcome = runProcessAndWait(reporter, tool, arguments, IfcToolMilliseconds, failure);
    if (outcome.wait == WaitResult::Stopped)
        return OperationResult::Cancelled;
    if (outcome.wait == WaitResult::TimedOut)
        return failWith(failure, FailureKind::Malformed, "the IFC tool did not finish within two hours");
    if (outcome.exitCode != 0)
        return failWith(failure, FailureKind::Malformed,
                        "the IFC tool could not convert the file (exit code " + std::to_string(outcome.exitCode) + ")");
    return OperationResult::Success;
}

} // namespace morvex
