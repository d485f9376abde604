// The profile functions on the real file system. A call reads the whole file and
// splits it into lines; a write builds the new contents from the old bytes with
// one line changed, added or removed, and replaces the file in one step. Keeping
// every other byte is what Windows does, and lets a hand-edited file keep its
// comments, blank lines and layout.
#include "Profile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
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
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
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
//
// The station's counters are a few dozen bytes. A file far larger than that is
// not a counters file: it is never read into memory, reads give the defaults and
// writes fail with the file left as it is.
constexpr std::size_t kMaxFileSize = 64 * 1024;
constexpr DWORD kErrorFileTooLarge = 223; // ERROR_FILE_TOO_LARGE

DWORD fromErrorCode(const std::error_code& ec) {
    std::error_condition c = ec.default_error_condition();
    if (c == std::errc::no_such_file_or_directory || c == std::errc::not_a_directory ||
        c == std::errc::filename_too_long) {
        return ERROR_PATH_NOT_FOUND;
    }
    // A link, a socket or a device where the file should be is refused as
    // Windows refuses a directory there.
    if (c == std::errc::permission_denied || c == std::errc::operation_not_permitted ||
        c == std::errc::read_only_file_system || c == std::errc::is_a_directory ||
        c == std::errc::text_file_busy || c == std::errc::file_exists ||
        c == std::errc::too_many_symbolic_link_levels ||
        c == std::errc::no_such_device_or_address) {
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

#ifdef _WIN32

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

DWORD readPath(const fs::path& path, std::string& bytes) {
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
    std::uintmax_t expected = fs::file_size(path, ec);
    if (!ec && expected > kMaxFileSize) {
        return kErrorFileTooLarge;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return ERROR_ACCESS_DENIED;
    }
    std::vector<char> chunk(kMaxFileSize + 1);
    while (in && bytes.size() <= kMaxFileSize) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size() - bytes.size()));
        bytes.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (bytes.size() > kMaxFileSize) {
        bytes.clear();
        return kErrorFileTooLarge;
    }
    return in.bad() ? ERROR_GEN_FAILURE : ERROR_SUCCESS;
}

DWORD readFile(LPCSTR fileName, std::string& bytes) {
    return readPath(fileName, bytes);
}

struct Target {
    fs::path path;
};

// Whether the file can be written at all, before anything is read or changed:
// Windows opens it for writing first and fails the call there. Then its bytes.
DWORD readForWrite(LPCSTR fileName, Target& target, std::string& bytes) {
    std::error_code ec;
    target.path = fileName;
    fs::file_status status = fs::status(target.path, ec);
    if (status.type() == fs::file_type::not_found) {
        fs::path dir = target.path.parent_path();
        return dir.empty() || fs::is_directory(dir, ec) ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
    }
    if (ec) {
        return fromErrorCode(ec);
    }
    if (!fs::is_regular_file(status)) {
        return ERROR_ACCESS_DENIED; // a directory, a device
    }
    if ((status.permissions() & fs::perms::owner_write) == fs::perms::none) {
        return ERROR_ACCESS_DENIED; // the read-only attribute
    }
    return readPath(target.path, bytes);
}

// A name beside the file for its new contents, unique to this process and call.
std::string tempName(const fs::path& file, unsigned long processId, unsigned attempt) {
    static unsigned counter = 0;
    return file.string() + "." + std::to_string(processId) + "." + std::to_string(counter++) + "." +
           std::to_string(attempt) + ".tmp";
}

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

// On Linux the counters file may live in a directory that a whole group of
// operators may write (the package's /var/lib/evaluator-station), while the
// station may run as root. Anyone in that group can put a link, a pipe, a hard
// link or a huge file where test.ini was, at any moment. So the file's name is
// looked up once, to a directory opened by descriptor, and everything after
// works inside that directory without following any name again: a link, a
// FIFO, a device or a directory as test.ini is refused, and nothing outside the
// directory is ever read, created or changed.

