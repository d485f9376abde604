// THIDDevice on the simulated machine: enumeration, open, transfers, close.
#include "HidFixture.h"
#include "uHIDDevice.h"

#include <array>
#include <functional>
#include <vector>

namespace {

using namespace hidtest;

class HIDDeviceTest : public HidFixture {
protected:
    static std::string pathOf(HANDLE handle) {
        auto file = machine().get<sim::File>(handle);
        return file ? file->path : std::string();
    }
    static std::size_t openFiles() { return machine().openHandles("file"); }
    // Starts a fresh enumeration order (the devices stay plugged, but unlisted).
    static void clearInterfaces() { machine().interfaces.clear(); }
};

// --- enumeration ---------------------------------------------------------------

TEST_F(HIDDeviceTest, CountsOnlyDevicesCarryingBothIdentifiers) {
    plugOther(0);
    sim::plugHid(hidPath(kVendor, 0x82CE, 1), kVendor, 0x82CE);
    sim::plugHid(hidPath(0x10C5, kProduct, 2), 0x10C5, kProduct);

    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 0);
    THIDDevice device;
    EXPECT_EQ(device.Open(0, kVendor, kProduct, 0), THIDResult::Success);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(openFiles(), 0u);

    plugEvaluator(3);
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 1);
    EXPECT_EQ(openFiles(), 0u);
}

TEST_F(HIDDeviceTest, OpenHoldsTheRequestedMatchAndClosesTheOthers) {
    plugOther(0);
    plugEvaluator(1);
    plugOther(2, 0x045E, 0x0750);
    plugEvaluator(2);
    ASSERT_EQ(THIDDevice::Count(kVendor, kProduct), 2);

    THIDDevice device;
    ASSERT_EQ(device.Open(1, kVendor, kProduct, 0), THIDResult::Success);
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(pathOf(device.Handle()), hidPath(kVendor, kProduct, 2));
    EXPECT_EQ(openFiles(), 1u); // the first evaluator's handle was closed again
    // Held exclusively: every enumeration now passes over it.
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 1);

    THIDDevice beyond;
    EXPECT_EQ(beyond.Open(1, kVendor, kProduct, 0), THIDResult::Success);
    EXPECT_FALSE(beyond.IsOpen());
}

TEST_F(HIDDeviceTest, PassesOverInterfacesItCannotUse) {
    auto denied = plugEvaluator(0);
    denied->openError = ERROR_ACCESS_DENIED; // as Windows answers for system keyboards
    auto noAttributes = plugEvaluator(1);
    noAttributes->attributesFail = true;
    machine().interfaces.push_back({sim::hidClassGuid(), hidPath(kVendor, kProduct, 2)}); // stale
    plugEvaluator(3);

    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 1);
    THIDDevice device;
    ASSERT_EQ(device.Open(0, kVendor, kProduct, 0), THIDResult::Success);
    EXPECT_EQ(pathOf(device.Handle()), hidPath(kVendor, kProduct, 3));
    EXPECT_EQ(openFiles(), 1u);
}

TEST_F(HIDDeviceTest, EnumerationEndsAtTheFirstGapAndAfterPosition63) {
    struct Case {
        const char* name;
        std::function<void()> layout;
        int count;
    };
    const std::vector<Case> cases = {
        {"evaluator behind a gap",
         [] {
             sim::addHidGap();
             plugEvaluator(0);
         },
         0},
        {"evaluators either side of a gap",
         [] {
             plugEvaluator(0);
             sim::addHidGap();
             plugEvaluator(1);
         },
         1},
        {"evaluator behind an interface without detail",
         [] {
             plugOther(0);
             machine().interfaces.back().detailFails = true;
             plugEvaluator(1);
         },
         0},
        {"evaluator at position 63",
         [] {
             for (int i = 0; i < 63; ++i) {
                 plugOther(i);
             }
             plugEvaluator(0);
         },
         1},
        {"evaluator at position 64",
         [] {
             for (int i = 0; i < 64; ++i) {
                 plugOther(i);
             }
             plugEvaluator(0);
         },
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearInterfaces();
        c.layout();
        EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), c.count);
        THIDDevice device;
        EXPECT_EQ(device.Open(c.count, kVendor, kProduct, 0), THIDResult::Success);
        EXPECT_FALSE(device.IsOpen()); // nothing stands beyond the last match
    }

    // With 65 interfaces, positions 0 to 63 are asked for, once per enumeration.
    machine().clearCalls();
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 0);
    EXPECT_EQ(machine().calls("SetupDiEnumDeviceInterfaces"), 64u);
    EXPECT_EQ(machine().calls("CreateFileA"), 64u);
    std::string path = "unchanged";
    EXPECT_FALSE(THIDDevice::GetDevicePath(64, path));
    EXPECT_EQ(path, "unchanged");
}

