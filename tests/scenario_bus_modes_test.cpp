// Every system-bus mode on a T1 and on an E1 line: the network side offers two data calls
// that the driver answers on Links it owns, one on the line's first B channel and one on
// the B channel next to the D channel; frames cross both ways on each call's own line
// channel, through the framer's system bus and the HDLC controller's time slots as the
// driver programmed them. A mode the line cannot run is replaced by its line mode's bus.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/Common/RSS_init.h"
#include "sim/board/hdlc.h"
#include "sim/far/isdn_network.h"
#include "tools/harness/rig.h"

namespace {

using Frame = std::vector<uint8_t>;

struct BusCase {
    bool e1;
    ULONG mode;
    ULONG taken;  // the mode the driver runs
};

std::vector<BusCase> AllModes()
{
    std::vector<BusCase> out;
    for (bool e1 : {false, true})
        for (ULONG m = 0; m <= 12; m++) {
            bool refused = e1 ? (m == 2 || m == 4 || m == 11 || m == 12) : (m == 1 || m == 5 || m == 8 || m == 9);
            out.push_back({e1, m, refused ? (e1 ? 5u : 2u) : m});
        }
    return out;
}

class BusModeCalls : public ::testing::TestWithParam<BusCase> {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    sim::Card* card = nullptr;
    std::unique_ptr<sim::IsdnNetworkSide> net;  // destroyed before the rig's boards
    std::vector<std::pair<uint32_t, Frame>> at_far_end;
    std::deque<NDIS_WAN_PACKET> packets;
    std::deque<Frame> payloads;

