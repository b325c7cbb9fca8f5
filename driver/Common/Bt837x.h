// The Bt8370 T1/E1 framer of one line: its record, register map and entry points.
//
// Bt837y.cpp: operational mode, T1/E1 register programming, framer and line-interface
// actions. Bt837x.cpp: identification, reset steps, configuration sequence, background
// launch, interrupts and alarms, loopbacks, status poll. Bt8370_ForRBS.cpp: robbed-bit
// exchange, debounced layer-1 report and the layer-1 state machines.
//
// Everything runs under AdapterSpinLock except Bt8370IsrHdlr (device level; it writes
// only the interrupt-side fields) and Bt8370ISRManagement (synchronised with the
// framer interrupt).
#pragma once

#include "driver/Common/RSS_types.h"

// ---- register map: register n is the byte at window + 4 * n ----

#define BT8370_NUM_REGS 512
#define BT8370_NUM_CHANNELS 32

#define BT_DID 0x00
#define BT_PCR0 0x01
#define BT_JAT_CR 0x02
#define BT_IRR 0x03
#define BT_ISR7 0x04  // ISR7..ISR0 at 0x04..0x0B
#define BT_IER7 0x0C  // IER7..IER0 at 0x0C..0x13
#define BT_LOOP 0x14
#define BT_DL3_TS 0x15
#define BT_DL3_BIT 0x16
#define BT_PIO 0x18
#define BT_POE 0x19
#define BT_CMUX 0x1A
#define BT_TMUX 0x1B
#define BT_TEST 0x1C
#define BT_LIU_CR 0x20
#define BT_RSTAT 0x21  // receive status: bit 0 and bit 1 tell synchronisation
#define BT_RLIU_CR 0x22
#define BT_LPF 0x23
#define BT_VGA_MAX 0x24
#define BT_EQ_DAT 0x25
#define BT_EQ_PTR 0x26
#define BT_DSLICE 0x27
#define BT_CSLICE 0x28
#define BT_VGA 0x29
#define BT_PRE_EQ 0x2A
#define BT_COEFF0 0x30
#define BT_GAIN4 0x3C
#define BT_RCR0 0x40
#define BT_RPATT 0x41
#define BT_RLB 0x42
#define BT_LBA 0x43
#define BT_LBD 0x44
#define BT_RALM 0x45
#define BT_LATCH 0x46
#define BT_ALM1 0x47
#define BT_ALM2 0x48
#define BT_ERR_CNT_LO 0x52  // 10-bit error count read for the yellow alarm
#define BT_ERR_CNT_HI 0x53
#define BT_TLOF_RELEASE 0x5A  // read (and discarded) when the transmit alarm is released
#define BT_TLIU_CR 0x68
#define BT_TCR0 0x70
#define BT_TCR1 0x71
#define BT_TFRM 0x72
#define BT_TERROR 0x73
#define BT_TMAN 0x74
#define BT_TALM 0x75
#define BT_TPATT 0x76
#define BT_TLB 0x77
#define BT_LBP 0x78
#define BT_TSA4 0x7B
#define BT_TSA8 0x7F
#define BT_CLAD_CR 0x90
#define BT_CSEL 0x91
#define BT_CPHASE 0x92
#define BT_CTEST 0x93
#define BT_SBI_CR 0xD0
#define BT_RSB_CR 0xD1
#define BT_RSYNC_BIT 0xD2
#define BT_RSYNC_TS 0xD3
#define BT_TSB_CR 0xD4
#define BT_TSYNC_BIT 0xD5
#define BT_TSYNC_TS 0xD6
#define BT_RSIG_CR 0xD7
#define BT_RSYNC_FRM 0xD8

// Per-channel banks, channel k at bank + k.
#define BT_SBC 0xE0
#define BT_TPC 0x100
#define BT_TSIG 0x120
#define BT_TSLIP_LO 0x140
#define BT_TSLIP_HI 0x160
#define BT_RPC 0x180
#define BT_RSIG 0x1A0
#define BT_RSLIP_LO 0x1C0
#define BT_RSLIP_HI 0x1E0

// ISRn and IERn by interrupt register number n (7..0), and the slot of ISRn in the
// 8-byte interrupt copies (slot 0 = ISR7).
#define BT_ISR(n) (BT_ISR7 + 7 - (n))
#define BT_IER(n) (BT_IER7 + 7 - (n))
#define BT_INFO_SLOT(n) (7 - (n))
#define BT_BANK(bank, k) ((bank) + (k))

