// The pump state machine, its AT dialect and call statistics, and the modem manager, on
// a booted default board: the handlers are called directly on a pump of processor 0 of
// socket 0 (the socket's own polls are not run meanwhile), and what they post is read
// from the modem-processor model's message log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/MDM_MGR.h"
#include "driver/Common/MDM_PUMP.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

namespace {

ULONG g_is_e1;
SGNL_CONTROL g_real_control;
ULONG LineControl(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    if (Kind == CTL_KIND_GET && Id == CTL_IS_E1) return g_is_e1;
    return g_real_control(Kind, Id, Object, Argument);
}

class PumpMachine : public ::testing::Test {
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
        a = rig::Rig::driver_adapter(na);
        r.host.run_for(plat::ms(12000));
        ASSERT_EQ(csm().State, ULONG(CSM_RUNNING));
        ASSERT_EQ(pump().PumpState, ULONG(PUMP_SLEEP));
        link = &a->NdisWanInfo[0][2];
        g_real_control = a->SgnlProtocolOps[0].Control;
        a->SgnlProtocolOps[0].Control = LineControl;
        g_is_e1 = 0;
        NdisAcquireSpinLock(&a->AdapterSpinLock);  // as in the socket timer
    }
    void TearDown() override
    {
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        a->SgnlProtocolOps[0].Control = g_real_control;
        r.halt(na);
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    Csm& csm() { return a->Socket[0].Csms[0]; }
    Pump& pump() { return csm().Pumps[1]; }
    // Binds the pump to the Link in state S with event E.
    void bind(ULONG state, ULONG event)
    {
        pump().ThisLink = link;
        link->ThisPump = &pump();
        pump().PumpState = state;
        pump().PumpEvent = event;
    }
    // Codes posted to the pump since mark, and the first one's words.
    size_t mark() { return card->modem(0)->messages().size(); }
    std::vector<sim::ModemSocket::Message> posted(size_t since)
    {
        std::vector<sim::ModemSocket::Message> out;
        const auto& log = card->modem(0)->messages();
        for (size_t i = since; i < log.size(); i++)
            if (log[i].processor == 0 && (log[i].words[3] & 0xFF) == pump().PumpNumber) out.push_back(log[i]);
        return out;
    }
    BOOLEAN step(std::string* block = nullptr)
    {
        static const PUMP_STATE_HANDLER handlers[] = {
            Pump_NeedResetState, Pump_SleepState,  Pump_InitState,   Pump_IdleState,         Pump_DialAnswerState,
            Pump_DialAnswerState, Pump_OnLineState, Pump_HangupState, Pump_GetStatisticsState,
        };
        PUCHAR data = nullptr;
        ULONG length = 99;
        BOOLEAN sent = handlers[pump().PumpState](&pump(), &data, &length);
        if (block) *block = sent && data ? std::string((const char*)data, length) : std::string();
        if (!sent) {
            EXPECT_EQ(length, 0u);
        }
        return sent;
    }

    rig::Rig r;
    sim::Card* card = nullptr;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    Link* link = nullptr;
};

TEST_F(PumpMachine, AnswerAndDialCommandsCarryTheTimeSlotAndTheSamplingDigit)
{
    struct Case {
        ULONG sampling, e1, slot;
        const char* tmpl;
        const char* text;
    };
    const Case cases[] = {
        {2, 1, 5, PumpAnswerTemplate, "AT+TSA=5  ,1;%U1A\r"},    // E1, sampling by line
        {2, 0, 7, PumpDialTemplate, "AT+TSA=7  ,1;%U0D\r"},      // T1, sampling by line
        {2, 0, 23, PumpDialTemplate, "AT+TSA=23 ,1;%U0D\r"},
        {2, 0, 100, PumpDialTemplate, "AT+TSA=100,1;%U0D\r"},
        {1, 0, 9, PumpAnswerTemplate, "AT+TSA=9  ,1;%U1A\r"},    // SamplingType 1 on T1
        {0, 1, 10, PumpAnswerTemplate, "AT+TSA=10 ,1;%U0A\r"},   // SamplingType 0 on E1
        {2, 0, 0x105, PumpAnswerTemplate, "AT+TSA=005,1;%U0A\r"}, // >= 100: digits of the low byte (5)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        a->SamplingType[0] = c.sampling;
        g_is_e1 = c.e1;
        bind(PUMP_IDLE, Pump_Ev_None);
        pump().TimeSlot = c.slot;
        UCHAR out[PUMP_COMMAND_LENGTH + 1];
        PumpBuildCommand(&pump(), c.tmpl, out);
        EXPECT_EQ(std::string((const char*)out, PUMP_COMMAND_LENGTH), c.text);
        EXPECT_EQ(out[PUMP_COMMAND_LENGTH], 0);
    }
}

TEST_F(PumpMachine, GoodCallsCountTheirSpeedClassFailedCallsOnlyTheFailure)
{
    struct Case {
        USHORT kind;
        ULONG caps, speed;
        size_t counter;  // index in CALL_STATS, or 99 for none
    };
    const size_t k64 = 4, k56 = 5, kAbove = 6, k33 = 7, k14 = 8, k300 = 9, kNone = 99;
    const Case cases[] = {
        {0, 0, 33600, k33}, {0, 0, 31200, k33}, {0, 0, 14400, k14}, {0, 0, 300, k300}, {0, 0, 1200, k14},
        {0, 0, 48000, kAbove}, {0, 1, 64000, k64}, {0, 2, 56000, k56}, {0, 7, 33600, kNone},
        {1, 0, 33600, kNone}, {3, 0, 33600, kNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind) + " caps " + std::to_string(c.caps) + " speed " +
                     std::to_string(c.speed));
        bind(PUMP_ANSWER, Pump_Ev_None);
        link->TransferCaps = c.caps;
        link->LinkSpeed = c.speed;
        pump().ResetAttempts = 3;
        std::memset(&pump().PumpCallStats, 0, sizeof(CALL_STATS));
        std::memset(&csm().CallStats, 0, sizeof(CALL_STATS));
        ULONG good = pump().GoodCalls, failed = pump().FailedCalls, csmGood = csm().GoodCalls, csmFailed = csm().FailedCalls;
        IncrementStats(&pump(), c.kind);
        EXPECT_EQ(pump().GoodCalls, good + (c.kind == 0));
        EXPECT_EQ(csm().GoodCalls, csmGood + (c.kind == 0));
        EXPECT_EQ(pump().FailedCalls, failed + (c.kind == 1));
        EXPECT_EQ(csm().FailedCalls, csmFailed + (c.kind == 1));
        EXPECT_EQ(pump().ResetAttempts, c.kind == 0 ? 0u : 3u);
        const PULONG ps = (PULONG)&pump().PumpCallStats, cs = (PULONG)&csm().CallStats;
        for (size_t i = 0; i < sizeof(CALL_STATS) / sizeof(ULONG); i++) {
            EXPECT_EQ(ps[i], i == c.counter ? 1u : 0u) << "pump counter " << i;
            EXPECT_EQ(cs[i], i == c.counter ? 1u : 0u) << "processor counter " << i;
        }
    }
}

