#include "QLCommon/Adapter.h"

#include <atomic>
#include <cstdio>

#include "QLCommon/ConfigMap.h"
#include "QLCommon/mthrd.h"
#include "QLCommon/strutil.h"

namespace {

std::atomic<uint32_t> g_NextInstance{0};

constexpr uint32_t kRobbedBitProtocol = 0;
// Snapshot items: the pump's link owner, its line, the pump serving a channel, the
// pump's channel.
constexpr uint32_t kItemOwner = 1, kItemLine = 2, kItemPump = 3, kItemChannel = 4;

// One entry of the snapshot as read: its state word and the items it carried (the
// first data words of each; a longer item is read and the rest dropped).
struct CEntry {
    uint32_t State = 0;
    uint32_t Present = 0;  // bit id for each item id below 32
    uint32_t Data[32][3] = {};
    bool Has(uint32_t id) const { return id < 32 && ((Present >> id) & 1) != 0; }
};

// A state word, then items (id, n, n words) up to an id of 0; a robbed-bit channel
// entry is the state word alone.
bool ReadEntry(CReplyReader& r, bool bare, CEntry* e)
{
    *e = CEntry{};
    if (!r.Word(&e->State))
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
        uint32_t kept = std::min<uint32_t>(n, 3);
        uint32_t data[3] = {};
        for (uint32_t i = 0; i < kept; i++)
            r.Word(&data[i]);
        r.Skip(n - kept);
        // An item must carry what its id promises: the pump item three words, others one.
        if (id < 32 && n >= (id == kItemPump ? 3u : 1u)) {
            e->Present |= 1u << id;
            std::copy(data, data + 3, e->Data[id]);
        }
    }
}

class CBuildChannelsMessageMethodIOCTL : public CMessageMethod {
    void Execute(CManageableObject* object, CMessage* message) override
    {
        auto* build = dynamic_cast<CVX2430Adapter::CBuildChannelsMessage*>(message);
        if (build == nullptr) {
            message->Complete(MSG_FAILED);
            return;
        }
        static_cast<CVX2430Adapter*>(object)->BuildChannels(build->m_SetupRead, build->m_Setup);
        message->Complete(MSG_DONE);
    }
};

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

uint32_t CModuleShape::ModemCount() const
{
    uint32_t n = 0;
    for (uint32_t p : Pumps)
        n += p;
    return n;
}

uint32_t CModemShape::ModemCount() const { return FirstModem((uint32_t)Modules.size()); }

uint32_t CModemShape::FirstModem(uint32_t module) const
{
    uint32_t n = 0;
    for (uint32_t m = 0; m < module && m < Modules.size(); m++)
        n += Modules[m].ModemCount();
    return n;
}

bool CModemShape::AddressOf(uint32_t modemNumber, ModemAddress* address) const
{
    if (modemNumber == 0)
        return false;
    uint32_t left = modemNumber - 1;
    for (uint32_t m = 0; m < Modules.size(); m++)
        for (uint32_t c = 0; c < Modules[m].Pumps.size(); c++) {
            if (left < Modules[m].Pumps[c]) {
                *address = ModemAddress{m, c, left};
                return true;
            }
            left -= Modules[m].Pumps[c];
        }
    return false;
}

