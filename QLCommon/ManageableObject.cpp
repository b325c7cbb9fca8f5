// The class registry is guarded by its mutex; an object's queue by its own lock, held
// only while a message is appended or taken off; the busy flag is atomic. An object
// with a transport is run by one worker at a time (the management thread's busy flag);
// one without runs its queue on the pushing thread under its run lock.
#include "QLCommon/ManageableObject.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "QLCommon/ConfigMap.h"
#include "QLCommon/mthrd.h"
#include "QLCommon/os.h"

namespace {

std::mutex g_RegistryGuard;  // creation of the registry mutex itself
HANDLE g_RegistryMutex = nullptr;
std::map<std::string, CClassVarRecord>& Registry()
{
    static std::map<std::string, CClassVarRecord> registry;
    return registry;
}

HANDLE RegistryMutex()
{
    std::lock_guard<std::mutex> g(g_RegistryGuard);
    if (g_RegistryMutex == nullptr)
        g_RegistryMutex = os_CreateMutex();
    return g_RegistryMutex;
}

class RegistryLock {
public:
    RegistryLock() : m_h(RegistryMutex()) { os_WaitMutex(m_h); }
    ~RegistryLock() { os_ReleaseMutex(m_h); }

private:
    HANDLE m_h;
};

}  // namespace

void ClassVar_OpenLock() { RegistryMutex(); }

void ClassVar_CloseLock()
{
    std::lock_guard<std::mutex> g(g_RegistryGuard);
    if (g_RegistryMutex != nullptr && Registry().empty()) {
        os_CloseMutex(g_RegistryMutex);
        g_RegistryMutex = nullptr;
    }
}

// --- CClassVarBase ----------------------------------------------------------------

void CClassVarBase::InitClassData(bool first, const CClassVarRecord* prototype)
{
    if (first) {
        m_pMethodTable = new CMethodTable;
        m_pConvTable = nullptr;
    } else {
        m_pMethodTable = prototype->MethodTable;
        m_pConvTable = prototype->ConvTable;
    }
}

void CClassVarBase::FreeClassData()
{
    if (m_pMethodTable != nullptr) {
        for (auto& byMessage : *m_pMethodTable)
            for (auto& byTransport : byMessage.second)
                delete byTransport.second;
        delete m_pMethodTable;
    }
    algn_FreeOffsetCache(m_pConvTable);
    m_pMethodTable = nullptr;
    m_pConvTable = nullptr;
}

void CClassVarBase::AddMethodByName(const std::string& messageClass, const std::string& transportKind,
                                    CMessageMethod* method)
{
    CMessageMethod*& slot = (*m_pMethodTable)[messageClass][transportKind];
    delete slot;
    slot = method;
}

void CClassVarBase::Register(const std::string& className, size_t, CClassVarBase*)
{
    if (!m_ClassName.empty())
        Unregister();
    RegistryLock lock;
    auto& registry = Registry();
    auto it = registry.find(className);
    if (it != registry.end()) {
        InitClassData(false, &it->second);
        it->second.RefCount++;
    } else {
        InitClassData(true, nullptr);
        BuildVariableMethods();
        registry[className] = CClassVarRecord{1, m_pMethodTable, m_pConvTable};
    }
    m_ClassName = className;
}

void CClassVarBase::Unregister()
{
    if (m_ClassName.empty())
        return;
    RegistryLock lock;
    auto& registry = Registry();
    auto it = registry.find(m_ClassName);
    if (it != registry.end() && --it->second.RefCount == 0) {
        m_pMethodTable = it->second.MethodTable;
        m_pConvTable = it->second.ConvTable;
        // The base's own freeing, whatever the class: the derived part may be gone.
        CClassVarBase::FreeClassData();
        registry.erase(it);
    }
    m_pMethodTable = nullptr;
    m_pConvTable = nullptr;
    m_ClassName.clear();
}

void CClassVarBase::Dump()
{
    RegistryLock lock;
    for (auto& entry : Registry())
        ZEL_TRACE(1, "Class = %s, RefCount = %d", entry.first.c_str(), (int)entry.second.RefCount);
}

int32_t CClassVarBase::RefCount(const std::string& className)
{
    RegistryLock lock;
    auto it = Registry().find(className);
    return it == Registry().end() ? 0 : it->second.RefCount;
}

// --- CSMemIndex -------------------------------------------------------------------

CSMemIndex::CSMemIndex(int32_t i0) : m_Count(1) { m_Index[0] = i0; }

CSMemIndex::CSMemIndex(int32_t i0, int32_t i1) : m_Count(2)
{
    m_Index[0] = i0;
    m_Index[1] = i1;
}

