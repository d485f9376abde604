#include "uHIDMivoDevice.h"

#include <array>

namespace {

// Commands (byte 0 of an output report).
constexpr std::uint8_t kPromptCommand = 1; // value 0: prompt; value 1: a key wait begins
constexpr std::uint8_t kKeyCaptureCommand = 2;
constexpr std::uint8_t kLevelCommand = 3;
constexpr std::uint8_t kFinishCommand = 4;

// Kinds of input report (byte 0).
constexpr std::uint8_t kKeyReport = 5;
constexpr std::uint8_t kStateReport = 6;

// Short enough for the timer tick, long enough for a USB interrupt transfer.
constexpr DWORD kLinkTimeoutMs = 100;

constexpr int kReportLength = 3;

// Reads one input report into report (zero-filled first); true when the read
// succeeded.
bool readReport(THIDDevice& device, std::array<std::uint8_t, kReportLength>& report) {
    DWORD bytesRead = 0;
    return device.Read(report.data(), kReportLength, 1, bytesRead) == THIDResult::Success;
}

} // namespace

bool THIDMivoDevice::Present() {
    return THIDDevice::Count(VendorID, ProductID) > 0;
}

bool THIDMivoDevice::Exists() {
    return Present();
}

bool THIDMivoDevice::IsOpen() {
    return FDevice.IsOpen();
}

bool THIDMivoDevice::Open() {
    int count = THIDDevice::Count(VendorID, ProductID);
    if (count <= 0) {
        return false;
    }
    THIDResult result = FDevice.Open(count - 1, VendorID, ProductID, 0);
    bool open = FDevice.IsOpen();
    if (open) {
        FDevice.SetTimeouts(kLinkTimeoutMs, kLinkTimeoutMs);
    }
    // A device unplugged between the count and the open leaves nothing open
    // although the open itself reports success: that is no connection.
    return result == THIDResult::Success && open;
}

int THIDMivoDevice::Close() {
    return static_cast<int>(FDevice.Close());
}

void THIDMivoDevice::OpenOnDemand() {
    if (!IsOpen()) {
        (void)Open();
    }
}

void THIDMivoDevice::SendCommand(std::uint8_t Code, std::uint8_t Value) {
    if (!FDevice.IsOpen()) {
        return;
    }
    const std::array<std::uint8_t, kReportLength> report{Code, Value,
                                                         static_cast<std::uint8_t>(255 - Value)};
    (void)FDevice.Write(report.data(), kReportLength);
}

void THIDMivoDevice::SendPrompt(std::uint8_t Value) {
    SendCommand(kPromptCommand, Value);
}

void THIDMivoDevice::SetKeyCapture(bool On) {
    SendCommand(kKeyCaptureCommand, On ? 1 : 0);
}

bool THIDMivoDevice::Finish() {
    SendCommand(kFinishCommand, 0);
    return true;
}

void THIDMivoDevice::SetLevel(std::uint8_t Level) {
    OpenOnDemand();
    SendCommand(kLevelCommand, Level);
    (void)Close();
}

std::uint8_t THIDMivoDevice::ReadState() {
    OpenOnDemand();
    std::array<std::uint8_t, kReportLength> report{};
    std::uint8_t state = 0;
    if (readReport(FDevice, report) && report[0] == kStateReport) {
        state = report[1];
    }
    (void)Close();
    return state;
}

bool THIDMivoDevice::Prompt() {
    OpenOnDemand();
    SendPrompt(0);
    (void)Close();
    return true;
}

std::uint8_t THIDMivoDevice::ReadKey(std::int32_t TimeoutMs) {
    if (!FDevice.IsOpen()) {
        return 255;
    }
    SetKeyCapture(true);
    // The key wait's own read time-out stays until the next Open sets 100 ms again.
    FDevice.SetTimeouts(static_cast<DWORD>(TimeoutMs), kLinkTimeoutMs);
    std::array<std::uint8_t, kReportLength> report{};
    std::uint8_t key = 0;
    if (readReport(FDevice, report) && report[0] == kKeyReport) {
        key = report[1];
    }
    SetKeyCapture(false);
    return key;
}

std::uint8_t THIDMivoDevice::WaitKey(std::int32_t TimeoutMs) {
    OpenOnDemand();
    SendPrompt(1);
    std::uint8_t key = ReadKey(TimeoutMs);
    (void)Finish();
    (void)Close();
    return key;
}
