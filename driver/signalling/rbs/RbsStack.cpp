// The robbed-bit signalling stack: owns its instance (interface table, 15-entry timer
// pool, settings, timing set, 32 channel records, received and transmit bit tables,
// histories). The framer hands it each channel's received A, B, C, D bits and fetches
// the bits to send (Control 0x1E / 0x1F); the machine step debounces the received bits
// and runs each channel's call machine, a (state, condition) -> (actions, next state)
// table. Everything runs under AdapterSpinLock, held by every caller (adapter timer
// DPC in mode 5, framer interrupt DPC in mode 4, call control); no lock of its own.
#include "driver/signalling/rbs/RbsStack.h"

#include <cstring>

#include "driver/Common/RSS_init.h"

// ---- timing sets ----

static const ULONG RbsTimingTimer[RBS_TIMING_POSITIONS] = {90, 0, 7, 0, 166, 165, 333};
static const ULONG RbsTimingFramer[RBS_TIMING_POSITIONS] = {3, 6, 79, 12, 1666, 1665, 3333};

// RBSWinkDuration -> timing position 2 in mode 5 and in the framer-driven modes.
typedef struct _RBS_WINK_ROW {
    ULONG Setting;
    ULONG Timer;
    ULONG Framer;
} RBS_WINK_ROW;

static const RBS_WINK_ROW RbsWinkTable[] = {{1, 7, 79}, {2, 12, 132}};
static const RBS_WINK_ROW RbsWinkOther = {0, 6, 65};

// RBSProtocol -> channel protocol and mode.
typedef struct _RBS_PROTOCOL_ROW {
    ULONG Setting;
    ULONG Protocol;
    ULONG Mode;
} RBS_PROTOCOL_ROW;

static const RBS_PROTOCOL_ROW RbsProtocolTable[] = {
    {RBS_SETTING_IMMEDIATE, RBS_PROTOCOL_IMMEDIATE, RBS_MODE_TIMER},
    {RBS_SETTING_WINK, RBS_PROTOCOL_WINK, RBS_MODE_FRAMER_INT},
    {RBS_SETTING_EAR_MOUTH, RBS_PROTOCOL_EAR_MOUTH, RBS_MODE_FRAMER_INT},
};
static const RBS_PROTOCOL_ROW RbsProtocolOther = {0, RBS_PROTOCOL_NONE, RBS_MODE_TIMER};

// ---- small helpers ----

static RBS_STACK* RbsStack(PVOID Object) { return (RBS_STACK*)Object; }

static BOOLEAN RbsChannelInRange(ULONG Channel) { return Channel < RBS_CHANNELS; }

// The channels a line enables: all on E1, 1 to 24 on T1. A channel record is enabled
// only from these (RbsIdentifyChannels, again whenever the E1 flag changes), so the
// loops run once a step or a bit exchange go from the first to the end only.
static ULONG RbsFirstChannel(const RBS_STACK* s) { return s->E1 ? 0 : 1; }
static ULONG RbsEndChannel(const RBS_STACK* s) { return s->E1 ? RBS_CHANNELS : RBS_T1_CHANNELS + 1; }

static BOOLEAN RbsChannelEnabledOnLine(const RBS_STACK* s, ULONG Channel)
{
    return Channel >= RbsFirstChannel(s) && Channel < RbsEndChannel(s);
}

static BOOLEAN RbsLayer1Up(const RBS_STACK* s) { return s->Layer1State == RBS_L1_UP; }

// A call object handed back by call control is one of our channel records.
static RBS_CHANNEL* RbsCallObject(PVOID Object)
{
    RBS_CHANNEL* ch = (RBS_CHANNEL*)Object;
    if (ch == NULL || ch->ThisStack == NULL || !RbsChannelInRange(ch->ChannelNumber)) return NULL;
    return &ch->ThisStack->Channel[ch->ChannelNumber] == ch ? ch : NULL;
}

static void RbsLoadTimingSet(RBS_STACK* s)
{
    const ULONG* set = s->Mode == RBS_MODE_TIMER ? RbsTimingTimer : RbsTimingFramer;
    std::memcpy(s->Timing, set, sizeof s->Timing);
    s->TimingValid = 1;
}

static ULONG RbsDebounceSamples(const RBS_STACK* s)
{
    return s->Mode == RBS_MODE_FRAMER_INT ? RBS_DEBOUNCE_FRAMER_INT : RBS_DEBOUNCE_TIMER;
}

static ULONG RbsTimerId(const RBS_STACK* s) { return s->Line + RBS_TIMER_ID_BASE; }

// The identity fields of every channel record.
static void RbsIdentifyChannels(RBS_STACK* s)
{
    for (ULONG k = 0; k < RBS_CHANNELS; k++) {
        RBS_CHANNEL* ch = &s->Channel[k];
        ch->ThisStack = s;
        ch->ChannelNumber = k;
        ch->Line = s->Line;
        ch->Enabled = RbsChannelEnabledOnLine(s, k) ? 1 : 0;
    }
}

// ---- received state ----

typedef struct _RBS_TYPE_MAP {
    ULONG Type;
    UCHAR PassThrough;
    UCHAR OnHookBits;
} RBS_TYPE_MAP;

static const RBS_TYPE_MAP RbsTypeMaps[] = {
    {3, 0, 0x5}, {4, 0, 0x5}, {5, 1, 0}, {6, 1, 0}, {7, 0, 0x5}, {8, 1, 0}, {12, 0, 0x5}, {13, 0, 0x5},
};

static ULONG RbsReceivedState(ULONG SignallingType, ULONG Bits)
{
    ULONG onHook = RBS_BITS_ON_HOOK;
    for (const RBS_TYPE_MAP& m : RbsTypeMaps) {
        if (m.Type != SignallingType) continue;
        if (m.PassThrough) return Bits;
        onHook = m.OnHookBits;
        break;
    }
    if (Bits == onHook) return RBS_RX_ON_HOOK;
    if (Bits == RBS_BITS_OFF_HOOK) return RBS_RX_OFF_HOOK;
    return RBS_RX_OTHER;
}

