// Serial ports of the zelCOM port driver, on the simulator's modem adapter: one socket
// per port in the run's root (serial_wire.h). A reader thread per open port takes the
// adapter's datagrams: line data into the input queue, the modem's lines into the
// modem status and comm events, control answers into their requests. Every request's
// state, and every write into what a caller handed an overlapped request, happens under
// the handle table's lock, so a request that CancelIo or completion has ended is never
// touched again.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <thread>

#include "platform/win32/hive.h"
#include "platform/win32/objects.h"
#include "platform/win32/serial_wire.h"

namespace sw = vornet::serial_wire;

namespace plat::win32 {

namespace {

constexpr ULONG_PTR kStatusPending = 0x00000103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusNotConnected = 0xC000009D;
constexpr size_t kInputQueue = 4096;        // the port driver's receive buffer
constexpr time_t kOpenLimitSeconds = 5;     // for the adapter's first datagram
constexpr DWORD kSyncControlLimitMs = 30000;

const char* const kPortsKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelCOM\\Parameters";

enum class OpKind { Read, Wait, Control };

struct Op {
    OpKind kind;
    DWORD thread;
    LPOVERLAPPED ov;
    std::shared_ptr<Event> event;
    uint8_t* buffer = nullptr;  // read: the caller's buffer; control: its output
    DWORD want = 0;
    DWORD got = 0;
    LPDWORD mask = nullptr;  // wait: the caller's mask word
    uint32_t tag = 0;        // control: request number
};

DWORD status_error(ULONG_PTR status)
{
    switch (status) {
    case 0: return ERROR_SUCCESS;
    case kStatusCancelled: return ERROR_OPERATION_ABORTED;
    case kStatusNotConnected: return ERROR_DEVICE_NOT_CONNECTED;
    case sw::kStatusInvalidRequest: return ERROR_INVALID_FUNCTION;
    case sw::kStatusInvalidParameter: return ERROR_INVALID_PARAMETER;
    case sw::kStatusBufferTooSmall: return ERROR_INSUFFICIENT_BUFFER;
    default: return ERROR_GEN_FAILURE;
    }
}

DWORD modem_status_of(uint32_t lines)
{
    return ((lines & sw::kCts) ? MS_CTS_ON : 0) | ((lines & sw::kDsr) ? MS_DSR_ON : 0) |
           ((lines & sw::kRi) ? MS_RING_ON : 0) | ((lines & sw::kDcd) ? MS_RLSD_ON : 0);
}

bool send_frame(int fd, uint32_t kind, uint32_t tag, uint32_t value, const void* payload, uint32_t length)
{
    sw::Header h{sw::kMagic, kind, tag, value, length};
    uint8_t datagram[sizeof h + sw::kMaxPayload];
    std::memcpy(datagram, &h, sizeof h);
    if (length > 0) std::memcpy(datagram + sizeof h, payload, length);
    for (;;) {
        ssize_t n = ::send(fd, datagram, sizeof h + length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(sizeof h + length);
    }
}

}  // namespace

struct Comm : Object {
    explicit Comm(int fd) : Object(Kind::Comm), fd(fd)
    {
        dcb.DCBlength = sizeof dcb;
        dcb.BaudRate = 1200;
        dcb.fBinary = 1;
        dcb.ByteSize = 7;
        dcb.Parity = 2;
        dcb.StopBits = ONESTOPBIT;
    }
    ~Comm() override
    {
        ::shutdown(fd, SHUT_RDWR);
        if (reader.joinable()) reader.join();
        std::lock_guard<std::mutex> l(table().lock);
        while (!ops.empty()) finish_at(0, kStatusCancelled);
        ::close(fd);
    }

