// Serial port devices and the dispatch hook: the COM numbering of an adapter's
// asynchronous ports, their SERIALCOMM device-map values, the creation of their device
// objects and DOS names (at passive level, from a work item when the bring-up step runs
// in the adapter timer), the driver-wide table of NDIS's kept entries, the plain
// handlers of the major functions ports do not serve, the per-port reference count and
// the port data monitor. The kept table and the hook state are driver-wide, written only
// at passive level during bring-up; the references are interlocked; the monitor is
// appended under PortLock (the write path also holds AdapterSpinLock first).
#include "driver/Wmp_nt40/ser_init.h"

#include <cstring>

#include "driver/Common/RSS_init.h"

// ---- driver-wide state ----

static PDRIVER_UNLOAD SerKeptUnload;
static PDRIVER_DISPATCH SerKeptMajor[SER_MAJOR_COUNT];
static BOOLEAN SerKeptFilled;
static BOOLEAN SerHookInstalled;

#define SER_MAX_PENDING_CREATIONS 8
typedef struct _SER_CREATION {
    WORK_QUEUE_ITEM Item;
    PDRIVER_OBJECT DriverObject;
    Adapter* ThisAdapter;
    BOOLEAN InUse;
} SER_CREATION;
static SER_CREATION SerCreations[SER_MAX_PENDING_CREATIONS];

void ser_ResetGlobals(void)
{
    SerKeptUnload = NULL;
    std::memset(SerKeptMajor, 0, sizeof SerKeptMajor);
    SerKeptFilled = FALSE;
    SerHookInstalled = FALSE;
    std::memset(SerCreations, 0, sizeof SerCreations);
}

AsyncPort* ser_PortOf(PVOID Device)
{
    PDEVICE_OBJECT d = (PDEVICE_OBJECT)Device;
    if (d == NULL || d->DeviceType != FILE_DEVICE_SERIAL_PORT) return NULL;
    return (AsyncPort*)d->DeviceExtension;
}

// ---- names ----

typedef struct _SER_NAME {
    UNICODE_STRING Text;
    USHORT BaseLength;  // bytes of the fixed beginning
} SER_NAME;

static BOOLEAN ser_NameAlloc(SER_NAME* Name, USHORT Bytes, PCWSTR Begin)
{
    Name->Text.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Bytes, SER_POOL_TAG);
    Name->Text.Length = 0;
    Name->Text.MaximumLength = Bytes;
    if (Name->Text.Buffer == NULL) return FALSE;
    std::memset(Name->Text.Buffer, 0, Bytes);
    RtlAppendUnicodeToString(&Name->Text, Begin);
    Name->BaseLength = Name->Text.Length;
    return TRUE;
}

static void ser_NameFree(SER_NAME* Name)
{
    if (Name->Text.Buffer != NULL) ExFreePool(Name->Text.Buffer);
    Name->Text.Buffer = NULL;
}

static void ser_NameTrim(SER_NAME* Name)
{
    Name->Text.Length = Name->BaseLength;
    Name->Text.Buffer[Name->BaseLength / 2] = 0;
}

// The number of ports configured on line Group (0 for a count beyond the line's links).
static ULONG ser_PortsOnLine(Adapter* ThisAdapter, ULONG Group)
{
    ULONG n = ThisAdapter->AsyncPorts[Group];
    return n > MAX_LINKS_PER_GROUP ? MAX_LINKS_PER_GROUP : n;
}

static ULONG ser_ConfiguredPorts(Adapter* ThisAdapter)
{
    ULONG total = 0;
    for (ULONG g = 0; g < MAX_GROUPS; g++) total += ser_PortsOnLine(ThisAdapter, g);
    return total;
}

// ---- SERIALCOMM values ----

