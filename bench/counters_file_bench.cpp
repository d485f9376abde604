// What a counters write and read cost on the window's thread, by the size of
// test.ini: the station's own few dozen bytes, a file just under the 64 KiB
// bound (read and rewritten whole), and a 100 MB file (sparse), which is
// refused without being read. Time per call and the growth of the resident
// memory's peak over all calls on that file. Then the folder as operators
// share it: a write in a folder that a member flooded with 400,000 names; two
// processes counting different keys 500 times each (the sum must be exact);
// and 20,000 reads by one process during 1,000 writes by another (none may
// miss the file).
//
//   counters_file_bench [folder]      (default: a fresh folder under /tmp)
#include "Profile.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;

long maxRssKb() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

template <typename F> double microsecondsPerCall(int calls, F f) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        f(i);
    }
    std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    return took.count() / calls;
}

void measure(const char* name, const fs::path& file, int calls) {
    const std::string path = file.string();
    long before = maxRssKb();
    DWORD error = 0;
    BOOL written = TRUE;
    double write = microsecondsPerCall(calls, [&](int i) {
        written =
            profile::WriteString("COUNT", "Total", std::to_string(i).c_str(), path.c_str(), &error);
    });
    char total[32];
    double read = microsecondsPerCall(calls, [&](int) {
        profile::GetString("COUNT", "Total", "0", total, sizeof total, path.c_str(), &error);
    });
    std::printf("%-18s write %9.1f us (%s)   read %7.1f us   peak memory +%ld KiB\n", name, write,
                written ? "written" : "refused", read, maxRssKb() - before);
}

// Counts key up `times` times, read then write, as a station does.
void count(const std::string& path, const char* key, int times) {
    char value[32];
    DWORD error = 0;
    for (int i = 0; i < times; ++i) {
        profile::GetString("COUNT", key, "0", value, sizeof value, path.c_str(), &error);
        profile::WriteString("COUNT", key, std::to_string(std::atoi(value) + 1).c_str(),
                             path.c_str(), &error);
    }
}

pid_t inChild(const std::function<void()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        body();
        ::_exit(0);
    }
    return pid;
}

void shared(const fs::path& dir) {
    const fs::path file = dir / "test.ini";
    const std::string path = file.string();
    std::ofstream(file, std::ios::binary) << "[COUNT]\r\nTotal=0\r\nPassed=0\r\n";
    char total[32];
    char passed[32];
    DWORD error = 0;

    auto start = std::chrono::steady_clock::now();
    pid_t a = inChild([&] { count(path, "Total", 500); });
    pid_t b = inChild([&] { count(path, "Passed", 500); });
    ::waitpid(a, nullptr, 0);
    ::waitpid(b, nullptr, 0);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    profile::GetString("COUNT", "Total", "?", total, sizeof total, path.c_str(), &error);
    profile::GetString("COUNT", "Passed", "?", passed, sizeof passed, path.c_str(), &error);
    std::printf("two writers, 500 counts each: Total=%s Passed=%s (want 500/500) in %.2f s\n",
                total, passed, took.count());

    pid_t writer = inChild([&] { count(path, "Total", 1000); });
    int misses = 0;
    int reads = 0;
    for (; reads < 20000; ++reads) {
        if (profile::GetString("COUNT", "Total", "", total, sizeof total, path.c_str(), &error) ==
            0) {
            ++misses;
        }
    }
    const bool writing = ::waitpid(writer, nullptr, WNOHANG) == 0;
    ::waitpid(writer, nullptr, 0);
    std::printf("%d reads during 1,000 writes%s: %d missed the file\n", reads,
                writing ? "" : " (the writer had finished before the last read)", misses);

    const fs::path flood = dir / "flood";
    fs::create_directory(flood);
    for (int i = 0; i < 400000; ++i) {
        ::close(::open((flood / ("name" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY, 0644));
    }
    measure("flooded folder", flood / "test.ini", 200);
}

} // namespace

int main(int argc, char** argv) {
    char scratch[] = "/tmp/counters-bench-XXXXXX";
    fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::path(::mkdtemp(scratch));
    fs::path file = dir / "test.ini";

    fs::remove(file);
    measure("counters (30 B)", file, 200);

    std::string padding;
    while (padding.size() < 60 * 1024) {
        padding += "; a comment line that a person left in the file long ago\r\n";
    }
    std::ofstream(file, std::ios::binary) << padding << "[COUNT]\r\nTotal=0\r\n";
    measure("near bound (60 KiB)", file, 200);

    std::ofstream(file, std::ios::binary | std::ios::trunc).close();
    fs::resize_file(file, 100ull * 1024 * 1024);
    measure("100 MB (sparse)", file, 200);
    fs::remove(file);

    shared(dir);

    if (argc <= 1) {
        fs::remove_all(dir);
    }
    return 0;
}
