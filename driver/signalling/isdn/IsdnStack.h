// The ISDN PRI signalling stack of one line (switch variants 1 to 5): the instance
// record with its call records, layer 2 (LAPD) block, private timer pool, event
// queue, received-frame ring and event log, and the operations the stack's modules
// share. Every entry runs with the caller holding AdapterSpinLock; the stack takes no
// lock of its own and calls RSS_INTERFACE_TABLE entries with that lock still held.
//
// Addresses answered by Control (0x28 stack counters, 0x29 per-channel counters, 0x2F
// event log) are byte offsets inside the instance, never pointers: the management
// service adds them to ThisSgnlStack[line] (a 32-bit answer cannot hold a 64-bit
// address).
#pragma once

#include <cstddef>

#include "driver/Common/RSS_tmrs.h"
#include "driver/signalling/Sgnl.h"

#define ISDN_NUM_SLOTS 32
#define ISDN_POOL_ENTRIES 198
#define ISDN_EVENT_QUEUE_SIZE 256
#define ISDN_RX_RING_SLOTS 50
#define ISDN_RX_RING_SLOT_SIZE 255
#define ISDN_RX_RING_MAX_WAITING 49
#define ISDN_MAX_FRAME 254
#define ISDN_EVENT_LOG_ENTRIES 400
#define ISDN_EVENT_LOG_ENTRY_SIZE 100
#define ISDN_EVENT_LOG_DATA (ISDN_EVENT_LOG_ENTRY_SIZE - 1)
#define ISDN_NUM_STACK_COUNTERS 13
#define ISDN_COUNTERS_PER_CHANNEL 24
#define ISDN_PROFILE_WORDS 9
#define ISDN_NUM_Q931_TIMERS 10

// Layer-2 stores.
#define L2_MODULUS 128
#define L2_TX_SLOTS 128
#define L2_TX_SLOT_SIZE 40            // length byte, 4 header octets, 35 message octets
#define L2_HEADER 4                   // address (2) and control (2) of an I-frame
#define L2_MAX_MESSAGE (L2_TX_SLOT_SIZE - 1 - L2_HEADER)
#define L2_RX_SLOTS 16
#define L2_MAX_RX_IFRAME 80           // I-frames shorter than 81 bytes are taken
#define L2_RX_SLOT_SIZE (1 + L2_MAX_RX_IFRAME)  // length byte and the largest I-frame taken
#define L2_SU_BUFFER 9                // length byte + up to 8 octets
#define L2_N200 3
#define L2_N202 3                     // identity requests before TEI 0 is taken unasked
#define L2_DEFAULT_WINDOW 7

// Layer-2 states as layer 3 sees them.
#define L2_RELEASED 1
#define L2_AWAITING_ESTABLISHMENT 2
#define L2_AWAITING_RELEASE 3
#define L2_ESTABLISHED 4

// Link state of the instance.
#define ISDN_LINK_UP 1
#define ISDN_LINK_DOWN 2

// Call-state byte of slots that carry no calls.
#define ISDN_SLOT_NOT_B 0xFF
#define ISDN_SLOT_D_CHANNEL 0xFE
#define ISDN_SLOT_FRAMING 0xFD

// Timer ids of the stack's pool.
#define ISDN_TMR_UPPER 0     // TEI request
#define ISDN_TMR_T200 1
#define ISDN_TMR_T203 2
#define ISDN_TMR_ESTABLISH 3
#define ISDN_TMR_T4 4        // after SETUP
#define ISDN_TMR_T5 5        // overlap sending
#define ISDN_TMR_T6 6        // after DISCONNECT
#define ISDN_TMR_T7 7        // after RELEASE
#define ISDN_TMR_T8 8        // after CALL PROCEEDING
#define ISDN_TMR_T9 9        // after CONNECT
#define ISDN_TMR_L1_SETTLE 10
#define ISDN_TMR_TICK 11
#define ISDN_TICK_MS 20
#define ISDN_L1_SETTLE_MS 100
#define ISDN_FIRST_CALL_TIMER ISDN_TMR_T4
#define ISDN_NUM_CALL_TIMERS 6

