// The host side of the real-kernel USB test: starts the QEMU guest, plays an
// evaluator on each of its three USB devices and checks what the guest's probe
// printed on its console.
//
//   usb-stack-host QEMU KERNEL INITRD WORK_DIR
//
// The guest's xHCI controller carries QEMU's FTDI adapter (usb-serial), whose
// serial line ends in a socket here, and two devices presented through
// usb-redir by the usbredir peers: the HID evaluator and a PL2303 adapter. On
// each link the virtual evaluator's device side answers the station's
// commands, and an operator presses each asked key 20 ms after the key wait
// began: six key waits of a passing test, then a test whose second key wait
// gets the wrong key. The next key wait is held: 300 ms later the
// device is unplugged (the usbredir connection or the serial socket is
// closed), and the probe must see its pending read fail. Once the probe has
// seen the PL2303 adapter go, a PL2303 of a chip type the driver does not know
// is plugged in on the same port. The exit status is 0 when every step
// passed and each device received exactly the bytes the station's sequence
// sends; the whole run is bounded by kDeadline, after which QEMU is killed.
#include "EvaluatorDevice.h"
#include "HidEvaluatorPeer.h"
#include "Pl2303Peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kDeadline = std::chrono::seconds(90);
constexpr auto kReactionTime = milliseconds(20);
constexpr auto kHoldBeforeUnplug = milliseconds(300);
// Key waits counted over the whole run of a link: a passing test (1 to 6),
// then a test whose first key is right and whose second is wrong, then a held one.
constexpr int kWrongWait = 8;
constexpr int kHeldWait = 9;

const Clock::time_point started = Clock::now();

long long msAt(Clock::time_point t) {
    return std::chrono::duration_cast<milliseconds>(t - started).count();
}

// The evaluator on one link: its device side answers what the station sends,
// its operator presses the keys of the plan above and holds the last wait,
// noting when.
class Evaluator {
public:
    explicit Evaluator(demo::Link link) : device_(link) {}

    void received(std::string_view bytes) {
        wire += bytes;
        schedule(device_.received(bytes));
        if (device_.waiting() && device_.keyWaits() != keyWaitsSeen_) {
            keyWaitsSeen_ = device_.keyWaits();
            if (++waits_ == kHeldWait) {
                heldAt = Clock::now();
            } else {
                // The key asked is the wait's number within its test.
                const int key = keyWaitsSeen_ + (waits_ == kWrongWait ? 1 : 0);
                pending_.push_back({Clock::now() + kReactionTime, key, std::string()});
            }
        }
    }
    // The answers due by now, each as one piece (one input report on HID).
    std::vector<std::string> due() {
        std::vector<std::string> out;
        const auto now = Clock::now();
        for (std::size_t i = 0; i < pending_.size();) {
            if (pending_[i].due > now) {
                ++i;
                continue;
            }
            Pending item = std::move(pending_[i]);
            pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
            if (item.key != 0) {
                schedule(device_.press(item.key));
            } else {
                out.push_back(std::move(item.bytes));
            }
        }
        return out;
    }
    std::optional<Clock::time_point> next() const {
        std::optional<Clock::time_point> first;
        for (const auto& p : pending_) {
            first = first ? std::min(*first, p.due) : p.due;
        }
        if (heldAt && !unpluggedAt) {
            first =
                first ? std::min(*first, *heldAt + kHoldBeforeUnplug) : *heldAt + kHoldBeforeUnplug;
        }
        return first;
    }
    bool unplugDue() const {
        return heldAt && !unpluggedAt && Clock::now() >= *heldAt + kHoldBeforeUnplug;
    }

