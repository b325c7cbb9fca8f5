// TAPI 2 line functions as an application calls them. The library TAPI32 ("TAPI32.DLL",
// libtapi32.so) reaches the line devices of every adapter of the simulated machine
// through its "tapi" socket in the run's root; the machine's telephony service there
// hands each request to the adapter's TAPI provider as the NDIS TAPI wrapper does.
// An application loads the library by name and takes its entries with GetProcAddress;
// the entry types below are for that.
#pragma once

#include "platform/win32/windows.h"

typedef DWORD HLINEAPP, *LPHLINEAPP;
typedef DWORD HLINE, *LPHLINE;

typedef void (*LINECALLBACK)(DWORD Device, DWORD Message, ULONG_PTR Instance, ULONG_PTR Param1, ULONG_PTR Param2,
                             ULONG_PTR Param3);

#define TAPI_CURRENT_VERSION 0x00020000u
#define TAPI_LOWEST_VERSION 0x00010003u

#define LINEINITIALIZEEXOPTION_USEHIDDENWINDOW 0x00000001u
#define LINEINITIALIZEEXOPTION_USEEVENT 0x00000002u
#define LINEINITIALIZEEXOPTION_USECOMPLETIONPORT 0x00000003u

#define LINECALLPRIVILEGE_NONE 0x00000001u
#define LINECALLPRIVILEGE_MONITOR 0x00000002u
// Spelt as the provider's declarations spell them, which share them.
#define LINECALLPRIVILEGE_OWNER 4
#define LINEMEDIAMODE_UNKNOWN 0x00000002
#define LINEMEDIAMODE_DIGITALDATA 0x00000100

#define LINEERR_ALLOCATED 0x80000001u
#define LINEERR_BADDEVICEID 0x80000002u
#define LINEERR_CALLUNAVAIL 0x80000005u
#define LINEERR_INCOMPATIBLEAPIVERSION 0x8000000Cu
#define LINEERR_INCOMPATIBLEEXTVERSION 0x8000000Du
#define LINEERR_INUSE 0x8000000Fu
#define LINEERR_INVALADDRESS 0x80000010u
#define LINEERR_INVALADDRESSID 0x80000011u
#define LINEERR_INVALAPPHANDLE 0x80000014u
#define LINEERR_INVALAPPNAME 0x80000015u
#define LINEERR_INVALCALLHANDLE 0x80000018u
#define LINEERR_INVALDEVICECLASS 0x80000023u
#define LINEERR_INVALLINEHANDLE 0x8000002Bu
#define LINEERR_INVALLINESTATE 0x8000002Cu
#define LINEERR_INVALMEDIAMODE 0x8000002Fu
#define LINEERR_INVALPARAM 0x80000032u
#define LINEERR_INVALPOINTER 0x80000035u
#define LINEERR_INVALPRIVSELECT 0x80000036u
#define LINEERR_NODRIVER 0x80000043u
#define LINEERR_NOMEM 0x80000044u
#define LINEERR_OPERATIONFAILED 0x80000048u
#define LINEERR_OPERATIONUNAVAIL 0x80000049u
#define LINEERR_RESOURCEUNAVAIL 0x8000004Bu
#define LINEERR_STRUCTURETOOSMALL 0x8000004Du
#define LINEERR_UNINITIALIZED 0x80000050u

typedef struct linedialparams_tag {
    DWORD dwDialPause;
    DWORD dwDialSpeed;
    DWORD dwDigitDuration;
    DWORD dwWaitForDialtone;
} LINEDIALPARAMS;

typedef struct lineextensionid_tag {
    DWORD dwExtensionID0, dwExtensionID1, dwExtensionID2, dwExtensionID3;
} LINEEXTENSIONID, *LPLINEEXTENSIONID;

// The event handle (option USEEVENT) ends at byte 24, where the fixed part of a 32-bit
// build ends: a caller that gives 24 as the total size is served.
typedef struct lineinitializeexparams_tag {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwOptions;
    union {
        HANDLE hEvent;
        HANDLE hCompletionPort;
    } Handles;
    DWORD dwCompletionKey;
} LINEINITIALIZEEXPARAMS, *LPLINEINITIALIZEEXPARAMS;

