// Measures how long the desktop window's event loop goes without turning
// while it does the long things a user asks of it:
//
//   morvex-window-responsiveness WORK_FOLDER [--add N] [--convert N] [--triangles N]
//
// adds N small files to the list (default 10,000), converts N files
// (default 2,000), and loads a file of N triangles (default 2,000,000) into
// the list, the preview and a conversion. A timer asks to run every 10 ms;
// the longest time between two of its turns is the longest stretch in
// which the window could not repaint or answer a click. Every modal dialog
// runs its own event loop, so the timer keeps turning under them.
//
// The files are made in WORK_FOLDER, with settings of their own there.

#include "preview/preview_panel.h"
#include "preview/rendering_display.h"
#include "ui/file_list_model.h"
#include "ui/main_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int TickMilliseconds = 10;
// Longer than this, a pause is felt as the window hanging.
constexpr qint64 FeltPauseMilliseconds = 100;

// The longest time between two turns of a 10 ms timer.
class GapMeter : public QObject {
public:
    GapMeter()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(TickMilliseconds);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            longest_ = std::max(longest_, sinceLast_.restart());
            ++ticks_;
        });
    }
    void start()
    {
        longest_ = 0;
        ticks_ = 0;
        sinceLast_.start();
        timer_.start();
    }
    // The longest gap, counting the one up to now.
    qint64 stop()
    {
        timer_.stop();
        return std::max(longest_, sinceLast_.elapsed());
    }
    long ticks() const { return ticks_; }

private:
    QTimer timer_;
    QElapsedTimer sinceLast_;
    qint64 longest_ = 0;
    long ticks_ = 0;
};

void writeText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string oneTriangleStl()
{
    return "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\n"
           "endsolid t\n";
}

std::vector<std::string> makeSmallFiles(const std::filesystem::path& folder, long count)
{
    std::filesystem::create_directories(folder);
    const std::string bytes = oneTriangleStl();
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        const std::filesystem::path path = folder / ("part " + std::to_string(i) + ".stl");
        if (!std::filesystem::exists(path))
            writeText(path, bytes);
        paths.push_back(path.string());
    }
    return paths;
}

// A binary STL of `triangles` triangles in strips of a height field, so
// that it has shared vertices as a scanned model does.
std::filesystem::path makeLargeStl(const std::filesystem::path& folder, long triangles)
{
    const std::filesystem::path path = folder / ("large-" + std::to_string(triangles) + ".stl");
    if (std::filesystem::exists(path))
        return path;
    std::ofstream out(path, std::ios::binary);
    char header[80] = {};
    std::snprintf(header, sizeof header, "height field of %ld triangles", triangles);
    out.write(header, sizeof header);
    const auto count = static_cast<std::uint32_t>(triangles);
    out.write(reinterpret_cast<const char*>(&count), 4);
    const long columns = 1000;
    std::vector<char> block;
    block.reserve(50 * 4096);
    const auto corner = [](long x, long y) {
        return std::array<float, 3>{static_cast<float>(x), static_cast<float>(y),
                                    static_cast<float>((x * 7 + y * 13) % 17) * 0.05f};
    };
    for (long i = 0; i < triangles; ++i) {
        // Each cell of the grid is two triangles.
        const long x = (i / 2) % columns;
        const long y = (i / 2) / columns;
        const std::array<float, 3> corners[2][3] = {
            {corner(x, y), corner(x + 1, y), corner(x + 1, y + 1)},
            {corner(x, y), corner(x + 1, y + 1), corner(x, y + 1)},
        };
        float facet[12] = {0, 0, 1};
        for (int c = 0; c < 3; ++c)
            std::memcpy(facet + 3 + c * 3, corners[i % 2][c].data(), 3 * sizeof(float));
        const std::size_t at = block.size();
        block.resize(at + 50);
        std::memcpy(block.data() + at, facet, sizeof facet);
        if (block.size() >= 50 * 4096) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
            block.clear();
        }
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    return path;
}

// Answers every question box the way that lets the run go on, so that the
// measurement never waits for a person.
class QuestionAnswerer : public QObject {
public:
    QuestionAnswerer() { qApp->installEventFilter(this); }
    ~QuestionAnswerer() override { qApp->removeEventFilter(this); }
    int answered = 0;

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() == QEvent::Show && qobject_cast<QMessageBox*>(object) != nullptr)
            QTimer::singleShot(0, this, [this] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    std::fprintf(stderr, "answered: %s\n", box->text().toStdString().c_str());
                    ++answered;
                    box->buttons().front()->click();
                }
            });
        return false;
    }
};

struct Measurement {
    std::string label;
    double seconds = 0.0;
    qint64 longestGap = 0;
    long ticks = 0;
};