// ---- histories ----

static void RbsHistoryClear(RBS_CHANNEL* ch)
{
    std::memset(ch->RxHistory, 0, sizeof ch->RxHistory);
    std::memset(ch->TxHistory, 0, sizeof ch->TxHistory);
    std::memset(ch->StateHistory, 0, sizeof ch->StateHistory);
    ch->RxHistoryPos = ch->TxHistoryPos = ch->StateHistoryPos = 0;
}

// A channel's A bit as a history entry's bit.
static_assert(RBS_HISTORY_A_BIT << 11 == RBS_HISTORY_BIT, "the A bit shifts onto the history bit");
static inline USHORT RbsHistoryBit(ULONG Bits) { return (USHORT)((Bits & RBS_HISTORY_A_BIT) << 11); }

// One step of a run-length history, the sample given as RBS_HISTORY_BIT or 0: the
// current run grows while the bit stays and the run fits in 14 bits; otherwise a new
// entry starts, until all 32 are used.
static inline void RbsHistorySample(USHORT* History, ULONG* Pos, USHORT Bit)
{
    const ULONG pos = *Pos;
    // Bit and run in one test: a different bit sets RBS_HISTORY_BIT, above every run.
    if (pos > 0 && ((History[pos - 1] ^ Bit) & (RBS_HISTORY_BIT | RBS_HISTORY_RUN_MASK)) < RBS_HISTORY_RUN_MASK) {
        History[pos - 1]++;
        return;
    }
    if (pos >= RBS_HISTORY_ENTRIES) return;
    History[pos] = (USHORT)(RBS_HISTORY_VALID | Bit | 1);
    *Pos = pos + 1;
}

static void RbsSetState(RBS_CHANNEL* ch, ULONG State)
{
    if (ch->State == State) return;
    RSS_TRACE("RBS line %lu ch %lu: state %lu -> %lu\n", (unsigned long)ch->Line, (unsigned long)ch->ChannelNumber,
              (unsigned long)ch->State, (unsigned long)State);
    ch->State = State;
    if (ch->StateHistoryPos < RBS_HISTORY_ENTRIES)
        ch->StateHistory[ch->StateHistoryPos++] = (USHORT)(RBS_HISTORY_VALID | State);
}

// ---- transmit ----

static void RbsSend(RBS_CHANNEL* ch, BOOLEAN OffHook)
{
    ch->TxState = OffHook ? RBS_TX_OFF_HOOK : RBS_TX_ON_HOOK;
    ch->ThisStack->TxBits[ch->ChannelNumber].Latest = OffHook ? RBS_BITS_OFF_HOOK : RBS_BITS_ON_HOOK;
}

// ---- upcalls ----

static void RbsClearLink(RBS_CHANNEL* ch)
{
    RBS_STACK* s = ch->ThisStack;
    Link* ThisLink = ch->ThisLink;
    ch->ThisLink = NULL;
    if (ThisLink != NULL && s->Upcalls.RSS_ClearLinkBChannel != NULL) s->Upcalls.RSS_ClearLinkBChannel(ThisLink);
}

// The far end seized an idle channel: offer the call upward.
static void RbsReportSeizure(RBS_CHANNEL* ch)
{
    RBS_STACK* s = ch->ThisStack;
    if (s->Upcalls.GetLinkAssignedToBChannel == NULL) return;
    Link* ThisLink = s->Upcalls.GetLinkAssignedToBChannel(s->ThisAdapter, ch, s->Line, NULL, ch->ChannelNumber);
    RSS_TRACE("RBS line %lu ch %lu: seizure, Link %s\n", (unsigned long)s->Line, (unsigned long)ch->ChannelNumber,
              ThisLink ? "found" : "none");
    if (ThisLink == NULL) return;
    ch->ThisLink = ThisLink;
    if (s->Upcalls.IncomingCallIndHdlr != NULL)
        s->Upcalls.IncomingCallIndHdlr(s->ThisAdapter, ThisLink,
                                       ch->CallType == RBS_CALL_TYPE_ISDN ? RBS_BEARER_ISDN : RBS_BEARER_ANALOG);
}

static void RbsReportClearing(RBS_CHANNEL* ch)
{
    RBS_STACK* s = ch->ThisStack;
    RSS_TRACE("RBS line %lu ch %lu: far end cleared\n", (unsigned long)s->Line, (unsigned long)ch->ChannelNumber);
    if (ch->ThisLink == NULL) {
        ch->ClearingPending = 1;
        return;
    }
    if (s->Upcalls.DisconnectHdlr != NULL) s->Upcalls.DisconnectHdlr(ch->ThisLink);
}

// The far end answered an outgoing call.
static void RbsReportAnswer(RBS_CHANNEL* ch)
{
    RBS_STACK* s = ch->ThisStack;
    if (ch->ThisLink != NULL && s->Upcalls.ConnectHdlr != NULL) s->Upcalls.ConnectHdlr(ch->ThisLink);
}

static void RbsEnterIdle(RBS_CHANNEL* ch)
{
    ch->AnswerRequested = 0;
    ch->ClearRequested = 0;
    ch->Outgoing = 0;
    ch->ClearingPending = 0;
    std::memset(ch->Counter, 0, sizeof ch->Counter);
}

// ---- the channel machine ----

// Conditions.
enum {
    RBS_EV_LINK_BOUND,          // a Link is still bound
    RBS_EV_OFF_HOOK_CHANGED,    // received off-hook, changed (consumes the change)
    RBS_EV_ON_HOOK_CHANGED,     // received on-hook, changed (consumes the change)
    RBS_EV_ON_HOOK,             // received on-hook
    RBS_EV_ANSWER,              // answer requested
    RBS_EV_CLEAR,               // clear requested
    RBS_EV_RUNNING,             // the state's counter is running
    RBS_EV_EXPIRED,             // the state's counter reached 0
};

