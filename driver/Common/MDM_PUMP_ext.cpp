// The pump record operations the socket service needs and the pump accessors of call
// control. The state machine is in MDM_PUMP.cpp, the serial-port side in
// driver/Wmp_nt40/ser_*.cpp. Runs under AdapterSpinLock.
#include "driver/Common/MDM_PUMP_ext.h"

#include <cstring>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/RSS_SGNL.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"

// ---- record operations ----

BOOLEAN BuildPumpGraph(Pump* ThisPump, Csm* ThisCsm, ULONG PumpNumber, ULONG TimeslotBase)
{
    std::memset(ThisPump, 0, sizeof *ThisPump);
    ThisPump->ThisCsm = ThisCsm;
    ThisPump->PumpNumber = PumpNumber;
    ThisPump->PumpDataTS = TimeslotBase + 1;
    ThisPump->DataReqWord1 = 0x3FFF;
    ThisPump->PumpState = PUMP_OUT_OF_SERVICE;
    ThisPump->PumpEvent = Pump_Ev_None;
    RSS_TRACE("@@@@BuildPumpGraph, Pump#%d, PumpDataTS#%d \n", (int)PumpNumber, (int)ThisPump->PumpDataTS);
    return TRUE;
}

// A pump taken from its call by a processor reset or reload. While pump and Link still
// point at each other the call is reported cleared to call control (the pump is out of
// service meanwhile, so the clearing leaves it alone); then both sides are unbound, so
// a Link never keeps a pump that goes on to serve another call. An open serial port
// that held the pump takes a new one, as after an adapter reset, once one is free.
void PumpDropCall(Pump* ThisPump)
{
    Link* l = ThisPump->ThisLink;
    if (l == NULL) return;
    if (l->ThisPump == ThisPump) {
        RSS_LOG("@@@@Pump%d of Csm%d taken from its call by a processor reset\n", (int)ThisPump->PumpNumber,
                (int)ThisPump->ThisCsm->Index);
        ThisPump->PumpState = PUMP_OUT_OF_SERVICE;
        PumpDisconnectHdlr(l);
        if (l->ThisPump == ThisPump) l->ThisPump = NULL;
        if (l->ThisPump == NULL && l->ThisAsyncPort != NULL && l->CurrentOwner == OWNER_VOVIZ4EZ)
            ser_LinkReset(l->ThisAsyncPort);
    }
    ThisPump->ThisLink = NULL;
}

BOOLEAN PumpInitialize(Pump* ThisPump)
{
    RSS_TRACE("@@@@PumpInitialize, Pump#%d \n", (int)ThisPump->PumpNumber);
    PumpDropCall(ThisPump);
    ThisPump->ResetAttempts = 0;
    ThisPump->FifoCount = 0;
    ThisPump->DataReqWord2 = 0;
    ThisPump->DataRequested = 0;
    ThisPump->PumpReadyForReceiveData = 0;
    ThisPump->CmdRequested = 0;
    ThisPump->CmdAccepted = 0;
    ThisPump->TimeSlot = 0;
    ThisPump->OutgoingCall = 0;
    ThisPump->StepsWithoutSending = 0;
    ThisPump->GoodCalls = 0;
    ThisPump->FailedCalls = 0;
    std::memset(&ThisPump->CmdChan, 0, sizeof ThisPump->CmdChan);
    ThisPump->NetworkMode = 0;
    ThisPump->DteSignalsChanged = 0;
    ThisPump->ChannelProtocol = 0;
    ThisPump->DataRefusals = 0;
    ThisPump->CmdRefusals = 0;
    ThisPump->PumpFaxConnection = 0;
    ThisPump->DataReqWord1 = 0x3FFF;
    ThisPump->SyncMode = 1;
    ThisPump->OnLineData = 1;
    ThisPump->DteSignals = DTE_SIGNAL_DTR | DTE_SIGNAL_RTS;
    ThisPump->PumpState = PUMP_NEED_RESET;
    ThisPump->PumpEvent = Host_Ev_Reset_Requested;
    return TRUE;
}

// Small accessors call control uses (declared in RSS_CallCtl_ext.h).
void PumpSetPendingEvent(Pump* ThisPump, ULONG Event)
{
    if (ThisPump != NULL) ThisPump->PumpEvent = Event;
}

void PumpSetBChannelTimeslot(Pump* ThisPump, ULONG Timeslot)
{
    if (ThisPump != NULL) ThisPump->TimeSlot = Timeslot;
}

BOOLEAN PumpIsFaxConnection(Pump* ThisPump) { return ThisPump != NULL && ThisPump->PumpFaxConnection != 0; }

// ---- serial-port side: driver/Wmp_nt40/ser_shel.cpp and ser_io.cpp ----
