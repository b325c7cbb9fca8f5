// The adapter's device reached from another process: "\\.\VORNET1" opened with
// CreateFileA, management requests sent with DeviceIoControl through the simulator's
// socket, served between two events of the virtual clock through NDIS's device and the
// serial ports' dispatch hook; absent adapters, a simulator that dies mid-request, an
// adapter that halts, and the machine's restart.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/RSS_DVSP.h"
#include "platform/ndis/ndis_device.h"
#include "platform/win32/windows.h"
#include "platform/win32/wire.h"
#include "tools/harness/device_server.h"
#include "platform/win32/test_root.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kIoctl = 0x00170002;  // IOCTL_NDIS_QUERY_GLOBAL_STATS
constexpr DWORD kOid = 0xFF000000;

std::vector<uint8_t> record(ULONG cls, ULONG action)
{
    std::vector<uint8_t> rec(BACKDOOR_REQUEST_SIZE, 0);
    BACKDOOR_REQUEST_HEADER h{};
    h.Class = cls;
    h.Action = action;
    h.Signature = BACKDOOR_SIGNATURE;
    h.BufferLength = BACKDOOR_REQUEST_SIZE;
    std::memcpy(rec.data(), &h, sizeof h);
    return rec;
}

ULONG status_of(const std::vector<uint8_t>& rec)
{
    BACKDOOR_REQUEST_HEADER h{};
    std::memcpy(&h, rec.data(), sizeof h);
    return h.Status;
}

class DeviceServerTest : public ::testing::Test {
public:
    TempRoot root;
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    std::unique_ptr<rig::DeviceServer> server;

    void SetUp() override
    {
        // The hive as vornet-sim --serve keeps it: the default configuration with two
        // serial ports on line 0, so the ports' dispatch hook is in the driver object.
        std::ofstream(root.dir / "registry.reg")
            << rig::kDefaultConfig
            << "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters]\n"
               "\"AsyncPorts_0\"=dword:00000002\n";
        std::string error;
        ASSERT_TRUE(rig::DeviceServer::load_root(r, root.dir, &error)) << error;
        sim::Card& card = r.add_board_for(1, 4);
        r.attach_far_ends(card, 1);
        ASSERT_EQ(r.load_driver(), 0);
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        ASSERT_TRUE(rig::run_until(r.host, [&] { return rig::Rig::driver_adapter(na)->BringUpCompleted == 1; }, plat::ms(2000)));
        r.host.run_for(plat::ms(100));
        server = std::make_unique<rig::DeviceServer>(r, root.dir);
    }
    void TearDown() override
    {
        server.reset();
        for (auto& a : r.host.ndis().adapters())
            if (a->initialised && !a->halted) r.halt(a.get());
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }

    // Runs a client on a thread of its own while this thread serves, as the simulator's
    // thread does between two events of its clock (the clock stands meanwhile).
    void with_client(const std::function<void()>& client)
    {
        server->service();  // the sockets of the running adapters exist from here on
        std::atomic<bool> done{false};
        std::thread t([&] {
            client();
            done = true;
        });
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done && std::chrono::steady_clock::now() < limit) {
            server->service();
            pollfd p{server->fd(), POLLIN, 0};
            ::poll(&p, 1, 1);
        }
        t.join();
    }

    std::vector<uint8_t> in_process(ULONG cls, ULONG action)
    {
        std::vector<uint8_t> rec = record(cls, action);
        ULONG written = 0, needed = 0;
        EXPECT_EQ(r.host.ndis().query(na, kOid, rec.data(), BACKDOOR_REQUEST_SIZE, &written, &needed), NDIS_STATUS_SUCCESS);
        return rec;
    }
};

