// What travels on the simulator's device sockets (one per adapter, named for the
// adapter's DOS device name, in the run's root) and on its machine socket: one request
// datagram and one reply datagram, each whole (SOCK_SEQPACKET). A device control carries
// the caller's output buffer too: with direct I/O the driver reads what the caller put
// there (the management record is filled by the caller and answered in place). The first request on a
// device connection is a create; clean-up and close follow when the connection ends.
#pragma once

#include <cstdint>

namespace vornet::wire {

constexpr uint32_t kRequestMagic = 0x51524E56;  // "VNRQ"
constexpr uint32_t kReplyMagic = 0x50524E56;    // "VNRP"
constexpr uint32_t kMaxTransfer = 65536;        // input or output bytes of one request
constexpr const char* kMachineSocket = "machine";

// Request kinds: the I/O major functions a client sends, and the machine's restart.
constexpr uint32_t kCreate = 0x00;
constexpr uint32_t kDeviceControl = 0x0E;
constexpr uint32_t kRestart = 0x100;

// The machine's telephony service on its "tapi" socket: one connection is one TAPI
// application, from its initialisation to its shutdown (the end of the connection,
// which closes every line it left open). The reply's status is 0 or a LINEERR_ code.
constexpr const char* kTapiSocket = "tapi";
constexpr uint32_t kTapiInitialize = 0x200;  // first on a connection; reply: u32 number of line devices
constexpr uint32_t kTapiOpen = 0x201;        // code the device ID; reply: u32 the line's handle
constexpr uint32_t kTapiClose = 0x202;       // code the line's handle
// code the device ID, output_length the total size offered to the provider; reply: its
// LINE_DEV_CAPS with offsets from the structure's start, at most that long.
constexpr uint32_t kTapiDevCaps = 0x203;

struct RequestHeader {
    uint32_t magic;
    uint32_t kind;
    uint32_t code;           // device control code
    uint32_t input_length;   // bytes of input that follow
    uint32_t output_length;  // bytes of the caller's output buffer that follow them
};

struct ReplyHeader {
    uint32_t magic;
    int32_t status;        // NTSTATUS
    uint32_t information;  // bytes of output that follow
};

}  // namespace vornet::wire
