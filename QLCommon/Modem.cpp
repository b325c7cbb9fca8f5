#include "QLCommon/Modem.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

#include "QLCommon/Adapter.h"
#include "QLCommon/ConfigMap.h"
#include "QLCommon/IOCTLMethod.h"
#include "QLCommon/mthrd.h"
#include "QLCommon/os.h"

namespace {

constexpr algn_tField Row(uint32_t id) { return algn_tField{algn_kDWord, 1, nullptr, 0, nullptr, id}; }

// The field of an SMem ID in a record of 32-bit words, or null.
void* WordField(CVariable* variable, uint32_t smemId)
{
    if (smem_Field(smemId) == SMEM_WHOLE_RECORD)
        return variable;
    uint32_t field = smem_Field(smemId);
    if ((field + 1) * 4 > variable->Size())
        return nullptr;
    return static_cast<uint32_t*>(variable->Data()) + field;
}

std::mutex g_FactoryLock;
ModemMonitorFactory g_MonitorFactory;
ModemMenuFactory g_MenuFactory;

const std::map<uint32_t, const char*> kModemStateText = {
    {2, "Idle"}, {3, "Connecting"}, {4, "Connected"}, {5, "Out Of Service"}, {8, "Disconnecting"}, {9, "Idle"},
};

// The B-channel field of a modem whose snapshot named no channel.
constexpr uint32_t kNoChannel = 0xFFFFFFFFu;

enum : uint32_t {
    GS_STATE = 1,
    GS_OWNER_KIND = 9,
    GS_OWNER = 10,
    GS_BCHANNEL = 11,
};

CIOCTLMethod* IoctlOf(CManageableObject* object) { return dynamic_cast<CIOCTLMethod*>(object->GetTransport()); }

// Where a modem's pump sits: its own address for a board's modem, else none.
bool AddressOfModem(CManageableObject* object, uint32_t modemNumber, ModemAddress* address)
{
    auto* self = dynamic_cast<CRockyModem*>(object);
    if (self == nullptr || modemNumber == 0)
        return false;
    if (modemNumber == self->GetModemNumber()) {
        *address = self->GetAddress();
        return true;
    }
    // Another modem of the same board, as a message may name it.
    auto* adapter = dynamic_cast<CVX2430Adapter*>(self->GetAdapter());
    return adapter != nullptr && adapter->GetShape().AddressOf(modemNumber, address);
}

// Locks the record and writes the address of modem n; false when n names no modem.
bool BeginModemRequest(CManageableObject* object, CIOCTLMethod* t, uint32_t modemNumber, uint32_t cls, uint32_t action)
{
    ModemAddress a{};
    if (t == nullptr || !AddressOfModem(object, modemNumber, &a))
        return false;
    t->Lock();
    t->m_pRequest->Class = cls;
    t->m_pRequest->Action = action;
    t->m_pRequest->Arg[0] = a.Module;
    t->m_pRequest->Arg[1] = a.Processor;
    t->m_pRequest->Arg[2] = a.Pump;
    return true;
}

class CDialMethodIOCTL : public CMessageMethod {
    void Execute(CManageableObject*, CMessage* message) override
    {
        auto* dial = dynamic_cast<CDialMessage*>(message);
        os_MessageBox("IOCTL Dial: " + (dial != nullptr ? dial->m_Number : std::string()));
    }
};

class CResetMethodIOCTL : public CMessageMethod {
    void Execute(CManageableObject*, CMessage*) override { os_MessageBox("IOCTL Reset:"); }
};

class CStatusMethodIOCTL : public CMessageMethod {
    void Execute(CManageableObject*, CMessage*) override {}
};

// Out of service: succeeds only when the driver took the request.
class COOSMethodIOCTL : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* modem = static_cast<CModem*>(object);
        auto* oos = dynamic_cast<COOSMessage*>(message);
        CIOCTLMethod* t = IoctlOf(object);
        // Out of service stops the pump; back into service resets it, which brings it up idle.
        bool out = oos == nullptr || oos->m_OutOfService != 0;
        if (!BeginModemRequest(object, t, modem->GetModemNumber(), 2, out ? 9 : 8)) {
            message->Complete(MSG_FAILED);
            return;
        }
        if (!t->SendIoctlRequest()) {
            message->Complete(MSG_FAILED);
            return;
        }
        uint32_t status = t->m_pRequest->Status;
        t->Unlock();
        if (status == 0)
            if (auto* rocky = dynamic_cast<CRockyModem*>(modem))
                rocky->SetOutOfService(out);
        message->Complete(status == 0 ? MSG_DONE : MSG_FAILED);
    }
};

