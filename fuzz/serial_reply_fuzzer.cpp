// The evaluator's replies over serial, as anything at all: acknowledgements
// and key reports of arbitrary bytes and lengths, in arbitrary pieces and at
// arbitrary moments (early, late, never). A whole station test is run over
// them: prompt, lamps, six key waits, the finish and the close. Whatever comes
// back, each wait ends within its time-outs and the port is left closed.
#include "FuzzMachine.h"
#include "sim/SimSerial.h"
#include "uCOMMivoDevice.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

namespace {

sim::ScriptedEvaluator::Answer answerFrom(FuzzedDataProvider& input) {
    sim::ScriptedEvaluator::Answer answer;
    const int pieces = input.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < pieces; ++i) {
        const std::uint64_t delay = input.ConsumeIntegralInRange<std::uint64_t>(0, 6000);
        answer.push_back({delay, input.ConsumeRandomLengthString(16)});
    }
    return answer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    fuzzing::freshMachine();
    const bool ftdi = input.ConsumeBool();
    auto adapter =
        sim::plugAdapter(ftdi ? sim::AdapterChip::FTDI : sim::AdapterChip::PL2303, "COM4");
    // Up to four answers to each frame, in turn; then the device falls silent
    // or keeps answering as its last script said.
    const char* frames[] = {"C1E", "C2E", "C3E"};
    for (int round = 0; round < 4 && input.remaining_bytes() > 0; ++round) {
        for (const char* frame : frames) {
            adapter.evaluator->script(frame, answerFrom(input));
        }
    }
    if (input.ConsumeBool()) {
        adapter.evaluator->silence();
    }
    // Unasked bytes on the line, e.g. a key pressed before it was asked for.
    const std::string stray = input.ConsumeRandomLengthString(8);
    if (!stray.empty()) {
        adapter.port->send(stray, input.ConsumeIntegralInRange<std::uint64_t>(0, 3000));
    }

    {
        std::shared_ptr<TCOMMivoDevice> device;
        if (ftdi) {
            device = std::make_shared<TFTDIMivo>();
        } else {
            device = std::make_shared<TPL2303Mivo>();
        }
        fuzzing::require(device->Open(), "the adapter's port opens");
        auto& m = sim::machine();
        (void)device->Prompt();
        device->SetLevel(5);
        for (int key = 1; key <= 6; ++key) {
            const std::uint64_t before = m.now();
            const std::uint8_t pressed = device->WaitKey(5000);
            // Three reads of five seconds at most, and the writes between them.
            fuzzing::require(m.now() - before <= 3 * 5000 + 100, "a key wait ends in time");
            (void)pressed;
        }
        (void)device->Finish();
        (void)device->Close();
        fuzzing::require(!device->IsOpen(), "closed after Close");
    }
    fuzzing::requireClean();
    return 0;
}
