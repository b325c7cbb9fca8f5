// TAPI 2 from another process: the TAPI32 library, loaded by name as the applet loads
// it, reaches the adapter's TAPI provider through the simulator's telephony service.
// The applet's scan opens every line (the driver then holds each link for TAPI, so a
// serial port of the same link cannot open), reads each line's name, closes and shuts
// down; the links are free again.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "platform/nt/win32.h"
#include "platform/tapi32/tapi.h"
#include "platform/win32/wire.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/device_server.h"

namespace fs = std::filesystem;

namespace {

constexpr plat::nt::HANDLE kNoFile = -1;  // the serial client's failed open

struct Root {
    fs::path dir;
    Root()
    {
        char t[] = "/tmp/vornet-tapi-XXXXXX";
        dir = mkdtemp(t);
        setenv("VORNET_ROOT", dir.c_str(), 1);
        setenv("VORNET_LIBRARY_PATH", TAPI32_DIR, 1);
    }
    ~Root()
    {
        unsetenv("VORNET_ROOT");
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// The library's entries, taken as the applet takes them.
struct Tapi {
    HMODULE lib = LoadLibraryA("TAPI32.DLL");
    template <class T>
    T entry(const char* name)
    {
        return lib != nullptr ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(lib, name))) : nullptr;
    }
    LINEINITIALIZEEXA_PROC initialize = entry<LINEINITIALIZEEXA_PROC>("lineInitializeExA");
    LINENEGOTIATEAPIVERSION_PROC negotiate = entry<LINENEGOTIATEAPIVERSION_PROC>("lineNegotiateAPIVersion");
    LINEOPENA_PROC open = entry<LINEOPENA_PROC>("lineOpenA");
    LINEGETDEVCAPSA_PROC caps = entry<LINEGETDEVCAPSA_PROC>("lineGetDevCapsA");
    LINECLOSE_PROC close = entry<LINECLOSE_PROC>("lineClose");
    LINESHUTDOWN_PROC shutdown = entry<LINESHUTDOWN_PROC>("lineShutdown");
    ~Tapi()
    {
        if (lib != nullptr) FreeLibrary(lib);
    }
    bool whole() const { return initialize && negotiate && open && caps && close && shutdown; }

    // lineInitializeExA as the applet's sheet calls it.
    LONG init(HLINEAPP* app, DWORD* count, LINEINITIALIZEEXPARAMS* params)
    {
        DWORD version = TAPI_CURRENT_VERSION;
        *params = {};
        params->dwTotalSize = 24;
        params->dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
        LONG e = initialize(app, nullptr, nullptr, "Quorlane Systems", count, &version, params);
        if (e == 0) {
            EXPECT_EQ(version, TAPI_CURRENT_VERSION);
        }
        return e;
    }
};

std::string line_name(const std::vector<uint8_t>& caps)
{
    LINEDEVCAPS c;
    std::memcpy(&c, caps.data(), sizeof c);
    if (c.dwLineNameSize == 0 || c.dwLineNameOffset + c.dwLineNameSize > c.dwUsedSize) return {};
    const char* s = reinterpret_cast<const char*>(caps.data() + c.dwLineNameOffset);
    return std::string(s, strnlen(s, c.dwLineNameSize));
}

class TapiServiceTest : public ::testing::Test {
public:
    Root root;
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    std::unique_ptr<rig::DeviceServer> server;
    plat::nt::Win32Client serial;

    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
        r.host.registry.set_dword(r.parameters_key(1), "AsyncPorts_0", 2);
        r.host.registry.set_dword(r.parameters_key(1), "AsyncPortNumbersStartAt", 3);
        r.set_firmware(sim::fw::build_image(sim::fw::default_layout()));
        sim::Card& card = r.add_board_for(1, 4);
        r.attach_far_ends(card, 1);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        a = rig::Rig::driver_adapter(na);
        r.host.run_for(plat::ms(14000));  // the modem processors are up: serial ports open
        server = std::make_unique<rig::DeviceServer>(r, root.dir);
    }
    void TearDown() override
    {
        server.reset();
        for (auto& x : r.host.ndis().adapters())
            if (x->initialised && !x->halted) r.halt(x.get());
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }

