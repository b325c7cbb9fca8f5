// The pump state machine and its AT dialect: one handler per pump state, stepped once per
// service poll of the pump's socket by PumpStateMachine; the answer, dial and statistics
// texts; the call counters of pumps and processors; the device-specific indication of a
// pump; the pump's data time slots, data mode and ACCM event. Runs under AdapterSpinLock
// (socket timer, call control, NDIS requests); no handler takes a lock.
#include "driver/Common/MDM_PUMP.h"

#include <cstring>

#include "driver/Common/Bt847x.h"
#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/RSS_PKTH.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "driver/Wmp_nt40/Wmp_wspi.h"

const char PumpAnswerTemplate[PUMP_COMMAND_LENGTH + 1] = "AT+TSA=   ,1;%U A\r";
const char PumpDialTemplate[PUMP_COMMAND_LENGTH + 1] = "AT+TSA=   ,1;%U D\r";
const char PumpStatisticsRequest[PUMP_STATISTICS_REQUEST_LENGTH + 1] = "AT&V1&V2\r ";

// ---- small helpers ----

static Adapter* PumpAdapter(Pump* ThisPump) { return ThisPump->ThisCsm->ThisAdapter; }

static ULONG PumpSocketIndex(Pump* ThisPump)
{
    return ThisPump->ThisCsm->ThisSocket ? ThisPump->ThisCsm->ThisSocket->SocketIndex : 0;
}

static void PumpLogWhere(Pump* ThisPump)
{
    RSS_LOG("@@@@Group%d, Socket%d, Csm%d, Pump%d\n", (int)ThisPump->ThisCsm->Group, (int)PumpSocketIndex(ThisPump),
            (int)ThisPump->ThisCsm->Index, (int)ThisPump->PumpNumber);
}

static void PumpPost(Pump* ThisPump, UCHAR Code, USHORT Word2, USHORT Word1, USHORT Word0)
{
    CSMSendOutboundMsg(ThisPump->ThisCsm, CSM_MSG_WORD3(Code, ThisPump->PumpNumber), Word2, Word1, Word0);
}

// SETTSA: takes the call's time slot away from the channel.
static void PumpPostSetTsa(Pump* ThisPump) { PumpPost(ThisPump, MSG_SETTSA, (USHORT)ThisPump->TimeSlot, 0, 0); }

static void PumpRaiseDtr(Pump* ThisPump)
{
    PumpPost(ThisPump, MSG_DTERPT, DTE_SIGNAL_DTR | DTE_SIGNAL_RTS, 0, 0);
    ThisPump->DtrRaised = 1;
}

// Hands a FIFO block to PumpStateMachine.
static BOOLEAN PumpSendBlock(Pump* ThisPump, PUCHAR Block, ULONG Count, PUCHAR* Data, ULONG* Length)
{
    *Data = Block;
    *Length = Count;
    ThisPump->DataReqWord2 = Count;
    return TRUE;
}

// The line's stack's E1 flag (1 E1, 0 T1; 0 when the line has no stack).
static ULONG PumpLineIsE1(Adapter* ThisAdapter, ULONG Group)
{
    if (Group >= MAX_GROUPS) return 0;
    SGNL_CONTROL control = ThisAdapter->SgnlProtocolOps[Group].Control;
    if (control == NULL) return 0;
    ULONG v = control(CTL_KIND_GET, CTL_IS_E1, ThisAdapter->ThisSgnlStack[Group], 0);
    return v == 1 ? 1 : 0;
}

// The "@@@@" guard of the states that need a Link: FALSE (and the traces) without one.
static BOOLEAN PumpHasLink(Pump* ThisPump)
{
    if (ThisPump->ThisLink != NULL) return TRUE;
    RSS_LOG("@@@@Error:No Link, Current State=%d, Current Event=%d\n", (int)ThisPump->PumpState, (int)ThisPump->PumpEvent);
    PumpLogWhere(ThisPump);
    return FALSE;
}

