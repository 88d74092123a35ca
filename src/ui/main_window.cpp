#include "ui/main_window.h"
#include "ui/qt_text.h"

#include "app/component_steps.h"
#include "app/file_list_rows.h"
#include "app/input_collection.h"
#include "app/input_formats.h"
#include "app/media_kinds.h"
#include "app/open_dialog.h"
#include "app/output_folder_check.h"
#include "app/program_starts.h"
#include "app/shortcut.h"
#include "external/components/component_registry.h"
#include "formats/format_table.h"
#include "preview/preview_panel.h"
#include "support/text/text.h"
#include "ui/component_install.h"
#include "ui/dialog_hooks.h"
#include "ui/file_list_model.h"
#include "ui/file_list_view.h"
#include "ui/progress_dialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QOpenGLContext>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

#include <algorithm>
#include <sys/stat.h>

namespace morvex::ui {
namespace {

constexpr int RefreshDelayMs = 31;
constexpr std::size_t ProgressDialogThreshold = 50;
constexpr int MinimumWidth = 532;
constexpr int MinimumHeight = 320;
constexpr int StatusBarSelectionWidth = 300;
constexpr int PreviewMinimumWidth = 160;
constexpr int PreviewMinimumHeight = 120;
// Column widths in the layout's relative units.
constexpr int ColumnUnits[] = {16, 6, 8, 18, 28, 12};

constexpr const char* WindowSection = "MainWindow";
constexpr const char* SettingsSection = "Settings";
constexpr const char* ListLayoutSection = "ListViewLayout";
constexpr const char* SorterName = "LVSorterListview";
constexpr const char* SorterAscendName = "LVSorterListviewAscend";
constexpr const char* OutputFolderSection = "Output Folder";
constexpr const char* OutputFormatSection = "Output Format";

std::string toUtf8(const QString& text)
{
    return text.toStdString();
}

// The output list: its entries in their fixed order from the format table.
std::vector<const FileFormat*> outputListFormats()
{
    std::vector<const FileFormat*> formats;
    for (int index = 0; const FileFormat* format = outputListEntry(index); ++index)
        formats.push_back(format);
    return formats;
}

// The preview is offered only where the platform can draw with OpenGL into
// a widget: never on the offscreen platform (whose contexts, where an X
// display gives it some, still cannot back a widget), elsewhere when a
// context can be made.
bool openGlAvailable()
{
    if (QGuiApplication::platformName() == "offscreen" || QGuiApplication::platformName() == "minimal")
        return false;
    QOpenGLContext context;
    return context.create();
}

// The Convert command's arrow in the palette's button text colour: the
// style's own is drawn black, which a dark palette hides.
QIcon convertIcon(const QPalette& palette)
{
    QIcon icon;
    for (const int size : {16, 32, 64})
        for (const QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled}) {
            QPixmap pixmap(size, size);
            pixmap.fill(Qt::transparent);
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(
                palette.color(mode == QIcon::Disabled ? QPalette::Disabled : QPalette::Active, QPalette::ButtonText));
            const QPointF arrow[] = {{size * 0.25, size * 0.15}, {size * 0.85, size * 0.5}, {size * 0.25, size * 0.85}};
            painter.drawPolygon(arrow, 3);
            painter.end();
            icon.addPixmap(pixmap, mode);
        }
    return icon;
}

} // namespace

struct MainWindow::PreparedPath {
    std::string path;
    std::uint64_t bytes = 0;
    MediaKind media = MediaKind::None;
    bool folder = false;
    FileRow row; // of a model file: its row, made where the file was looked at
};

namespace {

// What adding one path finds on disk; nothing for a path that names nothing
// (any more).
std::optional<std::pair<bool, std::uint64_t>> lookAt(const std::string& path)
{
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    if (S_ISDIR(info.st_mode))
        return std::make_pair(true, std::uint64_t{0});
    if (!S_ISREG(info.st_mode))
        return std::nullopt;
    return std::make_pair(false, static_cast<std::uint64_t>(info.st_size));
}

} // namespace

MainWindow::MainWindow(SettingsStore store, QWidget* parent)
    : QMainWindow(parent), store_(std::move(store)), model_(new FileListModel(this)),
      openUrl_([](const QUrl& url) { QDesktopServices::openUrl(url); }), componentSetup_(defaultComponentSetup())
{
    setObjectName("mainWindow");
    setWindowTitle("Morvex Mesh Converter");
    setWindowIcon(QIcon::fromTheme("morvex", style()->standardIcon(QStyle::SP_DriveDVDIcon)));
    setAcceptDrops(true);
    setMinimumSize(MinimumWidth, MinimumHeight);

    refreshTimer_ = new QTimer(this);
    refreshTimer_->setSingleShot(true);
    refreshTimer_->setInterval(RefreshDelayMs);
    connect(refreshTimer_, &QTimer::timeout, this, &MainWindow::refreshStatuses);
    connect(model_, &FileListModel::changed, this, &MainWindow::armRefresh);

    buildActions();
    buildMenus();
    buildToolBar();
    setCentralWidget(buildCentralArea());
    buildStatusBar();
    restoreSettings();
    updateCommandStates();
    updatePaletteIcons();
}

