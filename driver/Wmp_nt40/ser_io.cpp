// Read and write paths of the virtual serial ports: the read queue served by the
// port's 10 ms kernel timer with the standard total time-outs, the 1024-byte receive
// ring the modem side fills, the write queue moved by the modem side in command-mode
// FIFO blocks or data-mode frames, and the network-mode data backgrounds of a
// port-owned Link. Ring indexes, queues and current requests under PortLock; the
// modem side and every path that reaches the mailbox or the transmit ring hold
// AdapterSpinLock first; cancel flags under the cancel spin lock.
#include <cstring>

#include "driver/Common/Bt847x.h"
#include "driver/Common/MDM_CSM.h"
#include "driver/Common/RSS_PKTH.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "driver/Wmp_nt40/ser_init.h"

#define SER_PORT(d) ((AsyncPort*)(d)->DeviceExtension)
#define SER_FAX_BLOCK 64
#define SER_CTS_DROP_LEFT 1024
#define SER_CTS_RAISE_LEFT 64
#define SER_MAXULONG 0xFFFFFFFFu

static ULONG ser_RingNext(ULONG Idx, ULONG Count) { return Idx + 1 >= Count ? 0 : Idx + 1; }
static ULONG ser_RingFree(const AsyncPort* p) { return READ_BUFFER_SIZE - p->Rx.ByteCount; }

static void ser_TraceData(const char* Arrow, const UCHAR* First, ULONG FirstLength, const UCHAR* Second, ULONG Count)
{
    DbgPrint("[%ld] %s ", (long)TraceTick(), Arrow);
    for (ULONG i = 0; i < Count && i < SER_MONITOR_MAX_DATA; i++) {
        UCHAR c = i < FirstLength ? First[i] : Second[i - FirstLength];
        if (c >= 0x20 && c <= 0x7E) DbgPrint("%c", c);
        else DbgPrint("[%2.2x]", c);
    }
    DbgPrint("(%ld)\n", (long)Count);
}

// ---- read path ----

static NTSTATUS ser_Enqueue(PDEVICE_OBJECT DeviceObject, PIRP Irp, PLIST_ENTRY Queue)
{
    AsyncPort* p = SER_PORT(DeviceObject);
    KIRQL irql, cancelIrql;
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    irql = KfAcquireSpinLock(&p->PortLock);
    IoAcquireCancelSpinLock(&cancelIrql);
    IoSetCancelRoutine(Irp, ser_CancelQueuedIrp);
    InsertTailList(Queue, &Irp->ListEntry);
    IoReleaseCancelSpinLock(cancelIrql);
    KfReleaseSpinLock(&p->PortLock, irql);
    RemoveReference(DeviceObject);
    return STATUS_PENDING;
}

// A request the port cannot serve is refused before it is queued.
static BOOLEAN ser_RefuseTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Length, NTSTATUS* Status)
{
    AsyncPort* p = SER_PORT(DeviceObject);
    if (p->OpenCount == 0) *Status = STATUS_INVALID_DEVICE_REQUEST;  // no open handle: nothing serves it
    else if (Length > 0 && Irp->SystemBuffer == NULL) *Status = STATUS_INVALID_PARAMETER;
    else return FALSE;
    Irp->IoStatus.Information = 0;
    RemoveReferenceAndCompleteRequest(DeviceObject, Irp, *Status);
    RemoveReference(DeviceObject);
    return TRUE;
}

// A transfer of no bytes has nothing to wait for: it completes at once with success.
static BOOLEAN ser_CompleteEmptyTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Length)
{
    if (Length != 0) return FALSE;
    Irp->IoStatus.Information = 0;
    RemoveReferenceAndCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS);
    RemoveReference(DeviceObject);
    return TRUE;
}

