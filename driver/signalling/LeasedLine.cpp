// The leased-line "stack" (SignallingProtocol 6): a line without signalling. No calls,
// no frames, no data path of its own; every entry does nothing and Control answers
// CONTROL_UNKNOWN to everything. Holds no state, so it needs no lock (its callers
// hold AdapterSpinLock).
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"

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
