// The leased-line "stack": a line without signalling. Every entry does nothing.
#include "driver/Common/RSS_init.h"

BOOLEAN RbsStackPutFrame(PVOID Stack, PUCHAR Frame, ULONG Length);
void RbsStackManagementRequest(ULONG Action, PVOID Stack, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG, ULONG,
                               ULONG);

void RSS_NullHandler(PVOID, PVOID) {}

static void LeasedLineSetAdapter(PVOID Stack, Adapter* ThisAdapter) { RSS_NullHandler(Stack, ThisAdapter); }
static void LeasedLineLayer1Indication(Adapter*, PVOID, ULONG, ULONG) {}
static ULONG LeasedLineControl(ULONG, ULONG, PVOID, ULONG) { return CONTROL_UNKNOWN; }
static PVOID LeasedLineAllocCall(PVOID, Link*, ULONG) { return NULL; }
static void LeasedLineCallRequest(UCHAR, PVOID, PUCHAR, UCHAR, ULONG) {}

void LeasedLineGetOps(SGNL_PROTOCOL_OPS* Ops)
{
    Ops->SetAdapter = LeasedLineSetAdapter;
    Ops->Layer1Indication = LeasedLineLayer1Indication;
    Ops->PutFrame = RbsStackPutFrame;
    Ops->Control = LeasedLineControl;
    Ops->AllocCall = LeasedLineAllocCall;
    Ops->CallRequest = LeasedLineCallRequest;
    Ops->ManagementRequest = RbsStackManagementRequest;
}
