#include "sim/far/q931.h"

#include <algorithm>
#include <cstring>
#include <cstdio>

namespace sim::lapd {

namespace {
constexpr uint8_t kPf = 0x10;

std::vector<uint8_t> address(uint8_t sapi, bool cr, uint8_t tei)
{
    return {uint8_t(sapi << 2 | (cr ? 0x02 : 0x00)), uint8_t(tei << 1 | 0x01)};
}

bool carries_info(uint8_t u)
{
    return u == uint8_t(UType::Ui) || u == uint8_t(UType::Frmr) || u == uint8_t(UType::Xid);
}
}  // namespace

std::optional<Frame> parse(std::span<const uint8_t> b, std::string* why)
{
    auto fail = [&](const char* reason) -> std::optional<Frame> {
        if (why != nullptr) *why = reason;
        return std::nullopt;
    };
    if (b.size() < 3) return fail("shorter than 3 octets");
    if ((b[0] & 0x01) != 0 || (b[1] & 0x01) == 0) return fail("bad address extension bits");
    Frame f;
    f.sapi = b[0] >> 2;
    f.cr = (b[0] & 0x02) != 0;
    f.tei = b[1] >> 1;
    uint8_t c = b[2];
    if ((c & 0x01) == 0) {
        if (b.size() < 4) return fail("I-frame without its second control octet");
        f.kind = Frame::Kind::I;
        f.ns = c >> 1;
        f.nr = b[3] >> 1;
        f.pf = (b[3] & 0x01) != 0;
        if (b.size() - 4 > kMaxInfo) return fail("information field longer than N201");
        f.info.assign(b.begin() + 4, b.end());
    } else if ((c & 0x03) == 0x01) {
        if (b.size() != 4) return fail("supervisory frame not 4 octets");
        if (c != uint8_t(SType::Rr) && c != uint8_t(SType::Rnr) && c != uint8_t(SType::Rej))
            return fail("undefined supervisory frame");
        f.kind = Frame::Kind::S;
        f.s = SType(c);
        f.nr = b[3] >> 1;
        f.pf = (b[3] & 0x01) != 0;
    } else {
        f.kind = Frame::Kind::U;
        f.pf = (c & kPf) != 0;
        f.u = c & uint8_t(~kPf);
        bool known = false;
        for (UType t : {UType::Sabme, UType::Dm, UType::Ui, UType::Disc, UType::Ua, UType::Frmr, UType::Xid})
            known = known || f.u == uint8_t(t);
        if (!known) return fail("undefined unnumbered frame");
        if (b.size() > 3 && !carries_info(f.u)) return fail("information field in a frame that carries none");
        if (b.size() - 3 > kMaxInfo) return fail("information field longer than N201");
        f.info.assign(b.begin() + 3, b.end());
    }
    return f;
}

// Address, control and information in one buffer of the final size (vector::insert of
// a span draws a false stringop-overread warning at -O3).
static std::vector<uint8_t> with_info(const std::vector<uint8_t>& addr, std::initializer_list<uint8_t> control,
                                      std::span<const uint8_t> info)
{
    std::vector<uint8_t> out(addr);
    out.insert(out.end(), control.begin(), control.end());
    const size_t at = out.size();
    out.resize(at + info.size());
    if (!info.empty()) std::memcpy(out.data() + at, info.data(), info.size());
    return out;
}

std::vector<uint8_t> build(const Frame& f)
{
    switch (f.kind) {
    case Frame::Kind::I: return build_i(f.sapi, f.cr, f.tei, f.ns, f.nr, f.pf, f.info);
    case Frame::Kind::S: return build_s(f.sapi, f.cr, f.tei, f.s, f.nr, f.pf);
    case Frame::Kind::U: break;
    }
    auto out = address(f.sapi, f.cr, f.tei);
    out.push_back(uint8_t(f.u | (f.pf ? kPf : 0)));
    out.insert(out.end(), f.info.begin(), f.info.end());
    return out;
}

std::vector<uint8_t> build_i(uint8_t sapi, bool cr, uint8_t tei, uint8_t ns, uint8_t nr, bool p,
                             std::span<const uint8_t> info)
{
    return with_info(address(sapi, cr, tei), {uint8_t((ns % kModulus) << 1), uint8_t((nr % kModulus) << 1 | (p ? 1 : 0))},
                     info);
}

std::vector<uint8_t> build_s(uint8_t sapi, bool cr, uint8_t tei, SType type, uint8_t nr, bool pf)
{
    auto out = address(sapi, cr, tei);
    out.push_back(uint8_t(type));
    out.push_back(uint8_t((nr % kModulus) << 1 | (pf ? 1 : 0)));
    return out;
}

std::vector<uint8_t> build_u(uint8_t sapi, bool cr, uint8_t tei, UType type, bool pf, std::span<const uint8_t> info)
{
    return with_info(address(sapi, cr, tei), {uint8_t(uint8_t(type) | (pf ? kPf : 0))}, info);
}

std::string describe(const Frame& f)
{
    char b[96];
    switch (f.kind) {
    case Frame::Kind::I:
        std::snprintf(b, sizeof b, "I N(S)=%u N(R)=%u%s len=%zu", f.ns, f.nr, f.pf ? " P" : "", f.info.size());
        return b;
    case Frame::Kind::S: {
        const char* n = f.s == SType::Rr ? "RR" : f.s == SType::Rnr ? "RNR" : "REJ";
        std::snprintf(b, sizeof b, "%s N(R)=%u%s", n, f.nr, f.pf ? " P/F" : "");
        return b;
    }
    case Frame::Kind::U: break;
    }
    const char* n = "U?";
    switch (UType(f.u)) {
    case UType::Sabme: n = "SABME"; break;
    case UType::Dm: n = "DM"; break;
    case UType::Ui: n = "UI"; break;
    case UType::Disc: n = "DISC"; break;
    case UType::Ua: n = "UA"; break;
    case UType::Frmr: n = "FRMR"; break;
    case UType::Xid: n = "XID"; break;
    }
    std::snprintf(b, sizeof b, "%s%s sapi=%u tei=%u", n, f.pf ? " P/F" : "", f.sapi, f.tei);
    return b;
}

}  // namespace sim::lapd

