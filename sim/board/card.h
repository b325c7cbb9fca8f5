// A board with its device models fitted and its lines: what the rig puts on the bus.
#pragma once

#include <array>
#include <functional>
#include <memory>

#include "sim/board/board.h"
#include "sim/far/line.h"

namespace sim {

class Card : public Board {
public:
    Card(plat::Host& host, const BoardConfig& config);
    ~Card();

    Line& line(unsigned n) { return *lines_.at(n); }
    unsigned line_count() const { return type().lines; }

    // What one model asks of another, answered by the model that knows (defaults until
    // it is fitted): whether line n's framer clocks its system bus for the HDLC
    // controller, and which channel of line n a time slot of its system bus carries
    // (-1: none).
    std::function<bool(unsigned line)> framer_clock;
    std::function<int(unsigned line, unsigned bus_slot)> bus_slot_channel;

    // Device models, fitted as they exist.

private:
    std::array<std::unique_ptr<Line>, kMaxLines> lines_;
};

}  // namespace sim
