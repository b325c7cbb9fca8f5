// The management thread and its pool of eight workers. The management thread waits on
// its control events, the events of every registered object and the workers' done
// events; it hands runnable objects to idle workers, one message per turn, rotating
// over the objects. The object list changes only while the thread is parked (the
// suspend and resume handshake).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "QLCommon/os.h"

class CManageableObject;

enum : uint16_t {
    WTHRD_CREATED = 0,
    WTHRD_IDLE = 1,
    WTHRD_ASSIGNED = 2,
    WTHRD_CLOSING = 3,
};

class CWorkerThread : public COS_Thread {
public:
    CWorkerThread() = default;
    ~CWorkerThread() override;
    void ThreadBody() override;

    std::atomic<uint16_t> m_State{WTHRD_CREATED};
    HANDLE m_hRequest = nullptr;  // manual reset
    HANDLE m_hDone = nullptr;     // manual reset
    std::atomic<CManageableObject*> m_pObject{nullptr};
};

bool wthrd_Open(CWorkerThread* worker);
void wthrd_Close(CWorkerThread* worker);
void wthrd_WaitForDeviceRequest(CWorkerThread* worker);
// False when the worker is not idle (for instance being closed).
bool RunForManageableObject(CWorkerThread* worker, CManageableObject* object);

class CManagementThread : public COS_Thread {
public:
    static constexpr int kWorkers = 8;
    static constexpr int kMaxWaitHandles = 64;

    CManagementThread();
    ~CManagementThread() override;
    void ThreadBody() override;

    void Register(CManageableObject* object);
    // Once it returns no worker holds the object: its owner may destroy it.
    void Unregister(CManageableObject* object);
    void Refresh();
    void Signal(CManageableObject* object);
    void Close();
    bool IsOpen() const { return m_bOpen.load(); }
    bool IsClosing() const { return m_bClosing.load(); }
    size_t ObjectCount() const { return m_Objects.size(); }
    CWorkerThread* Worker(int i) { return m_Workers[i]; }

private:
    friend bool mthrd_Open();
    void Suspend();
    void Resume();
    void AssignOpenWorkerThread(CManageableObject* object);
    void AssignNextRunnable(CWorkerThread* worker);
    void Assign(CWorkerThread* worker, CManageableObject* object, size_t index);
    CWorkerThread* IdleWorker();
    int IndexOf(CManageableObject* object) const;

    std::atomic<bool> m_bOpen{false};
    std::atomic<bool> m_bClosing{false};
    HANDLE m_hClosed = nullptr;
    HANDLE m_hConfigMutex = nullptr;
    HANDLE m_hChangeSerialiser = nullptr;
    HANDLE m_hChangeRequest = nullptr;
    HANDLE m_hSuspended = nullptr;
    HANDLE m_hResumed = nullptr;
    bool m_bParked = false;  // the thread parked for the change under way (under the serialiser)
    HANDLE m_hRequestMutex = nullptr;
    HANDLE m_hRequest = nullptr;
    HANDLE m_hRequestTaken = nullptr;
    CManageableObject* m_pRequestSlot = nullptr;
    CWorkerThread* m_Workers[kWorkers] = {};
    std::vector<CManageableObject*> m_Objects;
    size_t m_LastServed = 0;
};

extern CManagementThread GManagementThread;

bool mthrd_Open();