    std::string wire; // every byte the station sent
    std::optional<Clock::time_point> heldAt;
    std::optional<Clock::time_point> unpluggedAt;

private:
    struct Pending {
        Clock::time_point due;
        int key; // the operator presses it; 0: the device sends the bytes
        std::string bytes;
    };
    void schedule(const std::vector<demo::Reply>& replies) {
        for (const auto& reply : replies) {
            pending_.push_back({Clock::now() + milliseconds(reply.delayMs), 0, reply.bytes});
        }
    }
    demo::EvaluatorDevice device_;
    std::vector<Pending> pending_;
    int keyWaitsSeen_ = 0;
    int waits_ = 0;
};

pid_t startQemu(const std::vector<std::string>& args, int& console) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // no guest outlives a killed test
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::perror("exec qemu");
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    console = pipeFds[0];
    return pid;
}

// QEMU listens on the chardev sockets; connecting is what plugs a device in.
// After a device's connection was closed, QEMU listens on its socket again.
int connectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < giveUp) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            return fd;
        }
        ::close(fd);
        std::this_thread::sleep_for(milliseconds(20));
    }
    return -1;
}

std::string hex(const std::string& bytes) {
    std::string out;
    char text[4];
    for (unsigned char c : bytes) {
        std::snprintf(text, sizeof text, "%02X ", c);
        out += text;
    }
    return out;
}

// What the station's sequence sends over each link: a passing test, a test
// that ends at the wrong second key, then the held key wait.
std::string expectedHidWire() {
    const std::string start("\x01\x00\xFF\x03\x05\xFA", 6); // prompt, level 5
    const std::string keyWait("\x01\x01\xFE\x02\x01\xFE\x02\x00\xFF\x04\x00\xFF", 12);
    std::string wire = start;
    for (int wait = 1; wait < kHeldWait; ++wait) {
        wire += (wait == kHeldWait - 2 ? start : std::string()) + keyWait;
    }
    return wire + keyWait.substr(0, 6);
}

std::string expectedSerialWire() {
    std::string wire = "C1ECaE";
    for (int wait = 1; wait <= kHeldWait; ++wait) {
        wire += wait == kHeldWait - 2 ? "C1ECaEC2E" : "C2E";
    }
    return wire;
}

struct ConsoleLine {
    Clock::time_point at;
    std::string text;
};

class Run {
public:
    Run(std::string qemu, std::string kernel, std::string initrd, std::string work)
        : qemu_(std::move(qemu)), kernel_(std::move(kernel)), initrd_(std::move(initrd)),
          work_(std::move(work)) {}

    int main() {
        const std::string ftdiSocket = work_ + "/ftdi.sock";
        const std::string hidSocket = work_ + "/hid.sock";
        pl2303Socket_ = work_ + "/pl2303.sock";
        for (const std::string& path : {ftdiSocket, hidSocket, pl2303Socket_}) {
            ::unlink(path.c_str());
        }
        // A q35 PC without default devices, its serial port on our pipe, and on
        // its xHCI controller the FTDI adapter and the two redirected devices.
        std::vector<std::string> args;
        auto add = [&args](std::initializer_list<std::string> more) {
            args.insert(args.end(), more);
        };
        add({qemu_, "-M", "q35", "-m", "256", "-nodefaults", "-no-user-config"});
        add({"-display", "none", "-serial", "stdio", "-no-reboot"});
        add({"-kernel", kernel_, "-initrd", initrd_, "-append", "console=ttyS0 panic=-1 quiet"});
        add({"-device", "qemu-xhci,id=xhci"});
        add({"-chardev", "socket,id=ftdi,path=" + ftdiSocket + ",server=on,wait=off"});
        add({"-device", "usb-serial,bus=xhci.0,chardev=ftdi"});
        for (const char* id : {"hid", "pl2303"}) {
            const std::string name(id);
            add({"-chardev",
                 "socket,id=" + name + ",path=" + work_ + "/" + name + ".sock,server=on,wait=off"});
            add({"-device", "usb-redir,bus=xhci.0,chardev=" + name});
        }
        pid_ = startQemu(args, console_);
        if (pid_ < 0) {
            return fail("QEMU could not be started");
        }
        serial_ = connectTo(ftdiSocket);
        const int hid = connectTo(hidSocket);
        const int pl2303 = connectTo(pl2303Socket_);
        if (serial_ < 0 || hid < 0 || pl2303 < 0) {
            ::kill(pid_, SIGKILL);
            // What QEMU said about it goes to the log.
            std::string partial;
            while (readConsole(partial)) {
            }
            return fail("QEMU's chardev sockets did not open");
        }
        hid_ = std::make_unique<HidEvaluatorPeer>(hid);
        hid_->onOutputReport = [this](std::string report) { hidEvaluator_.received(report); };
        pl2303_ = std::make_unique<Pl2303Peer>(pl2303, Pl2303Peer::Chip::Hx);
        pl2303_->onLineBytes = [this](std::string bytes) { pl2303Evaluator_.received(bytes); };
        pl2303_->onProblem = [this](std::string what) { problems_.push_back("PL2303: " + what); };
        std::printf("host: QEMU started, the three devices plugged in at %lld ms\n",
                    msAt(Clock::now()));
        loop();
        return verdict();
    }

private:
    int fail(const std::string& why) {
        std::printf("host: FAIL: %s\n", why.c_str());
        return 1;
    }

