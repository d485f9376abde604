// The run-time binding of the device-setup and HID libraries, on the simulated
// machine: what the bindings leave behind after every way a start-up can go.
#include "Binding.h"
#include "Hid.h"
#include "ModuleLoader.h"
#include "SetupApi.h"
#include "Win.h"
#include "sim/SimMachine.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace {

sim::Machine& m() {
    return sim::machine();
}

const std::string kStation = "C:\\Station\\evaluator-station.exe";
const std::string kPlantedHid = "C:\\Station\\HID.dll";

std::string systemHid() {
    return m().systemDirectory() + "\\hid.dll";
}
std::string systemSetupApi() {
    return m().systemDirectory() + "\\setupapi.dll";
}

// The symbols of the slots that hold an address (bound) or none (unbound).
template <class Count, class Symbol, class Address>
std::vector<std::string> slots(Count count, Symbol symbol, Address address, bool bound) {
    std::vector<std::string> found;
    for (std::size_t i = 0; i < count(); ++i) {
        if ((address(i) != nullptr) == bound) {
            found.emplace_back(symbol(i));
        }
    }
    return found;
}
std::vector<std::string> boundSetupApiSlots() {
    return slots(SetupApi::SlotCount, SetupApi::SlotSymbol, SetupApi::SlotAddress, true);
}
std::vector<std::string> unboundSetupApiSlots() {
    return slots(SetupApi::SlotCount, SetupApi::SlotSymbol, SetupApi::SlotAddress, false);
}
std::vector<std::string> boundHidSlots() {
    return slots(Hid::SlotCount, Hid::SlotSymbol, Hid::SlotAddress, true);
}
std::vector<std::string> unboundHidSlots() {
    return slots(Hid::SlotCount, Hid::SlotSymbol, Hid::SlotAddress, false);
}

using Strings = std::vector<std::string>;

class Binding : public ::testing::Test {
protected:
    void SetUp() override {
        win::useBackend(sim::backend());
        m().reset();
        m().setModuleFileName(kStation);
    }
    void TearDown() override {
        // Leave no library bound for the next test, whatever this one did.
        while (SetupApi::LoadCount() > 0) {
            UnbindSetupApi();
        }
        UnbindHid();
        EXPECT_EQ(SetupApi::LoadCount(), 0);
        EXPECT_EQ(m().loadCount(systemHid()), 0);
        EXPECT_EQ(m().loadCount(systemSetupApi()), 0);
    }
};

// --- loading a library ---

TEST_F(Binding, OpenLibraryLoadsFromTheSystemDirectoryAndRestoresTheErrorMode) {
    win::SetErrorMode(SEM_FAILCRITICALERRORS);
    HMODULE handle = nullptr;
    ASSERT_TRUE(OpenLibrary(handle, "HID.dll"));
    EXPECT_EQ(m().loadedPath(handle), systemHid());
    EXPECT_EQ(m().errorMode(), static_cast<UINT>(SEM_FAILCRITICALERRORS));

    // A handle already set is kept as it is, without a second load.
    const HMODULE first = handle;
    const auto loads = m().calls("LoadLibraryA");
    EXPECT_TRUE(OpenLibrary(handle, "HID.dll"));
    EXPECT_EQ(handle, first);
    EXPECT_EQ(m().calls("LoadLibraryA"), loads);
    EXPECT_EQ(m().loadCount(systemHid()), 1);

    CloseLibrary(handle);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(m().loadCount(systemHid()), 0);
}

TEST_F(Binding, ALibraryBesideTheProgramIsNeverLoaded) {
    m().placeModule({kPlantedHid, sim::hidExports()});
    HMODULE handle = nullptr;
    ASSERT_TRUE(OpenLibrary(handle, "HID.dll"));
    EXPECT_EQ(m().loadedPath(handle), systemHid());
    EXPECT_EQ(m().loadCount(kPlantedHid), 0);
    CloseLibrary(handle);

    // Not even when the system directory lacks the library.
    m().removeModule("hid.dll");
    EXPECT_FALSE(OpenLibrary(handle, "HID.dll"));
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(m().loadCount(kPlantedHid), 0);
    EXPECT_FALSE(BindHid());
    EXPECT_EQ(m().loadCount(kPlantedHid), 0);
    EXPECT_EQ(boundHidSlots(), Strings{});
}

