// The probe that runs inside the QEMU guest, as /probe of its initramfs: the
// station's link objects over the Linux backend, on the guest kernel's own
// xHCI, usbhid, hidraw and ftdi_sio drivers. Statically linked, since the
// initramfs holds nothing but busybox.
//
// It finds the HID evaluator and the FTDI adapter as the station's presence
// tests do, runs the station's exchange over each (Prompt, SetLevel(5), then
// WaitKey(5000) for keys 1 to 6, which the host's evaluators press), then
// starts one more key wait on each link with a long read time-out. The host
// unplugs the device during that wait: the read must fail at once rather than
// time out, and the presence test must turn false. Each step prints one line
// on the console, "PROBE PASS step: detail" or "PROBE FAIL step: detail", and
// the last line is "PROBE END ok" or "PROBE END failed"; the host checks them.
#include "Hid.h"
#include "SetupApi.h"
#include "Win.h"
#include "linux/DeviceText.h"
#include "linux/LinuxBackend.h"
#include "uCOMMivoDevice.h"
#include "uHIDMivoDevice.h"
#include "uUSBClass.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Long enough that a read which ends by its time-out cannot pass for an unplug.
constexpr DWORD kUnplugReadTimeoutMs = 20000;
constexpr long long kUnplugSeenWithinMs = 10000;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool allPassed = true;

