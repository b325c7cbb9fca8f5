// Packet rings and the receive/transmit backgrounds of the Links.
//
// Every Link that carries data on an HDLC channel c of group g owns a send ring of
// NumTxPackets entries and a receive ring of RxMsgPerCh entries; entry i is bound to the
// channel's descriptor i, so the ring index is the descriptor index:
//
//   group area     GroupAreas    + g*0x800 + 0x080 + 4c     transmit message pointer: the
//                                                           descriptor the channel starts at
//   send entry i   TxDescriptors + g*0xC00  + c*0x60  + i*12   {status, buffer, next}, i < 8
//                  TxBuffers     + g*0x20000 + c*0x1000 + i*TxPacketSize   (4 KiB per channel)
//   recv entry i   RxDescriptors + g*0x3000 + c*0x180 + i*12   i < 32
//                  RxBuffers     + g*0x80000 + c*0x4000 + i*RxPacketSize   (16 KiB per channel)
//
//   descriptor status: bits 0-13 DLEN, 16-19 status code, 29 flag, 31 owner. Send: owner
//   set = still the controller's. Receive: owner set = filled, the driver's.
//
//   send ring:   ReadTxPacketIdx <= DriverWriteTxPacketIdx <= WriteTxPacketIdx (cyclic)
//                awaiting completion   handed to controller   filled by SendHdlr/SendLy2Frame
//   receive ring: ReadRxPacketIdx, the next entry to look at.
//
// Locking: everything here runs with AdapterSpinLock held (adapter timer DPC for the
// backgrounds, interrupt DPC for over-run, under-run and the service-request
// completions). The lock is released only around NdisMWanIndicateReceive with
// NdisMWanIndicateReceiveComplete and around NdisMWanSendComplete; a background that
// took it back re-checks the Link (state, NDIS link context, ring generation) and ends
// its pass when any of them changed. Controller and driver pass descriptors only by the
// owner bit.
#include "driver/Common/RSS_PKTH.h"

#include <cstring>

#include "driver/Common/Bt847x.h"
#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_init.h"

#define LOOPBACK_ROTATION 8  // the fixed message's start offset turns through 0..7
#define TX_BUFFER_BYTES_PER_CHANNEL BT847X_TX_BUF_CH_BYTES
#define RX_BUFFER_BYTES_PER_CHANNEL BT847X_RX_BUF_CH_BYTES

// ---- index, address and counter helpers ----

static ULONG PktNextIdx(ULONG Idx, ULONG Count) { return Idx + 1 >= Count ? 0 : Idx + 1; }

static CHAR PktNextRotation(CHAR Offset) { return (CHAR)(Offset >= 0 && Offset < LOOPBACK_ROTATION - 1 ? Offset + 1 : 0); }
static ULONG PktRotation(CHAR Offset) { return Offset >= 0 && Offset < LOOPBACK_ROTATION ? (ULONG)Offset : 0; }

static void PktCount(PULONG Counter)
{
    if (*Counter != 0xFFFFFFFF) (*Counter)++;
}

static void PktAdd(PULONG Counter, ULONG Amount)
{
    if (*Counter == 0xFFFFFFFF) return;
    *Counter = Amount > 0xFFFFFFFF - *Counter ? 0xFFFFFFFF : *Counter + Amount;
}

static ULONG PktStatus(PVOID Descriptor) { return ((BT847X_DESCR*)Descriptor)->Status; }
static BOOLEAN PktTxBusy(PVOID Descriptor) { return (PktStatus(Descriptor) & BT847X_DESCR_OWNER) != 0; }
static BOOLEAN PktRxFilled(PVOID Descriptor) { return (PktStatus(Descriptor) & BT847X_DESCR_OWNER) != 0; }
static ULONG PktStatusLength(ULONG Status) { return Status & BT847X_DESCR_LEN_MASK; }
static BOOLEAN PktStatusFlag29(ULONG Status) { return (Status & BT847X_DESCR_EOM) != 0; }

static BOOLEAN PktChannelValid(Link* ThisLink, ULONG Channel)
{
    Adapter* a = ThisLink->ThisAdapter;
    return Channel < BT847X_CHANNELS && ThisLink->GroupID < a->NumberOfGroups && ThisLink->GroupID < BT847X_GROUPS &&
           a->SharedMem.TxDescriptors.Virtual != NULL;
}

// Where received frame i of the Link's receive ring lies.
static PUCHAR PktRxFrameAddress(Link* ThisLink, ULONG Index)
{
    Adapter* a = ThisLink->ThisAdapter;
    return a->SharedMem.RxBuffers.Virtual + ThisLink->GroupID * SHARED_RX_BUF_SIZE +
           ThisLink->RxRingChannel * RX_BUFFER_BYTES_PER_CHANNEL + Index * ThisLink->RxPacketSize;
}

// The channel's transmit message pointer in the group area, and a descriptor's physical address.
static PULONG PktTxMsgPointer(Link* ThisLink)
{
    Adapter* a = ThisLink->ThisAdapter;
    return (PULONG)(a->SharedMem.GroupAreas.Virtual + ThisLink->GroupID * SHARED_GROUP_AREA_SIZE + BT847X_AREA_TX_MSG +
                    4 * ThisLink->TxRingChannel);
}
static ULONG PktTxDescrPhysical(Link* ThisLink, PVOID Descriptor)
{
    Adapter* a = ThisLink->ThisAdapter;
    return a->SharedMem.TxDescriptors.Physical + (ULONG)((PUCHAR)Descriptor - a->SharedMem.TxDescriptors.Virtual);
}

