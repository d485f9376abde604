#include "UsbRedirPeer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Endpoint tables are indexed by direction and number: OUT 0 to 15, IN 16 to 31.
int endpointSlot(std::uint8_t endpoint) {
    return ((endpoint & 0x80) >> 3) | (endpoint & 0x0F);
}

std::uint8_t at(const std::string& bytes, std::size_t i) {
    return i < bytes.size() ? static_cast<std::uint8_t>(bytes[i]) : 0;
}

std::string_view view(const std::uint8_t* data, int length) {
    return {reinterpret_cast<const char*>(data),
            data != nullptr ? static_cast<std::size_t>(length) : 0};
}

std::uint16_t word(const std::string& bytes, std::size_t i) {
    return static_cast<std::uint16_t>(at(bytes, i) | at(bytes, i + 1) << 8);
}

} // namespace

std::string usbBytes(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) {
        out += static_cast<char>(b);
    }
    return out;
}

std::string hex(std::string_view bytes) {
    std::string out;
    char text[4];
    for (unsigned char c : bytes) {
        std::snprintf(text, sizeof text, "%02X ", c);
        out += text;
    }
    return out;
}

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
    static void reset(void*) {} // nothing to reset: the devices keep no USB state
    // A packet with its data, which the parser leaves to its receiver to free;
    // without a handler, one of a kind no device here has (iso, interrupt OUT).
    template <class Header, auto handle = nullptr>
    static void packet(void* priv, std::uint64_t id, Header* header, std::uint8_t* data,
                       int length) {
        if constexpr (handle != nullptr) {
            (peer(priv).*handle)(id, *header, view(data, length));
        }
        if (data != nullptr) {
            usbredirparser_free_packet_data(peer(priv).parser_, data);
        }
    }
    static void cancel(void* priv, std::uint64_t id) { peer(priv).cancel(id); }
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
    // Every interface has only alternate setting 0, which the guest's drivers keep.
    template <class Header> static void altSetting(void* priv, std::uint64_t id, Header* header) {
        usb_redir_alt_setting_status_header status{usb_redir_success, header->interface, 0};
        usbredirparser_send_alt_setting_status(peer(priv).parser_, id, &status);
    }
    static void startReceiving(void* priv, std::uint64_t id,
                               usb_redir_start_interrupt_receiving_header* header) {
        UsbRedirPeer& self = peer(priv);
        const bool ours = self.interruptIn_ != 0 && header->endpoint == self.interruptIn_;
        usb_redir_interrupt_receiving_status_header status{
            static_cast<std::uint8_t>(ours ? usb_redir_success : usb_redir_inval),
            header->endpoint};
        usbredirparser_send_interrupt_receiving_status(self.parser_, id, &status);
        if (ours) {
            self.receiving_ = true;
            self.flushInterrupt();
        }
    }
    static void stopReceiving(void* priv, std::uint64_t id,
                              usb_redir_stop_interrupt_receiving_header* header) {
        UsbRedirPeer& self = peer(priv);
        if (header->endpoint == self.interruptIn_) {
            self.receiving_ = false;
        }
        usb_redir_interrupt_receiving_status_header status{usb_redir_success, header->endpoint};
        usbredirparser_send_interrupt_receiving_status(self.parser_, id, &status);
    }
};

UsbRedirPeer::UsbRedirPeer(int fd, UsbDescriptors descriptors)
    : fd_(fd), parser_(usbredirparser_create()), descriptors_(std::move(descriptors)) {
    // The interfaces and endpoints, as the configuration descriptor lists them.
    std::fill(std::begin(endpoints_.type), std::end(endpoints_.type),
              static_cast<std::uint8_t>(usb_redir_type_invalid));
    for (std::uint8_t control : {0x00, 0x80}) {
        endpoints_.type[endpointSlot(control)] = usb_redir_type_control;
        endpoints_.max_packet_size[endpointSlot(control)] = at(descriptors_.device, 7);
    }
    const std::string& config = descriptors_.configuration;
    std::uint8_t interface = 0;
    for (std::size_t i = 0; i + 1 < config.size() && at(config, i) != 0; i += at(config, i)) {
        if (at(config, i + 1) == 4 && interfaces_.interface_count < 32) { // an interface
            interface = at(config, i + 2);
            const std::uint32_t n = interfaces_.interface_count++;
            interfaces_.interface[n] = interface;
            interfaces_.interface_class[n] = at(config, i + 5);
            interfaces_.interface_subclass[n] = at(config, i + 6);
            interfaces_.interface_protocol[n] = at(config, i + 7);
        } else if (at(config, i + 1) == 5) { // an endpoint: usbredir numbers the types as USB
            const std::uint8_t address = at(config, i + 2);
            const int slot = endpointSlot(address);
            endpoints_.type[slot] = at(config, i + 3) & 3;
            endpoints_.interval[slot] = at(config, i + 6);
            endpoints_.interface[slot] = interface;
            endpoints_.max_packet_size[slot] = word(config, i + 4);
            if (endpoints_.type[slot] == usb_redir_type_interrupt && (address & 0x80) != 0) {
                interruptIn_ = address;
            }
        }
    }

    parser_->priv = this;
    parser_->log_func = Callbacks::log;
    parser_->read_func = Callbacks::read;
    parser_->write_func = Callbacks::write;
    parser_->hello_func = Callbacks::hello;
    parser_->reset_func = Callbacks::reset;
    parser_->control_packet_func =
        Callbacks::packet<usb_redir_control_packet_header, &UsbRedirPeer::control>;
    parser_->bulk_packet_func =
        Callbacks::packet<usb_redir_bulk_packet_header, &UsbRedirPeer::bulkPacket>;
    parser_->cancel_data_packet_func = Callbacks::cancel;
    parser_->set_configuration_func = Callbacks::setConfiguration;
    parser_->get_configuration_func = Callbacks::getConfiguration;
    parser_->set_alt_setting_func = Callbacks::altSetting<usb_redir_set_alt_setting_header>;
    parser_->get_alt_setting_func = Callbacks::altSetting<usb_redir_get_alt_setting_header>;
    parser_->start_interrupt_receiving_func = Callbacks::startReceiving;
    parser_->stop_interrupt_receiving_func = Callbacks::stopReceiving;
    parser_->iso_packet_func = Callbacks::packet<usb_redir_iso_packet_header>;
    parser_->interrupt_packet_func = Callbacks::packet<usb_redir_interrupt_packet_header>;
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
    const std::string& device = descriptors_.device;
    usb_redir_device_connect_header connect{};
    connect.speed = usb_redir_speed_full;
    connect.device_class = at(device, 4);
    connect.device_subclass = at(device, 5);
    connect.device_protocol = at(device, 6);
    connect.vendor_id = word(device, 8);
    connect.product_id = word(device, 10);
    connect.device_version_bcd = word(device, 12);
    usbredirparser_send_device_connect(parser_, &connect);
}

