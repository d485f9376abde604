// The whole station on the Linux backend: the window's station core with the
// product's link kinds, a recording window, and evaluators played by a thread
// of the test at the far end of a faked hidraw node and of a faked FTDI or
// PL2303 adapter's tty. The evaluator answers at once, so the real time that
// passes is only what the descriptors take. HID and FTDI pass and fail once,
// PL2303 passes, with the counters shown and kept in test.ini, the result on
// the display and the exact bytes on the wire; each is seen on the first tick
// after it is plugged in and after it is unplugged.
#include "FakeDevices.h"
#include "Hid.h"
#include "ProfileWide.h"
#include "SetupApi.h"
#include "StationFixture.h"
#include "Win.h"
#include "linux/LinuxBackend.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// An evaluator at the far end: it answers what arrives, pressing the keys it
// was given one per key wait.
class PlayedEvaluator {
public:
    using Answer = std::function<std::string(std::string& pending, std::deque<int>& keys)>;
    PlayedEvaluator(int fd, std::deque<int> keys, Answer answer)
        : fd_(fd), keys_(std::move(keys)), answer_(std::move(answer)), thread_([this] { run(); }) {}
    ~PlayedEvaluator() {
        stop_ = true;
        thread_.join();
    }
    // What the station sent, once at least `size` bytes have come or `patience` passed.
    std::string received(std::size_t size, std::chrono::milliseconds patience) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, patience, [&] { return received_.size() >= size; });
        return received_;
    }

private:
    void run() {
        std::string pending;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0 || (p.revents & POLLIN) == 0) {
                continue;
            }
            char chunk[64];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                return;
            }
            pending.append(chunk, static_cast<std::size_t>(n));
            {
                std::lock_guard lock(mutex_);
                received_.append(chunk, static_cast<std::size_t>(n));
            }
            arrived_.notify_all();
            std::string reply = answer_(pending, keys_);
            if (!reply.empty()) {
                fake::send(fd_, reply);
            }
        }
    }
    int fd_;
    std::deque<int> keys_;
    Answer answer_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::string received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Over HID: a key report [5, key, 0] after each "key capture on" [2, 1, 254]
// (hidraw may hand over two reports in one read, so they are split by size).
std::string hidAnswer(std::string& pending, std::deque<int>& keys) {
    std::string reply;
    while (pending.size() >= 3) {
        std::string report = pending.substr(0, 3);
        pending.erase(0, 3);
        if (report == std::string("\x02\x01\xFE", 3) && !keys.empty()) {
            reply += std::string{'\x05', static_cast<char>(keys.front()), '\0'};
            keys.pop_front();
        }
    }
    return reply;
}

// Over serial: '3' for "C1E", "C2E" and "C3E", and after "C2E" the key
// report 0x10, 0, the key, 0x11, 0. The level frame gets no answer.
std::string serialAnswer(std::string& pending, std::deque<int>& keys) {
    std::string reply;
    for (;;) {
        auto start = pending.find('C');
        if (start == std::string::npos || pending.size() < start + 3) {
            return reply;
        }
        std::string frame = pending.substr(start, 3);
        pending.erase(0, start + 3);
        if (frame == "C1E" || frame == "C3E") {
            reply += '3';
        } else if (frame == "C2E") {
            reply += '3';
            if (!keys.empty()) {
                reply +=
                    std::string{'\x10', '\0', static_cast<char>('0' + keys.front()), '\x11', '\0'};
                keys.pop_front();
            }
        }
    }
}

// The Linux backend, except that the program is reported as lying in the
// test's own directory, so that test.ini is the test's (the real answer would
// be the test program beside the build's other tests).
std::string programFile;

DWORD programInTestDirectory(HMODULE module, LPSTR buffer, DWORD size) {
    if (module != nullptr || buffer == nullptr || size == 0) {
        return lnx::backend().GetModuleFileNameA(module, buffer, size);
    }
    const std::size_t length = std::min<std::size_t>(programFile.size(), size - 1);
    std::memcpy(buffer, programFile.data(), length);
    buffer[length] = '\0';
    return programFile.size() < size ? static_cast<DWORD>(length) : size;
}

DWORD programInTestDirectoryW(HMODULE module, LPWSTR buffer, DWORD size) {
    return profile::ModuleFileNameW(&programInTestDirectory, lnx::backend().SetLastError, module,
                                    buffer, size);
}

const win::Backend& linuxWithTestProgram() {
    static const win::Backend table = [] {
        win::Backend t = lnx::backend();
        t.GetModuleFileNameA = &programInTestDirectory;
        t.GetModuleFileNameW = &programInTestDirectoryW;
        return t;
    }();
    return table;
}

enum class Link { Hid, Pl2303, Ftdi };

struct Case {
    const char* name;
    Link link;
    std::deque<int> keys;  // what the operator presses, one per key wait
    std::vector<int> good; // markers left showing the good picture
    std::vector<int> bad;  // and the bad one
    std::string wire;      // everything the station sent to the evaluator
};

std::string repeat(int times, const std::string& part) {
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += part;
    }
    return all;
}

// Prompt [1, 0, 255] and level 5 [3, 5, 250]; each key wait: prompt 1, key
// capture on, key capture off, finish.
const std::string kHidStart("\x01\x00\xFF\x03\x05\xFA", 6);
const std::string kHidKeyWait("\x01\x01\xFE\x02\x01\xFE\x02\x00\xFF\x04\x00\xFF", 12);
// "C1E", the level frame 'C', 0x66 - 5, 'E', then "C2E" per key wait.
const std::string kSerialStart = "C1ECaE";

