// Framer bring-up (identification, the two timed reset steps, the configuration
// sequence, the validity check), the background launch with the interrupt enables and
// the robbed-bit polls, the interrupt side (capture, merge, alarms, counters, the
// transmit alarm after loss of frame), loopbacks and the 50 ms status poll. Owns
// nState, nNumResets, the options, the interrupt copies, trackers and counters of the
// Bt8370 record.
//
// Locking: everything under AdapterSpinLock, except Bt8370IsrHdlr (device level: it
// only accumulates into ForegroundIntInfo and sets IntToServe and the alarm snapshots)
// and Bt8370ISRManagement, which runs under the latch lock (the ISR of either
// interrupt serves the framers, on either processor) and is the only place that takes the capture over and clears it.
#include "driver/Common/Bt837x.h"

#include <cstring>

#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_shel.h"

// Option numbers (1-based as the record names them).
#define OPT_USED 1
#define OPT_MASTER 2
#define OPT_SIGNALLING 3
#define OPT_WORD4 4
#define OPT_TX_ALARM_MODE 5

static ULONG* Bt8370Option(Bt8370* ThisBt8370, ULONG Option) { return &ThisBt8370->Option[Option - 1][ThisBt8370->nLine]; }

static TmrPool* Bt8370Pool(Bt8370* ThisBt8370) { return &ThisBt8370->ThisAdapter->AdapterTimerPool; }

static BOOLEAN Bt8370StartTimer(Bt8370* ThisBt8370, ULONG Id, ULONG Ms, TMR_CALLBACK Callback)
{
    BOOLEAN ok = TmrStart(Bt8370Pool(ThisBt8370), Bt8370TimerOwner(ThisBt8370), Id + ThisBt8370->nLine, Ms, Callback,
                          ThisBt8370);
    if (!ok) RSS_LOG("@@@@ Bt8370[%lu]: no pool timer for id 0x%lx\n", (unsigned long)ThisBt8370->nLine, (unsigned long)Id);
    return ok;
}

// The line's stack answers a framer question with a yes: neither 0 nor "nothing to
// report" (CONTROL_UNKNOWN).
static ULONG Bt8370StackControl(Bt8370* ThisBt8370, ULONG Id, ULONG Argument)
{
    Adapter* a = ThisBt8370->ThisAdapter;
    ULONG line = ThisBt8370->nLine;
    if (a->SgnlProtocolOps[line].Control == NULL) return CONTROL_UNKNOWN;
    return a->SgnlProtocolOps[line].Control(CTL_KIND_SET, Id, a->ThisSgnlStack[line], Argument);
}

static BOOLEAN Bt8370StackSaysYes(Bt8370* ThisBt8370, ULONG Id)
{
    ULONG answer = Bt8370StackControl(ThisBt8370, Id, 0);
    return answer != 0 && answer != CONTROL_UNKNOWN;
}

// ---- identification and reset steps ----

static void Bt8370NextFramer(Bt8370* ThisBt8370)
{
    Adapter* a = ThisBt8370->ThisAdapter;
    ULONG next = ThisBt8370->nLine + 1;
    if (next < a->NumberOfLines && next < MAX_LINES)
        Bt8370Initialize(&a->Framer[next], 0);
    else
        AdapterLineInterfaceInitDone(a);
}

static BOOLEAN Bt8370DidValid(UCHAR Did)
{
    UCHAR code = Did & 0x0F;
    return (Did & 0xF0) == 0 && (code == 3 || code == 4 || code == 7 || code == 8);
}

