// The ISDN network side: its codecs, its LAPD procedures against a user side played
// here as raw frames, call handling in the switch variants, and its pcap output.
#include "sim/far/isdn_network.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;
using sim::IsdnNetworkSide;
using sim::NetState;
using sim::SwitchVariant;
namespace q931 = sim::q931;
namespace lapd = sim::lapd;
using q931::MsgType;

// "08 02 80 01 0F" -> bytes; '...' quotes IA5 text.
Bytes hex(const std::string& s)
{
    Bytes b;
    for (size_t i = 0; i < s.size();) {
        if (s[i] == ' ') {
            i++;
        } else if (s[i] == '\'') {
            size_t e = s.find('\'', i + 1);
            b.insert(b.end(), s.begin() + long(i) + 1, s.begin() + long(e));
            i = e + 1;
        } else {
            b.push_back(uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
            i += 2;
        }
    }
    return b;
}

std::string show(const Bytes& b)
{
    std::string s;
    char t[4];
    for (uint8_t v : b) {
        std::snprintf(t, sizeof t, "%02X ", v);
        s += t;
    }
    return s;
}

Bytes cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---------------------------------------------------------------------------------
// Codec

// One sample value per element of the table: a message with every element its row
// allows must survive encode and decode unchanged.
void fill(q931::Message& m, uint8_t id)
{
    switch (id) {
    case q931::ie::kBearer: m.bearer = q931::Bearer::rate56(); break;
    case q931::ie::kCause: m.cause = q931::Cause{0x02, 17, {0x01}}; break;
    case q931::ie::kCallState: m.call_state = 10; break;
    case q931::ie::kChannelId: m.channel = q931::ChannelId{true, false, 23}; break;
    case q931::ie::kProgress: m.progress = q931::Progress{0x02, 8}; break;
    case q931::ie::kDisplay: m.display = "Alice 5551234"; break;
    case q931::ie::kCalling: m.calling = q931::PartyNumber{0x21, 0x03, "2125550000"}; break;
    case q931::ie::kCalled: m.called = q931::PartyNumber{0x41, std::nullopt, "5551234"}; break;
    case q931::ie::kRestart: m.restart_class = 7; break;
    case q931::ie::kSendingComplete: m.sending_complete = true; break;
    default: FAIL() << "no sample for element " << int(id);
    }
}

TEST(Q931Codec, EveryMessageRoundTripsWithEveryElementItAllows)
{
    for (const q931::MessageRow& row : q931::message_table()) {
        SCOPED_TRACE(row.name);
        q931::Message m = q931::make(MsgType(row.type), 0x1234, true);
        for (const auto& a : row.ies) fill(m, a.id);
        EXPECT_TRUE(q931::check(m).ok());
        Bytes b = q931::encode(m);
        q931::Decoded d = q931::decode(b);
        ASSERT_TRUE(d.ok());
        EXPECT_TRUE(d.known_type);
        EXPECT_TRUE(d.missing.empty() && d.invalid.empty() && d.unexpected.empty()) << show(b);
        EXPECT_EQ(d.msg, m) << q931::dump(d.msg);
        // Elements in ascending order of identifier: a scanning receiver may stop early.
        uint8_t last = 0;
        for (size_t i = 5; i < b.size(); i += (b[i] & 0x80) ? 1 : 2 + b[i + 1]) {
            EXPECT_GT(b[i], last) << show(b);
            last = b[i];
        }
    }
}

// Octets as the adapter's user side builds them, and as the network must send them.
TEST(Q931Codec, KnownOctetsDecodeAndEncodeAsOnTheLine)
{
    struct Case {
        const char* name;
        const char* octets;
        q931::Message msg;
    };
    auto with = [](q931::Message m, auto&& f) {
        f(m);
        return m;
    };
    const Case cases[] = {
        {"user SETUP, speech on T1, preferred channel 5", "08 02 00 05 05 04 03 80 90 A2 18 03 A1 83 85 70 08 80 '5551234'",
         with(q931::make(MsgType::Setup, 5, false), [](auto& m) {
             m.bearer = q931::Bearer::speech(false);
             m.channel = q931::ChannelId{false, false, 5};
             m.called = q931::PartyNumber{0x00, std::nullopt, "5551234"};
         })},
        {"56 kbit/s bearer", "08 02 00 05 05 04 04 89 90 21 8F 18 03 A9 83 81",
         with(q931::make(MsgType::Setup, 5, false), [](auto& m) {
             m.bearer = q931::Bearer::rate56();
             m.channel = q931::ChannelId{true, false, 1};
         })},
        {"user DISCONNECT", "08 02 80 01 45 08 02 80 90",
         with(q931::make(MsgType::Disconnect, 1, true), [](auto& m) { m.cause = q931::Cause{0x00, 16, {}}; })},
        {"user STATUS", "08 02 80 01 7D 08 02 80 9E 14 01 0A",
         with(q931::make(MsgType::Status, 1, true), [](auto& m) {
             m.cause = q931::Cause{0x00, 30, {}};
             m.call_state = 10;
         })},
        {"RESTART of all interfaces, global reference", "08 02 00 00 46 79 01 87",
         with(q931::make(MsgType::Restart, 0, false), [](auto& m) { m.restart_class = 7; })},
        {"calling number with presentation", "08 02 00 01 05 04 02 88 90 18 03 A9 83 97 6C 04 21 83 '12'",
         with(q931::make(MsgType::Setup, 1, false), [](auto& m) {
             m.bearer = q931::Bearer::unrestricted64();
             m.channel = q931::ChannelId{true, false, 23};
             m.calling = q931::PartyNumber{0x21, 0x03, "12"};
         })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        q931::Decoded d = q931::decode(hex(c.octets));
        ASSERT_TRUE(d.ok());
        EXPECT_TRUE(d.invalid.empty() && d.missing.empty());
        EXPECT_EQ(d.msg, c.msg) << q931::dump(d.msg);
        EXPECT_EQ(show(q931::encode(c.msg)), show(hex(c.octets)));
    }
}

TEST(Q931Codec, MalformedMessagesAreReportedNotTrusted)
{
    using F = q931::Decoded::Fatal;
    struct Case {
        const char* name;
        const char* octets;
        F fatal;
        std::vector<uint8_t> invalid, missing;
        size_t others = 0;
    };
    const Case cases[] = {
        {"empty", "", F::TooShort, {}, {}},
        {"two octets", "08 02", F::TooShort, {}, {}},
        {"reference longer than the message", "08 02 00", F::TooShort, {}, {}},
        {"no message type", "08 02 00 01", F::TooShort, {}, {}},
        {"other discriminator", "09 02 00 01 05", F::BadDiscriminator, {}, {}},
        {"reference length 3", "08 03 00 00 01 05", F::BadCallReference, {}, {}},
        {"reference octet with upper nibble", "08 12 00 01 05", F::BadCallReference, {}, {}},
        {"element past the end", "08 02 80 01 7D 08 05 80 90", F::None, {0x08}, {0x08, 0x14}},
        {"element length octet missing", "08 02 80 01 45 08", F::None, {0x08}, {0x08}},
        {"cause with one octet", "08 02 80 01 45 08 01 80", F::None, {0x08}, {}},
        {"bearer with one octet", "08 02 00 01 05 04 01 80 18 03 A9 83 81", F::None, {0x04}, {}},
        {"channel in basic-rate form", "08 02 00 01 05 04 02 88 90 18 01 81", F::None, {0x18}, {}},
        {"channel number missing", "08 02 00 01 05 04 02 88 90 18 02 A9 83", F::None, {0x18}, {}},
        {"restart class 3", "08 02 00 00 46 79 01 83", F::None, {0x79}, {}},
        {"status without call state", "08 02 80 01 7D 08 02 80 9E", F::None, {}, {0x14}},
        {"unknown element kept aside", "08 02 80 01 45 08 02 80 90 7E 02 01 02", F::None, {}, {}, 1},
        {"code set 6 after a locking shift", "08 02 80 01 45 08 02 80 90 96 28 02 41 42", F::None, {}, {}, 1},
        {"octet after the called number (VN4 user side)", "08 02 00 01 05 04 02 88 90 18 03 A9 83 81 70 02 80 '1' 80",
         F::None, {}, {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        q931::Decoded d = q931::decode(hex(c.octets));
        EXPECT_EQ(d.fatal, c.fatal);
        if (c.fatal != F::None) continue;
        EXPECT_EQ(d.invalid, c.invalid);
        EXPECT_EQ(d.missing, c.missing);
        EXPECT_EQ(d.msg.others.size(), c.others);
    }
}

// ---------------------------------------------------------------------------------
// A network side on a line, with the user side played here.

struct Bench {
    plat::Host host;
    sim::Line line{0};
    IsdnNetworkSide net;
    std::vector<Bytes> sent;  // frames to the adapter, oldest first
    uint8_t ns = 0, nr = 0;   // the user side's V(S) and V(R)
    bool answer_enquiries = true;  // as a live user side: RR response, F = 1, to a poll

    explicit Bench(sim::IsdnNetworkConfig cfg = {}) : net(host, line, cfg)
    {
        line.on_frame_to_adapter([this](uint32_t mask, const Bytes& f) {
            EXPECT_EQ(mask, net.d_channel_mask());
            auto p = lapd::parse(f);
            if (answer_enquiries && p && p->kind == lapd::Frame::Kind::S && p->cr && p->pf) {
                host.sched.after(100, [this] {
                    line.frame_from_adapter(net.d_channel_mask(), lapd::build_s(0, true, 0, lapd::SType::Rr, nr, true));
                });
                return;
            }
            sent.push_back(f);
        });
    }
    void user(const Bytes& frame, plat::VTime settle = plat::ms(1))
    {
        line.frame_from_adapter(net.d_channel_mask(), frame);
        host.run_for(settle);
    }
    void user(const std::string& frame) { user(hex(frame)); }
    std::vector<std::string> take()
    {
        std::vector<std::string> v;
        for (auto& f : sent) v.push_back(show(f));
        sent.clear();
        return v;
    }
    void up()
    {
        user("00 01 7F");
        ASSERT_EQ(take(), std::vector<std::string>{"00 01 73 "});
        ns = nr = 0;
    }
    // The user sends a Q.931 message in sequence, acknowledging what it has.
    void send(const std::string& message)
    {
        Bytes f = cat({0x00, 0x01, uint8_t(ns << 1), uint8_t(nr << 1)}, hex(message));
        ns = uint8_t((ns + 1) % 128);
        user(f);
    }
    // The messages the network sent since the last look; I-frames are acknowledged.
    std::vector<q931::Message> messages(bool ack = true)
    {
        host.run_for(plat::ms(1));
        std::vector<q931::Message> out;
        auto frames = std::move(sent);
        sent.clear();
        for (const Bytes& f : frames) {
            auto p = lapd::parse(f);
            if (!p || p->kind != lapd::Frame::Kind::I) continue;
            EXPECT_EQ(p->ns, nr) << "in sequence";
            nr = uint8_t((p->ns + 1) % 128);
            q931::Decoded d = q931::decode(p->info);
            EXPECT_TRUE(d.ok() && d.invalid.empty() && d.missing.empty()) << show(p->info);
            out.push_back(d.msg);
        }
        if (ack && !out.empty()) user(lapd::build_s(0, true, 0, lapd::SType::Rr, nr, false));
        sent.clear();
        return out;
    }
};

std::vector<std::string> names(const std::vector<q931::Message>& ms)
{
    std::vector<std::string> v;
    for (auto& m : ms) v.push_back(q931::message_name(m.type));
    return v;
}

// ---------------------------------------------------------------------------------
// LAPD

TEST(IsdnNetworkLapd, AnswersSabmeAndAssignsItsTei)
{
    Bench b;
    EXPECT_EQ(b.net.d_channel_mask(), 1u << 24) << "T1: the D channel is time slot 24";
    b.user("FC FF 03 0F 12 34 01 FF");  // identity request, any TEI
    EXPECT_EQ(b.take(), std::vector<std::string>{"FE FF 03 0F 12 34 02 01 "}) << "identity assigned, TEI 0";
    b.user("00 01 7F");
    EXPECT_EQ(b.take(), std::vector<std::string>{"00 01 73 "}) << "UA, F = 1, as a response";
    EXPECT_EQ(b.net.l2_state(), sim::L2State::Established);
    b.user("00 01 53");  // DISC
    EXPECT_EQ(b.take(), std::vector<std::string>{"00 01 73 "});
    EXPECT_EQ(b.net.l2_state(), sim::L2State::Released);
    b.user("00 01 01 01");  // RR command with P while released
    EXPECT_EQ(b.take(), std::vector<std::string>{"00 01 1F "}) << "DM, F = 1";
}

TEST(IsdnNetworkLapd, E1LineUsesTimeSlot16)
{
    sim::IsdnNetworkConfig e1;
    e1.e1 = true;
    Bench c(e1);
    EXPECT_EQ(c.net.d_channel_mask(), 1u << 16) << "E1: time slot 16";
    c.line.frame_from_adapter(1u << 24, hex("00 01 7F"));
    c.host.run_for(plat::ms(1));
    EXPECT_TRUE(c.sent.empty()) << "frames on other channels are not the D channel's";
}

TEST(IsdnNetworkLapd, EstablishesItselfOnRequest)
{
    Bench b;
    b.net.establish();
    b.host.run_for(plat::ms(1));
    EXPECT_EQ(b.take(), std::vector<std::string>{"02 01 7F "}) << "SABME, P = 1, as a command";
    b.user("02 01 73");  // UA, F = 1
    EXPECT_EQ(b.net.l2_state(), sim::L2State::Established);
}

// The event log is bounded: a long run keeps its newest events only.
TEST(IsdnNetworkLapd, EventLogIsBounded)
{
    Bench b;
    b.net.set_log_limit(8);
    size_t most = 0;
    for (int i = 0; i < 100; i++) {
        b.user("00 01 53");  // DISC while released: DM
        b.take();
        most = std::max(most, b.net.log().size());
    }
    EXPECT_GT(most, 0u);
    EXPECT_LE(most, 8u);
}

TEST(IsdnNetworkLapd, UnansweredSabmeGivesUpAfterN200)
{
    Bench quiet;
    quiet.net.establish();
    quiet.host.run_for(plat::ms(3500));
    EXPECT_EQ(quiet.take().size(), 4u) << "first SABME and three repeats a T200 apart";
    EXPECT_EQ(quiet.net.l2_state(), sim::L2State::AwaitingEstablishment);
    quiet.host.run_for(plat::ms(1000));
    EXPECT_EQ(quiet.net.l2_state(), sim::L2State::Released);
    EXPECT_TRUE(quiet.take().empty());
}

TEST(IsdnNetworkLapd, WindowHoldsTheEighthFrameUntilAcknowledged)
{
    Bench b;
    b.up();
    for (int i = 0; i < 9; i++) b.net.send_message(q931::make(MsgType::StatusEnquiry, uint16_t(i + 1), false));
    b.host.run_for(plat::ms(1));
    auto out = b.take();
    ASSERT_EQ(out.size(), 7u);
    for (int i = 0; i < 7; i++) EXPECT_EQ(out[i].substr(0, 12), show({0x02, 0x01, uint8_t(i << 1), 0x00}));
    b.user("02 01 01 06");  // RR response N(R) = 3
    out = b.take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].substr(0, 12), "02 01 0E 00 ");
    EXPECT_EQ(out[1].substr(0, 12), "02 01 10 00 ");
    EXPECT_EQ(b.net.va(), 3);
    EXPECT_EQ(b.net.vs(), 9);
    b.user("02 01 01 12");  // N(R) = 9: all acknowledged, T200 stops
    b.host.run_for(plat::ms(5000));
    EXPECT_TRUE(b.take().empty()) << "nothing repeated once acknowledged";
    EXPECT_EQ(b.net.counters().retransmitted, 0u);
}

TEST(IsdnNetworkLapd, TimerRecoveryEnquiresThenRetransmitsFromNr)
{
    Bench b;
    b.answer_enquiries = false;
    b.up();
    b.net.send_message(q931::make(MsgType::StatusEnquiry, 1, false));
    b.host.run_for(plat::ms(1));
    auto first = b.take();
    ASSERT_EQ(first.size(), 1u);
    b.host.run_for(plat::ms(1000));
    EXPECT_EQ(b.take(), std::vector<std::string>{"02 01 01 01 "}) << "T200: RR command, P = 1";
    EXPECT_EQ(b.net.l2_state(), sim::L2State::TimerRecovery);
    b.user("02 01 01 01");  // RR response, F = 1, N(R) = 0: the frame was lost
    EXPECT_EQ(b.take(), first) << "the I-frame again, same N(S)";
    EXPECT_EQ(b.net.l2_state(), sim::L2State::Established);
    b.user("02 01 01 02");
    b.host.run_for(plat::ms(5000));
    EXPECT_TRUE(b.take().empty());

    // Unanswered enquiries: N200 of them, then the link is set up again.
    b.net.send_message(q931::make(MsgType::StatusEnquiry, 2, false));
    b.host.run_for(plat::ms(4001));
    auto out = b.take();
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[1], "02 01 01 01 ") << "RR command, P = 1, N(R) = V(R) = 0";
    EXPECT_EQ(out[3], "02 01 01 01 ");
    EXPECT_EQ(out[4], "02 01 7F ") << "SABME after N200 enquiries";
    EXPECT_EQ(b.net.l2_state(), sim::L2State::AwaitingEstablishment);
}

TEST(IsdnNetworkLapd, ReceiveSequenceRejectAndBusyConditions)
{
    Bench b;
    b.up();
    b.user("00 01 02 00 08 02 00 09 75");  // N(S) = 1 while V(R) = 0
    EXPECT_EQ(b.take(), std::vector<std::string>{"00 01 09 00 "}) << "REJ response, N(R) = 0";
    b.user("00 01 04 00 08 02 00 09 75");  // still out of sequence: no second REJ
    EXPECT_TRUE(b.take().empty());
    b.user("00 01 00 01 08 02 00 09 75");  // N(S) = 0 with P: taken
    auto out = b.take();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], "00 01 01 03 ") << "RR response, F = 1, N(R) = 1";
    EXPECT_EQ(out[1], "02 01 00 02 08 02 80 09 7D 08 02 82 9E 14 01 00 ")
        << "STATUS of the null state for the enquiry, acknowledging it";
    EXPECT_EQ(b.net.vr(), 1);
    EXPECT_EQ(b.net.counters().rej_out, 1u);

    // The user's receiver busy holds I-frames back; RR lets them go.
    b.user("02 01 05 02");  // RNR response, N(R) = 1
    b.net.send_message(q931::make(MsgType::StatusEnquiry, 1, false));
    b.host.run_for(plat::ms(1));
    EXPECT_TRUE(b.take().empty());
    b.user("02 01 01 02");
    ASSERT_EQ(b.take().size(), 1u);

    // A REJ from the user: sent again from its N(R).
    b.user("02 01 09 02");  // REJ N(R) = 1
    out = b.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].substr(0, 12), "02 01 02 02 ");
    EXPECT_EQ(b.net.counters().retransmitted, 1u);
}

