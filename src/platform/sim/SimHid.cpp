// The simulated "HID.dll": the functions the station calls, over the HID
// devices of SimHidDevice.h. Each counts its call and can be failed by fault
// injection; preparsed data is a handle of kind "preparsed", so a test can see
// that every block obtained was freed again.
#include "../Hid.h"
#include "SimExports.h"
#include "SimHidDevice.h"
#include "SimMachine.h"

namespace sim {
namespace {

INT_PTR WINAPI Unimplemented() {
    machine().setLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

class PreparsedData final : public Object {
public:
    explicit PreparsedData(std::shared_ptr<HidDevice> device) : device(std::move(device)) {}
    const char* kind() const override { return "preparsed"; }
    std::shared_ptr<HidDevice> device;
};

// The HID device behind an open handle, or null with the last error set.
std::shared_ptr<HidDevice> hidDeviceOf(const char* function, HANDLE handle) {
    if (DWORD error = machine().enter(function)) {
        machine().setLastError(error);
        return nullptr;
    }
    auto file = machine().get<File>(handle);
    if (!file) {
        machine().setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto device = std::dynamic_pointer_cast<HidDevice>(file->device);
    if (!device) {
        machine().setLastError(ERROR_INVALID_FUNCTION); // not a HID collection
        return nullptr;
    }
    if (file->gone) {
        machine().setLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    return device;
}

BOOLEAN failWith(DWORD error) {
    machine().setLastError(error);
    return FALSE;
}

void WINAPI HidD_GetHidGuid(LPGUID guid) {
    machine().enter("HidD_GetHidGuid");
    if (guid != nullptr) {
        *guid = hidClassGuid();
    }
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE handle, PHIDD_ATTRIBUTES attributes) {
    auto device = hidDeviceOf("HidD_GetAttributes", handle);
    if (!device) {
        return FALSE;
    }
    if (attributes == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    if (device->attributesFail) {
        return failWith(ERROR_GEN_FAILURE);
    }
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = device->vendorId;
    attributes->ProductID = device->productId;
    attributes->VersionNumber = device->versionNumber;
    return TRUE;
}

BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE handle, PHIDP_PREPARSED_DATA* data) {
    auto device = hidDeviceOf("HidD_GetPreparsedData", handle);
    if (!device) {
        return FALSE;
    }
    if (data == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    if (device->preparsedDataFail) {
        return failWith(ERROR_GEN_FAILURE);
    }
    HANDLE block = machine().add(std::make_shared<PreparsedData>(device));
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(block);
    return TRUE;
}

BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    if (DWORD error = machine().enter("HidD_FreePreparsedData")) {
        return failWith(error);
    }
    auto block = reinterpret_cast<HANDLE>(data);
    if (!machine().get<PreparsedData>(block)) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    machine().close(block);
    return TRUE;
}

NTSTATUS WINAPI HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
    if (DWORD error = machine().enter("HidP_GetCaps")) {
        machine().setLastError(error);
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    auto block = machine().get<PreparsedData>(reinterpret_cast<HANDLE>(data));
    if (!block || caps == nullptr || block->device->capsFail) {
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    }
    *caps = HIDP_CAPS{};
    caps->UsagePage = 0xFF00; // vendor-defined, as the evaluator's collection is
    caps->Usage = 0x0001;
    caps->InputReportByteLength = block->device->inputReportLength;
    caps->OutputReportByteLength = block->device->outputReportLength;
    caps->FeatureReportByteLength = block->device->featureReportLength;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN WINAPI HidD_GetNumInputBuffers(HANDLE handle, PULONG count) {
    auto device = hidDeviceOf("HidD_GetNumInputBuffers", handle);
    if (!device) {
        return FALSE;
    }
    if (count == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    *count = device->numInputBuffers;
    return TRUE;
}

BOOLEAN WINAPI HidD_SetNumInputBuffers(HANDLE handle, ULONG count) {
    auto device = hidDeviceOf("HidD_SetNumInputBuffers", handle);
    if (!device) {
        return FALSE;
    }
    // The class driver accepts 2 to 512 buffers.
    if (count < 2 || count > 512) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    device->numInputBuffers = count;
    return TRUE;
}

} // namespace

FARPROC unimplementedExport() {
    return &Unimplemented;
}

std::map<std::string, FARPROC> hidExports() {
    std::map<std::string, FARPROC> exports;
    for (std::size_t i = 0; i < Hid::SlotCount(); ++i) {
        exports[Hid::SlotSymbol(i)] = unimplementedExport();
    }
    exports["HidD_GetHidGuid"] = asExport(&HidD_GetHidGuid);
    exports["HidD_GetAttributes"] = asExport(&HidD_GetAttributes);
    exports["HidD_GetPreparsedData"] = asExport(&HidD_GetPreparsedData);
    exports["HidD_FreePreparsedData"] = asExport(&HidD_FreePreparsedData);
    exports["HidP_GetCaps"] = asExport(&HidP_GetCaps);
    exports["HidD_GetNumInputBuffers"] = asExport(&HidD_GetNumInputBuffers);
    exports["HidD_SetNumInputBuffers"] = asExport(&HidD_SetNumInputBuffers);
    return exports;
}

} // namespace sim
