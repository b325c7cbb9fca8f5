// ISDN stack frame: the instance's reset, the five switch-variant profiles, the seven
// entries of SGNL_PROTOCOL_OPS, the 20 ms tick with the stack's own timer pool, the
// event queue and its dispatch, the received-frame ring, layer-1 handling, the upcall
// entry, the event log and the Q.931 timer table. Runs under AdapterSpinLock, held by
// every caller (adapter timer DPC, receive background, call control).
#include <cstring>

#include "driver/Common/RSS_init.h"
#include "driver/signalling/isdn/IsdnStack.h"

// Variant profiles, byte k = 4 x word + byte, memory order. Row 3 serves variant 4
// (Euro ISDN), 5 (VN4) and every other value.
const UCHAR IsdnVariantProfiles[5][ISDN_PROFILE_WORDS * 4] = {
    {0x62, 1, 1, 1, 1, 0, 0, 0, 1, 0x62, 1, 1, 1, 0, 0, 0, 0x66, 0, 0, 0, 1, 0, 0, 0, 1, 0x66, 1, 1, 1, 0, 0, 0, 1, 0, 0, 0},
    {0x65, 1, 0, 0, 1, 0, 0, 0, 0, 0x65, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0},
    {0x65, 0, 1, 1, 1, 0, 0, 0, 0, 0x65, 1, 1, 1, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 1, 1, 0, 1, 0, 0, 0},
    {0x65, 1, 0, 0, 0, 0, 0, 0, 0, 0x51, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0},
    {0x65, 1, 0, 0, 0, 0, 0, 0, 0, 0x51, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0},
};

// The Q.931 timer table: duration and event code by timer id.
static const ULONG Q931TimerDuration[ISDN_NUM_Q931_TIMERS] = {2000, 1000, 10000, 60000, 4000,
                                                               30000, 30000, 4000, 50000, 4000};
static const ULONG Q931TimerEvent[ISDN_NUM_Q931_TIMERS] = {0x55, 0xD3, 0xD2, 0xD1, 0xA9, 0xA8, 0xA7, 0xA6, 0xA5, 0xA4};

static ISDN_STACK* AsStack(PVOID Stack) { return (ISDN_STACK*)Stack; }

static BOOLEAN IsCallRecord(const ISDN_STACK* s, const ISDN_CALL* c)
{
    if (s == NULL || c < &s->Calls[0] || c >= &s->Calls[ISDN_NUM_SLOTS]) return FALSE;
    return ((const UCHAR*)c - (const UCHAR*)&s->Calls[0]) % sizeof(ISDN_CALL) == 0;
}

BOOLEAN IsdnIsBChannel(const ISDN_STACK* s, ULONG Channel)
{
    return Channel >= s->FirstB && Channel <= s->LastB && Channel != s->DChannelSlot && Channel != s->FramingSlot &&
           Channel < ISDN_NUM_SLOTS;
}

// ---- event log ----

void IsdnLog(ISDN_STACK* s, UCHAR Code, const UCHAR* Data, ULONG Length)
{
    UCHAR* e = s->EventLog[s->EventLogIndex % ISDN_EVENT_LOG_ENTRIES];
    std::memset(e, 0, ISDN_EVENT_LOG_ENTRY_SIZE);
    e[0] = Code;
    if (Data != NULL) std::memcpy(e + 1, Data, Length < ISDN_EVENT_LOG_DATA ? Length : ISDN_EVENT_LOG_DATA);
    s->EventLogIndex = (s->EventLogIndex + 1) % ISDN_EVENT_LOG_ENTRIES;
    s->EventLog[s->EventLogIndex][0] = LOG_END_MARKER;
}

// ---- timers ----

static BOOLEAN IsdnTimerExpired(PVOID Context)
{
    ISDN_TIMER_CTX* t = (ISDN_TIMER_CTX*)Context;
    ISDN_STACK* s = t->Stack;
    ISDN_CALL* call = NULL;
    if (t->Id >= ISDN_FIRST_CALL_TIMER && t->Id < ISDN_FIRST_CALL_TIMER + ISDN_NUM_CALL_TIMERS) {
        call = (ISDN_CALL*)t->Owner;
        if (call->TimerExpiries[t->Id - ISDN_FIRST_CALL_TIMER] < 0xFF) call->TimerExpiries[t->Id - ISDN_FIRST_CALL_TIMER]++;
    }
    RSS_TRACE("IsdnTimerExpired: Line %lu id %lu event 0x%lx\n", (unsigned long)s->Line, (unsigned long)t->Id,
              (unsigned long)s->TimerEvent[t->Id]);
    IsdnPostEvent(s, s->TimerEvent[t->Id], call, 0);
    return TRUE;
}