TEST(IsdnNetworkLapd, SequenceNumbersWrapAt128)
{
    Bench b;
    b.up();
    for (int i = 0; i < 130; i++) {
        b.net.send_message(q931::make(MsgType::StatusEnquiry, 1, false));
        b.host.run_for(plat::ms(1));
        auto f = lapd::parse(b.sent.back());
        ASSERT_TRUE(f);
        EXPECT_EQ(f->ns, i % 128);
        b.user(lapd::build_s(0, true, 0, lapd::SType::Rr, uint8_t((i + 1) % 128), false));
        b.sent.clear();
    }
    EXPECT_EQ(b.net.va(), 2);
    EXPECT_EQ(b.net.counters().reestablishments, 0u);
}

TEST(IsdnNetworkLapd, MalformedFramesAreCountedNeverTrusted)
{
    struct Case {
        const char* name;
        const char* frame;
        bool reestablish;  // addressed to the link, so the procedure restarts
    };
    const Case cases[] = {
        {"empty", "", false},
        {"one octet", "00", false},
        {"two octets", "00 01", false},
        {"address extension bit in octet 1", "01 01 7F", false},
        {"no address extension bit in octet 2", "00 00 7F", false},
        {"supervisory frame of 3 octets", "00 01 01", true},
        {"supervisory frame of 5 octets", "00 01 01 02 03", true},
        {"undefined supervisory frame", "00 01 0D 00", true},
        {"SABME with information", "00 01 7F 00", true},
        {"undefined unnumbered frame", "00 01 FF", true},
        {"I-frame of 3 octets", "00 01 00", true},
        {"N(R) beyond V(S)", "02 01 01 0A", true},
        {"TEI management too short", "FC FF 03 0F 00", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.up();
        b.user(c.frame);
        EXPECT_EQ(b.net.counters().malformed, 1u);
        EXPECT_EQ(b.take(), c.reestablish ? std::vector<std::string>{"02 01 7F "} : std::vector<std::string>{});
    }
}

// Any octets at all: counted, and everything the network sends still parses.
TEST(IsdnNetworkLapd, SurvivesRandomFrames)
{
    Bench b;
    b.up();
    uint32_t seed = 12345;
    auto rnd = [&] { return seed = seed * 1103515245u + 12345u, uint8_t(seed >> 16); };
    for (int i = 0; i < 4000; i++) {
        Bytes f(rnd() % 40);
        for (auto& x : f) x = rnd();
        if (f.size() >= 2 && i % 2 == 0) f[0] = uint8_t(rnd() & 0x02), f[1] = 0x01;  // mostly ours
        if (f.size() >= 5 && i % 4 == 0) f[2] = uint8_t(b.ns++ << 1), f[4] = 0x08;   // I-frames with Q.931
        b.user(f, plat::ms(rnd() % 300));
        if (i % 50 == 0) b.user("00 01 7F");
        for (const Bytes& out : b.sent) {
            auto p = lapd::parse(out);
            ASSERT_TRUE(p) << show(out);
            if (p->kind == lapd::Frame::Kind::I) {
                EXPECT_TRUE(q931::decode(p->info).ok());
            }
        }
        b.sent.clear();
    }
    EXPECT_EQ(b.net.counters().frames_in, 4000u + 81u);
    EXPECT_GT(b.net.counters().malformed, 0u);
}

// ---------------------------------------------------------------------------------
// Calls

// An incoming call on channel 3 from offer to clearing, every frame as on the line.
TEST(IsdnNetworkCalls, IncomingCallFrameByFrame)
{
    Bench b;
    b.user("00 01 7F");
    EXPECT_EQ(b.take(), std::vector<std::string>{"00 01 73 "});

    auto key = b.net.offer_call(3, "5551234", "2125550000", q931::Bearer::speech(false));
    ASSERT_TRUE(key);
    b.host.run_for(plat::ms(1));
    EXPECT_EQ(b.take(), std::vector<std::string>{show(hex("02 01 00 00 08 02 00 01 05 04 03 80 90 A2 18 03 A9 83 83 "
                                                          "6C 0C 21 83 '2125550000' 70 08 C1 '5551234'"))})
        << "SETUP: speech, channel 3 exclusive, national calling and subscriber called number";
    EXPECT_EQ(b.net.channel_state(3), NetState::CallPresent);

    b.user("00 01 00 02 08 02 80 01 01");  // ALERTING, acknowledging the SETUP
    EXPECT_EQ(b.take(), std::vector<std::string>{"00 01 01 02 "});
    EXPECT_EQ(b.net.channel_state(3), NetState::CallReceived);

    b.user("00 01 02 02 08 02 80 01 07 18 03 A9 83 83");  // CONNECT
    EXPECT_EQ(b.take(), std::vector<std::string>{"02 01 02 04 08 02 00 01 0F "}) << "CONNECT ACKNOWLEDGE";
    EXPECT_EQ(b.net.channel_state(3), NetState::Active);
    b.user("02 01 01 04");  // RR

    b.user("00 01 04 04 08 02 80 01 45 08 02 80 90");  // DISCONNECT, normal clearing
    EXPECT_EQ(b.take(), std::vector<std::string>{"02 01 04 06 08 02 00 01 4D 08 02 82 90 "}) << "RELEASE";
    EXPECT_EQ(b.net.channel_state(3), NetState::ReleaseRequest);

    b.user("00 01 06 06 08 02 80 01 5A");  // RELEASE COMPLETE
    EXPECT_EQ(b.take(), std::vector<std::string>{"00 01 01 08 "});
    EXPECT_EQ(b.net.channel_state(3), NetState::Null);
    EXPECT_TRUE(b.net.calls().empty());
    EXPECT_EQ(b.net.counters().malformed + b.net.counters().bad_messages, 0u);

    // The log carries decoded messages and the call's states in order.
    std::vector<NetState> states;
    std::vector<std::string> in;
    for (const auto& e : b.net.log()) {
        if (e.kind == sim::IsdnEvent::Kind::CallState) states.push_back(e.state);
        if (e.kind == sim::IsdnEvent::Kind::MessageIn) in.push_back(q931::message_name(e.message->type));
    }
    EXPECT_EQ(states, (std::vector<NetState>{NetState::CallPresent, NetState::CallReceived, NetState::Active,
                                             NetState::ReleaseRequest, NetState::Null}));
    EXPECT_EQ(in, (std::vector<std::string>{"ALERTING", "CONNECT", "DISCONNECT", "RELEASE COMPLETE"}));
}

// What each variant puts in the SETUP it offers.
TEST(IsdnNetworkCalls, OfferedSetupFollowsTheVariant)
{
    struct Case {
        SwitchVariant v;
        bool exclusive;
        uint8_t called_type;
        bool display;
        bool sending_complete;
    };
    const Case cases[] = {
        {SwitchVariant::Ess5, true, 0x21, false, false},
        {SwitchVariant::Ni1, true, 0x21, false, false},
        {SwitchVariant::Dms100, true, 0x21, true, false},
        {SwitchVariant::EuroIsdn, false, 0x01, false, true},
        {SwitchVariant::Vn4, false, 0x01, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::variant_profile(c.v).name);
        sim::IsdnNetworkConfig cfg;
        cfg.variant = c.v;
        cfg.e1 = c.v == SwitchVariant::EuroIsdn || c.v == SwitchVariant::Vn4;
        Bench b(cfg);
        b.up();
        ASSERT_TRUE(b.net.offer_call(17, "2125551234", "7035550000", q931::Bearer::speech(cfg.e1)));
        auto ms = b.messages();
        ASSERT_EQ(ms.size(), 1u);
        const q931::Message& m = ms[0];
        EXPECT_EQ(m.channel, (q931::ChannelId{c.exclusive, false, 17}));
        EXPECT_EQ(m.bearer->layer1, cfg.e1 ? 3 : 2) << "A-law on E1, mu-law on T1";
        EXPECT_EQ(m.called->type_plan, c.called_type);
        EXPECT_EQ(m.display.has_value(), c.display);
        EXPECT_EQ(m.sending_complete, c.sending_complete);
        EXPECT_LE(q931::encode(m).size(), 76u) << "fits the user side's I-frame limit";
    }
}

TEST(IsdnNetworkCalls, OfferIsRefusedWhereItCannotBePlaced)
{
    {
        Bench t1;
        t1.up();
        EXPECT_FALSE(t1.net.offer_call(24, "1", "2", q931::Bearer::speech(false))) << "the D channel";
        EXPECT_FALSE(t1.net.offer_call(0, "1", "2", q931::Bearer::speech(false)));
        EXPECT_TRUE(t1.net.offer_call(23, "1", "2", q931::Bearer::speech(false)));
        EXPECT_FALSE(t1.net.offer_call(23, "1", "2", q931::Bearer::speech(false))) << "channel in use";
    }
    Bench down;
    EXPECT_FALSE(down.net.offer_call(1, "1", "2", q931::Bearer::speech(false))) << "layer 2 released";
}

// A call the adapter places, answered by each policy, in the variants that differ.
TEST(IsdnNetworkCalls, OutgoingCallAnsweredByPolicy)
{
    using Act = sim::AnswerPolicy::Action;
    struct Case {
        SwitchVariant v;
        Act action;
        std::vector<std::string> answers;
        bool alerting_progress;
        uint8_t cause;  // of the clearing message, 0: none
        NetState end;
    };
    const Case cases[] = {
        {SwitchVariant::Ess5, Act::Connect, {"CALL PROCEEDING", "ALERTING", "CONNECT"}, false, 0, NetState::Active},
        {SwitchVariant::Ni1, Act::Connect, {"CALL PROCEEDING", "ALERTING", "CONNECT"}, true, 0, NetState::Active},
        {SwitchVariant::Dms100, Act::Connect, {"CALL PROCEEDING", "ALERTING", "CONNECT"}, true, 0, NetState::Active},
        {SwitchVariant::EuroIsdn, Act::Connect, {"CALL PROCEEDING", "ALERTING", "CONNECT"}, false, 0, NetState::Active},
        {SwitchVariant::Ess5, Act::Busy, {"CALL PROCEEDING", "DISCONNECT"}, false, 17, NetState::DisconnectIndication},
        {SwitchVariant::Ess5, Act::NoAnswer, {"CALL PROCEEDING", "ALERTING", "DISCONNECT"}, false, 19,
         NetState::DisconnectIndication},
        {SwitchVariant::Vn4, Act::Reject, {"RELEASE COMPLETE"}, false, 21, NetState::Null},
        {SwitchVariant::Ess5, Act::Manual, {}, false, 0, NetState::CallInitiated},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(sim::variant_profile(c.v).name) + " policy " + std::to_string(int(c.action)));
        sim::IsdnNetworkConfig cfg;
        cfg.variant = c.v;
        Bench b(cfg);
        sim::AnswerPolicy p;
        p.action = c.action;
        p.no_answer_after = plat::ms(1000);
        b.net.set_answer_policy(p);
        b.up();
        b.send("08 02 00 05 05 04 03 80 90 A2 18 03 A1 83 85 70 08 C1 '5551234'");
        std::vector<q931::Message> got;
        for (int i = 0; i < 12; i++) {
            b.host.run_for(plat::ms(100));
            for (auto& m : b.messages()) got.push_back(m);
        }
        EXPECT_EQ(names(got), c.answers);
        for (const auto& m : got) {
            EXPECT_EQ(m.cr, 5);
            EXPECT_TRUE(m.cr_flag) << "answers carry the flag of a user reference";
        }
        if (!got.empty() && got[0].type != uint8_t(MsgType::ReleaseComplete)) {
            EXPECT_EQ(got[0].channel, (q931::ChannelId{true, false, 5})) << "the first answer names the channel";
        }
        for (const auto& m : got) {
            if (m.type == uint8_t(MsgType::Alerting)) {
                EXPECT_EQ(m.progress.has_value(), c.alerting_progress);
            }
            if (m.cause) {
                EXPECT_EQ(m.cause->value, c.cause);
            }
        }
        EXPECT_EQ(b.net.channel_state(5), c.end);
        auto call = b.net.call({5, true});
        if (c.end != NetState::Null) {
            ASSERT_TRUE(call);
            EXPECT_EQ(call->called, "5551234");
        }
    }
}

