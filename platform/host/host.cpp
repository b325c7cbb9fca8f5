#include "platform/host/host.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "platform/ndis/ndis_host.h"

namespace plat {

// ---- fault injection ----

void FaultInjector::fail_at(Point p, uint64_t n)
{
    fail_on_[p] = n == 0 ? 0 : calls_[p] + n;
}

bool FaultInjector::should_fail(Point p)
{
    ++calls_[p];
    if (always_[p]) return true;
    if (fail_on_[p] != 0 && calls_[p] == fail_on_[p]) {
        fail_on_[p] = 0;
        return true;
    }
    return false;
}

void FaultInjector::reset()
{
    for (int i = 0; i < kCount; ++i) {
        calls_[i] = 0;
        fail_on_[i] = 0;
        always_[i] = false;
    }
}

// ---- trace ----

void TraceSink::write(const std::string& text)
{
    for (char c : text) {
        if (c == '\n') {
            if (echo) std::fprintf(stderr, "%s\n", partial_.c_str());
            if (keep) {
                if (lines_.size() >= limit) lines_.erase(lines_.begin(), lines_.begin() + std::ptrdiff_t(lines_.size() / 2));
                lines_.push_back(std::move(partial_));
            }
            partial_.clear();
        } else {
            partial_ += c;
        }
    }
}

bool TraceSink::contains(const std::string& needle) const
{
    for (const auto& l : lines_)
        if (l.find(needle) != std::string::npos) return true;
    return partial_.find(needle) != std::string::npos;
}

// ---- interrupts ----

int InterruptController::connect(uint32_t vector, Isr isr)
{
    int id = next_id_++;
    isrs_.emplace(id, std::make_pair(vector, std::move(isr)));
    lines_[vector].quiet = false;
    deliver();
    return id;
}

void InterruptController::disconnect(int id)
{
    isrs_.erase(id);
}

void InterruptController::set_level(uint32_t vector, const void* source, bool asserted)
{
    Line& line = lines_[vector];
    auto it = std::find(line.sources.begin(), line.sources.end(), source);
    bool was = !line.sources.empty();
    bool joined = asserted && it == line.sources.end();
    if (joined) line.sources.push_back(source);
    if (!asserted && it != line.sources.end()) line.sources.erase(it);
    bool now = !line.sources.empty();
    if (was != now || joined) line.quiet = false;  // a source joining a quiet line is new work
    if (now) deliver();
}

bool InterruptController::asserted(uint32_t vector) const
{
    auto it = lines_.find(vector);
    return it != lines_.end() && !it->second.sources.empty();
}

uint64_t InterruptController::unclaimed(uint32_t vector) const
{
    auto it = lines_.find(vector);
    return it == lines_.end() ? 0 : it->second.unclaimed;
}

void InterruptController::deliver()
{
    Host* host = Host::current_or_null();
    if (host == nullptr || delivering_ || host->irql() >= kDeviceLevel) return;
    delivering_ = true;
    for (int round = 0; round < 64; ++round) {
        bool served = false;
        for (auto& [vector, line] : lines_) {
            if (line.sources.empty() || line.quiet) continue;
            std::vector<Isr> isrs;
            for (auto& [id, entry] : isrs_)
                if (entry.first == vector) isrs.push_back(entry.second);
            if (isrs.empty()) continue;
            uint8_t old = host->raise_irql(kDeviceLevel);
            bool claimed = false;
            for (auto& isr : isrs) claimed |= isr();
            host->lower_irql(old);
            if (!claimed) {
                line.quiet = true;
                ++line.unclaimed;
            } else {
                served = true;
            }
        }
        if (!served) {
            delivering_ = false;
            return;
        }
    }
    delivering_ = false;
    host->violation("interrupt storm: a claimed interrupt line stays asserted");
}

// ---- register windows ----

namespace {
constexpr size_t kWindowSlot = 0x100000;  // 1 MiB per slot
constexpr size_t kIoReserve = 256 * kWindowSlot;
}

IoSpace::IoSpace()
{
    void* p = mmap(nullptr, kIoReserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        std::perror("reserving register window range");
        std::abort();
    }
    base_ = static_cast<uint8_t*>(p);
    size_ = kIoReserve;
    slots_.assign(kIoReserve / kWindowSlot, false);
    slot_window_.assign(kIoReserve / kWindowSlot, nullptr);
}

IoSpace::~IoSpace()
{
    munmap(base_, size_);
}

void IoSpace::claim(uint64_t phys, uint32_t length, MmioDevice* device)
{
    release(device);
    claims_.push_back({phys, length, device});
}

void IoSpace::release(MmioDevice* device)
{
    claims_.erase(std::remove_if(claims_.begin(), claims_.end(), [&](const Claim& c) { return c.device == device; }),
                  claims_.end());
}

void* IoSpace::map(uint64_t phys, uint32_t length)
{
    if (length == 0) return nullptr;
    size_t need = (length + kWindowSlot - 1) / kWindowSlot;
    for (size_t i = 0; i + need <= slots_.size(); ++i) {
        bool free = true;
        for (size_t j = 0; j < need && free; ++j) free = !slots_[i + j];
        if (!free) continue;
        uintptr_t va = reinterpret_cast<uintptr_t>(base_) + i * kWindowSlot;
        const Window* w = &(windows_[va] = {va, length, phys});
        for (size_t j = 0; j < need; ++j) {
            slots_[i + j] = true;
            slot_window_[i + j] = w;
        }
        return reinterpret_cast<void*>(va);
    }
    return nullptr;
}

bool IoSpace::unmap(void* va, uint32_t length)
{
    auto it = windows_.find(reinterpret_cast<uintptr_t>(va));
    if (it == windows_.end() || it->second.length != length) return false;
    size_t first = (it->first - reinterpret_cast<uintptr_t>(base_)) / kWindowSlot;
    size_t need = (length + kWindowSlot - 1) / kWindowSlot;
    for (size_t j = 0; j < need; ++j) {
        slots_[first + j] = false;
        slot_window_[first + j] = nullptr;
    }
    windows_.erase(it);
    return true;
}

bool IoSpace::in_reserved_range(const volatile void* address) const
{
    auto a = reinterpret_cast<uintptr_t>(address);
    return a >= reinterpret_cast<uintptr_t>(base_) && a < reinterpret_cast<uintptr_t>(base_) + size_;
}

IoSpace::Decoded IoSpace::decode(const volatile void* address, unsigned width) const
{
    // Windows start on slot boundaries and lie in the slots they take: the slot of the
    // address names the only window it can be in.
    auto a = reinterpret_cast<uintptr_t>(address);
    auto b = reinterpret_cast<uintptr_t>(base_);
    if (a < b || a - b >= size_) return {};
    const Window* found = slot_window_[(a - b) / kWindowSlot];
    if (found == nullptr) return {};
    const Window& w = *found;
    if (a + width > w.va + w.length) return {};
    uint64_t phys = w.phys + (a - w.va);
    for (const Claim& c : claims_)
        if (phys >= c.phys && phys + width <= c.phys + c.length)
            return {c.device, static_cast<uint32_t>(phys - c.phys), true};
    return {nullptr, 0, true};
}

// ---- physical memory ----

PhysMemory::~PhysMemory()
{
    for (auto& [phys, b] : blocks_) std::free(b.virt);
}

namespace {
constexpr uint64_t kPhysBase = 0x10000000;
constexpr uint64_t kPhysTop = 0xE0000000;  // PCI memory space starts here
uint64_t phys_span(size_t size) { return (size + 0xFFFFF) & ~uint64_t(0xFFFFF); }  // each block on its own MiB
}

PhysMemory::Block PhysMemory::allocate(size_t size)
{
    if (size == 0 || phys_span(size) > kPhysTop - kPhysBase) return {};
    // The first free range at or after next_phys_, wrapping once.
    uint64_t span = phys_span(size);
    uint64_t at = next_phys_;
    for (bool wrapped = false;;) {
        if (at + span > kPhysTop) {
            if (wrapped) return {};
            wrapped = true;
            at = kPhysBase;
        }
        auto it = blocks_.lower_bound(at);
        if (it != blocks_.begin()) {
            auto prev = std::prev(it);
            uint64_t end = prev->first + phys_span(prev->second.size);
            if (end > at) {
                at = end;
                continue;
            }
        }
        if (it != blocks_.end() && it->first < at + span) {
            at = it->first + phys_span(it->second.size);
            continue;
        }
        break;
    }
    size_t rounded = (size + 4095) & ~size_t(4095);
    void* p = std::aligned_alloc(4096, rounded);
    if (p == nullptr) return {};
    Block b{static_cast<uint8_t*>(p), at, size};
    next_phys_ = at + span;
    const Block* kept = &(blocks_[b.phys] = b);
    if (by_mib_.empty()) by_mib_.assign((kPhysTop - kPhysBase) >> 20, nullptr);
    for (uint64_t m = (at - kPhysBase) >> 20, n = span >> 20; n > 0; ++m, --n) by_mib_[m] = kept;
    return b;
}

bool PhysMemory::free(void* virt, size_t size)
{
    for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
        if (it->second.virt == virt) {
            if (it->second.size != size) return false;
            for (uint64_t m = (it->first - kPhysBase) >> 20, n = phys_span(size) >> 20; n > 0; ++m, --n)
                by_mib_[m] = nullptr;
            std::free(it->second.virt);
            blocks_.erase(it);
            return true;
        }
    }
    return false;
}

