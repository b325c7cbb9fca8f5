// The board's time-slot switch: carries frames between each line's channels, the HDLC
// controller's time slots and the modem processors' slots, as the driver programmed
// them: the controller's live time-slot maps and port mode, and the framers' system
// bus (Card::bus_slot_channel). Never by the configuration.
//
// Controller time slot s of group g reaches the framer of line g by the group's port mode,
// only while the framer's system bus runs at the port's rate (a framer on another bus
// format carries nothing to or from the controller):
//   0 (T1, 24 slots, 1.544 Mbit/s)   s = bus slot - 1 (channels 1-24)
//   1 (E1, 32 slots, 2.048 Mbit/s)   s = bus slot - 1 (channels 1-31; channel 0 frames the line)
//   3 (128 slots, 8.192 Mbit/s)      s = 4 x bus slot; slots 1-3 modulo 4 belong to the modem processors
// A map byte with bit 7 set is an enabled slot of the channel in bits 0-4.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

class Card;
class HdlcController;

class TimeSlotSwitch {
public:
    using SlotSink = std::function<void(unsigned group, unsigned slot, const std::vector<uint8_t>& frame)>;
    struct Stats {
        uint64_t to_line = 0;
        uint64_t to_hdlc = 0;
        uint64_t to_modem = 0;
        uint64_t dropped = 0;  // no enabled slot, or the line's framer gives no clock
    };

    TimeSlotSwitch(Card& card, HdlcController& hdlc);

    // The modem processors' side: frames the controller sends on a modem slot, and frames
    // a modem processor sends on one of its slots towards the controller.
    void on_modem_slot(SlotSink sink) { modem_sink_ = std::move(sink); }
    void frame_from_modem(unsigned group, unsigned slot, const std::vector<uint8_t>& frame);
    // The modem processors' TDM side of a call: a frame a modem sends on controller time
    // slot s of group g reaches the line's channel that slot carries; a frame from the
    // line is offered, for each time slot carrying its channel, to the modem listener
    // (which answers whether a modem took it).
    using ModemListener = std::function<bool(unsigned group, unsigned slot, const std::vector<uint8_t>& frame)>;
    void on_line_to_modem(ModemListener listener) { modem_listener_ = std::move(listener); }
    void modem_to_line(unsigned group, unsigned slot, const std::vector<uint8_t>& frame);

    // Where controller time slot s of group g goes: a framer bus slot (>= 0), kModemSlot or kNoSlot.
    static constexpr int kModemSlot = -2;
    static constexpr int kNoSlot = -1;
    int bus_slot(unsigned group, unsigned slot) const;

    const Stats& stats() const { return stats_; }
    // Whether a frame from the line on these channels would now reach a receive channel
    // of the controller that is switched on (the line clocked, a slot enabled for it).
    bool reaches_controller(unsigned line, uint32_t channels) const;

private:
    // What routing a frame needs of one group, taken once per frame: the port mode,
    // whether the framer's bus runs at the port's rate, and the line channel of each bus
    // slot (asked of the framer the first time a slot needs it).
    struct View {
        static constexpr int8_t kUnknown = -2;
        unsigned group = 0;
        uint32_t mode = 0;
        bool at_rate = false;
        uint64_t generation = 0;  // of the framer's bus map the answers hold for; 0: none kept
        int8_t channel[32];
    };
    View view(unsigned group) const;
    void keep(const View& v);  // the frame's answers, for the next frames while the bus map stays
    static int bus_slot(const View& v, unsigned slot);
    int bus_channel(View& v, unsigned bus) const;    // the line channel a bus slot carries, -1: none
    int line_channel(View& v, unsigned slot) const;  // -1: none

    void from_hdlc(unsigned group, unsigned channel, const std::vector<uint8_t>& frame);
    void from_line(unsigned line, uint32_t channels, const std::vector<uint8_t>& frame);

    Card& card_;
    HdlcController& hdlc_;
    SlotSink modem_sink_;
    ModemListener modem_listener_;
    Stats stats_;
    struct Kept {
        uint64_t generation = 0;
        int8_t channel[32];
    };
    std::array<Kept, 4> kept_{};  // per group
};

}  // namespace sim
