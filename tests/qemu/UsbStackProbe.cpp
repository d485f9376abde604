// The probe that runs inside the QEMU guest, as /probe of its initramfs: the
// station's link objects over the Linux backend, on the guest kernel's own
// xHCI, usbhid, hidraw, ftdi_sio and pl2303 drivers. Statically linked, since
// the initramfs holds nothing but busybox.
//
// It waits for the three devices as the station's presence tests see them, then
// on each link in turn runs the station's exchange twice (Prompt, SetLevel(5),
// then WaitKey(5000) for keys 1 to 6 until a wrong one): the host's evaluator
// passes the first test and presses a wrong second key in the next. Then it
// starts one more key wait with a long read time-out, and the host unplugs the
// device: the read must fail at once rather than time out, and the presence
// test must turn false. Once the PL2303 adapter has gone, the host plugs in one
// of a chip type the driver does not serve, and last the station itself ticks
// 100 times with it attached. Each step prints one line on the console, "PROBE
// PASS step: detail" or "PROBE FAIL step: detail", and the last line is "PROBE
// END ok" or "PROBE END failed"; the host checks them.
#include "Hid.h"
#include "LinkKinds.h"
#include "SetupApi.h"
#include "Win.h"
#include "frmMain.h"
#include "linux/DeviceText.h"
#include "linux/LinuxBackend.h"
#include "uCOMMivoDevice.h"
#include "uHIDMivoDevice.h"
#include "uUSBClass.h"

#include <fcntl.h>
#include <glob.h>
#include <malloc.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Long enough that a read which ends by its time-out cannot pass for an unplug.
constexpr DWORD kUnplugReadTimeoutMs = 20000;
constexpr long long kUnplugSeenWithinMs = 10000;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool allPassed = true;

