// Entry points of other subsystems that call control calls: the modem manager's
// (MDM_MGR.cpp), the pump accessors (defined with the pump record, MDM_PUMP_ext.cpp),
// and the TAPI provider and WAN links through their own headers. Everything here is
// called with AdapterSpinLock held.
#pragma once

#include "driver/Common/RSS_types.h"

// ---- TAPI provider and WAN links (TapiLineDevStateHandler, TapiCallStateHandler, the
// LINEDEVSTATE_* and LINECALLSTATE_* values; LinkLineDown) ----
#include "driver/Wmp_nt40/Wmp_link.h"
#include "driver/Wmp_nt40/Wmp_tspi.h"

// ---- modem manager (MDM_MGR.cpp) ----
// Reserves a free pump on a running modem processor of the Link's line for an offered
// call on time slot Timeslot; FALSE when none is free.
BOOLEAN MDM_Mgr_IncomingCallHdlr(Link* ThisLink, ULONG Timeslot);
// Hands the connected call on time slot Timeslot to the Link's pump; FALSE when the
// pump is not ready to handshake.
BOOLEAN MDM_Mgr_ConnectHdlr(Link* ThisLink, ULONG Timeslot);
// Gives the Link's pump back (statistics read, pump put to sleep); FALSE when the Link
// has no pump.
BOOLEAN MDM_Mgr_DisconnectHdlr(Link* ThisLink);
// Reserves a free pump for a call placed on the Link; FALSE when none is free.
BOOLEAN MDM_Mgr_MakeCallHdlr(Link* ThisLink);

// ---- pump record accessors (MDM_PUMP_ext.cpp) ----
#ifndef Host_Ev_Sleep
#define Host_Ev_Sleep 3
#endif
#ifndef Host_Ev_ChannelDisconnected
#define Host_Ev_ChannelDisconnected 20
#endif
#ifndef Host_Ev_IncomingCall
#define Host_Ev_IncomingCall 22
#endif
#ifndef Host_Ev_EnableTimeSlot
#define Host_Ev_EnableTimeSlot 23
#endif

// Makes Event the pump's pending event.
void PumpSetPendingEvent(Pump* ThisPump, ULONG Event);
// Stores the B channel's time slot the pump answers or dials on.
void PumpSetBChannelTimeslot(Pump* ThisPump, ULONG Timeslot);
// TRUE while the pump carries a fax connection.
BOOLEAN PumpIsFaxConnection(Pump* ThisPump);
