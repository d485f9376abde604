// Run-time binding of the device-setup library ("SetupApi.dll").
//
// The library is loaded from the system directory when the program starts and
// its entry points are resolved by name into slots, all or nothing: after a
// failed bind every slot is null. Callers test a slot before calling through it;
// a null slot means the device kind cannot be seen.
#pragma once

#include "WinConvTypes.h"

#include <cstddef>

namespace SetupApi {

using TSetupDiGetClassDevsA = HDEVINFO(WINAPI*)(const GUID* classGuid, PCSTR enumerator,
                                                HWND parent, DWORD flags);
using TSetupDiEnumDeviceInterfaces = BOOL(WINAPI*)(HDEVINFO set, PSP_DEVINFO_DATA device,
                                                   const GUID* interfaceClass, DWORD index,
                                                   PSP_DEVICE_INTERFACE_DATA data);
using TSetupDiGetDeviceInterfaceDetailA = BOOL(WINAPI*)(HDEVINFO set,
                                                        PSP_DEVICE_INTERFACE_DATA data,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                        DWORD detailSize, PDWORD requiredSize,
                                                        PSP_DEVINFO_DATA device);
using TSetupDiEnumDeviceInfo = BOOL(WINAPI*)(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
using TSetupDiGetDeviceRegistryPropertyA = BOOL(WINAPI*)(HDEVINFO set, PSP_DEVINFO_DATA device,
                                                         DWORD property, PDWORD dataType,
                                                         PBYTE buffer, DWORD bufferSize,
                                                         PDWORD requiredSize);
using TSetupDiOpenDevRegKey = HKEY(WINAPI*)(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD scope,
                                            DWORD hwProfile, DWORD keyType, REGSAM access);
using TSetupDiDestroyDeviceInfoList = BOOL(WINAPI*)(HDEVINFO set);

// The slots the station calls through; null while unbound.
extern TSetupDiGetClassDevsA SetupDiGetClassDevsA;
extern TSetupDiEnumDeviceInterfaces SetupDiEnumDeviceInterfaces;
extern TSetupDiGetDeviceInterfaceDetailA SetupDiGetDeviceInterfaceDetailA;
extern TSetupDiEnumDeviceInfo SetupDiEnumDeviceInfo;
extern TSetupDiGetDeviceRegistryPropertyA SetupDiGetDeviceRegistryPropertyA;
extern TSetupDiOpenDevRegKey SetupDiOpenDevRegKey;
extern TSetupDiDestroyDeviceInfoList SetupDiDestroyDeviceInfoList;

// Every slot (377: three for each of the 106 functions with ANSI and Unicode
// forms, one for each of the 59 without), in the order of resolution: the symbol
// it is resolved from and its current address (null while unbound).
std::size_t SlotCount();
const char* SlotSymbol(std::size_t index);
FARPROC SlotAddress(std::size_t index);

// The load count: binds nest, and only the last unbind releases the library.
int LoadCount();

} // namespace SetupApi

// True when every slot resolved. A second bind while one is in force only counts.
bool BindSetupApi();
void UnbindSetupApi();
