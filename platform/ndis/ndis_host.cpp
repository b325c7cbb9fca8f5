#include "platform/ndis/ndis_host.h"

#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/host/host.h"
#include "platform/ndis/ndis_device.h"
#include "platform/ndis/ndistapi.h"

void plat_ndis_give_up_second_processor_locks();  // platform/ndis/ndis.cpp

int plat_ndis_open_configs();
int plat_ndis_open_files();
void plat_ndis_reset_counters();

namespace plat::ndis {

std::u16string widen(const std::string& s)
{
    std::u16string w;
    for (unsigned char c : s) w.push_back(c);
    return w;
}

std::string narrow(const UNICODE_STRING& s)
{
    std::string n;
    if (s.Buffer == nullptr) return n;
    for (USHORT i = 0; i < s.Length / 2; ++i) n.push_back(static_cast<char>(s.Buffer[i] & 0xFF));
    return n;
}

NdisState::NdisState(Host& host) : host_(host)
{
    plat_ndis_reset_counters();
    on_status = [this](Adapter&, NDIS_STATUS status, void* buffer, UINT size) {
        if (status == NDIS_STATUS_WAN_LINE_UP && size >= sizeof(NDIS_MAC_LINE_UP)) {
            auto* up = static_cast<NDIS_MAC_LINE_UP*>(buffer);
            if (up->NdisLinkContext == 0) up->NdisLinkContext = next_link_context++;
        }
        if (status == NDIS_STATUS_TAPI_INDICATION && size >= sizeof(NDIS_TAPI_EVENT)) {
            auto* event = static_cast<NDIS_TAPI_EVENT*>(buffer);
            if (event->ulMsg == LINE_NEWCALL) event->ulParam2 = next_tapi_call_handle++;
        }
    };
}

NdisState::~NdisState() = default;

NTSTATUS NdisState::load_driver(DriverEntryFn entry, const std::string& service)
{
    std::memset(&driver_object_, 0, sizeof driver_object_);
    fill_driver_object(driver_object_);
    registry_path_ = widen("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service);
    registry_path_string_.Buffer = registry_path_.data();
    registry_path_string_.Length = static_cast<USHORT>(registry_path_.size() * 2);
    registry_path_string_.MaximumLength = registry_path_string_.Length;
    return entry(&driver_object_, &registry_path_string_);
}

Adapter* NdisState::from_handle(NDIS_HANDLE h)
{
    for (auto& a : adapters_)
        if (a.get() == h) return a.get();
    return nullptr;
}

Adapter* NdisState::initialize(unsigned instance, std::vector<NDIS_MEDIUM> media)
{
    if (!registered_) {
        host_.violation("initialising an adapter with no miniport registered");
        return nullptr;
    }
    auto a = std::make_unique<Adapter>();
    a->instance = instance;
    a->service = "VORNET" + std::to_string(instance);
    Adapter* raw = a.get();
    adapters_.push_back(std::move(a));
    current_config_key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + raw->service + "\\Parameters";
    NDIS_STATUS open_error = 0;
    UINT selected = 0xFFFFFFFF;
    NDIS_STATUS s = chars_.InitializeHandler(&open_error, &selected, media.data(), static_cast<UINT>(media.size()),
                                             raw, &current_config_key);
    last_init_status_ = s;
    raw->init_status = s;
    if (s != NDIS_STATUS_SUCCESS) {
        if (!raw->interrupts.empty()) host_.violation("failed initialisation left an interrupt registered");
        if (raw->shutdown_handler != nullptr) host_.violation("failed initialisation left a shutdown handler");
        if (raw->map_registers) host_.violation("failed initialisation left map registers allocated");
        adapters_.pop_back();
        return nullptr;
    }
    if (selected >= media.size() || media[selected] != NdisMediumWan)
        host_.violation("initialisation selected a medium other than WAN");
    raw->initialised = true;
    if (!create_adapter_device(driver_object_, *raw)) host_.violation("NDIS could not create the adapter's device");
    schedule_hang_check(raw);
    return raw;
}

void NdisState::schedule_hang_check(Adapter* a)
{
    a->hang_check_event = host_.sched.after(hang_check_period, [this, a] {
        a->hang_check_event = 0;
        if (!a->initialised || a->halted) return;
        if (check_for_hang(a)) reset(a);
        if (!a->halted) schedule_hang_check(a);
    });
}

bool NdisState::check_for_hang(Adapter* a)
{
    if (chars_.CheckForHangHandler == nullptr) return false;
    uint8_t old = host_.raise_irql(kDispatchLevel);
    bool hung = chars_.CheckForHangHandler(a->context) != 0;
    host_.lower_irql(old);
    return hung;
}

NDIS_STATUS NdisState::reset(Adapter* a)
{
    BOOLEAN addressing = FALSE;
    uint8_t old = host_.raise_irql(kDispatchLevel);
    NDIS_STATUS s = chars_.ResetHandler(&addressing, a->context);
    host_.lower_irql(old);
    ++a->resets;
    return s;
}

void NdisState::halt(Adapter* a)
{
    if (a == nullptr || !a->initialised || a->halted) {
        host_.violation("halting an adapter that is not running");
        return;
    }
    if (a->hang_check_event != 0) host_.sched.cancel(a->hang_check_event);
    a->hang_check_event = 0;
    delete_adapter_device(*a);
    a->halting = true;
    chars_.HaltHandler(a->context);
    a->halting = false;
    a->halted = true;
    if (!a->interrupts.empty()) host_.violation("halt left an interrupt registered");
    if (a->shutdown_handler != nullptr) host_.violation("halt left a shutdown handler registered");
    if (a->map_registers) host_.violation("halt left map registers allocated");
}

void NdisState::shutdown(Adapter* a)
{
    if (a == nullptr || a->shutdown_handler == nullptr) return;
    uint8_t old = host_.raise_irql(kDispatchLevel);
    a->shutdown_handler(a->shutdown_context);
    host_.lower_irql(old);
}

NDIS_STATUS NdisState::query(Adapter* a, NDIS_OID oid, void* buffer, ULONG length, ULONG* written, ULONG* needed)
{
    uint8_t old = host_.raise_irql(kDispatchLevel);
    DriverEntryScope entry(*this);
    NDIS_STATUS s = chars_.QueryInformationHandler(a->context, oid, buffer, length, written, needed);
    host_.lower_irql(old);
    return s;
}

NDIS_STATUS NdisState::set(Adapter* a, NDIS_OID oid, void* buffer, ULONG length, ULONG* read, ULONG* needed)
{
    uint8_t old = host_.raise_irql(kDispatchLevel);
    DriverEntryScope entry(*this);
    NDIS_STATUS s = chars_.SetInformationHandler(a->context, oid, buffer, length, read, needed);
    host_.lower_irql(old);
    return s;
}

NDIS_STATUS NdisState::send(Adapter* a, NDIS_WAN_LINK_HANDLE link, PNDIS_WAN_PACKET packet)
{
    uint8_t old = host_.raise_irql(kDispatchLevel);
    DriverEntryScope entry(*this);
    NDIS_STATUS s = chars_.WanSendHandler(a->context, link, packet);
    host_.lower_irql(old);
    return s;
}

bool NdisState::range_has_armed_timer(const void* p, size_t len) const
{
    auto lo = reinterpret_cast<uintptr_t>(p);
    for (auto& [t, ev] : armed_timers_) {
        auto a = reinterpret_cast<uintptr_t>(t);
        if (a >= lo && a < lo + len && host_.sched.pending(ev)) return true;
    }
    return false;
}

void NdisState::cancel_timers_in(const void* p, size_t len)
{
    auto lo = reinterpret_cast<uintptr_t>(p);
    for (auto it = armed_timers_.begin(); it != armed_timers_.end();) {
        auto a = reinterpret_cast<uintptr_t>(it->first);
        if (a >= lo && a < lo + len) {
            host_.sched.cancel(it->second);
            it = armed_timers_.erase(it);
        } else {
            ++it;
        }
    }
}

bool NdisState::run_isr(PNDIS_MINIPORT_INTERRUPT interrupt)
{
    Adapter* a = from_handle(interrupt->MiniportAdapterHandle);
    if (a == nullptr || chars_.ISRHandler == nullptr) return false;
    BOOLEAN recognized = FALSE, queue = FALSE;
    uint8_t old = host_.irql() < interrupt->Irql ? host_.raise_irql(interrupt->Irql) : host_.irql();
    {
        // An ISR holds its interrupt's synchronisation while it runs (also when it is
        // given up on the second processor).
        struct Held {
            PNDIS_MINIPORT_INTERRUPT i;
            unsigned& depth;
            BOOLEAN was;
            Held(PNDIS_MINIPORT_INTERRUPT x, unsigned& d) : i(x), depth(d), was(x->SyncHeld)
            {
                i->SyncHeld = TRUE;
                ++depth;
            }
            ~Held()
            {
                i->SyncHeld = was;
                --depth;
            }
        } held(interrupt, isr_depth_);
        DriverEntryScope entry(*this);
        chars_.ISRHandler(&recognized, &queue, a->context);
    }
    if (old < host_.irql()) host_.lower_irql(old);
    if (queue && !interrupt->DpcQueued) {
        interrupt->DpcQueued = TRUE;
        host_.sched.after(0, [this, interrupt, a] {
            // The adapter may be gone, or the interrupt deregistered, meanwhile.
            if (from_handle(a) == nullptr) return;
            if (std::find(a->interrupts.begin(), a->interrupts.end(), interrupt) == a->interrupts.end()) return;
            run_interrupt_dpc(interrupt);
        });
    }
    return recognized != 0;
}

void NdisState::let_second_processor_in()
{
    if (!second_processor || on_second_ || isr_depth_ > 0) return;
    for (auto& a : adapters_) {
        std::vector<PNDIS_MINIPORT_INTERRUPT> interrupts = a->interrupts;
        for (PNDIS_MINIPORT_INTERRUPT i : interrupts) {
            ++second_processor_tries;
            if (i->SyncHeld) continue;
            uint8_t here = host_.switch_processor_irql(kDeviceLevel);
            on_second_ = true;
            bool ran = true;
            try {
                run_isr(i);
            } catch (const SecondProcessorSpins&) {
                ran = false;
                plat_ndis_give_up_second_processor_locks();
            }
            on_second_ = false;
            host_.switch_processor_irql(here);
            if (ran) ++second_processor_isrs;
        }
    }
}

void NdisState::run_interrupt_dpc(PNDIS_MINIPORT_INTERRUPT interrupt)
{
    interrupt->DpcQueued = FALSE;
    Adapter* a = from_handle(interrupt->MiniportAdapterHandle);
    if (a == nullptr || a->halted) return;
    DriverEntryScope entry(*this);
    uint8_t old = host_.raise_irql(kDispatchLevel);
    if (chars_.HandleInterruptHandler) chars_.HandleInterruptHandler(a->context);
    if (chars_.EnableInterruptHandler) {
        uint8_t d = host_.raise_irql(kDeviceLevel);
        chars_.EnableInterruptHandler(a->context);
        host_.lower_irql(d);
    }
    host_.lower_irql(old);
}

namespace {
int64_t thread_cpu_ns()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Register accesses are many and short: one in kRegisterSample is timed, with the cycle
// counter (reading the thread's CPU clock costs more than most accesses), converted at a
// rate measured once, and stands for the others.
constexpr uint64_t kRegisterSample = 16;
#if defined(__x86_64__) || defined(__i386__)
uint64_t ticks() { return __builtin_ia32_rdtsc(); }
#else
uint64_t ticks() { return uint64_t(monotonic_ns()); }
#endif

struct Calibration {
    double ns_per_tick = 1.0;
    int64_t clock_read_ns = 0;  // what reading the thread's CPU clock itself adds to a stretch
};

const Calibration& calibration()
{
    static const Calibration c = [] {
        Calibration k;
        const int64_t n0 = monotonic_ns();
        const uint64_t t0 = ticks();
        while (monotonic_ns() - n0 < 2'000'000) {
        }
        const uint64_t dt = ticks() - t0;
        if (dt != 0) k.ns_per_tick = double(monotonic_ns() - n0) / double(dt);
        int64_t least = INT64_MAX;
        for (int i = 0; i < 200; i++) {
            const int64_t a = thread_cpu_ns();
            least = std::min(least, thread_cpu_ns() - a);
        }
        k.clock_read_ns = std::max<int64_t>(0, least);
        return k;
    }();
    return c;
}
}  // namespace

// Closes the driver's current stretch at now_ns: its register time goes apart, the cost
// of the clock reads that bound it is dropped.
void NdisState::driver_time_until(int64_t now_ns)
{
    const Calibration& k = calibration();
    const uint64_t total = uint64_t(std::max<int64_t>(0, now_ns - driver_since_ns_ - k.clock_read_ns));
    const uint64_t reg = std::min<uint64_t>(
        total, uint64_t(double(register_ticks_) * k.ns_per_tick * double(kRegisterSample)));
    const uint64_t weight = std::max(1u, driver_cpu_sample);
    driver_cpu_ns += (total - reg) * weight;
    register_ns += reg * weight;
    register_ticks_ = 0;
}

NdisState::DriverEntryScope::DriverEntryScope(NdisState& s) : s_(s)
{
    if (!s_.measure_driver_cpu) return;
    counted_ = true;
    if (s_.driver_depth_++ == 0) {
        s_.driver_timed_ = true;
        if (s_.driver_cpu_sample > 1) {
            uint32_t& x = s_.sample_state_;  // xorshift: no pattern of entries is timed more than another
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            s_.driver_timed_ = x % s_.driver_cpu_sample == 0;
        }
        if (!s_.driver_timed_) return;
        calibration();
        s_.driver_since_ns_ = thread_cpu_ns();
        s_.register_ticks_ = 0;
    }
}

NdisState::DriverEntryScope::~DriverEntryScope()
{
    if (!counted_) return;
    if (--s_.driver_depth_ == 0) {
        if (s_.driver_timed_) s_.driver_time_until(thread_cpu_ns());
        s_.driver_entries++;
    }
}

NdisState::RegisterScope::RegisterScope(NdisState& s) : s_(s)
{
    if (!s_.measure_driver_cpu || s_.driver_depth_ == 0) return;
    if (s_.register_accesses++ % kRegisterSample != 0 || !s_.driver_timed_) return;
    counted_ = true;
    start_ = ticks();
}

NdisState::RegisterScope::~RegisterScope()
{
    if (counted_) s_.register_ticks_ += ticks() - start_;
}

NdisState::UpcallScope::UpcallScope(NdisState& s) : s_(s)
{
    if (!s_.measure_driver_cpu || s_.driver_depth_ == 0 || !s_.driver_timed_) return;
    counted_ = true;
    s_.driver_time_until(thread_cpu_ns());
}

NdisState::UpcallScope::~UpcallScope()
{
    if (counted_) s_.driver_since_ns_ = thread_cpu_ns();
}

size_t NdisState::mapped_windows() const { return host_.io.mapped(); }
size_t NdisState::shared_memory_blocks() const { return host_.phys.blocks(); }

}  // namespace plat::ndis
