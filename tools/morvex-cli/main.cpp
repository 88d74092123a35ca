// morvex-cli: the converter without a window.
//   morvex-cli info [--json] FILE...
//   morvex-cli convert [options] {PATH...|--from-list FILE}
//   morvex-cli render --png DIR [options] PATH...
//   morvex-cli formats [--json]
//   morvex-cli settings [--reset KEY]... [--all]
//   morvex-cli components [--json] | install ID | update ID

#include "app/media_kinds.h"
#include "app/model_io.h"
#include "app/model_summary.h"
#include "command_line_spec.h"
#include "components_command.h"
#include "convert_command.h"
#include "formats/format_table.h"
#include "formats_command.h"
#include "settings_command.h"
#include "suggestion.h"
#include "support/progress/progress_reporter.h"
#include "support/text/text.h"
#include "terminal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

using namespace morvex;

namespace {

constexpr const char* Version = "0.1.0";

constexpr const char* UsageText = "usage: morvex-cli info [--json] FILE...\n"
                                  "       morvex-cli convert [options] {PATH...|--from-list FILE}\n"
                                  "       morvex-cli render --png DIR [options] PATH...\n"
                                  "       morvex-cli formats [--json]\n"
                                  "       morvex-cli settings [--reset KEY]... [--all]\n"
                                  "       morvex-cli components [--json] | install ID | update ID\n"
                                  "       morvex-cli help [COMMAND] | --help | -V | --version | version\n"
                                  "\n"
                                  "info     reads each file and prints what it holds: objects with their vertex,\n"
                                  "         index, triangle, normal, colour and texture-coordinate counts,\n"
                                  "         materials, bounding box and properties. --json prints one JSON\n"
                                  "         object per file and line.\n"
                                  "convert  converts files and folders of model files into one output format,\n"
                                  "         several at once; 'morvex-cli convert --help' lists its options.\n"
                                  "render   draws each model as the preview shows it into a PNG picture;\n"
                                  "         'morvex-cli render --help' lists its options.\n"
                                  "formats  lists every format: its extension, whether it is read (by our own\n"
                                  "         reader or through the helper) and the --to names that write it.\n"
                                  "settings shows the stored settings that convert uses when an option is not\n"
                                  "         given, and resets them.\n"
                                  "components lists the helper components with their version and path, and\n"
                                  "         installs or updates one: 'morvex-cli components install assimpext2'.\n"
                                  "\n"
                                  "Exit status: 0 when every file succeeded, 1 when any failed, 2 for a usage\n"
                                  "error, 130 when interrupted.\n";

int printText(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

int usageError(const std::string& message)
{
    std::fprintf(stderr, "morvex-cli: %s\n", message.c_str());
    std::fputs("Try 'morvex-cli --help'.\n", stderr);
    return 2;
}

// "--generate WHAT": a man page or a completion script, made at build time.
int printGenerated(const std::vector<std::string>& args)
{
    const std::string text = args.size() == 1 ? cli::generatedFile(args.front()) : std::string();
    if (text.empty())
        return usageError("--generate takes man, man-COMMAND, bash or zsh");
    return printText(text);
}

// Why a path cannot be read as a model, before any reader tries; empty
// when a reader should.
std::string whyNotAModel(const std::string& file)
{
    std::error_code error;
    if (std::filesystem::is_directory(file, error))
        return "is a folder, not a model file";
    if (!std::filesystem::exists(file, error))
        return {}; // the reader says "No such file or directory"
    const std::string extension = extensionOf(file);
    if (mediaKindOf(extension) != MediaKind::None)
        return "not a model file (" + std::string(mediaNoticeTitle(mediaKindOf(extension))) + ")";
    const FileFormat* format = formatForExtension(extension);
    if (format == nullptr)
        return "not a model file: no format has the extension '" + extension +
               "' ('morvex-cli formats' lists the known ones)";
    if (format->route == ReadRoute::OwnReaderMissing)
        return "the reader of " + extension + " files is not in this build yet";
    return {};
}

int unknownCommand(std::string_view command)
{
    static constexpr std::string_view Commands[] = {"info",     "convert",    "render", "formats",
                                                    "settings", "components", "help",   "version"};
    return usageError("unknown command '" + std::string(command) + "'" + cli::didYouMean(command, Commands));
}

int runInfo(const std::vector<std::string>& args)
{
    bool json = false;
    bool filesOnly = false;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (filesOnly || arg == "-" || !arg.starts_with("-"))
            files.push_back(arg);
        else if (arg == "--")
            filesOnly = true;
        else if (arg == "--json")
            json = true;
        else if (arg == "--help" || arg == "-h")
            return printText(cli::commandHelp(*cli::commandSpec("info")));
        else
            return usageError("unknown option " + arg +
                              cli::didYouMean(arg, std::vector<std::string_view>{"--json", "--help"}));
    }
    if (files.empty())
        return usageError("info needs at least one file");

    StoppableReporter reporter;
    cli::InterruptWatcher watcher(reporter);
    bool anyFailed = false;
    for (const std::string& file : files) {
        Model model;
        Failure failure;
        if (const std::string notModel = whyNotAModel(file); !notModel.empty())
            failWith(&failure, FailureKind::Unsupported, notModel);
        const OperationResult result =
            failure.recorded() ? OperationResult::Failure : readModel(reporter, model, file, &failure);
        if (result == OperationResult::Success) {
            // What the converter would see after reading: the profile of the
            // extension, as the conversion pipeline sets it.
            if (model.profile.kind == FormatKind::Unknown)
                model.profile = profileForExtension(extensionOf(file));
        }
        anyFailed |= result != OperationResult::Success;
        const std::string text = json ? modelSummaryJson(file, result, model, describeFailure(failure)) + "\n"
                                      : modelSummaryText(file, result, model, describeFailure(failure));
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        if (watcher.interrupted())
            return 130;
    }
    return anyFailed ? 1 : 0;
}

// Drawing needs the Qt and OpenGL libraries, which take tens of milliseconds
// to load: "render" is morvex-render, which this process becomes, found
// beside this program (the build tree) or in the helpers' folder of an
// installed one.
int runRender(std::vector<std::string> args)
{
    std::vector<char*> argv;
    std::string name = "morvex-render";
    argv.push_back(name.data());
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    int why = ENOENT;
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
    if (!error)
        for (const std::filesystem::path& program :
             {folder / "morvex-render", folder / "../lib/morvex/morvex-render"}) {
            ::execv(program.c_str(), argv.data());
            if (errno != ENOENT)
                why = errno;
        }
    std::fprintf(stderr, "morvex-cli: cannot start morvex-render, which draws the pictures: %s\n", std::strerror(why));
    return 1;
}

int printVersion()
{
    std::printf("morvex-cli %s\n", Version);
    return 0;
}

// "help COMMAND" and "COMMAND --help" print the same text.
int printHelp(const std::vector<std::string>& args)
{
    if (args.empty())
        return printText(UsageText);
    const std::vector<std::string> help = {"--help"};
    if (args.front() == "info")
        return runInfo(help);
    if (args.front() == "convert")
        return cli::runConvert(help);
    if (args.front() == "render")
        return runRender(help);
    if (args.front() == "formats")
        return cli::runFormats(help);
    if (args.front() == "settings")
        return cli::runSettings(help);
    if (args.front() == "components")
        return cli::runComponents(help);
    return unknownCommand(args.front());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usageError("no command given");
    const std::string_view command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h")
        return printText(UsageText);
    if (command == "help")
        return printHelp(args);
    if (command == "--version" || command == "-V" || command == "version")
        return printVersion();
    if (command == "--generate")
        return printGenerated(args);
    if (command == "info")
        return runInfo(args);
    if (command == "convert")
        return cli::runConvert(args);
    if (command == "render")
        return runRender(args);
    if (command == "formats")
        return cli::runFormats(args);
    if (command == "settings")
        return cli::runSettings(args);
    if (command == "components")
        return cli::runComponents(args);
    return unknownCommand(command);
}
