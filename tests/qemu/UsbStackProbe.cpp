// The probe that runs inside the QEMU guest, as /probe of its initramfs: the
// station's link objects over the Linux backend, on the guest kernel's own
// xHCI, usbhid, hidraw, ftdi_sio and pl2303 drivers. Statically linked, since
// the initramfs holds nothing but busybox.
//
// On each link (the HID evaluator, the FTDI adapter, the PL2303 adapter) it
// sees the device as the station's presence tests do and runs the station's
// exchange twice (Prompt, SetLevel(5), then WaitKey(5000) for keys 1 to 6 until
// a wrong one): the host's evaluators pass the first test and press the wrong
// second key in the next. Then it starts one more key wait on each link with a
// long read time-out, and the host unplugs the device: the read must fail at
// once rather than time out, and the presence test must turn false. Last, the
// host plugs in a PL2303 of a chip type the driver does not serve, and the
// station itself ticks 100 times with it attached. Each step prints one line
// on the console, "PROBE PASS step: detail" or "PROBE FAIL step: detail", and
// the last line is "PROBE END ok" or "PROBE END failed"; the host checks them.
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

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Long enough that a read which ends by its time-out cannot pass for an unplug.
constexpr DWORD kUnplugReadTimeoutMs = 20000;
constexpr long long kUnplugSeenWithinMs = 10000;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool allPassed = true;

void report(const char* step, bool passed, const char* format, ...) {
    char detail[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    std::printf("PROBE %s %s: %s\n", passed ? "PASS" : "FAIL", step, detail);
    std::fflush(stdout);
    allPassed = allPassed && passed;
}

std::string stepName(const char* link, const char* step) {
    return std::string(link) + "-" + step;
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

// A test that passes, then one whose second key is wrong.
void exchanges(const char* link, MivoDeviceRef (*create)()) {
    long long closeMs = 0;
    std::string keys = runSequence(*create(), closeMs);
    report(stepName(link, "exchange").c_str(), keys == "123456", "keys %s, Close took %lld ms",
           keys.c_str(), closeMs);
    keys = runSequence(*create(), closeMs);
    report(stepName(link, "wrong-key").c_str(), keys == "13", "keys %s", keys.c_str());
}

template <class Mivo> MivoDeviceRef make() {
    return std::make_shared<Mivo>();
}

struct Adapter {
    const char* name;
    const char* driver; // the kernel driver that serves its tty
    const char* ids[3]; // vendor, product, the enumerator its port is found on
    bool (*exists)();
    std::unique_ptr<TCOMDevice> (*openPort)();
    MivoDeviceRef (*create)();

    bool findPort(std::string& port) const {
        return TUSBSerial::FindPort(ids[0], ids[1], port, ids[2]);
    }
};

template <class Device, class Mivo>
Adapter adapterOf(const char* name, const char* driver, const char* vendor, const char* product,
                  const char* enumerator) {
    return {name,       driver, {vendor, product, enumerator}, &Device::Exists, &Device::OpenPort,
            &make<Mivo>};
}

const Adapter kFtdi =
    adapterOf<TFTDIDevice, TFTDIMivo>("ftdi", "ftdi_sio", "0403", "6001", "FTDIBUS");
const Adapter kPl2303 =
    adapterOf<TPL2303Device, TPL2303Mivo>("pl2303", "pl2303", "067B", "2303", "USB");

std::string ttyDriver(const std::string& tty) {
    char target[256] = {};
    const std::string link = "/sys/class/tty/" + tty + "/device/driver";
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    const std::string text(target, n > 0 ? static_cast<std::size_t>(n) : 0);
    return text.substr(text.rfind('/') + 1);
}

bool anyUsbSerialTty() {
    DIR* dir = ::opendir("/sys/class/tty");
    bool found = false;
    while (dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr) {
        found = found || std::string(entry->d_name).rfind("ttyUSB", 0) == 0;
    }
    if (dir != nullptr) {
        ::closedir(dir);
    }
    return found;
}

void presence() {
    const auto start = Clock::now();
    long long at[3] = {-1, -1, -1};
    bool (*const tests[3])() = {&THIDMivoDevice::Present, kFtdi.exists, kPl2303.exists};
    (void)pollUntil(
        [&] {
            bool all = true;
            for (int i = 0; i < 3; ++i) {
                if (at[i] < 0 && tests[i]()) {
                    at[i] = msSince(start);
                }
                all = all && at[i] >= 0;
            }
            return all;
        },
        true, 30000);
    report("presence", at[0] >= 0 && at[1] >= 0 && at[2] >= 0,
           "HID evaluator after %lld ms, FTDI adapter after %lld ms, PL2303 adapter after %lld "
           "ms (-1: never)",
           at[0], at[1], at[2]);
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

void hid() {
    hidCaps();
    exchanges("hid", &make<THIDMivoDevice>);
    report("hid-present-after", THIDMivoDevice::Present(), "closed between operations");
}

// The port the station finds is the tty that the adapter's own driver serves
// (with two adapters attached, ttyUSB0 may be either), then its tests.
void adapter(const Adapter& a) {
    std::string port;
    (void)pollUntil([&] { return a.findPort(port); }, true, 5000);
    const std::string path = lnx::devicePathOf("\\\\.\\" + port);
    const std::string driver = port.empty() ? std::string() : ttyDriver(port);
    report(stepName(a.name, "port").c_str(), path == "/dev/" + port && driver == a.driver,
           "PortName %s, path %s, served by %s", port.c_str(), path.c_str(), driver.c_str());
    exchanges(a.name, a.create);
}

// What one close of the tty costs at 115200 baud and at 9600 baud (last, as
// the station leaves the line) when the output was flushed first: the
// driver's drain delay scales with the rate.
void closeCost(const Adapter& a) {
    std::string port;
    (void)a.findPort(port);
    const std::string path = "/dev/" + port;
    long long ms[2] = {-1, -1};
    for (int i = 0; i < 2; ++i) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (fd < 0 || ::tcgetattr(fd, &t) != 0) {
            break;
        }
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, i == 0 ? B115200 : B9600);
        (void)::tcsetattr(fd, TCSANOW, &t);
        (void)::tcflush(fd, TCOFLUSH);
        const auto start = Clock::now();
        ::close(fd);
        ms[i] = msSince(start);
    }
    report(stepName(a.name, "close").c_str(), ms[0] >= 0 && ms[1] >= 0,
           "close after flushing the output: %lld ms at 9600 baud, %lld ms at 115200", ms[1],
           ms[0]);
}

// A key wait as WaitKey starts it ([1, 1, 254], then capture on), whose read
// the unplug must end with a failure (code 5), not a time-out (code 4).
void hidUnplug() {
    THIDDevice device;
    const int count = THIDDevice::Count(THIDMivoDevice::VendorID, THIDMivoDevice::ProductID);
    (void)device.Open(count - 1, THIDMivoDevice::VendorID, THIDMivoDevice::ProductID, 0);
    device.SetTimeouts(kUnplugReadTimeoutMs, 100);
    const std::uint8_t prompt[3] = {1, 1, 254};
    const std::uint8_t captureOn[3] = {2, 1, 254};
    const bool sent = device.Write(prompt, 3) == THIDResult::Success &&
                      device.Write(captureOn, 3) == THIDResult::Success;
    const auto start = Clock::now();
    std::uint8_t buffer[3] = {};
    DWORD read = 0;
    const THIDResult result = device.Read(buffer, 3, 1, read);
    const long long ms = msSince(start);
    report("hid-unplug", sent && result == THIDResult::TransferFailed && ms < kUnplugSeenWithinMs,
           "commands sent %d, read result %d after %lld ms", sent, static_cast<int>(result), ms);
    (void)device.Close();
    const long long gone = pollUntil(THIDMivoDevice::Present, false, 5000);
    report("hid-gone", gone >= 0, "presence false %lld ms after the failed read", gone);
}

// "C2E" acknowledged, then the unplug while the key report is awaited: the
// read fails (the tty hangs up) long before its time-out.
void serialUnplug(const Adapter& a) {
    std::unique_ptr<TCOMDevice> port = a.openPort();
    const bool open = port && port->Handle() != INVALID_HANDLE_VALUE;
    char ack = 0;
    char key[5] = {};
    bool acked = false;
    bool readOk = true;
    long long ms = -1;
    if (open) {
        (void)port->SetCommParams(9600, 8, 0, 0);
        (void)port->SetTimeout(static_cast<std::int32_t>(kUnplugReadTimeoutMs));
        acked = port->Write("C2E", 3) && port->Read(&ack, 1) && ack == '3';
        const auto start = Clock::now();
        readOk = port->Read(key, 5);
        ms = msSince(start);
    }
    const auto closing = Clock::now();
    port.reset();
    const long long closeMs = msSince(closing);
    report(stepName(a.name, "unplug").c_str(), open && acked && !readOk && ms < kUnplugSeenWithinMs,
           "port open %d, acknowledged %d, key read %s after %lld ms, closed in %lld ms", open,
           acked, readOk ? "succeeded" : "failed", ms, closeMs);
    const long long gone = pollUntil(a.exists, false, 5000);
    const bool reopened = a.openPort() != nullptr;
    report(stepName(a.name, "gone").c_str(), gone >= 0 && !reopened,
           "presence false %lld ms after the failed read, port found again %d", gone, reopened);
}

// The window as the station sees it, with nobody looking.
class NoWindow final : public IStationWindow {
    void paintNow() override {}
    void setTimerInterval(int) override {}
    void stopTimer() override {}
    void showErrorBox(const std::string&) override {}
};

std::size_t openDescriptors() {
    std::size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) {
            ++count;
        }
        ::closedir(dir);
    }
    return count;
}

