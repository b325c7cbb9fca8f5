// The port status grid of one line as a model: the state words of the last reply to the
// port status request (0/26), the images they map to, and the reading of a reply into the
// images that changed. No window here: the page and the fuzz target both drive it.
#pragma once

#include <cstdint>
#include <vector>

#include "QLCommon/IOCTLMethod.h"

namespace grid {

constexpr uint32_t kUnknown = 0xFFFFFFFF;
constexpr uint32_t kSockets = 4;  // module areas of the page
constexpr uint32_t kCsms = 4;
constexpr uint32_t kPumps = 12;
constexpr uint32_t kChannels = 32;
constexpr uint32_t kHeadWords = 3 + kChannels;

// Images (bitmap resources).
enum : unsigned {
    kImageNotPresent = 182,
    kImageIdle = 168,
    kImageEstablishing = 179,
    kImageConnected = 181,
    kImageDropping = 178,
    kImageOutOfService = 177,
    kImageDChannel = 224,
};

// Controls of the page.
enum : int {
    kLayer1Control = 1258,
    kLayer2Control = 1257,
    kE1ChannelsLabel = 1405,
    kLineTabs = 1282,
    kStatusText = 1406,
};
int ChannelControl(uint32_t channel);  // 1 to 31; 0 for any other
int PumpControl(uint32_t socket, uint32_t csm, uint32_t pump);  // socket 0-3, CSM 0-1, pump 0-11; 0 otherwise
int NoModuleControl(uint32_t socket);  // 0-3

unsigned Layer1Image(uint32_t state);
unsigned Layer2Image(uint32_t state);
unsigned ChannelImage(uint32_t protocol, uint32_t state);
unsigned PumpImage(uint32_t state);

// Modem processors and pumps per processor of a module type; 0 for a type outside 1 to 24.
uint32_t ModuleCsms(uint32_t type);
uint32_t ModulePumps(uint32_t type);

struct GridState {
    uint32_t SignallingProtocol = kUnknown;
    uint32_t Layer1 = kUnknown;
    uint32_t Layer2 = kUnknown;
    uint32_t Channels[kChannels];
    uint32_t Pumps[kSockets][kCsms][kPumps];
    uint32_t ModuleType[kSockets] = {};
    bool ModulePresent[kSockets] = {};
    bool ShownAbsent[kSockets] = {};  // its "No module installed" is up and its pumps cleared
    uint32_t Sockets = 0;             // module sockets that serve the line

    GridState() { Reset(0); }
    // A new line: every state unknown, so the next reply sets every image.
    void Reset(uint32_t socketsForLine);
};

struct GridImage {
    int Control;
    unsigned Image;
    bool operator==(const GridImage&) const = default;
};

enum class GridOutcome { Drawn, Refused, Incomplete };

struct GridRefresh {
    GridOutcome Outcome = GridOutcome::Incomplete;
    std::vector<GridImage> Images;      // only those whose state changed
    bool ShowNoModule[kSockets] = {};   // sockets that now show "No module installed", their pumps cleared
};

// Reads a reply of the port status request into the state. A refused reply (Status not 0)
// or one without the line's head words changes nothing.
GridRefresh ReadPortStatus(const BackdoorRequest& reply, GridState& state);

}  // namespace grid
