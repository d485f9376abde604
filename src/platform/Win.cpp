#include "Win.h"

#include "sim/SimMachine.h"

namespace win {

namespace {
const Backend* active = nullptr;
}

const Backend& backend() {
    if (active == nullptr) {
        const Backend* real = windowsBackend();
        active = real != nullptr ? real : &sim::backend();
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
