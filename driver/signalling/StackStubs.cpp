// ISDN PRI and robbed-bit stacks. Placeholders until the stacks land: each keeps its
// set-up values and gives the Control answers the driver core and call control ask
// for, as the contract's table has them; answers that need a running stack (calls,
// layer 1, layer 2) are those of an idle line. Runs under AdapterSpinLock.
#include <cstring>

#include "driver/Common/RSS_init.h"

typedef struct _STUB_STACK {
    Adapter* ThisAdapter;
    RSS_INTERFACE_TABLE Upcalls;
    ULONG Line;
    ULONG E1;
    ULONG Variant;
    ULONG Window;
    ULONG Mode;
} STUB_STACK;

// Kind-4 questions: the answers that depend on nothing.
typedef struct _STUB_CONST_ANSWER {
    ULONG Id;
    ULONG Isdn;
    ULONG Rbs;
} STUB_CONST_ANSWER;

static const STUB_CONST_ANSWER StubConstAnswers[] = {
    {CTL_INSTANCE_SIZE, sizeof(STUB_STACK), sizeof(STUB_STACK)},
    {CTL_NUM_STACK_COUNTERS, 13, CONTROL_UNKNOWN},
    {CTL_COUNTERS_PER_CHANNEL, 24, CONTROL_UNKNOWN},
    {CTL_EVENT_LOG_ENTRIES, 400, CONTROL_UNKNOWN},
    {CTL_EVENT_LOG_ENTRY_SIZE, 100, CONTROL_UNKNOWN},
    {CTL_CONST_4B, 5, CONTROL_UNKNOWN},
    {CTL_CONST_4C, 80, CONTROL_UNKNOWN},
    {CTL_TIMESLOT_MAP_MODE, 0, 5},
    {CTL_HAS_D_CHANNEL, 1, 0},
    {CTL_PER_CHANNEL_HANDLING, 1, 1},
};

static BOOLEAN StubConstAnswer(BOOLEAN Isdn, ULONG Id, ULONG* Answer)
{
    for (const STUB_CONST_ANSWER& row : StubConstAnswers) {
        if (row.Id == Id) {
            *Answer = Isdn ? row.Isdn : row.Rbs;
            return TRUE;
        }
    }
    return FALSE;
}

static ULONG StubControl(BOOLEAN Isdn, ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    STUB_STACK* s = (STUB_STACK*)Object;
    ULONG answer;
    if (Kind >= CTL_NUM_KINDS) return CONTROL_UNKNOWN;
    if (Kind == CTL_KIND_CONST) return StubConstAnswer(Isdn, Id, &answer) ? answer : CONTROL_UNKNOWN;
    // No call objects exist before the stacks land.
    if (s == NULL || Kind == CTL_KIND_CALL) return CONTROL_UNKNOWN;
    if (StubConstAnswer(Isdn, Id, &answer)) return answer;
    BOOLEAN e1 = s->E1 == 1;
    switch (Id) {
    case CTL_FILL_INTERFACE_TABLE: RSS_FillInterfaceTable(&s->Upcalls); return 0;
    case CTL_LINE_INDEX: s->Line = Argument; return 0;
    case CTL_E1_FLAG: s->E1 = Argument; return 0;
    case CTL_SWITCH_VARIANT:
        if (!Isdn) return CONTROL_UNKNOWN;
        s->Variant = Argument;
        return 0;
    case CTL_L2_WINDOW:
        if (!Isdn) return CONTROL_UNKNOWN;
        s->Window = Argument;
        return 0;
    case CTL_NUM_B_CHANNELS: return Isdn ? (e1 ? 30 : 23) : (e1 ? 32 : 24);
    case CTL_POLL_QUESTION: return Isdn ? 0 : (s->Mode == 5);
    case CTL_FRAMER_INT_QUESTION: return Isdn ? 0 : (s->Mode == 4);
    case CTL_FRAMER_QUESTION: return Isdn ? 0 : (s->Mode == 3);
    case CTL_TX_SIGNALLING_BITS: return 0;
    case CTL_D_CHANNEL_TIMESLOT: return Isdn ? (e1 ? 16 : 24) : CONTROL_UNKNOWN;
    case CTL_FIRST_B_CHANNEL: return Isdn ? (e1 ? 0 : 1) : CONTROL_UNKNOWN;
    case CTL_LAST_B_CHANNEL: return Isdn ? (e1 ? 31 : 23) : CONTROL_UNKNOWN;
    case CTL_L2_STATE: return Isdn ? 1 : CONTROL_UNKNOWN;
    case CTL_IS_E1: return e1 ? 1 : 0;
    case CTL_LAYER1_UP: return Isdn ? CONTROL_UNKNOWN : 0;
    default: return CONTROL_UNKNOWN;
    }
}

static ULONG IsdnControl(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument) { return StubControl(TRUE, Kind, Id, Object, Argument); }
static ULONG RbsControl(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument) { return StubControl(FALSE, Kind, Id, Object, Argument); }
static void StubSetAdapter(PVOID Stack, Adapter* ThisAdapter)
{
    if (Stack != NULL) ((STUB_STACK*)Stack)->ThisAdapter = ThisAdapter;
}
static void StubLayer1Indication(Adapter*, PVOID, ULONG, ULONG) {}
static BOOLEAN IsdnPutFrame(PVOID, PUCHAR, ULONG) { return FALSE; }
static PVOID StubAllocCall(PVOID, Link*, ULONG) { return NULL; }
static void StubCallRequest(UCHAR, PVOID, PUCHAR, UCHAR, ULONG) {}
static void IsdnManagementRequest(ULONG, PVOID, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG) {}

// The robbed-bit stack accepts and drops a frame (it has no D channel); it ignores
// management requests. The leased line uses both.
BOOLEAN RbsStackPutFrame(PVOID, PUCHAR, ULONG) { return TRUE; }
void RbsStackManagementRequest(ULONG, PVOID, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG) {}

void IsdnStackGetOps(SGNL_PROTOCOL_OPS* Ops)
{
    Ops->SetAdapter = StubSetAdapter;
    Ops->Layer1Indication = StubLayer1Indication;
    Ops->PutFrame = IsdnPutFrame;
    Ops->Control = IsdnControl;
    Ops->AllocCall = StubAllocCall;
    Ops->CallRequest = StubCallRequest;
    Ops->ManagementRequest = IsdnManagementRequest;
}

void RbsStackGetOps(SGNL_PROTOCOL_OPS* Ops)
{
    Ops->SetAdapter = StubSetAdapter;
    Ops->Layer1Indication = StubLayer1Indication;
    Ops->PutFrame = RbsStackPutFrame;
    Ops->Control = RbsControl;
    Ops->AllocCall = StubAllocCall;
    Ops->CallRequest = StubCallRequest;
    Ops->ManagementRequest = RbsStackManagementRequest;
}
