#include "Win.h"

#include "sim/SimMachine.h"
#ifndef _WIN32
#include "sim/SimRemote.h"
#endif

namespace win {

namespace {
const Backend* active = nullptr;
}

const Backend& backend() {
    if (active == nullptr) {
        const Backend* real = windowsBackend();
        active = real != nullptr ? real : &sim::backend();
#ifndef _WIN32
        if (real == nullptr) {
            // The simulated machine's own setting may attach an evaluator that
            // another process plays (the virtual evaluator of the demo).
            sim::startRemoteDevices();
        }
#endif
    }
    return *active;
}

void useBackend(const Backend& backend) {
    active = &backend;
}

#ifndef _WIN32
const Backend* windowsBackend() {
    return nullptr;
}
#endif

} // namespace win
