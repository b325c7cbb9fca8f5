// The driver's devices for other processes. One Unix socket per running adapter in the
// run's root, named for the adapter's DOS device name ("VORNET1"), and one "machine"
// socket for the restart, and the "tapi" socket of the telephony service
// (tapi_service.h). service(), called on the simulator's thread between two
// events of the virtual clock, accepts connections and runs every whole request waiting
// through the I/O manager to the adapter's device object (NDIS's device; its requests
// pass the serial ports' dispatch hook when it is installed), then sends the reply
// whole. Nothing runs on a thread of its own.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/harness/rig.h"
#include "tools/harness/tapi_service.h"


namespace rig {

class DeviceServer {
public:
    DeviceServer(Rig& rig, std::filesystem::path root);
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Opens and closes the adapters' sockets as their devices come and go, accepts
    // connections, serves what is waiting. Never blocks.
    void service();
    // Readable when service() has something to do (an epoll descriptor).
    int fd() const { return epoll_; }

    // What the machine's restart does; by default restart().
    std::function<void()> on_restart;
    // Halts every running adapter, reloads the hive from the root and the firmware file
    // from the system's drivers folder, and initialises those adapters again.
    void restart();

    // What a run's root gives the machine at start and at each restart: the hive
    // (registry.reg) into the registry, C:\WINNT\system32\drivers\armcsm as the
    // firmware file. What the root lacks is left as it was; false (with the reason)
    // for a hive that cannot be read.
    static bool load_root(Rig& rig, const std::filesystem::path& root, std::string* error);

    uint64_t requests_served() const { return served_; }
    TapiService& tapi() { return *tapi_; }

private:
    struct Connection {
        Connection();
        ~Connection();
        int fd = -1;
        std::string device;  // the DOS device name the connection was made to
        bool opened = false;
        std::unique_ptr<struct ServedRequest> pending;  // one the driver has not completed yet
    };
    struct Listener {
        int fd = -1;
        std::filesystem::path path;
    };

    void sync_listeners();
    void accept_all(int listener, const std::string& device);
    bool serve(Connection& c);  // false when the connection has ended
    void finish(Connection& c);
    void reply(int fd, int32_t status, const std::vector<uint8_t>& output);
    void serve_machine();
    int listen_on(const std::filesystem::path& path);
    void watch(int fd);

    Rig& rig_;
    std::filesystem::path root_;
    int epoll_ = -1;
    int machine_ = -1;
    std::map<std::string, Listener> listeners_;
    std::vector<std::unique_ptr<Connection>> connections_;
    static constexpr size_t kMaxMachineClients = 64;
    std::vector<int> machine_clients_;  // connected to the machine socket, their request not yet come
    std::vector<uint8_t> buffer_;
    uint64_t served_ = 0;
    std::unique_ptr<TapiService> tapi_;
};

}  // namespace rig