// One row per (state, event): what the handler posts or sends, and where the pump goes.
TEST_F(PumpMachine, StateHandlersPostTheirMessagesAndMoveOn)
{
    struct Case {
        const char* name;
        ULONG state, event;
        bool linked;
        ULONG steps;
        ULONG state_after, event_after;
        int code;           // message posted, -1 none
        USHORT word2;
        const char* block;  // FIFO block sent, nullptr none
        bool linked_after;
    };
    const Case cases[] = {
        {"reset done: sleep, ask modem status", PUMP_NEED_RESET, Pump_Ev_Reset_Done, false, 0, PUMP_SLEEP, Pump_Ev_None,
         MSG_DCEREQ, 15, nullptr, false},
        {"reset asked: channel reset", PUMP_NEED_RESET, Host_Ev_Reset_Requested, false, 9, PUMP_NEED_RESET, Pump_Ev_None,
         MSG_CHRESET, 0, nullptr, false},
        {"time slot disabled, then reset", PUMP_NEED_RESET, Host_Ev_DisableTimeSlot, false, 9, PUMP_NEED_RESET,
         Host_Ev_Reset_Requested, MSG_SETTSA, 12, nullptr, false},
        {"no answer to a reset", PUMP_NEED_RESET, Pump_Ev_None, false, 3501, PUMP_NEED_RESET, Host_Ev_Reset_Requested, -1,
         0, nullptr, false},
        {"a Link in need of reset: nothing", PUMP_NEED_RESET, Host_Ev_Reset_Requested, true, 0, PUMP_NEED_RESET,
         Host_Ev_Reset_Requested, -1, 0, nullptr, true},
        {"init: the line's init string", PUMP_SLEEP, Host_Ev_Init, true, 0, PUMP_INIT, Host_Ev_Raise_DTR, -1, 0,
         "ATS95=4\\N3%C3\r", true},
        {"init: DTR and RTS", PUMP_INIT, Host_Ev_Raise_DTR, true, 0, PUMP_INIT, Pump_Ev_None, MSG_DTERPT, 3, nullptr, true},
        {"init: no answer", PUMP_INIT, Pump_Ev_None, true, 501, PUMP_INIT, Pump_Ev_Init_Failed, -1, 0, nullptr, true},
        {"init: no Link, nothing", PUMP_INIT, Host_Ev_Raise_DTR, false, 0, PUMP_INIT, Host_Ev_Raise_DTR, -1, 0, nullptr,
         false},
        {"init: cleared before ready", PUMP_INIT, Host_Ev_Sleep, true, 0, PUMP_SLEEP, Pump_Ev_None, -1, 0, nullptr, false},
        {"answer: the command", PUMP_IDLE, Host_Ev_Answer, true, 7, PUMP_ANSWER, Host_Ev_Answer, -1, 0,
         "AT+TSA=12 ,1;%U0A\r", true},
        {"dial: the command", PUMP_IDLE, Host_Ev_Dial, true, 7, PUMP_DIAL, Host_Ev_Dial, -1, 0, "AT+TSA=12 ,1;%U0D\r", true},
        {"idle cleared: sleep", PUMP_IDLE, Host_Ev_Sleep, true, 0, PUMP_SLEEP, Pump_Ev_None, -1, 0, nullptr, false},
        {"answer refused by the modem: reset, slot away next", PUMP_ANSWER, Pump_Ev_Action_Failed, true, 5,
         PUMP_NEED_RESET, Host_Ev_DisableTimeSlot, -1, 0, nullptr, false},
        {"answer cleared by the host", PUMP_ANSWER, Host_Ev_Disc, true, 5, PUMP_GET_STATISTICS, Host_Ev_Drop_DTR,
         MSG_SETTSA, 12, nullptr, true},
        {"answer without response: no carrier", PUMP_ANSWER, Pump_Ev_None, true, 12001, PUMP_GET_STATISTICS,
         Host_Ev_SetASync, MSG_SETTSA, 12, nullptr, true},
        {"dial without response: no carrier", PUMP_DIAL, Pump_Ev_None, true, 12001, PUMP_GET_STATISTICS, Host_Ev_SetASync,
         MSG_SETTSA, 12, nullptr, true},
        {"answer: still waiting", PUMP_ANSWER, Pump_Ev_None, true, 12000, PUMP_ANSWER, Pump_Ev_None, -1, 0, nullptr, true},
        {"on line cleared by the host", PUMP_ON_LINE, Host_Ev_Disc, true, 5, PUMP_GET_STATISTICS, Host_Ev_Drop_DTR,
         MSG_SETTSA, 12, nullptr, true},
        {"on line: no timer", PUMP_ON_LINE, Pump_Ev_None, true, 50000, PUMP_ON_LINE, Pump_Ev_None, -1, 0, nullptr, true},
        {"ACCM transmit", PUMP_ON_LINE, Host_Ev_Set_ACCM_Tx, true, 0, PUMP_ON_LINE, Host_Ev_Set_ACCM_Rx, MSG_ACCMTX, 0x5678,
         nullptr, true},
        {"ACCM receive", PUMP_ON_LINE, Host_Ev_Set_ACCM_Rx, true, 0, PUMP_ON_LINE, Pump_Ev_None, MSG_ACCMRX, 0x4321,
         nullptr, true},
        {"statistics: drop DTR", PUMP_GET_STATISTICS, Host_Ev_Drop_DTR, true, 0, PUMP_GET_STATISTICS, Pump_Ev_None,
         MSG_DTERPT, 2, nullptr, true},
        {"statistics: hung up, ask", PUMP_GET_STATISTICS, Pump_Ev_No_Carrier, true, 40, PUMP_GET_STATISTICS,
         Host_Ev_GetAmperVStats, -1, 0, nullptr, true},
        {"statistics: the request", PUMP_GET_STATISTICS, Host_Ev_GetAmperVStats, true, 0, PUMP_GET_STATISTICS, Host_Ev_Cmd,
         -1, 0, "AT&V1&V2\r ", true},
        {"statistics: the time-out beats a pending request", PUMP_GET_STATISTICS, Host_Ev_GetAmperVStats, true, 1001,
         PUMP_HANGUP, Pump_Ev_None, MSG_CHRESET, 0, nullptr, true},
        {"statistics complete: hang up", PUMP_GET_STATISTICS, Pump_Ev_End_Statistics, true, 0, PUMP_HANGUP,
         Host_Ev_Reset_Requested, -1, 0, nullptr, true},
        {"hang-up: reset the channel", PUMP_HANGUP, Host_Ev_Reset_Requested, true, 0, PUMP_HANGUP, Pump_Ev_None,
         MSG_CHRESET, 0, nullptr, true},
        {"hang-up: asynchronous mode, T1", PUMP_HANGUP, Host_Ev_SetASync, true, 0, PUMP_HANGUP, Pump_Ev_None, MSG_SETASYN,
         0, nullptr, true},
        {"hang-up done: sleep", PUMP_HANGUP, Pump_Ev_Hangup_Done, true, 0, PUMP_SLEEP, Pump_Ev_None, MSG_DCEREQ, 15, nullptr,
         false},
        {"hang-up failed: reset", PUMP_HANGUP, Pump_Ev_Hangup_Failed, true, 0, PUMP_NEED_RESET, Host_Ev_Reset_Requested, -1,
         0, nullptr, false},
        {"hang-up: no answer", PUMP_HANGUP, Pump_Ev_None, true, 3501, PUMP_HANGUP, Pump_Ev_Hangup_Failed, -1, 0, nullptr,
         true},
    };
    link->WanLinkInfo.SendACCM = 0x12345678;
    link->WanLinkInfo.RecvACCM = 0x87654321;
    a->SamplingType[0] = 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bind(c.state, c.event);
        if (!c.linked) {
            pump().ThisLink = nullptr;
            link->ThisPump = nullptr;
        }
        pump().TimeSlot = 12;
        pump().ResetAttempts = 0;
        pump().StepsWithoutSending = c.steps;
        size_t since = mark();
        std::string block;
        BOOLEAN sent = step(&block);
        EXPECT_EQ(pump().PumpState, c.state_after);
        EXPECT_EQ(pump().PumpEvent, c.event_after);
        auto msgs = posted(since);
        if (c.code < 0) {
            EXPECT_TRUE(msgs.empty()) << "posted code " << (msgs.empty() ? 0 : int(msgs[0].code()));
        } else {
            ASSERT_EQ(msgs.size(), 1u);
            EXPECT_EQ(msgs[0].code(), c.code);
            EXPECT_EQ(msgs[0].words[2], c.word2);
        }
        EXPECT_EQ(bool(sent), c.block != nullptr);
        if (c.block) {
            EXPECT_EQ(block, c.block);
            EXPECT_EQ(pump().DataReqWord2, block.size());
        }
        EXPECT_EQ(pump().ThisLink != nullptr, c.linked_after);
    }
    link->ThisPump = nullptr;
}

