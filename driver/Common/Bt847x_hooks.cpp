// Placeholders for the entry points of the modem side that the HDLC controller code and
// the packet rings call, until the modem side lands and replaces them.
#include "driver/Common/Bt847x.h"
#include "driver/Common/RSS_PKTH.h"

// No pump has a data slot until the modem side lands.
ULONG PumpDataTimeslot(Link*) { return BT847X_NO_TIMESLOT; }

// No pump exists until the modem side lands: a call through a pump sends nothing.
BOOLEAN PumpInDataMode(Pump* ThisPump) { return ThisPump != NULL; }
