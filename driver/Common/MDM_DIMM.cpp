// Modem sockets: layout, the socket timer with its watchdog, the free-pump choice, the
// processor's status indication and the management accessors. Runs under
// AdapterSpinLock (socket timer in the adapter pool; every other caller holds it).
#include "driver/Common/MDM_DIMM.h"

#include <cstring>

#include "driver/Common/RSS_init.h"
#include "driver/Wmp_nt40/ser_init.h"

// Driver-wide values of the modem side.
static ULONG DimmSeed = 1;
static LONG LastSocket = -1, LastCsm = -1, LastPump = -1;

void DimmResetGlobals(void)
{
    DimmSeed = 1;
    LastSocket = LastCsm = LastPump = -1;
}

ULONG GetModuleType(Adapter* ThisAdapter, ULONG SocketIndex)
{
    return SocketIndex < MAX_SOCKETS ? ThisAdapter->ModuleID[SocketIndex] : 0;
}

BOOLEAN InitDimm(DimmSocket* Socket, Adapter* ThisAdapter, ULONG SocketIndex, ULONG Group, PUCHAR Window,
                 ULONG TimeslotBase)
{
    ULONG type = GetModuleType(ThisAdapter, SocketIndex);
    if (type >= NUM_MODULE_TYPES) type = 0;
    const MODULE_TYPE* row = &ModuleTypeTable[type];
    Socket->ThisAdapter = ThisAdapter;
    Socket->ModuleID = type;
    Socket->Present = row->Present;
    Socket->Group = Group;
    Socket->SocketIndex = SocketIndex;
    Socket->Window = Window;
    Socket->ProcessorStride = 4 * row->Stride;
    Socket->ProcessorCount = row->Processors > MAX_CSMS_PER_SOCKET ? MAX_CSMS_PER_SOCKET : row->Processors;
    Socket->TimerPeriod = row->TimerPeriod;
    for (ULONG c = 0; c < Socket->ProcessorCount; c++)
        BuildCsmGraph(&Socket->Csms[c], Socket, ThisAdapter, Group, Window + c * Socket->ProcessorStride, TimeslotBase,
                      row->Pumps, c, row->Variant, 4 * row->SecondWindow);
    return TRUE;
}

BOOLEAN DimmStartTimer(DimmSocket* Socket)
{
    if (Socket->Present != 1) return FALSE;
    Adapter* a = Socket->ThisAdapter;
    TmrClear(&a->AdapterTimerPool, (ULONG_PTR)Socket, Socket->SocketIndex);  // a second bring-up keeps one timer
    return TmrStart(&a->AdapterTimerPool, (ULONG_PTR)Socket, Socket->SocketIndex, Socket->TimerPeriod, DimmTimerHdlr,
                    Socket);
}

