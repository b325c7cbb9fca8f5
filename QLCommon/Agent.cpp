#include "QLCommon/Agent.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "QLCommon/Adapter.h"
#include "QLCommon/VariableMethods.h"
#include "QLCommon/mthrd.h"

namespace {

constexpr CConfigMapRow FlagRow(uint32_t field, const char* name)
{
    return CConfigMapRow{0,    nullptr, 0, nullptr, field, name, ConfigMap_ReadDword, ConfigMap_WriteDword,
                         CAgent::GetConfigKey, 0};
}

const CConfigMapRow kAgentRows[] = {
    FlagRow(0, "ZELCallHistory"),   FlagRow(1, "ZELSnmpLogging"),   FlagRow(2, "ZELDbgFlowCtrl"),
    FlagRow(3, "ZELDbgThrdCtrl"),   FlagRow(4, "ZELDbgCallEvents"), FlagRow(5, "ZELDbgCallHistory"),
    CConfigMapRow{0, nullptr, 0, nullptr, 0xFFFFFFFFu, nullptr, nullptr, nullptr, nullptr, 0},
};

const char* const kAgentKey = "SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters";

std::mutex g_FactoryLock;
CSerialPortFactories g_SerialFactories;

}  // namespace

void CAgent::SetSerialPortFactories(CSerialPortFactories factories)
{
    std::lock_guard<std::mutex> g(g_FactoryLock);
    g_SerialFactories = std::move(factories);
}

LONG CAgent::ReadSerialPortList(HKEY parameters, char* nameBuffer, size_t nameSize)
{
    CSerialPortFactories make;
    {
        std::lock_guard<std::mutex> g(g_FactoryLock);
        make = g_SerialFactories;
    }
    auto* mq = new CMQAdapter;
    m_Info.m_Record.AdapterCount++;
    m_Adapters.push_back(mq);
    mq->SetModemCount(0);
    uint32_t count = 0;
    DWORD type = 0, size = sizeof count;
    LONG r = RegQueryValueExA(parameters, "ZELPortCount", nullptr, &type, reinterpret_cast<BYTE*>(&count), &size);
    if (r != ERROR_SUCCESS)
        return r;
    if (type != REG_DWORD || size != 4)
        return ERROR_BADKEY;
    if (count > kMaxSerialPorts) {
        ZEL_TRACE(1, "ZELPortCount %u: ports beyond %u are not looked for", count, kMaxSerialPorts);
        count = kMaxSerialPorts;
    }
    for (uint32_t port = 1; port <= count; port++) {
        char subkey[16];
        std::snprintf(subkey, sizeof subkey, "Port%u", port);
        HKEY key = nullptr;
        if (RegOpenKeyA(parameters, subkey, &key) != ERROR_SUCCESS)
            continue;
        if (nameBuffer == nullptr || nameSize == 0) {
            RegCloseKey(key);
            continue;
        }
        DWORD nameLength = (DWORD)nameSize;
        std::memset(nameBuffer, 0, nameSize);
        if (RegQueryValueExA(key, "ShadowDeviceName", nullptr, &type, reinterpret_cast<BYTE*>(nameBuffer),
                             &nameLength) != ERROR_SUCCESS ||
            type != REG_SZ)
            nameBuffer[0] = 0;
        nameBuffer[nameSize - 1] = 0;
        uint32_t busyOut = 15;
        size = sizeof busyOut;
        if (RegQueryValueExA(key, "BusyOutAfterDisconnect", nullptr, &type, reinterpret_cast<BYTE*>(&busyOut), &size) !=
                ERROR_SUCCESS ||
            type != REG_DWORD || size != 4)
            busyOut = 15;
        RegCloseKey(key);
        CMethod* transport = make.Transport ? make.Transport(nameBuffer) : nullptr;
        CModem* modem = transport != nullptr && make.Modem ? make.Modem(transport, port - 1, mq, busyOut) : nullptr;
        if (transport != nullptr)
            m_Transports.push_back(transport);
        if (modem == nullptr)
            continue;
        mq->AddModem(modem);
        GManagementThread.Register(modem);
        // What the modem queued while it was built is looked at now that it is known.
        GManagementThread.Signal(modem);
        mq->SetModemCount(mq->GetModemCount() + 1);
        m_Info.m_Record.SerialModemsAdded++;
        m_Info.m_Record.SerialModemCount++;
    }
    return (LONG)count;
}

const CConfigMap CAgent::ConfigMap(kAgentRows);

std::string CAgent::GetConfigKey(CManageableObject*) { return kAgentKey; }

