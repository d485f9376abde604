// What the operator sees: screenshots of the window in its main states, with
// the overlays checked pixel by pixel against the photograph beneath them.
#include "QtFixture.h"

#include <QPainter>

namespace {

// Where the layout puts things, in window coordinates.
const QRect kMarkers[7] = {{},
                           {273, 511, 46, 35},
                           {327, 490, 46, 35},
                           {379, 469, 46, 35},
                           {429, 449, 46, 35},
                           {478, 430, 46, 35},
                           {526, 412, 46, 35}};
const QRect kLamps[5] = {{323, 319, 17, 18},
                         {356, 310, 17, 18},
                         {389, 298, 17, 18},
                         {419, 288, 17, 18},
                         {451, 280, 17, 18}};
const QRect kPower(493, 288, 16, 17);
const QRect kResult(224, 40, 200, 200);
const QRect kLabels[3] = {{512, 24, 170, 57}, {376, 600, 282, 30}, {24, 541, 97, 42}};
const QPoint kPhotoOrigin(45, 7); // the 600 x 629 photograph, centred in 690 x 643

using Colour = bool (*)(QRgb);
bool yellow(QRgb c) {
    return qRed(c) > 180 && qGreen(c) > 150 && qBlue(c) < 110;
}
bool green(QRgb c) {
    return qGreen(c) > 130 && qRed(c) < 140 && qBlue(c) < 140;
}
bool red(QRgb c) {
    return qRed(c) > 150 && qGreen(c) < 100 && qBlue(c) < 100;
}
bool blue(QRgb c) {
    return qBlue(c) > 140 && qRed(c) < 120 && qBlue(c) > qGreen(c) + 20;
}
bool white(QRgb c) {
    return qRed(c) > 200 && qGreen(c) > 200 && qBlue(c) > 200;
}

int count(const QImage& shot, const QRect& area, Colour colour) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            n += colour(shot.pixel(x, y)) ? 1 : 0;
        }
    }
    return n;
}

class PictureTest : public QtStationTest {
protected:
    FakeKind hid;

    void SetUp() override {
        QtStationTest::SetUp();
        startWindow({{&hid, "HID"}});
        photo_ = qt_->picture("evaluator.jpg").toImage().convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(photo_.size(), QSize(600, 629));
    }

    QImage screenshot(const char* name) {
        const QImage shot = grab();
        saveScreenshot(shot, name);
        return shot;
    }

    // The window shows the bare photograph in this area.
    bool showsPhotograph(const QImage& shot, const QRect& area) const {
        return shot.copy(area) == photo_.copy(area.translated(-kPhotoOrigin));
    }

    QImage photo_;
};

TEST_F(PictureTest, IdleShowsOnlyThePhotographCentredAndTheLabels) {
    const QImage shot = screenshot("idle.png");
    ASSERT_EQ(shot.size(), QSize(690, 643));
    for (int y = 0; y < shot.height(); y += 3) {
        for (int x = 0; x < shot.width(); x += 3) {
            const QPoint at(x, y);
            bool onLabel = false;
            for (const QRect& label : kLabels) {
                onLabel = onLabel || label.contains(at);
            }
            if (onLabel) {
                continue;
            }
            const QPoint inPhoto = at - kPhotoOrigin;
            const QRgb expected =
                photo_.rect().contains(inPhoto) ? photo_.pixel(inPhoto) : qRgb(0, 0, 0);
            ASSERT_EQ(shot.pixel(at), expected) << x << "," << y;
        }
    }
    // The labels are opaque black; the count is written in white.
    EXPECT_GT(count(shot, kLabels[0], white), 50);
    EXPECT_EQ(shot.pixel(kLabels[0].topLeft() + QPoint(2, 2)), qRgb(0, 0, 0));
}

