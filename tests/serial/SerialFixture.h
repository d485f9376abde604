// A fresh simulated machine with the device-setup library bound, for the
// serial link's tests.
#pragma once

#include "SetupApi.h"
#include "Win.h"
#include "sim/SimMachine.h"
#include "sim/SimSerial.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

namespace serialtest {

// Bytes written as a list of values, for readable expectations.
inline std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

class SerialFixture : public ::testing::Test {
protected:
    void SetUp() override {
        win::useBackend(sim::backend());
        sim::machine().reset();
        ASSERT_TRUE(BindSetupApi());
    }
    void TearDown() override {
        for (const auto& v : sim::machine().violations()) {
            ADD_FAILURE() << "simulated machine: " << v;
        }
        EXPECT_EQ(sim::machine().pendingTransfers(), 0u);
        // Every port, device list and registry key the code opened is closed again.
        EXPECT_EQ(sim::machine().openHandles("file"), 0u);
        EXPECT_EQ(sim::machine().openHandles("devinfo"), 0u);
        EXPECT_EQ(sim::machine().openHandles("key"), 0u);
        EXPECT_EQ(sim::machine().openHandles("event"), 0u);
        UnbindSetupApi();
    }

    // Starts again on a fresh machine, for tables of cases within one test.
    static void freshMachine() {
        UnbindSetupApi();
        sim::machine().reset();
        ASSERT_TRUE(BindSetupApi());
    }

    // A bare COM port at a path; tests wire its far end themselves.
    static std::shared_ptr<sim::SerialPort> addPort(const std::string& path) {
        auto port = std::make_shared<sim::SerialPort>();
        sim::machine().addDevice(path, port);
        return port;
    }

    static sim::Machine& machine() { return sim::machine(); }
    static std::uint64_t now() { return sim::machine().now(); }
    static std::uint64_t calls(const char* function) { return sim::machine().calls(function); }
    // Fails the next call of a function with an error.
    static void failNext(const char* function, DWORD error = ERROR_GEN_FAILURE) {
        sim::machine().failCall(function, calls(function) + 1, error);
    }
};

} // namespace serialtest
