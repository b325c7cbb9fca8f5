// Port open, close, clean-up and cancellation; the serial control codes; wait masks and
// modem-status events. Link and pump fields change only under AdapterSpinLock (the
// adapter timer reads them); queues, ring indexes and ModemControl under PortLock;
// WaitMask, HistoryMask, IrpMaskLocation and CurrentWaitIrp under the cancel spin lock.
// Order: AdapterSpinLock, then PortLock, then the cancel spin lock.
#include <cstring>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "driver/Wmp_nt40/ser_init.h"

#define SER_PORT(d) ((AsyncPort*)(d)->DeviceExtension)

static ULONG* ser_WaitRefs(PIRP Irp) { return (ULONG*)&IoGetCurrentIrpStackLocation(Irp)->Context; }

// ---- open, close, clean-up ----

// Binds a pump to the port's link for a serial owner: network-modem mode, command mode,
// the link's rings for a serial owner. TellDte: the pump learns the port's DTR and RTS.
// AdapterSpinLock and PortLock held.
static void ser_BindPump(AsyncPort* p, Pump* pump, BOOLEAN TellDte)
{
    Link* l = p->ThisLink;
    pump->ThisLink = l;
    pump->PumpEvent = Host_Ev_EnterNtwrkMdmMode;
    pump->OnLineData = 0;
    pump->DteSignalsChanged = 0;
    if (TellDte) {
        pump->DteSignals = (USHORT)(((p->ModemControl & SER_MC_DTR) ? DTE_SIGNAL_DTR : 0) |
                                    ((p->ModemControl & SER_MC_RTS) ? DTE_SIGNAL_RTS : 0));
        pump->DteSignalsChanged = 1;
    }
    l->TxPacketSize = MAX_SEND_FRAME;
    l->NumTxPackets = 2;
    l->RxPacketSize = 2048;
    l->RxMsgPerCh = 8;
}

NTSTATUS ser_MJ_CREATE(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;
    if (ser_DispatchToNdis(DeviceObject, Irp, &status)) return status;
    status = ser_AcceptRequest(DeviceObject, Irp);
    if (status != STATUS_SUCCESS) return status;

    AsyncPort* p = SER_PORT(DeviceObject);
    Adapter* a = p->ThisAdapter;
    Link* l = p->ThisLink;
    KIRQL irql;
    DbgPrint("ser:ser_MJ_CREATE DeviceObject=%lx,ThisLink->CurrentOwner %d\n", (unsigned long)(ULONG_PTR)DeviceObject,
             (int)l->CurrentOwner);
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    irql = KfAcquireSpinLock(&p->PortLock);
    // An open port owns its link, so the open count is looked at first: a second
    // open of an open port is refused as already open, not as in use by NDIS.
    if (p->OpenCount != 0) {
        status = STATUS_ACCESS_DENIED;
        DbgPrint("ser:ser_MJ_CREATE port is already open\n");
    } else if (l->CurrentOwner != OWNER_NONE) {
        status = STATUS_ALREADY_COMMITTED;
        DbgPrint("ser:ser_MJ_CREATE port is in use by NDIS\n");
    } else if (!FindFreePump(a, l, p->GroupID)) {
        status = STATUS_ALREADY_COMMITTED;
        DbgPrint("ser:ser_MJ_CREATE Pump Selection failed: NONE free\n");
    } else {
        Pump* pump = l->ThisPump;
        DbgPrint("ser:ser_MJ_CREATE Pump Selection: { G:%d, D:%d, C:%d, P:%d }\n", (int)p->GroupID, 0, 0,
                 (int)pump->PumpNumber);
        p->OpenCount = 1;
        p->CurrentReadIrp = NULL;
        p->ReadBufferOut = 0;
        p->Rx.WriteIndex = 0;
        p->Rx.ByteCount = 0;
        p->Rx.ReceiveAllowed = 0;
        p->ModemControl = SER_MC_AT_OPEN;
        p->PortEvents = 0;
        p->CurrentWriteIrp = NULL;
        p->WriteBytesMoved = 0;
        p->WaitMask = 0;
        p->HistoryMask = 0;
        p->IrpMaskLocation = NULL;
        p->ReadTotalTimeout = 0;
        p->ReadElapsed = 0;
        p->RTSOnSent = 0;
        p->RTSOffSent = 0;
        p->RaisedDeltas = 0;
        p->RebindPump = FALSE;
        LinkAcquire(a, 0, p->GroupID, p->Index, OWNER_VOVIZ4EZ);
        l->ThisPump = pump;  // LinkAcquire keeps the pump FindFreePump attached
        ser_BindPump(p, pump, FALSE);
        ser_StartReadTimer(p);
        status = STATUS_SUCCESS;
    }
    KfReleaseSpinLock(&p->PortLock, irql);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    Irp->IoStatus.Information = 0;
    RemoveReferenceAndCompleteRequest(DeviceObject, Irp, status);
    RemoveReference(DeviceObject);
    return status;
}

