// Monitors of a driver-attached modem: threads that follow one pump and write what they
// see into a text log. CDriverMonitor copies the data-monitor ring of the COM port bound
// to the modem; CARMMonitor pulls the modem processor's trace buffer for the pump. Both
// share the log file, the decoder of the trace byte stream and the code names.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "QLCommon/Modem.h"
#include "QLCommon/os.h"

class CIOCTLMethod;

class CZELVXMonitor : public COS_Thread, public CModemMonitor {
public:
    static constexpr uint8_t kValue = 0xF3, kString = 0xF4, kTimeStamp = 0xF5;

    CZELVXMonitor() = default;
    ~CZELVXMonitor() override;

    void ThreadBody() override = 0;
    virtual void BuildCodeTable() = 0;
    virtual const char* GetSourceName() const = 0;

    // True when the log opened; the thread runs only then.
    bool Start(CIOCTLMethod* transport, uint32_t modemNumber, const ModemAddress& address) override;
    // Ends the thread (waiting for it) and closes the log; again, it does nothing.
    void Stop() override;
    std::string GetLogFileName() override { return m_LogFileName; }
    bool IsRunning() const { return m_bRunning.load(); }

    // The trace decoder, one byte at a time; what it writes goes to the log.
    void Decode(uint8_t byte);
    void ClearDecoder();
    const std::string& CodeText(uint8_t code);
    // What has been written and not yet flushed into the file.
    const std::string& Pending() const { return m_Pending; }
    void Flush();

protected:
    void Write(const std::string& text) { m_Pending += text; }
    CIOCTLMethod* m_pTransport = nullptr;
    uint32_t m_ModemNumber = 0;
    ModemAddress m_Address{};
    std::atomic<bool> m_bRunning{false};
    std::map<uint8_t, std::string> m_Codes;

private:
    void CloseItem();
    HANDLE m_hLog = nullptr;
    std::string m_Pending;
    std::string m_LogFileName;
    int m_Phase = 0;          // 0 between items, 1 length expected, 2 collecting
    uint8_t m_BytesLeft = 0;
    uint32_t m_Value = 0;
    uint8_t m_Length = 0;
    int m_Kind = 0;           // 0 value, 1 time stamp, 2 string
};

class CDriverMonitor : public CZELVXMonitor {
public:
    static constexpr uint32_t kRingSize = 512;
    CDriverMonitor() = default;
    ~CDriverMonitor() override;
    void ThreadBody() override;
    void BuildCodeTable() override;
    const char* GetSourceName() const override { return "Driver"; }

    void Poll();
    // One copy of the ring: its write position, wrap count and bytes (kRingSize of them).
    void TakeRing(uint32_t position, uint32_t wraps, const uint8_t* ring);

private:
    uint32_t m_LastWraps = 0;
    uint32_t m_LastPosition = 0;
};

class CARMMonitor : public CZELVXMonitor {
public:
    static constexpr uint32_t kFirstCommand = 248, kFullChunk = 58;
    CARMMonitor() = default;
    ~CARMMonitor() override;
    void ThreadBody() override;
    void BuildCodeTable() override;
    const char* GetSourceName() const override { return "ARM"; }

    void Pass();
    void WriteCommand(uint32_t code);
    bool ReadResponse();
    // One response's data: 16-bit words, word 3 the sequence number, word 5 the length,
    // the trace bytes from byte 12. True when the chunk was full (move to the next code).
    bool TakeChunk(const uint8_t* data, size_t size);
    uint32_t GetCurrentCommand() const { return m_Command; }

private:
    uint32_t m_Command = kFirstCommand;
    uint16_t m_LastSequence = 0;
};

// Makes driver modems' monitoring switch start these monitors.
void Monitor_Install();