// Event codes (class = code AND 0xE0).
#define EV_CLASS_MASK 0xE0
#define EV_CLASS_UPPER 0x40
#define EV_CLASS_L3 0xA0
#define EV_CLASS_L2MGMT 0xC0
#define EV_TEI_CHECK_RESPONSE 0x54
#define EV_UPPER_TIMER 0x55
#define EV_TEI_REQUEST 0x59
#define EV_TEI_FRAME 0x5A
#define EV_L2_REPORT 0x5B
#define EV_T9_EXPIRY 0xA4
#define EV_T8_EXPIRY 0xA5
#define EV_T7_EXPIRY 0xA6
#define EV_T6_EXPIRY 0xA7
#define EV_T5_EXPIRY 0xA8
#define EV_T4_EXPIRY 0xA9
#define EV_L2_RELEASED_CALL 0xAB
#define EV_L2_RELEASED 0xAC
#define EV_L2_ESTABLISHED_CALL 0xAD
#define EV_L2_ESTABLISHED 0xAE
#define EV_L3_MESSAGE 0xAF
#define EV_L3_DECODE_ONLY 0xB0
#define EV_L2_T3_EXPIRY 0xD1
#define EV_L2_T203_EXPIRY 0xD2
#define EV_L2_T200_EXPIRY 0xD3
#define EV_L2_TEI_TIMEOUT 0xD7
#define EV_L2_TEI_REMOVED 0xD8
#define EV_L2_TEI_ASSIGNED 0xD9
#define EV_L2_MESSAGE_QUEUED 0xDB
#define EV_L2_RELEASE 0xDD
#define EV_L2_ESTABLISH 0xDE

// Event-log codes.
#define LOG_L1_UP 4
#define LOG_L1_DOWN 5
#define LOG_L2_ERROR 6
#define LOG_L2_ESTABLISHED 7
#define LOG_L2_RELEASED 9
#define LOG_SU_SENT 0x0A
#define LOG_I_SENT 0x0B
#define LOG_SU_RECEIVED 0x0C
#define LOG_I_RECEIVED 0x0D
#define LOG_SHORT_FRAME 0x0E
#define LOG_END_MARKER 0x0F

// The 13 stack counters.
#define CNT_I_SENT 0
#define CNT_SU_SENT 1
#define CNT_I_RECEIVED 2
#define CNT_SU_RECEIVED 3
#define CNT_RNR_RECEIVED 4
#define CNT_REJ_RECEIVED 5
#define CNT_FRAMES_REFUSED 6
#define CNT_T200_EXPIRED 7
#define CNT_L2_ERRORS 8
#define CNT_MESSAGES_DROPPED 9
#define CNT_EVENTS_DROPPED 10
#define CNT_FRAMES_IGNORED 11
#define CNT_TX_STORE_FULL 12
// Per-channel counters.
#define CHCNT_SETUP_SENT 0
#define CHCNT_SETUP_RECEIVED 1
#define CHCNT_CONNECTED 2
#define CHCNT_CLEARED 3

// Layer-2 condition flags.
#define L2F_PEER_BUSY 0x0001
#define L2F_REJECT_SENT 0x0002
#define L2F_OWN_BUSY 0x0004
#define L2F_TIMER_RECOVERY 0x0008
#define L2F_ACK_PENDING 0x0010
#define L2F_SABME_SENT 0x0020
#define L2F_DISC_SENT 0x0040
#define L2F_FRMR_PENDING 0x0080
#define L2F_TEI_PROCEDURE 0x0100

// Frames due from the transmit scheduler, in the order it serves them.
typedef enum _L2_DUE {
    DUE_UA_F = 0, DUE_UA, DUE_DM, DUE_DM_F, DUE_SABME, DUE_DISC, DUE_FRMR,
    DUE_RR_RSP_F, DUE_RR_RSP, DUE_RR_CMD, DUE_RR_CMD_P,
    DUE_REJ_RSP, DUE_REJ_RSP_F, DUE_REJ_CMD_P, DUE_REJ_CMD,
    DUE_RNR_CMD, DUE_RNR_CMD_P, DUE_RNR_RSP, DUE_RNR_RSP_F,
    DUE_TEI_MGMT,  // a TEI-management UI frame waiting in the S/U buffer
    DUE_COUNT
} L2_DUE;

typedef struct _ISDN_STACK ISDN_STACK;

// Context of one pool timer: its owner (the instance or a call record) and its id.
typedef struct _ISDN_TIMER_CTX {
    PVOID Owner;
    ISDN_STACK* Stack;
    ULONG Id;
} ISDN_TIMER_CTX;

