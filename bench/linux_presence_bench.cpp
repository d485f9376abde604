// What the presence tests of an idle tick cost on the Linux backend: the HID
// evaluator's (every hidraw node opened exclusively and its identifiers read)
// and the two adapters' (every USB device's hardware IDs built from sysfs),
// with 8 and 64 hidraw nodes and 20 and 200 USB devices of other kinds and
// no evaluator, faked with umockdev. Seam calls per tick by function and time
// per tick; umockdev's redirection of every path and ioctl is in the time, so
// a real machine is faster. The simulated machine's figures are the other two
// presence benches.
//
//   umockdev-wrapper linux_presence_bench
#include "CallTable.h"
#include "FakeDevices.h"
#include "Hid.h"
#include "SetupApi.h"
#include "Win.h"
#include "linux/LinuxBackend.h"
#include "uCOMDevice.h"
#include "uHIDMivoDevice.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
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
    bool seen = false;
};

Result measure(const std::function<bool()>& presence) {
    Result result;
    calls.clear();
    result.seen = presence();
    result.calls = calls;
    constexpr int kTicks = 200;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kTicks; ++i) {
        result.seen = presence() || result.seen;
    }
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

} // namespace

int main() {
    win::useBackend(counted);
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