// ISR7 / ALM1 sources.
#define BT_ALM1_SIGFRZ 0x01
#define BT_ALM1_RLOF 0x02
#define BT_ALM1_RLOS 0x04
#define BT_ALM1_RALOS 0x08
#define BT_ALM1_RAIS 0x10
#define BT_ALM1_RPDV 0x20
#define BT_ALM1_RYEL 0x40
#define BT_ALM1_RMYEL 0x80
// ISR6 / ALM2 sources.
#define BT_ALM2_ONESEC 0x01
#define BT_ALM2_TLOF 0x02
#define BT_ALM2_TPDV 0x20
#define BT_ALM2_LOOPUP 0x40
#define BT_ALM2_LOOPDN 0x80
// ISR3 sources.
#define BT_ISR3_RFRAME 0x01
#define BT_ISR3_RMF 0x02
// ISR4 source: loss-of-frame counter.
#define BT_ISR4_RLOF 0x80

// ---- operational mode ----

#define T1E1MASK 0x01
#define BT8370_MODE_T1_DEFAULT 0x9B
#define BT8370_MODE_T1_BUS_MAP 0x80  // channels 1-24 on bus slots 1-24

// ---- framer states ----

#define BT8370_PRESENT_OFF 0
#define BT8370_PRESENT_ON 1
#define RESET_STEP1_PASSED_OFF 2
#define RESET_STEP1_PASSED_ON 3
#define RESET_STEP2_PASSED_OFF 4
#define RESET_STEP2_PASSED_ON 5
#define RX_ANALOG_SIGNAL_OFF 6
#define RX_ANALOG_SIGNAL_ON 7
#define SYNCHRONIZED_OFF 8
#define SYNCHRONIZED_ON 9

// ---- pool timers: owner the framer record, id below + line ----

#define BT8370_TMR_RESET 0x04
#define BT8370_TMR_ENABLE_INTS 0x08
#define BT8370_TMR_LAUNCH 0x0C
#define BT8370_TMR_STATUS_POLL 0x18
#define BT8370_TMR_TLOF 0x26
#define BT8370_RESET_POLL_MS 50
#define BT8370_BACKGROUND_DELAY_MS 1000
#define BT8370_STATUS_POLL_MS 50
#define BT8370_TLOF_MS 20
#define BT8370_RESET_POLLS 4  // polls a reset step gives the framer before it fails

// ---- framer actions (Bt8370Actions) ----

#define DEBUG_RX_CHABT 0x100
#define CLAMP_DEVICE 0x200
#define RESET_LOCAL 0x201
#define RESET_GLOBAL 0x202
#define SET_TX_PULSE_TEMPLATE 0x203
#define SET_LBO_OPTION 0x204
#define TX_ISOLATED_PULSES 0x205
#define TX_ALL_ONES 0x206
#define FORCE_LAYER2 0x207
#define CLAMP_TX 0x209
#define TOGGLE_LINE_LED 0x20A
#define SET_RX_SENSITIVITY 0x20B
#define SET_TX_ALARM_MODE 0x20C

#define QSTACK_FORCE_OFF 0
#define QSTACK_FORCE_ON 1
#define QSTACK_FREEZE_OFF 2

// ---- loopbacks (Bt8370LoopbackAction) ----

#define ANALOG_LOOPBACK 0
#define REMOTE_LOOPBACK 1
#define FRAMER_LOOPBACK 2
#define PERCHANNEL_LOCAL_LOOPBACK 3
#define PERCHANNEL_REMOTE_LOOPBACK 4
#define ALL_LOOPBACK 5

// ---- layer-1 report kinds and machine events ----

#define L1_POLL_INACTIVE 0
#define L1_POLL_ACTIVE 1
#define L1_FORCE_DOWN 2
#define L1_FORCE_UP 3
#define L1_RELEASE_HOLD 4
#define L1_SET_HOLD 5

#define L1_EVT_POLL 2
#define L1_EVT_YELLOW 3
#define L1_EVT_RLOS 4
#define L1_EVT_RLOF 5
#define L1_EVT_RAIS 6
#define L1_EVT_YELLOW_ERRORS 7

// Debounce thresholds: a report after more than this many consecutive polls.
#define L1_RBS_DOWN_POLLS 5
#define L1_RBS_UP_POLLS 100
#define L1_POLLS 6

