// Faked devices for the Linux backend, with umockdev: a testbed per test that
// holds hidraw nodes and USB devices with their ttys, as the kernel shows them
// in sysfs, and the far end of each node (a pseudo-terminal) for the test to
// play the device. Runs under umockdev-wrapper.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// umockdev's testbed; its header stays out of the tests (glib has its own TRUE).
struct _UMockdevTestbed;

namespace fake {

// The evaluator's report descriptor: a vendor collection with numbered
// reports, output reports 1 to 4 and input reports 5 and 6, two bytes each.
std::string evaluatorDescriptor();
// A keyboard's: no report IDs, an 8-byte input report and a 1-byte output report.
std::string keyboardDescriptor();

class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // A USB HID interface at hidraw<number>, on USB device 1-<port>.
    // Returns the /dev path.
    std::string addHidraw(int number, int port, unsigned vendor, unsigned product,
                          std::string_view descriptor);
    // A USB-serial adapter at tty<name> on USB device 1-<port>; driver is the
    // USB-serial driver's name (ftdi_sio, pl2303).
    std::string addSerial(std::string_view name, int port, unsigned vendor, unsigned product,
                          std::string_view driver, unsigned revision = 0x0600);
    // A USB device with no node of ours (a hub, a mouse).
    void addUsbDevice(int port, unsigned vendor, unsigned product);

    // The device end of a node's pseudo-terminal.
    int farEnd(const std::string& devPath);
    // Takes the device away as an unplug does: its USB device leaves sysfs, and its
    // pseudo-terminal hangs up for whoever holds the node open.
    void unplug(const std::string& devPath);

private:
    std::string usbDevice(int port, unsigned vendor, unsigned product, unsigned revision);
    _UMockdevTestbed* bed_;
    struct Node {
        std::string dev;       // /dev/ttyUSB0
        std::string usbDevice; // the sysfs directory of the USB device it is on
    };
    std::vector<Node> nodes_;
};

// Everything that arrives at a far end within a short while, for byte-exact checks.
std::string drain(int fd);
void send(int fd, std::string_view bytes);

} // namespace fake
