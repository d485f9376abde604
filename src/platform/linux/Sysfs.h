// The devices the Linux backend shows the station, read from sysfs as hidapi's
// and libserialport's Linux code read them. Each call looks again: nothing is
// cached, so a device plugged in or out is seen at the next enumeration.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace lnx {

// The whole of a small file (sysfs attributes, uevent), or nothing.
std::optional<std::string> readText(const std::string& path, std::size_t limit = 65536);
// The same for a path relative to an open directory.
std::optional<std::string> readTextAt(int directory, const std::string& path,
                                      std::size_t limit = 65536);

// One HID interface: the hidraw node the station opens.
struct HidrawNode {
    std::string name;    // hidraw3
    std::string devPath; // /dev/hidraw3
};
// The hidraw nodes in the order of their numbers.
std::vector<HidrawNode> hidrawNodes();
// The report descriptor of a hidraw node, from sysfs (readable without privileges).
std::optional<std::string> hidrawReportDescriptor(const std::string& name);

// One device node as the device-setup functions list it.
struct DeviceNode {
    std::string enumerator;  // "USB" or "FTDIBUS"
    std::string hardwareIds; // a multi-string
    std::string portName;    // FTDIBUS: the tty it is (ttyUSB0)
    unsigned bus = 0;        // USB: the device's place on the bus, which
    unsigned device = 0;     // ties the ttys of its ports to it
};
// The USB devices ("USB"), in the order of their sysfs names: one uevent read
// each, since every idle tick lists them twice.
std::vector<DeviceNode> usbDeviceNodes();
// The ports that the ftdi_sio driver serves ("FTDIBUS"), in the order of their ttys.
std::vector<DeviceNode> ftdiPortNodes();
// The tty a node provides as its "PortName", looked up only when asked: an
// FTDI port's own, or the first USB-serial port on a USB device. Empty when
// it has none (any more).
std::string portNameOf(const DeviceNode& node);

} // namespace lnx
