// A PL2303 USB-serial adapter (067B:2303) behind usb-redir, answered as the
// chip answers the guest's pl2303 driver. Its far end is the test's: what
// the guest sends comes out of onLineBytes, what the far end sends goes in
// through send(), provided the line is at 9600 8N1.
//
// What the guest's driver does with it (Linux 6.1, measured in this test):
//  - It tells the chip type from the descriptors alone: bcdUSB 1.10 with
//    bcdDevice 3.00 is an HX. With bcdUSB 2.00 it asks vendor register 0x8080
//    for some bcdDevice values; bcdDevice 9.00 is no type it knows: the USB
//    device stays, but "unknown device type" is logged and no tty appears.
//    The station's presence test, which reads the USB device, is then true
//    while its port look-up finds nothing: each tick creates the evaluator
//    object, fails to open it and lets it go (no handle, descriptor or heap
//    growth over 100 ticks, no test counted).
//  - At attach it reads registers 0x8484 and 0x8383 and writes 0x0404, 0,
//    1 and 2. At every open it writes registers 8 and 9, reads the line coding
//    (GET_LINE), sets it (SET_LINE) and the flow bits of register 0,
//    then raises DTR and RTS (SET_CONTROL); at close it drops them and clears
//    the break.
//  - A new tty has IXON set, and a tty keeps its settings from one open to
//    the next: the first open after plug-in switches the chip's automatic
//    XON/XOFF on until the program's first tcsetattr takes raw settings
//    (1.5 to 11 ms: the station's open sets them before it returns, and
//    nothing is on the line then); later opens leave it off. A key report
//    holds 0x11 (XON), so bytes sent while it is on are a fault here.
//  - Every close of a live tty waits for the driver's drain delay, the time
//    of 256 characters at the line's rate but at least 100 ms: 275 to 295 ms
//    at 9600 baud, the same when the output was flushed first (the wait is
//    not for pending output), about 105 ms at 115200. A close after an unplug
//    does not wait. The station closes a live port only when it ends with an
//    evaluator attached (or when a test's counters write is refused): nothing
//    to gain there.
#pragma once

#include "UsbRedirPeer.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <vector>

class Pl2303Peer final : public UsbRedirPeer {
public:
    enum class Chip { Hx, Unknown };
    Pl2303Peer(int fd, Chip chip);

    // Bytes from the far end, to the guest.
    void send(std::string_view bytes) { sendBulkIn(bytes); }
    // Bytes the guest sent, each bulk transfer as it came, at 9600 8N1.
    std::function<void(std::string)> onLineBytes;
    // What a real line would not have carried: bytes at other settings (not
    // handed on) or with the automatic XON/XOFF on.
    std::function<void(std::string)> onProblem;
    std::vector<double> xonXoffWindowsMs;

private:
    bool request(const usb_redir_control_packet_header& setup, std::string_view data,
                 std::string& answer) override;
    void bulkOut(std::uint8_t endpoint, std::string_view data) override;
    void interruptStarted() override;
    void writeRegister(std::uint16_t address, std::uint8_t value);

    std::map<std::uint16_t, std::uint8_t> registers_;
    std::string line_ = std::string(7, '\0'); // the line coding: none set yet
    std::optional<std::chrono::steady_clock::time_point> xonXoffSince_;
};
