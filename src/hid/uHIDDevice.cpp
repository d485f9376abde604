#include "uHIDDevice.h"

#include "Hid.h"
#include "SetupApi.h"
#include "Win.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Only the first 64 interface positions are ever looked at.
constexpr int kMaxInterfaces = 64;

// The present HID device interfaces, as one device-information set taken at
// construction. Count and Open walk it position by position; an enumeration
// ends at the first position that yields no path.
class HidInterfaces {
public:
    HidInterfaces() {
        if (Hid::HidD_GetHidGuid == nullptr || SetupApi::SetupDiGetClassDevsA == nullptr ||
            SetupApi::SetupDiEnumDeviceInterfaces == nullptr ||
            SetupApi::SetupDiGetDeviceInterfaceDetailA == nullptr ||
            SetupApi::SetupDiDestroyDeviceInfoList == nullptr) {
            return; // an incomplete binding: no HID device can be seen
        }
        Hid::HidD_GetHidGuid(&guid_);
        set_.reset(SetupApi::SetupDiGetClassDevsA(&guid_, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    }

    // The device path at Index; false (Path unchanged) past the bound, at a
    // position with no interface, or when the path cannot be fetched.
    bool path(int index, std::string& path) const {
        if (!set_ || index < 0 || index >= kMaxInterfaces) {
            return false;
        }
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof(interfaceData);
        if (!SetupApi::SetupDiEnumDeviceInterfaces(set_.get(), nullptr, &guid_,
                                                   static_cast<DWORD>(index), &interfaceData)) {
            return false;
        }
        // The first call only tells the size the detail record needs.
        DWORD required = 0;
        (void)SetupApi::SetupDiGetDeviceInterfaceDetailA(set_.get(), &interfaceData, nullptr, 0,
                                                         &required, nullptr);
        constexpr DWORD pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        if (required <= pathOffset) {
            return false;
        }
        // The size member holds the size of the fixed record (5 in a 32-bit
        // build, 8 in a 64-bit one), not of the buffer: Windows checks exactly that.
        std::vector<std::uint8_t> buffer(
            std::max<std::size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)));
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupApi::SetupDiGetDeviceInterfaceDetailA(set_.get(), &interfaceData, detail,
                                                        required, nullptr, nullptr)) {
            return false;
        }
        // The path text follows the size member, up to its terminating zero.
        const char* text = detail->DevicePath;
        const char* end = text + (required - pathOffset);
        path.assign(text, std::find(text, end, '\0'));
        return true;
    }

private:
    GUID guid_{};
    win::UniqueDevInfo set_;
};

// The number of input-report buffers the HID stack keeps per open handle by
// default, by Windows version: 512 from XP on, 200 on 2000, none before.
std::int32_t defaultInputBuffers() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!win::GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        return 0;
    }
    if (version.dwMajorVersion >= 6 ||
        (version.dwMajorVersion == 5 && version.dwMinorVersion >= 1)) {
        return 512;
    }
    return version.dwMajorVersion == 5 ? 200 : 0;
}

// One overlapped transfer on an open device, bounded by timeout. start issues
// ReadFile or WriteFile with the record; bytesDone is set on success only.
template <class Start>
THIDResult transfer(HANDLE device, DWORD timeout, DWORD& bytesDone, Start start) {
    win::UniqueEvent event(win::CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!event) {
        return THIDResult::TransferFailed;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    DWORD done = 0;
    if (start(done, overlapped)) {
        bytesDone = done;
        return THIDResult::Success;
    }
    if (win::GetLastError() != ERROR_IO_PENDING) {
        return THIDResult::TransferFailed;
    }
    DWORD waited = win::WaitForSingleObject(event.get(), timeout);
    if (waited == WAIT_OBJECT_0) {
        // The transfer has ended; an unplugged device ends it with an error,
        // which is a failed transfer, not an empty success.
        if (!win::GetOverlappedResult(device, &overlapped, &done, FALSE)) {
            return THIDResult::TransferFailed;
        }
        bytesDone = done;
        return THIDResult::Success;
    }
    // CancelIo only asks the driver to give up. Until the transfer has really
    // ended it may still write into the record, signal the event or fill the
    // buffer, so wait for that before any of them goes out of scope.
    (void)win::CancelIo(device);
    if (win::GetOverlappedResult(device, &overlapped, &done, TRUE)) {
        // The driver had finished it before the cancel came (a key pressed
        // just as the wait ran out): the transfer happened, with its data.
        bytesDone = done;
        return THIDResult::Success;
    }
    return waited == WAIT_TIMEOUT ? THIDResult::TimedOut : THIDResult::TransferFailed;
}

} // namespace

THIDDevice::THIDDevice() {
    Reset();
}

THIDDevice::~THIDDevice() {
    (void)Close();
}

void THIDDevice::Reset() {
    FOpened = false;
    FHandle = win::UniqueHandle();
    FInputReportLength = 0;
    FOutputReportLength = 0;
    FFeatureReportLength = 0;
    FNumInputBuffers = defaultInputBuffers();
}

bool THIDDevice::GetDevicePath(int Index, std::string& Path) {
    return HidInterfaces().path(Index, Path);
}

