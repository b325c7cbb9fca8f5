#include "sim/board/tsswitch.h"

#include <bit>
#include <cstring>

#include "sim/board/card.h"
#include "sim/board/hdlc.h"

namespace sim {

namespace {
constexpr uint8_t kEnabled = 0x80;
}  // namespace

TimeSlotSwitch::TimeSlotSwitch(Card& card, HdlcController& hdlc) : card_(card), hdlc_(hdlc)
{
    hdlc_.on_transmit([this](unsigned g, unsigned c, const std::vector<uint8_t>& f) { from_hdlc(g, c, f); });
    for (unsigned n = 0; n < card_.line_count(); n++)
        card_.line(n).on_frame_to_adapter(
            [this, n](uint32_t channels, const std::vector<uint8_t>& f) { from_line(n, channels, f); });
}

TimeSlotSwitch::View TimeSlotSwitch::view(unsigned group) const
{
    View v;
    v.group = group;
    v.mode = hdlc_.port_mode(group);
    unsigned rate = v.mode == 0 ? 1544 : v.mode == 1 ? 2048 : v.mode == 3 ? 8192 : 0;
    unsigned framer = rate == 0 ? 0 : card_.bus_rate ? card_.bus_rate(group) : Card::kAnyBusRate;
    v.at_rate = rate != 0 && (framer == rate || framer == Card::kAnyBusRate);
    v.generation = card_.bus_map_generation && group < kept_.size() ? card_.bus_map_generation(group) : 0;
    if (v.generation != 0 && kept_[group].generation == v.generation)
        std::memcpy(v.channel, kept_[group].channel, sizeof v.channel);
    else
        for (int8_t& c : v.channel) c = View::kUnknown;
    return v;
}

void TimeSlotSwitch::keep(const View& v)
{
    if (v.generation == 0) return;
    kept_[v.group].generation = v.generation;
    std::memcpy(kept_[v.group].channel, v.channel, sizeof v.channel);
}

int TimeSlotSwitch::bus_slot(const View& v, unsigned slot)
{
    switch (v.mode) {
    case 0:
        if (slot >= 24) return kNoSlot;
        return v.at_rate ? int(slot + 1) : kNoSlot;
    case 1:
        if (slot >= 31) return kNoSlot;
        return v.at_rate ? int(slot + 1) : kNoSlot;
    case 3:
        if (slot % 4 != 0) return kModemSlot;
        return v.at_rate ? int(slot / 4) : kNoSlot;
    default: return kNoSlot;
    }
}

int TimeSlotSwitch::bus_slot(unsigned group, unsigned slot) const { return bus_slot(view(group), slot); }

int TimeSlotSwitch::bus_channel(View& v, unsigned bus) const
{
    if (!card_.bus_slot_channel) return -1;
    if (bus >= 32) {
        int ch = card_.bus_slot_channel(v.group, bus);
        return ch >= 0 && ch < 32 ? ch : -1;
    }
    int8_t& known = v.channel[bus];
    if (known == View::kUnknown) {
        int ch = card_.bus_slot_channel(v.group, bus);
        known = int8_t(ch >= 0 && ch < 32 ? ch : -1);
    }
    return known;
}

int TimeSlotSwitch::line_channel(View& v, unsigned slot) const
{
    int bus = bus_slot(v, slot);
    return bus < 0 ? -1 : bus_channel(v, unsigned(bus));
}

// The maps are read a word (four slots) at a time; a word with no enabled slot is passed over.
void TimeSlotSwitch::from_hdlc(unsigned group, unsigned channel, const std::vector<uint8_t>& frame)
{
    View v = view(group);
    uint32_t mask = 0;
    bool modem = false;
    // Bytes of a map word enabled for the channel (bit 7 set, bits 0-4 the channel; bits
    // 5-6 do not count): zero bytes of `diff`, found exactly (no borrow between bytes).
    const uint32_t want = (kEnabled | (channel & 0x1F)) * 0x01010101u;
    for (unsigned w = 0; w < HdlcController::kSlots / 4; w++) {
        const uint32_t diff = (hdlc_.map_word(true, group, w) & 0x9F9F9F9Fu) ^ want;
        uint32_t zero = ~(((diff & 0x7F7F7F7Fu) + 0x7F7F7F7Fu) | diff | 0x7F7F7F7Fu);
        if (channel >= 32) zero = 0;  // no map byte names a channel beyond 31
        for (; zero != 0; zero &= zero - 1) {
            const unsigned s = 4 * w + unsigned(std::countr_zero(zero)) / 8;
            if (bus_slot(v, s) == kModemSlot) {
                // A modem channel's slots carry one stream: hand the frame over once, on its first slot.
                if (!modem && modem_sink_) {
                    modem_sink_(group, s, frame);
                    ++stats_.to_modem;
                }
                modem = true;
                continue;
            }
            int ch = line_channel(v, s);
            if (ch >= 0) mask |= 1u << ch;
        }
    }
    keep(v);
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
    View v = view(line);
    // Only slots on the framer's bus carry a line channel (none when the bus is at another
    // rate): slots 0-23 (T1) or 0-30 (E1) carry bus slot + 1, every fourth slot (128 slots)
    // slot / 4. `hits`: the bus slots carrying one of the frame's channels.
    uint32_t hits = 0;
    unsigned first = 1, last = 0, step = 1;
    if (v.at_rate) {
        if (v.mode == 3)
            first = 0, last = 31, step = 4;
        else
            last = v.mode == 0 ? 24 : 31;
        for (unsigned bus = first; bus <= last; bus++) {
            int ch = bus_channel(v, bus);
            if (ch >= 0 && (channels >> ch & 1)) hits |= 1u << bus;
        }
    }
    uint32_t delivered = 0;  // controller channels the frame went to
    bool to_modem = false;
    if (modem_listener_)
        for (uint32_t h = hits; h != 0; h &= h - 1) {
            const unsigned s = (unsigned(std::countr_zero(h)) - first) * step;
            if (modem_listener_(line, s, frame)) to_modem = true;
        }
    if (to_modem) ++stats_.to_modem;
    for (uint32_t h = hits; h != 0; h &= h - 1) {
        const unsigned s = (unsigned(std::countr_zero(h)) - first) * step;
        uint8_t byte = hdlc_.map_byte(false, line, s);
        if (!(byte & kEnabled)) continue;
        unsigned channel = byte & 0x1F;
        if (delivered >> channel & 1) continue;
        delivered |= 1u << channel;
        hdlc_.receive(line, channel, frame);
        ++stats_.to_hdlc;
    }
    keep(v);
    if (delivered == 0 && !to_modem) ++stats_.dropped;
}

bool TimeSlotSwitch::reaches_controller(unsigned line, uint32_t channels) const
{
    if (!card_.framer_clock || !card_.framer_clock(line)) return false;
    View v = view(line);
    for (unsigned s = 0; s < HdlcController::kSlots; s++) {
        uint8_t byte = hdlc_.map_byte(false, line, s);
        int ch = line_channel(v, s);
        if ((byte & kEnabled) && ch >= 0 && (channels >> ch & 1) && hdlc_.channel_active(false, line, byte & 0x1F)) return true;
    }
    return false;
}

void TimeSlotSwitch::modem_to_line(unsigned group, unsigned slot, const std::vector<uint8_t>& frame)
{
    View v = view(group);
    int ch = line_channel(v, slot);
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
