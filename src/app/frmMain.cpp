#include "frmMain.h"

#include <algorithm>
#include <exception>
#include <limits>

namespace {

constexpr int kIdleInterval = 100;      // ms: the polling rate for attached evaluators
constexpr int kPromptPause = 2000;      // ms between the prompt and lighting the lamps
constexpr std::int32_t kKeyWait = 5000; // ms the operator has for each key
constexpr std::uint8_t kAllLamps = 5;
constexpr int kFirstKeyStep = 2;
constexpr int kLastKeyStep = 7;
constexpr const char* kSection = "COUNT";

const std::string kStatusIdle = "                   >>>"; // 19 spaces

// A counter that has reached the largest 32-bit value stays there: the count is
// then meaningless anyway, and wrapping to a negative number would be worse.
std::int32_t countOneMore(std::int32_t counter) {
    return counter < std::numeric_limits<std::int32_t>::max() ? counter + 1 : counter;
}

} // namespace

std::string alreadyRunningMessage(const std::string& countersPath) {
    return "The station is already running for " + countersPath;
}

void StationTimer::setInterval(int milliseconds) {
    interval_ = milliseconds;
    if (active_) {
        window_.setTimerInterval(milliseconds);
    }
}

void StationTimer::start(int milliseconds) {
    interval_ = milliseconds;
    active_ = true;
    window_.setTimerInterval(milliseconds);
}

void StationTimer::stop() {
    if (active_) {
        active_ = false;
        window_.stopTimer();
    }
}

TMainForm::TMainForm(IStationWindow& window, std::vector<LinkKind> kinds)
    : window_(window), linkKinds_(std::move(kinds)) {
    createWidgets();
    runHandler([this] { FormCreate(); });
    Timer1->start(kIdleInterval);
}

TMainForm::~TMainForm() = default;

void TMainForm::createWidgets() {
    auto picture = [this](const char* name, WidgetRect bounds, int group, bool visible,
                          const char* resource) {
        Widget& widget = model_.add(WidgetKind::Picture, name, bounds, group, visible);
        widget.setPicture(resource);
        return &widget;
    };
    auto label = [this](const char* name, WidgetRect bounds, WidgetFont font, TextAlign align) {
        Widget& widget = model_.add(WidgetKind::Label, name, bounds, 0, true);
        widget.setFont(font);
        widget.setAlignment(align);
        return &widget;
    };
    const WidgetFont simSun32{FontFamily::SimSun, 32, true};
    const WidgetFont simSun24{FontFamily::SimSun, 24, true};

    imgBackground =
        picture("imgBackground", {0, 0, kClientWidth, kClientHeight}, 0, true, "evaluator.jpg");
    imgBackground->setCentred(true);

    lbCount = label("lbCount", {512, 24, 170, 57}, simSun32, TextAlign::Right);
    lbCount->setText("0/0");
    lbCount->setHandCursor(true);
    // Thousands of tests make a count wider than the label: it shrinks to fit
    // rather than lose its leading digits.
    lbCount->setShrinkToFit(true);

    lbStatus = label("lbStatus", {376, 600, 282, 30}, simSun24, TextAlign::Left);
    lbStatus->setText(kStatusIdle);

    imgPassed = picture("imgPassed", {224, 40, 200, 200}, 1, false, "passed.gif");
    imgPassed->setCentred(true);
    imgFailed = picture("imgFailed", {224, 40, 200, 200}, 1, false, "failed.gif");
    imgFailed->setCentred(true);
    imgPower = picture("imgPower", {493, 288, 16, 17}, 1, true, "power.gif");
    Image5 = picture("Image5", {323, 319, 17, 18}, 2, true, "star.gif");

    // The source pictures that MarkButton copies onto the key markers.
    imgGood = picture("imgGood", {13, 589, 46, 35}, 0, false, "good.gif");
    imgBad = picture("imgBad", {66, 589, 46, 35}, 0, false, "bad.gif");
    imgHint = picture("imgHint", {131, 589, 46, 35}, 0, false, "hint.gif");

    Image9 = picture("Image9", {356, 310, 17, 18}, 2, true, "star.gif");
    Image10 = picture("Image10", {389, 298, 17, 18}, 2, true, "star.gif");
    Image11 = picture("Image11", {419, 288, 17, 18}, 2, true, "star.gif");
    Image12 = picture("Image12", {451, 280, 17, 18}, 2, true, "star.gif");

    // The key markers, empty until MarkButton gives them a picture. Key 1 is the
    // lowest on the left of the device, key 6 the highest on the right.
    imgButton1 = picture("imgButton1", {273, 511, 46, 35}, 3, true, "");
    imgButton2 = picture("imgButton2", {327, 490, 46, 35}, 3, true, "");
    imgButton3 = picture("imgButton3", {379, 469, 46, 35}, 3, true, "");
    imgButton6 = picture("imgButton6", {526, 412, 46, 35}, 3, true, "");
    imgButton5 = picture("imgButton5", {478, 430, 46, 35}, 3, true, "");
    imgButton4 = picture("imgButton4", {429, 449, 46, 35}, 3, true, "");

    lbDevType =
        label("lbDevType", {24, 541, 97, 42}, {FontFamily::Tahoma, 32, true}, TextAlign::Left);

    Timer1 = std::make_unique<StationTimer>(window_);
}

