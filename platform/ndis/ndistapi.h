// The NDIS TAPI interface as a WAN miniport that is a TAPI provider sees it: the
// OID_TAPI_* request structures, the LINE_* structures they embed, the event record of
// NDIS_STATUS_TAPI_INDICATION, and the status codes. Written from what the driver
// expects of each request; every structure crosses a wire, so its size (or, for one
// that ends in a variable byte array, the length of its fixed part) is checked.
//
// Handles (hdLine, hdCall, htLine, htCall) are 32-bit values on this wire: the
// driver's are looked up, never pointers.
#pragma once

#include <cstddef>

#include "platform/ndis/ndis.h"

typedef ULONG HDRV_LINE;
typedef ULONG HDRV_CALL;
typedef ULONG HTAPI_LINE;
typedef ULONG HTAPI_CALL;

// ---- OIDs ----

#define OID_TAPI_ACCEPT 0x07030101
#define OID_TAPI_ANSWER 0x07030102
#define OID_TAPI_CLOSE 0x07030103
#define OID_TAPI_CLOSE_CALL 0x07030104
#define OID_TAPI_CONDITIONAL_MEDIA_DETECTION 0x07030105
#define OID_TAPI_CONFIG_DIALOG 0x07030106
#define OID_TAPI_DEV_SPECIFIC 0x07030107
#define OID_TAPI_DIAL 0x07030108
#define OID_TAPI_DROP 0x07030109
#define OID_TAPI_GET_ADDRESS_CAPS 0x0703010A
#define OID_TAPI_GET_ADDRESS_ID 0x0703010B
#define OID_TAPI_GET_ADDRESS_STATUS 0x0703010C
#define OID_TAPI_GET_CALL_ADDRESS_ID 0x0703010D
#define OID_TAPI_GET_CALL_INFO 0x0703010E
#define OID_TAPI_GET_CALL_STATUS 0x0703010F
#define OID_TAPI_GET_DEV_CAPS 0x07030110
#define OID_TAPI_GET_DEV_CONFIG 0x07030111
#define OID_TAPI_GET_EXTENSION_ID 0x07030112
#define OID_TAPI_GET_ID 0x07030113
#define OID_TAPI_GET_LINE_DEV_STATUS 0x07030114
#define OID_TAPI_MAKE_CALL 0x07030115
#define OID_TAPI_NEGOTIATE_EXT_VERSION 0x07030116
#define OID_TAPI_OPEN 0x07030117
#define OID_TAPI_PROVIDER_INITIALIZE 0x07030118
#define OID_TAPI_PROVIDER_SHUTDOWN 0x07030119
#define OID_TAPI_SECURE_CALL 0x0703011A
#define OID_TAPI_SELECT_EXT_VERSION 0x0703011B
#define OID_TAPI_SEND_USER_USER_INFO 0x0703011C
#define OID_TAPI_SET_APP_SPECIFIC 0x0703011D
#define OID_TAPI_SET_CALL_PARAMS 0x0703011E
#define OID_TAPI_SET_DEFAULT_MEDIA_DETECTION 0x0703011F
#define OID_TAPI_SET_DEV_CONFIG 0x07030120
#define OID_TAPI_SET_MEDIA_MODE 0x07030121
#define OID_TAPI_SET_STATUS_MESSAGES 0x07030122
#define OID_TAPI_FIRST OID_TAPI_ACCEPT
#define OID_TAPI_LAST OID_TAPI_SET_STATUS_MESSAGES

// ---- status codes ----

#define NDIS_STATUS_TAPI_CALLUNAVAIL ((NDIS_STATUS)0xC0012002)
#define NDIS_STATUS_TAPI_INCOMPATIBLEEXTVERSION ((NDIS_STATUS)0xC0012007)
#define NDIS_STATUS_TAPI_INUSE ((NDIS_STATUS)0xC0012008)
#define NDIS_STATUS_TAPI_INVALADDRESS ((NDIS_STATUS)0xC0012009)
#define NDIS_STATUS_TAPI_INVALADDRESSID ((NDIS_STATUS)0xC001200A)
#define NDIS_STATUS_TAPI_INVALCALLHANDLE ((NDIS_STATUS)0xC001200D)
#define NDIS_STATUS_TAPI_INVALDEVICECLASS ((NDIS_STATUS)0xC0012010)
#define NDIS_STATUS_TAPI_INVALLINEHANDLE ((NDIS_STATUS)0xC0012011)
#define NDIS_STATUS_TAPI_INVALLINESTATE ((NDIS_STATUS)0xC0012012)
#define NDIS_STATUS_TAPI_NODRIVER ((NDIS_STATUS)0xC0012015)
#define NDIS_STATUS_TAPI_OPERATIONUNAVAIL ((NDIS_STATUS)0xC0012016)
#define NDIS_STATUS_TAPI_RESOURCEUNAVAIL ((NDIS_STATUS)0xC0012018)
#define NDIS_STATUS_TAPI_ALLOCATED ((NDIS_STATUS)0xC001201B)
#define NDIS_STATUS_TAPI_INVALADDRESSSTATE ((NDIS_STATUS)0xC001201C)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015)