    // The client runs on a thread of its own; this thread serves, as the simulator's
    // does, and runs `between` (on the simulator's side) whenever the client asks.
    std::atomic<bool> ask{false};
    void with_client(const std::function<void()>& client, const std::function<void()>& between = {})
    {
        server->service();
        std::atomic<bool> done{false};
        std::thread t([&] {
            client();
            done = true;
        });
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done && std::chrono::steady_clock::now() < limit) {
            server->service();
            if (ask) {
                if (between) between();
                ask = false;
            }
            pollfd p{server->fd(), POLLIN, 0};
            ::poll(&p, 1, 1);
        }
        t.join();
        server->service();
    }
    // From the client's thread: has `between` run and waits for it.
    void run_between()
    {
        ask = true;
        while (ask) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    ULONG lines_in_use() const
    {
        ULONG n = 0;
        for (unsigned g = 0; g < MAX_GROUPS; g++) n += a->LinksPerGroup[g];
        return n;
    }
};

TEST_F(TapiServiceTest, TheScanOpensEveryLineAndASerialOpenOfTheLinkWaitsForTheClose)
{
    const ULONG lines = lines_in_use();
    ASSERT_GT(lines, 0u);
    plat::nt::HANDLE com = kNoFile;
    NTSTATUS refused = 0;
    std::vector<std::string> names;
    ULONG owned_by_tapi = 0;

    with_client(
        [&] {
            Tapi tapi;
            ASSERT_TRUE(tapi.whole());
            HLINEAPP app = 0;
            DWORD count = 0;
            LINEINITIALIZEEXPARAMS params;
            ASSERT_EQ(tapi.init(&app, &count, &params), 0);
            EXPECT_NE(params.Handles.hEvent, nullptr);
            ASSERT_EQ(count, lines) << "one line device per link in use";
            std::vector<HLINE> kept;
            for (DWORD i = 0; i < count; i++) {
                DWORD version = 0;
                LINEEXTENSIONID ext;
                ASSERT_EQ(tapi.negotiate(app, i, 0, TAPI_CURRENT_VERSION, &version, &ext), 0);
                EXPECT_EQ(version, TAPI_CURRENT_VERSION);
                HLINE line = 0;
                ASSERT_EQ(tapi.open(app, i, &line, version, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_UNKNOWN, nullptr),
                          0)
                    << "device " << i;
                std::vector<uint8_t> caps(4032, 0);
                reinterpret_cast<LINEDEVCAPS*>(caps.data())->dwTotalSize = 4032;
                ASSERT_EQ(tapi.caps(app, i, version, 0, reinterpret_cast<LINEDEVCAPS*>(caps.data())), 0);
                names.push_back(line_name(caps));
                kept.push_back(line);
            }
            run_between();  // every line is open: a serial port tries its link
            for (HLINE line : kept) EXPECT_EQ(tapi.close(line), 0);
            EXPECT_EQ(tapi.close(kept[0]), LONG(LINEERR_INVALLINEHANDLE)) << "closed already";
            EXPECT_EQ(tapi.shutdown(app), 0);
            EXPECT_EQ(tapi.shutdown(app), LONG(LINEERR_INVALAPPHANDLE));
        },
        [&] {
            for (unsigned g = 0; g < MAX_GROUPS; g++)
                for (ULONG k = 0; k < a->LinksPerGroup[g]; k++)
                    owned_by_tapi += a->NdisWanInfo[g][k].CurrentOwner == OWNER_TELEPHONY_SUBSYSTEM;
            com = serial.CreateFile("\\\\.\\COM3");
            refused = serial.last_status();
        });

    EXPECT_EQ(owned_by_tapi, lines) << "each open takes its link for TAPI";
    EXPECT_EQ(com, kNoFile) << "the serial port's link is TAPI's while the line is open";
    EXPECT_EQ(refused, NTSTATUS(STATUS_ALREADY_COMMITTED));
    ASSERT_EQ(names.size(), lines);
    EXPECT_EQ(names[0].rfind("RIROVE", 0), 0u) << names[0];
    EXPECT_EQ(a->OpenLineCount, 0u);
    for (unsigned g = 0; g < MAX_GROUPS; g++)
        for (ULONG k = 0; k < a->LinksPerGroup[g]; k++)
            EXPECT_EQ(a->NdisWanInfo[g][k].CurrentOwner, ULONG(OWNER_NONE)) << g << "/" << k;

    com = serial.CreateFile("\\\\.\\COM3");
    EXPECT_NE(com, kNoFile) << std::hex << serial.last_status();
    if (com != kNoFile) {
        EXPECT_TRUE(serial.CloseHandle(com));
    }
}

