// A board with its device models fitted and its lines: what the rig puts on the bus.
#pragma once

#include <array>
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

    // Device models, fitted as they exist.

private:
    std::array<std::unique_ptr<Line>, kMaxLines> lines_;
};

}  // namespace sim
