// The contract between call control and a line's signalling stack: seven entries down
// (SGNL_PROTOCOL_OPS), fourteen callbacks up (RSS_INTERFACE_TABLE).
#pragma once

#include "driver/Common/RSS_types.h"

#define CONTROL_UNKNOWN 0xFFFF

// Control kinds: the object is the stack instance (0..2), a call object (3) or none (4).
#define CTL_KIND_ACTION 0
#define CTL_KIND_SET 1
#define CTL_KIND_GET 2
#define CTL_KIND_CALL 3
#define CTL_KIND_CONST 4

// Control identifiers used by the driver core.
#define CTL_RESET 0x00
#define CTL_RBS_TYPE 0x01
#define CTL_RBS_CALL_TYPE 0x02
#define CTL_RBS_PROTOCOL 0x03
#define CTL_RBS_WINK_DURATION 0x04
#define CTL_START_TICK 0x05
#define CTL_TICK 0x06
#define CTL_INIT_TIMER_POOL 0x07
#define CTL_FILL_INTERFACE_TABLE 0x14
#define CTL_LINE_INDEX 0x15
#define CTL_E1_FLAG 0x16
#define CTL_SWITCH_VARIANT 0x17
#define CTL_L2_WINDOW 0x18
#define CTL_NUM_B_CHANNELS 0x1A
#define CTL_POLL_QUESTION 0x1B
#define CTL_INSTANCE_SIZE 0x46
#define CTL_HAS_D_CHANNEL 0x4E

// Call-control primitives and causes.
#define REQUEST_SETUP 0xB1
#define REQUEST_SETUP_RESPONSE 0xBB
#define REQUEST_DISCONNECT 0xB4
#define NORMALCALLCLEARING 0x10
#define BUSY 0x11
#define NOANSWER 0x12
#define CALLREJECTED 0x15

typedef void (*SGNL_SET_ADAPTER)(PVOID Stack, Adapter* ThisAdapter);
typedef void (*SGNL_LAYER1_INDICATION)(Adapter* ThisAdapter, PVOID Stack, ULONG Line, ULONG State);
typedef BOOLEAN (*SGNL_PUT_FRAME)(PVOID Stack, PUCHAR Frame, ULONG Length);
typedef ULONG (*SGNL_CONTROL)(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument);
typedef PVOID (*SGNL_ALLOC_CALL)(PVOID Stack, Link* ThisLink, ULONG LinkIndex);
typedef void (*SGNL_CALL_REQUEST)(UCHAR Primitive, PVOID CallObject, PUCHAR Number, UCHAR Value, ULONG Flag);
typedef void (*SGNL_MANAGEMENT_REQUEST)(ULONG Action, PVOID Stack, ULONG A1, ULONG A2, ULONG A3, ULONG A4, ULONG A5,
                                        ULONG A6, ULONG A7, ULONG A8, ULONG A9);

typedef struct _SGNL_PROTOCOL_OPS {
    SGNL_SET_ADAPTER SetAdapter;
    SGNL_LAYER1_INDICATION Layer1Indication;
    SGNL_PUT_FRAME PutFrame;
    SGNL_CONTROL Control;
    SGNL_ALLOC_CALL AllocCall;
    SGNL_CALL_REQUEST CallRequest;
    SGNL_MANAGEMENT_REQUEST ManagementRequest;
} SGNL_PROTOCOL_OPS;

typedef struct _RSS_INTERFACE_TABLE {
    void (*OutOfService)(Adapter* ThisAdapter, ULONG Line, ULONG Channel);
    BOOLEAN (*RSS_IsTxQueueFull)(Link* ThisLink);
    BOOLEAN (*SendLy2Frame)(Link* ThisLink, PVOID Owner, PUCHAR Frame, UCHAR Length);
    void (*GoToConnectedState)(Link* ThisLink);
    Link* (*RSS_GetGroupLink31)(Adapter* ThisAdapter, ULONG Group);
    Link* (*GetLinkAssignedToBChannel)(Adapter* ThisAdapter, PVOID CallObject, ULONG Group, PUCHAR Number,
                                      ULONG LengthOrChannel);
    void (*RSS_SetLinkBChannel)(Link* ThisLink, PVOID CallObject);
    void (*RSS_ClearLinkBChannel)(Link* ThisLink);
    void (*ConnectHdlr)(Link* ThisLink);
    void (*DisconnectHdlr)(Link* ThisLink);
    void (*IncomingCallIndHdlr)(Adapter* ThisAdapter, Link* ThisLink, ULONG BearerCode);
    void (*RSS_SetLinkDisconnectFlag)(Link* ThisLink);
    void (*RSS_SetLed)(Adapter* ThisAdapter, ULONG Line, ULONG Mask, ULONG On);
    void (*RSS_PrintLink)(Link* ThisLink);
} RSS_INTERFACE_TABLE;

// Table fillers, one per stack.
void IsdnStackGetOps(SGNL_PROTOCOL_OPS* Ops);
void RbsStackGetOps(SGNL_PROTOCOL_OPS* Ops);
void LeasedLineGetOps(SGNL_PROTOCOL_OPS* Ops);
