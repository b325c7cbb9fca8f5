// The NDIS TAPI provider: every Link in use is one TAPI line with one address and at
// most one call. Everything here runs with AdapterSpinLock held (the miniport's query
// and set handlers, or call control on the adapter timer), except TapiCallTimerHandler,
// which takes it itself.
#pragma once

#include "driver/Common/RSS_types.h"
#include "platform/ndis/ndistapi.h"

#define CALL_TIMEOUT 70000  // ms

// The two dispatchers of OID_TAPI_* requests.
NDIS_STATUS TAPIQueryInformationHdlr(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                     ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS TAPISetInformationHdlr(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                   ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded);

// A device state of the Link's line (ringing, connected, disconnected, open, close).
void TapiLineDevStateHandler(Adapter* ThisAdapter, Link* ThisLink, ULONG DeviceState);
// The Link's call enters CallState; indicated as LINE_CALLSTATE when it changes.
void TapiCallStateHandler(Adapter* ThisAdapter, Link* ThisLink, ULONG CallState, ULONG CallStateMode);
// Every in-use line reported disconnected (adapter reset, before the Links are cleared).
void TapiResetHandler(Adapter* ThisAdapter);
// The CallTimer callback; FunctionContext is the Link.
void TapiCallTimerHandler(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2, PVOID SystemSpecific3);
// Arms the Link's call timer for CALL_TIMEOUT.
void TapiArmCallTimer(Link* ThisLink);
// Disarms the Link's call timer; a callback already due runs and does nothing.
void TapiCancelCallTimer(Link* ThisLink);
// Cancels every Link's call timer and waits out those already due; for halt, before
// the adapter record is freed.
void TapiHaltHandler(Adapter* ThisAdapter);

// The line name of a device ID: DeviceName, " Channel:" and the ID in decimal, at most
// TAPI_LINE_NAME_MAX characters (DeviceName is shortened, the channel part kept).
#define TAPI_LINE_NAME_MAX 39
ULONG TapiLineName(Adapter* ThisAdapter, ULONG DeviceId, CHAR* Name);
