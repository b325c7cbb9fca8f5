// NDIS as the host runs it around a miniport: the loaded driver's registration, each
// adapter's life (initialise, requests, sends, interrupts and their deferred handler,
// hang check and reset, halt), and recorders of what the miniport indicated.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/scheduler.h"
#include "platform/ndis/ndis.h"

namespace plat {
class Host;
}

namespace plat::ndis {

using DriverEntryFn = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);

struct StatusIndication {
    NDIS_STATUS status = 0;
    std::vector<uint8_t> buffer;
};

struct Receive {
    NDIS_WAN_LINK_HANDLE link_context = 0;
    std::vector<uint8_t> data;
};

struct SendCompletion {
    PNDIS_WAN_PACKET packet = nullptr;
    NDIS_STATUS status = 0;
};

// One miniport adapter as NDIS keeps it; its address is the miniport adapter handle.
struct Adapter {
    unsigned instance = 0;
    std::string service;  // VORNET<instance>
    NDIS_HANDLE context = nullptr;  // from NdisMSetAttributes
    bool initialised = false;
    bool halted = false;
    bool halting = false;
    bool bus_master = false;
    bool map_registers = false;
    ADAPTER_SHUTDOWN_HANDLER shutdown_handler = nullptr;
    PVOID shutdown_context = nullptr;
    std::vector<PNDIS_MINIPORT_INTERRUPT> interrupts;
    std::vector<std::unique_ptr<uint8_t[]>> resource_lists;
    uint64_t hang_check_event = 0;
    uint64_t resets = 0;
    NDIS_STATUS init_status = 0;
    struct _DEVICE_OBJECT* device = nullptr;  // NDIS's device for the adapter while it runs

    std::vector<StatusIndication> indications;
    std::vector<Receive> receives;
    uint64_t receive_completes = 0;
    std::vector<SendCompletion> send_completions;
};

class NdisState {
public:
    explicit NdisState(Host& host);
    ~NdisState();

    // Loads the driver: builds its driver object and calls its entry with the service path.
    NTSTATUS load_driver(DriverEntryFn entry, const std::string& service = "vornet");
    DRIVER_OBJECT& driver_object() { return driver_object_; }
    bool miniport_registered() const { return registered_; }
    const NDIS_MINIPORT_CHARACTERISTICS& characteristics() const { return chars_; }
    bool wrapper_open() const { return wrapper_open_; }
    int wrapper_terminations() const { return wrapper_terminations_; }

    // Adapter life. initialize() offers the media (default: 802.3 then WAN) and reads
    // the configuration under SYSTEM\CurrentControlSet\Services\VORNET<instance>\Parameters.
    Adapter* initialize(unsigned instance, std::vector<NDIS_MEDIUM> media = {NdisMedium802_3, NdisMediumWan});
    NDIS_STATUS last_init_status() const { return last_init_status_; }
    void halt(Adapter* a);
    void shutdown(Adapter* a);
    NDIS_STATUS query(Adapter* a, NDIS_OID oid, void* buffer, ULONG length, ULONG* written, ULONG* needed);
    NDIS_STATUS set(Adapter* a, NDIS_OID oid, void* buffer, ULONG length, ULONG* read, ULONG* needed);
    NDIS_STATUS send(Adapter* a, NDIS_WAN_LINK_HANDLE link, PNDIS_WAN_PACKET packet);
    bool check_for_hang(Adapter* a);
    NDIS_STATUS reset(Adapter* a);

    std::vector<std::unique_ptr<Adapter>>& adapters() { return adapters_; }
    Adapter* from_handle(NDIS_HANDLE h);  // nullptr when not an adapter handle

    // NDIS runs the hang check on this period and resets the adapter when it answers TRUE.
    VTime hang_check_period = 2'000'000;

    // Write-back of NDISWAN and TAPI to a status indication; the default gives every
    // line-up a fresh link context and every TAPI new-call message a fresh TAPI call
    // handle (in the event's ulParam2).
    std::function<void(Adapter&, NDIS_STATUS, void*, UINT)> on_status;
    // Called from inside NdisMWanIndicateReceive and NdisMWanSendComplete after the
    // recording, as NDISWAN would act from inside the upcall.
    std::function<void(Adapter&, const Receive&)> on_receive;
    std::function<void(Adapter&, const SendCompletion&)> on_send_complete;
    NDIS_WAN_LINK_HANDLE next_link_context = 0x1000;
    ULONG next_tapi_call_handle = 0x7C000001;

    // The next NdisMCancelTimer of an armed timer misses: its callback is already
    // due and runs as the next event; the cancel reports FALSE.
    bool cancel_misses_next = false;
    // The same, aimed at one timer: its next cancel while armed misses.
    const void* cancel_misses_timer = nullptr;

