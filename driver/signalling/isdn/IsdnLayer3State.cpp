// ISDN layer 3 call states (Q.931 user side): the per-message acceptance, the error
// rule, the incoming-call procedure, RESTART and SERVICE, and the call state machine
// as one table of (state, event) -> next state and action, with the common rows that
// the call states share. Runs under AdapterSpinLock, held by every caller.
#include <cstring>

#include "driver/signalling/isdn/IsdnStack.h"

#define MSG(t) (0x100u | (t))
#define ANY_STATE 0xF0
#define NEXT_BY_ACTION 0xFF

typedef void (*ISDN_ACTION)(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG* m);

typedef struct _ISDN_STATE_ROW {
    UCHAR State;
    USHORT Event;  // event code, or MSG(message type)
    UCHAR Next;    // set before the action runs; NEXT_BY_ACTION: the action decides
    ISDN_ACTION Action;
} ISDN_STATE_ROW;

// ---- helpers ----

static void StopCallTimers(ISDN_STACK* s, ISDN_CALL* c)
{
    for (ULONG id = ISDN_FIRST_CALL_TIMER; id < ISDN_FIRST_CALL_TIMER + ISDN_NUM_CALL_TIMERS; id++) IsdnTimerStop(s, id, c);
}

static void StartFresh(ISDN_STACK* s, ULONG Id, ISDN_CALL* c)
{
    IsdnTimerStop(s, Id, c);
    IsdnTimerStart(s, Id, c);
}

void IsdnFreeCall(ISDN_STACK* s, ISDN_CALL* c)
{
    IsdnPurgeCallPrimitives(s, c);
    StopCallTimers(s, c);
    Link* link = c->ThisLink;
    c->CallRefSet = 0;
    c->CallRef = 0;
    c->CallRefFlag = 0;
    c->State = 0;
    c->SetupPending = 0;
    c->SetupSent = 0;
    c->FirstAnswerSeen = 0;
    c->Exclusive = 0;
    c->OutNumber[0] = c->CalledNumber[0] = c->CallingNumber[0] = 0;
    c->ThisLink = NULL;
    if (link != NULL && s->Upcalls.RSS_ClearLinkBChannel) s->Upcalls.RSS_ClearLinkBChannel(link);
}

// "clear": cause field 0x81 and upcall 0x8F.
static void ReportCleared(ISDN_STACK* s, ISDN_CALL* c)
{
    c->Cause = CAUSE_REPORT_CLEARED;
    IsdnUpcall(s, 0x8F, c);
}

static void ReportConnected(ISDN_STACK* s, ISDN_CALL* c, ULONG Upcall)
{
    c->Cause = CAUSE_REPORT_CONNECTED;
    IsdnUpcall(s, Upcall, c);
}

// Answers a message with the call reference it came with.
static void ReplyToMessage(ISDN_STACK* s, const ISDN_RX_MSG* m, UCHAR Type, UCHAR Cause, UCHAR CallState)
{
    ISDN_TX_ARGS a;
    std::memset(&a, 0, sizeof a);
    a.Pd = PD_Q931;
    a.Type = Type;
    a.Cause = Cause;
    a.CallState = CallState;
    a.CrLen = m->CrLen;
    a.CrFlag = (UCHAR)(m->CrFlag ^ 0x80);
    a.CrValue = m->CrValue;
    a.Channel = 0xFF;
    IsdnSendArgs(s, &a);
}

// The cause a message of the call carries: the call's Q.931 cause, never one of the
// stack's internal values (a call the stack reported cleared ended on a timer).
static UCHAR WireCause(const ISDN_CALL* c)
{
    if (c->Cause != 0 && c->Cause < 0x80) return c->Cause;
    if (c->Cause == CAUSE_REPORT_CLEARED || c->Cause == CAUSE_CLEARED_BY_STACK) return CAUSE_TIMER_RECOVERY;
    return NORMALCALLCLEARING;
}

static void SendStatus(ISDN_STACK* s, ISDN_CALL* c)
{
    ISDN_TX_ARGS a;
    IsdnArgsForCall(s, c, MT_STATUS, &a);
    a.Cause = WireCause(c);
    IsdnSendArgs(s, &a);
}

static ULONG ProfileWord(const ISDN_STACK* s, ULONG w)
{
    const UCHAR* p = &s->Profile[4 * w];
    return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}

// ---- actions ----

