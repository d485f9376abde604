// The station's test sequence over the real link objects and the Linux
// backend, against an evaluator played by a thread of the test at the far end
// of a faked hidraw node and of a faked FTDI adapter's tty: the calls in the
// order the sequence makes them (presence, Open, Prompt, SetLevel(5), then
// WaitKey(5000) for keys 1 to 6), a pass and a fail, and the counters the
// station would keep.
#include "BackendFixture.h"
#include "uCOMMivoDevice.h"
#include "uHIDMivoDevice.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
    // What the station sent, once at least `size` bytes have come (or a second passed).
    std::string received(std::size_t size) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::seconds(1), [&] { return received_.size() >= size; });
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

// Over HID: a key report [5, key, 0] after each "key capture on" [2, 1, 254].
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
// report 0x10, 0, the key, 0x11, 0.
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

struct Counters {
    int passed = 0;
    int total = 0;
};

// One test as the station's sequence runs it; true for a pass.
bool runSequence(IMivoDevice& device, Counters& counters) {
    if (!device.Open()) {
        return false;
    }
    ++counters.total;
    bool passed = device.Prompt();
    device.SetLevel(5);
    for (int key = 1; passed && key <= 6; ++key) {
        passed = device.WaitKey(5000) == key;
    }
    if (passed) {
        ++counters.passed;
    }
    device.Close();
    return passed;
}

class StationTest : public LinuxBackendTest {};

TEST_F(StationTest, HidEvaluatorPassesThenFails) {
    bed->addHidraw(0, 2, 0x046D, 0xC077, fake::keyboardDescriptor());
    const std::string dev = bed->addHidraw(1, 3, THIDMivoDevice::VendorID,
                                           THIDMivoDevice::ProductID, fake::evaluatorDescriptor());
    ASSERT_TRUE(THIDMivoDevice::Present());
    Counters counters;
    {
        PlayedEvaluator evaluator(bed->farEnd(dev), {1, 2, 3, 4, 5, 6}, hidAnswer);
        auto device = std::make_shared<THIDMivoDevice>();
        EXPECT_TRUE(runSequence(*device, counters));
        EXPECT_TRUE(THIDMivoDevice::Present()); // closed between operations
    }
    {
        PlayedEvaluator evaluator(bed->farEnd(dev), {1, 2, 3, 5}, hidAnswer);
        auto device = std::make_shared<THIDMivoDevice>();
        EXPECT_FALSE(runSequence(*device, counters));
        // Prompt, level 5, then key waits 1 to 4, the last one answered wrongly.
        std::string expected = std::string("\x01\x00\xFF\x03\x05\xFA", 6);
        for (int key = 1; key <= 4; ++key) {
            expected += std::string("\x01\x01\xFE\x02\x01\xFE\x02\x00\xFF\x04\x00\xFF", 12);
        }
        EXPECT_EQ(evaluator.received(expected.size()), expected);
    }
    EXPECT_EQ(counters.passed, 1);
    EXPECT_EQ(counters.total, 2);
}

TEST_F(StationTest, FtdiEvaluatorPassesThenFails) {
    bed->addUsbDevice(2, 0x05E3, 0x0610);
    const std::string tty = bed->addSerial("ttyUSB0", 4, 0x0403, 0x6001, "ftdi_sio");
    ASSERT_TRUE(TFTDIDevice::Exists());
    ASSERT_FALSE(TPL2303Device::Exists());
    Counters counters;
    {
        PlayedEvaluator evaluator(bed->farEnd(tty), {1, 2, 3, 4, 5, 6}, serialAnswer);
        auto device = std::make_shared<TFTDIMivo>();
        EXPECT_TRUE(runSequence(*device, counters));
    }
    {
        PlayedEvaluator evaluator(bed->farEnd(tty), {1, 2, 6}, serialAnswer);
        auto device = std::make_shared<TFTDIMivo>();
        EXPECT_FALSE(runSequence(*device, counters));
        // The level frame is 'C', 0x66 - 5, 'E'.
        EXPECT_EQ(evaluator.received(6).substr(0, 6), "C1EC"
                                                      "aE");
    }
    EXPECT_EQ(counters.passed, 1);
    EXPECT_EQ(counters.total, 2);
}

} // namespace
