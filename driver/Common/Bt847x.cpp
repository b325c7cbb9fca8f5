// Multichannel HDLC controller: bring-up from soft reset to the data interface, the
// service-request ring, the interrupt queue and its events, and the channel and
// time-slot operations.
//
// Shared memory (G groups, 32 channels c per group g; the region table of the Adapter):
//
//   GroupAreas     + g*0x800          descriptor area of group g:
//                     0x000+4c tx head   0x080+4c tx msg   0x100+4c rx head  0x180+4c rx msg
//                     0x200+4n tx slot map  0x380+4c tx ch cfg  0x400+4n rx slot map
//                     0x580+4c rx ch cfg    0x600.. global cfg, queue address/length (group 0),
//                     group cfg, memory protection, message length, port cfg
//   IntQueue                          1024 x 32-bit entries written by the controller
//   TxDescriptors  + g*0xC00  + c*96  + i*12    8 descriptors {status, buffer, next}
//   RxDescriptors  + g*0x3000 + c*384 + i*12    32 descriptors
//   TxBuffers      + g*0x20000 + c*0x1000       4 KiB per channel
//   RxBuffers      + g*0x80000 + c*0x4000       16 KiB per channel
//
// Locking: everything runs under AdapterSpinLock (pool timers, deferred handler,
// callers' operations), except Bt847xIsrHdlr at device level, which alone writes
// LLNextIntIdx and LLIntEntries; the deferred side reads them only through
// Bt847xSyncSnapshotIntIdx and resets them only through Bt847xSyncResetIntIdx, both
// under the latch lock, which the ISR of either interrupt takes.
#include "driver/Common/Bt847x.h"

#include <cstring>

#include "driver/Common/RSS_BChIntf.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_shel.h"

#define BT847X_TMR_RESET_CHECK 1
#define BT847X_RESET_CHECK_MS 20
#define BT847X_MAX_SOFT_RESETS 3
#define BT847X_TMR_INIT_WATCHDOG 2
#define BT847X_INIT_WATCHDOG_MS 2000  // from the global initialisation to the data interface up
#define LINK_SPEED_56K 56000

// ---- index and offset helpers ----

static ULONG Bt847xNextIntIdx(ULONG Idx) { return (Idx + 1) % BT847X_INT_QUEUE_ENTRIES; }
static ULONG Bt847xAdvanceIntIdx(ULONG Idx, ULONG Count) { return (Idx + Count) % BT847X_INT_QUEUE_ENTRIES; }
static ULONG Bt847xNextSrvReqIdx(ULONG Idx) { return (Idx + 1) % BT847X_SRV_REQ_ENTRIES; }
static ULONG Bt847xGroupWindow(ULONG Group) { return Group * BT847X_GROUP_WINDOW; }
static ULONG Bt847xAreaOffset(ULONG Group) { return Group * SHARED_GROUP_AREA_SIZE; }
static ULONG Bt847xTxDescrOffset(ULONG Group, ULONG Channel, ULONG Index)
{
    return Group * SHARED_TX_DESC_SIZE + Channel * BT847X_TX_DESCR_CH_BYTES + Index * sizeof(BT847X_DESCR);
}
static ULONG Bt847xRxDescrOffset(ULONG Group, ULONG Channel, ULONG Index)
{
    return Group * SHARED_RX_DESC_SIZE + Channel * BT847X_RX_DESCR_CH_BYTES + Index * sizeof(BT847X_DESCR);
}
static ULONG Bt847xTxBufOffset(ULONG Group, ULONG Channel) { return Group * SHARED_TX_BUF_SIZE + Channel * BT847X_TX_BUF_CH_BYTES; }
static ULONG Bt847xRxBufOffset(ULONG Group, ULONG Channel) { return Group * SHARED_RX_BUF_SIZE + Channel * BT847X_RX_BUF_CH_BYTES; }
static ULONG Bt847xSackIdentity(ULONG Direction, ULONG Group, ULONG Channel)
{
    return (Direction & 1) << 7 | (Group & 3) << 5 | (Channel & 0x1F);
}
static ULONG Bt847xSrqIdentity(const BT847X_SRV_REQ* Req)
{
    return Bt847xSackIdentity((Req->Srq & BT847X_SRQ_TRANSMIT) ? 1 : 0, Req->Group, BT847X_SRQ_CHANNEL(Req->Srq));
}

static volatile ULONG* Bt847xReg(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Offset)
{
    return (volatile ULONG*)(ThisBt847x->RegBase + Bt847xGroupWindow(Group) + Offset);
}
static ULONG Bt847xReadReg(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Offset)
{
    return READ_REGISTER_ULONG(Bt847xReg(ThisBt847x, Group, Offset));
}
static void Bt847xWriteReg(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Offset, ULONG Value)
{
    WRITE_REGISTER_ULONG(Bt847xReg(ThisBt847x, Group, Offset), Value);
}
static PULONG Bt847xAreaWord(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Offset)
{
    return (PULONG)(ThisBt847x->GroupAreaVirtual + Bt847xAreaOffset(Group) + Offset);
}
static ULONG Bt847xAreaPhysical(Bt847xDevice* ThisBt847x, ULONG Group)
{
    return ThisBt847x->GroupAreaPhysical + Bt847xAreaOffset(Group);
}
static SHARED_MEMORY_MAP* Bt847xShared(Bt847xDevice* ThisBt847x) { return &ThisBt847x->ThisAdapter->SharedMem; }

BT847X_DESCR* Bt847xTxDescr(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel, ULONG Index)
{
    return (BT847X_DESCR*)(Bt847xShared(ThisBt847x)->TxDescriptors.Virtual + Bt847xTxDescrOffset(Group, Channel, Index));
}
BT847X_DESCR* Bt847xRxDescr(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel, ULONG Index)
{
    return (BT847X_DESCR*)(Bt847xShared(ThisBt847x)->RxDescriptors.Virtual + Bt847xRxDescrOffset(Group, Channel, Index));
}
static ULONG Bt847xTxDescrPhys(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel, ULONG Index)
{
    return Bt847xShared(ThisBt847x)->TxDescriptors.Physical + Bt847xTxDescrOffset(Group, Channel, Index);
}
static ULONG Bt847xRxDescrPhys(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel, ULONG Index)
{
    return Bt847xShared(ThisBt847x)->RxDescriptors.Physical + Bt847xRxDescrOffset(Group, Channel, Index);
}
static ULONG Bt847xTxBufPhys(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel)
{
    return Bt847xShared(ThisBt847x)->TxBuffers.Physical + Bt847xTxBufOffset(Group, Channel);
}
static ULONG Bt847xRxBufPhys(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel)
{
    return Bt847xShared(ThisBt847x)->RxBuffers.Physical + Bt847xRxBufOffset(Group, Channel);
}

