// Operating-system layer over Win32. The timer list is guarded by the timer-list mutex;
// starting and stopping the thread timer is ordered by a mutex of its own, taken outside
// the list's, so the ticking thread can be joined while it waits for the list.
#include "QLCommon/os.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "QLCommon/ConfigMap.h"

namespace {

HANDLE g_TimerListMutex = nullptr;
std::mutex g_TimerListGuard;  // creation of the timer-list mutex itself
std::vector<COS_Timer*> g_TimerList;

std::mutex g_HookMutex;
OS_ThreadTimerHooks g_Hooks;
bool g_ThreadTimerRunning = false;

std::mutex g_BoxMutex;
std::function<void(const std::string&)> g_MessageBox;

// The library's own 50 ms ticker, used when the host installed no thread timer.
std::thread g_Ticker;
std::atomic<bool> g_TickerRun{false};

void TickerStart()
{
    g_TickerRun = true;
    g_Ticker = std::thread([] {
        while (g_TickerRun) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (g_TickerRun)
                os_TimerProc();
        }
    });
}

void TickerStop()
{
    g_TickerRun = false;
    if (g_Ticker.joinable())
        g_Ticker.join();
}

HANDLE TimerListMutex()
{
    std::lock_guard<std::mutex> g(g_TimerListGuard);
    if (g_TimerListMutex == nullptr)
        g_TimerListMutex = CreateMutexA(nullptr, FALSE, nullptr);
    return g_TimerListMutex;
}

class TimerListLock {
public:
    TimerListLock() : m_h(TimerListMutex()) { WaitForSingleObject(m_h, INFINITE); }
    ~TimerListLock() { ReleaseMutex(m_h); }

private:
    HANDLE m_h;
};

// Runs the thread timer exactly while the timer list is not empty.
void UpdateThreadTimer()
{
    std::lock_guard<std::mutex> g(g_HookMutex);
    bool want;
    {
        TimerListLock l;
        want = !g_TimerList.empty();
    }
    if (want && !g_ThreadTimerRunning) {
        if (g_Hooks.start)
            g_Hooks.start();
        else
            TickerStart();
        g_ThreadTimerRunning = true;
    } else if (!want && g_ThreadTimerRunning) {
        if (g_Hooks.stop)
            g_Hooks.stop();
        else
            TickerStop();
        g_ThreadTimerRunning = false;
    }
}

}  // namespace

// --- COS_Lock ---------------------------------------------------------------------

COS_Lock::COS_Lock() : m_hMutex(os_CreateMutex()) {}
COS_Lock::~COS_Lock() { os_CloseMutex(m_hMutex); }
void COS_Lock::Lock() { os_WaitMutex(m_hMutex); }
void COS_Lock::Unlock() { os_ReleaseMutex(m_hMutex); }

// --- COS_Thread -------------------------------------------------------------------

COS_Thread::~COS_Thread()
{
    if (m_hThread != nullptr)
        CloseHandle(m_hThread);
}

DWORD COS_Thread::Routine(LPVOID parameter)
{
    static_cast<COS_Thread*>(parameter)->ThreadBody();
    return 0;
}

bool COS_Thread::Start()
{
    DWORD id = 0;
    m_hThread = CreateThread(nullptr, 0, &COS_Thread::Routine, this, 0, &id);
    if (m_hThread == nullptr) {
        char text[80];
        std::snprintf(text, sizeof text, "Unable to create thread, error = %ld", (long)GetLastError());
        os_MessageBox(text);
        return false;
    }
    return true;
}

DWORD COS_Thread::Wait(DWORD milliseconds) { return WaitForSingleObject(m_hThread, milliseconds); }

// --- COS_Timer --------------------------------------------------------------------

COS_Timer::COS_Timer(DWORD intervalMs, bool periodic)
    : m_hEvent(os_CreateEvent()), m_bActive(true), m_bPeriodic(periodic)
{
    // Below one tick the count would wrap instead of firing: one tick is the least.
    m_TicksPerPeriod = intervalMs / 50 == 0 ? 1 : intervalMs / 50;
    m_TicksLeft = m_TicksPerPeriod;
    {
        TimerListLock l;
        g_TimerList.push_back(this);
    }
    UpdateThreadTimer();
}

COS_Timer::~COS_Timer()
{
    {
        TimerListLock l;
        for (auto it = g_TimerList.begin(); it != g_TimerList.end(); ++it) {
            if (*it == this) {
                g_TimerList.erase(it);
                break;
            }
        }
    }
    UpdateThreadTimer();
    os_CloseEvent(m_hEvent);
}

void COS_Timer::Reset() { os_ResetEvent(m_hEvent); }
bool COS_Timer::TestEvent() { return os_TestEvent(m_hEvent) == 1; }

void os_TimerProc()
{
    TimerListLock l;
    for (COS_Timer* t : g_TimerList) {
        if (!t->m_bActive)
            continue;
        if (--t->m_TicksLeft != 0)
            continue;
        SetEvent(t->m_hEvent);
        if (t->m_bPeriodic)
            t->m_TicksLeft = t->m_TicksPerPeriod;
        else
            t->m_bActive = false;
    }
}

bool os_ThreadTimerRunning()
{
    std::lock_guard<std::mutex> g(g_HookMutex);
    return g_ThreadTimerRunning;
}

void os_SetThreadTimerHooks(OS_ThreadTimerHooks hooks)
{
    std::lock_guard<std::mutex> g(g_HookMutex);
    g_Hooks = std::move(hooks);
}

