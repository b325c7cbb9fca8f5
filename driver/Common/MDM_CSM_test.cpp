// The modem-processor module: the firmware image check, the message counters, and the
// inbound dispatch on a booted processor of the simulated board.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/RSS_init.h"
#include "sim/far/isdn_network.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

namespace {

using sim::fw::get32;
using sim::fw::put32;

std::vector<uint8_t> image_with(std::function<void(std::vector<uint8_t>&)> damage,
                                sim::fw::ImageLayout layout = sim::fw::default_layout())
{
    std::vector<uint8_t> image = sim::fw::build_image(layout);
    damage(image);
    return image;
}

uint32_t first_region(const std::vector<uint8_t>& image) { return get32(image, sim::fw::kFirstFatOffset); }

TEST(FirmwareImage, TheCheckAcceptsWellFormedImagesAndRefusesEveryReadOutsideThem)
{
    using namespace sim::fw;
    ImageLayout no_sum = default_layout();
    no_sum.checksum_region = false;
    ImageLayout parts_only = default_layout();
    parts_only.regions.clear();
    parts_only.checksum_region = false;
    ImageLayout regions_only = default_layout();
    regions_only.read_only.clear();
    regions_only.read_write.clear();
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        ULONG result;
        ULONG regions;
        USHORT checksum;
    };
    const std::vector<uint8_t> good = default_image();
    const Case cases[] = {
        {"default image", good, CSM_IMAGE_OK, 4, image_checksum(default_layout())},
        {"no checksum region: checksum 0", build_image(no_sum), CSM_IMAGE_OK, 3, 0},
        {"no regions at all", build_image(parts_only), CSM_IMAGE_OK, 0, 0},
        {"regions only", build_image(regions_only), CSM_IMAGE_OK, 4, image_checksum(regions_only)},
        {"empty file", {}, CSM_IMAGE_EMPTY, 0, 0},
        {"shorter than its header", std::vector<uint8_t>(good.begin(), good.begin() + 100), CSM_IMAGE_SHORT_HEADER, 0, 0},
        {"parts beyond the file", image_with([](auto& i) { put32(i, kReadWriteSize, 0x10000); }), CSM_IMAGE_PARTS_BEYOND, 0, 0},
        {"part sizes that wrap 32 bits",
         image_with([](auto& i) {
             put32(i, kReadOnlySize, 0x80000000);
             put32(i, kReadWriteSize, 0x80000000);
         }),
         CSM_IMAGE_PARTS_BEYOND, 0, 0},
        {"first region header beyond", image_with([](auto& i) { put32(i, kFirstFatOffset, uint32_t(i.size()) - 10); }),
         CSM_IMAGE_REGION_HEADER_BEYOND, 0, 0},
        {"chain link at 0xFFFFFFF0", image_with([](auto& i) { put32(i, kFirstFatOffset, 0xFFFFFFF0); }),
         CSM_IMAGE_REGION_HEADER_BEYOND, 0, 0},
        {"region data beyond", image_with([](auto& i) { put32(i, first_region(i) + kRegionSize, 0x100000); }),
         CSM_IMAGE_REGION_BEYOND, 0, 0},
        {"region size that wraps", image_with([](auto& i) { put32(i, first_region(i) + kRegionSize, 0xFFFFFFF0); }),
         CSM_IMAGE_REGION_BEYOND, 0, 0},
        {"truncated chain", std::vector<uint8_t>(good.begin(), good.end() - 30), CSM_IMAGE_REGION_HEADER_BEYOND, 0, 0},
        {"chain that loops", image_with([](auto& i) { put32(i, first_region(i) + kNextFatOffset, first_region(i)); }),
         CSM_IMAGE_CHAIN_LOOPS, 0, 0},
        {"region address that wraps",
         image_with([](auto& i) { put32(i, get32(i, first_region(i)) + kLoadAddress, 0xFFFFFF80); }),
         CSM_IMAGE_ADDRESS_WRAPS, 0, 0},
        {"checksum region too short to carry one",
         image_with([](auto& i) {
             // the last region is ck_seg_area: give it one byte
             uint32_t at = first_region(i), next;
             while ((next = get32(i, at)) != 0) at = next;
             put32(i, at + kRegionSize, 1);
         }),
         CSM_IMAGE_CHECKSUM_SHORT, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSM_IMAGE_INFO info;
        // A copy of exactly the file's length: any read past it is a sanitizer error.
        std::vector<uint8_t> exact(c.image);
        EXPECT_EQ(CsmCheckImage(exact.data(), ULONG(exact.size()), &info), c.result);
        if (c.result != CSM_IMAGE_OK) continue;
        EXPECT_EQ(info.RegionCount, c.regions);
        EXPECT_EQ(info.EmbeddedChecksum, c.checksum);
    }
}

TEST(MessageCounters, EachCodeHasItsCounterAndTheUncountedOnesNone)
{
    struct Case {
        UCHAR code;
        ULONG index;
    };
    const Case cases[] = {
        {MSG_ERRIND, 0},  {MSG_DATAREQ, 2},  {MSG_DEBUG, 34},   {MSG_RINGIND, 26},
        {MSG_SETTSA, 27}, {MSG_SETASYN, 35}, {MSG_EVENTIND, 43}, {MSG_DEBUGINFO, 49},
        {MSG_CMDDAT, 44}, {MSG_V42RESP, 47}, {MSG_LINEANSWERCALL, CSM_NOT_COUNTED}, {MSG_LINEDROP, CSM_NOT_COUNTED},
        {MSG_ABORT, CSM_NOT_COUNTED}, {MSG_UNDEFINEDINSTRUCTION, CSM_NOT_COUNTED}, {MSG_SETUP_TDM, CSM_NOT_COUNTED},
        {0x77, CSM_NOT_COUNTED},
    };
    for (const Case& c : cases) EXPECT_EQ(CsmMsgCounterIndex(c.code), c.index) << "code " << int(c.code);
    // Fifty codes share the fifty counters 0..49 one to one; counter 50 is never used.
    std::vector<int> seen(CSM_MSG_COUNTERS, 0);
    for (int code = 0; code < 256; code++) {
        ULONG i = CsmMsgCounterIndex(UCHAR(code));
        if (i != CSM_NOT_COUNTED) seen.at(i)++;
    }
    for (ULONG i = 0; i < 50; i++) EXPECT_EQ(seen[i], 1) << "counter " << i;
    EXPECT_EQ(seen[50], 0);
}

// One booted default board; each case injects one message from processor 0 of socket 0.
class InboundDispatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
        r.set_firmware(sim::fw::default_image());
        card = &r.add_board_for(1, 4);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        r.host.run_for(plat::ms(12000));
        ASSERT_EQ(csm().State, ULONG(CSM_RUNNING));
    }
    void TearDown() override { r.halt(na); }
    Csm& csm() { return rig::Rig::driver_adapter(na)->Socket[0].Csms[0]; }
    void inject(UCHAR code, ULONG pump, USHORT w2, const std::string& fifo = "", USHORT w1 = 0)
    {
        card->modem(0)->send_to_host(0, {0, w1, w2, USHORT(code << 8 | pump)},
                                     std::vector<uint8_t>(fifo.begin(), fifo.end()));
        r.host.run_for(plat::ms(25));
    }
    rig::Rig r;
    sim::Card* card = nullptr;
    plat::ndis::Adapter* na = nullptr;
};

