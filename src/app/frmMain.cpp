#include "frmMain.h"

#include "JpegDecoder.h"
#include "StationApplication.h"

#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QStyle>
#include <QTimerEvent>

#include <algorithm>
#include <limits>

// Outside any namespace, as the resource macro requires.
static void initStationResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(station);
        return true;
    }();
    (void)done;
}

namespace {

constexpr int kClientWidth = 690;
constexpr int kClientHeight = 643;
constexpr int kIdleInterval = 100;      // ms: the polling rate for attached evaluators
constexpr int kPromptPause = 2000;      // ms between the prompt and lighting the lamps
constexpr std::int32_t kKeyWait = 5000; // ms the operator has for each key
constexpr std::uint8_t kAllLamps = 5;
constexpr int kFirstKeyStep = 2;
constexpr int kLastKeyStep = 7;
constexpr const char* kSection = "COUNT";

const QString kStatusIdle = QStringLiteral("                   >>>"); // 19 spaces

QPixmap resourcePicture(const char* name) {
    return QPixmap(QStringLiteral(":/station/") + QLatin1String(name));
}

QPixmap photograph() {
    QFile file(QStringLiteral(":/station/evaluator.jpg"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = file.readAll();
    return QPixmap::fromImage(decodeJpeg(std::string_view(bytes.constData(), bytes.size())));
}

// Windows has "宋体" (SimSun) with every Chinese font pack; elsewhere the
// station falls back on the CJK fonts the system has.
QFont cjkFont(int pixelSize) {
    QFont font;
    font.setFamilies({QString::fromUtf16(u"\u5B8B\u4F53"), QStringLiteral("SimSun"),
                      QStringLiteral("NSimSun"), QStringLiteral("WenQuanYi Zen Hei"),
                      QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Serif CJK SC"),
                      QStringLiteral("AR PL UMing CN")});
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

QFont tahomaFont(int pixelSize, bool bold) {
    QFont font;
    font.setFamilies(
        {QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"), QStringLiteral("Verdana")});
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// White text on an opaque black background.
void paintWhiteOnBlack(QLabel* label) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, Qt::black);
    palette.setColor(QPalette::WindowText, Qt::white);
    label->setPalette(palette);
    label->setAutoFillBackground(true);
}

// A counter that has reached the largest 32-bit value stays there: the count is
// then meaningless anyway, and wrapping to a negative number would be worse.
std::int32_t countOneMore(std::int32_t counter) {
    return counter < std::numeric_limits<std::int32_t>::max() ? counter + 1 : counter;
}

} // namespace

void TickTimer::timerEvent(QTimerEvent* event) {
    if (event->timerId() == timerId() && onTimer) {
        StationApplication::runHandler(onTimer);
        return;
    }
    QTimer::timerEvent(event);
}

TMainForm::TMainForm(std::vector<LinkKind> kinds, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      linkKinds_(std::move(kinds)) {
    initStationResources();
    setWindowTitle(QStringLiteral("Evaluator Test Station"));
    setFixedSize(kClientWidth, kClientHeight);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::black);
    setPalette(palette);
    setAutoFillBackground(true);
    setFont(tahomaFont(11, false));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                        screen->availableGeometry()));
    }
    createWidgets();
    FormCreate();
}

TMainForm::~TMainForm() = default;

void TMainForm::createWidgets() {
    auto picture = [this](PictureWidget*& widget, const char* name, QRect geometry, int group,
                          bool visible) {
        widget = new PictureWidget(this);
        widget->setObjectName(QLatin1String(name));
        widget->setGeometry(geometry);
        widget->setProperty("group", group);
        widget->setVisible(visible);
    };
    auto label = [this](QLabel*& widget, const char* name, QRect geometry, const QFont& font,
                        Qt::Alignment alignment) {
        widget = new QLabel(this);
        widget->setObjectName(QLatin1String(name));
        widget->setGeometry(geometry);
        widget->setProperty("group", 0);
        widget->setFont(font);
        widget->setAlignment(alignment);
        paintWhiteOnBlack(widget);
    };

    picture(imgBackground, "imgBackground", rect(), 0, true);
    imgBackground->setCentred(true);
    imgBackground->setPicture(photograph());

    label(lbCount, "lbCount", QRect(512, 24, 170, 57), cjkFont(32),
          Qt::AlignRight | Qt::AlignVCenter);
    lbCount->setText(QStringLiteral("0/0"));
    lbCount->setCursor(Qt::PointingHandCursor);
    lbCount->installEventFilter(this);

    label(lbStatus, "lbStatus", QRect(376, 600, 282, 30), cjkFont(24),
          Qt::AlignLeft | Qt::AlignVCenter);
    lbStatus->setText(kStatusIdle);

    picture(imgPassed, "imgPassed", QRect(224, 40, 200, 200), 1, false);
    imgPassed->setCentred(true);
    imgPassed->setPicture(resourcePicture("passed.gif"));
    picture(imgFailed, "imgFailed", QRect(224, 40, 200, 200), 1, false);
    imgFailed->setCentred(true);
    imgFailed->setPicture(resourcePicture("failed.gif"));
    picture(imgPower, "imgPower", QRect(493, 288, 16, 17), 1, true);
    imgPower->setPicture(resourcePicture("power.gif"));

    const QPixmap star = resourcePicture("star.gif");
    picture(Image5, "Image5", QRect(323, 319, 17, 18), 2, true);
    Image5->setPicture(star);

    // The source pictures that MarkButton copies onto the key markers.
    picture(imgGood, "imgGood", QRect(13, 589, 46, 35), 0, false);
    imgGood->setPicture(resourcePicture("good.gif"));
    picture(imgBad, "imgBad", QRect(66, 589, 46, 35), 0, false);
    imgBad->setPicture(resourcePicture("bad.gif"));
    picture(imgHint, "imgHint", QRect(131, 589, 46, 35), 0, false);
    imgHint->setPicture(resourcePicture("hint.gif"));

    picture(Image9, "Image9", QRect(356, 310, 17, 18), 2, true);
    Image9->setPicture(star);
    picture(Image10, "Image10", QRect(389, 298, 17, 18), 2, true);
    Image10->setPicture(star);
    picture(Image11, "Image11", QRect(419, 288, 17, 18), 2, true);
    Image11->setPicture(star);
    picture(Image12, "Image12", QRect(451, 280, 17, 18), 2, true);
    Image12->setPicture(star);

    // The key markers, empty until MarkButton gives them a picture. Key 1 is the
    // lowest on the left of the device, key 6 the highest on the right.
    picture(imgButton1, "imgButton1", QRect(273, 511, 46, 35), 3, true);
    picture(imgButton2, "imgButton2", QRect(327, 490, 46, 35), 3, true);
    picture(imgButton3, "imgButton3", QRect(379, 469, 46, 35), 3, true);
    picture(imgButton6, "imgButton6", QRect(526, 412, 46, 35), 3, true);
    picture(imgButton5, "imgButton5", QRect(478, 430, 46, 35), 3, true);
    picture(imgButton4, "imgButton4", QRect(429, 449, 46, 35), 3, true);

    label(lbDevType, "lbDevType", QRect(24, 541, 97, 42), tahomaFont(32, true),
          Qt::AlignLeft | Qt::AlignTop);

    Timer1 = new TickTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->onTimer = [this] { Timer1Timer(); };
    Timer1->start(kIdleInterval);
}

QWidget* TMainForm::findWidget(const QString& name) const {
    for (QWidget* widget : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (widget->objectName().compare(name, Qt::CaseInsensitive) == 0) {
            return widget;
        }
    }
    return nullptr;
}

int TMainForm::groupOf(const QWidget* widget) {
    return widget->property("group").toInt();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    FormClose();
    QWidget::closeEvent(event);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lbCount && event->type() == QEvent::MouseButtonDblClick) {
        StationApplication::runHandler([this] { lbCountDblClick(); });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void TMainForm::FormCreate() {
    // Without the program's own path there is no place beside it: a bare file
    // name would land in the working directory (on Windows, the Windows
    // directory), splitting the counts between two files. No file, then; every
    // write of a counter ends in the error box.
    const std::string program = programPath();
    FIniFile = std::make_unique<ProfileFile>(
        program.empty() ? std::string() : pathBesideProgram(program, "test.ini"));
    FConnected = false;
    FPassed = FIniFile->readInteger(kSection, "Passed", 0);
    FTotal = FIniFile->readInteger(kSection, "Total", 0);
    showCount();
    FStep = -1;
    FMarqueePos = 0;
    FMarqueeDir = 1;
    HideTagged();
}

void TMainForm::FormClose() {
    // No tick may reach the counters once the file is gone.
    Timer1->stop();
    FIniFile.reset();
}

void TMainForm::lbCountDblClick() {
    writeCount("Total", 0, "Passed", FPassed);
    writeCount("Passed", 0, "Total", 0);
    FTotal = 0;
    FPassed = 0;
    showCount();
}

void TMainForm::showCount() {
    lbCount->setText(QStringLiteral("%1/%2").arg(FPassed).arg(FTotal));
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
    lbStatus->setText(QString::fromUtf16(kPassWord));
    FPassed = countOneMore(FPassed);
    showCount();
    writeCount("Passed", FPassed, "Total", FTotal);
    imgPassed->show();
}

void TMainForm::ShowFailed() {
    lbStatus->setText(QString::fromUtf16(kFailWord));
    imgFailed->show();
}

void TMainForm::HideTagged() {
    for (QWidget* widget : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (groupOf(widget) > 0) {
            widget->hide();
        }
    }
}

void TMainForm::ShowLamps(bool Visible) {
    for (QWidget* widget : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (groupOf(widget) == 2) {
            widget->setVisible(Visible);
        }
    }
}

void TMainForm::MarkButton(int Index, const QString& SourceName) {
    auto* marker =
        dynamic_cast<PictureWidget*>(findWidget(QStringLiteral("imgButton%1").arg(Index)));
    auto* source = dynamic_cast<PictureWidget*>(findWidget(SourceName));
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
    lbStatus->setText(QString(std::max(FMarqueePos, 0), QLatin1Char(' ')) + QLatin1String(arrow));
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
                lbDevType->setText(QString::fromStdString(kind.text));
                BeginTest();
            }
        }
    }
    if (!attached && FConnected) {
        // Removed. The closed object stays referenced until the next one replaces it.
        FConnected = false;
        FDevice->Close();
        ResetTest();
        lbDevType->setText(QString());
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
    MarkButton(key, QStringLiteral("imgHint"));
    // The wait below blocks the window: paint the hint now, or the operator
    // would not see which key is asked until the wait is over.
    repaint();
    const std::uint8_t pressed = FDevice->WaitKey(kKeyWait);
    if (pressed == key) {
        MarkButton(key, QStringLiteral("imgGood"));
        if (FStep == kLastKeyStep) {
            FStep = -1;
            ShowPassed();
        } else {
            ++FStep;
        }
        return;
    }
    MarkButton(key, QStringLiteral("imgBad"));
    if (pressed >= 1 && pressed <= 6) {
        MarkButton(pressed, QStringLiteral("imgBad"));
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