static PVOID TimerOwner(ISDN_STACK* s, ULONG Id, ISDN_CALL* Call)
{
    if (Id >= ISDN_FIRST_CALL_TIMER && Id < ISDN_FIRST_CALL_TIMER + ISDN_NUM_CALL_TIMERS) return Call;
    return s;
}

// Starts (or restarts) a Q.931 timer; ids 4..9 belong to the call record.
BOOLEAN IsdnTimerStart(ISDN_STACK* s, ULONG Id, ISDN_CALL* Call)
{
    if (Id >= ISDN_NUM_Q931_TIMERS) return FALSE;
    PVOID owner = TimerOwner(s, Id, Call);
    if (owner == NULL) return FALSE;
    if (TmrRestart(&s->Pool, (ULONG_PTR)owner, Id, s->TimerDuration[Id])) return TRUE;
    ISDN_TIMER_CTX* ctx = owner == s ? &s->TimerCtx[Id] : &Call->TimerCtx[Id - ISDN_FIRST_CALL_TIMER];
    ctx->Owner = owner;
    ctx->Stack = s;
    ctx->Id = Id;
    if (!TmrStart(&s->Pool, (ULONG_PTR)owner, Id, s->TimerDuration[Id], IsdnTimerExpired, ctx)) {
        RSS_TRACE("IsdnTimerStart: pool full, id %lu\n", (unsigned long)Id);
        return FALSE;
    }
    return TRUE;
}

void IsdnTimerStop(ISDN_STACK* s, ULONG Id, ISDN_CALL* Call)
{
    PVOID owner = TimerOwner(s, Id, Call);
    if (owner == NULL) return;
    while (TmrClear(&s->Pool, (ULONG_PTR)owner, Id)) {
    }
    if (owner != Call) return;
    // An expiry already queued for the call goes with its timer.
    Call->TimerExpiries[Id - ISDN_FIRST_CALL_TIMER] = 0;
    for (ISDN_EVENT& e : s->Events)
        if (e.InUse && e.Call == Call && e.Code == s->TimerEvent[Id]) e.InUse = 0;
}

BOOLEAN IsdnTimerRunning(ISDN_STACK* s, ULONG Id, ISDN_CALL* Call)
{
    PVOID owner = TimerOwner(s, Id, Call);
    return owner != NULL && TmrIsRunning(&s->Pool, (ULONG_PTR)owner, Id);
}

// ---- event queue ----

BOOLEAN IsdnPostEvent(ISDN_STACK* s, ULONG Code, ISDN_CALL* Call, UCHAR Data)
{
    if (s->EventCount >= ISDN_EVENT_QUEUE_SIZE) {
        s->StackCounters[CNT_EVENTS_DROPPED]++;
        RSS_TRACE("IsdnPostEvent: queue full, event 0x%lx dropped\n", (unsigned long)Code);
        if (Code == EV_L3_MESSAGE || Code == EV_L3_DECODE_ONLY) IsdnL2ReleaseRxSlot(s, Data);
        return FALSE;
    }
    ISDN_EVENT* e = &s->Events[s->EventWrite];
    e->InUse = 1;
    e->Code = Code;
    e->Call = (Code & EV_CLASS_MASK) == EV_CLASS_L3 ? Call : NULL;
    e->Data = Data;
    s->EventWrite = (s->EventWrite + 1) % ISDN_EVENT_QUEUE_SIZE;
    s->EventCount++;
    return TRUE;
}

void IsdnPurgeCallPrimitives(ISDN_STACK* s, ISDN_CALL* Call)
{
    for (ISDN_EVENT& e : s->Events)
        if (e.InUse && e.Call == Call && e.Code >= REQUEST_SETUP && e.Code <= 0xBF) e.InUse = 0;
}

