// The counters file as the Linux package shares it: test.ini beside the program
// (a root-owned folder) links into a folder that a whole group of operators may
// write (root:group 2775), and the station may run as root or as any operator.
// Each case lays the folders out so in a fresh directory, plants what a member
// of the group could plant, and runs the station's reads and writes in a child
// process with the identity of root, an operator or an outsider. Needs root (to
// take those identities); CI runs as root.
#include "Win.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr gid_t kGroup = 61000; // the operators' group

struct Who {
    const char* name;
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};

void PrintTo(const Who& who, std::ostream* os) {
    *os << who.name;
}

const Who kRoot{"root", 0, 0, {}};
const Who kOperatorA{"operatorA", 61001, 61001, {kGroup}};
const Who kOperatorB{"operatorB", 61002, 61002, {kGroup}};
const Who kOutsider{"outsider", 61003, 61003, {}};

// Runs body in a child process as who, with the given umask; its exit code, or
// 128 + the signal that ended it. The child is ended by SIGALRM after 20 s: a
// read or write that waits for ever shows as 142.
int runAs(const Who& who, const std::function<int()>& body, mode_t mask = 022) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(20);
        ::umask(mask);
        if (who.uid != 0 && (::setgroups(who.groups.size(), who.groups.data()) != 0 ||
                             ::setgid(who.gid) != 0 || ::setuid(who.uid) != 0)) {
            ::_exit(99);
        }
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What the station does with the counters: read Total, write it plus one.
struct Count {
    char total[32] = {};
    DWORD readError = 0;
    BOOL written = FALSE;
    DWORD writeError = 0;
    long rssGrowthKb = 0;
};

long maxRssKb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

Count countAs(const Who& who, const std::string& path, mode_t mask = 022) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return {};
    }
    int status = runAs(
        who,
        [&] {
            Count c;
            // Its padding goes down the pipe too: no uninitialised bytes.
            std::memset(static_cast<void*>(&c), 0, sizeof c);
            long before = maxRssKb();
            win::GetPrivateProfileStringA("COUNT", "Total", "0", c.total, sizeof c.total,
                                          path.c_str());
            c.readError = win::GetLastError();
            std::string next = std::to_string(std::atoi(c.total) + 1);
            c.written =
                win::WritePrivateProfileStringA("COUNT", "Total", next.c_str(), path.c_str());
            c.writeError = c.written ? 0 : win::GetLastError();
            c.rssGrowthKb = maxRssKb() - before;
            return ::write(fds[1], &c, sizeof c) == sizeof c ? 0 : 1;
        },
        mask);
    ::close(fds[1]);
    Count c;
    ssize_t n = ::read(fds[0], &c, sizeof c);
    ::close(fds[0]);
    EXPECT_EQ(status, 0) << who.name << ": 142 is a read or write that hung";
    EXPECT_EQ(n, static_cast<ssize_t>(sizeof c));
    return c;
}

struct Snapshot {
    std::string bytes;
    struct stat st {};
    bool operator==(const Snapshot& o) const {
        return bytes == o.bytes && st.st_uid == o.st.st_uid && st.st_gid == o.st.st_gid &&
               st.st_mode == o.st.st_mode && st.st_size == o.st.st_size &&
               st.st_mtim.tv_sec == o.st.st_mtim.tv_sec &&
               st.st_mtim.tv_nsec == o.st.st_mtim.tv_nsec;
    }
};