// The channel's receive message pointer, where an activation starts the receiver. It
// names the descriptor the driver reads next, so an activation that runs late (its
// acknowledgement lost, the request queued behind others) restarts the receiver where
// the driver stands and the two never lose step.
static void PktRxFollowReader(Link* ThisLink)
{
    Adapter* a = ThisLink->ThisAdapter;
    if (ThisLink->RxRingChannel >= BT847X_CHANNELS || ThisLink->ReadRxPacketIdx >= MAX_RX_PACKETS) return;
    PVOID d = ThisLink->RxPackets[ThisLink->ReadRxPacketIdx].Descriptor;
    if (d == NULL) return;
    PULONG msg = (PULONG)(a->SharedMem.GroupAreas.Virtual + ThisLink->GroupID * SHARED_GROUP_AREA_SIZE + BT847X_AREA_RX_MSG +
                          4 * ThisLink->RxRingChannel);
    *msg = a->SharedMem.RxDescriptors.Physical + (ULONG)((PUCHAR)d - a->SharedMem.RxDescriptors.Virtual);
}

static BOOLEAN PktTxRingValid(const Link* ThisLink)
{
    ULONG n = ThisLink->NumTxPackets;
    return n >= 1 && n <= MAX_TX_PACKETS && ThisLink->TxPacketSize <= TX_BUFFER_BYTES_PER_CHANNEL / n &&
           ThisLink->ReadTxPacketIdx < n && ThisLink->DriverWriteTxPacketIdx < n && ThisLink->TxRingChannel < BT847X_CHANNELS;
}

static BOOLEAN PktRxRingValid(const Link* ThisLink)
{
    ULONG n = ThisLink->RxMsgPerCh;
    return n >= 1 && n <= MAX_RX_PACKETS && ThisLink->RxPacketSize <= RX_BUFFER_BYTES_PER_CHANNEL / n &&
           ThisLink->ReadRxPacketIdx < n && ThisLink->RxRingChannel < BT847X_CHANNELS;
}

static BOOLEAN PktSerialOwned(const Link* ThisLink)
{
    return ThisLink->CurrentOwner == OWNER_VOVIZ4EZ || ThisLink->CurrentOwner == OWNER_VOVIZ4EZ_ALT;
}

// ---- geometry ----

typedef struct _PKT_GEOMETRY {
    ULONG TxPacketSize;
    ULONG NumTxPackets;
    ULONG RxPacketSize;
    ULONG RxMsgPerCh;
} PKT_GEOMETRY;

static const PKT_GEOMETRY PktGeometryWide = {2048, 2, 2048, 8};   // D channel and most data Links
static const PKT_GEOMETRY PktGeometryRtp = {512, 8, 512, 32};     // CHANNEL_PROTOCOL_RTP

void SetLinkBufferGeometry(Link* ThisLink)
{
    const PKT_GEOMETRY* g;
    if (ThisLink->IsDChannelLink == 1)
        g = &PktGeometryWide;
    else if (PktSerialOwned(ThisLink))
        return;  // the serial port's create handler set its own
    else if (ThisLink->ChannelProtocol == 1)
        g = &PktGeometryRtp;
    else
        g = &PktGeometryWide;
    ThisLink->TxPacketSize = g->TxPacketSize;
    ThisLink->NumTxPackets = g->NumTxPackets;
    ThisLink->RxPacketSize = g->RxPacketSize;
    ThisLink->RxMsgPerCh = g->RxMsgPerCh;
}

// ---- send completions ----

static void PktQueueSendCompletion(Adapter* ThisAdapter, PVOID Packet, NDIS_STATUS Status)
{
    PKT_ADAPTER* p = &ThisAdapter->Pkt;
    if (p->SendBackLogCount >= PKT_SEND_BACKLOG_ENTRIES) {
        PktCount(&p->SendBackLogLost);
        RSS_TRACE("PktQueueSendCompletion: backlog full, packet %p lost\n", Packet);
        return;
    }
    PKT_SEND_COMPLETION* c = &p->SendBackLog[(p->SendBackLogRead + p->SendBackLogCount) % PKT_SEND_BACKLOG_ENTRIES];
    c->Packet = (PNDIS_WAN_PACKET)Packet;
    c->Status = Status;
    p->SendBackLogCount++;
}

void PktCompleteSends(Adapter* ThisAdapter)
{
    PKT_ADAPTER* p = &ThisAdapter->Pkt;
    while (p->SendBackLogCount > 0) {
        PKT_SEND_COMPLETION c = p->SendBackLog[p->SendBackLogRead];
        p->SendBackLogRead = (p->SendBackLogRead + 1) % PKT_SEND_BACKLOG_ENTRIES;
        p->SendBackLogCount--;
        NdisReleaseSpinLock(&ThisAdapter->AdapterSpinLock);
        NdisMWanSendComplete(ThisAdapter->MiniportAdapterHandle, c.Packet, c.Status);
        NdisAcquireSpinLock(&ThisAdapter->AdapterSpinLock);
    }
}

