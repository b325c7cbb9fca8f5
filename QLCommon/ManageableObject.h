// Managed objects: a queue of messages run one at a time through the method the object's
// class registered for the message's class and the object's transport; the per-class
// method tables live in the class registry, built by the first instance of a class and
// shared by the later ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QLCommon/Message.h"
#include "QLCommon/Method.h"
#include "QLCommon/UI_Model.h"
#include "QLCommon/algn.h"
#include "platform/win32/windows.h"

// message class name -> transport kind name -> method
typedef std::map<std::string, std::map<std::string, CMessageMethod*>> CMethodTable;

struct CClassVarRecord {
    int32_t RefCount;
    CMethodTable* MethodTable;    // what later instances take from the prototype
    algn_tVariable* ConvTable;
};

class CClassVarBase {
public:
    CClassVarBase() = default;
    virtual ~CClassVarBase() = default;
    virtual void BuildVariableMethods() = 0;
    virtual void InitClassData(bool first, const CClassVarRecord* prototype);
    virtual void FreeClassData();

    // Registers this object as an instance of the named class; a second registration
    // of one object (a derived constructor after its base's) replaces the first.
    void Register(const std::string& className, size_t size, CClassVarBase* object);
    void Unregister();
    const std::string& RegisteredClass() const { return m_ClassName; }

    template <class TMessage>
    void AddMethod(const std::string& transportKind, CMessageMethod* method)
    {
        AddMethodByName(zel_TypeName(typeid(TMessage)), transportKind, method);
    }
    void AddMethodByName(const std::string& messageClass, const std::string& transportKind, CMessageMethod* method);
    void SetConversionTable(algn_tVariable* table) { m_pConvTable = table; }
    const algn_tVariable* GetConversionTable() const { return m_pConvTable; }

    static void Dump();
    static int32_t RefCount(const std::string& className);  // 0 when not registered

protected:
    CMethodTable* m_pMethodTable = nullptr;
    algn_tVariable* m_pConvTable = nullptr;

private:
    std::string m_ClassName;
};

void ClassVar_OpenLock();
void ClassVar_CloseLock();

// The instance index passed with an SMem ID: up to five indices, the adapter first.
class CSMemIndex {
public:
    static constexpr int kMax = 5;
    CSMemIndex() = default;
    explicit CSMemIndex(int32_t i0);
    CSMemIndex(int32_t i0, int32_t i1);
    CSMemIndex(const int32_t* indices, int count);
    int32_t Get(int i) const;  // -1 when i is not below the count
    void Add(int i, int32_t delta);
    int Count() const { return m_Count; }
    bool operator==(const CSMemIndex& other) const;

private:
    int m_Count = 0;
    int32_t m_Index[kMax] = {};
};

// A derived class whose events or methods the management thread may still reach
// unregisters in its own destructor, before its parts are destroyed; the base's
// unregistering is the last resort.
class CManageableObject : public CUI_Model, public CObserver, public CClassVarBase {
public:
    CManageableObject() = default;
    explicit CManageableObject(CMethod* transport) : m_pTransport(transport) {}
    ~CManageableObject() override;

    virtual void Run();
    virtual bool IsRunnable();
    virtual void HandleEvent(HANDLE event);
    virtual std::string GetDisplayName() = 0;
    virtual void* GetItemPtr(uint32_t smemId, const CSMemIndex& index);
    void Update(CSubject*, SubjectHint) override {}

    void Push(CMessage* message);
    void PushWithObserver(CMessage* message, CObserver* observer);
    void SetBusy();
    void ClearBusy() { m_bBusy = false; }  // a worker let go of it before running it
    // Returns once no worker holds the object (at once on the worker running it).
    void WaitWhileHeld();
    bool IsBusy() const { return m_bBusy.load(); }
    size_t QueueLength();
    const std::vector<HANDLE>& GetEventList() const { return m_EventList; }
    CMethod* GetTransport() const { return m_pTransport; }

protected:
    std::vector<HANDLE> m_EventList;

private:
    std::mutex m_QueueLock;
    std::mutex m_RunLock;  // objects without a transport: the thread running the queue
    std::deque<CMessage*> m_Queue;
    std::atomic<bool> m_bBusy{false};
    std::atomic<std::thread::id> m_Runner{};  // the worker running a message, while busy
    CMethod* m_pTransport = nullptr;
};
