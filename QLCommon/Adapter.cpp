#include "QLCommon/Adapter.h"

#include <atomic>
#include <cstdio>

#include "QLCommon/ConfigMap.h"
#include "QLCommon/mthrd.h"
#include "QLCommon/strutil.h"

namespace {

std::atomic<uint32_t> g_NextInstance{0};

constexpr uint32_t kRobbedBitProtocol = 0;
// More data words than any item the driver sends; a longer one is read and dropped.
constexpr uint32_t kItemWordsKept = 8;

// One entry of the snapshot: a state word, then items (id, n, n words) up to an id of
// 0; a robbed-bit channel entry is the state word alone. Items go to the sink as read.
template <class Sink>
bool ReadEntry(CReplyReader& r, bool bare, uint32_t* state, Sink sink)
{
    if (!r.Word(state))
        return false;
    if (bare)
        return true;
    for (;;) {
        uint32_t id, n;
        if (!r.Word(&id))
            return false;
        if (id == 0)
            return true;
        if (!r.Word(&n) || n > r.WordsLeft())
            return false;
        uint32_t data[kItemWordsKept] = {};
        uint32_t kept = std::min(n, kItemWordsKept);
        for (uint32_t i = 0; i < kept; i++)
            r.Word(&data[i]);
        r.Skip(n - kept);
        sink(id, kept, data);
    }
}

class CInitializeMessageMethodIOCTL : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        static_cast<CVX2430Adapter*>(object)->Initialize();
        message->Complete(MSG_DONE);
    }
};

class CStatusPollMessageMethodIOCTL : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        static_cast<CVX2430Adapter*>(object)->PollStatus();
        message->Complete(MSG_DONE);
    }
};

class CUpdateModemCodeMessageIOCTL : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* update = dynamic_cast<CVX2430Adapter::CUpdateModemCodeMessage*>(message);
        if (update == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        auto* adapter = static_cast<CVX2430Adapter*>(object);
        if (update->m_DriverFile != 0)
            adapter->UpdateDriverFile(update);
        else
            adapter->UpdateFirmwareFile(update);
    }
};

}  // namespace

bool ParseStatusSnapshot(CReplyReader r, const CSnapshotTargets& t)
{
    uint32_t protocol, layer1, layer2;
    if (!r.Word(&protocol) || !r.Word(&layer1) || !r.Word(&layer2))
        return false;
    if (t.LineInterface != nullptr)
        t.LineInterface->SetLayerStates((uint8_t)layer1, (uint8_t)layer2);

    bool bare = protocol == kRobbedBitProtocol;
    size_t next = 0;
    for (uint32_t k = 0; k < 32; k++) {
        CRockyChannel* channel = next < t.Channels.size() ? t.Channels[next] : nullptr;
        uint32_t state;
        bool whole = ReadEntry(r, bare, &state, [&](uint32_t id, uint32_t n, const uint32_t* data) {
            if (channel != nullptr)
                channel->SetStatusItem(id, n, data);
        });
        if (!whole)
            return false;
        if (k == 0)
            continue;  // the walk stays on the first channel
        if (channel != nullptr)
            channel->SetState(protocol, state);
        next++;
    }

    size_t modem = 0;
    for (uint32_t m = 0; m < t.ModuleCount; m++) {
        uint32_t a, b;
        if (!r.Word(&a) || !r.Word(&b))
            return false;
        if (m < CVX2430Adapter::kModuleWords && t.ModuleWordA != nullptr && t.ModuleWordB != nullptr) {
            t.ModuleWordA[m] = a;
            t.ModuleWordB[m] = b;
        }
        for (uint32_t i = 0; i < CVX2430Adapter::kModemsPerModule; i++, modem++) {
            CRockyModem* target = modem < t.Modems.size() ? t.Modems[modem] : nullptr;
            uint32_t state;
            bool whole = ReadEntry(r, false, &state, [&](uint32_t id, uint32_t n, const uint32_t* data) {
                if (target != nullptr)
                    target->SetStatusItem(id, n, data);
            });
            if (!whole)
                return false;
            if (target != nullptr)
                target->SetState(state);
        }
    }
    return true;
}

