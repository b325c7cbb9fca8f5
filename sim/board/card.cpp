#include "sim/board/card.h"

#include "sim/board/hdlc.h"
#include "sim/board/tsswitch.h"

namespace sim {

Card::Card(plat::Host& host, const BoardConfig& config) : Board(host, config)
{
    for (unsigned n = 0; n < kMaxLines; n++) lines_[n] = std::make_unique<Line>(n);
    framer_clock = [this](unsigned line) { return line < line_count() && !framers_in_hw_reset(); };
    bus_slot_channel = [](unsigned, unsigned slot) { return slot < 32 ? int(slot) : -1; };
    bus_rate = [](unsigned) { return kAnyBusRate; };
    fit_framers();

    // HDLC controller and time-slot switch.
    hdlc_model_ = std::make_unique<HdlcController>(host, *this);
    set_hdlc(hdlc_model_.get());
    tsswitch_ = std::make_unique<TimeSlotSwitch>(*this, *hdlc_model_);

    // Modem processors, one model per fitted socket, wired to the time-slot switch.
    for (unsigned s = 0; s < kMaxSockets; s++) {
        if (!socket_fitted(int(s))) continue;
        modems_[s] = std::make_unique<ModemSocket>(host.sched, module_type(config.module_id[s]));
        set_socket(int(s), modems_[s].get());
    }
    wire_modems();
}

// Socket j of a group's sockets starts its TDM numbering at j x the board's step; the
// six-pump modules without a variant are told their slots by the TDM set-up message.
void Card::wire_modems()
{
    const BoardType& t = type();
    for (unsigned g = 0; g < 4; g++)
        for (unsigned j = 0; j < t.sockets_per_group[g]; j++) {
            unsigned k = j + g * t.sockets_per_group[g];
            if (k >= kMaxSockets || !modems_[k]) continue;
            uint32_t id = config().module_id[k];
            modems_[k]->wire(k < 8 ? t.socket_group[k] : 0, j * t.timeslot_step, id == 2 || id == 5 || id == 14 || id == 17);
        }
    for (auto& m : modems_) {
        if (!m) continue;
        m->on_to_line([this](unsigned g, unsigned slot, const std::vector<uint8_t>& f) { tsswitch_->modem_to_line(g, slot, f); });
        m->on_to_controller(
            [this](unsigned g, unsigned slot, const std::vector<uint8_t>& f) { tsswitch_->frame_from_modem(g, slot, f); });
    }
    tsswitch_->on_modem_slot([this](unsigned g, unsigned slot, const std::vector<uint8_t>& f) {
        for (auto& m : modems_)
            if (m && m->group() == g && m->from_controller(slot, f)) return;
    });
    tsswitch_->on_line_to_modem([this](unsigned g, unsigned slot, const std::vector<uint8_t>& f) {
        for (auto& m : modems_)
            if (m && m->group() == g && m->from_line(slot, f)) return true;
        return false;
    });
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
    bus_rate = [this](unsigned line) { return line < line_count() && framers_[line] ? framers_[line]->bus_rate() : 0u; };
    bus_map_generation = [this](unsigned line) {
        return line < line_count() && framers_[line] ? framers_[line]->bus_map_generation() : uint64_t(0);
    };
}

Card::~Card()
{
    set_hdlc(nullptr);
    for (unsigned s = 0; s < kMaxSockets; s++)
        if (modems_[s]) set_socket(int(s), nullptr);
}

}  // namespace sim