void MainWindow::updatePaletteIcons()
{
    const QIcon icon = convertIcon(palette());
    convertAction_->setIcon(icon);
    convertButton_->setIcon(icon);
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        updatePaletteIcons();
}

MainWindow::~MainWindow() = default;

QTableView& MainWindow::listView()
{
    return *view_;
}

void MainWindow::buildActions()
{
    QStyle* icons = style();
    const auto make = [this](const QString& text, const QString& tip, QStyle::StandardPixmap icon,
                             void (MainWindow::*slot)()) {
        auto* action = new QAction(style()->standardIcon(icon), text, this);
        action->setToolTip(tip);
        action->setStatusTip(tip);
        connect(action, &QAction::triggered, this, [this, slot] {
            if (!busy_)
                (this->*slot)();
        });
        return action;
    };
    addFilesAction_ = make("Add File(s)...", "Add one or more files to the list", QStyle::SP_FileIcon,
                           &MainWindow::addFilesFromDialog);
    addFilesAction_->setShortcut(QKeySequence::Open);
    addFolderAction_ = make("Add Folder...", "Add a folder of files to the list", QStyle::SP_DirIcon,
                            &MainWindow::addFolderFromDialog);
    selectAllAction_ =
        make("Select All", "Select all files in the list", QStyle::SP_DialogYesButton, &MainWindow::selectAllRows);
    removeAction_ = make("Remove selected files", "Remove selected files from the list", QStyle::SP_TrashIcon,
                         &MainWindow::removeSelected);
    removeAllAction_ =
        make("Remove All", "Remove all files from the list", QStyle::SP_DialogDiscardButton, &MainWindow::removeAll);
    openSelectedFolderAction_ = make("Open folder of selected file...", "Open the folder of the selected file",
                                     QStyle::SP_DirOpenIcon, &MainWindow::openFolderOfSelectedFile);
    openOutputFolderAction_ = make("Open output folder...", "Open the folder specified in the output folder box",
                                   QStyle::SP_DirLinkIcon, &MainWindow::openOutputFolder);
    convertAction_ =
        make("Convert", "Convert model files to the specified format", QStyle::SP_MediaPlay, &MainWindow::convert);
    optionsAction_ = new QAction(icons->standardIcon(QStyle::SP_FileDialogDetailedView), "&Options...", this);
    optionsAction_->setToolTip("Adjust settings and options");
    connect(optionsAction_, &QAction::triggered, this, [this] {
        if (!busy_)
            DialogHooks::options(this, store_);
    });
    const auto offsetAction = [this](const QString& text, EffectRow row) {
        auto* action = new QAction(text, this);
        connect(action, &QAction::triggered, this, [this, row] {
            if (!busy_)
                DialogHooks::offset(this, store_, row);
        });
        return action;
    };
    translationAction_ = offsetAction("Translation...", EffectRow::Translation);
    rotationAction_ = offsetAction("Rotation...", EffectRow::Rotation);
    scaleAction_ = offsetAction("Scale...", EffectRow::Scale);
    aboutAction_ = new QAction(icons->standardIcon(QStyle::SP_DialogHelpButton), "&About Morvex...", this);
    aboutAction_->setToolTip("Help Contents (F1)");
    aboutAction_->setShortcut(QKeySequence::HelpContents);
    connect(aboutAction_, &QAction::triggered, this, [this] {
        QMessageBox::about(this, "About Morvex Mesh Converter",
                           QString("Morvex Mesh Converter %1\nA batch converter of 3D model files.")
                               .arg(QApplication::applicationVersion()));
    });
}

void MainWindow::buildMenus()
{
    QMenu* file = menuBar()->addMenu("&File");
    file->addAction(addFilesAction_);
    file->addAction(addFolderAction_);
    file->addSeparator();
    file->addAction(selectAllAction_);
    file->addAction(removeAction_);
    file->addAction(removeAllAction_);
    file->addSeparator();
    file->addAction(openSelectedFolderAction_);
    file->addAction(openOutputFolderAction_);
    file->addSeparator();
    file->addAction(convertAction_);
    file->addSeparator();
    QAction* quit = file->addAction("&Quit", this, &QWidget::close);
    quit->setShortcut(QKeySequence::Quit);

    QMenu* tools = menuBar()->addMenu("&Tools");
    tools->addAction(optionsAction_);
    tools->addSeparator();
    tools->addAction(translationAction_);
    tools->addAction(rotationAction_);
    tools->addAction(scaleAction_);

    menuBar()->addMenu("&Help")->addAction(aboutAction_);
}

