// The virtual serial ports on a running adapter: device creation and names, the
// dispatch hook, open refusals, control codes, read time-outs, purge, cancellation,
// wait masks, the write path in command mode and the port data monitor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"
#include "driver/Wmp_nt40/ser_init.h"
#include "platform/ndis/ndis_device.h"
#include "platform/nt/win32.h"
#include "sim/firmware/firmware.h"
#include "tools/harness/rig.h"
#include "sim/board/csm.h"

namespace {

using plat::nt::HANDLE;
using plat::nt::INVALID_HANDLE_VALUE;
using plat::nt::Request;
using rig::with_adapter_lock;

constexpr uint64_t kBootMs = 14000;  // processors booted and pumps asleep

[[maybe_unused]] std::vector<uint8_t> u32(uint32_t v)
{
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

[[maybe_unused]] uint32_t as_u32(const std::vector<uint8_t>& b, size_t at = 0)
{
    uint32_t v = 0;
    if (b.size() >= at + 4) std::memcpy(&v, b.data() + at, 4);
    return v;
}

[[maybe_unused]] std::vector<uint8_t> timeouts(uint32_t i, uint32_t m, uint32_t k)
{
    SERIAL_TIMEOUTS t = {i, m, k, 0, 0};
    std::vector<uint8_t> b(sizeof t);
    std::memcpy(b.data(), &t, sizeof t);
    return b;
}

struct SerialRig {
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    plat::nt::Win32Client client;

    explicit SerialRig(std::vector<uint32_t> ports = {2, 1, 0, 0}, uint32_t start_at = 5, bool boot = true,
                       const char* config_file = nullptr)
    {
        std::string error;
        if (config_file != nullptr) {
            auto loaded = r.host.registry.load_reg_file(std::string(VORNET_SOURCE_DIR) + "/configs/" + config_file);
            EXPECT_TRUE(loaded.ok) << loaded.message;
        } else {
            EXPECT_TRUE(r.load_config(rig::kDefaultConfig, &error)) << error;
        }
        for (size_t n = 0; n < ports.size(); n++)
            r.host.registry.set_dword(r.parameters_key(1), "AsyncPorts_" + std::to_string(n), ports[n]);
        r.host.registry.set_dword(r.parameters_key(1), "AsyncPortNumbersStartAt", start_at);
        r.set_firmware(sim::fw::build_image(sim::fw::default_layout()));
        r.add_board_for(1, 4);
        EXPECT_EQ(r.load_driver(), 0);
        if (boot) start();
    }
    void start()
    {
        na = r.initialize(1);
        ASSERT_NE(na, nullptr);
        r.host.run_for(plat::ms(kBootMs));
    }
    ~SerialRig()
    {
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }
    Adapter* a() { return rig::Rig::driver_adapter(na); }
    PDEVICE_OBJECT device(unsigned com) { return plat_nt_find_device(("\\DosDevices\\COM" + std::to_string(com)).c_str()); }
    AsyncPort* port(unsigned com) { return ser_PortOf(device(com)); }
    HANDLE open(unsigned com) { return client.CreateFile("\\\\.\\COM" + std::to_string(com)); }
    // Puts bytes into a port's receive ring as the modem side does.
    void receive(unsigned com, const std::string& bytes)
    {
        AsyncPort* p = port(com);
        for (char c : bytes) {
            p->Rx.Data[p->Rx.WriteIndex] = static_cast<UCHAR>(c);
            p->Rx.WriteIndex = (p->Rx.WriteIndex + 1) % READ_BUFFER_SIZE;
            p->Rx.ByteCount++;
        }
    }
    std::string trace_text()
    {
        std::string all;
        for (const auto& l : r.host.trace.lines()) all += l + "\n";
        return all;
    }
};

NTSTATUS FakeNdisDeviceControl(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = (NTSTATUS)0x40001234;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return (NTSTATUS)0x40001234;
}

TEST(SerialPorts, DevicesAreNamedFromTheFirstNumberLineByLineAndListedInTheDeviceMap)
{
    SerialRig s({2, 1, 0, 0}, 5, true, "four-line.reg");
    struct Expect { unsigned com, group, index; } cases[] = {{5, 0, 0}, {6, 0, 1}, {7, 1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("COM" + std::to_string(c.com));
        PDEVICE_OBJECT d = plat_nt_find_device(("\\Device\\COM" + std::to_string(c.com)).c_str());
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(s.device(c.com), d);
        EXPECT_EQ(d->DeviceType, (ULONG)FILE_DEVICE_SERIAL_PORT);
        EXPECT_TRUE(d->Flags & DO_BUFFERED_IO);
        EXPECT_FALSE(d->Flags & DO_DEVICE_INITIALIZING);
        AsyncPort* p = ser_PortOf(d);
        EXPECT_EQ(p->ComNumber, c.com);
        EXPECT_EQ(p->ThisLink, &s.a()->NdisWanInfo[c.group][c.index]);
        EXPECT_EQ(s.a()->NdisWanInfo[c.group][c.index].ThisAsyncPort, d);
        auto v = s.r.host.registry.get_value("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                             "Serial" + std::to_string(c.com));
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->sz, "COM" + std::to_string(c.com));
    }
    EXPECT_EQ(s.device(8), nullptr);
    EXPECT_EQ(s.r.host.registry.value_names("HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM").size(), 3u);
    DRIVER_OBJECT& drv = s.r.host.ndis().driver_object();
    EXPECT_EQ(drv.MajorFunction[IRP_MJ_READ], ser_MJ_READ);
    EXPECT_EQ(drv.DriverUnload, ser_DriverUnload);
    s.r.halt(s.na);
}

TEST(SerialPorts, AnAdapterWithoutPortsLeavesTheDriverObjectAlone)
{
    SerialRig s({0, 0, 0, 0});
    EXPECT_EQ(s.device(5), nullptr);
    EXPECT_EQ(plat_nt_devices(), 1u) << "NDIS's device of the adapter only";
    DRIVER_OBJECT& drv = s.r.host.ndis().driver_object();
    for (int m = 0; m < SER_MAJOR_COUNT; m++) EXPECT_EQ(drv.MajorFunction[m], plat::ndis::ndis_dispatch_entry(m)) << m;
    EXPECT_EQ(ser_WriteSerialCommValues(s.a()), STATUS_INSUFFICIENT_RESOURCES);
    s.r.halt(s.na);
}

TEST(SerialPorts, RequestsForOtherDevicesReachNdisAndPlainRequestsOnAPortAreRefused)
{
    SerialRig s({1, 0, 0, 0}, 5, false);
    DRIVER_OBJECT& drv = s.r.host.ndis().driver_object();
    drv.MajorFunction[IRP_MJ_DEVICE_CONTROL] = FakeNdisDeviceControl;  // NDIS's entry before the hook
    PDEVICE_OBJECT ndisDevice = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\VORNET0");
    ASSERT_EQ(IoCreateDevice(&drv, 0, &name, 0x17, 0, FALSE, &ndisDevice), STATUS_SUCCESS);
    s.start();
    ASSERT_EQ(drv.MajorFunction[IRP_MJ_DEVICE_CONTROL], ser_MJ_DEVICE_CONTROL);

    auto r = s.client.send(ndisDevice, IRP_MJ_DEVICE_CONTROL, 0x170002, {1, 2, 3, 4}, 4);
    EXPECT_EQ(r->dispatch_status, (NTSTATUS)0x40001234);
    // NDIS had no entry for reads: the request is refused, not dropped.
    r = s.client.send(ndisDevice, IRP_MJ_READ, 0, {}, 4);
    EXPECT_TRUE(r->done());
    EXPECT_EQ(r->status(), STATUS_INVALID_DEVICE_REQUEST);

    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (UCHAR major : {UCHAR(9) /* flush */, UCHAR(5) /* query information */, UCHAR(17) /* lock control */}) {
        SCOPED_TRACE(int(major));
        auto q = s.client.send(s.device(5), major, 0, {}, 0);
        ASSERT_TRUE(q->done());
        EXPECT_EQ(q->status(), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(q->information(), 0u);
    }
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialPorts, OpenRefusalsLeaveThePortClosedAndCloseFreesLinkAndPump)
{
    SerialRig s;
    Link* l = &s.a()->NdisWanInfo[0][0];
    // TAPI holds the link.
    l->CurrentOwner = OWNER_TELEPHONY_SUBSYSTEM;
    EXPECT_EQ(s.open(5), INVALID_HANDLE_VALUE);
    EXPECT_EQ(s.client.last_status(), STATUS_ALREADY_COMMITTED);
    l->CurrentOwner = OWNER_NONE;
    // Every pump of the line busy.
    std::vector<std::pair<Pump*, ULONG>> saved;
    for (ULONG k = 0; k < s.a()->SocketCount; k++)
        for (ULONG c = 0; c < s.a()->Socket[k].ProcessorCount; c++)
            for (ULONG p = 0; p < s.a()->Socket[k].Csms[c].PumpCount; p++) {
                Pump* pump = &s.a()->Socket[k].Csms[c].Pumps[p];
                saved.push_back({pump, pump->PumpState});
                pump->PumpState = PUMP_ON_LINE;
            }
    EXPECT_EQ(s.open(5), INVALID_HANDLE_VALUE);
    EXPECT_EQ(s.client.last_status(), STATUS_ALREADY_COMMITTED);
    EXPECT_EQ(l->CurrentOwner, (ULONG)OWNER_NONE);
    for (auto& [pump, state] : saved) pump->PumpState = state;

    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(l->CurrentOwner, (ULONG)OWNER_VOVIZ4EZ);
    Pump* pump = l->ThisPump;
    ASSERT_NE(pump, nullptr);
    EXPECT_EQ(pump->ThisLink, l);
    EXPECT_EQ(l->TxPacketSize, 2046u);
    EXPECT_EQ(l->NumTxPackets, 2u);
    EXPECT_EQ(l->RxMsgPerCh, 8u);
    EXPECT_EQ(s.port(5)->ModemControl, (ULONG)SER_MC_AT_OPEN);
    // A second open is refused; the first handle keeps working.
    EXPECT_EQ(s.open(5), INVALID_HANDLE_VALUE);
    EXPECT_EQ(s.client.last_status(), STATUS_ACCESS_DENIED);
    uint32_t n = 0;
    EXPECT_TRUE(s.client.DeviceIoControl(h, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, &n));

    EXPECT_TRUE(s.client.CloseHandle(h));
    EXPECT_EQ(l->CurrentOwner, (ULONG)OWNER_NONE);
    EXPECT_EQ(l->ThisPump, nullptr);
    EXPECT_EQ(pump->ThisLink, nullptr);
    EXPECT_EQ(pump->PumpEvent, (ULONG)Host_Ev_Reset_Requested);
    EXPECT_EQ(s.port(5)->OpenCount, 0u);
    // The pump comes back to sleep and the port opens again.
    s.r.host.run_for(plat::ms(3000));
    h = s.open(5);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << std::hex << s.client.last_status();
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialPorts, ControlCodesCheckTheirBuffersBeforeAnyEffect)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(s.client.start_ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts(1, 2, 3), 0)->status(), STATUS_SUCCESS);
    struct Case {
        const char* name;
        uint32_t code;
        std::vector<uint8_t> in;
        uint32_t out;
        NTSTATUS status;
        size_t information;
    } cases[] = {
        {"set baud", IOCTL_SERIAL_SET_BAUD_RATE, u32(9600), 0, STATUS_SUCCESS, 0},
        {"get baud: no data", IOCTL_SERIAL_GET_BAUD_RATE, {}, 4, STATUS_SUCCESS, 0},
        {"line control", IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0, 8}, 0, STATUS_SUCCESS, 0},
        {"handflow", IOCTL_SERIAL_SET_HANDFLOW, std::vector<uint8_t>(16), 0, STATUS_SUCCESS, 0},
        {"get handflow", IOCTL_SERIAL_GET_HANDFLOW, {}, 16, STATUS_SUCCESS, 0},
        {"break on", IOCTL_SERIAL_SET_BREAK_ON, {}, 0, STATUS_SUCCESS, 0},
        {"xoff", IOCTL_SERIAL_SET_XOFF, {}, 0, STATUS_SUCCESS, 0},
        {"properties", IOCTL_SERIAL_GET_PROPERTIES, {}, 64, STATUS_SUCCESS, 0},
        {"unknown code", SER_CTL_CODE(31), {}, 8, STATUS_SUCCESS, 0},
        {"set timeouts short", IOCTL_SERIAL_SET_TIMEOUTS, std::vector<uint8_t>(16, 0xFF), 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"get timeouts short", IOCTL_SERIAL_GET_TIMEOUTS, {}, 19, STATUS_BUFFER_TOO_SMALL, 0},
        {"get timeouts", IOCTL_SERIAL_GET_TIMEOUTS, {}, 20, STATUS_SUCCESS, 20},
        {"modem status short", IOCTL_SERIAL_GET_MODEMSTATUS, {}, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {"comm status short", IOCTL_SERIAL_GET_COMMSTATUS, {}, 19, STATUS_BUFFER_TOO_SMALL, 0},
        {"comm status", IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, STATUS_SUCCESS, 20},
        {"purge short", IOCTL_SERIAL_PURGE, {2, 0, 0}, 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"set mask short", IOCTL_SERIAL_SET_WAIT_MASK, {1, 0}, 0, STATUS_BUFFER_TOO_SMALL, 0},
        {"set mask above EV_EVENT2", IOCTL_SERIAL_SET_WAIT_MASK, u32(0x2000), 0, STATUS_INVALID_PARAMETER, 0},
        {"get mask short", IOCTL_SERIAL_GET_WAIT_MASK, {}, 2, STATUS_BUFFER_TOO_SMALL, 0},
        {"wait short", IOCTL_SERIAL_WAIT_ON_MASK, {}, 3, STATUS_BUFFER_TOO_SMALL, 0},
        {"wait without a mask", IOCTL_SERIAL_WAIT_ON_MASK, {}, 4, STATUS_INVALID_PARAMETER, 0},
        {"immediate char without a byte", IOCTL_SERIAL_IMMEDIATE_CHAR, {}, 0, STATUS_BUFFER_TOO_SMALL, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = s.client.start_ioctl(h, c.code, c.in, c.out);
        ASSERT_TRUE(r->done());
        EXPECT_EQ(r->status(), c.status);
        EXPECT_EQ(r->information(), c.information);
    }
    // The refused SET_TIMEOUTS kept the old values.
    auto r = s.client.start_ioctl(h, IOCTL_SERIAL_GET_TIMEOUTS, {}, 20);
    EXPECT_EQ(r->output(), timeouts(1, 2, 3));
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialPorts, ReadTotalTimeoutFollowsTheTimeoutTable)
{
    SerialRig s;
    AsyncPort* p = s.port(5);
    const uint32_t M = 0xFFFFFFFF;
    struct Case { uint32_t i, m, k, length, total; } cases[] = {
        {M, 0, 0, 10, 0},      {M, 3, 7, 10, 37},     {M, M, 50, 10, 50},  {M, 3, M, 10, 0},
        {M, M, M, 10, 0},      {20, 2, 0, 100, 200},  {20, 0, 0, 100, 0},  {0, 0, 100, 10, 100},
        {0, 0x80000000, 1, 2, 1},  // unsigned 32-bit arithmetic
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.i << "/" << c.m << "/" << c.k);
        p->Timeouts = {c.i, c.m, c.k, 0, 0};
        p->ReadLength = c.length;
        ser_SetReadTimeouts(p);
        EXPECT_EQ(p->ReadTotalTimeout, c.total);
    }
    s.r.halt(s.na);
}

TEST(SerialPorts, ReadsCompleteWithWhatIsThereOrTimeOutOnlyWhileTheRingIsEmpty)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));  // let the modem settle
    AsyncPort* p = s.port(5);
    p->Rx.ByteCount = p->Rx.WriteIndex = p->ReadBufferOut = 0;

    // A constant of 100 ms: the eleventh tick after the read became current.
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts(0, 0, 100), 0);
    auto r = s.client.start_read(h, 10);
    plat::VTime t0 = s.r.host.now();
    ASSERT_TRUE(s.client.wait(*r, plat::ms(1000)));
    EXPECT_EQ(r->status(), STATUS_TIMEOUT);
    EXPECT_EQ(r->information(), 0u);
    plat::VTime took = s.r.host.now() - t0;
    EXPECT_GT(took, plat::ms(100));
    EXPECT_LE(took, plat::ms(120));

    // No time-outs: the read waits for data however long, then takes what is there.
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts(0, 0, 0), 0);
    r = s.client.start_read(h, 100);
    EXPECT_FALSE(s.client.wait(*r, plat::ms(5000)));
    s.receive(5, std::string(30, 'x'));
    ASSERT_TRUE(s.client.wait(*r, plat::ms(10)));
    EXPECT_EQ(r->status(), STATUS_SUCCESS);
    EXPECT_EQ(r->information(), 30u);

    // A zero-length read with data present completes at once with nothing.
    s.receive(5, "abc");
    r = s.client.start_read(h, 0);
    ASSERT_TRUE(s.client.wait(*r, plat::ms(10)));
    EXPECT_EQ(r->status(), STATUS_SUCCESS);
    EXPECT_EQ(r->information(), 0u);
    EXPECT_EQ(p->Rx.ByteCount, 3u);

    // A copy across the end of the ring keeps the arrival order.
    p->Rx.ByteCount = 0;
    p->ReadBufferOut = p->Rx.WriteIndex = READ_BUFFER_SIZE - 4;
    s.receive(5, "0123456789");
    char buf[16] = {};
    uint32_t n = 0;
    EXPECT_TRUE(s.client.ReadFile(h, buf, sizeof buf, &n));
    EXPECT_EQ(std::string(buf, n), "0123456789");
    EXPECT_EQ(p->ReadBufferOut, 6u);
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialPorts, PurgeCancelsReadsOnlyWithTheReceiveAbortBit)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    AsyncPort* p = s.port(5);
    p->Rx.ByteCount = p->Rx.WriteIndex = p->ReadBufferOut = 0;
    auto r1 = s.client.start_read(h, 10);
    auto r2 = s.client.start_read(h, 10);
    s.r.host.run_for(plat::ms(20));  // r1 current, r2 queued
    s.receive(5, "");
    p->Rx.ByteCount = 0;

    auto purge = s.client.start_ioctl(h, IOCTL_SERIAL_PURGE, u32(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXABORT), 0);
    EXPECT_EQ(purge->status(), STATUS_SUCCESS);
    EXPECT_FALSE(r1->done());
    EXPECT_FALSE(r2->done());

    // Bytes arrive in the same instant as the purge: the ring empties, no read gets them.
    p->Rx.Data[0] = 'z';
    p->Rx.WriteIndex = 1;
    p->Rx.ByteCount = 1;
    purge = s.client.start_ioctl(h, IOCTL_SERIAL_PURGE, u32(SERIAL_PURGE_RXABORT), 0);
    EXPECT_EQ(purge->status(), STATUS_SUCCESS);
    for (auto* r : {r1.get(), r2.get()}) {
        ASSERT_TRUE(r->done());
        EXPECT_EQ(r->status(), STATUS_CANCELLED);
        EXPECT_EQ(r->information(), 0u);
    }
    EXPECT_EQ(p->Rx.ByteCount, 0u);
    EXPECT_EQ(p->CurrentReadIrp, nullptr);
    EXPECT_TRUE(IsListEmpty(&p->ReadQueue));
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialPorts, CleanUpCancelsTheReadTheWriteAndTheWaitAndACancelledReadLeavesItsQueue)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // A queued read cancelled by its client.
    auto lone = s.client.start_read(h, 10);
    EXPECT_TRUE(IoCancelIrp(&lone->irp));
    ASSERT_TRUE(lone->done());
    EXPECT_EQ(lone->status(), STATUS_CANCELLED);
    EXPECT_TRUE(IsListEmpty(&s.port(5)->ReadQueue));

    s.client.start_ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_RLSD), 0);
    auto read = s.client.start_read(h, 10);
    auto write = s.client.start_write(h, std::vector<uint8_t>(1000, 'w'));
    auto wait = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(read->done());
    ASSERT_FALSE(write->done());
    ASSERT_FALSE(wait->done());
    auto cleanup = s.client.start_cleanup(h);
    ASSERT_TRUE(cleanup->done());
    EXPECT_EQ(cleanup->status(), STATUS_SUCCESS);
    for (auto* r : {read.get(), write.get(), wait.get()}) {
        ASSERT_TRUE(r->done());
        EXPECT_EQ(r->status(), STATUS_CANCELLED);
        EXPECT_EQ(r->information(), 0u);
    }
    EXPECT_EQ(s.port(5)->CurrentWaitIrp, nullptr);
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialPorts, WaitMasksCollectModemEventsAndAnswerTheNextWait)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    AsyncPort* p = s.port(5);
    Pump* pump = s.a()->NdisWanInfo[0][0].ThisPump;
    ASSERT_NE(pump, nullptr);
    PDEVICE_OBJECT d = s.device(5);

    // EV_RLSD with a wait pending: a carrier change completes it and is consumed.
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_RLSD), 0);
    auto wait = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(wait->done());
    // A second wait beside it is refused and leaves it pending.
    auto second = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_EQ(second->status(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(wait->done());
    pump->ModemStatusRegister = SER_MSR_DCD | SER_MSR_DDCD;
    ULONG keep = ser_HandleModemUpdate(d);
    EXPECT_EQ(keep & SER_MSR_DDCD, 0u);
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(wait->status(), STATUS_SUCCESS);
    EXPECT_EQ(as_u32(wait->output()), (uint32_t)EV_RLSD);

    // EV_CTS without a wait: kept in the history, the next wait completes at once.
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_CTS), 0);
    pump->ModemStatusRegister = SER_MSR_DCD | SER_MSR_DCTS;
    EXPECT_EQ(ser_HandleModemUpdate(d), 0xFFu);  // nothing consumed: the bit stays for GET_MODEMSTATUS
    wait = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(as_u32(wait->output()), (uint32_t)EV_CTS);

    // Data-mode bytes received while carrier is down do not raise EV_RXCHAR until
    // carrier comes up (in command mode the modem's own text raises it at once).
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_RXCHAR), 0);
    wait = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    pump->OnLineData = 1;
    pump->ModemStatusRegister = 0;
    p->PortEvents |= SER_PE_RXCHAR;
    ser_HandleModemUpdate(d);
    EXPECT_FALSE(wait->done());
    EXPECT_TRUE(p->PortEvents & SER_PE_RXCHAR);
    pump->ModemStatusRegister = SER_MSR_DCD;
    ser_HandleModemUpdate(d);
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(as_u32(wait->output()), (uint32_t)EV_RXCHAR);
    EXPECT_FALSE(p->PortEvents & SER_PE_RXCHAR);
    pump->OnLineData = 0;

    // A new mask completes the pending wait with success and the value 0.
    wait = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(wait->done());
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_DSR | EV_RING), 0);
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(wait->status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->information(), 4u);
    EXPECT_EQ(as_u32(wait->output()), 0u);
    auto mask = s.client.start_ioctl(h, IOCTL_SERIAL_GET_WAIT_MASK, {}, 4);
    EXPECT_EQ(as_u32(mask->output()), (uint32_t)(EV_DSR | EV_RING));

    // Cancelling a waiting wait completes it with STATUS_CANCELLED and no data.
    wait = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_TRUE(IoCancelIrp(&wait->irp));
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(wait->status(), STATUS_CANCELLED);
    EXPECT_EQ(wait->information(), 0u);
    EXPECT_EQ(p->CurrentWaitIrp, nullptr);
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialPorts, ModemAndCommStatusReportThePumpAndThePortQueues)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    AsyncPort* p = s.port(5);
    Pump* pump = s.a()->NdisWanInfo[0][0].ThisPump;
    ASSERT_NE(pump, nullptr);

    pump->ModemStatusRegister = SER_MSR_DCD | 0x30 | SER_MSR_DDCD;
    auto r = s.client.start_ioctl(h, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    EXPECT_EQ(as_u32(r->output()), 0xB8u);
    r = s.client.start_ioctl(h, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    EXPECT_EQ(as_u32(r->output()), 0xB0u);

    p->Rx.ByteCount = 0;
    p->ReadBufferOut = p->Rx.WriteIndex = 0;
    s.receive(5, std::string(10, 'r'));
    p->WriteBytesMoved = 300;
    pump->ModemStatus = MODEM_STATUS_CTS;  // DSR and DCD off
    s.client.start_ioctl(h, IOCTL_SERIAL_CLR_DTR, {}, 0);
    EXPECT_EQ(pump->DteSignals & DTE_SIGNAL_DTR, 0);
    EXPECT_EQ(pump->DteSignalsChanged, 1);
    EXPECT_EQ(p->ModemControl & SER_MC_DTR, 0u);
    r = s.client.start_ioctl(h, IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
    SERIAL_STATUS st;
    ASSERT_EQ(r->output().size(), sizeof st);
    std::memcpy(&st, r->output().data(), sizeof st);
    EXPECT_EQ(st.Errors, 0u);
    EXPECT_EQ(st.HoldReasons, (ULONG)(SERIAL_HOLD_DSR | SERIAL_HOLD_DCD | SERIAL_HOLD_DTR));
    EXPECT_EQ(st.AmountInInQueue, 10u);
    EXPECT_EQ(st.AmountInOutQueue, 300u);
    p->WriteBytesMoved = 0;
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialPorts, CommandModeWritesLeaveInFifoBlocksOnePerReadinessOfThePump)
{
    struct Case { const char* name; bool fax; size_t length; std::vector<int> blocks; } cases[] = {
        {"300 bytes", false, 300, {128, 128, 44}},
        {"fax connection", true, 150, {64, 64, 22}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SerialRig s;
        HANDLE h = s.open(5);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        s.r.host.run_for(plat::ms(300));
        Pump* pump = s.a()->NdisWanInfo[0][0].ThisPump;
        pump->PumpFaxConnection = c.fax ? 1 : 0;
        s.r.host.trace.clear();
        auto w = s.client.start_write(h, std::vector<uint8_t>(c.length, '+'));
        ASSERT_TRUE(s.client.wait(*w, plat::ms(2000)));
        EXPECT_EQ(w->status(), STATUS_SUCCESS);
        EXPECT_EQ(w->information(), c.length);
        std::vector<int> blocks;
        for (const auto& line : s.r.host.trace.lines()) {
            auto at = line.find("ser:ProcessWriteBytes OutboundBlockLength ");
            if (at != std::string::npos) blocks.push_back(std::stoi(line.substr(at + 42)));
        }
        EXPECT_EQ(blocks, c.blocks);
        pump->PumpFaxConnection = 0;
        s.client.CloseHandle(h);
        s.r.halt(s.na);
    }
}

TEST(SerialPorts, TheDataMonitorRecordsEachTransfer)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    AsyncPort* p = s.port(5);
    SER_DATA_MONITOR& m = p->DataMonitor;

    // A 5-byte write: 20 bytes of record.
    ULONG at = m.WriteIndex;
    uint32_t n = 0;
    ASSERT_TRUE(s.client.WriteFile(h, "ATZ\r\n", 5, &n));
    ASSERT_GE(m.WriteIndex, at + 20);
    const UCHAR* rec = m.Ring + at;
    EXPECT_EQ(rec[0], SER_MON_WRITE);
    EXPECT_EQ(rec[1], 0xF5);
    EXPECT_EQ(rec[2], 4);
    const UCHAR count[] = {0xF3, 4, 5, 0, 0, 0, 0xF4, 5, 'A', 'T', 'Z', '\r', '\n'};
    EXPECT_EQ(std::memcmp(rec + 7, count, sizeof count), 0);

    // A 300-byte read records the count 300 and its first 20 bytes.
    s.r.host.run_for(plat::ms(500));
    p->Rx.ByteCount = 0;
    p->ReadBufferOut = p->Rx.WriteIndex = 0;
    std::string data;
    for (int i = 0; i < 300; i++) data.push_back(char('a' + i % 26));
    s.receive(5, data);
    ser_MonitorReset(&m);
    std::vector<char> buf(300);
    ASSERT_TRUE(s.client.ReadFile(h, buf.data(), 300, &n));
    EXPECT_EQ(n, 300u);
    EXPECT_EQ(m.WriteIndex, 1u + 6 + 6 + 2 + 20);
    EXPECT_EQ(m.Ring[0], SER_MON_READ);
    EXPECT_EQ(as_u32(std::vector<uint8_t>(m.Ring + 9, m.Ring + 13)), 300u);
    EXPECT_EQ(m.Ring[14], 20);
    EXPECT_EQ(std::memcmp(m.Ring + 15, data.data(), 20), 0);

    // A read across the ring's end: marker 2 and a second run of bytes from the ring's start.
    ser_MonitorReset(&m);
    p->Rx.ByteCount = 0;
    p->ReadBufferOut = p->Rx.WriteIndex = READ_BUFFER_SIZE - 3;
    s.receive(5, "xyz12345");
    ASSERT_TRUE(s.client.ReadFile(h, buf.data(), 300, &n));
    EXPECT_EQ(m.Ring[0], SER_MON_READ_SPLIT);
    const UCHAR runs[] = {0xF4, 3, 'x', 'y', 'z', 0xF4, 5, '1', '2', '3', '4', '5'};
    EXPECT_EQ(std::memcmp(m.Ring + 13, runs, sizeof runs), 0);

    // 600 bytes of records: index 88, one wrap.
    ser_MonitorReset(&m);
    for (int i = 0; i < 600; i++) ser_MonitorPutByte(p, 0x55);
    EXPECT_EQ(m.WriteIndex, 88u);
    EXPECT_EQ(m.WrapCount, 1u);
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialPorts, HaltWithdrawsOpenPortsAndUnloadDeletesThem)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_RLSD), 0);
    auto read = s.client.start_read(h, 10);
    auto wait = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    s.r.host.run_for(plat::ms(20));  // the read is current
    s.r.halt(s.na);
    for (auto* r : {read.get(), wait.get()}) {
        ASSERT_TRUE(r->done());
        EXPECT_EQ(r->status(), STATUS_CANCELLED);
    }
    // The port outlives its adapter but takes no request; its timer has stopped.
    auto late = s.client.start_ioctl(h, IOCTL_SERIAL_SET_DTR, {}, 0);
    ASSERT_TRUE(late->done());
    EXPECT_EQ(late->status(), STATUS_UNSUCCESSFUL);
    late = s.client.start_read(h, 4);
    EXPECT_EQ(late->status(), STATUS_UNSUCCESSFUL);
    s.r.host.run_for(plat::ms(100));
    EXPECT_TRUE(s.client.CloseHandle(h));
    EXPECT_EQ(s.open(6), INVALID_HANDLE_VALUE);
    EXPECT_EQ(s.client.last_status(), STATUS_UNSUCCESSFUL);

    DRIVER_OBJECT& drv = s.r.host.ndis().driver_object();
    ASSERT_EQ(drv.DriverUnload, ser_DriverUnload);
    drv.DriverUnload(&drv);
    EXPECT_EQ(plat_nt_devices(), 0u);
    EXPECT_EQ(s.device(5), nullptr);
}