// Actions, run in this order after the state has changed (so that call control,
// called from an action, already sees the new state).
#define RBS_A_NEW_CALL 0x0001       // histories cleared (before the state change)
#define RBS_A_CLEAR_LINK 0x0002
#define RBS_A_REPORT_SEIZURE 0x0004
#define RBS_A_REPORT_CLEARING 0x0008
#define RBS_A_REPORT_ANSWER 0x0010
#define RBS_A_SEND_ON 0x0020
#define RBS_A_SEND_OFF 0x0040
#define RBS_A_LOAD_123 0x0080
#define RBS_A_LOAD_4 0x0100
#define RBS_A_LOAD_5 0x0200
#define RBS_A_LOAD_6 0x0400
#define RBS_A_SELF_DISCONNECT 0x0800
#define RBS_A_ENTER_IDLE 0x1000

// Channel protocols a row applies to.
#define RBS_P_IMM 0x1
#define RBS_P_WINK 0x2
#define RBS_P_EM 0x4
#define RBS_P_ANY (RBS_P_IMM | RBS_P_WINK | RBS_P_EM)

typedef struct _RBS_MACHINE_ROW {
    UCHAR FirstState;
    UCHAR LastState;
    UCHAR Protocols;
    UCHAR Condition;
    USHORT Actions;
    UCHAR Next;
} RBS_MACHINE_ROW;

// The first matching row of the channel's state runs. Rows marked * make sure no call
// is left hanging: a local clear of an offered or connected call sends on-hook, and a
// far end abandoning an offered call or an offer nobody answers is reported to call
// control. States 12 to 15 carry outgoing calls.
static constexpr RBS_MACHINE_ROW RbsMachine[] = {
    // idle
    {2, 2, RBS_P_ANY, RBS_EV_LINK_BOUND, RBS_A_CLEAR_LINK, 2},
    {2, 2, RBS_P_WINK, RBS_EV_OFF_HOOK_CHANGED, RBS_A_NEW_CALL | RBS_A_LOAD_123, 8},
    {2, 2, RBS_P_EM, RBS_EV_OFF_HOOK_CHANGED, RBS_A_NEW_CALL | RBS_A_REPORT_SEIZURE | RBS_A_LOAD_4, 16},
    {2, 2, RBS_P_IMM, RBS_EV_OFF_HOOK_CHANGED, RBS_A_NEW_CALL | RBS_A_REPORT_SEIZURE | RBS_A_SEND_ON | RBS_A_LOAD_4, 16},
    // answer delay, wink, after wink (incoming wink start; the E&M answer)
    {8, 11, RBS_P_ANY, RBS_EV_CLEAR, RBS_A_SEND_ON | RBS_A_LOAD_6, 19},  // *
    {8, 11, RBS_P_ANY, RBS_EV_ON_HOOK, RBS_A_REPORT_CLEARING | RBS_A_SEND_ON | RBS_A_LOAD_6, 19},
    {8, 9, RBS_P_ANY, RBS_EV_RUNNING, RBS_A_SEND_ON, 9},
    {8, 9, RBS_P_ANY, RBS_EV_EXPIRED, RBS_A_SEND_ON, 10},
    {10, 10, RBS_P_ANY, RBS_EV_RUNNING, RBS_A_SEND_OFF, 10},
    {10, 10, RBS_P_ANY, RBS_EV_EXPIRED, RBS_A_SEND_OFF, 11},
    {11, 11, RBS_P_WINK, RBS_EV_RUNNING, RBS_A_SEND_ON, 11},  // E&M stays off-hook after its wink
    {11, 11, RBS_P_WINK, RBS_EV_EXPIRED, RBS_A_REPORT_SEIZURE | RBS_A_LOAD_4 | RBS_A_SEND_ON, 16},
    {11, 11, RBS_P_EM, RBS_EV_EXPIRED, RBS_A_SEND_OFF, 18},
    // outgoing *
    {12, 12, RBS_P_ANY, RBS_EV_CLEAR, RBS_A_ENTER_IDLE, 2},
    {13, 15, RBS_P_ANY, RBS_EV_CLEAR, RBS_A_SEND_ON | RBS_A_LOAD_6, 19},
    {13, 13, RBS_P_WINK, RBS_EV_OFF_HOOK_CHANGED, 0, 14},
    {14, 14, RBS_P_WINK, RBS_EV_ON_HOOK_CHANGED, 0, 15},
    {13, 14, RBS_P_WINK, RBS_EV_EXPIRED, RBS_A_REPORT_CLEARING | RBS_A_SEND_ON | RBS_A_LOAD_6, 20},
    {15, 15, RBS_P_ANY, RBS_EV_OFF_HOOK_CHANGED, RBS_A_REPORT_ANSWER, 18},
    // offered
    {16, 16, RBS_P_ANY, RBS_EV_CLEAR, RBS_A_SEND_ON | RBS_A_LOAD_6, 19},  // *
    {16, 16, RBS_P_ANY, RBS_EV_ON_HOOK, RBS_A_REPORT_CLEARING | RBS_A_SEND_ON | RBS_A_LOAD_6, 19},  // * report
    {16, 16, RBS_P_IMM | RBS_P_WINK, RBS_EV_ANSWER, RBS_A_SEND_OFF, 18},
    {16, 16, RBS_P_EM, RBS_EV_ANSWER, RBS_A_SEND_ON | RBS_A_LOAD_123, 8},
    {16, 16, RBS_P_ANY, RBS_EV_EXPIRED, RBS_A_REPORT_CLEARING | RBS_A_SEND_ON | RBS_A_LOAD_6, 20},  // * report
    // far end cleared
    {17, 17, RBS_P_ANY, RBS_EV_CLEAR, RBS_A_SEND_ON | RBS_A_LOAD_6, 19},
    {17, 17, RBS_P_ANY, RBS_EV_EXPIRED, RBS_A_SEND_ON | RBS_A_LOAD_6 | RBS_A_SELF_DISCONNECT, 20},
    // connected
    {18, 18, RBS_P_ANY, RBS_EV_CLEAR, RBS_A_SEND_ON | RBS_A_LOAD_6, 19},  // *
    {18, 18, RBS_P_ANY, RBS_EV_ON_HOOK_CHANGED, RBS_A_REPORT_CLEARING | RBS_A_LOAD_5, 17},
    // guards before idle
    {19, 20, RBS_P_ANY, RBS_EV_EXPIRED, RBS_A_ENTER_IDLE, 2},
};

