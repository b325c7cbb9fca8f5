// The machine the driver runs on: one virtual clock, the interrupt controller, the
// PCI bus, register windows, physical memory for DMA, the registry, a files root,
// the error log, the trace sink and fault injection. One Host exists at a time; the
// platform calls of the driver reach it through Host::current().
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/devices.h"
#include "platform/host/scheduler.h"
#include "platform/registry/registry.h"

namespace plat {

namespace ndis { class NdisState; }

// Interrupt request levels as the driver sees them.
enum : uint8_t { kPassiveLevel = 0, kDispatchLevel = 2, kDeviceLevel = 5, kHighLevel = 31 };

// The level at which an interrupt of the given bus level is served and synchronised
// with: as on a PC, a lower bus level is a higher priority. Always in
// [kDeviceLevel + 1, kHighLevel - 1].
inline uint8_t interrupt_irql(uint32_t bus_level) { return static_cast<uint8_t>(kHighLevel - 1 - bus_level % 25); }

class FaultInjector {
public:
    enum Point {
        Alloc,         // NdisAllocateMemory
        SharedMemory,  // NdisMAllocateSharedMemory
        MapIo,         // NdisMMapIoSpace
        MapRegisters,  // NdisMAllocateMapRegisters
        PciRead,       // NdisReadPciSlotInformation answers short
        PciWrite,      // NdisWritePciSlotInformation answers short
        PciAssign,     // NdisMPciAssignResources
        FileOpen,      // NdisOpenFile
        FileMap,       // NdisMapFile
        Interrupt,     // NdisMRegisterInterrupt
        Config,        // NdisOpenConfiguration
        Wrapper,       // NdisInitializeWrapper leaves the handle 0
        Register,      // NdisMRegisterMiniport answers NDIS_STATUS_FAILURE
        kCount
    };
    // The n-th call from now (1 = the next one) of that kind fails.
    void fail_at(Point p, uint64_t n);
    void fail_always(Point p, bool on) { always_[p] = on; }
    bool should_fail(Point p);          // counts one call
    uint64_t calls(Point p) const { return calls_[p]; }
    void reset();

private:
    uint64_t calls_[kCount] = {};
    uint64_t fail_on_[kCount] = {};
    bool always_[kCount] = {};
};

struct ErrorLogEntry {
    uint32_t code = 0;
    std::vector<uint32_t> values;
};

class TraceSink {
public:
    void write(const std::string& text);  // pieces are joined into lines
    const std::vector<std::string>& lines() const { return lines_; }
    bool contains(const std::string& needle) const;
    void clear() { lines_.clear(); partial_.clear(); }
    bool echo = false;  // also print each completed line to stderr
    bool keep = true;   // keep completed lines for lines() and contains()
    size_t limit = 100000;  // lines kept at most; the oldest half goes when it is reached
    // Whether a line written now goes anywhere: when not, callers need not format it.
    bool wanted() const { return echo || keep; }

private:
    std::vector<std::string> lines_;
    std::string partial_;
};

// Shared, level-sensitive interrupt lines. A line is asserted while any of its
// sources holds it. Connected service routines run at device level, at once when the
// current level allows, else as soon as the level drops below device level.
class InterruptController {
public:
    using Isr = std::function<bool()>;  // answers whether it claimed the interrupt
    int connect(uint32_t vector, Isr isr);
    void disconnect(int id);
    void set_level(uint32_t vector, const void* source, bool asserted);
    bool asserted(uint32_t vector) const;
    size_t connections() const { return isrs_.size(); }
    uint64_t unclaimed(uint32_t vector) const;
    void deliver();

private:
    struct Line {
        std::vector<const void*> sources;
        bool quiet = false;  // last delivery went unclaimed; wait for a level change
        uint64_t unclaimed = 0;
    };
    std::map<uint32_t, Line> lines_;
    std::map<int, std::pair<uint32_t, Isr>> isrs_;
    int next_id_ = 1;
    bool delivering_ = false;
};

// Register windows: mapped addresses lie in a reserved range that faults when touched
// directly; register accessors decode them to a device and an offset.
class IoSpace {
public:
    IoSpace();
    ~IoSpace();
    void claim(uint64_t phys, uint32_t length, MmioDevice* device);
    void release(MmioDevice* device);
    void* map(uint64_t phys, uint32_t length);  // nullptr when nothing is there
    bool unmap(void* va, uint32_t length);
    struct Decoded {
        MmioDevice* device = nullptr;  // nullptr: no device claims that physical range
        uint32_t offset = 0;
        bool window = false;           // the access lies wholly inside a mapped window
    };
    Decoded decode(const volatile void* address, unsigned width) const;
    size_t mapped() const { return windows_.size(); }
    bool in_reserved_range(const volatile void* address) const;

private:
    struct Claim { uint64_t phys; uint32_t length; MmioDevice* device; };
    struct Window { uintptr_t va; uint32_t length; uint64_t phys; };
    std::vector<Claim> claims_;
    std::map<uintptr_t, Window> windows_;
    uint8_t* base_ = nullptr;
    size_t size_ = 0;
    std::vector<bool> slots_;
    std::vector<const Window*> slot_window_;  // per slot, the window lying in it (decode without a tree walk)
};

// Host memory with physical addresses below 4 GiB, for DMA.
class PhysMemory {
public:
    struct Block {
        uint8_t* virt = nullptr;
        uint64_t phys = 0;
        size_t size = 0;
    };
    ~PhysMemory();
    Block allocate(size_t size);
    bool free(void* virt, size_t size);
    uint8_t* to_virt(uint64_t phys, size_t length) const;  // nullptr when not all inside one block
    size_t blocks() const { return blocks_.size(); }

private:
    uint8_t* to_virt_slow(uint64_t phys, size_t length) const;
    std::map<uint64_t, Block> blocks_;  // by physical address
    std::vector<const Block*> by_mib_;  // per MiB of the physical range, the block spanning it
    uint64_t next_phys_ = 0x10000000;
};

class PciBus {
public:
    // slot as the configuration calls take it: device | function << 5
    void attach(uint32_t slot, PciFunction* function);
    void detach(PciFunction* function);
    PciFunction* at(uint32_t slot) const;
    uint64_t allocate_mmio(uint32_t length);  // aligned to its length
    uint32_t allocate_vector();

private:
    std::map<uint32_t, PciFunction*> functions_;
    uint64_t next_mmio_ = 0xE0000000;
    uint32_t next_vector_ = 16;
};

class Host {
public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    static Host& current();
    static Host* current_or_null();