    // All below under the table's lock. Ends the request made with ov; an OVERLAPPED
    // has at most one request pending.
    void finish(LPOVERLAPPED ov, ULONG_PTR status)
    {
        for (size_t i = 0; i < ops.size(); i++)
            if (ops[i].ov == ov) {
                finish_at(i, status);
                return;
            }
    }
    void finish_at(size_t i, ULONG_PTR status)
    {
        Op op = ops[i];
        ops.erase(ops.begin() + static_cast<ptrdiff_t>(i));
        op.ov->InternalHigh = op.got;
        op.ov->Internal = status;
        if (op.event) op.event->signalled = true;
        table().changed.notify_all();
    }

    // Moves waiting input into the pending reads, oldest first.
    void serve_reads()
    {
        for (size_t i = 0; i < ops.size();) {
            Op& op = ops[i];
            if (op.kind != OpKind::Read) {
                i++;
                continue;
            }
            while (op.got < op.want && !input.empty()) {
                op.buffer[op.got++] = input.front();
                input.pop_front();
            }
            if (op.got < op.want) return;
            finish_at(i, 0);
        }
    }

    void raise(DWORD events)
    {
        events &= mask;
        if (events == 0) return;
        for (size_t i = 0; i < ops.size(); i++)
            if (ops[i].kind == OpKind::Wait) {
                *ops[i].mask = events;
                finish_at(i, 0);
                return;
            }
        history |= events;
    }

    void take(const sw::Header& h, const uint8_t* payload)
    {
        switch (h.kind) {
        case sw::kData:
            for (uint32_t i = 0; i < h.length; i++) {
                if (input.size() >= kInputQueue) {
                    errors |= CE_RXOVER;
                    break;
                }
                input.push_back(payload[i]);
            }
            serve_reads();
            if (h.length > 0) raise(EV_RXCHAR);
            break;
        case sw::kModemLines: {
            uint32_t changed = lines ^ h.value;
            bool ring = (h.value & sw::kRi) != 0 && (lines & sw::kRi) == 0;
            lines = h.value;
            raise(((changed & sw::kCts) ? EV_CTS : 0) | ((changed & sw::kDsr) ? EV_DSR : 0) |
                  ((changed & sw::kDcd) ? EV_RLSD : 0) | (ring ? EV_RING : 0));
            break;
        }
        case sw::kControlDone:
            for (size_t i = 0; i < ops.size(); i++)
                if (ops[i].kind == OpKind::Control && ops[i].tag == h.tag) {
                    Op& op = ops[i];
                    op.got = std::min<DWORD>(op.want, h.length);
                    if (op.got > 0) std::memcpy(op.buffer, payload, op.got);
                    finish_at(i, h.value);
                    break;
                }
            break;
        default: break;  // not ours to answer: ignored
        }
    }

