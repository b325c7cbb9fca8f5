// PCI building blocks of the simulated world: plain register storage with a write log,
// a PCI function with a type-0 header, one 32-bit memory BAR and one interrupt, and a
// foreign device that only occupies a slot.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/host/devices.h"
#include "platform/host/host.h"

namespace sim {

constexpr uint32_t width_mask(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

// Registers that hold what was written (little-endian byte lanes, unwritten bytes 0)
// and log every write with its virtual time.
class RegisterStore : public plat::MmioDevice {
public:
    struct Write {
        plat::VTime time = 0;
        uint32_t offset = 0;
        unsigned width = 0;
        uint32_t value = 0;
    };

    explicit RegisterStore(const plat::Scheduler& clock) : clock_(clock) {}

    uint32_t mmio_read(uint32_t offset, unsigned width) override;
    void mmio_write(uint32_t offset, unsigned width, uint32_t value) override;

    uint32_t peek(uint32_t offset, unsigned width = 4) const;
    void poke(uint32_t offset, uint32_t value, unsigned width = 4);  // not logged
    const std::vector<Write>& writes() const { return writes_; }
    void clear_writes() { writes_.clear(); }

private:
    const plat::Scheduler& clock_;
    std::unordered_map<uint32_t, uint8_t> bytes_;
    std::vector<Write> writes_;
};

// Configuration offsets and command bits.
enum : uint32_t {
    kPciVendorId = 0x00,
    kPciDeviceId = 0x02,
    kPciCommand = 0x04,
    kPciStatus = 0x06,
    kPciRevision = 0x08,
    kPciClassCode = 0x09,  // programming interface, subclass, base class
    kPciCacheLine = 0x0C,
    kPciLatency = 0x0D,
    kPciHeaderType = 0x0E,
    kPciBar0 = 0x10,
    kPciSubsystemVendor = 0x2C,
    kPciSubsystemId = 0x2E,
    kPciInterruptLine = 0x3C,
    kPciInterruptPin = 0x3D,
    kPciConfigSize = 0x100,
};
enum : uint16_t {
    kPciCommandMemory = 0x0002,
    kPciCommandMaster = 0x0004,
    kPciCommandSerr = 0x0100,
};

struct PciFunctionSetup {
    uint16_t vendor = 0;
    uint16_t device = 0;
    uint32_t class_code = 0;  // base class << 16 | subclass << 8 | programming interface
    uint8_t header_type = 0;
    uint16_t subsystem_vendor = 0;
    uint16_t subsystem_id = 0;
    uint32_t bar_size = 0;                   // BAR0: 32-bit memory of this size (a power of two >= 16); 0 = none
    std::optional<uint64_t> bar_base;        // BAR0 placed here instead of a range from the bus
    uint8_t interrupt_pin = 0;               // 1-4 = INTA-INTD, with a vector from the bus; 0 = none
    bool interrupt_unrouted = false;         // has a pin but no vector (resources list no interrupt)
    uint16_t writable_command = kPciCommandMemory | kPciCommandMaster | kPciCommandSerr;
    uint16_t command_stuck_clear = 0;        // command bits that never set
    uint32_t short_config_reads = 0;         // 0 = off; else a read moves at most this many bytes
    bool attached = true;                    // false: the slot stays empty
};

// One PCI function. BAR0 decodes (is claimed in host.io and reaches the target) only
// while the command register's memory-space bit is on; an access that arrives while it
// is off reads all ones, and a write is dropped and counted.
class PciFunctionModel : public plat::PciFunction {
public:
    PciFunctionModel(plat::Host& host, uint32_t slot, const PciFunctionSetup& setup, plat::MmioDevice* target);
    ~PciFunctionModel() override;
    PciFunctionModel(const PciFunctionModel&) = delete;
    PciFunctionModel& operator=(const PciFunctionModel&) = delete;

    uint32_t config_read(uint32_t offset, void* buffer, uint32_t length) override;
    uint32_t config_write(uint32_t offset, const void* buffer, uint32_t length) override;
    plat::PciAssigned assigned_resources() override;

    uint32_t slot() const { return slot_; }
    bool attached() const { return setup_.attached; }
    uint16_t command() const { return config16(kPciCommand); }
    uint64_t bar_base() const { return bar_base_; }
    uint32_t bar_size() const { return setup_.bar_size; }
    bool decoding() const { return decoding_; }
    uint32_t vector() const { return vector_; }
    uint64_t disabled_reads() const { return disabled_reads_; }
    uint64_t dropped_writes() const { return dropped_writes_; }

    // What BAR0 answers as seen from the bus, for tests that bypass the host's windows.
    plat::MmioDevice& bar_window() { return window_; }

private:
    class Window : public plat::MmioDevice {
    public:
        explicit Window(PciFunctionModel& fn) : fn_(fn) {}
        uint32_t mmio_read(uint32_t offset, unsigned width) override;
        void mmio_write(uint32_t offset, unsigned width, uint32_t value) override;

    private:
        PciFunctionModel& fn_;
    };

    uint16_t config16(uint32_t offset) const { return uint16_t(config_[offset] | config_[offset + 1] << 8); }
    void set_config(uint32_t offset, uint32_t value, unsigned width, uint32_t writable = 0);
    void update_decode();

    plat::Host& host_;
    uint32_t slot_;
    PciFunctionSetup setup_;
    plat::MmioDevice* target_;
    Window window_{*this};
    std::array<uint8_t, kPciConfigSize> config_{};
    std::array<uint8_t, kPciConfigSize> writable_{};
    uint64_t bar_base_ = 0;
    uint32_t vector_ = 0;
    bool decoding_ = false;
    uint64_t disabled_reads_ = 0;
    uint64_t dropped_writes_ = 0;
};

// Another vendor's device on the bus: an identity, optionally a BAR of plain storage
// and an interrupt. The driver must leave it alone.
class ForeignPciDevice {
public:
    ForeignPciDevice(plat::Host& host, uint32_t slot, uint16_t vendor, uint16_t device, uint32_t bar_size = 0,
                     bool interrupt = false);

    PciFunctionModel& function() { return function_; }
    RegisterStore& registers() { return store_; }

private:
    RegisterStore store_;
    PciFunctionModel function_;
};

}  // namespace sim
