// The window's tests share one application object, as the program does.
#include "StationFixture.h"

namespace {
TestApplication* application = nullptr;
}

TestApplication& testApplication() {
    return *application;
}

int main(int argc, char** argv) {
    // No display is needed: the window renders into memory.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    TestApplication app(argc, argv);
    application = &app;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
