// What a counters write and read cost on the window's thread, by the size of
// test.ini: the station's own few dozen bytes, a file just under the 64 KiB
// bound (read and rewritten whole), and a 100 MB file (sparse), which is
// refused without being read. Time per call and the growth of the resident
// memory's peak over all calls on that file.
//
//   counters_file_bench [folder]      (default: a fresh folder under /tmp)
#include "Profile.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

    if (argc <= 1) {
        fs::remove_all(dir);
    }
    return 0;
}
