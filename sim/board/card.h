// A board with its device models fitted and its lines: what the rig puts on the bus.
#pragma once

#include <array>
#include <functional>
#include <memory>

#include "sim/board/board.h"
#include "sim/board/csm.h"
#include "sim/board/framer.h"
#include "sim/far/line.h"

namespace sim {

class HdlcController;
class TimeSlotSwitch;

class Card : public Board {
public:
    Card(plat::Host& host, const BoardConfig& config);
    ~Card();

    Line& line(unsigned n) { return *lines_.at(n); }
    unsigned line_count() const { return type().lines; }

    // What one model asks of another, answered by the model that knows (defaults until
    // it is fitted): whether line n's framer clocks its system bus for the HDLC
    // controller, and which channel of line n a time slot of its system bus carries
    // (-1: none), and the rate of line n's system bus in kbit/s (kAnyBusRate until a
    // framer is fitted; 0: the framer drives no usable bus).
    static constexpr unsigned kAnyBusRate = ~0u;
    std::function<bool(unsigned line)> framer_clock;
    std::function<unsigned(unsigned line)> bus_rate;
    std::function<int(unsigned line, unsigned bus_slot)> bus_slot_channel;
    // When set: a number that changes whenever bus_slot_channel may answer line n
    // differently, so the switch may keep its answers meanwhile (whoever replaces
    // bus_slot_channel with answers that change replaces or clears this too).
    std::function<uint64_t(unsigned line)> bus_map_generation;

    // Device models, fitted as they exist.
    // The framer of line n (one per line of the board type; nullptr beyond).
    Framer* framer(unsigned n) { return n < kMaxLines ? framers_[n].get() : nullptr; }
    HdlcController& hdlc() { return *hdlc_model_; }     // on BAR0, interrupt of function 0
    TimeSlotSwitch& tsswitch() { return *tsswitch_; }
    // The modem processors of socket s (nullptr when the socket is not fitted).
    ModemSocket* modem(unsigned s) { return s < kMaxSockets ? modems_[s].get() : nullptr; }

private:
    std::array<std::unique_ptr<Line>, kMaxLines> lines_;
    std::array<std::unique_ptr<Framer>, kMaxLines> framers_;  // after lines_: destroyed first
    void fit_framers();
    void wire_modems();
    std::unique_ptr<HdlcController> hdlc_model_;
    std::unique_ptr<TimeSlotSwitch> tsswitch_;
    std::array<std::unique_ptr<ModemSocket>, kMaxSockets> modems_;
};

}  // namespace sim
