// The simulated machine's serial side: COM ports, what sits at their far end,
// and the USB-serial adapters that carry them.
//
// A SerialPort is what CreateFileA opens at "\\.\COMn". It keeps the driver's
// line settings (DCB) and time-outs (COMMTIMEOUTS), an input queue fed by the
// far end, and a log of every byte either side put on the line. Reads follow
// the Windows time-out rules: a read ends when it has its bytes, when the total
// time-out (multiplier x count + constant) has run out, when the gap after a
// byte exceeds the interval time-out, or at once in the "return what is there"
// settings; a read ended by a time-out succeeds with what it has.
//
// The far end is an evaluator driven by a script: per frame it answers with
// chosen bytes after chosen delays, or stays silent, or sends garbage or short
// replies; bytes can also be sent unasked at any time.
#pragma once

#include "SimMachine.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// A framing error as ClearCommError reports it (CE_FRAME).
inline constexpr DWORD kLineErrorFrame = 0x0008;

class SerialPort;

// Whatever is wired to the far end of a simulated serial line.
class FarEnd {
public:
    virtual ~FarEnd() = default;
    // Bytes the station wrote reached the far end at virtual time now.
    virtual void received(SerialPort& port, std::string_view bytes, std::uint64_t now) = 0;
};

class SerialPort final : public CommPort {
public:
    // A port as a USB-serial driver leaves it before anybody configures it:
    // 115200 7E2 with RTS/CTS handshake and a read interval time-out, so that a
    // test can see which settings the station changes and which it keeps.
    SerialPort();

    // --- the device, as the core calls it ---
    DWORD open(DWORD access, DWORD flags) override;
    void closed() override;
    void progress(Io& io, std::uint64_t now) override;
    std::uint64_t wakeTime(const Io& io, std::uint64_t now) const override;
    BOOL getState(DCB& dcb) override;
    BOOL setState(const DCB& dcb) override;
    BOOL getTimeouts(COMMTIMEOUTS& timeouts) override;
    BOOL setTimeouts(const COMMTIMEOUTS& timeouts) override;
    BOOL purge(DWORD flags) override;
    BOOL clearError(DWORD* errors, COMSTAT* status) override;

    // --- the far end ---
    void attach(std::shared_ptr<FarEnd> farEnd) { farEnd_ = std::move(farEnd); }
    // The far end puts bytes on the line; they reach the input queue at `when`.
    void send(std::string_view bytes, std::uint64_t when);
    // Bytes that have arrived and wait to be read.
    std::size_t queued() const;

    // --- what the port has seen ---
    struct LogEntry {
        std::uint64_t time;
        bool fromStation; // written by the station, else sent by the far end
        std::string bytes;
    };
    const std::vector<LogEntry>& log() const { return log_; }
    std::string stationBytes() const;   // every byte the station wrote, in order
    std::string evaluatorBytes() const; // every byte the far end sent, in order
    std::string readBytes;              // every byte the station's reads took
    DWORD openAccess = 0;               // of the last successful open
    DWORD openFlags = 0;
    int opens = 0;

    // --- settings and knobs, for tests to preset and inspect ---
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD openError = 0;     // fail CreateFileA with this error
    std::string bytesAtOpen; // what the adapter puts in the input queue as it is opened
    // The far end holds CTS low. That holds writes back (until the write
    // time-out, if any) only while the DCB asks for CTS output flow control.
    bool holdWrites = false;
    // The adapter takes no bytes whatever the handshake (a wedged driver):
    // writes wait until the write time-out, if any.
    bool stallWrites = false;
    DWORD lineErrors = 0; // recorded line errors (CE_FRAME, ...), cleared by ClearCommError

private:
    struct Arrival {
        std::uint64_t time;
        char byte;
    };
    // What the port remembers about a transfer between two progress calls.
    struct Track {
        std::uint64_t started;
        std::uint8_t* buffer;
        DWORD count;
        std::uint64_t lastByte = 0; // arrival time of the last byte a read took
        bool aborted = false;       // purged (PURGE_RXABORT / PURGE_TXABORT)
    };
    Track& track(const Io& io);
    void finish(Io& io, DWORD error);
    void progressRead(Io& io, Track& t, std::uint64_t now);
    void progressWrite(Io& io, Track& t, std::uint64_t now);
    std::uint64_t readDeadline(const Io& io) const;
    std::uint64_t writeDeadline(const Io& io) const;
    bool writesHeld() const;