TEST(IsdnNetworkCalls, ChannelChoiceForTheAdaptersSetup)
{
    struct Case {
        const char* name;
        SwitchVariant v;
        bool e1;
        const char* channel_ie;
        std::string answer;
        uint8_t value;  // channel in the answer, or cause of RELEASE COMPLETE
    };
    // channel 5 is busy with an offered call in each case
    const Case cases[] = {
        {"free preferred channel", SwitchVariant::Ess5, false, "18 03 A1 83 86", "CALL PROCEEDING", 6},
        {"busy preferred channel moves", SwitchVariant::Ess5, false, "18 03 A1 83 85", "CALL PROCEEDING", 1},
        {"busy preferred channel, DMS100 keeps it", SwitchVariant::Dms100, false, "18 03 A1 83 85", "RELEASE COMPLETE", 44},
        {"busy exclusive channel", SwitchVariant::Ess5, false, "18 03 A9 83 85", "RELEASE COMPLETE", 44},
        {"any channel", SwitchVariant::Ess5, false, "18 01 A3", "CALL PROCEEDING", 1},
        {"T1 D channel", SwitchVariant::Ess5, false, "18 03 A9 83 98", "RELEASE COMPLETE", 82},
        {"E1 D channel", SwitchVariant::EuroIsdn, true, "18 03 A9 83 90", "RELEASE COMPLETE", 82},
        {"E1 channel 31", SwitchVariant::EuroIsdn, true, "18 03 A9 83 9F", "CALL PROCEEDING", 31},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::IsdnNetworkConfig cfg;
        cfg.variant = c.v;
        cfg.e1 = c.e1;
        Bench b(cfg);
        sim::AnswerPolicy manual;
        manual.action = sim::AnswerPolicy::Action::Manual;
        b.net.set_answer_policy(manual);
        b.up();
        ASSERT_TRUE(b.net.offer_call(5, "1", "2", q931::Bearer::speech(c.e1)));
        b.messages();
        b.send(std::string("08 02 00 07 05 04 03 80 90 A2 ") + c.channel_ie);
        b.net.proceed({7, true});
        b.host.run_for(plat::ms(1));
        auto got = b.messages();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(q931::message_name(got[0].type), c.answer);
        if (c.answer == "CALL PROCEEDING") {
            EXPECT_EQ(got[0].channel, (q931::ChannelId{true, false, c.value}));
            EXPECT_EQ(b.net.channel_state(c.value), NetState::OutgoingProceeding);
        } else {
            EXPECT_EQ(got[0].cause->value, c.value);
            EXPECT_FALSE(b.net.call({7, true}));
        }
    }
}

