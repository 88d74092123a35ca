#include "convert_command.h"

#include "app/batch_run.h"
#include "app/convert_checks.h"
#include "app/effects.h"
#include "app/input_collection.h"
#include "app/naming.h"
#include "app/pipeline.h"
#include "app/scheduler.h"
#include "console_report.h"
#include "convert_options.h"
#include "support/text/json.h"
#include "support/text/text.h"
#include "terminal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace morvex::cli {

const std::string_view ConvertUsageText =
    "usage: morvex-cli convert [options] PATH...\n"
    "\n"
    "Converts model files, and every model file in the folders named (hidden\n"
    "entries skipped), into one output format, several files at once.\n"
    "\n"
    "Output:\n"
    "  -t, --to FORMAT          3dp, 3ds, 3mf, obj, ply, stl (binary) or stl-ascii;\n"
    "                           default: the stored output format\n"
    "  -o, --output DIR         output folder; default: the stored output folder,\n"
    "                           else next to each source file\n"
    "      --same-folder        next to each source file, whatever is stored\n"
    "      --create-folder      create a missing output folder without asking\n"
    "      --on-exists ACTION   when an output file exists: ask, overwrite, skip,\n"
    "                           stop or rename; default: the stored policy\n"
    "      --name-template T    numbered names for rename, with %filename% and\n"
    "                           %number%; default: the stored one, %filename%-%number%\n"
    "Effects (for this run):\n"
    "      --remove-duplicates    remove duplicate triangles and vertices\n"
    "      --recalculate-normals  compute normals afresh\n"
    "      --translate X,Y,Z      move by X, Y, Z model units\n"
    "      --rotate X,Y,Z         turn by X, Y, Z degrees about the axes\n"
    "      --scale X,Y,Z|F        scale (before rotating and moving)\n"
    "      --stored-effects       the effects stored by the desktop program instead\n"
    "Run:\n"
    "  -j, --jobs N             files converted at once; default: processor count\n"
    "  -n, --dry-run            list each planned output and name clash; write nothing\n"
    "  -q, --quiet              print errors only\n"
    "      --json               one JSON object per file on standard output\n"
    "  -h, --help               this text\n"
    "\n"
    "Exit status: 0 when every file was converted (or skipped by the policy),\n"
    "1 when any file was not, 2 for usage or validation errors, 130 after Ctrl-C.\n";