// A serial port holding its link keeps TAPI off that line; the other lines open; two
// applications share an open line, which the provider sees opened once.
TEST_F(TapiServiceTest, ALineHeldByASerialPortIsAllocatedAndTwoApplicationsShareALine)
{
    plat::nt::HANDLE com = serial.CreateFile("\\\\.\\COM3");
    ASSERT_NE(com, kNoFile) << std::hex << serial.last_status();
    ULONG serial_device = 0xFFFFFFFF;  // the TAPI device of the port's link
    for (ULONG k = 0; k < a->LinksPerGroup[0]; k++)
        if (a->NdisWanInfo[0][k].CurrentOwner == OWNER_VOVIZ4EZ) serial_device = k;
    ASSERT_NE(serial_device, 0xFFFFFFFFu);
    ULONG opens_while_two = 0;

    with_client(
        [&] {
            Tapi tapi;
            ASSERT_TRUE(tapi.whole());
            HLINEAPP one = 0, two = 0;
            DWORD count = 0;
            LINEINITIALIZEEXPARAMS params;
            ASSERT_EQ(tapi.init(&one, &count, &params), 0);
            ASSERT_EQ(tapi.init(&two, &count, &params), 0);
            HLINE line = 0;
            EXPECT_EQ(tapi.open(one, serial_device, &line, TAPI_CURRENT_VERSION, 0, 0, LINECALLPRIVILEGE_NONE,
                                LINEMEDIAMODE_UNKNOWN, nullptr),
                      LONG(LINEERR_ALLOCATED));
            const DWORD other = serial_device == 0 ? 1 : 0;
            HLINE l1 = 0, l2 = 0;
            ASSERT_EQ(tapi.open(one, other, &l1, TAPI_CURRENT_VERSION, 0, 0, LINECALLPRIVILEGE_NONE,
                                LINEMEDIAMODE_UNKNOWN, nullptr),
                      0);
            ASSERT_EQ(tapi.open(two, other, &l2, TAPI_CURRENT_VERSION, 0, 0, LINECALLPRIVILEGE_NONE,
                                LINEMEDIAMODE_UNKNOWN, nullptr),
                      0);
            EXPECT_NE(l1, l2);
            run_between();
            EXPECT_EQ(tapi.close(l1), 0);
            run_between();
            // The second application leaves without closing: its shutdown closes the line.
            EXPECT_EQ(tapi.shutdown(two), 0);
            EXPECT_EQ(tapi.shutdown(one), 0);
        },
        [&] {
            if (opens_while_two == 0) {
                opens_while_two = a->OpenLineCount + 100;
            } else {
                EXPECT_EQ(a->OpenLineCount, 1u) << "open while the second application holds it";
            }
        });
    EXPECT_EQ(opens_while_two, 101u) << "one provider open for two applications";
    EXPECT_EQ(a->OpenLineCount, 0u);
    EXPECT_EQ(server->tapi().applications(), 0u);
    EXPECT_TRUE(serial.CloseHandle(com));
}

