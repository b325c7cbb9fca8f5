// Upper edges of the driver: the TAPI provider is in Wmp_tspi, the WAN OIDs in Wmp_wspi,
// the serial ports in ser_init, ser_shel and ser_io.
#include "driver/Wmp_nt40/Wmp_upper.h"