#define RBS_MACHINE_ROWS (sizeof RbsMachine / sizeof RbsMachine[0])
#define RBS_ROWS_PER_STATE 8

// The rows of each state in table order, so that a step (once a tick for every channel)
// looks at its own state's few rows only, and the conditions those rows test; built
// from the table when compiled.
typedef struct _RBS_ROW_INDEX {
    UCHAR Count[RBS_CH_LAST_STATE + 1];
    UCHAR Row[RBS_CH_LAST_STATE + 1][RBS_ROWS_PER_STATE];
    USHORT Conditions[RBS_CH_LAST_STATE + 1];  // 1 << condition, for every row of the state
    BOOLEAN Overflow;  // a row names a state beyond the index, or a state has too many rows
} RBS_ROW_INDEX;

static constexpr RBS_ROW_INDEX RbsIndexRows()
{
    RBS_ROW_INDEX x = {};
    for (ULONG r = 0; r < RBS_MACHINE_ROWS; r++)
        for (ULONG st = RbsMachine[r].FirstState; st <= RbsMachine[r].LastState; st++) {
            if (st > RBS_CH_LAST_STATE || x.Count[st] >= RBS_ROWS_PER_STATE || RbsMachine[r].Condition >= 16) {
                x.Overflow = TRUE;
            } else {
                x.Row[st][x.Count[st]++] = (UCHAR)r;
                x.Conditions[st] = (USHORT)(x.Conditions[st] | (1u << RbsMachine[r].Condition));
            }
        }
    return x;
}
static constexpr RBS_ROW_INDEX RbsRowIndex = RbsIndexRows();
static_assert(!RbsRowIndex.Overflow, "every row must fit the row index");

// The timing position whose counter a state watches; 0 none.
static constexpr ULONG RbsWatchedPosition(ULONG State)
{
    switch (State) {
    case RBS_CH_ANSWER_DELAY:
    case RBS_CH_ANSWER_DELAY_2: return RBS_T_ANSWER_DELAY;
    case RBS_CH_WINK: return RBS_T_WINK;
    case RBS_CH_AFTER_WINK: return RBS_T_AFTER_WINK;
    case RBS_CH_OUT_WAIT_WINK:
    case RBS_CH_OUT_WINK:
    case RBS_CH_OFFERED: return RBS_T_ANSWER_WAIT;
    case RBS_CH_FAR_CLEARED: return RBS_T_CLEAR_GUARD;
    case RBS_CH_GUARD:
    case RBS_CH_GUARD_2: return RBS_T_IDLE_GUARD;
    default: return 0;
    }
}

// RbsWatchedPosition of each state of the table, for the step.
typedef struct _RBS_WATCH_TABLE {
    UCHAR Position[RBS_CH_LAST_STATE + 1];
} RBS_WATCH_TABLE;

static constexpr RBS_WATCH_TABLE RbsWatchTable = [] {
    RBS_WATCH_TABLE t = {};
    for (ULONG st = 0; st <= RBS_CH_LAST_STATE; st++) t.Position[st] = (UCHAR)RbsWatchedPosition(st);
    return t;
}();

static UCHAR RbsProtocolBit(ULONG Protocol)
{
    switch (Protocol) {
    case RBS_PROTOCOL_IMMEDIATE: return RBS_P_IMM;
    case RBS_PROTOCOL_WINK: return RBS_P_WINK;
    case RBS_PROTOCOL_EAR_MOUTH: return RBS_P_EM;
    default: return 0;
    }
}

#define RBS_COND(c) (1u << (c))

// Whether a row of a state without a watched counter can match: every condition but
// RBS_EV_ON_HOOK needs a flag or a Link (and a running or expired counter needs a
// watched position), so a channel with none of those set passes the step over.
static BOOLEAN RbsRowMayMatch(const RBS_CHANNEL* ch, ULONG Conditions)
{
    if ((Conditions & RBS_COND(RBS_EV_LINK_BOUND)) && ch->ThisLink != NULL) return TRUE;
    if ((Conditions & (RBS_COND(RBS_EV_OFF_HOOK_CHANGED) | RBS_COND(RBS_EV_ON_HOOK_CHANGED))) && ch->RxChanged) return TRUE;
    if ((Conditions & RBS_COND(RBS_EV_ON_HOOK)) && ch->RxState == RBS_RX_ON_HOOK) return TRUE;
    if ((Conditions & RBS_COND(RBS_EV_ANSWER)) && ch->AnswerRequested) return TRUE;
    if ((Conditions & RBS_COND(RBS_EV_CLEAR)) && ch->ClearRequested) return TRUE;
    return FALSE;
}

static void RbsLoad(RBS_CHANNEL* ch, ULONG Position)
{
    ch->Counter[Position - 1] = ch->ThisStack->Timing[Position];
}

