// The rest of the seam on Linux, and the table of the backend.
#include "LinuxBackend.h"

#include "../Profile.h"
#include "../ProfileWide.h"
#include "../SetupApiRecords.h"
#include "Functions.h"
#include "Objects.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace lnx {
namespace {

// The built-in libraries are loaded from this directory only, as the binding
// asks for them on Windows; no file stands behind the name.
constexpr const char* kSystemDirectory = "C:\\Windows\\System32";

bool sameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

DWORD GetLastError() {
    return lastError();
}

void SetLastError(DWORD error) {
    setLastError(error);
}

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    if (info == nullptr || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        setLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // The station asks only to size its HID buffers and to know which HID
    // functions exist; answer as the NT family of today does (6.x).
    *info = OSVERSIONINFOA{};
    info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 2;
    info->dwBuildNumber = 9200;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    return TRUE;
}

DWORD GetTickCount() {
    return static_cast<DWORD>(nowMs()); // wraps after 49.7 days, as on Windows
}

void Sleep(DWORD milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    auto regKey = handles().get<RegKey>(reinterpret_cast<HANDLE>(key));
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
    auto handle = reinterpret_cast<HANDLE>(key);
    if (!handles().get<RegKey>(handle)) {
        return ERROR_INVALID_HANDLE;
    }
    handles().close(handle);
    return ERROR_SUCCESS;
}

HMODULE LoadLibraryA(LPCSTR fileName) {
    if (fileName == nullptr) {
        setLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string_view path = fileName;
    auto slash = path.find_last_of('\\');
    std::string_view directory = slash == std::string_view::npos ? "" : path.substr(0, slash);
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::map<std::string, FARPROC>* exports = nullptr;
    if (sameText(directory, kSystemDirectory) && sameText(name, "SetupApi.dll")) {
        exports = &setupApiExports();
    } else if (sameText(directory, kSystemDirectory) && sameText(name, "HID.dll")) {
        exports = &hidExports();
    }
    if (exports == nullptr) {
        setLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(handles().add(std::make_shared<Module>(exports)));
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    auto library = handles().get<Module>(reinterpret_cast<HANDLE>(module));
    if (!library || name == nullptr) {
        setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto it = library->exports->find(name);
    if (it == library->exports->end()) {
        setLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return it->second;
}

BOOL FreeLibrary(HMODULE module) {
    if (!handles().close(reinterpret_cast<HANDLE>(module))) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

UINT SetErrorMode(UINT mode) {
    // There is no error box to keep away; the mode is only kept.
    static UINT current = 0;
    UINT previous = current;
    current = mode;
    return previous;
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    const std::size_t length = std::strlen(kSystemDirectory);
    if (buffer == nullptr || size <= length) {
        return static_cast<UINT>(length + 1);
    }
    std::memcpy(buffer, kSystemDirectory, length + 1);
    return static_cast<UINT>(length);
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    if (module != nullptr) {
        setLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (buffer == nullptr || size == 0) {
        setLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        setLastError(errorFromErrno(errno));
        return 0;
    }
    auto length = static_cast<std::size_t>(n);
    // A short buffer gets the name cut to fit, zero-terminated, and the error.
    if (size <= length) {
        std::memcpy(buffer, path, size - 1);
        buffer[size - 1] = '\0';
        setLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path, length);
    buffer[length] = '\0';
    return static_cast<DWORD>(length);
}

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer,
                               DWORD size, LPCSTR fileName) {
    DWORD error = 0;
    DWORD n = profile::GetString(section, key, defaultValue, buffer, size, fileName, &error);
    setLastError(error);
    return n;
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
    DWORD error = 0;
    BOOL ok = profile::WriteString(section, key, value, fileName, &error);
    if (!ok) {
        setLastError(error);
    }
    return ok;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    return profile::ModuleFileNameW(&GetModuleFileNameA, &SetLastError, module, buffer, size);
}

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue, LPWSTR buffer,
                               DWORD size, LPCWSTR fileName) {
    return profile::GetStringW(&GetPrivateProfileStringA, section, key, defaultValue, buffer, size,
                               fileName);
}

BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR fileName) {
    return profile::WriteStringW(&WritePrivateProfileStringA, section, key, value, fileName);
}

DWORD GetShortPathNameW(LPCWSTR longPath, LPWSTR shortPath, DWORD size) {
    return profile::ShortPathNameW(longPath, shortPath, size);
}

BOOLEAN RtlAreLongPathsEnabled() {
    return TRUE; // Linux file names know no MAX_PATH
}

} // namespace

const win::Backend& backend() {
    static const win::Backend table = {"linux",
#define LNX_SEAM_SLOT(result, fn, params, args) &lnx::fn,
                                       WIN_SEAM_FUNCTIONS(LNX_SEAM_SLOT)
#undef LNX_SEAM_SLOT
    };
    return table;
}

} // namespace lnx
