#include "tools/harness/traffic.h"

#include <algorithm>
#include <cstring>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/MDM_PUMP.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "driver/signalling/isdn/IsdnStack.h"
#include "platform/ndis/ndistapi.h"

namespace rig {

namespace {

constexpr plat::VTime kTick = plat::ms(10);
constexpr uint8_t kMagic = 0xA5;
constexpr size_t kHeader = 8;  // magic, direction, call id (2), sequence (4)
// Network-side events kept between ticks: nobody reads them here, and a log of calls
// held for minutes would otherwise grow its storage step by step.
constexpr size_t kKeepFarLog = 256;
constexpr plat::VTime kPumpWait = plat::ms(20000);  // how long a line's modem calls wait for its pumps
constexpr unsigned kModemRate = 33600;
constexpr char kStatisticsRequest[] = "AT&V1&V2\r";
constexpr size_t kKeepClearedIds = 512;  // calls cleared by plan (and dropped), remembered for the fault checks

// Byte i of a frame's payload is (pattern base + i) modulo 256.
uint8_t pattern_base(uint32_t id, uint32_t seq) { return uint8_t(seq * 7u + id * 13u); }

// Byte i of a frame's payload is uint8_t(base + i): the pattern from position i is a
// stretch of this ramp, starting at uint8_t(base + i), for up to 256 bytes.
struct Ramp {
    uint8_t bytes[512];
    Ramp()
    {
        for (unsigned k = 0; k < sizeof bytes; k++) bytes[k] = uint8_t(k);
    }
};
const Ramp kRamp;

void fill_pattern(uint8_t* p, size_t from, size_t to, uint8_t base)
{
    for (size_t i = from; i < to;) {
        size_t n = std::min<size_t>(to - i, 256);
        std::memcpy(p + i, kRamp.bytes + uint8_t(base + i), n);
        i += n;
    }
}

bool has_pattern(const uint8_t* p, size_t from, size_t to, uint8_t base)
{
    for (size_t i = from; i < to;) {
        size_t n = std::min<size_t>(to - i, 256);
        if (std::memcmp(p + i, kRamp.bytes + uint8_t(base + i), n) != 0) return false;
        i += n;
    }
    return true;
}

// Each modem processor of the sockets wired to line n.
template <typename Fn>
void each_processor(Adapter* a, unsigned n, Fn fn)
{
    for (unsigned s = 0; s < a->SocketCount && s < MAX_SOCKETS; s++) {
        DimmSocket& socket = a->Socket[s];
        if (socket.Present != 1 || socket.Group != n) continue;
        for (unsigned c = 0; c < socket.ProcessorCount && c < MAX_CSMS_PER_SOCKET; c++) fn(socket.Csms[c]);
    }
}

}  // namespace

const char* call_kind_name(CallKind kind)
{
    switch (kind) {
    case CallKind::IsdnIncoming: return "ISDN data, from the network";
    case CallKind::IsdnOutgoing: return "ISDN data, to the network";
    case CallKind::RobbedBitIncoming: return "robbed-bit data, from the far end";
    case CallKind::ModemIncoming: return "modem, from the network, on a pump";
    case CallKind::PeerIncoming: return "ISDN data, from the outside program";
    case CallKind::PeerOutgoing: return "ISDN data, to the outside program";
    }
    return "?";
}

void CallCounters::add(const CallCounters& o)
{
    offered += o.offered;
    answered += o.answered;
    connected += o.connected;
    cleared += o.cleared;
    failed += o.failed;
    dropped += o.dropped;
    stuck += o.stuck;
    untold += o.untold;
}

void PacketCounters::add(const PacketCounters& o)
{
    handed += o.handed;
    completed += o.completed;
    completed_twice += o.completed_twice;
    unknown += o.unknown;
}

void DataCounters::add(const DataCounters& o)
{
    frames_sent += o.frames_sent;
    frames_received += o.frames_received;
    frames_verified += o.frames_verified;
    bytes_sent += o.bytes_sent;
    bytes_received += o.bytes_received;
    bytes_verified += o.bytes_verified;
    bytes_lost += o.bytes_lost;
    frames_corrupt += o.frames_corrupt;
    sends_refused += o.sends_refused;
}

struct Traffic::Call {
    enum class State { Offered, Connected, Draining, Clearing } state = State::Offered;
    uint32_t id = 0;
    CallKind kind = CallKind::IsdnIncoming;
    unsigned line = 0;
    unsigned channel = 0;  // 0: not known yet (a call the driver places)
    unsigned link = 0;
    Link* l = nullptr;
    sim::CallKey key{};
    bool have_key = false;
    std::string dialled;
    plat::VTime started = 0, connected_at = 0, clearing_at = 0;
    plat::VTime interval = 0, next_send = 0;
    NDIS_WAN_LINK_HANDLE context = 0;
    bool failed = false;
    bool bound = false;  // a peer's call: the Link has held its call object
    ULONG incoming_before = 0;  // TAPI's side: the Link's offered calls when this one began
    bool answer_asked = false, drop_asked = false;
    Pump* pump = nullptr;         // a modem call's pump, from its connection
    uint64_t pump_text_before = 0;  // bytes the host had sent that pump before the connection
    bool dropped = false;  // ended by a fault, not by the plan
    bool clear_again = false;  // the network's clearing asked while its link was down: asked again once up
    bool told = false;     // TAPI's call: the driver reported it disconnected
    ULONG htcall = 0;      // TAPI's handle of the call, once connected
    // Per direction: 0 towards the far end, 1 towards the adapter's owner.
    uint32_t next_seq[2] = {0, 0}, expect_seq[2] = {0, 0};
    uint64_t sent_bytes[2] = {0, 0}, received_bytes[2] = {0, 0}, lost_bytes[2] = {0, 0};
    std::vector<uint32_t> handed_back;  // sequence numbers the driver handed back unsent, not yet passed
};

struct Traffic::LineState {
    std::vector<unsigned> channels;  // B channels calls may use
    std::vector<bool> channel_busy;  // by channel number
    std::vector<bool> link_busy;     // by Link index
    unsigned started = 0;
    plat::VTime next_start = 0, first_start = 0;
    unsigned turn = 0;  // the next kind, in turn: from the network, to the network, modem
    ULONG owner = OWNER_DRIVER;
    bool holds_links = false;  // the traffic owns the line's Links (a plan with calls)
};

struct Traffic::Packet {
    NDIS_WAN_PACKET p{};
    std::vector<uint8_t> data;
    uint32_t call = 0, seq = 0;
    uint32_t window = 0;  // the packet window it was handed in (0: none)
    bool in_driver = false;
};

Traffic::Traffic(plat::Host& host, plat::ndis::Adapter* na, Adapter* adapter, sim::Card& card, const FarEnds& far,
                 const TrafficPlan& plan)
    : host_(host), na_(na), a_(adapter), card_(card), far_(far), plan_(plan), next_id_(std::max(plan.first_call_id, 1u))
{
    const unsigned n_lines = card.line_count();
    lines_.resize(n_lines);
    for (unsigned n = 0; n < n_lines; n++) {
        auto ls = std::make_unique<LineState>();
        const unsigned links = n < a_->NumberOfGroups ? a_->LinksPerGroup[n] : 0;
        ls->link_busy.assign(links, false);
        ls->channel_busy.assign(33, false);
        if (far_.isdn[n] != nullptr) {
            for (unsigned ch = 1; ch < 32; ch++)
                if (far_.isdn[n]->is_bearer_channel(ch)) ls->channels.push_back(ch);
        } else if (far_.robbed_bit[n] != nullptr) {
            for (unsigned ch = 1; ch <= 24 && ch <= links; ch++) ls->channels.push_back(ch);
        } else if (far_.peer[n] != nullptr) {
            for (unsigned ch = 1; ch < 32; ch++)
                if (far_.peer[n]->is_bearer_channel(ch)) ls->channels.push_back(ch);
        }
        lines_[n].carries_calls = !ls->channels.empty() && links > 0;
        // Every Link of a line that carries calls gets its owner: on ISDN lines (and those of
        // an outside program) the driver, which answers and clears by itself; on robbed-bit lines, where calls reach the
        // Link of their channel only when TAPI owns it, TAPI (played here), which answers
        // and drops. A plan of no calls leaves the Links free for TAPI and the serial ports,
        // but not an outside program's: what it offers is answered whatever the plan places.
        if (lines_[n].carries_calls && (plan_.full_load || plan_.calls_per_line > 0 || far_.peer[n] != nullptr)) {
            const ULONG owner = far_.robbed_bit[n] != nullptr ? OWNER_TELEPHONY_SUBSYSTEM : OWNER_DRIVER;
            ls->owner = owner;
            ls->holds_links = true;
            lines_[n].calls_planned = plan_.full_load ? 0 : plan_.calls_per_line;
            locked([&] {
                for (unsigned i = 0; i < links; i++)
                    if (!plan_.leave_port_links || a_->NdisWanInfo[n][i].ThisAsyncPort == nullptr)
                        LinkAcquire(a_, 0, n, i, owner);
            });
        }
        if (lines_[n].carries_calls && far_.isdn[n] != nullptr && plan_.modem_calls) {
            modems_.resize(n_lines);
            modems_[n] = std::make_unique<sim::ModemPeer>(host_.sched, card.line(n));
            modems_[n]->follow(*far_.isdn[n]);
            modems_[n]->on_data([this, n](unsigned ch, const std::vector<uint8_t>& bytes) { modem_received(n, ch, bytes); });
        }
        std::weak_ptr<bool> alive = alive_;
        card.line(n).on_frame_from_adapter([this, alive, n](uint32_t channels, const std::vector<uint8_t>& f) {
            if (!alive.expired()) far_received(n, channels, f);
        });
        state_.push_back(std::move(ls));
    }
    auto& ndis = host_.ndis();
    ndis.on_receive = [this](plat::ndis::Adapter& a, const plat::ndis::Receive& r) {
        if (&a == na_) ndis_received(r);
    };
    ndis.on_send_complete = [this](plat::ndis::Adapter& a, const plat::ndis::SendCompletion& s) {
        if (&a == na_) ndis_send_done(s);
    };
    tick_event_ = host_.sched.after(kTick, [this] { tick(); });
}

Traffic::~Traffic()
{
    *alive_ = false;
    host_.sched.cancel(tick_event_);
    auto& ndis = host_.ndis();
    ndis.on_receive = nullptr;
    ndis.on_send_complete = nullptr;
}

void Traffic::locked(const std::function<void()>& fn)
{
    NdisAcquireSpinLock(&a_->AdapterSpinLock);
    fn();
    NdisReleaseSpinLock(&a_->AdapterSpinLock);
}

std::string Traffic::directory_number(unsigned line, unsigned index) const
{
    char name[48];
    std::snprintf(name, sizeof name, "Line_%u.DirectoryNumber_%02u", line, index);
    const std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + na_->service + "\\Parameters";
    return host_.registry.get_sz(key, name).value_or("");
}

bool Traffic::line_ready(unsigned n) const
{
    if (far_.isdn[n] != nullptr) return far_.isdn[n]->link_up();
    if (far_.peer[n] != nullptr && n < a_->NumberOfLines && a_->SgnlProtocolOps[n].Control != NULL &&
        a_->ThisSgnlStack[n] != NULL) {
        NdisAcquireSpinLock(&a_->AdapterSpinLock);
        ULONG state = a_->SgnlProtocolOps[n].Control(CTL_KIND_GET, CTL_L2_STATE, a_->ThisSgnlStack[n], 0);
        NdisReleaseSpinLock(&a_->AdapterSpinLock);
        return state == L2_ESTABLISHED;
    }
    if (far_.robbed_bit[n] != nullptr && n < a_->NumberOfLines && a_->SgnlProtocolOps[n].Control != NULL &&
        a_->ThisSgnlStack[n] != NULL) {
        NdisAcquireSpinLock(&a_->AdapterSpinLock);
        ULONG up = a_->SgnlProtocolOps[n].Control(CTL_KIND_GET, CTL_LAYER1_UP, a_->ThisSgnlStack[n], 0);
        NdisReleaseSpinLock(&a_->AdapterSpinLock);
        return up == 1;
    }
    return false;
}

void Traffic::tick()
{
    tick_event_ = host_.sched.after(kTick, [this] { tick(); });
    if (plan_.leave_port_links) free_port_links();
    for (unsigned n = 0; n < lines_.size(); n++) {
        if (lines_[n].carries_calls && far_.peer[n] != nullptr && state_[n]->holds_links) take_peer_calls(n, *state_[n]);
        if (lines_[n].carries_calls && !stopping_) start_calls(n, *state_[n]);
    }
    // Steps may end calls: walk a copy of the ids.
    std::vector<uint32_t> ids;
    for (auto& [id, c] : calls_) ids.push_back(id);
    for (uint32_t id : ids) {
        auto it = calls_.find(id);
        if (it != calls_.end()) step(*it->second);
    }
    // What NDIS recorded has been handled by the hooks; the far ends' logs are bounded.
    na_->receives.clear();
    na_->send_completions.clear();
    take_indications();
    for (auto* net : far_.isdn)
        if (net != nullptr && net->log().size() > kKeepFarLog) net->clear_log();
}

// COM ports come after the adapter's bring-up: a port's Link the traffic holds goes
// back to the port once no call of the traffic uses it.
void Traffic::free_port_links()
{
    for (unsigned n = 0; n < state_.size(); n++) {
        LineState& ls = *state_[n];
        for (unsigned i = 0; i < ls.link_busy.size(); i++) {
            Link* l = &a_->NdisWanInfo[n][i];
            if (l->ThisAsyncPort != nullptr && l->CurrentOwner == ls.owner && !ls.link_busy[i])
                locked([&] { LinkRelease(l, ls.owner); });
        }
    }
}

void Traffic::start_calls(unsigned n, LineState& ls)
{
    const plat::VTime now = host_.now();
    // An adapter reset frees the Links the driver owned (TAPI's open lines and the COM
    // ports keep theirs): the driver takes again those it held (none where the plan
    // leaves the Links free, nor the COM ports').
    if (ls.holds_links)
        locked([&] {
            for (unsigned i = 0; i < ls.link_busy.size(); i++) {
                const Link& l = a_->NdisWanInfo[n][i];
                if (!ls.link_busy[i] && l.CurrentOwner == OWNER_NONE && !(plan_.leave_port_links && l.ThisAsyncPort != nullptr))
                    LinkAcquire(a_, 0, n, i, ls.owner);
            }
        });
    if (now < ls.next_start || !line_ready(n)) return;
    // Until the network has seen the channel of a call the driver places, no other call
    // starts on the line: the two could take the same channel.
    for (const auto& [id, c] : calls_)
        if (c->line == n && c->kind == CallKind::IsdnOutgoing && !c->have_key && c->state == Call::State::Offered) return;
    const bool full = plan_.full_load;
    if (!full && plan_.repeat) {
        unsigned on_line = 0;
        for (const auto& [id, c] : calls_) on_line += c->line == n;
        if (on_line >= plan_.calls_per_line) return;
    } else if (!full && ls.started >= plan_.calls_per_line) {
        return;
    }
    if (ls.next_start == 0) {  // the line has just come up: let it settle
        ls.next_start = now + plat::ms(500);
        ls.first_start = ls.next_start;
        return;
    }
    // Modem calls go where the line has pumps; while its processors may still be booting
    // (or, under full load, until its share of channels carries modem calls) they wait.
    unsigned pumps = 0, running = 0;
    if (n < modems_.size() && modems_[n])
        each_processor(a_, n, [&](Csm& csm) {
            pumps += csm.PumpCount;
            if (csm.State == CSM_RUNNING) running += csm.PumpCount;
        });
    lines_[n].pumps = pumps;
    const bool pumps_expected = pumps > 0 && (running > 0 || now < ls.first_start + kPumpWait);
    CallKind kind = far_.peer[n] != nullptr ? CallKind::PeerOutgoing : CallKind::RobbedBitIncoming;
    if (far_.isdn[n] != nullptr && full) {
        unsigned modem_calls = 0;
        for (const auto& [id, c] : calls_) modem_calls += c->line == n && c->kind == CallKind::ModemIncoming;
        const unsigned share = pumps_expected ? std::min<unsigned>(pumps, std::max<size_t>(1, ls.channels.size() / 4)) : 0;
        if (modem_calls < share && free_pumps(n) > 0) {
            kind = CallKind::ModemIncoming;
        } else {
            // While the pumps may still boot their share of channels is kept; after that,
            // pumps taken otherwise (serial ports) leave the channels to data calls.
            size_t free_channels = 0;
            for (unsigned ch : ls.channels) free_channels += !ls.channel_busy[ch];
            const bool booting = now < ls.first_start + kPumpWait;
            if (booting && free_channels <= share - std::min(share, modem_calls)) return;
            kind = ls.turn % 2 ? CallKind::IsdnOutgoing : CallKind::IsdnIncoming;
        }
    } else if (far_.isdn[n] != nullptr) {
        static constexpr CallKind kTurns[3] = {CallKind::IsdnIncoming, CallKind::IsdnOutgoing, CallKind::ModemIncoming};
        kind = kTurns[ls.turn % (pumps > 0 ? 3 : 2)];
        if (kind == CallKind::ModemIncoming && free_pumps(n) == 0) {
            if (pumps_expected && now < ls.first_start + kPumpWait) return;  // try again next tick
            kind = CallKind::IsdnIncoming;
        }
    }
    if (start_call(n, ls, kind)) {
        ls.started++;
        ls.turn++;
        lines_[n].calls_started = ls.started;
    }
    ls.next_start = now + (full ? plat::ms(20) : plan_.spacing);
}

unsigned Traffic::free_pumps(unsigned n) const
{
    unsigned free = 0;
    each_processor(a_, n, [&](Csm& csm) {
        if (csm.State != CSM_RUNNING) return;
        for (ULONG p = 0; p < csm.PumpCount && p < CSM_MAX_PUMPS; p++)
            free += csm.Pumps[p].PumpState == PUMP_SLEEP && csm.Pumps[p].ThisLink == nullptr;
    });
    // Calls offered that have no pump yet will take some.
    for (const auto& [id, c] : calls_)
        if (c->line == n && c->kind == CallKind::ModemIncoming && c->state == Call::State::Offered && c->l->ThisPump == nullptr)
            free -= std::min(free, 1u);
    return free;
}

bool Traffic::start_call(unsigned n, LineState& ls, CallKind kind)
{
    // A free channel and a free Link, paired where both are free. The driver takes the
    // lowest free channel for the calls it places; the far end offers from the highest.
    int channel = -1, link = -1;
    for (auto it = ls.channels.rbegin(); it != ls.channels.rend() && kind != CallKind::PeerOutgoing; ++it) {
        const unsigned ch = *it;
        if (ls.channel_busy[ch]) continue;
        if (far_.isdn[n] != nullptr && far_.isdn[n]->channel_state(ch) != sim::NetState::Null) continue;
        if (far_.robbed_bit[n] != nullptr && !far_.robbed_bit[n]->seizable(ch)) continue;
        channel = int(ch);
        break;
    }
    if (channel < 0 && kind != CallKind::PeerOutgoing) return false;  // a peer's channel is the peer's choice
    auto link_free = [&](unsigned i) {
        if (i >= ls.link_busy.size() || ls.link_busy[i]) return false;
        Link* l = &a_->NdisWanInfo[n][i];
        return l->CurrentOwner == ls.owner && l->ThisBChannel == nullptr;
    };
    if (channel > 0 && link_free(unsigned(channel) - 1)) {
        link = channel - 1;
    } else {
        for (unsigned i = 0; i < ls.link_busy.size() && link < 0; i++)
            if (link_free(i)) link = int(i);
    }
    if (link < 0) return false;

    auto c = std::make_unique<Call>();
    c->id = next_id_++ & 0xFFFF;
    if (c->id == 0) c->id = next_id_++ & 0xFFFF;
    c->kind = kind;
    c->line = n;
    c->link = unsigned(link);
    c->l = &a_->NdisWanInfo[n][link];
    c->started = host_.now();
    const unsigned rate = kind == CallKind::RobbedBitIncoming ? 56000 : kind == CallKind::ModemIncoming ? kModemRate : 64000;
    c->interval = plan_.full_load ? plat::VTime(plan_.frame_bytes) * 8 * 1'000'000 / rate : plan_.frame_interval;
    bool ok = false;
    switch (kind) {
    case CallKind::IsdnIncoming:
    case CallKind::ModemIncoming: {
        c->channel = unsigned(channel);
        char calling[16];
        std::snprintf(calling, sizeof calling, "41655%05u", c->id % 100000);
        auto key = far_.isdn[n]->offer_call(c->channel, directory_number(n, c->link), calling,
                                            kind == CallKind::ModemIncoming ? sim::q931::Bearer::speech(false)
                                                                            : sim::q931::Bearer::unrestricted64());
        if (key) {
            c->key = *key;
            c->have_key = true;
            ok = true;
        }
        break;
    }
    case CallKind::IsdnOutgoing:
    case CallKind::PeerOutgoing: {
        char number[16];
        std::snprintf(number, sizeof number, "6%u%05u", n, c->id % 100000);
        c->dialled = number;
        const std::string dial = "I " + c->dialled;
        locked([&] {
            if (DecodeCallModifiers(c->l, (const UCHAR*)dial.data(), ULONG(dial.size())) != 0) ok = RSS_MakeCall(c->l);
        });
        break;
    }
    case CallKind::PeerIncoming: break;  // taken from the Link, never started here
    case CallKind::RobbedBitIncoming:
        c->channel = unsigned(channel);
        c->incoming_before = c->l->LinkCallStats.IncomingInd;
        ok = far_.robbed_bit[n]->seize(c->channel);
        break;
    }
    lines_[n].calls.offered++;
    lines_[n].by_kind[kind].offered++;
    if (!ok) {
        count(*c, &CallCounters::failed);
        return true;  // the attempt counts as one of the line's calls
    }
    if (c->channel != 0) ls.channel_busy[c->channel] = true;
    ls.link_busy[c->link] = true;
    calls_[c->id] = std::move(c);
    return true;
}

void Traffic::count(Call& c, uint64_t CallCounters::*field)
{
    lines_[c.line].calls.*field += 1;
    lines_[c.line].by_kind[c.kind].*field += 1;
}

// Calls an outside program offers: the driver, owning the line's Links, has bound one of
// them to the call (and answers it by itself).
void Traffic::take_peer_calls(unsigned n, LineState& ls)
{
    for (unsigned i = 0; i < ls.link_busy.size(); i++) {
        Link* l = &a_->NdisWanInfo[n][i];
        if (ls.link_busy[i] || l->CurrentOwner != ls.owner || l->ThisBChannel == nullptr || l->OutgoingCall != 0) continue;
        auto c = std::make_unique<Call>();
        c->id = next_id_++ & 0xFFFF;
        if (c->id == 0) c->id = next_id_++ & 0xFFFF;
        c->kind = CallKind::PeerIncoming;
        c->line = n;
        c->link = i;
        c->l = l;
        c->started = host_.now();
        c->interval = plan_.full_load ? plat::VTime(plan_.frame_bytes) * 8 * 1'000'000 / 64000 : plan_.frame_interval;
        lines_[n].calls.offered++;
        lines_[n].by_kind[c->kind].offered++;
        ls.link_busy[i] = true;
        calls_[c->id] = std::move(c);
    }
}

// A call with an outside program: its progress is read from the Link alone (the program
// is not ours to ask); the far end of its channel echoes, so what the owner sends comes back.
void Traffic::step_peer(Call& c)
{
    const plat::VTime now = host_.now();
    const bool bound = c.l->ThisBChannel != nullptr;
    const bool active = bound && c.l->ChannelState == CHANNEL_STATE_ACTIVE;
    c.bound = c.bound || bound;
    switch (c.state) {
    case Call::State::Offered:
        if (active) {
            connected(c);
        } else if (c.bound && !bound) {  // refused or cleared by the program before connecting
            c.failed = true;
            count(c, &CallCounters::failed);
            done(c, false);
        } else if (now - c.started > plan_.answer_limit) {
            c.failed = true;
            count(c, &CallCounters::failed);
            begin_clearing(c);
        }
        break;
    case Call::State::Connected:
    case Call::State::Draining:
        if (!active) {  // the program cleared it: its own plan, no fault
            c.state = Call::State::Clearing;
            c.clearing_at = now;
            break;
        }
        if (c.state == Call::State::Draining) {
            if (now >= c.clearing_at) begin_clearing(c);
        } else if (stopping_ || (!plan_.full_load && now - c.connected_at >= plan_.hold)) {
            c.state = Call::State::Draining;
            c.clearing_at = now + plan_.drain;
        } else {
            send_frames(c);
        }
        break;
    case Call::State::Clearing:
        if (!bound) {
            if (!c.failed) count(c, &CallCounters::cleared);
            done(c, false);
        } else if (now - c.clearing_at > plan_.answer_limit) {
            if (!c.failed) count(c, &CallCounters::failed);
            count(c, &CallCounters::stuck);
            done(c, true);
        }
        break;
    }
}

void Traffic::step(Call& c)
{
    if (c.kind == CallKind::PeerIncoming || c.kind == CallKind::PeerOutgoing) return step_peer(c);
    const plat::VTime now = host_.now();
    sim::IsdnNetworkSide* net = far_.isdn[c.line];
    sim::RobbedBitFarEnd* rb = far_.robbed_bit[c.line];
    switch (c.state) {
    case Call::State::Offered: {
        bool up = false;
        if (c.kind == CallKind::IsdnOutgoing && !c.have_key) {
            for (const auto& info : net->calls())
                if (info.key.user_originated && info.called == c.dialled) {
                    c.key = info.key;
                    c.have_key = true;
                    c.channel = info.channel;
                    if (c.channel < state_[c.line]->channel_busy.size()) state_[c.line]->channel_busy[c.channel] = true;
                }
        }
        if (net != nullptr && c.have_key) {
            auto info = net->call(c.key);
            up = info && info->state == sim::NetState::Active;
        } else if (rb != nullptr) {
            up = rb->state(c.channel) == sim::RobbedBitFarEnd::State::Connected;
            // TAPI answers the call it was told of.
            if (!c.answer_asked && c.l->LinkCallStats.IncomingInd > c.incoming_before) {
                c.answer_asked = true;
                locked([&] { RSS_AnswerCall(c.l); });
            }
        }
        if (c.kind == CallKind::ModemIncoming) {
            // On line: the pump heard the far modem's carrier, and the far modem the pump's.
            Pump* p = c.l->ThisPump;
            up = up && p != nullptr && p->PumpState == PUMP_ON_LINE &&
                 modems_[c.line]->state(c.channel) == sim::ModemPeer::State::Connected;
            if (up) {
                c.pump = p;
                c.pump_text_before = pump_model(p).text_total_from_host(p->ThisCsm->Index, p->PumpNumber);
            }
        }
        if (up && c.l->ChannelState == CHANNEL_STATE_ACTIVE && c.l->ThisBChannel != nullptr && c.channel != 0) {
            connected(c);
        } else if (now - c.started > plan_.answer_limit) {
            // A call still being set up when the run ends is given its time to connect:
            // the end of the run is no failure of the call.
            c.failed = true;
            count(c, &CallCounters::failed);
            begin_clearing(c);
        }
        break;
    }
    case Call::State::Connected:
    case Call::State::Draining:
        if (!still_up(c)) {
            // Ended under the call by one end or the other: the other must follow.
            c.dropped = true;
            count_dropped(c);
            c.state = Call::State::Clearing;
            c.clearing_at = now;
            break;
        }
        if (c.state == Call::State::Draining) {
            if (now >= c.clearing_at) begin_clearing(c);
            break;
        }
        if (stopping_ || (!plan_.full_load && now - c.connected_at >= plan_.hold)) {
            c.state = Call::State::Draining;
            c.clearing_at = now + plan_.drain;
        } else {
            send_frames(c);
        }
        break;
    case Call::State::Clearing: {
        bool far_idle = true;
        if (net != nullptr && c.have_key) {
            // The far end hung up while the network's link was being established again: the
            // network clears towards the adapter once the link is up.
            if (c.clear_again && net->link_up()) {
                c.clear_again = false;
                net->clear_call(c.key);
            }
            auto info = net->call(c.key);
            far_idle = !info || info->state == sim::NetState::Null;
        } else if (rb != nullptr && c.channel != 0) {
            far_idle = rb->state(c.channel) == sim::RobbedBitFarEnd::State::Idle;
            // TAPI, told of the far end's clearing, drops the call.
            if (!c.drop_asked && c.l->ThisBChannel != nullptr &&
                (c.l->DisconnectCause == DISCONNECT_CAUSE_NETWORK || now - c.clearing_at >= plat::ms(1000))) {
                c.drop_asked = true;
                locked([&] { RSS_Disconnect(c.l, TERMINATE_TRANSFER | TERMINATE_CALL | LINK_DOWN); });
            }
        }
        if (far_idle && c.l->ThisBChannel == nullptr && pump_done(c)) {
            if (!c.failed) count(c, &CallCounters::cleared);
            done(c, false);
        } else if (now - c.clearing_at > (c.dropped ? plan_.fault_clear_limit : plan_.answer_limit)) {
            if (!c.failed) count(c, &CallCounters::failed);
            count(c, &CallCounters::stuck);
            done(c, true);
        }
        break;
    }
    }
}

void Traffic::connected(Call& c)
{
    count(c, &CallCounters::answered);
    count(c, &CallCounters::connected);
    c.state = Call::State::Connected;
    c.connected_at = host_.now();
    c.next_send = c.connected_at;
    // The NDIS line is up: the context NDISWAN hands back for the Link.
    c.context = 0x10000u + c.id;
    locked([&] { c.l->NdisLinkContext = c.context; });
    if (state_[c.line]->owner == OWNER_TELEPHONY_SUBSYSTEM) c.htcall = c.l->htCall;
    by_context_[c.context] = c.id;
}

sim::ModemSocket& Traffic::pump_model(const Pump* p) const { return *card_.modem(p->ThisCsm->ThisSocket->SocketIndex); }

// A modem call's pump is done once it has left the call: hung up, its statistics read
// (what the driver holds is what the modem answered to the request made for this call).
bool Traffic::pump_done(Call& c)
{
    Pump* p = c.pump;
    if (p == nullptr) return true;
    // A pump whose processor went down meanwhile reads no statistics; it is done too.
    if (p->ThisLink == c.l || (p->ThisLink == nullptr && p->PumpState != PUMP_SLEEP && p->ThisCsm->State == CSM_RUNNING))
        return false;
    // What the host sent the pump since the connection (the model keeps the last of it).
    const std::string text = pump_model(p).text_from_host(p->ThisCsm->Index, p->PumpNumber);
    const uint64_t since = pump_model(p).text_total_from_host(p->ThisCsm->Index, p->PumpNumber) - c.pump_text_before;
    const size_t from = since < text.size() ? text.size() - size_t(since) : 0;
    const bool asked = text.find(kStatisticsRequest, from) != std::string::npos;
    const std::string answer = pump_model(p).statistics_text(p->PumpNumber);
    if (asked && p->StatisticsLength == answer.size() &&
        std::memcmp(p->StatisticsText, answer.data(), answer.size()) == 0)
        lines_[c.line].statistics_read++;
    c.pump = nullptr;
    return true;
}

void Traffic::begin_clearing(Call& c)
{
    c.state = Call::State::Clearing;
    c.clearing_at = host_.now();
    switch (c.kind) {
    case CallKind::IsdnIncoming:
    case CallKind::ModemIncoming:
        if (c.have_key) c.clear_again = !far_.isdn[c.line]->clear_call(c.key) && !far_.isdn[c.line]->link_up();
        break;
    case CallKind::IsdnOutgoing:
    case CallKind::PeerIncoming:
    case CallKind::PeerOutgoing:
        locked([&] {
            c.l->DisconnectCause = DISCONNECT_CAUSE_TAPI_DROP;
            RSS_Disconnect(c.l, TERMINATE_TRANSFER | TERMINATE_CALL | LINK_DOWN);
        });
        break;
    case CallKind::RobbedBitIncoming:
        far_.robbed_bit[c.line]->clear(c.channel);
        break;
    }
}

bool Traffic::still_up(const Call& c) const
{
    if (c.l->ThisBChannel == nullptr || c.l->ChannelState != CHANNEL_STATE_ACTIVE) return false;
    if (sim::IsdnNetworkSide* net = far_.isdn[c.line]; net != nullptr && c.have_key) {
        auto info = net->call(c.key);
        return info && info->state == sim::NetState::Active;
    }
    if (sim::RobbedBitFarEnd* rb = far_.robbed_bit[c.line]; rb != nullptr)
        return rb->state(c.channel) == sim::RobbedBitFarEnd::State::Connected;
    return true;
}

void Traffic::take_indications()
{
    for (const auto& ind : na_->indications) {
        if (ind.status != NDIS_STATUS_TAPI_INDICATION || ind.buffer.size() < sizeof(NDIS_TAPI_EVENT)) continue;
        NDIS_TAPI_EVENT e;
        std::memcpy(&e, ind.buffer.data(), sizeof e);
        if (e.ulMsg != LINE_CALLSTATE || (e.ulParam1 != LINECALLSTATE_DISCONNECTED && e.ulParam1 != LINECALLSTATE_IDLE)) continue;
        for (auto& [id, c] : calls_)
            if (c->htcall != 0 && c->htcall == e.htCall) c->told = true;
    }
    na_->indications.clear();
}

void Traffic::done(Call& c, bool stuck)
{
    take_indications();
    // TAPI learns of a call's end from the driver; a driver-owned call's owner is the driver.
    if (c.htcall != 0 && !c.told) count(c, &CallCounters::untold);
    count_rest_lost(c);
    LineState& ls = *state_[c.line];
    if (!c.dropped && !c.failed && !stuck) {
        cleared_ids_.push_back(c.id);
        if (cleared_ids_.size() > kKeepClearedIds) cleared_ids_.pop_front();
    }
    // A call a fault ended is made again, so the line makes the calls of its plan.
    if (c.dropped && !plan_.full_load && ls.started > 0) ls.started--;
    // A call that would not clear keeps its channel and Link out of use.
    if (!stuck) {
        if (c.channel < ls.channel_busy.size()) ls.channel_busy[c.channel] = false;
        ls.link_busy[c.link] = false;
    }
    by_context_.erase(c.context);
    calls_.erase(c.id);
}

std::vector<uint8_t> Traffic::frame(const Call& c, bool to_far, uint32_t seq) const
{
    std::vector<uint8_t> f(std::max(plan_.frame_bytes, kHeader));
    f[0] = kMagic;
    f[1] = to_far ? 0 : 1;
    f[2] = uint8_t(c.id >> 8);
    f[3] = uint8_t(c.id);
    for (int i = 0; i < 4; i++) f[4 + i] = uint8_t(seq >> (24 - 8 * i));
    fill_pattern(f.data(), kHeader, f.size(), pattern_base(c.id, seq));
    return f;
}

bool Traffic::check(Call& c, bool to_far, const std::vector<uint8_t>& f)
{
    auto& d = lines_[c.line].data;
    const int dir = to_far ? 0 : 1;
    d.frames_received++;
    d.bytes_received += f.size();
    c.received_bytes[dir] += f.size();
    if (f.size() < kHeader || f[0] != kMagic || f[1] != (to_far ? 0 : 1) || ((f[2] << 8) | f[3]) != int(c.id)) {
        d.frames_corrupt++;
        return false;
    }
    const uint32_t seq = uint32_t(f[4]) << 24 | uint32_t(f[5]) << 16 | uint32_t(f[6]) << 8 | f[7];
    // The frames of a gap were lost, but for those the driver handed back unsent; older
    // frames than expected arrived out of order.
    const size_t size = std::max(plan_.frame_bytes, kHeader);
    if (seq > c.expect_seq[dir]) {
        uint64_t missing = seq - c.expect_seq[dir];
        if (dir == 0) {
            auto& back = c.handed_back;
            const uint32_t from = c.expect_seq[dir];
            auto passed = std::remove_if(back.begin(), back.end(), [seq](uint32_t s) { return s < seq; });
            missing -= std::min<uint64_t>(missing, uint64_t(std::count_if(passed, back.end(), [from](uint32_t s) { return s >= from; })));
            back.erase(passed, back.end());
        }
        count_lost(c, dir, missing * size);
    }
    bool whole = seq >= c.expect_seq[dir] && f.size() == size;
    whole = whole && has_pattern(f.data(), kHeader, f.size(), pattern_base(c.id, seq));
    c.expect_seq[dir] = std::max(c.expect_seq[dir], seq + 1);
    if (!whole) {
        d.frames_corrupt++;
        return false;
    }
    d.frames_verified++;
    d.bytes_verified += f.size();
    return true;
}

void Traffic::count_lost(Call& c, int dir, uint64_t bytes)
{
    c.lost_bytes[dir] += bytes;
    lines_[c.line].data.bytes_lost += bytes;
}

// At a call's end, what it sent and neither was received nor counted lost yet.
void Traffic::count_rest_lost(Call& c)
{
    for (int dir = 0; dir < 2; dir++)
        if (c.sent_bytes[dir] > c.received_bytes[dir] + c.lost_bytes[dir])
            count_lost(c, dir, c.sent_bytes[dir] - c.received_bytes[dir] - c.lost_bytes[dir]);
}

void Traffic::send_frames(Call& c)
{
    const plat::VTime now = host_.now();
    // At most a tick's worth at once, so a late tick does not burst.
    const bool echoed = c.kind == CallKind::PeerIncoming || c.kind == CallKind::PeerOutgoing;
    for (int k = 0; k < 4 && now >= c.next_send; k++) {
        if (!echoed) send_to_far(c);
        send_from_ndis(c);
        c.next_send += c.interval;
    }
    if (now >= c.next_send) c.next_send = now + c.interval;
}

void Traffic::send_to_far(Call& c)
{
    auto f = frame(c, false, c.next_seq[1]);
    if (c.kind == CallKind::ModemIncoming && !modems_[c.line]->send(c.channel, f)) return;
    c.next_seq[1]++;
    auto& d = lines_[c.line].data;
    d.frames_sent++;
    d.bytes_sent += f.size();
    c.sent_bytes[1] += f.size();
    if (c.kind != CallKind::ModemIncoming) card_.line(c.line).frame_to_adapter(1u << c.channel, f);
}

Traffic::Packet* Traffic::new_packet()
{
    constexpr size_t kSpareDepth = 1024;
    if (spare_.size() > kSpareDepth) {
        Packet* p = spare_.front();
        spare_.pop_front();
        return p;
    }
    auto pk = std::make_unique<Packet>();
    Packet* p = pk.get();
    packets_[&p->p] = std::move(pk);
    return p;
}

void Traffic::release(Packet* p)
{
    p->in_driver = false;
    spare_.push_back(p);
}

void Traffic::send_from_ndis(Call& c)
{
    Packet* pk = new_packet();
    pk->data = frame(c, true, c.next_seq[0]);
    pk->call = c.id;
    pk->seq = c.next_seq[0];
    pk->window = window_;
    pk->p = NDIS_WAN_PACKET{};
    pk->p.CurrentBuffer = pk->data.data();
    pk->p.CurrentLength = ULONG(pk->data.size());
    pk->in_driver = true;
    packets_outstanding_++;
    const size_t size = pk->data.size();
    auto& d = lines_[c.line].data;
    NDIS_STATUS s = host_.ndis().send(na_, c.l->LinkHandle, &pk->p);
    if (s == NDIS_STATUS_PENDING || s == NDIS_STATUS_SUCCESS) {
        packet_counts_.handed++;
        if (window_ != 0) windows_[window_].handed++;
        c.next_seq[0]++;
        d.frames_sent++;
        d.bytes_sent += size;
        c.sent_bytes[0] += size;
        if (s == NDIS_STATUS_SUCCESS) {
            packet_counts_.completed++;
            if (window_ != 0) windows_[window_].completed++;
            packets_outstanding_--;
            release(pk);
        }
    } else {
        d.sends_refused++;
        packets_outstanding_--;
        release(pk);
    }
}

void Traffic::far_received(unsigned line, uint32_t channels, const std::vector<uint8_t>& f)
{
    // The call on the channel the frame names; a call that ended in its setup may still
    // be counted out on a channel the driver has given to a newer one. A frame of no call
    // on the channel is checked against the first there, and counts as corrupt.
    const int named = f.size() >= kHeader ? (f[2] << 8) | f[3] : -1;
    Call* on_channel = nullptr;
    for (auto& [id, c] : calls_) {
        if (c->line != line || c->channel == 0 || channels != (1u << c->channel)) continue;
        if (on_channel == nullptr || int(c->id) == named) on_channel = c.get();
        if (int(c->id) == named) break;
    }
    if (on_channel == nullptr || on_channel->state == Call::State::Offered || on_channel->kind == CallKind::ModemIncoming)
        return;  // modem: the far modem's
    check(*on_channel, true, f);
}

void Traffic::modem_received(unsigned line, unsigned channel, const std::vector<uint8_t>& bytes)
{
    for (auto& [id, c] : calls_) {
        if (c->line != line || c->channel != channel || c->kind != CallKind::ModemIncoming) continue;
        if (c->state != Call::State::Offered) check(*c, true, bytes);
        return;
    }
}

void Traffic::ndis_received(const plat::ndis::Receive& r)
{
    auto it = by_context_.find(r.link_context);
    if (it == by_context_.end()) return;
    auto c = calls_.find(it->second);
    if (c == calls_.end()) return;
    // A call with an outside program hears back what its owner sent: the echo.
    const CallKind k = c->second->kind;
    check(*c->second, k == CallKind::PeerIncoming || k == CallKind::PeerOutgoing, r.data);
}

void Traffic::ndis_send_done(const plat::ndis::SendCompletion& s)
{
    auto it = packets_.find(s.packet);
    if (it == packets_.end()) {
        packet_counts_.unknown++;
        if (window_ != 0) windows_[window_].unknown++;
        return;
    }
    Packet& pk = *it->second;
    if (!pk.in_driver) {
        packet_counts_.completed_twice++;
        if (pk.window != 0) windows_[pk.window].completed_twice++;
        return;
    }
    packet_counts_.completed++;
    if (pk.window != 0) windows_[pk.window].completed++;
    packets_outstanding_--;
    if (s.status != NDIS_STATUS_SUCCESS) {
        auto c = calls_.find(it->second->call);
        if (c != calls_.end()) {
            // Handed back unsent: not lost, not sent.
            auto& d = lines_[c->second->line].data;
            const size_t size = it->second->data.size();
            d.frames_sent--;
            d.bytes_sent -= size;
            d.sends_refused++;
            c->second->sent_bytes[0] -= size;
            // Not lost when the far end sees the gap (one handed back after a later frame
            // arrived was counted lost already: the driver hands back only what it never sent).
            if (pk.seq >= c->second->expect_seq[0]) c->second->handed_back.push_back(pk.seq);
        }
    }
    release(it->second.get());
}

void Traffic::finish(plat::VTime limit, const std::function<void()>& between)
{
    stopping_ = true;
    const plat::VTime end = host_.now() + limit;
    while (!calls_.empty() && host_.now() < end) {
        host_.run_for(kTick);
        if (between) between();
    }
}

CallCounters Traffic::total_calls() const
{
    CallCounters t;
    for (const auto& l : lines_) t.add(l.calls);
    return t;
}

DataCounters Traffic::total_data() const
{
    DataCounters t;
    for (const auto& l : lines_) t.add(l.data);
    return t;
}

size_t Traffic::active_calls() const { return calls_.size(); }

uint32_t Traffic::open_packet_window()
{
    window_ = ++last_window_;
    windows_[window_] = {};
    return window_;
}

PacketCounters Traffic::packet_window(uint32_t window) const
{
    auto it = windows_.find(window);
    return it != windows_.end() ? it->second : PacketCounters{};
}

size_t Traffic::dropped_calls_clearing() const
{
    size_t n = 0;
    for (const auto& [id, c] : calls_) n += c->dropped && c->state == Call::State::Clearing;
    return n;
}

bool Traffic::cleared_by_plan(uint32_t id) const
{
    return std::find(cleared_ids_.begin(), cleared_ids_.end(), id) != cleared_ids_.end();
}

void Traffic::count_dropped(Call& c)
{
    count(c, &CallCounters::dropped);
    dropped_ids_.push_back(c.id);
    if (dropped_ids_.size() > kKeepClearedIds) dropped_ids_.pop_front();
}

bool Traffic::dropped_by_fault(uint32_t id) const
{
    return std::find(dropped_ids_.begin(), dropped_ids_.end(), id) != dropped_ids_.end();
}

uint64_t Traffic::total_statistics_read() const
{
    uint64_t n = 0;
    for (const auto& l : lines_) n += l.statistics_read;
    return n;
}

size_t Traffic::idle_channels() const
{
    size_t idle = 0;
    for (unsigned n = 0; n < state_.size(); n++)
        if (lines_[n].carries_calls)
            for (unsigned ch : state_[n]->channels) idle += !state_[n]->channel_busy[ch];
    return idle;
}

std::vector<uint32_t> Traffic::connected_ids() const
{
    std::vector<uint32_t> ids;
    for (const auto& [id, c] : calls_)
        if (c->state == Call::State::Connected) ids.push_back(id);
    return ids;
}

void Traffic::abandon()
{
    stopping_ = true;
    host_.sched.cancel(tick_event_);
    tick_event_ = 0;
    take_indications();
    for (auto& [id, c] : calls_) {
        if (c->state == Call::State::Connected || c->state == Call::State::Draining) count_dropped(*c);
        // A caller still waiting for the adapter to answer hangs up: nobody is left to
        // take its call should the network offer it again.
        if (c->state == Call::State::Offered && c->have_key &&
            (c->kind == CallKind::IsdnIncoming || c->kind == CallKind::ModemIncoming))
            far_.isdn[c->line]->clear_call(c->key);
        count_rest_lost(*c);
    }
    calls_.clear();
    by_context_.clear();
}

std::vector<std::string> Traffic::check_links()
{
    std::vector<std::string> problems;
    for (unsigned n = 0; n < lines_.size() && n < a_->NumberOfGroups; n++) {
        if (!lines_[n].carries_calls) continue;
        for (unsigned i = 0; i < a_->LinksPerGroup[n] && i < MAX_LINKS_PER_GROUP; i++) {
            Link* l = &a_->NdisWanInfo[n][i];
            if (l->ThisBChannel == nullptr || l->IsDChannelLink == 1) continue;
            bool known = false;
            for (const auto& [id, c] : calls_) known = known || c->l == l;
            // The stack is asked about the call the Link is bound to: a freed record shows.
            ULONG channel = 0;
            locked([&] {
                if (a_->SgnlProtocolOps[n].Control != NULL)
                    channel = a_->SgnlProtocolOps[n].Control(CTL_KIND_CALL, CTL_CALL_CHANNEL, l->ThisBChannel, 0);
            });
            if (!known)
                problems.push_back("line " + std::to_string(n) + " Link " + std::to_string(i) + " is bound to a call on channel " +
                                   std::to_string(channel) + " that neither end is making");
        }
    }
    return problems;
}

size_t Traffic::connected_calls() const
{
    size_t n = 0;
    for (const auto& [id, c] : calls_) n += c->state == Call::State::Connected;
    return n;
}

}  // namespace rig
