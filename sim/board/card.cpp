#include "sim/board/card.h"

namespace sim {

Card::Card(plat::Host& host, const BoardConfig& config) : Board(host, config)
{
    for (unsigned n = 0; n < kMaxLines; n++) lines_[n] = std::make_unique<Line>(n);
    framer_clock = [this](unsigned line) { return line < line_count() && !framers_in_hw_reset(); };
    bus_slot_channel = [](unsigned, unsigned slot) { return slot < 32 ? int(slot) : -1; };
}

Card::~Card() = default;

}  // namespace sim
