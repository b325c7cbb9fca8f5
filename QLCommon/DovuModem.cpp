#include "QLCommon/DovuModem.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "QLCommon/Adapter.h"
#include "QLCommon/Agent.h"
#include "QLCommon/SerialPortMethod.h"
#include "QLCommon/TextField.h"
#include "QLCommon/VariableMethods.h"
#include "QLCommon/mdparse.h"
#include "QLCommon/mthrd.h"
#include "QLCommon/parsetbl.h"
#include "QLCommon/smem.h"
#include "QLCommon/zeldev.h"

namespace {

const char* const kParametersKey = "SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters";

enum : uint32_t {
    GS_PRODUCT = 0,
    GS_LINE = 1,
    GS_HOOK = 2,
    GS_VERSION_OK = 3,
    GS_DCD = 7,
    GS_DSR = 8,
};

// zelmdm_tCallControlConfig: the busy-out time the modem is given ("at*h").
constexpr int kBusyOutField = 10;

CSerialPortMethod* PortOf(uintptr_t argument) { return reinterpret_cast<CSerialPortMethod*>(argument); }

// Read handlers: a query fills its whole read group; a line is read from the port.
int QueryRead(CManageableObject* object, uintptr_t argument, uint32_t group)
{
    if (PortOf(argument) == nullptr) return 4;
    return mdparse_ATCommand(object, PortOf(argument), group);
}
int LineRead(CManageableObject* object, uintptr_t, uint32_t bit) { return zeldev_UpdateSharedMem(object, bit); }

// Write handlers: a command carries the field's new value; a control line is set.
int CommandWrite(CManageableObject* object, uintptr_t argument, uint32_t command, void* field)
{
    if (PortOf(argument) == nullptr || field == nullptr) return 4;
    uint32_t value;
    std::memcpy(&value, field, sizeof value);
    return mdparse_ConfigModem(object, PortOf(argument), static_cast<int>(command), value);
}
int LineWrite(CManageableObject* object, uintptr_t argument, uint32_t parameter, void* field)
{
    uint32_t value = 0;
    if (field != nullptr) std::memcpy(&value, field, sizeof value);
    return zeldev_ConfigLine(object, PortOf(argument), static_cast<int>(parameter), field != nullptr ? &value : nullptr);
}

constexpr CConfigMapRow Row(uint32_t key, uint32_t readGroup, ConfigReadHandler read, uint32_t writeParameter,
                            ConfigWriteHandler write)
{
    return CConfigMapRow{readGroup, read, writeParameter, write, key, nullptr, nullptr, nullptr, nullptr, 0};
}
// A field read by a query group (0: not read) and written by a command (0: not written).
constexpr CConfigMapRow Q(uint32_t key, uint32_t group, uint32_t command)
{
    return Row(key, group, group != 0 ? QueryRead : nullptr, command, command != 0 ? CommandWrite : nullptr);
}
constexpr CConfigMapRow L(uint32_t key, uint32_t bit, uint32_t parameter)
{
    return Row(key, bit, LineRead, parameter, parameter != 0 ? LineWrite : nullptr);
}

constexpr uint32_t CC = ZELMDM_CALLCONTROL_ID, DC = ZELMDM_DIALCONTROL_ID, GC = ZELMDM_GENERALCONFIG_ID,
                   GS = ZELMDM_GENERALSTATUS_ID, LC = ZELMDM_LASTCALL_ID;

const CConfigMapRow kRows[] = {
    Q(CC | 0, 2, 26), Q(CC | 1, 16, 27), Q(CC | 2, 2, 9), Q(CC | 3, 2, 1), Q(CC | 4, 2, 14), Q(CC | 7, 4, 23),
    Q(CC | 8, 32, 28),
    CConfigMapRow{0, nullptr, 35, CommandWrite, CC | 10, "BusyOutAfterDisconnect", nullptr, ConfigMap_WriteDword,
                  CDovuModem::GetPortKey, 15},
    Q(DC | 0, 2, 5), Q(DC | 1, 2, 18), Q(DC | 2, 2, 20), Q(DC | 3, 2, 22), Q(DC | 4, 2, 25),
    Q(GC | 0, 2, 21), Q(GC | 1, 0, 0), Q(GC | 2, 2, 6), Q(GC | 6, 8, 24), Q(GC | 7, 2, 2), Q(GC | 8, 0, 4),
    Q(GC | 9, 2, 3), Q(GC | 9, 0, 8),  // the second row of field 9 is never found
    Q(GC | 10, 2, 13), Q(GC | 11, 2, 19), Q(GC | 13, 1, 0), Q(GC | 14, 2, 31), Q(GC | 15, 2, 32),
    Q(GC | 16, 2, 33), Q(GC | 17, 2, 34), Q(GC | 18, 2, 10), Q(GC | 19, 2, 11), Q(GC | 20, 2, 12),
    Q(GC | 21, 2, 15), Q(GC | 22, 2, 16), Q(GC | 23, 2, 17),
    Q(GS | 0, PARSETBL_ATI0, 0), L(GS | 4, ZELDEV_DTR, ZELDEV_SET_DTR), L(GS | 5, ZELDEV_RTS, ZELDEV_SET_RTS),
    L(GS | 6, ZELDEV_CTS, 0), L(GS | 7, ZELDEV_DCD, 0), L(GS | 8, ZELDEV_DSR, 0),
    Q(LC | 0, 1, 0), Q(LC | 1, 1, 0), Q(LC | 2, 1, 0), Q(LC | 3, 1, 0), Q(LC | 4, 1, 0), Q(LC | 5, 1, 0),
    Q(LC | 6, 1, 0), Q(LC | 7, 1, 0), Q(LC | 8, 1, 0), Q(LC | 9, 1, 0), Q(LC | 10, 1, 0), Q(LC | 11, 1, 0),
    Q(LC | 12, 1, 0), Q(LC | 13, 1, 0), Q(LC | 14, 1, 0), Q(LC | 15, 1, 0), Q(LC | 16, 1, 0), Q(LC | 17, 1, 0),
    Q(LC | 18, 1, 0), Q(LC | 19, 1, 0), Q(LC | 20, 1, 0), Q(LC | 21, 1, 0), Q(LC | 22, 1, 0),
    CConfigMapRow{0, nullptr, 0, nullptr, 0xFFFFFFFFu, nullptr, nullptr, nullptr, nullptr, 0},
};

// ZELCallHistory as the agent reads it afresh; without an agent, from the hive.
uint32_t CallHistoryOn()
{
    if (GAgent != nullptr) return GAgent->ReadCallHistoryFlag();
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kParametersKey, &key) != ERROR_SUCCESS) return 0;
    uint32_t value = 0;
    DWORD type = 0, size = sizeof value;
    if (RegQueryValueExA(key, "ZELCallHistory", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != 4)
        value = 0;
    RegCloseKey(key);
    return value;
}

