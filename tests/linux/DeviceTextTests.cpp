// What the Linux backend makes of sysfs text and report descriptors.
#include "linux/DeviceText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

TEST(DeviceText, HidIdFromUevent) {
    struct Case {
        const char* uevent;
        bool parsed;
        std::uint16_t vendor, product;
    };
    for (const Case& c : {
             Case{"DRIVER=hid-generic\nHID_ID=0003:000010C4:000082CD\nHID_NAME=x\n", true, 0x10C4,
                  0x82CD},
             Case{"HID_ID=0003:0000046d:0000c077", true, 0x046D, 0xC077}, // lower case, no newline
             Case{"HID_NAME=a\nXHID_ID=0003:00001111:00002222\n", false, 0, 0},
             Case{"HID_ID=0003:000110C4:000082CD\n", false, 0, 0}, // more than 16 bits
             Case{"HID_ID=0003:10C4\n", false, 0, 0},
             Case{"HID_ID=0003:zz:82CD\n", false, 0, 0},
             Case{"", false, 0, 0},
         }) {
        SCOPED_TRACE(c.uevent);
        auto id = lnx::parseHidId(c.uevent);
        ASSERT_EQ(id.has_value(), c.parsed);
        if (c.parsed) {
            EXPECT_EQ(id->vendor, c.vendor);
            EXPECT_EQ(id->product, c.product);
        }
    }
}

TEST(DeviceText, UsbDeviceFromUevent) {
    struct Case {
        const char* uevent;
        bool parsed;
        std::uint16_t vendor, product, revision;
        unsigned bus, device;
    };
    for (const Case& c : {
             Case{"MAJOR=189\nDEVTYPE=usb_device\nDRIVER=usb\nPRODUCT=67b/2303/300\nTYPE=0/0/0\n"
                  "BUSNUM=001\nDEVNUM=012\n",
                  true, 0x067B, 0x2303, 0x0300, 1, 12},
             Case{"DEVTYPE=usb_device\nPRODUCT=FFFF/0/1\nBUSNUM=10\nDEVNUM=127", true, 0xFFFF, 0, 1,
                  10, 127},
             // An interface names its device's PRODUCT too.
             Case{"DEVTYPE=usb_interface\nPRODUCT=403/6001/600\nINTERFACE=255/255/255\n", false, 0,
                  0, 0, 0, 0},
             Case{"DEVTYPE=usb_device\nPRODUCT=10403/6001/600\nBUSNUM=001\nDEVNUM=002\n", false, 0,
                  0, 0, 0, 0},
             Case{"DEVTYPE=usb_device\nPRODUCT=403/6001\nBUSNUM=001\nDEVNUM=002\n", false, 0, 0, 0,
                  0, 0},
             Case{"DEVTYPE=usb_device\nPRODUCT=403/6001/600\nDEVNUM=002\n", false, 0, 0, 0, 0, 0},
             Case{"DEVTYPE=usb_device\nPRODUCT=403/6001/600\nBUSNUM=x1\nDEVNUM=002\n", false, 0, 0,
                  0, 0, 0},
         }) {
        SCOPED_TRACE(c.uevent);
        auto usb = lnx::parseUsbDevice(c.uevent);
        ASSERT_EQ(usb.has_value(), c.parsed);
        if (c.parsed) {
            EXPECT_EQ(usb->vendor, c.vendor);
            EXPECT_EQ(usb->product, c.product);
            EXPECT_EQ(usb->revision, c.revision);
            EXPECT_EQ(usb->bus, c.bus);
            EXPECT_EQ(usb->device, c.device);
        }
    }
}