void Bt8370Initialize(Bt8370* ThisBt8370, ULONG)
{
    Adapter* a = ThisBt8370->ThisAdapter;
    ULONG line = ThisBt8370->nLine;

    *Bt8370Option(ThisBt8370, OPT_USED) = 1;
    *Bt8370Option(ThisBt8370, OPT_MASTER) = a->LineIntfMode[line] == 0 ? 0 : 1;
    *Bt8370Option(ThisBt8370, OPT_SIGNALLING) = 0;
    *Bt8370Option(ThisBt8370, OPT_WORD4) = 1;
    *Bt8370Option(ThisBt8370, OPT_TX_ALARM_MODE) = 1;
    ThisBt8370->bL1Machine = 0;
    ThisBt8370->bIntSelect = 0;

    ThisBt8370->pRegs = a->FramerBase[line];
    UCHAR did = Bt8370Read(ThisBt8370, BT_DID);
    if (ThisBt8370->pRegs != NULL && Bt8370DidValid(did)) {
        ThisBt8370->bUsed = *Bt8370Option(ThisBt8370, OPT_USED) != 0;
        ThisBt8370->bPresent = 1;
        ThisBt8370->nDeviceCode = did & 0x0F;
        ThisBt8370->nState = BT8370_PRESENT_ON;
        ThisBt8370->RegBase = ThisBt8370->pRegs;
        ThisBt8370->bMaster = *Bt8370Option(ThisBt8370, OPT_MASTER);
        ThisBt8370->nNumResets = 0;
        ThisBt8370->bRbsMode = a->SignallingProtocol[line] == 0 ? 1 : 0;
        ThisBt8370->bL1Up = ThisBt8370->nL1UpReports = ThisBt8370->nL1DownReports = 0;
        ThisBt8370->nL1UpPolls = ThisBt8370->nL1DownPolls = ThisBt8370->bL1Hold = 0;
        ThisBt8370->StatisticsOn = 1;
        ThisBt8370->nL1Word4 = 4;
        ThisBt8370->bSigOption = *Bt8370Option(ThisBt8370, OPT_SIGNALLING);
        std::memset(ThisBt8370->ForegroundIntInfo, 0, sizeof ThisBt8370->ForegroundIntInfo);
        std::memset(ThisBt8370->BackgroundIntInfo, 0, sizeof ThisBt8370->BackgroundIntInfo);
        ThisBt8370->IntToServe = ThisBt8370->InterruptBadIRR = 0;
        ThisBt8370->Alarm2Tracked = ThisBt8370->Alarm2Previous = 0;
        ThisBt8370->IsrHdlrAlarm1Enter = ThisBt8370->IsrHdlrAlarm2Enter = 0;
        ThisBt8370->IsrHdlrAlarm1Exit = ThisBt8370->IsrHdlrAlarm2Exit = 0;
        ThisBt8370->TlofActive = 0;
        ThisBt8370->nOption4 = *Bt8370Option(ThisBt8370, OPT_WORD4);
        ThisBt8370->ActiveLoopback = 0;
        ThisBt8370->bLedHold = 0;
        ThisBt8370->nLedLast = 0;
        RSS_TRACE("~~Bt8370Initialize[%lu]: DID 0x%x\n", (unsigned long)line, did);
        Bt8370DeviceResetStep1(ThisBt8370);
        return;
    }
    RSS_TRACE("~~Bt8370Initialize[%lu]: no framer (DID 0x%x)\n", (unsigned long)line, did);
    ThisBt8370->bUsed = ThisBt8370->bPresent = 0;
    ThisBt8370->nState = BT8370_PRESENT_OFF;
    ThisBt8370->bMaster = ThisBt8370->bL1Machine = ThisBt8370->bIntSelect = 0;
    ThisBt8370->TlofActive = 0;
    ThisBt8370->bL1Up = 0;
    Bt8370NextFramer(ThisBt8370);
}

static BOOLEAN Bt8370ResetDone(Bt8370* ThisBt8370) { return (Bt8370Read(ThisBt8370, BT_PCR0) & 0x80) == 0; }

// The common shape of both reset steps: the first call writes and arms the timer; each
// of the next BT8370_RESET_POLLS expiries passes the step when PCR0 bit 7 reads 0 or
// polls again; the expiry after them fails the step (the state stays RunningState)
// and the chain goes on with the next framer. A timer that cannot be started fails
// the step as well.
static void Bt8370ResetStep(Bt8370* ThisBt8370, ULONG RunningState, TMR_CALLBACK Step, void (*Begin)(Bt8370*),
                            void (*Passed)(Bt8370*))
{
    if (ThisBt8370->nNumResets == 0) {
        ThisBt8370->nNumResets = 1;
        ThisBt8370->nState = RunningState;
        Begin(ThisBt8370);
    } else if (ThisBt8370->nNumResets <= BT8370_RESET_POLLS && Bt8370ResetDone(ThisBt8370)) {
        Passed(ThisBt8370);
        return;
    } else if (ThisBt8370->nNumResets <= BT8370_RESET_POLLS) {
        ThisBt8370->nNumResets++;
    } else {
        RSS_LOG("@@@@ Bt8370[%lu]: reset step failed in state %lu\n", (unsigned long)ThisBt8370->nLine,
                (unsigned long)RunningState);
        ThisBt8370->nState = RunningState;
        Bt8370NextFramer(ThisBt8370);
        return;
    }
    if (!Bt8370StartTimer(ThisBt8370, BT8370_TMR_RESET, BT8370_RESET_POLL_MS, Step)) {
        ThisBt8370->nState = RunningState;
        Bt8370NextFramer(ThisBt8370);
    }
}

static void Bt8370Step1Begin(Bt8370* ThisBt8370) { Bt8370ClearBits(ThisBt8370, BT_PCR0, 0x80); }

static void Bt8370Step1Passed(Bt8370* ThisBt8370)
{
    ThisBt8370->nState = RESET_STEP1_PASSED_ON;
    ThisBt8370->nNumResets = 0;
    Bt8370DeviceResetStep2(ThisBt8370);
}

static void Bt8370Step2Begin(Bt8370* ThisBt8370) { Bt8370SetBits(ThisBt8370, BT_PCR0, 0x80); }

