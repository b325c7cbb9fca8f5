// Handles, events, mutexes, threads, waits, the last error and Sleep.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "platform/win32/objects.h"

namespace plat::win32 {

namespace {

struct Globals {
    Table table;
    std::map<uintptr_t, std::shared_ptr<Object>> handles;  // guarded by table.lock
    uintptr_t next = 0x1000;
    std::vector<std::weak_ptr<Mutex>> mutexes;  // for abandonment at a thread's end
    std::atomic<DWORD> next_thread_id{1000};
};

// Never destroyed: threads may still end after the process has begun to exit.
Globals& g()
{
    static Globals* globals = new Globals;
    return *globals;
}

void abandon_mutexes(DWORD tid)
{
    std::lock_guard<std::mutex> l(g().table.lock);
    bool any = false;
    for (auto& w : g().mutexes)
        if (auto m = w.lock(); m && m->owner == tid) {
            m->owner = 0;
            m->count = 0;
            m->abandoned = true;
            any = true;
        }
    if (any) g().table.changed.notify_all();
}

struct ThreadState {
    DWORD id = 0;
    DWORD error = 0;
    ~ThreadState()
    {
        if (id != 0) abandon_mutexes(id);
    }
};
thread_local ThreadState this_thread;

DWORD thread_id()
{
    if (this_thread.id == 0) this_thread.id = g().next_thread_id++;
    return this_thread.id;
}

bool waitable(const Object& o)
{
    return o.kind == Kind::Event || o.kind == Kind::Mutex || o.kind == Kind::Thread || o.kind == Kind::Process;
}

// Under the table's lock.
bool ready(const Object& o, DWORD tid)
{
    switch (o.kind) {
    case Kind::Event: return static_cast<const Event&>(o).signalled;
    case Kind::Mutex: {
        auto& m = static_cast<const Mutex&>(o);
        return m.owner == 0 || m.owner == tid;
    }
    default: return static_cast<const Task&>(o).ended;
    }
}

// Under the table's lock; true when the wait took an abandoned mutex.
bool take(Object& o, DWORD tid)
{
    if (o.kind == Kind::Event) {
        auto& e = static_cast<Event&>(o);
        if (!e.manual) e.signalled = false;
    } else if (o.kind == Kind::Mutex) {
        auto& m = static_cast<Mutex&>(o);
        m.owner = tid;
        m.count++;
        if (m.abandoned) {
            m.abandoned = false;
            return true;
        }
    }
    return false;
}

}  // namespace

Table& table() { return g().table; }

File::~File() { ::close(fd); }

HANDLE add(std::shared_ptr<Object> o)
{
    std::lock_guard<std::mutex> l(g().table.lock);
    uintptr_t h = g().next;
    g().next += 4;
    if (o->kind == Kind::Mutex) g().mutexes.push_back(std::static_pointer_cast<Mutex>(o));
    g().handles.emplace(h, std::move(o));
    return reinterpret_cast<HANDLE>(h);
}

std::shared_ptr<Object> lookup(HANDLE h)
{
    std::lock_guard<std::mutex> l(g().table.lock);
    auto it = g().handles.find(reinterpret_cast<uintptr_t>(h));
    return it == g().handles.end() ? nullptr : it->second;
}

}  // namespace plat::win32

using namespace plat::win32;

DWORD GetLastError() { return this_thread.error; }
void SetLastError(DWORD Error) { this_thread.error = Error; }

BOOL CloseHandle(HANDLE Object)
{
    std::shared_ptr<plat::win32::Object> gone;  // released after the lock
    {
        std::lock_guard<std::mutex> l(g().table.lock);
        auto it = g().handles.find(reinterpret_cast<uintptr_t>(Object));
        if (it == g().handles.end()) return fail(ERROR_INVALID_HANDLE, FALSE);
        gone = std::move(it->second);
        g().handles.erase(it);
        std::erase_if(g().mutexes, [](const std::weak_ptr<Mutex>& w) { return w.expired(); });
    }
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL ManualReset, BOOL InitialState, LPCSTR)
{
    SetLastError(ERROR_SUCCESS);
    return add(std::make_shared<Event>(ManualReset != 0, InitialState != 0));
}

static BOOL set_event(HANDLE h, bool state)
{
    auto e = lookup_as<Event>(h, Kind::Event);
    if (!e) return fail(ERROR_INVALID_HANDLE, FALSE);
    std::lock_guard<std::mutex> l(table().lock);
    e->signalled = state;
    if (state) table().changed.notify_all();
    return TRUE;
}

