// The Qt window's tests share one application object, as the program does.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    // No display is needed: the window renders into memory.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
