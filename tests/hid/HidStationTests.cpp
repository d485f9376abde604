// The station window with the product's HID kind, end to end on the simulated
// machine: an evaluator plugged in as a HID device is found on the next tick,
// opened, counted and tested report by report, and unplugging it clears the
// display.
#include "HidFixture.h"
#include "StationFixture.h"
#include "uHIDMivoDevice.h"

#include <deque>
#include <string>
#include <vector>

namespace {

using hidtest::bytes;
using hidtest::hidPath;
using Reports = std::vector<std::string>;

const std::string kPromptReport = bytes({1, 0, 255});
const std::string kLevelReport = bytes({3, 5, 250});
const Reports kKeyWait = {bytes({1, 1, 254}), bytes({2, 1, 254}), bytes({2, 0, 255}),
                          bytes({4, 0, 255})};

class HidStationTest : public LinkedStationTest {
protected:
    // The product's HID kind, which must come first in the product's table.
    static LinkKind hidKind() {
        std::vector<LinkKind> kinds = productLinkKinds();
        EXPECT_FALSE(kinds.empty());
        EXPECT_EQ(kinds.front().text, "HID");
        return kinds.front();
    }

    // An evaluator whose operator presses the next key of keys pressDelay ms
    // after key capture goes on.
    void plugEvaluator(std::deque<int> keys, std::uint64_t pressDelay = 700) {
        evaluator = hidtest::plugEvaluator(0);
        evaluator->onWrite = [keys, pressDelay](sim::HidDevice& d,
                                                const std::string& report) mutable {
            if (report == bytes({2, 1, 254}) && !keys.empty()) {
                d.queueInput(sim::machine().now() + pressDelay, bytes({5, keys.front(), 0}));
                keys.pop_front();
            }
        };
    }
    void unplugAt(std::uint64_t when) { sim::unplugHidAt(when, hidPath(0x10C4, 0x82CD, 0)); }

    // The timer's next tick: its interval passes on the clock, then it fires.
    void nextTick(int count = 1) {
        for (int i = 0; i < count; ++i) {
            sim::machine().advance(static_cast<std::uint64_t>(form_->Timer1->interval()));
            tick();
        }
    }

