// morvex-cli: the converter without a window.
//   morvex-cli info [--json] FILE...
//   morvex-cli convert FILE... --to FORMAT [--output DIR]

#include "app/model_io.h"
#include "app/model_summary.h"
#include "support/progress/progress_reporter.h"
#include "support/text/text.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <pthread.h>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace morvex;
namespace fs = std::filesystem;

namespace {

constexpr const char* Version = "0.1.0";

constexpr const char* UsageText =
    "usage: morvex-cli info [--json] FILE...\n"
    "       morvex-cli convert FILE... --to FORMAT [--output DIR]\n"
    "       morvex-cli --help | --version\n"
    "\n"
    "info     reads each file and prints what it holds: objects with their vertex,\n"
    "         index, triangle, normal, colour and texture-coordinate counts,\n"
    "         materials, bounding box and properties. --json prints one JSON\n"
    "         object per file and line.\n"
    "convert  converts each file into FORMAT (stl: binary STL, stl-ascii: ASCII\n"
    "         STL, obj: OBJ with its material library, ply: binary PLY), into DIR\n"
    "         or next to the source.\n"
    "\n"
    "Exit status: 0 when every file succeeded, 1 when any failed, 2 for a usage\n"
    "error, 130 when interrupted.\n";

int usageError(const std::string& message)
{
    std::fprintf(stderr, "morvex-cli: %s\n", message.c_str());
    std::fputs("Try 'morvex-cli --help'.\n", stderr);
    return 2;
}

// Ctrl-C and SIGTERM become a stop request on the reporter, from a thread that
// waits for the signals, so the request is made outside any signal handler.
class InterruptWatcher {
public:
    explicit InterruptWatcher(StoppableReporter& reporter) : reporter_(reporter)
    {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this] {
            int signal = 0;
            while (sigwait(&signals_, &signal) == 0) {
                if (signal == SIGUSR1)
                    return; // our own wake-up at exit
                interrupted_ = true;
                reporter_.requestStop();
            }
        });
    }
    ~InterruptWatcher()
    {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }
    bool interrupted() const { return interrupted_; }

private:
    StoppableReporter& reporter_;
    sigset_t signals_{};
    std::thread thread_;
    std::atomic<bool> interrupted_{false};
};

int runInfo(const std::vector<std::string>& args)
{
    bool json = false;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (arg == "--json")
            json = true;
        else if (arg.starts_with("--") && arg != "--")
            return usageError("unknown option " + arg);
        else
            files.push_back(arg);
    }
    if (files.empty())
        return usageError("info needs at least one file");

    StoppableReporter reporter;
    InterruptWatcher watcher(reporter);
    bool anyFailed = false;
    for (const std::string& file : files) {
        Model model;
        std::string reason;
        OperationResult result = readModel(reporter, model, file, extensionOf(file), &reason);
        if (result == OperationResult::Success) {
            // What the converter would see after reading: the profile of the
            // extension, as the conversion pipeline sets it.
            if (model.profile.kind == FormatKind::Unknown)
                model.profile = profileForExtension(extensionOf(file));
        }
        anyFailed |= result != OperationResult::Success;
        const std::string text = json ? modelSummaryJson(file, result, model, reason) + "\n"
                                      : modelSummaryText(file, result, model, reason);
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        if (watcher.interrupted())
            return 130;
    }
    return anyFailed ? 1 : 0;
}

struct OutputFormat {
    const char* name;
    const char* extension;
    FormatKind kind;
};

constexpr OutputFormat outputFormats[] = {
    {"stl", "stl", FormatKind::StlBinary},
    {"stl-ascii", "stl", FormatKind::StlAscii},
    {"ply", "ply", FormatKind::Ply},
    {"obj", "obj", FormatKind::Obj},
};

int runConvert(const std::vector<std::string>& args)
{
    std::vector<std::string> files;
    const OutputFormat* format = nullptr;
    std::string outputFolder;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--to" || arg == "--output") {
            if (i + 1 >= args.size())
                return usageError(arg + " needs a value");
            const std::string& value = args[++i];
            if (arg == "--output") {
                outputFolder = value;
                continue;
            }
            format = nullptr;
            for (const OutputFormat& candidate : outputFormats)
                if (equalsIgnoreCase(value, candidate.name))
                    format = &candidate;
            if (format == nullptr)
                return usageError("unknown output format '" + value + "' (stl, stl-ascii, obj, ply)");
        } else if (arg.starts_with("--")) {
            return usageError("unknown option " + arg);
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty())
        return usageError("convert needs at least one file");
    if (format == nullptr)
        return usageError("convert needs --to FORMAT");
    if (!outputFolder.empty()) {
        std::error_code error;
        fs::create_directories(outputFolder, error);
        if (!fs::is_directory(outputFolder))
            return usageError("cannot use output folder '" + outputFolder + "'");
    }

    ConversionSettings settings;
    settings.outputExtension = format->extension;
    settings.outputKind = format->kind;
    settings.outputFolder = outputFolder;

    StoppableReporter reporter;
    InterruptWatcher watcher(reporter);
    bool anyFailed = false;
    for (const std::string& file : files) {
        const fs::path source(file);
        const fs::path folder = outputFolder.empty() ? source.parent_path() : fs::path(outputFolder);
        const fs::path output = folder / (source.stem().string() + "." + format->extension);
        Model model;
        std::string reason;
        const char* status = "Success";
        OperationResult result = readModel(reporter, model, source, extensionOf(file), &reason);
        if (result == OperationResult::Failure) {
            status = "Read failed";
        } else if (result == OperationResult::Success) {
            result = writeModel(reporter, output, model, settings, &reason);
            if (result == OperationResult::Failure)
                status = "Save failed";
        }
        if (result == OperationResult::Cancelled || reporter.isCancelled())
            status = "Cancelled";
        anyFailed |= std::strcmp(status, "Success") != 0;
        if (std::strcmp(status, "Success") == 0)
            std::printf("%s: %s -> %s\n", file.c_str(), status, output.c_str());
        else if (!reason.empty())
            std::printf("%s: %s: %s\n", file.c_str(), status, reason.c_str());
        else
            std::printf("%s: %s\n", file.c_str(), status);
        std::fflush(stdout);
        if (watcher.interrupted())
            return 130;
    }
    return anyFailed ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usageError("no command given");
    const std::string_view command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(UsageText, stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("morvex-cli %s\n", Version);
        return 0;
    }
    if (command == "info")
        return runInfo(args);
    if (command == "convert")
        return runConvert(args);
    return usageError("unknown command '" + std::string(command) + "'");
}
