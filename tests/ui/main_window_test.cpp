#include "ui_test_support.h"

#include "ui/file_list_view.h"

#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolTip>

#include <filesystem>
#include <memory>

namespace morvex::testing {
namespace {

using ui::FileListModel;
using ui::MainWindow;

struct WindowFixture {
    TempDir temp;
    std::filesystem::path settingsFile = temp / "config" / "Morvex.ini";
    std::unique_ptr<MainWindow> window;

    WindowFixture() { open(); }
    void open()
    {
        window = std::make_unique<MainWindow>(SettingsStore(settingsFile));
        window->show();
        window->activateWindow();
        QApplication::setActiveWindow(window.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }
    void reopen()
    {
        window->close();
        window.reset();
        open();
    }
    std::string file(const std::string& name, std::string_view bytes)
    {
        const std::filesystem::path path = temp / "in" / name;
        std::filesystem::create_directories(path.parent_path());
        writeFile(path, bytes);
        return path.string();
    }
    std::vector<std::string> files(int count, const std::string& stem)
    {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i)
            paths.push_back(file(stem + std::to_string(i) + ".stl", triangleStl()));
        return paths;
    }
    void refreshNow()
    {
        window->armRefresh();
        QTest::qWait(60);
    }
    template <typename T>
    T* child(const char* name)
    {
        return window->findChild<T*>(name);
    }
};

TEST(MainWindow, AddingFilesRowsTextsAndTheProgressDialogFrom50Paths)
{
    WindowFixture fixture;
    MainWindow& window = *fixture.window;
    EXPECT_EQ(fixture.child<QLabel>("selectionStatus")->text(), "No files in list.");

    DialogWatcher watcher;
    window.addPaths(fixture.files(49, "few"));
    EXPECT_EQ(window.fileList().rowCount(), 49);
    EXPECT_FALSE(watcher.sawTitle("Adding Files"));
    EXPECT_EQ(window.selectedRowCount(), 49u); // new rows are selected
    EXPECT_EQ(statusTexts(window)[0], "Recently added.");
    fixture.refreshNow();
    EXPECT_EQ(statusTexts(window)[0], "");
    EXPECT_EQ(fixture.child<QLabel>("selectionStatus")->text(), "49 of 49 files selected.");

    window.removeAll();                          // not answered: the watcher cancels
    EXPECT_EQ(window.fileList().rowCount(), 49); // "Cancel" kept them
    watcher.answer("Remove");
    window.removeAll();
    EXPECT_EQ(window.fileList().rowCount(), 0);

    window.addPaths(fixture.files(50, "many"));
    EXPECT_TRUE(watcher.sawTitle("Adding Files"));
    EXPECT_EQ(window.fileList().rowCount(), 50);

    // A large batch: a path given twice is listed once, and a picture among
    // the paths gets its notice with the files on both sides listed.
    watcher.answer("Remove");
    window.removeAll();
    std::vector<std::string> batch = fixture.files(55, "batch");
    batch.insert(batch.begin() + 20, batch[3]);
    batch.insert(batch.begin() + 30, fixture.file("cover.png", "png"));
    const std::size_t noticesBefore = watcher.messageBoxes().size();
    window.addPaths(batch);
    EXPECT_EQ(window.fileList().rowCount(), 55);
    EXPECT_EQ(window.selectedRowCount(), 55u);
    ASSERT_EQ(watcher.messageBoxes().size(), noticesBefore + 1);
    EXPECT_EQ(watcher.messageBoxes().back().title, "Image File Selected");
    EXPECT_GE(window.fileList().findRow(batch.front()), 0);
    EXPECT_GE(window.fileList().findRow(batch.back()), 0);

    // Sizes, duplicates by exact path, letter case, unknown formats and
    // paths that name nothing.
    watcher.answer("Remove");
    window.removeAll();
    const std::string small = fixture.file("small.stl", std::string(5000, 'x'));
    const std::string empty = fixture.file("empty.obj", "");
    const std::string large = fixture.file("large.ply", std::string(1572864, 'x'));
    const std::string upper = fixture.file("SMALL.stl", triangleStl());
    const std::string unknown = fixture.file("notes.xyz1", "text");
    window.addPaths({small, empty, large, small, upper, unknown, (fixture.temp / "in" / "gone.stl").string(), ""});
    ASSERT_EQ(window.fileList().rowCount(), 5);
    const auto sizeOf = [&](const std::string& path) {
        return cellText(window, window.fileList().findRow(path), FileListModel::SizeColumn);
    };
    EXPECT_EQ(sizeOf(small), "0.01");
    EXPECT_EQ(sizeOf(empty), "-");
    EXPECT_EQ(sizeOf(large), "1.50");
    EXPECT_EQ(cellText(window, window.fileList().findRow(large), FileListModel::FormatColumn), "PLY");
    EXPECT_EQ(cellText(window, window.fileList().findRow(small), FileListModel::FileColumn), "small");
    EXPECT_EQ(cellText(window, window.fileList().findRow(small), FileListModel::FolderColumn),
              (fixture.temp / "in").string());
    fixture.refreshNow();
    EXPECT_EQ(cellText(window, window.fileList().findRow(unknown), FileListModel::StatusColumn),
              "Format may not be supported");
}

TEST(MainWindow, MediaFilesAreNotAddedAndNamedInANotice)
{
    WindowFixture fixture;
    DialogWatcher watcher;
    const std::string image = fixture.file("model.RAW", "raw");
    const std::string song = fixture.file("song.mp3", "mp3");
    const std::string model = fixture.file("part.stl", triangleStl());
    // A link is followed: it adds the file it names, under its own name.
    const std::filesystem::path alias = fixture.temp / "in" / "alias.stl";
    std::filesystem::create_symlink(model, alias);
    std::filesystem::create_symlink(fixture.temp / "in" / "nothing.stl", fixture.temp / "in" / "dangling.stl");
    fixture.window->addPaths({image, song, model, alias.string(), (fixture.temp / "in" / "dangling.stl").string()});
    EXPECT_EQ(fixture.window->fileList().rowCount(), 2);
    EXPECT_EQ(cellText(*fixture.window, fixture.window->fileList().findRow(alias.string()), FileListModel::SizeColumn),
              "0.01");
    const auto boxes = watcher.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].title, "Image File Selected");
    EXPECT_NE(boxes[0].text.find("model.RAW"), std::string::npos);
    EXPECT_EQ(boxes[0].buttons, std::vector<std::string>{"Skip"});
    EXPECT_EQ(boxes[1].title, "Audio File Selected");
}