Snapshot snapshot(const fs::path& path) {
    Snapshot s;
    ::lstat(path.c_str(), &s.st);
    if (S_ISREG(s.st.st_mode) && s.st.st_size < 1024 * 1024) {
        std::ifstream in(path, std::ios::binary);
        s.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return s;
}

ino_t inode(const fs::path& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_ino;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// base/usr/test.ini -> base/var/test.ini, as the package has
// /usr/lib/evaluator-station/test.ini -> /var/lib/evaluator-station/test.ini;
// base/secret (root's, 0600) and the empty base/outside stand for the rest of
// the system.
class SharedCountersTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root, to run the station as root and as operators of a "
                            "shared group (CI runs as root)";
        }
        char name[] = "/tmp/evaluator-shared-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        base_ = name;
        fs::permissions(base_, fs::perms(0755));
        fs::create_directory(base_ / "usr");
        fs::create_directory(base_ / "outside");
        layOutShared(02775);
        fs::create_symlink(var() / "test.ini", program());
        std::ofstream(base_ / "secret") << "[COUNT]\r\nTotal=666\r\n";
        fs::permissions(base_ / "secret", fs::perms(0600));
        secret_ = snapshot(base_ / "secret");
    }

    void TearDown() override {
        std::error_code ec;
        if (!base_.empty()) {
            fs::remove_all(base_, ec);
        }
    }

    // The shared folder with an empty test.ini, as postinst leaves them.
    void layOutShared(mode_t mode) {
        fs::create_directory(var());
        ASSERT_EQ(::chown(var().c_str(), 0, kGroup), 0);
        ASSERT_EQ(::chmod(var().c_str(), mode), 0);
        std::ofstream(var() / "test.ini").close();
        ASSERT_EQ(::chown((var() / "test.ini").c_str(), 0, kGroup), 0);
        ASSERT_EQ(::chmod((var() / "test.ini").c_str(), 0664), 0);
    }

    fs::path var() const { return base_ / "var"; }
    std::string program() const { return (base_ / "usr" / "test.ini").string(); }

    // Nothing outside the shared folder was read into it, created or changed.
    void expectOutsideUntouched() const {
        EXPECT_TRUE(snapshot(base_ / "secret") == secret_) << "the file outside changed";
        EXPECT_TRUE(fs::is_empty(base_ / "outside")) << "a file was created outside";
        EXPECT_TRUE(fs::is_symlink(program()));
    }

    fs::path base_;
    Snapshot secret_;
};

// --- what a member of the group may plant as test.ini ------------------------------

// The moment between the station's look at test.ini in the shared folder and
// its open. This program's fstatat stands in for the C library's: once armed,
// right after a look at "test.ini" in the folder of inode lookFolder it runs
// the swap, as an operator racing the station would.
std::function<void()> afterLook;
ino_t lookFolder = 0;

} // namespace

extern "C" int fstatat(int dir, const char* path, struct stat* st, int flags) {
    using Real = int (*)(int, const char*, struct stat*, int);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "fstatat"));
    int result = real(dir, path, st, flags);
    struct stat folder {};
    if (afterLook && std::strcmp(path, "test.ini") == 0 && ::fstat(dir, &folder) == 0 &&
        folder.st_ino == lookFolder) {
        std::function<void()> swap = std::move(afterLook);
        afterLook = nullptr;
        swap();
    }
    return result;
}

