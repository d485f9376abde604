// The station window with the product's three link kinds, end to end on the
// simulated machine, for evaluators behind USB-serial adapters: found on the
// next tick, opened at 9600 8N1, counted and tested frame by frame, and
// cleared away when the adapter goes.
#include "Hid.h"
#include "LinkKinds.h"
#include "SetupApi.h"
#include "StationFixture.h"
#include "sim/SimHidDevice.h"
#include "sim/SimSerial.h"

#include <deque>
#include <string>
#include <vector>

namespace {

using sim::AdapterChip;

const char* textOf(AdapterChip chip) {
    return chip == AdapterChip::PL2303 ? "2303" : "FTDI";
}

std::string keyWaits(int count) {
    std::string frames;
    for (int i = 0; i < count; ++i) {
        frames += "C2E";
    }
    return frames;
}

class SerialStationTest : public LinkedStationTest {
protected:
    void SetUp() override {
        LinkedStationTest::SetUp();
        sim::plugOtherUsbDevices(8); // hubs, a mouse, a keyboard, a disk
    }

    void startProduct() {
        std::vector<LinkKind> kinds = productLinkKinds();
        ASSERT_EQ(kinds.size(), 3u);
        EXPECT_EQ(kinds[1].text, "2303");
        EXPECT_EQ(kinds[2].text, "FTDI");
        start(std::move(kinds));
    }

    // The timer's next tick: its interval passes on the clock, then it fires.
    void nextTick(int count = 1) {
        for (int i = 0; i < count; ++i) {
            sim::machine().advance(static_cast<std::uint64_t>(form_->Timer1->interval()));
            tick();
        }
    }

    void passingRun(AdapterChip chip) {
        startProduct();
        nextTick(3);
        auto adapter = sim::plugAdapter(chip, "COM7");
        adapter.evaluator->pressKeys("123456");

        nextTick(); // found, opened, counted, prompted; the port stays open
        EXPECT_EQ(form_->lbDevType->text(), textOf(chip));
        EXPECT_EQ(form_->lbCount->text(), "0/1");
        EXPECT_EQ(adapter.port->stationBytes(), "C1E");
        EXPECT_EQ(adapter.port->dcb.BaudRate, 9600u);
        EXPECT_EQ(adapter.port->dcb.ByteSize, 8);
        EXPECT_EQ(adapter.port->dcb.Parity, NOPARITY);
        EXPECT_EQ(adapter.port->dcb.StopBits, ONESTOPBIT);
        EXPECT_EQ(sim::machine().openHandles("file"), 1u);
        EXPECT_EQ(form_->Timer1->interval(), 2000);

        nextTick(); // the lamps
        EXPECT_EQ(adapter.port->stationBytes(), "C1ECaE");
        EXPECT_EQ(visibleLamps(), (std::vector<int>{1, 2, 3, 4, 5}));

        nextTick(6);
        EXPECT_EQ(adapter.port->stationBytes(), "C1ECaE" + keyWaits(6));
        EXPECT_EQ(markersShowing(form_->imgGood), (std::vector<int>{1, 2, 3, 4, 5, 6}));
        EXPECT_TRUE(form_->imgPassed->isVisible());
        EXPECT_EQ(form_->lbStatus->text(), kPassWord);
        EXPECT_EQ(form_->lbCount->text(), "1/1");
        EXPECT_EQ(iniText(), "[COUNT]\r\nTotal=1\r\nPassed=1\r\n");

        nextTick(5); // attached and idle: the result stays, nothing more is sent
        EXPECT_EQ(adapter.port->stationBytes().size(), 6u + 18u);
        EXPECT_TRUE(form_->imgPassed->isVisible());

        sim::unplugAdapter(adapter);
        nextTick();
        EXPECT_FALSE(anyTaggedVisible());
        EXPECT_EQ(form_->lbDevType->text(), "");
        EXPECT_EQ(sim::machine().openHandles("file"), 0u) << "closed on removal";
    }

