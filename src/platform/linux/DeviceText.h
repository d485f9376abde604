// What the Linux backend reads from sysfs and from the devices, turned into the
// shapes the Windows functions answer with. Pure functions over text and bytes:
// the table tests and the fuzzer call them directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lnx {

// The value of KEY=value on its own line of a uevent file.
std::optional<std::string> ueventValue(std::string_view uevent, std::string_view key);

// HID_ID=0003:000010C4:000082CD (bus, vendor, product, in hex) from a HID
// device's uevent.
struct HidId {
    std::uint32_t bus = 0;
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
};
std::optional<HidId> parseHidId(std::string_view uevent);

// A USB device as its uevent names it (DEVTYPE=usb_device): PRODUCT=10c4/82cd/100,
// vendor, product and revision in hex without leading zeros, and its place
// on the bus, BUSNUM=001 and DEVNUM=004. Nothing for an interface's uevent
// (DEVTYPE=usb_interface), which names its device's PRODUCT as well.
struct UsbDeviceId {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t revision = 0;
    unsigned bus = 0;
    unsigned device = 0;
};
std::optional<UsbDeviceId> parseUsbDevice(std::string_view uevent);

// Report lengths as HidP_GetCaps gives them: the longest report of each kind in
// bytes, with the report-ID byte that Windows always counts (also for devices
// without numbered reports), or 0 when the device has no report of that kind.
struct ReportLengths {
    std::uint16_t input = 0;
    std::uint16_t output = 0;
    std::uint16_t feature = 0;
    bool numbered = false; // the descriptor assigns report IDs
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
};
ReportLengths reportLengths(std::string_view descriptor);

// A sysfs attribute such as idVendor ("0403\n"): four hex digits at most.
std::optional<std::uint16_t> parseHex16(std::string_view text);

// The hardware IDs Windows gives a USB device, as a multi-string:
// "USB\VID_0403&PID_6001&REV_0600", "USB\VID_0403&PID_6001", then the final
// empty string. Without a revision only the second one.
std::string usbHardwareIds(std::uint16_t vendor, std::uint16_t product,
                           std::optional<std::uint16_t> revision);
// The FTDI bus driver's ID for a port it serves: "FTDIBUS\COMPORT&VID_0403&PID_6001".
std::string ftdiBusHardwareIds(std::uint16_t vendor, std::uint16_t product);

// Device names in the order of their numbers (hidraw2 before hidraw10), as
// the kernel numbered them; the directory order is not sorted.
std::vector<std::string> sortedByNumber(std::vector<std::string> names);

// The Windows device path the station opens, as a /dev path: "\\.\ttyUSB0" is
// /dev/ttyUSB0; a /dev path stays. Empty when the path names no device node.
std::string devicePathOf(std::string_view path);

} // namespace lnx
