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

// One send-ring entry: the frame handed to the HDLC transmitter.
typedef struct _TX_PACKET {
    PVOID Packet;       // the NDIS_WAN_PACKET, or the owner handle of a stack frame
    ULONG Index;
    PUCHAR Data;
    ULONG Length;
    ULONG Word4;
    UCHAR InFlight;
    PVOID Descriptor;
} TX_PACKET;

typedef struct _RX_PACKET {
    PUCHAR Data;
    ULONG Length;
    PVOID Descriptor;
} RX_PACKET;

// First statistics block of a Link.
typedef struct _LINK_STATS {
    ULONG TxFramesQueued;       // saturating
    ULONG NumSendCompleteInd;   // saturating
    ULONG TxFramesSent;
    ULONG TxBytes;
    ULONG RxFrames;
    ULONG RxBytes;
    ULONG RxErrors;
    ULONG TxErrors;
    ULONG RxOverruns;
    ULONG TxUnderruns;
    ULONG RxToStack;
    ULONG RxToNdis;
    ULONG RxDropped;
    ULONG TxRefused;
    ULONG LoopBackGood;
    ULONG LoopBackBad;
    ULONG Reserved;
} LINK_STATS;

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
    NDIS_MINIPORT_TIMER CallTimer;
    LINK_STATS Stats;
    ULONG TxEvents[30];
    ULONG RxEvents[30];
    ULONG GroupID;
    PVOID ThisBChannel;
    ULONG ChannelState;
    ULONG BChProtocol;

    // Send ring.
    TX_PACKET TxPackets[MAX_TX_PACKETS];
    ULONG WriteTxPacketIdx;
    ULONG DriverWriteTxPacketIdx;
    ULONG ReadTxPacketIdx;
    ULONG TxPacketSize;
    ULONG NumTxPackets;
    ULONG TxQueuedCount;     // wrapping counts whose difference is the ring's occupancy
    ULONG TxCompletedCount;
    // Receive ring.
    RX_PACKET RxPackets[MAX_RX_PACKETS];
    ULONG ReadRxPacketIdx;
    ULONG RxPacketSize;
    ULONG RxMsgPerCh;

    UCHAR LoopBackVerify;
    UCHAR OutgoingCall;
    UCHAR DisconnectFlag;
    UCHAR IsDChannelLink;
    Pump* ThisPump;
    PVOID ThisAsyncPort;
    ULONG PumpAllocateAttempts;
    CALL_STATS LinkCallStats;
    ULONG DisconnectCause;
    ULONG LoopBackMode;
    ULONG LoopBackMessageLength;
    UCHAR LoopBackMessage[LOOPBACK_MESSAGE_SIZE];
    UCHAR InboundBackToBack;
    UCHAR OutboundBackToBack;
    UCHAR TestReceive;
    ULONG LoopBackTxWordCount;
    ULONG LoopBackRxWordCount;
    ULONG LoopBackTxOffset;
    ULONG LoopBackRxOffset;
    ULONG Stats2[12];
    ULONG ForcedSackCount;

    NDIS_WAN_LINK_HANDLE LinkHandle;  // what NDIS and TAPI see of this Link
} Link;

void InitializeLinks(Adapter* ThisAdapter);
Link* LinkAcquire(Adapter* ThisAdapter, ULONG OwnerContext, ULONG Group, ULONG LinkIndex, ULONG Owner);
void LinkRelease(Link* ThisLink, ULONG Owner);

// Send-ring occupancy: frames queued and not yet completed.
ULONG LinkTxRingOccupancy(const Link* ThisLink);
BOOLEAN LinkTxRingFull(const Link* ThisLink);
void LinkTxRingNoteQueued(Link* ThisLink);
void LinkTxRingNoteCompleted(Link* ThisLink);

// Link handles: 32-bit values that name a Link of one adapter.
void LinkHandlesRegister(Adapter* ThisAdapter);
void LinkHandlesUnregister(Adapter* ThisAdapter);
Link* LinkFromHandle(Adapter* ThisAdapter, NDIS_WAN_LINK_HANDLE Handle);
void LinkHandlesReset(void);