void UsbRedirPeer::sendInterfaceAndEndpoints() {
    usbredirparser_send_interface_info(parser_, &interfaces_);
    usbredirparser_send_ep_info(parser_, &endpoints_);
}

void UsbRedirPeer::control(std::uint64_t id, const usb_redir_control_packet_header& setup,
                           std::string_view data) {
    std::string answer;
    bool taken = true;
    if (setup.requesttype == 0x80 && setup.request == 6) {
        // GET_DESCRIPTOR of the device; no qualifier: a full-speed device, and no strings
        const int type = setup.value >> 8;
        answer = type == 1 ? descriptors_.device : type == 2 ? descriptors_.configuration : "";
    } else {
        taken = request(setup, data, answer);
    }
    const bool in = (setup.requesttype & 0x80) != 0;
    const bool ok = taken && !(in && answer.empty());
    answer.resize(ok && in ? std::min<std::size_t>(answer.size(), setup.length) : 0);
    usb_redir_control_packet_header reply = setup;
    reply.status = ok ? usb_redir_success : usb_redir_stall;
    reply.length = static_cast<std::uint16_t>(in ? answer.size() : ok ? data.size() : 0);
    // The parser takes no data pointer with an OUT transfer's answer.
    usbredirparser_send_control_packet(
        parser_, id, &reply,
        answer.empty() ? nullptr : reinterpret_cast<std::uint8_t*>(answer.data()),
        static_cast<int>(answer.size()));
}

void UsbRedirPeer::bulkPacket(std::uint64_t id, const usb_redir_bulk_packet_header& header,
                              std::string_view data) {
    if ((header.endpoint & 0x80) != 0) {
        bulkRequests_.push_back({id, header});
        flushBulkIn();
        return;
    }
    bulkOut(data);
    usb_redir_bulk_packet_header reply = header; // its length: every byte taken
    reply.status = usb_redir_success;
    usbredirparser_send_bulk_packet(parser_, id, &reply, nullptr, 0);
}

void UsbRedirPeer::cancel(std::uint64_t id) {
    auto request = std::find_if(bulkRequests_.begin(), bulkRequests_.end(),
                                [id](const BulkRequest& r) { return r.id == id; });
    if (request == bulkRequests_.end()) {
        return; // answered already: QEMU drops the late cancel
    }
    usb_redir_bulk_packet_header reply = request->header;
    reply.status = usb_redir_cancelled;
    reply.length = 0;
    reply.length_high = 0;
    usbredirparser_send_bulk_packet(parser_, id, &reply, nullptr, 0);
    bulkRequests_.erase(request);
}

void UsbRedirPeer::sendBulkIn(std::string_view bytes) {
    bulkInQueue_ += bytes;
    flushBulkIn();
}

void UsbRedirPeer::flushBulkIn() {
    while (!bulkInQueue_.empty() && !bulkRequests_.empty()) {
        BulkRequest request = bulkRequests_.front();
        bulkRequests_.pop_front();
        const std::size_t wanted = request.header.length | request.header.length_high << 16;
        const std::size_t n = std::min(wanted, bulkInQueue_.size());
        usb_redir_bulk_packet_header reply = request.header;
        reply.status = usb_redir_success;
        reply.length = static_cast<std::uint16_t>(n & 0xFFFF);
        reply.length_high = static_cast<std::uint16_t>(n >> 16);
        usbredirparser_send_bulk_packet(parser_, request.id, &reply,
                                        reinterpret_cast<std::uint8_t*>(bulkInQueue_.data()),
                                        static_cast<int>(n));
        bulkInQueue_.erase(0, n);
    }
}

void UsbRedirPeer::sendInterrupt(std::string packet) {
    interruptQueue_.push_back(std::move(packet));
    flushInterrupt();
}

void UsbRedirPeer::flushInterrupt() {
    while (receiving_ && !interruptQueue_.empty()) {
        std::string& packet = interruptQueue_.front();
        usb_redir_interrupt_packet_header header{interruptIn_, usb_redir_success,
                                                 static_cast<std::uint16_t>(packet.size())};
        usbredirparser_send_interrupt_packet(parser_, nextPacketId_++, &header,
                                             reinterpret_cast<std::uint8_t*>(packet.data()),
                                             static_cast<int>(packet.size()));
        interruptQueue_.pop_front();
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