static ULONG Bt847xGroups(Bt847xDevice* ThisBt847x)
{
    ULONG n = ThisBt847x->ThisAdapter->NumberOfGroups;
    return n > BT847X_GROUPS ? BT847X_GROUPS : n;
}

static ULONG Bt847xControl(Adapter* ThisAdapter, ULONG Group, ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    SGNL_CONTROL control = ThisAdapter->SgnlProtocolOps[Group].Control;
    return control == NULL ? CONTROL_UNKNOWN : control(Kind, Id, Object, Argument);
}

static void Bt847xCount(PULONG Counter)
{
    if (*Counter != 0xFFFFFFFF) (*Counter)++;
}

// Both interrupts' ISRs read the controller's queue: the indexes they keep are taken
// over under the latch lock, which both ISRs take.
static BOOLEAN Bt847xSyncIsr(Bt847xDevice* ThisBt847x, PNDIS_SYNCHRONIZE_FUNCTION Function)
{
    Adapter* a = ThisBt847x->ThisAdapter;
    if (a->PriIntRegistered || a->SecIntRegistered) return AdapterSyncWithInterrupts(a, Function, ThisBt847x);
    return Function(ThisBt847x);
}

// ---- global configuration ----

static ULONG Bt847xGlobalCfgStep(ULONG Value, ULONG Step)
{
    static const ULONG set[6] = {0, 0x70, 0x300, 0x400, 0x800, 0x7000};
    return Step == 0 ? (Value & ~3u) : (Value | set[Step]);
}

void Bt847xInitGlobalCfgReg(Bt847xDevice* ThisBt847x)
{
    if (ThisBt847x->RegBase == NULL) return;
    for (ULONG step = 0; step < 6; step++) {
        ULONG v = Bt847xReadReg(ThisBt847x, 0, BT847X_REG_GLOBAL_CFG);
        Bt847xWriteReg(ThisBt847x, 0, BT847X_REG_GLOBAL_CFG, Bt847xGlobalCfgStep(v, step));
    }
}

static void Bt847xInitGlobalCfgWord(Bt847xDevice* ThisBt847x)
{
    PULONG w = Bt847xAreaWord(ThisBt847x, 0, BT847X_AREA_GLOBAL_CFG);
    for (ULONG step = 0; step < 6; step++) *w = Bt847xGlobalCfgStep(*w, step);
}

// ---- service-request ring ----

static void Bt847xClearSrvReqRing(Bt847xDevice* ThisBt847x)
{
    std::memset(ThisBt847x->SrvReq, 0, sizeof ThisBt847x->SrvReq);
    ThisBt847x->SrvReqReadIdx = ThisBt847x->SrvReqWriteIdx = ThisBt847x->SrvReqCount = 0;
    ThisBt847x->OwedSackCount = 0;
}

static void Bt847xIssueHead(Bt847xDevice* ThisBt847x)
{
    BT847X_SRV_REQ* head = &ThisBt847x->SrvReq[ThisBt847x->SrvReqReadIdx];
    Bt847xWriteReg(ThisBt847x, head->Group, BT847X_REG_SRQ, head->Srq);
}

BOOLEAN Bt847xRequestService(Bt847xDevice* ThisBt847x, ULONG Srq, ULONG Group, BT847X_COMPLETION Completion,
                             PVOID Context)
{
    if (ThisBt847x->Stopped || ThisBt847x->RegBase == NULL || Group >= Bt847xGroups(ThisBt847x) ||
        ThisBt847x->SrvReqCount >= BT847X_SRV_REQ_ENTRIES) {
        Bt847xCount(&ThisBt847x->SrvReqRefused);
        RSS_TRACE("Bt847xRequestService: refused SRQ 0x%lx group %lu (outstanding %lu)\n", (unsigned long)Srq,
                  (unsigned long)Group, (unsigned long)ThisBt847x->SrvReqCount);
        return FALSE;
    }
    BT847X_SRV_REQ* req = &ThisBt847x->SrvReq[ThisBt847x->SrvReqWriteIdx];
    req->Srq = Srq;
    req->Group = Group;
    req->Completion = Completion;
    req->Context = Context;
    ThisBt847x->SrvReqWriteIdx = Bt847xNextSrvReqIdx(ThisBt847x->SrvReqWriteIdx);
    ThisBt847x->SrvReqCount++;
    if (ThisBt847x->SrvReqCount == 1) Bt847xIssueHead(ThisBt847x);
    return TRUE;
}

// The acknowledge step: the completion runs before its request is retired, so a request
// it queues is written by this same step.
static void Bt847xRetireSrvReq(Bt847xDevice* ThisBt847x)
{
    BT847X_SRV_REQ* req = &ThisBt847x->SrvReq[ThisBt847x->SrvReqReadIdx];
    if (req->Completion != NULL) req->Completion(req->Context);
    req = &ThisBt847x->SrvReq[ThisBt847x->SrvReqReadIdx];
    std::memset(req, 0, sizeof *req);
    if (ThisBt847x->SrvReqCount == 0) return;
    ThisBt847x->SrvReqCount--;
    ThisBt847x->SrvReqReadIdx = Bt847xNextSrvReqIdx(ThisBt847x->SrvReqReadIdx);
    if (ThisBt847x->SrvReqCount > 0 && !ThisBt847x->Stopped) Bt847xIssueHead(ThisBt847x);
}

static void Bt847xNoteOwedSack(Bt847xDevice* ThisBt847x, ULONG Identity)
{
    if (ThisBt847x->OwedSackCount == BT847X_OWED_SACKS) {
        std::memmove(&ThisBt847x->OwedSack[0], &ThisBt847x->OwedSack[1], (BT847X_OWED_SACKS - 1) * sizeof(ULONG));
        ThisBt847x->OwedSackCount--;
    }
    ThisBt847x->OwedSack[ThisBt847x->OwedSackCount++] = Identity;
}