NTSTATUS ser_WriteSerialCommValues(Adapter* ThisAdapter, BOOLEAN* NoNameBuffer)
{
    SER_NAME value = {}, data = {}, number = {};
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    ULONG n = ThisAdapter->AsyncPortNumbersStartAt;

    if (NoNameBuffer != NULL) *NoNameBuffer = FALSE;
    if (ser_ConfiguredPorts(ThisAdapter) == 0) return STATUS_INSUFFICIENT_RESOURCES;
    if (!ser_NameAlloc(&value, 64, u"Serial") || !ser_NameAlloc(&data, 64, u"COM") || !ser_NameAlloc(&number, 64, u"")) {
        ser_NameFree(&value);
        ser_NameFree(&data);
        ser_NameFree(&number);
        if (NoNameBuffer != NULL) *NoNameBuffer = TRUE;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG g = 0; g < MAX_GROUPS; g++) {
        for (ULONG i = 0; i < ser_PortsOnLine(ThisAdapter, g); i++, n++) {
            status = RtlIntegerToUnicodeString(n, 10, &number.Text);
            if (!NT_SUCCESS(status)) break;
            RtlAppendUnicodeStringToString(&value.Text, &number.Text);
            RtlAppendUnicodeStringToString(&data.Text, &number.Text);
            status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", value.Text.Buffer, REG_SZ,
                                           data.Text.Buffer, data.Text.Length + sizeof(WCHAR));
            if (!NT_SUCCESS(status))
                DbgPrint("ser:RtlWriteRegistryValue COM[%d] Failed, Status = %lx\n", (int)n, (unsigned long)status);
            ser_NameTrim(&value);
            ser_NameTrim(&data);
        }
    }
    ser_NameFree(&value);
    ser_NameFree(&data);
    ser_NameFree(&number);
    return status;
}

// ---- creation ----

static void ser_InitPort(PDEVICE_OBJECT Device, Adapter* ThisAdapter, ULONG Group, ULONG Index, ULONG ComNumber)
{
    AsyncPort* p = (AsyncPort*)Device->DeviceExtension;
    p->DeviceObject = Device;
    p->ThisAdapter = ThisAdapter;
    p->ThisLink = &ThisAdapter->NdisWanInfo[Group][Index];
    p->ThisLink->ThisAsyncPort = Device;
    p->ComNumber = ComNumber;
    p->GroupID = Group;
    p->Index = Index;
    ser_MonitorReset(&p->DataMonitor);
    p->SavedDriverUnload = SerKeptUnload;
    std::memcpy(p->SavedMajorFunction, SerKeptMajor, sizeof SerKeptMajor);
    Device->Flags |= DO_BUFFERED_IO;
    Device->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    KeInitializeSpinLock(&p->PortLock);
    p->ReferenceCount = 1;
    p->Removing = FALSE;
    p->AcceptingRequests = TRUE;
    p->OpenCount = 0;
    KeInitializeEvent(&p->RemoveEvent, NotificationEvent, FALSE);
    InitializeListHead(&p->ReadQueue);
    InitializeListHead(&p->WriteQueue);
    p->CurrentReadIrp = p->CurrentWriteIrp = p->CurrentWaitIrp = NULL;
    KeInitializeTimer(&p->ReadTimer);
    KeInitializeDpc(&p->ReadTimerDpc, ReadTimerRoutine, p);
}

static void ser_InstallHook(PDRIVER_OBJECT DriverObject)
{
    static const PDRIVER_DISPATCH handlers[SER_MAJOR_COUNT] = {
        ser_MJ_CREATE, NULL, ser_MJ_CLOSE, ser_MJ_READ, ser_MJ_WRITE, NULL, NULL, NULL, NULL, NULL, NULL,
        NULL, NULL, NULL, ser_MJ_DEVICE_CONTROL, NULL, NULL, NULL, ser_MJ_CLEANUP,
    };
    extern const PDRIVER_DISPATCH SerPlainHandlers[SER_MAJOR_COUNT];
    DriverObject->DriverUnload = ser_DriverUnload;
    for (ULONG m = 0; m < SER_MAJOR_COUNT; m++)
        DriverObject->MajorFunction[m] = handlers[m] != NULL ? handlers[m] : SerPlainHandlers[m];
    SerHookInstalled = TRUE;
}

// A port device of number ComNumber whose adapter halted (the driver was not unloaded).
static PDEVICE_OBJECT ser_FindWithdrawnPort(PDRIVER_OBJECT DriverObject, ULONG ComNumber)
{
    for (PDEVICE_OBJECT d = DriverObject->DeviceObject; d != NULL; d = d->NextDevice) {
        AsyncPort* p = ser_PortOf(d);
        if (p != NULL && p->ThisAdapter == NULL && p->ComNumber == ComNumber) return d;
    }
    return NULL;
}