// What an application gives wrong is refused before anything reaches the provider.
TEST_F(TapiServiceTest, RefusalsOfBadHandlesDevicesVersionsAndSizes)
{
    with_client([&] {
        Tapi tapi;
        ASSERT_TRUE(tapi.whole());
        HLINEAPP app = 0;
        DWORD count = 0, version = 0x00010004;
        LINEINITIALIZEEXPARAMS params{};
        params.dwTotalSize = 24;
        params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
        EXPECT_EQ(tapi.initialize(&app, nullptr, nullptr, "x", &count, &version, &params),
                  LONG(LINEERR_INCOMPATIBLEAPIVERSION));
        params.dwTotalSize = 16;
        version = TAPI_CURRENT_VERSION;
        EXPECT_EQ(tapi.initialize(&app, nullptr, nullptr, "x", &count, &version, &params),
                  LONG(LINEERR_STRUCTURETOOSMALL));
        EXPECT_EQ(tapi.initialize(&app, nullptr, nullptr, "x", &count, &version, nullptr), LONG(LINEERR_INVALPOINTER))
            << "a hidden window wants a callback";
        ASSERT_EQ(tapi.init(&app, &count, &params), 0);

        DWORD v = 0;
        LINEEXTENSIONID ext;
        EXPECT_EQ(tapi.negotiate(app + 1, 0, 0, TAPI_CURRENT_VERSION, &v, &ext), LONG(LINEERR_INVALAPPHANDLE));
        EXPECT_EQ(tapi.negotiate(app, count, 0, TAPI_CURRENT_VERSION, &v, &ext), LONG(LINEERR_BADDEVICEID));
        EXPECT_EQ(tapi.negotiate(app, 0, 0, 0x00010000, &v, &ext), LONG(LINEERR_INCOMPATIBLEAPIVERSION));
        EXPECT_EQ(tapi.negotiate(app, 0, 0x00030000, 0x00040000, &v, &ext), LONG(LINEERR_INCOMPATIBLEAPIVERSION));
        EXPECT_EQ(tapi.negotiate(app, 0, 0, 0x00030000, &v, &ext), 0);
        EXPECT_EQ(v, TAPI_CURRENT_VERSION) << "the highest both know";

        HLINE line = 0;
        auto open = [&](DWORD device, DWORD api, DWORD ext_version, DWORD privileges, DWORD media) {
            return tapi.open(app, device, &line, api, ext_version, 0, privileges, media, nullptr);
        };
        EXPECT_EQ(open(count, TAPI_CURRENT_VERSION, 0, 1, 2), LONG(LINEERR_BADDEVICEID)) << "no such line";
        EXPECT_EQ(open(0xFFFFFFFF, TAPI_CURRENT_VERSION, 0, 1, 2), LONG(LINEERR_BADDEVICEID));
        EXPECT_EQ(open(0, 0x00030000, 0, 1, 2), LONG(LINEERR_INCOMPATIBLEAPIVERSION));
        EXPECT_EQ(open(0, TAPI_CURRENT_VERSION, 1, 1, 2), LONG(LINEERR_INCOMPATIBLEEXTVERSION));
        EXPECT_EQ(open(0, TAPI_CURRENT_VERSION, 0, 8, 2), LONG(LINEERR_INVALPRIVSELECT));
        EXPECT_EQ(open(0, TAPI_CURRENT_VERSION, 0, LINECALLPRIVILEGE_OWNER, 0), LONG(LINEERR_INVALMEDIAMODE));
        EXPECT_EQ(tapi.close(0x1234), LONG(LINEERR_INVALLINEHANDLE));

        // Capabilities: a structure shorter than the fixed part of the version is
        // refused; one without room for the name says how much it needs.
        std::vector<uint8_t> caps(4032, 0);
        auto* c = reinterpret_cast<LINEDEVCAPS*>(caps.data());
        c->dwTotalSize = sizeof(LINEDEVCAPS) - 4;
        EXPECT_EQ(tapi.caps(app, 0, TAPI_CURRENT_VERSION, 0, c), LONG(LINEERR_STRUCTURETOOSMALL));
        c->dwTotalSize = sizeof(LINEDEVCAPS);
        ASSERT_EQ(tapi.caps(app, 0, TAPI_CURRENT_VERSION, 0, c), 0);
        EXPECT_EQ(c->dwTotalSize, sizeof(LINEDEVCAPS));
        EXPECT_GT(c->dwNeededSize, sizeof(LINEDEVCAPS));
        EXPECT_LE(c->dwUsedSize, sizeof(LINEDEVCAPS));
        EXPECT_EQ(c->dwLineNameSize, 0u) << "no name where there is no room";
        // TAPI 2.0's fields come between the fixed part a TAPI 1.4 application knows
        // and the variable part, which moves behind them.
        std::vector<uint8_t> old_caps(4032, 0);
        auto* o = reinterpret_cast<LINEDEVCAPS*>(old_caps.data());
        o->dwTotalSize = 4032;
        ASSERT_EQ(tapi.caps(app, 0, 0x00010004, 0, o), 0);
        std::fill(caps.begin(), caps.end(), 0);
        c->dwTotalSize = 4032;
        ASSERT_EQ(tapi.caps(app, 0, TAPI_CURRENT_VERSION, 0, c), 0);
        EXPECT_EQ(line_name(caps).rfind("RIROVE", 0), 0u);
        EXPECT_EQ(line_name(old_caps), line_name(caps));
        const DWORD moved = sizeof(LINEDEVCAPS) - offsetof(LINEDEVCAPS, dwLineFeatures);
        EXPECT_GE(o->dwLineNameOffset, offsetof(LINEDEVCAPS, dwLineFeatures));
        EXPECT_EQ(c->dwLineNameOffset, o->dwLineNameOffset + moved);
        EXPECT_EQ(c->dwNeededSize, o->dwNeededSize + moved);
        EXPECT_EQ(c->dwUsedSize, o->dwUsedSize + moved);
        EXPECT_EQ(tapi.caps(app, count, TAPI_CURRENT_VERSION, 0, c), LONG(LINEERR_BADDEVICEID));
        EXPECT_EQ(tapi.shutdown(app), 0);
    });
}

