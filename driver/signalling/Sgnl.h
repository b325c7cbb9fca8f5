// The contract between call control and a line's signalling stack: seven entries down
// (SGNL_PROTOCOL_OPS), fourteen callbacks up (RSS_INTERFACE_TABLE), the Control kinds
// and identifiers, the call-control primitives and causes, the upcall codes and the
// ManagementRequest actions. Every entry on either side runs with the caller holding
// AdapterSpinLock; the stacks take no lock of their own.
#pragma once

#include <cstddef>

#include "driver/Common/RSS_types.h"

// The answer of Control to an unknown request, a missing object, or when there is
// nothing to report.
#define CONTROL_UNKNOWN 0xFFFF

// ---- Control kinds: what the object argument is ----
#define CTL_KIND_ACTION 0  // stack instance
#define CTL_KIND_SET 1     // stack instance
#define CTL_KIND_GET 2     // stack instance
#define CTL_KIND_CALL 3    // call object
#define CTL_KIND_CONST 4   // none
#define CTL_NUM_KINDS 5

// ---- Control identifiers (independent of the kind) ----
#define CTL_RESET 0x00                  // reset the stack
#define CTL_RBS_TYPE 0x01               // RBSType
#define CTL_RBS_CALL_TYPE 0x02          // RBSCallType
#define CTL_RBS_PROTOCOL 0x03           // RBSProtocol
#define CTL_RBS_WINK_DURATION 0x04      // RBSWinkDuration
#define CTL_START_TICK 0x05             // start the stack's own tick
#define CTL_TICK 0x06                   // tick, argument = elapsed ms
#define CTL_INIT_TIMER_POOL 0x07        // initialise the stack's timer pool
#define CTL_FILL_INTERFACE_TABLE 0x14   // fill the stack's RSS_INTERFACE_TABLE
#define CTL_LINE_INDEX 0x15             // the line index
#define CTL_E1_FLAG 0x16                // LineMode (1 = E1)
#define CTL_SWITCH_VARIANT 0x17         // SignallingProtocol
#define CTL_L2_WINDOW 0x18              // WindowSize
#define CTL_STACK_SETTING 0x19          // stack setting 1..3
#define CTL_NUM_B_CHANNELS 0x1A         // number of B channels (sizes a group's Links)
#define CTL_POLL_QUESTION 0x1B          // framer poll question: tick every adapter run
#define CTL_FRAMER_INT_QUESTION 0x1C    // framer interrupt question
#define CTL_FRAMER_QUESTION 0x1D        // framer question
#define CTL_RX_SIGNALLING_BITS 0x1E     // received robbed bits: bits low byte, channel next byte
#define CTL_TX_SIGNALLING_BITS 0x1F     // robbed bits to send for the channel (argument)
#define CTL_STACK_COUNTERS 0x28         // address of the 13 stack counters
#define CTL_CHANNEL_COUNTERS 0x29       // address of the 32 x 24 per-channel counters
#define CTL_D_CHANNEL_TIMESLOT 0x2A     // D-channel time slot
#define CTL_CHANNEL_STATE 0x2B          // state of the channel (argument)
#define CTL_FIRST_B_CHANNEL 0x2C        // first B channel
#define CTL_LAST_B_CHANNEL 0x2D         // last B channel
#define CTL_L2_STATE 0x2E               // layer-2 state: 1 released, 4 established
#define CTL_EVENT_LOG 0x2F              // address of the event log
#define CTL_EVENT_LOG_INDEX 0x30        // event-log write index
#define CTL_IS_E1 0x31                  // 1 E1 / 0 T1
#define CTL_LAYER1_UP 0x32              // 1 when layer 1 is up
#define CTL_CALL_CHANNEL 0x3C           // (kind 3) channel of the call
#define CTL_CALLED_NUMBER_LENGTH 0x3D   // (kind 3)
#define CTL_CALLED_NUMBER 0x3E          // (kind 3) digits
#define CTL_CALLING_NUMBER_LENGTH 0x3F  // (kind 3)
#define CTL_CALLING_NUMBER 0x40         // (kind 3) digits
#define CTL_INSTANCE_SIZE 0x46          // (kind 4) instance size in bytes
#define CTL_NUM_STACK_COUNTERS 0x47     // (kind 4)
#define CTL_COUNTERS_PER_CHANNEL 0x48   // (kind 4)
#define CTL_EVENT_LOG_ENTRIES 0x49      // (kind 4)
#define CTL_EVENT_LOG_ENTRY_SIZE 0x4A   // (kind 4)
#define CTL_CONST_4B 0x4B               // (kind 4) ISDN 5
#define CTL_CONST_4C 0x4C               // (kind 4) ISDN 80
#define CTL_TIMESLOT_MAP_MODE 0x4D      // (kind 4) slot mode of statically assigned slots
#define CTL_HAS_D_CHANNEL 0x4E          // (kind 4) 1: the line runs a D channel
#define CTL_PER_CHANNEL_HANDLING 0x4F   // (kind 4) 0: no per-channel handling