// A packet leaves the ring: it counts as completed, and an NDIS packet is owed its completion.
static void PktRetirePacket(Link* ThisLink, PVOID Packet, NDIS_STATUS Status)
{
    LinkTxRingNoteCompleted(ThisLink);
    if (ThisLink->IsDChannelLink == 0) PktQueueSendCompletion(ThisLink->ThisAdapter, Packet, Status);
}

void PktFlushTxRing(Link* ThisLink, NDIS_STATUS Status)
{
    for (ULONG i = 0; i < MAX_TX_PACKETS; i++) {
        TX_PACKET* e = &ThisLink->TxPackets[i];
        if (e->Packet == NULL) continue;
        NDIS_STATUS s = Status;
        if (e->InFlight && e->Descriptor != NULL && !PktTxBusy(e->Descriptor)) {
            s = NDIS_STATUS_SUCCESS;  // the controller has sent it
            PktAdd(&ThisLink->Stats.TxByteCount, e->Length);
        }
        PktRetirePacket(ThisLink, e->Packet, s);
        e->Packet = NULL;
    }
    ThisLink->TxCompletedCount = ThisLink->TxQueuedCount;  // nothing of the ring is outstanding
}

// ---- set-up and clearing ----

void InitChTxPackets(Link* ThisLink)
{
    Adapter* a = ThisLink->ThisAdapter;
    PktFlushTxRing(ThisLink, NDIS_STATUS_FAILURE);
    ULONG channel = GetLinkTimeslot(ThisLink);
    ThisLink->TxRingChannel = PktChannelValid(ThisLink, channel) ? channel : PKT_NO_CHANNEL;
    if (ThisLink->TxRingChannel == PKT_NO_CHANNEL)
        RSS_TRACE("InitChTxPackets: Link[%lu][%lu] has no HDLC channel\n", (unsigned long)ThisLink->GroupID,
                  (unsigned long)ThisLink->Index);
    ULONG n = ThisLink->NumTxPackets <= MAX_TX_PACKETS ? ThisLink->NumTxPackets : MAX_TX_PACKETS;
    for (ULONG i = 0; i < MAX_TX_PACKETS; i++) {
        TX_PACKET* e = &ThisLink->TxPackets[i];
        PVOID d = NULL;
        if (i < n && ThisLink->TxRingChannel != PKT_NO_CHANNEL) {
            d = Bt847xTxDescr(&a->Bt847x, ThisLink->GroupID, ThisLink->TxRingChannel, i);
            Bt847xRecycleTxDescr(d);
        }
        std::memset(e, 0, sizeof *e);
        e->Index = i;
        e->Descriptor = d;
    }
    ThisLink->WriteTxPacketIdx = ThisLink->DriverWriteTxPacketIdx = ThisLink->ReadTxPacketIdx = 0;
    // The controller starts the channel at the first descriptor again.
    if (ThisLink->TxRingChannel != PKT_NO_CHANNEL && ThisLink->TxPackets[0].Descriptor != NULL)
        *PktTxMsgPointer(ThisLink) = PktTxDescrPhysical(ThisLink, ThisLink->TxPackets[0].Descriptor);
    ThisLink->RingGeneration++;
}

void InitChRxPackets(Link* ThisLink)
{
    Adapter* a = ThisLink->ThisAdapter;
    ULONG channel = GetLinkTimeslot(ThisLink);
    ThisLink->RxRingChannel = PktChannelValid(ThisLink, channel) ? channel : PKT_NO_CHANNEL;
    ULONG n = ThisLink->RxMsgPerCh <= MAX_RX_PACKETS ? ThisLink->RxMsgPerCh : MAX_RX_PACKETS;
    for (ULONG i = 0; i < MAX_RX_PACKETS; i++) {
        RX_PACKET* e = &ThisLink->RxPackets[i];
        PVOID d = NULL;
        if (i < n && ThisLink->RxRingChannel != PKT_NO_CHANNEL) {
            d = Bt847xRxDescr(&a->Bt847x, ThisLink->GroupID, ThisLink->RxRingChannel, i);
            Bt847xRecycleRxDescr(d, ThisLink->RxPacketSize);
        }
        std::memset(e, 0, sizeof *e);
        e->Index = i;
        e->Descriptor = d;
    }
    ThisLink->ReadRxPacketIdx = 0;
    PktRxFollowReader(ThisLink);
    ThisLink->RingGeneration++;
    ThisLink->RxRingGeneration++;
}

void ClearLinkStatistics(Link* ThisLink)
{
    std::memset(&ThisLink->Stats, 0, sizeof ThisLink->Stats);
    std::memset(&ThisLink->Stats2, 0, sizeof ThisLink->Stats2);
}