#define CAUSE_TIMER_RECOVERY 0x66  // recovery on timer expiry

#define ISDN_OUT_NUMBER_MAX 19
#define ISDN_NUMBER_MAX 39
#define ISDN_PENDING_MAX 35

// One call record per time slot; also the call object call control keeps.
typedef struct _ISDN_CALL {
    ISDN_STACK* Stack;                       // owning instance (always first)
    Link* ThisLink;                          // none when free
    UCHAR Channel;                           // = the time slot
    UCHAR State;                             // Q.931 state, or ISDN_SLOT_*
    UCHAR OutNumber[1 + ISDN_OUT_NUMBER_MAX];        // from REQUEST_SETUP
    UCHAR CallingNumber[1 + ISDN_NUMBER_MAX];
    UCHAR CalledNumber[1 + ISDN_NUMBER_MAX];         // of an offered call
    UCHAR BearerCode;
    UCHAR SetupSent;
    UCHAR Cause;
    UCHAR FirstAnswerSeen;                   // the "second flag": first answer to SETUP handled
    ULONG SetupPending;
    UCHAR PendingMsg[1 + ISDN_PENDING_MAX];  // length byte + bytes
    UCHAR CallRefFlag;                       // flag bit (0 or 0x80) the network puts in its messages
    UCHAR Exclusive;                         // the channel was asked for exclusively
    UCHAR CallRefSet;
    UCHAR CallRefLen;
    USHORT CallRef;                          // value without the flag
    UCHAR TimerExpiries[ISDN_NUM_CALL_TIMERS];  // expiries of ids 4..9 since the timer was started anew
    ISDN_TIMER_CTX TimerCtx[ISDN_NUM_CALL_TIMERS];
} ISDN_CALL;

typedef struct _ISDN_EVENT {
    UCHAR InUse;
    UCHAR Data;       // receive-store slot of an 0xAF / 0xB0 message
    ULONG Code;
    ISDN_CALL* Call;  // class 0xA0 events only
} ISDN_EVENT;

typedef struct _ISDN_L2 {
    ULONG N200;
    ULONG RetryCount;
    ULONG L3State;        // 1 released, 2 awaiting establishment, 3 awaiting release, 4 established
    UCHAR Tei;
    UCHAR TeiAssigned;
    UCHAR Pad0[2];
    ULONG K;
    UCHAR VS, VA, VR, LastNR, LastNS;
    UCHAR Pad1[3];
    ULONG Flags;          // L2F_*
    ULONG Due;            // bit per L2_DUE
    UCHAR FrmrInfo[5];
    UCHAR Pad2[3];
    UCHAR TxStore[L2_TX_SLOTS][L2_TX_SLOT_SIZE];
    ULONG TxHead;         // slot of the oldest unacknowledged frame (N(S) = V(A))
    ULONG TxSend;         // slot of the next frame never sent
    ULONG TxWrite;        // slot layer 3 builds in next
    UCHAR TxFull;
    UCHAR Pad3[3];
    UCHAR RxStore[L2_RX_SLOTS][L2_RX_SLOT_SIZE];
    UCHAR RxBusy[L2_RX_SLOTS];  // slot referenced by a queued layer-3 event
    ULONG RxIndex;
    USHORT TeiReference;  // last reference number of a TEI request
    UCHAR TeiRequests;    // identity requests of the running procedure
    UCHAR Pad4;
    UCHAR SuBuffer[L2_SU_BUFFER];  // length byte + up to 8 octets
    UCHAR TeiTx[L2_SU_BUFFER];     // TEI-management frame waiting to go out
    UCHAR TeiRx[5];                // reference (2), message type, action indicator of the last one received
} ISDN_L2;

// The message being decoded.
typedef struct _ISDN_RX_MSG {
    const UCHAR* Msg;     // first octet (protocol discriminator)
    ULONG Length;
    ULONG IeStart;        // offset of the first IE
    UCHAR Pd;
    UCHAR Type;
    UCHAR CrKind;         // CR_*
    UCHAR CrFlag;
    UCHAR CrLen;
    USHORT CrValue;
    // IE search state.
    UCHAR WantedIe;
    ULONG IePos;
    ULONG IeLen;
    // Extracted values (set by the IE receive functions).
    ULONG Seen;           // bit per IE table row found
    UCHAR BearerCode;     // 0xFF: a capability the stack does not take
    UCHAR HasChannel;
    UCHAR Channel;
    UCHAR ChannelExclusive;
    UCHAR HasCause;
    UCHAR CauseValue;
    UCHAR CallState;
    UCHAR RestartClass;
    UCHAR ProgressDesc;
    UCHAR ChangeStatus;
    UCHAR CalledLen;
    UCHAR CallingLen;
    const UCHAR* CalledDigits;
    const UCHAR* CallingDigits;
} ISDN_RX_MSG;