static BOOLEAN RbsCondition(RBS_CHANNEL* ch, UCHAR Condition, BOOLEAN Expired)
{
    switch (Condition) {
    case RBS_EV_LINK_BOUND: return ch->ThisLink != NULL;
    case RBS_EV_OFF_HOOK_CHANGED: return ch->RxChanged && ch->RxState == RBS_RX_OFF_HOOK;
    case RBS_EV_ON_HOOK_CHANGED: return ch->RxChanged && ch->RxState == RBS_RX_ON_HOOK;
    case RBS_EV_ON_HOOK: return ch->RxState == RBS_RX_ON_HOOK;
    case RBS_EV_ANSWER: return ch->AnswerRequested;
    case RBS_EV_CLEAR: return ch->ClearRequested;
    case RBS_EV_RUNNING: return RbsWatchedPosition(ch->State) != 0 && !Expired;
    case RBS_EV_EXPIRED: return RbsWatchedPosition(ch->State) != 0 && Expired;
    default: return FALSE;
    }
}

static void RbsRunActions(RBS_CHANNEL* ch, USHORT Actions)
{
    if (Actions & RBS_A_CLEAR_LINK) RbsClearLink(ch);
    if (Actions & RBS_A_REPORT_SEIZURE) RbsReportSeizure(ch);
    if (Actions & RBS_A_REPORT_CLEARING) RbsReportClearing(ch);
    if (Actions & RBS_A_REPORT_ANSWER) RbsReportAnswer(ch);
    if (Actions & RBS_A_SEND_ON) RbsSend(ch, FALSE);
    if (Actions & RBS_A_SEND_OFF) RbsSend(ch, TRUE);
    if (Actions & RBS_A_LOAD_123) {
        RbsLoad(ch, RBS_T_ANSWER_DELAY);
        RbsLoad(ch, RBS_T_WINK);
        RbsLoad(ch, RBS_T_AFTER_WINK);
    }
    if (Actions & RBS_A_LOAD_4) RbsLoad(ch, RBS_T_ANSWER_WAIT);
    if (Actions & RBS_A_LOAD_5) RbsLoad(ch, RBS_T_CLEAR_GUARD);
    if (Actions & RBS_A_LOAD_6) RbsLoad(ch, RBS_T_IDLE_GUARD);
    if (Actions & RBS_A_SELF_DISCONNECT) RbsStackCallRequest(REQUEST_DISCONNECT, ch, NULL, NORMALCALLCLEARING, 1);
    if (Actions & RBS_A_ENTER_IDLE) RbsEnterIdle(ch);
}

static void RbsChannelStep(RBS_CHANNEL* ch)
{
    // A state beyond the table watches no counter and has no rows: nothing to do. Nor
    // in a state without a counter when no row can match (the common case, looked at
    // first: once a step for every channel).
    const ULONG state = ch->State;
    if (state > RBS_CH_LAST_STATE) return;
    const ULONG position = RbsWatchTable.Position[state];
    if (position == 0 && !RbsRowMayMatch(ch, RbsRowIndex.Conditions[state])) return;
    UCHAR protocol = RbsProtocolBit(ch->Protocol);
    if (protocol == 0) return;
    // The counter of the state counts down once per step and signals when it is 0.
    BOOLEAN expired = FALSE;
    if (position != 0) {
        ULONG* c = &ch->Counter[position - 1];
        if (*c > 0) (*c)--;
        expired = *c == 0;
    }
    for (ULONG n = 0; n < RbsRowIndex.Count[ch->State]; n++) {
        const RBS_MACHINE_ROW& row = RbsMachine[RbsRowIndex.Row[ch->State][n]];
        if (!(row.Protocols & protocol)) continue;
        if (!RbsCondition(ch, row.Condition, expired)) continue;
        if (row.Condition == RBS_EV_OFF_HOOK_CHANGED || row.Condition == RBS_EV_ON_HOOK_CHANGED) ch->RxChanged = 0;
        if (row.Actions & RBS_A_NEW_CALL) RbsHistoryClear(ch);
        RbsSetState(ch, row.Next);
        RbsRunActions(ch, row.Actions);
        return;
    }
}

// ---- debounce ----

static void RbsDebounce(RBS_STACK* s)
{
    ULONG need = RbsDebounceSamples(s);
    const ULONG end = RbsEndChannel(s);
    for (ULONG k = RbsFirstChannel(s); k < end; k++) {
        RBS_CHANNEL* ch = &s->Channel[k];
        RBS_BITS* r = &s->RxBits[k];
        if (!ch->Enabled) continue;
        if (r->Latest == r->Previous) {
            if (r->RunCount < need) r->RunCount++;
        } else {
            r->Previous = r->Latest;
            r->RunCount = 1;
        }
        if (r->RunCount >= need) r->Stable = r->Latest;
        if (r->Stable == r->Reported) continue;
        r->Reported = r->Stable;
        ch->RxState = RbsReceivedState(ch->SignallingType, r->Stable);
        ch->RxChanged = 1;
        s->AnyChannelChanged = 1;
        RSS_TRACE("RBS line %lu ch %lu: received 0x%lX -> %lu\n", (unsigned long)s->Line, (unsigned long)k,
                  (unsigned long)r->Stable, (unsigned long)ch->RxState);
    }
}

// ---- the machine step ----

BOOLEAN RbsStackTimerHdlr(PVOID Context)
{
    RBS_STACK* s = RbsStack(Context);
    if (s == NULL) return TRUE;
    if (s->Mode == RBS_MODE_FRAMER) return TRUE;
    s->AnyChannelChanged = 0;
    if (++s->PeriodCount >= s->PeriodLength) {
        s->PeriodCount = 0;
        s->PeriodElapsed = 1;
    }
    const ULONG end = RbsEndChannel(s);
    for (ULONG k = RbsFirstChannel(s); k < end; k++) {
        RBS_CHANNEL* ch = &s->Channel[k];
        if (!ch->Enabled) continue;
        RbsHistorySample(ch->RxHistory, &ch->RxHistoryPos, RbsHistoryBit(s->RxBits[k].Latest));
        RbsHistorySample(ch->TxHistory, &ch->TxHistoryPos, RbsHistoryBit(s->TxBits[k].Latest));
        RbsChannelStep(ch);
    }
    if (s->PeriodElapsed && RbsLayer1Up(s)) {
        s->PeriodElapsed = 0;
        RbsDebounce(s);
    }
    if (s->Mode != RBS_MODE_TIMER) return TRUE;
    TmrRestart(&s->Pool, (ULONG_PTR)s, RbsTimerId(s), s->Timing[RBS_T_PERIOD]);
    return FALSE;
}

