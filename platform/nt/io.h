// The I/O manager and kernel services a driver's own devices need, as our platform
// provides them: device objects in the driver object's list, symbolic links, IRPs with
// one stack location, completion and cancellation under the cancel spin lock, kernel
// timers and DPCs on the host's virtual clock, notification events, paged pool, work
// items that run at passive level, and registry writes under the device map.
#pragma once

#include "platform/ndis/ndis.h"  // LIST_ENTRY; it brings ntddk.h

#define STATUS_PENDING ((NTSTATUS)0x00000103)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_ALREADY_COMMITTED ((NTSTATUS)0xC0000021)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011)
#define NT_SUCCESS(s) ((NTSTATUS)(s) >= 0)

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_CLEANUP 0x12

#define FILE_DEVICE_SERIAL_PORT 0x1B
#define DO_BUFFERED_IO 0x00000004
#define DO_DEVICE_INITIALIZING 0x00000080
#define IO_SERIAL_INCREMENT 2
#define IO_NO_INCREMENT 0

void InitializeListHead(PLIST_ENTRY Head);
BOOLEAN IsListEmpty(const LIST_ENTRY* Head);
void InsertTailList(PLIST_ENTRY Head, PLIST_ENTRY Entry);
PLIST_ENTRY RemoveHeadList(PLIST_ENTRY Head);
PLIST_ENTRY RemoveTailList(PLIST_ENTRY Head);
void RemoveEntryList(PLIST_ENTRY Entry);

#define CONTAINING_RECORD(address, type, field) \
    ((type*)((char*)(address) - offsetof(type, field)))

typedef struct _DEVICE_OBJECT {
    PDRIVER_OBJECT DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    ULONG DeviceType;
    ULONG Flags;
    ULONG Characteristics;
    PVOID DeviceExtension;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    union {
        struct { ULONG Length; } Read;
        struct { ULONG Length; } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
        } DeviceIoControl;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID Context;  // the driver's own word while it owns the request
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

struct _IRP;
typedef void (*PDRIVER_CANCEL)(PDEVICE_OBJECT DeviceObject, struct _IRP* Irp);

typedef struct _IRP {
    IO_STATUS_BLOCK IoStatus;
    PVOID SystemBuffer;  // buffered I/O: the one buffer of input and output
    BOOLEAN Cancel;
    BOOLEAN PendingReturned;
    BOOLEAN Completed;
    KIRQL CancelIrql;
    PDRIVER_CANCEL CancelRoutine;
    LIST_ENTRY ListEntry;  // for the driver that owns the request
    IO_STACK_LOCATION Stack;
    CHAR PriorityBoost;
    PVOID UserBuffer;  // direct I/O: the caller's output buffer, mapped (else null)
} IRP, *PIRP;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return &Irp->Stack; }
void IoMarkIrpPending(PIRP Irp);
void IoCompleteRequest(PIRP Irp, CHAR PriorityBoost);
PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
void IoAcquireCancelSpinLock(PKIRQL Irql);
void IoReleaseCancelSpinLock(KIRQL Irql);

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);

// Interlocked counters (the host runs one thing at a time).
LONG InterlockedIncrement(PLONG Addend);
LONG InterlockedDecrement(PLONG Addend);

// Notification events.
typedef struct _KEVENT {
    LONG Signalled;
} KEVENT, *PKEVENT;
enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PKEVENT Event, LONG Increment, BOOLEAN Wait);
LONG KeReadStateEvent(PKEVENT Event);
typedef LARGE_INTEGER* PLARGE_INTEGER;

// Waits at passive level for an event: the rest of the system (the host's clock) runs
// meanwhile. Timeout NULL waits for ever; else a negative relative time in 100 ns units.
// STATUS_SUCCESS when signalled, STATUS_TIMEOUT otherwise (also when nothing is left
// that could ever signal it).
NTSTATUS KeWaitForSingleObject(PVOID Object, ULONG WaitReason, ULONG WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout);
#define Executive 0
#define KernelMode 0

// Deferred procedure calls and kernel timers, on the host's clock.
struct _KDPC;
typedef void (*PKDEFERRED_ROUTINE)(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                   PVOID SystemArgument2);
typedef struct _KDPC {
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    uint64_t QueuedEvent;  // host event while queued, else 0
} KDPC, *PKDPC;
typedef struct _KTIMER {
    uint64_t Event;  // host event while set, else 0
    PKDPC Dpc;
} KTIMER, *PKTIMER;
void KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(PKDPC Dpc);
void KeInitializeTimer(PKTIMER Timer);
// DueTime negative: relative, in 100 ns units; positive absolute times are not served.
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);

// Pool.
enum POOL_TYPE { NonPagedPool, PagedPool };
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, size_t NumberOfBytes, ULONG Tag);
void ExFreePool(PVOID P);

// Work items: run as the host's next event, at passive level.
typedef void (*PWORKER_THREAD_ROUTINE)(PVOID Parameter);
typedef struct _WORK_QUEUE_ITEM {
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;
enum WORK_QUEUE_TYPE { CriticalWorkQueue, DelayedWorkQueue };
void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter);
void ExQueueWorkItem(PWORK_QUEUE_ITEM Item, WORK_QUEUE_TYPE QueueType);

// Counted strings.
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PUNICODE_STRING Source);
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);

// Registry writes relative to a well-known key.
#define RTL_REGISTRY_DEVICEMAP 4
#define REG_SZ 1
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength);

// Test and client view of the I/O manager's names (plain C++).
PDEVICE_OBJECT plat_nt_find_device(const char* Name);  // "\Device\COM5" or "\DosDevices\COM5"
size_t plat_nt_devices();                                // device objects alive

// Cancels a request: sets its cancel flag and, when it has a cancel routine, takes the
// routine away and runs it with the cancel spin lock held (the routine releases it).
BOOLEAN IoCancelIrp(PIRP Irp);
