// The NDIS library calls of the driver, served by the host.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/host/host.h"
#include "platform/ndis/ndis_host.h"

using plat::Host;
using plat::kDeviceLevel;
using plat::kDispatchLevel;
using plat::kPassiveLevel;
using plat::ndis::NdisState;
using Fault = plat::FaultInjector;

namespace {

constexpr ULONG kLockMagic = 0x4C4F434B;
constexpr ULONG kTimerMagic = 0x544D5231;
constexpr ULONG kInterruptMagic = 0x494E5452;

Host& host() { return Host::current(); }
NdisState& ndis() { return Host::current().ndis(); }

int g_locks_held = 0;
std::vector<PKSPIN_LOCK> g_second_processor_locks;  // taken by the second processor's ISR

// The second processor spins on a lock this one holds: its ISR is given up.
void second_processor_waits_for(PKSPIN_LOCK l)
{
    if (l->Held && ndis().on_second_processor()) throw NdisState::SecondProcessorSpins{};
}

void lock_taken(PKSPIN_LOCK l)
{
    l->Held = 1;
    ++g_locks_held;
    if (ndis().on_second_processor()) g_second_processor_locks.push_back(l);
}

void lock_given_back(PKSPIN_LOCK l)
{
    l->Held = 0;
    --g_locks_held;
    auto& v = g_second_processor_locks;
    if (ndis().on_second_processor()) v.erase(std::remove(v.begin(), v.end(), l), v.end());
}

struct ConfigHandle {
    std::string key;
    std::vector<std::unique_ptr<NDIS_CONFIGURATION_PARAMETER>> params;
    std::deque<std::u16string> strings;  // parameters point into these: they must not move
};
int g_open_configs = 0;

struct FileHandle {
    std::vector<uint8_t> data;
    bool mapped = false;
};
int g_open_files = 0;

}  // namespace

int plat_ndis_open_configs() { return g_open_configs; }
int plat_ndis_open_files() { return g_open_files; }
int plat_ndis_locks_held() { return g_locks_held; }
void plat_ndis_give_up_second_processor_locks()
{
    for (PKSPIN_LOCK l : g_second_processor_locks) {
        l->Held = 0;
        --g_locks_held;
    }
    g_second_processor_locks.clear();
}
void plat_ndis_reset_counters()
{
    g_locks_held = 0;
    g_open_configs = 0;
    g_open_files = 0;
}

// ---- strings and debug print ----

void RtlInitUnicodeString(PUNICODE_STRING d, PCWSTR s)
{
    size_t n = 0;
    if (s != nullptr)
        while (s[n] != 0) ++n;
    d->Buffer = const_cast<PWSTR>(s);
    d->Length = static_cast<USHORT>(n * 2);
    d->MaximumLength = static_cast<USHORT>(s ? n * 2 + 2 : 0);
}

void NdisInitUnicodeString(PNDIS_STRING d, PCWSTR s) { RtlInitUnicodeString(d, s); }

ULONG DbgPrint(const char* format, ...)
{
    Host* h = Host::current_or_null();
    if (h != nullptr && !h->trace.wanted()) return 0;  // nobody reads it: not formatted
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (h != nullptr) h->trace.write(buf);
    return n < 0 ? 0 : static_cast<ULONG>(n);
}

// ---- memory ----

NDIS_STATUS NdisAllocateMemory(PVOID* va, UINT length, UINT, NDIS_PHYSICAL_ADDRESS)
{
    *va = nullptr;
    if (host().faults.should_fail(Fault::Alloc) || length == 0) return NDIS_STATUS_FAILURE;
    auto* p = new uint8_t[length];
    std::memset(p, 0xA5, length);  // pool memory is not zeroed
    host().allocations[p] = length;
    *va = p;
    return NDIS_STATUS_SUCCESS;
}

