// The driver transport: one open device and one management record per adapter, shared
// by the adapter and all of its objects under one lock; and the bounded reader every
// reply is parsed with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QLCommon/Method.h"
#include "QLCommon/os.h"

struct BackdoorSegment {
    uint32_t Length;
    uint32_t Offset;  // from the start of the record
};

// The management record as the driver reads and answers it: 32-bit little-endian words.
struct BackdoorRequest {
    uint32_t Signature;
    uint32_t Class;
    uint32_t Action;
    uint32_t BufferLength;
    uint32_t ReplyLength;
    uint32_t Status;
    uint32_t Arg[6];
    BackdoorSegment Segment[4];
    uint32_t Reserved;
    uint8_t Data[16384];
};

constexpr uint32_t kBackdoorSignature = 0x524F4B00;
constexpr uint32_t kBackdoorHeaderSize = 84;
constexpr uint32_t kBackdoorRequestSize = 16468;
constexpr uint32_t kBackdoorDataSize = kBackdoorRequestSize - kBackdoorHeaderSize;
constexpr uint32_t kIoctlQueryGlobalStats = 0x00170002;
constexpr uint32_t kOidBackdoorRequest = 0xFF000000;
static_assert(sizeof(BackdoorRequest) == kBackdoorRequestSize);

// Little-endian 32-bit words read from a byte span; a read past the end fails and
// leaves the reader at the end, so no parse ever leaves its reply.
class CReplyReader {
public:
    CReplyReader(const uint8_t* data, size_t length) : m_pData(data), m_Length(length) {}
    bool Word(uint32_t* value);
    bool Skip(size_t words);
    size_t WordsLeft() const { return (m_Length - m_Position) / 4; }
    bool AtEnd() const { return WordsLeft() == 0; }

private:
    const uint8_t* m_pData;
    size_t m_Length;
    size_t m_Position = 0;
};

// A copy of a reply's first segment: only what lies inside the record.
struct CReplyData {
    std::vector<uint8_t> Bytes;
    CReplyReader Reader() const { return CReplyReader(Bytes.data(), Bytes.size()); }
};

class CIOCTLMethod : public CMethod {
public:
    explicit CIOCTLMethod(const std::string& devicePath);
    ~CIOCTLMethod() override;
    CIOCTLMethod(const CIOCTLMethod&) = delete;
    CIOCTLMethod& operator=(const CIOCTLMethod&) = delete;

    // Waits for the record and clears it.
    bool Lock();
    void Unlock();
    // Sends the record; on failure tells the user, releases the lock and answers false.
    bool SendIoctlRequest();
    // The reply's first segment, bounded by the record; empty when it lies outside.
    CReplyData* GetReplyData();
    void FreeReplyData(CReplyData* data) { delete data; }
    std::string GetDeviceName() const;

    BackdoorRequest* m_pRequest;
    HANDLE GetDeviceHandle() const { return m_hDevice; }

private:
    BackdoorRequest m_Request;
    HANDLE m_hDevice;
    COS_Lock m_Lock;
};

// A modem as a request addresses it: module, modem processor, pump (Arg0 to Arg2).
struct ModemAddress {
    uint32_t Module;
    uint32_t Processor;
    uint32_t Pump;
};
