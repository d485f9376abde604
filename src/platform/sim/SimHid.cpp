// The simulated "HID.dll".
#include "../Hid.h"
#include "SimExports.h"
#include "SimMachine.h"

namespace sim {
namespace {

INT_PTR WINAPI Unimplemented() {
    machine().setLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

// {4D1E55B2-F16F-11CF-88CB-001111000030}: the HID device-interface class.
void WINAPI HidD_GetHidGuid(LPGUID guid) {
    machine().enter("HidD_GetHidGuid");
    if (guid != nullptr) {
        *guid = GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    }
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
    return exports;
}

} // namespace sim