// After a reset of its adapter, or of the modem processor that served it, an open port
// keeps its handle and its link and takes a new pump once a modem processor runs
// again. Called by the link initialisation and by a pump dropped from its Link, with
// AdapterSpinLock held; TRUE when the port is open and keeps the link.
BOOLEAN ser_LinkReset(PVOID Device)
{
    AsyncPort* p = ser_PortOf(Device);
    if (p == NULL) return FALSE;
    KIRQL irql = KfAcquireSpinLock(&p->PortLock);
    BOOLEAN open = p->OpenCount > 0 && !p->Removing;
    if (open) {
        p->RebindPump = TRUE;
        p->RTSOnSent = 0;
        p->RTSOffSent = 0;
        p->RaisedDeltas = 0;
        DbgPrint("ser:COM%d waits for a pump after the reset\n", (int)p->ComNumber);
    }
    KfReleaseSpinLock(&p->PortLock, irql);
    return open;
}

// From the read timer: after a reset the port takes the first free pump, as at open,
// and tells it its DTR and RTS. The modem processors are reset later in the bring-up
// and take their pumps back: a pump taken from the port is replaced in the same way,
// until one has entered network-modem mode for the port.
void ser_RebindAfterReset(AsyncPort* ThisAsyncPort)
{
    AsyncPort* p = ThisAsyncPort;
    Adapter* a = p->ThisAdapter;
    if (a == NULL) return;
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    Link* l = p->ThisLink;
    if (p->RebindPump && p->OpenCount > 0 && l != NULL && l->CurrentOwner == OWNER_VOVIZ4EZ) {
        KIRQL irql = KfAcquireSpinLock(&p->PortLock);
        if (l->ThisPump != NULL && l->ThisPump->ThisLink != l) l->ThisPump = NULL;  // its processor was reset
        if (l->ThisPump == NULL && FindFreePump(a, l, p->GroupID)) {
            DbgPrint("ser:COM%d Pump Selection: { G:%d, P:%d }\n", (int)p->ComNumber, (int)p->GroupID,
                     (int)l->ThisPump->PumpNumber);
            ser_BindPump(p, l->ThisPump, TRUE);
        } else if (l->ThisPump != NULL && l->ThisPump->PumpEvent != Host_Ev_EnterNtwrkMdmMode) {
            p->RebindPump = FALSE;  // the pump serves the port
        }
        KfReleaseSpinLock(&p->PortLock, irql);
    }
    NdisReleaseSpinLock(&a->AdapterSpinLock);
}

