// The management request service: checks one BackdoorRequest record, dispatches it by
// class and action, and answers in the record's Status, Arg words and segments. It owns
// nothing but the record it is given; every adapter, link, framer, stack, processor and
// pump field it reads or writes is guarded by AdapterSpinLock, which the miniport's
// query handler holds around the whole request.
//
// The record is read into a local copy of its header and written back at the end, so
// an unaligned buffer is never dereferenced as a record; every byte of the data area is
// reached through BdSeg/BdSenderSeg, which keep all copies inside both BufferLength and
// the buffer NDIS actually gave.
#include "driver/Wmp_nt40/RSS_DVSP.h"

#include <cstring>

#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/MDM_PUMP_ext.h"
#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/RSS_DVSP_replies.h"
#include "driver/Wmp_nt40/ser_init.h"
#include "driver/signalling/rbs/RbsStack.h"

#define BP BACKDOOR_STATUS_BAD_PARAMETER
#define BI BACKDOOR_STATUS_BAD_INDEX
#define ALL_LINKS 0xFFFFFFFF
#define NO_PUMP_BYTE 0xFF
#define CSM_REGS 16
#define PUMP_EVENT_PUMP_DATA_IN 33
#define CALL_VIEW_NO_CALL 100
#define CALL_VIEW_CALL_STATE 4
#define CALL_VIEW_CALL_REF 2
#define SNAPSHOT_TAG_OWNER BD_SNAPSHOT_TAG_OWNER
#define SNAPSHOT_TAG_LINE_ID BD_SNAPSHOT_TAG_LINE_ID
#define SNAPSHOT_TAG_PUMP BD_SNAPSHOT_TAG_PUMP
#define SNAPSHOT_TAG_TIMESLOT BD_SNAPSHOT_TAG_TIMESLOT
#define SNAPSHOT_CSM_OUT_OF_SERVICE BD_SNAPSHOT_CSM_OUT_OF_SERVICE
#define LEASED_LINE_PROTOCOL 6
#define RBS_PROTOCOL 0
#define FRAMER_LOOPBACK_REG 0x14
#define FRAMER_RLIU_RESET_REG 0x20
#define HDLC_SRQ_LOOPBACK_1 0x500
#define HDLC_SRQ_LOOPBACK_2 0x520

// Sums of lengths and offsets are formed 64 bits wide so they cannot wrap.
typedef unsigned long long BD_WIDE;

typedef struct _BD_REQ {
    Adapter* a;
    PUCHAR Rec;
    ULONG Cap;  // bytes of the record that may be touched: min(buffer, BufferLength, record)
    BACKDOOR_REQUEST_HEADER H;
    ULONG Next;  // where the reply's next segment starts
} BD_REQ;

// ---- record helpers ----

static void BdStatus(BD_REQ* r, ULONG Status) { r->H.Status = Status; }

// The reply needs ReplyBytes behind the header: FALSE (BP, ReplyLength the need) when
// the sender's BufferLength, or the buffer itself, is shorter.
static BOOLEAN BdNeed(BD_REQ* r, ULONG ReplyBytes)
{
    BD_WIDE need = (BD_WIDE)BACKDOOR_HEADER_SIZE + ReplyBytes;
    if (need > BACKDOOR_REQUEST_SIZE || r->H.BufferLength < need || r->Cap < need) {
        r->H.ReplyLength = need > 0xFFFFFFFFull ? 0xFFFFFFFF : (ULONG)need;
        BdStatus(r, BP);
        return FALSE;
    }
    return TRUE;
}

// Places segment k of the reply behind the previous one; BdNeed has covered it.
static PUCHAR BdSeg(BD_REQ* r, ULONG k, ULONG Length)
{
    r->H.Segment[k].Length = Length;
    r->H.Segment[k].Offset = r->Next;
    PUCHAR p = r->Rec + r->Next;
    r->Next += Length;
    return p;
}

static void BdPut(PUCHAR p, ULONG Index, ULONG Value) { std::memcpy(p + 4 * Index, &Value, 4); }

static void BdSegWords(BD_REQ* r, ULONG k, const ULONG* Words, ULONG Count)
{
    PUCHAR p = BdSeg(r, k, Count * 4);
    std::memcpy(p, Words, Count * 4);
}

// The sender's payload in segment k: FALSE unless it lies wholly in the data area that
// arrived.
static BOOLEAN BdSenderSeg(BD_REQ* r, ULONG k, PUCHAR* Data, ULONG* Length)
{
    BD_WIDE off = r->H.Segment[k].Offset, len = r->H.Segment[k].Length;
    if (off < BACKDOOR_HEADER_SIZE || off + len > r->Cap) return FALSE;
    *Data = r->Rec + off;
    *Length = (ULONG)len;
    return TRUE;
}

// Words written one at a time into a segment whose length is known only at the end.
typedef struct _BD_WORDS {
    PUCHAR Base;
    ULONG Room;   // bytes
    ULONG Count;  // words, also those that did not fit
} BD_WORDS;

static void BdWord(BD_WORDS* w, ULONG Value)
{
    if ((BD_WIDE)(w->Count + 1) * 4 <= w->Room) BdPut(w->Base, w->Count, Value);
    w->Count++;
}

// ---- index helpers ----

static BOOLEAN BdLineOk(Adapter* a, ULONG Line) { return Line < a->NumberOfLines && Line < MAX_LINES; }
static BOOLEAN BdGroupOk(Adapter* a, ULONG Group) { return Group < a->NumberOfGroups && Group < MAX_GROUPS; }

static Link* BdLink(Adapter* a, ULONG Group, ULONG Index)
{
    if (!BdGroupOk(a, Group) || Index >= MAX_LINKS_PER_GROUP) return NULL;
    return &a->NdisWanInfo[Group][Index];
}

// The line's D-channel Link carries the signalling stack's frames: a test, a simulated
// call or a stopped transfer on it would cut the line off until the next reset.
static BOOLEAN BdDChannel(const Link* l) { return l->IsDChannelLink == 1 || l->CurrentOwner == OWNER_SIGNALLING_STACK; }

// A B-channel Link the request may act on: NULL for a bad index or the D-channel Link.
static Link* BdBLink(Adapter* a, ULONG Group, ULONG Index)
{
    Link* l = BdLink(a, Group, Index);
    return l == NULL || BdDChannel(l) ? NULL : l;
}

static DimmSocket* BdSocket(Adapter* a, ULONG Module)
{
    if (Module >= a->SocketCount || Module >= MAX_SOCKETS) return NULL;
    return &a->Socket[Module];
}

static Csm* BdCsm(Adapter* a, ULONG Module, ULONG Processor)
{
    DimmSocket* s = BdSocket(a, Module);
    if (s == NULL || Processor >= s->ProcessorCount || Processor >= MAX_CSMS_PER_SOCKET) return NULL;
    return &s->Csms[Processor];
}

static Pump* BdPump(Adapter* a, ULONG Module, ULONG Processor, ULONG Index)
{
    Csm* c = BdCsm(a, Module, Processor);
    if (c == NULL || Index >= c->PumpCount || Index >= CSM_MAX_PUMPS) return NULL;
    return &c->Pumps[Index];
}

// The request's pump from Arg0..Arg2.
static Pump* BdArgPump(BD_REQ* r) { return BdPump(r->a, r->H.Arg[0], r->H.Arg[1], r->H.Arg[2]); }

// ---- signalling-stack helpers ----

static ULONG BdCtl(Adapter* a, ULONG Line, ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    SGNL_CONTROL ctl = a->SgnlProtocolOps[Line].Control;
    if (ctl == NULL) return CONTROL_UNKNOWN;
    if (Kind == CTL_KIND_ACTION || Kind == CTL_KIND_SET || Kind == CTL_KIND_GET) {
        Object = a->ThisSgnlStack[Line];
        if (Object == NULL) return CONTROL_UNKNOWN;
    }
    return ctl(Kind, Id, Object, Argument);
}

// Size bytes of the line's stack instance at the byte offset the stack answered for
// Id; NULL when the answer is no offset or the bytes do not lie inside the instance.
static const UCHAR* BdStackBytes(Adapter* a, ULONG Line, ULONG Id, BD_WIDE Size)
{
    ULONG offset = BdCtl(a, Line, CTL_KIND_GET, Id, NULL, 0);
    if (offset == CONTROL_UNKNOWN || a->ThisSgnlStack[Line] == NULL) return NULL;
    if ((BD_WIDE)offset + Size > a->SgnlStackSize[Line]) return NULL;
    return (const UCHAR*)a->ThisSgnlStack[Line] + offset;
}

// ---- address words: bus addresses only, never a kernel pointer ----

static ULONG BdSharedBus(Adapter* a) { return (ULONG)a->SharedMemoryPhysical.QuadPart; }

static void BdAddressArgs(BD_REQ* r)
{
    Adapter* a = r->a;
    r->H.Arg[0] = a->PhysicalAddressBAR0;
    r->H.Arg[1] = a->PhysicalAddressBAR0;
    r->H.Arg[2] = a->PhysicalAddressBAR1;
    r->H.Arg[3] = a->PhysicalAddressBAR1;
    r->H.Arg[4] = BdSharedBus(a);
    r->H.Arg[5] = BdSharedBus(a);
}

// The bus address of a place inside window 1 (board memory), 0 outside it.
static ULONG BdBoardBus(Adapter* a, const void* Place)
{
    const UCHAR* p = (const UCHAR*)Place;
    if (a->VirtualAddressBAR1 == NULL || p < a->VirtualAddressBAR1 || p >= a->VirtualAddressBAR1 + REGISTER_WINDOW_SIZE)
        return 0;
    return a->PhysicalAddressBAR1 + (ULONG)(p - a->VirtualAddressBAR1);
}

static ULONG BdReadWindow0(Adapter* a, ULONG Offset)
{
    return a->VirtualAddressBAR0 == NULL ? 0 : READ_REGISTER_ULONG((PULONG)(a->VirtualAddressBAR0 + Offset));
}

static ULONG BdReadBoardWord(Adapter* a, ULONG Word)
{
    return a->VirtualAddressBAR1 == NULL ? 0 : READ_REGISTER_ULONG((PULONG)(a->VirtualAddressBAR1 + 4 * Word));
}

static PUCHAR BdGroupArea(Adapter* a, ULONG Group)
{
    return a->SharedMem.GroupAreas.Virtual == NULL ? NULL
                                                   : a->SharedMem.GroupAreas.Virtual + Group * SHARED_GROUP_AREA_SIZE;
}

static void BdCopyOrZero(PUCHAR To, const void* From, ULONG Length)
{
    if (From == NULL)
        std::memset(To, 0, Length);
    else
        std::memcpy(To, From, Length);
}

// ---- class 0: reads ----

static void BdReadFramerRegs(Adapter* a, ULONG Line, PUCHAR To)
{
    for (ULONG reg = 0; reg < BT8370_NUM_REGS; reg++) BdPut(To, reg, Bt8370Read(&a->Framer[Line], reg));
}