static void Bt8370Step2Passed(Bt8370* ThisBt8370)
{
    ThisBt8370->nState = RESET_STEP2_PASSED_ON;
    Bt8370Configure(ThisBt8370);
    if (!ThisBt8370->bUsed) Bt8370Actions(ThisBt8370, CLAMP_DEVICE, 0, 0);
    Bt8370NextFramer(ThisBt8370);
}

BOOLEAN Bt8370DeviceResetStep1(PVOID Context)
{
    Bt8370ResetStep((Bt8370*)Context, RESET_STEP1_PASSED_OFF, Bt8370DeviceResetStep1, Bt8370Step1Begin, Bt8370Step1Passed);
    return TRUE;
}

BOOLEAN Bt8370DeviceResetStep2(PVOID Context)
{
    Bt8370ResetStep((Bt8370*)Context, RESET_STEP2_PASSED_OFF, Bt8370DeviceResetStep2, Bt8370Step2Begin, Bt8370Step2Passed);
    return TRUE;
}

// ---- configuration ----

BOOLEAN Bt8370Configure(Bt8370* ThisBt8370)
{
    Adapter* a = ThisBt8370->ThisAdapter;
    Bt8370DisableInts(ThisBt8370);
    Bt8370ClearAuxFlag(ThisBt8370);
    Bt8370ConfigureBase(ThisBt8370);
    Bt8370ConfigureMode(ThisBt8370);
    if (*Bt8370Option(ThisBt8370, OPT_TX_ALARM_MODE) == 1) Bt8370Actions(ThisBt8370, SET_TX_ALARM_MODE, 1, 0);
    Bt8370Actions(ThisBt8370, RESET_LOCAL, 0, 0);
    Bt8370LineIntfAction(ThisBt8370, 0x90);
    Bt8370LineIntfAction(ThisBt8370, 0x91);
    if (a->AdapterID >= 4 && a->AdapterID <= 7) Bt8370LineIntfAction(ThisBt8370, 0x92);
    return TRUE;
}

void Bt8370DumpRegisters(Bt8370* ThisBt8370)
{
    if (!RssTraceEnabled) return;
    if (ThisBt8370 == NULL) {
        RSS_TRACE("Bt8370 is NULL\n");
        return;
    }
    RSS_TRACE("Bt8370[%lu] Device: ", (unsigned long)ThisBt8370->nLine);
    if (ThisBt8370->pRegs == NULL) {
        DbgPrint("NULL\n");
        return;
    }
    UCHAR r[8], e[8];
    for (ULONG n = 0; n < 8; n++) {
        r[n] = Bt8370Read(ThisBt8370, BT_ISR7 + n);
        e[n] = Bt8370Read(ThisBt8370, BT_IER7 + n);
    }
    DbgPrint("DID=0x%x; PCR0=0x%x; JAT_CR=0x%x; IRR=0x%x\n", Bt8370Read(ThisBt8370, BT_DID),
             Bt8370Read(ThisBt8370, BT_PCR0), Bt8370Read(ThisBt8370, BT_JAT_CR), Bt8370Read(ThisBt8370, BT_IRR));
    DbgPrint("  ISR[7~0]=0x%x 0x%x 0x%x 0x%x - 0x%x 0x%x 0x%x 0x%x\n", r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]);
    DbgPrint("  IER[7~0]=0x%x 0x%x 0x%x 0x%x - 0x%x 0x%x 0x%x 0x%x\n", e[0], e[1], e[2], e[3], e[4], e[5], e[6], e[7]);
    DbgPrint("  RCR0=0x%x; TLIU_CR=0x%x; TCR0=0x%x TCR1=0x%x\n", Bt8370Read(ThisBt8370, BT_RCR0),
             Bt8370Read(ThisBt8370, BT_TLIU_CR), Bt8370Read(ThisBt8370, BT_TCR0), Bt8370Read(ThisBt8370, BT_TCR1));
    DbgPrint("  CSEL=0x%x; SBI_CR=0x%x; TSYNC_BIT=0x%x TSYNC_TS=0x%x\n", Bt8370Read(ThisBt8370, BT_CSEL),
             Bt8370Read(ThisBt8370, BT_SBI_CR), Bt8370Read(ThisBt8370, BT_TSYNC_BIT),
             Bt8370Read(ThisBt8370, BT_TSYNC_TS));
}

// A framer is usable when it is present, its line interface is configured and it
// passed both reset steps. The board is valid when at least one framer is usable: a
// board whose framers all fail, in whatever mix of ways, is not.
BOOLEAN Bt8370DevicesCheckValidity(Adapter* ThisAdapter)
{
    for (ULONG n = 0; n < ThisAdapter->NumberOfLines && n < MAX_LINES; n++) {
        Bt8370* f = &ThisAdapter->Framer[n];
        if (f->bPresent && f->bMaster && f->nState >= RESET_STEP2_PASSED_ON) return TRUE;
    }
    RSS_LOG("@@@@ Bt8370DevicesCheckValidity: no usable framer\n");
    return FALSE;
}

