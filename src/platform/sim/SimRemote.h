// Devices of the simulated machine that live in another process: an evaluator
// played by a program of its own (the virtual evaluator), reached over a local
// stream socket. The station sees exactly the HID interface, USB device nodes
// and COM port that the tests plug in; only what stands at their far end is
// elsewhere. Linux builds only (POSIX sockets); the simulated machine's own
// setting, never the station's:
//
//   EVALUATOR_SIM_DEVICES=/path/to/socket
//
// names the socket the virtual evaluator listens on. With it the machine runs
// its clock in real time and keeps (re)connecting to that socket.
//
// The conversation is ASCII lines ended by '\n', bytes in upper- or lower-case
// hexadecimal, two digits a byte, no spaces:
//
//   from the virtual evaluator        meaning
//   plug hid                          an evaluator attached as a USB HID device
//   plug pl2303 COM5                  an evaluator behind a PL2303 adapter on COM5
//   plug ftdi COM6                    an evaluator behind an FTDI adapter on COM6
//   unplug                            whatever is attached goes
//   in 05037C                         bytes from the device: one HID input report,
//                                     or bytes the device puts on the serial line
//
//   from the station's machine        meaning
//   out 0100FF                        bytes the station wrote: one HID output
//                                     report, or bytes written to the COM port
//
// At most one evaluator is attached at a time: a second "plug" unplugs the
// first. A closed connection unplugs it too. Lines that are too long, or that
// the machine does not understand, are skipped.
#pragma once

#include "SimHidDevice.h"
#include "SimSerial.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

namespace remote {

inline constexpr std::size_t kMaxLine = 200; // longer lines are skipped
inline constexpr std::uint16_t kVendorId = 0x10C4;
inline constexpr std::uint16_t kProductId = 0x82CD;

// "in" or "out" and the bytes, as one line with its '\n'.
std::string bytesLine(std::string_view verb, std::string_view bytes);
// The bytes of a hexadecimal text; nothing when it is not whole bytes of hex digits.
std::optional<std::string> fromHex(std::string_view hex);

} // namespace remote

class RemoteDevices final : public std::enable_shared_from_this<RemoteDevices> {
public:
    // Keeps connecting to the socket at path, at most every retryMs.
    static std::shared_ptr<RemoteDevices> connectTo(std::string path);
    // Talks over a socket already connected (one end of a socket pair, in tests).
    static std::shared_ptr<RemoteDevices> overSocket(int fd);
    ~RemoteDevices();
    RemoteDevices(const RemoteDevices&) = delete;
    RemoteDevices& operator=(const RemoteDevices&) = delete;

    // Takes what has arrived on the socket and acts on it; never blocks.
    void poll();
    bool connected() const { return fd_ >= 0; }

    // What is attached now (for tests): the HID device or the adapter, or neither.
    const std::shared_ptr<HidDevice>& hid() const { return hid_; }
    const std::optional<SerialAdapter>& adapter() const { return adapter_; }

    static constexpr std::uint64_t retryMs = 200;

private:
    explicit RemoteDevices(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    class SerialFarEnd;
    void tryConnect();
    void disconnect();
    void handle(std::string_view line);
    void plug(std::string_view kind, std::string_view port);
    void unplug();
    void send(std::string_view verb, std::string_view bytes);

    std::string path_; // empty: no reconnecting
    int fd_ = -1;
    std::uint64_t nextAttempt_ = 0;
    std::string partial_;
    bool skipping_ = false; // the rest of an over-long line is being skipped
    std::shared_ptr<HidDevice> hid_;
    std::string hidPath_;
    std::optional<SerialAdapter> adapter_;
};

// Reads the machine's setting (EVALUATOR_SIM_DEVICES); when it names a socket,
// switches the clock to real time and attaches the devices found there. Returns
// whether it did. Called once, when the station first reaches the machine.
bool startRemoteDevices();

} // namespace sim
