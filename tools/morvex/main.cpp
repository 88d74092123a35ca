// The desktop program: one window per user. A second start hands its
// arguments to the running window and ends.

#include "ui/desktop_palette.h"
#include "ui/main_window.h"
#include "ui/single_instance.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t StartupLockWaitMs = 20000;

// --version and --help as the only argument answer on standard output without
// a window or a display; every other argument is a file or folder to add (a
// file named "--help" is given as "./--help").
bool answeredInformationSwitch(const std::vector<std::string>& arguments)
{
    if (arguments.size() != 2)
        return false;
    if (arguments[1] == "--version") {
        std::printf("morvex %s\n", MORVEX_VERSION);
        return true;
    }
    if (arguments[1] == "--help") {
        std::printf("Usage: morvex [FILE|FOLDER]...\n"
                    "Converts 3D model files in batches, in a window; the files and folders given are\n"
                    "added to the list (to the window that is open, when there is one).\n"
                    "morvex-cli runs the same converter without a window.\n");
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    // The arguments as the system gave them, before Qt reads its own.
    std::vector<std::string> arguments(argv, argv + argc);
    if (answeredInformationSwitch(arguments))
        return 0;

    QApplication application(argc, argv);
    QApplication::setApplicationName("Morvex");
    QApplication::setApplicationDisplayName("Morvex Mesh Converter");
    QApplication::setApplicationVersion(MORVEX_VERSION);
    QApplication::setDesktopFileName("morvex");
    QApplication::setWindowIcon(QIcon::fromTheme("morvex"));

    morvex::ui::StartupLock lock;
    lock.acquire(StartupLockWaitMs); // without it, the check below still decides
    if (morvex::ui::sendToRunningInstance(arguments))
        return 0;

    morvex::ui::followDesktopColorScheme(morvex::ui::desktopColorScheme());
    morvex::ui::MainWindow window(morvex::SettingsStore::forUser());
    morvex::ui::InstanceServer server;
    QObject::connect(&server, &morvex::ui::InstanceServer::argumentsReceived, &window,
                     [&window](const std::vector<std::string>& received) {
                         window.addStartArguments(received);
                         window.raise();
                         window.activateWindow();
                     });
    server.listen();
    window.show();
    lock.release(); // the window and its socket exist now

    QTimer::singleShot(0, &window, [&window, &arguments] {
        window.runStartupChecks();
        window.addStartArguments(arguments);
    });
    return QApplication::exec();
}