    std::vector<UsbRedirPeer*> peers() const {
        std::vector<UsbRedirPeer*> out;
        for (UsbRedirPeer* p :
             {static_cast<UsbRedirPeer*>(hid_.get()), static_cast<UsbRedirPeer*>(pl2303_.get()),
              static_cast<UsbRedirPeer*>(unknown_.get())}) {
            if (p != nullptr && p->fd() >= 0) {
                out.push_back(p);
            }
        }
        return out;
    }

    void loop() {
        std::string partial;
        while (Clock::now() - started < kDeadline) {
            for (const auto& report : hidEvaluator_.due()) {
                hid_->sendInputReport(report);
            }
            for (const auto& bytes : pl2303Evaluator_.due()) {
                pl2303_->send(bytes);
            }
            for (const auto& bytes : ftdiEvaluator_.due()) {
                if (serial_ >= 0 && ::write(serial_, bytes.data(), bytes.size()) < 0) {
                    problems_.push_back("the serial socket took no answer");
                }
            }
            unplugWhenHeld();

            std::vector<pollfd> fds{{console_, POLLIN, 0}};
            for (UsbRedirPeer* p : peers()) {
                fds.push_back(
                    {p->fd(), static_cast<short>(POLLIN | (p->wantsWrite() ? POLLOUT : 0)), 0});
            }
            if (serial_ >= 0) {
                fds.push_back({serial_, POLLIN, 0});
            }
            ::poll(fds.data(), fds.size(), nextWakeMs());
            for (const pollfd& p : fds) {
                if (p.revents == 0) {
                    continue;
                }
                if (p.fd == console_ && !readConsole(partial)) {
                    return; // QEMU has ended
                }
                for (UsbRedirPeer* peer : peers()) {
                    if (p.fd == peer->fd() &&
                        (((p.revents & POLLOUT) && !peer->writable()) ||
                         ((p.revents & (POLLIN | POLLHUP)) && !peer->readable()))) {
                        // A guest that powered off ends the connections of the devices left.
                        if (!line("PROBE EXIT")) {
                            problems_.push_back("QEMU closed a usbredir connection");
                        }
                        peer->unplug();
                    }
                }
                if (serial_ >= 0 && p.fd == serial_) {
                    char buffer[256];
                    const ssize_t n = ::read(serial_, buffer, sizeof buffer);
                    if (n > 0) {
                        ftdiEvaluator_.received(
                            std::string_view(buffer, static_cast<std::size_t>(n)));
                    } else if (n == 0) {
                        problems_.push_back("QEMU closed the serial socket");
                        ::close(serial_);
                        serial_ = -1;
                    }
                }
            }
        }
        problems_.push_back("the guest did not finish within the deadline: QEMU killed");
        ::kill(pid_, SIGKILL);
    }