static void Bt847xDropOwedSack(Bt847xDevice* ThisBt847x)
{
    std::memmove(&ThisBt847x->OwedSack[0], &ThisBt847x->OwedSack[1], (BT847X_OWED_SACKS - 1) * sizeof(ULONG));
    ThisBt847x->OwedSackCount--;
}

// Retires the oldest request without its acknowledgement (call control's fallback);
// the acknowledgement it still owes is remembered so that it cannot retire the next one.
BOOLEAN Bt847xEventSACKhdlr(Bt847xDevice* ThisBt847x)
{
    if (ThisBt847x->SrvReqCount > 0)
        Bt847xNoteOwedSack(ThisBt847x, Bt847xSrqIdentity(&ThisBt847x->SrvReq[ThisBt847x->SrvReqReadIdx]));
    Bt847xRetireSrvReq(ThisBt847x);
    return TRUE;
}

// An acknowledgement from the interrupt queue. The controller answers in issue order, so
// the first owed acknowledgement with the entry's identity is this one; an entry that
// answers the outstanding request shows that owed ones before it were lost.
static void Bt847xServeSack(Bt847xDevice* ThisBt847x, ULONG Direction, ULONG Group, ULONG Channel)
{
    ULONG identity = Bt847xSackIdentity(Direction, Group, Channel);
    if (ThisBt847x->OwedSackCount > 0 && ThisBt847x->OwedSack[0] == identity) {
        Bt847xDropOwedSack(ThisBt847x);
        Bt847xCount(&ThisBt847x->LateSacks);
        RSS_TRACE("Bt847x: late SACK grp %lu ch %lu ignored\n", (unsigned long)Group, (unsigned long)Channel);
        return;
    }
    if (ThisBt847x->SrvReqCount == 0 || Bt847xSrqIdentity(&ThisBt847x->SrvReq[ThisBt847x->SrvReqReadIdx]) != identity) {
        Bt847xCount(&ThisBt847x->UnmatchedSacks);
        RSS_TRACE("Bt847x: SACK grp %lu ch %lu dir %lu answers no request\n", (unsigned long)Group,
                  (unsigned long)Channel, (unsigned long)Direction);
        return;
    }
    ThisBt847x->OwedSackCount = 0;
    Bt847xRetireSrvReq(ThisBt847x);
}

// ---- bring-up ----

void Bt847xSoftChipReset(Bt847xDevice* ThisBt847x)
{
    Bt847xWriteReg(ThisBt847x, 0, BT847X_REG_SRQ, BT847X_SRQ_OP(BT847X_OP_SOFT_RESET));
}

