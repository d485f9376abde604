// The profile functions on the real file system. A call reads the whole file and
// splits it into lines; a write builds the new contents from the old bytes with
// one line changed, added or removed, and replaces the file in one step. Keeping
// every other byte is what Windows does, and lets a hand-edited file keep its
// comments, blank lines and layout.
#include "Profile.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace profile {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t npos = std::string_view::npos;
constexpr DWORD kErrorDiskFull = 112; // ERROR_DISK_FULL, which WriteFile gives on a full disk

void report(DWORD* lastError, DWORD error) {
    if (lastError != nullptr) {
        *lastError = error;
    }
}

// What Windows skips around lines, names and values: the C locale's white space
// and the DOS end-of-file mark 0x1A, which old editors leave at the end.
bool isBlank(char c) {
    auto u = static_cast<unsigned char>(c);
    return (u >= 0x09 && u <= 0x0d) || u == 0x1a || u == 0x20;
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::string_view trim(std::string_view s) {
    return trimLeft(trimRight(s));
}

char foldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return foldAscii(x) == foldAscii(y);
           });
}

// A name or value handed back in a zero-terminated buffer ends at its first zero
// byte, as it does for Windows, which reads the file into a C string.
std::string_view upToZero(std::string_view s) {
    return s.substr(0, s.find('\0'));
}

std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

std::string_view dropTrailingSpaces(std::string_view s) {
    while (!s.empty() && s.back() == ' ') {
        s.remove_suffix(1);
    }
    return s;
}

// ---------------------------------------------------------------------------
// The file as lines and sections.

// Finds line ends: the next CR or LF at or after a position, the size when none.
// One memchr scan per character, each remembered until passed, keeps a file of
// many megabytes quick to split even in an unoptimised build.
class LineEnds {
public:
    explicit LineEnds(std::string_view text)
        : text_(text), cr_(find('\r', 0)), lf_(find('\n', 0)) {}

    std::size_t next(std::size_t pos) {
        if (cr_ < pos) {
            cr_ = find('\r', pos);
        }
        if (lf_ < pos) {
            lf_ = find('\n', pos);
        }
        return std::min(cr_, lf_);
    }

private:
    std::size_t find(char c, std::size_t pos) const {
        const void* hit = std::memchr(text_.data() + pos, c, text_.size() - pos);
        return hit != nullptr
                   ? static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data())
                   : text_.size();
    }

    std::string_view text_;
    std::size_t cr_;
    std::size_t lf_;
};

enum class Kind { Blank, Header, Entry };

struct Line {
    std::size_t begin = 0; // first byte (after the byte-order mark on the first line)
    std::size_t end = 0;   // first byte of the line end
    std::size_t next = 0;  // first byte after the line end; == end on an unended last line
    Kind kind = Kind::Blank;
    std::string_view name; // a header's section name, an entry's key name
    bool hasValue = false; // the entry has an '='
    std::string_view value;
};

struct Section {
    std::string_view name;
    std::size_t header; // index of the header line; npos for the lines before the first header
    std::size_t first;  // index of its first line after the header
    std::size_t last;   // one past the index of its last line
};

class Document {
public:
    explicit Document(std::string bytes) : bytes_(std::move(bytes)) { parse(); }
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    const std::string& bytes() const { return bytes_; }
    const std::vector<Line>& lines() const { return lines_; }
    const std::vector<Section>& sections() const { return sections_; }
    std::size_t contentStart() const { return contentStart_; }

    // Only the first section of a name is ever searched, as Windows does.
    const Section* findSection(std::string_view name) const {
        for (const Section& s : sections_) {
            if (sameName(s.name, name)) {
                return &s;
            }
        }
        return nullptr;
    }

    const Line* findKey(const Section& section, std::string_view name) const {
        for (std::size_t i = section.first; i < section.last; ++i) {
            if (lines_[i].kind == Kind::Entry && sameName(lines_[i].name, name)) {
                return &lines_[i];
            }
        }
        return nullptr;
    }

    // Keys as a key list shows them: entries with an '=' and a name, not comments.
    std::vector<std::string_view> keyNames(const Section& section) const {
        std::vector<std::string_view> names;
        for (std::size_t i = section.first; i < section.last; ++i) {
            const Line& line = lines_[i];
            std::string_view name = upToZero(line.name);
            if (line.kind == Kind::Entry && line.hasValue && !name.empty() && name.front() != ';') {
                names.push_back(name);
            }
        }
        return names;
    }

