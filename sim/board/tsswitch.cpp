#include "sim/board/tsswitch.h"

#include "sim/board/card.h"
#include "sim/board/hdlc.h"

namespace sim {

namespace {
constexpr uint8_t kEnabled = 0x80;
bool enabled_for(uint8_t byte, unsigned channel) { return (byte & kEnabled) && (byte & 0x1F) == channel; }
}  // namespace

TimeSlotSwitch::TimeSlotSwitch(Card& card, HdlcController& hdlc) : card_(card), hdlc_(hdlc)
{
    hdlc_.on_transmit([this](unsigned g, unsigned c, const std::vector<uint8_t>& f) { from_hdlc(g, c, f); });
    for (unsigned n = 0; n < card_.line_count(); n++)
        card_.line(n).on_frame_to_adapter(
            [this, n](uint32_t channels, const std::vector<uint8_t>& f) { from_line(n, channels, f); });
}

int TimeSlotSwitch::bus_slot(unsigned group, unsigned slot) const
{
    unsigned rate, bus;
    switch (hdlc_.port_mode(group)) {
    case 0:
        if (slot >= 24) return kNoSlot;
        rate = 1544, bus = slot + 1;
        break;
    case 1:
        if (slot >= 31) return kNoSlot;
        rate = 2048, bus = slot + 1;
        break;
    case 3:
        if (slot % 4 != 0) return kModemSlot;
        rate = 8192, bus = slot / 4;
        break;
    default: return kNoSlot;
    }
    unsigned framer = card_.bus_rate ? card_.bus_rate(group) : Card::kAnyBusRate;
    return framer == rate || framer == Card::kAnyBusRate ? int(bus) : kNoSlot;
}

int TimeSlotSwitch::line_channel(unsigned group, unsigned slot) const
{
    int bus = bus_slot(group, slot);
    if (bus < 0 || !card_.bus_slot_channel) return -1;
    int ch = card_.bus_slot_channel(group, unsigned(bus));
    return ch >= 0 && ch < 32 ? ch : -1;
}

void TimeSlotSwitch::from_hdlc(unsigned group, unsigned channel, const std::vector<uint8_t>& frame)
{
    uint32_t mask = 0;
    bool modem = false;
    for (unsigned s = 0; s < HdlcController::kSlots; s++) {
        if (!enabled_for(hdlc_.map_byte(true, group, s), channel)) continue;
        if (bus_slot(group, s) == kModemSlot) {
            // A modem channel's slots carry one stream: hand the frame over once, on its first slot.
            if (!modem && modem_sink_) {
                modem_sink_(group, s, frame);
                ++stats_.to_modem;
            }
            modem = true;
            continue;
        }
        int ch = line_channel(group, s);
        if (ch >= 0) mask |= 1u << ch;
    }
    if (mask != 0 && group < card_.line_count() && card_.framer_clock && card_.framer_clock(group)) {
        card_.line(group).frame_from_adapter(mask, frame);
        ++stats_.to_line;
    } else if (!modem) {
        ++stats_.dropped;
    }
}

void TimeSlotSwitch::from_line(unsigned line, uint32_t channels, const std::vector<uint8_t>& frame)
{
    if (!card_.framer_clock || !card_.framer_clock(line)) {
        ++stats_.dropped;
        return;
    }
    uint32_t delivered = 0;  // controller channels the frame went to
    bool to_modem = false;
    if (modem_listener_)
        for (unsigned s = 0; s < HdlcController::kSlots; s++) {
            int ch = line_channel(line, s);
            if (ch >= 0 && (channels >> ch & 1) && modem_listener_(line, s, frame)) to_modem = true;
        }
    if (to_modem) ++stats_.to_modem;
    for (unsigned s = 0; s < HdlcController::kSlots; s++) {
        uint8_t byte = hdlc_.map_byte(false, line, s);
        if (!(byte & kEnabled)) continue;
        unsigned channel = byte & 0x1F;
        int ch = line_channel(line, s);
        if (ch < 0 || !(channels >> ch & 1) || (delivered >> channel & 1)) continue;
        delivered |= 1u << channel;
        hdlc_.receive(line, channel, frame);
        ++stats_.to_hdlc;
    }
    if (delivered == 0 && !to_modem) ++stats_.dropped;
}

bool TimeSlotSwitch::reaches_controller(unsigned line, uint32_t channels) const
{
    if (!card_.framer_clock || !card_.framer_clock(line)) return false;
    for (unsigned s = 0; s < HdlcController::kSlots; s++) {
        uint8_t byte = hdlc_.map_byte(false, line, s);
        int ch = line_channel(line, s);
        if ((byte & kEnabled) && ch >= 0 && (channels >> ch & 1) && hdlc_.channel_active(false, line, byte & 0x1F)) return true;
    }
    return false;
}

void TimeSlotSwitch::modem_to_line(unsigned group, unsigned slot, const std::vector<uint8_t>& frame)
{
    int ch = line_channel(group, slot);
    if (ch < 0 || group >= card_.line_count() || !card_.framer_clock || !card_.framer_clock(group)) {
        ++stats_.dropped;
        return;
    }
    card_.line(group).frame_from_adapter(1u << ch, frame);
    ++stats_.to_line;
}

void TimeSlotSwitch::frame_from_modem(unsigned group, unsigned slot, const std::vector<uint8_t>& frame)
{
    uint8_t byte = hdlc_.map_byte(false, group, slot);
    if (bus_slot(group, slot) != kModemSlot || !(byte & kEnabled)) {
        ++stats_.dropped;
        return;
    }
    hdlc_.receive(group, byte & 0x1F, frame);
    ++stats_.to_hdlc;
}

}  // namespace sim