    // A second processor. While set, each section this processor runs synchronised with
    // an interrupt (NdisMSynchronizeWithInterrupt, or a spin lock taken above device
    // level) outside an ISR lets the other processor take every interrupt of every
    // adapter at its start. An ISR gets in unless this processor holds what it needs:
    // that interrupt's own synchronisation, or a spin lock the ISR takes (it would spin
    // there; it is given up and its line served later). `tries` counts the takes,
    // `isrs` those whose ISR ran inside the section.
    bool second_processor = false;
    uint64_t second_processor_tries = 0;
    uint64_t second_processor_isrs = 0;
    struct SecondProcessorSpins {};  // thrown by a lock the second processor finds held
    bool on_second_processor() const { return on_second_; }
    void let_second_processor_in();

    // CPU time spent inside the driver's entry points (interrupt service, deferred
    // handler, timer functions, send, query and set), when measure_driver_cpu is set;
    // nested entries count once. The register accesses the driver makes inside an entry
    // (the window decode and the device-model work they cause) are not the driver's:
    // their time is kept apart in register_ns.
    // With driver_cpu_sample N > 1 only about one entry in N (at random) is timed and
    // stands for N: reading the thread's CPU clock costs more than many entries.
    bool measure_driver_cpu = false;
    unsigned driver_cpu_sample = 1;
    uint64_t driver_cpu_ns = 0;
    uint64_t driver_entries = 0;
    uint64_t register_ns = 0;
    uint64_t register_accesses = 0;
    class DriverEntryScope {
    public:
        explicit DriverEntryScope(NdisState& s);
        ~DriverEntryScope();
        DriverEntryScope(const DriverEntryScope&) = delete;
        DriverEntryScope& operator=(const DriverEntryScope&) = delete;

    private:
        NdisState& s_;
        bool counted_ = false;
    };
    // One register access; inside a measured entry its time goes to register_ns.
    class RegisterScope {
    public:
        explicit RegisterScope(NdisState& s);
        ~RegisterScope();
        RegisterScope(const RegisterScope&) = delete;
        RegisterScope& operator=(const RegisterScope&) = delete;

    private:
        NdisState& s_;
        uint64_t start_ = 0;
        bool counted_ = false;
    };
    // Time in an upcall to NDIS (receive indication, send completion) is not the driver's.
    class UpcallScope {
    public:
        explicit UpcallScope(NdisState& s);
        ~UpcallScope();
        UpcallScope(const UpcallScope&) = delete;
        UpcallScope& operator=(const UpcallScope&) = delete;

    private:
        NdisState& s_;
        bool counted_ = false;
    };

    // Outstanding counts for leak checks.
    size_t mapped_windows() const;
    size_t shared_memory_blocks() const;

    // Internal: used by the platform calls.
    Host& host() { return host_; }
    void timer_armed(const void* timer, uint64_t event) { armed_timers_[timer] = event; }
    void timer_disarmed(const void* timer) { armed_timers_.erase(timer); }
    bool range_has_armed_timer(const void* p, size_t len) const;
    void cancel_timers_in(const void* p, size_t len);
    void run_interrupt_dpc(PNDIS_MINIPORT_INTERRUPT interrupt);
    bool run_isr(PNDIS_MINIPORT_INTERRUPT interrupt);
    void set_registered(const NDIS_MINIPORT_CHARACTERISTICS& c) { chars_ = c; registered_ = true; }
    void set_wrapper_open(bool open) { wrapper_open_ = open; if (!open) ++wrapper_terminations_; }
    std::string current_config_key;  // the Parameters key of the adapter being initialised

private:
    void schedule_hang_check(Adapter* a);
    Host& host_;
    DRIVER_OBJECT driver_object_{};
    std::u16string registry_path_;
    UNICODE_STRING registry_path_string_{};
    NDIS_MINIPORT_CHARACTERISTICS chars_{};
    bool registered_ = false;
    bool wrapper_open_ = false;
    int wrapper_terminations_ = 0;
    NDIS_STATUS last_init_status_ = 0;
    std::vector<std::unique_ptr<Adapter>> adapters_;
    bool on_second_ = false;
    unsigned isr_depth_ = 0;
    std::map<const void*, uint64_t> armed_timers_;
    void driver_time_until(int64_t now_ns);
    int driver_depth_ = 0;
    bool driver_timed_ = false;  // the outermost entry in progress is one of the timed ones
    uint32_t sample_state_ = 0x9E3779B9u;
    int64_t driver_since_ns_ = 0;
    uint64_t register_ticks_ = 0;  // register time (in cycle-counter ticks) since driver_since_ns_
};

// Helpers for tests and tools.
std::u16string widen(const std::string& s);
std::string narrow(const UNICODE_STRING& s);

}  // namespace plat::ndis
