// The backend's "SetupApi.dll" and "HID.dll": tables of our own functions,
// bound by name like the system's libraries. Every name the binding resolves
// is there; those the station never calls fail with ERROR_CALL_NOT_IMPLEMENTED.
//
// A HID interface is a hidraw node, its device path the node's /dev path. The
// device nodes are the USB devices ("USB", with hardware IDs in the Windows
// form and the tty of a USB-serial port as "PortName") and the ports that the
// ftdi_sio driver serves ("FTDIBUS", as the FTDI bus driver lists them).
#include "../Hid.h"
#include "../SetupApi.h"
#include "../SetupApiRecords.h"
#include "Functions.h"
#include "Objects.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace lnx {
namespace {

// {4D1E55B2-F16F-11CF-88CB-001111000030}, the HID interface class.
const GUID kHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

template <class F> FARPROC asExport(F* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

INT_PTR WINAPI Unimplemented() {
    setLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

BOOL fail(DWORD error) {
    setLastError(error);
    return FALSE;
}

// --- SetupApi.dll ---

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND, DWORD flags) {
    if (classGuid == nullptr && (flags & DIGCF_ALLCLASSES) == 0) {
        setLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DevInfoSet>();
    if ((flags & DIGCF_DEVICEINTERFACE) != 0) {
        if (classGuid == nullptr || std::memcmp(classGuid, &kHidGuid, sizeof(GUID)) == 0) {
            set->interfaces = hidrawNodes();
        }
    } else {
        const std::string wanted = enumerator != nullptr ? upper(enumerator) : std::string();
        if (wanted.empty() || wanted == "USB") {
            set->nodes = usbDeviceNodes();
        }
        if (wanted.empty() || wanted == "FTDIBUS") {
            auto ftdi = ftdiPortNodes();
            set->nodes.insert(set->nodes.end(), ftdi.begin(), ftdi.end());
        }
    }
    return handles().add(std::move(set));
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA, const GUID* classGuid,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    auto set = handles().get<DevInfoSet>(handle);
    if (!set || classGuid == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return fail(ERROR_INVALID_USER_BUFFER);
    }
    if (index >= set->interfaces.size() || std::memcmp(classGuid, &kHidGuid, sizeof(GUID)) != 0) {
        return fail(ERROR_NO_MORE_ITEMS);
    }
    setupapi_records::fillInterfaceData(kHidGuid, index, data);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                             DWORD detailSize, PDWORD requiredSize,
                                             PSP_DEVINFO_DATA) {
    auto set = handles().get<DevInfoSet>(handle);
    if (!set) {
        return fail(ERROR_INVALID_HANDLE);
    }
    const HidrawNode* node = setupapi_records::interfaceOf(set->interfaces, data);
    if (node == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (DWORD error = setupapi_records::copyInterfaceDetail(node->devPath, detail, detailSize,
                                                            requiredSize)) {
        return fail(error);
    }
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    auto set = handles().get<DevInfoSet>(handle);
    if (!set) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (DWORD error = setupapi_records::enumDeviceInfo(set->nodes.size(), index, data)) {
        return fail(error);
    }
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO handle, PSP_DEVINFO_DATA data,
                                              DWORD property, PDWORD dataType, PBYTE buffer,
                                              DWORD bufferSize, PDWORD requiredSize) {
    auto set = handles().get<DevInfoSet>(handle);
    if (!set) {
        return fail(ERROR_INVALID_HANDLE);
    }
    const DeviceNode* node = setupapi_records::nodeOf(set->nodes, data);
    if (node == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (property != SPDRP_HARDWAREID) {
        return fail(ERROR_INVALID_DATA); // what Windows says for a property the device lacks
    }
    if (DWORD error = setupapi_records::copyMultiString(node->hardwareIds, dataType, buffer,
                                                        bufferSize, requiredSize)) {
        return fail(error);
    }
    return TRUE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD, DWORD, DWORD,
                                 REGSAM) {
    auto invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    auto set = handles().get<DevInfoSet>(handle);
    const DeviceNode* node = set ? setupapi_records::nodeOf(set->nodes, data) : nullptr;
    if (node == nullptr) {
        setLastError(ERROR_INVALID_HANDLE);
        return invalid;
    }
    auto key = std::make_shared<RegKey>();
    if (std::string port = portNameOf(*node); !port.empty()) {
        key->values["PORTNAME"] = port + '\0';
    }
    return reinterpret_cast<HKEY>(handles().add(std::move(key)));
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    if (!handles().get<DevInfoSet>(handle)) {
        return fail(ERROR_INVALID_HANDLE);
    }
    handles().close(handle);
    return TRUE;
}

// --- HID.dll ---

std::shared_ptr<File> hidrawOf(HANDLE handle) {
    auto file = handles().get<File>(handle);
    if (!file) {
        setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (file->kind != FileKind::hidraw) {
        setLastError(ERROR_INVALID_FUNCTION); // not a HID collection
        return nullptr;
    }
    return file;
}

void WINAPI HidD_GetHidGuid(LPGUID guid) {
    if (guid != nullptr) {
        *guid = kHidGuid;
    }
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE handle, PHIDD_ATTRIBUTES attributes) {
    auto file = hidrawOf(handle);
    if (!file) {
        return FALSE;
    }
    if (attributes == nullptr) {
        return static_cast<BOOLEAN>(fail(ERROR_INVALID_PARAMETER));
    }
    hidraw_devinfo info{};
    if (ioctl(file->fd, HIDIOCGRAWINFO, &info) < 0) {
        return static_cast<BOOLEAN>(fail(errorFromErrno(errno)));
    }
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    // The kernel's record holds the identifiers as signed 16-bit numbers.
    attributes->VendorID = static_cast<USHORT>(info.vendor);
    attributes->ProductID = static_cast<USHORT>(info.product);
    attributes->VersionNumber = 0;
    return TRUE;
}

BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE handle, PHIDP_PREPARSED_DATA* data) {
    auto file = hidrawOf(handle);
    if (!file) {
        return FALSE;
    }
    if (data == nullptr) {
        return static_cast<BOOLEAN>(fail(ERROR_INVALID_PARAMETER));
    }
    if (!file->reportsKnown) {
        return static_cast<BOOLEAN>(fail(ERROR_GEN_FAILURE)); // no descriptor could be read
    }
    HANDLE block = handles().add(std::make_shared<Preparsed>(file->reports));
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(block);
    return TRUE;
}

BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    auto block = reinterpret_cast<HANDLE>(data);
    if (!handles().get<Preparsed>(block)) {
        return static_cast<BOOLEAN>(fail(ERROR_INVALID_PARAMETER));
    }
    handles().close(block);
    return TRUE;
}

NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
    auto block = handles().get<Preparsed>(reinterpret_cast<HANDLE>(data));
    if (!block || caps == nullptr) {
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    *caps = HIDP_CAPS{};
    caps->UsagePage = block->reports.usagePage;
    caps->Usage = block->reports.usage;
    caps->InputReportByteLength = block->reports.input;
    caps->OutputReportByteLength = block->reports.output;
    caps->FeatureReportByteLength = block->reports.feature;
    return HIDP_STATUS_SUCCESS;
}

// hidraw keeps 64 input reports per open descriptor, and there is nothing to set.
constexpr ULONG kHidrawBuffers = 64;

BOOLEAN WINAPI HidD_GetNumInputBuffers(HANDLE handle, PULONG count) {
    if (!hidrawOf(handle)) {
        return FALSE;
    }
    if (count == nullptr) {
        return static_cast<BOOLEAN>(fail(ERROR_INVALID_PARAMETER));
    }
    *count = kHidrawBuffers;
    return TRUE;
}

BOOLEAN WINAPI HidD_SetNumInputBuffers(HANDLE handle, ULONG count) {
    if (!hidrawOf(handle)) {
        return FALSE;
    }
    // The Windows class driver's bounds; the count itself cannot be honoured.
    if (count < 2 || count > 512) {
        return static_cast<BOOLEAN>(fail(ERROR_INVALID_PARAMETER));
    }
    return TRUE;
}

} // namespace

const std::map<std::string, FARPROC>& setupApiExports() {
    static const std::map<std::string, FARPROC> exports = [] {
        std::map<std::string, FARPROC> table;
        for (std::size_t i = 0; i < SetupApi::SlotCount(); ++i) {
            table[SetupApi::SlotSymbol(i)] = asExport(&Unimplemented);
        }
        table["SetupDiGetClassDevsA"] = asExport(&SetupDiGetClassDevsA);
        table["SetupDiEnumDeviceInterfaces"] = asExport(&SetupDiEnumDeviceInterfaces);
        table["SetupDiGetDeviceInterfaceDetailA"] = asExport(&SetupDiGetDeviceInterfaceDetailA);
        table["SetupDiEnumDeviceInfo"] = asExport(&SetupDiEnumDeviceInfo);
        table["SetupDiGetDeviceRegistryPropertyA"] = asExport(&SetupDiGetDeviceRegistryPropertyA);
        table["SetupDiOpenDevRegKey"] = asExport(&SetupDiOpenDevRegKey);
        table["SetupDiDestroyDeviceInfoList"] = asExport(&SetupDiDestroyDeviceInfoList);
        return table;
    }();
    return exports;
}

const std::map<std::string, FARPROC>& hidExports() {
    static const std::map<std::string, FARPROC> exports = [] {
        std::map<std::string, FARPROC> table;
        for (std::size_t i = 0; i < Hid::SlotCount(); ++i) {
            table[Hid::SlotSymbol(i)] = asExport(&Unimplemented);
        }
        table["HidD_GetHidGuid"] = asExport(&HidD_GetHidGuid);
        table["HidD_GetAttributes"] = asExport(&HidD_GetAttributes);
        table["HidD_GetPreparsedData"] = asExport(&HidD_GetPreparsedData);
        table["HidD_FreePreparsedData"] = asExport(&HidD_FreePreparsedData);
        table["HidP_GetCaps"] = asExport(&HidP_GetCaps);
        table["HidD_GetNumInputBuffers"] = asExport(&HidD_GetNumInputBuffers);
        table["HidD_SetNumInputBuffers"] = asExport(&HidD_SetNumInputBuffers);
        return table;
    }();
    return exports;
}

} // namespace lnx