class CSendATCommandMethodIOCTL : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* send = dynamic_cast<CSendATCommandMessage*>(message);
        CIOCTLMethod* t = IoctlOf(object);
        // The command and its carriage return must fit the data area.
        if (send == nullptr || send->m_Command.size() + 1 > kBackdoorDataSize ||
            !BeginModemRequest(object, t, send->m_Modem, 5, 5)) {
            message->Complete(MSG_FAILED);
            return;
        }
        BackdoorRequest* r = t->m_pRequest;
        r->Arg[3] = 0;
        r->Segment[0].Offset = kBackdoorHeaderSize;
        r->Segment[0].Length = (uint32_t)send->m_Command.size() + 1;
        std::memcpy(r->Data, send->m_Command.data(), send->m_Command.size());
        r->Data[send->m_Command.size()] = '\r';
        if (!t->SendIoctlRequest()) {
            message->Complete(MSG_FAILED);
            return;
        }
        uint32_t status = r->Status;
        t->Unlock();
        message->Complete(status == 0 ? MSG_DONE : MSG_FAILED);
    }
};

class CGetATResponseMethodIOCTL : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* get = dynamic_cast<CGetATResponseMessage*>(message);
        CIOCTLMethod* t = IoctlOf(object);
        if (get == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        get->m_Response.clear();
        if (!BeginModemRequest(object, t, get->m_Modem, 0, 33)) {
            message->Complete(MSG_FAILED);
            return;
        }
        BackdoorRequest* r = t->m_pRequest;
        r->Segment[0].Offset = kBackdoorHeaderSize;
        if (!t->SendIoctlRequest()) {
            message->Complete(MSG_FAILED);
            return;
        }
        if (r->Status != 0) {
            t->Unlock();
            message->Complete(MSG_FAILED);
            return;
        }
        size_t length = std::min<uint32_t>(r->Segment[0].Length, 64);
        const char* text = reinterpret_cast<const char*>(r->Data);
        get->m_Response.assign(text, strnlen(text, length));
        t->Unlock();
        message->Complete(MSG_DONE);
    }
};

class CReadGeneralStatusMethod : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* read = dynamic_cast<CReadVariableMessage<zelmdm_tGeneralStatus>*>(message);
        auto* modem = dynamic_cast<CModem*>(object);
        if (read == nullptr || modem == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        {
            std::lock_guard<std::mutex> g(modem->m_RecordLock);
            read->m_Record = modem->m_GeneralStatus.m_Record;
        }
        message->Complete(MSG_DONE);
    }
};

template <class T, CVariableDecl<T> CCall::*Member>
class CCallReadMethod : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* read = dynamic_cast<CReadVariableMessage<T>*>(message);
        if (read == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        read->m_Record = (static_cast<CCall*>(object)->*Member).m_Record;
        message->Complete(MSG_DONE);
    }
};

class CCallWriteMethod : public CMessageMethod {
    void Execute(CManageableObject*, CMessage* message) override { message->Complete(MSG_DONE); }
};

}  // namespace

// --- CCall ------------------------------------------------------------------------

const algn_tField CCall::tCall_Table[] = {Row(0), Row(1), Row(2), Row(3), Row(4), {algn_kEnd, 0, nullptr, 0, nullptr, 0}};