NTSTATUS ser_MJ_READ(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;
    if (ser_DispatchToNdis(DeviceObject, Irp, &status)) return status;
    status = ser_AcceptRequest(DeviceObject, Irp);
    if (status != STATUS_SUCCESS) return status;
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    if (ser_RefuseTransfer(DeviceObject, Irp, length, &status) || ser_CompleteEmptyTransfer(DeviceObject, Irp, length))
        return status;
    return ser_Enqueue(DeviceObject, Irp, &SER_PORT(DeviceObject)->ReadQueue);
}

void ser_StartReadTimer(AsyncPort* ThisAsyncPort)
{
    LARGE_INTEGER due;
    due.QuadPart = -(int64_t)SER_READ_TICK_MS * 10000;
    KeSetTimer(&ThisAsyncPort->ReadTimer, due, &ThisAsyncPort->ReadTimerDpc);
}

void ser_ReadTimerTick(AsyncPort* ThisAsyncPort)
{
    if (ThisAsyncPort->ReadTotalTimeout != 0) ThisAsyncPort->ReadElapsed += SER_READ_TICK_MS;
}

void ser_ResetReadElapsed(PDEVICE_OBJECT DeviceObject) { SER_PORT(DeviceObject)->ReadElapsed = 0; }

BOOLEAN ser_ReadTimedOut(AsyncPort* ThisAsyncPort)
{
    return ThisAsyncPort->ReadTotalTimeout > 0 && ThisAsyncPort->ReadElapsed > ThisAsyncPort->ReadTotalTimeout;
}

void ser_SetReadTimeouts(AsyncPort* ThisAsyncPort)
{
    KIRQL irql = KfAcquireSpinLock(&ThisAsyncPort->PortLock);
    ULONG i = ThisAsyncPort->Timeouts.ReadIntervalTimeout;
    ULONG m = ThisAsyncPort->Timeouts.ReadTotalTimeoutMultiplier;
    ULONG k = ThisAsyncPort->Timeouts.ReadTotalTimeoutConstant;
    KfReleaseSpinLock(&ThisAsyncPort->PortLock, irql);
    ULONG total;
    if (i == SER_MAXULONG) {
        if (k == SER_MAXULONG) total = 0;
        else if (m == SER_MAXULONG) total = k;
        else if (m == 0 && k == 0) total = 0;
        else total = ThisAsyncPort->ReadLength * m + k;
    } else {
        total = (m != 0 || k != 0) ? ThisAsyncPort->ReadLength * m + k : 0;
    }
    ThisAsyncPort->ReadTotalTimeout = total;
}

// Receive flow control: announce space to the modem once 128 bytes are free again.
// The pump's flag belongs to the modem side: AdapterSpinLock, then PortLock for the ring.
static void ser_AnnounceReceiveSpace(AsyncPort* p)
{
    Adapter* a = p->ThisAdapter;
    if (a == NULL) return;
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    KIRQL irql = KfAcquireSpinLock(&p->PortLock);
    Link* l = p->ThisLink;
    Pump* pump = l != NULL ? l->ThisPump : NULL;
    if (pump != NULL && ser_RingFree(p) >= SER_RX_SPACE_BLOCK && !p->Rx.ReceiveAllowed) {
        p->Rx.ReceiveAllowed = TRUE;
        pump->DataRequested = FALSE;
        DbgPrint("ser:HostReadyForReceiveData is FALSE\n");
    }
    KfReleaseSpinLock(&p->PortLock, irql);
    NdisReleaseSpinLock(&a->AdapterSpinLock);
}

// Appends received bytes to the ring (PortLock held); never more than it has room for.
static ULONG ser_RingPut(AsyncPort* p, const UCHAR* Data, ULONG Count)
{
    ULONG n = Count < ser_RingFree(p) ? Count : ser_RingFree(p);
    for (ULONG i = 0; i < n; i++) {
        p->Rx.Data[p->Rx.WriteIndex] = Data[i];
        p->Rx.WriteIndex = (p->Rx.WriteIndex + 1) % READ_BUFFER_SIZE;
    }
    p->Rx.ByteCount += n;
    return n;
}