// ---- background ----

void Bt8370StartBackground(Bt8370* ThisBt8370)
{
    if (ThisBt8370->nState != RESET_STEP2_PASSED_ON) return;
    if (!ThisBt8370->bUsed) {
        Bt8370Actions(ThisBt8370, CLAMP_DEVICE, 0, 0);
        return;
    }
    Bt8370StartTimer(ThisBt8370, BT8370_TMR_ENABLE_INTS, BT8370_BACKGROUND_DELAY_MS, Bt8370EnableInts);
    Bt8370StartTimer(ThisBt8370, BT8370_TMR_LAUNCH, BT8370_BACKGROUND_DELAY_MS, Bt8370LaunchBackground);
    Bt8370UpdateStatus(ThisBt8370);
}

BOOLEAN Bt8370LaunchBackground(PVOID Context)
{
    Bt8370* ThisBt8370 = (Bt8370*)Context;
    Bt8370StatusPoll(ThisBt8370);
    Bt8370EnablePolls(ThisBt8370);
    return TRUE;
}

BOOLEAN Bt8370EnableInts(PVOID Context)
{
    Bt8370* ThisBt8370 = (Bt8370*)Context;
    Adapter* a = ThisBt8370->ThisAdapter;
    BOOLEAN t1 = Bt8370IsT1(ThisBt8370);
    // 1.
    if (!ThisBt8370->bRbsMode) Bt8370SetBits(ThisBt8370, BT_IER(7), ThisBt8370->bIntSelect ? 0x0E : 0x02);
    if (ThisBt8370->bL1Machine)
        Bt8370Write(ThisBt8370, BT_IER(7), Bt8370LineParam(ThisBt8370, a->NetworkSide) != 0 ? 0 : 0x56);
    // 2.
    if (ThisBt8370->bL1Machine) Bt8370SetBits(ThisBt8370, BT_IER(6), 0xC0);
    if (ThisBt8370->nDeviceCode == 7 || ThisBt8370->nDeviceCode == 8) Bt8370ClearBits(ThisBt8370, BT_IER(6), 0x04);
    // 3.
    if (t1) Bt8370ClearBits(ThisBt8370, BT_IER(5), 0x06);
    // 4.
    Bt8370SetBits(ThisBt8370, BT_IER(4), 0x80);
    if (t1) Bt8370ClearBits(ThisBt8370, BT_IER(4), 0x08);
    // 5.
    if (ThisBt8370->bRbsMode && ThisBt8370->bSigOption) Bt8370SetBits(ThisBt8370, BT_IER(3), 0x08);
    // 6.
    Bt8370Write(ThisBt8370, BT_IER(2), 0);
    Bt8370Write(ThisBt8370, BT_IER(1), 0);
    // 7.
    if (t1) Bt8370ClearBits(ThisBt8370, BT_IER(0), 0x02);
    // 8.
    Bt8370ClearIntInfo(ThisBt8370);
    return TRUE;
}

BOOLEAN Bt8370DisableInts(Bt8370* ThisBt8370)
{
    Bt8370Write(ThisBt8370, BT_IRR, 0);
    for (ULONG n = 0; n < 8; n++) Bt8370Write(ThisBt8370, BT_IER(n), 0);
    return TRUE;
}

BOOLEAN Bt8370ClearAuxFlag(Bt8370* ThisBt8370)
{
    if (!ThisBt8370->bSigOption) ThisBt8370->bAuxFlag = 0;
    return TRUE;
}

BOOLEAN Bt8370EnablePolls(Bt8370* ThisBt8370)
{
    if (!ThisBt8370->bRbsMode) return TRUE;
    if (Bt8370StackSaysYes(ThisBt8370, CTL_POLL_QUESTION)) {
        Bt8370BackgroundForRBS(ThisBt8370);
    } else if (Bt8370StackSaysYes(ThisBt8370, CTL_FRAMER_INT_QUESTION)) {
        Bt8370SetBits(ThisBt8370, BT_IER(3), BT_ISR3_RMF);
        Bt8370ClearBits(ThisBt8370, BT_IER(3), 0x08);
    } else if (Bt8370StackSaysYes(ThisBt8370, CTL_FRAMER_QUESTION)) {
        Bt8370SetBits(ThisBt8370, BT_IER(3), 0x08);
    }
    return TRUE;
}

// ---- interrupt level ----

