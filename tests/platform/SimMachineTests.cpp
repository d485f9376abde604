// The simulated machine behaves as the Windows calls it stands in for, on a
// virtual clock, and catches the mistakes a real machine would punish later.
#include "Win.h"
#include "sim/SimMachine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>

namespace {

using sim::machine;

// A device whose input arrives at given virtual times; it takes every write.
class ScriptedDevice : public sim::Device {
public:
    std::deque<std::pair<std::uint64_t, std::string>> input;
    std::string written;

    void progress(sim::Io& io, std::uint64_t now) override {
        if (!io.isRead) {
            written += io.data;
            io.done = static_cast<DWORD>(io.data.size());
            io.complete = true;
            return;
        }
        if (!input.empty() && input.front().first <= now) {
            std::string bytes = input.front().second.substr(0, io.count);
            input.pop_front();
            std::memcpy(io.buffer, bytes.data(), bytes.size());
            io.done = static_cast<DWORD>(bytes.size());
            io.complete = true;
        }
    }
    std::uint64_t wakeTime(const sim::Io& io, std::uint64_t now) const override {
        if (!io.isRead) {
            return now;
        }
        return input.empty() ? sim::kNever : input.front().first;
    }
};

class SimMachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine().reset();
        device = std::make_shared<ScriptedDevice>();
        machine().addDevice(kPath, device);
    }
    void TearDown() override { EXPECT_TRUE(machine().violations().empty()); }

    HANDLE open(DWORD flags = FILE_FLAG_OVERLAPPED, DWORD share = 0) {
        return win::CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                                flags, nullptr);
    }

    static constexpr const char* kPath = "\\\\?\\hid#vid_10c4&pid_82cd#1";
    std::shared_ptr<ScriptedDevice> device;
};

TEST_F(SimMachineTest, ClockMovesOnlyWhenTheStationWaits) {
    EXPECT_EQ(win::GetTickCount(), 0u);
    win::Sleep(5000);
    EXPECT_EQ(win::GetTickCount(), 5000u);

    std::vector<std::uint64_t> fired;
    machine().schedule(7000, [&] { fired.push_back(machine().now()); });
    machine().schedule(6000, [&] { fired.push_back(machine().now()); });
    win::Sleep(3000);
    EXPECT_EQ(fired, (std::vector<std::uint64_t>{6000, 7000}));

    // The tick count is 32 bits wide and wraps as Windows' does after 49.7 days.
    machine().setTickCount(0xFFFFFFF0u);
    win::Sleep(0x20);
    EXPECT_EQ(win::GetTickCount(), 0x10u);
}