TEST_F(DeviceServerTest, RequestFromAnotherProcessGetsTheInProcessReplyAtTheSameTime)
{
    DRIVER_OBJECT& drv = r.host.ndis().driver_object();
    ASSERT_NE(drv.MajorFunction[IRP_MJ_DEVICE_CONTROL], plat::ndis::ndis_dispatch_entry(IRP_MJ_DEVICE_CONTROL))
        << "the request must pass the serial ports' hook";
    server->service();
    ASSERT_TRUE(fs::exists(root.dir / "VORNET1"));
    const plat::VTime at = r.host.now();
    std::vector<uint8_t> expected = in_process(0, 17);
    ASSERT_EQ(status_of(expected), 0u);

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Another process: only Win32 from here on.
        std::vector<uint8_t> rec = record(0, 17);
        DWORD oid = kOid, returned = 0;
        HANDLE h = CreateFileA("\\\\.\\VORNET1", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        BOOL ok = h != INVALID_HANDLE_VALUE &&
                  DeviceIoControl(h, kIoctl, &oid, 4, rec.data(), BACKDOOR_REQUEST_SIZE, &returned, nullptr);
        DWORD error = GetLastError();
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        uint32_t head[3] = {static_cast<uint32_t>(ok), error, returned};
        bool sent = write(out[1], head, sizeof head) == sizeof head && write(out[1], rec.data(), rec.size()) == (ssize_t)rec.size();
        _exit(sent ? 0 : 1);
    }
    close(out[1]);
    std::vector<uint8_t> got;
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        server->service();
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 1) > 0) {
            uint8_t buf[4096];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        ASSERT_LT(std::chrono::steady_clock::now(), limit) << "the other process did not finish";
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(got.size(), 12 + BACKDOOR_REQUEST_SIZE);
    uint32_t head[3];
    std::memcpy(head, got.data(), sizeof head);
    EXPECT_EQ(head[0], 1u) << "Win32 error " << head[1];
    EXPECT_EQ(head[2], (uint32_t)BACKDOOR_REQUEST_SIZE);
    std::vector<uint8_t> rec(got.begin() + 12, got.end());
    EXPECT_EQ(status_of(rec), 0u);
    EXPECT_TRUE(rec == expected) << "the reply differs from the one given in-process";
    EXPECT_EQ(r.host.now(), at);
    EXPECT_GE(server->requests_served(), 2u);  // the create and the request
}

