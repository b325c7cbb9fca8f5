// Call control: the fourteen callbacks handed to the stacks (RSS_FillInterfaceTable),
// the D-channel send services (RSS_IsTxQueueFull, SendLy2Frame, on the Link's send
// ring), the line LED and LineUp (RSS_SetLed), the simulated incoming call and
// disconnection, the connect chain that opens a Link's data path (GoToConnectedState ..
// GoToConnectedState3), and the calls themselves: routing of offered calls to a Link's
// owner (IncomingCallIndHdlr), the owner indications, placing and answering
// (RSS_MakeCall, RSS_AnswerCall, DecodeCallModifiers), clearing (DisconnectHdlr,
// RSS_Disconnect, OutOfService), the modem pump callbacks, the Link loop-back test and
// the call counters (GroupCallStats, LinkCallStats). Everything runs under
// AdapterSpinLock, held by the caller (stack tick, framer poll, interrupt DPC,
// adapter-pool timer, NDIS request handlers); RSS_Disconnect alone releases it, around
// each NdisMWanSendComplete, once the Link is idle.
#include "driver/Common/RSS_SGNL.h"

#include <cstddef>
#include <cstring>

#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_CallCtl_ext.h"
#include "driver/Common/RSS_init.h"

#define OWNER_RESERVED_5 5  // served as no owner

// Hex dump of every frame handed to the D channel: compiled in, switched off.
#define RSS_SGNL_TX_DUMP 0

void RSS_NullHandler(PVOID, PVOID) {}

// ---- D-channel send ring ----

BOOLEAN RSS_IsTxQueueFull(Link* ThisLink)
{
    if (ThisLink == NULL) return TRUE;
    return LinkTxRingFull(ThisLink);
}

BOOLEAN SendLy2Frame(Link* ThisLink, PVOID Owner, PUCHAR Frame, UCHAR Length)
{
    if (ThisLink == NULL || Frame == NULL) return FALSE;
    if (LinkTxRingFull(ThisLink)) {
        RSS_TRACE("SendLy2Frame() : Too many messages\n");
        return FALSE;
    }
    if (ThisLink->NumTxPackets > MAX_TX_PACKETS || ThisLink->WriteTxPacketIdx >= ThisLink->NumTxPackets) {
        RSS_TRACE("SendLy2Frame() : bad send ring %lu/%lu\n", (unsigned long)ThisLink->WriteTxPacketIdx,
                  (unsigned long)ThisLink->NumTxPackets);
        return FALSE;
    }
    LinkTxRingNoteQueued(ThisLink);
    TX_PACKET* entry = &ThisLink->TxPackets[ThisLink->WriteTxPacketIdx];
    entry->Packet = Owner;
    entry->Data = Frame + 1;  // the length byte is not sent
    entry->Length = Length;
    entry->Word4 = 0;
    entry->InFlight = 0;
    if (RSS_SGNL_TX_DUMP) {
        RSS_TRACE("TX ******* ");
        for (ULONG i = 0; i < Length; i++) RSS_TRACE("%02X ", entry->Data[i]);
        RSS_TRACE("\n");
    }
    ThisLink->WriteTxPacketIdx++;
    if (ThisLink->WriteTxPacketIdx >= ThisLink->NumTxPackets) ThisLink->WriteTxPacketIdx = 0;
    return TRUE;
}

// ---- line LED ----

// LED value and LineUp by layer code and state; -1 leaves LineUp as it is.
typedef struct _RSS_LED_ROW {
    ULONG Mask;
    ULONG On;
    ULONG Led;
    LONG LineUp;
} RSS_LED_ROW;

static const RSS_LED_ROW RssLedTable[] = {
    {LED_MASK_PHYSICAL, 1, LED_VALUE_LAYER1_UP, -1},
    {LED_MASK_PHYSICAL, 0, LED_VALUE_LINE_DOWN, 0},
    {LED_MASK_DATA_LINK, 1, LED_VALUE_DATA_LINK_UP, 1},
    {LED_MASK_DATA_LINK, 0, LED_VALUE_LAYER1_UP, 0},
};

void RSS_SetLed(Adapter* ThisAdapter, ULONG Line, ULONG Mask, ULONG On)
{
    if (ThisAdapter == NULL || Line >= MAX_LINES || Line >= ThisAdapter->NumberOfLines) return;
    for (const RSS_LED_ROW& row : RssLedTable) {
        if (row.Mask != Mask || row.On != (On ? 1u : 0u)) continue;
        if (row.LineUp >= 0) ThisAdapter->LineUp[Line] = (UCHAR)row.LineUp;
        AdapterSetLatchLed(ThisAdapter, Line, row.Led);
        return;
    }
}

// ---- simulated incoming call and disconnection ----

BOOLEAN BackdoorIncomingCall(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    if (ThisLink != NULL) IncomingCallIndHdlr(ThisLink->ThisAdapter, ThisLink, INFO_TRANSFER_CAPS_SPEECH);
    return TRUE;
}

BOOLEAN BackdoorDisconnect(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    if (ThisLink != NULL) DisconnectHdlr(ThisLink);
    return TRUE;
}

// ---- connect chain ----

static void RssRestartLinkTimer(Link* ThisLink, ULONG Key, ULONG Milliseconds, TMR_CALLBACK Callback)
{
    TmrPool* pool = &ThisLink->ThisAdapter->AdapterTimerPool;
    while (TmrClear(pool, (ULONG_PTR)ThisLink, Key)) {
    }
    if (!TmrStart(pool, (ULONG_PTR)ThisLink, Key, Milliseconds, Callback, ThisLink))
        RSS_TRACE("Link[%lu][%lu]: no timer %lu\n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index,
                  (unsigned long)Key);
}

