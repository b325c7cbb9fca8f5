#include "sim/board/card.h"

#include "sim/board/hdlc.h"
#include "sim/board/tsswitch.h"

namespace sim {

Card::Card(plat::Host& host, const BoardConfig& config) : Board(host, config)
{
    for (unsigned n = 0; n < kMaxLines; n++) lines_[n] = std::make_unique<Line>(n);
    framer_clock = [this](unsigned line) { return line < line_count() && !framers_in_hw_reset(); };
    bus_slot_channel = [](unsigned, unsigned slot) { return slot < 32 ? int(slot) : -1; };
    fit_framers();

    // HDLC controller and time-slot switch.
    hdlc_model_ = std::make_unique<HdlcController>(host, *this);
    set_hdlc(hdlc_model_.get());
    tsswitch_ = std::make_unique<TimeSlotSwitch>(*this, *hdlc_model_);

    // Modem processors, one model per fitted socket.
    for (unsigned s = 0; s < kMaxSockets; s++) {
        if (!socket_fitted(int(s))) continue;
        modems_[s] = std::make_unique<ModemSocket>(host.sched, module_type(config.module_id[s]));
        set_socket(int(s), modems_[s].get());
    }
}

// One framer per line: in the board's window, reset by its latch, interrupting on
// function 1, watching its line; the system-bus clock and slot map are the framer's.
void Card::fit_framers()
{
    for (unsigned n = 0; n < line_count(); n++) {
        framers_[n] = std::make_unique<Framer>(host().sched, *lines_[n]);
        Framer* f = framers_[n].get();
        f->on_irq([this, f](bool on) { request_irq(1, f, on); });
        f->hw_reset(framers_in_hw_reset());
        lines_[n]->on_condition([f] { f->condition_changed(); });
        lines_[n]->on_errors([f](unsigned pair, unsigned count) { f->count_errors(pair, count); });
        set_framer(int(n), f);
    }
    on_hw_reset([this](bool in_reset) {
        for (auto& f : framers_)
            if (f) f->hw_reset(in_reset);
    });
    framer_clock = [this](unsigned line) { return line < line_count() && framers_[line] && framers_[line]->clocking(); };
    bus_slot_channel = [this](unsigned line, unsigned slot) {
        return line < line_count() && framers_[line] ? framers_[line]->bus_slot_channel(slot) : -1;
    };
}

Card::~Card()
{
    set_hdlc(nullptr);
    for (unsigned s = 0; s < kMaxSockets; s++)
        if (modems_[s]) set_socket(int(s), nullptr);
}

}  // namespace sim