CCall::CCall() : m_Call(tCall_Table), m_LastCall(zelmdm_tLastCallInfo_Table)
{
    Register("CCall", sizeof(CCall), this);
    m_Call.m_Record.StartTime = (uint32_t)std::time(nullptr);
}

CCall::~CCall() { Unregister(); }

void CCall::BuildVariableMethods()
{
    AddMethod<CReadVariableMessage<tCall>>("", new CCallReadMethod<tCall, &CCall::m_Call>);
    AddMethod<CReadVariableMessage<zelmdm_tLastCallInfo>>("",
                                                          new CCallReadMethod<zelmdm_tLastCallInfo, &CCall::m_LastCall>);
    AddMethod<CWriteVariableMessage<tCall>>("", new CCallWriteMethod);
    AddMethod<CWriteVariableMessage<zelmdm_tLastCallInfo>>("", new CCallWriteMethod);
}

void* CCall::GetItemPtr(uint32_t smemId, const CSMemIndex&)
{
    if ((smemId & 0xFFFF) == SMEM_OBJECT)
        return this;
    switch (smem_Variable(smemId)) {
    case 0x8000: return WordField(&m_Call, smemId);
    case 0x4000: return WordField(&m_LastCall, smemId);
    default: return nullptr;
    }
}

void CCall::Finish(uint32_t endTime, const zelmdm_tLastCallInfo& lastCall)
{
    tCall& c = m_Call.m_Record;
    c.EndTime = endTime;
    c.Duration = (int64_t)endTime - (int64_t)c.StartTime < 0 ? 0 : endTime - c.StartTime;
    c.Completed = 1;
    m_LastCall.m_Record = lastCall;
    m_LastCall.m_Record.Field[18] = 0;
    m_LastCall.m_Record.Field[19] = 0;
}

// --- CModem -----------------------------------------------------------------------

CModem::CModem(CMethod* transport, uint32_t modemNumber, CAdapter* adapter)
    : CDevice(transport),
      m_GeneralStatus(zelmdm_tGeneralStatus_Table),
      m_GeneralConfig(zelmdm_tGeneralConfig_Table),
      m_DialControl(zelmdm_tDialControlConfig_Table),
      m_CallControl(zelmdm_tCallControlConfig_Table),
      m_LastCall(zelmdm_tLastCallInfo_Table),
      m_CallStatistics(zelmdm_tCallStatistics_Table),
      m_ModemNumber(modemNumber),
      m_pAdapter(adapter)
{
    m_History.reserve(kHistory);
    if (m_pAdapter != nullptr && m_pAdapter->IsDebugMenusOn()) {
        ModemMenuFactory factory;
        {
            std::lock_guard<std::mutex> g(g_FactoryLock);
            factory = g_MenuFactory;
        }
        if (factory)
            SetMenu(factory(this));
    }
}

void CModem::SetMenuFactory(ModemMenuFactory factory)
{
    std::lock_guard<std::mutex> g(g_FactoryLock);
    g_MenuFactory = std::move(factory);
}

CModem::~CModem()
{
    GManagementThread.Unregister(this);
    for (CCall* c : m_History)
        delete c;
    delete m_pCurrentCall;
}

void* CModem::GetItemPtr(uint32_t smemId, const CSMemIndex&)
{
    if ((smemId & 0xFFFF) == SMEM_OBJECT)
        return this;
    switch (smem_Variable(smemId) >> 8) {
    case 0x40: return WordField(&m_CallStatistics, smemId);
    case 0x80: return WordField(&m_LastCall, smemId);
    case 0x20: return WordField(&m_GeneralStatus, smemId);
    case 0x04: return WordField(&m_CallControl, smemId);
    case 0x08: return WordField(&m_DialControl, smemId);
    case 0x10: return WordField(&m_GeneralConfig, smemId);
    default:
        ZEL_TRACE(1, " Unknown SMem ID %lx ", (unsigned long)smemId);
        return nullptr;
    }
}