TEST_F(HIDDeviceTest, GetDevicePathGivesThePathTextWithItsOwnSet) {
    plugOther(0);
    plugEvaluator(1);
    std::string path;
    ASSERT_TRUE(THIDDevice::GetDevicePath(1, path));
    EXPECT_EQ(path, hidPath(kVendor, kProduct, 1)); // no terminator, no size member
    ASSERT_TRUE(THIDDevice::GetDevicePath(0, path));
    EXPECT_EQ(path, hidPath(0x046D, 0xC52B, 0));

    path = "unchanged";
    EXPECT_FALSE(THIDDevice::GetDevicePath(2, path));
    EXPECT_FALSE(THIDDevice::GetDevicePath(-1, path));
    EXPECT_EQ(path, "unchanged");
    EXPECT_EQ(machine().calls("SetupDiGetClassDevsA"), 4u);
    EXPECT_EQ(machine().calls("SetupDiDestroyDeviceInfoList"), 4u);
    EXPECT_EQ(machine().openHandles("devinfo"), 0u);
}

TEST_F(HIDDeviceTest, CountAndOpenEachTakeOneDeviceSet) {
    for (int i = 0; i < 8; ++i) {
        i % 2 == 0 ? plugEvaluator(i) : plugOther(i);
    }
    machine().clearCalls();
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 4);
    EXPECT_EQ(machine().calls("SetupDiGetClassDevsA"), 1u);
    EXPECT_EQ(machine().calls("SetupDiDestroyDeviceInfoList"), 1u);
    EXPECT_EQ(machine().calls("CreateFileA"), 8u);

    machine().clearCalls();
    THIDDevice device;
    ASSERT_EQ(device.Open(3, kVendor, kProduct, 0), THIDResult::Success);
    EXPECT_TRUE(device.IsOpen());
    EXPECT_EQ(machine().calls("SetupDiGetClassDevsA"), 1u);
    EXPECT_EQ(machine().calls("SetupDiDestroyDeviceInfoList"), 1u);
    EXPECT_EQ(machine().calls("CreateFileA"), 8u);
    EXPECT_EQ(machine().openHandles("devinfo"), 0u);
}

