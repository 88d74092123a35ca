// The window tests' main(): the application object that every widget needs,
// on the offscreen platform unless another one is asked for.

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // No desktop session: what the window opens goes to the tests' own
    // opener rather than to a file manager of the machine.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    QApplication application(argc, argv);
    QApplication::setApplicationVersion("test");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
