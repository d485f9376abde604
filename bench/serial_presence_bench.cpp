// What the adapter presence tests cost an idle tick: both of them (PL2303 and
// FTDI) walk every present "USB" device and read its hardware IDs twice, on
// every 100 ms tick. Measured on the simulated machine with 20 and 200
// unrelated USB devices and no adapter, the worst case for the walk: calls per
// tick by function, and time per tick.
#include "SetupApi.h"
#include "Win.h"
#include "sim/SimMachine.h"
#include "sim/SimSerial.h"
#include "uCOMDevice.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

namespace {

bool idleTick() {
    // The tick asks both adapter kinds whether one is attached.
    bool pl2303 = TPL2303Device::Exists();
    bool ftdi = TFTDIDevice::Exists();
    return pl2303 || ftdi;
}

void run(std::size_t devices) {
    sim::machine().reset();
    if (!BindSetupApi()) {
        std::printf("device-setup library not bound\n");
        return;
    }
    sim::plugOtherUsbDevices(devices);

    sim::machine().clearCalls();
    (void)idleTick();
    std::map<std::string, std::uint64_t, std::less<>> calls = sim::machine().allCalls();

    constexpr int kTicks = 2000;
    bool any = false;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kTicks; ++i) {
        any = idleTick() || any;
    }
    std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;

    std::uint64_t total = 0;
    for (const auto& [fn, n] : calls) {
        total += n;
    }
    std::printf("| %zu USB devices | %.1f us per tick (%d ticks)%s |\n", devices,
                took.count() / kTicks, kTicks, any ? " [adapter seen?]" : "");
    for (const auto& [fn, n] : calls) {
        std::printf("|   %s | %llu |\n", fn.c_str(), static_cast<unsigned long long>(n));
    }
    std::printf("|   all calls | %llu |\n", static_cast<unsigned long long>(total));
    UnbindSetupApi();
}

} // namespace

int main() {
    win::useBackend(sim::backend());
    std::printf("| adapter presence tests of one idle tick | calls |\n|---|---|\n");
    for (std::size_t devices : {20u, 200u}) {
        run(devices);
    }
    return 0;
}
