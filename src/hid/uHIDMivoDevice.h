// The evaluator attached directly as a USB HID device (vendor 0x10C4, product
// 0x82CD).
//
// Commands go out as three-byte output reports [code, value, 255 - value]; the
// device answers with three-byte input reports [5, key, -] for a key and
// [6, state, -] for its state. Every command operation opens the device if it
// is closed and closes it again before returning, so between operations the
// device is free and the next presence test (which counts only devices it can
// open exclusively) still finds it.
#pragma once

#include "uHIDDevice.h"
#include "uMivoDevice.h"

#include <cstdint>

class THIDMivoDevice final : public IMivoDevice {
public:
    static constexpr std::uint16_t VendorID = 0x10C4;
    static constexpr std::uint16_t ProductID = 0x82CD;

    THIDMivoDevice() = default;

    // An evaluator is attached and not held open by anyone.
    static bool Present();

    // Sends the end of a key interaction if the link is open; always true.
    bool Finish() override;
    bool Exists() override;
    bool IsOpen() override;
    // Opens the last attached evaluator in enumeration order with time-outs of
    // 100 ms; true only when the link is open afterwards.
    bool Open() override;
    // The HID result code: 0, 2 when nothing was open, 7 for an invalid handle.
    int Close() override;
    void SetLevel(std::uint8_t Level) override;
    // The value of a state report sent within the read time-out, else 0.
    std::uint8_t ReadState() override;
    // Always true: the device does not acknowledge.
    bool Prompt() override;
    // The key byte of the first input report when it is a key report (1 to 6
    // expected, others passed through), 0 for no key report, 255 when the
    // device could not be opened. Blocks for up to TimeoutMs plus four writes.
    std::uint8_t WaitKey(std::int32_t TimeoutMs) override;

private:
    // Opens the link when it is closed; the operation goes on either way.
    void OpenOnDemand();
    void SendCommand(std::uint8_t Code, std::uint8_t Value);
    void SendPrompt(std::uint8_t Value);
    void SetKeyCapture(bool On);
    std::uint8_t ReadKey(std::int32_t TimeoutMs);

    THIDDevice FDevice;
};
