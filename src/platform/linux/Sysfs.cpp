#include "Sysfs.h"

#include "DeviceText.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace lnx {
namespace {

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(std::move(name));
        }
    }
    closedir(dir);
    return names;
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// The last part of a symbolic link's target (a driver's name), or empty.
std::string linkName(const std::string& path) {
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return {};
    }
    std::string text(target, static_cast<std::size_t>(n));
    auto slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

// A USB device's place on the bus: what ties a tty to the device above it.
struct BusAddress {
    std::string bus;
    std::string device;
    bool operator==(const BusAddress&) const = default;
};

std::optional<BusAddress> busAddressAt(const std::string& dir) {
    auto bus = readText(dir + "/busnum");
    auto device = readText(dir + "/devnum");
    if (!bus || !device) {
        return std::nullopt;
    }
    auto clean = [](std::string s) {
        s.erase(std::remove_if(s.begin(), s.end(), [](char c) { return c == '\n' || c == ' '; }),
                s.end());
        return s;
    };
    return BusAddress{clean(*bus), clean(*device)};
}

// A tty backed by a USB device: the tty's name, the USB device's directory
// (reached by walking up from the port, at most five levels, as
// libserialport does) and whether ftdi_sio serves it.
struct UsbTty {
    std::string name;
    std::string usbDir;
    BusAddress address;
    bool ftdi = false;
};

std::vector<UsbTty> usbTtys() {
    std::vector<UsbTty> ttys;
    for (const std::string& name : sortedByNumber(listDirectory("/sys/class/tty"))) {
        std::string dir = "/sys/class/tty/" + name + "/device";
        if (!exists(dir)) {
            continue; // a virtual terminal or a pty: no device behind it
        }
        UsbTty tty{name, {}, {}, false};
        for (int level = 0; level < 5; ++level, dir += "/..") {
            if (linkName(dir + "/driver") == "ftdi_sio") {
                tty.ftdi = true;
            }
            if (auto address = busAddressAt(dir)) {
                tty.usbDir = dir;
                tty.address = *address;
                break;
            }
        }
        if (!tty.usbDir.empty()) {
            ttys.push_back(std::move(tty));
        }
    }
    return ttys;
}

std::optional<std::uint16_t> hexAttribute(const std::string& dir, const char* name) {
    auto text = readText(dir + "/" + name);
    return text ? parseHex16(*text) : std::nullopt;
}

} // namespace

std::optional<std::string> readText(const std::string& path, std::size_t limit) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            return std::nullopt;
        }
        if (n == 0 || text.size() >= limit) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    if (text.size() > limit) {
        text.resize(limit);
    }
    return text;
}

std::vector<HidrawNode> hidrawNodes() {
    std::vector<HidrawNode> nodes;
    for (const std::string& name : sortedByNumber(listDirectory("/sys/class/hidraw"))) {
        if (name.rfind("hidraw", 0) == 0) {
            nodes.push_back({name, "/dev/" + name});
        }
    }
    return nodes;
}

std::optional<std::string> hidrawReportDescriptor(const std::string& name) {
    // HID_MAX_DESCRIPTOR_SIZE is 4096.
    return readText("/sys/class/hidraw/" + name + "/device/report_descriptor", 4096);
}

std::vector<DeviceNode> usbDeviceNodes() {
    const std::vector<UsbTty> ttys = usbTtys();
    std::vector<DeviceNode> nodes;
    for (const std::string& name : sortedByNumber(listDirectory("/sys/bus/usb/devices"))) {
        const std::string dir = "/sys/bus/usb/devices/" + name;
        auto vendor = hexAttribute(dir, "idVendor");
        auto product = hexAttribute(dir, "idProduct");
        if (!vendor || !product) {
            continue; // an interface, not a device
        }
        DeviceNode node{
            "USB", usbHardwareIds(*vendor, *product, hexAttribute(dir, "bcdDevice")), {}};
        if (auto address = busAddressAt(dir)) {
            for (const UsbTty& tty : ttys) {
                if (tty.address == *address) {
                    node.portName = tty.name;
                    break;
                }
            }
        }
        nodes.push_back(std::move(node));
    }
    return nodes;
}

std::vector<DeviceNode> ftdiPortNodes() {
    std::vector<DeviceNode> nodes;
    for (const UsbTty& tty : usbTtys()) {
        if (!tty.ftdi) {
            continue;
        }
        auto vendor = hexAttribute(tty.usbDir, "idVendor");
        auto product = hexAttribute(tty.usbDir, "idProduct");
        if (vendor && product) {
            nodes.push_back({"FTDIBUS", ftdiBusHardwareIds(*vendor, *product), tty.name});
        }
    }
    return nodes;
}

} // namespace lnx
