// The moving status marker while no evaluator is connected.
#include "StationFixture.h"

namespace {

std::string frame(int spaces, const char* arrow) {
    return std::string(static_cast<std::size_t>(spaces), ' ') + arrow;
}

class StatusMarkerTest : public StationTest {
protected:
    FakeKind hid;
};

TEST_F(StatusMarkerTest, SweepsRightThenLeftInAThirtyEightTickCycle) {
    start({{&hid, "HID"}});
    EXPECT_EQ(form_->lbStatus->text(), frame(19, ">>>")); // as laid out
    std::vector<std::string> frames;
    for (int i = 0; i < 40; ++i) {
        tick();
        frames.push_back(form_->lbStatus->text());
    }
    EXPECT_EQ(frames[0], frame(1, ">>>"));
    EXPECT_EQ(frames[18], frame(19, ">>>")); // turns at 19 spaces
    EXPECT_EQ(frames[19], frame(18, "<<<"));
    EXPECT_EQ(frames[36], frame(1, "<<<"));
    EXPECT_EQ(frames[37], frame(0, "<<<")); // turns at none
    EXPECT_EQ(frames[38], frame(1, ">>>"));
    EXPECT_EQ(frames[39], frames[1]);
    for (int i = 0; i < 19; ++i) {
        EXPECT_EQ(frames[i], frame(i + 1, ">>>")) << i;
        EXPECT_EQ(frames[19 + i], frame(18 - i, "<<<")) << i;
    }
}

TEST_F(StatusMarkerTest, PositionSurvivesAConnection) {
    start({{&hid, "HID"}});
    tick(21); // 19 right, then 18 and 17 on the way back
    EXPECT_EQ(form_->lbStatus->text(), frame(17, "<<<"));
    hid.present = true;
    hid.keys = {3};
    tick(2); // connected, lamps lit: the marker holds its frame
    EXPECT_EQ(form_->lbStatus->text(), frame(17, "<<<"));
    tick();
    EXPECT_EQ(form_->lbStatus->text(), kFailWord);
    hid.present = false;
    tick(); // removal, and the marker moves on in the same tick
    EXPECT_EQ(form_->lbStatus->text(), frame(16, "<<<"));
}

} // namespace
