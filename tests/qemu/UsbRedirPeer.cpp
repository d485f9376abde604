#include "UsbRedirPeer.h"

#include "EvaluatorReportDescriptor.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint8_t kInEndpoint = 0x81;

std::string bytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) {
        out += static_cast<char>(b);
    }
    return out;
}

const std::string kReportDescriptor = evaluatorReportDescriptor();

// A full-speed USB 2.0 device, class given by its interface, one configuration.
const std::string kDeviceDescriptor = bytes({
    18, 1, 0x00, 0x02, 0, 0, 0, 64, // bcdUSB 2.00, ep0 64 bytes
    0xC4, 0x10, 0xCD, 0x82,         // 10C4:82CD
    0x00, 0x01, 1, 2, 0, 1,         // bcdDevice 1.00, strings 1 and 2, no serial
});

const std::string kHidDescriptor = bytes({
    9, 0x21, 0x11, 0x01, 0, 1,                           // HID 1.11, no country, one descriptor:
    0x22, static_cast<int>(kReportDescriptor.size()), 0, // the report descriptor, its length
});

// Configuration 1: interface 0 (HID, no boot protocol) with interrupt IN 0x81,
// 64 bytes, every 10 ms. Output reports come as SET_REPORT on endpoint 0.
const std::string kConfigDescriptor = [] {
    std::string descriptor = bytes({
        9, 2, 34, 0, 1, 1, 0, 0x80, 50, // 34 bytes in all, bus powered, 100 mA
        9, 4, 0, 0, 1, 3, 0, 0, 0,      // one HID interface
    });
    descriptor += kHidDescriptor;
    descriptor += bytes({7, 5, kInEndpoint, 3, 64, 0, 10}); // the interrupt IN endpoint
    return descriptor;
}();

// String descriptors: UTF-16LE text; index 0 lists the languages (US English).
std::string stringDescriptor(int index) {
    if (index == 0) {
        return bytes({4, 3, 0x09, 0x04});
    }
    const char* text = index == 1 ? "Evaluator test rig" : index == 2 ? "Evaluator" : nullptr;
    if (text == nullptr) {
        return {};
    }
    std::string out(2, '\0');
    for (const char* c = text; *c != '\0'; ++c) {
        out += *c;
        out += '\0';
    }
    out[0] = static_cast<char>(out.size());
    out[1] = 3;
    return out;
}

// Endpoint tables are indexed by direction and number: OUT 0 to 15, IN 16 to 31.
int endpointSlot(std::uint8_t endpoint) {
    return ((endpoint & 0x80) >> 3) | (endpoint & 0x0F);
}

} // namespace

// The parser calls C functions with the peer as priv.
struct UsbRedirPeer::Callbacks {
    static UsbRedirPeer& peer(void* priv) { return *static_cast<UsbRedirPeer*>(priv); }

