#include "uCOMMivoDevice.h"

#include <array>

namespace {

constexpr char kAck = '3';
constexpr std::uint8_t kReportStart = 0x10;
constexpr std::uint8_t kReportEnd = 0x11;
constexpr std::int32_t kOpenTimeoutMs = 100;
// A three-byte frame takes about 3 ms at 9600 baud; one that has not gone out
// within this has met a line that will not take it.
constexpr std::int32_t kWriteTimeoutMs = 100;

} // namespace

TCOMMivoDevice::~TCOMMivoDevice() {
    Detach();
}

bool TCOMMivoDevice::IsOpen() {
    return FDevice != nullptr && FDevice->Handle() != INVALID_HANDLE_VALUE;
}

bool TCOMMivoDevice::Attach(std::unique_ptr<TCOMDevice> Port) {
    FDevice = std::move(Port);
    if (!TCOMMivoDevice::IsOpen()) {
        Detach();
        return false;
    }
    (void)FDevice->SetCommParams(9600, 8, NOPARITY, ONESTOPBIT);
    // Before the read time-out: should the port's time-outs be unreadable,
    // SetTimeout still leaves the reads bounded.
    (void)FDevice->SetWriteTimeout(kWriteTimeoutMs);
    (void)FDevice->SetTimeout(kOpenTimeoutMs);
    // Some adapters emit a zero byte as they are opened.
    (void)FDevice->DiscardInput();
    return true;
}

int TCOMMivoDevice::Detach() {
    FDevice.reset();
    return 0;
}

bool TCOMMivoDevice::WriteFrame(std::string_view Frame) {
    if (FDevice == nullptr) {
        return false;
    }
    // Whatever waits unread (an acknowledgement that came after its read gave
    // up, line noise) is not the answer to this frame.
    (void)FDevice->DiscardInput();
    return FDevice->Write(Frame.data(), static_cast<std::int32_t>(Frame.size()));
}

bool TCOMMivoDevice::ReadAck() {
    char byte = 0;
    return FDevice != nullptr && FDevice->Read(&byte, 1) && byte == kAck;
}

bool TCOMMivoDevice::Finish() {
    (void)WriteFrame("C3E");
    return ReadAck();
}

void TCOMMivoDevice::SetLevel(std::uint8_t Level) {
    const std::array<char, 3> frame{'C', static_cast<char>(static_cast<std::uint8_t>(0x66 - Level)),
                                    'E'};
    (void)WriteFrame(std::string_view(frame.data(), frame.size()));
}

std::uint8_t TCOMMivoDevice::ReadState() {
    return 0;
}

bool TCOMMivoDevice::Prompt() {
    (void)WriteFrame("C1E");
    return ReadAck();
}

std::uint8_t TCOMMivoDevice::WaitKey(std::int32_t TimeoutMs) {
    if (FDevice == nullptr) {
        return 0;
    }
    (void)FDevice->SetTimeout(TimeoutMs);
    if (!WriteFrame("C2E")) {
        return 0; // the device never got the request: nothing to end
    }
    if (!ReadAck()) {
        (void)Finish();
        return 0;
    }
    // A report cut short by the time-out keeps the cleared bytes and fails.
    std::array<std::uint8_t, 5> report{};
    if (!FDevice->Read(report.data(), static_cast<std::int32_t>(report.size())) ||
        report[0] != kReportStart || report[3] != kReportEnd) {
        (void)Finish();
        return 0;
    }
    // '1' to '6' give 1 to 6; any other byte gives a number the caller treats
    // as no valid key.
    return static_cast<std::uint8_t>(report[2] - '1' + 1);
}

bool TPL2303Mivo::Exists() {
    return TPL2303Device::Exists();
}

bool TPL2303Mivo::Open() {
    if (!Exists()) {
        return false;
    }
    Detach(); // a port still held would make the exclusive open fail
    return Attach(TPL2303Device::OpenPort());
}

int TPL2303Mivo::Close() {
    return Detach();
}

bool TFTDIMivo::Exists() {
    return TFTDIDevice::Exists();
}

bool TFTDIMivo::Open() {
    if (!Exists()) {
        return false;
    }
    Detach();
    return Attach(TFTDIDevice::OpenPort());
}

int TFTDIMivo::Close() {
    return Detach();
}