void report(const char* step, bool passed, const char* format, ...) {
    char detail[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    std::printf("PROBE %s %s: %s\n", passed ? "PASS" : "FAIL", step, detail);
    std::fflush(stdout);
    allPassed = allPassed && passed;
}

// Asks `test` every 100 ms, as the station's tick does, until it gives
// `wanted` or `limitMs` has passed; the milliseconds it took, or -1.
long long pollUntil(const std::function<bool()>& test, bool wanted, long long limitMs) {
    const auto start = Clock::now();
    for (;;) {
        if (test() == wanted) {
            return msSince(start);
        }
        if (msSince(start) >= limitMs) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// One test as the station's sequence runs it; the keys read, as digits.
std::string runSequence(IMivoDevice& device) {
    if (!device.Open()) {
        return "no open";
    }
    std::string keys = device.Prompt() ? "" : "(no prompt ack) ";
    device.SetLevel(5);
    for (int key = 1; key <= 6; ++key) {
        keys += std::to_string(device.WaitKey(5000));
    }
    (void)device.Close();
    return keys;
}

void presence() {
    const auto start = Clock::now();
    long long hidAt = -1;
    long long ftdiAt = -1;
    (void)pollUntil(
        [&] {
            if (hidAt < 0 && THIDMivoDevice::Present()) {
                hidAt = msSince(start);
            }
            if (ftdiAt < 0 && TFTDIDevice::Exists()) {
                ftdiAt = msSince(start);
            }
            return hidAt >= 0 && ftdiAt >= 0;
        },
        true, 30000);
    report("presence", hidAt >= 0 && ftdiAt >= 0,
           "HID evaluator after %lld ms, FTDI adapter after %lld ms (-1: never)", hidAt, ftdiAt);
}

// Windows counts the report ID in every length: 3 bytes each way.
void hidCaps() {
    THIDDevice device;
    (void)device.Open(0, THIDMivoDevice::VendorID, THIDMivoDevice::ProductID, 0);
    report("hid-caps",
           device.IsOpen() && device.InputReportLength() == 3 && device.OutputReportLength() == 3,
           "open %d, input %d, output %d, feature %d bytes, %d input buffers", device.IsOpen(),
           device.InputReportLength(), device.OutputReportLength(), device.FeatureReportLength(),
           device.NumInputBuffers());
}

void hidExchange() {
    auto device = std::make_shared<THIDMivoDevice>();
    const std::string keys = runSequence(*device);
    report("hid-exchange", keys == "123456", "keys %s", keys.c_str());
    report("hid-present-after", THIDMivoDevice::Present(), "closed between operations");
}

void ftdiPort() {
    std::string port;
    const bool found = TUSBSerial::FindPort("0403", "6001", port, "FTDIBUS");
    const std::string path = lnx::devicePathOf("\\\\.\\" + port);
    report("ftdi-port", found && path == "/dev/ttyUSB0", "PortName %s, path %s",
           found ? port.c_str() : "(none)", path.c_str());
}

void serialExchange() {
    auto device = std::make_shared<TFTDIMivo>();
    const std::string keys = runSequence(*device);
    report("serial-exchange", keys == "123456", "keys %s", keys.c_str());
}

// A key wait as WaitKey starts it ([1, 1, 254], then capture on), whose read
// the unplug must end with a failure (code 5), not a time-out (code 4).
void hidUnplug() {
    THIDDevice device;
    const int count = THIDDevice::Count(THIDMivoDevice::VendorID, THIDMivoDevice::ProductID);
    (void)device.Open(count - 1, THIDMivoDevice::VendorID, THIDMivoDevice::ProductID, 0);
    device.SetTimeouts(kUnplugReadTimeoutMs, 100);
    const std::uint8_t prompt[3] = {1, 1, 254};
    const std::uint8_t captureOn[3] = {2, 1, 254};
    const bool sent = device.Write(prompt, 3) == THIDResult::Success &&
                      device.Write(captureOn, 3) == THIDResult::Success;
    const auto start = Clock::now();
    std::uint8_t buffer[3] = {};
    DWORD read = 0;
    const THIDResult result = device.Read(buffer, 3, 1, read);
    const long long ms = msSince(start);
    report("hid-unplug", sent && result == THIDResult::TransferFailed && ms < kUnplugSeenWithinMs,
           "commands sent %d, read result %d after %lld ms", sent, static_cast<int>(result), ms);
    (void)device.Close();
    const long long gone = pollUntil(THIDMivoDevice::Present, false, 5000);
    report("hid-gone", gone >= 0, "presence false %lld ms after the failed read", gone);
}

// "C2E" acknowledged, then the unplug while the key report is awaited: the
// read fails (the tty hangs up) long before its time-out.
void serialUnplug() {
    std::unique_ptr<TCOMDevice> port = TFTDIDevice::OpenPort();
    const bool open = port && port->Handle() != INVALID_HANDLE_VALUE;
    char ack = 0;
    char key[5] = {};
    bool acked = false;
    bool readOk = true;
    long long ms = -1;
    if (open) {
        (void)port->SetCommParams(9600, 8, 0, 0);
        (void)port->SetTimeout(static_cast<std::int32_t>(kUnplugReadTimeoutMs));
        acked = port->Write("C2E", 3) && port->Read(&ack, 1) && ack == '3';
        const auto start = Clock::now();
        readOk = port->Read(key, 5);
        ms = msSince(start);
    }
    report("serial-unplug", open && acked && !readOk && ms < kUnplugSeenWithinMs,
           "port open %d, acknowledged %d, key read %s after %lld ms", open, acked,
           readOk ? "succeeded" : "failed", ms);
    port.reset();
    const long long gone = pollUntil(TFTDIDevice::Exists, false, 5000);
    const bool reopened = TFTDIDevice::OpenPort() != nullptr;
    report("ftdi-gone", gone >= 0 && !reopened,
           "presence false %lld ms after the failed read, port found again %d", gone, reopened);
}

} // namespace

int main() {
    std::printf("PROBE START\n");
    std::fflush(stdout);
    win::useBackend(lnx::backend());
    const bool bound = BindHid() && BindSetupApi();
    report("bind", bound, "HID.dll and SetupApi.dll");
    if (bound) {
        presence();
        hidCaps();
        hidExchange();
        ftdiPort();
        serialExchange();
        hidUnplug();
        serialUnplug();
    }
    std::printf("PROBE END %s\n", allPassed ? "ok" : "failed");
    std::fflush(stdout);
    return allPassed ? 0 : 1;
}