    std::vector<std::string_view> sectionNames() const {
        std::vector<std::string_view> names;
        for (const Section& s : sections_) {
            std::string_view name = upToZero(s.name);
            if (s.header != npos && !name.empty()) {
                names.push_back(name);
            }
        }
        return names;
    }

    // The line a new key of the section goes after: its last line that is not
    // blank (the header when it has none), so blank lines before the next section
    // stay there. None for an empty stretch before the first header.
    const Line* lastFilledLine(const Section& section) const {
        for (std::size_t i = section.last; i > section.first; --i) {
            if (lines_[i - 1].kind != Kind::Blank) {
                return &lines_[i - 1];
            }
        }
        return section.header != npos ? &lines_[section.header] : nullptr;
    }

private:
    void parse() {
        std::string_view all(bytes_);
        if (all.substr(0, 3) == "\xEF\xBB\xBF") {
            contentStart_ = 3;
        }
        sections_.push_back({{}, npos, 0, 0});
        std::size_t pos = contentStart_;
        LineEnds ends(all);
        while (pos < all.size()) {
            Line line;
            line.begin = pos;
            line.end = ends.next(pos);
            line.next = line.end;
            if (line.end < all.size()) {
                line.next = line.end + 1;
                if (all[line.end] == '\r' && line.next < all.size() && all[line.next] == '\n') {
                    ++line.next;
                }
            }
            classify(line, trim(all.substr(line.begin, line.end - line.begin)));
            if (line.kind == Kind::Header) {
                sections_.back().last = lines_.size();
                sections_.push_back({line.name, lines_.size(), lines_.size() + 1, 0});
            }
            lines_.push_back(line);
            pos = line.next;
        }
        sections_.back().last = lines_.size();
    }

    // A header is a line that starts with '[' and has a ']' after it (text after
    // the last ']' is ignored); any other non-blank line is an entry, named by what
    // comes before its first '=' ("name" alone is an entry without a value).
    static void classify(Line& line, std::string_view text) {
        if (text.empty()) {
            return;
        }
        if (text.front() == '[') {
            std::size_t close = text.rfind(']');
            if (close != npos && close > 0) {
                line.kind = Kind::Header;
                line.name = trim(text.substr(1, close - 1));
                return;
            }
        }
        line.kind = Kind::Entry;
        std::size_t equals = text.find('=');
        if (equals == npos) {
            line.name = text;
            return;
        }
        line.name = trimRight(text.substr(0, equals));
        line.hasValue = true;
        line.value = trimLeft(text.substr(equals + 1));
    }

    std::string bytes_;
    std::size_t contentStart_ = 0;
    std::vector<Line> lines_;
    std::vector<Section> sections_;
};

// ---------------------------------------------------------------------------
// Edits. Each returns the new contents, or nothing when the file stays as it is.

std::string splice(const std::string& bytes, std::size_t from, std::size_t to,
                   std::string_view text) {
    std::string out;
    out.reserve(bytes.size() - (to - from) + text.size());
    out.append(bytes, 0, from);
    out.append(text);
    out.append(bytes, to, npos);
    return out;
}

std::string entryText(std::string_view key, std::string_view value) {
    std::string text(key);
    text += '=';
    text += value;
    return text;
}

std::optional<std::string> setValue(const Document& doc, std::string_view sectionName,
                                    std::string_view keyName, std::string_view value) {
    const std::string& bytes = doc.bytes();
    const Section* section = doc.findSection(sectionName);
    if (section == nullptr) {
        std::string text;
        if (bytes.size() > doc.contentStart() && bytes.back() != '\n' && bytes.back() != '\r') {
            text = "\r\n";
        }
        text += '[';
        text += sectionName;
        text += "]\r\n";
        text += entryText(keyName, value);
        text += "\r\n";
        return splice(bytes, bytes.size(), bytes.size(), text);
    }
    if (const Line* key = doc.findKey(*section, keyName)) {
        if (key->hasValue && key->value == value) {
            return std::nullopt;
        }
        // The line is rewritten from its name on; its line end stays as it was.
        return splice(bytes, key->begin, key->end, entryText(key->name, value));
    }
    std::string text;
    std::size_t at = doc.contentStart();
    if (const Line* after = doc.lastFilledLine(*section)) {
        at = after->next;
        if (after->next == after->end) {
            text = "\r\n"; // the file ended without a line end
        }
    }
    text += entryText(keyName, value);
    text += "\r\n";
    return splice(bytes, at, at, text);
}