Measurement measure(GapMeter& meter, const std::string& label, const std::function<void()>& work)
{
    // Pending work of the previous step is not this one's.
    QApplication::processEvents();
    QElapsedTimer clock;
    meter.start();
    clock.start();
    work();
    const qint64 gap = meter.stop();
    return {label, static_cast<double>(clock.elapsed()) / 1000.0, gap, meter.ticks()};
}

// Lets the loop run until `done` holds, at most `seconds`.
void runUntil(const std::function<bool()>& done, int seconds)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < seconds * 1000LL)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

long numberArgument(const char* text, const char* name)
{
    long value = 0;
    const char* end = text + std::strlen(text);
    if (std::from_chars(text, end, value).ptr != end || value < 0) {
        std::fprintf(stderr, "morvex-window-responsiveness: %s takes a count, not \"%s\"\n", name, text);
        std::exit(2);
    }
    return value;
}

void convertInto(morvex::ui::MainWindow& window, const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder);
    window.findChild<QComboBox*>("outputFolderBox")->setCurrentText(QString::fromStdString(folder.string()));
    window.listView().selectAll();
    window.convert();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: morvex-window-responsiveness WORK_FOLDER [--add N] [--convert N] "
                             "[--triangles N]\n");
        return 2;
    }
    const std::filesystem::path work = std::filesystem::absolute(argv[1]);
    long addCount = 10000, convertCount = 2000, triangles = 2000000;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        long& target = name == "--add" ? addCount : name == "--convert" ? convertCount : triangles;
        if (name != "--add" && name != "--convert" && name != "--triangles") {
            std::fprintf(stderr, "morvex-window-responsiveness: unknown option %s\n", argv[i]);
            return 2;
        }
        target = numberArgument(argv[i + 1], argv[i]);
    }
    std::filesystem::create_directories(work);
    // A display where the preview draws, as on a desktop.
    std::string noDisplay;
    if (!morvex::prepareRenderingDisplay(noDisplay))
        std::fprintf(stderr, "morvex-window-responsiveness: no preview: %s\n", noDisplay.c_str());
    QApplication application(argc, argv);

    std::fprintf(stderr, "making the files in %s...\n", work.string().c_str());
    const std::vector<std::string> added = makeSmallFiles(work / "add", addCount);
    const std::vector<std::string> converted = makeSmallFiles(work / "convert", convertCount);
    const std::filesystem::path large = triangles > 0 ? makeLargeStl(work, triangles) : std::filesystem::path();
    std::filesystem::remove_all(work / "config");
    std::filesystem::remove_all(work / "out");

    QuestionAnswerer answerer;
    GapMeter meter;
    std::vector<Measurement> results;
    morvex::ui::MainWindow window(morvex::SettingsStore(work / "config" / "Morvex.ini"));
    window.setUrlOpener([](const QUrl&) {});
    window.resize(960, 600);
    window.show();
    runUntil([] { return false; }, 1); // shown and laid out
    // What the machine itself costs: the gaps of a window doing nothing.
    results.push_back(measure(meter, "idle (the machine's own gaps)", [] { runUntil([] { return false; }, 1); }));

    if (addCount > 0) {
        results.push_back(
            measure(meter, "add " + std::to_string(addCount) + " files", [&] { window.addPaths(added); }));
        window.listView().clearSelection();
        results.push_back(measure(meter, "remove " + std::to_string(addCount) + " files", [&] { window.removeAll(); }));
    }
    if (convertCount > 0) {
        window.addPaths(converted);
        results.push_back(measure(meter, "convert " + std::to_string(convertCount) + " files",
                                  [&] { convertInto(window, work / "out" / "small"); }));
        window.removeAll();
    }
    if (triangles > 0) {
        window.addPaths({large.string()});
        auto* preview = window.findChild<morvex::PreviewPanel*>("previewPanel");
        results.push_back(measure(meter, "preview " + std::to_string(triangles) + " triangles", [&] {
            window.listView().selectRow(0);
            if (preview != nullptr) {
                runUntil([&] { return preview->isLoading() || preview->isLoaded(); }, 5);
                runUntil([&] { return !preview->isLoading(); }, 600);
            }
        }));
        if (preview == nullptr)
            results.back().label += " (no preview on this platform: selection only)";
        results.push_back(measure(meter, "convert " + std::to_string(triangles) + " triangles",
                                  [&] { convertInto(window, work / "out" / "large"); }));
    }

    std::printf("%-48s %9s %12s\n", "step", "seconds", "longest gap");
    bool felt = false;
    for (const Measurement& result : results) {
        const bool slow = result.longestGap > FeltPauseMilliseconds;
        felt = felt || slow;
        std::printf("%-48s %9.2f %9lld ms%s\n", result.label.c_str(), result.seconds,
                    static_cast<long long>(result.longestGap), slow ? "  (felt as a hang)" : "");
    }
    if (answerer.answered > 0)
        std::printf("%d question(s) answered on the way\n", answerer.answered);
    return felt ? 1 : 0;
}