void NdisFreeMemory(PVOID va, UINT length, UINT)
{
    auto& allocs = host().allocations;
    auto it = allocs.find(va);
    if (it == allocs.end()) {
        host().violation("NdisFreeMemory of memory that was not allocated");
        return;
    }
    if (it->second != length) host().violation("NdisFreeMemory with a length other than the allocation's");
    if (ndis().range_has_armed_timer(va, it->second)) {
        host().violation("freeing memory that holds an armed timer");
        ndis().cancel_timers_in(va, it->second);  // it must not fire into freed memory
    }
    delete[] static_cast<uint8_t*>(va);
    allocs.erase(it);
}

void NdisZeroMemory(PVOID d, ULONG n) { std::memset(d, 0, n); }
void NdisMoveMemory(PVOID d, const void* s, ULONG n) { std::memmove(d, s, n); }
void NdisStallExecution(UINT) {}

void NdisMSleep(ULONG us)
{
    if (host().irql() != kPassiveLevel) {
        host().violation("NdisMSleep above passive level");
        return;
    }
    host().sched.run_until(host().now() + us);
}

// ---- spin locks ----

void KeInitializeSpinLock(PKSPIN_LOCK l)
{
    l->Magic = kLockMagic;
    l->Held = 0;
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK l)
{
    Host& h = host();
    if (l->Magic != kLockMagic) h.violation("acquiring a spin lock that was never initialised");
    if (h.irql() > kDispatchLevel) h.violation("spin lock taken at interrupt level");
    second_processor_waits_for(l);
    if (l->Held) h.violation("spin lock taken while already held");
    lock_taken(l);
    return h.irql() > kDispatchLevel ? h.irql() : h.raise_irql(kDispatchLevel);
}

void KfReleaseSpinLock(PKSPIN_LOCK l, KIRQL old)
{
    Host& h = host();
    if (!l->Held) {
        h.violation("releasing a spin lock that is not held");
        return;
    }
    lock_given_back(l);
    // Locks are released in the reverse order of taking: only the first one taken may
    // bring the level below dispatch, and no lock may still be held when it does.
    if (old < kDispatchLevel && g_locks_held > 0) h.violation("level lowered below dispatch with a spin lock held");
    if (old < h.irql()) h.lower_irql(old);
}

KIRQL KeGetCurrentIrql() { return host().irql(); }

void KeRaiseIrql(KIRQL level, PKIRQL old) { *old = host().raise_irql(level); }
void KeLowerIrql(KIRQL level) { host().lower_irql(level); }

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK l)
{
    Host& h = host();
    if (l->Magic != kLockMagic) h.violation("acquiring a spin lock that was never initialised");
    if (h.irql() < kDispatchLevel) h.violation("KeAcquireSpinLockAtDpcLevel below dispatch level");
    second_processor_waits_for(l);
    if (l->Held) h.violation("spin lock taken while already held");
    lock_taken(l);
    // A lock taken above device level is shared with an ISR.
    if (h.irql() > kDeviceLevel) ndis().let_second_processor_in();
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK l)
{
    if (!l->Held) {
        host().violation("releasing a spin lock that is not held");
        return;
    }
    lock_given_back(l);
}

void NdisAllocateSpinLock(PNDIS_SPIN_LOCK l)
{
    KeInitializeSpinLock(&l->SpinLock);
    l->OldIrql = 0;
}

void NdisFreeSpinLock(PNDIS_SPIN_LOCK l)
{
    if (l->SpinLock.Held) host().violation("freeing a held spin lock");
    l->SpinLock.Magic = 0;
}

void NdisAcquireSpinLock(PNDIS_SPIN_LOCK l) { l->OldIrql = KfAcquireSpinLock(&l->SpinLock); }
void NdisReleaseSpinLock(PNDIS_SPIN_LOCK l) { KfReleaseSpinLock(&l->SpinLock, l->OldIrql); }

void NdisDprAcquireSpinLock(PNDIS_SPIN_LOCK l)
{
    if (host().irql() != kDispatchLevel) host().violation("NdisDprAcquireSpinLock below dispatch level");
    l->OldIrql = KfAcquireSpinLock(&l->SpinLock);
}

