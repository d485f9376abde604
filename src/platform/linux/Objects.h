// The Linux backend's handle table and the objects behind its handles: open
// device files with their one overlapped request, events, device-information
// sets, registry keys, HID preparsed data and the built-in libraries.
//
// Handles are small numbers handed out in steps of four, never a file
// descriptor, so that a stale handle is never taken for another open file.
#pragma once

#include "../WinConvTypes.h"
#include "DeviceText.h"
#include "Sysfs.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lnx {

inline constexpr std::uint64_t kNever = ~std::uint64_t{0};

// Milliseconds of CLOCK_MONOTONIC.
std::uint64_t nowMs();

DWORD lastError();
void setLastError(DWORD error);
// errno as the Windows error the same failure gives there.
DWORD errorFromErrno(int error);

class Object {
public:
    virtual ~Object() = default;
};

enum class FileKind { hidraw, tty, other };

// A ReadFile or WriteFile that did not finish at once. The station's buffer
// and OVERLAPPED record stay valid until it ends (completes, fails or is
// cancelled), as Windows requires of its callers.
struct Request {
    bool isRead = true;
    std::uint8_t* buffer = nullptr; // reads
    std::string data;               // writes: the bytes still to go
    DWORD count = 0;
    DWORD done = 0;
    OVERLAPPED* overlapped = nullptr; // null for a call without one
    std::uint64_t started = 0;
    std::uint64_t lastByte = 0; // serial reads: when the last byte came
};

class File final : public Object {
public:
    File(int fd, FileKind kind, bool overlapped) : fd(fd), kind(kind), overlapped(overlapped) {}
    ~File() override;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    int fd;
    FileKind kind;
    bool overlapped;
    std::optional<Request> pending;
    // hidraw
    ReportLengths reports;
    bool reportsKnown = false;
    // tty: what Windows keeps in the driver
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
};

class Event final : public Object {
public:
    Event(bool manualReset, bool signalled) : manualReset(manualReset), signalled(signalled) {}
    bool manualReset;
    bool signalled;
    // The transfer that signals this event when it ends.
    std::weak_ptr<File> file;
    OVERLAPPED* overlapped = nullptr;
};

class DevInfoSet final : public Object {
public:
    std::vector<HidrawNode> interfaces;
    std::vector<DeviceNode> nodes;
};

class RegKey final : public Object {
public:
    std::map<std::string, std::string> values; // names upper-cased
};

class Preparsed final : public Object {
public:
    explicit Preparsed(ReportLengths reports) : reports(reports) {}
    ReportLengths reports;
};

class Module final : public Object {
public:
    explicit Module(const std::map<std::string, FARPROC>* exports) : exports(exports) {}
    const std::map<std::string, FARPROC>* exports;
    int loads = 1;
};

class Handles {
public:
    HANDLE add(std::shared_ptr<Object> object);
    template <class T> std::shared_ptr<T> get(HANDLE handle) const {
        return std::dynamic_pointer_cast<T>(find(handle));
    }
    bool close(HANDLE handle);
    std::size_t size() const { return objects_.size(); }

private:
    std::shared_ptr<Object> find(HANDLE handle) const;
    std::map<std::uintptr_t, std::shared_ptr<Object>> objects_;
    std::uintptr_t next_ = 0x1000;
};

Handles& handles();

// Names as Windows compares them (registry value names, enumerators): ASCII
// letters without regard to case.
std::string upper(std::string text);

// The number of handles open now (tests: nothing leaks).
std::size_t openHandles();

} // namespace lnx