void* CModem::GetItemptr2(uint32_t smemId, int32_t historyIndex, uint32_t)
{
    if ((smemId >> 16) != 2) {
        ZEL_TRACE(1, " GetItemptr2 Unknown SMem ID %lx ", (unsigned long)smemId);
        return nullptr;
    }
    std::lock_guard<std::mutex> g(m_HistoryLock);
    if (historyIndex < 0 || (size_t)historyIndex >= m_History.size())
        return nullptr;
    int32_t at = ((m_HistoryPosition - historyIndex) % kHistory + kHistory) % kHistory;
    return m_History[(size_t)at]->GetItemPtr(smemId, CSMemIndex());
}

void CModem::Update(CSubject* subject, SubjectHint)
{
    auto* get = dynamic_cast<CGetATResponseMessage*>(subject);
    if (get != nullptr)
        os_MessageBox("Response: <" + get->m_Response + ">");
}

void CModem::Initialize()
{
    char text[48];
    std::snprintf(text, sizeof text, "Initialize modem #%u", m_ModemNumber);
    os_MessageBox(text);
}

void CModem::SendATCommand(const std::string& command) { Push(new CSendATCommandMessage(m_ModemNumber, command)); }

void CModem::GetATResponse() { PushWithObserver(new CGetATResponseMessage(m_ModemNumber), this); }

void CModem::StartCall()
{
    std::lock_guard<std::mutex> g(m_HistoryLock);
    delete m_pCurrentCall;
    m_pCurrentCall = new CCall;
}

void CModem::EndCall(uint32_t endTime)
{
    {
        std::lock_guard<std::mutex> g(m_HistoryLock);
        if (m_pCurrentCall == nullptr)
            return;
        zelmdm_tLastCallInfo last;
        {
            std::lock_guard<std::mutex> r(m_RecordLock);
            last = m_LastCall.m_Record;
        }
        m_pCurrentCall->Finish(endTime, last);
        m_HistoryPosition = (m_HistoryPosition + 1) % kHistory;
        if (m_History.size() == (size_t)kHistory) {
            delete m_History[(size_t)m_HistoryPosition];
            m_History[(size_t)m_HistoryPosition] = m_pCurrentCall;
        } else {
            m_History.push_back(m_pCurrentCall);
        }
        m_pCurrentCall = nullptr;
    }
    UpdateCallStatistics();
}

size_t CModem::CallCount()
{
    std::lock_guard<std::mutex> g(m_HistoryLock);
    return m_History.size();
}

void CModem::UpdateCallStatistics()
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    uint32_t* S = m_CallStatistics.m_Record.Field;
    const uint32_t* L = m_LastCall.m_Record.Field;
    bool good = L[22] == 25 || L[22] == 47 || L[22] == 61 || L[22] == 91;
    if (L[22] == 47)
        S[3] += 1;
    S[2] += 1;
    if (good)
        S[1] += 1;
    S[6] += L[16] + L[17];
    uint32_t rate = std::max(L[2], L[4]);
    if (rate < 2401)
        S[7] += 1;
    else if (rate > 14400)
        S[9] += 1;
    else
        S[8] += 1;
    if (L[0] == 1 || L[0] == 2)
        S[10] += 1;
    if (L[1] == 1 || L[1] == 2)
        S[11] += 1;
    S[12] = S[13] = S[14] = 0;
    S[15] += L[12];
    S[16] += L[14];
    S[17] += L[13];
    S[18] += L[13];
}

// --- CRockyModem ------------------------------------------------------------------

