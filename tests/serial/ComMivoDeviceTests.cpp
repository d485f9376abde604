// The evaluator over serial, against scripted evaluators behind simulated
// adapters: the frames on the wire byte for byte, acknowledgements, key
// reports, time-outs, and the port's life from Open to the last reference.
#include "SerialFixture.h"
#include "uCOMMivoDevice.h"

#include <memory>

namespace serialtest {
namespace {

using sim::AdapterChip;
using Chunk = sim::ScriptedEvaluator::Chunk;

class ComMivo : public SerialFixture {
protected:
    void SetUp() override {
        SerialFixture::SetUp();
        adapter = sim::plugAdapter(AdapterChip::PL2303, "COM5");
    }
    void TearDown() override {
        device.reset();
        SerialFixture::TearDown();
    }

    // An opened evaluator object, held the way the station holds it.
    std::shared_ptr<TCOMMivoDevice> open() {
        auto d = std::make_shared<TPL2303Mivo>();
        EXPECT_TRUE(d->Open());
        return d;
    }
    sim::ScriptedEvaluator& evaluator() { return *adapter.evaluator; }
    sim::SerialPort& port() { return *adapter.port; }
    std::string sent() const { return adapter.port->stationBytes(); }

    sim::SerialAdapter adapter;
    std::shared_ptr<TCOMMivoDevice> device;
};

TEST_F(ComMivo, OpenSetsTheLineTo9600_8N1WithA100msReadTimeOut) {
    const DCB before = port().dcb;
    auto d = std::make_shared<TPL2303Mivo>();
    EXPECT_FALSE(d->IsOpen());
    ASSERT_TRUE(d->Open());
    EXPECT_TRUE(d->IsOpen());
    const DCB& dcb = port().dcb;
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    // No handshake, whatever the driver had before (it had RTS/CTS on).
    EXPECT_EQ(before.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(port().timeouts.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(port().timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(port().timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(port().timeouts.WriteTotalTimeoutConstant, 100u);
    EXPECT_EQ(port().openFlags, 0u) << "plain mode";
    EXPECT_TRUE(sent().empty()) << "opening sends nothing";

    EXPECT_EQ(d->Close(), 0);
    EXPECT_FALSE(d->IsOpen());
    EXPECT_EQ(d->Device(), nullptr);
    EXPECT_EQ(machine().openHandles("file"), 0u);
    EXPECT_EQ(d->Close(), 0) << "closing a closed link";
}

TEST_F(ComMivo, OpenWithoutAnAdapterLooksForNoPort) {
    sim::unplugAdapter(adapter);
    machine().clearCalls();
    auto d = std::make_shared<TPL2303Mivo>();
    EXPECT_FALSE(d->Open());
    EXPECT_EQ(calls("SetupDiOpenDevRegKey"), 0u);
    EXPECT_EQ(calls("CreateFileA"), 0u);
    EXPECT_EQ(d->Device(), nullptr);
}

TEST_F(ComMivo, OpenFailsAndHoldsNothingWhenThePortIsHeldElsewhere) {
    HANDLE other = win::CreateFileA(adapter.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    auto d = std::make_shared<TPL2303Mivo>();
    EXPECT_FALSE(d->Open());
    EXPECT_FALSE(d->IsOpen());
    EXPECT_EQ(d->Device(), nullptr);
    EXPECT_EQ(calls("SetCommState"), 0u);
    win::CloseHandle(other);
    EXPECT_TRUE(d->Open()) << "a later attempt succeeds once the port is free";
}

TEST_F(ComMivo, OpenFailsForAnFtdiAdapterWithoutAPort) {
    machine().nodes.push_back(sim::usbNode("USB", sim::ftdiUsbHardwareIds()));
    auto d = std::make_shared<TFTDIMivo>();
    EXPECT_TRUE(d->Exists());
    EXPECT_FALSE(d->Open());
    EXPECT_EQ(d->Device(), nullptr);
}

TEST_F(ComMivo, OpenAgainFirstLetsGoOfThePortItHolds) {
    device = open();
    EXPECT_TRUE(device->Open());
    EXPECT_TRUE(device->IsOpen());
    EXPECT_EQ(port().opens, 2);
}

TEST_F(ComMivo, ReleasingTheLastReferenceClosesThePort) {
    MivoDeviceRef held = open();
    EXPECT_EQ(machine().openHandles("file"), 1u);
    held = std::make_shared<TFTDIMivo>(); // the station replaces its reference
    EXPECT_EQ(machine().openHandles("file"), 0u);
}

TEST_F(ComMivo, SetLevelSendsTheLevelFrameAndReadsNothing) {
    device = open();
    const std::uint64_t reads = calls("ReadFile");
    for (int level : {5, 0, 3, 1, 2, 4}) {
        device->SetLevel(static_cast<std::uint8_t>(level));
    }
    device->SetLevel(0x67); // the byte is worked out modulo 256
    EXPECT_EQ(sent(), "CaE"
                      "CfE"
                      "CcE"
                      "CeE"
                      "CdE"
                      "CbE"
                      "C\xff"
                      "E");
    EXPECT_EQ(calls("ReadFile"), reads);
    EXPECT_EQ(evaluator().frames.size(), 7u);
}

TEST_F(ComMivo, PromptIsTrueOnlyForTheAcknowledgement) {
    struct Case {
        const char* what;
        sim::ScriptedEvaluator::Answer answer;
        bool acknowledged;
        std::uint64_t took;
    };
    for (const Case& c : {
             Case{"'3'", {{5, "3"}}, true, 5},
             Case{"silence", {}, false, 100},
             Case{"garbage", {{5, "x"}}, false, 5},
             Case{"a zero byte", {{5, std::string(1, '\0')}}, false, 5},
             Case{"'3' too late", {{150, "3"}}, false, 100},
         }) {
        SCOPED_TRACE(c.what);
        device.reset();
        freshMachine();
        adapter = sim::plugAdapter(AdapterChip::PL2303, "COM5");
        device = open();
        evaluator().script("C1E", c.answer);
        std::uint64_t start = now();
        EXPECT_EQ(device->Prompt(), c.acknowledged);
        EXPECT_EQ(now() - start, c.took);
        EXPECT_EQ(sent(), "C1E");
    }
}

// A byte nobody asked for must not be taken for the answer to the next frame:
// the zero byte some adapters emit as they are opened, or an acknowledgement
// that came after its read had given up.
TEST_F(ComMivo, AStrayByteDoesNotFailACorrectlyPressedKey) {
    struct Case {
        const char* what;
        std::string atOpen;
        std::uint64_t lateAck; // delay of the prompt's acknowledgement; 0: the usual
    };
    for (const Case& c : {Case{"zero byte at open", std::string(1, '\0'), 0},
                          Case{"late acknowledgement", "", 150}}) {
        SCOPED_TRACE(c.what);
        device.reset();
        freshMachine();
        adapter = sim::plugAdapter(AdapterChip::PL2303, "COM5");
        port().bytesAtOpen = c.atOpen;
        if (c.lateAck != 0) {
            evaluator().script("C1E", {{c.lateAck, "3"}});
        }
        evaluator().pressKeys("1");
        device = open();
        EXPECT_EQ(device->Prompt(), c.lateAck == 0);
        machine().advance(2000); // the station's pause after the prompt
        device->SetLevel(5);
        EXPECT_EQ(device->WaitKey(5000), 1);
        EXPECT_EQ(sent(), "C1ECaEC2E");
    }
}

// A driver that a previous program left with RTS/CTS handshake, on a cable
// where nothing drives CTS: the line must not depend on it, and a write that
// cannot go out fails within a bounded time instead of freezing the station.
TEST_F(ComMivo, WritesNeitherWaitForCtsNorBlockForEver) {
    port().holdWrites = true;                        // CTS low
    port().timeouts.WriteTotalTimeoutMultiplier = 0; // and no write time-out either
    port().timeouts.WriteTotalTimeoutConstant = 0;
    device = open();
    evaluator().pressKeys("2");
    EXPECT_TRUE(device->Prompt());
    EXPECT_EQ(device->WaitKey(5000), 2);
    EXPECT_EQ(sent(), "C1EC2E");

    port().stallWrites = true; // the adapter takes nothing at all
    std::uint64_t start = now();
    EXPECT_EQ(device->WaitKey(5000), 0);
    EXPECT_EQ(now() - start, 100u) << "the frame's write time-out, and no \"C3E\" after it";
    start = now();
    EXPECT_FALSE(device->Prompt());
    EXPECT_EQ(now() - start, 100u + 5000u) << "the write time-out, then the read's";
    EXPECT_EQ(sent(), "C1EC2E");
}

TEST_F(ComMivo, WaitKeyReadsTheKeyAndSendsNothingMore) {
    device = open();
    evaluator().script("C2E", {{5, "3"}, {900, bytes({0x10, 0x00, '4', 0x11, 0x00})}});
    std::uint64_t start = now();
    EXPECT_EQ(device->WaitKey(5000), 4);
    EXPECT_EQ(now() - start, 900u) << "the report's delay counts from the frame";
    EXPECT_EQ(sent(), "C2E");
    EXPECT_EQ(port().readBytes, bytes({'3', 0x10, 0x00, '4', 0x11, 0x00}));
}

TEST_F(ComMivo, WaitKeyAnswersEveryKeyByItsNumber) {
    device = open();
    evaluator().pressKeys("123456");
    for (int key = 1; key <= 6; ++key) {
        EXPECT_EQ(device->WaitKey(5000), key);
    }
    EXPECT_EQ(sent(), "C2EC2EC2EC2EC2EC2E");
}

TEST_F(ComMivo, WaitKeyWithAWrongAnswerEndsTheInteractionAndReturns0) {
    struct Case {
        const char* what;
        sim::ScriptedEvaluator::Answer answer;
        std::uint64_t took; // with each acknowledgement 5 ms after its frame
    };
    const std::string good = bytes({0x10, 0x00, '2', 0x11, 0x00});
    for (const Case& c : {
             Case{"byte 3 not 0x11", {{5, "3"}, {20, bytes({0x10, 0x00, '2', 0x12, 0x00})}}, 25},
             Case{"byte 0 not 0x10", {{5, "3"}, {20, bytes({0x11, 0x00, '2', 0x11, 0x00})}}, 25},
             Case{"no acknowledgement", {{5, "x"}}, 10},
             Case{"silence after the acknowledgement", {{5, "3"}}, 5005 + 5},
             Case{"a short report", {{5, "3"}, {20, good.substr(0, 3)}}, 5005 + 5},
             Case{"the acknowledgement too late", {{5001, "3"}, {5002, good}}, 5000 + 0},
         }) {
        SCOPED_TRACE(c.what);
        device.reset();
        freshMachine();
        adapter = sim::plugAdapter(AdapterChip::PL2303, "COM5");
        device = open();
        evaluator().script("C2E", c.answer);
        std::uint64_t start = now();
        EXPECT_EQ(device->WaitKey(5000), 0);
        EXPECT_EQ(sent(), "C2EC3E");
        if (std::string(c.what) != "the acknowledgement too late") {
            EXPECT_EQ(now() - start, c.took);
        } else {
            // The late '3' answers the "C3E"; the report that follows is left queued.
            EXPECT_EQ(now() - start, 5001u);
            EXPECT_EQ(port().queued(), 0u);
            machine().advance(1);
            EXPECT_EQ(port().queued(), 5u);
        }
    }
}

TEST_F(ComMivo, WaitKeyReturnsTheNumberOfAnyWellFormedReport) {
    struct Case {
        char key;
        std::uint8_t number;
    };
    for (const Case& c : {Case{'0', 0}, Case{'7', 7}, Case{'\0', 208}, Case{'9', 9}}) {
        device.reset();
        freshMachine();
        adapter = sim::plugAdapter(AdapterChip::PL2303, "COM5");
        device = open();
        evaluator().pressKeys(std::string(1, c.key), 100);
        EXPECT_EQ(device->WaitKey(5000), c.number);
        EXPECT_EQ(sent(), "C2E") << "a well-formed report is not answered with \"C3E\"";
    }
}

TEST_F(ComMivo, WaitKeyWhoseRequestCannotBeWrittenSendsNoC3E) {
    device = open();
    const std::uint64_t writes = calls("WriteFile");
    failNext("WriteFile");
    std::uint64_t start = now();
    EXPECT_EQ(device->WaitKey(5000), 0);
    EXPECT_EQ(now(), start);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(calls("WriteFile"), writes + 1) << "no \"C3E\" was attempted";
    EXPECT_EQ(calls("ReadFile"), 0u);
}

TEST_F(ComMivo, TheKeyWaitsTimeOutStaysForLaterAcknowledgements) {
    device = open();
    evaluator().pressKeys("1", 10);
    EXPECT_EQ(device->WaitKey(5000), 1);
    EXPECT_EQ(port().timeouts.ReadTotalTimeoutConstant, 5000u);
    evaluator().silence();
    std::uint64_t start = now();
    EXPECT_FALSE(device->Prompt());
    EXPECT_EQ(now() - start, 5000u);
    start = now();
    EXPECT_FALSE(device->Finish());
    EXPECT_EQ(now() - start, 5000u);
}

TEST_F(ComMivo, ASilentEvaluatorHoldsAKeyWaitForTwoTimeOuts) {
    device = open();
    evaluator().silence();
    std::uint64_t start = now();
    EXPECT_EQ(device->WaitKey(5000), 0);
    EXPECT_EQ(now() - start, 10000u) << "the acknowledgement, then that of \"C3E\"";
    EXPECT_EQ(sent(), "C2EC3E");
}

TEST_F(ComMivo, AnAdapterPulledDuringAKeyWaitEndsItWithoutAKey) {
    device = open();
    evaluator().pressKeys("1", 3000);
    machine().schedule(now() + 1000, [this] { sim::unplugAdapter(adapter); });
    std::uint64_t start = now();
    EXPECT_EQ(device->WaitKey(5000), 0);
    EXPECT_EQ(now() - start, 1000u) << "the failing reads and writes return at once";
    EXPECT_FALSE(device->Exists());
    EXPECT_TRUE(device->IsOpen()) << "the handle stays until Close";
    EXPECT_EQ(device->Close(), 0);
}

TEST_F(ComMivo, NothingGoesOnTheWireWithoutAnOpenLink) {
    auto d = std::make_shared<TPL2303Mivo>();
    EXPECT_FALSE(d->Prompt());
    EXPECT_FALSE(d->Finish());
    EXPECT_EQ(d->WaitKey(5000), 0);
    d->SetLevel(5);
    EXPECT_EQ(d->ReadState(), 0);
    device = open();
    EXPECT_EQ(device->ReadState(), 0);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(calls("ReadFile"), 0u);
    EXPECT_EQ(calls("WriteFile"), 0u);
}

TEST_F(ComMivo, AFullExchangeBehindEitherAdapter) {
    for (AdapterChip chip : {AdapterChip::PL2303, AdapterChip::FTDI}) {
        SCOPED_TRACE(chip == AdapterChip::PL2303 ? "PL2303" : "FTDI");
        device.reset();
        freshMachine();
        sim::plugOtherUsbDevices(6);
        adapter = sim::plugAdapter(chip, "COM11");
        adapter.evaluator->pressKeys("123456");
        if (chip == AdapterChip::PL2303) {
            device = std::make_shared<TPL2303Mivo>();
        } else {
            device = std::make_shared<TFTDIMivo>();
        }
        ASSERT_TRUE(device->Exists());
        ASSERT_TRUE(device->Open());
        EXPECT_TRUE(device->Prompt());
        device->SetLevel(5);
        for (int key = 1; key <= 6; ++key) {
            EXPECT_EQ(device->WaitKey(5000), key);
        }
        EXPECT_EQ(sent(), "C1ECaEC2EC2EC2EC2EC2EC2E");
        EXPECT_EQ(port().evaluatorBytes(), port().readBytes) << "every byte sent was read";
    }
}

} // namespace
} // namespace serialtest