    std::shared_ptr<FarEnd> farEnd_;
    std::deque<Arrival> input_; // sorted by arrival time
    std::vector<LogEntry> log_;
    std::map<const Io*, Track> tracks_;
};

// An evaluator behind the port. By default it behaves like a working device:
// '3' to "C1E", "C2E" and "C3E" a few milliseconds after the frame, nothing to
// a level frame, and a five-byte key report after "C2E" for each key the test
// has queued with pressKeys (none queued: the operator presses nothing).
class ScriptedEvaluator final : public FarEnd {
public:
    struct Chunk {
        std::uint64_t delay; // after the frame has been received
        std::string bytes;
    };
    using Answer = std::vector<Chunk>;

    static constexpr std::uint64_t kAckDelay = 5;

    // The next answers to a frame, each used once, in order, before the standing one.
    void script(const std::string& frame, Answer answer);
    // The answer to a frame whenever no scripted answer is queued.
    void standing(const std::string& frame, Answer answer);
    // Every frame goes unanswered from now on (the evaluator is switched off).
    void silence() { silent_ = true; }
    // Keys the operator presses, one per "C2E", `after` ms after that frame.
    void pressKeys(std::string_view keys, std::uint64_t after = 300);

    // The five-byte key report for a key character.
    static std::string keyReport(char key);

    void received(SerialPort& port, std::string_view bytes, std::uint64_t now) override;

    std::vector<std::string> frames; // every frame received, in order

private:
    Answer answerTo(const std::string& frame);

    std::map<std::string, std::deque<Answer>> scripted_;
    std::map<std::string, Answer> standing_;
    std::deque<std::pair<char, std::uint64_t>> keys_;
    std::string partial_; // bytes that do not make a frame yet
    bool silent_ = false;
};

// --- USB-serial adapters on the device-setup side ---

// A REG_MULTI_SZ value: each string ended by a zero byte, and one more at the end.
std::string multiSz(std::initializer_list<std::string_view> strings);

// Hardware IDs as the two adapter drivers report them.
std::string pl2303HardwareIds();  // "USB\VID_067B&PID_2303&REV_0300", "USB\VID_067B&PID_2303"
std::string ftdiUsbHardwareIds(); // "USB\VID_0403&PID_6001&REV_0600", "USB\VID_0403&PID_6001"
std::string ftdiBusHardwareIds(); // "FTDIBUS\COMPORT&VID_0403&PID_6001"

// A device node; portName, when given, is stored as "PortName" with its zero byte.
DevNode usbNode(std::string enumerator, std::optional<std::string> hardwareIds,
                std::optional<std::string> portName = std::nullopt);

enum class AdapterChip { PL2303, FTDI };

// An adapter plugged into the machine: its device node(s), its COM port and,
// unless plugged without one, an evaluator at the port's far end.
struct SerialAdapter {
    AdapterChip chip;
    std::string portName; // "COM5"
    std::string path;     // "\\.\COM5"
    std::shared_ptr<SerialPort> port;
    std::shared_ptr<ScriptedEvaluator> evaluator; // null: nothing behind the adapter
};

// A PL2303 adds one "USB" node that holds the port name. An FTDI adds a "USB"
// node for the chip and an "FTDIBUS" node, its child, that holds the port name.
SerialAdapter plugAdapter(AdapterChip chip, std::string portName, bool withEvaluator = true);
// Removes the adapter's nodes and its port: open handles on it see the device gone.
void unplugAdapter(const SerialAdapter& adapter);
// Unrelated "USB" devices (hubs, a mouse, a keyboard, a disk), for crowded machines.
void plugOtherUsbDevices(std::size_t count);

} // namespace sim