// --- CAdapter, CMQAdapter ---------------------------------------------------------

std::string CAdapter::GetParametersKey() const
{
    return "SYSTEM\\CurrentControlSet\\Services\\" + m_Name + "\\Parameters";
}

CMQAdapter::CMQAdapter() { Register("CMQAdapter", sizeof(CMQAdapter), this); }

CMQAdapter::~CMQAdapter()
{
    for (CModem* m : m_Modems)
        delete m;
    Unregister();
}

CModem* CMQAdapter::GetModem(uint32_t index)
{
    std::lock_guard<std::mutex> g(m_ListLock);
    return index < m_Modems.size() ? m_Modems[index] : nullptr;
}

uint32_t CMQAdapter::GetModemCount()
{
    std::lock_guard<std::mutex> g(m_ListLock);
    return std::min<uint32_t>(m_ModemCount, (uint32_t)m_Modems.size());
}

void CMQAdapter::AddModem(CModem* modem)
{
    std::lock_guard<std::mutex> g(m_ListLock);
    m_Modems.push_back(modem);
}

void CMQAdapter::SetModemCount(uint32_t count)
{
    std::lock_guard<std::mutex> g(m_ListLock);
    m_ModemCount = count;
}

// --- CVX2430Adapter ---------------------------------------------------------------

CVX2430Adapter::CVX2430Adapter(CIOCTLMethod* transport, uint32_t deviceNumber, const std::string& name, uint32_t)
    : CAdapter(transport), m_pIoctl(transport), m_DeviceNumber(deviceNumber), m_InstanceNumber(g_NextInstance++)
{
    m_Name = name;
    Register("CVX2430Adapter", sizeof(CVX2430Adapter), this);
    m_hSetupEvent = os_CreateManualEvent();
    m_hInitialisedEvent = os_CreateManualEvent();
    m_pPollTimer = new COS_Timer(kPollPeriodMs, true);
    m_EventList.push_back(m_pPollTimer->GetHandle());
    Push(new CInitializeMessage);
}

CVX2430Adapter::~CVX2430Adapter()
{
    GManagementThread.Unregister(this);
    m_EventList.clear();
    delete m_pPollTimer;
    // Anyone still waiting for the objects is let go.
    os_SetEvent(m_hSetupEvent);
    os_SetEvent(m_hInitialisedEvent);
    for (CRockyLineInterface* li : m_LineInterfaces)
        delete li;
    for (CRockyChannel* c : m_Channels)
        delete c;
    for (CModem* m : m_Modems)
        delete m;
    os_CloseEvent(m_hSetupEvent);
    os_CloseEvent(m_hInitialisedEvent);
    Unregister();
}

void CVX2430Adapter::BuildVariableMethods()
{
    AddMethod<CInitializeMessage>("IOCTL", new CInitializeMessageMethodIOCTL);
    AddMethod<CStatusPollMessage>("IOCTL", new CStatusPollMessageMethodIOCTL);
    AddMethod<CUpdateModemCodeMessage>("IOCTL", new CUpdateModemCodeMessageIOCTL);
}

void CVX2430Adapter::HandleEvent(HANDLE)
{
    os_ResetEvent(m_pPollTimer->GetHandle());
    Push(new CStatusPollMessage);
}

void CVX2430Adapter::Update(CSubject* subject, SubjectHint)
{
    auto* read = dynamic_cast<CReadVariableMessage<rpri_tSetup>*>(subject);
    if (read == nullptr)
        return;
    {
        std::lock_guard<std::mutex> g(m_ListLock);
        m_SetupCopy = read->m_Record;
    }
    os_SetEvent(m_hSetupEvent);
}

