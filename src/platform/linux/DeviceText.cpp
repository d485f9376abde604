#include "DeviceText.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace lnx {
namespace {

std::optional<std::uint32_t> parseHex32(std::string_view text) {
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return value;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    return text;
}

// A device name split into its stem and the number the kernel gave it
// ("hidraw", 10); a name without a number has none.
struct NumberedName {
    std::string_view stem;
    std::optional<std::uint64_t> number;
};

NumberedName numbered(std::string_view name) {
    auto last = name.find_last_not_of("0123456789");
    std::size_t start = last == std::string_view::npos ? 0 : last + 1;
    if (start == name.size() || name.size() - start > 18) {
        return {name, std::nullopt};
    }
    std::uint64_t number = 0;
    for (char c : name.substr(start)) {
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return {name.substr(0, start), number};
}

} // namespace

std::optional<std::string> ueventValue(std::string_view uevent, std::string_view key) {
    while (!uevent.empty()) {
        auto end = uevent.find('\n');
        std::string_view line = uevent.substr(0, end);
        uevent = end == std::string_view::npos ? std::string_view{} : uevent.substr(end + 1);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == '=') {
            return std::string(trimmed(line.substr(key.size() + 1)));
        }
    }
    return std::nullopt;
}

std::optional<HidId> parseHidId(std::string_view uevent) {
    auto value = ueventValue(uevent, "HID_ID");
    if (!value) {
        return std::nullopt;
    }
    std::string_view text = *value;
    auto first = text.find(':');
    auto second = first == std::string_view::npos ? first : text.find(':', first + 1);
    if (second == std::string_view::npos) {
        return std::nullopt;
    }
    auto bus = parseHex32(text.substr(0, first));
    auto vendor = parseHex32(text.substr(first + 1, second - first - 1));
    auto product = parseHex32(text.substr(second + 1));
    // The kernel prints 16-bit identifiers in eight digits.
    if (!bus || !vendor || !product || *vendor > 0xFFFF || *product > 0xFFFF) {
        return std::nullopt;
    }
    return HidId{*bus, static_cast<std::uint16_t>(*vendor), static_cast<std::uint16_t>(*product)};
}