// Variable parts are located by size and offset from the start of the structure.
typedef struct linedevcaps_tag {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwProviderInfoSize, dwProviderInfoOffset;
    DWORD dwSwitchInfoSize, dwSwitchInfoOffset;
    DWORD dwPermanentLineID;
    DWORD dwLineNameSize, dwLineNameOffset;
    DWORD dwStringFormat;
    DWORD dwAddressModes;
    DWORD dwNumAddresses;
    DWORD dwBearerModes;
    DWORD dwMaxRate;
    DWORD dwMediaModes;
    DWORD dwGenerateToneModes, dwGenerateToneMaxNumFreq, dwGenerateDigitModes;
    DWORD dwMonitorToneMaxNumFreq, dwMonitorToneMaxNumEntries, dwMonitorDigitModes;
    DWORD dwGatherDigitsMinTimeout, dwGatherDigitsMaxTimeout;
    DWORD dwMedCtlDigitMaxListSize, dwMedCtlMediaMaxListSize, dwMedCtlToneMaxListSize;
    DWORD dwMedCtlCallStateMaxListSize;
    DWORD dwDevCapFlags;
    DWORD dwMaxNumActiveCalls;
    DWORD dwAnswerMode;
    DWORD dwRingModes;
    DWORD dwLineStates;
    DWORD dwUUIAcceptSize, dwUUIAnswerSize, dwUUIMakeCallSize, dwUUIDropSize;
    DWORD dwUUISendUserUserInfoSize, dwUUICallInfoSize;
    LINEDIALPARAMS MinDialParams, MaxDialParams, DefaultDialParams;
    DWORD dwNumTerminals;
    DWORD dwTerminalCapsSize, dwTerminalCapsOffset;
    DWORD dwTerminalTextEntrySize, dwTerminalTextSize, dwTerminalTextOffset;
    DWORD dwDevSpecificSize, dwDevSpecificOffset;
    // TAPI 2.0
    DWORD dwLineFeatures;
    DWORD dwSettableDevStatus;
    DWORD dwDeviceClassesSize, dwDeviceClassesOffset;
} LINEDEVCAPS, *LPLINEDEVCAPS;
static_assert(sizeof(LINEDEVCAPS) == 252);

typedef struct linecallparams_tag {
    DWORD dwTotalSize;
    DWORD dwBearerMode;
    DWORD dwMinRate, dwMaxRate;
    DWORD dwMediaMode;
    DWORD dwCallParamFlags;
    DWORD dwAddressMode;
    DWORD dwAddressID;
    LINEDIALPARAMS DialParams;
    DWORD dwOrigAddressSize, dwOrigAddressOffset;
    DWORD dwDisplayableAddressSize, dwDisplayableAddressOffset;
    DWORD dwCalledPartySize, dwCalledPartyOffset;
    DWORD dwCommentSize, dwCommentOffset;
    DWORD dwUserUserInfoSize, dwUserUserInfoOffset;
    DWORD dwHighLevelCompSize, dwHighLevelCompOffset;
    DWORD dwLowLevelCompSize, dwLowLevelCompOffset;
    DWORD dwDevSpecificSize, dwDevSpecificOffset;
} LINECALLPARAMS, *LPLINECALLPARAMS;

extern "C" {
LONG lineInitializeExA(LPHLINEAPP LineApp, HINSTANCE Instance, LINECALLBACK Callback, LPCSTR FriendlyAppName,
                       LPDWORD NumDevs, LPDWORD APIVersion, LPLINEINITIALIZEEXPARAMS Params);
LONG lineNegotiateAPIVersion(HLINEAPP LineApp, DWORD DeviceID, DWORD APILowVersion, DWORD APIHighVersion,
                             LPDWORD APIVersion, LPLINEEXTENSIONID ExtensionID);
LONG lineOpenA(HLINEAPP LineApp, DWORD DeviceID, LPHLINE Line, DWORD APIVersion, DWORD ExtVersion,
               ULONG_PTR CallbackInstance, DWORD Privileges, DWORD MediaModes, const LINECALLPARAMS* CallParams);
LONG lineGetDevCapsA(HLINEAPP LineApp, DWORD DeviceID, DWORD APIVersion, DWORD ExtVersion, LPLINEDEVCAPS DevCaps);
LONG lineGetDevCaps(HLINEAPP LineApp, DWORD DeviceID, DWORD APIVersion, DWORD ExtVersion, LPLINEDEVCAPS DevCaps);
LONG lineClose(HLINE Line);
LONG lineShutdown(HLINEAPP LineApp);
}

// The entries' types, for GetProcAddress.
typedef LONG (*LINEINITIALIZEEXA_PROC)(LPHLINEAPP, HINSTANCE, LINECALLBACK, LPCSTR, LPDWORD, LPDWORD,
                                       LPLINEINITIALIZEEXPARAMS);
typedef LONG (*LINENEGOTIATEAPIVERSION_PROC)(HLINEAPP, DWORD, DWORD, DWORD, LPDWORD, LPLINEEXTENSIONID);
typedef LONG (*LINEOPENA_PROC)(HLINEAPP, DWORD, LPHLINE, DWORD, DWORD, ULONG_PTR, DWORD, DWORD, const LINECALLPARAMS*);
typedef LONG (*LINEGETDEVCAPSA_PROC)(HLINEAPP, DWORD, DWORD, DWORD, LPLINEDEVCAPS);
typedef LONG (*LINECLOSE_PROC)(HLINE);
typedef LONG (*LINESHUTDOWN_PROC)(HLINEAPP);
