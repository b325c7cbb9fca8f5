// A modem of a serial multi-modem card, reached through its COM port's shadow device.
// Its records are filled from the modem itself: AT queries parsed by table for the
// configuration and the last call, the port's lines for the line signals. It follows
// the port's DSR and DCD through idle, ready and call states, initialises the modem
// while it is idle, and files each call's report in the call history.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "QLCommon/ConfigMap.h"
#include "QLCommon/Message.h"
#include "QLCommon/Modem.h"

class CMQAdapter;
class CSerialPortMethod;

class CDovuModem : public CModem {
public:
    // The general status record's line state (field 1) and hook state (field 2).
    enum : uint32_t { LINE_IDLE = 2, LINE_READY = 3, LINE_IN_CALL = 4 };
    enum : uint32_t { HOOK_ON = 2, HOOK_OFF = 3 };

    class CInitMessage : public CMessage {
    public:
        CInitMessage() : CMessage("CDovuModem::CInitMessage") {}
    };
    class CCallHistoryMessage : public CMessage {
    public:
        CCallHistoryMessage() : CMessage("CDovuModem::CCallHistoryMessage") {}
    };

    CDovuModem(CMethod* transport, uint32_t modemNumber, CAdapter* adapter, uint8_t busyOutTime);
    ~CDovuModem() override;

    void HandleEvent(HANDLE event) override;
    std::string GetDisplayName() override;
    bool IsOutOfService() override { return false; }
    bool IsMonitoring() override { return false; }
    void SetMonitoring(bool) override {}
    void Update(CSubject*, SubjectHint) override {}
    void BuildVariableMethods() override;

    // Checks the product text against the supported modems; sets field 3 of the status.
    bool HandleModemVerResponse();
    bool IsInitialised() const { return m_bInitialised.load(); }
    uint8_t GetBusyOutTime() const { return m_BusyOutTime; }
    uint32_t GetLineState();
    CSerialPortMethod* GetPort() const;

    static const CConfigMap ConfigMap;
    static std::string GetPortKey(CManageableObject* object);
    // Makes the agent build a serial port transport and a CDovuModem for each listed port.
    static void InstallFactories();

private:
    friend class CDovuInitMethod;
    uint8_t m_BusyOutTime = 15;
    std::atomic<bool> m_bInitialised{false};
    bool m_bCallOpen = false;  // a call record started and not yet ended; under the record lock
};
