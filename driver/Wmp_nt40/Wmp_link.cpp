// Links: (re)initialisation, ownership, send-ring occupancy, the 32-bit handles by
// which NDIS and TAPI name them, the NDIS WAN line-up, line-down and fragment
// indications, and the lookups of TAPI handles and device IDs. Guarded by
// AdapterSpinLock.
#include <cstring>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_tspi.h"

// ---- handles ----
//
// A handle is 0x4C000000 | slot << 8 | group << 5 | link, where slot (1..MAX) names
// an adapter in this driver-wide table. A handle of another adapter, of a Link not in
// use, or of nothing at all is refused.

#define LINK_HANDLE_TAG 0x4C000000u
#define MAX_HANDLE_SLOTS 32

static Adapter* HandleSlots[MAX_HANDLE_SLOTS + 1];

void LinkHandlesReset(void) { std::memset(HandleSlots, 0, sizeof HandleSlots); }

void LinkHandlesRegister(Adapter* ThisAdapter)
{
    for (ULONG s = 1; s <= MAX_HANDLE_SLOTS; s++) {
        if (HandleSlots[s] == NULL) {
            HandleSlots[s] = ThisAdapter;
            ThisAdapter->LinkHandleSlot = s;
            return;
        }
    }
    ThisAdapter->LinkHandleSlot = 0;
}

void LinkHandlesUnregister(Adapter* ThisAdapter)
{
    ULONG s = ThisAdapter->LinkHandleSlot;
    if (s != 0 && s <= MAX_HANDLE_SLOTS && HandleSlots[s] == ThisAdapter) HandleSlots[s] = NULL;
    ThisAdapter->LinkHandleSlot = 0;
}

static NDIS_WAN_LINK_HANDLE MakeLinkHandle(Adapter* ThisAdapter, ULONG Group, ULONG Index)
{
    if (ThisAdapter->LinkHandleSlot == 0) return 0;
    return LINK_HANDLE_TAG | (ThisAdapter->LinkHandleSlot << 8) | (Group << 5) | Index;
}

Link* LinkFromHandle(Adapter* ThisAdapter, NDIS_WAN_LINK_HANDLE Handle)
{
    if ((Handle & 0xFFFF0000u) != LINK_HANDLE_TAG) return NULL;
    ULONG slot = (Handle >> 8) & 0xFF;
    ULONG group = (Handle >> 5) & 0x7;
    ULONG index = Handle & 0x1F;
    if (slot == 0 || slot > MAX_HANDLE_SLOTS || HandleSlots[slot] != ThisAdapter || ThisAdapter == NULL) return NULL;
    if (group >= ThisAdapter->NumberOfGroups || index >= ThisAdapter->LinksPerGroup[group]) return NULL;
    return &ThisAdapter->NdisWanInfo[group][index];
}

// ---- initialisation and ownership ----

typedef struct _LINK_TAPI_LINE {
    ULONG OwnerContext;
    ULONG htCall;
    ULONG LineState, LineStatesEnabled;
    ULONG AddressStatesEnabled;
    ULONG CallState, CallStatesEnabled;
    ULONG DisconnectMode;
    ULONG MediaModesMonitored;
} LINK_TAPI_LINE;

static void LinkSaveTapiLine(const Link* ThisLink, LINK_TAPI_LINE* Line)
{
    Line->OwnerContext = ThisLink->OwnerContext;
    Line->htCall = ThisLink->htCall;
    Line->LineState = ThisLink->LineState;
    Line->LineStatesEnabled = ThisLink->LineStatesEnabled;
    Line->AddressStatesEnabled = ThisLink->AddressStatesEnabled;
    Line->CallState = ThisLink->CallState;
    Line->CallStatesEnabled = ThisLink->CallStatesEnabled;
    Line->DisconnectMode = ThisLink->DisconnectMode;
    Line->MediaModesMonitored = ThisLink->MediaModesMonitored;
}