// The bus address of a place inside register window 0 or 1, 0 outside both.
static ULONG BdRegisterBus(Adapter* a, const void* Place)
{
    const UCHAR* p = (const UCHAR*)Place;
    if (a->VirtualAddressBAR0 != NULL && p >= a->VirtualAddressBAR0 && p < a->VirtualAddressBAR0 + REGISTER_WINDOW_SIZE)
        return a->PhysicalAddressBAR0 + (ULONG)(p - a->VirtualAddressBAR0);
    return BdBoardBus(a, Place);
}

// The framer record, word by word as the reply's map places its fields; every other
// word is 0.
static void BdFramerImage(Adapter* a, ULONG Line, PUCHAR To)
{
    static_assert(BD_FRAMER_IMAGE_WORDS * 4 == BACKDOOR_FRAMER_IMAGE_SIZE);
    const Bt8370* f = &a->Framer[Line];
    ULONG w[BD_FRAMER_IMAGE_WORDS];
    std::memset(w, 0, sizeof w);
    w[BD_FRAMER_W_LINE] = f->nLine;
    w[BD_FRAMER_W_MODE] = f->nMode;
    w[BD_FRAMER_W_PRESENT] = f->bPresent;
    w[BD_FRAMER_W_USED] = f->bUsed;
    w[BD_FRAMER_W_PROTOTYPE] = f->nDeviceCode;
    w[BD_FRAMER_W_STATE] = f->nState;
    w[BD_FRAMER_W_INT_SELECT] = f->bIntSelect;
    w[BD_FRAMER_W_REG_IMAGE] = 0;
    w[BD_FRAMER_W_BASE] = BdRegisterBus(a, f->pRegs);
    w[BD_FRAMER_W_MASTER] = f->bMaster;
    w[BD_FRAMER_W_BAD_IRR] = f->InterruptBadIRR;
    w[BD_FRAMER_W_RESETS] = f->nNumResets;
    w[BD_FRAMER_W_INBAND] = f->bRbsMode;
    w[BD_FRAMER_W_L1_UP] = f->bL1Up;
    w[BD_FRAMER_W_PH_ACTIVATE] = f->nL1UpReports;
    w[BD_FRAMER_W_PH_DEACTIVATE] = f->nL1DownReports;
    w[BD_FRAMER_W_L1_HOLD] = f->bL1Hold;
    for (ULONG i = 0; i < BD_FRAMER_COUNTERS; i++) {
        w[BD_FRAMER_W_COUNTERS + i] = f->CounterError[i];
        w[BD_FRAMER_W_OVERFLOWS + i] = f->CounterOverflow[i];
    }
    static_assert(BD_FRAMER_ALARMS == sizeof f->Alarm1 / sizeof f->Alarm1[0]);
    static_assert(BD_FRAMER_TRACKER_WORDS == sizeof(BT8370_TRACKER) / sizeof(ULONG));
    for (ULONG i = 0; i < BD_FRAMER_ALARMS; i++) {
        const BT8370_TRACKER* t[2] = {&f->Alarm1[i], &f->Alarm2[i]};
        const ULONG at[2] = {BD_FRAMER_W_ALARM1, BD_FRAMER_W_ALARM2};
        for (ULONG k = 0; k < 2; k++) {
            ULONG* to = w + at[k] + i * BD_FRAMER_TRACKER_WORDS;
            to[0] = t[k]->OnCount;
            to[1] = t[k]->OffCount;
            to[2] = t[k]->Violations;
            to[3] = t[k]->State;
        }
    }
    const BT8370_TIMER_COUNTERS& tc = f->CounterTimer;
    const ULONG timers[] = {tc.nTSIG, tc.nTMSYNC, tc.nTMF, tc.nTFRAME, tc.nRSIG, tc.nRMSYNC, tc.nRMF, tc.nRFRAME};
    static_assert(sizeof timers == BD_FRAMER_TIMERS * sizeof(ULONG) && sizeof tc == sizeof timers);
    std::memcpy(w + BD_FRAMER_W_TIMER, timers, sizeof timers);
    static_assert(sizeof f->CounterPattern == BD_FRAMER_PATTERNS * sizeof(ULONG));
    std::memcpy(w + BD_FRAMER_W_PATTERN, f->CounterPattern, sizeof f->CounterPattern);
    w[BD_FRAMER_W_TLOF] = f->TlofActive;
    w[BD_FRAMER_W_L1_MACHINE] = f->bL1Machine;
    w[BD_FRAMER_W_L1_STATE] = f->nL1State;
    w[BD_FRAMER_W_L1_EVENT] = f->nL1LastEvent;
    std::memcpy(To, w, sizeof w);
}

// The line's robbed-bit stack, NULL when the line runs another one.
static const RBS_STACK* BdRbsStack(Adapter* a, ULONG Line)
{
    if (a->SignallingProtocol[Line] != RBS_PROTOCOL || a->ThisSgnlStack[Line] == NULL ||
        a->SgnlStackSize[Line] < sizeof(RBS_STACK))
        return NULL;
    return (const RBS_STACK*)a->ThisSgnlStack[Line];
}

// The robbed-bit record of a line (BdRbsStack not NULL), word by word, straight into
// the reply.
static void BdRbsRecord(Adapter* a, ULONG Line, PUCHAR To)
{
    const RBS_STACK* s = BdRbsStack(a, Line);
    std::memset(To, 0, BD_RBS_RECORD_WORDS * 4);
    BdPut(To, BD_RBS_W_GROUP, Line);
    BdPut(To, BD_RBS_W_STACK_SIZE, BdCtl(a, Line, CTL_KIND_CONST, CTL_INSTANCE_SIZE, NULL, 0));
    BdPut(To, BD_RBS_W_MONITORING, s->Mode);
    BdPut(To, BD_RBS_W_PERIOD, s->Timing[RBS_T_PERIOD]);
    for (ULONG i = 0; i < 3; i++) BdPut(To, BD_RBS_W_WINK + i, s->Timing[RBS_T_ANSWER_DELAY + i]);
    BdPut(To, BD_RBS_W_DIRECTION, a->NetworkSide[Line] != 0 ? 3 : 4);
    BdPut(To, BD_RBS_W_STATUS, s->Halt != 0 ? 7 : s->Layer1State);
    static_assert(RBS_HISTORY_ENTRIES == BD_RBS_TRACE_ENTRIES);
    static_assert(RBS_HISTORY_VALID == BD_RBS_TRACE_VALID);
    for (ULONG c = 0; c < BD_RBS_CHANNELS; c++) {
        const RBS_CHANNEL* ch = &s->Channel[c];
        const ULONG at = BD_RBS_W_CHANNELS + c * BD_RBS_CHANNEL_WORDS;
        BdPut(To, at + BD_RBS_CH_RX_BITS, s->RxBits[c].Stable);
        BdPut(To, at + BD_RBS_CH_RX_MESSAGE, ch->RxState);
        BdPut(To, at + BD_RBS_CH_TX_BITS, s->TxBits[c].Latest);
        BdPut(To, at + BD_RBS_CH_TX_MESSAGE, ch->TxState);
        BdPut(To, at + BD_RBS_CH_STATE, ch->State);
        BdPut(To, at + BD_RBS_CH_ENABLED, ch->Enabled);
        BdPut(To, at + BD_RBS_CH_SIGNALLING_TYPE, ch->SignallingType);
        BdPut(To, at + BD_RBS_CH_BEARER, 2);  // speech: robbed-bit channels carry voice-band calls
        BdPut(To, at + BD_RBS_CH_ISDN, ch->CallType == RBS_CALL_TYPE_ISDN);
        BdPut(To, at + BD_RBS_CH_ORIGINATING, ch->Outgoing);
        BdPut(To, at + BD_RBS_CH_PROTOCOL, ch->Protocol);
        const USHORT* traces[BD_RBS_TRACES] = {ch->RxHistory, ch->TxHistory, ch->StateHistory};
        for (ULONG t = 0; t < BD_RBS_TRACES; t++) {
            const ULONG first = BD_RBS_W_TRACES + (c * BD_RBS_TRACES + t) * BD_RBS_TRACE_WORDS;
            for (ULONG i = 0; i < BD_RBS_TRACE_WORDS; i++)
                BdPut(To, first + i, (ULONG)traces[t][2 * i] | (ULONG)traces[t][2 * i + 1] << 16);
        }
    }
}

static ULONG BdLinkDump(Adapter* a, Link* l, PUCHAR To)
{
    static_assert(BD_LINK_WORDS == BACKDOOR_LINK_DUMP_WORDS);
    ULONG w[BD_LINK_WORDS];
    std::memset(w, 0, sizeof w);
    w[BD_LINK_W_OWNER] = l->CurrentOwner;
    w[BD_LINK_W_LINK_CONTEXT] = l->NdisLinkContext;
    w[BD_LINK_W_LINE_STATE] = l->LineState;
    w[BD_LINK_W_ADDRESS_STATE] = l->AddressState;
    w[BD_LINK_W_CALL_STATE] = l->CallState;
    w[BD_LINK_W_MEDIA_MODE] = l->MediaMode;
    w[BD_LINK_W_BEARER_MODE] = l->BearerMode;
    w[BD_LINK_W_RATE] = l->LinkSpeed;
    w[BD_LINK_W_TRANSFER_CAPS] = l->TransferCaps;
    w[BD_LINK_W_TRANSFER_MODE] = 0;  // transfer mode: the driver keeps none
    w[BD_LINK_W_CHANNEL_PROTOCOL] = l->ChannelProtocol;
    w[BD_LINK_W_CLOSING] = l->DisconnectFlag;
    w[BD_LINK_W_CALL_CLOSING] = l->TransferTerminated;
    w[BD_LINK_W_PACKETS_STATE] = l->ChannelState;
    w[BD_LINK_W_BCH_PROTOCOL] = l->BChProtocol;
    w[BD_LINK_W_WRITE_TX_INDEX] = l->WriteTxPacketIdx;
    w[BD_LINK_W_READ_TX_INDEX] = l->ReadTxPacketIdx;
    w[BD_LINK_W_RX_INDEX] = l->ReadRxPacketIdx;
    w[BD_LINK_W_CALL_ORIGINATE] = l->OutgoingCall;
    w[BD_LINK_W_NETWORK_DISC] = l->DisconnectCause == DISCONNECT_CAUSE_NETWORK;
    std::memcpy(&w[BD_LINK_W_CALL_STATS], &l->LinkCallStats, sizeof l->LinkCallStats);
    w[BD_LINK_W_PUMP_ATTEMPTS] = l->PumpAllocateAttempts;
    Pump* p = l->ThisPump;
    if (p != NULL && p->ThisCsm != NULL && p->ThisCsm->ThisSocket != NULL) {
        w[BD_LINK_W_PUMP] = p->PumpNumber;
        w[BD_LINK_W_PUMP + 1] = p->ThisCsm->Index;
        w[BD_LINK_W_PUMP + 2] = p->ThisCsm->ThisSocket->SocketIndex;
    } else {
        w[BD_LINK_W_PUMP] = w[BD_LINK_W_PUMP + 1] = w[BD_LINK_W_PUMP + 2] = NO_PUMP_BYTE;
    }
    w[BD_LINK_W_INBOUND_B2B] = l->InboundBackToBack;
    w[BD_LINK_W_OUTBOUND_B2B] = l->OutboundBackToBack;
    w[BD_LINK_W_TX_LPB_COUNTER] = l->LoopBackTxWordCount;
    w[BD_LINK_W_RX_LPB_COUNTER] = l->LoopBackRxWordCount;
    const ULONG* dbg = (const ULONG*)&l->Stats2;
    for (ULONG i = 0; i < 12; i++) w[BD_LINK_W_DEBUG_COUNTERS + i] = dbg[i];
    // B channel of the call; none without a call object (the stack is not asked).
    w[BD_LINK_W_B_CHANNEL] = l->ThisBChannel == NULL ? 0xFFFFFFFF
                                                     : BdCtl(a, l->GroupID < MAX_GROUPS ? l->GroupID : 0, CTL_KIND_CALL,
                                                             CTL_CALL_CHANNEL, l->ThisBChannel, 0);
    w[BD_LINK_W_BYTES_IN] = l->Stats.RxByteCount;
    w[BD_LINK_W_BYTES_OUT] = l->Stats.TxByteCount;
    for (ULONG i = 0; i < BD_LINK_NUMBER_CHARS; i++) {
        w[BD_LINK_W_CALLING + i] = (ULONG)(LONG)(signed char)l->CallingNumber[i];
        w[BD_LINK_W_CALLED + i] = (ULONG)(LONG)(signed char)l->CalledNumber[i];
    }
    std::memcpy(To, w, sizeof w);
    return sizeof w;
}

