// morvex-cli: the converter without a window.
//   morvex-cli info [--json] FILE...
//   morvex-cli convert FILE... --to FORMAT [--output DIR] [effects]

#include "app/model_io.h"
#include "app/pipeline.h"
#include "app/model_summary.h"
#include "support/progress/progress_reporter.h"
#include "support/text/numbers.h"
#include "support/text/text.h"

#include <atomic>
#include <cmath>
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
    "       morvex-cli convert FILE... --to FORMAT [--output DIR] [EFFECT...]\n"
    "       morvex-cli --help | --version\n"
    "\n"
    "info     reads each file and prints what it holds: objects with their vertex,\n"
    "         index, triangle, normal, colour and texture-coordinate counts,\n"
    "         materials, bounding box and properties. --json prints one JSON\n"
    "         object per file and line.\n"
    "convert  converts each file into FORMAT (3dp, 3ds, 3mf, obj: OBJ with its\n"
    "         material library, ply: binary PLY, stl: binary STL, stl-ascii:\n"
    "         ASCII STL, 3dp: 3DP document), into DIR or next to the source, and\n"
    "         prints each file's status (Success, Read failed, Save failed,\n"
    "         Cancelled). Effects:\n"
    "           --remove-duplicates     merge coincident vertices and drop\n"
    "                                   duplicate triangles\n"
    "           --recalculate-normals   recompute normals where the format\n"
    "                                   stores them\n"
    "           --translate X,Y,Z       custom transform: scale first, then\n"
    "           --rotate X,Y,Z          rotate about X, Y and Z (degrees),\n"
    "           --scale X,Y,Z           then translate\n"
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
    {"3dp", "3dp", FormatKind::Document3dp}, {"3ds", "3ds", FormatKind::Tds}, {"3mf", "3mf", FormatKind::ThreeMf},
    {"obj", "obj", FormatKind::Obj},         {"ply", "ply", FormatKind::Ply}, {"stl", "stl", FormatKind::StlBinary},
    {"stl-ascii", "stl", FormatKind::StlAscii},
};

// Largest magnitude an effect number may have.
constexpr float EffectLimit = 1000000.0f;

// "X,Y,Z": three decimal numbers, each within the effect limit.
bool parseTriple(std::string_view text, Vector3& out)
{
    const char* cursor = text.data();
    const char* end = cursor + text.size();
    float* targets[] = {&out.x, &out.y, &out.z};
    for (int i = 0; i < 3; ++i) {
        if (i > 0 && (cursor == end || *cursor++ != ','))
            return false;
        if (!parseFloat(cursor, end, *targets[i]) || !(std::fabs(*targets[i]) <= EffectLimit))
            return false;
    }
    return cursor == end;
}

struct ConvertOptions {
    std::vector<std::string> files;
    const OutputFormat* format = nullptr;
    std::string outputFolder;
    ConversionSettings settings;
};

// Fills the options from the arguments; a usage error's message otherwise.
std::string parseConvertOptions(const std::vector<std::string>& args, ConvertOptions& options)
{
    Vector3 translation{0, 0, 0}, rotation{0, 0, 0}, scale{1, 1, 1};
    ConversionSettings& settings = options.settings;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--remove-duplicates") {
            settings.removeDuplicatesOn = true;
            continue;
        }
        if (arg == "--recalculate-normals") {
            settings.recalculateNormalsOn = true;
            continue;
        }
        if (!arg.starts_with("--")) {
            options.files.push_back(arg);
            continue;
        }
        const bool takesValue = arg == "--to" || arg == "--output" || arg == "--translate" || arg == "--rotate" ||
                                arg == "--scale";
        if (!takesValue)
            return "unknown option " + arg;
        if (i + 1 >= args.size())
            return arg + " needs a value";
        const std::string& value = args[++i];
        if (arg == "--output") {
            options.outputFolder = value;
        } else if (arg == "--to") {
            options.format = nullptr;
            for (const OutputFormat& candidate : outputFormats)
                if (equalsIgnoreCase(value, candidate.name))
                    options.format = &candidate;
            if (options.format == nullptr)
                return "unknown output format '" + value + "' (3dp, 3ds, 3mf, obj, ply, stl, stl-ascii)";
        } else {
            Vector3& target = arg == "--translate" ? translation : arg == "--rotate" ? rotation : scale;
            if (!parseTriple(value, target))
                return arg + " needs three numbers X,Y,Z between -1000000 and 1000000, not '" + value + "'";
            settings.customTransformOn = true;
        }
    }
    if (options.files.empty())
        return "convert needs at least one file";
    if (options.format == nullptr)
        return "convert needs --to FORMAT";
    settings.outputExtension = options.format->extension;
    settings.outputKind = options.format->kind;
    settings.outputFolder = options.outputFolder;
    if (settings.customTransformOn)
        settings.customMatrix = composeTransform(rotation, scale, Matrix4::identity(), translation);
    return {};
}

// Converting a file onto itself would replace the source with its own copy.
bool isSameFile(const fs::path& a, const fs::path& b)
{
    std::error_code error;
    return fs::equivalent(a, b, error);
}

int runConvert(const std::vector<std::string>& args)
{
    ConvertOptions options;
    if (std::string problem = parseConvertOptions(args, options); !problem.empty())
        return usageError(problem);
    if (!options.outputFolder.empty()) {
        std::error_code error;
        fs::create_directories(options.outputFolder, error);
        if (!fs::is_directory(options.outputFolder))
            return usageError("cannot use output folder '" + options.outputFolder + "'");
    }

    StoppableReporter reporter;
    InterruptWatcher watcher(reporter);
    bool anyFailed = false;
    for (const std::string& file : options.files) {
        const fs::path source(file);
        const fs::path folder = options.outputFolder.empty() ? source.parent_path() : fs::path(options.outputFolder);
        const fs::path output = folder / (source.stem().string() + "." + options.format->extension);
        std::string reason;
        ConversionStatus status = ConversionStatus::SaveFailed;
        if (isSameFile(source, output))
            reason = "the output would replace the source file; choose another folder with --output";
        else
            status = convertFile(source, output, options.settings, reporter, &reason);
        anyFailed |= status != ConversionStatus::Success;
        const char* text = conversionStatusText(status);
        if (status == ConversionStatus::Success)
            std::printf("%s: %s -> %s\n", file.c_str(), text, output.c_str());
        else if (!reason.empty() && status != ConversionStatus::Cancelled)
            std::printf("%s: %s: %s\n", file.c_str(), text, reason.c_str());
        else
            std::printf("%s: %s\n", file.c_str(), text);
        std::fflush(stdout);
    }
    if (watcher.interrupted())
        return 130;
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
