#include "Soak.h"

#include "Hid.h"
#include "LinkKinds.h"
#include "ProfileFile.h"
#include "SetupApi.h"
#include "sim/SimHidDevice.h"
#include "sim/SimMachine.h"
#include "sim/SimSerial.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace soak {
namespace {

constexpr std::uint16_t kVendor = 0x10C4;
constexpr std::uint16_t kProduct = 0x82CD;
const char* const kEvaluatorPath =
    "\\\\?\\hid#vid_10c4&pid_82cd#7&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const char* const kKeyboardPath =
    "\\\\?\\hid#vid_046d&pid_c52b#7&1a2c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

// The ticks of one test: the connection with the prompt, the lamps, six keys.
constexpr int kTestTicks = 8;
// How far into a key wait an unplugged evaluator goes.
constexpr std::uint64_t kUnplugIntoWait = 1500;
// The operator's reaction time for a key.
constexpr std::uint64_t kPressDelay = 300;

// The keys the operator presses in a cycle, one per key wait; a wait beyond
// the string gets no key at all.
std::string keysFor(const Plan& plan) {
    std::string keys = "123456";
    switch (plan.device) {
    case Device::Passing:
        return keys;
    case Device::WrongKey:
        keys.resize(static_cast<std::size_t>(plan.key));
        keys.back() = static_cast<char>('1' + plan.key % 6); // the key to its right, or key 1
        return keys;
    case Device::Silent:
    case Device::UnpluggedMidWait:
        keys.resize(static_cast<std::size_t>(plan.key - 1));
        return keys;
    }
    return keys;
}

} // namespace

Plan planFor(std::uint64_t cycle) {
    Plan plan{};
    plan.link = static_cast<int>(cycle % 3);
    plan.device = static_cast<Device>((cycle / 3) % 4);
    plan.key = static_cast<int>((cycle / 12) % 6) + 1;
    return plan;
}

Station::Station(const std::string& directory) : directory_(directory) {
    auto& m = sim::machine();
    m.reset();
    m.setModuleFileName(directory_ + "/evaluator-station");
    (void)BindHid();
    (void)BindSetupApi();
    // A crowded machine: hubs, a mouse, a disk, and a HID keyboard.
    sim::plugOtherUsbDevices(6);
    sim::plugHid(kKeyboardPath, 0x046D, 0xC52B);
    form_ = std::make_unique<TMainForm>(window_, productLinkKinds());
}

Station::~Station() {
    form_->close();
    form_.reset();
    UnbindSetupApi();
    UnbindHid();
}

void Station::tick() {
    auto& m = sim::machine();
    m.advance(static_cast<std::uint64_t>(form_->Timer1->interval()));
    const std::uint64_t before = m.now();
    try {
        form_->Timer1Timer();
    } catch (const std::exception&) {
        ++errorBoxes_; // the window's error handler would show it
    }
    longestTick_ = std::max(longestTick_, m.now() - before);
}

bool Station::cycle(std::uint64_t number) {
    const Plan plan = planFor(number);
    const std::string keys = keysFor(plan);
    auto& m = sim::machine();
    // Shared with an unplug scheduled on the machine's clock.
    auto plugged = std::make_shared<bool>(true);

    std::function<void()> unplug;
    if (plan.link == 0) {
        auto evaluator = sim::plugHid(kEvaluatorPath, kVendor, kProduct);
        evaluator->onWrite = [keys, next = std::size_t{0}](sim::HidDevice& d,
                                                           const std::string& report) mutable {
            // Key capture on: the operator presses the next key, if any.
            if (report == std::string("\x02\x01\xFE", 3) && next < keys.size()) {
                const char key = static_cast<char>(keys[next++] - '0');
                d.queueInput(sim::machine().now() + kPressDelay, std::string{'\x05', key, '\0'});
            }
        };
        unplug = [] { sim::unplugHid(kEvaluatorPath); };
    } else {
        const auto chip = plan.link == 1 ? sim::AdapterChip::PL2303 : sim::AdapterChip::FTDI;
        const sim::SerialAdapter adapter = sim::plugAdapter(chip, "COM7");
        adapter.evaluator->pressKeys(keys, kPressDelay);
        unplug = [adapter] { sim::unplugAdapter(adapter); };
    }

    bool sawConnection = false;
    for (int i = 0; i < kTestTicks; ++i) {
        // Tick 1 + k waits for key k: pull the evaluator out in the middle of it.
        if (plan.device == Device::UnpluggedMidWait && i == 1 + plan.key) {
            const std::uint64_t at =
                m.now() + static_cast<std::uint64_t>(form_->Timer1->interval()) + kUnplugIntoWait;
            m.schedule(at, [plugged, unplug] {
                unplug();
                *plugged = false;
            });
        }
        tick();
        if (i == 0) {
            sawConnection = !form_->lbDevType->text().empty();
        }
    }
    tick(); // attached and idle: the result stays
    const bool passed = form_->imgPassed->isVisible();
    if (*plugged) {
        unplug();
    }
    tick(); // removal noticed
    connected_ += sawConnection ? 1 : 0;
    passed_ += passed ? 1 : 0;
    return passed;
}

std::int32_t Station::storedPassed() const {
    return ProfileFile(iniPath()).readInteger("COUNT", "Passed", -1);
}

std::int32_t Station::storedTotal() const {
    return ProfileFile(iniPath()).readInteger("COUNT", "Total", -1);
}

std::string Station::shownCount() const {
    return form_->lbCount->text();
}

std::string Station::iniPath() const {
    return directory_ + "/test.ini";
}

std::uint64_t residentKilobytes() {
    // statm: total and resident size in pages.
    std::ifstream statm("/proc/self/statm");
    std::uint64_t total = 0;
    std::uint64_t resident = 0;
    if (!(statm >> total >> resident)) {
        return 0;
    }
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

} // namespace soak