static void ActNewOutgoingCall(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    // A layer-3 test call brings the reference its sender chose (only it reaches here
    // with one set); every other call takes the next of the counter.
    if (!c->CallRefSet || c->CallRef == 0) {
        c->CallRef = (USHORT)s->CallRefCounter;
        s->CallRefCounter = s->CallRefCounter + 1 >= 32768 ? 1 : s->CallRefCounter + 1;
    }
    c->CallRefLen = 2;
    c->CallRefFlag = 0x80;  // the network's messages for a call we originated carry the flag
    c->CallRefSet = 1;
    c->SetupPending = 1;
    c->SetupSent = 1;
    c->FirstAnswerSeen = 0;
    c->Exclusive = 0;
    c->Cause = NORMALCALLCLEARING;
    if (!IsdnSendMessage(s, c, MT_SETUP, 0)) {
        // The number does not fit the one frame a message may take: refused. Inside
        // call control's request the cleared call object tells it; later, the upcall.
        if (!s->InCallRequest) {
            c->Cause = CAUSE_REPORT_CLEARED;
            IsdnUpcall(s, 0x95, c);
        }
        IsdnFreeCall(s, c);
        return;
    }
    StartFresh(s, ISDN_TMR_T4, c);
}

static void ActFreeUnused(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*) { IsdnFreeCall(s, c); }

static void ActState0ReleaseComplete(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    if (c->ThisLink != NULL) ReportCleared(s, c);
    IsdnFreeCall(s, c);
}

static void ActState0Information(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    if (c->Cause != CAUSE_CLEAR_ON_INFORMATION) return;
    IsdnUpcall(s, 0x99, c);
    IsdnPurgeCallPrimitives(s, c);
}

static void ActT4Expiry(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    if (c->TimerExpiries[ISDN_TMR_T4 - ISDN_FIRST_CALL_TIMER] <= 1) {
        IsdnSendMessage(s, c, MT_SETUP, 0);
        IsdnTimerStart(s, ISDN_TMR_T4, c);
        return;
    }
    ULONG channel = c->Channel;
    if (ProfileWord(s, 3) == 1) IsdnSendMessage(s, c, MT_RELEASE_COMPLETE, s->Profile[25]);
    ReportCleared(s, c);
    // The owner has been told: the channel goes out of service with no call left on it.
    IsdnFreeCall(s, c);
    if (ProfileWord(s, 3) != 1 && s->Upcalls.OutOfService) s->Upcalls.OutOfService(s->ThisAdapter, s->Line, channel);
}

static void ActDisconnectWithCause(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    StopCallTimers(s, c);
    IsdnSendMessage(s, c, MT_DISCONNECT, WireCause(c));
    StartFresh(s, ISDN_TMR_T6, c);
}

static void ActStopT4(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*) { IsdnTimerStop(s, ISDN_TMR_T4, c); }
static void ActStopT5(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*) { IsdnTimerStop(s, ISDN_TMR_T5, c); }
static void ActStopT8(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*) { IsdnTimerStop(s, ISDN_TMR_T8, c); }

static void ActCallProceeding(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    IsdnTimerStop(s, ISDN_TMR_T4, c);
    IsdnTimerStop(s, ISDN_TMR_T5, c);
    StartFresh(s, ISDN_TMR_T8, c);
    IsdnUpcall(s, 0x90, c);
}

static void ActSetupAck(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    IsdnTimerStop(s, ISDN_TMR_T4, c);
    StartFresh(s, ISDN_TMR_T5, c);
}

static void ActConnectOutgoing(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    StopCallTimers(s, c);
    c->SetupPending = 0;
    IsdnSendMessage(s, c, MT_CONNECT_ACK, 0);
    ReportConnected(s, c, 0x8F);
}

static void ActState1ReleaseComplete(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    IsdnUpcall(s, 0x95, c);
    IsdnFreeCall(s, c);
}

static void ActTimeoutDisconnect(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    StopCallTimers(s, c);
    IsdnSendMessage(s, c, MT_DISCONNECT, NORMALCALLCLEARING);
    StartFresh(s, ISDN_TMR_T6, c);
    ReportCleared(s, c);
}

static void ActState2Established(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*) { IsdnUpcall(s, 0x91, c); }

static void ActReleaseCause6(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    StopCallTimers(s, c);
    IsdnSendMessage(s, c, MT_RELEASE, 6);
    StartFresh(s, ISDN_TMR_T7, c);
}

static void ActProgress(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    IsdnTimerStop(s, ISDN_TMR_T8, c);
    if (ProfileWord(s, 5) == 1) c->State = 4;
}

static void ActOfferCall(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    IsdnSendMessage(s, c, MT_ALERTING, 0);
    IsdnUpcall(s, 0x9E, c);
}

static void ActAnswer(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    StartFresh(s, ISDN_TMR_T9, c);
    IsdnSendMessage(s, c, MT_CONNECT, 0);
}

