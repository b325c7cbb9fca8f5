#include "sim/far/modem_peer.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "sim/far/isdn_network.h"
#include "sim/far/robbed_bit.h"

namespace sim {

namespace modem_line {

std::vector<uint8_t> carrier(Kind kind, uint32_t speed)
{
    return {uint8_t(kind), uint8_t(speed), uint8_t(speed >> 8), uint8_t(speed >> 16), uint8_t(speed >> 24)};
}

std::vector<uint8_t> data(const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> f(1 + bytes.size());
    f[0] = kData;
    std::copy(bytes.begin(), bytes.end(), f.begin() + 1);
    return f;
}

std::vector<uint8_t> carrier_off() { return {kCarrierOff}; }

uint32_t speed_of(const std::vector<uint8_t>& f)
{
    if (f.size() != 5 || (f[0] != kAnswerTone && f[0] != kCallingCarrier)) return 0;
    return uint32_t(f[1]) | uint32_t(f[2]) << 8 | uint32_t(f[3]) << 16 | uint32_t(f[4]) << 24;
}

}  // namespace modem_line

ModemPeer::ModemPeer(plat::Scheduler& sched, Line& line, Config config)
    : sched_(sched), line_(line), cfg_(config), self_(std::make_shared<ModemPeer*>(this))
{
    std::weak_ptr<ModemPeer*> weak = self_;
    line_.on_frame_from_adapter([weak](uint32_t channels, const std::vector<uint8_t>& f) {
        if (auto s = weak.lock()) (*s)->from_line(channels, f);
    });
}

ModemPeer::~ModemPeer()
{
    self_.reset();
    for (auto& c : ch_) cancel(c);
    if (watch_) sched_.cancel(watch_);
}

void ModemPeer::cancel(Channel& c)
{
    if (c.reply) sched_.cancel(c.reply);
    c.reply = 0;
}

void ModemPeer::put_on(unsigned channel)
{
    Channel& c = ch_.at(channel);
    if (c.state != State::Off) return;
    c.state = State::Listening;
    c.calls++;
    c.connected_this_call = false;
}

void ModemPeer::take_off(unsigned channel)
{
    Channel& c = ch_.at(channel);
    cancel(c);
    c.state = State::Off;
    c.calling = false;
}

void ModemPeer::follow(IsdnNetworkSide& net, std::function<bool(const CallInfo&)> which)
{
    std::weak_ptr<ModemPeer*> weak = self_;
    auto active = std::make_shared<std::map<CallKey, unsigned>>();
    IsdnNetworkSide* n = &net;
    net.on_event([weak, active, n, which](const IsdnEvent& e) {
        auto s = weak.lock();
        if (!s || e.kind != IsdnEvent::Kind::CallState || !e.call) return;
        if (e.state == NetState::Active) {
            auto info = n->call(*e.call);
            // A call the network routes back to the adapter has the adapter at both ends.
            if (!info || info->channel >= kChannels || info->routed_back || (which && !which(*info))) return;
            (*active)[*e.call] = info->channel;
            (*s)->put_on(info->channel);
            return;
        }
        auto it = active->find(*e.call);
        if (it == active->end()) return;
        (*s)->take_off(it->second);
        active->erase(it);
    });
}

void ModemPeer::follow(RobbedBitFarEnd& far_end)
{
    robbed_bit_ = &far_end;
    if (!watch_) watch_robbed_bit();
}

void ModemPeer::watch_robbed_bit()
{
    watch_ = sched_.after(plat::ms(10), [this] {
        watch_ = 0;
        for (unsigned k = 0; k < kChannels; ++k) {
            bool up = robbed_bit_->state(k) == RobbedBitFarEnd::State::Connected;
            if (up && ch_[k].state == State::Off) put_on(k);
            if (!up && ch_[k].state != State::Off) take_off(k);
        }
        watch_robbed_bit();
    });
}

void ModemPeer::originate(unsigned channel)
{
    Channel& c = ch_.at(channel);
    put_on(channel);
    c.calling = true;
    to_line(channel, modem_line::carrier(modem_line::kCallingCarrier, cfg_.speed));
}

bool ModemPeer::hang_up(unsigned channel)
{
    Channel& c = ch_.at(channel);
    if (c.state != State::Connected) return false;
    c.state = State::Listening;
    c.calling = false;
    to_line(channel, modem_line::carrier_off());
    return true;
}

bool ModemPeer::send(unsigned channel, const std::vector<uint8_t>& bytes)
{
    if (ch_.at(channel).state != State::Connected) return false;
    to_line(channel, modem_line::data(bytes));
    return true;
}

void ModemPeer::from_line(uint32_t channels, const std::vector<uint8_t>& frame)
{
    if (frame.empty()) return;
    for (unsigned k = 0; k < kChannels; ++k)
        if ((channels >> k & 1) && ch_[k].state != State::Off) heard(k, frame);
}

// What the modem on channel k hears from the adapter's modem.
void ModemPeer::heard(unsigned k, const std::vector<uint8_t>& frame)
{
    Channel& c = ch_[k];
    uint32_t offered = modem_line::speed_of(frame);
    switch (frame[0]) {
    case modem_line::kAnswerTone:
    case modem_line::kCallingCarrier: {
        if (offered == 0) return;
        // The adapter's modem answers our call, or calls us.
        bool they_call = frame[0] == modem_line::kCallingCarrier;
        if (c.state == State::Connected || c.reply != 0) return;
        if (they_call && !cfg_.answers) return;
        if (!they_call && !c.calling && !cfg_.answers) return;
        uint32_t speed = std::min(offered, cfg_.speed);
        c.reply = sched_.after(cfg_.reply_after, [this, k, they_call, speed] {
            Channel& ch = ch_[k];
            ch.reply = 0;
            if (ch.state == State::Off) return;
            to_line(k, modem_line::carrier(they_call ? modem_line::kAnswerTone : modem_line::kCallingCarrier, speed));
            ch.state = State::Connected;
            ch.speed = speed;
            ch.connects++;
            if (!ch.connected_this_call) ch.calls_connected++;
            ch.connected_this_call = true;
        });
        return;
    }
    case modem_line::kData:
        if (c.state != State::Connected) return;
        if (data_sink_) data_sink_(k, std::vector<uint8_t>(frame.begin() + 1, frame.end()));
        else plat::push_bounded(c.received, std::vector<uint8_t>(frame.begin() + 1, frame.end()), received_limit_);
        if (cfg_.echo && frame.size() > 1) to_line(k, frame);
        return;
    case modem_line::kCarrierOff:
        cancel(c);
        if (c.state == State::Connected) c.hangups_heard++;
        if (c.state != State::Off) c.state = State::Listening;
        c.calling = false;
        return;
    default:
        return;
    }
}

}  // namespace sim
