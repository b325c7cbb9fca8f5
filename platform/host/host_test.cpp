#include "platform/host/host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ndis/ndis.h"

namespace plat {
namespace {

// ---- scheduler ----

TEST(Scheduler, RunsByTimeThenInsertionAndStopsTheClockAtTheEnd)
{
    Scheduler s;
    std::vector<std::pair<char, VTime>> ran;
    auto mark = [&](char c) { return [&, c] { ran.push_back({c, s.now()}); }; };
    s.at(20, mark('c'));
    s.at(10, mark('a'));
    s.at(30, mark('d'));
    s.at(10, mark('b'));
    EXPECT_EQ(s.next_time(), 10u);

    s.run_until(25);
    EXPECT_EQ(ran, (std::vector<std::pair<char, VTime>>{{'a', 10}, {'b', 10}, {'c', 20}}));
    EXPECT_EQ(s.now(), 25u);

    s.run_for(5);  // an event exactly at the end runs
    EXPECT_EQ(ran.back(), (std::pair<char, VTime>{'d', 30}));
    EXPECT_EQ(s.now(), 30u);
    EXPECT_EQ(s.next_time(), UINT64_MAX);

    s.run_for(ms(2));
    EXPECT_EQ(s.now(), 2030u);
    s.run_until(100);  // the clock never goes back
    EXPECT_EQ(s.now(), 2030u);
}

TEST(Scheduler, EventsInThePastRunAtNowAfterThoseAlreadyDue)
{
    Scheduler s;
    s.run_until(100);
    std::string log;
    VTime at = 0;
    s.at(100, [&] { log += 'a'; });
    s.at(5, [&] { log += 'b'; at = s.now(); });
    s.after(1, [&] { log += 'c'; });
    s.run_due();
    EXPECT_EQ(log, "ab");
    EXPECT_EQ(at, 100u);
    EXPECT_EQ(s.now(), 100u);
    s.run_for(1);
    EXPECT_EQ(log, "abc");
}

TEST(Scheduler, CancelAnswersWhetherTheEventWasPending)
{
    Scheduler s;
    int runs = 0;
    auto a = s.at(10, [&] { ++runs; });
    auto b = s.at(10, [&] { ++runs; });
    EXPECT_TRUE(s.pending(a));
    EXPECT_TRUE(s.cancel(a));
    EXPECT_FALSE(s.cancel(a));
    EXPECT_FALSE(s.pending(a));
    EXPECT_EQ(s.size(), 1u);
    s.run_for(10);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(s.cancel(b));  // already ran
    EXPECT_FALSE(s.cancel(12345));
}

TEST(Scheduler, AnEventCancelsAnotherAtTheSameTimeButNotItself)
{
    Scheduler s;
    std::string log;
    Scheduler::EventId self = 0, victim = 0;
    bool self_cancel = true;
    self = s.at(10, [&] {
        log += 'a';
        self_cancel = s.cancel(self);
        EXPECT_TRUE(s.cancel(victim));
    });
    victim = s.at(10, [&] { log += 'v'; });
    s.at(10, [&] { log += 'b'; });
    s.run_for(10);
    EXPECT_EQ(log, "ab");
    EXPECT_FALSE(self_cancel);
}

TEST(Scheduler, AnEventSchedulingAnotherAtTheSameTimeRunsItInTheSameRunAfterTheQueuedOnes)
{
    Scheduler s;
    std::string log;
    s.at(10, [&] {
        log += 'a';
        s.after(0, [&] {
            log += 'c';
            s.at(0, [&] { log += 'd'; });
        });
    });
    s.at(10, [&] { log += 'b'; });
    s.at(11, [&] { log += 'e'; });
    s.run_until(10);
    EXPECT_EQ(log, "abcd");
    EXPECT_EQ(s.now(), 10u);
    EXPECT_EQ(s.size(), 1u);
}

// ---- fault injection ----

TEST(FaultInjector, FailsTheNthCallFromNowOnceAndOnlyThatPoint)
{
    struct Case {
        uint64_t calls_before;
        uint64_t n;
        std::vector<bool> expect;  // answers of the next calls
    };
    const Case cases[] = {
        {0, 1, {true, false, false}},
        {0, 3, {false, false, true, false}},
        {5, 2, {false, true, false}},   // counted from when it was armed
        {0, 0, {false, false, false}},  // 0 disarms
    };
    for (const auto& c : cases) {
        FaultInjector f;
        for (uint64_t i = 0; i < c.calls_before; ++i) f.should_fail(FaultInjector::Alloc);
        f.fail_at(FaultInjector::Alloc, c.n);
        for (size_t i = 0; i < c.expect.size(); ++i) {
            EXPECT_FALSE(f.should_fail(FaultInjector::MapIo)) << "other points are not affected";
            EXPECT_EQ(f.should_fail(FaultInjector::Alloc), c.expect[i])
                << "armed after " << c.calls_before << " calls, n=" << c.n << ", call " << i + 1;
        }
        EXPECT_EQ(f.calls(FaultInjector::Alloc), c.calls_before + c.expect.size());
    }
}

TEST(FaultInjector, FailAlwaysAndReset)
{
    FaultInjector f;
    f.fail_always(FaultInjector::FileOpen, true);
    EXPECT_TRUE(f.should_fail(FaultInjector::FileOpen));
    EXPECT_TRUE(f.should_fail(FaultInjector::FileOpen));
    f.fail_at(FaultInjector::Config, 2);
    f.reset();
    EXPECT_EQ(f.calls(FaultInjector::FileOpen), 0u);
    EXPECT_FALSE(f.should_fail(FaultInjector::FileOpen));
    EXPECT_FALSE(f.should_fail(FaultInjector::Config));
    EXPECT_FALSE(f.should_fail(FaultInjector::Config));
}

// ---- a host per test ----

class HostTest : public ::testing::Test {
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

TEST_F(HostTest, IrqlRaiseBelowOrLowerAboveTheCurrentLevelIsAViolation)
{
    EXPECT_EQ(host.raise_irql(kDispatchLevel), kPassiveLevel);
    EXPECT_EQ(KeGetCurrentIrql(), kDispatchLevel);
    host.raise_irql(kPassiveLevel);
    EXPECT_TRUE(violated("raising"));
    host.lower_irql(kDeviceLevel);
    EXPECT_TRUE(violated("lowering"));
    host.lower_irql(kPassiveLevel);
}

// ---- interrupts ----

// A device on a shared line: its ISR claims only while its own source is asserted,
// and acknowledging drops the source.
struct LineDevice {
    LineDevice(Host& h, uint32_t v, const char* n) : host(h), vector(v), name(n) {}
    Host& host;
    uint32_t vector;
    std::string name;
    bool pending = false;
    bool acknowledge = true;
    std::vector<uint8_t> irqls;
    void raise() { pending = true; host.irq.set_level(vector, this, true); }
    void drop() { pending = false; host.irq.set_level(vector, this, false); }
    bool isr(std::string& log)
    {
        log += name;
        irqls.push_back(host.irql());
        if (!pending) return false;
        if (acknowledge) drop();
        return true;
    }
};

class InterruptTest : public HostTest {
protected:
    static constexpr uint32_t kVector = 20;
    LineDevice a{host, kVector, "a"}, b{host, kVector, "b"};
    std::string log;
    void connect_both()
    {
        host.irq.connect(kVector, [this] { return a.isr(log); });
        host.irq.connect(kVector, [this] { return b.isr(log); });
    }
};

TEST_F(InterruptTest, SharedLineIsAssertedWhileEitherSourceHoldsIt)
{
    a.raise();
    b.raise();
    a.raise();  // the same source twice counts once
    EXPECT_TRUE(host.irq.asserted(kVector));
    a.drop();
    EXPECT_TRUE(host.irq.asserted(kVector));
    b.drop();
    EXPECT_FALSE(host.irq.asserted(kVector));
    EXPECT_FALSE(host.irq.asserted(kVector + 1));
}

TEST_F(InterruptTest, EachSourceIsServedByTheIsrThatClaimsIt)
{
    connect_both();
    a.raise();
    EXPECT_EQ(log, "ab");  // every ISR on the line is asked
    EXPECT_FALSE(host.irq.asserted(kVector));
    b.raise();
    EXPECT_EQ(log, "abab");
    EXPECT_FALSE(host.irq.asserted(kVector));
    EXPECT_EQ(host.irq.unclaimed(kVector), 0u);
    EXPECT_EQ(a.irqls, (std::vector<uint8_t>{kDeviceLevel, kDeviceLevel}));
    EXPECT_EQ(host.irql(), kPassiveLevel);
}

TEST_F(InterruptTest, IsrRunsAtOnceBelowDeviceLevelAndIsDeferredAtOrAboveIt)
{
    connect_both();
    struct Case {
        uint8_t level;
        bool at_once;
    };
    for (Case c : {Case{kPassiveLevel, true}, Case{kDispatchLevel, true}, Case{kDeviceLevel, false},
                   Case{kDeviceLevel + 1, false}}) {
        log.clear();
        host.raise_irql(c.level);
        a.raise();
        EXPECT_EQ(!log.empty(), c.at_once) << "level " << int(c.level);
        host.lower_irql(kPassiveLevel);
        EXPECT_EQ(log, "ab") << "delivered once the level drops, level " << int(c.level);
        EXPECT_EQ(a.irqls.back(), kDeviceLevel);
        EXPECT_EQ(host.irql(), kPassiveLevel);
    }
}

TEST_F(InterruptTest, ConnectingToAnAssertedLineDeliversAtOnce)
{
    a.raise();
    host.irq.connect(kVector, [this] { return a.isr(log); });
    EXPECT_EQ(log, "a");
    EXPECT_EQ(host.irq.connections(), 1u);
}

TEST_F(InterruptTest, UnclaimedLineWaitsForALevelChange)
{
    connect_both();
    a.acknowledge = false;
    a.pending = false;  // the source asserts, but no ISR recognises it
    host.irq.set_level(kVector, &a, true);
    EXPECT_EQ(log, "ab");
    EXPECT_EQ(host.irq.unclaimed(kVector), 1u);

    host.irq.set_level(kVector, &a, true);  // no change of level
    host.raise_irql(kDispatchLevel);
    host.lower_irql(kPassiveLevel);
    EXPECT_EQ(log, "ab");
    EXPECT_EQ(host.irq.unclaimed(kVector), 1u);

    host.irq.set_level(kVector, &a, false);
    host.irq.set_level(kVector, &a, true);
    EXPECT_EQ(log, "abab");
    EXPECT_EQ(host.irq.unclaimed(kVector), 2u);
    host.irq.set_level(kVector, &a, false);
}

TEST_F(InterruptTest, SourceJoiningAQuietLineIsServed)
{
    connect_both();
    host.irq.set_level(kVector, &a, true);  // held by a source no ISR recognises
    EXPECT_EQ(host.irq.unclaimed(kVector), 1u);
    log.clear();
    b.raise();
    EXPECT_EQ(log, "abab") << "b is served, then the line goes quiet again";
    EXPECT_FALSE(b.pending);
    EXPECT_EQ(host.irq.unclaimed(kVector), 2u);
    host.irq.set_level(kVector, &a, false);
}

TEST_F(InterruptTest, ClaimedLineThatStaysAssertedIsAStorm)
{
    connect_both();
    a.acknowledge = false;  // claims, but never clears its source
    a.raise();
    EXPECT_TRUE(violated("storm"));
    a.drop();
}

TEST_F(InterruptTest, DisconnectedIsrIsNotCalled)
{
    int id = host.irq.connect(kVector, [this] { return a.isr(log); });
    host.irq.disconnect(id);
    a.raise();
    EXPECT_EQ(log, "");
    EXPECT_EQ(host.irq.connections(), 0u);
    a.drop();
}

// ---- register windows ----

struct Regs : MmioDevice {
    struct Access {
        char op;
        uint32_t offset;
        unsigned width;
        uint32_t value;
        bool operator==(const Access&) const = default;
    };
    std::vector<Access> log;
    uint32_t mmio_read(uint32_t offset, unsigned width) override
    {
        log.push_back({'r', offset, width, 0});
        return 0xA0B0C0D0u + offset;
    }
    void mmio_write(uint32_t offset, unsigned width, uint32_t value) override
    {
        log.push_back({'w', offset, width, value});
    }
};

class IoTest : public HostTest {
protected:
    static constexpr uint64_t kBar = 0xE0100000;
    void SetUp() override
    {
        host.io.claim(kBar, 0x1000, &dev);
        host.io.claim(kBar + 0x1000, 0x1000, &other);
    }
    uint8_t* map(uint64_t phys, uint32_t len) { return static_cast<uint8_t*>(host.io.map(phys, len)); }
    Regs dev, other;
};

TEST_F(IoTest, AccessorsReachTheDeviceAtTheDecodedOffsetAndWidth)
{
    uint8_t* va = map(kBar + 0x100, 0x200);  // a window starting inside the device
    ASSERT_NE(va, nullptr);
    EXPECT_TRUE(host.io.in_reserved_range(va));

    EXPECT_EQ(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(va + 0x10)), 0xA0B0C0D0u + 0x110);
    EXPECT_EQ(READ_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(va + 0x1FE)), USHORT(0xC0D0 + 0x2FE));
    EXPECT_EQ(READ_REGISTER_UCHAR(va + 3), UCHAR(0xD0 + 0x103));
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(va + 0x1FC), 0xDEADBEEF);
    WRITE_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(va + 2), 0x1234);
    NdisWriteRegisterUchar(va + 1, 0x56);
    ULONG v = 0;
    NdisReadRegisterUlong(va, &v);
    EXPECT_EQ(v, 0xA0B0C0D0u + 0x100);

    const std::vector<Regs::Access> expect = {
        {'r', 0x110, 4, 0}, {'r', 0x2FE, 2, 0},          {'r', 0x103, 1, 0}, {'w', 0x2FC, 4, 0xDEADBEEF},
        {'w', 0x102, 2, 0x1234}, {'w', 0x101, 1, 0x56}, {'r', 0x100, 4, 0},
    };
    EXPECT_EQ(dev.log, expect);
    EXPECT_TRUE(other.log.empty());
}