// ---- settings and reset ----

static void RbsChannelReset(RBS_STACK* s, RBS_CHANNEL* ch)
{
    ULONG k = ch->ChannelNumber;
    ch->State = RBS_CH_IDLE;
    ch->AnswerRequested = ch->ClearRequested = 0;
    RbsHistoryClear(ch);
    ch->ThisLink = NULL;
    ch->CallType = RBS_CALL_TYPE_ANALOG;
    ch->Outgoing = 0;
    ch->ProtocolWord = RBS_PROTOCOL_IMMEDIATE;
    ch->Protocol = RBS_PROTOCOL_EAR_MOUTH;
    std::memset(ch->Counter, 0, sizeof ch->Counter);
    ch->SignallingType = RBS_TYPE_DEFAULT;
    ch->ResetMark = 1;
    ch->RxState = RBS_RX_RESET;
    ch->RxChanged = 0;
    ch->TxState = RBS_TX_RESET;
    ch->ClearingPending = 0;
    ch->CalledNumber[0] = '1';
    ch->CalledNumber[1] = 0;
    ch->CallingNumber[0] = '0';
    ch->CallingNumber[1] = 0;
    std::memset(&s->RxBits[k], 0, sizeof s->RxBits[k]);
    std::memset(&s->TxBits[k], 0, sizeof s->TxBits[k]);
}

static void RbsReset(RBS_STACK* s)
{
    s->Mode = RBS_MODE_TIMER;
    RbsLoadTimingSet(s);
    s->PeriodCount = 0;
    s->PeriodLength = 1;
    s->PeriodElapsed = 0;
    s->Layer1State = RBS_L1_RESET;
    s->AnyChannelChanged = 0;
    RbsIdentifyChannels(s);
    for (ULONG k = 0; k < RBS_CHANNELS; k++) RbsChannelReset(s, &s->Channel[k]);
}

static void RbsApplyType(RBS_STACK* s, ULONG Setting)
{
    for (RBS_CHANNEL& ch : s->Channel)
        if (ch.Enabled) ch.SignallingType = Setting != 0 ? RBS_TYPE_SET : RBS_TYPE_DEFAULT;
}

static void RbsApplyCallType(RBS_STACK* s, ULONG Setting)
{
    for (RBS_CHANNEL& ch : s->Channel)
        if (ch.Enabled) ch.CallType = Setting == 1 ? RBS_CALL_TYPE_ISDN : RBS_CALL_TYPE_ANALOG;
}

static void RbsApplyProtocol(RBS_STACK* s, ULONG Setting)
{
    const RBS_PROTOCOL_ROW* row = &RbsProtocolOther;
    for (const RBS_PROTOCOL_ROW& r : RbsProtocolTable)
        if (r.Setting == Setting) row = &r;
    for (RBS_CHANNEL& ch : s->Channel)
        if (ch.Enabled) ch.Protocol = row->Protocol;
    s->Mode = row->Mode;
    RbsLoadTimingSet(s);
}

static void RbsApplyWinkDuration(RBS_STACK* s, ULONG Setting)
{
    const RBS_WINK_ROW* row = &RbsWinkOther;
    for (const RBS_WINK_ROW& r : RbsWinkTable)
        if (r.Setting == Setting) row = &r;
    s->Timing[RBS_T_WINK] = s->Mode == RBS_MODE_TIMER ? row->Timer : row->Framer;
}

static void RbsStartTick(RBS_STACK* s)
{
    if (s->Mode != RBS_MODE_TIMER || s->Pool.Entries != s->PoolEntries) return;
    TmrClear(&s->Pool, (ULONG_PTR)s, RbsTimerId(s));
    TmrStart(&s->Pool, (ULONG_PTR)s, RbsTimerId(s), RBS_FIRST_TICK_MS, RbsStackTimerHdlr, s);
}

static void RbsTick(RBS_STACK* s, ULONG ElapsedMs)
{
    if (s->Mode == RBS_MODE_FRAMER_INT)
        RbsStackTimerHdlr(s);
    else if (s->Mode == RBS_MODE_TIMER && s->Pool.Entries == s->PoolEntries)
        TmrTick(&s->Pool, ElapsedMs);
}

// ---- Control ----

static BOOLEAN RbsConstAnswer(ULONG Id, ULONG* Answer)
{
    switch (Id) {
    case CTL_INSTANCE_SIZE: *Answer = sizeof(RBS_STACK); return TRUE;
    case CTL_TIMESLOT_MAP_MODE: *Answer = 5; return TRUE;
    case CTL_HAS_D_CHANNEL: *Answer = 0; return TRUE;
    case CTL_PER_CHANNEL_HANDLING: *Answer = 1; return TRUE;
    default: return FALSE;
    }
}

static ULONG RbsCallControl(RBS_CHANNEL* ch, ULONG Id)
{
    switch (Id) {
    case CTL_CALL_CHANNEL: return ch->ChannelNumber;
    case CTL_CALLED_NUMBER_LENGTH:
    case CTL_CALLING_NUMBER_LENGTH: return 1;
    // Offsets of the digits inside the call object.
    case CTL_CALLED_NUMBER: return (ULONG)offsetof(RBS_CHANNEL, CalledNumber);
    case CTL_CALLING_NUMBER: return (ULONG)offsetof(RBS_CHANNEL, CallingNumber);
    default: return CONTROL_UNKNOWN;
    }
}