#define CR_NORMAL 0
#define CR_GLOBAL 2
#define CR_DUMMY 3
#define CR_NOT_FOUND 4

struct _ISDN_STACK {
    Adapter* ThisAdapter;                       // 1
    RSS_INTERFACE_TABLE Upcalls;                // 2
    ULONG Line;                                 // 3
    ULONG Window;                               // 4
    ISDN_L2 L2;                                 // 5
    ULONG E1;                                   // 6
    ULONG Variant;
    ULONG IsE1;
    UCHAR Profile[ISDN_PROFILE_WORDS * 4];      // 7
    Link* DChannelLink;                         // 8
    ULONG DChannelSlot;
    ISDN_CALL Calls[ISDN_NUM_SLOTS];            // 9
    ISDN_CALL* CurrentCall;                     // 10
    ULONG FirstB, LastB, FramingSlot;
    UCHAR* OutMsg;                              // message being built (a transmit-store slot)
    TmrPool Pool;                               // 11
    TmrEntry PoolEntries[ISDN_POOL_ENTRIES];
    ULONG TimerDuration[ISDN_NUM_Q931_TIMERS];  // 12
    ULONG TimerEvent[ISDN_NUM_Q931_TIMERS];
    ISDN_TIMER_CTX TimerCtx[ISDN_NUM_Q931_TIMERS];
    ISDN_TIMER_CTX TickCtx, SettleCtx;
    ULONG CurrentEvent;                         // 13
    UCHAR CurrentData;
    ISDN_EVENT Events[ISDN_EVENT_QUEUE_SIZE];
    ULONG EventCount, EventRead, EventWrite;
    ULONG LinkState;                            // 14
    UCHAR L2RxBuffer[1 + ISDN_RX_RING_SLOT_SIZE];  // 15
    UCHAR RxRing[ISDN_RX_RING_SLOTS][ISDN_RX_RING_SLOT_SIZE + 1];
    ULONG RxWrite, RxRead, RxCurrentLength;
    ULONG CallRefCounter;                       // 16
    ISDN_RX_MSG Rx;
    ULONG FramesReceived;
    ULONG Quiet;                                // 17
    ULONG EventLogIndex;                        // 18
    UCHAR EventLog[ISDN_EVENT_LOG_ENTRIES][ISDN_EVENT_LOG_ENTRY_SIZE];
    ULONG StackCounters[ISDN_NUM_STACK_COUNTERS];                      // 19
    ULONG ChannelCounters[ISDN_NUM_SLOTS][ISDN_COUNTERS_PER_CHANNEL];
    ULONG StackSetting;                         // 20
    UCHAR InCallRequest;                        // a primitive runs on call control's thread
    UCHAR Pad5[3];
    ULONG RestartChannels;  // bit n: channel n held a call the last reset forgot; restarted once layer 2 is up
};

// ---- frame (IsdnFrame.cpp) ----
void IsdnStackReset(ISDN_STACK* s);
BOOLEAN IsdnPostEvent(ISDN_STACK* s, ULONG Code, ISDN_CALL* Call, UCHAR Data);
void IsdnPurgeCallPrimitives(ISDN_STACK* s, ISDN_CALL* Call);
void IsdnPurgeEventCode(ISDN_STACK* s, ULONG Code);
void IsdnRunEvents(ISDN_STACK* s);
BOOLEAN IsdnTimerStart(ISDN_STACK* s, ULONG Id, ISDN_CALL* Call);
void IsdnTimerStop(ISDN_STACK* s, ULONG Id, ISDN_CALL* Call);
BOOLEAN IsdnTimerRunning(ISDN_STACK* s, ULONG Id, ISDN_CALL* Call);
void IsdnLog(ISDN_STACK* s, UCHAR Code, const UCHAR* Data, ULONG Length);
void IsdnUpcall(ISDN_STACK* s, ULONG Code, ISDN_CALL* Call);
void IsdnInitCall(ISDN_STACK* s, ISDN_CALL* c);
BOOLEAN IsdnIsBChannel(const ISDN_STACK* s, ULONG Channel);
BOOLEAN IsdnStackTick(PVOID Context);
extern const UCHAR IsdnVariantProfiles[5][ISDN_PROFILE_WORDS * 4];