template <class Handler> void TMainForm::runHandler(Handler&& handler) {
    // The one error the station raises is the counters file's refused write;
    // it ends the handler where it was, and the operator sees the box.
    try {
        handler();
    } catch (const std::exception& error) {
        // The box runs a message loop of its own, which goes on delivering the
        // timer: a tick inside it would run the station inside its own tick.
        errorBoxOpen_ = true;
        try {
            window_.showErrorBox(error.what());
        } catch (...) {
            // Nothing is left to tell the error with; the station goes on regardless.
        }
        errorBoxOpen_ = false;
    }
}

void TMainForm::timerTick() {
    if (errorBoxOpen_ || !Timer1->isActive()) {
        return;
    }
    runHandler([this] { Timer1Timer(); });
}

void TMainForm::doubleClick(int x, int y, MouseButton button) {
    // Only the left button resets: a right or middle double-click on the count
    // is a slip of the hand, and it would cost a whole shift's counts.
    if (errorBoxOpen_ || button != MouseButton::Left || model_.widgetAt(x, y) != lbCount) {
        return;
    }
    runHandler([this] { lbCountDblClick(); });
}

void TMainForm::close() {
    FormClose();
}

void TMainForm::FormCreate() {
    // Without the program's own path there is no place beside it: no file,
    // then, and every write of a counter ends in the error box.
    FIniFile = std::make_unique<ProfileFile>(countersFilePath());
    FConnected = false;
    FPassed = FIniFile->readInteger(kSection, "Passed", 0);
    FTotal = FIniFile->readInteger(kSection, "Total", 0);
    showCount();
    FStep = -1;
    FMarqueePos = 0;
    FMarqueeDir = 1;
    HideTagged();
    // A file the system cannot reach by its path (a folder too deep) would show
    // 0/0 and refuse the first unit's count: the operator is told now, once
    // the window is set up.
    if (!FIniFile->reachable()) {
        throw ProfilePathError(FIniFile->path());
    }
}

void TMainForm::FormClose() {
    // No tick may reach the counters once the file is gone.
    Timer1->stop();
    FIniFile.reset();
}

void TMainForm::lbCountDblClick() {
    if (!FIniFile) {
        return;
    }
    writeCount("Total", 0, "Passed", FPassed);
    writeCount("Passed", 0, "Total", 0);
    FTotal = 0;
    FPassed = 0;
    showCount();
}

void TMainForm::showCount() {
    lbCount->setText(std::to_string(FPassed) + "/" + std::to_string(FTotal));
}

void TMainForm::writeCount(const char* key, std::int32_t value, const char* otherKey,
                           std::int32_t otherValue) {
    // A write the file refused leaves it behind the window until that counter
    // changes again, which for "Passed" may be never. So the first write that
    // goes through after a refused one writes the other counter as well.
    const bool catchUp = countsUnsaved_;
    countsUnsaved_ = true; // until both writes below have gone through
    FIniFile->writeInteger(kSection, key, value);
    if (catchUp) {
        FIniFile->writeInteger(kSection, otherKey, otherValue);
    }
    countsUnsaved_ = false;
}

void TMainForm::BeginTest() {
    FTotal = countOneMore(FTotal);
    writeCount("Total", FTotal, "Passed", FPassed);
    showCount();
    FStep = 0;
}