void NdisDprReleaseSpinLock(PNDIS_SPIN_LOCK l) { NdisReleaseSpinLock(l); }

// ---- timers ----

void NdisMInitializeTimer(PNDIS_MINIPORT_TIMER t, NDIS_HANDLE adapter, PNDIS_TIMER_FUNCTION fn, PVOID ctx)
{
    if (ndis().range_has_armed_timer(t, sizeof *t)) host().violation("initialising a timer that is still armed");
    t->MiniportTimerFunction = fn;
    t->MiniportTimerContext = ctx;
    t->MiniportAdapterHandle = adapter;
    t->HostEvent = 0;
    t->Magic = kTimerMagic;
}

void NdisInitializeTimer(PNDIS_TIMER t, PNDIS_TIMER_FUNCTION fn, PVOID ctx) { NdisMInitializeTimer(t, nullptr, fn, ctx); }

namespace {
void fire_timer(PNDIS_MINIPORT_TIMER t)
{
    t->HostEvent = 0;
    ndis().timer_disarmed(t);
    Host& h = host();
    plat::ndis::NdisState::DriverEntryScope entry(ndis());
    uint8_t old = h.raise_irql(kDispatchLevel);
    t->MiniportTimerFunction(nullptr, t->MiniportTimerContext, nullptr, nullptr);
    h.lower_irql(old);
}

void arm_timer(PNDIS_MINIPORT_TIMER t, plat::VTime delay)
{
    Host& h = host();
    if (t->HostEvent != 0) h.sched.cancel(t->HostEvent);
    t->HostEvent = h.sched.after(delay, [t] { fire_timer(t); });
    ndis().timer_armed(t, t->HostEvent);
}
}  // namespace

void NdisMSetTimer(PNDIS_MINIPORT_TIMER t, UINT ms)
{
    if (t->Magic != kTimerMagic || t->MiniportTimerFunction == nullptr) {
        host().violation("setting a timer that was never initialised");
        return;
    }
    arm_timer(t, plat::ms(ms));
}

void NdisSetTimer(PNDIS_TIMER t, UINT ms) { NdisMSetTimer(t, ms); }

void NdisMCancelTimer(PNDIS_MINIPORT_TIMER t, PBOOLEAN cancelled)
{
    *cancelled = FALSE;
    if (t->Magic != kTimerMagic) {
        host().violation("cancelling a timer that was never initialised");
        return;
    }
    if (t->HostEvent == 0 || !host().sched.pending(t->HostEvent)) return;
    if (ndis().cancel_misses_next || ndis().cancel_misses_timer == t) {
        // The callback is already due: it still runs, as the next event.
        if (ndis().cancel_misses_timer == t)
            ndis().cancel_misses_timer = nullptr;
        else
            ndis().cancel_misses_next = false;
        arm_timer(t, 0);
        return;
    }
    host().sched.cancel(t->HostEvent);
    t->HostEvent = 0;
    ndis().timer_disarmed(t);
    *cancelled = TRUE;
}

void NdisCancelTimer(PNDIS_TIMER t, PBOOLEAN cancelled) { NdisMCancelTimer(t, cancelled); }

// ---- configuration ----

void NdisOpenConfiguration(PNDIS_STATUS status, PNDIS_HANDLE handle, NDIS_HANDLE context)
{
    *handle = nullptr;
    if (host().faults.should_fail(Fault::Config) || context == nullptr) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    auto* c = new ConfigHandle;
    c->key = *static_cast<std::string*>(context);
    ++g_open_configs;
    *handle = c;
    *status = NDIS_STATUS_SUCCESS;
}

