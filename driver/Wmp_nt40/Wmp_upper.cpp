// Upper edges of the driver. Placeholders until the serial ports land (the TAPI
// provider is in Wmp_tspi, the WAN OIDs in Wmp_wspi).
#include "driver/Wmp_nt40/Wmp_upper.h"

#include "driver/Common/RSS_init.h"

NTSTATUS ser_WriteSerialCommValues(Adapter*) { return STATUS_SUCCESS; }
NTSTATUS ser_CreatePortDevices(PDRIVER_OBJECT, Adapter*) { return STATUS_SUCCESS; }