static void PumpLogLinkAttached(Pump* ThisPump)
{
    RSS_LOG("@@@@Error:a Link is attached to a pump, Current State=%d, Current Event=%d\n", (int)ThisPump->PumpState,
            (int)ThisPump->PumpEvent);
    PumpLogWhere(ThisPump);
}

// Send pending host commands: the AT command, else (when allowed) the CmdChan command.
static BOOLEAN PumpSendPending(Pump* ThisPump, BOOLEAN CmdChanToo, PUCHAR* Data, ULONG* Length)
{
    if (ThisPump->AtCommandLength != 0) {
        ULONG n = ThisPump->AtCommandLength > PUMP_AT_TEXT_SIZE ? PUMP_AT_TEXT_SIZE : ThisPump->AtCommandLength;
        ThisPump->AtCommandLength = 0;
        RSS_LOG("@@@@Event= Host_Ev_Cmd AT param string=%.*s\n", (int)n, (const char*)ThisPump->AtCommand);
        return PumpSendBlock(ThisPump, ThisPump->AtCommand, n, Data, Length);
    }
    CMD_CHAN* c = &ThisPump->CmdChan;
    if (!CmdChanToo || c->OutCmdClass == 0) return FALSE;
    ULONG n = c->OutCount > FIFO_DATA_BLOCK_SIZE ? FIFO_DATA_BLOCK_SIZE : c->OutCount;
    ThisPump->OutboundCode = CSM_MSG_WORD3(MSG_CMDDAT, 0);
    RSS_LOG("@@@@Event= Host_Ev_Cmd CMDDAT fifolen: %d, fcncode: %d\n", (int)n, (int)c->OutFcnCode);
    *Data = c->OutData;
    *Length = n;
    return TRUE;
}

// ---- AT dialect ----

ULONG PumpSamplingDigit(Pump* ThisPump)
{
    Link* l = ThisPump->ThisLink;
    Adapter* a = PumpAdapter(ThisPump);
    ULONG g = l != NULL ? l->GroupID : ThisPump->ThisCsm->Group;
    if (g >= MAX_LINES) return 0;
    ULONG s = a->SamplingType[g];
    return s != 2 ? s : PumpLineIsE1(a, g);
}

void PumpBuildCommand(Pump* ThisPump, const char* Template, PUCHAR Out)
{
    std::memcpy(Out, Template, PUMP_COMMAND_LENGTH);
    Out[PUMP_COMMAND_LENGTH] = 0;
    ULONG t = ThisPump->TimeSlot;
    UCHAR low = (UCHAR)t;
    if (t < 10) {
        Out[7] = (UCHAR)('0' + low % 10);
    } else if (t < 100) {
        Out[7] = (UCHAR)('0' + low / 10 % 10);
        Out[8] = (UCHAR)('0' + low % 10);
    } else {
        Out[7] = (UCHAR)('0' + low / 100 % 10);
        Out[8] = (UCHAR)('0' + low / 10 % 10);
        Out[9] = (UCHAR)('0' + low % 10);
    }
    Out[15] = (UCHAR)('0' + (UCHAR)PumpSamplingDigit(ThisPump));
}

// ---- call statistics ----

static void PumpCountSpeed(Pump* ThisPump, ULONG Counter)
{
    ((PULONG)&ThisPump->PumpCallStats)[Counter]++;
    ((PULONG)&ThisPump->ThisCsm->CallStats)[Counter]++;
}

#define PUMP_STAT(Field) (offsetof(CALL_STATS, Field) / sizeof(ULONG))

