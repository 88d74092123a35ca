#include "ui_test_support.h"

#include "ui/desktop_palette.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStyle>
#include <QTableView>
#include <QTest>

#include <cstdlib>
#include <map>

namespace morvex::testing {
namespace {

using ui::MainWindow;

struct KeyboardWindow {
    TempDir temp;
    MainWindow window{SettingsStore(temp / "config" / "Morvex.ini")};

    KeyboardWindow()
    {
        window.setUrlOpener([](const QUrl&) {});
        window.show();
        QApplication::setActiveWindow(&window);
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    }
    void addFiles(int count)
    {
        std::filesystem::create_directories(temp / "in");
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            paths.push_back((temp / "in" / ("k" + std::to_string(i) + ".stl")).string());
            writeFile(paths.back(), triangleStl());
        }
        window.addPaths(paths);
    }
    // The named control that has the focus (an editable box's line edit
    // counts as its box).
    std::string focusedControl() const
    {
        for (QWidget* widget = QApplication::focusWidget(); widget != nullptr; widget = widget->parentWidget())
            if (!widget->objectName().isEmpty())
                return widget->objectName().toStdString();
        return {};
    }
};

// The letter after a single '&' of a text; 0 for none.
QChar mnemonicOf(const QString& text)
{
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '&')
            continue;
        if (text[i + 1] == '&') {
            ++i;
            continue;
        }
        return text[i + 1].toLower();
    }
    return QChar(0);
}

TEST(WindowKeyboard, TabLeavesTheListAndVisitsTheControlsInOrderAndAcceleratorsAreUnique)
{
    KeyboardWindow fixture;
    fixture.addFiles(3);
    fixture.window.listView().setFocus();
    ASSERT_EQ(fixture.focusedControl(), "fileList");
    std::vector<std::string> visited;
    for (int press = 0; press < 7; ++press) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited.push_back(fixture.focusedControl());
    }
    EXPECT_EQ(visited, (std::vector<std::string>{"outputFolderBox", "browseButton", "openButton", "outputFormatBox",
                                                 "effectsButton", "convertButton", "fileList"}));

    // Every accelerator reachable from the window (menu titles, labels,
    // buttons) names one control only.
    std::map<QChar, std::vector<std::string>> owners;
    for (QAction* menu : fixture.window.menuBar()->actions())
        if (const QChar letter = mnemonicOf(menu->text()); letter != QChar(0))
            owners[letter].push_back("menu " + menu->text().toStdString());
    for (QLabel* label : fixture.window.findChildren<QLabel*>())
        if (const QChar letter = mnemonicOf(label->text()); letter != QChar(0) && label->isVisible())
            owners[letter].push_back("label " + label->text().toStdString());
    for (QAbstractButton* button : fixture.window.findChildren<QAbstractButton*>())
        if (const QChar letter = mnemonicOf(button->text()); letter != QChar(0) && button->isVisible())
            owners[letter].push_back("button " + button->text().toStdString());
    for (const auto& [letter, named] : owners)
        EXPECT_EQ(named.size(), 1u) << "Alt+" << QString(letter).toStdString() << " is used by " << named.front()
                                    << " and " << named.back();

    // The labels' accelerators reach their boxes.
    QTest::keyClick(&fixture.window, Qt::Key_D, Qt::AltModifier);
    EXPECT_EQ(fixture.focusedControl(), "outputFolderBox");
    QTest::keyClick(&fixture.window, Qt::Key_V, Qt::AltModifier);
    EXPECT_EQ(fixture.focusedControl(), "outputFormatBox");
}

TEST(WindowKeyboard, EnterInTheListConvertsTheSelectedFiles)
{
    KeyboardWindow fixture;
    fixture.addFiles(2);
    auto* format = fixture.window.findChild<QComboBox*>("outputFormatBox");
    format->setCurrentIndex(format->findText(".ply"));
    fixture.window.listView().setFocus();
    fixture.window.listView().selectRow(1);
    DialogWatcher watcher;
    QTest::keyClick(&fixture.window.listView(), Qt::Key_Return);
    EXPECT_TRUE(watcher.sawTitle("Converting Model Files"));
    EXPECT_EQ(refreshedStatusTexts(fixture.window), (std::vector<std::string>{"", "Success"}))
        << "only the selected row was converted";
    EXPECT_TRUE(std::filesystem::exists(fixture.temp / "in" / "k1.ply"));
    EXPECT_FALSE(std::filesystem::exists(fixture.temp / "in" / "k0.ply"));
}