void NdisReadConfiguration(PNDIS_STATUS status, PNDIS_CONFIGURATION_PARAMETER* value, NDIS_HANDLE handle,
                           PNDIS_STRING keyword, NDIS_PARAMETER_TYPE type)
{
    *status = NDIS_STATUS_FAILURE;
    *value = nullptr;
    auto* c = static_cast<ConfigHandle*>(handle);
    if (c == nullptr || keyword == nullptr) return;
    auto v = host().registry.get_value(c->key, plat::ndis::narrow(*keyword));
    if (!v) return;
    auto p = std::make_unique<NDIS_CONFIGURATION_PARAMETER>();
    std::memset(p.get(), 0, sizeof *p);
    p->ParameterType = type;
    using plat::reg::Type;
    auto set_string = [&](std::u16string s, size_t length_units) {
        c->strings.push_back(std::move(s));
        std::u16string& kept = c->strings.back();
        p->ParameterData.StringData.Buffer = kept.data();
        p->ParameterData.StringData.Length = static_cast<USHORT>(length_units * 2);
        p->ParameterData.StringData.MaximumLength = static_cast<USHORT>(kept.size() * 2);
    };
    switch (type) {
    case NdisParameterInteger:
    case NdisParameterHexInteger:
        if (v->type == Type::Dword) {
            p->ParameterData.IntegerData = v->dword;
        } else if (v->type == Type::Sz) {
            char* end = nullptr;
            unsigned long n = std::strtoul(v->sz.c_str(), &end, type == NdisParameterHexInteger ? 16 : 10);
            if (v->sz.empty() || !std::isxdigit(static_cast<unsigned char>(v->sz[0])) || *end != 0 || n > 0xFFFFFFFFul)
                return;
            p->ParameterData.IntegerData = static_cast<ULONG>(n);
        } else {
            return;
        }
        break;
    case NdisParameterString:
        if (v->type != Type::Sz) return;
        if (v->sz.size() > 0x7FFE) return;
        {
            std::u16string s = plat::ndis::widen(v->sz);
            size_t n = s.size();
            s.push_back(0);
            set_string(std::move(s), n);
        }
        break;
    case NdisParameterMultiString: {
        std::vector<std::string> parts;
        if (v->type == Type::MultiSz)
            parts = v->multi;
        else if (v->type == Type::Sz)
            parts = {v->sz};
        else
            return;
        std::u16string s;
        for (auto& part : parts) {
            s += plat::ndis::widen(part);
            s.push_back(0);
        }
        if (s.size() > 0x7FFE) return;
        size_t n = s.size();
        s.push_back(0);
        set_string(std::move(s), n);
        break;
    }
    default:
        return;
    }
    *value = p.get();
    c->params.push_back(std::move(p));
    *status = NDIS_STATUS_SUCCESS;
}

void NdisCloseConfiguration(NDIS_HANDLE handle)
{
    if (handle == nullptr) {
        host().violation("closing a null configuration handle");
        return;
    }
    delete static_cast<ConfigHandle*>(handle);
    --g_open_configs;
}

// ---- files ----

void NdisOpenFile(PNDIS_STATUS status, PNDIS_HANDLE handle, PUINT length, PNDIS_STRING name, NDIS_PHYSICAL_ADDRESS)
{
    *handle = nullptr;
    *length = 0;
    *status = NDIS_STATUS_FILE_NOT_FOUND;
    if (host().faults.should_fail(Fault::FileOpen) || name == nullptr) return;
    std::string file = plat::ndis::narrow(*name);
    if (file.empty() || file.find("..") != std::string::npos || host().files_root.empty()) return;
    if (std::filesystem::path(file).has_root_path()) return;  // stays under the files root
    std::ifstream in(host().files_root / file, std::ios::binary);
    if (!in) return;
    auto* f = new FileHandle;
    f->data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    ++g_open_files;
    *handle = f;
    *length = static_cast<UINT>(f->data.size());
    *status = NDIS_STATUS_SUCCESS;
}

void NdisCloseFile(NDIS_HANDLE handle)
{
    auto* f = static_cast<FileHandle*>(handle);
    if (f == nullptr) {
        host().violation("closing a null file handle");
        return;
    }
    if (f->mapped) host().violation("closing a file that is still mapped");
    delete f;
    --g_open_files;
}