void IncrementStats(Pump* ThisPump, USHORT Kind)
{
    Csm* csm = ThisPump->ThisCsm;
    if (Kind == PUMP_STATS_FAILED_CALL) {
        ThisPump->FailedCalls++;
        csm->FailedCalls++;
        RSS_LOG("Failed Call Number: %d\n", (int)ThisPump->CallNumber);
        RSS_LOG("Group%d, Socket%d, Csm%d, Pump%d\n", (int)csm->Group, (int)PumpSocketIndex(ThisPump), (int)csm->Index,
                (int)ThisPump->PumpNumber);
        return;
    }
    if (Kind != PUMP_STATS_GOOD_CALL) return;
    ThisPump->ResetAttempts = 0;
    csm->ResetAttempts = 0;  // a processor that carries calls again starts a fresh count of resets
    ThisPump->GoodCalls++;
    csm->GoodCalls++;
    RSS_LOG("Good Call Number: %d\n", (int)ThisPump->CallNumber);
    RSS_LOG("Group%d, Socket%d, Csm%d, Pump%d\n", (int)csm->Group, (int)PumpSocketIndex(ThisPump), (int)csm->Index,
            (int)ThisPump->PumpNumber);
    Link* l = ThisPump->ThisLink;
    if (l == NULL) return;
    switch (l->TransferCaps) {
    case 1: PumpCountSpeed(ThisPump, PUMP_STAT(Connect64K)); break;
    case 2: PumpCountSpeed(ThisPump, PUMP_STAT(Connect56K)); break;
    case 0:
        if (l->LinkSpeed == 300)
            PumpCountSpeed(ThisPump, PUMP_STAT(ConnectAt300));
        else if (l->LinkSpeed <= 14400)
            PumpCountSpeed(ThisPump, PUMP_STAT(ConnectTo14400));
        else if (l->LinkSpeed <= 33600)
            PumpCountSpeed(ThisPump, PUMP_STAT(ConnectTo33600));
        else
            PumpCountSpeed(ThisPump, PUMP_STAT(ConnectAbove33600));
        break;
    default:
        RSS_LOG("IncrementStats:Unknown TransferCaps %d for Link %d\n", (int)l->TransferCaps, (int)l->Index);
        break;
    }
}

void PumpIndicateStatus(Pump* ThisPump, ULONG Code, ULONG ValueA, ULONG ValueB)
{
    if (ThisPump == NULL || ThisPump->ThisCsm == NULL) return;
    DimmIndicateOnLink(ThisPump->ThisCsm->ThisAdapter, ThisPump->ThisLink, Code, ValueA, ValueB);
}

// ---- the pump's side of the data path ----

ULONG PumpDataTimeslot(Link* ThisLink)
{
    if (ThisLink == NULL || ThisLink->ThisPump == NULL) return BT847X_NO_TIMESLOT;
    return ThisLink->ThisPump->PumpDataTS;
}

// In data mode from the modem's connect until the pump starts clearing.
BOOLEAN PumpInDataMode(Pump* ThisPump) { return ThisPump != NULL && ThisPump->PumpState == PUMP_ON_LINE; }

void PumpSetAccmEvent(Pump* ThisPump)
{
    if (ThisPump == NULL || ThisPump->ThisLink == NULL || ThisPump->PumpState != PUMP_ON_LINE) return;
    ThisPump->PumpEvent = Host_Ev_Set_ACCM_Tx;
}

// ---- state handlers ----