namespace sim::q931 {

namespace {

using Bytes = std::vector<uint8_t>;
using Body = std::span<const uint8_t>;

std::string hex(uint8_t v)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", v);
    return b;
}

void put(Bytes& out, uint8_t id, const Bytes& contents)
{
    out.push_back(id);
    out.push_back(uint8_t(contents.size()));
    out.insert(out.end(), contents.begin(), contents.end());
}

// Octets of an extension group: from i while bit 8 is 0, then the octet with bit 8 set.
// Returns the index after the group, or body.size() + 1 when it runs past the end.
size_t skip_group(Body b, size_t i)
{
    while (i < b.size() && (b[i] & 0x80) == 0) i++;
    return i < b.size() ? i + 1 : b.size() + 1;
}

bool digits_ok(Body b)
{
    return std::all_of(b.begin(), b.end(), [](uint8_t c) { return c < 0x80; });
}

// --- bearer capability ---
bool dec_bearer(Body b, Message& m)
{
    if (b.size() < 2) return false;
    Bearer v;
    if ((b[0] & 0x80) == 0) return false;  // no octet 3a in use
    v.capability = b[0] & 0x1F;
    size_t i = skip_group(b, 1);  // octet 4 with optional 4a/4b
    if (i > b.size()) return false;
    v.mode_rate = b[1] & 0x7F;
    if (i < b.size() && (b[i] & 0x60) == 0x20) {  // layer-1 identifier
        v.layer1 = b[i] & 0x1F;
        bool ext = (b[i] & 0x80) == 0;
        i++;
        if (ext) {
            if (i >= b.size()) return false;
            v.user_rate = b[i] & 0x7F;
            i = skip_group(b, i);
            if (i > b.size()) return false;
        }
    }
    m.bearer = v;
    return true;
}
void enc_bearer(const Message& m, Bytes& out)
{
    const Bearer& v = *m.bearer;
    Bytes c = {uint8_t(0x80 | (v.capability & 0x1F)), uint8_t(0x80 | v.mode_rate)};
    if (v.layer1) {
        c.push_back(uint8_t((v.user_rate ? 0x00 : 0x80) | 0x20 | (*v.layer1 & 0x1F)));
        if (v.user_rate) c.push_back(uint8_t(0x80 | *v.user_rate));
    }
    put(out, ie::kBearer, c);
}
std::string dump_bearer(const Message& m)
{
    std::string s = "cap=" + hex(m.bearer->capability) + " mode=" + hex(m.bearer->mode_rate);
    if (m.bearer->layer1) s += " l1=" + std::to_string(*m.bearer->layer1);
    if (m.bearer->user_rate) s += " rate=" + hex(*m.bearer->user_rate);
    return s;
}

// --- cause ---
bool dec_cause(Body b, Message& m)
{
    if (b.size() < 2) return false;
    Cause v;
    v.location = b[0] & 0x7F;
    size_t i = 1;
    if ((b[0] & 0x80) == 0) i = 2;  // octet 3a (recommendation)
    if (i >= b.size()) return false;
    v.value = b[i] & 0x7F;
    v.diagnostics.assign(b.begin() + i + 1, b.end());
    m.cause = v;
    return true;
}
void enc_cause(const Message& m, Bytes& out)
{
    Bytes c = {uint8_t(0x80 | m.cause->location), uint8_t(0x80 | m.cause->value)};
    c.insert(c.end(), m.cause->diagnostics.begin(), m.cause->diagnostics.end());
    put(out, ie::kCause, c);
}
std::string dump_cause(const Message& m)
{
    return std::to_string(m.cause->value) + " (" + hex(m.cause->value) + ") loc=" + std::to_string(m.cause->location & 0x0F);
}

// --- call state ---
bool dec_call_state(Body b, Message& m)
{
    if (b.empty()) return false;
    m.call_state = b[0] & 0x3F;
    return true;
}
void enc_call_state(const Message& m, Bytes& out) { put(out, ie::kCallState, {uint8_t(*m.call_state & 0x3F)}); }
std::string dump_call_state(const Message& m) { return std::to_string(*m.call_state); }

// --- channel identification, primary rate ---
bool dec_channel(Body b, Message& m)
{
    if (b.empty()) return false;
    uint8_t o3 = b[0];
    if ((o3 & 0x20) == 0) return false;  // basic-rate form
    ChannelId v;
    v.exclusive = (o3 & 0x08) != 0;
    v.d_channel = (o3 & 0x04) != 0;
    size_t i = 1;
    if ((o3 & 0x80) == 0 || (o3 & 0x40) != 0) {  // interface identifier follows
        i = skip_group(b, 1);
        if (i > b.size()) return false;
    }
    uint8_t sel = o3 & 0x03;
    if (sel == 0x01) {
        if (i + 1 >= b.size()) return false;
        uint8_t o32 = b[i];
        if ((o32 & 0x10) != 0 || (o32 & 0x0F) != 0x03) return false;  // only channel numbers of B channels
        v.channel = b[i + 1] & 0x7F;
    } else if (sel != 0x03 && sel != 0x00) {
        return false;
    }
    m.channel = v;
    return true;
}
void enc_channel(const Message& m, Bytes& out)
{
    const ChannelId& v = *m.channel;
    uint8_t o3 = uint8_t(0x80 | 0x20 | (v.exclusive ? 0x08 : 0) | (v.d_channel ? 0x04 : 0) | (v.channel ? 0x01 : 0x03));
    Bytes c = {o3};
    if (v.channel) {
        c.push_back(0x83);
        c.push_back(uint8_t(0x80 | *v.channel));
    }
    put(out, ie::kChannelId, c);
}
std::string dump_channel(const Message& m)
{
    std::string s = m.channel->exclusive ? "exclusive " : "preferred ";
    return s + (m.channel->channel ? std::to_string(*m.channel->channel) : std::string("any"));
}

// --- progress indicator ---
bool dec_progress(Body b, Message& m)
{
    if (b.size() < 2) return false;
    m.progress = Progress{uint8_t(b[0] & 0x7F), uint8_t(b[1] & 0x7F)};
    return true;
}
void enc_progress(const Message& m, Bytes& out)
{
    put(out, ie::kProgress, {uint8_t(0x80 | m.progress->location), uint8_t(0x80 | m.progress->description)});
}
std::string dump_progress(const Message& m) { return "desc=" + std::to_string(m.progress->description); }

// --- display ---
bool dec_display(Body b, Message& m)
{
    size_t i = 0;
    if (!b.empty() && (b[0] & 0x80) != 0) i = 1;  // a display-type octet some switches put first
    if (!digits_ok(b.subspan(i))) return false;
    m.display = std::string(b.begin() + i, b.end());
    return true;
}
void enc_display(const Message& m, Bytes& out) { put(out, ie::kDisplay, Bytes(m.display->begin(), m.display->end())); }
std::string dump_display(const Message& m) { return "\"" + *m.display + "\""; }

// --- party numbers ---
bool dec_number(Body b, std::optional<PartyNumber>& into)
{
    if (b.empty()) return false;
    PartyNumber v;
    v.type_plan = b[0] & 0x7F;
    size_t i = 1;
    if ((b[0] & 0x80) == 0) {
        if (b.size() < 2) return false;
        v.presentation = b[1] & 0x7F;
        i = 2;
    }
    if (!digits_ok(b.subspan(i))) return false;
    v.digits.assign(b.begin() + i, b.end());
    into = v;
    return true;
}
void enc_number(uint8_t id, const PartyNumber& v, Bytes& out)
{
    Bytes c;
    if (v.presentation) {
        c.push_back(v.type_plan & 0x7F);
        c.push_back(uint8_t(0x80 | *v.presentation));
    } else {
        c.push_back(uint8_t(0x80 | v.type_plan));
    }
    c.insert(c.end(), v.digits.begin(), v.digits.end());
    put(out, id, c);
}
std::string dump_number(const PartyNumber& v) { return v.digits + " (" + hex(v.type_plan) + ")"; }

// --- restart indicator ---
bool dec_restart(Body b, Message& m)
{
    if (b.empty()) return false;
    uint8_t c = b[0] & 0x07;
    if (c != 0 && c != 6 && c != 7) return false;
    m.restart_class = c;
    return true;
}
void enc_restart(const Message& m, Bytes& out) { put(out, ie::kRestart, {uint8_t(0x80 | *m.restart_class)}); }
std::string dump_restart(const Message& m) { return "class " + std::to_string(*m.restart_class); }

const IeRow kIeTable[] = {
    {ie::kBearer, "bearer capability", [](const Message& m) { return m.bearer.has_value(); }, dec_bearer, enc_bearer, dump_bearer},
    {ie::kCause, "cause", [](const Message& m) { return m.cause.has_value(); }, dec_cause, enc_cause, dump_cause},
    {ie::kCallState, "call state", [](const Message& m) { return m.call_state.has_value(); }, dec_call_state, enc_call_state, dump_call_state},
    {ie::kChannelId, "channel identification", [](const Message& m) { return m.channel.has_value(); }, dec_channel, enc_channel, dump_channel},
    {ie::kProgress, "progress indicator", [](const Message& m) { return m.progress.has_value(); }, dec_progress, enc_progress, dump_progress},
    {ie::kDisplay, "display", [](const Message& m) { return m.display.has_value(); }, dec_display, enc_display, dump_display},
    {ie::kCalling, "calling party number", [](const Message& m) { return m.calling.has_value(); },
     [](Body b, Message& m) { return dec_number(b, m.calling); },
     [](const Message& m, Bytes& out) { enc_number(ie::kCalling, *m.calling, out); },
     [](const Message& m) { return dump_number(*m.calling); }},
    {ie::kCalled, "called party number", [](const Message& m) { return m.called.has_value(); },
     [](Body b, Message& m) { return dec_number(b, m.called); },
     [](const Message& m, Bytes& out) { enc_number(ie::kCalled, *m.called, out); },
     [](const Message& m) { return dump_number(*m.called); }},
    {ie::kRestart, "restart indicator", [](const Message& m) { return m.restart_class.has_value(); }, dec_restart, enc_restart, dump_restart},
    {ie::kSendingComplete, "sending complete", [](const Message& m) { return m.sending_complete; },
     [](Body, Message& m) { return m.sending_complete = true; },
     [](const Message&, Bytes& out) { out.push_back(ie::kSendingComplete); },
     [](const Message&) { return std::string(); }},
};

using A = MessageRow::Allowed;
constexpr A M(uint8_t id) { return {id, true}; }
constexpr A O(uint8_t id) { return {id, false}; }

const MessageRow kMessageTable[] = {
    {uint8_t(MsgType::Alerting), "ALERTING", {O(ie::kBearer), O(ie::kChannelId), O(ie::kProgress), O(ie::kDisplay)}},
    {uint8_t(MsgType::CallProceeding), "CALL PROCEEDING",
     {O(ie::kBearer), O(ie::kChannelId), O(ie::kProgress), O(ie::kDisplay)}},
    {uint8_t(MsgType::Progress), "PROGRESS", {O(ie::kBearer), O(ie::kCause), M(ie::kProgress), O(ie::kDisplay)}},
    {uint8_t(MsgType::Setup), "SETUP",
     {M(ie::kBearer), M(ie::kChannelId), O(ie::kProgress), O(ie::kDisplay), O(ie::kCalling), O(ie::kCalled),
      O(ie::kSendingComplete)}},
    {uint8_t(MsgType::Connect), "CONNECT", {O(ie::kBearer), O(ie::kChannelId), O(ie::kProgress), O(ie::kDisplay)}},
    {uint8_t(MsgType::SetupAcknowledge), "SETUP ACKNOWLEDGE", {O(ie::kChannelId), O(ie::kProgress), O(ie::kDisplay)}},
    {uint8_t(MsgType::ConnectAcknowledge), "CONNECT ACKNOWLEDGE", {O(ie::kChannelId), O(ie::kDisplay)}},
    {uint8_t(MsgType::Disconnect), "DISCONNECT", {M(ie::kCause), O(ie::kProgress), O(ie::kDisplay)}},
    {uint8_t(MsgType::Restart), "RESTART", {O(ie::kChannelId), O(ie::kDisplay), M(ie::kRestart)}},
    {uint8_t(MsgType::Release), "RELEASE", {O(ie::kCause), O(ie::kDisplay)}},
    {uint8_t(MsgType::RestartAcknowledge), "RESTART ACKNOWLEDGE", {O(ie::kChannelId), O(ie::kDisplay), M(ie::kRestart)}},
    {uint8_t(MsgType::ReleaseComplete), "RELEASE COMPLETE", {O(ie::kCause), O(ie::kDisplay)}},
    {uint8_t(MsgType::StatusEnquiry), "STATUS ENQUIRY", {O(ie::kDisplay)}},
    {uint8_t(MsgType::Information), "INFORMATION", {O(ie::kCause), O(ie::kDisplay), O(ie::kCalled), O(ie::kSendingComplete)}},
    {uint8_t(MsgType::Status), "STATUS", {M(ie::kCause), M(ie::kCallState), O(ie::kDisplay)}},
};

bool allowed(const MessageRow& row, uint8_t id)
{
    return std::any_of(row.ies.begin(), row.ies.end(), [id](const A& a) { return a.id == id; });
}

}  // namespace

