// The tick and the test sequence, driven with scripted evaluators.
#include "StationFixture.h"

#include <algorithm>

namespace {

using Log = std::vector<std::string>;

std::vector<int> keysUpTo(int last) {
    std::vector<int> keys;
    for (int key = 1; key <= last; ++key) {
        keys.push_back(key);
    }
    return keys;
}

class SequenceTest : public StationTest {
protected:
    FakeKind hid;
    FakeKind pl2303;
    FakeKind ftdi;

    void startAll() { start({{&hid, "HID"}, {&pl2303, "2303"}, {&ftdi, "FTDI"}}); }
};

TEST_F(SequenceTest, PassingTestRunsOneStepOnEachOfTheSevenTicksAfterConnecting) {
    startAll();
    hid.present = true;
    hid.keys = {1, 2, 3, 4, 5, 6};

    // While each key is awaited: earlier keys good, this one hinted (and already
    // painted, since the wait blocks the window), later ones not shown.
    std::vector<int> hintPainted(7, 0);
    window_.onPaint = [&] {
        for (int key : markersShowing(form_->imgHint)) {
            ++hintPainted[key];
        }
    };
    int asked = 0;
    hid.onWaitKey = [&](int) {
        ++asked;
        EXPECT_EQ(markersShowing(form_->imgGood), keysUpTo(asked - 1)) << "key " << asked;
        EXPECT_EQ(markersShowing(form_->imgHint), std::vector<int>{asked});
        EXPECT_EQ(hintPainted[asked], 1) << "hint of key " << asked << " not painted";
        for (int later = asked + 1; later <= 6; ++later) {
            EXPECT_FALSE(marker(later)->isVisible()) << later;
        }
        EXPECT_EQ(form_->Timer1->interval(), 100);
    };

    tick(); // connects, counts and prompts in the same tick
    EXPECT_EQ(hid.log, (Log{"Open", "Prompt"}));
    EXPECT_EQ(form_->lbDevType->text(), "HID");
    EXPECT_EQ(form_->lbCount->text(), "0/1");
    EXPECT_TRUE(form_->imgPower->isVisible());
    EXPECT_TRUE(visibleLamps().empty());
    EXPECT_EQ(form_->Timer1->interval(), 2000);
    EXPECT_TRUE(form_->Timer1->isActive());

    tick(); // the pause is over
    EXPECT_EQ(hid.log, (Log{"Open", "Prompt", "SetLevel 5"}));
    EXPECT_EQ(visibleLamps(), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(form_->Timer1->interval(), 100);

    for (int key = 1; key <= 6; ++key) { // one key per tick
        tick();
        EXPECT_EQ(asked, key);
        EXPECT_EQ(form_->Timer1->interval(), 100);
    }
    EXPECT_EQ(hid.log, (Log{"Open", "Prompt", "SetLevel 5", "WaitKey 5000", "WaitKey 5000",
                            "WaitKey 5000", "WaitKey 5000", "WaitKey 5000", "WaitKey 5000"}));
    EXPECT_EQ(markersShowing(form_->imgGood), keysUpTo(6));
    EXPECT_EQ(form_->lbStatus->text(), kPassWord);
    EXPECT_TRUE(form_->imgPassed->isVisible());
    EXPECT_FALSE(form_->imgFailed->isVisible());
    EXPECT_EQ(form_->lbCount->text(), "1/1");
    EXPECT_EQ(iniText(), "[COUNT]\r\nTotal=1\r\nPassed=1\r\n");

    // The result stays while the evaluator is attached; nothing more is asked.
    tick(5);
    EXPECT_EQ(hid.log.size(), 9u);
    EXPECT_TRUE(form_->imgPassed->isVisible());
    EXPECT_EQ(form_->lbStatus->text(), kPassWord);
    EXPECT_EQ(hid.created, 1);
}

struct FailingCase {
    const char* name;
    int asked;             // the key being asked when the wrong answer comes
    std::uint8_t pressed;  // what WaitKey returns then
    std::vector<int> bad;  // markers showing the bad picture afterwards
    std::vector<int> good; // markers still showing the good picture
};

class FailingKey : public SequenceTest, public ::testing::WithParamInterface<FailingCase> {};

TEST_P(FailingKey, MarksTheAskedKeyAndAValidWrongKeyBad) {
    const FailingCase& c = GetParam();
    startAll();
    hid.present = true;
    for (int key = 1; key < c.asked; ++key) {
        hid.keys.push_back(static_cast<std::uint8_t>(key));
    }
    hid.keys.push_back(c.pressed);

    tick(2 + c.asked);
    EXPECT_EQ(markersShowing(form_->imgBad), c.bad);
    EXPECT_EQ(markersShowing(form_->imgGood), c.good);
    EXPECT_EQ(markersShowing(form_->imgHint), std::vector<int>{});
    EXPECT_EQ(form_->lbStatus->text(), kFailWord);
    EXPECT_TRUE(form_->imgFailed->isVisible());
    EXPECT_FALSE(form_->imgPassed->isVisible());
    EXPECT_EQ(form_->lbCount->text(), "0/1");
    EXPECT_EQ(iniText(), "[COUNT]\r\nTotal=1\r\n");

    // The test has ended: no further key is asked while the evaluator stays.
    const auto asked = hid.log.size();
    tick(3);
    EXPECT_EQ(hid.log.size(), asked);
    EXPECT_EQ(form_->lbStatus->text(), kFailWord);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FailingKey,
    ::testing::Values(FailingCase{"TimeOutAtKey1", 1, 0, {1}, {}},
                      FailingCase{"Key4WhenKey2IsAsked", 2, 4, {2, 4}, {1}},
                      FailingCase{"Key1WhenKey3IsAskedTurnsGoodToBad", 3, 1, {1, 3}, {2}},
                      FailingCase{"HidLinkFailedAtKey5", 5, 255, {5}, {1, 2, 3, 4}},
                      FailingCase{"Key7AtKey6", 6, 7, {6}, {1, 2, 3, 4, 5}},
                      FailingCase{"TimeOutAtKey6", 6, 0, {6}, {1, 2, 3, 4, 5}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RemovalCase {
    const char* name;
    std::vector<std::uint8_t> keys;
    int ticksBefore; // ticks with the evaluator attached, the first one connecting
};

class Removal : public SequenceTest, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(Removal, ClearsTheDisplayAndKeepsTheClosedObjectUntilReplaced) {
    const RemovalCase& c = GetParam();
    startAll();
    hid.present = true;
    hid.keys.assign(c.keys.begin(), c.keys.end());
    tick(c.ticksBefore);
    ASSERT_EQ(hid.created, 1);

    hid.present = false;
    tick();
    EXPECT_EQ(hid.log.back(), "Close");
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_TRUE(form_->lbStatus->text().ends_with(">>>") ||
                form_->lbStatus->text().ends_with("<<<"))
        << form_->lbStatus->text();
    EXPECT_EQ(form_->Timer1->interval(), 100);
    EXPECT_TRUE(hid.lastHeldClosed());
    EXPECT_EQ(hid.alive, 1);
    EXPECT_EQ(form_->lbCount->text(), c.name == std::string("Passed") ? "1/1" : "0/1");

    // Still removed: nothing more happens to the closed object.
    tick(2);
    EXPECT_EQ(hid.log.back(), "Close");

    // Attached again: a new object replaces the closed one, which goes at once.
    hid.present = true;
    hid.keys = {1};
    tick();
    EXPECT_EQ(hid.created, 2);
    EXPECT_EQ(hid.alive, 1);
    EXPECT_EQ((Log{hid.log.end() - 4, hid.log.end()}),
              (Log{"Close", "destroyed", "Open", "Prompt"}));
    EXPECT_EQ(form_->lbDevType->text(), "HID");
    EXPECT_TRUE(form_->imgPower->isVisible());
    EXPECT_EQ(form_->Timer1->interval(), 2000);
    tick(2);
    EXPECT_EQ(markersShowing(form_->imgGood), std::vector<int>{1});
    EXPECT_EQ(markersShowing(form_->imgHint), std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(States, Removal,
                         ::testing::Values(RemovalCase{"Pause", {}, 1},
                                           RemovalCase{"Key2Wait", {1}, 3},
                                           RemovalCase{"Passed", {1, 2, 3, 4, 5, 6}, 8},
                                           RemovalCase{"Failed", {1, 5}, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SequenceTest, RemovalDuringAKeyWaitFailsThatKeyAndClearsOnTheNextTick) {
    startAll();
    hid.present = true;
    hid.keys = {1, 0};
    hid.onWaitKey = [&](int) {
        if (hid.keys.empty()) {
            hid.present = false; // unplugged while key 2 is awaited: the wait gets no key
        }
    };
    tick(4);
    EXPECT_EQ(markersShowing(form_->imgBad), std::vector<int>{2});
    EXPECT_EQ(form_->lbStatus->text(), kFailWord);
    EXPECT_TRUE(form_->imgFailed->isVisible());

    tick();
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_EQ(form_->lbStatus->text(), " >>>");
}

TEST_F(SequenceTest, RemovalDuringThePauseRestoresThePollingRate) {
    startAll();
    hid.present = true;
    tick();
    EXPECT_EQ(form_->Timer1->interval(), 2000);
    hid.present = false;
    tick();
    EXPECT_EQ(hid.log, (Log{"Open", "Prompt", "Close"}));
    // The pause ended with the evaluator: attached evaluators are looked for at
    // the idle rate again, not every two seconds.
    EXPECT_EQ(form_->Timer1->interval(), 100);
    EXPECT_TRUE(visibleLamps().empty());
}

TEST_F(SequenceTest, FailedOpenIsRetriedWithANewObjectEachTickAndNotCounted) {
    startAll();
    hid.present = true;
    hid.openResult = false;
    tick();
    EXPECT_EQ(form_->lbStatus->text(), " >>>");
    tick(2);
    EXPECT_EQ(hid.created, 3);
    EXPECT_EQ(hid.alive, 1); // each replaced object went at once
    EXPECT_EQ(hid.log, (Log{"Open", "destroyed", "Open", "destroyed", "Open"}));
    EXPECT_EQ(form_->lbStatus->text(), "   >>>");
    EXPECT_EQ(form_->lbCount->text(), "0/0");
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_FALSE(iniExists());

    hid.openResult = true;
    tick();
    EXPECT_EQ(hid.created, 4);
    EXPECT_EQ(form_->lbCount->text(), "0/1");
    EXPECT_EQ(form_->lbDevType->text(), "HID");
}

TEST_F(SequenceTest, FirstKindWhoseOpenSucceedsIsTaken) {
    startAll();
    hid.present = true;
    hid.openResult = false;
    pl2303.present = true;
    ftdi.present = true;
    tick();
    EXPECT_EQ(form_->lbDevType->text(), "2303");
    EXPECT_EQ(hid.log, (Log{"Open", "destroyed"}));
    EXPECT_EQ(pl2303.log, (Log{"Open", "Prompt"}));
    EXPECT_EQ(ftdi.created, 0);
    EXPECT_EQ(form_->lbCount->text(), "0/1");

    // Once connected, no other kind is opened while any of them stays attached.
    hid.openResult = true;
    tick(3);
    EXPECT_EQ(hid.created, 1);
    EXPECT_EQ(ftdi.created, 0);
    EXPECT_EQ(form_->lbDevType->text(), "2303");
}

TEST_F(SequenceTest, RemovalIsNoticedOnlyWhenEveryKindIsAbsent) {
    startAll();
    hid.present = true;
    pl2303.present = true;
    hid.keys = {1, 2, 3};
    tick(3);

    hid.present = false; // the HID evaluator goes; the adapter stays
    tick();
    EXPECT_EQ(form_->lbDevType->text(), "HID");
    EXPECT_EQ(markersShowing(form_->imgGood), (std::vector<int>{1, 2}));
    EXPECT_EQ(pl2303.created, 0);
    EXPECT_EQ(std::count(hid.log.begin(), hid.log.end(), "Close"), 0);

    pl2303.present = false;
    tick();
    EXPECT_EQ(hid.log.back(), "Close");
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_FALSE(anyTaggedVisible());
}

TEST_F(SequenceTest, DestroyingTheWindowReleasesTheDevice) {
    startAll();
    hid.present = true;
    tick();
    ASSERT_EQ(hid.alive, 1);
    form_.reset();
    EXPECT_EQ(hid.alive, 0);
}

TEST_F(SequenceTest, MarkButtonIgnoresUnknownNamesAndMatchesWithoutCase) {
    start(std::vector<LinkKind>{});
    form_->MarkButton(0, "imgHint");
    form_->MarkButton(7, "imgHint");
    form_->MarkButton(-1, "imgHint");
    form_->MarkButton(2, "imgNothing");
    EXPECT_FALSE(anyTaggedVisible());

    form_->MarkButton(2, "IMGHINT");
    EXPECT_EQ(markersShowing(form_->imgHint), std::vector<int>{2});
    EXPECT_EQ(form_->findWidget("IMGBUTTON2"), marker(2));
}

} // namespace