// A binding that failed leaves slots empty; no operation may call through one.
TEST_F(HIDDeviceTest, AnEmptySlotMeansNoDeviceOrNoCapabilities) {
    struct Case {
        const char* slot;
        void** storage;
        int count;        // what Count finds with the slot empty
        int outputLength; // of the device Open holds (-1: nothing opens)
    };
    const std::vector<Case> cases = {
        {"HidD_GetHidGuid", reinterpret_cast<void**>(&Hid::HidD_GetHidGuid), 0, -1},
        {"SetupDiGetClassDevsA", reinterpret_cast<void**>(&SetupApi::SetupDiGetClassDevsA), 0, -1},
        {"SetupDiEnumDeviceInterfaces",
         reinterpret_cast<void**>(&SetupApi::SetupDiEnumDeviceInterfaces), 0, -1},
        {"SetupDiGetDeviceInterfaceDetailA",
         reinterpret_cast<void**>(&SetupApi::SetupDiGetDeviceInterfaceDetailA), 0, -1},
        {"SetupDiDestroyDeviceInfoList",
         reinterpret_cast<void**>(&SetupApi::SetupDiDestroyDeviceInfoList), 0, -1},
        {"HidD_GetAttributes", reinterpret_cast<void**>(&Hid::HidD_GetAttributes), 0, -1},
        {"HidD_GetPreparsedData", reinterpret_cast<void**>(&Hid::HidD_GetPreparsedData), 1, 0},
        {"HidD_FreePreparsedData", reinterpret_cast<void**>(&Hid::HidD_FreePreparsedData), 1, 0},
        {"HidP_GetCaps", reinterpret_cast<void**>(&Hid::HidP_GetCaps), 1, 0},
        {"HidD_GetNumInputBuffers", reinterpret_cast<void**>(&Hid::HidD_GetNumInputBuffers), 1, 3},
        {"HidD_SetNumInputBuffers", reinterpret_cast<void**>(&Hid::HidD_SetNumInputBuffers), 1, 3},
    };
    plugEvaluator(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.slot);
        void* saved = *c.storage;
        *c.storage = nullptr;
        EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), c.count);
        THIDDevice device;
        EXPECT_EQ(device.Open(0, kVendor, kProduct, 16), THIDResult::Success);
        EXPECT_EQ(device.IsOpen(), c.outputLength >= 0);
        if (c.outputLength >= 0) {
            EXPECT_EQ(device.OutputReportLength(), c.outputLength);
        }
        EXPECT_EQ(device.Close(), c.outputLength >= 0 ? THIDResult::Success : THIDResult::NotOpen);
        *c.storage = saved;
    }
    EXPECT_EQ(machine().openHandles(), 0u);

    // The whole binding gone, as after a failed bind.
    UnbindHid();
    UnbindSetupApi();
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 0);
    std::string path;
    EXPECT_FALSE(THIDDevice::GetDevicePath(0, path));
    EXPECT_FALSE(THIDDevice::OpenDevicePath(hidPath(kVendor, kProduct, 0), kVendor, kProduct));
    ASSERT_TRUE(BindHid());
    ASSERT_TRUE(BindSetupApi());
}

// --- open ------------------------------------------------------------------------

TEST_F(HIDDeviceTest, OpenOnAnOpenObjectChangesNothing) {
    plugEvaluator(0);
    auto second = plugEvaluator(1);
    second->inputReportLength = 8;
    THIDDevice device;
    ASSERT_EQ(device.Open(0, kVendor, kProduct, 0), THIDResult::Success);
    device.SetTimeouts(250, 300);
    HANDLE held = device.Handle();
    machine().clearCalls();

    EXPECT_EQ(device.Open(1, kVendor, kProduct, 64), THIDResult::AlreadyOpen);
    EXPECT_EQ(device.Handle(), held);
    EXPECT_EQ(device.InputReportLength(), 3);
    EXPECT_EQ(device.NumInputBuffers(), 32);
    EXPECT_EQ(device.ReadTimeout(), 250u);
    EXPECT_EQ(device.WriteTimeout(), 300u);
    EXPECT_EQ(machine().calls("CreateFileA"), 0u);
    EXPECT_EQ(openFiles(), 1u);
}

TEST_F(HIDDeviceTest, ReportLengthsComeFromTheCapabilities) {
    struct Case {
        const char* name;
        std::function<void(sim::HidDevice&)> prepare;
        std::array<int, 3> lengths; // input, output, feature
        int buffers;
    };
    const std::vector<Case> cases = {
        {"capabilities", [](sim::HidDevice& d) { d.featureReportLength = 5; }, {3, 3, 5}, 32},
        {"no feature report", [](sim::HidDevice&) {}, {3, 3, 0}, 32},
        {"wide reports",
         [](sim::HidDevice& d) {
             d.inputReportLength = 65;
             d.outputReportLength = 65;
         },
         {65, 65, 0},
         32},
        // Without preparsed data or capabilities the device stays open, unusable.
        {"no preparsed data",
         [](sim::HidDevice& d) { d.preparsedDataFail = true; },
         {0, 0, 0},
         512},
        {"no capabilities", [](sim::HidDevice& d) { d.capsFail = true; }, {0, 0, 0}, 512},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearInterfaces();
        c.prepare(*plugEvaluator(0));
        THIDDevice device;
        ASSERT_EQ(device.Open(0, kVendor, kProduct, 0), THIDResult::Success);
        ASSERT_TRUE(device.IsOpen());
        EXPECT_EQ(device.InputReportLength(), c.lengths[0]);
        EXPECT_EQ(device.OutputReportLength(), c.lengths[1]);
        EXPECT_EQ(device.FeatureReportLength(), c.lengths[2]);
        EXPECT_EQ(device.NumInputBuffers(), c.buffers);
        EXPECT_EQ(machine().openHandles("preparsed"), 0u); // freed, also after failed caps
        const std::uint8_t report[3] = {1, 0, 255};
        EXPECT_EQ(device.Write(report, 3) == THIDResult::DoesNotFit, c.lengths[1] == 0);
    }
}