static void ActT9Expiry(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    if (c->TimerExpiries[ISDN_TMR_T9 - ISDN_FIRST_CALL_TIMER] <= 1 && s->Profile[28] == 1) {
        IsdnSendMessage(s, c, MT_CONNECT, 0);
        IsdnTimerStart(s, ISDN_TMR_T9, c);
        return;
    }
    c->State = 11;
    StopCallTimers(s, c);
    IsdnSendMessage(s, c, MT_DISCONNECT, 0x66);
    StartFresh(s, ISDN_TMR_T6, c);
    c->Cause = CAUSE_REPORT_CLEARED;
    IsdnUpcall(s, 0x9C, c);
}

static void ActConnectAck(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    IsdnTimerStop(s, ISDN_TMR_T9, c);
    ReportConnected(s, c, 0x9C);
}

static void ActReleaseAfterT6(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    IsdnSendMessage(s, c, MT_RELEASE, NORMALCALLCLEARING);
    StartFresh(s, ISDN_TMR_T7, c);
}

static void ActReleaseWithCause(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    StopCallTimers(s, c);
    IsdnSendMessage(s, c, MT_RELEASE, WireCause(c));
    StartFresh(s, ISDN_TMR_T7, c);
}

static void ActReleasedByNetwork(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    StopCallTimers(s, c);
    UCHAR cause = WireCause(c);
    IsdnUpcall(s, 0x9A, c);
    IsdnSendMessage(s, c, MT_RELEASE_COMPLETE, cause);
    IsdnFreeCall(s, c);
}

static void ActT7Expiry(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    if (c->TimerExpiries[ISDN_TMR_T7 - ISDN_FIRST_CALL_TIMER] <= 1) {
        IsdnSendMessage(s, c, MT_RELEASE, WireCause(c));
        IsdnTimerStart(s, ISDN_TMR_T7, c);
        return;
    }
    if (s->Profile[24] == 1) IsdnSendMessage(s, c, MT_RELEASE_COMPLETE, 0x66);
    BOOLEAN l2Trouble = (s->L2.Flags & (L2F_TIMER_RECOVERY | L2F_PEER_BUSY)) != 0 || s->L2.L3State != L2_ESTABLISHED;
    if (!(s->Profile[27] != 0 && l2Trouble)) {
        ISDN_TX_ARGS a;
        std::memset(&a, 0, sizeof a);
        a.Pd = PD_Q931;
        a.Type = MT_RESTART;
        a.CrLen = 2;
        a.RestartClass = 0;
        a.Channel = c->Channel;
        a.Exclusive = 1;
        IsdnSendArgs(s, &a);
    }
    c->Cause = CAUSE_CLEARED_BY_STACK;
    IsdnUpcall(s, 0x8E, c);
    IsdnFreeCall(s, c);
}

static void ActReleaseDone(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    IsdnUpcall(s, 0x8E, c);
    IsdnFreeCall(s, c);
}

// Common rows.
// STATUS with cause 30; the call keeps its own cause for its clearing.
static void ActStatusEnquiry(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    UCHAR cause = c->Cause;
    c->Cause = 0x1E;
    SendStatus(s, c);
    c->Cause = cause;
}

static void ActInformation(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*) { IsdnUpcall(s, 0x99, c); }

static void ActReleaseComplete(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    IsdnUpcall(s, 0x9A, c);
    IsdnFreeCall(s, c);
}

static void ActStatus(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG* m)
{
    if (m->CallState == 0) {
        c->Cause = NORMALCALLCLEARING;
        IsdnUpcall(s, 0x9A, c);
        IsdnFreeCall(s, c);
    } else if (m->CallState != c->State) {
        c->State = 11;
        c->Cause = 0x65;
        StopCallTimers(s, c);
        IsdnSendMessage(s, c, MT_DISCONNECT, 0x65);
        StartFresh(s, ISDN_TMR_T6, c);
    }
}

static void ActLayer2Lost(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    StopCallTimers(s, c);
    c->Cause = NORMALCALLCLEARING;
    IsdnUpcall(s, 0x9B, c);
    IsdnFreeCall(s, c);
}

static void ActRelease(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    StopCallTimers(s, c);
    IsdnUpcall(s, 0x9A, c);
    IsdnSendMessage(s, c, MT_RELEASE_COMPLETE, 0);
    IsdnFreeCall(s, c);
}

static void ActDisconnectReceived(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG*)
{
    StopCallTimers(s, c);
    IsdnUpcall(s, 0x9B, c);
}

// The call is already being cleared from this side.
static void ActIgnore(ISDN_STACK*, ISDN_CALL*, const ISDN_RX_MSG*) {}

