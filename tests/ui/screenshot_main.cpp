// Draws the main window as a user sees it after converting a few files and
// writes it to a PNG: morvex-window-screenshot OUTPUT.png [DIALOGS_FOLDER].
// Runs on the offscreen platform; the files are made in a scratch folder.
// The window follows the desktop's colour preference as the program does.

#include "common/test_support.h"
#include "preview/preview_panel.h"
#include "preview/rendering_display.h"
#include "ui/desktop_palette.h"
#include "ui/file_list_model.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QComboBox>
#include <QPixmap>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <filesystem>

namespace {

void writeModel(const std::filesystem::path& path, int triangles)
{
    std::string text = "solid s\n";
    for (int i = 0; i < triangles; ++i) {
        const std::string x = std::to_string(i);
        text += "facet normal 0 0 1\nouter loop\nvertex " + x + " 0 0\nvertex " + x + ".5 1 0\nvertex " + x +
                " 1 0\nendloop\nendfacet\n";
    }
    text += "endsolid s\n";
    morvex::testing::writeFile(path, text);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: morvex-window-screenshot OUTPUT.png\n");
        return 2;
    }
    // A virtual display where there is none, so that the preview draws.
    std::string noDisplay;
    if (!morvex::prepareRenderingDisplay(noDisplay))
        std::fprintf(stderr, "morvex-window-screenshot: no preview in the picture: %s\n", noDisplay.c_str());
    QApplication application(argc, argv);
    QApplication::setApplicationVersion("0.1.0");
    // The desktop's light or dark preference, as the program follows it
    // (GTK_THEME=Adwaita:dark gives the dark picture).
    morvex::ui::followDesktopColorScheme(morvex::ui::desktopColorScheme());

    morvex::testing::TempDir temp;
    const std::filesystem::path models = temp / "Models";
    const std::filesystem::path out = temp / "Converted";
    std::filesystem::create_directories(models);
    std::filesystem::create_directories(out);
    const char* names[] = {"bracket.stl", "gear 2.stl", "gear 10.stl", "housing.stl", "lid.stl"};
    int size = 200;
    std::vector<std::string> paths;
    for (const char* name : names) {
        writeModel(models / name, size);
        paths.push_back((models / name).string());
        size *= 3;
    }
    // One of the examples, to show in the preview.
    const std::string example = (morvex::testing::sourceDir() / "examples" / "crate.obj").string();
    paths.push_back(example);
    morvex::testing::writeFile(models / "broken.stl", "solid nothing here");
    paths.push_back((models / "broken.stl").string());
    morvex::testing::writeFile(models / "scene.xyz1", "?");
    paths.push_back((models / "scene.xyz1").string());

    morvex::ui::MainWindow window(morvex::SettingsStore(temp / "config" / "Morvex.ini"));
    window.setUrlOpener([](const QUrl&) {});
    window.resize(960, 560);
    window.show();
    window.addPaths(paths);
    auto* format = window.findChild<QComboBox*>("outputFormatBox");
    format->setCurrentIndex(format->findText(".3mf"));
    window.findChild<QComboBox*>("outputFolderBox")->setCurrentText(QString::fromStdString(out.string()));
    window.listView().clearSelection();
    window.convert();
    QTest::qWait(100);
    window.listView().selectRow(window.fileList().findRow(example));
    QTest::qWait(100);
    if (auto* preview = window.findChild<morvex::PreviewPanel*>("previewPanel"))
        for (int wait = 0; wait < 300 && !preview->isLoaded(); ++wait)
            QTest::qWait(100);

    const QPixmap picture = window.grab();
    if (!picture.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "morvex-window-screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
