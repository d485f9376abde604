#include "Sysfs.h"

#include "DeviceText.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

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

// A tty backed by a USB device: the tty's name, the USB device above it
// (reached by walking up from the port, at most five levels, as libserialport
// does) and whether ftdi_sio serves it.
struct UsbTty {
    std::string name;
    UsbDeviceId usb;
    bool ftdi = false;
};

// Every tty is looked at, most of them consoles and ptys with no device: this
// is for a port look-up, never for the presence test of a tick.
std::vector<UsbTty> usbTtys() {
    std::vector<UsbTty> ttys;
    for (const std::string& name : sortedByNumber(listDirectory("/sys/class/tty"))) {
        std::string dir = "/sys/class/tty/" + name + "/device";
        bool ftdi = false;
        for (int level = 0; level < 5; ++level, dir += "/..") {
            auto uevent = readText(dir + "/uevent");
            if (!uevent) {
                break; // a virtual terminal or a pty has no device behind it
            }
            if (linkName(dir + "/driver") == "ftdi_sio") {
                ftdi = true;
            }
            if (auto usb = parseUsbDevice(*uevent)) {
                ttys.push_back({name, *usb, ftdi});
                break;
            }
        }
    }
    return ttys;
}

} // namespace

std::optional<std::string> readText(const std::string& path, std::size_t limit) {
    return readTextAt(AT_FDCWD, path, limit);
}

std::optional<std::string> readTextAt(int directory, const std::string& path, std::size_t limit) {
    int fd = openat(directory, path.c_str(), O_RDONLY | O_CLOEXEC);
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
        if (static_cast<std::size_t>(n) < sizeof chunk) {
            break; // sysfs hands an attribute over in one read: a short one is the end
        }
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
    std::vector<DeviceNode> nodes;
    // The files are opened relative to the directory: the kernel walks its
    // path once per list, not once per device.
    const int devices = open("/sys/bus/usb/devices", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (devices < 0) {
        return nodes;
    }
    for (const std::string& name : sortedByNumber(listDirectory("/sys/bus/usb/devices"))) {
        if (name.find(':') != std::string::npos) {
            continue; // an interface (1-2:1.0), not a device
        }
        auto uevent = readTextAt(devices, name + "/uevent");
        auto usb = uevent ? parseUsbDevice(*uevent) : std::nullopt;
        if (usb) {
            nodes.push_back({"USB",
                             usbHardwareIds(usb->vendor, usb->product, usb->revision),
                             {},
                             usb->bus,
                             usb->device});
        }
    }
    close(devices);
    return nodes;
}

std::vector<DeviceNode> ftdiPortNodes() {
    std::vector<DeviceNode> nodes;
    for (const UsbTty& tty : usbTtys()) {
        if (tty.ftdi) {
            nodes.push_back(
                {"FTDIBUS", ftdiBusHardwareIds(tty.usb.vendor, tty.usb.product), tty.name, 0, 0});
        }
    }
    return nodes;
}

std::string portNameOf(const DeviceNode& node) {
    if (!node.portName.empty() || node.enumerator != "USB") {
        return node.portName;
    }
    for (const UsbTty& tty : usbTtys()) {
        if (tty.usb.bus == node.bus && tty.usb.device == node.device) {
            return tty.name;
        }
    }
    return {};
}

} // namespace lnx