// Raises a port event toward the client's wait; the change bits a completed wait
// consumed leave the pump's image. AdapterSpinLock held.
static void ser_RaisePortEvent(AsyncPort* p, ULONG Event)
{
    p->PortEvents |= Event;
    Link* l = p->ThisLink;
    Pump* pump = l != NULL ? l->ThisPump : NULL;
    ULONG keep = ser_HandleModemUpdate(p->DeviceObject);
    if (pump != NULL) pump->ModemStatusRegister &= (UCHAR)(keep | 0xF0);
}

void ser_ReceiveModemData(PVOID Device, Pump* ThisPump, const UCHAR* Data, ULONG Count)
{
    AsyncPort* p = ser_PortOf(Device);
    if (p == NULL || p->OpenCount == 0) return;
    KIRQL irql = KfAcquireSpinLock(&p->PortLock);
    ULONG n = ser_RingPut(p, Data, Count);
    BOOLEAN full = ser_RingFree(p) < SER_RX_SPACE_BLOCK;
    p->Rx.ReceiveAllowed = full ? 0 : 1;
    KfReleaseSpinLock(&p->PortLock, irql);
    if (n < Count) DbgPrint("ser:receive ring full, %d bytes dropped\n", (int)(Count - n));
    ThisPump->DataRequested = full ? 1 : 0;
    if (n > 0) ser_RaisePortEvent(p, SER_PE_RXCHAR);
}

void TryToSatisfyRead(AsyncPort* ThisAsyncPort)
{
    AsyncPort* p = ThisAsyncPort;
    PDEVICE_OBJECT d = p->DeviceObject;
    KIRQL irql = KfAcquireSpinLock(&p->PortLock);
    PIRP irp = p->CurrentReadIrp;
    if (irp == NULL) {
        DbgPrint("ser:Current Read IRP is NULL\n");
        KfReleaseSpinLock(&p->PortLock, irql);
        ser_AnnounceReceiveSpace(p);
        return;
    }
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    BOOLEAN cancelled = irp->Cancel;
    IoReleaseCancelSpinLock(cancelIrql);
    if (cancelled) {
        DbgPrint("ser:Read IRP Canceled\n");
        p->CurrentReadIrp = NULL;
        KfReleaseSpinLock(&p->PortLock, irql);
        irp->IoStatus.Information = 0;
        RemoveReferenceAndCompleteRequest(d, irp, STATUS_CANCELLED);
        return;
    }
    if (p->Rx.ByteCount > 0) {
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        ULONG n = length < p->Rx.ByteCount ? length : p->Rx.ByteCount;
        PUCHAR out = (PUCHAR)irp->SystemBuffer;
        ULONG first = n, second = 0;
        if (p->ReadBufferOut + n > READ_BUFFER_SIZE) {
            first = READ_BUFFER_SIZE - p->ReadBufferOut;
            second = n - first;
        }
        if (n > 0) {
            std::memcpy(out, p->Rx.Data + p->ReadBufferOut, first);
            if (second > 0) std::memcpy(out + first, p->Rx.Data, second);
            ser_MonitorRecord(p, second > 0 ? SER_MON_READ_SPLIT : SER_MON_READ, n, p->Rx.Data + p->ReadBufferOut,
                              first, p->Rx.Data, second);
            ser_TraceData("-->", p->Rx.Data + p->ReadBufferOut, first, p->Rx.Data, n);
        }
        p->Rx.ByteCount -= n;
        p->ReadBufferOut = (p->ReadBufferOut + n) % READ_BUFFER_SIZE;
        irp->IoStatus.Information = n;
        p->CurrentReadIrp = NULL;
        KfReleaseSpinLock(&p->PortLock, irql);
        RemoveReferenceAndCompleteRequest(d, irp, STATUS_SUCCESS);
        DbgPrint("ser:Read IRP handled\n");
        ser_AnnounceReceiveSpace(p);
        return;
    }
    DbgPrint("ser:No bytes to read\n");
    if (ser_ReadTimedOut(p)) {
        DbgPrint("ser:Read IRP timed out\n");
        p->CurrentReadIrp = NULL;
        p->ReadElapsed = 0;
        KfReleaseSpinLock(&p->PortLock, irql);
        irp->IoStatus.Information = 0;
        RemoveReferenceAndCompleteRequest(d, irp, STATUS_TIMEOUT);
        return;
    }
    KfReleaseSpinLock(&p->PortLock, irql);
    ser_AnnounceReceiveSpace(p);
}

