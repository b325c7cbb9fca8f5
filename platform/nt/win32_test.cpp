// The Win32-side client against a driver of the test's own: time-outs, requests the
// driver keeps after the client gave up, close after clean-up, CancelIo.
#include "platform/nt/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/host/host.h"
#include "platform/ndis/ndis_host.h"

namespace plat::nt {
namespace {

// A driver whose reads of one byte time out at once and whose other reads wait until
// the test completes them or (when `cancellable`) they are cancelled.
struct FakeDriver {
    static inline std::vector<PIRP> held;
    static inline std::vector<UCHAR> majors;
    static inline bool cancellable = true;
    static inline bool held_at_close = false;

    DRIVER_OBJECT drv{};
    PDEVICE_OBJECT dev = nullptr;

    FakeDriver()
    {
        held.clear();
        majors.clear();
        cancellable = true;
        held_at_close = false;
        for (auto& m : drv.MajorFunction) m = dispatch;
        UNICODE_STRING name, link;
        RtlInitUnicodeString(&name, u"\\Device\\FAKE0");
        RtlInitUnicodeString(&link, u"\\DosDevices\\FAKE0");
        EXPECT_EQ(IoCreateDevice(&drv, 0, &name, 0x22, 0, FALSE, &dev), STATUS_SUCCESS);
        EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    }
    static void complete(PIRP irp, NTSTATUS status)
    {
        held.erase(std::remove(held.begin(), held.end(), irp), held.end());
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    static void cancel(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        complete(irp, STATUS_CANCELLED);
    }
    static NTSTATUS dispatch(PDEVICE_OBJECT, PIRP irp)
    {
        UCHAR major = irp->Stack.MajorFunction;
        majors.push_back(major);
        if (major == IRP_MJ_CLOSE) held_at_close = !held.empty();
        if (major != IRP_MJ_READ || irp->Stack.Parameters.Read.Length == 1) {
            NTSTATUS status = major == IRP_MJ_READ ? STATUS_TIMEOUT : STATUS_SUCCESS;
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        IoMarkIrpPending(irp);
        if (cancellable) {
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            IoSetCancelRoutine(irp, cancel);
            IoReleaseCancelSpinLock(irql);
        }
        held.push_back(irp);
        return STATUS_PENDING;
    }
};

class Win32ClientTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const auto& v : host.violations()) ADD_FAILURE() << v;
    }
    Host host;
    FakeDriver fake;
    Win32Client client;
};

TEST_F(Win32ClientTest, AReadThatTimedOutAnswersTrueWithTheBytesItGot)
{
    HANDLE h = client.CreateFile("\\\\.\\FAKE0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char c = 'x';
    uint32_t n = 99;
    EXPECT_TRUE(client.ReadFile(h, &c, 1, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(client.last_status(), STATUS_TIMEOUT);
    EXPECT_TRUE(client.CloseHandle(h));
}

TEST_F(Win32ClientTest, ARequestTheDriverStillHoldsIsNotFreedWhenTheClientGivesUp)
{
    FakeDriver::cancellable = false;
    client.wait_limit = ms(50);
    HANDLE h = client.CreateFile("\\\\.\\FAKE0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[8];
    uint32_t n = 0;
    EXPECT_FALSE(client.ReadFile(h, buf, sizeof buf, &n));
    EXPECT_EQ(client.last_status(), STATUS_TIMEOUT);
    ASSERT_EQ(FakeDriver::held.size(), 1u);
    EXPECT_EQ(client.outstanding(h), 1u);
    // The driver completes it late: the request is still there to complete.
    FakeDriver::complete(FakeDriver::held[0], STATUS_SUCCESS);
    EXPECT_EQ(client.outstanding(h), 0u);
    EXPECT_TRUE(client.CloseHandle(h));
}

TEST_F(Win32ClientTest, CloseIsSentOnlyOnceEveryRequestOfTheHandleCompleted)
{
    FakeDriver::cancellable = false;
    HANDLE h = client.CreateFile("\\\\.\\FAKE0");
    auto read = client.start_read(h, 8);
    ASSERT_FALSE(read->done());
    PIRP irp = &read->irp;
    host.sched.after(ms(200), [irp] { FakeDriver::complete(irp, STATUS_SUCCESS); });
    VTime t0 = host.now();
    EXPECT_TRUE(client.CloseHandle(h));
    EXPECT_TRUE(read->done());
    EXPECT_GE(host.now() - t0, ms(200));
    EXPECT_FALSE(FakeDriver::held_at_close);
    EXPECT_EQ(FakeDriver::majors.back(), IRP_MJ_CLOSE);
}

TEST_F(Win32ClientTest, CancelIoCancelsTheRequestsOfThatHandleOnly)
{
    HANDLE h1 = client.CreateFile("\\\\.\\FAKE0");
    HANDLE h2 = client.CreateFile("\\\\.\\FAKE0");
    auto a = client.start_read(h1, 8);
    auto b = client.start_read(h1, 8);
    auto c = client.start_read(h2, 8);
    EXPECT_TRUE(client.CancelIo(h1));
    for (auto* r : {a.get(), b.get()}) {
        ASSERT_TRUE(r->done());
        EXPECT_EQ(r->status(), STATUS_CANCELLED);
    }
    EXPECT_FALSE(c->done());
    EXPECT_EQ(client.outstanding(h2), 1u);
    EXPECT_TRUE(client.CloseHandle(h1));
    EXPECT_TRUE(client.CancelIo(h2));
    EXPECT_TRUE(client.CloseHandle(h2));
    EXPECT_FALSE(client.CancelIo(h2)) << "a closed handle";
}

// The driver's dispatch entries and its cancel routines are its entry points: their
// CPU time is counted with the rest of the driver's.
TEST_F(Win32ClientTest, DispatchAndCancelRoutinesAreCountedAsTheDriversEntries)
{
    ndis::NdisState& n = host.ndis();
    n.measure_driver_cpu = true;
    n.driver_cpu_sample = 1;
    HANDLE h = client.CreateFile("\\\\.\\FAKE0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(n.driver_entries, 1u) << "create";
    auto r = client.start_read(h, 8);
    EXPECT_EQ(n.driver_entries, 2u) << "read";
    EXPECT_TRUE(client.CancelIo(h));
    ASSERT_TRUE(r->done());
    EXPECT_EQ(n.driver_entries, 3u) << "cancel routine";
    EXPECT_TRUE(client.CloseHandle(h));
    EXPECT_EQ(n.driver_entries, 5u) << "clean-up and close";
    n.measure_driver_cpu = false;
}

TEST_F(Win32ClientTest, FreeingARequestTheDriverHoldsIsAViolation)
{
    HANDLE h = client.CreateFile("\\\\.\\FAKE0");
    auto r = client.start_read(h, 8);
    PIRP irp = &r->irp;
    // Complete it from the driver's list first so the fake never touches freed memory.
    FakeDriver::held.erase(std::remove(FakeDriver::held.begin(), FakeDriver::held.end(), irp), FakeDriver::held.end());
    r.reset();
    ASSERT_EQ(host.violations().size(), 1u);
    EXPECT_NE(host.violations()[0].find("freed while the driver holds it"), std::string::npos);
    host.clear_violations();
    EXPECT_EQ(client.outstanding(h), 0u);
}

}  // namespace
}  // namespace plat::nt
