// A USB HID device with the evaluator's identifiers (10C4:82CD), presented to
// a QEMU guest through usb-redir: this side is the usbredir "host" (where the
// real device would be), QEMU's usb-redir device the other. It answers the
// guest's enumeration from its own descriptors, hands on every output report
// (the guest's usbhid sends them as SET_REPORT control transfers, since the
// device has no interrupt OUT endpoint) and sends input reports on interrupt
// IN endpoint 0x81 once the guest has started receiving there.
//
// The report descriptor is the evaluator's: numbered reports, output reports 1
// to 4 and input reports 5 and 6, two bytes after the report ID each, so that
// Windows (and the Linux backend) count 3-byte reports both ways.
#pragma once

#include <usbredirparser.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class UsbRedirPeer {
public:
    // Takes a connected, non-blocking socket to QEMU's usb-redir chardev.
    explicit UsbRedirPeer(int fd);
    ~UsbRedirPeer();
    UsbRedirPeer(const UsbRedirPeer&) = delete;
    UsbRedirPeer& operator=(const UsbRedirPeer&) = delete;

    int fd() const { return fd_; }
    bool wantsWrite() const;
    // Reads and answers what QEMU sent; false once the connection has ended.
    bool readable();
    // Writes what is queued; false on a write error.
    bool writable();
    // One input report, report ID first; kept until the guest receives on 0x81.
    void sendInputReport(std::string_view report);
    // The device goes away: a device_disconnect, then the socket is closed,
    // which is what detaches the device from QEMU's bus.
    void unplug();

    // Each output report as it arrives, report ID first.
    std::function<void(std::string)> onOutputReport;

private:
    struct Callbacks; // the parser's C callbacks, which call the members below
    friend struct Callbacks;

    void hello();
    void control(std::uint64_t id, const usb_redir_control_packet_header& header,
                 const std::uint8_t* data, int length);
    void sendInterfaceAndEndpoints();
    void flushInputReports();

    int fd_;
    usbredirparser* parser_;
    bool ended_ = false;      // QEMU closed its end
    bool configured_ = false; // the guest chose configuration 1
    bool receiving_ = false;  // the guest started interrupt receiving on 0x81
    std::string queued_;      // input reports, 3 bytes each, until then
    std::uint64_t nextPacketId_ = 0;
};