TEST_F(DeviceServerTest, OpenAndRequestRefusals)
{
    struct Open {
        const char* name;
        DWORD error;  // 0: opens
    } opens[] = {
        {"\\\\.\\VORNET1", 0},
        {"\\\\.\\vornet1", 0},
        {"\\\\.\\VORNET2", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\VORNET0", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\machine", ERROR_FILE_NOT_FOUND},  // the restart socket is no device
        {"\\\\.\\TAPI", ERROR_FILE_NOT_FOUND},     // nor the telephony service's
        {"\\\\.\\registry.reg", ERROR_FILE_NOT_FOUND},
    };
    for (auto& o : opens) {
        SCOPED_TRACE(o.name);
        HANDLE h = nullptr;
        DWORD error = 0;
        with_client([&] {
            h = CreateFileA(o.name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            error = GetLastError();
        });
        if (o.error == 0) {
            EXPECT_NE(h, INVALID_HANDLE_VALUE) << error;
            CloseHandle(h);
        } else {
            EXPECT_EQ(h, INVALID_HANDLE_VALUE);
            EXPECT_EQ(error, o.error);
        }
    }

    HANDLE h = INVALID_HANDLE_VALUE;
    with_client([&] { h = CreateFileA("\\\\.\\VORNET1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr); });
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Control {
        const char* name;
        DWORD code, oid, out_length;
        DWORD error;
        ULONG record_status;  // when the call succeeds
    } controls[] = {
        {"another control code", 0x00170006, kOid, BACKDOOR_REQUEST_SIZE, ERROR_INVALID_FUNCTION, 0},
        {"record without its header", kIoctl, kOid, 64, 0, BACKDOOR_STATUS_BAD_PARAMETER},
        {"unknown OID", kIoctl, 0xFF00FFFF, BACKDOOR_REQUEST_SIZE, ERROR_NOT_SUPPORTED, 0},
        {"output beyond one transfer", kIoctl, kOid, vornet::wire::kMaxTransfer + 1, ERROR_INVALID_PARAMETER, 0},
        {"still served after refusals", kIoctl, kOid, BACKDOOR_REQUEST_SIZE, 0, 0},
    };
    for (auto& c : controls) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> rec = record(0, 17);
        rec.resize(std::max<size_t>(rec.size(), c.out_length));
        BOOL ok = FALSE;
        DWORD error = 0, oid = c.oid, returned = 0;
        with_client([&] {
            ok = DeviceIoControl(h, c.code, &oid, 4, rec.data(), c.out_length, &returned, nullptr);
            error = GetLastError();
        });
        EXPECT_EQ(ok != FALSE, c.error == 0);
        if (c.error != 0) {
            EXPECT_EQ(error, c.error);
        } else {
            EXPECT_EQ(status_of(rec), c.record_status);
        }
    }
    EXPECT_TRUE(CloseHandle(h));
}

// A create the device completes on a later event opens the connection as one
// completed at once: the requests after it are served.
PIRP g_held_create = nullptr;
NTSTATUS HoldCreate(PDEVICE_OBJECT, PIRP irp)
{
    IoMarkIrpPending(irp);
    g_held_create = irp;
    return STATUS_PENDING;
}

TEST_F(DeviceServerTest, ACreateCompletedLaterOpensTheConnection)
{
    DRIVER_OBJECT& drv = r.host.ndis().driver_object();
    PDRIVER_DISPATCH create = drv.MajorFunction[IRP_MJ_CREATE];
    drv.MajorFunction[IRP_MJ_CREATE] = HoldCreate;
    g_held_create = nullptr;
    server->service();
    std::vector<uint8_t> rec = record(0, 17);
    HANDLE h = INVALID_HANDLE_VALUE;
    BOOL ok = FALSE;
    DWORD error = 0;
    std::atomic<bool> done{false};
    std::thread client([&] {
        h = CreateFileA("\\\\.\\VORNET1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD oid = kOid, returned = 0;
        ok = h != INVALID_HANDLE_VALUE &&
             DeviceIoControl(h, kIoctl, &oid, 4, rec.data(), BACKDOOR_REQUEST_SIZE, &returned, nullptr);
        error = GetLastError();
        done = true;
    });
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done && std::chrono::steady_clock::now() < limit) {
        server->service();
        if (g_held_create != nullptr) {
            g_held_create->IoStatus.Status = STATUS_SUCCESS;
            g_held_create->IoStatus.Information = 0;
            IoCompleteRequest(g_held_create, 0);
            g_held_create = nullptr;
        }
        pollfd p{server->fd(), POLLIN, 0};
        ::poll(&p, 1, 1);
    }
    client.join();
    drv.MajorFunction[IRP_MJ_CREATE] = create;
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ok) << "Win32 error " << error;
    EXPECT_EQ(status_of(rec), 0u);
    with_client([&] { CloseHandle(h); });
}

// A stand-in simulator in a process of its own: it answers the open, takes the next
// request and dies before replying.
TEST(DeviceClient, ASimulatorKilledMidRequestFailsTheCallAndFreesTheCaller)
{
    TempRoot root;
    std::string path = (root.dir / "VORNET1").string();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int l = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, path.c_str());
        if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(l, 1) != 0) _exit(1);
        if (write(ready[1], "r", 1) != 1) _exit(1);
        int c = accept(l, nullptr, nullptr);
        std::vector<uint8_t> buf(70000);
        if (recv(c, buf.data(), buf.size(), 0) <= 0) _exit(1);
        vornet::wire::ReplyHeader opened{vornet::wire::kReplyMagic, 0, 0};
        send(c, &opened, sizeof opened, 0);
        recv(c, buf.data(), buf.size(), 0);
        kill(getpid(), SIGKILL);
    }
    char x;
    ASSERT_EQ(read(ready[0], &x, 1), 1);
    HANDLE h = CreateFileA("\\\\.\\VORNET1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> rec = record(0, 17);
    DWORD oid = kOid, returned = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(DeviceIoControl(h, kIoctl, &oid, 4, rec.data(), BACKDOOR_REQUEST_SIZE, &returned, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(DeviceIoControl(h, kIoctl, &oid, 4, rec.data(), BACKDOOR_REQUEST_SIZE, &returned, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(CloseHandle(h));
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    // Its socket is left behind, with nobody listening: the device is not there.
    EXPECT_EQ(CreateFileA("\\\\.\\VORNET1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(DeviceServerTest, AHaltedAdapterTakesItsSocketAndConnectionsAway)
{
    HANDLE h = INVALID_HANDLE_VALUE;
    with_client([&] { h = CreateFileA("\\\\.\\VORNET1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr); });
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    r.halt(na);
    server->service();
    EXPECT_FALSE(fs::exists(root.dir / "VORNET1"));
    std::vector<uint8_t> rec = record(0, 17);
    DWORD oid = kOid, returned = 0;
    BOOL ok = TRUE;
    DWORD error = 0;
    with_client([&] {
        ok = DeviceIoControl(h, kIoctl, &oid, 4, rec.data(), BACKDOOR_REQUEST_SIZE, &returned, nullptr);
        error = GetLastError();
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    CloseHandle(h);
}

TEST_F(DeviceServerTest, RestartReloadsTheHiveAndTheFirmwareAndInitialisesAgain)
{
    const std::vector<uint8_t> image = {'A', 'I', 'F', 0, 1, 2, 3};
    std::ofstream(root.dir / "C" / "WINNT" / "system32" / "drivers" / "ARMCSM", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    BOOL restarted = FALSE;
    LONG written = -1;
    with_client([&] {
        HKEY k = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters", &k) == ERROR_SUCCESS) {
            DWORD nine = 9;
            written = RegSetValueExA(k, "AsyncPortNumbersStartAt", 0, REG_DWORD, reinterpret_cast<BYTE*>(&nine), 4);
            RegCloseKey(k);
        }
        HANDLE token = nullptr;
        TOKEN_PRIVILEGES tp{};
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token);
        LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid);
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
        if (GetLastError() == ERROR_SUCCESS) restarted = ExitWindowsEx(EWX_REBOOT, 0);
        CloseHandle(token);
    });
    EXPECT_EQ(written, ERROR_SUCCESS);
    ASSERT_TRUE(restarted);
    EXPECT_TRUE(na->halted);
    plat::ndis::Adapter* again = r.host.ndis().adapters().back().get();
    ASSERT_NE(again, na);
    na = again;
    ASSERT_TRUE(na->initialised && !na->halted);
    EXPECT_EQ(r.host.registry.get_dword(r.parameters_key(1), "AsyncPortNumbersStartAt"), 9u);
    EXPECT_EQ(rig::Rig::driver_adapter(na)->AsyncPortNumbersStartAt, 9u);
    std::ifstream in(r.host.files_root / "armcsm", std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), image);

    ASSERT_TRUE(rig::run_until(r.host, [&] { return rig::Rig::driver_adapter(na)->BringUpCompleted == 1; }, plat::ms(2000)));
    r.host.run_for(plat::ms(100));
    std::vector<uint8_t> rec = record(0, 17);
    BOOL ok = FALSE;
    with_client([&] {
        HANDLE h = CreateFileA("\\\\.\\VORNET1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD oid = kOid, returned = 0;
        ok = DeviceIoControl(h, kIoctl, &oid, 4, rec.data(), BACKDOOR_REQUEST_SIZE, &returned, nullptr);
        CloseHandle(h);
    });
    EXPECT_TRUE(ok) << "the restarted adapter serves requests";
    EXPECT_EQ(status_of(rec), 0u);
}

}  // namespace

namespace {

// Datagrams as a faulty or hostile client might send them: each is refused with its
// own reply, and the connection goes on serving.
TEST_F(DeviceServerTest, MalformedRequestsAreRefusedAndTheConnectionServesOn)
{
    namespace wire = vornet::wire;
    auto datagram = [](uint32_t magic, uint32_t kind, uint32_t in_length, uint32_t out_length, size_t body) {
        wire::RequestHeader h{magic, kind, kIoctl, in_length, out_length};
        std::vector<uint8_t> d(sizeof h + body, 0);
        std::memcpy(d.data(), &h, sizeof h);
        if (body >= 4 && in_length >= 4) std::memcpy(d.data() + sizeof h, &kOid, 4);
        return d;
    };
    const uint32_t R = BACKDOOR_REQUEST_SIZE;
    struct Case {
        const char* name;
        std::vector<uint8_t> datagram;
        int32_t status;
    } cases[] = {
        {"shorter than a header", std::vector<uint8_t>(7, 0), (int32_t)STATUS_INVALID_PARAMETER},
        {"wrong magic", datagram(0x12345678, wire::kCreate, 0, 0, 0), (int32_t)STATUS_INVALID_PARAMETER},
        {"control before the create", datagram(wire::kRequestMagic, wire::kDeviceControl, 4, R, 4 + R),
         (int32_t)STATUS_INVALID_PARAMETER},
        {"create", datagram(wire::kRequestMagic, wire::kCreate, 0, 0, 0), (int32_t)STATUS_SUCCESS},
        {"second create", datagram(wire::kRequestMagic, wire::kCreate, 0, 0, 0), (int32_t)STATUS_INVALID_PARAMETER},
        {"unknown kind", datagram(wire::kRequestMagic, 0x03, 0, 0, 0), (int32_t)STATUS_INVALID_PARAMETER},
        {"lengths beyond the datagram", datagram(wire::kRequestMagic, wire::kDeviceControl, 4, R, 4),
         (int32_t)STATUS_INVALID_PARAMETER},
        {"lengths short of the datagram", datagram(wire::kRequestMagic, wire::kDeviceControl, 4, 0, 4 + R),
         (int32_t)STATUS_INVALID_PARAMETER},
        {"output beyond one transfer", datagram(wire::kRequestMagic, wire::kDeviceControl, 4, wire::kMaxTransfer + 4, 4),
         (int32_t)STATUS_INVALID_PARAMETER},
        {"no OID", datagram(wire::kRequestMagic, wire::kDeviceControl, 0, R, R), (int32_t)STATUS_INVALID_PARAMETER},
        {"a sound request", datagram(wire::kRequestMagic, wire::kDeviceControl, 4, R, 4 + R), (int32_t)STATUS_SUCCESS},
    };
    server->service();
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, (root.dir / "VORNET1").c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(send(fd, c.datagram.data(), c.datagram.size(), 0), (ssize_t)c.datagram.size());
        server->service();
        std::vector<uint8_t> reply(sizeof(wire::ReplyHeader) + R);
        ssize_t n = recv(fd, reply.data(), reply.size(), MSG_DONTWAIT);
        ASSERT_GE(n, (ssize_t)sizeof(wire::ReplyHeader));
        wire::ReplyHeader h{};
        std::memcpy(&h, reply.data(), sizeof h);
        EXPECT_EQ(h.magic, wire::kReplyMagic);
        EXPECT_EQ(h.status, c.status);
        EXPECT_EQ((size_t)n, sizeof h + h.information);
    }
    close(fd);
    server->service();  // the connection's end: clean-up and close reach the device
    for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
}

}  // namespace

namespace {

// Clients of the machine socket that connect and say nothing, or say it late: the
// simulator's thread never waits for them, other clients are served meanwhile, a late
// request still gets its answer, and silent ones do not pile up without bound.
TEST_F(DeviceServerTest, SilentMachineClientsStallNoOne)
{
    namespace wire = vornet::wire;
    auto connect_machine = [&] {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, (root.dir / wire::kMachineSocket).c_str());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    };
    auto wall_ms = [](const std::function<void()>& f) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    };
    std::vector<int> silent;
    for (int i = 0; i < 8; i++) silent.push_back(connect_machine());
    EXPECT_LT(wall_ms([&] { server->service(); }), 200) << "waited for a client that sends nothing";

    std::vector<uint8_t> rec = record(0, 17);
    BOOL ok = FALSE;
    auto served = wall_ms([&] {
        with_client([&] {
            HANDLE h = CreateFileA("\\\\.\\VORNET1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            DWORD oid = kOid, returned = 0;
            ok = DeviceIoControl(h, kIoctl, &oid, 4, rec.data(), BACKDOOR_REQUEST_SIZE, &returned, nullptr);
            CloseHandle(h);
        });
    });
    EXPECT_TRUE(ok);
    EXPECT_LT(served, 2000);

    // One speaks at last (not a restart): it gets its answer and the connection ends.
    wire::RequestHeader q{wire::kRequestMagic, wire::kCreate, 0, 0, 0};
    ASSERT_EQ(send(silent[0], &q, sizeof q, 0), (ssize_t)sizeof q);
    server->service();
    wire::ReplyHeader h{};
    ASSERT_EQ(recv(silent[0], &h, sizeof h, MSG_DONTWAIT), (ssize_t)sizeof h);
    EXPECT_EQ(h.status, (int32_t)STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(recv(silent[0], &h, sizeof h, MSG_DONTWAIT), 0) << "closed after its answer";
    EXPECT_FALSE(na->halted);

    // Many more silent ones: the oldest are let go, the newest still wait.
    for (int round = 0; round < 10; round++) {
        for (int i = 0; i < 10; i++) silent.push_back(connect_machine());  // within the listen backlog
        EXPECT_LT(wall_ms([&] { server->service(); }), 200);
    }
    char byte;
    EXPECT_EQ(recv(silent[1], &byte, 1, MSG_DONTWAIT), 0) << "the oldest silent client was let go";
    EXPECT_EQ(recv(silent.back(), &byte, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN);
    for (int fd : silent) close(fd);
    server->service();
}

// The whole road from another process: vornet-control loads a control-panel library
// whose applet reads the hive and sends a management request to "\\.\VORNET1".
TEST_F(DeviceServerTest, AnAppletInTheControlPanelHostReachesTheDriverAndTheHive)
{
    std::string out;
    int status = -1;
    with_client([&] {
        FILE* p = popen(VORNET_CONTROL " --open " CPL_DEVICE_LIB " 2>&1", "r");
        if (p == nullptr) return;
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        status = pclose(p);
    });
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("applet 0: Device probe"), std::string::npos) << out;
    EXPECT_NE(out.find("DeviceName RIROVE\n"), std::string::npos) << out;
    EXPECT_NE(out.find("request status 0 returned 16468\n"), std::string::npos) << out;
}

}  // namespace