    // Unplugs a device kHoldBeforeUnplug after its held key wait began.
    void unplugWhenHeld() {
        const std::function<void()> unplugs[] = {
            [this] { hid_->unplug(); },
            [this] { pl2303_->unplug(); },
            [this] {
                ::close(serial_);
                serial_ = -1;
            },
        };
        const char* names[] = {"HID evaluator", "PL2303 adapter", "FTDI adapter"};
        Evaluator* evaluators[] = {&hidEvaluator_, &pl2303Evaluator_, &ftdiEvaluator_};
        for (int i = 0; i < 3; ++i) {
            if (evaluators[i]->unplugDue()) {
                unplugs[i]();
                evaluators[i]->unpluggedAt = Clock::now();
                std::printf("host: %s unplugged at %lld ms\n", names[i], msAt(Clock::now()));
            }
        }
        std::fflush(stdout);
    }

    // The probe has seen the PL2303 adapter go: one the driver cannot serve
    // takes its place.
    void plugUnknownChip() {
        const int fd = connectTo(pl2303Socket_);
        if (fd < 0) {
            problems_.push_back("the PL2303 port's socket did not open again");
            return;
        }
        unknown_ = std::make_unique<Pl2303Peer>(fd, Pl2303Peer::Chip::Unknown);
        unknown_->onLineBytes = [this](std::string bytes) {
            problems_.push_back("the unknown PL2303 chip was sent: " + hex(bytes));
        };
        std::printf("host: PL2303 of an unknown chip type plugged in at %lld ms\n",
                    msAt(Clock::now()));
    }