// ---- the record ----

// One interrupt source's tracker. A level source uses the words as named; a pulse
// source (RPDV, ONESEC) uses OnCount as its count, OffCount and Violations as the two
// words cleared on each event, and State as its flag.
typedef struct _BT8370_TRACKER {
    ULONG OnCount;
    ULONG OffCount;
    ULONG Violations;
    ULONG State;
} BT8370_TRACKER;

// ISR3 counters, bit 0x80 first.
typedef struct _BT8370_TIMER_COUNTERS {
    ULONG nTSIG;
    ULONG nTMSYNC;
    ULONG nTMF;
    ULONG nTFRAME;
    ULONG nRSIG;
    ULONG nRMSYNC;
    ULONG nRMF;
    ULONG nRFRAME;
} BT8370_TIMER_COUNTERS;

#define BT8370_OPTIONS 5

typedef struct _Bt8370 {
    Adapter* ThisAdapter;
    ULONG Option[BT8370_OPTIONS][MAX_LINES];  // options 1..5 by line; only this line's entry is used
    ULONG nLine;
    ULONG nMode;
    ULONG bPresent;
    ULONG bUsed;
    ULONG nDeviceCode;
    ULONG nState;
    ULONG bIntSelect;
    PUCHAR pRegs;
    PUCHAR RegBase;  // second copy of the window (the adapter graph sets it first)
    ULONG bMaster;
    ULONG nNumResets;
    ULONG bRbsMode;

    // Layer-1 report (Bt8370_ForRBS).
    ULONG bL1Up;
    ULONG nL1UpReports;
    ULONG nL1DownReports;
    ULONG nL1UpPolls;
    ULONG nL1DownPolls;
    ULONG bL1Hold;
    ULONG StatisticsOn;  // counting of interrupt statistics
    ULONG nL1Word4;      // set to 4 at identification; not used further
    ULONG bSigOption;
    ULONG bAuxFlag;
    UCHAR ChTable[BT8370_NUM_CHANNELS][5];  // cleared by every configuration
    ULONG nOption4;

    // Interrupt side. ISR writes ForegroundIntInfo, IntToServe, the alarm snapshots and
    // InterruptBadIRR; the deferred side reads them only in Bt8370ISRManagement.
    UCHAR ForegroundIntInfo[8];  // ISR7..ISR0, accumulated until served
    UCHAR BackgroundIntInfo[8];  // ISR7..ISR0 waiting for the deferred handler
    ULONG IntToServe;
    ULONG InterruptBadIRR;
    ULONG Alarm2Tracked;
    ULONG Alarm2Previous;
    ULONG IsrHdlrAlarm1Enter;
    ULONG IsrHdlrAlarm2Enter;
    ULONG IsrHdlrAlarm1Exit;
    ULONG IsrHdlrAlarm2Exit;

    // Statistics, each group bit 0x80 first.
    ULONG CounterError[8];          // ISR5
    ULONG CounterOverflow[8];       // ISR4
    BT8370_TRACKER Alarm1[8];       // ISR7
    BT8370_TRACKER Alarm2[8];       // ISR6
    BT8370_TIMER_COUNTERS CounterTimer;  // ISR3
    ULONG CounterPattern[6];        // ISR0 bits 0x20 .. 0x01
    ULONG TlofActive;               // transmit alarm held after a loss of frame

    // Layer-1 machines.
    ULONG bL1Machine;
    ULONG nL1State;
    ULONG nL1Unused;
    ULONG nL1LastEvent;

    // Line-interface action save words, and the LED phase of TOGGLE_LINE_LED (kept
    // apart from the fourth save word so that toggling cannot corrupt a saved register).
    ULONG SaveWord[5];
    ULONG nLedPhase;
    ULONG nChAbortCount[BT8370_NUM_CHANNELS];

    // Loopbacks and LEDs.
    ULONG ActiveLoopback;
    ULONG bLedHold;  // non-zero: the status poll leaves the LEDs alone
    ULONG nLedLast;  // LED the status poll last set: 0 none, 1 down, 2 up
} Bt8370;

