// For the test programs that check our code against the real Windows API (as
// Wine provides it): the seam goes to the operating system, not to the
// simulated machine.
#include "Win.h"

#include <gtest/gtest.h>

namespace {

class WindowsBackend : public ::testing::Environment {
public:
    void SetUp() override {
        const win::Backend* real = win::windowsBackend();
        ASSERT_NE(real, nullptr) << "built without the Windows backend";
        win::useBackend(*real);
    }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new WindowsBackend);

} // namespace
