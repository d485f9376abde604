// What the window's tests share: scripted evaluators and link kinds, a counters
// file in a fresh directory of its own, and a way to tick the window both
// directly and through the application (where the error box lives).
#pragma once

#include "LinkKinds.h"
#include "StationApplication.h"
#include "frmMain.h"
#include "sim/SimMachine.h"

#include <gtest/gtest.h>

#include <QImage>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The application of the test program: the error box is recorded, not shown.
class TestApplication final : public StationApplication {
public:
    using StationApplication::StationApplication;
    std::vector<QString> errors;

protected:
    void showError(const QString& text) override { errors.push_back(text); }
};
TestApplication& testApplication();

// One link kind with its scripted evaluators. Every object it creates logs its
// operations here, so a test sees the whole conversation in order.
class FakeKind {
public:
    bool present = false;
    bool openResult = true;
    std::deque<std::uint8_t> keys;      // WaitKey results in turn; 0 when used up
    std::function<void(int)> onWaitKey; // runs inside WaitKey (the key wait in progress)
    std::vector<std::string> log;       // "Open", "Prompt", "SetLevel 5", ...
    int created = 0;
    int alive = 0;
    std::weak_ptr<IMivoDevice> last; // the newest object, while anything holds it

    LinkKind entry(std::string text);
    // The newest object is still held (by the window) and its link was closed.
    bool lastHeldClosed() const;
};

// A counters file of its own for every test, in a directory that is removed
// afterwards; the simulated machine reports the program as lying there.
class StationTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates and shows the window, with these kinds in this order.
    void start(std::vector<LinkKind> kinds);
    void start(std::initializer_list<std::pair<FakeKind*, const char*>> kinds);
    // The tick handler, called directly.
    void tick(int count = 1);
    // A tick delivered as the timer's own event, through the application.
    void deliverTick();
    // A double-click on the count label, through the application.
    void doubleClickCount();

    std::string iniPath() const;
    bool iniExists() const;
    std::string iniText() const;
    void writeIni(const std::string& text) const;

    // Markers and pictures as the window shows them.
    PictureWidget* marker(int key) const;
    bool shows(const PictureWidget* marker, const PictureWidget* source) const;
    std::vector<int> markersShowing(const PictureWidget* source) const;
    std::vector<int> visibleLamps() const;
    bool anyTaggedVisible() const;

    std::filesystem::path dir_;
    std::unique_ptr<TMainForm> form_;
};

// The window with the product's real links: both libraries bound on the
// simulated machine, and the machine left clean (no open device handle, no
// transfer still running, no misuse recorded) once the window is gone.
class LinkedStationTest : public StationTest {
protected:
    void SetUp() override;
    void TearDown() override;
};

// Where the tests keep the screenshots they take: beside the test program.
std::filesystem::path screenshotDirectory();
void saveScreenshot(const QImage& image, const char* name);