void report(const std::string& step, bool passed, const char* format, ...) {
    char detail[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    std::printf("PROBE %s %s: %s\n", passed ? "PASS" : "FAIL", step.c_str(), detail);
    std::fflush(stdout);
    allPassed = allPassed && passed;
}

// Asks `test` every 100 ms, as the station's tick does, until it gives
// `wanted` or `limitMs` has passed; the milliseconds it took, or -1.
long long pollUntil(const std::function<bool()>& test, bool wanted, long long limitMs) {
    const auto start = Clock::now();
    for (;;) {
        if (test() == wanted) {
            return msSince(start);
        }
        if (msSince(start) >= limitMs) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// One test as the station's sequence runs it, ending at the first wrong key;
// the keys read, as digits, and how long Close took.
std::string runSequence(IMivoDevice& device, long long& closeMs) {
    if (!device.Open()) {
        return "no open";
    }
    std::string keys = device.Prompt() ? "" : "(no prompt ack) ";
    device.SetLevel(5);
    for (int key = 1; key <= 6; ++key) {
        const int pressed = device.WaitKey(5000);
        keys += std::to_string(pressed);
        if (pressed != key) {
            break;
        }
    }
    const auto start = Clock::now();
    (void)device.Close();
    closeMs = msSince(start);
    return keys;
}

// A key wait as WaitKey starts it ([1, 1, 254], then capture on), whose read
// the unplug must end with a failure (code 5), not a time-out (code 4). False
// when the wait could not start.
bool hidKeyWait(bool& failed) {
    THIDDevice device;
    const int count = THIDDevice::Count(THIDMivoDevice::VendorID, THIDMivoDevice::ProductID);
    (void)device.Open(count - 1, THIDMivoDevice::VendorID, THIDMivoDevice::ProductID, 0);
    device.SetTimeouts(kUnplugReadTimeoutMs, 100);
    const std::uint8_t prompt[3] = {1, 1, 254};
    const std::uint8_t captureOn[3] = {2, 1, 254};
    if (device.Write(prompt, 3) != THIDResult::Success ||
        device.Write(captureOn, 3) != THIDResult::Success) {
        return false;
    }
    std::uint8_t buffer[3] = {};
    DWORD read = 0;
    failed = device.Read(buffer, 3, 1, read) == THIDResult::TransferFailed;
    return true;
}

// "C2E" acknowledged, then the unplug while the key report is awaited: the
// read fails (the tty hangs up).
template <class Adapter> bool ttyKeyWait(bool& failed) {
    const std::unique_ptr<TCOMDevice> port = Adapter::OpenPort();
    char ack = 0;
    char key[5] = {};
    if (!port || port->Handle() == INVALID_HANDLE_VALUE) {
        return false;
    }
    (void)port->SetCommParams(9600, 8, 0, 0);
    (void)port->SetTimeout(static_cast<std::int32_t>(kUnplugReadTimeoutMs));
    if (!port->Write("C2E", 3) || !port->Read(&ack, 1) || ack != '3') {
        return false;
    }
    failed = !port->Read(key, 5);
    return true;
}

// One close of the tty at 9600 baud with its output flushed first, in ms; -1
// when it does not open. The driver's drain delay on close is not for output
// still pending, so flushing would spare the station nothing.
long long flushedCloseMs(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (fd < 0) {
        return -1;
    }
    (void)::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    (void)::cfsetspeed(&t, B9600);
    (void)::tcsetattr(fd, TCSANOW, &t);
    (void)::tcflush(fd, TCOFLUSH);
    const auto start = Clock::now();
    ::close(fd);
    return msSince(start);
}

template <class Mivo> MivoDeviceRef make() {
    return std::make_shared<Mivo>();
}

struct Link {
    const char* name;
    MivoDeviceRef (*create)();
    bool (*heldWait)(bool& failed);
    const char* driver; // the kernel driver that serves its tty; null: no tty (HID)
    const char* ids[3]; // vendor, product, the enumerator its port is found on

    // The station's presence test, as each tick asks it.
    bool present() const { return create()->Exists(); }
    bool findPort(std::string& port) const {
        return driver != nullptr && TUSBSerial::FindPort(ids[0], ids[1], port, ids[2]);
    }
};

// The PL2303 last: the adapter of an unknown chip that takes its place then
// enumerates while nothing else runs.
const Link kLinks[] = {
    {"hid", &make<THIDMivoDevice>, &hidKeyWait, nullptr, {}},
    {"ftdi", &make<TFTDIMivo>, &ttyKeyWait<TFTDIDevice>, "ftdi_sio", {"0403", "6001", "FTDIBUS"}},
    {"pl2303", &make<TPL2303Mivo>, &ttyKeyWait<TPL2303Device>, "pl2303", {"067B", "2303", "USB"}},
};
const Link& kPl2303 = kLinks[2];

void presence() {
    const long long ms = pollUntil(
        [] {
            return std::all_of(std::begin(kLinks), std::end(kLinks),
                               [](const Link& link) { return link.present(); });
        },
        true, 30000);
    report("presence", ms >= 0, "after %lld ms: hid %d, ftdi %d, pl2303 %d", ms,
           kLinks[0].present(), kLinks[1].present(), kLinks[2].present());
}

// Windows counts the report ID in every length: 3 bytes each way.
void hidCaps() {
    THIDDevice device;
    (void)device.Open(0, THIDMivoDevice::VendorID, THIDMivoDevice::ProductID, 0);
    report("hid-caps",
           device.IsOpen() && device.InputReportLength() == 3 && device.OutputReportLength() == 3,
           "open %d, input %d, output %d, feature %d bytes, %d input buffers", device.IsOpen(),
           device.InputReportLength(), device.OutputReportLength(), device.FeatureReportLength(),
           device.NumInputBuffers());
}

// An adapter's port is the tty its own driver serves (with two adapters
// attached, ttyUSB0 may be either). The station's link object then runs a
// passing test and a wrong key, the device stays present (a HID evaluator is
// closed between operations), and a held key wait ends with the unplug.
void runLink(const Link& link) {
    const std::string name = link.name;
    std::string port;
    long long closeMs = 0;
    if (link.driver != nullptr) {
        const bool found = pollUntil([&] { return link.findPort(port); }, true, 5000) >= 0;
        std::error_code error;
        const std::string driver =
            fs::read_symlink("/sys/class/tty/" + port + "/device/driver", error).filename();
        const std::string path = lnx::devicePathOf("\\\\.\\" + port);
        report(name + "-port", found && path == "/dev/" + port && driver == link.driver,
               "PortName %s, path %s, served by %s", port.c_str(), path.c_str(), driver.c_str());
    }
    std::string keys = runSequence(*link.create(), closeMs);
    report(name + "-exchange", keys == "123456", "keys %s, Close took %lld ms", keys.c_str(),
           closeMs);
    keys = runSequence(*link.create(), closeMs);
    report(name + "-wrong-key", keys == "13", "keys %s", keys.c_str());
    report(name + "-present-after", link.present(), "after both tests");
    if (link.driver != nullptr) {
        const long long flushedMs = flushedCloseMs("/dev/" + port);
        report(name + "-close", flushedMs >= 0,
               "at 9600 baud a close takes %lld ms, %lld ms after flushing the output", closeMs,
               flushedMs);
    }

    bool failed = false;
    const auto start = Clock::now();
    const bool waiting = link.heldWait(failed);
    const long long ms = msSince(start);
    report(name + "-unplug", waiting && failed && ms < kUnplugSeenWithinMs,
           "key wait started %d, its read failed %d, closed %lld ms after the start", waiting,
           failed, ms);
    const long long gone = pollUntil([&] { return link.present(); }, false, 5000);
    const bool found = link.findPort(port);
    report(name + "-gone", gone >= 0 && !found,
           "presence false %lld ms after the failed read, port found again %d", gone, found);
}

// The window as the station sees it, with nobody looking.
class NoWindow final : public IStationWindow {
    void paintNow() override {}
    void setTimerInterval(int) override {}
    void stopTimer() override {}
    void showErrorBox(const std::string&) override {}
};

long long openDescriptors() {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

// A PL2303 whose chip type the driver does not know: the USB device is there
// (the station's presence test is true) but no tty. The station must find
// nothing to open on each tick, leaving nothing behind and counting no test.
void unknownChip() {
    // The idle marker's text is on the heap for some of its positions and
    // not for others; a leak of anything per tick is over a hundred times more.
    constexpr long long kHeapSlack = 100;
    const long long seen = pollUntil([] { return kPl2303.present(); }, true, 10000);
    NoWindow window;
    TMainForm station(window, productLinkKinds());
    // A few ticks first: what the first ones set up for good is not growth.
    for (int i = 0; i < 10; ++i) {
        station.timerTick();
    }
    const auto handles = static_cast<long long>(lnx::openHandles());
    const long long descriptors = openDescriptors();
    const auto heap = static_cast<long long>(::mallinfo2().uordblks);
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i) {
        station.timerTick();
    }
    const long long ms = msSince(start);
    const long long handleGrowth = static_cast<long long>(lnx::openHandles()) - handles;
    const long long descriptorGrowth = openDescriptors() - descriptors;
    const long long heapGrowth = static_cast<long long>(::mallinfo2().uordblks) - heap;
    const bool present = kPl2303.present();
    glob_t ttys{};
    const bool tty = ::glob("/dev/ttyUSB*", 0, nullptr, &ttys) == 0;
    ::globfree(&ttys);
    const std::string count = station.lbCount->text();
    const std::string kind = station.lbDevType->text();
    report("unknown-chip",
           seen >= 0 && present && !tty && handleGrowth == 0 && descriptorGrowth == 0 &&
               heapGrowth < kHeapSlack && count == "0/0" && kind.empty(),
           "present after %lld ms, still %d, a ttyUSB %d; 100 ticks in %lld ms: handles %+lld, "
           "descriptors %+lld, heap %+lld bytes, count %s, kind \"%s\"",
           seen, present, tty, ms, handleGrowth, descriptorGrowth, heapGrowth, count.c_str(),
           kind.c_str());
}

} // namespace

int main() {
    std::printf("PROBE START\n");
    std::fflush(stdout);
    win::useBackend(lnx::backend());
    const bool bound = BindHid() && BindSetupApi();
    report("bind", bound, "HID.dll and SetupApi.dll");
    if (bound) {
        presence();
        hidCaps();
        for (const Link& link : kLinks) {
            runLink(link);
        }
        unknownChip();
    }
    std::printf("PROBE END %s\n", allPassed ? "ok" : "failed");
    std::fflush(stdout);
    return allPassed ? 0 : 1;
}
