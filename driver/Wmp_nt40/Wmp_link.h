// The Link record: one B channel of one line as NDISWAN, TAPI, a serial port and call
// control see it; 4 groups of 32 inside the adapter. All fields are guarded by
// AdapterSpinLock.
#pragma once

#include "driver/Common/RSS_types.h"

#define OWNER_NONE 0
#define OWNER_TELEPHONY_SUBSYSTEM 1
#define OWNER_VOVIZ4EZ 2
#define OWNER_DRIVER 3
#define OWNER_SIGNALLING_STACK 4
#define OWNER_VOVIZ4EZ_ALT 6  // served exactly as OWNER_VOVIZ4EZ

#define CHANNEL_STATE_IDLE 0
#define CHANNEL_STATE_ACTIVE 1
#define CHANNEL_STATE_LOOPBACK 2

#define MAX_TX_PACKETS 8
#define MAX_RX_PACKETS 32
#define MAX_SEND_FRAME 2046
#define LINE_ADDRESS_SIZE 32
#define LOOPBACK_MESSAGE_SIZE 2080
#define LINK_PUMP_DATA_SIZE 136

// One ring entry (seven words; the receive ring uses five of them: packet and in
// flight stay 0). Bt847xCopyTxFrame reads Data, Length and Descriptor of a send entry.
typedef struct _TX_PACKET {
    PVOID Packet;       // the NDIS_WAN_PACKET, the owner handle of a stack frame, or NULL
    ULONG Index;        // the entry's own index, which is also its descriptor's
    PUCHAR Data;        // frame bytes: to copy to the controller, or received in its buffer
    ULONG Length;
    ULONG Word4;        // always 0
    UCHAR InFlight;     // 1 while the frame is in the controller's buffer, not yet completed
    PVOID Descriptor;   // the controller's descriptor of this entry
} TX_PACKET;
typedef struct _TX_PACKET RX_PACKET;

// First statistics block of a Link (17 words, in this order). All saturate at
// 0xFFFFFFFF.
typedef struct _LINK_STATS {
    ULONG RxAbortFrames;       // receive status 11
    ULONG RxBufferErrors;      // status 1
    ULONG RxFcsErrors;         // status 9
    ULONG TxFramesQueued;      // every frame queued: sends, stack frames, back-to-back and loop-back frames
    ULONG NumSendCompleteInd;  // every completed send entry
    ULONG RxFramesDelivered;   // good frames taken while active (to the stack, NDIS, compared or dropped)
    ULONG RxFramesBit29;       // good frames with status bit 29, or any good frame on a transparent channel
    ULONG RxLongFrames;        // status 12
    ULONG RxCofaErrors;        // status 2
    ULONG RxOofErrors;         // status 8
    ULONG RxAlignErrors;       // status 10
    ULONG RxGoodFrames;        // status 0
    ULONG RxLpbMatched;        // loop-back frames that compared equal
    ULONG RxLpbMismatched;     // loop-back frames that did not
    ULONG RxOtherErrors;       // status 3-7, 13-15
    ULONG RxByteCount;         // good received bytes
    ULONG TxByteCount;         // completed sent bytes
} LINK_STATS;
static_assert(sizeof(LINK_STATS) == 17 * 4);

// Second statistics block (12 words, after the loop-back fields). These wrap.
typedef struct _LINK_STATS2 {
    ULONG TxTicks;             // transmit-background runs on an active Link
    ULONG TxCompletions;       // completions reaped by the transmit background
    ULONG TxHeldByPump;        // transmit scans held because the call's pump is not in data mode
    ULONG TxAttempts;          // entries examined for transmission on an active Link
    ULONG TxBackToBackFrames;  // back-to-back frames generated
    ULONG Reserved[7];         // cleared with the block, read by the management service
} LINK_STATS2;
static_assert(sizeof(LINK_STATS2) == 12 * 4);

