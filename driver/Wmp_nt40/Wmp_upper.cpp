// Upper edges of the driver. Placeholders until the TAPI provider, the WAN OIDs and the
// serial ports land.
#include "driver/Wmp_nt40/Wmp_upper.h"

#include "driver/Common/RSS_init.h"

void TapiResetHandler(Adapter*) {}

void TapiCallTimerHandler(PVOID, PVOID, PVOID, PVOID) {}

NDIS_STATUS TAPIQueryInformationHdlr(Adapter*, NDIS_OID, PVOID, ULONG, PULONG BytesWritten, PULONG BytesNeeded)
{
    *BytesWritten = 0;
    *BytesNeeded = 0;
    return NDIS_STATUS_INVALID_OID;
}

NDIS_STATUS TAPISetInformationHdlr(Adapter*, NDIS_OID, PVOID, ULONG, PULONG BytesRead, PULONG BytesNeeded)
{
    *BytesRead = 0;
    *BytesNeeded = 0;
    return NDIS_STATUS_INVALID_OID;
}

NDIS_STATUS WanQueryInformation(Adapter*, NDIS_OID, PVOID, ULONG, PULONG BytesWritten, PULONG BytesNeeded)
{
    *BytesWritten = 0;
    *BytesNeeded = 0;
    return NDIS_STATUS_INVALID_OID;
}

NDIS_STATUS WanSetInformation(Adapter*, NDIS_OID, PVOID, ULONG, PULONG BytesRead, PULONG BytesNeeded)
{
    *BytesRead = 0;
    *BytesNeeded = 0;
    return NDIS_STATUS_INVALID_OID;
}

NTSTATUS ser_WriteSerialCommValues(Adapter*) { return STATUS_SUCCESS; }
NTSTATUS ser_CreatePortDevices(PDRIVER_OBJECT, Adapter*) { return STATUS_SUCCESS; }
