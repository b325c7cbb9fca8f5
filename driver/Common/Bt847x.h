// The multichannel HDLC controller object and its entry points.
#pragma once

#include "driver/Common/RSS_types.h"

typedef struct _Bt847xDevice {
    Adapter* ThisAdapter;
    PUCHAR RegBase;               // register window 0
    PUCHAR GroupAreaVirtual;      // group descriptor areas
    ULONG GroupAreaPhysical;
    PULONG IntQueueVirtual;       // interrupt queue, 1024 entries
    ULONG IntQueuePhysical;
    ULONG IntQueueIndex;
    ULONG IsrProducerIndex;
} Bt847xDevice;

void Bt847xInitGlobalCfgReg(Bt847xDevice* ThisBt847x);
void Bt847xInitialize(Bt847xDevice* ThisBt847x);
void Bt847xStop(Bt847xDevice* ThisBt847x);
BOOLEAN Bt847xIsrHdlr(Bt847xDevice* ThisBt847x);
void Bt847xHandleInterruptHdlr(Bt847xDevice* ThisBt847x);
