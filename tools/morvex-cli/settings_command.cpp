#include "settings_command.h"

#include "app/effects.h"
#include "app/naming.h"
#include "app/overwrite.h"
#include "command_line_spec.h"
#include "formats/format_table.h"
#include "suggestion.h"
#include "support/settings/settings_store.h"
#include "terminal.h"

#include <cstdio>
#include <functional>

namespace morvex::cli {
namespace {

struct StoredKey {
    std::string_view key;
    std::string_view decides; // which option it stands in for
    std::vector<SettingValue> values;
    std::function<std::string(const SettingsStore&)> describe;
};

std::string outputFormatText(const SettingsStore& store)
{
    const FileFormat* format = outputListEntry(store.readInt("Output Format", "PDLIndex", -1));
    if (format == nullptr)
        return std::string(outputListEntry(0)->name);
    return format->writable() ? std::string(format->name)
                              : std::string(format->name) + ", which this build cannot write";
}

std::string overwriteText(const SettingsStore& store)
{
    const std::optional<OverwriteDecision> decision = decisionWithoutAsking(readSchedulerPolicy(store), false);
    switch (decision.value_or(OverwriteDecision::None)) {
    case OverwriteDecision::Overwrite: return "overwrite";
    case OverwriteDecision::Skip: return "skip";
    case OverwriteDecision::Stop: return "stop";
    case OverwriteDecision::Rename: return "rename";
    case OverwriteDecision::None: break;
    }
    return "ask (on a terminal; stop without one)";
}

std::string createFolderText(const SettingsStore& store)
{
    const bool create = store.readBool("Options", "CreateFolderDecision", true);
    if (store.readBool("Options", "CreateFolderDontShowMsg", false))
        return create ? "create without asking" : "never create; stop";
    return create ? "ask on a terminal; create without one" : "ask on a terminal; stop without one";
}

std::string triple(const EffectVector& v)
{
    char text[96];
    std::snprintf(text, sizeof text, "%g,%g,%g", v.x, v.y, v.z);
    return text;
}

std::string effectsText(const SettingsStore& store)
{
    const EffectSettings effects = loadEffects(store);
    std::string text;
    if (effects.removeDuplicateTriangles)
        text += "remove duplicates, ";
    if (effects.recalculateNormals)
        text += "recalculate normals, ";
    if (effects.applyCustomTransform)
        text += "translate " + triple(effects.translation) + ", rotate " + triple(effects.rotation) + ", scale " +
                triple(effects.scale) + ", ";
    return text.empty() ? "none" : text.substr(0, text.size() - 2);
}

const std::vector<StoredKey>& storedKeys()
{
    static const std::vector<StoredKey> keys = {
        {"output-format", "--to", {{"Output Format", "PDLIndex", ""}}, outputFormatText},
        {"output-folder",
         "--output",
         {{"Output Folder", "CBString", ""}},
         [](const SettingsStore& store) {
             return store.readText("Output Folder", "CBString", "(beside each source)");
         }},
        {"overwrite",
         "--on-exists",
         {{"Overwrite", "AlwaysPrompt", ""},
          {"Overwrite", "AlwaysOverwrite", ""},
          {"Overwrite", "NeverOverwrite", ""},
          {"Overwrite", "StopConverting", ""},
          {"Overwrite", "Enumerate", ""}},
         overwriteText},
        {"name-template", "--name-template", {{"Overwrite", "EnumerateTEXT", ""}}, storedNameTemplate},
        {"create-folder",
         "--create-folder",
         {{"Options", "CreateFolderDecision", ""}, {"Options", "CreateFolderDontShowMsg", ""}},
         createFolderText},
        {"effects", "--stored-effects", {}, effectsText},
    };
    return keys;
}

bool isStored(const SettingsStore& store, const StoredKey& key)
{
    if (key.values.empty()) // the whole section
        return !(loadEffects(store) == EffectSettings{});
    for (const SettingValue& value : key.values)
        if (store.valueExists(value.section, value.name))
            return true;
    return false;
}

bool reset(const SettingsStore& store, const StoredKey& key)
{
    return key.values.empty() ? store.deleteSection(EffectsSection) : store.deleteValues(key.values);
}

int showSettings(const SettingsStore& store)
{
    std::string out = "settings file: " + displayPath(store.filePath().string()) + "\n";
    for (const StoredKey& key : storedKeys()) {
        char head[64];
        std::snprintf(head, sizeof head, "%-14s %-18s ", std::string(key.key).c_str(),
                      ("(" + std::string(key.decides) + ")").c_str());
        out += head + displayPath(key.describe(store)) + (isStored(store, key) ? "  [stored]\n" : "  [default]\n");
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

int settingsUsageError(const std::string& message)
{
    ErrorOutput::instance().write("morvex-cli: " + message + "\nTry 'morvex-cli settings --help'.\n");
    return 2;
}

const StoredKey* keyNamed(std::string_view name)
{
    for (const StoredKey& key : storedKeys())
        if (key.key == name)
            return &key;
    return nullptr;
}

std::string unknownKey(std::string_view name)
{
    std::vector<std::string_view> names;
    for (const StoredKey& key : storedKeys())
        names.push_back(key.key);
    return "unknown setting '" + std::string(name) + "'" + didYouMean(name, names);
}

} // namespace

std::string storedAnswerNote(const SettingsStore& store, std::string_view key)
{
    return "in " + displayPath(store.filePath().string()) + "; 'morvex-cli settings --reset " + std::string(key) +
           "' forgets it";
}

int runSettings(const std::vector<std::string>& args)
{
    std::vector<const StoredKey*> resets;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            const std::string help = commandHelp(*commandSpec("settings"));
            std::fwrite(help.data(), 1, help.size(), stdout);
            return 0;
        }
        if (arg == "--all") {
            for (const StoredKey& key : storedKeys())
                resets.push_back(&key);
        } else if (arg == "--reset" || arg.starts_with("--reset=")) {
            const std::string name = arg == "--reset" ? (i + 1 < args.size() ? args[++i] : "") : arg.substr(8);
            if (name.empty())
                return settingsUsageError("--reset needs a setting: output-format, output-folder, overwrite, "
                                          "name-template, create-folder or effects");
            const StoredKey* key = keyNamed(name);
            if (key == nullptr)
                return settingsUsageError(unknownKey(name));
            resets.push_back(key);
        } else if (arg != "--") {
            static constexpr std::string_view Options[] = {"--reset", "--all", "--help"};
            return settingsUsageError("unknown option " + arg + didYouMean(arg, Options));
        }
    }
    const SettingsStore store = SettingsStore::forUser();
    if (resets.empty())
        return showSettings(store);
    for (const StoredKey* key : resets) {
        if (!reset(store, *key)) {
            ErrorOutput::instance().write("morvex-cli: cannot write " + displayPath(store.filePath().string()) + "\n");
            return 1;
        }
        ErrorOutput::instance().write("reset " + std::string(key->key) + ": " + key->describe(store) + "\n");
    }
    return 0;
}

} // namespace morvex::cli