void IsdnPurgeEventCode(ISDN_STACK* s, ULONG Code)
{
    for (ISDN_EVENT& e : s->Events)
        if (e.InUse && e.Code == Code) {
            e.InUse = 0;
            if (Code == EV_L3_MESSAGE || Code == EV_L3_DECODE_ONLY) IsdnL2ReleaseRxSlot(s, e.Data);
        }
}

// Runs the events that were queued when the run began; a declined event goes back to
// the tail and runs on a later tick. The count covers every queue position between the
// read and the write index, purged ones included, so a post never lands on a position
// still to be read.
void IsdnRunEvents(ISDN_STACK* s)
{
    ULONG pending = s->EventCount;
    while (pending-- > 0 && s->EventCount > 0) {
        ISDN_EVENT e = s->Events[s->EventRead];
        s->Events[s->EventRead].InUse = 0;
        s->Events[s->EventRead].Call = NULL;
        s->EventRead = (s->EventRead + 1) % ISDN_EVENT_QUEUE_SIZE;
        s->EventCount--;
        if (!e.InUse) continue;
        s->CurrentEvent = e.Code;
        s->CurrentData = e.Data;
        if (e.Call != NULL) s->CurrentCall = e.Call;
        BOOLEAN handled = TRUE;
        switch (e.Code & EV_CLASS_MASK) {
        case EV_CLASS_UPPER: handled = IsdnUpperEvent(s, e.Code); break;
        case EV_CLASS_L3: handled = IsdnL3Event(s, e.Code, e.Call); break;
        case EV_CLASS_L2MGMT: handled = IsdnL2ManagementEvent(s, e.Code); break;
        default: break;
        }
        if (!handled) IsdnPostEvent(s, e.Code, e.Call, e.Data);
    }
}

// ---- upcalls ----

static void UpcallClear(ISDN_STACK* s, ISDN_CALL* c)
{
    if (c->ThisLink == NULL) return;
    s->ChannelCounters[c->Channel][CHCNT_CLEARED]++;
    if (s->Upcalls.RSS_SetLinkDisconnectFlag) s->Upcalls.RSS_SetLinkDisconnectFlag(c->ThisLink);
    if (s->Upcalls.DisconnectHdlr) s->Upcalls.DisconnectHdlr(c->ThisLink);
}

void IsdnUpcall(ISDN_STACK* s, ULONG Code, ISDN_CALL* c)
{
    const SGNL_UPCALL* row = SgnlUpcall(Code);
    if (row == NULL || c == NULL) return;
    if (row->Quiet && s->Quiet) return;
    RSS_TRACE("IsdnUpcall: Line %lu channel %u code 0x%lx cause 0x%x\n", (unsigned long)s->Line, c->Channel,
              (unsigned long)Code, c->Cause);
    switch (row->Effect) {
    case UPCALL_CLEAR: UpcallClear(s, c); break;
    case UPCALL_CONNECT_OR_CLEAR:
        if (c->Cause == CAUSE_REPORT_CLEARED) {
            UpcallClear(s, c);
        } else if (c->ThisLink != NULL) {
            s->ChannelCounters[c->Channel][CHCNT_CONNECTED]++;
            if (s->Upcalls.ConnectHdlr) s->Upcalls.ConnectHdlr(c->ThisLink);
        }
        break;
    case UPCALL_LOCAL_CLEARING:
        c->Cause = NORMALCALLCLEARING;
        IsdnPostEvent(s, REQUEST_DISCONNECT, c, 0);
        break;
    case UPCALL_CLEAR_IF_CAUSE_64:
        if (c->Cause == CAUSE_CLEAR_ON_INFORMATION) UpcallClear(s, c);
        break;
    case UPCALL_RELEASE_THEN_CLEAR:
        IsdnPostEvent(s, REQUEST_RELEASE, c, 0);
        UpcallClear(s, c);
        break;
    case UPCALL_QUEUE_ACCEPTED: IsdnPostEvent(s, EVENT_CALL_ACCEPTED, c, 0); break;
    case UPCALL_INCOMING_CALL:
        if (c->ThisLink != NULL && s->Upcalls.IncomingCallIndHdlr)
            s->Upcalls.IncomingCallIndHdlr(s->ThisAdapter, c->ThisLink, c->BearerCode);
        break;
    default: break;
    }
}

// ---- reset ----