TEST(DeviceText, ReportLengthsCountTheReportIdByteAsWindowsDoes) {
    struct Case {
        const char* what;
        std::string descriptor;
        std::uint16_t input, output, feature;
        bool numbered;
    };
    const std::string evaluator =
        bytes({0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95,
               0x02, 0x85, 0x01, 0x91, 0x02, 0x85, 0x05, 0x81, 0x02, 0xC0});
    for (const Case& c : {
             Case{"numbered reports: two data bytes and the ID", evaluator, 3, 3, 0, true},
             Case{"no IDs: the 0 byte Windows puts in front is counted",
                  bytes({0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x95, 0x20, 0x91, 0x02}), 65, 33, 0,
                  false},
             Case{"bits rounded up to bytes, per report ID, the longest wins",
                  bytes({0x85, 0x01, 0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x85, 0x02, 0x75, 0x08,
                         0x95, 0x04, 0x81, 0x02, 0xB1, 0x02}),
                  5, 0, 5, true},
             Case{"push and pop keep the report size",
                  bytes({0x75, 0x08, 0x95, 0x01, 0xA4, 0x75, 0x10, 0xB4, 0x81, 0x02}), 2, 0, 0,
                  false},
             Case{"a long item is skipped",
                  bytes({0xFE, 0x02, 0x00, 0xAA, 0xBB, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}), 2, 0,
                  0, false},
             Case{"a truncated item ends the descriptor",
                  bytes({0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0x96, 0x01}), 3, 0, 0, false},
             Case{"a huge count is held to what a length can say",
                  bytes({0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02}),
                  0xFFFF, 0, 0, false},
             Case{"empty", "", 0, 0, 0, false},
         }) {
        SCOPED_TRACE(c.what);
        lnx::ReportLengths r = lnx::reportLengths(c.descriptor);
        EXPECT_EQ(r.input, c.input);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(r.feature, c.feature);
        EXPECT_EQ(r.numbered, c.numbered);
    }
    lnx::ReportLengths r = lnx::reportLengths(evaluator);
    EXPECT_EQ(r.usagePage, 0xFF00);
    EXPECT_EQ(r.usage, 0x0001);
}

TEST(DeviceText, HardwareIdsInTheWindowsForm) {
    using namespace std::string_literals;
    EXPECT_EQ(lnx::usbHardwareIds(0x0403, 0x6001, 0x0600),
              "USB\\VID_0403&PID_6001&REV_0600\0USB\\VID_0403&PID_6001\0\0"s);
    EXPECT_EQ(lnx::usbHardwareIds(0x067b, 0x2303, std::nullopt), "USB\\VID_067B&PID_2303\0\0"s);
    EXPECT_EQ(lnx::ftdiBusHardwareIds(0x0403, 0x6001), "FTDIBUS\\COMPORT&VID_0403&PID_6001\0\0"s);
    struct Case {
        const char* text;
        std::optional<std::uint16_t> value;
    };
    for (const Case& c : {Case{"0403\n", 0x0403}, Case{"c077", 0xC077}, Case{"10000\n", {}},
                          Case{"", {}}, Case{"04 03", {}}}) {
        EXPECT_EQ(lnx::parseHex16(c.text), c.value) << c.text;
    }
}

TEST(DeviceText, NamesSortedByTheirNumbersAndPathsMappedIntoDev) {
    EXPECT_EQ(
        lnx::sortedByNumber({"ttyUSB1", "hidraw10", "ttyS0", "hidraw2", "ttyUSB0", "hidraw"}),
        (std::vector<std::string>{"hidraw", "hidraw2", "hidraw10", "ttyS0", "ttyUSB0", "ttyUSB1"}));
    struct Case {
        const char* path;
        const char* dev;
    };
    for (const Case& c :
         {Case{"\\\\.\\ttyUSB0", "/dev/ttyUSB0"}, Case{"/dev/hidraw3", "/dev/hidraw3"},
          Case{"\\\\.\\COM3", "/dev/COM3"}, Case{"\\\\.\\..", ""}, Case{"\\\\.\\a/b", ""},
          Case{"/dev/../etc/passwd", ""}, Case{"ttyUSB0", ""}, Case{"\\\\.\\", ""}}) {
        EXPECT_EQ(lnx::devicePathOf(c.path), c.dev) << c.path;
    }
}

} // namespace
