// A scripted evaluator behind a USB-serial adapter, for the station's .exe
// under Wine. This is a Linux program: it holds the far end of a pseudo-
// terminal pair whose other end the Wine prefix links as the adapter's COM
// port, plays the device side of the virtual evaluator (src/demo) on it, and
// presses each asked key 50 ms after acknowledging "C2E", as an operator would.
//
//   scripted-evaluator LINE WIRE_LOG [--wrong-from-key K] [--silent] [--hold-at-key K]
//
// Every byte the station sends is appended to WIRE_LOG as it comes, and each
// three-byte frame is printed as "at MS FRAME", MS counted from the start. With
// --wrong-from-key the unit reports the key to the right of the asked one from
// key K on; --silent answers nothing at all; --hold-at-key acknowledges the
// K-th key wait, presses nothing and prints "holding key K" (the moment for the
// test to unplug the adapter). The program ends when the line closes (the
// other end of the pair went away) or on SIGTERM.
#include "EvaluatorDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReactionTime = std::chrono::milliseconds(50);

volatile std::sig_atomic_t stopAsked = 0;

struct Options {
    std::string line;
    std::string wireLog;
    int wrongFromKey = 0; // 0: never
    int holdAtKey = 0;    // 0: never
    bool silent = false;
};

std::optional<Options> parse(int argc, char** argv) {
    if (argc < 3) {
        return std::nullopt;
    }
    Options options{argv[1], argv[2]};
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--silent") {
            options.silent = true;
        } else if ((arg == "--wrong-from-key" || arg == "--hold-at-key") && i + 1 < argc) {
            const int key = std::atoi(argv[++i]);
            (arg == "--wrong-from-key" ? options.wrongFromKey : options.holdAtKey) = key;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

struct Pending {
    Clock::time_point due;
    std::string bytes; // empty: the operator's key press
};

class Line {
public:
    explicit Line(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios tio{};
        if (fd_ >= 0 && ::tcgetattr(fd_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Line() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool write(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int fd_;
};

void schedule(std::vector<Pending>& pending, const std::vector<demo::Reply>& replies) {
    for (const auto& reply : replies) {
        pending.push_back({Clock::now() + std::chrono::milliseconds(reply.delayMs), reply.bytes});
    }
}

int run(const Options& options) {
    Line line(options.line);
    if (!line.valid()) {
        std::fprintf(stderr, "scripted-evaluator: cannot open %s: %s\n", options.line.c_str(),
                     std::strerror(errno));
        return 2;
    }
    std::ofstream wire(options.wireLog, std::ios::binary | std::ios::app);
    demo::EvaluatorDevice device(demo::Link::Pl2303); // both adapters carry the same frames
    if (options.silent) {
        device.fault = demo::Fault::Silent;
    }
    std::vector<Pending> pending;
    int keyWaitsSeen = 0;
    const auto start = Clock::now();
    std::string frameBytes;

    while (stopAsked == 0) {
        // Send what is due, then wait for the next byte or the next due answer.
        const auto now = Clock::now();
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->due > now) {
                ++it;
                continue;
            }
            Pending due = std::move(*it);
            it = pending.erase(it);
            if (!due.bytes.empty()) {
                (void)line.write(due.bytes);
                continue;
            }
            const int key = device.keyWaits();
            if (options.wrongFromKey > 0 && key >= options.wrongFromKey) {
                device.fault = demo::Fault::WrongKey;
            }
            schedule(pending, device.press(key));
            it = pending.begin(); // the press added entries
        }
        int timeoutMs = -1;
        for (const auto& p : pending) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(p.due - Clock::now());
            const int ms = left.count() > 0 ? static_cast<int>(left.count()) + 1 : 0;
            timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
        }
        pollfd pfd{line.fd(), POLLIN, 0};
        const int ready = ::poll(&pfd, 1, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (ready == 0) {
            continue;
        }
        char buffer[256];
        const ssize_t n = ::read(line.fd(), buffer, sizeof buffer);
        if (n <= 0) {
            break; // the pair's other end is gone: the adapter was unplugged
        }
        const std::string bytes(buffer, static_cast<std::size_t>(n));
        wire.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        wire.flush();
        frameBytes += bytes;
        for (; frameBytes.size() >= 3; frameBytes.erase(0, 3)) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            std::printf("at %lld %s\n", static_cast<long long>(ms.count()),
                        frameBytes.substr(0, 3).c_str());
        }
        std::fflush(stdout);
        schedule(pending, device.received(bytes));
        if (device.waiting() && device.keyWaits() != keyWaitsSeen) {
            keyWaitsSeen = device.keyWaits();
            if (keyWaitsSeen == options.holdAtKey) {
                std::printf("holding key %d\n", keyWaitsSeen);
                std::fflush(stdout);
            } else {
                pending.push_back({Clock::now() + kReactionTime, std::string()});
            }
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: scripted-evaluator LINE WIRE_LOG [--wrong-from-key K] "
                             "[--silent] [--hold-at-key K]\n");
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = [](int) { stopAsked = 1; };
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    return run(*options);
}