BOOLEAN Bt847xInitialize(Bt847xDevice* ThisBt847x)
{
    Adapter* a = ThisBt847x->ThisAdapter;
    if (ThisBt847x->RegBase == NULL) return FALSE;
    // The reset makes the controller forget every request: so does the ring.
    ThisBt847x->Stopped = 0;
    Bt847xClearSrvReqRing(ThisBt847x);
    Bt847xSoftChipReset(ThisBt847x);
    ThisBt847x->NumResets = 1;
    if (!TmrStart(&a->AdapterTimerPool, (ULONG_PTR)ThisBt847x, BT847X_TMR_RESET_CHECK, BT847X_RESET_CHECK_MS,
                  Bt847xResetComplete, ThisBt847x)) {
        RSS_TRACE("Bt847xInitialize: no timer for the reset check\n");
        AdapterDataInterfaceInitFailed(a);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN Bt847xResetComplete(PVOID Context)
{
    Bt847xDevice* ThisBt847x = (Bt847xDevice*)Context;
    Adapter* a = ThisBt847x->ThisAdapter;
    ULONG cfg = Bt847xReadReg(ThisBt847x, 0, BT847X_REG_GLOBAL_CFG);
    if ((cfg & BT847X_GCFG_TCLKACT(0)) && (cfg & BT847X_GCFG_RCLKACT(0))) {
        Bt847xDoGlobalInit(ThisBt847x);
        return TRUE;
    }
    if (ThisBt847x->NumResets >= BT847X_MAX_SOFT_RESETS) {
        RSS_TRACE("Bt847xResetComplete: no clocks after %lu soft resets\n", (unsigned long)ThisBt847x->NumResets);
        AdapterDataInterfaceInitFailed(a);
        return TRUE;
    }
    Bt847xSoftChipReset(ThisBt847x);
    ThisBt847x->NumResets++;
    TmrRestart(&a->AdapterTimerPool, (ULONG_PTR)ThisBt847x, BT847X_TMR_RESET_CHECK, BT847X_RESET_CHECK_MS);
    return FALSE;
}

void Bt847xDoGlobalInit(Bt847xDevice* ThisBt847x)
{
    Adapter* a = ThisBt847x->ThisAdapter;
    PUCHAR from = a->SharedMem.TxDescriptors.Virtual;
    PUCHAR end = a->SharedMemoryVirtual + a->SharedMemorySize;
    if (from != NULL && end > from) NdisZeroMemory(from, (ULONG)(end - from));
    Bt847xSetupDeviceConfig(ThisBt847x);
    Bt847xWriteReg(ThisBt847x, 0, BT847X_REG_INT_STATUS, 0);
    Bt847xInitGlobalCfgReg(ThisBt847x);
    Bt847xRequestService(ThisBt847x, BT847X_SRQ_OP(BT847X_OP_GLOBAL_INIT), 0, Bt847xGlobalInitComplete, ThisBt847x);
    AdapterEnableLatchIRQ(a);
    // An initialisation request whose acknowledgement is lost would stop the chain for
    // good: the watchdog fails the adapter instead, and the hang check resets it.
    TmrStart(&a->AdapterTimerPool, (ULONG_PTR)ThisBt847x, BT847X_TMR_INIT_WATCHDOG, BT847X_INIT_WATCHDOG_MS,
             Bt847xInitWatchdog, ThisBt847x);
}

BOOLEAN Bt847xInitWatchdog(PVOID Context)
{
    Bt847xDevice* ThisBt847x = (Bt847xDevice*)Context;
    Adapter* a = ThisBt847x->ThisAdapter;
    if (a->DataInterfaceUp != 1) {
        RSS_LOG("@@@@ Bt847x: the initialisation requests went unanswered for %d ms\n", BT847X_INIT_WATCHDOG_MS);
        AdapterDataInterfaceInitFailed(a);
    }
    return TRUE;
}

static BOOLEAN Bt847xGroupClocksActive(ULONG Cfg, ULONG Group)
{
    return (Cfg & BT847X_GCFG_RCLKACT(Group)) && (Cfg & BT847X_GCFG_TCLKACT(Group));
}

void Bt847xGlobalInitComplete(PVOID Context)
{
    Bt847xDevice* ThisBt847x = (Bt847xDevice*)Context;
    ULONG d = 0, g;
    for (d = 0; d <= 1; d++) {
        for (g = 0; g < Bt847xGroups(ThisBt847x); g++) {
            ULONG cfg = Bt847xReadReg(ThisBt847x, 0, BT847X_REG_GLOBAL_CFG);
            if (!Bt847xGroupClocksActive(cfg, g)) continue;
            *Bt847xAreaWord(ThisBt847x, g, BT847X_AREA_GROUP_CFG) &= ~(1u << 5);
            Bt847xRequestService(ThisBt847x, BT847X_SRQ_OP(BT847X_OP_GROUP_INIT) | (d << 5), g, NULL, NULL);
        }
    }
    // The direction bit of the last pass stays in the closing no-operation.
    Bt847xRequestService(ThisBt847x, BT847X_SRQ_OP(BT847X_OP_NOP) | BT847X_SRQ_TRANSMIT, 0, Bt847xGroupsInitComplete,
                         ThisBt847x);
}

void Bt847xGroupsInitComplete(PVOID Context)
{
    Bt847xDevice* ThisBt847x = (Bt847xDevice*)Context;
    Adapter* a = ThisBt847x->ThisAdapter;
    while (TmrClear(&a->AdapterTimerPool, (ULONG_PTR)ThisBt847x, BT847X_TMR_INIT_WATCHDOG)) {
    }
    if (!TmrStart(&a->AdapterTimerPool, (ULONG_PTR)a, ADAPTER_TMR_DATA_IF_DONE, a->TimerResolution,
                  AdapterDataInterfaceInitDone, a)) {
        RSS_TRACE("Bt847xGroupsInitComplete: no timer for the data interface\n");
        AdapterDataInterfaceInitFailed(a);
    }
}

static void Bt847xPortModeFromLine(Bt847xDevice* ThisBt847x, ULONG Group)
{
    Adapter* a = ThisBt847x->ThisAdapter;
    if (a->LineMode[Group] == 0)
        ThisBt847x->PortMode[Group] = Bt847xFourSlotsPerChannel(a, Group) ? 3 : 0;
    else if (a->LineMode[Group] == 1)
        ThisBt847x->PortMode[Group] = Bt847xFourSlotsPerChannel(a, Group) ? 3 : 1;
}

// The group's port runs the 8.192 Mbit/s bus, four time slots per line channel: bus mode 2
// on a T1 line, 5 on an E1 line. Every other mode runs the line's own rate (a T1 line in
// mode 5 or an E1 line in mode 2 included), one slot per channel.
BOOLEAN Bt847xFourSlotsPerChannel(Adapter* ThisAdapter, ULONG Group)
{
    if (ThisAdapter == NULL || Group >= MAX_LINES) return FALSE;
    ULONG bus = ThisAdapter->SystemBusMode[Group];
    ULONG line = ThisAdapter->LineMode[Group];
    return (line == 0 && bus == 2) || (line == 1 && bus == 5);
}

BOOLEAN Bt847xSetupDeviceConfig(Bt847xDevice* ThisBt847x)
{
    Adapter* a = ThisBt847x->ThisAdapter;
    ULONG g, s, groups = Bt847xGroups(ThisBt847x);
    for (g = 0; g < groups; g++) {
        for (s = 0; s < BT847X_TIMESLOTS; s++) ThisBt847x->TxTimeslotAssign[g][s] = ThisBt847x->RxTimeslotAssign[g][s] = -1;
        Bt847xPortModeFromLine(ThisBt847x, g);
        if (a->SignallingProtocol[g] == 6)
            for (s = 0; s < BT847X_CHANNELS; s++) ThisBt847x->TxTimeslotAssign[g][s] = ThisBt847x->RxTimeslotAssign[g][s] = (LONG)s;
    }
    for (g = 0; g < groups; g++) Bt847xWriteReg(ThisBt847x, g, BT847X_REG_GROUP_DESCR, Bt847xAreaPhysical(ThisBt847x, g));
    Bt847xWriteReg(ThisBt847x, 0, BT847X_REG_ZERO, 0);
    for (g = 0; g < groups; g++) {
        Bt847xSetupTimeSlotMap(ThisBt847x, g);
        Bt847xSetupSubChMap(ThisBt847x, g);
        Bt847xSetupChCfg(ThisBt847x, g);
        Bt847xSetupGrpCfg(ThisBt847x, g);
        Bt847xSetupMemProt(ThisBt847x, g);
        Bt847xSetupMsgLen(ThisBt847x, g);
        Bt847xSetupPortCfg(ThisBt847x, g);
        Bt847xSetupGroupMsgDescr(ThisBt847x, g);
    }
    Bt847xInitGlobalCfgWord(ThisBt847x);
    *Bt847xAreaWord(ThisBt847x, 0, BT847X_AREA_INTQ_ADDR) = ThisBt847x->IntQueuePhysical;
    PULONG len = Bt847xAreaWord(ThisBt847x, 0, BT847X_AREA_INTQ_LEN);
    *len = (*len & ~0x7FFFu) | (BT847X_INT_QUEUE_ENTRIES - 1);
    Bt847xClearSrvReqRing(ThisBt847x);
    Bt847xSyncIsr(ThisBt847x, Bt847xSyncResetIntIdx);
    ThisBt847x->HLNextIntIdx = 0;
    ThisBt847x->HLIntEntries = 0;
    NdisZeroMemory(ThisBt847x->IntQueueVirtual, BT847X_INT_QUEUE_ENTRIES * sizeof(ULONG));
    return TRUE;
}

BOOLEAN Bt847xSetupTimeSlotMap(Bt847xDevice* ThisBt847x, ULONG Group)
{
    Adapter* a = ThisBt847x->ThisAdapter;
    PUCHAR tx = (PUCHAR)Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_TX_TSMAP);
    PUCHAR rx = (PUCHAR)Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_RX_TSMAP);
    std::memset(tx, BT847X_SLOT_IDLE, BT847X_TIMESLOTS);
    std::memset(rx, BT847X_SLOT_IDLE, BT847X_TIMESLOTS);
    ULONG mode = Bt847xControl(a, Group, CTL_KIND_CONST, CTL_TIMESLOT_MAP_MODE, NULL, 0) & 7;
    for (ULONG s = 0; s < BT847X_TIMESLOTS; s++) {
        LONG rc = ThisBt847x->RxTimeslotAssign[Group][s];
        LONG tc = ThisBt847x->TxTimeslotAssign[Group][s];
        if (rc >= 0) rx[s] = BT847X_SLOT_BYTE(mode, rc);
        if (tc >= 0) tx[s] = BT847X_SLOT_BYTE(mode, tc);
    }
    SetupTimeslotForDChannel(a, Group);
    return TRUE;
}

