// The robbed-bit T1/E1 signalling stack (SignallingProtocol 0): one instance per line,
// 32 channel records, the received and transmitted A, B, C, D bits, the debounce, the
// per-channel call machine and its timing sets. Reached through SGNL_PROTOCOL_OPS;
// reports through the RSS_INTERFACE_TABLE it keeps at the start of its instance.
// Runs under AdapterSpinLock (adapter timer DPC, framer interrupt DPC, call control);
// takes no lock of its own.
#pragma once

#include "driver/Common/RSS_tmrs.h"
#include "driver/signalling/Sgnl.h"

#define RBS_CHANNELS 32
#define RBS_T1_CHANNELS 24        // channels 1..24 on a T1 line
#define RBS_TIMER_ENTRIES 15
#define RBS_HISTORY_ENTRIES 32
#define RBS_TIMING_POSITIONS 7
#define RBS_COUNTERS 6            // one per timing position 1..6
#define RBS_TIMER_ID_BASE 3       // the machine-step timer is line + 3
#define RBS_FIRST_TICK_MS 1000    // the first machine step after the tick is started

// Modes: who runs the machine step.
#define RBS_MODE_FRAMER 3         // nothing runs it
#define RBS_MODE_FRAMER_INT 4     // the framer's receive-multiframe interrupt, Control(1, 6)
#define RBS_MODE_TIMER 5          // the stack's own pool timer

// RBSProtocol values and the channel protocols they select.
#define RBS_SETTING_IMMEDIATE 0   // "Immediat"
#define RBS_SETTING_WINK 1        // "Wink"
#define RBS_SETTING_EAR_MOUTH 2   // "Ear&Mouth"
#define RBS_PROTOCOL_NONE 2       // never stepped, stays idle
#define RBS_PROTOCOL_IMMEDIATE 3
#define RBS_PROTOCOL_WINK 4
#define RBS_PROTOCOL_EAR_MOUTH 7

// Timing-set positions.
#define RBS_T_PERIOD 0            // pool period in ms (mode 5)
#define RBS_T_ANSWER_DELAY 1
#define RBS_T_WINK 2
#define RBS_T_AFTER_WINK 3
#define RBS_T_ANSWER_WAIT 4
#define RBS_T_CLEAR_GUARD 5
#define RBS_T_IDLE_GUARD 6

// Equal received samples before the bits become stable.
#define RBS_DEBOUNCE_FRAMER_INT 6
#define RBS_DEBOUNCE_TIMER 2

// Layer-1 state.
#define RBS_L1_RESET 4
#define RBS_L1_DOWN 5
#define RBS_L1_UP 6

// Received state of a channel (default mapping) and transmit state.
#define RBS_RX_RESET 2
#define RBS_RX_OTHER 3
#define RBS_RX_ON_HOOK 4
#define RBS_RX_OFF_HOOK 5
#define RBS_TX_RESET 2
#define RBS_TX_ON_HOOK 4
#define RBS_TX_OFF_HOOK 5
#define RBS_BITS_ON_HOOK 0x0
#define RBS_BITS_OFF_HOOK 0xF
#define RBS_BITS_MASK 0xF
#define RBS_HISTORY_A_BIT 0x8

// Signalling types (RBSType non-zero / zero).
#define RBS_TYPE_SET 2
#define RBS_TYPE_DEFAULT 9

// Call type (RBSCallType 1) and the bearer code it offers.
#define RBS_CALL_TYPE_ISDN 1
#define RBS_CALL_TYPE_ANALOG 0
#define RBS_BEARER_ISDN 2
#define RBS_BEARER_ANALOG 0

// Channel states. 12 to 15 carry an outgoing call (the adapter seizes the trunk).
#define RBS_CH_IDLE 2
#define RBS_CH_ANSWER_DELAY 8
#define RBS_CH_ANSWER_DELAY_2 9
#define RBS_CH_WINK 10
#define RBS_CH_AFTER_WINK 11
#define RBS_CH_RESERVED 12        // AllocCall done, REQUEST_SETUP not yet
#define RBS_CH_OUT_WAIT_WINK 13   // seizure sent (wink start), waiting for the far end's wink
#define RBS_CH_OUT_WINK 14        // the far end's wink is on
#define RBS_CH_OUT_WAIT_ANSWER 15 // waiting for the far end to go off-hook
#define RBS_CH_OFFERED 16
#define RBS_CH_FAR_CLEARED 17
#define RBS_CH_CONNECTED 18
#define RBS_CH_GUARD 19
#define RBS_CH_GUARD_2 20
#define RBS_CH_FIRST_STATE RBS_CH_IDLE
#define RBS_CH_LAST_STATE RBS_CH_GUARD_2