BOOLEAN DimmTimerHdlr(PVOID Context)
{
    DimmSocket* Socket = (DimmSocket*)Context;
    for (ULONG c = 0; c < Socket->ProcessorCount; c++) {
        Csm* ThisCsm = &Socket->Csms[c];
        ULONG p;
        switch (ThisCsm->State) {
        case CSM_DOWNLOAD:
            for (p = 0; p < ThisCsm->PumpCount; p++) PumpInitialize(&ThisCsm->Pumps[p]);
            StartCodeDownLoad(ThisCsm);
            break;
        case CSM_CODE_LOADED:
            ThisCsm->State = CSM_RUNNING;
            ThisCsm->PollsWithoutAck = 0;
            ThisCsm->RunningPolls = 0;
            ThisCsm->DownloadOnly = 0;
            CSMInitFIFO(ThisCsm);
            break;
        case CSM_RUNNING:
            if (ThisCsm->ResetAttempts != 0 &&
                ++ThisCsm->RunningPolls >= DIMM_STABLE_RUN_MS / (Socket->TimerPeriod ? Socket->TimerPeriod : 1))
                ThisCsm->ResetAttempts = 0;
            DimmPollCsm(ThisCsm, 1);
            break;
        case CSM_NEED_RESET:
            for (p = 0; p < ThisCsm->PumpCount; p++) {
                ThisCsm->Pumps[p].PumpState = PUMP_OUT_OF_SERVICE;
                PumpDropCall(&ThisCsm->Pumps[p]);
            }
            if (ThisCsm->ResetAttempts < DIMM_MAX_RESET_ATTEMPTS) {
                ThisCsm->ResetAttempts++;
                StartCsmReset(ThisCsm);
                ThisCsm->State = CSM_RESETTING;
            } else {
                RSS_LOG("@@@@CSM left dead after %d resets { G:%d, D:%d, C:%d }\n", (int)ThisCsm->ResetAttempts,
                        (int)ThisCsm->Group, (int)Socket->SocketIndex, (int)c);
                ThisCsm->State = CSM_DEAD;
            }
            break;
        default:  // downloading, resetting, dead: the boot steps run on their own timers
            break;
        }
    }
    TmrRestart(&Socket->ThisAdapter->AdapterTimerPool, (ULONG_PTR)Socket, Socket->SocketIndex, Socket->TimerPeriod);
    return FALSE;
}

static BOOLEAN PumpNetworkOwned(Pump* ThisPump)
{
    Link* l = ThisPump->ThisLink;
    return l != NULL && (l->CurrentOwner == OWNER_VOVIZ4EZ || l->CurrentOwner == OWNER_VOVIZ4EZ_ALT);
}

void DimmPollCsm(Csm* ThisCsm, UCHAR CountFlag)
{
    csm_InboundMsgHdlr(ThisCsm);
    if (ThisCsm->State != CSM_RUNNING) return;  // the message asked for a reset
    if (CsmLatchStatus(ThisCsm) & CSM_CS_OUTBOUND_TAKEN) {
        ThisCsm->PollsWithoutAck = 0;
        if (ThisCsm->PumpCount == 0) return;
        ULONG p = DimmRandom() % ThisCsm->PumpCount, stalled = 0;
        for (ULONG i = 0; i < ThisCsm->PumpCount; i++) {
            if (CsmLatchStatus(ThisCsm) & CSM_CS_OUTBOUND_TAKEN) {
                Pump* pump = &ThisCsm->Pumps[p];
                BOOLEAN stepped = PumpNetworkOwned(pump) ? csm_NtwrkModeHdlr(ThisCsm, p, CountFlag)
                                                         : PumpStateMachine(ThisCsm, p, CountFlag);
                if (!stepped) stalled++;
            }
            p = p + 1 == ThisCsm->PumpCount ? 0 : p + 1;
        }
        if (stalled == ThisCsm->PumpCount) {
            ThisCsm->State = CSM_NEED_RESET;
            ThisCsm->ResetAttempts = 0;
        }
        return;
    }
    if (!CountFlag) return;
    if (++ThisCsm->PollsWithoutAck == DIMM_ACK_WATCHDOG_POLLS) {
        ULONG socket = ThisCsm->ThisSocket ? ThisCsm->ThisSocket->SocketIndex : 0;
        RSS_LOG("@@@@Error:CSM doesn't ack the last Outbound message since 5s { G:%d, D:%d, C:%d }\n",
                (int)ThisCsm->Group, (int)socket, (int)ThisCsm->Index);
        DimmIndicateStatus(ThisCsm, DEVSPECIFIC_CSM_TIMEOUT, ThisCsm->Index, ThisCsm->Group);
        ThisCsm->State = CSM_NEED_RESET;
    }
}

// A reset of the adapter restarts the processor afresh: its count of resets is for its
// own failures, which would otherwise add up over the adapter's resets until it is left dead.
BOOLEAN DimmRequestCsmReset(DimmSocket* Socket, ULONG Processor)
{
    if (Processor >= Socket->ProcessorCount) return FALSE;
    Socket->Csms[Processor].State = CSM_NEED_RESET;
    Socket->Csms[Processor].ResetAttempts = 0;
    return TRUE;
}

