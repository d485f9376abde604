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
// gets the wrong key. The next key wait is held: 300 ms later the device is
// unplugged (the usbredir connection or the serial socket is closed), and the
// probe must see its pending read fail. Once the probe has seen the PL2303
// adapter go, a PL2303 of a chip type the driver does not know is plugged in
// on the same port. The exit status is 0 when every step passed and each
// device received exactly the bytes the station's sequence sends; the whole
// run is bounded by kDeadline, after which QEMU is killed.
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
#include <map>
#include <memory>
#include <optional>
#include <sstream>
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

// What the station's sequence sends over a link whose test starts with
// `start` and whose key wait sends `keyWait`: a passing test, a test that ends
// at the wrong second key, then the first `held` bytes of the held key wait.
std::string expectedWire(const std::string& start, const std::string& keyWait, std::size_t held) {
    std::string wire = start;
    for (int wait = 1; wait <= 6; ++wait) {
        wire += keyWait;
    }
    return wire + start + keyWait + keyWait + keyWait.substr(0, held);
}

// The evaluator on one link: its device side answers what the station sends,
// its operator presses the keys of the plan above and holds the last wait,
// and the host unplugs it kHoldBeforeUnplug later.
class Evaluator {
public:
    Evaluator(const char* name, demo::Link link, std::string expected)
        : name(name), expected(std::move(expected)), device_(link) {}

    void received(std::string_view bytes) {
        wire += bytes;
        schedule(device_.received(bytes), milliseconds(0));
        if (device_.waiting() && device_.keyWaits() != keyWaitsSeen_) {
            keyWaitsSeen_ = device_.keyWaits();
            if (++waits_ == kHeldWait) {
                heldAt = Clock::now();
            } else { // the key asked is the wait's number within its test
                schedule(device_.press(keyWaitsSeen_ + (waits_ == kWrongWait ? 1 : 0)),
                         kReactionTime);
            }
        }
    }
    // The answers due by now, each as one piece (one input report on HID).
    std::vector<std::string> due() {
        std::vector<std::string> out;
        while (!pending_.empty() && pending_.begin()->first <= Clock::now()) {
            out.push_back(std::move(pending_.begin()->second));
            pending_.erase(pending_.begin());
        }
        return out;
    }
    Clock::time_point next() const {
        return std::min(unplugAt(),
                        pending_.empty() ? Clock::time_point::max() : pending_.begin()->first);
    }
    Clock::time_point unplugAt() const {
        return heldAt && !unpluggedAt ? *heldAt + kHoldBeforeUnplug : Clock::time_point::max();
    }

    const char* name; // as the probe names the link's steps
    std::string expected;
    std::unique_ptr<UsbRedirPeer> peer; // null: the FTDI adapter's serial socket
    std::string wire;                   // every byte the station sent
    std::optional<Clock::time_point> heldAt;
    std::optional<Clock::time_point> unpluggedAt;

private:
    void schedule(const std::vector<demo::Reply>& replies, milliseconds after) {
        for (const auto& reply : replies) {
            pending_.emplace(Clock::now() + after + milliseconds(reply.delayMs), reply.bytes);
        }
    }
    demo::EvaluatorDevice device_;
    std::multimap<Clock::time_point, std::string> pending_; // in the order they fall due
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
        // A q35 PC without default devices, its serial port on our pipe, and on
        // its xHCI controller the FTDI adapter and the two redirected devices.
        std::vector<std::string> args{qemu_, "-kernel", kernel_, "-initrd", initrd_, "-append"};
        args.emplace_back("console=ttyS0 panic=-1 quiet");
        std::istringstream fixed("-M q35 -m 256 -nodefaults -no-user-config -display none "
                                 "-serial stdio -no-reboot -device qemu-xhci,id=xhci");
        for (std::string word; fixed >> word;) {
            args.push_back(word);
        }
        for (const Evaluator& e : links_) {
            const std::string id = e.name;
            ::unlink(socket(id).c_str());
            args.insert(
                args.end(),
                {"-chardev", "socket,id=" + id + ",path=" + socket(id) + ",server=on,wait=off",
                 "-device",
                 (id == "ftdi" ? "usb-serial" : "usb-redir") + (",bus=xhci.0,chardev=" + id)});
        }
        pid_ = startQemu(args, console_);
        if (pid_ < 0) {
            return fail("QEMU could not be started");
        }
        const int hidFd = connectTo(socket("hid"));
        serial_ = connectTo(socket("ftdi"));
        const int pl2303Fd = connectTo(socket("pl2303"));
        if (serial_ < 0 || hidFd < 0 || pl2303Fd < 0) {
            ::kill(pid_, SIGKILL);
            // What QEMU said about it goes to the log.
            std::string partial;
            while (readConsole(partial)) {
            }
            return fail("QEMU's chardev sockets did not open");
        }
        links_[0].peer = std::make_unique<HidEvaluatorPeer>(hidFd);
        links_[2].peer = std::make_unique<Pl2303Peer>(pl2303Fd, Pl2303Peer::Chip::Hx);
        pl2303().onProblem = [this](std::string what) { problems_.push_back("PL2303: " + what); };
        for (Evaluator& e : links_) {
            if (e.peer) {
                e.peer->onReceived = [&e](std::string bytes) { e.received(bytes); };
            }
        }
        std::printf("host: QEMU started, the three devices plugged in at %lld ms\n",
                    msAt(Clock::now()));
        loop();
        return verdict();
    }