DWORD fromErrno(int error) {
    return fromErrorCode(std::error_code(error, std::generic_category()));
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

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

constexpr int kOpenFile = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int kOpenDir = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The file as its directory and its name in it.
struct Target {
    Fd dir;
    std::string name;
};

// A path's directory part ("." for a bare name) and its last component; false
// when the last component is not a file's name ("", "." or "..").
bool splitPath(std::string_view path, std::string& dir, std::string& name) {
    std::size_t slash = path.rfind('/');
    dir = slash == npos ? "." : slash == 0 ? "/" : std::string(path.substr(0, slash));
    name = std::string(slash == npos ? path : path.substr(slash + 1));
    return !name.empty() && name != "." && name != "..";
}

DWORD openDirectory(int at, const std::string& path, Fd& dir) {
    dir = Fd(::openat(at, path.c_str(), kOpenDir));
    if (!dir.valid()) {
        return errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : fromErrno(errno);
    }
    return ERROR_SUCCESS;
}

// Finds the file's directory. A link as the last component is followed once,
// to the directory of its target, only where nobody but its owner (root or the
// caller) may change that link: the package's test.ini beside the program, in a
// folder of root's. A link in a directory others may write could be anyone's.
DWORD locate(LPCSTR fileName, Target& target) {
    std::string dirPath;
    if (!splitPath(fileName, dirPath, target.name)) {
        return ERROR_ACCESS_DENIED;
    }
    DWORD error = openDirectory(AT_FDCWD, dirPath, target.dir);
    struct stat st {};
    if (error != ERROR_SUCCESS ||
        ::fstatat(target.dir.get(), target.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(st.st_mode)) {
        return error;
    }
    struct stat dirStat {};
    if (::fstat(target.dir.get(), &dirStat) != 0) {
        return fromErrno(errno);
    }
    if ((dirStat.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        (dirStat.st_uid != 0 && dirStat.st_uid != ::geteuid())) {
        return ERROR_ACCESS_DENIED;
    }
    char link[4096];
    ssize_t n = ::readlinkat(target.dir.get(), target.name.c_str(), link, sizeof link);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof link) {
        return n < 0 ? fromErrno(errno) : ERROR_PATH_NOT_FOUND;
    }
    std::string linkDir;
    if (!splitPath(std::string_view(link, static_cast<std::size_t>(n)), linkDir, target.name)) {
        return ERROR_ACCESS_DENIED;
    }
    Fd dir;
    error = openDirectory(target.dir.get(), linkDir, dir); // relative to the link's folder
    target.dir = std::move(dir);
    return error;
}

// Only a plain file with no other name: a hard link to a file elsewhere (where
// the system lets a user make one) would otherwise be read as the counters.
DWORD checkRegular(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_nlink == 1 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

DWORD readAll(int fd, std::string& bytes) {
    char chunk[16 * 1024];
    while (bytes.size() <= kMaxFileSize) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return fromErrno(errno);
        }
        if (n == 0) {
            return ERROR_SUCCESS;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    bytes.clear(); // it grew past the bound while being read
    return kErrorFileTooLarge;
}

// Opens the file by name within its directory, without following a link and
// without waiting on a FIFO, and reads it. The name is looked at first so that
// a device is never opened; what was opened is checked again, as it may have
// been swapped in between. ERROR_FILE_NOT_FOUND when there is no such name.
//
// A writer replaces the file by renaming its new one over the name, so the
// file found by the name a moment before may have no name left when it is
// looked at (no links): that is the old file, gone, not a planted one. The name
// is looked up again, then holding the writer's new file. A few looks in a row
// can all lose that race where writers take turns without a pause and the
// reader is paused between its look and its open (a busy machine); the reader
// then waits for a pause in their turns (readFile). kRenamedEachLook says so.
bool renamedOver(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_nlink == 0;
}

constexpr DWORD kRenamedEachLook = ~DWORD{0}; // never a Windows error code

DWORD readTarget(const Target& target, std::string& bytes, struct stat& st) {
    constexpr int kLooks = 5;
    for (int look = 1; look <= kLooks; ++look) {
        if (::fstatat(target.dir.get(), target.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno == ENOENT ? ERROR_FILE_NOT_FOUND : fromErrno(errno);
        }
        if (renamedOver(st)) {
            continue;
        }
        if (DWORD error = checkRegular(st); error != ERROR_SUCCESS) {
            return error;
        }
        Fd fd(::openat(target.dir.get(), target.name.c_str(), kOpenFile));
        if (!fd.valid()) {
            return errno == ENOENT ? ERROR_FILE_NOT_FOUND : fromErrno(errno);
        }
        if (::fstat(fd.get(), &st) != 0) {
            return fromErrno(errno);
        }
        if (renamedOver(st)) {
            continue;
        }
        if (DWORD error = checkRegular(st); error != ERROR_SUCCESS) {
            return error;
        }
        if (static_cast<std::uintmax_t>(st.st_size) > kMaxFileSize) {
            return kErrorFileTooLarge;
        }
        return readAll(fd.get(), bytes);
    }
    return kRenamedEachLook;
}

// Writers of one folder take turns: each holds an exclusive lock on the folder
// from its read to its rename, so a write never puts back what another writer
// read before it (two stations counting different keys would undo each other's
// counts). The lock is on the folder's descriptor, which the write holds
// anyway, and goes with it. Anyone who may read the folder may take that lock
// too and keep it: an honest writer holds it for a few milliseconds, so after
// a wait that no honest writer makes anyone wait, the write fails as a file
// that another program holds fails on Windows.
//
// A reader takes the same lock shared (operation LOCK_SH) when writers kept
// renaming over the file while it looked: no rename comes until it is done.
DWORD lockFolder(const Target& target, int operation = LOCK_EX) {
    using namespace std::chrono_literals;
    constexpr auto kPatience = 2s;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    auto pause = 500us;
    while (::flock(target.dir.get(), operation | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return fromErrno(errno);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return ERROR_SHARING_VIOLATION;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min<std::chrono::microseconds>(pause * 2, 8ms);
    }
    return ERROR_SUCCESS;
}

DWORD readFile(LPCSTR fileName, std::string& bytes) {
    Target target;
    DWORD error = locate(fileName, target);
    struct stat st {};
    if (error == ERROR_SUCCESS) {
        error = readTarget(target, bytes, st);
    }
    if (error == kRenamedEachLook) {
        error = lockFolder(target, LOCK_SH);
        if (error == ERROR_SUCCESS) {
            error = readTarget(target, bytes, st);
        }
    }
    // Renamed over even so: by someone who does not take turns.
    return error == kRenamedEachLook ? ERROR_ACCESS_DENIED : error;
}

DWORD readForWrite(LPCSTR fileName, Target& target, std::string& bytes) {
    DWORD error = locate(fileName, target);
    if (error == ERROR_SUCCESS) {
        error = lockFolder(target);
    }
    struct stat st {};
    if (error == ERROR_SUCCESS) {
        error = readTarget(target, bytes, st);
    }
    if (error == kRenamedEachLook) {
        return ERROR_ACCESS_DENIED; // renamed over under the writers' lock: not by a writer
    }
    if (error == ERROR_FILE_NOT_FOUND) {
        return ERROR_SUCCESS; // the write creates it
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    // A file without write permission is what a read-only file is to Windows,
    // which refuses to write it even for an administrator; root could, here.
    if ((st.st_mode & S_IWUSR) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (::faccessat(target.dir.get(), target.name.c_str(), W_OK,
                    AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
        return fromErrno(errno);
    }
    return ERROR_SUCCESS;
}

// New contents are written to ".<name>.new" beside the file. Writers take
// turns (lockFolder), so one name serves them all: one found there was left by
// a writer that died before its rename, and goes. Whatever else a member of
// the group planted under that name goes too (unlinking never follows a link),
// and a new file is made with O_EXCL: nothing planted is ever written through.
// The cost stays the same however many other names the folder holds.
DWORD createTemp(const Target& target, Fd& fd, std::string& temp) {
    temp = "." + target.name + ".new";
    for (int attempt = 0;; ++attempt) {
        fd = Fd(::openat(target.dir.get(), temp.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.valid()) {
            return ERROR_SUCCESS;
        }
        // Still there after three removals: a folder with files in it, planted.
        if (errno != EEXIST || attempt >= 3) {
            return fromErrno(errno);
        }
        if (::unlinkat(target.dir.get(), temp.c_str(), 0) != 0 && errno == EISDIR) {
            ::unlinkat(target.dir.get(), temp.c_str(), AT_REMOVEDIR);
        }
    }
}

// The new contents go to a file beside the old one, reach the disk, and only then
// take the old one's name: a crash or a full disk leaves either file whole. The
// file is left readable and writable by the directory's group whoever writes it,
// so that every operator of the group can go on counting.
DWORD replaceFile(const Target& target, const std::string& bytes) {
    Fd fd;
    std::string temp;
    DWORD error = createTemp(target, fd, temp);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    struct stat dirStat {};
    struct stat st {};
    if (::fchmod(fd.get(), 0664) != 0) {
        error = fromErrno(errno);
    } else if (::fstat(target.dir.get(), &dirStat) == 0 && ::fstat(fd.get(), &st) == 0 &&
               st.st_gid != dirStat.st_gid) {
        // Only a member of the group may give it the group; a file of one's own
        // in a folder of another group keeps the writer's, and that is no error.
        [[maybe_unused]] const int regrouped =
            ::fchown(fd.get(), static_cast<uid_t>(-1), dirStat.st_gid);
    }
    if (error == ERROR_SUCCESS) {
        error = writeAll(fd.get(), bytes);
    }
    if (error == ERROR_SUCCESS && ::fsync(fd.get()) != 0) {
        error = fromErrno(errno);
    }
    if (error == ERROR_SUCCESS &&
        ::renameat(target.dir.get(), temp.c_str(), target.dir.get(), target.name.c_str()) != 0) {
        error = fromErrno(errno);
    }
    if (error != ERROR_SUCCESS) {
        ::unlinkat(target.dir.get(), temp.c_str(), 0);
        return error;
    }
    // The rename itself reaches the disk with the directory.
    ::fsync(target.dir.get());
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
        std::string bytes;
        DWORD error = readForWrite(fileName, target, bytes);
        if (error != ERROR_SUCCESS) {
            report(lastError, error);
            return FALSE;
        }
        Document doc(std::move(bytes));
        std::optional<std::string> edited =
            key == nullptr     ? deleteSection(doc, trim(section))
            : value == nullptr ? deleteKey(doc, trim(section), trim(key))
                               : setValue(doc, trim(section), trim(key), trimLeft(value));
        // A write never makes the file one that the next read refuses: a count
        // that cannot be kept is refused now, with the file as it was.
        if (edited && edited->size() > kMaxFileSize) {
            error = kErrorFileTooLarge;
        } else if (edited) {
            error = replaceFile(target, *edited);
        }
        report(lastError, error);
        return error == ERROR_SUCCESS ? TRUE : FALSE;
    } catch (const std::exception& e) {
        report(lastError, failureOf(e));
        return FALSE;
    }
}

#ifndef _WIN32

// The hold is an open-file-description read lock on the folder. Such a lock
// and the writers' flock never meet (Linux keeps the two kinds apart), so this
// station's own writes, through a descriptor of their own, do not wait for it,
// and a read lock stops no one else's lock of its kind: readers never lock at
// all. A second station asks whether a write lock could be placed there, which
// any such read lock prevents. The question and the taking happen under the
// writers' lock, so two stations starting at the same moment cannot both find
// the folder free.
StationHold::StationHold(LPCSTR fileName) {
    Target target;
    if (fileName == nullptr || locate(fileName, target) != ERROR_SUCCESS ||
        lockFolder(target) != ERROR_SUCCESS) {
        return;
    }
    struct flock question {};
    question.l_type = F_WRLCK;
    question.l_whence = SEEK_SET; // start 0, length 0: the whole folder
    if (::fcntl(target.dir.get(), F_OFD_GETLK, &question) != 0) {
        return;
    }
    if (question.l_type != F_UNLCK) {
        outcome_ = Outcome::HeldElsewhere;
        return;
    }
    struct flock hold {};
    hold.l_type = F_RDLCK;
    hold.l_whence = SEEK_SET;
    if (::fcntl(target.dir.get(), F_OFD_SETLK, &hold) == 0) {
        ::flock(target.dir.get(), LOCK_UN);
        folder_ = target.dir.release();
        outcome_ = Outcome::Held;
    }
}

StationHold::~StationHold() {
    if (folder_ >= 0) {
        ::close(folder_);
    }
}

#endif

} // namespace profile
