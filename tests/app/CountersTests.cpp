// The passed/total counters and their file beside the program.
#include "StationFixture.h"

#include "ProfileFile.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

class CountersTest : public StationTest {
protected:
    FakeKind hid;

    void startHid() { start({{&hid, "HID"}}); }
    // One whole passing test: attach, seven steps, detach.
    void passOnce() {
        hid.present = true;
        hid.keys = {1, 2, 3, 4, 5, 6};
        tick(8);
        hid.present = false;
        tick();
    }
};

TEST_F(CountersTest, NoFileStartsAtZeroAndTheFirstConnectionCreatesIt) {
    startHid();
    EXPECT_EQ(form_->lbCount->text(), "0/0");
    EXPECT_FALSE(iniExists()); // reading creates nothing
    hid.present = true;
    tick();
    EXPECT_EQ(form_->lbCount->text(), "0/1");
    EXPECT_EQ(iniText(), "[COUNT]\r\nTotal=1\r\n");
}

TEST_F(CountersTest, CountsContinueFromTheFileAndLeaveOtherEntriesAlone) {
    writeIni("[Other]\r\nkeep=me\r\n[count]\r\npassed=3\r\nTOTAL=5\r\n");
    startHid();
    EXPECT_EQ(form_->lbCount->text(), "3/5");
    passOnce();
    EXPECT_EQ(form_->lbCount->text(), "4/6");
    EXPECT_EQ(iniText(), "[Other]\r\nkeep=me\r\n[count]\r\npassed=4\r\nTOTAL=6\r\n");
}

