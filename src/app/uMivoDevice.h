// The evaluator device contract: the only view the test sequence has of an
// evaluator, whichever way it is attached (HID, or serial behind an adapter).
//
// Objects are reference-counted: hold them in std::shared_ptr<IMivoDevice>.
// Releasing the last reference destroys the object, and destroying it ends its
// link. No operation throws or shows anything: failures are results.
#pragma once

#include <cstdint>
#include <memory>

class IMivoDevice {
public:
    virtual ~IMivoDevice() = default;

    // Ends a key interaction; true when the device acknowledged.
    virtual bool Finish() = 0;
    // A device of this implementation's kind is attached.
    virtual bool Exists() = 0;
    // The link is open.
    virtual bool IsOpen() = 0;
    // Connects to the attached device; true when commands can reach it. Returns
    // promptly (no waits beyond the link's own short time-outs).
    virtual bool Open() = 0;
    // Ends the link; 0 for success. The object stays safe to release afterwards.
    virtual int Close() = 0;
    // Sets the level shown by the five star lamps.
    virtual void SetLevel(std::uint8_t Level) = 0;
    // A state byte from the device (unused by the station).
    virtual std::uint8_t ReadState() = 0;
    // The first command of every test; true when acknowledged.
    virtual bool Prompt() = 0;
    // Blocks until a key is pressed or TimeoutMs has passed. The key number 1 to
    // 6; anything else (0 for none, 255 when a HID link could not open) is no key.
    virtual std::uint8_t WaitKey(std::int32_t TimeoutMs) = 0;
};

using MivoDeviceRef = std::shared_ptr<IMivoDevice>;
