// The root of the managed-object tree: the agent, with its debug and history flags, the
// adapters it found by probing the driver's devices, and the transports it made.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "QLCommon/ConfigMap.h"
#include "QLCommon/ManageableObject.h"
#include "QLCommon/Variables.h"

class CAdapter;
class CMQAdapter;
class CModem;

// How the serial-attached side is made: the port's transport on its shadow device name,
// and the modem on it (port index from 0, its adapter, the busy-out time).
struct CSerialPortFactories {
    std::function<CMethod*(const std::string& deviceName)> Transport;
    std::function<CModem*(CMethod* transport, uint32_t portIndex, CMQAdapter* adapter, uint32_t busyOut)> Modem;
};

class CAgent : public CManageableObject {
public:
    CAgent();
    ~CAgent() override;

    std::string GetDisplayName() override { return "Agent"; }
    void* GetItemPtr(uint32_t smemId, const CSMemIndex& index) override;
    void BuildVariableMethods() override;

    void CountAdapters();
    void* ReturnGetPtr(uint32_t smemId, const CSMemIndex& index);
    const std::vector<CAdapter*>& GetAdapters() const { return m_Adapters; }
    // Has every adapter's queued work looked at once the management thread runs.
    void SignalAdapters();

    // Ports a serial multi-modem adapter can have; a larger ZELPortCount looks no further.
    static constexpr uint32_t kMaxSerialPorts = 64;
    // Adds the serial multi-modem adapter with one modem per listed port; answers the
    // registry's error or the port count (at most kMaxSerialPorts).
    LONG ReadSerialPortList(HKEY parameters, char* nameBuffer, size_t nameSize);
    static void SetSerialPortFactories(CSerialPortFactories factories);

    uint32_t ReadCallHistoryFlag();
    uint32_t ReadSnmpLoggingFlag();
    int32_t GetSerialModemCount() const { return m_Info.m_Record.SerialModemCount; }

    static const CConfigMap ConfigMap;
    static std::string GetConfigKey(CManageableObject* object);

    CVariableDecl<zelagt_tInfo> m_Info;

private:
    void AddAdapter(const std::string& devicePath, uint32_t deviceNumber);
    uint32_t ReadFlag(uint32_t field, const char* valueName, const char* on, const char* off);
    std::vector<CAdapter*> m_Adapters;
    std::vector<CMethod*> m_Transports;
};