static ULONG RbsReceiveBits(RBS_STACK* s, ULONG Argument)
{
    ULONG bits = Argument & 0xFF;
    ULONG k = Argument >> 8;
    if (!RbsChannelInRange(k) || bits > RBS_BITS_MASK) return CONTROL_UNKNOWN;
    if (!RbsLayer1Up(s) || !s->Channel[k].Enabled) return CONTROL_UNKNOWN;
    s->RxBits[k].Latest = bits;
    return 0;
}

static ULONG RbsTransmitBits(RBS_STACK* s, ULONG Channel)
{
    if (!RbsChannelInRange(Channel) || !RbsLayer1Up(s) || !s->Channel[Channel].Enabled) return 0;
    return s->TxBits[Channel].Latest;
}

static ULONG RbsInstanceControl(RBS_STACK* s, ULONG Id, ULONG Argument)
{
    switch (Id) {
    case CTL_RESET: RbsReset(s); return CONTROL_UNKNOWN;
    case CTL_RBS_TYPE: RbsApplyType(s, Argument); return 0;
    case CTL_RBS_CALL_TYPE: RbsApplyCallType(s, Argument); return 0;
    case CTL_RBS_PROTOCOL: RbsApplyProtocol(s, Argument); return 0;
    case CTL_RBS_WINK_DURATION: RbsApplyWinkDuration(s, Argument); return 0;
    case CTL_START_TICK: RbsStartTick(s); return 0;
    case CTL_TICK: RbsTick(s, Argument); return 0;
    case CTL_INIT_TIMER_POOL: TmrInit(&s->Pool, s->PoolEntries, RBS_TIMER_ENTRIES); return 0;
    case CTL_FILL_INTERFACE_TABLE: RSS_FillInterfaceTable(&s->Upcalls); return 0;
    case CTL_LINE_INDEX:
        if (Argument >= MAX_GROUPS) return CONTROL_UNKNOWN;
        s->Line = Argument;
        s->InstanceSize = sizeof(RBS_STACK);
        RbsIdentifyChannels(s);
        return 0;
    case CTL_E1_FLAG:
        s->E1 = Argument == 1 ? 1 : 0;
        RbsIdentifyChannels(s);
        return 0;
    case CTL_NUM_B_CHANNELS: return s->E1 ? RBS_CHANNELS : RBS_T1_CHANNELS;
    case CTL_POLL_QUESTION: return s->Mode == RBS_MODE_TIMER;
    case CTL_FRAMER_INT_QUESTION: return s->Mode == RBS_MODE_FRAMER_INT;
    case CTL_FRAMER_QUESTION: return s->Mode == RBS_MODE_FRAMER;
    case CTL_RX_SIGNALLING_BITS: return RbsReceiveBits(s, Argument);
    case CTL_TX_SIGNALLING_BITS: return RbsTransmitBits(s, Argument);
    case CTL_CHANNEL_STATE:
        if (!RbsChannelInRange(Argument) || !RbsLayer1Up(s) || !s->Channel[Argument].Enabled) return CONTROL_UNKNOWN;
        if (s->Channel[Argument].State < RBS_CH_FIRST_STATE || s->Channel[Argument].State > RBS_CH_LAST_STATE)
            return CONTROL_UNKNOWN;
        return s->Channel[Argument].State;
    case CTL_IS_E1: return s->E1;
    case CTL_LAYER1_UP: return RbsLayer1Up(s) ? 1 : 0;
    default: return CONTROL_UNKNOWN;
    }
}

ULONG RbsStackQueryParam(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    ULONG answer;
    // The bit exchange asks twice per channel twice a multiframe: it is answered first.
    if (Kind == CTL_KIND_SET && Object != NULL) {
        if (Id == CTL_RX_SIGNALLING_BITS) return RbsReceiveBits(RbsStack(Object), Argument);
        if (Id == CTL_TX_SIGNALLING_BITS) return RbsTransmitBits(RbsStack(Object), Argument);
    }
    if (Kind >= CTL_NUM_KINDS) return CONTROL_UNKNOWN;
    if (Kind == CTL_KIND_CONST) return RbsConstAnswer(Id, &answer) ? answer : CONTROL_UNKNOWN;
    if (Object == NULL) return CONTROL_UNKNOWN;
    if (RbsConstAnswer(Id, &answer)) return answer;
    if (Kind == CTL_KIND_CALL) {
        RBS_CHANNEL* ch = RbsCallObject(Object);
        return ch != NULL ? RbsCallControl(ch, Id) : CONTROL_UNKNOWN;
    }
    return RbsInstanceControl(RbsStack(Object), Id, Argument);
}

// As RbsTransmitBits and RbsReceiveBits for every channel, the line's state looked at once.
void RbsStackTransmitBits(PVOID Stack, UCHAR* Bits)
{
    RBS_STACK* s = RbsStack(Stack);
    std::memset(Bits, 0, RBS_CHANNELS);
    if (!RbsLayer1Up(s)) return;
    const ULONG end = RbsEndChannel(s);
    for (ULONG k = RbsFirstChannel(s); k < end; k++)
        if (s->Channel[k].Enabled) Bits[k] = (UCHAR)s->TxBits[k].Latest;
}

void RbsStackReceiveBits(PVOID Stack, const UCHAR* Bits)
{
    RBS_STACK* s = RbsStack(Stack);
    if (!RbsLayer1Up(s)) return;
    const ULONG end = RbsEndChannel(s);
    for (ULONG k = RbsFirstChannel(s); k < end; k++)
        if (Bits[k] <= RBS_BITS_MASK && s->Channel[k].Enabled) s->RxBits[k].Latest = Bits[k];
}

PUCHAR RbsStackCallNumber(PVOID CallObject, ULONG Id)
{
    RBS_CHANNEL* ch = RbsCallObject(CallObject);
    if (ch == NULL) return NULL;
    if (Id == CTL_CALLED_NUMBER) return ch->CalledNumber;
    if (Id == CTL_CALLING_NUMBER) return ch->CallingNumber;
    return NULL;
}

// ---- the other entries ----