// A PL2303 whose chip type the driver does not know: the USB device is there
// (the station's presence test is true) but no tty. The station must find
// nothing to open on each tick, leaving nothing behind and counting no test.
void unknownChip() {
    // The idle marker's text is on the heap for some of its positions and
    // not for others; a leak of anything per tick is over a hundred times more.
    constexpr long long kHeapSlack = 100;
    const long long seen = pollUntil(kPl2303.exists, true, 10000);
    NoWindow window;
    TMainForm station(window, productLinkKinds());
    // A few ticks first: what the first ones set up for good is not growth.
    for (int i = 0; i < 10; ++i) {
        station.timerTick();
    }
    const std::size_t handles = lnx::openHandles();
    const std::size_t descriptors = openDescriptors();
    const std::size_t heap = ::mallinfo2().uordblks;
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i) {
        station.timerTick();
    }
    const long long ms = msSince(start);
    const long long handleGrowth = static_cast<long long>(lnx::openHandles() - handles);
    const long long descriptorGrowth = static_cast<long long>(openDescriptors() - descriptors);
    const long long heapGrowth = static_cast<long long>(::mallinfo2().uordblks - heap);
    const bool present = kPl2303.exists();
    const bool tty = anyUsbSerialTty();
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
        hid();
        adapter(kFtdi);
        adapter(kPl2303);
        closeCost(kPl2303);
        // The PL2303 first: the adapter that takes its place enumerates
        // while the others are unplugged.
        serialUnplug(kPl2303);
        hidUnplug();
        serialUnplug(kFtdi);
        unknownChip();
    }
    std::printf("PROBE END %s\n", allPassed ? "ok" : "failed");
    std::fflush(stdout);
    return allPassed ? 0 : 1;
}
