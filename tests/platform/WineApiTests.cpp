// The binding against the real device-setup and HID libraries of the system the
// tests run on (Wine in our builds). The simulated libraries export exactly the
// names the binding lists; these tests show that the real ones do too.
#include "Hid.h"
#include "ModuleLoader.h"
#include "SetupApi.h"
#include "Win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string systemDirectory() {
    char buffer[MAX_PATH];
    const UINT length = win::GetSystemDirectoryA(buffer, sizeof buffer);
    return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string();
}

std::string modulePath(HMODULE module) {
    char buffer[MAX_PATH];
    const DWORD length = win::GetModuleFileNameA(module, buffer, sizeof buffer);
    return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string();
}

template <class Count, class Symbol, class Address>
Strings unbound(Count count, Symbol symbol, Address address) {
    Strings names;
    for (std::size_t i = 0; i < count(); ++i) {
        if (address(i) == nullptr) {
            names.emplace_back(symbol(i));
        }
    }
    return names;
}

// Slots resolved from one name must hold one address (the unsuffixed device-setup
// slots and the A forms, the HID slots that share a name).
template <class Count, class Symbol, class Address>
Strings disagreeing(Count count, Symbol symbol, Address address) {
    std::map<std::string, FARPROC> first;
    Strings names;
    for (std::size_t i = 0; i < count(); ++i) {
        auto [it, added] = first.emplace(symbol(i), address(i));
        if (!added && it->second != address(i)) {
            names.emplace_back(symbol(i));
        }
    }
    return names;
}

TEST(RealLibraries, LoadFromTheSystemDirectory) {
    const std::string system = systemDirectory();
    ASSERT_FALSE(system.empty());
    for (const char* name : {"SetupApi.dll", "HID.dll"}) {
        SCOPED_TRACE(name);
        HMODULE handle = nullptr;
        ASSERT_TRUE(OpenLibrary(handle, name));
        EXPECT_EQ(lower(modulePath(handle)), lower(system + "\\" + name));
        CloseLibrary(handle);
        EXPECT_EQ(handle, nullptr);
    }
}

// This program's directory holds a planted HID.dll (PlantedHid.cpp). Loaded by a
// bare name it would win over the system's; the binding must get the system's.
TEST(RealLibraries, APlantedLibraryBesideTheProgramIsNotLoaded) {
    char program[MAX_PATH];
    const DWORD length = win::GetModuleFileNameA(nullptr, program, sizeof program);
    ASSERT_TRUE(length > 0 && length < sizeof program);
    std::string planted(program, length);
    planted = planted.substr(0, planted.find_last_of('\\') + 1) + "HID.dll";

    HMODULE bare = win::LoadLibraryA("HID.dll");
    ASSERT_NE(bare, nullptr);
    ASSERT_EQ(lower(modulePath(bare)), lower(planted)) << "the hazard this test guards against";

    ASSERT_TRUE(BindHid());
    EXPECT_NE(Hid::SlotAddress(0), win::GetProcAddress(bare, "HidD_Hello"));
    EXPECT_NE(Hid::HidD_GetHidGuid, nullptr); // the planted library has no such function
    UnbindHid();
    win::FreeLibrary(bare);
}

TEST(RealLibraries, SetupApiBindsEverySlot) {
    ASSERT_TRUE(BindSetupApi());
    EXPECT_EQ(unbound(SetupApi::SlotCount, SetupApi::SlotSymbol, SetupApi::SlotAddress), Strings{});
    EXPECT_EQ(disagreeing(SetupApi::SlotCount, SetupApi::SlotSymbol, SetupApi::SlotAddress),
              Strings{});

    // Nested: the second bind only counts.
    EXPECT_TRUE(BindSetupApi());
    UnbindSetupApi();
    EXPECT_NE(SetupApi::SetupDiGetClassDevsA, nullptr);
    UnbindSetupApi();
    EXPECT_EQ(SetupApi::LoadCount(), 0);
    EXPECT_EQ(SetupApi::SetupDiGetClassDevsA, nullptr);
    EXPECT_EQ(unbound(SetupApi::SlotCount, SetupApi::SlotSymbol, SetupApi::SlotAddress).size(),
              SetupApi::SlotCount());
}

TEST(RealLibraries, HidBindsEverySlotTheVersionAllows) {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(win::GetVersionExA(&version));
    ASSERT_EQ(version.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    ASSERT_GE(version.dwMajorVersion, 5u);
    Strings expectedNull;
    if (version.dwMinorVersion < 1) { // Windows 10 reports 10.0: see Hid.cpp
        expectedNull = {"HidD_GetInputReport", "HidD_SetOutputReport"};
    }

    ASSERT_TRUE(BindHid());
    EXPECT_EQ(unbound(Hid::SlotCount, Hid::SlotSymbol, Hid::SlotAddress), expectedNull);
    EXPECT_EQ(disagreeing(Hid::SlotCount, Hid::SlotSymbol, Hid::SlotAddress), Strings{});

    // A called slot works: the HID interface class is the published one.
    GUID guid{};
    Hid::HidD_GetHidGuid(&guid);
    EXPECT_EQ(guid.Data1, 0x4D1E55B2u);

    UnbindHid();
    EXPECT_EQ(unbound(Hid::SlotCount, Hid::SlotSymbol, Hid::SlotAddress).size(), Hid::SlotCount());
}

} // namespace
