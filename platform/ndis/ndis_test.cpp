#include "platform/ndis/ndis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/ndis/ndis_host.h"

int plat_ndis_open_configs();
int plat_ndis_open_files();
int plat_ndis_locks_held();

namespace plat::ndis {
namespace {

class NdisTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(host.violations().empty()); }
    // Whether a violation containing `needle` was recorded; clears them.
    bool violated(const std::string& needle)
    {
        bool found = false;
        for (const auto& v : host.violations()) found |= v.find(needle) != std::string::npos;
        host.clear_violations();
        return found;
    }
    Host host;
};

// ---- spin locks ----

TEST_F(NdisTest, SpinLockRaisesToDispatchAndRestoresTheLevel)
{
    NDIS_SPIN_LOCK a, b;
    NdisAllocateSpinLock(&a);
    NdisAllocateSpinLock(&b);
    NdisAcquireSpinLock(&a);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    NdisDprAcquireSpinLock(&b);
    EXPECT_EQ(plat_ndis_locks_held(), 2);
    NdisDprReleaseSpinLock(&b);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    NdisReleaseSpinLock(&a);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(plat_ndis_locks_held(), 0);

    host.raise_irql(kDispatchLevel);  // taken at dispatch, released back to dispatch
    NdisAcquireSpinLock(&a);
    NdisReleaseSpinLock(&a);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    host.lower_irql(kPassiveLevel);
    NdisFreeSpinLock(&a);
    NdisFreeSpinLock(&b);
}

TEST_F(NdisTest, SpinLockMisuseIsAViolation)
{
    struct Case {
        const char* expect;
        std::function<void(NDIS_SPIN_LOCK&)> misuse;
    };
    const Case cases[] = {
        {"already held", [](NDIS_SPIN_LOCK& l) { NdisAcquireSpinLock(&l); NdisAcquireSpinLock(&l); }},
        {"not held", [](NDIS_SPIN_LOCK& l) { NdisReleaseSpinLock(&l); }},
        {"interrupt level",
         [this](NDIS_SPIN_LOCK& l) {
             host.raise_irql(kDeviceLevel);
             NdisAcquireSpinLock(&l);
         }},
        {"never initialised",
         [](NDIS_SPIN_LOCK& l) {
             NdisFreeSpinLock(&l);
             NdisAcquireSpinLock(&l);
         }},
        {"below dispatch", [](NDIS_SPIN_LOCK& l) { NdisDprAcquireSpinLock(&l); }},
        {"freeing a held", [](NDIS_SPIN_LOCK& l) { NdisAcquireSpinLock(&l); NdisFreeSpinLock(&l); }},
    };
    for (const auto& c : cases) {
        NDIS_SPIN_LOCK l;
        NdisAllocateSpinLock(&l);
        c.misuse(l);
        EXPECT_TRUE(violated(c.expect)) << c.expect;
        host.lower_irql(kPassiveLevel);
    }
}

// Two locks released in the order they were taken: the first one's release lowers the
// level to passive while the second is still held.
TEST_F(NdisTest, LoweringBelowDispatchWithALockStillHeldIsAViolation)
{
    KSPIN_LOCK first, second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    KIRQL passive = KfAcquireSpinLock(&first);
    KIRQL dispatch = KfAcquireSpinLock(&second);
    KfReleaseSpinLock(&second, dispatch);
    KfReleaseSpinLock(&first, passive);
    EXPECT_FALSE(violated("lowered below dispatch")) << "reverse order is sound";
    passive = KfAcquireSpinLock(&first);
    dispatch = KfAcquireSpinLock(&second);
    KfReleaseSpinLock(&first, passive);
    EXPECT_TRUE(violated("level lowered below dispatch with a spin lock held"));
    KfReleaseSpinLock(&second, dispatch);
    host.lower_irql(kPassiveLevel);
}

TEST_F(NdisTest, UpcallWithASpinLockHeldIsAViolation)
{
    struct Case {
        const char* name;
        std::function<void()> call;
    };
    NDIS_WAN_PACKET packet{};
    UCHAR data[2] = {1, 2};
    const Case cases[] = {
        {"NdisMWanSendComplete", [&] { NdisMWanSendComplete(nullptr, &packet, NDIS_STATUS_SUCCESS); }},
        {"NdisMWanIndicateReceive",
         [&] {
             NDIS_STATUS s;
             NdisMWanIndicateReceive(&s, nullptr, 1, data, sizeof data);
         }},
        {"NdisMWanIndicateReceiveComplete", [] { NdisMWanIndicateReceiveComplete(nullptr, 1); }},
    };
    NDIS_SPIN_LOCK l;
    NdisAllocateSpinLock(&l);
    for (const auto& c : cases) {
        c.call();
        EXPECT_TRUE(host.violations().empty()) << c.name << " without a lock";
        NdisAcquireSpinLock(&l);
        c.call();
        NdisReleaseSpinLock(&l);
        EXPECT_TRUE(violated(std::string(c.name) + " called with a spin lock held")) << c.name;
    }
}

// ---- memory ----

