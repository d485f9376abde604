// The virtual evaluator's device side: the station's reports and frames in,
// lamps and the device's answers out, for a working unit and faulty ones.
#include "EvaluatorDevice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using demo::EvaluatorDevice;
using demo::Fault;
using demo::Link;

std::string b(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

// Everything the device sends in answer, in order, and the longest delay.
std::string joined(const std::vector<demo::Reply>& replies) {
    std::string out;
    for (const auto& r : replies) {
        out += r.bytes;
    }
    return out;
}

TEST(EvaluatorDeviceHid, FollowsOneTestOfTheStation) {
    EvaluatorDevice d(Link::Hid);
    EXPECT_TRUE(d.received(b({1, 0, 255})).empty()); // prompt: HID commands have no answer
    EXPECT_TRUE(d.power());
    d.received(b({3, 5, 250}));
    EXPECT_EQ(d.level(), 5);
    EXPECT_TRUE(d.press(1).empty()); // nobody asks yet: the key goes nowhere

    for (int key = 1; key <= 6; ++key) {
        d.received(b({1, 1, 254}));
        d.received(b({2, 1, 254}));
        ASSERT_TRUE(d.waiting());
        EXPECT_EQ(d.keyWaits(), key);
        auto replies = d.press(key);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].bytes, b({5, key, 255 - key}));
        EXPECT_LT(replies[0].delayMs, 100u);
        EXPECT_TRUE(d.press(key).empty()); // one key per wait
        d.received(b({2, 0, 255}));
        d.received(b({4, 0, 255}));
        EXPECT_FALSE(d.waiting());
    }
    d.received(b({1, 0, 255}));
    EXPECT_EQ(d.keyWaits(), 0); // a new prompt starts again at key 1
}

TEST(EvaluatorDeviceHid, IgnoresACommandWhoseCheckByteIsWrong) {
    EvaluatorDevice d(Link::Hid);
    d.received(b({3, 5, 251}));
    d.received(b({3, 5}));
    EXPECT_EQ(d.level(), 0);
    EXPECT_FALSE(d.power());
}

TEST(EvaluatorDeviceSerial, AcknowledgesFramesAndReportsTheKey) {
    EvaluatorDevice d(Link::Pl2303);
    EXPECT_EQ(joined(d.received("C1E")), "3");
    EXPECT_TRUE(d.received("CaE").empty()); // level 5, no answer
    EXPECT_EQ(d.level(), 5);
    // Frames split across writes and line noise between them.
    EXPECT_TRUE(d.received("xC").empty());
    EXPECT_EQ(joined(d.received("2E")), "3");
    EXPECT_EQ(joined(d.press(4)), b({0x10, 0, '4', 0x11, 0}));
    EXPECT_FALSE(d.waiting());
    EXPECT_EQ(joined(d.received("C3E")), "3");
    EXPECT_TRUE(d.received("CfE").empty());
    EXPECT_EQ(d.level(), 0);
}

struct FaultCase {
    Fault fault;
    Link link;
    std::string ack;  // to "C2E" (serial)
    std::string key3; // what pressing key 3 sends
    bool late;
};

class EvaluatorDeviceFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(EvaluatorDeviceFault, AnswersAsTheFaultyUnitDoes) {
    const auto& c = GetParam();
    EvaluatorDevice d(c.link);
    d.fault = c.fault;
    std::vector<demo::Reply> replies;
    if (c.link == Link::Hid) {
        d.received(b({1, 1, 254}));
        d.received(b({2, 1, 254}));
    } else {
        replies = d.received("C2E");
    }
    EXPECT_EQ(joined(replies), c.ack);
    auto key = d.press(3);
    EXPECT_EQ(joined(key), c.key3);
    for (const auto& r : key) {
        EXPECT_EQ(r.delayMs > 5000, c.late);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EvaluatorDeviceFault,
    ::testing::Values(FaultCase{Fault::Silent, Link::Hid, "", "", false},
                      FaultCase{Fault::Silent, Link::Ftdi, "", "", false},
                      FaultCase{Fault::WrongKey, Link::Hid, "", b({5, 4, 251}), false},
                      FaultCase{Fault::WrongKey, Link::Pl2303, "3", b({0x10, 0, '4', 0x11, 0}),
                                false},
                      FaultCase{Fault::Garbage, Link::Hid, "", b({6, 3, 0}), false},
                      FaultCase{Fault::Garbage, Link::Ftdi, "?", b({0x10, 0, '3', 0x13, 0}), false},
                      FaultCase{Fault::Slow, Link::Hid, "", b({5, 3, 252}), true},
                      FaultCase{Fault::Slow, Link::Pl2303, "3", b({0x10, 0, '3', 0x11, 0}), true}));

} // namespace