// Start of actions 26 and 100: protocol, framer state, layer-2 state.
static void BdStatusHead(Adapter* a, ULONG Group, BD_WORDS* w)
{
    ULONG protocol = a->SignallingProtocol[Group];
    BdWord(w, protocol);
    BdWord(w, a->Framer[Group].nState);
    if (protocol == RBS_PROTOCOL)
        BdWord(w, BdCtl(a, Group, CTL_KIND_GET, CTL_LAYER1_UP, NULL, 0) != 0 ? 4 : 1);
    else
        BdWord(w, BdCtl(a, Group, CTL_KIND_GET, CTL_L2_STATE, NULL, 0));
}

// What a client calls the pump's link: its TAPI device for a TAPI line, else the COM
// number of the serial port that owns it (0 when none).
static ULONG BdLineIdentity(Adapter* a, Link* l)
{
    if (l->CurrentOwner == OWNER_TELEPHONY_SUBSYSTEM) return l->Index + 1 + a->DeviceIDBase;
    AsyncPort* port = ser_PortOf(l->ThisAsyncPort);
    return port == NULL ? 0 : port->ComNumber;
}

static ULONG BdGroupSocketFirst(Adapter* a, ULONG Group) { return Group * a->SocketsPerGroup[Group]; }

static void BdPortStatus(Adapter* a, ULONG Group, BD_WORDS* w, BOOLEAN Tagged)
{
    BdStatusHead(a, Group, w);
    BOOLEAN rbs = a->SignallingProtocol[Group] == RBS_PROTOCOL;
    for (ULONG ch = 0; ch < 32; ch++) {
        BdWord(w, BdCtl(a, Group, CTL_KIND_GET, CTL_CHANNEL_STATE, NULL, ch));
        if (!Tagged || rbs) continue;
        for (ULONG i = 0; i < MAX_LINKS_PER_GROUP; i++) {
            Link* l = &a->NdisWanInfo[Group][i];
            Pump* p = l->ThisPump;
            if (p == NULL || p->ThisCsm == NULL || p->ThisCsm->ThisSocket == NULL) continue;
            // Entry ch is the line's channel ch, as the stack numbers it: not the bus
            // time slot that the system bus mode makes of it. Only a call puts a link
            // on a channel.
            if (l->ThisBChannel == NULL || GetLinkTimeslot(l) != ch) continue;
            BdWord(w, SNAPSHOT_TAG_PUMP);
            BdWord(w, 3);
            BdWord(w, p->PumpNumber);
            BdWord(w, p->ThisCsm->Index);
            BdWord(w, p->ThisCsm->ThisSocket->SocketIndex);
            break;
        }
        BdWord(w, 0);
    }
    ULONG first = BdGroupSocketFirst(a, Group);
    for (ULONG k = first; k < first + a->SocketsPerGroup[Group] && k < a->SocketCount && k < MAX_SOCKETS; k++) {
        DimmSocket* s = &a->Socket[k];
        BdWord(w, s->ModuleID);
        BdWord(w, 1);
        for (ULONG c = 0; c < s->ProcessorCount && c < MAX_CSMS_PER_SOCKET; c++) {
            Csm* csm = &s->Csms[c];
            for (ULONG pi = 0; pi < csm->PumpCount && pi < CSM_MAX_PUMPS; pi++) {
                Pump* p = &csm->Pumps[pi];
                if (csm->State == CSM_DEAD) {
                    BdWord(w, SNAPSHOT_CSM_OUT_OF_SERVICE);
                    if (Tagged) BdWord(w, 0);
                    continue;
                }
                BdWord(w, p->PumpState);
                if (!Tagged) continue;
                Link* l = p->ThisLink;
                BdWord(w, SNAPSHOT_TAG_OWNER);
                BdWord(w, 1);
                BdWord(w, l == NULL ? 0 : l->CurrentOwner);
                if (l != NULL) {
                    BdWord(w, SNAPSHOT_TAG_LINE_ID);
                    BdWord(w, 1);
                    BdWord(w, BdLineIdentity(a, l));
                    BdWord(w, SNAPSHOT_TAG_TIMESLOT);
                    BdWord(w, 1);
                    BdWord(w, GetLinkTimeslot(l));
                }
                BdWord(w, 0);
            }
        }
    }
}