void LinkCountRxStatus(Link* ThisLink, ULONG Code)
{
    LINK_STATS* s = &ThisLink->Stats;
    switch (Code) {
    case IRQERROR_NONE: PktCount(&s->RxGoodFrames); break;
    case IRQERROR_BUFF: PktCount(&s->RxBufferErrors); break;
    case IRQERROR_COFA: PktCount(&s->RxCofaErrors); break;
    case IRQERROR_OOF: PktCount(&s->RxOofErrors); break;
    case IRQERROR_FCS: PktCount(&s->RxFcsErrors); break;
    case IRQERROR_ALIGN: PktCount(&s->RxAlignErrors); break;
    case IRQERROR_ABT: PktCount(&s->RxAbortFrames); break;
    case IRQERROR_LNG: PktCount(&s->RxLongFrames); break;
    default: PktCount(&s->RxOtherErrors); break;
    }
}

// ---- loop-back frames ----

void SetLoopBackMode(Link* ThisLink, PUCHAR Buffer, ULONG Mode, ULONG Length)
{
    ThisLink->LoopBackMode = Mode;
    ThisLink->LoopBackMessageLength = 0;
    ULONG n = Length >= 1 && Length < LOOPBACK_FRAME_SIZE ? Length : LOOPBACK_FRAME_SIZE;
    if (Mode != LOOPBACK_MODE_COUNTING) return;
    ThisLink->LoopBackMessageLength = n;
    for (ULONG i = 0; i < n / 4; i++) {
        ULONG w = ThisLink->LoopBackTxWordCount + 16 + i;
        Buffer[4 * i] = (UCHAR)w;
        Buffer[4 * i + 1] = (UCHAR)(w >> 8);
        Buffer[4 * i + 2] = (UCHAR)(w >> 16);
        Buffer[4 * i + 3] = (UCHAR)(w >> 24);
    }
    ThisLink->LoopBackTxWordCount += n / 4;
}

// The next test frame into a send entry: the fixed message from LoopBackTxOffset (which
// then turns on), or a frame of counting words.
static void PktLoopBackFrame(Link* ThisLink, TX_PACKET* Entry)
{
    if (ThisLink->LoopBackMode <= LOOPBACK_MODE_LAST_FIXED) {
        ULONG offset = PktRotation(ThisLink->LoopBackTxOffset);
        ULONG room = LOOPBACK_MESSAGE_SIZE - offset;
        Entry->Data = ThisLink->LoopBackMessage + offset;
        Entry->Length = ThisLink->LoopBackMessageLength < room ? ThisLink->LoopBackMessageLength : room;
        ThisLink->LoopBackTxOffset = PktNextRotation(ThisLink->LoopBackTxOffset);
        return;
    }
    PUCHAR frame = ThisLink->ThisAdapter->Pkt.LoopBackFrame;
    SetLoopBackMode(ThisLink, frame, ThisLink->LoopBackMode, ThisLink->LoopBackMessageLength);
    Entry->Data = frame;
    Entry->Length = ThisLink->LoopBackMessageLength;
}

static ULONG PktLittleEndianWord(const UCHAR* p) { return p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24; }

// Compares a received frame with the frame the sender built for the same place in the
// sequence, and moves the expected place on; a frame of the wrong length still takes
// its place, so the check stays in step with the sender.
BOOLEAN CheckLoopBackMessage(Link* ThisLink, RX_PACKET* Entry)
{
    ULONG expected = ThisLink->LoopBackMessageLength;
    BOOLEAN sameLength = Entry->Length == expected && Entry->Data != NULL;
    if (ThisLink->LoopBackMode <= LOOPBACK_MODE_LAST_FIXED) {
        ULONG offset = PktRotation(ThisLink->LoopBackRxOffset);
        ThisLink->LoopBackRxOffset = PktNextRotation(ThisLink->LoopBackRxOffset);
        if (!sameLength || expected > LOOPBACK_MESSAGE_SIZE - offset) return FALSE;
        return std::memcmp(Entry->Data, ThisLink->LoopBackMessage + offset, expected) == 0;
    }
    if (ThisLink->LoopBackMode != LOOPBACK_MODE_COUNTING) return FALSE;
    ULONG first = ThisLink->LoopBackRxWordCount + 16;
    ThisLink->LoopBackRxWordCount += expected / 4;
    if (!sameLength) return FALSE;
    for (ULONG i = 0; i < expected / 4; i++)
        if (PktLittleEndianWord(Entry->Data + 4 * i) != first + i) return FALSE;
    return TRUE;
}

static void PktCompareLoopBack(Link* ThisLink, RX_PACKET* Entry)
{
    if (CheckLoopBackMessage(ThisLink, Entry))
        PktCount(&ThisLink->Stats.RxLpbMatched);
    else
        PktCount(&ThisLink->Stats.RxLpbMismatched);
}

void ClearChTxPackets(Link* ThisLink)
{
    Adapter* a = ThisLink->ThisAdapter;
    if (!PktTxRingValid(ThisLink)) return;
    for (ULONG i = 0; i < ThisLink->NumTxPackets; i++) {
        TX_PACKET* e = &ThisLink->TxPackets[i];
        e->Packet = NULL;
        PktLoopBackFrame(ThisLink, e);
        if (e->Length > ThisLink->TxPacketSize) e->Length = ThisLink->TxPacketSize;
        e->InFlight = 1;
        if (!Bt847xCopyTxFrame(&a->Bt847x, e, 0)) e->InFlight = 0;
    }
    ThisLink->ReadTxPacketIdx = 0;
}

