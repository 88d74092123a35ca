// The convert command of the main window, the completion bar and the
// commands that open what a run wrote.

#include "app/completion_summary.h"
#include "app/component_steps.h"
#include "app/effects.h"
#include "app/free_space_check.h"
#include "app/naming.h"
#include "app/output_folder_check.h"
#include "app/pipeline.h"
#include "app/run_selection.h"
#include "app/scheduler.h"
#include "external/components/component_registry.h"
#include "formats/format_table.h"
#include "ui/component_install.h"
#include "ui/conversion_bridge.h"
#include "ui/file_list_model.h"
#include "ui/file_list_view.h"
#include "ui/main_window.h"
#include "ui/progress_dialog.h"
#include "ui/qt_text.h"

#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace morvex::ui {
namespace {

constexpr int WorkerNiceness = 5;

bool componentFound(const ComponentSetup& setup, std::string_view id)
{
    std::filesystem::path path;
    return findComponent(id, path, setup.registryFiles);
}

// Installs, through the "Install-on-Demand" dialog, the components that the
// files of this run need and miss; the others (built in, or needed by no
// file) count as available.
class WindowComponents : public ComponentProvider {
public:
    WindowComponents(QWidget* parent, const ComponentSetup& setup, std::span<const MissingComponent> missing,
                     const std::function<void(const QUrl&)>& openUrl)
        : parent_(parent), setup_(setup), missing_(missing), openUrl_(openUrl)
    {
    }
    bool find(std::string_view id) override { return componentFound(setup_, id); }
    bool ensure(std::string_view id) override
    {
        const bool needed = std::any_of(missing_.begin(), missing_.end(),
                                        [id](const MissingComponent& component) { return component.id == id; });
        std::filesystem::path path;
        return !needed || ensureComponent(parent_, setup_, id, path, openUrl_);
    }

private:
    QWidget* parent_;
    const ComponentSetup& setup_;
    std::span<const MissingComponent> missing_;
    const std::function<void(const QUrl&)>& openUrl_;
};

void showError(QWidget* parent, std::string_view title, std::string_view text)
{
    QMessageBox box(QMessageBox::Warning, qtText(title), qtText(text), QMessageBox::Ok, parent);
    box.setObjectName("conversionMessage");
    box.exec();
}

// Sets the busy flag for the length of a command.
class BusyScope {
public:
    BusyScope(bool& flag, std::function<void()> changed) : flag_(flag), changed_(std::move(changed))
    {
        flag_ = true;
        changed_();
    }
    ~BusyScope()
    {
        flag_ = false;
        changed_();
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    bool& flag_;
    std::function<void()> changed_;
};

} // namespace

void MainWindow::convert()
{
    if (model_->rowCount() == 0 || busy_) {
        showHint(addFilesButton_, {}, "Add files to Convert");
        return;
    }
    BusyScope busy(busy_, [this] { updateCommandStates(); });
    hideCompletionBar();

    const std::string folderText = outputFolderText().toStdString();
    if (!sameFolderChosen() && !folderText.empty()) {
        rememberOutputFolder(store_, folderText);
        reloadRecentFolders();
    }

    // Statuses back to Ready, everything selected when nothing is.
    std::vector<ListRow> rows;
    rows.reserve(static_cast<std::size_t>(model_->rowCount()));
    const std::vector<int> selected = selectedRows();
    for (const FileRow& fileRow : model_->rows())
        rows.push_back({fileRow.path, fileRow.flags, false});
    for (const int row : selected)
        rows[static_cast<std::size_t>(row)].selected = true;
    const std::vector<std::filesystem::path> paths = prepareRunSelection(rows);
    for (std::size_t row = 0; row < rows.size(); ++row)
        model_->setStatus(static_cast<int>(row), rowStatus(rows[row]));
    if (selected.empty())
        view_->selectAll();
    model_->refresh();
    if (paths.empty()) {
        if (selectedRowCount() > 0)
            showError(this, ConversionFailedTitle, NoneConvertibleText);
        return;
    }

    const FileFormat* format = outputListEntry(outputFormatBox_->currentIndex());
    if (format == nullptr)
        return;
    ConversionSettings settings;
    loadEffectsInto(loadEffects(store_), settings);
    settings.outputExtension = std::string(format->extension);
    if (!offerMissingComponents(paths, settings.outputExtension))
        return;
    settings.outputKind = format->profile.kind;

    DialogCreateFolderQuestion folderQuestion(this);
    const OutputFolderCheck folder = checkOutputFolder(folderText, store_, &folderQuestion);
    if (folder.outcome == OutputFolderOutcome::CreationFailed)
        showError(this, FolderCreationFailedTitle, FolderCreationFailedText);
    if (!folder.proceed())
        return;
    if (folder.outcome == OutputFolderOutcome::ResetToSameFolder) {
        outputFolderBox_->setCurrentIndex(0);
        showHint(outputFolderBox_, {}, qtText(OutputFolderResetText));
    }
    settings.outputFolder = folder.outputFolder;

    const FreeSpaceCheck space = checkFreeSpace(paths, settings.outputFolder);
    if (!space.enough) {
        showError(this, FreeSpaceErrorTitle, space.message);
        return;
    }
    runConversionDialog(paths, settings);
}

bool MainWindow::offerMissingComponents(const std::vector<std::filesystem::path>& paths,
                                        std::string_view outputExtension)
{
    const std::vector<MissingComponent> missing =
        missingComponents(paths, [this](std::string_view id) { return componentFound(componentSetup_, id); });
    if (missing.empty())
        return true;
    switch (askAboutMissingComponents(this, componentSetup_.downloads, missing)) {
    case MissingComponentsAnswer::Cancel: return false;
    case MissingComponentsAnswer::ConvertAnyway: return true;
    case MissingComponentsAnswer::Install: break;
    }
    WindowComponents components(this, componentSetup_, missing, openUrl_);
    makeComponentsAvailable(outputExtension, components);
    return true;
}

void MainWindow::runConversionDialog(const std::vector<std::filesystem::path>& paths,
                                     const ConversionSettings& settings)
{
    ConversionRun run(paths, settings,
                      [](const std::filesystem::path& source, const std::filesystem::path& output,
                         const ConversionSettings& runSettings, ProgressReporter& reporter,
                         Failure* failure) { return convertFile(source, output, runSettings, reporter, failure); });
    run.workerCount = processorCount();
    // Linux gives a window no boost over busy threads: the workers step back
    // so that the window still repaints and answers Cancel at once.
    run.workerNiceness = WorkerNiceness;
    run.environment.nameTemplate = storedNameTemplate(store_);
    StoredOverwritePolicy policy(store_);
    ProgressDialog* shownDialog = nullptr;
    runUnderProgressDialog(
        this, "Converting Model Files",
        [&](DialogReporter& reporter) {
            WindowRunSink sink(this, reporter);
            DialogOverwriteQuestion question(shownDialog);
            runConversion(run, policy, question, sink, reporter);
        },
        [&](ProgressDialog& dialog) { shownDialog = &dialog; });

    lastOutput_ = run.lastOutput;
    showCompletionBar(run.converted, static_cast<unsigned>(selectedRowCount()));
    armRefresh();
}

void MainWindow::reloadRecentFolders()
{
    const QString text = outputFolderText();
    restoringBoxes_ = true;
    outputFolderBox_->clear();
    outputFolderBox_->addItem(qtText(SameFolderText));
    for (const std::string& recent : loadRecentOutputFolders(store_))
        outputFolderBox_->addItem(qtText(recent));
    const int index = outputFolderBox_->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        outputFolderBox_->setCurrentIndex(index);
    else
        outputFolderBox_->setCurrentText(text);
    restoringBoxes_ = false;
}

void MainWindow::showCompletionBar(unsigned converted, unsigned selected)
{
    const CompletionSummary summary = completionSummary(converted, selected);
    if (!summary.shown) {
        completionBar_->hide();
        return;
    }
    completionText_->setText(qtText(summary.text));
    openFileButton_->setVisible(summary.offerOpenFile);
    openFolderButton_->setVisible(summary.offerOpenFolder);
    completionBar_->show();
}

void MainWindow::openOutputFolder()
{
    QString folder;
    if (sameFolderChosen()) {
        const std::vector<int> rows = selectedRows();
        if (rows.empty()) {
            showHint(view_, "No selection", "No files are currently selected");
            return;
        }
        const QModelIndex current = view_->selectionModel()->currentIndex();
        const bool currentSelected = current.isValid() && view_->selectionModel()->isRowSelected(current.row());
        folder = model_->row(currentSelected ? current.row() : rows.front()).folder;
    } else {
        folder = outputFolderText();
        if (folder.isEmpty()) {
            showHint(browseButton_, {}, "Select a valid output folder");
            return;
        }
    }
    std::error_code error;
    if (!std::filesystem::is_directory(folder.toStdString(), error)) {
        showHint(outputFolderBox_, "Invalid Output Folder", "Folder is invalid or no longer available");
        return;
    }
    openUrl_(QUrl::fromLocalFile(folder));
    if (!sameFolderChosen()) {
        rememberOutputFolder(store_, folder.toStdString());
        reloadRecentFolders();
    }
}

void MainWindow::openLastOutputFile()
{
    std::error_code error;
    if (!lastOutput_.empty() && std::filesystem::exists(lastOutput_, error))
        openUrl_(QUrl::fromLocalFile(qtText(lastOutput_.string())));
}

// The file manager shows the file selected in its folder where it offers
// that over the session bus; otherwise the folder is opened.
void MainWindow::openFolderOfSelectedFile()
{
    const std::vector<int> rows = selectedRows();
    if (rows.empty())
        return;
    const FileRow& fileRow = model_->row(rows.front());
    const QUrl folder = QUrl::fromLocalFile(fileRow.folder);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        openUrl_(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{QUrl::fromLocalFile(qtText(fileRow.path)).toString()} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, folder](QDBusPendingCallWatcher* finished) {
        if (finished->isError())
            openUrl_(folder);
        finished->deleteLater();
    });
}

} // namespace morvex::ui
