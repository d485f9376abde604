// The serial link on the Linux backend against faked USB-serial adapters.
#include "BackendFixture.h"
#include "Handles.h"
#include "uCOMDevice.h"
#include "uUSBClass.h"

#include <termios.h>

#include <string>

namespace {

class SerialTest : public LinuxBackendTest {
protected:
    // Among other USB devices, added in a shuffled order: an FTDI adapter at
    // ttyUSB1 on 1-5 and a PL2303 at ttyUSB0 on 1-3, listed by their places.
    void plugAdapters() {
        bed->addUsbDevice(7, 0x05E3, 0x0610);
        ftdi = bed->addSerial("ttyUSB1", 5, 0x0403, 0x6001, "ftdi_sio");
        bed->addUsbDevice(2, 0x046D, 0xC077);
        pl2303 = bed->addSerial("ttyUSB0", 3, 0x067B, 0x2303, "pl2303", 0x0300);
    }
    std::string ftdi, pl2303;
};

TEST_F(SerialTest, AdaptersFoundWithTheirPortsAndHardwareIds) {
    EXPECT_FALSE(TFTDIDevice::Exists());
    EXPECT_FALSE(TPL2303Device::Exists());
    plugAdapters();
    EXPECT_TRUE(TFTDIDevice::Exists());
    EXPECT_TRUE(TPL2303Device::Exists());
    struct Case {
        const char* vendor;
        const char* product;
        const char* enumerator;
        bool found;
        const char* port;
    };
    for (const Case& c :
         {Case{"0403", "6001", "FTDIBUS", true, "ttyUSB1"},
          Case{"0403", "6001", "USB", true, "ttyUSB1"},
          Case{"067B", "2303", "USB", true, "ttyUSB0"}, Case{"067b", "2303", "FTDIBUS", false, ""},
          Case{"046D", "C077", "USB", false, ""}}) {
        SCOPED_TRACE(std::string(c.vendor) + " " + c.enumerator);
        std::string port;
        EXPECT_EQ(TUSBSerial::FindPort(c.vendor, c.product, port, c.enumerator), c.found);
        if (c.found) {
            EXPECT_EQ(port, c.port);
        }
    }
    // The hardware IDs as Windows gives them, revision first.
    win::UniqueDevInfo set(
        SetupApi::SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    ASSERT_TRUE(set);
    std::vector<std::string> ids;
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA node{};
        node.cbSize = sizeof node;
        if (!SetupApi::SetupDiEnumDeviceInfo(set.get(), i, &node)) {
            break;
        }
        char buffer[256] = {};
        DWORD size = 0;
        ASSERT_TRUE(SetupApi::SetupDiGetDeviceRegistryPropertyA(
            set.get(), &node, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(buffer),
            sizeof buffer, &size));
        ids.emplace_back(buffer, size);
    }
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(ids[1],
              std::string("USB\\VID_067B&PID_2303&REV_0300\0USB\\VID_067B&PID_2303\0\0", 54));
}

TEST_F(SerialTest, PortSetTo9600RawWithTheWindowsReadTimeOut) {
    plugAdapters();
    auto port = TFTDIDevice::OpenPort();
    ASSERT_TRUE(port);
    ASSERT_NE(port->Handle(), INVALID_HANDLE_VALUE);
    // The device end of the line sees the settings (a pseudo-terminal shares them).
    termios t{};
    const int device = bed->farEnd(ftdi);
    cfsetospeed(&t, B115200);
    tcsetattr(device, TCSANOW, &t);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(win::GetCommState(port->Handle(), &dcb));
    dcb.fOutxCtsFlow = 1;
    ASSERT_TRUE(win::SetCommState(port->Handle(), &dcb));
    ASSERT_EQ(tcgetattr(device, &t), 0);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = 1;
    ASSERT_TRUE(win::SetCommState(port->Handle(), &dcb));
    ASSERT_TRUE(port->SetCommParams(9600, 8, NOPARITY, ONESTOPBIT));
    ASSERT_EQ(tcgetattr(device, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t{B9600});
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t{CS8});
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_FALSE(port->SetCommParams(12345, 8, NOPARITY, ONESTOPBIT));
    EXPECT_FALSE(port->SetCommParams(9600, 9, NOPARITY, ONESTOPBIT));

    ASSERT_TRUE(port->SetTimeout(40));
    // A read ended by its time-out succeeds with what came: two of five bytes.
    fake::send(device, "ab");
    char buffer[6] = {};
    EXPECT_TRUE(port->Read(buffer, 5));
    EXPECT_EQ(std::string(buffer), "ab");
    // What waits in the input queue goes with a purge.
    fake::send(device, "zz");
    EXPECT_TRUE(win::PurgeComm(port->Handle(), PURGE_RXCLEAR));
    char none[2] = {};
    EXPECT_TRUE(port->Read(none, 1));
    EXPECT_EQ(none[0], '\0');
    EXPECT_TRUE(port->Write("C1E", 3));
    EXPECT_EQ(fake::drain(device), "C1E");
    // A write time-out is accepted and bounds the write; the tty takes the bytes.
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(win::GetCommTimeouts(port->Handle(), &timeouts));
    timeouts.WriteTotalTimeoutConstant = 50;
    timeouts.WriteTotalTimeoutMultiplier = 2;
    ASSERT_TRUE(win::SetCommTimeouts(port->Handle(), &timeouts));
    EXPECT_TRUE(port->Write("C2E", 3));
    EXPECT_EQ(fake::drain(device), "C2E");
}

TEST_F(SerialTest, APortHeldOpenCannotBeOpenedAgain) {
    plugAdapters();
    auto first = TPL2303Device::OpenPort();
    ASSERT_TRUE(first);
    ASSERT_NE(first->Handle(), INVALID_HANDLE_VALUE);
    auto second = TPL2303Device::OpenPort();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    first.reset();
    auto third = TPL2303Device::OpenPort();
    ASSERT_TRUE(third);
    EXPECT_NE(third->Handle(), INVALID_HANDLE_VALUE);
}

TEST_F(SerialTest, AnUnpluggedAdapterFailsTheReadAndIsGone) {
    plugAdapters();
    auto port = TFTDIDevice::OpenPort();
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetTimeout(2000));
    bed->unplug(ftdi);
    char buffer[5];
    EXPECT_FALSE(port->Read(buffer, 5)); // the hang-up, long before the time-out
    EXPECT_FALSE(TFTDIDevice::Exists());
    EXPECT_TRUE(TPL2303Device::Exists());
}

} // namespace