void ReadIrpWorker(PDEVICE_OBJECT DeviceObject)
{
    AsyncPort* p = SER_PORT(DeviceObject);
    KIRQL irql = KfAcquireSpinLock(&p->PortLock);
    while (p->CurrentReadIrp == NULL && !IsListEmpty(&p->ReadQueue)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&p->ReadQueue), IRP, ListEntry);
        if (!ser_TakeForWork(irp)) continue;
        p->CurrentReadIrp = irp;
        p->ReadElapsed = 0;
        KfReleaseSpinLock(&p->PortLock, irql);
        p->ReadLength = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        ser_SetReadTimeouts(p);
        DbgPrint("ReadIrpWorker: calling TryToSatisfyRead\n");
        TryToSatisfyRead(p);
        irql = KfAcquireSpinLock(&p->PortLock);
    }
    KfReleaseSpinLock(&p->PortLock, irql);
}

void ReadTimerRoutine(PKDPC, PVOID Context, PVOID, PVOID)
{
    AsyncPort* p = (AsyncPort*)Context;
    ser_ReadTimerTick(p);
    TryToSatisfyRead(p);
    ReadIrpWorker(p->DeviceObject);
    ser_RebindAfterReset(p);
    if (p->OpenCount > 0 && !p->Removing) ser_StartReadTimer(p);
}

// ---- write path ----

NTSTATUS ser_MJ_WRITE(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status;
    if (ser_DispatchToNdis(DeviceObject, Irp, &status)) return status;
    status = ser_AcceptRequest(DeviceObject, Irp);
    if (status != STATUS_SUCCESS) return status;
    AsyncPort* p = SER_PORT(DeviceObject);
    DbgPrint("ser:ser_MJ_WRITE DeviceObject=%lx\n", (unsigned long)(ULONG_PTR)DeviceObject);
    DbgPrint("ser:\tGroupID %d ; Index = %d\n", (int)p->GroupID, (int)p->Index);
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    if (ser_RefuseTransfer(DeviceObject, Irp, length, &status) || ser_CompleteEmptyTransfer(DeviceObject, Irp, length))
        return status;
    return ser_Enqueue(DeviceObject, Irp, &p->WriteQueue);
}

