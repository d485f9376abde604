// The station's one seam to the operating system.
//
// Every Windows function the station calls directly is listed once below, under
// its Windows name, and reached through win::Name(...). The call goes to the
// active backend: the real Windows API (the default on Windows), the real
// devices of Linux (the default there, linux/LinuxBackend.h) or the simulated
// machine (elsewhere, on Linux when its own setting EVALUATOR_SIM_DEVICES is
// given, and what the tests use). The SetupAPI and HID
// library functions are not listed: they are reached through the slots that the
// run-time binding fills (SetupApi.h, Hid.h), from whatever LoadLibraryA and
// GetProcAddress of the active backend return.
#pragma once

#include "WinConvTypes.h"

// X(result, name, parameters, arguments): one row per function.
#define WIN_SEAM_FUNCTIONS(X)                                                                      \
    /* INVALID_HANDLE_VALUE and GetLastError on failure; share mode 0 is exclusive. */             \
    X(HANDLE, CreateFileA,                                                                         \
      (LPCSTR fileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,                 \
       DWORD disposition, DWORD flags, HANDLE templateFile),                                       \
      (fileName, access, share, security, disposition, flags, templateFile))                       \
    /* With an OVERLAPPED record: FALSE and ERROR_IO_PENDING while the transfer runs on. */        \
    X(BOOL, ReadFile,                                                                              \
      (HANDLE file, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped),            \
      (file, buffer, count, done, overlapped))                                                     \
    X(BOOL, WriteFile,                                                                             \
      (HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped),           \
      (file, buffer, count, done, overlapped))                                                     \
    X(BOOL, CloseHandle, (HANDLE object), (object))                                                \
    X(HANDLE, CreateEventA,                                                                        \
      (LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR name),          \
      (security, manualReset, initialState, name))                                                 \
    /* WAIT_OBJECT_0, WAIT_TIMEOUT after the time-out, WAIT_FAILED on a bad handle. */             \
    X(DWORD, WaitForSingleObject, (HANDLE object, DWORD milliseconds), (object, milliseconds))     \
    /* Without waiting: FALSE and ERROR_IO_INCOMPLETE while the transfer is still pending. */      \
    X(BOOL, GetOverlappedResult, (HANDLE file, LPOVERLAPPED overlapped, LPDWORD done, BOOL wait),  \
      (file, overlapped, done, wait))                                                              \
    /* Asks for cancellation only: the transfer finishes later (ERROR_OPERATION_ABORTED). */       \
    X(BOOL, CancelIo, (HANDLE file), (file))                                                       \
    X(DWORD, GetLastError, (), ())                                                                 \
    X(void, SetLastError, (DWORD error), (error))                                                  \
    /* dwOSVersionInfoSize must be set (148 for the plain record). */                              \
    X(BOOL, GetVersionExA, (LPOSVERSIONINFOA info), (info))                                        \
    /* Milliseconds since start, wrapping after 49.7 days. */                                      \
    X(DWORD, GetTickCount, (), ())                                                                 \
    X(void, Sleep, (DWORD milliseconds), (milliseconds))                                           \
    X(BOOL, GetCommState, (HANDLE file, LPDCB dcb), (file, dcb))                                   \
    X(BOOL, SetCommState, (HANDLE file, LPDCB dcb), (file, dcb))                                   \
    X(BOOL, GetCommTimeouts, (HANDLE file, LPCOMMTIMEOUTS timeouts), (file, timeouts))             \
    X(BOOL, SetCommTimeouts, (HANDLE file, LPCOMMTIMEOUTS timeouts), (file, timeouts))             \
    X(BOOL, PurgeComm, (HANDLE file, DWORD flags), (file, flags))                                  \
    X(BOOL, ClearCommError, (HANDLE file, LPDWORD errors, LPCOMSTAT status),                       \
      (file, errors, status))                                                                      \
    /* ERROR_MORE_DATA when the value does not fit; the size then tells what it needs. */          \
    X(LONG, RegQueryValueExA,                                                                      \
      (HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size),          \
      (key, name, reserved, type, data, size))                                                     \
    X(LONG, RegCloseKey, (HKEY key), (key))                                                        \
    X(HMODULE, LoadLibraryA, (LPCSTR fileName), (fileName))                                        \
    X(FARPROC, GetProcAddress, (HMODULE module, LPCSTR name), (module, name))                      \
    X(BOOL, FreeLibrary, (HMODULE module), (module))                                               \
    /* Returns the previous mode. */                                                               \
    X(UINT, SetErrorMode, (UINT mode), (mode))                                                     \
    /* Length copied without the zero; the size needed (with it) when the buffer is short. */      \
    X(UINT, GetSystemDirectoryA, (LPSTR buffer, UINT size), (buffer, size))                        \
    X(DWORD, GetModuleFileNameA, (HMODULE module, LPSTR buffer, DWORD size),                       \
      (module, buffer, size))                                                                      \
    /* Copies the value, or the default; returns the length copied without the zero. */            \
    X(DWORD, GetPrivateProfileStringA,                                                             \
      (LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer, DWORD size,                  \
       LPCSTR fileName),                                                                           \
      (section, key, defaultValue, buffer, size, fileName))                                        \
    /* Creates the file on the first write; FALSE when it cannot be written. */                    \
    X(BOOL, WritePrivateProfileStringA,                                                            \
      (LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName),                                 \
      (section, key, value, fileName))                                                             \
    /* The wide forms: what the station uses, so that a path with characters outside the */        \
    /* ANSI code page works. Same results; lengths and sizes count UTF-16 units. */                \
    X(DWORD, GetModuleFileNameW, (HMODULE module, LPWSTR buffer, DWORD size),                      \
      (module, buffer, size))                                                                      \
    X(DWORD, GetPrivateProfileStringW,                                                             \
      (LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer, DWORD size,              \
       LPCWSTR fileName),                                                                          \
      (section, key, defaultValue, buffer, size, fileName))                                        \
    X(BOOL, WritePrivateProfileStringW,                                                            \
      (LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR fileName),                             \
      (section, key, value, fileName))                                                             \
    /* The 8.3 form of an existing path (the path itself where its volume keeps no short */        \
    /* names): length without the zero; the size needed (with it) when the buffer is short. */     \
    X(DWORD, GetShortPathNameW, (LPCWSTR longPath, LPWSTR shortPath, DWORD size),                  \
      (longPath, shortPath, size))                                                                 \
    /* TRUE where the file functions take paths of MAX_PATH and more (Windows 10 1607 on, */       \
    /* with LongPathsEnabled and the program's longPathAware manifest; Linux). */                  \
    X(BOOLEAN, RtlAreLongPathsEnabled, (), ())

namespace win {

// The backend contract: one pointer per function above.
struct Backend {
    const char* name;
#define WIN_SEAM_SLOT(result, fn, params, args) result(*fn) params;
    WIN_SEAM_FUNCTIONS(WIN_SEAM_SLOT)
#undef WIN_SEAM_SLOT
};

// The backend in force. Switched only while nothing is open (tests, start-up).
const Backend& backend();
void useBackend(const Backend& backend);

// The real Windows API; null where the station is not built for Windows.
const Backend* windowsBackend();

// The backend the seam starts on, picked when building: the real Windows API
// (windows/WinBackend.cpp), on Linux its real devices or the simulated machine
// when that machine's own setting asks for it (linux/DefaultBackend.cpp).
const Backend& defaultBackend();

#define WIN_SEAM_CALL(result, fn, params, args)                                                    \
    inline result fn params {                                                                      \
        return backend().fn args;                                                                  \
    }
WIN_SEAM_FUNCTIONS(WIN_SEAM_CALL)
#undef WIN_SEAM_CALL

} // namespace win