// The statistics row's asynchronous framing carries the line's E1 flag in word 0.
TEST_F(PumpMachine, HangupSetsAsynchronousFramingForTheLinesKind)
{
    for (ULONG e1 : {0u, 1u}) {
        SCOPED_TRACE(e1);
        g_is_e1 = e1;
        bind(PUMP_HANGUP, Host_Ev_SetASync);
        size_t since = mark();
        step();
        auto msgs = posted(since);
        ASSERT_EQ(msgs.size(), 1u);
        EXPECT_EQ(msgs[0].code(), MSG_SETASYN);
        EXPECT_EQ(msgs[0].words[0], e1);
        EXPECT_EQ(msgs[0].words[2], 0u);
    }
    link->ThisPump = nullptr;
    pump().ThisLink = nullptr;
}

// Initialisation: DTR is raised before the pump goes idle, even when the modem's OK
// overtakes it; then call control hears the pump is ready (here a call without a B
// channel, so it gives the pump back at once).
TEST_F(PumpMachine, APumpIsReadyOnlyAfterItsDtrIsUp)
{
    bind(PUMP_INIT, Pump_Ev_Init_Done);
    pump().DtrRaised = 0;
    link->OutgoingCall = 0;
    link->ThisBChannel = nullptr;
    size_t since = mark();
    step();
    ASSERT_EQ(posted(since).size(), 1u);
    EXPECT_EQ(posted(since)[0].code(), MSG_DTERPT);
    EXPECT_EQ(posted(since)[0].words[2], 3u);
    EXPECT_EQ(pump().PumpState, ULONG(PUMP_INIT));
    step();
    EXPECT_EQ(pump().PumpState, ULONG(PUMP_IDLE));
    EXPECT_EQ(pump().PumpEvent, ULONG(Host_Ev_Sleep)) << "ready: call control released the pump of a vanished call";
    EXPECT_EQ(link->ThisPump, nullptr);
    step();
    EXPECT_EQ(pump().PumpState, ULONG(PUMP_SLEEP));
    EXPECT_EQ(pump().ThisLink, nullptr);
}

