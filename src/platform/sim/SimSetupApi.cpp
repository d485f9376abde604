// The simulated "SetupApi.dll": device-information sets over the machine's
// device interfaces and device nodes, with the checks Windows makes on the
// callers' records (the size members must equal the real records' sizes).
#include "../SetupApi.h"
#include "../SetupApiRecords.h"
#include "SimExports.h"
#include "SimMachine.h"

#include <cstddef>
#include <cstring>

namespace sim {
namespace {

Machine& m() {
    return machine();
}

BOOL fail(DWORD error) {
    m().setLastError(error);
    return FALSE;
}

bool sameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND, DWORD flags) {
    if (DWORD error = m().enter("SetupDiGetClassDevsA")) {
        m().setLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (classGuid == nullptr && (flags & DIGCF_ALLCLASSES) == 0) {
        m().setLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DevInfoSet>();
    if ((flags & DIGCF_DEVICEINTERFACE) != 0) {
        for (const auto& i : m().interfaces) {
            if (classGuid == nullptr || sameGuid(i.classGuid, *classGuid)) {
                set->interfaces.push_back(i);
            }
        }
    } else {
        std::string wanted = enumerator != nullptr ? upper(enumerator) : std::string();
        for (const auto& node : m().nodes) {
            if (wanted.empty() || upper(node.enumerator) == wanted) {
                set->nodes.push_back(node);
            }
        }
    }
    return m().add(std::move(set));
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA, const GUID* classGuid,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    if (DWORD error = m().enter("SetupDiEnumDeviceInterfaces")) {
        return fail(error);
    }
    auto set = m().get<DevInfoSet>(handle);
    if (!set || classGuid == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return fail(ERROR_INVALID_USER_BUFFER);
    }
    if (index >= set->interfaces.size() || set->interfaces[index].enumFails) {
        return fail(ERROR_NO_MORE_ITEMS);
    }
    setupapi_records::fillInterfaceData(set->interfaces[index].classGuid, index, data);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                             DWORD detailSize, PDWORD requiredSize,
                                             PSP_DEVINFO_DATA) {
    if (DWORD error = m().enter("SetupDiGetDeviceInterfaceDetailA")) {
        return fail(error);
    }
    auto set = m().get<DevInfoSet>(handle);
    if (!set) {
        return fail(ERROR_INVALID_HANDLE);
    }
    const Interface* i = setupapi_records::interfaceOf(set->interfaces, data);
    if (i == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (i->detailFails) {
        return fail(ERROR_GEN_FAILURE);
    }
    if (DWORD error =
            setupapi_records::copyInterfaceDetail(i->path, detail, detailSize, requiredSize)) {
        return fail(error);
    }
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    if (DWORD error = m().enter("SetupDiEnumDeviceInfo")) {
        return fail(error);
    }
    auto set = m().get<DevInfoSet>(handle);
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
    if (DWORD error = m().enter("SetupDiGetDeviceRegistryPropertyA")) {
        return fail(error);
    }
    auto set = m().get<DevInfoSet>(handle);
    if (!set) {
        return fail(ERROR_INVALID_HANDLE);
    }
    const DevNode* node = setupapi_records::nodeOf(set->nodes, data);
    if (node == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (property != SPDRP_HARDWAREID || !node->hardwareIds) {
        return fail(ERROR_INVALID_DATA); // what Windows says for a property the device lacks
    }
    if (DWORD error = setupapi_records::copyMultiString(*node->hardwareIds, dataType, buffer,
                                                        bufferSize, requiredSize)) {
        return fail(error);
    }
    return TRUE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD, DWORD, DWORD,
                                 REGSAM) {
    auto invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    if (DWORD error = m().enter("SetupDiOpenDevRegKey")) {
        m().setLastError(error);
        return invalid;
    }
    auto set = m().get<DevInfoSet>(handle);
    const DevNode* node = set ? setupapi_records::nodeOf(set->nodes, data) : nullptr;
    if (node == nullptr) {
        m().setLastError(ERROR_INVALID_HANDLE);
        return invalid;
    }
    if (node->keyOpenFails) {
        m().setLastError(ERROR_FILE_NOT_FOUND);
        return invalid;
    }
    auto key = std::make_shared<RegKey>();
    for (const auto& [name, value] : node->deviceKey) {
        key->values[upper(name)] = value;
    }
    return reinterpret_cast<HKEY>(m().add(std::move(key)));
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    if (DWORD error = m().enter("SetupDiDestroyDeviceInfoList")) {
        return fail(error);
    }
    if (!m().get<DevInfoSet>(handle)) {
        return fail(ERROR_INVALID_HANDLE);
    }
    m().close(handle);
    return TRUE;
}

} // namespace

std::map<std::string, FARPROC> setupApiExports() {
    std::map<std::string, FARPROC> exports;
    for (std::size_t i = 0; i < SetupApi::SlotCount(); ++i) {
        exports[SetupApi::SlotSymbol(i)] = unimplementedExport();
    }
    exports["SetupDiGetClassDevsA"] = asExport(&SetupDiGetClassDevsA);
    exports["SetupDiEnumDeviceInterfaces"] = asExport(&SetupDiEnumDeviceInterfaces);
    exports["SetupDiGetDeviceInterfaceDetailA"] = asExport(&SetupDiGetDeviceInterfaceDetailA);
    exports["SetupDiEnumDeviceInfo"] = asExport(&SetupDiEnumDeviceInfo);
    exports["SetupDiGetDeviceRegistryPropertyA"] = asExport(&SetupDiGetDeviceRegistryPropertyA);
    exports["SetupDiOpenDevRegKey"] = asExport(&SetupDiOpenDevRegKey);
    exports["SetupDiDestroyDeviceInfoList"] = asExport(&SetupDiDestroyDeviceInfoList);
    return exports;
}

} // namespace sim