TEST_F(PictureTest, RepaintingOnlyAChangedAreaGivesTheWholePicture) {
    // The window draws only the widgets in the area being painted, from the
    // topmost label that covers it all: each area repainted over the old
    // picture must give what a whole repaint gives.
    hid.present = true;
    hid.keys = {1, 2, 3};
    station().Timer1Timer(); // connects and prompts: power lamp, status text
    station().Timer1Timer(); // the star lamps
    const QImage before = grab();
    station().Timer1Timer(); // key 1 asked and pressed: its marker, the status line
    const QImage whole = grab();
    for (const QRect& area :
         {kLabels[1], kLabels[1].adjusted(2, 2, -2, -2), kLabels[1].adjusted(-20, -20, 20, 20),
          kMarkers[1], kLamps[2], QRect(kMarkers[1].center(), kLamps[4].center()).normalized()}) {
        QImage partial = before.copy();
        QPainter painter(&partial);
        qt_->render(&painter, area.topLeft(), QRegion(area));
        painter.end();
        EXPECT_EQ(partial.copy(area), whole.copy(area))
            << area.x() << "," << area.y() << " " << area.width() << "x" << area.height();
    }
}

TEST_F(PictureTest, KeyThreeAskedShowsLampsPowerAndMarkers) {
    QImage shot;
    hid.present = true;
    hid.keys = {1, 2, 3};
    hid.onWaitKey = [&](int key) {
        if (key == 3) {
            shot = screenshot("key3-asked.png");
        }
    };
    tickWindow(5);
    ASSERT_FALSE(shot.isNull());

    EXPECT_GT(count(shot, kMarkers[3], yellow), 300);
    for (int key : {1, 2}) {
        EXPECT_GT(count(shot, kMarkers[key], green), 100) << key;
        EXPECT_EQ(count(shot, kMarkers[key], yellow), 0) << key;
    }
    for (int key : {4, 5, 6}) {
        EXPECT_TRUE(showsPhotograph(shot, kMarkers[key])) << key;
    }
    for (const QRect& lamp : kLamps) {
        EXPECT_FALSE(showsPhotograph(shot, lamp));
        EXPECT_GT(count(shot, lamp, red), 40) << lamp.x();
    }
    EXPECT_FALSE(showsPhotograph(shot, kPower));
    EXPECT_GT(count(shot, kPower, blue), 40);
    EXPECT_TRUE(showsPhotograph(shot, kResult));
}

TEST_F(PictureTest, PassedShowsTheBigTickAndTheWord) {
    hid.present = true;
    hid.keys = {1, 2, 3, 4, 5, 6};
    tickWindow(8);
    const QImage shot = screenshot("passed.png");
    for (int key = 1; key <= 6; ++key) {
        EXPECT_GT(count(shot, kMarkers[key], green), 100) << key;
    }
    EXPECT_GT(count(shot, kResult, green), 3000);
    EXPECT_LT(count(shot, kResult, red), 50);
    EXPECT_GT(count(shot, kLabels[1], white), 100); // the pass word
    EXPECT_GT(count(shot, kLabels[2], white), 50);  // "HID"
}

TEST_F(PictureTest, FailedShowsTheBigCrossAndBothBadKeys) {
    hid.present = true;
    hid.keys = {1, 4}; // key 4 pressed when key 2 is asked
    tickWindow(4);
    const QImage shot = screenshot("failed.png");
    EXPECT_GT(count(shot, kMarkers[1], green), 100);
    EXPECT_GT(count(shot, kMarkers[2], red), 100);
    EXPECT_GT(count(shot, kMarkers[4], red), 100);
    for (int key : {3, 5, 6}) {
        EXPECT_TRUE(showsPhotograph(shot, kMarkers[key])) << key;
    }
    EXPECT_GT(count(shot, kResult, red), 3000);
    EXPECT_LT(count(shot, kResult, green), 50);
    EXPECT_GT(count(shot, kLabels[1], white), 150); // the fail word, three characters

    // Unplugged: back to the bare photograph.
    hid.present = false;
    tickWindow();
    const QImage cleared = screenshot("removed.png");
    for (int key = 1; key <= 6; ++key) {
        EXPECT_TRUE(showsPhotograph(cleared, kMarkers[key])) << key;
    }
    EXPECT_TRUE(showsPhotograph(cleared, kResult));
    EXPECT_TRUE(showsPhotograph(cleared, kPower));
}

} // namespace
