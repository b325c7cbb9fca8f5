// T1/E1 framers. Placeholder until the framer driver lands: the line interface is
// reported done at once.
#include "driver/Common/Bt837x.h"

#include "driver/Common/RSS_init.h"

void Bt8370DefineOperationalMode(Bt8370* ThisBt8370, ULONG Line, ULONG) { ThisBt8370->Line = Line; }
void Bt8370Initialize(Bt8370* ThisBt8370, ULONG) { AdapterLineInterfaceInitDone(ThisBt8370->ThisAdapter); }
BOOLEAN Bt8370DevicesCheckValidity(Adapter*) { return TRUE; }
void Bt8370StartBackground(Bt8370*) {}
BOOLEAN Bt8370IsrHdlr(Bt8370*) { return FALSE; }
void Bt8370HandleInterruptHdlr(Bt8370*) {}