static void BdRead(BD_REQ* r)
{
    Adapter* a = r->a;
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    ULONG line = h->Arg[0];
    switch (h->Action) {
    case BACKDOOR_READ_ADAPTER_WORDS: {
        ULONG bytes = a->NumberOfGroups * SHARED_GROUP_AREA_SIZE;
        h->ReplyLength = BACKDOOR_HEADER_SIZE + bytes;
        if (!BdNeed(r, bytes)) return;
        BdAddressArgs(r);
        BdCopyOrZero(BdSeg(r, 0, bytes), a->SharedMem.GroupAreas.Virtual, bytes);
        return;
    }
    case BACKDOOR_READ_HDLC_GLOBAL_REG:
    case BACKDOOR_READ_HDLC_GROUP_REG:
        h->ReplyLength = BACKDOOR_HEADER_SIZE + 4;
        if (!BdGroupOk(a, line) || h->Arg[1] >= SHARED_GROUP_AREA_SIZE || (h->Arg[1] & 3) != 0) return BdStatus(r, BI);
        if (!BdNeed(r, 4)) return;
        if (h->Action == BACKDOOR_READ_HDLC_GROUP_REG)
            h->Arg[2] = BdReadWindow0(a, line * BT847X_GROUP_WINDOW + h->Arg[1]);
        else if (BdGroupArea(a, line) != NULL)
            std::memcpy(&h->Arg[2], BdGroupArea(a, line) + h->Arg[1], 4);
        return;
    case BACKDOOR_READ_HDLC_GROUP_WINDOW: {
        h->ReplyLength = BACKDOOR_HEADER_SIZE + BT847X_GROUP_WINDOW;
        if (!BdGroupOk(a, line)) return BdStatus(r, BI);
        if (!BdNeed(r, BT847X_GROUP_WINDOW)) return;
        PUCHAR p = BdSeg(r, 0, BT847X_GROUP_WINDOW);
        for (ULONG i = 0; i < BT847X_GROUP_WINDOW / 4; i++) BdPut(p, i, BdReadWindow0(a, line * BT847X_GROUP_WINDOW + 4 * i));
        return;
    }
    case BACKDOOR_READ_LINE_INTERFACE:
    case BACKDOOR_READ_LINE_INTERFACE_2:
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        if (!BdNeed(r, BT8370_NUM_REGS * 4 + BACKDOOR_FRAMER_IMAGE_SIZE)) return;
        h->Arg[1] = a->Framer[line].nMode;
        BdReadFramerRegs(a, line, BdSeg(r, 0, BT8370_NUM_REGS * 4));
        BdFramerImage(a, line, BdSeg(r, 1, BACKDOOR_FRAMER_IMAGE_SIZE));
        return;
    case BACKDOOR_READ_LINE_BLOCK:
        // The framer keeps no saved block: an empty segment.
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        BdSeg(r, 0, 0);
        return;
    case BACKDOOR_READ_LINE_WORD: {
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        ULONG lines = a->NumberOfLines < MAX_LINES ? a->NumberOfLines : MAX_LINES;
        if (!BdNeed(r, lines * BT8370_NUM_REGS * 4)) return;
        PUCHAR p = BdSeg(r, 0, lines * BT8370_NUM_REGS * 4);
        for (ULONG n = 0; n < lines; n++) BdReadFramerRegs(a, n, p + n * BT8370_NUM_REGS * 4);
        return;
    }
    case BACKDOOR_READ_FRAMER_REG:
        if (!BdLineOk(a, line) || h->Arg[1] >= BT8370_NUM_REGS) return BdStatus(r, BI);
        h->Arg[2] = Bt8370Read(&a->Framer[line], h->Arg[1]);
        return;
    case BACKDOOR_READ_LINK_STATISTICS: {
        Link* l = BdLink(a, line, h->Arg[1]);
        if (l == NULL) return BdStatus(r, BI);
        if (!BdNeed(r, sizeof l->Stats + sizeof l->TxEvents + sizeof l->RxEvents)) return;
        BdSegWords(r, 0, (const ULONG*)&l->Stats, 17);
        BdSegWords(r, 1, l->TxEvents, HDLC_COUNTERS);
        BdSegWords(r, 2, l->RxEvents, HDLC_COUNTERS);
        return;
    }
    case BACKDOOR_READ_GROUP_BUFFERS: {
        const ULONG tx = SHARED_TX_DESC_SIZE / MAX_GROUPS, rx = SHARED_RX_DESC_SIZE / MAX_GROUPS;
        if (!BdGroupOk(a, line)) return BdStatus(r, BI);
        if (!BdNeed(r, tx + rx)) return;
        h->Arg[1] = BT847X_GROUP_DEFAULT_TX;
        h->Arg[2] = BT847X_GROUP_DEFAULT_BUF;
        h->Arg[3] = BT847X_GROUP_DEFAULT_RX;
        h->Arg[4] = BT847X_GROUP_DEFAULT_BUF;
        PUCHAR txa = a->SharedMem.TxDescriptors.Virtual, rxa = a->SharedMem.RxDescriptors.Virtual;
        BdCopyOrZero(BdSeg(r, 0, tx), txa == NULL ? NULL : txa + line * tx, tx);
        BdCopyOrZero(BdSeg(r, 1, rx), rxa == NULL ? NULL : rxa + line * rx, rx);
        return;
    }
    case BACKDOOR_READ_LINK_MEMORY: {
        // The link's own slices of the board's transmit and receive data areas: packet
        // Arg2 and message Arg3, each wholly inside the slice.
        Link* l = BdLink(a, line, h->Arg[1]);
        if (l == NULL) return BdStatus(r, BI);
        ULONG tx = l->TxPacketSize, rx = l->RxPacketSize;
        if (tx == 0 || rx == 0 || h->Arg[2] >= BT847X_TX_BUF_CH_BYTES / tx || h->Arg[3] >= BT847X_RX_BUF_CH_BYTES / rx)
            return BdStatus(r, BI);
        if (!BdNeed(r, tx + rx)) return;
        ULONG txSlice = l->TxRingChannel < BT847X_CHANNELS ? l->TxRingChannel : l->Index;
        ULONG rxSlice = l->RxRingChannel < BT847X_CHANNELS ? l->RxRingChannel : l->Index;
        PUCHAR txa = a->SharedMem.TxBuffers.Virtual, rxa = a->SharedMem.RxBuffers.Virtual;
        BdCopyOrZero(BdSeg(r, 0, tx),
                     txa == NULL ? NULL
                                 : txa + line * SHARED_TX_BUF_SIZE + txSlice * BT847X_TX_BUF_CH_BYTES + h->Arg[2] * tx,
                     tx);
        BdCopyOrZero(BdSeg(r, 1, rx),
                     rxa == NULL ? NULL
                                 : rxa + line * SHARED_RX_BUF_SIZE + rxSlice * BT847X_RX_BUF_CH_BYTES + h->Arg[3] * rx,
                     rx);
        return;
    }
    case BACKDOOR_READ_HDLC_INFO:
        // The record's head is the two PCI configuration headers.
        if (!BdNeed(r, 2 * PCI_HEADER_SIZE)) return;
        BdAddressArgs(r);
        std::memcpy(BdSeg(r, 0, PCI_HEADER_SIZE), a->PciFunctionZero, PCI_HEADER_SIZE);
        std::memcpy(BdSeg(r, 1, PCI_HEADER_SIZE), a->PciFunctionOne, PCI_HEADER_SIZE);
        return;
    case BACKDOOR_READ_GLOBAL_BLOCK: {
        // The registry configuration, TimerResolution up to the run-time state.
        if (!BdNeed(r, BACKDOOR_GLOBAL_BLOCK_SIZE)) return;
        size_t from = offsetof(Adapter, TimerResolution), to = offsetof(Adapter, QStackTickCount);
        size_t n = to - from < BACKDOOR_GLOBAL_BLOCK_SIZE ? to - from : BACKDOOR_GLOBAL_BLOCK_SIZE;
        PUCHAR p = BdSeg(r, 0, BACKDOOR_GLOBAL_BLOCK_SIZE);
        std::memset(p, 0, BACKDOOR_GLOBAL_BLOCK_SIZE);
        std::memcpy(p, (const UCHAR*)a + from, n);
        return;
    }
    case BACKDOOR_READ_CSM_FIFO_REGS: {
        h->ReplyLength = BACKDOOR_HEADER_SIZE + CSM_REGS * 4;
        if (h->BufferLength < BACKDOOR_HEADER_SIZE + CSM_REGS * 4) return BdStatus(r, BI);
        Csm* c = BdCsm(a, h->Arg[0], h->Arg[1]);
        if (c == NULL) return BdStatus(r, BI);
        if (!BdNeed(r, CSM_REGS * 4)) return;
        PUCHAR p = BdSeg(r, 0, CSM_REGS * 4);
        for (ULONG i = 0; i < CSM_REGS; i++) BdPut(p, i, CsmReadReg(c, i * CSM_REG_STRIDE));
        return;
    }
    case BACKDOOR_READ_CSM_REG: {
        Csm* c = BdCsm(a, h->Arg[0], h->Arg[1]);
        if (c == NULL || h->Arg[2] >= CSM_REGS) return BdStatus(r, BI);
        h->Arg[3] = CsmReadReg(c, h->Arg[2] * CSM_REG_STRIDE);
        return;
    }
    case BACKDOOR_READ_CSM_STATE: {
        Csm* c = BdCsm(a, h->Arg[0], h->Arg[1]);
        if (c == NULL) return BdStatus(r, BI);
        ULONG n = c->PumpCount < CSM_MAX_PUMPS ? c->PumpCount : CSM_MAX_PUMPS;
        if (!BdNeed(r, 4 * n)) return;
        h->Arg[2] = c->State;
        h->Arg[3] = n;
        PUCHAR p = BdSeg(r, 0, 4 * n);
        for (ULONG i = 0; i < n; i++) BdPut(p, i, c->Pumps[i].PumpState);
        return;
    }
    case BACKDOOR_READ_BOARD_WORD: h->Arg[0] = a->PhysicalAddressBAR1; return;
    case BACKDOOR_READ_ADAPTER_INFO: {
        if (!BdNeed(r, BD_ADAPTER_WORDS * 4)) return;
        ULONG w[BD_ADAPTER_WORDS];
        std::memset(w, 0, sizeof w);
        w[BD_ADAPTER_W_ID] = a->AdapterID;
        w[BD_ADAPTER_W_GROUPS] = a->NumberOfGroups;
        w[BD_ADAPTER_W_LINES] = a->NumberOfLines;
        w[BD_ADAPTER_W_SOCKETS] = a->SocketCount;
        w[BD_ADAPTER_W_FAILED] = a->AdapterFailed;
        w[BD_ADAPTER_W_RECORD_SIZE] = BACKDOOR_ADAPTER_RECORD_SIZE;
        w[BD_ADAPTER_W_HANDLE] = a->InstanceNumber;  // the handle itself is a pointer: the adapter's instance names it
        w[BD_ADAPTER_W_INSTANCE] = a->InstanceNumber;
        w[BD_ADAPTER_W_SLOT] = a->SlotNumber & 0x1F;
        w[BD_ADAPTER_W_WINDOWS] = a->PhysicalAddressBAR0;
        w[BD_ADAPTER_W_WINDOWS + 1] = a->PhysicalAddressBAR0;
        w[BD_ADAPTER_W_WINDOWS + 2] = a->PhysicalAddressBAR1;
        w[BD_ADAPTER_W_WINDOWS + 3] = a->PhysicalAddressBAR1;
        w[BD_ADAPTER_W_SHARED] = BdSharedBus(a);
        w[BD_ADAPTER_W_SHARED + 1] = BdSharedBus(a);
        w[BD_ADAPTER_W_SHARED_SIZE] = SHARED_INT_QUEUE_SIZE + a->NumberOfGroups * SHARED_PER_GROUP;
        w[BD_ADAPTER_W_INTERRUPTS] = a->PriIntVector;
        w[BD_ADAPTER_W_INTERRUPTS + 1] = a->PriIntLevel;
        w[BD_ADAPTER_W_INTERRUPTS + 2] = a->SecIntVector;
        w[BD_ADAPTER_W_INTERRUPTS + 3] = a->SecIntLevel;
        w[20] = 8;
        std::memcpy(&w[BD_ADAPTER_W_DEVICE_NAME], a->DeviceName, DEVICE_NAME_SIZE);
        for (ULONG g = 0; g < a->NumberOfGroups && g < MAX_GROUPS; g++) w[BD_ADAPTER_W_LINKS] += a->LinksPerGroup[g];
        w[30] = 0;
        w[BD_ADAPTER_W_TAPI_STATE] = a->OpenLineCount;
        w[BD_ADAPTER_W_DEVICE_ID_BASE] = a->DeviceIDBase;
        w[BD_ADAPTER_W_CODE_SIZE] = a->CSMCodeSize;
        w[34] = 32;
        BdSegWords(r, 0, w, BD_ADAPTER_WORDS);
        return;
    }
    // The controller's soft resets of its last bring-up: three when its clocks never came.
    case BACKDOOR_READ_DATA_INTERFACE_STATUS: h->Arg[0] = a->Bt847x.NumResets; return;
    case BACKDOOR_READ_MODULE_INFO: {
        DimmSocket* s = BdSocket(a, h->Arg[0]);
        if (s == NULL) return BdStatus(r, BP);
        if (!BdNeed(r, 10 * 4)) return;
        ULONG w[10] = {s->ModuleID,       s->Present,    s->Group,       s->SocketIndex, BdBoardBus(a, s->Window),
                       s->ProcessorStride, s->ProcessorCount, s->TimerPeriod, 0,            0};
        BdSegWords(r, 0, w, 10);
        return;
    }
    case BACKDOOR_READ_CSM_INFO: {
        DimmSocket* s = BdSocket(a, h->Arg[0]);
        if (BdCsm(a, h->Arg[0], h->Arg[1]) == NULL) return BdStatus(r, BI);
        if (!BdNeed(r, DIMM_INFO_WORDS * 4)) return;
        ULONG w[DIMM_INFO_WORDS];
        std::memset(w, 0, sizeof w);
        if (GetCsmInfo(s, h->Arg[1], w) != 0) return BdStatus(r, BP);
        w[2] = BdBoardBus(a, s->Csms[h->Arg[1]].Registers);  // not the truncated pointer
        BdSegWords(r, 0, w, DIMM_INFO_WORDS);
        return;
    }
    case BACKDOOR_READ_PUMP_INFO: {
        DimmSocket* s = BdSocket(a, h->Arg[0]);
        if (s == NULL || h->Arg[1] >= 4 || h->Arg[2] >= CSM_MAX_PUMPS) return BdStatus(r, BP);
        if (!BdNeed(r, DIMM_INFO_WORDS * 4)) return;
        ULONG w[DIMM_INFO_WORDS];
        std::memset(w, 0, sizeof w);
        if (GetPumpInfo(s, h->Arg[1], h->Arg[2], w) != 0) return BdStatus(r, BI);
        BdSegWords(r, 0, w, DIMM_INFO_WORDS);
        return;
    }
    case BACKDOOR_READ_SYSTEM_BUS:
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        h->Arg[1] = a->SystemBusMode[line];
        return;
    case BACKDOOR_READ_QSTACK_STATE: {
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        ULONG s = BdCtl(a, line, CTL_KIND_GET, CTL_L2_STATE, NULL, 0);
        if (s == CONTROL_UNKNOWN) return BdStatus(r, BI);
        h->Arg[1] = s;
        return;
    }
    case BACKDOOR_READ_CSM_FRAME_COUNTERS: {
        // Socket Arg0 x 5; one word, the pump's state, where the sender's Segment 0
        // points (at the data area when it points into the header).
        BD_WIDE module = (BD_WIDE)h->Arg[0] * 5;
        Pump* p = module > 0xFFFFFFFFull ? NULL : BdPump(a, (ULONG)module, h->Arg[1], h->Arg[2]);
        if (p == NULL) return BdStatus(r, BI);
        ULONG off = h->Segment[0].Offset < BACKDOOR_HEADER_SIZE ? BACKDOOR_HEADER_SIZE : h->Segment[0].Offset;
        if ((BD_WIDE)off + 4 > r->Cap || (BD_WIDE)off + 4 > h->BufferLength) {
            h->ReplyLength = off > 0xFFFFFFFB ? 0xFFFFFFFF : off + 4;
            return BdStatus(r, BP);
        }
        h->Segment[0].Offset = off;
        h->Segment[0].Length = 4;
        BdPut(r->Rec + off, 0, p->PumpState);
        return;
    }
    case BACKDOOR_READ_PORT_STATUS:
    case BACKDOOR_READ_STATUS_SNAPSHOT: {
        if (!BdGroupOk(a, line) || a->SignallingProtocol[line] == LEASED_LINE_PROTOCOL) return BdStatus(r, BI);
        BD_WORDS w = {r->Rec + BACKDOOR_HEADER_SIZE, r->Cap - BACKDOOR_HEADER_SIZE, 0};
        BdPortStatus(a, line, &w, h->Action == BACKDOOR_READ_STATUS_SNAPSHOT);
        if (!BdNeed(r, w.Count * 4)) return;
        BdSeg(r, 0, w.Count * 4);
        return;
    }
    case BACKDOOR_READ_RBS_STATE: {
        // The robbed-bit record word by word: the stack's own pointers never leave.
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        ULONG size = BdCtl(a, line, CTL_KIND_CONST, CTL_INSTANCE_SIZE, NULL, 0);
        if (size == CONTROL_UNKNOWN || size > BACKDOOR_DATA_SIZE || !BdRbsStack(a, line)) return BdStatus(r, BI);
        if (!BdNeed(r, BD_RBS_RECORD_WORDS * 4)) return;
        h->Arg[1] = 0;
        BdRbsRecord(a, line, BdSeg(r, 0, BD_RBS_RECORD_WORDS * 4));
        return;
    }
    case BACKDOOR_READ_LINK_STATE: {
        Link* l = BdLineOk(a, line) ? BdLink(a, line, h->Arg[1]) : NULL;
        if (l == NULL) return BdStatus(r, BI);
        if (!BdNeed(r, BACKDOOR_LINK_DUMP_WORDS * 4)) return;
        BdLinkDump(a, l, BdSeg(r, 0, BACKDOOR_LINK_DUMP_WORDS * 4));
        return;
    }
    case BACKDOOR_READ_CALL_STATISTICS:
        if (!BdGroupOk(a, line)) return BdStatus(r, BI);
        if (!BdNeed(r, sizeof(CALL_STATS))) return;
        BdSegWords(r, 0, (const ULONG*)&a->GroupCallStats[line], sizeof(CALL_STATS) / 4);
        return;
    case BACKDOOR_READ_CALL_VIEW: {
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        ULONG last = BdCtl(a, line, CTL_KIND_GET, CTL_LAST_B_CHANNEL, NULL, 0);
        if (last == CONTROL_UNKNOWN) return BdStatus(r, BI);
        if (!BdNeed(r, BACKDOOR_CALL_VIEW_SIZE)) return;
        // Rebuilt on every request; the adapter keeps no copy, so other lines read 0.
        PUCHAR p = BdSeg(r, 0, BACKDOOR_CALL_VIEW_SIZE);
        std::memset(p, 0, BACKDOOR_CALL_VIEW_SIZE);
        const ULONG table = MAX_LINES * 32;
        for (ULONG i = 0; i <= last && i < 32; i++) {
            ULONG at = line * 32 + i;
            BdPut(p, at, i);
            BdPut(p, table + at, CALL_VIEW_NO_CALL);
            Link* l = &a->NdisWanInfo[line][i];
            if (l->ThisBChannel == NULL) continue;
            BdPut(p, 3 * table + at, 1);
            BdPut(p, 4 * table + at, CALL_VIEW_CALL_REF);
            BdPut(p, table + at, i);
            BdPut(p, 2 * table + at, CALL_VIEW_CALL_STATE);
            (void)BdCtl(a, line, CTL_KIND_GET, CTL_CHANNEL_STATE, NULL, i);
        }
        return;
    }
    case BACKDOOR_READ_LINK_COUNTERS: {
        if (!BdGroupOk(a, line)) return BdStatus(r, BI);
        if (!BdNeed(r, 17 * 4)) {
            // A client sizes its record for the whole link statistics reply (0/8).
            h->ReplyLength = BACKDOOR_HEADER_SIZE + (17 + 2 * HDLC_COUNTERS) * 4;
            return;
        }
        ULONG sum[17];
        std::memset(sum, 0, sizeof sum);
        for (ULONG i = 0; i < h->Arg[1] && i < MAX_LINKS_PER_GROUP; i++) {
            const ULONG* s = (const ULONG*)&a->NdisWanInfo[line][i].Stats;
            for (ULONG k = 0; k < 17; k++) sum[k] += s[k];
        }
        BdSegWords(r, 0, sum, 17);
        return;
    }
    case BACKDOOR_READ_MEMORY_WORD:
        if (h->Arg[0] >= BACKDOOR_BOARD_MEMORY_WORDS) return BdStatus(r, BI);
        h->Arg[1] = BdReadBoardWord(a, h->Arg[0]);
        return;
    case BACKDOOR_READ_AT_RESPONSE: {
        Pump* p = BdArgPump(r);
        if (p == NULL) return BdStatus(r, BI);
        ULONG n = p->AtResponseLength < PUMP_AT_TEXT_SIZE ? p->AtResponseLength : PUMP_AT_TEXT_SIZE;
        if (!BdNeed(r, n)) return;
        std::memcpy(BdSeg(r, 0, n), p->AtResponse, n);
        p->AtResponseLength = 0;
        return;
    }
    case BACKDOOR_READ_LINK_PUMP: {
        Link* l = BdLink(a, line, h->Arg[1]);
        if (l == NULL) return BdStatus(r, BI);
        Pump* p = l->ThisPump;
        if (p == NULL || p->ThisLink == NULL || p->ThisCsm == NULL || p->ThisCsm->ThisSocket == NULL) {
            h->Arg[2] = h->Arg[3] = h->Arg[4] = 0xFFFFFFFF;
            return;
        }
        h->Arg[2] = p->ThisCsm->ThisSocket->SocketIndex;
        h->Arg[3] = p->ThisCsm->Index;
        h->Arg[4] = p->PumpNumber;
        return;
    }
    case BACKDOOR_READ_TRACE_FRAMES: {
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        ULONG size = BdCtl(a, line, CTL_KIND_CONST, CTL_EVENT_LOG_ENTRY_SIZE, NULL, 0);
        ULONG per = BdCtl(a, line, CTL_KIND_CONST, CTL_CONST_4C, NULL, 0);
        ULONG blocks = BdCtl(a, line, CTL_KIND_CONST, CTL_CONST_4B, NULL, 0);
        if (size == CONTROL_UNKNOWN || per == CONTROL_UNKNOWN || blocks == CONTROL_UNKNOWN || h->Arg[1] >= blocks)
            return BdStatus(r, BI);
        BD_WIDE bytes = (BD_WIDE)size * per;
        const UCHAR* log = BdStackBytes(a, line, CTL_EVENT_LOG, bytes * blocks);
        if (log == NULL || bytes > BACKDOOR_DATA_SIZE) return BdStatus(r, BI);
        if (!BdNeed(r, (ULONG)bytes)) return;
        h->Arg[2] = size;
        h->Arg[4] = per;
        h->Arg[5] = blocks;
        std::memcpy(BdSeg(r, 3, (ULONG)bytes), log + h->Arg[1] * bytes, (size_t)bytes);
        return;
    }
    case BACKDOOR_READ_QSTACK_BLOCK: {
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        ULONG count = BdCtl(a, line, CTL_KIND_CONST, CTL_NUM_STACK_COUNTERS, NULL, 0);
        if (count == CONTROL_UNKNOWN || count > BACKDOOR_DATA_SIZE / 4) return BdStatus(r, BI);
        const UCHAR* block = BdStackBytes(a, line, CTL_STACK_COUNTERS, count * 4);
        if (block == NULL) return BdStatus(r, BI);
        if (!BdNeed(r, count * 4)) return;
        std::memcpy(BdSeg(r, 1, count * 4), block, count * 4);
        return;
    }
    case BACKDOOR_READ_L2L3_STATISTICS: {
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        ULONG count = BdCtl(a, line, CTL_KIND_CONST, CTL_COUNTERS_PER_CHANNEL, NULL, 0);
        if (count == CONTROL_UNKNOWN || count > BACKDOOR_DATA_SIZE / 128) return BdStatus(r, BI);
        const UCHAR* table = BdStackBytes(a, line, CTL_CHANNEL_COUNTERS, count * 128);
        if (table == NULL) return BdStatus(r, BI);
        if (!BdNeed(r, count * 128)) return;
        h->Arg[1] = count;
        std::memcpy(BdSeg(r, 2, count * 128), table, count * 128);
        return;
    }
    case 38:
    case 39:
    case 44:
    case 46: return BdStatus(r, BI);
    case BACKDOOR_READ_LINK_RINGS: {
        Link* l = BdLink(a, line, h->Arg[1]);
        if (l == NULL) return BdStatus(r, BI);
        ULONG ntx = l->NumTxPackets < MAX_TX_PACKETS ? l->NumTxPackets : MAX_TX_PACKETS;
        ULONG nrx = l->RxMsgPerCh < MAX_RX_PACKETS ? l->RxMsgPerCh : MAX_RX_PACKETS;
        if (!BdNeed(r, 12 * (ntx + nrx))) return;
        h->Arg[2] = l->TxPacketSize;
        h->Arg[3] = ntx;
        h->Arg[4] = l->RxPacketSize;
        h->Arg[5] = nrx;
        PUCHAR p = BdSeg(r, 0, 12 * ntx);
        for (ULONG i = 0; i < ntx; i++) BdCopyOrZero(p + 12 * i, l->TxPackets[i].Descriptor, 12);
        p = BdSeg(r, 1, 12 * nrx);
        for (ULONG i = 0; i < nrx; i++) BdCopyOrZero(p + 12 * i, l->RxPackets[i].Descriptor, 12);
        return;
    }
    case BACKDOOR_READ_LINK_CHANNEL: {
        Link* l = BdLink(a, line, h->Arg[1]);
        if (l == NULL || l->ThisBChannel == NULL) return BdStatus(r, BI);
        h->Arg[1] = BdCtl(a, line, CTL_KIND_CALL, CTL_CALL_CHANNEL, l->ThisBChannel, 0);
        return;
    }
    case BACKDOOR_READ_CSM_RESPONSE: {
        Pump* p = BdArgPump(r);
        if (p == NULL) return BdStatus(r, BI);
        CMD_CHAN* c = &p->CmdChan;
        if (c->InCmdClass == 0) return;
        ULONG n = c->InCount < FIFO_DATA_BLOCK_SIZE ? c->InCount : FIFO_DATA_BLOCK_SIZE;
        if (!BdNeed(r, n)) return;
        h->Arg[3] = c->InCmdClass >> 8;
        h->Arg[4] = c->InCmdType;
        h->Arg[5] = c->InCmdIndex;
        std::memcpy(BdSeg(r, 0, n), c->InData, n);
        c->InCmdClass = 0;
        c->InCount = 0;
        return BdStatus(r, BACKDOOR_STATUS_PENDING);
    }
    case BACKDOOR_READ_PUMP_WORD: {
        Pump* p = BdArgPump(r);
        if (p == NULL) return BdStatus(r, BI);
        h->Arg[3] = p->ModemStatus;
        return;
    }
    case BACKDOOR_READ_CSM_MSG_COUNTERS: {
        Csm* c = BdCsm(a, h->Arg[0], h->Arg[1]);
        if (c == NULL) return BdStatus(r, BI);
        if (!BdNeed(r, 2 * CSM_MSG_COUNTERS * 4)) return;
        BdSegWords(r, 0, c->InboundCounters, CSM_MSG_COUNTERS);
        BdSegWords(r, 1, c->OutboundCounters, CSM_MSG_COUNTERS);
        return;
    }
    case BACKDOOR_READ_LINE_WORDS:
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        h->Arg[1] = a->LineMode[line];
        h->Arg[2] = a->SignallingProtocol[line];
        return;
    case BACKDOOR_READ_RAW_BLOCK:
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        if (!BdNeed(r, sizeof a->DirectoryNumber[0])) return;
        std::memcpy(BdSeg(r, 0, sizeof a->DirectoryNumber[0]), a->DirectoryNumber[line], sizeof a->DirectoryNumber[0]);
        return;
    default: return;  // 40 and anything unknown: nothing
    }
}

