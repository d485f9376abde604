// The kinds of link an evaluator can be attached by, as the tick sees them.
//
// The tick knows a kind only through its entry: a presence test that needs no
// object, a way to create the kind's evaluator object, and the text the window
// shows for the kind. The link subsystems each contribute their entries.
#pragma once

#include "uMivoDevice.h"

#include <functional>
#include <string>
#include <vector>

struct LinkKind {
    // A device of this kind is attached. Runs on every tick, so it enumerates
    // but opens nothing it keeps.
    std::function<bool()> present;
    // A new, closed evaluator object for this kind.
    std::function<MivoDeviceRef()> create;
    // Shown in the window while such a device is connected ("HID", "2303", "FTDI").
    std::string text;
};

// The station's kinds in the order the tick asks them: HID, PL2303, FTDI.
std::vector<LinkKind> productLinkKinds();