TEST_F(InboundDispatch, MessagesMovePumpEventsAndStates)
{
    struct Case {
        const char* name;
        ULONG state_before;
        UCHAR code;
        USHORT w2;
        std::string fifo;
        ULONG event_after;
        ULONG reset_failures;
    };
    const Case cases[] = {
        {"channel up after a reset", PUMP_NEED_RESET, MSG_CHSTATUS, 1, "", Pump_Ev_Reset_Done, 0},
        {"channel status 2 in need of reset: failure, reset again", PUMP_NEED_RESET, MSG_CHSTATUS, 2, "",
         Host_Ev_Reset_Requested, 1},
        {"channel down in hang-up", PUMP_HANGUP, MSG_CHSTATUS, 0, "", Pump_Ev_Hangup_Failed, 0},
        {"modem hung up", PUMP_ON_LINE, MSG_HANGUP, 0, "", Pump_Ev_No_Carrier, 0},
        {"OK while initialising", PUMP_INIT, MSG_FIFODAT, 6, "\r\nOK\r\n", Pump_Ev_Init_Done, 0},
        {"ERROR then CONNECT while dialling: CONNECT wins", PUMP_DIAL, MSG_FIFODAT, 21, "\r\nERROR\r\nx\r\nCONNECT\r\n",
         Pump_Ev_Connect, 0},
        {"CARRIER alone posts nothing", PUMP_DIAL, MSG_FIFODAT, 20, "\r\nCARRIER TX: 28800", Pump_Ev_None, 0},
        {"NO CARRIER out of service: reset asked", PUMP_OUT_OF_SERVICE, MSG_FIFODAT, 12, "\r\nNO CARRIER",
         Host_Ev_Reset_Requested, 0},
        {"an unlisted code is ignored", PUMP_SLEEP, 0x5A, 0, "", Pump_Ev_None, 0},
        {"NO CARRIER while waiting to collect statistics", PUMP_GET_STATISTICS, MSG_FIFODAT, 14, "\r\nNO CARRIER\r\n",
         Pump_Ev_No_Carrier, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pump& p = csm().Pumps[1];
        p.PumpState = c.state_before;
        p.PumpEvent = Pump_Ev_None;
        p.ResetFailures = 0;
        // Hold the pump's state handler (no command accepted, none asked for) so the
        // event the dispatch posted is still pending when it is checked.
        p.CmdRequested = 1;
        p.CmdAccepted = 0;
        ULONG inbound = csm().InboundCounters[CsmMsgCounterIndex(c.code) == CSM_NOT_COUNTED ? 50 : CsmMsgCounterIndex(c.code)];
        inject(c.code, 1, c.w2, c.fifo);
        EXPECT_EQ(p.PumpEvent, c.event_after);
        EXPECT_EQ(p.ResetFailures, c.reset_failures);
        EXPECT_EQ(csm().State, ULONG(CSM_RUNNING));
        if (CsmMsgCounterIndex(c.code) != CSM_NOT_COUNTED) {
            EXPECT_EQ(csm().InboundCounters[CsmMsgCounterIndex(c.code)], inbound + 1);
        }
        EXPECT_EQ(card->modem(0)->mode(0), sim::ModemSocket::Mode::Running);
    }
}

// Nothing from the processor indexes past what exists: bad pump numbers are dropped and
// acknowledged (the mailbox keeps flowing), an over-long FIFO count is cut to one block
// and the FIFO stays in step for the next message.
TEST_F(InboundDispatch, BadPumpNumbersAndFifoCountsAreRefusedWithoutLosingStep)
{
    inject(MSG_HANGUP, 12, 0);
    inject(MSG_HANGUP, 3, 0);  // the processor has 3 pumps
    inject(MSG_HANGUP, 0xFF, 0);
    EXPECT_EQ(r.host.trace.contains("@@@@Wrong Pump Nbr 12"), true);
    EXPECT_EQ(r.host.trace.contains("@@@@Wrong Pump Nbr 3"), true);
    Pump& p = csm().Pumps[2];
    p.PumpState = PUMP_INIT;
    p.PumpEvent = Pump_Ev_None;
    std::string junk(300, 'x');
    inject(MSG_FIFODAT, 2, 300, junk);  // claims 300 bytes: 128 are kept, the rest dropped
    EXPECT_TRUE(r.host.trace.contains("@@@@BytesinFifo > FIFO_DATA_BLOCK_SIZE"));
    EXPECT_EQ(p.FifoCount, ULONG(FIFO_DATA_BLOCK_SIZE));
    inject(MSG_FIFODAT, 2, 6, "\r\nOK\r\n");
    EXPECT_EQ(p.PumpEvent, ULONG(Pump_Ev_Init_Done)) << "the next block is read from its own start";
    // A dropped message's FIFO bytes go with it, whatever the code that carries them.
    const struct {
        UCHAR code;
        USHORT w2;
        std::string text;
    } dropped[] = {{MSG_FIFODAT, 9, "\r\nERROR\r\n"}, {MSG_CMDDAT, 0x0305, "ERROR"}, {MSG_DIALDET, 0x0083, "555"}};
    for (const auto& d : dropped) {
        SCOPED_TRACE(int(d.code));
        p.PumpEvent = Pump_Ev_None;
        inject(d.code, 7, d.w2, d.text);
        inject(MSG_FIFODAT, 2, 6, "\r\nOK\r\n");
        EXPECT_EQ(p.PumpEvent, ULONG(Pump_Ev_Init_Done)) << "read from its own start, not after the dropped bytes";
    }
    // A processor exception naming no pump still takes the processor down for a reset.
    inject(MSG_ABORT, 40, 0);
    EXPECT_NE(csm().State, ULONG(CSM_RUNNING));
}

TEST_F(InboundDispatch, ResettingAProcessorClearsItsCounters)
{
    ASSERT_GT(csm().InboundCounters[CsmMsgCounterIndex(MSG_CHECKSUM)], 0u);
    inject(MSG_CHRESET, 0, 0);
    EXPECT_EQ(csm().State, ULONG(CSM_RESETTING)) << "asked for by the processor, started by the socket timer";
    for (ULONG i = 0; i < CSM_MSG_COUNTERS; i++) {
        EXPECT_EQ(csm().InboundCounters[i], 0u);
        EXPECT_EQ(csm().OutboundCounters[i], 0u);
    }
}

}  // namespace