CAgent::CAgent() : m_Info(zelagt_tInfo_Table)
{
    m_Info.m_Record.SerialModemsAdded = 0;
    m_Info.m_Record.SerialModemCount = 0;
    m_Info.m_Record.AdapterCount = 0;
    Register("CAgent", sizeof(CAgent), this);
    CountAdapters();
}

CAgent::~CAgent()
{
    for (CAdapter* a : m_Adapters)
        delete a;
    for (CMethod* t : m_Transports)
        delete t;
    Unregister();
}

void CAgent::BuildVariableMethods()
{
    AddMethod<CReadVariableMessage<zelagt_tInfo>>(
        "", new CReadVariableMessageMethod<zelagt_tInfo, ZELAGT_INFO_ID, &CAgent::ConfigMap>);
    AddMethod<CWriteVariableMessage<zelagt_tInfo>>(
        "", new CWriteVariableMessageMethod<zelagt_tInfo, ZELAGT_INFO_ID, &CAgent::ConfigMap>);
}

void CAgent::CountAdapters()
{
    for (uint32_t i = 0; i < 255; i++) {
        char path[32];
        std::snprintf(path, sizeof path, "\\\\.\\VORNET%u", i);
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE || h == nullptr)
            continue;
        CloseHandle(h);
        AddAdapter(path, i);
    }
}

void CAgent::AddAdapter(const std::string& devicePath, uint32_t deviceNumber)
{
    auto* transport = new CIOCTLMethod(devicePath);
    m_Transports.push_back(transport);
    auto* adapter = new CVX2430Adapter(transport, deviceNumber, transport->GetDeviceName(), 1);
    GManagementThread.Register(adapter);
    m_Info.m_Record.AdapterCount++;
    m_Adapters.push_back(adapter);
}

void CAgent::SignalAdapters()
{
    for (CAdapter* a : m_Adapters)
        GManagementThread.Signal(a);
}

void* CAgent::GetItemPtr(uint32_t smemId, const CSMemIndex&)
{
    if ((smemId & 0xFFFF) == SMEM_OBJECT)
        return this;
    if (((smemId >> 8) & 0xFF) < 0xFF && smem_Field(smemId) == SMEM_WHOLE_RECORD)
        return static_cast<CVariable*>(&m_Info);
    uint32_t field = smem_Field(smemId);
    if (field >= (uint32_t)algn_FieldCount(zelagt_tInfo_Table))
        return nullptr;
    return reinterpret_cast<uint32_t*>(&m_Info.m_Record) + field;
}

void* CAgent::ReturnGetPtr(uint32_t smemId, const CSMemIndex& index)
{
    uint32_t cls = smem_Class(smemId);
    if (cls == 0)
        return GetItemPtr(smemId, index);
    if (cls >= 0x10000 && cls <= 0x90000) {
        int32_t m = index.Get(0);
        if (m < 0)
            return nullptr;
        for (CAdapter* a : m_Adapters) {
            uint32_t count = a->GetModemCount();
            if ((uint32_t)m < count) {
                CModem* modem = a->GetModem((uint32_t)m);
                if (modem == nullptr)
                    return nullptr;
                if (cls == 0x20000)
                    return modem->GetItemptr2(smemId, index.Get(1), 0);
                return modem->GetItemPtr(smemId, CSMemIndex());
            }
            m -= (int32_t)count;
        }
        return nullptr;
    }
    if (smemId != SMEM_END)
        ZEL_TRACE(1, " smem_ReturnGetPtr Unknown SMem ID %lx ", (unsigned long)smemId);
    return nullptr;
}

uint32_t CAgent::ReadFlag(uint32_t field, const char* valueName, const char* on, const char* off)
{
    uint32_t* value = reinterpret_cast<uint32_t*>(&m_Info.m_Record) + field;
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kAgentKey, &key) != ERROR_SUCCESS)
        return *value;
    uint32_t read = 0;
    DWORD type = 0, size = sizeof read;
    if (RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == 4 && read != *value) {
        *value = read;
        ZEL_TRACE(2, "%s", read != 0 ? on : off);
    }
    RegCloseKey(key);
    return *value;
}

uint32_t CAgent::ReadCallHistoryFlag()
{
    return ReadFlag(0, "ZELCallHistory", "Call history tracking enabled.", "Call history tracking disabled.");
}

uint32_t CAgent::ReadSnmpLoggingFlag()
{
    return ReadFlag(1, "ZELSnmpLogging", "Debug logging enabled.", "Debug logging disabled.");
}
