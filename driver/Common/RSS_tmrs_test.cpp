// Timer pools: each case scripts starts, ticks and the calls its callbacks make, then
// checks how often each callback fired, what the calls answered and every entry of the
// pool, so a wrong field, a wrong index or a leftover entry shows as well.
#include "driver/Common/RSS_tmrs.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr ULONG kEntries = 4;
constexpr int kProbes = 4;
constexpr int kFree = -1;

struct Harness;

// One callback: counts its calls and runs its script, if any; otherwise answers result.
struct Probe {
    Harness* owner = nullptr;
    int fired = 0;
    BOOLEAN result = TRUE;
    std::function<BOOLEAN(Harness&)> onFire;
};

struct Harness {
    TmrPool pool{};
    TmrEntry entries[kEntries]{};
    Probe probes[kProbes];
    std::vector<int> got;  // answers of the pool calls a case records

    Harness()
    {
        TmrInit(&pool, entries, kEntries);
        for (Probe& p : probes) p.owner = this;
    }

    static BOOLEAN Fire(PVOID context)
    {
        Probe* p = static_cast<Probe*>(context);
        p->fired++;
        return p->onFire ? p->onFire(*p->owner) : p->result;
    }

    BOOLEAN Start(int probe, ULONG_PTR key1, ULONG key2, ULONG ms)
    {
        return TmrStart(&pool, key1, key2, ms, Fire, &probes[probe]);
    }

    std::array<int, kProbes> Fired() const
    {
        std::array<int, kProbes> f{};
        for (int i = 0; i < kProbes; ++i) f[i] = probes[i].fired;
        return f;
    }
};

// Expected content of one entry: the probe it calls (kFree: the entry is all zero).
struct Slot {
    int probe;
    ULONG remaining;
    ULONG_PTR key1;
    ULONG key2;
    ULONG restarts;
};
const Slot kFreeSlot{kFree, 0, 0, 0, 0};