namespace {

// The handlers of a COM-owned or TAPI-owned call, on pump 1 of processor 0 bound to a
// Link of line 0 (no serial port on it).
class CallHandlers : public InboundDispatch {
protected:
    void SetUp() override
    {
        InboundDispatch::SetUp();
        sim::IsdnNetworkConfig config;
        config.keep_link_up = plat::ms(500);
        net = std::make_unique<sim::IsdnNetworkSide>(r.host, card->line(0), config);
        net->set_answer_policy(sim::AnswerPolicy{sim::AnswerPolicy::Action::Manual});
        ASSERT_TRUE(rig::run_until(r.host, [&] { return net->link_up(); }, plat::ms(5000)));
    }
    void TearDown() override
    {
        InboundDispatch::TearDown();
        net.reset();
    }
    std::unique_ptr<sim::IsdnNetworkSide> net;
    Adapter* a() { return rig::Rig::driver_adapter(na); }
    Pump& pump() { return csm().Pumps[1]; }
    Link* bind(ULONG owner, ULONG state, ULONG event = Pump_Ev_None)
    {
        Link* l = &a()->NdisWanInfo[0][3];
        rig::with_adapter_lock(a(), [&] {
            l->CurrentOwner = owner;
            l->OwnerContext = 0x44;
            l->ThisPump = &pump();
            pump().ThisLink = l;
            pump().PumpState = state;
            pump().PumpEvent = event;
            // hold the pump's state handler, as in the dispatch table above
            pump().CmdRequested = 1;
            pump().CmdAccepted = 0;
        });
        return l;
    }
    void unbind(Link* l)
    {
        rig::with_adapter_lock(a(), [&] {
            l->ThisPump = nullptr;
            l->CurrentOwner = OWNER_NONE;
            pump().ThisLink = nullptr;
            pump().PumpState = PUMP_SLEEP;
            pump().PumpEvent = Pump_Ev_None;
            TmrClear(&a()->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_ASYNC_DIAL);
        });
    }
};

// Modem status: the 16550 image with its deltas, DCD driving the pump where the
// processor says it follows the call, and the 0x1000 indication to a TAPI owner.
TEST_F(CallHandlers, ModemStatusReportsMoveTheImageTheCallAndTheOwner)
{
    struct Case {
        const char* name;
        ULONG dcd_follows, state, old_status;
        USHORT report;
        ULONG state_after, event_after;
        UCHAR image;
        bool indication;
    };
    const Case cases[] = {
        {"DCD up while answering: on line", 1, PUMP_ANSWER, 0x3, 0xB, PUMP_ON_LINE, Pump_Ev_None, 0xB8, true},
        {"DCD down on line: no carrier", 1, PUMP_ON_LINE, 0xB, 0x3, PUMP_ON_LINE, Pump_Ev_No_Carrier, 0x38, true},
        {"DCD down collecting statistics: nothing", 1, PUMP_GET_STATISTICS, 0xB, 0x3, PUMP_GET_STATISTICS, Pump_Ev_None,
         0x38, true},
        {"DCD not followed: state kept", 0, PUMP_ANSWER, 0x3, 0xB, PUMP_ANSWER, Pump_Ev_None, 0xB8, true},
        {"ring indicator: its delta stays", 0, PUMP_ON_LINE, 0x3, 0x7, PUMP_ON_LINE, Pump_Ev_None, 0x74, true},
        {"no change: no indication", 0, PUMP_ON_LINE, 0x3, 0x3, PUMP_ON_LINE, Pump_Ev_None, 0x30, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Link* l = bind(OWNER_TELEPHONY_SUBSYSTEM, c.state);
        rig::with_adapter_lock(a(), [&] {
            csm().DcdFollowsCallState = c.dcd_follows;
            a()->StatusEventIndication = 1;
            pump().ModemStatus = USHORT(c.old_status);
            pump().ModemStatusRegister = UCHAR((c.old_status & 0xF) << 4);
        });
        size_t before = na->indications.size();
        inject(MSG_DCERPT, 1, c.report);
        EXPECT_EQ(pump().ModemStatus, c.report);
        EXPECT_EQ(pump().ModemStatusRegister, c.image);
        EXPECT_EQ(pump().PumpState, c.state_after);
        EXPECT_EQ(pump().PumpEvent, c.event_after);
        ASSERT_EQ(na->indications.size(), before + (c.indication ? 1 : 0));
        if (c.indication) {
            ULONG w[6];
            std::memcpy(w, na->indications.back().buffer.data(), sizeof w);
            EXPECT_EQ(w[3], ULONG(DEVSPECIFIC_PUMP_STATE));
            EXPECT_EQ(w[4], c.report);
            EXPECT_EQ(w[5], 3u << 24 | 0u << 16 | 0u << 8 | 1u) << "Link, socket, processor, pump";
        }
        rig::with_adapter_lock(a(), [&] { a()->StatusEventIndication = 0; });
        unbind(l);
    }
}

// The modem dialled by itself: its digits (at most 39 of them) become the Link's called
// number and call control places the call; the dial time-out clears it after 50 s
// unless an event indication ends the wait. A number the line's stack cannot send is
// refused at once and the channel disconnected.
TEST_F(CallHandlers, ADialDetectedPlacesTheCallAndTimesOut)
{
    std::string digits;
    for (int i = 0; i < 45; i++) digits += char('0' + i % 10);
    Link* l = bind(OWNER_VOVIZ4EZ, PUMP_IDLE);
    size_t lineerr = card->modem(0)->count(0, true, MSG_LINEERR);
    inject(MSG_DIALDET, 1, USHORT(digits.size()), digits);
    ASSERT_EQ(UCHAR(l->CalledNumber[0]), 39);
    EXPECT_EQ(std::string(l->CalledNumber + 1, 39), digits.substr(0, 39));
    EXPECT_EQ(l->TransferCaps, 0u);
    EXPECT_FALSE(TmrIsRunning(&a()->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_ASYNC_DIAL))
        << "the ISDN stack sends at most 19 digits: the SETUP was refused";
    EXPECT_EQ(l->ThisBChannel, nullptr);
    EXPECT_EQ(card->modem(0)->count(0, true, MSG_LINEERR), lineerr + 1) << "channel disconnected";
    unbind(l);

    // A call the network leaves unanswered is cleared as no answer after 50 s.
    l = bind(OWNER_VOVIZ4EZ, PUMP_IDLE);
    inject(MSG_DIALDET, 1, 7, "5551212");
    EXPECT_EQ(pump().PumpState, ULONG(PUMP_DIAL));
    ASSERT_TRUE(rig::run_until(r.host, [&] { return net->calls().size() == 1; }, plat::ms(1000)));
    EXPECT_EQ(net->calls()[0].called, "5551212");
    net->proceed(net->calls()[0].key);
    net->alert(net->calls()[0].key);  // ringing, never answered
    r.host.run_for(plat::ms(ASYNC_DIAL_TIMEOUT_MS - 1000));
    EXPECT_FALSE(r.host.trace.contains("dialing timeout"));
    r.host.run_for(plat::ms(1500));
    EXPECT_TRUE(r.host.trace.contains("AsyncDialTimeout Csm0 Pump1 Link3: dialing timeout => No Answer"));
    ASSERT_TRUE(rig::run_until(r.host, [&] { return net->calls().empty() || net->calls()[0].last_cause != 0; },
                               plat::ms(1000)));
    if (!net->calls().empty()) {
        EXPECT_EQ(net->calls()[0].last_cause, 0x12) << "no answer";
    }
    unbind(l);

    // An event indication (on line) ends the wait; a dial without digits or without a
    // Link disconnects the channel.
    l = bind(OWNER_VOVIZ4EZ, PUMP_IDLE);
    inject(MSG_DIALDET, 1, 3, "555");
    ASSERT_TRUE(TmrIsRunning(&a()->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_ASYNC_DIAL));
    inject(MSG_EVENTIND, 1, 1);
    EXPECT_FALSE(TmrIsRunning(&a()->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_ASYNC_DIAL));
    EXPECT_EQ(pump().PumpState, ULONG(PUMP_ON_LINE));
    unbind(l);
    l = bind(OWNER_VOVIZ4EZ, PUMP_IDLE);
    lineerr = card->modem(0)->count(0, true, MSG_LINEERR);
    inject(MSG_DIALDET, 1, 4, "ATD,");
    EXPECT_EQ(card->modem(0)->count(0, true, MSG_LINEERR), lineerr + 1) << "channel disconnected, in network mode";
    EXPECT_FALSE(TmrIsRunning(&a()->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_ASYNC_DIAL));
    unbind(l);
    inject(MSG_DIALDET, 1, 3, "555");
    EXPECT_EQ(pump().PumpEvent, ULONG(Host_Ev_ChannelDisconnected)) << "no Link";
    rig::with_adapter_lock(a(), [&] { pump().PumpEvent = Pump_Ev_None; });
    inject(MSG_ANSDET, 1, 0);
    EXPECT_EQ(pump().PumpEvent, ULONG(Host_Ev_ChannelDisconnected)) << "an answer without a Link";
    rig::with_adapter_lock(a(), [&] { pump().PumpEvent = Pump_Ev_None; });
}

// Event indications of a COM-owned call, by code; owner 6 takes only the on-line code.
TEST_F(CallHandlers, EventIndicationsMoveTheDataStateOfAPortsCall)
{
    struct Case {
        ULONG owner;
        USHORT code;
        ULONG online_before;
        ULONG state_after, online_after;
        UCHAR fax_after;
        ULONG event_after;
    };
    const Case cases[] = {
        {OWNER_VOVIZ4EZ, 0, 1, PUMP_DIAL, 0, 0, Pump_Ev_None},
        {OWNER_VOVIZ4EZ, 1, 0, PUMP_ON_LINE, 1, 0, Pump_Ev_None},
        {OWNER_VOVIZ4EZ, 2, 1, PUMP_DIAL, 0, 0, Pump_Ev_None},
        {OWNER_VOVIZ4EZ, 3, 0, PUMP_ON_LINE, 1, 1, Pump_Ev_None},
        {OWNER_VOVIZ4EZ, 4, 1, PUMP_DIAL, 0, 0, Pump_Ev_None},  // call control clears the call (no port here)
        {OWNER_VOVIZ4EZ, 9, 1, PUMP_DIAL, 1, 0, Pump_Ev_None},
        {OWNER_VOVIZ4EZ_ALT, 1, 0, PUMP_ON_LINE, 0, 0, Pump_Ev_None},
        {OWNER_VOVIZ4EZ_ALT, 4, 1, PUMP_DIAL, 1, 0, Pump_Ev_None},
        {OWNER_TELEPHONY_SUBSYSTEM, 1, 0, PUMP_DIAL, 0, 0, Pump_Ev_None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.owner) + " code " + std::to_string(c.code));
        Link* l = bind(c.owner, PUMP_DIAL);
        rig::with_adapter_lock(a(), [&] {
            pump().OnLineData = c.online_before;
            pump().PumpFaxConnection = 0;
        });
        inject(MSG_EVENTIND, 1, c.code);
        EXPECT_EQ(pump().PumpState, c.state_after);
        EXPECT_EQ(pump().OnLineData, c.online_after);
        EXPECT_EQ(pump().PumpFaxConnection, c.fax_after);
        EXPECT_EQ(pump().PumpEvent, c.event_after);
        unbind(l);
    }
}

}  // namespace
