#pragma once

#include "app/conversion_settings.h"
#include "external/components/component_setup.h"
#include "support/settings/settings_store.h"

#include <QMainWindow>
#include <QUrl>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

class QAction;
class QComboBox;
class QLabel;
class QPushButton;
class QTableView;
class QTimer;
class QFrame;

namespace morvex {
class PreviewPanel;
}

namespace morvex::ui {

class FileListModel;
class FileListView;

// The converter's one window: menus and toolbar, the file list, the output
// folder and format, Effects and Convert, the completion bar and the status
// bar. Long work runs under progress dialogs on other threads.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(SettingsStore store, QWidget* parent = nullptr);
    ~MainWindow() override;

    FileListModel& fileList() { return *model_; }
    QTableView& listView();
    SettingsStore& store() { return store_; }

    // Adding files (each path a file or a folder, UTF-8 bytes as given).
    void addPath(const std::string& path);
    void addPaths(const std::vector<std::string>& paths);
    void addFolder(const std::string& folder);
    // Arguments of a start: every one after the first that names an existing
    // file or folder, as if dropped.
    void addStartArguments(const std::vector<std::string>& arguments);

    void selectAllRows();
    void removeSelected();
    void removeAll();
    void convert();
    void openOutputFolder();
    void openLastOutputFile();
    void openFolderOfSelectedFile();

    std::size_t selectedRowCount() const;
    bool busy() const { return busy_; }
    const std::filesystem::path& lastOutputFile() const { return lastOutput_; }

    // How folders and files are opened: the desktop's handler; tests record.
    void setUrlOpener(std::function<void(const QUrl&)> opener) { openUrl_ = std::move(opener); }
    // Where components are looked for and installed from: this user's and
    // the installation's; tests give their own.
    void setComponentSetup(ComponentSetup setup) { componentSetup_ = std::move(setup); }

    // What a start does once the window shows: counts the start, shows the
    // first-run tip to the first starts, then runs the effects check.
    void runStartupChecks();

    // The 31 ms refresh of the status texts, armed by every change.
    void armRefresh();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildActions();
    void buildMenus();
    void buildToolBar();
    QWidget* buildCentralArea();
    QWidget* buildOutputControls();
    QWidget* buildPreviewArea(QWidget* parent);
    void updatePreview();
    void markPreviewFailure(const QString& path, const QString& reason);
    void buildStatusBar();
    // Icons drawn in the palette's colours, again when the palette changes.
    void updatePaletteIcons();
    void restoreSettings();
    void restoreOutputFolderBox();
    void restoreOutputFormatBox();
    void saveWindowSettings();

    void addFilesFromDialog();
    void addFolderFromDialog();
    void browseOutputFolder();
    void storeOutputFolderBox();
    void storeOutputFormat();
    void showContextMenu(const QPoint& position);
    void sortByHeader(int column);
    void updateCommandStates();
    void refreshStatuses();

    // One prepared file at a time, on the window thread.
    struct PreparedPath;
    void applyPrepared(std::vector<PreparedPath>& prepared, std::vector<std::string>& added);
    std::vector<PreparedPath> preparePathsOnThisThread(const std::vector<std::string>& paths);
    void selectAddedRows(const std::vector<std::string>& added);
    void finishAdding(const std::vector<std::string>& added);

    // False when the user cancels at the question about missing components.
    bool offerMissingComponents(const std::vector<std::filesystem::path>& paths, std::string_view outputExtension);
    void installComponentsForAddedFiles(const std::vector<std::string>& added);
    void runConversionDialog(const std::vector<std::filesystem::path>& paths, const ConversionSettings& settings);
    void reloadRecentFolders();
    void hideCompletionBar();
    void showCompletionBar(unsigned converted, unsigned selected);
    void showHint(QWidget* anchor, const QString& title, const QString& text);
    QString outputFolderText() const;
    bool sameFolderChosen() const;
    std::vector<int> selectedRows() const;

    SettingsStore store_;
    FileListModel* model_ = nullptr;
    FileListView* view_ = nullptr;
    PreviewPanel* preview_ = nullptr;
    QComboBox* outputFolderBox_ = nullptr;
    QComboBox* outputFormatBox_ = nullptr;
    QPushButton* browseButton_ = nullptr;
    QPushButton* openButton_ = nullptr;
    QPushButton* effectsButton_ = nullptr;
    QPushButton* convertButton_ = nullptr;
    QFrame* completionBar_ = nullptr;
    QLabel* completionText_ = nullptr;
    QPushButton* openFileButton_ = nullptr;
    QPushButton* openFolderButton_ = nullptr;
    QLabel* selectionLabel_ = nullptr;
    QTimer* refreshTimer_ = nullptr;

    QAction* addFilesAction_ = nullptr;
    QAction* addFolderAction_ = nullptr;
    QAction* selectAllAction_ = nullptr;
    QAction* removeAction_ = nullptr;
    QAction* removeAllAction_ = nullptr;
    QAction* openSelectedFolderAction_ = nullptr;
    QAction* openOutputFolderAction_ = nullptr;
    QAction* convertAction_ = nullptr;
    QAction* optionsAction_ = nullptr;
    QAction* translationAction_ = nullptr;
    QAction* rotationAction_ = nullptr;
    QAction* scaleAction_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QWidget* addFilesButton_ = nullptr;
    QWidget* selectAllButton_ = nullptr;
    QWidget* removeButton_ = nullptr;

    int sortColumn_ = 0;
    bool sortAscending_ = true;
    bool busy_ = false;
    bool restoringBoxes_ = false;
    bool columnsStored_ = false;
    bool columnsLaidOut_ = false;
    std::filesystem::path lastOutput_;
    std::function<void(const QUrl&)> openUrl_;
    ComponentSetup componentSetup_;
    // Components whose install, offered when files were added, failed or was
    // cancelled: adding more files does not offer them again (the convert
    // command still does).
    std::set<std::string, std::less<>> componentsNotInstalledOnAdd_;
};

} // namespace morvex::ui