// ---- class 1: init ----

static void BdInit(BD_REQ* r)
{
    Adapter* a = r->a;
    switch (r->H.Action) {
    case BACKDOOR_INIT_ADAPTER: ResetAdapter(a); return;
    case BACKDOOR_INIT_DATA_INTERFACE: Bt847xInitialize(&a->Bt847x); return;
    case BACKDOOR_INIT_LINE_INTERFACE:
        if (!BdLineOk(a, r->H.Arg[0])) return BdStatus(r, BP);
        Bt8370ClearIntInfo(&a->Framer[r->H.Arg[0]]);
        return;
    default: return;
    }
}

// ---- class 2: start ----

static const struct {
    ULONG Action, Code;
    BOOLEAN ValueFromArg2;
    ULONG Value;
} BdFramerStarts[] = {
    {BACKDOOR_START_RESET_LOCAL, RESET_LOCAL, FALSE, 0},
    {BACKDOOR_START_RESET_GLOBAL, RESET_GLOBAL, FALSE, 0},
    {BACKDOOR_START_SET_TX_PULSE_TEMPLATE, SET_TX_PULSE_TEMPLATE, TRUE, 0},
    {BACKDOOR_START_SET_LBO_OPTION, SET_LBO_OPTION, TRUE, 0},
    {BACKDOOR_START_TX_ISOLATED_PULSES, TX_ISOLATED_PULSES, FALSE, 1},
    {BACKDOOR_START_TX_ALL_ONES, TX_ALL_ONES, FALSE, 1},
    {BACKDOOR_START_FORCE_LAYER2, FORCE_LAYER2, FALSE, 1},
    {BACKDOOR_START_DEFAULT_LAYER2, FORCE_LAYER2, FALSE, 0x33},
    {BACKDOOR_START_SET_RX_SENSITIVITY, SET_RX_SENSITIVITY, TRUE, 0},
};

