#include "components_command.h"

#include "command_line_spec.h"
#include "external/components/component_install.h"
#include "external/components/component_registry.h"
#include "suggestion.h"
#include "support/text/json.h"
#include "terminal.h"

#include <cstdio>
#include <mutex>
#include <optional>

namespace morvex::cli {
namespace {

int componentsUsageError(const std::string& message)
{
    ErrorOutput::instance().write("morvex-cli: " + message + "\nTry 'morvex-cli components --help'.\n");
    return 2;
}

std::vector<std::string_view> componentIds()
{
    std::vector<std::string_view> ids;
    for (const KnownComponent& component : knownComponents())
        ids.push_back(component.id);
    return ids;
}

std::string versionText(const ComponentRegistration& registration)
{
    return registration.version.empty() ? std::string("(no version)") : registration.version;
}

std::string downloadsNote(const ComponentDownloads& downloads)
{
    const std::string file = downloads.configurationFile.empty() ? std::string("no machine-wide Components.ini")
                                                                 : displayPath(downloads.configurationFile.string());
    if (!downloads.configured())
        return "downloads: not configured (no [Downloads] hosts and trusted keys in " + file + ")\n";
    return "downloads: from " + downloads.downloadHosts.front() + " (configured in " + file + ")\n";
}

int listComponents(const ComponentSetup& setup, bool json)
{
    std::string out;
    for (const KnownComponent& component : knownComponents()) {
        const std::optional<ComponentRegistration> registration =
            component.builtIn ? std::nullopt : findComponentRegistration(component.id, setup.registryFiles);
        if (json) {
            out += "{\"id\":";
            appendJsonString(out, component.id);
            out += ",\"name\":";
            appendJsonString(out, component.name);
            out += std::string(",\"builtIn\":") + (component.builtIn ? "true" : "false") +
                   ",\"installed\":" + (component.builtIn || registration ? "true" : "false");
            if (registration) {
                out += ",\"version\":";
                appendJsonString(out, registration->version);
                out += ",\"path\":";
                appendJsonPath(out, registration->path.string());
            }
            out += "}\n";
            continue;
        }
        char head[64];
        std::snprintf(head, sizeof head, "%-11s %-24s ", std::string(component.id).c_str(),
                      std::string(component.name).c_str());
        out += head;
        if (component.builtIn)
            out += "built in\n";
        else if (registration)
            out += versionText(*registration) + "  " + displayPath(registration->path.string()) + "\n";
        else
            out += "not installed\n";
    }
    if (!json)
        out += downloadsNote(setup.downloads);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

// The install's status and progress on standard error: one line redrawn
// in place on a terminal, each new status on a line of its own otherwise.
class ComponentProgress : public StoppableReporter {
public:
    explicit ComponentProgress(std::string_view id) : id_(id), terminal_(standardErrorIsTerminal()) {}
    ~ComponentProgress() override
    {
        ErrorOutput& output = ErrorOutput::instance();
        std::lock_guard lock(output.mutex());
        output.clearProgressLocked();
    }

    void setStatusText(std::string_view text, int line) override
    {
        if (line != 0)
            return;
        std::lock_guard lock(mutex_);
        if (text == status_)
            return;
        status_ = text;
        if (!terminal_)
            ErrorOutput::instance().write(id_ + ": " + status_ + "\n");
        showLocked();
    }
    void setProgress(double fraction) override
    {
        std::lock_guard lock(mutex_);
        const int percent = static_cast<int>(fraction * 100.0 + 0.5);
        if (percent == percent_)
            return;
        percent_ = percent;
        showLocked();
    }
    void postTextMessage(std::string_view text) override { messages_ += "morvex-cli: " + std::string(text) + "\n"; }
    // The messages of the install, written once it has ended.
    const std::string& messages() const { return messages_; }

private:
    void showLocked()
    {
        if (!terminal_)
            return;
        ErrorOutput& output = ErrorOutput::instance();
        std::lock_guard lock(output.mutex());
        output.showProgressLocked(id_ + ": " + status_ + " " + std::to_string(percent_) + "%");
    }

    std::string id_;
    bool terminal_;
    std::mutex mutex_;
    std::string status_;
    int percent_ = -1;
    std::string messages_;
};

int reportFailure(std::string_view id, std::string_view what, const Failure& failure, const ComponentProgress& progress)
{
    std::string text = "morvex-cli: " + std::string(id) + ": could not be " + std::string(what);
    text += failure.recorded() ? ": " + describeFailure(failure) + "\n" : "\n";
    ErrorOutput::instance().write(text + progress.messages());
    return 1;
}

void reportInstalled(const ComponentSetup& setup, std::string_view id, std::string_view how)
{
    const std::optional<ComponentRegistration> registration = findComponentRegistration(id, setup.registryFiles);
    if (!registration)
        return;
    const std::string text = std::string(id) + ": " + std::string(how) + " version " + versionText(*registration) +
                             ": " + displayPath(registration->path.string()) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
}

int install(const ComponentSetup& setup, std::string_view id)
{
    if (findComponentRegistration(id, setup.registryFiles)) {
        reportInstalled(setup, id, "already installed,");
        return 0;
    }
    ComponentProgress progress(id);
    InterruptWatcher watcher(progress);
    Failure failure;
    std::filesystem::path path;
    const bool installed = ensureComponentFromWorker(setup, id, path, progress, &failure);
    if (watcher.interrupted())
        return 130;
    if (!installed)
        return reportFailure(id, "installed", failure, progress);
    reportInstalled(setup, id, "installed");
    return 0;
}

std::string versionNumberText(double version)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", version);
    const std::string shown = text;
    // 1 is shown as the version files write it, 1.0.
    return shown.find_first_not_of("0123456789") == std::string::npos ? shown + ".0" : shown;
}

int update(const ComponentSetup& setup, std::string_view id)
{
    ComponentProgress progress(id);
    InterruptWatcher watcher(progress);
    Failure failure;
    const ComponentUpdate update = updateComponent(setup, progress, id, &failure);
    if (watcher.interrupted() || update.outcome == UpdateOutcome::Cancelled)
        return 130;
    if (update.outcome == UpdateOutcome::Failed)
        return reportFailure(id, "updated", failure, progress);
    if (update.outcome == UpdateOutcome::Updated) {
        reportInstalled(setup, id, "updated to");
        return 0;
    }
    const std::string text = std::string(id) + ": up to date (version " + versionNumberText(update.installedBefore) +
                             ", published " + versionNumberText(update.published) + ")\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

} // namespace

int runComponents(const std::vector<std::string>& args)
{
    bool json = false;
    std::vector<std::string> operands;
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            const std::string help = commandHelp(*commandSpec("components"));
            std::fwrite(help.data(), 1, help.size(), stdout);
            return 0;
        }
        if (arg == "--json")
            json = true;
        else if (arg.starts_with("-") && arg != "--") {
            static constexpr std::string_view Options[] = {"--json", "--help"};
            return componentsUsageError("unknown option " + arg + didYouMean(arg, Options));
        } else if (arg != "--")
            operands.push_back(arg);
    }
    const ComponentSetup setup = defaultComponentSetup();
    if (operands.empty())
        return listComponents(setup, json);
    const std::string& action = operands.front();
    if (action != "install" && action != "update") {
        static constexpr std::string_view Actions[] = {"install", "update"};
        return componentsUsageError("unknown action '" + action + "'" + didYouMean(action, Actions));
    }
    if (operands.size() != 2)
        return componentsUsageError(action + " takes one component: " + [] {
            std::string names;
            for (const std::string_view id : componentIds())
                names += (names.empty() ? "" : ", ") + std::string(id);
            return names;
        }());
    const std::string& id = operands[1];
    const KnownComponent* component = knownComponent(id);
    if (component == nullptr)
        return componentsUsageError("unknown component '" + id + "'" + didYouMean(id, componentIds()));
    if (component->builtIn) {
        const std::string text = id + ": built into this program; nothing to " + action + "\n";
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    return action == "install" ? install(setup, id) : update(setup, id);
}

} // namespace morvex::cli