// The call state machine: specific rows first, then the common rows for states 1 to 12.
static const ISDN_STATE_ROW StateRows[] = {
    {0, REQUEST_SETUP, 1, ActNewOutgoingCall},
    {0, REQUEST_DISCONNECT, 0, ActFreeUnused},
    {0, MSG(MT_RELEASE_COMPLETE), 0, ActState0ReleaseComplete},
    {0, MSG(MT_INFORMATION), 0, ActState0Information},
    {1, EV_T4_EXPIRY, NEXT_BY_ACTION, ActT4Expiry},
    {1, REQUEST_DISCONNECT, 11, ActDisconnectWithCause},
    {1, MSG(MT_CALL_PROCEEDING), 3, ActCallProceeding},
    {1, MSG(MT_ALERTING), 4, ActStopT4},
    {1, MSG(MT_CONNECT), 10, ActConnectOutgoing},
    {1, MSG(MT_SETUP_ACK), 2, ActSetupAck},
    {1, MSG(MT_RELEASE_COMPLETE), 0, ActState1ReleaseComplete},
    {2, EV_T5_EXPIRY, 11, ActTimeoutDisconnect},
    {2, EV_L2_ESTABLISHED_CALL, 2, ActState2Established},
    {2, REQUEST_RELEASE, 19, ActReleaseCause6},
    {2, MSG(MT_CALL_PROCEEDING), 3, ActCallProceeding},
    {2, MSG(MT_ALERTING), 4, ActStopT5},
    {2, MSG(MT_CONNECT), 10, ActConnectOutgoing},
    {3, EV_T8_EXPIRY, 11, ActTimeoutDisconnect},
    {3, MSG(MT_ALERTING), 4, ActStopT8},
    {3, MSG(MT_PROGRESS), 3, ActProgress},
    {3, MSG(MT_CONNECT), 10, ActConnectOutgoing},
    {3, REQUEST_RELEASE, 19, ActReleaseCause6},
    {4, MSG(MT_CONNECT), 10, ActConnectOutgoing},
    {6, EVENT_CALL_ACCEPTED, 7, ActOfferCall},
    {6, REQUEST_SETUP_RESPONSE, 8, ActAnswer},
    {7, REQUEST_SETUP_RESPONSE, 8, ActAnswer},
    {8, EV_T9_EXPIRY, 8, ActT9Expiry},
    {8, MSG(MT_CONNECT_ACK), 10, ActConnectAck},
    {11, EV_T6_EXPIRY, 19, ActReleaseAfterT6},
    {11, REQUEST_DISCONNECT, 11, ActIgnore},
    {11, MSG(MT_DISCONNECT), 19, ActReleaseWithCause},
    {11, MSG(MT_RELEASE), 0, ActReleasedByNetwork},
    {12, REQUEST_RELEASE, 19, ActReleaseWithCause},
    {12, MSG(MT_RELEASE), 0, ActReleasedByNetwork},
    {19, EV_T7_EXPIRY, 19, ActT7Expiry},
    {19, MSG(MT_RELEASE), 0, ActReleaseDone},
    {19, MSG(MT_RELEASE_COMPLETE), 0, ActReleaseDone},
    {19, EV_L2_RELEASED_CALL, 0, ActReleaseDone},
    // Common rows.
    {ANY_STATE, MSG(MT_STATUS_ENQUIRY), NEXT_BY_ACTION, ActStatusEnquiry},
    {ANY_STATE, MSG(MT_INFORMATION), NEXT_BY_ACTION, ActInformation},
    {ANY_STATE, MSG(MT_RELEASE_COMPLETE), 0, ActReleaseComplete},
    {ANY_STATE, MSG(MT_STATUS), NEXT_BY_ACTION, ActStatus},
    {ANY_STATE, EV_L2_RELEASED_CALL, 0, ActLayer2Lost},
    {ANY_STATE, REQUEST_DISCONNECT, 11, ActDisconnectWithCause},
    {ANY_STATE, MSG(MT_RELEASE), 0, ActRelease},
    {ANY_STATE, MSG(MT_DISCONNECT), 12, ActDisconnectReceived},
};

static const ISDN_STATE_ROW* FindRow(UCHAR State, ULONG Event)
{
    for (const ISDN_STATE_ROW& r : StateRows)
        if (r.State == State && r.Event == Event) return &r;
    if (State >= 1 && State <= 12)
        for (const ISDN_STATE_ROW& r : StateRows)
            if (r.State == ANY_STATE && r.Event == Event) return &r;
    return NULL;
}