// The call state is the one TAPI was last told (idle, or disconnected until TAPI closes
// the call); everything of the call itself is gone.
static void LinkRestoreTapiLine(Link* ThisLink, const LINK_TAPI_LINE* Line)
{
    ThisLink->htCall = Line->htCall;
    ThisLink->LineState = Line->LineState;
    ThisLink->LineStatesEnabled = Line->LineStatesEnabled;
    ThisLink->AddressStatesEnabled = Line->AddressStatesEnabled;
    ThisLink->CallState = Line->CallState;
    ThisLink->CallStatesEnabled = Line->CallStatesEnabled;
    ThisLink->DisconnectMode = Line->DisconnectMode;
    ThisLink->MediaModesMonitored = Line->MediaModesMonitored;
}

void InitializeLinks(Adapter* ThisAdapter)
{
    ULONG g, l, inUse = 0, noted = 0;
    ULONG nulPos[MAX_GROUPS * MAX_LINKS_PER_GROUP];

    for (g = 0; g < ThisAdapter->NumberOfGroups; g++) inUse += ThisAdapter->LinksPerGroup[g];
    for (ULONG i = 0; i < ADDRESS_LIST_SIZE && noted < inUse; i++)
        if (ThisAdapter->AddressList[i] == 0) nulPos[noted++] = i;

    ULONG k = 0;
    for (g = 0; g < ThisAdapter->NumberOfGroups; g++) {
        for (l = 0; l < MAX_LINKS_PER_GROUP; l++) {
            Link* ThisLink = &ThisAdapter->NdisWanInfo[g][l];
            // Packets NDIS handed over before a reset are owed their completions.
            if (ThisLink->ThisAdapter == ThisAdapter) PktFlushTxRing(ThisLink, NDIS_STATUS_FAILURE);
            // The call timer may be due already: it is disarmed, never re-initialised,
            // and its callback then finds nothing to do.
            TapiCancelCallTimer(ThisLink);
            NDIS_MINIPORT_TIMER callTimer = ThisLink->CallTimer;
            UCHAR callTimerQueued = ThisLink->CallTimerQueued;
            // The serial port bound at the first bring-up stays bound: its clients keep
            // their handles across a reset.
            PVOID port = ThisLink->ThisAsyncPort;
            // An open TAPI line stays open: TAPI keeps its line handle and what it asked
            // to be told, and has been told its call is disconnected.
            LINK_TAPI_LINE line;
            BOOLEAN tapiOpen = ThisLink->CurrentOwner == OWNER_TELEPHONY_SUBSYSTEM && l < ThisAdapter->LinksPerGroup[g];
            if (tapiOpen) LinkSaveTapiLine(ThisLink, &line);
            std::memset(ThisLink, 0, sizeof *ThisLink);
            ThisLink->CallTimer = callTimer;
            ThisLink->CallTimerQueued = callTimerQueued;
            ThisLink->ThisAsyncPort = port;
            ThisLink->ThisAdapter = ThisAdapter;
            ThisLink->Index = l;
            ThisLink->GroupID = g;
            ThisLink->ChannelState = CHANNEL_STATE_IDLE;
            ThisLink->BChProtocol = ThisAdapter->BChProtocol[g];
            ThisLink->TxPacketSize = 2048;
            ThisLink->NumTxPackets = 2;
            ThisLink->RxPacketSize = 2048;
            ThisLink->RxMsgPerCh = 8;
            ThisLink->LinkSpeed = 64000;
            ThisLink->TransferCaps = 1;
            ThisLink->LinkHandle = MakeLinkHandle(ThisAdapter, g, l);
            if (l >= ThisAdapter->LinksPerGroup[g]) continue;

            // A Link in use: its line address is the k-th string of the list.
            if (k < noted) {
                ULONG start = k == 0 ? 0 : nulPos[k - 1] + 1;
                ULONG len = nulPos[k] - start;
                if (len > LINE_ADDRESS_SIZE - 1) len = LINE_ADDRESS_SIZE - 1;
                std::memcpy(ThisLink->LineAddress, &ThisAdapter->AddressList[start], len);
            }
            k++;
            ThisLink->ChannelProtocol = ThisAdapter->DirectoryNumberChProtocol[g][l];
            ThisLink->MediaMode = 0x100;
            ThisLink->MediaModesSupported = 0x102;
            ThisLink->BearerMode = 8;
            ThisLink->DisconnectMode = 2;
            ThisLink->WanQuality = 1;
            ThisLink->WanLinkInfo.NdisLinkHandle = ThisLink->LinkHandle;
            ThisLink->WanLinkInfo.MaxSendFrameSize = ThisAdapter->WanInfo.MaxFrameSize;
            ThisLink->WanLinkInfo.MaxRecvFrameSize = ThisAdapter->WanInfo.MaxFrameSize;
            ThisLink->WanLinkInfo.SendFramingBits = ThisAdapter->WanInfo.FramingBits;
            ThisLink->WanLinkInfo.RecvFramingBits = ThisAdapter->WanInfo.FramingBits;
            ThisLink->WanLinkInfo.SendACCM = ThisAdapter->WanInfo.DesiredACCM;
            ThisLink->WanLinkInfo.RecvACCM = ThisAdapter->WanInfo.DesiredACCM;
            ThisLink->LineStatesSupported = 0x40ECE;
            ThisLink->AddressStatesSupported = 0x2D;
            ThisLink->CallStatesSupported = 0xC3FF;
            if (ThisLink->CallTimer.MiniportTimerFunction == NULL)
                NdisMInitializeTimer(&ThisLink->CallTimer, ThisAdapter->MiniportAdapterHandle, TapiCallTimerHandler, ThisLink);
            if (port != NULL && ser_LinkReset(port)) LinkAcquire(ThisAdapter, 0, g, l, OWNER_VOVIZ4EZ);
            if (tapiOpen && LinkAcquire(ThisAdapter, line.OwnerContext, g, l, OWNER_TELEPHONY_SUBSYSTEM) != NULL)
                LinkRestoreTapiLine(ThisLink, &line);
        }
    }
}

