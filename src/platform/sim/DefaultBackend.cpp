// Where there is neither Windows nor the Linux backend, the station runs on the
// simulated machine (with the virtual evaluator when its setting names one).
#include "../Win.h"
#include "SimMachine.h"
#include "SimRemote.h"

namespace win {

const Backend& defaultBackend() {
    (void)sim::startRemoteDevices();
    return sim::backend();
}

const Backend* windowsBackend() {
    return nullptr;
}

} // namespace win
