// The multichannel HDLC controller object (Bt847xDevice), its register and shared-memory
// formats, and its entry points: bring-up, service-request ring, interrupt queue,
// channel and time-slot operations. Everything runs under AdapterSpinLock except the
// interrupt-side queue indexes (see Bt847x.cpp).
#pragma once

#include "driver/Common/RSS_types.h"

// ---- register window (BAR0), offsets inside group g's window at g * 0x800 ----
#define BT847X_GROUP_WINDOW 0x800
#define BT847X_REG_GROUP_DESCR 0x000  // physical address of the group's descriptor area
#define BT847X_REG_ZERO 0x004         // group 0 only: 0 at set-up
#define BT847X_REG_SRQ 0x008          // service request
#define BT847X_REG_INT_STATUS 0x00C   // group 0 window: new queue entries; ack = next index << 16
#define BT847X_REG_TX_TSMAP 0x200     // 32 words, live transmit time-slot map
#define BT847X_REG_RX_TSMAP 0x400     // 32 words, live receive time-slot map
#define BT847X_REG_GLOBAL_CFG 0x600   // group 0 window

#define BT847X_INT_COUNT_MASK 0x7FFF
#define BT847X_INT_QUEUE_FULL 0x400
#define BT847X_GCFG_RCLKACT(g) (1u << (16 + (g)))
#define BT847X_GCFG_TCLKACT(g) (1u << (20 + (g)))

// ---- group descriptor area (shared memory, 2 KiB per group) ----
#define BT847X_AREA_TX_HEAD 0x000   // + 4c
#define BT847X_AREA_TX_MSG 0x080    // + 4c
#define BT847X_AREA_RX_HEAD 0x100   // + 4c
#define BT847X_AREA_RX_MSG 0x180    // + 4c
#define BT847X_AREA_TX_TSMAP 0x200  // + 4n
#define BT847X_AREA_TX_CHCFG 0x380  // + 4c
#define BT847X_AREA_RX_TSMAP 0x400  // + 4n
#define BT847X_AREA_RX_CHCFG 0x580  // + 4c
#define BT847X_AREA_GLOBAL_CFG 0x600
#define BT847X_AREA_INTQ_ADDR 0x604
#define BT847X_AREA_INTQ_LEN 0x608
#define BT847X_AREA_GROUP_CFG 0x60C
#define BT847X_AREA_MEM_PROT 0x610
#define BT847X_AREA_MSG_LEN 0x614
#define BT847X_AREA_PORT_CFG 0x618

#define BT847X_GROUPS 4
#define BT847X_CHANNELS 32
#define BT847X_TIMESLOTS 128
#define BT847X_MAP_WORDS 32
#define BT847X_INT_QUEUE_ENTRIES 1024
#define BT847X_SRV_REQ_ENTRIES 512
#define BT847X_OWED_SACKS 16

// Time-slot map bytes.
#define BT847X_SLOT_IDLE 0x1F            // channel 31, disabled
#define BT847X_SLOT_MODE_64K 4
#define BT847X_SLOT_MODE_56K 5
#define BT847X_SLOT_BYTE(mode, ch) ((UCHAR)((((mode) & 7) << 5) | ((ch) & 0x1F)))
#define BT847X_NO_TIMESLOT 0xFFFF

// ---- message descriptors ----
typedef struct _BT847X_DESCR {
    ULONG Status;  // bits 0-13 length, 16-19 status code, 29 end of message, 31 owner
    ULONG Buffer;  // physical
    ULONG Next;    // physical
} BT847X_DESCR;
static_assert(sizeof(BT847X_DESCR) == 12);

#define BT847X_DESCR_LEN_MASK 0x3FFF
#define BT847X_DESCR_BIT28 (1u << 28)
#define BT847X_DESCR_EOM (1u << 29)
#define BT847X_DESCR_BIT30 (1u << 30)
#define BT847X_DESCR_OWNER (1u << 31)
#define BT847X_DESCR_FRESH_TX 0x01010000u  // bits 16-23 = 1, bit 24 set
#define BT847X_DESCR_STATUS_CODE(s) (((s) >> 16) & 0xF)

#define BT847X_TX_DESCR_PER_CH 8
#define BT847X_RX_DESCR_PER_CH 32
#define BT847X_TX_DESCR_CH_BYTES 96
#define BT847X_RX_DESCR_CH_BYTES 384
#define BT847X_TX_BUF_CH_BYTES 0x1000
#define BT847X_RX_BUF_CH_BYTES 0x4000
#define BT847X_GROUP_DEFAULT_BUF 2048
#define BT847X_GROUP_DEFAULT_TX 2
#define BT847X_GROUP_DEFAULT_RX 8

// ---- service requests ----
#define BT847X_SRQ_CHANNEL(srq) ((srq) & 0x1F)
#define BT847X_SRQ_TRANSMIT 0x20
#define BT847X_SRQ_OP(op) ((ULONG)(op) << 8)
#define BT847X_OP_NOP 0
#define BT847X_OP_SOFT_RESET 1
#define BT847X_OP_GLOBAL_INIT 4
#define BT847X_OP_GROUP_INIT 5
#define BT847X_OP_ACTIVATE 8
#define BT847X_OP_DEACTIVATE 9