static NTSTATUS ser_CreatePortDevicesAtPassive(PDRIVER_OBJECT DriverObject, Adapter* ThisAdapter)
{
    SER_NAME device = {}, dos = {}, number = {};
    NTSTATUS status = STATUS_SUCCESS;
    ULONG created = 0;
    ULONG n = ThisAdapter->AsyncPortNumbersStartAt;

    if (!SerHookInstalled && !SerKeptFilled) {
        SerKeptUnload = DriverObject->DriverUnload;
        std::memcpy(SerKeptMajor, DriverObject->MajorFunction, sizeof SerKeptMajor);
        SerKeptFilled = TRUE;
    }
    if (!ser_NameAlloc(&device, 128, u"\\Device\\COM") || !ser_NameAlloc(&dos, 128, u"\\DosDevices\\COM") ||
        !ser_NameAlloc(&number, 64, u"")) {
        ser_NameFree(&device);
        ser_NameFree(&dos);
        ser_NameFree(&number);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG g = 0; g < MAX_GROUPS; g++) {
        for (ULONG i = 0; i < ser_PortsOnLine(ThisAdapter, g); i++, n++) {
            PDEVICE_OBJECT d = ser_FindWithdrawnPort(DriverObject, n);
            status = RtlIntegerToUnicodeString(n, 10, &number.Text);
            if (!NT_SUCCESS(status)) break;
            if (d != NULL) {
                // The adapter was halted and is initialised again: the port keeps its
                // device and names and is bound to the new adapter record.
                ser_InitPort(d, ThisAdapter, g, i, n);
                created++;
                continue;
            }
            RtlAppendUnicodeStringToString(&device.Text, &number.Text);
            RtlAppendUnicodeStringToString(&dos.Text, &number.Text);
            status = IoCreateDevice(DriverObject, sizeof(AsyncPort), &device.Text, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &d);
            if (!NT_SUCCESS(status)) {
                DbgPrint("ser:IoCreateDevice COM%d Failed, Status = %lx\n", (int)n, (unsigned long)status);
            } else {
                status = IoCreateSymbolicLink(&dos.Text, &device.Text);
                if (!NT_SUCCESS(status)) {
                    DbgPrint("ser:IoCreateSymbolicLink COM[%d] Failed, Status = %lx\n", (int)n, (unsigned long)status);
                    IoDeleteDevice(d);
                } else {
                    ser_InitPort(d, ThisAdapter, g, i, n);
                    created++;
                }
            }
            ser_NameTrim(&device);
            ser_NameTrim(&dos);
        }
    }
    if (created > 0 && !SerHookInstalled) ser_InstallHook(DriverObject);
    ser_NameFree(&device);
    ser_NameFree(&dos);
    ser_NameFree(&number);
    return status;
}

static void ser_CreationWorker(PVOID Parameter)
{
    SER_CREATION* c = (SER_CREATION*)Parameter;
    if (!c->InUse) return;  // the globals were reset (a new platform)
    ser_CreatePortDevicesAtPassive(c->DriverObject, c->ThisAdapter);
    c->InUse = FALSE;
}

NTSTATUS ser_CreatePortDevices(PDRIVER_OBJECT DriverObject, Adapter* ThisAdapter)
{
    if (DriverObject == NULL || ThisAdapter == NULL) return STATUS_INVALID_PARAMETER;
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) return ser_CreatePortDevicesAtPassive(DriverObject, ThisAdapter);
    // The bring-up step runs in the adapter timer: the creation waits for a work item.
    for (ULONG k = 0; k < SER_MAX_PENDING_CREATIONS; k++) {
        SER_CREATION* c = &SerCreations[k];
        if (c->InUse) continue;
        c->InUse = TRUE;
        c->DriverObject = DriverObject;
        c->ThisAdapter = ThisAdapter;
        ExInitializeWorkItem(&c->Item, ser_CreationWorker, c);
        ExQueueWorkItem(&c->Item, DelayedWorkQueue);
        return STATUS_PENDING;
    }
    return STATUS_INSUFFICIENT_RESOURCES;
}

// ---- hook ----

AsyncPort* ser_FindMyPortDeviceExt(PDRIVER_OBJECT DriverObject)
{
    for (PDEVICE_OBJECT d = DriverObject->DeviceObject; d != NULL; d = d->NextDevice)
        if (d->DeviceType == FILE_DEVICE_SERIAL_PORT) return (AsyncPort*)d->DeviceExtension;
    return NULL;
}