TEST_F(NdisTest, AllocationsAreCountedAndTheNthCanBeMadeToFail)
{
    host.faults.fail_at(FaultInjector::Alloc, 2);
    PVOID a = nullptr, b = reinterpret_cast<PVOID>(1), c = nullptr;
    EXPECT_EQ(NdisAllocateMemory(&a, 64, 0, NdisHighestAddress()), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(NdisAllocateMemory(&b, 64, 0, NdisHighestAddress()), NDIS_STATUS_FAILURE);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(NdisAllocateMemory(&c, 32, 0, NdisHighestAddress()), NDIS_STATUS_SUCCESS);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(host.allocations, (std::map<const void*, size_t>{{a, 64}, {c, 32}}));
    EXPECT_NE(static_cast<uint8_t*>(a)[0], 0) << "pool memory comes unzeroed";

    NdisFreeMemory(a, 64, 0);
    NdisFreeMemory(c, 32, 0);
    EXPECT_TRUE(host.allocations.empty());
    EXPECT_EQ(NdisAllocateMemory(&a, 0, 0, NdisHighestAddress()), NDIS_STATUS_FAILURE);
}

TEST_F(NdisTest, FreeingMemoryWronglyIsAViolation)
{
    PVOID p = nullptr;
    ASSERT_EQ(NdisAllocateMemory(&p, 16, 0, NdisHighestAddress()), NDIS_STATUS_SUCCESS);
    NdisFreeMemory(p, 8, 0);
    EXPECT_TRUE(violated("length other than"));
    EXPECT_TRUE(host.allocations.empty());
    NdisFreeMemory(p, 16, 0);
    EXPECT_TRUE(violated("not allocated"));
}

// ---- timers ----

struct TimerLog {
    std::vector<std::pair<VTime, uint8_t>> fired;  // time, level
    static void fn(PVOID, PVOID ctx, PVOID, PVOID)
    {
        auto* self = static_cast<TimerLog*>(ctx);
        self->fired.push_back({Host::current().now(), KeGetCurrentIrql()});
    }
};

class TimerTest : public NdisTest {
protected:
    void SetUp() override { NdisMInitializeTimer(&timer, nullptr, &TimerLog::fn, &log); }
    using Fired = std::vector<std::pair<VTime, uint8_t>>;
    NDIS_MINIPORT_TIMER timer;
    TimerLog log;
};

TEST_F(TimerTest, FiresOnceAtItsTimeAtDispatchLevel)
{
    NdisMSetTimer(&timer, 50);
    host.run_for(ms(50) - 1);
    EXPECT_TRUE(log.fired.empty());
    host.run_for(ms(500));
    EXPECT_EQ(log.fired, (Fired{{ms(50), kDispatchLevel}}));
    EXPECT_EQ(host.irql(), kPassiveLevel);
}

TEST_F(TimerTest, RearmingReplacesThePendingExpiry)
{
    NdisMSetTimer(&timer, 50);
    host.run_for(ms(10));
    NdisSetTimer(&timer, 100);
    host.run_for(ms(500));
    EXPECT_EQ(log.fired, (Fired{{ms(110), kDispatchLevel}}));
}

TEST_F(TimerTest, CancelStopsItAndReportsWhetherItWasArmed)
{
    BOOLEAN cancelled = FALSE;
    NdisMSetTimer(&timer, 50);
    host.run_for(ms(10));
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_TRUE(cancelled);
    NdisCancelTimer(&timer, &cancelled);
    EXPECT_FALSE(cancelled);
    host.run_for(ms(500));
    EXPECT_TRUE(log.fired.empty());

    NdisMSetTimer(&timer, 5);
    host.run_for(ms(5));
    cancelled = TRUE;
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_FALSE(cancelled) << "already fired";
    EXPECT_EQ(log.fired.size(), 1u);
}

TEST_F(TimerTest, MissedCancelStillRunsTheCallbackAsTheNextEvent)
{
    NdisMSetTimer(&timer, 50);
    host.run_for(ms(10));
    std::vector<std::string> order;
    host.sched.after(1, [&] { order.push_back(log.fired.empty() ? "other first" : "timer first"); });
    host.ndis().cancel_misses_next = true;
    BOOLEAN cancelled = TRUE;
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_FALSE(cancelled);
    EXPECT_FALSE(host.ndis().cancel_misses_next) << "only the next cancel misses";
    host.run_for(ms(500));
    EXPECT_EQ(log.fired, (Fired{{ms(10), kDispatchLevel}}));
    EXPECT_EQ(order, std::vector<std::string>{"timer first"});

    NdisMSetTimer(&timer, 50);
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_TRUE(cancelled);
}

TEST_F(TimerTest, SettingAnUninitialisedTimerIsAViolation)
{
    NDIS_MINIPORT_TIMER raw{};
    NdisMSetTimer(&raw, 10);
    EXPECT_TRUE(violated("never initialised"));
    host.run_for(ms(20));
}

TEST_F(NdisTest, FreeingMemoryThatHoldsAnArmedTimerIsAViolationAndTheTimerNeverFires)
{
    struct Block {
        uint64_t before;
        NDIS_MINIPORT_TIMER timer;
    };
    TimerLog log;
    PVOID p = nullptr;
    ASSERT_EQ(NdisAllocateMemory(&p, sizeof(Block), 0, NdisHighestAddress()), NDIS_STATUS_SUCCESS);
    auto* b = static_cast<Block*>(p);
    NdisMInitializeTimer(&b->timer, nullptr, &TimerLog::fn, &log);

    NdisMSetTimer(&b->timer, 10);  // fired, then cancelled: both free cleanly
    host.run_for(ms(10));
    NdisMSetTimer(&b->timer, 10);
    BOOLEAN cancelled;
    NdisMCancelTimer(&b->timer, &cancelled);
    EXPECT_TRUE(host.violations().empty());

    NdisMSetTimer(&b->timer, 10);
    NdisFreeMemory(p, sizeof(Block), 0);
    EXPECT_TRUE(violated("armed timer"));
    host.run_for(ms(50));  // would run the timer out of freed memory
    EXPECT_EQ(log.fired.size(), 1u);
}

// ---- configuration ----

class ConfigTest : public NdisTest {
protected:
    void SetUp() override
    {
        host.registry.set_dword(key, "Dword", 1544);
        host.registry.set_sz(key, "Decimal", "2048");
        host.registry.set_sz(key, "Hex", "1F");
        host.registry.set_sz(key, "Bad", "12x");
        host.registry.set_sz(key, "Empty", "");
        host.registry.set_sz(key, "Negative", "-1");
        host.registry.set_sz(key, "TooBig", "4294967296");
        host.registry.set_sz(key, "Max", "4294967295");
        host.registry.set_sz(key, "Name", "Line 1");
        host.registry.set_sz(key, "Switch", "NI1");
        host.registry.set_value(key, "Multi", reg::Value::MultiSz({"ab", "c"}));
        host.registry.set_value(key, "Blob", reg::Value::Binary({1, 2}));
        NDIS_STATUS s;
        NdisOpenConfiguration(&s, &config, &key);
        ASSERT_EQ(s, NDIS_STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (config != nullptr) NdisCloseConfiguration(config);
        EXPECT_EQ(plat_ndis_open_configs(), 0);
        NdisTest::TearDown();
    }
    PNDIS_CONFIGURATION_PARAMETER read(const char16_t* name, NDIS_PARAMETER_TYPE type, NDIS_STATUS* status)
    {
        NDIS_STRING keyword;
        NdisInitUnicodeString(&keyword, name);
        PNDIS_CONFIGURATION_PARAMETER p = reinterpret_cast<PNDIS_CONFIGURATION_PARAMETER>(1);
        NdisReadConfiguration(status, &p, config, &keyword, type);
        return p;
    }
    static std::u16string text(const NDIS_STRING& s, size_t extra_units = 0)
    {
        return std::u16string(s.Buffer, s.Length / 2 + extra_units);
    }
    std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VORNET1\\Parameters";
    NDIS_HANDLE config = nullptr;
};

TEST_F(ConfigTest, IntegersReadFromDwordAndFromText)
{
    struct Case {
        const char16_t* name;
        NDIS_PARAMETER_TYPE type;
        bool ok;
        ULONG value;
    };
    const Case cases[] = {
        {u"Dword", NdisParameterInteger, true, 1544},
        {u"dword", NdisParameterHexInteger, true, 1544},  // names compare without case
        {u"Decimal", NdisParameterInteger, true, 2048},
        {u"Hex", NdisParameterHexInteger, true, 0x1F},
        {u"Max", NdisParameterInteger, true, 0xFFFFFFFF},
        {u"Hex", NdisParameterInteger, false, 0},
        {u"Bad", NdisParameterInteger, false, 0},
        {u"Empty", NdisParameterInteger, false, 0},
        {u"Negative", NdisParameterInteger, false, 0},
        {u"TooBig", NdisParameterInteger, false, 0},
        {u"Multi", NdisParameterInteger, false, 0},
        {u"Blob", NdisParameterInteger, false, 0},
        {u"Missing", NdisParameterInteger, false, 0},
    };
    for (const auto& c : cases) {
        NDIS_STATUS s;
        auto* p = read(c.name, c.type, &s);
        std::string name(c.name, c.name + std::char_traits<char16_t>::length(c.name));
        EXPECT_EQ(s == NDIS_STATUS_SUCCESS, c.ok) << name;
        if (!c.ok) {
            EXPECT_EQ(p, nullptr) << name;
            continue;
        }
        ASSERT_NE(p, nullptr) << name;
        EXPECT_EQ(p->ParameterType, c.type) << name;
        EXPECT_EQ(p->ParameterData.IntegerData, c.value) << name;
    }
}

TEST_F(ConfigTest, StringsAreCountedUtf16AndStayValidUntilClose)
{
    NDIS_STATUS s1, s2, s3;
    auto* name = read(u"Name", NdisParameterString, &s1);
    auto* sw = read(u"Switch", NdisParameterString, &s2);
    auto* more = read(u"Name", NdisParameterString, &s3);  // more reads must not move earlier strings
    ASSERT_EQ(s1, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(s2, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(s3, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(name->ParameterType, NdisParameterString);
    EXPECT_EQ(name->ParameterData.StringData.Length, 12);
    EXPECT_EQ(name->ParameterData.StringData.MaximumLength, 14);
    EXPECT_EQ(text(name->ParameterData.StringData, 1), std::u16string(u"Line 1", 7));
    EXPECT_EQ(text(sw->ParameterData.StringData), u"NI1");
    EXPECT_EQ(narrow(more->ParameterData.StringData), "Line 1");

    NDIS_STATUS s;
    EXPECT_EQ(read(u"Dword", NdisParameterString, &s), nullptr);
    EXPECT_EQ(s, NDIS_STATUS_FAILURE);
}

TEST_F(ConfigTest, MultiStringHoldsEachStringNulEndedThenANul)
{
    NDIS_STATUS s;
    auto* p = read(u"Multi", NdisParameterMultiString, &s);
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(p->ParameterType, NdisParameterMultiString);
    EXPECT_EQ(text(p->ParameterData.StringData, 1), std::u16string(u"ab\0c\0\0", 6));

    p = read(u"Switch", NdisParameterMultiString, &s);  // a single string reads as a list of one
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(text(p->ParameterData.StringData, 1), std::u16string(u"NI1\0\0", 5));
}

TEST_F(ConfigTest, OpenFailsWhenInjectedOrWithoutAContext)
{
    NDIS_STATUS s;
    NDIS_HANDLE h = reinterpret_cast<NDIS_HANDLE>(1);
    host.faults.fail_at(FaultInjector::Config, 1);
    NdisOpenConfiguration(&s, &h, &key);
    EXPECT_EQ(s, NDIS_STATUS_FAILURE);
    EXPECT_EQ(h, nullptr);
    NdisOpenConfiguration(&s, &h, nullptr);
    EXPECT_EQ(s, NDIS_STATUS_FAILURE);
    EXPECT_EQ(plat_ndis_open_configs(), 1);
    NdisCloseConfiguration(nullptr);
    EXPECT_TRUE(violated("null configuration handle"));
}

// ---- files ----

class FileTest : public NdisTest {
protected:
    void SetUp() override
    {
        host.files_root = std::filesystem::temp_directory_path() / ("vornet_ndis_test_" + std::to_string(getpid()));
        std::filesystem::create_directories(host.files_root / "sub");
        std::ofstream(host.files_root / "fw.bin", std::ios::binary).write("\x01\x02\x03\x00\x05", 5);
        std::ofstream(host.files_root / "sub" / "empty.bin", std::ios::binary);
        std::ofstream(host.files_root.parent_path() / "vornet_outside.bin", std::ios::binary) << "x";
    }
    void TearDown() override
    {
        std::filesystem::remove_all(host.files_root);
        std::filesystem::remove(host.files_root.parent_path() / "vornet_outside.bin");
        EXPECT_EQ(plat_ndis_open_files(), 0);
        NdisTest::TearDown();
    }
    NDIS_STATUS open(const char16_t* name, NDIS_HANDLE* h, UINT* length)
    {
        NDIS_STRING s;
        NdisInitUnicodeString(&s, name);
        NDIS_STATUS status;
        NdisOpenFile(&status, h, length, &s, NdisHighestAddress());
        return status;
    }
};

TEST_F(FileTest, OpenMapUnmapClose)
{
    NDIS_HANDLE h;
    UINT length;
    ASSERT_EQ(open(u"fw.bin", &h, &length), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(length, 5u);
    NDIS_STATUS s;
    PVOID data;
    NdisMapFile(&s, &data, h);
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + 5),
              (std::vector<uint8_t>{1, 2, 3, 0, 5}));
    PVOID again;
    NdisMapFile(&s, &again, h);
    EXPECT_NE(s, NDIS_STATUS_SUCCESS) << "mapped twice";
    NdisUnmapFile(h);
    NdisCloseFile(h);

    ASSERT_EQ(open(u"sub/empty.bin", &h, &length), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(length, 0u);
    NdisCloseFile(h);
}

TEST_F(FileTest, NamesThatAreMissingOrLeaveTheRootAreNotFound)
{
    for (const char16_t* name : {u"nope.bin", u"", u"../vornet_outside.bin", u"sub/../fw.bin", u"/etc/hostname"}) {
        NDIS_HANDLE h = reinterpret_cast<NDIS_HANDLE>(1);
        UINT length = 7;
        EXPECT_EQ(open(name, &h, &length), NDIS_STATUS_FILE_NOT_FOUND);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(length, 0u);
    }
    const std::string outside = (host.files_root.parent_path() / "vornet_outside.bin").string();
    std::u16string abs = widen(outside);
    NDIS_HANDLE h = reinterpret_cast<NDIS_HANDLE>(1);
    UINT length;
    EXPECT_EQ(open(abs.c_str(), &h, &length), NDIS_STATUS_FILE_NOT_FOUND) << outside;
    if (h != nullptr) NdisCloseFile(h);
}

TEST_F(FileTest, OpenAndMapFailWhenInjected)
{
    NDIS_HANDLE h;
    UINT length;
    host.faults.fail_at(FaultInjector::FileOpen, 2);
    ASSERT_EQ(open(u"fw.bin", &h, &length), NDIS_STATUS_SUCCESS);
    NdisCloseFile(h);
    EXPECT_EQ(open(u"fw.bin", &h, &length), NDIS_STATUS_FILE_NOT_FOUND);
    ASSERT_EQ(open(u"fw.bin", &h, &length), NDIS_STATUS_SUCCESS);

    host.faults.fail_at(FaultInjector::FileMap, 1);
    NDIS_STATUS s;
    PVOID data = reinterpret_cast<PVOID>(1);
    NdisMapFile(&s, &data, h);
    EXPECT_EQ(s, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(data, nullptr);
    NdisMapFile(&s, &data, h);
    EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
    NdisUnmapFile(h);
    NdisCloseFile(h);
}

TEST_F(FileTest, ClosingAMappedFileOrUnmappingAnUnmappedOneIsAViolation)
{
    NDIS_HANDLE h;
    UINT length;
    ASSERT_EQ(open(u"fw.bin", &h, &length), NDIS_STATUS_SUCCESS);
    NdisUnmapFile(h);
    EXPECT_TRUE(violated("not mapped"));
    NDIS_STATUS s;
    PVOID data;
    NdisMapFile(&s, &data, h);
    NdisCloseFile(h);
    EXPECT_TRUE(violated("still mapped"));
}

// ---- error log ----

TEST_F(NdisTest, ErrorLogKeepsTheCodeAndEachValue)
{
    NdisWriteErrorLogEntry(nullptr, NDIS_ERROR_CODE_HARDWARE_FAILURE, 3, ULONG(1), ULONG(0xFFFFFFFF), ULONG(0x80));
    NdisWriteErrorLogEntry(nullptr, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 0);
    ASSERT_EQ(host.error_log.size(), 2u);
    EXPECT_EQ(host.error_log[0].code, NDIS_ERROR_CODE_HARDWARE_FAILURE);
    EXPECT_EQ(host.error_log[0].values, (std::vector<uint32_t>{1, 0xFFFFFFFF, 0x80}));
    EXPECT_EQ(host.error_log[1].code, NDIS_ERROR_CODE_OUT_OF_RESOURCES);
    EXPECT_TRUE(host.error_log[1].values.empty());
}

// ---- a fake miniport ----

struct FakeMiniport {
    static constexpr uint32_t kVector = 30;
    NDIS_HANDLE handle = nullptr;
    NDIS_MINIPORT_INTERRUPT interrupt{};
    std::string registry_path;
    NDIS_STATUS register_status = 0;
    std::function<void(NDIS_MINIPORT_CHARACTERISTICS&)> adjust;  // before registration
    NDIS_MEDIUM medium = NdisMediumWan;
    bool deregister_on_halt = true;
    bool hung = false;
    bool line = false;  // the device's interrupt source
    PKSPIN_LOCK isr_lock = nullptr;  // a lock the ISR takes above device level, when set
    std::vector<std::string> log;
    int hang_checks = 0;
    int resets = 0;

    static FakeMiniport* self;
    void note(const std::string& what) { log.push_back(what + "@" + std::to_string(KeGetCurrentIrql())); }
    void set_line(bool on)
    {
        line = on;
        Host::current().irq.set_level(kVector, this, on);
    }

    static NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING path)
    {
        self->registry_path = narrow(*path);
        NDIS_HANDLE wrapper;
        NdisInitializeWrapper(&wrapper, driver, path, nullptr);
        NDIS_MINIPORT_CHARACTERISTICS c{};
        c.MajorNdisVersion = 4;
        c.Reserved = 1;
        c.CheckForHangHandler = [](NDIS_HANDLE ctx) -> BOOLEAN {
            auto* m = static_cast<FakeMiniport*>(ctx);
            ++m->hang_checks;
            m->note("hang");
            return m->hung;
        };
        c.EnableInterruptHandler = [](NDIS_HANDLE ctx) { static_cast<FakeMiniport*>(ctx)->note("enable"); };
        c.HandleInterruptHandler = [](NDIS_HANDLE ctx) { static_cast<FakeMiniport*>(ctx)->note("dpc"); };
        c.HaltHandler = [](NDIS_HANDLE ctx) {
            auto* m = static_cast<FakeMiniport*>(ctx);
            if (m->deregister_on_halt) NdisMDeregisterInterrupt(&m->interrupt);
        };
        c.InitializeHandler = [](PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM media, UINT count, NDIS_HANDLE handle,
                                 NDIS_HANDLE config) -> NDIS_STATUS {
            FakeMiniport* m = self;
            m->handle = handle;
            for (UINT i = 0; i < count; ++i)
                if (media[i] == m->medium) *selected = i;
            NDIS_STATUS s;
            NDIS_HANDLE h;
            NdisOpenConfiguration(&s, &h, config);
            if (s != NDIS_STATUS_SUCCESS) return s;
            NdisCloseConfiguration(h);
            NdisMSetAttributes(handle, m, TRUE, NdisInterfacePci);
            return NdisMRegisterInterrupt(&m->interrupt, handle, kVector, kVector, TRUE, TRUE,
                                          NdisInterruptLevelSensitive);
        };
        c.ISRHandler = [](PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE ctx) {
            auto* m = static_cast<FakeMiniport*>(ctx);
            m->note("isr");
            if (m->isr_lock != nullptr) {
                KIRQL old;
                KeRaiseIrql(plat::kHighLevel, &old);
                KeAcquireSpinLockAtDpcLevel(m->isr_lock);
                KeReleaseSpinLockFromDpcLevel(m->isr_lock);
                KeLowerIrql(old);
            }
            *recognized = *queue = m->line;
            if (m->line) m->set_line(false);
        };
        c.QueryInformationHandler = [](NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) -> NDIS_STATUS {
            return NDIS_STATUS_SUCCESS;
        };
        c.ResetHandler = [](PBOOLEAN, NDIS_HANDLE ctx) -> NDIS_STATUS {
            auto* m = static_cast<FakeMiniport*>(ctx);
            ++m->resets;
            m->note("reset");
            return NDIS_STATUS_SUCCESS;
        };
        c.WanSendHandler = [](NDIS_HANDLE, NDIS_WAN_LINK_HANDLE, PNDIS_WAN_PACKET) -> NDIS_STATUS {
            return NDIS_STATUS_PENDING;
        };
        c.SetInformationHandler = [](NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) -> NDIS_STATUS {
            return NDIS_STATUS_SUCCESS;
        };
        if (self->adjust) self->adjust(c);
        self->register_status = NdisMRegisterMiniport(wrapper, &c, sizeof c);
        if (self->register_status != NDIS_STATUS_SUCCESS) NdisTerminateWrapper(wrapper, nullptr);
        return self->register_status == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
};
FakeMiniport* FakeMiniport::self = nullptr;

class MiniportTest : public NdisTest {
protected:
    MiniportTest() { FakeMiniport::self = &fake; }
    ~MiniportTest() override { FakeMiniport::self = nullptr; }
    Adapter* bring_up()
    {
        EXPECT_EQ(host.ndis().load_driver(&FakeMiniport::driver_entry), STATUS_SUCCESS);
        return host.ndis().initialize(1);
    }
    FakeMiniport fake;
};

TEST_F(MiniportTest, LoadRegistersAndInitializeAttachesTheAdapter)
{
    Adapter* a = bring_up();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(fake.registry_path, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vornet");
    EXPECT_TRUE(host.ndis().miniport_registered());
    EXPECT_TRUE(host.ndis().wrapper_open());
    EXPECT_EQ(fake.handle, a);
    EXPECT_EQ(a->context, &fake);
    EXPECT_TRUE(a->bus_master);
    EXPECT_TRUE(a->initialised);
    EXPECT_EQ(a->service, "VORNET1");
    EXPECT_EQ(host.irq.connections(), 1u);
    host.ndis().halt(a);
    EXPECT_EQ(host.irq.connections(), 0u);
}

TEST_F(MiniportTest, RegistrationRejectsBadCharacteristics)
{
    struct Case {
        const char* what;
        std::function<void(NDIS_MINIPORT_CHARACTERISTICS&)> adjust;
        NDIS_STATUS expect;
    };
    const Case cases[] = {
        {"version 3.0", [](NDIS_MINIPORT_CHARACTERISTICS& c) { c.MajorNdisVersion = 3; }, NDIS_STATUS_BAD_VERSION},
        {"version 4.1", [](NDIS_MINIPORT_CHARACTERISTICS& c) { c.MinorNdisVersion = 1; }, NDIS_STATUS_BAD_VERSION},
        {"no halt", [](NDIS_MINIPORT_CHARACTERISTICS& c) { c.HaltHandler = nullptr; },
         NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no send", [](NDIS_MINIPORT_CHARACTERISTICS& c) { c.WanSendHandler = nullptr; },
         NDIS_STATUS_BAD_CHARACTERISTICS},
    };
    for (const auto& c : cases) {
        fake.adjust = c.adjust;
        EXPECT_EQ(host.ndis().load_driver(&FakeMiniport::driver_entry), STATUS_UNSUCCESSFUL) << c.what;
        EXPECT_EQ(fake.register_status, c.expect) << c.what;
        EXPECT_FALSE(host.ndis().miniport_registered()) << c.what;
    }
    EXPECT_EQ(host.ndis().initialize(1), nullptr);
    EXPECT_TRUE(violated("no miniport registered"));
}

TEST_F(MiniportTest, InterruptRunsIsrThenDeferredThenEnableAtTheirLevels)
{
    Adapter* a = bring_up();
    ASSERT_NE(a, nullptr);
    const std::string isr = "isr@" + std::to_string(plat::interrupt_irql(FakeMiniport::kVector));
    fake.set_line(true);
    EXPECT_EQ(fake.log, std::vector<std::string>{isr});
    fake.set_line(true);  // raised again before the deferred handler ran: queued once
    host.run_for(0);
    EXPECT_EQ(fake.log, (std::vector<std::string>{isr, isr, "dpc@2", "enable@5"}));
    EXPECT_EQ(host.irql(), kPassiveLevel);
    host.ndis().halt(a);
}

TEST_F(MiniportTest, InterruptIsHeldOffWhileSynchronisedAndDeferredHandlerSkippedOnceDeregistered)
{
    Adapter* a = bring_up();
    ASSERT_NE(a, nullptr);
    auto sync = [](PVOID ctx) -> BOOLEAN {
        auto* m = static_cast<FakeMiniport*>(ctx);
        m->note("sync");
        m->set_line(true);
        return TRUE;
    };
    EXPECT_TRUE(NdisMSynchronizeWithInterrupt(&fake.interrupt, reinterpret_cast<PVOID>(+sync), &fake));
    // Formatted (GCC 12 at -O3 warns falsely of overlapping copies in string concatenation).
    char sync_at[32], isr_at[32];
    std::snprintf(sync_at, sizeof sync_at, "sync@%u", unsigned(plat::interrupt_irql(FakeMiniport::kVector)));
    std::snprintf(isr_at, sizeof isr_at, "isr@%u", unsigned(plat::interrupt_irql(FakeMiniport::kVector)));
    EXPECT_EQ(fake.log, (std::vector<std::string>{sync_at, isr_at}));
    NdisMDeregisterInterrupt(&fake.interrupt);
    host.run_for(ms(1));
    EXPECT_EQ(fake.log.size(), 2u);
    fake.deregister_on_halt = false;
    host.ndis().halt(a);
}

// The second processor takes the interrupt at the start of each synchronised section
// of this one; its ISR is kept out by the interrupt's own synchronisation and by a spin
// lock it shares with this processor (given up, nothing left held), and runs otherwise.
TEST_F(MiniportTest, ASecondProcessorsIsrIsKeptOutOnlyByWhatItNeeds)
{
    Adapter* a = bring_up();
    ASSERT_NE(a, nullptr);
    NdisState& n = host.ndis();
    n.second_processor = true;
    KSPIN_LOCK shared, other;
    KeInitializeSpinLock(&shared);
    KeInitializeSpinLock(&other);
    fake.isr_lock = &shared;
    auto nothing = [](PVOID) -> BOOLEAN { return TRUE; };
    NdisMSynchronizeWithInterrupt(&fake.interrupt, reinterpret_cast<PVOID>(+nothing), &fake);
    EXPECT_EQ(n.second_processor_tries, 1u);
    EXPECT_EQ(n.second_processor_isrs, 0u) << "kept out by its own synchronisation";

    struct Case {
        const char* name;
        PKSPIN_LOCK taken;
        uint64_t isrs;
    } cases[] = {{"a lock the ISR does not take", &other, 1}, {"the lock the ISR takes", &shared, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KIRQL old;
        KeRaiseIrql(plat::kHighLevel, &old);
        KeAcquireSpinLockAtDpcLevel(c.taken);
        EXPECT_EQ(plat_ndis_locks_held(), 1);
        EXPECT_EQ(KeGetCurrentIrql(), plat::kHighLevel) << "this processor's level is its own";
        KeReleaseSpinLockFromDpcLevel(c.taken);
        KeLowerIrql(old);
        EXPECT_EQ(n.second_processor_isrs, c.isrs);
    }
    EXPECT_EQ(n.second_processor_tries, 3u);
    EXPECT_EQ(std::count(fake.log.begin(), fake.log.end(), "isr@" + std::to_string(fake.interrupt.Irql)), 2)
        << "the ISR given up began once";
    EXPECT_EQ(plat_ndis_locks_held(), 0);
    EXPECT_FALSE(shared.Held);
    n.second_processor = false;
    EXPECT_TRUE(host.violations().empty());
    host.ndis().halt(a);
}

// Each interrupt has its own level; synchronising with one from above its level (from
// inside a synchronisation with a higher one) would lower the level and is flagged.
TEST_F(MiniportTest, SynchronisingBelowTheCurrentLevelIsFlagged)
{
    Adapter* a = bring_up();
    ASSERT_NE(a, nullptr);
    EXPECT_NE(plat::interrupt_irql(FakeMiniport::kVector), plat::interrupt_irql(FakeMiniport::kVector + 1));
    EXPECT_GT(plat::interrupt_irql(FakeMiniport::kVector), kDeviceLevel);
    EXPECT_LT(plat::interrupt_irql(FakeMiniport::kVector), kHighLevel);
    auto note = [](PVOID ctx) -> BOOLEAN {
        static_cast<FakeMiniport*>(ctx)->note("sync");
        return TRUE;
    };
    NdisMSynchronizeWithInterrupt(&fake.interrupt, reinterpret_cast<PVOID>(+note), &fake);
    EXPECT_TRUE(host.violations().empty()) << "from dispatch level";
    KIRQL old;
    KeRaiseIrql(plat::interrupt_irql(FakeMiniport::kVector) + 1, &old);
    NdisMSynchronizeWithInterrupt(&fake.interrupt, reinterpret_cast<PVOID>(+note), &fake);
    KeLowerIrql(old);
    EXPECT_TRUE(violated("synchronising with an interrupt whose level is below the current one"));
    EXPECT_EQ(fake.log.size(), 2u);
    host.ndis().halt(a);
}

// The kernel's own raise and lower, and spin locks taken above dispatch level.
TEST_F(MiniportTest, RaiseLowerAndSpinLocksAtRaisedLevel)
{
    KSPIN_LOCK l;
    KeInitializeSpinLock(&l);
    KIRQL old;
    KeAcquireSpinLockAtDpcLevel(&l);
    EXPECT_TRUE(violated("KeAcquireSpinLockAtDpcLevel below dispatch level"));
    KeReleaseSpinLockFromDpcLevel(&l);
    KeRaiseIrql(HIGH_LEVEL, &old);
    EXPECT_EQ(old, kPassiveLevel);
    EXPECT_EQ(KeGetCurrentIrql(), HIGH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&l);
    KeAcquireSpinLockAtDpcLevel(&l);
    EXPECT_TRUE(violated("spin lock taken while already held"));
    KeReleaseSpinLockFromDpcLevel(&l);
    KeLowerIrql(old);
    KeReleaseSpinLockFromDpcLevel(&l);
    EXPECT_TRUE(violated("releasing a spin lock that is not held"));
    KeRaiseIrql(kDispatchLevel, &old);
    KeRaiseIrql(kPassiveLevel, &old);
    EXPECT_TRUE(violated("raising the interrupt level to below the current one"));
    KeLowerIrql(kPassiveLevel);
}

TEST_F(MiniportTest, HangCheckEveryTwoSecondsAndTrueResets)
{
    Adapter* a = bring_up();
    ASSERT_NE(a, nullptr);
    host.run_for(ms(2000) - 1);
    EXPECT_EQ(fake.hang_checks, 0);
    host.run_for(1);
    EXPECT_EQ(fake.log, std::vector<std::string>{"hang@2"});
    fake.hung = true;
    host.run_for(ms(2000));
    EXPECT_EQ(fake.log, (std::vector<std::string>{"hang@2", "hang@2", "reset@2"}));
    EXPECT_EQ(a->resets, 1u);
    fake.hung = false;
    host.run_for(ms(4000));
    EXPECT_EQ(fake.hang_checks, 4);
    EXPECT_EQ(fake.resets, 1);
    host.ndis().halt(a);
    host.run_for(ms(10000));
    EXPECT_EQ(fake.hang_checks, 4) << "no hang check after halt";
}

TEST_F(MiniportTest, HaltWithAnInterruptStillRegisteredIsAViolation)
{
    fake.deregister_on_halt = false;
    Adapter* a = bring_up();
    ASSERT_NE(a, nullptr);
    host.ndis().halt(a);
    EXPECT_TRUE(violated("halt left an interrupt registered"));
    host.ndis().halt(a);
    EXPECT_TRUE(violated("not running"));
    NdisMDeregisterInterrupt(&fake.interrupt);
}

TEST_F(MiniportTest, SelectingAMediumOtherThanWanIsAViolation)
{
    fake.medium = NdisMedium802_3;
    Adapter* a = bring_up();
    EXPECT_TRUE(violated("medium other than WAN"));
    host.ndis().halt(a);
}

TEST_F(MiniportTest, FailedInitialisationLeavesNoAdapter)
{
    host.faults.fail_at(FaultInjector::Interrupt, 1);
    ASSERT_EQ(host.ndis().load_driver(&FakeMiniport::driver_entry), STATUS_SUCCESS);
    EXPECT_EQ(host.ndis().initialize(1), nullptr);
    EXPECT_EQ(host.ndis().last_init_status(), NDIS_STATUS_RESOURCE_CONFLICT);
    EXPECT_TRUE(host.ndis().adapters().empty());
    EXPECT_EQ(host.irq.connections(), 0u);
}

TEST_F(MiniportTest, LineUpIndicationGetsALinkContextWrittenBack)
{
    Adapter* a = bring_up();
    ASSERT_NE(a, nullptr);
    NDIS_MAC_LINE_UP up1{}, up2{}, kept{};
    up1.LinkSpeed = 640;
    kept.NdisLinkContext = 0x77;
    NdisMIndicateStatus(a, NDIS_STATUS_WAN_LINE_UP, &up1, sizeof up1);
    NdisMIndicateStatus(a, NDIS_STATUS_WAN_LINE_UP, &up2, sizeof up2);
    NdisMIndicateStatus(a, NDIS_STATUS_WAN_LINE_UP, &kept, sizeof kept);
    NdisMIndicateStatusComplete(a);
    EXPECT_NE(up1.NdisLinkContext, 0u);
    EXPECT_NE(up2.NdisLinkContext, 0u);
    EXPECT_NE(up1.NdisLinkContext, up2.NdisLinkContext);
    EXPECT_EQ(kept.NdisLinkContext, 0x77u);
    ASSERT_EQ(a->indications.size(), 3u);
    EXPECT_EQ(a->indications[0].status, NDIS_STATUS_WAN_LINE_UP);
    EXPECT_EQ(a->indications[0].buffer.size(), sizeof(NDIS_MAC_LINE_UP));

    NDIS_MAC_LINE_DOWN down{up1.NdisLinkContext};
    NdisMIndicateStatus(a, NDIS_STATUS_WAN_LINE_DOWN, &down, sizeof down);
    EXPECT_EQ(down.NdisLinkContext, up1.NdisLinkContext);
    NdisMIndicateStatus(nullptr, NDIS_STATUS_WAN_LINE_DOWN, &down, sizeof down);
    EXPECT_TRUE(violated("bad miniport handle"));
    host.ndis().halt(a);
}

TEST_F(MiniportTest, UpcallsAreRecordedOnTheAdapter)
{
    Adapter* a = bring_up();
    ASSERT_NE(a, nullptr);
    UCHAR frame[3] = {0xFF, 0x03, 0x21};
    NDIS_STATUS s = 0;
    NdisMWanIndicateReceive(&s, a, 0x1000, frame, sizeof frame);
    NdisMWanIndicateReceiveComplete(a, 0x1000);
    NDIS_WAN_PACKET packet{};
    NdisMWanSendComplete(a, &packet, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(s, NDIS_STATUS_SUCCESS);
    ASSERT_EQ(a->receives.size(), 1u);
    EXPECT_EQ(a->receives[0].link_context, 0x1000u);
    EXPECT_EQ(a->receives[0].data, (std::vector<uint8_t>{0xFF, 0x03, 0x21}));
    EXPECT_EQ(a->receive_completes, 1u);
    ASSERT_EQ(a->send_completions.size(), 1u);
    EXPECT_EQ(a->send_completions[0].packet, &packet);
    host.ndis().halt(a);
}

// Driver CPU is counted inside entry points only, and the register accesses an entry
// makes (a slow device here) are counted apart from it.
struct SlowRegisters : MmioDevice {
    static int64_t now_ns()
    {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }
    static void spin(int64_t ns)
    {
        const int64_t until = now_ns() + ns;
        while (now_ns() < until) {
        }
    }
    uint32_t mmio_read(uint32_t, unsigned) override
    {
        spin(20'000);
        return 0;
    }
    void mmio_write(uint32_t, unsigned, uint32_t) override { spin(20'000); }
};

TEST_F(MiniportTest, DriverCpuIsCountedInEntriesWithRegisterAccessesApart)
{
    static SlowRegisters device;
    static volatile UCHAR* window;
    host.io.claim(0xE0200000, 0x100, &device);
    window = static_cast<volatile UCHAR*>(host.io.map(0xE0200000, 0x100));
    ASSERT_NE(window, nullptr);
    fake.adjust = [](NDIS_MINIPORT_CHARACTERISTICS& c) {
        // A query that reads and writes 64 registers and otherwise does little.
        c.QueryInformationHandler = [](NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) -> NDIS_STATUS {
            for (int i = 0; i < 32; i++) WRITE_REGISTER_UCHAR(window + i, READ_REGISTER_UCHAR(window + i));
            return NDIS_STATUS_SUCCESS;
        };
    };
    Adapter* a = bring_up();
    ASSERT_NE(a, nullptr);
    NdisState& n = host.ndis();
    UCHAR buffer[4];
    ULONG written = 0, needed = 0;
    n.query(a, 0, buffer, sizeof buffer, &written, &needed);
    EXPECT_EQ(n.driver_entries, 0u) << "nothing counted while not measuring";
    EXPECT_EQ(n.register_accesses, 0u);

    n.measure_driver_cpu = true;
    for (int k = 0; k < 8; k++) n.query(a, 0, buffer, sizeof buffer, &written, &needed);
    READ_REGISTER_UCHAR(window);  // outside any entry: not the driver's
    n.measure_driver_cpu = false;
    EXPECT_EQ(n.driver_entries, 8u);
    EXPECT_EQ(n.register_accesses, 8u * 64u);
    // 512 accesses of 20 us each: about 10 ms apart from the driver (one in 16 is timed);
    // the driver's own loop costs next to nothing.
    EXPECT_GT(n.register_ns, 6'000'000u);
    EXPECT_LT(n.register_ns, 40'000'000u);
    EXPECT_LT(n.driver_cpu_ns, n.register_ns / 4);
    host.io.unmap(const_cast<UCHAR*>(window), 0x100);
    host.ndis().halt(a);
}

}  // namespace
}  // namespace plat::ndis