static void BdStackMessage(BD_REQ* r, ULONG Kind, ULONG A, ULONG B, ULONG C)
{
    Adapter* a = r->a;
    ULONG line = r->H.Arg[0];
    if (!BdLineOk(a, line)) return BdStatus(r, BP);
    SGNL_MANAGEMENT_REQUEST m = a->SgnlProtocolOps[line].ManagementRequest;
    if (m == NULL || a->ThisSgnlStack[line] == NULL) return;
    // The cause (C) goes where the stacks read it (third argument) and where the
    // record's layout places it (seventh); the other of the two is 0 in that layout.
    m(Kind, a->ThisSgnlStack[line], A, B, C, 0, 0, C, 0, 0, 0);
}

// 2/26: the sender gives the channel in Arg1 and the restart indicator in Arg3 (0 the
// indicated channel, 1 the whole interface, 2 every interface); the stack turns the
// indicator into the RESTART class and names the channel where the class wants one.
// An indicator outside these (the page's "none chosen") sends nothing and says so.
static void BdSendRestart(BD_REQ* r)
{
    Adapter* a = r->a;
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    ULONG line = h->Arg[0];
    if (!BdLineOk(a, line) || h->Arg[3] > 2) return BdStatus(r, BP);
    SGNL_MANAGEMENT_REQUEST m = a->SgnlProtocolOps[line].ManagementRequest;
    if (m == NULL || a->ThisSgnlStack[line] == NULL) return;
    m(MGMT_SEND_RESTART, a->ThisSgnlStack[line], 0, h->Arg[1], h->Arg[3], 0, 0, 0, 0, 0, 0);
}

// 2/22: Arg1 call-reference length, Arg2 its value, Arg3 the bearer choice, Arg4 the
// channel, Arg5 the exclusive flag; Segment 0 holds the number as one 32-bit word per
// character, Length counting characters. Decimal digits are kept, anything else is
// skipped. The stacks take the digits by value, four to a word: no address of the
// record is handed down.
static void BdSendSetup(BD_REQ* r)
{
    Adapter* a = r->a;
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    if (!BdLineOk(a, h->Arg[0])) return BdStatus(r, BP);
    ULONG chars = h->Segment[0].Length;
    if (chars > BACKDOOR_DATA_SIZE / 4) return BdStatus(r, BP);
    h->Segment[0].Length = chars * 4;
    PUCHAR words = NULL;
    ULONG n = 0;
    BOOLEAN inside = chars == 0 || BdSenderSeg(r, 0, &words, &n);
    h->Segment[0].Length = chars;
    if (!inside) return BdStatus(r, BP);
    SGNL_MANAGEMENT_REQUEST m = a->SgnlProtocolOps[h->Arg[0]].ManagementRequest;
    if (m == NULL || a->ThisSgnlStack[h->Arg[0]] == NULL) return;
    ULONG packed[MGMT_SETUP_DIGIT_WORDS] = {0, 0, 0, 0};
    ULONG count = 0;
    for (ULONG i = 0; i < chars && count < MGMT_SETUP_DIGITS_MAX; i++) {
        ULONG v;
        std::memcpy(&v, words + 4 * i, 4);
        if (v > 9) continue;
        packed[count / 4] |= ('0' + v) << (8 * (count % 4));
        count++;
    }
    // The record's call reference is a length and a value; an originating SETUP
    // carries the flag of the side that allocated it, ours (0).
    m(MGMT_TEST_CALL, a->ThisSgnlStack[h->Arg[0]], h->Arg[4], 0, h->Arg[2], h->Arg[3], count, packed[0], packed[1],
      packed[2], packed[3]);
}

// 2/30: the image travels in the record, never by the sender's address: Arg0 the
// whole image's size, Arg1 must be non-zero, Arg2 the byte offset of the piece that
// Segment 0 carries. The pieces come in order from offset 0 and gather in the stage;
// the image in use changes only when the last piece completes it, so an update that
// stops half-way leaves the old image whole. A piece at offset 0 starts a new image;
// a piece out of order, or of another size, is refused and drops what was gathered.
static void BdCodeUpdate(BD_REQ* r)
{
    Adapter* a = r->a;
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    if (h->Arg[0] == 0 || h->Arg[1] == 0 || h->Arg[0] > CSM_IMAGE_AREA_SIZE) return BdStatus(r, BI);
    PUCHAR data;
    ULONG n;
    if (!BdSenderSeg(r, 0, &data, &n) || (BD_WIDE)h->Arg[2] + n > h->Arg[0]) return BdStatus(r, BP);
    if (h->Arg[2] == 0) {
        a->CSMStageSize = h->Arg[0];
        a->CSMStageReceived = 0;
    }
    if (a->CSMStageSize != h->Arg[0] || h->Arg[2] != a->CSMStageReceived || n == 0) {
        a->CSMStageSize = 0;
        a->CSMStageReceived = 0;
        return BdStatus(r, BP);
    }
    std::memcpy(a->CSMCodeStage + h->Arg[2], data, n);
    a->CSMStageReceived += n;
    if (a->CSMStageReceived < a->CSMStageSize) return;
    std::memcpy(a->CSMCode, a->CSMCodeStage, a->CSMStageSize);
    a->CSMCodeSize = a->CSMStageSize;
    a->CSMStageSize = 0;
    a->CSMStageReceived = 0;
}

static void BdStart(BD_REQ* r)
{
    Adapter* a = r->a;
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    ULONG act = h->Action;
    for (const auto& f : BdFramerStarts) {
        if (f.Action != act) continue;
        if (!BdLineOk(a, h->Arg[0])) return BdStatus(r, BP);
        h->Arg[1] = a->Framer[h->Arg[0]].nMode;
        ULONG framer = act == BACKDOOR_START_RESET_GLOBAL ? 0 : h->Arg[0];
        Bt8370Actions(&a->Framer[framer], f.Code, f.ValueFromArg2 ? h->Arg[2] : f.Value, 0);
        return;
    }
    switch (act) {
    case BACKDOOR_START_LOOPBACK_TEST:
    case BACKDOOR_START_LOOPBACK_TEST_1:
    case BACKDOOR_START_INCOMING_CALL:
    case BACKDOOR_START_DISCONNECT: {
        Link* l = BdBLink(a, h->Arg[0], h->Arg[1]);
        if (l == NULL) return BdStatus(r, BP);
        if (act == BACKDOOR_START_LOOPBACK_TEST || act == BACKDOOR_START_LOOPBACK_TEST_1)
            GoToLoopBackState(l, act == BACKDOOR_START_LOOPBACK_TEST_1);
        else if (act == BACKDOOR_START_INCOMING_CALL)
            TmrStart(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_BACKDOOR_INCOMING_CALL, a->TimerResolution,
                     BackdoorIncomingCall, l);
        else
            TmrStart(&a->AdapterTimerPool, (ULONG_PTR)l, LINK_TMR_BACKDOOR_DISCONNECT, a->TimerResolution,
                     BackdoorDisconnect, l);
        return;
    }
    case BACKDOOR_START_CSM_DOWNLOAD:
    case BACKDOOR_START_CSM_DOWNLOAD_ONLY:
    case BACKDOOR_START_CSM_CODE:
    case BACKDOOR_START_CSM_OUT_OF_SERVICE: {
        Csm* c = BdCsm(a, h->Arg[0], h->Arg[1]);
        if (c == NULL) return BdStatus(r, BP);
        if (act == BACKDOOR_START_CSM_CODE) {
            for (ULONG i = 0; i < c->PumpCount && i < CSM_MAX_PUMPS; i++) PumpInitialize(&c->Pumps[i]);
            CSMInitInboundMsg(c);
            c->State = CSM_CODE_LOADED;
        } else if (act == BACKDOOR_START_CSM_OUT_OF_SERVICE) {
            c->State = CSM_DEAD;
            if (c->ResetRegister != NULL) WRITE_REGISTER_ULONG((PULONG)c->ResetRegister, 0);
        } else {
            c->State = CSM_NEED_RESET;
            c->ResetAttempts = 0;
            c->DownloadOnly = act == BACKDOOR_START_CSM_DOWNLOAD_ONLY;
        }
        return;
    }
    case BACKDOOR_START_PUMP_RESET:
    case BACKDOOR_START_PUMP_OUT_OF_SERVICE: {
        Pump* p = BdArgPump(r);
        if (p == NULL) return BdStatus(r, BP);
        if (act == BACKDOOR_START_PUMP_RESET) {
            p->PumpState = PUMP_NEED_RESET;
            p->PumpEvent = Host_Ev_Reset_Requested;
        } else {
            p->PumpState = PUMP_OUT_OF_SERVICE;
        }
        return;
    }
    case BACKDOOR_START_TEST_MODE:
        return BdStackMessage(r, (h->Arg[1] & 0xFF) == 0 ? MGMT_CLEAR_QUIET : MGMT_SET_QUIET, 0, 0, 0);
    case BACKDOOR_START_SEND_SETUP: return BdSendSetup(r);
    case BACKDOOR_START_SEND_CONNECT: return BdStackMessage(r, MGMT_TEST_ANSWER, h->Arg[1], h->Arg[2], 0);
    case BACKDOOR_START_SEND_DISCONNECT: return BdStackMessage(r, MGMT_TEST_DISCONNECT, h->Arg[1], h->Arg[2], h->Arg[3]);
    case BACKDOOR_START_SEND_STATUS_ENQUIRY: return BdStackMessage(r, MGMT_SEND_INFORMATION, h->Arg[1], h->Arg[2], 0);
    case BACKDOOR_START_SEND_RESTART: return BdSendRestart(r);
    case BACKDOOR_START_LINK_RX:
    case BACKDOOR_START_LINK_TX: {
        Link* l = BdBLink(a, h->Arg[0], h->Arg[1]);
        if (l == NULL) return BdStatus(r, BI);
        if (act == BACKDOOR_START_LINK_RX) {
            l->InboundBackToBack = 1;
            l->LoopBackVerify = (UCHAR)h->Arg[2];
            l->LoopBackRxWordCount = 0;
        } else {
            l->OutboundBackToBack = 1;
        }
        return;
    }
    case BACKDOOR_START_CSM_CODE_UPDATE: return BdCodeUpdate(r);
    case BACKDOOR_START_HALT:
        // Halting frees the adapter record this request runs on, and the halt handler
        // takes the lock the query holds: refused, and said so in the trace.
        RSS_LOG("RSS_BackdoorRequest: halt request refused; halt the adapter through NDIS\n");
        return BdStatus(r, BI);
    default: return;  // 2, 19, 20, 29, 32 to 38 and beyond 39: nothing
    }
}

