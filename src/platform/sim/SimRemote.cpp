#include "SimRemote.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace sim {

namespace remote {

std::string bytesLine(std::string_view verb, std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string line(verb);
    line += ' ';
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        line += kDigits[b >> 4];
        line += kDigits[b & 0x0F];
    }
    line += '\n';
    return line;
}

std::optional<std::string> fromHex(std::string_view hex) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int high = digit(hex[i]);
        int low = digit(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
    }
    return out;
}

} // namespace remote

namespace {

// Where the evaluator's HID interface appears, as Windows names such paths.
constexpr const char* kHidPath =
    "\\\\?\\hid#vid_10c4&pid_82cd#8&2f1c5a3&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

std::pair<std::string_view, std::string_view> firstWord(std::string_view text) {
    auto space = text.find(' ');
    if (space == std::string_view::npos) {
        return {text, {}};
    }
    return {text.substr(0, space), text.substr(space + 1)};
}

} // namespace

// The serial line's far end: what the station writes goes to the other process.
class RemoteDevices::SerialFarEnd final : public sim::FarEnd {
public:
    explicit SerialFarEnd(std::weak_ptr<RemoteDevices> link) : link_(std::move(link)) {}
    void received(SerialPort&, std::string_view bytes, std::uint64_t) override {
        if (auto link = link_.lock()) {
            link->send("out", bytes);
        }
    }

private:
    std::weak_ptr<RemoteDevices> link_;
};

std::shared_ptr<RemoteDevices> RemoteDevices::connectTo(std::string path) {
    return std::shared_ptr<RemoteDevices>(new RemoteDevices(std::move(path), -1));
}

std::shared_ptr<RemoteDevices> RemoteDevices::overSocket(int fd) {
    return std::shared_ptr<RemoteDevices>(new RemoteDevices(std::string(), fd));
}

RemoteDevices::~RemoteDevices() {
    // The machine may be gone or reset by now: only the socket is ours to end.
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void RemoteDevices::tryConnect() {
    std::uint64_t now = machine().now();
    if (path_.empty() || now < nextAttempt_) {
        return;
    }
    nextAttempt_ = now + retryMs;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof(address.sun_path)) {
        return;
    }
    std::memcpy(address.sun_path, path_.data(), path_.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    // A local connect either succeeds or is refused at once.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    partial_.clear();
    skipping_ = false;
}

void RemoteDevices::disconnect() {
    ::close(fd_);
    fd_ = -1;
    unplug(); // the evaluator went with its process
}

void RemoteDevices::poll() {
    if (fd_ < 0) {
        tryConnect();
        if (fd_ < 0) {
            return;
        }
    }
    char buffer[512];
    for (;;) {
        ssize_t n = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            disconnect();
            return;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return; // nothing more for now
        }
        for (ssize_t i = 0; i < n; ++i) {
            char c = buffer[i];
            if (c == '\n') {
                if (!skipping_) {
                    handle(partial_);
                }
                partial_.clear();
                skipping_ = false;
            } else if (!skipping_) {
                partial_ += c;
                if (partial_.size() > remote::kMaxLine) {
                    partial_.clear();
                    skipping_ = true;
                }
            }
        }
        if (fd_ < 0) {
            return;
        }
    }
}

void RemoteDevices::handle(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    auto [verb, rest] = firstWord(line);
    if (verb == "plug") {
        auto [kind, port] = firstWord(rest);
        plug(kind, port);
    } else if (verb == "unplug" && rest.empty()) {
        unplug();
    } else if (verb == "in") {
        auto bytes = remote::fromHex(rest);
        if (!bytes || bytes->empty()) {
            return;
        }
        std::uint64_t now = machine().now();
        if (hid_) {
            hid_->queueInput(now, *bytes);
        } else if (adapter_) {
            adapter_->port->send(*bytes, now);
        }
    }
}

void RemoteDevices::plug(std::string_view kind, std::string_view port) {
    bool serial = kind == "pl2303" || kind == "ftdi";
    if (kind != "hid" && !serial) {
        return;
    }
    // A COM port name: "COM" and a number from 1 to 255.
    if (serial) {
        bool valid = port.size() > 3 && port.size() <= 6 && port.substr(0, 3) == "COM" &&
                     port.find_first_not_of("0123456789", 3) == std::string_view::npos &&
                     port[3] != '0' && std::atoi(std::string(port.substr(3)).c_str()) <= 255;
        if (!valid) {
            return;
        }
    } else if (!port.empty()) {
        return;
    }
    unplug();
    if (!serial) {
        hidPath_ = kHidPath;
        hid_ = plugHid(hidPath_, remote::kVendorId, remote::kProductId);
        std::weak_ptr<RemoteDevices> self = weak_from_this();
        hid_->onWrite = [self](HidDevice&, const std::string& report) {
            if (auto link = self.lock()) {
                link->send("out", report);
            }
        };
        return;
    }
    adapter_ = plugAdapter(kind == "pl2303" ? AdapterChip::PL2303 : AdapterChip::FTDI,
                           std::string(port), false);
    adapter_->port->attach(std::make_shared<SerialFarEnd>(weak_from_this()));
}

void RemoteDevices::unplug() {
    if (hid_) {
        hid_->onWrite = nullptr;
        hid_.reset();
        unplugHid(hidPath_);
    }
    if (adapter_) {
        SerialAdapter adapter = std::move(*adapter_);
        adapter_.reset();
        adapter.port->attach(nullptr);
        unplugAdapter(adapter);
    }
}

void RemoteDevices::send(std::string_view verb, std::string_view bytes) {
    if (fd_ < 0) {
        return;
    }
    std::string line = remote::bytesLine(verb, bytes);
    std::size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return; // the reader is gone; poll() notices and unplugs
        }
        sent += static_cast<std::size_t>(n);
    }
}

bool startRemoteDevices() {
    const char* path = std::getenv("EVALUATOR_SIM_DEVICES");
    if (path == nullptr || *path == '\0') {
        return false;
    }
    machine().setRealTime(true);
    auto link = RemoteDevices::connectTo(path);
    machine().addPoller([link] { link->poll(); });
    return true;
}

} // namespace sim