// ---- interrupt queue entries ----
#define BT847X_IRQ_DIR(e) (((e) >> 31) & 1)
#define BT847X_IRQ_GROUP(e) (((e) >> 29) & 3)
#define BT847X_IRQ_CHANNEL(e) (((e) >> 24) & 0x1F)
#define BT847X_IRQ_EVENT(e) (((e) >> 20) & 0xF)
#define BT847X_IRQ_ERROR(e) (((e) >> 16) & 0xF)
#define BT847X_IRQ_ILOST (1u << 15)
#define BT847X_IRQ_PERR (1u << 14)
#define BT847X_IRQ_EVENT_FIELD (0xFu << 20)
#define BT847X_IRQ_ERROR_FIELD (0xFu << 16)

#define EVENT_NONE 0
#define EVENT_SACK 1
#define EVENT_EOB 2
#define EVENT_EOM 3
#define EVENT_EOP 4
#define EVENT_CHABT 5
#define EVENT_CHIC 6
#define EVENT_FREC 7
#define EVENT_SINC 8
#define EVENT_SDEC 9
#define EVENT_SFILT 10

#define IRQERROR_NONE 0
#define IRQERROR_BUFF 1
#define IRQERROR_COFA 2
#define IRQERROR_ONR 3
#define IRQERROR_PROT 4
#define IRQERROR_RSVD5 5
#define IRQERROR_RSVD6 6
#define IRQERROR_RSVD7 7
#define IRQERROR_OOF 8
#define IRQERROR_FCS 9
#define IRQERROR_ALIGN 10
#define IRQERROR_ABT 11
#define IRQERROR_LNG 12
#define IRQERROR_SHT 13
#define IRQERROR_SUERR 14

// Indexes into a Link's 30 HDLC event counters of one direction.
#define HDLC_CNT_EVENT(ev) ((ev) <= EVENT_SFILT ? (ev) : 11)
#define HDLC_CNT_ERROR(err) ((err) <= IRQERROR_SUERR ? 12 + (err) : 27)
#define HDLC_CNT_ILOST 28
#define HDLC_CNT_PERR 29
#define HDLC_COUNTERS 30

// A completion of a service request: runs when the controller acknowledges it.
typedef void (*BT847X_COMPLETION)(PVOID Context);

typedef struct _BT847X_SRV_REQ {
    ULONG Srq;
    ULONG Group;
    BT847X_COMPLETION Completion;
    PVOID Context;
} BT847X_SRV_REQ;

typedef struct _Bt847xDevice {
    Adapter* ThisAdapter;
    ULONG LLNextIntIdx;          // producer index, interrupt level
    ULONG LLNextIntIdxSnapshot;  // taken by the deferred handler
    ULONG HLNextIntIdx;          // next entry the deferred handler serves
    ULONG NumResets;
    PUCHAR RegBase;               // register window 0
    PUCHAR GroupAreaVirtual;      // group descriptor areas
    ULONG GroupAreaPhysical;
    PULONG IntQueueVirtual;       // interrupt queue, 1024 entries
    ULONG IntQueuePhysical;
    LONG TxTimeslotAssign[BT847X_GROUPS][BT847X_TIMESLOTS];  // channel of each slot, -1 none
    LONG RxTimeslotAssign[BT847X_GROUPS][BT847X_TIMESLOTS];
    ULONG PortMode[BT847X_GROUPS];
    ULONG SrvReqReadIdx;
    ULONG SrvReqWriteIdx;
    ULONG SrvReqCount;
    BT847X_SRV_REQ SrvReq[BT847X_SRV_REQ_ENTRIES];

    // Entries the controller has reported (interrupt level) and those served (deferred),
    // as wrapping totals: their difference tells a full queue from an empty one.
    ULONG LLIntEntries;
    ULONG LLIntEntriesSnapshot;
    ULONG HLIntEntries;
    // Requests retired without their acknowledgement (call control's fallback): the
    // acknowledgement each still owes, as direction << 7 | group << 5 | channel, oldest first.
    ULONG OwedSack[BT847X_OWED_SACKS];
    ULONG OwedSackCount;
    UCHAR Stopped;  // halt: no request reaches the controller any more

    // What went wrong, for the management service and the tests.
    ULONG SrvReqRefused;       // requests refused with the ring full or the controller stopped
    ULONG LateSacks;           // acknowledgements of requests the fallback had retired
    ULONG UnmatchedSacks;      // acknowledgements that answer no outstanding request
    ULONG IntQueueFullCount;   // interrupt-status counts of a full queue
    ULONG IntEntriesOverrun;   // entries overwritten before the deferred handler read them
    ULONG IntEntriesBad;       // entries naming a group the adapter does not have
    ULONG IntStatusBad;        // interrupt-status counts beyond a full queue
} Bt847xDevice;