namespace {

struct Plant {
    const char* name;
    bool byRoot; // what a member cannot do where the system protects hard links
    std::function<int(const fs::path& base, const fs::path& at)> make;
};

void PrintTo(const Plant& plant, std::ostream* os) {
    *os << plant.name;
}

const Plant kPlants[] = {
    {"linkToRootsFile", false,
     [](const fs::path& b, const fs::path& at) {
         return ::symlink((b / "secret").c_str(), at.c_str());
     }},
    {"danglingLink", false,
     [](const fs::path& b, const fs::path& at) {
         return ::symlink((b / "outside/nologin").c_str(), at.c_str());
     }},
    {"fifo", false, [](const fs::path&, const fs::path& at) { return ::mkfifo(at.c_str(), 0666); }},
    {"directory", false,
     [](const fs::path&, const fs::path& at) { return ::mkdir(at.c_str(), 0777); }},
    {"hardLinkToRootsFile", true,
     [](const fs::path& b, const fs::path& at) {
         return ::link((b / "secret").c_str(), at.c_str());
     }},
};

enum class When { Before, BetweenLookAndOpen };

class PlantedTest : public SharedCountersTest,
                    public ::testing::WithParamInterface<std::tuple<Plant, When, Who>> {};

TEST_P(PlantedTest, IsRefusedAndNothingOutsideIsReadOrChanged) {
    const auto& [plant, when, station] = GetParam();
    const fs::path ini = var() / "test.ini";
    const fs::path at = when == When::Before ? ini : var() / "planted";
    if (when == When::Before) {
        fs::remove(ini);
    } else {
        std::ofstream(ini) << "[COUNT]\r\nTotal=5\r\n";
        lookFolder = inode(var());
        afterLook = [&] {
            ::unlink(ini.c_str());
            ::rename(at.c_str(), ini.c_str());
        };
    }
    ASSERT_EQ(runAs(plant.byRoot ? kRoot : kOperatorA,
                    [&, make = plant.make] { return make(base_, at) == 0 ? 0 : 1; }),
              0);
    Snapshot planted = snapshot(at);

    Count c = countAs(station, program());
    afterLook = nullptr;
    EXPECT_STREQ(c.total, "0") << "read through what was planted";
    EXPECT_EQ(c.readError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(c.written);
    EXPECT_EQ(c.writeError, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the error box's cause";

    expectOutsideUntouched();
    EXPECT_TRUE(snapshot(ini) == planted);
    EXPECT_EQ(entries(var()), std::vector<std::string>{"test.ini"});
}

INSTANTIATE_TEST_SUITE_P(Plants, PlantedTest,
                         ::testing::Combine(::testing::ValuesIn(kPlants),
                                            ::testing::Values(When::Before,
                                                              When::BetweenLookAndOpen),
                                            ::testing::Values(kRoot, kOperatorB)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == When::Before ? "_before_"
                                                                             : "_swappedIn_") +
                                    std::get<2>(info.param).name;
                         });

// --- operators sharing the file ------------------------------------------------------

// With and without the set-group-ID bit on the folder: the file gets the folder's
// group either way, and 0664 whatever the writer's umask.
class NewFileTest : public SharedCountersTest, public ::testing::WithParamInterface<mode_t> {};

TEST_P(NewFileTest, IsWritableByTheGroupAndASecondOperatorCounts) {
    fs::remove_all(var());
    layOutShared(GetParam());
    fs::remove(var() / "test.ini");

    Count first = countAs(kOperatorA, program(), 077);
    EXPECT_TRUE(first.written) << first.writeError;
    struct stat st {};
    ASSERT_EQ(::stat((var() / "test.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    EXPECT_EQ(st.st_gid, kGroup);
    EXPECT_EQ(st.st_uid, kOperatorA.uid);

    Count second = countAs(kOperatorB, program(), 077);
    EXPECT_STREQ(second.total, "1");
    EXPECT_TRUE(second.written) << second.writeError;
    Count outsider = countAs(kOutsider, program());
    EXPECT_STREQ(outsider.total, "2") << "the counters may be read by anyone";
    EXPECT_FALSE(outsider.written);
    EXPECT_EQ(outsider.writeError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Count root = countAs(kRoot, program());
    EXPECT_STREQ(root.total, "2");
    EXPECT_TRUE(root.written);
    ASSERT_EQ(::stat((var() / "test.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u) << "after root's write";
    EXPECT_EQ(st.st_gid, kGroup);
    EXPECT_EQ(entries(var()), std::vector<std::string>{"test.ini"});
}

INSTANTIATE_TEST_SUITE_P(Folders, NewFileTest, ::testing::Values(02775, 0775),
                         [](const auto& info) { return info.param == 02775 ? "setgid" : "plain"; });

// A writer that died between making its new file and renaming it leaves that
// file behind; the next write removes it, or whatever a member planted under
// its name, and nothing else in the folder. A member who holds the writers'
// lock for ever costs each write a bounded wait and the error box, the file
// as it was.
TEST_F(SharedCountersTest, LeftoversOfADeadWriterAreRemovedByTheNextWrite) {
    std::ofstream(var() / "notes.txt") << "[COUNT]\r\nTotal=9\r\n";
    const fs::path leftover = var() / ".test.ini.new";
    for (bool planted : {false, true}) {
        if (planted) {
            fs::create_symlink(base_ / "secret", leftover);
        } else {
            std::ofstream(leftover) << "[COUNT]\r\nTotal=9\r\n";
        }
        Count c = countAs(kOperatorB, program());
        EXPECT_TRUE(c.written) << c.writeError;
        EXPECT_EQ(entries(var()), (std::vector<std::string>{"notes.txt", "test.ini"}));
    }
    expectOutsideUntouched();

    int held = ::open(var().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    Snapshot before = snapshot(var() / "test.ini");
    Count c = countAs(kOperatorB, program());
    ::close(held);
    EXPECT_FALSE(c.written);
    EXPECT_EQ(c.writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(snapshot(var() / "test.ini") == before);
}

// A 100 MB test.ini (sparse) is neither read into memory nor rewritten.
TEST_F(SharedCountersTest, AHugeFileIsLeftUntouched) {
    ASSERT_EQ(::truncate((var() / "test.ini").c_str(), 100L * 1024 * 1024), 0);
    Snapshot before = snapshot(var() / "test.ini");
    for (const Who& station : {kRoot, kOperatorB}) {
        Count c = countAs(station, program());
        EXPECT_STREQ(c.total, "0") << station.name;
        EXPECT_EQ(c.readError, 223u) << "ERROR_FILE_TOO_LARGE";
        EXPECT_FALSE(c.written);
        EXPECT_EQ(c.writeError, 223u);
        EXPECT_LT(c.rssGrowthKb, 4 * 1024) << "memory grew with the file";
    }
    EXPECT_TRUE(snapshot(var() / "test.ini") == before);
    EXPECT_EQ(entries(var()), std::vector<std::string>{"test.ini"});
}

} // namespace