BOOLEAN Bt8370IsrHdlr(Bt8370* ThisBt8370)
{
    ULONG again = 0;
    if (!ThisBt8370->bUsed) return FALSE;
    if (Bt8370Read(ThisBt8370, BT_IRR) == 0) return FALSE;  // IntToServe stays as the deferred side left it
    ThisBt8370->IsrHdlrAlarm1Enter = Bt8370Read(ThisBt8370, BT_ALM1);
    ThisBt8370->IsrHdlrAlarm2Enter = Bt8370Read(ThisBt8370, BT_ALM2);
    for (;;) {
        ThisBt8370->IntToServe = 1;
        // The registers clear on read: accumulate, so that nothing captured by an
        // earlier pass or an earlier interrupt not yet served is lost.
        for (ULONG n = 0; n < 8; n++) ThisBt8370->ForegroundIntInfo[BT_INFO_SLOT(n)] |= Bt8370Read(ThisBt8370, BT_ISR(n));
        if (Bt8370Read(ThisBt8370, BT_IRR) == 0 || again > 4) break;
        again++;
    }
    ThisBt8370->IsrHdlrAlarm1Exit = Bt8370Read(ThisBt8370, BT_ALM1);
    ThisBt8370->IsrHdlrAlarm2Exit = Bt8370Read(ThisBt8370, BT_ALM2);
    if (ThisBt8370->StatisticsOn && again != 0) ThisBt8370->InterruptBadIRR++;
    return TRUE;
}

#define BT_ALM2_TRACK_MASK 0xDE

BOOLEAN Bt8370ISRManagement(PVOID Context)
{
    Bt8370* ThisBt8370 = (Bt8370*)Context;
    ULONG e = ThisBt8370->IsrHdlrAlarm2Enter, x = ThisBt8370->IsrHdlrAlarm2Exit, t = ThisBt8370->Alarm2Tracked;
    for (ULONG n = 0; n < 8; n++) {
        ULONG slot = BT_INFO_SLOT(n);
        ThisBt8370->BackgroundIntInfo[slot] |= ThisBt8370->ForegroundIntInfo[slot] & Bt8370Read(ThisBt8370, BT_IER(n));
        ThisBt8370->ForegroundIntInfo[slot] = 0;
    }
    ThisBt8370->IntToServe = 0;  // the capture is served here, and only here
    ThisBt8370->Alarm2Previous = t;
    if ((e & BT_ALM2_TRACK_MASK) == (x & BT_ALM2_TRACK_MASK))
        t = e;
    else if ((t & BT_ALM2_TRACK_MASK) == (e & BT_ALM2_TRACK_MASK))
        t = x;
    else
        t = e;
    ThisBt8370->Alarm2Tracked = t;
    if (ThisBt8370->Alarm2Previous == ThisBt8370->Alarm2Tracked)
        ThisBt8370->BackgroundIntInfo[BT_INFO_SLOT(6)] &= (BT_ALM2_ONESEC | BT_ALM2_TPDV);
    return TRUE;
}

// ---- deferred side: sources ----

static ULONG Bt8370BitSlot(UCHAR Bit)  // 0x80 -> 0 ... 0x01 -> 7
{
    ULONG slot = 7;
    while (Bit > 1) {
        Bit >>= 1;
        slot--;
    }
    return slot;
}

static void Bt8370StartTlofTimer(Bt8370* ThisBt8370)
{
    TmrClear(Bt8370Pool(ThisBt8370), Bt8370TimerOwner(ThisBt8370), BT8370_TMR_TLOF + ThisBt8370->nLine);
    Bt8370StartTimer(ThisBt8370, BT8370_TMR_TLOF, BT8370_TLOF_MS, Bt8370TlofTimerHdlr);
}

static void Bt8370HoldTxAlarm(Bt8370* ThisBt8370)
{
    if (ThisBt8370->TlofActive) Bt8370SetBits(ThisBt8370, BT_TALM, 0x02);
}

static ULONG Bt8370ErrorCount(Bt8370* ThisBt8370)
{
    ULONG lo = Bt8370Read(ThisBt8370, BT_ERR_CNT_LO);
    ULONG hi = Bt8370Read(ThisBt8370, BT_ERR_CNT_HI) & 0x03;
    return lo | (hi << 8);
}

static void Bt8370LevelOn(Bt8370* ThisBt8370, ULONG Isr, UCHAR Bit)
{
    if (Isr == 7) {
        switch (Bit) {
        case BT_ALM1_RLOF:
            Bt8370UpdateStatus(ThisBt8370);
            Bt8370Layer1Event(ThisBt8370, L1_EVT_RLOF);
            Bt8370HoldTxAlarm(ThisBt8370);
            TmrClear(Bt8370Pool(ThisBt8370), Bt8370TimerOwner(ThisBt8370), BT8370_TMR_TLOF + ThisBt8370->nLine);
            Bt8370Actions(ThisBt8370, RESET_LOCAL, 0, 0);
            break;
        case BT_ALM1_RLOS:
            Bt8370UpdateStatus(ThisBt8370);
            Bt8370Layer1Event(ThisBt8370, L1_EVT_RLOS);
            Bt8370Actions(ThisBt8370, RESET_LOCAL, 0, 0);
            break;
        case BT_ALM1_RALOS:
            Bt8370UpdateStatus(ThisBt8370);
            Bt8370Actions(ThisBt8370, RESET_LOCAL, 0, 0);
            break;
        case BT_ALM1_RAIS: Bt8370Layer1Event(ThisBt8370, L1_EVT_RAIS); break;
        case BT_ALM1_RYEL:
            Bt8370Layer1Event(ThisBt8370, Bt8370ErrorCount(ThisBt8370) == 0 ? L1_EVT_YELLOW : L1_EVT_YELLOW_ERRORS);
            break;
        default: break;
        }
    }
}