// The stack's seven entries (slots 0..6).
void IsdnStackSetAdapter(PVOID Stack, Adapter* ThisAdapter);
void IsdnStackLayer1Indication(Adapter* ThisAdapter, PVOID Stack, ULONG Line, ULONG State);
BOOLEAN IsdnStackPutFrame(PVOID Stack, PUCHAR Frame, ULONG Length);
ULONG IsdnStackQueryParam(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument);
PVOID IsdnStackAllocCall(PVOID Stack, Link* ThisLink, ULONG LinkIndex);
void IsdnStackCallRequest(UCHAR Primitive, PVOID CallObject, PUCHAR Number, UCHAR Value, ULONG Flag);
void IsdnStackManagementRequest(ULONG Action, PVOID Stack, ULONG A1, ULONG A2, ULONG A3, ULONG A4, ULONG A5,
                                ULONG A6, ULONG A7, ULONG A8, ULONG A9);

// ---- layer 2 (IsdnLayer2.cpp) ----
void IsdnL2Reset(ISDN_STACK* s);
void IsdnL2Poll(ISDN_STACK* s);             // transmit side, then one received frame
void IsdnL2Transmit(ISDN_STACK* s);
void IsdnL2Receive(ISDN_STACK* s, const UCHAR* Frame, ULONG Length);
BOOLEAN IsdnL2ManagementEvent(ISDN_STACK* s, ULONG Code);
BOOLEAN IsdnUpperEvent(ISDN_STACK* s, ULONG Code);
UCHAR* IsdnL2MessageSlot(ISDN_STACK* s);     // NULL when the store is full
void IsdnL2QueueMessage(ISDN_STACK* s, ULONG MessageLength);
BOOLEAN IsdnL2Holds(const ISDN_STACK* s, const UCHAR* Message, ULONG Length);  // queued, not yet acknowledged
void IsdnL2ReleaseRxSlot(ISDN_STACK* s, UCHAR Slot);
void IsdnL2Released(ISDN_STACK* s);         // what layer 3 sees on release
void IsdnL2Established(ISDN_STACK* s);      // what layer 3 sees on establishment

// ---- layer 3 messages (IsdnLayer3Msg.cpp) ----
#define MT_ALERTING 0x01
#define MT_CALL_PROCEEDING 0x02
#define MT_PROGRESS 0x03
#define MT_SETUP 0x05
#define MT_CONNECT 0x07
#define MT_SETUP_ACK 0x0D
#define MT_CONNECT_ACK 0x0F
#define MT_DISCONNECT 0x45
#define MT_RESTART 0x46
#define MT_RELEASE 0x4D
#define MT_RESTART_ACK 0x4E
#define MT_RELEASE_COMPLETE 0x5A
#define MT_NOTIFY 0x6E
#define MT_STATUS_ENQUIRY 0x75
#define MT_INFORMATION 0x7B
#define MT_STATUS 0x7D
#define MT_SERVICE 0x0F       // discriminator 03
#define MT_SERVICE_ACK 0x07   // discriminator 03
#define PD_Q931 0x08
#define PD_MAINTENANCE 0x03

#define IE_CHANGE_STATUS 0x01
#define IE_BEARER 0x04
#define IE_CAUSE 0x08
#define IE_CALL_STATE 0x14
#define IE_CHANNEL_ID 0x18
#define IE_PROGRESS 0x1E
#define IE_NOTIFICATION 0x27
#define IE_CALLING_NUMBER 0x6C
#define IE_CALLED_NUMBER 0x70
#define IE_RESTART 0x79
#define IE_SENDING_COMPLETE 0xA1

// What a message to be built carries besides its call record.
typedef struct _ISDN_TX_ARGS {
    UCHAR Pd;
    UCHAR Type;
    UCHAR Cause;          // 0: no cause IE
    UCHAR CallState;
    UCHAR RestartClass;
    UCHAR ChangeStatus;
    UCHAR Channel;
    UCHAR Exclusive;
    UCHAR BearerCode;
    UCHAR CrLen;          // 0 dummy
    UCHAR CrFlag;         // flag bit to send
    USHORT CrValue;
    const UCHAR* Number;  // length byte + digits
} ISDN_TX_ARGS;