// A port-owned link in network mode with its receive and transmit descriptors in host
// memory; the backgrounds are called as the modem step calls them (the clock stands).
struct NtwrkLink {
    SerialRig s;
    HANDLE h = INVALID_HANDLE_VALUE;
    Link* l = nullptr;
    Pump* pump = nullptr;
    BT847X_DESCR rx[MAX_RX_PACKETS] = {};
    BT847X_DESCR tx[MAX_TX_PACKETS] = {};

    explicit NtwrkLink(ULONG rx_count = 8)
    {
        h = s.open(5);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        l = &s.a()->NdisWanInfo[0][0];
        pump = l->ThisPump;
        l->ChannelState = CHANNEL_STATE_ACTIVE;
        l->RxMsgPerCh = rx_count;
        l->RxRingChannel = 0;
        l->ReadRxPacketIdx = 0;
        for (ULONG i = 0; i < MAX_RX_PACKETS; i++) {
            l->RxPackets[i].Index = i;
            l->RxPackets[i].Descriptor = &rx[i];
            rx[i].Status = l->RxPacketSize;
        }
        for (ULONG i = 0; i < MAX_TX_PACKETS; i++) l->TxPackets[i].Descriptor = &tx[i];
        pump->DteSignalsChanged = 0;
    }
    ~NtwrkLink()
    {
        l->ChannelState = CHANNEL_STATE_IDLE;
        for (ULONG i = 0; i < MAX_RX_PACKETS; i++) l->RxPackets[i].Descriptor = nullptr;
        for (ULONG i = 0; i < MAX_TX_PACKETS; i++) l->TxPackets[i].Descriptor = nullptr;
        s.client.CloseHandle(h);
        s.r.halt(s.na);
    }
    // The controller fills receive entry i with a frame.
    void arrive(ULONG i, const std::string& frame)
    {
        PUCHAR at = s.a()->SharedMem.RxBuffers.Virtual + i * l->RxPacketSize;
        std::memcpy(at, frame.data(), frame.size());
        rx[i].Status = BT847X_DESCR_OWNER | ULONG(frame.size());
    }
    bool rts() const { return (pump->DteSignals & DTE_SIGNAL_RTS) != 0; }
};