static void Bt8370LevelOff(Bt8370* ThisBt8370, ULONG Isr, UCHAR Bit)
{
    if (Isr == 7) {
        if (Bit == BT_ALM1_RLOF) {
            Bt8370HoldTxAlarm(ThisBt8370);
            Bt8370StartTlofTimer(ThisBt8370);
        } else if (Bit == BT_ALM1_RLOS) {
            Bt8370UpdateStatus(ThisBt8370);
        }
    } else if (ThisBt8370->bL1Machine) {
        if (Bit == BT_ALM2_LOOPUP) Bt8370LoopbackAction(ThisBt8370, 0, REMOTE_LOOPBACK, TRUE);
        if (Bit == BT_ALM2_LOOPDN) Bt8370LoopbackAction(ThisBt8370, 0, REMOTE_LOOPBACK, FALSE);
    }
}

static void Bt8370TrackLevel(Bt8370* ThisBt8370, ULONG Isr, UCHAR Bit, BOOLEAN Status)
{
    BT8370_TRACKER* tr = Isr == 7 ? &ThisBt8370->Alarm1[Bt8370BitSlot(Bit)] : &ThisBt8370->Alarm2[Bt8370BitSlot(Bit)];
    BOOLEAN stats = ThisBt8370->StatisticsOn != 0;
    BOOLEAN tlof = Isr == 6 && Bit == BT_ALM2_TLOF;
    if (tlof && stats && tr->OnCount == 0 && tr->OffCount == 0 && tr->Violations == 0) tr->State = Status ? 0 : 1;
    BOOLEAN transition = Status ? tr->State == 0 : tr->State == 1;
    if (transition) {
        if (stats) (Status ? tr->OnCount : tr->OffCount)++;
        tr->State = Status ? 1 : 0;
        if (Status)
            Bt8370LevelOn(ThisBt8370, Isr, Bit);
        else
            Bt8370LevelOff(ThisBt8370, Isr, Bit);
        return;
    }
    if (stats && (tlof || (tr->OnCount != 0 && tr->OffCount != 0))) tr->Violations++;
    tr->State = Status ? 1 : 0;
}

static void Bt8370TrackPulse(Bt8370* ThisBt8370, BT8370_TRACKER* Tracker, BOOLEAN Status)
{
    if (!Status) return;
    if (ThisBt8370->StatisticsOn) {
        Tracker->OnCount++;
        Tracker->OffCount = Tracker->Violations = 0;
    }
    Tracker->State = 1;
}

static ULONG* Bt8370TimerCounter(Bt8370* ThisBt8370, UCHAR Bit)
{
    BT8370_TIMER_COUNTERS* c = &ThisBt8370->CounterTimer;
    switch (Bit) {
    case 0x01: return &c->nRFRAME;
    case 0x02: return &c->nRMF;
    case 0x04: return &c->nRMSYNC;
    case 0x08: return &c->nRSIG;
    case 0x10: return &c->nTFRAME;
    case 0x20: return &c->nTMF;
    case 0x40: return &c->nTMSYNC;
    default: return &c->nTSIG;
    }
}

static void Bt8370Count(Bt8370* ThisBt8370, ULONG* Counter)
{
    if (ThisBt8370->StatisticsOn) (*Counter)++;
}

static void Bt8370ReceiveMultiframe(Bt8370* ThisBt8370)
{
    Adapter* a = ThisBt8370->ThisAdapter;
    ULONG line = ThisBt8370->nLine;
    if (!ThisBt8370->bUsed || !ThisBt8370->bRbsMode) return;
    if (!Bt8370StackSaysYes(ThisBt8370, CTL_FRAMER_INT_QUESTION)) return;
    Bt8370BackgroundForRBS(ThisBt8370);
    a->SgnlProtocolOps[line].Control(CTL_KIND_SET, CTL_TICK, a->ThisSgnlStack[line], 0);
    Bt8370BackgroundForRBS(ThisBt8370);
}