void MainWindow::buildToolBar()
{
    QToolBar* bar = addToolBar("Commands");
    bar->setObjectName("toolBar");
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    const auto add = [bar](QAction* action, const QString& text) {
        QAction* shown = bar->addAction(action->icon(), text);
        shown->setToolTip(action->toolTip());
        QObject::connect(shown, &QAction::triggered, action, &QAction::trigger);
        QObject::connect(action, &QAction::enabledChanged, shown, &QAction::setEnabled);
        return bar->widgetForAction(shown);
    };
    addFilesButton_ = add(addFilesAction_, "Add File(s)");
    add(addFolderAction_, "Add Folder");
    selectAllButton_ = add(selectAllAction_, "Select All");
    removeButton_ = add(removeAction_, "Remove");
    bar->addSeparator();
    add(optionsAction_, "Options");
    add(aboutAction_, "Help");
    addFilesButton_->setObjectName("addFilesButton");
    selectAllButton_->setObjectName("selectAllButton");
    removeButton_->setObjectName("removeButton");
}

QWidget* MainWindow::buildCentralArea()
{
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    completionBar_ = new QFrame(central);
    completionBar_->setObjectName("completionBar");
    completionBar_->setFrameShape(QFrame::StyledPanel);
    completionBar_->setAutoFillBackground(true);
    completionBar_->setBackgroundRole(QPalette::ToolTipBase);
    completionText_ = new QLabel(completionBar_);
    completionText_->setObjectName("completionText");
    completionText_->setForegroundRole(QPalette::ToolTipText);
    openFileButton_ = new QPushButton("Open File", completionBar_);
    openFileButton_->setObjectName("openFileButton");
    openFolderButton_ = new QPushButton("Open Folder", completionBar_);
    openFolderButton_->setObjectName("openFolderButton");
    connect(openFileButton_, &QPushButton::clicked, this, &MainWindow::openLastOutputFile);
    connect(openFolderButton_, &QPushButton::clicked, this, &MainWindow::openOutputFolder);
    auto* barLayout = new QHBoxLayout(completionBar_);
    barLayout->setContentsMargins(8, 4, 8, 4);
    auto* tick = new QLabel(completionBar_);
    tick->setPixmap(style()->standardIcon(QStyle::SP_DialogApplyButton).pixmap(16, 16));
    barLayout->addWidget(tick);
    barLayout->addWidget(completionText_, 1);
    barLayout->addWidget(openFileButton_);
    barLayout->addWidget(openFolderButton_);
    completionBar_->hide();
    layout->addWidget(completionBar_);

    view_ = new FileListView(central);
    view_->setModel(model_);
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &MainWindow::updateCommandStates);
    connect(model_, &QAbstractItemModel::rowsInserted, this, &MainWindow::updateCommandStates);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateCommandStates);
    connect(model_, &QAbstractItemModel::modelReset, this, &MainWindow::updateCommandStates);
    connect(view_->horizontalHeader(), &QHeaderView::sectionClicked, this, &MainWindow::sortByHeader);
    connect(view_, &QWidget::customContextMenuRequested, this, &MainWindow::showContextMenu);
    // Keys of the list only, so that they keep their meaning in the boxes.
    view_->installEventFilter(this);
    // The list and the preview of its selected file side by side.
    auto* splitter = new QSplitter(Qt::Horizontal, central);
    splitter->setObjectName("listAndPreview");
    splitter->addWidget(view_);
    if (openGlAvailable()) {
        splitter->addWidget(buildPreviewArea(splitter));
        splitter->setStretchFactor(0, 3);
        splitter->setStretchFactor(1, 2);
        connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &MainWindow::armRefresh);
    }
    layout->addWidget(splitter, 1);
    layout->addWidget(buildOutputControls());
    return central;
}

QWidget* MainWindow::buildPreviewArea(QWidget* parent)
{
    auto* area = new QWidget(parent);
    auto* column = new QVBoxLayout(area);
    column->setContentsMargins(0, 0, 0, 0);
    column->addWidget(new QLabel("Preview", area));
    preview_ = new PreviewPanel(area, store_.filePath());
    preview_->setObjectName("previewPanel");
    preview_->setMinimumSize(PreviewMinimumWidth, PreviewMinimumHeight);
    column->addWidget(preview_, 1);
    connect(preview_, &PreviewPanel::loadFailed, this, &MainWindow::markPreviewFailure);
    return area;
}

// The one selected row is shown while no conversion runs, when its format is
// supported and it is not known to be unreadable; anything else clears the
// panel. A file already shown is not loaded again.
void MainWindow::updatePreview()
{
    if (preview_ == nullptr)
        return;
    preview_->setHiddenDuringConversion(busy_);
    if (busy_)
        return;
    const std::vector<int> rows = selectedRows();
    QString wanted;
    if (rows.size() == 1) {
        const FileRow& row = model_->row(rows.front());
        if ((row.flags & SupportedFormatFlag) != 0 &&
            model_->status(rows.front()) != ConversionStatus::CannotBeConverted)
            wanted = qtText(row.path);
    }
    if (wanted.isEmpty()) {
        if (!preview_->shownPath().isEmpty() || preview_->isLoading())
            preview_->clearPreview();
    } else if (wanted != preview_->shownPath()) {
        preview_->showFile(wanted);
    }
}

// A file the preview could not read cannot be converted either: its row says
// why, and keeps saying so through later runs.
void MainWindow::markPreviewFailure(const QString& path, const QString& reason)
{
    const int row = model_->findRow(path.toStdString());
    if (row < 0)
        return;
    model_->markNotConvertible(row, reason);
    armRefresh();
}