void IsdnInitCall(ISDN_STACK* s, ISDN_CALL* c)
{
    ULONG slot = (ULONG)(c - &s->Calls[0]);
    if (s->Pool.Entries != NULL) TmrClearAllOfOwner(&s->Pool, (ULONG_PTR)c);
    std::memset(c, 0, sizeof *c);
    c->Stack = s;
    c->Channel = (UCHAR)slot;
    c->BearerCode = 1;
    c->Cause = NORMALCALLCLEARING;
    if (slot == s->DChannelSlot)
        c->State = ISDN_SLOT_D_CHANNEL;
    else if (slot == s->FramingSlot)
        c->State = ISDN_SLOT_FRAMING;
    else if (slot < s->FirstB || slot > s->LastB)
        c->State = ISDN_SLOT_NOT_B;
}

// The network still holds the calls a reset forgets: their channels are restarted at it
// once layer 2 is up again.
static void NoteChannelsToRestart(ISDN_STACK* s)
{
    for (ULONG n = 0; n < ISDN_NUM_SLOTS && n < 32; n++)
        if (IsdnIsBChannel(s, s->Calls[n].Channel) && s->Calls[n].State != 0) s->RestartChannels |= 1u << n;
}

void IsdnStackReset(ISDN_STACK* s)
{
    BOOLEAN e1 = s->E1 == 1;
    s->FirstB = e1 ? 0 : 1;
    s->LastB = e1 ? 31 : 23;
    s->DChannelSlot = e1 ? 16 : 24;
    s->FramingSlot = e1 ? 0 : 255;
    s->IsE1 = e1 ? 1 : 0;
    s->LinkState = ISDN_LINK_DOWN;
    s->CurrentCall = NULL;
    s->Quiet = 0;
    s->DChannelLink = s->Upcalls.RSS_GetGroupLink31 ? s->Upcalls.RSS_GetGroupLink31(s->ThisAdapter, s->Line) : NULL;
    // Every timer but the stack tick.
    if (s->Pool.Entries != NULL)
        for (ULONG id = 0; id <= ISDN_TMR_L1_SETTLE; id++)
            while (TmrClear(&s->Pool, (ULONG_PTR)s, id)) {
            }
    std::memset(s->Events, 0, sizeof s->Events);
    s->EventCount = s->EventRead = s->EventWrite = 0;
    s->CallRefCounter = 1;
    s->RxWrite = s->RxRead = s->RxCurrentLength = 0;
    std::memset(s->ChannelCounters, 0, sizeof s->ChannelCounters);
    std::memset(s->StackCounters, 0, sizeof s->StackCounters);
    for (ULONG id = 0; id < ISDN_NUM_Q931_TIMERS; id++) {
        s->TimerDuration[id] = Q931TimerDuration[id];
        s->TimerEvent[id] = Q931TimerEvent[id];
    }
    IsdnL2Reset(s);
    NoteChannelsToRestart(s);
    for (ISDN_CALL& c : s->Calls) IsdnInitCall(s, &c);
    s->FramesReceived = 0;
    s->EventLogIndex = 0;
    s->EventLog[0][0] = LOG_END_MARKER;
    s->StackSetting = 1;
}

// ---- the tick ----

BOOLEAN IsdnStackTick(PVOID Context)
{
    ISDN_STACK* s = ((ISDN_TIMER_CTX*)Context)->Stack;
    if (s->LinkState == ISDN_LINK_UP) {
        IsdnL2Poll(s);
        IsdnRunEvents(s);
    }
    TmrRestart(&s->Pool, (ULONG_PTR)s, ISDN_TMR_TICK, ISDN_TICK_MS);
    return FALSE;
}

static BOOLEAN IsdnLayer1Settled(PVOID Context)
{
    ISDN_STACK* s = ((ISDN_TIMER_CTX*)Context)->Stack;
    s->LinkState = ISDN_LINK_UP;
    IsdnTimerStart(s, ISDN_TMR_ESTABLISH, NULL);
    return TRUE;
}

// ---- the seven entries ----

void IsdnStackSetAdapter(PVOID Stack, Adapter* ThisAdapter)
{
    if (Stack != NULL) AsStack(Stack)->ThisAdapter = ThisAdapter;
}

