#include "VirtualEvaluatorWindow.h"

#include "sim/SimRemote.h"

#include <QDir>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QRandomGenerator>
#include <QScreen>
#include <QTime>
#include <QVBoxLayout>

#include <cstdio>

namespace {

const char* linkName(demo::Link link) {
    switch (link) {
    case demo::Link::Hid:
        return "HID";
    case demo::Link::Pl2303:
        return "PL2303 COM5";
    case demo::Link::Ftdi:
        return "FTDI COM6";
    }
    return "";
}

QByteArray plugLine(demo::Link link) {
    switch (link) {
    case demo::Link::Hid:
        return "plug hid\n";
    case demo::Link::Pl2303:
        return "plug pl2303 COM5\n";
    case demo::Link::Ftdi:
        return "plug ftdi COM6\n";
    }
    return {};
}

// What the autopilot reports, for whoever started the program (the end-to-end test).
void announce(const QString& text) {
    static const QTime started = QTime::currentTime();
    std::printf("autopilot: %s (%.1f s)\n", text.toUtf8().constData(),
                started.msecsTo(QTime::currentTime()) / 1000.0);
    std::fflush(stdout);
}

// A person's reaction time: half a second to a second.
int humanDelay() {
    return 450 + static_cast<int>(QRandomGenerator::global()->bounded(550));
}

} // namespace

std::vector<VirtualEvaluatorWindow::Run> VirtualEvaluatorWindow::demoRuns() {
    return {{demo::Link::Hid, 0, 0}, {demo::Link::Pl2303, 4, 0}, {demo::Link::Ftdi, 0, 0}};
}

std::vector<VirtualEvaluatorWindow::Run> VirtualEvaluatorWindow::unplugRuns() {
    return {{demo::Link::Hid, 0, 3}, {demo::Link::Pl2303, 0, 3}, {demo::Link::Ftdi, 0, 3}};
}

VirtualEvaluatorWindow::VirtualEvaluatorWindow(QString socketPath, std::vector<Run> runs, int limit,
                                               bool autopilot)
    : socketPath_(std::move(socketPath)), runs_(std::move(runs)), limit_(limit) {
    setWindowTitle(QStringLiteral("Virtual evaluator"));
    setFocusPolicy(Qt::StrongFocus);

    panel_ = new DevicePanel(this);
    panel_->onKey = [this](int key) { press(key); };

    linkBox_ = new QComboBox(this);
    linkBox_->addItems({QStringLiteral("HID"), QStringLiteral("PL2303 adapter (COM5)"),
                        QStringLiteral("FTDI adapter (COM6)")});
    plugButton_ = new QPushButton(QStringLiteral("Plug in"), this);
    faultBox_ = new QComboBox(this);
    faultBox_->addItems({QStringLiteral("Working unit"), QStringLiteral("Faulty: silent"),
                         QStringLiteral("Faulty: wrong key"),
                         QStringLiteral("Faulty: garbage reply"),
                         QStringLiteral("Faulty: slow reply")});
    autopilotBox_ = new QCheckBox(QStringLiteral("Autopilot"), this);
    status_ = new QLabel(this);
    wire_ = new QPlainTextEdit(this);
    wire_->setReadOnly(true);
    wire_->setMaximumBlockCount(400);
    wire_->setFont(QFont(QStringLiteral("DejaVu Sans Mono"), 8));
    for (QWidget* w : {static_cast<QWidget*>(linkBox_), static_cast<QWidget*>(plugButton_),
                       static_cast<QWidget*>(faultBox_), static_cast<QWidget*>(autopilotBox_),
                       static_cast<QWidget*>(wire_)}) {
        w->setFocusPolicy(Qt::ClickFocus);
    }

    auto* controls = new QHBoxLayout;
    controls->addWidget(linkBox_);
    controls->addWidget(plugButton_);
    controls->addWidget(faultBox_);
    controls->addWidget(autopilotBox_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(panel_);
    layout->addLayout(controls);
    layout->addWidget(status_);
    layout->addWidget(new QLabel(QStringLiteral("Keys 1 to 6 or a click press a key. On the wire "
                                                "(out: from the station, in: to it):"),
                                 this));
    layout->addWidget(wire_, 1);
    resize(540, 643);

    connect(plugButton_, &QPushButton::clicked, this, [this] { plugged_ ? unplug() : plug(); });
    connect(faultBox_, &QComboBox::currentIndexChanged, this,
            [this](int index) { device_.fault = static_cast<demo::Fault>(index); });
    connect(autopilotBox_, &QCheckBox::toggled, this, [this](bool on) { setAutopilot(on); });
    autoTimer_.setSingleShot(true);
    connect(&autoTimer_, &QTimer::timeout, this, [this] {
        if (auto action = std::move(autoAction_)) {
            action();
        }
    });

    // One station at a time; a newer one takes over.
    QLocalServer::removeServer(socketPath_);
    if (!server_.listen(socketPath_)) {
        log(QStringLiteral("cannot listen on %1: %2").arg(socketPath_, server_.errorString()));
    }
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* next = server_.nextPendingConnection()) {
            if (station_ != nullptr) {
                station_->disconnectFromServer();
                station_->deleteLater();
            }
            station_ = next;
            connect(station_, &QLocalSocket::readyRead, this, [this] { readStation(); });
            connect(station_, &QLocalSocket::disconnected, this, [this, next] {
                if (station_ == next) {
                    station_ = nullptr;
                    log(QStringLiteral("station gone"));
                    refresh();
                }
                next->deleteLater();
            });
            log(QStringLiteral("station connected"));
            if (plugged_) {
                sendLine(plugLine(device_.link()));
            }
            refresh();
            if (autopilotBox_->isChecked() && !plugged_ && !autoTimer_.isActive()) {
                later(1500, [this] { nextRun(); });
            }
        }
    });

    autopilotBox_->setChecked(autopilot);
    refresh();
}