ULONG DimmRandom(void)
{
    DimmSeed = DimmSeed * 1103515245u + 12345u;
    return (DimmSeed >> 16) & 0x7FFF;
}

// ---- free pump ----

typedef struct _DIMM_CANDIDATE {
    LONG SocketIndex, ProcessorIndex, PumpNumber;
    Pump* ThisPump;
} DIMM_CANDIDATE;

static LONG DimmPumpKey(LONG Socket, LONG Processor, LONG PumpNumber) { return Socket * 100 + Processor * 10 + PumpNumber; }

BOOLEAN FindFreePump(Adapter* ThisAdapter, Link* ThisLink, ULONG Line)
{
    DIMM_CANDIDATE list[DIMM_MAX_CANDIDATES];
    ULONG n = 0, chosen = 0;
    // A pump's three data slots lie between two channels' slots of the 8.192 bus; on a
    // port that runs one slot per channel they would be other calls' line channels.
    if (!Bt847xFourSlotsPerChannel(ThisAdapter, Line)) {
        RSS_TRACE("FindFreePump: line %lu runs no modem slots\n", (unsigned long)Line);
        ThisLink->ThisPump = NULL;
        return FALSE;
    }
    for (ULONG s = 0; s < ThisAdapter->SocketCount && s < MAX_SOCKETS; s++) {
        DimmSocket* socket = &ThisAdapter->Socket[s];
        if (socket->Present != 1 || socket->Group != Line) continue;
        for (ULONG c = 0; c < socket->ProcessorCount; c++) {
            Csm* csm = &socket->Csms[c];
            if (csm->State != CSM_RUNNING) continue;
            for (ULONG p = 0; p < csm->PumpCount && n < DIMM_MAX_CANDIDATES; p++) {
                Pump* pump = &csm->Pumps[p];
                if (pump->PumpState != PUMP_SLEEP || pump->ThisLink != NULL) continue;
                RSS_TRACE("added modem at socket = %d, csm = %d, = %d\n", (int)s, (int)c, (int)p);
                list[n++] = {(LONG)s, (LONG)c, (LONG)p, pump};
            }
        }
    }
    if (n == 0) {
        ThisLink->ThisPump = NULL;
        return FALSE;
    }
    if (Line < MAX_LINES && ThisAdapter->ModemRouting[Line] == 0) {
        LONG last = DimmPumpKey(LastSocket, LastCsm, LastPump);
        for (ULONG i = 0; i < n; i++)
            if (DimmPumpKey(list[i].SocketIndex, list[i].ProcessorIndex, list[i].PumpNumber) > last) {
                chosen = i;
                break;
            }
        LastSocket = list[chosen].SocketIndex;
        LastCsm = list[chosen].ProcessorIndex;
        LastPump = list[chosen].PumpNumber;
    }
    ThisLink->ThisPump = list[chosen].ThisPump;
    return TRUE;
}

// ---- status indication ----

typedef struct _DIMM_TAPI_EVENT {  // the NDIS TAPI event record
    ULONG htLine;
    ULONG htCall;
    ULONG ulMsg;
    ULONG ulParam1;
    ULONG ulParam2;
    ULONG ulParam3;
} DIMM_TAPI_EVENT;
static_assert(sizeof(DIMM_TAPI_EVENT) == 24);
#define LINE_DEVSPECIFIC 4

