// The evaluator over HID with whatever its input reports and its report
// lengths may be: the lengths the collection declares (none, shorter or longer
// than the evaluator's three bytes), reports of any content arriving at any
// moment, before or after a key wait has asked for them. A whole station test
// runs over them; every wait ends within its time-outs and nothing stays open.
#include "FuzzMachine.h"
#include "sim/SimHidDevice.h"
#include "uHIDMivoDevice.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

namespace {

std::string evaluatorPath() {
    return "\\\\?\\hid#vid_10c4&pid_82cd#7&1a2b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

// A report as the HID class driver hands it over: exactly the declared length.
std::string report(FuzzedDataProvider& input, USHORT length) {
    std::string bytes = input.ConsumeBytesAsString(length);
    bytes.resize(length, '\0');
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    fuzzing::freshMachine();
    auto device =
        sim::plugHid(evaluatorPath(), THIDMivoDevice::VendorID, THIDMivoDevice::ProductID);
    device->inputReportLength = input.ConsumeIntegralInRange<USHORT>(0, 70);
    device->outputReportLength = input.ConsumeIntegralInRange<USHORT>(0, 70);
    device->numInputBuffers = input.ConsumeIntegralInRange<ULONG>(0, 64);
    device->preparsedDataFail = input.ConsumeProbability<float>() < 0.05f;

    // Reports that arrive on their own, and the answers to each key-capture command.
    const int early = input.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < early && device->inputReportLength > 0; ++i) {
        device->queueInput(input.ConsumeIntegralInRange<std::uint64_t>(0, 30000),
                           report(input, device->inputReportLength));
    }
    std::deque<std::pair<std::uint64_t, std::string>> answers;
    while (input.remaining_bytes() > 0 && answers.size() < 8 && device->inputReportLength > 0) {
        const std::uint64_t delay = input.ConsumeIntegralInRange<std::uint64_t>(0, 6000);
        answers.emplace_back(delay, report(input, device->inputReportLength));
    }
    device->onWrite = [answers](sim::HidDevice& d, const std::string& written) mutable {
        if (!written.empty() && written[0] == 2 && !answers.empty()) {
            d.queueInput(sim::machine().now() + answers.front().first, answers.front().second);
            answers.pop_front();
        }
    };

    {
        auto& m = sim::machine();
        THIDMivoDevice evaluator;
        (void)THIDMivoDevice::Present();
        if (evaluator.Open()) {
            (void)evaluator.Prompt();
            evaluator.SetLevel(5);
            for (int key = 1; key <= 6; ++key) {
                const std::uint64_t before = m.now();
                (void)evaluator.WaitKey(5000);
                // The wait and its four command reports of at most 100 ms each.
                fuzzing::require(m.now() - before <= 5000 + 4 * 100 + 50,
                                 "a key wait ends in time");
            }
            (void)evaluator.ReadState();
            (void)evaluator.Finish();
            (void)evaluator.Close();
        }
    }
    fuzzing::requireClean();
    return 0;
}
