// A USB device presented to a QEMU guest through usb-redir: this side is the
// usbredir "host" (where the real device would be), QEMU's usb-redir device
// the other. The device is described by its descriptors; from them this class
// announces its interfaces and endpoints, answers the guest's GET_DESCRIPTOR
// requests, and carries the data transfers:
//  - interrupt IN: packets queued here go out once the guest has started
//    receiving on the endpoint (QEMU polls it for the guest from then on);
//  - bulk IN: QEMU passes each of the guest's requests on and waits; they are
//    held in order and answered as bytes come, a short answer ending the
//    transfer, and a request the guest withdraws is answered "cancelled";
//  - bulk OUT: completed at once with its whole length.
// What a device does beyond that (class and vendor requests, the bytes on
// its bulk OUT endpoint) is its own: a derived class.
#pragma once

#include <usbredirparser.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

struct UsbDescriptors {
    std::string device;
    std::string configuration; // with its interfaces and endpoints
};

class UsbRedirPeer {
public:
    // Takes a connected, non-blocking socket to QEMU's usb-redir chardev.
    UsbRedirPeer(int fd, UsbDescriptors descriptors);
    virtual ~UsbRedirPeer();
    UsbRedirPeer(const UsbRedirPeer&) = delete;
    UsbRedirPeer& operator=(const UsbRedirPeer&) = delete;

    int fd() const { return fd_; }
    bool wantsWrite() const;
    // Reads and answers what QEMU sent; false once the connection has ended.
    bool readable();
    // Writes what is queued; false on a write error.
    bool writable();
    // The device goes away: a device_disconnect, then the socket is closed,
    // which is what detaches the device from QEMU's bus.
    void unplug();

    // The device's far end: what the guest sent it (one HID output report, or
    // one bulk transfer's bytes), and what goes back to the guest.
    std::function<void(std::string)> onReceived;
    virtual void send(std::string_view bytes) = 0;

protected:
    // A control request other than GET_DESCRIPTOR of the device. For an IN
    // request, `answer` is what to send back; false stalls the request.
    virtual bool request(const usb_redir_control_packet_header& setup, std::string_view data,
                         std::string& answer) = 0;
    virtual void bulkOut(std::string_view /*data*/) {}

    // One packet on the interrupt IN endpoint, kept until the guest receives.
    void sendInterrupt(std::string packet);
    // Bytes for the bulk IN endpoint, handed to the guest's requests in order.
    void sendBulkIn(std::string_view bytes);

private:
    struct Callbacks; // the parser's C callbacks, which call the members below
    friend struct Callbacks;

    void hello();
    void control(std::uint64_t id, const usb_redir_control_packet_header& setup,
                 std::string_view data);
    void bulkPacket(std::uint64_t id, const usb_redir_bulk_packet_header& header,
                    std::string_view data);
    void cancel(std::uint64_t id);
    void sendInterfaceAndEndpoints();
    void flushInterrupt();
    void flushBulkIn();

    int fd_;
    usbredirparser* parser_;
    UsbDescriptors descriptors_;
    usb_redir_interface_info_header interfaces_{};
    usb_redir_ep_info_header endpoints_{};
    std::uint8_t interruptIn_ = 0; // its address, 0 when the device has none
    bool ended_ = false;           // QEMU closed its end
    bool configured_ = false;      // the guest chose configuration 1
    bool receiving_ = false;       // interrupt receiving started
    std::deque<std::string> interruptQueue_;
    struct BulkRequest {
        std::uint64_t id;
        usb_redir_bulk_packet_header header;
    };
    std::deque<BulkRequest> bulkRequests_;
    std::string bulkInQueue_;
    std::uint64_t nextPacketId_ = 0;
};

// Descriptor bytes written as numbers.
std::string usbBytes(std::initializer_list<int> list);
// Bytes as hexadecimal pairs, each followed by a space.
std::string hex(std::string_view bytes);
