#include "convert_command.h"

#include "app/batch_run.h"
#include "app/effects.h"
#include "app/free_space_check.h"
#include "app/input_collection.h"
#include "app/input_list.h"
#include "app/naming.h"
#include "app/output_folder_check.h"
#include "app/output_planning.h"
#include "app/pipeline.h"
#include "app/run_selection.h"
#include "app/scheduler.h"
#include "command_line_spec.h"
#include "console_report.h"
#include "convert_options.h"
#include "input_notices.h"
#include "settings_command.h"
#include "standard_streams.h"
#include "support/platform/reference_policy.h"
#include "support/text/json.h"
#include "support/text/text.h"
#include "terminal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace morvex::cli {

std::string convertUsageText()
{
    return commandHelp(*commandSpec("convert"));
}

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
// its first entry when none (or nothing sensible) is stored; nullptr when
// the stored format has no writer in this build.
const FileFormat* storedOutputFormat(const SettingsStore& store)
{
    const FileFormat* stored = outputListEntry(store.readInt(OutputFormatSection, "PDLIndex", -1));
    if (stored == nullptr)
        stored = outputListEntry(0);
    return stored->writable() ? stored : nullptr;
}

// The exit status of a command that ends before its run; nothing while it
// goes on.
using EarlyExit = std::optional<int>;

// What one convert command holds from its plan to its report: the settings
// it reads, the reporter that Ctrl-C stops, and the overwrite policy.
class ConvertSession {
public:
    ConvertSession(const ConvertOptions& commandOptions, const StandardStreams& standardStreams)
        : options(commandOptions), streams(standardStreams), store(SettingsStore::forUser()), watcher(reporter),
          interactive(standardInputIsTerminal() && standardErrorIsTerminal()), storedPolicy_(store),
          chosenPolicy_(policyForChoice(options.onExists.value_or(OverwriteChoice::Prompt)), &store, true)
    {
    }

    // --on-exists for this run, else the stored policy.
    OverwritePolicySource& policy()
    {
        return options.onExists ? static_cast<OverwritePolicySource&>(chosenPolicy_) : storedPolicy_;
    }

    const ConvertOptions& options;
    const StandardStreams& streams;
    const SettingsStore store;
    StoppableReporter reporter;
    InterruptWatcher watcher;
    const bool interactive; // someone at a terminal can answer questions

private:
    StoredOverwritePolicy storedPolicy_;
    FixedOverwritePolicy chosenPolicy_;
};

// What the command decided before anything is written.
struct ConvertPlan {
    const FileFormat* format = nullptr;
    std::vector<InputRoot> roots; // the paths named, on the command line and in lists
    InputCollection inputs;
    std::string outputFolder; // empty: beside each source
    std::optional<ConversionRun> run;
};

// How the run went, for the report.
struct RunOutcome {
    OperationResult result = OperationResult::Success;
    Failure failure;
    std::vector<RunEntry> finals; // every file's end, in list order
    double seconds = 0.0;
    std::filesystem::path unansweredClash; // the first question nobody could answer
    std::filesystem::path stoppedAt;       // the existing output that stopped the run
};

EarlyExit checkNameTemplateOption(const std::string& nameTemplate)
{
    switch (checkNameTemplate(nameTemplate)) {
    case NameTemplateProblem::MissingMarker: return usageError("--name-template: " + std::string(MissingMarkersText));
    case NameTemplateProblem::InvalidCharacter:
        return usageError("--name-template: " + std::string(InvalidFormatText) + " (" +
                          nameTemplateExample(nameTemplate) + ")");
    case NameTemplateProblem::None: break;
    }
    return std::nullopt;
}

// The options, checked; ends the command on a usage error and after --help.
EarlyExit parseConvertCommand(const std::vector<std::string>& args, ConvertOptions& options)
{
    std::string error;
    if (!parseConvertOptions(args, options, error))
        return usageError(error);
    if (options.help) {
        const std::string usage = convertUsageText();
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        return 0;
    }
    if (options.nameTemplate)
        return checkNameTemplateOption(*options.nameTemplate);
    return std::nullopt;
}