typedef ULONG (*ISDN_IE_DUMP)(const UCHAR* Contents, ULONG Length, char* Out, ULONG OutSize);
typedef BOOLEAN (*ISDN_IE_RECEIVE)(ISDN_STACK* s, ISDN_RX_MSG* m, const UCHAR* Contents, ULONG Length);
typedef ULONG (*ISDN_IE_TRANSMIT)(ISDN_STACK* s, const ISDN_TX_ARGS* a, UCHAR* Out, ULONG Room);  // octets, 0: none

typedef struct _ISDN_IE_DEF {
    UCHAR Id;
    const char* Name;
    ISDN_IE_DUMP Dump;
    ISDN_IE_RECEIVE Receive;
    ISDN_IE_TRANSMIT Transmit;
} ISDN_IE_DEF;

#define ISDN_MSG_MAX_IES 6
#define IEF_MANDATORY 1
typedef struct _ISDN_MSG_IE {
    UCHAR Id;
    UCHAR Flags;
} ISDN_MSG_IE;

typedef struct _ISDN_MSG_DEF {
    UCHAR Pd;
    UCHAR Type;
    const char* Name;
    ULONG AcceptStates;  // bit per call state in which the message is compatible
    ISDN_MSG_IE Ies[ISDN_MSG_MAX_IES];  // IEs it carries, in order; {0,0} ends
} ISDN_MSG_DEF;

extern const ISDN_IE_DEF IsdnIeTable[];
extern const ULONG IsdnIeTableSize;
extern const ISDN_MSG_DEF IsdnMsgTable[];
extern const ULONG IsdnMsgTableSize;
const ISDN_IE_DEF* IsdnFindIeDef(UCHAR Id);
const ISDN_MSG_DEF* IsdnFindMsgDef(UCHAR Pd, UCHAR Type);

// Builds a message into Out (room octets); its length, or 0 when it does not fit.
ULONG IsdnBuildMessage(ISDN_STACK* s, const ISDN_TX_ARGS* a, UCHAR* Out, ULONG Room);
// Builds and queues a message for the call (or with the given call reference when
// Call is NULL); FALSE when it cannot be built or the store is full.
BOOLEAN IsdnSendMessage(ISDN_STACK* s, ISDN_CALL* Call, UCHAR Type, UCHAR Cause);
BOOLEAN IsdnSendArgs(ISDN_STACK* s, ISDN_TX_ARGS* a);
void IsdnArgsForCall(ISDN_STACK* s, ISDN_CALL* Call, UCHAR Type, ISDN_TX_ARGS* a);
// Parses header and IEs of a received message into s->Rx; FALSE: dropped.
BOOLEAN IsdnParseMessage(ISDN_STACK* s, const UCHAR* Msg, ULONG Length, ISDN_RX_MSG* m, UCHAR* ErrorCause);
BOOLEAN IsdnFindIe(const ISDN_RX_MSG* m, UCHAR Id, ULONG* Pos, ULONG* Len);
ULONG IsdnRemoveIe(UCHAR* Msg, ULONG Length, ULONG IeStart, UCHAR Id);
ULONG IsdnDumpMessage(const UCHAR* Msg, ULONG Length, char* Out, ULONG OutSize);
ISDN_CALL* IsdnFindCallByRef(ISDN_STACK* s, UCHAR Flag, USHORT Value);
BOOLEAN IsdnL3MessageEvent(ISDN_STACK* s, UCHAR Slot, BOOLEAN DecodeOnly);

// ---- layer 3 call states (IsdnLayer3State.cpp) ----
BOOLEAN IsdnL3Event(ISDN_STACK* s, ULONG Code, ISDN_CALL* Call);
void IsdnL3Message(ISDN_STACK* s, ISDN_CALL* Call, const ISDN_RX_MSG* m);
void IsdnFreeCall(ISDN_STACK* s, ISDN_CALL* c);
void IsdnIncomingSetup(ISDN_STACK* s, const ISDN_RX_MSG* m);
void IsdnRunPrimitive(ISDN_STACK* s, ULONG Code, ISDN_CALL* Call);