TEST_F(IoTest, DecodeFindsTheDeviceOfEachPhysicalRangeAndNothingPastTheWindowEnd)
{
    uint8_t* va = map(kBar, 0x2000);  // spans both devices
    ASSERT_NE(va, nullptr);
    struct Case {
        uint32_t at;
        unsigned width;
        MmioDevice* device;
        uint32_t offset;
    };
    const Case cases[] = {
        {0x0, 4, &dev, 0x0},       {0xFFC, 4, &dev, 0xFFC},    {0xFFE, 4, nullptr, 0},  // straddles two devices
        {0x1000, 4, &other, 0x0}, {0x1FFF, 1, &other, 0xFFF}, {0x1FFE, 4, nullptr, 0},  // past the window end
    };
    for (const auto& c : cases) {
        auto d = host.io.decode(va + c.at, c.width);
        EXPECT_EQ(d.device, c.device) << std::hex << c.at << " width " << c.width;
        EXPECT_EQ(d.offset, c.offset) << std::hex << c.at;
    }
}

TEST_F(IoTest, UnclaimedPhysicalRangeReadsAllOnesAndDropsWrites)
{
    uint8_t* va = map(0xF0000000, 0x100);
    ASSERT_NE(va, nullptr);
    EXPECT_EQ(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(va)), 0xFFFFFFFFu);
    EXPECT_EQ(READ_REGISTER_USHORT(reinterpret_cast<volatile USHORT*>(va + 2)), 0xFFFF);
    EXPECT_EQ(READ_REGISTER_UCHAR(va + 1), 0xFF);
    WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(va), 1);

    uint8_t* w = map(kBar, 0x100);  // a released device is gone from its range
    host.io.release(&dev);
    EXPECT_EQ(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(w)), 0xFFFFFFFFu);
    EXPECT_TRUE(dev.log.empty());
}

