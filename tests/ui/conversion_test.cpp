#include "ui_test_support.h"

#include "app/overwrite.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <filesystem>
#include <memory>

namespace morvex::testing {
namespace {

using ui::FileListModel;
using ui::MainWindow;

struct ConversionFixture {
    TempDir temp;
    std::filesystem::path settingsFile = temp / "config" / "Morvex.ini";
    std::filesystem::path out = temp / "out";
    std::unique_ptr<MainWindow> window;
    std::vector<QUrl> opened;

    ConversionFixture()
    {
        std::filesystem::create_directories(out);
        window = std::make_unique<MainWindow>(SettingsStore(settingsFile));
        window->setUrlOpener([this](const QUrl& url) { opened.push_back(url); });
        window->show();
    }
    QComboBox* box(const char* name) { return window->findChild<QComboBox*>(name); }
    void chooseOutput(const std::string& extension, const std::string& folder)
    {
        box("outputFormatBox")->setCurrentIndex(box("outputFormatBox")->findText(QString::fromStdString(extension)));
        box("outputFolderBox")->setCurrentText(QString::fromStdString(folder));
    }
    std::string copyOf(const std::filesystem::path& source, const std::string& name)
    {
        const std::filesystem::path target = temp / "in" / name;
        std::filesystem::create_directories(target.parent_path());
        std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
        return target.string();
    }
    std::string statusOf(const std::string& path)
    {
        return cellText(*window, window->fileList().findRow(path), FileListModel::StatusColumn);
    }
    void settle() { QTest::qWait(60); }
    QWidget* completionBar() { return window->findChild<QWidget*>("completionBar"); }
    std::string completionText() { return window->findChild<QLabel*>("completionText")->text().toStdString(); }
    bool buttonShown(const char* name) { return window->findChild<QPushButton*>(name)->isVisible(); }
};

TEST(MainWindowConversion, WholeRunStatusesOutputsAndTheCompletionBar)
{
    if (!corpusAvailable())
        GTEST_SKIP() << "corpus missing";
    ConversionFixture fixture;
    DialogWatcher watcher;
    const std::string spider = fixture.copyOf(corpusDir() / "stl" / "assimp__Spider_binary.stl", "spider.stl");
    const std::string box = fixture.copyOf(corpusDir() / "obj" / "assimp__box.obj", "box.obj");
    const std::string broken = fixture.copyOf(corpusDir() / "stl" / "openscad__empty.stl", "broken.stl");
    const std::string unknown = (fixture.temp / "in" / "notes.xyz1").string();
    writeFile(unknown, "not a model");
    fixture.window->addPaths({spider, box, broken, unknown});
    fixture.chooseOutput(".ply", fixture.out.string());

    // Nothing selected: every row takes part and is selected.
    fixture.window->listView().clearSelection();
    fixture.window->convert();
    EXPECT_TRUE(watcher.sawTitle("Converting Model Files"));
    fixture.settle();
    EXPECT_EQ(fixture.window->selectedRowCount(), 4u);
    EXPECT_EQ(fixture.statusOf(spider), "Success");
    EXPECT_EQ(fixture.statusOf(box), "Success");
    EXPECT_EQ(fixture.statusOf(broken), "Read failed");
    EXPECT_EQ(fixture.statusOf(unknown), "Format may not be supported");
    EXPECT_GT(std::filesystem::file_size(fixture.out / "spider.ply"), 1000u);
    EXPECT_EQ(readFile(fixture.out / "box.ply").substr(0, 4), "ply\n");
    EXPECT_FALSE(std::filesystem::exists(fixture.out / "broken.ply")); // a failed conversion leaves nothing

    // Two converted of four selected: the "some not converted" bar with
    // Open Folder only; the folder went to the recent folders.
    ASSERT_TRUE(fixture.completionBar()->isVisible());
    EXPECT_EQ(fixture.completionText(), "Conversion complete. Some file(s) were not converted.");
    EXPECT_FALSE(fixture.buttonShown("openFileButton"));
    EXPECT_TRUE(fixture.buttonShown("openFolderButton"));
    QTest::mouseClick(fixture.window->findChild<QPushButton*>("openFolderButton"), Qt::LeftButton);
    ASSERT_EQ(fixture.opened.size(), 1u);
    EXPECT_EQ(fixture.opened[0].toLocalFile().toStdString(), fixture.out.string());
    // The folder of a selected source, without a file manager to show the
    // file in: the folder itself.
    fixture.window->listView().selectRow(fixture.window->fileList().findRow(box));
    fixture.window->openFolderOfSelectedFile();
    ASSERT_EQ(fixture.opened.size(), 2u);
    EXPECT_EQ(fixture.opened[1].toLocalFile().toStdString(), (fixture.temp / "in").string());
    fixture.opened.clear();
    EXPECT_EQ(loadRecentOutputFolders(SettingsStore(fixture.settingsFile)).front(), fixture.out.string());

    // One file alone, to STL beside its source: "Conversion complete." with
    // Open File, which opens what was written. Adding hides the bar first.
    fixture.window->listView().clearSelection();
    fixture.window->addPath(fixture.copyOf(corpusDir() / "obj" / "assimp__box.obj", "alone.obj"));
    EXPECT_FALSE(fixture.completionBar()->isVisible());
    fixture.box("outputFolderBox")->setCurrentIndex(0);
    fixture.box("outputFormatBox")->setCurrentIndex(fixture.box("outputFormatBox")->findText(".stl"));
    fixture.window->convert();
    fixture.settle();
    EXPECT_EQ(fixture.completionText(), "Conversion complete.");
    EXPECT_TRUE(fixture.buttonShown("openFileButton"));
    QTest::mouseClick(fixture.window->findChild<QPushButton*>("openFileButton"), Qt::LeftButton);
    ASSERT_EQ(fixture.opened.size(), 1u);
    EXPECT_EQ(fixture.opened[0].toLocalFile().toStdString(), (fixture.temp / "in" / "alone.stl").string());
    EXPECT_TRUE(std::filesystem::exists(fixture.temp / "in" / "alone.stl"));
}

TEST(MainWindowConversion, OverwriteQuestionAnsweredInItsDialog)
{
    ConversionFixture fixture;
    DialogWatcher watcher;
    const std::filesystem::path source = fixture.temp / "in" / "part.stl";
    std::filesystem::create_directories(source.parent_path());
    writeFile(source, triangleStl("part"));
    writeFile(fixture.out / "part.obj", "existing");
    fixture.window->addPath(source.string());
    fixture.chooseOutput(".obj", fixture.out.string());

    // Output folder mode: three buttons; "Rename" with "Don't ask me again".
    watcher.answer("Rename", true);
    fixture.window->convert();
    fixture.settle();
    std::vector<DialogWatcher::Seen> boxes = watcher.messageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Morvex Mesh Converter");
    EXPECT_EQ(boxes[0].text, overwriteQuestionText(fixture.out / "part.obj"));
    EXPECT_EQ(boxes[0].buttons.size(), 3u);
    EXPECT_EQ(fixture.statusOf(source.string()), "Converted and renamed");
    EXPECT_EQ(readFile(fixture.out / "part.obj"), "existing");
    EXPECT_NE(readFile(fixture.out / "part-1.obj").find("v "), std::string::npos);
    const SettingsStore store(fixture.settingsFile);
    EXPECT_FALSE(store.readBool("Overwrite", "AlwaysPrompt", true));
    EXPECT_TRUE(store.readBool("Overwrite", "Enumerate", false));

    // Remembered: the next clash is renamed without a question.
    fixture.window->convert();
    fixture.settle();
    EXPECT_EQ(watcher.messageBoxes().size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(fixture.out / "part-2.obj"));

    // Beside the source, asking again: no "Overwrite" offered; "Skip".
    store.writeBool("Overwrite", "AlwaysPrompt", true);
    writeFile(source.parent_path() / "part.obj", "beside");
    fixture.box("outputFolderBox")->setCurrentIndex(0);
    watcher.answer("Skip");
    fixture.window->convert();
    fixture.settle();
    boxes = watcher.messageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].buttons, (std::vector<std::string>{"Rename", "Skip"}));
    EXPECT_EQ(fixture.statusOf(source.string()), "Skipped");
    EXPECT_EQ(readFile(source.parent_path() / "part.obj"), "beside");
    EXPECT_FALSE(fixture.completionBar()->isVisible()); // nothing converted: no bar
}

