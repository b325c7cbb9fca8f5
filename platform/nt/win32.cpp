// The Win32-side client: each call builds an IRP for the device's driver object and
// calls its dispatch entry at passive level, as the I/O manager would.
#include "platform/nt/win32.h"

#include <algorithm>
#include <cstring>

#include "platform/host/host.h"
#include "platform/ndis/ndis_host.h"

namespace plat::nt {

Request::~Request()
{
    if (owner != nullptr) owner->forget(this);
    if (dispatch_status == STATUS_PENDING && !done()) Host::current().violation("a request freed while the driver holds it");
}

Win32Client::~Win32Client()
{
    for (Request* r : tracked_) r->owner = nullptr;
    // What the driver never completed is left allocated rather than freed under it.
    for (auto& r : abandoned_)
        if (!r->done()) (void)r.release();
}

void Win32Client::forget(Request* r) { tracked_.erase(std::remove(tracked_.begin(), tracked_.end(), r), tracked_.end()); }

void Win32Client::drop_finished()
{
    abandoned_.erase(std::remove_if(abandoned_.begin(), abandoned_.end(), [](const auto& r) { return r->done(); }),
                     abandoned_.end());
}

size_t Win32Client::outstanding(HANDLE h) const
{
    size_t n = 0;
    for (const Request* r : tracked_)
        if (r->handle == h && !r->done()) n++;
    return n;
}

bool Win32Client::CancelIo(HANDLE h)
{
    if (device_of(h) == nullptr) {
        last_ = STATUS_INVALID_PARAMETER;
        return false;
    }
    std::vector<Request*> pending;
    for (Request* r : tracked_)
        if (r->handle == h && !r->done()) pending.push_back(r);
    for (Request* r : pending) IoCancelIrp(&r->irp);
    return true;
}

std::unique_ptr<Request> Win32Client::send_on(HANDLE h, UCHAR major, uint32_t code, const std::vector<uint8_t>& in,
                                              uint32_t out_length)
{
    PDEVICE_OBJECT d = device_of(h);
    if (d == nullptr) return nullptr;
    auto r = send(d, major, code, in, out_length);
    if (!r->done()) {
        r->owner = this;
        r->handle = h;
        tracked_.push_back(r.get());
    }
    return r;
}

std::unique_ptr<Request> Win32Client::send(PDEVICE_OBJECT device, UCHAR major, uint32_t code,
                                           const std::vector<uint8_t>& in, uint32_t out_length)
{
    auto r = std::make_unique<Request>();
    r->buffer.assign(std::max<size_t>(in.size(), out_length), 0);
    std::copy(in.begin(), in.end(), r->buffer.begin());
    r->irp.SystemBuffer = r->buffer.empty() ? nullptr : r->buffer.data();
    r->irp.IoStatus.Status = STATUS_PENDING;
    r->irp.ListEntry.Flink = r->irp.ListEntry.Blink = &r->irp.ListEntry;
    IO_STACK_LOCATION& s = r->irp.Stack;
    s.MajorFunction = major;
    s.DeviceObject = device;
    if (major == IRP_MJ_READ) s.Parameters.Read.Length = out_length;
    if (major == IRP_MJ_WRITE) s.Parameters.Write.Length = static_cast<ULONG>(in.size());
    if (major == IRP_MJ_DEVICE_CONTROL) {
        s.Parameters.DeviceIoControl.IoControlCode = code;
        s.Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(in.size());
        s.Parameters.DeviceIoControl.OutputBufferLength = out_length;
    }
    Host& h = Host::current();
    if (h.irql() != kPassiveLevel) h.violation("a request sent above passive level");
    PDRIVER_DISPATCH entry = device->DriverObject->MajorFunction[major];
    if (entry != nullptr) {
        ndis::NdisState::DriverEntryScope driver(h.ndis());
        r->dispatch_status = entry(device, &r->irp);
    } else {
        r->dispatch_status = STATUS_INVALID_DEVICE_REQUEST;
    }
    if (entry == nullptr) {
        r->irp.IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        r->irp.Completed = TRUE;
    }
    if (r->dispatch_status != STATUS_PENDING && !r->irp.Completed)
        h.violation("a dispatch entry returned without pending or completing its request");
    if (r->dispatch_status == STATUS_PENDING && !r->irp.PendingReturned)
        h.violation("STATUS_PENDING returned for a request not marked pending");
    return r;
}

PDEVICE_OBJECT Win32Client::device_of(HANDLE h)
{
    if (h <= 0 || static_cast<size_t>(h) > handles_.size()) return nullptr;
    return handles_[static_cast<size_t>(h) - 1];
}

HANDLE Win32Client::CreateFile(const std::string& name)
{
    const std::string prefix = "\\\\.\\";
    if (name.compare(0, prefix.size(), prefix) != 0) {
        last_ = STATUS_OBJECT_NAME_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    PDEVICE_OBJECT d = plat_nt_find_device(("\\DosDevices\\" + name.substr(prefix.size())).c_str());
    if (d == nullptr) {
        last_ = STATUS_OBJECT_NAME_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    auto r = send(d, IRP_MJ_CREATE, 0, {}, 0);
    wait(*r, wait_limit);
    last_ = r->done() ? r->status() : STATUS_TIMEOUT;
    if (!NT_SUCCESS(last_)) return INVALID_HANDLE_VALUE;
    handles_.push_back(d);
    return static_cast<HANDLE>(handles_.size());
}

std::unique_ptr<Request> Win32Client::start_cleanup(HANDLE h) { return send_on(h, IRP_MJ_CLEANUP, 0, {}, 0); }

// As the I/O manager does: clean-up when the handle goes, close only once every request
// of the handle has completed.
bool Win32Client::CloseHandle(HANDLE h)
{
    PDEVICE_OBJECT d = device_of(h);
    if (d == nullptr) {
        last_ = STATUS_INVALID_PARAMETER;
        return false;
    }
    auto c = send_on(h, IRP_MJ_CLEANUP, 0, {}, 0);
    finish(c, nullptr);
    Host& host = Host::current();
    VTime end = host.now() + wait_limit;
    while (outstanding(h) > 0 && host.now() < end) {
        VTime next = host.sched.next_time();
        if (next == UINT64_MAX || next > end) break;
        host.sched.run_next();
    }
    if (outstanding(h) > 0) {
        host.violation("requests of a handle still held by the driver after its clean-up");
        last_ = STATUS_PENDING;
        return false;
    }
    auto r = send(d, IRP_MJ_CLOSE, 0, {}, 0);
    wait(*r, wait_limit);
    handles_[static_cast<size_t>(h) - 1] = nullptr;
    drop_finished();
    last_ = r->status();
    return NT_SUCCESS(last_);
}

bool Win32Client::wait(Request& r, VTime limit)
{
    Host& h = Host::current();
    VTime end = h.now() + limit;
    while (!r.done()) {
        VTime next = h.sched.next_time();
        if (next == UINT64_MAX || next > end) {
            h.run_until(end);
            break;
        }
        h.sched.run_next();
    }
    return r.done();
}

// A read that timed out (STATUS_TIMEOUT, a success code) answers TRUE with the bytes it
// got, as Win32 does.
bool Win32Client::finish(std::unique_ptr<Request>& r, uint32_t* transferred)
{
    if (!r->done() && r->dispatch_status == STATUS_PENDING) {
        if (!wait(*r, wait_limit)) {
            IoCancelIrp(&r->irp);
            wait(*r, ms(100));
        }
    }
    bool done = r->done();
    last_ = done ? r->status() : STATUS_TIMEOUT;
    if (transferred) *transferred = done ? static_cast<uint32_t>(r->information()) : 0;
    if (!done) abandoned_.push_back(std::move(r));
    return done && NT_SUCCESS(last_);
}

std::unique_ptr<Request> Win32Client::start_read(HANDLE h, uint32_t length)
{
    return send_on(h, IRP_MJ_READ, 0, {}, length);
}

std::unique_ptr<Request> Win32Client::start_write(HANDLE h, const std::vector<uint8_t>& data)
{
    return send_on(h, IRP_MJ_WRITE, 0, data, 0);
}

std::unique_ptr<Request> Win32Client::start_ioctl(HANDLE h, uint32_t code, const std::vector<uint8_t>& in,
                                                  uint32_t out_length)
{
    return send_on(h, IRP_MJ_DEVICE_CONTROL, code, in, out_length);
}

bool Win32Client::ReadFile(HANDLE h, void* buffer, uint32_t length, uint32_t* read)
{
    auto r = start_read(h, length);
    if (!r) {
        last_ = STATUS_INVALID_PARAMETER;
        return false;
    }
    bool ok = finish(r, read);
    if (ok) std::memcpy(buffer, r->buffer.data(), std::min<size_t>(r->information(), length));
    return ok;
}

bool Win32Client::WriteFile(HANDLE h, const void* buffer, uint32_t length, uint32_t* written)
{
    auto* p = static_cast<const uint8_t*>(buffer);
    auto r = start_write(h, std::vector<uint8_t>(p, p + length));
    if (!r) {
        last_ = STATUS_INVALID_PARAMETER;
        return false;
    }
    return finish(r, written);
}

bool Win32Client::DeviceIoControl(HANDLE h, uint32_t code, const void* in, uint32_t in_length, void* out,
                                  uint32_t out_length, uint32_t* returned)
{
    auto* p = static_cast<const uint8_t*>(in);
    auto r = start_ioctl(h, code, std::vector<uint8_t>(p, p + (p ? in_length : 0)), out_length);
    if (!r) {
        last_ = STATUS_INVALID_PARAMETER;
        return false;
    }
    bool ok = finish(r, returned);
    if (ok && out != nullptr) std::memcpy(out, r->buffer.data(), std::min<size_t>(r->information(), out_length));
    return ok;
}

}  // namespace plat::nt
