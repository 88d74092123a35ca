#include "preview_test_support.h"

#include "app/input_formats.h"
#include "preview/preview_panel.h"
#include "ui/file_list_model.h"
#include "ui/main_window.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTableView>

namespace morvex {
namespace {

using namespace morvex::testing;

// The main window shows the one selected file in its preview; a file the
// preview cannot read is marked as one that cannot be converted, and a
// selection of several files clears the panel.
TEST(WindowPreview, TheSelectedFileIsShownAndAnUnreadableOneIsMarked)
{
    MORVEX_REQUIRE_RENDERER();
    TempDir dir;
    const std::string box = (dir / "box.ply").string(), broken = (dir / "broken.stl").string();
    writeFile(box, coloredBoxPly({-1, -1, -1}, {1, 1, 1}, 0xFF2040A0u));
    writeFile(broken, "solid x\n facet normal 0 0 1\n  outer loop\n   vertex 1 2\n");

    ui::MainWindow window(SettingsStore(dir / "Morvex.ini"));
    window.show();
    auto* panel = window.findChild<PreviewPanel*>("previewPanel");
    ASSERT_NE(panel, nullptr) << "a platform that draws with OpenGL offers the preview";
    window.addPath(box);
    window.addPath(broken);
    ui::FileListModel& list = window.fileList();

    window.listView().selectRow(list.findRow(box));
    ASSERT_TRUE(processEventsUntil([&] { return panel->isLoaded(); }));
    EXPECT_EQ(panel->shownPath().toStdString(), box);

    const int brokenRow = list.findRow(broken);
    window.listView().selectRow(brokenRow);
    ASSERT_TRUE(processEventsUntil([&] { return list.status(brokenRow) == ConversionStatus::CannotBeConverted; }));
    EXPECT_EQ(list.row(brokenRow).keptStatusText.toStdString(), NotConvertibleText);

    window.selectAllRows();
    EXPECT_TRUE(processEventsUntil([&] { return panel->shownPath().isEmpty() && !panel->isLoading(); }));
}

} // namespace
} // namespace morvex
