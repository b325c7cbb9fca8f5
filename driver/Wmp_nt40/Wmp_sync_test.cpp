// The driver against a multiprocessor's rules: timers whose cancel misses, and the
// board latches shared by the ISR of two interrupts of different levels.
#include <gtest/gtest.h>

#include <string>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_shel.h"
#include "driver/Wmp_nt40/Wmp_tspi.h"
#include "tools/harness/rig.h"

namespace {

class SyncTest : public ::testing::Test {
public:
    rig::Rig r;
    plat::ndis::Adapter* na = nullptr;
    Adapter* a = nullptr;
    sim::Card* card = nullptr;

    void SetUp() override
    {
        std::string e;
        ASSERT_TRUE(r.load_config(rig::kDefaultConfig, &e)) << e;
        ASSERT_EQ(r.load_driver(), 0);
        card = &r.add_board_for(1, 4);
    }

    void bring_up()
    {
        na = r.initialize(1);
        a = rig::Rig::driver_adapter(na);
        ASSERT_NE(a, nullptr);
    }

    void TearDown() override
    {
        for (const auto& v : r.host.violations()) ADD_FAILURE() << "platform misuse: " << v;
    }

    template <class F>
    void locked(F f)
    {
        NdisAcquireSpinLock(&a->AdapterSpinLock);
        f();
        NdisReleaseSpinLock(&a->AdapterSpinLock);
    }

