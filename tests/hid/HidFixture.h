// A fresh simulated machine with both libraries bound, for the HID link's tests.
#pragma once

#include "Hid.h"
#include "SetupApi.h"
#include "Win.h"
#include "sim/SimHidDevice.h"
#include "sim/SimMachine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace hidtest {

inline constexpr std::uint16_t kVendor = 0x10C4;
inline constexpr std::uint16_t kProduct = 0x82CD;

// Device paths as Windows spells them for HID interfaces.
inline std::string hidPath(std::uint16_t vendor, std::uint16_t product, int instance) {
    char text[96];
    std::snprintf(text, sizeof text,
                  "\\\\?\\hid#vid_%04x&pid_%04x#7&%x&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  vendor, product, 0x1a2b + instance);
    return text;
}

// Report bytes written as a byte list, for readable expectations.
inline std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

// An evaluator (our identifiers) at the end of the enumeration order.
inline std::shared_ptr<sim::HidDevice> plugEvaluator(int instance = 0) {
    return sim::plugHid(hidPath(kVendor, kProduct, instance), kVendor, kProduct);
}

// Some other HID device: a keyboard, a mouse, a vendor gadget.
inline std::shared_ptr<sim::HidDevice> plugOther(int instance = 0, std::uint16_t vendor = 0x046D,
                                                 std::uint16_t product = 0xC52B) {
    return sim::plugHid(hidPath(vendor, product, instance), vendor, product);
}

class HidFixture : public ::testing::Test {
protected:
    void SetUp() override {
        win::useBackend(sim::backend());
        sim::machine().reset();
        ASSERT_TRUE(BindHid());
        ASSERT_TRUE(BindSetupApi());
    }
    void TearDown() override {
        for (const auto& v : sim::machine().violations()) {
            ADD_FAILURE() << "simulated machine: " << v;
        }
        EXPECT_EQ(sim::machine().pendingTransfers(), 0u);
        EXPECT_EQ(sim::machine().openHandles("preparsed"), 0u);
        UnbindSetupApi();
        UnbindHid();
    }

    static sim::Machine& machine() { return sim::machine(); }
    static std::uint64_t now() { return sim::machine().now(); }
};

} // namespace hidtest
