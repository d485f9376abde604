// TCOMDevice against real Windows handles (run under Wine).
//
// The serial cases need a real COM port with a far end this test can drive:
// the test script links the two ends of a pseudo-terminal pair as COM5 (the
// station's side) and COM6 (the far end) in the Wine prefix. Without them those
// cases are skipped. The overlapped cases run on a named pipe pair, adopted
// through the handle constructor.
#include "Win.h"
#include "uCOMDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr const char* kStationPort = "\\\\.\\COM5";

std::string farEndPath() {
    const char* name = std::getenv("EVALUATOR_SERIAL_FAR_END");
    return std::string("\\\\.\\") + (name != nullptr && *name != '\0' ? name : "COM6");
}

class RealWindows : public ::testing::Test {
protected:
    void SetUp() override { win::useBackend(*win::windowsBackend()); }
};

TEST_F(RealWindows, APortThatDoesNotExistGivesAnInvalidHandle) {
    TCOMDevice byNumber(97, false);
    TCOMDevice byPath(std::string("\\\\.\\COM98"), true);
    EXPECT_EQ(byNumber.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(byPath.Handle(), INVALID_HANDLE_VALUE);
    char buffer[1];
    EXPECT_FALSE(byNumber.Read(buffer, 1));
    EXPECT_FALSE(byNumber.Write("C", 1));
}

// Both ends of the pseudo-terminal pair, or a skip.
class RealComPort : public RealWindows {
protected:
    void SetUp() override {
        RealWindows::SetUp();
        farEnd = ::CreateFileA(farEndPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        TCOMDevice probe(5, false);
        if (probe.Handle() == INVALID_HANDLE_VALUE || farEnd == INVALID_HANDLE_VALUE) {
            GTEST_SKIP() << kStationPort << " or " << farEndPath()
                         << " is missing: link a pty pair into $WINEPREFIX/dosdevices "
                            "(scripts/wine-tests does)";
        }
        COMMTIMEOUTS t{};
        t.ReadTotalTimeoutConstant = 1000;
        ::SetCommTimeouts(farEnd, &t);
        ::PurgeComm(farEnd, PURGE_RXCLEAR | PURGE_TXCLEAR);
    }
    void TearDown() override {
        if (farEnd != INVALID_HANDLE_VALUE) {
            ::CloseHandle(farEnd);
        }
    }
    std::string farEndRead(DWORD count) {
        std::string bytes(count, '\0');
        DWORD done = 0;
        ::ReadFile(farEnd, bytes.data(), count, &done, nullptr);
        bytes.resize(done);
        return bytes;
    }
    void farEndWrite(const std::string& bytes) {
        DWORD done = 0;
        ::WriteFile(farEnd, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    }

    HANDLE farEnd = INVALID_HANDLE_VALUE;
};

TEST_F(RealComPort, PlainModeCarriesTheEvaluatorsFrames) {
    TCOMDevice port(5, false);
    ASSERT_NE(port.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(port.IsOverlapped());

    ASSERT_TRUE(port.SetCommParams(9600, 8, NOPARITY, ONESTOPBIT));
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    ASSERT_TRUE(::GetCommState(port.Handle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    // No handshake, whatever the line had before.
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_NE(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));

    COMMTIMEOUTS before{};
    ASSERT_TRUE(::GetCommTimeouts(port.Handle(), &before));
    ASSERT_TRUE(port.SetTimeout(150));
    COMMTIMEOUTS after{};
    ASSERT_TRUE(::GetCommTimeouts(port.Handle(), &after));
    EXPECT_EQ(after.ReadIntervalTimeout, 0u);
    EXPECT_EQ(after.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(after.ReadTotalTimeoutConstant, 150u);
    EXPECT_EQ(after.WriteTotalTimeoutMultiplier, before.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(after.WriteTotalTimeoutConstant, before.WriteTotalTimeoutConstant);

    // A silent line: the read ends by its time-out, succeeds, and leaves the buffer.
    char buffer[6] = "xxxxx";
    DWORD start = ::GetTickCount();
    EXPECT_TRUE(port.Read(buffer, 5));
    DWORD took = ::GetTickCount() - start;
    EXPECT_GE(took, 120u);
    EXPECT_LT(took, 2000u);
    EXPECT_STREQ(buffer, "xxxxx");

    // Frames reach the far end byte for byte, and its answers come back.
    ASSERT_TRUE(port.Write("C1E", 3));
    ASSERT_TRUE(port.Write("C\x61"
                           "E",
                           3));
    EXPECT_EQ(farEndRead(6), "C1ECaE");
    farEndWrite(std::string("3\x10\x00"
                            "4\x11\x00",
                            6));
    char reply[6] = {};
    EXPECT_TRUE(port.Read(reply, 6));
    EXPECT_EQ(std::string(reply, 6), std::string("3\x10\x00"
                                                 "4\x11\x00",
                                                 6));
}

// A far end that takes nothing: the pseudo-terminal's buffers fill up and the
// driver holds the rest of the write, as a line with CTS low would. The write
// time-out ends it, short, and the short write is a failure.
TEST_F(RealComPort, AWriteTheLineCannotTakeEndsByItsWriteTimeOut) {
    TCOMDevice port(5, false);
    ASSERT_NE(port.Handle(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(port.SetCommParams(9600, 8, NOPARITY, ONESTOPBIT));
    ASSERT_TRUE(port.SetTimeout(150));
    ASSERT_TRUE(port.SetWriteTimeout(300));
    COMMTIMEOUTS t{};
    ASSERT_TRUE(::GetCommTimeouts(port.Handle(), &t));
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 300u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 150u) << "the read side stays";

    const std::string block(4 << 20, 'x');
    DWORD start = ::GetTickCount();
    EXPECT_FALSE(port.Write(block.data(), static_cast<std::int32_t>(block.size())));
    DWORD took = ::GetTickCount() - start;
    EXPECT_GE(took, 250u);
    EXPECT_LT(took, 3000u);

    // Drain what did go through, so that the next case finds a quiet line.
    ASSERT_TRUE(::PurgeComm(port.Handle(), PURGE_TXCLEAR | PURGE_TXABORT));
    COMMTIMEOUTS quick{};
    quick.ReadTotalTimeoutConstant = 200;
    ::SetCommTimeouts(farEnd, &quick);
    while (!farEndRead(1 << 16).empty()) {
    }
}

TEST_F(RealComPort, OverlappedWriteDiscardsWhatWaitedInTheInputQueue) {
    TCOMDevice port(std::string(kStationPort), true);
    ASSERT_NE(port.Handle(), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(port.SetTimeout(300));
    COMMTIMEOUTS none{}; // the port itself never ends a read: only the poll does
    ASSERT_TRUE(::SetCommTimeouts(port.Handle(), &none));
    farEndWrite("stale");
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let the bytes arrive
    ASSERT_TRUE(port.Write("C2E", 3));
    EXPECT_EQ(farEndRead(3), "C2E");
    char buffer[6] = "-----";
    EXPECT_FALSE(port.Read(buffer, 5)) << "nothing to read once the queue was discarded";
    EXPECT_STREQ(buffer, "-----");
}

// A named pipe pair: the station's end overlapped, the other end plain.
class RealPipe : public RealWindows {
protected:
    void SetUp() override {
        RealWindows::SetUp();
        std::string name =
            "\\\\.\\pipe\\evaluator-serial-" + std::to_string(::GetCurrentProcessId());
        station = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096,
                                     0, nullptr);
        ASSERT_NE(station, INVALID_HANDLE_VALUE);
        other = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (other != INVALID_HANDLE_VALUE) {
            ::CloseHandle(other);
        }
        if (station != INVALID_HANDLE_VALUE) {
            ::CloseHandle(station);
        }
    }
    void otherWrite(const std::string& bytes) {
        DWORD done = 0;
        ::WriteFile(other, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    }

    HANDLE station = INVALID_HANDLE_VALUE;
    HANDLE other = INVALID_HANDLE_VALUE;
};

TEST_F(RealPipe, AnAdoptedHandleStaysOpen) {
    {
        TCOMDevice adopted(station, true);
        EXPECT_EQ(adopted.Handle(), station);
    }
    DWORD flags = 0;
    EXPECT_TRUE(::GetHandleInformation(station, &flags)) << "still a valid handle";
}

TEST_F(RealPipe, PollGivesUpAfterItsTimeOutAndTheCancelledReadTakesNothing) {
    TCOMDevice port(station, true);
    EXPECT_FALSE(port.SetTimeout(100)) << "a pipe has no comm time-outs";
    EXPECT_EQ(port.Timeout(), 100);
    char buffer[6] = "-----";
    DWORD start = ::GetTickCount();
    EXPECT_FALSE(port.Read(buffer, 5));
    DWORD took = ::GetTickCount() - start;
    EXPECT_GE(took, 90u);
    EXPECT_LT(took, 2000u);
    EXPECT_STREQ(buffer, "-----");

    otherWrite("hello");
    EXPECT_TRUE(port.Read(buffer, 5));
    EXPECT_EQ(std::string(buffer, 5), "hello");
}

TEST_F(RealPipe, PollWithoutTimeGivesUpAtOnce) {
    TCOMDevice port(station, true);
    for (std::int32_t timeout : {0, -1}) {
        (void)port.SetTimeout(timeout);
        char buffer[5] = {};
        DWORD start = ::GetTickCount();
        EXPECT_FALSE(port.Read(buffer, 5)) << timeout;
        EXPECT_LT(::GetTickCount() - start, 100u);
    }
    otherWrite("after");
    (void)port.SetTimeout(1000);
    char buffer[5] = {};
    EXPECT_TRUE(port.Read(buffer, 5));
    EXPECT_EQ(std::string(buffer, 5), "after");
}

TEST_F(RealPipe, ATransferThatCompletesDuringThePollSucceeds) {
    TCOMDevice port(station, true);
    (void)port.SetTimeout(3000);
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        otherWrite("abc"); // fewer than asked for: a pipe read ends with what came
    });
    char buffer[5] = {};
    DWORD start = ::GetTickCount();
    EXPECT_TRUE(port.Read(buffer, 5));
    late.join();
    EXPECT_LT(::GetTickCount() - start, 2000u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(RealPipe, OverlappedWriteGoesThroughEvenWhereThereIsNoQueueToPurge) {
    TCOMDevice port(station, true);
    (void)port.SetTimeout(500);
    ASSERT_TRUE(port.Write("C3E", 3));
    char buffer[3] = {};
    DWORD done = 0;
    ASSERT_TRUE(::ReadFile(other, buffer, 3, &done, nullptr));
    EXPECT_EQ(std::string(buffer, done), "C3E");
}

} // namespace