QWidget* MainWindow::buildOutputControls()
{
    auto* panel = new QWidget(this);
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(0, 0, 0, 0);

    auto* folderLabel = new QLabel("Output Fol&der:", panel);
    outputFolderBox_ = new QComboBox(panel);
    outputFolderBox_->setObjectName("outputFolderBox");
    outputFolderBox_->setEditable(true);
    outputFolderBox_->setInsertPolicy(QComboBox::NoInsert);
    outputFolderBox_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    outputFolderBox_->setMinimumContentsLength(24);
    folderLabel->setBuddy(outputFolderBox_);
    browseButton_ = new QPushButton("&Browse...", panel);
    browseButton_->setObjectName("browseButton");
    browseButton_->setToolTip("Browse for output folder");
    openButton_ = new QPushButton("&Open...", panel);
    openButton_->setObjectName("openButton");
    openButton_->setToolTip("Open the folder specified in the output folder box");

    auto* formatLabel = new QLabel("Con&vert to File:", panel);
    outputFormatBox_ = new QComboBox(panel);
    outputFormatBox_->setObjectName("outputFormatBox");
    formatLabel->setBuddy(outputFormatBox_);
    auto* formatSettings = new QPushButton("Format Settings...", panel);
    formatSettings->setToolTip("Adjust output format settings");
    formatSettings->hide();
    effectsButton_ = new QPushButton("&Effects...", panel);
    effectsButton_->setObjectName("effectsButton");
    effectsButton_->setToolTip("Apply output effects and adjust effect settings");
    convertButton_ = new QPushButton("&Convert", panel);
    convertButton_->setObjectName("convertButton");
    convertButton_->setToolTip("Convert model files to the specified format");
    convertButton_->setMinimumHeight(convertButton_->sizeHint().height() * 2);

    grid->addWidget(folderLabel, 0, 0);
    grid->addWidget(outputFolderBox_, 0, 1, 1, 2);
    grid->addWidget(browseButton_, 0, 3);
    grid->addWidget(openButton_, 0, 4);
    grid->addWidget(formatLabel, 1, 0);
    grid->addWidget(outputFormatBox_, 1, 1);
    grid->addWidget(effectsButton_, 1, 2, Qt::AlignLeft);
    grid->addWidget(formatSettings, 1, 3);
    grid->addWidget(convertButton_, 0, 5, 2, 1);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 1);

    connect(browseButton_, &QPushButton::clicked, this, [this] {
        if (!busy_)
            browseOutputFolder();
    });
    connect(openButton_, &QPushButton::clicked, openOutputFolderAction_, &QAction::trigger);
    connect(convertButton_, &QPushButton::clicked, convertAction_, &QAction::trigger);
    connect(effectsButton_, &QPushButton::clicked, this, [this] {
        if (!busy_)
            DialogHooks::effects(this, store_);
    });
    connect(outputFolderBox_, &QComboBox::currentTextChanged, this, &MainWindow::storeOutputFolderBox);
    connect(outputFolderBox_, &QComboBox::currentTextChanged, this, &MainWindow::updateCommandStates);
    connect(outputFormatBox_, &QComboBox::currentIndexChanged, this, &MainWindow::storeOutputFormat);
    return panel;
}

void MainWindow::buildStatusBar()
{
    auto* program = new QLabel(QString("Morvex Mesh Converter %1").arg(QApplication::applicationVersion()), this);
    selectionLabel_ = new QLabel(this);
    selectionLabel_->setObjectName("selectionStatus");
    selectionLabel_->setMinimumWidth(StatusBarSelectionWidth);
    statusBar()->addWidget(program, 1);
    statusBar()->addPermanentWidget(selectionLabel_);
}

void MainWindow::restoreSettings()
{
    sortColumn_ = std::clamp<int>(store_.readInt(SettingsSection, SorterName, 0), 0, FileListModel::ColumnCount - 1);
    sortAscending_ = store_.readBool(SettingsSection, SorterAscendName, true);
    view_->horizontalHeader()->setSortIndicator(sortColumn_, sortAscending_ ? Qt::AscendingOrder : Qt::DescendingOrder);

    for (int column = 0; column < FileListModel::ColumnCount; ++column) {
        const int stored = store_.readInt(ListLayoutSection, "Col" + std::to_string(column + 1), 0);
        if (stored > 0) {
            view_->setColumnWidth(column, stored);
            columnsStored_ = true;
        }
    }

    restoringBoxes_ = true;
    restoreOutputFolderBox();
    restoreOutputFormatBox();
    restoringBoxes_ = false;

    const QRect desktop = screen() != nullptr ? screen()->availableGeometry() : QRect(0, 0, 1280, 800);
    const int width = std::max(MinimumWidth, store_.readInt(WindowSection, "Width", 900));
    const int height = std::max(MinimumHeight, store_.readInt(WindowSection, "Height", 560));
    resize(width, height);
    if (store_.valueExists(WindowSection, "X") && store_.valueExists(WindowSection, "Y"))
        move(store_.readInt(WindowSection, "X", 0), store_.readInt(WindowSection, "Y", 0));
    else
        move(desktop.center() - QPoint(width / 2, height / 2));
    if (store_.readBool(WindowSection, "Maximized", false))
        setWindowState(windowState() | Qt::WindowMaximized);
}