void NdisMapFile(PNDIS_STATUS status, PVOID* buffer, NDIS_HANDLE handle)
{
    *buffer = nullptr;
    auto* f = static_cast<FileHandle*>(handle);
    if (f == nullptr || host().faults.should_fail(Fault::FileMap)) {
        *status = NDIS_STATUS_RESOURCES;
        return;
    }
    if (f->mapped) {
        *status = NDIS_STATUS_FAILURE;
        return;
    }
    f->mapped = true;
    *buffer = f->data.empty() ? reinterpret_cast<PVOID>(f) : f->data.data();
    *status = NDIS_STATUS_SUCCESS;
}

void NdisUnmapFile(NDIS_HANDLE handle)
{
    auto* f = static_cast<FileHandle*>(handle);
    if (f == nullptr || !f->mapped) {
        host().violation("unmapping a file that is not mapped");
        return;
    }
    f->mapped = false;
}

// ---- error log ----

void NdisWriteErrorLogEntry(NDIS_HANDLE, NDIS_ERROR_CODE code, ULONG count, ...)
{
    plat::ErrorLogEntry e;
    e.code = code;
    va_list ap;
    va_start(ap, count);
    for (ULONG i = 0; i < count; ++i) e.values.push_back(va_arg(ap, ULONG));
    va_end(ap);
    host().error_log.push_back(std::move(e));
}

// ---- PCI and resources ----

ULONG NdisReadPciSlotInformation(NDIS_HANDLE, ULONG slot, ULONG offset, PVOID buffer, ULONG length)
{
    if (host().faults.should_fail(Fault::PciRead)) return 0;
    plat::PciFunction* f = host().pci.at(slot);
    if (f == nullptr) return 0;
    return f->config_read(offset, buffer, length);
}

ULONG NdisWritePciSlotInformation(NDIS_HANDLE, ULONG slot, ULONG offset, PVOID buffer, ULONG length)
{
    if (host().faults.should_fail(Fault::PciWrite)) return 0;
    plat::PciFunction* f = host().pci.at(slot);
    if (f == nullptr) return 0;
    return f->config_write(offset, buffer, length);
}

NDIS_STATUS NdisMPciAssignResources(NDIS_HANDLE handle, ULONG slot, PNDIS_RESOURCE_LIST* list)
{
    *list = nullptr;
    plat::ndis::Adapter* a = ndis().from_handle(handle);
    if (a == nullptr) {
        host().violation("NdisMPciAssignResources with a bad miniport handle");
        return NDIS_STATUS_FAILURE;
    }
    if (host().faults.should_fail(Fault::PciAssign)) return NDIS_STATUS_FAILURE;
    plat::PciFunction* f = host().pci.at(slot);
    if (f == nullptr) return NDIS_STATUS_FAILURE;
    plat::PciAssigned r = f->assigned_resources();
    size_t count = r.memory.size() + (r.interrupt_vector != 0 ? 1 : 0);
    size_t bytes = sizeof(CM_PARTIAL_RESOURCE_LIST) + (count > 0 ? count - 1 : 0) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    auto storage = std::make_unique<uint8_t[]>(bytes);
    std::memset(storage.get(), 0, bytes);
    auto* l = reinterpret_cast<PNDIS_RESOURCE_LIST>(storage.get());
    l->Version = 1;
    l->Revision = 1;
    ULONG i = 0;
    if (r.interrupt_vector != 0) {
        auto& d = l->PartialDescriptors[i++];
        d.Type = CmResourceTypeInterrupt;
        d.ShareDisposition = 3;  // shared
        d.u.Interrupt.Vector = r.interrupt_vector;
        d.u.Interrupt.Level = r.interrupt_level;
        d.u.Interrupt.Affinity = 1;
    }
    for (auto& m : r.memory) {
        auto& d = l->PartialDescriptors[i++];
        d.Type = CmResourceTypeMemory;
        d.u.Memory.Start.QuadPart = static_cast<int64_t>(m.base);
        d.u.Memory.Length = m.length;
    }
    l->Count = i;
    *list = l;
    a->resource_lists.push_back(std::move(storage));
    return NDIS_STATUS_SUCCESS;
}

