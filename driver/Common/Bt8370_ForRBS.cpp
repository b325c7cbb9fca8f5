// The framer's side of a line's signalling stack: the robbed-bit exchange (received
// A, B, C, D bits to the stack, the stack's bits into the transmit per-channel
// registers), the debounced layer-1 report, and the two table-driven layer-1
// activation machines (terminal side and network side). Owns bL1Up, the report
// counters, bL1Hold, nL1State and nL1LastEvent. Runs under AdapterSpinLock.
#include "driver/Common/Bt837x.h"

#include "driver/Common/RSS_init.h"
#include "driver/signalling/rbs/RbsStack.h"

// ---- robbed-bit exchange ----

static ULONG Bt8370RbsControl(Bt8370* ThisBt8370, ULONG Id, ULONG Argument)
{
    Adapter* a = ThisBt8370->ThisAdapter;
    SGNL_CONTROL control = a->SgnlProtocolOps[ThisBt8370->nLine].Control;
    return control == NULL ? CONTROL_UNKNOWN : control(CTL_KIND_SET, Id, a->ThisSgnlStack[ThisBt8370->nLine], Argument);
}

// A line's stack other than the robbed-bit one (or no register window) is asked
// through Control, twice per channel.
static void Bt8370ExchangeByControl(Bt8370* ThisBt8370)
{
    for (ULONG k = 0; k < BT8370_NUM_CHANNELS; k++) {
        ULONG tpc = BT_BANK(BT_TPC, k);
        ULONG rx = (ULONG)(Bt8370Read(ThisBt8370, BT_BANK(BT_RSIG, k)) >> 4);
        Bt8370RbsControl(ThisBt8370, CTL_RX_SIGNALLING_BITS, (k << 8) | rx);
        // TPC reads back what was written: it is read once (this runs for all 32
        // channels twice a multiframe, and every bus read stalls the processor).
        UCHAR v = (UCHAR)(Bt8370Read(ThisBt8370, tpc) | 0x10);
        Bt8370Write(ThisBt8370, tpc, v);
        v &= 0xF0;
        Bt8370Write(ThisBt8370, tpc, v);
        // Only the A, B, C, D bits of the answer reach the register; "nothing to
        // report" sends zeros.
        ULONG tx = Bt8370RbsControl(ThisBt8370, CTL_TX_SIGNALLING_BITS, k);
        if (tx == CONTROL_UNKNOWN) tx = 0;
        Bt8370Write(ThisBt8370, tpc, (UCHAR)(v | (tx & 0x0F)));
    }
}

static_assert(BT8370_NUM_CHANNELS == RBS_CHANNELS, "one robbed-bit channel per framer channel");
static_assert(BT_BANK(BT_RSIG, 1) == BT_BANK(BT_RSIG, 0) + 1 && BT_BANK(BT_TPC, 1) == BT_BANK(BT_TPC, 0) + 1,
              "a bank holds one register per channel, in channel order");
static_assert(BT_BANK(BT_RSIG, BT8370_NUM_CHANNELS - 1) < BT8370_NUM_REGS && BT_BANK(BT_TPC, BT8370_NUM_CHANNELS - 1) < BT8370_NUM_REGS,
              "the signalling banks lie in the register window");

static volatile UCHAR* Bt8370BankRegister(Bt8370* ThisBt8370, ULONG Bank, ULONG Channel)
{
    return (volatile UCHAR*)(ThisBt8370->pRegs + 4 * BT_BANK(Bank, Channel));
}

// The robbed-bit stack takes its channels' bits in one call and hands them out in one:
// the bits it sends do not depend on those it receives in the same pass (they change
// only in its machine step), so the registers see the same accesses in the same order.
BOOLEAN Bt8370BackgroundForRBS(Bt8370* ThisBt8370)
{
    Adapter* a = ThisBt8370->ThisAdapter;
    ULONG line = ThisBt8370->nLine;
    if (a->SgnlProtocolOps[line].Control != RbsStackQueryParam || ThisBt8370->pRegs == NULL) {
        Bt8370ExchangeByControl(ThisBt8370);
        return TRUE;
    }
    PVOID stack = a->ThisSgnlStack[line];
    UCHAR tx[BT8370_NUM_CHANNELS] = {0};
    UCHAR rx[BT8370_NUM_CHANNELS];
    if (stack != NULL) RbsStackTransmitBits(stack, tx);
    // Both banks walked by pointer: a channel's registers are 4 bytes after the previous one's.
    volatile UCHAR* rsig = Bt8370BankRegister(ThisBt8370, BT_RSIG, 0);
    volatile UCHAR* tpc = Bt8370BankRegister(ThisBt8370, BT_TPC, 0);
    for (ULONG k = 0; k < BT8370_NUM_CHANNELS; k++, rsig += 4, tpc += 4) {
        rx[k] = (UCHAR)(READ_REGISTER_UCHAR(rsig) >> 4);
        // TPC reads back what was written: it is read once (this runs for all 32
        // channels twice a multiframe, and every bus read stalls the processor).
        UCHAR v = (UCHAR)(READ_REGISTER_UCHAR(tpc) | 0x10);
        WRITE_REGISTER_UCHAR(tpc, v);
        v &= 0xF0;
        WRITE_REGISTER_UCHAR(tpc, v);
        // Only the A, B, C, D bits reach the register; "nothing to report" sends zeros.
        WRITE_REGISTER_UCHAR(tpc, (UCHAR)(v | (tx[k] & 0x0F)));
    }
    if (stack != NULL) RbsStackReceiveBits(stack, rx);
    return TRUE;
}

