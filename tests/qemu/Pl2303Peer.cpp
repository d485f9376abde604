#include "Pl2303Peer.h"

#include <cstdio>

namespace {

// The line coding of SET_LINE and GET_LINE: rate (32 bits, little-endian),
// stop bits (0: one), parity (0: none), data bits.
const std::string k9600_8N1 = usbBytes({0x80, 0x25, 0, 0, 0, 0, 8});

// Register 0 bits 4 to 7: the chip's flow control; 0xC0 is automatic XON/XOFF.
constexpr std::uint8_t kFlowMask = 0xF0;
constexpr std::uint8_t kFlowXonXoff = 0xC0;

UsbDescriptors descriptors(Pl2303Peer::Chip chip) {
    const bool hx = chip == Pl2303Peer::Chip::Hx;
    UsbDescriptors d;
    d.device = usbBytes({
        18, 1, hx ? 0x10 : 0x00, hx ? 0x01 : 0x02, 0, 0, 0, 64, // bcdUSB 1.10 or 2.00, ep0 64
        0x7B, 0x06, 0x03, 0x23,                                 // 067B:2303
        0x00, hx ? 0x03 : 0x09, 1, 2, 0, 1,                     // bcdDevice 3.00 or 9.00
    });
    // One vendor-class interface: line state on interrupt IN 0x81 (10 bytes,
    // every 1 ms), the data on bulk OUT 0x02 and bulk IN 0x83 (64 bytes).
    d.configuration = usbBytes({
        9, 2, 39,   0, 1,  1,    0, 0x80, 50, // 39 bytes in all, bus powered, 100 mA
        9, 4, 0,    0, 3,  0xFF, 0, 0,    0,  //
        7, 5, 0x81, 3, 10, 0,    1,           //
        7, 5, 0x02, 2, 64, 0,    0,           //
        7, 5, 0x83, 2, 64, 0,    0,           //
    });
    d.strings = {"Evaluator test rig", "USB-Serial Controller"};
    return d;
}

std::string describe(const std::string& line) {
    const auto b = [&line](std::size_t i) { return static_cast<unsigned>(line[i] & 0xFF); };
    char text[96];
    std::snprintf(text, sizeof text, "%u baud, %u data bits, parity code %u, stop code %u",
                  b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24, b(6), b(5), b(4));
    return text;
}

} // namespace

Pl2303Peer::Pl2303Peer(int fd, Chip chip) : UsbRedirPeer(fd, descriptors(chip)) {}

bool Pl2303Peer::request(const usb_redir_control_packet_header& setup, std::string_view data,
                         std::string& answer) {
    switch ((setup.requesttype << 8) | setup.request) {
    case 0xC001: // vendor read: register r is asked as r | 0x80
        answer = std::string(1, static_cast<char>(registers_[setup.value & ~0x80]));
        return true;
    case 0x4001: // vendor write: the register in wValue, its value in wIndex
        writeRegister(setup.value, static_cast<std::uint8_t>(setup.index));
        return true;
    case 0xA121: // GET_LINE
        answer = line_;
        return true;
    case 0x2120: // SET_LINE
        if (data.size() == line_.size()) {
            line_ = data;
        }
        return data.size() == line_.size();
    case 0x2122: // SET_CONTROL: DTR and RTS
    case 0x2123: // BREAK
        return true;
    default:
        return false;
    }
}

void Pl2303Peer::writeRegister(std::uint16_t address, std::uint8_t value) {
    registers_[address] = value;
    if (address != 0) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const bool xonXoff = (value & kFlowMask) == kFlowXonXoff;
    if (xonXoff && !xonXoffSince_) {
        xonXoffSince_ = now;
    } else if (!xonXoff && xonXoffSince_) {
        xonXoffWindowsMs.push_back(
            std::chrono::duration<double, std::milli>(now - *xonXoffSince_).count());
        xonXoffSince_.reset();
    }
}

void Pl2303Peer::bulkOut(std::uint8_t, std::string_view data) {
    if (line_ != k9600_8N1) {
        if (onProblem) {
            onProblem(std::to_string(data.size()) + " bytes sent at " + describe(line_) +
                      ": refused");
        }
        return;
    }
    if (xonXoffSince_ && onProblem) {
        onProblem("bytes sent with the chip's automatic XON/XOFF on");
    }
    if (onLineBytes) {
        onLineBytes(std::string(data));
    }
}

void Pl2303Peer::interruptStarted() {
    // The UART state: DCD, DSR and CTS up, as an adapter with a device on its line.
    sendInterrupt(usbBytes({0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x83, 0}));
}