void NdisMSetAttributes(NDIS_HANDLE handle, NDIS_HANDLE context, BOOLEAN bus_master, NDIS_INTERFACE_TYPE)
{
    plat::ndis::Adapter* a = ndis().from_handle(handle);
    if (a == nullptr) {
        host().violation("NdisMSetAttributes with a bad miniport handle");
        return;
    }
    a->context = context;
    a->bus_master = bus_master;
}

NDIS_STATUS NdisMAllocateMapRegisters(NDIS_HANDLE handle, UINT, BOOLEAN, ULONG, ULONG)
{
    plat::ndis::Adapter* a = ndis().from_handle(handle);
    if (a == nullptr) return NDIS_STATUS_FAILURE;
    if (!a->bus_master) host().violation("map registers for an adapter that is not a bus master");
    if (host().faults.should_fail(Fault::MapRegisters)) return NDIS_STATUS_RESOURCES;
    if (a->map_registers) host().violation("map registers allocated twice");
    a->map_registers = true;
    return NDIS_STATUS_SUCCESS;
}

void NdisMFreeMapRegisters(NDIS_HANDLE handle)
{
    plat::ndis::Adapter* a = ndis().from_handle(handle);
    if (a == nullptr || !a->map_registers) {
        host().violation("freeing map registers that were not allocated");
        return;
    }
    a->map_registers = false;
}

NDIS_STATUS NdisMMapIoSpace(PVOID* va, NDIS_HANDLE, NDIS_PHYSICAL_ADDRESS phys, UINT length)
{
    *va = nullptr;
    if (host().faults.should_fail(Fault::MapIo)) return NDIS_STATUS_RESOURCES;
    void* p = host().io.map(static_cast<uint64_t>(phys.QuadPart), length);
    if (p == nullptr) return NDIS_STATUS_RESOURCES;
    *va = p;
    return NDIS_STATUS_SUCCESS;
}

void NdisMUnmapIoSpace(NDIS_HANDLE, PVOID va, UINT length)
{
    if (!host().io.unmap(va, length)) host().violation("unmapping a register window that is not mapped");
}

void NdisMAllocateSharedMemory(NDIS_HANDLE, ULONG length, BOOLEAN, PVOID* va, PNDIS_PHYSICAL_ADDRESS phys)
{
    *va = nullptr;
    phys->QuadPart = 0;
    if (host().faults.should_fail(Fault::SharedMemory)) return;
    auto b = host().phys.allocate(length);
    if (b.virt == nullptr) return;
    std::memset(b.virt, 0xA5, length);
    *va = b.virt;
    phys->QuadPart = static_cast<int64_t>(b.phys);
}

void NdisMFreeSharedMemory(NDIS_HANDLE, ULONG length, BOOLEAN, PVOID va, NDIS_PHYSICAL_ADDRESS phys)
{
    uint8_t* expect = host().phys.to_virt(static_cast<uint64_t>(phys.QuadPart), 1);
    if (expect != va) host().violation("NdisMFreeSharedMemory with a physical address that does not match");
    if (!host().phys.free(va, length)) host().violation("NdisMFreeSharedMemory of memory that was not allocated so");
}

// ---- register access ----

namespace {
uint32_t reg_read(const volatile void* address, unsigned width)
{
    Host& h = host();
    plat::ndis::NdisState::RegisterScope timed(h.ndis());
    auto d = h.io.decode(address, width);
    if (!d.window) {
        h.violation("register read outside any mapped window");
        return 0xFFFFFFFF;
    }
    if (d.device == nullptr) return width == 4 ? 0xFFFFFFFF : (1u << (8 * width)) - 1;
    return d.device->mmio_read(d.offset, width);
}

void reg_write(volatile void* address, unsigned width, uint32_t value)
{
    Host& h = host();
    plat::ndis::NdisState::RegisterScope timed(h.ndis());
    auto d = h.io.decode(address, width);
    if (!d.window) {
        h.violation("register write outside any mapped window");
        return;
    }
    if (d.device != nullptr) d.device->mmio_write(d.offset, width, value);
}
}  // namespace

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* r) { return static_cast<UCHAR>(reg_read(r, 1)); }
USHORT READ_REGISTER_USHORT(volatile USHORT* r) { return static_cast<USHORT>(reg_read(r, 2)); }
ULONG READ_REGISTER_ULONG(volatile ULONG* r) { return reg_read(r, 4); }
void WRITE_REGISTER_UCHAR(volatile UCHAR* r, UCHAR v) { reg_write(r, 1, v); }
void WRITE_REGISTER_USHORT(volatile USHORT* r, USHORT v) { reg_write(r, 2, v); }
void WRITE_REGISTER_ULONG(volatile ULONG* r, ULONG v) { reg_write(r, 4, v); }

