// The station's only window, as plain data and logic: a photograph of the
// evaluator with small pictures over its lamps and keys, the passed/total
// counters, a status line and the kind of link in use. Its timer drives the
// polling for attached evaluators and the test sequence, one step per tick.
//
// No toolkit here. A window (src/app/qt, src/app/win32) draws the widget model,
// runs the timer and feeds in the ticks and the mouse; the station reaches it
// only through IStationWindow.
#pragma once

#include "LinkKinds.h"
#include "ProfileFile.h"
#include "StationWindow.h"
#include "WidgetModel.h"
#include "uMivoDevice.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kClientWidth = 690;
inline constexpr int kClientHeight = 643;
inline constexpr char kStationTitle[] = "Evaluator Test Station";

// The status words in UTF-8. On a Chinese Windows system they are the GB2312
// bytes BA CF B8 F1 and B2 BB BA CF B8 F1.
inline constexpr char kPassWord[] = "\xE5\x90\x88\xE6\xA0\xBC";             // 合格, pass
inline constexpr char kFailWord[] = "\xE4\xB8\x8D\xE5\x90\x88\xE6\xA0\xBC"; // 不合格, fail

// One station per counters file: a second one started on the same file (both
// would drive the one evaluator and write their counts over each other's) says
// this and ends, or hands over to the first one's window.
std::string alreadyRunningMessage(const std::string& countersPath);

// The window's repeating timer as the station sees it: its interval and
// whether it runs. Every change reaches the window's real timer.
class StationTimer {
public:
    explicit StationTimer(IStationWindow& window) : window_(window) {}

    int interval() const { return interval_; }
    bool isActive() const { return active_; }
    // Changes the interval; a running timer restarts its countdown.
    void setInterval(int milliseconds);
    void start(int milliseconds);
    void stop();

private:
    IStationWindow& window_;
    int interval_ = 0;
    bool active_ = false;
};

class TMainForm {
public:
    // Builds the widgets, runs FormCreate and starts Timer1 at 100 ms.
    // kinds: the link kinds the tick asks, in order.
    TMainForm(IStationWindow& window, std::vector<LinkKind> kinds);
    ~TMainForm();
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    const WidgetModel& model() const { return model_; }

    // What the window feeds in. Each runs under the station's error handler: a
    // counters write that the file refuses ends the handler where it was and
    // shows "Unable to write to <full path>" in the error box. Ticks that the
    // box's own message loop delivers are ignored; after the box, polling
    // resumes.
    void timerTick();
    // A double-click at a point of the client area, with the button that made it.
    void doubleClick(int x, int y, MouseButton button);
    // The window is being closed.
    void close();

    // The widgets, in creation order (later ones are drawn over earlier ones).
    Widget* imgBackground;
    Widget* lbCount;
    Widget* lbStatus;
    Widget* imgPassed;
    Widget* imgFailed;
    Widget* imgPower;
    Widget* Image5;
    Widget* imgGood;
    Widget* imgBad;
    Widget* imgHint;
    Widget* Image9;
    Widget* Image10;
    Widget* Image11;
    Widget* Image12;
    Widget* imgButton1;
    Widget* imgButton2;
    Widget* imgButton3;
    Widget* imgButton6;
    Widget* imgButton5;
    Widget* imgButton4;
    Widget* lbDevType;
    std::unique_ptr<StationTimer> Timer1;

    // Event handlers.
    void FormCreate();
    void FormClose();
    void lbCountDblClick();
    void Timer1Timer();

    // The display and the counters, as the test sequence uses them.
    void BeginTest();
    void ShowPassed();
    void ShowFailed();
    void HideTagged();
    void ShowLamps(bool Visible);
    void MarkButton(int Index, std::string_view SourceName);
    void AnimateStatus();

    // The test sequence.
    void StepTest();
    void ResetTest();

    // The widget of that name, matched without regard to case; null when none.
    Widget* findWidget(std::string_view name) const { return model_.find(name); }

private:
    void createWidgets();
    void showCount();
    // Writes one counter to the file (raising its write error); after a refused
    // write, also the other one.
    void writeCount(const char* key, std::int32_t value, const char* otherKey,
                    std::int32_t otherValue);
    template <class Handler> void runHandler(Handler&& handler);

    IStationWindow& window_;
    WidgetModel model_;

    MivoDeviceRef FDevice;
    std::unique_ptr<ProfileFile> FIniFile;
    bool FConnected = false;
    std::int32_t FStep = -1;
    std::int32_t FPassed = 0;
    std::int32_t FTotal = 0;
    std::int32_t FMarqueePos = 0;
    std::int32_t FMarqueeDir = 1;

    std::vector<LinkKind> linkKinds_;
    bool countsUnsaved_ = false; // a counter write was refused and not yet made good
    bool errorBoxOpen_ = false;
};
