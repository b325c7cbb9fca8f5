// The I/O manager and kernel services of io.h on the host: names, devices, requests,
// cancellation, timers and DPCs as host events, pool and device-map registry writes.
// All state belongs to the current host and is dropped when it is torn down.
#include "platform/nt/io.h"

#include <cstring>
#include <map>
#include <string>

#include "platform/host/host.h"
#include "platform/ndis/ndis_host.h"

using plat::Host;

namespace {

struct IoState {
    Host* host = nullptr;
    std::map<std::string, PDEVICE_OBJECT> devices;  // "\Device\..." -> device
    std::map<std::string, std::string> links;       // "\DosDevices\..." -> "\Device\..."
    std::map<PDEVICE_OBJECT, uint8_t*> alive;       // device -> its allocation
    std::map<void*, size_t> pool;
    KSPIN_LOCK cancel_lock{};
};

IoState g_io;

void drop_state()
{
    for (auto& entry : g_io.alive) delete[] entry.second;
    for (auto& entry : g_io.pool) delete[] static_cast<uint8_t*>(entry.first);
    g_io.alive.clear();
    g_io.pool.clear();
    g_io.devices.clear();
    g_io.links.clear();
    g_io.host = nullptr;
}

IoState& io()
{
    Host& h = Host::current();
    if (g_io.host != &h) {
        drop_state();
        g_io.host = &h;
        KeInitializeSpinLock(&g_io.cancel_lock);
        h.on_teardown([] { drop_state(); });
    }
    return g_io;
}

std::string to_text(const UNICODE_STRING* s)
{
    std::string out;
    if (s == nullptr || s->Buffer == nullptr) return out;
    for (USHORT i = 0; i < s->Length / 2; i++) out.push_back(static_cast<char>(s->Buffer[i]));
    return out;
}

std::string to_text(PCWSTR s)
{
    std::string out;
    while (s != nullptr && *s != 0) out.push_back(static_cast<char>(*s++));
    return out;
}

}  // namespace

// ---- lists ----

void InitializeListHead(PLIST_ENTRY h) { h->Flink = h->Blink = h; }
BOOLEAN IsListEmpty(const LIST_ENTRY* h) { return h->Flink == h; }

void InsertTailList(PLIST_ENTRY h, PLIST_ENTRY e)
{
    e->Flink = h;
    e->Blink = h->Blink;
    h->Blink->Flink = e;
    h->Blink = e;
}

void RemoveEntryList(PLIST_ENTRY e)
{
    e->Blink->Flink = e->Flink;
    e->Flink->Blink = e->Blink;
    e->Flink = e->Blink = e;
}

PLIST_ENTRY RemoveHeadList(PLIST_ENTRY h)
{
    PLIST_ENTRY e = h->Flink;
    RemoveEntryList(e);
    return e;
}

PLIST_ENTRY RemoveTailList(PLIST_ENTRY h)
{
    PLIST_ENTRY e = h->Blink;
    RemoveEntryList(e);
    return e;
}

// ---- requests ----

void IoMarkIrpPending(PIRP Irp) { Irp->PendingReturned = TRUE; }

void IoCompleteRequest(PIRP Irp, CHAR PriorityBoost)
{
    Host& h = Host::current();
    if (Irp->Completed) {
        h.violation("a request completed twice");
        return;
    }
    if (Irp->CancelRoutine != nullptr) h.violation("a request completed with its cancel routine set");
    if (Irp->IoStatus.Status == STATUS_PENDING) h.violation("a request completed with STATUS_PENDING");
    Irp->Completed = TRUE;
    Irp->PriorityBoost = PriorityBoost;
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
{
    PDRIVER_CANCEL old = Irp->CancelRoutine;
    Irp->CancelRoutine = CancelRoutine;
    return old;
}

void IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(&io().cancel_lock); }
void IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&io().cancel_lock, Irql); }

