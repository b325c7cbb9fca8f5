// Placeholder bodies of the modem manager's entry points declared in RSS_CallCtl_ext.h,
// until the modem manager lands: delete each here when its real definition is added
// (the link then refuses two). They touch nothing (AdapterSpinLock held by the caller).
#include "driver/Common/RSS_CallCtl_ext.h"

#define CALLCTL_PLACEHOLDER

// Placeholders of the modem manager: no pump is ever free.
CALLCTL_PLACEHOLDER BOOLEAN MDM_Mgr_IncomingCallHdlr(Link*, ULONG) { return FALSE; }
CALLCTL_PLACEHOLDER BOOLEAN MDM_Mgr_ConnectHdlr(Link*, ULONG) { return FALSE; }
CALLCTL_PLACEHOLDER void MDM_Mgr_DisconnectHdlr(Link*) {}
CALLCTL_PLACEHOLDER BOOLEAN MDM_Mgr_MakeCallHdlr(Link*) { return FALSE; }
