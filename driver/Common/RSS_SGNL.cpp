// Call control's callbacks to the signalling stacks, and the small services the
// stacks use for the D channel and the line LED. Run under AdapterSpinLock.
#include "driver/Common/RSS_init.h"

BOOLEAN RSS_IsTxQueueFull(Link* ThisLink) { return LinkTxRingFull(ThisLink); }

BOOLEAN SendLy2Frame(Link* ThisLink, PVOID Owner, PUCHAR Frame, UCHAR Length)
{
    if (ThisLink == NULL || Frame == NULL) return FALSE;
    if (LinkTxRingFull(ThisLink)) {
        RSS_TRACE("SendLy2Frame() : Too many messages\n");
        return FALSE;
    }
    LinkTxRingNoteQueued(ThisLink);
    TX_PACKET* entry = &ThisLink->TxPackets[ThisLink->WriteTxPacketIdx];
    entry->Packet = Owner;
    entry->Data = Frame + 1;
    entry->Length = Length;
    entry->Word4 = 0;
    entry->InFlight = 0;
    ThisLink->WriteTxPacketIdx++;
    if (ThisLink->WriteTxPacketIdx >= ThisLink->NumTxPackets) ThisLink->WriteTxPacketIdx = 0;
    return TRUE;
}

void RSS_SetLed(Adapter* ThisAdapter, ULONG Line, ULONG Mask, ULONG On)
{
    ULONG value;
    if (Line >= MAX_LINES) return;
    if (Mask == 0xE0) {
        value = On ? 0 : 1;
        if (!On) ThisAdapter->LineUp[Line] = 0;
    } else if (Mask == 0xC0) {
        value = On ? 2 : 0;
        ThisAdapter->LineUp[Line] = On ? 1 : 0;
    } else {
        return;
    }
    AdapterSetLatchLed(ThisAdapter, Line, value);
}

// Placeholders until call control lands.
static void OutOfService(Adapter*, ULONG, ULONG) {}
static void GoToConnectedState(Link*) {}
static Link* RSS_GetGroupLink31(Adapter* ThisAdapter, ULONG Group)
{
    return Group < MAX_GROUPS ? &ThisAdapter->NdisWanInfo[Group][31] : NULL;
}
static Link* GetLinkAssignedToBChannel(Adapter*, PVOID, ULONG, PUCHAR, ULONG) { return NULL; }
static void RSS_SetLinkBChannel(Link* ThisLink, PVOID CallObject) { ThisLink->ThisBChannel = CallObject; }
static void RSS_ClearLinkBChannel(Link* ThisLink) { ThisLink->ThisBChannel = NULL; }
static void ConnectHdlr(Link*) {}
static void DisconnectHdlr(Link*) {}
static void IncomingCallIndHdlr(Adapter*, Link*, ULONG) {}
static void RSS_SetLinkDisconnectFlag(Link* ThisLink) { ThisLink->DisconnectFlag = 1; }
static void RSS_PrintLink(Link*) {}

void RSS_FillInterfaceTable(RSS_INTERFACE_TABLE* Table)
{
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