// Unload: every port device goes with its DOS name (their adapters have halted and
// withdrawn them), then NDIS's own unload routine runs.
void ser_DriverUnload(PDRIVER_OBJECT DriverObject)
{
    AsyncPort* p = ser_FindMyPortDeviceExt(DriverObject);
    PDRIVER_UNLOAD kept = p != NULL ? p->SavedDriverUnload : SerKeptUnload;
    while ((p = ser_FindMyPortDeviceExt(DriverObject)) != NULL) {
        SER_NAME dos = {}, number = {};
        if (ser_NameAlloc(&dos, 128, u"\\DosDevices\\COM") && ser_NameAlloc(&number, 64, u"") &&
            NT_SUCCESS(RtlIntegerToUnicodeString(p->ComNumber, 10, &number.Text))) {
            RtlAppendUnicodeStringToString(&dos.Text, &number.Text);
            IoDeleteSymbolicLink(&dos.Text);
        }
        ser_NameFree(&dos);
        ser_NameFree(&number);
        IoDeleteDevice(p->DeviceObject);
    }
    if (kept != NULL) kept(DriverObject);
}

#define SER_WITHDRAW_WAIT_100NS (-30LL * 1000 * 1000 * 10)  // 30 s

// Halt of an adapter, once its main loop has stopped: its ports stop taking requests,
// every request they hold is cancelled, the requests already accepted are waited for,
// their read timers stop, and they forget the adapter record that halt is about to
// free. The devices and names stay for a later initialisation of the adapter. At
// passive level, no lock held.
void ser_WithdrawPorts(PDRIVER_OBJECT DriverObject, Adapter* ThisAdapter)
{
    KIRQL irql;
    for (ULONG k = 0; k < SER_MAX_PENDING_CREATIONS; k++)
        if (SerCreations[k].InUse && SerCreations[k].ThisAdapter == ThisAdapter) SerCreations[k].InUse = FALSE;
    if (DriverObject == NULL) return;
    for (PDEVICE_OBJECT d = DriverObject->DeviceObject; d != NULL; d = d->NextDevice) {
        AsyncPort* p = ser_PortOf(d);
        if (p == NULL || p->ThisAdapter != ThisAdapter) continue;
        irql = KfAcquireSpinLock(&p->PortLock);
        p->AcceptingRequests = FALSE;
        p->Removing = TRUE;
        KfReleaseSpinLock(&p->PortLock, irql);
        KeCancelTimer(&p->ReadTimer);
        KeRemoveQueueDpc(&p->ReadTimerDpc);
        ser_CompleteHeldRequests(d);
        // The creation reference goes; the count reaches 0 once every accepted request
        // (one whose cancel routine is still running, one still in its dispatch
        // routine) has returned and completed.
        RemoveReference(d);
        LARGE_INTEGER limit;
        limit.QuadPart = SER_WITHDRAW_WAIT_100NS;
        if (KeWaitForSingleObject(&p->RemoveEvent, Executive, KernelMode, FALSE, &limit) != STATUS_SUCCESS)
            DbgPrint("ser:COM%d still holds requests at halt\n", (int)p->ComNumber);
        NdisAcquireSpinLock(&ThisAdapter->AdapterSpinLock);
        irql = KfAcquireSpinLock(&p->PortLock);
        Link* l = p->ThisLink;
        if (l != NULL && l->ThisAsyncPort == d) l->ThisAsyncPort = NULL;
        p->OpenCount = 0;
        p->WriteBytesMoved = 0;
        p->ThisLink = NULL;
        p->ThisAdapter = NULL;
        KfReleaseSpinLock(&p->PortLock, irql);
        NdisReleaseSpinLock(&ThisAdapter->AdapterSpinLock);
    }
}

// Hands a request for a device that is not a port to NDIS's kept entry. FALSE: the
// device is a port and the caller serves it.
BOOLEAN ser_DispatchToNdis(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS* Status)
{
    if (DeviceObject->DeviceType == FILE_DEVICE_SERIAL_PORT) return FALSE;
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    AsyncPort* p = ser_FindMyPortDeviceExt(DeviceObject->DriverObject);
    PDRIVER_DISPATCH kept = (p != NULL && major < SER_MAJOR_COUNT) ? p->SavedMajorFunction[major] : NULL;
    if (kept != NULL) {
        *Status = kept(DeviceObject, Irp);
        return TRUE;
    }
    // No port device, or NDIS had no entry for this function: refuse it.
    if (p == NULL) DbgPrint("ser:ser_FindMyPortDeviceExt NO port device \n");
    *Status = p == NULL ? STATUS_UNSUCCESSFUL : STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Status = *Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return TRUE;
}