TEST(SerialNetworkMode, FramesWaitInTheRingUntilTheReadBufferHoldsThemWhole)
{
    NtwrkLink n;
    AsyncPort* p = n.s.port(5);
    p->Rx.ByteCount = 1000;  // 24 bytes free
    p->Rx.WriteIndex = 1000;
    n.arrive(0, std::string(30, 'f'));
    NTWRK_RxBackGround(n.l);
    EXPECT_EQ(p->Rx.ByteCount, 1000u);
    EXPECT_EQ(n.l->ReadRxPacketIdx, 0u);
    p->Rx.ByteCount = 0;  // the reader made room
    NTWRK_RxBackGround(n.l);
    EXPECT_EQ(p->Rx.ByteCount, 30u);
    EXPECT_EQ(p->Rx.WriteIndex, (1000u + 30) % READ_BUFFER_SIZE);  // the copy wraps
    EXPECT_EQ(n.l->ReadRxPacketIdx, 1u);
    EXPECT_TRUE(p->PortEvents & SER_PE_RXCHAR);
    EXPECT_FALSE(n.rx[0].Status & BT847X_DESCR_OWNER);  // back to the controller
}

TEST(SerialNetworkMode, RtsDropsOnceAboveTheThresholdAndReturnsOnlyWhenNoFrameWaits)
{
    NtwrkLink n;
    AsyncPort* p = n.s.port(5);
    p->Rx.ByteCount = READ_BUFFER_SIZE;  // the reader is behind: frames wait
    n.pump->DteSignals |= DTE_SIGNAL_RTS;
    for (ULONG i = 0; i < 5; i++) n.arrive(i, "frame");
    NTWRK_RxBackGround(n.l);
    EXPECT_FALSE(n.rts());
    EXPECT_EQ(n.pump->DteSignalsChanged, 1);
    n.pump->DteSignalsChanged = 0;
    NTWRK_RxBackGround(n.l);
    EXPECT_EQ(n.pump->DteSignalsChanged, 0);  // asked once
    // Four waiting: below the threshold but not empty, nothing changes.
    p->Rx.ByteCount = READ_BUFFER_SIZE - 5;
    NTWRK_RxBackGround(n.l);
    EXPECT_EQ(n.l->ReadRxPacketIdx, 1u);
    EXPECT_FALSE(n.rts());
    EXPECT_EQ(n.pump->DteSignalsChanged, 0);
    // All taken: the next pass finds none waiting and raises RTS.
    p->Rx.ByteCount = 0;
    NTWRK_RxBackGround(n.l);
    EXPECT_EQ(n.l->ReadRxPacketIdx, 5u);
    NTWRK_RxBackGround(n.l);
    EXPECT_TRUE(n.rts());
    EXPECT_EQ(n.pump->DteSignalsChanged, 1);
}