win::UniqueHandle THIDDevice::OpenDevicePath(const std::string& Path, std::uint16_t VendorID,
                                             std::uint16_t ProductID) {
    if (Hid::HidD_GetAttributes == nullptr) {
        return {};
    }
    win::UniqueHandle handle(win::CreateFileA(Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                              nullptr));
    if (!handle) {
        return {};
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    if (!Hid::HidD_GetAttributes(handle.get(), &attributes) || attributes.VendorID != VendorID ||
        attributes.ProductID != ProductID) {
        return {}; // closes the handle
    }
    return handle;
}

int THIDDevice::Count(std::uint16_t VendorID, std::uint16_t ProductID) {
    HidInterfaces interfaces;
    int count = 0;
    std::string path;
    for (int index = 0; interfaces.path(index, path); ++index) {
        if (OpenDevicePath(path, VendorID, ProductID)) {
            ++count; // and closed again at once
        }
    }
    return count;
}

THIDResult THIDDevice::Open(int Index, std::uint16_t VendorID, std::uint16_t ProductID,
                            std::uint16_t NumInputBuffers) {
    if (FOpened) {
        return THIDResult::AlreadyOpen;
    }
    HidInterfaces interfaces;
    int match = 0;
    std::string path;
    // The walk goes on to the end after the device is chosen: every other
    // matching device is opened and closed again, as in Count.
    for (int index = 0; interfaces.path(index, path); ++index) {
        win::UniqueHandle handle = OpenDevicePath(path, VendorID, ProductID);
        if (!handle) {
            continue;
        }
        if (match == Index) {
            FOpened = true;
            FHandle = std::move(handle);
            ReadCapabilities(NumInputBuffers);
        }
        ++match;
    }
    return THIDResult::Success;
}

void THIDDevice::ReadCapabilities(std::uint16_t NumInputBuffers) {
    // Without preparsed data the device stays open with report lengths of 0.
    if (Hid::HidD_GetPreparsedData == nullptr || Hid::HidD_FreePreparsedData == nullptr) {
        return;
    }
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!Hid::HidD_GetPreparsedData(FHandle.get(), &preparsed)) {
        return;
    }
    HIDP_CAPS caps{};
    if (Hid::HidP_GetCaps != nullptr &&
        Hid::HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS) {
        if (caps.InputReportByteLength != 0) {
            FInputReportLength = caps.InputReportByteLength;
        }
        if (caps.OutputReportByteLength != 0) {
            FOutputReportLength = caps.OutputReportByteLength;
        }
        if (caps.FeatureReportByteLength != 0) {
            FFeatureReportLength = caps.FeatureReportByteLength;
        }
        if (FNumInputBuffers > 0 && NumInputBuffers != 0) {
            FNumInputBuffers = std::max<std::int32_t>(FNumInputBuffers, NumInputBuffers);
            if (Hid::HidD_SetNumInputBuffers != nullptr) {
                (void)Hid::HidD_SetNumInputBuffers(FHandle.get(), NumInputBuffers);
            }
        } else if (Hid::HidD_GetNumInputBuffers != nullptr) {
            // The driver's own count; left as it was if the driver does not say.
            auto count = static_cast<ULONG>(FNumInputBuffers);
            (void)Hid::HidD_GetNumInputBuffers(FHandle.get(), &count);
            FNumInputBuffers = static_cast<std::int32_t>(std::min<ULONG>(count, INT32_MAX));
        }
    }
    (void)Hid::HidD_FreePreparsedData(preparsed);
}

THIDResult THIDDevice::Close() {
    if (!FOpened) {
        return THIDResult::NotOpen;
    }
    if (FHandle) {
        FHandle.reset();
        Reset();
        return THIDResult::Success;
    }
    Reset();
    return THIDResult::InvalidHandle;
}

bool THIDDevice::IsOpen() {
    if (!FOpened) {
        return false;
    }
    if (FHandle) {
        return true;
    }
    Reset();
    return false;
}

THIDResult THIDDevice::Read(std::uint8_t* Buffer, int BufferSize, int ReportCount,
                            DWORD& BytesRead) {
    // The HID stack hands out whole reports only, so the request is the
    // report length times the count, and it must fit the caller's buffer.
    const std::int64_t wanted = std::int64_t{FInputReportLength} * ReportCount;
    if (BufferSize < 0 || ReportCount < 0 || wanted > BufferSize ||
        ReportCount > FNumInputBuffers) {
        return THIDResult::DoesNotFit;
    }
    if (BufferSize > 0) {
        std::memset(Buffer, 0, static_cast<std::size_t>(BufferSize));
    }
    if (!IsOpen()) {
        return THIDResult::NotOpen;
    }
    return transfer(FHandle.get(), FReadTimeout, BytesRead,
                    [&](DWORD& done, OVERLAPPED& overlapped) {
                        return win::ReadFile(FHandle.get(), Buffer, static_cast<DWORD>(wanted),
                                             &done, &overlapped);
                    });
}

THIDResult THIDDevice::Write(const std::uint8_t* Buffer, int Length) {
    if (Length < 0 || Length > FOutputReportLength) {
        return THIDResult::DoesNotFit;
    }
    if (!IsOpen()) {
        return THIDResult::NotOpen;
    }
    DWORD written = 0;
    return transfer(FHandle.get(), FWriteTimeout, written,
                    [&](DWORD& done, OVERLAPPED& overlapped) {
                        return win::WriteFile(FHandle.get(), Buffer, static_cast<DWORD>(Length),
                                              &done, &overlapped);
                    });
}

void THIDDevice::SetTimeouts(DWORD ReadTimeout, DWORD WriteTimeout) {
    FReadTimeout = ReadTimeout;
    FWriteTimeout = WriteTimeout;
}