// ---- background timers ----

static PUCHAR PktWanted(Link* ThisLink, ULONG Key)
{
    return Key == LINK_TMR_RX_BACKGROUND ? &ThisLink->RxBackGroundWanted : &ThisLink->TxBackGroundWanted;
}

void PktStartBackGround(Link* ThisLink, ULONG Key)
{
    Adapter* a = ThisLink->ThisAdapter;
    TmrPool* pool = &a->AdapterTimerPool;
    *PktWanted(ThisLink, Key) = 1;
    // A timer of this Link and key that exists (pending, or the one running now) is
    // reloaded rather than doubled.
    if (TmrRestart(pool, (ULONG_PTR)ThisLink, Key, a->TimerResolution)) return;
    if (!TmrStart(pool, (ULONG_PTR)ThisLink, Key, a->TimerResolution,
                  Key == LINK_TMR_RX_BACKGROUND ? RxBackGround : TxBackGround, ThisLink))
        RSS_TRACE("PktStartBackGround: no timer for Link[%lu][%lu] key %lu\n", (unsigned long)ThisLink->GroupID,
                  (unsigned long)ThisLink->Index, (unsigned long)Key);
}

void PktStopBackGround(Link* ThisLink, ULONG Key)
{
    *PktWanted(ThisLink, Key) = 0;
    // Clears every pending one; a running one ends itself by the flag.
    while (TmrClear(&ThisLink->ThisAdapter->AdapterTimerPool, (ULONG_PTR)ThisLink, Key)) {
    }
}

void ReStartRxBackGround(PVOID Context) { PktStartBackGround((Link*)Context, LINK_TMR_RX_BACKGROUND); }
void ReStartTxBackGround(PVOID Context) { PktStartBackGround((Link*)Context, LINK_TMR_TX_BACKGROUND); }

// The end of a pass: free the timer for an idle Link or a stopped background, else reload.
static BOOLEAN PktBackGroundEnd(Link* ThisLink, ULONG Key)
{
    if (ThisLink->ChannelState == CHANNEL_STATE_IDLE || *PktWanted(ThisLink, Key) == 0) return TRUE;
    // The pass runs as the timer's callback: its own entry is reloaded.
    TmrRestartRunning(&ThisLink->ThisAdapter->AdapterTimerPool, (ULONG_PTR)ThisLink, Key,
                      ThisLink->ThisAdapter->TimerResolution);
    return FALSE;
}

// What a pass noted of its Link before dropping the lock for NDIS.
typedef struct _PKT_LINK_NOTE {
    ULONG ChannelState;
    NDIS_WAN_LINK_HANDLE NdisLinkContext;
    ULONG RingGeneration;
} PKT_LINK_NOTE;

static PKT_LINK_NOTE PktNoteLink(const Link* ThisLink)
{
    PKT_LINK_NOTE n = {ThisLink->ChannelState, ThisLink->NdisLinkContext, ThisLink->RingGeneration};
    return n;
}

static BOOLEAN PktLinkUnchanged(const Link* ThisLink, const PKT_LINK_NOTE* Note)
{
    return ThisLink->ChannelState == Note->ChannelState && ThisLink->NdisLinkContext == Note->NdisLinkContext &&
           ThisLink->RingGeneration == Note->RingGeneration;
}

// ---- receive ----

// What the receive pass does after a frame.
typedef enum _PKT_RX_NEXT {
    PKT_RX_CONTINUE,      // recycle the entry and go on
    PKT_RX_RECYCLE_STOP,  // recycle the entry, then stop: the Link changed, its ring did not
    PKT_RX_STOP,          // stop at once: the ring was rebuilt and the entry is no longer ours
} PKT_RX_NEXT;

// Indicates a frame to NDIS straight from the receive buffer. The Link may change while
// the lock is released: the pass then stops, after giving the indicated frame's buffer
// back if the ring is still the one it came from (so it is never indicated twice).
static PKT_RX_NEXT PktIndicateReceive(Link* ThisLink, RX_PACKET* Entry)
{
    Adapter* a = ThisLink->ThisAdapter;
    PKT_LINK_NOTE note = PktNoteLink(ThisLink);
    ULONG rxRing = ThisLink->RxRingGeneration;
    NDIS_STATUS status;
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    NdisMWanIndicateReceive(&status, a->MiniportAdapterHandle, note.NdisLinkContext, Entry->Data, Entry->Length);
    if (status == NDIS_STATUS_SUCCESS) NdisMWanIndicateReceiveComplete(a->MiniportAdapterHandle, note.NdisLinkContext);
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    if (PktLinkUnchanged(ThisLink, &note)) return PKT_RX_CONTINUE;
    RSS_TRACE("RxBackGround: Link[%lu][%lu] changed during the receive indication\n", (unsigned long)ThisLink->GroupID,
              (unsigned long)ThisLink->Index);
    return ThisLink->RxRingGeneration == rxRing ? PKT_RX_RECYCLE_STOP : PKT_RX_STOP;
}

