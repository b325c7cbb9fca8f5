// The driver's device from this process: "\\.\VORNET<n>" is the socket of that name in
// the run's root; each DeviceIoControl is one request and one whole reply on it.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/win32/objects.h"
#include "platform/win32/wire.h"

namespace plat::win32 {

namespace {

// A request the simulator does not answer within this time fails; it never hangs.
constexpr time_t kReplyLimitSeconds = 30;

DWORD win32_error_of_status(int32_t status)
{
    switch (static_cast<uint32_t>(status)) {
    case 0xC0000023: return ERROR_INSUFFICIENT_BUFFER;   // buffer too small
    case 0xC0000010: return ERROR_INVALID_FUNCTION;      // invalid device request
    case 0xC000000D: return ERROR_INVALID_PARAMETER;
    case 0xC00000BB: return ERROR_NOT_SUPPORTED;
    case 0xC0000034: return ERROR_FILE_NOT_FOUND;        // object name not found
    case 0xC0000022: return ERROR_ACCESS_DENIED;
    case 0xC0000021: return ERROR_ACCESS_DENIED;         // already committed: in use
    case 0x00000102: return ERROR_SEM_TIMEOUT;
    default: return ERROR_GEN_FAILURE;
    }
}

bool send_all(int fd, const std::vector<uint8_t>& datagram)
{
    for (;;) {
        ssize_t n = ::send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(datagram.size());
    }
}

// One request and its reply. False with the last error set when the exchange failed.
bool exchange(int fd, uint32_t kind, uint32_t code, const void* in, uint32_t in_length, void* out,
              uint32_t out_length, uint32_t* returned, int32_t* status)
{
    if (in_length > vornet::wire::kMaxTransfer || out_length > vornet::wire::kMaxTransfer)
        return fail(ERROR_INVALID_PARAMETER, false);
    vornet::wire::RequestHeader q{vornet::wire::kRequestMagic, kind, code, in_length, out_length};
    std::vector<uint8_t> datagram(sizeof q + in_length + out_length);
    std::memcpy(datagram.data(), &q, sizeof q);
    if (in_length > 0) std::memcpy(datagram.data() + sizeof q, in, in_length);
    if (out_length > 0) std::memcpy(datagram.data() + sizeof q + in_length, out, out_length);
    if (!send_all(fd, datagram)) return fail(ERROR_DEVICE_NOT_CONNECTED, false);

    std::vector<uint8_t> reply(sizeof(vornet::wire::ReplyHeader) + out_length + 1);
    ssize_t n;
    do n = ::recv(fd, reply.data(), reply.size(), 0);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return fail(ERROR_SEM_TIMEOUT, false);
    if (n <= 0) return fail(ERROR_DEVICE_NOT_CONNECTED, false);
    vornet::wire::ReplyHeader r{};
    if (static_cast<size_t>(n) < sizeof r) return fail(ERROR_GEN_FAILURE, false);
    std::memcpy(&r, reply.data(), sizeof r);
    size_t data = static_cast<size_t>(n) - sizeof r;
    if (r.magic != vornet::wire::kReplyMagic || r.information > out_length || data != r.information)
        return fail(ERROR_GEN_FAILURE, false);
    if (data > 0 && out != nullptr) std::memcpy(out, reply.data() + sizeof r, data);
    *returned = r.information;
    *status = r.status;
    return true;
}

}  // namespace

Device::~Device() { ::close(fd); }

HANDLE open_device(const std::string& name)
{
    auto r = root();
    if (!r || name.empty() || name.find_first_of("\\/") != std::string::npos)
        return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    auto path = find_in(*r, name);
    if (!path) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::string p = path->string();
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (p.size() >= sizeof a.sun_path) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::memcpy(a.sun_path, p.c_str(), p.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
    auto d = std::make_shared<Device>(fd);
    timeval limit{kReplyLimitSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    // A socket nobody listens on is a device that is not there (the simulator ended).
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    uint32_t returned = 0;
    int32_t status = 0;
    if (!exchange(fd, vornet::wire::kCreate, 0, nullptr, 0, nullptr, 0, &returned, &status)) {
        // The server closes a connection for a device it no longer has.
        if (GetLastError() == ERROR_DEVICE_NOT_CONNECTED) SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (status < 0) return fail(win32_error_of_status(status), INVALID_HANDLE_VALUE);
    SetLastError(ERROR_SUCCESS);
    return add(std::move(d));
}

}  // namespace plat::win32

using namespace plat::win32;

BOOL DeviceIoControl(HANDLE Device, DWORD IoControlCode, LPVOID InBuffer, DWORD InBufferSize, LPVOID OutBuffer,
                     DWORD OutBufferSize, LPDWORD BytesReturned, LPOVERLAPPED Overlapped)
{
    if (auto port = lookup_as<Object>(Device, Kind::Comm))
        return comm_control(port, IoControlCode, InBuffer, InBufferSize, OutBuffer, OutBufferSize, BytesReturned,
                            Overlapped);
    auto d = lookup_as<plat::win32::Device>(Device, Kind::Device);
    if (!d) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (Overlapped != nullptr || (InBuffer == nullptr && InBufferSize > 0) || (OutBuffer == nullptr && OutBufferSize > 0))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::lock_guard<std::mutex> l(d->exchange);
    if (d->broken) return fail(ERROR_DEVICE_NOT_CONNECTED, FALSE);
    uint32_t returned = 0;
    int32_t status = 0;
    if (!exchange(d->fd, vornet::wire::kDeviceControl, IoControlCode, InBuffer, InBufferSize, OutBuffer, OutBufferSize,
                  &returned, &status)) {
        DWORD e = GetLastError();
        if (e != ERROR_INVALID_PARAMETER) d->broken = true;
        return fail(e, FALSE);
    }
    if (BytesReturned != nullptr) *BytesReturned = returned;
    if (status < 0) return fail(win32_error_of_status(status), FALSE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
