#include "ProfileFile.h"

#include "Utf16.h"
#include "Win.h"

#include <charconv>
#include <iterator>
#include <vector>

ProfileWriteError::ProfileWriteError(const std::string& path)
    : std::runtime_error("Unable to write to " + path) {}

ProfilePathError::ProfilePathError(const std::string& path)
    : std::runtime_error("Unable to use " + path +
                         ": its path is too long. Move the station's folder to a shorter path.") {}

namespace {

bool startsWith(const WideString& text, const WideString& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The name the profile functions get for a path. They take one shorter than
// MAX_PATH without any system setting; a longer one only where the system
// allows long paths (RtlAreLongPathsEnabled). Under Wine 8 nothing longer
// works, neither as it is nor after "\\?\". So a longer path goes in its
// short (8.3) form, where its volume keeps short names and that form is short
// enough, else as it is.
WideString profileName(const std::string& path) {
    const WideString wide = toUtf16(path);
    const auto separator = wide.find_last_of(toUtf16("\\/"));
    if (wide.size() < MAX_PATH || separator == WideString::npos) {
        return wide;
    }
    // The folder exists (the program is in it); a folder that long is looked
    // up only with the prefix, "\\?\UNC\" for a share.
    const WideString unc = toUtf16(R"(\\?\UNC\)");
    const WideString local = toUtf16(R"(\\?\)");
    const WideString folder = wide.substr(0, separator);
    const WideString lookup = startsWith(folder, local)              ? folder
                              : startsWith(folder, toUtf16(R"(\\)")) ? unc + folder.substr(2)
                                                                     : local + folder;
    std::vector<WCHAR> buffer(lookup.size() + 1);
    const DWORD length =
        win::GetShortPathNameW(lookup.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) {
        return wide;
    }
    WideString name(buffer.data(), length);
    if (startsWith(name, unc)) {
        name = toUtf16(R"(\\)") + name.substr(unc.size());
    } else if (startsWith(name, local)) {
        name.erase(0, local.size());
    }
    name += wide.substr(separator);
    return name.size() < MAX_PATH ? name : wide;
}

} // namespace

ProfileFile::ProfileFile(std::string path)
    : path_(std::move(path)), name_(profileName(path_)),
      reachable_(name_.size() < MAX_PATH || win::RtlAreLongPathsEnabled()) {}

// The path is kept in UTF-8 (what the error box shows) and goes to the wide
// functions as UTF-16: the narrow ones know only the ANSI code page, and a
// folder named outside it would read and write a path with '?' in it. The
// file itself stays ANSI text: Windows writes a file without a UTF-16
// byte-order mark, and creates a new one, in the ANSI code page.
std::int32_t ProfileFile::readInteger(const char* section, const char* key,
                                      std::int32_t defaultValue) const {
    // A counter is at most 11 characters; a longer value cannot be in range, and
    // a truncated copy of it must not read as a smaller number.
    WCHAR buffer[64] = {};
    if (path_.empty() || !reachable_) {
        return defaultValue;
    }
    const DWORD length = win::GetPrivateProfileStringW(
        toUtf16(section).c_str(), toUtf16(key).c_str(), toUtf16("").c_str(), buffer,
        static_cast<DWORD>(std::size(buffer)), name_.c_str());
    if (length == 0 || length >= std::size(buffer) - 1) {
        return defaultValue;
    }
    return parseInteger(toUtf8(WideStringView(buffer, length)), defaultValue);
}

void ProfileFile::writeInteger(const char* section, const char* key, std::int32_t value) {
    const std::string text = std::to_string(value);
    if (path_.empty() || !reachable_ ||
        !win::WritePrivateProfileStringW(toUtf16(section).c_str(), toUtf16(key).c_str(),
                                         toUtf16(text).c_str(), name_.c_str())) {
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
    // The path is UTF-8, where no byte of a multi-byte character is below 0x80:
    // a '\' (0x5C) is always a separator (in a double-byte ANSI code page it
    // may be the second byte of a character).
    const auto separator = programPath.find_last_of("\\/");
    std::string path(separator == std::string_view::npos ? std::string_view()
                                                         : programPath.substr(0, separator + 1));
    path += fileName;
    return path;
}

std::string programPath() {
    // A path that does not fit is cut short (before Windows Vista without any
    // error and without the terminating zero): grow the buffer until it fits.
    std::vector<WCHAR> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            win::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            return toUtf8(WideStringView(buffer.data(), length));
        }
        if (buffer.size() >= 32768) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string countersFilePath() {
    const std::string program = programPath();
    return program.empty() ? std::string() : pathBesideProgram(program, "test.ini");
}
