// Millisecond timer pools and the trace-line prefix.
//
// A pool is a fixed array of entries owned by its caller (the adapter, or a signalling
// stack instance); it has no clock of its own and advances only by TmrTick. Pools take
// no lock: each is touched only under the lock of its owner (AdapterSpinLock).
#pragma once

#include "platform/ndis/ndis.h"

typedef BOOLEAN (*TMR_CALLBACK)(PVOID Context);

typedef struct _TmrEntry {
    TMR_CALLBACK Callback;  // NULL marks a free entry
    PVOID Context;
    ULONG Remaining;        // milliseconds
    ULONG_PTR Key1;         // the owner, as a rule the owning object's address
    ULONG Key2;             // the timer's id within its owner
    ULONG RestartCount;
} TmrEntry;

typedef struct _TmrPool {
    ULONG Count;
    LONG RunningIndex;      // entry whose callback ran last in the tick in progress, -1 outside a tick
    TmrEntry* Entries;
    ULONG Generation;       // raised by every TmrInit, so a tick notices a pool rebuilt under it
    ULONG Top;              // one past the last entry in use: entries from Top on are all free
} TmrPool;

void TmrInit(TmrPool* Pool, TmrEntry* Entries, ULONG Count);
BOOLEAN TmrStart(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2, ULONG Milliseconds, TMR_CALLBACK Callback, PVOID Context);
BOOLEAN TmrClear(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2);
BOOLEAN TmrClearAllOfOwner(TmrPool* Pool, ULONG_PTR Key1);
BOOLEAN TmrRestart(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2, ULONG Milliseconds);
// From inside a callback: reloads the running entry when it is the timer of these keys,
// without a search of the pool; otherwise as TmrRestart. Inline: the background passes
// reload their own entry at the end of every pass.
inline BOOLEAN TmrRestartRunning(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2, ULONG Milliseconds)
{
    // Outside a tick the index is -1, which as unsigned lies beyond every pool.
    const ULONG r = (ULONG)Pool->RunningIndex;
    if (r < Pool->Count) {
        TmrEntry* e = &Pool->Entries[r];
        if (e->Callback != NULL && e->Key1 == Key1 && e->Key2 == Key2) {
            e->Remaining = Milliseconds;
            e->RestartCount++;
            return TRUE;
        }
    }
    return TmrRestart(Pool, Key1, Key2, Milliseconds);
}
ULONG TmrGetCount(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2);
BOOLEAN TmrIsRunning(TmrPool* Pool, ULONG_PTR Key1, ULONG Key2);
void TmrTick(TmrPool* Pool, ULONG ElapsedMs);

ULONG TraceTick(void);
const char* TraceFileName(const char* Path);
void TraceResetTick(void);

// Trace lines: "[tick]<file:line>" then the message. RSS_TRACE lines are compiled in
// and written only while RssTraceEnabled is set; RSS_LOG lines are always written.
extern BOOLEAN RssTraceEnabled;

#define RSS_LOG(...)                                                                 \
    do {                                                                             \
        DbgPrint("[%ld]<%s:%d>", (long)TraceTick(), TraceFileName(__FILE__), __LINE__); \
        DbgPrint(__VA_ARGS__);                                                       \
    } while (0)

#define RSS_TRACE(...)                        \
    do {                                      \
        if (RssTraceEnabled) RSS_LOG(__VA_ARGS__); \
    } while (0)