BOOLEAN Bt847xSetupSubChMap(Bt847xDevice*, ULONG) { return TRUE; }

static ULONG Bt847xChannelCfg(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel, ULONG Value)
{
    Adapter* a = ThisBt847x->ThisAdapter;
    ULONG protocol = a->NdisWanInfo[Group][Channel].BChProtocol & 7;
    Value &= ~(1u << 1);
    Value |= 1u << 2;
    if (a->IrqStatistics == 1)
        Value &= ~(0x3Fu << 3);
    else
        Value |= 0x3Fu << 3;
    Value &= ~((1u << 9) | (3u << 10) | (1u << 15) | (0x3Fu << 16) | (1u << 23));
    Value = (Value & ~(7u << 12)) | (protocol << 12);
    Value = (Value & ~(0x3Fu << 24)) | (Channel << 24);
    return Value | (1u << 31);
}

BOOLEAN Bt847xSetupChCfg(Bt847xDevice* ThisBt847x, ULONG Group)
{
    for (ULONG c = 0; c < BT847X_CHANNELS; c++) {
        PULONG tx = Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_TX_CHCFG + 4 * c);
        PULONG rx = Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_RX_CHCFG + 4 * c);
        *tx = Bt847xChannelCfg(ThisBt847x, Group, c, *tx);
        *rx = Bt847xChannelCfg(ThisBt847x, Group, c, *rx);
    }
    return TRUE;
}

BOOLEAN Bt847xSetupGrpCfg(Bt847xDevice* ThisBt847x, ULONG Group)
{
    PULONG w = Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_GROUP_CFG);
    ULONG v = *w;
    v |= 0x7u | (0x7u << 5);
    v &= ~((3u << 3) | (3u << 8) | (1u << 15) | (0x3Fu << 16));
    v = (v & ~(3u << 10)) | (1u << 10);
    *w = v;
    return TRUE;
}

BOOLEAN Bt847xSetupMemProt(Bt847xDevice* ThisBt847x, ULONG Group)
{
    Adapter* a = ThisBt847x->ThisAdapter;
    ULONG base = a->SharedMemoryPhysical.u.LowPart;
    ULONG top = base + a->SharedMemorySize;
    PULONG w = Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_MEM_PROT);
    ULONG v = *w;
    v = (v & ~0xFFFu) | ((base >> 20) & 0xFFF);
    v = (v & ~(0xFFFu << 16)) | (((top >> 20) & 0xFFF) << 16);
    *w = v & ~(1u << 31);
    return TRUE;
}

BOOLEAN Bt847xSetupMsgLen(Bt847xDevice* ThisBt847x, ULONG Group)
{
    PULONG w = Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_MSG_LEN);
    *w = (*w & ~(0x3FFFu | (0x3FFFu << 16))) | 8192u | (8192u << 16);
    return TRUE;
}

BOOLEAN Bt847xSetupPortCfg(Bt847xDevice* ThisBt847x, ULONG Group)
{
    PULONG w = Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_PORT_CFG);
    ULONG v = (*w & ~7u) | (ThisBt847x->PortMode[Group] & 7);
    v |= 1u << 4;
    *w = v & ~(0x1Fu << 5);
    return TRUE;
}

// Lays one channel's rings out: descriptor i gets buffer base + i * size, each next
// pointer the following descriptor, the last one the head.
static void Bt847xLayRing(BT847X_DESCR* First, ULONG FirstPhys, ULONG BufPhys, ULONG Count, ULONG Size, BOOLEAN Transmit)
{
    for (ULONG i = 0; i < Count; i++) {
        BT847X_DESCR* d = &First[i];
        d->Status = Transmit ? BT847X_DESCR_FRESH_TX : (Size & BT847X_DESCR_LEN_MASK);
        d->Buffer = BufPhys + i * Size;
        d->Next = FirstPhys + ((i + 1) % Count) * (ULONG)sizeof(BT847X_DESCR);
    }
}

static BOOLEAN Bt847xRingGeometryOk(ULONG TxCount, ULONG TxSize, ULONG RxCount, ULONG RxSize)
{
    return TxCount >= 1 && TxCount <= BT847X_TX_DESCR_PER_CH && TxSize <= BT847X_TX_BUF_CH_BYTES &&
           TxCount * TxSize <= BT847X_TX_BUF_CH_BYTES && RxCount >= 1 && RxCount <= BT847X_RX_DESCR_PER_CH &&
           RxSize <= BT847X_RX_BUF_CH_BYTES && RxCount * RxSize <= BT847X_RX_BUF_CH_BYTES;
}

BOOLEAN Bt847xSetupChannelMsgDescr(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel, ULONG TxCount,
                                   ULONG TxSize, ULONG RxCount, ULONG RxSize)
{
    if (Group >= Bt847xGroups(ThisBt847x) || Channel >= BT847X_CHANNELS ||
        !Bt847xRingGeometryOk(TxCount, TxSize, RxCount, RxSize)) {
        RSS_TRACE("Bt847xSetupChannelMsgDescr: grp %lu ch %lu tx %lux%lu rx %lux%lu refused\n", (unsigned long)Group,
                  (unsigned long)Channel, (unsigned long)TxCount, (unsigned long)TxSize, (unsigned long)RxCount,
                  (unsigned long)RxSize);
        return FALSE;
    }
    Bt847xLayRing(Bt847xTxDescr(ThisBt847x, Group, Channel, 0), Bt847xTxDescrPhys(ThisBt847x, Group, Channel, 0),
                  Bt847xTxBufPhys(ThisBt847x, Group, Channel), TxCount, TxSize, TRUE);
    Bt847xLayRing(Bt847xRxDescr(ThisBt847x, Group, Channel, 0), Bt847xRxDescrPhys(ThisBt847x, Group, Channel, 0),
                  Bt847xRxBufPhys(ThisBt847x, Group, Channel), RxCount, RxSize, FALSE);
    return TRUE;
}