    int nextWakeMs() const {
        auto wake = started + kDeadline;
        for (const Evaluator* e : {&hidEvaluator_, &pl2303Evaluator_, &ftdiEvaluator_}) {
            if (auto next = e->next()) {
                wake = std::min(wake, *next);
            }
        }
        const auto left = std::chrono::duration_cast<milliseconds>(wake - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<int>(left) + 1;
    }

    bool readConsole(std::string& partial) {
        char buffer[4096];
        const ssize_t n = ::read(console_, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        partial.append(buffer, static_cast<std::size_t>(n));
        for (auto end = partial.find('\n'); end != std::string::npos; end = partial.find('\n')) {
            std::string line = partial.substr(0, end);
            partial.erase(0, end + 1);
            while (!line.empty() && (line.back() == '\r')) {
                line.pop_back();
            }
            std::printf("guest %5lld: %s\n", msAt(Clock::now()), line.c_str());
            std::fflush(stdout);
            lines_.push_back({Clock::now(), line});
            if (!unknown_ && line.find(" pl2303-gone:") != std::string::npos) {
                plugUnknownChip();
            }
        }
        return true;
    }

    const ConsoleLine* line(const std::string& start) const {
        for (const auto& l : lines_) {
            if (l.text.find(start) != std::string::npos) {
                return &l;
            }
        }
        return nullptr;
    }

    int verdict() {
        int status = 0;
        (void)::waitpid(pid_, &status, 0);
        const auto ended = Clock::now();
        for (const char* step :
             {"bind",           "presence",          "hid-caps",        "hid-exchange",
              "hid-wrong-key",  "hid-present-after", "ftdi-port",       "ftdi-exchange",
              "ftdi-wrong-key", "pl2303-port",       "pl2303-exchange", "pl2303-wrong-key",
              "pl2303-close",   "hid-unplug",        "hid-gone",        "ftdi-unplug",
              "ftdi-gone",      "pl2303-unplug",     "pl2303-gone",     "unknown-chip"}) {
            const std::string name = std::string(step) + ":";
            if (line("PROBE PASS " + name)) {
                continue;
            }
            const ConsoleLine* failed = line("PROBE FAIL " + name);
            problems_.push_back(failed ? "the guest reported: " + failed->text
                                       : "the guest printed nothing for step " + name);
        }
        if (!line("PROBE END ok")) {
            problems_.push_back("the probe did not end with PROBE END ok");
        }
        // The kernel's own words: the driver bound the HX, and refused the other.
        for (const char* said :
             {"pl2303 converter now attached to ttyUSB", "unknown device type"}) {
            if (!line(said)) {
                problems_.push_back(std::string("the guest's kernel never said \"") + said + "\"");
            }
        }
        if (hidEvaluator_.wire != expectedHidWire()) {
            problems_.push_back("HID reports received: " + hex(hidEvaluator_.wire) +
                                "expected: " + hex(expectedHidWire()));
        }
        for (const auto& [name, e] :
             {std::pair<const char*, const Evaluator*>{"FTDI", &ftdiEvaluator_},
              {"PL2303", &pl2303Evaluator_}}) {
            if (e->wire != expectedSerialWire()) {
                problems_.push_back(std::string(name) + " bytes received: " + e->wire +
                                    ", expected: " + expectedSerialWire());
            }
        }

        if (const ConsoleLine* booted = line("PROBE BOOTED")) {
            std::printf(
                "host: guest booted (init ran) %lld ms after QEMU started; guest uptime %s s\n",
                msAt(booted->at), booted->text.substr(booted->text.rfind(' ') + 1).c_str());
        }
        std::string windows;
        for (double ms : pl2303_->xonXoffWindowsMs) {
            windows += " " + std::to_string(ms).substr(0, 5);
        }
        // Only an open that finds the tty's default settings (IXON) turns it on.
        std::printf("host: PL2303 automatic XON/XOFF on from an open to the station's line "
                    "settings, ms each time:%s\n",
                    windows.c_str());
        reportUnplug("HID", hidEvaluator_, "PROBE PASS hid-unplug");
        reportUnplug("FTDI", ftdiEvaluator_, "PROBE PASS ftdi-unplug");
        reportUnplug("PL2303", pl2303Evaluator_, "PROBE PASS pl2303-unplug");
        std::printf("host: QEMU ended %lld ms after it started (exit status %d)\n", msAt(ended),
                    WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        for (const auto& p : problems_) {
            std::printf("host: FAIL: %s\n", p.c_str());
        }
        std::printf("qemu_usb_stack: %s\n", problems_.empty() ? "PASS" : "FAIL");
        return problems_.empty() ? 0 : 1;
    }

    void reportUnplug(const char* what, const Evaluator& e, const char* passLine) const {
        const ConsoleLine* seen = line(passLine);
        if (e.unpluggedAt && seen) {
            std::printf(
                "host: %s unplug seen on the guest's console %lld ms after it\n", what,
                static_cast<long long>(
                    std::chrono::duration_cast<milliseconds>(seen->at - *e.unpluggedAt).count()));
        }
    }

    std::string qemu_, kernel_, initrd_, work_;
    std::string pl2303Socket_;
    pid_t pid_ = -1;
    int console_ = -1;
    int serial_ = -1;
    std::unique_ptr<HidEvaluatorPeer> hid_;
    std::unique_ptr<Pl2303Peer> pl2303_;
    std::unique_ptr<Pl2303Peer> unknown_;
    Evaluator hidEvaluator_{demo::Link::Hid};
    Evaluator pl2303Evaluator_{demo::Link::Pl2303};
    Evaluator ftdiEvaluator_{demo::Link::Ftdi};
    std::vector<ConsoleLine> lines_;
    std::vector<std::string> problems_;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: usb-stack-host QEMU KERNEL INITRD WORK_DIR\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN); // a socket QEMU closed is seen in the write's result
    return Run(argv[1], argv[2], argv[3], argv[4]).main();
}