void MainWindow::restoreOutputFolderBox()
{
    outputFolderBox_->clear();
    outputFolderBox_->addItem(qtText(SameFolderText));
    for (const std::string& folder : loadRecentOutputFolders(store_))
        outputFolderBox_->addItem(qtText(folder));
    const QString stored = qtText(store_.readText(OutputFolderSection, "CBString", SameFolderText));
    int index = outputFolderBox_->findText(stored, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0)
        index = store_.readInt(OutputFolderSection, "CBIndex", 0);
    if (index < 0 || index >= outputFolderBox_->count())
        index = 0;
    outputFolderBox_->setCurrentIndex(index);
}

void MainWindow::restoreOutputFormatBox()
{
    auto* items = new QStandardItemModel(outputFormatBox_);
    for (const FileFormat* format : outputListFormats()) {
        auto* item = new QStandardItem("." + qtText(format->extension));
        if (!format->writable()) {
            item->setEnabled(false);
            item->setToolTip("This build has no writer for this format");
        }
        items->appendRow(item);
    }
    outputFormatBox_->setModel(items);
    int index = store_.readInt(OutputFormatSection, "PDLIndex", -1);
    if (index < 0 || index >= outputFormatBox_->count()) {
        index = 0;
        store_.writeInt(OutputFormatSection, "PDLIndex", 0);
    }
    outputFormatBox_->setCurrentIndex(index);
}

void MainWindow::storeOutputFolderBox()
{
    if (restoringBoxes_)
        return;
    const QString text = outputFolderBox_->currentText();
    const int index = outputFolderBox_->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    store_.writeValues(std::vector<SettingValue>{{OutputFolderSection, "CBString", toUtf8(text)},
                                                 {OutputFolderSection, "CBIndex", std::to_string(std::max(index, 0))}});
}

void MainWindow::storeOutputFormat()
{
    if (!restoringBoxes_)
        store_.writeInt(OutputFormatSection, "PDLIndex", outputFormatBox_->currentIndex());
}

void MainWindow::saveWindowSettings()
{
    const QRect normal = normalGeometry();
    std::vector<SettingValue> values{
        {WindowSection, "Maximized", isMaximized() ? "1" : "0"},
        {WindowSection, "X", std::to_string(normal.x())},
        {WindowSection, "Y", std::to_string(normal.y())},
        {WindowSection, "Width", std::to_string(normal.width())},
        {WindowSection, "Height", std::to_string(normal.height())},
        {SettingsSection, SorterName, std::to_string(sortColumn_)},
        {SettingsSection, SorterAscendName, sortAscending_ ? "1" : "0"},
    };
    for (int column = 0; column < FileListModel::ColumnCount; ++column)
        if (const int width = view_->columnWidth(column); width > 0)
            values.push_back({ListLayoutSection, "Col" + std::to_string(column + 1), std::to_string(width)});
    store_.writeValues(values);
}

