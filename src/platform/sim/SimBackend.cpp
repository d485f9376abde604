// The seam's functions on the simulated machine. Each counts its call, can be
// made to fail by fault injection, and then behaves as Windows documents it.
#include "../Profile.h"
#include "../ProfileWide.h"
#include "../SetupApiRecords.h"
#include "SimMachine.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

Machine& m() {
    return machine();
}

// Returns true (after setting the last error) when the call is to fail.
bool failing(const char* function) {
    if (DWORD error = m().enter(function)) {
        m().setLastError(error);
        return true;
    }
    return false;
}

BOOL fail(DWORD error) {
    m().setLastError(error);
    return FALSE;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD flags, HANDLE) {
    if (failing("CreateFileA")) {
        return INVALID_HANDLE_VALUE;
    }
    if (fileName == nullptr) {
        m().setLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto device = m().device(fileName);
    if (!device || disposition != OPEN_EXISTING) {
        m().setLastError(device ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // A device opened without sharing cannot be opened again until it is closed.
    if (m().sharingConflict(device, share)) {
        m().setLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if (DWORD error = device->open(access, flags)) {
        m().setLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return m().add(std::make_shared<File>(fileName, device, flags, share));
}

template <class Prepare>
BOOL transfer(const char* function, HANDLE handle, DWORD count, LPDWORD done,
              LPOVERLAPPED overlapped, Prepare prepare) {
    if (failing(function)) {
        return FALSE;
    }
    auto file = m().get<File>(handle);
    if (!file) {
        return fail(ERROR_INVALID_HANDLE);
    }
    bool overlappedHandle = (file->flags & FILE_FLAG_OVERLAPPED) != 0;
    if (overlappedHandle && overlapped == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (done != nullptr) {
        *done = 0;
    }
    Io io;
    io.count = count;
    prepare(io);
    if (overlappedHandle) {
        auto result = m().startIo(handle, file, std::move(io), overlapped);
        if (!result->complete) {
            return fail(ERROR_IO_PENDING);
        }
        if (done != nullptr) {
            *done = result->done;
        }
        return result->error == 0 ? TRUE : fail(result->error);
    }
    m().runToCompletion(file, io);
    if (done != nullptr) {
        *done = io.done;
    }
    return io.error == 0 ? TRUE : fail(io.error);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    return transfer("ReadFile", file, count, done, overlapped, [&](Io& io) {
        io.isRead = true;
        io.buffer = static_cast<std::uint8_t*>(buffer);
    });
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    return transfer("WriteFile", file, count, done, overlapped, [&](Io& io) {
        io.isRead = false;
        io.data.assign(static_cast<const char*>(buffer), count);
    });
}

BOOL CloseHandle(HANDLE object) {
    if (failing("CloseHandle")) {
        return FALSE;
    }
    return m().close(object) ? TRUE : fail(ERROR_INVALID_HANDLE);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    if (failing("CreateEventA")) {
        return nullptr;
    }
    return m().add(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    if (failing("WaitForSingleObject")) {
        return WAIT_FAILED;
    }
    auto event = m().get<Event>(object);
    if (!event) {
        m().setLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::uint64_t deadline = milliseconds == INFINITE ? kNever : m().now() + milliseconds;
    if (m().waitEvent(event, deadline)) {
        return WAIT_OBJECT_0;
    }
    return milliseconds == INFINITE ? WAIT_FAILED : WAIT_TIMEOUT;
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD done, BOOL wait) {
    if (failing("GetOverlappedResult")) {
        return FALSE;
    }
    if (!m().get<File>(file) || overlapped == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (m().pendingFor(overlapped)) {
        if (wait == FALSE) {
            m().advanceTo(m().now()); // let a transfer that is due finish
        }
        if (m().pendingFor(overlapped)) {
            if (wait == FALSE || !m().completeWaiting(overlapped)) {
                return fail(ERROR_IO_INCOMPLETE);
            }
        }
    }
    if (done != nullptr) {
        *done = static_cast<DWORD>(overlapped->InternalHigh);
    }
    auto status = static_cast<DWORD>(overlapped->Internal);
    return status == 0 ? TRUE : fail(status);
}

BOOL CancelIo(HANDLE file) {
    if (failing("CancelIo")) {
        return FALSE;
    }
    if (!m().get<File>(file)) {
        return fail(ERROR_INVALID_HANDLE);
    }
    m().cancelIo(file);
    return TRUE;
}

DWORD GetLastError() {
    m().enter("GetLastError");
    return m().lastError();
}

void SetLastError(DWORD error) {
    m().enter("SetLastError");
    m().setLastError(error);
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    if (failing("GetVersionExA")) {
        return FALSE;
    }
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    *info = m().version;
    return TRUE;
}

DWORD GetTickCount() {
    m().enter("GetTickCount");
    return static_cast<DWORD>(m().now());
}

void Sleep(DWORD milliseconds) {
    m().enter("Sleep");
    m().advance(milliseconds);
}

template <class Op> BOOL comm(const char* function, HANDLE handle, Op op) {
    if (failing(function)) {
        return FALSE;
    }
    auto file = m().get<File>(handle);
    if (!file) {
        return fail(ERROR_INVALID_HANDLE);
    }
    auto port = std::dynamic_pointer_cast<CommPort>(file->device);
    if (!port) {
        return fail(ERROR_INVALID_FUNCTION);
    }
    if (file->gone) {
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    return op(*port);
}

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    return comm("GetCommState", file, [&](CommPort& p) { return p.getState(*dcb); });
}
BOOL SetCommState(HANDLE file, LPDCB dcb) {
    return comm("SetCommState", file, [&](CommPort& p) { return p.setState(*dcb); });
}
BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    return comm("GetCommTimeouts", file, [&](CommPort& p) { return p.getTimeouts(*timeouts); });
}
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    return comm("SetCommTimeouts", file, [&](CommPort& p) { return p.setTimeouts(*timeouts); });
}
BOOL PurgeComm(HANDLE file, DWORD flags) {
    return comm("PurgeComm", file, [&](CommPort& p) { return p.purge(flags); });
}
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    return comm("ClearCommError", file, [&](CommPort& p) { return p.clearError(errors, status); });
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (DWORD error = m().enter("RegQueryValueExA")) {
        return static_cast<LONG>(error);
    }
    auto regKey = m().get<RegKey>(reinterpret_cast<HANDLE>(key));
    if (!regKey) {
        return ERROR_INVALID_HANDLE;
    }
    auto it = regKey->values.find(upper(name != nullptr ? name : ""));
    if (it == regKey->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    return setupapi_records::copyRegValue(it->second, type, data, size);
}

LONG RegCloseKey(HKEY key) {
    if (DWORD error = m().enter("RegCloseKey")) {
        return static_cast<LONG>(error);
    }
    if (!m().get<RegKey>(reinterpret_cast<HANDLE>(key))) {
        return ERROR_INVALID_HANDLE;
    }
    m().close(reinterpret_cast<HANDLE>(key));
    return ERROR_SUCCESS;
}

HMODULE LoadLibraryA(LPCSTR fileName) {
    if (failing("LoadLibraryA")) {
        return nullptr;
    }
    if (fileName == nullptr) {
        m().setLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return m().loadModule(fileName);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (failing("GetProcAddress")) {
        return nullptr;
    }
    if (name == nullptr || m().loadedPath(module).empty()) {
        m().setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    FARPROC address = m().procAddress(module, name);
    if (address == nullptr) {
        m().setLastError(ERROR_PROC_NOT_FOUND);
    }
    return address;
}

BOOL FreeLibrary(HMODULE module) {
    if (failing("FreeLibrary")) {
        return FALSE;
    }
    return m().freeModule(module) ? TRUE : FALSE;
}

UINT SetErrorMode(UINT mode) {
    m().enter("SetErrorMode");
    return m().swapErrorMode(mode);
}

// Copies text the way the ANSI path functions do: the length without the zero
// when it fits, else the size needed with it.
UINT copyPath(const std::string& text, LPSTR buffer, UINT size) {
    if (buffer == nullptr || size <= text.size()) {
        return static_cast<UINT>(text.size() + 1);
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<UINT>(text.size());
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    if (failing("GetSystemDirectoryA")) {
        return 0;
    }
    return copyPath(m().systemDirectory(), buffer, size);
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    if (failing("GetModuleFileNameA")) {
        return 0;
    }
    if (module != nullptr) {
        m().setLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    // A short buffer gets the name cut to fit, zero-terminated, and the error.
    const std::string& path = m().moduleFileName();
    if (buffer == nullptr || size == 0) {
        m().setLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (size <= path.size()) {
        std::memcpy(buffer, path.data(), size - 1);
        buffer[size - 1] = '\0';
        m().setLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

// A read that fails still hands back the default, as for a missing file.
DWORD defaultOnly(LPCSTR, LPCSTR, LPCSTR defaultValue, LPSTR buffer, DWORD size, LPCSTR) {
    std::string text = defaultValue != nullptr ? defaultValue : "";
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    std::size_t n = std::min<std::size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer,
                               DWORD size, LPCSTR fileName) {
    if (failing("GetPrivateProfileStringA")) {
        return defaultOnly(section, key, defaultValue, buffer, size, fileName);
    }
    DWORD error = 0;
    DWORD n = profile::GetString(section, key, defaultValue, buffer, size, fileName, &error);
    m().setLastError(error);
    return n;
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
    if (failing("WritePrivateProfileStringA")) {
        return FALSE;
    }
    DWORD error = 0;
    BOOL ok = profile::WriteString(section, key, value, fileName, &error);
    if (!ok) {
        m().setLastError(error);
    }
    return ok;
}

// The wide forms go through the narrow ones above: a fault injected into
// either reaches the caller.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    if (failing("GetModuleFileNameW")) {
        return 0;
    }
    return profile::ModuleFileNameW(&GetModuleFileNameA, &SetLastError, module, buffer, size);
}

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                               DWORD size, LPCWSTR fileName) {
    return profile::GetStringW(failing("GetPrivateProfileStringW") ? &defaultOnly
                                                                   : &GetPrivateProfileStringA,
                               section, key, defaultValue, buffer, size, fileName);
}

BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR fileName) {
    if (failing("WritePrivateProfileStringW")) {
        return FALSE;
    }
    return profile::WriteStringW(&WritePrivateProfileStringA, section, key, value, fileName);
}

DWORD GetShortPathNameW(LPCWSTR longPath, LPWSTR shortPath, DWORD size) {
    if (failing("GetShortPathNameW")) {
        return 0;
    }
    return profile::ShortPathNameW(longPath, shortPath, size);
}

// Linux file names know no MAX_PATH; a test that fails it models a Windows without long paths.
BOOLEAN RtlAreLongPathsEnabled() {
    return failing("RtlAreLongPathsEnabled") ? FALSE : TRUE;
}

} // namespace

const win::Backend& backend() {
    static const win::Backend table = {"simulated machine",
#define SIM_SEAM_SLOT(result, fn, params, args) &sim::fn,
                                       WIN_SEAM_FUNCTIONS(SIM_SEAM_SLOT)
#undef SIM_SEAM_SLOT
    };
    return table;
}

} // namespace sim
