// Timer pools: start, clear, restart and tick over a fixed array of entries.
#include "driver/Common/RSS_tmrs.h"

#include <cstring>

BOOLEAN RssTraceEnabled = FALSE;

static ULONG TraceTickCounter;

ULONG TraceTick(void) { return TraceTickCounter; }
void TraceResetTick(void) { TraceTickCounter = 0; }

// The base name of a source path; this host's paths separate with '/' as well.
const char* TraceFileName(const char* Path)
{
    const char* name = Path;
    for (const char* p = Path; *p != 0; ++p)
        if (*p == '\\' || *p == '/') name = p + 1;
    return name;
}

// Searches and the tick stop at Top, so a large pool with few timers costs what they do.
static void TmrLowerTop(TmrPool* Pool)
{
    while (Pool->Top > 0 && Pool->Entries[Pool->Top - 1].Callback == NULL) Pool->Top--;
}

static void TmrFree(TmrPool* Pool, TmrEntry* e)
{
    std::memset(e, 0, sizeof *e);
    if (e == &Pool->Entries[Pool->Top - 1] && Pool->RunningIndex < 0) TmrLowerTop(Pool);
}

static LONG TmrFind(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2)
{
    for (ULONG i = 0; i < Pool->Top; ++i)
        if (Pool->Entries[i].Key1 == Key1 && Pool->Entries[i].Key2 == Key2) return (LONG)i;
    return -1;
}

void TmrInit(TmrPool* Pool, TmrEntry* Entries, ULONG Count)
{
    ULONG generation = Pool->Generation + 1;
    std::memset(Pool, 0, sizeof *Pool);
    std::memset(Entries, 0, sizeof(TmrEntry) * Count);
    Pool->Count = Count;
    Pool->RunningIndex = -1;
    Pool->Entries = Entries;
    Pool->Generation = generation;
}

BOOLEAN TmrStart(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2, ULONG Milliseconds, TMR_CALLBACK Callback, PVOID Context)
{
    for (ULONG i = 0; i < Pool->Count; ++i) {
        TmrEntry* e = &Pool->Entries[i];
        if (e->Callback != NULL) continue;
        if (i >= Pool->Top) Pool->Top = i + 1;
        e->Callback = Callback;
        e->Context = Context;
        e->Remaining = Milliseconds;
        e->Key1 = Key1;
        e->Key2 = Key2;
        e->RestartCount = 0;
        return TRUE;
    }
    RSS_TRACE("TmrStart: 0 Free Timers out of %d\n", (int)Pool->Count);
    return FALSE;
}

BOOLEAN TmrClear(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2)
{
    for (ULONG i = 0; i < Pool->Top; ++i) {
        TmrEntry* e = &Pool->Entries[i];
        if (e->Key1 == Key1 && e->Key2 == Key2 && (LONG)i != Pool->RunningIndex) {
            TmrFree(Pool, e);
            return TRUE;
        }
    }
    RSS_TRACE("TmrClear: Timer Not in list\n");
    return FALSE;
}

BOOLEAN TmrClearAllOfOwner(TmrPool* Pool, ULONG_PTR Key1)
{
    BOOLEAN cleared = FALSE;
    for (ULONG i = 0; i < Pool->Top; ++i) {
        TmrEntry* e = &Pool->Entries[i];
        if (e->Key1 == Key1 && (LONG)i != Pool->RunningIndex) {
            std::memset(e, 0, sizeof *e);
            cleared = TRUE;
        }
    }
    if (Pool->RunningIndex < 0) TmrLowerTop(Pool);
    return cleared;
}

BOOLEAN TmrRestart(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2, ULONG Milliseconds)
{
    LONG i = TmrFind(Pool, Key1, Key2);
    if (i < 0) return FALSE;
    Pool->Entries[i].Remaining = Milliseconds;
    Pool->Entries[i].RestartCount++;
    return TRUE;
}

ULONG TmrGetCount(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2)
{
    LONG i = TmrFind(Pool, Key1, Key2);
    return i < 0 ? 0 : Pool->Entries[i].RestartCount;
}

BOOLEAN TmrIsRunning(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2)
{
    LONG i = TmrFind(Pool, Key1, Key2);
    return i >= 0 && Pool->Entries[i].Remaining > 0;
}

void TmrTick(TmrPool* Pool, ULONG ElapsedMs)
{
    TraceTickCounter++;
    ULONG generation = Pool->Generation;
    // Only TmrInit sets the array, and a callback that rebuilds the pool ends the tick.
    TmrEntry* e = Pool->Entries;
    // A callback may start timers: Top is read again at every step, as they run in this tick too.
    for (ULONG i = 0; i < Pool->Top; ++i, ++e) {
        if (e->Callback == NULL) continue;
        if (e->Remaining > ElapsedMs) {
            e->Remaining -= ElapsedMs;
            continue;
        }
        Pool->RunningIndex = (LONG)i;
        BOOLEAN done = e->Callback(e->Context);
        if (Pool->Generation != generation) {
            // The callback rebuilt the pool: its entries belong to the new chain now.
            Pool->RunningIndex = -1;
            return;
        }
        if (done == TRUE) std::memset(e, 0, sizeof *e);
    }
    Pool->RunningIndex = -1;
    TmrLowerTop(Pool);
}
