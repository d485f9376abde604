// Finding USB-serial adapters in the Windows device-setup data.
//
// Identifiers are the four hexadecimal digits the hardware IDs use ("067B",
// "2303"). A device matches when one of its hardware IDs contains
// "VID_<vendor>&PID_<product>", compared without regard to the case of ASCII
// letters. Each call builds, walks and releases its own device list; nothing
// is cached. While the device-setup library is not bound, no adapter is seen.
#pragma once

#include <string>
#include <string_view>

class TUSBClass {
public:
    // A present device of the "USB" enumerator has a matching hardware ID.
    static bool Exists(std::string_view VendorId, std::string_view ProductId);
};

class TUSBSerial {
public:
    // Reads the "PortName" (such as "COM5") of the first present device of
    // Enumerator with a matching hardware ID. Only that device is asked: when
    // its name cannot be read the result is false, whatever devices follow.
    // PortName is meaningful only when the result is true.
    static bool FindPort(std::string_view VendorId, std::string_view ProductId,
                         std::string& PortName, std::string_view Enumerator);
};
