// A PL2303 USB-serial adapter (067B:2303) behind usb-redir, answering the
// guest's pl2303 driver as the chip does. The driver tells the chip type from
// the descriptors: bcdUSB 1.10 with bcdDevice 3.00 is an HX; bcdUSB 2.00 with
// bcdDevice 9.00 is no type it knows ("unknown device type": the USB device
// stays, but no tty appears). At attach and at every open it reads and writes
// vendor registers (register 0's bits 4 to 7 are the chip's flow control),
// then sets the line coding (SET_LINE) and DTR and RTS (SET_CONTROL).
//
// Its far end is the test's: the guest's bytes come out of onReceived, each
// bulk transfer as it came, provided the line is at 9600 8N1. A new tty has
// IXON set, so the first open after plug-in turns the chip's automatic
// XON/XOFF on until the station's raw line settings turn it off; a key report
// holds 0x11 (XON), so bytes sent while it is on are a fault here.
#pragma once

#include "UsbRedirPeer.h"

#include <chrono>
#include <map>
#include <optional>
#include <vector>

class Pl2303Peer final : public UsbRedirPeer {
public:
    enum class Chip { Hx, Unknown };
    Pl2303Peer(int fd, Chip chip) : UsbRedirPeer(fd, descriptors(chip == Chip::Hx)) {
        // The UART state: DCD, DSR and CTS up, as an adapter with a device on its line.
        sendInterrupt(usbBytes({0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x83, 0}));
    }

    void send(std::string_view bytes) override { sendBulkIn(bytes); }
    // What a real line would not have carried: bytes at other settings (not
    // handed on) or with the automatic XON/XOFF on.
    std::function<void(std::string)> onProblem;
    // How long each time the automatic XON/XOFF was on.
    std::vector<double> xonXoffWindowsMs;

private:
    using Clock = std::chrono::steady_clock;

    // One vendor-class interface: line state on interrupt IN 0x81 (10 bytes,
    // every 1 ms), the data on bulk OUT 0x02 and bulk IN 0x83 (64 bytes).
    static UsbDescriptors descriptors(bool hx) {
        UsbDescriptors d;
        d.device = usbBytes({
            18, 1, hx ? 0x10 : 0x00, hx ? 0x01 : 0x02, 0, 0, 0, 64, // bcdUSB 1.10 or 2.00
            0x7B, 0x06, 0x03, 0x23,                                 // 067B:2303
            0x00, hx ? 0x03 : 0x09, 0, 0, 0, 1,                     // bcdDevice 3.00 or 9.00
        });
        d.configuration = usbBytes({
            9, 2, 39,   0, 1,  1,    0, 0x80, 50, // 39 bytes in all, bus powered, 100 mA
            9, 4, 0,    0, 3,  0xFF, 0, 0,    0,  //
            7, 5, 0x81, 3, 10, 0,    1,           //
            7, 5, 0x02, 2, 64, 0,    0,           //
            7, 5, 0x83, 2, 64, 0,    0,           //
        });
        return d;
    }

    bool request(const usb_redir_control_packet_header& setup, std::string_view data,
                 std::string& answer) override {
        switch ((setup.requesttype << 8) | setup.request) {
        case 0xC001: // vendor read: register r is asked as r | 0x80
            answer = std::string(1, static_cast<char>(registers_[setup.value & ~0x80]));
            return true;
        case 0x4001: // vendor write: the register in wValue, its value in wIndex
            registers_[setup.value] = static_cast<std::uint8_t>(setup.index);
            if (setup.value == 0) {
                flowControl(setup.index & 0xF0);
            }
            return true;
        case 0xA121: // GET_LINE: rate (32 bits), stop bits, parity, data bits
            answer = line_;
            return true;
        case 0x2120: // SET_LINE
            if (data.size() != line_.size()) {
                return false;
            }
            line_ = data;
            return true;
        case 0x2122: // SET_CONTROL: DTR and RTS
        case 0x2123: // BREAK
            return true;
        default:
            return false;
        }
    }

    void flowControl(int bits) {
        const bool xonXoff = bits == 0xC0;
        if (xonXoff && !xonXoffSince_) {
            xonXoffSince_ = Clock::now();
        } else if (!xonXoff && xonXoffSince_) {
            xonXoffWindowsMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - *xonXoffSince_).count());
            xonXoffSince_.reset();
        }
    }

    void bulkOut(std::string_view data) override {
        const bool line9600_8N1 = line_ == usbBytes({0x80, 0x25, 0, 0, 0, 0, 8});
        if ((!line9600_8N1 || xonXoffSince_) && onProblem) {
            onProblem(line9600_8N1 ? "bytes sent with the chip's automatic XON/XOFF on"
                                   : std::to_string(data.size()) + " bytes sent at line coding " +
                                         hex(line_) + ": refused");
        }
        if (line9600_8N1 && onReceived) {
            onReceived(std::string(data));
        }
    }

    std::map<std::uint16_t, std::uint8_t> registers_;
    std::string line_ = std::string(7, '\0'); // the line coding: none set yet
    std::optional<Clock::time_point> xonXoffSince_;
};
