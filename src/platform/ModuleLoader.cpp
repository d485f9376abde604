#include "ModuleLoader.h"

#include "Win.h"

#include <string>
#include <string_view>

namespace {

// <system directory>\<file name>, or empty when the directory cannot be read.
std::string systemPath(std::string_view fileName) {
    char directory[MAX_PATH];
    const UINT length = win::GetSystemDirectoryA(directory, sizeof directory);
    // 0 is a failure; a length that does not fit is the size the path would need.
    if (length == 0 || length >= sizeof directory) {
        return {};
    }
    std::string path(directory, length);
    if (path.back() != '\\') {
        path += '\\';
    }
    path += fileName;
    return path;
}

// A bare file name: anything with a directory or drive part could name a
// library outside the system directory.
bool isPlainFileName(std::string_view name) {
    return !name.empty() && name.find_first_of("\\/:") == std::string_view::npos && name != "." &&
           name != "..";
}

} // namespace

bool OpenLibrary(HMODULE& handle, const char* fileName) {
    if (handle != nullptr) {
        return true;
    }
    if (fileName == nullptr || !isPlainFileName(fileName)) {
        return false;
    }
    const std::string path = systemPath(fileName);
    if (path.empty()) {
        return false;
    }
    // Without this a missing library or one of its dependencies would stop
    // start-up with a message box instead of leaving the binding empty.
    const UINT previousMode = win::SetErrorMode(SEM_NOOPENFILEERRORBOX);
    handle = win::LoadLibraryA(path.c_str());
    win::SetErrorMode(previousMode);
    return handle != nullptr;
}

void CloseLibrary(HMODULE& handle) {
    if (handle != nullptr) {
        win::FreeLibrary(handle);
        handle = nullptr;
    }
}

FARPROC ResolveSymbol(HMODULE handle, const char* name, bool& allResolved) {
    FARPROC address = nullptr;
    if (handle != nullptr && name != nullptr) {
        address = win::GetProcAddress(handle, name);
    }
    if (address == nullptr) {
        allResolved = false;
    }
    return address;
}