// ---- interrupts ----

NDIS_STATUS NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT i, NDIS_HANDLE handle, UINT vector, UINT level, BOOLEAN,
                                   BOOLEAN, NDIS_INTERRUPT_MODE)
{
    plat::ndis::Adapter* a = ndis().from_handle(handle);
    std::memset(i, 0, sizeof *i);
    if (a == nullptr) {
        host().violation("NdisMRegisterInterrupt with a bad miniport handle");
        return NDIS_STATUS_FAILURE;
    }
    if (host().faults.should_fail(Fault::Interrupt) || vector == 0) return NDIS_STATUS_RESOURCE_CONFLICT;
    i->MiniportAdapterHandle = handle;
    i->Vector = vector;
    i->Irql = plat::interrupt_irql(level);
    i->Magic = kInterruptMagic;
    a->interrupts.push_back(i);
    i->HostConnection = host().irq.connect(vector, [i] { return ndis().run_isr(i); });
    return NDIS_STATUS_SUCCESS;
}

void NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT i)
{
    if (i->Magic != kInterruptMagic || i->HostConnection == 0) {
        host().violation("deregistering an interrupt that is not registered");
        return;
    }
    host().irq.disconnect(i->HostConnection);
    i->HostConnection = 0;
    i->Magic = 0;
    if (plat::ndis::Adapter* a = ndis().from_handle(i->MiniportAdapterHandle)) {
        auto& v = a->interrupts;
        v.erase(std::remove(v.begin(), v.end(), i), v.end());
    }
}

BOOLEAN NdisMSynchronizeWithInterrupt(PNDIS_MINIPORT_INTERRUPT i, PVOID fn, PVOID ctx)
{
    if (i->Magic != kInterruptMagic) host().violation("synchronising with an interrupt that is not registered");
    Host& h = host();
    // The interrupt's own level: from above it (another interrupt's synchronisation
    // with a higher level, say) this would be a lowering, which the hardware forbids.
    if (h.irql() > i->Irql) {
        h.violation("synchronising with an interrupt whose level is below the current one");
        return reinterpret_cast<PNDIS_SYNCHRONIZE_FUNCTION>(fn)(ctx);
    }
    uint8_t old = h.raise_irql(i->Irql);
    BOOLEAN was = i->SyncHeld;
    i->SyncHeld = TRUE;
    ndis().let_second_processor_in();
    BOOLEAN r = reinterpret_cast<PNDIS_SYNCHRONIZE_FUNCTION>(fn)(ctx);
    i->SyncHeld = was;
    if (old < h.irql()) h.lower_irql(old);
    return r;
}

// ---- shutdown ----

void NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE handle, PVOID ctx, ADAPTER_SHUTDOWN_HANDLER fn)
{
    plat::ndis::Adapter* a = ndis().from_handle(handle);
    if (a == nullptr) return;
    a->shutdown_handler = fn;
    a->shutdown_context = ctx;
}

void NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE handle)
{
    plat::ndis::Adapter* a = ndis().from_handle(handle);
    if (a == nullptr || a->shutdown_handler == nullptr) {
        host().violation("deregistering a shutdown handler that is not registered");
        return;
    }
    a->shutdown_handler = nullptr;
    a->shutdown_context = nullptr;
}

// ---- WAN and status ----

