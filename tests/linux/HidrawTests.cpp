// The HID link on the Linux backend against faked hidraw nodes.
#include "BackendFixture.h"
#include "uHIDDevice.h"
#include "uHIDMivoDevice.h"

#include <string>

namespace {

constexpr std::uint16_t kVendor = THIDMivoDevice::VendorID;
constexpr std::uint16_t kProduct = THIDMivoDevice::ProductID;

std::string report(int a, int b, int c) {
    return {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
}

class HidrawTest : public LinuxBackendTest {};

TEST_F(HidrawTest, InterfacesInNodeOrderWithTheirAttributesAndReportLengths) {
    // Added out of order, as a directory lists them.
    bed->addHidraw(10, 4, 0x046D, 0xC077, fake::keyboardDescriptor());
    bed->addHidraw(2, 3, kVendor, kProduct, fake::evaluatorDescriptor());
    bed->addHidraw(0, 2, 0x413C, 0x2113, fake::keyboardDescriptor());
    std::string path;
    std::vector<std::string> paths;
    for (int i = 0; THIDDevice::GetDevicePath(i, path); ++i) {
        paths.push_back(path);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"/dev/hidraw0", "/dev/hidraw2", "/dev/hidraw10"}));
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 1);
    EXPECT_EQ(THIDDevice::Count(0x046D, 0xC077), 1);
    EXPECT_EQ(THIDDevice::Count(0x046D, 0x0001), 0);

    struct Case {
        const char* path;
        USHORT vendor, product, input, output;
    };
    for (const Case& c : {Case{"/dev/hidraw2", kVendor, kProduct, 3, 3},
                          Case{"/dev/hidraw10", 0x046D, 0xC077, 9, 2}}) {
        SCOPED_TRACE(c.path);
        win::UniqueHandle h(win::CreateFileA(c.path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        ASSERT_TRUE(h);
        HIDD_ATTRIBUTES attributes{};
        ASSERT_TRUE(Hid::HidD_GetAttributes(h.get(), &attributes));
        EXPECT_EQ(attributes.VendorID, c.vendor);
        EXPECT_EQ(attributes.ProductID, c.product);
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        ASSERT_TRUE(Hid::HidD_GetPreparsedData(h.get(), &preparsed));
        HIDP_CAPS caps{};
        EXPECT_EQ(Hid::HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
        EXPECT_EQ(caps.InputReportByteLength, c.input);
        EXPECT_EQ(caps.OutputReportByteLength, c.output);
        EXPECT_TRUE(Hid::HidD_FreePreparsedData(preparsed));
    }
}

TEST_F(HidrawTest, EvaluatorReportsBothWays) {
    const std::string dev = bed->addHidraw(0, 2, kVendor, kProduct, fake::evaluatorDescriptor());
    const int device = bed->farEnd(dev);
    THIDMivoDevice evaluator;
    ASSERT_TRUE(evaluator.Open());
    EXPECT_TRUE(evaluator.Prompt());
    evaluator.SetLevel(5);
    EXPECT_EQ(fake::drain(device), report(1, 0, 255) + report(3, 5, 250));
    fake::send(device, report(5, 4, 0)); // key 4, waiting in the node's queue
    EXPECT_EQ(evaluator.WaitKey(1000), 4);
    EXPECT_EQ(fake::drain(device),
              report(1, 1, 254) + report(2, 1, 254) + report(2, 0, 255) + report(4, 0, 255));
    evaluator.Close();
}

TEST_F(HidrawTest, ReadTimesOutAndAnUnplugFailsTheTransfer) {
    const std::string dev = bed->addHidraw(0, 2, kVendor, kProduct, fake::evaluatorDescriptor());
    THIDDevice hid;
    ASSERT_EQ(hid.Open(0, kVendor, kProduct, 0), THIDResult::Success);
    ASSERT_TRUE(hid.IsOpen());
    hid.SetTimeouts(30, 30);
    std::uint8_t buffer[3] = {9, 9, 9};
    DWORD bytesRead = 77;
    EXPECT_EQ(hid.Read(buffer, 3, 1, bytesRead), THIDResult::TimedOut);
    EXPECT_EQ(bytesRead, 77u);

    fake::send(bed->farEnd(dev), report(6, 1, 0));
    EXPECT_EQ(hid.Read(buffer, 3, 1, bytesRead), THIDResult::Success);
    EXPECT_EQ(bytesRead, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), report(6, 1, 0));

    bed->unplug(dev);
    hid.SetTimeouts(5000, 100);
    EXPECT_EQ(hid.Read(buffer, 3, 1, bytesRead), THIDResult::TransferFailed);
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 0);
    EXPECT_EQ(hid.Close(), THIDResult::Success);
}

TEST_F(HidrawTest, AnInterfaceHeldOpenIsPassedOver) {
    bed->addHidraw(0, 2, kVendor, kProduct, fake::evaluatorDescriptor());
    bed->addHidraw(1, 3, kVendor, kProduct, fake::evaluatorDescriptor());
    THIDDevice first;
    ASSERT_EQ(first.Open(0, kVendor, kProduct, 0), THIDResult::Success);
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 1);
    THIDDevice second;
    ASSERT_EQ(second.Open(0, kVendor, kProduct, 0), THIDResult::Success);
    EXPECT_TRUE(second.IsOpen());
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 0);
    EXPECT_TRUE(THIDMivoDevice::Present() == false);
    first.Close();
    EXPECT_EQ(THIDDevice::Count(kVendor, kProduct), 1);
    second.Close();
    EXPECT_TRUE(THIDMivoDevice::Present());
}

} // namespace