void IsdnStackLayer1Indication(Adapter* ThisAdapter, PVOID Stack, ULONG Line, ULONG State)
{
    ISDN_STACK* s = AsStack(Stack);
    if (s == NULL) return;
    (void)ThisAdapter;
    (void)Line;
    if (State == LAYER1_ACTIVATED) {
        // Layer 1 came up again under live calls: they end here, and their Links let go
        // of the records the reset is about to hand out afresh. Their channels are noted
        // first, while the records still say which ones the network holds.
        NoteChannelsToRestart(s);
        for (ISDN_CALL& c : s->Calls) {
            if (c.ThisLink == NULL || !IsCallRecord(s, &c)) continue;
            UpcallClear(s, &c);
            IsdnFreeCall(s, &c);
        }
    }
    IsdnStackReset(s);
    if (State == LAYER1_ACTIVATED) {
        RSS_TRACE("IsdnStackLayer1Indication: Line %lu layer 1 up\n", (unsigned long)s->Line);
        if (s->DChannelLink != NULL && s->Upcalls.GoToConnectedState) s->Upcalls.GoToConnectedState(s->DChannelLink);
        s->SettleCtx.Owner = s;
        s->SettleCtx.Stack = s;
        s->SettleCtx.Id = ISDN_TMR_L1_SETTLE;
        if (s->Pool.Entries != NULL)
            TmrStart(&s->Pool, (ULONG_PTR)s, ISDN_TMR_L1_SETTLE, ISDN_L1_SETTLE_MS, IsdnLayer1Settled, &s->SettleCtx);
        if (s->Upcalls.RSS_SetLed) s->Upcalls.RSS_SetLed(s->ThisAdapter, s->Line, LED_MASK_PHYSICAL, 1);
        IsdnLog(s, LOG_L1_UP, NULL, 0);
    } else if (State == LAYER1_DEACTIVATED) {
        RSS_TRACE("IsdnStackLayer1Indication: Line %lu layer 1 down\n", (unsigned long)s->Line);
        s->L2.L3State = L2_RELEASED;
        IsdnLog(s, LOG_L2_RELEASED, NULL, 0);
        s->LinkState = ISDN_LINK_DOWN;
        for (ULONG ch = 0; ch < ISDN_NUM_SLOTS; ch++)
            if (s->Upcalls.OutOfService) s->Upcalls.OutOfService(s->ThisAdapter, s->Line, ch);
        if (s->Upcalls.RSS_SetLed) s->Upcalls.RSS_SetLed(s->ThisAdapter, s->Line, LED_MASK_PHYSICAL, 0);
        IsdnLog(s, LOG_L1_DOWN, NULL, 0);
    }
}

BOOLEAN IsdnStackPutFrame(PVOID Stack, PUCHAR Frame, ULONG Length)
{
    ISDN_STACK* s = AsStack(Stack);
    if (s == NULL) return FALSE;
    ULONG waiting = (s->RxWrite + ISDN_RX_RING_SLOTS - s->RxRead) % ISDN_RX_RING_SLOTS;
    if (s->LinkState != ISDN_LINK_UP || Length > ISDN_MAX_FRAME || (Frame == NULL && Length > 0) ||
        waiting >= ISDN_RX_RING_MAX_WAITING) {
        s->StackCounters[CNT_FRAMES_REFUSED]++;
        RSS_TRACE("IsdnStackPutFrame: refused, length %lu waiting %lu\n", (unsigned long)Length, (unsigned long)waiting);
        return FALSE;
    }
    UCHAR* slot = s->RxRing[s->RxWrite];
    slot[0] = (UCHAR)Length;
    if (Length > 0) std::memcpy(slot + 1, Frame, Length);
    s->FramesReceived++;
    s->RxWrite = (s->RxWrite + 1) % ISDN_RX_RING_SLOTS;
    return TRUE;
}

// Layer-2 poll: transmit side, then at most one received frame.
void IsdnL2Poll(ISDN_STACK* s)
{
    IsdnL2Transmit(s);
    if (s->RxRead == s->RxWrite) return;
    UCHAR* slot = s->RxRing[s->RxRead];
    s->RxCurrentLength = slot[0];
    std::memcpy(s->L2RxBuffer, slot, 1 + (ULONG)slot[0]);
    s->RxRead = (s->RxRead + 1) % ISDN_RX_RING_SLOTS;
    IsdnL2Receive(s, s->L2RxBuffer + 1, s->RxCurrentLength);
}

static ULONG OffsetIn(const ISDN_STACK* s, const void* Field) { return (ULONG)((const UCHAR*)Field - (const UCHAR*)s); }

