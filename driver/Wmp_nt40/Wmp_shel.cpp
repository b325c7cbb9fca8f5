// Driver entry, the miniport handlers and the main loop.
//
// Every handler but the ISR, the hang check and the interrupt enable/disable handlers
// runs its body under AdapterSpinLock. The ISR touches only the IRQ latch image and
// the interrupt-side copies of the HDLC controller and framers; it and the enable and
// disable handlers change the latch image only under the adapter's latch lock.
#include "driver/Wmp_nt40/Wmp_shel.h"

#include <cstring>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_params.h"
#include "driver/Wmp_nt40/Wmp_upper.h"

// The driver image's version resource.
VORNET_VERSION_RESOURCE(VornetDriverVersion, VFT_DRV, VFT2_DRV_SYSTEM);

static NDIS_HANDLE NdisWrapperHandle;
static PDRIVER_OBJECT SavedDriverObject;

PDRIVER_OBJECT WmpDriverObject(void) { return SavedDriverObject; }
NDIS_HANDLE WmpWrapperHandle(void) { return NdisWrapperHandle; }

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NDIS_MINIPORT_CHARACTERISTICS chars;
    UCHAR path[100];
    NDIS_STATUS status;

    NdisZeroMemory(&chars, sizeof chars);
    CopyUnicodeToAnsi(path, RegistryPath, sizeof path);
    RSS_TRACE("DriverEntry: RegistryPath %s\n", path);

    NdisWrapperHandle = NULL;
    NdisInitializeWrapper(&NdisWrapperHandle, DriverObject, RegistryPath, NULL);
    if (NdisWrapperHandle == NULL) {
        RSS_TRACE("NdisMInitializeWrapper Failed\n");
        return (NTSTATUS)NDIS_STATUS_FAILURE;
    }
    SavedDriverObject = DriverObject;

    chars.MajorNdisVersion = 4;
    chars.MinorNdisVersion = 0;
    chars.Reserved = 1;
    chars.CheckForHangHandler = CheckForHangHdlr;
    chars.DisableInterruptHandler = DisableInterruptHdlr;
    chars.EnableInterruptHandler = EnableInterruptHdlr;
    chars.HaltHandler = HaltHdlr;
    chars.HandleInterruptHandler = HandleInterruptHdlr;
    chars.InitializeHandler = InitializeHdlr;
    chars.ISRHandler = ISRHdlr;
    chars.QueryInformationHandler = QueryInformationHdlr;
    chars.ReconfigureHandler = NULL;
    chars.ResetHandler = ResetHdlr;
    chars.WanSendHandler = SendHdlr;
    chars.SetInformationHandler = SetInformationHdlr;
    chars.TransferDataHandler = NULL;

    status = NdisMRegisterMiniport(NdisWrapperHandle, &chars, sizeof chars);
    if (status != NDIS_STATUS_SUCCESS) {
        NdisTerminateWrapper(NdisWrapperHandle, NULL);
        NdisWrapperHandle = NULL;
        RSS_TRACE("NdisMRegisterMiniport Failed, NdisTerminateWrapper called. Status = %lx\n", (unsigned long)status);
        return (NTSTATUS)status;
    }
    return STATUS_SUCCESS;
}

// ---- interrupt synchronisation ----

BOOLEAN AdapterSyncWithInterrupt(Adapter* ThisAdapter, ULONG Which, PNDIS_SYNCHRONIZE_FUNCTION Function, PVOID Context)
{
    if (Which == 0) return NdisMSynchronizeWithInterrupt(&ThisAdapter->PriInterrupt, (PVOID)Function, Context);
    return NdisMSynchronizeWithInterrupt(&ThisAdapter->SecInterrupt, (PVOID)Function, Context);
}

// The two interrupts may have different levels and run on different processors, so
// neither NDIS synchronisation excludes both, and nesting them could ask to raise to a
// lower level. The latch images are instead guarded by the adapter's LatchSpinLock,
// taken at HIGH_LEVEL here and in the ISR: one step, above both interrupts.
KIRQL AdapterLatchLock(Adapter* ThisAdapter)
{
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(&ThisAdapter->LatchSpinLock);
    return old;
}

void AdapterLatchUnlock(Adapter* ThisAdapter, KIRQL OldIrql)
{
    KeReleaseSpinLockFromDpcLevel(&ThisAdapter->LatchSpinLock);
    KeLowerIrql(OldIrql);
}

BOOLEAN AdapterSyncWithInterrupts(Adapter* ThisAdapter, PNDIS_SYNCHRONIZE_FUNCTION Function, PVOID Context)
{
    KIRQL old = AdapterLatchLock(ThisAdapter);
    BOOLEAN result = Function(Context);
    AdapterLatchUnlock(ThisAdapter, old);
    return result;
}