static void Bt8370HandleSource(Bt8370* ThisBt8370, ULONG Isr, UCHAR Bit)
{
    switch (Isr) {
    case 7:
        if (Bit == BT_ALM1_RPDV)
            Bt8370TrackPulse(ThisBt8370, &ThisBt8370->Alarm1[Bt8370BitSlot(Bit)], (Bt8370Read(ThisBt8370, BT_ALM1) & Bit) != 0);
        else
            Bt8370TrackLevel(ThisBt8370, 7, Bit, (Bt8370Read(ThisBt8370, BT_ALM1) & Bit) != 0);
        break;
    case 6:
        if (Bit == BT_ALM2_ONESEC)
            Bt8370TrackPulse(ThisBt8370, &ThisBt8370->Alarm2[Bt8370BitSlot(Bit)], (Bt8370Read(ThisBt8370, BT_ALM2) & Bit) != 0);
        else if (Bit == BT_ALM2_TLOF)
            Bt8370TrackLevel(ThisBt8370, 6, Bit, (ThisBt8370->Alarm2Tracked & BT_ALM2_TLOF) != 0);
        else
            Bt8370TrackLevel(ThisBt8370, 6, Bit, (Bt8370Read(ThisBt8370, BT_ALM2) & Bit) != 0);
        break;
    case 5: Bt8370Count(ThisBt8370, &ThisBt8370->CounterError[Bt8370BitSlot(Bit)]); break;
    case 4:
        Bt8370Count(ThisBt8370, &ThisBt8370->CounterOverflow[Bt8370BitSlot(Bit)]);
        if (Bit == BT_ISR4_RLOF) {
            ThisBt8370->TlofActive = 1;
            Bt8370SetBits(ThisBt8370, BT_TALM, 0x02);
        }
        break;
    case 3:
        Bt8370Count(ThisBt8370, Bt8370TimerCounter(ThisBt8370, Bit));
        if (Bit == BT_ISR3_RFRAME) Bt8370Actions(ThisBt8370, DEBUG_RX_CHABT, 0, 0);
        if (Bit == BT_ISR3_RMF) Bt8370ReceiveMultiframe(ThisBt8370);
        break;
    case 0:
        if (Bit <= 0x20) Bt8370Count(ThisBt8370, &ThisBt8370->CounterPattern[Bt8370BitSlot(Bit) - 2]);
        break;
    default: break;  // data links: the bits are only cleared
    }
}

void Bt8370HandleInterruptHdlr(Bt8370* ThisBt8370)
{
    if (!ThisBt8370->bUsed || ThisBt8370->IntToServe != 1) return;
    // Both interrupts' ISRs serve every framer: the capture is taken over under the
    // latch lock, which both ISRs take.
    AdapterSyncWithInterrupts(ThisBt8370->ThisAdapter, Bt8370ISRManagement, ThisBt8370);
    for (LONG n = 7; n >= 0; n--) {
        UCHAR* pending = &ThisBt8370->BackgroundIntInfo[BT_INFO_SLOT(n)];
        for (UCHAR bit = 0x01; *pending != 0; bit = (UCHAR)(bit << 1)) {
            if ((*pending & bit) == 0) continue;
            *pending &= (UCHAR)~bit;
            Bt8370HandleSource(ThisBt8370, (ULONG)n, bit);
            if (bit == 0x80) break;
        }
    }
}

BOOLEAN Bt8370TlofTimerHdlr(PVOID Context)
{
    Bt8370* ThisBt8370 = (Bt8370*)Context;
    if (ThisBt8370->TlofActive == 1) {
        Bt8370ClearBits(ThisBt8370, BT_TALM, 0x02);
        ThisBt8370->TlofActive = 0;
    }
    (void)Bt8370Read(ThisBt8370, BT_TLOF_RELEASE);
    return TRUE;
}

void Bt8370ClearIntInfo(Bt8370* ThisBt8370)
{
    UCHAR ier7 = Bt8370Read(ThisBt8370, BT_IER(7)), alm1 = Bt8370Read(ThisBt8370, BT_ALM1);
    UCHAR ier6 = Bt8370Read(ThisBt8370, BT_IER(6)), alm2 = Bt8370Read(ThisBt8370, BT_ALM2);
    std::memset(ThisBt8370->CounterError, 0, sizeof ThisBt8370->CounterError);
    std::memset(ThisBt8370->CounterOverflow, 0, sizeof ThisBt8370->CounterOverflow);
    std::memset(&ThisBt8370->CounterTimer, 0, sizeof ThisBt8370->CounterTimer);
    std::memset(ThisBt8370->CounterPattern, 0, sizeof ThisBt8370->CounterPattern);
    std::memset(ThisBt8370->nChAbortCount, 0, sizeof ThisBt8370->nChAbortCount);
    for (ULONG slot = 0; slot < 8; slot++) {
        UCHAR bit = (UCHAR)(0x80 >> slot);
        BT8370_TRACKER* t1 = &ThisBt8370->Alarm1[slot];
        BT8370_TRACKER* t2 = &ThisBt8370->Alarm2[slot];
        t1->OnCount = t1->OffCount = t1->Violations = 0;
        t2->OnCount = t2->OffCount = t2->Violations = 0;
        t1->State = bit != BT_ALM1_RPDV && (ier7 & bit) && (alm1 & bit) ? 1 : 0;
        t2->State = bit != BT_ALM2_ONESEC && bit != BT_ALM2_TPDV && (ier6 & bit) && (alm2 & bit) ? 1 : 0;
    }
}