TEST_F(HIDDeviceTest, InputBufferCountSettlesWithTheDriver) {
    struct Case {
        const char* name;
        DWORD platform, major, minor;
        std::uint16_t requested;
        int field;    // FNumInputBuffers after the open
        ULONG driver; // the driver's count afterwards (32 before)
    };
    const std::vector<Case> cases = {
        {"the driver's own count", VER_PLATFORM_WIN32_NT, 6, 1, 0, 32, 32},
        {"fewer than the default", VER_PLATFORM_WIN32_NT, 6, 1, 64, 512, 64},
        {"more than the default", VER_PLATFORM_WIN32_NT, 6, 1, 500, 512, 500},
        {"more than the driver takes", VER_PLATFORM_WIN32_NT, 10, 0, 600, 600, 32},
        {"Windows 2000", VER_PLATFORM_WIN32_NT, 5, 0, 300, 300, 300},
        {"no default count: the driver's", VER_PLATFORM_WIN32_WINDOWS, 4, 10, 64, 32, 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearInterfaces();
        machine().setVersion(c.platform, c.major, c.minor);
        auto evaluator = plugEvaluator(0);
        THIDDevice device;
        ASSERT_EQ(device.Open(0, kVendor, kProduct, c.requested), THIDResult::Success);
        EXPECT_EQ(device.NumInputBuffers(), c.field);
        EXPECT_EQ(evaluator->numInputBuffers, c.driver);
    }
}

TEST_F(HIDDeviceTest, ClosedStateFollowsTheWindowsVersion) {
    struct Case {
        DWORD platform, major, minor;
        int buffers;
    };
    const std::vector<Case> cases = {
        {VER_PLATFORM_WIN32_NT, 10, 0, 512},    {VER_PLATFORM_WIN32_NT, 6, 0, 512},
        {VER_PLATFORM_WIN32_NT, 5, 2, 512},     {VER_PLATFORM_WIN32_NT, 5, 1, 512},
        {VER_PLATFORM_WIN32_NT, 5, 0, 200},     {VER_PLATFORM_WIN32_NT, 4, 0, 0},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0},
    };
    plugEvaluator(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.platform << " " << c.major << "." << c.minor);
        machine().setVersion(c.platform, c.major, c.minor);
        THIDDevice device;
        EXPECT_EQ(device.NumInputBuffers(), c.buffers);
        EXPECT_EQ(device.ReadTimeout(), INFINITE);
        EXPECT_EQ(device.WriteTimeout(), INFINITE);
        ASSERT_EQ(device.Open(0, kVendor, kProduct, 0), THIDResult::Success);
        EXPECT_EQ(device.NumInputBuffers(), 32);
        ASSERT_EQ(device.Close(), THIDResult::Success);
        EXPECT_EQ(device.NumInputBuffers(), c.buffers);
        EXPECT_EQ(device.InputReportLength(), 0);
        EXPECT_EQ(device.OutputReportLength(), 0);
        EXPECT_EQ(device.FeatureReportLength(), 0);
    }
    machine().failAlways("GetVersionExA", ERROR_INVALID_PARAMETER);
    EXPECT_EQ(THIDDevice().NumInputBuffers(), 0);
}

