// The evaluator over HID on the simulated machine: report bytes, on-demand
// open and close, key waits, presence.
#include "HidFixture.h"
#include "uHIDMivoDevice.h"

#include <functional>
#include <memory>
#include <vector>

namespace {

using namespace hidtest;
using Reports = std::vector<std::string>;

const std::string kPromptReport = bytes({1, 0, 255});
const std::string kWaitBegins = bytes({1, 1, 254});
const std::string kCaptureOn = bytes({2, 1, 254});
const std::string kCaptureOff = bytes({2, 0, 255});
const std::string kFinish = bytes({4, 0, 255});

class HIDMivoDeviceTest : public HidFixture {
protected:
    void SetUp() override {
        HidFixture::SetUp();
        mivo = std::make_shared<THIDMivoDevice>();
    }
    void TearDown() override {
        mivo.reset();
        EXPECT_EQ(machine().openHandles("file"), 0u);
        HidFixture::TearDown();
    }
    // The evaluator answers key capture with the report after delay ms.
    static void answerKeyCapture(sim::HidDevice& evaluator, std::string report,
                                 std::uint64_t delay) {
        evaluator.onWrite = [report, delay](sim::HidDevice& d, const std::string& written) {
            if (written == kCaptureOn) {
                d.queueInput(sim::machine().now() + delay, report);
            }
        };
    }
    std::shared_ptr<THIDMivoDevice> mivo;
};

TEST_F(HIDMivoDeviceTest, CommandOperationsWriteTheirReportsAndCloseAgain) {
    struct Case {
        const char* name;
        std::function<void(IMivoDevice&)> run;
        Reports reports;
    };
    const std::vector<Case> cases = {
        {"Prompt", [](IMivoDevice& d) { EXPECT_TRUE(d.Prompt()); }, {kPromptReport}},
        {"SetLevel(5)", [](IMivoDevice& d) { d.SetLevel(5); }, {bytes({3, 5, 250})}},
        {"SetLevel(0)", [](IMivoDevice& d) { d.SetLevel(0); }, {bytes({3, 0, 255})}},
        {"SetLevel(255)", [](IMivoDevice& d) { d.SetLevel(255); }, {bytes({3, 255, 0})}},
        {"ReadState", [](IMivoDevice& d) { EXPECT_EQ(d.ReadState(), 0); }, {}},
        {"WaitKey",
         [](IMivoDevice& d) { EXPECT_EQ(d.WaitKey(300), 0); },
         {kWaitBegins, kCaptureOn, kCaptureOff, kFinish}},
    };
    for (const auto& c : cases) {
        for (bool openBefore : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (openBefore ? " after Open" : ""));
            machine().interfaces.clear();
            auto evaluator = plugEvaluator(0);
            if (openBefore) {
                ASSERT_TRUE(mivo->Open());
            }
            c.run(*mivo);
            EXPECT_EQ(evaluator->writtenBytes(), c.reports);
            EXPECT_FALSE(mivo->IsOpen());
            EXPECT_EQ(machine().openHandles("file"), 0u);
            EXPECT_TRUE(THIDMivoDevice::Present()); // free for the next tick's count
        }
    }
}

TEST_F(HIDMivoDeviceTest, WaitKeyReadsBetweenCaptureOnAndOff) {
    auto evaluator = plugEvaluator(0);
    answerKeyCapture(*evaluator, bytes({5, 3, 0}), 1200);
    std::vector<bool> openAtWrite;
    auto answer = evaluator->onWrite;
    evaluator->onWrite = [&, answer](sim::HidDevice& d, const std::string& written) {
        answer(d, written);
        openAtWrite.push_back(mivo->IsOpen());
    };

    EXPECT_EQ(mivo->WaitKey(5000), 3);
    ASSERT_EQ(evaluator->writtenBytes(), (Reports{kWaitBegins, kCaptureOn, kCaptureOff, kFinish}));
    EXPECT_EQ(openAtWrite, (std::vector<bool>{true, true, true, true}));
    // One read, ended by the key at 1200 ms after capture went on; then the
    // two closing reports, 1 ms each on the wire.
    EXPECT_EQ(machine().calls("ReadFile"), 1u);
    const auto& log = evaluator->written;
    EXPECT_EQ(log[2].when, log[1].when + 1200 + 1);
    EXPECT_EQ(log[3].when, log[2].when + 1);
    EXPECT_TRUE(evaluator->input.empty());
    EXPECT_FALSE(mivo->IsOpen());
}

