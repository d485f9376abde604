// What the station asks of its window and takes from it: the timer, painting,
// the double-click and the error box. The same in both windows, so tested here.
#include "StationFixture.h"
#include "WindowPlacement.h"
#include "WindowScale.h"

#include <tuple>

namespace {

class CoreWindowTest : public StationTest {
protected:
    FakeKind hid;

    void startWith(const std::string& ini) {
        writeIni(ini);
        start({{&hid, "HID"}});
    }
};

TEST_F(CoreWindowTest, TheTimerRunsFromCreationAndFollowsTheTest) {
    start({{&hid, "HID"}});
    EXPECT_EQ(window_.intervals, std::vector<int>{100});
    EXPECT_TRUE(window_.timerRunning);
    hid.present = true;
    hid.keys = {1};
    deliverTick(); // connects and prompts
    deliverTick(); // the lamps
    deliverTick(); // key 1
    EXPECT_EQ(window_.intervals, (std::vector<int>{100, 2000, 100}));
    EXPECT_EQ(window_.paints, 1); // before the key wait, and only then

    // Closed: the timer stops, and a tick still in the window's queue does not
    // reach the counters that are gone.
    form_->close();
    EXPECT_FALSE(window_.timerRunning);
    const auto asked = hid.log.size();
    hid.present = false;
    deliverTick();
    hid.present = true;
    deliverTick();
    EXPECT_EQ(hid.log.size(), asked);
    EXPECT_TRUE(window_.errors.empty());
}

struct ClickCase {
    const char* name;
    MouseButton button;
    int x, y;
    bool resets;
};

class DoubleClick : public CoreWindowTest, public ::testing::WithParamInterface<ClickCase> {};

TEST_P(DoubleClick, OnlyTheLeftButtonOnTheCountResets) {
    const ClickCase& c = GetParam();
    startWith("[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
    form_->doubleClick(c.x, c.y, c.button);
    EXPECT_EQ(form_->lbCount->text(), c.resets ? "0/0" : "3/5");
    EXPECT_EQ(iniText(), c.resets ? "[COUNT]\r\nPassed=0\r\nTotal=0\r\n"
                                  : "[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Buttons, DoubleClick,
    ::testing::Values(ClickCase{"LeftOnTheCount", MouseButton::Left, 600, 50, true},
                      ClickCase{"LeftOnItsCorner", MouseButton::Left, 512, 24, true},
                      ClickCase{"RightOnTheCount", MouseButton::Right, 600, 50, false},
                      ClickCase{"MiddleOnTheCount", MouseButton::Middle, 600, 50, false},
                      ClickCase{"LeftJustOutside", MouseButton::Left, 682, 50, false},
                      ClickCase{"LeftOnTheStatusLine", MouseButton::Left, 400, 610, false},
                      ClickCase{"LeftOnThePhotograph", MouseButton::Left, 300, 300, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CoreWindowTest, NoTickRunsWhileTheErrorBoxIsOpenAndPollingResumesAfterIt) {
    start({{&hid, "HID"}});
    sim::machine().failAlways("WritePrivateProfileStringA", ERROR_ACCESS_DENIED);
    const std::string before = form_->lbStatus->text();
    int ticksInBox = 0;
    window_.duringErrorBox = [&] {
        // The box's own message loop goes on delivering the timer.
        for (int i = 0; i < 5; ++i) {
            ++ticksInBox;
            deliverTick();
        }
        hid.present = true; // even an evaluator plugged in now is not looked for
        deliverTick();
    };
    doubleClickCount();
    EXPECT_EQ(ticksInBox, 5);
    ASSERT_EQ(window_.errors, std::vector<std::string>{"Unable to write to " + iniPath()});
    EXPECT_EQ(form_->lbStatus->text(), before);
    EXPECT_EQ(hid.created, 0);

    // After OK: the next tick polls again (and its refused write shows one box).
    window_.duringErrorBox = nullptr;
    deliverTick();
    EXPECT_EQ(hid.created, 1);
    EXPECT_EQ(window_.errors.size(), 2u);
    hid.present = false;
    deliverTick();
    EXPECT_EQ(form_->lbStatus->text(), " >>>");
}

TEST_F(CoreWindowTest, ABoxDuringATickIsNotReenteredByTheTicksOfItsOwnLoop) {
    start({{&hid, "HID"}});
    sim::machine().failAlways("WritePrivateProfileStringA", ERROR_ACCESS_DENIED);
    window_.duringErrorBox = [&] {
        for (int i = 0; i < 20; ++i) {
            deliverTick();
        }
    };
    hid.present = true;
    deliverTick(); // the connection's refused write
    EXPECT_EQ(window_.errors.size(), 1u);
    EXPECT_EQ(hid.created, 1);
    EXPECT_EQ(form_->lbCount->text(), "0/0");
}

TEST(WidgetModel, FindsByNameWithoutCaseAndHitsTheTopMostVisibleWidget) {
    WidgetModel model;
    Widget& below = model.add(WidgetKind::Picture, "imgBelow", {0, 0, 100, 100}, 0, true);
    Widget& above = model.add(WidgetKind::Label, "lbAbove", {10, 10, 20, 20}, 0, true);
    EXPECT_EQ(model.find("LBABOVE"), &above);
    EXPECT_EQ(model.find("lbAbov"), nullptr);
    EXPECT_EQ(model.widgetAt(15, 15), &above);
    EXPECT_EQ(model.widgetAt(30, 30), &below); // right and bottom edges are outside
    above.hide();
    EXPECT_EQ(model.widgetAt(15, 15), &below);
    EXPECT_EQ(model.widgetAt(100, 5), nullptr);

    // Every visible change moves the revision a window repaints by; a change to
    // the same value does not.
    const auto revision = model.revision();
    above.hide();
    below.setPicture("");
    EXPECT_EQ(model.revision(), revision);
    above.setText("3/5");
    below.setPicture("hint.gif");
    EXPECT_EQ(model.revision(), revision + 2);
}

struct Placement {
    const char* name;
    ScreenArea work;
    int width, height; // the window with its frame
    ScreenPoint at;
};

class WindowPlacement : public ::testing::TestWithParam<Placement> {};

TEST_P(WindowPlacement, CentredWithTheTitleBarOnTheWorkArea) {
    const Placement& p = GetParam();
    EXPECT_EQ(placeOnWorkArea(p.work, p.width, p.height), p.at);
}

INSTANTIATE_TEST_SUITE_P(
    Screens, WindowPlacement,
    ::testing::Values(Placement{"FullHd", {0, 0, 1920, 1040}, 696, 672, {612, 184}},
                      Placement{"TaskBarOnTheLeft", {62, 0, 1858, 1080}, 696, 672, {643, 204}},
                      Placement{"SmallPanel", {0, 0, 1024, 560}, 696, 672, {164, 0}},
                      Placement{"NarrowAndLow", {0, 0, 640, 440}, 696, 672, {0, 0}},
                      Placement{
                          "SecondMonitorAbove", {-200, -900, 1440, 860}, 696, 672, {172, -806}},
                      Placement{"LowSecondMonitor", {1920, 300, 1024, 560}, 696, 672, {2084, 300}}),
    [](const auto& info) { return std::string(info.param.name); });

// The scale where the window tests' screen tables have no row: as large as fits
// a portrait screen, a quarter on one too small even for that, 1 on a screen of
// unknown scale; and at scales above and below 1, what a repaint of a widget's
// device area must draw and where a click on its corner lands.
TEST(WindowScale, TheScreensOrAsLargeAsFits) {
    using Fit = std::tuple<double, ScreenArea, double>; // the screen's scale, work area, the fit
    for (const auto& [screenScale, work, fit] :
         {Fit{1.0, {0, 0, 600, 1024}, 590.0 / 690}, Fit{1.0, {0, 0, 100, 80}, 0.25},
          Fit{0.0, {0, 0, 800, 700}, 1.0}}) {
        EXPECT_NEAR(fittingScale(screenScale, work, 10, 40, kClientWidth, kClientHeight).factor(),
                    fit, 1e-9)
            << work.width << "x" << work.height;
    }
    FakeWindow window;
    TMainForm form(window, {});
    for (double factor : {0.894, 1.25, 1.5, 1.6124, 2.0}) {
        const LayoutScale scale(factor);
        for (const auto& widget : form.model().widgets()) {
            const WidgetRect box = widget->geometry();
            const WidgetRect device = scale.toDevice(box);
            const WidgetRect covering = scale.layoutCovering(device);
            const ScreenPoint corner = scale.toLayout(device.left, device.top + device.height - 1);
            EXPECT_TRUE(covering.left <= box.left && covering.top <= box.top &&
                        covering.left + covering.width >= box.left + box.width &&
                        covering.top + covering.height >= box.top + box.height &&
                        box.contains(corner.x, corner.y))
                << factor << " " << widget->objectName();
        }
    }
}

} // namespace