void ser_SendBlock(AsyncPort* ThisAsyncPort, PUCHAR Data, ULONG Length, BOOLEAN CountMoved)
{
    Link* l = ThisAsyncPort->ThisLink;
    Pump* pump = l->ThisPump;
    if (pump == NULL || Length == 0) return;
    if (pump->OnLineData != 0 && NTWRK_TxBlocked(l)) {
        DbgPrint("ser:SendBlock: transmit ring full, %d bytes dropped\n", (int)Length);
        return;  // only the immediate character gets here: the write path waits instead
    }
    if (pump->OnLineData == 0) {
        Csm* csm = pump->ThisCsm;
        if (CountMoved) ThisAsyncPort->WriteBytesMoved += Length;
        if (csm != NULL) {
            CsmWriteFifoData(csm, Data, Length);
            CSMSendOutboundMsg(csm, CSM_MSG_WORD3(MSG_FIFODAT, pump->PumpNumber), (USHORT)Length, 0, 0);
        }
        pump->PumpReadyForReceiveData = FALSE;
        DbgPrint("PumpReadyForReceiveData is FALSE\n");
        return;
    }
    ULONG slots = l->NumTxPackets < MAX_TX_PACKETS ? l->NumTxPackets : MAX_TX_PACKETS;
    if (slots == 0) return;
    if (l->DriverWriteTxPacketIdx >= slots) l->DriverWriteTxPacketIdx = 0;
    TX_PACKET* e = &l->TxPackets[l->DriverWriteTxPacketIdx];
    if (CountMoved) ThisAsyncPort->WriteBytesMoved += Length;
    if (l->TxQueuedCount != 0xFFFFFFFF) l->TxQueuedCount++;
    e->Packet = NULL;
    e->Data = Data;
    e->Length = Length;
    e->Word4 = 0;
    e->InFlight = 1;
    l->DriverWriteTxPacketIdx = ser_RingNext(l->DriverWriteTxPacketIdx, slots);
    l->WriteTxPacketIdx = l->DriverWriteTxPacketIdx;
    if (!Bt847xCopyTxFrame(&l->ThisAdapter->Bt847x, e, 0)) e->InFlight = 0;
    e->Data = NULL;  // copied: the client's buffer goes back with its request
}

BOOLEAN ProcessWriteBytes(AsyncPort* ThisAsyncPort, PUCHAR Buffer, ULONG Length)
{
    AsyncPort* p = ThisAsyncPort;
    Link* l = p->ThisLink;
    Pump* pump = l->ThisPump;
    if (pump == NULL) return FALSE;  // the call was cleared: the write waits
    ULONG remaining = Length - p->WriteBytesMoved;
    if (pump->PumpFaxConnection) {
        DbgPrint("ser:ProcessWriteBytes Fax Connection\n");
        if (remaining > SER_FAX_BLOCK) remaining = SER_FAX_BLOCK;
    }
    PUCHAR from = Buffer + p->WriteBytesMoved;
    if (pump->OnLineData != 0 && NTWRK_TxBlocked(l)) return FALSE;  // no free transmit slot yet
    if (remaining > 0) {
        ser_MonitorRecord(p, SER_MON_WRITE, remaining, from, remaining, NULL, 0);
        ser_TraceData("<--", from, remaining, NULL, remaining);
        ULONG n;
        if (pump->OnLineData == 0) {
            // The pump announced the largest block it takes (0: it named no limit).
            ULONG block = pump->DataReqWord2 != 0 && pump->DataReqWord2 < FIFO_DATA_BLOCK_SIZE ? pump->DataReqWord2
                                                                                              : FIFO_DATA_BLOCK_SIZE;
            n = remaining < block ? remaining : block;
            pump->DataReqWord2 = n;
            DbgPrint("ser:ProcessWriteBytes OutboundBlockLength %d bytes (%d bytes moved)\n", (int)n,
                     (int)p->WriteBytesMoved);
        } else {
            n = remaining < l->TxPacketSize ? remaining : l->TxPacketSize;
            DbgPrint("ser:ProcessWriteBytes TxMsgLen %d bytes (%d bytes moved)\n", (int)n, (int)p->WriteBytesMoved);
        }
        ser_SendBlock(p, from, n, TRUE);
    }
    ULONG left = Length - p->WriteBytesMoved;
    if (left >= SER_CTS_DROP_LEFT) ser_DropCts(p->DeviceObject);
    else if (left <= SER_CTS_RAISE_LEFT) ser_RaiseCts(p->DeviceObject);
    if (p->WriteBytesMoved == Length) {
        ser_RaiseCts(p->DeviceObject);
        return TRUE;
    }
    return FALSE;
}

static void ser_CompleteWrite(AsyncPort* p, PIRP Irp, NTSTATUS Status, ULONG Information)
{
    Irp->IoStatus.Information = Information;
    RemoveReferenceAndCompleteRequest(p->DeviceObject, Irp, Status);
}

