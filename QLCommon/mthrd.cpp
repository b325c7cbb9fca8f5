#include "QLCommon/mthrd.h"

#include <algorithm>

#include "QLCommon/ConfigMap.h"
#include "QLCommon/ManageableObject.h"

CManagementThread GManagementThread;

namespace {

void CloseIf(HANDLE* h)
{
    if (*h != nullptr)
        CloseHandle(*h);
    *h = nullptr;
}

bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

}  // namespace

// --- workers ----------------------------------------------------------------------

CWorkerThread::~CWorkerThread()
{
    CloseIf(&m_hRequest);
    CloseIf(&m_hDone);
}

void CWorkerThread::ThreadBody() { wthrd_WaitForDeviceRequest(this); }

bool wthrd_Open(CWorkerThread* worker)
{
    worker->m_State = WTHRD_CREATED;
    worker->m_hRequest = os_CreateManualEvent();
    worker->m_hDone = os_CreateManualEvent();
    if (worker->m_hRequest != nullptr && worker->m_hDone != nullptr && worker->Start())
        return true;
    CloseIf(&worker->m_hRequest);
    CloseIf(&worker->m_hDone);
    return false;
}

void wthrd_Close(CWorkerThread* worker)
{
    if (worker->GetHandle() == nullptr)
        return;
    worker->m_State = WTHRD_CLOSING;
    os_SetEvent(worker->m_hRequest);
    worker->Wait(INFINITE);
}

void wthrd_WaitForDeviceRequest(CWorkerThread* worker)
{
    uint16_t created = WTHRD_CREATED;
    worker->m_State.compare_exchange_strong(created, WTHRD_IDLE);
    os_SetEvent(worker->m_hDone);
    for (;;) {
        WaitForSingleObject(worker->m_hRequest, INFINITE);
        os_ResetEvent(worker->m_hRequest);
        if (worker->m_State == WTHRD_CLOSING)
            break;
        CManageableObject* object = worker->m_pObject.exchange(nullptr);
        if (object != nullptr)
            object->Run();
        uint16_t assigned = WTHRD_ASSIGNED;
        if (!worker->m_State.compare_exchange_strong(assigned, WTHRD_IDLE))
            break;  // closed while it ran
        os_SetEvent(worker->m_hDone);
    }
    // The management thread hears of every worker that ends.
    os_SetEvent(worker->m_hDone);
}

bool RunForManageableObject(CWorkerThread* worker, CManageableObject* object)
{
    // Only an idle worker is assigned: one being closed keeps its closing mark.
    uint16_t idle = WTHRD_IDLE;
    if (!worker->m_State.compare_exchange_strong(idle, WTHRD_ASSIGNED))
        return false;
    object->SetBusy();
    worker->m_pObject = object;
    os_SetEvent(worker->m_hRequest);
    return true;
}

// --- the management thread --------------------------------------------------------

CManagementThread::CManagementThread() : m_hChangeSerialiser(os_CreateMutex())
{
    for (auto& w : m_Workers)
        w = new CWorkerThread;
}

CManagementThread::~CManagementThread()
{
    if (m_bOpen)
        Close();
    for (auto& w : m_Workers)
        delete w;
    for (HANDLE* h : {&m_hClosed, &m_hConfigMutex, &m_hChangeSerialiser, &m_hChangeRequest, &m_hSuspended,
                      &m_hResumed, &m_hRequestMutex, &m_hRequest, &m_hRequestTaken})
        CloseIf(h);
}

bool mthrd_Open()
{
    ZEL_TRACE(2, "Entering mthrd_Open");
    CManagementThread& t = GManagementThread;
    if (t.m_bOpen)
        return true;
    for (CWorkerThread* w : t.m_Workers) {
        if (!wthrd_Open(w)) {
            ZEL_TRACE(1, "mthrd_Open: a worker did not start");
            return false;
        }
    }
    t.m_hClosed = os_CreateManualEvent();
    t.m_hConfigMutex = os_CreateMutex();
    t.m_hChangeRequest = os_CreateManualEvent();
    t.m_hSuspended = os_CreateManualEvent();
    t.m_hResumed = os_CreateManualEvent();
    t.m_hRequestMutex = os_CreateMutex();
    t.m_hRequest = os_CreateManualEvent();
    t.m_hRequestTaken = os_CreateManualEvent();
    t.m_bClosing = false;
    t.m_bOpen = true;
    if (!t.Start()) {
        t.m_bOpen = false;
        for (CWorkerThread* w : t.m_Workers)
            wthrd_Close(w);
        return false;
    }
    ZEL_TRACE(2, "Exiting mthrd_Open");
    return true;
}

