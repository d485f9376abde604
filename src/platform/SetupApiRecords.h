// The caller's records as the device-setup functions check and fill them, for
// the backends that answer those functions themselves (the simulated machine
// and the Linux devices): the size members must equal the real records'
// sizes, a record names its element by a 1-based index kept in Reserved, and
// a buffer too small gets the size it needs and ERROR_INSUFFICIENT_BUFFER.
// The same goes for the values of a device's hardware key. Each returns
// ERROR_SUCCESS or the error the caller is to be given.
#pragma once

#include "SetupApi.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace setupapi_records {

// SetupDiEnumDeviceInfo over a set of `count` device nodes.
inline DWORD enumDeviceInfo(std::size_t count, DWORD index, PSP_DEVINFO_DATA data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return ERROR_INVALID_USER_BUFFER;
    }
    if (index >= count) {
        return ERROR_NO_MORE_ITEMS;
    }
    data->DevInst = index + 1;
    data->Reserved = index + 1;
    return ERROR_SUCCESS;
}

// The node a device record names; none for a record of another set or size.
template <class Node>
const Node* nodeOf(const std::vector<Node>& nodes, const SP_DEVINFO_DATA* data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0 ||
        data->Reserved > nodes.size()) {
        return nullptr;
    }
    return &nodes[data->Reserved - 1];
}

// The interface an interface record names; none for a record it did not fill.
template <class Interface>
const Interface* interfaceOf(const std::vector<Interface>& interfaces,
                             const SP_DEVICE_INTERFACE_DATA* data) {
    if (data == nullptr || data->Reserved == 0 || data->Reserved > interfaces.size()) {
        return nullptr;
    }
    return &interfaces[data->Reserved - 1];
}

// SetupDiEnumDeviceInterfaces' record for the interface at `index`.
inline void fillInterfaceData(const GUID& classGuid, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    data->InterfaceClassGuid = classGuid;
    data->Flags = 1; // SPINT_ACTIVE
    data->Reserved = index + 1;
}

// SetupDiGetDeviceInterfaceDetailA's answer: the device path, with the size
// the detail record needs for it.
inline DWORD copyInterfaceDetail(const std::string& path, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                 DWORD detailSize, PDWORD requiredSize) {
    auto needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                     path.size() + 1);
    if (detail == nullptr) {
        if (detailSize != 0) {
            return ERROR_INVALID_USER_BUFFER;
        }
        if (requiredSize != nullptr) {
            *requiredSize = needed;
        }
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return ERROR_INVALID_USER_BUFFER;
    }
    if (requiredSize != nullptr) {
        *requiredSize = needed;
    }
    if (detailSize < needed) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return ERROR_SUCCESS;
}

// A REG_MULTI_SZ property (the hardware IDs) as SetupDiGetDeviceRegistryPropertyA
// gives it: its type and size always, its bytes when they fit.
inline DWORD copyMultiString(const std::string& value, PDWORD dataType, PBYTE buffer,
                             DWORD bufferSize, PDWORD requiredSize) {
    if (requiredSize != nullptr) {
        *requiredSize = static_cast<DWORD>(value.size());
    }
    if (dataType != nullptr) {
        *dataType = REG_MULTI_SZ;
    }
    if (buffer == nullptr || bufferSize < value.size()) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, value.data(), value.size());
    return ERROR_SUCCESS;
}

// A value of a device's hardware key as RegQueryValueExA gives it (REG_SZ,
// its bytes as stored): the size alone when no buffer is given, ERROR_MORE_DATA
// with the size it needs when the buffer is too small.
inline LONG copyRegValue(const std::string& value, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (type != nullptr) {
        *type = REG_SZ;
    }
    if (data == nullptr) {
        if (size != nullptr) {
            *size = static_cast<DWORD>(value.size());
        }
        return ERROR_SUCCESS;
    }
    if (size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (*size < value.size()) {
        *size = static_cast<DWORD>(value.size());
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, value.data(), value.size());
    *size = static_cast<DWORD>(value.size());
    return ERROR_SUCCESS;
}

} // namespace setupapi_records