uint32_t CModemShape::NumberOf(uint32_t module, uint32_t processor, uint32_t pump) const
{
    if (module >= Modules.size() || processor >= Modules[module].Pumps.size() ||
        pump >= Modules[module].Pumps[processor])
        return 0;
    uint32_t n = FirstModem(module);
    for (uint32_t c = 0; c < processor; c++)
        n += Modules[module].Pumps[c];
    return n + pump + 1;
}

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
        CEntry e;
        if (!ReadEntry(r, bare, &e))
            return false;
        // The modem serving the channel is the one its entry names, or none; entry 0
        // (the walk stays on the first channel) only names one.
        if (channel != nullptr && (k != 0 || e.Has(kItemPump))) {
            const uint32_t* pump = e.Data[kItemPump];
            channel->SetModem(e.Has(kItemPump) && t.Shape != nullptr ? t.Shape->NumberOf(pump[2], pump[1], pump[0]) : 0);
        }
        if (k == 0)
            continue;
        if (channel != nullptr)
            channel->SetState(protocol, e.State);
        next++;
    }

    for (uint32_t m : t.Modules) {
        uint32_t a, b;
        if (!r.Word(&a) || !r.Word(&b))
            return false;
        if (m < CVX2430Adapter::kModuleWords && t.ModuleWordA != nullptr && t.ModuleWordB != nullptr) {
            t.ModuleWordA[m] = a;
            t.ModuleWordB[m] = b;
        }
        if (t.Shape == nullptr || m >= t.Shape->Modules.size())
            return false;
        uint32_t first = t.Shape->FirstModem(m);
        for (uint32_t i = 0; i < t.Shape->Modules[m].ModemCount(); i++) {
            CRockyModem* target = first + i < t.Modems.size() ? t.Modems[first + i] : nullptr;
            CEntry e;
            if (!ReadEntry(r, false, &e))
                return false;
            if (target == nullptr)
                continue;
            CPumpStatus status;
            status.State = e.State;
            status.HasOwner = e.Has(kItemOwner);
            status.Owner = e.Data[kItemOwner][0];
            status.HasLine = e.Has(kItemLine);
            status.Line = e.Data[kItemLine][0];
            status.HasChannel = e.Has(kItemChannel);
            status.Channel = e.Data[kItemChannel][0];
            target->SetStatus(status);
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
    m_hInitialisedEvent = os_CreateManualEvent();
    m_pPollTimer = new COS_Timer(kPollPeriodMs, true);
    m_EventList.push_back(m_pPollTimer->GetHandle());
    Push(new CInitializeMessage);
}

CVX2430Adapter::~CVX2430Adapter()
{
    GManagementThread.Unregister(this);
    {
        std::lock_guard<std::mutex> g(m_ListLock);
        m_bClosing = true;
    }
    m_EventList.clear();
    delete m_pPollTimer;
    // Anyone still waiting for the objects is let go.
    os_SetEvent(m_hInitialisedEvent);
    for (CRockyLineInterface* li : m_LineInterfaces)
        delete li;
    for (CRockyChannel* c : m_Channels)
        delete c;
    for (CModem* m : m_Modems)
        delete m;
    os_CloseEvent(m_hInitialisedEvent);
    Unregister();
}

void CVX2430Adapter::BuildVariableMethods()
{
    AddMethod<CInitializeMessage>("IOCTL", new CInitializeMessageMethodIOCTL);
    AddMethod<CBuildChannelsMessage>("IOCTL", new CBuildChannelsMessageMethodIOCTL);
    AddMethod<CStatusPollMessage>("IOCTL", new CStatusPollMessageMethodIOCTL);
    AddMethod<CUpdateModemCodeMessage>("IOCTL", new CUpdateModemCodeMessageIOCTL);
}

void CVX2430Adapter::HandleEvent(HANDLE)
{
    os_ResetEvent(m_pPollTimer->GetHandle());
    Push(new CStatusPollMessage);
}

// The line interface's worker has read the setup (or its read was dropped): the
// channels are built by this adapter's own next message, so no worker waits for another.
void CVX2430Adapter::Update(CSubject* subject, SubjectHint)
{
    auto* read = dynamic_cast<CReadVariableMessage<rpri_tSetup>*>(subject);
    if (read == nullptr)
        return;
    {
        std::lock_guard<std::mutex> g(m_ListLock);
        if (m_bClosing)
            return;
    }
    Push(new CBuildChannelsMessage(read->GetStatus() == MSG_DONE, read->m_Record));
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

CModemShape CVX2430Adapter::GetShape()
{
    std::lock_guard<std::mutex> g(m_ListLock);
    return m_Shape;
}

bool CVX2430Adapter::ReadShape(uint32_t modules, CModemShape* shape)
{
    CIOCTLMethod* t = m_pIoctl;
    shape->Modules.assign(modules, CModuleShape{});
    for (uint32_t m = 0; m < modules; m++) {
        // (0, 20): the module's type, presence, line, socket, ..., processor count.
        t->Lock();
        t->m_pRequest->Class = 0;
        t->m_pRequest->Action = 20;
        t->m_pRequest->Arg[0] = m;
        if (!t->SendIoctlRequest())
            return false;
        if (t->m_pRequest->Status != 0) {
            t->Unlock();
            continue;  // a module the board does not describe has no modem
        }
        CReplyData* reply = t->GetReplyData();
        t->Unlock();
        CReplyReader r = reply->Reader();
        uint32_t w[7] = {};
        bool whole = true;
        for (uint32_t& word : w)
            whole = whole && r.Word(&word);
        t->FreeReplyData(reply);
        if (!whole)
            continue;
        CModuleShape& module = shape->Modules[m];
        module.Group = w[2];
        uint32_t processors = std::min(w[6], kMaxProcessors);
        for (uint32_t c = 0; c < processors; c++) {
            // (0, 15): the processor's state and its pump count.
            t->Lock();
            t->m_pRequest->Class = 0;
            t->m_pRequest->Action = 15;
            t->m_pRequest->Arg[0] = m;
            t->m_pRequest->Arg[1] = c;
            if (!t->SendIoctlRequest())
                return false;
            uint32_t pumps = t->m_pRequest->Status == 0 ? std::min(t->m_pRequest->Arg[3], kMaxPumps) : 0;
            t->Unlock();
            module.Pumps.push_back(pumps);
        }
    }
    return true;
}

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
    CModemShape shape;
    if (built && !ReadShape(GetModuleCount(), &shape))
        shape.Modules.clear();
    if (built) {
        {
            std::lock_guard<std::mutex> g(m_ListLock);
            m_Shape = shape;
        }
        for (uint32_t n = 1; n <= shape.ModemCount(); n++) {
            ModemAddress address{};
            shape.AddressOf(n, &address);
            auto* modem = new CRockyModem(t, n, this, address);
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
        // Read on the line interface's worker; Update has the channels built after it.
        li->PushWithObserver(new CReadVariableMessage<rpri_tSetup>(rpri_tSetup_Table), this);
        return;
    }
    os_SetEvent(m_hInitialisedEvent);
    Push(new CStatusPollMessage);
}

void CVX2430Adapter::BuildChannels(bool setupRead, const rpri_tSetup& setup)
{
    {
        std::lock_guard<std::mutex> g(m_ListLock);
        if (!m_Channels.empty())
            return;  // built once
        m_SetupCopy = setup;
    }
    if (!setupRead)
        ZEL_TRACE(1, "No setup record for %s: no channel is built", m_Name.c_str());
    int8_t lineMode = setupRead ? setup.LineMode : -1;
    uint32_t count = lineMode == 0 ? 24 : lineMode == 1 ? 31 : 0;
    uint32_t dChannel = lineMode == 0 ? 24 : 16;
    for (uint32_t n = 1; n <= count; n++) {
        auto* channel = new CRockyChannel(m_pIoctl, n, n == dChannel ? 1 : 0);
        {
            std::lock_guard<std::mutex> g(m_ListLock);
            m_Channels.push_back(channel);
        }
        GManagementThread.Register(channel);
    }
    os_SetEvent(m_hInitialisedEvent);
    Push(new CStatusPollMessage);
}

void CVX2430Adapter::PollStatus()
{
    CModemShape shape = GetShape();
    // Line 0 with its channels and modules; every other line the board's modules serve
    // for theirs.
    bool polled[kMaxGroups] = {};
    if (!PollGroup(0, shape))
        return;  // the request did not reach the driver
    polled[0] = true;
    for (const CModuleShape& module : shape.Modules) {
        if (module.Group >= kMaxGroups || polled[module.Group] || module.ModemCount() == 0)
            continue;
        polled[module.Group] = true;
        if (!PollGroup(module.Group, shape))
            return;
    }
}

bool CVX2430Adapter::PollGroup(uint32_t group, const CModemShape& shape)
{
    CIOCTLMethod* t = m_pIoctl;
    t->Lock();
    t->m_pRequest->Class = 0;
    t->m_pRequest->Action = 100;
    t->m_pRequest->Arg[0] = group;
    if (!t->SendIoctlRequest())
        return false;
    if (t->m_pRequest->Status != 0) {
        t->Unlock();
        return true;  // a refused line (a leased line has no snapshot) is passed over
    }
    CReplyData* reply = t->GetReplyData();
    t->Unlock();
    CSnapshotTargets targets;
    uint32_t wordA[kModuleWords], wordB[kModuleWords];
    {
        std::lock_guard<std::mutex> g(m_ListLock);
        if (group == 0) {
            targets.LineInterface = m_LineInterfaces.empty() ? nullptr : m_LineInterfaces.front();
            targets.Channels = m_Channels;
        }
        for (CModem* m : m_Modems)
            targets.Modems.push_back(static_cast<CRockyModem*>(m));
        std::copy(m_ModuleWordA, m_ModuleWordA + kModuleWords, wordA);
        std::copy(m_ModuleWordB, m_ModuleWordB + kModuleWords, wordB);
    }
    targets.Shape = &shape;
    for (uint32_t m = 0; m < shape.Modules.size(); m++)
        if (shape.Modules[m].Group == group)
            targets.Modules.push_back(m);
    targets.ModuleWordA = wordA;
    targets.ModuleWordB = wordB;
    if (!ParseStatusSnapshot(reply->Reader(), targets))
        ZEL_TRACE(1, "Status snapshot of %s, line %u, ended early", m_Name.c_str(), group);
    {
        std::lock_guard<std::mutex> g(m_ListLock);
        std::copy(wordA, wordA + kModuleWords, m_ModuleWordA);
        std::copy(wordB, wordB + kModuleWords, m_ModuleWordB);
    }
    t->FreeReplyData(reply);
    return true;
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