    void read_loop()
    {
        std::vector<uint8_t> datagram(sizeof(sw::Header) + sw::kMaxPayload);
        for (;;) {
            ssize_t n = ::recv(fd, datagram.data(), datagram.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            sw::Header h{};
            if (static_cast<size_t>(n) < sizeof h) continue;
            std::memcpy(&h, datagram.data(), sizeof h);
            if (h.magic != sw::kMagic || h.length != static_cast<size_t>(n) - sizeof h) continue;
            std::lock_guard<std::mutex> l(table().lock);
            take(h, datagram.data() + sizeof h);
        }
        std::lock_guard<std::mutex> l(table().lock);
        ended = true;
        while (!ops.empty()) finish_at(0, kStatusNotConnected);
    }

    int fd;
    std::thread reader;
    DCB dcb{};
    DWORD mask = 0;
    DWORD history = 0;  // events seen while no wait was pending
    uint32_t lines = 0;
    DWORD errors = 0;
    std::deque<uint8_t> input;
    std::vector<Op> ops;
    uint32_t next_tag = 1;
    bool ended = false;
};

bool comm_port_listed(const std::string& name)
{
    auto r = root();
    if (!r || name.empty()) return false;
    reg::Registry hive;
    if (!read_hive(*r, hive, nullptr)) return false;
    const std::string ports = canonical_key(hive, kPortsKey);
    for (const auto& port : hive.subkeys(ports)) {
        std::string key = ports + "\\" + port;
        for (const char* value : {"DOSDeviceName", "ShadowDeviceName"})
            if (auto listed = hive.get_sz(key, value); listed && same_text(*listed, name)) return true;
    }
    return false;
}

HANDLE open_comm(const std::string& name)
{
    auto r = root();
    if (!r || name.find_first_of("\\/") != std::string::npos) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    auto path = find_in(*r, name);
    if (!path) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::string p = path->string();
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (p.size() >= sizeof a.sun_path) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::memcpy(a.sun_path, p.c_str(), p.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    // The adapter answers with the modem's lines, or closes a port that is already open.
    timeval limit{kOpenLimitSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    uint8_t first[sizeof(sw::Header) + sw::kMaxPayload];
    ssize_t n;
    do n = ::recv(fd, first, sizeof first, 0);
    while (n < 0 && errno == EINTR);
    sw::Header h{};
    if (n >= static_cast<ssize_t>(sizeof h)) std::memcpy(&h, first, sizeof h);
    if (n < static_cast<ssize_t>(sizeof h) || h.magic != sw::kMagic || h.kind != sw::kModemLines) {
        ::close(fd);
        return fail(n == 0 ? ERROR_ACCESS_DENIED : ERROR_NOT_READY, INVALID_HANDLE_VALUE);
    }
    timeval none{0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    auto c = std::make_shared<Comm>(fd);
    c->lines = h.value;
    Comm* raw = c.get();
    try {
        c->reader = std::thread([raw] { raw->read_loop(); });
    } catch (const std::system_error&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY, INVALID_HANDLE_VALUE);
    }
    SetLastError(ERROR_SUCCESS);
    return add(std::move(c));
}

namespace {

// Starts a request: the caller's event reset and its OVERLAPPED pending. A request
// without an OVERLAPPED runs on one of ours and is waited for here.
struct Start {
    OVERLAPPED local{};
    LPOVERLAPPED ov;
    std::shared_ptr<Event> event;
    bool ok = true;
    explicit Start(LPOVERLAPPED given) : ov(given != nullptr ? given : &local)
    {
        if (given == nullptr) {
            event = std::make_shared<Event>(true, false);
        } else if (given->hEvent != nullptr) {
            event = lookup_as<Event>(given->hEvent, Kind::Event);
            ok = event != nullptr;
        }
    }
};

// Under the lock: the result of a request that was just queued or has completed.
BOOL outcome(Comm& c, Start& s, bool sync, DWORD limit_ms, LPDWORD done,
             std::unique_lock<std::mutex>& l)
{
    if (sync) {
        auto pending = [&] { return s.ov->Internal == kStatusPending; };
        if (limit_ms == INFINITE) {
            table().changed.wait(l, [&] { return !pending(); });
        } else if (!table().changed.wait_for(l, std::chrono::milliseconds(limit_ms), [&] { return !pending(); })) {
            c.finish(s.ov, kStatusCancelled);
        }
    }
    if (s.ov->Internal == kStatusPending) return fail(ERROR_IO_PENDING, FALSE);
    if (done != nullptr) *done = static_cast<DWORD>(s.ov->InternalHigh);
    if (s.ov->Internal != 0) return fail(status_error(s.ov->Internal), FALSE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

}  // namespace

BOOL comm_read(const std::shared_ptr<Object>& port, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED given)
{
    auto& c = static_cast<Comm&>(*port);
    if (buffer == nullptr && count > 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
    Start s(given);
    if (!s.ok) return fail(ERROR_INVALID_HANDLE, FALSE);
    std::unique_lock<std::mutex> l(table().lock);
    if (c.ended) return fail(ERROR_DEVICE_NOT_CONNECTED, FALSE);
    if (s.event) s.event->signalled = false;
    s.ov->Internal = kStatusPending;
    s.ov->InternalHigh = 0;
    Op op{OpKind::Read, GetCurrentThreadId(), s.ov, s.event, static_cast<uint8_t*>(buffer), count};
    c.ops.push_back(op);
    c.serve_reads();
    return outcome(c, s, given == nullptr, INFINITE, done, l);
}

BOOL comm_write(const std::shared_ptr<Object>& port, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED given)
{
    auto& c = static_cast<Comm&>(*port);
    if (buffer == nullptr && count > 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
    Start s(given);
    if (!s.ok) return fail(ERROR_INVALID_HANDLE, FALSE);
    DWORD sent = 0;
    while (sent < count) {
        uint32_t piece = std::min<uint32_t>(count - sent, sw::kMaxPayload);
        if (!send_frame(c.fd, sw::kData, 0, 0, static_cast<const uint8_t*>(buffer) + sent, piece)) break;
        sent += piece;
    }
    // The socket takes the bytes at once: the request completes here.
    std::lock_guard<std::mutex> l(table().lock);
    s.ov->InternalHigh = sent;
    s.ov->Internal = sent == count ? 0 : kStatusNotConnected;
    if (s.event) s.event->signalled = true;
    table().changed.notify_all();
    if (done != nullptr) *done = sent;
    if (sent != count) return fail(ERROR_DEVICE_NOT_CONNECTED, FALSE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL comm_control(const std::shared_ptr<Object>& port, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                  DWORD out_size, LPDWORD returned, LPOVERLAPPED given)
{
    auto& c = static_cast<Comm&>(*port);
    if ((in == nullptr && in_size > 0) || (out == nullptr && out_size > 0) || in_size > sw::kMaxPayload - sizeof(uint32_t))
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    Start s(given);
    if (!s.ok) return fail(ERROR_INVALID_HANDLE, FALSE);
    std::unique_lock<std::mutex> l(table().lock);
    if (c.ended) return fail(ERROR_DEVICE_NOT_CONNECTED, FALSE);
    if (s.event) s.event->signalled = false;
    s.ov->Internal = kStatusPending;
    s.ov->InternalHigh = 0;
    Op op{OpKind::Control, GetCurrentThreadId(), s.ov, s.event, static_cast<uint8_t*>(out), out_size};
    op.tag = c.next_tag++;
    c.ops.push_back(op);
    // The answer can only be taken under the lock, after the request is listed.
    uint8_t request[sizeof(uint32_t) + sw::kMaxPayload];
    uint32_t out_limit = out_size;
    std::memcpy(request, &out_limit, sizeof out_limit);
    if (in_size > 0) std::memcpy(request + sizeof out_limit, in, in_size);
    if (!send_frame(c.fd, sw::kControl, op.tag, code, request, static_cast<uint32_t>(sizeof out_limit + in_size))) {
        c.finish(s.ov, kStatusNotConnected);
        return fail(ERROR_DEVICE_NOT_CONNECTED, FALSE);
    }
    return outcome(c, s, given == nullptr, kSyncControlLimitMs, returned, l);
}

}  // namespace plat::win32

using namespace plat::win32;

namespace {

std::shared_ptr<Comm> comm_of(HANDLE h) { return lookup_as<Comm>(h, Kind::Comm); }

}  // namespace

BOOL GetCommState(HANDLE File, LPDCB Dcb)
{
    auto c = comm_of(File);
    if (!c) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (Dcb == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::lock_guard<std::mutex> l(table().lock);
    *Dcb = c->dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE File, LPDCB Dcb)
{
    auto c = comm_of(File);
    if (!c) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (Dcb == nullptr || Dcb->BaudRate == 0 || Dcb->ByteSize < 5 || Dcb->ByteSize > 8 || Dcb->Parity > 4 ||
        Dcb->StopBits > 2)
        return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::lock_guard<std::mutex> l(table().lock);
    c->dcb = *Dcb;
    c->dcb.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL SetCommMask(HANDLE File, DWORD EventMask)
{
    auto c = comm_of(File);
    if (!c) return fail(ERROR_INVALID_HANDLE, FALSE);
    std::lock_guard<std::mutex> l(table().lock);
    c->mask = EventMask;
    c->history = 0;
    // A pending wait ends with no event.
    for (size_t i = 0; i < c->ops.size(); i++)
        if (c->ops[i].kind == OpKind::Wait) {
            *c->ops[i].mask = 0;
            c->finish_at(i, 0);
            break;
        }
    return TRUE;
}

BOOL GetCommMask(HANDLE File, LPDWORD EventMask)
{
    auto c = comm_of(File);
    if (!c) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (EventMask == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::lock_guard<std::mutex> l(table().lock);
    *EventMask = c->mask;
    return TRUE;
}

BOOL WaitCommEvent(HANDLE File, LPDWORD EventMask, LPOVERLAPPED Overlapped)
{
    auto c = comm_of(File);
    if (!c) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (EventMask == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    Start s(Overlapped);
    if (!s.ok) return fail(ERROR_INVALID_HANDLE, FALSE);
    std::unique_lock<std::mutex> l(table().lock);
    if (c->ended) return fail(ERROR_DEVICE_NOT_CONNECTED, FALSE);
    if (c->mask == 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
    for (auto& op : c->ops)
        if (op.kind == OpKind::Wait) return fail(ERROR_INVALID_PARAMETER, FALSE);  // one wait at a time
    if (s.event) s.event->signalled = false;
    s.ov->Internal = kStatusPending;
    s.ov->InternalHigh = 0;
    Op op{OpKind::Wait, GetCurrentThreadId(), s.ov, s.event};
    op.mask = EventMask;
    c->ops.push_back(op);
    if (DWORD seen = c->history & c->mask) {
        c->history = 0;
        *EventMask = seen;
        c->finish(s.ov, 0);
    }
    return outcome(*c, s, Overlapped == nullptr, INFINITE, nullptr, l);
}

BOOL GetCommModemStatus(HANDLE File, LPDWORD ModemStat)
{
    auto c = comm_of(File);
    if (!c) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (ModemStat == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::lock_guard<std::mutex> l(table().lock);
    *ModemStat = modem_status_of(c->lines);
    return TRUE;
}

BOOL ClearCommError(HANDLE File, LPDWORD Errors, LPCOMSTAT Stat)
{
    auto c = comm_of(File);
    if (!c) return fail(ERROR_INVALID_HANDLE, FALSE);
    std::lock_guard<std::mutex> l(table().lock);
    if (Errors != nullptr) *Errors = c->errors;
    c->errors = 0;
    if (Stat != nullptr) *Stat = {0, static_cast<DWORD>(c->input.size()), 0};
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE File, LPOVERLAPPED Overlapped, LPDWORD Transferred, BOOL Wait)
{
    if (!lookup(File)) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (Overlapped == nullptr || Transferred == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
    std::unique_lock<std::mutex> l(table().lock);
    if (Overlapped->Internal == kStatusPending) {
        if (!Wait) return fail(ERROR_IO_INCOMPLETE, FALSE);
        table().changed.wait(l, [&] { return Overlapped->Internal != kStatusPending; });
    }
    *Transferred = static_cast<DWORD>(Overlapped->InternalHigh);
    if (Overlapped->Internal != 0) return fail(status_error(Overlapped->Internal), FALSE);
    return TRUE;
}

BOOL CancelIo(HANDLE File)
{
    auto o = lookup(File);
    if (!o) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (o->kind != Kind::Comm) return TRUE;  // nothing else runs overlapped
    auto& c = static_cast<Comm&>(*o);
    DWORD me = GetCurrentThreadId();
    std::lock_guard<std::mutex> l(table().lock);
    for (size_t i = 0; i < c.ops.size();)
        if (c.ops[i].thread == me) c.finish_at(i, kStatusCancelled);
        else i++;
    return TRUE;
}