namespace {

constexpr const char* OutputFormatSection = "Output Format";
constexpr const char* OutputFolderSection = "Output Folder";

int fail(std::string_view message)
{
    ErrorOutput::instance().write("morvex-cli: " + std::string(message) + "\n");
    return 2;
}

int usageError(std::string_view message)
{
    ErrorOutput::instance().write("morvex-cli: " + std::string(message) + "\nTry 'morvex-cli convert --help'.\n");
    return 2;
}

// The format of the output format list that the desktop program stored;
// its first entry when none (or nothing sensible) is stored.
const OutputFormat& storedOutputFormat(const SettingsStore& store)
{
    const std::int32_t index = store.readInt(OutputFormatSection, "PDLIndex", -1);
    return outputFormats()[index >= 0 && index < 6 ? static_cast<std::size_t>(index) : 0];
}

void printNotices(const InputCollection& inputs, bool quiet)
{
    for (const InputNotice& notice : inputs.notices) {
        const std::string path = displayPath(notice.path.string());
        switch (notice.kind) {
        case InputNotice::Kind::Media:
            if (!quiet)
                ErrorOutput::instance().write(notice.title + ": " + displayPath(notice.text) + "\n");
            break;
        case InputNotice::Kind::Unsupported:
            if (!quiet)
                ErrorOutput::instance().write(path + ": " + notice.text + "\n");
            break;
        case InputNotice::Kind::Missing:
        case InputNotice::Kind::Unreadable:
            ErrorOutput::instance().write("morvex-cli: cannot use '" + path + "': " + notice.text + "\n");
            break;
        }
    }
}

std::size_t unsupportedCount(const InputCollection& inputs)
{
    std::size_t count = 0;
    for (const InputNotice& notice : inputs.notices)
        count += notice.kind == InputNotice::Kind::Unsupported;
    return count;
}

// The run's effects: the stored ones, or those of the options.
EffectSettings effectsFor(const ConvertOptions& options, const SettingsStore& store)
{
    if (options.storedEffects)
        return loadEffects(store);
    EffectSettings effects;
    effects.removeDuplicateTriangles = options.removeDuplicates;
    effects.recalculateNormals = options.recalculateNormals;
    effects.applyCustomTransform = options.translate || options.rotate || options.scale;
    effects.translation = options.translate.value_or(EffectVector{0, 0, 0});
    effects.rotation = options.rotate.value_or(EffectVector{0, 0, 0});
    const ScaleCommit scale = prepareScale(options.scale.value_or(EffectVector{1, 1, 1}));
    effects.scale = scale.scale;
    if (scale.needsZeroScaleWarning && !options.quiet)
        ErrorOutput::instance().write("morvex-cli: warning: " + std::string(ZeroScaleWarningText) + "\n");
    return effects;
}

std::string decisionText(const PlannedOutput& planned)
{
    if (!planned.decision)
        return "would ask";
    switch (*planned.decision) {
    case OverwriteDecision::Overwrite: return "would overwrite it";
    case OverwriteDecision::Skip: return "would skip the file";
    case OverwriteDecision::Stop: return "would stop the run";
    case OverwriteDecision::Rename:
        return planned.renamedTo ? "would write " + displayPath(planned.renamedTo->string()) + " instead"
                                 : "no free numbered name";
    case OverwriteDecision::None: break;
    }
    return {};
}

int printDryRun(const ConversionRun& run, OverwritePolicySource& policy, bool json)
{
    std::vector<PlannedOutput> plan;
    planOutputs(run, policy, plan);
    std::string data;
    for (const PlannedOutput& planned : plan) {
        if (json) {
            data += "{\"source\":";
            appendJsonString(data, planned.source.string());
            data += ",\"output\":";
            appendJsonString(data, planned.output.string());
            data += ",\"exists\":";
            data += planned.exists ? "true" : "false";
            data += ",\"decision\":";
            appendJsonString(data, planned.exists ? decisionText(planned) : "");
            data += "}\n";
            continue;
        }
        data += displayPath(planned.source.string()) + " -> " + displayPath(planned.output.string());
        if (planned.exists)
            data += "  (exists: " + decisionText(planned) + ")";
        data += "\n";
    }
    std::fwrite(data.data(), 1, data.size(), stdout);
    std::fflush(stdout);
    return 0;
}

// Without a terminal nobody can answer: find the first clash the policy
// would ask about before anything runs.
std::optional<std::filesystem::path> firstQuestion(const ConversionRun& run, OverwritePolicySource& policy)
{
    if (!policy.current().alwaysPrompt)
        return std::nullopt;
    OutputNamer namer(run.settings, run.environment.nameTemplate);
    for (const RunEntry& entry : run.results) // in scheduling order
        if (std::optional<std::filesystem::path> candidate = namer.candidateFor(entry.source);
            candidate && outputNameTaken(*candidate))
            return candidate;
    return std::nullopt;
}

int cannotAsk(const std::filesystem::path& candidate)
{
    return fail(overwriteQuestionText(displayPath(candidate.string())) +
                "\nmorvex-cli: nobody to ask without a terminal; choose with --on-exists "
                "overwrite|skip|stop|rename (or ask, on a terminal)");
}

// The output folder of the run; false (with the exit status) when the
// command ends here.
bool decideOutputFolder(const ConvertOptions& options, const SettingsStore& store, const InterruptWatcher& watcher,
                        bool interactive, std::string& outputFolder, int& exitStatus)
{
    std::string text = options.sameFolder ? std::string(SameFolderText)
                       : options.outputFolder
                           ? *options.outputFolder
                           : store.readText(OutputFolderSection, "CBString", SameFolderText);
    if (options.dryRun) {
        outputFolder = text == SameFolderText ? std::string() : text;
        std::error_code error;
        if (!outputFolder.empty() && !std::filesystem::is_directory(outputFolder, error))
            ErrorOutput::instance().write("morvex-cli: the output folder '" + displayPath(outputFolder) +
                                          "' does not exist yet\n");
        return true;
    }
    if (options.createFolder && text != SameFolderText && !text.empty()) {
        std::error_code error;
        std::filesystem::create_directories(text, error);
    }
    TerminalFolderQuestion question(watcher);
    const OutputFolderCheck check = checkOutputFolder(text, store, interactive ? &question : nullptr);
    if (watcher.interrupted()) {
        exitStatus = 130;
        return false;
    }
    switch (check.outcome) {
    case OutputFolderOutcome::Declined:
        exitStatus = fail("the output folder '" + displayPath(text) +
                          "' does not exist; pass --create-folder to create it");
        return false;
    case OutputFolderOutcome::CreationFailed:
        exitStatus = fail(std::string(FolderCreationFailedText) + " (" + displayPath(text) + ")");
        return false;
    case OutputFolderOutcome::ResetToSameFolder:
        if (!options.quiet)
            ErrorOutput::instance().write("morvex-cli: " + std::string(OutputFolderResetText) + "\n");
        break;
    case OutputFolderOutcome::SameFolder:
    case OutputFolderOutcome::Existing:
    case OutputFolderOutcome::Created: break;
    }
    outputFolder = check.outputFolder;
    return true;
}

bool endedWell(ConversionStatus status)
{
    return status == ConversionStatus::Success || status == ConversionStatus::Replaced ||
           status == ConversionStatus::ConvertedAndRenamed || status == ConversionStatus::Skipped;
}

std::string summaryJson(const ConversionRun& run, std::string_view text, double seconds, int exitStatus)
{
    unsigned skipped = 0, cancelled = 0;
    for (const RunEntry& entry : run.results) {
        skipped += entry.status == ConversionStatus::Skipped;
        cancelled += entry.status == ConversionStatus::Cancelled;
    }
    std::string out = "{\"summary\":{\"files\":" + std::to_string(run.results.size());
    out += ",\"converted\":" + std::to_string(run.converted);
    out += ",\"failed\":" + std::to_string(run.failed);
    out += ",\"skipped\":" + std::to_string(skipped);
    out += ",\"cancelled\":" + std::to_string(cancelled);
    out += ",\"seconds\":";
    appendJsonNumber(out, std::round(seconds * 1000.0) / 1000.0);
    out += ",\"text\":";
    appendJsonString(out, text);
    out += ",\"exitStatus\":" + std::to_string(exitStatus) + "}}\n";
    return out;
}

} // namespace