Message make(MsgType type, uint16_t cr, bool cr_flag)
{
    Message m;
    m.type = uint8_t(type);
    m.cr = cr;
    m.cr_flag = cr_flag;
    return m;
}

std::span<const IeRow> ie_table() { return kIeTable; }
std::span<const MessageRow> message_table() { return kMessageTable; }

const IeRow* find_ie(uint8_t id)
{
    for (const IeRow& r : kIeTable)
        if (r.id == id) return &r;
    return nullptr;
}

const MessageRow* find_message(uint8_t type)
{
    for (const MessageRow& r : kMessageTable)
        if (r.type == type) return &r;
    return nullptr;
}

std::string message_name(uint8_t type)
{
    const MessageRow* r = find_message(type);
    return r != nullptr ? r->name : "message " + hex(type);
}

Decoded decode(std::span<const uint8_t> b)
{
    Decoded d;
    if (b.size() < 3) {
        d.fatal = Decoded::Fatal::TooShort;
        return d;
    }
    if (b[0] != kDiscriminator) {
        d.fatal = Decoded::Fatal::BadDiscriminator;
        return d;
    }
    Message& m = d.msg;
    m.discriminator = b[0];
    if ((b[1] & 0xF0) != 0 || (b[1] & 0x0F) > 2) {
        d.fatal = Decoded::Fatal::BadCallReference;
        return d;
    }
    m.cr_length = b[1] & 0x0F;
    size_t pos = 2;
    if (b.size() < pos + m.cr_length + 1) {
        d.fatal = Decoded::Fatal::TooShort;
        return d;
    }
    if (m.cr_length > 0) {
        m.cr_flag = (b[pos] & 0x80) != 0;
        uint16_t v = b[pos] & 0x7F;
        if (m.cr_length == 2) v = uint16_t(v << 8 | b[pos + 1]);
        m.cr = v;
        pos += m.cr_length;
    }
    m.type = b[pos++];
    const MessageRow* row = find_message(m.type);
    d.known_type = row != nullptr;

    std::vector<uint8_t> seen;
    uint8_t locked = 0;
    while (pos < b.size()) {
        uint8_t id = b[pos];
        uint8_t codeset = locked;
        if (id & 0x80) {  // single octet
            pos++;
            if ((id & 0xF0) == 0x90) {  // shift
                if ((id & 0x08) == 0) {
                    locked = id & 0x07;
                } else if (pos < b.size()) {  // non-locking: the next element only
                    uint8_t next = b[pos];
                    size_t len = (next & 0x80) ? 1 : (pos + 1 < b.size() ? size_t(2) + b[pos + 1] : b.size());
                    if (pos + len > b.size()) {
                        d.invalid.push_back(next);
                        break;
                    }
                    m.others.push_back({uint8_t(id & 0x07), next, Bytes(b.begin() + pos + 1, b.begin() + pos + len)});
                    pos += len;
                }
                continue;
            }
            if (codeset == 0 && id == ie::kSendingComplete) {
                m.sending_complete = true;
                seen.push_back(id);
            } else {
                m.others.push_back({codeset, id, {}});
            }
            continue;
        }
        if (pos + 1 >= b.size() || pos + 2 + b[pos + 1] > b.size()) {
            d.invalid.push_back(id);  // runs past the end of the message
            break;
        }
        Body body = b.subspan(pos + 2, b[pos + 1]);
        pos += 2 + body.size();
        const IeRow* ie = codeset == 0 ? find_ie(id) : nullptr;
        if (ie == nullptr) {
            m.others.push_back({codeset, id, Bytes(body.begin(), body.end())});
            continue;
        }
        if (std::find(seen.begin(), seen.end(), id) != seen.end()) continue;  // a repeat: first one counts
        seen.push_back(id);
        if (!ie->decode(body, m)) d.invalid.push_back(id);
    }
    if (row != nullptr) {
        for (const A& a : row->ies)
            if (a.mandatory && std::find(seen.begin(), seen.end(), a.id) == seen.end()) d.missing.push_back(a.id);
        for (uint8_t id : seen)
            if (!allowed(*row, id)) d.unexpected.push_back(id);
    }
    return d;
}