// The command line's paths, then those of every list, each with the root
// its shard key is measured from.
EarlyExit gatherRoots(const ConvertOptions& options, std::vector<InputRoot>& roots)
{
    roots.reserve(options.paths.size());
    for (const std::string& path : options.paths)
        roots.push_back(commandLineRoot(path));
    for (const std::string& list : options.lists)
        if (std::string error; !readInputList(list, options.nulSeparated ? '\0' : '\n', roots, error))
            return fail(error);
    return std::nullopt;
}

// A shard that holds none of the inputs is done: another machine has them.
int reportEmptyShard(const ConvertSession& session, const ConvertPlan& plan, std::size_t found)
{
    const ConvertOptions& options = session.options;
    if (!options.quiet)
        ErrorOutput::instance().write("morvex-cli: shard " + std::to_string(options.shard->index) + "/" +
                                      std::to_string(options.shard->count) + " holds none of the " +
                                      std::to_string(found) + " files found\n");
    return reportRunSummary(RunCounts{}, {}, 0.0, false, everyPathUsed(plan.inputs),
                            {options.json, options.quiet, options.verbose});
}

EarlyExit collectRunInputs(ConvertSession& session, ConvertPlan& plan)
{
    const ConvertOptions& options = session.options;
    if (const EarlyExit ended = gatherRoots(options, plan.roots))
        return ended;
    std::vector<std::filesystem::path> paths;
    paths.reserve(plan.roots.size());
    for (const InputRoot& root : plan.roots)
        paths.push_back(root.path);
    InputCollection& inputs = plan.inputs;
    inputs = collectInputs(paths, session.reporter);
    if (session.watcher.interrupted())
        return 130;
    const std::size_t found = inputs.files.size();
    if (options.shard)
        keepShard(inputs, plan.roots, *options.shard);
    reportInputNotices(inputs, {options.json, options.quiet, options.verbose});
    if (inputs.files.empty() && found > 0)
        return reportEmptyShard(session, plan, found);
    if (inputs.files.empty())
        return fail(NoneConvertibleText);
    return std::nullopt;
}

// A dry run creates nothing: it says what the real run would do with a
// missing output folder, and ends as the real run would when that run could
// not go on.
EarlyExit dryRunOutputFolder(const ConvertSession& session, const std::string& folderText, std::string& outputFolder)
{
    outputFolder = folderText == SameFolderText ? std::string() : folderText;
    std::error_code error;
    if (outputFolder.empty() || std::filesystem::is_directory(outputFolder, error))
        return std::nullopt;
    const std::string shown = "the output folder '" + displayPath(outputFolder) + "'";
    const bool create = session.options.createFolder || session.store.readBool("Options", "CreateFolderDecision", true);
    const bool asks = !session.options.createFolder && session.interactive &&
                      !session.store.readBool("Options", "CreateFolderDontShowMsg", false);
    if (asks)
        ErrorOutput::instance().write("morvex-cli: would ask whether to create " + shown + "\n");
    else if (create)
        ErrorOutput::instance().write("morvex-cli: would create " + shown + "\n");
    else
        return fail("stops: " + shown + " does not exist; pass --create-folder to create it");
    return std::nullopt;
}

// An output "folder" that is a file ends the command before anything else.
EarlyExit refuseFileAsFolder(const std::string& folderText)
{
    std::error_code error;
    if (folderText != SameFolderText && std::filesystem::exists(folderText, error) &&
        !std::filesystem::is_directory(folderText, error))
        return fail("the output folder '" + displayPath(folderText) + "' is a file, not a folder");
    return std::nullopt;
}

EarlyExit answerOutputFolderCheck(const OutputFolderCheck& check, const std::string& folderText, bool quiet)
{
    switch (check.outcome) {
    case OutputFolderOutcome::Declined:
        return fail("the output folder '" + displayPath(folderText) +
                    "' does not exist; pass --create-folder to create it");
    case OutputFolderOutcome::CreationFailed: {
        // Tried once more, to learn why it cannot be made.
        std::error_code error;
        std::filesystem::create_directories(folderText, error);
        return fail(std::string(FolderCreationFailedText) + " (" + displayPath(folderText) + ": " +
                    (error ? error.message() : std::string("unknown reason")) + ")");
    }
    case OutputFolderOutcome::ResetToSameFolder:
        if (!quiet)
            ErrorOutput::instance().write("morvex-cli: " + std::string(OutputFolderResetText) + "\n");
        break;
    case OutputFolderOutcome::SameFolder:
    case OutputFolderOutcome::Existing:
    case OutputFolderOutcome::Created: break;
    }
    return std::nullopt;
}