CSMemIndex::CSMemIndex(const int32_t* indices, int count)
{
    m_Count = std::clamp(count, 0, kMax);
    for (int i = 0; i < m_Count; i++)
        m_Index[i] = indices[i];
}

int32_t CSMemIndex::Get(int i) const { return i >= 0 && i < m_Count ? m_Index[i] : -1; }

void CSMemIndex::Add(int i, int32_t delta)
{
    if (i >= 0 && i < m_Count)
        m_Index[i] += delta;
}

bool CSMemIndex::operator==(const CSMemIndex& other) const
{
    return m_Count == other.m_Count && std::equal(m_Index, m_Index + m_Count, other.m_Index);
}

// --- CManageableObject ------------------------------------------------------------

CManageableObject::~CManageableObject()
{
    if (m_pTransport != nullptr)
        GManagementThread.Unregister(this);
    WaitWhileHeld();
    // Messages that never ran are completed as failed, so nobody waits on them.
    std::deque<CMessage*> queue;
    {
        std::lock_guard<std::mutex> g(m_QueueLock);
        queue.swap(m_Queue);
    }
    for (CMessage* m : queue) {
        m->Complete(MSG_FAILED);
        m->DetachAll();
        delete m;
    }
}

void CManageableObject::Push(CMessage* message)
{
    if (message == nullptr)
        return;
    ZEL_TRACE(3, "Push for %s", message->GetName().c_str());
    {
        std::lock_guard<std::mutex> g(m_QueueLock);
        m_Queue.push_back(message);
    }
    if (m_pTransport != nullptr) {
        GManagementThread.Signal(this);
        return;
    }
    // Without a transport the pushing thread runs the queue itself, one message at a
    // time: a push from inside a message of this object runs after that message, by the
    // thread already running; a push from another thread waits its turn.
    if (m_Runner.load() == std::this_thread::get_id())
        return;
    std::lock_guard<std::mutex> turn(m_RunLock);
    while (QueueLength() != 0) {
        m_bBusy = true;
        Run();
    }
}

void CManageableObject::PushWithObserver(CMessage* message, CObserver* observer)
{
    if (message == nullptr)
        return;
    message->Attach(observer);
    Push(message);
}

bool CManageableObject::IsRunnable()
{
    // An object without a transport runs its messages on the sender's thread.
    if (m_pTransport == nullptr)
        return false;
    std::lock_guard<std::mutex> g(m_QueueLock);
    return !m_Queue.empty() && !m_bBusy.load();
}

void CManageableObject::SetBusy() { m_bBusy = true; }

void CManageableObject::WaitWhileHeld()
{
    // A worker handed this object, whether or not it has begun the message, finishes it
    // first (unless that worker is the one waiting).
    while (m_bBusy.load() && m_Runner.load() != std::this_thread::get_id())
        Sleep(1);
}

size_t CManageableObject::QueueLength()
{
    std::lock_guard<std::mutex> g(m_QueueLock);
    return m_Queue.size();
}

void CManageableObject::HandleEvent(HANDLE) {}

void* CManageableObject::GetItemPtr(uint32_t, const CSMemIndex&) { return nullptr; }

void CManageableObject::Run()
{
    m_Runner = std::this_thread::get_id();
    CMessage* message;
    {
        std::lock_guard<std::mutex> g(m_QueueLock);
        if (m_Queue.empty()) {
            m_Runner = std::thread::id();
            m_bBusy = false;
            return;
        }
        message = m_Queue.front();
    }
    ZEL_TRACE(3, "Run for %s", message->GetName().c_str());
    std::string messageClass = message->ClassName();
    std::string transportKind = m_pTransport != nullptr ? m_pTransport->GetKindName() : std::string();
    CMessageMethod* method = nullptr;
    if (m_pMethodTable != nullptr) {
        auto byMessage = m_pMethodTable->find(messageClass);
        if (byMessage != m_pMethodTable->end()) {
            auto byTransport = byMessage->second.find(transportKind);
            if (byTransport != byMessage->second.end())
                method = byTransport->second;
        }
    }
    if (method != nullptr) {
        method->Execute(this, message);
    } else {
        char text[512];
        std::snprintf(text, sizeof text, "Error: %s %s does not exist!!", messageClass.c_str(),
                      m_pTransport != nullptr ? transportKind.c_str() : "NULL Method");
        os_MessageBox(text);
    }
    // Whatever the method did, the sender hears once.
    if (!message->IsCompleted())
        message->Complete(MSG_FAILED);
    message->DetachAll();
    {
        std::lock_guard<std::mutex> g(m_QueueLock);
        if (!m_Queue.empty() && m_Queue.front() == message)
            m_Queue.pop_front();
    }
    delete message;
    m_Runner = std::thread::id();
    m_bBusy = false;
}