BOOLEAN Pump_NeedResetState(Pump* ThisPump, PUCHAR*, ULONG* Length)
{
    *Length = 0;
    if (ThisPump->ThisLink != NULL) {
        PumpLogLinkAttached(ThisPump);
        return FALSE;
    }
    switch (ThisPump->PumpEvent) {
    case Pump_Ev_Reset_Done:
        RSS_LOG("@@@@Event= Pump_Ev_Reset_Done, new state= PUMP_SLEEP\n");
        ThisPump->PumpState = PUMP_SLEEP;
        PumpPost(ThisPump, MSG_DCEREQ, 15, 0, 0);
        ThisPump->PumpEvent = Pump_Ev_None;
        return FALSE;
    case Host_Ev_Reset_Requested:
        ThisPump->StepsWithoutSending = 0;
        ThisPump->PumpEvent = Pump_Ev_None;
        if (ThisPump->ResetAttempts >= PUMP_MAX_RESET_ATTEMPTS) {
            ThisPump->PumpState = PUMP_OUT_OF_SERVICE;
            RSS_LOG("@@@@Pump out of service after %d resets\n", (int)ThisPump->ResetAttempts);
            PumpLogWhere(ThisPump);
            return FALSE;
        }
        ThisPump->ResetAttempts++;
        RSS_LOG("@@@@Event= Host_Ev_Reset_Requested, State= PUMP_NEED_RESET %d\n", (int)ThisPump->ResetAttempts);
        PumpPost(ThisPump, MSG_CHRESET, 0, 0, 0);
        return FALSE;
    case Host_Ev_DisableTimeSlot:
        PumpPostSetTsa(ThisPump);
        ThisPump->PumpEvent = Host_Ev_Reset_Requested;
        ThisPump->StepsWithoutSending = 0;
        return FALSE;
    default:
        if (ThisPump->StepsWithoutSending > PUMP_NEED_RESET_POLLS) {
            RSS_LOG("@@@@No Pump Response, Nbr of attempts= %d, raise event= Host_Ev_Reset_Requested\n",
                    (int)ThisPump->ResetAttempts);
            PumpLogWhere(ThisPump);
            ThisPump->PumpEvent = Host_Ev_Reset_Requested;
        }
        return FALSE;
    }
}

BOOLEAN Pump_SleepState(Pump* ThisPump, PUCHAR* Data, ULONG* Length)
{
    *Length = 0;
    if (ThisPump->ThisLink != NULL && ThisPump->PumpEvent != Host_Ev_Init) {
        PumpLogLinkAttached(ThisPump);
        return FALSE;
    }
    if (ThisPump->PumpEvent == Host_Ev_Cmd) return PumpSendPending(ThisPump, TRUE, Data, Length);
    if (ThisPump->PumpEvent != Host_Ev_Init) return FALSE;
    ULONG g = ThisPump->ThisCsm->Group < MAX_LINES ? ThisPump->ThisCsm->Group : 0;
    MODEM_INIT_STRING* init = &PumpAdapter(ThisPump)->ModemDataInit[g];
    LONG n = (LONG)(signed char)init->Count;
    if (n < 0) n = 0;
    if (n > (LONG)sizeof init->Text) n = (LONG)sizeof init->Text;
    RSS_LOG("@@@@Event= Host_Ev_Init, New State= PUMP_INIT, Init string=%.*s\n", (int)n, init->Text);
    ThisPump->PumpState = PUMP_INIT;
    ThisPump->PumpEvent = Host_Ev_Raise_DTR;
    ThisPump->DtrRaised = 0;
    ThisPump->StepsWithoutSending = 0;
    return PumpSendBlock(ThisPump, (PUCHAR)init->Text, (ULONG)n, Data, Length);
}

// Replacement of a pump whose initialisation failed: the call keeps its Link.
static void PumpReplace(Pump* ThisPump)
{
    Link* l = ThisPump->ThisLink;
    ThisPump->PumpState = PUMP_NEED_RESET;
    ThisPump->PumpEvent = Host_Ev_Reset_Requested;
    ThisPump->ThisLink = NULL;  // before FindFreePump, which must not hand this pump back
    l->PumpAllocateAttempts++;
    if (l->PumpAllocateAttempts > PUMP_MAX_ALLOCATE_ATTEMPTS) {
        l->ThisPump = NULL;
        PumpNotReadyHdlr(l);
    } else if (FindFreePump(PumpAdapter(ThisPump), l, l->GroupID)) {
        Pump* p = l->ThisPump;
        p->PumpEvent = Host_Ev_Init;
        p->ThisLink = l;
        p->OutgoingCall = l->OutgoingCall;
        p->ChannelProtocol = l->ChannelProtocol;
        p->CallNumber = ThisPump->CallNumber;
        p->TimeSlot = ThisPump->TimeSlot;
    } else {
        PumpNotReadyHdlr(l);
    }
    RSS_LOG("@@@@Event= Pump_Ev_Init_Failed, New State= PUMP_NEED_RESET\n");
}

