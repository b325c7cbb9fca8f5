// Files and directory search under the run's root, the system directory, processes
// through the launcher, shared libraries, and the machine's restart.
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/win32/objects.h"
#include "platform/win32/wire.h"

extern char** environ;

namespace fs = std::filesystem;

namespace plat::win32 {

DWORD win32_error_of_errno(int e)
{
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

std::optional<fs::path> root()
{
    const char* r = std::getenv("VORNET_ROOT");
    if (r == nullptr || *r == 0) return std::nullopt;
    return fs::path(r);
}

bool same_text(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<fs::path> find_in(const fs::path& dir, const std::string& name)
{
    std::error_code ec;
    if (fs::exists(dir / name, ec)) return dir / name;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (same_text(it->path().filename().string(), name)) return it->path();
    return std::nullopt;
}

std::optional<fs::path> host_path(const std::string& w)
{
    auto r = root();
    if (!r) return std::nullopt;
    std::string rest = w;
    char drive = 'C';
    if (rest.size() >= 2 && std::isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':') {
        drive = static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])));
        rest = rest.substr(2);
    }
    fs::path p = *r / std::string(1, drive);
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= rest.size()) {
        size_t next = rest.find_first_of("\\/", at);
        if (next == std::string::npos) next = rest.size();
        std::string part = rest.substr(at, next - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = next + 1;
    }
    bool exists = true;
    for (auto& part : parts) {
        if (exists) {
            auto found = find_in(p, part);
            if (found) {
                p = *found;
                continue;
            }
            exists = false;
        }
        p /= part;
    }
    return p;
}

}  // namespace plat::win32

using namespace plat::win32;

