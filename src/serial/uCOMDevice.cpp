#include "uCOMDevice.h"

#include "Handles.h"
#include "Win.h"
#include "uUSBClass.h"

#include <algorithm>

namespace {

// The length handed to the system. A negative count would reach the driver
// as a length of about four gigabytes for a buffer of a few bytes; it asks
// for nothing instead.
DWORD systemCount(std::int32_t count) {
    return static_cast<DWORD>(std::max<std::int32_t>(count, 0));
}

void clearLineErrors(HANDLE handle) {
    DWORD errors = 0;
    COMSTAT status{};
    (void)win::ClearCommError(handle, &errors, &status);
}

// The record of one overlapped transfer and its event (unnamed, manual reset,
// not signalled). A failed CreateEventA leaves the event null; Windows then
// signals completion on the file handle, which GetOverlappedResult also reads.
struct OverlappedCall {
    OVERLAPPED record{};
    win::UniqueEvent event{win::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OverlappedCall() { record.hEvent = event.get(); }
};

} // namespace

TCOMDevice::TCOMDevice(std::int32_t PortNumber, bool Overlapped)
    : TCOMDevice("\\\\.\\COM" + std::to_string(PortNumber), Overlapped) {}

TCOMDevice::TCOMDevice(HANDLE Handle, bool Overlapped)
    : FHandle(Handle), FOverlapped(Overlapped), FTimeout(0), FOwnsHandle(false) {}

TCOMDevice::TCOMDevice(const std::string& Path, bool Overlapped)
    : FHandle(INVALID_HANDLE_VALUE), FOverlapped(Overlapped), FTimeout(0), FOwnsHandle(true) {
    FHandle = win::CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, Overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

TCOMDevice::~TCOMDevice() {
    if (FOwnsHandle && FHandle != INVALID_HANDLE_VALUE) {
        win::UniqueHandle owned(FHandle); // closes it
    }
}

bool TCOMDevice::Read(void* Buffer, std::int32_t Count) {
    bool result = false;
    if (FOverlapped) {
        OverlappedCall call;
        DWORD done = 0;
        if (win::ReadFile(FHandle, Buffer, systemCount(Count), &done, &call.record)) {
            result = true;
        } else if (win::GetLastError() == ERROR_IO_PENDING) {
            DWORD transferred = 0;
            result = AwaitCompletion(call.record, Count, transferred);
        }
    } else {
        DWORD done = 0;
        result = win::ReadFile(FHandle, Buffer, systemCount(Count), &done, nullptr) != FALSE;
    }
    clearLineErrors(FHandle);
    return result;
}

bool TCOMDevice::Write(const void* Buffer, std::int32_t Count) {
    // A write that the write time-out ends early still "succeeds" in Windows'
    // terms, with fewer bytes moved: for the device that is a frame it never
    // got whole, so it is a failure here.
    const DWORD wanted = systemCount(Count);
    DWORD done = 0;
    if (!FOverlapped) {
        return win::WriteFile(FHandle, Buffer, wanted, &done, nullptr) != FALSE && done == wanted;
    }
    OverlappedCall call;
    // A reply still queued from an earlier exchange must not be taken for the
    // answer to this one.
    (void)win::PurgeComm(FHandle, PURGE_RXABORT | PURGE_RXCLEAR);
    if (win::WriteFile(FHandle, Buffer, wanted, &done, &call.record)) {
        return done == wanted;
    }
    return win::GetLastError() == ERROR_IO_PENDING && AwaitCompletion(call.record, Count, done) &&
           done == wanted;
}

bool TCOMDevice::AwaitCompletion(OVERLAPPED& Overlapped, std::int32_t Count, DWORD& Transferred) {
    const DWORD start = win::GetTickCount();
    bool timedOut = false;
    bool result = false;
    Transferred = 0;
    for (;;) {
        // Any failure, an error as well as a transfer still running, counts
        // as not complete yet.
        if (win::GetOverlappedResult(FHandle, &Overlapped, &Transferred, FALSE)) {
            break;
        }
        if (std::int64_t{Count} <= std::int64_t{Transferred}) {
            result = true;
        }
        const DWORD elapsed = win::GetTickCount() - start; // right across the counter's wrap
        if (FTimeout < 0 || std::int64_t{elapsed} >= FTimeout) {
            timedOut = true;
            break;
        }
        win::Sleep(1);
    }
    if (!timedOut) {
        return true; // complete, whatever byte count it reports
    }
    // The transfer still runs on the record, the event and the caller's
    // buffer, all of which go when this call returns: cancel it and wait
    // until the system has let go of them.
    (void)win::CancelIo(FHandle);
    DWORD moved = 0;
    if (win::GetOverlappedResult(FHandle, &Overlapped, &moved, TRUE)) {
        // The driver had finished it before the cancel came: it happened.
        Transferred = moved;
        return true;
    }
    return result;
}

bool TCOMDevice::SetCommParams(DWORD BaudRate, BYTE ByteSize, BYTE Parity, BYTE StopBits) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    (void)win::GetCommState(FHandle, &dcb);
    dcb.BaudRate = BaudRate;
    dcb.ByteSize = ByteSize;
    dcb.Parity = Parity;
    dcb.StopBits = StopBits;
    // No handshake: a driver left with RTS/CTS or DSR/DTR handshake, or
    // XON/XOFF, by a previous program would otherwise hold every write while
    // the evaluator's cable leaves CTS or DSR low, or swallow the bytes 0x11
    // and 0x13 (the key report ends in 0x11). DTR and RTS are held on, as
    // plain output lines.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return win::SetCommState(FHandle, &dcb) != FALSE;
}

bool TCOMDevice::SetTimeout(std::int32_t Milliseconds) {
    COMMTIMEOUTS timeouts{};
    (void)win::GetCommTimeouts(FHandle, &timeouts);
    FTimeout = Milliseconds;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(Milliseconds);
    return win::SetCommTimeouts(FHandle, &timeouts) != FALSE;
}

bool TCOMDevice::DiscardInput() {
    return win::PurgeComm(FHandle, PURGE_RXCLEAR) != FALSE;
}

bool TCOMDevice::SetWriteTimeout(std::int32_t Milliseconds) {
    COMMTIMEOUTS timeouts{};
    // Writing back a record that was never read would zero the read time-outs
    // and let reads wait for ever.
    if (!win::GetCommTimeouts(FHandle, &timeouts)) {
        return false;
    }
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = systemCount(Milliseconds);
    return win::SetCommTimeouts(FHandle, &timeouts) != FALSE;
}

namespace {

std::unique_ptr<TCOMDevice> openAdapterPort(std::string_view vendorId, std::string_view productId,
                                            std::string_view enumerator) {
    std::string portName;
    if (!TUSBSerial::FindPort(vendorId, productId, portName, enumerator)) {
        return nullptr;
    }
    return std::make_unique<TCOMDevice>("\\\\.\\" + portName, false);
}

} // namespace

bool TPL2303Device::Exists() {
    return TUSBClass::Exists("067B", "2303");
}

std::unique_ptr<TCOMDevice> TPL2303Device::OpenPort() {
    return openAdapterPort("067B", "2303", "USB");
}

bool TFTDIDevice::Exists() {
    return TUSBClass::Exists("0403", "6001");
}

std::unique_ptr<TCOMDevice> TFTDIDevice::OpenPort() {
    return openAdapterPort("0403", "6001", "FTDIBUS");
}
