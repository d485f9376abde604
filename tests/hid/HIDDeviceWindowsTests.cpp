// THIDDevice against the real device-setup and HID libraries of the system the
// tests run on (Wine's in our builds), where no evaluator is attached. The
// system may list HID devices of its own (Wine lists virtual ones), so the
// expectations count by the evaluator's identifiers, never on an empty list.
#include "Hid.h"
#include "SetupApi.h"
#include "Win.h"
#include "uHIDDevice.h"
#include "uHIDMivoDevice.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class HIDDeviceWindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const win::Backend* real = win::windowsBackend();
        ASSERT_NE(real, nullptr) << "built without the Windows backend";
        win::useBackend(*real);
        ASSERT_TRUE(BindHid());
        ASSERT_TRUE(BindSetupApi());
    }
    void TearDown() override {
        UnbindSetupApi();
        UnbindHid();
    }
};

TEST_F(HIDDeviceWindowsTest, NoEvaluatorIsCountedOrOpened) {
    EXPECT_EQ(THIDDevice::Count(THIDMivoDevice::VendorID, THIDMivoDevice::ProductID), 0);
    THIDDevice device;
    EXPECT_EQ(device.Open(0, THIDMivoDevice::VendorID, THIDMivoDevice::ProductID, 0),
              THIDResult::Success);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.Close(), THIDResult::NotOpen);

    EXPECT_FALSE(THIDMivoDevice::Present());
    THIDMivoDevice evaluator;
    EXPECT_FALSE(evaluator.Open());
    EXPECT_EQ(evaluator.WaitKey(5000), 255);
}

// The system's own HID interfaces come back as path text, and each can be
// counted by its own identifiers. This is where the record sizes matter: the
// device-setup library refuses a detail record whose size member is not the
// real record's size.
TEST_F(HIDDeviceWindowsTest, TheSystemsHidInterfacesEnumerate) {
    std::string path;
    int interfaces = 0;
    while (THIDDevice::GetDevicePath(interfaces, path)) {
        EXPECT_FALSE(path.empty());
        EXPECT_EQ(path.find('\0'), std::string::npos);
        ++interfaces;
    }
    RecordProperty("interfaces", interfaces);
    if (interfaces == 0) {
        GTEST_SKIP() << "this system lists no HID interfaces";
    }

    // The first interface's identifiers, read with a plain query open.
    ASSERT_TRUE(THIDDevice::GetDevicePath(0, path));
    HANDLE handle = win::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        GTEST_SKIP() << "the first HID interface cannot be opened here";
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof(attributes);
    const bool known = Hid::HidD_GetAttributes(handle, &attributes) != FALSE;
    win::CloseHandle(handle);
    ASSERT_TRUE(known);
    // Wine's virtual devices open for reading and writing: then they are
    // counted and can be held. (Wine does not refuse a second open of a device
    // held with share mode 0, as Windows does, so nothing is expected of a
    // count taken while one is held.)
    const int count = THIDDevice::Count(attributes.VendorID, attributes.ProductID);
    RecordProperty("count of the first interface's identifiers", count);
    if (count > 0) {
        THIDDevice device;
        ASSERT_EQ(device.Open(0, attributes.VendorID, attributes.ProductID, 0),
                  THIDResult::Success);
        ASSERT_TRUE(device.IsOpen());
        EXPECT_GT(device.NumInputBuffers(), 0);
        EXPECT_GT(device.InputReportLength(), 0);
        EXPECT_EQ(device.Close(), THIDResult::Success);
        EXPECT_EQ(THIDDevice::Count(attributes.VendorID, attributes.ProductID), count);
    }
}

} // namespace
