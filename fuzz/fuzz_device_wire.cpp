// Datagrams from another process on an adapter's device socket: the default board,
// brought up once with its DeviceServer, takes every input as a sequence of datagrams
// on a fresh connection. Whatever they say, each is answered or refused with a whole
// reply, the server reads nothing beyond a datagram, and the platform sees no misuse.
//
// Input: repeated [length, 2 octets little-endian][that many octets] (empty datagrams are
// left out: they read as the connection's end); a request header
// is made right (magic, then lengths matching the datagram) when bit 0 of the length's
// high octet is set, so sound requests with fuzzed contents reach the driver too.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/win32/wire.h"
#include "tools/harness/device_server.h"

namespace {

rig::Rig* g_rig;
rig::DeviceServer* g_server;
std::string g_root, g_socket;

void RemoveRoot()
{
    unlink(g_socket.c_str());
    unlink((g_root + "/" + vornet::wire::kMachineSocket).c_str());
    rmdir(g_root.c_str());
}

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz_device_wire: %s\n", what.c_str());
    std::abort();
}

void BringUp()
{
    char t[] = "/tmp/vornet-fuzz-XXXXXX";
    if (mkdtemp(t) == nullptr) Fail("root");
    g_rig = new rig::Rig();
    std::string e;
    if (!g_rig->load_config(rig::kDefaultConfig, &e)) Fail("config: " + e);
    sim::Card& card = g_rig->add_board_for(1, 4);
    g_rig->attach_far_ends(card, 1);
    if (g_rig->load_driver() != 0) Fail("driver entry");
    if (g_rig->initialize(1) == nullptr) Fail("initialize");
    g_rig->host.run_for(plat::ms(3000));
    g_server = new rig::DeviceServer(*g_rig, t);
    g_server->service();
    g_root = t;
    g_socket = g_root + "/VORNET1";
    std::atexit(RemoveRoot);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    namespace wire = vornet::wire;
    if (g_rig == nullptr) BringUp();
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, g_socket.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Fail("connect");
    std::vector<uint8_t> reply(sizeof(wire::ReplyHeader) + 2 * wire::kMaxTransfer);
    size_t at = 0;
    while (at + 2 <= size) {
        size_t length = data[at] | ((data[at + 1] & 0x7F) << 8);
        bool fix = (data[at + 1] & 0x80) != 0;
        at += 2;
        if (length > size - at) length = size - at;
        std::vector<uint8_t> d(data + at, data + at + length);
        at += length;
        if (fix && d.size() >= sizeof(wire::RequestHeader)) {
            wire::RequestHeader h;
            std::memcpy(&h, d.data(), sizeof h);
            h.magic = wire::kRequestMagic;
            uint32_t body = static_cast<uint32_t>(d.size() - sizeof h);
            h.input_length = std::min(h.input_length, body);
            h.output_length = body - h.input_length;
            std::memcpy(d.data(), &h, sizeof h);
        }
        // An empty datagram reads as the end of the connection on the server's side.
        if (d.empty()) continue;
        if (send(fd, d.data(), d.size(), 0) != static_cast<ssize_t>(d.size())) Fail("send");
        g_server->service();
        g_rig->host.run_for(plat::ms(10));
        g_server->service();
        ssize_t n = recv(fd, reply.data(), reply.size(), MSG_DONTWAIT);
        if (n < static_cast<ssize_t>(sizeof(wire::ReplyHeader))) Fail("no whole reply");
        wire::ReplyHeader h;
        std::memcpy(&h, reply.data(), sizeof h);
        if (h.magic != wire::kReplyMagic || static_cast<size_t>(n) != sizeof h + h.information) Fail("a broken reply");
    }
    close(fd);
    g_server->service();
    if (!g_rig->host.violations().empty()) Fail("platform misuse: " + g_rig->host.violations().front());
    return 0;
}
