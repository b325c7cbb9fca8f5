// One trunk between the board's framer and what is at its far end. The far end drives
// the line's condition and its robbed bits and sends frames on its channels; the board
// delivers what the adapter sends.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

// The receive signal as the far end drives it.
struct LineCondition {
    bool signal = true;   // false: loss of signal
    bool framed = true;   // false: out of frame
    bool ais = false;     // unframed all-ones
    bool yellow = false;  // remote alarm indication
    uint8_t loop_code = 0;  // in-band loop code the far end sends: 1 loop-up, 2 loop-down
    bool operator==(const LineCondition&) const = default;
};

// What the far end transmits: T1 or E1, and for T1 the multiframe it frames with
// (12 frames: FT or SF; 24: ESF or SLC; 0: a far end that follows either).
struct LineFormat {
    bool t1 = true;
    unsigned multiframe = 0;
    bool operator==(const LineFormat&) const = default;
};

class Line {
public:
    explicit Line(unsigned index) : index_(index) {}
    unsigned index() const { return index_; }

    const LineCondition& condition() const { return condition_; }
    void set_condition(const LineCondition& c)
    {
        condition_ = c;
        for (auto& l : condition_listeners_) l();
    }
    void on_condition(std::function<void()> listener) { condition_listeners_.push_back(std::move(listener)); }
    // Bit errors the far end's signal carries, by the framer's error-counter pair
    // (0 framing bits, 1 CRC, 2 line code, ...): the framer counts them.
    void on_errors(std::function<void(unsigned pair, unsigned n)> listener) { error_listeners_.push_back(std::move(listener)); }
    void send_errors(unsigned pair, unsigned n)
    {
        for (auto& l : error_listeners_) l(pair, n);
    }
    const LineFormat& format() const { return format_; }
    void set_format(const LineFormat& f)
    {
        format_ = f;
        for (auto& l : condition_listeners_) l();
    }
    void take_down() { set_condition({false, false, false, false}); }
    void bring_up() { set_condition({}); }

    // Robbed signalling bits (ABCD in the low nibble) per channel: from the far end,
    // and as the adapter last sent them.
    std::array<uint8_t, 32> rx_robbed{};
    std::array<uint8_t, 32> tx_robbed{};

    // Frames on a set of the line's channels (bit n = time slot n of the line).
    using FrameSink = std::function<void(uint32_t channels, const std::vector<uint8_t>& frame)>;
    void on_frame_from_adapter(FrameSink sink) { from_adapter_.push_back(std::move(sink)); }
    void frame_from_adapter(uint32_t channels, const std::vector<uint8_t>& frame)
    {
        for (auto& s : from_adapter_) s(channels, frame);
    }
    void on_frame_to_adapter(FrameSink sink) { to_adapter_.push_back(std::move(sink)); }
    void frame_to_adapter(uint32_t channels, const std::vector<uint8_t>& frame)
    {
        for (auto& s : to_adapter_) s(channels, frame);
    }

private:
    unsigned index_;
    LineCondition condition_;
    LineFormat format_;
    std::vector<std::function<void()>> condition_listeners_;
    std::vector<std::function<void(unsigned, unsigned)>> error_listeners_;
    std::vector<FrameSink> from_adapter_;
    std::vector<FrameSink> to_adapter_;
};

}  // namespace sim
