// The evaluator's HID report descriptor, as the device reports it: a vendor
// page, four numbered output reports (the commands) and two numbered input
// reports (5 a key, 6 the state), each of two data bytes after its ID, so that
// Windows counts both report lengths as three bytes. The faked hidraw nodes and
// the usbredir evaluator of the QEMU test present this same descriptor.
#pragma once

#include <string>

inline std::string evaluatorReportDescriptor() {
    static const unsigned char descriptor[] = {
        0x06, 0x00, 0xFF,                                     // usage page (vendor 0xFF00)
        0x09, 0x01,                                           // usage 1
        0xA1, 0x01,                                           // collection (application)
        0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x02, // 0..255, 8 bits, 2 of them
        0x85, 0x01, 0x09, 0x01, 0x91, 0x02,                   // output report 1
        0x85, 0x02, 0x09, 0x01, 0x91, 0x02,                   // output report 2
        0x85, 0x03, 0x09, 0x01, 0x91, 0x02,                   // output report 3
        0x85, 0x04, 0x09, 0x01, 0x91, 0x02,                   // output report 4
        0x85, 0x05, 0x09, 0x01, 0x81, 0x02,                   // input report 5
        0x85, 0x06, 0x09, 0x01, 0x81, 0x02,                   // input report 6
        0xC0,                                                 // end collection
    };
    return std::string(reinterpret_cast<const char*>(descriptor), sizeof descriptor);
}
