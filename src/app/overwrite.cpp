#include "app/overwrite.h"

#include "app/naming.h"
#include "support/text/text.h"

#include <vector>

namespace morvex {
namespace {

constexpr const char* OverwriteSection = "Overwrite";

struct SwitchRow {
    const char* name;
    bool OverwritePolicy::*member;
};

// In the order of the options page's buttons.
constexpr SwitchRow switchRows[] = {
    {"AlwaysPrompt", &OverwritePolicy::alwaysPrompt},     {"AlwaysOverwrite", &OverwritePolicy::alwaysOverwrite},
    {"NeverOverwrite", &OverwritePolicy::neverOverwrite}, {"StopConverting", &OverwritePolicy::stopConverting},
    {"Enumerate", &OverwritePolicy::enumerate},
};

constexpr OverwriteChoice choiceOrder[] = {OverwriteChoice::Prompt, OverwriteChoice::Overwrite, OverwriteChoice::Skip,
                                           OverwriteChoice::Stop, OverwriteChoice::Rename};

OverwritePolicy readPolicy(const SettingsStore& store, bool othersDefault)
{
    const IniDocument document = store.snapshot();
    OverwritePolicy policy;
    for (const SwitchRow& row : switchRows)
        policy.*row.member = settingToBool(document.find(OverwriteSection, row.name),
                                           row.member == &OverwritePolicy::alwaysPrompt ? true : othersDefault);
    return policy;
}

std::vector<SettingValue> policyValues(const OverwritePolicy& policy)
{
    std::vector<SettingValue> values;
    for (const SwitchRow& row : switchRows)
        values.push_back({OverwriteSection, row.name, policy.*row.member ? "1" : "0"});
    return values;
}

OverwriteChoice choiceForAnswer(OverwriteAnswer answer)
{
    switch (answer) {
    case OverwriteAnswer::Overwrite: return OverwriteChoice::Overwrite;
    case OverwriteAnswer::Rename: return OverwriteChoice::Rename;
    case OverwriteAnswer::Skip:
    case OverwriteAnswer::Cancel: break;
    }
    return OverwriteChoice::Skip;
}

} // namespace

OverwritePolicy policyForChoice(OverwriteChoice choice)
{
    OverwritePolicy policy;
    policy.alwaysPrompt = choice == OverwriteChoice::Prompt;
    policy.alwaysOverwrite = choice == OverwriteChoice::Overwrite;
    policy.neverOverwrite = choice == OverwriteChoice::Skip;
    policy.stopConverting = choice == OverwriteChoice::Stop;
    policy.enumerate = choice == OverwriteChoice::Rename;
    return policy;
}

OverwritePolicy readSchedulerPolicy(const SettingsStore& store)
{
    return readPolicy(store, true);
}

std::optional<OverwriteDecision> decisionWithoutAsking(const OverwritePolicy& policy, bool sameFolderMode)
{
    if (policy.alwaysPrompt)
        return std::nullopt;
    if (!sameFolderMode && policy.alwaysOverwrite)
        return OverwriteDecision::Overwrite;
    if (policy.neverOverwrite)
        return OverwriteDecision::Skip;
    if (policy.stopConverting)
        return OverwriteDecision::Stop;
    return OverwriteDecision::Rename;
}

std::string overwriteQuestionText(const std::filesystem::path& candidate)
{
    return "The output file \"" + sanitizeUtf8(candidate.string()) + "\" already exists. What would you like to do?";
}

bool storeRememberedAnswer(const SettingsStore& store, OverwriteAnswer answer)
{
    if (answer == OverwriteAnswer::Cancel)
        return false;
    return store.writeValues(policyValues(policyForChoice(choiceForAnswer(answer))));
}

void FixedOverwritePolicy::rememberAnswer(OverwriteAnswer answer)
{
    if (answer == OverwriteAnswer::Cancel)
        return;
    policy_ = policyForChoice(choiceForAnswer(answer));
    if (store_ != nullptr)
        storeRememberedAnswer(*store_, answer);
}

std::optional<OverwriteDecision> decideForExistingOutput(const std::filesystem::path& candidate, bool sameFolderMode,
                                                         OverwritePolicySource& policy, OverwriteQuestion& question)
{
    const OverwritePolicy current = policy.current();
    if (const std::optional<OverwriteDecision> decided = decisionWithoutAsking(current, sameFolderMode))
        return decided;

    OverwriteReply reply = question.ask(candidate, !sameFolderMode);
    // Overwriting is not offered next to the source; an answer that says so
    // anyway is taken as the safe one.
    if (sameFolderMode && reply.answer == OverwriteAnswer::Overwrite)
        reply.answer = OverwriteAnswer::Skip;
    if (reply.answer == OverwriteAnswer::Cancel)
        return std::nullopt;
    if (reply.dontAskAgain)
        policy.rememberAnswer(reply.answer);
    switch (reply.answer) {
    case OverwriteAnswer::Overwrite: return OverwriteDecision::Overwrite;
    case OverwriteAnswer::Rename: return OverwriteDecision::Rename;
    case OverwriteAnswer::Skip:
    case OverwriteAnswer::Cancel: break;
    }
    return OverwriteDecision::Skip;
}

OverwriteOptions loadOverwriteOptions(const SettingsStore& store)
{
    const OverwritePolicy policy = readPolicy(store, false);
    OverwriteOptions options;
    options.choice = OverwriteChoice::Prompt;
    for (std::size_t i = 0; i < std::size(switchRows); ++i)
        if (policy.*switchRows[i].member) {
            options.choice = choiceOrder[i];
            break;
        }
    options.nameTemplate = store.readText(OverwriteSection, "EnumerateTEXT", DefaultNameTemplate);
    return options;
}

bool nameTemplateControlsEnabled(const OverwriteOptions& options)
{
    return options.choice == OverwriteChoice::Rename;
}

bool resetTemplateEnabled(const OverwriteOptions& options)
{
    return nameTemplateControlsEnabled(options) && !equalsIgnoreCase(options.nameTemplate, DefaultNameTemplate);
}

OverwriteOptionsCommit commitOverwriteOptions(const SettingsStore& store, const OverwriteOptions& options)
{
    store.writeValues(policyValues(policyForChoice(options.choice)));
    if (options.choice != OverwriteChoice::Rename)
        return OverwriteOptionsCommit::Stored;
    switch (checkNameTemplate(options.nameTemplate)) {
    case NameTemplateProblem::MissingMarker: return OverwriteOptionsCommit::MissingMarkers;
    case NameTemplateProblem::InvalidCharacter: return OverwriteOptionsCommit::InvalidCharacter;
    case NameTemplateProblem::None: break;
    }
    store.writeText(OverwriteSection, "EnumerateTEXT", options.nameTemplate);
    return OverwriteOptionsCommit::Stored;
}

} // namespace morvex