static void RunState(ISDN_STACK* s, ISDN_CALL* c, ULONG Event, const ISDN_RX_MSG* m)
{
    const ISDN_STATE_ROW* r = FindRow(c->State, Event);
    if (r == NULL) {
        RSS_TRACE("IsdnL3: channel %u state %u ignores event 0x%lx\n", c->Channel, c->State, (unsigned long)Event);
        return;
    }
    if (r->Next != NEXT_BY_ACTION) c->State = r->Next;
    r->Action(s, c, m);
}

// ---- events of class 0xA0 ----

// RESTART of each channel whose call a reset of the stack forgot, so the network
// clears what it still holds there.
static void RestartForgottenChannels(ISDN_STACK* s)
{
    for (ULONG n = 0; n < 32 && s->RestartChannels != 0; n++) {
        if (!(s->RestartChannels & (1u << n))) continue;
        s->RestartChannels &= ~(1u << n);
        if (!IsdnIsBChannel(s, n) || s->Calls[n].State != 0) continue;  // a new call holds it already
        ISDN_TX_ARGS a;
        std::memset(&a, 0, sizeof a);
        a.Pd = PD_Q931;
        a.Type = MT_RESTART;
        a.CrLen = 2;
        a.RestartClass = 0;
        a.Channel = (UCHAR)n;
        a.Exclusive = 1;
        IsdnSendArgs(s, &a);
    }
}

// The link came up again (a reset, or established after a failure): the network may
// have cleared calls meanwhile without being heard. Each active call is asked after;
// a network that no longer knows it answers with the null state and the call is cleared.
// A call whose last enquiry the store still holds is not asked again: a link reset again
// and again would heap up enquiries, and every message after them would wait behind them.
static void EnquireActiveCalls(ISDN_STACK* s)
{
    for (ISDN_CALL& c : s->Calls) {
        if (!IsdnIsBChannel(s, c.Channel) || c.State != 10) continue;
        ISDN_TX_ARGS a;
        IsdnArgsForCall(s, &c, MT_STATUS_ENQUIRY, &a);
        UCHAR m[L2_MAX_MESSAGE];
        ULONG n = IsdnBuildMessage(s, &a, m, sizeof m);
        if (n != 0 && IsdnL2Holds(s, m, n)) continue;
        IsdnSendArgs(s, &a);
    }
}

void IsdnRunPrimitive(ISDN_STACK* s, ULONG Code, ISDN_CALL* Call)
{
    ISDN_CALL* savedCall = s->CurrentCall;
    ULONG savedEvent = s->CurrentEvent;
    s->CurrentCall = Call;
    s->CurrentEvent = Code;
    if (!IsdnL3Event(s, Code, Call)) IsdnPostEvent(s, Code, Call, 0);
    s->CurrentCall = savedCall;
    s->CurrentEvent = savedEvent;
}

BOOLEAN IsdnL3Event(ISDN_STACK* s, ULONG Code, ISDN_CALL* Call)
{
    if (s->L2.TxFull && Code != EV_L2_RELEASED_CALL && Code != EV_L2_RELEASED) return FALSE;  // wait for room
    switch (Code) {
    case EV_L2_RELEASED_CALL:
    case EV_L2_RELEASED:
        // Every call learns that the link is gone.
        for (ISDN_CALL& c : s->Calls)
            if (IsdnIsBChannel(s, c.Channel) && c.State != 0) RunState(s, &c, EV_L2_RELEASED_CALL, NULL);
        return TRUE;
    case EV_L2_ESTABLISHED_CALL:
        if (Call != NULL) RunState(s, Call, Code, NULL);
        return TRUE;
    case EV_L2_ESTABLISHED:
        RestartForgottenChannels(s);
        EnquireActiveCalls(s);
        return TRUE;
    case EV_L3_MESSAGE:
    case EV_L3_DECODE_ONLY: return IsdnL3MessageEvent(s, s->CurrentData, Code == EV_L3_DECODE_ONLY);
    default: break;
    }
    if (Call == NULL) return TRUE;
    if ((Code >= EV_T9_EXPIRY && Code <= EV_T4_EXPIRY) || Code >= REQUEST_SETUP) RunState(s, Call, Code, NULL);
    return TRUE;
}

// ---- received messages ----

static void Incompatible(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG* m, UCHAR Cause)
{
    if (c->State == 0) {
        ReplyToMessage(s, m, MT_RELEASE_COMPLETE, 0x51, 0);
        return;
    }
    c->Cause = Cause;
    SendStatus(s, c);
}

