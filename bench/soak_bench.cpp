// The soak: 10,000 connect / test / remove cycles of the station window on the
// simulated machine (virtual clock), mixing the three links and passing,
// failing, silent and unplugged-mid-wait evaluators. Prints the open handles,
// the resident memory and the heap in use every 1000 cycles, and at the end
// whether "test.ini" counted exactly the cycles that connected and passed.
// Exit status 1 when a count is off or a handle was left open.
//
//   soak_bench [cycles]
#include "Soak.h"
#include "sim/SimMachine.h"

#include <malloc.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

std::uint64_t heapInUseKilobytes() {
    return static_cast<std::uint64_t>(mallinfo2().uordblks) / 1024;
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t cycles = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000;
    std::string pattern = (std::filesystem::temp_directory_path() / "soak-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    int status = 0;
    {
        soak::Station station(pattern);
        auto& m = sim::machine();
        const std::size_t handlesAtStart = m.openHandles();
        std::printf("%8s %8s %10s %10s %8s %8s %12s\n", "cycles", "handles", "rss kB", "heap kB",
                    "passed", "total", "virtual h");
        auto report = [&](std::uint64_t done) {
            std::printf(
                "%8llu %8zu %10llu %10llu %8d %8d %12.1f\n", static_cast<unsigned long long>(done),
                m.openHandles(), static_cast<unsigned long long>(soak::residentKilobytes()),
                static_cast<unsigned long long>(heapInUseKilobytes()), station.storedPassed(),
                station.storedTotal(), static_cast<double>(m.now()) / 3600000.0);
            std::fflush(stdout);
        };
        report(0);
        std::uint64_t planned = 0;
        const auto started = std::chrono::steady_clock::now();
        for (std::uint64_t n = 0; n < cycles; ++n) {
            const bool passes = soak::planFor(n).device == soak::Device::Passing;
            planned += passes ? 1 : 0;
            if (station.cycle(n) != passes) {
                std::printf("cycle %llu: %s\n", static_cast<unsigned long long>(n),
                            passes ? "did not pass" : "passed unexpectedly");
                status = 1;
            }
            if (m.openHandles() != handlesAtStart) {
                status = 1;
            }
            if ((n + 1) % 1000 == 0) {
                report(n + 1);
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const bool countsRight =
            station.storedTotal() == static_cast<std::int32_t>(station.connected()) &&
            station.connected() == cycles &&
            station.storedPassed() == static_cast<std::int32_t>(planned) &&
            station.passed() == planned &&
            station.shownCount() ==
                std::to_string(planned) + "/" + std::to_string(station.connected());
        std::printf("cycles %llu, connected %llu, passed %llu (planned %llu); file Passed=%d "
                    "Total=%d; window %s; error boxes %llu; longest tick %llu ms; "
                    "%.1f s real, %.2f ms per cycle\n",
                    static_cast<unsigned long long>(cycles),
                    static_cast<unsigned long long>(station.connected()),
                    static_cast<unsigned long long>(station.passed()),
                    static_cast<unsigned long long>(planned), station.storedPassed(),
                    station.storedTotal(), station.shownCount().c_str(),
                    static_cast<unsigned long long>(station.errorBoxes()),
                    static_cast<unsigned long long>(station.longestTick()), seconds,
                    1000.0 * seconds / static_cast<double>(cycles ? cycles : 1));
        if (!countsRight || station.errorBoxes() != 0 || !m.violations().empty() ||
            m.pendingTransfers() != 0) {
            status = 1;
        }
        std::printf("%s\n", status == 0 ? "soak: counts exact, nothing left open" : "soak: FAILED");
    }
    std::filesystem::remove_all(pattern);
    return status;
}