int runConvert(const std::vector<std::string>& args)
{
    ConvertOptions options;
    std::string error;
    if (!parseConvertOptions(args, options, error))
        return usageError(error);
    if (options.help) {
        std::fwrite(ConvertUsageText.data(), 1, ConvertUsageText.size(), stdout);
        return 0;
    }
    if (options.nameTemplate) {
        switch (checkNameTemplate(*options.nameTemplate)) {
        case NameTemplateProblem::MissingMarker: return usageError("--name-template: " + std::string(MissingMarkersText));
        case NameTemplateProblem::InvalidCharacter:
            return usageError("--name-template: " + std::string(InvalidFormatText) + " (" +
                              nameTemplateExample(*options.nameTemplate) + ")");
        case NameTemplateProblem::None: break;
        }
    }

    const SettingsStore store = SettingsStore::forUser();
    StoppableReporter dialog;
    InterruptWatcher watcher(dialog);
    const bool interactive = standardInputIsTerminal() && standardErrorIsTerminal();

    std::vector<std::filesystem::path> paths(options.paths.begin(), options.paths.end());
    const InputCollection inputs = collectInputs(paths, dialog);
    if (watcher.interrupted())
        return 130;
    printNotices(inputs, options.quiet);
    if (inputs.files.empty())
        return fail(NoneConvertibleText);

    std::string outputFolder;
    int exitStatus = 0;
    if (!decideOutputFolder(options, store, watcher, interactive, outputFolder, exitStatus))
        return exitStatus;

    if (!options.dryRun) {
        const FreeSpaceCheck space = checkFreeSpace(inputs.files, outputFolder);
        if (!space.enough)
            return fail(std::string(FreeSpaceErrorTitle) + ": " + std::string(space.message) + " (" +
                        std::to_string(space.required) + " bytes needed in " + displayPath(space.folder.string()) +
                        ")");
    }

    const EffectSettings effects = effectsFor(options, store);
    const OutputFormat& format = options.format != nullptr ? *options.format : storedOutputFormat(store);
    ConversionSettings settings;
    settings.outputExtension = format.extension;
    settings.outputKind = format.kind;
    settings.outputFolder = outputFolder;
    loadEffectsInto(effects, settings);

    ConversionRun run(inputs.files, settings,
                      [](const std::filesystem::path& source, const std::filesystem::path& output,
                         const ConversionSettings& runSettings, ProgressReporter& reporter,
                         Failure* failure) { return convertFile(source, output, runSettings, reporter, failure); });
    run.workerCount = options.jobs != 0 ? options.jobs : processorCount();
    run.environment.nameTemplate = options.nameTemplate ? *options.nameTemplate : storedNameTemplate(store);

    StoredOverwritePolicy storedPolicy(store);
    FixedOverwritePolicy chosenPolicy(policyForChoice(options.onExists.value_or(OverwriteChoice::Prompt)), &store);
    OverwritePolicySource& policy = options.onExists ? static_cast<OverwritePolicySource&>(chosenPolicy) : storedPolicy;

    if (options.dryRun)
        return printDryRun(run, policy, options.json);
    if (!interactive)
        if (const std::optional<std::filesystem::path> clash = firstQuestion(run, policy))
            return cannotAsk(*clash);

    if (!outputFolder.empty())
        rememberOutputFolder(store, std::filesystem::absolute(outputFolder).lexically_normal().string());

    const auto started = std::chrono::steady_clock::now();
    ConsoleSink sink(run.results.size(), standardErrorIsTerminal() && !options.quiet);
    TerminalOverwriteQuestion terminalQuestion(watcher);
    UnanswerableQuestion noQuestion;
    Failure failure;
    const OperationResult result =
        runConversion(run, policy, interactive ? static_cast<OverwriteQuestion&>(terminalQuestion) : noQuestion, sink,
                      dialog, &failure);
    sink.stopProgress();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!noQuestion.first.empty() && !watcher.interrupted())
        return cannotAsk(noQuestion.first);
    if (result == OperationResult::Failure && failure.recorded())
        ErrorOutput::instance().write("morvex-cli: " + describeFailure(failure) + "\n");

    bool allWell = true;
    std::string data;
    for (const RunEntry& entry : sink.finals()) {
        const bool well = endedWell(entry.status);
        allWell = allWell && well;
        if (options.json)
            data += fileResultJson(entry);
        else if (!options.quiet || !well)
            ErrorOutput::instance().write(fileResultLine(entry));
    }
    // A path that named nothing usable is an error even when the rest went well.
    const bool allPathsUsed = std::none_of(inputs.notices.begin(), inputs.notices.end(), [](const InputNotice& notice) {
        return notice.kind == InputNotice::Kind::Missing || notice.kind == InputNotice::Kind::Unreadable;
    });
    exitStatus = watcher.interrupted() ? 130 : allWell && allPathsUsed ? 0 : 1;

    const unsigned selected = static_cast<unsigned>(run.results.size() + unsupportedCount(inputs));
    const CompletionSummary summary = completionSummary(run.converted, selected);
    const std::string_view summaryText = summary.shown ? summary.text : std::string_view("No file was converted.");
    if (!options.quiet)
        ErrorOutput::instance().write(std::string(summaryText) + "\n");
    if (options.json) {
        data += summaryJson(run, summaryText, seconds, exitStatus);
        std::fwrite(data.data(), 1, data.size(), stdout);
        std::fflush(stdout);
    }
    return exitStatus;
}

} // namespace morvex::cli
