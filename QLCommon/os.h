// Operating-system layer of the management library: the only module that calls Win32.
// Synchronisation objects (locks, threads, the shared 50 ms timer list, wait lists),
// plain wrappers of events, mutexes, files, directory search and processes, the restart
// of the machine, and the one place message boxes leave the library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/win32/windows.h"

class COS_SyncObject {
public:
    virtual ~COS_SyncObject() = default;
    virtual HANDLE GetHandle() = 0;
};

class COS_Lock : public COS_SyncObject {
public:
    COS_Lock();
    ~COS_Lock() override;
    COS_Lock(const COS_Lock&) = delete;
    COS_Lock& operator=(const COS_Lock&) = delete;
    HANDLE GetHandle() override { return m_hMutex; }
    void Lock();
    void Unlock();

private:
    HANDLE m_hMutex;
};

// Holds a COS_Lock for a scope.
class COS_AutoLock {
public:
    explicit COS_AutoLock(COS_Lock& lock) : m_lock(lock) { m_lock.Lock(); }
    ~COS_AutoLock() { m_lock.Unlock(); }
    COS_AutoLock(const COS_AutoLock&) = delete;
    COS_AutoLock& operator=(const COS_AutoLock&) = delete;

private:
    COS_Lock& m_lock;
};

class COS_Thread : public COS_SyncObject {
public:
    COS_Thread() = default;
    ~COS_Thread() override;
    COS_Thread(const COS_Thread&) = delete;
    COS_Thread& operator=(const COS_Thread&) = delete;
    HANDLE GetHandle() override { return m_hThread; }
    virtual void ThreadBody() = 0;
    bool Start();
    DWORD Wait(DWORD milliseconds);

protected:
    HANDLE m_hThread = nullptr;

private:
    static DWORD Routine(LPVOID parameter);
};

// A timer counted down in 50 ms ticks by the one shared thread timer; firing sets its
// auto-reset event.
class COS_Timer : public COS_SyncObject {
public:
    COS_Timer(DWORD intervalMs, bool periodic);
    ~COS_Timer() override;
    COS_Timer(const COS_Timer&) = delete;
    COS_Timer& operator=(const COS_Timer&) = delete;
    HANDLE GetHandle() override { return m_hEvent; }
    void Reset();
    bool TestEvent();
    uint32_t GetTicksLeft() const { return m_TicksLeft; }

private:
    friend void os_TimerProc();
    HANDLE m_hEvent;
    bool m_bActive;
    bool m_bPeriodic;
    uint32_t m_TicksLeft;
    uint32_t m_TicksPerPeriod;
};

class COS_WaitList {
public:
    static constexpr int kMax = 100;
    bool Add(COS_SyncObject* object);
    bool Remove(COS_SyncObject* object);
    // The object whose handle was signalled, or null on time-out or failure.
    COS_SyncObject* Wait(DWORD milliseconds);
    int Count() const { return m_Count; }

private:
    COS_SyncObject* m_Objects[kMax] = {};
    HANDLE m_Handles[kMax] = {};
    uint32_t m_Count = 0;
};

void os_Open();
void os_Close();

// The thread timer: the host that owns the user-interface thread installs how it starts
// and stops a 50 ms timer calling os_TimerProc on that thread. Without one, a thread of
// the library ticks.
struct OS_ThreadTimerHooks {
    std::function<void()> start;
    std::function<void()> stop;
};
void os_SetThreadTimerHooks(OS_ThreadTimerHooks hooks);
void os_TimerProc();
bool os_ThreadTimerRunning();

// Message boxes: the user interface installs the handler (queued to its own thread).
void os_SetMessageBoxHandler(std::function<void(const std::string&)> handler);
void os_MessageBox(const std::string& text);

// Events and mutexes.
HANDLE os_CreateEvent();
HANDLE os_CreateManualEvent();
void os_WaitEvent(HANDLE event);
void os_SetEvent(HANDLE event);
void os_ResetEvent(HANDLE event);
int os_TestEvent(HANDLE event);
void os_CloseEvent(HANDLE event);
HANDLE os_CreateMutex();
void os_WaitMutex(HANDLE mutex);
void os_ReleaseMutex(HANDLE mutex);
void os_CloseMutex(HANDLE mutex);

// Files.
HANDLE os_OpenFile(const std::string& name, DWORD access);
HANDLE os_CreateFile(const std::string& name, DWORD flags);
void os_CloseFile(HANDLE file);
long os_ReadFile(HANDLE file, void* buffer, DWORD count);
long os_WriteFile(HANDLE file, const void* buffer, DWORD count);
DWORD os_SeekFile(HANDLE file, LONG offset, DWORD origin);

struct OS_FindRecord {
    HANDLE hFind = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAA Data = {};
};
bool os_FindFirst(const std::string& folder, const std::string& pattern, OS_FindRecord* record);
bool os_FindNext(OS_FindRecord* record);
void os_FindClose(OS_FindRecord* record);
std::string os_FindName(const OS_FindRecord* record);
DWORD os_FindAttributes(const OS_FindRecord* record);
DWORD os_FindSize(const OS_FindRecord* record);
// The path os_FindFirst searches.
std::string os_FindPath(const std::string& folder, const std::string& pattern);

bool os_StartProcess(const std::string& commandLine);
int os_RestartWindows();
