// The seam's functions as the Linux backend answers them, one file per group
// (Files.cpp, Comm.cpp, System.cpp); LinuxBackend.cpp puts them in the table.
#pragma once

#include "../WinConvTypes.h"

#include <map>
#include <string>

namespace lnx {

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE object);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD done, BOOL wait);
BOOL CancelIo(HANDLE file);

BOOL GetCommState(HANDLE file, LPDCB dcb);
BOOL SetCommState(HANDLE file, LPDCB dcb);
BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status);
// Puts a freshly opened tty into raw mode and fills the settings Windows keeps.
bool prepareTty(int fd, DCB& dcb);

// The built-in "SetupApi.dll" and "HID.dll": every name the binding resolves.
const std::map<std::string, FARPROC>& setupApiExports();
const std::map<std::string, FARPROC>& hidExports();

} // namespace lnx
