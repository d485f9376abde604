// What the station's tests share: a recording window, scripted evaluators and
// link kinds, a counters file in a fresh directory of its own, and ways to tick
// the station both directly and as the window delivers its timer.
#pragma once

#include "LinkKinds.h"
#include "StationWindow.h"
#include "frmMain.h"
#include "sim/SimMachine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The window as the station sees it, recording what the station asks of it.
class FakeWindow final : public IStationWindow {
public:
    int paints = 0;             // paintNow calls
    std::vector<int> intervals; // every setTimerInterval, in order
    bool timerRunning = false;
    std::vector<std::string> errors; // the error boxes shown, in order
    // Runs while an error box is open (its own message loop), e.g. to deliver ticks.
    std::function<void()> duringErrorBox;
    // Runs at each paintNow: what the window would put on the screen now.
    std::function<void()> onPaint;

    void paintNow() override {
        ++paints;
        if (onPaint) {
            onPaint();
        }
    }
    void setTimerInterval(int milliseconds) override {
        intervals.push_back(milliseconds);
        timerRunning = true;
    }
    void stopTimer() override { timerRunning = false; }
    void showErrorBox(const std::string& text) override {
        errors.push_back(text);
        if (duringErrorBox) {
            duringErrorBox();
        }
    }
};

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
    // The newest object is still held (by the station) and its link was closed.
    bool lastHeldClosed() const;
};

// A counters file of its own for every test, in a directory that is removed
// afterwards; the simulated machine reports the program as lying there.
class StationTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the station, with these kinds in this order.
    void start(std::vector<LinkKind> kinds);
    void start(std::initializer_list<std::pair<FakeKind*, const char*>> kinds);
    // The tick handler, called directly.
    void tick(int count = 1);
    // A tick as the window delivers its timer (under the station's error handler).
    void deliverTick();
    // A double-click in the middle of the count label, as the window passes it on.
    void doubleClickCount(MouseButton button = MouseButton::Left);

    std::string iniPath() const;
    bool iniExists() const;
    std::string iniText() const;
    void writeIni(const std::string& text) const;
    // The last error box's text; empty when none was shown.
    std::string lastError() const;

    // Markers and pictures as the station shows them.
    Widget* marker(int key) const;
    bool shows(const Widget* marker, const Widget* source) const;
    std::vector<int> markersShowing(const Widget* source) const;
    std::vector<int> visibleLamps() const;
    bool anyTaggedVisible() const;

    std::filesystem::path dir_;
    FakeWindow window_;
    std::unique_ptr<TMainForm> form_;
};

// The station with the product's real links: both libraries bound on the
// simulated machine, and the machine left clean (no open device handle, no
// transfer still running, no misuse recorded) once the station is gone.
class LinkedStationTest : public StationTest {
protected:
    void SetUp() override;
    void TearDown() override;
};
