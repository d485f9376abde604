// The wide-character forms of the program-path and profile functions, for the
// backends that are not Windows: each converts its UTF-16 arguments to UTF-8
// (the file names of Linux and of the simulated machine), calls the backend's
// narrow form and hands back UTF-16 with the truncation rules of the W
// functions, counted in UTF-16 units. The backend's narrow form sets the last
// error as it would for the same call.
#pragma once

#include "WinConvTypes.h"

namespace profile {

using NarrowModuleFileName = DWORD (*)(HMODULE, LPSTR, DWORD);
using NarrowGetString = DWORD (*)(LPCSTR, LPCSTR, LPCSTR, LPSTR, DWORD, LPCSTR);
using NarrowWriteString = BOOL (*)(LPCSTR, LPCSTR, LPCSTR, LPCSTR);
using LastErrorSetter = void (*)(DWORD);

// GetModuleFileNameW: the length without the zero; a short buffer gets the name
// cut to size - 1 units and a zero, the result size and ERROR_INSUFFICIENT_BUFFER.
DWORD ModuleFileNameW(NarrowModuleFileName narrow, LastErrorSetter setLastError, HMODULE module,
                      LPWSTR buffer, DWORD size);

// GetPrivateProfileStringW (Profile.h tells the rules of the narrow form).
DWORD GetStringW(NarrowGetString narrow, LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue,
                 LPWSTR buffer, DWORD size, LPCWSTR fileName);

// WritePrivateProfileStringW.
BOOL WriteStringW(NarrowWriteString narrow, LPCWSTR section, LPCWSTR key, LPCWSTR value,
                  LPCWSTR fileName);

// GetShortPathNameW on a file system without 8.3 names: the path as it is.
DWORD ShortPathNameW(LPCWSTR longPath, LPWSTR buffer, DWORD size);

} // namespace profile
