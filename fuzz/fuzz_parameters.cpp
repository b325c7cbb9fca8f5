// Registry values of any type and content under the adapter's Parameters key: the
// parameter reading never overruns a field and leaves nothing allocated.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_params.h"
#include "platform/host/host.h"

namespace {

const char* const kNames[] = {
    "DeviceName", "AddressList", "VoPReplicateCount", "DoCsmReset", "TimerResolution", "AdapterID",
    "IrqStatistics", "NetworkSide_0", "LineMode_3", "FramingFormat_1", "WindowSize_0", "SignallingProtocol_2",
    "QStackMultiplier_0", "ModuleID_9", "AsyncPortNumbersStartAt", "AsyncPorts_0", "Line_0.DirectoryNumber_00",
    "Line_3.DirectoryNumber_31", "Line_1.DirectoryNumberChProtocol_07", "ModemDataInit_0", "ModemDataInit_3",
    "ModemRouting_2", "RBSProtocol_1", "SystemBusMode_0",
};

const std::string kKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    plat::Host host;
    size_t i = 0;
    while (i + 2 <= size) {
        const char* name = kNames[data[i] % (sizeof kNames / sizeof kNames[0])];
        uint8_t kind = data[i + 1] % 4;
        i += 2;
        size_t len = i < size ? data[i++] : 0;
        if (len > size - i) len = size - i;
        std::string bytes(reinterpret_cast<const char*>(data + i), len);
        i += len;
        switch (kind) {
        case 0: {
            uint32_t v = 0;
            for (size_t k = 0; k < bytes.size() && k < 4; k++) v |= uint32_t(uint8_t(bytes[k])) << (8 * k);
            host.registry.set_dword(kKey, name, v);
            break;
        }
        case 1: host.registry.set_sz(kKey, name, bytes); break;
        case 2: {
            std::vector<std::string> parts;
            size_t start = 0;
            for (size_t k = 0; k <= bytes.size(); k++)
                if (k == bytes.size() || bytes[k] == 0) {
                    parts.push_back(bytes.substr(start, k - start));
                    start = k + 1;
                }
            host.registry.set_value(kKey, name, plat::reg::Value::MultiSz(parts));
            break;
        }
        default: host.registry.set_value(kKey, name, plat::reg::Value::Binary({bytes.begin(), bytes.end()})); break;
        }
    }
    NDIS_STATUS status;
    NDIS_HANDLE config;
    std::string key = kKey;
    NdisOpenConfiguration(&status, &config, &key);
    if (status != NDIS_STATUS_SUCCESS) std::abort();
    auto adapter = std::make_unique<Adapter>();
    WmpReadParameters(adapter.get(), config, nullptr);
    NdisCloseConfiguration(config);
    if (!host.allocations.empty() || !host.violations().empty()) {
        std::fprintf(stderr, "parameter reading left memory allocated or misused the platform\n");
        std::abort();
    }
    return 0;
}