BOOLEAN Pump_InitState(Pump* ThisPump, PUCHAR*, ULONG* Length)
{
    *Length = 0;
    if (!PumpHasLink(ThisPump)) return FALSE;
    switch (ThisPump->PumpEvent) {
    case Host_Ev_Raise_DTR:
        RSS_LOG("PUMP_INIT + Host_Ev_Raise_DTR = Set DTR and Wait\n");
        PumpRaiseDtr(ThisPump);
        ThisPump->PumpEvent = Pump_Ev_None;
        return FALSE;
    case Host_Ev_Sleep:
        ThisPump->ThisLink = NULL;
        ThisPump->PumpState = PUMP_SLEEP;
        ThisPump->PumpEvent = Pump_Ev_None;
        RSS_LOG("@@@@Event= Host_Ev_Sleep, New State= PUMP_SLEEP\n");
        return FALSE;
    case Pump_Ev_Init_Done:
        if (!ThisPump->DtrRaised) {
            // The modem's OK overtook the DTR step: raise DTR now, go idle at the next poll.
            RSS_LOG("PUMP_INIT + Pump_Ev_Init_Done before DTR = Set DTR\n");
            PumpRaiseDtr(ThisPump);
            return FALSE;
        }
        ThisPump->PumpState = PUMP_IDLE;
        RSS_LOG("@@@@Event= Pump_Ev_Init_Done, New State= PUMP_IDLE\n");
        PUMP_ReadyHdlr(ThisPump->ThisLink);
        return FALSE;
    case Pump_Ev_Init_Failed: PumpReplace(ThisPump); return FALSE;
    default:
        if (ThisPump->StepsWithoutSending > PUMP_INIT_POLLS) {
            ThisPump->PumpEvent = Pump_Ev_Init_Failed;
            RSS_LOG("@@@@No Pump Response, raise event: Pump_Ev_Init_Failed\n");
        }
        return FALSE;
    }
}

BOOLEAN Pump_IdleState(Pump* ThisPump, PUCHAR* Data, ULONG* Length)
{
    *Length = 0;
    if (!PumpHasLink(ThisPump)) return FALSE;
    switch (ThisPump->PumpEvent) {
    case Host_Ev_Answer:
    case Host_Ev_Dial: {
        BOOLEAN answer = ThisPump->PumpEvent == Host_Ev_Answer;
        PumpBuildCommand(ThisPump, answer ? PumpAnswerTemplate : PumpDialTemplate, ThisPump->CommandText);
        ThisPump->StepsWithoutSending = 0;
        ThisPump->PumpState = answer ? PUMP_ANSWER : PUMP_DIAL;
        if (answer)
            RSS_LOG("@@@@Event= Host_Ev_Answer, new state= PUMP_ANSWER, Answer string=%s\n", (const char*)ThisPump->CommandText);
        else
            RSS_LOG("@@@@Event= Host_Ev_Dial, new state= PUMP_DIAL, Dial string=%s\n", (const char*)ThisPump->CommandText);
        return PumpSendBlock(ThisPump, ThisPump->CommandText, PUMP_COMMAND_LENGTH, Data, Length);
    }
    case Host_Ev_Sleep:
        if (ThisPump->ThisLink->ThisPump == ThisPump) ThisPump->ThisLink->ThisPump = NULL;
        ThisPump->ThisLink = NULL;
        ThisPump->PumpState = PUMP_SLEEP;
        ThisPump->PumpEvent = Pump_Ev_None;
        RSS_LOG("@@@@Event= Host_Ev_Sleep, new state= PUMP_SLEEP\n");
        return FALSE;
    case Host_Ev_Cmd: return PumpSendPending(ThisPump, FALSE, Data, Length);
    default: return FALSE;
    }
}