// Cause of DISCONNECT, RELEASE, RELEASE COMPLETE and INFORMATION, taken only while
// the call holds no cause of its own.
static void ExtractCause(ISDN_CALL* c, const ISDN_RX_MSG* m)
{
    if (c->Cause != 0 && c->Cause < 0x80) return;
    if (m->HasCause)
        c->Cause = (m->Type == MT_DISCONNECT && m->CauseValue == 0) ? 0x64 : m->CauseValue;
    else
        c->Cause = m->Type == MT_DISCONNECT ? 0x60 : NORMALCALLCLEARING;
}

// Per-message acceptance; FALSE: answered here, the state handler does not run.
static BOOLEAN Accepted(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG* m)
{
    const ISDN_MSG_DEF* d = IsdnFindMsgDef(m->Pd, m->Type);
    UCHAR st = c->State;
    ULONG bit = st < 32 ? 1u << st : 0;
    if (d == NULL || d->AcceptStates == 0) {
        if (st == 0)
            ReplyToMessage(s, m, MT_RELEASE_COMPLETE, 0x51, 0);
        else {
            c->Cause = 0x61;
            SendStatus(s, c);
        }
        return FALSE;
    }
    if (m->Type == MT_CONNECT && st == 1 && s->Profile[10] == 1) return TRUE;
    if (d->AcceptStates & bit) return TRUE;
    switch (m->Type) {
    case MT_PROGRESS:
        if (st == 4) return FALSE;
        break;
    case MT_DISCONNECT:
        if (st == 19) {
            SendStatus(s, c);
            return FALSE;
        }
        if (st == 1) {
            if (s->Profile[11] == 1) {
                SendStatus(s, c);
                IsdnTimerStart(s, ISDN_TMR_T4, c);
            } else {
                StopCallTimers(s, c);
                c->State = 19;
                IsdnSendMessage(s, c, MT_RELEASE, 0);
                StartFresh(s, ISDN_TMR_T7, c);
            }
            return FALSE;
        }
        break;
    case MT_RELEASE:
        StopCallTimers(s, c);
        IsdnUpcall(s, 0x9A, c);
        IsdnSendMessage(s, c, MT_RELEASE_COMPLETE, 0);
        IsdnFreeCall(s, c);
        return FALSE;
    case MT_STATUS:
        if (st == 0) {
            if (m->CallState != 0) ReplyToMessage(s, m, MT_RELEASE_COMPLETE, NORMALCALLCLEARING, 0);
            return FALSE;
        }
        break;
    default: break;
    }
    Incompatible(s, c, m, s->Profile[0]);
    return FALSE;
}

// First answer to an outgoing SETUP: channel identification mandatory; the call may
// move to the channel the network chose. Returns the call to go on with, NULL when
// the message has been answered here.
static ISDN_CALL* FirstAnswer(ISDN_STACK* s, ISDN_CALL* c, const ISDN_RX_MSG* m)
{
    c->FirstAnswerSeen = 1;
    if (!m->HasChannel) {
        c->Cause = 0x60;
        SendStatus(s, c);
        return NULL;
    }
    if (m->Channel != c->Channel && !c->Exclusive && s->Profile[1] != 0) {
        ISDN_CALL* n = &s->Calls[m->Channel];
        if (n->State != 0 || n->ThisLink != NULL || n->CallRefSet) {
            // The network chose a channel that is busy here.
            c->State = 11;
            c->Cause = 0x2C;
            StopCallTimers(s, c);
            IsdnSendMessage(s, c, MT_DISCONNECT, 0x2C);
            StartFresh(s, ISDN_TMR_T6, c);
            ReportCleared(s, c);
            return NULL;
        }
        StopCallTimers(s, c);
        UCHAR channel = n->Channel;
        std::memcpy(n, c, sizeof *n);
        n->Channel = channel;
        std::memset(n->TimerCtx, 0, sizeof n->TimerCtx);
        std::memset(n->TimerExpiries, 0, sizeof n->TimerExpiries);
        c->ThisLink = NULL;
        IsdnFreeCall(s, c);
        IsdnInitCall(s, c);
        if (n->ThisLink != NULL && s->Upcalls.RSS_SetLinkBChannel) s->Upcalls.RSS_SetLinkBChannel(n->ThisLink, n);
        s->CurrentCall = n;
        StartFresh(s, ISDN_TMR_T4, n);
        c = n;
    }
    if (m->Type == MT_ALERTING && c->State == 1 && c->BearerCode == 0 && s->Profile[29] == 1 &&
        !(m->Seen & (1u << (IsdnFindIeDef(IE_PROGRESS) - IsdnIeTable)))) {
        IsdnUpcall(s, 0x9A, c);
        IsdnSendMessage(s, c, MT_RELEASE_COMPLETE, 0x65);
        IsdnFreeCall(s, c);
        return NULL;
    }
    return c;
}