TEST_F(HIDMivoDeviceTest, WaitKeyPassesTheKeyByteThrough) {
    struct Case {
        std::string report;
        int key;
    };
    const std::vector<Case> cases = {
        {bytes({5, 1, 0}), 1}, {bytes({5, 6, 0}), 6},     {bytes({5, 0, 0}), 0},
        {bytes({5, 7, 0}), 7}, {bytes({5, 200, 9}), 200}, {bytes({5, 255, 0}), 255},
        {bytes({6, 3, 0}), 0}, // a state report is no key
        {bytes({4, 3, 0}), 0}, // nor is any other kind
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "key byte " << int(std::uint8_t(c.report[1])) << " kind "
                                        << int(c.report[0]));
        machine().interfaces.clear();
        auto evaluator = plugEvaluator(0);
        answerKeyCapture(*evaluator, c.report, 10);
        EXPECT_EQ(mivo->WaitKey(5000), c.key);
        EXPECT_EQ(evaluator->writtenBytes().back(), kFinish);
    }
}

TEST_F(HIDMivoDeviceTest, WaitKeyThatTimesOutStillEndsTheInteraction) {
    auto evaluator = plugEvaluator(0);
    const std::uint64_t start = now();
    EXPECT_EQ(mivo->WaitKey(5000), 0);
    // Two writes, the read's full time-out, two writes.
    EXPECT_EQ(now() - start, 5004u);
    EXPECT_EQ(evaluator->writtenBytes(), (Reports{kWaitBegins, kCaptureOn, kCaptureOff, kFinish}));
    EXPECT_EQ(evaluator->written[2].when, start + 2 + 5000 + 1);
    EXPECT_EQ(machine().calls("CancelIo"), 1u);
    EXPECT_FALSE(mivo->IsOpen());
}

TEST_F(HIDMivoDeviceTest, AKeyPressedAsTheWaitRunsOutCounts) {
    auto evaluator = plugEvaluator(0);
    machine().beforeNextCancel([evaluator] {
        evaluator->queueInput(sim::machine().now(), bytes({5, 3, 0}));
    });
    const std::uint64_t start = now();
    EXPECT_EQ(mivo->WaitKey(5000), 3);
    EXPECT_EQ(now() - start, 5004u);
    EXPECT_EQ(evaluator->writtenBytes(), (Reports{kWaitBegins, kCaptureOn, kCaptureOff, kFinish}));
}

TEST_F(HIDMivoDeviceTest, WaitKeyWithoutADeviceReturns255AndWritesNothing) {
    EXPECT_EQ(mivo->WaitKey(5000), 255);
    EXPECT_EQ(now(), 0u);

    auto evaluator = plugEvaluator(0);
    evaluator->openError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(mivo->WaitKey(5000), 255);
    EXPECT_TRUE(evaluator->written.empty());
    EXPECT_EQ(machine().calls("WriteFile"), 0u);
    EXPECT_EQ(machine().calls("ReadFile"), 0u);
}

TEST_F(HIDMivoDeviceTest, WithoutADeviceCommandsSendNothing) {
    EXPECT_FALSE(mivo->Open());
    EXPECT_TRUE(mivo->Prompt());
    mivo->SetLevel(5);
    EXPECT_EQ(mivo->ReadState(), 0);
    EXPECT_TRUE(mivo->Finish());
    EXPECT_EQ(mivo->Close(), 2);
    EXPECT_EQ(machine().calls("WriteFile"), 0u);
    EXPECT_EQ(machine().calls("ReadFile"), 0u);
}