// ---- devices and names ----

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN, PDEVICE_OBJECT* DeviceObject)
{
    IoState& s = io();
    *DeviceObject = nullptr;
    if (s.host->irql() != plat::kPassiveLevel) s.host->violation("IoCreateDevice above passive level");
    std::string name = to_text(DeviceName);
    if (!name.empty() && s.devices.count(name)) return STATUS_OBJECT_NAME_COLLISION;
    size_t size = sizeof(DEVICE_OBJECT) + DeviceExtensionSize;
    auto* block = new uint8_t[size];
    std::memset(block, 0, size);
    auto* d = reinterpret_cast<PDEVICE_OBJECT>(block);
    d->DriverObject = DriverObject;
    d->DeviceType = DeviceType;
    d->Characteristics = DeviceCharacteristics;
    d->Flags = DO_DEVICE_INITIALIZING;
    d->DeviceExtension = DeviceExtensionSize ? block + sizeof(DEVICE_OBJECT) : nullptr;
    d->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = d;
    s.alive[d] = block;
    if (!name.empty()) s.devices[name] = d;
    *DeviceObject = d;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT d)
{
    IoState& s = io();
    auto it = s.alive.find(d);
    if (it == s.alive.end()) {
        s.host->violation("IoDeleteDevice of a device that does not exist");
        return;
    }
    for (PDEVICE_OBJECT* p = &d->DriverObject->DeviceObject; *p != nullptr; p = &(*p)->NextDevice)
        if (*p == d) {
            *p = d->NextDevice;
            break;
        }
    for (auto n = s.devices.begin(); n != s.devices.end();)
        n = n->second == d ? s.devices.erase(n) : std::next(n);
    delete[] it->second;
    s.alive.erase(it);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    IoState& s = io();
    if (s.host->irql() != plat::kPassiveLevel) s.host->violation("IoCreateSymbolicLink above passive level");
    std::string link = to_text(SymbolicLinkName);
    if (s.links.count(link)) return STATUS_OBJECT_NAME_COLLISION;
    s.links[link] = to_text(DeviceName);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    return io().links.erase(to_text(SymbolicLinkName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

PDEVICE_OBJECT plat_nt_find_device(const char* Name)
{
    IoState& s = io();
    std::string name = Name;
    auto l = s.links.find(name);
    if (l != s.links.end()) name = l->second;
    auto d = s.devices.find(name);
    return d == s.devices.end() ? nullptr : d->second;
}

size_t plat_nt_devices() { return io().alive.size(); }

// ---- interlocked, events ----

LONG InterlockedIncrement(PLONG a) { return ++*a; }
LONG InterlockedDecrement(PLONG a) { return --*a; }

void KeInitializeEvent(PKEVENT e, EVENT_TYPE, BOOLEAN state) { e->Signalled = state ? 1 : 0; }
LONG KeSetEvent(PKEVENT e, LONG, BOOLEAN)
{
    LONG old = e->Signalled;
    e->Signalled = 1;
    return old;
}
LONG KeReadStateEvent(PKEVENT e) { return e->Signalled; }

NTSTATUS KeWaitForSingleObject(PVOID Object, ULONG, ULONG, BOOLEAN, PLARGE_INTEGER Timeout)
{
    Host& h = *io().host;
    auto* e = static_cast<PKEVENT>(Object);
    if (h.irql() != plat::kPassiveLevel) {
        h.violation("KeWaitForSingleObject above passive level");
        return STATUS_TIMEOUT;
    }
    plat::VTime end = Timeout == nullptr ? UINT64_MAX : h.now() + static_cast<plat::VTime>(-Timeout->QuadPart) / 10;
    while (!e->Signalled) {
        plat::VTime next = h.sched.next_time();
        if (next == UINT64_MAX) {
            if (Timeout == nullptr) h.violation("a wait for an event that nothing can signal");
            return STATUS_TIMEOUT;
        }
        if (next > end) {
            h.run_until(end);
            return STATUS_TIMEOUT;
        }
        h.sched.run_next();
    }
    return STATUS_SUCCESS;
}

// ---- DPCs and timers ----

namespace {

void run_dpc(PKDPC dpc, PVOID a1, PVOID a2)
{
    Host& h = Host::current();
    dpc->QueuedEvent = 0;
    uint8_t old = h.raise_irql(plat::kDispatchLevel);
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, a1, a2);
    h.lower_irql(old);
}

}  // namespace

void KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE Routine, PVOID Context)
{
    Dpc->DeferredRoutine = Routine;
    Dpc->DeferredContext = Context;
    Dpc->QueuedEvent = 0;
}

BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID a1, PVOID a2)
{
    if (Dpc->QueuedEvent != 0) return FALSE;
    Dpc->QueuedEvent = io().host->sched.after(0, [Dpc, a1, a2] { run_dpc(Dpc, a1, a2); });
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PKDPC Dpc)
{
    if (Dpc->QueuedEvent == 0) return FALSE;
    io().host->sched.cancel(Dpc->QueuedEvent);
    Dpc->QueuedEvent = 0;
    return TRUE;
}