void RbsStackSetAdapter(PVOID Stack, Adapter* ThisAdapter)
{
    if (Stack != NULL && ThisAdapter != NULL) RbsStack(Stack)->ThisAdapter = ThisAdapter;
}

void RbsStackLayer1Indication(Adapter*, PVOID Stack, ULONG, ULONG State)
{
    RBS_STACK* s = RbsStack(Stack);
    if (s == NULL) return;
    if (State == LAYER1_ACTIVATED) {
        s->Layer1State = RBS_L1_UP;
        if (s->Upcalls.RSS_SetLed != NULL) s->Upcalls.RSS_SetLed(s->ThisAdapter, s->Line, LED_MASK_DATA_LINK, 1);
        return;
    }
    if (State != LAYER1_DEACTIVATED) return;
    // Every call on the line is torn down upward, then every channel is made idle and
    // sends on-hook: no call outlives the line, and the far end's bits are judged
    // afresh when the line comes back.
    for (ULONG k = 0; k < RBS_CHANNELS; k++)
        if (s->Channel[k].Enabled && s->Upcalls.OutOfService != NULL) s->Upcalls.OutOfService(s->ThisAdapter, s->Line, k);
    for (ULONG k = 0; k < RBS_CHANNELS; k++) {
        RBS_CHANNEL* ch = &s->Channel[k];
        if (!ch->Enabled) continue;
        RbsClearLink(ch);
        RbsSetState(ch, RBS_CH_IDLE);
        RbsEnterIdle(ch);
        RbsSend(ch, FALSE);
        ch->RxState = RBS_RX_RESET;
        ch->RxChanged = 0;
        std::memset(&s->RxBits[k], 0, sizeof s->RxBits[k]);
    }
    if (s->Upcalls.RSS_SetLed != NULL) s->Upcalls.RSS_SetLed(s->ThisAdapter, s->Line, LED_MASK_PHYSICAL, 0);
    s->Layer1State = RBS_L1_DOWN;
}

PVOID RbsStackAllocCall(PVOID Stack, Link* ThisLink, ULONG LinkIndex)
{
    RBS_STACK* s = RbsStack(Stack);
    if (s == NULL || ThisLink == NULL || !RbsLayer1Up(s)) return NULL;
    ULONG k = LinkIndex + 1;
    if (!RbsChannelInRange(k)) return NULL;
    RBS_CHANNEL* ch = &s->Channel[k];
    if (!ch->Enabled || ch->State != RBS_CH_IDLE || RbsProtocolBit(ch->Protocol) == 0) return NULL;
    if (ch->ThisLink != ThisLink) RbsClearLink(ch);  // a Link left from a finished call
    ch->ThisLink = ThisLink;
    RbsSetState(ch, RBS_CH_RESERVED);
    return ch;
}

// REQUEST_SETUP: the adapter seizes the trunk (off-hook); a wink-start trunk first
// answers with a wink, then the far end's off-hook is the answer.
static void RbsRequestSetup(RBS_CHANNEL* ch)
{
    if (ch->State != RBS_CH_RESERVED || ch->ThisLink == NULL) return;
    ch->Outgoing = 1;
    RbsHistoryClear(ch);
    RbsSend(ch, TRUE);
    if (ch->Protocol == RBS_PROTOCOL_WINK) {
        RbsLoad(ch, RBS_T_ANSWER_WAIT);
        RbsSetState(ch, RBS_CH_OUT_WAIT_WINK);
    } else {
        RbsSetState(ch, RBS_CH_OUT_WAIT_ANSWER);
    }
}

static void RbsRequestSetupResponse(RBS_CHANNEL* ch)
{
    RBS_STACK* s = ch->ThisStack;
    if (ch->State != RBS_CH_OFFERED || ch->ThisLink == NULL) return;
    ch->AnswerRequested = 1;
    if (s->Upcalls.ConnectHdlr != NULL) s->Upcalls.ConnectHdlr(ch->ThisLink);
}

// REQUEST_DISCONNECT: the machine sends on-hook and guards before idle (an outgoing
// call goes on-hook at once); the Link is released either way.
static void RbsRequestDisconnect(RBS_CHANNEL* ch)
{
    if (ch->State != RBS_CH_IDLE) {
        if (ch->Outgoing) RbsSend(ch, FALSE);
        ch->ClearRequested = 1;
    }
    RbsClearLink(ch);
}

void RbsStackCallRequest(UCHAR Primitive, PVOID CallObject, PUCHAR, UCHAR Value, ULONG)
{
    RBS_CHANNEL* ch = RbsCallObject(CallObject);
    if (ch == NULL) return;
    RSS_TRACE("RBS line %lu ch %lu: primitive 0x%02X (0x%02X) in state %lu\n", (unsigned long)ch->Line,
              (unsigned long)ch->ChannelNumber, Primitive, Value, (unsigned long)ch->State);
    switch (Primitive) {
    case REQUEST_SETUP: RbsRequestSetup(ch); break;
    case REQUEST_SETUP_RESPONSE: RbsRequestSetupResponse(ch); break;
    case REQUEST_DISCONNECT: RbsRequestDisconnect(ch); break;
    default: break;
    }
}

// No D channel: a frame is accepted and dropped. No management actions.
BOOLEAN RbsStackPutFrame(PVOID, PUCHAR, ULONG) { return TRUE; }
void RbsStackManagementRequest(ULONG, PVOID, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG) {}

void RbsStackGetOps(SGNL_PROTOCOL_OPS* Ops)
{
    Ops->SetAdapter = RbsStackSetAdapter;
    Ops->Layer1Indication = RbsStackLayer1Indication;
    Ops->PutFrame = RbsStackPutFrame;
    Ops->Control = RbsStackQueryParam;
    Ops->AllocCall = RbsStackAllocCall;
    Ops->CallRequest = RbsStackCallRequest;
    Ops->ManagementRequest = RbsStackManagementRequest;
}
