#include "sim/board/pci_device.h"
#include "platform/host/history.h"

#include <algorithm>
#include <cstring>

namespace sim {

// ---- register storage ----

uint32_t RegisterStore::mmio_read(uint32_t offset, unsigned width)
{
    return peek(offset, width);
}

void RegisterStore::mmio_write(uint32_t offset, unsigned width, uint32_t value)
{
    value &= width_mask(width);
    plat::push_bounded(writes_, Write{clock_.now(), offset, width, value});
    poke(offset, value, width);
}

uint32_t RegisterStore::peek(uint32_t offset, unsigned width) const
{
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        auto it = bytes_.find(offset + i);
        if (it != bytes_.end()) value |= uint32_t(it->second) << (8 * i);
    }
    return value;
}

void RegisterStore::poke(uint32_t offset, uint32_t value, unsigned width)
{
    for (unsigned i = 0; i < width; ++i) bytes_[offset + i] = uint8_t(value >> (8 * i));
}

// ---- PCI function ----

PciFunctionModel::PciFunctionModel(plat::Host& host, uint32_t slot, const PciFunctionSetup& setup,
                                   plat::MmioDevice* target)
    : host_(host), slot_(slot), setup_(setup), target_(target)
{
    if (setup_.attached) {
        if (setup_.bar_size != 0) bar_base_ = setup_.bar_base.value_or(host_.pci.allocate_mmio(setup_.bar_size));
        if (setup_.interrupt_pin != 0 && !setup_.interrupt_unrouted) vector_ = host_.pci.allocate_vector();
    }

    set_config(kPciVendorId, setup_.vendor, 2);
    set_config(kPciDeviceId, setup_.device, 2);
    set_config(kPciCommand, 0, 2, setup_.writable_command & ~setup_.command_stuck_clear);
    set_config(kPciStatus, 0x0200, 2);  // medium DEVSEL timing
    set_config(kPciRevision, 1, 1);
    set_config(kPciClassCode, setup_.class_code, 3);
    set_config(kPciCacheLine, 0, 1, 0xFF);
    set_config(kPciLatency, 0, 1, 0xFF);
    set_config(kPciHeaderType, setup_.header_type, 1);
    if (setup_.bar_size != 0) set_config(kPciBar0, uint32_t(bar_base_), 4, ~(setup_.bar_size - 1));
    set_config(kPciSubsystemVendor, setup_.subsystem_vendor, 2);
    set_config(kPciSubsystemId, setup_.subsystem_id, 2);
    set_config(kPciInterruptLine, vector_ != 0 ? vector_ & 0xFF : 0xFF, 1, 0xFF);
    set_config(kPciInterruptPin, setup_.interrupt_pin, 1);

    if (setup_.attached) host_.pci.attach(slot_, this);
}

PciFunctionModel::~PciFunctionModel()
{
    host_.io.release(&window_);
    host_.pci.detach(this);
}

void PciFunctionModel::set_config(uint32_t offset, uint32_t value, unsigned width, uint32_t writable)
{
    for (unsigned i = 0; i < width; ++i) {
        config_[offset + i] = uint8_t(value >> (8 * i));
        writable_[offset + i] = uint8_t(writable >> (8 * i));
    }
}

uint32_t PciFunctionModel::config_read(uint32_t offset, void* buffer, uint32_t length)
{
    if (offset >= kPciConfigSize) return 0;
    uint32_t n = std::min(length, kPciConfigSize - offset);
    if (setup_.short_config_reads != 0) n = std::min(n, setup_.short_config_reads);
    std::memcpy(buffer, config_.data() + offset, n);
    return n;
}

uint32_t PciFunctionModel::config_write(uint32_t offset, const void* buffer, uint32_t length)
{
    if (offset >= kPciConfigSize) return 0;
    uint32_t n = std::min(length, kPciConfigSize - offset);
    auto* in = static_cast<const uint8_t*>(buffer);
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t& b = config_[offset + i];
        uint8_t w = writable_[offset + i];
        b = uint8_t((b & ~w) | (in[i] & w));
    }
    if (setup_.bar_size != 0 && offset < kPciBar0 + 4 && offset + n > kPciBar0) {
        uint32_t bar;
        std::memcpy(&bar, config_.data() + kPciBar0, 4);
        bar_base_ = bar & ~0xFu;
    }
    update_decode();
    return n;
}

plat::PciAssigned PciFunctionModel::assigned_resources()
{
    plat::PciAssigned a;
    if (setup_.bar_size != 0) a.memory.push_back({bar_base_, setup_.bar_size});
    a.interrupt_vector = vector_;
    a.interrupt_level = vector_;
    return a;
}

void PciFunctionModel::update_decode()
{
    decoding_ = setup_.attached && setup_.bar_size != 0 && bar_base_ != 0 && (command() & kPciCommandMemory) != 0;
    if (decoding_)
        host_.io.claim(bar_base_, setup_.bar_size, &window_);
    else
        host_.io.release(&window_);
}

uint32_t PciFunctionModel::Window::mmio_read(uint32_t offset, unsigned width)
{
    if (!fn_.decoding_ || fn_.target_ == nullptr) {
        ++fn_.disabled_reads_;
        return width_mask(width);
    }
    return fn_.target_->mmio_read(offset, width);
}

void PciFunctionModel::Window::mmio_write(uint32_t offset, unsigned width, uint32_t value)
{
    if (!fn_.decoding_ || fn_.target_ == nullptr) {
        ++fn_.dropped_writes_;
        return;
    }
    fn_.target_->mmio_write(offset, width, value);
}

// ---- foreign device ----

namespace {

PciFunctionSetup foreign_setup(uint16_t vendor, uint16_t device, uint32_t bar_size, bool interrupt)
{
    PciFunctionSetup s;
    s.vendor = vendor;
    s.device = device;
    s.class_code = 0x020000;  // Ethernet controller
    s.subsystem_vendor = vendor;
    s.subsystem_id = device;
    s.bar_size = bar_size;
    s.interrupt_pin = interrupt ? 1 : 0;
    return s;
}

}  // namespace

ForeignPciDevice::ForeignPciDevice(plat::Host& host, uint32_t slot, uint16_t vendor, uint16_t device,
                                   uint32_t bar_size, bool interrupt)
    : store_(host.sched), function_(host, slot, foreign_setup(vendor, device, bar_size, interrupt), &store_)
{
}

}  // namespace sim
