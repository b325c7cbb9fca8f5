#include "sim/board/board.h"
#include "platform/host/history.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string>

namespace sim {

namespace {

// Board types by AdapterID. The local bus is addressed in 32-bit words; the table keeps
// bytes (word offset x 4).
constexpr std::array<uint32_t, 8> kSocketsAt16K{0x00000, 0x04000, 0x08000, 0x0C000,
                                                0x10000, 0x14000, 0x18000, 0x1C000};
constexpr std::array<uint32_t, 4> kFramersWide{0x20000, 0x2C000, 0x30000, 0x34000};
constexpr std::array<uint32_t, 4> kFramersLow{0x00000, 0x04000, 0x08000, 0x0C000};
constexpr std::array<uint32_t, 4> kLedsSeparate{0x03, 0x0C, 0x30, 0xC0};

constexpr BoardType shared_latch_type(uint32_t lines, uint32_t sockets, std::array<uint32_t, 4> per_group,
                                      std::array<uint32_t, 8> windows, std::array<uint32_t, 8> groups,
                                      std::array<uint32_t, 4> framers, std::array<uint32_t, 4> leds,
                                      uint32_t irq_bits, uint32_t reset_bits, uint32_t step)
{
    BoardType t;
    t.lines = lines;
    t.sockets = sockets;
    t.sockets_per_group = per_group;
    t.socket_window = windows;
    t.socket_group = groups;
    t.framer_window = framers;
    t.led_bits = leds;
    t.irq_latch = t.led_latch = t.reset_latch = 0x28000;
    t.irq_bits = irq_bits;
    t.reset_bits = reset_bits;
    t.timeslot_step = step;
    return t;
}

constexpr BoardType separate_latch_type(std::array<uint32_t, 4> per_group, std::array<uint32_t, 8> windows,
                                        std::array<uint32_t, 8> groups)
{
    BoardType t;
    t.lines = 4;
    t.sockets = 4;
    t.sockets_per_group = per_group;
    t.socket_window = windows;
    t.socket_group = groups;
    t.framer_window = kFramersLow;
    t.led_bits = kLedsSeparate;
    t.irq_latch = 0x14000;
    t.led_latch = 0x10000;
    t.reset_latch = 0x16000;
    t.irq_bits = 0x3;
    t.reset_bits = 0xFE;
    t.timeslot_step = 32;
    return t;
}

const std::array<BoardType, kBoardTypes> kBoardTable{
    BoardType{},
    shared_latch_type(1, 8, {2, 2, 2, 2}, kSocketsAt16K, {0, 0, 1, 1, 2, 2, 3, 3}, kFramersWide, {}, 0x1, 0x01, 16),
    shared_latch_type(4, 8, {2, 2, 2, 2}, kSocketsAt16K, {0, 0, 1, 1, 2, 2, 3, 3}, kFramersWide, {}, 0x6, 0xEF, 32),
    shared_latch_type(4, 0, {}, {}, {}, kFramersWide, {}, 0x6, 0xEF, 0),
    shared_latch_type(1, 5, {5, 0, 0, 0}, {0x00000, 0x04000, 0x08000, 0x0C000, 0x10000}, {},
                      {0x20000, 0x24000, 0x30000, 0x34000}, {0x0C, 0x30, 0, 0}, 0x1, 0xFD, 24),
    separate_latch_type({4, 0, 0, 0}, {0x18000, 0x20000, 0x28000, 0x30000}, {}),
    separate_latch_type({2, 2, 0, 0}, {0x18000, 0x28000, 0x20000, 0x30000}, {0, 0, 1, 1}),
    separate_latch_type({1, 1, 1, 1}, {0x18000, 0x20000, 0x28000, 0x30000}, {0, 1, 2, 3}),
};

// Module types by ModuleID: processor stride, second window (bytes), processors, pumps,
// time-slot step, variant.
constexpr std::array<ModuleType, kModuleTypes> kModuleTable{{
    {0, 0, 0, 0, 0, 0},
    {0x100, 0x200, 1, 3, 12, 0},   {0x100, 0x200, 1, 6, 24, 0},   {0x100, 0x200, 1, 12, 48, 0},
    {0x100, 0x200, 2, 3, 12, 0},   {0x100, 0x200, 2, 6, 24, 0},   {0x100, 0x200, 2, 12, 48, 0},
    {0x100, 0x200, 1, 3, 12, 1},   {0x100, 0x200, 1, 6, 24, 1},   {0x100, 0x200, 1, 12, 48, 1},
    {0x100, 0x200, 2, 3, 12, 1},   {0x100, 0x200, 2, 6, 24, 1},   {0x100, 0x200, 2, 12, 48, 1},
    {0x4000, 0x2000, 1, 3, 12, 0}, {0x4000, 0x2000, 1, 6, 24, 0}, {0x4000, 0x2000, 1, 12, 48, 0},
    {0x4000, 0x2000, 2, 3, 12, 0}, {0x4000, 0x2000, 2, 6, 24, 0}, {0x4000, 0x2000, 2, 12, 48, 0},
    {0x4000, 0x2000, 1, 3, 12, 1}, {0x4000, 0x2000, 1, 6, 24, 1}, {0x4000, 0x2000, 1, 12, 48, 1},
    {0x4000, 0x2000, 2, 3, 12, 1}, {0x4000, 0x2000, 2, 6, 24, 1}, {0x4000, 0x2000, 2, 12, 48, 1},
}};

constexpr uint32_t kClassNetworkOther = 0x028000;
constexpr uint32_t kClassBridgeOther = 0x068000;
constexpr uint8_t kMultiFunction = 0x80;

}  // namespace

const BoardType& board_type(uint32_t adapter_id)
{
    return kBoardTable.at(adapter_id);
}

const ModuleType& module_type(uint32_t module_id)
{
    return kModuleTable.at(module_id);
}

// ---- configuration from the registry ----

namespace {

uint32_t read_parameter(const plat::reg::Registry& registry, const std::string& path, const std::string& name,
                        uint32_t fallback, uint32_t max)
{
    auto v = registry.get_value(path, name);
    if (!v) return fallback;
    uint32_t n = 0;
    if (v->type == plat::reg::Type::Dword) {
        n = v->dword;
    } else if (v->type == plat::reg::Type::Sz) {
        const char* end = v->sz.data() + v->sz.size();
        auto [p, ec] = std::from_chars(v->sz.data(), end, n);
        if (ec != std::errc() || p != end) return fallback;
    } else {
        return fallback;
    }
    return n <= max ? n : fallback;
}

}  // namespace

BoardConfig board_config_from_registry(const plat::reg::Registry& registry, unsigned instance, uint32_t slot)
{
    const std::string path = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET" +
                             std::to_string(instance) + "\\Parameters";
    BoardConfig c;
    c.slot = slot;
    c.adapter_id = read_parameter(registry, path, "AdapterID", 4, kBoardTypes - 1);
    const BoardType& t = board_type(c.adapter_id);
    c.device_id = t.lines == 4 ? kDeviceFourLine : kDeviceOneLine;
    for (uint32_t k = 0; k < kMaxSockets; ++k) {
        uint32_t id = read_parameter(registry, path, "ModuleID_" + std::to_string(k), 4, kModuleTypes - 1);
        c.module_id[k] = k < t.sockets ? id : 0;
    }
    return c;
}

// ---- board ----

Board::Board(plat::Host& host, const BoardConfig& config)
    : host_(host), config_(config), type_(board_type(config.adapter_id))
{
    hdlc_store_ = std::make_unique<RegisterStore>(host_.sched);
    for (auto& s : framer_stores_) s = std::make_unique<RegisterStore>(host_.sched);
    for (auto& s : socket_stores_) s = std::make_unique<RegisterStore>(host_.sched);
    build_local_bus();

    PciFunctionSetup f0;
    f0.vendor = kVendorId;
    f0.device = config_.device_id;
    f0.class_code = kClassNetworkOther;
    f0.header_type = kMultiFunction;
    f0.subsystem_vendor = kVendorId;
    f0.subsystem_id = config_.device_id;
    f0.bar_size = kBarSize;
    f0.interrupt_pin = 1;
    f0.interrupt_unrouted = config_.interrupt_unrouted[0];
    f0.command_stuck_clear = config_.command_stuck_clear[0];
    f0.short_config_reads = config_.short_config_reads[0];
    functions_[0] = std::make_unique<PciFunctionModel>(host_, plat::pci_slot(config_.slot, 0), f0, &bar0_);

    PciFunctionSetup f1 = f0;
    f1.device = kDeviceLocalBus;
    f1.class_code = kClassBridgeOther;
    f1.subsystem_id = kDeviceLocalBus;
    if (config_.bar1_offset) f1.bar_base = uint64_t(int64_t(bar_base(0)) + *config_.bar1_offset);
    f1.interrupt_unrouted = config_.interrupt_unrouted[1];
    f1.command_stuck_clear = config_.command_stuck_clear[1];
    f1.short_config_reads = config_.short_config_reads[1];
    f1.attached = !config_.function1_absent;
    functions_[1] = std::make_unique<PciFunctionModel>(host_, plat::pci_slot(config_.slot, 1), f1, &local_bus_device_);
}

Board::~Board()
{
    for (int fn = 0; fn < 2; ++fn)
        if (driven_[fn]) host_.irq.set_level(vector(fn), functions_[fn].get(), false);
}

bool Board::socket_fitted(int socket) const
{
    return socket >= 0 && uint32_t(socket) < type_.sockets && config_.module_id[socket] != 0;
}

void Board::build_local_bus()
{
    for (uint32_t line = 0; line < type_.lines; ++line)
        local_bus_.push_back({Region::Framer, int(line), type_.framer_window[line], kFramerWindow});
    if (type_.has_latches()) {
        auto add_latch = [&](Latch which, uint32_t offset) {
            for (const Region& r : local_bus_)
                if (r.kind == Region::Latch && r.offset == offset) return;
            local_bus_.push_back({Region::Latch, int(which), offset, 4});
        };
        add_latch(Latch::Irq, type_.irq_latch);
        add_latch(Latch::Led, type_.led_latch);
        add_latch(Latch::Reset, type_.reset_latch);
    }
    // A socket's window reaches to the next region of the board type, fitted or not.
    std::vector<uint32_t> starts;
    for (const Region& r : local_bus_) starts.push_back(r.offset);
    for (uint32_t s = 0; s < type_.sockets; ++s) starts.push_back(type_.socket_window[s]);
    for (uint32_t s = 0; s < type_.sockets; ++s) {
        if (!socket_fitted(int(s))) continue;
        uint32_t start = type_.socket_window[s];
        uint32_t end = std::min(start + kSocketWindowMax, kBarSize);
        for (uint32_t o : starts)
            if (o > start) end = std::min(end, o);
        local_bus_.push_back({Region::Socket, int(s), start, end - start});
    }
    std::sort(local_bus_.begin(), local_bus_.end(),
              [](const Region& a, const Region& b) { return a.offset < b.offset; });
    page_first_region_.assign(kBarSize >> kPageShift, uint8_t(local_bus_.size()));
    for (uint32_t page = 0; page < page_first_region_.size(); ++page)
        for (size_t i = 0; i < local_bus_.size(); ++i)
            if (uint64_t(local_bus_[i].offset) + local_bus_[i].length > uint64_t(page) << kPageShift) {
                page_first_region_[page] = uint8_t(i);
                break;
            }
}

const Board::Region* Board::region_at(uint32_t offset, unsigned width) const
{
    // Regions before the page's first end before the page; regions from one starting
    // beyond the offset on cannot hold it either.
    size_t i = (offset >> kPageShift) < page_first_region_.size() ? page_first_region_[offset >> kPageShift] : 0;
    for (; i < local_bus_.size() && local_bus_[i].offset <= offset; ++i) {
        const Region& r = local_bus_[i];
        if (uint64_t(offset) + width <= uint64_t(r.offset) + r.length) return &r;
    }
    return nullptr;
}

plat::MmioDevice* Board::region_device(const Region& r)
{
    if (r.kind == Region::Framer) return framers_[r.index] ? framers_[r.index] : framer_stores_[r.index].get();
    return sockets_[r.index] ? sockets_[r.index] : socket_stores_[r.index].get();
}

void Board::set_hdlc(plat::MmioDevice* model)
{
    hdlc_ = model;
}

void Board::set_framer(int line, plat::MmioDevice* model)
{
    if (line < 0 || uint32_t(line) >= type_.lines) throw std::out_of_range("no framer for that line");
    framers_[line] = model;
}

void Board::set_socket(int socket, plat::MmioDevice* model)
{
    if (!socket_fitted(socket)) throw std::out_of_range("socket not fitted");
    sockets_[socket] = model;
}

uint32_t Board::Bar0::mmio_read(uint32_t offset, unsigned width)
{
    plat::MmioDevice* d = b_.hdlc_ ? b_.hdlc_ : b_.hdlc_store_.get();
    return d->mmio_read(offset, width);
}

void Board::Bar0::mmio_write(uint32_t offset, unsigned width, uint32_t value)
{
    plat::MmioDevice* d = b_.hdlc_ ? b_.hdlc_ : b_.hdlc_store_.get();
    d->mmio_write(offset, width, value);
}

uint32_t Board::LocalBus::mmio_read(uint32_t offset, unsigned width)
{
    const Region* r = b_.region_at(offset, width);
    if (r == nullptr || r->kind == Region::Latch) {
        ++b_.stray_;
        return width_mask(width);
    }
    return b_.region_device(*r)->mmio_read(offset - r->offset, width);
}

void Board::LocalBus::mmio_write(uint32_t offset, unsigned width, uint32_t value)
{
    const Region* r = b_.region_at(offset, width);
    if (r == nullptr || (r->kind == Region::Latch && width != 4)) {
        ++b_.stray_;
        return;
    }
    if (r->kind == Region::Latch)
        b_.write_latch(Latch(r->index), offset, value);
    else
        b_.region_device(*r)->mmio_write(offset - r->offset, width, value);
}

// ---- latches ----

void Board::write_latch(Latch which, uint32_t offset, uint32_t value)
{
    bool was_reset = framers_in_hw_reset();
    latches_[size_t(which)] = value;
    plat::push_bounded(latch_writes_, LatchWrite{host_.now(), which, offset, value});
    for (auto& listener : write_listeners_) listener(latch_writes_.back());
    bool in_reset = framers_in_hw_reset();
    if (in_reset != was_reset)
        for (auto& listener : reset_listeners_) listener(in_reset);
    update_irq();
}

bool Board::irq_enabled() const
{
    return type_.has_latches() && type_.irq_bits != 0 && (latch(Latch::Irq) & type_.irq_bits) == type_.irq_bits;
}

int Board::led(int line) const
{
    if (line < 0 || line >= kMaxLines || type_.led_bits[line] == 0) return -1;
    if (type_.shared_latch()) return int((latch(Latch::Irq) & type_.led_bits[line]) >> (2 * line + 2));
    return int((latch(Latch::Led) & type_.led_bits[line]) >> (2 * line));
}

bool Board::framers_in_hw_reset() const
{
    uint32_t value = latch(type_.shared_latch() ? Latch::Irq : Latch::Reset);
    uint32_t reset_lines = ~type_.reset_bits;
    return (value & reset_lines) != reset_lines;
}

// ---- interrupts ----

void Board::request_irq(int function, const void* source, bool asserted)
{
    auto& sources = requests_.at(function);
    if (asserted)
        sources.insert(source);
    else
        sources.erase(source);
    update_irq();
}

// The host may run the interrupt service routine inside set_level, and it rewrites the
// IRQ latch; the level in driven_ is settled before the call so the nested update sees it.
void Board::update_irq()
{
    for (int fn = 0; fn < 2; ++fn) {
        bool want = !requests_[fn].empty() && irq_enabled() && vector(fn) != 0;
        if (want == driven_[fn]) continue;
        driven_[fn] = want;
        host_.irq.set_level(vector(fn), functions_[fn].get(), want);
    }
}

}  // namespace sim