// Host clearing of a call in answer, dial or on line: time slot away, DTR dropped next.
static void PumpHostClear(Pump* ThisPump)
{
    ThisPump->PumpState = PUMP_GET_STATISTICS;
    ThisPump->PumpEvent = Host_Ev_Drop_DTR;
    ThisPump->StepsWithoutSending = 0;
    PumpPostSetTsa(ThisPump);
}

// The modem dropped or never raised its carrier: a failed call, told to call control.
static void PumpLineClear(Pump* ThisPump)
{
    ThisPump->PumpState = PUMP_GET_STATISTICS;
    ThisPump->PumpEvent = Host_Ev_SetASync;
    ThisPump->StepsWithoutSending = 0;
    IncrementStats(ThisPump, PUMP_STATS_FAILED_CALL);
    PumpDisconnectHdlr(ThisPump->ThisLink);
    PumpPostSetTsa(ThisPump);
}

BOOLEAN Pump_DialAnswerState(Pump* ThisPump, PUCHAR*, ULONG* Length)
{
    *Length = 0;
    if (!PumpHasLink(ThisPump)) return FALSE;
    switch (ThisPump->PumpEvent) {
    case Pump_Ev_Connect:
        RSS_LOG("PUMP_ANSWER | PUMP_DIAL + Pump_Ev_Connect= PUMP_ON_LINE + Wait\n");
        ThisPump->PumpState = PUMP_ON_LINE;
        ThisPump->PumpEvent = Pump_Ev_None;
        ThisPump->StepsWithoutSending = 0;
        IncrementStats(ThisPump, PUMP_STATS_GOOD_CALL);
        PumpReconnectHdlr(ThisPump->ThisLink);
        return FALSE;
    case Host_Ev_Disc:
        RSS_LOG("PUMP_ANSWER | PUMP_DIAL + Host_Ev_Disc= PUMP_GET_STATISTICS + Disable time Slot + Host_Ev_Drop_DTR\n");
        PumpHostClear(ThisPump);
        return FALSE;
    case Pump_Ev_No_Carrier:
        RSS_LOG("PUMP_ANSWER | PUMP_DIAL + Pump_Ev_No_Carrier= PUMP_GET_STATISTICS + Disable time Slot + "
                "Host_Ev_SetASync\n");
        PumpLineClear(ThisPump);
        return FALSE;
    case Pump_Ev_Action_Failed: {
        Link* l = ThisPump->ThisLink;
        ThisPump->PumpState = PUMP_NEED_RESET;
        ThisPump->PumpEvent = Host_Ev_DisableTimeSlot;
        IncrementStats(ThisPump, PUMP_STATS_FAILED_CALL);
        PumpDisconnectHdlr(l);
        ThisPump->ThisLink = NULL;
        RSS_LOG("@@@@Event= Pump_Ev_Action_Failed, new state= PUMP_NEED_RESET\n");
        return FALSE;
    }
    default:
        // No answer from the modem: no carrier, so a failed call that call control hears of.
        if (ThisPump->StepsWithoutSending > PUMP_DIAL_ANSWER_POLLS) {
            RSS_LOG("@@@@No Pump Response, raise event: Pump_Ev_No_Carrier \n");
            PumpLineClear(ThisPump);
        }
        return FALSE;
    }
}

