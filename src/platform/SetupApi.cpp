// The device-setup library, bound at run time.
//
// The station needs only seven of these functions, but the binding resolves the
// library's whole published set, so a library that lacks any of them is not
// trusted at all and the serial-adapter and HID enumeration see no devices.
//
// Every function published in an ANSI and a Unicode form has three slots: the A
// form, the W form, and an unsuffixed slot that names the function the way the
// SDK's headers do for an ANSI build, and is therefore resolved from the A name.
// The 106 functions with both forms and the 59 without give 3 * 106 + 59 = 377
// slots over 271 distinct export names.
#include "SetupApi.h"

#include "ModuleLoader.h"
#include "SlotTable.h"

#include <iterator>

namespace SetupApi {

TSetupDiGetClassDevsA SetupDiGetClassDevsA = nullptr;
TSetupDiEnumDeviceInterfaces SetupDiEnumDeviceInterfaces = nullptr;
TSetupDiGetDeviceInterfaceDetailA SetupDiGetDeviceInterfaceDetailA = nullptr;
TSetupDiEnumDeviceInfo SetupDiEnumDeviceInfo = nullptr;
TSetupDiGetDeviceRegistryPropertyA SetupDiGetDeviceRegistryPropertyA = nullptr;
TSetupDiOpenDevRegKey SetupDiOpenDevRegKey = nullptr;
TSetupDiDestroyDeviceInfoList SetupDiDestroyDeviceInfoList = nullptr;

namespace {

// The whole set in the order of resolution. AW: a function with both forms; ONE:
// a function without forms; *_CALLED: one the station calls, whose slot (the A
// form where there are forms) is the typed one declared in the header.
// clang-format off
#define SETUP_API_FUNCTIONS(AW, AW_CALLED, ONE, ONE_CALLED) \
    AW(SetupGetInfInformation) AW(SetupQueryInfFileInformation) \
    AW(SetupQueryInfVersionInformation) AW(SetupGetInfFileList) AW(SetupOpenInfFile) \
    ONE(SetupOpenMasterInf) AW(SetupOpenAppendInfFile) ONE(SetupCloseInfFile) \
    AW(SetupFindFirstLine) ONE(SetupFindNextLine) AW(SetupFindNextMatchLine) \
    AW(SetupGetLineByIndex) AW(SetupGetLineCount) AW(SetupGetLineText) ONE(SetupGetFieldCount) \
    AW(SetupGetStringField) ONE(SetupGetIntField) AW(SetupGetMultiSzField) \
    ONE(SetupGetBinaryField) AW(SetupGetFileCompressionInfo) AW(SetupDecompressOrCopyFile) \
    AW(SetupGetSourceFileLocation) AW(SetupGetSourceFileSize) AW(SetupGetTargetPath) \
    AW(SetupSetSourceList) ONE(SetupCancelTemporarySourceList) AW(SetupAddToSourceList) \
    AW(SetupRemoveFromSourceList) AW(SetupQuerySourceList) AW(SetupFreeSourceList) \
    AW(SetupPromptForDisk) AW(SetupCopyError) AW(SetupRenameError) AW(SetupDeleteError) \
    AW(SetupSetDirectoryId) AW(SetupSetDirectoryIdEx) AW(SetupGetSourceInfo) \
    AW(SetupInstallFile) AW(SetupInstallFileEx) ONE(SetupOpenFileQueue) ONE(SetupCloseFileQueue) \
    AW(SetupSetPlatformPathOverride) AW(SetupQueueCopy) AW(SetupQueueDefaultCopy) \
    AW(SetupQueueCopySection) AW(SetupQueueDelete) AW(SetupQueueDeleteSection) \
    AW(SetupQueueRename) AW(SetupQueueRenameSection) AW(SetupCommitFileQueue) \
    AW(SetupScanFileQueue) AW(SetupCopyOEMInf) AW(SetupCreateDiskSpaceList) \
    AW(SetupDuplicateDiskSpaceList) ONE(SetupDestroyDiskSpaceList) \
    AW(SetupQueryDrivesInDiskSpaceList) AW(SetupQuerySpaceRequiredOnDrive) \
    AW(SetupAdjustDiskSpaceList) AW(SetupAddToDiskSpaceList) AW(SetupAddSectionToDiskSpaceList) \
    AW(SetupAddInstallSectionToDiskSpaceList) AW(SetupRemoveFromDiskSpaceList) \
    AW(SetupRemoveSectionFromDiskSpaceList) AW(SetupRemoveInstallSectionFromDiskSpaceList) \
    AW(SetupIterateCabinet) ONE(SetupPromptReboot) ONE(SetupInitDefaultQueueCallback) \
    ONE(SetupInitDefaultQueueCallbackEx) ONE(SetupTermDefaultQueueCallback) \
    AW(SetupDefaultQueueCallback) AW(SetupInstallFromInfSection) \
    AW(SetupInstallFilesFromInfSection) AW(SetupInstallServicesFromInfSection) \
    AW(SetupInstallServicesFromInfSectionEx) AW(SetupInitializeFileLog) \
    ONE(SetupTerminateFileLog) AW(SetupLogFile) AW(SetupRemoveFileLogEntry) \
    AW(SetupQueryFileLog) ONE(SetupOpenLog) AW(SetupLogError) ONE(SetupCloseLog) \
    ONE(SetupDiCreateDeviceInfoList) AW(SetupDiCreateDeviceInfoListEx) \
    ONE(SetupDiGetDeviceInfoListClass) AW(SetupDiGetDeviceInfoListDetail) \
    AW(SetupDiCreateDeviceInfo) AW(SetupDiOpenDeviceInfo) AW(SetupDiGetDeviceInstanceId) \
    ONE(SetupDiDeleteDeviceInfo) ONE_CALLED(SetupDiEnumDeviceInfo) \
    ONE_CALLED(SetupDiDestroyDeviceInfoList) ONE_CALLED(SetupDiEnumDeviceInterfaces) \
    AW(SetupDiCreateDeviceInterface) AW(SetupDiOpenDeviceInterface) \
    ONE(SetupDiGetDeviceInterfaceAlias) ONE(SetupDiDeleteDeviceInterfaceData) \
    ONE(SetupDiRemoveDeviceInterface) AW_CALLED(SetupDiGetDeviceInterfaceDetail) \
    ONE(SetupDiInstallDeviceInterfaces) ONE(SetupDiRegisterDeviceInfo) \
    ONE(SetupDiBuildDriverInfoList) ONE(SetupDiCancelDriverInfoSearch) AW(SetupDiEnumDriverInfo) \
    AW(SetupDiGetSelectedDriver) AW(SetupDiSetSelectedDriver) AW(SetupDiGetDriverInfoDetail) \
    ONE(SetupDiDestroyDriverInfoList) AW_CALLED(SetupDiGetClassDevs) AW(SetupDiGetClassDevsEx) \
    AW(SetupDiGetINFClass) ONE(SetupDiBuildClassInfoList) AW(SetupDiBuildClassInfoListEx) \
    AW(SetupDiGetClassDescription) AW(SetupDiGetClassDescriptionEx) \
    ONE(SetupDiCallClassInstaller) ONE(SetupDiSelectDevice) ONE(SetupDiSelectBestCompatDrv) \
    ONE(SetupDiInstallDevice) ONE(SetupDiInstallDriverFiles) \
    ONE(SetupDiRegisterCoDeviceInstallers) ONE(SetupDiRemoveDevice) ONE(SetupDiUnremoveDevice) \
    ONE(SetupDiMoveDuplicateDevice) ONE(SetupDiChangeState) AW(SetupDiInstallClass) \
    AW(SetupDiInstallClassEx) ONE(SetupDiOpenClassRegKey) AW(SetupDiOpenClassRegKeyEx) \
    AW(SetupDiCreateDeviceInterfaceRegKey) ONE(SetupDiOpenDeviceInterfaceRegKey) \
    ONE(SetupDiDeleteDeviceInterfaceRegKey) AW(SetupDiCreateDevRegKey) \
    ONE_CALLED(SetupDiOpenDevRegKey) ONE(SetupDiDeleteDevRegKey) ONE(SetupDiGetHwProfileList) \
    AW(SetupDiGetHwProfileListEx) AW_CALLED(SetupDiGetDeviceRegistryProperty) \
    AW(SetupDiSetDeviceRegistryProperty) AW(SetupDiGetDeviceInstallParams) \
    AW(SetupDiGetClassInstallParams) AW(SetupDiSetDeviceInstallParams) \
    AW(SetupDiSetClassInstallParams) AW(SetupDiGetDriverInstallParams) \
    AW(SetupDiSetDriverInstallParams) ONE(SetupDiLoadClassIcon) ONE(SetupDiDrawMiniIcon) \
    ONE(SetupDiGetClassBitmapIndex) ONE(SetupDiGetClassImageList) AW(SetupDiGetClassImageListEx) \
    ONE(SetupDiGetClassImageIndex) ONE(SetupDiDestroyClassImageList) \
    AW(SetupDiGetClassDevPropertySheets) ONE(SetupDiAskForOEMDisk) ONE(SetupDiSelectOEMDrv) \
    AW(SetupDiClassNameFromGuid) AW(SetupDiClassNameFromGuidEx) AW(SetupDiClassGuidsFromName) \
    AW(SetupDiClassGuidsFromNameEx) AW(SetupDiGetHwProfileFriendlyName) \
    AW(SetupDiGetHwProfileFriendlyNameEx) ONE(SetupDiGetWizardPage) \
    ONE(SetupDiGetSelectedDevice) ONE(SetupDiSetSelectedDevice) \
    AW(SetupDiGetActualSectionToInstall)

// clang-format on

// Storage of the slots the station does not call. The names are pasted, never
// expanded, so the SDK's A/W macros for the unsuffixed names cannot touch them.
#define SLOT_STORAGE_AW(n) FARPROC slot##n##A, slot##n##W, slot##n;
#define SLOT_STORAGE_AW_CALLED(n) FARPROC slot##n##W, slot##n;
#define SLOT_STORAGE_ONE(n) FARPROC slot##n;
#define SLOT_STORAGE_ONE_CALLED(n)
SETUP_API_FUNCTIONS(SLOT_STORAGE_AW, SLOT_STORAGE_AW_CALLED, SLOT_STORAGE_ONE,
                    SLOT_STORAGE_ONE_CALLED)

struct Slot {
    const char* symbol;
    void* storage; // a function-pointer variable of any of the slot types
};

#define SLOT_AW(n) {#n "A", &slot##n##A}, {#n "W", &slot##n##W}, {#n "A", &slot##n},
#define SLOT_AW_CALLED(n) {#n "A", &n##A}, {#n "W", &slot##n##W}, {#n "A", &slot##n},
#define SLOT_ONE(n) {#n, &slot##n},
#define SLOT_ONE_CALLED(n) {#n, &n},
const Slot kSlots[] = {SETUP_API_FUNCTIONS(SLOT_AW, SLOT_AW_CALLED, SLOT_ONE, SLOT_ONE_CALLED)};

static_assert(sizeof(TSetupDiGetClassDevsA) == sizeof(FARPROC));

HMODULE library = nullptr;
int loadCount = 0;

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

int LoadCount() {
    return loadCount;
}

} // namespace SetupApi

bool BindSetupApi() {
    using namespace SetupApi;
    if (++loadCount > 1) {
        // Nested: the outer bind holds the library. It is held only when the
        // outer bind succeeded, so a nested bind after a failed load reports the
        // failure instead of a binding that is not there.
        return library != nullptr;
    }
    bool allResolved = OpenLibrary(library, "SetupApi.dll");
    if (!allResolved) {
        return false; // the count stays raised: the caller's unbind lowers it
    }
    for (const Slot& slot : kSlots) {
        binding::storeSlot(slot.storage, ResolveSymbol(library, slot.symbol, allResolved));
    }
    if (!allResolved) {
        UnbindSetupApi();
    }
    return allResolved;
}

void UnbindSetupApi() {
    using namespace SetupApi;
    if (--loadCount > 0) {
        return;
    }
    CloseLibrary(library);
    for (const Slot& slot : kSlots) {
        binding::storeSlot(slot.storage, nullptr);
    }
}