// A management command pending with Host_Ev_Cmd is sent as a FIFO block, the AT text
// before a command-channel block, and only in the states that take it.
TEST_F(PumpMachine, PendingHostCommandsAreSentInTheirStates)
{
    struct Case {
        const char* name;
        ULONG state;
        bool at, cmdchan;
        const char* block;
        USHORT code;
    };
    const Case cases[] = {
        {"asleep: AT text", PUMP_SLEEP, true, true, "ATI3\r", 0x0900},
        {"asleep: command channel", PUMP_SLEEP, false, true, "\x01\x02\x03", 0x1400},
        {"idle: AT text", PUMP_IDLE, true, false, "ATI3\r", 0x0900},
        {"idle: no command channel", PUMP_IDLE, false, true, nullptr, 0x0900},
        {"on line: command channel", PUMP_ON_LINE, false, true, "\x01\x02\x03", 0x1400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bind(c.state, Host_Ev_Cmd);
        if (c.state == PUMP_SLEEP) {
            pump().ThisLink = nullptr;
            link->ThisPump = nullptr;
        }
        std::memcpy(pump().AtCommand, "ATI3\r", 5);
        pump().AtCommandLength = c.at ? 5 : 0;
        std::memset(&pump().CmdChan, 0, sizeof(CMD_CHAN));
        if (c.cmdchan) {
            pump().CmdChan.OutCmdClass = 0x0200;
            pump().CmdChan.OutCount = 3;
            std::memcpy(pump().CmdChan.OutData, "\x01\x02\x03", 3);
        }
        pump().OutboundCode = 0x0900;
        std::string block;
        BOOLEAN sent = step(&block);
        EXPECT_EQ(bool(sent), c.block != nullptr);
        if (c.block) {
            EXPECT_EQ(block, c.block);
        }
        EXPECT_EQ(pump().OutboundCode, c.code);
        EXPECT_EQ(pump().AtCommandLength, 0u);
        EXPECT_EQ(pump().PumpEvent, ULONG(Host_Ev_Cmd)) << "the answer ends the command, not the sending";
    }
    std::memset(&pump().CmdChan, 0, sizeof(CMD_CHAN));
    pump().ThisLink = nullptr;
    link->ThisPump = nullptr;
}

TEST_F(PumpMachine, SixFailedResetsPutThePumpOutOfService)
{
    bind(PUMP_NEED_RESET, Host_Ev_Reset_Requested);
    pump().ThisLink = nullptr;
    link->ThisPump = nullptr;
    pump().ResetAttempts = 0;
    size_t since = mark();
    for (int i = 0; i < 7; i++) {
        pump().PumpEvent = Host_Ev_Reset_Requested;
        step();
    }
    EXPECT_EQ(pump().PumpState, ULONG(PUMP_OUT_OF_SERVICE));
    EXPECT_EQ(posted(since).size(), 6u) << "the seventh request sends no reset";
    EXPECT_EQ(pump().ResetAttempts, 6u);
}

TEST_F(PumpMachine, NoCarrierFailsTheCallReportsItAndStillReadsStatistics)
{
    struct Case {
        ULONG state, event, steps;
    };
    const Case cases[] = {
        {PUMP_DIAL, Pump_Ev_No_Carrier, 0},
        {PUMP_ON_LINE, Pump_Ev_No_Carrier, 0},
        {PUMP_ANSWER, Pump_Ev_None, PUMP_DIAL_ANSWER_POLLS + 1},  // the modem never answered
        {PUMP_DIAL, Pump_Ev_None, PUMP_DIAL_ANSWER_POLLS + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.state) + " " + std::to_string(c.event));
        bind(c.state, c.event);
        pump().StepsWithoutSending = c.steps;
        link->DisconnectCause = 0;
        ULONG failed = pump().FailedCalls;
        size_t since = mark();
        step();
        EXPECT_EQ(pump().PumpState, ULONG(PUMP_GET_STATISTICS));
        EXPECT_EQ(pump().PumpEvent, ULONG(Host_Ev_SetASync));
        EXPECT_EQ(pump().FailedCalls, failed + 1);
        EXPECT_EQ(link->DisconnectCause, ULONG(DISCONNECT_CAUSE_PUMP_FAILURE)) << "told to call control";
        EXPECT_EQ(pump().ThisLink, link) << "the pump keeps it until it has cleared";
        ASSERT_EQ(posted(since).size(), 1u);
        EXPECT_EQ(posted(since)[0].code(), MSG_SETTSA);
        step();  // SetASync -> ask for the statistics
        EXPECT_EQ(pump().PumpEvent, ULONG(Host_Ev_GetAmperVStats));
    }
}