TEST_F(CountersTest, DoubleClickResetsBothAndTheNextConnectionCountsFromZero) {
    writeIni("[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
    startHid();
    doubleClickCount();
    EXPECT_EQ(form_->lbCount->text(), "0/0");
    EXPECT_EQ(iniText(), "[COUNT]\r\nPassed=0\r\nTotal=0\r\n");
    hid.present = true;
    tick();
    EXPECT_EQ(form_->lbCount->text(), "0/1");
}

TEST_F(CountersTest, DoubleClickDuringATestThatPassesLeavesOnePassOfNone) {
    writeIni("[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
    startHid();
    hid.present = true;
    hid.keys = {1, 2, 3, 4, 5, 6};
    tick(4);
    doubleClickCount(); // the test goes on: the reset touches only the counters
    tick(4);
    EXPECT_EQ(form_->lbCount->text(), "1/0");
    EXPECT_EQ(iniText(), "[COUNT]\r\nPassed=1\r\nTotal=0\r\n");
    EXPECT_TRUE(form_->imgPassed->isVisible());
}

struct StoredText {
    const char* name;
    const char* value;
    const char* shown; // Passed as read, with Total=7
};

class CounterText : public CountersTest, public ::testing::WithParamInterface<StoredText> {};

TEST_P(CounterText, ReadsAsDecimalOrZero) {
    writeIni(std::string("[COUNT]\r\nPassed=") + GetParam().value + "\r\nTotal=7\r\n");
    startHid();
    EXPECT_EQ(form_->lbCount->text(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Values, CounterText,
    ::testing::Values(StoredText{"Plain", "42", "42/7"}, StoredText{"Negative", "-3", "-3/7"},
                      StoredText{"PlusSign", "+8", "8/7"}, StoredText{"Blanks", "  12  ", "12/7"},
                      StoredText{"Quoted", "\"9\"", "9/7"},
                      StoredText{"Largest", "2147483647", "2147483647/7"},
                      StoredText{"Smallest", "-2147483648", "-2147483648/7"},
                      StoredText{"Empty", "", "0/7"}, StoredText{"Letters", "abc", "0/7"},
                      StoredText{"TrailingLetters", "12x", "0/7"},
                      StoredText{"Fraction", "1.5", "0/7"}, StoredText{"Hex", "0x10", "0/7"},
                      StoredText{"TwoSigns", "+-4", "0/7"}, StoredText{"InnerBlank", "1 2", "0/7"},
                      StoredText{"AboveRange", "2147483648", "0/7"},
                      StoredText{"BelowRange", "-2147483649", "0/7"},
                      StoredText{"Huge",
                                 "99999999999999999999999999999999999999999999999999999999"
                                 "999999999999999",
                                 "0/7"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CountersTest, CountersAtTheLargestValueStayThere) {
    writeIni("[COUNT]\r\nPassed=2147483647\r\nTotal=2147483647\r\n");
    startHid();
    passOnce();
    EXPECT_EQ(form_->lbCount->text(), "2147483647/2147483647");
    EXPECT_EQ(iniText(), "[COUNT]\r\nPassed=2147483647\r\nTotal=2147483647\r\n");
}

TEST_F(CountersTest, RefusedWriteAtConnectionCountsButRunsNoTest) {
    writeIni("[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
    startHid();
    sim::machine().failAlways("WritePrivateProfileStringA", ERROR_ACCESS_DENIED);
    hid.present = true;
    hid.keys = {1, 2, 3, 4, 5, 6};
    deliverTick();
    EXPECT_EQ(lastError(), "Unable to write to " + iniPath());
    EXPECT_EQ(form_->lbCount->text(), "3/5");
    EXPECT_EQ(form_->lbDevType->text(), "HID");
    // The tick ended at the write, and left the link closed: no test needs it.
    EXPECT_EQ(hid.log, (std::vector<std::string>{"Open", "Close"}));
    EXPECT_FALSE(form_->imgPower->isVisible());

    // The window goes on; this connection runs no test until the evaluator goes.
    deliverTick();
    deliverTick();
    EXPECT_EQ(hid.log, (std::vector<std::string>{"Open", "Close"}));
    EXPECT_EQ(window_.errors.size(), 1u);

    // The count of the refused connection was kept: the next one is the 7th.
    sim::machine().failAlways("WritePrivateProfileStringA", 0);
    hid.present = false;
    deliverTick();
    hid.present = true;
    deliverTick();
    EXPECT_EQ(form_->lbCount->text(), "3/7");
    EXPECT_EQ(iniText(), "[COUNT]\r\nPassed=3\r\nTotal=7\r\n");
}

TEST_F(CountersTest, RefusedWriteOfAPassShowsThePassButNotItsPicture) {
    startHid();
    // The first write counts the connection; the second, of the pass, fails.
    sim::machine().failCall("WritePrivateProfileStringA", 2, ERROR_ACCESS_DENIED);
    hid.present = true;
    hid.keys = {1, 2, 3, 4, 5, 6};
    for (int i = 0; i < 8; ++i) {
        deliverTick();
    }
    EXPECT_EQ(lastError(), "Unable to write to " + iniPath());
    EXPECT_EQ(form_->lbStatus->text(), kPassWord);
    EXPECT_EQ(form_->lbCount->text(), "1/1");
    EXPECT_FALSE(form_->imgPassed->isVisible());
    EXPECT_EQ(markersShowing(form_->imgGood), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(iniText(), "[COUNT]\r\nTotal=1\r\n");

    // The next pass counts on from the kept value.
    hid.present = false;
    deliverTick();
    hid.present = true;
    hid.keys = {1, 2, 3, 4, 5, 6};
    for (int i = 0; i < 8; ++i) {
        deliverTick();
    }
    EXPECT_EQ(form_->lbCount->text(), "2/2");
    EXPECT_TRUE(form_->imgPassed->isVisible());
}

TEST_F(CountersTest, RefusedResetChangesNothingAfterTheFailingWrite) {
    writeIni("[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
    startHid();
    sim::machine().failAlways("WritePrivateProfileStringA", ERROR_ACCESS_DENIED);
    doubleClickCount();
    EXPECT_EQ(lastError(), "Unable to write to " + iniPath());
    EXPECT_EQ(form_->lbCount->text(), "3/5");
    EXPECT_EQ(iniText(), "[COUNT]\r\nPassed=3\r\nTotal=5\r\n");

    // Total written, Passed refused: the counters on screen stay as they were.
    sim::machine().failAlways("WritePrivateProfileStringA", 0);
    sim::machine().clearCalls();
    sim::machine().failCall("WritePrivateProfileStringA", 2, ERROR_ACCESS_DENIED);
    doubleClickCount();
    EXPECT_EQ(window_.errors.size(), 2u);
    EXPECT_EQ(form_->lbCount->text(), "3/5");
    EXPECT_EQ(iniText(), "[COUNT]\r\nPassed=3\r\nTotal=0\r\n");
}

TEST_F(CountersTest, DirectoryThatDoesNotExistCannotBeWritten) {
    const auto missing = dir_ / "gone" / "evaluator-station";
    sim::machine().setModuleFileName(missing.string());
    startHid();
    EXPECT_EQ(form_->lbCount->text(), "0/0");
    doubleClickCount();
    EXPECT_EQ(lastError(), "Unable to write to " + (dir_ / "gone" / "test.ini").string());
}

TEST_F(CountersTest, ProgramInAFolderNamedOutsideTheAnsiCodePage) {
#ifdef _WIN32
    GTEST_SKIP() << "the simulated machine of a Windows build opens files with the ANSI "
                    "functions; the program's wide path is checked under Wine";
#endif
    // "站点 测试", and a program name whose characters (表, ソ) end in byte 0x5C
    // in Shift-JIS, where a byte-wise search takes it for a separator.
    const std::string folder = dir_.string() + "/\xE7\xAB\x99\xE7\x82\xB9 \xE6\xB5\x8B\xE8\xAF\x95";
    const std::string ini = folder + "/test.ini";
    std::filesystem::create_directory(folder);
    sim::machine().setModuleFileName(folder + "/\xE8\xA1\xA8\xE3\x82\xBD.exe");
    std::ofstream(ini, std::ios::binary) << "[COUNT]\r\nPassed=3\r\nTotal=5\r\n";
    startHid();
    EXPECT_EQ(form_->lbCount->text(), "3/5");
    passOnce();
    EXPECT_EQ(form_->lbCount->text(), "4/6");
    std::ifstream in(ini, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "[COUNT]\r\nPassed=4\r\nTotal=6\r\n");

    std::filesystem::remove(ini);
    std::filesystem::create_directory(ini); // cannot be written as a file
    doubleClickCount();
    EXPECT_EQ(lastError(), "Unable to write to " + ini);
}

// A folder deeper than MAX_PATH on a volume without short names, on a system
// that takes no long paths: the operator is told at start, and the profile
// functions never see the name (the real .exe in such a folder: station_window.sh).
TEST_F(CountersTest, FolderDeeperThanMaxPathWhereNoLongPathWorks) {
    const auto folder = dir_ / std::string(150, 'd') / std::string(150, 'e');
    const std::string ini = (folder / "test.ini").string();
    sim::machine().setModuleFileName((folder / "evaluator-station").string());
    sim::machine().failAlways("RtlAreLongPathsEnabled", ERROR_CALL_NOT_IMPLEMENTED);
    startHid();
    EXPECT_EQ(lastError(),
              "Unable to use " + ini +
                  ": its path is too long. Move the station's folder to a shorter path.");
    hid.present = true;
    deliverTick();
    EXPECT_EQ(lastError(), "Unable to write to " + ini);
    EXPECT_EQ(sim::machine().calls("GetPrivateProfileStringA") +
                  sim::machine().calls("WritePrivateProfileStringA"),
              0u);
}

TEST_F(CountersTest, ClosingStopsTheTimerAndReleasesTheFile) {
    startHid();
    ASSERT_TRUE(form_->Timer1->isActive());
    form_->close();
    EXPECT_FALSE(form_->Timer1->isActive());
}

TEST(CountersPath, IsBesideTheProgram) {
    EXPECT_EQ(pathBesideProgram("C:\\Station\\evaluator.exe", "test.ini"), "C:\\Station\\test.ini");
    EXPECT_EQ(pathBesideProgram("/opt/station/bin/evaluator-station", "test.ini"),
              "/opt/station/bin/test.ini");
    EXPECT_EQ(pathBesideProgram("C:\\a/b\\c.exe", "test.ini"), "C:\\a/b\\test.ini");
    EXPECT_EQ(pathBesideProgram("evaluator.exe", "test.ini"), "test.ini");
}

TEST(CountersPath, FollowsAProgramPathLongerThanMaxPath) {
    sim::machine().reset();
    const std::string deep = "C:\\" + std::string(300, 'd') + "\\evaluator.exe";
    sim::machine().setModuleFileName(deep);
    EXPECT_EQ(programPath(), deep);
    sim::machine().reset();
}

} // namespace