// Each block lies alone on the MiBs it spans: the MiB of the address names the block.
uint8_t* PhysMemory::to_virt(uint64_t phys, size_t length) const
{
    if (phys >= kPhysBase && phys < kPhysTop && !by_mib_.empty()) {
        if (const Block* b = by_mib_[(phys - kPhysBase) >> 20]) {
            uint64_t off = phys - b->phys;
            if (off > b->size || length > b->size - off) return nullptr;
            return b->virt + off;
        }
    }
    return to_virt_slow(phys, length);
}

uint8_t* PhysMemory::to_virt_slow(uint64_t phys, size_t length) const
{
    auto it = blocks_.upper_bound(phys);
    if (it == blocks_.begin()) return nullptr;
    --it;
    const Block& b = it->second;
    uint64_t off = phys - b.phys;
    if (off > b.size || length > b.size - off) return nullptr;
    return b.virt + (phys - b.phys);
}

// ---- PCI bus ----

void PciBus::attach(uint32_t slot, PciFunction* function)
{
    functions_[slot] = function;
}

void PciBus::detach(PciFunction* function)
{
    for (auto it = functions_.begin(); it != functions_.end();) {
        if (it->second == function)
            it = functions_.erase(it);
        else
            ++it;
    }
}

PciFunction* PciBus::at(uint32_t slot) const
{
    auto it = functions_.find(slot);
    return it == functions_.end() ? nullptr : it->second;
}