std::optional<std::string> deleteKey(const Document& doc, std::string_view sectionName,
                                     std::string_view keyName) {
    const Section* section = doc.findSection(sectionName);
    const Line* key = section != nullptr ? doc.findKey(*section, keyName) : nullptr;
    if (key == nullptr) {
        return std::nullopt;
    }
    return splice(doc.bytes(), key->begin, key->next, {});
}

// Removes the header and every line up to the next header.
std::optional<std::string> deleteSection(const Document& doc, std::string_view sectionName) {
    const Section* section = doc.findSection(sectionName);
    if (section == nullptr) {
        return std::nullopt;
    }
    const auto& lines = doc.lines();
    std::size_t from = section->header != npos ? lines[section->header].begin : doc.contentStart();
    std::size_t to = section->last < lines.size() ? lines[section->last].begin : doc.bytes().size();
    if (from == to) {
        return std::nullopt;
    }
    return splice(doc.bytes(), from, to, {});
}

// ---------------------------------------------------------------------------
// Buffers.

DWORD copyText(LPSTR buffer, DWORD size, std::string_view text) {
    text = upToZero(text);
    std::size_t n = std::min<std::size_t>(text.size(), size - 1);
    std::copy_n(text.data(), n, buffer);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}

// Names each ended by a zero, and one more zero after the last. A list that does
// not fit is cut inside the name that does not fit, so that it still ends with two
// zeros, and counts size - 2; Windows treats an exact fit as not fitting too.
DWORD copyList(LPSTR buffer, DWORD size, const std::vector<std::string_view>& names) {
    buffer[0] = '\0';
    if (names.empty() || size <= 2) {
        if (size == 2) {
            buffer[1] = '\0';
        }
        return 0;
    }
    std::size_t pos = 0;
    for (std::string_view name : names) {
        if (pos + name.size() + 1 <= size - 2) {
            std::copy_n(name.data(), name.size(), buffer + pos);
            pos += name.size();
            buffer[pos++] = '\0';
            continue;
        }
        std::size_t room = size - 2 - pos;
        std::copy_n(name.data(), std::min(name.size(), room), buffer + pos);
        buffer[size - 2] = '\0';
        buffer[size - 1] = '\0';
        return size - 2;
    }
    buffer[pos] = '\0';
    return static_cast<DWORD>(pos);
}

// ---------------------------------------------------------------------------
// Files.

DWORD fromErrorCode(const std::error_code& ec) {
    std::error_condition c = ec.default_error_condition();
    if (c == std::errc::no_such_file_or_directory || c == std::errc::not_a_directory ||
        c == std::errc::filename_too_long) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (c == std::errc::permission_denied || c == std::errc::operation_not_permitted ||
        c == std::errc::read_only_file_system || c == std::errc::is_a_directory ||
        c == std::errc::text_file_busy || c == std::errc::file_exists) {
        return ERROR_ACCESS_DENIED;
    }
    if (c == std::errc::no_space_on_device || c == std::errc::file_too_large) {
        return kErrorDiskFull;
    }
    if (c == std::errc::not_enough_memory) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
#ifdef EDQUOT
    if (ec.category() == std::generic_category() && ec.value() == EDQUOT) {
        return kErrorDiskFull;
    }
#endif
    return ERROR_GEN_FAILURE;
}

// What CreateFileA says about a path that names nothing: the file is missing, or
// already its directory is.
DWORD missingError(const fs::path& path) {
    fs::path dir = path.parent_path();
    if (dir.empty()) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::error_code ec;
    return fs::is_directory(dir, ec) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD readFile(const fs::path& path, std::string& bytes) {
    std::error_code ec;
    fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) {
        return missingError(path);
    }
    if (ec) {
        return fromErrorCode(ec);
    }
    if (!fs::is_regular_file(status)) {
        return ERROR_ACCESS_DENIED; // a directory; a pipe or a device would never end
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return ERROR_ACCESS_DENIED;
    }
    std::uintmax_t expected = fs::file_size(path, ec);
    if (!ec) {
        bytes.reserve(static_cast<std::size_t>(expected));
    }
    std::vector<char> chunk(64 * 1024);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        bytes.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    return in.bad() ? ERROR_GEN_FAILURE : ERROR_SUCCESS;
}