// ---- loopbacks and status ----

void Bt8370LoopbackAction(Bt8370* ThisBt8370, ULONG Channel, ULONG Code, BOOLEAN On)
{
    Adapter* a = ThisBt8370->ThisAdapter;
    if (Bt8370LineParam(ThisBt8370, a->SystemBusMode) == 0) return;
    if (Code > ALL_LOOPBACK) return;
    if (Code == ALL_LOOPBACK || !On) {
        Bt8370Actions(ThisBt8370, RESET_GLOBAL, 0, 0);
        return;
    }
    if ((Code == PERCHANNEL_LOCAL_LOOPBACK || Code == PERCHANNEL_REMOTE_LOOPBACK) && Channel >= BT8370_NUM_CHANNELS) return;
    Bt8370ClearAuxFlag(ThisBt8370);
    Bt8370DisableInts(ThisBt8370);
    Bt8370Layer1Indication(ThisBt8370, L1_FORCE_DOWN);
    if (Code == FRAMER_LOOPBACK) Bt8370Write(ThisBt8370, BT_JAT_CR, 0xE4);
    ThisBt8370->ActiveLoopback = Code;
    switch (Code) {
    case ANALOG_LOOPBACK: Bt8370Write(ThisBt8370, BT_LOOP, 0x01); break;
    case REMOTE_LOOPBACK: Bt8370Write(ThisBt8370, BT_LOOP, 0x04); break;
    case FRAMER_LOOPBACK: Bt8370Write(ThisBt8370, BT_LOOP, 0x02); break;
    case PERCHANNEL_LOCAL_LOOPBACK: Bt8370SetBits(ThisBt8370, BT_BANK(BT_TPC, Channel), 0x10); break;
    default: Bt8370SetBits(ThisBt8370, BT_BANK(BT_TPC, Channel), 0x40); break;
    }
    Bt8370Actions(ThisBt8370, RESET_LOCAL, 0, 0);
}

BOOLEAN Bt8370UpdateStatus(Bt8370* ThisBt8370)
{
    ULONG s = ThisBt8370->nState;
    if (s == BT8370_PRESENT_OFF || s == RESET_STEP1_PASSED_OFF || s == RESET_STEP2_PASSED_OFF) return FALSE;
    UCHAR alm1 = Bt8370Read(ThisBt8370, BT_ALM1);
    if ((alm1 & (BT_ALM1_RLOS | BT_ALM1_RALOS)) == 0) {
        UCHAR status = Bt8370Read(ThisBt8370, BT_RSTAT);
        ULONG code = ThisBt8370->nDeviceCode;
        s = RX_ANALOG_SIGNAL_ON;
        if ((code == 2 || code == 3) && (status & 0x03) == 0x03) s = SYNCHRONIZED_ON;
        if ((code == 4 || code == 7 || code == 8) && (status & 0x02) != 0) s = SYNCHRONIZED_ON;
    } else {
        s = RX_ANALOG_SIGNAL_OFF;
    }
    ThisBt8370->nState = s;
    return s == SYNCHRONIZED_ON;
}

BOOLEAN Bt8370StatusPoll(PVOID Context)
{
    Bt8370* ThisBt8370 = (Bt8370*)Context;
    Adapter* a = ThisBt8370->ThisAdapter;
    BOOLEAN synchronised = Bt8370UpdateStatus(ThisBt8370);

    if (!ThisBt8370->bUsed) {
        ThisBt8370->bL1Up = 0;
    } else {
        // Every poll is handed on, also in the state already reported, so that the
        // debounce counts only consecutive polls.
        Bt8370Layer1Indication(ThisBt8370, synchronised ? L1_POLL_ACTIVE : L1_POLL_INACTIVE);
        if (ThisBt8370->bRbsMode && Bt8370StackSaysYes(ThisBt8370, CTL_POLL_QUESTION)) Bt8370BackgroundForRBS(ThisBt8370);
    }
    if (ThisBt8370->bL1Machine) {
        Bt8370Layer1Event(ThisBt8370, ThisBt8370->nL1LastEvent);
        if (synchronised) Bt8370Layer1Event(ThisBt8370, L1_EVT_POLL);
    }
    if (ThisBt8370->bUsed && !ThisBt8370->bLedHold) {
        ULONG led = synchronised ? LED_VALUE_DATA_LINK_UP : LED_VALUE_LINE_DOWN;
        if (led != ThisBt8370->nLedLast) {
            if (synchronised)
                RSS_SetLed(a, ThisBt8370->nLine, LED_MASK_DATA_LINK, 1);
            else
                RSS_SetLed(a, ThisBt8370->nLine, LED_MASK_PHYSICAL, 0);
            ThisBt8370->nLedLast = led;
        }
    }
    Bt8370StartTimer(ThisBt8370, BT8370_TMR_STATUS_POLL, BT8370_STATUS_POLL_MS, Bt8370StatusPoll);
    return TRUE;
}
