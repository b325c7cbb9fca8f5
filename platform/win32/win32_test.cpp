// Win32 in user mode: waits over events, mutexes and threads; the last error per
// thread; files, search and processes under the run's root; shared libraries.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "platform/win32/windows.h"
#include "platform/win32/test_root.h"

namespace fs = std::filesystem;

namespace {

struct WaitCase {
    const char* name;
    // Builds the objects; gives back the handles to wait on and what to close after.
    std::function<std::vector<HANDLE>(std::vector<HANDLE>& close)> setup;
    DWORD expected;
    DWORD error;  // the last error when the wait fails
    std::function<void(const std::vector<HANDLE>&)> then;
};

HANDLE event(bool manual, bool set, std::vector<HANDLE>& close)
{
    HANDLE h = CreateEventA(nullptr, manual, set, nullptr);
    close.push_back(h);
    return h;
}

DWORD WINAPI_exit_holding(LPVOID m)
{
    WaitForSingleObject(static_cast<HANDLE>(m), INFINITE);
    return 7;  // ends owning the mutex
}

const WaitCase kWaitCases[] = {
    {"AutoResetIsConsumedOnce",
     [](auto& c) { return std::vector<HANDLE>{event(false, true, c)}; }, WAIT_OBJECT_0, 0,
     [](auto& h) { EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_TIMEOUT); }},
    {"ManualResetStaysSignalled",
     [](auto& c) { return std::vector<HANDLE>{event(true, true, c)}; }, WAIT_OBJECT_0, 0,
     [](auto& h) {
         EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_OBJECT_0);
         ResetEvent(h[0]);
         EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_TIMEOUT);
     }},
    {"LowestSignalledIndexWins",
     [](auto& c) {
         return std::vector<HANDLE>{event(false, false, c), event(false, true, c), event(false, true, c)};
     },
     WAIT_OBJECT_0 + 1, 0, [](auto& h) { EXPECT_EQ(WaitForSingleObject(h[2], 0), WAIT_OBJECT_0) << "only one taken"; }},
    {"NothingSignalledTimesOut",
     [](auto& c) { return std::vector<HANDLE>{event(false, false, c), event(true, false, c)}; }, WAIT_TIMEOUT, 0,
     nullptr},
    {"RecursiveMutexNeedsEveryRelease",
     [](auto& c) {
         HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
         c.push_back(m);
         return std::vector<HANDLE>{m};
     },
     WAIT_OBJECT_0, 0,
     [](auto& h) {
         EXPECT_TRUE(ReleaseMutex(h[0]));  // owned twice: still held
         DWORD other = 0;
         std::thread([&] { other = WaitForSingleObject(h[0], 0); }).join();
         EXPECT_EQ(other, WAIT_TIMEOUT);
         EXPECT_TRUE(ReleaseMutex(h[0]));
         EXPECT_FALSE(ReleaseMutex(h[0]));
         EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
         std::thread([&] { other = WaitForSingleObject(h[0], 0); }).join();
         EXPECT_EQ(other, WAIT_OBJECT_0);
         EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_ABANDONED_0) << "the other thread ended holding it";
         EXPECT_TRUE(ReleaseMutex(h[0]));
     }},
    {"MutexLeftByADeadThreadIsAbandoned",
     [](auto& c) {
         HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
         c.push_back(m);
         HANDLE t = CreateThread(nullptr, 0, WINAPI_exit_holding, m, 0, nullptr);
         c.push_back(t);
         EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
         DWORD code = 0;
         EXPECT_TRUE(GetExitCodeThread(t, &code));
         EXPECT_EQ(code, 7u);
         return std::vector<HANDLE>{m};
     },
     WAIT_ABANDONED_0, 0,
     [](auto& h) {
         EXPECT_TRUE(ReleaseMutex(h[0])) << "the abandoned mutex is now ours";
         EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_OBJECT_0) << "and no longer abandoned";
         ReleaseMutex(h[0]);
     }},
    {"ClosedHandleFails",
     [](auto&) {
         HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
         CloseHandle(e);
         return std::vector<HANDLE>{e};
     },
     WAIT_FAILED, ERROR_INVALID_HANDLE, nullptr},
    {"NullHandleAmongOthersFails",
     [](auto& c) { return std::vector<HANDLE>{event(true, true, c), nullptr}; }, WAIT_FAILED, ERROR_INVALID_HANDLE,
     nullptr},
    {"SixtyFourHandlesAreServed",
     [](auto& c) {
         std::vector<HANDLE> h;
         for (int i = 0; i < 64; i++) h.push_back(event(false, i == 63, c));
         return h;
     },
     WAIT_OBJECT_0 + 63, 0, nullptr},
    {"SixtyFiveHandlesAreRefused",
     [](auto& c) {
         std::vector<HANDLE> h;
         for (int i = 0; i < 65; i++) h.push_back(event(false, true, c));
         return h;
     },
     WAIT_FAILED, ERROR_INVALID_PARAMETER,
     [](auto& h) { EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_OBJECT_0) << "the refused wait took nothing"; }},
};