void CManagementThread::Suspend()
{
    os_WaitMutex(m_hChangeSerialiser);
    m_bParked = false;
    if (m_bOpen) {
        os_WaitMutex(m_hConfigMutex);
        os_SetEvent(m_hChangeRequest);
        // A pool closing may have lost its management thread already (its last worker is
        // still running a message): then nothing is left to park.
        HANDLE either[2] = {m_hSuspended, m_hClosed};
        m_bParked = WaitForMultipleObjects(2, either, FALSE, INFINITE) == WAIT_OBJECT_0;
        os_ResetEvent(m_hSuspended);
    }
}

void CManagementThread::Resume()
{
    if (m_bOpen) {
        os_ReleaseMutex(m_hConfigMutex);
        if (m_bParked)
            WaitForSingleObject(m_hResumed, INFINITE);
        os_ResetEvent(m_hResumed);
    }
    m_bParked = false;
    os_ReleaseMutex(m_hChangeSerialiser);
}

void CManagementThread::Register(CManageableObject* object)
{
    Suspend();
    if (std::find(m_Objects.begin(), m_Objects.end(), object) == m_Objects.end())
        m_Objects.push_back(object);
    Resume();
}

void CManagementThread::Unregister(CManageableObject* object)
{
    Suspend();
    auto it = std::find(m_Objects.begin(), m_Objects.end(), object);
    if (it != m_Objects.end())
        m_Objects.erase(it);
    // A worker handed the object but not yet woken lets it go.
    for (CWorkerThread* w : m_Workers) {
        CManageableObject* handed = object;
        if (w->m_pObject.compare_exchange_strong(handed, nullptr))
            object->ClearBusy();
    }
    // A signal not yet taken must not outlive the object.
    if (m_hRequestMutex != nullptr) {
        os_WaitMutex(m_hRequestMutex);
        if (m_pRequestSlot == object)
            m_pRequestSlot = nullptr;
        os_ReleaseMutex(m_hRequestMutex);
    }
    if (m_LastServed >= m_Objects.size())
        m_LastServed = 0;
    Resume();
    // The caller is about to destroy what the object's message may still be using.
    object->WaitWhileHeld();
}

void CManagementThread::Refresh()
{
    Suspend();
    Resume();
}

void CManagementThread::Signal(CManageableObject* object)
{
    if (!m_bOpen || m_bClosing)
        return;
    os_WaitMutex(m_hRequestMutex);
    m_pRequestSlot = object;
    os_SetEvent(m_hRequest);
    os_ReleaseMutex(m_hRequestMutex);
}

void CManagementThread::Close()
{
    if (!m_bOpen)
        return;
    m_bClosing = true;
    for (CWorkerThread* w : m_Workers)
        wthrd_Close(w);
    Wait(INFINITE);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
    // A change of the object list begun meanwhile ends before the workers and handles go.
    os_WaitMutex(m_hChangeSerialiser);
    // Fresh workers, so the pool can be opened again. An object handed to a worker that
    // closed before running it is no longer busy.
    for (auto& w : m_Workers) {
        if (CManageableObject* handed = w->m_pObject.exchange(nullptr))
            handed->ClearBusy();
        delete w;
        w = new CWorkerThread;
    }
    m_bOpen = false;
    m_bClosing = false;
    m_pRequestSlot = nullptr;
    for (HANDLE* h : {&m_hClosed, &m_hConfigMutex, &m_hChangeRequest, &m_hSuspended, &m_hResumed,
                      &m_hRequestMutex, &m_hRequest, &m_hRequestTaken})
        CloseIf(h);
    os_ReleaseMutex(m_hChangeSerialiser);
}

int CManagementThread::IndexOf(CManageableObject* object) const
{
    auto it = std::find(m_Objects.begin(), m_Objects.end(), object);
    return it == m_Objects.end() ? -1 : (int)(it - m_Objects.begin());
}

