#include "LinkKinds.h"

#include "uHIDMivoDevice.h"

#include <memory>

std::vector<LinkKind> productLinkKinds() {
    // One entry per kind, in the order the tick asks them: a HID evaluator
    // first, then an evaluator behind a PL2303 adapter, then behind an FTDI one.
    return {
        {&THIDMivoDevice::Present, [] { return std::make_shared<THIDMivoDevice>(); }, "HID"},
    };
}
