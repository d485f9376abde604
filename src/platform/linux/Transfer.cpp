#include "Transfer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace lnx {
namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;
constexpr std::size_t kMaxReport = 4096; // HID_MAX_BUFFER_SIZE

// poll() for one descriptor up to a deadline: the events seen, 0 when the
// deadline passed first, -1 on failure.
int waitFor(int fd, short events, std::uint64_t deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != kNever) {
            std::uint64_t now = nowMs();
            timeout = now >= deadline
                          ? 0
                          : static_cast<int>(std::min<std::uint64_t>(deadline - now, INT_MAX));
        }
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, timeout);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        return n == 0 ? 0 : p.revents;
    }
}

// What poll() said, for a transfer that waits for `wanted`: go on, or the
// device is gone.
bool hungUp(int revents, short wanted) {
    return (revents & wanted) == 0 && (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

using Step = std::optional<DWORD>; // the status when the request ended

// hidraw hands over one report per read. Its first byte is the report ID only
// for devices with numbered reports; Windows always puts one there (0 for
// devices without), and always hands over the full input report length.
Step hidRead(File& f, Request& r, std::uint64_t waitDeadline) {
    for (;;) {
        std::uint8_t report[kMaxReport + 1];
        ssize_t n = read(f.fd, report + 1, kMaxReport);
        if (n > 0) {
            std::uint8_t* begin = report + 1;
            std::size_t length = static_cast<std::size_t>(n);
            if (!f.reports.numbered) {
                report[0] = 0;
                begin = report;
                ++length;
            }
            std::size_t windowsLength = std::max<std::size_t>(length, f.reports.input);
            std::size_t copied = std::min<std::size_t>(windowsLength, r.count);
            std::memset(r.buffer, 0, copied);
            std::memcpy(r.buffer, begin, std::min(length, copied));
            r.done = static_cast<DWORD>(copied);
            return 0;
        }
        if (n == 0) {
            return ERROR_DEVICE_NOT_CONNECTED;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            return errorFromErrno(errno);
        }
        int revents = waitFor(f.fd, POLLIN, waitDeadline);
        if (revents < 0) {
            return errorFromErrno(errno);
        }
        if (revents == 0) {
            return std::nullopt;
        }
        if (hungUp(revents, POLLIN)) {
            return ERROR_DEVICE_NOT_CONNECTED;
        }
    }
}

// hidraw's poll() always reports POLLOUT, and a write blocks in the kernel
// until the device has taken the report, even on a non-blocking descriptor
// (usbhid gives up after 5 s; a device that holds back its answer was seen to
// keep a write 1.5 s). That wait cannot be cut short from here: the time-out
// bounds only the wait for the descriptor to become writable.
Step hidWrite(File& f, Request& r, std::uint64_t waitDeadline) {
    for (;;) {
        ssize_t n = write(f.fd, r.data.data(), r.data.size());
        if (n >= 0) {
            r.done = static_cast<DWORD>(n);
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            return errorFromErrno(errno);
        }
        int revents = waitFor(f.fd, POLLOUT, waitDeadline);
        if (revents < 0) {
            return errorFromErrno(errno);
        }
        if (revents == 0) {
            return std::nullopt;
        }
        if (hungUp(revents, POLLOUT)) {
            return ERROR_DEVICE_NOT_CONNECTED;
        }
    }
}

// The Windows read time-out rules (COMMTIMEOUTS): a read ends when it has its
// bytes; when the total time-out (multiplier x count + constant, none when
// both are 0) has run out; when the gap after a byte exceeds the interval
// time-out; at once with what is there (interval MAXDWORD, the rest 0); or at
// the first byte, waiting up to the constant (interval and multiplier
// MAXDWORD). A read ended by a time-out succeeds with what it has. termios'
// VMIN/VTIME cannot say "N bytes or T ms in total", so the rules are kept here.
Step ttyRead(File& f, Request& r, std::uint64_t waitDeadline) {
    const COMMTIMEOUTS& t = f.timeouts;
    const bool atOnce = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                        t.ReadTotalTimeoutConstant == 0;
    const bool atFirstByte =
        t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
    const bool byInterval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
    std::uint64_t total = kNever;
    if (atFirstByte) {
        total = r.started + t.ReadTotalTimeoutConstant;
    } else if (!atOnce && (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)) {
        total = r.started + std::uint64_t{t.ReadTotalTimeoutMultiplier} * r.count +
                t.ReadTotalTimeoutConstant;
    }
    for (;;) {
        if (r.done < r.count) {
            ssize_t n = read(f.fd, r.buffer + r.done, r.count - r.done);
            if (n > 0) {
                r.done += static_cast<DWORD>(n);
                r.lastByte = nowMs();
                continue;
            }
            if (n == 0) {
                return ERROR_DEVICE_NOT_CONNECTED; // a hang-up: the adapter is gone
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                return errorFromErrno(errno);
            }
        }
        if (r.done >= r.count || atOnce || (atFirstByte && r.done > 0)) {
            return 0;
        }
        std::uint64_t end = total;
        if (byInterval && r.done > 0) {
            end = std::min(end, r.lastByte + t.ReadIntervalTimeout);
        }
        if (end != kNever && nowMs() >= end) {
            return 0;
        }
        int revents = waitFor(f.fd, POLLIN, std::min(end, waitDeadline));
        if (revents < 0) {
            return errorFromErrno(errno);
        }
        if (revents == 0) {
            if (waitDeadline <= end && nowMs() >= waitDeadline) {
                return std::nullopt;
            }
            continue;
        }
        if (hungUp(revents, POLLIN)) {
            return ERROR_DEVICE_NOT_CONNECTED;
        }
    }
}

// A write ends when the tty has taken every byte, or at the write time-out
// (multiplier x count + constant; none when both are 0) with what it took,
// which counts as success as serial drivers report it. The tty takes bytes into
// its buffer, so the time-out only ends a write that the buffer cannot hold
// (the line held by flow control, an adapter that stopped sending).
Step ttyWrite(File& f, Request& r, std::uint64_t waitDeadline) {
    const COMMTIMEOUTS& t = f.timeouts;
    std::uint64_t total = kNever;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
        total = r.started + std::uint64_t{t.WriteTotalTimeoutMultiplier} * r.count +
                t.WriteTotalTimeoutConstant;
    }
    for (;;) {
        if (r.data.empty()) {
            return 0;
        }
        ssize_t n = write(f.fd, r.data.data(), r.data.size());
        if (n > 0) {
            r.done += static_cast<DWORD>(n);
            r.data.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return errorFromErrno(errno);
        }
        if (total != kNever && nowMs() >= total) {
            return 0;
        }
        int revents = waitFor(f.fd, POLLOUT, std::min(total, waitDeadline));
        if (revents < 0) {
            return errorFromErrno(errno);
        }
        if (revents == 0) {
            if (waitDeadline <= total && nowMs() >= waitDeadline) {
                return std::nullopt;
            }
            continue;
        }
        if (hungUp(revents, POLLOUT)) {
            return ERROR_DEVICE_NOT_CONNECTED;
        }
    }
}

} // namespace

bool progress(File& file, std::uint64_t waitDeadline) {
    if (!file.pending) {
        return true;
    }
    Request& r = *file.pending;
    Step step;
    if (file.kind == FileKind::hidraw) {
        step = r.isRead ? hidRead(file, r, waitDeadline) : hidWrite(file, r, waitDeadline);
    } else {
        step = r.isRead ? ttyRead(file, r, waitDeadline) : ttyWrite(file, r, waitDeadline);
    }
    if (!step) {
        return false;
    }
    finish(file, *step);
    return true;
}

void finish(File& file, DWORD status) {
    if (!file.pending) {
        return;
    }
    Request r = std::move(*file.pending);
    file.pending.reset();
    if (r.overlapped == nullptr) {
        return;
    }
    r.overlapped->Internal = status;
    r.overlapped->InternalHigh = r.done;
    if (auto event = handles().get<Event>(r.overlapped->hEvent)) {
        event->signalled = true;
        event->file.reset();
        event->overlapped = nullptr;
    }
}

} // namespace lnx
