// A Win32-side client of the I/O manager for tests and tools: opens a device by its
// DOS name ("\\.\COM5"), sends create, read, write, device-control, clean-up and close
// requests to the driver's dispatch entries, and waits for pending requests on the
// host's virtual clock. Overlapped use: start a request, run the clock, look at it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/scheduler.h"
#include "platform/nt/io.h"

namespace plat::nt {

using HANDLE = intptr_t;
constexpr HANDLE INVALID_HANDLE_VALUE = -1;

class Win32Client;

// One request in flight: its IRP and its buffer (the system buffer of buffered I/O).
// Freeing one the driver still holds is a platform violation.
struct Request {
    Request() = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request();
    Win32Client* owner = nullptr;  // the client that tracks it for its handle
    intptr_t handle = 0;
    IRP irp{};
    std::vector<uint8_t> buffer;
    NTSTATUS dispatch_status = 0;  // what the dispatch entry returned
    bool done() const { return irp.Completed != 0; }
    NTSTATUS status() const { return irp.IoStatus.Status; }
    size_t information() const { return irp.IoStatus.Information; }
    std::vector<uint8_t> output() const
    {
        return {buffer.begin(), buffer.begin() + static_cast<long>(std::min(information(), buffer.size()))};
    }
};

class Win32Client {
public:
    // Synchronous waits give up (and cancel the request) after this much virtual time.
    VTime wait_limit = ms(60'000);

    // CreateFile: INVALID_HANDLE_VALUE on failure; last_status() tells why.
    HANDLE CreateFile(const std::string& name);
    bool CloseHandle(HANDLE h);  // clean-up, then close
    bool ReadFile(HANDLE h, void* buffer, uint32_t length, uint32_t* read);
    bool WriteFile(HANDLE h, const void* buffer, uint32_t length, uint32_t* written);
    bool DeviceIoControl(HANDLE h, uint32_t code, const void* in, uint32_t in_length, void* out,
                         uint32_t out_length, uint32_t* returned);
    NTSTATUS last_status() const { return last_; }
    // Cancels every request of the handle still in the driver (Win32 CancelIo).
    bool CancelIo(HANDLE h);
    // Requests of the handle the driver has not completed yet.
    size_t outstanding(HANDLE h) const;
    ~Win32Client();

    // Overlapped requests: sent at once, completed while the clock runs.
    std::unique_ptr<Request> start_read(HANDLE h, uint32_t length);
    std::unique_ptr<Request> start_write(HANDLE h, const std::vector<uint8_t>& data);
    std::unique_ptr<Request> start_ioctl(HANDLE h, uint32_t code, const std::vector<uint8_t>& in,
                                         uint32_t out_length);
    std::unique_ptr<Request> start_cleanup(HANDLE h);
    // Runs the clock until the request completes or the limit passes; true when done.
    bool wait(Request& r, VTime limit);
    // Any device of the driver (not only those with a DOS name), for requests to it.
    std::unique_ptr<Request> send(PDEVICE_OBJECT device, UCHAR major, uint32_t code,
                                  const std::vector<uint8_t>& in, uint32_t out_length);

private:
    friend struct Request;
    PDEVICE_OBJECT device_of(HANDLE h);
    std::unique_ptr<Request> send_on(HANDLE h, UCHAR major, uint32_t code, const std::vector<uint8_t>& in,
                                     uint32_t out_length);
    // Waits for a synchronous request; one the driver never completes (even after a
    // cancel) is kept until it does, never freed under the driver.
    bool finish(std::unique_ptr<Request>& r, uint32_t* transferred);
    void forget(Request* r);
    void drop_finished();
    std::vector<Request*> tracked_;                    // requests sent on a handle
    std::vector<std::unique_ptr<Request>> abandoned_;  // given up on, still in the driver
    std::vector<PDEVICE_OBJECT> handles_;  // index + 1 is the handle; nullptr when closed
    NTSTATUS last_ = 0;
};

}  // namespace plat::nt
