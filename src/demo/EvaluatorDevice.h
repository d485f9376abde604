// The virtual evaluator's device side: what a real evaluator does with the
// station's commands and what it sends back, on each of its three links.
//
// Over HID the station writes three-byte command reports [code, value, 255 -
// value] and reads three-byte input reports; a key report is [5, key, 255 -
// key]. Over serial (behind a PL2303 or FTDI adapter) the station writes
// three-byte ASCII frames 'C', x, 'E'; the device acknowledges "C1E", "C2E" and
// "C3E" with '3' and sends a key as the five bytes 0x10 0x00 key 0x11 0x00,
// key being the character '1' to '6'. The level frame 'C', 'f' - level, 'E'
// sets the star lamps and has no answer.
//
// No clock and no I/O here: each call returns the bytes to send and how long
// after the call to send them; the window does the timing and the socket.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace demo {

enum class Link { Hid, Pl2303, Ftdi };

// How a faulty unit misbehaves.
enum class Fault {
    None,
    Silent,   // answers nothing: no acknowledgement, no key report
    WrongKey, // reports the key to the right of the one pressed (6 becomes 1)
    Garbage,  // answers with bytes the station cannot take: '?' for '3', broken key reports
    Slow,     // every answer comes kSlowDelayMs late, after the station has stopped waiting
};

struct Reply {
    std::uint64_t delayMs;
    std::string bytes;
};

class EvaluatorDevice {
public:
    static constexpr std::uint64_t kAnswerDelayMs = 4; // the device's own reaction time
    static constexpr std::uint64_t kSlowDelayMs = 6000;

    explicit EvaluatorDevice(Link link = Link::Hid) : link_(link) {}

    // The station wrote these bytes: one HID output report, or bytes on the line.
    std::vector<Reply> received(std::string_view bytes);
    // The operator presses a key (1 to 6). A key report goes out only while the
    // station waits for a key, and only one per wait.
    std::vector<Reply> press(int key);
    // Unplugged: lamps off, no wait in progress. Plugged in over a link kind.
    void reset(Link link);

    Link link() const { return link_; }
    Fault fault = Fault::None;

    // What the device shows: the power lamp, the number of star lamps lit, and
    // whether a key wait is in progress (the keys glow).
    bool power() const { return power_; }
    int level() const { return level_; }
    bool waiting() const { return waiting_; }
    // Key waits since the last prompt: the station asks key 1 first, then 2, ...
    int keyWaits() const { return keyWaits_; }

private:
    void command(std::uint8_t code, std::uint8_t value, std::vector<Reply>& out);
    void frame(char middle, std::vector<Reply>& out);
    void answer(std::string bytes, std::vector<Reply>& out) const;

    Link link_;
    bool power_ = false;
    int level_ = 0;
    bool waiting_ = false;
    int keyWaits_ = 0;
    std::string partial_; // serial bytes that do not make a frame yet
};

} // namespace demo
