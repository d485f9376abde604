// The soak's short form: a few hundred connect / test / remove cycles over
// every mix of link, device behaviour and failing key. Every cycle connects and
// is counted once, exactly the passing ones count as passed, the file and the
// window agree, and the machine has no more open than before the first cycle.
// The long run (10,000 cycles, with memory figures) is bench/soak_bench.
#include "Soak.h"
#include "StationFixture.h"

#include "sim/SimMachine.h"

#include <string>

namespace {

class Soak : public StationTest {};

TEST_F(Soak, EveryCycleCountedOnceAndNothingLeftOpen) {
    // 3 links x 4 behaviours x 6 keys, three times over.
    constexpr std::uint64_t kCycles = 3 * 72;
    soak::Station station(dir_.string());
    auto& m = sim::machine();
    const std::size_t handlesAtStart = m.openHandles();

    std::uint64_t planned = 0;
    for (std::uint64_t n = 0; n < kCycles; ++n) {
        const bool passes = soak::planFor(n).device == soak::Device::Passing;
        planned += passes ? 1 : 0;
        ASSERT_EQ(station.cycle(n), passes) << "cycle " << n;
        ASSERT_EQ(m.openHandles(), handlesAtStart) << "after cycle " << n;
    }
    EXPECT_EQ(station.connected(), kCycles);
    EXPECT_EQ(station.passed(), planned);
    EXPECT_EQ(station.storedTotal(), static_cast<std::int32_t>(kCycles));
    EXPECT_EQ(station.storedPassed(), static_cast<std::int32_t>(planned));
    EXPECT_EQ(station.shownCount(), std::to_string(planned) + "/" + std::to_string(kCycles));
    EXPECT_EQ(station.errorBoxes(), 0u);
    // A serial key wait: three reads of five seconds at most.
    EXPECT_LE(station.longestTick(), 3u * 5000u + 100u);
    EXPECT_EQ(m.pendingTransfers(), 0u);
    EXPECT_TRUE(m.violations().empty());
}

// A counters file that refuses every write for a while (a full disk, a
// network share gone): each connection meanwhile is counted once in the
// window's memory and runs no test; once writes go through again, the file
// catches up, and the counts are exact over every link kind.
TEST_F(Soak, ACountersFileThatRefusesForAWhileLosesNoCount) {
    constexpr std::uint64_t kCycles = 72;
    constexpr std::uint64_t kRefusedFrom = 24;
    constexpr std::uint64_t kRefusedTo = 36; // four cycles of each link kind
    soak::Station station(dir_.string());
    auto& m = sim::machine();
    const std::size_t handlesAtStart = m.openHandles();

    std::uint64_t planned = 0;
    for (std::uint64_t n = 0; n < kCycles; ++n) {
        const bool refused = n >= kRefusedFrom && n < kRefusedTo;
        m.failAlways("WritePrivateProfileStringA", refused ? ERROR_HANDLE_DISK_FULL : 0);
        const bool passes = !refused && soak::planFor(n).device == soak::Device::Passing;
        planned += passes ? 1 : 0;
        ASSERT_EQ(station.cycle(n), passes) << "cycle " << n;
        ASSERT_EQ(station.connected(), n + 1) << "cycle " << n << " connected once";
        ASSERT_EQ(station.errorBoxes(), std::min(n + 1, kRefusedTo) - std::min(n + 1, kRefusedFrom))
            << "one box per refused connection, at cycle " << n;
        ASSERT_EQ(m.openHandles(), handlesAtStart) << "after cycle " << n;
    }
    EXPECT_EQ(station.storedTotal(), static_cast<std::int32_t>(kCycles));
    EXPECT_EQ(station.storedPassed(), static_cast<std::int32_t>(planned));
    EXPECT_EQ(station.shownCount(), std::to_string(planned) + "/" + std::to_string(kCycles));
    EXPECT_EQ(m.pendingTransfers(), 0u);
    EXPECT_TRUE(m.violations().empty());
}

} // namespace