static NTSTATUS ser_CompleteSuccess(PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS ser_MJ_CLOSE(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;
    if (ser_DispatchToNdis(DeviceObject, Irp, &status)) return status;
    AsyncPort* p = SER_PORT(DeviceObject);
    if (p->ThisAdapter == NULL) return ser_CompleteSuccess(Irp);  // withdrawn at its adapter's halt: nothing to give back
    Adapter* a = p->ThisAdapter;
    Link* l = p->ThisLink;
    KIRQL irql;
    KeCancelTimer(&p->ReadTimer);
    KeRemoveQueueDpc(&p->ReadTimerDpc);
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    irql = KfAcquireSpinLock(&p->PortLock);
    BOOLEAN closed = p->OpenCount > 0;
    if (closed) {  // a close of a handle whose open failed changes nothing
        p->OpenCount--;
        LinkRelease(l, OWNER_VOVIZ4EZ);
        if (l->ThisPump != NULL) {
            // The session ended as its application chose, not by a fault of the pump: the
            // reset that follows starts a fresh count, so a pump that serves many short
            // sessions is not taken out of service for them.
            l->ThisPump->ThisLink = NULL;
            l->ThisPump->ResetAttempts = 0;
            l->ThisPump->PumpState = PUMP_NEED_RESET;
            l->ThisPump->PumpEvent = Host_Ev_Reset_Requested;
            l->ThisPump->PumpReadyForReceiveData = TRUE;
            DbgPrint("PumpReadyForReceiveData is TRUE\n");
        }
        l->ThisPump = NULL;
    }
    KfReleaseSpinLock(&p->PortLock, irql);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    // Requests sent to the port after its clean-up go back with the close.
    if (closed) ser_CompleteHeldRequests(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS ser_MJ_CLEANUP(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;
    if (ser_DispatchToNdis(DeviceObject, Irp, &status)) return status;
    AsyncPort* p = SER_PORT(DeviceObject);
    if (p->ThisAdapter == NULL) return ser_CompleteSuccess(Irp);  // withdrawn at its adapter's halt: nothing to give back
    Adapter* a = p->ThisAdapter;
    Link* l = p->ThisLink;

    NdisAcquireSpinLock(&a->AdapterSpinLock);
    if (p->OpenCount > 0 && l->CurrentOwner == OWNER_VOVIZ4EZ) {  // only the port's own call
        if (l->ThisPump != NULL) l->ThisPump->PumpFaxConnection = 0;
        DisconnectHdlr(l);
    }
    NdisReleaseSpinLock(&a->AdapterSpinLock);

    ser_CompleteHeldRequests(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// ---- cancellation ----

// Cancels every queued request of a queue and then the current one. Locks are taken
// PortLock first, then the cancel spin lock; PortLock is released at dispatch level and
// the cancel routine (or this routine) gives the cancel spin lock back at the level
// PortLock was taken at, so the level drops only once no lock is held.
void ser_KillAllQueuedIrps(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueToClean, PIRP* CurrentOpIrp)
{
    AsyncPort* p = SER_PORT(DeviceObject);
    KIRQL irql, cancelIrql;
    for (;;) {
        irql = KfAcquireSpinLock(&p->PortLock);
        IoAcquireCancelSpinLock(&cancelIrql);
        if (IsListEmpty(QueueToClean)) break;
        PIRP irp = CONTAINING_RECORD(RemoveTailList(QueueToClean), IRP, ListEntry);
        irp->IoStatus.Status = STATUS_CANCELLED;  // its cancel routine leaves the queue alone
        irp->Cancel = TRUE;
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
        KfReleaseSpinLock(&p->PortLock, cancelIrql);
        if (routine != NULL) {
            irp->CancelIrql = irql;
            routine(DeviceObject, irp);  // releases the cancel spin lock and completes it
        } else {
            // Its cancel routine is already running on another processor: it completes it.
            IoReleaseCancelSpinLock(irql);
        }
    }
    // Queue empty, PortLock and the cancel spin lock held. The current request has no
    // cancel routine and its worker may not run again soon (the pump may never be
    // ready): it is taken aside here and completed as cancelled.
    PIRP current = *CurrentOpIrp;
    PDRIVER_CANCEL routine = NULL;
    if (current != NULL) {
        current->Cancel = TRUE;
        routine = IoSetCancelRoutine(current, NULL);
        if (routine == NULL) {
            *CurrentOpIrp = NULL;
            if (CurrentOpIrp == &p->CurrentWriteIrp) p->WriteBytesMoved = 0;
        }
    }
    KfReleaseSpinLock(&p->PortLock, cancelIrql);
    if (routine != NULL) {
        current->CancelIrql = irql;
        routine(DeviceObject, current);
        return;
    }
    IoReleaseCancelSpinLock(irql);
    if (current != NULL) {
        current->IoStatus.Information = 0;
        RemoveReferenceAndCompleteRequest(DeviceObject, current, STATUS_CANCELLED);
    }
}

void ser_CancelQueuedIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AsyncPort* p = SER_PORT(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql = KfAcquireSpinLock(&p->PortLock);
    if (Irp->IoStatus.Status != STATUS_CANCELLED) RemoveEntryList(&Irp->ListEntry);
    KfReleaseSpinLock(&p->PortLock, irql);
    Irp->IoStatus.Information = 0;
    RemoveReferenceAndCompleteRequest(DeviceObject, Irp, STATUS_CANCELLED);
}

BOOLEAN ser_TakeForWork(PIRP Irp)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (Irp->Cancel) {
        Irp->IoStatus.Status = STATUS_CANCELLED;  // its cancel routine completes it
        IoReleaseCancelSpinLock(cancelIrql);
        return FALSE;
    }
    IoSetCancelRoutine(Irp, NULL);
    IoReleaseCancelSpinLock(cancelIrql);
    return TRUE;
}

// Every request the port holds goes back cancelled: the queued and current reads and
// writes, and the wait, whether or not an event could still complete it. A request
// whose cancel routine is already running is left to that routine. No lock held.
void ser_CompleteHeldRequests(PDEVICE_OBJECT DeviceObject)
{
    AsyncPort* p = SER_PORT(DeviceObject);
    KIRQL irql;
    DbgPrint("\tkill: WriteQueue ");
    ser_KillAllQueuedIrps(DeviceObject, &p->WriteQueue, &p->CurrentWriteIrp);
    DbgPrint("ReadQueue\n");
    ser_KillAllQueuedIrps(DeviceObject, &p->ReadQueue, &p->CurrentReadIrp);

    IoAcquireCancelSpinLock(&irql);
    p->WaitMask = 0;
    p->HistoryMask = 0;
    PIRP wait = p->CurrentWaitIrp;
    if (wait == NULL) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    wait->Cancel = TRUE;
    if (p->IrpMaskLocation != NULL) {
        *p->IrpMaskLocation = 0;
        p->IrpMaskLocation = NULL;
    }
    // No event completes it any more; TryToCompleteCurrentMask takes its cancel
    // routine, or leaves it to a cancel routine already running.
    TryToCompleteCurrentMask(p, irql, STATUS_CANCELLED, &p->CurrentWaitIrp, SER_REF_ISR);
}

// ---- wait masks ----

void TryToCompleteCurrentMask(AsyncPort* ThisAsyncPort, KIRQL IrqlForRelease, NTSTATUS StatusToUse,
                              PIRP* CurrentOpIrp, ULONG RefType)
{
    PIRP irp = *CurrentOpIrp;
    DbgPrint("ser:\tTryToCompleteCurrentMask: ");
    if (irp == NULL) {
        IoReleaseCancelSpinLock(IrqlForRelease);
        return;
    }
    ULONG* refs = ser_WaitRefs(irp);
    *refs &= ~RefType;
    if (irp->CancelRoutine != NULL) {
        DbgPrint("CancelRoutine ");
        IoSetCancelRoutine(irp, NULL);
        *refs &= ~(ULONG)SER_REF_CANCEL;
    }
    if (*refs == 0) {
        DbgPrint("CompleteRequest ");
        if (StatusToUse == STATUS_CANCELLED) DbgPrint("StatusCancel ");
        irp->IoStatus.Status = StatusToUse;
        irp->IoStatus.Information = StatusToUse == STATUS_SUCCESS ? sizeof(ULONG) : 0;
        *CurrentOpIrp = NULL;
        IoReleaseCancelSpinLock(IrqlForRelease);
        RemoveReferenceAndCompleteRequest(ThisAsyncPort->DeviceObject, irp, StatusToUse);
        return;
    }
    IoReleaseCancelSpinLock(IrqlForRelease);
}

void CancelWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AsyncPort* p = SER_PORT(DeviceObject);
    DbgPrint("ser:\tIn CancelWaitMask: ");
    DbgPrint("Canceling wait for irp %lx\n", (unsigned long)(ULONG_PTR)Irp);
    if (p->IrpMaskLocation != NULL) {
        DbgPrint("ser:\tThe isr still owns the irp %lx, mask location is %lx\n", (unsigned long)(ULONG_PTR)Irp,
                 (unsigned long)(ULONG_PTR)p->IrpMaskLocation);
        DbgPrint("\tand system buffer is %lx\n", (unsigned long)(ULONG_PTR)Irp->SystemBuffer);
        *p->IrpMaskLocation = 0;
        p->IrpMaskLocation = NULL;
        Irp->IoStatus.Information = sizeof(ULONG);
        *ser_WaitRefs(Irp) &= ~(ULONG)SER_REF_ISR;
    }
    // The system took the cancel routine away before calling it.
    *ser_WaitRefs(Irp) &= ~(ULONG)SER_REF_CANCEL;
    TryToCompleteCurrentMask(p, Irp->CancelIrql, STATUS_CANCELLED, &p->CurrentWaitIrp, SER_REF_CANCEL);
}

static void ser_TraceMask(ULONG Mask)
{
    static const char* const names[] = {"RXCHAR ", "RXFLAG ", "TXEMPTY ", "CTS ",  "DSR ",    "RLSD ",   "BREAK ",
                                        "ERR ",    "RING ",   "PERR ",    "RX80FULL ", "EVENT1 ", "EVENT2 "};
    DbgPrint("ser:\tMask = {");
    for (ULONG b = 0; b < 13; b++)
        if (Mask & (1u << b)) DbgPrint("%s", names[b]);
    DbgPrint("}\n");
}

static NTSTATUS ser_SetWaitMask(AsyncPort* p, PIRP Irp, ULONG InLength)
{
    KIRQL cancelIrql;
    if (InLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG mask;
    std::memcpy(&mask, Irp->SystemBuffer, sizeof mask);
    if (mask & ~(ULONG)EV_ALL) {
        DbgPrint("ser:\tBad mask\n");
        return STATUS_INVALID_PARAMETER;
    }
    ser_TraceMask(mask);
    IoAcquireCancelSpinLock(&cancelIrql);
    if (p->IrpMaskLocation != NULL) {
        *p->IrpMaskLocation = 0;
        p->IrpMaskLocation = NULL;
        TryToCompleteCurrentMask(p, cancelIrql, STATUS_SUCCESS, &p->CurrentWaitIrp, SER_REF_ISR);
        IoAcquireCancelSpinLock(&cancelIrql);
    }
    p->HistoryMask = 0;
    p->WaitMask = mask;
    IoReleaseCancelSpinLock(cancelIrql);
    return STATUS_SUCCESS;
}

static NTSTATUS ser_WaitOnMask(AsyncPort* p, PIRP Irp, ULONG OutLength)
{
    KIRQL cancelIrql;
    if (OutLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (p->CurrentWaitIrp != NULL) {
        NTSTATUS status = Irp->Cancel ? STATUS_CANCELLED : STATUS_INVALID_PARAMETER;
        IoReleaseCancelSpinLock(cancelIrql);
        return status;
    }
    if (p->WaitMask == 0) {
        IoReleaseCancelSpinLock(cancelIrql);
        return STATUS_INVALID_PARAMETER;
    }
    p->CurrentWaitIrp = Irp;
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_PENDING;
    IoSetCancelRoutine(Irp, CancelWaitMask);
    *ser_WaitRefs(Irp) = SER_REF_CANCEL | SER_REF_ISR;
    if (p->HistoryMask == 0) {
        p->IrpMaskLocation = (PULONG)Irp->SystemBuffer;
        IoReleaseCancelSpinLock(cancelIrql);
        return STATUS_PENDING;
    }
    std::memcpy(Irp->SystemBuffer, &p->HistoryMask, sizeof(ULONG));
    p->HistoryMask = 0;
    Irp->IoStatus.Information = sizeof(ULONG);
    TryToCompleteCurrentMask(p, cancelIrql, STATUS_SUCCESS, &p->CurrentWaitIrp, SER_REF_ISR);
    return STATUS_PENDING;  // completed already; the dispatch frame must not complete it again
}

// Called by the modem side with AdapterSpinLock held. A change bit raises its event
// once: it stays in the pump's image (for GET_MODEMSTATUS) until a wait consumes it,
// but RaisedDeltas keeps it from being raised again by the next update.
ULONG ser_HandleModemUpdate(PVOID Device)
{
    AsyncPort* p = ser_PortOf(Device);
    ULONG result = 0xFF;
    KIRQL cancelIrql;
    if (p == NULL) return 0xFF;
    Link* l = p->ThisLink;
    Pump* pump = l != NULL ? l->ThisPump : NULL;
    if (pump == NULL) return 0xFF;
    UCHAR msr = pump->ModemStatusRegister;
    p->RaisedDeltas &= msr;  // bits taken out of the image may be raised again
    UCHAR fresh = (UCHAR)(msr & ~p->RaisedDeltas);
    // In command mode the modem itself answers: its text is data for the client
    // whatever the carrier.
    BOOLEAN rxOk = (msr & SER_MSR_DCD) != 0 || pump->OnLineData == 0;

    IoAcquireCancelSpinLock(&cancelIrql);
    if (p->WaitMask != 0) {
        static const struct {
            ULONG Event;
            UCHAR Delta;
            const char* Name;
        } deltas[] = {
            {EV_CTS, SER_MSR_DCTS, "EV_CTS "},
            {EV_DSR, SER_MSR_DDSR, "EV_DRS "},
            {EV_RING, SER_MSR_TERI, "EV_RING "},
            {EV_RLSD, SER_MSR_DDCD, "EV_RLSD "},
        };
        DbgPrint("ser:ser_HandleModemUpdate ");
        for (const auto& e : deltas) {
            if (!(p->WaitMask & e.Event) || !(msr & e.Delta)) continue;
            if (!(fresh & e.Delta)) continue;  // raised by an earlier update
            result &= ~(ULONG)e.Delta;
            p->HistoryMask |= e.Event;
            p->RaisedDeltas |= e.Delta;
            DbgPrint("%s", e.Name);
            if (e.Event == EV_RLSD && l->TxCompletedCount == l->TxQueuedCount) p->PortEvents |= SER_PE_TXEMPTY;
        }
        if ((p->WaitMask & EV_RXCHAR) && (p->PortEvents & SER_PE_RXCHAR)) {
            DbgPrint(" Pre: EV_RXCHAR ");
            if (rxOk) {
                p->HistoryMask |= EV_RXCHAR;
                p->PortEvents &= ~(ULONG)SER_PE_RXCHAR;
                DbgPrint("EV_RXCHAR ");
            }
        }
        if ((p->WaitMask & EV_TXEMPTY) && (p->PortEvents & SER_PE_TXEMPTY)) {
            p->HistoryMask |= EV_TXEMPTY;
            p->PortEvents &= ~(ULONG)SER_PE_TXEMPTY;  // reported once per drain
            DbgPrint("EV_TXEMPTY ");
        }
    }
    if (p->IrpMaskLocation != NULL && p->HistoryMask != 0) {
        *p->IrpMaskLocation = p->HistoryMask;
        p->IrpMaskLocation = NULL;
        p->HistoryMask = 0;
        p->RaisedDeltas &= (UCHAR)result;  // the caller takes the consumed bits out of the image
        TryToCompleteCurrentMask(p, cancelIrql, STATUS_SUCCESS, &p->CurrentWaitIrp, SER_REF_ISR);
        return result;
    }
    DbgPrint(p->IrpMaskLocation == NULL ? "No IrpMaskLocation\n" : "No HistoryMask\n");
    IoReleaseCancelSpinLock(cancelIrql);
    return 0xFF;
}

// ---- control codes ----

static void ser_SetDteSignal(AsyncPort* p, ULONG PortBit, USHORT PumpBit, BOOLEAN On, const char* Name)
{
    Adapter* a = p->ThisAdapter;
    DbgPrint("ser:\t %s GroupID %d ; Index = %d\n", Name, (int)p->GroupID, (int)p->Index);
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    KIRQL irql = KfAcquireSpinLock(&p->PortLock);
    if (On) p->ModemControl |= PortBit;
    else p->ModemControl &= ~PortBit;
    Pump* pump = p->ThisLink->ThisPump;
    if (pump != NULL) {
        if (On) pump->DteSignals |= PumpBit;
        else pump->DteSignals &= (USHORT)~PumpBit;
        pump->DteSignalsChanged = 1;
    }
    KfReleaseSpinLock(&p->PortLock, irql);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
}

static NTSTATUS ser_Purge(AsyncPort* p, PIRP Irp, ULONG InLength)
{
    if (InLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG mask;
    std::memcpy(&mask, Irp->SystemBuffer, sizeof mask);
    if (!(mask & SERIAL_PURGE_RXABORT)) return STATUS_SUCCESS;
    PDEVICE_OBJECT d = p->DeviceObject;
    KIRQL irql = KfAcquireSpinLock(&p->PortLock);
    while (!IsListEmpty(&p->ReadQueue)) {
        PIRP r = CONTAINING_RECORD(RemoveHeadList(&p->ReadQueue), IRP, ListEntry);
        if (!ser_TakeForWork(r)) continue;  // cancelled: its cancel routine completes it
        KfReleaseSpinLock(&p->PortLock, irql);
        r->IoStatus.Information = 0;
        RemoveReferenceAndCompleteRequest(d, r, STATUS_CANCELLED);
        irql = KfAcquireSpinLock(&p->PortLock);
    }
    PIRP current = p->CurrentReadIrp;
    p->CurrentReadIrp = NULL;
    p->ReadBufferOut = 0;
    p->Rx.WriteIndex = 0;
    p->Rx.ByteCount = 0;
    KfReleaseSpinLock(&p->PortLock, irql);
    if (current != NULL) {
        current->IoStatus.Information = 0;
        RemoveReferenceAndCompleteRequest(d, current, STATUS_CANCELLED);
    }
    return STATUS_SUCCESS;
}

// The immediate character goes only when the channel can take it now: in command mode
// the processor's mailbox is free, its data FIFO empty and the pump ready for a block;
// in data mode a transmit slot is free. Otherwise nothing is sent and the client is
// told so.
static NTSTATUS ser_ImmediateChar(AsyncPort* p, PIRP Irp, ULONG InLength)
{
    if (InLength < 1) return STATUS_BUFFER_TOO_SMALL;
    UCHAR c = *(PUCHAR)Irp->SystemBuffer;
    DbgPrint("IOCTL_SERIAL_IMMEDIATE_CHAR\n");
    DbgPrint("IMMEDIATE_CHAR = %d\n", (int)c);
    Adapter* a = p->ThisAdapter;
    NTSTATUS status = STATUS_SUCCESS;
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    KIRQL irql = KfAcquireSpinLock(&p->PortLock);
    Link* l = p->ThisLink;
    Pump* pump = p->OpenCount > 0 ? l->ThisPump : NULL;
    if (pump == NULL) {
        status = STATUS_UNSUCCESSFUL;  // no modem channel behind the port
    } else if (pump->OnLineData == 0) {
        Csm* csm = pump->ThisCsm;
        if (csm == NULL || !(CsmLatchStatus(csm) & CSM_CS_OUTBOUND_TAKEN) ||
            CsmReadReg(csm, CSM_REG_FIFO_STATUS) != 0 || !pump->PumpReadyForReceiveData)
            status = STATUS_DEVICE_BUSY;
    } else if (NTWRK_TxBlocked(l)) {
        status = STATUS_DEVICE_BUSY;
    }
    if (status == STATUS_SUCCESS) {
        ser_MonitorRecord(p, SER_MON_WRITE, 1, &c, 1, NULL, 0);
        ser_SendBlock(p, &c, 1, FALSE);
    } else {
        DbgPrint("ser:IMMEDIATE_CHAR not sent, Status = %lx\n", (unsigned long)status);
    }
    KfReleaseSpinLock(&p->PortLock, irql);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
    return status;
}

NTSTATUS ser_MJ_DEVICE_CONTROL(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;
    if (ser_DispatchToNdis(DeviceObject, Irp, &status)) return status;
    status = ser_AcceptRequest(DeviceObject, Irp);
    if (status != STATUS_SUCCESS) return status;
    AsyncPort* p = SER_PORT(DeviceObject);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = s->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = s->Parameters.DeviceIoControl.OutputBufferLength;
    KIRQL irql;
    Irp->IoStatus.Information = 0;
    status = STATUS_SUCCESS;
    irql = KfAcquireSpinLock(&p->PortLock);
    BOOLEAN open = p->OpenCount > 0;
    KfReleaseSpinLock(&p->PortLock, irql);
    if (!open) {
        status = STATUS_INVALID_DEVICE_REQUEST;  // no open handle: nothing would ever end a wait
        code = 0;
    } else if ((inLength > 0 || outLength > 0) && Irp->SystemBuffer == NULL) {
        status = STATUS_INVALID_PARAMETER;  // a length without a buffer
        code = 0;
    }

    switch (code) {
    case 0:
        break;
    case IOCTL_SERIAL_SET_BAUD_RATE: DbgPrint("ser:\t IOCTL_SERIAL_SET_BAUD_RATE\n"); break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE: DbgPrint("ser:\t IOCTL_SERIAL_SET_QUEUE_SIZE\n"); break;
    case IOCTL_SERIAL_SET_LINE_CONTROL: DbgPrint("ser:\t IOCTL_SERIAL_SET_LINE_CONTROL\n"); break;
    case IOCTL_SERIAL_SET_BREAK_ON: DbgPrint("ser:\t IOCTL_SERIAL_SET_BREAK_ON\n"); break;
    case IOCTL_SERIAL_SET_BREAK_OFF: DbgPrint("ser:\t IOCTL_SERIAL_SET_BREAK_OFF\n"); break;
    case IOCTL_SERIAL_RESET_DEVICE: DbgPrint("ser:\t IOCTL_SERIAL_RESET_DEVICE\n"); break;
    case IOCTL_SERIAL_SET_XOFF: DbgPrint("ser:\t IOCTL_SERIAL_SET_XOFF\n"); break;
    case IOCTL_SERIAL_SET_XON: DbgPrint("ser:\t IOCTL_SERIAL_SET_XON\n"); break;
    case IOCTL_SERIAL_GET_BAUD_RATE: DbgPrint("IOCTL_SERIAL_GET_BAUD_RATE\n"); break;
    case IOCTL_SERIAL_GET_LINE_CONTROL: DbgPrint("IOCTL_SERIAL_GET_LINE_CONTROL\n"); break;
    case IOCTL_SERIAL_GET_CHARS: DbgPrint("IOCTL_SERIAL_GET_CHARS\n"); break;
    case IOCTL_SERIAL_SET_CHARS: DbgPrint("IOCTL_SERIAL_SET_CHARS\n"); break;
    case IOCTL_SERIAL_GET_HANDFLOW: DbgPrint("IOCTL_SERIAL_GET_HANDFLOW\n"); break;
    case IOCTL_SERIAL_SET_HANDFLOW: DbgPrint("IOCTL_SERIAL_SET_HANDFLOW\n"); break;
    case IOCTL_SERIAL_XOFF_COUNTER: DbgPrint("IOCTL_SERIAL_XOFF_COUNTER\n"); break;
    case IOCTL_SERIAL_GET_PROPERTIES: DbgPrint("IOCTL_SERIAL_GET_PROPERTIES\n"); break;
    case IOCTL_SERIAL_GET_DTRRTS: DbgPrint("IOCTL_SERIAL_GET_DTRRTS\n"); break;
    case IOCTL_SERIAL_IMMEDIATE_CHAR: status = ser_ImmediateChar(p, Irp, inLength); break;
    case IOCTL_SERIAL_SET_TIMEOUTS:
        DbgPrint("ser:\t IOCTL_SERIAL_SET_TIMEOUTS\n");
        if (inLength < sizeof(SERIAL_TIMEOUTS)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        irql = KfAcquireSpinLock(&p->PortLock);
        std::memcpy(&p->Timeouts, Irp->SystemBuffer, sizeof(SERIAL_TIMEOUTS));
        KfReleaseSpinLock(&p->PortLock, irql);
        break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
        DbgPrint("ser:\t IOCTL_SERIAL_GET_TIMEOUTS\n");
        if (outLength < sizeof(SERIAL_TIMEOUTS)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        irql = KfAcquireSpinLock(&p->PortLock);
        std::memcpy(Irp->SystemBuffer, &p->Timeouts, sizeof(SERIAL_TIMEOUTS));
        KfReleaseSpinLock(&p->PortLock, irql);
        Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
        break;
    case IOCTL_SERIAL_SET_DTR: ser_SetDteSignal(p, SER_MC_DTR, DTE_SIGNAL_DTR, TRUE, "IOCTL_SERIAL_SET_DTR"); break;
    case IOCTL_SERIAL_CLR_DTR: ser_SetDteSignal(p, SER_MC_DTR, DTE_SIGNAL_DTR, FALSE, "IOCTL_SERIAL_CLR_DTR"); break;
    case IOCTL_SERIAL_SET_RTS: ser_SetDteSignal(p, SER_MC_RTS, DTE_SIGNAL_RTS, TRUE, "IOCTL_SERIAL_SET_RTS"); break;
    case IOCTL_SERIAL_CLR_RTS: ser_SetDteSignal(p, SER_MC_RTS, DTE_SIGNAL_RTS, FALSE, "IOCTL_SERIAL_CLR_RTS"); break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        DbgPrint("ser:\t IOCTL_SERIAL_GET_WAIT_MASK\n");
        if (outLength < sizeof(ULONG)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        std::memcpy(Irp->SystemBuffer, &p->WaitMask, sizeof(ULONG));
        Irp->IoStatus.Information = sizeof(ULONG);
        break;
    case IOCTL_SERIAL_SET_WAIT_MASK: status = ser_SetWaitMask(p, Irp, inLength); break;
    case IOCTL_SERIAL_WAIT_ON_MASK: status = ser_WaitOnMask(p, Irp, outLength); break;
    case IOCTL_SERIAL_PURGE:
        DbgPrint("ser:\t IOCTL_SERIAL_PURGE\n");
        status = ser_Purge(p, Irp, inLength);
        break;
    case IOCTL_SERIAL_GET_MODEMSTATUS: {
        if (outLength < sizeof(ULONG)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        ULONG msr = 0;
        NdisAcquireSpinLock(&p->ThisAdapter->AdapterSpinLock);
        Pump* pump = p->ThisLink->ThisPump;
        if (pump != NULL) {
            msr = pump->ModemStatusRegister;
            pump->ModemStatusRegister &= 0xF0;
            p->RaisedDeltas = 0;
        }
        NdisReleaseSpinLock(&p->ThisAdapter->AdapterSpinLock);
        DbgPrint("ser:\tGroupID %d ; Index = %d ; MSR = 0x%x\n", (int)p->GroupID, (int)p->Index, (unsigned)msr);
        std::memcpy(Irp->SystemBuffer, &msr, sizeof msr);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;
    }
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        if (outLength < sizeof(SERIAL_STATUS)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        SERIAL_STATUS st;
        std::memset(&st, 0, sizeof st);
        NdisAcquireSpinLock(&p->ThisAdapter->AdapterSpinLock);
        irql = KfAcquireSpinLock(&p->PortLock);
        Pump* pump = p->ThisLink->ThisPump;
        USHORT ms = pump != NULL ? pump->ModemStatus : 0;
        USHORT dte = pump != NULL ? pump->DteSignals : (USHORT)(p->ModemControl & SER_MC_DTR);
        if (!(ms & MODEM_STATUS_CTS)) st.HoldReasons |= SERIAL_HOLD_CTS;
        if (!(ms & MODEM_STATUS_DSR)) st.HoldReasons |= SERIAL_HOLD_DSR;
        if (!(ms & MODEM_STATUS_DCD)) st.HoldReasons |= SERIAL_HOLD_DCD;
        if (!(dte & DTE_SIGNAL_DTR)) st.HoldReasons |= SERIAL_HOLD_DTR;
        st.AmountInInQueue = p->Rx.ByteCount;
        st.AmountInOutQueue = p->WriteBytesMoved;
        KfReleaseSpinLock(&p->PortLock, irql);
        NdisReleaseSpinLock(&p->ThisAdapter->AdapterSpinLock);
        std::memcpy(Irp->SystemBuffer, &st, sizeof st);
        Irp->IoStatus.Information = sizeof st;
        break;
    }
    default:
        DbgPrint("ser:\t default exit IoControlCode %x: \n", (unsigned)code);
        break;
    }
    if (status != STATUS_PENDING) RemoveReferenceAndCompleteRequest(DeviceObject, Irp, status);
    RemoveReference(DeviceObject);
    return status;
}

// ---- client-side CTS ----

void ser_RaiseCts(PVOID Device)
{
    AsyncPort* p = ser_PortOf(Device);
    if (p != NULL) p->ModemControl |= SER_MC_CTS;
}

void ser_DropCts(PVOID Device)
{
    AsyncPort* p = ser_PortOf(Device);
    if (p != NULL) p->ModemControl &= ~(ULONG)SER_MC_CTS;
}
