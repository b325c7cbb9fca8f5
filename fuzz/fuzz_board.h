// A board brought up once for a fuzz target: the rig, its board, the driver's adapter,
// and a reader of the input that never reads past its end. The board lives on from one
// input to the next (one host at a time, and a bring-up costs seconds of virtual time),
// so an input that fails may need the ones before it to fail again: replay the corpus
// directory, with the failing input last.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"

namespace fuzz {

[[noreturn]] inline void Fail(const char* target, const std::string& what)
{
    std::fprintf(stderr, "%s: %s\n", target, what.c_str());
    std::abort();
}

struct Board {
    rig::Rig rig;
    sim::Card* card = nullptr;
    plat::ndis::Adapter* na = nullptr;
    Adapter* adapter = nullptr;
    rig::FarEnds far;

    // Loads the configuration, lets `tweak` change the registry, fits the board with
    // the far ends its lines are configured for, loads the driver, initialises the
    // adapter and runs `settle` of virtual time.
    Board(const char* target, const std::string& config, const std::function<void(Board&)>& tweak,
          plat::VTime settle, const std::vector<rig::Rig::FarKind>& kinds = {})
    {
        std::string e;
        if (!rig.load_config(config, &e)) Fail(target, "config: " + e);
        rig.set_firmware(sim::fw::build_image(sim::fw::default_layout()));
        if (tweak) tweak(*this);
        card = &rig.add_board_for(1, 4);
        far = rig.attach_far_ends(*card, 1, kinds);
        if (rig.load_driver() != 0) Fail(target, "driver entry");
        na = rig.initialize(1);
        adapter = rig::Rig::driver_adapter(na);
        if (adapter == nullptr) Fail(target, "initialize");
        rig.host.run_for(settle);
    }

    void set_dword(const char* name, uint32_t value) { rig.host.registry.set_dword(rig.parameters_key(1), name, value); }

    // Any of the adapter's Links, by a number from the input.
    Link* link(unsigned n) { return &adapter->NdisWanInfo[(n / MAX_LINKS_PER_GROUP) % MAX_GROUPS][n % MAX_LINKS_PER_GROUP]; }

    void check(const char* target)
    {
        if (!rig.host.violations().empty()) Fail(target, "platform misuse: " + rig.host.violations().front());
    }
};

// The input, read front to back; past its end every read answers zero.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    size_t left() const { return size_ - at_; }
    uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16()
    {
        uint16_t v = u8();
        return uint16_t(v | u8() << 8);
    }
    uint32_t u32()
    {
        uint32_t v = u16();
        return v | uint32_t(u16()) << 16;
    }
    // n octets, or what is left.
    std::vector<uint8_t> bytes(size_t n)
    {
        if (n > left()) n = left();
        std::vector<uint8_t> v(data_ + at_, data_ + at_ + n);
        at_ += n;
        return v;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace fuzz
