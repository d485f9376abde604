// The station window with the product's link kinds against an evaluator played
// at the other end of a socket, as the virtual evaluator plays it: the same
// conversation, run here on the virtual clock. The test is the other process:
// it answers the station's bytes with the device model and presses keys.
#include "EvaluatorDevice.h"
#include "Hid.h"
#include "LinkKinds.h"
#include "SetupApi.h"
#include "StationFixture.h"
#include "sim/SimRemote.h"

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct LinkCase {
    demo::Link link;
    const char* plug;
    const char* shown;
};

class RemoteStationTest : public StationTest, public ::testing::WithParamInterface<LinkCase> {
protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_TRUE(BindHid());
        ASSERT_TRUE(BindSetupApi());
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        link_ = sim::RemoteDevices::overSocket(fds[0]);
        peer_ = fds[1];
        sim::machine().addPoller([this] {
            link_->poll();
            serve();
        });
        device_.reset(GetParam().link);
    }
    void TearDown() override {
        StationTest::TearDown();
        EXPECT_EQ(sim::machine().openHandles("file"), 0u);
        for (const auto& v : sim::machine().violations()) {
            ADD_FAILURE() << "simulated machine: " << v;
        }
        sim::machine().reset(); // the pollers go before the link they call
        link_.reset();
        ::close(peer_);
        UnbindSetupApi();
        UnbindHid();
    }

    void say(const std::string& line) {
        ASSERT_EQ(::send(peer_, line.data(), line.size(), 0), static_cast<ssize_t>(line.size()));
    }
    void sayLater(std::uint64_t delay, std::string line) {
        sim::machine().schedule(sim::machine().now() + delay, [this, line] { say(line); });
    }

    // The evaluator's side: the station's bytes in, the device's answers out;
    // the operator presses the asked key (or the one in `presses`) 300 ms
    // into each key wait.
    void serve() {
        char buffer[256];
        ssize_t n;
        while ((n = ::recv(peer_, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) {
            received_.append(buffer, static_cast<std::size_t>(n));
        }
        std::size_t end;
        while ((end = received_.find('\n')) != std::string::npos) {
            std::string line = received_.substr(0, end);
            received_.erase(0, end + 1);
            ASSERT_EQ(line.substr(0, 4), "out ");
            auto bytes = sim::remote::fromHex(line.substr(4));
            ASSERT_TRUE(bytes);
            wire_ += *bytes;
            bool was = device_.waiting();
            answer(device_.received(*bytes));
            if (!was && device_.waiting() && device_.keyWaits() != unplugAt_) {
                int key = device_.keyWaits();
                sim::machine().schedule(sim::machine().now() + 300,
                                        [this, key] { answer(device_.press(key)); });
            }
        }
    }
    void answer(const std::vector<demo::Reply>& replies) {
        for (const auto& r : replies) {
            sayLater(r.delayMs, sim::remote::bytesLine("in", r.bytes));
        }
    }

    void nextTick(int count = 1) {
        for (int i = 0; i < count; ++i) {
            sim::machine().advance(static_cast<std::uint64_t>(form_->Timer1->interval()));
            tick();
        }
    }

    std::shared_ptr<sim::RemoteDevices> link_;
    int peer_ = -1;
    std::string received_;
    std::string wire_; // every byte the station wrote
    demo::EvaluatorDevice device_;
    int unplugAt_ = 0;
};

TEST_P(RemoteStationTest, APassingRunThenUnplugging) {
    start(productLinkKinds());
    say(GetParam().plug);
    nextTick(); // found, opened, counted, prompted
    EXPECT_EQ(form_->lbDevType->text(), GetParam().shown);
    EXPECT_TRUE(device_.power());
    nextTick(1 + 6);
    EXPECT_EQ(device_.level(), 5);
    EXPECT_EQ(markersShowing(form_->imgGood), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(form_->imgPassed->isVisible());
    EXPECT_EQ(form_->lbCount->text(), "1/1");

    say("unplug\n");
    nextTick();
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_FALSE(link_->hid());
    EXPECT_FALSE(link_->adapter());
}

TEST_P(RemoteStationTest, UnpluggingDuringAKeyWaitFailsThatKeyThenClears) {
    unplugAt_ = 3;
    start(productLinkKinds());
    say(GetParam().plug);
    nextTick(2 + 2);
    ASSERT_EQ(markersShowing(form_->imgGood), (std::vector<int>{1, 2}));

    sayLater(100 + 1500, "unplug\n"); // the operator pulls the cable during the wait for key 3
    std::uint64_t start = sim::machine().now();
    nextTick();
    EXPECT_LT(sim::machine().now() - start, 100u + 1500u + 50u); // the wait ends with the link
    EXPECT_EQ(markersShowing(form_->imgBad), std::vector<int>{3});
    EXPECT_TRUE(form_->imgFailed->isVisible());

    nextTick();
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_EQ(form_->lbCount->text(), "0/1");

    say(GetParam().plug); // and the station takes the next one
    nextTick();
    EXPECT_EQ(form_->lbCount->text(), "0/2");
}

INSTANTIATE_TEST_SUITE_P(
    Links, RemoteStationTest,
    ::testing::Values(LinkCase{demo::Link::Hid, "plug hid\n", "HID"},
                      LinkCase{demo::Link::Pl2303, "plug pl2303 COM5\n", "2303"},
                      LinkCase{demo::Link::Ftdi, "plug ftdi COM6\n", "FTDI"}),
    [](const auto& info) {
        return std::string(info.param.shown == std::string("2303") ? "PL2303" : info.param.shown);
    });

// The conversation itself: odd lines are skipped, a lost connection unplugs.
class RemoteLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::machine().reset();
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        link_ = sim::RemoteDevices::overSocket(fds[0]);
        peer_ = fds[1];
    }
    void TearDown() override {
        sim::machine().reset();
        if (peer_ >= 0) {
            ::close(peer_);
        }
    }
    void say(const std::string& text) {
        ASSERT_EQ(::send(peer_, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        link_->poll();
    }
    std::shared_ptr<sim::RemoteDevices> link_;
    int peer_ = -1;
};

TEST_F(RemoteLinkTest, SkipsWhatItDoesNotUnderstand) {
    say("plug usb\nplug pl2303 COM0\nplug ftdi COM256\nplug pl2303 LPT1\nplug hid COM5\n"
        "in 0\nin zz\n" +
        std::string(300, 'x') + "plug hid\n");
    EXPECT_FALSE(link_->hid()); // the over-long line took its "plug hid" with it
    EXPECT_FALSE(link_->adapter());
    EXPECT_TRUE(sim::machine().nodes.empty());

    say("plug ftdi COM12\r\n");
    ASSERT_TRUE(link_->adapter());
    EXPECT_EQ(link_->adapter()->portName, "COM12");
    EXPECT_EQ(sim::machine().nodes.size(), 2u); // the FTDI chip and its port
    say("plug hid\n");                          // a second plug replaces the first
    EXPECT_FALSE(link_->adapter());
    EXPECT_TRUE(sim::machine().nodes.empty());
    EXPECT_EQ(sim::machine().interfaces.size(), 1u);
}

TEST_F(RemoteLinkTest, AClosedConnectionUnplugs) {
    say("plug pl2303 COM5\n");
    ASSERT_TRUE(link_->adapter());
    ::close(peer_);
    peer_ = -1;
    link_->poll();
    EXPECT_FALSE(link_->connected());
    EXPECT_FALSE(link_->adapter());
    EXPECT_TRUE(sim::machine().nodes.empty());
    EXPECT_FALSE(sim::machine().device("\\\\.\\COM5"));
}

} // namespace