struct Case {
    std::string name;
    std::function<void(Harness&)> setup;
    std::vector<ULONG> ticks;                           // elapsed ms of each tick
    std::vector<std::array<int, kProbes>> fired;        // fire counts after each tick
    std::function<void(Harness&)> after;                // calls made once the ticks are done
    std::vector<int> got;
    std::array<Slot, kEntries> slots;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// Probe p's callback runs body and then answers result.
void OnFire(Harness& h, int p, BOOLEAN result, std::function<void(Harness&)> body)
{
    h.probes[p].onFire = [result, body](Harness& hh) {
        body(hh);
        return result;
    };
}

std::vector<Case> Cases()
{
    return {
        {"ExpiresWhenRemainingReachesElapsed",
         [](Harness& h) {
             h.Start(0, 1, 1, 20);
             h.Start(1, 1, 2, 25);
         },
         {10, 10, 10},
         {{0, 0, 0, 0}, {1, 0, 0, 0}, {1, 1, 0, 0}},
         nullptr,
         {},
         {kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot}},

        {"CountsDownByElapsed",
         [](Harness& h) {
             h.Start(0, 1, 1, 20);
             h.Start(1, 1, 2, 25);
         },
         {7},
         {{0, 0, 0, 0}},
         nullptr,
         {},
         {Slot{0, 13, 1, 1, 0}, Slot{1, 18, 1, 2, 0}, kFreeSlot, kFreeSlot}},

        {"ZeroMsFiresOnNextTick",
         [](Harness& h) { h.got.push_back(h.Start(0, 1, 1, 0)); },
         {10},
         {{1, 0, 0, 0}},
         nullptr,
         {TRUE},
         {kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot}},

        // Only exactly TRUE frees the entry; anything else keeps it, unchanged, due again.
        {"KeptEntryFiresEveryTick",
         [](Harness& h) {
             h.Start(0, 1, 1, 5);
             h.probes[0].result = FALSE;
             h.Start(1, 1, 2, 0);
             h.probes[1].result = 2;
         },
         {10, 10, 10},
         {{1, 1, 0, 0}, {2, 2, 0, 0}, {3, 3, 0, 0}},
         nullptr,
         {},
         {Slot{0, 5, 1, 1, 0}, Slot{1, 0, 1, 2, 0}, kFreeSlot, kFreeSlot}},

        {"FullPoolRefusesAndChangesNothing",
         [](Harness& h) {
             for (int i = 0; i < kProbes; ++i) h.Start(i, 1, i + 1, 10 * (i + 1));
             TmrRestart(&h.pool, 1, 2, 7);
             h.got.push_back(h.Start(0, 2, 1, 0));
         },
         {},
         {},
         nullptr,
         {FALSE},
         {Slot{0, 10, 1, 1, 0}, Slot{1, 7, 1, 2, 1}, Slot{2, 30, 1, 3, 0}, Slot{3, 40, 1, 4, 0}}},

        {"LowestFreeEntryReused",
         [](Harness& h) {
             h.Start(0, 1, 1, 10);
             h.Start(1, 1, 2, 10);
             h.Start(2, 1, 3, 10);
             h.got.push_back(TmrClear(&h.pool, 1, 2));
             h.got.push_back(TmrClear(&h.pool, 1, 2));
             h.Start(3, 2, 1, 50);
         },
         {},
         {},
         nullptr,
         {TRUE, FALSE},
         {Slot{0, 10, 1, 1, 0}, Slot{3, 50, 2, 1, 0}, Slot{2, 10, 1, 3, 0}, kFreeSlot}},

        // Lookups take the lowest-index match.
        {"DuplicateKeysLowestIndexFirst",
         [](Harness& h) {
             h.Start(0, 1, 1, 10);
             h.Start(1, 1, 1, 20);
             h.got.push_back(TmrRestart(&h.pool, 1, 1, 30));
             h.got.push_back(TmrGetCount(&h.pool, 1, 1));
             h.got.push_back(TmrClear(&h.pool, 1, 1));
             h.got.push_back(TmrGetCount(&h.pool, 1, 1));
         },
         {},
         {},
         nullptr,
         {TRUE, 1, TRUE, 0},
         {kFreeSlot, Slot{1, 20, 1, 1, 0}, kFreeSlot, kFreeSlot}},

        {"AbsentTimer",
         [](Harness& h) {
             h.Start(0, 1, 1, 10);
             h.got.push_back(TmrClear(&h.pool, 1, 2));
             h.got.push_back(TmrRestart(&h.pool, 2, 1, 5));
             h.got.push_back(TmrGetCount(&h.pool, 2, 1));
             h.got.push_back(TmrIsRunning(&h.pool, 2, 1));
             h.got.push_back(TmrClearAllOfOwner(&h.pool, 2));
         },
         {},
         {},
         nullptr,
         {FALSE, FALSE, 0, FALSE, FALSE},
         {Slot{0, 10, 1, 1, 0}, kFreeSlot, kFreeSlot, kFreeSlot}},

        {"ClearOwnKeysInsideCallbackRefused",
         [](Harness& h) {
             h.Start(0, 1, 1, 0);
             OnFire(h, 0, FALSE, [](Harness& hh) { hh.got.push_back(TmrClear(&hh.pool, 1, 1)); });
         },
         {10},
         {{1, 0, 0, 0}},
         nullptr,
         {FALSE},
         {Slot{0, 0, 1, 1, 0}, kFreeSlot, kFreeSlot, kFreeSlot}},

        {"ClearOwnKeysInsideCallbackFreesLowerDuplicate",
         [](Harness& h) {
             h.Start(0, 1, 1, 100);
             h.Start(1, 1, 1, 0);
             OnFire(h, 1, FALSE, [](Harness& hh) { hh.got.push_back(TmrClear(&hh.pool, 1, 1)); });
         },
         {10},
         {{0, 1, 0, 0}},
         nullptr,
         {TRUE},
         {kFreeSlot, Slot{1, 0, 1, 1, 0}, kFreeSlot, kFreeSlot}},

        {"ClearOwnKeysInsideCallbackFreesHigherDuplicate",
         [](Harness& h) {
             h.Start(0, 1, 1, 0);
             h.Start(1, 1, 1, 0);
             OnFire(h, 0, TRUE, [](Harness& hh) { hh.got.push_back(TmrClear(&hh.pool, 1, 1)); });
         },
         {10},
         {{1, 0, 0, 0}},
         nullptr,
         {TRUE},
         {kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot}},

        // Outside a tick nothing is protected: the entry that fired last clears.
        {"LastFiredEntryClearsAfterTick",
         [](Harness& h) {
             h.Start(0, 1, 1, 100);
             h.Start(1, 1, 2, 0);
             h.probes[1].result = FALSE;
         },
         {10},
         {{0, 1, 0, 0}},
         [](Harness& h) {
             h.got.push_back(TmrClear(&h.pool, 1, 2));
             h.got.push_back(TmrClearAllOfOwner(&h.pool, 1));
         },
         {TRUE, TRUE},
         {kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot}},

        {"RestartInsideCallbackReloadsAndCounts",
         [](Harness& h) {
             h.Start(0, 1, 1, 0);
             OnFire(h, 0, FALSE, [](Harness& hh) {
                 hh.got.push_back(TmrRestart(&hh.pool, 1, 1, 30));
                 hh.got.push_back(TmrGetCount(&hh.pool, 1, 1));
             });
         },
         {10, 10, 10, 10},
         {{1, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {2, 0, 0, 0}},
         nullptr,
         {TRUE, 1, TRUE, 2},
         {Slot{0, 30, 1, 1, 2}, kFreeSlot, kFreeSlot, kFreeSlot}},

        // An expired entry that was kept runs while its remaining time is not 0.
        {"IsRunningOnExpiredKeptEntry",
         [](Harness& h) {
             h.Start(0, 1, 1, 5);
             h.Start(1, 1, 2, 0);
             h.probes[0].result = FALSE;
             h.probes[1].result = FALSE;
             h.Start(2, 1, 3, 15);
         },
         {10},
         {{1, 1, 0, 0}},
         [](Harness& h) {
             h.got.push_back(TmrIsRunning(&h.pool, 1, 1));
             h.got.push_back(TmrIsRunning(&h.pool, 1, 2));
             h.got.push_back(TmrIsRunning(&h.pool, 1, 3));
         },
         {TRUE, FALSE, TRUE},
         {Slot{0, 5, 1, 1, 0}, Slot{1, 0, 1, 2, 0}, Slot{2, 5, 1, 3, 0}, kFreeSlot}},

        // Entries a callback starts above itself are reached in the same tick.
        {"StartedAboveRunsSameTick",
         [](Harness& h) {
             h.Start(0, 1, 1, 0);
             OnFire(h, 0, TRUE, [](Harness& hh) {
                 hh.Start(1, 1, 2, 0);
                 hh.Start(2, 1, 3, 25);
             });
         },
         {10},
         {{1, 1, 0, 0}},
         nullptr,
         {},
         {kFreeSlot, kFreeSlot, Slot{2, 15, 1, 3, 0}, kFreeSlot}},

        // ... and those it starts below wait for the next tick.
        {"StartedBelowWaitsForNextTick",
         [](Harness& h) {
             h.Start(0, 1, 1, 100);
             h.Start(1, 1, 2, 0);
             OnFire(h, 1, TRUE, [](Harness& hh) {
                 TmrClear(&hh.pool, 1, 1);
                 hh.Start(2, 1, 3, 0);
             });
         },
         {10},
         {{0, 1, 0, 0}},
         nullptr,
         {},
         {Slot{2, 0, 1, 3, 0}, kFreeSlot, kFreeSlot, kFreeSlot}},

        {"FreedAboveIsSkipped",
         [](Harness& h) {
             h.Start(0, 1, 1, 0);
             h.Start(1, 2, 1, 0);
             h.Start(2, 2, 2, 0);
             OnFire(h, 0, TRUE, [](Harness& hh) {
                 hh.got.push_back(TmrClear(&hh.pool, 2, 1));
                 hh.got.push_back(TmrClearAllOfOwner(&hh.pool, 2));
             });
         },
         {10},
         {{1, 0, 0, 0}},
         nullptr,
         {TRUE, TRUE},
         {kFreeSlot, kFreeSlot, kFreeSlot, kFreeSlot}},

        {"ClearAllOfOwnerSparesRunningEntry",
         [](Harness& h) {
             h.Start(0, 7, 1, 100);
             h.Start(1, 7, 2, 0);
             h.Start(2, 8, 1, 0);
             h.Start(3, 7, 3, 0);
             OnFire(h, 1, FALSE, [](Harness& hh) { hh.got.push_back(TmrClearAllOfOwner(&hh.pool, 7)); });
         },
         {10, 10},
         {{0, 1, 1, 0}, {0, 2, 1, 0}},
         nullptr,
         {TRUE, FALSE},
         {kFreeSlot, Slot{1, 0, 7, 2, 0}, kFreeSlot, kFreeSlot}},
    };
}

class TmrPoolRules : public testing::TestWithParam<Case> {};

TEST_P(TmrPoolRules, FiresAnswersAndEntries)
{
    const Case& c = GetParam();
    Harness h;
    c.setup(h);
    for (size_t t = 0; t < c.ticks.size(); ++t) {
        TmrTick(&h.pool, c.ticks[t]);
        EXPECT_EQ(h.Fired(), c.fired[t]) << "after tick " << t + 1;
    }
    if (c.after) c.after(h);
    EXPECT_EQ(h.got, c.got);
    for (ULONG i = 0; i < kEntries; ++i) {
        const TmrEntry& e = h.entries[i];
        const Slot& s = c.slots[i];
        SCOPED_TRACE("entry " + std::to_string(i));
        if (s.probe == kFree) {
            EXPECT_EQ(e.Callback, nullptr);
            EXPECT_EQ(e.Context, nullptr);
        } else {
            EXPECT_EQ(e.Callback, &Harness::Fire);
            EXPECT_EQ(e.Context, &h.probes[s.probe]);
        }
        EXPECT_EQ(e.Remaining, s.remaining);
        EXPECT_EQ(e.Key1, s.key1);
        EXPECT_EQ(e.Key2, s.key2);
        EXPECT_EQ(e.RestartCount, s.restarts);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TmrPoolRules, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// A callback that rebuilds the pool (an adapter reset) ends the tick's pass: the timers
// it starts afterwards belong to the new pool, including the one that reuses the
// running index, and the entries above it are no longer walked.
TEST(TmrPoolReinit, TimersStartedAfterReinitInsideCallbackSurviveTick)
{
    Harness h;
    h.Start(0, 1, 1, 100);
    h.Start(1, 1, 2, 0);
    h.Start(2, 1, 3, 0);
    OnFire(h, 1, TRUE, [](Harness& hh) {
        TmrInit(&hh.pool, hh.entries, kEntries);
        hh.got.push_back(hh.Start(2, 5, 1, 0));  // index 0
        hh.got.push_back(hh.Start(3, 5, 2, 0));  // index 1, the running index
        hh.got.push_back(hh.Start(0, 5, 3, 0));  // index 2, above the running index
    });

    TmrTick(&h.pool, 10);
    EXPECT_EQ(h.Fired(), (std::array<int, kProbes>{0, 1, 0, 0}));
    EXPECT_EQ(h.got, (std::vector<int>{TRUE, TRUE, TRUE}));
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(h.entries[i].Callback, &Harness::Fire) << "entry " << i;
        EXPECT_EQ(h.entries[i].Key1, 5u) << "entry " << i;
        EXPECT_EQ(h.entries[i].Key2, i + 1) << "entry " << i;
    }
    EXPECT_EQ(h.entries[3].Callback, nullptr);

    // The tick left no running index behind: the new timer at index 1 clears.
    EXPECT_TRUE(TmrClear(&h.pool, 5, 2));

    TmrTick(&h.pool, 10);
    EXPECT_EQ(h.Fired(), (std::array<int, kProbes>{1, 1, 1, 0}));
    for (const TmrEntry& e : h.entries) EXPECT_EQ(e.Callback, nullptr);
}

// A callback that keeps its own timer going reloads its running entry; outside a tick,
// or for another timer's keys, the pool is searched as by TmrRestart.
TEST(TmrPoolRestartRunning, ReloadsTheRunningEntryElseSearches)
{
    Harness h;
    h.Start(0, 7, 1, 0);   // index 0
    h.Start(1, 7, 2, 0);   // index 1: keeps itself going
    h.Start(2, 7, 3, 50);  // index 2
    OnFire(h, 1, FALSE, [](Harness& hh) {
        hh.got.push_back(TmrRestartRunning(&hh.pool, 7, 2, 30));
        hh.got.push_back(TmrRestartRunning(&hh.pool, 7, 3, 80));  // another timer: found by search
        hh.got.push_back(TmrRestartRunning(&hh.pool, 7, 9, 80));  // no such timer
    });
    TmrTick(&h.pool, 10);
    EXPECT_EQ(h.got, (std::vector<int>{TRUE, TRUE, FALSE}));
    EXPECT_EQ(h.entries[1].Remaining, 30u);
    EXPECT_EQ(h.entries[1].RestartCount, 1u);
    EXPECT_EQ(h.entries[2].Remaining, 80u - 10u) << "reloaded, then ticked";
    EXPECT_EQ(h.entries[2].RestartCount, 1u);
    EXPECT_EQ(h.entries[0].Callback, nullptr) << "the first one ended";

    TmrTick(&h.pool, 20);
    EXPECT_EQ(h.Fired(), (std::array<int, kProbes>{1, 1, 0, 0})) << "reloaded to 30 ms: not yet due";
    TmrTick(&h.pool, 10);
    EXPECT_EQ(h.Fired(), (std::array<int, kProbes>{1, 2, 0, 0}));

    // Outside a tick there is no running entry: the search finds it.
    EXPECT_TRUE(TmrRestartRunning(&h.pool, 7, 2, 500));
    EXPECT_EQ(h.entries[1].Remaining, 500u);
    EXPECT_FALSE(TmrRestartRunning(&h.pool, 8, 2, 500));
}

struct FileNameCase {
    const char* path;
    size_t nameAt;  // offset of the expected result within path
};

void PrintTo(const FileNameCase& c, std::ostream* os) { *os << '"' << c.path << '"'; }

class TraceFileNameTest : public testing::TestWithParam<FileNameCase> {};

TEST_P(TraceFileNameTest, PointsAfterLastSeparator)
{
    const FileNameCase& c = GetParam();
    EXPECT_EQ(TraceFileName(c.path), c.path + c.nameAt) << c.path;
}

INSTANTIATE_TEST_SUITE_P(Paths, TraceFileNameTest,
                         testing::Values(FileNameCase{"d:\\vornet\\driver\\Common\\RSS_tmrs.c", 24},
                                         FileNameCase{"\\RSS_tmrs.c", 1},
                                         FileNameCase{"RSS_tmrs.c", 0},
                                         FileNameCase{"Common\\", 7},
                                         FileNameCase{"", 0},
                                         FileNameCase{"driver/Common/RSS_tmrs.cpp", 14},
                                         FileNameCase{"d:\\src/Common\\RSS_tmrs.c", 14}));

// The counter counts ticks of every pool, not milliseconds, and a tick's callbacks
// already see that tick counted.
TEST(TraceTickTest, CountsTicksOfAllPools)
{
    TraceResetTick();
    Harness a;
    Harness b;
    TmrEntry none[1]{};
    TmrPool empty{};
    TmrInit(&empty, none, 0);

    ULONG seen = 0;
    a.Start(0, 1, 1, 0);
    a.probes[0].onFire = [&seen](Harness&) {
        seen = TraceTick();
        return TRUE;
    };

    TmrTick(&a.pool, 1000);
    TmrTick(&b.pool, 10);
    TmrTick(&empty, 10);
    TmrTick(&a.pool, 10);
    EXPECT_EQ(seen, 1u);
    EXPECT_EQ(TraceTick(), 4u);

    TraceResetTick();
    EXPECT_EQ(TraceTick(), 0u);
}

}  // namespace
