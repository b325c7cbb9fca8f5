// The road of a TAPI client on the default board, through the client side of the NDIS
// TAPI wrapper only, with the ISDN network side on line 0: the provider is initialised
// and names its lines; a far-end SETUP to a line TAPI opened rings it, TAPI answers, the
// call connects, NDISWAN sees line-up and frames cross both ways, the far end clears
// and TAPI, told of it, closes the call; TAPI places a call and drops it; then calls
// with non-default call parameters: restricted 56 kbit/s data, and voice, which goes to
// a modem.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/RSS_DVSP.h"
#include "driver/Wmp_nt40/Wmp_tspi.h"
#include "driver/Wmp_nt40/Wmp_wspi.h"
#include "platform/ndis/tapi_client.h"
#include "sim/far/isdn_network.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

namespace {

using Frame = std::vector<uint8_t>;
constexpr ULONG kBase = 100;

class TapiScenario : public ::testing::Test {
public:
    rig::Rig r;
    sim::Card* card = nullptr;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    std::unique_ptr<sim::IsdnNetworkSide> net;  // destroyed before the rig's boards
    std::unique_ptr<plat::ndis::TapiClient> tapi;
    std::vector<std::pair<uint32_t, Frame>> at_far_end;
    std::deque<NDIS_WAN_PACKET> packets;
    std::deque<Frame> payloads;

    virtual bool with_firmware() const { return false; }
    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        if (with_firmware()) r.set_firmware(sim::fw::default_image());
        card = &r.add_board_for(1, 4);
        card->line(0).on_frame_from_adapter([this](uint32_t m, const Frame& f) { at_far_end.push_back({m, f}); });
        net = std::make_unique<sim::IsdnNetworkSide>(r.host, card->line(0), sim::IsdnNetworkConfig{});
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        a = rig::Rig::driver_adapter(na);
        tapi = std::make_unique<plat::ndis::TapiClient>(r.host.ndis(), na);
        ASSERT_TRUE(run_until([&] { return a->BringUpCompleted == 1; }, plat::ms(1000)));
        if (!run_until([&] { return net->link_up(); }, plat::ms(3000))) net->establish();
        ASSERT_TRUE(run_until([&] { return net->link_up() && a->LineUp[0] == 1; }, plat::ms(3000)));
    }
    void TearDown() override
    {
        tapi.reset();
        if (na != nullptr) r.halt(na);
        EXPECT_EQ(r.leaked_allocations(), 0u);
        EXPECT_EQ(r.leaked_mappings(), 0u);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
        if (!net) return;
        EXPECT_EQ(net->counters().malformed, 0u);
        EXPECT_EQ(net->counters().bad_messages, 0u);
    }
    bool run_until(const std::function<bool()>& done, plat::VTime limit) { return rig::run_until(r.host, done, limit); }
    NDIS_STATUS send(NDIS_WAN_LINK_HANDLE link, const Frame& f)
    {
        payloads.push_back(f);
        packets.emplace_back();
        NDIS_WAN_PACKET& p = packets.back();
        std::memset(&p, 0, sizeof p);
        p.CurrentBuffer = payloads.back().data();
        p.CurrentLength = ULONG(f.size());
        return r.host.ndis().send(na, link, &p);
    }
    std::vector<Frame> far_frames(uint32_t mask) const
    {
        std::vector<Frame> out;
        for (const auto& [m, f] : at_far_end)
            if (m == mask) out.push_back(f);
        return out;
    }
    size_t indications(NDIS_STATUS status) const
    {
        size_t n = 0;
        for (const auto& i : na->indications) n += i.status == status;
        return n;
    }
    bool net_got(sim::q931::MsgType type) const
    {
        for (const auto& ev : net->log())
            if (ev.kind == sim::IsdnEvent::Kind::MessageIn && ev.message && ev.message->type == uint8_t(type)) return true;
        return false;
    }
    // Provider up, line of link `index` of group 0 open with TAPI handle htLine.
    HDRV_LINE open_line(ULONG index, HTAPI_LINE htLine)
    {
        EXPECT_EQ(tapi->initialize(kBase), NDIS_STATUS_SUCCESS);
        HDRV_LINE hd = 0;
        EXPECT_EQ(tapi->open(kBase + index, htLine, &hd), NDIS_STATUS_SUCCESS);
        return hd;
    }
};