TEST(Win32Wait, Cases)
{
    for (const auto& c : kWaitCases) {
        SCOPED_TRACE(c.name);
        std::vector<HANDLE> close;
        std::vector<HANDLE> h = c.setup(close);
        SetLastError(0);
        DWORD r = WaitForMultipleObjects(static_cast<DWORD>(h.size()), h.data(), FALSE, 20);
        EXPECT_EQ(r, c.expected);
        if (c.expected == WAIT_FAILED) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        if (c.then) c.then(h);
        for (HANDLE x : close) EXPECT_TRUE(CloseHandle(x));
    }
}

TEST(Win32Wait, ManualResetWakesEveryWaiterAndAutoResetOnlyOne)
{
    for (bool manual : {true, false}) {
        SCOPED_TRACE(manual ? "manual" : "auto");
        HANDLE e = CreateEventA(nullptr, manual, FALSE, nullptr);
        std::atomic<int> woken{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 4; i++)
            waiters.emplace_back([&] {
                if (WaitForSingleObject(e, 500) == WAIT_OBJECT_0) woken++;
            });
        Sleep(50);
        SetEvent(e);
        for (auto& t : waiters) t.join();
        EXPECT_EQ(woken.load(), manual ? 4 : 1);
        CloseHandle(e);
    }
}