TEST(MainWindowConversion, ChecksBeforeTheRun)
{
    ConversionFixture fixture;
    DialogWatcher watcher;
    const std::string unknown = (fixture.temp / "in" / "a.xyz1").string();
    std::filesystem::create_directories(fixture.temp / "in");
    writeFile(unknown, "?");
    fixture.window->addPath(unknown);
    fixture.window->convert();
    ASSERT_EQ(watcher.messageBoxes().size(), 1u);
    EXPECT_EQ(watcher.messageBoxes()[0].title, "Conversion Failed");
    EXPECT_EQ(watcher.messageBoxes()[0].text, "None of the selected files could be converted using Morvex");
    EXPECT_FALSE(watcher.sawTitle("Converting Model Files"));

    // A missing output folder: the question, declined, starts nothing; then
    // accepted, creates it and converts.
    const std::string model = (fixture.temp / "in" / "m.stl").string();
    writeFile(model, triangleStl());
    fixture.window->addPath(model);
    const std::filesystem::path missing = fixture.temp / "new" / "deeper";
    fixture.chooseOutput(".ply", missing.string());
    watcher.answer("Cancel");
    fixture.window->convert();
    EXPECT_EQ(watcher.messageBoxes().back().title, "Invalid Output Folder");
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_FALSE(watcher.sawTitle("Converting Model Files"));
    watcher.answer("Create Folder");
    fixture.window->convert();
    fixture.settle();
    EXPECT_TRUE(std::filesystem::exists(missing / "m.ply"));
    EXPECT_EQ(fixture.statusOf(model), "Success");
    EXPECT_EQ(fixture.statusOf(unknown), "Format may not be supported");

    // An empty folder box is reset to the same-folder entry with a hint.
    fixture.box("outputFolderBox")->setCurrentText("");
    fixture.window->convert();
    fixture.settle();
    EXPECT_EQ(fixture.box("outputFolderBox")->currentIndex(), 0);
    EXPECT_TRUE(std::filesystem::exists(fixture.temp / "in" / "m.ply"));
}

TEST(MainWindowConversion, PathsThatAreNotUtf8AreShownReplacedAndStillConverted)
{
    ConversionFixture fixture;
    const std::filesystem::path source = fixture.temp / "in" / "caf\xE9.stl";
    std::filesystem::create_directories(source.parent_path());
    writeFile(source, triangleStl());
    fixture.window->addPath(source.string());
    ASSERT_EQ(fixture.window->fileList().rowCount(), 1);
    EXPECT_EQ(cellText(*fixture.window, 0, FileListModel::FileColumn), "caf\uFFFD");
    fixture.chooseOutput(".obj", fixture.out.string());
    fixture.window->convert();
    fixture.settle();
    EXPECT_EQ(fixture.statusOf(source.string()), "Success");
    EXPECT_TRUE(std::filesystem::exists(fixture.out / "caf\xE9.obj"));
}

} // namespace
} // namespace morvex::testing