void IsdnIncomingSetup(ISDN_STACK* s, const ISDN_RX_MSG* m)
{
    ISDN_CALL* c = NULL;
    if (m->HasChannel) {
        c = &s->Calls[m->Channel];
    } else if (s->Profile[1] == 0) {
        ReplyToMessage(s, m, MT_RELEASE_COMPLETE, 0x2C, 0);
        return;
    } else {
        for (ULONG ch = s->FirstB; ch <= s->LastB && ch < ISDN_NUM_SLOTS; ch++) {
            ISDN_CALL* k = &s->Calls[ch];
            if (IsdnIsBChannel(s, ch) && k->State == 0 && k->ThisLink == NULL && !k->CallRefSet && !k->SetupPending) {
                c = k;
                break;
            }
        }
        if (c == NULL) {
            ReplyToMessage(s, m, MT_RELEASE_COMPLETE, 0x22, 0);
            return;
        }
    }
    if (c->State != 0 || c->ThisLink != NULL || c->CallRefSet || (c->SetupPending && s->Profile[3] == 1)) {
        ReplyToMessage(s, m, MT_RELEASE_COMPLETE, 0x2C, 0);
        return;
    }
    if (m->BearerCode == 0xFF) {
        ReplyToMessage(s, m, MT_RELEASE_COMPLETE, 0x58, 0);
        return;
    }
    c->CallRef = m->CrValue;
    c->CallRefLen = m->CrLen;
    c->CallRefFlag = m->CrFlag;
    c->CallRefSet = 1;
    c->Exclusive = 1;
    c->BearerCode = m->BearerCode;
    c->Cause = NORMALCALLCLEARING;
    c->CalledNumber[0] = m->CalledLen;
    if (m->CalledLen) std::memcpy(c->CalledNumber + 1, m->CalledDigits, m->CalledLen);
    c->CallingNumber[0] = m->CallingLen;
    if (m->CallingLen) std::memcpy(c->CallingNumber + 1, m->CallingDigits, m->CallingLen);
    s->ChannelCounters[c->Channel][CHCNT_SETUP_RECEIVED]++;
    s->CurrentCall = c;
    if (!s->Quiet) {
        Link* link = NULL;
        if (s->Upcalls.GetLinkAssignedToBChannel)
            link = m->CalledLen ? s->Upcalls.GetLinkAssignedToBChannel(s->ThisAdapter, c, s->Line,
                                                                       &c->CalledNumber[m->CalledLen], m->CalledLen)
                                : s->Upcalls.GetLinkAssignedToBChannel(s->ThisAdapter, c, s->Line, NULL, 0xFF);
        if (link == NULL) {
            ReplyToMessage(s, m, MT_RELEASE_COMPLETE, 0x58, 0);
            IsdnFreeCall(s, c);
            return;
        }
        c->ThisLink = link;
        if (s->Upcalls.RSS_SetLinkBChannel) s->Upcalls.RSS_SetLinkBChannel(link, c);
    }
    c->State = 6;
    IsdnUpcall(s, 0x9D, c);
}

static void Restart(ISDN_STACK* s, const ISDN_RX_MSG* m)
{
    UCHAR cls = m->RestartClass;
    if (cls != 0 && cls != 6 && cls != 7) return;
    if (cls == 0 && !m->HasChannel) return;
    // Class 0 names its channels; class 6 does when it carries a channel identification,
    // otherwise it restarts the whole interface as class 7 does.
    BOOLEAN oneChannel = cls != 7 && m->HasChannel;
    for (ISDN_CALL& c : s->Calls) {
        if (!IsdnIsBChannel(s, c.Channel) || (oneChannel && c.Channel != m->Channel)) continue;
        // A call that call control holds is reported cleared before its record is reset.
        if (c.ThisLink != NULL) {
            c.Cause = CAUSE_REPORT_CLEARED;
            IsdnUpcall(s, 0x8F, &c);
        }
        IsdnFreeCall(s, &c);
        IsdnInitCall(s, &c);
    }
    ISDN_TX_ARGS a;
    std::memset(&a, 0, sizeof a);
    a.Pd = PD_Q931;
    a.Type = MT_RESTART_ACK;
    a.CrLen = m->CrLen;
    a.CrFlag = (UCHAR)(m->CrFlag ^ 0x80);
    a.RestartClass = cls;
    a.Channel = m->HasChannel ? m->Channel : 0xFF;
    a.Exclusive = 1;
    IsdnSendArgs(s, &a);
}

