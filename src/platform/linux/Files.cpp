// Device files, events and overlapped transfers.
#include "Functions.h"
#include "Objects.h"
#include "Transfer.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lnx {
namespace {

BOOL fail(DWORD error) {
    setLastError(error);
    return FALSE;
}

HANDLE failHandle(DWORD error) {
    setLastError(error);
    return INVALID_HANDLE_VALUE;
}

bool isHidraw(const std::string& path) {
    return path.rfind("/dev/hidraw", 0) == 0;
}

// Report lengths of an open hidraw node: from sysfs, else from the node itself.
std::optional<ReportLengths> hidReports(const std::string& path, int fd) {
    if (auto descriptor = hidrawReportDescriptor(path.substr(5))) {
        return reportLengths(*descriptor);
    }
    int size = 0;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
        return std::nullopt;
    }
    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<__u32>(size);
    if (ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) {
        return std::nullopt;
    }
    return reportLengths(
        std::string_view(reinterpret_cast<const char*>(descriptor.value), descriptor.size));
}

template <class Start>
BOOL transfer(HANDLE handle, DWORD count, LPDWORD done, LPOVERLAPPED overlapped, Start start) {
    auto file = handles().get<File>(handle);
    if (!file) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (file->overlapped && overlapped == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (file->pending) {
        // One transfer at a time per handle: the station never starts a second.
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (done != nullptr) {
        *done = 0;
    }
    Request request;
    request.count = count;
    request.started = nowMs();
    if (DWORD error = start(*file, request)) {
        return fail(error);
    }
    if (!file->overlapped) {
        // A plain call blocks until the transfer ends, by its own time-outs.
        OVERLAPPED local{};
        request.overlapped = &local;
        file->pending = std::move(request);
        progress(*file, kNever);
        if (done != nullptr) {
            *done = static_cast<DWORD>(local.InternalHigh);
        }
        return local.Internal == 0 ? TRUE : fail(static_cast<DWORD>(local.Internal));
    }
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    request.overlapped = overlapped;
    auto event = handles().get<Event>(overlapped->hEvent);
    if (event) {
        event->signalled = false; // as Windows resets it when the transfer starts
    }
    file->pending = std::move(request);
    if (progress(*file, nowMs())) {
        if (event) {
            event->signalled = true;
        }
        if (done != nullptr) {
            *done = static_cast<DWORD>(overlapped->InternalHigh);
        }
        return overlapped->Internal == 0 ? TRUE : fail(static_cast<DWORD>(overlapped->Internal));
    }
    if (event) {
        event->file = file;
        event->overlapped = overlapped;
    }
    return fail(ERROR_IO_PENDING);
}

} // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD flags, HANDLE) {
    if (fileName == nullptr) {
        return failHandle(ERROR_INVALID_PARAMETER);
    }
    const std::string path = devicePathOf(fileName);
    if (path.empty()) {
        return failHandle(ERROR_FILE_NOT_FOUND);
    }
    if (disposition != OPEN_EXISTING) {
        return failHandle(ERROR_ACCESS_DENIED); // devices are not created
    }
    int mode = O_RDONLY;
    if ((access & GENERIC_READ) != 0 && (access & GENERIC_WRITE) != 0) {
        mode = O_RDWR;
    } else if ((access & GENERIC_WRITE) != 0) {
        mode = O_WRONLY;
    }
    int fd = open(path.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return failHandle(errorFromErrno(errno));
    }
    const FileKind kind = isHidraw(path) ? FileKind::hidraw
                          : isatty(fd)   ? FileKind::tty
                                         : FileKind::other;
    auto file = std::make_shared<File>(fd, kind, (flags & FILE_FLAG_OVERLAPPED) != 0);
    // Linux has no share modes. flock stands for them: an open without sharing
    // takes the lock exclusively and fails while any other open holds it
    // (also within this process), and an open that shares takes it shared.
    if (flock(fd, (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) < 0) {
        return failHandle(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : errorFromErrno(errno));
    }
    if (kind == FileKind::tty) {
        // TIOCEXCL also keeps out programs that do not look at locks (root
        // passes it). Not every tty has it (a pseudo-terminal under test): its
        // failure is not the open's.
        if (share == 0) {
            (void)ioctl(fd, TIOCEXCL);
        }
        if (!prepareTty(fd, file->dcb)) {
            return failHandle(errorFromErrno(errno));
        }
    }
    if (kind == FileKind::hidraw) {
        if (auto reports = hidReports(path, fd)) {
            file->reports = *reports;
            file->reportsKnown = true;
        }
    }
    return handles().add(std::move(file));
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    return transfer(file, count, done, overlapped, [&](File& f, Request& r) -> DWORD {
        if (buffer == nullptr && count != 0) {
            return ERROR_INVALID_USER_BUFFER;
        }
        // Windows takes no read shorter than one whole input report.
        if (f.kind == FileKind::hidraw && count < f.reports.input) {
            return ERROR_INVALID_USER_BUFFER;
        }
        r.isRead = true;
        r.buffer = static_cast<std::uint8_t*>(buffer);
        return 0;
    });
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    return transfer(file, count, done, overlapped, [&](File&, Request& r) -> DWORD {
        if (buffer == nullptr && count != 0) {
            return ERROR_INVALID_USER_BUFFER;
        }
        r.isRead = false;
        r.data.assign(static_cast<const char*>(buffer), count);
        return 0;
    });
}

BOOL CloseHandle(HANDLE object) {
    if (auto file = handles().get<File>(object)) {
        finish(*file, ERROR_OPERATION_ABORTED); // Windows cancels what is pending
    }
    return handles().close(object) ? TRUE : fail(ERROR_INVALID_HANDLE);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR) {
    return handles().add(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    auto event = handles().get<Event>(object);
    if (!event) {
        setLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    const std::uint64_t deadline = milliseconds == INFINITE ? kNever : nowMs() + milliseconds;
    if (!event->signalled) {
        auto file = event->file.lock();
        if (file && file->pending && file->pending->overlapped == event->overlapped) {
            (void)progress(*file, deadline);
        } else if (milliseconds == INFINITE) {
            // Nothing can signal it on this thread: Windows would wait for ever.
            setLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        } else {
            usleep(static_cast<useconds_t>(milliseconds) * 1000);
        }
    }
    if (!event->signalled) {
        return WAIT_TIMEOUT;
    }
    if (!event->manualReset) {
        event->signalled = false;
    }
    return WAIT_OBJECT_0;
}

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD done, BOOL wait) {
    auto file = handles().get<File>(handle);
    if (!file || overlapped == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (file->pending && file->pending->overlapped == overlapped) {
        if (!progress(*file, wait != FALSE ? kNever : nowMs())) {
            return fail(ERROR_IO_INCOMPLETE);
        }
    }
    if (overlapped->Internal == kStatusPending) {
        return fail(ERROR_IO_INCOMPLETE); // a record this handle never started
    }
    if (done != nullptr) {
        *done = static_cast<DWORD>(overlapped->InternalHigh);
    }
    auto status = static_cast<DWORD>(overlapped->Internal);
    return status == 0 ? TRUE : fail(status);
}

BOOL CancelIo(HANDLE handle) {
    auto file = handles().get<File>(handle);
    if (!file) {
        return fail(ERROR_INVALID_HANDLE);
    }
    finish(*file, ERROR_OPERATION_ABORTED);
    return TRUE;
}

} // namespace lnx