CRockyModem::CRockyModem(CIOCTLMethod* transport, uint32_t modemNumber, CAdapter* adapter, ModemAddress address)
    : CModem(transport, modemNumber, adapter), m_pIoctl(transport), m_Address(address)
{
    Register("CRockyModem", sizeof(CRockyModem), this);
    zelmdm_tGeneralStatus& s = m_GeneralStatus.m_Record;
    s.Field[GS_STATE] = 5;
    s.Field[GS_OWNER_KIND] = 0;
    s.Field[GS_OWNER] = 0;
    s.Field[GS_BCHANNEL] = kNoChannel;
    s.OutOfService = 0;
    s.Monitoring = 0;
}

CRockyModem::~CRockyModem()
{
    GManagementThread.Unregister(this);
    // The monitors' threads use the transport: they end before the modem goes.
    for (CModemMonitor** m : {&m_pARMMonitor, &m_pDriverMonitor}) {
        if (*m != nullptr) {
            (*m)->Stop();
            delete *m;
            *m = nullptr;
        }
    }
    Unregister();
}

void CRockyModem::SetMonitorFactory(ModemMonitorFactory factory)
{
    std::lock_guard<std::mutex> g(g_FactoryLock);
    g_MonitorFactory = std::move(factory);
}

void CRockyModem::BuildVariableMethods()
{
    AddMethod<CDialMessage>("IOCTL", new CDialMethodIOCTL);
    AddMethod<COOSMessage>("IOCTL", new COOSMethodIOCTL);
    AddMethod<CResetMessage>("IOCTL", new CResetMethodIOCTL);
    AddMethod<CSendATCommandMessage>("IOCTL", new CSendATCommandMethodIOCTL);
    AddMethod<CGetATResponseMessage>("IOCTL", new CGetATResponseMethodIOCTL);
    AddMethod<CStatusMessage>("IOCTL", new CStatusMethodIOCTL);
    AddMethod<CReadVariableMessage<zelmdm_tGeneralStatus>>("IOCTL", new CReadGeneralStatusMethod);
}

std::string CRockyModem::GetDisplayName()
{
    char text[32];
    std::snprintf(text, sizeof text, "Rocky Modem(%u)", m_ModemNumber);
    return text;
}

bool CRockyModem::IsOutOfService()
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    return m_GeneralStatus.m_Record.OutOfService == 1;
}

void CRockyModem::SetOutOfService(bool out)
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    m_GeneralStatus.m_Record.OutOfService = out ? 1 : 0;
}

bool CRockyModem::IsMonitoring()
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    return m_GeneralStatus.m_Record.Monitoring == 1;
}

uint32_t CRockyModem::GetModemState()
{
    std::lock_guard<std::mutex> g(m_RecordLock);
    return m_GeneralStatus.m_Record.Field[GS_STATE];
}

void CRockyModem::SetMonitoring(bool on)
{
    if (on) {
        if (m_pARMMonitor != nullptr || m_pDriverMonitor != nullptr)
            return;
        {
            std::lock_guard<std::mutex> g(m_RecordLock);
            m_GeneralStatus.m_Record.Monitoring = 1;
        }
        ModemMonitorFactory factory;
        {
            std::lock_guard<std::mutex> g(g_FactoryLock);
            factory = g_MonitorFactory;
        }
        if (!factory)
            return;
        m_pARMMonitor = factory(MONITOR_ARM);
        m_pDriverMonitor = factory(MONITOR_DRIVER);
        for (CModemMonitor* m : {m_pARMMonitor, m_pDriverMonitor})
            if (m != nullptr)
                m->Start(m_pIoctl, m_ModemNumber, m_Address);
        return;
    }
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        m_GeneralStatus.m_Record.Monitoring = 0;
    }
    for (CModemMonitor* m : {m_pARMMonitor, m_pDriverMonitor})
        if (m != nullptr)
            m->Stop();
    for (CModemMonitor* m : {m_pARMMonitor, m_pDriverMonitor})
        if (m != nullptr)
            os_StartProcess("Notepad.exe " + m->GetLogFileName());
    delete m_pARMMonitor;
    delete m_pDriverMonitor;
    m_pARMMonitor = m_pDriverMonitor = nullptr;
}