// ---- plain handlers ----

static NTSTATUS ser_PlainHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp, const char* Name)
{
    NTSTATUS status;
    if (ser_DispatchToNdis(DeviceObject, Irp, &status)) return status;
    AsyncPort* p = (AsyncPort*)DeviceObject->DeviceExtension;
    DbgPrint("ser:%s DeviceObject=%lx\n", Name, (unsigned long)(ULONG_PTR)DeviceObject);
    DbgPrint("ser:\tGroupID %d ; Index = %d\n", (int)p->GroupID, (int)p->Index);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

#define SER_PLAIN(name) \
    static NTSTATUS name(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return ser_PlainHandler(DeviceObject, Irp, #name); }
SER_PLAIN(ser_MJ_CREATE_NAMED_PIPE)
SER_PLAIN(ser_MJ_QUERY_INFORMATION)
SER_PLAIN(ser_MJ_SET_INFORMATION)
SER_PLAIN(ser_MJ_QUERY_EA)
SER_PLAIN(ser_MJ_SET_EA)
SER_PLAIN(ser_MJ_FLUSH_BUFFERS)
SER_PLAIN(ser_MJ_QUERY_VOLUME_INFORMATION)
SER_PLAIN(ser_MJ_SET_VOLUME_INFORMATION)
SER_PLAIN(ser_MJ_DIRECTORY_CONTROL)
SER_PLAIN(ser_MJ_FILE_SYSTEM_CONTROL)
SER_PLAIN(ser_MJ_INTERNAL_DEVICE_CONTROL)
SER_PLAIN(ser_MJ_SHUTDOWN)
SER_PLAIN(ser_MJ_LOCK_CONTROL)
SER_PLAIN(ser_MJ_CREATE_MAILSLOT)
SER_PLAIN(ser_MJ_QUERY_SECURITY)
SER_PLAIN(ser_MJ_SET_SECURITY)
SER_PLAIN(ser_MJ_QUERY_POWER)
SER_PLAIN(ser_MJ_SET_POWER)
SER_PLAIN(ser_MJ_DEVICE_CHANGE)
SER_PLAIN(ser_MJ_QUERY_QUOTA)
SER_PLAIN(ser_MJ_SET_QUOTA)
SER_PLAIN(ser_MJ_PNP_POWER)

extern const PDRIVER_DISPATCH SerPlainHandlers[SER_MAJOR_COUNT];
const PDRIVER_DISPATCH SerPlainHandlers[SER_MAJOR_COUNT] = {
    NULL, ser_MJ_CREATE_NAMED_PIPE, NULL, NULL, NULL,
    ser_MJ_QUERY_INFORMATION, ser_MJ_SET_INFORMATION, ser_MJ_QUERY_EA, ser_MJ_SET_EA, ser_MJ_FLUSH_BUFFERS,
    ser_MJ_QUERY_VOLUME_INFORMATION, ser_MJ_SET_VOLUME_INFORMATION, ser_MJ_DIRECTORY_CONTROL,
    ser_MJ_FILE_SYSTEM_CONTROL, NULL, ser_MJ_INTERNAL_DEVICE_CONTROL, ser_MJ_SHUTDOWN, ser_MJ_LOCK_CONTROL,
    NULL, ser_MJ_CREATE_MAILSLOT, ser_MJ_QUERY_SECURITY, ser_MJ_SET_SECURITY, ser_MJ_QUERY_POWER,
    ser_MJ_SET_POWER, ser_MJ_DEVICE_CHANGE, ser_MJ_QUERY_QUOTA, ser_MJ_SET_QUOTA, ser_MJ_PNP_POWER,
};

// ---- references ----

NTSTATUS ser_AcceptRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AsyncPort* p = (AsyncPort*)DeviceObject->DeviceExtension;
    InterlockedIncrement(&p->ReferenceCount);
    if (p->Removing || !p->AcceptingRequests) {
        RemoveReferenceAndCompleteRequest(DeviceObject, Irp, STATUS_UNSUCCESSFUL);
        DbgPrint("ser:driver not accepting requests\n");
        return STATUS_UNSUCCESSFUL;
    }
    InterlockedIncrement(&p->ReferenceCount);
    return STATUS_SUCCESS;
}

void RemoveReferenceAndCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status)
{
    AsyncPort* p = (AsyncPort*)DeviceObject->DeviceExtension;
    if (InterlockedDecrement(&p->ReferenceCount) == 0) {
        if (!p->Removing) DbgPrint("ser:assertion failed: DeviceExtension->Removing\n");
        DbgPrint("ser:RemoveReferenceAndCompleteRequest: setting event\n");
        KeSetEvent(&p->RemoveEvent, 0, FALSE);
    }
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
}

void RemoveReference(PDEVICE_OBJECT DeviceObject)
{
    AsyncPort* p = (AsyncPort*)DeviceObject->DeviceExtension;
    if (InterlockedDecrement(&p->ReferenceCount) == 0) {
        if (!p->Removing) DbgPrint("ser:assertion failed: DeviceExtension->Removing\n");
        DbgPrint("ser:RemoveReference: setting event\n");
        KeSetEvent(&p->RemoveEvent, 0, FALSE);
    }
}

// ---- port data monitor ----

void ser_MonitorReset(SER_DATA_MONITOR* Monitor)
{
    Monitor->WriteIndex = 0;
    Monitor->WrapCount = 0;
}

void ser_MonitorPutByte(AsyncPort* ThisAsyncPort, UCHAR Byte)
{
    SER_DATA_MONITOR* m = &ThisAsyncPort->DataMonitor;
    m->Ring[m->WriteIndex % SER_MONITOR_RING_SIZE] = Byte;
    if (++m->WriteIndex >= SER_MONITOR_RING_SIZE) {
        m->WriteIndex = 0;
        m->WrapCount++;
    }
}

void ser_MonitorMark(AsyncPort* ThisAsyncPort, UCHAR Marker) { ser_MonitorPutByte(ThisAsyncPort, Marker); }

static void ser_MonitorPutLong(AsyncPort* ThisAsyncPort, UCHAR Tag, ULONG Value)
{
    ser_MonitorPutByte(ThisAsyncPort, Tag);
    ser_MonitorPutByte(ThisAsyncPort, 4);
    for (int i = 0; i < 4; i++) ser_MonitorPutByte(ThisAsyncPort, (UCHAR)(Value >> (8 * i)));
}

void ser_MonitorPutTick(AsyncPort* ThisAsyncPort) { ser_MonitorPutLong(ThisAsyncPort, 0xF5, TraceTick()); }
void ser_MonitorPutCount(AsyncPort* ThisAsyncPort, ULONG Value) { ser_MonitorPutLong(ThisAsyncPort, 0xF3, Value); }

void ser_MonitorPutBytes(AsyncPort* ThisAsyncPort, const UCHAR* Bytes, ULONG Length)
{
    if (Length > 255) Length = 255;
    ser_MonitorPutByte(ThisAsyncPort, 0xF4);
    ser_MonitorPutByte(ThisAsyncPort, (UCHAR)Length);
    for (ULONG i = 0; i < Length; i++) ser_MonitorPutByte(ThisAsyncPort, Bytes[i]);
}

void ser_MonitorRecord(AsyncPort* ThisAsyncPort, UCHAR Marker, ULONG Count, const UCHAR* First, ULONG FirstLength,
                       const UCHAR* Second, ULONG SecondLength)
{
    ULONG k = FirstLength < SER_MONITOR_MAX_DATA ? FirstLength : SER_MONITOR_MAX_DATA;
    ser_MonitorMark(ThisAsyncPort, Marker);
    ser_MonitorPutTick(ThisAsyncPort);
    ser_MonitorPutCount(ThisAsyncPort, Count);
    ser_MonitorPutBytes(ThisAsyncPort, First, k);
    if (Marker == SER_MON_READ_SPLIT && k < SER_MONITOR_MAX_DATA && Second != NULL) {
        ULONG j = SecondLength < SER_MONITOR_MAX_DATA - k ? SecondLength : SER_MONITOR_MAX_DATA - k;
        ser_MonitorPutBytes(ThisAsyncPort, Second, j);
    }
}