// History entries: bit 15 valid, bit 14 the sampled bit, bits 0-13 the run length.
#define RBS_HISTORY_VALID 0x8000
#define RBS_HISTORY_BIT 0x4000
#define RBS_HISTORY_RUN_MASK 0x3FFF

typedef struct _RBS_STACK RBS_STACK;

// Per channel: the call object handed to call control (its first field is the owning
// instance).
typedef struct _RBS_CHANNEL {
    RBS_STACK* ThisStack;
    UCHAR Enabled;
    ULONG State;
    UCHAR AnswerRequested;          // REQUEST_SETUP_RESPONSE
    UCHAR ClearRequested;           // REQUEST_DISCONNECT
    USHORT RxHistory[RBS_HISTORY_ENTRIES];
    ULONG RxHistoryPos;
    USHORT TxHistory[RBS_HISTORY_ENTRIES];
    ULONG TxHistoryPos;
    USHORT StateHistory[RBS_HISTORY_ENTRIES];
    ULONG StateHistoryPos;
    Link* ThisLink;                 // NULL when free
    ULONG ChannelNumber;
    ULONG Line;
    UCHAR CallType;
    UCHAR Outgoing;
    ULONG ProtocolWord;             // 3 after reset; nothing reads it
    ULONG Protocol;                 // RBS_PROTOCOL_*
    ULONG Counter[RBS_COUNTERS];    // Counter[p - 1] counts timing position p
    ULONG SignallingType;
    UCHAR ResetMark;                // 1 after reset
    ULONG RxState;
    UCHAR RxChanged;
    ULONG TxState;
    UCHAR ClearingPending;          // the far end cleared a call no Link carried
    UCHAR CalledNumber[2];          // "1": a robbed-bit call carries no number
    UCHAR CallingNumber[2];         // "0"
} RBS_CHANNEL;

// Received bits of one channel, and its transmit bits (first word only).
typedef struct _RBS_BITS {
    ULONG Latest;
    ULONG Previous;
    ULONG RunCount;
    ULONG Stable;
    ULONG Reported;
} RBS_BITS;

struct _RBS_STACK {
    RSS_INTERFACE_TABLE Upcalls;
    TmrPool Pool;
    TmrEntry PoolEntries[RBS_TIMER_ENTRIES];
    Adapter* ThisAdapter;
    ULONG Line;
    ULONG InstanceSize;
    ULONG E1;
    ULONG Mode;
    ULONG Timing[RBS_TIMING_POSITIONS];
    ULONG TimingValid;
    ULONG PeriodCount;
    ULONG PeriodLength;
    ULONG PeriodElapsed;
    ULONG Layer1State;
    ULONG AnyChannelChanged;
    RBS_CHANNEL Channel[RBS_CHANNELS];
    RBS_BITS RxBits[RBS_CHANNELS];
    RBS_BITS TxBits[RBS_CHANNELS];
    ULONG Halt;
};

static_assert(sizeof(RBS_BITS) == 20);
static_assert(offsetof(RBS_STACK, Upcalls) == 0, "the interface table opens the instance");
static_assert(offsetof(RBS_CHANNEL, ThisStack) == 0, "a call object opens with its stack");

// The seven entries.
void RbsStackSetAdapter(PVOID Stack, Adapter* ThisAdapter);
void RbsStackLayer1Indication(Adapter* ThisAdapter, PVOID Stack, ULONG Line, ULONG State);
ULONG RbsStackQueryParam(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument);
PVOID RbsStackAllocCall(PVOID Stack, Link* ThisLink, ULONG LinkIndex);
void RbsStackCallRequest(UCHAR Primitive, PVOID CallObject, PUCHAR Number, UCHAR Value, ULONG Flag);
// RbsStackPutFrame and RbsStackManagementRequest are declared in Sgnl.h (the leased
// line shares them).

// The machine step; pool-timer callback in mode 5 (context the instance).
BOOLEAN RbsStackTimerHdlr(PVOID Context);

// The framer's bit exchange for all RBS_CHANNELS channels in one call each, answering as
// CTL_TX_SIGNALLING_BITS and taking as CTL_RX_SIGNALLING_BITS per channel: the bits each
// channel sends (0: nothing), and the bits each received (RBS_CHANNELS entries each).
void RbsStackTransmitBits(PVOID Stack, UCHAR* Bits);
void RbsStackReceiveBits(PVOID Stack, const UCHAR* Bits);

// The NUL-terminated one-digit number of a call (CTL_CALLED_NUMBER or
// CTL_CALLING_NUMBER), kept in its channel record; NULL for anything else. Control
// answers, as the ISDN stack does, the byte offset of the digits inside the call object
// (an address does not fit its 32-bit answer on a 64-bit host).
PUCHAR RbsStackCallNumber(PVOID CallObject, ULONG Id);
