// Access to one USB HID device chosen by vendor and product identifier.
//
// The class-level operations enumerate the HID device interfaces that Windows
// reports as present (at most the first 64, up to the first gap), count the
// ones whose identifiers match and fetch their device paths. An instance opens
// the N-th matching device exclusively, reads input reports and writes output
// reports with time-outs, and closes it again.
//
// Devices are opened with share mode 0: while any handle holds a device, every
// enumeration passes over it, this object's own included.
//
// The SetupDi and HID functions are reached through the run-time binding's
// slots; while a slot is empty the device kind is treated as absent. Nothing
// here throws or logs: every failure is a result.
#pragma once

#include "Handles.h"
#include "WinConvTypes.h"

#include <cstdint>
#include <string>

// The results of the instance operations.
enum class THIDResult : int {
    Success = 0,
    NotOpen = 2,        // Read, Write: nothing open; Close: nothing was open
    AlreadyOpen = 3,    // Open: a device is held already; nothing changed
    TimedOut = 4,       // Read, Write: pending at the time-out and cancelled before it completed
    TransferFailed = 5, // Read, Write: the transfer or the wait for it failed
    InvalidHandle = 7,  // Close: marked open but without a valid handle
    DoesNotFit = 8,     // Read: buffer or buffer count too small; Write: report too long
};

class THIDDevice {
public:
    THIDDevice();
    ~THIDDevice();
    THIDDevice(const THIDDevice&) = delete;
    THIDDevice& operator=(const THIDDevice&) = delete;

    // Number of present HID devices with these identifiers that can be opened
    // exclusively right now. Opens and closes every present HID interface.
    static int Count(std::uint16_t VendorID, std::uint16_t ProductID);
    // Device path of the HID interface at enumeration position Index (0 to 63);
    // false, with Path unchanged, when there is none.
    static bool GetDevicePath(int Index, std::string& Path);
    // Opens Path exclusively for overlapped reads and writes and returns the
    // handle when the device carries these identifiers; an empty handle otherwise.
    static win::UniqueHandle OpenDevicePath(const std::string& Path, std::uint16_t VendorID,
                                            std::uint16_t ProductID);

    // Opens the Index-th (0-based) present device with these identifiers.
    // Success also when no such device stood there: IsOpen tells. NumInputBuffers
    // 0 keeps the driver's input-buffer count; otherwise it is set on the device.
    [[nodiscard]] THIDResult Open(int Index, std::uint16_t VendorID, std::uint16_t ProductID,
                                  std::uint16_t NumInputBuffers);
    THIDResult Close();
    bool IsOpen();
    // Reads ReportCount input reports into Buffer. The buffer is zero-filled
    // first (unless the request does not fit); BytesRead is set on success only.
    // Blocks for at most the read time-out.
    [[nodiscard]] THIDResult Read(std::uint8_t* Buffer, int BufferSize, int ReportCount,
                                  DWORD& BytesRead);
    // Writes Length bytes (the report identifier first) as one output report.
    // Blocks for at most the write time-out.
    [[nodiscard]] THIDResult Write(const std::uint8_t* Buffer, int Length);
    // Milliseconds; INFINITE (the default) waits as long as the transfer takes.
    // They belong to the object and survive Close.
    void SetTimeouts(DWORD ReadTimeout, DWORD WriteTimeout);

    // The state as the open device left it (0 and defaults while closed).
    DWORD ReadTimeout() const { return FReadTimeout; }
    DWORD WriteTimeout() const { return FWriteTimeout; }
    std::int32_t InputReportLength() const { return FInputReportLength; }
    std::int32_t OutputReportLength() const { return FOutputReportLength; }
    std::int32_t FeatureReportLength() const { return FFeatureReportLength; }
    std::int32_t NumInputBuffers() const { return FNumInputBuffers; }
    HANDLE Handle() const { return FHandle.get(); }

private:
    // The closed state; the time-outs stay.
    void Reset();
    // Reads the open device's report lengths and settles its input buffers.
    void ReadCapabilities(std::uint16_t NumInputBuffers);

    bool FOpened = false;
    win::UniqueHandle FHandle;
    DWORD FReadTimeout = INFINITE;
    DWORD FWriteTimeout = INFINITE;
    std::int32_t FInputReportLength = 0;
    std::int32_t FOutputReportLength = 0;
    std::int32_t FFeatureReportLength = 0;
    std::int32_t FNumInputBuffers = 0;
};
