// The Qt window itself: its photograph, its fonts, its status words, when it
// paints, and what it passes on of the mouse and the timer.
#include "QtFixture.h"

#include "JpegDecoder.h"
#include "ScreenChecks.h"

#include <QApplication>
#include <QFile>
#include <QFontInfo>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QRawFont>
#include <QScreen>
#include <QTimer>
#include <QTimerEvent>

#include <cstdlib>
#include <map>

namespace {

class WindowTest : public QtStationTest {
protected:
    FakeKind hid;

    void SetUp() override {
        QtStationTest::SetUp();
        startWindow({{&hid, "HID"}});
    }
};

std::string resource(const char* name) {
    QFile file(QStringLiteral(":/station/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = file.readAll();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

TEST_F(WindowTest, PhotographIsAProgressiveJpegThatDecodesToItsSize) {
    const std::string jpeg = resource("evaluator.jpg");
    ASSERT_FALSE(jpeg.empty());
    // A progressive picture starts its frame with SOF2 (FF C2).
    EXPECT_NE(jpeg.find("\xFF\xC2"), std::string::npos);
    EXPECT_EQ(jpeg.find("\xFF\xC0"), std::string::npos);

    const QImage image = decodeJpeg(jpeg);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(600, 629));
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
    EXPECT_EQ(qAlpha(image.pixel(300, 300)), 255);
    EXPECT_EQ(qt_->picture("evaluator.jpg").toImage().convertToFormat(QImage::Format_RGB32), image);
}

TEST_F(WindowTest, DamagedPhotographDataGivesNoPictureOrAPartialOne) {
    const std::string jpeg = resource("evaluator.jpg");
    EXPECT_TRUE(decodeJpeg("").isNull());
    EXPECT_TRUE(decodeJpeg("GIF89a not a jpeg at all").isNull());
    EXPECT_TRUE(decodeJpeg(jpeg.substr(0, 20)).isNull()); // no frame header yet
    // Cut in the middle of the scans: libjpeg completes it with grey.
    const QImage partial = decodeJpeg(jpeg.substr(0, jpeg.size() / 2));
    EXPECT_EQ(partial.size(), QSize(600, 629));
    std::string wrongMarker = jpeg;
    wrongMarker[wrongMarker.find("\xFF\xC2") + 1] = '\xC3'; // lossless: libjpeg refuses it
    EXPECT_TRUE(decodeJpeg(wrongMarker).isNull());
}

// The GB2312 codes of the three characters of the status words.
const std::map<char16_t, std::uint16_t> kGb2312 = {
    {u'\u4E0D', 0xB2BB}, // 不
    {u'\u5408', 0xBACF}, // 合
    {u'\u683C', 0xB8F1}, // 格
};

std::string gb2312(std::u16string_view text) {
    std::string bytes;
    for (char16_t c : text) {
        const std::uint16_t code = kGb2312.at(c);
        bytes += static_cast<char>(code >> 8);
        bytes += static_cast<char>(code & 0xFF);
    }
    return bytes;
}

TEST(StatusWords, AreThePassAndFailWordsOfTheDevice) {
    EXPECT_EQ(gb2312(QString::fromUtf8(kPassWord).toStdU16String()), "\xBA\xCF\xB8\xF1");
    EXPECT_EQ(gb2312(QString::fromUtf8(kFailWord).toStdU16String()), "\xB2\xBB\xBA\xCF\xB8\xF1");
}

TEST_F(WindowTest, TheLabelsFontHasTheChineseCharacters) {
    for (const Widget* label : {station().lbStatus, station().lbCount}) {
        const QFont font = labelFont(label->font());
        const QRawFont raw = QRawFont::fromFont(font, QFontDatabase::SimplifiedChinese);
        ASSERT_TRUE(raw.isValid()) << label->objectName();
        for (char16_t c : QString::fromUtf8(kFailWord).toStdU16String()) {
            EXPECT_TRUE(raw.supportsCharacter(QChar(c)))
                << label->objectName() << " in " << raw.familyName().toStdString();
        }
        EXPECT_TRUE(QFontInfo(font).bold());
        EXPECT_EQ(QFontInfo(font).pixelSize(), label == station().lbCount ? 32 : 24);
    }
}

// Counts the paint events the window receives.
class PaintCounter final : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return false;
    }
};

TEST_F(WindowTest, TheAskedKeyIsPaintedBeforeItsWaitBegins) {
    PaintCounter counter;
    qt_->installEventFilter(&counter);
    hid.present = true;
    hid.keys = {1, 2};
    std::vector<int> paintsAtWait;
    hid.onWaitKey = [&](int) { paintsAtWait.push_back(counter.paints); };
    station().Timer1Timer(); // connects and prompts
    station().Timer1Timer(); // the lamps
    const int before = counter.paints;
    station().Timer1Timer(); // key 1: no event loop runs between the mark and the wait
    station().Timer1Timer();
    ASSERT_EQ(paintsAtWait.size(), 2u);
    EXPECT_GT(paintsAtWait[0], before) << "the hint of key 1 was not on screen during its wait";
    EXPECT_GT(paintsAtWait[1], paintsAtWait[0]);
    qt_->removeEventFilter(&counter);
}

void sendDoubleClick(QWidget* window, QPoint at, Qt::MouseButton button) {
    QMouseEvent event(QEvent::MouseButtonDblClick, QPointF(at), window->mapToGlobal(QPointF(at)),
                      button, button, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &event);
}

TEST_F(WindowTest, OnlyALeftDoubleClickOnTheCountResetsIt) {
    qt_.reset();
    writeIni("[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
    startWindow({{&hid, "HID"}});
    const QPoint onCount(600, 50);
    sendDoubleClick(qt_.get(), onCount, Qt::RightButton);
    sendDoubleClick(qt_.get(), onCount, Qt::MiddleButton);
    sendDoubleClick(qt_.get(), QPoint(300, 300), Qt::LeftButton); // on the photograph
    EXPECT_EQ(station().lbCount->text(), "3/5");
    EXPECT_EQ(iniText(), "[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
    sendDoubleClick(qt_.get(), onCount, Qt::LeftButton);
    EXPECT_EQ(station().lbCount->text(), "0/0");
    EXPECT_EQ(iniText(), "[COUNT]\r\nPassed=0\r\nTotal=0\r\n");
}

// The right-most and left-most columns holding white text in the count label.
std::pair<int, int> whiteColumns(const QImage& shot) {
    int left = -1;
    int right = -1;
    for (int x = 512; x < 512 + 170; ++x) {
        for (int y = 24; y < 24 + 57; ++y) {
            if (qRed(shot.pixel(x, y)) > 200) {
                left = left < 0 ? x : left;
                right = x;
                break;
            }
        }
    }
    return {left, right};
}

TEST_F(WindowTest, ALongCountShrinksToFitRightAligned) {
    qt_.reset();
    writeIni("[COUNT]\r\nPassed=12346\r\nTotal=12347\r\n");
    startWindow({{&hid, "HID"}});
    const QImage shot = grab();
    saveScreenshot(shot, "long-count.png");
    const auto [left, right] = whiteColumns(shot);
    // Every digit is inside the label, and the text still ends at its right edge.
    EXPECT_GT(left, 512 + 1) << "the count is cut off on the left";
    EXPECT_GT(right, 512 + 170 - 12);

    station().lbCount->setText("3/5"); // a short count keeps the full size
    const auto [shortLeft, shortRight] = whiteColumns(grab());
    EXPECT_GT(shortLeft, 512 + 80);
    EXPECT_GT(shortRight, 512 + 170 - 12);
}

TEST_F(WindowTest, NoTickRunsWhileTheErrorBoxIsOpen) {
    qt_.reset();
    sim::machine().failAlways("WritePrivateProfileStringA", ERROR_ACCESS_DENIED);
    startWindow({{&hid, "HID"}});
    qt_->setTimerInterval(100);
    std::vector<std::string> statusDuringBox;
    bool boxSeen = false;
    // Once the box's own loop runs: deliver the timer to the window as that
    // loop would, then press OK.
    QTimer::singleShot(0, [&] {
        QWidget* box = QApplication::activeModalWidget();
        boxSeen = dynamic_cast<QMessageBox*>(box) != nullptr;
        for (int i = 0; i < 3; ++i) {
            QTimerEvent tick(qt_->timerId());
            QCoreApplication::sendEvent(qt_.get(), &tick);
            statusDuringBox.push_back(station().lbStatus->text());
        }
        if (box != nullptr) {
            box->close();
        }
    });
    sendDoubleClick(qt_.get(), QPoint(600, 50), Qt::LeftButton); // the refused reset
    EXPECT_TRUE(boxSeen);
    EXPECT_EQ(statusDuringBox,
              std::vector<std::string>(3, std::string(19, ' ') + ">>>")); // as laid out
    QTimerEvent tick(qt_->timerId());
    QCoreApplication::sendEvent(qt_.get(), &tick);
    EXPECT_EQ(station().lbStatus->text(), " >>>"); // polling resumed
    sim::machine().reset();
}

Image imageOf(const QImage& source) {
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    Image copy{image.width(), image.height(), {}};
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(image.constScanLine(y));
        copy.pixels.insert(copy.pixels.end(), row, row + image.width());
    }
    return copy;
}

// The four states that the Win32 window must draw alike, drawn by this one,
// and checked on this screen. CTest runs it on each screen and scale of a
// table too (CMakeLists.txt), named in EVALUATOR_SCREEN ("1.5 1920x1080").
TEST_F(WindowTest, WritesTheStatesTheWindowsAreComparedIn) {
    const char* screen = std::getenv("EVALUATOR_SCREEN");
    const auto dir = outputDirectory(screen ? screen : "states");
    auto save = [&](const char* name) {
        const QImage shot = grab();
        EXPECT_TRUE(shot.save(QString::fromStdString((dir / name).string())));
        SCOPED_TRACE(name);
        const qreal ratio = qt_->devicePixelRatioF();
        const QSize size = qt_->screen()->geometry().size() * ratio;
        const QString seen =
            QStringLiteral("%1 %2x%3").arg(ratio).arg(size.width()).arg(size.height());
        auto area = [](const QRect& r) { return ScreenArea{r.x(), r.y(), r.width(), r.height()}; };
        expectShown(
            station().model(), imageOf(shot), qt_->deviceScale(), seen.toStdString(), ratio,
            area(qt_->screen()->availableGeometry()), area(qt_->frameGeometry()),
            [&](const Widget& widget) { return imageOf(qt_->picture(widget.picture()).toImage()); },
            [&](const Widget& label, const WidgetFont& font, const WidgetRect& box) {
                const QRect area(box.left, box.top, box.width, box.height);
                QImage text(shot.size(), QImage::Format_RGB32); // laid out where the window has it
                text.fill(Qt::black);
                QPainter painter(&text);
                painter.setFont(labelFont(font));
                painter.setPen(Qt::white);
                painter.drawText(
                    area,
                    (label.alignment() == TextAlign::Right ? Qt::AlignRight : Qt::AlignLeft) |
                        Qt::AlignVCenter | Qt::TextSingleLine,
                    QString::fromStdString(label.text()));
                painter.end();
                return imageOf(text.copy(area));
            });
    };
    tickWindow(5);
    save("idle.png");
    hid.present = true;
    hid.keys = {1, 2, 3, 4, 5, 6};
    hid.onWaitKey = [&](int key) {
        if (key == 3 && hid.keys.size() == 3) {
            save("key-asked.png");
        }
    };
    tickWindow(8);
    save("passed.png");
    EXPECT_EQ(station().lbCount->text(), "1/1");

    qt_.reset(); // a fresh station, with fresh counters
    std::filesystem::remove(iniPath());
    FakeKind failing;
    failing.present = true;
    failing.keys = {1, 2, 3, 5}; // key 5 pressed when key 4 is asked
    startWindow({{&failing, "HID"}});
    tickWindow(6);
    save("failed.png");
    EXPECT_EQ(station().lbCount->text(), "0/1");
    qt_.reset(); // before the kind its objects report to
}

} // namespace
