// Test programs run on the simulated machine: on Windows and on Linux the seam
// would otherwise start on the real devices.
#include "Win.h"
#include "sim/SimMachine.h"

#include <gtest/gtest.h>

namespace {

class SimulatedBackend : public ::testing::Environment {
public:
    void SetUp() override { win::useBackend(sim::backend()); }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new SimulatedBackend);

} // namespace
