#include "Win.h"

#include "sim/SimMachine.h"
#ifndef _WIN32
#include "sim/SimRemote.h"
#endif
#ifdef EVALUATOR_LINUX_DEVICES
#include "linux/LinuxBackend.h"
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
        // The simulated machine's own setting attaches an evaluator that
        // another process plays (the virtual evaluator of the demo); without
        // it the station on Linux works with the real devices.
        if (real == nullptr && !sim::startRemoteDevices()) {
#ifdef EVALUATOR_LINUX_DEVICES
            active = &lnx::backend();
#endif
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
