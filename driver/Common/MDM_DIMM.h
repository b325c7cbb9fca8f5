// Modem sockets, their modem processors and pumps.
#pragma once

#include "driver/Common/RSS_types.h"

typedef struct _Pump {
    Csm* ThisCsm;
    Link* ThisLink;
    ULONG Index;
    ULONG State;
} Pump;

typedef struct _Csm {
    DimmSocket* ThisSocket;
    Adapter* ThisAdapter;
    ULONG Group;
    PUCHAR Window;
    ULONG TimeslotBase;
    ULONG PumpCount;
    ULONG Index;
    ULONG Variant;
    ULONG SecondWindowOffset;
    ULONG State;
    Pump Pumps[MAX_PUMPS_PER_CSM];
} Csm;

typedef struct _DimmSocket {
    Adapter* ThisAdapter;
    ULONG ModuleType;
    ULONG Present;
    ULONG ProcessorStride;  // bytes
    ULONG ProcessorCount;
    ULONG Group;
    ULONG SocketIndex;      // also the socket timer's key2
    PUCHAR Window;
    ULONG TimerPeriod;
    Csm Csms[MAX_CSMS_PER_SOCKET];
} DimmSocket;

BOOLEAN InitDimm(DimmSocket* Socket, Adapter* ThisAdapter, ULONG SocketIndex, ULONG Group, PUCHAR Window,
                 ULONG TimeslotBase);
ULONG GetModuleType(Adapter* ThisAdapter, ULONG SocketIndex);
BOOLEAN DimmStartTimer(DimmSocket* Socket);
BOOLEAN DimmTimerHdlr(PVOID Context);
void DimmRequestCsmReset(DimmSocket* Socket, ULONG Processor);
void BuildCsmGraph(Csm* ThisCsm, DimmSocket* Socket, Adapter* ThisAdapter, ULONG Group, PUCHAR Window,
                   ULONG TimeslotBase, ULONG PumpCount, ULONG Index, ULONG Variant, ULONG SecondWindowOffset);
