#include "SimHidDevice.h"

#include <algorithm>
#include <cstring>

namespace sim {

GUID hidClassGuid() {
    // {4D1E55B2-F16F-11CF-88CB-001111000030}
    return GUID{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

void HidDevice::queueInput(std::uint64_t when, std::string bytes) {
    // Kept in order of arrival, whatever order the test queues them in.
    auto later = std::upper_bound(input.begin(), input.end(), when,
                                  [](std::uint64_t t, const Report& r) { return t < r.when; });
    input.insert(later, Report{when, std::move(bytes)});
}

std::vector<std::string> HidDevice::writtenBytes() const {
    std::vector<std::string> out;
    out.reserve(written.size());
    for (const auto& report : written) {
        out.push_back(report.bytes);
    }
    return out;
}

DWORD HidDevice::open(DWORD, DWORD) {
    if (openError != 0) {
        return openError;
    }
    if (!isOpen_) {
        // Nobody had the device open: what it sent meanwhile went nowhere.
        dropUnbuffered(machine().now(), false);
        isOpen_ = true;
    }
    return 0;
}

void HidDevice::closed() {
    // Unread reports go with the last handle's buffer.
    dropUnbuffered(machine().now(), true);
    isOpen_ = false;
}

void HidDevice::dropUnbuffered(std::uint64_t now, bool includeNow) {
    while (!input.empty() &&
           (input.front().when < now || (includeNow && input.front().when == now))) {
        input.pop_front();
    }
}

void HidDevice::dropOverflow(std::uint64_t now) {
    // The driver's ring of input buffers keeps the newest reports.
    auto arrived = static_cast<std::size_t>(
        std::count_if(input.begin(), input.end(), [&](const Report& r) { return r.when <= now; }));
    while (arrived > numInputBuffers && !input.empty()) {
        input.pop_front();
        --arrived;
    }
}

void HidDevice::progress(Io& io, std::uint64_t now) {
    if (io.cancelled) {
        return; // the machine ends it as aborted; a cancelled read takes no report
    }
    if (io.isRead) {
        if (inputReportLength == 0 || io.count < inputReportLength) {
            io.error = ERROR_INVALID_USER_BUFFER;
            io.complete = true;
            return;
        }
        if (readsHang) {
            return;
        }
        dropOverflow(now);
        std::size_t room = io.count / inputReportLength;
        std::size_t n = 0;
        while (n < room && !input.empty() && input.front().when <= now) {
            std::string bytes = std::move(input.front().bytes);
            input.pop_front();
            bytes.resize(inputReportLength, '\0');
            std::memcpy(io.buffer + n * inputReportLength, bytes.data(), inputReportLength);
            ++n;
        }
        if (n > 0) {
            io.done = static_cast<DWORD>(n * inputReportLength);
            io.complete = true;
        }
        return;
    }
    // HIDClass takes only writes of exactly one output report.
    if (outputReportLength == 0 || io.count != outputReportLength) {
        io.error = ERROR_INVALID_PARAMETER;
        io.complete = true;
        return;
    }
    if (writesHang || now < io.started + writeLatency) {
        return;
    }
    written.push_back(Report{now, io.data});
    io.done = io.count;
    io.complete = true;
    if (onWrite) {
        onWrite(*this, io.data);
    }
}

std::uint64_t HidDevice::wakeTime(const Io& io, std::uint64_t now) const {
    if (io.cancelled) {
        return now;
    }
    if (io.isRead) {
        if (inputReportLength == 0 || io.count < inputReportLength) {
            return now;
        }
        if (readsHang || input.empty()) {
            return kNever;
        }
        return std::max(now, input.front().when);
    }
    if (outputReportLength == 0 || io.count != outputReportLength) {
        return now;
    }
    if (writesHang) {
        return kNever;
    }
    return std::max(now, io.started + writeLatency);
}

std::shared_ptr<HidDevice> plugHid(std::string path, USHORT vendorId, USHORT productId) {
    auto device = std::make_shared<HidDevice>(vendorId, productId);
    machine().addDevice(path, device);
    machine().interfaces.push_back(Interface{hidClassGuid(), std::move(path), false, false});
    return device;
}

void addHidGap() {
    machine().interfaces.push_back(Interface{hidClassGuid(), std::string(), true, false});
}

void unplugHid(std::string_view path) {
    std::string key = upper(path);
    auto& interfaces = machine().interfaces;
    interfaces.erase(std::remove_if(interfaces.begin(), interfaces.end(),
                                    [&](const Interface& i) { return upper(i.path) == key; }),
                     interfaces.end());
    machine().removeDevice(path);
}

void unplugHidAt(std::uint64_t when, std::string path) {
    machine().schedule(when, [path = std::move(path)] { unplugHid(path); });
}

} // namespace sim
