#include "ProfileFile.h"

#include "Win.h"

#include <charconv>
#include <vector>

ProfileWriteError::ProfileWriteError(const std::string& path)
    : std::runtime_error("Unable to write to " + path) {}

std::int32_t ProfileFile::readInteger(const char* section, const char* key,
                                      std::int32_t defaultValue) const {
    // A counter is at most 11 characters; a longer value cannot be in range, and
    // a truncated copy of it must not read as a smaller number.
    char buffer[64] = {};
    if (path_.empty()) {
        return defaultValue;
    }
    const DWORD length =
        win::GetPrivateProfileStringA(section, key, "", buffer, sizeof buffer, path_.c_str());
    if (length == 0 || length >= sizeof buffer - 1) {
        return defaultValue;
    }
    return parseInteger(std::string_view(buffer, length), defaultValue);
}

void ProfileFile::writeInteger(const char* section, const char* key, std::int32_t value) {
    const std::string text = std::to_string(value);
    if (path_.empty() ||
        !win::WritePrivateProfileStringA(section, key, text.c_str(), path_.c_str())) {
        throw ProfileWriteError(path_);
    }
}

std::int32_t parseInteger(std::string_view text, std::int32_t defaultValue) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return defaultValue;
        }
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return defaultValue;
    }
    return value;
}

std::string pathBesideProgram(std::string_view programPath, std::string_view fileName) {
    const auto separator = programPath.find_last_of("\\/");
    std::string path(separator == std::string_view::npos ? std::string_view()
                                                         : programPath.substr(0, separator + 1));
    path += fileName;
    return path;
}

std::string programPath() {
    // A path that does not fit is cut short (before Windows Vista without any
    // error and without the terminating zero): grow the buffer until it fits.
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            win::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            return std::string(buffer.data(), length);
        }
        if (buffer.size() >= 32768) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}