TEST(MainWindow, FoldersAreWalkedWithoutHiddenEntries)
{
    WindowFixture fixture;
    DialogWatcher watcher;
    const std::filesystem::path root = fixture.temp / "tree";
    std::filesystem::create_directories(root / "sub" / "deeper");
    std::filesystem::create_directories(root / ".hidden");
    writeFile(root / "a.stl", triangleStl());
    writeFile(root / "sub" / "b.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    writeFile(root / "sub" / "deeper" / "c.ply", "ply\n");
    writeFile(root / ".hidden" / "d.stl", triangleStl());
    writeFile(root / ".e.stl", triangleStl());
    writeFile(root / "photo.png", "png");
    const std::string single = fixture.file("single.stl", triangleStl());

    // A folder and a file dropped together: both added, the earlier
    // selection cleared first.
    fixture.window->addPath(single);
    ASSERT_EQ(fixture.window->selectedRowCount(), 1u);
    QMimeData dropped;
    dropped.setUrls({QUrl::fromLocalFile(QString::fromStdString(root.string())),
                     QUrl::fromLocalFile(QString::fromStdString(single))});
    const QPoint where(40, 200);
    QDragEnterEvent enter(where, Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(fixture.window.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(where, Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(fixture.window.get(), &drop);
    EXPECT_TRUE(watcher.sawTitle("Adding Folder"));
    EXPECT_TRUE(watcher.sawTitle("Image File Selected"));
    FileListModel& list = fixture.window->fileList();
    EXPECT_EQ(list.rowCount(), 4);
    for (const auto& expected : {root / "a.stl", root / "sub" / "b.obj", root / "sub" / "deeper" / "c.ply"})
        EXPECT_GE(list.findRow(expected.string()), 0) << expected;
    EXPECT_EQ(list.findRow((root / ".hidden" / "d.stl").string()), -1);
    EXPECT_EQ(list.findRow((root / ".e.stl").string()), -1);
    EXPECT_EQ(fixture.window->selectedRowCount(), 3u); // the folder's files; the known file made no new row
    EXPECT_FALSE(fixture.window->listView().selectionModel()->isRowSelected(list.findRow(single), {}));
}

TEST(MainWindow, SortingByHeaderIsLogicalAndSurvivesARestart)
{
    WindowFixture fixture;
    const std::vector<std::string> names{"file10.stl", "File9.stl", "file1.stl", "alpha.obj"};
    std::vector<std::string> paths;
    for (const std::string& name : names)
        paths.push_back(fixture.file(name, triangleStl()));
    fixture.window->addPaths(paths);
    const auto column = [&](int which) {
        std::vector<std::string> texts;
        for (int row = 0; row < fixture.window->fileList().rowCount(); ++row)
            texts.push_back(cellText(*fixture.window, row, which));
        return texts;
    };
    EXPECT_EQ(column(FileListModel::FileColumn), (std::vector<std::string>{"alpha", "file1", "File9", "file10"}));

    QHeaderView* header = fixture.window->listView().horizontalHeader();
    const auto clickHeader = [&](int section) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(section) + 5, header->height() / 2));
    };
    clickHeader(FileListModel::FileColumn); // same column: reversed
    EXPECT_EQ(column(FileListModel::FileColumn), (std::vector<std::string>{"file10", "File9", "file1", "alpha"}));
    clickHeader(FileListModel::FormatColumn); // another column keeps the direction
    EXPECT_EQ(column(FileListModel::FormatColumn), (std::vector<std::string>{"STL", "STL", "STL", "OBJ"}));
    EXPECT_EQ(header->sortIndicatorSection(), FileListModel::FormatColumn);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);

    fixture.reopen();
    const SettingsStore store(fixture.settingsFile);
    EXPECT_EQ(store.readInt("Settings", "LVSorterListview", -1), FileListModel::FormatColumn);
    EXPECT_FALSE(store.readBool("Settings", "LVSorterListviewAscend", true));
    fixture.window->addPaths(paths);
    EXPECT_EQ(cellText(*fixture.window, 3, FileListModel::FormatColumn), "OBJ");
}

