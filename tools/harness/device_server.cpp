#include "tools/harness/device_server.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "driver/Common/MDM_DIMM.h"
#include "driver/Wmp_nt40/Wmp_shel.h"
#include "platform/host/host.h"
#include "platform/ndis/ndis_device.h"
#include "platform/win32/hive.h"
#include "platform/win32/wire.h"

namespace rig {

namespace fs = std::filesystem;
namespace wire = vornet::wire;

// One request as the I/O manager hands it to a driver: the system buffer holds the
// input; with direct I/O the caller's output buffer is mapped as the user buffer,
// otherwise the output goes to the system buffer too.
struct ServedRequest {
    IRP irp{};
    std::vector<uint8_t> system;
    std::vector<uint8_t> user;
    uint32_t out_length = 0;
    bool done() const { return irp.Completed != 0; }
    NTSTATUS status() const { return irp.IoStatus.Status; }
    std::vector<uint8_t> output() const
    {
        const std::vector<uint8_t>& from = irp.UserBuffer != nullptr ? user : system;
        size_t n = std::min<size_t>({irp.IoStatus.Information, out_length, from.size()});
        return {from.begin(), from.begin() + static_cast<long>(n)};
    }
};

namespace {

constexpr uint32_t kMethodMask = 3, kMethodBuffered = 0;

std::unique_ptr<ServedRequest> dispatch(PDEVICE_OBJECT device, UCHAR major, uint32_t code, std::vector<uint8_t> in,
                                        std::vector<uint8_t> out)
{
    auto r = std::make_unique<ServedRequest>();
    r->out_length = static_cast<uint32_t>(out.size());
    const bool direct = major == IRP_MJ_DEVICE_CONTROL && (code & kMethodMask) != kMethodBuffered;
    r->system = std::move(in);
    if (direct) {
        r->user = std::move(out);
    } else if (r->system.size() < r->out_length) {
        r->system.resize(r->out_length, 0);
    }
    r->irp.SystemBuffer = r->system.empty() ? nullptr : r->system.data();
    r->irp.UserBuffer = direct && !r->user.empty() ? r->user.data() : nullptr;
    r->irp.IoStatus.Status = STATUS_PENDING;
    r->irp.ListEntry.Flink = r->irp.ListEntry.Blink = &r->irp.ListEntry;
    IO_STACK_LOCATION& s = r->irp.Stack;
    s.MajorFunction = major;
    s.DeviceObject = device;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        s.Parameters.DeviceIoControl.IoControlCode = code;
        s.Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(r->system.size());
        s.Parameters.DeviceIoControl.OutputBufferLength = r->out_length;
    }
    plat::Host& h = plat::Host::current();
    if (h.irql() != plat::kPassiveLevel) h.violation("a request served above passive level");
    PDRIVER_DISPATCH entry = device->DriverObject->MajorFunction[major];
    NTSTATUS returned = entry != nullptr ? entry(device, &r->irp) : STATUS_INVALID_DEVICE_REQUEST;
    if (entry == nullptr) {
        r->irp.IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        r->irp.Completed = TRUE;
    }
    if (returned != STATUS_PENDING && !r->irp.Completed)
        h.violation("a dispatch entry returned without pending or completing its request");
    return r;
}

}  // namespace

DeviceServer::Connection::Connection() = default;
DeviceServer::Connection::~Connection() = default;

DeviceServer::DeviceServer(Rig& rig, fs::path root) : rig_(rig), root_(std::move(root))
{
    on_restart = [this] { restart(); };
    buffer_.resize(sizeof(wire::RequestHeader) + 2 * wire::kMaxTransfer + 1);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    machine_ = listen_on(root_ / wire::kMachineSocket);
    if (machine_ >= 0) watch(machine_);
    tapi_ = std::make_unique<TapiService>(rig_, listen_on(root_ / wire::kTapiSocket), [this](int fd) { watch(fd); });
}

DeviceServer::~DeviceServer()
{
    tapi_.reset();
    std::error_code gone;
    fs::remove(root_ / wire::kTapiSocket, gone);
    for (auto& c : connections_) ::close(c->fd);
    for (int fd : machine_clients_) ::close(fd);
    for (auto& [name, l] : listeners_) {
        ::close(l.fd);
        std::error_code ec;
        fs::remove(l.path, ec);
    }
    if (machine_ >= 0) {
        ::close(machine_);
        std::error_code ec;
        fs::remove(root_ / wire::kMachineSocket, ec);
    }
    if (epoll_ >= 0) ::close(epoll_);
}