// Without stored widths the columns share the list's width by their
// relative units, each at least as wide as its header.
void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (columnsStored_ || columnsLaidOut_)
        return;
    columnsLaidOut_ = true;
    int units = 0;
    for (const int columnUnits : ColumnUnits)
        units += columnUnits;
    const int available = view_->viewport()->width() - 2;
    QHeaderView* header = view_->horizontalHeader();
    int others = 0;
    for (int column = 0; column < FileListModel::ColumnCount; ++column) {
        const int width = std::max(header->sectionSizeHint(column), available * ColumnUnits[column] / units);
        view_->setColumnWidth(column, width);
        if (column != FileListModel::StatusColumn)
            others += width;
    }
    // The status column gives way, so the columns fit without scrolling.
    view_->setColumnWidth(FileListModel::StatusColumn,
                          std::max(header->sectionSizeHint(FileListModel::StatusColumn), available - others));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (busy_) {
        event->ignore();
        return;
    }
    saveWindowSettings();
    QMainWindow::closeEvent(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != view_ || event->type() != QEvent::KeyPress || busy_)
        return QMainWindow::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->matches(QKeySequence::Delete)) {
        removeSelected();
        return true;
    }
    if (key->matches(QKeySequence::SelectAll)) {
        selectAllRows();
        return true;
    }
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && key->modifiers() == Qt::NoModifier) {
        convert();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::runStartupChecks()
{
    if (firstRunTipDue(recordProgramStart(store_)))
        DialogHooks::firstRunTip(this);
    DialogHooks::startupEffectsCheck(this, store_);
}

void MainWindow::armRefresh()
{
    if (!refreshTimer_->isActive())
        refreshTimer_->start();
}

void MainWindow::refreshStatuses()
{
    refreshTimer_->stop();
    model_->refresh();
    updatePreview();
}

std::size_t MainWindow::selectedRowCount() const
{
    return static_cast<std::size_t>(view_->selectionModel()->selectedRows().size());
}

std::vector<int> MainWindow::selectedRows() const
{
    std::vector<int> rows;
    const QModelIndexList selected = view_->selectionModel()->selectedRows();
    rows.reserve(static_cast<std::size_t>(selected.size()));
    for (const QModelIndex& index : selected)
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

QString MainWindow::outputFolderText() const
{
    return outputFolderBox_->currentText();
}

bool MainWindow::sameFolderChosen() const
{
    return outputFolderText() == qtText(SameFolderText);
}

void MainWindow::updateCommandStates()
{
    const int rows = model_->rowCount();
    const std::size_t selected = selectedRowCount();
    selectAllAction_->setEnabled(rows > 0 && selected < static_cast<std::size_t>(rows));
    removeAction_->setEnabled(selected > 0);
    removeAllAction_->setEnabled(rows > 0);
    openOutputFolderAction_->setEnabled(!(sameFolderChosen() && selected == 0));
    openSelectedFolderAction_->setEnabled(selected > 0);
    convertAction_->setEnabled(rows > 0);
    const bool dialogs = DialogHooks::available();
    effectsButton_->setEnabled(dialogs);
    for (QAction* action : {optionsAction_, translationAction_, rotationAction_, scaleAction_})
        action->setEnabled(dialogs);
    selectionLabel_->setText(qtText(selectionStatusText(selected, static_cast<std::size_t>(rows))));
    // A conversion that starts or ends hides or shows the preview.
    if (preview_ != nullptr && preview_->isHidden() != busy_)
        armRefresh();
}

void MainWindow::showHint(QWidget* anchor, const QString& title, const QString& text)
{
    const QString shown = title.isEmpty() ? text : "<b>" + title.toHtmlEscaped() + "</b><br>" + text.toHtmlEscaped();
    QToolTip::showText(anchor->mapToGlobal(QPoint(anchor->width() / 2, anchor->height())), shown, anchor);
}

void MainWindow::hideCompletionBar()
{
    completionBar_->hide();
}

// ---- the list ---------------------------------------------------------

void MainWindow::sortByHeader(int column)
{
    if (column == sortColumn_)
        sortAscending_ = !sortAscending_;
    sortColumn_ = column;
    model_->sortBy(sortColumn_, sortAscending_);
    view_->horizontalHeader()->setSortIndicator(sortColumn_, sortAscending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void MainWindow::selectAllRows()
{
    const int rows = model_->rowCount();
    if (rows == 0) {
        showHint(addFilesButton_, {}, "Add file(s) to start using 'Select All'");
        return;
    }
    if (selectedRowCount() == static_cast<std::size_t>(rows)) {
        showHint(selectAllButton_, {}, "All file(s) are currently selected");
        return;
    }
    view_->setFocus();
    view_->selectAll();
}

namespace {

bool confirmRemove(QWidget* parent, const QString& question)
{
    QMessageBox box(QMessageBox::Question, "Confirm Remove", question, QMessageBox::NoButton, parent);
    QPushButton* remove = box.addButton("Remove", QMessageBox::AcceptRole);
    box.addButton("Cancel", QMessageBox::RejectRole);
    box.setDefaultButton(remove);
    box.exec();
    return box.clickedButton() == remove;
}

} // namespace

void MainWindow::removeSelected()
{
    if (model_->rowCount() == 0) {
        showHint(addFilesButton_, {}, "Add file(s) to start using 'Remove'");
        return;
    }
    const std::vector<int> rows = selectedRows();
    if (rows.empty()) {
        showHint(removeButton_, {}, "Select file(s) to remove");
        return;
    }
    const QString question = rows.size() == 1 ? "Are you sure you want to remove the selected file?"
                                              : "Are you sure you want to remove all of the selected files?";
    if (!confirmRemove(this, question))
        return;
    hideCompletionBar();
    model_->removeRows(rows);
    view_->clearSelection();
    updateCommandStates();
}

void MainWindow::removeAll()
{
    if (model_->rowCount() == 0) {
        showHint(addFilesButton_, {}, "Add file(s) to start using 'Remove All'");
        return;
    }
    if (!confirmRemove(this, "Are you sure you want to remove all files?"))
        return;
    hideCompletionBar();
    model_->clear();
    updateCommandStates();
}

void MainWindow::showContextMenu(const QPoint& position)
{
    if (busy_)
        return;
    const int rows = model_->rowCount();
    const std::size_t selected = selectedRowCount();
    QMenu menu(this);
    menu.addAction(addFilesAction_);
    menu.addAction(addFolderAction_);
    menu.addSeparator();
    QAction* selectAll = menu.addAction("Select All", this, &MainWindow::selectAllRows);
    selectAll->setEnabled(rows > 0 && selected < static_cast<std::size_t>(rows));
    QAction* remove =
        menu.addAction(selected > 1 ? "Remove selected files" : "Remove file", this, &MainWindow::removeSelected);
    remove->setEnabled(selected > 0);
    QAction* removeEverything = menu.addAction("Remove All", this, &MainWindow::removeAll);
    removeEverything->setEnabled(rows > 0);
    menu.addSeparator();
    menu.addAction(openSelectedFolderAction_);
    menu.addAction(openOutputFolderAction_);
    menu.addSeparator();
    menu.addAction(convertAction_);
    menu.exec(view_->viewport()->mapToGlobal(position));
}

// ---- adding -------------------------------------------------------------

std::vector<MainWindow::PreparedPath> MainWindow::preparePathsOnThisThread(const std::vector<std::string>& paths)
{
    std::vector<PreparedPath> prepared;
    prepared.reserve(paths.size());
    for (const std::string& given : paths) {
        std::string path = given;
        if (equalsIgnoreCase(extensionOf(std::filesystem::path(given).filename().string()), ".lnk")) {
            const std::optional<std::filesystem::path> target = resolveShortcutFile(given);
            if (!target)
                continue; // no target this system can reach
            path = target->string();
        }
        const std::optional<std::pair<bool, std::uint64_t>> found = lookAt(path);
        if (!found)
            continue; // names nothing (any more)
        PreparedPath entry;
        entry.path = path;
        entry.folder = found->first;
        entry.bytes = found->second;
        if (!entry.folder)
            entry.media = mediaKindOf(extensionOf(std::filesystem::path(path).filename().string()));
        if (!entry.folder && entry.media == MediaKind::None)
            entry.row = FileListModel::makeRow(entry.path, entry.bytes);
        prepared.push_back(std::move(entry));
    }
    return prepared;
}

// Files are appended in batches, so that thousands of them cost the view one
// insertion; a folder or a notice first appends the files before it, which
// keeps the rows in the order of the paths.
void MainWindow::applyPrepared(std::vector<PreparedPath>& prepared, std::vector<std::string>& added)
{
    std::vector<FileRow> batch;
    batch.reserve(prepared.size());
    const auto appendBatch = [&] {
        for (std::string& path : model_->appendRows(std::move(batch)))
            added.push_back(std::move(path));
        batch.clear();
    };
    for (PreparedPath& entry : prepared) {
        if (entry.folder) {
            appendBatch();
            addFolder(entry.path);
            continue;
        }
        if (model_->findRow(entry.path) >= 0)
            continue;
        if (entry.media != MediaKind::None) {
            appendBatch();
            QMessageBox notice(QMessageBox::Information, qtText(mediaNoticeTitle(entry.media)),
                               qtText(mediaNoticeText(entry.media, entry.path)), QMessageBox::NoButton, this);
            notice.addButton("Skip", QMessageBox::AcceptRole);
            notice.exec();
            continue;
        }
        batch.push_back(std::move(entry.row));
    }
    appendBatch();
}

void MainWindow::addPath(const std::string& path)
{
    addPaths({path});
}

void MainWindow::addPaths(const std::vector<std::string>& paths)
{
    if (paths.empty())
        return;
    hideCompletionBar();
    std::vector<std::string> added;
    view_->setUpdatesEnabled(false);
    if (paths.size() < ProgressDialogThreshold) {
        std::vector<PreparedPath> prepared = preparePathsOnThisThread(paths);
        applyPrepared(prepared, added);
    } else {
        std::vector<PreparedPath> prepared;
        runUnderProgressDialog(this, "Adding Files", [&](DialogReporter& reporter) {
            reporter.waitForStop(50);
            const std::size_t count = paths.size();
            const std::size_t step = std::max<std::size_t>(count / 20, 1);
            prepared.reserve(count);
            unsigned reports = 0;
            for (std::size_t i = 0; i < count; ++i) {
                if (i % step == 0) {
                    const double fraction = 0.05 * reports++;
                    reporter.setProgress(fraction);
                    reporter.setStatusText(std::to_string(i) + " files of " + std::to_string(count) + " added (" +
                                               std::to_string(static_cast<int>(fraction * 100.0)) + "%)...",
                                           0);
                    if (reporter.isCancelled())
                        break; // what was looked at so far is still added
                }
                std::vector<PreparedPath> one = preparePathsOnThisThread({paths[i]});
                for (PreparedPath& entry : one)
                    prepared.push_back(std::move(entry));
            }
            reporter.setProgress(1.0);
        });
        applyPrepared(prepared, added);
    }
    finishAdding(added);
}

void MainWindow::finishAdding(const std::vector<std::string>& added)
{
    model_->sortBy(sortColumn_, sortAscending_);
    selectAddedRows(added);
    view_->setUpdatesEnabled(true);
    armRefresh();
    updateCommandStates();
    installComponentsForAddedFiles(added);
}

// Files read through a component that is missing get it installed as soon
// as they are added, under the "Install-on-Demand" dialog, the components
// in the order a conversion needs them and stopping at the first that
// fails. Without download hosts there is nothing to install from: the
// convert command's question then says how to install them.
void MainWindow::installComponentsForAddedFiles(const std::vector<std::string>& added)
{
    if (added.empty() || !componentSetup_.downloads.configured())
        return;
    const std::vector<std::filesystem::path> files(added.begin(), added.end());
    const std::vector<MissingComponent> missing = missingComponents(files, [this](std::string_view id) {
        std::filesystem::path path;
        return componentsNotInstalledOnAdd_.contains(id) || findComponent(id, path, componentSetup_.registryFiles);
    });
    for (const MissingComponent& component : missing) {
        std::filesystem::path path;
        if (!ensureComponent(this, componentSetup_, component.id, path, openUrl_)) {
            componentsNotInstalledOnAdd_.insert(component.id);
            return;
        }
    }
}

// The new rows join the selection, in ranges of neighbouring rows so that a
// large batch costs one selection change.
void MainWindow::selectAddedRows(const std::vector<std::string>& added)
{
    if (added.empty())
        return;
    std::vector<int> rows;
    rows.reserve(added.size());
    for (const std::string& path : added)
        if (const int row = model_->findRow(path); row >= 0)
            rows.push_back(row);
    std::sort(rows.begin(), rows.end());
    QItemSelection selection;
    const int lastColumn = FileListModel::ColumnCount - 1;
    for (std::size_t start = 0; start < rows.size();) {
        std::size_t end = start + 1;
        while (end < rows.size() && rows[end] == rows[end - 1] + 1)
            ++end;
        selection.select(model_->index(rows[start], 0), model_->index(rows[end - 1], lastColumn));
        start = end;
    }
    view_->selectionModel()->select(selection, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const QModelIndex last = model_->index(model_->findRow(added.back()), 0);
    view_->selectionModel()->setCurrentIndex(last, QItemSelectionModel::NoUpdate);
    view_->scrollTo(last);
}

void MainWindow::addFolder(const std::string& folder)
{
    InputCollection found;
    runUnderProgressDialog(
        this, "Adding Folder",
        [&](DialogReporter& reporter) {
            reporter.setStatusText("Adding files and folders...", 0);
            reporter.setStatusText(folder, 1);
            found = collectInputs({folder}, reporter);
            reporter.setProgress(1.0);
        },
        [](ProgressDialog& dialog) { dialog.setIndeterminate(true); });
    if (found.cancelled)
        return;
    // Files of other kinds and formats go through the list's own rules:
    // notices for media, rows marked "Format may not be supported".
    std::vector<std::string> paths;
    paths.reserve(found.files.size() + found.notices.size());
    for (const std::filesystem::path& file : found.files)
        paths.push_back(file.string());
    for (const InputNotice& notice : found.notices)
        if (notice.kind == InputNotice::Kind::Media || notice.kind == InputNotice::Kind::Unsupported)
            paths.push_back(notice.path.string());
    addPaths(paths);
}

void MainWindow::addStartArguments(const std::vector<std::string>& arguments)
{
    if (arguments.size() < 2)
        return;
    std::vector<std::string> existing;
    for (std::size_t i = 1; i < arguments.size(); ++i)
        if (lookAt(arguments[i]))
            existing.push_back(arguments[i]);
    if (existing.empty())
        return;
    view_->clearSelection();
    addPaths(existing);
}

void MainWindow::addFilesFromDialog()
{
    hideCompletionBar();
    QStringList filters;
    for (const FileDialogFilter& filter : modelFileDialogFilters())
        filters << qtText(filter.name) + " (" + qtText(filter.patterns).replace(';', ' ') + ")";
    const QStringList chosen = QFileDialog::getOpenFileNames(
        this, "Locate model files", qtText(inputDialogFolder(store_).string()), filters.join(";;"));
    if (chosen.isEmpty())
        return;
    rememberInputFolder(store_, toUtf8(chosen.front()));
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(chosen.size()));
    for (const QString& file : chosen)
        paths.push_back(toUtf8(file));
    view_->clearSelection();
    addPaths(paths);
}

void MainWindow::addFolderFromDialog()
{
    const QString folder =
        QFileDialog::getExistingDirectory(this, "Locate model files", qtText(inputDialogFolder(store_).string()));
    if (folder.isEmpty())
        return;
    store_.writeText("Options", "Input folder", toUtf8(folder));
    hideCompletionBar();
    view_->clearSelection();
    addFolder(toUtf8(folder));
}

void MainWindow::browseOutputFolder()
{
    QString start = outputFolderText();
    if (sameFolderChosen())
        start = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString folder = QFileDialog::getExistingDirectory(this, "Locate output folder...", start);
    if (folder.isEmpty())
        return;
    addRecentOutputFolder(store_, toUtf8(folder));
    restoringBoxes_ = true;
    if (outputFolderBox_->findText(folder, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
        outputFolderBox_->insertItem(1, folder);
    restoringBoxes_ = false;
    outputFolderBox_->setCurrentText(folder);
    storeOutputFolderBox();
}

// ---- drag and drop ------------------------------------------------------

void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (!busy_ && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event)
{
    if (busy_)
        return;
    std::vector<std::string> paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths.push_back(toUtf8(url.toLocalFile()));
    event->acceptProposedAction();
    if (paths.empty())
        return;
    hideCompletionBar();
    view_->clearSelection();
    addPaths(paths);
}

} // namespace morvex::ui
