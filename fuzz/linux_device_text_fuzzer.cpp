// What the Linux backend reads from the devices and from sysfs, as anything
// at all: report descriptors of any bytes (the lengths the HID layer is then
// given), uevent text (the HID and USB identifiers), USB identifier attributes (the
// hardware IDs built from them), device names (their order) and the paths the
// station opens (where in /dev they lead).
#include "linux/DeviceText.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

bool endsWithEmptyString(const std::string& multiSz) {
    return multiSz.size() >= 2 && multiSz[multiSz.size() - 1] == '\0' &&
           multiSz[multiSz.size() - 2] == '\0';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0: {
        const std::string descriptor = input.ConsumeRemainingBytesAsString();
        lnx::ReportLengths r = lnx::reportLengths(descriptor);
        // A report that exists has a data byte behind its ID byte.
        for (std::uint16_t length : {r.input, r.output, r.feature}) {
            require(length == 0 || length >= 2, "a report length counts its ID byte and data");
        }
        break;
    }
    case 1: {
        const std::string uevent = input.ConsumeRemainingBytesAsString();
        if (auto id = lnx::parseHidId(uevent)) {
            require(lnx::ueventValue(uevent, "HID_ID").has_value(), "an ID comes from HID_ID");
        }
        if (lnx::parseUsbDevice(uevent)) {
            require(lnx::ueventValue(uevent, "DEVTYPE") == "usb_device", "only a device's uevent");
        }
        break;
    }
    case 2: {
        auto vendor = lnx::parseHex16(input.ConsumeRandomLengthString(12));
        auto product = lnx::parseHex16(input.ConsumeRandomLengthString(12));
        auto revision = lnx::parseHex16(input.ConsumeRemainingBytesAsString());
        if (vendor && product) {
            std::string ids = lnx::usbHardwareIds(*vendor, *product, revision);
            require(endsWithEmptyString(ids), "hardware IDs end with an empty string");
            char pattern[32];
            std::snprintf(pattern, sizeof pattern, "VID_%04X&PID_%04X", *vendor, *product);
            require(ids.find(pattern) != std::string::npos, "the station's pattern is in them");
            require(endsWithEmptyString(lnx::ftdiBusHardwareIds(*vendor, *product)),
                    "FTDI bus IDs end with an empty string");
        }
        break;
    }
    default: {
        std::vector<std::string> names;
        while (input.remaining_bytes() > 0 && names.size() < 64) {
            names.push_back(input.ConsumeRandomLengthString(40));
        }
        std::vector<std::string> sorted = lnx::sortedByNumber(names);
        require(std::is_permutation(sorted.begin(), sorted.end(), names.begin(), names.end()),
                "sorting keeps every name");
        for (const std::string& name : names) {
            std::string dev = lnx::devicePathOf(name);
            require(dev.empty() || (dev.rfind("/dev/", 0) == 0 &&
                                    dev.find_first_of("/\\", 5) == std::string::npos &&
                                    dev != "/dev/." && dev != "/dev/.."),
                    "a path leads to one node in /dev");
        }
        break;
    }
    }
    return 0;
}
