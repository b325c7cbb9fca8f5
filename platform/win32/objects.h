// The handle table behind platform/win32: one process-wide lock and condition guard
// every waitable object's state, so a wait on many handles sees them all at once.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/windows.h"

namespace plat::win32 {

enum class Kind { Event, Mutex, Thread, Process, File, Find, Device, Token, Comm };

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
};

struct Event : Object {
    Event(bool manual, bool signalled) : Object(Kind::Event), manual(manual), signalled(signalled) {}
    bool manual;
    bool signalled;
};

struct Mutex : Object {
    Mutex() : Object(Kind::Mutex) {}
    DWORD owner = 0;  // thread id, 0 when free
    DWORD count = 0;  // recursion
    bool abandoned = false;
};

// A thread or a process: signalled when it has ended.
struct Task : Object {
    explicit Task(Kind k) : Object(k) {}
    bool ended = false;
    DWORD exit_code = STILL_ACTIVE;
    DWORD id = 0;
};

struct File : Object {
    explicit File(int fd) : Object(Kind::File), fd(fd) {}
    ~File() override;
    int fd;
};

struct Find : Object {
    Find() : Object(Kind::Find) {}
    std::vector<WIN32_FIND_DATAA> found;
    size_t next = 0;
};

struct Device : Object {
    explicit Device(int fd) : Object(Kind::Device), fd(fd) {}
    ~Device() override;
    int fd;
    std::mutex exchange;  // one request and its reply at a time on the socket
    bool broken = false;  // a reply went missing: the socket is out of step
};

struct Token : Object {
    Token() : Object(Kind::Token) {}
};

struct Table {
    std::mutex lock;
    std::condition_variable changed;
};
Table& table();

HANDLE add(std::shared_ptr<Object> o);  // sets the last error on failure
std::shared_ptr<Object> lookup(HANDLE h);
template <class T>
std::shared_ptr<T> lookup_as(HANDLE h, Kind k)
{
    auto o = lookup(h);
    return o != nullptr && o->kind == k ? std::static_pointer_cast<T>(o) : nullptr;
}

// Sets the calling thread's last error and answers the given result.
template <class R>
R fail(DWORD error, R result)
{
    SetLastError(error);
    return result;
}
DWORD win32_error_of_errno(int e);

// The run's root directory (VORNET_ROOT), or nothing.
std::optional<std::filesystem::path> root();
// A Win32 path ("C:\dir\file", "\dir\file", "dir\file") as a path under the root: each
// existing component matched without regard to case, the rest kept as written.
std::optional<std::filesystem::path> host_path(const std::string& win32_path);
// A name in a host directory matched without regard to case.
std::optional<std::filesystem::path> find_in(const std::filesystem::path& dir, const std::string& name);
bool same_text(const std::string& a, const std::string& b);  // without regard to case

HANDLE open_device(const std::string& name);  // after the "\\.\" prefix
// A serial port of the zelCOM port driver: true when the hive lists the name.
bool comm_port_listed(const std::string& name);
HANDLE open_comm(const std::string& name);
// Requests on a serial port's handle, from the calls that take any handle.
BOOL comm_read(const std::shared_ptr<Object>& port, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov);
BOOL comm_write(const std::shared_ptr<Object>& port, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED ov);
BOOL comm_control(const std::shared_ptr<Object>& port, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                  DWORD out_size, LPDWORD returned, LPOVERLAPPED ov);
std::vector<std::string> library_candidates(const std::string& name);  // as LoadLibraryA looks

}  // namespace plat::win32