TEST_F(Binding, OpenLibraryRefusesNamesThatCouldLeaveTheSystemDirectory) {
    m().placeModule({kPlantedHid, sim::hidExports()});
    for (const char* name : {"C:\\Station\\HID.dll", "..\\..\\Station\\HID.dll", "C:HID.dll",
                             "/Station/HID.dll", "", ".."}) {
        SCOPED_TRACE(name);
        HMODULE handle = nullptr;
        EXPECT_FALSE(OpenLibrary(handle, name));
        EXPECT_EQ(handle, nullptr);
    }
    HMODULE handle = nullptr;
    EXPECT_FALSE(OpenLibrary(handle, nullptr));
    EXPECT_EQ(m().calls("LoadLibraryA"), 0u);
}

TEST_F(Binding, OpenLibraryFailsCleanlyWhenTheSystemDirectoryOrTheLoadFails) {
    win::SetErrorMode(SEM_FAILCRITICALERRORS);
    HMODULE handle = nullptr;

    m().failCall("GetSystemDirectoryA", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(OpenLibrary(handle, "HID.dll"));
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(m().calls("LoadLibraryA"), 0u);

    m().failCall("LoadLibraryA", 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(OpenLibrary(handle, "HID.dll"));
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(m().errorMode(), static_cast<UINT>(SEM_FAILCRITICALERRORS));

    m().removeModule("hid.dll");
    EXPECT_FALSE(OpenLibrary(handle, "HID.dll"));
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(m().errorMode(), static_cast<UINT>(SEM_FAILCRITICALERRORS));
}

TEST_F(Binding, CloseLibraryOnAnEmptyHandleDoesNothing) {
    HMODULE handle = nullptr;
    CloseLibrary(handle);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(m().calls("FreeLibrary"), 0u);
}

TEST_F(Binding, ResolveSymbolClearsTheFlagAndNeverSetsItBack) {
    bool allResolved = true;
    EXPECT_EQ(ResolveSymbol(nullptr, "HidD_GetHidGuid", allResolved), nullptr);
    EXPECT_FALSE(allResolved);
    EXPECT_EQ(m().calls("GetProcAddress"), 0u); // no look-up on an empty handle

    HMODULE handle = nullptr;
    ASSERT_TRUE(OpenLibrary(handle, "HID.dll"));
    EXPECT_NE(ResolveSymbol(handle, "HidD_GetHidGuid", allResolved), nullptr);
    EXPECT_FALSE(allResolved);

    allResolved = true;
    EXPECT_NE(ResolveSymbol(handle, "HidD_GetHidGuid", allResolved), nullptr);
    EXPECT_TRUE(allResolved);
    EXPECT_EQ(ResolveSymbol(handle, "HidD_NoSuchFunction", allResolved), nullptr);
    EXPECT_FALSE(allResolved);
    allResolved = true;
    EXPECT_EQ(ResolveSymbol(handle, nullptr, allResolved), nullptr);
    EXPECT_FALSE(allResolved);
    CloseLibrary(handle);
}

// --- the device-setup binding ---

TEST_F(Binding, SetupApiBindsEverySlotAndUnbindEmptiesThem) {
    ASSERT_TRUE(BindSetupApi());
    EXPECT_EQ(unboundSetupApiSlots(), Strings{});
    EXPECT_EQ(m().loadCount(systemSetupApi()), 1);
    EXPECT_EQ(SetupApi::LoadCount(), 1);
    EXPECT_NE(SetupApi::SetupDiGetClassDevsA, nullptr);
    EXPECT_NE(SetupApi::SetupDiDestroyDeviceInfoList, nullptr);

    UnbindSetupApi();
    EXPECT_EQ(boundSetupApiSlots(), Strings{});
    EXPECT_EQ(SetupApi::SetupDiGetClassDevsA, nullptr);
    EXPECT_EQ(m().loadCount(systemSetupApi()), 0);
    EXPECT_EQ(SetupApi::LoadCount(), 0);
}

// One export missing anywhere in the set, first, last, a Unicode form or one the
// station calls, and the binding is all gone.
class SetupApiMissingExport : public Binding, public ::testing::WithParamInterface<const char*> {};

TEST_P(SetupApiMissingExport, LeavesEverySlotNullAndTheLibraryReleased) {
    m().removeExport("setupapi.dll", GetParam());
    EXPECT_FALSE(BindSetupApi());
    EXPECT_EQ(boundSetupApiSlots(), Strings{});
    EXPECT_EQ(m().loadCount(systemSetupApi()), 0);
    EXPECT_EQ(SetupApi::LoadCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Binding, SetupApiMissingExport,
                         ::testing::Values("SetupGetInfInformationA",
                                           "SetupDiGetActualSectionToInstallW", "SetupQueueCopyW",
                                           "SetupDiEnumDeviceInfo",
                                           "SetupDiGetDeviceInterfaceDetailA"),
                         [](const auto& info) { return std::string(info.param); });

TEST_F(Binding, NestedSetupApiBindsOnlyCountAndTheLastUnbindReleases) {
    ASSERT_TRUE(BindSetupApi());
    const auto loads = m().calls("LoadLibraryA");
    EXPECT_TRUE(BindSetupApi());
    EXPECT_EQ(m().calls("LoadLibraryA"), loads);
    EXPECT_EQ(SetupApi::LoadCount(), 2);

    UnbindSetupApi();
    EXPECT_EQ(unboundSetupApiSlots(), Strings{});
    EXPECT_EQ(m().loadCount(systemSetupApi()), 1);

    UnbindSetupApi();
    EXPECT_EQ(boundSetupApiSlots(), Strings{});
    EXPECT_EQ(m().loadCount(systemSetupApi()), 0);
    EXPECT_EQ(m().calls("FreeLibrary"), 1u);
}

TEST_F(Binding, AFailedSetupApiLoadKeepsTheCountForTheMatchingUnbind) {
    m().removeModule("setupapi.dll");
    EXPECT_FALSE(BindSetupApi());
    EXPECT_EQ(SetupApi::LoadCount(), 1);
    EXPECT_EQ(boundSetupApiSlots(), Strings{});

    // A nested bind does not pretend that the failed one holds the library.
    EXPECT_FALSE(BindSetupApi());
    UnbindSetupApi();
    UnbindSetupApi();
    EXPECT_EQ(SetupApi::LoadCount(), 0);
    EXPECT_EQ(m().calls("FreeLibrary"), 0u);
}

TEST_F(Binding, SetupApiFaultsGiveFalseAndAnEmptyBindingThenABindSucceeds) {
    struct Fault {
        const char* function;
        std::uint64_t nth;
    };
    // Library not loaded: the count stays raised until the caller's unbind.
    for (Fault fault : {Fault{"GetSystemDirectoryA", 1}, Fault{"LoadLibraryA", 1}}) {
        SCOPED_TRACE(fault.function);
        m().reset();
        m().failCall(fault.function, fault.nth, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_FALSE(BindSetupApi());
        EXPECT_EQ(boundSetupApiSlots(), Strings{});
        UnbindSetupApi();
        EXPECT_EQ(SetupApi::LoadCount(), 0);
        EXPECT_TRUE(BindSetupApi());
        UnbindSetupApi();
    }
    // A look-up failing half-way unloads at once.
    for (std::uint64_t nth : {std::uint64_t{1}, std::uint64_t{200}, std::uint64_t{377}}) {
        SCOPED_TRACE(nth);
        m().reset();
        m().failCall("GetProcAddress", nth, ERROR_PROC_NOT_FOUND);
        EXPECT_FALSE(BindSetupApi());
        EXPECT_EQ(boundSetupApiSlots(), Strings{});
        EXPECT_EQ(m().loadCount(systemSetupApi()), 0);
        EXPECT_EQ(SetupApi::LoadCount(), 0);
        EXPECT_TRUE(BindSetupApi());
        UnbindSetupApi();
    }
}

// --- the HID binding ---

struct VersionCase {
    const char* name;
    DWORD platform, major, minor;
    bool reportSlots;   // HidD_GetInputReport, HidD_SetOutputReport
    bool extendedSlots; // HidP_GetExtendedAttributes, HidP_InitializeReportForID
};

class HidVersion : public Binding, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(HidVersion, AttemptsTheConditionalSlotsOnlyWhereTheVersionHasThem) {
    const VersionCase& c = GetParam();
    m().setVersion(c.platform, c.major, c.minor);
    // Where a slot is not attempted, a library without the function still binds.
    if (!c.reportSlots) {
        m().removeExport("hid.dll", "HidD_GetInputReport");
    }
    if (!c.extendedSlots) {
        m().removeExport("hid.dll", "HidP_InitializeReportForID");
    }
    ASSERT_TRUE(BindHid());
    Strings expectedNull;
    if (!c.reportSlots) {
        expectedNull.insert(expectedNull.end(), {"HidD_GetInputReport", "HidD_SetOutputReport"});
    }
    if (!c.extendedSlots) {
        expectedNull.insert(expectedNull.end(),
                            {"HidP_GetExtendedAttributes", "HidP_InitializeReportForID"});
    }
    EXPECT_EQ(unboundHidSlots(), expectedNull);
    EXPECT_NE(Hid::HidP_GetCaps, nullptr);

    UnbindHid();
    EXPECT_EQ(boundHidSlots(), Strings{});
}

// The minor-version test ignores the major version: NT 6.0 and 10.0 leave the two
// report slots out, as NT 5.0 does.
INSTANTIATE_TEST_SUITE_P(
    Binding, HidVersion,
    ::testing::Values(VersionCase{"Nt61", VER_PLATFORM_WIN32_NT, 6, 1, true, true},
                      VersionCase{"Nt51", VER_PLATFORM_WIN32_NT, 5, 1, true, true},
                      VersionCase{"Nt60", VER_PLATFORM_WIN32_NT, 6, 0, false, true},
                      VersionCase{"Nt100", VER_PLATFORM_WIN32_NT, 10, 0, false, true},
                      VersionCase{"Nt50", VER_PLATFORM_WIN32_NT, 5, 0, false, true},
                      VersionCase{"Nt40", VER_PLATFORM_WIN32_NT, 4, 1, false, false},
                      VersionCase{"Windows98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Binding, AnAttemptedConditionalSlotThatIsMissingFailsTheHidBinding) {
    m().removeExport("hid.dll", "HidD_SetOutputReport");
    EXPECT_FALSE(BindHid());
    EXPECT_EQ(boundHidSlots(), Strings{});
    EXPECT_EQ(m().loadCount(systemHid()), 0);
}

TEST_F(Binding, HidMissingExportLeavesEverySlotNullAndTheLibraryReleased) {
    for (const char* name : {"HidD_Hello", "HidP_GetCaps", "HidP_GetUsagesEx",
                             "HidP_TranslateUsagesToI8042ScanCodes"}) {
        SCOPED_TRACE(name);
        m().reset();
        m().removeExport("hid.dll", name);
        EXPECT_FALSE(BindHid());
        EXPECT_EQ(boundHidSlots(), Strings{});
        EXPECT_EQ(m().loadCount(systemHid()), 0);
    }
}

TEST_F(Binding, HidFaultsGiveFalseAndAnEmptyBinding) {
    for (const char* function : {"GetSystemDirectoryA", "LoadLibraryA", "GetProcAddress"}) {
        SCOPED_TRACE(function);
        m().reset();
        m().failCall(function, 1, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_FALSE(BindHid());
        EXPECT_EQ(boundHidSlots(), Strings{});
        EXPECT_EQ(m().loadCount(systemHid()), 0);
        EXPECT_TRUE(BindHid()); // the fault was a one-off: the next start binds
        UnbindHid();
    }
}

TEST_F(Binding, AnUnreadableVersionBindsHidWithoutTheConditionalSlots) {
    m().failAlways("GetVersionExA", ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(BindHid());
    EXPECT_EQ(unboundHidSlots(),
              (Strings{"HidD_GetInputReport", "HidD_SetOutputReport", "HidP_GetExtendedAttributes",
                       "HidP_InitializeReportForID"}));
}

TEST_F(Binding, AFailedReleaseStillEmptiesEveryBinding) {
    ASSERT_TRUE(BindHid());
    ASSERT_TRUE(BindSetupApi());
    m().failAlways("FreeLibrary", ERROR_INVALID_HANDLE);
    UnbindSetupApi();
    UnbindHid();
    EXPECT_EQ(boundSetupApiSlots(), Strings{});
    EXPECT_EQ(boundHidSlots(), Strings{});
    EXPECT_EQ(SetupApi::LoadCount(), 0);

    // The handles are gone with the slots, so the next bind loads afresh.
    m().reset();
    EXPECT_TRUE(BindHid());
    EXPECT_TRUE(BindSetupApi());
    EXPECT_EQ(m().calls("LoadLibraryA"), 2u);
    UnbindSetupApi();
    UnbindHid();
}

// --- start-up and shutdown ---

TEST_F(Binding, TheProgramBindsHidFirstAndReleasesBothAtTheEnd) {
    {
        // The first load of the process fails: it is the HID library's, and the
        // device-setup binding does not depend on it.
        m().failCall("LoadLibraryA", 1, ERROR_NOT_ENOUGH_MEMORY);
        LibraryBinding binding;
        EXPECT_EQ(boundHidSlots(), Strings{});
        EXPECT_EQ(unboundSetupApiSlots(), Strings{});
        EXPECT_EQ(m().loadCount(systemSetupApi()), 1);
    }
    EXPECT_EQ(boundSetupApiSlots(), Strings{});
    EXPECT_EQ(m().loadCount(systemSetupApi()), 0);
    EXPECT_EQ(SetupApi::LoadCount(), 0);

    {
        LibraryBinding binding;
        EXPECT_EQ(unboundHidSlots(), Strings{});
        EXPECT_EQ(unboundSetupApiSlots(), Strings{});
    }
    EXPECT_EQ(boundHidSlots(), Strings{});
    EXPECT_EQ(boundSetupApiSlots(), Strings{});
    EXPECT_EQ(m().loadCount(systemHid()), 0);
    EXPECT_EQ(m().loadCount(systemSetupApi()), 0);
}

} // namespace