// ---- Bt837y: operational mode, programming, actions ----
void Bt8370DefineOperationalMode(Bt8370* ThisBt8370, ULONG Line, ULONG Mode);
BOOLEAN Bt8370ConfigureBase(Bt8370* ThisBt8370);
BOOLEAN Bt8370ConfigureMode(Bt8370* ThisBt8370);
BOOLEAN Bt8370Actions(Bt8370* ThisBt8370, ULONG Code, ULONG Argument, ULONG Unused);
BOOLEAN Bt8370LineIntfAction(Bt8370* ThisBt8370, ULONG Code);

// ---- Bt837x: bring-up, background, interrupts, loopbacks, status ----
void Bt8370Initialize(Bt8370* ThisBt8370, ULONG Unused);
BOOLEAN Bt8370DeviceResetStep1(PVOID Context);
BOOLEAN Bt8370DeviceResetStep2(PVOID Context);
BOOLEAN Bt8370Configure(Bt8370* ThisBt8370);
BOOLEAN Bt8370DevicesCheckValidity(Adapter* ThisAdapter);
void Bt8370StartBackground(Bt8370* ThisBt8370);
BOOLEAN Bt8370LaunchBackground(PVOID Context);
BOOLEAN Bt8370EnableInts(PVOID Context);
BOOLEAN Bt8370DisableInts(Bt8370* ThisBt8370);
BOOLEAN Bt8370ClearAuxFlag(Bt8370* ThisBt8370);
BOOLEAN Bt8370EnablePolls(Bt8370* ThisBt8370);
void Bt8370DumpRegisters(Bt8370* ThisBt8370);

BOOLEAN Bt8370IsrHdlr(Bt8370* ThisBt8370);
BOOLEAN Bt8370ISRManagement(PVOID Context);
void Bt8370HandleInterruptHdlr(Bt8370* ThisBt8370);
BOOLEAN Bt8370TlofTimerHdlr(PVOID Context);
void Bt8370ClearIntInfo(Bt8370* ThisBt8370);

void Bt8370LoopbackAction(Bt8370* ThisBt8370, ULONG Channel, ULONG Code, BOOLEAN On);
BOOLEAN Bt8370UpdateStatus(Bt8370* ThisBt8370);
BOOLEAN Bt8370StatusPoll(PVOID Context);

// ---- Bt8370_ForRBS: robbed bits and layer 1 ----
BOOLEAN Bt8370BackgroundForRBS(Bt8370* ThisBt8370);
BOOLEAN Bt8370Layer1Indication(Bt8370* ThisBt8370, ULONG Kind);
void Bt8370Layer1Event(Bt8370* ThisBt8370, ULONG Event);

// ---- register helpers shared by the framer modules ----
// A register's address in the window (NULL: no window, or no such register). Inline
// with the read and the write: the interrupt and status paths read a framer's
// registers many times a multiframe.
inline volatile UCHAR* Bt8370RegAddress(Bt8370* ThisBt8370, ULONG Reg)
{
    if (ThisBt8370->pRegs == NULL || Reg >= BT8370_NUM_REGS) return NULL;
    return (volatile UCHAR*)(ThisBt8370->pRegs + 4 * Reg);
}
inline UCHAR Bt8370Read(Bt8370* ThisBt8370, ULONG Reg)
{
    volatile UCHAR* r = Bt8370RegAddress(ThisBt8370, Reg);
    return r == NULL ? 0 : READ_REGISTER_UCHAR(r);
}
inline void Bt8370Write(Bt8370* ThisBt8370, ULONG Reg, UCHAR Value)
{
    volatile UCHAR* r = Bt8370RegAddress(ThisBt8370, Reg);
    if (r != NULL) WRITE_REGISTER_UCHAR(r, Value);
}
void Bt8370SetBits(Bt8370* ThisBt8370, ULONG Reg, UCHAR Bits);
void Bt8370ClearBits(Bt8370* ThisBt8370, ULONG Reg, UCHAR Bits);
void Bt8370PulseBit(Bt8370* ThisBt8370, ULONG Reg, UCHAR Bit);
BOOLEAN Bt8370IsT1(const Bt8370* ThisBt8370);
ULONG Bt8370FramingCode(const Bt8370* ThisBt8370);
BOOLEAN Bt8370ChannelInUse(Bt8370* ThisBt8370, ULONG Channel);
// The line's value of a per-line adapter parameter array (0 for a bad line).
ULONG Bt8370LineParam(const Bt8370* ThisBt8370, const ULONG* PerLine);
ULONG_PTR Bt8370TimerOwner(Bt8370* ThisBt8370);
