#include "external/ifc/ifc_converter.h"

#include "external/components/component_registry.h"
#include "external/external_converters.h"
#include "external/ifc/ifc_obj_name.h"
#include "support/platform/files.h"

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace morvex {
namespace {

constexpr std::string_view IfcToolComponent = "ifcconvert";
// The OBJ text of a large building runs to a few hundred megabytes; a file
// far beyond that comes from a hostile model (nested mapped items repeat
// geometry without end) and ends the tool.
constexpr std::uint64_t IfcToolFileBytes = std::uint64_t(2) << 30;
// A large building model may take the tool a long time: two hours of wall
// and processor time (the helpers' ten minutes would refuse real files),
// within the helpers' memory limit.
constexpr std::uint32_t IfcToolSeconds = 2 * 60 * 60;

void removeToolOutput(const std::filesystem::path& output)
{
    std::error_code ignored;
    std::filesystem::remove(output, ignored);
    std::filesystem::remove(ifcToolObjPath(output), ignored);
    std::filesystem::remove(ifcToolMtlPath(output), ignored);
}

std::string toolFailure(const ChildExit& exit, const ConverterLimits& limits, const std::filesystem::path& errorOutput)
{
    std::string why = "the IFC tool could not convert the file (" + exit.describe() + ")";
    if (!exit.exited && exit.signal == SIGXCPU)
        why += ": it used more than " + std::to_string(limits.cpuSeconds) + " s of processor time";
    if (!exit.exited && exit.signal == SIGXFSZ)
        why += ": its output grew beyond " + std::to_string(IfcToolFileBytes >> 20) + " MiB";
    if (const std::string said = errorOutputSummary(errorOutput); !said.empty())
        why += ": " + said;
    return why;
}

} // namespace

ProcessOutcome runProcessAndWait(ProgressReporter& reporter, const std::filesystem::path& program,
                                 std::span<const std::string> arguments, std::uint32_t milliseconds,
                                 const ChildLimits& limits, const std::filesystem::path& errorOutput, Failure* failure)
{
    ChildProcess process;
    ProcessOutcome outcome;
    if (process.start(program, arguments, limits, errorOutput, failure) != OperationResult::Success)
        return outcome;
    outcome.started = true;
    const WaitableEvent* ended[] = {&process.ended()};
    outcome.wait = reporter.waitForAnyHandle(ended, milliseconds);
    if (outcome.wait != WaitResult::Signalled)
        process.killGroup();
    outcome.exit = process.finish();
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

OperationResult runIfcTool(ProgressReporter& reporter, const std::filesystem::path& tool,
                           const std::filesystem::path& input, const std::filesystem::path& output,
                           const ConverterLimits& limits, Failure* failure)
{
    if (reporter.isCancelled())
        return OperationResult::Cancelled;
    if (ensurePrivateFolder(output.parent_path(), failure) != OperationResult::Success)
        return OperationResult::Failure;
    removeToolOutput(output);
    std::filesystem::path errorOutput = output;
    errorOutput += ".errors";
    const std::string arguments[] = {input.string(), output.string()};
    const ChildLimits childLimits{limits.memoryBytes != 0 ? limits.memoryBytes : defaultConverterMemoryBytes(),
                                  limits.cpuSeconds, IfcToolFileBytes};
    const ProcessOutcome outcome =
        runProcessAndWait(reporter, tool, arguments, limits.wallSeconds * 1000u, childLimits, errorOutput, failure);
    OperationResult result = OperationResult::Success;
    if (!outcome.started)
        result = OperationResult::Failure;
    else if (outcome.wait == WaitResult::Stopped)
        result = OperationResult::Cancelled;
    else if (outcome.wait != WaitResult::Signalled)
        result =
            failWith(failure, FailureKind::Malformed,
                     "the IFC tool did not finish within " + std::to_string(limits.wallSeconds) + " s and was stopped");
    else if (!outcome.exit.exited || outcome.exit.code != 0)
        result = failWith(failure, FailureKind::Malformed, toolFailure(outcome.exit, limits, errorOutput));
    std::error_code ignored;
    std::filesystem::remove(errorOutput, ignored);
    if (result != OperationResult::Success)
        removeToolOutput(output); // what a stopped or failed tool left is no result
    return result;
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
    ConverterLimits limits;
    limits.wallSeconds = IfcToolSeconds;
    limits.cpuSeconds = IfcToolSeconds;
    return runIfcTool(reporter, tool, input, output, limits, failure);
}

} // namespace morvex
