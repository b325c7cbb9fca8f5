// ISDN PRI and robbed-bit stacks. Placeholders until the stacks land: each keeps its
// set-up values and answers the constant questions of the driver core.
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

static ULONG StubControl(BOOLEAN Isdn, ULONG Kind, ULONG Id, PVOID Object, ULONG Argument)
{
    STUB_STACK* s = (STUB_STACK*)Object;
    if (Kind > CTL_KIND_CONST) return CONTROL_UNKNOWN;
    if (Kind == CTL_KIND_CONST) {
        switch (Id) {
        case CTL_INSTANCE_SIZE: return sizeof(STUB_STACK);
        case CTL_HAS_D_CHANNEL: return Isdn ? 1 : 0;
        case 0x4D: return Isdn ? 0 : 5;
        case 0x4F: return 1;
        default: return CONTROL_UNKNOWN;
        }
    }
    if (s == NULL) return CONTROL_UNKNOWN;
    switch (Id) {
    case CTL_RESET:
    case CTL_START_TICK:
    case CTL_TICK:
    case CTL_INIT_TIMER_POOL: return CONTROL_UNKNOWN;
    case CTL_FILL_INTERFACE_TABLE: RSS_FillInterfaceTable(&s->Upcalls); return 0;
    case CTL_LINE_INDEX: s->Line = Argument; return 0;
    case CTL_E1_FLAG: s->E1 = Argument; return 0;
    case CTL_SWITCH_VARIANT: if (Isdn) s->Variant = Argument; return 0;
    case CTL_L2_WINDOW: if (Isdn) s->Window = Argument; return 0;
    case CTL_NUM_B_CHANNELS: return Isdn ? (s->E1 ? 30 : 23) : (s->E1 ? 32 : 24);
    case CTL_POLL_QUESTION: return Isdn ? 0 : (s->Mode == 5);
    default: return CONTROL_UNKNOWN;
    }
}

static ULONG IsdnControl(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument) { return StubControl(TRUE, Kind, Id, Object, Argument); }
static ULONG RbsControl(ULONG Kind, ULONG Id, PVOID Object, ULONG Argument) { return StubControl(FALSE, Kind, Id, Object, Argument); }
static void StubSetAdapter(PVOID Stack, Adapter* ThisAdapter) { ((STUB_STACK*)Stack)->ThisAdapter = ThisAdapter; }
static void StubLayer1Indication(Adapter*, PVOID, ULONG, ULONG) {}
static BOOLEAN IsdnPutFrame(PVOID, PUCHAR, ULONG) { return FALSE; }
static PVOID StubAllocCall(PVOID, Link*, ULONG) { return NULL; }
static void StubCallRequest(UCHAR, PVOID, PUCHAR, UCHAR, ULONG) {}
static void IsdnManagementRequest(ULONG, PVOID, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG) {}

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