// ---- Layer1Indication states ----
#define LAYER1_ACTIVATED 1
#define LAYER1_DEACTIVATED 2

// ---- LED masks passed to RSS_SetLed, and the LED values they light ----
#define LED_MASK_PHYSICAL 0xE0
#define LED_MASK_DATA_LINK 0xC0
#define LED_VALUE_LAYER1_UP 0   // physical layer up, data link not (yet) up
#define LED_VALUE_LINE_DOWN 1
#define LED_VALUE_DATA_LINK_UP 2

// ---- Call-control primitives (CallRequest argument 1; class bits 0xA0) ----
#define SGNL_PRIMITIVE_CLASS 0xA0
#define REQUEST_SETUP 0xB1
#define REQUEST_DISCONNECT 0xB4
#define REQUEST_RELEASE 0xB8          // queued by the ISDN stack itself (upcall 0x9B)
#define REQUEST_SETUP_RESPONSE 0xBB
#define EVENT_CALL_ACCEPTED 0xBC      // stack-internal: call accepted for offering (upcall 0x9D)

// ---- Causes carried by REQUEST_DISCONNECT (Q.931 cause values) ----
#define NORMALCALLCLEARING 0x10
#define BUSY 0x11
#define NOANSWER 0x12
#define CALLREJECTED 0x15
// Values the ISDN stack keeps in the same cause field.
#define CAUSE_REPORT_CONNECTED 0x80
#define CAUSE_REPORT_CLEARED 0x81
#define CAUSE_CLEARED_BY_STACK 0x82
#define CAUSE_CLEAR_ON_INFORMATION 0x64  // upcall 0x99 clears only with this cause

// ---- Bearer code passed to IncomingCallIndHdlr ----
#define INFO_TRANSFER_CAPS_SPEECH 0

// ---- Upcall codes (ISDN stack to call control) ----
#define UPCALL_FIRST 0x8E
#define UPCALL_LAST 0x9E

typedef enum _SGNL_UPCALL_EFFECT {
    UPCALL_NOTHING = 0,
    UPCALL_CLEAR,               // slot 11 then slot 9 on the call's Link
    UPCALL_CONNECT_OR_CLEAR,    // cause field 0x81: clear; otherwise slot 8
    UPCALL_LOCAL_CLEARING,      // cause field := 0x10; queue REQUEST_DISCONNECT as a stack event
    UPCALL_CLEAR_IF_CAUSE_64,   // clear only when the cause field is 0x64
    UPCALL_RELEASE_THEN_CLEAR,  // queue REQUEST_RELEASE as a stack event, then clear
    UPCALL_QUEUE_ACCEPTED,      // queue EVENT_CALL_ACCEPTED
    UPCALL_INCOMING_CALL,       // slot 10 (adapter, Link, bearer code of the call)
} SGNL_UPCALL_EFFECT;

typedef struct _SGNL_UPCALL {
    UCHAR Code;
    UCHAR Effect;  // SGNL_UPCALL_EFFECT
    UCHAR Quiet;   // 1: does nothing while the stack's quiet flag is set
} SGNL_UPCALL;

#define NUM_UPCALLS (UPCALL_LAST - UPCALL_FIRST + 1)
extern const SGNL_UPCALL SgnlUpcallTable[NUM_UPCALLS];
// The row of a code; NULL outside 0x8E..0x9E.
const SGNL_UPCALL* SgnlUpcall(ULONG Code);

// ---- ManagementRequest actions (argument 1; ISDN only) ----
#define MGMT_SET_QUIET 0
#define MGMT_CLEAR_QUIET 1
#define MGMT_TEST_CALL 2
#define MGMT_TEST_ANSWER 3
#define MGMT_SEND_INFORMATION 4
#define MGMT_TEST_DISCONNECT 5
#define MGMT_SEND_RESTART 6
#define MGMT_NUM_ACTIONS 7
// MGMT_TEST_CALL takes its digits by value: A5 the count, A6 to A9 four characters
// each, the first in the low byte.
#define MGMT_SETUP_DIGIT_WORDS 4
#define MGMT_SETUP_DIGITS_MAX 16

// Cause of MGMT_TEST_DISCONNECT by the request's cause index; any index beyond the
// table, and index 1, give NORMALCALLCLEARING.
#define MGMT_NUM_CAUSE_INDEXES 13
extern const UCHAR SgnlManagementCauseTable[MGMT_NUM_CAUSE_INDEXES];
UCHAR SgnlManagementCause(ULONG CauseIndex);

