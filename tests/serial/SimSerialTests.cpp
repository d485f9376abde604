// The simulated COM port itself: the read time-out rules that the serial
// link's tests rely on, the far end's framing, and the machine catching an
// overlapped transfer that outlives its call.
#include "SerialFixture.h"

#include <cstring>

namespace serialtest {
namespace {

class SimSerial : public SerialFixture {
protected:
    HANDLE openPort(DWORD flags = 0) {
        return win::CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, flags, nullptr);
    }
};

TEST_F(SimSerial, ReadsEndAsTheWindowsTimeOutRulesSay) {
    constexpr DWORD kMax = 0xFFFFFFFFu;
    struct Case {
        const char* what;
        COMMTIMEOUTS timeouts;
        std::uint64_t took;
        const char* got;
    };
    // Bytes "ab" arrive at 10 ms, "c" at 40 ms, "de" at 200 ms; the read asks for 5.
    for (const Case& c : {
             Case{"total time-out", {0, 0, 100, 0, 0}, 100, "abc"},
             Case{"total from the multiplier", {0, 10, 20, 0, 0}, 70, "abc"},
             Case{"interval time-out after the first byte", {25, 0, 0, 0, 0}, 35, "ab"},
             Case{"no time-outs: until all five came", {0, 0, 0, 0, 0}, 200, "abcde"},
             Case{"whatever is there, at once", {kMax, 0, 0, 0, 0}, 0, ""},
             Case{"the first bytes to come", {kMax, kMax, 500, 0, 0}, 10, "ab"},
             Case{"nothing within the constant", {kMax, kMax, 5, 0, 0}, 5, ""},
         }) {
        SCOPED_TRACE(c.what);
        freshMachine();
        auto port = addPort("\\\\.\\COM5");
        port->timeouts = c.timeouts;
        HANDLE h = openPort();
        port->send("ab", now() + 10);
        port->send("c", now() + 40);
        port->send("de", now() + 200);
        char buffer[5] = {};
        DWORD done = 99;
        std::uint64_t start = now();
        EXPECT_TRUE(win::ReadFile(h, buffer, 5, &done, nullptr));
        EXPECT_EQ(now() - start, c.took);
        EXPECT_EQ(std::string(buffer, done), c.got);
        win::CloseHandle(h);
    }
}

TEST_F(SimSerial, CtsLowHoldsWritesOnlyWithCtsFlowControl) {
    struct Case {
        const char* what;
        bool ctsFlow, ctsLow, stalled;
        DWORD writeConstant;
        std::uint64_t took;
        DWORD done;
    };
    for (const Case& c : {
             Case{"CTS low, no handshake", false, true, false, 0, 0, 3},
             Case{"CTS low, CTS handshake: held to the write time-out", true, true, false, 40, 40,
                  0},
             Case{"CTS high, CTS handshake", true, false, false, 0, 0, 3},
             Case{"a wedged adapter, no handshake", false, false, true, 40, 40, 0},
         }) {
        SCOPED_TRACE(c.what);
        freshMachine();
        auto port = addPort("\\\\.\\COM5");
        port->dcb.fOutxCtsFlow = c.ctsFlow ? 1 : 0;
        port->holdWrites = c.ctsLow;
        port->stallWrites = c.stalled;
        port->timeouts = {0, 0, 0, 0, c.writeConstant};
        HANDLE h = openPort();
        DWORD done = 99;
        std::uint64_t start = now();
        EXPECT_TRUE(win::WriteFile(h, "C1E", 3, &done, nullptr)) << "a write time-out is no error";
        EXPECT_EQ(now() - start, c.took);
        EXPECT_EQ(done, c.done);
        COMSTAT status{};
        ASSERT_TRUE(win::ClearCommError(h, nullptr, &status));
        EXPECT_EQ(status.fCtsHold, c.ctsFlow && c.ctsLow ? 1u : 0u);
        win::CloseHandle(h);
    }
}

TEST_F(SimSerial, TheFarEndSkipsWhatIsNotAFrameAndLogsBothSides) {
    auto port = addPort("\\\\.\\COM5");
    auto evaluator = std::make_shared<sim::ScriptedEvaluator>();
    port->attach(evaluator);
    HANDLE h = openPort();
    DWORD done = 0;
    const std::string bytes = "xxC1EC9C3EC";
    ASSERT_TRUE(win::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr));
    EXPECT_EQ((std::vector<std::string>{"C1E", "C3E"}), evaluator->frames);
    machine().advance(sim::ScriptedEvaluator::kAckDelay);
    EXPECT_EQ(port->queued(), 2u);
    EXPECT_EQ(port->stationBytes(), bytes);
    EXPECT_EQ(port->evaluatorBytes(), "33");
    win::CloseHandle(h);
}

TEST_F(SimSerial, ATransferOutlivingItsEventIsCaughtAndWritesNothingLater) {
    auto port = addPort("\\\\.\\COM5");
    port->timeouts = {0, 0, 0, 0, 0};
    HANDLE h = openPort(FILE_FLAG_OVERLAPPED);
    OVERLAPPED record{};
    record.hEvent = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[4] = "---";
    ASSERT_FALSE(win::ReadFile(h, buffer, 3, nullptr, &record));
    ASSERT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    win::CloseHandle(record.hEvent); // as if the call that owned all this had returned
    ASSERT_EQ(machine().violations().size(), 1u);
    port->send("abc", now() + 1);
    machine().advance(10);
    EXPECT_STREQ(buffer, "---");
    EXPECT_EQ(record.Internal, kStatusPending);
    EXPECT_EQ(machine().pendingTransfers(), 0u);
    win::CloseHandle(h);
    freshMachine(); // the violation was the point of this test
}

} // namespace
} // namespace serialtest