// --- read and write ----------------------------------------------------------------

class HIDTransferTest : public HIDDeviceTest {
protected:
    void SetUp() override {
        HIDDeviceTest::SetUp();
        evaluator = plugEvaluator(0);
        ASSERT_EQ(device.Open(0, kVendor, kProduct, 0), THIDResult::Success);
        ASSERT_TRUE(device.IsOpen());
        machine().clearCalls();
    }
    void TearDown() override {
        (void)device.Close();
        HIDDeviceTest::TearDown();
    }
    std::shared_ptr<sim::HidDevice> evaluator;
    THIDDevice device;
};

TEST_F(HIDTransferTest, ReadRefusesARequestThatDoesNotFit) {
    struct Case {
        const char* name;
        int bufferSize, reportCount;
    };
    const std::vector<Case> cases = {
        {"buffer shorter than a report", 2, 1},
        {"buffer shorter than two reports", 5, 2},
        {"more reports than input buffers", 3 * 33, 33},
        {"a negative count", 3, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(c.bufferSize), 0xAA);
        DWORD bytesRead = 77;
        EXPECT_EQ(device.Read(buffer.data(), c.bufferSize, c.reportCount, bytesRead),
                  THIDResult::DoesNotFit);
        EXPECT_EQ(buffer, std::vector<std::uint8_t>(buffer.size(), 0xAA));
        EXPECT_EQ(bytesRead, 77u);
    }
    EXPECT_EQ(machine().calls("ReadFile"), 0u);
}

TEST_F(HIDTransferTest, ReadTakesWholeReportsAsTheyArrive) {
    evaluator->queueInput(0, bytes({5, 3, 0}));
    evaluator->queueInput(40, bytes({6, 9, 1}));
    evaluator->queueInput(40, bytes({5, 4})); // a short report arrives padded
    std::array<std::uint8_t, 9> buffer{};
    DWORD bytesRead = 0;

    ASSERT_EQ(device.Read(buffer.data(), 9, 3, bytesRead), THIDResult::Success);
    EXPECT_EQ(bytesRead, 3u); // only the first had arrived
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 9>{5, 3, 0}));
    EXPECT_EQ(now(), 0u);

    ASSERT_EQ(device.Read(buffer.data(), 9, 3, bytesRead), THIDResult::Success);
    EXPECT_EQ(bytesRead, 6u);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 9>{6, 9, 1, 5, 4, 0}));
    EXPECT_EQ(now(), 40u);
}

TEST_F(HIDTransferTest, ReadTimesOutAfterCancellingAndKeepsBytesRead) {
    device.SetTimeouts(150, 100);
    evaluator->queueInput(400, bytes({5, 2, 0}));
    std::array<std::uint8_t, 3> buffer{0xAA, 0xAA, 0xAA};
    DWORD bytesRead = 77;

    EXPECT_EQ(device.Read(buffer.data(), 3, 1, bytesRead), THIDResult::TimedOut);
    EXPECT_EQ(now(), 150u);
    EXPECT_EQ(bytesRead, 77u);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 3>{0, 0, 0}));
    EXPECT_EQ(machine().calls("CancelIo"), 1u);
    // The cancelled read has ended before its record and event went.
    EXPECT_EQ(machine().pendingTransfers(), 0u);
    EXPECT_EQ(machine().openHandles("event"), 0u);
    EXPECT_TRUE(device.IsOpen());

    // The cancelled read took nothing: the report is there for the next one.
    device.SetTimeouts(1000, 100);
    EXPECT_EQ(device.Read(buffer.data(), 3, 1, bytesRead), THIDResult::Success);
    EXPECT_EQ(now(), 400u);
    EXPECT_EQ(buffer[1], 2);
}

