// HID devices on the simulated machine.
//
// A HidDevice is what stands behind one HID device interface: the identifiers
// HidD_GetAttributes reports, the report lengths HidP_GetCaps reports, the
// input-buffer count of the HID class driver, a queue of input reports with the
// virtual times they arrive, and a log of every output report written. It
// behaves as the Windows HID class driver does towards an overlapped handle:
//
// - a read must ask for at least one whole input report; it completes with as
//   many whole reports as have arrived and fit, and waits while none has;
// - a write must be exactly one output report long (Windows refuses anything
//   else), and completes after writeLatency ms;
// - reports are kept only while a handle is open: what arrives while the
//   device is closed is lost, and the driver keeps at most numInputBuffers
//   unread reports, dropping the oldest.
//
// Switches make open, attributes, preparsed data or capabilities fail, and make
// reads or writes hang until they are cancelled. Unplugging (now or at a given
// moment) removes the interface from the enumeration and the device from the
// machine; a transfer in progress then fails with ERROR_DEVICE_NOT_CONNECTED.
#pragma once

#include "SimMachine.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The HID device-interface class, as HidD_GetHidGuid reports it.
GUID hidClassGuid();

class HidDevice final : public Device {
public:
    struct Report {
        std::uint64_t when; // virtual time it arrived (input) or was written (output)
        std::string bytes;  // report identifier first
    };

    HidDevice(USHORT vendorId, USHORT productId) : vendorId(vendorId), productId(productId) {}

    USHORT vendorId;
    USHORT productId;
    USHORT versionNumber = 0x0100;
    USHORT inputReportLength = 3;
    USHORT outputReportLength = 3;
    USHORT featureReportLength = 0;
    ULONG numInputBuffers = 32; // the class driver's default
    std::uint64_t writeLatency = 1;

    // Faults.
    DWORD openError = 0; // CreateFileA fails with this (e.g. ERROR_ACCESS_DENIED)
    bool attributesFail = false;
    bool preparsedDataFail = false;
    bool capsFail = false;
    bool readsHang = false;  // reads complete only by cancellation or unplugging
    bool writesHang = false; // writes complete only by cancellation or unplugging

    // Input reports still to be read, in order of arrival.
    std::deque<Report> input;
    // Every output report the device accepted, in order.
    std::vector<Report> written;
    // Called for each output report accepted: the device's reaction (e.g.
    // queueing a key report once key capture is switched on). It runs inside
    // the machine's transfer processing: to unplug, schedule it (unplugHidAt).
    std::function<void(HidDevice& device, const std::string& report)> onWrite;

    // Queues an input report arriving at virtual time when.
    void queueInput(std::uint64_t when, std::string bytes);
    // The bytes of every accepted output report, in order.
    std::vector<std::string> writtenBytes() const;

    DWORD open(DWORD access, DWORD flags) override;
    void closed() override;
    void progress(Io& io, std::uint64_t now) override;
    std::uint64_t wakeTime(const Io& io, std::uint64_t now) const override;

private:
    void dropUnbuffered(std::uint64_t now, bool includeNow);
    void dropOverflow(std::uint64_t now);
    bool isOpen_ = false;
};

// Plugs in a HID device: its interface goes to the end of the enumeration
// order and the device answers at path.
std::shared_ptr<HidDevice> plugHid(std::string path, USHORT vendorId, USHORT productId);
// Adds a position at which the enumeration fails: the interfaces behind it are
// never seen by a walk that stops at the first gap.
void addHidGap();
// Unplugs the HID device at path now: interface and device go.
void unplugHid(std::string_view path);
// Unplugs it at virtual time when (also in the middle of a transfer).
void unplugHidAt(std::uint64_t when, std::string path);

} // namespace sim
