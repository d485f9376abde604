// The evaluator as a USB HID device (10C4:82CD) behind usb-redir. It hands on
// every output report (the guest's usbhid sends them as SET_REPORT control
// transfers, since the device has no interrupt OUT endpoint) and sends input
// reports on interrupt IN endpoint 0x81.
//
// The report descriptor is the evaluator's: numbered reports, output reports 1
// to 4 and input reports 5 and 6, two bytes after the report ID each, so that
// Windows (and the Linux backend) count 3-byte reports both ways.
#pragma once

#include "UsbRedirPeer.h"

#include <functional>

class HidEvaluatorPeer final : public UsbRedirPeer {
public:
    explicit HidEvaluatorPeer(int fd);

    // One input report, report ID first; kept until the guest receives on 0x81.
    void sendInputReport(std::string_view report) { sendInterrupt(std::string(report)); }
    // Each output report as it arrives, report ID first.
    std::function<void(std::string)> onOutputReport;

private:
    bool request(const usb_redir_control_packet_header& setup, std::string_view data,
                 std::string& answer) override;
};