double meanLightness(const QImage& image)
{
    double sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            sum += QColor(image.pixel(x, y)).lightness();
    return sum / (static_cast<double>(image.width()) * image.height());
}

// The mean lightness of the pixels an icon covers.
double opaqueLightness(const QImage& image)
{
    double sum = 0;
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 200) {
                sum += QColor(image.pixel(x, y)).lightness();
                ++count;
            }
    return count > 0 ? sum / count : -1.0;
}

TEST(WindowPalette, TheWindowDrawsWithADarkPaletteAndItsGreyTextStaysReadable)
{
    EXPECT_TRUE(ui::isDarkPalette(ui::darkPalette()));
    EXPECT_FALSE(ui::isDarkPalette(QApplication::style()->standardPalette()));

    const QPalette saved = QApplication::palette();
    QApplication::setPalette(ui::darkPalette());
    {
        KeyboardWindow fixture;
        QTest::qWait(50);
        // The empty list: a dark area whose hint text is lighter than it.
        const QImage list = fixture.window.listView().viewport()->grab().toImage();
        const double background = QColor(list.pixel(2, 2)).lightness();
        EXPECT_LT(background, 80);
        int lighterPixels = 0;
        for (int y = 0; y < list.height(); ++y)
            for (int x = 0; x < list.width(); ++x)
                lighterPixels += QColor(list.pixel(x, y)).lightness() > background + 40 ? 1 : 0;
        EXPECT_GT(lighterPixels, 20) << "the grey hint is drawn in a colour readable on the dark list";
        EXPECT_LT(meanLightness(fixture.window.grab().toImage()), 90.0) << "no light parts of their own";

        // The completion bar after a run: its text against its background.
        fixture.addFiles(1);
        DialogWatcher watcher;
        fixture.window.convert();
        auto* bar = fixture.window.findChild<QWidget*>("completionBar");
        auto* text = fixture.window.findChild<QLabel*>("completionText");
        ASSERT_TRUE(bar->isVisible());
        const int barLightness = bar->palette().color(bar->backgroundRole()).lightness();
        const int textLightness = text->palette().color(text->foregroundRole()).lightness();
        EXPECT_GT(textLightness - barLightness, 100);

        // The Convert arrow is drawn in the palette's text colour, again
        // when the palette changes.
        auto* convert = fixture.window.findChild<QPushButton*>("convertButton");
        EXPECT_GT(opaqueLightness(convert->icon().pixmap(16).toImage()), 150);
        QApplication::setPalette(QApplication::style()->standardPalette());
        QTest::qWait(20);
        EXPECT_LT(opaqueLightness(convert->icon().pixmap(16).toImage()), 100);
    }
    QApplication::setPalette(saved);
}

TEST(WindowPalette, ADarkDesktopPreferenceIsFollowedOnlyWhenThePaletteIsLight)
{
    const QPalette saved = QApplication::palette();
    const QString savedStyle = QApplication::style()->name();
    QApplication::setPalette(QApplication::style()->standardPalette());
    EXPECT_FALSE(ui::followDesktopColorScheme(ui::ColorScheme::Light));
    EXPECT_FALSE(ui::followDesktopColorScheme(ui::ColorScheme::NoPreference));
    EXPECT_FALSE(ui::isDarkPalette(QApplication::palette()));
    EXPECT_TRUE(ui::followDesktopColorScheme(ui::ColorScheme::Dark));
    EXPECT_TRUE(ui::isDarkPalette(QApplication::palette()));
    EXPECT_FALSE(ui::followDesktopColorScheme(ui::ColorScheme::Dark)) << "already dark";

    // Without a session bus, GTK's theme name tells.
    ::setenv("GTK_THEME", "Adwaita:dark", 1);
    EXPECT_EQ(ui::desktopColorScheme(), ui::ColorScheme::Dark);
    ::setenv("GTK_THEME", "Adwaita", 1);
    EXPECT_EQ(ui::desktopColorScheme(), ui::ColorScheme::NoPreference);
    ::unsetenv("GTK_THEME");
    QApplication::setStyle(savedStyle);
    QApplication::setPalette(saved);
}

} // namespace
} // namespace morvex::testing
