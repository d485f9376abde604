// A day at the station, compressed: connect / test / remove cycles of the
// station window with the product's link kinds on the simulated machine, on
// its virtual clock. The cycles mix the three links (HID, PL2303, FTDI) and
// four kinds of device: one that passes, one whose operator presses a wrong
// key, one that never answers a key wait, and one unplugged in the middle of
// a key wait. Shared by the soak test (a short run) and the soak bench (the
// long one, with its handle and memory figures).
#pragma once

#include "StationWindow.h"
#include "frmMain.h"

#include <cstdint>
#include <memory>
#include <string>

namespace soak {

enum class Device { Passing, WrongKey, Silent, UnpluggedMidWait };

// What a cycle does, from its number alone, so that any run can be repeated.
struct Plan {
    int link;      // 0 HID, 1 PL2303, 2 FTDI
    Device device; // what the evaluator does
    int key;       // the key (1 to 6) that goes wrong, for all but Passing
};
Plan planFor(std::uint64_t cycle);

class Station {
public:
    // The counters file goes into directory (which must exist and be empty of
    // it); binds both libraries and creates the station, as the program does.
    explicit Station(const std::string& directory);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Plugs the cycle's evaluator, runs the ticks of a whole test, removes it
    // and ticks once more. Returns true when the test passed.
    bool cycle(std::uint64_t number);

    // The counts the file holds, read as the window reads them at start.
    std::int32_t storedPassed() const;
    std::int32_t storedTotal() const;
    // The count label: "passed/total".
    std::string shownCount() const;
    std::string iniPath() const;

    std::uint64_t connected() const { return connected_; }
    std::uint64_t passed() const { return passed_; }
    // Error boxes the station showed (none are expected).
    std::uint64_t errorBoxes() const { return errorBoxes_; }
    // The longest tick so far, on the virtual clock.
    std::uint64_t longestTick() const { return longestTick_; }

    TMainForm& form() { return *form_; }

private:
    // The soak ticks the station itself, on the virtual clock: its window
    // only has to be there.
    class QuietWindow final : public IStationWindow {
    public:
        void paintNow() override {}
        void setTimerInterval(int) override {}
        void stopTimer() override {}
        void showErrorBox(const std::string&) override {}
    };

    void tick();

    std::string directory_;
    QuietWindow window_;
    std::unique_ptr<TMainForm> form_;
    std::uint64_t connected_ = 0;
    std::uint64_t passed_ = 0;
    std::uint64_t errorBoxes_ = 0;
    std::uint64_t longestTick_ = 0;
};

// Resident memory of this process in kilobytes (0 where unknown).
std::uint64_t residentKilobytes();

} // namespace soak