void ser_ContinueCurrentWrite(PDEVICE_OBJECT DeviceObject)
{
    AsyncPort* p = SER_PORT(DeviceObject);
    KIRQL irql = KfAcquireSpinLock(&p->PortLock);
    PIRP irp = p->CurrentWriteIrp;
    if (irp == NULL) {
        KfReleaseSpinLock(&p->PortLock, irql);
        return;
    }
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    BOOLEAN cancelled = irp->Cancel;
    IoReleaseCancelSpinLock(cancelIrql);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    if (cancelled || ProcessWriteBytes(p, (PUCHAR)irp->SystemBuffer, length)) {
        p->CurrentWriteIrp = NULL;
        p->WriteBytesMoved = 0;
        KfReleaseSpinLock(&p->PortLock, irql);
        ser_CompleteWrite(p, irp, cancelled ? STATUS_CANCELLED : STATUS_SUCCESS, cancelled ? 0 : length);
        return;
    }
    KfReleaseSpinLock(&p->PortLock, irql);
}

// Called by the modem side with AdapterSpinLock held when the pump can take data.
void WriteIrpWorker(PVOID Device)
{
    AsyncPort* p = ser_PortOf(Device);
    if (p == NULL || p->OpenCount == 0) return;
    Pump* pump = p->ThisLink->ThisPump;
    BOOLEAN commandMode = pump == NULL || pump->OnLineData == 0;
    BOOLEAN hadCurrent = p->CurrentWriteIrp != NULL;
    ser_ContinueCurrentWrite(p->DeviceObject);
    // In command mode one call moves at most one FIFO block: the pump announces
    // readiness again before it takes the next.
    if (commandMode && hadCurrent) return;
    KIRQL irql = KfAcquireSpinLock(&p->PortLock);
    while (!IsListEmpty(&p->WriteQueue) && p->CurrentWriteIrp == NULL) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&p->WriteQueue), IRP, ListEntry);
        if (!ser_TakeForWork(irp)) {
            DbgPrint("ser:WriteIrpWorker: IRP cancelled!!\n");
            continue;
        }
        p->CurrentWriteIrp = irp;
        p->WriteBytesMoved = 0;
        DbgPrint("ser:WriteIrpWorker: Before ProcessWriteBytes\n");
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        BOOLEAN moved = length == 0 || p->ThisLink->ThisPump == NULL
                            ? length == 0
                            : ProcessWriteBytes(p, (PUCHAR)irp->SystemBuffer, length);
        if (moved) {
            DbgPrint("ser:WriteIrpWorker: Managed to copy all bytes\n");
            p->CurrentWriteIrp = NULL;
            p->WriteBytesMoved = 0;
            KfReleaseSpinLock(&p->PortLock, irql);
            ser_CompleteWrite(p, irp, STATUS_SUCCESS, length);
            irql = KfAcquireSpinLock(&p->PortLock);
        }
        if (commandMode && length > 0) break;  // one block per readiness of the pump
        pump = p->ThisLink->ThisPump;
        if (pump == NULL || !(pump->ModemStatus & MODEM_STATUS_CTS)) {
            DbgPrint("ser:WriteIrpWorker: CTS == 0\n");
            break;
        }
    }
    KfReleaseSpinLock(&p->PortLock, irql);
}

// ---- network-mode data backgrounds (the modem step, AdapterSpinLock held) ----