template <class T, uint32_t VariableId>
class CDovuReadMethod : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* read = dynamic_cast<CReadVariableMessage<T>*>(message);
        auto* modem = dynamic_cast<CDovuModem*>(object);
        CVariable* variable = modem != nullptr ? zel_VariableOf<T>(object, VariableId) : nullptr;
        if (read == nullptr || variable == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        uintptr_t port = reinterpret_cast<uintptr_t>(modem->GetPort());
        if (CDovuModem::ConfigMap.Read(object, port, variable->Table(), VariableId) == 0) {
            message->Complete(MSG_FAILED);
            return;
        }
        {
            std::lock_guard<std::mutex> g(modem->m_RecordLock);
            std::memcpy(&read->m_Record, variable->Data(), sizeof(T));
        }
        message->Complete(MSG_DONE);
    }
};

// Every changed field is written on its own: a command number is no group mask, so
// one field's command never keeps another changed field from being written.
template <class T, uint32_t VariableId>
class CDovuWriteMethod : public CMessageMethod {
    static_assert(sizeof(T) % 4 == 0);
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* write = dynamic_cast<CWriteVariableMessage<T>*>(message);
        auto* modem = dynamic_cast<CDovuModem*>(object);
        CVariable* variable = modem != nullptr ? zel_VariableOf<T>(object, VariableId) : nullptr;
        if (write == nullptr || variable == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        uintptr_t port = reinterpret_cast<uintptr_t>(modem->GetPort());
        T current;
        {
            std::lock_guard<std::mutex> g(modem->m_RecordLock);
            std::memcpy(&current, variable->Data(), sizeof(T));
        }
        uint32_t wanted[sizeof(T) / 4], now[sizeof(T) / 4], before[sizeof(T) / 4];
        std::memcpy(wanted, &write->m_Record, sizeof(T));
        std::memcpy(before, &current, sizeof(T));
        int answer = 1;
        for (size_t i = 0; i < sizeof(T) / 4 && answer != 0; i++) {
            std::memcpy(now, &current, sizeof(T));
            if (now[i] == wanted[i]) continue;
            now[i] = wanted[i];
            T one;
            std::memcpy(&one, now, sizeof(T));
            answer = CDovuModem::ConfigMap.Write(object, port, variable->Table(), VariableId, &one, &current);
        }
        {
            // Only the fields written change: the others may have been read meanwhile.
            std::lock_guard<std::mutex> g(modem->m_RecordLock);
            uint32_t* stored = static_cast<uint32_t*>(variable->Data());
            std::memcpy(now, &current, sizeof(T));
            for (size_t i = 0; i < sizeof(T) / 4; i++)
                if (before[i] != wanted[i] && now[i] == wanted[i]) stored[i] = now[i];
        }
        message->Complete(answer != 0 ? MSG_DONE : MSG_FAILED);
    }
};

}  // namespace