void DimmIndicateOnLink(Adapter* ThisAdapter, Link* ThisLink, ULONG Code, ULONG ValueA, ULONG ValueB)
{
    if (ThisLink == NULL) ThisLink = &ThisAdapter->NdisWanInfo[0][0];
    if (ThisLink->CurrentOwner != OWNER_TELEPHONY_SUBSYSTEM) return;
    DIMM_TAPI_EVENT event = {ThisLink->OwnerContext, ThisLink->htCall, LINE_DEVSPECIFIC, Code, ValueA, ValueB};
    NdisMIndicateStatus(ThisAdapter->MiniportAdapterHandle, NDIS_STATUS_TAPI_INDICATION, &event, sizeof event);
}

void DimmIndicateStatus(Csm* ThisCsm, ULONG Code, ULONG ValueA, ULONG ValueB)
{
    DimmIndicateOnLink(ThisCsm->ThisAdapter, NULL, Code, ValueA, ValueB);
}

// ---- management accessors ----

static Csm* DimmCsm(DimmSocket* Socket, ULONG Processor)
{
    return Socket != NULL && Processor < Socket->ProcessorCount ? &Socket->Csms[Processor] : NULL;
}

static Pump* DimmPump(DimmSocket* Socket, ULONG Processor, ULONG PumpIndex)
{
    Csm* c = DimmCsm(Socket, Processor);
    return c != NULL && PumpIndex < c->PumpCount ? &c->Pumps[PumpIndex] : NULL;
}

LONG GetPumpInfo(DimmSocket* Socket, ULONG Processor, ULONG PumpIndex, PULONG Info)
{
    Pump* p = DimmPump(Socket, Processor, PumpIndex);
    if (p == NULL || Info == NULL) return -1;
    ULONG head[9] = {p->PumpNumber, p->PumpState, p->ResetAttempts, p->GoodCalls, p->FailedCalls,
                     p->TimeSlot,   p->PumpDataTS, p->GoodCalls,    p->FailedCalls};
    std::memcpy(Info, head, sizeof head);
    std::memcpy(Info + 9, &p->PumpCallStats, sizeof p->PumpCallStats);
    return 0;
}

ULONG GetPumpCount(DimmSocket* Socket, ULONG Processor)
{
    Csm* c = DimmCsm(Socket, Processor);
    return c == NULL ? DIMM_BAD_INDEX : c->PumpCount;
}

ULONG GetPumpState(DimmSocket* Socket, ULONG Processor, ULONG PumpIndex)
{
    Pump* p = DimmPump(Socket, Processor, PumpIndex);
    return p == NULL ? DIMM_BAD_INDEX : p->PumpState;
}

Link* GetPumpLink(DimmSocket* Socket, ULONG Processor, ULONG PumpIndex, PULONG Owner, PULONG ComNumber)
{
    if (Owner != NULL) *Owner = 0;
    if (ComNumber != NULL) *ComNumber = 0;
    Pump* p = DimmPump(Socket, Processor, PumpIndex);
    if (p == NULL || Owner == NULL || ComNumber == NULL || p->ThisLink == NULL) return NULL;
    *Owner = p->ThisLink->CurrentOwner;
    AsyncPort* port = ser_PortOf(p->ThisLink->ThisAsyncPort);  // the port's device object
    if (port != NULL) *ComNumber = port->ComNumber;
    return p->ThisLink;
}

LONG GetCsmInfo(DimmSocket* Socket, ULONG Processor, PULONG Info)
{
    Csm* c = DimmCsm(Socket, Processor);
    if (c == NULL || Info == NULL) return -1;
    ULONG head[9] = {c->Group,     c->Index, (ULONG)(ULONG_PTR)c->Registers, c->PumpCount, c->State, 0,
                     c->ResetAttempts, c->GoodCalls, c->FailedCalls};
    std::memcpy(Info, head, sizeof head);
    std::memcpy(Info + 9, &c->CallStats, sizeof c->CallStats);
    return 0;
}

ULONG GetCsmState(DimmSocket* Socket, ULONG Processor)
{
    Csm* c = DimmCsm(Socket, Processor);
    return c == NULL ? DIMM_BAD_INDEX : c->State;
}
