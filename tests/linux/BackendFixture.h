// The seam on the Linux backend, over a fresh umockdev testbed, with both
// libraries bound as the program binds them. Every handle is closed again by
// the end of each test.
#pragma once

#include "FakeDevices.h"
#include "Hid.h"
#include "SetupApi.h"
#include "Win.h"
#include "linux/LinuxBackend.h"

#include <gtest/gtest.h>

#include <memory>

class LinuxBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::useBackend(lnx::backend());
        bed = std::make_unique<fake::Testbed>();
        ASSERT_TRUE(BindHid());
        ASSERT_TRUE(BindSetupApi());
        handlesBefore = lnx::openHandles();
    }
    void TearDown() override {
        EXPECT_EQ(lnx::openHandles(), handlesBefore) << "a handle was left open";
        UnbindSetupApi();
        UnbindHid();
        bed.reset();
    }
    std::unique_ptr<fake::Testbed> bed;
    std::size_t handlesBefore = 0;
};