    void SetUp() override
    {
        const BusCase& c = GetParam();
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        const std::string key = r.parameters_key(1);
        r.host.registry.set_dword(key, "SignallingProtocol_0", 1);
        r.host.registry.set_dword(key, "SystemBusMode_0", c.mode);
        if (c.e1) {
            r.host.registry.set_dword(key, "LineMode_0", 1);
            r.host.registry.set_dword(key, "FramingFormat_0", 4);
            r.host.registry.set_dword(key, "LineCode_0", 2);
        }
        card = &r.add_board_for(1, 4);
        card->line(0).on_frame_from_adapter([this](uint32_t m, const Frame& f) { at_far_end.push_back({m, f}); });
        sim::IsdnNetworkConfig config;
        config.e1 = c.e1;
        net = std::make_unique<sim::IsdnNetworkSide>(r.host, card->line(0), config);
        ASSERT_EQ(r.load_driver(), 0);
        a = rig::Rig::driver_adapter(na = r.initialize(1));
        ASSERT_NE(a, nullptr);
        ASSERT_EQ(a->SystemBusMode[0], c.taken);
        ASSERT_TRUE(run_until([&] { return a->BringUpCompleted == 1; }, plat::ms(1000)));
        ASSERT_EQ(a->AdapterFailed, 0);
        if (!run_until([&] { return net->link_up(); }, plat::ms(3000))) net->establish();
        ASSERT_TRUE(run_until([&] { return net->link_up(); }, plat::ms(3000))) << "the D channel carries layer 2";
    }
    void TearDown() override
    {
        if (na) r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
        if (net) {
            EXPECT_EQ(net->counters().malformed, 0u);
        }
    }
    bool run_until(const std::function<bool()>& done, plat::VTime limit) { return rig::run_until(r.host, done, limit); }
    NDIS_STATUS send(Link* l, const Frame& f)
    {
        payloads.push_back(f);
        packets.emplace_back();
        NDIS_WAN_PACKET& p = packets.back();
        std::memset(&p, 0, sizeof p);
        p.CurrentBuffer = payloads.back().data();
        p.CurrentLength = ULONG(f.size());
        return r.host.ndis().send(na, l->LinkHandle, &p);
    }
};

Frame Pattern(uint8_t seed, size_t n)
{
    Frame f(n);
    for (size_t i = 0; i < n; i++) f[i] = uint8_t(seed + 7 * i);
    return f;
}

TEST_P(BusModeCalls, DataCallsOnTheFirstChannelAndNextToTheDChannelCarryTheirOwnFrames)
{
    const BusCase& c = GetParam();
    const unsigned d_channel = c.e1 ? 16 : 24;
    struct Call {
        ULONG index;  // Link, directory number 555100<index>
        unsigned channel;
        Link* link = nullptr;
        std::optional<sim::CallKey> key;
    } calls[] = {{2, 1, nullptr, std::nullopt}, {3, d_channel - 1, nullptr, std::nullopt}};

    for (Call& k : calls) {
        rig::with_adapter_lock(a, [&] { k.link = LinkAcquire(a, 0, 0, k.index, OWNER_DRIVER); });
        ASSERT_NE(k.link, nullptr);
        k.key = net->offer_call(k.channel, "555100" + std::to_string(k.index), "4165550199",
                                sim::q931::Bearer::unrestricted64());
        ASSERT_TRUE(k.key.has_value());
        ASSERT_TRUE(run_until([&] { return net->call(*k.key) && net->call(*k.key)->state == sim::NetState::Active; },
                              plat::ms(3000)))
            << "channel " << k.channel;
        ASSERT_TRUE(run_until([&] { return k.link->ChannelState == CHANNEL_STATE_ACTIVE; }, plat::ms(1000)));
        // The controller has taken the channel's activation both ways.
        ASSERT_TRUE(run_until([&] { return card->hdlc().channel_active(false, 0, k.channel) &&
                                           card->hdlc().channel_active(true, 0, k.channel); },
                              plat::ms(100)));
        rig::with_adapter_lock(a, [&] { k.link->NdisLinkContext = 0x7700 + k.index; });
    }

    // From the far end: each call's frame reaches its own Link, whole.
    for (const Call& k : calls) {
        card->line(0).frame_to_adapter(1u << k.channel, Pattern(uint8_t(k.channel), 40));
    }
    ASSERT_TRUE(run_until([&] { return na->receives.size() >= 2; }, plat::ms(200)));
    r.host.run_for(plat::ms(20));
    ASSERT_EQ(na->receives.size(), 2u);
    for (const Call& k : calls) {
        SCOPED_TRACE(testing::Message() << "channel " << k.channel);
        bool seen = false;
        for (const auto& rx : na->receives)
            if (rx.link_context == 0x7700 + k.index) {
                EXPECT_EQ(rx.data, Pattern(uint8_t(k.channel), 40));
                seen = true;
            }
        EXPECT_TRUE(seen);
    }

    // To the far end: each Link's frame leaves on its call's channel only.
    at_far_end.clear();
    for (const Call& k : calls) ASSERT_EQ(send(k.link, Pattern(uint8_t(0x80 + k.index), 33)), NDIS_STATUS_PENDING);
    ASSERT_TRUE(run_until([&] { return na->send_completions.size() == 2; }, plat::ms(200)));
    r.host.run_for(plat::ms(20));
    for (const Call& k : calls) {
        SCOPED_TRACE(testing::Message() << "channel " << k.channel);
        std::vector<Frame> got;
        for (const auto& [m, f] : at_far_end)
            if (m == 1u << k.channel) got.push_back(f);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], Pattern(uint8_t(0x80 + k.index), 33));
    }
    for (const auto& [m, f] : at_far_end)
        EXPECT_TRUE(m == 1u << calls[0].channel || m == 1u << calls[1].channel || m == 1u << d_channel)
            << "a frame on line channels 0x" << std::hex << m;

    for (Call& k : calls) {
        ASSERT_TRUE(net->clear_call(*k.key));
        ASSERT_TRUE(run_until([&] { return k.link->ThisBChannel == nullptr; }, plat::ms(3000)));
        rig::with_adapter_lock(a, [&] { k.link->NdisLinkContext = 0; });
    }
}

INSTANTIATE_TEST_SUITE_P(EveryMode, BusModeCalls, ::testing::ValuesIn(AllModes()),
                         [](const ::testing::TestParamInfo<BusCase>& i) {
                             return std::string(i.param.e1 ? "E1" : "T1") + "_mode" + std::to_string(i.param.mode);
                         });

}  // namespace
