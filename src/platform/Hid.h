// Run-time binding of the HID library ("HID.dll").
//
// Loaded from the system directory at start-up and resolved by name, all or
// nothing, except four slots that exist only on later Windows versions and are
// attempted only there. A null slot means the HID kind cannot be seen.
#pragma once

#include "WinConvTypes.h"

#include <cstddef>

namespace Hid {

using THidD_GetHidGuid = void(WINAPI*)(LPGUID guid);
using THidD_GetAttributes = BOOLEAN(WINAPI*)(HANDLE device, PHIDD_ATTRIBUTES attributes);
using THidD_GetPreparsedData = BOOLEAN(WINAPI*)(HANDLE device, PHIDP_PREPARSED_DATA* data);
using THidD_FreePreparsedData = BOOLEAN(WINAPI*)(PHIDP_PREPARSED_DATA data);
using THidP_GetCaps = NTSTATUS(WINAPI*)(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps);
using THidD_GetNumInputBuffers = BOOLEAN(WINAPI*)(HANDLE device, PULONG count);
using THidD_SetNumInputBuffers = BOOLEAN(WINAPI*)(HANDLE device, ULONG count);

// The slots the station calls through; null while unbound.
extern THidD_GetHidGuid HidD_GetHidGuid;
extern THidD_GetAttributes HidD_GetAttributes;
extern THidD_GetPreparsedData HidD_GetPreparsedData;
extern THidD_FreePreparsedData HidD_FreePreparsedData;
extern THidP_GetCaps HidP_GetCaps;
extern THidD_GetNumInputBuffers HidD_GetNumInputBuffers;
extern THidD_SetNumInputBuffers HidD_SetNumInputBuffers;

// Every slot (46), in the order of resolution; two slots may share a symbol.
std::size_t SlotCount();
const char* SlotSymbol(std::size_t index);
FARPROC SlotAddress(std::size_t index);

} // namespace Hid

// True when every slot that was attempted resolved.
bool BindHid();
void UnbindHid();
