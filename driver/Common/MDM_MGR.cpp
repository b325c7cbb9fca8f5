// The modem manager: reserves pumps for calls on the modem path, binds pump and Link,
// and posts the pump events of a call's progress (connect, clearing). Everything lives
// in the Link and the Pump; callers hold AdapterSpinLock.
#include "driver/Common/MDM_MGR.h"

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/MDM_DIMM.h"
#include "driver/Common/MDM_PUMP.h"
#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/Wmp_link.h"

// Reserves a free pump of the Link's line: FALSE (and the Link without a pump) when none.
static BOOLEAN MDM_Mgr_ReservePump(Link* ThisLink, const char* NoPumpTrace)
{
    ThisLink->PumpAllocateAttempts = 0;
    if (!FindFreePump(ThisLink->ThisAdapter, ThisLink, ThisLink->GroupID) || ThisLink->ThisPump == NULL) {
        ThisLink->ThisPump = NULL;
        RSS_LOG("%s", NoPumpTrace);
        return FALSE;
    }
    Pump* p = ThisLink->ThisPump;
    p->PumpEvent = Host_Ev_Init;
    p->OutgoingCall = ThisLink->OutgoingCall;
    p->ThisLink = ThisLink;
    p->ChannelProtocol = ThisLink->ChannelProtocol;
    return TRUE;
}

BOOLEAN MDM_Mgr_IncomingCallHdlr(Link* ThisLink, ULONG Timeslot)
{
    if (ThisLink == NULL) return FALSE;
    if (!MDM_Mgr_ReservePump(ThisLink, "\tNo pump available\n")) return FALSE;
    Pump* p = ThisLink->ThisPump;
    p->TimeSlot = Timeslot;
    p->CallNumber = ThisLink->LinkCallStats.IncomingInd;
    if (ThisLink->ThisAdapter->StatusEventIndication == 1) PumpIndicateStatus(p, DEVSPECIFIC_INCOMING_CALL, 1, 0);
    return TRUE;
}

BOOLEAN MDM_Mgr_MakeCallHdlr(Link* ThisLink)
{
    if (ThisLink == NULL) return FALSE;
    return MDM_Mgr_ReservePump(ThisLink, "No pump available\n");
}

BOOLEAN MDM_Mgr_ConnectHdlr(Link* ThisLink, ULONG Timeslot)
{
    if (ThisLink == NULL || ThisLink->ThisPump == NULL) {
        RSS_LOG("MDM_Mgr_ConnectHdlr:ThisLink->ThisPump = NULL\n");
        return FALSE;
    }
    Pump* p = ThisLink->ThisPump;
    if (p->PumpState != PUMP_IDLE) {
        RSS_LOG("Pump in wrong state: %d\n", (int)p->PumpState);
        return FALSE;
    }
    p->TimeSlot = Timeslot;
    p->PumpEvent = p->OutgoingCall == 0 ? Host_Ev_Answer : Host_Ev_Dial;
    return TRUE;
}

BOOLEAN MDM_Mgr_DisconnectHdlr(Link* ThisLink)
{
    if (ThisLink == NULL || ThisLink->ThisPump == NULL) {
        RSS_LOG("\tNULL\n");
        return FALSE;
    }
    Pump* p = ThisLink->ThisPump;
    if (ThisLink->ThisAdapter->StatusEventIndication == 1) PumpIndicateStatus(p, DEVSPECIFIC_CALL_CLEARED, 0, 0);
    switch (p->PumpState) {
    case PUMP_ON_LINE:
        RSS_LOG("\tPUMP_ON_LINE set Host_Ev_Disc\n");
        p->PumpEvent = Host_Ev_Disc;
        break;
    case PUMP_ANSWER:
    case PUMP_DIAL: p->PumpEvent = Host_Ev_Disc; break;
    case PUMP_IDLE:
    case PUMP_INIT: p->PumpEvent = Host_Ev_Sleep; break;
    case PUMP_SLEEP:
        // Reserved and not yet woken: it stays asleep, free for the next call.
        if (p->PumpEvent == Host_Ev_Init && p->ThisLink == ThisLink) {
            RSS_LOG("\tPUMP_SLEEP with Host_Ev_Init: unbound\n");
            p->PumpEvent = Pump_Ev_None;
            p->ThisLink = NULL;
            break;
        }
        RSS_LOG("\tDo Nothing\n");
        break;
    default: RSS_LOG("\tDo Nothing\n"); break;
    }
    ThisLink->ThisPump = NULL;
    return TRUE;
}