TEST(SerialNetworkMode, NoFlowControlForOtherRingSizesAndNothingWhileTheChannelIsIdle)
{
    {
        NtwrkLink n(16);
        n.s.port(5)->Rx.ByteCount = READ_BUFFER_SIZE;
        for (ULONG i = 0; i < 16; i++) n.arrive(i, "x");
        NTWRK_RxBackGround(n.l);
        NTWRK_RxBackGround(n.l);
        EXPECT_EQ(n.pump->DteSignalsChanged, 0);
    }
    {
        NtwrkLink n;
        n.l->ChannelState = CHANNEL_STATE_IDLE;
        for (ULONG i = 0; i < 6; i++) n.arrive(i, "x");
        NTWRK_RxBackGround(n.l);
        NTWRK_TxBackGround(n.l);
        EXPECT_EQ(n.s.port(5)->Rx.ByteCount, 0u);
        EXPECT_EQ(n.l->ReadRxPacketIdx, 0u);
        EXPECT_EQ(n.pump->DteSignalsChanged, 0);
    }
}

TEST(SerialNetworkMode, TransmitEmptyIsRaisedOncePerDrain)
{
    NtwrkLink n;
    AsyncPort* p = n.s.port(5);
    n.s.client.start_ioctl(n.h, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_TXEMPTY), 0);
    auto wait = n.s.client.start_ioctl(n.h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    n.l->NumTxPackets = 2;
    n.l->ReadTxPacketIdx = 0;
    n.l->DriverWriteTxPacketIdx = 0;  // two queued: the write index went round
    for (ULONG i = 0; i < 2; i++) {
        n.l->TxPackets[i].InFlight = 1;
        n.l->TxPackets[i].Length = 100;
        n.tx[i].Status = 0;  // sent
    }
    n.tx[1].Status = BT847X_DESCR_OWNER;  // the second is still going out
    NTWRK_TxBackGround(n.l);
    EXPECT_EQ(n.l->ReadTxPacketIdx, 1u);
    EXPECT_FALSE(wait->done());
    n.tx[1].Status = 0;
    NTWRK_TxBackGround(n.l);
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(as_u32(wait->output()), (uint32_t)EV_TXEMPTY);
    // Reported once: a later update with nothing drained raises nothing.
    wait = n.s.client.start_ioctl(n.h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    NTWRK_TxBackGround(n.l);
    ser_HandleModemUpdate(n.s.device(5));
    EXPECT_FALSE(wait->done());
    EXPECT_FALSE(p->PortEvents & SER_PE_TXEMPTY);
    IoCancelIrp(&wait->irp);  // the request's memory goes before the port's clean-up
    EXPECT_TRUE(wait->done());
}

TEST(SerialNetworkMode, DataModeWritesLeaveAsFramesOfTheTransmitBufferSizeAsSlotsFree)
{
    NtwrkLink n;
    n.pump->OnLineData = 1;
    n.pump->ModemStatus |= MODEM_STATUS_CTS;
    n.l->NumTxPackets = 2;
    n.l->DriverWriteTxPacketIdx = n.l->ReadTxPacketIdx = 0;
    n.l->TxQueuedCount = n.l->TxCompletedCount = 0;
    auto w = n.s.client.start_write(n.h, std::vector<uint8_t>(5000, 'd'));
    AsyncPort* p = n.s.port(5);
    WriteIrpWorker(n.s.device(5));
    EXPECT_EQ(p->WriteBytesMoved, 2046u);
    WriteIrpWorker(n.s.device(5));
    EXPECT_EQ(p->WriteBytesMoved, 4092u);
    WriteIrpWorker(n.s.device(5));  // both slots in flight: nothing moves
    EXPECT_EQ(p->WriteBytesMoved, 4092u);
    EXPECT_EQ(n.l->TxPackets[0].Length, 2046u);
    EXPECT_FALSE(w->done());
    n.l->TxCompletedCount++;  // the first frame went out
    n.l->TxPackets[0].InFlight = 0;
    WriteIrpWorker(n.s.device(5));
    ASSERT_TRUE(w->done());
    EXPECT_EQ(w->status(), STATUS_SUCCESS);
    EXPECT_EQ(w->information(), 5000u);
    EXPECT_EQ(n.l->TxPackets[0].Length, 908u);
    EXPECT_EQ(n.l->TxQueuedCount, 3u);
    n.pump->OnLineData = 0;
}

// ---- the port against the modem model: requests the driver must finish itself ----

// The modem model and processor behind a pump.
struct ModelOf {
    sim::ModemSocket* socket = nullptr;
    unsigned processor = 0;
};
ModelOf model_of(SerialRig& s, Pump* pump)
{
    Csm* csm = pump->ThisCsm;
    unsigned k = unsigned(csm->ThisSocket - &s.a()->Socket[0]);
    return {s.r.boards[0]->modem(k), unsigned(csm->Index)};
}

// FIFO blocks the pump got from the host since message `since`, by length.
std::vector<unsigned> fifo_blocks(const ModelOf& m, Pump* pump, size_t since)
{
    std::vector<unsigned> out;
    const auto& log = m.socket->messages();
    for (size_t i = since; i < log.size(); i++)
        if (log[i].processor == m.processor && log[i].running && log[i].code() == 0x09 &&
            (log[i].words[3] & 0xFF) == pump->PumpNumber)
            out.push_back(log[i].words[2]);
    return out;
}

// A DCE report from the modem, as the firmware sends it.
void dce_report(SerialRig& s, Pump* pump, uint16_t status)
{
    ModelOf m = model_of(s, pump);
    m.socket->send_to_host(m.processor, {0, 0, status, uint16_t(0x2B << 8 | pump->PumpNumber)});
}

// Reads what the modem has sent until a read waits `quiet` without a byte.
std::string drain(SerialRig& s, HANDLE h, uint32_t quiet_ms = 30)
{
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts(0, 0, quiet_ms), 0);
    std::string all;
    char buf[256];
    uint32_t n = 0;
    while (s.client.ReadFile(h, buf, sizeof buf, &n) && n > 0) all.append(buf, n);
    return all;
}

