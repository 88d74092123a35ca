// The desktop program: one window per user. A second start hands its
// arguments to the running window and ends.

#include "ui/desktop_palette.h"
#include "ui/main_window.h"
#include "ui/single_instance.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

#include <string>
#include <vector>

namespace {

constexpr std::uint32_t StartupLockWaitMs = 20000;

} // namespace

int main(int argc, char** argv)
{
    // The arguments as the system gave them, before Qt reads its own.
    std::vector<std::string> arguments(argv, argv + argc);

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
