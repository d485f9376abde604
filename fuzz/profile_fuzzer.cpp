// The counters file as the profile functions read it: arbitrary bytes in the
// file, looked up by section and key, listed, and then written into. Whatever
// the file holds, a read stays inside its buffer and ends with a zero, and a
// counter written into the file reads back as written.
#include "FuzzMachine.h"
#include "Profile.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string counterFile() {
    static const std::string path = [] {
        std::filesystem::path dir = std::filesystem::is_directory("/dev/shm")
                                        ? std::filesystem::path("/dev/shm")
                                        : std::filesystem::temp_directory_path();
        dir /= "profile-fuzz-" + std::to_string(::getpid());
        std::filesystem::create_directories(dir);
        return (dir / "test.ini").string();
    }();
    return path;
}

// Reads into a buffer with guard bytes on both sides; checks the zero and the guards.
std::string lookUp(const char* section, const char* key, DWORD size, const std::string& file) {
    constexpr std::size_t kGuard = 16;
    std::vector<char> memory(size + 2 * kGuard, '\x5A');
    char* buffer = memory.data() + kGuard;
    DWORD error = 0;
    const DWORD length =
        profile::GetString(section, key, "dflt", buffer, size, file.c_str(), &error);
    for (std::size_t i = 0; i < kGuard; ++i) {
        fuzzing::require(memory[i] == '\x5A' && memory[kGuard + size + i] == '\x5A',
                         "a read stays inside its buffer");
    }
    if (size == 0) {
        fuzzing::require(length == 0, "nothing is copied into no buffer");
        return {};
    }
    fuzzing::require(length < size, "the length leaves room for the zero");
    fuzzing::require(buffer[length] == '\0', "the text ends with a zero");
    return std::string(buffer, length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string file = counterFile();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    // Buffer sizes around the station's own (64) and the list corner cases.
    const DWORD sizes[] = {0, 1, 2, 3, 11, 64};
    const DWORD pick = size == 0 ? 64 : sizes[data[0] % 6];
    (void)lookUp("COUNT", "Passed", 64, file);
    (void)lookUp("count", "TOTAL", pick, file);
    (void)lookUp("COUNT", nullptr, pick, file);
    (void)lookUp(nullptr, nullptr, pick, file);
    (void)lookUp(nullptr, nullptr, 64, file);

    DWORD error = 0;
    if (profile::WriteString("COUNT", "Total", "42", file.c_str(), &error)) {
        fuzzing::require(lookUp("COUNT", "Total", 64, file) == "42",
                         "a counter written reads back as written");
        fuzzing::require(profile::WriteString("COUNT", "Passed", nullptr, file.c_str(), &error),
                         "a key deletes");
        fuzzing::require(lookUp("COUNT", "Total", 64, file) == "42",
                         "deleting one counter keeps the other");
    }
    return 0;
}