static void Dispatch(ISDN_STACK* s, const ISDN_RX_MSG* m, UCHAR ErrorCause)
{
    if (m->Pd == PD_MAINTENANCE) {
        if (s->Profile[3] == 1 && m->Type == MT_SERVICE && m->CrKind == CR_GLOBAL && ErrorCause == 0) {
            ISDN_TX_ARGS a;
            std::memset(&a, 0, sizeof a);
            a.Pd = PD_MAINTENANCE;
            a.Type = MT_SERVICE_ACK;
            a.CrLen = m->CrLen;
            a.CrFlag = (UCHAR)(m->CrFlag ^ 0x80);
            a.ChangeStatus = m->ChangeStatus;
            a.Channel = m->HasChannel ? m->Channel : 0xFF;
            a.Exclusive = 1;
            IsdnSendArgs(s, &a);
        }
        return;
    }
    if (m->CrKind == CR_DUMMY) return;
    if (m->CrKind == CR_GLOBAL) {
        if (m->Type == MT_RESTART && ErrorCause == 0) Restart(s, m);
        return;
    }
    ISDN_CALL* c = IsdnFindCallByRef(s, m->CrFlag, m->CrValue);
    if (c == NULL) {
        switch (m->Type) {
        case MT_SETUP:
            if (ErrorCause != 0)
                ReplyToMessage(s, m, MT_RELEASE_COMPLETE, ErrorCause, 0);
            else
                IsdnIncomingSetup(s, m);
            return;
        case MT_RELEASE: ReplyToMessage(s, m, MT_RELEASE_COMPLETE, NORMALCALLCLEARING, 0); return;
        case MT_RELEASE_COMPLETE:
        case MT_INFORMATION: return;
        case MT_STATUS:
            if (m->CallState != 0) ReplyToMessage(s, m, MT_RELEASE_COMPLETE, NORMALCALLCLEARING, 0);
            return;
        case MT_STATUS_ENQUIRY: ReplyToMessage(s, m, MT_STATUS, 0x1E, 0); return;
        default: ReplyToMessage(s, m, MT_RELEASE_COMPLETE, 0x51, 0); return;
        }
    }
    s->CurrentCall = c;
    if (m->Type == MT_SETUP) return;  // a call reference already in use
    if (ErrorCause != 0 && m->Type != MT_DISCONNECT && m->Type != MT_RELEASE && m->Type != MT_RELEASE_COMPLETE) {
        c->Cause = ErrorCause;
        SendStatus(s, c);
        return;
    }
    if (m->Type == MT_DISCONNECT || m->Type == MT_RELEASE || m->Type == MT_RELEASE_COMPLETE || m->Type == MT_INFORMATION)
        ExtractCause(c, m);
    if (!Accepted(s, c, m)) return;
    if (!c->FirstAnswerSeen && c->SetupSent && (c->State == 1 || c->State == 2) &&
        (m->Type == MT_ALERTING || m->Type == MT_CALL_PROCEEDING || m->Type == MT_CONNECT || m->Type == MT_SETUP_ACK)) {
        c = FirstAnswer(s, c, m);
        if (c == NULL) return;
    }
    RunState(s, c, MSG(m->Type), m);
}

BOOLEAN IsdnL3MessageEvent(ISDN_STACK* s, UCHAR Slot, BOOLEAN DecodeOnly)
{
    if (Slot >= L2_RX_SLOTS) return TRUE;
    UCHAR buffer[L2_RX_SLOT_SIZE];
    ULONG frameLength = s->L2.RxStore[Slot][0];
    ULONG length = frameLength > L2_HEADER ? frameLength - L2_HEADER : 0;
    if (length > sizeof buffer) length = sizeof buffer;
    std::memcpy(buffer, s->L2.RxStore[Slot] + 1 + L2_HEADER, length);
    IsdnL2ReleaseRxSlot(s, Slot);
    UCHAR cause;
    if (!IsdnParseMessage(s, buffer, length, &s->Rx, &cause)) {
        s->StackCounters[CNT_MESSAGES_DROPPED]++;
        RSS_TRACE("IsdnL3: Line %lu message of %lu octets dropped\n", (unsigned long)s->Line, (unsigned long)length);
        return TRUE;
    }
    if (RssTraceEnabled) {
        char text[200];
        IsdnDumpMessage(buffer, length, text, sizeof text);
        RSS_TRACE("IsdnReceive: Line %lu%s\n", (unsigned long)s->Line, text);
    }
    if (DecodeOnly) return TRUE;
    ISDN_RX_MSG m = s->Rx;
    Dispatch(s, &m, cause);
    return TRUE;
}