TEST_F(PumpMachine, StatisticsAnswerCompletesOnlyAfter512BytesAndOk)
{
    bind(PUMP_GET_STATISTICS, Host_Ev_GetAmperVStats);
    step();
    ASSERT_EQ(pump().PumpEvent, ULONG(Host_Ev_Cmd));
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    std::string text(396, 'x');
    text += "\r\nOK";
    for (size_t at = 0; at < text.size(); at += 128) {
        size_t n = std::min<size_t>(128, text.size() - at);
        card->modem(0)->send_to_host(0, {0, 0, USHORT(n), USHORT(MSG_FIFODAT << 8 | 1)},
                                     std::vector<uint8_t>(text.begin() + long(at), text.begin() + long(at + n)));
    }
    pump().StepsWithoutSending = 0;
    r.host.run_for(plat::ms(60));
    EXPECT_EQ(std::string((const char*)pump().StatisticsText, pump().StatisticsLength), text);
    EXPECT_EQ(pump().PumpState, ULONG(PUMP_GET_STATISTICS)) << "400 bytes with OK are not complete";
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    pump().ThisLink = nullptr;
    link->ThisPump = nullptr;
}

TEST_F(PumpMachine, ModemManagerBindsConnectsAndClearsByPumpState)
{
    // Reserve: the pump leaves its sleep with the Link's call.
    link->OutgoingCall = 0;
    link->ChannelProtocol = 0;
    link->LinkCallStats.IncomingInd = 4;
    ASSERT_TRUE(MDM_Mgr_IncomingCallHdlr(link, 17));
    Pump* p = link->ThisPump;
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->ThisLink, link);
    EXPECT_EQ(p->PumpEvent, ULONG(Host_Ev_Init));
    EXPECT_EQ(p->TimeSlot, 17u);
    EXPECT_EQ(p->CallNumber, 4u);
    EXPECT_EQ(link->PumpAllocateAttempts, 0u);
    // A connect while the pump initialises is refused, nothing touched.
    p->PumpState = PUMP_INIT;
    EXPECT_FALSE(MDM_Mgr_ConnectHdlr(link, 21));
    EXPECT_EQ(p->TimeSlot, 17u);
    EXPECT_EQ(p->PumpEvent, ULONG(Host_Ev_Init));
    p->PumpState = PUMP_IDLE;
    EXPECT_TRUE(MDM_Mgr_ConnectHdlr(link, 21));
    EXPECT_EQ(p->TimeSlot, 21u);
    EXPECT_EQ(p->PumpEvent, ULONG(Host_Ev_Answer));
    p->OutgoingCall = 1;
    EXPECT_TRUE(MDM_Mgr_ConnectHdlr(link, 21));
    EXPECT_EQ(p->PumpEvent, ULONG(Host_Ev_Dial));

    struct Case {
        ULONG state, event_after;
    };
    const Case cases[] = {
        {PUMP_ON_LINE, Host_Ev_Disc}, {PUMP_ANSWER, Host_Ev_Disc},          {PUMP_DIAL, Host_Ev_Disc},
        {PUMP_IDLE, Host_Ev_Sleep},   {PUMP_INIT, Host_Ev_Sleep},           {PUMP_HANGUP, Pump_Ev_None},
        {PUMP_GET_STATISTICS, Pump_Ev_None}, {PUMP_NEED_RESET, Pump_Ev_None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        link->ThisPump = p;
        p->ThisLink = link;
        p->PumpState = c.state;
        p->PumpEvent = Pump_Ev_None;
        EXPECT_TRUE(MDM_Mgr_DisconnectHdlr(link));
        EXPECT_EQ(p->PumpEvent, c.event_after);
        EXPECT_EQ(link->ThisPump, nullptr);
        EXPECT_EQ(p->ThisLink, link) << "the pump unbinds itself when it has cleared";
    }
    EXPECT_FALSE(MDM_Mgr_DisconnectHdlr(link)) << "no pump";
    EXPECT_FALSE(MDM_Mgr_ConnectHdlr(link, 3)) << "no pump";
    p->ThisLink = nullptr;
    p->PumpState = PUMP_SLEEP;
}