// ---- handlers ----

BOOLEAN CheckForHangHdlr(NDIS_HANDLE MiniportAdapterContext)
{
    return ((Adapter*)MiniportAdapterContext)->AdapterFailed;
}

// NDIS may call these two at interrupt level: no spin lock, only the latch step.
static BOOLEAN DisableInterruptSync(PVOID Context)
{
    Adapter* a = (Adapter*)Context;
    WRITE_REGISTER_ULONG(a->LatchIrq, a->LatchIrqImage & ~a->IrqLatchBits);
    a->LatchIrqImage &= ~a->IrqLatchBits;
    return TRUE;
}

static BOOLEAN EnableInterruptSync(PVOID Context)
{
    Adapter* a = (Adapter*)Context;
    if (a->IrqEnabled != 1) return FALSE;
    WRITE_REGISTER_ULONG(a->LatchIrq, a->LatchIrqImage & ~a->IrqLatchBits);
    a->LatchIrqImage |= a->IrqLatchBits;
    WRITE_REGISTER_ULONG(a->LatchIrq, a->LatchIrqImage);
    return TRUE;
}

void DisableInterruptHdlr(NDIS_HANDLE MiniportAdapterContext)
{
    AdapterSyncWithInterrupts((Adapter*)MiniportAdapterContext, DisableInterruptSync, MiniportAdapterContext);
}

void EnableInterruptHdlr(NDIS_HANDLE MiniportAdapterContext)
{
    AdapterSyncWithInterrupts((Adapter*)MiniportAdapterContext, EnableInterruptSync, MiniportAdapterContext);
}

// May run at any level while the system goes down: no lock, the latch write is
// synchronised with the interrupts, and IrqEnabled is cleared so that no deferred
// handler unmasks the board again.
void ShutdownHdlr(PVOID ShutdownContext)
{
    AdapterDisableLatchIRQ((Adapter*)ShutdownContext);
}

void ISRHdlr(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt, NDIS_HANDLE MiniportAdapterContext)
{
    Adapter* a = (Adapter*)MiniportAdapterContext;
    BOOLEAN ours = FALSE;
    ULONG n;

    *InterruptRecognized = FALSE;
    *QueueMiniportHandleInterrupt = FALSE;
    KIRQL old = AdapterLatchLock(a);
    ULONG saved = a->LatchIrqImage;
    a->LatchIrqImage &= ~a->IrqLatchBits;
    WRITE_REGISTER_ULONG(a->LatchIrq, a->LatchIrqImage);

    ours |= Bt847xIsrHdlr(&a->Bt847x);
    for (n = 0; n < a->NumberOfLines; n++) ours |= Bt8370IsrHdlr(&a->Framer[n]);

    if (ours) {
        *InterruptRecognized = TRUE;
        *QueueMiniportHandleInterrupt = TRUE;
    } else {
        a->LatchIrqImage = saved;
        WRITE_REGISTER_ULONG(a->LatchIrq, a->LatchIrqImage);
    }
    AdapterLatchUnlock(a, old);
}

void HandleInterruptHdlr(NDIS_HANDLE MiniportAdapterContext)
{
    Adapter* a = (Adapter*)MiniportAdapterContext;
    ULONG n;
    if (a->IrqEnabled == 0) return;
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    Bt847xHandleInterruptHdlr(&a->Bt847x);
    for (n = 0; n < a->NumberOfLines; n++) Bt8370HandleInterruptHdlr(&a->Framer[n]);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
}

#define OID_TAPI_RANGE_MASK 0xFFFFFF00
#define OID_TAPI_RANGE 0x07030100

typedef NDIS_STATUS (*INFORMATION_HANDLER)(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                           ULONG InformationBufferLength, PULONG BytesDone, PULONG BytesNeeded);

// OID_TAPI_* requests go to the TAPI provider, every other OID to the WAN handler; the
// adapter spin lock is held across the routed call.
static NDIS_STATUS RouteInformationRequest(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                           ULONG InformationBufferLength, PULONG BytesDone, PULONG BytesNeeded,
                                           INFORMATION_HANDLER Tapi, INFORMATION_HANDLER Wan)
{
    Adapter* a = (Adapter*)MiniportAdapterContext;
    INFORMATION_HANDLER handler = (Oid & OID_TAPI_RANGE_MASK) == OID_TAPI_RANGE ? Tapi : Wan;
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    NDIS_STATUS status = handler(a, Oid, InformationBuffer, InformationBufferLength, BytesDone, BytesNeeded);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    return status;
}