BOOLEAN Pump_OnLineState(Pump* ThisPump, PUCHAR* Data, ULONG* Length)
{
    *Length = 0;
    if (!PumpHasLink(ThisPump)) return FALSE;
    const NDIS_WAN_SET_LINK_INFO* info = &ThisPump->ThisLink->WanLinkInfo;
    switch (ThisPump->PumpEvent) {
    case Host_Ev_Disc:
        RSS_LOG("PUMP_ON_LINE + Host_Ev_Disc= PUMP_GET_STATISTICS + Disable time Slot + Host_Ev_Drop_DTR\n");
        PumpHostClear(ThisPump);
        return FALSE;
    case Pump_Ev_No_Carrier:
        RSS_LOG("PUMP_ON_LINE + Pump_Ev_No_Carrier= PUMP_GET_STATISTICS + Disable time Slot + Host_Ev_SetASync\n");
        PumpLineClear(ThisPump);
        return FALSE;
    case Host_Ev_Cmd: return PumpSendPending(ThisPump, TRUE, Data, Length);
    case Host_Ev_Set_ACCM_Tx:
        ThisPump->PumpEvent = Host_Ev_Set_ACCM_Rx;
        RSS_LOG("@@@@Event= Host_Ev_Set_ACCM_Tx 0x%x\n", (unsigned)info->SendACCM);
        PumpPost(ThisPump, MSG_ACCMTX, (USHORT)info->SendACCM, (USHORT)(info->SendACCM >> 16), 0);
        return FALSE;
    case Host_Ev_Set_ACCM_Rx:
        ThisPump->PumpEvent = Pump_Ev_None;
        RSS_LOG("@@@@Event= Host_Ev_Set_ACCM_Rx 0x%x\n", (unsigned)info->RecvACCM);
        PumpPost(ThisPump, MSG_ACCMRX, (USHORT)info->RecvACCM, (USHORT)(info->RecvACCM >> 16), 0);
        return FALSE;
    default: return FALSE;
    }
}

BOOLEAN Pump_HangupState(Pump* ThisPump, PUCHAR*, ULONG* Length)
{
    *Length = 0;
    if (!PumpHasLink(ThisPump)) return FALSE;
    switch (ThisPump->PumpEvent) {
    case Pump_Ev_Hangup_Done:
        RSS_LOG("\tPUMP_HANGUP: Pump_Ev_Hangup_Done new state= PUMP_SLEEP\n");
        PumpPost(ThisPump, MSG_DCEREQ, 15, 0, 0);
        ThisPump->PumpEvent = Pump_Ev_None;
        ThisPump->ThisLink = NULL;
        ThisPump->PumpState = PUMP_SLEEP;
        return FALSE;
    case Pump_Ev_Hangup_Failed:
        RSS_LOG("\tPUMP_HANGUP: Pump_Ev_Hangup_Failed\n");
        RSS_LOG("@@@@Event= Pump_Ev_Hangup_Failed, new state= PUMP_NEED_RESET\n");
        ThisPump->PumpEvent = Host_Ev_Reset_Requested;
        ThisPump->ThisLink = NULL;
        ThisPump->PumpState = PUMP_NEED_RESET;
        return FALSE;
    case Host_Ev_SetASync: {
        RSS_LOG("\tPUMP_HANGUP: Host_Ev_SetASync\n");
        ThisPump->StepsWithoutSending = 0;
        ULONG v = PumpLineIsE1(PumpAdapter(ThisPump), ThisPump->ThisLink->GroupID);
        PumpPost(ThisPump, MSG_SETASYN, 0, 0, (USHORT)v);
        ThisPump->PumpEvent = Pump_Ev_None;
        return FALSE;
    }
    case Host_Ev_DisableTimeSlot:
        RSS_LOG("\tPUMP_HANGUP: Host_Ev_DisableTimeSlot\n");
        ThisPump->StepsWithoutSending = 0;
        PumpPostSetTsa(ThisPump);
        ThisPump->PumpEvent = Host_Ev_Reset_Requested;
        return FALSE;
    case Host_Ev_Reset_Requested:
        RSS_LOG("\tPUMP_HANGUP: Host_Ev_Reset_Requested. DoCsmReset=%d\n", (int)PumpAdapter(ThisPump)->DoCsmReset);
        ThisPump->StepsWithoutSending = 0;
        PumpPost(ThisPump, MSG_CHRESET, 0, 0, 0);
        ThisPump->PumpEvent = Pump_Ev_None;
        return FALSE;
    default:
        if (ThisPump->StepsWithoutSending > PUMP_HANGUP_POLLS) {
            ThisPump->PumpEvent = Pump_Ev_Hangup_Failed;
            RSS_LOG("@@@@No Pump Response, raise event: Pump_Ev_Hangup_Failed\n");
        }
        return FALSE;
    }
}