CModem* CVX2430Adapter::GetModem(uint32_t index)
{
    std::lock_guard<std::mutex> g(m_ListLock);
    return index < m_Modems.size() ? m_Modems[index] : nullptr;
}

uint32_t CVX2430Adapter::GetModemCount()
{
    std::lock_guard<std::mutex> g(m_ListLock);
    return (uint32_t)m_Modems.size();
}

CLineInterface* CVX2430Adapter::GetLineInterface()
{
    std::lock_guard<std::mutex> g(m_ListLock);
    return m_LineInterfaces.empty() ? nullptr : m_LineInterfaces.front();
}

CRockyChannel* CVX2430Adapter::GetChannel(uint32_t index)
{
    std::lock_guard<std::mutex> g(m_ListLock);
    return index < m_Channels.size() ? m_Channels[index] : nullptr;
}

uint32_t CVX2430Adapter::GetChannelCount()
{
    std::lock_guard<std::mutex> g(m_ListLock);
    return (uint32_t)m_Channels.size();
}

uint32_t CVX2430Adapter::GetModuleCount()
{
    std::lock_guard<std::mutex> g(m_ListLock);
    return m_ModuleCount;
}

uint32_t CVX2430Adapter::GetModuleWordA(uint32_t m)
{
    std::lock_guard<std::mutex> g(m_ListLock);
    return m < kModuleWords ? m_ModuleWordA[m] : 0;
}

uint32_t CVX2430Adapter::GetModuleWordB(uint32_t m)
{
    std::lock_guard<std::mutex> g(m_ListLock);
    return m < kModuleWords ? m_ModuleWordB[m] : 0;
}

bool CVX2430Adapter::ReadDebugValue(const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, GetParametersKey().c_str(), &key) != ERROR_SUCCESS)
        return false;
    uint32_t value = 0;
    DWORD type = 0, size = sizeof value;
    LONG r = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS && type == REG_DWORD && size == 4 && value != 0;
}

bool CVX2430Adapter::IsDebugMenusOn() { return ReadDebugValue("DebugMenusOn"); }

bool CVX2430Adapter::IsDebugPagesOn() { return ReadDebugValue("DebugPagesOn"); }

void CVX2430Adapter::Initialize()
{
    CIOCTLMethod* t = m_pIoctl;
    bool built = false;
    t->Lock();
    t->m_pRequest->Class = 0;
    t->m_pRequest->Action = 17;
    if (t->SendIoctlRequest()) {
        if (t->m_pRequest->Status != 0) {
            t->Unlock();
        } else {
            CReplyData* reply = t->GetReplyData();
            t->Unlock();
            CReplyReader r = reply->Reader();
            uint32_t id, groups, lines, modules;
            if (r.Word(&id) && r.Word(&groups) && r.Word(&lines) && r.Word(&modules)) {
                if (modules > kMaxModules) {
                    ZEL_TRACE(1, "Adapter reports %u modules; %u are used", modules, kMaxModules);
                    modules = kMaxModules;
                }
                {
                    std::lock_guard<std::mutex> g(m_ListLock);
                    m_GroupCount = groups;
                    m_LineCount = lines;
                    m_ModuleCount = modules;
                }
                built = true;
            }
            t->FreeReplyData(reply);
        }
    }
    if (built) {
        uint32_t modules = GetModuleCount();
        for (uint32_t n = 1; n <= kModemsPerModule * modules; n++) {
            auto* modem = new CRockyModem(t, n, this);
            {
                std::lock_guard<std::mutex> g(m_ListLock);
                m_Modems.push_back(modem);
            }
            GManagementThread.Register(modem);
        }
        auto* li = new CRockyLineInterface(t, this, 2);
        {
            std::lock_guard<std::mutex> g(m_ListLock);
            m_LineInterfaces.push_back(li);
        }
        GManagementThread.Register(li);
        li->PushWithObserver(new CReadVariableMessage<rpri_tSetup>(rpri_tSetup_Table), this);
        // The read runs on another worker; a pool being closed meanwhile never runs it.
        bool setup = false;
        for (DWORD waited = 0; !setup && waited < kSetupWaitMs && !GManagementThread.IsClosing(); waited += 50)
            setup = WaitForSingleObject(m_hSetupEvent, 50) == WAIT_OBJECT_0;
        if (!setup)
            ZEL_TRACE(1, "No setup record for %s: no channel is built", m_Name.c_str());
        int8_t lineMode = -1;
        if (setup) {
            std::lock_guard<std::mutex> g(m_ListLock);
            lineMode = m_SetupCopy.LineMode;
        }
        uint32_t count = lineMode == 0 ? 24 : lineMode == 1 ? 31 : 0;
        uint32_t dChannel = lineMode == 0 ? 24 : 16;
        for (uint32_t n = 1; n <= count; n++) {
            auto* channel = new CRockyChannel(t, n, n == dChannel ? 1 : 0);
            {
                std::lock_guard<std::mutex> g(m_ListLock);
                m_Channels.push_back(channel);
            }
            GManagementThread.Register(channel);
        }
    }
    os_SetEvent(m_hInitialisedEvent);
    Push(new CStatusPollMessage);
}