void VirtualEvaluatorWindow::sendLine(const QByteArray& line) {
    if (station_ != nullptr) {
        station_->write(line);
        station_->flush();
    }
}

void VirtualEvaluatorWindow::readStation() {
    while (station_ != nullptr && station_->canReadLine()) {
        QByteArray line = station_->readLine(sim::remote::kMaxLine + 2).trimmed();
        if (!line.startsWith("out ") || !plugged_) {
            continue;
        }
        auto bytes = sim::remote::fromHex(std::string_view(line.constData() + 4, line.size() - 4));
        if (!bytes) {
            continue;
        }
        log(QStringLiteral("out %1").arg(hex(*bytes)));
        bool wasWaiting = device_.waiting();
        reply(device_.received(*bytes));
        refresh();
        if (!wasWaiting && device_.waiting() && autopilotBox_->isChecked()) {
            keyAsked(device_.keyWaits());
        }
    }
}

void VirtualEvaluatorWindow::reply(const std::vector<demo::Reply>& replies) {
    for (const auto& r : replies) {
        unsigned plug = plugCount_;
        std::string bytes = r.bytes;
        QTimer::singleShot(static_cast<int>(r.delayMs), this, [this, plug, bytes] {
            if (plugged_ && plug == plugCount_) {
                log(QStringLiteral("in  %1").arg(hex(bytes)));
                sendLine(QByteArray::fromStdString(sim::remote::bytesLine("in", bytes)));
            }
        });
    }
}

void VirtualEvaluatorWindow::plug() {
    auto link = static_cast<demo::Link>(linkBox_->currentIndex());
    device_.reset(link);
    plugged_ = true;
    ++plugCount_;
    linkBox_->setEnabled(false);
    log(QStringLiteral("plugged in over %1").arg(QString::fromLatin1(linkName(link))));
    sendLine(plugLine(link));
    refresh();
}

void VirtualEvaluatorWindow::unplug() {
    plugged_ = false;
    ++plugCount_;
    device_.reset(device_.link());
    linkBox_->setEnabled(true);
    log(QStringLiteral("unplugged"));
    sendLine("unplug\n");
    refresh();
}

void VirtualEvaluatorWindow::press(int key) {
    pressed_ = key;
    QTimer::singleShot(180, this, [this, key] {
        if (pressed_ == key) {
            pressed_ = 0;
            refresh();
        }
    });
    if (plugged_) {
        reply(device_.press(key));
    }
    refresh();
}

void VirtualEvaluatorWindow::keyPressEvent(QKeyEvent* event) {
    int key = event->key() - Qt::Key_0;
    if (key >= 1 && key <= 6 && !event->isAutoRepeat()) {
        press(key);
        return;
    }
    QWidget::keyPressEvent(event);
}

