// The texts of the "Device Manager" page: one builder per kind of object, each a pure
// function of the driver's reply record. A builder reads the record only through the
// bounded reader, so lengths and counts the reply claims never reach past the record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "QLCommon/IOCTLMethod.h"
#include "applet/LayoutTables.h"

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

// One item of the object tree, in the order the items are added.
struct CTreeEntry {
    std::string Text;
    uint32_t Code;
    int Parent;         // an earlier entry, or -1 for the tree's root
    bool ExpandParent;  // the parent is expanded once this entry is in
};

namespace infodump {

// Object types, in bits 31 to 24 of an item code; the indices follow, a byte each.
enum : uint32_t {
    kAdapter = 1, kLineIntf = 2, kDataIntf = 3, kModule = 4, kCsmDevice = 5,
    kPumpDevice = 6, kSystemBus = 7, kQstack = 8, kDriver = 9,
};
constexpr uint32_t ItemCode(uint32_t type, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0)
{
    return type << 24 | (a & 0xFF) << 16 | (b & 0xFF) << 8 | (c & 0xFF);
}

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
// The tree of an adapter whose counts are known, from its board-type row and the
// module-type row of each socket (nullptr for none). The counts come from the driver:
// no more objects are made than the rows and the item codes can name.
std::vector<CTreeEntry> TreePlan(const CAdapterCounts& counts, const BoardTypeRow* board,
                                 const ModuleTypeRow* const modules[kModuleSockets]);
// The model named by a module type, or nullptr outside 1 to 24.
const char* ModuleModel(uint32_t type);

}  // namespace infodump
