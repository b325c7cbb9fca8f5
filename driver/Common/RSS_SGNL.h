// Call control: the callbacks the signalling stacks reach through RSS_INTERFACE_TABLE,
// the small services for the D channel and the line LED, and the simulated incoming
// call and disconnection of the management request service. Runs under AdapterSpinLock.
#pragma once

#include "driver/Common/RSS_types.h"

// Link timers of the adapter pool (key1 the Link) started by the management request
// service; each runs once, one adapter tick later.
#define LINK_TMR_BACKDOOR_INCOMING_CALL 3
#define LINK_TMR_BACKDOOR_DISCONNECT 4

// Does nothing; also the handler of mailbox codes that have none of their own.
void RSS_NullHandler(PVOID, PVOID);

BOOLEAN RSS_IsTxQueueFull(Link* ThisLink);
BOOLEAN SendLy2Frame(Link* ThisLink, PVOID Owner, PUCHAR Frame, UCHAR Length);
void RSS_SetLed(Adapter* ThisAdapter, ULONG Line, ULONG Mask, ULONG On);

// Pool-timer callbacks, context the Link; TRUE ends the timer.
BOOLEAN BackdoorIncomingCall(PVOID Context);
BOOLEAN BackdoorDisconnect(PVOID Context);

// Link timers of the connect chain (adapter pool, key1 the Link).
#define LINK_TMR_CONNECT 5          // open the data path at the next adapter tick
#define LINK_TMR_SACK_FALLBACK 0x32  // the first channel activation was not acknowledged
#define SACK_FALLBACK_MS 500
#define MAX_FORCED_SACKS 10

// The connect chain: rings built, receive direction on (then its background), transmit
// direction on (then its background), the owner told. Each step after the controller
// acknowledged the previous request.
void GoToConnectedState(Link* ThisLink);
BOOLEAN GoToConnectedStateTmr(PVOID Context);  // Link timer 5's form; TRUE
void GoToConnectedState2(PVOID Context);
void GoToConnectedState3(PVOID Context);
BOOLEAN ConnectedSackCallback(PVOID Context);
void IndicateCallConnected2Owner(Link* ThisLink);

// Call control's handlers (placeholders until call control lands).
void OutOfService(Adapter* ThisAdapter, ULONG Line, ULONG Channel);
void ConnectHdlr(Link* ThisLink);
void DisconnectHdlr(Link* ThisLink);
void IncomingCallIndHdlr(Adapter* ThisAdapter, Link* ThisLink, ULONG BearerCode);
