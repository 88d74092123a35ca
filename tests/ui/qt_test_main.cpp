// main() of the desktop program's tests: one application object for all of
// them, always on the offscreen platform, so that real windows and dialogs
// open on any machine without a display.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