// The output folder of the run: the options' or the stored one, created
// when missing and wanted.
EarlyExit decideOutputFolder(ConvertSession& session, std::string& outputFolder)
{
    const ConvertOptions& options = session.options;
    std::string text = options.sameFolder     ? std::string(SameFolderText)
                       : options.outputFolder ? *options.outputFolder
                                              : session.store.readText(OutputFolderSection, "CBString", SameFolderText);
    if (const EarlyExit ended = refuseFileAsFolder(text))
        return ended;
    if (options.dryRun)
        return dryRunOutputFolder(session, text, outputFolder);
    std::error_code error;
    if (options.createFolder && text != SameFolderText && !text.empty())
        std::filesystem::create_directories(text, error);
    TerminalFolderQuestion question(session.watcher, session.store);
    const OutputFolderCheck check = checkOutputFolder(text, session.store, session.interactive ? &question : nullptr);
    if (session.watcher.interrupted())
        return 130;
    if (const EarlyExit ended = answerOutputFolderCheck(check, text, options.quiet))
        return ended;
    outputFolder = check.outputFolder;
    return std::nullopt;
}

EarlyExit checkRoomForOutputs(const ConvertPlan& plan)
{
    const FreeSpaceCheck space = checkFreeSpace(plan.inputs.files, plan.outputFolder);
    if (space.enough)
        return std::nullopt;
    return fail(std::string(FreeSpaceErrorTitle) + ": " + std::string(space.message) + " (" +
                std::to_string(space.required) + " bytes needed in " + displayPath(space.folder.string()) + ")");
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

// --to, else the stored output format; ends the command when the stored one
// has no writer in this build.
EarlyExit chooseOutputFormat(const ConvertSession& session, const FileFormat*& format)
{
    format = session.options.format != nullptr ? session.options.format : storedOutputFormat(session.store);
    if (format == nullptr)
        return usageError("the stored output format has no writer in this build; choose one with --to (" +
                          outputFormatNames() + ")");
    // Said before the run, so that no stored answer surprises anyone.
    if (session.options.format == nullptr && !session.options.quiet) {
        const bool stored = session.store.valueExists(OutputFormatSection, "PDLIndex");
        ErrorOutput::instance().write(
            "output format: " + std::string(format->name) +
            (stored ? " (stored by the desktop program " + storedAnswerNote(session.store, "output-format") + ")\n"
                    : " (the default; choose one with --to)\n"));
    }
    return std::nullopt;
}

ConversionSettings runSettings(const ConvertSession& session, const FileFormat& format, const std::string& outputFolder)
{
    const EffectSettings effects = effectsFor(session.options, session.store);
    ConversionSettings settings;
    settings.outputExtension = format.extension;
    settings.outputKind = format.profile.kind;
    settings.outputFolder = outputFolder;
    if (session.options.outputFile)
        settings.outputFileName = session.options.outputFile->filename().string();
    loadEffectsInto(effects, settings);
    return settings;
}

// Collects the files, settles the output folder and its free space, and
// sets up the run; ends the command when any of that fails.
EarlyExit planConversion(ConvertSession& session, ConvertPlan& plan)
{
    if (const EarlyExit ended = chooseOutputFormat(session, plan.format))
        return ended;
    if (const EarlyExit ended = collectRunInputs(session, plan))
        return ended;
    std::vector<std::string> named;
    named.reserve(plan.roots.size());
    for (const InputRoot& root : plan.roots)
        named.push_back(root.path.string());
    allowReferences(named, session.options.allowedReferences);
    if (const EarlyExit ended = decideOutputFolder(session, plan.outputFolder))
        return ended;
    std::error_code error;
    if (plan.outputFolder.empty() || std::filesystem::is_directory(plan.outputFolder, error))
        if (const EarlyExit ended = checkRoomForOutputs(plan))
            return ended;

    ConversionRun& run =
        plan.run.emplace(plan.inputs.files, runSettings(session, *plan.format, plan.outputFolder),
                         [](const std::filesystem::path& source, const std::filesystem::path& output,
                            const ConversionSettings& runSettings, ProgressReporter& reporter,
                            Failure* failure) { return convertFile(source, output, runSettings, reporter, failure); });
    run.workerCount = session.options.jobs != 0 ? session.options.jobs : processorCount();
    run.threadCap = session.options.threads;
    run.skipComplete = session.options.skipComplete;
    run.environment.nameTemplate =
        session.options.nameTemplate ? *session.options.nameTemplate : storedNameTemplate(session.store);
    return std::nullopt;
}

// The first clash the policy would ask about, found before anything runs.
std::optional<std::filesystem::path> firstQuestion(const ConversionRun& run, OverwritePolicySource& policy)
{
    if (!policy.current().alwaysPrompt)
        return std::nullopt;
    OutputNamer namer(run.settings, run.environment.nameTemplate);
    for (const RunEntry& entry : run.results) // in scheduling order
        if (std::optional<std::filesystem::path> candidate = namer.candidateFor(entry.source);
            candidate && outputNameTaken(*candidate) && !(run.skipComplete && outputComplete(entry.source, *candidate)))
            return candidate;
    return std::nullopt;
}

int cannotAsk(const std::filesystem::path& candidate)
{
    return fail(overwriteQuestionText(displayPath(candidate.string())) +
                "\nmorvex-cli: nobody to ask without a terminal; choose with --on-exists "
                "overwrite|skip|stop|rename (or ask, on a terminal)");
}

// Without a terminal nobody can answer: the command ends before anything
// runs when the policy would ask.
EarlyExit refuseUnanswerableClash(ConvertSession& session, const ConversionRun& run)
{
    if (session.interactive)
        return std::nullopt;
    if (const std::optional<std::filesystem::path> clash = firstQuestion(run, session.policy()))
        return cannotAsk(*clash);
    return std::nullopt;
}

std::string decisionText(const PlannedOutput& planned, bool someoneToAsk)
{
    if (!planned.decision)
        return someoneToAsk ? "would ask" : "stops: nobody to ask; pass --on-exists";
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

// The planned outputs and what the policy does with each clash; ends as
// the real run would when nobody can answer a question it would ask.
int printDryRun(const ConvertSession& session, const ConversionRun& run, OverwritePolicySource& policy)
{
    const bool json = session.options.json;
    const bool someoneToAsk = session.interactive;
    std::vector<PlannedOutput> plan;
    planOutputs(run, policy, plan);
    std::string data;
    for (const PlannedOutput& planned : plan) {
        if (json) {
            data += "{\"source\":";
            appendJsonPath(data, planned.source.string());
            data += ",\"output\":";
            appendJsonPath(data, planned.output.string());
            data += ",\"exists\":";
            data += planned.exists ? "true" : "false";
            data += ",\"decision\":";
            appendJsonString(data, planned.exists ? decisionText(planned, someoneToAsk) : "");
            appendJsonHost(data);
            data += "}\n";
            continue;
        }
        data += displayPath(planned.source.string()) + " -> " + displayPath(planned.output.string());
        if (planned.exists)
            data += "  (exists: " + decisionText(planned, someoneToAsk) + ")";
        data += "\n";
    }
    std::fwrite(data.data(), 1, data.size(), stdout);
    std::fflush(stdout);
    // The real run meets the clashes in scheduling order, from the last file.
    for (auto planned = plan.rbegin(); planned != plan.rend(); ++planned)
        if (planned->exists && !planned->decision && !someoneToAsk)
            return cannotAsk(planned->output);
    return 0;
}

// Converts every file of the plan, with a progress line on a terminal,
// each file's result as it ends, and questions where someone can answer
// them.
RunOutcome runPlannedConversion(ConvertSession& session, ConvertPlan& plan)
{
    if (!plan.outputFolder.empty() && !session.options.outputFile)
        rememberOutputFolder(session.store, std::filesystem::absolute(plan.outputFolder).lexically_normal().string());

    const ConvertOptions& options = session.options;
    const auto started = std::chrono::steady_clock::now();
    LiveResults live(plan.inputs.files, {options.json, options.quiet, options.verbose});
    if (session.streams.readsInput() || session.streams.writesOutput())
        live.showNamesBy(
            [&streams = session.streams](const std::filesystem::path& path) { return streams.shownName(path); });
    ConsoleSink sink(plan.inputs.files, standardErrorIsTerminal() && !options.quiet, options.verbose && !options.json,
                     live);
    TerminalOverwriteQuestion terminalQuestion(session.watcher, session.store);
    UnanswerableQuestion noQuestion;
    RunOutcome outcome;
    outcome.result = runConversion(*plan.run, session.policy(),
                                   session.interactive ? static_cast<OverwriteQuestion&>(terminalQuestion) : noQuestion,
                                   sink, session.reporter, &outcome.failure);
    sink.stopProgress();
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    outcome.finals = sink.finals();
    outcome.unansweredClash = noQuestion.first;
    if (outcome.unansweredClash.empty() || session.watcher.interrupted())
        live.reportTheRest(outcome.finals);
    // Without Ctrl-C a file ends "Cancelled" on a worker only when its
    // existing output stops the run.
    if (const std::optional<RunEntry> stopped = live.firstCancelledOnAWorker())
        outcome.stoppedAt = stopped->output;
    return outcome;
}

// Why files were cancelled, for the summary; empty when none were.
std::string cancelledBecause(const ConvertSession& session, const RunOutcome& outcome, const RunCounts& counts)
{
    if (counts.cancelled == 0)
        return {};
    if (session.watcher.interrupted())
        return "interrupted";
    if (!outcome.stoppedAt.empty())
        return "stopped: " + displayPath(outcome.stoppedAt.string()) + " existed, --on-exists stop";
    return "stopped";
}

// Prints the summary; returns the exit status.
int reportConversion(const ConvertSession& session, const ConvertPlan& plan, const RunOutcome& outcome)
{
    const ConvertOptions& options = session.options;
    if (!outcome.unansweredClash.empty() && !session.watcher.interrupted())
        return cannotAsk(outcome.unansweredClash);
    if (outcome.result == OperationResult::Failure && outcome.failure.recorded())
        ErrorOutput::instance().write("morvex-cli: " + describeFailure(outcome.failure) + "\n");

    const RunCounts counts = countEndings(outcome.finals);
    return reportRunSummary(counts, cancelledBecause(session, outcome, counts), outcome.seconds,
                            session.watcher.interrupted(), everyPathUsed(plan.inputs),
                            {options.json, options.quiet, options.verbose});
}

} // namespace

void allowReferences(const std::vector<std::string>& paths, const std::vector<std::string>& allowedFolders)
{
    ReferencePolicy policy;
    std::error_code error;
    for (const std::string& path : paths)
        if (std::filesystem::is_directory(path, error))
            policy.allowedFolders.emplace_back(path);
    for (const std::string& folder : allowedFolders)
        policy.allowedFolders.emplace_back(folder);
    setReferencePolicy(std::move(policy));
}

int runConvert(const std::vector<std::string>& args)
{
    ConvertOptions options;
    if (const EarlyExit ended = parseConvertCommand(args, options))
        return *ended;
    StandardStreams streams;
    if (std::string error; !streams.prepare(options, error))
        return usageError(error);
    ConvertSession session(options, streams);
    ConvertPlan plan;
    if (const EarlyExit ended = planConversion(session, plan))
        return *ended;
    if (options.dryRun)
        return printDryRun(session, *plan.run, session.policy());
    if (const EarlyExit ended = refuseUnanswerableClash(session, *plan.run))
        return *ended;
    const RunOutcome outcome = runPlannedConversion(session, plan);
    const int exitStatus = reportConversion(session, plan, outcome);
    std::string error;
    if (exitStatus == 0 && streams.writesOutput() && !streams.copyOutOnce(*options.outputFile, error)) {
        ErrorOutput::instance().write("morvex-cli: " + error + "\n");
        return 1;
    }
    return exitStatus;
}

} // namespace morvex::cli