typedef struct _Link {
    Adapter* ThisAdapter;
    ULONG CurrentOwner;
    ULONG Index;
    NDIS_WAN_LINK_HANDLE NdisLinkContext;
    ULONG OwnerContext;
    ULONG htCall;
    ULONG LineState, LineStatesSupported, LineStatesEnabled;
    ULONG AddressState, AddressStatesSupported, AddressStatesEnabled;
    ULONG CallState, CallStatesSupported, CallStatesEnabled;
    ULONG DisconnectMode;
    ULONG MediaMode, MediaModesSupported, MediaModesMonitored;
    ULONG BearerMode;
    CHAR LineAddress[LINE_ADDRESS_SIZE];
    CHAR CallingNumber[40];  // length byte, then digits
    CHAR CalledNumber[40];
    ULONG LinkSpeed;
    ULONG TransferCaps;
    ULONG ChannelProtocol;
    USHORT RingCount;
    ULONG WanQuality;
    NDIS_WAN_SET_LINK_INFO WanLinkInfo;
    USHORT SendWindow;
    UCHAR TransferTerminated;  // a local drop ended the transfer; sends are refused
    UCHAR SendBlocked;
    NDIS_MINIPORT_TIMER CallTimer;  // initialised once; kept across InitializeLinks
    UCHAR CallTimerArmed;           // the callback is to act when it runs
    UCHAR CallTimerQueued;          // armed or already due; cleared as the callback runs
    LINK_STATS Stats;
    ULONG TxEvents[30];
    ULONG RxEvents[30];
    ULONG GroupID;
    PVOID ThisBChannel;
    PVOID ClearedBChannel;  // the call the port's side has cleared; its stack has yet to let it go
    ULONG ChannelState;
    ULONG BChProtocol;

    // Send ring (driver/Common/RSS_PKTH.cpp).
    TX_PACKET TxPackets[MAX_TX_PACKETS];
    ULONG WriteTxPacketIdx;        // next entry a producer fills
    ULONG DriverWriteTxPacketIdx;  // next entry the transmit background hands to the controller
    ULONG ReadTxPacketIdx;         // next entry whose completion is awaited
    ULONG TxPacketSize;
    ULONG NumTxPackets;
    ULONG TxQueuedCount;     // wrapping counts whose difference is the ring's occupancy
    ULONG TxCompletedCount;
    // Receive ring.
    RX_PACKET RxPackets[MAX_RX_PACKETS];
    ULONG ReadRxPacketIdx;
    ULONG RxPacketSize;
    ULONG RxMsgPerCh;
    // The HDLC channel each ring was built on (0xFFFF: none), a count raised by every
    // rebuild (so a background that dropped the lock notices one), and whether each
    // background's timer is wanted (so a pass that ran across a stop or start knows).
    ULONG TxRingChannel;
    ULONG RxRingChannel;
    ULONG RingGeneration;
    ULONG RxRingGeneration;  // raised each time the receive ring is rebuilt
    UCHAR RxBackGroundWanted;
    UCHAR TxBackGroundWanted;

    UCHAR LoopBackVerify;
    UCHAR OutgoingCall;
    UCHAR DisconnectFlag;
    UCHAR IsDChannelLink;
    Pump* ThisPump;
    PVOID ThisAsyncPort;
    ULONG PumpAllocateAttempts;
    CALL_STATS LinkCallStats;
    ULONG DisconnectCause;
    UCHAR PumpDataIn[LINK_PUMP_DATA_SIZE];   // management data for the call's pump
    UCHAR PumpDataOut[LINK_PUMP_DATA_SIZE];  // what the pump left for management
    ULONG LoopBackMode;
    ULONG LoopBackMessageLength;
    UCHAR LoopBackMessage[LOOPBACK_MESSAGE_SIZE];
    UCHAR InboundBackToBack;
    UCHAR OutboundBackToBack;
    ULONG LoopBackTxWordCount;
    ULONG LoopBackRxWordCount;
    CHAR LoopBackTxOffset;  // 0..7: where the next frame starts in the message
    CHAR LoopBackRxOffset;  // 0..7: where the next frame is expected to start
    LINK_STATS2 Stats2;
    ULONG ForcedSackCount;

    NDIS_WAN_LINK_HANDLE LinkHandle;  // what NDIS and TAPI see of this Link
} Link;

void InitializeLinks(Adapter* ThisAdapter);
// The serial port bound to a Link is told its link was re-initialised or lost its
// pump; TRUE: the port is open and keeps the Link (driver/Wmp_nt40/ser_shel.cpp).
BOOLEAN ser_LinkReset(PVOID AsyncPort);
Link* LinkAcquire(Adapter* ThisAdapter, ULONG OwnerContext, ULONG Group, ULONG LinkIndex, ULONG Owner);
void LinkRelease(Link* ThisLink, ULONG Owner);

// NDIS WAN status indications of a Link (made with AdapterSpinLock held).
void LinkLineUp(Link* ThisLink);
void LinkLineDown(Link* ThisLink);
void LinkFragment(Link* ThisLink, ULONG Errors);
#define WAN_ERROR_TIMEOUT 0x10

// Lookups of TAPI handles and device IDs; NULL for anything but a Link in use of this
// adapter. The TAPI device ID of a Link is DeviceIDBase + LinkDeviceIndex.
Link* LinkFromLineHandle(Adapter* ThisAdapter, ULONG Handle);
Link* LinkFromDeviceId(Adapter* ThisAdapter, ULONG DeviceId);
ULONG LinkDeviceIndex(Adapter* ThisAdapter, Link* ThisLink);

// Send-ring occupancy: frames queued and not yet completed. Inline: every send and
// every completion counts.
inline ULONG LinkTxRingOccupancy(const Link* ThisLink) { return ThisLink->TxQueuedCount - ThisLink->TxCompletedCount; }

// A ring whose geometry or write index is out of bounds takes nothing.
inline BOOLEAN LinkTxRingFull(const Link* ThisLink)
{
    if (ThisLink->NumTxPackets == 0 || ThisLink->NumTxPackets > MAX_TX_PACKETS ||
        ThisLink->WriteTxPacketIdx >= ThisLink->NumTxPackets)
        return TRUE;
    return LinkTxRingOccupancy(ThisLink) >= ThisLink->NumTxPackets;
}

inline void LinkTxRingNoteQueued(Link* ThisLink)
{
    ThisLink->TxQueuedCount++;
    if (ThisLink->Stats.TxFramesQueued != 0xFFFFFFFF) ThisLink->Stats.TxFramesQueued++;
}

inline void LinkTxRingNoteCompleted(Link* ThisLink)
{
    ThisLink->TxCompletedCount++;
    if (ThisLink->Stats.NumSendCompleteInd != 0xFFFFFFFF) ThisLink->Stats.NumSendCompleteInd++;
}

// Link handles: 32-bit values that name a Link of one adapter.
void LinkHandlesRegister(Adapter* ThisAdapter);
void LinkHandlesUnregister(Adapter* ThisAdapter);
Link* LinkFromHandle(Adapter* ThisAdapter, NDIS_WAN_LINK_HANDLE Handle);
void LinkHandlesReset(void);
