#include "sim/board/card.h"

namespace sim {

Card::Card(plat::Host& host, const BoardConfig& config) : Board(host, config)
{
    for (unsigned n = 0; n < kMaxLines; n++) lines_[n] = std::make_unique<Line>(n);
}

Card::~Card() = default;

}  // namespace sim
