// The station's window on Linux: a Qt widget that draws the station's widget
// model, runs its timer, and passes on the ticks, the double-clicks and the
// close. It decides nothing about a test.
#pragma once

#include "LinkKinds.h"
#include "StationWindow.h"
#include "frmMain.h"

#include <QBasicTimer>
#include <QPixmap>
#include <QWidget>

#include <map>
#include <memory>
#include <string>
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

protected:
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Schedules a repaint when anything in the model changed since the last one.
    void updateIfChanged();

    std::map<std::string, QPixmap> pictures_;
    QBasicTimer timer_;
    std::uint64_t paintedRevision_ = ~std::uint64_t{0};
    std::unique_ptr<TMainForm> station_; // last: it calls back into this window while built
};

// The label's font as the Qt window draws it: "宋体" (SimSun) where the system
// has it, else one of the CJK fonts Linux systems carry; Tahoma or a look-alike.
QFont labelFont(const WidgetFont& font);