// Answers to messages that do not fit: an offered call (reference 1, channel 3) is in
// call present when each arrives.
TEST(IsdnNetworkCalls, ErrorAnswersFollowTheCallState)
{
    struct Case {
        const char* name;
        SwitchVariant v;
        const char* message;
        std::string answer;  // empty: none
        uint8_t cause;
        std::optional<uint8_t> call_state;  // in a STATUS answer
        NetState after;
    };
    const Case cases[] = {
        {"unknown reference", SwitchVariant::Ess5, "08 02 00 55 07", "RELEASE COMPLETE", 81, {}, NetState::CallPresent},
        {"RELEASE for unknown reference", SwitchVariant::Ess5, "08 02 00 55 4D 08 02 80 90", "RELEASE COMPLETE", 81, {},
         NetState::CallPresent},
        {"RELEASE COMPLETE for unknown reference", SwitchVariant::Ess5, "08 02 00 55 5A", "", 0, {}, NetState::CallPresent},
        {"not compatible, 5ESS", SwitchVariant::Ess5, "08 02 80 01 0F", "STATUS", 0x62, 6, NetState::CallPresent},
        {"not compatible, NI-1", SwitchVariant::Ni1, "08 02 80 01 0F", "STATUS", 0x65, 6, NetState::CallPresent},
        {"status enquiry", SwitchVariant::Ess5, "08 02 80 01 75", "STATUS", 30, 6, NetState::CallPresent},
        {"status enquiry, unknown reference", SwitchVariant::Ess5, "08 02 00 09 75", "STATUS", 30, 0, NetState::CallPresent},
        {"unknown message type", SwitchVariant::Ess5, "08 02 80 01 33", "STATUS", 97, 6, NetState::CallPresent},
        {"STATUS without call state", SwitchVariant::Ess5, "08 02 80 01 7D 08 02 80 9E", "STATUS", 96, 6,
         NetState::CallPresent},
        {"STATUS with a bad cause", SwitchVariant::Ess5, "08 02 80 01 7D 08 01 80 14 01 07", "STATUS", 100, 6,
         NetState::CallPresent},
        {"STATUS of the null state", SwitchVariant::Ess5, "08 02 80 01 7D 08 02 80 9E 14 01 00", "", 0, {}, NetState::Null},
        {"DISCONNECT without cause", SwitchVariant::Ess5, "08 02 80 01 45", "RELEASE", 96, {}, NetState::ReleaseRequest},
        {"RELEASE", SwitchVariant::Ess5, "08 02 80 01 4D 08 02 80 90", "RELEASE COMPLETE", 0, {}, NetState::Null},
        {"refused by RELEASE COMPLETE", SwitchVariant::Ess5, "08 02 80 01 5A 08 02 80 D8", "", 0, {}, NetState::Null},
        {"too short to be a message", SwitchVariant::Ess5, "08 02 80", "", 0, {}, NetState::CallPresent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::IsdnNetworkConfig cfg;
        cfg.variant = c.v;
        Bench b(cfg);
        b.up();
        ASSERT_TRUE(b.net.offer_call(3, "1", "2", q931::Bearer::speech(false)));
        b.messages();
        b.send(c.message);
        auto got = b.messages();
        if (c.answer.empty()) {
            EXPECT_TRUE(got.empty()) << names(got)[0];
        } else {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(q931::message_name(got[0].type), c.answer);
            EXPECT_EQ(got[0].cause ? got[0].cause->value : 0, c.cause);
            EXPECT_EQ(got[0].call_state, c.call_state);
        }
        EXPECT_EQ(b.net.channel_state(3), c.after);
    }
}

TEST(IsdnNetworkCalls, NetworkClearingAndItsTimers)
{
    Bench b;
    b.up();
    auto key = b.net.offer_call(3, "1", "2", q931::Bearer::unrestricted64());
    b.messages();
    b.send("08 02 80 01 07");  // CONNECT
    EXPECT_EQ(names(b.messages()), std::vector<std::string>{"CONNECT ACKNOWLEDGE"});
    ASSERT_TRUE(b.net.clear_channel(3, 31));
    auto got = b.messages();
    ASSERT_EQ(names(got), std::vector<std::string>{"DISCONNECT"});
    EXPECT_EQ(got[0].cause->value, 31);
    EXPECT_TRUE(got[0].progress) << "5ESS: in-band tones follow";
    EXPECT_FALSE(b.net.clear_call(*key)) << "already clearing";
    b.host.run_for(plat::ms(30000));
    EXPECT_EQ(names(b.messages()), std::vector<std::string>{"RELEASE"}) << "T305";
    b.host.run_for(plat::ms(4000));
    EXPECT_EQ(names(b.messages()), std::vector<std::string>{"RELEASE"}) << "T308, once";
    b.host.run_for(plat::ms(4000));
    EXPECT_TRUE(b.messages().empty());
    EXPECT_EQ(b.net.channel_state(3), NetState::Null);

    // A SETUP without answer: sent again at T303, then given up.
    ASSERT_TRUE(b.net.offer_call(4, "1", "2", q931::Bearer::speech(false)));
    b.messages();
    b.host.run_for(plat::ms(4000));
    EXPECT_EQ(names(b.messages()), std::vector<std::string>{"SETUP"});
    b.host.run_for(plat::ms(4000));
    got = b.messages();
    ASSERT_EQ(names(got), std::vector<std::string>{"RELEASE COMPLETE"});
    EXPECT_EQ(got[0].cause->value, 102);
    EXPECT_EQ(b.net.channel_state(4), NetState::Null);
}

// A call to one of the adapter's own numbers comes back to it as an offered call on
// another channel; the adapter's answers on that leg pass to the caller's leg, and a
// clearing of either leg clears the other.
TEST(IsdnNetworkCalls, ACallToTheAdaptersOwnNumberIsOfferedBackToIt)
{
    sim::IsdnNetworkConfig cfg;
    cfg.adapter_numbers = {"5550001", "5551234"};
    Bench b(cfg);
    b.up();
    b.send("08 02 00 05 05 04 03 80 90 A2 18 03 A1 83 85 6C 04 81 '100' 70 08 C1 '5551234'");
    auto got = b.messages();
    ASSERT_EQ(names(got), (std::vector<std::string>{"CALL PROCEEDING", "SETUP"}));
    const q931::Message offer = got[1];
    EXPECT_FALSE(offer.cr_flag) << "a reference of the network's";
    ASSERT_TRUE(offer.channel && offer.channel->channel);
    EXPECT_NE(*offer.channel->channel, 5u);
    ASSERT_TRUE(offer.called && offer.calling);
    EXPECT_EQ(offer.called->digits, "5551234");
    EXPECT_EQ(offer.calling->digits, "100");
    ASSERT_EQ(b.net.calls().size(), 2u);
    for (const auto& c : b.net.calls()) EXPECT_TRUE(c.routed_back);
    auto on_offer = [&](const char* type_and_rest) {
        char m[64];
        std::snprintf(m, sizeof m, "08 02 %02X %02X %s", 0x80 | (offer.cr >> 8), offer.cr & 0xFF, type_and_rest);
        b.send(m);
    };
    on_offer("01");  // ALERTING
    got = b.messages();
    ASSERT_EQ(names(got), std::vector<std::string>{"ALERTING"});
    EXPECT_EQ(got[0].cr, 5);
    on_offer("07");  // CONNECT
    got = b.messages();
    ASSERT_EQ(names(got), (std::vector<std::string>{"CONNECT ACKNOWLEDGE", "CONNECT"}));
    EXPECT_EQ(got[1].cr, 5);
    EXPECT_EQ(b.net.channel_state(5), NetState::Active);
    EXPECT_EQ(b.net.channel_state(*offer.channel->channel), NetState::Active);

    b.send("08 02 00 05 45 08 02 80 90");  // the caller's DISCONNECT
    got = b.messages();
    ASSERT_EQ(names(got), (std::vector<std::string>{"DISCONNECT", "RELEASE"}));
    EXPECT_EQ(got[0].cr, offer.cr);
    EXPECT_EQ(got[0].cause->value, 16);
    EXPECT_EQ(got[1].cr, 5);

    // A number that is not the adapter's goes by the answer policy.
    b.send("08 02 00 06 05 04 03 80 90 A2 18 03 A1 83 86 70 08 C1 '5559999'");
    got = b.messages();
    EXPECT_EQ(names(got), std::vector<std::string>{"CALL PROCEEDING"});
}

TEST(IsdnNetworkCalls, RestartBothWays)
{
    Bench b;
    b.up();
    ASSERT_TRUE(b.net.offer_call(5, "1", "2", q931::Bearer::speech(false)));
    b.messages();
    ASSERT_TRUE(b.net.restart(5));
    b.host.run_for(plat::ms(1));
    auto f = lapd::parse(b.sent.at(0));
    EXPECT_EQ(show(f->info), show(hex("08 02 00 00 46 18 03 A9 83 85 79 01 80")));
    b.messages();
    EXPECT_EQ(b.net.channel_state(5), NetState::Null) << "the channel's call is gone";
    EXPECT_TRUE(b.net.restart_pending());
    b.send("08 02 80 00 4E 18 03 A9 83 85 79 01 80");
    EXPECT_FALSE(b.net.restart_pending());

    // From the user: every call dropped, acknowledged with the same elements.
    ASSERT_TRUE(b.net.offer_call(6, "1", "2", q931::Bearer::speech(false)));
    b.messages();
    b.send("08 02 00 00 46 79 01 87");
    auto got = b.messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(show(q931::encode(got[0])), show(hex("08 02 80 00 4E 79 01 87")));
    EXPECT_TRUE(b.net.calls().empty());
}

TEST(IsdnNetworkCalls, LosingTheLinkClearsCalls)
{
    Bench b;
    b.up();
    ASSERT_TRUE(b.net.offer_call(5, "1", "2", q931::Bearer::speech(false)));
    b.messages();
    b.user("00 01 53");  // DISC
    EXPECT_EQ(b.take(), std::vector<std::string>{"00 01 73 "});
    EXPECT_EQ(b.net.l2_state(), sim::L2State::Released);
    EXPECT_TRUE(b.net.calls().empty());

    b.up();
    ASSERT_TRUE(b.net.offer_call(5, "1", "2", q931::Bearer::speech(false)));
    b.messages();
    b.line.take_down();
    EXPECT_EQ(b.net.l2_state(), sim::L2State::Released);
    EXPECT_TRUE(b.net.calls().empty());
    b.user("00 01 7F");
    EXPECT_TRUE(b.take().empty()) << "no frames without layer 1";
    b.line.bring_up();
    b.up();
}

// After a failure of its link the network asks after each active call. A link that
// fails again and again before the enquiries are out must not queue them once more each
// time: once the link holds, every call is asked once, and a later failure asks again.
TEST(IsdnNetworkCalls, ReestablishmentsDoNotPileUpEnquiries)
{
    Bench b;
    b.up();
    constexpr unsigned kCalls = 10;  // more than the window of 7 takes at once
    for (unsigned ch = 1; ch <= kCalls; ch++) {
        auto key = b.net.offer_call(ch, "1", "2", q931::Bearer::speech(false));
        ASSERT_TRUE(key);
        b.messages();
        char connect[40];
        std::snprintf(connect, sizeof connect, "08 02 80 %02X 07", key->ref);
        b.send(connect);
        b.messages();
        ASSERT_EQ(b.net.channel_state(ch), NetState::Active);
    }
    auto link_fails = [&] {
        b.user("02 01 0F");  // DM, F = 0, in multiple-frame operation: the network sets the link up again
        b.user("02 01 73");  // UA to its SABME
        b.ns = b.nr = 0;
    };
    // Asked after: the enquiries each call gets once the user acknowledges what comes.
    auto asked = [&] {
        std::map<uint16_t, unsigned> n;
        for (auto got = b.messages(false); !got.empty(); got = b.messages(false)) {
            for (const auto& m : got)
                if (m.type == uint8_t(MsgType::StatusEnquiry)) n[m.cr]++;
            b.user(lapd::build_s(0, true, 0, lapd::SType::Rr, b.nr, false));
        }
        return n;
    };
    // Each failure comes before the user has acknowledged anything: the frames sent are
    // lost with the link, the rest wait in the queue.
    for (int i = 0; i < 6; i++) {
        link_fails();
        b.sent.clear();
    }
    link_fails();
    auto n = asked();
    EXPECT_EQ(n.size(), kCalls);
    for (const auto& [ref, times] : n) EXPECT_EQ(times, 1u) << "call " << ref;

    link_fails();
    n = asked();
    EXPECT_EQ(n.size(), kCalls) << "the enquiries are out: the next failure asks again";
    for (const auto& [ref, times] : n) EXPECT_EQ(times, 1u) << "call " << ref;
}

// A user that establishes the link again over the established one may have lost its
// calls with it (an adapter started afresh): each active call is asked after, and one the
// user answers with the null state is cleared. A link established from released asks
// nothing (up() sees the UA alone).
TEST(IsdnNetworkCalls, ALinkEstablishedAgainByTheUserAsksAfterTheActiveCalls)
{
    Bench b;
    b.up();
    ASSERT_TRUE(b.net.offer_call(3, "5551234", "2125550000", q931::Bearer::unrestricted64()));
    b.messages();
    b.send("08 02 80 01 07 18 03 A9 83 83");  // CONNECT
    ASSERT_EQ(names(b.messages()), std::vector<std::string>{"CONNECT ACKNOWLEDGE"});
    ASSERT_EQ(b.net.channel_state(3), NetState::Active);

    b.user("00 01 7F");  // SABME
    ASSERT_FALSE(b.sent.empty());
    EXPECT_EQ(show(b.sent.front()), "00 01 73 ") << "UA, F = 1";
    b.sent.erase(b.sent.begin());
    b.ns = b.nr = 0;
    auto got = b.messages();
    ASSERT_EQ(names(got), std::vector<std::string>{"STATUS ENQUIRY"});
    EXPECT_EQ(got[0].cr, 1u);
    b.send("08 02 80 01 7D 08 02 80 9E 14 01 00");  // STATUS: cause 30, call state 0
    b.messages();
    EXPECT_EQ(b.net.channel_state(3), NetState::Null) << "the user no longer knows the call";
}

// ---------------------------------------------------------------------------------
// pcap

TEST(IsdnNetworkFaults, FramesAreDroppedDuplicatedReorderedOrCut)
{
    using FF = sim::FrameFault;
    struct Case {
        const char* name;
        FF fault;
        std::vector<uint8_t> ns;  // N(S) of the I-frames reaching the user, in order
    };
    const Case cases[] = {
        {"drop", FF::Drop, {1}},
        {"duplicate", FF::Duplicate, {0, 0, 1}},
        {"reorder", FF::Reorder, {1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.up();
        b.net.inject(c.fault);
        EXPECT_EQ(b.net.faults_pending(), 1u);
        b.net.offer_call(3, "100", "200", q931::Bearer::unrestricted64());
        b.net.offer_call(4, "101", "200", q931::Bearer::unrestricted64());
        b.host.run_for(plat::ms(1));
        std::vector<uint8_t> ns;
        for (const Bytes& f : b.sent)
            if (auto p = lapd::parse(f); p && p->kind == lapd::Frame::Kind::I) ns.push_back(p->ns);
        EXPECT_EQ(ns, c.ns);
        EXPECT_EQ(b.net.faults_pending(), 0u);
    }
    // A runt: only the address reaches the line; S- and U-frames pass unless asked for.
    Bench b;
    b.up();
    b.net.inject(FF::Runt, false);
    b.net.set_receiver_busy(true);
    b.host.run_for(plat::ms(1));
    EXPECT_EQ(b.take(), std::vector<std::string>{"00 01 "});
}

TEST(IsdnNetworkFaults, WithheldAcknowledgementIsGivenOnAPoll)
{
    Bench b;
    b.up();
    b.net.withhold_acknowledgement(true);
    b.send("08 02 00 01 05 04 02 88 90 18 03 A1 83 81 70 04 80 '5' '5' '5'");  // SETUP
    b.host.run_for(plat::ms(50));
    for (const Bytes& f : b.sent) {
        auto p = lapd::parse(f);
        ASSERT_TRUE(p);
        EXPECT_NE(p->kind, lapd::Frame::Kind::S) << "no RR";
        if (p->kind == lapd::Frame::Kind::I) { EXPECT_EQ(p->nr, 0) << "the SETUP is not acknowledged"; }
    }
    b.sent.clear();
    b.user("00 01 01 01");  // RR command, P = 1: the user enquires
    EXPECT_EQ(b.take(), std::vector<std::string>{"00 01 01 03 "}) << "RR response, F = 1, N(R) = 1";
    b.net.offer_call(5, "100", "200", q931::Bearer::unrestricted64());
    b.host.run_for(plat::ms(1));
    auto p = lapd::parse(b.sent.back());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->nr, 1) << "withholding ended with the poll";
}

TEST(IsdnNetworkFaults, PiggyBackedAcknowledgementWaitsForTheNextIFrame)
{
    Bench b;
    b.up();
    b.net.acknowledge_by_piggyback(true);
    b.send("08 02 00 07 75");  // STATUS ENQUIRY, unknown call: answered by STATUS
    auto m = b.messages(false);
    ASSERT_EQ(m.size(), 1u);
    b.send("08 02 00 07 5A");  // RELEASE COMPLETE, unknown call: no answer
    b.host.run_for(plat::ms(50));
    EXPECT_TRUE(b.sent.empty()) << "no RR of its own";
    b.net.offer_call(5, "100", "200", q931::Bearer::unrestricted64());
    b.host.run_for(plat::ms(1));
    ASSERT_EQ(b.sent.size(), 1u);
    auto p = lapd::parse(b.sent[0]);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->kind, lapd::Frame::Kind::I);
    EXPECT_EQ(p->nr, 2) << "both frames acknowledged in the SETUP";
}

TEST(IsdnNetworkFaults, BearerInAnswersRestartOfTheInterfaceAndALongCallReference)
{
    sim::IsdnNetworkConfig cfg;
    cfg.bearer_in_answers = true;
    Bench b(cfg);
    b.up();
    b.net.set_answer_policy(sim::AnswerPolicy{sim::AnswerPolicy::Action::Connect, plat::ms(10), plat::ms(20)});
    b.send("08 02 00 01 05 04 02 88 90 18 03 A1 83 81 70 04 80 '5' '5' '5'");  // SETUP
    b.host.run_for(plat::ms(50));
    auto m = b.messages();
    ASSERT_EQ(names(m), (std::vector<std::string>{"CALL PROCEEDING", "ALERTING", "CONNECT"}));
    EXPECT_FALSE(m[0].bearer) << "CALL PROCEEDING as before";
    for (size_t i : {1u, 2u}) {
        ASSERT_TRUE(m[i].bearer);
        EXPECT_EQ(*m[i].bearer, q931::Bearer::unrestricted64());
    }
    EXPECT_TRUE(q931::check(m[1]).ok());

    ASSERT_TRUE(b.net.restart_interface());
    m = b.messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].type, uint8_t(q931::MsgType::Restart));
    EXPECT_EQ(m[0].restart_class, 6);
    EXPECT_FALSE(m[0].channel) << "the whole interface";
    EXPECT_TRUE(b.net.calls().empty());
    b.send("08 02 80 00 4E 79 01 86");  // RESTART ACKNOWLEDGE
    EXPECT_FALSE(b.net.restart_pending());

    q931::Message longer = q931::make(q931::MsgType::StatusEnquiry, 0x0102, false);
    longer.cr_length = 3;
    EXPECT_EQ(q931::encode(longer), (Bytes{0x08, 0x03, 0x00, 0x01, 0x02, 0x75}));
    longer.cr_flag = true;
    EXPECT_EQ(q931::encode(longer), (Bytes{0x08, 0x03, 0x80, 0x01, 0x02, 0x75}));
}

