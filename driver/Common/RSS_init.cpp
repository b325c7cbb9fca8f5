// Board tables, the adapter's object graph, the board latches, and the adapter reset
// with its bring-up chain. Everything here runs under AdapterSpinLock, except
// BuildAdapterGraph (passive level, before the adapter is live) and the latch writes
// that synchronise with the interrupt instead.
#include "driver/Common/RSS_init.h"

#include <cstring>

#include "driver/Wmp_nt40/Wmp_shel.h"
#include "driver/Wmp_nt40/Wmp_upper.h"

const BOARD_TYPE BoardTypeTable[NUM_BOARD_TYPES] = {
    // 0: no board
    {{0, 0, 0, 0}, {0}, {0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, 0x0, 0x0, 0, 0, 0},
    // 1
    {{2, 2, 2, 2},
     {0x0, 0x1000, 0x2000, 0x3000, 0x4000, 0x5000, 0x6000, 0x7000},
     {0, 0, 1, 1, 2, 2, 3, 3},
     {0x8000, 0xB000, 0xC000, 0xD000},
     {0, 0, 0, 0},
     {0xA000, 0xA000, 0xA000, 0xA000},
     0x1, 0x1, 16, 1, 8},
    // 2
    {{2, 2, 2, 2},
     {0x0, 0x1000, 0x2000, 0x3000, 0x4000, 0x5000, 0x6000, 0x7000},
     {0, 0, 1, 1, 2, 2, 3, 3},
     {0x8000, 0xB000, 0xC000, 0xD000},
     {0, 0, 0, 0},
     {0xA000, 0xA000, 0xA000, 0xA000},
     0x6, 0xEF, 32, 4, 8},
    // 3
    {{0, 0, 0, 0}, {0}, {0}, {0x8000, 0xB000, 0xC000, 0xD000}, {0, 0, 0, 0},
     {0xA000, 0xA000, 0xA000, 0xA000}, 0x6, 0xEF, 0, 4, 0},
    // 4: the default, one line and five sockets
    {{5, 0, 0, 0},
     {0x0, 0x1000, 0x2000, 0x3000, 0x4000, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0},
     {0x8000, 0x9000, 0xC000, 0xD000},
     {0xC, 0x30, 0, 0},
     {0xA000, 0xA000, 0xA000, 0xA000},
     0x1, 0xFD, 24, 1, 5},
    // 5
    {{4, 0, 0, 0},
     {0x6000, 0x8000, 0xA000, 0xC000, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0},
     {0x0, 0x1000, 0x2000, 0x3000},
     {0x3, 0xC, 0x30, 0xC0},
     {0x5000, 0x4000, 0x5800, 0x5000},
     0x3, 0xFE, 32, 4, 4},
    // 6
    {{2, 2, 0, 0},
     {0x6000, 0xA000, 0x8000, 0xC000, 0, 0, 0, 0},
     {0, 0, 1, 1, 0, 0, 0, 0},
     {0x0, 0x1000, 0x2000, 0x3000},
     {0x3, 0xC, 0x30, 0xC0},
     {0x5000, 0x4000, 0x5800, 0x5000},
     0x3, 0xFE, 32, 4, 4},
    // 7
    {{1, 1, 1, 1},
     {0x6000, 0x8000, 0xA000, 0xC000, 0, 0, 0, 0},
     {0, 1, 2, 3, 0, 0, 0, 0},
     {0x0, 0x1000, 0x2000, 0x3000},
     {0x3, 0xC, 0x30, 0xC0},
     {0x5000, 0x4000, 0x5800, 0x5000},
     0x3, 0xFE, 32, 4, 4},
};

const MODULE_TYPE ModuleTypeTable[NUM_MODULE_TYPES] = {
    {0, 0, 0, 0, 0, 0, 0xFFFFFFFF, 0},
    {64, 128, 1, 3, 12, 0, 10, 1},      {64, 128, 1, 6, 24, 0, 10, 1},      {64, 128, 1, 12, 48, 0, 10, 1},
    {64, 128, 2, 3, 12, 0, 10, 1},      {64, 128, 2, 6, 24, 0, 10, 1},      {64, 128, 2, 12, 48, 0, 10, 1},
    {64, 128, 1, 3, 12, 1, 1, 1},       {64, 128, 1, 6, 24, 1, 1, 1},       {64, 128, 1, 12, 48, 1, 1, 1},
    {64, 128, 2, 3, 12, 1, 1, 1},       {64, 128, 2, 6, 24, 1, 1, 1},       {64, 128, 2, 12, 48, 1, 1, 1},
    {4096, 2048, 1, 3, 12, 0, 10, 1},   {4096, 2048, 1, 6, 24, 0, 10, 1},   {4096, 2048, 1, 12, 48, 0, 10, 1},
    {4096, 2048, 2, 3, 12, 0, 10, 1},   {4096, 2048, 2, 6, 24, 0, 10, 1},   {4096, 2048, 2, 12, 48, 0, 10, 1},
    {4096, 2048, 1, 3, 12, 1, 10, 1},   {4096, 2048, 1, 6, 24, 1, 10, 1},   {4096, 2048, 1, 12, 48, 1, 10, 1},
    {4096, 2048, 2, 3, 12, 1, 10, 1},   {4096, 2048, 2, 6, 24, 1, 10, 1},   {4096, 2048, 2, 12, 48, 1, 10, 1},
};

// ---- object graph ----

static PUCHAR Bar1Word(Adapter* ThisAdapter, ULONG WordOffset) { return ThisAdapter->VirtualAddressBAR1 + 4 * WordOffset; }

static void FillSharedRegion(SHARED_REGION* Region, Adapter* ThisAdapter, ULONG Offset)
{
    Region->Physical = ThisAdapter->SharedMemoryPhysical.u.LowPart + Offset;
    Region->Virtual = ThisAdapter->SharedMemoryVirtual + Offset;
}

BOOLEAN BuildAdapterGraph(Adapter* ThisAdapter)
{
    const BOARD_TYPE* row = &BoardTypeTable[ThisAdapter->AdapterID];
    ULONG g, j;
    ULONG groups = ThisAdapter->NumberOfGroups;

    // 1. Shared-memory regions, and the HDLC controller's view of them.
    ULONG offset = 0;
    FillSharedRegion(&ThisAdapter->SharedMem.GroupAreas, ThisAdapter, offset);
    offset += groups * SHARED_GROUP_AREA_SIZE;
    FillSharedRegion(&ThisAdapter->SharedMem.IntQueue, ThisAdapter, offset);
    offset += SHARED_INT_QUEUE_SIZE;
    FillSharedRegion(&ThisAdapter->SharedMem.TxDescriptors, ThisAdapter, offset);
    offset += groups * SHARED_TX_DESC_SIZE;
    FillSharedRegion(&ThisAdapter->SharedMem.RxDescriptors, ThisAdapter, offset);
    offset += groups * SHARED_RX_DESC_SIZE;
    FillSharedRegion(&ThisAdapter->SharedMem.TxBuffers, ThisAdapter, offset);
    offset += groups * SHARED_TX_BUF_SIZE;
    FillSharedRegion(&ThisAdapter->SharedMem.RxBuffers, ThisAdapter, offset);

    Bt847xDevice* hdlc = &ThisAdapter->Bt847x;
    hdlc->RegBase = ThisAdapter->VirtualAddressBAR0;
    hdlc->GroupAreaPhysical = ThisAdapter->SharedMem.GroupAreas.Physical;
    hdlc->GroupAreaVirtual = ThisAdapter->SharedMem.GroupAreas.Virtual;
    hdlc->IntQueuePhysical = ThisAdapter->SharedMem.IntQueue.Physical;
    hdlc->IntQueueVirtual = (PULONG)ThisAdapter->SharedMem.IntQueue.Virtual;

    // 2-4. Per-group values, socket windows, lines, latches.
    for (g = 0; g < MAX_GROUPS; g++) {
        ThisAdapter->SocketsPerGroup[g] = row->SocketsPerGroup[g];
        ThisAdapter->FramerBase[g] = Bar1Word(ThisAdapter, row->FramerWindow[g]);
        ThisAdapter->LedBits[g] = row->LedBits[g];
    }
    ThisAdapter->NumberOfLines = row->Lines;
    ThisAdapter->LatchIrq = (volatile ULONG*)Bar1Word(ThisAdapter, row->Latch[0]);
    ThisAdapter->LatchLed = (volatile ULONG*)Bar1Word(ThisAdapter, row->Latch[1]);
    ThisAdapter->LatchRst = (volatile ULONG*)Bar1Word(ThisAdapter, row->Latch[2]);
    ThisAdapter->Latch4 = (volatile ULONG*)Bar1Word(ThisAdapter, row->Latch[3]);
    ThisAdapter->IrqLatchBits = row->IrqBits;
    ThisAdapter->ResetBits = row->ResetBits;
    ThisAdapter->SocketCount = row->Sockets;

    // 5. Back pointers.
    hdlc->ThisAdapter = ThisAdapter;
    for (g = 0; g < ThisAdapter->NumberOfLines; g++) {
        ThisAdapter->Framer[g].ThisAdapter = ThisAdapter;
        ThisAdapter->Framer[g].RegBase = ThisAdapter->FramerBase[g];
    }

    // 6. WAN information answered to NDISWAN.
    NDIS_WAN_INFO* wan = &ThisAdapter->WanInfo;
    wan->MaxFrameSize = 2014;
    wan->MaxTransmit = 2;
    wan->HeaderPadding = 0;
    wan->TailPadding = 0;
    wan->Endpoints = 128;
    wan->MemoryFlags = 0;
    wan->HighestAcceptableAddress.QuadPart = -1;
    wan->FramingBits = 0x80000F00;
    wan->DesiredACCM = 0;

    // 7. Links in use per group: the line's number of B channels, at most the group's size.
    for (g = 0; g < groups; g++) {
        ULONG n = ThisAdapter->SgnlProtocolOps[g].Control(CTL_KIND_GET, CTL_NUM_B_CHANNELS, ThisAdapter->ThisSgnlStack[g], 0);
        ThisAdapter->LinksPerGroup[g] = n > MAX_LINKS_PER_GROUP ? MAX_LINKS_PER_GROUP : n;
    }

    // 8. Modem sockets.
    for (g = 0; g < groups; g++) {
        for (j = 0; j < ThisAdapter->SocketsPerGroup[g]; j++) {
            ULONG k = j + g * ThisAdapter->SocketsPerGroup[g];
            if (k >= MAX_SOCKETS || k >= 8) continue;
            InitDimm(&ThisAdapter->Socket[k], ThisAdapter, k, row->SocketGroup[k], Bar1Word(ThisAdapter, row->SocketWindow[k]),
                     j * row->TimeslotStep);
        }
    }

    // 9-11.
    ThisAdapter->DoCsmReset = 1;
    TmrInit(&ThisAdapter->AdapterTimerPool, ThisAdapter->AdapterTimerEntries, ADAPTER_TIMER_ENTRIES);
    InitializeLinks(ThisAdapter);
    return TRUE;
}

// ---- latches ----
//
// Every read-modify-write of an image, the ISR's mask and restore among them, runs
// under the latch lock (AdapterSyncWithInterrupts) so that none can interleave.

typedef struct _LATCH_OP {
    Adapter* ThisAdapter;
    ULONG Line;
    ULONG Value;
} LATCH_OP;

static void LatchWrite(volatile ULONG* Latch, ULONG Value) { WRITE_REGISTER_ULONG(Latch, Value); }

static BOOLEAN LatchIrqOnSync(PVOID Context)
{
    Adapter* a = ((LATCH_OP*)Context)->ThisAdapter;
    LatchWrite(a->LatchIrq, a->LatchIrqImage & ~a->IrqLatchBits);
    a->LatchIrqImage |= a->IrqLatchBits;
    LatchWrite(a->LatchIrq, a->LatchIrqImage);
    return TRUE;
}

static BOOLEAN LatchIrqOffSync(PVOID Context)
{
    Adapter* a = ((LATCH_OP*)Context)->ThisAdapter;
    LatchWrite(a->LatchIrq, a->LatchIrqImage & ~a->IrqLatchBits);
    a->LatchIrqImage &= ~a->IrqLatchBits;
    return TRUE;
}

static BOOLEAN LatchHwResetSync(PVOID Context)
{
    LATCH_OP* op = (LATCH_OP*)Context;
    Adapter* a = op->ThisAdapter;
    ULONG id = a->AdapterID;
    if (id >= 1 && id <= 4) {
        LatchWrite(a->LatchIrq, a->LatchIrqImage & ~a->IrqLatchBits);
        if (op->Value)
            a->LatchIrqImage &= a->ResetBits;
        else
            a->LatchIrqImage |= ~a->ResetBits;
        LatchWrite(a->LatchIrq, a->LatchIrqImage);
    } else if (id >= 5 && id <= 7) {
        if (op->Value)
            a->LatchRstImage &= a->ResetBits;
        else
            a->LatchRstImage |= ~a->ResetBits;
        LatchWrite(a->LatchRst, a->LatchRstImage);
    }
    return TRUE;
}

static BOOLEAN LatchLedSync(PVOID Context)
{
    LATCH_OP* op = (LATCH_OP*)Context;
    Adapter* a = op->ThisAdapter;
    ULONG id = a->AdapterID;
    ULONG bits = a->LedBits[op->Line];
    if (id >= 1 && id <= 4) {
        ULONG shift = 2 * op->Line + 2;
        LatchWrite(a->LatchIrq, a->LatchIrqImage & ~a->IrqLatchBits);
        a->LatchIrqImage = (a->LatchIrqImage & ~bits) | ((op->Value << shift) & (3u << shift) & bits);
        LatchWrite(a->LatchIrq, a->LatchIrqImage);
    } else if (id >= 5 && id <= 7) {
        ULONG shift = 2 * op->Line;
        a->LatchLedImage = (a->LatchLedImage & ~bits) | ((op->Value << shift) & (3u << shift) & bits);
        LatchWrite(a->LatchLed, a->LatchLedImage);
    }
    return TRUE;
}

static void LatchRun(Adapter* ThisAdapter, PNDIS_SYNCHRONIZE_FUNCTION Fn, ULONG Line, ULONG Value)
{
    LATCH_OP op = {ThisAdapter, Line, Value};
    AdapterSyncWithInterrupts(ThisAdapter, Fn, &op);
}

void AdapterSetLatchIRQ_ON(Adapter* ThisAdapter) { LatchRun(ThisAdapter, LatchIrqOnSync, 0, 0); }
void AdapterSetLatchIRQ_OFF(Adapter* ThisAdapter) { LatchRun(ThisAdapter, LatchIrqOffSync, 0, 0); }

static BOOLEAN LatchIrqEnableSync(PVOID Context)
{
    ((LATCH_OP*)Context)->ThisAdapter->IrqEnabled = 1;
    return LatchIrqOnSync(Context);
}

static BOOLEAN LatchIrqDisableSync(PVOID Context)
{
    ((LATCH_OP*)Context)->ThisAdapter->IrqEnabled = 0;
    return LatchIrqOffSync(Context);
}

// IrqEnabled changes in the same step as the latch, so that no enable handler sees
// one without the other.
void AdapterEnableLatchIRQ(Adapter* ThisAdapter) { LatchRun(ThisAdapter, LatchIrqEnableSync, 0, 0); }
void AdapterDisableLatchIRQ(Adapter* ThisAdapter) { LatchRun(ThisAdapter, LatchIrqDisableSync, 0, 0); }

void AdapterSetLatchBT8370_HWRESET(Adapter* ThisAdapter, BOOLEAN Active)
{
    LatchRun(ThisAdapter, LatchHwResetSync, 0, Active ? 1 : 0);
}

void AdapterSetLatchLed(Adapter* ThisAdapter, ULONG Line, ULONG Value)
{
    if (Line >= MAX_LINES) return;
    LatchRun(ThisAdapter, LatchLedSync, Line, Value);
}

// ---- reset and bring-up chain ----

static BOOLEAN LatchClearSync(PVOID Context)
{
    Adapter* a = ((LATCH_OP*)Context)->ThisAdapter;
    a->IrqEnabled = 0;
    a->LatchIrqImage = 0;
    LatchWrite(a->LatchIrq, 0);
    a->LatchRstImage = 0;
    LatchWrite(a->LatchRst, 0);
    a->Latch4Image = 0;
    LatchWrite(a->Latch4, 0);
    a->LatchLedImage = 0;
    LatchWrite(a->LatchLed, 0);
    return TRUE;
}

void ResetAdapter(Adapter* ThisAdapter)
{
    ULONG n;
    Bt847xInitGlobalCfgReg(&ThisAdapter->Bt847x);
    LatchRun(ThisAdapter, LatchClearSync, 0, 0);
    ThisAdapter->AdapterFailed = 0;
    ThisAdapter->DataInterfaceUp = 0;
    TapiResetHandler(ThisAdapter);
    TmrInit(&ThisAdapter->AdapterTimerPool, ThisAdapter->AdapterTimerEntries, ADAPTER_TIMER_ENTRIES);
    InitializeLinks(ThisAdapter);
    for (n = 0; n < ThisAdapter->NumberOfLines; n++) {
        SGNL_CONTROL control = ThisAdapter->SgnlProtocolOps[n].Control;
        PVOID stack = ThisAdapter->ThisSgnlStack[n];
        ThisAdapter->LineUp[n] = 0;
        ThisAdapter->QStackTickCount[n] = 0;
        Bt8370DefineOperationalMode(&ThisAdapter->Framer[n], n, 0);
        control(CTL_KIND_ACTION, CTL_INIT_TIMER_POOL, stack, 0);
        control(CTL_KIND_ACTION, CTL_RESET, stack, 0);
        control(CTL_KIND_ACTION, CTL_RBS_TYPE, stack, ThisAdapter->RBSType[n]);
        control(CTL_KIND_ACTION, CTL_RBS_CALL_TYPE, stack, ThisAdapter->RBSCallType[n]);
        control(CTL_KIND_ACTION, CTL_RBS_PROTOCOL, stack, ThisAdapter->RBSProtocol[n]);
        control(CTL_KIND_ACTION, CTL_RBS_WINK_DURATION, stack, ThisAdapter->RBSWinkDuration[n]);
        AdapterSetLatchLed(ThisAdapter, n, 1);
    }
    if (ThisAdapter->NumberOfLines > 0) {
        AdapterSetLatchBT8370_HWRESET(ThisAdapter, FALSE);
        Bt8370Initialize(&ThisAdapter->Framer[0], 0);
    } else {
        AdapterLineInterfaceInitDone(ThisAdapter);
    }
    ThisAdapter->StatusEventIndication = 0;
    ThisAdapter->PumpStatusIndication = 0;
}

void AdapterLineInterfaceInitDone(Adapter* ThisAdapter)
{
    ThisAdapter->AdapterFailed = 0;
    if (ThisAdapter->NumberOfLines > 0 && !Bt8370DevicesCheckValidity(ThisAdapter)) ThisAdapter->AdapterFailed = 1;
    if (ThisAdapter->AdapterFailed == 0) Bt847xInitialize(&ThisAdapter->Bt847x);
}

void AdapterDataInterfaceInitFailed(Adapter* ThisAdapter)
{
    ThisAdapter->AdapterFailed = 1;
    ThisAdapter->DataInterfaceUp = 0;
}

BOOLEAN AdapterDataInterfaceInitDone(PVOID Context)
{
    Adapter* ThisAdapter = (Adapter*)Context;
    ULONG g, l, n, s, c;
    for (g = 0; g < ThisAdapter->NumberOfGroups; g++) {
        SGNL_CONTROL control = ThisAdapter->SgnlProtocolOps[g].Control;
        for (l = 0; l < MAX_LINKS_PER_GROUP; l++) {
            Link* ThisLink = &ThisAdapter->NdisWanInfo[g][l];
            InitChTxPackets(ThisLink);
            InitChRxPackets(ThisLink);
            if (ThisLink->Index == 31 && control(CTL_KIND_CONST, CTL_HAS_D_CHANNEL, NULL, 0) == 1) {
                ThisLink->IsDChannelLink = 1;
                ThisLink->CurrentOwner = OWNER_SIGNALLING_STACK;
            }
        }
    }
    for (n = 0; n < ThisAdapter->NumberOfLines; n++) {
        Bt8370StartBackground(&ThisAdapter->Framer[n]);
        ThisAdapter->SgnlProtocolOps[n].Control(CTL_KIND_ACTION, CTL_START_TICK, ThisAdapter->ThisSgnlStack[n], 0);
    }
    for (s = 0; s < ThisAdapter->SocketCount && s < MAX_SOCKETS; s++)
        for (c = 0; c < ThisAdapter->Socket[s].ProcessorCount; c++) DimmRequestCsmReset(&ThisAdapter->Socket[s], c);
    for (s = 0; s < ThisAdapter->SocketCount && s < MAX_SOCKETS; s++) DimmStartTimer(&ThisAdapter->Socket[s]);
    ThisAdapter->DataInterfaceUp = 1;
    if (!ThisAdapter->BringUpCompleted) {
        ThisAdapter->BringUpCompleted = 1;
        ser_CreatePortDevices(WmpDriverObject(), ThisAdapter);
    }
    return TRUE;
}
