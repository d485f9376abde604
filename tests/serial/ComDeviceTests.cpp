// TCOMDevice on the simulated machine: opening, ownership, plain and
// overlapped transfers, line settings and time-outs.
#include "SerialFixture.h"
#include "uCOMDevice.h"

#include <cstring>

namespace serialtest {
namespace {

class ComDevice : public SerialFixture {};

TEST_F(ComDevice, OpensByNumberExclusivelyWithTheAskedMode) {
    struct Case {
        std::int32_t number;
        bool overlapped;
        const char* path;
    };
    for (const Case& c : {Case{3, false, "\\\\.\\COM3"}, Case{12, true, "\\\\.\\COM12"}}) {
        freshMachine();
        auto wanted = addPort(c.path);
        auto com1 = addPort("\\\\.\\COM1"); // what "\\.\COM1" + "2" must not become
        {
            TCOMDevice port(c.number, c.overlapped);
            ASSERT_NE(port.Handle(), INVALID_HANDLE_VALUE) << c.path;
            auto file = machine().get<sim::File>(port.Handle());
            ASSERT_TRUE(file);
            EXPECT_EQ(file->path, c.path);
            EXPECT_EQ(file->share, 0u);
            EXPECT_EQ(file->flags, c.overlapped ? FILE_FLAG_OVERLAPPED : 0u);
            EXPECT_EQ(wanted->openAccess, GENERIC_READ | GENERIC_WRITE);
            EXPECT_EQ(com1->opens, 0);
            EXPECT_EQ(port.IsOverlapped(), c.overlapped);
            EXPECT_EQ(port.Timeout(), 0);
        }
        EXPECT_EQ(machine().openHandles("file"), 0u) << "the port it opened is closed with it";
    }
}

TEST_F(ComDevice, APortThatCannotBeOpenedLeavesAnInvalidHandleAndClosesNothing) {
    auto held = addPort("\\\\.\\COM5");
    HANDLE other = win::CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    {
        TCOMDevice missing(7, false);
        TCOMDevice busy(5, false);
        EXPECT_EQ(missing.Handle(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(busy.Handle(), INVALID_HANDLE_VALUE);
        char buffer[4] = {};
        EXPECT_FALSE(busy.Read(buffer, 4));
        EXPECT_FALSE(busy.Write("C1E", 3));
        EXPECT_FALSE(busy.SetCommParams(9600, 8, NOPARITY, ONESTOPBIT));
        EXPECT_FALSE(busy.SetTimeout(100));
    }
    EXPECT_EQ(calls("CloseHandle"), 0u);
    EXPECT_TRUE(machine().lookup(other)) << "the other program's handle is untouched";
    EXPECT_TRUE(held->stationBytes().empty());
    win::CloseHandle(other);
}

TEST_F(ComDevice, AnAdoptedHandleStaysOpenAndUntouched) {
    auto port = addPort("\\\\.\\COM5");
    const DCB before = port->dcb;
    HANDLE handle = win::CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    machine().clearCalls();
    {
        TCOMDevice adopted(handle, true);
        EXPECT_EQ(adopted.Handle(), handle);
        EXPECT_TRUE(adopted.IsOverlapped());
        EXPECT_EQ(adopted.Timeout(), 0);
    }
    EXPECT_TRUE(machine().lookup(handle));
    EXPECT_TRUE(machine().allCalls().empty()) << "adopting touches neither the port nor the handle";
    EXPECT_EQ(std::memcmp(&before, &port->dcb, sizeof(DCB)), 0);
    win::CloseHandle(handle);
}

TEST_F(ComDevice, PlainReadOnASilentLineEndsAtItsTimeOutWithTheBufferAsItWas) {
    auto port = addPort("\\\\.\\COM5");
    port->lineErrors = sim::kLineErrorFrame;
    TCOMDevice com(5, false);
    ASSERT_TRUE(com.SetTimeout(100));
    char buffer[6] = "xxxxx";
    std::uint64_t start = now();
    EXPECT_TRUE(com.Read(buffer, 5));
    EXPECT_EQ(now() - start, 100u);
    EXPECT_STREQ(buffer, "xxxxx");
    EXPECT_EQ(calls("ClearCommError"), 1u);
    EXPECT_EQ(port->lineErrors, 0u) << "the read clears the line errors the driver recorded";
}

TEST_F(ComDevice, PlainReadReturnsAsSoonAsItsBytesHaveCome) {
    auto port = addPort("\\\\.\\COM5");
    TCOMDevice com(5, false);
    ASSERT_TRUE(com.SetTimeout(1000));
    port->send("12", now() + 30);
    port->send("345", now() + 70);
    char buffer[5] = {};
    std::uint64_t start = now();
    EXPECT_TRUE(com.Read(buffer, 5));
    EXPECT_EQ(now() - start, 70u);
    EXPECT_EQ(std::string(buffer, 5), "12345");
}

TEST_F(ComDevice, PlainReadFailsWhenTheAdapterIsPulledMidRead) {
    auto port = addPort("\\\\.\\COM5");
    TCOMDevice com(5, false);
    ASSERT_TRUE(com.SetTimeout(5000));
    machine().schedule(now() + 40, [] { machine().removeDevice("\\\\.\\COM5"); });
    char buffer[5] = {};
    std::uint64_t start = now();
    EXPECT_FALSE(com.Read(buffer, 5));
    EXPECT_EQ(now() - start, 40u);
}

TEST_F(ComDevice, PlainWriteSendsTheBytesAndKeepsTheInputQueue) {
    auto port = addPort("\\\\.\\COM5");
    TCOMDevice com(5, false);
    port->send("unasked", now());
    EXPECT_TRUE(com.Write("C1E", 3));
    EXPECT_EQ(port->stationBytes(), "C1E");
    EXPECT_EQ(port->queued(), 7u);
    EXPECT_EQ(calls("PurgeComm"), 0u);
    EXPECT_EQ(calls("ClearCommError"), 0u);
}

TEST_F(ComDevice, OverlappedWriteDiscardsTheInputQueueFirst) {
    auto port = addPort("\\\\.\\COM5");
    TCOMDevice com(5, true);
    ASSERT_TRUE(com.SetTimeout(100));
    port->send("stale", now());
    port->send("late", now() + 50); // not arrived yet: not discarded
    EXPECT_TRUE(com.Write("C2E", 3));
    EXPECT_EQ(port->stationBytes(), "C2E");
    EXPECT_EQ(port->queued(), 0u);
    machine().advance(50);
    char buffer[4] = {};
    EXPECT_TRUE(com.Read(buffer, 4));
    EXPECT_EQ(std::string(buffer, 4), "late");
}

// A transfer that does not complete at once: a read on a silent line, or a
// write the far end holds back with flow control.
struct Pending {
    const char* what;
    bool isRead;
    std::int32_t count;
    bool expected;
};

TEST_F(ComDevice, OverlappedPollWithoutTimeGivesUpAfterOnePoll) {
    for (std::int32_t timeout : {0, -1}) {
        for (const Pending& p :
             {Pending{"read 5", true, 5, false}, Pending{"write 3", false, 3, false},
              Pending{"write 0", false, 0, true}, Pending{"write -1", false, -1, true}}) {
            SCOPED_TRACE(std::string(p.what) + ", time-out " + std::to_string(timeout));
            freshMachine();
            auto port = addPort("\\\\.\\COM5");
            port->timeouts = {0, 0, 0, 0, 0}; // neither side ends by itself
            port->holdWrites = true;
            {
                TCOMDevice com(5, true);
                com.SetTimeout(timeout);
                port->timeouts.ReadTotalTimeoutConstant = 0;
                machine().clearCalls();
                char buffer[5] = {};
                std::uint64_t start = now();
                bool result = p.isRead ? com.Read(buffer, p.count) : com.Write("C2E", p.count);
                EXPECT_EQ(result, p.expected);
                EXPECT_EQ(now(), start) << "no waiting";
                EXPECT_EQ(calls("Sleep"), 0u);
                // One poll, then the cancelled transfer is awaited.
                EXPECT_EQ(calls("GetOverlappedResult"), 2u);
                EXPECT_EQ(calls("CancelIo"), 1u);
                EXPECT_TRUE(port->stationBytes().empty());
            }
            EXPECT_EQ(machine().pendingTransfers(), 0u);
            EXPECT_TRUE(machine().violations().empty());
        }
    }
}

TEST_F(ComDevice, OverlappedPollGivesUpAfterItsTimeOutAndLeavesNothingRunning) {
    auto port = addPort("\\\\.\\COM5");
    TCOMDevice com(5, true);
    com.SetTimeout(100);
    port->timeouts = {0, 0, 0, 7, 500}; // the port itself would wait for ever
    char buffer[5] = "abcd";
    std::uint64_t start = now();
    EXPECT_FALSE(com.Read(buffer, 5));
    EXPECT_EQ(now() - start, 100u);
    EXPECT_EQ(calls("CancelIo"), 1u);
    EXPECT_EQ(machine().pendingTransfers(), 0u) << "cancelled and finished before returning";
    // Bytes that come afterwards are not lost to the abandoned read.
    port->send("hello", now() + 10);
    EXPECT_TRUE(com.Read(buffer, 5));
    EXPECT_EQ(std::string(buffer, 5), "hello");
}

TEST_F(ComDevice, OverlappedPollMeasuresTimeAcrossTheTickCounterWrap) {
    machine().setTickCount(0xFFFFFFFFu - 30);
    auto port = addPort("\\\\.\\COM5");
    TCOMDevice com(5, true);
    com.SetTimeout(100);
    port->timeouts = {0, 0, 0, 0, 0};
    char buffer[5] = {};
    std::uint64_t start = now();
    EXPECT_FALSE(com.Read(buffer, 5));
    EXPECT_EQ(now() - start, 100u);
}

TEST_F(ComDevice, OverlappedTransferThatCompletesDuringThePollSucceedsEvenWhenShort) {
    auto port = addPort("\\\\.\\COM5");
    TCOMDevice com(5, true);
    com.SetTimeout(1000);
    port->timeouts = {0, 0, 200, 0, 0}; // the port's own read time-out ends it first
    port->send("ab", now() + 50);
    char buffer[5] = {};
    std::uint64_t start = now();
    EXPECT_TRUE(com.Read(buffer, 5));
    EXPECT_EQ(now() - start, 200u);
    EXPECT_EQ(std::string(buffer, 2), "ab");
    EXPECT_EQ(calls("CancelIo"), 0u);
}

// The transfer finishes in the instant between the poll giving up and the
// cancel: Windows completes it normally, and so must the call.
TEST_F(ComDevice, OverlappedTransferThatCompletesAsItIsCancelledSucceeds) {
    for (bool isRead : {true, false}) {
        SCOPED_TRACE(isRead ? "read" : "write");
        freshMachine();
        auto port = addPort("\\\\.\\COM5");
        port->holdWrites = true; // CTS low, with the driver's RTS/CTS handshake
        TCOMDevice com(5, true);
        com.SetTimeout(100);
        port->timeouts = {0, 0, 0, 0, 0}; // the port itself ends neither
        machine().beforeNextCancel([port, isRead] {
            if (isRead) {
                port->send("hello", sim::machine().now());
            } else {
                port->holdWrites = false;
            }
        });
        char buffer[5] = {};
        std::uint64_t start = now();
        EXPECT_TRUE(isRead ? com.Read(buffer, 5) : com.Write("C1E", 3));
        EXPECT_EQ(now() - start, 100u);
        EXPECT_EQ(calls("CancelIo"), 1u);
        EXPECT_EQ(isRead ? std::string(buffer, 5) : port->stationBytes(), isRead ? "hello" : "C1E");
    }
}

TEST_F(ComDevice, OverlappedWriteHeldBackUntilTheFarEndReleasesIt) {
    auto port = addPort("\\\\.\\COM5");
    port->holdWrites = true;
    TCOMDevice com(5, true);
    com.SetTimeout(500);
    port->timeouts.WriteTotalTimeoutConstant = 0;
    port->timeouts.WriteTotalTimeoutMultiplier = 0;
    machine().schedule(now() + 30, [port] { port->holdWrites = false; });
    std::uint64_t start = now();
    EXPECT_TRUE(com.Write("C1E", 3));
    EXPECT_GE(now() - start, 30u);
    EXPECT_LE(now() - start, 31u);
    EXPECT_EQ(port->stationBytes(), "C1E");
}

// Whatever holds the line back, a write ends by its write time-out, and one
// that moved fewer bytes than asked is a failure, in either mode.
TEST_F(ComDevice, AWriteThatTheLineHoldsBackEndsByItsWriteTimeOutAsAFailure) {
    for (bool overlapped : {false, true}) {
        SCOPED_TRACE(overlapped ? "overlapped" : "plain");
        freshMachine();
        auto port = addPort("\\\\.\\COM5");
        port->stallWrites = true;
        TCOMDevice com(5, overlapped);
        com.SetTimeout(1000);
        port->timeouts.WriteTotalTimeoutMultiplier = 0;
        port->timeouts.WriteTotalTimeoutConstant = 0;
        ASSERT_TRUE(com.SetWriteTimeout(200));
        EXPECT_EQ(port->timeouts.WriteTotalTimeoutConstant, 200u);
        EXPECT_EQ(port->timeouts.WriteTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(port->timeouts.ReadTotalTimeoutConstant, 1000u) << "the read side stays";
        std::uint64_t start = now();
        EXPECT_FALSE(com.Write("C1E", 3));
        EXPECT_EQ(now() - start, 200u);
        EXPECT_EQ(calls("CancelIo"), 0u) << "the port ended it, not the poll";
        EXPECT_TRUE(port->stationBytes().empty());
    }
}

TEST_F(ComDevice, OverlappedTransferFailingOutrightIsFalseAtOnce) {
    addPort("\\\\.\\COM5");
    TCOMDevice com(5, true);
    failNext("ReadFile", ERROR_ACCESS_DENIED);
    char buffer[1];
    EXPECT_FALSE(com.Read(buffer, 1));
    EXPECT_EQ(calls("GetOverlappedResult"), 0u);
    EXPECT_EQ(calls("ClearCommError"), 1u);
}

TEST_F(ComDevice, SetTimeoutSetsTheReadTotalAndKeepsTheWriteTimeOuts) {
    auto port = addPort("\\\\.\\COM5");
    TCOMDevice com(5, false);
    port->timeouts = {50, 10, 20, 7, 500};
    EXPECT_TRUE(com.SetTimeout(5000));
    EXPECT_EQ(port->timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(port->timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(port->timeouts.ReadTotalTimeoutConstant, 5000u);
    EXPECT_EQ(port->timeouts.WriteTotalTimeoutMultiplier, 7u);
    EXPECT_EQ(port->timeouts.WriteTotalTimeoutConstant, 500u);
    EXPECT_EQ(com.Timeout(), 5000);

    failNext("SetCommTimeouts");
    EXPECT_FALSE(com.SetTimeout(250));
    EXPECT_EQ(com.Timeout(), 250) << "kept for the overlapped poll even when the port refused it";
    EXPECT_EQ(port->timeouts.ReadTotalTimeoutConstant, 5000u);
}

TEST_F(ComDevice, SetCommParamsSetsTheLineWithoutHandshake) {
    auto port = addPort("\\\\.\\COM5");
    TCOMDevice com(5, false);
    // 115200 7E2 with RTS/CTS handshake, as a previous program may leave it;
    // and with every other handshake a driver offers switched on as well.
    port->dcb.fOutxDsrFlow = 1;
    port->dcb.fDsrSensitivity = 1;
    port->dcb.fOutX = 1;
    port->dcb.fInX = 1;
    port->dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    DCB expected = port->dcb;
    expected.BaudRate = 9600;
    expected.ByteSize = 8;
    expected.Parity = NOPARITY;
    expected.StopBits = ONESTOPBIT;
    expected.fOutxCtsFlow = 0;
    expected.fOutxDsrFlow = 0;
    expected.fDsrSensitivity = 0;
    expected.fOutX = 0;
    expected.fInX = 0;
    expected.fDtrControl = DTR_CONTROL_ENABLE;
    expected.fRtsControl = RTS_CONTROL_ENABLE;
    EXPECT_TRUE(com.SetCommParams(9600, 8, NOPARITY, ONESTOPBIT));
    EXPECT_EQ(std::memcmp(&expected, &port->dcb, sizeof(DCB)), 0)
        << "the special characters and the other flags stay as the driver had them";

    // Settings the driver refuses leave the port as it was.
    EXPECT_FALSE(com.SetCommParams(9600, 9, NOPARITY, ONESTOPBIT));
    EXPECT_FALSE(com.SetCommParams(9600, 8, NOPARITY, ONE5STOPBITS));
    EXPECT_EQ(std::memcmp(&expected, &port->dcb, sizeof(DCB)), 0);
}

} // namespace
} // namespace serialtest
