// Call control's side of the signalling contract: the fourteen callbacks handed to the
// stacks (RSS_FillInterfaceTable), the D-channel send services (RSS_IsTxQueueFull,
// SendLy2Frame, on the Link's send ring), the line LED and LineUp (RSS_SetLed), and the
// simulated incoming call and disconnection. Everything runs under AdapterSpinLock,
// held by the caller (stack tick, framer poll, interrupt DPC, adapter-pool timer).
#include "driver/Common/RSS_SGNL.h"

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

// ---- call control (placeholders until call control lands) ----

void OutOfService(Adapter*, ULONG Line, ULONG Channel)
{
    RSS_TRACE("OutOfService: line %lu channel %lu\n", (unsigned long)Line, (unsigned long)Channel);
}

void GoToConnectedState(Link* ThisLink)
{
    if (ThisLink == NULL) return;
    RSS_TRACE("GoToConnectedState: Grp %lu / Link %lu\n", (unsigned long)ThisLink->GroupID, (unsigned long)ThisLink->Index);
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