const Case kCases[] = {
    {"HidPasses",
     Link::Hid,
     {1, 2, 3, 4, 5, 6},
     {1, 2, 3, 4, 5, 6},
     {},
     kHidStart + repeat(6, kHidKeyWait)},
    {"HidFailsAtAWrongKey",
     Link::Hid,
     {1, 2, 5},
     {1, 2},
     {3, 5},
     kHidStart + repeat(3, kHidKeyWait)},
    {"FtdiPasses",
     Link::Ftdi,
     {1, 2, 3, 4, 5, 6},
     {1, 2, 3, 4, 5, 6},
     {},
     kSerialStart + repeat(6, "C2E")},
    {"FtdiFailsAtAWrongKey", Link::Ftdi, {1, 4}, {1}, {2, 4}, kSerialStart + repeat(2, "C2E")},
    {"Pl2303Passes",
     Link::Pl2303,
     {1, 2, 3, 4, 5, 6},
     {1, 2, 3, 4, 5, 6},
     {},
     kSerialStart + repeat(6, "C2E")},
};

// The station's fixture with its recording window, on the Linux backend over
// a fresh umockdev testbed; every handle of the backend is closed again once
// the station and the libraries are gone.
class LinuxStationTest : public LinkedStationTest, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        win::useBackend(linuxWithTestProgram());
        handlesBefore = lnx::openHandles();
        bed = std::make_unique<fake::Testbed>();
        LinkedStationTest::SetUp(); // binds both libraries on this backend
        programFile = (dir_ / "evaluator-station").string();
    }
    void TearDown() override {
        LinkedStationTest::TearDown();
        EXPECT_EQ(lnx::openHandles(), handlesBefore) << "a handle was left open";
        bed.reset();
    }

    // The evaluator of the case's link, with a device of another kind beside it.
    std::string plug(Link link) {
        if (link == Link::Hid) {
            bed->addHidraw(0, 2, 0x046D, 0xC077, fake::keyboardDescriptor());
            return bed->addHidraw(1, 3, 0x10C4, 0x82CD, fake::evaluatorDescriptor());
        }
        bed->addUsbDevice(2, 0x05E3, 0x0610);
        if (link == Link::Pl2303) {
            return bed->addSerial("ttyUSB0", 4, 0x067B, 0x2303, "pl2303", 0x0300);
        }
        return bed->addSerial("ttyUSB0", 4, 0x0403, 0x6001, "ftdi_sio");
    }

    std::unique_ptr<fake::Testbed> bed;
    std::size_t handlesBefore = 0;
};

TEST_P(LinuxStationTest, ATestRunsToItsResultAndIsCounted) {
    const Case& c = GetParam();
    const bool passes = c.bad.empty();
    writeIni("[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
    start(productLinkKinds());
    std::vector<std::vector<int>> hinted; // the markers showing the hint at each paint
    window_.onPaint = [&] { hinted.push_back(markersShowing(form_->imgHint)); };
    deliverTick(); // nothing attached
    EXPECT_EQ(form_->lbCount->text(), "3/5");
    EXPECT_EQ(form_->lbDevType->text(), "");

    const std::string dev = plug(c.link);
    {
        PlayedEvaluator evaluator(bed->farEnd(dev), c.keys,
                                  c.link == Link::Hid ? hidAnswer : serialAnswer);
        deliverTick(); // found, opened, counted, prompted
        EXPECT_EQ(form_->lbDevType->text(), c.link == Link::Hid      ? "HID"
                                            : c.link == Link::Pl2303 ? "2303"
                                                                     : "FTDI");
        EXPECT_EQ(form_->lbCount->text(), "3/6");
        EXPECT_TRUE(form_->imgPower->isVisible());
        EXPECT_EQ(form_->Timer1->interval(), 2000);

        // The lamps, then one key wait per tick until the result; then the
        // result stays and nothing more goes to the device.
        for (int i = 0; i < 1 + 6 + 3; ++i) {
            deliverTick();
        }
        // Everything was written by now: the evaluator's thread may still be
        // reading it, and a byte too many would follow at once.
        evaluator.received(c.wire.size(), std::chrono::seconds(5));
        EXPECT_EQ(evaluator.received(c.wire.size() + 1, std::chrono::milliseconds(100)), c.wire);
    }
    const std::size_t waits = c.good.size() + (passes ? 0 : 1);
    ASSERT_EQ(hinted.size(), waits);
    for (std::size_t key = 1; key <= waits; ++key) {
        EXPECT_EQ(hinted[key - 1], std::vector<int>{static_cast<int>(key)});
    }
    EXPECT_EQ(visibleLamps(), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(markersShowing(form_->imgGood), c.good);
    EXPECT_EQ(markersShowing(form_->imgBad), c.bad);
    EXPECT_EQ(form_->imgPassed->isVisible(), passes);
    EXPECT_EQ(form_->imgFailed->isVisible(), !passes);
    EXPECT_EQ(form_->lbStatus->text(), passes ? kPassWord : kFailWord);
    EXPECT_EQ(form_->lbCount->text(), passes ? "4/6" : "3/6");
    EXPECT_EQ(iniText(),
              passes ? "[COUNT]\r\nPassed=4\r\nTotal=6\r\n" : "[COUNT]\r\nPassed=3\r\nTotal=6\r\n");
    EXPECT_TRUE(window_.errors.empty());

    // Unplugged: the display clears on the next tick, the counts stay.
    bed->unplug(dev);
    deliverTick();
    EXPECT_FALSE(anyTaggedVisible());
    EXPECT_EQ(form_->lbDevType->text(), "");
    EXPECT_EQ(form_->lbCount->text(), passes ? "4/6" : "3/6");
}

INSTANTIATE_TEST_SUITE_P(EachLink, LinuxStationTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