TEST_F(SimMachineTest, EventWaitsTimeOutOrReturnSignalled) {
    HANDLE autoReset = win::CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = win::CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(autoReset, nullptr);

    EXPECT_EQ(win::WaitForSingleObject(autoReset, 100), WAIT_OBJECT_0);
    EXPECT_EQ(win::WaitForSingleObject(autoReset, 100), WAIT_TIMEOUT); // reset by the first
    EXPECT_EQ(win::GetTickCount(), 100u);
    EXPECT_EQ(win::WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(win::WaitForSingleObject(manual, 0), WAIT_OBJECT_0);

    EXPECT_EQ(win::WaitForSingleObject(reinterpret_cast<HANDLE>(0x4444), 10), WAIT_FAILED);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(win::CloseHandle(autoReset));
    EXPECT_TRUE(win::CloseHandle(manual));
    EXPECT_FALSE(win::CloseHandle(manual));
    EXPECT_EQ(machine().openHandles(), 0u);
}

TEST_F(SimMachineTest, AWaitThatCanNeverEndIsReportedNotHung) {
    HANDLE event = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(win::WaitForSingleObject(event, INFINITE), WAIT_FAILED);
    ASSERT_EQ(machine().violations().size(), 1u);
    win::CloseHandle(event);
    machine().reset(); // the violation was the point of this test
}

TEST_F(SimMachineTest, ExclusiveOpensExcludeEachOther) {
    HANDLE first = open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(open(FILE_FLAG_OVERLAPPED, 3), INVALID_HANDLE_VALUE); // sharing asked, held without
    win::CloseHandle(first);
    HANDLE second = open();
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    win::CloseHandle(second);

    EXPECT_EQ(win::CreateFileA("\\\\.\\COM9", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SimMachineTest, OverlappedReadCompletesWhenTheInputArrives) {
    device->input.push_back({300, std::string("\x05\x03\x00", 3)});
    HANDLE file = open();
    HANDLE event = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    std::uint8_t buffer[3] = {};
    DWORD done = 99;

    EXPECT_FALSE(win::ReadFile(file, buffer, 3, &done, &ov));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(win::GetOverlappedResult(file, &ov, &done, FALSE));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(win::WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    EXPECT_EQ(win::GetTickCount(), 100u);
    EXPECT_EQ(win::WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(win::GetTickCount(), 300u);
    EXPECT_TRUE(win::GetOverlappedResult(file, &ov, &done, FALSE));
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(buffer[0], 5);
    EXPECT_EQ(buffer[1], 3);

    // A write completes at once and reports its byte count.
    const char command[3] = {1, 0, static_cast<char>(255)};
    EXPECT_TRUE(win::WriteFile(file, command, 3, &done, &ov));
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(device->written, std::string(command, 3));
    win::CloseHandle(event);
    win::CloseHandle(file);
}

TEST_F(SimMachineTest, CancelledTransferMustBeAwaitedBeforeItsRecordGoes) {
    HANDLE file = open();
    HANDLE event = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    std::uint8_t buffer[3];
    DWORD done = 0;
    ASSERT_FALSE(win::ReadFile(file, buffer, 3, &done, &ov));
    EXPECT_EQ(win::WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    EXPECT_TRUE(win::CancelIo(file));
    EXPECT_EQ(machine().pendingTransfers(), 1u); // cancelling only asks

    EXPECT_FALSE(win::GetOverlappedResult(file, &ov, &done, TRUE));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(machine().pendingTransfers(), 0u);
    win::CloseHandle(event);
    EXPECT_TRUE(machine().violations().empty());

    // The same mistake without the wait: the event goes while the transfer runs on.
    event = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ov = {};
    ov.hEvent = event;
    ASSERT_FALSE(win::ReadFile(file, buffer, 3, &done, &ov));
    win::CancelIo(file);
    win::CloseHandle(event);
    EXPECT_EQ(machine().violations().size(), 1u);
    win::CloseHandle(file);
    machine().reset();
}

TEST_F(SimMachineTest, UnpluggingEndsTransfersAndFurtherOpens) {
    HANDLE file = open();
    HANDLE event = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    std::uint8_t buffer[3];
    DWORD done = 0;
    machine().schedule(200, [] { machine().removeDevice(kPath); });
    ASSERT_FALSE(win::ReadFile(file, buffer, 3, &done, &ov));
    EXPECT_EQ(win::WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(win::GetTickCount(), 200u);
    EXPECT_FALSE(win::GetOverlappedResult(file, &ov, &done, FALSE));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(win::WriteFile(file, buffer, 3, &done, &ov));
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
    win::CloseHandle(event);
    win::CloseHandle(file);
}

TEST_F(SimMachineTest, PlainReadBlocksOnTheVirtualClock) {
    device->input.push_back({1234, "ok"});
    HANDLE file = open(0);
    char buffer[8] = {};
    DWORD done = 0;
    EXPECT_TRUE(win::ReadFile(file, buffer, 8, &done, nullptr));
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(win::GetTickCount(), 1234u);
    // With nothing left to arrive, a plain read could never return.
    EXPECT_FALSE(win::ReadFile(file, buffer, 8, &done, nullptr));
    EXPECT_EQ(machine().violations().size(), 1u);
    win::CloseHandle(file);
    machine().reset();
}

TEST_F(SimMachineTest, LibrariesLoadByTheWindowsSearchOrder) {
    std::string system = machine().systemDirectory();
    HMODULE byPath = win::LoadLibraryA((system + "\\HID.DLL").c_str());
    ASSERT_NE(byPath, nullptr);
    EXPECT_EQ(machine().loadCount(system + "\\hid.dll"), 1);
    EXPECT_NE(win::GetProcAddress(byPath, "HidD_GetHidGuid"), nullptr);
    EXPECT_EQ(win::GetProcAddress(byPath, "hidd_gethidguid"), nullptr); // names are exact
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

    // A library planted beside the program wins a search by bare name.
    machine().setModuleFileName("C:\\Station\\evaluator-station.exe");
    machine().placeModule({"C:\\Station\\hid.dll", {}});
    HMODULE byName = win::LoadLibraryA("hid.dll");
    EXPECT_EQ(machine().loadedPath(byName), "C:\\Station\\hid.dll");
    EXPECT_TRUE(win::FreeLibrary(byName));
    EXPECT_TRUE(win::FreeLibrary(byPath));
    EXPECT_EQ(machine().loadCount(system + "\\hid.dll"), 0);
    EXPECT_FALSE(win::FreeLibrary(byPath));

    machine().removeExport("SetupApi.dll", "SetupDiEnumDeviceInfo");
    HMODULE setup = win::LoadLibraryA((system + "\\setupapi.dll").c_str());
    EXPECT_EQ(win::GetProcAddress(setup, "SetupDiEnumDeviceInfo"), nullptr);
    EXPECT_NE(win::GetProcAddress(setup, "SetupDiGetClassDevsA"), nullptr);
    win::FreeLibrary(setup);
    machine().removeModule("SetupApi.dll");
    EXPECT_EQ(win::LoadLibraryA((system + "\\setupapi.dll").c_str()), nullptr);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(SimMachineTest, VersionErrorModeAndPaths) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(win::GetVersionExA(&info));
    info.dwOSVersionInfoSize = 148;
    machine().setVersion(VER_PLATFORM_WIN32_NT, 5, 0);
    ASSERT_TRUE(win::GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 0u);

    EXPECT_EQ(win::SetErrorMode(SEM_NOOPENFILEERRORBOX), 0u);
    EXPECT_EQ(win::SetErrorMode(0), static_cast<UINT>(SEM_NOOPENFILEERRORBOX));

    char small[8];
    EXPECT_EQ(win::GetSystemDirectoryA(small, sizeof small), 20u); // size needed, with the zero
    char path[MAX_PATH];
    EXPECT_EQ(win::GetSystemDirectoryA(path, MAX_PATH), 19u);
    EXPECT_STREQ(path, "C:\\Windows\\system32");

    machine().setModuleFileName("C:\\Station\\evaluator-station.exe");
    EXPECT_EQ(win::GetModuleFileNameA(nullptr, path, MAX_PATH), 32u);
    EXPECT_EQ(win::GetModuleFileNameA(nullptr, small, sizeof small), 8u); // cut to fit
    EXPECT_STREQ(small, "C:\\Stat");
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(SimMachineTest, InjectedFaultsHitTheNthCallOnly) {
    machine().failCall("CreateEventA", 2, ERROR_NOT_ENOUGH_MEMORY);
    HANDLE first = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(win::CreateEventA(nullptr, FALSE, FALSE, nullptr), nullptr);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HANDLE third = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(machine().calls("CreateEventA"), 3u);
    win::CloseHandle(first);
    win::CloseHandle(third);

    machine().failAlways("CreateFileA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    machine().failAlways("CreateFileA", 0);
    HANDLE file = open();
    EXPECT_NE(file, INVALID_HANDLE_VALUE);

    // Each failing call gives the failure value its callers test for.
    machine().failAlways("ReadFile", ERROR_GEN_FAILURE);
    machine().failAlways("WaitForSingleObject", ERROR_INVALID_HANDLE);
    machine().failAlways("GetOverlappedResult", ERROR_GEN_FAILURE);
    machine().failAlways("CancelIo", ERROR_GEN_FAILURE);
    machine().failAlways("CloseHandle", ERROR_INVALID_HANDLE);
    machine().failAlways("LoadLibraryA", ERROR_MOD_NOT_FOUND);
    machine().failAlways("GetSystemDirectoryA", ERROR_GEN_FAILURE);
    machine().failAlways("GetVersionExA", ERROR_GEN_FAILURE);
    machine().failAlways("RegQueryValueExA", ERROR_GEN_FAILURE);
    machine().failAlways("WritePrivateProfileStringA", ERROR_ACCESS_DENIED);
    std::uint8_t buffer[3];
    DWORD done = 0;
    OVERLAPPED ov{};
    EXPECT_FALSE(win::ReadFile(file, buffer, 3, &done, &ov));
    EXPECT_EQ(machine().pendingTransfers(), 0u);
    EXPECT_EQ(win::WaitForSingleObject(file, 10), WAIT_FAILED);
    EXPECT_FALSE(win::GetOverlappedResult(file, &ov, &done, TRUE));
    EXPECT_FALSE(win::CancelIo(file));
    EXPECT_FALSE(win::CloseHandle(file));
    EXPECT_EQ(win::LoadLibraryA("hid.dll"), nullptr);
    char path[MAX_PATH];
    EXPECT_EQ(win::GetSystemDirectoryA(path, MAX_PATH), 0u);
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    EXPECT_FALSE(win::GetVersionExA(&info));
    EXPECT_EQ(win::RegQueryValueExA(nullptr, "PortName", nullptr, nullptr, nullptr, nullptr),
              static_cast<LONG>(ERROR_GEN_FAILURE));
    EXPECT_FALSE(win::WritePrivateProfileStringA("COUNT", "Total", "1", "/nonexistent/test.ini"));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    machine().failAlways("CloseHandle", 0);
    EXPECT_TRUE(win::CloseHandle(file));
}

// SetupAPI as the station reaches it: through GetProcAddress on the loaded library.
class SimSetupApiTest : public SimMachineTest {
protected:
    void SetUp() override {
        SimMachineTest::SetUp();
        module = win::LoadLibraryA((machine().systemDirectory() + "\\setupapi.dll").c_str());
        getClassDevs = reinterpret_cast<decltype(getClassDevs)>(
            reinterpret_cast<void (*)()>(win::GetProcAddress(module, "SetupDiGetClassDevsA")));
        enumInterfaces = reinterpret_cast<decltype(enumInterfaces)>(reinterpret_cast<void (*)()>(
            win::GetProcAddress(module, "SetupDiEnumDeviceInterfaces")));
        detail = reinterpret_cast<decltype(detail)>(reinterpret_cast<void (*)()>(
            win::GetProcAddress(module, "SetupDiGetDeviceInterfaceDetailA")));
        destroy = reinterpret_cast<decltype(destroy)>(reinterpret_cast<void (*)()>(
            win::GetProcAddress(module, "SetupDiDestroyDeviceInfoList")));
    }
    void TearDown() override {
        win::FreeLibrary(module);
        SimMachineTest::TearDown();
    }
    HMODULE module = nullptr;
    HDEVINFO(WINAPI* getClassDevs)(const GUID*, PCSTR, HWND, DWORD) = nullptr;
    BOOL(WINAPI* enumInterfaces)
    (HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA) = nullptr;
    BOOL(WINAPI* detail)
    (HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
     PSP_DEVINFO_DATA) = nullptr;
    BOOL(WINAPI* destroy)(HDEVINFO) = nullptr;
};

TEST_F(SimSetupApiTest, InterfaceDetailChecksTheRealRecordSizes) {
    GUID hid{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    machine().interfaces.push_back({hid, "\\\\?\\hid#a", false, false});
    HDEVINFO set = getClassDevs(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);

    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = 28; // the 32-bit size: refused on a 64-bit machine
    EXPECT_EQ(enumInterfaces(set, nullptr, &hid, 0, &data), sizeof(void*) == 4 ? TRUE : FALSE);
    data.cbSize = sizeof data;
    ASSERT_TRUE(enumInterfaces(set, nullptr, &hid, 0, &data));
    EXPECT_FALSE(enumInterfaces(set, nullptr, &hid, 1, &data));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    DWORD needed = 0;
    EXPECT_FALSE(detail(set, &data, nullptr, 0, &needed, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, 4u + 9u + 1u); // size member, path, zero
    std::vector<char> buffer(needed);
    auto* record = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    record->cbSize = 5; // the 32-bit size
    EXPECT_EQ(detail(set, &data, record, needed, nullptr, nullptr),
              sizeof(void*) == 4 ? TRUE : FALSE);
    record->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ASSERT_TRUE(detail(set, &data, record, needed, nullptr, nullptr));
    EXPECT_STREQ(record->DevicePath, "\\\\?\\hid#a");
    EXPECT_EQ(machine().openHandles("devinfo"), 1u);
    EXPECT_TRUE(destroy(set));
    EXPECT_EQ(machine().openHandles("devinfo"), 0u);
}

} // namespace
