// Where the station on Linux starts: on the real devices, unless the simulated
// machine's own setting attaches an evaluator that another process plays (the
// virtual evaluator of the demo).
#include "../Win.h"
#include "../sim/SimMachine.h"
#include "../sim/SimRemote.h"
#include "LinuxBackend.h"

namespace win {

const Backend& defaultBackend() {
    return sim::startRemoteDevices() ? sim::backend() : lnx::backend();
}

const Backend* windowsBackend() {
    return nullptr;
}

} // namespace win