void KeInitializeTimer(PKTIMER Timer)
{
    Timer->Event = 0;
    Timer->Dpc = nullptr;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    IoState& s = io();
    BOOLEAN was = KeCancelTimer(Timer);
    if (DueTime.QuadPart > 0) {
        s.host->violation("KeSetTimer with an absolute time");
        return was;
    }
    plat::VTime us = static_cast<plat::VTime>(-DueTime.QuadPart) / 10;
    Timer->Dpc = Dpc;
    Timer->Event = s.host->sched.after(us, [Timer] {
        Timer->Event = 0;
        if (Timer->Dpc != nullptr) run_dpc(Timer->Dpc, nullptr, nullptr);
    });
    return was;
}

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    if (Timer->Event == 0) return FALSE;
    io().host->sched.cancel(Timer->Event);
    Timer->Event = 0;
    return TRUE;
}

// ---- pool and work items ----

PVOID ExAllocatePoolWithTag(POOL_TYPE, size_t n, ULONG)
{
    IoState& s = io();
    if (n == 0 || s.host->faults.should_fail(plat::FaultInjector::Alloc)) return nullptr;
    auto* p = new uint8_t[n];
    std::memset(p, 0xA5, n);
    s.pool[p] = n;
    return p;
}

void ExFreePool(PVOID p)
{
    IoState& s = io();
    if (!s.pool.erase(p)) {
        s.host->violation("ExFreePool of memory that was not allocated");
        return;
    }
    delete[] static_cast<uint8_t*>(p);
}

void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Parameter)
{
    Item->WorkerRoutine = Routine;
    Item->Parameter = Parameter;
}

void ExQueueWorkItem(PWORK_QUEUE_ITEM Item, WORK_QUEUE_TYPE)
{
    PWORKER_THREAD_ROUTINE routine = Item->WorkerRoutine;
    PVOID parameter = Item->Parameter;
    io().host->sched.after(0, [routine, parameter] {
        Host& h = Host::current();
        if (h.irql() != plat::kPassiveLevel) h.violation("work item run above passive level");
        routine(parameter);
    });
}

// ---- counted strings ----

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING d, PCWSTR s)
{
    size_t n = 0;
    while (s != nullptr && s[n] != 0) n++;
    if (d->Length + n * 2 > d->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(reinterpret_cast<uint8_t*>(d->Buffer) + d->Length, s, n * 2);
    d->Length = static_cast<USHORT>(d->Length + n * 2);
    if (d->Length + 2 <= d->MaximumLength) d->Buffer[d->Length / 2] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING d, PUNICODE_STRING s)
{
    if (d->Length + s->Length > d->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(reinterpret_cast<uint8_t*>(d->Buffer) + d->Length, s->Buffer, s->Length);
    d->Length = static_cast<USHORT>(d->Length + s->Length);
    if (d->Length + 2 <= d->MaximumLength) d->Buffer[d->Length / 2] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING s)
{
    if (Base != 10) return STATUS_INVALID_PARAMETER;
    char digits[16];
    int n = std::snprintf(digits, sizeof digits, "%u", Value);
    if (n * 2 + 2 > s->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    for (int i = 0; i < n; i++) s->Buffer[i] = static_cast<WCHAR>(digits[i]);
    s->Buffer[n] = 0;
    s->Length = static_cast<USHORT>(n * 2);
    return STATUS_SUCCESS;
}

// ---- registry ----

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength)
{
    IoState& s = io();
    if (s.host->irql() != plat::kPassiveLevel) s.host->violation("RtlWriteRegistryValue above passive level");
    if (RelativeTo != RTL_REGISTRY_DEVICEMAP || ValueType != REG_SZ || ValueData == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::string key = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\" + to_text(Path);
    std::string text;
    auto* w = static_cast<const WCHAR*>(ValueData);
    for (ULONG i = 0; i < ValueLength / 2 && w[i] != 0; i++) text.push_back(static_cast<char>(w[i]));
    s.host->registry.set_sz(key, to_text(ValueName), text);
    return STATUS_SUCCESS;
}

BOOLEAN IoCancelIrp(PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    plat::ndis::NdisState::DriverEntryScope driver(Host::current().ndis());
    routine(Irp->Stack.DeviceObject, Irp);
    return TRUE;
}
