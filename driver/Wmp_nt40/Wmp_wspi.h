// The general and WAN OIDs of the miniport: what NDIS and NDISWAN ask of a WAN
// miniport, the WAN link settings, and the vendor OID that carries a management
// request. Runs with AdapterSpinLock held by the miniport's query and set handlers.
#pragma once

#include "driver/Common/RSS_types.h"
#include "driver/Wmp_nt40/RSS_DVSP.h"
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

// Entry points of other subsystems that these modules call.
// Posts the ACCM event to an on-line pump bound to a Link; nothing otherwise.
void PumpSetAccmEvent(Pump* ThisPump);