TEST_F(HIDTransferTest, AnObjectWithoutTimeoutsWaitsAsLongAsTheTransferTakes) {
    evaluator->queueInput(60000, bytes({5, 6, 0}));
    std::array<std::uint8_t, 3> buffer{};
    DWORD bytesRead = 0;
    EXPECT_EQ(device.Read(buffer.data(), 3, 1, bytesRead), THIDResult::Success);
    EXPECT_EQ(now(), 60000u);

    evaluator->writeLatency = 30000;
    const std::uint8_t report[3] = {1, 0, 255};
    EXPECT_EQ(device.Write(report, 3), THIDResult::Success);
    EXPECT_EQ(now(), 90000u);
}

TEST_F(HIDTransferTest, FailedTransfersGiveCode5AndLeaveTheDeviceOpen) {
    struct Case {
        const char* name;
        std::function<void(HIDTransferTest&)> inject;
    };
    const std::vector<Case> cases = {
        {"ReadFile fails at once",
         [](HIDTransferTest&) { machine().failCall("ReadFile", 1, ERROR_GEN_FAILURE); }},
        {"no event",
         [](HIDTransferTest&) { machine().failCall("CreateEventA", 1, ERROR_NOT_ENOUGH_MEMORY); }},
        {"the wait fails",
         [](HIDTransferTest&) {
             machine().failCall("WaitForSingleObject", 1, ERROR_INVALID_HANDLE);
         }},
    };
    device.SetTimeouts(100, 100);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        machine().clearCalls();
        c.inject(*this);
        std::array<std::uint8_t, 3> buffer{};
        DWORD bytesRead = 77;
        EXPECT_EQ(device.Read(buffer.data(), 3, 1, bytesRead), THIDResult::TransferFailed);
        EXPECT_EQ(bytesRead, 77u);
        EXPECT_EQ(machine().pendingTransfers(), 0u);
        EXPECT_EQ(machine().openHandles("event"), 0u);
        EXPECT_TRUE(device.IsOpen());
    }
}

TEST_F(HIDTransferTest, AReadEndedByUnpluggingIsAFailureNotAnEmptyReport) {
    sim::unplugHidAt(70, hidPath(kVendor, kProduct, 0));
    std::array<std::uint8_t, 3> buffer{};
    DWORD bytesRead = 77;
    EXPECT_EQ(device.Read(buffer.data(), 3, 1, bytesRead), THIDResult::TransferFailed);
    EXPECT_EQ(now(), 70u);
    EXPECT_EQ(bytesRead, 77u);
    const std::uint8_t report[3] = {4, 0, 255};
    EXPECT_EQ(device.Write(report, 3), THIDResult::TransferFailed);
    EXPECT_TRUE(device.IsOpen()); // until the owner closes it
    EXPECT_EQ(device.Close(), THIDResult::Success);
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 0);
}

TEST_F(HIDTransferTest, WriteChecksTheLengthBeforeTheDevice) {
    const std::uint8_t report[4] = {3, 5, 250, 0};
    EXPECT_EQ(device.Write(report, 4), THIDResult::DoesNotFit);
    EXPECT_EQ(device.Write(report, -1), THIDResult::DoesNotFit);
    EXPECT_EQ(machine().calls("WriteFile"), 0u);

    EXPECT_EQ(device.Write(report, 3), THIDResult::Success);
    EXPECT_EQ(evaluator->writtenBytes(), std::vector<std::string>{bytes({3, 5, 250})});

    // A closed object has no output length: anything longer than nothing does not fit.
    ASSERT_EQ(device.Close(), THIDResult::Success);
    EXPECT_EQ(device.Write(report, 3), THIDResult::DoesNotFit);
    EXPECT_EQ(device.Write(report, 0), THIDResult::NotOpen);
    EXPECT_EQ(machine().calls("WriteFile"), 1u);
}

TEST_F(HIDTransferTest, AHangingWriteTimesOutAfterCancelling) {
    device.SetTimeouts(100, 80);
    evaluator->writesHang = true;
    const std::uint8_t report[3] = {1, 0, 255};
    EXPECT_EQ(device.Write(report, 3), THIDResult::TimedOut);
    EXPECT_EQ(now(), 80u);
    EXPECT_TRUE(evaluator->written.empty());
    EXPECT_EQ(machine().calls("CancelIo"), 1u);
}