// A good frame goes to its consumer (see PktIndicateReceive for the answer).
static PKT_RX_NEXT PktRxDeliver(Link* ThisLink, RX_PACKET* Entry, ULONG Status)
{
    Adapter* a = ThisLink->ThisAdapter;
    LINK_STATS* s = &ThisLink->Stats;
    if (PktStatusFlag29(Status) || ThisLink->BChProtocol == 0) PktCount(&s->RxFramesBit29);
    Entry->Data = PktRxFrameAddress(ThisLink, Entry->Index);
    Entry->Length = PktStatusLength(Status);
    PktAdd(&s->RxByteCount, Entry->Length);
    switch (ThisLink->ChannelState) {
    case CHANNEL_STATE_ACTIVE:
        PktCount(&s->RxFramesDelivered);
        if (ThisLink->IsDChannelLink == 1) {
            ULONG g = ThisLink->GroupID;
            SGNL_PUT_FRAME put = a->SgnlProtocolOps[g].PutFrame;
            if (put != NULL) put(a->ThisSgnlStack[g], Entry->Data, Entry->Length);
        } else if (ThisLink->NdisLinkContext == 0) {
            if (ThisLink->InboundBackToBack == 1 && ThisLink->LoopBackVerify == 1) PktCompareLoopBack(ThisLink, Entry);
        } else if (ThisLink->InboundBackToBack == 1) {
            RSS_TRACE("RxBackGround() : InboundBackToBack == TRUE Serious Error\n");
        } else {
            return PktIndicateReceive(ThisLink, Entry);
        }
        return PKT_RX_CONTINUE;
    case CHANNEL_STATE_LOOPBACK:
        if (ThisLink->LoopBackVerify == 1) PktCompareLoopBack(ThisLink, Entry);
        return PKT_RX_CONTINUE;
    default:
        RSS_TRACE("RxBackGround() : Serious Error\n");
        return PKT_RX_CONTINUE;
    }
}

// Takes the frames that have arrived, in ring order, at most one pass of the ring.
static void PktRxTakeFrames(Link* ThisLink)
{
    for (ULONG n = 0; n < ThisLink->RxMsgPerCh; n++) {
        RX_PACKET* e = &ThisLink->RxPackets[ThisLink->ReadRxPacketIdx];
        if (e->Descriptor == NULL || !PktRxFilled(e->Descriptor)) break;  // nothing more has arrived
        ULONG status = PktStatus(e->Descriptor);
        ULONG code = BT847X_DESCR_STATUS_CODE(status);
        if (code == IRQERROR_NONE && PktStatusLength(status) > ThisLink->RxPacketSize) {
            RSS_TRACE("RxBackGround: DLEN %lu beyond the %lu-byte buffer\n", (unsigned long)PktStatusLength(status),
                      (unsigned long)ThisLink->RxPacketSize);
            code = IRQERROR_LNG;
        }
        LinkCountRxStatus(ThisLink, code);
        PKT_RX_NEXT next = PKT_RX_CONTINUE;
        if (code == IRQERROR_NONE) {
            next = PktRxDeliver(ThisLink, e, status);
            if (next == PKT_RX_STOP) break;
        } else {
            // The lost frame took one rotation step on the sending side.
            ThisLink->LoopBackRxOffset = PktNextRotation(ThisLink->LoopBackRxOffset);
        }
        Bt847xRecycleRxDescr(e->Descriptor, ThisLink->RxPacketSize);
        ThisLink->ReadRxPacketIdx = PktNextIdx(ThisLink->ReadRxPacketIdx, ThisLink->RxMsgPerCh);
        PktRxFollowReader(ThisLink);
        if (next == PKT_RX_RECYCLE_STOP) break;
    }
}

BOOLEAN RxBackGround(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    if (ThisLink->ChannelState == CHANNEL_STATE_IDLE) return TRUE;
    if (!PktRxRingValid(ThisLink)) {
        RSS_TRACE("RxBackGround: Link[%lu][%lu] has no usable receive ring\n", (unsigned long)ThisLink->GroupID,
                  (unsigned long)ThisLink->Index);
        return PktBackGroundEnd(ThisLink, LINK_TMR_RX_BACKGROUND);
    }
    // Most passes find nothing new: one look at the next entry settles it.
    const RX_PACKET* next = &ThisLink->RxPackets[ThisLink->ReadRxPacketIdx];
    if (next->Descriptor != NULL && PktRxFilled(next->Descriptor)) PktRxTakeFrames(ThisLink);
    return PktBackGroundEnd(ThisLink, LINK_TMR_RX_BACKGROUND);
}

void PktRxEventHdlr(Link*, ULONG) {}
void PktTxEventHdlr(Link*, ULONG) {}

// ---- transmit ----

// Completes a sent NDIS packet. FALSE: the Link changed while the lock was released.
static BOOLEAN PktSendComplete(Link* ThisLink, PVOID Packet)
{
    Adapter* a = ThisLink->ThisAdapter;
    PKT_LINK_NOTE note = PktNoteLink(ThisLink);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    NdisMWanSendComplete(a->MiniportAdapterHandle, (PNDIS_WAN_PACKET)Packet, NDIS_STATUS_SUCCESS);
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    if (PktLinkUnchanged(ThisLink, &note)) return TRUE;
    RSS_TRACE("TxBackGround: Link[%lu][%lu] changed during the send completion\n", (unsigned long)ThisLink->GroupID,
              (unsigned long)ThisLink->Index);
    return FALSE;
}