// ---- messages, states and modes ----

#define LINE_CALLSTATE 2
#define LINE_LINEDEVSTATE 8
#define LINE_NEWCALL 500

#define LINEDEVSTATE_RINGING 0x00000002
#define LINEDEVSTATE_CONNECTED 0x00000004
#define LINEDEVSTATE_DISCONNECTED 0x00000008
#define LINEDEVSTATE_MSGWAITON 0x00000010
#define LINEDEVSTATE_INSERVICE 0x00000040
#define LINEDEVSTATE_OPEN 0x00000200
#define LINEDEVSTATE_CLOSE 0x00000400

#define LINECALLSTATE_IDLE 0x00000001
#define LINECALLSTATE_OFFERING 0x00000002
#define LINECALLSTATE_ACCEPTED 0x00000004
#define LINECALLSTATE_DIALTONE 0x00000008
#define LINECALLSTATE_DIALING 0x00000010
#define LINECALLSTATE_BUSY 0x00000040
#define LINECALLSTATE_CONNECTED 0x00000100
#define LINECALLSTATE_DISCONNECTED 0x00004000

#define LINEDISCONNECTMODE_NORMAL 0x00000001
#define LINEDISCONNECTMODE_UNKNOWN 0x00000002
#define LINEDISCONNECTMODE_NOANSWER 0x00000040
#define LINEDISCONNECTMODE_UNREACHABLE 0x00000100

#define LINEBEARERMODE_VOICE 0x00000001
#define LINEBEARERMODE_DATA 0x00000008

#define LINEMEDIAMODE_UNKNOWN 0x00000002
#define LINEMEDIAMODE_DIGITALDATA 0x00000100

#define LINECALLSELECT_LINE 1
#define LINECALLSELECT_ADDRESS 2
#define LINECALLSELECT_CALL 4

#define LINEADDRESSMODE_DIALABLEADDR 2
#define STRINGFORMAT_ASCII 1
#define STRINGFORMAT_BINARY 4
#define LINECALLPRIVILEGE_OWNER 4

// ---- the event record of NDIS_STATUS_TAPI_INDICATION ----

typedef struct _NDIS_TAPI_EVENT {
    HTAPI_LINE htLine;
    HTAPI_CALL htCall;
    ULONG ulMsg;
    ULONG ulParam1;
    ULONG ulParam2;  // LINE_NEWCALL: TAPI writes its call handle back here
    ULONG ulParam3;
} NDIS_TAPI_EVENT, *PNDIS_TAPI_EVENT;
static_assert(sizeof(NDIS_TAPI_EVENT) == 24);

// ---- LINE_* structures (variable parts located by size and offset from their start) ----

typedef struct _LINE_DIAL_PARAMS {
    ULONG ulDialPause;
    ULONG ulDialSpeed;
    ULONG ulDigitDuration;
    ULONG ulWaitForDialtone;
} LINE_DIAL_PARAMS;
static_assert(sizeof(LINE_DIAL_PARAMS) == 16);

typedef struct _LINE_EXTENSION_ID {
    ULONG ulExtensionID0, ulExtensionID1, ulExtensionID2, ulExtensionID3;
} LINE_EXTENSION_ID;
static_assert(sizeof(LINE_EXTENSION_ID) == 16);

typedef struct _VAR_STRING {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulStringFormat;
    ULONG ulStringSize;
    ULONG ulStringOffset;
} VAR_STRING;
static_assert(sizeof(VAR_STRING) == 24);