void CVX2430Adapter::PollStatus()
{
    CIOCTLMethod* t = m_pIoctl;
    t->Lock();
    t->m_pRequest->Class = 0;
    t->m_pRequest->Action = 100;
    t->m_pRequest->Arg[0] = 0;
    if (!t->SendIoctlRequest())
        return;
    if (t->m_pRequest->Status != 0) {
        t->Unlock();
        return;
    }
    CReplyData* reply = t->GetReplyData();
    t->Unlock();
    CSnapshotTargets targets;
    uint32_t wordA[kModuleWords], wordB[kModuleWords];
    {
        std::lock_guard<std::mutex> g(m_ListLock);
        targets.LineInterface = m_LineInterfaces.empty() ? nullptr : m_LineInterfaces.front();
        targets.Channels = m_Channels;
        for (CModem* m : m_Modems)
            targets.Modems.push_back(static_cast<CRockyModem*>(m));
        targets.ModuleCount = m_ModuleCount;
        std::copy(m_ModuleWordA, m_ModuleWordA + kModuleWords, wordA);
        std::copy(m_ModuleWordB, m_ModuleWordB + kModuleWords, wordB);
    }
    targets.ModuleWordA = wordA;
    targets.ModuleWordB = wordB;
    if (!ParseStatusSnapshot(reply->Reader(), targets))
        ZEL_TRACE(1, "Status snapshot of %s ended early", m_Name.c_str());
    {
        std::lock_guard<std::mutex> g(m_ListLock);
        std::copy(wordA, wordA + kModuleWords, m_ModuleWordA);
        std::copy(wordB, wordB + kModuleWords, m_ModuleWordB);
    }
    t->FreeReplyData(reply);
}

void CVX2430Adapter::UpdateFile(CUpdateModemCodeMessage* message, const char* relativePath)
{
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, sizeof system);
    std::string destination = std::string(system) + relativePath;
    int copied = CopyFileByStreams(message->m_SourcePath.c_str(), destination.c_str());
    message->m_Result = copied == COPY_DONE ? 0 : copied == COPY_SAME_FILE ? 1 : copied == COPY_NOT_OPENED ? 2 : 3;
    message->Complete(message->m_Result == 0 ? MSG_DONE : MSG_FAILED);
}

void CVX2430Adapter::UpdateDriverFile(CUpdateModemCodeMessage* message)
{
    UpdateFile(message, "\\drivers\\vornet.sys");
}

void CVX2430Adapter::UpdateFirmwareFile(CUpdateModemCodeMessage* message) { UpdateFile(message, "\\drivers\\armcsm"); }