// ---- The seven entries down ----
typedef void (*SGNL_SET_ADAPTER)(PVOID Stack, Adapter* ThisAdapter);
typedef void (*SGNL_LAYER1_INDICATION)(Adapter* ThisAdapter, PVOID Stack, ULONG Line, ULONG State);
typedef BOOLEAN (*SGNL_PUT_FRAME)(PVOID Stack, PUCHAR Frame, ULONG Length);
typedef ULONG (*SGNL_CONTROL)(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument);
typedef PVOID (*SGNL_ALLOC_CALL)(PVOID Stack, Link* ThisLink, ULONG LinkIndex);
typedef void (*SGNL_CALL_REQUEST)(UCHAR Primitive, PVOID CallObject, PUCHAR Number, UCHAR Value, ULONG Flag);
typedef void (*SGNL_MANAGEMENT_REQUEST)(ULONG Action, PVOID Stack, ULONG A1, ULONG A2, ULONG A3, ULONG A4, ULONG A5,
                                        ULONG A6, ULONG A7, ULONG A8, ULONG A9);

typedef struct _SGNL_PROTOCOL_OPS {
    SGNL_SET_ADAPTER SetAdapter;                // 0
    SGNL_LAYER1_INDICATION Layer1Indication;    // 1
    SGNL_PUT_FRAME PutFrame;                    // 2
    SGNL_CONTROL Control;                       // 3
    SGNL_ALLOC_CALL AllocCall;                  // 4
    SGNL_CALL_REQUEST CallRequest;              // 5
    SGNL_MANAGEMENT_REQUEST ManagementRequest;  // 6
} SGNL_PROTOCOL_OPS;

#define SGNL_OPS_SLOTS 7
static_assert(sizeof(SGNL_PROTOCOL_OPS) == SGNL_OPS_SLOTS * sizeof(void*));
static_assert(offsetof(SGNL_PROTOCOL_OPS, Control) == 3 * sizeof(void*));
static_assert(offsetof(SGNL_PROTOCOL_OPS, ManagementRequest) == 6 * sizeof(void*));

// ---- The fourteen callbacks up ----
typedef struct _RSS_INTERFACE_TABLE {
    void (*OutOfService)(Adapter* ThisAdapter, ULONG Line, ULONG Channel);                     // 0
    BOOLEAN (*RSS_IsTxQueueFull)(Link* ThisLink);                                               // 1
    BOOLEAN (*SendLy2Frame)(Link* ThisLink, PVOID Owner, PUCHAR Frame, UCHAR Length);           // 2
    void (*GoToConnectedState)(Link* ThisLink);                                                 // 3
    Link* (*RSS_GetGroupLink31)(Adapter* ThisAdapter, ULONG Group);                             // 4
    Link* (*GetLinkAssignedToBChannel)(Adapter* ThisAdapter, PVOID CallObject, ULONG Group, PUCHAR LastDigit,
                                       ULONG LengthOrChannel);                                  // 5
    void (*RSS_SetLinkBChannel)(Link* ThisLink, PVOID CallObject);                              // 6
    void (*RSS_ClearLinkBChannel)(Link* ThisLink);                                              // 7
    void (*ConnectHdlr)(Link* ThisLink);                                                        // 8
    void (*DisconnectHdlr)(Link* ThisLink);                                                     // 9
    void (*IncomingCallIndHdlr)(Adapter* ThisAdapter, Link* ThisLink, ULONG BearerCode);        // 10
    void (*RSS_SetLinkDisconnectFlag)(Link* ThisLink);                                          // 11
    void (*RSS_SetLed)(Adapter* ThisAdapter, ULONG Line, ULONG Mask, ULONG On);                 // 12
    void (*RSS_PrintLink)(Link* ThisLink);                                                      // 13
} RSS_INTERFACE_TABLE;

#define RSS_INTERFACE_SLOTS 14
static_assert(sizeof(RSS_INTERFACE_TABLE) == RSS_INTERFACE_SLOTS * sizeof(void*));
static_assert(offsetof(RSS_INTERFACE_TABLE, GetLinkAssignedToBChannel) == 5 * sizeof(void*));
static_assert(offsetof(RSS_INTERFACE_TABLE, IncomingCallIndHdlr) == 10 * sizeof(void*));
static_assert(offsetof(RSS_INTERFACE_TABLE, RSS_PrintLink) == 13 * sizeof(void*));

// Table fillers, one per stack.
void IsdnStackGetOps(SGNL_PROTOCOL_OPS* Ops);
void RbsStackGetOps(SGNL_PROTOCOL_OPS* Ops);
void LeasedLineGetOps(SGNL_PROTOCOL_OPS* Ops);

// Entries the leased line shares with the robbed-bit stack.
BOOLEAN RbsStackPutFrame(PVOID Stack, PUCHAR Frame, ULONG Length);
void RbsStackManagementRequest(ULONG Action, PVOID Stack, ULONG A1, ULONG A2, ULONG A3, ULONG A4, ULONG A5, ULONG A6,
                               ULONG A7, ULONG A8, ULONG A9);