static ULONG CallControl(ISDN_CALL* c, ULONG Id)
{
    const UCHAR* called = c->CalledNumber[0] != 0 ? c->CalledNumber : c->OutNumber;
    switch (Id) {
    case CTL_CALL_CHANNEL: return c->Channel;
    case CTL_CALLED_NUMBER_LENGTH: return called[0];
    case CTL_CALLED_NUMBER: return (ULONG)(called + 1 - (const UCHAR*)c);  // offset in the call object
    case CTL_CALLING_NUMBER_LENGTH: return c->CallingNumber[0];
    case CTL_CALLING_NUMBER: return (ULONG)(c->CallingNumber + 1 - (const UCHAR*)c);
    default: return CONTROL_UNKNOWN;
    }
}

static BOOLEAN ConstAnswer(ULONG Id, ULONG* Answer)
{
    static const struct {
        ULONG Id, Value;
    } rows[] = {
        {CTL_INSTANCE_SIZE, (ULONG)sizeof(ISDN_STACK)},
        {CTL_NUM_STACK_COUNTERS, ISDN_NUM_STACK_COUNTERS},
        {CTL_COUNTERS_PER_CHANNEL, ISDN_COUNTERS_PER_CHANNEL},
        {CTL_EVENT_LOG_ENTRIES, ISDN_EVENT_LOG_ENTRIES},
        {CTL_EVENT_LOG_ENTRY_SIZE, ISDN_EVENT_LOG_ENTRY_SIZE},
        {CTL_CONST_4B, 5},
        {CTL_CONST_4C, 80},
        {CTL_TIMESLOT_MAP_MODE, 0},
        {CTL_HAS_D_CHANNEL, 1},
        {CTL_PER_CHANNEL_HANDLING, 1},
    };
    for (const auto& r : rows)
        if (r.Id == Id) {
            *Answer = r.Value;
            return TRUE;
        }
    return FALSE;
}

ULONG IsdnStackQueryParam(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    ULONG answer;
    if (Kind >= CTL_NUM_KINDS) return CONTROL_UNKNOWN;
    if (Kind == CTL_KIND_CONST) return ConstAnswer(Id, &answer) ? answer : CONTROL_UNKNOWN;
    if (Object == NULL) return CONTROL_UNKNOWN;
    if (Kind == CTL_KIND_CALL) {
        ISDN_CALL* c = (ISDN_CALL*)Object;
        if (!IsCallRecord(c->Stack, c)) return CONTROL_UNKNOWN;
        return CallControl(c, Id);
    }
    ISDN_STACK* s = AsStack(Object);
    if (ConstAnswer(Id, &answer)) return answer;
    BOOLEAN e1 = s->E1 == 1;
    switch (Id) {
    case CTL_RESET: IsdnStackReset(s); return CONTROL_UNKNOWN;
    case CTL_START_TICK:
        s->TickCtx.Owner = s;
        s->TickCtx.Stack = s;
        s->TickCtx.Id = ISDN_TMR_TICK;
        if (s->Pool.Entries == NULL) return CONTROL_UNKNOWN;
        while (TmrClear(&s->Pool, (ULONG_PTR)s, ISDN_TMR_TICK)) {
        }
        TmrStart(&s->Pool, (ULONG_PTR)s, ISDN_TMR_TICK, ISDN_TICK_MS, IsdnStackTick, &s->TickCtx);
        return CONTROL_UNKNOWN;
    case CTL_TICK:
        if (s->Pool.Entries != NULL) TmrTick(&s->Pool, Argument);
        return CONTROL_UNKNOWN;
    case CTL_INIT_TIMER_POOL: TmrInit(&s->Pool, s->PoolEntries, ISDN_POOL_ENTRIES); return CONTROL_UNKNOWN;
    case CTL_FILL_INTERFACE_TABLE: RSS_FillInterfaceTable(&s->Upcalls); return 0;
    case CTL_LINE_INDEX: s->Line = Argument; return 0;
    case CTL_E1_FLAG:
        s->E1 = Argument;
        s->IsE1 = Argument == 1 ? 1 : 0;
        return 0;
    case CTL_SWITCH_VARIANT:
        s->Variant = Argument;
        std::memcpy(s->Profile, IsdnVariantProfiles[Argument >= 1 && Argument <= 3 ? Argument - 1 : 3], sizeof s->Profile);
        return 0;
    case CTL_L2_WINDOW:
        s->Window = Argument >= 1 && Argument <= 127 ? Argument : L2_DEFAULT_WINDOW;
        s->L2.K = s->Window;
        return 0;
    case CTL_STACK_SETTING:
        if (Argument >= 1 && Argument <= 3) {
            s->StackSetting = Argument;
            IsdnLog(s, (UCHAR)Argument, NULL, 0);
        }
        return 0;
    case CTL_NUM_B_CHANNELS: return e1 ? 30 : 23;
    case CTL_POLL_QUESTION:
    case CTL_FRAMER_INT_QUESTION:
    case CTL_FRAMER_QUESTION:
    case CTL_TX_SIGNALLING_BITS: return 0;
    case CTL_STACK_COUNTERS: return OffsetIn(s, s->StackCounters);
    case CTL_CHANNEL_COUNTERS: return OffsetIn(s, s->ChannelCounters);
    case CTL_D_CHANNEL_TIMESLOT: return e1 ? 16 : 24;
    case CTL_CHANNEL_STATE: return Argument < ISDN_NUM_SLOTS ? s->Calls[Argument].State : CONTROL_UNKNOWN;
    case CTL_FIRST_B_CHANNEL: return e1 ? 0 : 1;
    case CTL_LAST_B_CHANNEL: return e1 ? 31 : 23;
    case CTL_L2_STATE: return s->L2.L3State == L2_ESTABLISHED ? L2_ESTABLISHED : L2_RELEASED;
    case CTL_EVENT_LOG: return OffsetIn(s, s->EventLog);
    case CTL_EVENT_LOG_INDEX: return s->EventLogIndex;
    case CTL_IS_E1: return e1 ? 1 : 0;
    default: return CONTROL_UNKNOWN;
    }
}

