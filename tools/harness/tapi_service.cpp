#include "tools/harness/tapi_service.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/tapi32/tapi.h"
#include "platform/win32/wire.h"

namespace rig {

namespace wire = vornet::wire;

namespace {

// What an application sees of the provider's answer.
uint32_t line_error_of(NDIS_STATUS s)
{
    switch (s) {
    case NDIS_STATUS_SUCCESS: return 0;
    case NDIS_STATUS_TAPI_ALLOCATED: return LINEERR_ALLOCATED;
    case NDIS_STATUS_TAPI_INUSE: return LINEERR_INUSE;
    case NDIS_STATUS_TAPI_CALLUNAVAIL: return LINEERR_CALLUNAVAIL;
    case NDIS_STATUS_TAPI_INCOMPATIBLEEXTVERSION: return LINEERR_INCOMPATIBLEEXTVERSION;
    case NDIS_STATUS_TAPI_INVALADDRESS: return LINEERR_INVALADDRESS;
    case NDIS_STATUS_TAPI_INVALADDRESSID: return LINEERR_INVALADDRESSID;
    case NDIS_STATUS_TAPI_INVALCALLHANDLE: return LINEERR_INVALCALLHANDLE;
    case NDIS_STATUS_TAPI_INVALDEVICECLASS: return LINEERR_INVALDEVICECLASS;
    case NDIS_STATUS_TAPI_INVALLINEHANDLE: return LINEERR_INVALLINEHANDLE;
    case NDIS_STATUS_TAPI_INVALLINESTATE: return LINEERR_INVALLINESTATE;
    case NDIS_STATUS_TAPI_NODRIVER: return LINEERR_NODRIVER;
    case NDIS_STATUS_TAPI_OPERATIONUNAVAIL: return LINEERR_OPERATIONUNAVAIL;
    case NDIS_STATUS_TAPI_RESOURCEUNAVAIL: return LINEERR_RESOURCEUNAVAIL;
    case NDIS_STATUS_INVALID_LENGTH: return LINEERR_STRUCTURETOOSMALL;
    default: return LINEERR_OPERATIONFAILED;
    }
}

bool running(const plat::ndis::Adapter& a) { return a.initialised && !a.halted && !a.halting; }

}  // namespace

TapiService::TapiService(Rig& rig, int listener, std::function<void(int)> watch)
    : rig_(rig), watch_(std::move(watch)), listener_(listener)
{
    buffer_.resize(sizeof(wire::RequestHeader) + 2 * wire::kMaxTransfer + 1);
    if (listener_ >= 0 && watch_) watch_(listener_);
}

TapiService::~TapiService()
{
    drop_all();
    if (listener_ >= 0) ::close(listener_);
}

bool TapiService::providers_running() const
{
    for (const auto& p : providers_)
        if (!running(*p.adapter)) return false;
    return true;
}

void TapiService::start_providers()
{
    ULONG base = 0;
    for (auto& a : rig_.host.ndis().adapters()) {
        if (!running(*a)) continue;
        Provider p;
        p.adapter = a.get();
        p.client = std::make_unique<plat::ndis::TapiClient>(rig_.host.ndis(), a.get());
        p.base = base;
        if (p.client->initialize(base) == NDIS_STATUS_SUCCESS) p.count = p.client->num_lines();
        base += p.count;
        providers_.push_back(std::move(p));
    }
}

void TapiService::stop_providers()
{
    // Each client leaves the status chain as it found it: the last made goes first.
    while (!providers_.empty()) {
        Provider& p = providers_.back();
        if (running(*p.adapter) && p.count > 0) p.client->shutdown();
        providers_.pop_back();
    }
}

ULONG TapiService::device_count() const
{
    ULONG n = 0;
    for (const auto& p : providers_) n += p.count;
    return n;
}

TapiService::Provider* TapiService::provider_of(ULONG device_id)
{
    for (auto& p : providers_)
        if (device_id >= p.base && device_id - p.base < p.count) return &p;
    return nullptr;
}

void TapiService::reply(int fd, uint32_t status, const std::vector<uint8_t>& data)
{
    wire::ReplyHeader h{wire::kReplyMagic, static_cast<int32_t>(status), static_cast<uint32_t>(data.size())};
    std::vector<uint8_t> d(sizeof h + data.size());
    std::memcpy(d.data(), &h, sizeof h);
    if (!data.empty()) std::memcpy(d.data() + sizeof h, data.data(), data.size());
    ::send(fd, d.data(), d.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

uint32_t TapiService::close_line(ULONG device_id)
{
    auto it = open_.find(device_id);
    if (it == open_.end()) return LINEERR_INVALLINEHANDLE;
    if (--it->second.opens > 0) return 0;
    OpenLine line = it->second;
    open_.erase(it);
    Provider& p = providers_[line.provider];
    return running(*p.adapter) ? line_error_of(p.client->close(line.hdLine)) : 0;
}

void TapiService::end(App& app)
{
    // The lines an application leaves open are closed for it, as at its shutdown.
    for (auto& [handle, device_id] : app.lines) close_line(device_id);
    app.lines.clear();
    if (app.fd >= 0) ::close(app.fd);
    app.fd = -1;
}

void TapiService::drop_all()
{
    for (auto& app : apps_) end(*app);
    apps_.clear();
    open_.clear();
    stop_providers();
}

bool TapiService::serve(App& app)
{
    for (;;) {
        ssize_t n = ::recv(app.fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) return false;
        wire::RequestHeader h{};
        if (static_cast<size_t>(n) < sizeof h) {
            reply(app.fd, LINEERR_INVALPARAM, {});
            continue;
        }
        std::memcpy(&h, buffer_.data(), sizeof h);
        if (h.magic != wire::kRequestMagic || h.input_length != 0 || h.output_length > wire::kMaxTransfer ||
            static_cast<size_t>(n) != sizeof h + h.output_length ||
            (h.kind == wire::kTapiInitialize) == app.initialised) {
            reply(app.fd, LINEERR_INVALPARAM, {});
            continue;
        }
        switch (h.kind) {
        case wire::kTapiInitialize: {
            if (providers_.empty()) start_providers();
            app.initialised = true;
            uint32_t count = device_count();
            std::vector<uint8_t> out(4);
            std::memcpy(out.data(), &count, 4);
            reply(app.fd, 0, out);
            break;
        }
        case wire::kTapiOpen: {
            Provider* p = provider_of(h.code);
            if (p == nullptr) {
                reply(app.fd, LINEERR_BADDEVICEID, {});
                break;
            }
            auto open = open_.find(h.code);
            if (open == open_.end()) {
                HDRV_LINE hd = 0;
                uint32_t e = line_error_of(p->client->open(h.code, next_htline_++, &hd));
                if (e != 0) {
                    reply(app.fd, e, {});
                    break;
                }
                open = open_.emplace(h.code, OpenLine{static_cast<size_t>(p - providers_.data()), hd, 0}).first;
            }
            open->second.opens++;
            uint32_t handle = app.next_line++;
            app.lines[handle] = h.code;
            std::vector<uint8_t> out(4);
            std::memcpy(out.data(), &handle, 4);
            reply(app.fd, 0, out);
            break;
        }
        case wire::kTapiClose: {
            auto it = app.lines.find(h.code);
            if (it == app.lines.end()) {
                reply(app.fd, LINEERR_INVALLINEHANDLE, {});
                break;
            }
            ULONG device_id = it->second;
            app.lines.erase(it);
            reply(app.fd, close_line(device_id), {});
            break;
        }
        case wire::kTapiDevCaps: {
            Provider* p = provider_of(h.code);
            if (p == nullptr) {
                reply(app.fd, LINEERR_BADDEVICEID, {});
                break;
            }
            if (h.output_length < sizeof(LINE_DEV_CAPS)) {
                reply(app.fd, LINEERR_STRUCTURETOOSMALL, {});
                break;
            }
            std::vector<uint8_t> caps;
            uint32_t e = line_error_of(p->client->dev_caps_raw(h.code, h.output_length, &caps));
            reply(app.fd, e, e == 0 ? caps : std::vector<uint8_t>{});
            break;
        }
        default: reply(app.fd, LINEERR_OPERATIONUNAVAIL, {}); break;
        }
    }
}

void TapiService::service()
{
    // An adapter that halted took its provider with it: the applications start again.
    if (!providers_running()) drop_all();
    for (;;) {
        int fd = listener_ >= 0 ? ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC) : -1;
        if (fd < 0) break;
        if (watch_) watch_(fd);
        auto app = std::make_unique<App>();
        app->fd = fd;
        apps_.push_back(std::move(app));
    }
    for (auto& app : apps_)
        if (!serve(*app)) end(*app);
    std::erase_if(apps_, [](const std::unique_ptr<App>& a) { return a->fd < 0; });
    if (apps_.empty() && !providers_.empty()) stop_providers();
}

}  // namespace rig