std::optional<UsbDeviceId> parseUsbDevice(std::string_view uevent) {
    if (ueventValue(uevent, "DEVTYPE") != "usb_device") {
        return std::nullopt;
    }
    auto product = ueventValue(uevent, "PRODUCT");
    auto bus = ueventValue(uevent, "BUSNUM");
    auto device = ueventValue(uevent, "DEVNUM");
    if (!product || !bus || !device) {
        return std::nullopt;
    }
    std::uint16_t ids[3];
    std::string_view text = *product;
    for (std::size_t i = 0; i < 3; ++i) {
        auto slash = i < 2 ? text.find('/') : text.size();
        auto value =
            slash == std::string_view::npos ? std::nullopt : parseHex32(text.substr(0, slash));
        if (!value || *value > 0xFFFF) {
            return std::nullopt;
        }
        ids[i] = static_cast<std::uint16_t>(*value);
        text.remove_prefix(std::min(text.size(), slash + 1));
    }
    // Bus and device numbers are decimal, printed in three digits (at most 127 devices a bus).
    auto decimal = [](std::string_view digits) -> std::optional<unsigned> {
        if (digits.empty() || digits.size() > 4 ||
            digits.find_first_not_of("0123456789") != std::string_view::npos) {
            return std::nullopt;
        }
        unsigned value = 0;
        for (char c : digits) {
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        return value;
    };
    auto busNumber = decimal(*bus);
    auto deviceNumber = decimal(*device);
    if (!busNumber || !deviceNumber) {
        return std::nullopt;
    }
    return UsbDeviceId{ids[0], ids[1], ids[2], *busNumber, *deviceNumber};
}

ReportLengths reportLengths(std::string_view descriptor) {
    // Short items: a prefix byte (tag, type, size 0/1/2/4) and its data; long
    // items (prefix 0xFE) carry their own size and describe nothing we count.
    struct Globals {
        std::uint32_t reportSize = 0;
        std::uint32_t reportCount = 0;
        std::uint32_t reportId = 0;
        std::uint32_t usagePage = 0;
    };
    Globals globals;
    std::vector<Globals> stack;
    // Bits per (main item kind, report ID): 0 input, 1 output, 2 feature.
    std::map<std::uint32_t, std::uint64_t> bits[3];
    ReportLengths result;
    bool collectionSeen = false;
    std::size_t at = 0;
    while (at < descriptor.size()) {
        const auto prefix = static_cast<std::uint8_t>(descriptor[at]);
        if (prefix == 0xFE) {
            if (at + 1 >= descriptor.size()) {
                break;
            }
            at += 3 + static_cast<std::uint8_t>(descriptor[at + 1]);
            continue;
        }
        const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (at + 1 + size > descriptor.size()) {
            break; // a truncated item ends the descriptor
        }
        std::uint32_t data = 0;
        for (std::size_t i = 0; i < size; ++i) {
            data |= std::uint32_t{static_cast<std::uint8_t>(descriptor[at + 1 + i])} << (8 * i);
        }
        at += 1 + size;
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;
        if (type == 0) { // main
            int kind = tag == 8 ? 0 : tag == 9 ? 1 : tag == 11 ? 2 : -1;
            if (kind >= 0) {
                // Held to 2^40 bits, far above any length a report can have,
                // so that no sum of 32-bit sizes and counts overflows.
                constexpr std::uint64_t kCap = std::uint64_t{1} << 40;
                std::uint64_t& total = bits[kind][globals.reportId];
                std::uint64_t item = std::uint64_t{globals.reportSize} * globals.reportCount;
                total = std::min(total + std::min(item, kCap), kCap);
            } else if (tag == 10) {
                collectionSeen = true;
            }
        } else if (type == 1) { // global
            switch (tag) {
            case 0:
                globals.usagePage = data;
                if (!collectionSeen && result.usagePage == 0) {
                    result.usagePage = static_cast<std::uint16_t>(data);
                }
                break;
            case 7:
                globals.reportSize = data;
                break;
            case 8:
                globals.reportId = data;
                result.numbered = true;
                break;
            case 9:
                globals.reportCount = data;
                break;
            case 10:
                if (stack.size() < 32) {
                    stack.push_back(globals);
                }
                break;
            case 11:
                if (!stack.empty()) {
                    globals = stack.back();
                    stack.pop_back();
                }
                break;
            default:
                break;
            }
        } else if (type == 2 && tag == 0 && !collectionSeen && result.usage == 0) { // local usage
            result.usage = static_cast<std::uint16_t>(data);
        }
    }
    auto longest = [&](int kind) -> std::uint16_t {
        std::uint64_t bytes = 0;
        for (const auto& [id, total] : bits[kind]) {
            bytes = std::max(bytes, (total + 7) / 8);
        }
        if (bytes == 0) {
            return 0;
        }
        return static_cast<std::uint16_t>(std::min<std::uint64_t>(bytes + 1, 0xFFFF));
    };
    result.input = longest(0);
    result.output = longest(1);
    result.feature = longest(2);
    return result;
}

std::optional<std::uint16_t> parseHex16(std::string_view text) {
    auto value = parseHex32(trimmed(text));
    if (!value || *value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*value);
}

std::string usbHardwareIds(std::uint16_t vendor, std::uint16_t product,
                           std::optional<std::uint16_t> revision) {
    char ids[80];
    std::string out;
    if (revision) {
        std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X&REV_%04X", vendor, product,
                      *revision);
        out += ids;
        out.push_back('\0');
    }
    std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X", vendor, product);
    out += ids;
    out.push_back('\0');
    out.push_back('\0');
    return out;
}

std::string ftdiBusHardwareIds(std::uint16_t vendor, std::uint16_t product) {
    char ids[64];
    std::snprintf(ids, sizeof ids, "FTDIBUS\\COMPORT&VID_%04X&PID_%04X", vendor, product);
    std::string out(ids);
    out.push_back('\0');
    out.push_back('\0');
    return out;
}

std::vector<std::string> sortedByNumber(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        NumberedName na = numbered(a);
        NumberedName nb = numbered(b);
        if (na.stem != nb.stem) {
            return na.stem < nb.stem;
        }
        if (na.number != nb.number) {
            return na.number < nb.number; // a name without a number first
        }
        return a < b;
    });
    return names;
}

std::string devicePathOf(std::string_view path) {
    std::string_view name;
    if (path.substr(0, 4) == "\\\\.\\" || path.substr(0, 4) == "\\\\?\\") {
        name = path.substr(4);
    } else if (path.substr(0, 5) == "/dev/") {
        name = path.substr(5);
    } else {
        return {};
    }
    // One name in /dev, nothing that climbs out of it.
    if (name.empty() || name.find_first_of("/\\") != std::string_view::npos || name == "." ||
        name == "..") {
        return {};
    }
    return "/dev/" + std::string(name);
}

} // namespace lnx