NDIS_STATUS QueryInformationHdlr(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                 ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded)
{
    return RouteInformationRequest(MiniportAdapterContext, Oid, InformationBuffer, InformationBufferLength, BytesWritten,
                                   BytesNeeded, TAPIQueryInformationHdlr, WanQueryInformation);
}

NDIS_STATUS SetInformationHdlr(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                               ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded)
{
    return RouteInformationRequest(MiniportAdapterContext, Oid, InformationBuffer, InformationBufferLength, BytesRead,
                                   BytesNeeded, TAPISetInformationHdlr, WanSetInformation);
}

NDIS_STATUS ResetHdlr(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext)
{
    Adapter* a = (Adapter*)MiniportAdapterContext;
    if (a->AdapterFailed == 1) {
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        ResetAdapter(a);
        PktCompleteSends(a);  // packets the reset took out of the send rings
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        *AddressingReset = TRUE;
    }
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS SendHdlr(NDIS_HANDLE MiniportAdapterContext, NDIS_WAN_LINK_HANDLE NdisLinkHandle, PNDIS_WAN_PACKET Packet)
{
    Adapter* a = (Adapter*)MiniportAdapterContext;
    NDIS_STATUS status;
    if (a == NULL || NdisLinkHandle == 0 || Packet == NULL) {
        RSS_TRACE("SendHdlr:NDIS_STATUS_FAILURE\n");
        return NDIS_STATUS_FAILURE;
    }
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    Link* ThisLink = LinkFromHandle(a, NdisLinkHandle);
    if (ThisLink == NULL) {
        RSS_TRACE("SendHdlr: unknown link handle %lx\n", (unsigned long)NdisLinkHandle);
        status = NDIS_STATUS_FAILURE;
    } else if (LinkTxRingFull(ThisLink)) {
        RSS_TRACE("\tToo many messages\n");
        status = NDIS_STATUS_RESOURCES;
    } else if (Packet->CurrentLength == 0 || Packet->CurrentLength > MAX_SEND_FRAME ||
               Packet->CurrentLength > ThisLink->TxPacketSize || Packet->CurrentBuffer == NULL) {
        status = NDIS_STATUS_FAILURE;
    } else if (ThisLink->ChannelState != CHANNEL_STATE_ACTIVE) {
        status = NDIS_STATUS_FAILURE;
    } else if (ThisLink->TransferTerminated != 0) {
        status = NDIS_STATUS_FAILURE;
    } else {
        TX_PACKET* entry = &ThisLink->TxPackets[ThisLink->WriteTxPacketIdx];
        LinkTxRingNoteQueued(ThisLink);
        entry->Packet = Packet;
        entry->Data = Packet->CurrentBuffer;
        entry->Length = Packet->CurrentLength;
        entry->Word4 = 0;
        entry->InFlight = 0;
        ThisLink->WriteTxPacketIdx++;
        if (ThisLink->WriteTxPacketIdx >= ThisLink->NumTxPackets) ThisLink->WriteTxPacketIdx = 0;
        status = NDIS_STATUS_PENDING;
    }
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    return status;
}

// ---- main loop ----

void AdapterArmTimer(Adapter* ThisAdapter)
{
    ThisAdapter->TimerArmed = 1;
    NdisMSetTimer(&ThisAdapter->AdapterTimer, ThisAdapter->TimerResolution);
}

void MiniportTimerFunction(PVOID, PVOID FunctionContext, PVOID, PVOID)
{
    Adapter* a = (Adapter*)FunctionContext;
    ULONG n;

    NdisAcquireSpinLock(&a->AdapterSpinLock);
    a->TimerArmed = 0;
    if (a->Halting) {
        NdisReleaseSpinLock(&a->AdapterSpinLock);
        return;
    }
    TmrTick(&a->AdapterTimerPool, a->TimerResolution);
    PktCompleteSends(a);  // send completions owed by the packet rings
    for (n = 0; n < a->NumberOfLines; n++) {
        SGNL_CONTROL control = a->SgnlProtocolOps[n].Control;
        PVOID stack = a->ThisSgnlStack[n];
        if (a->SignallingProtocol[n] == 0) {
            if (control(CTL_KIND_SET, CTL_POLL_QUESTION, stack, 0) != 0)
                control(CTL_KIND_ACTION, CTL_TICK, stack, a->TimerResolution);
        } else {
            a->QStackTickCount[n]++;
            if (a->QStackTickCount[n] == a->QStackMultiplier[n]) {
                a->QStackTickCount[n] = 0;
                control(CTL_KIND_ACTION, CTL_TICK, stack, a->TimerResolution * a->QStackMultiplier[n]);
            }
        }
    }
    // Re-armed under the lock: once halt has set Halting, no run arms the timer again.
    if (!a->Halting) AdapterArmTimer(a);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
}