uint64_t PciBus::allocate_mmio(uint32_t length)
{
    uint64_t align = length < 0x1000 ? 0x1000 : length;
    uint64_t base = (next_mmio_ + align - 1) & ~(align - 1);
    next_mmio_ = base + length;
    return base;
}

uint32_t PciBus::allocate_vector()
{
    return next_vector_++;
}

// ---- host ----

namespace {
Host* g_current = nullptr;
}

Host::Host()
{
    if (g_current != nullptr) {
        std::fprintf(stderr, "only one Host may exist at a time\n");
        std::abort();
    }
    g_current = this;
    ndis_ = std::make_unique<ndis::NdisState>(*this);
}

Host::~Host()
{
    for (auto& fn : teardown_) fn();
    sched.clear();
    ndis_.reset();
    g_current = nullptr;
}

Host& Host::current()
{
    if (g_current == nullptr) {
        std::fprintf(stderr, "no Host\n");
        std::abort();
    }
    return *g_current;
}

Host* Host::current_or_null()
{
    return g_current;
}

uint8_t Host::raise_irql(uint8_t level)
{
    uint8_t old = irql_;
    if (level < irql_) violation("raising the interrupt level to below the current one");
    irql_ = level;
    return old;
}

void Host::lower_irql(uint8_t level)
{
    if (level > irql_) violation("lowering the interrupt level to above the current one");
    irql_ = level;
    if (irql_ < kDeviceLevel) irq.deliver();
}

void Host::violation(const std::string& what)
{
    violations_.push_back(what);
    std::fprintf(stderr, "platform misuse: %s\n", what.c_str());
}

}  // namespace plat