BOOL SetEvent(HANDLE Event) { return set_event(Event, true); }
BOOL ResetEvent(HANDLE Event) { return set_event(Event, false); }

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL InitialOwner, LPCSTR)
{
    auto m = std::make_shared<Mutex>();
    if (InitialOwner) {
        m->owner = thread_id();
        m->count = 1;
    }
    SetLastError(ERROR_SUCCESS);
    return add(std::move(m));
}

BOOL ReleaseMutex(HANDLE Mutex)
{
    auto m = lookup_as<plat::win32::Mutex>(Mutex, Kind::Mutex);
    if (!m) return fail(ERROR_INVALID_HANDLE, FALSE);
    DWORD tid = thread_id();
    std::lock_guard<std::mutex> l(table().lock);
    if (m->owner != tid) return fail(ERROR_NOT_OWNER, FALSE);
    if (--m->count == 0) {
        m->owner = 0;
        table().changed.notify_all();
    }
    return TRUE;
}

DWORD GetCurrentThreadId() { return thread_id(); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE StartAddress, LPVOID Parameter,
                    DWORD CreationFlags, LPDWORD ThreadId)
{
    if (StartAddress == nullptr || (CreationFlags & CREATE_SUSPENDED) != 0)
        return fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
    auto t = std::make_shared<Task>(Kind::Thread);
    t->id = g().next_thread_id++;
    HANDLE h = add(t);
    try {
        std::thread([t, StartAddress, Parameter] {
            this_thread.id = t->id;
            DWORD code = StartAddress(Parameter);
            abandon_mutexes(t->id);
            std::lock_guard<std::mutex> l(table().lock);
            t->exit_code = code;
            t->ended = true;
            table().changed.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        CloseHandle(h);
        return fail(ERROR_NOT_ENOUGH_MEMORY, static_cast<HANDLE>(nullptr));
    }
    if (ThreadId != nullptr) *ThreadId = t->id;
    SetLastError(ERROR_SUCCESS);
    return h;
}

static BOOL exit_code_of(HANDLE h, Kind k, LPDWORD code)
{
    auto t = lookup_as<Task>(h, k);
    if (!t || code == nullptr) return fail(t ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE, FALSE);
    std::lock_guard<std::mutex> l(table().lock);
    *code = t->exit_code;
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE Thread, LPDWORD ExitCode) { return exit_code_of(Thread, Kind::Thread, ExitCode); }
BOOL GetExitCodeProcess(HANDLE Process, LPDWORD ExitCode) { return exit_code_of(Process, Kind::Process, ExitCode); }

DWORD WaitForMultipleObjects(DWORD Count, const HANDLE* Handles, BOOL WaitAll, DWORD Milliseconds)
{
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || Handles == nullptr) return fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    std::vector<std::shared_ptr<Object>> objects;  // outlives the lock below
    for (DWORD i = 0; i < Count; i++) {
        auto o = lookup(Handles[i]);
        if (!o || !waitable(*o)) return fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
        objects.push_back(std::move(o));
    }
    DWORD tid = thread_id();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
    std::unique_lock<std::mutex> l(table().lock);
    for (;;) {
        if (WaitAll) {
            bool all = true;
            for (auto& o : objects) all = all && ready(*o, tid);
            if (all) {
                DWORD abandoned = WAIT_FAILED;
                for (DWORD i = 0; i < Count; i++)
                    if (take(*objects[i], tid) && abandoned == WAIT_FAILED) abandoned = i;
                return abandoned == WAIT_FAILED ? WAIT_OBJECT_0 : WAIT_ABANDONED_0 + abandoned;
            }
        } else {
            for (DWORD i = 0; i < Count; i++)
                if (ready(*objects[i], tid)) return take(*objects[i], tid) ? WAIT_ABANDONED_0 + i : WAIT_OBJECT_0 + i;
        }
        if (Milliseconds == INFINITE)
            table().changed.wait(l);
        else if (std::chrono::steady_clock::now() >= deadline)
            return WAIT_TIMEOUT;
        else
            table().changed.wait_until(l, deadline);
    }
}

DWORD WaitForSingleObject(HANDLE Handle, DWORD Milliseconds)
{
    return WaitForMultipleObjects(1, &Handle, FALSE, Milliseconds);
}

void Sleep(DWORD Milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds)); }