BOOLEAN Bt847xSetupGroupMsgDescr(Bt847xDevice* ThisBt847x, ULONG Group)
{
    for (ULONG c = 0; c < BT847X_CHANNELS; c++) {
        ULONG tx = Bt847xTxDescrPhys(ThisBt847x, Group, c, 0);
        ULONG rx = Bt847xRxDescrPhys(ThisBt847x, Group, c, 0);
        *Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_TX_HEAD + 4 * c) = tx;
        *Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_TX_MSG + 4 * c) = tx;
        *Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_RX_HEAD + 4 * c) = rx;
        *Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_RX_MSG + 4 * c) = rx;
        Bt847xSetupChannelMsgDescr(ThisBt847x, Group, c, BT847X_GROUP_DEFAULT_TX, BT847X_GROUP_DEFAULT_BUF,
                                   BT847X_GROUP_DEFAULT_RX, BT847X_GROUP_DEFAULT_BUF);
    }
    return TRUE;
}

void Bt847xStop(Bt847xDevice* ThisBt847x)
{
    if (ThisBt847x->RegBase == NULL) return;
    // A soft reset deactivates every channel and forgets the queue: no more DMA.
    Bt847xSoftChipReset(ThisBt847x);
    Bt847xClearSrvReqRing(ThisBt847x);
    ThisBt847x->Stopped = 1;
    if (ThisBt847x->ThisAdapter != NULL)
        TmrClear(&ThisBt847x->ThisAdapter->AdapterTimerPool, (ULONG_PTR)ThisBt847x, BT847X_TMR_RESET_CHECK);
}

// ---- interrupt queue ----

BOOLEAN Bt847xIsrHdlr(Bt847xDevice* ThisBt847x)
{
    if (ThisBt847x->RegBase == NULL) return FALSE;
    ULONG count = Bt847xReadReg(ThisBt847x, 0, BT847X_REG_INT_STATUS) & BT847X_INT_COUNT_MASK;
    if (count == 0) return FALSE;
    if (count > BT847X_INT_QUEUE_FULL) {
        ThisBt847x->IntStatusBad++;
        count = BT847X_INT_QUEUE_FULL;
    }
    // A full queue (0x400) brings the producer index round to where it was; the entry
    // total still grows by all 1024, so the deferred handler serves every one of them.
    if (count == BT847X_INT_QUEUE_FULL) ThisBt847x->IntQueueFullCount++;
    ThisBt847x->LLNextIntIdx = Bt847xAdvanceIntIdx(ThisBt847x->LLNextIntIdx, count);
    ThisBt847x->LLIntEntries += count;
    Bt847xWriteReg(ThisBt847x, 0, BT847X_REG_INT_STATUS, (ThisBt847x->LLNextIntIdx & BT847X_INT_COUNT_MASK) << 16);
    return TRUE;
}

BOOLEAN Bt847xSyncSnapshotIntIdx(PVOID Context)
{
    Bt847xDevice* ThisBt847x = (Bt847xDevice*)Context;
    ThisBt847x->LLNextIntIdxSnapshot = ThisBt847x->LLNextIntIdx;
    ThisBt847x->LLIntEntriesSnapshot = ThisBt847x->LLIntEntries;
    return TRUE;
}

BOOLEAN Bt847xSyncResetIntIdx(PVOID Context)
{
    Bt847xDevice* ThisBt847x = (Bt847xDevice*)Context;
    ThisBt847x->LLNextIntIdx = 0;
    ThisBt847x->LLIntEntries = 0;
    return TRUE;
}

static Link* Bt847xEntryLink(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Channel)
{
    Adapter* a = ThisBt847x->ThisAdapter;
    if (Bt847xControl(a, Group, CTL_KIND_CONST, CTL_HAS_D_CHANNEL, NULL, 0) == 1 &&
        Bt847xControl(a, Group, CTL_KIND_GET, CTL_D_CHANNEL_TIMESLOT, a->ThisSgnlStack[Group], 0) == Channel)
        return RSS_GetGroupLink31(a, Group);
    Link* l = GetLinkByTimeslot(a, Group, Channel);
    return l != NULL ? l : &a->NdisWanInfo[Group][Channel];
}

static void Bt847xServeEntry(Bt847xDevice* ThisBt847x, PULONG Entry)
{
    Adapter* a = ThisBt847x->ThisAdapter;
    ULONG e = *Entry;
    ULONG dir = BT847X_IRQ_DIR(e), group = BT847X_IRQ_GROUP(e), channel = BT847X_IRQ_CHANNEL(e);
    ULONG event = BT847X_IRQ_EVENT(e), error = BT847X_IRQ_ERROR(e);
    if (group >= Bt847xGroups(ThisBt847x)) {
        ThisBt847x->IntEntriesBad++;
        *Entry = e & ~(BT847X_IRQ_EVENT_FIELD | BT847X_IRQ_ERROR_FIELD | BT847X_IRQ_ILOST | BT847X_IRQ_PERR);
        return;
    }
    Link* ThisLink = Bt847xEntryLink(ThisBt847x, group, channel);
    Link* link31 = RSS_GetGroupLink31(a, group);
    if (link31 == NULL) link31 = &a->NdisWanInfo[group][31];
    PULONG counters = dir ? ThisLink->TxEvents : ThisLink->RxEvents;
    PULONG counters31 = dir ? link31->TxEvents : link31->RxEvents;

    Bt847xCount(&counters[HDLC_CNT_EVENT(event)]);
    if (event == EVENT_SACK)
        Bt847xServeSack(ThisBt847x, dir, group, channel);
    else if (event != EVENT_NONE && dir)
        PktTxEventHdlr(ThisLink, event);
    else if (event != EVENT_NONE)
        PktRxEventHdlr(ThisLink, event);
    *Entry &= ~BT847X_IRQ_EVENT_FIELD;

    if (error == IRQERROR_COFA || error == IRQERROR_OOF)
        Bt847xCount(&counters31[HDLC_CNT_ERROR(error)]);
    else
        Bt847xCount(&counters[HDLC_CNT_ERROR(error)]);
    if (dir && (error == IRQERROR_BUFF || error == IRQERROR_ONR))
        TxUnderRunHdlr(ThisLink);
    else if (!dir && error == IRQERROR_ONR)
        RxOverRunHdlr(ThisLink);
    *Entry &= ~BT847X_IRQ_ERROR_FIELD;

    if (e & BT847X_IRQ_ILOST) Bt847xCount(&counters31[HDLC_CNT_ILOST]);
    if (e & BT847X_IRQ_PERR) Bt847xCount(&counters31[HDLC_CNT_PERR]);
    *Entry &= ~(BT847X_IRQ_ILOST | BT847X_IRQ_PERR);
}

