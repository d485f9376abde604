// What the fuzzers share: a fresh simulated machine per input, and checks of
// the promises every run must keep, which end the run loudly (libFuzzer then
// keeps the input as a crash).
#pragma once

#include "Hid.h"
#include "SetupApi.h"
#include "Win.h"
#include "sim/SimMachine.h"

#include <cstdio>
#include <cstdlib>

namespace fuzzing {

inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

// A new machine with both libraries bound, as the program has them.
inline void freshMachine() {
    UnbindSetupApi();
    UnbindHid();
    win::useBackend(sim::backend());
    sim::machine().reset();
    require(BindHid(), "the HID library binds");
    require(BindSetupApi(), "the device-setup library binds");
}

// Everything the run opened is closed again, no transfer runs on, and the
// machine saw no misuse.
inline void requireClean() {
    auto& m = sim::machine();
    for (const auto& v : m.violations()) {
        std::fprintf(stderr, "simulated machine: %s\n", v.c_str());
    }
    require(m.violations().empty(), "no misuse of the machine");
    require(m.pendingTransfers() == 0, "no transfer left running");
    require(m.openHandles("file") == 0, "every device handle closed");
    require(m.openHandles("event") == 0, "every event closed");
    require(m.openHandles("devinfo") == 0, "every device list destroyed");
    require(m.openHandles("key") == 0, "every registry key closed");
    require(m.openHandles("preparsed") == 0, "every preparsed-data block freed");
}

} // namespace fuzzing