typedef struct _LINE_CALL_PARAMS {
    ULONG ulTotalSize;
    ULONG ulBearerMode;
    ULONG ulMinRate;
    ULONG ulMaxRate;
    ULONG ulMediaMode;
    ULONG ulCallParamFlags;
    ULONG ulAddressMode;
    ULONG ulAddressID;
    LINE_DIAL_PARAMS DialParams;
    ULONG ulOrigAddressSize, ulOrigAddressOffset;
    ULONG ulDisplayableAddressSize, ulDisplayableAddressOffset;
    ULONG ulCalledPartySize, ulCalledPartyOffset;
    ULONG ulCommentSize, ulCommentOffset;
    ULONG ulUserUserInfoSize, ulUserUserInfoOffset;
    ULONG ulHighLevelCompSize, ulHighLevelCompOffset;
    ULONG ulLowLevelCompSize, ulLowLevelCompOffset;
    ULONG ulDevSpecificSize, ulDevSpecificOffset;
} LINE_CALL_PARAMS;
static_assert(sizeof(LINE_CALL_PARAMS) == 112);

typedef struct _LINE_DEV_CAPS {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulProviderInfoSize, ulProviderInfoOffset;
    ULONG ulSwitchInfoSize, ulSwitchInfoOffset;
    ULONG ulPermanentLineID;
    ULONG ulLineNameSize, ulLineNameOffset;
    ULONG ulStringFormat;
    ULONG ulAddressModes;
    ULONG ulNumAddresses;
    ULONG ulBearerModes;
    ULONG ulMaxRate;
    ULONG ulMediaModes;
    ULONG ulGenerateToneModes, ulGenerateToneMaxNumFreq, ulGenerateDigitModes;
    ULONG ulMonitorToneMaxNumFreq, ulMonitorToneMaxNumEntries, ulMonitorDigitModes;
    ULONG ulGatherDigitsMinTimeout, ulGatherDigitsMaxTimeout;
    ULONG ulMedCtlDigitMaxListSize, ulMedCtlMediaMaxListSize, ulMedCtlToneMaxListSize;
    ULONG ulMedCtlCallStateMaxListSize;
    ULONG ulDevCapFlags;
    ULONG ulMaxNumActiveCalls;
    ULONG ulAnswerMode;
    ULONG ulRingModes;
    ULONG ulLineStates;
    ULONG ulUUIAcceptSize, ulUUIAnswerSize, ulUUIMakeCallSize, ulUUIDropSize;
    ULONG ulUUISendUserUserInfoSize, ulUUICallInfoSize;
    LINE_DIAL_PARAMS MinDialParams, MaxDialParams, DefaultDialParams;
    ULONG ulNumTerminals;
    ULONG ulTerminalCapsSize, ulTerminalCapsOffset;
    ULONG ulTerminalTextEntrySize, ulTerminalTextSize, ulTerminalTextOffset;
    ULONG ulDevSpecificSize, ulDevSpecificOffset;
} LINE_DEV_CAPS;
static_assert(sizeof(LINE_DEV_CAPS) == 236);

typedef struct _LINE_DEV_STATUS {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulNumOpens;
    ULONG ulOpenMediaModes;
    ULONG ulNumActiveCalls;
    ULONG ulNumOnHoldCalls;
    ULONG ulNumOnHoldPendCalls;
    ULONG ulLineFeatures;
    ULONG ulNumCallCompletions;
    ULONG ulRingMode;
    ULONG ulSignalLevel;
    ULONG ulBatteryLevel;
    ULONG ulRoamMode;
    ULONG ulDevStatusFlags;
    ULONG ulTerminalModesSize, ulTerminalModesOffset;
    ULONG ulDevSpecificSize, ulDevSpecificOffset;
} LINE_DEV_STATUS;
static_assert(sizeof(LINE_DEV_STATUS) == 76);