class CDovuInitMethod : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* modem = dynamic_cast<CDovuModem*>(object);
        CSerialPortMethod* port = modem != nullptr ? modem->GetPort() : nullptr;
        if (modem == nullptr || port == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        if (modem->m_bInitialised) {
            message->Complete(MSG_DONE);
            return;
        }
        // The busy-out time as the record holds it: a write since construction changed it.
        uint32_t busyOut;
        {
            std::lock_guard<std::mutex> g(modem->m_RecordLock);
            busyOut = modem->m_CallControl.m_Record.Field[kBusyOutField];
        }
        if (mdparse_ATCommand(modem, port, PARSETBL_ATI0) != 0 || !modem->HandleModemVerResponse() ||
            mdparse_ConfigModem(modem, port, 35, busyOut) != 0) {
            message->Complete(MSG_FAILED);
            return;
        }
        modem->m_bInitialised = true;
        message->Complete(MSG_DONE);
    }
};

namespace {

// The call's own report is always asked for: a report read for a page moments ago may
// be the previous call's.
class CCallHistoryMethod : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* modem = dynamic_cast<CDovuModem*>(object);
        CSerialPortMethod* port = modem != nullptr ? modem->GetPort() : nullptr;
        if (port == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        uint32_t now = static_cast<uint32_t>(std::time(nullptr));
        if (mdparse_ATCommand(modem, port, PARSETBL_ATI11, true) != 0) {
            message->Complete(MSG_FAILED);
            return;
        }
        modem->EndCall(now);
        message->Complete(MSG_DONE);
    }
};

}  // namespace

const CConfigMap CDovuModem::ConfigMap(kRows);

CDovuModem::CDovuModem(CMethod* transport, uint32_t modemNumber, CAdapter* adapter, uint8_t busyOutTime)
    : CModem(transport, modemNumber, adapter)
{
    Register("CDovuModem", sizeof(CDovuModem), this);
    m_bInitialised = false;
    // Counts start at nothing: the first call filed is one call.
    std::memset(&m_CallStatistics.m_Record, 0, sizeof m_CallStatistics.m_Record);
    if (transport == nullptr || transport->GetKindName() != "SerialPort") return;
    CSerialPortMethod* port = GetPort();
    // A port that did not open has no event to wait on and no modem to initialise.
    if (port == nullptr || !port->IsOpened()) return;
    m_EventList.push_back(port->GetEventHandle());
    m_BusyOutTime = busyOutTime;
    {
        // The record holds what the modem is told at initialisation.
        std::lock_guard<std::mutex> g(m_RecordLock);
        m_CallControl.m_Record.Field[kBusyOutField] = busyOutTime;
    }
    bool idle = port->IsDSROn() != 1 && port->IsDCDOn() != 1;
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        m_GeneralStatus.m_Record.Field[GS_LINE] = idle ? LINE_IDLE : LINE_IN_CALL;
    }
    if (idle) Push(new CInitMessage);
}

CDovuModem::~CDovuModem()
{
    GManagementThread.Unregister(this);
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        txtf_Free(&m_GeneralStatus.m_Record.Field[GS_PRODUCT]);
        for (int f = 14; f <= 17; f++) txtf_Free(&m_GeneralConfig.m_Record.Field[f]);
    }
    mdparse_Forget(this);
    Unregister();
}

CSerialPortMethod* CDovuModem::GetPort() const { return dynamic_cast<CSerialPortMethod*>(GetTransport()); }

std::string CDovuModem::GetDisplayName()
{
    char text[32];
    std::snprintf(text, sizeof text, "Dovu Modem(%d)", static_cast<int>(m_ModemNumber));
    return text;
}

