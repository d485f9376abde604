// The settings-file functions as the station reaches them, through the seam: on
// the simulated machine they are ours, in a Windows build the system's own, so
// every expectation here is one that Windows (and Wine) meets as well. Each case
// works on full paths in a fresh directory of its own.
#include "Win.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name) {
            if (c == '/') {
                c = '-';
            }
        }
        dir_ = fs::temp_directory_path() /
               ("evaluator-profile-" + name + "-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
    }

    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string file(const std::string& name = "test.ini") const { return (dir_ / name).string(); }

    void plant(std::string_view bytes, const std::string& name = "test.ini") const {
        std::ofstream out(file(name), std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    std::string contents(const std::string& name = "test.ini") const {
        std::ifstream in(file(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    // The value read with a buffer of `size` bytes; the result must be its length.
    std::string read(LPCSTR section, LPCSTR key, LPCSTR defaultValue = "default", DWORD size = 256,
                     const std::string& name = "test.ini") const {
        std::vector<char> buffer(size + 1, '\x0c');
        DWORD n = win::GetPrivateProfileStringA(section, key, defaultValue, buffer.data(), size,
                                                file(name).c_str());
        EXPECT_LT(n, size);
        EXPECT_EQ(n, std::strlen(buffer.data()));
        EXPECT_EQ(buffer[size], '\x0c') << "written past the buffer";
        return std::string(buffer.data(), n);
    }

    BOOL write(LPCSTR section, LPCSTR key, LPCSTR value,
               const std::string& name = "test.ini") const {
        return win::WritePrivateProfileStringA(section, key, value, file(name).c_str());
    }

    fs::path dir_;
};

// --- the station's counters file ----------------------------------------------

TEST_F(ProfileTest, MissingFileGivesTheDefaultAndStaysMissing) {
    EXPECT_EQ(read("COUNT", "Passed", "0"), "0");
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(read("COUNT", "Total", nullptr), "");
    EXPECT_TRUE(entries().empty());
}

TEST_F(ProfileTest, CountersAreWrittenAsWindowsWritesThem) {
    ASSERT_TRUE(write("COUNT", "Total", "1"));
    EXPECT_EQ(contents(), "[COUNT]\r\nTotal=1\r\n");
    ASSERT_TRUE(write("COUNT", "Passed", "1"));
    EXPECT_EQ(contents(), "[COUNT]\r\nTotal=1\r\nPassed=1\r\n");
    ASSERT_TRUE(write("COUNT", "Total", "12"));
    EXPECT_EQ(contents(), "[COUNT]\r\nTotal=12\r\nPassed=1\r\n");
    // The reset.
    ASSERT_TRUE(write("COUNT", "Total", "0"));
    ASSERT_TRUE(write("COUNT", "Passed", "0"));
    EXPECT_EQ(contents(), "[COUNT]\r\nTotal=0\r\nPassed=0\r\n");
    EXPECT_EQ(read("COUNT", "Total", "9"), "0");
    EXPECT_EQ(entries(), std::vector<std::string>{"test.ini"}) << "a file left beside it";
}

TEST_F(ProfileTest, NamesMatchWithoutRegardToCaseAndKeepTheirSpelling) {
    plant("[count]\r\ntotal=5\r\nPASSED=3\r\n");
    EXPECT_EQ(read("COUNT", "Total"), "5");
    EXPECT_EQ(read("CoUnT", "passed"), "3");
    ASSERT_TRUE(write("COUNT", "TOTAL", "6"));
    EXPECT_EQ(contents(), "[count]\r\ntotal=6\r\nPASSED=3\r\n");
}

TEST_F(ProfileTest, OtherSectionsKeysAndCommentsStayAsTheyWere) {
    const std::string before = "; evaluator station\r\n"
                               "[Window]\r\nLeft=10\r\nTop=20\r\n"
                               "[COUNT]\r\n; since the last service\r\nTotal=3\r\nPassed=2\r\n"
                               "[Other]\r\nKey=Value\r\n";
    plant(before);
    ASSERT_TRUE(write("COUNT", "Total", "4"));
    ASSERT_TRUE(write("COUNT", "Passed", "3"));
    std::string expected = before;
    expected.replace(expected.find("Total=3"), 7, "Total=4");
    expected.replace(expected.find("Passed=2"), 8, "Passed=3");
    EXPECT_EQ(contents(), expected);
    ASSERT_TRUE(write("Extra", "A", "1"));
    EXPECT_EQ(contents(), expected + "[Extra]\r\nA=1\r\n");
}

TEST_F(ProfileTest, NullValueDeletesTheKeyAndNullKeyTheSection) {
    plant("[COUNT]\r\nTotal=3\r\nPassed=2\r\n[Other]\r\nKey=Value\r\n");
    ASSERT_TRUE(write("COUNT", "Passed", nullptr));
    EXPECT_EQ(contents(), "[COUNT]\r\nTotal=3\r\n[Other]\r\nKey=Value\r\n");
    ASSERT_TRUE(write("COUNT", "Passed", nullptr)) << "nothing left to delete";
    ASSERT_TRUE(write("other", nullptr, nullptr));
    EXPECT_EQ(contents(), "[COUNT]\r\nTotal=3\r\n");
    ASSERT_TRUE(write("Missing", nullptr, "ignored"));
    ASSERT_TRUE(write("COUNT", "Total", nullptr));
    EXPECT_EQ(contents(), "[COUNT]\r\n");
}

// --- files written by Windows, by editors, by hand ----------------------------

struct FileCase {
    const char* name;
    std::string text;
};

class ProfileFileTest : public ProfileTest, public ::testing::WithParamInterface<FileCase> {};

// Each file holds Total=5 and Passed=3 in section COUNT.
TEST_P(ProfileFileTest, ReadsAndKeepsWorkingAfterWrites) {
    plant(GetParam().text);
    EXPECT_EQ(read("COUNT", "Total"), "5");
    EXPECT_EQ(read("COUNT", "Passed"), "3");
    ASSERT_TRUE(write("COUNT", "Total", "6"));
    ASSERT_TRUE(write("COUNT", "Failed", "2"));
    EXPECT_EQ(read("COUNT", "Total"), "6");
    EXPECT_EQ(read("COUNT", "Passed"), "3");
    EXPECT_EQ(read("COUNT", "Failed"), "2");
    EXPECT_EQ(read("Window", "Left"), "10");
    EXPECT_NE(contents().find("Failed=2\r\n"), std::string::npos) << "new lines end with CR LF";
}

INSTANTIATE_TEST_SUITE_P(
    LineEndsAndLayout, ProfileFileTest,
    ::testing::Values(
        FileCase{"crlf", "[COUNT]\r\nTotal=5\r\nPassed=3\r\n[Window]\r\nLeft=10\r\n"},
        FileCase{"lf", "[COUNT]\nTotal=5\nPassed=3\n[Window]\nLeft=10\n"},
        FileCase{"cr", "[COUNT]\rTotal=5\rPassed=3\r[Window]\rLeft=10\r"},
        FileCase{"mixed", "[COUNT]\nTotal=5\r\nPassed=3\r[Window]\r\nLeft=10\n"},
        FileCase{"noFinalLineEnd", "[Window]\r\nLeft=10\r\n[COUNT]\r\nTotal=5\r\nPassed=3"},
        FileCase{"sectionLast", "[Window]\r\nLeft=10\r\n[COUNT]\r\nTotal=5\r\nPassed=3\r\n"},
        FileCase{"dosEndMark", "[COUNT]\r\nTotal=5\r\nPassed=3\r\n[Window]\r\nLeft=10\r\n\x1a"},
        FileCase{"utf8Mark",
                 "\xEF\xBB\xBF[COUNT]\r\nTotal=5\r\nPassed=3\r\n[Window]\r\nLeft=10\r\n"},
        FileCase{"blanksEverywhere", "\r\n\r\n  [ COUNT ]  \r\n\r\n\tTotal = 5 \r\n  Passed=\t3\r\n"
                                     "\r\n\r\n[Window]\r\n Left =10\r\n\r\n"},
        FileCase{"commentsAndStrayText",
                 "; counters\r\nstray text\r\n[COUNT]\r\n;Total=1\r\n"
                 "Total=5\r\nnot a key\r\nPassed=3\r\n[Window]\r\nLeft=10\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ValueCase {
    const char* name;
    std::string text;  // the whole file
    std::string total; // what reading COUNT/Total gives, "default" when nothing
};

class ProfileValueTest : public ProfileTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ProfileValueTest, ReadsAsWindowsDoes) {
    plant(GetParam().text);
    EXPECT_EQ(read("COUNT", "Total"), GetParam().total);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProfileValueTest,
    ::testing::Values(
        ValueCase{"plain", "[COUNT]\r\nTotal=5\r\n", "5"},
        ValueCase{"spacesAround", "[COUNT]\r\n \t Total \t = \t 5 \t \r\n", "5"},
        ValueCase{"spacesInside", "[COUNT]\r\nTotal=a b  c\r\n", "a b  c"},
        ValueCase{"empty", "[COUNT]\r\nTotal=\r\n", ""},
        ValueCase{"equalsInValue", "[COUNT]\r\nTotal=x=y\r\n", "x=y"},
        ValueCase{"doubleQuotes", "[COUNT]\r\nTotal=\"5\"\r\n", "5"},
        ValueCase{"singleQuotes", "[COUNT]\r\nTotal='5'\r\n", "5"},
        ValueCase{"quotedSpaces", "[COUNT]\r\nTotal=\" 5 \"\r\n", " 5 "},
        ValueCase{"emptyQuotes", "[COUNT]\r\nTotal=\"\"\r\n", ""},
        ValueCase{"quoteInside", "[COUNT]\r\nTotal=\"a\"b\"\r\n", "a\"b"},
        ValueCase{"unmatchedQuotes", "[COUNT]\r\nTotal=\"5'\r\n", "\"5'"},
        ValueCase{"openQuote", "[COUNT]\r\nTotal=\"5\r\n", "\"5"},
        ValueCase{"loneQuote", "[COUNT]\r\nTotal=\"\r\n", "\""},
        ValueCase{"noEquals", "[COUNT]\r\nTotal\r\n", "default"},
        ValueCase{"commentedOut", "[COUNT]\r\n;Total=5\r\n", "default"},
        ValueCase{"longerName", "[COUNT]\r\nTotals=5\r\n", "default"},
        ValueCase{"spacedSection", "[ COUNT ]\r\nTotal=5\r\n", "5"},
        ValueCase{"textAfterHeader", "[COUNT] ; counters\r\nTotal=5\r\n", "5"},
        ValueCase{"unclosedHeader", "[COUNT\r\nTotal=5\r\n", "default"},
        ValueCase{"beforeTheSection", "Total=5\r\n[COUNT]\r\n", "default"},
        ValueCase{"inTheNextSection", "[COUNT]\r\n[Other]\r\nTotal=5\r\n", "default"},
        ValueCase{"duplicateKeyFirstWins", "[COUNT]\r\nTotal=1\r\nTotal=2\r\n", "1"},
        ValueCase{"duplicateSectionFirstWins", "[COUNT]\r\nTotal=1\r\n[COUNT]\r\nTotal=2\r\n", "1"},
        ValueCase{"onlyFirstSectionSearched", "[COUNT]\r\nPassed=1\r\n[COUNT]\r\nTotal=2\r\n",
                  "default"},
        ValueCase{"zeroBytesAround", "\0\0[X]\0\r\n[COUNT]\r\nTotal=5\r\n\0\0\r\n"s, "5"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProfileTest, DuplicatesAreWrittenWhereTheyAreRead) {
    plant("[COUNT]\r\nTotal=1\r\nTotal=2\r\n[COUNT]\r\nTotal=3\r\n");
    ASSERT_TRUE(write("COUNT", "Total", "7"));
    EXPECT_EQ(contents(), "[COUNT]\r\nTotal=7\r\nTotal=2\r\n[COUNT]\r\nTotal=3\r\n");
    ASSERT_TRUE(write("COUNT", "Passed", "1"));
    EXPECT_EQ(contents(), "[COUNT]\r\nTotal=7\r\nTotal=2\r\nPassed=1\r\n[COUNT]\r\nTotal=3\r\n");
}

TEST_F(ProfileTest, DefaultLosesTrailingSpaces) {
    EXPECT_EQ(read("COUNT", "Total", "default  "), "default");
    EXPECT_EQ(read("COUNT", "Total", "one two  "), "one two");
    EXPECT_EQ(read("COUNT", "Total", "  lead"), "  lead");
}

// --- buffers ---------------------------------------------------------------------

TEST_F(ProfileTest, ValueLongerThanTheBufferIsCutToSizeMinusOne) {
    plant("[COUNT]\r\nTotal=1234\r\nName=\"quoted\"\r\n");
    struct Row {
        DWORD size;
        std::string expected;
    };
    for (const Row& row :
         {Row{1, ""}, Row{2, "1"}, Row{4, "123"}, Row{5, "1234"}, Row{6, "1234"}}) {
        EXPECT_EQ(read("COUNT", "Total", "default", row.size), row.expected) << row.size;
    }
    EXPECT_EQ(read("COUNT", "Missing", "default", 4), "def");
    EXPECT_EQ(read("COUNT", "Name", "default", 4), "quo");
    EXPECT_EQ(read("COUNT", "Name", "default", 8), "quoted");

    char untouched[] = "kumquat";
    EXPECT_EQ(
        win::GetPrivateProfileStringA("COUNT", "Total", "default", untouched, 0, file().c_str()),
        0u);
    EXPECT_STREQ(untouched, "kumquat");
}

TEST_F(ProfileTest, NullKeyListsTheKeysOfTheSection) {
    plant("[s]\r\nname1=val1\r\nname2=\r\nname3\r\nname4=val4\r\n;note=x\r\n[t]\r\n");
    char buffer[64];
    std::memset(buffer, 0x0c, sizeof buffer);
    DWORD n = win::GetPrivateProfileStringA("S", nullptr, "default", buffer, sizeof buffer,
                                            file().c_str());
    EXPECT_EQ(n, 18u);
    EXPECT_EQ(std::string(buffer, n + 1), "name1\0name2\0name4\0\0"s) << "ends with two zeros";

    // Cut inside the last name that does not fit.
    std::memset(buffer, 0x0c, sizeof buffer);
    n = win::GetPrivateProfileStringA("s", nullptr, "default", buffer, 16, file().c_str());
    EXPECT_EQ(n, 14u);
    EXPECT_EQ(std::string(buffer, 15), "name1\0name2\0na\0"s);

    // No keys: the default.
    EXPECT_EQ(read("t", nullptr), "default");
    EXPECT_EQ(read("missing", nullptr), "default");
}

TEST_F(ProfileTest, NullSectionListsTheSections) {
    plant("[section1]\r\nkey=1\r\n[ section2 ]\r\n[section3]\r\n");
    char buffer[64];
    struct Row {
        DWORD size;
        DWORD result;
        std::string text; // result + 1 bytes
    };
    // An exact fit counts as too small.
    for (const Row& row : {Row{64, 27, "section1\0section2\0section3\0\0"s},
                           Row{29, 27, "section1\0section2\0section3\0\0"s},
                           Row{28, 26, "section1\0section2\0section3\0"s},
                           Row{27, 25, "section1\0section2\0section\0"s}}) {
        std::memset(buffer, 0x0c, sizeof buffer);
        DWORD n = win::GetPrivateProfileStringA(nullptr, "key", "default", buffer, row.size,
                                                file().c_str());
        EXPECT_EQ(n, row.result) << row.size;
        EXPECT_EQ(std::string(buffer, n + 1), row.text) << row.size;
    }

    std::memset(buffer, 0x0c, sizeof buffer);
    EXPECT_EQ(win::GetPrivateProfileStringA(nullptr, nullptr, "default", buffer, sizeof buffer,
                                            file("missing.ini").c_str()),
              0u);
    EXPECT_EQ(buffer[0], '\0');
}

// --- bad files -------------------------------------------------------------------

TEST_F(ProfileTest, BinaryGarbageReadsAsNothingAndStillTakesWrites) {
    std::mt19937 random(20240611);
    std::string garbage(30 * 1024, '\0'); // both copies and the section under 64 KiB
    for (char& c : garbage) {
        c = static_cast<char>(random() & 0xff);
    }
    garbage[0] = 'x'; // no byte-order mark by chance
    plant(garbage);
    EXPECT_EQ(read("COUNT", "Total"), "default");
    ASSERT_TRUE(write("COUNT", "Total", "1"));
    EXPECT_EQ(read("COUNT", "Total"), "1");

    plant(garbage + "\r\n[COUNT]\r\nTotal=5\r\n" + garbage);
    EXPECT_EQ(read("COUNT", "Total"), "5");
}

// Windows reads a settings file of any size; ours refuse one far larger than a
// counters file (over 64 KiB): reads give the default, writes fail and leave it.
TEST_F(ProfileTest, LargeFilesAsEachImplementationTakesThem) {
    const bool ours = std::string_view(win::backend().name) == "simulated machine";
    const std::size_t size = ours ? 64 * 1024 : 10 * 1024 * 1024;
    std::string big;
    for (int i = 0; big.size() < size - 64; ++i) {
        big += "[Section" + std::to_string(i) +
               "]\r\n; padding padding padding padding\r\nKey=" + std::to_string(i) + "\r\n";
    }
    big.resize(size - 20, ';');
    big += "\r\n";
    // Exactly at the bound: read and written.
    plant(big + "[COUNT]\r\nTotal=5\r\n");
    EXPECT_EQ(read("COUNT", "Total"), "5");
    ASSERT_TRUE(write("COUNT", "Total", "6"));
    EXPECT_EQ(read("COUNT", "Total"), "6");
    EXPECT_EQ(read("Section42", "Key"), "42");
    EXPECT_EQ(contents().size(), size);
    // A count that takes the file to the bound is kept; one that would take it
    // past is refused, and the file stays as it was (and readable).
    plant(big.substr(1) + "[COUNT]\r\nTotal=9\r\n");
    ASSERT_TRUE(write("COUNT", "Total", "10"));
    plant(big + "[COUNT]\r\nTotal=9\r\n");
    EXPECT_EQ(write("COUNT", "Total", "10"), ours ? FALSE : TRUE);
    EXPECT_EQ(read("COUNT", "Total"), ours ? "9" : "10");
    // One byte more.
    plant(big + "[COUNT]\r\nTotal=55\r\n");
    EXPECT_EQ(read("COUNT", "Total"), ours ? "default" : "55");
    EXPECT_EQ(write("COUNT", "Total", "7"), ours ? FALSE : TRUE);
    if (ours) {
        EXPECT_EQ(win::GetLastError(), 223u) << "ERROR_FILE_TOO_LARGE";
        EXPECT_EQ(contents(), big + "[COUNT]\r\nTotal=55\r\n");
        EXPECT_EQ(entries(), std::vector<std::string>{"test.ini"});
        return;
    }
    // One value of ten megabytes, read into a small buffer.
    plant("[COUNT]\r\nTotal=" + std::string(10 * 1024 * 1024, '7'));
    EXPECT_EQ(read("COUNT", "Total", "default", 16), std::string(15, '7'));
}

#ifndef _WIN32
// Two processes counting different keys never undo each other's counts, and a
// reader meanwhile always finds the file, old or new.
TEST_F(ProfileTest, WritersTakeTurnsAndAReaderNeverMissesTheFile) {
    plant("[COUNT]\r\nTotal=0\r\nPassed=0\r\n");
    auto counter = [this](const char* key) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0; i < 200; ++i) {
                write("COUNT", key, std::to_string(std::stoi(read("COUNT", key, "0")) + 1).c_str());
            }
            ::_exit(0);
        }
        return pid;
    };
    const pid_t writers[] = {counter("Total"), counter("Passed")};
    int missed = 0;
    while (::waitpid(writers[1], nullptr, WNOHANG) == 0) {
        missed += read("COUNT", "Total", "missed") == "missed" ? 1 : 0;
    }
    ::waitpid(writers[0], nullptr, 0);
    EXPECT_EQ(read("COUNT", "Total") + "/" + read("COUNT", "Passed") + ", missed " +
                  std::to_string(missed),
              "200/200, missed 0");
}

// The Linux package keeps test.ini beside the program as a link into /var/lib.
TEST_F(ProfileTest, ALinkedFileIsWrittenThroughTheLinkWhichStays) {
    // The link is followed only where nobody else may change it.
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::create_directory(dir_ / "var");
    fs::create_symlink(dir_ / "var" / "test.ini", file());
    // Its file missing: the first write creates it there.
    ASSERT_TRUE(write("COUNT", "Total", "1"));
    EXPECT_TRUE(fs::is_symlink(file()));
    EXPECT_EQ(contents("var/test.ini"), "[COUNT]\r\nTotal=1\r\n");
    // A relative link, to a file that is there.
    fs::remove(file());
    fs::create_symlink("var/test.ini", file());
    ASSERT_TRUE(write("COUNT", "Passed", "1"));
    EXPECT_TRUE(fs::is_symlink(file()));
    EXPECT_EQ(contents("var/test.ini"), "[COUNT]\r\nTotal=1\r\nPassed=1\r\n");
    EXPECT_EQ(read("COUNT", "Passed"), "1");
}
#endif

// --- writes that cannot succeed ----------------------------------------------------

TEST_F(ProfileTest, WriteToADirectoryFailsWithAccessDenied) {
    fs::create_directory(file());
    EXPECT_FALSE(write("COUNT", "Total", "1"));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(read("COUNT", "Total", "0"), "0");
    EXPECT_TRUE(fs::is_directory(file()));
    EXPECT_EQ(entries(), std::vector<std::string>{"test.ini"});
}

TEST_F(ProfileTest, WriteIntoAMissingDirectoryFailsWithPathNotFound) {
    const std::string name = "missing/test.ini";
    EXPECT_FALSE(write("COUNT", "Total", "1", name));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(read("COUNT", "Total", "0", 256, name), "0");
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(entries().empty());
}

TEST_F(ProfileTest, WriteToAReadOnlyFileFailsAndLeavesIt) {
    // Windows refuses to write a read-only file even for an administrator. Wine run
    // as root does not: it keeps the attribute as Unix permissions, which root passes.
    if (std::string_view(win::backend().name) != "simulated machine") {
        GTEST_SKIP() << "the system's own functions may run as root here";
    }
    plant("[COUNT]\r\nTotal=5\r\n");
    fs::permissions(file(),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    EXPECT_FALSE(write("COUNT", "Total", "6"));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(read("COUNT", "Total"), "5");
    EXPECT_EQ(entries(), std::vector<std::string>{"test.ini"});
    fs::permissions(file(), fs::perms::owner_write, fs::perm_options::add);
}

TEST_F(ProfileTest, WriteWithoutASectionFailsWithFileNotFound) {
    EXPECT_FALSE(write(nullptr, "Total", "1"));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(entries().empty());
}

} // namespace