void CRockyModem::NotifyStatus()
{
    CReadVariableMessage<zelmdm_tGeneralStatus>* message;
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        message = new CReadVariableMessage<zelmdm_tGeneralStatus>(zelmdm_tGeneralStatus_Table, m_GeneralStatus.m_Record);
    }
    Notify(reinterpret_cast<SubjectHint>(message));
    delete message;
}

void CRockyModem::SetStatusItem(uint32_t id, uint32_t length, const uint32_t* data)
{
    uint32_t field = id == 1 ? (uint32_t)GS_OWNER_KIND : id == 2 ? (uint32_t)GS_OWNER : id == 4 ? (uint32_t)GS_BCHANNEL : 0u;
    if (field == 0 || length == 0 || data == nullptr)
        return;
    bool changed;
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        changed = m_GeneralStatus.m_Record.Field[field] != data[0];
        m_GeneralStatus.m_Record.Field[field] = data[0];
    }
    if (changed)
        NotifyStatus();
}

uint32_t CRockyModem::StateOf(uint32_t s, uint32_t ownerKind)
{
    if (s >= 1 && s <= 3)
        return ownerKind != 0 ? 9 : 2;
    if (s == 4 || s == 5)
        return 3;
    if (s == 6)
        return 4;
    if (s == 7 || s == 8)
        return 8;
    return 5;
}

void CRockyModem::SetState(uint32_t s)
{
    bool changed;
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        uint32_t state = StateOf(s, m_GeneralStatus.m_Record.Field[GS_OWNER_KIND]);
        changed = m_GeneralStatus.m_Record.Field[GS_STATE] != state;
        m_GeneralStatus.m_Record.Field[GS_STATE] = state;
    }
    if (changed)
        NotifyStatus();
}

void CRockyModem::SetStatus(const CPumpStatus& status)
{
    bool changed;
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        uint32_t* f = m_GeneralStatus.m_Record.Field;
        uint32_t before[4] = {f[GS_STATE], f[GS_OWNER_KIND], f[GS_OWNER], f[GS_BCHANNEL]};
        f[GS_OWNER_KIND] = status.HasOwner ? status.Owner : 0;
        f[GS_OWNER] = status.HasLine ? status.Line : 0;
        f[GS_BCHANNEL] = status.HasChannel ? status.Channel : kNoChannel;
        f[GS_STATE] = StateOf(status.State, f[GS_OWNER_KIND]);
        changed = before[0] != f[GS_STATE] || before[1] != f[GS_OWNER_KIND] || before[2] != f[GS_OWNER] ||
                  before[3] != f[GS_BCHANNEL];
    }
    if (changed)
        NotifyStatus();
}

std::string CRockyModem::GetViewText()
{
    zelmdm_tGeneralStatus s;
    {
        std::lock_guard<std::mutex> g(m_RecordLock);
        s = m_GeneralStatus.m_Record;
    }
    uint32_t state = s.Field[GS_STATE];
    auto it = kModemStateText.find(state);
    std::string text = it != kModemStateText.end() ? it->second : "";
    char part[48];
    // The channel only when the snapshot named one.
    if ((state == 3 || state == 4 || state == 8) && s.Field[GS_BCHANNEL] != kNoChannel) {
        std::snprintf(part, sizeof part, " on B-Channel %d", (int)s.Field[GS_BCHANNEL]);
        text += part;
    }
    if (state == 3 || state == 4 || state == 8 || state == 9) {
        if (s.Field[GS_OWNER_KIND] == 2) {
            std::snprintf(part, sizeof part, ": Com%d", (int)s.Field[GS_OWNER]);
            text += part;
        } else if (s.Field[GS_OWNER_KIND] == 1) {
            std::snprintf(part, sizeof part, ": ISDN%d", (int)s.Field[GS_OWNER]);
            text += part;
        }
    } else {
        text += ": Unallocated";
    }
    return text;
}