uint32_t CDovuModem::GetLineState()
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    return m_GeneralStatus.m_Record.Field[GS_LINE];
}

std::string CDovuModem::GetPortKey(CManageableObject* object)
{
    auto* modem = dynamic_cast<CDovuModem*>(object);
    char text[40];
    std::snprintf(text, sizeof text, "\\Card1\\Port%d", modem != nullptr ? static_cast<int>(modem->m_ModemNumber) + 1 : 0);
    return std::string(kParametersKey) + text;
}

void CDovuModem::BuildVariableMethods()
{
    AddMethod<CInitMessage>("SerialPort", new CDovuInitMethod);
    AddMethod<CCallHistoryMessage>("SerialPort", new CCallHistoryMethod);
#define ZEL_DOVU_METHODS(T, ID)                                                          \
    AddMethod<CReadVariableMessage<T>>("SerialPort", new CDovuReadMethod<T, ID>); \
    AddMethod<CWriteVariableMessage<T>>("SerialPort", new CDovuWriteMethod<T, ID>)
    ZEL_DOVU_METHODS(zelmdm_tLastCallInfo, ZELMDM_LASTCALL_ID);
    ZEL_DOVU_METHODS(zelmdm_tCallStatistics, ZELMDM_CALLSTATISTICS_ID);
    ZEL_DOVU_METHODS(zelmdm_tGeneralStatus, ZELMDM_GENERALSTATUS_ID);
    ZEL_DOVU_METHODS(zelmdm_tGeneralConfig, ZELMDM_GENERALCONFIG_ID);
    ZEL_DOVU_METHODS(zelmdm_tDialControlConfig, ZELMDM_DIALCONTROL_ID);
    ZEL_DOVU_METHODS(zelmdm_tCallControlConfig, ZELMDM_CALLCONTROL_ID);
#undef ZEL_DOVU_METHODS
}

bool CDovuModem::HandleModemVerResponse()
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    uint32_t* status = m_GeneralStatus.m_Record.Field;
    std::optional<std::string> text = txtf_Get(status[GS_PRODUCT]);
    bool supported = text.has_value() && mdparse_VersionSupported(text->c_str());
    status[GS_VERSION_OK] = supported ? 1 : 0;
    return supported;
}

void CDovuModem::HandleEvent(HANDLE)
{
    CSerialPortMethod* port = GetPort();
    if (port == nullptr) return;
    DWORD mask = port->GetEventMask();
    if ((mask & (EV_DSR | EV_RLSD)) != 0) {
        bool dcd = port->IsDCDOn() == 1, dsr = port->IsDSROn() == 1;
        bool callStarted = false, callEnded = false, versionOk = false;
        {
            std::lock_guard<std::mutex> g(m_RecordLock);
            uint32_t* status = m_GeneralStatus.m_Record.Field;
            status[GS_DCD] = dcd ? 1 : 2;
            status[GS_DSR] = dsr ? 1 : 2;
            // A call lasts from carrier until the modem is back on hook: carrier lost
            // and found again while DSR stays on is the same call.
            if (dcd) {
                if (status[GS_LINE] != LINE_IN_CALL && !m_bCallOpen) {
                    callStarted = true;
                    m_bCallOpen = true;
                }
                status[GS_LINE] = LINE_IN_CALL;
                status[GS_HOOK] = HOOK_OFF;
            } else if (dsr) {
                status[GS_LINE] = LINE_READY;
                status[GS_HOOK] = HOOK_OFF;
            } else {
                callEnded = status[GS_LINE] == LINE_IN_CALL || m_bCallOpen;
                m_bCallOpen = false;
                status[GS_LINE] = LINE_IDLE;
                status[GS_HOOK] = HOOK_ON;
            }
            versionOk = status[GS_VERSION_OK] == 1;
        }
        if (callStarted) StartCall();
        if (callEnded) {
            if (!m_bInitialised)
                Push(new CInitMessage);
            else if (versionOk && CallHistoryOn() != 0)
                Push(new CCallHistoryMessage);
        }
    }
    port->WaitForEvent();
}

void CDovuModem::InstallFactories()
{
    CSerialPortFactories make;
    make.Transport = [](const std::string& name) -> CMethod* { return new CSerialPortMethod(name); };
    make.Modem = [](CMethod* transport, uint32_t portIndex, CMQAdapter* adapter, uint32_t busyOut) -> CModem* {
        return new CDovuModem(transport, portIndex, adapter, static_cast<uint8_t>(busyOut));
    };
    CAgent::SetSerialPortFactories(std::move(make));
}
