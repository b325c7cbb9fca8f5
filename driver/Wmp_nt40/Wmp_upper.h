// Entry points of the driver's upper edges (TAPI provider, WAN OIDs, serial ports)
// that the core calls.
#pragma once

#include "driver/Common/RSS_types.h"

#include "driver/Wmp_nt40/Wmp_tspi.h"
#include "driver/Wmp_nt40/Wmp_wspi.h"

// NoNameBuffer (may be NULL) tells a name buffer that could not be allocated apart
// from an adapter without ports.
NTSTATUS ser_WriteSerialCommValues(Adapter* ThisAdapter, BOOLEAN* NoNameBuffer = NULL);
NTSTATUS ser_CreatePortDevices(PDRIVER_OBJECT DriverObject, Adapter* ThisAdapter);
void ser_ResetGlobals(void);  // for a fresh platform (tests, tools)
// Halt: the adapter's ports refuse requests, cancel what they hold and forget the adapter.
void ser_WithdrawPorts(PDRIVER_OBJECT DriverObject, Adapter* ThisAdapter);
