// Modem sockets (DimmSocket): the layout from the module-type table, the socket timer
// that drives every processor through download, service and reset with its watchdog,
// the choice of a free pump for a call, the processor's status indication, and the
// read accessors of the management request service.
//
// Guarded by AdapterSpinLock: the socket timer runs in the adapter timer pool, the
// other callers hold the lock. The two driver-wide values (random seed, last pump
// chosen) are shared by all adapters and changed only under one adapter's lock.
#pragma once

#include "driver/Common/MDM_CSM.h"
#include "driver/Common/RSS_types.h"

typedef struct _DimmSocket {
    Adapter* ThisAdapter;
    ULONG ModuleID;
    ULONG Present;
    ULONG Group;
    ULONG SocketIndex;      // also the socket timer's key2
    PUCHAR Window;
    ULONG ProcessorStride;  // bytes
    ULONG ProcessorCount;
    Csm Csms[MAX_CSMS_PER_SOCKET];
    ULONG TimerPeriod;      // ms
} DimmSocket;

#define DIMM_MAX_RESET_ATTEMPTS 6
#define DIMM_ACK_WATCHDOG_POLLS 500
#define DIMM_STABLE_RUN_MS 60000  // running this long clears the processor's reset count
#define DIMM_MAX_CANDIDATES 240
#define DIMM_BAD_INDEX 0xFFFFFFFF
#define DIMM_INFO_WORDS 20

BOOLEAN InitDimm(DimmSocket* Socket, Adapter* ThisAdapter, ULONG SocketIndex, ULONG Group, PUCHAR Window,
                 ULONG TimeslotBase);
ULONG GetModuleType(Adapter* ThisAdapter, ULONG SocketIndex);
BOOLEAN DimmStartTimer(DimmSocket* Socket);
BOOLEAN DimmTimerHdlr(PVOID Context);
void DimmPollCsm(Csm* ThisCsm, UCHAR CountFlag);
BOOLEAN DimmRequestCsmReset(DimmSocket* Socket, ULONG Processor);
BOOLEAN FindFreePump(Adapter* ThisAdapter, Link* ThisLink, ULONG Line);
ULONG DimmRandom(void);
void DimmResetGlobals(void);  // the driver-wide values as at load (a fresh platform)
void DimmIndicateStatus(Csm* ThisCsm, ULONG Code, ULONG ValueA, ULONG ValueB);
// The device-specific TAPI indication on ThisLink (NULL: the adapter's first link),
// raised only when that link is owned by the TAPI provider.
void DimmIndicateOnLink(Adapter* ThisAdapter, Link* ThisLink, ULONG Code, ULONG ValueA, ULONG ValueB);

// Management accessors.
LONG GetPumpInfo(DimmSocket* Socket, ULONG Processor, ULONG PumpIndex, PULONG Info);
ULONG GetPumpCount(DimmSocket* Socket, ULONG Processor);
ULONG GetPumpState(DimmSocket* Socket, ULONG Processor, ULONG PumpIndex);
Link* GetPumpLink(DimmSocket* Socket, ULONG Processor, ULONG PumpIndex, PULONG Owner, PULONG ComNumber);
LONG GetCsmInfo(DimmSocket* Socket, ULONG Processor, PULONG Info);
ULONG GetCsmState(DimmSocket* Socket, ULONG Processor);
