// Modem sockets: layout from the module-type table and the socket timer.
#include "driver/Common/MDM_DIMM.h"

#include "driver/Common/RSS_init.h"

ULONG GetModuleType(Adapter* ThisAdapter, ULONG SocketIndex)
{
    return SocketIndex < MAX_SOCKETS ? ThisAdapter->ModuleID[SocketIndex] : 0;
}

BOOLEAN InitDimm(DimmSocket* Socket, Adapter* ThisAdapter, ULONG SocketIndex, ULONG Group, PUCHAR Window,
                 ULONG TimeslotBase)
{
    ULONG type = GetModuleType(ThisAdapter, SocketIndex);
    const MODULE_TYPE* row = &ModuleTypeTable[type < NUM_MODULE_TYPES ? type : 0];
    Socket->ThisAdapter = ThisAdapter;
    Socket->ModuleType = type;
    Socket->Present = row->Present;
    Socket->ProcessorStride = 4 * row->Stride;
    Socket->ProcessorCount = row->Processors > MAX_CSMS_PER_SOCKET ? MAX_CSMS_PER_SOCKET : row->Processors;
    Socket->Group = Group;
    Socket->SocketIndex = SocketIndex;
    Socket->Window = Window;
    Socket->TimerPeriod = row->TimerPeriod;
    for (ULONG c = 0; c < Socket->ProcessorCount; c++)
        BuildCsmGraph(&Socket->Csms[c], Socket, ThisAdapter, Group, Window + c * Socket->ProcessorStride,
                      TimeslotBase + c * row->TimeslotStep, row->Pumps, c, row->Variant, 4 * row->SecondWindow);
    return TRUE;
}

BOOLEAN DimmStartTimer(DimmSocket* Socket)
{
    if (Socket->Present != 1) return FALSE;
    Adapter* a = Socket->ThisAdapter;
    return TmrStart(&a->AdapterTimerPool, (ULONG_PTR)Socket, Socket->SocketIndex, Socket->TimerPeriod, DimmTimerHdlr,
                    Socket);
}

// Placeholder until the modem-processor side lands: the socket timer keeps running
// and serves nothing.
BOOLEAN DimmTimerHdlr(PVOID Context)
{
    DimmSocket* Socket = (DimmSocket*)Context;
    TmrRestart(&Socket->ThisAdapter->AdapterTimerPool, (ULONG_PTR)Socket, Socket->SocketIndex, Socket->TimerPeriod);
    return FALSE;
}

void DimmRequestCsmReset(DimmSocket*, ULONG) {}

void BuildCsmGraph(Csm* ThisCsm, DimmSocket* Socket, Adapter* ThisAdapter, ULONG Group, PUCHAR Window,
                   ULONG TimeslotBase, ULONG PumpCount, ULONG Index, ULONG Variant, ULONG SecondWindowOffset)
{
    ThisCsm->ThisSocket = Socket;
    ThisCsm->ThisAdapter = ThisAdapter;
    ThisCsm->Group = Group;
    ThisCsm->Window = Window;
    ThisCsm->TimeslotBase = TimeslotBase;
    ThisCsm->PumpCount = PumpCount > MAX_PUMPS_PER_CSM ? MAX_PUMPS_PER_CSM : PumpCount;
    ThisCsm->Index = Index;
    ThisCsm->Variant = Variant;
    ThisCsm->SecondWindowOffset = SecondWindowOffset;
    for (ULONG p = 0; p < ThisCsm->PumpCount; p++) {
        ThisCsm->Pumps[p].ThisCsm = ThisCsm;
        ThisCsm->Pumps[p].Index = p;
    }
}
