#include "LinkKinds.h"

#include "uCOMDevice.h"
#include "uCOMMivoDevice.h"
#include "uHIDMivoDevice.h"

#include <memory>

std::vector<LinkKind> productLinkKinds() {
    // One entry per kind, in the order the tick asks them: a HID evaluator
    // first, then an evaluator behind a PL2303 adapter, then behind an FTDI one.
    return {
        {&THIDMivoDevice::Present, [] { return std::make_shared<THIDMivoDevice>(); }, "HID"},
        {&TPL2303Device::Exists, [] { return std::make_shared<TPL2303Mivo>(); }, "2303"},
        {&TFTDIDevice::Exists, [] { return std::make_shared<TFTDIMivo>(); }, "FTDI"},
    };
}