namespace {
void check_upcall(const char* what)
{
    if (g_locks_held > 0) host().violation(std::string(what) + " called with a spin lock held");
}
}  // namespace

void NdisMWanIndicateReceive(PNDIS_STATUS status, NDIS_HANDLE handle, NDIS_WAN_LINK_HANDLE ctx, PUCHAR packet,
                             ULONG size)
{
    check_upcall("NdisMWanIndicateReceive");
    plat::ndis::NdisState::UpcallScope upcall(ndis());
    *status = NDIS_STATUS_FAILURE;
    plat::ndis::Adapter* a = ndis().from_handle(handle);
    if (a == nullptr) return;
    a->receives.push_back({ctx, std::vector<uint8_t>(packet, packet + size)});
    *status = NDIS_STATUS_SUCCESS;
    if (ndis().on_receive) {
        plat::ndis::Receive copy = a->receives.back();
        ndis().on_receive(*a, copy);
    }
}

void NdisMWanIndicateReceiveComplete(NDIS_HANDLE handle, NDIS_WAN_LINK_HANDLE)
{
    check_upcall("NdisMWanIndicateReceiveComplete");
    if (plat::ndis::Adapter* a = ndis().from_handle(handle)) ++a->receive_completes;
}

void NdisMWanSendComplete(NDIS_HANDLE handle, PNDIS_WAN_PACKET packet, NDIS_STATUS status)
{
    check_upcall("NdisMWanSendComplete");
    plat::ndis::NdisState::UpcallScope upcall(ndis());
    plat::ndis::Adapter* a = ndis().from_handle(handle);
    if (a == nullptr) return;
    a->send_completions.push_back({packet, status});
    if (ndis().on_send_complete) ndis().on_send_complete(*a, {packet, status});
}

void NdisMIndicateStatus(NDIS_HANDLE handle, NDIS_STATUS status, PVOID buffer, UINT size)
{
    plat::ndis::Adapter* a = ndis().from_handle(handle);
    if (a == nullptr) {
        host().violation("NdisMIndicateStatus with a bad miniport handle");
        return;
    }
    auto* b = static_cast<uint8_t*>(buffer);
    a->indications.push_back({status, std::vector<uint8_t>(b, b + size)});
    if (ndis().on_status) ndis().on_status(*a, status, buffer, size);
}

void NdisMIndicateStatusComplete(NDIS_HANDLE) {}

// ---- wrapper and registration ----

void NdisInitializeWrapper(PNDIS_HANDLE wrapper, PVOID, PVOID, PVOID)
{
    if (host().faults.should_fail(Fault::Wrapper)) {
        *wrapper = nullptr;
        return;
    }
    *wrapper = &ndis();
    ndis().set_wrapper_open(true);
}

NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE wrapper, PNDIS_MINIPORT_CHARACTERISTICS c, UINT length)
{
    if (wrapper != &ndis() || host().faults.should_fail(Fault::Register)) return NDIS_STATUS_FAILURE;
    if (c->MajorNdisVersion != 4 || c->MinorNdisVersion != 0) return NDIS_STATUS_BAD_VERSION;
    if (length != sizeof(NDIS_MINIPORT_CHARACTERISTICS)) return NDIS_STATUS_BAD_CHARACTERISTICS;
    if (c->InitializeHandler == nullptr || c->HaltHandler == nullptr || c->QueryInformationHandler == nullptr ||
        c->SetInformationHandler == nullptr || c->ResetHandler == nullptr || c->WanSendHandler == nullptr)
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    ndis().set_registered(*c);
    return NDIS_STATUS_SUCCESS;
}

void NdisTerminateWrapper(NDIS_HANDLE wrapper, PVOID)
{
    if (wrapper != &ndis() || !ndis().wrapper_open()) {
        host().violation("terminating a wrapper that is not open");
        return;
    }
    for (auto& a : ndis().adapters())
        if (a->initialised && !a->halted && !a->halting)
            host().violation("wrapper terminated while another adapter still runs");
    ndis().set_wrapper_open(false);
}