void VirtualEvaluatorWindow::refresh() {
    DevicePanel::Look look;
    look.plugged = plugged_;
    look.power = plugged_ && device_.power();
    look.level = plugged_ ? device_.level() : 0;
    look.waiting = plugged_ && device_.waiting();
    look.pressed = pressed_;
    look.link = QString::fromLatin1(linkName(device_.link()));
    panel_->show(look);
    plugButton_->setText(plugged_ ? QStringLiteral("Unplug") : QStringLiteral("Plug in"));
    QString text = station_ != nullptr
                       ? QStringLiteral("Station connected.")
                       : QStringLiteral("Waiting for the station on %1.").arg(socketPath_);
    if (plugged_ && device_.waiting()) {
        text += QStringLiteral(" The station waits for key %1.").arg(device_.keyWaits());
    }
    status_->setText(text);
}

void VirtualEvaluatorWindow::log(const QString& text) {
    wire_->appendPlainText(text);
}

QString VirtualEvaluatorWindow::hex(std::string_view bytes) {
    QString out;
    for (char c : bytes) {
        out += QStringLiteral("%1 ").arg(static_cast<unsigned char>(c), 2, 16, QLatin1Char('0'));
    }
    return out.trimmed().toUpper();
}

// --- the autopilot ---

void VirtualEvaluatorWindow::later(int ms, std::function<void()> action) {
    autoAction_ = std::move(action);
    autoTimer_.start(ms);
}

void VirtualEvaluatorWindow::setAutopilot(bool on) {
    autoTimer_.stop();
    autoAction_ = nullptr;
    linkBox_->setEnabled(!plugged_);
    plugButton_->setEnabled(!on);
    faultBox_->setEnabled(!on);
    if (on) {
        faultBox_->setCurrentIndex(0);
        if (plugged_) {
            unplug();
        }
        if (station_ != nullptr) {
            later(1500, [this] { nextRun(); });
        }
        announce(QStringLiteral("on"));
    } else {
        announce(QStringLiteral("off"));
    }
}

void VirtualEvaluatorWindow::nextRun() {
    if (runs_.empty() || (limit_ > 0 && runsDone_ >= limit_)) {
        announce(QStringLiteral("done"));
        autopilotBox_->setChecked(false);
        return;
    }
    current_ = runs_[static_cast<std::size_t>(runIndex_) % runs_.size()];
    ++runIndex_;
    linkBox_->setCurrentIndex(static_cast<int>(current_.link));
    plug();
    announce(QStringLiteral("run %1 plugged %2").arg(runsDone_ + 1).arg(linkName(current_.link)));
}

void VirtualEvaluatorWindow::keyAsked(int key) {
    if (current_.unplugAt == key) {
        later(1000, [this, key] {
            announce(
                QStringLiteral("run %1 unplugged waiting for key %2").arg(runsDone_ + 1).arg(key));
            unplug();
            ++runsDone_;
            screenshot(QStringLiteral("run%1-unplugged.png").arg(runsDone_));
            later(2000, [this] { nextRun(); });
        });
        return;
    }
    int press = current_.wrongAt == key ? key % 6 + 1 : key;
    later(humanDelay(), [this, key, press] {
        this->press(press);
        if (press != key) {
            runEnded("failed");
        } else if (key == 6) {
            runEnded("passed");
        }
    });
}

void VirtualEvaluatorWindow::screenshot(const QString& name) {
    if (shotDir_.isEmpty()) {
        return;
    }
    // A moment later: the station shows what changed at its next 100 ms tick.
    QTimer::singleShot(400, this, [this, name] {
        if (QScreen* s = screen()) {
            QString path = QDir(shotDir_).filePath(name);
            bool saved = s->grabWindow(0).save(path);
            announce(QStringLiteral("screenshot %1%2")
                         .arg(path, saved ? QString() : QStringLiteral(" failed")));
        }
    });
}

void VirtualEvaluatorWindow::runEnded(const char* outcome) {
    // Leave the result on the station's screen a while, as an operator looks at it.
    later(600, [this, outcome] {
        announce(QStringLiteral("run %1 %2 showing").arg(runsDone_ + 1).arg(outcome));
        screenshot(QStringLiteral("run%1-%2.png").arg(runsDone_ + 1).arg(outcome));
        later(2900, [this] {
            unplug();
            ++runsDone_;
            later(1500, [this] { nextRun(); });
        });
    });
}