typedef struct _LINE_ADDRESS_CAPS {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulLineDeviceID;
    ULONG ulAddressSize, ulAddressOffset;
    ULONG ulDevSpecificSize, ulDevSpecificOffset;
    ULONG ulAddressSharing;
    ULONG ulAddressStates;
    ULONG ulCallInfoStates;
    ULONG ulCallerIDFlags, ulCalledIDFlags, ulConnectedIDFlags, ulRedirectionIDFlags, ulRedirectingIDFlags;
    ULONG ulCallStates;
    ULONG ulDialToneModes;
    ULONG ulBusyModes;
    ULONG ulSpecialInfo;
    ULONG ulDisconnectModes;
    ULONG ulMaxNumActiveCalls;
    ULONG ulMaxNumOnHoldCalls, ulMaxNumOnHoldPendingCalls;
    ULONG ulMaxNumConference, ulMaxNumTransConf;
    ULONG ulAddrCapFlags;
    ULONG ulCallFeatures;
    ULONG ulRemoveFromConfCaps, ulRemoveFromConfState;
    ULONG ulTransferModes, ulParkModes, ulForwardModes;
    ULONG ulMaxForwardEntries, ulMaxSpecificEntries, ulMinFwdNumRings, ulMaxFwdNumRings;
    ULONG ulMaxCallCompletions, ulCallCompletionConds, ulCallCompletionModes, ulNumCompletionMessages;
    ULONG ulCompletionMsgTextEntrySize, ulCompletionMsgTextSize, ulCompletionMsgTextOffset;
} LINE_ADDRESS_CAPS;
static_assert(sizeof(LINE_ADDRESS_CAPS) == 176);

typedef struct _LINE_ADDRESS_STATUS {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulNumInUse;
    ULONG ulNumActiveCalls;
    ULONG ulNumOnHoldCalls;
    ULONG ulNumOnHoldPendCalls;
    ULONG ulAddressFeatures;
    ULONG ulNumRingsNoAnswer;
    ULONG ulForwardNumEntries, ulForwardSize, ulForwardOffset;
    ULONG ulTerminalModesSize, ulTerminalModesOffset;
    ULONG ulDevSpecificSize, ulDevSpecificOffset;
} LINE_ADDRESS_STATUS;
static_assert(sizeof(LINE_ADDRESS_STATUS) == 64);

typedef struct _LINE_CALL_INFO {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG hLine;
    ULONG ulLineDeviceID;
    ULONG ulAddressID;
    ULONG ulBearerMode;
    ULONG ulRate;
    ULONG ulMediaMode;
    ULONG ulAppSpecific;
    ULONG ulCallID;
    ULONG ulRelatedCallID;
    ULONG ulCallParamFlags;
    ULONG ulCallStates;
    ULONG ulMonitorDigitModes;
    ULONG ulMonitorMediaModes;
    LINE_DIAL_PARAMS DialParams;
    ULONG ulOrigin, ulReason, ulCompletionID, ulNumOwners, ulNumMonitors, ulCountryCode, ulTrunk;
    ULONG ulCallerIDFlags, ulCallerIDSize, ulCallerIDOffset, ulCallerIDNameSize, ulCallerIDNameOffset;
    ULONG ulCalledIDFlags, ulCalledIDSize, ulCalledIDOffset, ulCalledIDNameSize, ulCalledIDNameOffset;
    ULONG ulConnectedIDFlags, ulConnectedIDSize, ulConnectedIDOffset, ulConnectedIDNameSize, ulConnectedIDNameOffset;
    ULONG ulRedirectionIDFlags, ulRedirectionIDSize, ulRedirectionIDOffset, ulRedirectionIDNameSize,
        ulRedirectionIDNameOffset;
    ULONG ulRedirectingIDFlags, ulRedirectingIDSize, ulRedirectingIDOffset, ulRedirectingIDNameSize,
        ulRedirectingIDNameOffset;
    ULONG ulAppNameSize, ulAppNameOffset;
    ULONG ulDisplayableAddressSize, ulDisplayableAddressOffset;
    ULONG ulCalledPartySize, ulCalledPartyOffset;
    ULONG ulCommentSize, ulCommentOffset;
    ULONG ulDisplaySize, ulDisplayOffset;
    ULONG ulUserUserInfoSize, ulUserUserInfoOffset;
    ULONG ulHighLevelCompSize, ulHighLevelCompOffset;
    ULONG ulLowLevelCompSize, ulLowLevelCompOffset;
    ULONG ulChargingInfoSize, ulChargingInfoOffset;
    ULONG ulTerminalModesSize, ulTerminalModesOffset;
    ULONG ulDevSpecificSize, ulDevSpecificOffset;
} LINE_CALL_INFO;
static_assert(sizeof(LINE_CALL_INFO) == 296);

