#include "tools/harness/rig.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_shel.h"

namespace rig {

Rig::Rig()
{
    WmpResetGlobals();
    host.on_teardown([] { WmpResetGlobals(); });
    char tmpl[] = "/tmp/vornet-files-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) files_dir_ = tmpl;
    host.files_root = files_dir_;
}

Rig::~Rig()
{
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
    return add_board(sim::board_config_from_registry(host.registry, instance, slot));
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
    for (ULONG n = 0; n < a->NumberOfLines; n++)
        s.lines.push_back({n, signalling_name(a->SignallingProtocol[n]), a->Framer[n].bL1Up ? "up" : "down"});
    s.processors.clear();
    for (ULONG k = 0; k < a->SocketCount && k < MAX_SOCKETS; k++)
        for (ULONG c = 0; c < a->Socket[k].ProcessorCount; c++)
            s.processors.push_back({k, c, a->Socket[k].Csms[c].PumpCount});
}

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
          << ", \"layer1\": " << (l.layer1.empty() ? "null" : quote(l.layer1)) << ", \"layer2\": " << (l.signalling == "leased line" || l.signalling == "robbed-bit" ? "\"n/a\"" : "null")
          << ", \"calls_connected\": null, \"calls_failed\": null}";
    }
    o << "], \"modem_processors\": [";
    for (size_t i = 0; i < s.processors.size(); i++) {
        const auto& p = s.processors[i];
        o << (i ? ", " : "") << "{\"socket\": " << p.socket << ", \"processor\": " << p.processor
          << ", \"state\": null, \"pumps\": " << p.pumps << "}";
    }
    o << "], \"calls\": {\"offered\": null, \"answered\": null, \"connected\": null, \"cleared\": null, \"failed\": null}"
      << ", \"data\": {\"frames_sent\": null, \"frames_received\": null, \"bytes_verified\": null, \"bytes_lost\": null}"
      << ", \"leaks\": {\"allocations\": " << s.leaked_allocations << ", \"mappings\": " << s.leaked_mappings << "}}";
    return o.str();
}

}  // namespace rig