// Reads until `want` has come, or `limit_ms` of reads passed.
std::string read_until(SerialRig& s, HANDLE h, const std::string& want, uint32_t limit_ms = 2000)
{
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts(0, 0, 20), 0);
    std::string all;
    char buf[256];
    plat::VTime end = s.r.host.now() + plat::ms(limit_ms);
    while (all.find(want) == std::string::npos && s.r.host.now() < end) {
        uint32_t n = 0;
        if (!s.client.ReadFile(h, buf, sizeof buf, &n)) break;
        all.append(buf, n);
    }
    return all;
}

TEST(SerialRequests, CleanUpEndsTheCurrentWriteAndReadWhenThePumpNeverTakesMore)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    AsyncPort* p = s.port(5);
    Pump* pump = s.a()->NdisWanInfo[0][0].ThisPump;
    ASSERT_NE(pump, nullptr);
    auto write = s.client.start_write(h, std::vector<uint8_t>(1000, 'w'));
    ASSERT_TRUE(rig::run_until(s.r.host, [&] { return p->WriteBytesMoved > 0; }, plat::ms(500)));
    // The processor takes no further message: the write's worker never runs again and
    // the modem sends nothing more.
    ModelOf m = model_of(s, pump);
    m.socket->stall_at(m.processor, 1);
    s.r.host.run_for(plat::ms(50));
    // The modem echoed what it took; once that is read, a read waits with the ring empty.
    std::string echo = drain(s, h);
    EXPECT_EQ(echo, std::string(echo.size(), 'w'));
    EXPECT_LT(echo.size(), 1000u);
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts(0, 0, 0), 0);
    auto read = s.client.start_read(h, 10);
    s.r.host.run_for(plat::ms(50));
    ASSERT_EQ(p->CurrentWriteIrp, &write->irp);
    ASSERT_EQ(p->CurrentReadIrp, &read->irp);

    auto cleanup = s.client.start_cleanup(h);
    ASSERT_TRUE(cleanup->done());
    for (auto* r : {read.get(), write.get()}) {
        ASSERT_TRUE(r->done());
        EXPECT_EQ(r->status(), STATUS_CANCELLED);
        EXPECT_EQ(r->information(), 0u);
    }
    EXPECT_EQ(p->CurrentWriteIrp, nullptr);
    EXPECT_EQ(p->WriteBytesMoved, 0u);
    EXPECT_TRUE(s.client.CloseHandle(h));
    s.r.halt(s.na);
}

// A queued request whose cancel routine already runs on another processor (the system
// took the routine, the routine waits for PortLock): clean-up leaves it to the routine,
// which completes it once.
TEST(SerialRequests, CleanUpLeavesARequestWhoseCancelIsRunningToItsCancelRoutine)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto read = s.client.start_read(h, 10);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    read->irp.Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(&read->irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    ASSERT_EQ(routine, ser_CancelQueuedIrp);

    auto cleanup = s.client.start_cleanup(h);
    ASSERT_TRUE(cleanup->done());
    EXPECT_FALSE(read->done()) << "completed by clean-up while its cancel routine runs";
    EXPECT_TRUE(IsListEmpty(&s.port(5)->ReadQueue));
    IoAcquireCancelSpinLock(&irql);
    read->irp.CancelIrql = irql;
    routine(s.device(5), &read->irp);
    ASSERT_TRUE(read->done());
    EXPECT_EQ(read->status(), STATUS_CANCELLED);
    EXPECT_TRUE(s.client.CloseHandle(h));
    s.r.halt(s.na);
}

