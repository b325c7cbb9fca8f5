// The texts of the "Device Manager" page: one builder per kind of object, each a pure
// function of the driver's reply record. A builder reads the record only through the
// bounded reader, so lengths and counts the reply claims never reach past the record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "QLCommon/IOCTLMethod.h"

// Which of its kind's pictures an object takes.
enum class InfoHealth { Healthy, Unhealthy, NotInstalled };

struct CInfoDump {
    std::string Text;
    InfoHealth Health = InfoHealth::Healthy;
};

// What the sheet knows of TAPI and of our files, for the driver's dump.
struct CDriverFacts {
    uint32_t LineDevices = 0;  // as TAPI initialisation reported them
    uint32_t KeptLines = 0;    // lines named "RIROVE..."
    uint32_t TapiVersion = 0;
    uint32_t LineVersion = 0;  // negotiated for the last kept line
    std::optional<uint64_t> AppletVersion;  // file version, most significant word high
    std::optional<uint64_t> DriverVersion;
};

// The counts the tree is built from, out of the first adapter query.
struct CAdapterCounts {
    enum Outcome { Sent, NotSent, Refused, TooLong } Result = NotSent;
    uint32_t Words = 0;  // words in the reply's first segment
    uint32_t Type = 0, Buses = 0, Lines = 0, Sockets = 0;
};

namespace infodump {

constexpr uint32_t kAdapterTableWords = 150;
constexpr uint32_t kMaxBuses = 4;
constexpr uint32_t kMaxLines = 4;
constexpr uint32_t kMaxSockets = 8;  // the board row names the bus of eight sockets

// Each builder takes the reply, or nullptr when the request could not be sent.
CInfoDump Adapter(const BackdoorRequest* reply);
CInfoDump LineIntf(const BackdoorRequest* reply, uint32_t line);
CInfoDump DataIntf(const BackdoorRequest* reply, uint32_t bus);
CInfoDump Module(const BackdoorRequest* reply, uint32_t socket);
CInfoDump CsmDevice(const BackdoorRequest* reply, uint32_t socket, uint32_t device);
CInfoDump PumpDevice(const BackdoorRequest* reply, uint32_t socket, uint32_t device, uint32_t pump);
CInfoDump SystemBus(const BackdoorRequest* reply, uint32_t bus);
// `protocol`: the line's SignallingProtocol as the driver answers it, when known.
CInfoDump Qstack(const BackdoorRequest* reply, uint32_t line, std::optional<uint32_t> protocol);
// One reply per line of the board, in line order.
CInfoDump Driver(const CDriverFacts& facts, const std::vector<const BackdoorRequest*>& groups);

CAdapterCounts AdapterCounts(const BackdoorRequest* reply);
// The model named by a module type, or nullptr outside 1 to 24.
const char* ModuleModel(uint32_t type);

}  // namespace infodump