PVOID IsdnStackAllocCall(PVOID Stack, Link* ThisLink, ULONG LinkIndex)
{
    ISDN_STACK* s = AsStack(Stack);
    (void)LinkIndex;
    if (s == NULL) return NULL;
    for (ULONG ch = s->FirstB; ch <= s->LastB && ch < ISDN_NUM_SLOTS; ch++) {
        ISDN_CALL* c = &s->Calls[ch];
        if (!IsdnIsBChannel(s, ch) || c->State != 0 || c->ThisLink != NULL || c->SetupPending || c->CallRefSet)
            continue;
        c->ThisLink = ThisLink;
        return c;
    }
    RSS_TRACE("IsdnStackAllocCall: Line %lu no free channel\n", (unsigned long)s->Line);
    return NULL;
}

// A primitive runs at once on the caller's thread. A SETUP the stack refuses there (a
// number it cannot send) frees the record without an upcall: the caller sees its Link's
// call object cleared on return and answers for the call itself.
void IsdnStackCallRequest(UCHAR Primitive, PVOID CallObject, PUCHAR Number, UCHAR Value, ULONG Flag)
{
    ISDN_CALL* c = (ISDN_CALL*)CallObject;
    if (c == NULL || !IsCallRecord(c->Stack, c)) return;
    ISDN_STACK* s = c->Stack;
    switch (Primitive) {
    case REQUEST_SETUP:
        if (s->Profile[3] && c->SetupPending) return;
        std::memset(c->OutNumber, 0, sizeof c->OutNumber);
        if (Number != NULL) {
            ULONG n = Number[0];
            if (n > ISDN_OUT_NUMBER_MAX) {
                RSS_TRACE("IsdnStackCallRequest: number of %lu digits refused\n", (unsigned long)n);
                IsdnFreeCall(s, c);
                return;
            }
            std::memcpy(c->OutNumber, Number, 1 + n);
        }
        c->BearerCode = Value;
        break;
    case REQUEST_DISCONNECT:
        if (Flag == 1) return;
        c->Cause = Value;
        break;
    case REQUEST_RELEASE: c->Cause = Value; break;
    case REQUEST_SETUP_RESPONSE: break;
    default: return;
    }
    UCHAR nested = s->InCallRequest;
    s->InCallRequest = 1;
    IsdnRunPrimitive(s, Primitive, c);
    s->InCallRequest = nested;
}