TEST(LapdPcap, HeaderAndRecordLayout)
{
    EXPECT_EQ(show(sim::LapdPcapWriter::file_header()),
              show(hex("D4 C3 B2 A1 02 00 04 00 00 00 00 00 00 00 00 00 FF FF 00 00 B1 00 00 00")));
    EXPECT_EQ(show(sim::LapdPcapWriter::record(1500001, true, hex("00 01 73"))),
              show(hex("01 00 00 00 21 A1 07 00 13 00 00 00 13 00 00 00 "  // 1.500001 s, 19 octets
                       "00 04 00 00 00 01 01 00 00 00 00 00 00 00 00 30 00 01 73")));
    EXPECT_EQ(sim::LapdPcapWriter::record(0, false, {0x02})[17], 0x00) << "packet type 0: received";

    auto path = std::filesystem::temp_directory_path() / ("isdnnet-" + std::to_string(::getpid()) + ".pcap");
    {
        sim::LapdPcapWriter w;
        ASSERT_TRUE(w.open(path.string()));
        Bench b;
        b.net.set_pcap(&w);
        b.host.run_for(plat::ms(2));
        b.user("00 01 7F");
        b.net.set_pcap(nullptr);
    }
    std::ifstream in(path, std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes want = cat(cat(sim::LapdPcapWriter::file_header(), sim::LapdPcapWriter::record(2000, false, hex("00 01 7F"))),
                     sim::LapdPcapWriter::record(2000, true, hex("00 01 73")));
    EXPECT_EQ(show(file), show(want));
    std::filesystem::remove(path);
}

}  // namespace
