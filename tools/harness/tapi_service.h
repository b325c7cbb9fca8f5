// The machine's telephony service for other processes: the "tapi" socket in the run's
// root, on which the TAPI32 library's applications reach the line devices of every
// running adapter. Like the NDIS TAPI wrapper it initialises each adapter's TAPI
// provider when the first application starts (device IDs numbered on across the
// adapters in their order), hands an application's opens, closes and capability
// queries to the provider that owns the device (a line that several applications open
// is opened once and closed with the last of them), and shuts the providers down when
// the last application has gone. Served on the simulator's thread between two events of
// the virtual clock; nothing blocks.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/ndis/tapi_client.h"
#include "tools/harness/rig.h"

namespace rig {

class TapiService {
public:
    // listener: the bound, listening, non-blocking "tapi" socket (the service closes
    // it); watch is told of every descriptor the service wants to be woken for.
    TapiService(Rig& rig, int listener, std::function<void(int)> watch);
    ~TapiService();
    TapiService(const TapiService&) = delete;
    TapiService& operator=(const TapiService&) = delete;

    void service();
    // Ends every application's connection (its lines are closed) and shuts the
    // providers down: before the adapters halt or the machine restarts.
    void drop_all();

    size_t applications() const { return apps_.size(); }

private:
    struct Provider {
        plat::ndis::Adapter* adapter = nullptr;
        std::unique_ptr<plat::ndis::TapiClient> client;
        ULONG base = 0;
        ULONG count = 0;
    };
    // A line device the provider has open, shared by every application that opened it.
    struct OpenLine {
        size_t provider = 0;
        HDRV_LINE hdLine = 0;
        unsigned opens = 0;
    };
    struct App {
        int fd = -1;
        bool initialised = false;
        uint32_t next_line = 1;
        std::map<uint32_t, ULONG> lines;  // device IDs by the handle the application holds
    };

    bool providers_running() const;
    void start_providers();
    void stop_providers();
    ULONG device_count() const;
    Provider* provider_of(ULONG device_id);
    bool serve(App& app);  // false when the application has gone
    void end(App& app);
    uint32_t close_line(ULONG device_id);
    void reply(int fd, uint32_t status, const std::vector<uint8_t>& data);

    Rig& rig_;
    std::function<void(int)> watch_;
    int listener_ = -1;
    std::vector<Provider> providers_;
    std::map<ULONG, OpenLine> open_;  // by device ID
    std::vector<std::unique_ptr<App>> apps_;
    std::vector<uint8_t> buffer_;
    HTAPI_LINE next_htline_ = 0x7A710001;
};

}  // namespace rig
