// The general and WAN OIDs of the miniport: what NDIS and NDISWAN ask of a WAN
// miniport, the WAN link settings, and the vendor OID that carries a management
// request. Runs with AdapterSpinLock held by the miniport's query and set handlers.
#pragma once

#include "driver/Common/RSS_types.h"
#include "platform/ndis/ndistapi.h"

#define OID_GEN_SUPPORTED_LIST 0x00010101
#define OID_GEN_HARDWARE_STATUS 0x00010102
#define OID_GEN_MEDIA_SUPPORTED 0x00010103
#define OID_GEN_MEDIA_IN_USE 0x00010104
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106
#define OID_GEN_LINK_SPEED 0x00010107
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010A
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010B
#define OID_GEN_VENDOR_ID 0x0001010C
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010D
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010F
#define OID_GEN_DRIVER_VERSION 0x00010110
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112
#define OID_GEN_MAC_OPTIONS 0x00010113
#define OID_WAN_PERMANENT_ADDRESS 0x04010101
#define OID_WAN_CURRENT_ADDRESS 0x04010102
#define OID_WAN_MEDIUM_SUBTYPE 0x04010105
#define OID_WAN_GET_INFO 0x04010107
#define OID_WAN_SET_LINK_INFO 0x04010108
#define OID_WAN_GET_LINK_INFO 0x04010109
#define OID_BACKDOOR_REQUEST 0xFF000000

#define WAN_SUPPORTED_OID_COUNT 59

NDIS_STATUS WanQueryInformation(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS WanSetInformation(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                              ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded);

// ---- the management request record, as far as the WAN OIDs and TAPI read it ----
// (the whole record is BACKDOOR_REQUEST_SIZE bytes: this header, then the data area)

typedef struct _BACKDOOR_SEGMENT {
    ULONG Length;
    ULONG Offset;
} BACKDOOR_SEGMENT;

typedef struct _BACKDOOR_REQUEST_HEADER {
    ULONG Signature;
    ULONG Class;
    ULONG Action;
    ULONG BufferLength;
    ULONG ReplyLength;
    ULONG Status;
    ULONG Arg[6];
    BACKDOOR_SEGMENT Segment[4];
    ULONG Reserved;
} BACKDOOR_REQUEST_HEADER;
static_assert(sizeof(BACKDOOR_REQUEST_HEADER) == 84);

#define BACKDOOR_SIGNATURE 0x524F4B00
#define BACKDOOR_REQUEST_SIZE 16468
#define BACKDOOR_CLASS_LINE_ADDRESS 7
#define BACKDOOR_CLASS_PUMP_DATA_IN 10
#define BACKDOOR_CLASS_PUMP_DATA_OUT 11
#define BACKDOOR_STATUS_DONE 0
#define BACKDOOR_STATUS_NO_OBJECT 0xF0000003

// Entry points of other subsystems that these modules call. Until the management
// request service and the pump state machine land, Wmp_wspi.cpp holds placeholders;
// delete each when its real definition is added.
//
// Serves the management request record at Request (Length bytes) in place; the
// outcome is in the record's Status.
void RSS_BackdoorRequest(Adapter* ThisAdapter, PVOID Request, ULONG Length);
// Posts the ACCM event to an on-line pump bound to a Link; nothing otherwise.
void PumpSetAccmEvent(Pump* ThisPump);