    Scheduler sched;
    FaultInjector faults;
    InterruptController irq;
    IoSpace io;
    PhysMemory phys;
    PciBus pci;
    reg::Registry registry;
    std::filesystem::path files_root;
    std::vector<ErrorLogEntry> error_log;
    TraceSink trace;
    ndis::NdisState& ndis() { return *ndis_; }

    void run_for(VTime dt) { sched.run_for(dt); }
    void run_until(VTime t) { sched.run_until(t); }
    VTime now() const { return sched.now(); }

    // Execution level. Lowering below device level delivers pending interrupts.
    uint8_t irql() const { return irql_; }
    uint8_t raise_irql(uint8_t level);
    void lower_irql(uint8_t level);
    // Changes to another processor's level (and back): no delivery, no check.
    uint8_t switch_processor_irql(uint8_t level)
    {
        uint8_t old = irql_;
        irql_ = level;
        return old;
    }

    // Misuse of the platform by the driver: recorded, and a test fails on it.
    void violation(const std::string& what);
    const std::vector<std::string>& violations() const { return violations_; }
    void clear_violations() { violations_.clear(); }

    // Outstanding pool allocations (NdisAllocateMemory) by address and length.
    std::map<const void*, size_t> allocations;

    // Run when the host is torn down (for example to reset a driver's globals).
    void on_teardown(std::function<void()> fn) { teardown_.push_back(std::move(fn)); }

private:
    std::unique_ptr<ndis::NdisState> ndis_;
    uint8_t irql_ = kPassiveLevel;
    std::vector<std::string> violations_;
    std::vector<std::function<void()>> teardown_;
};

}  // namespace plat