TEST(MainWindow, RemovingAndHints)
{
    WindowFixture fixture;
    DialogWatcher watcher;
    MainWindow& window = *fixture.window;

    window.removeAll();
    EXPECT_EQ(QToolTip::text(), "Add file(s) to start using 'Remove All'");
    window.selectAllRows();
    EXPECT_EQ(QToolTip::text(), "Add file(s) to start using 'Select All'");
    window.convert();
    EXPECT_EQ(QToolTip::text(), "Add files to Convert");
    EXPECT_TRUE(watcher.seen.empty());

    window.addPaths(fixture.files(4, "r"));
    window.selectAllRows();
    EXPECT_EQ(QToolTip::text(), "All file(s) are currently selected");
    window.listView().clearSelection();
    window.removeSelected();
    EXPECT_EQ(QToolTip::text(), "Select file(s) to remove");

    window.listView().selectRow(1);
    watcher.answer("Remove");
    window.removeSelected();
    ASSERT_EQ(window.fileList().rowCount(), 3);
    EXPECT_EQ(watcher.messageBoxes().back().text, "Are you sure you want to remove the selected file?");
    EXPECT_EQ(window.fileList().findRow((fixture.temp / "in" / "r1.stl").string()), -1);

    // Two of three by keyboard: Delete on the list, confirmed.
    window.listView().selectRow(0);
    window.listView().selectionModel()->select(window.fileList().index(2, 0),
                                               QItemSelectionModel::Select | QItemSelectionModel::Rows);
    watcher.answer("Remove");
    window.listView().setFocus();
    QTest::keyClick(&window.listView(), Qt::Key_Delete);
    EXPECT_EQ(watcher.messageBoxes().back().text, "Are you sure you want to remove all of the selected files?");
    ASSERT_EQ(window.fileList().rowCount(), 1);
    EXPECT_EQ(cellText(window, 0, FileListModel::FileColumn), "r2");
    EXPECT_EQ(window.selectedRowCount(), 0u);

    // Ctrl+A then Delete: all rows at once.
    window.addPaths(fixture.files(3, "s"));
    window.listView().setFocus();
    QTest::keyClick(&window.listView(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(window.selectedRowCount(), 4u);
    watcher.answer("Remove");
    QTest::keyClick(&window.listView(), Qt::Key_Delete);
    EXPECT_EQ(window.fileList().rowCount(), 0);
}

TEST(MainWindow, OutputChoicesAndPlacementSurviveARestart)
{
    WindowFixture fixture;
    auto* format = fixture.child<QComboBox>("outputFormatBox");
    auto* folder = fixture.child<QComboBox>("outputFolderBox");
    ASSERT_NE(format, nullptr);
    ASSERT_NE(folder, nullptr);
    const QStringList expected{".3dp", ".3ds", ".3mf", ".obj", ".ply", ".stl"};
    QStringList shown;
    for (int i = 0; i < format->count(); ++i)
        shown << format->itemText(i);
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(folder->itemText(0), "[Same folder as the original file]");
    EXPECT_EQ(folder->currentIndex(), 0);

    format->setCurrentIndex(format->findText(".stl"));
    format->setCurrentIndex(format->findText(".obj"));
    const std::filesystem::path out = fixture.temp / "out";
    std::filesystem::create_directories(out);
    folder->setCurrentText(QString::fromStdString(out.string()));
    // A folder that a run, Browse or Open used is among the recent ones.
    addRecentOutputFolder(SettingsStore(fixture.settingsFile), out.string());
    fixture.window->resize(700, 450);
    fixture.reopen();

    format = fixture.child<QComboBox>("outputFormatBox");
    folder = fixture.child<QComboBox>("outputFolderBox");
    EXPECT_EQ(format->currentText(), ".obj");
    EXPECT_EQ(folder->currentText().toStdString(), out.string());
    EXPECT_EQ(fixture.window->size(), QSize(700, 450));

    // A stored text no longer among the recent folders: the stored index.
    const SettingsStore store(fixture.settingsFile);
    saveRecentOutputFolders(store, {"/recent/one", "/recent/two"});
    store.writeText("Output Folder", "CBString", "/somewhere/else");
    store.writeInt("Output Folder", "CBIndex", 2);
    store.writeInt("MainWindow", "Width", 10); // below the minimum: enlarged
    fixture.window.reset();
    fixture.open();
    EXPECT_EQ(fixture.child<QComboBox>("outputFolderBox")->currentText(), "/recent/two");
    EXPECT_GE(fixture.window->width(), 532);
}

} // namespace
} // namespace morvex::testing
