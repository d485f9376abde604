// The virtual evaluator's window: the device, the controls an operator (or a
// tester of faulty units) has, a log of the bytes on the wire, and the
// autopilot that plays the operator. It listens on a local socket for the
// station's simulated machine (see sim/SimRemote.h for the conversation).
#pragma once

#include "DevicePanel.h"
#include "EvaluatorDevice.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <vector>

class VirtualEvaluatorWindow final : public QWidget {
public:
    // One run of the autopilot: the link, and what goes wrong in it.
    struct Run {
        demo::Link link;
        int wrongAt = 0;  // press another key when this key is asked
        int unplugAt = 0; // unplug in the middle of the wait for this key
    };
    // The demo's runs: a pass over HID, a fail over PL2303, a pass over FTDI.
    static std::vector<Run> demoRuns();
    // One unplugging in the middle of a key wait over each link kind.
    static std::vector<Run> unplugRuns();

    // runs: the autopilot's plan, repeated; limit: stop after that many runs
    // (0: never).
    VirtualEvaluatorWindow(QString socketPath, std::vector<Run> runs, int limit, bool autopilot);

    // The autopilot saves a picture of the whole screen into dir whenever a
    // run's result shows on the station, and after each unplugging.
    void setScreenshotDirectory(QString dir) { shotDir_ = std::move(dir); }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void readStation();
    void sendLine(const QByteArray& line);
    void reply(const std::vector<demo::Reply>& replies);
    void plug();
    void unplug();
    void press(int key);
    void refresh();
    void log(const QString& text);
    static QString hex(std::string_view bytes);

    // The autopilot.
    void setAutopilot(bool on);
    void later(int ms, std::function<void()> action);
    void nextRun();
    void keyAsked(int key);
    void runEnded(const char* outcome);
    void screenshot(const QString& name);

    QString socketPath_;
    QString shotDir_;
    QLocalServer server_;
    QLocalSocket* station_ = nullptr;
    demo::EvaluatorDevice device_;
    bool plugged_ = false;
    unsigned plugCount_ = 0; // replies scheduled before an unplug are dropped
    int pressed_ = 0;

    DevicePanel* panel_;
    QComboBox* linkBox_;
    QPushButton* plugButton_;
    QComboBox* faultBox_;
    QCheckBox* autopilotBox_;
    QLabel* status_;
    QPlainTextEdit* wire_;

    std::vector<Run> runs_;
    int limit_;
    int runIndex_ = 0;
    int runsDone_ = 0;
    Run current_{};
    QTimer autoTimer_;
    std::function<void()> autoAction_;
};