    static void log(void*, int level, const char* message) {
        if (level <= usbredirparser_warning) {
            std::fprintf(stderr, "usbredir: %s\n", message);
        }
    }
    static int read(void* priv, std::uint8_t* data, int count) {
        const ssize_t n = ::read(peer(priv).fd_, data, static_cast<std::size_t>(count));
        if (n > 0) {
            return static_cast<int>(n);
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return 0;
        }
        peer(priv).ended_ = true; // end of file: QEMU closed the chardev
        return -1;
    }
    static int write(void* priv, std::uint8_t* data, int count) {
        const ssize_t n = ::write(peer(priv).fd_, data, static_cast<std::size_t>(count));
        if (n >= 0) {
            return static_cast<int>(n);
        }
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    }
    static void hello(void* priv, usb_redir_hello_header*) { peer(priv).hello(); }
    static void reset(void*) {} // nothing to reset: the device keeps no USB state
    static void control(void* priv, std::uint64_t id, usb_redir_control_packet_header* header,
                        std::uint8_t* data, int length) {
        peer(priv).control(id, *header, data, length);
        if (data != nullptr) {
            usbredirparser_free_packet_data(peer(priv).parser_, data);
        }
    }
    static void setConfiguration(void* priv, std::uint64_t id,
                                 usb_redir_set_configuration_header* header) {
        UsbRedirPeer& self = peer(priv);
        self.configured_ = header->configuration == 1;
        // A host sends the interfaces and endpoints of the new configuration first.
        self.sendInterfaceAndEndpoints();
        usb_redir_configuration_status_header status{usb_redir_success, header->configuration};
        usbredirparser_send_configuration_status(self.parser_, id, &status);
    }
    static void getConfiguration(void* priv, std::uint64_t id) {
        UsbRedirPeer& self = peer(priv);
        usb_redir_configuration_status_header status{
            usb_redir_success, static_cast<std::uint8_t>(self.configured_ ? 1 : 0)};
        usbredirparser_send_configuration_status(self.parser_, id, &status);
    }
    static void setAltSetting(void* priv, std::uint64_t id,
                              usb_redir_set_alt_setting_header* header) {
        // Interface 0 has only alternate setting 0.
        usb_redir_alt_setting_status_header status{
            static_cast<std::uint8_t>(header->alt == 0 ? usb_redir_success : usb_redir_stall),
            header->interface, 0};
        usbredirparser_send_alt_setting_status(peer(priv).parser_, id, &status);
    }
    static void getAltSetting(void* priv, std::uint64_t id,
                              usb_redir_get_alt_setting_header* header) {
        usb_redir_alt_setting_status_header status{usb_redir_success, header->interface, 0};
        usbredirparser_send_alt_setting_status(peer(priv).parser_, id, &status);
    }
    static void startReceiving(void* priv, std::uint64_t id,
                               usb_redir_start_interrupt_receiving_header* header) {
        UsbRedirPeer& self = peer(priv);
        const bool ours = header->endpoint == kInEndpoint;
        usb_redir_interrupt_receiving_status_header status{
            static_cast<std::uint8_t>(ours ? usb_redir_success : usb_redir_inval),
            header->endpoint};
        usbredirparser_send_interrupt_receiving_status(self.parser_, id, &status);
        if (ours) {
            self.receiving_ = true;
            self.flushInputReports();
        }
    }
    static void stopReceiving(void* priv, std::uint64_t id,
                              usb_redir_stop_interrupt_receiving_header* header) {
        UsbRedirPeer& self = peer(priv);
        if (header->endpoint == kInEndpoint) {
            self.receiving_ = false;
        }
        usb_redir_interrupt_receiving_status_header status{usb_redir_success, header->endpoint};
        usbredirparser_send_interrupt_receiving_status(self.parser_, id, &status);
    }
    template <class Header>
    static void dataPacket(void* priv, std::uint64_t, Header*, std::uint8_t* data, int) {
        if (data != nullptr) { // no bulk, iso or interrupt OUT endpoint: nothing to take
            usbredirparser_free_packet_data(peer(priv).parser_, data);
        }
    }
};

UsbRedirPeer::UsbRedirPeer(int fd) : fd_(fd), parser_(usbredirparser_create()) {
    parser_->priv = this;
    parser_->log_func = Callbacks::log;
    parser_->read_func = Callbacks::read;
    parser_->write_func = Callbacks::write;
    parser_->hello_func = Callbacks::hello;
    parser_->reset_func = Callbacks::reset;
    parser_->control_packet_func = Callbacks::control;
    parser_->set_configuration_func = Callbacks::setConfiguration;
    parser_->get_configuration_func = Callbacks::getConfiguration;
    parser_->set_alt_setting_func = Callbacks::setAltSetting;
    parser_->get_alt_setting_func = Callbacks::getAltSetting;
    parser_->start_interrupt_receiving_func = Callbacks::startReceiving;
    parser_->stop_interrupt_receiving_func = Callbacks::stopReceiving;
    parser_->bulk_packet_func = Callbacks::dataPacket<usb_redir_bulk_packet_header>;
    parser_->iso_packet_func = Callbacks::dataPacket<usb_redir_iso_packet_header>;
    parser_->interrupt_packet_func = Callbacks::dataPacket<usb_redir_interrupt_packet_header>;
    // QEMU attaches a redirected device to an xHCI port only when the host
    // side has these three: 64-bit packet ids, 32-bit bulk lengths and the
    // endpoints' maximum packet sizes.
    std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_init(parser_, "evaluator usbredir peer", caps, USB_REDIR_CAPS_SIZE,
                        usbredirparser_fl_usb_host);
}