void Bt847xHandleInterruptHdlr(Bt847xDevice* ThisBt847x)
{
    if (ThisBt847x->IntQueueVirtual == NULL) return;
    ThisBt847x->HLNextIntIdx %= BT847X_INT_QUEUE_ENTRIES;
    for (;;) {
        Bt847xSyncIsr(ThisBt847x, Bt847xSyncSnapshotIntIdx);
        ULONG pending = ThisBt847x->LLIntEntriesSnapshot - ThisBt847x->HLIntEntries;
        if (pending == 0) return;
        if (pending > BT847X_INT_QUEUE_ENTRIES) {
            // The controller went round the queue before we read it: the oldest are gone.
            ULONG lost = pending - BT847X_INT_QUEUE_ENTRIES;
            ThisBt847x->IntEntriesOverrun += lost;
            ThisBt847x->HLNextIntIdx = Bt847xAdvanceIntIdx(ThisBt847x->HLNextIntIdx, lost % BT847X_INT_QUEUE_ENTRIES);
            ThisBt847x->HLIntEntries += lost;
            pending = BT847X_INT_QUEUE_ENTRIES;
        }
        while (pending-- > 0) {
            Bt847xServeEntry(ThisBt847x, &ThisBt847x->IntQueueVirtual[ThisBt847x->HLNextIntIdx]);
            ThisBt847x->HLNextIntIdx = Bt847xNextIntIdx(ThisBt847x->HLNextIntIdx);
            ThisBt847x->HLIntEntries++;
        }
    }
}

// ---- channel and time-slot operations ----

static Bt847xDevice* Bt847xOfLink(Link* ThisLink) { return &ThisLink->ThisAdapter->Bt847x; }

// Virtual address of [Physical, Physical + Length) when it lies inside the shared memory.
static PUCHAR Bt847xSharedVirtual(Adapter* a, ULONG Physical, ULONG Length)
{
    ULONG base = a->SharedMemoryPhysical.u.LowPart;
    if (Physical < base || Physical - base > a->SharedMemorySize || a->SharedMemorySize - (Physical - base) < Length)
        return NULL;
    return a->SharedMemoryVirtual + (Physical - base);
}

// The end of the 4 KiB transmit buffer that holds Physical.
static ULONG Bt847xTxBufferEnd(Adapter* a, ULONG Physical)
{
    ULONG base = a->SharedMem.TxBuffers.Physical;
    if (Physical < base) return 0;
    return base + ((Physical - base) / BT847X_TX_BUF_CH_BYTES + 1) * BT847X_TX_BUF_CH_BYTES;
}

BOOLEAN Bt847xCopyTxFrame(Bt847xDevice* ThisBt847x, TX_PACKET* Entry, ULONG Hold)
{
    Adapter* a = ThisBt847x->ThisAdapter;
    BT847X_DESCR* d = (BT847X_DESCR*)Entry->Descriptor;
    if (d == NULL || (PUCHAR)d < a->SharedMem.TxDescriptors.Virtual ||
        (PUCHAR)(d + 1) > a->SharedMem.TxDescriptors.Virtual + a->NumberOfGroups * SHARED_TX_DESC_SIZE) {
        RSS_TRACE("Bt847xCopyTxFrame: no transmit descriptor\n");
        return FALSE;
    }
    ULONG length = Entry->Length;
    PUCHAR buffer = Bt847xSharedVirtual(a, d->Buffer, length);
    if (length > BT847X_DESCR_LEN_MASK || buffer == NULL || d->Buffer + length > Bt847xTxBufferEnd(a, d->Buffer) ||
        (length > 0 && Entry->Data == NULL)) {
        RSS_TRACE("Bt847xCopyTxFrame: frame of %lu bytes does not fit its buffer\n", (unsigned long)length);
        return FALSE;
    }
    if (length > 0) NdisMoveMemory(buffer, Entry->Data, length);
    ULONG status = length & BT847X_DESCR_LEN_MASK;
    if (Hold != 1) status |= BT847X_DESCR_EOM | BT847X_DESCR_OWNER;
    d->Status = status;
    return TRUE;
}

BOOLEAN Bt847xChannelRequestQueued(Link* ThisLink, ULONG Direction, ULONG Activate)
{
    if (ThisLink == NULL) return FALSE;
    ULONG channel = GetLinkTimeslot(ThisLink);
    if (channel >= BT847X_CHANNELS) return FALSE;
    Bt847xDevice* d = Bt847xOfLink(ThisLink);
    ULONG srq = BT847X_SRQ_OP(Activate == 1 ? BT847X_OP_ACTIVATE : BT847X_OP_DEACTIVATE) | channel;
    if (Direction == 1) srq |= BT847X_SRQ_TRANSMIT;
    for (ULONG i = 0, k = d->SrvReqReadIdx; i < d->SrvReqCount; i++, k = Bt847xNextSrvReqIdx(k))
        if (d->SrvReq[k].Group == ThisLink->GroupID && d->SrvReq[k].Srq == srq) return TRUE;
    return FALSE;
}

BOOLEAN Bt847xChannelRequest(ULONG Direction, ULONG Activate, BT847X_COMPLETION Completion, Link* ThisLink)
{
    if (ThisLink == NULL) return FALSE;
    ULONG channel = GetLinkTimeslot(ThisLink);
    if (channel >= BT847X_CHANNELS) {
        RSS_TRACE("Bt847xChannelRequest: Link %lu has no HDLC channel\n", (unsigned long)ThisLink->Index);
        return FALSE;
    }
    ULONG srq = BT847X_SRQ_OP(Activate == 1 ? BT847X_OP_ACTIVATE : BT847X_OP_DEACTIVATE) | channel;
    if (Direction == 1) srq |= BT847X_SRQ_TRANSMIT;
    return Bt847xRequestService(Bt847xOfLink(ThisLink), srq, ThisLink->GroupID, Completion, ThisLink);
}

