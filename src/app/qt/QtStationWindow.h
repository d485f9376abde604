// The station's window on Linux: a Qt widget that draws the station's widget
// model, runs its timer, and passes on the ticks, the double-clicks and the
// close. It decides nothing about a test.
//
// It draws in device pixels at the screen's device pixel ratio (QT_SCALE_FACTOR,
// a high-DPI screen) times the window's own scale, which is below 1 only where
// the window would not fit the work area otherwise (WindowScale.h): fonts at
// their scaled pixel height, pictures scaled smoothly once per size.
#pragma once

#include "LinkKinds.h"
#include "StationWindow.h"
#include "WindowScale.h"
#include "frmMain.h"

#include <QBasicTimer>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

class QtStationWindow final : public QWidget, public IStationWindow {
public:
    // kinds: the link kinds the station asks, in order.
    explicit QtStationWindow(std::vector<LinkKind> kinds, QWidget* parent = nullptr);
    ~QtStationWindow() override;

    TMainForm& station() { return *station_; }

    // IStationWindow
    void paintNow() override;
    void setTimerInterval(int milliseconds) override;
    void stopTimer() override;
    void showErrorBox(const std::string& text) override;

    // The picture of a resource ("evaluator.jpg", "hint.gif"), decoded once;
    // a null picture for an unknown name.
    const QPixmap& picture(const std::string& name);
    // The timer's id while it runs (0 when stopped), for tests that deliver
    // its events.
    int timerId() const { return timer_.timerId(); }
    // The scale the model is drawn at, in device pixels.
    LayoutScale deviceScale() const { return LayoutScale(fit_ * devicePixelRatioF()); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Sizes the window to fit its screen's work area (at most the layout's
    // size) and places it there, centred, its title bar on the work area.
    void fitToScreen();
    // The widgets within the dirty area (device pixels) at the window's scale.
    void paintModel(QPainter& painter, const QRect& dirty);
    // The picture at that size in device pixels, scaled once from the decoded one.
    const QPixmap& picture(const std::string& name, QSize size);
    // A point of the window (logical pixels) in the model's pixels.
    ScreenPoint layoutPoint(QPointF at) const;

    // Schedules a repaint of the widgets that changed since the last one (at
    // idle, only the status line's marker moves).
    void updateIfChanged();

    std::map<std::string, QPixmap> pictures_;
    std::map<std::tuple<std::string, int, int>, QPixmap> scaledPictures_;
    double fit_ = 1.0;       // the window's size over the layout's, in logical pixels
    bool following_ = false; // refits when it moves to another screen
    QBasicTimer timer_;
    std::vector<std::uint64_t> paintedRevisions_; // per widget, as last scheduled
    std::unique_ptr<TMainForm> station_; // last: it calls back into this window while built
};

// The label's font as the Qt window draws it: "宋体" (SimSun) where the system
// has it, else one of the CJK fonts Linux systems carry; Tahoma or a look-alike.
QFont labelFont(const WidgetFont& font);
