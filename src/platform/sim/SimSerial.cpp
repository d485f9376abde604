#include "SimSerial.h"

#include <algorithm>

namespace sim {
namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

bool returnsAtOnce(const COMMTIMEOUTS& t) { // "whatever has arrived, now"
    return t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
           t.ReadTotalTimeoutConstant == 0;
}

bool returnsAtFirstByte(const COMMTIMEOUTS& t) { // wait for one byte, up to the constant
    return t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
           t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
}

bool intervalApplies(const COMMTIMEOUTS& t) {
    return t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
}

} // namespace

// --- the port ---

SerialPort::SerialPort() {
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 115200;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 1;
    dcb.fDtrControl = 1; // DTR_CONTROL_ENABLE
    dcb.fRtsControl = 2; // RTS_CONTROL_HANDSHAKE
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 7;
    dcb.Parity = 2; // EVENPARITY
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EofChar = 0x1A;
    timeouts = {50, 10, 0, 7, 500};
}

DWORD SerialPort::open(DWORD access, DWORD flags) {
    if (openError != 0) {
        return openError;
    }
    // Nothing listened while the port was closed: what came then is lost.
    std::uint64_t now = machine().now();
    while (!input_.empty() && input_.front().time <= now) {
        input_.pop_front();
    }
    openAccess = access;
    openFlags = flags;
    ++opens;
    send(bytesAtOpen, now); // some adapters emit a zero byte when opened
    return 0;
}

void SerialPort::closed() {
    tracks_.clear();
}

SerialPort::Track& SerialPort::track(const Io& io) {
    auto it = tracks_.find(&io);
    if (it != tracks_.end() && it->second.started == io.started && it->second.buffer == io.buffer &&
        it->second.count == io.count) {
        return it->second;
    }
    // A transfer not seen before (its address may be that of one long gone).
    return tracks_.insert_or_assign(&io, Track{io.started, io.buffer, io.count}).first->second;
}

void SerialPort::finish(Io& io, DWORD error) {
    io.error = error;
    io.complete = true;
    tracks_.erase(&io);
}

void SerialPort::progress(Io& io, std::uint64_t now) {
    Track& t = track(io);
    if (io.cancelled || t.aborted) {
        finish(io, ERROR_OPERATION_ABORTED);
    } else if (io.isRead) {
        progressRead(io, t, now);
    } else {
        progressWrite(io, t, now);
    }
}

std::uint64_t SerialPort::readDeadline(const Io& io) const {
    if (returnsAtOnce(timeouts)) {
        return io.started;
    }
    if (returnsAtFirstByte(timeouts)) {
        return io.started + timeouts.ReadTotalTimeoutConstant;
    }
    if (timeouts.ReadTotalTimeoutMultiplier == 0 && timeouts.ReadTotalTimeoutConstant == 0) {
        return kNever; // no total time-out: wait for every byte
    }
    return io.started + std::uint64_t{timeouts.ReadTotalTimeoutMultiplier} * io.count +
           timeouts.ReadTotalTimeoutConstant;
}

std::uint64_t SerialPort::writeDeadline(const Io& io) const {
    if (timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0) {
        return kNever;
    }
    return io.started + std::uint64_t{timeouts.WriteTotalTimeoutMultiplier} * io.count +
           timeouts.WriteTotalTimeoutConstant;
}

void SerialPort::progressRead(Io& io, Track& t, std::uint64_t now) {
    const std::uint64_t deadline = readDeadline(io);
    const std::uint64_t interval = timeouts.ReadIntervalTimeout;
    const bool byInterval = intervalApplies(timeouts);
    // Take the bytes in the order and at the times they arrived, so a read
    // that is looked at late still ends where Windows would have ended it.
    while (io.done < io.count && !input_.empty() && input_.front().time <= now) {
        const Arrival a = input_.front();
        if (a.time > deadline || (byInterval && io.done > 0 && a.time - t.lastByte > interval)) {
            break;
        }
        io.buffer[io.done++] = static_cast<std::uint8_t>(a.byte);
        readBytes += a.byte;
        t.lastByte = a.time;
        input_.pop_front();
    }
    if (io.done == io.count || returnsAtOnce(timeouts) ||
        (returnsAtFirstByte(timeouts) && io.done > 0) ||
        (byInterval && io.done > 0 && now >= t.lastByte + interval) || now >= deadline) {
        finish(io, 0); // a read ended by a time-out succeeds with what it has
    }
}

bool SerialPort::writesHeld() const {
    return stallWrites || (holdWrites && dcb.fOutxCtsFlow != 0);
}

void SerialPort::progressWrite(Io& io, Track&, std::uint64_t now) {
    if (writesHeld()) {
        if (now >= writeDeadline(io)) {
            finish(io, 0); // write time-out: success, nothing moved
        }
        return;
    }
    io.done = io.count;
    log_.push_back({now, true, io.data});
    finish(io, 0);
    if (farEnd_) {
        farEnd_->received(*this, io.data, now);
    }
}