// A call cleared before its reserved pump woke up: the pump is unbound and its wake-up
// dropped, so it neither stays bound for ever nor initialises (and sends a SETUP) for a
// call that is gone.
TEST_F(PumpMachine, ACallClearedBeforeItsPumpWokeLeavesThePumpFree)
{
    for (UCHAR outgoing : {UCHAR(0), UCHAR(1)}) {
        SCOPED_TRACE(int(outgoing));
        link->OutgoingCall = outgoing;
        a->ModemRouting[0] = 1;  // always the line's first free pump
        ASSERT_TRUE(outgoing ? MDM_Mgr_MakeCallHdlr(link) : MDM_Mgr_IncomingCallHdlr(link, 9));
        Pump* p = link->ThisPump;
        ASSERT_EQ(p->PumpState, ULONG(PUMP_SLEEP));
        ASSERT_EQ(p->PumpEvent, ULONG(Host_Ev_Init));
        ASSERT_TRUE(MDM_Mgr_DisconnectHdlr(link));
        EXPECT_EQ(link->ThisPump, nullptr);
        EXPECT_EQ(p->ThisLink, nullptr);
        EXPECT_EQ(p->PumpEvent, ULONG(Pump_Ev_None));
        EXPECT_EQ(p->PumpState, ULONG(PUMP_SLEEP));
        Link* other = &a->NdisWanInfo[0][5];
        ASSERT_TRUE(MDM_Mgr_IncomingCallHdlr(other, 9));
        EXPECT_EQ(other->ThisPump, p) << "the pump is free again";
        ASSERT_TRUE(MDM_Mgr_DisconnectHdlr(other));
        a->ModemRouting[0] = 0;
    }
    link->OutgoingCall = 0;
}