typedef struct _LINE_CALL_STATUS {
    ULONG ulTotalSize;
    ULONG ulNeededSize;
    ULONG ulUsedSize;
    ULONG ulCallState;
    ULONG ulCallStateMode;
    ULONG ulCallPrivilege;
    ULONG ulCallFeatures;
    ULONG ulDevSpecificSize, ulDevSpecificOffset;
} LINE_CALL_STATUS;
static_assert(sizeof(LINE_CALL_STATUS) == 36);

// ---- request structures ----
//
// NDIS_TAPI_<name>_SIZE is the least buffer a request of that OID needs: the whole
// structure, or for one that ends in a variable byte array, its fixed part and one byte.

typedef struct _NDIS_TAPI_ACCEPT {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulUserUserInfoSize;
    UCHAR UserUserInfo[1];
} NDIS_TAPI_ACCEPT, NDIS_TAPI_ANSWER, NDIS_TAPI_DROP;
#define NDIS_TAPI_ACCEPT_SIZE (offsetof(NDIS_TAPI_ACCEPT, UserUserInfo) + 1)
static_assert(NDIS_TAPI_ACCEPT_SIZE == 13);

typedef struct _NDIS_TAPI_CLOSE {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
} NDIS_TAPI_CLOSE;
static_assert(sizeof(NDIS_TAPI_CLOSE) == 8);

typedef struct _NDIS_TAPI_CLOSE_CALL {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
} NDIS_TAPI_CLOSE_CALL;
static_assert(sizeof(NDIS_TAPI_CLOSE_CALL) == 8);

typedef struct _NDIS_TAPI_CONDITIONAL_MEDIA_DETECTION {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulMediaModes;
    LINE_CALL_PARAMS LineCallParams;
} NDIS_TAPI_CONDITIONAL_MEDIA_DETECTION;
static_assert(sizeof(NDIS_TAPI_CONDITIONAL_MEDIA_DETECTION) == 124);

typedef struct _NDIS_TAPI_DEV_SPECIFIC {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulAddressID;
    HDRV_CALL hdCall;
    ULONG ulParamsSize;
    UCHAR Params[1];
} NDIS_TAPI_DEV_SPECIFIC;
#define NDIS_TAPI_DEV_SPECIFIC_SIZE (offsetof(NDIS_TAPI_DEV_SPECIFIC, Params) + 1)
static_assert(NDIS_TAPI_DEV_SPECIFIC_SIZE == 21);

typedef struct _NDIS_TAPI_GET_ADDRESS_CAPS {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    ULONG ulAddressID;
    ULONG ulExtVersion;
    LINE_ADDRESS_CAPS LineAddressCaps;
} NDIS_TAPI_GET_ADDRESS_CAPS;
static_assert(sizeof(NDIS_TAPI_GET_ADDRESS_CAPS) == 192);

typedef struct _NDIS_TAPI_GET_ADDRESS_ID {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulAddressID;
    ULONG ulAddressMode;
    ULONG ulAddressSize;
    CHAR szAddress[1];
} NDIS_TAPI_GET_ADDRESS_ID;
#define NDIS_TAPI_GET_ADDRESS_ID_SIZE (offsetof(NDIS_TAPI_GET_ADDRESS_ID, szAddress) + 1)
static_assert(NDIS_TAPI_GET_ADDRESS_ID_SIZE == 21);

typedef struct _NDIS_TAPI_GET_ADDRESS_STATUS {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulAddressID;
    LINE_ADDRESS_STATUS LineAddressStatus;
} NDIS_TAPI_GET_ADDRESS_STATUS;
static_assert(sizeof(NDIS_TAPI_GET_ADDRESS_STATUS) == 76);

typedef struct _NDIS_TAPI_GET_CALL_ADDRESS_ID {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulAddressID;
} NDIS_TAPI_GET_CALL_ADDRESS_ID;
static_assert(sizeof(NDIS_TAPI_GET_CALL_ADDRESS_ID) == 12);

typedef struct _NDIS_TAPI_GET_CALL_INFO {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    LINE_CALL_INFO LineCallInfo;
} NDIS_TAPI_GET_CALL_INFO;
static_assert(sizeof(NDIS_TAPI_GET_CALL_INFO) == 304);

typedef struct _NDIS_TAPI_GET_CALL_STATUS {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    LINE_CALL_STATUS LineCallStatus;
} NDIS_TAPI_GET_CALL_STATUS;
static_assert(sizeof(NDIS_TAPI_GET_CALL_STATUS) == 44);