// The service checks what arrives on its socket: requests out of order, malformed or
// naming what does not exist are refused and the connection serves on; a connection
// that ends with a line open has the line closed for it.
TEST_F(TapiServiceTest, TheServiceRefusesMalformedRequestsAndClosesWhatAGoneApplicationLeftOpen)
{
    namespace wire = vornet::wire;
    ULONG opened_then = 0;
    with_client(
        [&] {
            int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::string path = (root.dir / wire::kTapiSocket).string();
            std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
            ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            auto ask = [&](const std::vector<uint8_t>& datagram, std::vector<uint8_t>* data = nullptr) {
                ::send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
                std::vector<uint8_t> r(sizeof(wire::ReplyHeader) + wire::kMaxTransfer);
                ssize_t n = ::recv(fd, r.data(), r.size(), 0);
                wire::ReplyHeader h{};
                EXPECT_GE(n, ssize_t(sizeof h));
                if (n < ssize_t(sizeof h)) return uint32_t(0xDEAD);
                std::memcpy(&h, r.data(), sizeof h);
                EXPECT_EQ(size_t(n), sizeof h + h.information);
                if (data != nullptr) data->assign(r.begin() + sizeof h, r.begin() + n);
                return uint32_t(h.status);
            };
            auto request = [&](uint32_t kind, uint32_t code, uint32_t out_length) {
                wire::RequestHeader q{wire::kRequestMagic, kind, code, 0, out_length};
                std::vector<uint8_t> d(sizeof q + out_length, 0);
                std::memcpy(d.data(), &q, sizeof q);
                return d;
            };
            EXPECT_EQ(ask(request(wire::kTapiOpen, 0, 4)), LINEERR_INVALPARAM) << "before the initialisation";
            EXPECT_EQ(ask({1, 2, 3}), LINEERR_INVALPARAM) << "shorter than a header";
            auto bad_magic = request(wire::kTapiInitialize, 0, 4);
            bad_magic[0] ^= 0xFF;
            EXPECT_EQ(ask(bad_magic), LINEERR_INVALPARAM);
            auto lying = request(wire::kTapiInitialize, 0, 4);
            lying.resize(lying.size() + 3);
            EXPECT_EQ(ask(lying), LINEERR_INVALPARAM) << "a length that is not the datagram's";
            std::vector<uint8_t> count;
            ASSERT_EQ(ask(request(wire::kTapiInitialize, 0, 4), &count), 0u);
            ASSERT_EQ(count.size(), 4u);
            uint32_t devices = 0;
            std::memcpy(&devices, count.data(), 4);
            EXPECT_EQ(ask(request(wire::kTapiInitialize, 0, 4)), LINEERR_INVALPARAM) << "initialised once";
            EXPECT_EQ(ask(request(wire::kTapiOpen, devices, 4)), LINEERR_BADDEVICEID);
            EXPECT_EQ(ask(request(wire::kTapiDevCaps, devices, 400)), LINEERR_BADDEVICEID);
            EXPECT_EQ(ask(request(wire::kTapiDevCaps, 0, 100)), LINEERR_STRUCTURETOOSMALL);
            EXPECT_EQ(ask(request(wire::kTapiClose, 77, 0)), LINEERR_INVALLINEHANDLE);
            EXPECT_EQ(ask(request(0x2FF, 0, 0)), LINEERR_OPERATIONUNAVAIL);
            std::vector<uint8_t> caps;
            ASSERT_EQ(ask(request(wire::kTapiDevCaps, 0, 300), &caps), 0u);
            EXPECT_EQ(caps.size(), 300u);
            ASSERT_EQ(ask(request(wire::kTapiOpen, 0, 4)), 0u);
            run_between();
            ::close(fd);  // gone without closing its line
        },
        [&] { opened_then = a->OpenLineCount; });
    EXPECT_EQ(opened_then, 1u);
    EXPECT_EQ(a->OpenLineCount, 0u) << "the line the application left open";
    EXPECT_EQ(a->NdisWanInfo[0][0].CurrentOwner, ULONG(OWNER_NONE));
    EXPECT_EQ(server->tapi().applications(), 0u);
}

