// Every call the station makes into the machine, failed in turn.
//
// A full station run per link kind (start-up binding, an idle spell, a passing
// evaluator, its removal, a failing one, its removal, shut-down) is first made
// without faults, counting the calls of each function. Then for every function
// and every call index of that run, the run is made again with just that call
// failing. Each faulty run must end with nothing crashed, no tick longer than
// the link's stated waits, no error box except the counters file's own (and
// that only when its write was the call failed), every handle and library
// released, no transfer left running, and "test.ini" holding what the window
// shows. Memory is the sanitizer build's part: the same sweep runs there under
// LeakSanitizer.
#include "Hid.h"
#include "HidFixture.h"
#include "LinkKinds.h"
#include "SetupApi.h"
#include "StationFixture.h"
#include "sim/SimSerial.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum class Link { Hid, Pl2303, Ftdi };

const char* nameOf(Link link) {
    switch (link) {
    case Link::Hid:
        return "Hid";
    case Link::Pl2303:
        return "Pl2303";
    case Link::Ftdi:
        return "Ftdi";
    }
    return "?";
}

// The longest a tick may take on each link (virtual ms). HID: a key wait of
// 5000 ms and four command reports of at most 100 ms each. Serial: up to three
// reads of 5000 ms each (acknowledgement, key report, acknowledgement of the
// finish), the writes taking a few ms.
std::uint64_t longestTick(Link link) {
    return link == Link::Hid ? 5000 + 4 * 100 + 50 : 3 * 5000 + 100;
}

// Functions that report no failure in Windows: a fault injected into them is
// ignored by the machine, so they are not swept.
const std::set<std::string, std::less<>> kCannotFail = {
    "GetLastError", "SetLastError", "GetTickCount", "Sleep", "SetErrorMode", "HidD_GetHidGuid"};

// Functions that give something back. When one of them fails, the thing may
// stay behind; that is the system's loss, not the station's, and one object
// of that kind may remain.
bool releases(const std::string& function) {
    return function == "CloseHandle" || function == "RegCloseKey" ||
           function == "SetupDiDestroyDeviceInfoList" || function == "HidD_FreePreparsedData" ||
           function == "FreeLibrary";
}

struct Fault {
    std::string function; // empty: the run without a fault
    std::uint64_t nth = 0;
};

class FaultSweep : public StationTest, public ::testing::WithParamInterface<Link> {
protected:
    void SetUp() override {
        StationTest::SetUp();
        // Thousands of runs each write the counters file a few times, and every
        // write is flushed to the disk: keep the file in memory where the
        // system offers a memory-backed directory.
        std::string pattern = "/dev/shm/station-sweep-XXXXXX";
        if (std::filesystem::is_directory("/dev/shm") && mkdtemp(pattern.data()) != nullptr) {
            std::filesystem::remove_all(dir_);
            dir_ = pattern;
        }
    }
    void TearDown() override {
        StationTest::TearDown();
        UnbindSetupApi();
        UnbindHid();
    }

    // One full run with the fault in force. Returns what went wrong, empty when
    // the run kept every promise.
    std::vector<std::string> run(const Fault& fault) {
        std::vector<std::string> problems;
        form_.reset();
        UnbindSetupApi();
        UnbindHid();
        std::error_code ignored;
        std::filesystem::remove(dir_ / "test.ini", ignored);
        window_.errors.clear();
        auto& m = sim::machine();
        m.reset();
        m.setModuleFileName((dir_ / "evaluator-station").string());
        if (!fault.function.empty()) {
            m.failCall(fault.function, fault.nth, ERROR_GEN_FAILURE);
        }

        // Start-up, as the program's: both bindings, outcome ignored.
        (void)BindHid();
        (void)BindSetupApi();
        sim::plugOtherUsbDevices(3);
        hidtest::plugOther(1); // a keyboard, whose open is refused to nobody
        start(productLinkKinds());

        auto timedTick = [&] {
            m.advance(static_cast<std::uint64_t>(form_->Timer1->interval()));
            const std::uint64_t before = m.now();
            deliverTick();
            const std::uint64_t took = m.now() - before;
            if (took > longestTick(GetParam())) {
                problems.push_back("a tick took " + std::to_string(took) + " ms");
            }
        };
        auto ticks = [&](int count) {
            for (int i = 0; i < count; ++i) {
                timedTick();
            }
        };

        ticks(2);
        plug("123456");
        ticks(9); // connection, prompt, lamps, six keys (and one to spare)
        unplug();
        ticks(1);
        plug("2");
        ticks(4); // fails at key 1
        unplug();
        ticks(2);

        // What the window shows and what the file holds.
        const std::string shown = form_->lbCount->text();
        const std::string stored = storedCount();
        if (shown != stored) {
            problems.push_back("window shows " + shown + ", file holds " + stored);
        }
        // The one error box allowed: the counters file's, when its write was
        // refused, or (with no program path to put the file beside) every write.
        const auto& errors = window_.errors;
        // (The wide forms go through the narrow ones: either name may fail.)
        const bool writeFault = fault.function.rfind("WritePrivateProfileString", 0) == 0;
        const bool noPath = fault.function.rfind("GetModuleFileName", 0) == 0;
        for (const std::string& text : errors) {
            if (!(writeFault && text == "Unable to write to " + iniPath()) &&
                !(noPath && text == "Unable to write to ")) {
                problems.push_back("error box: " + text);
            }
        }
        if (writeFault && errors.size() != 1) {
            problems.push_back("the refused write showed " + std::to_string(errors.size()) +
                               " error boxes");
        }

        // Shut-down, as the program's: the window, then the bindings.
        form_->close();
        form_.reset();
        UnbindSetupApi();
        UnbindHid();
        const std::size_t allowed = releases(fault.function) ? 1 : 0;
        if (m.openHandles() > allowed) {
            problems.push_back(std::to_string(m.openHandles()) + " handles left open");
        }
        const std::string system = m.systemDirectory();
        const int libraries =
            m.loadCount(system + "\\hid.dll") + m.loadCount(system + "\\setupapi.dll");
        if (libraries > static_cast<int>(allowed)) {
            problems.push_back(std::to_string(libraries) + " library references left");
        }
        if (m.pendingTransfers() != 0) {
            problems.push_back("a transfer left running");
        }
        for (const auto& v : m.violations()) {
            problems.push_back("simulated machine: " + v);
        }
        return problems;
    }