TEST(Win32Wait, AWaiterWakesWhenAnotherThreadSignals)
{
    HANDLE e[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    std::thread setter([&] {
        Sleep(30);
        SetEvent(e[1]);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, e, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();
    CloseHandle(e[0]);
    CloseHandle(e[1]);
}

TEST(Win32Thread, LastErrorBelongsToEachThread)
{
    SetLastError(5);
    DWORD seen = 99;
    std::thread([&] {
        seen = GetLastError();
        SetLastError(6);
    }).join();
    EXPECT_EQ(seen, 0u);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_NE(GetCurrentThreadId(), 0u);
}

// A fresh run's root for one test, its folders in another case than Win32 programs spell them.
struct Root : TempRoot {
    Root() : TempRoot("vornet-win32", "C/WINNT/System32/Drivers") {}
};

TEST(Win32Files, PathsUnderTheRootMatchWithoutRegardToCase)
{
    Root root;
    char system[MAX_PATH];
    UINT n = GetSystemDirectoryA(system, sizeof system);
    EXPECT_STREQ(system, "C:\\WINNT\\system32");
    EXPECT_EQ(n, 17u);
    EXPECT_EQ(GetSystemDirectoryA(system, 17), 18u) << "too small: the size needed with the terminator";

    std::string armcsm = std::string(system) + "\\drivers\\armcsm";
    HANDLE f = CreateFileA(armcsm.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(fs::exists(root.dir / "C" / "WINNT" / "System32" / "Drivers" / "armcsm")) << "existing folders reused";
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(f, "0123456789", 10, &done, nullptr));
    EXPECT_EQ(done, 10u);
    EXPECT_EQ(SetFilePointer(f, -4, nullptr, FILE_END), 6u);
    char buf[16] = {};
    EXPECT_TRUE(ReadFile(f, buf, sizeof buf, &done, nullptr));
    EXPECT_EQ(std::string(buf, done), "6789");
    EXPECT_EQ(SetFilePointer(f, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
    EXPECT_TRUE(CloseHandle(f));

    f = CreateFileA("c:\\winnt\\SYSTEM32\\DRIVERS\\ARMCSM", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ReadFile(f, buf, 3, &done, nullptr));
    EXPECT_EQ(std::string(buf, done), "012");
    CloseHandle(f);

    struct Open {
        const char* path;
        DWORD disposition;
        DWORD error;
    } refusals[] = {
        {"C:\\missing.txt", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"C:\\no\\such\\folder.txt", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
        {"C:\\WINNT\\system32\\drivers\\ARMCSM", CREATE_NEW, ERROR_FILE_EXISTS},
        {"C:\\WINNT", OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {"C:\\..\\..\\etc\\passwd", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},  // stays inside the root
    };
    for (auto& r : refusals) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(CreateFileA(r.path, GENERIC_READ, 0, nullptr, r.disposition, 0, nullptr), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), r.error);
    }
    f = CreateFileA("C:\\WINNT\\system32\\drivers\\armcsm", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    CloseHandle(f);
    EXPECT_FALSE(CloseHandle(f));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(Win32Files, SearchMatchesPatternsWithoutRegardToCaseInNameOrder)
{
    Root root;
    for (const char* n : {"LOG-Modem1-a.TXT", "log-modem2-b.txt", "Trace_P0.txt", "other.bin"})
        std::ofstream(root.dir / "C" / n) << "x";
    fs::create_directory(root.dir / "C" / "logs.txt");
    struct Search {
        const char* pattern;
        std::vector<std::string> names;
    } cases[] = {
        {"C:\\LOG-MODEM*.txt", {"LOG-Modem1-a.TXT", "log-modem2-b.txt"}},
        {"c:\\*.TXT", {"LOG-Modem1-a.TXT", "log-modem2-b.txt", "logs.txt", "Trace_P0.txt"}},
        {"C:\\Trace_P?.txt", {"Trace_P0.txt"}},
        {"C:\\*.*", {"LOG-Modem1-a.TXT", "log-modem2-b.txt", "logs.txt", "other.bin", "Trace_P0.txt", "WINNT"}},
        {"other.bin", {"other.bin"}},  // no folder: the top of drive C
        {"C:\\*.none", {}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        WIN32_FIND_DATAA d;
        HANDLE h = FindFirstFileA(c.pattern, &d);
        std::vector<std::string> found;
        if (h != INVALID_HANDLE_VALUE) {
            do found.push_back(d.cFileName);
            while (FindNextFileA(h, &d));
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
            EXPECT_TRUE(FindClose(h));
        } else {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
        }
        EXPECT_EQ(found, c.names);
    }
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA("C:\\logs.txt", &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    FindClose(h);
    h = FindFirstFileA("C:\\other.bin", &d);
    EXPECT_EQ(d.nFileSizeLow, 1u);
    FindClose(h);
    EXPECT_EQ(FindFirstFileA("C:\\nowhere\\*.txt", &d), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST(Win32Process, TheLauncherGetsTheProgramAndHostPaths)
{
    Root root;
    fs::path launcher = root.dir / "launcher.sh";
    std::ofstream(launcher) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > " << (root.dir / "launched").string() << "\nexit 3\n";
    fs::permissions(launcher, fs::perms::owner_all);
    std::ofstream(root.dir / "C" / "LOG-Modem1.TXT") << "log";

    char line[] = "Notepad.exe c:\\log-modem1.txt";
    STARTUPINFOA si{};
    PROCESS_INFORMATION pi{};
    unsetenv("VORNET_LAUNCHER");
    EXPECT_FALSE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    setenv("VORNET_LAUNCHER", launcher.c_str(), 1);
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 3u);
    std::ifstream in(root.dir / "launched");
    std::string program, file;
    std::getline(in, program);
    std::getline(in, file);
    EXPECT_EQ(program, "Notepad.exe");
    EXPECT_EQ(file, (root.dir / "C" / "LOG-Modem1.TXT").string());
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    unsetenv("VORNET_LAUNCHER");
}

TEST(Win32Library, MissingLibraryAndEntryAreReported)
{
    if (std::string(VORNET_WIN32_LIBRARY).empty()) GTEST_SKIP() << "no shared library of this build";
    setenv("VORNET_LIBRARY_PATH", "/nonexistent", 1);
    EXPECT_EQ(LoadLibraryA("NOSUCHLIB.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    HMODULE self = LoadLibraryA(VORNET_WIN32_LIBRARY);
    ASSERT_NE(self, nullptr);
    EXPECT_NE(GetProcAddress(self, "_Z11CloseHandlePv"), nullptr);
    EXPECT_EQ(GetProcAddress(self, "NoSuchEntry"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(self));
    unsetenv("VORNET_LIBRARY_PATH");
}

// The root block of a version resource, as the applet's information page reads it.
struct FileVersion {
    DWORD size = 0, error = 0;
    VS_FIXEDFILEINFO fixed{};
};
FileVersion file_version(const char* name)
{
    FileVersion v;
    DWORD handle = 1;
    v.size = GetFileVersionInfoSizeA(name, &handle);
    EXPECT_EQ(handle, 0u);
    v.error = GetLastError();
    if (v.size == 0) return v;
    std::vector<uint8_t> block(v.size);
    EXPECT_TRUE(GetFileVersionInfoA(name, 0, v.size, block.data()));
    void* fixed = nullptr;
    UINT length = 0;
    EXPECT_TRUE(VerQueryValueA(block.data(), "\\", &fixed, &length));
    EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    if (fixed != nullptr) std::memcpy(&v.fixed, fixed, sizeof v.fixed);
    return v;
}

void write_bytes(const fs::path& p, const std::vector<std::vector<uint8_t>>& parts)
{
    std::ofstream out(p, std::ios::binary);
    for (const auto& b : parts) out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

TEST(Win32Version, TheResourceOfAFileIsFoundAndItsRootBlockRead)
{
    Root root;
    VersionResource good{};
    std::memcpy(good.key, "VS_VERSION_INFO", 16);
    good.fixed = {VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION, 0x00020003, 0x00040005, 0, 0, 0, 0, VOS_NT_WINDOWS32,
                  VFT_DRV, VFT2_DRV_SYSTEM, 0, 0};
    std::vector<uint8_t> record(sizeof good);
    std::memcpy(record.data(), &good, sizeof good);
    std::vector<uint8_t> key_only(good.key, good.key + 16), junk(100, 0xA5);
    // A key followed by something else is passed over for the record behind it.
    write_bytes(root.dir / "C" / "WINNT" / "System32" / "Drivers" / "vornet.sys", {junk, key_only, junk, record, junk});
    FileVersion v = file_version("C:\\WINNT\\system32\\drivers\\VORNET.SYS");
    ASSERT_EQ(v.size, sizeof(VersionResource));
    EXPECT_EQ(v.fixed.dwFileVersionMS >> 16, 2u);
    EXPECT_EQ(v.fixed.dwFileVersionMS & 0xFFFF, 3u);
    EXPECT_EQ(v.fixed.dwFileVersionLS, 0x00040005u);
    EXPECT_EQ(v.fixed.dwFileType, VFT_DRV);

    const struct {
        const char* name;
        std::vector<std::vector<uint8_t>> content;  // none: no file
        DWORD error;
    } refusals[] = {
        {"C:\\none.sys", {}, ERROR_FILE_NOT_FOUND},
        {"C:\\plain.txt", {junk}, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"C:\\keyonly.dll", {junk, key_only, junk}, ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"C:\\cut.dll", {junk, std::vector<uint8_t>(record.begin(), record.end() - 1)}, ERROR_RESOURCE_TYPE_NOT_FOUND},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.name);
        if (!r.content.empty()) write_bytes(root.dir / "C" / (std::string(r.name).substr(3)), r.content);
        FileVersion none = file_version(r.name);
        EXPECT_EQ(none.size, 0u);
        EXPECT_EQ(none.error, r.error);
    }

    std::vector<uint8_t> block(sizeof(VersionResource));
    EXPECT_FALSE(GetFileVersionInfoA("C:\\WINNT\\system32\\drivers\\vornet.sys", 0, 10, block.data()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(GetFileVersionInfoA("C:\\WINNT\\system32\\drivers\\vornet.sys", 0, DWORD(block.size()), block.data()));
    void* p = nullptr;
    UINT n = 0;
    EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\FileVersion", &p, &n));
    EXPECT_FALSE(VerQueryValueA(junk.data(), "\\", &p, &n)) << "no version block";
}

// Our libraries carry their version: TAPI32 by the name the applet loads it by.
TEST(Win32Version, OurLibrariesCarryTheProductVersion)
{
    if (std::string(TAPI32_DIR).empty()) GTEST_SKIP() << "no shared libraries in this build";
    Root root;
    setenv("VORNET_LIBRARY_PATH", TAPI32_DIR, 1);
    FileVersion v = file_version("TAPI32.DLL");
    unsetenv("VORNET_LIBRARY_PATH");
    ASSERT_EQ(v.size, sizeof(VersionResource)) << v.error;
    EXPECT_EQ(v.fixed.dwFileVersionMS, DWORD(VORNET_VERSION_MAJOR << 16 | VORNET_VERSION_MINOR));
    EXPECT_EQ(v.fixed.dwFileVersionLS, DWORD(VORNET_VERSION_BUILD << 16 | VORNET_VERSION_REVISION));
    EXPECT_EQ(v.fixed.dwFileType, VFT_DLL);
    EXPECT_EQ(file_version((std::string(TAPI32_DIR) + "/libtapi32.so").c_str()).size, sizeof(VersionResource))
        << "by its host path";
    FileVersion none = file_version(VORNET_WIN32_LIBRARY);
    EXPECT_EQ(none.size, 0u) << "the platform library has none, though it looks for them";
}

TEST(Win32Restart, WithoutASimulatorTheRestartIsRefused)
{
    Root root;
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES tp{};
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid));
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY);
    CloseHandle(token);
}

}  // namespace
