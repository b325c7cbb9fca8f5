// The general and WAN OIDs: the answers NDIS and NDISWAN get from the miniport, the
// WAN link information NDISWAN sets on a Link, and the hand-over of the vendor OID to
// the management request service. Reads the adapter's WanInfo and writes the Links'
// WanLinkInfo; AdapterSpinLock, held by the miniport's query and set handlers, guards
// both.
#include "driver/Wmp_nt40/Wmp_wspi.h"

#include <cstring>

#include "driver/Common/RSS_init.h"

#define WAN_MAX_LOOKAHEAD 2046
#define WAN_MAX_FRAME_SIZE 2014
#define WAN_LINK_SPEED 64000
#define WAN_HARDWARE_READY 0
#define WAN_HARDWARE_NOT_READY 4
#define WAN_MEDIUM_SUBTYPE_ISDN 2
#define WAN_MAC_OPTIONS 14
#define WAN_DRIVER_VERSION 0x0400
#define WAN_VENDOR_DESCRIPTION_SIZE 50
#define WAN_ADDRESS_SIZE 6

static const NDIS_OID SupportedOidList[WAN_SUPPORTED_OID_COUNT] = {
    0x00010101, 0x00010102, 0x00010103, 0x00010104, 0x00010105, 0x00010106, 0x00010107, 0x00010108, 0x00010109,
    0x0001010A, 0x0001010B, 0x0001010C, 0x0001010D, 0x0001010E, 0x0001010F, 0x00010110, 0x00010111, 0x00010113,
    0x04010101, 0x04010102, 0x04010105, 0x04010107, 0x04010108, 0x04010109,
    0x07030101, 0x07030102, 0x07030103, 0x07030104, 0x07030105, 0x07030106, 0x07030107, 0x07030108, 0x07030109,
    0x0703010A, 0x0703010B, 0x0703010C, 0x0703010D, 0x0703010E, 0x0703010F, 0x07030110, 0x07030111, 0x07030112,
    0x07030113, 0x07030114, 0x07030115, 0x07030116, 0x07030117, 0x07030118, 0x07030119, 0x0703011A, 0x0703011B,
    0x0703011C, 0x0703011D, 0x0703011E, 0x0703011F, 0x07030120, 0x07030121, 0x07030122,
    OID_BACKDOOR_REQUEST,
};
static_assert(sizeof SupportedOidList == 236);

static const CHAR VendorId[4] = {'Q', 'L', 'S', 0};
static const CHAR VendorDescription[] = "Quorlane Systems Dravenport Adapter";

