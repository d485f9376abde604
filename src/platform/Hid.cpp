// The HID library, bound at run time.
//
// All or nothing, like the device-setup binding, except for four functions that
// older Windows versions lack: they are attempted only where the version says the
// library has them, and a slot not attempted stays null without failing the bind.
#include "Hid.h"

#include "ModuleLoader.h"
#include "SlotTable.h"
#include "Win.h"

#include <iterator>

namespace Hid {

THidD_GetHidGuid HidD_GetHidGuid = nullptr;
THidD_GetAttributes HidD_GetAttributes = nullptr;
THidD_GetPreparsedData HidD_GetPreparsedData = nullptr;
THidD_FreePreparsedData HidD_FreePreparsedData = nullptr;
THidP_GetCaps HidP_GetCaps = nullptr;
THidD_GetNumInputBuffers HidD_GetNumInputBuffers = nullptr;
THidD_SetNumInputBuffers HidD_SetNumInputBuffers = nullptr;

namespace {

// When a slot is attempted.
enum class Needs {
    nothing,
    nt5,          // the NT family, major version 5 or later
    nt5AndMinor1, // the NT family, major version 5 or later, minor version 1 or later
};

struct Slot {
    const char* symbol;
    void* storage; // a function-pointer variable of any of the slot types
    Needs needs;
};

// Storage of the slots the station does not call. Five functions have a second
// slot; the HID headers give each of them a second name for buttons
// (HidP_GetButtons for HidP_GetUsages, ...), which the second slot stands for.
FARPROC hello, getConfiguration, setConfiguration, flushQueue, getFeature, setFeature,
    getManufacturerString, getProductString, getSerialNumberString, getPhysicalDescriptor,
    getIndexedString, getInputReport, setOutputReport, getLinkCollectionNodes,
    getSpecificButtonCaps, getSpecificValueCaps, getData, setData, maxDataListLength, getUsages,
    getButtons, getUsagesEx, getButtonsEx, setUsages, setButtons, unsetUsages, unsetButtons,
    maxUsageListLength, maxButtonListLength, getUsageValue, getScaledUsageValue, getUsageValueArray,
    setUsageValue, setScaledUsageValue, setUsageValueArray, usageListDifference,
    translateUsagesToI8042ScanCodes, getExtendedAttributes, initializeReportForId;

const Slot kSlots[] = {
    {"HidD_Hello", &hello, Needs::nothing},
    {"HidD_GetHidGuid", &HidD_GetHidGuid, Needs::nothing},
    {"HidD_GetPreparsedData", &HidD_GetPreparsedData, Needs::nothing},
    {"HidD_FreePreparsedData", &HidD_FreePreparsedData, Needs::nothing},
    {"HidD_GetConfiguration", &getConfiguration, Needs::nothing},
    {"HidD_SetConfiguration", &setConfiguration, Needs::nothing},
    {"HidD_FlushQueue", &flushQueue, Needs::nothing},
    {"HidD_GetFeature", &getFeature, Needs::nothing},
    {"HidD_SetFeature", &setFeature, Needs::nothing},
    {"HidD_GetNumInputBuffers", &HidD_GetNumInputBuffers, Needs::nothing},
    {"HidD_SetNumInputBuffers", &HidD_SetNumInputBuffers, Needs::nothing},
    {"HidD_GetAttributes", &HidD_GetAttributes, Needs::nothing},
    {"HidD_GetManufacturerString", &getManufacturerString, Needs::nothing},
    {"HidD_GetProductString", &getProductString, Needs::nothing},
    {"HidD_GetSerialNumberString", &getSerialNumberString, Needs::nothing},
    {"HidD_GetPhysicalDescriptor", &getPhysicalDescriptor, Needs::nothing},
    {"HidD_GetIndexedString", &getIndexedString, Needs::nothing},
    {"HidD_GetInputReport", &getInputReport, Needs::nt5AndMinor1},
    {"HidD_SetOutputReport", &setOutputReport, Needs::nt5AndMinor1},
    {"HidP_GetCaps", &HidP_GetCaps, Needs::nothing},
    {"HidP_GetLinkCollectionNodes", &getLinkCollectionNodes, Needs::nothing},
    {"HidP_GetSpecificButtonCaps", &getSpecificButtonCaps, Needs::nothing},
    {"HidP_GetSpecificValueCaps", &getSpecificValueCaps, Needs::nothing},
    {"HidP_GetData", &getData, Needs::nothing},
    {"HidP_SetData", &setData, Needs::nothing},
    {"HidP_MaxDataListLength", &maxDataListLength, Needs::nothing},
    {"HidP_GetUsages", &getUsages, Needs::nothing},
    {"HidP_GetUsages", &getButtons, Needs::nothing},
    {"HidP_GetUsagesEx", &getUsagesEx, Needs::nothing},
    {"HidP_GetUsagesEx", &getButtonsEx, Needs::nothing},
    {"HidP_SetUsages", &setUsages, Needs::nothing},
    {"HidP_SetUsages", &setButtons, Needs::nothing},
    {"HidP_UnsetUsages", &unsetUsages, Needs::nothing},
    {"HidP_UnsetUsages", &unsetButtons, Needs::nothing},
    {"HidP_MaxUsageListLength", &maxUsageListLength, Needs::nothing},
    {"HidP_MaxUsageListLength", &maxButtonListLength, Needs::nothing},
    {"HidP_GetUsageValue", &getUsageValue, Needs::nothing},
    {"HidP_GetScaledUsageValue", &getScaledUsageValue, Needs::nothing},
    {"HidP_GetUsageValueArray", &getUsageValueArray, Needs::nothing},
    {"HidP_SetUsageValue", &setUsageValue, Needs::nothing},
    {"HidP_SetScaledUsageValue", &setScaledUsageValue, Needs::nothing},
    {"HidP_SetUsageValueArray", &setUsageValueArray, Needs::nothing},
    {"HidP_UsageListDifference", &usageListDifference, Needs::nothing},
    {"HidP_TranslateUsagesToI8042ScanCodes", &translateUsagesToI8042ScanCodes, Needs::nothing},
    {"HidP_GetExtendedAttributes", &getExtendedAttributes, Needs::nt5},
    {"HidP_InitializeReportForID", &initializeReportForId, Needs::nt5},
};

static_assert(sizeof(THidP_GetCaps) == sizeof(FARPROC));

// The minor-version test does not look at the major version: on NT 6.0 the two
// report functions are not attempted although that library has them. Nothing in
// the station calls them, so the slots stay null there, which is harmless.
bool attempted(Needs needs, const OSVERSIONINFOA& version) {
    const bool nt5 = version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 5;
    switch (needs) {
    case Needs::nothing:
        return true;
    case Needs::nt5:
        return nt5;
    case Needs::nt5AndMinor1:
        return nt5 && version.dwMinorVersion >= 1;
    }
    return false;
}

HMODULE library = nullptr;

} // namespace

std::size_t SlotCount() {
    return std::size(kSlots);
}

const char* SlotSymbol(std::size_t index) {
    return binding::symbolAt(kSlots, index);
}

FARPROC SlotAddress(std::size_t index) {
    return binding::addressAt(kSlots, index);
}

} // namespace Hid

bool BindHid() {
    using namespace Hid;
    bool allResolved = OpenLibrary(library, "HID.dll");
    if (!allResolved) {
        return false;
    }
    // A version that cannot be read counts as a platform that is not NT: the
    // conditional slots are then left out, and the rest binds as usual.
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!win::GetVersionExA(&version)) {
        version = OSVERSIONINFOA{};
    }
    for (const Slot& slot : kSlots) {
        if (attempted(slot.needs, version)) {
            binding::storeSlot(slot.storage, ResolveSymbol(library, slot.symbol, allResolved));
        } else {
            binding::storeSlot(slot.storage, nullptr);
        }
    }
    if (!allResolved) {
        UnbindHid();
    }
    return allResolved;
}

void UnbindHid() {
    using namespace Hid;
    CloseLibrary(library);
    for (const Slot& slot : kSlots) {
        binding::storeSlot(slot.storage, nullptr);
    }
}