Link* LinkAcquire(Adapter* ThisAdapter, ULONG OwnerContext, ULONG Group, ULONG LinkIndex, ULONG Owner)
{
    if (Group >= ThisAdapter->NumberOfGroups || LinkIndex >= ThisAdapter->LinksPerGroup[Group]) return NULL;
    Link* ThisLink = &ThisAdapter->NdisWanInfo[Group][LinkIndex];
    if (ThisLink->CurrentOwner != OWNER_NONE) return NULL;
    ThisLink->CurrentOwner = Owner;
    ThisLink->OwnerContext = OwnerContext;
    ThisLink->RingCount = 0;
    ThisLink->LineState = 0x40;
    ThisLink->LineStatesEnabled = ThisLink->LineStatesSupported;
    ThisLink->AddressState = 0;
    ThisLink->AddressStatesEnabled = ThisLink->AddressStatesSupported;
    ThisLink->CallState = 1;
    ThisLink->CallStatesEnabled = ThisLink->CallStatesSupported;
    ThisLink->DisconnectMode = 2;
    ThisLink->BearerMode = 8;
    ThisLink->MediaMode = 0x100;
    ThisLink->MediaModesMonitored = ThisLink->MediaModesSupported;
    ThisLink->TransferTerminated = 0;
    ThisLink->SendBlocked = 0;
    return ThisLink;
}

void LinkRelease(Link* ThisLink, ULONG Owner)
{
    if (Owner != ThisLink->CurrentOwner) {
        RSS_TRACE("LinkRelease: Owner != ThisLink->CurrentOwner\n");
        return;
    }
    ThisLink->CurrentOwner = OWNER_NONE;
    ThisLink->OwnerContext = 0;
    ThisLink->htCall = 0;
    ThisLink->NdisLinkContext = 0;
}