static AsyncPort* ser_NtwrkPort(Link* ThisLink, const char* Who)
{
    if (ThisLink == NULL) {
        DbgPrint("%s: ThisLink=NULL !", Who);
        return NULL;
    }
    if (ThisLink->ThisPump == NULL) {
        DbgPrint("%s: ThisLink->ThisPump=NULL !", Who);
        return NULL;
    }
    if (ThisLink->ThisAsyncPort == NULL) {
        DbgPrint("%s: ThisLink->ThisAsyncPort=NULL !", Who);
        return NULL;
    }
    AsyncPort* p = ser_PortOf(ThisLink->ThisAsyncPort);
    if (p == NULL) {
        DbgPrint("%s: ThisLink->ThisAsyncPort->DeviceExtension=NULL !", Who);
        return NULL;
    }
    if (ThisLink->ChannelState == CHANNEL_STATE_IDLE) {
        // Between calls: the next call starts its receive flow control afresh.
        p->RTSOnSent = 0;
        p->RTSOffSent = 0;
        return NULL;
    }
    return p;
}

// The frame bytes of receive entry Index in the group's receive buffer area.
static PUCHAR ser_NtwrkRxFrame(Link* l, ULONG Index)
{
    Adapter* a = l->ThisAdapter;
    if (a->SharedMem.RxBuffers.Virtual == NULL || l->RxRingChannel >= BT847X_CHANNELS) return NULL;
    return a->SharedMem.RxBuffers.Virtual + l->GroupID * SHARED_RX_BUF_SIZE +
           l->RxRingChannel * BT847X_RX_BUF_CH_BYTES + Index * l->RxPacketSize;
}

static ULONG ser_DescrStatus(const RX_PACKET* e)
{
    return e->Descriptor != NULL ? ((const BT847X_DESCR*)e->Descriptor)->Status : 0;
}

static void ser_NtwrkFlowControl(AsyncPort* p, Link* l, ULONG FullBuffers)
{
    Pump* pump = l->ThisPump;
    ULONG threshold;
    if (l->RxMsgPerCh == 8) threshold = 4;
    else if (l->RxMsgPerCh == 32) threshold = 28;
    else return;
    if (FullBuffers > threshold && p->RTSOffSent != 1) {
        pump->DteSignals &= (USHORT)~DTE_SIGNAL_RTS;
        pump->DteSignalsChanged = 1;
        p->RTSOnSent = 0;
        p->RTSOffSent = 1;
    } else if (FullBuffers == 0 && p->RTSOnSent != 1) {
        pump->DteSignals |= DTE_SIGNAL_RTS;
        pump->DteSignalsChanged = 1;
        p->RTSOnSent = 1;
        p->RTSOffSent = 0;
    }
}