NDIS_STATUS WanQueryInformation(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                                ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded)
{
    ULONG length = InformationBuffer == NULL ? 0 : InformationBufferLength;
    ULONG word = 0;
    USHORT half = 0;
    UCHAR scratch[WAN_VENDOR_DESCRIPTION_SIZE];
    const void* data = &word;
    ULONG size = sizeof word;

    *BytesWritten = 0;
    *BytesNeeded = 0;
    switch (Oid) {
    case OID_GEN_SUPPORTED_LIST:
        data = SupportedOidList;
        size = sizeof SupportedOidList;
        break;
    case OID_GEN_HARDWARE_STATUS: word = ThisAdapter->AdapterFailed == 1 ? WAN_HARDWARE_NOT_READY : WAN_HARDWARE_READY; break;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE: word = NdisMediumWan; break;
    case OID_GEN_MAXIMUM_FRAME_SIZE: word = WAN_MAX_FRAME_SIZE; break;
    case OID_GEN_LINK_SPEED: word = WAN_LINK_SPEED; break;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
    case OID_GEN_RECEIVE_BUFFER_SPACE:
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
    case OID_GEN_CURRENT_LOOKAHEAD:
    case OID_GEN_MAXIMUM_TOTAL_SIZE: word = WAN_MAX_LOOKAHEAD; break;
    case OID_GEN_VENDOR_ID:
        data = VendorId;
        size = sizeof VendorId;
        break;
    case OID_GEN_VENDOR_DESCRIPTION:
        std::memset(scratch, 0, sizeof scratch);
        std::memcpy(scratch, VendorDescription, sizeof VendorDescription - 1);
        data = scratch;
        size = WAN_VENDOR_DESCRIPTION_SIZE;
        break;
    case OID_GEN_DRIVER_VERSION:
        half = WAN_DRIVER_VERSION;
        data = &half;
        size = sizeof half;
        break;
    case OID_GEN_MAC_OPTIONS: word = WAN_MAC_OPTIONS; break;
    case OID_WAN_PERMANENT_ADDRESS:
    case OID_WAN_CURRENT_ADDRESS:
        std::memcpy(scratch, "QLSID", 5);
        scratch[5] = (UCHAR)('0' + ThisAdapter->InstanceNumber);
        data = scratch;
        size = WAN_ADDRESS_SIZE;
        break;
    case OID_WAN_MEDIUM_SUBTYPE: word = WAN_MEDIUM_SUBTYPE_ISDN; break;
    case OID_WAN_GET_INFO:
        data = &ThisAdapter->WanInfo;
        size = sizeof ThisAdapter->WanInfo;
        break;
    case OID_WAN_GET_LINK_INFO: {
        NDIS_WAN_LINK_HANDLE handle;
        if (length < sizeof handle) {
            *BytesNeeded = sizeof(NDIS_WAN_SET_LINK_INFO);
            return NDIS_STATUS_INVALID_LENGTH;
        }
        std::memcpy(&handle, InformationBuffer, sizeof handle);
        Link* ThisLink = LinkFromLineHandle(ThisAdapter, handle);
        if (ThisLink == NULL) return NDIS_STATUS_INVALID_DATA;
        data = &ThisLink->WanLinkInfo;
        size = sizeof ThisLink->WanLinkInfo;
        break;
    }
    case OID_BACKDOOR_REQUEST:
        *BytesWritten = *BytesNeeded = length;
        if (length != 0) RSS_BackdoorRequest(ThisAdapter, InformationBuffer, length);
        return NDIS_STATUS_SUCCESS;
    default: return NDIS_STATUS_INVALID_OID;  // the packet filter and protocol options among them
    }
    if (size > length) {
        *BytesNeeded = size;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    std::memcpy(InformationBuffer, data, size);
    *BytesWritten = *BytesNeeded = size;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS WanSetInformation(Adapter* ThisAdapter, NDIS_OID Oid, PVOID InformationBuffer,
                              ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded)
{
    ULONG length = InformationBuffer == NULL ? 0 : InformationBufferLength;
    *BytesRead = 0;
    *BytesNeeded = 0;
    switch (Oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
        *BytesRead = *BytesNeeded = length;
        return NDIS_STATUS_SUCCESS;
    case OID_GEN_CURRENT_LOOKAHEAD:
        *BytesNeeded = sizeof(ULONG);
        if (length < sizeof(ULONG)) return NDIS_STATUS_INVALID_LENGTH;
        *BytesRead = sizeof(ULONG);
        return NDIS_STATUS_SUCCESS;
    case OID_WAN_SET_LINK_INFO: {
        NDIS_WAN_SET_LINK_INFO info;
        if (length != sizeof info) {
            *BytesNeeded = sizeof info;
            return NDIS_STATUS_INVALID_LENGTH;
        }
        std::memcpy(&info, InformationBuffer, sizeof info);
        // NDISWAN names only Links it was given at line-up; anything else is refused.
        Link* ThisLink = LinkFromLineHandle(ThisAdapter, info.NdisLinkHandle);
        if (ThisLink == NULL) return NDIS_STATUS_INVALID_DATA;
        ThisLink->WanLinkInfo = info;
        *BytesRead = *BytesNeeded = sizeof info;
        RSS_TRACE("wmp:NDIS_WAN_SET_LINK_INFO SendACCM 0x%x RecvACCM 0x%x\n", (unsigned)info.SendACCM,
                  (unsigned)info.RecvACCM);
        if (ThisLink->ThisPump != NULL) PumpSetAccmEvent(ThisLink->ThisPump);
        return NDIS_STATUS_SUCCESS;
    }
    default: return NDIS_STATUS_INVALID_OID;
    }
}
