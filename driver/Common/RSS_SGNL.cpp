// Call control's side of the signalling contract: the fourteen callbacks handed to the
// stacks (RSS_FillInterfaceTable), the D-channel send services (RSS_IsTxQueueFull,
// SendLy2Frame, on the Link's send ring), the line LED and LineUp (RSS_SetLed), and the
// simulated incoming call and disconnection, and the connect chain that opens a Link's
// data path (GoToConnectedState .. GoToConnectedState3). Everything runs under AdapterSpinLock,
// held by the caller (stack tick, framer poll, interrupt DPC, adapter-pool timer).
#include "driver/Common/RSS_SGNL.h"

#include <cstddef>

#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_init.h"

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
    if (!Bt847xChannelRequest(0, 1, GoToConnectedState2, ThisLink)) {
        RSS_TRACE("GoToConnectedState: receive activation refused\n");
        return;  // nothing to wait for: no fallback
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
    case OWNER_TELEPHONY_SUBSYSTEM:
        // LINEDEVSTATE_CONNECTED to the TAPI provider, when it lands.
        RSS_TRACE("IndicateCallConnected2Owner: TAPI connected\n");
        break;
    case OWNER_NONE:
    case OWNER_VOVIZ4EZ:
    case OWNER_VOVIZ4EZ_ALT:
    case OWNER_DRIVER:
    case OWNER_SIGNALLING_STACK:
    case 5: break;
    default: RSS_TRACE("Call Connected with no owner\n"); break;
    }
}

// ---- call control (placeholders until call control lands) ----

void OutOfService(Adapter*, ULONG Line, ULONG Channel)
{
    RSS_TRACE("OutOfService: line %lu channel %lu\n", (unsigned long)Line, (unsigned long)Channel);
}

void ConnectHdlr(Link* ThisLink)
{
    if (ThisLink == NULL) return;
    RSS_TRACE("ConnectHdlr: Grp %lu / Link %lu\n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
}

void DisconnectHdlr(Link* ThisLink)
{
    if (ThisLink == NULL) return;
    RSS_TRACE("DisconnectHdlr: Grp %lu / Link %lu\n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
}

void IncomingCallIndHdlr(Adapter* ThisAdapter, Link* ThisLink, ULONG BearerCode)
{
    if (ThisAdapter == NULL || ThisLink == NULL) return;
    RSS_TRACE("IncomingCallIndHdlr: Grp %lu / Link %lu bearer %lu\n", (unsigned long)ThisLink->GroupID,
              (unsigned long)ThisLink->Index, (unsigned long)BearerCode);
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