void NTWRK_RxBackGround(Link* ThisLink)
{
    AsyncPort* p = ser_NtwrkPort(ThisLink, "NTWRK_RxBackGround");
    if (p == NULL) return;
    Link* l = ThisLink;
    ULONG count = l->RxMsgPerCh < MAX_RX_PACKETS ? l->RxMsgPerCh : MAX_RX_PACKETS;
    if (count == 0 || l->ReadRxPacketIdx >= count) return;
    ULONG full = 0;
    for (ULONG n = 0, i = l->ReadRxPacketIdx; n < count; n++, i = ser_RingNext(i, count))
        if (ser_DescrStatus(&l->RxPackets[i]) & BT847X_DESCR_OWNER) full++;
    ser_NtwrkFlowControl(p, l, full);

    for (ULONG n = 0; n < count; n++) {
        RX_PACKET* e = &l->RxPackets[l->ReadRxPacketIdx];
        ULONG status = ser_DescrStatus(e);
        if (!(status & BT847X_DESCR_OWNER)) {
            DbgPrint("Rx buffer %d, Oops, we are not the owner", (int)l->ReadRxPacketIdx);
            break;
        }
        ULONG code = BT847X_DESCR_STATUS_CODE(status);
        ULONG length = status & BT847X_DESCR_LEN_MASK;
        // Never read past the channel buffer; a frame the read ring can never hold
        // whole would block the receive ring for good: both are dropped as too long.
        if (code == IRQERROR_NONE && (length > l->RxPacketSize || length > READ_BUFFER_SIZE)) code = IRQERROR_LNG;
        PUCHAR frame = code == IRQERROR_NONE ? ser_NtwrkRxFrame(l, e->Index) : NULL;
        if (code == IRQERROR_NONE) {
            KIRQL irql = KfAcquireSpinLock(&p->PortLock);
            if (ser_RingFree(p) < length) {
                ULONG held = p->Rx.ByteCount;
                KfReleaseSpinLock(&p->PortLock, irql);
                DbgPrint("No Space in the Read buffer");
                DbgPrint("READ_BUFFER_SIZE: %d BytesInReadBuffer %ld ThisMsg->Descr.RxBuffStat.DLEN %ld\n",
                         READ_BUFFER_SIZE, (long)held, (long)length);
                break;
            }
            if (frame != NULL) ser_RingPut(p, frame, length);
            KfReleaseSpinLock(&p->PortLock, irql);
        }
        LinkCountRxStatus(l, code);
        if (code == IRQERROR_NONE) {
            if (status & BT847X_DESCR_EOM) l->Stats.RxFramesBit29++;
            e->Data = frame;
            e->Length = length;
            if (l->Stats.RxByteCount != 0xFFFFFFFF) l->Stats.RxByteCount += length;
            if (l->Stats.RxFramesDelivered != 0xFFFFFFFF) l->Stats.RxFramesDelivered++;
            ser_RaisePortEvent(p, SER_PE_RXCHAR);
        }
        Bt847xRecycleRxDescr(e->Descriptor, l->RxPacketSize);
        l->ReadRxPacketIdx = ser_RingNext(l->ReadRxPacketIdx, count);
    }
}

void NTWRK_TxBackGround(Link* ThisLink)
{
    AsyncPort* p = ser_NtwrkPort(ThisLink, "NTWRK_TxBackGround");
    if (p == NULL) return;
    Link* l = ThisLink;
    ULONG slots = l->NumTxPackets < MAX_TX_PACKETS ? l->NumTxPackets : MAX_TX_PACKETS;
    if (slots == 0 || l->ReadTxPacketIdx >= slots) return;
    for (ULONG n = 0; n < slots; n++) {
        TX_PACKET* e = &l->TxPackets[l->ReadTxPacketIdx];
        if (e->Descriptor == NULL || (((BT847X_DESCR*)e->Descriptor)->Status & BT847X_DESCR_OWNER) || !e->InFlight)
            break;
        e->InFlight = 0;
        if (l->Stats.NumSendCompleteInd != 0xFFFFFFFF) l->Stats.NumSendCompleteInd++;
        if (l->Stats.TxByteCount != 0xFFFFFFFF) l->Stats.TxByteCount += e->Length;
        if (l->TxCompletedCount != l->TxQueuedCount) l->TxCompletedCount++;
        l->ReadTxPacketIdx = ser_RingNext(l->ReadTxPacketIdx, slots);
        if (l->ReadTxPacketIdx == l->DriverWriteTxPacketIdx) ser_RaisePortEvent(p, SER_PE_TXEMPTY);
    }
}

BOOLEAN NTWRK_TxBlocked(Link* ThisLink)
{
    if (ThisLink == NULL) return TRUE;
    ULONG slots = ThisLink->NumTxPackets < MAX_TX_PACKETS ? ThisLink->NumTxPackets : MAX_TX_PACKETS;
    if (slots == 0 || ThisLink->DriverWriteTxPacketIdx >= slots) return TRUE;
    if (ThisLink->TxQueuedCount - ThisLink->TxCompletedCount >= slots) return TRUE;
    TX_PACKET* e = &ThisLink->TxPackets[ThisLink->DriverWriteTxPacketIdx];
    if (e->InFlight) return TRUE;
    return e->Descriptor != NULL && (((BT847X_DESCR*)e->Descriptor)->Status & BT847X_DESCR_OWNER) != 0;
}