std::uint64_t SerialPort::wakeTime(const Io& io, std::uint64_t now) const {
    auto it = tracks_.find(&io);
    bool aborted = it != tracks_.end() && it->second.aborted && it->second.started == io.started;
    if (io.cancelled || aborted) {
        return now;
    }
    if (!io.isRead) {
        return writesHeld() ? std::max(writeDeadline(io), now) : now;
    }
    if (io.done >= io.count || returnsAtOnce(timeouts)) {
        return now;
    }
    std::uint64_t wake = std::max(readDeadline(io), now);
    if (io.done < io.count && !input_.empty()) {
        wake = std::min(wake, std::max(input_.front().time, now));
    }
    if (intervalApplies(timeouts) && io.done > 0 && it != tracks_.end()) {
        wake = std::min(wake, std::max(it->second.lastByte + timeouts.ReadIntervalTimeout, now));
    }
    return wake;
}

BOOL SerialPort::getState(DCB& out) {
    out = dcb;
    out.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL SerialPort::setState(const DCB& in) {
    // The checks serial drivers make before taking new line settings.
    bool valid = in.BaudRate != 0 && in.ByteSize >= 5 && in.ByteSize <= 8 && in.Parity <= 4 &&
                 in.StopBits <= TWOSTOPBITS && !(in.ByteSize == 5 && in.StopBits == TWOSTOPBITS) &&
                 !(in.ByteSize > 5 && in.StopBits == ONE5STOPBITS);
    if (!valid) {
        machine().setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    dcb = in;
    return TRUE;
}

BOOL SerialPort::getTimeouts(COMMTIMEOUTS& out) {
    out = timeouts;
    return TRUE;
}

BOOL SerialPort::setTimeouts(const COMMTIMEOUTS& in) {
    timeouts = in;
    return TRUE;
}

BOOL SerialPort::purge(DWORD flags) {
    if ((flags & ~DWORD{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR}) != 0) {
        machine().setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((flags & PURGE_RXCLEAR) != 0) {
        std::uint64_t now = machine().now();
        while (!input_.empty() && input_.front().time <= now) {
            input_.pop_front();
        }
    }
    // Aborted transfers end at their next progress call. A read has a
    // buffer and a write has none: that tells them apart here.
    for (auto& [io, t] : tracks_) {
        bool isRead = t.buffer != nullptr;
        if ((isRead && (flags & PURGE_RXABORT) != 0) || (!isRead && (flags & PURGE_TXABORT) != 0)) {
            t.aborted = true;
        }
    }
    return TRUE;
}

BOOL SerialPort::clearError(DWORD* errors, COMSTAT* status) {
    if (errors != nullptr) {
        *errors = lineErrors;
    }
    lineErrors = 0;
    if (status != nullptr) {
        *status = COMSTAT{};
        status->fCtsHold = holdWrites && dcb.fOutxCtsFlow != 0 ? 1 : 0;
        status->cbInQue = static_cast<DWORD>(queued());
    }
    return TRUE;
}

void SerialPort::send(std::string_view bytes, std::uint64_t when) {
    if (bytes.empty()) {
        return;
    }
    log_.push_back({when, false, std::string(bytes)});
    auto at = std::upper_bound(input_.begin(), input_.end(), when,
                               [](std::uint64_t t, const Arrival& a) { return t < a.time; });
    std::vector<Arrival> arrivals;
    for (char c : bytes) {
        arrivals.push_back({when, c});
    }
    input_.insert(at, arrivals.begin(), arrivals.end());
}

std::size_t SerialPort::queued() const {
    std::uint64_t now = machine().now();
    return static_cast<std::size_t>(std::count_if(
        input_.begin(), input_.end(), [now](const Arrival& a) { return a.time <= now; }));
}

std::string SerialPort::stationBytes() const {
    std::string out;
    for (const auto& e : log_) {
        if (e.fromStation) {
            out += e.bytes;
        }
    }
    return out;
}

std::string SerialPort::evaluatorBytes() const {
    std::string out;
    for (const auto& e : log_) {
        if (!e.fromStation) {
            out += e.bytes;
        }
    }
    return out;
}

// --- the evaluator at the far end ---

void ScriptedEvaluator::script(const std::string& frame, Answer answer) {
    scripted_[frame].push_back(std::move(answer));
}

void ScriptedEvaluator::standing(const std::string& frame, Answer answer) {
    standing_[frame] = std::move(answer);
}

void ScriptedEvaluator::pressKeys(std::string_view keys, std::uint64_t after) {
    for (char k : keys) {
        keys_.emplace_back(k, after);
    }
}

std::string ScriptedEvaluator::keyReport(char key) {
    std::string report;
    report.push_back('\x10');
    report.push_back('\0');
    report.push_back(key);
    report.push_back('\x11');
    report.push_back('\0');
    return report;
}

ScriptedEvaluator::Answer ScriptedEvaluator::answerTo(const std::string& frame) {
    auto scripted = scripted_.find(frame);
    if (scripted != scripted_.end() && !scripted->second.empty()) {
        Answer answer = std::move(scripted->second.front());
        scripted->second.pop_front();
        return answer;
    }
    auto standing = standing_.find(frame);
    if (standing != standing_.end()) {
        return standing->second;
    }
    if (frame == "C1E" || frame == "C3E") {
        return {{kAckDelay, "3"}};
    }
    if (frame == "C2E") {
        Answer answer{{kAckDelay, "3"}};
        if (!keys_.empty()) {
            auto [key, after] = keys_.front();
            keys_.pop_front();
            answer.push_back({after, keyReport(key)});
        }
        return answer;
    }
    return {}; // a level frame, or one the device does not know
}

void ScriptedEvaluator::received(SerialPort& port, std::string_view bytes, std::uint64_t now) {
    // Frames are 'C', one byte, 'E'; anything between frames is skipped.
    partial_ += bytes;
    for (;;) {
        auto start = partial_.find('C');
        if (start == std::string::npos) {
            partial_.clear();
            return;
        }
        partial_.erase(0, start);
        if (partial_.size() < 3) {
            return;
        }
        if (partial_[2] != 'E') {
            partial_.erase(0, 1);
            continue;
        }
        std::string frame = partial_.substr(0, 3);
        partial_.erase(0, 3);
        frames.push_back(frame);
        if (!silent_) {
            for (const auto& chunk : answerTo(frame)) {
                port.send(chunk.bytes, now + chunk.delay);
            }
        }
    }
}

// --- adapters ---

std::string multiSz(std::initializer_list<std::string_view> strings) {
    std::string out;
    for (auto s : strings) {
        out += s;
        out.push_back('\0');
    }
    out.push_back('\0');
    return out;
}

std::string pl2303HardwareIds() {
    return multiSz({"USB\\VID_067B&PID_2303&REV_0300", "USB\\VID_067B&PID_2303"});
}

std::string ftdiUsbHardwareIds() {
    return multiSz({"USB\\VID_0403&PID_6001&REV_0600", "USB\\VID_0403&PID_6001"});
}

std::string ftdiBusHardwareIds() {
    return multiSz({"FTDIBUS\\COMPORT&VID_0403&PID_6001"});
}

DevNode usbNode(std::string enumerator, std::optional<std::string> hardwareIds,
                std::optional<std::string> portName) {
    DevNode node;
    node.enumerator = std::move(enumerator);
    node.hardwareIds = std::move(hardwareIds);
    if (portName) {
        node.deviceKey["PortName"] = *portName + '\0';
    }
    return node;
}

namespace {
// Marks the nodes of one plugged adapter, so that unplugging finds them again.
constexpr const char* kAdapterTag = "SimAdapterPort";
} // namespace

SerialAdapter plugAdapter(AdapterChip chip, std::string portName, bool withEvaluator) {
    SerialAdapter adapter{chip, portName, "\\\\.\\" + portName, std::make_shared<SerialPort>(),
                          nullptr};
    if (withEvaluator) {
        adapter.evaluator = std::make_shared<ScriptedEvaluator>();
        adapter.port->attach(adapter.evaluator);
    }
    auto tagged = [&](DevNode node) {
        node.deviceKey[kAdapterTag] = portName;
        return node;
    };
    auto& nodes = machine().nodes;
    if (chip == AdapterChip::PL2303) {
        nodes.push_back(tagged(usbNode("USB", pl2303HardwareIds(), portName)));
    } else {
        nodes.push_back(tagged(usbNode("USB", ftdiUsbHardwareIds())));
        nodes.push_back(tagged(usbNode("FTDIBUS", ftdiBusHardwareIds(), portName)));
    }
    machine().addDevice(adapter.path, adapter.port);
    return adapter;
}

void unplugAdapter(const SerialAdapter& adapter) {
    auto& nodes = machine().nodes;
    nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                               [&](const DevNode& node) {
                                   auto it = node.deviceKey.find(kAdapterTag);
                                   return it != node.deviceKey.end() &&
                                          it->second == adapter.portName;
                               }),
                nodes.end());
    machine().removeDevice(adapter.path);
}

void plugOtherUsbDevices(std::size_t count) {
    static const char* const kIds[][2] = {
        {"USB\\ROOT_HUB30&VID8086&PID9D2F&REV0021", "USB\\ROOT_HUB30"},
        {"USB\\VID_05E3&PID_0610&REV_9226", "USB\\VID_05E3&PID_0610"},
        {"USB\\VID_046D&PID_C077&REV_7200", "USB\\VID_046D&PID_C077"},
        {"USB\\VID_413C&PID_2113&REV_0110", "USB\\VID_413C&PID_2113"},
        {"USB\\VID_0781&PID_5581&REV_0100", "USB\\VID_0781&PID_5581"},
        {"USB\\VID_8087&PID_0026&REV_0001", "USB\\VID_8087&PID_0026"},
    };
    constexpr std::size_t kinds = sizeof(kIds) / sizeof(kIds[0]);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& ids = kIds[i % kinds];
        machine().nodes.push_back(usbNode("USB", multiSz({ids[0], ids[1]})));
    }
}

} // namespace sim
