// The station's only window: a photograph of the evaluator with small pictures
// over its lamps and keys, the passed/total counters, a status line and the
// kind of link in use. Its timer drives the polling for attached evaluators and
// the test sequence, one step per tick.
#pragma once

#include "LinkKinds.h"
#include "PictureWidget.h"
#include "ProfileFile.h"
#include "uMivoDevice.h"

#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// The status words, shown in a CJK font. On a Chinese Windows system they are
// the GB2312 bytes BA CF B8 F1 and B2 BB BA CF B8 F1.
inline constexpr char16_t kPassWord[] = u"\u5408\u683C";       // 合格, pass
inline constexpr char16_t kFailWord[] = u"\u4E0D\u5408\u683C"; // 不合格, fail

// A repeating timer whose tick calls its handler straight from the timer event,
// not through a signal, under the application's error handler.
class TickTimer final : public QTimer {
public:
    explicit TickTimer(QObject* parent) : QTimer(parent) {}
    std::function<void()> onTimer;

protected:
    void timerEvent(QTimerEvent* event) override;
};

class TMainForm final : public QWidget {
public:
    // kinds: the link kinds the tick asks, in order.
    explicit TMainForm(std::vector<LinkKind> kinds, QWidget* parent = nullptr);
    ~TMainForm() override;

    // The widgets, in creation order (later ones are drawn over earlier ones).
    PictureWidget* imgBackground;
    QLabel* lbCount;
    QLabel* lbStatus;
    PictureWidget* imgPassed;
    PictureWidget* imgFailed;
    PictureWidget* imgPower;
    PictureWidget* Image5;
    PictureWidget* imgGood;
    PictureWidget* imgBad;
    PictureWidget* imgHint;
    PictureWidget* Image9;
    PictureWidget* Image10;
    PictureWidget* Image11;
    PictureWidget* Image12;
    PictureWidget* imgButton1;
    PictureWidget* imgButton2;
    PictureWidget* imgButton3;
    PictureWidget* imgButton6;
    PictureWidget* imgButton5;
    PictureWidget* imgButton4;
    QLabel* lbDevType;
    TickTimer* Timer1;

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
    void MarkButton(int Index, const QString& SourceName);
    void AnimateStatus();

    // The test sequence.
    void StepTest();
    void ResetTest();

    // The widget of that name, matched without regard to case; null when none.
    QWidget* findWidget(const QString& name) const;
    // A widget's group: 1 result and power pictures, 2 lamps, 3 key markers, 0 the rest.
    static int groupOf(const QWidget* widget);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createWidgets();
    void showCount();
    // Writes one counter to the file (raising its write error); after a refused
    // write, also the other one.
    void writeCount(const char* key, std::int32_t value, const char* otherKey,
                    std::int32_t otherValue);

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
};