TEST_F(IoTest, AccessOutsideAnyWindowIsAViolation)
{
    uint8_t* va = map(kBar, 0x100);
    ASSERT_NE(va, nullptr);
    ULONG plain = 0;
    struct Case {
        const char* what;
        volatile ULONG* address;
    };
    const Case cases[] = {
        {"ordinary memory", &plain},
        {"past the window's length", reinterpret_cast<volatile ULONG*>(va + 0x100)},
        {"straddling the window's end", reinterpret_cast<volatile ULONG*>(va + 0xFE)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(READ_REGISTER_ULONG(c.address), 0xFFFFFFFFu) << c.what;
        EXPECT_TRUE(violated("read outside any mapped window")) << c.what;
        WRITE_REGISTER_ULONG(c.address, 7);
        EXPECT_TRUE(violated("write outside any mapped window")) << c.what;
    }
    EXPECT_TRUE(host.io.unmap(va, 0x100));
    READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(va));
    EXPECT_TRUE(violated("outside any mapped window")) << "after unmap";
    EXPECT_EQ(plain, 0u);
    EXPECT_TRUE(dev.log.empty());
}

TEST_F(IoTest, UnmapNeedsTheMappedAddressAndLength)
{
    uint8_t* a = map(kBar, 0x100);
    uint8_t* b = map(kBar, 0x180000);  // more than one slot
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(host.io.mapped(), 2u);
    EXPECT_EQ(host.io.map(kBar, 0), nullptr);
    EXPECT_FALSE(host.io.unmap(a, 0x200));
    EXPECT_FALSE(host.io.unmap(a + 4, 0x100));
    EXPECT_TRUE(host.io.unmap(a, 0x100));
    EXPECT_FALSE(host.io.unmap(a, 0x100));
    EXPECT_TRUE(host.io.unmap(b, 0x180000));
    EXPECT_EQ(host.io.mapped(), 0u);
    // Slots are reused once free.
    uint8_t* c = map(kBar, 0x300000);
    EXPECT_EQ(c, a);
    EXPECT_TRUE(host.io.unmap(c, 0x300000));
}