    // An evaluator on the link under test whose operator presses keys in turn.
    void plug(const std::string& keys) {
        if (GetParam() == Link::Hid) {
            auto evaluator = hidtest::plugEvaluator(0);
            evaluator->onWrite = [keys = std::deque<char>(keys.begin(), keys.end())](
                                     sim::HidDevice& d, const std::string& report) mutable {
                if (report == hidtest::bytes({2, 1, 254}) && !keys.empty()) {
                    d.queueInput(sim::machine().now() + 300,
                                 hidtest::bytes({5, keys.front() - '0', 0}));
                    keys.pop_front();
                }
            };
            return;
        }
        adapter_ = sim::plugAdapter(
            GetParam() == Link::Pl2303 ? sim::AdapterChip::PL2303 : sim::AdapterChip::FTDI, "COM7");
        adapter_.evaluator->pressKeys(keys);
    }

    void unplug() {
        if (GetParam() == Link::Hid) {
            sim::unplugHid(hidtest::hidPath(hidtest::kVendor, hidtest::kProduct, 0));
        } else {
            sim::unplugAdapter(adapter_);
        }
    }

    // "Passed/Total" as the file holds them (0 for a missing key).
    std::string storedCount() const {
        const std::string text = iniText();
        auto value = [&](const char* key) {
            std::smatch match;
            const std::regex line(std::string("(^|\n)") + key + "=(-?[0-9]+)");
            return std::regex_search(text, match, line) ? match[2].str() : std::string("0");
        };
        return value("Passed") + "/" + value("Total");
    }

    sim::SerialAdapter adapter_;
};

TEST_P(FaultSweep, EveryCallFailedInTurnLeavesTheStationWhole) {
    const std::vector<std::string> clean = run({});
    ASSERT_TRUE(clean.empty()) << clean.front();
    ASSERT_EQ(form_, nullptr);
    // The fault-free run must have tested both evaluators to the end.
    const auto reference = sim::machine().allCalls();
    ASSERT_GT(reference.at("WritePrivateProfileStringA"), 2u);

    // A stride above 1 samples the indexes (the sanitizer build's short form).
    std::uint64_t stride = 1;
    if (const char* text = std::getenv("EVALUATOR_FAULT_STRIDE")) {
        stride = std::max<std::uint64_t>(1, std::strtoull(text, nullptr, 10));
    }
    std::uint64_t injected = 0;
    std::uint64_t survived = 0;
    std::uint64_t index = 0;
    for (const auto& [function, count] : reference) {
        if (kCannotFail.count(function) != 0) {
            continue;
        }
        for (std::uint64_t nth = 1; nth <= count; ++nth) {
            if (index++ % stride != 0) {
                continue;
            }
            ++injected;
            const auto problems = run({function, nth});
            if (problems.empty()) {
                ++survived;
                continue;
            }
            std::ostringstream all;
            for (const auto& p : problems) {
                all << "\n  " << p;
            }
            ADD_FAILURE() << function << " call " << nth << " failed:" << all.str();
        }
    }
    std::cout << "[ faults   ] " << nameOf(GetParam()) << ": " << injected << " faults injected, "
              << survived << " survived, over " << reference.size() << " functions" << std::endl;
    RecordProperty("faults_injected", static_cast<int>(injected));
    RecordProperty("faults_survived", static_cast<int>(survived));
}

INSTANTIATE_TEST_SUITE_P(Links, FaultSweep, ::testing::Values(Link::Hid, Link::Pl2303, Link::Ftdi),
                         [](const auto& info) { return std::string(nameOf(info.param)); });

} // namespace
