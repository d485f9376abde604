// A COM port over termios. Windows keeps the line settings (DCB) and the
// time-outs (COMMTIMEOUTS) in the serial driver; here the DCB is turned into
// termios settings, and the time-outs stay with the handle, where the
// transfers read them (Transfer.cpp).
#include "Functions.h"
#include "Objects.h"
#include "Transfer.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

namespace lnx {
namespace {

constexpr DWORD kDtrControlEnable = 1;
constexpr DWORD kRtsControlEnable = 1;
constexpr DWORD kRtsControlHandshake = 2;

BOOL fail(DWORD error) {
    setLastError(error);
    return FALSE;
}

struct Speed {
    DWORD baud;
    speed_t code;
};
constexpr Speed kSpeeds[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

std::optional<speed_t> speedCode(DWORD baud) {
    for (const Speed& s : kSpeeds) {
        if (s.baud == baud) {
            return s.code;
        }
    }
    return std::nullopt;
}

DWORD baudOf(speed_t code) {
    for (const Speed& s : kSpeeds) {
        if (s.code == code) {
            return s.baud;
        }
    }
    return 0;
}

// The open tty behind a handle, or null with the last error set. A tty whose
// device went away no longer answers tcgetattr.
std::shared_ptr<File> ttyOf(HANDLE handle) {
    auto file = handles().get<File>(handle);
    if (!file) {
        setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (file->kind != FileKind::tty) {
        setLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    termios t{};
    if (tcgetattr(file->fd, &t) < 0) {
        setLastError(errorFromErrno(errno) == ERROR_INVALID_FUNCTION ? ERROR_DEVICE_NOT_CONNECTED
                                                                     : errorFromErrno(errno));
        return nullptr;
    }
    return file;
}

// The line settings of a DCB as termios: raw, the receiver on, modem lines not
// looked at for opening, VMIN 1 so that a non-blocking read says EAGAIN on a
// quiet line and 0 only on a hang-up.
std::optional<termios> termiosOf(const DCB& dcb, termios t) {
    auto speed = speedCode(dcb.BaudRate);
    if (!speed) {
        return std::nullopt;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    switch (dcb.ByteSize) {
    case 5:
        t.c_cflag |= CS5;
        break;
    case 6:
        t.c_cflag |= CS6;
        break;
    case 7:
        t.c_cflag |= CS7;
        break;
    default:
        t.c_cflag |= CS8;
        break;
    }
    switch (dcb.Parity) {
    case 1: // ODDPARITY
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2: // EVENPARITY
        t.c_cflag |= PARENB;
        break;
    case 3: // MARKPARITY
        t.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4: // SPACEPARITY
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.Parity != 0) {
        t.c_iflag |= INPCK;
    }
    // Linux gives one and a half stop bits with five data bits and CSTOPB.
    if (dcb.StopBits != ONESTOPBIT) {
        t.c_cflag |= CSTOPB;
    }
    // CTS flow control and RTS handshaking are one setting in termios. DSR
    // flow control has no termios counterpart; the station keeps it off.
    if (dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == kRtsControlHandshake) {
        t.c_cflag |= CRTSCTS;
    }
    if (dcb.fOutX != 0) {
        t.c_iflag |= IXON;
    }
    if (dcb.fInX != 0) {
        t.c_iflag |= IXOFF;
    }
    if (dcb.fOutX != 0 || dcb.fInX != 0) {
        t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, *speed);
    cfsetospeed(&t, *speed);
    return t;
}

// What the driver reports back, into the DCB fields that termios holds.
void readBack(const termios& t, DCB& dcb) {
    dcb.BaudRate = baudOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if ((t.c_cflag & PARENB) == 0) {
        dcb.Parity = 0;
    } else if ((t.c_cflag & CMSPAR) != 0) {
        dcb.Parity = (t.c_cflag & PARODD) != 0 ? 3 : 4;
    } else {
        dcb.Parity = (t.c_cflag & PARODD) != 0 ? 1 : 2;
    }
    dcb.StopBits = (t.c_cflag & CSTOPB) == 0 ? ONESTOPBIT
                   : dcb.ByteSize == 5       ? ONE5STOPBITS
                                             : TWOSTOPBITS;
    dcb.fParity = (t.c_iflag & INPCK) != 0 ? 1 : 0;
    dcb.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0 ? 1 : 0;
    dcb.fOutX = (t.c_iflag & IXON) != 0 ? 1 : 0;
    dcb.fInX = (t.c_iflag & IXOFF) != 0 ? 1 : 0;
    dcb.fBinary = 1;
}

bool sameLine(const termios& wanted, const termios& got) {
    const tcflag_t line = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
    return cfgetospeed(&wanted) == cfgetospeed(&got) &&
           (wanted.c_cflag & line) == (got.c_cflag & line) &&
           (wanted.c_iflag & (IXON | IXOFF)) == (got.c_iflag & (IXON | IXOFF));
}

// DTR and RTS, where the tty has modem lines (a pseudo-terminal has none).
void setModemLines(int fd, const DCB& dcb) {
    int dtr = TIOCM_DTR;
    (void)ioctl(fd, dcb.fDtrControl == kDtrControlEnable ? TIOCMBIS : TIOCMBIC, &dtr);
    if (dcb.fRtsControl != kRtsControlHandshake) {
        int rts = TIOCM_RTS;
        (void)ioctl(fd, dcb.fRtsControl == kRtsControlEnable ? TIOCMBIS : TIOCMBIC, &rts);
    }
}

} // namespace

bool prepareTty(int fd, DCB& dcb) {
    termios t{};
    if (tcgetattr(fd, &t) < 0) {
        return false;
    }
    // Raw mode at the speed the port had, so that no line discipline stands
    // between the station and the device (Windows has none).
    speed_t speed = cfgetospeed(&t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd, TCSANOW, &t) < 0) {
        return false;
    }
    dcb = DCB{};
    dcb.DCBlength = sizeof(DCB);
    dcb.fDtrControl = kDtrControlEnable; // what the tty driver raises on open
    dcb.fRtsControl = kRtsControlEnable;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    if (tcgetattr(fd, &t) == 0) {
        readBack(t, dcb);
    }
    return true;
}

BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    auto file = ttyOf(handle);
    if (!file) {
        return FALSE;
    }
    if (dcb == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    termios t{};
    if (tcgetattr(file->fd, &t) == 0) {
        readBack(t, file->dcb);
    }
    *dcb = file->dcb;
    dcb->DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    auto file = ttyOf(handle);
    if (!file) {
        return FALSE;
    }
    if (dcb == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // The checks serial drivers make before taking new line settings.
    const DCB& in = *dcb;
    bool valid = in.ByteSize >= 5 && in.ByteSize <= 8 && in.Parity <= 4 &&
                 in.StopBits <= TWOSTOPBITS && !(in.ByteSize == 5 && in.StopBits == TWOSTOPBITS) &&
                 !(in.ByteSize > 5 && in.StopBits == ONE5STOPBITS);
    termios current{};
    if (!valid || tcgetattr(file->fd, &current) < 0) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    auto wanted = termiosOf(in, current);
    if (!wanted) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // tcsetattr succeeds when any one of the changes took: read them back.
    termios got{};
    if (tcsetattr(file->fd, TCSANOW, &*wanted) < 0 || tcgetattr(file->fd, &got) < 0) {
        return fail(errorFromErrno(errno));
    }
    if (!sameLine(*wanted, got)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    setModemLines(file->fd, in);
    file->dcb = in;
    file->dcb.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    auto file = ttyOf(handle);
    if (!file) {
        return FALSE;
    }
    if (timeouts == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    *timeouts = file->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    auto file = ttyOf(handle);
    if (!file) {
        return FALSE;
    }
    if (timeouts == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    file->timeouts = *timeouts;
    return TRUE;
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
    auto file = ttyOf(handle);
    if (!file) {
        return FALSE;
    }
    if ((flags & ~DWORD{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR}) != 0) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (file->pending) {
        bool isRead = file->pending->isRead;
        if ((isRead && (flags & PURGE_RXABORT) != 0) || (!isRead && (flags & PURGE_TXABORT) != 0)) {
            finish(*file, ERROR_OPERATION_ABORTED);
        }
    }
    const bool rx = (flags & PURGE_RXCLEAR) != 0;
    const bool tx = (flags & PURGE_TXCLEAR) != 0;
    if ((rx || tx) && tcflush(file->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) < 0) {
        return fail(errorFromErrno(errno));
    }
    return TRUE;
}

BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    auto file = ttyOf(handle);
    if (!file) {
        return FALSE;
    }
    // The tty layer does not keep line errors for the reader to fetch (they
    // are in the data, or dropped with IGNPAR): there is none to clear.
    if (errors != nullptr) {
        *errors = 0;
    }
    if (status != nullptr) {
        *status = COMSTAT{};
        int queued = 0;
        if (ioctl(file->fd, FIONREAD, &queued) == 0 && queued > 0) {
            status->cbInQue = static_cast<DWORD>(queued);
        }
        int outQueued = 0;
        if (ioctl(file->fd, TIOCOUTQ, &outQueued) == 0 && outQueued > 0) {
            status->cbOutQue = static_cast<DWORD>(outQueued);
        }
    }
    return TRUE;
}

} // namespace lnx
