// Packet rings of the Links and their receive and transmit backgrounds: ring geometry,
// set-up and clearing, the per-Link pool timers that move frames between the HDLC
// controller's shared memory and the line's stack or NDIS WAN, over-run and under-run
// recovery, the loop-back checks and the Link statistics they keep. Runs under
// AdapterSpinLock (see RSS_PKTH.cpp).
#pragma once

#include "driver/Common/RSS_types.h"
#include "driver/Wmp_nt40/Wmp_link.h"

// Link timers of the adapter pool (key1 the Link).
#define LINK_TMR_RX_BACKGROUND 1
#define LINK_TMR_TX_BACKGROUND 2

#define PKT_NO_CHANNEL 0xFFFF
#define LOOPBACK_FRAME_SIZE 2048
#define LOOPBACK_MODE_LAST_FIXED 6
#define LOOPBACK_MODE_COUNTING 7

// Send completions owed to NDIS for packets that left a send ring without the transmit
// background completing them (a ring rebuilt, a reset, a disconnect, a frame that did
// not fit): drained by PktCompleteSends at the next point where the lock may be dropped.
#define PKT_SEND_BACKLOG_ENTRIES (MAX_GROUPS * MAX_LINKS_PER_GROUP * MAX_TX_PACKETS)

typedef struct _PKT_SEND_COMPLETION {
    PNDIS_WAN_PACKET Packet;
    NDIS_STATUS Status;
} PKT_SEND_COMPLETION;

// What the packet rings keep per adapter (a field of the Adapter record).
typedef struct _PKT_ADAPTER {
    ULONG SendBackLogRead;
    ULONG SendBackLogCount;
    ULONG SendBackLogLost;  // completions that found the backlog full (never expected)
    PKT_SEND_COMPLETION SendBackLog[PKT_SEND_BACKLOG_ENTRIES];
    UCHAR LoopBackFrame[LOOPBACK_FRAME_SIZE];  // scratch for counting-word frames, copied at once
} PKT_ADAPTER;

// Geometry, set-up and clearing.
void SetLinkBufferGeometry(Link* ThisLink);
void InitChTxPackets(Link* ThisLink);
void InitChRxPackets(Link* ThisLink);
void ClearChTxPackets(Link* ThisLink);
void ClearLinkStatistics(Link* ThisLink);
void LinkCountRxStatus(Link* ThisLink, ULONG Code);

// Loop-back test frames.
BOOLEAN CheckLoopBackMessage(Link* ThisLink, RX_PACKET* Entry);
void SetLoopBackMode(Link* ThisLink, PUCHAR Buffer, ULONG Mode, ULONG Length);

// Pool-timer callbacks (context the Link): TRUE ends the timer.
BOOLEAN RxBackGround(PVOID Context);
BOOLEAN TxBackGround(PVOID Context);
// Service-request completions (context the Link) that start the backgrounds.
void ReStartRxBackGround(PVOID Context);
void ReStartTxBackGround(PVOID Context);
// Start or stop one background's timer: one timer per Link and key, whatever the order
// of starts and stops, even across a pass that has dropped the lock.
void PktStartBackGround(Link* ThisLink, ULONG Key);
void PktStopBackGround(Link* ThisLink, ULONG Key);

// Called by the HDLC interrupt handler (IRQERROR_ONR, and IRQERROR_BUFF on transmit).
void RxOverRunHdlr(Link* ThisLink);
void TxUnderRunHdlr(Link* ThisLink);
// Receive and transmit events of a Link's channel: the backgrounds poll the descriptors,
// so no event has an action.
void PktRxEventHdlr(Link* ThisLink, ULONG Event);
void PktTxEventHdlr(Link* ThisLink, ULONG Event);

// Every packet still in the send ring goes back to NDIS through the backlog: with
// NDIS_STATUS_SUCCESS when the controller has sent it, otherwise with Status. Stack frame
// handles are forgotten. The ring is left empty.
void PktFlushTxRing(Link* ThisLink, NDIS_STATUS Status);
// Completes the backlog to NDIS. Called with AdapterSpinLock held; releases it around
// each NdisMWanSendComplete and holds it again on return.
void PktCompleteSends(Adapter* ThisAdapter);

// From the modem side (MDM_PUMP.cpp): the pump's modem is in data mode, from its
// CONNECT until the pump starts clearing (PUMP_ON_LINE). FALSE for no pump.
BOOLEAN PumpInDataMode(Pump* ThisPump);
