// For tests: a run's root in a fresh temporary folder whose hive lists serial modem
// ports under the zelCOM Parameters key, with the modem adapter serving them, and
// VORNET_ROOT pointing at it.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/serial/serial_modem.h"

namespace sim::serial {

class TestPorts {
public:
    // Port i (from 1) has DOSDeviceName "COM<i+2>" and ShadowDeviceName "ZELSHADOW<i>".
    explicit TestPorts(int count, uint32_t call_history = 1)
    {
        char pattern[] = "/tmp/vornet-serial-XXXXXX";
        root = ::mkdtemp(pattern);
        plat::reg::Registry hive;
        const std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters";
        hive.set_dword(key, "ZELPortCount", static_cast<uint32_t>(count));
        hive.set_dword(key, "ZELCallHistory", call_history);
        for (int i = 1; i <= count; i++) {
            std::string port = key + "\\Port" + std::to_string(i);
            hive.set_sz(port, "DOSDeviceName", "COM" + std::to_string(i + 2));
            hive.set_sz(port, "ShadowDeviceName", shadow(i));
            hive.set_dword(port, "BusyOutAfterDisconnect", 15);
        }
        std::ofstream(root / "registry.reg") << hive.save_reg();
        ::setenv("VORNET_ROOT", root.c_str(), 1);
        adapter = std::make_unique<SerialModemAdapter>(root);
        for (const auto& name : SerialModemAdapter::listed_ports(hive)) adapter->add_port(name, nullptr);
        adapter->start(nullptr);
    }
    ~TestPorts()
    {
        adapter.reset();
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    static std::string shadow(int i) { return "ZELSHADOW" + std::to_string(i); }

    std::filesystem::path root;
    std::unique_ptr<SerialModemAdapter> adapter;
};

}  // namespace sim::serial