void DeviceServer::watch(int fd)
{
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e);
}

int DeviceServer::listen_on(const fs::path& path)
{
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::string p = path.string();
    if (p.size() >= sizeof a.sun_path) return -1;
    std::memcpy(a.sun_path, p.c_str(), p.size() + 1);
    std::error_code ec;
    fs::remove(path, ec);  // a socket left by an earlier run
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void DeviceServer::sync_listeners()
{
    std::map<std::string, bool> running;
    for (auto& a : rig_.host.ndis().adapters())
        if (a->initialised && !a->halted && !a->halting && a->device != nullptr) running[a->service] = true;
    for (auto it = listeners_.begin(); it != listeners_.end();) {
        if (running.count(it->first)) {
            ++it;
            continue;
        }
        // The device has gone: so have its socket and its connections.
        ::close(it->second.fd);
        std::error_code ec;
        fs::remove(it->second.path, ec);
        for (auto& c : connections_)
            if (c->device == it->first) {
                ::close(c->fd);
                c->fd = -1;
            }
        it = listeners_.erase(it);
    }
    std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) { return c->fd < 0 && !c->pending; });
    for (auto& [name, yes] : running) {
        if (listeners_.count(name)) continue;
        int fd = listen_on(root_ / name);
        if (fd < 0) continue;
        watch(fd);
        listeners_[name] = Listener{fd, root_ / name};
    }
}

void DeviceServer::accept_all(int listener, const std::string& device)
{
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        watch(fd);
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->device = device;
        connections_.push_back(std::move(c));
    }
}

void DeviceServer::reply(int fd, int32_t status, const std::vector<uint8_t>& output)
{
    wire::ReplyHeader h{wire::kReplyMagic, status, static_cast<uint32_t>(output.size())};
    // Header and output as one datagram, gathered.
    iovec parts[2] = {{&h, sizeof h}, {const_cast<uint8_t*>(output.data()), output.size()}};
    msghdr m{};
    m.msg_iov = parts;
    m.msg_iovlen = output.empty() ? 1 : 2;
    // A client that went away meanwhile is found at the next receive.
    ::sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void DeviceServer::finish(Connection& c)
{
    ServedRequest& r = *c.pending;
    if (r.irp.Stack.MajorFunction == IRP_MJ_CREATE) c.opened = NT_SUCCESS(r.status());
    if (c.fd >= 0) reply(c.fd, r.status(), NT_SUCCESS(r.status()) ? r.output() : std::vector<uint8_t>{});
    c.pending.reset();
    served_++;
}

bool DeviceServer::serve(Connection& c)
{
    PDEVICE_OBJECT device = plat_nt_find_device(("\\DosDevices\\" + c.device).c_str());
    if (c.pending) {
        if (!c.pending->done()) return true;  // one request at a time per connection
        finish(c);
    }
    for (;;) {
        ssize_t n = ::recv(c.fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) {
            // The client closed its handle (or ended): clean-up and close, as the I/O
            // manager sends them.
            if (c.opened && device != nullptr) {
                dispatch(device, IRP_MJ_CLEANUP, 0, {}, {});
                dispatch(device, IRP_MJ_CLOSE, 0, {}, {});
            }
            return false;
        }
        wire::RequestHeader h{};
        if (static_cast<size_t>(n) < sizeof h) {
            reply(c.fd, STATUS_INVALID_PARAMETER, {});
            continue;
        }
        std::memcpy(&h, buffer_.data(), sizeof h);
        if (h.magic != wire::kRequestMagic || h.input_length > wire::kMaxTransfer ||
            h.output_length > wire::kMaxTransfer || static_cast<size_t>(n) != sizeof h + h.input_length + h.output_length ||
            (h.kind != wire::kCreate && h.kind != wire::kDeviceControl) || (h.kind == wire::kCreate) == c.opened) {
            reply(c.fd, STATUS_INVALID_PARAMETER, {});
            continue;
        }
        if (device == nullptr) {
            reply(c.fd, STATUS_OBJECT_NAME_NOT_FOUND, {});
            continue;
        }
        auto in_at = buffer_.begin() + sizeof h, out_at = in_at + h.input_length;
        UCHAR major = h.kind == wire::kCreate ? IRP_MJ_CREATE : IRP_MJ_DEVICE_CONTROL;
        c.pending = dispatch(device, major, h.code, std::vector<uint8_t>(in_at, out_at),
                             std::vector<uint8_t>(out_at, out_at + h.output_length));
        if (!c.pending->done()) return true;  // completes on a later event of the clock
        finish(c);
    }
}

// The machine's clients are served as their datagrams come, never waited for: one
// that connects and sends nothing holds no one up. The oldest silent one goes when
// too many wait.
void DeviceServer::serve_machine()
{
    for (;;) {
        int fd = ::accept4(machine_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        if (machine_clients_.size() >= kMaxMachineClients) {
            ::close(machine_clients_.front());
            machine_clients_.erase(machine_clients_.begin());
        }
        watch(fd);
        machine_clients_.push_back(fd);
    }
    unsigned restarts = 0;
    for (auto it = machine_clients_.begin(); it != machine_clients_.end();) {
        wire::RequestHeader h{};
        ssize_t n = ::recv(*it, &h, sizeof h, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            ++it;
            continue;
        }
        bool restart = n == static_cast<ssize_t>(sizeof h) && h.magic == wire::kRequestMagic && h.kind == wire::kRestart;
        reply(*it, restart ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND, {});  // it is no device
        ::close(*it);
        it = machine_clients_.erase(it);
        if (restart) restarts++;
    }
    for (; restarts > 0; restarts--) {
        tapi_->drop_all();  // TAPI's applications do not outlive the machine
        if (on_restart) on_restart();
    }
}

void DeviceServer::service()
{
    if (machine_ >= 0) serve_machine();
    tapi_->service();
    sync_listeners();
    for (auto& [name, l] : listeners_) accept_all(l.fd, name);
    for (auto& c : connections_) {
        if (c->fd < 0) {
            if (c->pending && c->pending->done()) c->pending.reset();
            continue;
        }
        if (!serve(*c)) {
            ::close(c->fd);
            c->fd = -1;
        }
    }
    std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) { return c->fd < 0 && !c->pending; });
}

