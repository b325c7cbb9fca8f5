// Messages and FIFO bytes from the modem processors, as a running processor could send
// them: the default board with two COM ports on its modem channels, brought up once
// with its processors loaded and running, takes messages of any code, pump and words,
// each with FIFO bytes of any count (whatever its words claim), while applications
// open the ports, write AT commands and close them again. Whatever the processors say,
// the driver reads nothing beyond what it was sent, writes only inside its own
// buffers, every port closes with none of its requests left in the driver, and the
// platform sees no misuse.
//
// Input: records, op (bits 0-2) then its operands:
//   0,1 message  socket s, processor c, then (op 0) four words as they are, or (op 1)
//                code, pump (mod the socket's pumps) and words 0-2; then n (2 octets,
//                at most 600) and n FIFO octets
//   2   clock    a x 5 ms
//   3   open     COM3 + (a & 1)
//   4   close    COM3 + (a & 1)
//   5   write    slot a & 1, then n and n octets (AT commands)
//   6   read     slot a & 1, at most a octets, left in the driver until it completes
//   7   crash    processor c (then c, pump) reports an exception for a pump and takes
//                no message until the driver resets it
#include <memory>

#include "driver/Common/MDM_PUMP.h"
#include "fuzz/fuzz_board.h"
#include "platform/nt/win32.h"

namespace {

using plat::nt::HANDLE;
using plat::nt::INVALID_HANDLE_VALUE;
constexpr const char* kTarget = "fuzz_modem";
constexpr unsigned kFirstCom = 3;
fuzz::Board* g_board;

std::vector<sim::ModemSocket*> Sockets(sim::Card& card)
{
    std::vector<sim::ModemSocket*> v;
    for (unsigned s = 0; s < unsigned(sim::kMaxSockets); s++)
        if (card.modem(s) != nullptr) v.push_back(card.modem(s));
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_board == nullptr) {
        g_board = new fuzz::Board(kTarget, rig::kDefaultConfig, [](fuzz::Board& b) {
            b.set_dword("AsyncPorts_0", 2);
            b.set_dword("AsyncPortNumbersStartAt", kFirstCom);
        }, plat::ms(14000));
        if (Sockets(*g_board->card).empty()) fuzz::Fail(kTarget, "no modem socket");
    }
    fuzz::Board& b = *g_board;
    plat::Host& host = b.rig.host;
    std::vector<sim::ModemSocket*> sockets = Sockets(*b.card);
    plat::nt::Win32Client client;
    client.wait_limit = plat::ms(3000);
    HANDLE handle[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    std::vector<std::unique_ptr<plat::nt::Request>> requests;

    fuzz::Input in(data, size);
    while (in.more()) {
        uint8_t op = in.u8();
        uint8_t a = in.u8();
        unsigned slot = a & 1;
        switch (op & 7) {
        case 0:
        case 1: {
            sim::ModemSocket* m = sockets[a % sockets.size()];
            unsigned c = in.u8() % (m->processors() ? m->processors() : 1);
            std::array<uint16_t, 4> w{};
            if ((op & 7) == 0) {
                for (uint16_t& x : w) x = in.u16();
            } else {
                uint8_t code = in.u8();
                uint8_t pump = in.u8() % sim::ModemSocket::kMaxPumps;
                for (unsigned k = 0; k < 3; k++) w[k] = in.u16();
                w[3] = uint16_t(code << 8 | pump);
            }
            std::vector<uint8_t> fifo = in.bytes(in.u16() % 601);
            m->send_to_host(c, w, fifo);
            host.run_for(plat::ms(2));
            break;
        }
        case 2: host.run_for(plat::ms(5) * a); break;
        case 3:
            if (handle[slot] == INVALID_HANDLE_VALUE) handle[slot] = client.CreateFile("\\\\.\\COM" + std::to_string(kFirstCom + slot));
            break;
        case 4:
            if (handle[slot] != INVALID_HANDLE_VALUE && !client.CloseHandle(handle[slot]))
                fuzz::Fail(kTarget, "a close failed");
            handle[slot] = INVALID_HANDLE_VALUE;
            break;
        case 5: {
            std::vector<uint8_t> text = in.bytes(in.u8());
            if (handle[slot] != INVALID_HANDLE_VALUE) requests.push_back(client.start_write(handle[slot], text));
            break;
        }
        case 6:
            if (handle[slot] != INVALID_HANDLE_VALUE) requests.push_back(client.start_read(handle[slot], a));
            break;
        default: {
            sim::ModemSocket* m = sockets[a % sockets.size()];
            unsigned c = in.u8() % (m->processors() ? m->processors() : 1);
            m->crash(c, uint8_t(MSG_ABORT + (op >> 3) % 4), in.u8() % sim::ModemSocket::kMaxPumps);
            break;
        }
        }
        b.check(kTarget);
    }
    for (HANDLE& h : handle)
        if (h != INVALID_HANDLE_VALUE && !client.CloseHandle(h)) fuzz::Fail(kTarget, "a close failed");
    requests.clear();
    host.run_for(plat::ms(50));
    b.check(kTarget);
    return 0;
}
