#pragma once

#include "app/overwrite_decision.h"
#include "support/settings/settings_store.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace morvex {

// The five stored switches of the "Overwrite" section.
struct OverwritePolicy {
    bool alwaysPrompt = true;
    bool alwaysOverwrite = false;
    bool neverOverwrite = false;
    bool stopConverting = false;
    bool enumerate = false;
    friend bool operator==(const OverwritePolicy&, const OverwritePolicy&) = default;
};

// The options page's five buttons; exactly one is chosen.
enum class OverwriteChoice { Prompt, Overwrite, Skip, Stop, Rename };
OverwritePolicy policyForChoice(OverwriteChoice choice);

// The policy as the scheduler reads it: "AlwaysPrompt" defaults to true and
// so do the other four, so a file without the section asks, and one that
// says only "AlwaysPrompt=0" overwrites.
OverwritePolicy readSchedulerPolicy(const SettingsStore& store);

// The decision the policy takes without asking; nothing when it asks.
// In same-folder mode an overwrite policy falls through to the next rule:
// an existing file next to its source is never replaced without asking.
std::optional<OverwriteDecision> decisionWithoutAsking(const OverwritePolicy& policy, bool sameFolderMode);

// The question, asked by each front end in its own way.
inline constexpr std::string_view OverwriteQuestionTitle = "Morvex Mesh Converter";
inline constexpr std::string_view DontAskAgainText = "Don't ask me again";
std::string overwriteQuestionText(const std::filesystem::path& candidate);

enum class OverwriteAnswer {
    Overwrite,
    Rename,
    Skip,
    Cancel, // the question was dismissed or cannot be asked: the run stops
};
struct OverwriteReply {
    OverwriteAnswer answer = OverwriteAnswer::Cancel;
    bool dontAskAgain = false;
};
class OverwriteQuestion {
public:
    virtual ~OverwriteQuestion() = default;
    // Buttons "Overwrite" (only when offered), "Rename" and "Skip", and the
    // "Don't ask me again" check box.
    virtual OverwriteReply ask(const std::filesystem::path& candidate, bool overwriteOffered) = 0;
};

// Where the scheduler gets the policy for each clash, and where a
// remembered answer goes.
class OverwritePolicySource {
public:
    virtual ~OverwritePolicySource() = default;
    virtual OverwritePolicy current() = 0;
    virtual void rememberAnswer(OverwriteAnswer answer) = 0;
    // Whether an overwrite decision also replaces an existing file beside its
    // source (never the source itself): only when asked for by name.
    virtual bool replacesBesideSources() const { return false; }
};

// Remembered answers in the store: "AlwaysPrompt" and "StopConverting"
// false, the switch of the answer true and the other two false.
bool storeRememberedAnswer(const SettingsStore& store, OverwriteAnswer answer);

// The stored policy, read afresh at every clash.
class StoredOverwritePolicy : public OverwritePolicySource {
public:
    explicit StoredOverwritePolicy(const SettingsStore& store) : store_(store) {}
    OverwritePolicy current() override { return readSchedulerPolicy(store_); }
    void rememberAnswer(OverwriteAnswer answer) override { storeRememberedAnswer(store_, answer); }

private:
    const SettingsStore& store_;
};

// A policy chosen for one run (the command line's --on-exists). A
// remembered answer applies to the rest of the run and is stored as well.
// `byName`: the user named this policy for the run, so that "overwrite"
// replaces files beside their sources too.
class FixedOverwritePolicy : public OverwritePolicySource {
public:
    FixedOverwritePolicy(OverwritePolicy policy, const SettingsStore* store, bool byName = false)
        : policy_(policy), store_(store), byName_(byName)
    {
    }
    OverwritePolicy current() override { return policy_; }
    void rememberAnswer(OverwriteAnswer answer) override;
    bool replacesBesideSources() const override { return byName_; }

private:
    OverwritePolicy policy_;
    const SettingsStore* store_;
    bool byName_;
};

// The decision for a candidate that exists: asks through `question` when
// the policy says so. Nothing when the question was cancelled.
std::optional<OverwriteDecision> decideForExistingOutput(const std::filesystem::path& candidate, bool sameFolderMode,
                                                         OverwritePolicySource& policy, OverwriteQuestion& question);

// The options page "Overwrite".
struct OverwriteOptions {
    OverwriteChoice choice = OverwriteChoice::Prompt;
    std::string nameTemplate;
};
OverwriteOptions loadOverwriteOptions(const SettingsStore& store);
// The template box, its captions and the example are usable only while
// numbering is chosen; "Reset" only while the template differs from the
// default (without regard to case).
bool nameTemplateControlsEnabled(const OverwriteOptions& options);
bool resetTemplateEnabled(const OverwriteOptions& options);

enum class OverwriteOptionsCommit {
    Stored,
    MissingMarkers,   // balloon "Invalid Format" at the template box; page stays open
    InvalidCharacter, // error message; page stays open
};
// OK of the page, when anything on it changed: the five switches are
// stored, then a numbering template is checked and stored when valid.
OverwriteOptionsCommit commitOverwriteOptions(const SettingsStore& store, const OverwriteOptions& options);

} // namespace morvex