// ---- debounced layer-1 report ----

static void Bt8370Report(Bt8370* ThisBt8370, BOOLEAN Up)
{
    Adapter* a = ThisBt8370->ThisAdapter;
    ULONG line = ThisBt8370->nLine;
    SGNL_LAYER1_INDICATION indicate = a->SgnlProtocolOps[line].Layer1Indication;
    RSS_TRACE("~~Bt8370Layer1Indication[%lu]: layer 1 %s\n", (unsigned long)line, Up ? "up" : "down");
    if (indicate != NULL) indicate(a, a->ThisSgnlStack[line], line, Up ? LAYER1_ACTIVATED : LAYER1_DEACTIVATED);
    if (Up) {
        ThisBt8370->bL1Up = 1;
        ThisBt8370->nL1UpReports++;
    } else {
        ThisBt8370->bL1Up = 0;
        ThisBt8370->nL1DownReports++;
    }
    ThisBt8370->nL1UpPolls = 0;
    ThisBt8370->nL1DownPolls = 0;
}

// A poll run in one direction is broken by any poll in the other: only consecutive
// polls count towards a report.
BOOLEAN Bt8370Layer1Indication(Bt8370* ThisBt8370, ULONG Kind)
{
    ULONG downAfter = ThisBt8370->bRbsMode ? L1_RBS_DOWN_POLLS : L1_POLLS;
    ULONG upAfter = ThisBt8370->bRbsMode ? L1_RBS_UP_POLLS : L1_POLLS;
    if (!ThisBt8370->bUsed) {
        ThisBt8370->bL1Up = 0;
        return TRUE;
    }
    switch (Kind) {
    case L1_POLL_INACTIVE:
        ThisBt8370->nL1UpPolls = 0;
        if (ThisBt8370->bL1Up == 1 && !ThisBt8370->bL1Hold && ++ThisBt8370->nL1DownPolls > downAfter) {
            Bt8370Report(ThisBt8370, FALSE);
            ThisBt8370->bL1Hold = 0;
        }
        break;
    case L1_POLL_ACTIVE:
        ThisBt8370->nL1DownPolls = 0;
        if (ThisBt8370->bL1Up == 0 && !ThisBt8370->bL1Hold && ++ThisBt8370->nL1UpPolls > upAfter) {
            Bt8370Report(ThisBt8370, TRUE);
            ThisBt8370->bL1Hold = 0;
        }
        break;
    case L1_FORCE_DOWN:
        Bt8370Report(ThisBt8370, FALSE);
        ThisBt8370->bL1Hold = 1;
        break;
    case L1_FORCE_UP:
        Bt8370Report(ThisBt8370, TRUE);
        ThisBt8370->bL1Hold = 1;
        break;
    case L1_RELEASE_HOLD: ThisBt8370->bL1Hold = 0; break;
    case L1_SET_HOLD: ThisBt8370->bL1Hold = 1; break;
    default: break;
    }
    return TRUE;
}

// ---- layer-1 machines ----

// Actions of a cell, executed in this order: transmit alarm (A-, A+ or N), then the
// report (D or U), then the new state.
#define L1A_AMINUS 0x01
#define L1A_APLUS 0x02
#define L1A_N 0x04
#define L1A_DOWN 0x08
#define L1A_UP 0x10
#define L1_STAY 0xFF

typedef struct _BT8370_L1_CELL {
    UCHAR Actions;
    UCHAR Next;  // L1_STAY: no change
} BT8370_L1_CELL;

#define C(actions, next) {(actions), (next)}
#define NOP C(0, L1_STAY)
#define AM L1A_AMINUS
#define AP L1A_APLUS