// Hands the entry's frame to the controller. A frame that does not fit the Link's
// transmit buffer is not copied (it would run into the next entries' buffers): its
// packet goes back to NDIS as failed.
static void PktSendEntry(Link* ThisLink, TX_PACKET* Entry)
{
    Adapter* a = ThisLink->ThisAdapter;
    if (Entry->Length <= ThisLink->TxPacketSize) {
        Entry->InFlight = 1;
        if (Bt847xCopyTxFrame(&a->Bt847x, Entry, 0)) return;
        Entry->InFlight = 0;
    }
    RSS_TRACE("TxBackGround: frame of %lu bytes refused, buffers of %lu\n", (unsigned long)Entry->Length,
              (unsigned long)ThisLink->TxPacketSize);
    if (Entry->Packet != NULL) PktRetirePacket(ThisLink, Entry->Packet, NDIS_STATUS_FAILURE);
    Entry->Packet = NULL;
}

// A call through a modem pump sends only while the pump's modem is in data mode.
static BOOLEAN PktHeldByPump(Link* ThisLink)
{
    Adapter* a = ThisLink->ThisAdapter;
    BOOLEAN viaPump = ThisLink->TransferCaps == 0 || a->ISDNthroughCSM[ThisLink->GroupID] == 1;
    return viaPump && !PumpInDataMode(ThisLink->ThisPump);
}

// Completions: reap the entries the controller has finished, in ring order. FALSE: the
// pass must stop.
static BOOLEAN PktTxReap(Link* ThisLink)
{
    for (ULONG n = 0; n < ThisLink->NumTxPackets; n++) {
        TX_PACKET* e = &ThisLink->TxPackets[ThisLink->ReadTxPacketIdx];
        if (e->Descriptor == NULL || PktTxBusy(e->Descriptor)) return TRUE;  // still being sent
        ((BT847X_DESCR*)e->Descriptor)->Status &= ~BT847X_DESCR_EOM;
        if (!e->InFlight) return TRUE;
        e->InFlight = 0;
        ThisLink->Stats2.TxCompletions++;
        PVOID packet = e->Packet;
        e->Packet = NULL;
        ThisLink->ReadTxPacketIdx = PktNextIdx(ThisLink->ReadTxPacketIdx, ThisLink->NumTxPackets);
        if (ThisLink->ChannelState != CHANNEL_STATE_ACTIVE && ThisLink->ChannelState != CHANNEL_STATE_LOOPBACK) {
            RSS_TRACE("TxBackGround() : Strange Trap\n");
            // The controller sent it: its packet is still owed its one completion.
            if (packet != NULL) {
                PktAdd(&ThisLink->Stats.TxByteCount, e->Length);
                PktRetirePacket(ThisLink, packet, NDIS_STATUS_SUCCESS);
            }
            continue;
        }
        if (packet != NULL) {
            // A producer's frame (in the test state only if it was queued before).
            LinkTxRingNoteCompleted(ThisLink);
            PktAdd(&ThisLink->Stats.TxByteCount, e->Length);
            // A D-channel frame handle is the stack's, not NDIS's: nothing to complete.
            if (ThisLink->IsDChannelLink == 0 && !PktSendComplete(ThisLink, packet)) return FALSE;
        } else if (ThisLink->ChannelState == CHANNEL_STATE_LOOPBACK) {
            PktCount(&ThisLink->Stats.NumSendCompleteInd);
            PktAdd(&ThisLink->Stats.TxByteCount, e->Length);
        }
    }
    return TRUE;
}

// PktTxScan of an active Link its pump does not hold (every pass of a call's data).
static void PktTxScanActive(Link* ThisLink, ULONG Count)
{
    ULONG idx = ThisLink->DriverWriteTxPacketIdx;
    for (ULONG n = 0; n < Count; n++) {
        TX_PACKET* e = &ThisLink->TxPackets[idx];
        if (e->Descriptor == NULL || PktTxBusy(e->Descriptor) || e->InFlight) return;
        ThisLink->Stats2.TxAttempts++;
        if (e->Packet != NULL) {
            PktSendEntry(ThisLink, e);
        } else if (ThisLink->OutboundBackToBack == 1) {
            ThisLink->Stats2.TxBackToBackFrames++;
            PktCount(&ThisLink->Stats.TxFramesQueued);
            PktLoopBackFrame(ThisLink, e);
            PktSendEntry(ThisLink, e);
        }
        idx = PktNextIdx(idx, Count);
        ThisLink->DriverWriteTxPacketIdx = idx;
    }
}