    void failingRun(AdapterChip chip) {
        startProduct();
        auto adapter = sim::plugAdapter(chip, "COM3");
        adapter.evaluator->pressKeys("125");
        nextTick(2 + 3);
        EXPECT_EQ(form_->lbDevType->text(), textOf(chip));
        EXPECT_EQ(markersShowing(form_->imgGood), (std::vector<int>{1, 2}));
        EXPECT_EQ(markersShowing(form_->imgBad), (std::vector<int>{3, 5}));
        EXPECT_TRUE(form_->imgFailed->isVisible());
        EXPECT_EQ(form_->lbStatus->text(), kFailWord);
        EXPECT_EQ(form_->lbCount->text(), "0/1");
        EXPECT_EQ(adapter.port->stationBytes(), "C1ECaE" + keyWaits(3));

        // A new test on the same adapter: a garbled report ends the interaction.
        sim::unplugAdapter(adapter);
        nextTick();
        adapter = sim::plugAdapter(chip, "COM3");
        adapter.evaluator->script("C2E", {{5, "3"}, {300, std::string("\x10\x00\x31\x12\x00", 5)}});
        nextTick(2 + 1);
        EXPECT_EQ(adapter.port->stationBytes(), "C1ECaEC2EC3E");
        EXPECT_EQ(markersShowing(form_->imgBad), (std::vector<int>{1}));
        EXPECT_EQ(form_->lbCount->text(), "0/2");
    }
};

TEST_F(SerialStationTest, APassingEvaluatorBehindAPl2303Adapter) {
    passingRun(AdapterChip::PL2303);
}

TEST_F(SerialStationTest, APassingEvaluatorBehindAnFtdiAdapter) {
    passingRun(AdapterChip::FTDI);
}

TEST_F(SerialStationTest, AFailingEvaluatorBehindAPl2303Adapter) {
    failingRun(AdapterChip::PL2303);
}

TEST_F(SerialStationTest, AFailingEvaluatorBehindAnFtdiAdapter) {
    failingRun(AdapterChip::FTDI);
}

TEST_F(SerialStationTest, AnAdapterWithNothingBehindItIsCountedAndFailsAtKey1) {
    startProduct();
    auto adapter = sim::plugAdapter(AdapterChip::PL2303, "COM4", false);
    std::uint64_t start = sim::machine().now();
    nextTick(); // its port opens: taken for an evaluator; the prompt goes unanswered
    EXPECT_EQ(form_->lbDevType->text(), "2303");
    EXPECT_EQ(form_->lbCount->text(), "0/1");
    EXPECT_EQ(sim::machine().now() - start, 100u + 100u) << "the tick, then the prompt's wait";

    nextTick(); // the lamps
    start = sim::machine().now();
    nextTick(); // key 1: no acknowledgement, then none for "C3E" either
    EXPECT_EQ(sim::machine().now() - start, 100u + 5000u + 5000u);
    EXPECT_EQ(markersShowing(form_->imgBad), (std::vector<int>{1}));
    EXPECT_TRUE(form_->imgFailed->isVisible());
    EXPECT_EQ(form_->lbCount->text(), "0/1");
    EXPECT_EQ(adapter.port->stationBytes(), "C1ECaEC2EC3E");
}

TEST_F(SerialStationTest, AnAdapterPulledDuringAKeyWaitFailsThatKeyThenClears) {
    startProduct();
    auto adapter = sim::plugAdapter(AdapterChip::FTDI, "COM6");
    adapter.evaluator->pressKeys("1", 300);
    nextTick(2 + 1);
    ASSERT_EQ(markersShowing(form_->imgGood), std::vector<int>{1});

    sim::machine().schedule(sim::machine().now() + 100 + 1500,
                            [adapter] { sim::unplugAdapter(adapter); });
    nextTick(); // the wait for key 2 ends when the port goes
    EXPECT_EQ(markersShowing(form_->imgBad), std::vector<int>{2});
    EXPECT_TRUE(form_->imgFailed->isVisible());
    EXPECT_EQ(form_->lbDevType->text(), "FTDI"); // noticed on the next tick only

    nextTick();
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_EQ(form_->lbCount->text(), "0/1");
}

TEST_F(SerialStationTest, AHidEvaluatorIsTestedWhileAPl2303AdapterWaitsUnopened) {
    startProduct();
    const std::string hidPath =
        "\\\\?\\hid#vid_10c4&pid_82cd#7&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    auto hid = sim::plugHid(hidPath, 0x10C4, 0x82CD);
    std::deque<int> keys{1, 2, 3, 4, 5, 6};
    hid->onWrite = [keys](sim::HidDevice& d, const std::string& report) mutable {
        if (report == std::string("\x02\x01\xfe", 3) && !keys.empty()) {
            d.queueInput(sim::machine().now() + 300,
                         std::string{'\x05', static_cast<char>(keys.front()), '\0'});
            keys.pop_front();
        }
    };
    auto adapter = sim::plugAdapter(AdapterChip::PL2303, "COM5");

    nextTick(2 + 6);
    EXPECT_EQ(form_->lbDevType->text(), "HID");
    EXPECT_TRUE(form_->imgPassed->isVisible());
    EXPECT_EQ(form_->lbCount->text(), "1/1");
    EXPECT_EQ(adapter.port->opens, 0);

    // The HID evaluator goes, the adapter stays: nobody notices.
    sim::unplugHid(hidPath);
    nextTick(3);
    EXPECT_EQ(form_->lbDevType->text(), "HID");
    EXPECT_TRUE(form_->imgPassed->isVisible());
    EXPECT_EQ(adapter.port->opens, 0);

    sim::unplugAdapter(adapter);
    nextTick();
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_EQ(form_->lbDevType->text(), "");
}

TEST_F(SerialStationTest, AnFtdiAdapterWithoutAPortIsNeverConnected) {
    startProduct();
    sim::machine().nodes.push_back(sim::usbNode("USB", sim::ftdiUsbHardwareIds()));
    for (int i = 0; i < 5; ++i) {
        const std::string before = form_->lbStatus->text();
        nextTick();
        EXPECT_NE(form_->lbStatus->text(), before) << "the status marker keeps moving";
    }
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_EQ(form_->lbCount->text(), "0/0");
    EXPECT_FALSE(iniExists());
    EXPECT_EQ(sim::machine().calls("CreateFileA"), 0u);
    EXPECT_EQ(form_->Timer1->interval(), 100);
}

TEST_F(SerialStationTest, AnAdapterWhosePortIsHeldElsewhereIsTakenOnceItIsFree) {
    startProduct();
    auto adapter = sim::plugAdapter(AdapterChip::PL2303, "COM8");
    HANDLE other = win::CreateFileA(adapter.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    nextTick(3);
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_EQ(form_->lbCount->text(), "0/0");
    EXPECT_TRUE(adapter.port->stationBytes().empty());

    win::CloseHandle(other);
    nextTick();
    EXPECT_EQ(form_->lbDevType->text(), "2303");
    EXPECT_EQ(form_->lbCount->text(), "0/1");
    EXPECT_EQ(adapter.port->stationBytes(), "C1E");
}

} // namespace
