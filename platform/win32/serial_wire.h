// What travels on a serial port's socket between the simulator's modem adapter (the
// port driver and the modem behind it) and the process that opened the port. One
// SOCK_SEQPACKET socket per port in the run's root, named for the port; one connection
// at a time (the port opens without sharing). Each datagram is a header and its payload.
//
// On a new connection the adapter first sends the modem's lines (ModemLines); a port
// already open closes the new connection at once. Then:
//   Data        either way: bytes on the line.
//   ModemLines  adapter -> host: value = the modem's lines (kDsr | kDcd | kCts | kRi).
//   Control     host -> adapter: a device control of the port driver; tag = request
//               number, value = control code, payload = the size of the caller's output
//               buffer (4 bytes) and then the input.
//   ControlDone adapter -> host: tag = request number, value = NTSTATUS, payload = output.
#pragma once

#include <cstdint>

namespace vornet::serial_wire {

constexpr uint32_t kMagic = 0x50534E56;  // "VNSP"
constexpr uint32_t kMaxPayload = 4096;

enum Kind : uint32_t { kData = 1, kModemLines = 2, kControl = 3, kControlDone = 4 };

// The modem's lines.
constexpr uint32_t kDsr = 0x01;
constexpr uint32_t kDcd = 0x02;
constexpr uint32_t kCts = 0x04;
constexpr uint32_t kRi = 0x08;

// Statuses of ControlDone.
constexpr uint32_t kStatusSuccess = 0;
constexpr uint32_t kStatusInvalidRequest = 0xC0000010;
constexpr uint32_t kStatusInvalidParameter = 0xC000000D;
constexpr uint32_t kStatusBufferTooSmall = 0xC0000023;

struct Header {
    uint32_t magic;
    uint32_t kind;
    uint32_t tag;
    uint32_t value;
    uint32_t length;  // payload bytes that follow
};

}  // namespace vornet::serial_wire
