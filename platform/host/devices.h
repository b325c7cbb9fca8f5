// What a device model offers the host: register space, PCI configuration space and
// an interrupt line. Device models live in sim/; the host only routes to them.
#pragma once

#include <cstdint>
#include <vector>

namespace plat {

// A block of registers reached through a mapped window. Width is 1, 2 or 4 bytes.
class MmioDevice {
public:
    virtual ~MmioDevice() = default;
    virtual uint32_t mmio_read(uint32_t offset, unsigned width) = 0;
    virtual void mmio_write(uint32_t offset, unsigned width, uint32_t value) = 0;
};

// Resources as the bus assigned them to one PCI function.
struct PciMemoryRange {
    uint64_t base = 0;
    uint32_t length = 0;
};

struct PciAssigned {
    std::vector<PciMemoryRange> memory;  // in BAR order
    uint32_t interrupt_vector = 0;       // 0: none
    uint32_t interrupt_level = 0;
};

// One function of a PCI device. Configuration reads and writes answer how many bytes
// they moved, which may be fewer than asked (a misbehaving board).
class PciFunction {
public:
    virtual ~PciFunction() = default;
    virtual uint32_t config_read(uint32_t offset, void* buffer, uint32_t length) = 0;
    virtual uint32_t config_write(uint32_t offset, const void* buffer, uint32_t length) = 0;
    virtual PciAssigned assigned_resources() = 0;
};

// PCI slot numbers as the configuration calls take them: device in bits 0-4,
// function in bits 5-7.
constexpr uint32_t pci_slot(uint32_t device, uint32_t function) { return (device & 0x1F) | ((function & 7) << 5); }

}  // namespace plat