// Terminal side: rows events 0-7, columns 0xF0-0xF6 and "any other state".
static const BT8370_L1_CELL Bt8370TerminalMachine[8][8] = {
    {NOP, C(AM | L1A_DOWN, 0xF0), C(AM, 0xF0), C(AP, 0xF0), C(AP, 0xF0), C(AM, 0xF0), C(0, 0xF0), NOP},
    {C(0, 0xF6), NOP, NOP, NOP, NOP, NOP, NOP, NOP},
    {NOP, C(AM, L1_STAY), C(AM | L1A_UP, 0xF1), C(AP | L1A_UP, 0xF1), C(AP | L1A_UP, 0xF1), C(AM | L1A_UP, 0xF1), NOP,
     C(0, 0xF1)},
    {NOP, C(AM | L1A_DOWN, 0xF2), C(AM, L1_STAY), C(AP, 0xF2), C(AP, 0xF2), C(AM, 0xF2), C(0, 0xF2), C(0, 0xF2)},
    {NOP, C(AM | L1A_DOWN, 0xF3), C(AM, 0xF3), C(AP, L1_STAY), C(AP, 0xF3), C(AM, 0xF3), C(0, 0xF3), C(0, 0xF3)},
    {NOP, C(AM | L1A_DOWN, 0xF3), C(AM, 0xF3), C(AP, L1_STAY), C(AP, 0xF3), C(AM, 0xF3), C(0, 0xF3), C(0, 0xF3)},
    {NOP, C(AM | L1A_DOWN, 0xF4), C(AM, 0xF4), C(AP, 0xF4), C(AP, L1_STAY), C(AM, 0xF4), C(0, 0xF4), C(0, 0xF4)},
    {NOP, C(AM | L1A_DOWN, 0xF5), C(AM, 0xF5), C(AP, 0xF5), C(AP, 0xF5), C(AM, L1_STAY), C(0, 0xF5), C(0, 0xF5)},
};

// Network side: rows events 0-7, columns states 0-6; any other state does nothing.
static const BT8370_L1_CELL Bt8370NetworkMachine[8][7] = {
    {NOP, C(AM | L1A_DOWN, 0), C(AP, 0), C(AM, 0), C(L1A_N, 0), C(AP, 0), C(0, 0)},
    {C(0, 6), C(AM, L1_STAY), C(AP, L1_STAY), C(AM, L1_STAY), C(L1A_N, L1_STAY), C(AP, L1_STAY), NOP},
    {NOP, C(AM, L1_STAY), C(AP | L1A_UP, 1), C(AM | L1A_UP, 1), C(L1A_N | L1A_UP, 1), C(AP | L1A_UP, 1), C(L1A_UP, 1)},
    {NOP, C(AM, L1_STAY), C(AP | L1A_UP, 1), C(AM | L1A_UP, 1), C(L1A_N | L1A_UP, 1), C(AP | L1A_UP, 1), C(L1A_UP, 1)},
    {NOP, C(AM | L1A_DOWN, 2), C(AP, L1_STAY), C(AM, L1_STAY), C(L1A_N, 2), C(AP, 2), C(0, 2)},
    {NOP, C(AM | L1A_DOWN, 3), C(AP, 3), C(AM, L1_STAY), C(L1A_N, 3), C(AP, 3), C(0, 3)},
    {NOP, C(AM | L1A_DOWN, 4), C(AP, L1_STAY), C(AM, L1_STAY), C(L1A_N, L1_STAY), C(AP, L1_STAY), C(0, 4)},
    {NOP, C(AM | L1A_DOWN, 5), C(AP, L1_STAY), C(AM, L1_STAY), C(L1A_N, 5), C(AP, L1_STAY), C(0, 5)},
};

#undef C
#undef NOP
#undef AM
#undef AP

static void Bt8370L1Run(Bt8370* ThisBt8370, const BT8370_L1_CELL* Cell)
{
    UCHAR act = Cell->Actions;
    BOOLEAN alarmBits = ThisBt8370->nDeviceCode == 4 || ThisBt8370->nDeviceCode == 7;
    if ((act & L1A_AMINUS) && alarmBits) {
        Bt8370ClearBits(ThisBt8370, BT_TFRM, 0x10);
        Bt8370ClearBits(ThisBt8370, BT_TALM, 0x10);
    }
    if ((act & L1A_APLUS) && alarmBits) {
        Bt8370SetBits(ThisBt8370, BT_TFRM, 0x10);
        Bt8370SetBits(ThisBt8370, BT_TALM, 0x10);
    }
    if (act & L1A_N) {
        Bt8370ClearBits(ThisBt8370, BT_TALM, 0x01);
        Bt8370SetBits(ThisBt8370, BT_TALM, 0x08);
        Bt8370ClearBits(ThisBt8370, BT_TLIU_CR, 0x01);
    }
    if (act & L1A_DOWN) Bt8370Layer1Indication(ThisBt8370, L1_FORCE_DOWN);
    if (act & L1A_UP) Bt8370Layer1Indication(ThisBt8370, L1_FORCE_UP);
    if (Cell->Next != L1_STAY) ThisBt8370->nL1State = Cell->Next;
}

void Bt8370Layer1Event(Bt8370* ThisBt8370, ULONG Event)
{
    Adapter* a = ThisBt8370->ThisAdapter;
    if (!ThisBt8370->bUsed || !ThisBt8370->bL1Machine || Event > 7) return;
    ULONG state = ThisBt8370->nL1State;
    if (Bt8370LineParam(ThisBt8370, a->NetworkSide) != 0) {
        if (state <= 6) Bt8370L1Run(ThisBt8370, &Bt8370NetworkMachine[Event][state]);
        return;
    }
    ThisBt8370->nL1LastEvent = Event;
    ULONG column = (state >= 0xF0 && state <= 0xF6) ? state - 0xF0 : 7;
    Bt8370L1Run(ThisBt8370, &Bt8370TerminalMachine[Event][column]);
}
