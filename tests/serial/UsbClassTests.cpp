// Finding PL2303 and FTDI adapters and their ports in the device-setup data,
// with hardware IDs and port names as drivers really store them.
#include "SerialFixture.h"
#include "StrComparison.h"
#include "uCOMDevice.h"
#include "uUSBClass.h"

namespace serialtest {
namespace {

using sim::AdapterChip;
using sim::multiSz;
using sim::usbNode;

TEST(StrComparisonContains, FindsAPartAnywhereByteForByte) {
    struct Case {
        std::string_view text;
        std::string_view part;
        bool found;
    };
    using namespace std::string_view_literals;
    for (const Case& c : {
             Case{"USB\\VID_067B&PID_2303", "VID_067B&PID_2303", true},
             Case{"VID_067B&PID_2303", "VID_067B&PID_2303", true},
             Case{"A\0USB\\VID_0403&PID_6001\0\0"sv, "VID_0403&PID_6001", true}, // second ID
             Case{"USB\\VID_067B\0&PID_2303\0\0"sv, "VID_067B&PID_2303", false}, // across IDs
             Case{"usb\\vid_067b&pid_2303", "VID_067B&PID_2303", false},         // case matters
             Case{"abc", "", false},
             Case{"", "a", false},
             Case{"", "", false},
             Case{"ab", "abc", false},
         }) {
        EXPECT_EQ(StrComparison::Contains(c.text, c.part), c.found)
            << "'" << c.part << "' in '" << c.text << "'";
    }
}

class UsbClass : public SerialFixture {
protected:
    static std::string portOf(const std::unique_ptr<TCOMDevice>& port) {
        if (!port || port->Handle() == INVALID_HANDLE_VALUE) {
            return {};
        }
        auto file = machine().get<sim::File>(port->Handle());
        return file ? file->path : std::string();
    }
    static void addPort(const std::string& name) { SerialFixture::addPort("\\\\.\\" + name); }
};

TEST_F(UsbClass, NoAdapterAmongOtherDevices) {
    sim::plugOtherUsbDevices(12);
    machine().nodes.push_back(usbNode("USB", std::nullopt)); // a device without hardware IDs
    EXPECT_FALSE(TPL2303Device::Exists());
    EXPECT_FALSE(TFTDIDevice::Exists());
    EXPECT_EQ(TPL2303Device::OpenPort(), nullptr);
    EXPECT_EQ(TFTDIDevice::OpenPort(), nullptr);
    EXPECT_EQ(calls("CreateFileA"), 0u);
}

TEST_F(UsbClass, BothAdaptersAreFoundWithTheirPorts) {
    sim::plugOtherUsbDevices(5);
    auto pl2303 = sim::plugAdapter(AdapterChip::PL2303, "COM5");
    sim::plugOtherUsbDevices(3);
    auto ftdi = sim::plugAdapter(AdapterChip::FTDI, "COM12");
    EXPECT_TRUE(TPL2303Device::Exists());
    EXPECT_TRUE(TFTDIDevice::Exists());
    auto port = TPL2303Device::OpenPort();
    EXPECT_EQ(portOf(port), "\\\\.\\COM5");
    EXPECT_FALSE(port->IsOverlapped());
    EXPECT_EQ(portOf(TFTDIDevice::OpenPort()), "\\\\.\\COM12");
}

TEST_F(UsbClass, HardwareIdsMatchWhateverTheirCaseAndPlaceInTheList) {
    struct Case {
        const char* what;
        std::string ids;
    };
    for (const Case& c : {
             Case{"lower case",
                  multiSz({"usb\\vid_067b&pid_2303&rev_0300", "usb\\vid_067b&pid_2303"})},
             Case{"mixed case", multiSz({"USB\\Vid_067b&Pid_2303"})},
             Case{"second of three",
                  multiSz({"USB\\COMPOSITE", "USB\\VID_067B&PID_2303&MI_00", "USB\\CLASS_FF"})},
         }) {
        SCOPED_TRACE(c.what);
        freshMachine();
        machine().nodes.push_back(usbNode("USB", c.ids, "COM3"));
        addPort("COM3");
        EXPECT_TRUE(TPL2303Device::Exists());
        EXPECT_EQ(portOf(TPL2303Device::OpenPort()), "\\\\.\\COM3");
    }
    // Identifiers given in lower case are upper-cased too.
    EXPECT_TRUE(TUSBClass::Exists("067b", "2303"));
}

TEST_F(UsbClass, NearMissesDoNotMatch) {
    for (const std::string& ids : {
             multiSz({"USB\\VID_067B&PID_2304"}), multiSz({"USB\\VID_067B", "PID_2303"}),
             multiSz({"USB\\VID_067B&PID_230"}),
             std::string(), // a property with nothing in it
         }) {
        machine().nodes.push_back(usbNode("USB", ids, "COM3"));
    }
    machine().nodes.push_back(usbNode("USB", std::nullopt, "COM3")); // no property at all
    EXPECT_FALSE(TPL2303Device::Exists());
    EXPECT_EQ(TPL2303Device::OpenPort(), nullptr);
}

TEST_F(UsbClass, ADeviceWithoutHardwareIdsDoesNotEndTheScan) {
    machine().nodes.push_back(usbNode("USB", std::nullopt));
    auto adapter = sim::plugAdapter(AdapterChip::PL2303, "COM4");
    EXPECT_TRUE(TPL2303Device::Exists());
    EXPECT_EQ(portOf(TPL2303Device::OpenPort()), "\\\\.\\COM4");
}

TEST_F(UsbClass, TwoPl2303AdaptersGiveOnlyTheFirstOnesPort) {
    auto first = sim::plugAdapter(AdapterChip::PL2303, "COM7");
    auto second = sim::plugAdapter(AdapterChip::PL2303, "COM8");
    EXPECT_EQ(portOf(TPL2303Device::OpenPort()), "\\\\.\\COM7");

    // The first one's port name cannot be read: the second is not tried.
    machine().nodes[0].deviceKey.erase("PortName");
    machine().clearCalls();
    EXPECT_EQ(TPL2303Device::OpenPort(), nullptr);
    EXPECT_EQ(calls("SetupDiOpenDevRegKey"), 1u);
    EXPECT_EQ(calls("CreateFileA"), 0u);

    machine().nodes[0].keyOpenFails = true;
    EXPECT_EQ(TPL2303Device::OpenPort(), nullptr);
    EXPECT_TRUE(TPL2303Device::Exists());
}

TEST_F(UsbClass, FtdiSeenOnUsbButItsPortLivesOnFtdibus) {
    machine().nodes.push_back(usbNode("USB", sim::ftdiUsbHardwareIds()));
    addPort("COM9");
    EXPECT_TRUE(TFTDIDevice::Exists());
    EXPECT_EQ(TFTDIDevice::OpenPort(), nullptr) << "no FTDIBUS device";

    // A port name on the USB device itself is not where the FTDI driver keeps it.
    machine().nodes[0].deviceKey["PortName"] = std::string("COM9", 5);
    EXPECT_EQ(TFTDIDevice::OpenPort(), nullptr);

    machine().nodes.push_back(usbNode("FTDIBUS", sim::ftdiBusHardwareIds(), "COM9"));
    EXPECT_EQ(portOf(TFTDIDevice::OpenPort()), "\\\\.\\COM9");

    // The presence test looks at "USB" only.
    machine().nodes.erase(machine().nodes.begin());
    EXPECT_FALSE(TFTDIDevice::Exists());
}

TEST_F(UsbClass, PortNamesAsStored) {
    struct Case {
        const char* what;
        std::string stored;
        const char* path; // nullptr: no port
    };
    for (const Case& c : {
             Case{"with its zero", std::string("COM12", 6), "\\\\.\\COM12"},
             Case{"without its zero", std::string("COM12", 5), "\\\\.\\COM12"},
             Case{"something after the zero", std::string("COM5\0xyz\0", 9), "\\\\.\\COM5"},
             Case{"empty", std::string(), nullptr},
             Case{"only a zero", std::string(1, '\0'), nullptr},
             Case{"longer than 255 bytes", std::string(300, 'C'), nullptr},
             Case{"254 characters and its zero", std::string(254, 'D') + '\0', "\\\\.\\"},
         }) {
        SCOPED_TRACE(c.what);
        freshMachine();
        addPort("COM1");
        addPort("COM5");
        addPort("COM12");
        machine().addDevice("\\\\.\\" + std::string(254, 'D'), std::make_shared<sim::SerialPort>());
        machine().nodes.push_back(usbNode("USB", sim::pl2303HardwareIds()));
        machine().nodes.back().deviceKey["PortName"] = c.stored;
        auto port = TPL2303Device::OpenPort();
        if (c.path == nullptr) {
            EXPECT_EQ(port, nullptr);
        } else if (std::string(c.path) == "\\\\.\\") {
            EXPECT_EQ(portOf(port), "\\\\.\\" + std::string(254, 'D'));
        } else {
            EXPECT_EQ(portOf(port), c.path);
        }
    }
}

TEST_F(UsbClass, APortHeldElsewhereGivesAnObjectWithAnInvalidHandle) {
    auto adapter = sim::plugAdapter(AdapterChip::PL2303, "COM5");
    HANDLE other = win::CreateFileA(adapter.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    auto port = TPL2303Device::OpenPort();
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->Handle(), INVALID_HANDLE_VALUE);
    win::CloseHandle(other);
}

TEST_F(UsbClass, TheDeviceListAndKeyAreReleasedOnEveryWayOut) {
    auto adapter = sim::plugAdapter(AdapterChip::PL2303, "COM5");
    machine().nodes.push_back(usbNode("USB", sim::ftdiUsbHardwareIds()));
    // match; no match; port found; key missing; value missing
    (void)TPL2303Device::Exists();
    (void)TUSBClass::Exists("1234", "5678");
    (void)TPL2303Device::OpenPort();
    (void)TFTDIDevice::OpenPort();
    machine().nodes[0].deviceKey.erase("PortName");
    (void)TPL2303Device::OpenPort();
    machine().nodes[0].keyOpenFails = true;
    (void)TPL2303Device::OpenPort();
    // a property that cannot be read, and a list that cannot be walked
    machine().failAlways("SetupDiGetDeviceRegistryPropertyA", ERROR_INVALID_DATA);
    EXPECT_FALSE(TPL2303Device::Exists());
    machine().failAlways("SetupDiGetDeviceRegistryPropertyA", 0);
    failNext("SetupDiEnumDeviceInfo", ERROR_INVALID_HANDLE);
    EXPECT_FALSE(TPL2303Device::Exists());

    EXPECT_EQ(calls("SetupDiGetClassDevsA"), 8u);
    EXPECT_EQ(calls("SetupDiDestroyDeviceInfoList"), 8u);
    EXPECT_EQ(calls("SetupDiOpenDevRegKey"), 3u);
    EXPECT_EQ(calls("RegCloseKey"), 2u);
    // (the fixture checks that no list or key is left open)
}

TEST_F(UsbClass, NoDeviceListMeansNoAdapter) {
    sim::plugAdapter(AdapterChip::PL2303, "COM5");
    machine().failAlways("SetupDiGetClassDevsA", ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(TPL2303Device::Exists());
    EXPECT_EQ(TPL2303Device::OpenPort(), nullptr);
    EXPECT_EQ(calls("SetupDiDestroyDeviceInfoList"), 0u);
}

TEST_F(UsbClass, AnUnboundDeviceSetupLibraryMeansNoAdapter) {
    sim::plugAdapter(AdapterChip::PL2303, "COM5");
    sim::plugAdapter(AdapterChip::FTDI, "COM6");
    UnbindSetupApi();
    EXPECT_FALSE(TPL2303Device::Exists());
    EXPECT_FALSE(TFTDIDevice::Exists());
    EXPECT_EQ(TPL2303Device::OpenPort(), nullptr);
    EXPECT_EQ(TFTDIDevice::OpenPort(), nullptr);
    ASSERT_TRUE(BindSetupApi()); // for the fixture's unbind
}

TEST_F(UsbClass, EachCallWalksAFreshListWithTheRecordSizeWindowsExpects) {
    sim::plugOtherUsbDevices(4);
    auto adapter = sim::plugAdapter(AdapterChip::PL2303, "COM5");
    EXPECT_TRUE(TPL2303Device::Exists());
    // The simulated library refuses a record whose size is not the real one,
    // which would end the scan at the first device.
    EXPECT_EQ(calls("SetupDiEnumDeviceInfo"), 5u);
    // Two property reads per device: the size, then the contents.
    EXPECT_EQ(calls("SetupDiGetDeviceRegistryPropertyA"), 10u);
    sim::unplugAdapter(adapter);
    EXPECT_FALSE(TPL2303Device::Exists());
}

} // namespace
} // namespace serialtest