TEST_F(IoTest, DirectDereferenceOfAWindowFaults)
{
    uint8_t* va = map(kBar, 0x100);
    ASSERT_NE(va, nullptr);
    EXPECT_DEATH((void)*reinterpret_cast<volatile ULONG*>(va), "");
}

// ---- physical memory ----

TEST_F(HostTest, PhysicalBlocksAreMiBAlignedBelow4GiBAndTranslateWithinBounds)
{
    auto a = host.phys.allocate(100);
    auto b = host.phys.allocate(0x180000);
    ASSERT_NE(a.virt, nullptr);
    ASSERT_NE(b.virt, nullptr);
    for (const auto& blk : {a, b}) {
        EXPECT_EQ(blk.phys % 0x100000, 0u);
        EXPECT_LT(blk.phys + blk.size, 0x100000000ull);
    }
    EXPECT_GE(b.phys, a.phys + 0x100000);
    struct Case {
        uint64_t phys;
        size_t length;
        uint8_t* expect;
    };
    const Case cases[] = {
        {a.phys, 100, a.virt},
        {a.phys + 99, 1, a.virt + 99},
        {a.phys + 99, 2, nullptr},  // runs past the end
        {a.phys + 100, 1, nullptr},
        {a.phys + 0x1000, 1, nullptr},  // in the block's MiB, but not in it
        {a.phys - 1, 1, nullptr},
        {b.phys + 0x17FFFF, 1, b.virt + 0x17FFFF},
        {a.phys, SIZE_MAX, nullptr},  // a length that wraps the address
        {a.phys + 50, SIZE_MAX - 10, nullptr},
        {0, 1, nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(host.phys.to_virt(c.phys, c.length), c.expect) << std::hex << c.phys << " +" << c.length;

    EXPECT_FALSE(host.phys.free(a.virt, 99));
    EXPECT_TRUE(host.phys.free(a.virt, 100));
    EXPECT_EQ(host.phys.to_virt(a.phys, 1), nullptr);
    EXPECT_FALSE(host.phys.free(a.virt, 100));
    EXPECT_EQ(host.phys.blocks(), 1u);
    EXPECT_EQ(host.phys.allocate(0).virt, nullptr);
}

TEST_F(HostTest, PhysicalAddressesOfLiveBlocksAreNotReusedWhenAllocationWraps)
{
    auto kept = host.phys.allocate(0x200000);
    ASSERT_NE(kept.virt, nullptr);
    kept.virt[0] = 0x5A;
    // Enough short-lived blocks to go round the whole physical range more than once.
    for (int i = 0; i < 8000; ++i) {
        auto t = host.phys.allocate(16);
        ASSERT_NE(t.virt, nullptr) << i;
        ASSERT_TRUE(t.phys + 16 <= kept.phys || t.phys >= kept.phys + 0x200000) << std::hex << t.phys;
        ASSERT_TRUE(host.phys.free(t.virt, 16));
    }
    EXPECT_EQ(host.phys.to_virt(kept.phys, 1), kept.virt);
    EXPECT_EQ(host.phys.blocks(), 1u);
}

}  // namespace
}  // namespace plat
