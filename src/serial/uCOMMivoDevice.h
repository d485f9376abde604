// The evaluator behind a USB-serial adapter.
//
// The link runs at 9600 baud, 8 data bits, no parity, one stop bit, with no
// handshake. The station sends three-byte frames, 'C', a command byte, 'E':
//   "C1E" prompt, "C2E" wait for a key, "C3E" end the key interaction,
//   'C', 0x66 - level, 'E' light `level` star lamps (no answer).
// The evaluator acknowledges "C1E", "C2E" and "C3E" with the byte '3'; after
// acknowledging "C2E" it sends a five-byte key report once a key is pressed:
//   0x10, any, the key as '1' to '6', 0x11, any.
// The port stays open from Open to Close.
#pragma once

#include "uCOMDevice.h"
#include "uMivoDevice.h"

#include <cstdint>
#include <memory>
#include <string_view>

class TCOMMivoDevice : public IMivoDevice {
public:
    ~TCOMMivoDevice() override;

    // Sends "C3E"; true when acknowledged.
    bool Finish() override;
    // A port is held and its handle is valid.
    bool IsOpen() override;
    // The level frame; nothing is read back and a failed write is not reported.
    void SetLevel(std::uint8_t Level) override;
    // The serial evaluator has no state to report: 0, without traffic.
    std::uint8_t ReadState() override;
    // Sends "C1E"; true when acknowledged.
    bool Prompt() override;
    // Sends "C2E" and returns the key of the report that follows its
    // acknowledgement, or 0. TimeoutMs becomes the read time-out of this link
    // from now on, for every later acknowledgement too, so one call may take
    // up to three times TimeoutMs (acknowledgement, report, and the
    // acknowledgement of the "C3E" sent after a wrong answer).
    std::uint8_t WaitKey(std::int32_t TimeoutMs) override;

    // The port in use; null while closed.
    const TCOMDevice* Device() const { return FDevice.get(); }

protected:
    TCOMMivoDevice() = default;

    // Takes the port the adapter gave (null: none found). A usable port is set
    // to 9600 8N1 without handshake, with a 100 ms read time-out and a 100 ms
    // write time-out, and its input queue is cleared; any other is freed at once.
    // True when the link is open.
    bool Attach(std::unique_ptr<TCOMDevice> Port);
    // Frees the port, which closes it; 0.
    int Detach();

private:
    // Clears the input queue, then writes the frame; true when all of it went out.
    bool WriteFrame(std::string_view Frame);
    // One byte, cleared first so that a read ended by its time-out cannot pass.
    bool ReadAck();

    std::unique_ptr<TCOMDevice> FDevice;
};

class TPL2303Mivo final : public TCOMMivoDevice {
public:
    TPL2303Mivo() = default;
    bool Exists() override;
    bool Open() override;
    int Close() override;
};

class TFTDIMivo final : public TCOMMivoDevice {
public:
    TFTDIMivo() = default;
    bool Exists() override;
    bool Open() override;
    int Close() override;
};