// --- COS_WaitList -----------------------------------------------------------------

bool COS_WaitList::Add(COS_SyncObject* object)
{
    if (object == nullptr || m_Count >= (uint32_t)kMax)
        return false;
    m_Objects[m_Count] = object;
    m_Handles[m_Count] = object->GetHandle();
    m_Count++;
    return true;
}

bool COS_WaitList::Remove(COS_SyncObject* object)
{
    for (uint32_t i = 0; i < m_Count; i++) {
        if (m_Objects[i] != object)
            continue;
        for (uint32_t j = i + 1; j < m_Count; j++) {
            m_Objects[j - 1] = m_Objects[j];
            m_Handles[j - 1] = m_Handles[j];
        }
        m_Count--;
        return true;
    }
    return false;
}

COS_SyncObject* COS_WaitList::Wait(DWORD milliseconds)
{
    DWORD r = WaitForMultipleObjects(m_Count, m_Handles, FALSE, milliseconds);
    if (r < WAIT_OBJECT_0 + m_Count)
        return m_Objects[r - WAIT_OBJECT_0];
    if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + m_Count)
        return m_Objects[r - WAIT_ABANDONED_0];
    return nullptr;
}

// --- plain wrappers ---------------------------------------------------------------

void os_Open() { TimerListMutex(); }

void os_Close()
{
    std::lock_guard<std::mutex> g(g_TimerListGuard);
    if (g_TimerListMutex != nullptr && g_TimerList.empty()) {
        CloseHandle(g_TimerListMutex);
        g_TimerListMutex = nullptr;
    }
}

void os_SetMessageBoxHandler(std::function<void(const std::string&)> handler)
{
    std::lock_guard<std::mutex> g(g_BoxMutex);
    g_MessageBox = std::move(handler);
}

void os_MessageBox(const std::string& text)
{
    std::function<void(const std::string&)> handler;
    {
        std::lock_guard<std::mutex> g(g_BoxMutex);
        handler = g_MessageBox;
    }
    if (handler)
        handler(text);
    else
        std::fprintf(stderr, "vornetap: %s\n", text.c_str());
}

HANDLE os_CreateEvent() { return CreateEventA(nullptr, FALSE, FALSE, nullptr); }
HANDLE os_CreateManualEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }
void os_WaitEvent(HANDLE event) { WaitForSingleObject(event, INFINITE); }
void os_SetEvent(HANDLE event) { SetEvent(event); }
void os_ResetEvent(HANDLE event) { ResetEvent(event); }
int os_TestEvent(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0 ? 1 : 0; }
void os_CloseEvent(HANDLE event)
{
    if (event != nullptr)
        CloseHandle(event);
}
HANDLE os_CreateMutex() { return CreateMutexA(nullptr, FALSE, nullptr); }
void os_WaitMutex(HANDLE mutex) { WaitForSingleObject(mutex, INFINITE); }
void os_ReleaseMutex(HANDLE mutex) { ReleaseMutex(mutex); }
void os_CloseMutex(HANDLE mutex)
{
    if (mutex != nullptr)
        CloseHandle(mutex);
}

HANDLE os_OpenFile(const std::string& name, DWORD access)
{
    return CreateFileA(name.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE os_CreateFile(const std::string& name, DWORD flags)
{
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, flags, nullptr);
}

void os_CloseFile(HANDLE file)
{
    if (file != nullptr && file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

long os_ReadFile(HANDLE file, void* buffer, DWORD count)
{
    DWORD done = 0;
    if (!ReadFile(file, buffer, count, &done, nullptr))
        return -1;
    return (long)done;
}

long os_WriteFile(HANDLE file, const void* buffer, DWORD count)
{
    DWORD done = 0;
    WriteFile(file, buffer, count, &done, nullptr);
    return (long)done;
}

DWORD os_SeekFile(HANDLE file, LONG offset, DWORD origin) { return SetFilePointer(file, offset, nullptr, origin); }

std::string os_FindPath(const std::string& folder, const std::string& pattern)
{
    std::string path = folder;
    if (!path.empty() && path.back() != '\\')
        path += '\\';
    return path + pattern;
}

bool os_FindFirst(const std::string& folder, const std::string& pattern, OS_FindRecord* record)
{
    record->hFind = FindFirstFileA(os_FindPath(folder, pattern).c_str(), &record->Data);
    return record->hFind != INVALID_HANDLE_VALUE;
}

bool os_FindNext(OS_FindRecord* record)
{
    return record->hFind != INVALID_HANDLE_VALUE && FindNextFileA(record->hFind, &record->Data) != FALSE;
}

void os_FindClose(OS_FindRecord* record)
{
    if (record->hFind != INVALID_HANDLE_VALUE)
        FindClose(record->hFind);
    record->hFind = INVALID_HANDLE_VALUE;
}

std::string os_FindName(const OS_FindRecord* record)
{
    char oem[MAX_PATH];
    CharToOemA(record->Data.cFileName, oem);
    return oem;
}

DWORD os_FindAttributes(const OS_FindRecord* record) { return record->Data.dwFileAttributes; }
DWORD os_FindSize(const OS_FindRecord* record) { return record->Data.nFileSizeLow; }

bool os_StartProcess(const std::string& commandLine)
{
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                        &start, &info))
        return false;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

int os_RestartWindows()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return 0;
    TOKEN_PRIVILEGES privileges = {};
    LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (error != ERROR_SUCCESS)
        return 0;
    return ExitWindowsEx(EWX_REBOOT, 0) ? 1 : 0;
}
