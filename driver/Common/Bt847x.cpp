// Multichannel HDLC controller. Placeholder until the controller driver lands: the
// bring-up chain stops at the controller's initialisation.
#include "driver/Common/Bt847x.h"

#include "driver/Common/RSS_init.h"

void Bt847xInitGlobalCfgReg(Bt847xDevice*) {}
void Bt847xInitialize(Bt847xDevice*) {}
void Bt847xStop(Bt847xDevice*) {}
BOOLEAN Bt847xIsrHdlr(Bt847xDevice*) { return FALSE; }
void Bt847xHandleInterruptHdlr(Bt847xDevice*) {}