TEST_F(PumpMachine, FailedInitialisationMovesTheCallToAnotherPumpAtMostNineTimes)
{
    link->OutgoingCall = 1;
    link->ChannelProtocol = 2;
    link->PumpAllocateAttempts = 0;
    bind(PUMP_INIT, Pump_Ev_Init_Failed);
    step();
    EXPECT_EQ(pump().PumpState, ULONG(PUMP_NEED_RESET));
    EXPECT_EQ(pump().PumpEvent, ULONG(Host_Ev_Reset_Requested));
    EXPECT_EQ(pump().ThisLink, nullptr);
    Pump* next = link->ThisPump;
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, &pump());
    EXPECT_EQ(next->ThisLink, link);
    EXPECT_EQ(next->PumpEvent, ULONG(Host_Ev_Init));
    EXPECT_EQ(next->OutgoingCall, 1);
    EXPECT_EQ(next->ChannelProtocol, 2u);
    EXPECT_EQ(link->PumpAllocateAttempts, 1u);
    next->ThisLink = nullptr;  // give the replacement back

    // The ninth failure for one call: no further pump, the owner is told (cause 3).
    link->PumpAllocateAttempts = 8;
    link->DisconnectCause = 0;
    bind(PUMP_INIT, Pump_Ev_Init_Failed);
    step();
    EXPECT_EQ(link->ThisPump, nullptr);
    EXPECT_EQ(pump().ThisLink, nullptr);
    EXPECT_EQ(link->DisconnectCause, ULONG(DISCONNECT_CAUSE_PUMP_FAILURE));
    link->OutgoingCall = 0;
}

// Offered calls raise 0x1002 and every clearing 0x1001 on a TAPI-owned Link while the
// management service has the indications on; outgoing calls raise no 0x1002.
TEST_F(PumpMachine, ModemManagerRaisesDeviceSpecificEventsForTapiLinks)
{
    struct Case {
        const char* name;
        UCHAR enabled;
        ULONG owner;
        bool outgoing;
        std::vector<ULONG> codes;
    };
    const Case cases[] = {
        {"offered, TAPI, enabled", 1, OWNER_TELEPHONY_SUBSYSTEM, false, {0x1002, 0x1001}},
        {"outgoing, TAPI, enabled", 1, OWNER_TELEPHONY_SUBSYSTEM, true, {0x1001}},
        {"offered, TAPI, disabled", 0, OWNER_TELEPHONY_SUBSYSTEM, false, {}},
        {"offered, driver-owned", 1, OWNER_DRIVER, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        a->StatusEventIndication = c.enabled;
        link->CurrentOwner = c.owner;
        link->OwnerContext = 0x51;
        link->htCall = 0x62;
        link->OutgoingCall = c.outgoing;
        size_t before = na->indications.size();
        ASSERT_TRUE(c.outgoing ? MDM_Mgr_MakeCallHdlr(link) : MDM_Mgr_IncomingCallHdlr(link, 9));
        Pump* p = link->ThisPump;
        p->PumpState = PUMP_INIT;
        ASSERT_TRUE(MDM_Mgr_DisconnectHdlr(link));
        std::vector<ULONG> codes;
        for (size_t i = before; i < na->indications.size(); i++) {
            const auto& ind = na->indications[i];
            ASSERT_EQ(ind.status, NDIS_STATUS_TAPI_INDICATION);
            ASSERT_EQ(ind.buffer.size(), 24u);
            ULONG w[6];
            std::memcpy(w, ind.buffer.data(), sizeof w);
            EXPECT_EQ(w[0], 0x51u);
            EXPECT_EQ(w[1], 0x62u);
            EXPECT_EQ(w[2], 4u) << "LINE_DEVSPECIFIC";
            EXPECT_EQ(w[4], w[3] == 0x1002 ? 1u : 0u);
            EXPECT_EQ(w[5], 0u);
            codes.push_back(w[3]);
        }
        EXPECT_EQ(codes, c.codes);
        p->ThisLink = nullptr;
        p->PumpState = PUMP_SLEEP;
    }
    link->CurrentOwner = OWNER_NONE;
    a->StatusEventIndication = 0;
}

// ModemRouting 0 rotates over the line's free pumps; 1 always takes the first free one.
TEST_F(PumpMachine, ModemManagerTakesPumpsByTheLinesRouting)
{
    for (UCHAR routing : {UCHAR(0), UCHAR(1)}) {
        SCOPED_TRACE(int(routing));
        a->ModemRouting[0] = routing;
        std::vector<Pump*> chosen;
        for (int i = 0; i < 3; i++) {
            ASSERT_TRUE(MDM_Mgr_IncomingCallHdlr(link, 9));
            Pump* p = link->ThisPump;
            EXPECT_EQ(p->ThisCsm->State, ULONG(CSM_RUNNING));
            EXPECT_EQ(p->ThisCsm->ThisSocket->Group, 0u);
            chosen.push_back(p);
            p->PumpState = PUMP_IDLE;
            ASSERT_TRUE(MDM_Mgr_DisconnectHdlr(link));  // given back at once: sleeps again
            p->ThisLink = nullptr;
            p->PumpState = PUMP_SLEEP;
        }
        if (routing == 0) {
            EXPECT_NE(chosen[0], chosen[1]);
            EXPECT_NE(chosen[1], chosen[2]);
        } else {
            EXPECT_EQ(chosen[0], chosen[1]);
            EXPECT_EQ(chosen[1], chosen[2]);
            EXPECT_EQ(chosen[0], &a->Socket[0].Csms[0].Pumps[0]) << "the first free pump of the line";
        }
    }
    a->ModemRouting[0] = 0;
}

TEST_F(PumpMachine, AccmEventOnlyForAPumpOnLine)
{
    for (ULONG state : {ULONG(PUMP_IDLE), ULONG(PUMP_ANSWER), ULONG(PUMP_GET_STATISTICS), ULONG(PUMP_ON_LINE)}) {
        bind(state, Pump_Ev_None);
        PumpSetAccmEvent(&pump());
        EXPECT_EQ(pump().PumpEvent, state == PUMP_ON_LINE ? ULONG(Host_Ev_Set_ACCM_Tx) : ULONG(Pump_Ev_None)) << state;
    }
    pump().ThisLink = nullptr;
    PumpSetAccmEvent(&pump());  // no Link: nothing
    PumpSetAccmEvent(nullptr);
    link->ThisPump = nullptr;
}

}  // namespace