// The machine's restart ends TAPI's applications with their providers: a line handle
// of before fails, the application shuts down, and a new one finds the lines again.
TEST_F(TapiServiceTest, ARestartEndsTheApplicationsAndTheLinesOpenAgainAfter)
{
    with_client(
        [&] {
            Tapi tapi;
            ASSERT_TRUE(tapi.whole());
            HLINEAPP app = 0;
            DWORD count = 0;
            LINEINITIALIZEEXPARAMS params;
            ASSERT_EQ(tapi.init(&app, &count, &params), 0);
            HLINE line = 0;
            ASSERT_EQ(tapi.open(app, 0, &line, TAPI_CURRENT_VERSION, 0, 0, 1, 2, nullptr), 0);
            run_between();  // the restart
            EXPECT_EQ(tapi.close(line), LONG(LINEERR_OPERATIONFAILED));
            EXPECT_EQ(tapi.shutdown(app), 0);
            DWORD again = 0;
            ASSERT_EQ(tapi.init(&app, &again, &params), 0);
            EXPECT_EQ(again, count);
            EXPECT_EQ(tapi.open(app, 0, &line, TAPI_CURRENT_VERSION, 0, 0, 1, 2, nullptr), 0);
            EXPECT_EQ(tapi.close(line), 0);
            EXPECT_EQ(tapi.shutdown(app), 0);
        },
        [&] {
            server->restart();
            r.host.run_for(plat::ms(500));
        });
    EXPECT_EQ(server->tapi().applications(), 0u);
}