TEST_F(HIDMivoDeviceTest, ReportsOfTheWrongLengthAreRefused) {
    struct Case {
        const char* name;
        USHORT input, output;
        int key;
        std::size_t writes;
    };
    const std::vector<Case> cases = {
        {"input reports longer than 3 bytes", 4, 3, 0, 4},
        // The commands fail; the key read goes on regardless.
        {"output reports shorter than 3 bytes", 3, 2, 6, 0},
        // Windows takes only whole output reports: three bytes into eight fail.
        {"output reports longer than 3 bytes", 3, 8, 6, 0},
        {"two-byte input reports", 2, 3, 6, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine().interfaces.clear();
        auto evaluator = plugEvaluator(0);
        evaluator->inputReportLength = c.input;
        evaluator->outputReportLength = c.output;
        evaluator->queueInput(now() + 1, bytes({5, 6, 0})); // while the key wait holds it
        EXPECT_EQ(mivo->WaitKey(300), c.key);
        EXPECT_EQ(evaluator->written.size(), c.writes);
        EXPECT_FALSE(mivo->IsOpen());
    }
}

TEST_F(HIDMivoDeviceTest, FinishWritesOnlyOnAnOpenLink) {
    auto evaluator = plugEvaluator(0);
    EXPECT_TRUE(mivo->Finish());
    EXPECT_TRUE(evaluator->written.empty());
    ASSERT_TRUE(mivo->Open());
    EXPECT_TRUE(mivo->Finish());
    EXPECT_TRUE(mivo->IsOpen()); // Finish neither opens nor closes
    EXPECT_EQ(evaluator->writtenBytes(), Reports{kFinish});
    EXPECT_EQ(mivo->Close(), 0);
    EXPECT_EQ(mivo->Close(), 2);
}

TEST_F(HIDMivoDeviceTest, ReadStateTakesOnlyAStateReport) {
    auto evaluator = plugEvaluator(0);
    evaluator->queueInput(60, bytes({6, 42, 0}));
    EXPECT_EQ(mivo->ReadState(), 42);
    EXPECT_EQ(now(), 60u);

    evaluator->queueInput(70, bytes({5, 2, 0}));
    evaluator->queueInput(80, bytes({6, 43, 0}));
    EXPECT_EQ(mivo->ReadState(), 0); // the key report came first
    EXPECT_EQ(now(), 70u);

    // The read time-out is the 100 ms of Open, also after a longer key wait.
    EXPECT_EQ(mivo->WaitKey(2000), 0);
    const std::uint64_t start = now();
    EXPECT_EQ(mivo->ReadState(), 0);
    EXPECT_EQ(now() - start, 100u);
    EXPECT_TRUE(evaluator->written.size() == 4u);
}

TEST_F(HIDMivoDeviceTest, OpenTakesTheLastEvaluatorWithShortTimeouts) {
    plugEvaluator(0);
    plugOther(1);
    auto last = plugEvaluator(2);
    ASSERT_TRUE(mivo->Open());
    EXPECT_TRUE(mivo->Prompt());
    EXPECT_EQ(last->writtenBytes(), Reports{kPromptReport});

    last->writesHang = true;
    ASSERT_TRUE(mivo->Open());
    const std::uint64_t start = now();
    mivo->SetLevel(5);
    EXPECT_EQ(now() - start, 100u); // the write time-out
}

TEST_F(HIDMivoDeviceTest, OpenOnAnOpenLink) {
    plugEvaluator(0);
    ASSERT_TRUE(mivo->Open());
    // This object holds the only evaluator: the count passes over it.
    EXPECT_FALSE(THIDMivoDevice::Present());
    EXPECT_FALSE(mivo->Exists());
    EXPECT_FALSE(mivo->Open());
    EXPECT_TRUE(mivo->IsOpen());

    // With a second evaluator counted, the open is refused; the link stays.
    auto second = plugEvaluator(1);
    EXPECT_TRUE(THIDMivoDevice::Present());
    EXPECT_FALSE(mivo->Open());
    EXPECT_TRUE(mivo->IsOpen());
    EXPECT_EQ(mivo->Close(), 0);
    EXPECT_TRUE(mivo->Exists());
}

// A device that vanishes between the count and the open leaves nothing open,
// and Open must not report a connection.
TEST_F(HIDMivoDeviceTest, OpenFailsWhenTheDeviceGoesBetweenCountAndOpen) {
    plugEvaluator(0);
    machine().failCall("CreateFileA", 2, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(mivo->Open());
    EXPECT_FALSE(mivo->IsOpen());
    EXPECT_TRUE(mivo->Open());
}

TEST_F(HIDMivoDeviceTest, ReleasingTheLastReferenceClosesTheLink) {
    plugEvaluator(0);
    MivoDeviceRef ref = mivo;
    mivo.reset();
    ASSERT_TRUE(ref->Open());
    EXPECT_FALSE(THIDMivoDevice::Present());
    ref.reset();
    EXPECT_EQ(machine().openHandles("file"), 0u);
    EXPECT_TRUE(THIDMivoDevice::Present());
}

TEST_F(HIDMivoDeviceTest, UnpluggingDuringAKeyWaitEndsItWithoutAKey) {
    auto evaluator = plugEvaluator(0);
    sim::unplugHidAt(1500, hidPath(kVendor, kProduct, 0));
    EXPECT_EQ(mivo->WaitKey(5000), 0);
    EXPECT_EQ(now(), 1500u);
    EXPECT_EQ(evaluator->writtenBytes(), (Reports{kWaitBegins, kCaptureOn}));
    EXPECT_FALSE(mivo->IsOpen());
    EXPECT_FALSE(THIDMivoDevice::Present());
    EXPECT_EQ(mivo->WaitKey(5000), 255);
}

} // namespace