// The driver may finish a transfer in the instant between the end of the wait
// and the cancel (a key pressed just as the key wait runs out). Windows then
// completes it normally: the transfer happened, and the report it read must not
// be thrown away as a time-out.
TEST_F(HIDTransferTest, ATransferThatCompletesAsItIsCancelledIsASuccessWithItsData) {
    struct Case {
        const char* name;
        bool isRead;
        bool waitFails;
    };
    const std::uint8_t command[3] = {2, 0, 255};
    for (const Case& c :
         {Case{"read at the time-out", true, false}, Case{"write at the time-out", false, false},
          Case{"read after a failed wait", true, true}}) {
        SCOPED_TRACE(c.name);
        device.SetTimeouts(150, 80);
        evaluator->writesHang = !c.isRead;
        evaluator->written.clear();
        if (c.waitFails) {
            machine().failCall("WaitForSingleObject", machine().calls("WaitForSingleObject") + 1,
                               ERROR_INVALID_HANDLE);
        }
        machine().beforeNextCancel([hid = evaluator, isRead = c.isRead] {
            if (isRead) {
                hid->queueInput(sim::machine().now(), bytes({5, 4, 0}));
            } else {
                hid->writesHang = false;
            }
        });
        const std::uint64_t start = now();
        std::array<std::uint8_t, 3> buffer{};
        DWORD bytesRead = 77;
        if (c.isRead) {
            EXPECT_EQ(device.Read(buffer.data(), 3, 1, bytesRead), THIDResult::Success);
            EXPECT_EQ(bytesRead, 3u);
            EXPECT_EQ(buffer, (std::array<std::uint8_t, 3>{5, 4, 0}));
        } else {
            EXPECT_EQ(device.Write(command, 3), THIDResult::Success);
            EXPECT_EQ(evaluator->writtenBytes(), std::vector<std::string>{bytes({2, 0, 255})});
        }
        EXPECT_EQ(now() - start, c.waitFails ? 0u : c.isRead ? 150u : 80u);
        EXPECT_EQ(machine().pendingTransfers(), 0u);
        EXPECT_TRUE(device.IsOpen());
    }
}

TEST_F(HIDTransferTest, ClosedReadsZeroFillAndReturn2) {
    ASSERT_EQ(device.Close(), THIDResult::Success);
    std::array<std::uint8_t, 8> buffer;
    buffer.fill(0xAA);
    DWORD bytesRead = 77;
    EXPECT_EQ(device.Read(buffer.data(), 8, 1, bytesRead), THIDResult::NotOpen);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 8>{}));
    EXPECT_EQ(bytesRead, 77u);
    EXPECT_EQ(machine().calls("ReadFile"), 0u);
}

// --- close ---------------------------------------------------------------------------

TEST_F(HIDTransferTest, CloseTwiceGives0Then2) {
    EXPECT_EQ(device.Close(), THIDResult::Success);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(openFiles(), 0u);
    EXPECT_EQ(device.Close(), THIDResult::NotOpen);
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 1);
}

TEST_F(HIDTransferTest, TimeoutsSurviveCloseAndReopen) {
    device.SetTimeouts(250, 80);
    ASSERT_EQ(device.Close(), THIDResult::Success);
    ASSERT_EQ(device.Open(0, kVendor, kProduct, 0), THIDResult::Success);
    std::array<std::uint8_t, 3> buffer{};
    DWORD bytesRead = 0;
    EXPECT_EQ(device.Read(buffer.data(), 3, 1, bytesRead), THIDResult::TimedOut);
    EXPECT_EQ(now(), 250u);
    evaluator->writesHang = true;
    EXPECT_EQ(device.Write(buffer.data(), 3), THIDResult::TimedOut);
    EXPECT_EQ(now(), 330u);
}

TEST_F(HIDDeviceTest, DestructionClosesTheDevice) {
    plugEvaluator(0);
    {
        THIDDevice device;
        ASSERT_EQ(device.Open(0, kVendor, kProduct, 0), THIDResult::Success);
        EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 0);
    }
    EXPECT_EQ(openFiles(), 0u);
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 1);
}

} // namespace
