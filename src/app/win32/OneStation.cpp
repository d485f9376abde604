#include "OneStation.h"

#include "Utf16.h"

#include <vector>

namespace {

constexpr wchar_t kMarkName[] = L"EvaluatorStation.CountersFile";

// What a Windows path function wrote into a buffer it was asked the size of.
template <class Call> std::wstring pathFrom(Call call) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = call(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(length + 1);
    }
}

// FNV-1a over the UTF-16 units: a short, fixed-size name for any path (a
// mutex name may hold no '\' and no more than MAX_PATH characters).
std::uint64_t keyOf(const std::wstring& path) {
    std::uint64_t hash = 14695981039346656037ull;
    for (wchar_t unit : path) {
        for (int shift = 0; shift < 16; shift += 8) {
            hash = (hash ^ ((static_cast<std::uint16_t>(unit) >> shift) & 0xff)) * 1099511628211ull;
        }
    }
    return hash;
}

struct Search {
    std::uintptr_t mark;
    HWND found = nullptr;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<Search*>(context);
    if (reinterpret_cast<std::uintptr_t>(GetPropW(window, kMarkName)) == search.mark) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

std::wstring comparablePath(const std::wstring& path) {
    std::wstring full = pathFrom([&](wchar_t* buffer, DWORD size) {
        return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
    if (full.empty()) {
        full = path;
    }
    // The file itself may not exist yet; its folder does.
    const std::size_t slash = full.find_last_of(L'\\');
    if (slash != std::wstring::npos && slash > 0) {
        const std::wstring folder = full.substr(0, slash);
        const std::wstring longFolder = pathFrom([&](wchar_t* buffer, DWORD size) {
            return GetLongPathNameW(folder.c_str(), buffer, size);
        });
        if (!longFolder.empty()) {
            full = longFolder + full.substr(slash);
        }
    }
    if (!full.empty()) {
        CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
    }
    return full;
}

StationClaim::StationClaim(const std::string& countersPath) {
    if (countersPath.empty()) {
        return;
    }
    key_ = keyOf(comparablePath(toUtf16(countersPath)));
    // Global: one station per file on the machine, whichever user's session it
    // runs in (the devices are the machine's). A mutex of another user's
    // station cannot be opened, which says as much. (The key in hex by hand:
    // MinGW's swprintf alone would add 15 kB to the program.)
    std::wstring name = L"Global\\EvaluatorStation-";
    for (int shift = 60; shift >= 0; shift -= 4) {
        name += L"0123456789abcdef"[(key_ >> shift) & 0xf];
    }
    mutex_ = CreateMutexW(nullptr, FALSE, name.c_str());
    const DWORD error = GetLastError();
    heldElsewhere_ =
        error == ERROR_ALREADY_EXISTS || (mutex_ == nullptr && error == ERROR_ACCESS_DENIED);
}

StationClaim::~StationClaim() {
    if (mutex_ != nullptr) {
        CloseHandle(mutex_);
    }
}

void StationClaim::mark(HWND window) const {
    if (key_ != 0) {
        SetPropW(window, kMarkName, reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(key_)));
    }
}

bool StationClaim::bringHolderToFront() const {
    Search search{static_cast<std::uintptr_t>(key_)};
    // A station started a moment ago holds the file before its window exists.
    for (int look = 0; look < 8 && search.found == nullptr; ++look) {
        if (look > 0) {
            Sleep(100);
        }
        EnumWindows(&matchWindow, reinterpret_cast<LPARAM>(&search));
    }
    if (search.found == nullptr) {
        return false;
    }
    // Asynchronous: the running station may be in a five-second key wait.
    if (IsIconic(search.found)) {
        ShowWindowAsync(search.found, SW_RESTORE);
    }
    SetForegroundWindow(search.found);
    return true;
}