// ---- class 3: stop ----

static void BdStop(BD_REQ* r)
{
    Adapter* a = r->a;
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    switch (h->Action) {
    case BACKDOOR_STOP_LINK:
        if (!BdGroupOk(a, h->Arg[0])) return BdStatus(r, BI);
        if (h->Arg[1] == ALL_LINKS) {
            // Every B-channel link of the group; the D-channel link keeps the line's
            // signalling running.
            for (ULONG i = 0; i < MAX_LINKS_PER_GROUP; i++) {
                Link* l = &a->NdisWanInfo[h->Arg[0]][i];
                if (!BdDChannel(l)) RSS_Disconnect(l, TERMINATE_TRANSFER);
            }
            return;
        }
        if (BdBLink(a, h->Arg[0], h->Arg[1]) == NULL) return BdStatus(r, BI);
        RSS_Disconnect(&a->NdisWanInfo[h->Arg[0]][h->Arg[1]], TERMINATE_TRANSFER);
        return;
    case BACKDOOR_STOP_TX_ISOLATED_PULSES:
    case BACKDOOR_STOP_TX_ALL_ONES:
    case BACKDOOR_STOP_FORCE_LAYER2: {
        static const ULONG codes[] = {TX_ISOLATED_PULSES, TX_ALL_ONES, FORCE_LAYER2};
        if (!BdLineOk(a, h->Arg[0])) return BdStatus(r, BP);
        h->Arg[1] = a->Framer[h->Arg[0]].nMode;
        Bt8370Actions(&a->Framer[h->Arg[0]], codes[h->Action - BACKDOOR_STOP_TX_ISOLATED_PULSES], 0, 0);
        return;
    }
    case BACKDOOR_STOP_VALUE_9:
    case BACKDOOR_STOP_VALUE_10: {
        Link* l = BdLink(a, h->Arg[0], h->Arg[1]);
        if (l == NULL) return BdStatus(r, BI);
        if (h->Action == BACKDOOR_STOP_VALUE_9)
            l->InboundBackToBack = 0;
        else
            l->OutboundBackToBack = 0;
        return;
    }
    case BACKDOOR_STOP_CSM_COMMAND: {
        Pump* p = BdArgPump(r);
        if (p == NULL) return BdStatus(r, BI);
        h->Segment[0].Offset = BACKDOOR_HEADER_SIZE;
        // The slot is busy while it holds an event other than a command (Host_Ev_Cmd,
        // which this request abandons) or none.
        if (p->PumpEvent != Pump_Ev_None && p->PumpEvent != Host_Ev_Cmd) return BdStatus(r, BACKDOOR_STATUS_REFUSED);
        p->PumpEvent = Pump_Ev_None;
        p->CmdChan.InCmdClass = 0;
        p->CmdChan.OutCmdClass = 0;
        return BdStatus(r, BACKDOOR_STATUS_PENDING);
    }
    default: return;
    }
}

// ---- class 4: action ----

static void BdLoopbackTimeslots(BD_REQ* r)
{
    Adapter* a = r->a;
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    ULONG g = h->Arg[0];
    if (!BdGroupOk(a, g)) return BdStatus(r, BP);
    PUCHAR tables;
    ULONG n;
    if (h->Segment[0].Length < BT847X_TIMESLOTS * 4 || !BdSenderSeg(r, 0, &tables, &n)) return BdStatus(r, BP);
    // The group's loop-back time-slot tables are the controller's receive and transmit
    // time-slot assignments: both take the 128 words, and each link's loop-back slot is
    // set up from the transmit one.
    for (ULONG s = 0; s < BT847X_TIMESLOTS; s++) {
        LONG channel;
        std::memcpy(&channel, tables + 4 * s, 4);
        a->Bt847x.RxTimeslotAssign[g][s] = channel;
        a->Bt847x.TxTimeslotAssign[g][s] = channel;
    }
    for (ULONG i = 0; i < MAX_LINKS_PER_GROUP; i++) Bt847xSetupTimeslotForLoopback(&a->NdisWanInfo[g][i], 1);
    PUCHAR protocols;
    ULONG m;
    if (h->Segment[2].Length < 0x80 || !BdSenderSeg(r, 2, &protocols, &m)) return BdStatus(r, BP);
    for (ULONG i = 0; i < MAX_LINKS_PER_GROUP; i++) {
        ULONG v;
        std::memcpy(&v, protocols + 4 * i, 4);
        a->NdisWanInfo[g][i].BChProtocol = v;
    }
    Bt847xSetupChCfg(&a->Bt847x, g);
    Bt847xRequestService(&a->Bt847x, HDLC_SRQ_LOOPBACK_1, g, NULL, NULL);
    Bt847xRequestService(&a->Bt847x, HDLC_SRQ_LOOPBACK_2, g, NULL, NULL);
}

static void BdAction(BD_REQ* r)
{
    Adapter* a = r->a;
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    switch (h->Action) {
    case BACKDOOR_ACTION_CONFIGURE_LINE_INTERFACE: {
        if (!BdLineOk(a, h->Arg[0])) return BdStatus(r, BP);
        Bt8370* f = &a->Framer[h->Arg[0]];
        Bt8370DisableInts(f);
        Bt8370ClearAuxFlag(f);
        Bt8370DefineOperationalMode(f, h->Arg[0], h->Arg[1]);
        Bt8370Configure(f);
        Bt8370EnableInts(f);
        Bt8370EnablePolls(f);
        return;
    }
    case BACKDOOR_ACTION_CONFIGURE_LOOPBACK_TIMESLOT: return BdLoopbackTimeslots(r);
    case BACKDOOR_ACTION_CONFIGURE_LOOPBACKMESSAGE: {
        Link* l = BdLink(a, h->Arg[0], h->Arg[1]);
        if (l == NULL) return BdStatus(r, BI);
        if (h->Arg[2] > 6 && h->Arg[2] > LOOPBACK_PATTERN_MAX) return BdStatus(r, BP);
        l->LoopBackTxOffset = 0;
        l->LoopBackRxOffset = 0;
        if (h->Arg[2] <= 6) {
            InitLoopBackMessage(l, h->Arg[2], (UCHAR)h->Arg[3], h->Arg[4]);
        } else {
            l->LoopBackMessageLength = h->Arg[2];
            l->LoopBackMode = h->Arg[4];
            l->LoopBackTxWordCount = h->Arg[5];
            l->LoopBackRxWordCount = h->Arg[5];
        }
        return;
    }
    case BACKDOOR_ACTION_CONFIGURE_10: {
        Link* l = BdLink(a, h->Arg[0], h->Arg[1]);
        if (l == NULL || h->Arg[2] >= 4) return BdStatus(r, BI);
        l->ChannelProtocol = h->Arg[2];
        return;
    }
    default: return;
    }
}

// ---- class 5: write ----

static void BdAtCommand(BD_REQ* r, Pump* p)
{
    Adapter* a = r->a;
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    switch (h->Arg[3]) {
    case 0: {
        h->Segment[0].Offset = BACKDOOR_HEADER_SIZE;
        // The pump's event slot takes the command only when empty: a command already
        // waiting, or a reset or mode change posted by someone else, is never replaced.
        if (p->PumpEvent != Pump_Ev_None) return BdStatus(r, BI);
        PUCHAR text;
        ULONG n;
        if (!BdSenderSeg(r, 0, &text, &n) || n >= PUMP_AT_TEXT_SIZE) return BdStatus(r, BP);
        p->AtCommandLength = n;
        if (n == 0) return;
        std::memcpy(p->AtCommand, text, n);
        p->AtCommand[n] = 0;
        p->PumpEvent = Host_Ev_Cmd;
        return;
    }
    case 1: {
        ULONG g = p->ThisCsm != NULL ? p->ThisCsm->Group : MAX_LINES;
        PUCHAR text;
        ULONG n;
        if (g >= MAX_LINES || !BdSenderSeg(r, 0, &text, &n) || (n & 0xFF) >= MODEM_INIT_SIZE || n > 0xFF)
            return BdStatus(r, BP);
        a->ModemDataInit[g].Count = (UCHAR)n;
        std::memcpy(a->ModemDataInit[g].Text, text, n);
        return;
    }
    default: return;
    }
}

static void BdCsmCommand(BD_REQ* r, Pump* p)
{
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    h->Segment[0].Offset = BACKDOOR_HEADER_SIZE;
    if (h->Arg[3] == 0) return BdStatus(r, BACKDOOR_STATUS_REFUSED);
    PUCHAR data;
    ULONG n;
    if (!BdSenderSeg(r, 0, &data, &n) || n > FIFO_DATA_BLOCK_SIZE) return BdStatus(r, BP);
    // A command replaces a command still waiting, never another event in the slot.
    if (p->PumpEvent != Pump_Ev_None && p->PumpEvent != Host_Ev_Cmd) return BdStatus(r, BACKDOOR_STATUS_REFUSED);
    CMD_CHAN* c = &p->CmdChan;
    p->PumpEvent = Host_Ev_Cmd;
    c->OutCount = (USHORT)n;
    c->OutCmdClass = (USHORT)(h->Arg[3] << 8);
    c->OutCmdType = (UCHAR)h->Arg[4];
    c->OutFcnCode = (USHORT)h->Arg[5];
    c->OutCmdIndex++;
    std::memcpy(c->OutData, data, n);
    BdStatus(r, BACKDOOR_STATUS_PENDING);
}