#ifndef _WIN32
DWORD fromErrno(int error) {
    return fromErrorCode(std::error_code(error, std::generic_category()));
}
#endif

struct Target {
    fs::path path; // the file to replace: a symbolic link's target, so the link stays
    bool exists = false;
    fs::perms perms = fs::perms::unknown;
};

// Whether the file can be written at all, before anything is read or changed:
// Windows opens it for writing first and fails the call there.
DWORD checkTarget(const fs::path& given, Target& target) {
    std::error_code ec;
    target.path = given;
    fs::file_status status = fs::status(given, ec);
    if (status.type() == fs::file_type::not_found) {
        // A link whose file is missing (the Linux package's test.ini points into
        // /var/lib): the write creates that file, as an open through the link
        // would, and the link stays. Replacing the link itself would put the
        // counters where the package keeps its program.
        for (int hop = 0; hop < 8 && fs::is_symlink(fs::symlink_status(target.path, ec)); ++hop) {
            fs::path next = fs::read_symlink(target.path, ec);
            if (ec) {
                break;
            }
            target.path = next.is_absolute() ? next : target.path.parent_path() / next;
        }
        fs::path dir = target.path.parent_path();
        return dir.empty() || fs::is_directory(dir, ec) ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
    }
    if (ec) {
        return fromErrorCode(ec);
    }
    if (!fs::is_regular_file(status)) {
        return ERROR_ACCESS_DENIED; // a directory, a device
    }
    // A file without write permission is what a read-only file is to Windows,
    // which refuses to write it even for an administrator; root could, here.
    if ((status.permissions() & fs::perms::owner_write) == fs::perms::none) {
        return ERROR_ACCESS_DENIED;
    }
#ifndef _WIN32
    if (::access(given.c_str(), W_OK) != 0) {
        return fromErrno(errno);
    }
#endif
    if (fs::is_symlink(fs::symlink_status(given, ec))) {
        fs::path resolved = fs::canonical(given, ec);
        if (!ec) {
            target.path = resolved;
        }
    }
    target.exists = true;
    target.perms = status.permissions();
    return ERROR_SUCCESS;
}

// A name beside the file for its new contents, unique to this process and call.
std::string tempName(const fs::path& file, unsigned long processId, unsigned attempt) {
    static unsigned counter = 0;
    return file.string() + "." + std::to_string(processId) + "." + std::to_string(counter++) + "." +
           std::to_string(attempt) + ".tmp";
}

#ifdef _WIN32

DWORD replaceFile(const Target& target, const std::string& bytes) {
    std::string finalName = target.path.string();
    std::string temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = tempName(target.path, ::GetCurrentProcessId(), attempt);
        file = ::CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD error = ::GetLastError();
        if (file == INVALID_HANDLE_VALUE &&
            ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || attempt >= 100)) {
            return error;
        }
    }
    DWORD error = ERROR_SUCCESS;
    std::size_t done = 0;
    while (error == ERROR_SUCCESS && done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr)) {
            error = ::GetLastError();
        } else if (written == 0) {
            error = kErrorDiskFull;
        }
        done += written;
    }
    if (error == ERROR_SUCCESS && !::FlushFileBuffers(file)) {
        error = ::GetLastError();
    }
    ::CloseHandle(file);
    if (error == ERROR_SUCCESS &&
        !::MoveFileExA(temp.c_str(), finalName.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = ::GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        ::DeleteFileA(temp.c_str());
    }
    return error;
}

#else

DWORD writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fromErrno(errno);
        }
        if (n == 0) {
            return kErrorDiskFull;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return ERROR_SUCCESS;
}