// Bring-up.
void Bt847xInitGlobalCfgReg(Bt847xDevice* ThisBt847x);
void Bt847xSoftChipReset(Bt847xDevice* ThisBt847x);
BOOLEAN Bt847xInitialize(Bt847xDevice* ThisBt847x);
BOOLEAN Bt847xResetComplete(PVOID Context);
void Bt847xDoGlobalInit(Bt847xDevice* ThisBt847x);
void Bt847xGlobalInitComplete(PVOID Context);
void Bt847xGroupsInitComplete(PVOID Context);
BOOLEAN Bt847xInitWatchdog(PVOID Context);
// TRUE while that request for the Link's channel waits in the ring or is outstanding.
BOOLEAN Bt847xChannelRequestQueued(Link* ThisLink, ULONG Direction, ULONG Activate);
BOOLEAN Bt847xSetupDeviceConfig(Bt847xDevice* ThisBt847x);
BOOLEAN Bt847xSetupTimeSlotMap(Bt847xDevice* ThisBt847x, ULONG Group);
BOOLEAN Bt847xSetupSubChMap(Bt847xDevice* ThisBt847x, ULONG Group);
BOOLEAN Bt847xSetupChCfg(Bt847xDevice* ThisBt847x, ULONG Group);
BOOLEAN Bt847xSetupGrpCfg(Bt847xDevice* ThisBt847x, ULONG Group);
BOOLEAN Bt847xSetupMemProt(Bt847xDevice* ThisBt847x, ULONG Group);
BOOLEAN Bt847xSetupMsgLen(Bt847xDevice* ThisBt847x, ULONG Group);
BOOLEAN Bt847xSetupPortCfg(Bt847xDevice* ThisBt847x, ULONG Group);
BOOLEAN Bt847xSetupGroupMsgDescr(Bt847xDevice* ThisBt847x, ULONG Group);
BOOLEAN Bt847xSetupChannelMsgDescr(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel, ULONG TxCount,
                                   ULONG TxSize, ULONG RxCount, ULONG RxSize);
// Halt: the controller stops touching the shared memory.
void Bt847xStop(Bt847xDevice* ThisBt847x);

// Service-request ring. FALSE: refused (ring full, bad group, controller stopped).
BOOLEAN Bt847xRequestService(Bt847xDevice* ThisBt847x, ULONG Srq, ULONG Group, BT847X_COMPLETION Completion,
                             PVOID Context);
// Retires the oldest outstanding request as if acknowledged (call control's fallback).
BOOLEAN Bt847xEventSACKhdlr(Bt847xDevice* ThisBt847x);

// Interrupt queue.
BOOLEAN Bt847xIsrHdlr(Bt847xDevice* ThisBt847x);
void Bt847xHandleInterruptHdlr(Bt847xDevice* ThisBt847x);
BOOLEAN Bt847xSyncSnapshotIntIdx(PVOID Context);
BOOLEAN Bt847xSyncResetIntIdx(PVOID Context);

// Channel and time-slot operations.
typedef struct _TX_PACKET TX_PACKET;
BOOLEAN Bt847xCopyTxFrame(Bt847xDevice* ThisBt847x, TX_PACKET* Entry, ULONG Hold);
BOOLEAN Bt847xChannelRequest(ULONG Direction, ULONG Activate, BT847X_COMPLETION Completion, Link* ThisLink);
void Bt847xRecycleTxDescr(PVOID Descriptor);
void Bt847xRecycleRxDescr(PVOID Descriptor, ULONG BufferSize);
ULONG Bt847xBChannelToTimeslot(Link* ThisLink);
BOOLEAN Bt847xFourSlotsPerChannel(Adapter* ThisAdapter, ULONG Group);
void Bt847xSplitTimeslot(ULONG Timeslot, PULONG WordIndex, PULONG BytePosition);
void Bt847xAssignTimeslot(Link* ThisLink, ULONG Kind, ULONG Enable);
BOOLEAN Bt847xSetupTimeslotForLoopback(Link* ThisLink, ULONG Enable);
void Bt847xIdleTimeslotWord(PULONG MapWord);

// Shared-memory helpers: descriptors and buffers of a channel.
BT847X_DESCR* Bt847xTxDescr(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel, ULONG Index);
BT847X_DESCR* Bt847xRxDescr(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel, ULONG Index);

// ---- entry points of the packet rings (RSS_PKTH.cpp) and the modem side, called from
// here.
void RxOverRunHdlr(Link* ThisLink);
void TxUnderRunHdlr(Link* ThisLink);
void PktRxEventHdlr(Link* ThisLink, ULONG Event);  // a receive event (EOB, EOM ...) of the Link's channel
void PktTxEventHdlr(Link* ThisLink, ULONG Event);  // a transmit event
ULONG PumpDataTimeslot(Link* ThisLink);            // first of the pump's three slots, 0xFFFF when none
