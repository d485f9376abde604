// A serial port, and the USB-serial adapters that provide one.
#pragma once

#include "WinConvTypes.h"

#include <cstdint>
#include <memory>
#include <string>

// One Windows serial-port handle: opened here by number or path, or adopted
// from whoever opened it. Transfers are plain blocking calls, or, on a handle
// opened for overlapped I/O, overlapped calls polled against Timeout().
//
// A port that cannot be opened (none there, or held by another program: the
// open is exclusive) leaves INVALID_HANDLE_VALUE in Handle(); the object still
// exists and its operations fail. Every operation answers only true or false.
class TCOMDevice {
public:
    // Opens "\\.\COM<PortNumber>" as the by-path form does.
    TCOMDevice(std::int32_t PortNumber, bool Overlapped);
    // Adopts an open handle: no setting is touched and the handle stays open
    // when this object goes.
    TCOMDevice(HANDLE Handle, bool Overlapped);
    // Opens the path for reading and writing, exclusively, overlapped when asked.
    TCOMDevice(const std::string& Path, bool Overlapped);
    virtual ~TCOMDevice();

    TCOMDevice(const TCOMDevice&) = delete;
    TCOMDevice& operator=(const TCOMDevice&) = delete;

    HANDLE Handle() const { return FHandle; }
    bool IsOverlapped() const { return FOverlapped; }
    std::int32_t Timeout() const { return FTimeout; }

    // Reads up to Count bytes. A read that the port's read time-out ends early
    // still succeeds with only what arrived: callers that need whole replies
    // clear their buffer first and check what they got.
    [[nodiscard]] bool Read(void* Buffer, std::int32_t Count);
    // Writes Count bytes; true only when all of them went out (a write ended
    // by the write time-out fails). On an overlapped handle the input queue is
    // discarded first (and any pending read aborted).
    [[nodiscard]] bool Write(const void* Buffer, std::int32_t Count);
    // Baud rate, data bits, parity and stop bits, as the Windows codes (parity
    // 0 none; stop bits 0 one, 1 one and a half, 2 two), with no handshake:
    // no CTS or DSR output flow control, no XON/XOFF, DTR and RTS on. The
    // other line settings stay as the driver has them.
    bool SetCommParams(DWORD BaudRate, BYTE ByteSize, BYTE Parity, BYTE StopBits);
    // A read of N bytes then returns when N bytes have come or Milliseconds
    // have passed since it began. Also bounds the polling of overlapped
    // transfers. The write time-outs stay as they are.
    bool SetTimeout(std::int32_t Milliseconds);
    // Bounds every write: one that has not gone out within Milliseconds ends
    // there, short, and fails. The read time-outs stay as they are; a port
    // whose time-outs cannot be read is left untouched (false).
    bool SetWriteTimeout(std::int32_t Milliseconds);
    // Throws away what has arrived and not been read (PURGE_RXCLEAR).
    bool DiscardInput();

private:
    // Polls a transfer that went pending until it completes or Timeout() has
    // passed; on giving up, cancels it and waits until it has ended. True when
    // it completed (also in the instant before the cancel), with the bytes
    // moved in Transferred.
    bool AwaitCompletion(OVERLAPPED& Overlapped, std::int32_t Count, DWORD& Transferred);

    HANDLE FHandle;
    bool FOverlapped;
    std::int32_t FTimeout;
    bool FOwnsHandle;
};

// The PL2303 adapter (USB vendor "067B", product "2303"): the USB device
// itself carries the port.
class TPL2303Device {
public:
    static bool Exists();
    // The adapter's port opened in plain mode (possibly with an invalid handle,
    // when it is held elsewhere), or null when no port was found.
    static std::unique_ptr<TCOMDevice> OpenPort();
};

// The FTDI adapter (USB vendor "0403", product "6001"): seen on the "USB"
// enumerator, while its port belongs to its child on the "FTDIBUS" enumerator.
class TFTDIDevice {
public:
    static bool Exists();
    static std::unique_ptr<TCOMDevice> OpenPort();
};
