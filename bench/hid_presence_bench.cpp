// What the HID presence test costs an idle tick: on every 100 ms tick the
// station counts attached evaluators by opening every present HID interface
// exclusively and reading its identifiers. Measured on the simulated machine
// with 8 and 64 HID interfaces of other devices (keyboards, mice, gadgets) and
// no evaluator, the worst case for the walk: calls per tick by function, and
// time per tick.
//
//   hid_presence_bench
#include "CallTable.h"
#include "Hid.h"
#include "SetupApi.h"
#include "Win.h"
#include "sim/SimHidDevice.h"
#include "sim/SimMachine.h"
#include "uHIDMivoDevice.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct Result {
    std::map<std::string, std::uint64_t, std::less<>> calls; // of one tick
    double microsecondsPerTick = 0;
    bool seen = false;
};

Result measure(int interfaces) {
    Result result;
    sim::machine().reset();
    if (!BindHid() || !BindSetupApi()) {
        std::printf("libraries not bound\n");
        return result;
    }
    for (int i = 0; i < interfaces; ++i) {
        char path[96];
        std::snprintf(path, sizeof path,
                      "\\\\?\\hid#vid_046d&pid_c52b&mi_%02x#7&%x&0&0000#"
                      "{4d1e55b2-f16f-11cf-88cb-001111000030}",
                      i % 4, 0x1a2b + i);
        sim::plugHid(path, 0x046D, static_cast<USHORT>(0xC52B + i));
    }

    sim::machine().clearCalls();
    result.seen = THIDMivoDevice::Present();
    result.calls = sim::machine().allCalls();

    constexpr int kTicks = 2000;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kTicks; ++i) {
        result.seen = THIDMivoDevice::Present() || result.seen;
    }
    std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    result.microsecondsPerTick = took.count() / kTicks;

    UnbindSetupApi();
    UnbindHid();
    return result;
}

} // namespace

int main() {
    win::useBackend(sim::backend());
    const std::vector<int> sizes = {8, 64};
    std::vector<Result> results;
    for (int n : sizes) {
        results.push_back(measure(n));
    }

    printCallRows("HID presence test of one idle tick", "interfaces", sizes, results);
    std::printf("| all calls |");
    for (const auto& r : results) {
        std::uint64_t total = 0;
        for (const auto& [fn, n] : r.calls) {
            total += n;
        }
        std::printf(" %llu |", static_cast<unsigned long long>(total));
    }
    std::printf("\n| time per tick (simulated machine) |");
    for (const auto& r : results) {
        std::printf(" %.1f us%s |", r.microsecondsPerTick, r.seen ? " [evaluator seen?]" : "");
    }
    std::printf("\n");
    return 0;
}
