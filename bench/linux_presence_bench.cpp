// What the presence tests of an idle tick cost on the Linux backend: the HID
// evaluator's (every hidraw node opened exclusively and its identifiers read)
// and the two adapters' (every USB device's hardware IDs built from sysfs),
// with 8 and 64 hidraw nodes and 20 and 200 USB devices of other kinds and
// no evaluator, faked with umockdev. Seam calls per tick by function and time
// per tick; umockdev's redirection of every path and ioctl is in the time, so
// a real machine is faster. The simulated machine's figures are the other two
// presence benches.
//
// With --real it measures a whole idle tick (the three presence tests) on
// this machine's own sysfs instead, then with 20 and 200 USB devices faked on
// a tmpfs laid over /sys/bus in a mount namespace of its own (as root): plain
// files, so no umockdev in the time, with this machine's ttys and hidraw nodes.
//
//   umockdev-wrapper linux_presence_bench
//   linux_presence_bench --real
#include "CallTable.h"
#include "FakeDevices.h"
#include "Hid.h"
#include "SetupApi.h"
#include "Win.h"
#include "linux/LinuxBackend.h"
#include "uCOMDevice.h"
#include "uHIDMivoDevice.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

std::map<std::string, std::uint64_t> calls;

// The Linux backend with a counter in front of every function.
#define COUNTED_SLOT(result, fn, params, args)                                                     \
    , [] params -> result {                                                                        \
        ++calls[#fn];                                                                              \
        return lnx::backend().fn args;                                                             \
    }
const win::Backend counted = {"linux, counted" WIN_SEAM_FUNCTIONS(COUNTED_SLOT)};
#undef COUNTED_SLOT

struct Result {
    std::map<std::string, std::uint64_t> calls; // of one tick
    double microsecondsPerTick = 0;
    double cpuMicrosecondsPerTick =
        0; // this thread's: the figure that other load on the machine leaves alone
    bool seen = false;
};

double threadCpuMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

Result measure(const std::function<bool()>& presence) {
    Result result;
    calls.clear();
    result.seen = presence();
    result.calls = calls;
    constexpr int kTicks = 200;
    auto start = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuMicroseconds();
    for (int i = 0; i < kTicks; ++i) {
        result.seen = presence() || result.seen;
    }
    result.cpuMicrosecondsPerTick = (threadCpuMicroseconds() - cpuStart) / kTicks;
    std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    result.microsecondsPerTick = took.count() / kTicks;
    return result;
}

void print(const char* title, const char* unit, const std::vector<int>& sizes,
           const std::vector<Result>& results) {
    printCallRows(title, unit, sizes, results);
    std::printf("| time per tick (Linux backend under umockdev) |");
    for (const auto& r : results) {
        std::printf(" %.1f us%s |", r.microsecondsPerTick, r.seen ? " [device seen?]" : "");
    }
    std::printf("\n\n");
}

// The three presence tests of an idle tick, in the station's order.
bool tick() {
    bool hid = THIDMivoDevice::Present();
    bool pl2303 = TPL2303Device::Exists();
    bool ftdi = TFTDIDevice::Exists();
    return hid || pl2303 || ftdi;
}

// A USB device as the kernel shows it under /sys/bus/usb/devices: its
// attributes, its uevent and one interface beside it.
void fakeUsbDevice(const std::string& root, int port, unsigned vendor, unsigned product) {
    const std::string dir = root + "/1-" + std::to_string(port);
    const std::string interface = dir + ":1.0";
    mkdir(dir.c_str(), 0755);
    mkdir(interface.c_str(), 0755);
    char text[160];
    auto put = [](const std::string& path, const char* value) { std::ofstream(path) << value; };
    std::snprintf(text, sizeof text, "%04x\n", vendor);
    put(dir + "/idVendor", text);
    std::snprintf(text, sizeof text, "%04x\n", product);
    put(dir + "/idProduct", text);
    put(dir + "/bcdDevice", "0100\n");
    put(dir + "/busnum", "1\n");
    std::snprintf(text, sizeof text, "%d\n", port + 1);
    put(dir + "/devnum", text);
    std::snprintf(text, sizeof text,
                  "MAJOR=189\nMINOR=%d\nDEVNAME=bus/usb/001/%03d\nDEVTYPE=usb_device\n"
                  "DRIVER=usb\nPRODUCT=%x/%x/100\nTYPE=0/0/0\nBUSNUM=001\nDEVNUM=%03d\n",
                  port, port + 1, vendor, product, port + 1);
    put(dir + "/uevent", text);
    std::snprintf(text, sizeof text,
                  "DEVTYPE=usb_interface\nPRODUCT=%x/%x/100\nTYPE=0/0/0\nINTERFACE=3/1/2\n", vendor,
                  product);
    put(interface + "/uevent", text);
}

int realSysfs() {
    if (!BindHid() || !BindSetupApi()) {
        std::printf("libraries not bound\n");
        return 1;
    }
    std::vector<int> sizes = {0};
    std::vector<Result> results = {measure(tick)};
    // The fakes go on a tmpfs over /sys/bus, seen by this process only.
    if (unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount("tmpfs", "/sys/bus", "tmpfs", 0, "size=16m") == 0) {
        const std::string root = "/sys/bus/usb/devices";
        mkdir("/sys/bus/usb", 0755);
        mkdir(root.c_str(), 0755);
        int plugged = 0;
        for (int n : {20, 200}) {
            for (; plugged < n; ++plugged) {
                fakeUsbDevice(root, plugged + 1, 0x05E3, static_cast<unsigned>(0x0610 + plugged));
            }
            sizes.push_back(n);
            results.push_back(measure(tick));
        }
    } else {
        std::printf("(no fake USB devices: a mount namespace needs root)\n\n");
    }
    printCallRows("One idle tick on this machine's sysfs (HID, PL2303, FTDI)",
                  "USB devices (tmpfs)", sizes, results);
    std::printf("| time per tick |");
    for (const auto& r : results) {
        std::printf(" %.1f us%s |", r.microsecondsPerTick, r.seen ? " [device seen?]" : "");
    }
    std::printf("\n| CPU time per tick |");
    for (const auto& r : results) {
        std::printf(" %.1f us |", r.cpuMicrosecondsPerTick);
    }
    std::printf("\n\n");
    UnbindSetupApi();
    UnbindHid();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    win::useBackend(counted);
    if (argc > 1 && std::string(argv[1]) == "--real") {
        return realSysfs();
    }
    if (!BindHid() || !BindSetupApi()) {
        std::printf("libraries not bound\n");
        return 1;
    }
    const std::vector<int> hidSizes = {8, 64};
    std::vector<Result> hid;
    for (int n : hidSizes) {
        fake::Testbed bed;
        for (int i = 0; i < n; ++i) {
            bed.addHidraw(i, i + 1, 0x046D, static_cast<unsigned>(0xC52B + i),
                          fake::keyboardDescriptor());
        }
        hid.push_back(measure([] { return THIDMivoDevice::Present(); }));
    }
    print("HID presence test of one idle tick", "hidraw nodes", hidSizes, hid);

    const std::vector<int> usbSizes = {20, 200};
    std::vector<Result> usb;
    for (int n : usbSizes) {
        fake::Testbed bed;
        for (int i = 0; i < n; ++i) {
            bed.addUsbDevice(i + 1, 0x05E3, static_cast<unsigned>(0x0610 + i));
        }
        usb.push_back(measure([] {
            // The tick asks both, one after the other.
            bool pl2303 = TPL2303Device::Exists();
            bool ftdi = TFTDIDevice::Exists();
            return pl2303 || ftdi;
        }));
    }
    print("Adapter presence tests of one idle tick (PL2303, FTDI)", "USB devices", usbSizes, usb);
    UnbindSetupApi();
    UnbindHid();
    return 0;
}
