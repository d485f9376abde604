#include "HidEvaluatorPeer.h"

#include "EvaluatorReportDescriptor.h"

namespace {

const std::string kReportDescriptor = evaluatorReportDescriptor();

const std::string kHidDescriptor = usbBytes({
    9, 0x21, 0x11, 0x01, 0, 1,                           // HID 1.11, no country, one descriptor:
    0x22, static_cast<int>(kReportDescriptor.size()), 0, // the report descriptor, its length
});

UsbDescriptors descriptors() {
    UsbDescriptors d;
    // A full-speed USB 2.0 device, class given by its interface, one configuration.
    d.device = usbBytes({
        18, 1, 0x00, 0x02, 0, 0, 0, 64, // bcdUSB 2.00, ep0 64 bytes
        0xC4, 0x10, 0xCD, 0x82,         // 10C4:82CD
        0x00, 0x01, 1, 2, 0, 1,         // bcdDevice 1.00, strings 1 and 2, no serial
    });
    // Configuration 1: interface 0 (HID, no boot protocol) with interrupt IN
    // 0x81, 64 bytes, every 10 ms.
    d.configuration = usbBytes({
        9, 2, 34, 0, 1, 1, 0, 0x80, 50, // 34 bytes in all, bus powered, 100 mA
        9, 4, 0, 0, 1, 3, 0, 0, 0,      // one HID interface
    });
    d.configuration += kHidDescriptor;
    d.configuration += usbBytes({7, 5, 0x81, 3, 64, 0, 10});
    d.strings = {"Evaluator test rig", "Evaluator"};
    return d;
}

} // namespace

HidEvaluatorPeer::HidEvaluatorPeer(int fd) : UsbRedirPeer(fd, descriptors()) {}

bool HidEvaluatorPeer::request(const usb_redir_control_packet_header& setup, std::string_view data,
                               std::string& answer) {
    const int type = setup.value >> 8;
    switch ((setup.requesttype << 8) | setup.request) {
    case 0x8106: // GET_DESCRIPTOR of the interface: HID class and report descriptors
        answer = type == 0x21 ? kHidDescriptor : type == 0x22 ? kReportDescriptor : std::string();
        return true;
    case 0x210A: // SET_IDLE: reports are sent only when there is one anyway
        return true;
    case 0x2109: { // SET_REPORT: an output report, its ID in the low byte of wValue
        std::string report(data);
        const auto id = static_cast<char>(setup.value & 0xFF);
        if (id != 0 && (report.empty() || report[0] != id)) {
            report.insert(report.begin(), id);
        }
        if (onOutputReport) {
            onOutputReport(std::move(report));
        }
        return true;
    }
    default: // GET_REPORT included: the evaluator reports only on interrupt IN
        return false;
    }
}