HANDLE CreateFileA(LPCSTR FileName, DWORD DesiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD CreationDisposition,
                   DWORD, HANDLE)
{
    if (FileName == nullptr) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    std::string name = FileName;
    bool device = name.rfind("\\\\.\\", 0) == 0;
    std::string bare = device ? name.substr(4) : name;
    if ((device || bare.find_first_of("\\/:") == std::string::npos) && comm_port_listed(bare)) return open_comm(bare);
    if (device) return open_device(bare);
    auto p = host_path(name);
    if (!p) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    int flags = (DesiredAccess & GENERIC_WRITE) ? ((DesiredAccess & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (CreationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    std::error_code ec;
    bool existed = fs::exists(*p, ec);
    if (fs::is_directory(*p, ec)) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (!existed && !fs::is_directory(p->parent_path(), ec)) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    int fd = ::open(p->c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return fail(win32_error_of_errno(errno), INVALID_HANDLE_VALUE);
    HANDLE h = add(std::make_shared<File>(fd));
    bool always = CreationDisposition == CREATE_ALWAYS || CreationDisposition == OPEN_ALWAYS;
    SetLastError(always && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReadFile(HANDLE File, LPVOID Buffer, DWORD ToRead, LPDWORD Read, LPOVERLAPPED Overlapped)
{
    if (auto port = lookup_as<Object>(File, Kind::Comm)) return comm_read(port, Buffer, ToRead, Read, Overlapped);
    auto f = lookup_as<plat::win32::File>(File, Kind::File);
    if (!f) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (Overlapped != nullptr || (Buffer == nullptr && ToRead > 0)) return fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD done = 0;
    while (done < ToRead) {
        ssize_t n = ::read(f->fd, static_cast<char*>(Buffer) + done, ToRead - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(win32_error_of_errno(errno), FALSE);
        if (n == 0) break;
        done += static_cast<DWORD>(n);
    }
    if (Read != nullptr) *Read = done;
    return TRUE;
}

BOOL WriteFile(HANDLE File, LPCVOID Buffer, DWORD ToWrite, LPDWORD Written, LPOVERLAPPED Overlapped)
{
    if (auto port = lookup_as<Object>(File, Kind::Comm)) return comm_write(port, Buffer, ToWrite, Written, Overlapped);
    auto f = lookup_as<plat::win32::File>(File, Kind::File);
    if (!f) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (Overlapped != nullptr || (Buffer == nullptr && ToWrite > 0)) return fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD done = 0;
    while (done < ToWrite) {
        ssize_t n = ::write(f->fd, static_cast<const char*>(Buffer) + done, ToWrite - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (Written != nullptr) *Written = done;
            return fail(win32_error_of_errno(errno), FALSE);
        }
        done += static_cast<DWORD>(n);
    }
    if (Written != nullptr) *Written = done;
    return TRUE;
}

DWORD SetFilePointer(HANDLE File, LONG DistanceToMove, LONG* DistanceToMoveHigh, DWORD MoveMethod)
{
    auto f = lookup_as<plat::win32::File>(File, Kind::File);
    if (!f) return fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
    int64_t distance = DistanceToMoveHigh != nullptr
                           ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*DistanceToMoveHigh)) << 32) |
                                                  static_cast<uint32_t>(DistanceToMove))
                           : DistanceToMove;
    int whence = MoveMethod == FILE_BEGIN ? SEEK_SET : MoveMethod == FILE_CURRENT ? SEEK_CUR : MoveMethod == FILE_END ? SEEK_END : -1;
    if (whence < 0) return fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    off_t base = whence == SEEK_SET ? 0 : ::lseek(f->fd, 0, whence);
    if (base < 0 || base + distance < 0) return fail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
    off_t at = ::lseek(f->fd, base + distance, SEEK_SET);
    if (at < 0) return fail(win32_error_of_errno(errno), INVALID_SET_FILE_POINTER);
    if (DistanceToMoveHigh != nullptr) *DistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(at) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(at);
}

BOOL GetFileInformationByHandle(HANDLE File, LPBY_HANDLE_FILE_INFORMATION Information)
{
    auto f = lookup_as<plat::win32::File>(File, Kind::File);
    if (!f) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (Information == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    struct stat st{};
    if (::fstat(f->fd, &st) != 0) return fail(win32_error_of_errno(errno), FALSE);
    *Information = BY_HANDLE_FILE_INFORMATION{};
    Information->dwFileAttributes = (st.st_mode & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE;
    Information->dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
    Information->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    Information->nFileSizeLow = static_cast<DWORD>(st.st_size);
    Information->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    Information->nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_ino) >> 32);
    Information->nFileIndexLow = static_cast<DWORD>(st.st_ino);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE File)
{
    auto f = lookup_as<plat::win32::File>(File, Kind::File);
    if (!f) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (::fsync(f->fd) != 0) return fail(win32_error_of_errno(errno), FALSE);
    return TRUE;
}

static bool read_only(const fs::path& p)
{
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

BOOL MoveFileExA(LPCSTR ExistingFileName, LPCSTR NewFileName, DWORD Flags)
{
    if (ExistingFileName == nullptr || NewFileName == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    auto from = host_path(ExistingFileName);
    auto to = host_path(NewFileName);
    if (!from || !to) return fail(ERROR_PATH_NOT_FOUND, FALSE);
    std::error_code ec;
    if (!fs::exists(*from, ec)) return fail(ERROR_FILE_NOT_FOUND, FALSE);
    if (fs::exists(*to, ec)) {
        if ((Flags & MOVEFILE_REPLACE_EXISTING) == 0) return fail(ERROR_ALREADY_EXISTS, FALSE);
        if (read_only(*to) || fs::is_directory(*to, ec)) return fail(ERROR_ACCESS_DENIED, FALSE);
    }
    if (::rename(from->c_str(), to->c_str()) != 0) return fail(win32_error_of_errno(errno), FALSE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL DeleteFileA(LPCSTR FileName)
{
    if (FileName == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    auto p = host_path(FileName);
    if (!p) return fail(ERROR_PATH_NOT_FOUND, FALSE);
    std::error_code ec;
    if (!fs::exists(*p, ec)) return fail(ERROR_FILE_NOT_FOUND, FALSE);
    if (read_only(*p) || fs::is_directory(*p, ec)) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (::unlink(p->c_str()) != 0) return fail(win32_error_of_errno(errno), FALSE);
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR FileName)
{
    if (FileName == nullptr) return fail(ERROR_INVALID_PARAMETER, INVALID_FILE_ATTRIBUTES);
    auto p = host_path(FileName);
    if (!p) return fail(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    struct stat st{};
    if (::stat(p->c_str(), &st) != 0) return fail(win32_error_of_errno(errno), INVALID_FILE_ATTRIBUTES);
    DWORD a = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if ((st.st_mode & 0222) == 0) a |= FILE_ATTRIBUTE_READONLY;
    return a;
}

BOOL SetFileAttributesA(LPCSTR FileName, DWORD Attributes)
{
    if (FileName == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    auto p = host_path(FileName);
    if (!p) return fail(ERROR_PATH_NOT_FOUND, FALSE);
    struct stat st{};
    if (::stat(p->c_str(), &st) != 0) return fail(win32_error_of_errno(errno), FALSE);
    mode_t mode = (Attributes & FILE_ATTRIBUTE_READONLY) ? (st.st_mode & ~mode_t(0222)) : (st.st_mode | 0200);
    if (::chmod(p->c_str(), mode) != 0) return fail(win32_error_of_errno(errno), FALSE);
    return TRUE;
}

// ---- directory search ----

static bool wildcard(const char* p, const char* s)
{
    for (; *p != 0; p++, s++) {
        if (*p == '*') {
            for (const char* t = s;; t++) {
                if (wildcard(p + 1, t)) return true;
                if (*t == 0) return false;
            }
        }
        if (*s == 0) return false;
        if (*p != '?' && std::tolower(static_cast<unsigned char>(*p)) != std::tolower(static_cast<unsigned char>(*s)))
            return false;
    }
    return *s == 0;
}

static FILETIME filetime_of(const struct stat& st)
{
    // 100 ns intervals since 1601.
    uint64_t t = (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ULL) * 10'000'000ULL +
                 static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
    return {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

HANDLE FindFirstFileA(LPCSTR FileName, LPWIN32_FIND_DATAA FindData)
{
    if (FileName == nullptr || FindData == nullptr) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    std::string name = FileName;
    size_t cut = name.find_last_of("\\/");
    std::string folder = cut == std::string::npos ? (name.size() >= 2 && name[1] == ':' ? name.substr(0, 2) : "")
                                                  : name.substr(0, cut + 1);
    std::string pattern = cut == std::string::npos ? name.substr(folder.size()) : name.substr(cut + 1);
    if (pattern == "*.*") pattern = "*";
    auto dir = host_path(folder);
    std::error_code ec;
    if (!dir || !fs::is_directory(*dir, ec)) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    auto find = std::make_shared<Find>();
    for (fs::directory_iterator it(*dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string n = it->path().filename().string();
        if (n.size() >= MAX_PATH || !wildcard(pattern.c_str(), n.c_str())) continue;
        struct stat st {};
        if (::stat(it->path().c_str(), &st) != 0) continue;
        WIN32_FIND_DATAA d{};
        d.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        if ((st.st_mode & S_IWUSR) == 0) d.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
        d.ftCreationTime = d.ftLastAccessTime = d.ftLastWriteTime = filetime_of(st);
        uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
        d.nFileSizeHigh = static_cast<DWORD>(size >> 32);
        d.nFileSizeLow = static_cast<DWORD>(size);
        std::memcpy(d.cFileName, n.c_str(), n.size() + 1);
        find->found.push_back(d);
    }
    if (find->found.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::sort(find->found.begin(), find->found.end(), [](const WIN32_FIND_DATAA& a, const WIN32_FIND_DATAA& b) {
        return strcasecmp(a.cFileName, b.cFileName) < 0;
    });
    *FindData = find->found[0];
    find->next = 1;
    SetLastError(ERROR_SUCCESS);
    return add(std::move(find));
}

BOOL FindNextFileA(HANDLE Find, LPWIN32_FIND_DATAA FindData)
{
    auto f = lookup_as<plat::win32::Find>(Find, Kind::Find);
    if (!f) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (FindData == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (f->next >= f->found.size()) return fail(ERROR_NO_MORE_FILES, FALSE);
    *FindData = f->found[f->next++];
    return TRUE;
}

BOOL FindClose(HANDLE Find)
{
    if (!lookup_as<plat::win32::Find>(Find, Kind::Find)) return fail(ERROR_INVALID_HANDLE, FALSE);
    return CloseHandle(Find);
}

BOOL CharToOemA(LPCSTR Source, LPSTR Destination)
{
    if (Source == nullptr || Destination == nullptr) return FALSE;
    if (Source != Destination) std::memmove(Destination, Source, std::strlen(Source) + 1);
    return TRUE;
}

UINT GetSystemDirectoryA(LPSTR Buffer, UINT Size)
{
    static const char kSystem[] = "C:\\WINNT\\system32";
    const UINT length = sizeof kSystem - 1;
    if (Buffer == nullptr || Size <= length) return length + 1;
    std::memcpy(Buffer, kSystem, length + 1);
    return length;
}

// ---- processes ----

// Words of a command line: blanks separate, double quotes group.
static std::vector<std::string> words_of(const std::string& line)
{
    std::vector<std::string> words;
    std::string w;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (any) words.push_back(w);
            w.clear();
            any = false;
        } else {
            w.push_back(c);
            any = true;
        }
    }
    if (any) words.push_back(w);
    return words;
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL CreateProcessA(LPCSTR ApplicationName, LPSTR CommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                    DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION ProcessInformation)
{
    const char* launcher = std::getenv("VORNET_LAUNCHER");
    if (launcher == nullptr || *launcher == 0) return fail(ERROR_FILE_NOT_FOUND, FALSE);
    std::vector<std::string> words = words_of(CommandLine != nullptr ? CommandLine : "");
    if (ApplicationName != nullptr) {
        if (words.empty()) words.push_back(ApplicationName);
        else words[0] = ApplicationName;
    }
    if (words.empty()) return fail(ERROR_INVALID_PARAMETER, FALSE);
    // Arguments that name files on a drive reach the launcher as host paths.
    for (size_t i = 1; i < words.size(); i++)
        if (words[i].size() >= 3 && std::isalpha(static_cast<unsigned char>(words[i][0])) && words[i][1] == ':')
            if (auto p = host_path(words[i])) words[i] = p->string();
    std::vector<char*> argv;
    std::string l = launcher;
    argv.push_back(l.data());
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int e = posix_spawnp(&pid, launcher, nullptr, nullptr, argv.data(), environ);
    if (e != 0) return fail(win32_error_of_errno(e), FALSE);
    auto p = std::make_shared<Task>(Kind::Process);
    p->id = static_cast<DWORD>(pid);
    std::thread([p, pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        std::lock_guard<std::mutex> lock(table().lock);
        p->exit_code = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status)) : 1;
        p->ended = true;
        table().changed.notify_all();
    }).detach();
    HANDLE process = add(p);
    HANDLE thread = add(p);
    if (ProcessInformation != nullptr) {
        *ProcessInformation = {process, thread, p->id, p->id};
    } else {
        CloseHandle(process);
        CloseHandle(thread);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// ---- shared libraries ----

namespace plat::win32 {

// Where a library of that name is looked for, in order: a host path as it is; else
// lib<name>.so (lower case, without ".dll" or ".cpl") in each folder of
// VORNET_LIBRARY_PATH, then the bare file name for the dynamic loader.
std::vector<std::string> library_candidates(const std::string& name)
{
    std::vector<std::string> tries;
    if (name.find('/') != std::string::npos) {
        tries.push_back(name);
        return tries;
    }
    size_t cut = name.find_last_of("\\:");
    std::string stem = cut == std::string::npos ? name : name.substr(cut + 1);
    for (auto& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* ext : {".dll", ".cpl"})
        if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ext) == 0) stem.resize(stem.size() - 4);
    std::string file = "lib" + stem + ".so";
    if (const char* dirs = std::getenv("VORNET_LIBRARY_PATH")) {
        std::string all = dirs;
        for (size_t at = 0; at <= all.size();) {
            size_t next = all.find(':', at);
            if (next == std::string::npos) next = all.size();
            if (next > at) tries.push_back(all.substr(at, next - at) + "/" + file);
            at = next + 1;
        }
    }
    tries.push_back(file);
    return tries;
}

}  // namespace plat::win32

HMODULE LoadLibraryA(LPCSTR FileName)
{
    if (FileName == nullptr) return fail(ERROR_INVALID_PARAMETER, static_cast<HMODULE>(nullptr));
    std::vector<std::string> tries = library_candidates(FileName);
    for (auto& t : tries)
        if (void* h = ::dlopen(t.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            SetLastError(ERROR_SUCCESS);
            return h;
        }
    return fail(ERROR_MOD_NOT_FOUND, static_cast<HMODULE>(nullptr));
}

FARPROC GetProcAddress(HMODULE Module, LPCSTR ProcName)
{
    if (Module == nullptr || ProcName == nullptr) return fail(ERROR_INVALID_HANDLE, static_cast<FARPROC>(nullptr));
    void* p = ::dlsym(Module, ProcName);
    if (p == nullptr) return fail(ERROR_PROC_NOT_FOUND, static_cast<FARPROC>(nullptr));
    return reinterpret_cast<FARPROC>(p);
}

BOOL FreeLibrary(HMODULE Module)
{
    if (Module == nullptr || ::dlclose(Module) != 0) return fail(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

// ---- the machine's restart ----

BOOL OpenProcessToken(HANDLE Process, DWORD, HANDLE* Token)
{
    if (Process != GetCurrentProcess() || Token == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    *Token = add(std::make_shared<plat::win32::Token>());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR, LPCSTR Name, PLUID Luid)
{
    if (Name == nullptr || Luid == nullptr || !same_text(Name, SE_SHUTDOWN_NAME))
        return fail(ERROR_NO_SUCH_PRIVILEGE, FALSE);
    *Luid = {19, 0};
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE Token, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, LPDWORD)
{
    if (!lookup_as<plat::win32::Token>(Token, Kind::Token)) return fail(ERROR_INVALID_HANDLE, FALSE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ExitWindowsEx(UINT Flags, DWORD)
{
    if ((Flags & ~EWX_FORCE) != EWX_REBOOT) return fail(ERROR_NOT_SUPPORTED, FALSE);
    auto r = root();
    if (!r) return fail(ERROR_PATH_NOT_FOUND, FALSE);
    std::string path = (*r / vornet::wire::kMachineSocket).string();
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return fail(ERROR_PATH_NOT_FOUND, FALSE);
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    vornet::wire::RequestHeader q{vornet::wire::kRequestMagic, vornet::wire::kRestart, Flags, 0, 0};
    vornet::wire::ReplyHeader reply{};
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              ::send(fd, &q, sizeof q, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof q) &&
              ::recv(fd, &reply, sizeof reply, 0) == static_cast<ssize_t>(sizeof reply) &&
              reply.magic == vornet::wire::kReplyMagic && reply.status == 0;
    ::close(fd);
    if (!ok) return fail(ERROR_NOT_READY, FALSE);
    return TRUE;
}
