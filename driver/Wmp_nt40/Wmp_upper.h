// Entry points of the driver's upper edges (TAPI provider, WAN OIDs, serial ports)
// that the core calls.
#pragma once

#include "driver/Common/RSS_types.h"

void TapiResetHandler(Adapter* ThisAdapter);
NDIS_STATUS TAPIQueryInformationHdlr(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                     ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS TAPISetInformationHdlr(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                   ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded);
NDIS_STATUS WanQueryInformation(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS WanSetInformation(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                              ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded);
NTSTATUS ser_WriteSerialCommValues(Adapter* ThisAdapter);
NTSTATUS ser_CreatePortDevices(PDRIVER_OBJECT DriverObject, Adapter* ThisAdapter);
