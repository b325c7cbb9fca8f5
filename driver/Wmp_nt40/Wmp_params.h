// Reading of the adapter's registry parameters at initialisation.
//
// Runs once, at passive level, on an Adapter record that nothing else sees yet; it
// takes no lock. The caller opens and closes the configuration.
#pragma once

#include "driver/Common/RSS_init.h"

// Error-log sub-codes of the parameter reading.
#define WMP_SUBCODE_NO_DEVICE_NAME 4
#define WMP_SUBCODE_NO_ADDRESS_LIST 5
#define WMP_SUBCODE_KEY_TEXT 35

// Reads every parameter in order into the zero-filled record, applying defaults and
// ranges. FALSE (after an error-log entry) when DeviceName is missing or empty, or
// when the text of a key name cannot be allocated.
BOOLEAN WmpReadParameters(Adapter* ThisAdapter, NDIS_HANDLE ConfigurationHandle, NDIS_HANDLE MiniportAdapterHandle);

// Low byte of each UTF-16 unit, then a terminating zero. NDIS_STATUS_FAILURE, with
// nothing copied, when the characters and the zero do not fit DestinationSize.
NDIS_STATUS CopyUnicodeToAnsi(PUCHAR Destination, PNDIS_STRING Source, ULONG DestinationSize);