    static Reports reports(std::initializer_list<Reports> parts) {
        Reports all;
        for (const auto& part : parts) {
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }

    std::shared_ptr<sim::HidDevice> evaluator;
};

TEST_F(HidStationTest, APassingEvaluatorIsFoundOpenedCountedAndTested) {
    start({hidKind()});
    nextTick(3); // idle: nothing attached
    EXPECT_EQ(form_->lbCount->text(), "0/0");

    plugEvaluator({1, 2, 3, 4, 5, 6});
    nextTick(); // found, opened, counted, prompted
    EXPECT_EQ(form_->lbDevType->text(), "HID");
    EXPECT_EQ(form_->lbCount->text(), "0/1");
    EXPECT_EQ(evaluator->writtenBytes(), Reports{kPromptReport});
    EXPECT_EQ(sim::machine().openHandles("file"), 0u); // closed after the prompt
    EXPECT_EQ(form_->Timer1->interval(), 2000);

    const std::uint64_t promptAt = evaluator->written[0].when;
    nextTick();                                                 // the lamps
    EXPECT_EQ(evaluator->written[1].when, promptAt + 2000 + 1); // each write takes 1 ms
    EXPECT_EQ(visibleLamps(), (std::vector<int>{1, 2, 3, 4, 5}));

    nextTick(6);
    EXPECT_EQ(evaluator->writtenBytes(), reports({{kPromptReport, kLevelReport},
                                                  kKeyWait,
                                                  kKeyWait,
                                                  kKeyWait,
                                                  kKeyWait,
                                                  kKeyWait,
                                                  kKeyWait}));
    EXPECT_EQ(markersShowing(form_->imgGood), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(form_->imgPassed->isVisible());
    EXPECT_EQ(form_->lbStatus->text(), kPassWord);
    EXPECT_EQ(form_->lbCount->text(), "1/1");
    EXPECT_EQ(iniText(), "[COUNT]\r\nTotal=1\r\nPassed=1\r\n");

    // Attached and idle: the result stays, nothing more goes to the device.
    nextTick(10);
    EXPECT_EQ(evaluator->written.size(), 26u);
    EXPECT_TRUE(form_->imgPassed->isVisible());

    sim::unplugHid(hidPath(0x10C4, 0x82CD, 0));
    nextTick();
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_EQ(form_->lbCount->text(), "1/1");
}

TEST_F(HidStationTest, AWrongKeyFailsTheTestAtThatKey) {
    start({hidKind()});
    plugEvaluator({1, 2, 5});
    nextTick(2 + 3);
    EXPECT_EQ(markersShowing(form_->imgGood), (std::vector<int>{1, 2}));
    EXPECT_EQ(markersShowing(form_->imgBad), (std::vector<int>{3, 5}));
    EXPECT_TRUE(form_->imgFailed->isVisible());
    EXPECT_EQ(form_->lbStatus->text(), kFailWord);
    EXPECT_EQ(form_->lbCount->text(), "0/1");
    EXPECT_EQ(evaluator->writtenBytes(),
              reports({{kPromptReport, kLevelReport}, kKeyWait, kKeyWait, kKeyWait}));

    // A key that never comes: the wait runs its five seconds and fails too.
    sim::unplugHid(hidPath(0x10C4, 0x82CD, 0));
    nextTick();
    plugEvaluator({});
    nextTick(2);
    const std::uint64_t waitStart = sim::machine().now() + 100;
    nextTick();
    EXPECT_EQ(sim::machine().now() - waitStart, 5000u + 4u); // the wait and four writes
    EXPECT_EQ(form_->lbCount->text(), "0/2");
    EXPECT_EQ(markersShowing(form_->imgBad), (std::vector<int>{1}));
    EXPECT_TRUE(form_->imgFailed->isVisible());
}

TEST_F(HidStationTest, UnpluggingDuringThePauseAbandonsTheTest) {
    start({hidKind()});
    plugEvaluator({1, 2, 3, 4, 5, 6});
    nextTick();
    ASSERT_EQ(form_->lbDevType->text(), "HID");
    unplugAt(sim::machine().now() + 500);

    nextTick(); // two seconds after the prompt: gone
    EXPECT_EQ(evaluator->writtenBytes(), Reports{kPromptReport});
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_EQ(form_->lbCount->text(), "0/1");

    // Plugged in again: a new test on the next tick.
    plugEvaluator({1});
    nextTick();
    EXPECT_EQ(form_->lbDevType->text(), "HID");
    EXPECT_EQ(form_->lbCount->text(), "0/2");
}

TEST_F(HidStationTest, UnpluggingDuringAKeyWaitFailsThatKeyThenClears) {
    start({hidKind()});
    plugEvaluator({1}, 700);
    nextTick(2 + 1); // connected, lamps, key 1 pressed
    ASSERT_EQ(markersShowing(form_->imgGood), std::vector<int>{1});

    unplugAt(sim::machine().now() + 100 + 1500); // during the wait for key 2
    nextTick();
    EXPECT_EQ(markersShowing(form_->imgBad), std::vector<int>{2});
    EXPECT_TRUE(form_->imgFailed->isVisible());
    EXPECT_EQ(form_->lbDevType->text(), "HID"); // noticed on the next tick only
    EXPECT_EQ(sim::machine().openHandles("file"), 0u);

    nextTick();
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_EQ(form_->lbCount->text(), "0/1");
}

TEST_F(HidStationTest, AHidEvaluatorBeforeAnAdapterAndTheAdapterKeepsItAttached) {
    FakeKind pl2303;
    pl2303.present = true;
    start({hidKind(), pl2303.entry("2303")});
    plugEvaluator({1, 2, 3, 4, 5, 6});

    nextTick(2 + 6);
    EXPECT_EQ(form_->lbDevType->text(), "HID");
    EXPECT_EQ(pl2303.created, 0);
    EXPECT_TRUE(form_->imgPassed->isVisible());
    EXPECT_EQ(form_->lbCount->text(), "1/1");

    // The HID evaluator goes, the adapter stays: nobody notices.
    sim::unplugHid(hidPath(0x10C4, 0x82CD, 0));
    nextTick(3);
    EXPECT_EQ(form_->lbDevType->text(), "HID");
    EXPECT_TRUE(form_->imgPassed->isVisible());
    EXPECT_EQ(pl2303.created, 0);

    pl2303.present = false;
    nextTick();
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_EQ(form_->lbDevType->text(), "");
}

TEST_F(HidStationTest, AnEvaluatorThatCannotBeOpenedIsRetriedButNeverCounted) {
    start({hidKind()});
    plugEvaluator({1, 2, 3, 4, 5, 6});
    // Counted by the presence test and by Open's own count, gone when Open
    // opens it: no connection.
    sim::machine().failCall("CreateFileA", 3, ERROR_FILE_NOT_FOUND);
    nextTick();
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_EQ(form_->lbCount->text(), "0/0");
    EXPECT_TRUE(evaluator->written.empty());

    nextTick();
    EXPECT_EQ(form_->lbDevType->text(), "HID");
    EXPECT_EQ(form_->lbCount->text(), "0/1");
}

// A refused counters write at the connection ends that tick before the prompt,
// whose end is what closes the HID link. The link must not stay open: the next
// tick's presence count opens each device exclusively, would miss the
// evaluator, take it for removed, connect and count it again.
struct RefusedConnectionCase {
    const char* name;
    bool everyWrite; // every write refused, or only the connection's
};

class RefusedWriteAtConnection : public HidStationTest,
                                 public ::testing::WithParamInterface<RefusedConnectionCase> {
protected:
    void nextDeliveredTick(int count = 1) {
        for (int i = 0; i < count; ++i) {
            sim::machine().advance(static_cast<std::uint64_t>(form_->Timer1->interval()));
            deliverTick();
            seenTypes.push_back(form_->lbDevType->text());
        }
    }
    std::vector<std::string> seenTypes;
};

TEST_P(RefusedWriteAtConnection, OnePlugInIsOneCountAndOneBox) {
    writeIni("[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
    start({hidKind()});
    if (GetParam().everyWrite) {
        sim::machine().failAlways("WritePrivateProfileStringA", ERROR_ACCESS_DENIED);
    } else {
        sim::machine().clearCalls();
        sim::machine().failCall("WritePrivateProfileStringA", 1, ERROR_ACCESS_DENIED);
    }
    plugEvaluator({1, 2, 3, 4, 5, 6});
    nextDeliveredTick(10);
    EXPECT_EQ(window_.errors, std::vector<std::string>{"Unable to write to " + iniPath()});
    EXPECT_EQ(seenTypes, std::vector<std::string>(10, "HID")) << "connected once, and kept";
    EXPECT_EQ(form_->lbCount->text(), "3/5");
    EXPECT_EQ(evaluator->writtenBytes(), Reports{}) << "no test runs on this connection";
    EXPECT_EQ(sim::machine().openHandles("file"), 0u);

    // With writes allowed again, the next plug-in is the seventh test.
    sim::machine().failAlways("WritePrivateProfileStringA", 0);
    sim::unplugHid(hidPath(0x10C4, 0x82CD, 0));
    nextDeliveredTick();
    EXPECT_EQ(form_->lbDevType->text(), "");
    plugEvaluator({1, 2, 3, 4, 5, 6});
    nextDeliveredTick();
    EXPECT_EQ(form_->lbCount->text(), "3/7");
    EXPECT_EQ(iniText(), "[COUNT]\r\nPassed=3\r\nTotal=7\r\n");
    EXPECT_EQ(evaluator->writtenBytes(), Reports{kPromptReport});
    EXPECT_EQ(window_.errors.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusedWriteAtConnection,
                         ::testing::Values(RefusedConnectionCase{"EveryWrite", true},
                                           RefusedConnectionCase{"OneWrite", false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