void IsdnStackManagementRequest(ULONG Action, PVOID Stack, ULONG A1, ULONG A2, ULONG A3, ULONG A4, ULONG A5,
                                ULONG A6, ULONG A7, ULONG A8, ULONG A9)
{
    ISDN_STACK* s = AsStack(Stack);
    if (s == NULL) return;
    ULONG digits[4] = {A6, A7, A8, A9};
    switch (Action) {
    case MGMT_SET_QUIET: s->Quiet = 1; break;
    case MGMT_CLEAR_QUIET: s->Quiet = 0; break;
    case MGMT_TEST_CALL: {
        // A1 channel, A2 call-reference flag, A3 call-reference value, A4 bearer choice,
        // A5 digit count, A6..A9 the digits, four to a word.
        if (!IsdnIsBChannel(s, A1)) return;
        ISDN_CALL* c = &s->Calls[A1];
        if (c->State != 0) return;
        c->CallRefFlag = A2 ? 0x80 : 0;
        c->CallRef = (USHORT)(A3 & 0x7FFF);
        c->CallRefLen = 2;
        c->CallRefSet = A3 != 0;
        UCHAR number[1 + ISDN_OUT_NUMBER_MAX] = {0};
        for (ULONG i = 0; i < A5 && i < MGMT_SETUP_DIGITS_MAX && i < ISDN_OUT_NUMBER_MAX; i++)
            number[++number[0]] = (UCHAR)(((digits[i / 4] >> (8 * (i % 4))) & 0xFF) | 0x30);
        // Bearer choice: 0 64 kbit/s, 1 56 kbit/s, 2 and 3 speech (the law follows the line).
        IsdnStackCallRequest(REQUEST_SETUP, c, number, (UCHAR)(A4 == 1 ? 2 : A4 == 2 || A4 == 3 ? 0 : 1), 0);
        break;
    }
    case MGMT_TEST_ANSWER:
    case MGMT_SEND_INFORMATION:
    case MGMT_TEST_DISCONNECT: {
        // A1 call-reference length, A2 call-reference value, A3 cause index. The request
        // names no side: a call the network offered is looked for first, and only such a
        // call can be answered.
        if (A1 < 1 || A1 > 2 || (A1 == 1 && A2 > 0x7F)) return;
        USHORT value = (USHORT)(A2 & 0x7FFF);
        ISDN_CALL* c = IsdnFindCallByRef(s, 0, value);
        if (c == NULL && Action != MGMT_TEST_ANSWER) c = IsdnFindCallByRef(s, 0x80, value);
        if (c == NULL) return;
        if (Action == MGMT_TEST_ANSWER)
            IsdnStackCallRequest(REQUEST_SETUP_RESPONSE, c, NULL, 0, 0);
        else if (Action == MGMT_SEND_INFORMATION)
            IsdnSendMessage(s, c, MT_INFORMATION, 0);
        else
            IsdnStackCallRequest(REQUEST_DISCONNECT, c, NULL, SgnlManagementCause(A3), 0);
        break;
    }
    case MGMT_SEND_RESTART: {
        // A2 the channel, A3 the restart indicator: 0 the indicated channel (class 0),
        // 1 the interface (class 6), 2 every interface (class 7).
        ISDN_TX_ARGS a;
        std::memset(&a, 0, sizeof a);
        a.Pd = PD_Q931;
        a.Type = MT_RESTART;
        a.CrLen = 2;
        if (A3 > 2) return;
        a.RestartClass = A3 == 0 ? 0 : A3 == 1 ? 6 : 7;
        if (a.RestartClass == 0 && !IsdnIsBChannel(s, A2)) return;
        a.Channel = a.RestartClass != 7 && IsdnIsBChannel(s, A2) ? (UCHAR)A2 : 0xFF;
        a.Exclusive = 1;
        IsdnSendArgs(s, &a);
        break;
    }
    default: break;
    }
}

void IsdnStackGetOps(SGNL_PROTOCOL_OPS* Ops)
{
    Ops->SetAdapter = IsdnStackSetAdapter;
    Ops->Layer1Indication = IsdnStackLayer1Indication;
    Ops->PutFrame = IsdnStackPutFrame;
    Ops->Control = IsdnStackQueryParam;
    Ops->AllocCall = IsdnStackAllocCall;
    Ops->CallRequest = IsdnStackCallRequest;
    Ops->ManagementRequest = IsdnStackManagementRequest;
}
