#include "ProfileWide.h"

#include "Utf16.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace profile {
namespace {

// NULL stays NULL: the profile functions give it a meaning of its own.
std::optional<std::string> narrowed(LPCWSTR text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    return toUtf8(WideStringView(text));
}

LPCSTR pointer(const std::optional<std::string>& text) {
    return text ? text->c_str() : nullptr;
}

// Calls a narrow function that fills a byte buffer until what it returns is not
// cut short: fewer bytes than the buffer minus the room the list form needs
// for its two zeros.
template <class Call> std::string whole(Call call) {
    std::vector<char> bytes(512);
    for (;;) {
        const DWORD length = call(bytes.data(), static_cast<DWORD>(bytes.size()));
        if (length + 2 < bytes.size() || bytes.size() >= (1u << 24)) {
            return std::string(bytes.data(), std::min<std::size_t>(length, bytes.size()));
        }
        bytes.resize(bytes.size() * 2);
    }
}

} // namespace

DWORD ModuleFileNameW(NarrowModuleFileName narrow, LastErrorSetter setLastError, HMODULE module,
                      LPWSTR buffer, DWORD size) {
    if (module != nullptr || buffer == nullptr || size == 0) {
        return narrow(module, nullptr, 0); // its error: no such module, or no room
    }
    bool failed = false;
    const std::string path = whole([&](LPSTR bytes, DWORD capacity) {
        const DWORD length = narrow(nullptr, bytes, capacity);
        failed = length == 0;
        return length;
    });
    if (failed) {
        return 0;
    }
    const WideString wide = toUtf16(path);
    if (size <= wide.size()) {
        std::copy_n(wide.data(), size - 1, buffer);
        buffer[size - 1] = 0;
        setLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy(wide.begin(), wide.end(), buffer);
    buffer[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}

DWORD GetStringW(NarrowGetString narrow, LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue,
                 LPWSTR buffer, DWORD size, LPCWSTR fileName) {
    const auto sectionName = narrowed(section);
    const auto keyName = narrowed(key);
    const auto fallback = narrowed(defaultValue);
    const auto file = narrowed(fileName);
    if (buffer == nullptr || size == 0) {
        return narrow(pointer(sectionName), pointer(keyName), pointer(fallback), nullptr, 0,
                      pointer(file));
    }
    const WideString text = toUtf16(whole([&](LPSTR bytes, DWORD capacity) {
        return narrow(pointer(sectionName), pointer(keyName), pointer(fallback), bytes, capacity,
                      pointer(file));
    }));
    // A list of names (no section or no key) ends with a zero after its last
    // name; one that does not fit is cut and ends with two zeros.
    const bool list = (section == nullptr || key == nullptr) && !text.empty() && text.back() == 0;
    if (text.size() < size) {
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = 0;
        return static_cast<DWORD>(text.size());
    }
    if (list && size >= 2) {
        std::copy_n(text.data(), size - 2, buffer);
        buffer[size - 2] = 0;
        buffer[size - 1] = 0;
        return size - 2;
    }
    std::copy_n(text.data(), size - 1, buffer);
    buffer[size - 1] = 0;
    return size - 1;
}

BOOL WriteStringW(NarrowWriteString narrow, LPCWSTR section, LPCWSTR key, LPCWSTR value,
                  LPCWSTR fileName) {
    const auto sectionName = narrowed(section);
    const auto keyName = narrowed(key);
    const auto text = narrowed(value);
    const auto file = narrowed(fileName);
    return narrow(pointer(sectionName), pointer(keyName), pointer(text), pointer(file));
}

DWORD ShortPathNameW(LPCWSTR longPath, LPWSTR buffer, DWORD size) {
    const WideStringView path = longPath != nullptr ? WideStringView(longPath) : WideStringView();
    if (buffer == nullptr || size <= path.size()) {
        return static_cast<DWORD>(path.size() + 1);
    }
    std::copy(path.begin(), path.end(), buffer);
    buffer[path.size()] = 0;
    return static_cast<DWORD>(path.size());
}

} // namespace profile
