#include "tools/harness/rig.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_shel.h"
#include "driver/signalling/isdn/IsdnStack.h"
#include "driver/signalling/rbs/RbsStack.h"

namespace rig {

Rig::Rig()
{
    WmpResetGlobals();
    DimmResetGlobals();
    host.on_teardown([] {
        WmpResetGlobals();
        DimmResetGlobals();
    });
    char tmpl[] = "/tmp/vornet-files-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) files_dir_ = tmpl;
    host.files_root = files_dir_;
}

Rig::~Rig()
{
    isdn_networks.clear();
    robbed_bit_far_ends.clear();
    boards.clear();
    if (!files_dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(files_dir_, ec);
    }
}

bool Rig::load_config(const std::string& text, std::string* error)
{
    auto r = host.registry.load_reg(text);
    if (!r.ok && error != nullptr) *error = "line " + std::to_string(r.line) + ": " + r.message;
    return r.ok;
}

void Rig::set_firmware(const std::vector<uint8_t>& image)
{
    std::ofstream out(std::filesystem::path(files_dir_) / "armcsm", std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
}

sim::Card& Rig::add_board(const sim::BoardConfig& config)
{
    boards.push_back(std::make_unique<sim::Card>(host, config));
    return *boards.back();
}

sim::Card& Rig::add_board_for(unsigned instance, uint32_t slot)
{
    sim::Card& card = add_board(sim::board_config_from_registry(host.registry, instance, slot));
    // The far end of each line sends what the configuration says the line is.
    for (unsigned n = 0; n < card.line_count(); n++) {
        auto mode = host.registry.get_dword(parameters_key(instance), "LineMode_" + std::to_string(n));
        card.line(n).set_format({mode.value_or(0) != 1, 0});
    }
    return card;
}

sim::IsdnNetworkSide& Rig::attach_isdn_network(sim::Card& card, unsigned line, sim::SwitchVariant variant, bool e1)
{
    sim::IsdnNetworkConfig config;
    config.variant = variant;
    config.e1 = e1;
    return attach_isdn_network(card, line, config);
}

sim::IsdnNetworkSide& Rig::attach_isdn_network(sim::Card& card, unsigned line, const sim::IsdnNetworkConfig& config)
{
    isdn_networks.push_back(std::make_unique<sim::IsdnNetworkSide>(host, card.line(line), config));
    return *isdn_networks.back();
}

sim::RobbedBitFarEnd& Rig::attach_robbed_bit(sim::Card& card, unsigned line, sim::RobbedBitFarEnd::Protocol protocol)
{
    robbed_bit_far_ends.push_back(std::make_unique<sim::RobbedBitFarEnd>(host.sched, card.line(line), protocol));
    return *robbed_bit_far_ends.back();
}

FarEnds Rig::attach_far_ends(sim::Card& card, unsigned instance, const std::vector<FarKind>& kinds)
{
    const std::string key = parameters_key(instance);
    auto value = [&](const std::string& name, unsigned n, uint32_t otherwise) {
        return host.registry.get_dword(key, name + "_" + std::to_string(n)).value_or(otherwise);
    };
    FarEnds far;
    for (unsigned n = 0; n < card.line_count(); n++) {
        uint32_t protocol = value("SignallingProtocol", n, 1);
        FarKind kind = n < kinds.size() ? kinds[n] : FarKind::Default;
        if (kind == FarKind::Default)
            kind = protocol >= 1 && protocol <= 5 ? FarKind::Isdn : protocol == 0 ? FarKind::RobbedBit : FarKind::Leased;
        switch (kind) {
        case FarKind::Isdn: {
            sim::IsdnNetworkConfig config;
            config.variant = protocol >= 1 && protocol <= 5 ? sim::SwitchVariant(protocol) : sim::SwitchVariant::Ess5;
            config.e1 = value("LineMode", n, 0) == 1;
            config.keep_link_up = plat::ms(1000);
            // The line's directory numbers: a call to one is routed back to the adapter.
            for (unsigned k = 0; k < 32; k++) {
                char name[40];
                std::snprintf(name, sizeof name, "Line_%u.DirectoryNumber_%02u", n, k);
                auto number = host.registry.get_value(key, name);
                if (number && !number->sz.empty()) config.adapter_numbers.push_back(number->sz);
            }
            far.isdn[n] = &attach_isdn_network(card, n, config);
            break;
        }
        case FarKind::RobbedBit: {
            using P = sim::RobbedBitFarEnd::Protocol;
            uint32_t start = value("RBSProtocol", n, RBS_SETTING_EAR_MOUTH);
            far.robbed_bit[n] = &attach_robbed_bit(
                card, n, start == RBS_SETTING_WINK ? P::Wink : start == RBS_SETTING_EAR_MOUTH ? P::EarAndMouth : P::Immediate);
            break;
        }
        case FarKind::None: card.line(n).take_down(); break;
        case FarKind::Leased:
        case FarKind::Peer:
        case FarKind::Default: break;
        }
    }
    return far;
}

NTSTATUS Rig::load_driver() { return host.ndis().load_driver(DriverEntry); }

plat::ndis::Adapter* Rig::initialize(unsigned instance) { return host.ndis().initialize(instance); }

void Rig::halt(plat::ndis::Adapter* adapter) { host.ndis().halt(adapter); }

Adapter* Rig::driver_adapter(plat::ndis::Adapter* adapter)
{
    return adapter == nullptr ? nullptr : static_cast<Adapter*>(adapter->context);
}

std::string Rig::parameters_key(unsigned instance) const
{
    return "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET" + std::to_string(instance) + "\\Parameters";
}

void with_adapter_lock(Adapter* a, const std::function<void()>& fn)
{
    NdisAcquireSpinLock(&a->AdapterSpinLock);
    fn();
    NdisReleaseSpinLock(&a->AdapterSpinLock);
}

bool run_until(plat::Host& host, const std::function<bool()>& done, plat::VTime limit)
{
    for (plat::VTime t = 0; t < limit; t += plat::ms(5)) {
        if (done()) return true;
        host.run_for(plat::ms(5));
    }
    return done();
}

const IsdnVariantCase kIsdnVariants[5] = {
    {"ESS5", sim::SwitchVariant::Ess5, false},     {"NI1", sim::SwitchVariant::Ni1, false},
    {"DMS100", sim::SwitchVariant::Dms100, false}, {"EuroIsdn", sim::SwitchVariant::EuroIsdn, true},
    {"VN4", sim::SwitchVariant::Vn4, false},
};

std::string signalling_name(uint32_t protocol)
{
    switch (protocol) {
    case 0: return "robbed-bit";
    case 1: return "5ESS";
    case 2: return "NI-1";
    case 3: return "DMS100";
    case 4: return "Euro ISDN";
    case 5: return "VN4";
    case 6: return "leased line";
    default: return "unknown";
    }
}

}  // namespace rig
