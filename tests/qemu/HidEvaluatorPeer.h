// The evaluator as a USB HID device (10C4:82CD) behind usb-redir. It hands on
// every output report (the guest's usbhid sends them as SET_REPORT control
// transfers, report ID first, since the device has no interrupt OUT endpoint)
// and sends each input report, report ID first, on interrupt IN endpoint 0x81.
//
// The report descriptor is the evaluator's: numbered reports, output reports 1
// to 4 and input reports 5 and 6, two bytes after the report ID each, so that
// Windows (and the Linux backend) count 3-byte reports both ways.
#pragma once

#include "EvaluatorReportDescriptor.h"
#include "UsbRedirPeer.h"

class HidEvaluatorPeer final : public UsbRedirPeer {
public:
    explicit HidEvaluatorPeer(int fd) : UsbRedirPeer(fd, descriptors()) {}

    void send(std::string_view report) override { sendInterrupt(std::string(report)); }

private:
    // A full-speed USB 2.0 device, class given by its interface, one
    // configuration: interface 0 (HID, no boot protocol) with its HID
    // descriptor and interrupt IN 0x81, 64 bytes, every 10 ms.
    static UsbDescriptors descriptors() {
        UsbDescriptors d;
        d.device = usbBytes({
            18, 1, 0x00, 0x02, 0, 0, 0, 64, // bcdUSB 2.00, ep0 64 bytes
            0xC4, 0x10, 0xCD, 0x82,         // 10C4:82CD
            0x00, 0x01, 0, 0, 0, 1,         // bcdDevice 1.00, no strings
        });
        d.configuration = usbBytes({
            9,    2,
            34,   0,
            1,    1,
            0,    0x80,
            50, // 34 bytes in all, bus powered, 100 mA
            9,    4,
            0,    0,
            1,    3,
            0,    0,
            0, // one HID interface
            9,    0x21,
            0x11, 0x01,
            0,    1, // HID 1.11, no country, one descriptor:
            0x22, static_cast<int>(evaluatorReportDescriptor().size()),
            0, // the report's
            7,    5,
            0x81, 3,
            64,   0,
            10,
        });
        return d;
    }

    bool request(const usb_redir_control_packet_header& setup, std::string_view data,
                 std::string& answer) override {
        switch ((setup.requesttype << 8) | setup.request) {
        case 0x8106: // GET_DESCRIPTOR of the interface: the report descriptor
            answer = setup.value >> 8 == 0x22 ? evaluatorReportDescriptor() : std::string();
            return true;
        case 0x210A: // SET_IDLE: reports are sent only when there is one anyway
            return true;
        case 0x2109: // SET_REPORT: an output report
            if (onReceived) {
                onReceived(std::string(data));
            }
            return true;
        default: // GET_REPORT included: the evaluator reports only on interrupt IN
            return false;
        }
    }
};