typedef struct _NDIS_TAPI_GET_DEV_CAPS {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    ULONG ulExtVersion;
    LINE_DEV_CAPS LineDevCaps;
} NDIS_TAPI_GET_DEV_CAPS;
static_assert(sizeof(NDIS_TAPI_GET_DEV_CAPS) == 248);

typedef struct _NDIS_TAPI_GET_EXTENSION_ID {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    LINE_EXTENSION_ID LineExtensionID;
} NDIS_TAPI_GET_EXTENSION_ID;
static_assert(sizeof(NDIS_TAPI_GET_EXTENSION_ID) == 24);

typedef struct _NDIS_TAPI_GET_ID {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulAddressID;
    HDRV_CALL hdCall;
    ULONG ulSelect;
    ULONG ulDeviceClassSize;
    ULONG ulDeviceClassOffset;  // from the start of this structure
    VAR_STRING DeviceID;
} NDIS_TAPI_GET_ID;
static_assert(sizeof(NDIS_TAPI_GET_ID) == 52);

typedef struct _NDIS_TAPI_GET_LINE_DEV_STATUS {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    LINE_DEV_STATUS LineDevStatus;
} NDIS_TAPI_GET_LINE_DEV_STATUS;
static_assert(sizeof(NDIS_TAPI_GET_LINE_DEV_STATUS) == 84);

typedef struct _NDIS_TAPI_MAKE_CALL {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    HTAPI_CALL htCall;
    HDRV_CALL hdCall;
    ULONG ulDestAddressSize;
    ULONG ulDestAddressOffset;  // from the start of this structure
    ULONG bUseDefaultLineCallParams;
    LINE_CALL_PARAMS LineCallParams;
} NDIS_TAPI_MAKE_CALL;
static_assert(sizeof(NDIS_TAPI_MAKE_CALL) == 140);

typedef struct _NDIS_TAPI_OPEN {
    ULONG ulRequestID;
    ULONG ulDeviceID;
    HTAPI_LINE htLine;
    HDRV_LINE hdLine;
} NDIS_TAPI_OPEN;
static_assert(sizeof(NDIS_TAPI_OPEN) == 16);

typedef struct _NDIS_TAPI_PROVIDER_INITIALIZE {
    ULONG ulRequestID;
    ULONG ulDeviceIDBase;
    ULONG ulNumLineDevs;
    ULONG ulProviderID;
} NDIS_TAPI_PROVIDER_INITIALIZE;
static_assert(sizeof(NDIS_TAPI_PROVIDER_INITIALIZE) == 16);

typedef struct _NDIS_TAPI_PROVIDER_SHUTDOWN {
    ULONG ulRequestID;
} NDIS_TAPI_PROVIDER_SHUTDOWN;
static_assert(sizeof(NDIS_TAPI_PROVIDER_SHUTDOWN) == 4);

typedef struct _NDIS_TAPI_SET_APP_SPECIFIC {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulAppSpecific;
} NDIS_TAPI_SET_APP_SPECIFIC;
static_assert(sizeof(NDIS_TAPI_SET_APP_SPECIFIC) == 12);

typedef struct _NDIS_TAPI_SET_CALL_PARAMS {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulBearerMode;
    ULONG ulMinRate;
    ULONG ulMaxRate;
    ULONG bSetLineDialParams;
    LINE_DIAL_PARAMS LineDialParams;
} NDIS_TAPI_SET_CALL_PARAMS;
static_assert(sizeof(NDIS_TAPI_SET_CALL_PARAMS) == 40);

typedef struct _NDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulMediaModes;
} NDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION;
static_assert(sizeof(NDIS_TAPI_SET_DEFAULT_MEDIA_DETECTION) == 12);

typedef struct _NDIS_TAPI_SET_MEDIA_MODE {
    ULONG ulRequestID;
    HDRV_CALL hdCall;
    ULONG ulMediaMode;
} NDIS_TAPI_SET_MEDIA_MODE;
static_assert(sizeof(NDIS_TAPI_SET_MEDIA_MODE) == 12);

typedef struct _NDIS_TAPI_SET_STATUS_MESSAGES {
    ULONG ulRequestID;
    HDRV_LINE hdLine;
    ULONG ulLineStates;
    ULONG ulAddressStates;
} NDIS_TAPI_SET_STATUS_MESSAGES;
static_assert(sizeof(NDIS_TAPI_SET_STATUS_MESSAGES) == 16);