TEST_F(TapiScenario, TheProviderNamesEveryLineAndKnowsTheWanLimits)
{
    NDIS_WAN_INFO info{};
    ULONG w = 0, n = 0;
    ASSERT_EQ(r.host.ndis().query(na, OID_WAN_GET_INFO, &info, sizeof info, &w, &n), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(info.MaxFrameSize, 2014u);
    EXPECT_EQ(info.Endpoints, 128u);
    ASSERT_EQ(tapi->initialize(kBase), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tapi->num_lines(), 23u);
    for (ULONG id = kBase; id < kBase + tapi->num_lines(); id++) {
        std::string name;
        ASSERT_EQ(tapi->line_name(id, &name), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(name, "RIROVE Channel:" + std::to_string(id));
    }
    std::string none;
    EXPECT_EQ(tapi->line_name(kBase + 23, &none), NDIS_STATUS_TAPI_NODRIVER);
    EXPECT_EQ(tapi->shutdown(), NDIS_STATUS_SUCCESS);
}

TEST_F(TapiScenario, AFarEndCallRingsTheOpenLineIsAnsweredCarriesFramesAndIsClearedByTheFarEnd)
{
    const ULONG kIndex = 4;  // directory number 5551004, channel 5
    const HTAPI_LINE kHt = 0xABC;
    HDRV_LINE hd = open_line(kIndex, kHt);
    ASSERT_NE(hd, 0u);

    auto key = net->offer_call(kIndex + 1, "5551004", "4165550199", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key);
    std::optional<plat::ndis::TapiOfferedCall> offered;
    ASSERT_TRUE(run_until([&] { return (offered = tapi->take_offered(kHt)).has_value(); }, plat::ms(1000)));
    EXPECT_EQ(offered->hdCall, hd) << "the call's handle is the line's Link";
    const HTAPI_CALL ht = offered->htCall;
    EXPECT_EQ(tapi->call_states(ht), std::vector<ULONG>{LINECALLSTATE_OFFERING});

    r.host.ndis().next_link_context = 0x7701;  // what NDISWAN gives the line-up
    ASSERT_EQ(tapi->answer(offered->hdCall), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(run_until([&] { return !tapi->call_states(ht).empty() && tapi->call_states(ht).back() == LINECALLSTATE_CONNECTED; },
                          plat::ms(3000)));
    EXPECT_EQ(tapi->call_states(ht), (std::vector<ULONG>{LINECALLSTATE_OFFERING, LINECALLSTATE_ACCEPTED, LINECALLSTATE_CONNECTED}));
    EXPECT_EQ(net->call(*key)->state, sim::NetState::Active);
    ASSERT_EQ(indications(NDIS_STATUS_WAN_LINE_UP), 1u);
    const NDIS_WAN_LINK_HANDLE context = 0x7701;

    // Frames both ways on the call's channel.
    NDIS_WAN_LINK_HANDLE link = 0;
    ASSERT_EQ(tapi->ndis_link(offered->hdCall, &link), NDIS_STATUS_SUCCESS);
    const Frame out = {0xFF, 0x03, 0xC0, 0x21, 0x01, 0x07};
    ASSERT_EQ(send(link, out), NDIS_STATUS_PENDING);
    const uint32_t mask = 1u << (kIndex + 1);
    ASSERT_TRUE(run_until([&] { return far_frames(mask).size() == 1; }, plat::ms(200)));
    EXPECT_EQ(far_frames(mask)[0], out);
    card->line(0).frame_to_adapter(mask, {0xFF, 0x03, 0xC0, 0x21, 0x02});
    ASSERT_TRUE(run_until([&] { return na->receives.size() == 1; }, plat::ms(200)));
    EXPECT_EQ(na->receives[0].link_context, context);
    EXPECT_EQ(na->receives[0].data, (Frame{0xFF, 0x03, 0xC0, 0x21, 0x02}));

    // The far end clears: TAPI hears disconnected (normal), NDISWAN line-down.
    ASSERT_TRUE(net->clear_call(*key));
    ASSERT_TRUE(run_until([&] { return tapi->call_states(ht).back() == LINECALLSTATE_DISCONNECTED; }, plat::ms(3000)));
    EXPECT_EQ(tapi->last_call_state_mode(ht), ULONG(LINEDISCONNECTMODE_NORMAL));
    EXPECT_EQ(indications(NDIS_STATUS_WAN_LINE_DOWN), 1u);
    ASSERT_TRUE(run_until([&] { return !net->call(*key) || net->call(*key)->state == sim::NetState::Null; }, plat::ms(3000)));
    ASSERT_EQ(tapi->close_call(offered->hdCall), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(tapi->call_states(ht).back(), ULONG(LINECALLSTATE_IDLE));
    EXPECT_EQ(send(link, {0x01}), NDIS_STATUS_FAILURE) << "no sends once the call is gone";

    EXPECT_EQ(tapi->close(hd), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(tapi->shutdown(), NDIS_STATUS_SUCCESS);
}

TEST_F(TapiScenario, ACallTapiPlacesConnectsAndIsDroppedAndTheNextCallDoesNotReportTheOldMode)
{
    const HTAPI_LINE kHt = 0x11;
    HDRV_LINE hd = open_line(9, kHt);
    ULONG id = 0;
    ASSERT_EQ(tapi->line_device_id(hd, &id), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(id, kBase + 9);
    LINE_DEV_STATUS status_before{};
    ASSERT_EQ(tapi->line_dev_status(hd, &status_before), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(status_before.ulNumActiveCalls, 0u);
    HDRV_CALL call = 0;
    ASSERT_EQ(tapi->make_call(hd, 0xCA11, "5552000", nullptr, &call), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(call, hd);
    EXPECT_EQ(tapi->call_states(0xCA11), (std::vector<ULONG>{LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING}));
    ASSERT_TRUE(run_until([&] { return tapi->call_states(0xCA11).back() == LINECALLSTATE_CONNECTED; }, plat::ms(3000)));
    auto calls = net->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].called, "5552000");
    EXPECT_EQ(calls[0].bearer.capability, 0x08) << "the line's default: unrestricted 64 kbit/s";
    EXPECT_EQ(indications(NDIS_STATUS_WAN_LINE_UP), 1u);

    // Frames both ways on the channel the network chose.
    NDIS_WAN_LINK_HANDLE link = 0;
    ASSERT_EQ(tapi->ndis_link(call, &link), NDIS_STATUS_SUCCESS);
    const uint32_t mask = 1u << calls[0].channel;
    ASSERT_EQ(send(link, {0x7E, 0x42}), NDIS_STATUS_PENDING);
    ASSERT_TRUE(run_until([&] { return far_frames(mask).size() == 1; }, plat::ms(200)));
    card->line(0).frame_to_adapter(mask, {0x24});
    ASSERT_TRUE(run_until([&] { return na->receives.size() == 1; }, plat::ms(200)));

    ASSERT_EQ(tapi->drop(call), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(tapi->call_states(0xCA11).back(), ULONG(LINECALLSTATE_DISCONNECTED));
    EXPECT_EQ(indications(NDIS_STATUS_WAN_LINE_DOWN), 1u);
    ASSERT_TRUE(run_until([&] { return net->calls().empty() || net->calls()[0].state == sim::NetState::Null; }, plat::ms(3000)));
    EXPECT_TRUE(net_got(sim::q931::MsgType::Disconnect));
    LINE_CALL_STATUS status{};
    ASSERT_EQ(tapi->call_status(call, &status), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(status.ulCallStateMode, ULONG(LINEDISCONNECTMODE_NORMAL));
    ASSERT_EQ(tapi->close_call(call), NDIS_STATUS_SUCCESS);

    // An offered call left to time out: no answer.
    auto key = net->offer_call(10, "5551009", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key);
    ASSERT_TRUE(run_until([&] { return tapi->take_offered(kHt).has_value(); }, plat::ms(1000)));
    r.host.run_for(plat::ms(CALL_TIMEOUT + 100));
    ASSERT_EQ(tapi->call_status(call, &status), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(status.ulCallState, ULONG(LINECALLSTATE_DISCONNECTED));
    EXPECT_EQ(status.ulCallStateMode, ULONG(LINEDISCONNECTMODE_NOANSWER));
    ASSERT_EQ(tapi->close_call(call), NDIS_STATUS_SUCCESS);

    // The next call on the same open line is dropped by TAPI: its mode is its own.
    ASSERT_EQ(tapi->make_call(hd, 0xCA12, "5552001", nullptr, &call), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(run_until([&] { return tapi->call_states(0xCA12).back() == LINECALLSTATE_CONNECTED; }, plat::ms(3000)));
    ASSERT_EQ(tapi->drop(call), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tapi->call_status(call, &status), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(status.ulCallState, ULONG(LINECALLSTATE_DISCONNECTED));
    EXPECT_EQ(status.ulCallStateMode, ULONG(LINEDISCONNECTMODE_NORMAL)) << "not the earlier no-answer";
    EXPECT_EQ(tapi->close_call(call), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(tapi->close(hd), NDIS_STATUS_SUCCESS);
}

// An adapter reset ends the line's call, but the line TAPI opened stays open: TAPI
// closes the dead call, the next far-end call rings the same line, and its make-call
// request is served with the handle it kept.
TEST_F(TapiScenario, AnOpenLineKeepsRingingAndDiallingAcrossAnAdapterReset)
{
    const ULONG kIndex = 4;  // directory number 5551004, channel 5
    const HTAPI_LINE kHt = 0xABC;
    HDRV_LINE hd = open_line(kIndex, kHt);
    ASSERT_NE(hd, 0u);
    auto key = net->offer_call(kIndex + 1, "5551004", "4165550199", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key);
    std::optional<plat::ndis::TapiOfferedCall> offered;
    ASSERT_TRUE(run_until([&] { return (offered = tapi->take_offered(kHt)).has_value(); }, plat::ms(1000)));
    ASSERT_EQ(tapi->answer(offered->hdCall), NDIS_STATUS_SUCCESS);
    const HTAPI_CALL first = offered->htCall;
    ASSERT_TRUE(run_until([&] { return tapi->call_states(first).back() == LINECALLSTATE_CONNECTED; }, plat::ms(3000)));

    rig::with_adapter_lock(a, [&] { a->AdapterFailed = 1; });
    r.host.ndis().reset(na);
    EXPECT_EQ(tapi->call_states(first).back(), ULONG(LINECALLSTATE_DISCONNECTED)) << "TAPI heard the call end";
    ASSERT_EQ(tapi->close_call(offered->hdCall), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(run_until([&] { return a->LineUp[0] == 1 && net->link_up(); }, plat::ms(20000)));
    ASSERT_TRUE(run_until([&] { return net->calls().empty(); }, plat::ms(3000))) << "the forgotten call was restarted";

    // A far-end call rings the line TAPI still holds, and is answered.
    key = net->offer_call(kIndex + 1, "5551004", "4165550199", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(key);
    ASSERT_TRUE(run_until([&] { return (offered = tapi->take_offered(kHt)).has_value(); }, plat::ms(1000)))
        << "the open line rings";
    EXPECT_EQ(offered->hdCall, hd);
    ASSERT_EQ(tapi->answer(offered->hdCall), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(run_until([&] { return tapi->call_states(offered->htCall).back() == LINECALLSTATE_CONNECTED; },
                          plat::ms(3000)));
    ASSERT_EQ(tapi->drop(offered->hdCall), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tapi->close_call(offered->hdCall), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(run_until([&] { return net->calls().empty() && a->NdisWanInfo[0][kIndex].ThisBChannel == nullptr; },
                          plat::ms(3000)));

    // And TAPI places a call on it.
    HDRV_CALL call = 0;
    ASSERT_EQ(tapi->make_call(hd, 0xCA11, "5552000", nullptr, &call), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(run_until([&] { return tapi->call_states(0xCA11).back() == LINECALLSTATE_CONNECTED; }, plat::ms(3000)));
    ASSERT_EQ(tapi->drop(call), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tapi->close_call(call), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(tapi->close(hd), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(a->OpenLineCount, 0u);
    EXPECT_EQ(tapi->shutdown(), NDIS_STATUS_SUCCESS);
}

// A line opened while a call offered before the open still rings on its Link: that call
// holds the Link, so TAPI's make-call answers in use and no SETUP goes out; once the
// network has cleared it, the line dials.
TEST_F(TapiScenario, MakeCallOnALineWhoseLinkStillHoldsAnOfferedCallIsRefusedInUse)
{
    auto ringing = net->offer_call(5, "5551004", "100", sim::q931::Bearer::unrestricted64());
    ASSERT_TRUE(ringing);
    ASSERT_TRUE(run_until([&] { return a->NdisWanInfo[0][4].ThisBChannel != nullptr; }, plat::ms(1000)));
    HDRV_LINE hd = open_line(4, 0x44);
    HDRV_CALL call = 0;
    EXPECT_EQ(tapi->make_call(hd, 0xCA11, "5552000", nullptr, &call), NDIS_STATUS_TAPI_INUSE);
    EXPECT_TRUE(tapi->call_states(0xCA11).empty());
    r.host.run_for(plat::ms(300));
    EXPECT_FALSE(net_got(sim::q931::MsgType::Setup));
    ASSERT_TRUE(net->clear_call(*ringing));
    ASSERT_TRUE(run_until([&] { return !net->call(*ringing) && a->NdisWanInfo[0][4].ThisBChannel == nullptr; },
                          plat::ms(3000)));
    ASSERT_EQ(tapi->make_call(hd, 0xCA12, "5552000", nullptr, &call), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(run_until([&] { return tapi->call_states(0xCA12).back() == LINECALLSTATE_CONNECTED; }, plat::ms(3000)));
    ASSERT_EQ(tapi->drop(call), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tapi->close_call(call), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(tapi->close(hd), NDIS_STATUS_SUCCESS);
}

TEST_F(TapiScenario, ARestricted56kCallParameterSetReachesTheNetworkAndTheCallInfo)
{
    HDRV_LINE hd = open_line(2, 0x22);
    plat::ndis::TapiCallParams p;
    p.min_rate = p.max_rate = 56000;
    HDRV_CALL call = 0;
    ASSERT_EQ(tapi->make_call(hd, 0x56, "5553000", &p, &call), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(run_until([&] { return tapi->call_states(0x56).back() == LINECALLSTATE_CONNECTED; }, plat::ms(3000)));
    auto calls = net->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].bearer.capability, 0x09) << "restricted digital";
    LINE_CALL_INFO info{};
    ASSERT_EQ(tapi->call_info(call, &info), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(info.ulRate, 56000u);
    EXPECT_EQ(info.ulBearerMode, ULONG(LINEBEARERMODE_DATA));
    ASSERT_EQ(indications(NDIS_STATUS_WAN_LINE_UP), 1u);
    NDIS_MAC_LINE_UP up{};
    for (const auto& i : na->indications)
        if (i.status == NDIS_STATUS_WAN_LINE_UP) std::memcpy(&up, i.buffer.data(), sizeof up);
    EXPECT_EQ(up.LinkSpeed, 560u) << "in units of 100 bit/s";
    ASSERT_EQ(tapi->drop(call), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(tapi->close_call(call), NDIS_STATUS_SUCCESS);
}

// The same road with the modem processors' firmware booted.
class TapiModemScenario : public TapiScenario {
public:
    bool with_firmware() const override { return true; }
};

TEST_F(TapiModemScenario, AVoiceCallParameterSetGoesToAModemAndSendsSpeechWhenThePumpIsReady)
{
    ASSERT_TRUE(run_until(
        [&] {
            for (ULONG s = 0; s < a->SocketCount && s < MAX_SOCKETS; s++)
                for (ULONG c = 0; c < a->Socket[s].ProcessorCount; c++)
                    if (a->Socket[s].Group == 0 && a->Socket[s].Csms[c].State == CSM_RUNNING) return true;
            return false;
        },
        plat::ms(15000)));
    r.host.run_for(plat::ms(2000));
    HDRV_LINE hd = open_line(6, 0x66);
    plat::ndis::TapiCallParams p;
    p.bearer_mode = LINEBEARERMODE_VOICE;
    p.media_mode = LINEMEDIAMODE_UNKNOWN;
    HDRV_CALL call = 0;
    ASSERT_EQ(tapi->make_call(hd, 0x77, "5554000", &p, &call), NDIS_STATUS_SUCCESS);
    Link* l = &a->NdisWanInfo[0][6];
    EXPECT_NE(l->ThisPump, nullptr) << "a modem call takes a pump at once";
    EXPECT_EQ(l->TransferCaps, 0u);
    EXPECT_EQ(tapi->call_states(0x77), std::vector<ULONG>{LINECALLSTATE_DIALTONE}) << "dialling waits for the pump";
    ASSERT_TRUE(run_until([&] { return tapi->call_states(0x77).back() == LINECALLSTATE_DIALING; }, plat::ms(5000)));
    ASSERT_TRUE(run_until([&] { return !net->calls().empty(); }, plat::ms(1000)));
    auto calls = net->calls();
    EXPECT_EQ(calls[0].called, "5554000");
    EXPECT_EQ(calls[0].bearer.capability, 0x00) << "speech";
    LINE_CALL_INFO info{};
    ASSERT_EQ(tapi->call_info(call, &info), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(info.ulBearerMode, ULONG(LINEBEARERMODE_VOICE));

    // A management record through the line's device-specific request: the provider
    // names the call's pump and the pump-data-out buffer of its link comes back.
    for (ULONG i = 0; i < 136; i++) l->PumpDataOut[i] = UCHAR(i ^ 0x5A);
    std::vector<ULONG> rec(BACKDOOR_REQUEST_SIZE / 4, 0);
    BACKDOOR_REQUEST_HEADER h{};
    h.Signature = BACKDOOR_SIGNATURE;
    h.Class = BACKDOOR_CLASS_PUMP_DATA_OUT;
    h.BufferLength = BACKDOOR_REQUEST_SIZE;
    std::memcpy(rec.data(), &h, sizeof h);
    ASSERT_EQ(tapi->dev_specific(hd, rec.data(), BACKDOOR_REQUEST_SIZE), NDIS_STATUS_SUCCESS);
    std::memcpy(&h, rec.data(), sizeof h);
    EXPECT_EQ(h.Status, 0u);
    const Pump* pump = l->ThisPump;
    EXPECT_EQ(h.Arg[0], pump->ThisCsm->ThisSocket->SocketIndex);
    EXPECT_EQ(h.Arg[1], pump->ThisCsm->Index);
    EXPECT_EQ(h.Arg[2], pump->PumpNumber);
    ASSERT_EQ(h.Segment[0].Length, 136u);
    EXPECT_EQ(std::memcmp(reinterpret_cast<UCHAR*>(rec.data()) + h.Segment[0].Offset, l->PumpDataOut, 136), 0);
    ASSERT_EQ(tapi->drop(call), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(tapi->close_call(call), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(run_until([&] { return net->calls().empty() || net->calls()[0].state == sim::NetState::Null; }, plat::ms(3000)));
    EXPECT_TRUE(run_until([&] { return l->ThisPump == nullptr; }, plat::ms(5000))) << "the pump is given back";
}

}  // namespace
