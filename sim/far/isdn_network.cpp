#include "sim/far/isdn_network.h"

#include <algorithm>
#include <cstdio>

#include "platform/host/history.h"

namespace sim {

using q931::MsgType;
namespace cause = q931::cause;

// ---------------------------------------------------------------------------------
// Switch variants

namespace {

// variant, name, STATUS cause, exclusive, CALL PROCEEDING, change channel, PI in ALERTING,
// PI in DISCONNECT, display, North American numbers, sending complete
const VariantProfile kProfiles[] = {
    {SwitchVariant::Ess5, "5ESS", 0x62, true, true, true, false, true, false, true, false},
    {SwitchVariant::Ni1, "NI-1", 0x65, true, true, true, true, true, false, true, false},
    {SwitchVariant::Dms100, "DMS100", 0x65, true, true, false, true, true, true, true, false},
    {SwitchVariant::EuroIsdn, "Euro ISDN", 0x65, false, true, true, false, false, false, false, true},
    {SwitchVariant::Vn4, "VN4", 0x65, false, true, true, false, false, false, false, true},
};

constexpr uint32_t bit(NetState s) { return 1u << unsigned(s); }
constexpr uint32_t kAllStates = ~0u;

std::string hex_bytes(const std::vector<uint8_t>& b, size_t max = 24)
{
    std::string s;
    char t[4];
    for (size_t i = 0; i < b.size() && i < max; i++) {
        std::snprintf(t, sizeof t, "%02X", b[i]);
        if (i) s += ' ';
        s += t;
    }
    if (b.size() > max) s += " ...";
    return s;
}

bool is_speech(const q931::Bearer& b) { return b.capability == 0x00 || b.capability == 0x10; }

uint8_t mod(int v) { return uint8_t(((v % 128) + 128) % 128); }

}  // namespace

const VariantProfile& variant_profile(SwitchVariant v)
{
    for (const VariantProfile& p : kProfiles)
        if (p.variant == v) return p;
    return kProfiles[3];  // any other value: Euro ISDN
}

const char* net_state_name(NetState s)
{
    switch (s) {
    case NetState::Null: return "N0 null";
    case NetState::CallInitiated: return "N1 call initiated";
    case NetState::OutgoingProceeding: return "N3 outgoing call proceeding";
    case NetState::CallDelivered: return "N4 call delivered";
    case NetState::CallPresent: return "N6 call present";
    case NetState::CallReceived: return "N7 call received";
    case NetState::ConnectRequest: return "N8 connect request";
    case NetState::IncomingProceeding: return "N9 incoming call proceeding";
    case NetState::Active: return "N10 active";
    case NetState::DisconnectRequest: return "N11 disconnect request";
    case NetState::DisconnectIndication: return "N12 disconnect indication";
    case NetState::ReleaseRequest: return "N19 release request";
    }
    return "N?";
}

const char* l2_state_name(L2State s)
{
    switch (s) {
    case L2State::Released: return "released";
    case L2State::AwaitingEstablishment: return "awaiting establishment";
    case L2State::AwaitingRelease: return "awaiting release";
    case L2State::Established: return "multiple frame established";
    case L2State::TimerRecovery: return "timer recovery";
    }
    return "?";
}

// ---------------------------------------------------------------------------------
// pcap, link type LINUX_LAPD

namespace {
void le32(std::vector<uint8_t>& o, uint32_t v)
{
    for (int i = 0; i < 4; i++) o.push_back(uint8_t(v >> (8 * i)));
}
void le16(std::vector<uint8_t>& o, uint16_t v)
{
    o.push_back(uint8_t(v));
    o.push_back(uint8_t(v >> 8));
}
void be16(std::vector<uint8_t>& o, uint16_t v)
{
    o.push_back(uint8_t(v >> 8));
    o.push_back(uint8_t(v));
}
}  // namespace

std::vector<uint8_t> LapdPcapWriter::file_header()
{
    std::vector<uint8_t> h;
    le32(h, 0xA1B2C3D4);  // microsecond time stamps
    le16(h, 2);
    le16(h, 4);
    le32(h, 0);  // this zone
    le32(h, 0);  // sigfigs
    le32(h, 65535);
    le32(h, kLinkType);
    return h;
}

std::vector<uint8_t> LapdPcapWriter::record(plat::VTime t, bool sent_by_network, const std::vector<uint8_t>& frame)
{
    std::vector<uint8_t> r;
    uint32_t len = uint32_t(16 + frame.size());
    le32(r, uint32_t(t / 1000000));
    le32(r, uint32_t(t % 1000000));
    le32(r, len);
    le32(r, len);
    be16(r, sent_by_network ? 4 : 0);  // packet type: sent by us / to us
    be16(r, 0);                        // ARPHRD type: unused
    be16(r, 1);                        // link-layer address length
    r.push_back(1);                    // link-layer address: we are the network side
    r.insert(r.end(), 7, 0);
    be16(r, 0x0030);                   // protocol: LAPD
    r.insert(r.end(), frame.begin(), frame.end());
    return r;
}

bool LapdPcapWriter::open(const std::string& path)
{
    out_.open(path, std::ios::binary | std::ios::trunc);
    if (!out_) return false;
    ng_ = false;
    auto h = file_header();
    out_.write(reinterpret_cast<const char*>(h.data()), std::streamsize(h.size()));
    out_.flush();
    return bool(out_);
}

bool LapdPcapWriter::open(const std::string& path, const std::vector<std::string>& interfaces)
{
    out_.open(path, std::ios::binary | std::ios::trunc);
    if (!out_) return false;
    ng_ = true;
    interfaces_ = interfaces.size();
    auto h = section_header();
    for (const auto& name : interfaces) {
        auto i = interface_block(name);
        h.insert(h.end(), i.begin(), i.end());
    }
    out_.write(reinterpret_cast<const char*>(h.data()), std::streamsize(h.size()));
    out_.flush();
    return bool(out_);
}

void LapdPcapWriter::write(plat::VTime t, bool sent_by_network, const std::vector<uint8_t>& frame, uint32_t interface)
{
    if (!out_.is_open()) return;
    if (ng_ && interface >= interfaces_) return;  // no such interface: the file would not read
    auto r = ng_ ? packet_block(t, sent_by_network, frame, interface) : record(t, sent_by_network, frame);
    out_.write(reinterpret_cast<const char*>(r.data()), std::streamsize(r.size()));
    out_.flush();
}

namespace {

// A pcapng block: type, total length, body (padded to 32 bits), total length again.
std::vector<uint8_t> ng_block(uint32_t type, std::vector<uint8_t> body)
{
    body.resize((body.size() + 3) & ~size_t(3), 0);
    std::vector<uint8_t> b;
    const uint32_t total = uint32_t(12 + body.size());
    le32(b, type);
    le32(b, total);
    b.insert(b.end(), body.begin(), body.end());
    le32(b, total);
    return b;
}

}  // namespace

std::vector<uint8_t> LapdPcapWriter::section_header()
{
    std::vector<uint8_t> body;
    le32(body, 0x1A2B3C4D);  // byte-order magic
    le16(body, 1);
    le16(body, 0);
    le32(body, 0xFFFFFFFF);  // section length: not given
    le32(body, 0xFFFFFFFF);
    return ng_block(0x0A0D0D0A, body);
}

std::vector<uint8_t> LapdPcapWriter::interface_block(const std::string& name)
{
    std::vector<uint8_t> body;
    le16(body, uint16_t(kLinkType));
    le16(body, 0);
    le32(body, 65535);  // snap length
    // if_name, then the end of options; time stamps in microseconds (the default).
    const std::string n = name.substr(0, 255);
    le16(body, 2);
    le16(body, uint16_t(n.size()));
    body.insert(body.end(), n.begin(), n.end());
    body.resize((body.size() + 3) & ~size_t(3), 0);
    le16(body, 0);
    le16(body, 0);
    return ng_block(0x00000001, body);
}

std::vector<uint8_t> LapdPcapWriter::packet_block(plat::VTime t, bool sent_by_network, const std::vector<uint8_t>& frame,
                                                  uint32_t interface)
{
    // The record's LAPD header and frame, as the classic file has them after its record header.
    const std::vector<uint8_t> r = record(t, sent_by_network, frame);
    const std::vector<uint8_t> data(r.begin() + 16, r.end());
    std::vector<uint8_t> body;
    le32(body, interface);
    le32(body, uint32_t(uint64_t(t) >> 32));
    le32(body, uint32_t(t));
    le32(body, uint32_t(data.size()));
    le32(body, uint32_t(data.size()));
    body.insert(body.end(), data.begin(), data.end());
    return ng_block(0x00000006, body);
}

// ---------------------------------------------------------------------------------
// Construction, frames in and out

IsdnNetworkSide::IsdnNetworkSide(plat::Host& host, Line& line, IsdnNetworkConfig config)
    : host_(host),
      line_(line),
      cfg_(config),
      profile_(&variant_profile(config.variant)),
      mask_(config.d_channel_mask != 0 ? config.d_channel_mask : 1u << (config.e1 ? 16 : 24)),
      self_(std::make_shared<IsdnNetworkSide*>(this))
{
    if (cfg_.k == 0 || cfg_.k > 127) cfg_.k = 7;
    std::weak_ptr<IsdnNetworkSide*> weak = self_;
    line_.on_frame_from_adapter([weak](uint32_t channels, const std::vector<uint8_t>& f) {
        if (auto s = weak.lock()) (*s)->from_line(channels, f);
    });
    line_.on_condition([weak] {
        if (auto s = weak.lock()) (*s)->on_condition();
    });
    const LineCondition& c = line_.condition();
    layer1_up_ = c.signal && c.framed && !c.ais;
    if (layer1_up_) arm_keep_up(cfg_.keep_link_up);
}

IsdnNetworkSide::~IsdnNetworkSide()
{
    self_.reset();
    stop(t200_);
    stop(t203_);
    stop(keep_up_);
    stop(flush_timer_);
    stop(restart_.timer);
    for (auto& [k, c] : calls_) {
        stop(c.timer);
        stop(c.policy_timer);
    }
}

bool IsdnNetworkSide::is_bearer_channel(unsigned ch) const
{
    if (cfg_.e1) return ch >= 1 && ch <= 31 && ch != 16;
    return ch >= 1 && ch <= 23;
}

void IsdnNetworkSide::emit(IsdnEvent e)
{
    e.time = host_.now();
    plat::push_bounded(log_, std::move(e), log_limit_);
    for (auto& o : observers_) o(log_.back());
}

void IsdnNetworkSide::note(const std::string& text) { emit({IsdnEvent::Kind::Note, 0, text, {}, l2_, {}, {}}); }

void IsdnNetworkSide::start(Timer& t, plat::VTime dt, std::function<void()> fn)
{
    stop(t);
    t.id = host_.sched.after(dt, std::move(fn));
}

void IsdnNetworkSide::stop(Timer& t)
{
    if (t.id != 0) host_.sched.cancel(t.id);
    t.id = 0;
}

bool IsdnNetworkSide::running(const Timer& t) const { return t.id != 0 && host_.sched.pending(t.id); }

void IsdnNetworkSide::on_condition()
{
    const LineCondition& c = line_.condition();
    bool up = c.signal && c.framed && !c.ais;
    if (up == layer1_up_) return;
    layer1_up_ = up;
    note(up ? "layer 1 up" : "layer 1 lost");
    if (up) arm_keep_up(cfg_.keep_link_up);
    if (!up) {
        out_.clear();
        stop(flush_timer_);
        if (l2_ != L2State::Released) {
            set_l2(L2State::Released);
            released("layer 1 lost");
        }
    }
}

void IsdnNetworkSide::send_frame(std::vector<uint8_t> frame)
{
    if (!layer1_up_) return;
    ++counters_.frames_out;
    std::string what = hex_bytes(frame);
    if (auto f = lapd::parse(frame)) what = lapd::describe(*f) + ": " + what;
    emit({IsdnEvent::Kind::FrameOut, 0, what, {}, l2_, {}, {}});
    if (pcap_ != nullptr) pcap_->write(host_.now(), true, frame, pcap_interface_);
    bool i_frame = frame.size() >= 4 && (frame[2] & 1) == 0;
    auto f = std::find_if(faults_.begin(), faults_.end(), [i_frame](const Fault& x) { return i_frame || !x.i_frames_only; });
    if (f == faults_.end()) {
        deliver(std::move(frame));
    } else {
        FrameFault fault = f->fault;
        faults_.erase(f);
        switch (fault) {
        case FrameFault::Drop: note("fault: frame dropped"); break;
        case FrameFault::Duplicate:
            note("fault: frame duplicated");
            deliver(frame);
            deliver(std::move(frame));
            break;
        case FrameFault::Reorder:
            note("fault: frame held back");
            held_ = std::move(frame);
            return;  // goes out behind the next one
        case FrameFault::Runt:
            note("fault: frame cut to two octets");
            frame.resize(2);
            deliver(std::move(frame));
            break;
        }
    }
    if (held_) {
        auto h = std::move(*held_);
        held_.reset();
        deliver(std::move(h));
    }
}

void IsdnNetworkSide::deliver(std::vector<uint8_t> frame)
{
    out_.push_back({host_.now() + cfg_.turnaround, std::move(frame)});
    if (!running(flush_timer_)) start(flush_timer_, cfg_.turnaround, [this] { flush(); });
}

void IsdnNetworkSide::inject(FrameFault fault, bool i_frames_only) { faults_.push_back({fault, i_frames_only}); }

void IsdnNetworkSide::withhold_acknowledgement(bool on)
{
    if (on && !withhold_) given_nr_ = vr_;
    withhold_ = on;
}

// The N(R) a frame carries: V(R), unless acknowledgements are withheld; the answer to
// a poll always gives V(R) and ends the withholding.
uint8_t IsdnNetworkSide::nr_to_send(bool poll_answer)
{
    if (poll_answer && withhold_) {
        withhold_ = false;
        note("poll answered: acknowledgements no longer withheld");
    }
    if (!withhold_) given_nr_ = vr_;
    return given_nr_;
}

void IsdnNetworkSide::flush()
{
    size_t n = 0;
    while (n < out_.size() && out_[n].due <= host_.now()) n++;
    std::vector<Out> due(std::make_move_iterator(out_.begin()), std::make_move_iterator(out_.begin() + long(n)));
    out_.erase(out_.begin(), out_.begin() + long(n));
    if (!out_.empty()) start(flush_timer_, out_.front().due - host_.now(), [this] { flush(); });
    for (auto& o : due) line_.frame_to_adapter(mask_, o.frame);
}

void IsdnNetworkSide::send_u(lapd::UType type, bool command, bool pf)
{
    send_frame(lapd::build_u(lapd::kSapiCallControl, command, cfg_.tei, type, pf));
}

void IsdnNetworkSide::send_s(lapd::SType type, bool command, bool pf)
{
    if (type == lapd::SType::Rej) ++counters_.rej_out;
    send_frame(lapd::build_s(lapd::kSapiCallControl, command, cfg_.tei, type, nr_to_send(!command && pf), pf));
}

void IsdnNetworkSide::from_line(uint32_t channels, const std::vector<uint8_t>& bytes)
{
    if ((channels & ~mask_) != 0) bridge(channels & ~mask_, bytes);
    if ((channels & mask_) == 0) return;
    ++counters_.frames_in;
    if (pcap_ != nullptr) pcap_->write(host_.now(), false, bytes, pcap_interface_);
    if (!layer1_up_) {
        ++counters_.ignored;
        return;
    }
    std::string why;
    auto f = lapd::parse(bytes, &why);
    if (!f) {
        ++counters_.malformed;
        emit({IsdnEvent::Kind::Malformed, 0, why + ": " + hex_bytes(bytes), {}, l2_, {}, {}});
        // A frame for this link with a bad control field or length breaks the
        // multiple-frame procedure: re-establish.
        bool ours = bytes.size() >= 3 && (bytes[0] >> 2) == lapd::kSapiCallControl && (bytes[1] >> 1) == cfg_.tei &&
                    (bytes[0] & 1) == 0 && (bytes[1] & 1) == 1;
        if (ours && link_up()) reestablish("frame error");
        return;
    }
    emit({IsdnEvent::Kind::FrameIn, 0, lapd::describe(*f) + ": " + hex_bytes(bytes), {}, l2_, {}, {}});
    if (f->sapi == lapd::kSapiManagement) {
        tei_management(*f);
        return;
    }
    if (f->sapi != lapd::kSapiCallControl || f->tei != cfg_.tei) {
        ++counters_.ignored;
        return;
    }
    switch (f->kind) {
    case lapd::Frame::Kind::I: on_i(*f); break;
    case lapd::Frame::Kind::S: on_s(*f); break;
    case lapd::Frame::Kind::U: on_u(*f); break;
    }
    // Layer 3 runs after the frame is taken; its answers may carry the acknowledgement.
    while (!delivered_.empty()) {
        auto info = std::move(delivered_.front());
        delivered_.erase(delivered_.begin());
        on_message(info);
    }
    try_send_i();
    if (ack_pending_ && link_up() && !withhold_ && !piggyback_) {
        ack_pending_ = false;
        send_s(own_busy_ ? lapd::SType::Rnr : lapd::SType::Rr, false, false);
    }
}

// TEI management: identity requests are answered with the configured TEI, unless the
// network is told to ignore them.
void IsdnNetworkSide::tei_management(const lapd::Frame& f)
{
    const auto& in = f.info;
    if (f.kind != lapd::Frame::Kind::U || f.u != uint8_t(lapd::UType::Ui) || f.tei != lapd::kTeiGroup ||
        in.size() < 5 || in[0] != 0x0F) {
        ++counters_.malformed;
        emit({IsdnEvent::Kind::Malformed, 0, "TEI management frame not understood", {}, l2_, {}, {}});
        return;
    }
    uint8_t type = in[3];
    if (type == 1) {  // identity request
        ++counters_.identity_requests;
        if (cfg_.ignore_identity_requests) {
            note("TEI identity request ignored");
            return;
        }
        std::vector<uint8_t> ans = {0x0F, in[1], in[2], 0x02, uint8_t(cfg_.tei << 1 | 1)};
        note("TEI " + std::to_string(cfg_.tei) + " assigned");
        send_frame(lapd::build_u(lapd::kSapiManagement, true, lapd::kTeiGroup, lapd::UType::Ui, false, ans));
    } else if (type == 5) {
        note("TEI check response, TEI " + std::to_string(in[4] >> 1));
    } else {
        ++counters_.ignored;
        note("TEI management message " + std::to_string(type) + " ignored");
    }
}

// ---------------------------------------------------------------------------------
// Layer 2

void IsdnNetworkSide::set_l2(L2State s)
{
    if (s == l2_) return;
    l2_ = s;
    emit({IsdnEvent::Kind::Layer2, 0, l2_state_name(s), {}, s, {}, {}});
}

void IsdnNetworkSide::reset_variables()
{
    vs_ = va_ = vr_ = given_nr_ = 0;
    peer_busy_ = reject_ = ack_pending_ = false;
    unacked_.clear();
}

void IsdnNetworkSide::establish()
{
    if (!layer1_up_ || l2_ != L2State::Released) return;
    reset_variables();
    rc_ = 0;
    send_u(lapd::UType::Sabme, true, true);
    start(t200_, cfg_.t200, [this] { t200_expired(); });
    set_l2(L2State::AwaitingEstablishment);
}

void IsdnNetworkSide::release()
{
    if (!link_up()) return;
    rc_ = 0;
    stop(t203_);
    unacked_.clear();
    pending_.clear();
    send_u(lapd::UType::Disc, true, true);
    start(t200_, cfg_.t200, [this] { t200_expired(); });
    set_l2(L2State::AwaitingRelease);
}

void IsdnNetworkSide::set_receiver_busy(bool busy)
{
    if (busy == own_busy_) return;
    own_busy_ = busy;
    if (link_up()) send_s(busy ? lapd::SType::Rnr : lapd::SType::Rr, false, false);
}

void IsdnNetworkSide::reestablish(const char* why)
{
    ++counters_.reestablishments;
    note(std::string("re-establishing: ") + why);
    verify_calls_ = true;
    reset_variables();
    rc_ = 0;
    stop(t203_);
    send_u(lapd::UType::Sabme, true, true);
    start(t200_, cfg_.t200, [this] { t200_expired(); });
    set_l2(L2State::AwaitingEstablishment);
}

void IsdnNetworkSide::established()
{
    stop(t200_);
    start(t203_, cfg_.t203, [this] { t203_expired(); });
    set_l2(L2State::Established);
    // After a failure of the link the user may have lost its calls: each is asked after
    // (Q.931 5.8.9); a user that no longer knows one answers so, and the call is cleared.
    if (verify_calls_) {
        verify_calls_ = false;
        std::vector<CallKey> keys;
        for (const auto& [key, c] : calls_)
            if (c.info.state == NetState::Active) keys.push_back(key);
        for (const auto& key : keys) status_enquiry(key);
    }
}

void IsdnNetworkSide::arm_keep_up(plat::VTime after)
{
    if (cfg_.keep_link_up == 0) return;
    start(keep_up_, after, [this] {
        if (!layer1_up_) return;
        if (l2_ == L2State::Released) establish();
        arm_keep_up(cfg_.keep_link_up);
    });
}

void IsdnNetworkSide::released(const char* why)
{
    note(std::string("layer 2 released: ") + why);
    stop(t200_);
    stop(t203_);
    unacked_.clear();
    pending_.clear();
    delivered_.clear();
    stop(restart_.timer);
    restart_.active = false;
    while (!calls_.empty()) drop(calls_.begin()->second, "layer 2 released");
}

// N(R) must lie between V(A) and the highest N(S) sent.
bool IsdnNetworkSide::nr_valid(uint8_t nr) const { return mod(nr - va_) <= unacked_.size(); }

void IsdnNetworkSide::acknowledge(uint8_t nr)
{
    unsigned n = mod(nr - va_);
    unacked_.erase(unacked_.begin(), unacked_.begin() + long(std::min<size_t>(n, unacked_.size())));
    if (mod(vs_ - va_) < n) vs_ = nr;
    va_ = nr;
}

void IsdnNetworkSide::ack_in_established(uint8_t nr)
{
    if (peer_busy_) {
        acknowledge(nr);
    } else if (nr == vs_) {
        acknowledge(nr);
        stop(t200_);
        start(t203_, cfg_.t203, [this] { t203_expired(); });
    } else if (nr != va_) {
        acknowledge(nr);
        start(t200_, cfg_.t200, [this] { t200_expired(); });
    }
}

void IsdnNetworkSide::on_u(const lapd::Frame& f)
{
    bool command = !f.cr;  // the user sends commands with C/R 0
    using U = lapd::UType;
    switch (U(f.u)) {
    case U::Sabme:
        if (!command) break;
        if (l2_ == L2State::AwaitingRelease) {
            send_u(U::Dm, false, f.pf);
        } else if (l2_ == L2State::AwaitingEstablishment) {
            send_u(U::Ua, false, f.pf);  // both sides asked: the UA to ours completes it
        } else {
            if (l2_ != L2State::Released) {
                // The user may have lost its calls with the link (an adapter started again).
                note("link re-established by the user");
                verify_calls_ = true;
            }
            send_u(U::Ua, false, f.pf);
            reset_variables();
            established();
        }
        return;
    case U::Disc:
        if (!command) break;
        if (l2_ == L2State::Released || l2_ == L2State::AwaitingEstablishment) {
            send_u(U::Dm, false, f.pf);
        } else if (l2_ == L2State::AwaitingRelease) {
            send_u(U::Ua, false, f.pf);
        } else {
            send_u(U::Ua, false, f.pf);
            set_l2(L2State::Released);
            released("DISC from the user");
        }
        return;
    case U::Ua:
        if (command || !f.pf) break;
        if (l2_ == L2State::AwaitingEstablishment) {
            reset_variables();
            established();
            return;
        }
        if (l2_ == L2State::AwaitingRelease) {
            set_l2(L2State::Released);
            released("UA to DISC");
            return;
        }
        break;
    case U::Dm:
        if (command) break;
        if (f.pf && (l2_ == L2State::AwaitingEstablishment || l2_ == L2State::AwaitingRelease)) {
            set_l2(L2State::Released);
            released("DM from the user");
            return;
        }
        if (!f.pf && link_up()) {
            reestablish("DM in multiple-frame operation");
            return;
        }
        break;
    case U::Frmr:
        ++counters_.frmr_in;
        if (link_up()) {
            reestablish("FRMR from the user");
            return;
        }
        break;
    case U::Ui:
        note("UI on SAPI 0: " + hex_bytes(f.info));
        break;
    case U::Xid: break;
    }
    ++counters_.ignored;
}

void IsdnNetworkSide::on_s(const lapd::Frame& f)
{
    bool command = !f.cr;
    if (f.s == lapd::SType::Rr) ++counters_.rr_in;
    if (f.s == lapd::SType::Rnr) ++counters_.rnr_in;
    if (f.s == lapd::SType::Rej) ++counters_.rej_in;
    if (!link_up()) {
        if (l2_ == L2State::Released && command && f.pf) send_u(lapd::UType::Dm, false, true);
        ++counters_.ignored;
        return;
    }
    if (!nr_valid(f.nr)) {
        ++counters_.malformed;
        reestablish("N(R) error");
        return;
    }
    peer_busy_ = f.s == lapd::SType::Rnr;
    if (command && f.pf) send_s(own_busy_ ? lapd::SType::Rnr : lapd::SType::Rr, false, true);
    if (l2_ == L2State::Established) {
        if (!command && f.pf) note("unsolicited F=1");
        if (f.s == lapd::SType::Rej) {
            acknowledge(f.nr);
            vs_ = f.nr;  // send again from N(R)
            stop(t200_);
            start(t203_, cfg_.t203, [this] { t203_expired(); });
        } else if (f.s == lapd::SType::Rnr) {
            acknowledge(f.nr);
            stop(t203_);
            if (!running(t200_)) start(t200_, cfg_.t200, [this] { t200_expired(); });
        } else {
            ack_in_established(f.nr);
        }
        return;
    }
    // timer recovery: only a response with F = 1 ends it
    acknowledge(f.nr);
    if (!command && f.pf) {
        stop(t200_);
        vs_ = f.nr;
        if (peer_busy_) {
            set_l2(L2State::Established);
            start(t200_, cfg_.t200, [this] { t200_expired(); });
        } else {
            established();
        }
    }
}

void IsdnNetworkSide::on_i(const lapd::Frame& f)
{
    if (f.cr) {  // I-frames are commands; from the user C/R is 0
        ++counters_.malformed;
        note("I-frame with the C/R bit of a response");
        return;
    }
    ++counters_.i_in;
    if (!link_up()) {
        if (l2_ == L2State::Released && f.pf) send_u(lapd::UType::Dm, false, true);
        ++counters_.ignored;
        return;
    }
    if (!nr_valid(f.nr)) {
        ++counters_.malformed;
        reestablish("N(R) error");
        return;
    }
    if (own_busy_) {
        if (f.pf) send_s(lapd::SType::Rnr, false, true);
    } else if (f.ns == vr_) {
        vr_ = mod(vr_ + 1);
        reject_ = false;
        delivered_.push_back(f.info);
        if (f.pf) {
            send_s(lapd::SType::Rr, false, true);
        } else {
            ack_pending_ = true;
        }
    } else if (reject_) {
        if (f.pf) send_s(lapd::SType::Rr, false, true);
    } else {
        reject_ = true;
        send_s(lapd::SType::Rej, false, f.pf);
    }
    if (l2_ == L2State::Established) {
        ack_in_established(f.nr);
    } else {
        acknowledge(f.nr);
    }
}

void IsdnNetworkSide::enquiry()
{
    send_s(own_busy_ ? lapd::SType::Rnr : lapd::SType::Rr, true, true);
    start(t200_, cfg_.t200, [this] { t200_expired(); });
}

void IsdnNetworkSide::t200_expired()
{
    ++counters_.t200_expiries;
    switch (l2_) {
    case L2State::AwaitingEstablishment:
    case L2State::AwaitingRelease:
        if (rc_ < cfg_.n200) {
            rc_++;
            bool sabme = l2_ == L2State::AwaitingEstablishment;
            send_u(sabme ? lapd::UType::Sabme : lapd::UType::Disc, true, true);
            start(t200_, cfg_.t200, [this] { t200_expired(); });
        } else {
            set_l2(L2State::Released);
            released("N200 retries unanswered");
        }
        break;
    case L2State::Established:
        rc_ = 0;
        enquiry();
        rc_++;
        set_l2(L2State::TimerRecovery);
        break;
    case L2State::TimerRecovery:
        if (rc_ >= cfg_.n200) {
            reestablish("N200 enquiries unanswered");
        } else {
            enquiry();
            rc_++;
        }
        break;
    case L2State::Released: break;
    }
}

void IsdnNetworkSide::t203_expired()
{
    if (l2_ != L2State::Established) return;
    rc_ = 0;
    enquiry();
    set_l2(L2State::TimerRecovery);
}

void IsdnNetworkSide::try_send_i()
{
    while (l2_ == L2State::Established && !peer_busy_) {
        size_t idx = mod(vs_ - va_);
        const std::vector<uint8_t>* info;
        if (idx < unacked_.size()) {
            ++counters_.retransmitted;
            info = &unacked_[idx];
        } else {
            if (pending_.empty() || idx >= cfg_.k) break;
            unacked_.push_back(std::move(pending_.front()));
            pending_.erase(pending_.begin());
            info = &unacked_.back();
        }
        ++counters_.i_out;
        send_frame(lapd::build_i(lapd::kSapiCallControl, true, cfg_.tei, vs_, nr_to_send(false), false, *info));
        vs_ = mod(vs_ + 1);
        ack_pending_ = false;
        if (!running(t200_)) {
            stop(t203_);
            start(t200_, cfg_.t200, [this] { t200_expired(); });
        }
    }
}

bool IsdnNetworkSide::queue_message(const q931::Message& m)
{
    if (l2_ == L2State::Released || l2_ == L2State::AwaitingRelease) {
        note("not sent, layer 2 down: " + q931::dump(m));
        return false;
    }
    ++counters_.messages_out;
    IsdnEvent e{IsdnEvent::Kind::MessageOut, 0, q931::dump(m), m, l2_, {}, {}};
    if (!m.global()) e.call = CallKey{m.cr, m.cr_flag};
    emit(e);
    pending_.push_back(q931::encode(m));
    try_send_i();
    return true;
}

// ---------------------------------------------------------------------------------
// Layer 3: records and sending

IsdnNetworkSide::Call* IsdnNetworkSide::find(CallKey key)
{
    auto it = calls_.find(key);
    return it == calls_.end() ? nullptr : &it->second;
}

IsdnNetworkSide::Call* IsdnNetworkSide::find_channel(unsigned channel)
{
    for (auto& [k, c] : calls_)
        if (c.info.channel == channel) return &c;
    return nullptr;
}

int IsdnNetworkSide::free_channel() const
{
    for (unsigned ch = 1; ch <= (cfg_.e1 ? 31u : 23u); ch++) {
        if (!is_bearer_channel(ch)) continue;
        bool used = std::any_of(calls_.begin(), calls_.end(), [ch](const auto& kv) { return kv.second.info.channel == ch; });
        if (!used) return int(ch);
    }
    return -1;
}

void IsdnNetworkSide::set_state(Call& c, NetState s)
{
    if (c.info.state == s) return;
    c.info.state = s;
    IsdnEvent e{IsdnEvent::Kind::CallState, 0, std::string("channel ") + std::to_string(c.info.channel) + ": " + net_state_name(s), {}, l2_, c.info.key, s};
    emit(e);
}

void IsdnNetworkSide::drop(Call& c, const char* why)
{
    clear_other_leg(c, c.info.last_cause != 0 ? c.info.last_cause : cause::kNormalClearing);
    stop(c.timer);
    stop(c.policy_timer);
    note(std::string("call on channel ") + std::to_string(c.info.channel) + " cleared: " + why);
    set_state(c, NetState::Null);
    calls_.erase(c.info.key);
}

q931::Message IsdnNetworkSide::msg_for(const Call& c, MsgType type) const
{
    // The network's messages carry flag 1 for a reference the user allocated.
    return q931::make(type, c.info.key.ref, c.info.key.user_originated);
}

bool IsdnNetworkSide::send_call(Call&, q931::Message m) { return queue_message(m); }

void IsdnNetworkSide::send_release_complete(CallKey key, uint8_t value)
{
    q931::Message m = q931::make(MsgType::ReleaseComplete, key.ref, key.user_originated);
    if (value != 0) m.cause = q931::Cause{0x02, value, {}};
    queue_message(m);
}

void IsdnNetworkSide::send_status(Call* c, CallKey key, uint8_t value)
{
    q931::Message m = q931::make(MsgType::Status, key.ref, key.user_originated);
    m.cause = q931::Cause{0x02, value, {}};
    m.call_state = uint8_t(c != nullptr ? c->info.state : NetState::Null);
    queue_message(m);
}

void IsdnNetworkSide::send_disconnect(Call& c, uint8_t value)
{
    q931::Message m = msg_for(c, MsgType::Disconnect);
    m.cause = q931::Cause{0x02, value, {}};
    if (profile_->progress_in_disconnect) m.progress = q931::Progress{0x02, 8};
    c.clear_cause = value;
    stop(c.policy_timer);
    send_call(c, m);
    set_state(c, NetState::DisconnectIndication);
    c.expiries = 0;
    CallKey key = c.info.key;
    start(c.timer, cfg_.t305, [this, key] {
        if (Call* c = find(key)) send_release(*c, c->clear_cause);
    });
}

void IsdnNetworkSide::send_release(Call& c, uint8_t value)
{
    q931::Message m = msg_for(c, MsgType::Release);
    m.cause = q931::Cause{0x02, value, {}};
    c.clear_cause = value;
    stop(c.policy_timer);
    send_call(c, m);
    if (c.info.state != NetState::ReleaseRequest) c.expiries = 0;
    set_state(c, NetState::ReleaseRequest);
    CallKey key = c.info.key;
    start(c.timer, cfg_.t308, [this, key] {
        Call* c = find(key);
        if (c == nullptr) return;
        if (++c->expiries < 2) {
            send_release(*c, c->clear_cause);
        } else {
            drop(*c, "no answer to RELEASE");
        }
    });
}

q931::PartyNumber IsdnNetworkSide::number(const std::string& digits, bool calling) const
{
    q931::PartyNumber n;
    n.type_plan = 0x01;  // unknown type, E.164 plan
    if (profile_->north_american_numbers && digits.size() == 10) n.type_plan = 0x21;  // national
    if (profile_->north_american_numbers && digits.size() == 7) n.type_plan = 0x41;   // subscriber
    if (calling) n.presentation = 0x03;  // presentation allowed, network provided
    n.digits = digits;
    return n;
}

// ---------------------------------------------------------------------------------
// Layer 3: scripting

std::optional<CallKey> IsdnNetworkSide::offer_call(unsigned channel, const std::string& called,
                                                    const std::string& calling, const q931::Bearer& bearer)
{
    if (!link_up() || !is_bearer_channel(channel) || find_channel(channel) != nullptr) return std::nullopt;
    for (int tries = 0; tries < 32767 && (next_ref_ == 0 || find({next_ref_, false}) != nullptr); tries++)
        next_ref_ = uint16_t(next_ref_ % 32767 + 1);
    CallKey key{next_ref_, false};
    next_ref_ = uint16_t(next_ref_ % 32767 + 1);
    Call& c = calls_[key];
    c.info.key = key;
    c.info.channel = channel;
    c.info.called = called;
    c.info.calling = calling;
    c.info.bearer = bearer;
    send_setup(c);
    set_state(c, NetState::CallPresent);
    start(c.timer, cfg_.t303, [this, key] { t303_expired(key); });
    return key;
}

void IsdnNetworkSide::send_setup(Call& c)
{
    q931::Message m = msg_for(c, MsgType::Setup);
    m.bearer = c.info.bearer;
    m.channel = q931::ChannelId{profile_->exclusive_channel, false, uint8_t(c.info.channel)};
    if (!c.info.calling.empty()) m.calling = number(c.info.calling, true);
    if (!c.info.called.empty()) m.called = number(c.info.called, false);
    if (profile_->display_calling && !c.info.calling.empty()) m.display = c.info.calling;
    m.sending_complete = profile_->sending_complete;
    send_call(c, m);
}

// T303: SETUP once more, then give the call up.
void IsdnNetworkSide::t303_expired(CallKey key)
{
    Call* c = find(key);
    if (c == nullptr) return;
    if (++c->expiries < 2) {
        note("T303: SETUP again");
        send_setup(*c);
        start(c->timer, cfg_.t303, [this, key] { t303_expired(key); });
    } else {
        send_release_complete(key, cause::kTimerRecovery);
        drop(*c, "no answer to SETUP");
    }
}

bool IsdnNetworkSide::clear_call(CallKey key, uint8_t value)
{
    Call* c = find(key);
    if (c == nullptr || !link_up()) return false;
    switch (c->info.state) {
    case NetState::Null:
    case NetState::DisconnectIndication:
    case NetState::ReleaseRequest: return false;
    case NetState::CallInitiated:
        send_release_complete(key, value);
        drop(*c, "refused");
        return true;
    default: send_disconnect(*c, value); return true;
    }
}

bool IsdnNetworkSide::clear_channel(unsigned channel, uint8_t value)
{
    Call* c = find_channel(channel);
    return c != nullptr && clear_call(c->info.key, value);
}

bool IsdnNetworkSide::proceed(CallKey key)
{
    Call* c = find(key);
    if (c == nullptr || c->info.state != NetState::CallInitiated) return false;
    q931::Message m = msg_for(*c, MsgType::CallProceeding);
    m.channel = q931::ChannelId{true, false, uint8_t(c->info.channel)};
    c->first_answer_sent = true;
    send_call(*c, m);
    set_state(*c, NetState::OutgoingProceeding);
    return true;
}

bool IsdnNetworkSide::alert(CallKey key)
{
    Call* c = find(key);
    if (c == nullptr || (c->info.state != NetState::CallInitiated && c->info.state != NetState::OutgoingProceeding))
        return false;
    q931::Message m = msg_for(*c, MsgType::Alerting);
    if (!c->first_answer_sent) m.channel = q931::ChannelId{true, false, uint8_t(c->info.channel)};
    if (cfg_.bearer_in_answers) m.bearer = c->info.bearer;
    if (profile_->progress_in_alerting && is_speech(c->info.bearer)) m.progress = q931::Progress{0x02, 8};
    c->first_answer_sent = true;
    send_call(*c, m);
    set_state(*c, NetState::CallDelivered);
    return true;
}

bool IsdnNetworkSide::connect(CallKey key)
{
    Call* c = find(key);
    if (c == nullptr) return false;
    NetState s = c->info.state;
    if (s != NetState::CallInitiated && s != NetState::OutgoingProceeding && s != NetState::CallDelivered) return false;
    q931::Message m = msg_for(*c, MsgType::Connect);
    if (!c->first_answer_sent) m.channel = q931::ChannelId{true, false, uint8_t(c->info.channel)};
    if (cfg_.bearer_in_answers) m.bearer = c->info.bearer;
    c->first_answer_sent = true;
    stop(c->policy_timer);
    send_call(*c, m);
    set_state(*c, NetState::Active);
    return true;
}

bool IsdnNetworkSide::reject(CallKey key, uint8_t value) { return clear_call(key, value); }

bool IsdnNetworkSide::status_enquiry(CallKey key)
{
    Call* c = find(key);
    if (c == nullptr) return false;
    // One request for a call's state at a time (Q.931 5.8.10): an enquiry the link still
    // holds, waiting to be sent or unacknowledged since the link was last set up, is not
    // queued again. A link re-established again and again asks after its calls each
    // time; the enquiries would otherwise pile up ahead of every other message, and a
    // RESTART ACKNOWLEDGE or an answer to a SETUP wait behind them.
    const q931::Message m = msg_for(*c, MsgType::StatusEnquiry);
    const std::vector<uint8_t> info = q931::encode(m);
    auto held = [&](const std::vector<std::vector<uint8_t>>& q) {
        return std::find(q.begin(), q.end(), info) != q.end();
    };
    if (held(pending_) || held(unacked_)) return true;
    return send_call(*c, m);
}

bool IsdnNetworkSide::send_message(const q931::Message& m) { return queue_message(m); }

bool IsdnNetworkSide::restart(unsigned channel)
{
    if (!link_up() || !is_bearer_channel(channel)) return false;
    if (Call* c = find_channel(channel)) drop(*c, "RESTART");
    q931::Message m = q931::make(MsgType::Restart, 0, false);
    m.channel = q931::ChannelId{true, false, uint8_t(channel)};
    m.restart_class = 0;
    restart_.channel = channel;
    restart_.cls = 0;
    restart_.expiries = 0;
    restart_.active = true;
    queue_message(m);
    start(restart_.timer, cfg_.t316, [this, m] {
        if (++restart_.expiries < 2) {
            queue_message(m);
            start(restart_.timer, cfg_.t316, [this] {
                restart_.active = false;
                note("RESTART not acknowledged");
            });
        }
    });
    return true;
}

bool IsdnNetworkSide::restart_all() { return restart_all_of(7); }

bool IsdnNetworkSide::restart_interface() { return restart_all_of(6); }

bool IsdnNetworkSide::restart_all_of(uint8_t cls)
{
    if (!link_up()) return false;
    while (!calls_.empty()) drop(calls_.begin()->second, "RESTART");
    q931::Message m = q931::make(MsgType::Restart, 0, false);
    m.restart_class = cls;
    restart_.channel.reset();
    restart_.cls = cls;
    restart_.expiries = 0;
    restart_.active = true;
    queue_message(m);
    start(restart_.timer, cfg_.t316, [this, m] {
        queue_message(m);
        start(restart_.timer, cfg_.t316, [this] {
            restart_.active = false;
            note("RESTART not acknowledged");
        });
    });
    return true;
}

std::vector<CallInfo> IsdnNetworkSide::calls() const
{
    std::vector<CallInfo> v;
    for (const auto& [k, c] : calls_) v.push_back(c.info);
    return v;
}

std::optional<CallInfo> IsdnNetworkSide::call(CallKey key) const
{
    auto it = calls_.find(key);
    if (it == calls_.end()) return std::nullopt;
    return it->second.info;
}

std::optional<CallInfo> IsdnNetworkSide::call_on_channel(unsigned channel) const
{
    for (const auto& [k, c] : calls_)
        if (c.info.channel == channel) return c.info;
    return std::nullopt;
}

NetState IsdnNetworkSide::channel_state(unsigned channel) const
{
    auto c = call_on_channel(channel);
    return c ? c->state : NetState::Null;
}

// ---------------------------------------------------------------------------------
// Layer 3: received messages

// (states, message) -> handler; the first row whose states hold the call's state runs.
// A message with no row is not compatible with the call state: STATUS with the
// variant's cause.
const IsdnNetworkSide::Row IsdnNetworkSide::kRows[] = {
    {bit(NetState::CallPresent), MsgType::CallProceeding, &IsdnNetworkSide::h_proceeding},
    {bit(NetState::CallPresent) | bit(NetState::IncomingProceeding), MsgType::Alerting, &IsdnNetworkSide::h_alerting},
    {bit(NetState::CallPresent) | bit(NetState::IncomingProceeding) | bit(NetState::CallReceived), MsgType::Connect,
     &IsdnNetworkSide::h_connect},
    {bit(NetState::Active), MsgType::ConnectAcknowledge, &IsdnNetworkSide::h_connect_ack},
    {bit(NetState::CallPresent) | bit(NetState::IncomingProceeding) | bit(NetState::CallReceived), MsgType::Progress,
     &IsdnNetworkSide::h_progress},
    {bit(NetState::CallInitiated), MsgType::Setup, &IsdnNetworkSide::h_ignore},  // the user's T303 repeat
    {bit(NetState::ReleaseRequest), MsgType::Disconnect, &IsdnNetworkSide::h_ignore},
    {kAllStates & ~bit(NetState::Null), MsgType::Disconnect, &IsdnNetworkSide::h_disconnect},
    {bit(NetState::ReleaseRequest), MsgType::Release, &IsdnNetworkSide::h_release_in_release},
    {kAllStates, MsgType::Release, &IsdnNetworkSide::h_release},
    {kAllStates, MsgType::ReleaseComplete, &IsdnNetworkSide::h_release_complete},
    {kAllStates, MsgType::StatusEnquiry, &IsdnNetworkSide::h_status_enquiry},
    {kAllStates, MsgType::Status, &IsdnNetworkSide::h_status},
    {kAllStates, MsgType::Information, &IsdnNetworkSide::h_information},
};

void IsdnNetworkSide::on_message(const std::vector<uint8_t>& info)
{
    ++counters_.messages_in;
    q931::Decoded d = q931::decode(info);
    if (!d.ok()) {
        ++counters_.bad_messages;
        emit({IsdnEvent::Kind::Malformed, 0, "message dropped: " + hex_bytes(info), {}, l2_, {}, {}});
        return;
    }
    const q931::Message& m = d.msg;
    IsdnEvent e{IsdnEvent::Kind::MessageIn, 0, q931::dump(m), m, l2_, {}, {}};
    CallKey key{m.cr, !m.cr_flag};  // flag 0: the user allocated the reference
    if (!m.global() && m.cr_length > 0) e.call = key;
    emit(e);
    if (m.cr_length == 0) {
        note("dummy call reference ignored");
        return;
    }
    if (m.global()) {
        on_global(d);
        return;
    }
    Call* c = find(key);
    if (c == nullptr) {
        if (m.type == uint8_t(MsgType::Setup) && !m.cr_flag) {
            on_setup(d);
        } else {
            on_unknown_reference(d);
        }
        return;
    }
    if (!d.known_type) {
        send_status(c, key, cause::kMessageTypeUnknown);
        return;
    }
    const q931::MessageRow* row = q931::find_message(m.type);
    bool bad_mandatory = false;
    for (const auto& a : row->ies)
        if (a.mandatory && std::find(d.invalid.begin(), d.invalid.end(), a.id) != d.invalid.end()) bad_mandatory = true;
    bool clearing = m.type == uint8_t(MsgType::Disconnect) || m.type == uint8_t(MsgType::Release) ||
                    m.type == uint8_t(MsgType::ReleaseComplete);
    if ((!d.missing.empty() || bad_mandatory) && !clearing) {
        send_status(c, key, d.missing.empty() ? cause::kInvalidContents : cause::kMandatoryMissing);
        return;
    }
    for (const Row& r : kRows) {
        if (uint8_t(r.type) == m.type && (r.states >> unsigned(c->info.state) & 1)) {
            (this->*r.handler)(*c, d);
            return;
        }
    }
    send_status(c, key, profile_->incompatible_state_cause);
}

void IsdnNetworkSide::on_unknown_reference(const q931::Decoded& d)
{
    const q931::Message& m = d.msg;
    CallKey key{m.cr, !m.cr_flag};
    switch (MsgType(m.type)) {
    case MsgType::ReleaseComplete: return;
    case MsgType::Setup: note("SETUP with the flag of a network reference ignored"); return;
    case MsgType::Status:
        if (m.call_state && *m.call_state != 0) send_release_complete(key, cause::kNotCompatibleWithState);
        return;
    case MsgType::StatusEnquiry: send_status(nullptr, key, cause::kStatusEnquiryResponse); return;
    default: send_release_complete(key, cause::kInvalidCallReference); return;
    }
}

void IsdnNetworkSide::on_setup(const q931::Decoded& d)
{
    const q931::Message& m = d.msg;
    CallKey key{m.cr, true};
    auto bad = [&](uint8_t id) { return std::find(d.invalid.begin(), d.invalid.end(), id) != d.invalid.end(); };
    if (!m.bearer || bad(q931::ie::kBearer)) {
        send_release_complete(key, m.bearer || bad(q931::ie::kBearer) ? cause::kInvalidContents : cause::kMandatoryMissing);
        return;
    }
    if (bad(q931::ie::kChannelId)) {
        send_release_complete(key, cause::kInvalidContents);
        return;
    }
    int ch = -1;
    if (m.channel && m.channel->channel) {  // no channel identification: any channel
        unsigned want = *m.channel->channel;
        if (!is_bearer_channel(want)) {
            send_release_complete(key, 82);  // identified channel does not exist
            return;
        }
        if (find_channel(want) == nullptr) {
            ch = int(want);
        } else if (m.channel->exclusive || !profile_->may_change_channel) {
            send_release_complete(key, cause::kChannelUnavailable);
            return;
        }
    }
    if (ch < 0) ch = free_channel();
    if (ch < 0) {
        send_release_complete(key, cause::kNoCircuit);
        return;
    }
    Call& c = calls_[key];
    c.info.key = key;
    c.info.channel = unsigned(ch);
    c.info.bearer = *m.bearer;
    if (m.called) c.info.called = m.called->digits;
    if (m.calling) c.info.calling = m.calling->digits;
    set_state(c, NetState::CallInitiated);
    if (route_back(c)) return;
    run_policy(c);
}

// A call to one of the adapter's own numbers: offered back to the adapter on a free
// channel. No free channel (or no link): the caller hears "no circuit".
bool IsdnNetworkSide::route_back(Call& c)
{
    const auto& own = cfg_.adapter_numbers;
    if (c.info.called.empty() || std::find(own.begin(), own.end(), c.info.called) == own.end()) return false;
    if (profile_->call_proceeding) proceed(c.info.key);
    int ch = free_channel();
    std::optional<CallKey> back;
    if (ch >= 0) back = offer_call(unsigned(ch), c.info.called, c.info.calling, c.info.bearer);
    Call* caller = find(c.info.key);
    if (caller == nullptr) return true;
    if (!back) {
        note("call to the adapter's own number " + c.info.called + ": no channel to offer it on");
        send_disconnect(*caller, cause::kNoCircuit);
        return true;
    }
    Call& called = calls_[*back];
    note("call to the adapter's own number " + c.info.called + " routed back on channel " + std::to_string(ch));
    caller->other_leg = *back;
    called.other_leg = caller->info.key;
    caller->info.routed_back = called.info.routed_back = true;
    return true;
}

// One leg is cleared: the other is cleared towards the adapter too (once).
void IsdnNetworkSide::clear_other_leg(Call& c, uint8_t value)
{
    if (!c.other_leg) return;
    CallKey key = *c.other_leg;
    c.other_leg.reset();
    Call* other = find(key);
    if (other == nullptr) return;
    other->other_leg.reset();
    clear_call(key, value);
}

// The B-channel bytes of a call routed back cross from one leg's channel to the other's
// while both legs are active.
void IsdnNetworkSide::bridge(uint32_t channels, const std::vector<uint8_t>& frame)
{
    for (const auto& [key, c] : calls_) {
        if (!c.other_leg || c.info.channel >= 32 || !(channels >> c.info.channel & 1)) continue;
        const Call* other = find(*c.other_leg);
        if (other == nullptr || c.info.state != NetState::Active || other->info.state != NetState::Active ||
            other->info.channel >= 32)
            continue;
        line_.frame_to_adapter(1u << other->info.channel, frame);
    }
}

void IsdnNetworkSide::schedule_step(Call& c, plat::VTime dt, std::function<void(Call&)> step)
{
    CallKey key = c.info.key;
    start(c.policy_timer, dt, [this, key, step] {
        if (Call* c = find(key)) step(*c);
    });
}

void IsdnNetworkSide::run_policy(Call& c)
{
    AnswerPolicy p = policy_fn_ ? policy_fn_(c.info) : policy_;
    using Act = AnswerPolicy::Action;
    if (p.action == Act::Manual) return;
    if (p.action == Act::Reject) {
        send_release_complete(c.info.key, p.cause);
        drop(c, "rejected by policy");
        return;
    }
    if (profile_->call_proceeding) proceed(c.info.key);
    switch (p.action) {
    case Act::Connect:
        schedule_step(c, p.alert_after, [this, p](Call& c) {
            alert(c.info.key);
            schedule_step(c, p.connect_after > p.alert_after ? p.connect_after - p.alert_after : 0,
                          [this](Call& c) { connect(c.info.key); });
        });
        break;
    case Act::NoAnswer:
        schedule_step(c, p.alert_after, [this, p](Call& c) {
            alert(c.info.key);
            schedule_step(c, p.no_answer_after, [this](Call& c) { send_disconnect(c, cause::kNoAnswer); });
        });
        break;
    case Act::Busy:
        schedule_step(c, p.alert_after, [this](Call& c) { send_disconnect(c, cause::kUserBusy); });
        break;
    default: break;
    }
}

void IsdnNetworkSide::on_global(const q931::Decoded& d)
{
    const q931::Message& m = d.msg;
    if (m.type == uint8_t(MsgType::Restart) && !m.cr_flag) {
        if (!m.restart_class || (m.restart_class == 0 && !(m.channel && m.channel->channel))) {
            send_status(nullptr, {0, true}, m.restart_class ? cause::kMandatoryMissing : cause::kInvalidContents);
            return;
        }
        if (*m.restart_class == 0) {
            if (Call* c = find_channel(*m.channel->channel)) drop(*c, "RESTART from the user");
        } else {
            while (!calls_.empty()) drop(calls_.begin()->second, "RESTART from the user");
        }
        q931::Message ack = q931::make(MsgType::RestartAcknowledge, 0, true);
        ack.channel = m.channel;
        ack.restart_class = m.restart_class;
        queue_message(ack);
        return;
    }
    if (m.type == uint8_t(MsgType::RestartAcknowledge)) {
        if (restart_.active) {
            stop(restart_.timer);
            restart_.active = false;
            note("RESTART acknowledged");
        } else {
            note("RESTART ACKNOWLEDGE without a RESTART");
        }
        return;
    }
    if (m.type != uint8_t(MsgType::Status)) send_status(nullptr, {0, !m.cr_flag}, cause::kInvalidCallReference);
}

void IsdnNetworkSide::h_proceeding(Call& c, const q931::Decoded&)
{
    stop(c.timer);
    set_state(c, NetState::IncomingProceeding);
}

void IsdnNetworkSide::h_alerting(Call& c, const q931::Decoded&)
{
    stop(c.timer);
    set_state(c, NetState::CallReceived);
    if (c.other_leg) alert(*c.other_leg);
}

void IsdnNetworkSide::h_connect(Call& c, const q931::Decoded&)
{
    stop(c.timer);
    send_call(c, msg_for(c, MsgType::ConnectAcknowledge));
    set_state(c, NetState::Active);
    if (c.other_leg) connect(*c.other_leg);
}

void IsdnNetworkSide::h_connect_ack(Call& c, const q931::Decoded&) { c.info.connect_acknowledged = true; }

void IsdnNetworkSide::h_progress(Call& c, const q931::Decoded&) { stop(c.timer); }

void IsdnNetworkSide::h_disconnect(Call& c, const q931::Decoded& d)
{
    uint8_t value = d.msg.cause ? d.msg.cause->value : cause::kMandatoryMissing;
    c.info.last_cause = value;
    clear_other_leg(c, value);
    send_release(c, value);
}

void IsdnNetworkSide::h_release(Call& c, const q931::Decoded& d)
{
    if (d.msg.cause) c.info.last_cause = d.msg.cause->value;
    send_release_complete(c.info.key, 0);
    drop(c, "RELEASE from the user");
}

void IsdnNetworkSide::h_release_in_release(Call& c, const q931::Decoded& d)
{
    if (d.msg.cause) c.info.last_cause = d.msg.cause->value;
    drop(c, "RELEASE collision");
}

void IsdnNetworkSide::h_release_complete(Call& c, const q931::Decoded& d)
{
    if (d.msg.cause) c.info.last_cause = d.msg.cause->value;
    drop(c, "RELEASE COMPLETE from the user");
}

void IsdnNetworkSide::h_status_enquiry(Call& c, const q931::Decoded&)
{
    send_status(&c, c.info.key, cause::kStatusEnquiryResponse);
}

void IsdnNetworkSide::h_status(Call& c, const q931::Decoded& d)
{
    if (d.msg.cause) c.info.last_cause = d.msg.cause->value;
    if (d.msg.call_state && *d.msg.call_state == 0) {
        drop(c, "the user reports the null state");
        return;
    }
    note("STATUS: user state " + std::to_string(d.msg.call_state.value_or(0)) + ", ours " + net_state_name(c.info.state));
}

void IsdnNetworkSide::h_information(Call& c, const q931::Decoded& d)
{
    if (d.msg.called) c.info.called += d.msg.called->digits;
}

void IsdnNetworkSide::h_ignore(Call&, const q931::Decoded&) {}

}  // namespace sim
