#include "EvaluatorDevice.h"

#include <algorithm>

namespace demo {

void EvaluatorDevice::reset(Link link) {
    link_ = link;
    power_ = false;
    level_ = 0;
    waiting_ = false;
    keyWaits_ = 0;
    partial_.clear();
}

void EvaluatorDevice::answer(std::string bytes, std::vector<Reply>& out) const {
    if (fault == Fault::Silent) {
        return;
    }
    out.push_back({fault == Fault::Slow ? kSlowDelayMs : kAnswerDelayMs, std::move(bytes)});
}

std::vector<Reply> EvaluatorDevice::received(std::string_view bytes) {
    std::vector<Reply> out;
    if (link_ == Link::Hid) {
        // A command report whose check byte is not the complement of the value
        // was damaged on the way: the device ignores it.
        if (bytes.size() >= 3 &&
            static_cast<std::uint8_t>(bytes[2]) == 255 - static_cast<std::uint8_t>(bytes[1])) {
            command(static_cast<std::uint8_t>(bytes[0]), static_cast<std::uint8_t>(bytes[1]), out);
        }
        return out;
    }
    // Frames are 'C', one byte, 'E'; bytes between frames are line noise.
    partial_ += bytes;
    for (;;) {
        auto start = partial_.find('C');
        if (start == std::string::npos) {
            partial_.clear();
            break;
        }
        partial_.erase(0, start);
        if (partial_.size() < 3) {
            break;
        }
        if (partial_[2] != 'E') {
            partial_.erase(0, 1);
            continue;
        }
        char middle = partial_[1];
        partial_.erase(0, 3);
        frame(middle, out);
    }
    return out;
}

void EvaluatorDevice::command(std::uint8_t code, std::uint8_t value, std::vector<Reply>&) {
    switch (code) {
    case 1: // value 0: the prompt; value 1: a key is about to be asked
        power_ = true;
        if (value == 0) {
            keyWaits_ = 0;
        } else {
            ++keyWaits_;
        }
        break;
    case 2: // key capture on (1) or off (0)
        waiting_ = value == 1;
        break;
    case 3:
        level_ = std::min<int>(value, 5);
        break;
    case 4: // the key interaction is over
        waiting_ = false;
        break;
    default:
        break;
    }
}

void EvaluatorDevice::frame(char middle, std::vector<Reply>& out) {
    const char ack = fault == Fault::Garbage ? '?' : '3';
    switch (middle) {
    case '1':
        power_ = true;
        keyWaits_ = 0;
        answer(std::string(1, ack), out);
        break;
    case '2':
        power_ = true;
        waiting_ = true;
        ++keyWaits_;
        answer(std::string(1, ack), out);
        break;
    case '3':
        waiting_ = false;
        answer(std::string(1, ack), out);
        break;
    default:
        if (middle >= 'a' && middle <= 'f') {
            level_ = 'f' - middle;
        }
        break; // unknown frames go unanswered
    }
}

std::vector<Reply> EvaluatorDevice::press(int key) {
    std::vector<Reply> out;
    if (!waiting_ || key < 1 || key > 6) {
        return out;
    }
    waiting_ = false; // one key per wait
    int sent = fault == Fault::WrongKey ? key % 6 + 1 : key;
    auto k = static_cast<char>(sent);
    if (link_ == Link::Hid) {
        if (fault == Fault::Garbage) {
            answer(std::string{'\x06', k, '\0'}, out); // a state report, not a key report
        } else {
            answer(std::string{'\x05', k, static_cast<char>(255 - sent)}, out);
        }
    } else {
        char tail = fault == Fault::Garbage ? '\x13' : '\x11';
        answer(std::string{'\x10', '\0', static_cast<char>('0' + sent), tail, '\0'}, out);
    }
    return out;
}

} // namespace demo