CWorkerThread* CManagementThread::IdleWorker()
{
    for (CWorkerThread* w : m_Workers)
        if (w->m_State == WTHRD_IDLE)
            return w;
    return nullptr;
}

void CManagementThread::Assign(CWorkerThread* worker, CManageableObject* object, size_t index)
{
    if (RunForManageableObject(worker, object))
        m_LastServed = index;
}

void CManagementThread::AssignOpenWorkerThread(CManageableObject* object)
{
    int index = IndexOf(object);
    if (index < 0 || !object->IsRunnable())
        return;
    CWorkerThread* worker = IdleWorker();
    if (worker == nullptr)
        return;
    Assign(worker, object, (size_t)index);
}

void CManagementThread::AssignNextRunnable(CWorkerThread* worker)
{
    size_t n = m_Objects.size();
    if (n == 0)
        return;
    for (size_t k = 1; k <= n; k++) {
        size_t i = (m_LastServed + k) % n;
        if (m_Objects[i]->IsRunnable()) {
            Assign(worker, m_Objects[i], i);
            return;
        }
    }
}

void CManagementThread::ThreadBody()
{
    ZEL_TRACE(2, "Entering mthrd_ThreadFunc");
    int failures = 0;
    for (;;) {
        std::vector<HANDLE> handles{m_hChangeRequest, m_hRequest};
        std::vector<CManageableObject*> objects{nullptr, nullptr};
        std::vector<CWorkerThread*> workers{nullptr, nullptr};
        for (CManageableObject* o : m_Objects) {
            for (HANDLE h : o->GetEventList()) {
                if (!Valid(h)) {
                    ZEL_TRACE(1, "Dropping an invalid event handle of object %p", (void*)o);
                    continue;
                }
                if (handles.size() >= (size_t)kMaxWaitHandles - kWorkers) {
                    ZEL_TRACE(1, "Wait list full: dropping an event of object %p", (void*)o);
                    continue;
                }
                ZEL_TRACE(3, "Adding event handle %p, for Manageable Object %p", h, (void*)o);
                handles.push_back(h);
                objects.push_back(o);
                workers.push_back(nullptr);
            }
        }
        bool anyWorker = false;
        for (CWorkerThread* w : m_Workers) {
            if (w->m_State == WTHRD_CLOSING)
                continue;
            handles.push_back(w->m_hDone);
            objects.push_back(nullptr);
            workers.push_back(w);
            anyWorker = true;
        }
        if (m_bClosing && !anyWorker) {
            os_SetEvent(m_hClosed);
            return;
        }
        DWORD r = WaitForMultipleObjects((DWORD)handles.size(), handles.data(), FALSE, INFINITE);
        if (r >= handles.size()) {
            // Only valid handles are waited on; a failure is retried, without spinning hot.
            if (++failures > 1)
                Sleep(10);
            continue;
        }
        failures = 0;
        if (r == 0) {
            os_ResetEvent(m_hChangeRequest);
            os_SetEvent(m_hSuspended);
            os_WaitMutex(m_hConfigMutex);
            os_ReleaseMutex(m_hConfigMutex);
            os_SetEvent(m_hResumed);
        } else if (r == 1) {
            os_WaitMutex(m_hRequestMutex);
            os_ResetEvent(m_hRequest);
            CManageableObject* object = m_pRequestSlot;
            m_pRequestSlot = nullptr;
            os_ReleaseMutex(m_hRequestMutex);
            if (object != nullptr)
                AssignOpenWorkerThread(object);
            // A signal replaced in the slot is found here while workers are idle.
            while (CWorkerThread* idle = IdleWorker()) {
                AssignNextRunnable(idle);
                if (idle->m_State == WTHRD_IDLE)
                    break;
            }
            os_SetEvent(m_hRequestTaken);
        } else if (objects[r] != nullptr) {
            objects[r]->HandleEvent(handles[r]);
        } else if (workers[r] != nullptr) {
            CWorkerThread* w = workers[r];
            os_ResetEvent(w->m_hDone);
            if (w->m_State == WTHRD_IDLE)
                AssignNextRunnable(w);
        }
    }
}
