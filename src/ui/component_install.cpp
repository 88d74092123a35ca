#include "ui/component_install.h"

#include "external/components/component_install.h"
#include "external/components/component_registry.h"
#include "ui/progress_dialog.h"
#include "ui/qt_text.h"

#include <QMessageBox>
#include <QPushButton>

#include <cstdlib>

namespace morvex::ui {
namespace {

std::string componentDescription(std::string_view id)
{
    const KnownComponent* known = knownComponent(id);
    const std::string quoted = "component \"" + std::string(id) + "\"";
    return known != nullptr ? "The " + std::string(known->name) + " (" + quoted + ")" : "The " + quoted;
}

std::string installCommand(std::string_view id)
{
    return "'morvex-cli components install " + std::string(id) + "'";
}

// What the failed install says beneath the fallback message: the
// signature refusal first when there was one, then which component it
// was, why it failed and how else it is installed.
QString failureDetail(std::string_view id, const Failure& failure, const std::vector<std::string>& posted)
{
    std::string detail;
    for (const std::string& message : posted)
        detail += message + "\n\n";
    detail += componentDescription(id) + " could not be installed";
    detail += failure.recorded() ? ": " + failure.message + "." : ".";
    detail += "\n\n" + installCommand(id) + " installs it from a terminal.";
    return qtText(detail);
}

} // namespace

bool ensureComponent(QWidget* parent, const ComponentSetup& setup, std::string_view id, std::filesystem::path& path,
                     const std::function<void(const QUrl&)>& openUrl)
{
    if (findComponent(id, path, setup.registryFiles))
        return true;
    OperationResult result = OperationResult::Failure;
    Failure failure;
    std::vector<std::string> posted;
    runUnderProgressDialog(parent, qtText(ComponentInstallTitle), [&](DialogReporter& reporter) {
        result = installComponent(setup, reporter, id, &failure);
        posted = reporter.postedMessages();
    });
    if (result == OperationResult::Cancelled)
        return false;
    if (findComponent(id, path, setup.registryFiles))
        return true;
    // A quiet install (LQUIET in the environment, as installers set it)
    // fails without the browser or the message.
    if (std::getenv("LQUIET") != nullptr)
        return false;

    if (const std::string url = componentFallbackUrl(setup.downloads, id); !url.empty() && openUrl)
        openUrl(QUrl(qtText(url)));
    QMessageBox box(QMessageBox::Warning, qtText(ComponentInstallTitle),
                    qtText(componentWindowFallbackMessage(setup.downloads, id)), QMessageBox::Ok, parent);
    box.setObjectName("componentFallbackMessage");
    box.setInformativeText(failureDetail(id, failure, posted));
    box.exec();
    return false;
}

MissingComponentsAnswer askAboutMissingComponents(QWidget* parent, const ComponentDownloads& downloads,
                                                  std::span<const MissingComponent> missing)
{
    const bool installable = downloads.configured();
    std::string list;
    for (const MissingComponent& component : missing)
        list += componentDescription(component.id) + ", needed by " + std::to_string(component.files) +
                (component.files == 1 ? " file.\n" : " files.\n");
    std::string text = "Some of the files to convert are read through components that are not installed.";
    if (installable) {
        text += " Install them now?";
        list += "\nWithout them these files end with \"Read failed\".";
    } else {
        text += " No download location is configured to install them from.";
        list += "\nOnce download hosts and a trusted key are named in section [Downloads] of " +
                (downloads.configurationFile.empty() ? std::string("the machine-wide Components.ini")
                                                     : downloads.configurationFile.string()) +
                ", a terminal installs them:";
        for (const MissingComponent& component : missing)
            list += "\n   " + installCommand(component.id);
    }

    QMessageBox box(installable ? QMessageBox::Question : QMessageBox::Warning, qtText(ComponentInstallTitle),
                    qtText(text), QMessageBox::NoButton, parent);
    box.setObjectName("missingComponentsQuestion");
    box.setInformativeText(qtText(list));
    QPushButton* install = installable ? box.addButton("Install", QMessageBox::AcceptRole) : nullptr;
    QPushButton* anyway = box.addButton("Convert Anyway", QMessageBox::DestructiveRole);
    QPushButton* cancel = box.addButton("Cancel", QMessageBox::RejectRole);
    box.setDefaultButton(install != nullptr ? install : cancel);
    box.setEscapeButton(cancel);
    box.exec();
    if (install != nullptr && box.clickedButton() == install)
        return MissingComponentsAnswer::Install;
    return box.clickedButton() == anyway ? MissingComponentsAnswer::ConvertAnyway : MissingComponentsAnswer::Cancel;
}

} // namespace morvex::ui