TEST(SerialRequests, ZeroLengthTransfersCompleteAtOnceAndBlockNothing)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    AsyncPort* p = s.port(5);
    ASSERT_EQ(p->Rx.ByteCount, 0u);
    Pump* pump = s.a()->NdisWanInfo[0][0].ThisPump;
    ModelOf m = model_of(s, pump);
    m.socket->stall_at(m.processor, 1);  // the pump takes nothing more
    auto empty = s.client.start_read(h, 0);
    ASSERT_TRUE(empty->done());
    EXPECT_EQ(empty->status(), STATUS_SUCCESS);
    EXPECT_EQ(empty->information(), 0u);
    auto none = s.client.start_write(h, {});
    ASSERT_TRUE(none->done());
    EXPECT_EQ(none->status(), STATUS_SUCCESS);
    // A read behind a zero-length read still gets its bytes.
    auto zero = s.client.start_read(h, 0);
    auto next = s.client.start_read(h, 5);
    s.receive(5, "hello");
    ASSERT_TRUE(s.client.wait(*next, plat::ms(30)));
    std::vector<uint8_t> got = next->output();
    EXPECT_EQ(std::string(got.begin(), got.end()), "hello");
    EXPECT_TRUE(zero->done());
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialRequests, HaltWaitsForARequestWhoseCancelIsStillRunningAndReinitialisationGivesThePortsBack)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto read = s.client.start_read(h, 10);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    read->irp.Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(&read->irp, nullptr);
    IoReleaseCancelSpinLock(irql);
    // The cancel routine gets the processor 50 ms later.
    PDEVICE_OBJECT d = s.device(5);
    PIRP irp = &read->irp;
    Adapter* a = s.a();
    bool loop_stopped = false;
    s.r.host.sched.after(plat::ms(50), [&loop_stopped, a, routine, d, irp] {
        // The port is being withdrawn: the adapter's main loop no longer runs.
        loop_stopped = a->Halting == 1 && a->TimerArmed == 0;
        KIRQL i;
        IoAcquireCancelSpinLock(&i);
        irp->CancelIrql = i;
        routine(d, irp);
    });
    s.r.halt(s.na);
    ASSERT_TRUE(read->done()) << "halt returned while an accepted request was still running";
    EXPECT_TRUE(loop_stopped);
    EXPECT_EQ(read->status(), STATUS_CANCELLED);
    AsyncPort* p = s.port(5);
    EXPECT_EQ(p->ReferenceCount, 0);
    EXPECT_TRUE(KeReadStateEvent(&p->RemoveEvent));
    EXPECT_TRUE(s.client.CloseHandle(h));

    // The adapter comes back without an unload: the same devices and names serve again.
    PDEVICE_OBJECT before = s.device(5);
    s.start();
    EXPECT_EQ(s.device(5), before);
    EXPECT_EQ(s.port(5)->ThisAdapter, s.a());
    EXPECT_EQ(s.a()->NdisWanInfo[0][0].ThisAsyncPort, before);
    EXPECT_EQ(s.port(5)->ReferenceCount, 1);
    h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << std::hex << s.client.last_status();
    s.r.host.run_for(plat::ms(300));
    uint32_t n = 0;
    EXPECT_TRUE(s.client.WriteFile(h, "AT\r", 3, &n));
    EXPECT_EQ(n, 3u);
    EXPECT_TRUE(s.client.CloseHandle(h));
    // The first halt terminated NDIS's wrapper with the last adapter; the second finds
    // it closed. That belongs to the miniport shell, not to the ports.
    ASSERT_TRUE(s.r.host.violations().empty());
    s.r.halt(s.na);
    for (const auto& v : s.r.host.violations()) EXPECT_NE(v.find("wrapper"), std::string::npos) << v;
    s.r.host.clear_violations();
}

// ---- events, control codes and blocks through the modem model ----

// The modem in command mode echoes "AT\r" and then answers "\r\nOK\r\n" in a block of its
// own: the echo raises EV_RXCHAR, and the answer comes after the driver asks for more.
TEST(SerialEvents, CommandModeTextFromTheModemRaisesEvRxchar)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_RXCHAR), 0);
    auto wait = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(wait->done());
    uint32_t n = 0;
    ASSERT_TRUE(s.client.WriteFile(h, "AT\r", 3, &n));
    ASSERT_TRUE(s.client.wait(*wait, plat::ms(500)));
    EXPECT_EQ(wait->status(), STATUS_SUCCESS);
    EXPECT_EQ(as_u32(wait->output()), (uint32_t)EV_RXCHAR);
    EXPECT_EQ(read_until(s, h, "OK\r\n"), "AT\r\r\nOK\r\n");
    // The answer raised the event again for the next wait.
    auto again = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_TRUE(s.client.WriteFile(h, "ATZ\r", 4, &n));
    ASSERT_TRUE(s.client.wait(*again, plat::ms(500)));
    EXPECT_EQ(as_u32(again->output()), (uint32_t)EV_RXCHAR);
    EXPECT_EQ(read_until(s, h, "OK\r\n"), "ATZ\r\r\nOK\r\n");
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialEvents, AModemStatusChangeReportedByTheModemIsRaisedOnce)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    Pump* pump = s.a()->NdisWanInfo[0][0].ThisPump;
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_CTS | EV_RLSD), 0);
    // CTS drops, no wait pending: kept for the next wait.
    dce_report(s, pump, MODEM_STATUS_DSR);
    s.r.host.run_for(plat::ms(100));
    auto first = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_TRUE(first->done());
    EXPECT_EQ(as_u32(first->output()), (uint32_t)EV_CTS);
    // A report that changes nothing leaves the next wait waiting.
    auto second = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    dce_report(s, pump, MODEM_STATUS_DSR);
    s.r.host.run_for(plat::ms(100));
    EXPECT_FALSE(second->done()) << "one CTS change completed two waits";
    // The carrier comes: the waiting wait completes with EV_RLSD and the change bit goes.
    dce_report(s, pump, MODEM_STATUS_DSR | MODEM_STATUS_DCD);
    ASSERT_TRUE(s.client.wait(*second, plat::ms(100)));
    EXPECT_EQ(as_u32(second->output()), (uint32_t)EV_RLSD);
    EXPECT_EQ(pump->ModemStatusRegister & SER_MSR_DDCD, 0);
    // The CTS change stays in the image for GET_MODEMSTATUS until it is read.
    auto msr = s.client.start_ioctl(h, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    EXPECT_EQ(as_u32(msr->output()) & (SER_MSR_DCTS | SER_MSR_DCD), uint32_t(SER_MSR_DCTS | SER_MSR_DCD));
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialControl, ImmediateCharSaysWhetherItWentAndTimeoutsAnswerNoData)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    auto t = s.client.start_ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts(1, 2, 3), 0);
    EXPECT_EQ(t->status(), STATUS_SUCCESS);
    EXPECT_EQ(t->information(), 0u);

    Link* l = &s.a()->NdisWanInfo[0][0];
    Pump* pump = l->ThisPump;
    ModelOf m = model_of(s, pump);
    // Command mode, pump ready: one byte goes as a FIFO block of its own.
    size_t mark = m.socket->messages().size();
    auto c = s.client.start_ioctl(h, IOCTL_SERIAL_IMMEDIATE_CHAR, {'A'}, 0);
    EXPECT_EQ(c->status(), STATUS_SUCCESS);
    EXPECT_EQ(fifo_blocks(m, pump, mark), std::vector<unsigned>{1});
    // The pump has not announced readiness for the next block: nothing is sent over it.
    mark = m.socket->messages().size();
    c = s.client.start_ioctl(h, IOCTL_SERIAL_IMMEDIATE_CHAR, {'B'}, 0);
    EXPECT_EQ(c->status(), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(fifo_blocks(m, pump, mark).empty());
    // Data mode with both transmit slots in flight.
    s.r.host.run_for(plat::ms(100));
    with_adapter_lock(s.a(), [&] {
        pump->OnLineData = 1;
        l->NumTxPackets = 2;
        l->TxQueuedCount = l->TxCompletedCount + 2;
    });
    c = s.client.start_ioctl(h, IOCTL_SERIAL_IMMEDIATE_CHAR, {'C'}, 0);
    EXPECT_EQ(c->status(), STATUS_DEVICE_BUSY);
    // No pump behind the port.
    with_adapter_lock(s.a(), [&] {
        l->TxQueuedCount = l->TxCompletedCount;
        pump->OnLineData = 0;
        l->ThisPump = nullptr;
    });
    c = s.client.start_ioctl(h, IOCTL_SERIAL_IMMEDIATE_CHAR, {'D'}, 0);
    EXPECT_EQ(c->status(), STATUS_UNSUCCESSFUL);
    with_adapter_lock(s.a(), [&] { l->ThisPump = pump; });
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialWrites, ShortQueuedWritesAndTheAnnouncedBlockLengthReachTheModem)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    Pump* pump = s.a()->NdisWanInfo[0][0].ThisPump;
    ModelOf m = model_of(s, pump);
    // Two short writes queued together: one block each, in order.
    size_t mark = m.socket->messages().size();
    std::string before = m.socket->text_from_host(m.processor, pump->PumpNumber);
    auto w1 = s.client.start_write(h, {'A', 'T'});
    auto w2 = s.client.start_write(h, {'I', '\r'});
    ASSERT_TRUE(s.client.wait(*w2, plat::ms(500)));
    EXPECT_TRUE(w1->done());
    s.r.host.run_for(plat::ms(50));
    EXPECT_EQ(fifo_blocks(m, pump, mark), (std::vector<unsigned>{2, 2}));
    EXPECT_EQ(m.socket->text_from_host(m.processor, pump->PumpNumber).substr(before.size()), "ATI\r");

    // A pump that announced blocks of 50 bytes gets no larger one.
    s.r.host.run_for(plat::ms(200));
    m.socket->stall_at(m.processor, 1);  // the clock may run; the pump announces nothing more
    s.r.host.run_for(plat::ms(50));
    auto w = s.client.start_write(h, std::vector<uint8_t>(300, '+'));
    mark = m.socket->messages().size();
    with_adapter_lock(s.a(), [&] {
        pump->DataReqWord2 = 50;
        WriteIrpWorker(s.device(5));
    });
    EXPECT_EQ(fifo_blocks(m, pump, mark), std::vector<unsigned>{50});
    EXPECT_EQ(s.port(5)->WriteBytesMoved, 50u);
    s.client.CloseHandle(h);
    EXPECT_EQ(w->status(), STATUS_CANCELLED);
    s.r.halt(s.na);
}