BOOLEAN Pump_GetStatisticsState(Pump* ThisPump, PUCHAR* Data, ULONG* Length)
{
    *Length = 0;
    switch (ThisPump->PumpEvent) {
    case Host_Ev_Drop_DTR:
        RSS_LOG("PUMP_GET_STATISTICS + Host_Ev_Drop_DTR=  Wait\n");
        PumpPost(ThisPump, MSG_DTERPT, DTE_SIGNAL_RTS, 0, 0);
        ThisPump->DtrRaised = 0;
        ThisPump->PumpEvent = Pump_Ev_None;
        return FALSE;
    case Pump_Ev_No_Carrier:
        if (ThisPump->DtrRaised) {
            // The modem hung up before the host's DTR drop went out: drop it first.
            RSS_LOG("PUMP_GET_STATISTICS + Pump_Ev_No_Carrier before Host_Ev_Drop_DTR= Drop DTR\n");
            PumpPost(ThisPump, MSG_DTERPT, DTE_SIGNAL_RTS, 0, 0);
            ThisPump->DtrRaised = 0;
            return FALSE;
        }
        RSS_LOG("PUMP_GET_STATISTICS + Pump_Ev_No_Carrier= ");
        RSS_LOG("Host_Ev_GetAmperVStats \n");
        ThisPump->StepsWithoutSending = 0;
        ThisPump->PumpEvent = Host_Ev_GetAmperVStats;
        return FALSE;
    default: break;
    }
    if (ThisPump->StepsWithoutSending > PUMP_STATISTICS_POLLS) {
        RSS_LOG("PUMP_GET_STATISTICS + timeout= MSG_CHRESET\n");
        ThisPump->StepsWithoutSending = 0;
        PumpPost(ThisPump, MSG_CHRESET, 0, 0, 0);
        ThisPump->PumpEvent = Pump_Ev_None;
        ThisPump->PumpState = PUMP_HANGUP;
        return FALSE;
    }
    switch (ThisPump->PumpEvent) {
    case Host_Ev_GetAmperVStats:
        ThisPump->PumpEvent = Host_Ev_Cmd;
        std::memcpy(ThisPump->AtCommand, PumpStatisticsRequest, PUMP_STATISTICS_REQUEST_LENGTH);
        ThisPump->AtCommand[PUMP_STATISTICS_REQUEST_LENGTH] = 0;
        ThisPump->AtCommandLength = 0;
        ThisPump->StatisticsText[0] = 0;
        ThisPump->StatisticsLength = 0;
        RSS_LOG("PUMP_GET_STATISTICS + Host_Ev_GetAmperVStats= %s\n", (const char*)ThisPump->AtCommand);
        return PumpSendBlock(ThisPump, ThisPump->AtCommand, PUMP_STATISTICS_REQUEST_LENGTH, Data, Length);
    case Pump_Ev_End_Statistics:
        RSS_LOG("PUMP_GET_STATISTICS + Pump_Ev_End_Statistics= PUMP_HANGUP + Host_Ev_Reset_Requested\n");
        ThisPump->PumpEvent = Host_Ev_Reset_Requested;
        ThisPump->PumpState = PUMP_HANGUP;
        return FALSE;
    case Host_Ev_SetASync:
        ThisPump->StepsWithoutSending = 0;
        RSS_LOG("Host_Ev_GetAmperVStats \n");
        ThisPump->PumpEvent = Host_Ev_GetAmperVStats;
        return FALSE;
    default: return FALSE;
    }
}