void Bt847xRecycleTxDescr(PVOID Descriptor)
{
    BT847X_DESCR* d = (BT847X_DESCR*)Descriptor;
    if (d == NULL || !(d->Status & BT847X_DESCR_OWNER)) return;
    ULONG s = d->Status & ~(BT847X_DESCR_OWNER | BT847X_DESCR_LEN_MASK | BT847X_DESCR_BIT28 | BT847X_DESCR_BIT30);
    d->Status = s | BT847X_DESCR_EOM;
}

void Bt847xRecycleRxDescr(PVOID Descriptor, ULONG BufferSize)
{
    BT847X_DESCR* d = (BT847X_DESCR*)Descriptor;
    if (d == NULL || !(d->Status & BT847X_DESCR_OWNER)) return;
    ULONG s = d->Status & ~(BT847X_DESCR_OWNER | BT847X_DESCR_LEN_MASK | BT847X_DESCR_BIT28 | BT847X_DESCR_BIT30);
    d->Status = s | (BufferSize & BT847X_DESCR_LEN_MASK);
}

ULONG Bt847xBChannelToTimeslot(Link* ThisLink)
{
    if (ThisLink == NULL) return BT847X_NO_TIMESLOT;
    Adapter* a = ThisLink->ThisAdapter;
    ULONG g = ThisLink->GroupID;
    ULONG v = Bt847xControl(a, g, CTL_KIND_CALL, CTL_CALL_CHANNEL, ThisLink->ThisBChannel, ThisLink->Index);
    if (v == CONTROL_UNKNOWN) return BT847X_NO_TIMESLOT;
    // Numbered as the D channel's slot (SetupTimeslotForDChannel): four slots per channel
    // on the 8.192 Mbit/s bus, else channel v on slot v - 1 (the controller's T1 and E1
    // ports begin with the line's channel 1; modes 0 and 3 program the same framer bus).
    // Channel 0 has no slot.
    ULONG slot = Bt847xFourSlotsPerChannel(a, g) ? 4 * v : v - 1;
    return slot < BT847X_TIMESLOTS ? slot : BT847X_NO_TIMESLOT;
}

void Bt847xSplitTimeslot(ULONG Timeslot, PULONG WordIndex, PULONG BytePosition)
{
    *WordIndex = Timeslot / 4;
    *BytePosition = Timeslot % 4;
}

// Writes map word n of a group to both live maps and both descriptor-area maps.
static void Bt847xWriteMapWord(Bt847xDevice* ThisBt847x, ULONG Group, ULONG Word, ULONG Value)
{
    Bt847xWriteReg(ThisBt847x, Group, BT847X_REG_TX_TSMAP + 4 * Word, Value);
    Bt847xWriteReg(ThisBt847x, Group, BT847X_REG_RX_TSMAP + 4 * Word, Value);
    *Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_TX_TSMAP + 4 * Word) = Value;
    *Bt847xAreaWord(ThisBt847x, Group, BT847X_AREA_RX_TSMAP + 4 * Word) = Value;
}

static ULONG Bt847xSetMapByte(ULONG Word, ULONG Position, UCHAR Byte)
{
    return (Word & ~(0xFFu << (8 * Position))) | ((ULONG)Byte << (8 * Position));
}

void Bt847xAssignTimeslot(Link* ThisLink, ULONG Kind, ULONG Enable)
{
    if (ThisLink == NULL) return;
    Bt847xDevice* ThisBt847x = Bt847xOfLink(ThisLink);
    ULONG first, count, n, p, g = ThisLink->GroupID;
    if (Kind == 0) {
        first = PumpDataTimeslot(ThisLink);
        count = 3;
    } else if (Kind == 1 || Kind == 2) {
        first = Bt847xBChannelToTimeslot(ThisLink);
        count = 1;
    } else {
        return;
    }
    if (first >= BT847X_TIMESLOTS || g >= Bt847xGroups(ThisBt847x)) return;
    Bt847xSplitTimeslot(first, &n, &p);
    if (p + count > 4) {
        RSS_TRACE("Bt847xAssignTimeslot: slots %lu..%lu cross a map word\n", (unsigned long)first,
                  (unsigned long)(first + count - 1));
        return;
    }
    ULONG channel = GetLinkTimeslot(ThisLink);
    UCHAR wanted = Enable == 0 ? BT847X_SLOT_IDLE
                               : BT847X_SLOT_BYTE(ThisLink->LinkSpeed == LINK_SPEED_56K ? BT847X_SLOT_MODE_56K
                                                                                        : BT847X_SLOT_MODE_64K,
                                                  channel);
    ULONG word = *Bt847xAreaWord(ThisBt847x, g, BT847X_AREA_RX_TSMAP + 4 * n);
    BOOLEAN changed = FALSE;
    for (ULONG b = p; b < p + count; b++) {
        if ((UCHAR)(word >> (8 * b)) == wanted) continue;
        word = Bt847xSetMapByte(word, b, wanted);
        changed = TRUE;
    }
    if (changed) Bt847xWriteMapWord(ThisBt847x, g, n, word);
}

BOOLEAN Bt847xSetupTimeslotForLoopback(Link* ThisLink, ULONG Enable)
{
    if (ThisLink == NULL) return FALSE;
    Bt847xDevice* ThisBt847x = Bt847xOfLink(ThisLink);
    ULONG g = ThisLink->GroupID, n, p;
    BOOLEAN found = FALSE;
    if (g >= Bt847xGroups(ThisBt847x)) return FALSE;
    for (ULONG s = 0; s < BT847X_CHANNELS; s++) {
        if (ThisBt847x->TxTimeslotAssign[g][s] != (LONG)ThisLink->Index) continue;
        found = TRUE;
        Bt847xSplitTimeslot(s, &n, &p);
        UCHAR byte = Enable == 0 ? BT847X_SLOT_IDLE
                                 : BT847X_SLOT_BYTE(ThisLink->LinkSpeed == LINK_SPEED_56K ? BT847X_SLOT_MODE_56K
                                                                                          : BT847X_SLOT_MODE_64K,
                                                    ThisLink->Index);
        ULONG word = *Bt847xAreaWord(ThisBt847x, g, BT847X_AREA_RX_TSMAP + 4 * n);
        Bt847xWriteMapWord(ThisBt847x, g, n, Bt847xSetMapByte(word, p, byte));
    }
    return found;
}

void Bt847xIdleTimeslotWord(PULONG MapWord)
{
    *MapWord = (ULONG)BT847X_SLOT_IDLE * 0x01010101u;
}