void GoToConnectedState(Link* ThisLink)
{
    if (ThisLink == NULL || ThisLink->ThisAdapter == NULL) return;
    Adapter* a = ThisLink->ThisAdapter;
    RSS_TRACE("GoToConnectedState: Grp %lu / Link %lu\n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
    PktStopBackGround(ThisLink, LINK_TMR_RX_BACKGROUND);
    PktStopBackGround(ThisLink, LINK_TMR_TX_BACKGROUND);
    ThisLink->ChannelState = CHANNEL_STATE_ACTIVE;
    SetLinkBufferGeometry(ThisLink);
    // The channel's descriptors follow the geometry the rings are built with.
    ULONG channel = GetLinkTimeslot(ThisLink);
    if (channel < BT847X_CHANNELS)
        Bt847xSetupChannelMsgDescr(&a->Bt847x, ThisLink->GroupID, channel, ThisLink->NumTxPackets,
                                   ThisLink->TxPacketSize, ThisLink->RxMsgPerCh, ThisLink->RxPacketSize);
    ClearLinkStatistics(ThisLink);
    InitChTxPackets(ThisLink);
    InitChRxPackets(ThisLink);
    ThisLink->ReadTxPacketIdx = 0;
    ThisLink->WriteTxPacketIdx = 0;
    // A receiver left running by the channel's previous call (or the D channel's previous
    // layer 1) keeps writing at its own descriptor until the controller stops it; the
    // receive ring is built afresh only once it has, so reader and receiver start together.
    if (!Bt847xChannelRequest(0, 0, GoToConnectedStateRxStopped, ThisLink)) {
        RSS_TRACE("GoToConnectedState: receive deactivation refused\n");
        return;  // nothing to wait for: no fallback
    }
    RssRestartLinkTimer(ThisLink, LINK_TMR_SACK_FALLBACK, SACK_FALLBACK_MS, ConnectedSackCallback);
}

void GoToConnectedStateRxStopped(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    TmrPool* pool = &ThisLink->ThisAdapter->AdapterTimerPool;
    // The call ended (or a loop-back took the channel) while the receiver was being stopped.
    if (ThisLink->ChannelState != CHANNEL_STATE_ACTIVE) {
        while (TmrClear(pool, (ULONG_PTR)ThisLink, LINK_TMR_SACK_FALLBACK)) {
        }
        return;
    }
    InitChRxPackets(ThisLink);
    if (!Bt847xChannelRequest(0, 1, GoToConnectedState2, ThisLink)) {
        RSS_TRACE("GoToConnectedState: receive activation refused\n");
        while (TmrClear(pool, (ULONG_PTR)ThisLink, LINK_TMR_SACK_FALLBACK)) {
        }
        return;
    }
    RssRestartLinkTimer(ThisLink, LINK_TMR_SACK_FALLBACK, SACK_FALLBACK_MS, ConnectedSackCallback);
}

BOOLEAN GoToConnectedStateTmr(PVOID Context)
{
    GoToConnectedState((Link*)Context);
    return TRUE;
}

void GoToConnectedState2(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    while (TmrClear(&ThisLink->ThisAdapter->AdapterTimerPool, (ULONG_PTR)ThisLink, LINK_TMR_SACK_FALLBACK)) {
    }
    PktStartBackGround(ThisLink, LINK_TMR_RX_BACKGROUND);
    Bt847xChannelRequest(1, 1, GoToConnectedState3, ThisLink);
}

void GoToConnectedState3(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    PktStartBackGround(ThisLink, LINK_TMR_TX_BACKGROUND);
    IndicateCallConnected2Owner(ThisLink);
}

BOOLEAN ConnectedSackCallback(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    if (ThisLink->ForcedSackCount < MAX_FORCED_SACKS) {
        ThisLink->ForcedSackCount++;
        Bt847xEventSACKhdlr(&ThisLink->ThisAdapter->Bt847x);
    }
    return TRUE;
}

// ---- owner indications ----

// Counter index of a connected call by its transfer capability and speed; -1 none.
static LONG RssConnectCounter(Link* ThisLink)
{
    switch (ThisLink->TransferCaps) {
    case 1: return offsetof(CALL_STATS, Connect64K) / sizeof(ULONG);
    case 2: return offsetof(CALL_STATS, Connect56K) / sizeof(ULONG);
    case 0:
        if (ThisLink->LinkSpeed == 300) return offsetof(CALL_STATS, ConnectAt300) / sizeof(ULONG);
        if (ThisLink->LinkSpeed <= 14400) return offsetof(CALL_STATS, ConnectTo14400) / sizeof(ULONG);
        if (ThisLink->LinkSpeed <= 33600) return offsetof(CALL_STATS, ConnectTo33600) / sizeof(ULONG);
        return offsetof(CALL_STATS, ConnectAbove33600) / sizeof(ULONG);
    default: return -1;
    }
}

void IndicateCallConnected2Owner(Link* ThisLink)
{
    Adapter* a = ThisLink->ThisAdapter;
    RSS_TRACE("IndicateCallConnected2Owner[%lu][%lu]: %lu\n", (unsigned long)ThisLink->GroupID,
              (unsigned long)ThisLink->Index, (unsigned long)ThisLink->CurrentOwner);
    // The D channel coming up is no call.
    if (ThisLink->IsDChannelLink == 0 && ThisLink->GroupID < MAX_GROUPS) {
        PULONG link = (PULONG)&ThisLink->LinkCallStats;
        PULONG group = (PULONG)&a->GroupCallStats[ThisLink->GroupID];
        ULONG connected = offsetof(CALL_STATS, ConnectInd) / sizeof(ULONG);
        link[connected]++;
        group[connected]++;
        LONG k = RssConnectCounter(ThisLink);
        if (k >= 0) {
            link[k]++;
            group[k]++;
        } else {
            RSS_TRACE("GoToConnectedState3:Unknown TransferCaps %lu for Link %lu\n", (unsigned long)ThisLink->TransferCaps,
                      (unsigned long)ThisLink->Index);
        }
    }
    switch (ThisLink->CurrentOwner) {
    case OWNER_TELEPHONY_SUBSYSTEM: TapiLineDevStateHandler(a, ThisLink, LINEDEVSTATE_CONNECTED); break;
    case OWNER_NONE:
    case OWNER_VOVIZ4EZ:
    case OWNER_VOVIZ4EZ_ALT:
    case OWNER_DRIVER:
    case OWNER_SIGNALLING_STACK:
    case OWNER_RESERVED_5: break;
    default: RSS_TRACE("Call Connected with no owner\n"); break;
    }
}

// ---- call control: helpers ----

#define RSS_STAT(Field) (offsetof(CALL_STATS, Field) / sizeof(ULONG))

static BOOLEAN RssGroupOk(const Link* ThisLink)
{
    return ThisLink->ThisAdapter != NULL && ThisLink->GroupID < MAX_GROUPS;
}

// The Link's stack, asked through its Control entry; 0xFFFF when there is none.
static ULONG RssControl(Link* ThisLink, ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    if (!RssGroupOk(ThisLink)) return CONTROL_UNKNOWN;
    SGNL_CONTROL control = ThisLink->ThisAdapter->SgnlProtocolOps[ThisLink->GroupID].Control;
    return control != NULL ? control(Kind, Id, Object, Argument) : CONTROL_UNKNOWN;
}

// Bytes of the group's stack instance from the Link's call object on; 0 when the call
// object does not lie inside that instance (every stack keeps its call objects there).
static ULONG_PTR RssCallObjectRoom(Link* ThisLink)
{
    Adapter* a = ThisLink->ThisAdapter;
    ULONG_PTR base = (ULONG_PTR)a->ThisSgnlStack[ThisLink->GroupID];
    ULONG_PTR size = a->SgnlStackSize[ThisLink->GroupID];
    ULONG_PTR call = (ULONG_PTR)ThisLink->ThisBChannel;
    if (base == 0 || call < base || call - base >= size) return 0;
    return size - (call - base);
}

// A primitive on the Link's call object (the stacks ignore a missing one); a call object
// that is not the stack's is never handed to it.
static void RssCallRequest(Link* ThisLink, UCHAR Primitive, PUCHAR Number, UCHAR Value, ULONG Flag)
{
    if (!RssGroupOk(ThisLink)) return;
    if (ThisLink->ThisBChannel != NULL && RssCallObjectRoom(ThisLink) == 0) {
        RSS_TRACE("Link[%lu][%lu]: call object %p is not the stack's\n", (unsigned long)ThisLink->GroupID,
                  (unsigned long)ThisLink->Index, ThisLink->ThisBChannel);
        return;
    }
    SGNL_CALL_REQUEST request = ThisLink->ThisAdapter->SgnlProtocolOps[ThisLink->GroupID].CallRequest;
    if (request != NULL) request(Primitive, ThisLink->ThisBChannel, Number, Value, Flag);
}

static void RssRejectCall(Link* ThisLink, UCHAR Cause)
{
    RssCallRequest(ThisLink, REQUEST_DISCONNECT, NULL, Cause, ThisLink->DisconnectFlag);
}

static BOOLEAN RssSerialOwned(const Link* ThisLink)
{
    return ThisLink->CurrentOwner == OWNER_VOVIZ4EZ || ThisLink->CurrentOwner == OWNER_VOVIZ4EZ_ALT;
}

// Owners whose calls call control routes, rings and connects itself.
static BOOLEAN RssRoutedOwner(const Link* ThisLink)
{
    return ThisLink->CurrentOwner == OWNER_TELEPHONY_SUBSYSTEM || ThisLink->CurrentOwner == OWNER_DRIVER;
}

static void RssCountCall(Link* ThisLink, ULONG Counter)
{
    ((PULONG)&ThisLink->LinkCallStats)[Counter]++;
    if (RssGroupOk(ThisLink)) ((PULONG)&ThisLink->ThisAdapter->GroupCallStats[ThisLink->GroupID])[Counter]++;
}

static void RssStartLinkTimer(Link* ThisLink, ULONG Key, ULONG Milliseconds, TMR_CALLBACK Callback)
{
    RssRestartLinkTimer(ThisLink, Key, Milliseconds, Callback);
}

BOOLEAN RSS_CallViaPump(Link* ThisLink)
{
    if (ThisLink->TransferCaps == INFO_TRANSFER_CAPS_SPEECH) return TRUE;
    return RssGroupOk(ThisLink) && ThisLink->ThisAdapter->ISDNthroughCSM[ThisLink->GroupID] == 1;
}

static BOOLEAN RssDialable(UCHAR c) { return (c >= '0' && c <= '9') || c == '*' || c == '#'; }

BOOLEAN RSS_ReadCallNumber(Link* ThisLink, ULONG LengthId, ULONG DigitsId, CHAR* Field)
{
    Field[0] = 0;
    if (ThisLink == NULL || ThisLink->ThisBChannel == NULL || !RssGroupOk(ThisLink)) return FALSE;
    if (RssCallObjectRoom(ThisLink) == 0) return FALSE;
    ULONG length = RssControl(ThisLink, CTL_KIND_CALL, LengthId, ThisLink->ThisBChannel, 0);
    if (length == 0) return TRUE;
    if (length == CONTROL_UNKNOWN) return FALSE;
    ULONG offset = RssControl(ThisLink, CTL_KIND_CALL, DigitsId, ThisLink->ThisBChannel, 0);
    // The digits lie in the call object, and the call object inside the stack's instance.
    ULONG_PTR room = RssCallObjectRoom(ThisLink);
    if (offset == CONTROL_UNKNOWN || room == 0) return FALSE;
    if (offset >= room || length > room - offset) {
        RSS_TRACE("\tnumber 0x%lx at offset %lu outside the call object\n", (unsigned long)DigitsId, (unsigned long)offset);
        return FALSE;
    }
    const UCHAR* digits = (const UCHAR*)ThisLink->ThisBChannel + offset;
    for (ULONG i = 0; i < length; i++)
        if (!RssDialable(digits[i])) {
            RSS_TRACE("\tnumber 0x%lx holds 0x%02x\n", (unsigned long)DigitsId, digits[i]);
            return FALSE;
        }
    // A longer number keeps its last digits: those the directory numbers are matched on.
    ULONG skip = length > CALL_NUMBER_MAX_DIGITS ? length - CALL_NUMBER_MAX_DIGITS : 0;
    for (ULONG i = skip; i < length; i++) Field[1 + i - skip] = (CHAR)digits[i];
    Field[0] = (CHAR)(length - skip);
    return TRUE;
}

// ---- incoming calls and call routing ----

typedef struct _RSS_BEARER_ROW {
    ULONG LinkSpeed;
    const char* Name;
} RSS_BEARER_ROW;

static const RSS_BEARER_ROW RssBearerTable[NUM_BEARER_CODES] = {
    {64000, "\tINFO_TRANSFER_CAPS_SPEECH\n"},
    {64000, "\tINFO_TRANSFER_CAPS_UNRESTRICTED_64K\n"},
    {56000, "\tINFO_TRANSFER_CAPS_RESTRICTED_56K\n"},
    {64000, "\tINFO_TRANSFER_CAPS_3_1KHZ_AUDIO\n"},
    {64000, "\tINFO_TRANSFER_CAPS_UNRESTRICTED_64K_TONES\n"},
    {64000, "\tINFO_TRANSFER_CAPS_VIDEO\n"},
};

static const char* const RssChannelProtocolNames[] = {
    "\tCHANNEL_PROTOCOL_V42\n", "\tCHANNEL_PROTOCOL_RTP\n", "\tCHANNEL_PROTOCOL_V120\n", "\tCHANNEL_PROTOCOL_V110\n"};

BOOLEAN CheckChannelProtocol(Link* ThisLink)
{
    if (ThisLink->ChannelProtocol <= CHANNEL_PROTOCOL_V110) {
        RSS_TRACE("%s", RssChannelProtocolNames[ThisLink->ChannelProtocol]);
        return TRUE;
    }
    RSS_TRACE("\tUnknown ChannelProtocol %lu\n", (unsigned long)ThisLink->ChannelProtocol);
    return FALSE;
}

BOOLEAN DecodeIncomingCall(Adapter*, Link* ThisLink, ULONG BearerCode)
{
    RSS_LOG("DecodeIncomingCall\n");
    RssCountCall(ThisLink, RSS_STAT(IncomingInd));
    RSS_TRACE("\tCall Number: %lu\n", (unsigned long)ThisLink->LinkCallStats.IncomingInd);
    ThisLink->DisconnectCause = DISCONNECT_CAUSE_NONE;
    ThisLink->DisconnectFlag = 0;
    ThisLink->OutgoingCall = 0;
    ThisLink->LinkSpeed = 0;
    ThisLink->TransferCaps = BearerCode;
    if (ThisLink->InboundBackToBack != 1 && RssGroupOk(ThisLink) && ThisLink->Index < MAX_LINKS_PER_GROUP)
        ThisLink->ChannelProtocol = ThisLink->ThisAdapter->DirectoryNumberChProtocol[ThisLink->GroupID][ThisLink->Index];
    if (BearerCode >= NUM_BEARER_CODES) {
        RSS_TRACE("\tUnknown Transfer Caps %lu\n", (unsigned long)BearerCode);
        return FALSE;
    }
    ThisLink->LinkSpeed = RssBearerTable[BearerCode].LinkSpeed;
    RSS_TRACE("%s", RssBearerTable[BearerCode].Name);
    if (!CheckChannelProtocol(ThisLink)) return FALSE;
    RSS_TRACE("\tParameters OK\n");
    return TRUE;
}

static void RssLogNumber(const char* Label, const CHAR* Field)
{
    RSS_LOG("%s", Label);
    for (LONG i = 0; i < (LONG)(signed char)Field[0]; i++) DbgPrint("%c", Field[1 + i]);
    DbgPrint("\n");
}

void IncomingCallIndHdlr(Adapter* ThisAdapter, Link* ThisLink, ULONG BearerCode)
{
    RSS_LOG("IncomingCallIndHdlr: Entry\n\tGroupID=%ld\tIndex=%ld\n", ThisLink ? (long)ThisLink->GroupID : -1L,
            ThisLink ? (long)ThisLink->Index : -1L);
    if (ThisAdapter == NULL) {
        RSS_TRACE("\tThisAdapter = NULL\n");
        return;
    }
    if (ThisLink == NULL || ThisLink->ThisAdapter != ThisAdapter || !RssGroupOk(ThisLink)) {
        RSS_TRACE("\tThisLink = NULL\n");
        return;
    }
    if (ThisLink->ThisBChannel == NULL) {
        RSS_LOG("\tThisLink->ThisBChannel = NULL\n");
        return;
    }
    RSS_LOG("\tThisLink->ThisBChannel = %8.8lx\n", (unsigned long)(ULONG_PTR)ThisLink->ThisBChannel);
    if (RssCallObjectRoom(ThisLink) == 0) {
        RSS_TRACE("\tThisBChannel is not a call of the line's stack\n");
        return;
    }
    ThisLink->TransferTerminated = 0;
    // A call of unusable parameters stays with the stack until the network clears it.
    if (!DecodeIncomingCall(ThisAdapter, ThisLink, BearerCode)) return;
    RSS_ReadCallNumber(ThisLink, CTL_CALLING_NUMBER_LENGTH, CTL_CALLING_NUMBER, ThisLink->CallingNumber);
    RssLogNumber("\tCalling Number: ", ThisLink->CallingNumber);
    RSS_ReadCallNumber(ThisLink, CTL_CALLED_NUMBER_LENGTH, CTL_CALLED_NUMBER, ThisLink->CalledNumber);
    SetLinkBufferGeometry(ThisLink);

    if (RssSerialOwned(ThisLink)) {
        if (ThisLink->ThisPump != NULL && ThisLink->ThisAsyncPort != NULL) {
            PumpSetPendingEvent(ThisLink->ThisPump, Host_Ev_IncomingCall);
            ThisLink->LinkSpeed = 33600;
            return;
        }
        RSS_TRACE("\tThisPump or  ThisAsyncPort is NULL\n");
        RSS_TRACE("REQUEST_DISCONNECT : BUSY No pump available\n");
        RssRejectCall(ThisLink, BUSY);
        return;
    }
    // A Link nobody answers for is neither rung nor refused: the call rings unanswered
    // until the network clears it.
    if (!RssRoutedOwner(ThisLink)) return;
    if (RSS_CallViaPump(ThisLink)) {
        ULONG t = Bt847xBChannelToTimeslot(ThisLink);
        if (t == BT847X_NO_TIMESLOT) {
            RSS_TRACE("ConnectHdlr(): BAD TIMESLOT VALUE - SHOULD NEVER REACH THIS POINT\n");
            MDM_Mgr_DisconnectHdlr(ThisLink);
            return;
        }
        if (MDM_Mgr_IncomingCallHdlr(ThisLink, t)) return;  // PUMP_ReadyHdlr rings the owner
        ThisLink->DisconnectFlag = 0;
        RSS_TRACE("REQUEST_DISCONNECT : BUSY No pump available\n");
        RssRejectCall(ThisLink, BUSY);
        return;
    }
    IndicateCallRinging2Owner(ThisLink);
}

// ---- connect ----

void ConnectHdlr(Link* ThisLink)
{
    RSS_LOG("ConnectHdlr\n");
    if (ThisLink == NULL || !RssGroupOk(ThisLink)) {
        RSS_LOG("/ ThisLink=NULL!!\n");
        return;
    }
    if (ThisLink->ThisBChannel == NULL || RssCallObjectRoom(ThisLink) == 0) {
        // No call of the line's stack: nothing to connect, and no channel to open.
        RSS_LOG("/ ThisBChannel=NULL!\n");
        return;
    }
    Adapter* a = ThisLink->ThisAdapter;
    RSS_LOG("\tLink[%lu][%lu]\n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
    ULONG channel = GetLinkTimeslot(ThisLink);
    if (channel < BT847X_CHANNELS)
        Bt847xSetupChannelMsgDescr(&a->Bt847x, ThisLink->GroupID, channel, ThisLink->NumTxPackets, ThisLink->TxPacketSize,
                                   ThisLink->RxMsgPerCh, ThisLink->RxPacketSize);

    if (RssSerialOwned(ThisLink)) {
        if (ThisLink->ThisPump == NULL || ThisLink->ThisAsyncPort == NULL) {
            RSS_LOG("ConnectHdlr(): ThisPump or  ThisAsyncPort is NULL\n");
            return;
        }
        RSS_LOG("ConnectHdlr(): ThisBChannel = %8.8lx\n", (unsigned long)(ULONG_PTR)ThisLink->ThisBChannel);
        ULONG t = Bt847xBChannelToTimeslot(ThisLink);
        if (t == BT847X_NO_TIMESLOT) {
            RSS_LOG("ConnectHdlr(): InUseByAsyncPort BAD TIMESLOT VALUE - SHOULD NEVER REACH THIS POINT\n");
            return;
        }
        PumpSetBChannelTimeslot(ThisLink->ThisPump, t);
        PumpSetPendingEvent(ThisLink->ThisPump, Host_Ev_EnableTimeSlot);
        ClearLinkStatistics(ThisLink);
        InitChTxPackets(ThisLink);
        InitChRxPackets(ThisLink);
        ThisLink->ChannelState = CHANNEL_STATE_ACTIVE;
        Bt847xChannelRequest(1, 1, NULL, ThisLink);
        Bt847xChannelRequest(0, 1, NULL, ThisLink);
        return;
    }
    if (!RssRoutedOwner(ThisLink)) {
        RSS_LOG("\t Unknown CurrentOwner =%lu\n", (unsigned long)ThisLink->CurrentOwner);
        return;
    }
    if (RSS_CallViaPump(ThisLink)) {
        ULONG t = Bt847xBChannelToTimeslot(ThisLink);
        if (t == BT847X_NO_TIMESLOT) {
            RSS_LOG("\tBAD TIMESLOT VALUE - SHOULD NEVER REACH THIS POINT\n");
            MDM_Mgr_DisconnectHdlr(ThisLink);
            return;
        }
        if (!MDM_Mgr_ConnectHdlr(ThisLink, t)) {
            RSS_LOG("REQUEST_DISCONNECT : CALLREJECTED Pump not ready to handshake\n");
            RssCallRequest(ThisLink, REQUEST_DISCONNECT, NULL, CALLREJECTED, 0);
            IndicateCallDisConnected2Owner(ThisLink);
        }
    } else {
        Bt847xAssignTimeslot(ThisLink, TIMESLOT_KIND_B_CHANNEL, 1);
        RssStartLinkTimer(ThisLink, LINK_TMR_CONNECT, a->TimerResolution, GoToConnectedStateTmr);
    }
    RSS_LOG("ConnectHdlr:Exit\n");
}

// ---- owner indications ----

void IndicateCallRinging2Owner(Link* ThisLink)
{
    RSS_TRACE("IndicateCallRinging2Owner[%lu][%lu]: %lu\n", (unsigned long)ThisLink->GroupID,
              (unsigned long)ThisLink->Index, (unsigned long)ThisLink->CurrentOwner);
    switch (ThisLink->CurrentOwner) {
    case OWNER_TELEPHONY_SUBSYSTEM: TapiLineDevStateHandler(ThisLink->ThisAdapter, ThisLink, LINEDEVSTATE_RINGING); break;
    case OWNER_DRIVER: RSS_AnswerCall(ThisLink); break;
    case OWNER_NONE:
    case OWNER_VOVIZ4EZ:
    case OWNER_VOVIZ4EZ_ALT:
    case OWNER_SIGNALLING_STACK:
    case OWNER_RESERVED_5: break;
    default: RSS_TRACE("Call Ringing with no owner\n"); break;
    }
}

void IndicateCallDisConnected2Owner(Link* ThisLink)
{
    RSS_TRACE("IndicateCallDisConnected2Owner[%lu][%lu]: %lu\n", (unsigned long)ThisLink->GroupID,
              (unsigned long)ThisLink->Index, (unsigned long)ThisLink->CurrentOwner);
    switch (ThisLink->CurrentOwner) {
    case OWNER_TELEPHONY_SUBSYSTEM:
        TapiLineDevStateHandler(ThisLink->ThisAdapter, ThisLink, LINEDEVSTATE_DISCONNECTED);
        break;
    // The driver is its own owner: its data path and its call end.
    case OWNER_DRIVER: RSS_Disconnect(ThisLink, TERMINATE_TRANSFER | TERMINATE_CALL); break;
    case OWNER_NONE:
    case OWNER_VOVIZ4EZ:
    case OWNER_VOVIZ4EZ_ALT:
    case OWNER_SIGNALLING_STACK:
    case OWNER_RESERVED_5: break;
    default:
        RSS_TRACE("Call DisConnected with no owner\n");
        RSS_Disconnect(ThisLink, TERMINATE_TRANSFER | TERMINATE_CALL);
        break;
    }
}

// ---- outgoing calls, answer and call modifiers ----

static void RssCopyDirectoryNumber(Link* ThisLink)
{
    ThisLink->CallingNumber[0] = 0;
    if (ThisLink->Index >= MAX_LINKS_PER_GROUP) return;
    const DIRECTORY_NUMBER* dn = &ThisLink->ThisAdapter->DirectoryNumber[ThisLink->GroupID][ThisLink->Index];
    ULONG n = dn->Count <= CALL_NUMBER_MAX_DIGITS ? dn->Count : CALL_NUMBER_MAX_DIGITS;
    for (ULONG i = 0; i < n; i++) ThisLink->CallingNumber[1 + i] = dn->Digits[i];
    ThisLink->CallingNumber[0] = (CHAR)n;
}

BOOLEAN RSS_MakeCall(Link* ThisLink)
{
    RSS_LOG("RSS_MakeCall:\n");
    if (ThisLink == NULL || !RssGroupOk(ThisLink)) return FALSE;
    Adapter* a = ThisLink->ThisAdapter;
    if ((UCHAR)ThisLink->CalledNumber[0] > CALL_NUMBER_MAX_DIGITS ||
        ThisLink->TransferCaps > INFO_TRANSFER_CAPS_RESTRICTED_56K) {
        RSS_TRACE("\tUnknown TransferCaps %lu for Link %lu\n", (unsigned long)ThisLink->TransferCaps,
                  (unsigned long)ThisLink->Index);
        return FALSE;
    }
    // A call still bound to the Link (offered and unanswered, or not yet cleared by the
    // network) keeps it: a second call object would be unbound with the first one's.
    if (ThisLink->ThisBChannel != NULL) {
        RSS_TRACE("\tLink %lu still holds a call\n", (unsigned long)ThisLink->Index);
        return FALSE;
    }
    RssCountCall(ThisLink, RSS_STAT(DialRequests));
    ThisLink->OutgoingCall = 1;
    BOOLEAN serial = RssSerialOwned(ThisLink);
    BOOLEAN viaPump = RSS_CallViaPump(ThisLink);
    if (!serial && viaPump && !MDM_Mgr_MakeCallHdlr(ThisLink)) {
        ThisLink->OutgoingCall = 0;
        return FALSE;
    }
    ThisLink->DisconnectCause = DISCONNECT_CAUSE_NONE;
    ThisLink->DisconnectFlag = 0;
    SGNL_ALLOC_CALL alloc = a->SgnlProtocolOps[ThisLink->GroupID].AllocCall;
    ThisLink->ThisBChannel = alloc != NULL ? alloc(a->ThisSgnlStack[ThisLink->GroupID], ThisLink, ThisLink->Index) : NULL;
    if (ThisLink->ThisBChannel == NULL) {
        RSS_TRACE("\tNo available Channel for This Link\n");
        if (ThisLink->ThisPump != NULL) {
            PumpSetPendingEvent(ThisLink->ThisPump, Host_Ev_Sleep);
            ThisLink->ThisPump->ThisLink = NULL;
            ThisLink->ThisPump = NULL;
        }
        return FALSE;
    }
    RSS_LOG("ThisLink=%08lx, Link #%lu, ThisBCh=%08lx\n", (unsigned long)(ULONG_PTR)ThisLink, (unsigned long)ThisLink->Index,
            (unsigned long)(ULONG_PTR)ThisLink->ThisBChannel);
    RssCopyDirectoryNumber(ThisLink);
    SetLinkBufferGeometry(ThisLink);
    RSS_TRACE("CalledNumber:");
    for (ULONG i = 0; i < (UCHAR)ThisLink->CalledNumber[0]; i++) RSS_TRACE("%c ", ThisLink->CalledNumber[1 + i]);
    RSS_TRACE("\n");
    RSS_TRACE("%s", RssBearerTable[ThisLink->TransferCaps].Name);
    if (!serial && viaPump) return TRUE;  // PUMP_ReadyHdlr sends the SETUP
    RSS_TRACE("MakeCall: Group %lu Link %lu \n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
    RssCallRequest(ThisLink, REQUEST_SETUP, (PUCHAR)ThisLink->CalledNumber, (UCHAR)ThisLink->TransferCaps, 0);
    if (ThisLink->ThisBChannel == NULL) {
        // The stack refused the SETUP (a number it cannot send) and let go of the call.
        RSS_TRACE("\tSETUP refused by the stack\n");
        ThisLink->OutgoingCall = 0;
        return FALSE;
    }
    if (serial) RSS_TRACE("MakeCall: Dial has been performed!!\n");
    return TRUE;
}

BOOLEAN RSS_AnswerCall(Link* ThisLink)
{
    if (ThisLink == NULL) return FALSE;
    RSS_LOG("RSS_AnswerCall:Link[%lu][%lu]\n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
    RssCountCall(ThisLink, RSS_STAT(AnswerRequests));
    RSS_TRACE("TAPI SENDS SETUP REQUEST RESPONSE\n");
    RssCallRequest(ThisLink, REQUEST_SETUP_RESPONSE, NULL, 0, 0);
    return TRUE;
}

typedef struct _RSS_MODIFIER_ROW {
    UCHAR Letter;  // upper case
    const char* Trace;
    ULONG ChannelProtocol;
    ULONG LinkSpeed;
    ULONG TransferCaps;
} RSS_MODIFIER_ROW;

static const RSS_MODIFIER_ROW RssModifierTable[] = {
    {'I', "\tFound %c : ISDN 64K call\n", CHANNEL_PROTOCOL_V42, 64000, INFO_TRANSFER_CAPS_UNRESTRICTED_64K},
    {'R', "\tFound %c : ISDN 56K call\n", CHANNEL_PROTOCOL_V42, 56000, INFO_TRANSFER_CAPS_RESTRICTED_56K},
    {'M', "\tFound %c : Modem call\n", CHANNEL_PROTOCOL_V42, 64000, INFO_TRANSFER_CAPS_SPEECH},
    {'V', "\tFound %c : VOP call\n", CHANNEL_PROTOCOL_RTP, 64000, INFO_TRANSFER_CAPS_SPEECH},
};

static const RSS_MODIFIER_ROW* RssModifier(UCHAR c)
{
    if (c >= 'a' && c <= 'z') c = (UCHAR)(c - 'a' + 'A');
    for (const RSS_MODIFIER_ROW& row : RssModifierTable)
        if (row.Letter == c) return &row;
    return NULL;
}

ULONG DecodeCallModifiers(Link* ThisLink, const UCHAR* DialString, ULONG Length)
{
    if (ThisLink == NULL) return 0;
    ThisLink->CalledNumber[0] = 0;
    if (DialString == NULL) return 0;
    RSS_TRACE("DecodeCallModifiers: Length of TAPI Called Number %lu : %.*s\n", (unsigned long)Length, (int)Length,
              (const char*)DialString);
    ULONG digits = 0;
    for (ULONG i = 0; i < Length; i++) {
        UCHAR c = DialString[i];
        const RSS_MODIFIER_ROW* row;
        if (c >= '0' && c <= '9') {
            if (digits == CALL_NUMBER_MAX_DIGITS) {
                // A shortened number would reach somebody else: no number at all.
                RSS_TRACE("\tCalled Number longer than %d digits\n", CALL_NUMBER_MAX_DIGITS);
                ThisLink->CalledNumber[0] = 0;
                return 0;
            }
            ThisLink->CalledNumber[1 + digits++] = (CHAR)c;
        } else if (digits == CALL_NUMBER_MAX_DIGITS) {
            continue;  // past the 39th digit only a further digit matters
        } else if ((row = RssModifier(c)) != NULL) {
            RSS_TRACE(row->Trace, c);
            ThisLink->ChannelProtocol = row->ChannelProtocol;
            ThisLink->LinkSpeed = row->LinkSpeed;
            ThisLink->TransferCaps = row->TransferCaps;
        } else {
            RSS_TRACE("\tUnknown Call Modifier %c : \n", c);
        }
    }
    ThisLink->CalledNumber[0] = (CHAR)digits;
    RSS_TRACE("\tLength of Link Called Number %lu : %.*s\n", (unsigned long)digits, (int)digits, ThisLink->CalledNumber + 1);
    CheckChannelProtocol(ThisLink);
    return digits;
}

// ---- call clearing ----

BOOLEAN DisconnectLinkChannel(Link* ThisLink)
{
    if (!RssSerialOwned(ThisLink)) return FALSE;
    if (ThisLink->ThisPump == NULL) {
        RSS_TRACE("DisconnectHdlr(): ThisPump or  ThisAsyncPort is NULL\n");
        return TRUE;
    }
    if (ThisLink->ThisAsyncPort != NULL) {
        PumpSetPendingEvent(ThisLink->ThisPump, Host_Ev_ChannelDisconnected);
        ThisLink->ChannelState = CHANNEL_STATE_IDLE;
        Bt847xChannelRequest(0, 0, NULL, ThisLink);
        Bt847xChannelRequest(1, 0, NULL, ThisLink);
        Bt847xAssignTimeslot(ThisLink, TIMESLOT_KIND_PUMP, 0);
    }
    ThisLink->OutgoingCall = 0;
    if (ThisLink->ThisBChannel != NULL) {
        RSS_TRACE("REQUEST_DISCONNECT : NORMALCALLCLEARING No B Channel\n");
        // The stack's clearing of this call may come after the port has been closed and
        // opened again: it then belongs to no session of the port.
        ThisLink->ClearedBChannel = ThisLink->ThisBChannel;
        RssCallRequest(ThisLink, REQUEST_DISCONNECT, NULL, NORMALCALLCLEARING, ThisLink->DisconnectFlag);
    }
    return TRUE;
}

void DisconnectHdlr(Link* ThisLink)
{
    if (ThisLink == NULL || !RssGroupOk(ThisLink)) return;
    if (ThisLink->ThisBChannel != NULL && ThisLink->ThisBChannel == ThisLink->ClearedBChannel) {
        RSS_TRACE("DisconnectHdlr: Link %lu was cleared by its port already\n", (unsigned long)ThisLink->Index);
        return;
    }
    if (ThisLink->ThisPump != NULL && PumpIsFaxConnection(ThisLink->ThisPump)) {
        RSS_TRACE("DisconnectHdlr: FaxConnection\n");
        return;
    }
    if (ThisLink->DisconnectCause == DISCONNECT_CAUSE_NONE) ThisLink->DisconnectCause = DISCONNECT_CAUSE_NETWORK;
    if (DisconnectLinkChannel(ThisLink)) return;
    IndicateCallDisConnected2Owner(ThisLink);
}

void DisableLinkTimeslot(Link* ThisLink)
{
    if (RSS_CallViaPump(ThisLink)) {
        if (ThisLink->ThisPump != NULL) Bt847xAssignTimeslot(ThisLink, TIMESLOT_KIND_PUMP, 0);
    } else {
        Bt847xAssignTimeslot(ThisLink, TIMESLOT_KIND_B_CHANNEL, 0);
    }
}

static BOOLEAN RssTxEntrySent(const TX_PACKET* Entry)
{
    return Entry->InFlight && Entry->Descriptor != NULL &&
           (((const BT847X_DESCR*)Entry->Descriptor)->Status & BT847X_DESCR_OWNER) == 0;
}

// Empties the send ring in ring order from the completion index; what NDIS handed over
// is noted in Done (the frame the controller has sent as a success, the others failed).
static ULONG RssTakeSendRing(Link* ThisLink, PNDIS_WAN_PACKET* Done, NDIS_STATUS* Status)
{
    ULONG n = ThisLink->NumTxPackets >= 1 && ThisLink->NumTxPackets <= MAX_TX_PACKETS ? ThisLink->NumTxPackets
                                                                                        : MAX_TX_PACKETS;
    ULONG idx = ThisLink->ReadTxPacketIdx < n ? ThisLink->ReadTxPacketIdx : 0, count = 0;
    for (ULONG k = 0; k < MAX_TX_PACKETS; k++, idx = idx + 1 >= n ? 0 : idx + 1) {
        // The ring's entries in ring order, then any entry beyond a shrunken ring.
        TX_PACKET* e = &ThisLink->TxPackets[k < n ? idx : k];
        if (e->Packet == NULL) continue;
        BOOLEAN sent = RssTxEntrySent(e);
        LinkTxRingNoteCompleted(ThisLink);
        if (sent && ThisLink->Stats.TxByteCount != 0xFFFFFFFF)
            ThisLink->Stats.TxByteCount = e->Length > 0xFFFFFFFF - ThisLink->Stats.TxByteCount
                                              ? 0xFFFFFFFF
                                              : ThisLink->Stats.TxByteCount + e->Length;
        Done[count] = (PNDIS_WAN_PACKET)e->Packet;
        Status[count++] = sent ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
        e->Packet = NULL;
        e->InFlight = 0;
    }
    ThisLink->ReadTxPacketIdx = ThisLink->DriverWriteTxPacketIdx = ThisLink->WriteTxPacketIdx = 0;
    return count;
}

void RSS_Disconnect(Link* ThisLink, ULONG Mask)
{
    RSS_TRACE("RSS_Disconnect\n");
    if (ThisLink == NULL || !RssGroupOk(ThisLink)) return;
    Adapter* a = ThisLink->ThisAdapter;
    RSS_TRACE("\tLink[%lu][%lu]\n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
    if (Mask & TERMINATE_TRANSFER) {
        RSS_TRACE("\tTERMINATE_TRANSFER\n");
        PNDIS_WAN_PACKET done[MAX_TX_PACKETS];
        NDIS_STATUS status[MAX_TX_PACKETS];
        ULONG count = 0;
        if (ThisLink->IsDChannelLink == 0) {
            ThisLink->TransferTerminated = 1;
            count = RssTakeSendRing(ThisLink, done, status);
        }
        ThisLink->ChannelState = CHANNEL_STATE_IDLE;
        PktStopBackGround(ThisLink, LINK_TMR_RX_BACKGROUND);
        PktStopBackGround(ThisLink, LINK_TMR_TX_BACKGROUND);
        InitChTxPackets(ThisLink);
        // The Link is idle and refuses sends: the lock may go for NDIS.
        for (ULONG i = 0; i < count; i++) {
            RSS_TRACE("NdisMWanSendComplete:%lu: %lu,%lu\n", (unsigned long)i, (unsigned long)ThisLink->GroupID,
                      (unsigned long)ThisLink->Index);
            NdisReleaseSpinLock(&a->AdapterSpinLock);
            NdisMWanSendComplete(a->MiniportAdapterHandle, done[i], status[i]);
            NdisAcquireSpinLock(&a->AdapterSpinLock);
        }
    }
    DisableLinkTimeslot(ThisLink);
    if (Mask & TERMINATE_CALL) {
        RSS_TRACE("\tTERMINATE_CALL\n");
        ThisLink->LinkSpeed = 0;
        ThisLink->RingCount = 0;
        ThisLink->OutgoingCall = 0;
        if (ThisLink->ThisBChannel != NULL)
            RssCallRequest(ThisLink, REQUEST_DISCONNECT, NULL, NORMALCALLCLEARING, ThisLink->DisconnectFlag);
        if (RSS_CallViaPump(ThisLink)) MDM_Mgr_DisconnectHdlr(ThisLink);
    }
    if (Mask & LINK_DOWN) {
        RSS_TRACE("\tLINK_DOWN\n");
        LinkLineDown(ThisLink);
    }
    if (Mask & LINK_RELEASE) {
        RSS_TRACE("\tLINK_RELEASE\n");
        LinkRelease(ThisLink, ThisLink->CurrentOwner);
    }
    RSS_TRACE("\tEXIT\n");
}

void OutOfService(Adapter* ThisAdapter, ULONG Line, ULONG Channel)
{
    RSS_TRACE("OutOfService Grp%lu Ch%lu\n", (unsigned long)Line, (unsigned long)Channel);
    if (ThisAdapter == NULL || Line >= MAX_GROUPS || Channel >= MAX_LINKS_PER_GROUP) return;
    SGNL_CONTROL control = ThisAdapter->SgnlProtocolOps[Line].Control;
    if (control == NULL || control(CTL_KIND_CONST, CTL_PER_CHANNEL_HANDLING, NULL, 0) == 0) return;
    Link* ThisLink = GetLinkByTimeslot(ThisAdapter, Line, Channel);
    if (ThisLink == NULL || ThisLink->IsDChannelLink == 1 || ThisLink->ThisBChannel == NULL) return;
    // The stack is tearing the call down itself: nothing is to be cleared at it again.
    ThisLink->DisconnectFlag = 1;
    IndicateCallDisConnected2Owner(ThisLink);
    ThisLink->ThisBChannel = NULL;
    ThisLink->ClearedBChannel = NULL;
}

// ---- modem pump callbacks ----

void PUMP_ReadyHdlr(Link* ThisLink)
{
    if (ThisLink == NULL || !RssGroupOk(ThisLink)) return;
    RSS_TRACE("PUMP_ReadyHdlr\n");
    RSS_TRACE("\tGroup %lu Index %lu \n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
    if (ThisLink->OutgoingCall == 1) {
        RssCallRequest(ThisLink, REQUEST_SETUP, (PUCHAR)ThisLink->CalledNumber, (UCHAR)ThisLink->TransferCaps, 0);
        if (ThisLink->ThisBChannel == NULL) {
            // The stack refused the SETUP: the call ends before it was dialled.
            DisconnectHdlr(ThisLink);
            return;
        }
        TapiCallStateHandler(ThisLink->ThisAdapter, ThisLink, LINECALLSTATE_DIALING, 0);
        return;
    }
    if (ThisLink->ThisBChannel == NULL) {
        MDM_Mgr_DisconnectHdlr(ThisLink);
        return;
    }
    Bt847xAssignTimeslot(ThisLink, TIMESLOT_KIND_B_TO_PUMP, 0);
    IndicateCallRinging2Owner(ThisLink);
}

void PumpNotReadyHdlr(Link* ThisLink)
{
    if (ThisLink == NULL || !RssGroupOk(ThisLink)) return;
    if (ThisLink->OutgoingCall != 0) {
        if (ThisLink->DisconnectCause == DISCONNECT_CAUSE_NONE) ThisLink->DisconnectCause = DISCONNECT_CAUSE_PUMP_FAILURE;
        IndicateCallDisConnected2Owner(ThisLink);
        return;
    }
    MDM_Mgr_DisconnectHdlr(ThisLink);
}

void PumpReconnectHdlr(Link* ThisLink)
{
    if (ThisLink == NULL || !RssGroupOk(ThisLink)) return;
    Bt847xAssignTimeslot(ThisLink, TIMESLOT_KIND_PUMP, 1);
    RssStartLinkTimer(ThisLink, LINK_TMR_CONNECT, ThisLink->ThisAdapter->TimerResolution, GoToConnectedStateTmr);
}

void PumpDisconnectHdlr(Link* ThisLink)
{
    if (ThisLink == NULL || !RssGroupOk(ThisLink)) return;
    if (ThisLink->DisconnectCause == DISCONNECT_CAUSE_NONE) ThisLink->DisconnectCause = DISCONNECT_CAUSE_PUMP_FAILURE;
    DisconnectHdlr(ThisLink);
}

// ---- Link loop-back test ----

static const UCHAR RssLoopBackText[] =
    "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 1234567890\r\nthe quick brown fox jumps over the lazy dog 1234567890\r\n";
static_assert(sizeof RssLoopBackText == 113, "the text and its zero byte");
static const UCHAR RssLoopBackPattern1[8] = {0x00, 0x00, 0xFF, 0xFF, 0x0F, 0x0F, 0xF0, 0xF0};
static const UCHAR RssLoopBackPattern2[8] = {0xAA, 0xAA, 0x55, 0x55, 0xA5, 0xA5, 0x5A, 0x5A};
static const UCHAR RssLoopBackPattern6[5] = {0x80, 0x80, 0x80, 0x80, 0x80};

void InitLoopBackMessage(Link* ThisLink, ULONG Mode, UCHAR Value, ULONG Length)
{
    if (ThisLink == NULL) return;
    UCHAR pattern[48];
    const UCHAR* p = RssLoopBackText;
    ULONG size = sizeof RssLoopBackText;
    ThisLink->LoopBackMode = Mode;
    ThisLink->LoopBackMessageLength = 0;
    switch (Mode) {
    case 1:
    case 2: {
        const UCHAR* eight = Mode == 1 ? &RssLoopBackPattern1[0] : &RssLoopBackPattern2[0];
        for (ULONG i = 0; i < sizeof pattern; i++) pattern[i] = eight[i % 8];
        p = pattern;
        size = sizeof pattern;
        break;
    }
    case 5:
        pattern[0] = Value;
        p = pattern;
        size = 1;
        break;
    case 6:
        p = RssLoopBackPattern6;
        size = sizeof RssLoopBackPattern6;
        break;
    default: break;
    }
    ULONG total = Length >= 1 && Length < LOOPBACK_MESSAGE_SIZE ? Length : LOOPBACK_MESSAGE_SIZE;
    ULONG length;
    if (total < size) {
        RSS_TRACE("InitLoopBackMessage Total < Size of Pattern\n");
        std::memcpy(ThisLink->LoopBackMessage, p, size);
        length = total;
    } else {
        RSS_TRACE("InitLoopBackMessage Total>= Size of Pattern\n");
        ULONG done = 0;
        while (total - done >= size) {
            std::memcpy(ThisLink->LoopBackMessage + done, p, size);
            done += size;
        }
        std::memcpy(ThisLink->LoopBackMessage + done, p, total - done);
        length = total;
    }
    ThisLink->LoopBackMessageLength = length >= LOOPBACK_PATTERN_MAX ? LOOPBACK_PATTERN_MAX : length;
    RSS_TRACE("InitLoopBackMessag: LoopBackMessageLength = %lu\n", (unsigned long)ThisLink->LoopBackMessageLength);
}

void GoToLoopBackState(Link* ThisLink, UCHAR Verify)
{
    if (ThisLink == NULL || !RssGroupOk(ThisLink)) return;
    RSS_TRACE("GoToLoopBackState:%lu\n", (unsigned long)ThisLink->Index);
    if (ThisLink->ThisBChannel != NULL) {
        // A test does not take a Link from under a call the stack still carries.
        RSS_TRACE("GoToLoopBackState: Link %lu carries a call\n", (unsigned long)ThisLink->Index);
        return;
    }
    if (!Bt847xSetupTimeslotForLoopback(ThisLink, 1)) return;
    PktStopBackGround(ThisLink, LINK_TMR_RX_BACKGROUND);
    PktStopBackGround(ThisLink, LINK_TMR_TX_BACKGROUND);
    ThisLink->LoopBackVerify = Verify != 0 ? 1 : 0;
    Bt847xChannelRequest(1, 0, GoToLoopBackState2, ThisLink);
}

void GoToLoopBackState2(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    RSS_TRACE("GoToLoopBackState2:%lu\n", (unsigned long)ThisLink->Index);
    Bt847xChannelRequest(0, 0, GoToLoopBackState3, ThisLink);
}

void GoToLoopBackState3(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    RSS_TRACE("GoToLoopBackState3:%lu\n", (unsigned long)ThisLink->Index);
    ClearLinkStatistics(ThisLink);
    InitChTxPackets(ThisLink);
    InitChRxPackets(ThisLink);
    ClearChTxPackets(ThisLink);
    ThisLink->ChannelState = CHANNEL_STATE_LOOPBACK;
    Bt847xChannelRequest(0, 1, GoToLoopBackState4, ThisLink);
}

void GoToLoopBackState4(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    RSS_TRACE("GoToLoopBackState4:%lu\n", (unsigned long)ThisLink->Index);
    PktStartBackGround(ThisLink, LINK_TMR_RX_BACKGROUND);
    Bt847xChannelRequest(1, 1, GoToLoopBackState5, ThisLink);
}

void GoToLoopBackState5(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    RSS_TRACE("GoToLoopBackState5:%lu\n", (unsigned long)ThisLink->Index);
    PktStartBackGround(ThisLink, LINK_TMR_TX_BACKGROUND);
}

// ---- the table the stacks receive ----

void RSS_FillInterfaceTable(RSS_INTERFACE_TABLE* Table)
{
    if (Table == NULL) return;
    Table->OutOfService = OutOfService;
    Table->RSS_IsTxQueueFull = RSS_IsTxQueueFull;
    Table->SendLy2Frame = SendLy2Frame;
    Table->GoToConnectedState = GoToConnectedState;
    Table->RSS_GetGroupLink31 = RSS_GetGroupLink31;
    Table->GetLinkAssignedToBChannel = GetLinkAssignedToBChannel;
    Table->RSS_SetLinkBChannel = RSS_SetLinkBChannel;
    Table->RSS_ClearLinkBChannel = RSS_ClearLinkBChannel;
    Table->ConnectHdlr = ConnectHdlr;
    Table->DisconnectHdlr = DisconnectHdlr;
    Table->IncomingCallIndHdlr = IncomingCallIndHdlr;
    Table->RSS_SetLinkDisconnectFlag = RSS_SetLinkDisconnectFlag;
    Table->RSS_SetLed = RSS_SetLed;
    Table->RSS_PrintLink = RSS_PrintLink;
}