bool DeviceServer::load_root(Rig& rig, const fs::path& root, std::string* error)
{
    bool ok = true;
    std::error_code missing;
    if (fs::exists(plat::win32::hive_file(root), missing)) {
        plat::reg::Registry hive;
        if (plat::win32::read_hive(root, hive, error)) {
            rig.host.registry.clear();
            rig.host.registry.load_reg(hive.save_reg());
        } else {
            ok = false;
        }
    }
    // C:\WINNT\system32\drivers\armcsm, its names matched without regard to case.
    fs::path file = root / "C";
    for (const char* part : {"WINNT", "system32", "drivers", "armcsm"}) {
        std::error_code ec;
        fs::path found;
        for (fs::directory_iterator it(file, ec), end; !ec && it != end; it.increment(ec))
            if (strcasecmp(it->path().filename().c_str(), part) == 0) found = it->path();
        file = found.empty() ? file / part : found;
    }
    std::ifstream in(file, std::ios::binary);
    if (in) {
        std::ostringstream image;
        image << in.rdbuf();
        std::string s = image.str();
        rig.set_firmware(std::vector<uint8_t>(s.begin(), s.end()));
    }
    return ok;
}

void DeviceServer::restart()
{
    tapi_->drop_all();
    std::vector<unsigned> instances;
    for (auto& a : rig_.host.ndis().adapters())
        if (a->initialised && !a->halted && !a->halting) instances.push_back(a->instance);
    for (auto& a : rig_.host.ndis().adapters())
        if (a->initialised && !a->halted && !a->halting) rig_.halt(a.get());
    sync_listeners();  // the halted adapters' sockets go now
    // The machine starts afresh: the driver is unloaded and loaded again.
    DRIVER_OBJECT& driver = rig_.host.ndis().driver_object();
    if (driver.DriverUnload != nullptr) driver.DriverUnload(&driver);
    WmpResetGlobals();
    DimmResetGlobals();

    std::string error;
    if (!load_root(rig_, root_, &error)) rig_.host.trace.write("restart: " + error + "\n");
    if (rig_.load_driver() != STATUS_SUCCESS) {
        rig_.host.trace.write("restart: the driver did not load\n");
        return;
    }
    for (unsigned instance : instances) rig_.initialize(instance);
    sync_listeners();
}

}  // namespace rig
