// Serial I/O requests from applications on the adapter's virtual COM ports: the default
// board with two ports (COM3, COM4) on its modem channels, brought up once, takes any
// sequence of opens, closes, reads, writes, device controls of any code and buffer, and
// requests of any other major function, on open ports and on ports no one has open,
// with the virtual clock running between them and cancels at any time. Whatever comes,
// the driver reads and writes only inside each request's buffer, reports no more
// transferred than a request could carry, completes or refuses every request it is
// given (a close finds none of the handle's left in the driver), and the platform
// sees no misuse. Every input ends with both ports closed.
//
// Input: records, op (bits 0-2) then its operands:
//   0 open    port: COM3 + (a & 1) into handle slot a & 1
//   1 close   handle slot a & 1
//   2 request a: slot (bit 0); bit 1 straight to the port's device, not on the
//             handle (so on a port no one has open; other major functions always go
//             so); bit 2 raw control code (4 octets follow, else the serial function
//             a >> 3);
//             then major (mod 0x1C), input length (2 octets, at most 1,024) and its
//             octets, output length (2 octets, at most 1,024)
//   3 clock   a x 5 ms
//   4 cancel  the a-th request still in the driver
//   5 CancelIo on handle slot a & 1
//   6,7 write text: n, then n octets, to handle slot (op >> 3) & 1 (AT commands)
#include <memory>

#include "driver/Wmp_nt40/ser_init.h"
#include "fuzz/fuzz_board.h"
#include "platform/nt/win32.h"

namespace {

using plat::nt::HANDLE;
using plat::nt::INVALID_HANDLE_VALUE;
constexpr const char* kTarget = "fuzz_serial";
constexpr unsigned kFirstCom = 3;
fuzz::Board* g_board;

PDEVICE_OBJECT Port(unsigned n) { return plat_nt_find_device(("\\Device\\COM" + std::to_string(kFirstCom + n)).c_str()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_board == nullptr) {
        g_board = new fuzz::Board(kTarget, rig::kDefaultConfig, [](fuzz::Board& b) {
            b.set_dword("AsyncPorts_0", 2);
            b.set_dword("AsyncPortNumbersStartAt", kFirstCom);
        }, plat::ms(14000));
        if (Port(0) == nullptr || Port(1) == nullptr) fuzz::Fail(kTarget, "no COM3 and COM4");
    }
    fuzz::Board& b = *g_board;
    plat::Host& host = b.rig.host;
    plat::nt::Win32Client client;
    client.wait_limit = plat::ms(5000);
    HANDLE handle[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    // Each request with the most its completion may report transferred.
    struct Sent {
        std::unique_ptr<plat::nt::Request> r;
        size_t limit;
    };
    std::vector<Sent> requests;
    auto check_done = [&] {
        for (Sent& s : requests)
            if (s.r->done() && NT_SUCCESS(s.r->status()) && s.r->information() > s.limit)
                fuzz::Fail(kTarget, "more bytes reported than the request could carry");
    };

    fuzz::Input in(data, size);
    while (in.more()) {
        uint8_t op = in.u8();
        uint8_t a = in.u8();
        unsigned slot = a & 1;
        switch (op & 7) {
        case 0:
            if (handle[slot] == INVALID_HANDLE_VALUE) handle[slot] = client.CreateFile("\\\\.\\COM" + std::to_string(kFirstCom + slot));
            break;
        case 1:
            if (handle[slot] != INVALID_HANDLE_VALUE && !client.CloseHandle(handle[slot]))
                fuzz::Fail(kTarget, "a close failed");
            handle[slot] = INVALID_HANDLE_VALUE;
            break;
        case 2: {
            uint32_t code = (a & 4) ? in.u32() : SER_CTL_CODE(a >> 3);
            UCHAR major = UCHAR(in.u8() % (IRP_MJ_MAXIMUM_FUNCTION + 1));
            std::vector<uint8_t> input = in.bytes(in.u16() % 1025);
            uint32_t out = in.u16() % 1025;
            // Opens, cleanups and closes come only as a handle's life brings them.
            if (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP) major = IRP_MJ_DEVICE_CONTROL;
            HANDLE h = handle[slot];
            std::unique_ptr<plat::nt::Request> r;
            if ((a & 2) == 0 && h != INVALID_HANDLE_VALUE && major == IRP_MJ_READ) r = client.start_read(h, out);
            else if ((a & 2) == 0 && h != INVALID_HANDLE_VALUE && major == IRP_MJ_WRITE) r = client.start_write(h, input);
            else if ((a & 2) == 0 && h != INVALID_HANDLE_VALUE && major == IRP_MJ_DEVICE_CONTROL)
                r = client.start_ioctl(h, code, input, out);
            else
                r = client.send(Port(slot), major, code, input, out);
            // A read or a device control gives back at most its output; a write takes at most its data.
            if (r != nullptr) requests.push_back({std::move(r), major == IRP_MJ_WRITE ? input.size() : (major == IRP_MJ_READ || major == IRP_MJ_DEVICE_CONTROL) ? out : std::max<size_t>(input.size(), out)});
            break;
        }
        case 3: host.run_for(plat::ms(5) * a); break;
        case 4: {
            std::vector<plat::nt::Request*> held;
            for (Sent& s : requests)
                if (!s.r->done()) held.push_back(s.r.get());
            if (!held.empty()) IoCancelIrp(&held[a % held.size()]->irp);
            break;
        }
        case 5:
            if (handle[slot] != INVALID_HANDLE_VALUE) client.CancelIo(handle[slot]);
            break;
        default: {
            std::vector<uint8_t> text = in.bytes(a);
            HANDLE h = handle[(op >> 3) & 1];
            if (h != INVALID_HANDLE_VALUE) requests.push_back({client.start_write(h, text), text.size()});
            break;
        }
        }
        check_done();
        b.check(kTarget);
    }
    for (HANDLE& h : handle)
        if (h != INVALID_HANDLE_VALUE && !client.CloseHandle(h)) fuzz::Fail(kTarget, "a close failed");
    // Requests sent straight to a port: with both ports closed, none is left in the
    // driver once cancelled.
    for (Sent& s : requests)
        if (!s.r->done()) {
            IoCancelIrp(&s.r->irp);
            client.wait(*s.r, plat::ms(1000));
            if (!s.r->done()) fuzz::Fail(kTarget, "a request held after its port closed and its cancel");
        }
    check_done();
    requests.clear();
    host.run_for(plat::ms(50));
    b.check(kTarget);
    return 0;
}