// A telephony service that answers each request of one application with the next of
// its scripted replies (status, data), then ends the connection.
class ScriptedService {
public:
    ScriptedService(const fs::path& root, std::vector<std::pair<int32_t, std::vector<uint8_t>>> replies)
    {
        listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = (root / vornet::wire::kTapiSocket).string();
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
        thread_ = std::thread([this, replies = std::move(replies)] {
            int fd = ::accept(listener_, nullptr, nullptr);
            for (const auto& [status, data] : replies) {
                std::vector<uint8_t> in(sizeof(vornet::wire::RequestHeader) + vornet::wire::kMaxTransfer);
                if (::recv(fd, in.data(), in.size(), 0) <= 0) break;
                vornet::wire::ReplyHeader h{vornet::wire::kReplyMagic, status, uint32_t(data.size())};
                std::vector<uint8_t> out(sizeof h + data.size());
                std::memcpy(out.data(), &h, sizeof h);
                if (!data.empty()) std::memcpy(out.data() + sizeof h, data.data(), data.size());
                ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
            }
            ::close(fd);
        });
    }
    ~ScriptedService()
    {
        thread_.join();
        ::close(listener_);
    }

private:
    int listener_ = -1;
    std::thread thread_;
};

std::vector<uint8_t> word(uint32_t v)
{
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

// A provider's LINE_DEV_CAPS of 236 fixed bytes: provider information "ABC" and a line
// name placed where the test says.
std::vector<uint8_t> provider_caps(uint32_t name_offset, uint32_t name_size, uint32_t used)
{
    std::vector<uint8_t> b(used, 0);
    LINEDEVCAPS c{};
    c.dwTotalSize = used;
    c.dwNeededSize = used;
    c.dwUsedSize = used;
    c.dwProviderInfoOffset = 236;
    c.dwProviderInfoSize = 4;
    c.dwLineNameOffset = name_offset;
    c.dwLineNameSize = name_size;
    c.dwNumAddresses = 1;
    std::memcpy(b.data(), &c, 236);
    std::memcpy(b.data() + 236, "ABC", 4);
    if (name_offset >= 236 && name_offset + name_size <= used) std::memcpy(b.data() + name_offset, "RIROVE", 7);
    return b;
}

// What the service answers is checked: a reply of the wrong size fails the call, and a
// part of the capabilities that lies outside what the provider filled is dropped.
TEST(TapiLibrary, MalformedRepliesOfTheServiceAreRefusedOrTrimmed)
{
    Root root;
    Tapi tapi;
    ASSERT_TRUE(tapi.whole());
    HLINEAPP app = 0;
    DWORD count = 0;
    LINEINITIALIZEEXPARAMS params;
    {
        ScriptedService s(root.dir, {{0, {1, 2}}});
        EXPECT_EQ(tapi.init(&app, &count, &params), LONG(LINEERR_OPERATIONFAILED)) << "a count of two bytes";
    }
    fs::remove(root.dir / vornet::wire::kTapiSocket);
    std::vector<uint8_t> huge_need = provider_caps(240, 7, 247);
    const uint32_t need = 0xFFFFFFF0;
    std::memcpy(huge_need.data() + offsetof(LINEDEVCAPS, dwNeededSize), &need, 4);
    {
        ScriptedService s(root.dir, {{0, word(2)},
                                     {0, provider_caps(240, 7, 247)},
                                     {0, provider_caps(4000, 7, 247)},
                                     {0, provider_caps(100, 7, 247)},
                                     {0, std::vector<uint8_t>(100, 0)},
                                     {0, huge_need},
                                     {0, word(9)},
                                     {int32_t(LINEERR_ALLOCATED), {}}});
        ASSERT_EQ(tapi.init(&app, &count, &params), 0);
        std::vector<uint8_t> caps(600, 0);
        auto* c = reinterpret_cast<LINEDEVCAPS*>(caps.data());
        auto get = [&] {
            std::fill(caps.begin(), caps.end(), 0);
            c->dwTotalSize = 600;
            return tapi.caps(app, 1, TAPI_CURRENT_VERSION, 0, c);
        };
        ASSERT_EQ(get(), 0);
        EXPECT_EQ(c->dwTotalSize, 600u);
        EXPECT_EQ(c->dwUsedSize, 247u + 16);
        EXPECT_EQ(c->dwNumAddresses, 1u);
        EXPECT_EQ(c->dwProviderInfoOffset, 252u);
        EXPECT_STREQ(reinterpret_cast<const char*>(caps.data() + c->dwProviderInfoOffset), "ABC");
        EXPECT_EQ(line_name(caps), "RIROVE");
        ASSERT_EQ(get(), 0);
        EXPECT_EQ(c->dwLineNameSize, 0u) << "a name beyond what was filled";
        EXPECT_EQ(c->dwLineNameOffset, 0u);
        EXPECT_EQ(c->dwProviderInfoSize, 4u);
        ASSERT_EQ(get(), 0);
        EXPECT_EQ(c->dwLineNameSize, 0u) << "a name inside the fixed part";
        EXPECT_EQ(get(), LONG(LINEERR_OPERATIONFAILED)) << "shorter than the fixed part";
        ASSERT_EQ(get(), 0);
        EXPECT_EQ(c->dwNeededSize, vornet::wire::kMaxTransfer + 16) << "no more than a request can carry";
        EXPECT_EQ(line_name(caps), "RIROVE");
        HLINE line = 0;
        EXPECT_EQ(tapi.open(app, 0, &line, TAPI_CURRENT_VERSION, 0, 0, 1, 2, nullptr), 0);
        EXPECT_EQ(tapi.open(app, 1, &line, TAPI_CURRENT_VERSION, 0, 0, 1, 2, nullptr), LONG(LINEERR_ALLOCATED));
        EXPECT_EQ(tapi.shutdown(app), 0);
    }
}

// No telephony service on the machine (no simulator serving the root), or the
// simulator gone while an application runs: errors, never a hang.
TEST(TapiLibrary, NoServiceIsOperationUnavailableAndAServiceThatWentAwayFailsTheCalls)
{
    Root root;
    Tapi tapi;
    ASSERT_TRUE(tapi.whole()) << "libtapi32.so through VORNET_LIBRARY_PATH";
    HLINEAPP app = 0;
    DWORD count = 0;
    LINEINITIALIZEEXPARAMS params;
    EXPECT_EQ(tapi.init(&app, &count, &params), LONG(LINEERR_OPERATIONUNAVAIL));

    // A service that answers the initialisation and then ends.
    int listener = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = (root.dir / vornet::wire::kTapiSocket).string();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    std::thread service([&] {
        int fd = ::accept(listener, nullptr, nullptr);
        uint8_t b[64];
        ASSERT_GT(::recv(fd, b, sizeof b, 0), 0);
        vornet::wire::ReplyHeader h{vornet::wire::kReplyMagic, 0, 4};
        uint8_t reply[sizeof h + 4];
        std::memcpy(reply, &h, sizeof h);
        uint32_t devices = 3;
        std::memcpy(reply + sizeof h, &devices, 4);
        ::send(fd, reply, sizeof reply, 0);
        ::close(fd);
    });
    ASSERT_EQ(tapi.init(&app, &count, &params), 0);
    service.join();
    ::close(listener);
    EXPECT_EQ(count, 3u);
    HLINE line = 0;
    EXPECT_EQ(tapi.open(app, 0, &line, TAPI_CURRENT_VERSION, 0, 0, 1, 2, nullptr), LONG(LINEERR_OPERATIONFAILED));
    EXPECT_EQ(tapi.shutdown(app), 0);
}

}  // namespace