namespace {

// Rotation compares keys socket x 100 + processor x 10 + pump, which collide on
// processors of twelve pumps: after processor 0's pump 11 (key 11) the next choice is
// processor 1's pump 2 (key 12), and after the highest key the first candidate again.
TEST(FreePump, RotationFollowsTheKeysOrder)
{
    auto a = std::make_unique<Adapter>();
    a->SocketCount = 1;
    a->ModemRouting[0] = 0;
    a->SystemBusMode[0] = 2;  // T1 on the 8.192 bus
    DimmSocket& socket = a->Socket[0];
    socket.Present = 1;
    socket.Group = 0;
    socket.ProcessorCount = 2;
    for (ULONG c = 0; c < 2; c++) {
        socket.Csms[c].State = CSM_RUNNING;
        socket.Csms[c].PumpCount = 12;
        for (ULONG p = 0; p < 12; p++) socket.Csms[c].Pumps[p].PumpState = PUMP_SLEEP;
    }
    DimmResetGlobals();
    Link link{};
    std::vector<std::pair<ULONG, ULONG>> chosen;
    for (int i = 0; i < 23; i++) {
        ASSERT_TRUE(FindFreePump(a.get(), &link, 0));
        Pump* p = link.ThisPump;
        chosen.push_back({99, 99});
        for (ULONG c = 0; c < 2; c++)
            if (p >= socket.Csms[c].Pumps && p < socket.Csms[c].Pumps + 12) chosen.back() = {c, ULONG(p - socket.Csms[c].Pumps)};
    }
    std::vector<std::pair<ULONG, ULONG>> expected;
    for (ULONG p = 0; p < 12; p++) expected.push_back({0, p});
    for (ULONG p = 2; p < 12; p++) expected.push_back({1, p});
    expected.push_back({0, 0});  // past the highest key: the first candidate
    EXPECT_EQ(chosen, expected);
    DimmResetGlobals();
}

// Only a port that runs the 8.192 bus has slots between the channels for a pump: on any
// other bus a pump's data slots would be other calls' line channels, so none is free.
TEST(FreePump, OnlyALineOnTheEightMegabitBusHasFreePumps)
{
    auto a = std::make_unique<Adapter>();
    a->SocketCount = 1;
    DimmSocket& socket = a->Socket[0];
    socket.Present = 1;
    socket.Group = 0;
    socket.ProcessorCount = 1;
    socket.Csms[0].State = CSM_RUNNING;
    socket.Csms[0].PumpCount = 1;
    socket.Csms[0].Pumps[0].PumpState = PUMP_SLEEP;
    const struct {
        ULONG line_mode, bus_mode;
        bool free;
    } cases[] = {{0, 2, true}, {1, 5, true}, {0, 0, false}, {0, 3, false}, {0, 5, false},
                 {1, 2, false}, {1, 6, false}, {1, 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "line mode " << c.line_mode << " bus mode " << c.bus_mode);
        a->LineMode[0] = c.line_mode;
        a->SystemBusMode[0] = c.bus_mode;
        DimmResetGlobals();
        Link link{};
        int other;
        link.ThisPump = (Pump*)&other;
        EXPECT_EQ(FindFreePump(a.get(), &link, 0), c.free ? TRUE : FALSE);
        EXPECT_EQ(link.ThisPump, c.free ? &socket.Csms[0].Pumps[0] : nullptr);
    }
    DimmResetGlobals();
}

}  // namespace