TEST(SerialReceive, ModemDataNeverOverfillsTheRingAndFlowControlFollowsTheRoom)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    AsyncPort* p = s.port(5);
    Pump* pump = s.a()->NdisWanInfo[0][0].ThisPump;
    std::vector<UCHAR> block(128, 'x');
    with_adapter_lock(s.a(), [&] {
        p->Rx.ByteCount = p->Rx.WriteIndex = p->ReadBufferOut = 0;
        for (int i = 0; i < 7; i++) ser_ReceiveModemData(s.device(5), pump, block.data(), 128);
        EXPECT_EQ(p->Rx.ByteCount, 896u);
        EXPECT_EQ(pump->DataRequested, 0) << "128 bytes still free: more may come";
        ser_ReceiveModemData(s.device(5), pump, block.data(), 100);
        EXPECT_EQ(pump->DataRequested, 1) << "less than 128 free: no more is asked for";
        EXPECT_EQ(p->Rx.ReceiveAllowed, 0);
        ser_ReceiveModemData(s.device(5), pump, block.data(), 128);  // a modem that sends unasked
        EXPECT_EQ(p->Rx.ByteCount, (ULONG)READ_BUFFER_SIZE);
        EXPECT_EQ(p->Rx.WriteIndex, p->ReadBufferOut);
    });
    // A reader makes room: the read timer announces 128 bytes of space, and the modem
    // is asked for one block of 128 bytes.
    ModelOf m = model_of(s, pump);
    size_t mark = m.socket->messages().size();
    std::vector<char> buf(1024);
    uint32_t n = 0;
    ASSERT_TRUE(s.client.ReadFile(h, buf.data(), 200, &n));
    EXPECT_EQ(n, 200u);
    s.r.host.run_for(plat::ms(50));
    EXPECT_EQ(p->Rx.ReceiveAllowed, 1);
    std::vector<unsigned> asked;
    const auto& log = m.socket->messages();
    for (size_t i = mark; i < log.size(); i++)
        if (log[i].processor == m.processor && log[i].code() == 0x08 && (log[i].words[3] & 0xFF) == pump->PumpNumber)
            asked.push_back(log[i].words[2]);
    EXPECT_EQ(asked, std::vector<unsigned>{128});
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialNetworkMode, AFrameLongerThanTheReadRingIsDroppedAndCountedAndTheNextDelivered)
{
    NtwrkLink n;
    AsyncPort* p = n.s.port(5);
    p->Rx.ByteCount = p->Rx.WriteIndex = p->ReadBufferOut = 0;
    ULONG before = n.l->Stats.RxLongFrames;
    n.arrive(0, std::string(READ_BUFFER_SIZE + 1, 'L'));
    n.arrive(1, "next");
    NTWRK_RxBackGround(n.l);
    EXPECT_EQ(n.l->Stats.RxLongFrames, before + 1);
    EXPECT_EQ(n.l->ReadRxPacketIdx, 2u);
    ASSERT_EQ(p->Rx.ByteCount, 4u);
    EXPECT_EQ(std::memcmp(p->Rx.Data, "next", 4), 0);
}

TEST(SerialNetworkMode, ReceiveFlowControlStartsAfreshWithEachCall)
{
    NtwrkLink n;
    AsyncPort* p = n.s.port(5);
    auto five_waiting = [&] {
        n.l->ReadRxPacketIdx = 0;
        for (ULONG i = 0; i < MAX_RX_PACKETS; i++) n.rx[i].Status = n.l->RxPacketSize;
        for (ULONG i = 0; i < 5; i++) n.arrive(i, "frame");
    };
    p->Rx.ByteCount = READ_BUFFER_SIZE;  // the reader is behind: frames wait
    five_waiting();
    NTWRK_RxBackGround(n.l);
    ASSERT_FALSE(n.rts());
    // The call ends with RTS off; the next call's pump starts with RTS on.
    n.l->ChannelState = CHANNEL_STATE_IDLE;
    NTWRK_RxBackGround(n.l);
    n.pump->DteSignals |= DTE_SIGNAL_RTS;
    n.pump->DteSignalsChanged = 0;
    n.l->ChannelState = CHANNEL_STATE_ACTIVE;
    five_waiting();
    NTWRK_RxBackGround(n.l);
    EXPECT_FALSE(n.rts()) << "the new call's backlog never dropped RTS";
    EXPECT_EQ(n.pump->DteSignalsChanged, 1);
    p->Rx.ByteCount = 0;
}

std::string read_all(SerialRig& s, HANDLE h)
{
    std::string got;
    char buf[64];
    uint32_t n = 0;
    while (s.client.ReadFile(h, buf, sizeof buf, &n) && n > 0) got.append(buf, n);
    return got;
}

TEST(SerialRequests, AnOpenPortKeepsWorkingAcrossAHangCheckReset)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    s.client.start_ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts(0, 0, 200), 0);
    uint32_t n = 0;
    ASSERT_TRUE(s.client.WriteFile(h, "AT\r", 3, &n));
    EXPECT_NE(read_all(s, h).find("OK"), std::string::npos);

    Link* l = &s.a()->NdisWanInfo[0][0];
    s.a()->AdapterFailed = 1;
    ASSERT_TRUE(rig::run_until(s.r.host, [&] { return s.na->resets == 1; }, plat::ms(5000)));
    EXPECT_EQ(l->ThisAsyncPort, s.device(5));
    EXPECT_EQ(l->CurrentOwner, (ULONG)OWNER_VOVIZ4EZ);
    // Written while the modem processors boot again: it waits for the port's new pump.
    auto w = s.client.start_write(h, {'A', 'T', '\r'});
    ASSERT_TRUE(s.client.wait(*w, plat::ms(20000)));
    EXPECT_EQ(w->status(), STATUS_SUCCESS);
    ASSERT_NE(l->ThisPump, nullptr);
    EXPECT_EQ(l->ThisPump->ThisLink, l);
    EXPECT_NE(read_all(s, h).find("OK"), std::string::npos);
    EXPECT_TRUE(s.client.CloseHandle(h));
    EXPECT_EQ(l->CurrentOwner, (ULONG)OWNER_NONE);
    s.r.halt(s.na);
}

// ---- references, current requests, time-outs, a port without its pump ----

TEST(SerialRequests, EveryAcceptedRequestHoldsTheReferenceCountUntilItCompletes)
{
    SerialRig s;
    AsyncPort* p = s.port(5);
    EXPECT_EQ(p->ReferenceCount, 1);  // the creation's own
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(p->ReferenceCount, 1);
    auto read = s.client.start_read(h, 4);
    auto wait = (s.client.start_ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_RLSD), 0),
                 s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4));
    EXPECT_EQ(p->ReferenceCount, 3);
    s.receive(5, "data");
    ASSERT_TRUE(s.client.wait(*read, plat::ms(30)));
    EXPECT_EQ(p->ReferenceCount, 2);
    EXPECT_TRUE(IoCancelIrp(&wait->irp));
    EXPECT_EQ(p->ReferenceCount, 1);
    // A refused open (already open) leaves the count as it was.
    EXPECT_EQ(s.open(5), INVALID_HANDLE_VALUE);
    EXPECT_EQ(p->ReferenceCount, 1);
    s.client.CloseHandle(h);
    EXPECT_EQ(p->ReferenceCount, 1);
    s.r.halt(s.na);
}