    // An offered TAPI call on link 3, its 70-second call timer armed; the line is opened
    // first unless it is open already.
    Link* offered_call(bool open = true)
    {
        if (open) {
            NDIS_TAPI_OPEN o{};
            o.ulDeviceID = 3;
            o.htLine = 0x600;
            ULONG done = 0, needed = 0;
            EXPECT_EQ(r.host.ndis().query(na, OID_TAPI_OPEN, &o, sizeof o, &done, &needed), NDIS_STATUS_SUCCESS);
        }
        Link* l = &a->NdisWanInfo[0][3];
        locked([&] { TapiLineDevStateHandler(a, l, LINEDEVSTATE_RINGING); });
        EXPECT_EQ(l->CallState, ULONG(LINECALLSTATE_OFFERING));
        return l;
    }
};

// ---- timers whose cancel misses ----

TEST_F(SyncTest, HaltWaitsOutACallTimerWhoseCancelMissed)
{
    bring_up();
    r.host.run_for(plat::ms(500));
    Link* l = offered_call();
    r.host.ndis().cancel_misses_timer = &l->CallTimer;
    r.halt(na);  // the record must not be freed under the due callback
    EXPECT_EQ(r.host.ndis().cancel_misses_timer, nullptr) << "the call timer's cancel was tried";
    r.host.run_for(plat::ms(100));
    EXPECT_EQ(r.host.allocations.size(), 0u);
}

TEST_F(SyncTest, ResetNeutralisesACallTimerWhoseCancelMissed)
{
    bring_up();
    r.host.run_for(plat::ms(500));
    Link* l = offered_call();
    r.host.ndis().cancel_misses_timer = &l->CallTimer;
    size_t marked = na->indications.size();
    locked([&] { ResetAdapter(a); });
    EXPECT_EQ(r.host.ndis().cancel_misses_timer, nullptr);
    EXPECT_TRUE(r.host.violations().empty()) << "the due timer object was re-initialised";
    // The line, still open, is offered a new call before the stale callback runs: it is
    // not timed out.
    EXPECT_EQ(l->CurrentOwner, ULONG(OWNER_TELEPHONY_SUBSYSTEM));
    Link* again = offered_call(false);
    ASSERT_EQ(again, l);
    r.host.run_for(plat::ms(10));
    EXPECT_EQ(l->CallState, ULONG(LINECALLSTATE_OFFERING)) << "the stale callback must do nothing";
    for (size_t i = marked; i < na->indications.size(); i++)
        EXPECT_NE(na->indications[i].status, NDIS_STATUS_WAN_FRAGMENT);
    // The new call's own timer still runs its 70 seconds.
    r.host.run_for(plat::ms(70000));
    EXPECT_EQ(l->CallState, ULONG(LINECALLSTATE_DISCONNECTED));
    r.halt(na);
}

// ---- board latches ----

// The primary interrupt's level is above the secondary's here: synchronising with one
// inside the other would lower the level. Every latch write must come from one step
// above both interrupts, the ISR's included, through bring-up, interrupts, LED changes,
// a reset and halt.
TEST_F(SyncTest, EveryLatchWriteHappensUnderOneSynchronisationAboveBothInterrupts)
{
    ASSERT_GT(plat::interrupt_irql(card->vector(0)), plat::interrupt_irql(card->vector(1)));
    size_t writes = 0, outside = 0;
    card->on_latch_write([&](const sim::Board::LatchWrite&) {
        ++writes;
        if (a == nullptr) return;
        if (r.host.irql() != HIGH_LEVEL || !a->LatchSpinLock.Held) ++outside;
    });
    bring_up();
    ASSERT_TRUE(rig::run_until(r.host, [&] { return a->IrqEnabled == 1; }, plat::ms(3000)));
    r.host.run_for(plat::ms(3000));  // interrupts from the framers and the HDLC controller
    locked([&] {
        AdapterSetLatchLed(a, 0, 2);
        ResetAdapter(a);
    });
    r.host.run_for(plat::ms(2000));
    EXPECT_EQ(a->IrqEnabled, 1);
    r.halt(na);
    a = nullptr;
    EXPECT_GT(writes, 10u);
    EXPECT_EQ(outside, 0u);
}

// Two processors. Both interrupts' ISRs capture the HDLC controller's queue and the
// framers' status, so the deferred handlers take the capture over in sections that
// exclude both: the other processor, taking either interrupt at any moment such a
// section runs, never gets its ISR in, through bring-up, interrupts and alarms.
TEST_F(SyncTest, TheDeferredHandlersTakeTheCaptureOverExcludingBothInterrupts)
{
    bring_up();
    ASSERT_TRUE(rig::run_until(r.host, [&] { return a->IrqEnabled == 1; }, plat::ms(3000)));
    plat::ndis::NdisState& ndis = r.host.ndis();
    ndis.second_processor = true;
    r.host.run_for(plat::ms(3000));  // interrupts from the framers and the HDLC controller
    card->line(0).take_down();       // alarms
    r.host.run_for(plat::ms(1000));
    card->line(0).bring_up();
    r.host.run_for(plat::ms(2000));
    ndis.second_processor = false;
    EXPECT_GT(ndis.second_processor_tries, 20u);
    EXPECT_EQ(ndis.second_processor_isrs, 0u) << "an ISR ran inside a deferred handler's synchronised section";
    r.halt(na);
    a = nullptr;
}

// The reset clears IrqEnabled in the same step as the latch: an enable handler can
// never see the board masked with IrqEnabled still set.
TEST_F(SyncTest, ResetClearsIrqEnabledInTheStepThatMasksTheBoard)
{
    int masked_while_enabled = 0;
    bool resetting = false;
    card->on_latch_write([&](const sim::Board::LatchWrite& w) {
        if (a == nullptr || !resetting || w.latch != sim::Board::Latch::Irq) return;
        if ((w.value & a->IrqLatchBits) == 0 && a->IrqEnabled != 0) ++masked_while_enabled;
    });
    bring_up();
    ASSERT_TRUE(rig::run_until(r.host, [&] { return a->IrqEnabled == 1; }, plat::ms(3000)));
    resetting = true;
    locked([&] { ResetAdapter(a); });
    resetting = false;
    EXPECT_EQ(a->IrqEnabled, 0);
    EXPECT_EQ(masked_while_enabled, 0);
    // NDIS's enable handler after a deferred run leaves the board masked now.
    EnableInterruptHdlr(a);
    EXPECT_FALSE(card->irq_enabled());
    r.halt(na);
    a = nullptr;
}

}  // namespace