void TMainForm::ShowPassed() {
    lbStatus->setText(kPassWord);
    FPassed = countOneMore(FPassed);
    showCount();
    writeCount("Passed", FPassed, "Total", FTotal);
    imgPassed->show();
}

void TMainForm::ShowFailed() {
    lbStatus->setText(kFailWord);
    imgFailed->show();
}

void TMainForm::HideTagged() {
    for (const auto& widget : model_.widgets()) {
        if (widget->group() > 0) {
            widget->hide();
        }
    }
}

void TMainForm::ShowLamps(bool Visible) {
    for (const auto& widget : model_.widgets()) {
        if (widget->group() == 2) {
            widget->setVisible(Visible);
        }
    }
}

void TMainForm::MarkButton(int Index, std::string_view SourceName) {
    Widget* marker = findWidget("imgButton" + std::to_string(Index));
    Widget* source = findWidget(SourceName);
    if (marker == nullptr || source == nullptr) {
        return;
    }
    marker->show();
    marker->setPicture(source->picture());
}

void TMainForm::AnimateStatus() {
    const char* arrow = nullptr;
    FMarqueePos += FMarqueeDir;
    if (FMarqueeDir > 0) {
        arrow = ">>>";
        if (FMarqueePos >= 19) {
            FMarqueeDir = -1;
        }
    } else {
        arrow = "<<<";
        if (FMarqueePos <= 0) {
            FMarqueeDir = 1;
        }
    }
    lbStatus->setText(std::string(static_cast<std::size_t>(std::max(FMarqueePos, 0)), ' ') + arrow);
}

void TMainForm::Timer1Timer() {
    bool attached = false;
    for (const LinkKind& kind : linkKinds_) {
        if (!kind.present()) {
            continue;
        }
        attached = true;
        if (!FConnected) {
            // Replacing the reference destroys the previous object, which ends
            // whatever link it still had.
            FDevice = kind.create();
            attached = FDevice->Open();
            if (attached) {
                FConnected = true;
                lbDevType->setText(kind.text);
                try {
                    BeginTest();
                } catch (...) {
                    // The refused counters write ends this tick before the
                    // prompt, which is what closes a HID link again. Held open,
                    // it would hide the evaluator from the next tick's
                    // exclusive-open presence count: the station would take it
                    // for removed, connect again and count it again. No test
                    // runs on this connection, so the link is not needed.
                    FDevice->Close();
                    throw;
                }
            }
        }
    }
    if (!attached && FConnected) {
        // Removed. The closed object stays referenced until the next one replaces it.
        FConnected = false;
        FDevice->Close();
        ResetTest();
        lbDevType->setText(std::string());
    }
    if (FConnected) {
        StepTest();
    } else {
        AnimateStatus();
    }
}

void TMainForm::StepTest() {
    if (FStep < 0 || FStep > kLastKeyStep) {
        return;
    }
    if (FStep == 0) {
        FDevice->Prompt();
        imgPower->show();
        FStep = 1;
        Timer1->setInterval(kPromptPause);
        return;
    }
    if (FStep == 1) {
        FDevice->SetLevel(kAllLamps);
        ShowLamps(true);
        Timer1->setInterval(kIdleInterval);
        FStep = kFirstKeyStep;
        return;
    }
    const int key = FStep - 1;
    MarkButton(key, "imgHint");
    // The wait below blocks the window: paint the hint now, or the operator
    // would not see which key is asked until the wait is over.
    window_.paintNow();
    const std::uint8_t pressed = FDevice->WaitKey(kKeyWait);
    if (pressed == key) {
        MarkButton(key, "imgGood");
        if (FStep == kLastKeyStep) {
            FStep = -1;
            ShowPassed();
        } else {
            ++FStep;
        }
        return;
    }
    MarkButton(key, "imgBad");
    if (pressed >= 1 && pressed <= 6) {
        MarkButton(pressed, "imgBad");
    }
    FStep = -1;
    ShowFailed();
}

void TMainForm::ResetTest() {
    HideTagged();
    FStep = -1;
    // A removal during the pause after the prompt would otherwise leave the
    // pause's interval in force, and the station would look for evaluators
    // only every two seconds.
    Timer1->setInterval(kIdleInterval);
}