TEST(SerialRequests, ACancelledCurrentReadCompletesAtTheNextTickAndTheNextReadServes)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    AsyncPort* p = s.port(5);
    auto current = s.client.start_read(h, 8);
    auto next = s.client.start_read(h, 8);
    s.r.host.run_for(plat::ms(15));
    ASSERT_EQ(p->CurrentReadIrp, &current->irp);
    EXPECT_FALSE(IoCancelIrp(&current->irp)) << "a current read has no cancel routine";
    EXPECT_FALSE(current->done());
    ASSERT_TRUE(s.client.wait(*current, plat::ms(15)));
    EXPECT_EQ(current->status(), STATUS_CANCELLED);
    EXPECT_EQ(current->information(), 0u);
    s.receive(5, "xy");
    ASSERT_TRUE(s.client.wait(*next, plat::ms(30)));
    EXPECT_EQ(next->information(), 2u);
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialRequests, CloseStopsTheReadTimerEvenWithItsRunAlreadyQueued)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    AsyncPort* p = s.port(5);
    s.r.host.run_for(plat::ms(25));
    ASSERT_NE(p->ReadTimer.Event, 0u);
    ASSERT_TRUE(KeInsertQueueDpc(&p->ReadTimerDpc, nullptr, nullptr));  // its run is due now
    EXPECT_TRUE(s.client.CloseHandle(h));
    EXPECT_EQ(p->ReadTimer.Event, 0u);
    EXPECT_EQ(p->ReadTimerDpc.QueuedEvent, 0u);
    s.r.host.run_for(plat::ms(100));
    EXPECT_EQ(p->ReadTimer.Event, 0u) << "a run after close armed the timer again";
    s.r.halt(s.na);
}

TEST(SerialReads, TimeoutSettingsGiveTheCompletionTime)
{
    const uint32_t M = 0xFFFFFFFF;
    struct Case {
        uint32_t i, m, k, length;
        int64_t completes_ms;  // -1: waits for data
    } cases[] = {
        {0, 0, 100, 10, 110},  // the eleventh tick
        {0, 10, 0, 5, 60},     // length x multiplier
        {20, 2, 10, 20, 60},   // 2 x 20 + 10
        {M, M, 30, 8, 40},     // the constant alone
        {M, 0, 0, 8, -1},      // no time-out: waits for the first byte
        {0, 0, 0, 8, -1},
        {M, 5, M, 8, -1},
    };
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.i << "/" << c.m << "/" << c.k << " length " << c.length);
        s.client.start_ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts(c.i, c.m, c.k), 0);
        auto r = s.client.start_read(h, c.length);
        plat::VTime t0 = s.r.host.now();
        bool done = s.client.wait(*r, plat::ms(1000));
        if (c.completes_ms < 0) {
            EXPECT_FALSE(done);
            s.receive(5, "z");
            ASSERT_TRUE(s.client.wait(*r, plat::ms(20)));
            EXPECT_EQ(r->status(), STATUS_SUCCESS);
            continue;
        }
        ASSERT_TRUE(done);
        EXPECT_EQ(r->status(), STATUS_TIMEOUT);
        int64_t took = int64_t((s.r.host.now() - t0) / 1000);
        EXPECT_GT(took, c.completes_ms - 10);
        EXPECT_LE(took, c.completes_ms + 10);
    }
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

TEST(SerialControl, ModemAndCommStatusOfAPortWhoseLinkLostItsPump)
{
    SerialRig s;
    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    s.r.host.run_for(plat::ms(300));
    Link* l = &s.a()->NdisWanInfo[0][0];
    Pump* pump = l->ThisPump;
    s.receive(5, "abc");
    with_adapter_lock(s.a(), [&] { l->ThisPump = nullptr; });  // the call was cleared
    auto r = s.client.start_ioctl(h, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    EXPECT_EQ(r->status(), STATUS_SUCCESS);
    EXPECT_EQ(as_u32(r->output()), 0u);
    s.client.start_ioctl(h, IOCTL_SERIAL_CLR_DTR, {}, 0);
    EXPECT_EQ(s.port(5)->ModemControl & SER_MC_DTR, 0u);
    r = s.client.start_ioctl(h, IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
    SERIAL_STATUS st;
    ASSERT_EQ(r->output().size(), sizeof st);
    std::memcpy(&st, r->output().data(), sizeof st);
    EXPECT_EQ(st.HoldReasons, (ULONG)(SERIAL_HOLD_CTS | SERIAL_HOLD_DSR | SERIAL_HOLD_DCD | SERIAL_HOLD_DTR));
    EXPECT_EQ(st.AmountInInQueue, 3u);
    // A write waits; clean-up still ends it.
    auto w = s.client.start_write(h, {'x'});
    s.r.host.run_for(plat::ms(100));
    EXPECT_FALSE(w->done());
    with_adapter_lock(s.a(), [&] { l->ThisPump = pump; });
    s.client.CloseHandle(h);
    EXPECT_TRUE(w->done());
    s.r.halt(s.na);
}

TEST(SerialPorts, AnAdapterWithPortsInstallsTheHookAfterOneWithout)
{
    SerialRig s({0, 0, 0, 0});
    DRIVER_OBJECT& drv = s.r.host.ndis().driver_object();
    ASSERT_EQ(drv.MajorFunction[IRP_MJ_READ], nullptr);
    // The next adapter brings ports (here the same record, configured with one).
    s.a()->AsyncPorts[0] = 1;
    EXPECT_EQ(ser_CreatePortDevices(&drv, s.a()), STATUS_SUCCESS);
    EXPECT_EQ(drv.MajorFunction[IRP_MJ_READ], ser_MJ_READ);
    EXPECT_EQ(drv.DriverUnload, ser_DriverUnload);
    ASSERT_NE(s.device(5), nullptr);
    HANDLE h = s.open(5);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    s.client.CloseHandle(h);
    s.r.halt(s.na);
}

}  // namespace

// A port no one has open takes no request: nothing would ever end a wait or a read
// there, and its link's pump may serve another owner. Once open, every request the
// port holds goes back with its clean-up, and any sent to it after the clean-up go
// back with its close; the port then opens and serves again.
TEST(SerialRequests, APortNotOpenRefusesRequestsAndItsCloseGivesBackEveryRequestItHolds)
{
    SerialRig s;
    PDEVICE_OBJECT d = s.device(5);
    struct Case {
        const char* name;
        UCHAR major;
        uint32_t code;
        std::vector<uint8_t> in;
        uint32_t out;
    } cases[] = {
        {"set mask", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK, u32(0x1FF), 0},
        {"wait", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4},
        {"set DTR", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_DTR, {}, 0},
        {"modem status", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4},
        {"purge", IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE, u32(SERIAL_PURGE_RXABORT), 0},
        {"read", IRP_MJ_READ, 0, {}, 10},
        {"write", IRP_MJ_WRITE, 0, {'A', 'T', '\r'}, 0},
    };
    auto refused = [&](const char* when) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(when) + ": " + c.name);
            auto r = s.client.send(d, c.major, c.code, c.in, c.out);
            ASSERT_TRUE(r->done());
            EXPECT_EQ(r->status(), STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_EQ(r->information(), 0u);
        }
        EXPECT_EQ(s.port(5)->CurrentWaitIrp, nullptr);
        EXPECT_EQ(s.port(5)->WaitMask, 0u);
    };
    refused("never opened");

    HANDLE h = s.open(5);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto wait = s.client.start_ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, u32(0x1FF), 0);
    ASSERT_EQ(wait->status(), STATUS_SUCCESS);
    wait = s.client.start_ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(wait->done());
    ASSERT_TRUE(s.client.start_cleanup(h)->done());
    ASSERT_TRUE(wait->done());
    EXPECT_EQ(wait->status(), STATUS_CANCELLED);
    // Between clean-up and close: requests straight to the device wait, and the close
    // gives each back.
    std::vector<std::unique_ptr<Request>> late;
    ASSERT_EQ(s.client.send(d, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_RING), 0)->status(),
              STATUS_SUCCESS);
    late.push_back(s.client.send(d, IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4));
    late.push_back(s.client.send(d, IRP_MJ_READ, 0, {}, 10));
    s.r.host.run_for(plat::ms(30));
    for (auto& r : late) ASSERT_FALSE(r->done());
    auto close = s.client.send(d, IRP_MJ_CLOSE, 0, {}, 0);
    ASSERT_TRUE(close->done());
    EXPECT_EQ(close->status(), STATUS_SUCCESS);
    for (auto& r : late) {
        ASSERT_TRUE(r->done());
        EXPECT_EQ(r->status(), STATUS_CANCELLED);
        EXPECT_EQ(r->information(), 0u);
    }
    refused("closed");

    // The port opens again and its waits work as before.
    s.r.host.run_for(plat::ms(3000));
    HANDLE again = s.open(5);
    ASSERT_NE(again, INVALID_HANDLE_VALUE) << std::hex << s.client.last_status();
    ASSERT_EQ(s.client.start_ioctl(again, IOCTL_SERIAL_SET_WAIT_MASK, u32(EV_RXCHAR), 0)->status(), STATUS_SUCCESS);
    auto rx = s.client.start_ioctl(again, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(rx->done());
    auto at = s.client.start_write(again, {'A', 'T', '\r'});
    ASSERT_TRUE(s.client.wait(*rx, plat::ms(2000)));
    EXPECT_EQ(rx->status(), STATUS_SUCCESS);
    EXPECT_EQ(as_u32(rx->output()), uint32_t(EV_RXCHAR));
    EXPECT_TRUE(s.client.CloseHandle(again));
    s.r.halt(s.na);
}
