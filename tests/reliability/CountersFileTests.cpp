// A counters file that cannot be written, in the ways a factory PC refuses it:
// the program's directory made read-only, a full disk, and "test.ini" replaced
// by a directory. Each refusal ends the writing handler with the error box and
// the partial effects the window documents, and once the file can be written
// again the next write brings it level with the window: no count is lost.
#include "StationFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>

namespace {

// ERROR_DISK_FULL: what the profile functions report when the disk has no room.
constexpr DWORD kDiskFull = 112;

struct Refusal {
    const char* name;
    std::function<void(const std::filesystem::path& dir)> apply;
    std::function<void(const std::filesystem::path& dir)> lift;
};

// The system refuses every write at the seam with this error.
Refusal atTheSeam(const char* name, DWORD error) {
    return {
        name,
        [error](const auto&) { sim::machine().failAlways("WritePrivateProfileStringA", error); },
        [](const auto&) { sim::machine().failAlways("WritePrivateProfileStringA", 0); }};
}

Refusal readOnlyDirectory() {
    // The superuser writes into a read-only directory regardless; there the
    // system's answer is given at the seam instead.
    if (geteuid() == 0) {
        return atTheSeam("ReadOnlyDirectory", ERROR_ACCESS_DENIED);
    }
    return {"ReadOnlyDirectory", [](const auto& dir) { ::chmod(dir.c_str(), 0555); },
            [](const auto& dir) { ::chmod(dir.c_str(), 0755); }};
}

Refusal fileReplacedByADirectory() {
    return {"FileReplacedByADirectory",
            [](const auto& dir) {
                std::filesystem::remove(dir / "test.ini");
                std::filesystem::create_directory(dir / "test.ini");
            },
            [](const auto& dir) { std::filesystem::remove_all(dir / "test.ini"); }};
}

class RefusedCounters : public StationTest, public ::testing::WithParamInterface<Refusal> {
protected:
    FakeKind hid;

    void SetUp() override {
        StationTest::SetUp();
        writeIni("[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
        start({{&hid, "HID"}});
    }
    void TearDown() override {
        GetParam().lift(dir_);
        StationTest::TearDown();
    }

    void refuse() { GetParam().apply(dir_); }
    void allow() { GetParam().lift(dir_); }

    // Attaches an evaluator that presses keys, and runs ticks through the application.
    void attach(std::deque<std::uint8_t> keys, int ticks) {
        hid.present = true;
        hid.keys = std::move(keys);
        for (int i = 0; i < ticks; ++i) {
            deliverTick();
        }
    }
    void detach() {
        hid.present = false;
        deliverTick();
    }

    // "Passed/Total" as the file holds them.
    std::string stored() const {
        const std::string text = iniText();
        auto value = [&](const char* key) {
            std::smatch match;
            const std::regex line(std::string("(^|\n)") + key + "=(-?[0-9]+)");
            return std::regex_search(text, match, line) ? match[2].str() : std::string("-");
        };
        return value("Passed") + "/" + value("Total");
    }
    std::string shown() const { return form_->lbCount->text(); }
    std::size_t boxes() const { return window_.errors.size(); }
    void expectBoxFor() const {
        ASSERT_FALSE(window_.errors.empty());
        EXPECT_EQ(window_.errors.back(), "Unable to write to " + iniPath());
    }
};

TEST_P(RefusedCounters, AtConnectionTheTestIsCountedButNotRunUntilTheNextConnection) {
    refuse();
    attach({1, 2, 3, 4, 5, 6}, 3);
    expectBoxFor();
    EXPECT_EQ(boxes(), 1u);
    EXPECT_EQ(shown(), "3/5");
    // No test on this connection, and the link is not left open.
    EXPECT_EQ(hid.log, (std::vector<std::string>{"Open", "Close"}));

    allow();
    detach();
    attach({1, 2, 3, 4, 5, 6}, 8);
    EXPECT_TRUE(form_->imgPassed->isVisible());
    EXPECT_EQ(shown(), "4/7"); // the refused connection still counts
    EXPECT_EQ(stored(), shown());
}

TEST_P(RefusedCounters, APassWhoseWriteIsRefusedReachesTheFileWithTheNextWrite) {
    attach({1, 2, 3, 4, 5, 6}, 1);
    refuse();
    attach({1, 2, 3, 4, 5, 6}, 7);
    expectBoxFor();
    EXPECT_EQ(shown(), "4/6");
    EXPECT_EQ(form_->lbStatus->text(), kPassWord);
    EXPECT_FALSE(form_->imgPassed->isVisible());

    // The next connection writes its count and the pass the file missed.
    allow();
    detach();
    attach({1}, 1);
    EXPECT_EQ(shown(), "4/7");
    EXPECT_EQ(stored(), "4/7");
    EXPECT_EQ(boxes(), 1u);
}

TEST_P(RefusedCounters, ARefusedResetChangesNothingAndTheFileCatchesUpLater) {
    refuse();
    doubleClickCount();
    expectBoxFor();
    EXPECT_EQ(shown(), "3/5");

    allow();
    attach({1, 2, 3, 4, 5, 6}, 8);
    EXPECT_EQ(shown(), "4/6");
    EXPECT_EQ(stored(), "4/6");

    detach();
    doubleClickCount();
    EXPECT_EQ(shown(), "0/0");
    EXPECT_EQ(stored(), "0/0");
    EXPECT_EQ(boxes(), 1u);
}

TEST_P(RefusedCounters, AResetHalfWrittenIsMadeGoodByTheNextConnection) {
    // "Total" goes through, "Passed" is refused: the counters stay as they were.
    sim::machine().clearCalls();
    sim::machine().failCall("WritePrivateProfileStringA", 2, ERROR_ACCESS_DENIED);
    doubleClickCount();
    EXPECT_EQ(shown(), "3/5");
    EXPECT_EQ(stored(), "3/0");

    attach({1, 2, 3, 4, 5, 6}, 8);
    EXPECT_EQ(shown(), "4/6");
    EXPECT_EQ(stored(), "4/6");
}

// Found by the fault sweep: without the program's path the counters went to a
// "test.ini" in the working directory, a second file splitting the counts.
TEST(CountersWithoutProgramPath, WriteNoFileAnywhereAndSayEachTime) {
    const std::filesystem::path cwd = std::filesystem::current_path();
    const bool before = std::filesystem::exists(cwd / "test.ini");
    sim::machine().reset();
    sim::machine().failAlways("GetModuleFileNameA", ERROR_GEN_FAILURE);
    FakeWindow window;
    FakeKind hid;
    {
        TMainForm form(window, {hid.entry("HID")});
        EXPECT_EQ(form.lbCount->text(), "0/0");
        hid.present = true;
        form.timerTick();
        ASSERT_EQ(window.errors.size(), 1u);
        EXPECT_EQ(window.errors.front(), "Unable to write to ");
        EXPECT_EQ(form.lbCount->text(), "0/0");
    }
    EXPECT_EQ(std::filesystem::exists(cwd / "test.ini"), before);
    sim::machine().reset();
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefusedCounters,
                         ::testing::Values(readOnlyDirectory(), atTheSeam("DiskFull", kDiskFull),
                                           fileReplacedByADirectory()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