// Transmission: hand the next entries to the controller, at most one pass of the ring,
// stopping at an entry still in flight or a descriptor the controller still holds. The
// Link's state and its pump's hold do not change during the pass: they are read once.
static void PktTxScan(Link* ThisLink)
{
    const ULONG count = ThisLink->NumTxPackets;
    const ULONG state = ThisLink->ChannelState;
    const BOOLEAN held = state == CHANNEL_STATE_ACTIVE && PktHeldByPump(ThisLink);
    if (state == CHANNEL_STATE_ACTIVE && !held) {
        PktTxScanActive(ThisLink, count);
        return;
    }
    ULONG idx = ThisLink->DriverWriteTxPacketIdx;
    for (ULONG n = 0; n < count; n++) {
        TX_PACKET* e = &ThisLink->TxPackets[idx];
        if (e->Descriptor == NULL || PktTxBusy(e->Descriptor) || e->InFlight) return;
        switch (state) {
        case CHANNEL_STATE_ACTIVE:  // its pump holds it: an active Link it does not is above
            ThisLink->Stats2.TxHeldByPump++;
            return;
        case CHANNEL_STATE_LOOPBACK:
            PktCount(&ThisLink->Stats.TxFramesQueued);
            if (e->Packet == NULL) PktLoopBackFrame(ThisLink, e);
            PktSendEntry(ThisLink, e);
            break;
        default: RSS_TRACE("TxBackGround() : Strange Trap #2\n"); break;
        }
        idx = PktNextIdx(idx, count);
        ThisLink->DriverWriteTxPacketIdx = idx;
    }
}

BOOLEAN TxBackGround(PVOID Context)
{
    Link* ThisLink = (Link*)Context;
    if (ThisLink->ChannelState == CHANNEL_STATE_IDLE) {
        // Disconnected: what was queued and never sent goes back to NDIS as failed.
        PktFlushTxRing(ThisLink, NDIS_STATUS_FAILURE);
        return TRUE;
    }
    ThisLink->Stats2.TxTicks++;
    if (!PktTxRingValid(ThisLink)) {
        RSS_TRACE("TxBackGround: Link[%lu][%lu] has no usable send ring\n", (unsigned long)ThisLink->GroupID,
                  (unsigned long)ThisLink->Index);
        return PktBackGroundEnd(ThisLink, LINK_TMR_TX_BACKGROUND);
    }
    if (PktTxReap(ThisLink)) PktTxScan(ThisLink);
    if (ThisLink->ChannelState == CHANNEL_STATE_IDLE) PktFlushTxRing(ThisLink, NDIS_STATUS_FAILURE);
    return PktBackGroundEnd(ThisLink, LINK_TMR_TX_BACKGROUND);
}

// ---- over-run and under-run ----

void RxOverRunHdlr(Link* ThisLink)
{
    if (ThisLink == NULL) return;
    InitChRxPackets(ThisLink);  // unread frames are lost
    if (PktSerialOwned(ThisLink)) {
        Bt847xChannelRequest(0, ThisLink->ChannelState == CHANNEL_STATE_ACTIVE ? 1 : 0, NULL, ThisLink);
        return;
    }
    PktStopBackGround(ThisLink, LINK_TMR_RX_BACKGROUND);
    if (ThisLink->ChannelState == CHANNEL_STATE_IDLE)
        Bt847xChannelRequest(0, 0, NULL, ThisLink);
    else if (Bt847xChannelRequestQueued(ThisLink, 0, 1))
        return;  // the activation still waiting restarts the receiver, and its completion the background
    else if (ThisLink->ChannelState == CHANNEL_STATE_ACTIVE || ThisLink->ChannelState == CHANNEL_STATE_LOOPBACK)
        Bt847xChannelRequest(0, 1, ReStartRxBackGround, ThisLink);  // the background restarts on the acknowledge
}

// Points the controller at the oldest frame it has not sent: entries from ReadTxPacketIdx
// that are in flight with the owner bit clear were sent and are reaped as usual; the
// first one still owned, or else DriverWriteTxPacketIdx, is where the channel resumes.
// Nothing is sent twice and nothing is skipped.
static void PktResumeTxAtOldestUnsent(Link* ThisLink)
{
    if (!PktTxRingValid(ThisLink)) return;
    ULONG idx = ThisLink->ReadTxPacketIdx, resume = ThisLink->DriverWriteTxPacketIdx;
    for (ULONG n = 0; n < ThisLink->NumTxPackets; n++) {
        TX_PACKET* e = &ThisLink->TxPackets[idx];
        if (!e->InFlight || e->Descriptor == NULL) break;
        if (PktTxBusy(e->Descriptor)) {
            resume = idx;
            break;
        }
        idx = PktNextIdx(idx, ThisLink->NumTxPackets);
    }
    TX_PACKET* r = &ThisLink->TxPackets[resume];
    if (r->Descriptor != NULL) *PktTxMsgPointer(ThisLink) = PktTxDescrPhysical(ThisLink, r->Descriptor);
}

void TxUnderRunHdlr(Link* ThisLink)
{
    if (ThisLink == NULL) return;
    PktStopBackGround(ThisLink, LINK_TMR_TX_BACKGROUND);
    switch (ThisLink->ChannelState) {
    case CHANNEL_STATE_IDLE: Bt847xChannelRequest(1, 0, NULL, ThisLink); break;
    case CHANNEL_STATE_ACTIVE:
    case CHANNEL_STATE_LOOPBACK:
        PktResumeTxAtOldestUnsent(ThisLink);
        Bt847xChannelRequest(1, 1, PktSerialOwned(ThisLink) ? NULL : ReStartTxBackGround, ThisLink);
        break;
    default: break;
    }
}