UsbRedirPeer::~UsbRedirPeer() {
    usbredirparser_destroy(parser_);
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool UsbRedirPeer::wantsWrite() const {
    return fd_ >= 0 && usbredirparser_has_data_to_write(parser_) > 0;
}

bool UsbRedirPeer::readable() {
    if (fd_ < 0) {
        return false;
    }
    const int result = usbredirparser_do_read(parser_);
    if (result == usbredirparser_read_parse_error) {
        std::fprintf(stderr, "usbredir: a packet from QEMU could not be parsed\n");
    }
    return !ended_ && result != usbredirparser_read_io_error;
}

bool UsbRedirPeer::writable() {
    return fd_ >= 0 && usbredirparser_do_write(parser_) == 0;
}

void UsbRedirPeer::hello() {
    sendInterfaceAndEndpoints();
    usb_redir_device_connect_header connect{};
    connect.speed = usb_redir_speed_full;
    connect.vendor_id = 0x10C4;
    connect.product_id = 0x82CD;
    connect.device_version_bcd = 0x0100;
    usbredirparser_send_device_connect(parser_, &connect);
}

void UsbRedirPeer::sendInterfaceAndEndpoints() {
    usb_redir_interface_info_header interfaces{};
    interfaces.interface_count = 1;
    interfaces.interface_class[0] = 3; // HID
    usbredirparser_send_interface_info(parser_, &interfaces);

    usb_redir_ep_info_header endpoints{};
    std::fill(std::begin(endpoints.type), std::end(endpoints.type),
              static_cast<std::uint8_t>(usb_redir_type_invalid));
    for (std::uint8_t control : {0x00, 0x80}) {
        endpoints.type[endpointSlot(control)] = usb_redir_type_control;
        endpoints.max_packet_size[endpointSlot(control)] = 64;
    }
    const int in = endpointSlot(kInEndpoint);
    endpoints.type[in] = usb_redir_type_interrupt;
    endpoints.interval[in] = 10;
    endpoints.max_packet_size[in] = 64;
    usbredirparser_send_ep_info(parser_, &endpoints);
}

void UsbRedirPeer::control(std::uint64_t id, const usb_redir_control_packet_header& header,
                           const std::uint8_t* data, int length) {
    usb_redir_control_packet_header reply = header;
    reply.status = usb_redir_success;
    std::string answer;
    const int type = header.value >> 8;
    switch ((header.requesttype << 8) | header.request) {
    case 0x8006: // GET_DESCRIPTOR of the device
        answer = type == 1   ? kDeviceDescriptor
                 : type == 2 ? kConfigDescriptor
                 : type == 3 ? stringDescriptor(header.value & 0xFF)
                             : std::string(); // no qualifier, no BOS: a full-speed 2.0 device
        break;
    case 0x8106: // GET_DESCRIPTOR of the interface: HID class and report descriptors
        answer = type == 0x21 ? kHidDescriptor : type == 0x22 ? kReportDescriptor : std::string();
        break;
    case 0x8000: // GET_STATUS of the device, interface or an endpoint: nothing set
    case 0x8100:
    case 0x8200:
        answer = bytes({0, 0});
        break;
    case 0x0001: // CLEAR_FEATURE, SET_FEATURE (remote wake-up, endpoint halt)
    case 0x0003:
    case 0x0201:
    case 0x0203:
    case 0x210A: // SET_IDLE: reports are sent only when there is one anyway
        break;
    case 0x2109: { // SET_REPORT: an output report, its ID in the low byte of wValue
        std::string report(reinterpret_cast<const char*>(data), data ? length : 0);
        const auto id = static_cast<char>(header.value & 0xFF);
        if (id != 0 && (report.empty() || report[0] != id)) {
            report.insert(report.begin(), id);
        }
        if (onOutputReport) {
            onOutputReport(std::move(report));
        }
        break;
    }
    default: // GET_REPORT included: the evaluator reports only on interrupt IN
        reply.status = usb_redir_stall;
        break;
    }
    const bool in = (header.requesttype & 0x80) != 0;
    if (in && answer.empty()) {
        reply.status = usb_redir_stall;
    }
    if (reply.status != usb_redir_success) {
        reply.length = 0;
        usbredirparser_send_control_packet(parser_, id, &reply, nullptr, 0);
    } else if (in) {
        reply.length =
            static_cast<std::uint16_t>(std::min<std::size_t>(answer.size(), header.length));
        usbredirparser_send_control_packet(
            parser_, id, &reply, reinterpret_cast<std::uint8_t*>(answer.data()), reply.length);
    } else {
        reply.length = static_cast<std::uint16_t>(length); // every byte taken
        usbredirparser_send_control_packet(parser_, id, &reply, nullptr, 0);
    }
}

void UsbRedirPeer::sendInputReport(std::string_view report) {
    queued_ += report;
    flushInputReports();
}

void UsbRedirPeer::flushInputReports() {
    while (receiving_ && queued_.size() >= 3) {
        usb_redir_interrupt_packet_header header{kInEndpoint, usb_redir_success, 3};
        usbredirparser_send_interrupt_packet(parser_, nextPacketId_++, &header,
                                             reinterpret_cast<std::uint8_t*>(queued_.data()), 3);
        queued_.erase(0, 3);
    }
}

void UsbRedirPeer::unplug() {
    if (fd_ < 0) {
        return;
    }
    usbredirparser_send_device_disconnect(parser_);
    for (int tries = 0; tries < 50 && usbredirparser_has_data_to_write(parser_) > 0; ++tries) {
        pollfd p{fd_, POLLOUT, 0};
        (void)::poll(&p, 1, 10);
        if (usbredirparser_do_write(parser_) != 0) {
            break;
        }
    }
    ::close(fd_);
    fd_ = -1;
}
