// Call control: the callbacks the signalling stacks reach through RSS_INTERFACE_TABLE,
// the routing of offered calls to a Link's owner, the connect chain that opens a Link's
// data path, placing, answering and clearing calls, the modem pump callbacks, the Link
// loop-back test, the small services for the D channel and the line LED, and the
// simulated incoming call and disconnection of the management request service. Runs
// under AdapterSpinLock, held by every caller.
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
void GoToConnectedStateRxStopped(PVOID Context);  // receive deactivated: rebuild, activate
void GoToConnectedState2(PVOID Context);
void GoToConnectedState3(PVOID Context);
BOOLEAN ConnectedSackCallback(PVOID Context);
void IndicateCallConnected2Owner(Link* ThisLink);

// ---- call control ----

// Bearer codes of an offered call (IncomingCallIndHdlr argument 3); TransferCaps of a
// placed call is 0, 1 or 2 of these.
#define INFO_TRANSFER_CAPS_UNRESTRICTED_64K 1
#define INFO_TRANSFER_CAPS_RESTRICTED_56K 2
#define INFO_TRANSFER_CAPS_3_1KHZ_AUDIO 3
#define INFO_TRANSFER_CAPS_UNRESTRICTED_64K_TONES 4
#define INFO_TRANSFER_CAPS_VIDEO 5
#define NUM_BEARER_CODES 6

// ChannelProtocol of a Link.
#define CHANNEL_PROTOCOL_V42 0
#define CHANNEL_PROTOCOL_RTP 1
#define CHANNEL_PROTOCOL_V120 2
#define CHANNEL_PROTOCOL_V110 3

// RSS_Disconnect mask bits, applied in this order.
#define TERMINATE_TRANSFER 0x1000  // stop the data path, hand back unsent frames
#define TERMINATE_CALL 0x2000      // clear the call at the stack, release the pump
#define LINK_DOWN 0x4000           // NDIS line-down
#define LINK_RELEASE 0x8000        // give the Link back to nobody

// DisconnectCause of a Link.
#define DISCONNECT_CAUSE_NONE 0
#define DISCONNECT_CAUSE_TAPI_DROP 1
#define DISCONNECT_CAUSE_NETWORK 2
#define DISCONNECT_CAUSE_PUMP_FAILURE 3

// Time-slot kinds of Bt847xAssignTimeslot.
#define TIMESLOT_KIND_PUMP 0      // the pump's three slots
#define TIMESLOT_KIND_B_TO_PUMP 1  // the B channel's slot, given to the pump
#define TIMESLOT_KIND_B_CHANNEL 2  // the B channel's slot, to the Link's HDLC channel

#define CALL_NUMBER_MAX_DIGITS 39

// Incoming calls and call routing.
void IncomingCallIndHdlr(Adapter* ThisAdapter, Link* ThisLink, ULONG BearerCode);
BOOLEAN DecodeIncomingCall(Adapter* ThisAdapter, Link* ThisLink, ULONG BearerCode);
BOOLEAN CheckChannelProtocol(Link* ThisLink);
// TRUE when the Link's call goes through a modem pump (speech, or the line sends every
// call through the modem processors).
BOOLEAN RSS_CallViaPump(Link* ThisLink);
// Reads a number of the Link's call from its stack (the length identifier, then the
// digits identifier, whose answer is the digits' byte offset inside the call object)
// into Field: a length byte, then at most 39 digits (the last ones of a longer number).
// FALSE, with an empty number, when the stack's answer does not lie inside its instance
// or holds anything but dialling characters.
BOOLEAN RSS_ReadCallNumber(Link* ThisLink, ULONG LengthId, ULONG DigitsId, CHAR* Field);

// Connect chain and owner indications.
void ConnectHdlr(Link* ThisLink);
void IndicateCallRinging2Owner(Link* ThisLink);
void IndicateCallDisConnected2Owner(Link* ThisLink);

// Outgoing calls, answer and call modifiers.
BOOLEAN RSS_MakeCall(Link* ThisLink);
BOOLEAN RSS_AnswerCall(Link* ThisLink);
ULONG DecodeCallModifiers(Link* ThisLink, const UCHAR* DialString, ULONG Length);

// Call clearing.
void DisconnectHdlr(Link* ThisLink);
BOOLEAN DisconnectLinkChannel(Link* ThisLink);
void RSS_Disconnect(Link* ThisLink, ULONG Mask);
void DisableLinkTimeslot(Link* ThisLink);
void OutOfService(Adapter* ThisAdapter, ULONG Line, ULONG Channel);

// Modem pump callbacks (the pump state machine).
void PUMP_ReadyHdlr(Link* ThisLink);
void PumpNotReadyHdlr(Link* ThisLink);
void PumpReconnectHdlr(Link* ThisLink);
void PumpDisconnectHdlr(Link* ThisLink);

// Link loop-back test.
#define LOOPBACK_PATTERN_MAX 2000
void InitLoopBackMessage(Link* ThisLink, ULONG Mode, UCHAR Value, ULONG Length);
void GoToLoopBackState(Link* ThisLink, UCHAR Verify);
void GoToLoopBackState2(PVOID Context);
void GoToLoopBackState3(PVOID Context);
void GoToLoopBackState4(PVOID Context);
void GoToLoopBackState5(PVOID Context);
