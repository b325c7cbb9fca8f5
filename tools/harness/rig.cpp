#include "tools/harness/rig.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

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
    if (!r.ok && error != nullptr) *error = r.message;
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

void Rig::attach_far_ends(sim::Card& card, unsigned instance)
{
    const std::string key = parameters_key(instance);
    auto value = [&](const std::string& name, unsigned n, uint32_t otherwise) {
        return host.registry.get_dword(key, name + "_" + std::to_string(n)).value_or(otherwise);
    };
    for (unsigned n = 0; n < card.line_count(); n++) {
        uint32_t protocol = value("SignallingProtocol", n, 1);
        if (protocol >= 1 && protocol <= 5) {
            sim::IsdnNetworkConfig config;
            config.variant = sim::SwitchVariant(protocol);
            config.e1 = value("LineMode", n, 0) == 1;
            config.keep_link_up = plat::ms(1000);
            attach_isdn_network(card, n, config);
        } else if (protocol == 0) {
            using P = sim::RobbedBitFarEnd::Protocol;
            uint32_t start = value("RBSProtocol", n, RBS_SETTING_EAR_MOUTH);
            attach_robbed_bit(card, n, start == RBS_SETTING_WINK ? P::Wink : start == RBS_SETTING_EAR_MOUTH ? P::EarAndMouth : P::Immediate);
        }
    }
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

void observe_adapter(Adapter* a, Summary& s)
{
    if (a == nullptr) return;
    s.data_interface_up = a->BringUpCompleted != 0;
    s.lines.clear();
    for (ULONG n = 0; n < a->NumberOfLines; n++) {
        std::string layer2;
        ULONG protocol = a->SignallingProtocol[n];
        if (protocol >= 1 && protocol <= 5 && a->SgnlProtocolOps[n].Control != NULL && a->ThisSgnlStack[n] != NULL) {
            // The stack's entries run under the adapter lock.
            NdisAcquireSpinLock(&a->AdapterSpinLock);
            ULONG state = a->SgnlProtocolOps[n].Control(CTL_KIND_GET, CTL_L2_STATE, a->ThisSgnlStack[n], 0);
            NdisReleaseSpinLock(&a->AdapterSpinLock);
            layer2 = state == L2_ESTABLISHED ? "established" : state == L2_RELEASED ? "released" : "";
        }
        s.lines.push_back({n, signalling_name(protocol), a->Framer[n].bL1Up ? "up" : "down", layer2,
                           long(a->GroupCallStats[n].ConnectInd)});
    }
    s.calls_offered = s.calls_answered = s.calls_connected = 0;
    for (ULONG g = 0; g < a->NumberOfGroups && g < MAX_GROUPS; g++) {
        s.calls_offered += a->GroupCallStats[g].IncomingInd;
        s.calls_answered += a->GroupCallStats[g].AnswerRequests;
        s.calls_connected += a->GroupCallStats[g].ConnectInd;
    }
    s.processors.clear();
    for (ULONG k = 0; k < a->SocketCount && k < MAX_SOCKETS; k++)
        for (ULONG c = 0; c < a->Socket[k].ProcessorCount; c++)
            s.processors.push_back(
                {k, c, a->Socket[k].Csms[c].PumpCount, CsmStateName(a->Socket[k].Csms[c].State)});
}

void observe_ndis(const plat::ndis::Adapter* na, Summary& s)
{
    if (na == nullptr) return;
    s.frames_received = long(na->receives.size());
    s.frames_sent = 0;
    for (const auto& c : na->send_completions)
        if (c.status == NDIS_STATUS_SUCCESS) s.frames_sent++;
}

static std::string count(long v) { return v < 0 ? "null" : std::to_string(v); }

static std::string hex32(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

static std::string quote(const std::string& s)
{
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') o += '\\';
        o += c;
    }
    return o + "\"";
}

std::string to_json(const Summary& s)
{
    std::ostringstream o;
    o << "{\"adapter\": {\"initialised\": " << (s.initialised ? "true" : "false")
      << ", \"data_interface_up\": " << (s.data_interface_up ? "true" : "false")
      << ", \"halted_clean\": " << (s.halted_clean ? "true" : "false") << ", \"error_log\": [";
    for (size_t i = 0; i < s.error_log.size(); i++) {
        if (i) o << ", ";
        o << "{\"code\": " << quote(hex32(s.error_log[i].code)) << ", \"values\": [";
        for (size_t j = 0; j < s.error_log[i].values.size(); j++) o << (j ? ", " : "") << s.error_log[i].values[j];
        o << "]}";
    }
    o << "]}, \"lines\": [";
    for (size_t i = 0; i < s.lines.size(); i++) {
        const auto& l = s.lines[i];
        o << (i ? ", " : "") << "{\"line\": " << l.line << ", \"signalling\": " << quote(l.signalling)
          << ", \"layer1\": " << (l.layer1.empty() ? "null" : quote(l.layer1)) << ", \"layer2\": "
          << (l.signalling == "leased line" || l.signalling == "robbed-bit" ? "\"n/a\"" : l.layer2.empty() ? "null" : quote(l.layer2))
          << ", \"calls_connected\": " << count(l.calls_connected) << ", \"calls_failed\": null}";
    }
    o << "], \"modem_processors\": [";
    for (size_t i = 0; i < s.processors.size(); i++) {
        const auto& p = s.processors[i];
        o << (i ? ", " : "") << "{\"socket\": " << p.socket << ", \"processor\": " << p.processor
          << ", \"state\": " << (p.state.empty() ? "null" : quote(p.state)) << ", \"pumps\": " << p.pumps << "}";
    }
    o << "], \"calls\": {\"offered\": " << count(s.calls_offered) << ", \"answered\": " << count(s.calls_answered)
      << ", \"connected\": " << count(s.calls_connected) << ", \"cleared\": null, \"failed\": null}"
      << ", \"data\": {\"frames_sent\": " << count(s.frames_sent) << ", \"frames_received\": " << count(s.frames_received)
      << ", \"bytes_verified\": null, \"bytes_lost\": null}"
      << ", \"leaks\": {\"allocations\": " << s.leaked_allocations << ", \"mappings\": " << s.leaked_mappings << "}}";
    return o.str();
}

}  // namespace rig
