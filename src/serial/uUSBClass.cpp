#include "uUSBClass.h"

#include "Handles.h"
#include "SetupApi.h"
#include "StrComparison.h"

#include <algorithm>
#include <cstring>

namespace {

// Windows matches these names without regard to case; only ASCII letters are
// folded, so bytes of other code pages pass unchanged.
std::string upperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

bool setupApiBound(bool needsRegistryKey) {
    return SetupApi::SetupDiGetClassDevsA != nullptr &&
           SetupApi::SetupDiEnumDeviceInfo != nullptr &&
           SetupApi::SetupDiGetDeviceRegistryPropertyA != nullptr &&
           SetupApi::SetupDiDestroyDeviceInfoList != nullptr &&
           (!needsRegistryKey || SetupApi::SetupDiOpenDevRegKey != nullptr);
}

// The hardware-ID property as stored: one or more IDs, each ended by a zero
// byte, and the list's final zero. Empty when the device has none.
std::string hardwareIds(HDEVINFO list, SP_DEVINFO_DATA& device) {
    DWORD type = 0;
    DWORD required = 0;
    (void)SetupApi::SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_HARDWAREID, &type,
                                                      nullptr, 0, &required);
    std::string ids(required, '\0');
    if (required != 0) {
        (void)SetupApi::SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_HARDWAREID, &type,
                                                          reinterpret_cast<BYTE*>(ids.data()),
                                                          required, &required);
    }
    return ids;
}

// Walks the present devices of an enumerator and hands the first one whose
// hardware IDs contain the pattern to onMatch, whose answer is the result.
// The list is released on every way out.
template <class OnMatch>
bool scan(std::string_view vendorId, std::string_view productId, std::string_view enumerator,
          bool needsRegistryKey, OnMatch onMatch) {
    if (!setupApiBound(needsRegistryKey)) {
        return false;
    }
    const std::string pattern =
        upperAscii("VID_" + std::string(vendorId) + "&PID_" + std::string(productId));
    const std::string enumeratorName(enumerator);
    win::UniqueDevInfo list(SetupApi::SetupDiGetClassDevsA(nullptr, enumeratorName.c_str(), nullptr,
                                                           DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!list) {
        return false;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA device;
        std::memset(&device, 0, sizeof device);
        device.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupApi::SetupDiEnumDeviceInfo(list.get(), index, &device)) {
            return false; // the end of the list, or a list that cannot be walked
        }
        if (StrComparison::Contains(upperAscii(hardwareIds(list.get(), device)), pattern)) {
            return onMatch(list.get(), device);
        }
    }
}

} // namespace

bool TUSBClass::Exists(std::string_view VendorId, std::string_view ProductId) {
    return scan(VendorId, ProductId, "USB", false, [](HDEVINFO, SP_DEVINFO_DATA&) { return true; });
}

bool TUSBSerial::FindPort(std::string_view VendorId, std::string_view ProductId,
                          std::string& PortName, std::string_view Enumerator) {
    return scan(VendorId, ProductId, Enumerator, true, [&](HDEVINFO list, SP_DEVINFO_DATA& device) {
        constexpr DWORD kNameSize = 255;
        PortName.assign(kNameSize, '\0');
        DWORD size = kNameSize;
        win::UniqueRegKey key(SetupApi::SetupDiOpenDevRegKey(list, &device, DICS_FLAG_GLOBAL, 0,
                                                             DIREG_DEV, KEY_READ));
        if (!key) {
            return false;
        }
        DWORD type = 0;
        if (win::RegQueryValueExA(key.get(), "PortName", nullptr, &type,
                                  reinterpret_cast<BYTE*>(PortName.data()),
                                  &size) != ERROR_SUCCESS) {
            return false;
        }
        // The name ends at its first zero byte within the size returned. A
        // value may be stored without its zero ("COM12" in five bytes), so
        // cutting the last byte off would name another port ("COM1").
        PortName.resize(std::min<DWORD>(size, kNameSize));
        PortName.resize(PortName.find('\0') == std::string::npos ? PortName.size()
                                                                 : PortName.find('\0'));
        return !PortName.empty();
    });
}
