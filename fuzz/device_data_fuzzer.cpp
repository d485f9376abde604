// What the device-setup data says about the USB devices present, as anything
// at all: hardware-ID properties of any bytes and length (with or without
// their zeros, in any case), "PortName" values of any bytes and length (with
// or without a terminating zero), devices without either. The adapter kinds'
// presence tests and port look-ups run over them; a port found opens only as
// a COM port of the machine, and nothing stays open.
#include "FuzzMachine.h"
#include "sim/SimSerial.h"
#include "uCOMDevice.h"
#include "uUSBClass.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    fuzzing::freshMachine();
    auto& m = sim::machine();
    // Two real ports a found name may point at.
    m.addDevice("\\\\.\\COM3", std::make_shared<sim::SerialPort>());
    m.addDevice("\\\\.\\COM12", std::make_shared<sim::SerialPort>());

    const int count = input.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < count; ++i) {
        sim::DevNode node;
        node.enumerator = input.ConsumeBool() ? "USB" : "FTDIBUS";
        if (input.ConsumeBool()) {
            node.hardwareIds = input.ConsumeRandomLengthString(120);
        }
        if (input.ConsumeBool()) {
            node.deviceKey["PORTNAME"] = input.ConsumeRandomLengthString(300);
        }
        node.keyOpenFails = input.ConsumeProbability<float>() < 0.1f;
        m.nodes.push_back(std::move(node));
    }

    (void)TPL2303Device::Exists();
    (void)TFTDIDevice::Exists();
    (void)TPL2303Device::OpenPort(); // a port that opened is closed again at once
    (void)TFTDIDevice::OpenPort();
    std::string name;
    if (TUSBSerial::FindPort("067B", "2303", name, "USB")) {
        fuzzing::require(!name.empty() && name.size() <= 255, "a port name found fits its buffer");
        fuzzing::require(name.find('\0') == std::string::npos, "a port name ends at its zero");
    }
    if (TUSBSerial::FindPort("0403", "6001", name, "FTDIBUS")) {
        fuzzing::require(!name.empty() && name.size() <= 255, "a port name found fits its buffer");
    }
    fuzzing::requireClean();
    return 0;
}
