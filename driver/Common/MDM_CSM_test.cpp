// The modem-processor module: the firmware image check, the message counters, and the
// inbound dispatch on a booted processor of the simulated board.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/RSS_init.h"
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