// The new contents go to a file beside the old one, reach the disk, and only then
// take the old one's name: a crash or a full disk leaves either file whole.
DWORD replaceFile(const Target& target, const std::string& bytes) {
    std::string temp;
    int fd = -1;
    for (unsigned attempt = 0; fd < 0; ++attempt) {
        temp = tempName(target.path, static_cast<unsigned long>(::getpid()), attempt);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt >= 100)) {
            return fromErrno(errno);
        }
    }
    DWORD error = writeAll(fd, bytes);
    if (error == ERROR_SUCCESS && target.exists &&
        ::fchmod(fd, static_cast<mode_t>(target.perms & fs::perms::mask)) != 0) {
        error = fromErrno(errno);
    }
    if (error == ERROR_SUCCESS && ::fsync(fd) != 0) {
        error = fromErrno(errno);
    }
    if (::close(fd) != 0 && error == ERROR_SUCCESS) {
        error = fromErrno(errno);
    }
    if (error == ERROR_SUCCESS && ::rename(temp.c_str(), target.path.c_str()) != 0) {
        error = fromErrno(errno);
    }
    if (error != ERROR_SUCCESS) {
        ::unlink(temp.c_str());
        return error;
    }
    // The rename itself reaches the disk with the directory.
    fs::path dir = target.path.parent_path();
    int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return ERROR_SUCCESS;
}

#endif

DWORD failureOf(const std::exception& e) {
    return dynamic_cast<const std::bad_alloc*>(&e) != nullptr ? ERROR_NOT_ENOUGH_MEMORY
                                                              : ERROR_GEN_FAILURE;
}

} // namespace

DWORD GetString(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer, DWORD size,
                LPCSTR fileName, DWORD* lastError) {
    if (buffer == nullptr || size == 0) {
        report(lastError, ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string_view fallback = defaultValue != nullptr ? defaultValue : "";
    try {
        std::string bytes;
        DWORD error = fileName != nullptr && *fileName != '\0' ? readFile(fileName, bytes)
                                                               : ERROR_FILE_NOT_FOUND;
        Document doc(std::move(bytes));
        if (section == nullptr) {
            report(lastError, error);
            return copyList(buffer, size, doc.sectionNames());
        }
        const Section* found = doc.findSection(trim(section));
        if (key == nullptr) {
            std::vector<std::string_view> keys;
            if (found != nullptr) {
                keys = doc.keyNames(*found);
            }
            if (!keys.empty()) {
                report(lastError, ERROR_SUCCESS);
                return copyList(buffer, size, keys);
            }
            report(lastError, error != ERROR_SUCCESS ? error : ERROR_FILE_NOT_FOUND);
            return copyText(buffer, size, fallback);
        }
        const Line* entry = found != nullptr ? doc.findKey(*found, trim(key)) : nullptr;
        if (entry != nullptr && entry->hasValue) {
            report(lastError, ERROR_SUCCESS);
            return copyText(buffer, size, unquote(upToZero(entry->value)));
        }
        report(lastError, error != ERROR_SUCCESS ? error : ERROR_FILE_NOT_FOUND);
        return copyText(buffer, size, dropTrailingSpaces(fallback));
    } catch (const std::exception& e) {
        report(lastError, failureOf(e));
        return copyText(buffer, size, fallback);
    }
}

BOOL WriteString(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName, DWORD* lastError) {
    if (section == nullptr && key == nullptr && value == nullptr) {
        report(lastError, ERROR_SUCCESS);
        return TRUE;
    }
    if (section == nullptr) {
        report(lastError, ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (fileName == nullptr || *fileName == '\0') {
        report(lastError, ERROR_ACCESS_DENIED);
        return FALSE;
    }
    try {
        Target target;
        DWORD error = checkTarget(fileName, target);
        std::string bytes;
        if (error == ERROR_SUCCESS && target.exists) {
            error = readFile(target.path, bytes);
        }
        if (error != ERROR_SUCCESS) {
            report(lastError, error);
            return FALSE;
        }
        Document doc(std::move(bytes));
        std::optional<std::string> edited =
            key == nullptr     ? deleteSection(doc, trim(section))
            : value == nullptr ? deleteKey(doc, trim(section), trim(key))
                               : setValue(doc, trim(section), trim(key), trimLeft(value));
        if (edited) {
            error = replaceFile(target, *edited);
        }
        report(lastError, error);
        return error == ERROR_SUCCESS ? TRUE : FALSE;
    } catch (const std::exception& e) {
        report(lastError, failureOf(e));
        return FALSE;
    }
}

} // namespace profile
