// Placeholders for the pump state machine and the serial-port side, which have not
// landed, and the pump record operations the socket service needs. The owners delete the
// placeholders as theirs land (the link refuses two definitions). Runs under
// AdapterSpinLock.
#include "driver/Common/MDM_PUMP_ext.h"

#include <cstring>

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/RSS_init.h"

#define PUMP_PLACEHOLDER

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

BOOLEAN PumpInitialize(Pump* ThisPump)
{
    RSS_TRACE("@@@@PumpInitialize, Pump#%d \n", (int)ThisPump->PumpNumber);
    ThisPump->ThisLink = NULL;
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

// Small accessors call control uses (declared in its RSS_CallCtl_ext.h).
void PumpSetPendingEvent(Pump* ThisPump, ULONG Event)
{
    if (ThisPump != NULL) ThisPump->PumpEvent = Event;
}

void PumpSetBChannelTimeslot(Pump* ThisPump, ULONG Timeslot)
{
    if (ThisPump != NULL) ThisPump->TimeSlot = Timeslot;
}

BOOLEAN PumpIsFaxConnection(Pump* ThisPump) { return ThisPump != NULL && ThisPump->PumpFaxConnection != 0; }

// ---- pump state machine (placeholders: every state sends nothing) ----

PUMP_PLACEHOLDER BOOLEAN Pump_NeedResetState(Pump*, PUCHAR*, ULONG* Length) { *Length = 0; return FALSE; }
PUMP_PLACEHOLDER BOOLEAN Pump_SleepState(Pump*, PUCHAR*, ULONG* Length) { *Length = 0; return FALSE; }
PUMP_PLACEHOLDER BOOLEAN Pump_InitState(Pump*, PUCHAR*, ULONG* Length) { *Length = 0; return FALSE; }
PUMP_PLACEHOLDER BOOLEAN Pump_IdleState(Pump*, PUCHAR*, ULONG* Length) { *Length = 0; return FALSE; }
PUMP_PLACEHOLDER BOOLEAN Pump_DialAnswerState(Pump*, PUCHAR*, ULONG* Length) { *Length = 0; return FALSE; }
PUMP_PLACEHOLDER BOOLEAN Pump_OnLineState(Pump*, PUCHAR*, ULONG* Length) { *Length = 0; return FALSE; }
PUMP_PLACEHOLDER BOOLEAN Pump_HangupState(Pump*, PUCHAR*, ULONG* Length) { *Length = 0; return FALSE; }
PUMP_PLACEHOLDER BOOLEAN Pump_GetStatisticsState(Pump*, PUCHAR*, ULONG* Length) { *Length = 0; return FALSE; }

// The indication itself (the pump's Link when it has one, else the adapter's first).
PUMP_PLACEHOLDER void PumpIndicateStatus(Pump* ThisPump, ULONG Code, ULONG ValueA, ULONG ValueB)
{
    if (ThisPump == NULL || ThisPump->ThisCsm == NULL) return;
    DimmIndicateOnLink(ThisPump->ThisCsm->ThisAdapter, ThisPump->ThisLink, Code, ValueA, ValueB);
}

// ---- serial-port side (placeholders: no port exists yet) ----

PUMP_PLACEHOLDER SER_RX_RING* ser_ReceiveRing(PVOID) { return NULL; }
PUMP_PLACEHOLDER ULONG ser_HandleModemUpdate(PVOID) { return 0; }
PUMP_PLACEHOLDER void ser_DropCts(PVOID) {}
PUMP_PLACEHOLDER void ser_RaiseCts(PVOID) {}
PUMP_PLACEHOLDER void WriteIrpWorker(PVOID) {}
PUMP_PLACEHOLDER void NTWRK_RxBackGround(Link*) {}
PUMP_PLACEHOLDER void NTWRK_TxBackGround(Link*) {}
PUMP_PLACEHOLDER BOOLEAN NTWRK_TxBlocked(Link*) { return TRUE; }