private:
    std::string socket(const std::string& id) const { return work_ + "/" + id + ".sock"; }
    Pl2303Peer& pl2303() const { return static_cast<Pl2303Peer&>(*links_[2].peer); }

    int fail(const std::string& why) {
        std::printf("host: FAIL: %s\n", why.c_str());
        return 1;
    }

    std::vector<UsbRedirPeer*> peers() const {
        std::vector<UsbRedirPeer*> out;
        for (UsbRedirPeer* p : {links_[0].peer.get(), links_[2].peer.get(), unknown_.get()}) {
            if (p != nullptr && p->fd() >= 0) {
                out.push_back(p);
            }
        }
        return out;
    }

    void loop() {
        std::string partial;
        while (Clock::now() - started < kDeadline) {
            auto wake = started + kDeadline;
            for (Evaluator& e : links_) {
                for (const auto& piece : e.due()) {
                    if (e.peer) {
                        e.peer->send(piece);
                    } else if (serial_ >= 0 && ::write(serial_, piece.data(), piece.size()) < 0) {
                        problems_.push_back("the serial socket took no answer");
                    }
                }
                if (Clock::now() >= e.unplugAt()) {
                    e.peer ? e.peer->unplug() : closeSerial();
                    e.unpluggedAt = Clock::now();
                    std::printf("host: %s unplugged at %lld ms\n", e.name, msAt(Clock::now()));
                    std::fflush(stdout);
                }
                wake = std::min(wake, e.next());
            }

            std::vector<pollfd> fds{{console_, POLLIN, 0}};
            for (UsbRedirPeer* p : peers()) {
                fds.push_back(
                    {p->fd(), static_cast<short>(POLLIN | (p->wantsWrite() ? POLLOUT : 0)), 0});
            }
            if (serial_ >= 0) {
                fds.push_back({serial_, POLLIN, 0});
            }
            const auto left = std::chrono::duration_cast<milliseconds>(wake - Clock::now()).count();
            ::poll(fds.data(), fds.size(), left <= 0 ? 0 : static_cast<int>(left) + 1);
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
                        links_[1].received(std::string_view(buffer, static_cast<std::size_t>(n)));
                    } else if (n == 0) {
                        problems_.push_back("QEMU closed the serial socket");
                        closeSerial();
                    }
                }
            }
        }
        problems_.push_back("the guest did not finish within the deadline: QEMU killed");
        ::kill(pid_, SIGKILL);
    }

    void closeSerial() {
        ::close(serial_);
        serial_ = -1;
    }

    // The probe has seen the PL2303 adapter go: one the driver cannot serve
    // takes its place.
    void plugUnknownChip() {
        const int fd = connectTo(socket("pl2303"));
        if (fd < 0) {
            problems_.push_back("the PL2303 port's socket did not open again");
            return;
        }
        unknown_ = std::make_unique<Pl2303Peer>(fd, Pl2303Peer::Chip::Unknown);
        unknown_->onReceived = [this](std::string bytes) {
            problems_.push_back("the unknown PL2303 chip was sent: " + hex(bytes));
        };
        std::printf("host: PL2303 of an unknown chip type plugged in at %lld ms\n",
                    msAt(Clock::now()));
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
        std::vector<std::string> steps{"bind", "presence", "hid-caps", "unknown-chip"};
        for (const Evaluator& e : links_) {
            // The last two only on the serial links, which have a tty.
            const char* perLink[] = {"exchange", "wrong-key", "present-after", "unplug",
                                     "gone",     "port",      "close"};
            for (std::size_t i = 0; i < (std::string(e.name) == "hid" ? 5 : 7); ++i) {
                steps.push_back(std::string(e.name) + "-" + perLink[i]);
            }
        }
        for (const std::string& step : steps) {
            if (line("PROBE PASS " + step + ":")) {
                continue;
            }
            const ConsoleLine* failed = line("PROBE FAIL " + step + ":");
            problems_.push_back(failed ? "the guest reported: " + failed->text
                                       : "the guest printed nothing for step " + step);
        }
        // The probe's end, and the kernel's own words: the driver bound the HX and
        // refused the other.
        for (const char* said :
             {"PROBE END ok", "pl2303 converter now attached to ttyUSB", "unknown device type"}) {
            if (!line(said)) {
                problems_.push_back(std::string("the guest never said \"") + said + "\"");
            }
        }
        for (const Evaluator& e : links_) {
            if (e.wire != e.expected) {
                problems_.push_back(std::string(e.name) + " received: " + hex(e.wire) +
                                    "expected: " + hex(e.expected));
            }
            const ConsoleLine* seen = line("PROBE PASS " + std::string(e.name) + "-unplug:");
            if (e.unpluggedAt && seen) {
                std::printf("host: %s unplug seen on the guest's console %lld ms after it\n",
                            e.name, msAt(seen->at) - msAt(*e.unpluggedAt));
            }
        }
        if (const ConsoleLine* booted = line("PROBE BOOTED")) {
            std::printf(
                "host: guest booted (init ran) %lld ms after QEMU started; guest uptime %s s\n",
                msAt(booted->at), booted->text.substr(booted->text.rfind(' ') + 1).c_str());
        }
        std::string windows;
        for (double ms : pl2303().xonXoffWindowsMs) {
            windows += " " + std::to_string(ms).substr(0, 5);
        }
        // Only an open that finds the tty's default settings (IXON) turns it on.
        std::printf("host: PL2303 automatic XON/XOFF on from an open to the station's line "
                    "settings, ms each time:%s\n",
                    windows.c_str());
        std::printf("host: QEMU ended %lld ms after it started (exit status %d)\n", msAt(ended),
                    WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        for (const auto& p : problems_) {
            std::printf("host: FAIL: %s\n", p.c_str());
        }
        std::printf("qemu_usb_stack: %s\n", problems_.empty() ? "PASS" : "FAIL");
        return problems_.empty() ? 0 : 1;
    }

    std::string qemu_, kernel_, initrd_, work_;
    pid_t pid_ = -1;
    int console_ = -1;
    int serial_ = -1;
    std::unique_ptr<UsbRedirPeer> unknown_;
    // HID, FTDI, PL2303: the order of their ports on the guest's xHCI.
    Evaluator links_[3] = {
        {"hid", demo::Link::Hid,
         expectedWire(std::string("\x01\x00\xFF\x03\x05\xFA", 6), // prompt, level 5
                      std::string("\x01\x01\xFE\x02\x01\xFE\x02\x00\xFF\x04\x00\xFF", 12), 6)},
        {"ftdi", demo::Link::Ftdi, expectedWire("C1ECaE", "C2E", 3)},
        {"pl2303", demo::Link::Pl2303, expectedWire("C1ECaE", "C2E", 3)},
    };
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