std::vector<uint8_t> encode(const Message& m)
{
    Bytes out = {m.discriminator, uint8_t(m.cr_length & 0x0F)};
    if (m.cr_length == 1) {
        out.push_back(uint8_t((m.cr_flag ? 0x80 : 0) | (m.cr & 0x7F)));
    } else if (m.cr_length == 2) {
        out.push_back(uint8_t((m.cr_flag ? 0x80 : 0) | ((m.cr >> 8) & 0x7F)));
        out.push_back(uint8_t(m.cr & 0xFF));
    } else if (m.cr_length > 2) {  // longer than a primary-rate reference: leading zero octets
        for (unsigned i = 0; i + 2 < m.cr_length; i++) out.push_back(i == 0 && m.cr_flag ? 0x80 : 0);
        out.push_back(uint8_t(m.cr >> 8));
        out.push_back(uint8_t(m.cr & 0xFF));
    }
    out.push_back(m.type);
    for (const IeRow& r : kIeTable)  // ascending identifiers
        if (r.present(m)) r.encode(m, out);
    return out;
}

Check check(const Message& m)
{
    Check c;
    const MessageRow* row = find_message(m.type);
    for (const IeRow& r : kIeTable) {
        if (!r.present(m)) continue;
        if (row == nullptr || !allowed(*row, r.id)) c.unexpected.push_back(r.id);
    }
    if (row != nullptr)
        for (const A& a : row->ies)
            if (a.mandatory && !find_ie(a.id)->present(m)) c.missing.push_back(a.id);
    return c;
}

std::string dump(const Message& m)
{
    char b[48];
    std::snprintf(b, sizeof b, " cr=0x%04X/%d", m.cr, m.cr_flag ? 1 : 0);
    std::string s = message_name(m.type) + b;
    for (const IeRow& r : kIeTable) {
        if (!r.present(m)) continue;
        std::string v = r.dump(m);
        s += std::string(" [") + r.name + (v.empty() ? "" : ": " + v) + "]";
    }
    for (const RawIe& o : m.others) s += " [unknown " + hex(o.id) + (o.codeset ? " codeset " + std::to_string(o.codeset) : "") + "]";
    return s;
}

}  // namespace sim::q931
