// The wide-character program-path and settings-file functions through the seam:
// ours on the simulated machine, the system's own in a Windows build, so every
// expectation here is also one that Windows (and Wine) meets. The file stays
// ANSI text whichever form writes it.
#include "Utf16.h"
#include "Win.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

WideString wide(const std::string& text) {
    return toUtf16(text);
}

class ProfileWideTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A folder named outside the ANSI code page ("站点 测试"); the simulated
        // machine of a Windows build opens its files with the ANSI functions.
        std::string name = "\xE7\xAB\x99\xE7\x82\xB9 \xE6\xB5\x8B\xE8\xAF\x95";
#ifdef _WIN32
        if (std::string(win::backend().name) != "windows") {
            name = "station test";
        }
#endif
        dir_ = fs::temp_directory_path() /
               ("evaluator-wide-" + std::to_string(std::random_device{}())) /
               fs::path(std::u8string(name.begin(), name.end()));
        fs::create_directories(dir_);
        const std::u8string path = (dir_ / "test.ini").u8string();
        path_ = toUtf16(std::string(path.begin(), path.end()));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_.parent_path(), ec);
    }

    std::string contents() const {
        std::ifstream in(dir_ / "test.ini", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void plant(const std::string& bytes) const {
        std::ofstream(dir_ / "test.ini", std::ios::binary) << bytes;
    }
    BOOL write(const char* section, const char* key, const char* value) const {
        return win::WritePrivateProfileStringW(wide(section).c_str(), wide(key).c_str(),
                                               wide(value).c_str(), path_.c_str());
    }
    // What a buffer of `size` units receives up to the zero after the result
    // (two zeros for a list that was cut), and the result.
    std::pair<WideString, DWORD> read(const char* section, const char* key, DWORD size) const {
        std::vector<WCHAR> buffer(size + 1, 0x7777);
        const DWORD n = win::GetPrivateProfileStringW(
            section ? wide(section).c_str() : nullptr, key ? wide(key).c_str() : nullptr,
            wide("none").c_str(), buffer.data(), size, path_.c_str());
        EXPECT_EQ(buffer[size], 0x7777) << "written past the buffer";
        const DWORD shown = std::min<DWORD>(size, n + 1 + (n + 2 == size ? 1 : 0));
        return {WideString(buffer.data(), shown), n};
    }

    fs::path dir_;
    WideString path_;
};

TEST_F(ProfileWideTest, NewFileIsAnsiAndAnAnsiFileStaysAnsi) {
    ASSERT_TRUE(write("COUNT", "Total", "1"));
    EXPECT_EQ(contents(), "[COUNT]\r\nTotal=1\r\n"); // no byte-order mark, one byte a character
    EXPECT_EQ(read("COUNT", "Total", 16).first, wide("1\0"s));

    // A comment in a single-byte code page, kept byte for byte around the write.
    plant("; \xB2\xE2\xCA\xD4\r\n[COUNT]\r\nPassed=3\r\nTotal=5\r\n");
    ASSERT_TRUE(write("COUNT", "Passed", "4"));
    EXPECT_EQ(contents(), "; \xB2\xE2\xCA\xD4\r\n[COUNT]\r\nPassed=4\r\nTotal=5\r\n");
}

struct Cut {
    const char* name;
    const char* section; // NULL lists the sections
    const char* key;     // NULL lists the keys
    DWORD size;
    std::string shown; // the buffer up to the result plus its zeros
    DWORD result;
};

class ProfileWideCut : public ProfileWideTest, public ::testing::WithParamInterface<Cut> {};

TEST_P(ProfileWideCut, CountsInUnits) {
    plant("[COUNT]\r\nPassed=123456\r\nTotal=7\r\n[Other]\r\n");
    const auto [shown, result] = read(GetParam().section, GetParam().key, GetParam().size);
    EXPECT_EQ(result, GetParam().result);
    EXPECT_EQ(shown, wide(GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProfileWideCut,
    ::testing::Values(Cut{"Fits", "COUNT", "Passed", 16, "123456\0"s, 6},
                      Cut{"CutToSizeMinusOne", "COUNT", "Passed", 4, "123\0"s, 3},
                      Cut{"MissingKeyGivesTheDefault", "COUNT", "Nope", 16, "none\0"s, 4},
                      Cut{"KeyList", "COUNT", nullptr, 32, "Passed\0Total\0\0"s, 13},
                      Cut{"KeyListCut", "COUNT", nullptr, 10, "Passed\0T\0\0"s, 8},
                      Cut{"SectionList", nullptr, nullptr, 32, "COUNT\0Other\0\0"s, 12}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModuleFileNameWide, IsTheNarrowNameInUtf16AndCutsInUnits) {
    char narrow[MAX_PATH] = {};
    const DWORD n = win::GetModuleFileNameA(nullptr, narrow, MAX_PATH);
    ASSERT_GT(n, 4u);
    WCHAR full[MAX_PATH] = {};
    ASSERT_EQ(win::GetModuleFileNameW(nullptr, full, MAX_PATH), n); // an ASCII path here
    EXPECT_EQ(toUtf8(full), std::string(narrow, n));
    WCHAR cut[4] = {1, 1, 1, 1};
    EXPECT_EQ(win::GetModuleFileNameW(nullptr, cut, 4), 4u);
    EXPECT_EQ(WideString(cut, 3), WideString(full, 3));
}

struct Text {
    const char* name;
    std::string utf8;
    std::u16string utf16;
};

class Utf16Text : public ::testing::TestWithParam<Text> {};

TEST_P(Utf16Text, GoesThereAndBack) {
    const WideString there = toUtf16(GetParam().utf8);
    EXPECT_EQ(std::u16string(there.begin(), there.end()), GetParam().utf16);
    EXPECT_EQ(toUtf8(there), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Values, Utf16Text,
    ::testing::Values(Text{"Ascii", "C:\\Station\\test.ini", u"C:\\Station\\test.ini"},
                      Text{"Chinese", "\xE7\xAB\x99\xE7\x82\xB9 \xE6\xB5\x8B",
                           u"\u7AD9\u70B9 \u6D4B"},
                      Text{"BeyondTheBasicPlane", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
                      // Bytes of another encoding (a GBK file name on Linux) survive as escapes.
                      Text{"StrayBytes", "\xB2\xE2\x5C", u"\xDCB2\xDCE2\\"},
                      Text{"Overlong", "\xC0\xAF", u"\xDCC0\xDCAF"},
                      Text{"CutShort", "a\xE6\xB5", u"a\xDCE6\xDCB5"},
                      Text{"EncodedSurrogate", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Utf16Lone, LoneSurrogatesOfWindowsNamesBecomeReplacements) {
    const WCHAR lone[] = {0xD800, 'a', 0xDFFF, 0};
    EXPECT_EQ(toUtf8(lone), "\xEF\xBF\xBD"
                            "a"
                            "\xEF\xBF\xBD");
}

} // namespace
