#include "FakeDevices.h"

#include "EvaluatorReportDescriptor.h"

#include <umockdev.h>

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace fake {
namespace {

std::string hex(std::string_view bytes) {
    std::string out;
    char digits[3];
    for (char c : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
        out += digits;
    }
    return out;
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

const char* const kUsbRoot = "/devices/pci0000:00/0000:00:14.0/usb1";

} // namespace

std::string evaluatorDescriptor() {
    return evaluatorReportDescriptor();
}

std::string keyboardDescriptor() {
    return bytes({
        0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, // generic desktop, keyboard
        0x75, 0x08, 0x95, 0x08, 0x81, 0x02, // 8 input bytes
        0x75, 0x01, 0x95, 0x05, 0x91, 0x02, // 5 LED bits
        0x75, 0x03, 0x95, 0x01, 0x91, 0x01, // padding
        0xC0,
    });
}

Testbed::Testbed() : bed_(umockdev_testbed_new()) {
    if (!umockdev_in_mock_environment()) {
        std::fprintf(stderr, "run this program under umockdev-wrapper\n");
        std::abort();
    }
}

Testbed::~Testbed() {
    g_object_unref(bed_);
}

std::string Testbed::usbDevice(int port, unsigned vendor, unsigned product, unsigned revision) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "P: %s/1-%d\n"
                  "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\n"
                  "A: busnum=1\nA: devnum=%d\n"
                  "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: PRODUCT=%x/%x/%x\n"
                  "E: BUSNUM=001\nE: DEVNUM=%03d\n",
                  kUsbRoot, port, vendor, product, revision, port + 1, vendor, product, revision,
                  port + 1);
    return text;
}

void Testbed::addUsbDevice(int port, unsigned vendor, unsigned product) {
    std::string record = usbDevice(port, vendor, product, 0x0100);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bed_, record.c_str(), &error)) {
        throw std::runtime_error(error->message);
    }
}

std::string Testbed::addHidraw(int number, int port, unsigned vendor, unsigned product,
                               std::string_view descriptor) {
    char hidName[64];
    std::snprintf(hidName, sizeof hidName, "0003:%04X:%04X.%04X", vendor, product, number + 1);
    std::string interface = std::string(kUsbRoot) + "/1-" + std::to_string(port) + "/1-" +
                            std::to_string(port) + ":1.0";
    std::string name = "hidraw" + std::to_string(number);
    char hidId[64];
    std::snprintf(hidId, sizeof hidId, "0003:%08X:%08X", vendor, product);
    std::string record =
        "P: " + interface + "/" + hidName + "/hidraw/" + name + "\nN: " + name +
        "\nE: DEVNAME=/dev/" + name + "\nE: SUBSYSTEM=hidraw\nL: device=../../../" + hidName +
        "\n\n" + "P: " + interface + "/" + hidName + "\nE: HID_ID=" + hidId +
        "\nE: SUBSYSTEM=hid\nH: report_descriptor=" + hex(descriptor) + "\n\nP: " + interface +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n" +
        usbDevice(port, vendor, product, 0x0100);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bed_, record.c_str(), &error)) {
        throw std::runtime_error(error->message);
    }
    // HIDIOCGRAWINFO: bus type (32 bits), vendor and product (16 bits each).
    char ioctl[256];
    std::snprintf(ioctl, sizeof ioctl, "@DEV /dev/%s\nHIDIOCGRAWINFO 0 03000000%02X%02X%02X%02X\n",
                  name.c_str(), vendor & 0xFF, vendor >> 8, product & 0xFF, product >> 8);
    std::string file = std::string(std::getenv("UMOCKDEV_DIR")) + "/" + name + ".ioctl";
    std::ofstream(file) << ioctl;
    std::string dev = "/dev/" + name;
    if (!umockdev_testbed_load_ioctl(bed_, dev.c_str(), file.c_str(), &error)) {
        throw std::runtime_error(error->message);
    }
    nodes_.push_back({dev, "/sys" + std::string(kUsbRoot) + "/1-" + std::to_string(port)});
    return dev;
}

std::string Testbed::addSerial(std::string_view name, int port, unsigned vendor, unsigned product,
                               std::string_view driver, unsigned revision) {
    std::string interface = std::string(kUsbRoot) + "/1-" + std::to_string(port) + "/1-" +
                            std::to_string(port) + ":1.0";
    std::string tty(name);
    std::string record =
        "P: " + interface + "/" + tty + "/tty/" + tty + "\nN: " + tty + "\nE: DEVNAME=/dev/" + tty +
        "\nE: SUBSYSTEM=tty\nL: device=../../../" + tty + "\n\nP: " + interface + "/" + tty +
        "\nE: SUBSYSTEM=usb-serial\nL: driver=../../../../../../../bus/usb-serial/drivers/" +
        std::string(driver) + "\n\nP: " + interface +
        "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n" +
        usbDevice(port, vendor, product, revision);
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bed_, record.c_str(), &error)) {
        throw std::runtime_error(error->message);
    }
    nodes_.push_back(
        {"/dev/" + tty, "/sys" + std::string(kUsbRoot) + "/1-" + std::to_string(port)});
    return "/dev/" + tty;
}

int Testbed::farEnd(const std::string& devPath) {
    return umockdev_testbed_get_dev_fd(bed_, devPath.c_str());
}

void Testbed::unplug(const std::string& devPath) {
    for (const auto& [dev, usbDevice] : nodes_) {
        if (dev == devPath) {
            umockdev_testbed_remove_device(bed_, usbDevice.c_str());
        }
    }
    // The kernel hangs up an open node whose device went; umockdev leaves it
    // open, so the far end is closed instead.
    ::close(farEnd(devPath));
}

std::string drain(int fd) {
    std::string out;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0 || (p.revents & POLLIN) == 0) {
            return out;
        }
        char chunk[256];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return out;
        }
        out.append(chunk, static_cast<std::size_t>(n));
    }
}

void send(int fd, std::string_view bytes) {
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("far end: short write");
    }
}

} // namespace fake