static void BdWrite(BD_REQ* r)
{
    Adapter* a = r->a;
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    switch (h->Action) {
    case BACKDOOR_WRITE_FRAMER_REG:
        if (!BdLineOk(a, h->Arg[0]) || h->Arg[1] >= BT8370_NUM_REGS) return BdStatus(r, BP);
        Bt8370Write(&a->Framer[h->Arg[0]], h->Arg[1], (UCHAR)h->Arg[2]);
        return;
    case BACKDOOR_WRITE_HDLC_GROUP_REG:
    case BACKDOOR_WRITE_HDLC_GLOBAL_REG: {
        ULONG g = h->Arg[0], off = h->Arg[1];
        if (!BdGroupOk(a, g) || off >= BT847X_GROUP_WINDOW || (off & 3) != 0) return BdStatus(r, BP);
        if (h->Action == BACKDOOR_WRITE_HDLC_GROUP_REG) {
            if (a->VirtualAddressBAR0 != NULL)
                WRITE_REGISTER_ULONG((PULONG)(a->VirtualAddressBAR0 + g * BT847X_GROUP_WINDOW + off), h->Arg[2]);
        } else if (BdGroupArea(a, g) != NULL) {
            std::memcpy(BdGroupArea(a, g) + off, &h->Arg[2], 4);
        }
        return;
    }
    case BACKDOOR_WRITE_CSM_REG: {
        Csm* c = BdCsm(a, h->Arg[0], h->Arg[1]);
        if (c == NULL || h->Arg[2] >= CSM_REGS) return BdStatus(r, BP);
        CsmWriteReg(c, h->Arg[2] * CSM_REG_STRIDE, (USHORT)h->Arg[3]);
        return;
    }
    case BACKDOOR_WRITE_CSM_V42CTRL:
    case BACKDOOR_WRITE_CSM_RTS: {
        Pump* p = BdArgPump(r);
        if (p == NULL) return BdStatus(r, BI);
        UCHAR code = h->Action == BACKDOOR_WRITE_CSM_V42CTRL ? MSG_V42CTRL : MSG_DTERPT;
        CSMSendOutboundMsg(p->ThisCsm, CSM_MSG_WORD3(code, p->PumpNumber), (USHORT)h->Arg[3], 0, 0);
        return;
    }
    case BACKDOOR_WRITE_AT_COMMAND: {
        Pump* p = BdArgPump(r);
        if (p == NULL || h->Arg[3] >= 3) return BdStatus(r, BI);
        return BdAtCommand(r, p);
    }
    case BACKDOOR_WRITE_TRACE_FRAME_TYPE: {
        ULONG line = h->Arg[0];
        if (line >= 2) return;
        if (!BdLineOk(a, line)) return BdStatus(r, BI);
        ULONG answer = BdCtl(a, line, CTL_KIND_SET, CTL_STACK_SETTING, NULL, h->Arg[1]);
        h->Segment[1].Length = answer;
        if (answer == CONTROL_UNKNOWN) return BdStatus(r, BI);
        return;
    }
    case 7: return BdStatus(r, BI);
    case BACKDOOR_WRITE_CSM_COMMAND: {
        Pump* p = BdArgPump(r);
        if (p == NULL) return BdStatus(r, BI);
        return BdCsmCommand(r, p);
    }
    case BACKDOOR_WRITE_MEMORY_WORD:
        if (h->Arg[0] >= BACKDOOR_BOARD_MEMORY_WORDS) return BdStatus(r, BI);
        if (a->VirtualAddressBAR1 != NULL) WRITE_REGISTER_ULONG((PULONG)(a->VirtualAddressBAR1 + 4 * h->Arg[0]), h->Arg[1]);
        return;
    default: return;
    }
}

// ---- class 6: loop-backs ----

static void BdLoopback(BD_REQ* r)
{
    Adapter* a = r->a;
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    if (!BdLineOk(a, h->Arg[0])) return BdStatus(r, BP);
    Bt8370* f = &a->Framer[h->Arg[0]];
    switch (h->Action) {
    case BACKDOOR_LOOPBACK_ANALOG_ON: Bt8370Write(f, FRAMER_LOOPBACK_REG, 1); return;
    case BACKDOOR_LOOPBACK_ANALOG_OFF:
        Bt8370Write(f, FRAMER_LOOPBACK_REG, 0);
        Bt8370Write(f, FRAMER_RLIU_RESET_REG, 1);
        Bt8370Write(f, FRAMER_RLIU_RESET_REG, 0);
        return;
    case BACKDOOR_LOOPBACK_RUN:
    case BACKDOOR_LOOPBACK_STOP:
        if (h->Arg[2] > ALL_LOOPBACK) return BdStatus(r, BP);
        Bt8370LoopbackAction(f, h->Arg[1], h->Arg[2], h->Action == BACKDOOR_LOOPBACK_RUN);
        return;
    case BACKDOOR_LOOPBACK_STOP_ALL:
        Bt8370LoopbackAction(f, h->Arg[1], ALL_LOOPBACK, FALSE);
        return;
    default: return;
    }
}

// ---- classes 8 and 9: flags ----

static void BdFlag(BD_REQ* r, UCHAR Value)
{
    Adapter* a = r->a;
    switch (r->H.Action) {
    case BACKDOOR_FLAG_STATUS_EVENTS: a->StatusEventIndication = Value; return;
    case BACKDOOR_FLAG_1: a->PumpStatusIndication = Value; return;
    case BACKDOOR_FLAG_PUMP_EVENTS: {
        Pump* p = BdArgPump(r);
        if (p == NULL) return BdStatus(r, BI);
        p->PumpEventsEnabled = Value;
        return;
    }
    default: return;
    }
}

// ---- classes 10 to 12: pump data and the port monitor ----

static_assert(BACKDOOR_PUMP_DATA_SIZE == LINK_PUMP_DATA_SIZE);
static_assert(BACKDOOR_PORT_MONITOR_SIZE == sizeof(SER_DATA_MONITOR));

// Class 10 hands data to the pump's link with event 33, only into an empty event slot;
// class 11 copies what the link holds for management.
static void BdPumpData(BD_REQ* r)
{
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    if (h->Action != 0) return;
    Pump* p = BdArgPump(r);
    if (p == NULL) return BdStatus(r, BI);
    if (h->Class == BACKDOOR_CLASS_PUMP_DATA_IN) {
        PUCHAR data;
        ULONG n;
        if (h->Segment[0].Length > BACKDOOR_PUMP_DATA_SIZE) return BdStatus(r, BI);
        if (!BdSenderSeg(r, 0, &data, &n)) return BdStatus(r, BP);
        Link* l = p->ThisLink;
        if (l == NULL) return BdStatus(r, BI);
        if (p->PumpEvent != Pump_Ev_None) return BdStatus(r, BACKDOOR_STATUS_REFUSED);
        p->PumpEvent = PUMP_EVENT_PUMP_DATA_IN;
        std::memcpy(l->PumpDataIn, data, n);
        return;
    }
    h->Segment[0].Length = BACKDOOR_PUMP_DATA_SIZE;
    h->Segment[0].Offset = BACKDOOR_HEADER_SIZE;
    if (!BdNeed(r, BACKDOOR_PUMP_DATA_SIZE)) return;
    Link* l = p->ThisLink;
    if (l == NULL) return BdStatus(r, BI);
    std::memcpy(BdSeg(r, 0, BACKDOOR_PUMP_DATA_SIZE), l->PumpDataOut, BACKDOOR_PUMP_DATA_SIZE);
}

static void BdPortMonitor(BD_REQ* r)
{
    BACKDOOR_REQUEST_HEADER* h = &r->H;
    Pump* p = BdArgPump(r);
    if (p == NULL) return BdStatus(r, BI);
    h->Segment[0].Length = BACKDOOR_PORT_MONITOR_SIZE;
    h->Segment[0].Offset = BACKDOOR_HEADER_SIZE;
    if (!BdNeed(r, BACKDOOR_PORT_MONITOR_SIZE)) return;
    Link* l = p->ThisLink;
    if (l == NULL) return BdStatus(r, BI);
    if (l->CurrentOwner != OWNER_VOVIZ4EZ && l->CurrentOwner != OWNER_VOVIZ4EZ_ALT)
        return BdStatus(r, BACKDOOR_STATUS_NOT_ASYNC_PORT);
    AsyncPort* port = ser_PortOf(l->ThisAsyncPort);
    if (port == NULL) return;  // no port: status 0, nothing copied
    std::memcpy(BdSeg(r, 0, BACKDOOR_PORT_MONITOR_SIZE), &port->DataMonitor, BACKDOOR_PORT_MONITOR_SIZE);
}

// ---- the entry ----

void RSS_BackdoorRequest(Adapter* ThisAdapter, PVOID Request, ULONG Length)
{
    if (Request == NULL) return;
    PUCHAR rec = (PUCHAR)Request;
    if (Length < BACKDOOR_HEADER_SIZE) {
        // Not even a header: only Status, where it fits.
        const ULONG at = offsetof(BACKDOOR_REQUEST_HEADER, Status), status = BACKDOOR_STATUS_BAD_PARAMETER;
        if (Length >= at + 4) std::memcpy(rec + at, &status, 4);
        return;
    }
    BD_REQ r;
    r.a = ThisAdapter;
    r.Rec = rec;
    std::memcpy(&r.H, rec, sizeof r.H);
    r.Next = BACKDOOR_HEADER_SIZE;
    r.Cap = Length < BACKDOOR_REQUEST_SIZE ? Length : BACKDOOR_REQUEST_SIZE;
    if (r.H.BufferLength < r.Cap) r.Cap = r.H.BufferLength < BACKDOOR_HEADER_SIZE ? BACKDOOR_HEADER_SIZE : r.H.BufferLength;

    r.H.Status = BACKDOOR_STATUS_BAD_SIGNATURE;
    r.H.ReplyLength = 0;
    if (r.H.Signature == BACKDOOR_SIGNATURE && ThisAdapter != NULL) {
        r.H.Status = BACKDOOR_STATUS_OK;
        switch (r.H.Class) {
        case BACKDOOR_CLASS_READ: BdRead(&r); break;
        case BACKDOOR_CLASS_INIT: BdInit(&r); break;
        case BACKDOOR_CLASS_START: BdStart(&r); break;
        case BACKDOOR_CLASS_STOP: BdStop(&r); break;
        case BACKDOOR_CLASS_ACTION: BdAction(&r); break;
        case BACKDOOR_CLASS_WRITE: BdWrite(&r); break;
        case BACKDOOR_CLASS_LOOPBACK: BdLoopback(&r); break;
        case BACKDOOR_CLASS_SET_FLAG: BdFlag(&r, 1); break;
        case BACKDOOR_CLASS_CLEAR_FLAG: BdFlag(&r, 0); break;
        case BACKDOOR_CLASS_PUMP_DATA_IN:
        case BACKDOOR_CLASS_PUMP_DATA_OUT: BdPumpData(&r); break;
        case BACKDOOR_CLASS_PORT_MONITOR: BdPortMonitor(&r); break;
        default: break;  // 7 (answered on the TAPI path only) and unknown classes
        }
    }
    // Back into the record: everything up to the reserved word, which is never touched.
    std::memcpy(rec, &r.H, offsetof(BACKDOOR_REQUEST_HEADER, Reserved));
}
