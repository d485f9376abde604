// The Qt window over the station core, headless (offscreen), with scripted
// link kinds and a counters file of its own. Screenshots of the runs are kept
// beside each test program.
#pragma once

#include "QtStationWindow.h"
#include "StationFixture.h"

#include <QImage>

#include <filesystem>
#include <memory>

class QtStationTest : public StationTest {
protected:
    void TearDown() override;

    // Creates and shows the window, with these kinds in this order.
    void startWindow(std::initializer_list<std::pair<FakeKind*, const char*>> kinds);
    TMainForm& station() { return qt_->station(); }
    void tickWindow(int count = 1);
    // What the window shows now, as a screen would.
    QImage grab();

    std::unique_ptr<QtStationWindow> qt_;
};

// Where the tests keep the pictures they take: beside the test program.
std::filesystem::path outputDirectory(const char* name);
void saveScreenshot(const QImage& image, const char* name);