// ---- NDIS WAN indications ----
//
// While InboundBackToBack is set the Link runs a raw receive test for the management
// service: NDISWAN is told nothing of it.

void LinkLineUp(Link* ThisLink)
{
    if (ThisLink == NULL || ThisLink->InboundBackToBack == 1) return;
    Adapter* a = ThisLink->ThisAdapter;
    NDIS_MAC_LINE_UP up;
    NdisZeroMemory(&up, sizeof up);
    up.LinkSpeed = ThisLink->LinkSpeed / 100;
    up.Quality = ThisLink->WanQuality;
    up.SendWindow = ThisLink->SendWindow;
    up.ConnectionWrapperID = ThisLink->LinkHandle;
    up.NdisLinkHandle = ThisLink->LinkHandle;
    up.NdisLinkContext = ThisLink->NdisLinkContext;
    NdisMIndicateStatus(a->MiniportAdapterHandle, NDIS_STATUS_WAN_LINE_UP, &up, sizeof up);
    NdisMIndicateStatusComplete(a->MiniportAdapterHandle);
    ThisLink->NdisLinkContext = up.NdisLinkContext;
    ThisLink->TransferTerminated = 0;
}

void LinkLineDown(Link* ThisLink)
{
    if (ThisLink == NULL || ThisLink->InboundBackToBack == 1 || ThisLink->NdisLinkContext == 0) return;
    Adapter* a = ThisLink->ThisAdapter;
    NDIS_MAC_LINE_DOWN down;
    down.NdisLinkContext = ThisLink->NdisLinkContext;
    NdisMIndicateStatus(a->MiniportAdapterHandle, NDIS_STATUS_WAN_LINE_DOWN, &down, sizeof down);
    NdisMIndicateStatusComplete(a->MiniportAdapterHandle);
    ThisLink->NdisLinkContext = 0;
    ThisLink->SendBlocked = 0;
}

void LinkFragment(Link* ThisLink, ULONG Errors)
{
    if (ThisLink == NULL || ThisLink->NdisLinkContext == 0) return;
    Adapter* a = ThisLink->ThisAdapter;
    NDIS_MAC_FRAGMENT fragment;
    fragment.NdisLinkContext = ThisLink->NdisLinkContext;
    fragment.Errors = Errors;
    NdisMIndicateStatus(a->MiniportAdapterHandle, NDIS_STATUS_WAN_FRAGMENT, &fragment, sizeof fragment);
    NdisMIndicateStatusComplete(a->MiniportAdapterHandle);
}

// ---- lookups ----

Link* LinkFromLineHandle(Adapter* ThisAdapter, ULONG Handle)
{
    if (ThisAdapter == NULL || Handle == 0) return NULL;
    Link* ThisLink = LinkFromHandle(ThisAdapter, Handle);
    if (ThisLink == NULL || ThisLink->LinkHandle != Handle || ThisLink->ThisAdapter != ThisAdapter) return NULL;
    return ThisLink;
}

Link* LinkFromDeviceId(Adapter* ThisAdapter, ULONG DeviceId)
{
    if (ThisAdapter == NULL) return NULL;
    ULONG n = DeviceId - ThisAdapter->DeviceIDBase;  // below the base wraps to a huge value
    for (ULONG g = 0; g < ThisAdapter->NumberOfGroups && g < MAX_GROUPS; g++) {
        ULONG inUse = ThisAdapter->LinksPerGroup[g];
        if (inUse > MAX_LINKS_PER_GROUP) inUse = MAX_LINKS_PER_GROUP;
        if (n < inUse) return &ThisAdapter->NdisWanInfo[g][n];
        n -= inUse;
    }
    return NULL;
}

ULONG LinkDeviceIndex(Adapter* ThisAdapter, Link* ThisLink)
{
    ULONG index = ThisLink->Index;
    for (ULONG g = 0; g < ThisLink->GroupID && g < MAX_GROUPS; g++) index += ThisAdapter->LinksPerGroup[g];
    return index;
}
